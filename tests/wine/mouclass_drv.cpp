// A test mouse class driver for the real-kernel run. It sits above the touch
// FDO, connects with its own service callback as the class driver does, and
// checks the connect, a second connect and the attribute query. Each result
// is written as a DWORD value of its own service key, where the run reads it.
//
// It gets above the FDO in one of two ways: as the device's UpperFilters
// driver, through its add-device routine; or, when the service key holds
// AttachFromEntry = 1, from its entry, by finding the touch driver's FDO
// (loaded in the same driver host process) and attaching to it.
//
// Every report its service callback receives is kept, in order, for the Wine
// session's runner to fetch from \\.\PelvonTestClass.
#include <ntddk.h>
#include <ntddmou.h>
#include <kbdmou.h>

#include "session_protocol.h"

extern "C" NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                           PACCESS_STATE AccessState, ACCESS_MASK DesiredAccess,
                                                           POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                           PVOID ParseContext, PVOID* Object);

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_ADD_DEVICE AddDevice;
static DRIVER_DISPATCH DispatchPassDown;
static DRIVER_DISPATCH DispatchPnp;
static DRIVER_DISPATCH DispatchPower;
static DRIVER_UNLOAD DriverUnload;
static IO_COMPLETION_ROUTINE SignalStartDone;

#define TEST_POOL_TAG 0x74436D50u // "PmCt"
#define PLACED_AS_UPPER_FILTER 1
#define PLACED_FROM_ENTRY 2

struct FILTER_EXTENSION {
    PDEVICE_OBJECT Lower;
};

#define REPORT_CAPACITY 65536

static UNICODE_STRING ServiceKey; // NUL-terminated copy of the registry path
static LONG ReportsDelivered;
static PDEVICE_OBJECT ReportDevice; // \Device\PelvonTestClass, in no stack
static KSPIN_LOCK ReportLock;
static SESSION_REPORT* Reports;
static ULONG ReportCount;

// ---------------------------------------------------------------- results

static VOID WriteResult(PCWSTR Name, ULONG Value)
{
    if (ServiceKey.Buffer != NULL) {
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, ServiceKey.Buffer, Name, REG_DWORD, &Value, sizeof(Value));
    }
}

static ULONG ReadSwitch(PCWSTR Name)
{
    ULONG value = 0;
    ULONG none = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = (PWSTR)Name;
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &none;
    table[0].DefaultLength = sizeof(none);
    if (ServiceKey.Buffer == NULL ||
        !NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ServiceKey.Buffer, table, NULL, NULL))) {
        return 0;
    }
    return value;
}

// ---------------------------------------------------------------- the class side

// Touch driver, DISPATCH_LEVEL: takes every report offered.
static VOID NTAPI ClassService(PDEVICE_OBJECT ClassDeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                               PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed)
{
    UNREFERENCED_PARAMETER(ClassDeviceObject);
    const ULONG count = (ULONG)(InputDataEnd - InputDataStart);
    *InputDataConsumed = count;
    InterlockedExchangeAdd(&ReportsDelivered, (LONG)count);
    KIRQL irql;
    KeAcquireSpinLock(&ReportLock, &irql);
    for (PMOUSE_INPUT_DATA data = InputDataStart; data < InputDataEnd && Reports != NULL; data++) {
        if (ReportCount < REPORT_CAPACITY) {
            SESSION_REPORT* report = &Reports[ReportCount++];
            report->Flags = data->Flags;
            report->ButtonFlags = data->ButtonFlags;
            report->RawButtons = data->RawButtons;
            report->LastX = data->LastX;
            report->LastY = data->LastY;
        }
    }
    KeReleaseSpinLock(&ReportLock, irql);
}

// The runner, PASSIVE_LEVEL: the reports so far, as a count and the records.
static NTSTATUS DispatchReportDevice(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SESSION_REPORTS) {
            KIRQL irql;
            KeAcquireSpinLock(&ReportLock, &irql);
            const ULONG bytes = sizeof(ULONG) + ReportCount * sizeof(SESSION_REPORT);
            status = STATUS_BUFFER_TOO_SMALL;
            if (stack->Parameters.DeviceIoControl.OutputBufferLength >= bytes) {
                PUCHAR out = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
                RtlCopyMemory(out, &ReportCount, sizeof(ULONG));
                RtlCopyMemory(out + sizeof(ULONG), Reports, ReportCount * sizeof(SESSION_REPORT));
                status = STATUS_SUCCESS;
                information = bytes;
            }
            KeReleaseSpinLock(&ReportLock, irql);
        }
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static VOID CreateReportDevice(PDRIVER_OBJECT DriverObject)
{
    KeInitializeSpinLock(&ReportLock);
    Reports = (SESSION_REPORT*)ExAllocatePoolWithTag(NonPagedPool, REPORT_CAPACITY * sizeof(SESSION_REPORT),
                                                     TEST_POOL_TAG);
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, L"\\Device\\PelvonTestClass");
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\PelvonTestClass");
    if (Reports != NULL &&
        NT_SUCCESS(IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &ReportDevice))) {
        ReportDevice->Flags |= DO_BUFFERED_IO;
        ReportDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        IoCreateSymbolicLink(&linkName, &deviceName);
    }
}

