// Test API of drivers and devices: loading and unloading a driver, and
// what the object namespace holds.
#include "io_device_internal.h"

#include <cstring>

using namespace hkio;
using namespace hkio::device;

PDRIVER_OBJECT HkLoadDriver(PDRIVER_INITIALIZE Entry, const char* RegistryPath, const HkLoadOptions& Options)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkLoadDriver");
    const std::u16string path = Widen(RegistryPath);
    const size_t slash = path.find_last_of(u'\\');
    const std::u16string service = slash == std::u16string::npos ? path : path.substr(slash + 1);
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        driver = NewDriverLocked(service, InvalidDeviceRequest, false);
    }
    driver->DriverInit = Entry;

    // The path is valid only during DriverEntry: it is poisoned and freed
    // afterwards, so a driver that keeps the pointer reads garbage.
    const size_t chars = path.size() + (Options.PathWithoutNulRoom ? 0 : 1);
    auto buffer = std::make_unique<WCHAR[]>(std::max<size_t>(chars, 1));
    std::memcpy(buffer.get(), path.data(), path.size() * 2);
    UNICODE_STRING registryPath;
    registryPath.Buffer = buffer.get();
    registryPath.Length = static_cast<USHORT>(path.size() * 2);
    registryPath.MaximumLength = static_cast<USHORT>(chars * 2);

    const KIRQL irql = HkIrql();
    const NTSTATUS status = Entry(driver, &registryPath);
    std::memset(buffer.get(), FreedPoison, std::max<size_t>(chars, 1) * 2);
    buffer.reset();
    if (Options.EntryStatus != nullptr) {
        *Options.EntryStatus = status;
    }
    if (HkIrql() != irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::DriverEntryChangedIrql,
                   "DriverEntry of " + DescribeDriver(driver) + " returned at IRQL " + std::to_string(HkIrql()));
    }
    CheckInitializingCleared(driver, {}, "DriverEntry");
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        FindDriverLocked(driver)->Unloaded = true;
        return nullptr;
    }
    return driver;
}

std::string HkUnloadDriver(PDRIVER_OBJECT Driver)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkUnloadDriver");
    std::string name;
    const void* memory;
    size_t bytes;
    {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        DriverInfo* info = FindDriverLocked(Driver);
        if (info == nullptr || info->Internal) {
            throw std::invalid_argument("HkUnloadDriver: " + Hex(Driver) + " is not a loaded driver");
        }
        if (info->Unloaded) {
            return Narrow(info->Name) + " is not loaded";
        }
        name = Narrow(info->Name);
        memory = info->Memory.get();
        bytes = info->Bytes;
    }
    if (Driver->DriverUnload == nullptr) {
        return name + " has no unload routine: the platform cannot unload it";
    }
    const KIRQL irql = HkIrql();
    Driver->DriverUnload(Driver);
    if (HkIrql() != irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::UnloadChangedIrql,
                   "the unload routine of " + name + " returned at IRQL " + std::to_string(HkIrql()));
    }
    // Its code is about to go: nothing of it may still be due to run.
    HkCheckNoTimersIn(memory, bytes);
    std::string report;
    for (PDEVICE_OBJECT device : LiveDevicesOf(Driver)) {
        const void* begin;
        size_t length;
        {
            std::lock_guard<std::mutex> guard(Objects().Lock);
            DeviceInfo* info = FindDeviceLocked(device);
            begin = info->Memory.get();
            length = info->Bytes;
            report += info->Label + " remains; ";
        }
        HkCheckNoTimersIn(begin, length);
    }
    std::lock_guard<std::mutex> guard(Objects().Lock);
    FindDriverLocked(Driver)->Unloaded = true;
    return report;
}

void HkDeclarePeerDriver(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DriverInfo* info = FindDriverLocked(Driver);
    if (info == nullptr) {
        throw std::invalid_argument("HkDeclarePeerDriver: " + Hex(Driver) + " is not a driver object");
    }
    info->Peer = true;
}

PDEVICE_OBJECT HkFindDevice(const char* Name)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return ResolveLocked(Widen(Name)).first;
}

PDEVICE_OBJECT HkTopOfStack(PDEVICE_OBJECT Device)
{
    return AttachedTop(Device);
}

PDEVICE_OBJECT HkLowerDevice(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* info = FindDeviceLocked(Device);
    return info != nullptr ? info->Lower : nullptr;
}

std::vector<PDEVICE_OBJECT> HkDevicesOf(PDRIVER_OBJECT Driver)
{
    return LiveDevicesOf(Driver);
}

bool HkDeviceLive(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* info = FindDeviceLocked(Device);
    return info != nullptr && !info->Deleted;
}

std::string HkSymbolicLinkTarget(const char* Link)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    auto found = Objects().Links.find(Key(Widen(Link)));
    return found == Objects().Links.end() ? std::string() : Narrow(found->second.Target);
}

LONG HkOpenCount(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return FindDeviceLocked(Device) != nullptr ? Device->ReferenceCount : 0;
}
