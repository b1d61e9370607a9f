// Driver objects, device objects and their stacks, the object namespace
// (device names and symbolic links), file objects and their references.
#include "io_device_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hkio {
namespace device {
namespace {

// The object manager's names compare without letter case; the three
// spellings of the DOS device directory are one.
std::u16string Normalized(const std::u16string& Path)
{
    static const std::pair<std::u16string, std::u16string> aliases[] = {
        {u"\\DosDevices\\", u"\\??\\"}, {u"\\GLOBAL??\\", u"\\??\\"}, {u"\\\\.\\", u"\\??\\"}};
    for (const auto& [alias, canonical] : aliases) {
        if (Path.size() >= alias.size()) {
            bool same = true;
            for (size_t i = 0; i < alias.size() && same; ++i) {
                char16_t a = Path[i], b = alias[i];
                if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
                if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
                same = a == b;
            }
            if (same) {
                return canonical + Path.substr(alias.size());
            }
        }
    }
    return Path;
}

bool PrefixAtBoundary(const std::u16string& Text, const std::u16string& Prefix)
{
    return Text.size() >= Prefix.size() && Text.compare(0, Prefix.size(), Prefix) == 0 &&
           (Text.size() == Prefix.size() || Text[Prefix.size()] == u'\\');
}

std::string DriverLabelLocked(PDRIVER_OBJECT Driver)
{
    DriverInfo* info = FindDriverLocked(Driver);
    return info != nullptr ? Narrow(info->Name) : "driver " + Hex(Driver);
}

struct Registrar {
    Registrar()
    {
        HkRegisterReset("io", [] {
            ResetAsync(); // already done by "async_workers"; cheap
            ResetBus();
            ResetUserHandles();
            ResetIrps();
            ResetDevices();
            ResetRemoveLocks();
        });
        HkRegisterLeakCheck("io_async", AsyncLeaks);
        HkRegisterLeakCheck("io_irp", IrpLeaks);
        HkRegisterLeakCheck("io_device", DeviceLeaks);
        HkRegisterLeakCheck("io_removelock", RemoveLockLeaks);
    }
} registrar;

} // namespace

ObjectTable& Objects()
{
    static ObjectTable& table = *new ObjectTable; // never destroyed: outlives every thread and exit-time check
    return table;
}

std::u16string Key(const std::u16string& Path)
{
    std::u16string key = Normalized(Path);
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 32);
        }
    }
    return key;
}

DeviceInfo* FindDeviceLocked(PDEVICE_OBJECT Device)
{
    auto found = Objects().Devices.find(Device);
    return found == Objects().Devices.end() ? nullptr : found->second.get();
}

DriverInfo* FindDriverLocked(PDRIVER_OBJECT Driver)
{
    auto found = Objects().Drivers.find(Driver);
    return found == Objects().Drivers.end() ? nullptr : found->second.get();
}

FileInfo* FindFileLocked(PFILE_OBJECT File)
{
    auto found = Objects().Files.find(File);
    return found == Objects().Files.end() ? nullptr : found->second.get();
}

PDEVICE_OBJECT AttachedTopLocked(PDEVICE_OBJECT Device)
{
    while (Device->AttachedDevice != nullptr) {
        Device = Device->AttachedDevice;
    }
    return Device;
}

std::string DescribeDeviceLocked(PDEVICE_OBJECT Device)
{
    if (Device == nullptr) {
        return "(no device)";
    }
    DeviceInfo* info = FindDeviceLocked(Device);
    return info != nullptr ? info->Label : "device " + Hex(Device);
}

