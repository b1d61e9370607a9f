// The configuration manager of the stand-in: an in-memory registry tree,
// key handles (ZwOpenKey, ZwQueryValueKey, ZwClose), RtlQueryRegistryValues
// and the test API of hk_registry.h. The .reg file loader is cm_regfile.cpp.
#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace {

// Values may be empty: memcpy wants a valid source even for zero bytes.
void CopyBytes(void* Destination, const void* Source, size_t Length)
{
    if (Length != 0) {
        std::memcpy(Destination, Source, Length);
    }
}


// Not in wdm.h: the driver never sees it, only a key deleted under an open handle.
constexpr NTSTATUS StatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
constexpr ULONG FullInformationFixedPart = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG NoDataOffset = 0xFFFFFFFF;

// ---------------------------------------------------------------- text

// Registry names compare like the platform's upcase table does; ASCII and
// Latin-1 are what registry names here ever contain.
char16_t Upcase(char16_t c)
{
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    return c;
}

std::u16string Upcased(std::u16string s)
{
    for (char16_t& c : s) {
        c = Upcase(c);
    }
    return s;
}

bool SameName(const std::u16string& a, const std::u16string& b)
{
    return a.size() == b.size() && Upcased(a) == Upcased(b);
}

std::u16string FromUtf8(const std::string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t cp;
        size_t extra;
        if (lead < 0x80) {
            cp = lead, extra = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F, extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F, extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07, extra = 3;
        } else {
            throw std::invalid_argument("invalid UTF-8 in \"" + text + "\"");
        }
        if (i + extra >= text.size()) {
            throw std::invalid_argument("truncated UTF-8 in \"" + text + "\"");
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                throw std::invalid_argument("invalid UTF-8 in \"" + text + "\"");
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string ToUtf8(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// A NUL-terminated platform string (WCHAR is 16 bits in this build).
std::u16string FromPcwstr(PCWSTR text)
{
    std::u16string out;
    for (; *text != 0; ++text) {
        out.push_back(static_cast<char16_t>(*text));
    }
    return out;
}

std::u16string FromCounted(const WCHAR* buffer, size_t bytes)
{
    std::u16string out;
    for (size_t i = 0; i < bytes / 2; ++i) {
        out.push_back(static_cast<char16_t>(buffer[i]));
    }
    return out;
}

std::string Hex(uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// ---------------------------------------------------------------- tree

struct Value {
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

struct Key {
    // Insertion order is the enumeration order; the index finds a value by
    // its upcased name without walking a key that holds thousands.
    std::list<Value> Values;
    std::unordered_map<std::u16string, std::list<Value>::iterator> Index;
    std::map<std::u16string, std::shared_ptr<Key>> Subkeys; // by upcased name
    bool Deleted = false;

    Value* FindValue(const std::u16string& name)
    {
        auto found = Index.find(Upcased(name));
        return found == Index.end() ? nullptr : &*found->second;
    }

    void SetValue(const std::u16string& name, ULONG type, const std::vector<uint8_t>& data)
    {
        const std::u16string upcased = Upcased(name);
        auto found = Index.find(upcased);
        if (found != Index.end()) {
            found->second->Type = type;
            found->second->Data = data;
            return;
        }
        Values.push_back(Value{name, type, data});
        Index.emplace(upcased, std::prev(Values.end()));
    }

    bool DeleteValue(const std::u16string& name)
    {
        auto found = Index.find(Upcased(name));
        if (found == Index.end()) {
            return false;
        }
        Values.erase(found->second);
        Index.erase(found);
        return true;
    }
};

struct OpenKey {
    std::shared_ptr<Key> Node;
    std::string Path;
};

struct State {
    std::mutex Lock;
    std::shared_ptr<Key> Root; // the object-manager root; only "Registry" below it
    std::map<uintptr_t, OpenKey> Handles;
    uintptr_t NextHandle = 0;
    bool TooSmallStringStops = true;
    std::map<uintptr_t, size_t> Destinations; // declared direct-store blocks
};

State& Registry()
{
    static State& state = *new State; // never destroyed: outlives every thread and exit-time check
    return state;
}

void MarkDeleted(Key& key)
{
    key.Deleted = true;
    for (auto& [name, child] : key.Subkeys) {
        MarkDeleted(*child);
    }
}

std::shared_ptr<Key> Lookup(const std::shared_ptr<Key>& start, const std::vector<std::u16string>& components)
{
    std::shared_ptr<Key> key = start;
    for (const std::u16string& component : components) {
        auto found = key->Subkeys.find(Upcased(component));
        if (found == key->Subkeys.end()) {
            return nullptr;
        }
        key = found->second;
    }
    return key;
}

std::shared_ptr<Key> Create(State& state, const std::vector<std::u16string>& components)
{
    std::shared_ptr<Key> key = state.Root;
    for (const std::u16string& component : components) {
        std::shared_ptr<Key>& child = key->Subkeys[Upcased(component)];
        if (!child) {
            child = std::make_shared<Key>();
        }
        key = child;
    }
    return key;
}

void EmptyRegistry(State& state)
{
    state.Handles.clear();
    state.Root = std::make_shared<Key>();
    Create(state, {u"Registry", u"Machine"});
    Create(state, {u"Registry", u"User"});
    state.TooSmallStringStops = true;
    state.Destinations.clear();
}

// Splits "\A\B" (absolute) or "A\B" (relative) into components; an empty
// component is not a valid object name.
std::optional<std::vector<std::u16string>> SplitPath(const std::u16string& path, bool absolute)
{
    std::vector<std::u16string> components;
    size_t start = 0;
    if (absolute) {
        if (path.empty() || path[0] != u'\\') {
            return std::nullopt;
        }
        start = 1;
        if (path.size() == 1) {
            return components;
        }
    } else if (path.empty()) {
        return components;
    }
    while (true) {
        const size_t end = path.find(u'\\', start);
        const std::u16string component = path.substr(start, end == std::u16string::npos ? end : end - start);
        if (component.empty()) {
            return std::nullopt;
        }
        components.push_back(component);
        if (end == std::u16string::npos) {
            return components;
        }
        start = end + 1;
    }
}

struct RootAlias {
    const char* Name;
    const char* Path;
};
constexpr RootAlias RootAliases[] = {
    {"HKEY_LOCAL_MACHINE", "\\Registry\\Machine"}, {"HKLM", "\\Registry\\Machine"},
    {"HKEY_USERS", "\\Registry\\User"},            {"HKU", "\\Registry\\User"},
    {"HKEY_CURRENT_USER", "\\Registry\\User\\.Default"},
    {"HKCU", "\\Registry\\User\\.Default"},
    {"HKEY_CLASSES_ROOT", "\\Registry\\Machine\\Software\\Classes"},
    {"HKCR", "\\Registry\\Machine\\Software\\Classes"},
};

std::vector<std::u16string> TestPathComponents(const std::string& path)
{
    const std::string canonical = HkRegCanonicalPath(path);
    return *SplitPath(FromUtf8(canonical), true);
}

// ---------------------------------------------------------------- handles

std::shared_ptr<Key> KeyOfHandle(State& state, HANDLE handle, const char* routine)
{
    auto found = state.Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == state.Handles.end()) {
        HkBugCheck(HkStop::InvalidKernelHandle::NotAKeyHandle, std::string(routine) + " given " +
                                                                   Hex(reinterpret_cast<uintptr_t>(handle)) +
                                                                   ", which is not an open registry key handle");
    }
    return found->second.Node;
}

// ---------------------------------------------------------------- direct-store destinations

// Stops the test when writing Bytes at Address would pass the end of a
// declared block. Undeclared memory is trusted, as the platform trusts it.
void CheckDestination(uintptr_t address, size_t bytes, const std::u16string& valueName, const HkRule::Misuse& overrun,
                      const char* what)
{
    State& state = Registry();
    std::unique_lock<std::mutex> guard(state.Lock);
    auto after = state.Destinations.upper_bound(address);
    if (after == state.Destinations.begin()) {
        return;
    }
    const auto& [start, size] = *std::prev(after);
    if (address >= start + size) {
        return;
    }
    const size_t room = start + size - address;
    if (bytes > room) {
        guard.unlock();
        HkBugCheck(overrun, "RtlQueryRegistryValues: value \"" + ToUtf8(valueName) + "\" needs " +
                                std::to_string(bytes) + " bytes (" + what + ") at " + Hex(address) +
                                ", where the declared destination has " + std::to_string(room) + " bytes left");
    }
}

bool IsStringType(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// RTL_QUERY_REGISTRY_DIRECT: the store is chosen by the data's type, never
// by what EntryContext really is.
NTSTATUS StoreDirect(const std::u16string& name, ULONG type, const std::vector<uint8_t>& data, PVOID destination)
{
    const auto address = reinterpret_cast<uintptr_t>(destination);
    if (destination == nullptr) {
        HkBugCheck(HkStop::DetectedViolation::DirectEntryWithoutContext,
                   "RtlQueryRegistryValues: direct entry \"" + ToUtf8(name) + "\" has no EntryContext");
    }
    const size_t length = data.size();
    if (IsStringType(type)) {
        CheckDestination(address, sizeof(UNICODE_STRING), name, HkStop::DetectedViolation::DirectStringIntoSmallBlock,
                         "a string value needs a UNICODE_STRING");
        auto* target = static_cast<PUNICODE_STRING>(destination);
        if (target->Buffer == nullptr) {
            HkBugCheck(HkStop::DetectedViolation::DirectStringWithoutBuffer,
                       "RtlQueryRegistryValues: direct string \"" + ToUtf8(name) +
                           "\" into a UNICODE_STRING without Buffer (pool-allocated result) is unsupported in "
                           "the stand-in");
        }
        if (length > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        CheckDestination(reinterpret_cast<uintptr_t>(target->Buffer), length, name,
                         HkStop::DetectedViolation::DirectStringOverrun, "string data");
        CopyBytes(target->Buffer, data.data(), length);
        target->Length = static_cast<USHORT>(std::min<size_t>(length >= 2 ? length - 2 : 0, 0xFFFF));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        CheckDestination(address, length, name, HkStop::DetectedViolation::DirectRawValueOverrun, "raw value");
        CopyBytes(destination, data.data(), length);
        return STATUS_SUCCESS;
    }
    CheckDestination(address, sizeof(LONG), name, HkStop::DetectedViolation::DirectSizeWordOverrun,
                     "size word read before the store");
    LONG sizeWord;
    std::memcpy(&sizeWord, destination, sizeof(sizeWord));
    if (sizeWord < 0) {
        // Negative: -size of a buffer that takes the data alone.
        if (-static_cast<int64_t>(sizeWord) < static_cast<int64_t>(length)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        CheckDestination(address, length, name, HkStop::DetectedViolation::DirectHeaderlessDataOverrun,
                         "data stored without header");
        CopyBytes(destination, data.data(), length);
        return STATUS_SUCCESS;
    }
    // Non-negative: the size of a buffer that takes length, type, data.
    if (static_cast<uint64_t>(static_cast<ULONG>(sizeWord)) < length + 8) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    CheckDestination(address, length + 8, name, HkStop::DetectedViolation::DirectHeaderAndDataOverrun,
                     "length and type header plus data");
    const ULONG header[2] = {static_cast<ULONG>(length), type};
    std::memcpy(destination, header, sizeof(header));
    CopyBytes(static_cast<uint8_t*>(destination) + sizeof(header), data.data(), length);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- query routines

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                     const uint8_t* data, size_t length, PVOID context)
{
    // Private copies: the routine may scribble on both, as the platform allows.
    std::vector<WCHAR> nameCopy(name.begin(), name.end());
    nameCopy.push_back(0);
    std::vector<uint8_t> dataCopy(data, data + length);
    dataCopy.resize(length + 4, 0); // a routine reading a string without NUL finds one
    const NTSTATUS status = entry.QueryRoutine(nameCopy.data(), type, dataCopy.data(), static_cast<ULONG>(length),
                                               context, entry.EntryContext);
    if (HkIrql() != PASSIVE_LEVEL) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::QueryRoutineChangedIrql,
                   "query routine for \"" + ToUtf8(name) + "\" returned at IRQL " + std::to_string(HkIrql()));
    }
    // Documented: a routine's STATUS_BUFFER_TOO_SMALL is ignored.
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

// Hands one value (or a default) to the entry's routine or direct store.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                 const std::vector<uint8_t>& data, PVOID context)
{
    const bool noExpand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    if (type == REG_EXPAND_SZ && !noExpand) {
        // The stand-in has no environment variables: references stay as
        // written, but the value is passed as REG_SZ like an expanded one.
        const std::u16string text = FromCounted(reinterpret_cast<const WCHAR*>(data.data()), data.size());
        if (text.find(u'%') != std::u16string::npos) {
            type = REG_SZ;
        }
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
        const NTSTATUS status = StoreDirect(name, type, data, entry.EntryContext);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            State& state = Registry();
            std::lock_guard<std::mutex> guard(state.Lock);
            return state.TooSmallStringStops ? status : STATUS_SUCCESS;
        }
        return status;
    }
    if (type == REG_MULTI_SZ && !noExpand) {
        // One call per contained string, each as REG_SZ with its NUL.
        const size_t chars = data.size() / 2;
        const auto* text = reinterpret_cast<const char16_t*>(data.data());
        size_t start = 0;
        while (start < chars && text[start] != 0) {
            size_t end = start;
            while (end < chars && text[end] != 0) {
                ++end;
            }
            const size_t bytes = (std::min(end + 1, chars) - start) * 2;
            const NTSTATUS status = CallRoutine(entry, name, REG_SZ, data.data() + start * 2, bytes, context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return CallRoutine(entry, name, type, data.data(), data.size(), context);
}

// The default of an entry as a value of DefaultType; lengths of 0 are
// measured for strings (including the NUL).
std::vector<uint8_t> DefaultData(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name)
{
    size_t length = entry.DefaultLength;
    const bool isString = entry.DefaultType == REG_SZ || entry.DefaultType == REG_EXPAND_SZ ||
                          entry.DefaultType == REG_MULTI_SZ;
    if (entry.DefaultData == nullptr && (length != 0 || isString)) {
        HkBugCheck(HkStop::DetectedViolation::DefaultWithoutData,
                   "RtlQueryRegistryValues: entry \"" + ToUtf8(name) + "\" has a default without DefaultData");
    }
    if (length == 0 && isString) {
        const auto* text = static_cast<const WCHAR*>(entry.DefaultData);
        size_t chars = 0;
        if (entry.DefaultType == REG_MULTI_SZ) {
            while (text[chars] != 0) {
                while (text[chars] != 0) {
                    ++chars;
                }
                ++chars;
            }
        } else {
            while (text[chars] != 0) {
                ++chars;
            }
        }
        length = (chars + 1) * 2;
    }
    const auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
    return std::vector<uint8_t>(bytes, bytes + length);
}

NTSTATUS QueryNamedValue(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key, PVOID context)
{
    const std::u16string name = FromPcwstr(entry.Name);
    std::optional<Value> value;
    {
        State& state = Registry();
        std::lock_guard<std::mutex> guard(state.Lock);
        if (const Value* found = key->FindValue(name)) {
            value = *found;
        }
    }
    // A value without data is passed over, default and all: the platform's
    // query sees no data offset and stores nothing for it.
    if (value && value->Data.empty()) {
        return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    }
    const bool useDefault = !value || value->Type == REG_NONE;
    if (!useDefault) {
        return Deliver(entry, name, value->Type, value->Data, context);
    }
    if (entry.DefaultType == REG_NONE) {
        return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    }
    return Deliver(entry, name, entry.DefaultType, DefaultData(entry, name), context);
}

NTSTATUS EnumerateValues(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key, PVOID context)
{
    std::vector<Value> values;
    {
        // A snapshot: the routine may change the key while we walk it.
        State& state = Registry();
        std::lock_guard<std::mutex> guard(state.Lock);
        values.assign(key->Values.begin(), key->Values.end());
    }
    if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (const Value& value : values) {
        if ((value.Type == REG_NONE && entry.DefaultType == REG_NONE) || value.Data.empty()) {
            continue; // values without data never reach the routine
        }
        const NTSTATUS status = Deliver(entry, value.Name, value.Type, value.Data, context);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

std::u16string RelativeBase(ULONG base)
{
    switch (base) {
    case RTL_REGISTRY_SERVICES:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
        return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
        return u"\\Registry\\User\\.Default"; // what a system thread gets
    default:
        return u"";
    }
}

// Finds the key RtlQueryRegistryValues works on, or the open failure.
NTSTATUS OpenQueryKey(ULONG relativeTo, PCWSTR path, std::shared_ptr<Key>& key)
{
    State& state = Registry();
    // OPTIONAL is masked off, as in the open implementations: a missing key
    // still fails the call.
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        std::lock_guard<std::mutex> guard(state.Lock);
        key = KeyOfHandle(state, const_cast<PWSTR>(path), "RtlQueryRegistryValues(RTL_REGISTRY_HANDLE)");
        return key->Deleted ? StatusKeyDeleted : STATUS_SUCCESS;
    }
    if (relativeTo >= RTL_REGISTRY_MAXIMUM) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string full;
    if (relativeTo == RTL_REGISTRY_ABSOLUTE) {
        if (path == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        full = FromPcwstr(path);
    } else {
        full = RelativeBase(relativeTo);
        if (path != nullptr && path[0] != 0) {
            const std::u16string relative = FromPcwstr(path);
            full += relative[0] == u'\\' ? relative : u"\\" + relative;
        }
    }
    const auto components = SplitPath(full, true);
    if (!components) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> guard(state.Lock);
    key = Lookup(state.Root, *components);
    if (!key || key == state.Root) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

std::string LeftOpenHandles()
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::string report;
    for (const auto& [handle, open] : state.Handles) {
        report += (report.empty() ? "" : "; ") + std::string("key handle ") + Hex(handle) + " to " + open.Path +
                  " never closed";
    }
    return report;
}

struct Registrar {
    Registrar()
    {
        HkRegisterReset("registry", [] {
            State& state = Registry();
            std::lock_guard<std::mutex> guard(state.Lock);
            EmptyRegistry(state);
        });
        HkRegisterLeakCheck("registry", LeftOpenHandles);
        State& state = Registry();
        std::lock_guard<std::mutex> guard(state.Lock);
        EmptyRegistry(state);
    }
} registrar;

} // namespace

// ---------------------------------------------------------------- platform services

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (KeyHandle == nullptr || ObjectAttributes == nullptr) {
        HkBugCheck(HkStop::DetectedViolation::OpenKeyArgumentMissing,
                   "ZwOpenKey: KeyHandle or ObjectAttributes is NULL");
    }
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    const PUNICODE_STRING objectName = ObjectAttributes->ObjectName;
    if (objectName == nullptr || (objectName->Length & 1) != 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (objectName->Buffer == nullptr && objectName->Length != 0) {
        HkBugCheck(HkStop::DetectedViolation::OpenKeyNameWithoutBuffer,
                   "ZwOpenKey: ObjectName has a Length but no Buffer");
    }
    const std::u16string name = FromCounted(objectName->Buffer, objectName->Length);
    const bool relative = ObjectAttributes->RootDirectory != nullptr;
    const auto components = SplitPath(name, !relative);
    if (!components) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::string path;
    std::shared_ptr<Key> start = state.Root;
    if (relative) {
        const auto open = state.Handles.find(reinterpret_cast<uintptr_t>(ObjectAttributes->RootDirectory));
        start = KeyOfHandle(state, ObjectAttributes->RootDirectory, "ZwOpenKey(RootDirectory)");
        path = open->second.Path + "\\";
    } else {
        path = "";
    }
    const std::shared_ptr<Key> key = Lookup(start, *components);
    if (!key || key->Deleted) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (key == state.Root) {
        return STATUS_OBJECT_TYPE_MISMATCH; // the object root is a directory, not a key
    }
    const uintptr_t handle = 0x1000 + 4 * state.NextHandle++;
    state.Handles[handle] = OpenKey{key, path + ToUtf8(name)};
    *KeyHandle = reinterpret_cast<HANDLE>(handle);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    // Closing a handle that is not open is a driver bug the platform answers
    // with STATUS_INVALID_HANDLE; under Driver Verifier it is a bug check,
    // and so it is here: KeyOfHandle stops the test.
    KeyOfHandle(state, Handle, "ZwClose");
    state.Handles.erase(reinterpret_cast<uintptr_t>(Handle));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (KeyValueInformationClass != KeyValueFullInformation) {
        HkBugCheck(HkStop::DetectedViolation::QueryValueClassUnsupported, "ZwQueryValueKey: information class " +
                                                                              std::to_string(KeyValueInformationClass) +
                                                                              " is unsupported in the stand-in");
    }
    if (ValueName == nullptr || ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        HkBugCheck(HkStop::DetectedViolation::QueryValueArgumentMissing,
                   "ZwQueryValueKey: NULL ValueName, ResultLength or buffer");
    }
    const std::u16string name = FromCounted(ValueName->Buffer, ValueName->Length);

    State& state = Registry();
    std::unique_lock<std::mutex> guard(state.Lock);
    const std::shared_ptr<Key> key = KeyOfHandle(state, KeyHandle, "ZwQueryValueKey");
    if (key->Deleted) {
        return StatusKeyDeleted;
    }
    const Value* found = key->FindValue(name);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const Value value = *found;
    guard.unlock();

    const ULONG nameLength = static_cast<ULONG>(value.Name.size() * 2);
    const ULONG dataLength = static_cast<ULONG>(value.Data.size());
    // A value without data has no data offset: the platform reports -1.
    const ULONG nameEnd = (FullInformationFixedPart + nameLength + 3) & ~3u;
    const ULONG dataOffset = dataLength == 0 ? NoDataOffset : nameEnd;
    const ULONG needed = dataLength == 0 ? FullInformationFixedPart + nameLength : nameEnd + dataLength;
    *ResultLength = needed;
    if (Length < FullInformationFixedPart) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<uint8_t*>(KeyValueInformation);
    const ULONG fixed[5] = {0, value.Type, dataOffset, dataLength, nameLength};
    std::memcpy(out, fixed, sizeof(fixed));
    const std::vector<uint8_t> nameBytes(reinterpret_cast<const uint8_t*>(value.Name.data()),
                                         reinterpret_cast<const uint8_t*>(value.Name.data()) + nameLength);
    if (nameLength != 0) {
        std::memcpy(out + FullInformationFixedPart, nameBytes.data(),
                    std::min(nameLength, Length - FullInformationFixedPart));
    }
    if (dataLength != 0 && Length > dataOffset) {
        std::memcpy(out + dataOffset, value.Data.data(), std::min(dataLength, Length - dataOffset));
    }
    return Length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                PVOID Context, PVOID)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    HkPassPausePoint("RtlQueryRegistryValues", Path);
    if (QueryTable == nullptr) {
        HkBugCheck(HkStop::DetectedViolation::QueryTableMissing, "RtlQueryRegistryValues: QueryTable is NULL");
    }
    std::shared_ptr<Key> key;
    const NTSTATUS openStatus = OpenQueryKey(RelativeTo, Path, key);
    if (!NT_SUCCESS(openStatus)) {
        return openStatus; // before any entry, so no default is stored
    }
    constexpr ULONG unsupported = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY |
                                  RTL_QUERY_REGISTRY_NOVALUE | RTL_QUERY_REGISTRY_DELETE;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         ++entry) {
        if (entry->Flags & unsupported) {
            HkBugCheck(HkStop::DetectedViolation::QueryFlagsUnsupported,
                       "RtlQueryRegistryValues: entry flags " + Hex(entry->Flags) +
                           " (SUBKEY/TOPKEY/NOVALUE/DELETE) unsupported in the stand-in");
        }
        const bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct && (entry->Name == nullptr || entry->QueryRoutine != nullptr)) {
            return STATUS_INVALID_PARAMETER;
        }
        const NTSTATUS status =
            entry->Name == nullptr ? EnumerateValues(*entry, key, Context) : QueryNamedValue(*entry, key, Context);
        if (!NT_SUCCESS(status)) {
            return status; // earlier entries keep what they stored
        }
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- test API

std::string HkRegCanonicalPath(const std::string& Path)
{
    std::string canonical = Path;
    const size_t firstSeparator = Path.find('\\');
    const std::string root = Path.substr(0, firstSeparator);
    for (const RootAlias& alias : RootAliases) {
        if (SameName(FromUtf8(root), FromUtf8(alias.Name))) {
            canonical = alias.Path + (firstSeparator == std::string::npos ? "" : Path.substr(firstSeparator));
            break;
        }
    }
    const auto components = SplitPath(FromUtf8(canonical), true);
    if (!components || components->size() < 2 || !SameName((*components)[0], u"Registry") ||
        !(SameName((*components)[1], u"Machine") || SameName((*components)[1], u"User"))) {
        throw std::invalid_argument("not a registry key path: \"" + Path + "\"");
    }
    return canonical;
}

void HkRegCreateKey(const std::string& Path)
{
    const auto components = TestPathComponents(Path);
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    Create(state, components);
}

bool HkRegDeleteKey(const std::string& Path)
{
    auto components = TestPathComponents(Path);
    if (components.size() <= 2) {
        throw std::invalid_argument("the registry roots cannot be deleted: \"" + Path + "\"");
    }
    const std::u16string last = components.back();
    components.pop_back();
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    const std::shared_ptr<Key> parent = Lookup(state.Root, components);
    if (!parent) {
        return false;
    }
    auto found = parent->Subkeys.find(Upcased(last));
    if (found == parent->Subkeys.end()) {
        return false;
    }
    MarkDeleted(*found->second);
    parent->Subkeys.erase(found);
    return true;
}

bool HkRegKeyExists(const std::string& Path)
{
    const auto components = TestPathComponents(Path);
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    return Lookup(state.Root, components) != nullptr;
}

void HkRegSetValue(const std::string& Path, const std::string& Name, ULONG Type, const std::vector<uint8_t>& Data)
{
    const auto components = TestPathComponents(Path);
    const std::u16string name = FromUtf8(Name);
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    Create(state, components)->SetValue(name, Type, Data);
}

std::vector<uint8_t> HkRegStringData(const std::string& Text)
{
    std::u16string text = FromUtf8(Text);
    text.push_back(0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(bytes, bytes + text.size() * 2);
}

void HkRegSetString(const std::string& Path, const std::string& Name, const std::string& Text)
{
    HkRegSetValue(Path, Name, REG_SZ, HkRegStringData(Text));
}

void HkRegSetMultiString(const std::string& Path, const std::string& Name, const std::vector<std::string>& Texts)
{
    std::vector<uint8_t> data;
    for (const std::string& text : Texts) {
        const std::vector<uint8_t> one = HkRegStringData(text);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    HkRegSetValue(Path, Name, REG_MULTI_SZ, data);
}

void HkRegSetDword(const std::string& Path, const std::string& Name, ULONG Value)
{
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &Value, 4);
    HkRegSetValue(Path, Name, REG_DWORD, data);
}

void HkRegSetBinary(const std::string& Path, const std::string& Name, const std::vector<uint8_t>& Data)
{
    HkRegSetValue(Path, Name, REG_BINARY, Data);
}

bool HkRegDeleteValue(const std::string& Path, const std::string& Name)
{
    const auto components = TestPathComponents(Path);
    const std::u16string name = FromUtf8(Name);
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    const std::shared_ptr<Key> key = Lookup(state.Root, components);
    return key && key->DeleteValue(name);
}

std::optional<HkRegValue> HkRegGetValue(const std::string& Path, const std::string& Name)
{
    const auto components = TestPathComponents(Path);
    const std::u16string name = FromUtf8(Name);
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    const std::shared_ptr<Key> key = Lookup(state.Root, components);
    const Value* value = key ? key->FindValue(name) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return HkRegValue{value->Type, value->Data};
}

std::vector<std::string> HkRegValueNames(const std::string& Path)
{
    const auto components = TestPathComponents(Path);
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::vector<std::string> names;
    if (const std::shared_ptr<Key> key = Lookup(state.Root, components)) {
        for (const Value& value : key->Values) {
            names.push_back(ToUtf8(value.Name));
        }
    }
    return names;
}

void HkRegSetTooSmallStringStopsQuery(bool Stops)
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.TooSmallStringStops = Stops;
}

void HkRegDeclareDirectDestination(void* Address, size_t Bytes)
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Destinations[reinterpret_cast<uintptr_t>(Address)] = Bytes;
}

void HkRegForgetDirectDestination(void* Address)
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Destinations.erase(reinterpret_cast<uintptr_t>(Address));
}

size_t HkRegOpenHandleCount()
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Handles.size();
}
