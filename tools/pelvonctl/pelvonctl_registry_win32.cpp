// The Parameters key on Windows, the service's key in HKLM, through the
// Win32 registry routines (all in Windows 2000's advapi32). The service key itself is the installer's: it is opened,
// never created, so that no half service is left where the driver is not
// installed.
#include <windows.h>

#include "pelvonctl_registry.h"

namespace {

const wchar_t ServicePath[] = L"SYSTEM\\CurrentControlSet\\Services\\pelvon";
const wchar_t ParametersName[] = L"Parameters";

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end()); // value names are ASCII
}

std::string Reason(LONG error)
{
    if (error == ERROR_ACCESS_DENIED) {
        return "access denied: run it as an administrator";
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        return "the pelvon service is not installed";
    }
    return "Win32 error " + std::to_string(error);
}

class Key {
public:
    ~Key()
    {
        if (handle_ != nullptr) {
            RegCloseKey(handle_);
        }
    }
    LONG Open(HKEY parent, const wchar_t* path, REGSAM access)
    {
        return RegOpenKeyExW(parent, path, 0, access, &handle_);
    }
    LONG Create(HKEY parent, const wchar_t* path, REGSAM access)
    {
        return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &handle_, nullptr);
    }
    HKEY Handle() const { return handle_; }

private:
    HKEY handle_ = nullptr;
};

PelvonctlRegistryRead ReadValue(const std::string& name)
{
    PelvonctlRegistryRead read;
    Key service;
    Key parameters;
    LONG error = service.Open(HKEY_LOCAL_MACHINE, ServicePath, KEY_READ);
    if (error == ERROR_FILE_NOT_FOUND) {
        read.State = PelvonctlRegistryState::ServiceAbsent;
        return read;
    }
    if (error == ERROR_SUCCESS) {
        error = parameters.Open(service.Handle(), ParametersName, KEY_QUERY_VALUE);
        if (error == ERROR_FILE_NOT_FOUND) {
            read.State = PelvonctlRegistryState::KeyAbsent;
            return read;
        }
    }
    DWORD type = 0;
    DWORD size = 0;
    const std::wstring wideName = Wide(name);
    if (error == ERROR_SUCCESS) {
        error = RegQueryValueExW(parameters.Handle(), wideName.c_str(), nullptr, &type, nullptr, &size);
    }
    if (error == ERROR_SUCCESS) {
        read.Value.Data.resize(size);
        error = RegQueryValueExW(parameters.Handle(), wideName.c_str(), nullptr, &type,
                                 read.Value.Data.empty() ? nullptr : read.Value.Data.data(), &size);
        read.Value.Data.resize(size);
        read.Value.Type = type;
    }
    read.State = error == ERROR_SUCCESS          ? PelvonctlRegistryState::Present
                 : error == ERROR_FILE_NOT_FOUND ? PelvonctlRegistryState::ValueAbsent
                                                 : PelvonctlRegistryState::Failed;
    read.Error = static_cast<std::uint32_t>(error);
    read.Reason = error == ERROR_SUCCESS ? "" : Reason(error);
    return read;
}

// Opens the service key and creates Parameters under it for writing.
LONG OpenForWriting(Key& service, Key& parameters)
{
    const LONG error = service.Open(HKEY_LOCAL_MACHINE, ServicePath, KEY_READ);
    return error != ERROR_SUCCESS ? error : parameters.Create(service.Handle(), ParametersName, KEY_SET_VALUE);
}

} // namespace

PelvonctlRegistry PelvonctlPlatformRegistry()
{
    PelvonctlRegistry registry;
    registry.Read = ReadValue;
    registry.Write = [](const std::string& name, const PelvonctlRegistryValue& value) {
        Key service;
        Key parameters;
        LONG error = OpenForWriting(service, parameters);
        if (error == ERROR_SUCCESS) {
            error = RegSetValueExW(parameters.Handle(), Wide(name).c_str(), 0, value.Type,
                                   value.Data.empty() ? nullptr : value.Data.data(),
                                   static_cast<DWORD>(value.Data.size()));
        }
        return PelvonctlRegistryWrite{static_cast<std::uint32_t>(error), error == ERROR_SUCCESS ? "" : Reason(error)};
    };
    registry.CheckWritable = [] {
        Key service;
        Key parameters;
        const LONG error = OpenForWriting(service, parameters);
        return PelvonctlRegistryWrite{static_cast<std::uint32_t>(error), error == ERROR_SUCCESS ? "" : Reason(error)};
    };
    return registry;
}