std::pair<PDEVICE_OBJECT, std::u16string> ResolveLocked(const std::u16string& Path)
{
    ObjectTable& objects = Objects();
    std::u16string text = Normalized(Path);
    for (int depth = 0; depth < 32; ++depth) {
        const std::u16string key = Key(text);
        bool replaced = false;
        for (const auto& [linkKey, link] : objects.Links) {
            if (PrefixAtBoundary(key, linkKey)) {
                text = Normalized(link.Target) + text.substr(linkKey.size());
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            break;
        }
    }
    const std::u16string key = Key(text);
    PDEVICE_OBJECT best = nullptr;
    size_t bestLength = 0;
    for (const auto& [nameKey, device] : objects.Names) {
        if (PrefixAtBoundary(key, nameKey) && nameKey.size() > bestLength) {
            best = device;
            bestLength = nameKey.size();
        }
    }
    if (best == nullptr) {
        return {nullptr, {}};
    }
    return {best, text.substr(bestLength)};
}

PDEVICE_OBJECT NewDeviceLocked(PDRIVER_OBJECT Driver, ULONG ExtensionSize, const std::u16string& Name,
                               DEVICE_TYPE Type, ULONG Characteristics, bool Exclusive, bool Internal)
{
    ObjectTable& objects = Objects();
    auto info = std::make_unique<DeviceInfo>();
    const size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    info->Bytes = extensionOffset + ExtensionSize;
    info->Memory = std::make_unique<unsigned char[]>(info->Bytes); // zero-filled, extension included
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(info->Memory.get());
    device->Type = IoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + ExtensionSize);
    device->DriverObject = Driver;
    device->NextDevice = Driver->DeviceObject;
    Driver->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }
    if (!Name.empty()) {
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->Characteristics = Characteristics;
    device->DeviceExtension = ExtensionSize != 0 ? info->Memory.get() + extensionOffset : nullptr;
    device->DeviceType = Type;
    device->StackSize = 1;
    device->DeviceObjectExtension = info.get();
    info->Device = device;
    info->Driver = Driver;
    info->Name = Name;
    info->Internal = Internal;
    info->Label = Name.empty() ? "unnamed device " + Hex(device) + " of " + DriverLabelLocked(Driver) : Narrow(Name);
    if (!Name.empty()) {
        objects.Names[Key(Name)] = device;
    }
    objects.Devices[device] = std::move(info);
    return device;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT NewDriverLocked(const std::u16string& ServiceKey, PDRIVER_DISPATCH Dispatch, bool Internal)
{
    auto info = std::make_unique<DriverInfo>();
    info->Bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    info->Memory = std::make_unique<unsigned char[]>(info->Bytes);
    auto* driver = reinterpret_cast<PDRIVER_OBJECT>(info->Memory.get());
    auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(info->Memory.get() + sizeof(DRIVER_OBJECT));
    info->Driver = driver;
    info->ServiceKey = ServiceKey;
    info->Name = u"\\Driver\\" + ServiceKey;
    info->Internal = Internal;
    driver->Type = IoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    extension->ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(info->ServiceKey.data());
    extension->ServiceKeyName.Length = static_cast<USHORT>(info->ServiceKey.size() * 2);
    extension->ServiceKeyName.MaximumLength = extension->ServiceKeyName.Length;
    driver->DriverName.Buffer = reinterpret_cast<PWSTR>(info->Name.data());
    driver->DriverName.Length = static_cast<USHORT>(info->Name.size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = Dispatch;
    }
    Objects().Drivers[driver] = std::move(info);
    return driver;
}

void CloseFile(PFILE_OBJECT File)
{
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        top = AttachedTopLocked(FindFileLocked(File)->Device);
    }
    ManagerIrp close = MakeManagerIrp(top->StackSize, IRP_MJ_CLOSE, 0, File, KernelMode);
    SendManagerIrp(top, close);
    std::lock_guard<std::mutex> guard(Objects().Lock);
    FileInfo* info = FindFileLocked(File);
    info->Closed = true;
    PDEVICE_OBJECT device = info->Device;
    --device->ReferenceCount;
    if (info->ViaGetPointer && device->ReferenceCount == 0) {
        if (DeviceInfo* deviceInfo = FindDeviceLocked(device)) {
            deviceInfo->ReleasedByClient = true;
        }
    }
}

DeviceMemory CheckDeletable(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* info = FindDeviceLocked(Device);
    if (info == nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::DeleteNotDevice,
                   "IoDeleteDevice on " + Hex(Device) + ", which is not a device object");
    }
    if (info->Deleted) {
        HkBugCheck(HkStop::IoManagerViolation::DeletedTwice,
                   "IoDeleteDevice on " + info->Label + ", which was already deleted");
    }
    if (Device->AttachedDevice != nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::DeleteWithDeviceAbove,
                   "IoDeleteDevice on " + info->Label + " while " + DescribeDeviceLocked(Device->AttachedDevice) +
                       " is attached above it");
    }
    if (info->Lower != nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::DeleteWhileAttached,
                   "IoDeleteDevice on " + info->Label + " while it is still attached to " +
                       DescribeDeviceLocked(info->Lower) + " (IoDetachDevice first)");
    }
    return {info->Memory.get(), info->Bytes, info->Label};
}

void Forget(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* info = FindDeviceLocked(Device);
    if (!info->Name.empty()) {
        Objects().Names.erase(Key(info->Name));
    }
    PDEVICE_OBJECT* link = &info->Driver->DeviceObject;
    while (*link != nullptr && *link != Device) {
        link = &(*link)->NextDevice;
    }
    if (*link != nullptr) {
        *link = Device->NextDevice;
    }
    info->Deleted = true;
    // Freed memory on the platform; kept here, poisoned, while no file
    // object holds the device.
    if (Device->ReferenceCount == 0 && Device->DeviceExtension != nullptr) {
        const auto* extension = static_cast<unsigned char*>(Device->DeviceExtension);
        const auto* end = info->Memory.get() + info->Bytes;
        if (extension >= info->Memory.get() && extension < end) {
            std::memset(const_cast<unsigned char*>(extension), FreedPoison, end - extension);
        }
    }
}

} // namespace device

