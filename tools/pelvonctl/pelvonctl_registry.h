// The service's Parameters key, as a platform gives it to the tools: the
// Win32 registry on Windows, the stand-in's registry on the host, a fake in
// tests. The tools only read and write values of that one key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the driver's service key is called where a person reads it.
inline const char* const PelvonctlParametersKeyName =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters";

// Registry value types, as the platform numbers them.
constexpr std::uint32_t PelvonctlRegSz = 1;
constexpr std::uint32_t PelvonctlRegExpandSz = 2;
constexpr std::uint32_t PelvonctlRegBinary = 3;
constexpr std::uint32_t PelvonctlRegDword = 4;
constexpr std::uint32_t PelvonctlRegMultiSz = 7;

struct PelvonctlRegistryValue {
    std::uint32_t Type = 0;
    std::vector<std::uint8_t> Data;
    bool operator==(const PelvonctlRegistryValue&) const = default;
};

enum class PelvonctlRegistryState {
    Present,       // Value holds it
    ValueAbsent,   // the key exists without this value
    KeyAbsent,     // the service exists without a Parameters key
    ServiceAbsent, // the pelvon service is not installed
    Failed,        // anything else: Error and Reason say what
};

struct PelvonctlRegistryRead {
    PelvonctlRegistryState State = PelvonctlRegistryState::Failed;
    PelvonctlRegistryValue Value;
    std::uint32_t Error = 0; // Win32 error code
    std::string Reason;
};

struct PelvonctlRegistryWrite {
    std::uint32_t Error = 0; // 0: written
    std::string Reason;      // for a person, e.g. "access denied: run it as an administrator"
    bool Ok() const { return Error == 0; }
};

// Win32 error codes the seams report.
constexpr std::uint32_t PelvonctlErrorFileNotFound = 2;
constexpr std::uint32_t PelvonctlErrorAccessDenied = 5;
constexpr std::uint32_t PelvonctlErrorNotSupported = 50;

struct PelvonctlRegistry {
    // Reads one value of the Parameters key.
    std::function<PelvonctlRegistryRead(const std::string& name)> Read;
    // Writes one value, creating the Parameters key under an installed
    // service if needed; never creates the service key itself.
    std::function<PelvonctlRegistryWrite(const std::string& name, const PelvonctlRegistryValue& value)> Write;
    // Whether a write would be allowed, changing nothing.
    std::function<PelvonctlRegistryWrite()> CheckWritable;
};

// The service's Parameters key on this platform: the Win32 registry
// (pelvonctl_registry_win32.cpp) or the stand-in's (pelvonctl_registry_host.cpp).
PelvonctlRegistry PelvonctlPlatformRegistry();