// PASSIVE_LEVEL. One internal request to the device below, waited for.
// Buffered requests get the same record as input and output: Wine hands the
// input buffer to the driver as the system buffer and copies nothing back,
// Windows copies the record in and the reply out, so it works on both.
static NTSTATUS SendInternal(PDEVICE_OBJECT Lower, ULONG Code, PVOID Record, ULONG InputLength, ULONG OutputLength,
                             ULONG_PTR* Information)
{
    KEVENT event;
    IO_STATUS_BLOCK statusBlock;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    statusBlock.Status = STATUS_UNSUCCESSFUL;
    statusBlock.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Lower, Record, InputLength, OutputLength != 0 ? Record : NULL,
                                             OutputLength, TRUE, &event, &statusBlock);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The connect record travels as the type-3 input, as the class driver sends it.
    IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = Record;
    NTSTATUS status = IoCallDriver(Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = statusBlock.Status;
    }
    *Information = statusBlock.Information;
    return status;
}

// PASSIVE_LEVEL, with Lower started: the class driver's conversation, each
// answer written down for the run to check.
static VOID ConnectAndQuery(PDEVICE_OBJECT Self, PDEVICE_OBJECT Lower)
{
    ULONG_PTR information = 0;
    CONNECT_DATA connect;
    connect.ClassDeviceObject = Self;
    connect.ClassService = (PVOID)ClassService;
    WriteResult(L"ConnectStatus", (ULONG)SendInternal(Lower, IOCTL_INTERNAL_MOUSE_CONNECT, &connect,
                                                        sizeof(connect), 0, &information));
    WriteResult(L"SecondConnectStatus", (ULONG)SendInternal(Lower, IOCTL_INTERNAL_MOUSE_CONNECT, &connect,
                                                              sizeof(connect), 0, &information));

    MOUSE_ATTRIBUTES attributes;
    RtlZeroMemory(&attributes, sizeof(attributes));
    NTSTATUS status = SendInternal(Lower, IOCTL_MOUSE_QUERY_ATTRIBUTES, &attributes, sizeof(attributes),
                                   sizeof(attributes) - 1, &information);
    WriteResult(L"ShortAttributesStatus", (ULONG)status);
    RtlZeroMemory(&attributes, sizeof(attributes));
    status = SendInternal(Lower, IOCTL_MOUSE_QUERY_ATTRIBUTES, &attributes, sizeof(attributes), sizeof(attributes),
                          &information);
    WriteResult(L"AttributesStatus", (ULONG)status);
    WriteResult(L"AttributesInformation", (ULONG)information);
    WriteResult(L"MouseIdentifier", attributes.MouseIdentifier);
    WriteResult(L"NumberOfButtons", attributes.NumberOfButtons);
    WriteResult(L"SampleRate", attributes.SampleRate);
    WriteResult(L"ReportsDelivered", (ULONG)ReportsDelivered);
}

// ---------------------------------------------------------------- placement

static NTSTATUS CreateFilterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Target, PDEVICE_OBJECT* Filter)
{
    PDEVICE_OBJECT filter = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FILTER_EXTENSION), NULL, FILE_DEVICE_MOUSE, 0, FALSE,
                                     &filter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILTER_EXTENSION* extension = (FILTER_EXTENSION*)filter->DeviceExtension;
    extension->Lower = IoAttachDeviceToDeviceStack(filter, Target);
    if (extension->Lower == NULL) {
        IoDeleteDevice(filter);
        return STATUS_NO_SUCH_DEVICE;
    }
    filter->Flags |= extension->Lower->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    *Filter = filter;
    return STATUS_SUCCESS;
}

// The touch driver's FDO: its device that sits in a stack (the control
// device is alone in its own).
static PDEVICE_OBJECT FindTouchFdo(PDRIVER_OBJECT TouchDriver, ULONG* DeviceCount)
{
    PDEVICE_OBJECT fdo = NULL;
    *DeviceCount = 0;
    for (PDEVICE_OBJECT device = TouchDriver->DeviceObject; device != NULL; device = device->NextDevice) {
        (*DeviceCount)++;
        if (device->StackSize > 1) {
            fdo = device;
        }
    }
    return fdo;
}