using namespace device;

// ---- message helpers

std::string Hex(const void* P)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", P);
    return text;
}

std::string StatusText(NTSTATUS Status)
{
    static const std::map<ULONG, const char*> names = {
        {0x00000000, "STATUS_SUCCESS"},
        {0x00000102, "STATUS_TIMEOUT"},
        {0x00000103, "STATUS_PENDING"},
        {0x80000005, "STATUS_BUFFER_OVERFLOW"},
        {0xC0000001, "STATUS_UNSUCCESSFUL"},
        {0xC000000D, "STATUS_INVALID_PARAMETER"},
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
        {0xC0000022, "STATUS_ACCESS_DENIED"},
        {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC0000056, "STATUS_DELETE_PENDING"},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
        {0xC00000BB, "STATUS_NOT_SUPPORTED"},
        {0xC0000120, "STATUS_CANCELLED"},
    };
    char text[48];
    auto found = names.find(static_cast<ULONG>(Status));
    if (found != names.end()) {
        std::snprintf(text, sizeof(text), "%s (0x%08X)", found->second, static_cast<unsigned>(Status));
    } else {
        std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(Status));
    }
    return text;
}

const char* MajorName(UCHAR Major)
{
    static const char* const names[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    return Major <= IRP_MJ_MAXIMUM_FUNCTION ? names[Major] : "an unknown major function";
}

std::u16string Widen(const std::string& Ascii)
{
    return std::u16string(Ascii.begin(), Ascii.end());
}

std::string Narrow(const std::u16string& Text)
{
    std::string out;
    for (char16_t c : Text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING Text)
{
    if (Text == nullptr || Text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(Text->Buffer), Text->Length / 2);
}

// ---- for the other parts of the I/O manager

void CheckTargetDevice(PDEVICE_OBJECT Device, bool ManagerClose, const char* Routine)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* info = FindDeviceLocked(Device);
    if (info == nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::TargetNotDevice,
                   std::string(Routine) + " to " + Hex(Device) + ", which is not a device object");
    }
    if (info->Deleted && !ManagerClose) {
        HkBugCheck(HkStop::IoManagerViolation::TargetDeleted,
                   std::string(Routine) + " to " + info->Label + ", which was deleted");
    }
    DriverInfo* driver = FindDriverLocked(info->Driver);
    if (driver != nullptr && driver->Unloaded) {
        HkBugCheck(HkStop::IoManagerViolation::TargetDriverUnloaded, std::string(Routine) + " to " + info->Label +
                                                                         ", whose driver " + Narrow(driver->Name) +
                                                                         " was unloaded");
    }
}

void CheckClientStillHolds(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    for (PDEVICE_OBJECT device = Device; device != nullptr;) {
        DeviceInfo* info = FindDeviceLocked(device);
        if (info == nullptr) {
            return;
        }
        if (info->ReleasedByClient && device->ReferenceCount == 0) {
            HkBugCheck(HkStop::IoManagerViolation::SentAfterLastDereference,
                       "a driver sent a request of its own to " + DescribeDeviceLocked(Device) +
                           " after dereferencing its last file object of " + info->Label + " (the stack may be gone)");
        }
        device = info->Lower;
    }
}

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return AttachedTopLocked(Device);
}

std::string DescribeDevice(PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return DescribeDeviceLocked(Device);
}

std::string DescribeDriver(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return DriverLabelLocked(Driver);
}

std::vector<PDEVICE_OBJECT> LiveDevicesOf(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    std::vector<PDEVICE_OBJECT> devices;
    for (const auto& [device, info] : Objects().Devices) {
        if (info->Driver == Driver && !info->Deleted) {
            devices.push_back(device);
        }
    }
    return devices;
}

void CheckInitializingCleared(PDRIVER_OBJECT Driver, const std::vector<PDEVICE_OBJECT>& Before, const char* Creator)
{
    for (PDEVICE_OBJECT device : LiveDevicesOf(Driver)) {
        if (std::find(Before.begin(), Before.end(), device) == Before.end() &&
            (device->Flags & DO_DEVICE_INITIALIZING) != 0) {
            HkBugCheck(HkStop::IoManagerViolation::LeftDeviceInitializing,
                       std::string(Creator) + " of " + DescribeDriver(Driver) +
                           " returned with DO_DEVICE_INITIALIZING still set on " + DescribeDevice(device));
        }
    }
}

PDEVICE_OBJECT CreateInternalDevice(PDRIVER_OBJECT Driver, const std::u16string& Name)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    PDEVICE_OBJECT device = NewDeviceLocked(Driver, 0, Name, FILE_DEVICE_BUS_EXTENDER, 0, false, true);
    device->Flags = (device->Flags & ~ULONG(DO_DEVICE_INITIALIZING)) | DO_POWER_PAGABLE;
    return device;
}

