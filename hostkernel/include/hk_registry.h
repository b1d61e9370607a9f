// Test-facing API of the stand-in's registry (see hostkernel.h).
//
// Paths name keys the way the object manager does: "\Registry\Machine\..."
// or "\Registry\User\...". For convenience the test API also accepts the
// roots HKEY_LOCAL_MACHINE (HKLM), HKEY_USERS (HKU), HKEY_CURRENT_USER
// (HKCU, = \Registry\User\.Default) and HKEY_CLASSES_ROOT (HKCR). Key and
// value names compare case-insensitively; values keep insertion order, which
// is the order RtlQueryRegistryValues enumerates them in. Names and string
// data given as std::string are UTF-8. An empty value name is the key's
// default value ("@" in a .reg file). A malformed path throws
// std::invalid_argument.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct HkRegValue {
    ULONG Type;
    std::vector<uint8_t> Data;
    bool operator==(const HkRegValue&) const = default;
};

// The "\Registry\..." form of a path given with one of the roots above.
std::string HkRegCanonicalPath(const std::string& Path);

// Keys. HkRegCreateKey creates missing parents too; HkRegDeleteKey removes
// the key with all its subkeys and returns false when it did not exist.
void HkRegCreateKey(const std::string& Path);
bool HkRegDeleteKey(const std::string& Path);
bool HkRegKeyExists(const std::string& Path);

// Values. Setting a value creates its key if needed; replacing an existing
// value keeps its place in the enumeration order.
void HkRegSetValue(const std::string& Path, const std::string& Name, ULONG Type, const std::vector<uint8_t>& Data);
// REG_SZ, UTF-16LE with the terminating NUL.
void HkRegSetString(const std::string& Path, const std::string& Name, const std::string& Text);
// REG_MULTI_SZ: each string with its NUL, then the closing NUL.
void HkRegSetMultiString(const std::string& Path, const std::string& Name, const std::vector<std::string>& Texts);
void HkRegSetDword(const std::string& Path, const std::string& Name, ULONG Value);
void HkRegSetBinary(const std::string& Path, const std::string& Name, const std::vector<uint8_t>& Data);
bool HkRegDeleteValue(const std::string& Path, const std::string& Name);
std::optional<HkRegValue> HkRegGetValue(const std::string& Path, const std::string& Name);
// Value names of a key in enumeration order (empty when the key is missing).
std::vector<std::string> HkRegValueNames(const std::string& Path);

// Encodes text as UTF-16LE with the terminating NUL, as REG_SZ data is stored.
std::vector<uint8_t> HkRegStringData(const std::string& Text);

// .reg files ("REGEDIT4" or "Windows Registry Editor Version 5.00"):
// [KEY] sections, [-KEY] deletes, "Name"="text" (\\ and \" escapes), @=,
// dword:, hex:, hex(N): with '\' continuations, "Name"=-, ';' comments.
// The file is checked whole before anything is applied: on an error the
// registry is unchanged and the error names the line.
struct HkRegFileError {
    int Line; // 1-based; 0 when the file itself could not be read
    std::string Message;
    std::string ToString() const; // "line N: message"
};
// What a loaded file set: each key it put a value under, once, in the
// order of the file, with the line of its first [section] that did.
struct HkRegFileSummary {
    struct ValueKey {
        std::string Path; // "\Registry\...", as the file spells it
        int Line;
    };
    std::vector<ValueKey> ValueKeys;
};
std::optional<HkRegFileError> HkRegLoadRegFile(const std::string& Text, HkRegFileSummary* Summary = nullptr);
std::optional<HkRegFileError> HkRegLoadRegFileFromPath(const std::string& FilePath,
                                                       HkRegFileSummary* Summary = nullptr);

// How a REG_SZ too long for a preset RTL_QUERY_REGISTRY_DIRECT destination
// is handled. true (after HkReset): the entry fails with
// STATUS_BUFFER_TOO_SMALL and ends the table query, as documented. false:
// the destination is left untouched and the query goes on (the reading of
// the open NT implementations).
void HkRegSetTooSmallStringStopsQuery(bool Stops);

// Declares the real size of a memory block that a driver hands to
// RtlQueryRegistryValues as a direct-store destination (the value itself, a
// UNICODE_STRING, or a UNICODE_STRING's Buffer). A store that would write
// past a declared block stops the test with a verifier failure instead of
// corrupting memory; a string stored into a block smaller than a
// UNICODE_STRING (e.g. a ULONG) is such an overrun too. Addresses inside a
// declared block are checked against the rest of the block. Declarations
// last until HkReset or HkRegForgetDirectDestination.
void HkRegDeclareDirectDestination(void* Address, size_t Bytes);
void HkRegForgetDirectDestination(void* Address);

// Registry handles the driver holds open, for tests.
size_t HkRegOpenHandleCount();
