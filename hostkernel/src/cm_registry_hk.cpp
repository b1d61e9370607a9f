// Test API of the registry: keys and values by path, the handles open,
// and the direct-store destinations a test declares.
#include "cm_registry_internal.h"

#include <cstring>
#include <stdexcept>

using namespace hk::registry;

namespace {

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

} // namespace

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
