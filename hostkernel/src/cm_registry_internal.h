// What the registry files share: the in-memory tree, its names and the
// key handles, and the machinery behind the query services.
#pragma once

#include "internal.h"

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace hk::registry {

// Not in wdm.h: the driver never sees it, only a key deleted under an open handle.
inline constexpr NTSTATUS StatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);

// Registry names compare like the platform's upcase table does.
std::u16string Upcased(std::u16string s);
bool SameName(const std::u16string& a, const std::u16string& b);
// Names and data given to the test API as std::string are UTF-8.
std::u16string FromUtf8(const std::string& text);
std::string ToUtf8(const std::u16string& text);
std::string Hex(uintptr_t value);
// A counted platform string of bytes length.
std::u16string FromCounted(const WCHAR* buffer, size_t bytes);

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

State& Registry();

// Callers hold Registry().Lock.
void MarkDeleted(Key& key);
std::shared_ptr<Key> Lookup(const std::shared_ptr<Key>& start, const std::vector<std::u16string>& components);
// Creates missing keys on the way.
std::shared_ptr<Key> Create(State& state, const std::vector<std::u16string>& components);
// The key an open handle refers to; stops the test for any other handle.
std::shared_ptr<Key> KeyOfHandle(State& state, HANDLE handle, const char* routine);

// Splits "\A\B" (absolute) or "A\B" (relative) into components; an empty
// component is not a valid object name.
std::optional<std::vector<std::u16string>> SplitPath(const std::u16string& path, bool absolute);

// ZwOpenKey's lookup of Name (relative to Root when it is a handle); a new
// handle in *KeyHandle on success.
NTSTATUS OpenKeyHandle(HANDLE Root, const std::u16string& Name, PHANDLE KeyHandle);
void CloseKeyHandle(HANDLE Handle);
// ZwQueryValueKey's value, or the status that says why there is none.
NTSTATUS FindValue(HANDLE KeyHandle, const std::u16string& Name, Value& Found);
// Writes Value as KEY_VALUE_FULL_INFORMATION into Buffer, as much as fits.
NTSTATUS FillFullInformation(const Value& Found, PVOID Buffer, ULONG Length, PULONG ResultLength);

// RtlQueryRegistryValues: the key it works on, or the open failure.
NTSTATUS OpenQueryKey(ULONG relativeTo, PCWSTR path, std::shared_ptr<Key>& key);
// One table entry with a Name, and one without (every value of the key).
NTSTATUS QueryNamedValue(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key, PVOID context);
NTSTATUS EnumerateValues(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key, PVOID context);

} // namespace hk::registry
