// The configuration manager of the stand-in: an in-memory registry tree,
// key handles, and the machinery behind RtlQueryRegistryValues.
#include "cm_registry_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace hk::registry {
namespace {

constexpr ULONG FullInformationFixedPart = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG NoDataOffset = 0xFFFFFFFF;

// Values may be empty: memcpy wants a valid source even for zero bytes.
void CopyBytes(void* Destination, const void* Source, size_t Length)
{
    if (Length != 0) {
        std::memcpy(Destination, Source, Length);
    }
}

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

// A NUL-terminated platform string (WCHAR is 16 bits in this build).
std::u16string FromPcwstr(PCWSTR text)
{
    std::u16string out;
    for (; *text != 0; ++text) {
        out.push_back(static_cast<char16_t>(*text));
    }
    return out;
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

std::string Hex(uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::u16string FromCounted(const WCHAR* buffer, size_t bytes)
{
    std::u16string out;
    for (size_t i = 0; i < bytes / 2; ++i) {
        out.push_back(static_cast<char16_t>(buffer[i]));
    }
    return out;
}

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

NTSTATUS OpenKeyHandle(HANDLE Root, const std::u16string& Name, PHANDLE KeyHandle)
{
    const bool relative = Root != nullptr;
    const auto components = SplitPath(Name, !relative);
    if (!components) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::string path;
    std::shared_ptr<Key> start = state.Root;
    if (relative) {
        start = KeyOfHandle(state, Root, "ZwOpenKey(RootDirectory)");
        path = state.Handles.find(reinterpret_cast<uintptr_t>(Root))->second.Path + "\\";
    }
    const std::shared_ptr<Key> key = Lookup(start, *components);
    if (!key || key->Deleted) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (key == state.Root) {
        return STATUS_OBJECT_TYPE_MISMATCH; // the object root is a directory, not a key
    }
    const uintptr_t handle = 0x1000 + 4 * state.NextHandle++;
    state.Handles[handle] = OpenKey{key, path + ToUtf8(Name)};
    *KeyHandle = reinterpret_cast<HANDLE>(handle);
    return STATUS_SUCCESS;
}

void CloseKeyHandle(HANDLE Handle)
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    // Closing a handle that is not open is a driver bug the platform answers
    // with STATUS_INVALID_HANDLE; under Driver Verifier it is a bug check,
    // and so it is here: KeyOfHandle stops the test.
    KeyOfHandle(state, Handle, "ZwClose");
    state.Handles.erase(reinterpret_cast<uintptr_t>(Handle));
}

NTSTATUS FindValue(HANDLE KeyHandle, const std::u16string& Name, Value& Found)
{
    State& state = Registry();
    std::lock_guard<std::mutex> guard(state.Lock);
    const std::shared_ptr<Key> key = KeyOfHandle(state, KeyHandle, "ZwQueryValueKey");
    if (key->Deleted) {
        return StatusKeyDeleted;
    }
    const Value* found = key->FindValue(Name);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Found = *found;
    return STATUS_SUCCESS;
}

NTSTATUS FillFullInformation(const Value& Found, PVOID Buffer, ULONG Length, PULONG ResultLength)
{
    const ULONG nameLength = static_cast<ULONG>(Found.Name.size() * 2);
    const ULONG dataLength = static_cast<ULONG>(Found.Data.size());
    // A value without data has no data offset: the platform reports -1.
    const ULONG nameEnd = (FullInformationFixedPart + nameLength + 3) & ~3u;
    const ULONG dataOffset = dataLength == 0 ? NoDataOffset : nameEnd;
    const ULONG needed = dataLength == 0 ? FullInformationFixedPart + nameLength : nameEnd + dataLength;
    *ResultLength = needed;
    if (Length < FullInformationFixedPart) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<uint8_t*>(Buffer);
    const ULONG fixed[5] = {0, Found.Type, dataOffset, dataLength, nameLength};
    std::memcpy(out, fixed, sizeof(fixed));
    if (nameLength != 0) {
        std::memcpy(out + FullInformationFixedPart, Found.Name.data(),
                    std::min(nameLength, Length - FullInformationFixedPart));
    }
    if (dataLength != 0 && Length > dataOffset) {
        std::memcpy(out + dataOffset, Found.Data.data(), std::min(dataLength, Length - dataOffset));
    }
    return Length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
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

} // namespace hk::registry