// DriverEntry, PASSIVE_LEVEL, when no Plug and Play placement is expected.
static VOID AttachFromEntry(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING touchName;
    RtlInitUnicodeString(&touchName, L"\\Driver\\pelvon");
    PDRIVER_OBJECT touchDriver = NULL;
    NTSTATUS status = ObReferenceObjectByName(&touchName, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL,
                                              (PVOID*)&touchDriver);
    WriteResult(L"FindDriverStatus", (ULONG)status);
    if (!NT_SUCCESS(status)) {
        return;
    }
    ULONG deviceCount = 0;
    PDEVICE_OBJECT fdo = FindTouchFdo(touchDriver, &deviceCount);
    WriteResult(L"TouchDeviceCount", deviceCount);
    PDEVICE_OBJECT filter = NULL;
    if (fdo != NULL && NT_SUCCESS(CreateFilterDevice(DriverObject, fdo, &filter))) {
        WriteResult(L"Placement", PLACED_FROM_ENTRY);
        ConnectAndQuery(filter, ((FILTER_EXTENSION*)filter->DeviceExtension)->Lower);
    }
    ObDereferenceObject(touchDriver);
}

// ---------------------------------------------------------------- entry and dispatch

// I/O manager, PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    const ULONG bytes = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    ServiceKey.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, bytes, TEST_POOL_TAG);
    if (ServiceKey.Buffer != NULL) {
        RtlZeroMemory(ServiceKey.Buffer, bytes);
        RtlCopyMemory(ServiceKey.Buffer, RegistryPath->Buffer, RegistryPath->Length);
        ServiceKey.Length = RegistryPath->Length;
        ServiceKey.MaximumLength = (USHORT)bytes;
    }
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = DispatchPassDown;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    WriteResult(L"EntryCalled", 1);
    CreateReportDevice(DriverObject);
    if (ReadSwitch(L"AttachFromEntry") != 0) {
        AttachFromEntry(DriverObject);
    }
    return STATUS_SUCCESS;
}

// I/O manager, PASSIVE_LEVEL.
static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (ReportDevice != NULL) {
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, L"\\DosDevices\\PelvonTestClass");
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(ReportDevice);
        ReportDevice = NULL;
    }
    if (Reports != NULL) {
        ExFreePool(Reports);
        Reports = NULL;
    }
    if (ServiceKey.Buffer != NULL) {
        ExFreePool(ServiceKey.Buffer);
        ServiceKey.Buffer = NULL;
    }
}

// Plug and Play manager, PASSIVE_LEVEL: the upper-filter placement.
static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT filter = NULL;
    const NTSTATUS status = CreateFilterDevice(DriverObject, PhysicalDeviceObject, &filter);
    WriteResult(L"AddDeviceStatus", (ULONG)status);
    if (NT_SUCCESS(status)) {
        WriteResult(L"Placement", PLACED_AS_UPPER_FILTER);
    }
    return status;
}

// Any request that is not ours goes down unchanged.
static NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject == ReportDevice) {
        return DispatchReportDevice(Irp);
    }
    FILTER_EXTENSION* extension = (FILTER_EXTENSION*)DeviceObject->DeviceExtension;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->Lower, Irp);
}

// Power manager, PASSIVE_LEVEL.
static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject == ReportDevice) {
        return DispatchReportDevice(Irp);
    }
    FILTER_EXTENSION* extension = (FILTER_EXTENSION*)DeviceObject->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->Lower, Irp);
}

// I/O manager, up to DISPATCH_LEVEL: hands the start back to the dispatcher.
static NTSTATUS NTAPI SignalStartDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Plug and Play manager, PASSIVE_LEVEL. The start goes down first; once the
// touch device has started, the class side connects. Removal detaches.
static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceObject == ReportDevice) {
        return DispatchReportDevice(Irp);
    }
    FILTER_EXTENSION* extension = (FILTER_EXTENSION*)DeviceObject->DeviceExtension;
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SignalStartDone, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(extension->Lower, Irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
        status = Irp->IoStatus.Status;
        WriteResult(L"StartStatus", (ULONG)status);
        if (NT_SUCCESS(status)) {
            ConnectAndQuery(DeviceObject, extension->Lower);
        }
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        PDEVICE_OBJECT lower = extension->Lower;
        IoSkipCurrentIrpStackLocation(Irp);
        const NTSTATUS status = IoCallDriver(lower, Irp);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->Lower, Irp);
}