PDRIVER_OBJECT CreateInternalDriver(const std::u16string& Name, PDRIVER_DISPATCH Dispatch)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return NewDriverLocked(Name, Dispatch, true);
}

NTSTATUS OpenFile(const std::u16string& Path, bool ViaGetPointer, PFILE_OBJECT* File)
{
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        auto [found, rest] = ResolveLocked(Path);
        if (found == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        DriverInfo* driver = FindDriverLocked(found->DriverObject);
        if (driver != nullptr && driver->Unloaded) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (found->Flags & DO_DEVICE_INITIALIZING) {
            return STATUS_NO_SUCH_DEVICE;
        }
        // The I/O manager itself keeps an exclusive device to one open file.
        if ((found->Flags & DO_EXCLUSIVE) && found->ReferenceCount != 0) {
            return STATUS_ACCESS_DENIED;
        }
        auto info = std::make_unique<FileInfo>();
        info->File = std::make_unique<FILE_OBJECT>();
        info->FileName = rest;
        info->Device = found;
        info->ViaGetPointer = ViaGetPointer;
        file = info->File.get();
        file->Type = IoTypeFile;
        file->Size = sizeof(FILE_OBJECT);
        file->DeviceObject = found;
        file->FileName.Buffer = info->FileName.empty() ? nullptr : reinterpret_cast<PWSTR>(info->FileName.data());
        file->FileName.Length = static_cast<USHORT>(info->FileName.size() * 2);
        file->FileName.MaximumLength = file->FileName.Length;
        Objects().Files[file] = std::move(info);
        ++found->ReferenceCount; // counted from the parse on, as the platform does
        device = found;
        top = AttachedTopLocked(found);
    }
    // A process's open comes from user mode; IoGetDeviceObjectPointer's from the kernel.
    ManagerIrp create =
        MakeManagerIrp(top->StackSize, IRP_MJ_CREATE, 0, file, ViaGetPointer ? KernelMode : UserMode);
    const NTSTATUS status = SendManagerIrp(top, create);
    std::lock_guard<std::mutex> guard(Objects().Lock);
    if (!NT_SUCCESS(status)) {
        // A failed create deletes the file object without a close.
        --device->ReferenceCount;
        Objects().Files.erase(file);
        return status;
    }
    FindFileLocked(file)->References = 1;
    if (DeviceInfo* info = FindDeviceLocked(device)) {
        info->ReleasedByClient = false;
    }
    *File = file;
    return status;
}

NTSTATUS CleanupFile(PFILE_OBJECT File)
{
    PDEVICE_OBJECT top;
    KPROCESSOR_MODE mode;
    {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        FileInfo* info = FindFileLocked(File);
        top = AttachedTopLocked(info->Device);
        mode = info->ViaGetPointer ? KernelMode : UserMode;
    }
    ManagerIrp cleanup = MakeManagerIrp(top->StackSize, IRP_MJ_CLEANUP, 0, File, mode);
    return SendManagerIrp(top, cleanup);
}

bool FileLive(PFILE_OBJECT File)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    FileInfo* info = FindFileLocked(File);
    return info != nullptr && info->References > 0;
}

PDEVICE_OBJECT RelatedDevice(PFILE_OBJECT File)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return AttachedTopLocked(FindFileLocked(File)->Device);
}

void ResetDevices()
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    ObjectTable& objects = Objects();
    objects.Files.clear();
    objects.Links.clear();
    objects.Names.clear();
    objects.Devices.clear();
    objects.Drivers.clear();
}

std::string DeviceLeaks()
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    ObjectTable& objects = Objects();
    std::string found;
    auto furniture = [&](PDRIVER_OBJECT Driver) {
        DriverInfo* info = FindDriverLocked(Driver);
        return info == nullptr || info->Internal || info->Peer;
    };
    for (const auto& [driver, info] : objects.Drivers) {
        if (!furniture(driver) && !info->Unloaded) {
            found += "driver " + Narrow(info->Name) + " still loaded; ";
        }
    }
    for (const auto& [device, info] : objects.Devices) {
        if (!furniture(info->Driver) && !info->Deleted) {
            found += info->Label + " not deleted; ";
        }
    }
    for (const auto& [key, link] : objects.Links) {
        auto target = objects.Names.find(Key(link.Target));
        if (target == objects.Names.end() || !furniture(target->second->DriverObject)) {
            found += "symbolic link " + Narrow(link.Name) + " not deleted; ";
        }
    }
    for (const auto& [file, info] : objects.Files) {
        if (info->References > 0) {
            found += "file object " + Hex(file) + " of " + DescribeDeviceLocked(info->Device) + " still referenced (" +
                     std::to_string(info->References) + "); ";
        }
    }
    return found;
}

} // namespace hkio
