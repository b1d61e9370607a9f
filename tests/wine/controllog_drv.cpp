// A test driver for the Wine calibration run: records every device control
// request the touch driver receives, as the driver received it, whoever sent
// it. Loaded after pelvon.sys in the same driver host (same service group),
// it finds \Driver\pelvon and puts itself in front of its device control
// dispatch routine. Each request becomes a REG_SZ value "RequestN" of this
// service's key, N counting from 1:
//   "CODE in HEXBYTES status STATUS"   (8 hex digits, bytes without spaces)
// and "RequestCount" holds N. Test code, never shipped.
#include <ntddk.h>

extern "C" NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                           PACCESS_STATE AccessState, ACCESS_MASK DesiredAccess,
                                                           POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                           PVOID ParseContext, PVOID* Object);

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_DISPATCH LogDeviceControl;
static DRIVER_UNLOAD DriverUnload;

#define TEST_POOL_TAG 0x6C437650u // "PvCl"
#define LOGGED_INPUT_BYTES 64

static UNICODE_STRING ServiceKey; // NUL-terminated copy of the registry path
static PDRIVER_OBJECT TouchDriver;
static PDRIVER_DISPATCH TouchDeviceControl;
static LONG RequestCount;

static const WCHAR TouchDriverName[] = L"\\Driver\\pelvon";

static WCHAR* PutHex(WCHAR* Out, ULONG Value, int Digits)
{
    static const WCHAR digits[] = L"0123456789ABCDEF";
    for (int i = Digits - 1; i >= 0; i--) {
        *Out++ = digits[(Value >> (4 * i)) & 0xF];
    }
    return Out;
}

static WCHAR* PutText(WCHAR* Out, const WCHAR* Text)
{
    while (*Text != 0) {
        *Out++ = *Text++;
    }
    return Out;
}

// PASSIVE_LEVEL (requests from user mode): one value per request.
static VOID Record(ULONG Code, const UCHAR* Input, ULONG Length, NTSTATUS Status)
{
    WCHAR text[16 + 2 * LOGGED_INPUT_BYTES + 32];
    WCHAR* out = PutHex(text, Code, 8);
    out = PutText(out, L" in ");
    for (ULONG i = 0; i < Length && i < LOGGED_INPUT_BYTES; i++) {
        out = PutHex(out, Input[i], 2);
    }
    out = PutText(out, Length == 0 ? L"- status " : L" status ");
    out = PutHex(out, (ULONG)Status, 8);
    *out++ = 0;
    const LONG number = InterlockedIncrement(&RequestCount);
    WCHAR name[24];
    WCHAR* n = PutText(name, L"Request");
    if (number >= 10) {
        *n++ = (WCHAR)(L'0' + number / 10 % 10);
    }
    *n++ = (WCHAR)(L'0' + number % 10);
    *n = 0;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, ServiceKey.Buffer, name, REG_SZ, text,
                          (ULONG)((out - text) * sizeof(WCHAR)));
    ULONG count = (ULONG)number;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, ServiceKey.Buffer, L"RequestCount", REG_DWORD, &count, sizeof(count));
}

// The I/O manager, PASSIVE_LEVEL for a user's request: logged, then handed
// to the touch driver's own routine.
static NTSTATUS NTAPI LogDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    UCHAR input[LOGGED_INPUT_BYTES];
    if (length > LOGGED_INPUT_BYTES) {
        length = LOGGED_INPUT_BYTES;
    }
    if (Irp->AssociatedIrp.SystemBuffer != NULL) {
        RtlCopyMemory(input, Irp->AssociatedIrp.SystemBuffer, length);
    } else {
        length = 0;
    }
    const NTSTATUS status = TouchDeviceControl(DeviceObject, Irp);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        Record(code, input, length, status);
    }
    return status;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (TouchDriver != NULL) {
        InterlockedExchangePointer((PVOID*)&TouchDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL], (PVOID)TouchDeviceControl);
        ObDereferenceObject(TouchDriver);
    }
    if (ServiceKey.Buffer != NULL) {
        ExFreePool(ServiceKey.Buffer);
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->DriverUnload = DriverUnload;
    const ULONG bytes = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    ServiceKey.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, TEST_POOL_TAG);
    if (ServiceKey.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ServiceKey.Buffer, bytes);
    RtlCopyMemory(ServiceKey.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    ServiceKey.Length = RegistryPath->Length;
    ServiceKey.MaximumLength = (USHORT)bytes;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TouchDriverName);
    const NTSTATUS status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL,
                                                    (PVOID*)&TouchDriver);
    if (!NT_SUCCESS(status)) {
        TouchDriver = NULL;
        return status;
    }
    TouchDeviceControl = TouchDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    InterlockedExchangePointer((PVOID*)&TouchDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL], (PVOID)LogDeviceControl);
    return STATUS_SUCCESS;
}
