// The I/O manager's device, link and object services, as the driver calls
// them.
#include "io_device_internal.h"

using namespace hkio;
using namespace hkio::device;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    if (HkShouldFailAllocation("IoCreateDevice", __builtin_return_address(0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const std::u16string name = FromUnicodeString(DeviceName);
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DriverInfo* driver = FindDriverLocked(DriverObject);
    if (driver == nullptr || driver->Unloaded) {
        HkBugCheck(HkStop::IoManagerViolation::CreateForUnloadedDriver,
                   "IoCreateDevice for " + Hex(DriverObject) + ", which is not a loaded driver object");
    }
    if (!name.empty()) {
        if (name[0] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const std::u16string key = Key(name);
        if (Objects().Names.count(key) != 0 || Objects().Links.count(key) != 0) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    *DeviceObject = NewDeviceLocked(DriverObject, DeviceExtensionSize, name, DeviceType, DeviceCharacteristics,
                                    Exclusive != FALSE, false);
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    const DeviceMemory memory = CheckDeletable(DeviceObject);
    // The object and its extension are going away; while a file object still
    // references it, its memory (and a remove lock in it) stays usable.
    const bool referenced = DeviceObject->ReferenceCount != 0;
    HkCheckNoPendingTimersIn(memory.Begin, memory.Bytes);
    RemoveLocksGoingAway(memory.Begin, memory.Bytes, memory.Label, referenced);
    Forget(DeviceObject);
    if (!referenced) {
        HkWatchFreedUnderRunningDpcs(memory.Begin, memory.Bytes, memory.Label);
    }
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (HkShouldFailAllocation("IoCreateSymbolicLink", __builtin_return_address(0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const std::u16string name = FromUnicodeString(SymbolicLinkName);
    const std::u16string target = FromUnicodeString(DeviceName);
    if (name.empty() || name[0] != u'\\' || target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> guard(Objects().Lock);
    const std::u16string key = Key(name);
    if (Objects().Links.count(key) != 0 || Objects().Names.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Objects().Links[key] = {name, target};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> guard(Objects().Lock);
    return Objects().Links.erase(Key(FromUnicodeString(SymbolicLinkName))) != 0 ? STATUS_SUCCESS
                                                                                 : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* source = FindDeviceLocked(SourceDevice);
    DeviceInfo* target = FindDeviceLocked(TargetDevice);
    if (source == nullptr || source->Deleted) {
        HkBugCheck(HkStop::IoManagerViolation::AttachDeadSource, "IoAttachDeviceToDeviceStack of " +
                                                                     DescribeDeviceLocked(SourceDevice) +
                                                                     ", which is not a live device object");
    }
    if (target == nullptr || target->Deleted) {
        HkBugCheck(HkStop::IoManagerViolation::AttachOntoDeadTarget, "IoAttachDeviceToDeviceStack onto " +
                                                                         DescribeDeviceLocked(TargetDevice) +
                                                                         ", which is not a live device object");
    }
    if (source->Lower != nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::AttachAlreadyAttached,
                   "IoAttachDeviceToDeviceStack of " + source->Label + ", which is already attached to " +
                       DescribeDeviceLocked(source->Lower));
    }
    PDEVICE_OBJECT top = AttachedTopLocked(TargetDevice);
    if (top == SourceDevice) {
        HkBugCheck(HkStop::IoManagerViolation::AttachOntoItself,
                   "IoAttachDeviceToDeviceStack of " + source->Label + " onto itself");
    }
    if (top->Flags & DO_DEVICE_INITIALIZING) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    source->Lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::mutex> guard(Objects().Lock);
    DeviceInfo* lower = FindDeviceLocked(TargetDevice);
    if (lower == nullptr || lower->Deleted) {
        HkBugCheck(HkStop::IoManagerViolation::DetachDeadDevice,
                   "IoDetachDevice from " + DescribeDeviceLocked(TargetDevice) + ", which is not a live device object");
    }
    if (TargetDevice->AttachedDevice == nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::DetachNothingAttached,
                   "IoDetachDevice from " + lower->Label +
                       ", which has nothing attached (the argument is the lower device)");
    }
    if (DeviceInfo* upper = FindDeviceLocked(TargetDevice->AttachedDevice)) {
        upper->Lower = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    if (HkShouldFailAllocation("IoGetDeviceObjectPointer", __builtin_return_address(0))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PFILE_OBJECT file;
    const NTSTATUS status = OpenFile(FromUnicodeString(ObjectName), true, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The handle is closed at once; the file object's reference remains.
    CleanupFile(file);
    *FileObject = file;
    *DeviceObject = RelatedDevice(file);
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    std::lock_guard<std::mutex> guard(Objects().Lock);
    if (FileInfo* file = FindFileLocked(static_cast<PFILE_OBJECT>(Object))) {
        if (file->References <= 0) {
            HkBugCheck(HkStop::ReferenceByPointer::ReferencedClosedFile,
                       "ObReferenceObject on file object " + Hex(Object) + ", which has no reference left (closed)");
        }
        return ++file->References;
    }
    if (DeviceInfo* device = FindDeviceLocked(static_cast<PDEVICE_OBJECT>(Object))) {
        return ++device->PointerCount;
    }
    if (DriverInfo* driver = FindDriverLocked(static_cast<PDRIVER_OBJECT>(Object))) {
        return ++driver->PointerCount;
    }
    HkBugCheck(HkStop::ReferenceByPointer::ReferencedNonObject,
               "ObReferenceObject on " + Hex(Object) + ", which is not an object");
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
    auto* file = static_cast<PFILE_OBJECT>(Object);
    {
        std::lock_guard<std::mutex> guard(Objects().Lock);
        if (FileInfo* info = FindFileLocked(file)) {
            if (info->References <= 0) {
                HkBugCheck(HkStop::ReferenceByPointer::DereferencedUnreferencedFile,
                           "ObDereferenceObject on file object " + Hex(Object) + " of " +
                               DescribeDeviceLocked(info->Device) + ", whose reference count is already zero");
            }
            if (--info->References > 0) {
                return info->References;
            }
        } else if (DeviceInfo* device = FindDeviceLocked(static_cast<PDEVICE_OBJECT>(Object))) {
            if (device->PointerCount <= 0) {
                HkBugCheck(HkStop::ReferenceByPointer::DereferencedUnreferencedDevice,
                           "ObDereferenceObject on " + device->Label +
                               " without a reference taken with ObReferenceObject");
            }
            return --device->PointerCount;
        } else if (DriverInfo* driver = FindDriverLocked(static_cast<PDRIVER_OBJECT>(Object))) {
            if (driver->PointerCount <= 0) {
                HkBugCheck(HkStop::ReferenceByPointer::DereferencedUnreferencedDriver,
                           "ObDereferenceObject on " + Narrow(driver->Name) +
                               " without a reference taken with ObReferenceObject");
            }
            return --driver->PointerCount;
        } else {
            HkBugCheck(HkStop::ReferenceByPointer::DereferencedNonObject,
                       "ObDereferenceObject on " + Hex(Object) + ", which is not an object");
        }
    }
    // The last reference: the close goes out now, or from a worker when the
    // caller is above APC_LEVEL, as the object manager defers it.
    if (HkIrql() > APC_LEVEL) {
        HkRunAsync([file] { CloseFile(file); }, PASSIVE_LEVEL);
    } else {
        CloseFile(file);
    }
    return 0;
}

} // extern "C"
