// Driver entry, device creation, Plug and Play, power, system control and
// the settings read from the registry.
#include "sermouse.h"

#define SERMDEP_FILE "sermdep"

UNICODE_STRING SavedRegistryPath;

static DRIVER_UNLOAD DriverUnload;
static DRIVER_ADD_DEVICE AddDevice;
static DRIVER_DISPATCH DispatchPnp;
static DRIVER_DISPATCH DispatchPower;
static DRIVER_DISPATCH DispatchSystemControl;
static IO_COMPLETION_ROUTINE SignalForwardDone;

extern "C" DRIVER_INITIALIZE DriverEntry;

static const WCHAR ControlDeviceName[] = L"\\Device\\pelvon";
static const WCHAR ControlLinkName[] = L"\\DosDevices\\pelvon";

// ---------------------------------------------------------------- entry and unload

// I/O manager, PASSIVE_LEVEL. Always succeeds: without a saved path the
// device simply starts from its defaults.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // The copy needs Length + 2 bytes for its NUL, whatever MaximumLength
    // the caller gave; a path too long to count with its NUL is not kept.
    const ULONG copyBytes = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    SavedRegistryPath.Length = 0;
    SavedRegistryPath.MaximumLength = 0;
    SavedRegistryPath.Buffer = NULL;
    if (copyBytes <= 0xFFFF) {
        SavedRegistryPath.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, copyBytes, DDK_POOL_TAG);
    }
    if (SavedRegistryPath.Buffer != NULL) {
        RtlZeroMemory(SavedRegistryPath.Buffer, copyBytes);
        RtlCopyMemory(SavedRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
        SavedRegistryPath.Length = RegistryPath->Length;
        SavedRegistryPath.MaximumLength = (USHORT)copyBytes;
    }

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// I/O manager, PASSIVE_LEVEL.
static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (SavedRegistryPath.Buffer != NULL) {
        ExFreePool(SavedRegistryPath.Buffer);
        SavedRegistryPath.Buffer = NULL;
        SavedRegistryPath.Length = 0;
        SavedRegistryPath.MaximumLength = 0;
    }
}

// ---------------------------------------------------------------- device creation

static VOID DeleteControlDevice(PDEVICE_OBJECT ControlDevice)
{
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, ControlLinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(ControlDevice);
}

// Creates the named control device and its link; NULL when the name is
// taken (a second touch device). A link failure is the add-device's failure.
static NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* ControlDevice)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, ControlDeviceName);
    RtlInitUnicodeString(&linkName, ControlLinkName);
    *ControlDevice = NULL;
    PDEVICE_OBJECT control = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &control);
    if (!NT_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    *ControlDevice = control;
    return STATUS_SUCCESS;
}

static VOID InitializeExtension(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT Fdo)
{
    RtlZeroMemory(Extension, sizeof(*Extension));
    LoadRegistryParameters(Extension, &SavedRegistryPath);
    Extension->MouseAttributes.MouseIdentifier = MOUSE_SERIAL_HARDWARE;
    Extension->MouseAttributes.NumberOfButtons = 2;
    Extension->MouseAttributes.SampleRate = 40;
    IoInitializeRemoveLockEx(&Extension->RemoveLock, REMOVE_LOCK_TAG, 0, REMOVE_LOCK_HIGH_WATERMARK,
                             sizeof(IO_REMOVE_LOCK));
    // As many control requests as user threads may be in at once: no bound.
    IoInitializeRemoveLockEx(&Extension->ControlLock, REMOVE_LOCK_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeTimer(&Extension->SpeakerTimer);
    KeInitializeDpc(&Extension->SpeakerDpc, SpeakerOffDpc, Extension);
    Extension->SpeakerTimerDueTime.QuadPart = SPEAKER_OFF_DUE_TIME;
    KeInitializeEvent(&Extension->PortLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Extension->ReadPumpIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&Extension->SpeakerTimerIdle, NotificationEvent, FALSE);
    Extension->Self = Fdo;
}

// The control device keeps its own record, which outlives the touch
// device's: its lock, and the touch record that removal takes back under it.
static VOID InitializeControlRecord(PDEVICE_OBJECT ControlDevice, PDEVICE_EXTENSION Target)
{
    PDEVICE_EXTENSION control = (PDEVICE_EXTENSION)ControlDevice->DeviceExtension;
    IoInitializeRemoveLockEx(&control->ControlLock, REMOVE_LOCK_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    control->ControlTarget = Target;
}

// Plug and Play manager, PASSIVE_LEVEL. Creates the control device and the
// touch FDO and attaches the FDO above the PDO.
static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT control = NULL;
    NTSTATUS status = CreateControlDevice(DriverObject, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT fdo = NULL;
    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        if (control != NULL) {
            DeleteControlDevice(control);
        }
        return status;
    }
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    InitializeExtension(extension, fdo);

    extension->TopOfStack = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (extension->TopOfStack == NULL) {
        // Nothing may reach the FDO's record once it is gone.
        if (control != NULL) {
            DeleteControlDevice(control);
        }
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    if (control != NULL) {
        InitializeControlRecord(control, extension);
        control->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    extension->ControlDevice = control;
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- Plug and Play

// I/O manager, up to DISPATCH_LEVEL: hands the request back to the forwarder.
static NTSTATUS NTAPI SignalForwardDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL. Sends the request down and waits for it to come back.
static NTSTATUS ForwardSynchronously(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN CopyStack)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    if (CopyStack) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    }
    IoSetCompletionRoutine(Irp, SignalForwardDone, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->TopOfStack, Irp);
}

// Stops everything the device has running: the port and its read pump, and
// the speaker routine. The speaker is left silent. The device is going away,
// so no control request may open a port again: one opened after this point
// would outlive the device, or hold the remove lock that removal waits for.
static VOID StopDeviceActivity(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->PortLock, Executive, KernelMode, FALSE, NULL);
    Extension->PortsRefused = TRUE;
    ClosePort(Extension);
    KeSetEvent(&Extension->PortLock, IO_NO_INCREMENT, FALSE);
    StopSpeakerTimer(Extension);
    SilenceSpeakerIfSetByDriver();
}

// Removal: stop, let every other holder of the remove lock leave, pass the
// request down, then take the FDO out of the stack and delete it with the
// control device, so that a later add-device can create them again.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT Fdo, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    // First cut the control device off the record, then let the control
    // requests that reached the record through it finish; later ones find
    // no record, or the control device's lock removed.
    if (Extension->ControlDevice != NULL) {
        PDEVICE_EXTENSION control = (PDEVICE_EXTENSION)Extension->ControlDevice->DeviceExtension;
        InterlockedExchangePointer((PVOID volatile*)&control->ControlTarget, NULL);
        IoAcquireRemoveLockEx(&control->ControlLock, Irp, SERMDEP_FILE, __LINE__, sizeof(IO_REMOVE_LOCK));
        IoReleaseRemoveLockAndWaitEx(&control->ControlLock, Irp, sizeof(IO_REMOVE_LOCK));
    }
    // Requests sent to the FDO itself.
    IoAcquireRemoveLockEx(&Extension->ControlLock, Irp, SERMDEP_FILE, __LINE__, sizeof(IO_REMOVE_LOCK));
    IoReleaseRemoveLockAndWaitEx(&Extension->ControlLock, Irp, sizeof(IO_REMOVE_LOCK));
    StopDeviceActivity(Extension);
    IoReleaseRemoveLockAndWaitEx(&Extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(Extension, Irp);
    if (Extension->ReadIrp != NULL) {
        IoFreeIrp(Extension->ReadIrp);
        Extension->ReadIrp = NULL;
    }
    if (Extension->ControlDevice != NULL) {
        DeleteControlDevice(Extension->ControlDevice);
        Extension->ControlDevice = NULL;
    }
    IoDetachDevice(Extension->TopOfStack);
    IoDeleteDevice(Fdo);
    return status;
}

// Plug and Play manager, PASSIVE_LEVEL. Start is forwarded synchronously and
// completed here; removal is handled; everything else goes down as it is.
static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (IsControlDevice(DeviceObject, extension)) {
        // The control device is in no stack: nothing below it to ask.
        const NTSTATUS carried = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return carried;
    }
    NTSTATUS status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, SERMDEP_FILE, __LINE__,
                                            sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardSynchronously(extension->TopOfStack, Irp, TRUE);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        StopDeviceActivity(extension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(extension, Irp);
        break;
    default:
        status = PassDown(extension, Irp);
        break;
    }
    IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
}

// Power manager, PASSIVE_LEVEL (the FDO is power pageable).
static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    if (IsControlDevice(DeviceObject, extension)) {
        const NTSTATUS carried = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return carried;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->TopOfStack, Irp);
}

// WMI, PASSIVE_LEVEL: not ours, passed down.
static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (IsControlDevice(DeviceObject, extension)) {
        const NTSTATUS carried = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return carried;
    }
    return PassDown(extension, Irp);
}

// ---------------------------------------------------------------- registry

#define VALUE_BUFFER_BYTES 62
#define CALIBRATION_QUERY_BYTES 62
#define BEEP_QUERY_BYTES 37
#define PARAMETERS_SUFFIX L"\\Parameters"
#define PARAMETERS_SUFFIX_BYTES 24
#define REGISTRY_TABLE_ENTRIES 13

struct REGISTRY_STAGING {
    UCHAR Filter[FILTER_DATA_LENGTH];
    ULONG MultiMonitor;
    ULONG TouchMonitorOx;
    ULONG TouchMonitorOy;
    ULONG TouchMonitorWidth;
    ULONG TouchMonitorHeight;
    ULONG PrimaryMonitorWidth;
    ULONG PrimaryMonitorHeight;
    ULONG Ltrb;
    ULONG ButtonMode;
};

// Queries one value into Buffer (zeroed first) and, on success, copies up to
// Length data bytes to Data; bytes the value does not have read as zero.
static BOOLEAN QueryBinaryValue(HANDLE Key, PCWSTR Name, PKEY_VALUE_FULL_INFORMATION Buffer, ULONG QueryBytes,
                                PUCHAR Data, ULONG Length)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    RtlZeroMemory(Buffer, VALUE_BUFFER_BYTES);
    ULONG resultLength = 0;
    const NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, Buffer, QueryBytes,
                                            &resultLength);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    RtlZeroMemory(Data, Length);
    const ULONG offset = Buffer->DataOffset;
    ULONG available = Buffer->DataLength;
    if (offset > QueryBytes) {
        return FALSE;
    }
    if (available > QueryBytes - offset) {
        available = QueryBytes - offset;
    }
    RtlCopyMemory(Data, (PUCHAR)Buffer + offset, available < Length ? available : Length);
    return TRUE;
}

// Where one table value goes: a string of at most Capacity bytes (its NUL
// included), or the leading bytes of a Capacity-byte destination.
struct PARAMETER_DESTINATION {
    PVOID Destination;
    ULONG Capacity;
    BOOLEAN IsString;
};

static BOOLEAN IsStringType(ULONG Type)
{
    return Type == REG_SZ || Type == REG_EXPAND_SZ || Type == REG_MULTI_SZ;
}

// RtlQueryRegistryValues, PASSIVE_LEVEL, once per table value (or its
// default). The type and length are judged as the value is delivered, so a
// value rewritten meanwhile can never be stored as something it is not. A
// value that does not fit is left out and its destination keeps what it
// holds; only a port name too long for its buffer ends the table.
static NTSTATUS NTAPI StoreParameterValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                          PVOID Context, PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    const PARAMETER_DESTINATION* destination = (const PARAMETER_DESTINATION*)EntryContext;
    if (destination->IsString) {
        if (ValueType != REG_SZ && ValueType != REG_EXPAND_SZ) {
            return STATUS_SUCCESS;
        }
        if (ValueLength > destination->Capacity) {
            return STATUS_INVALID_PARAMETER; // not STATUS_BUFFER_TOO_SMALL: the platform ignores that one
        }
    } else if (IsStringType(ValueType) || ValueLength > destination->Capacity) {
        return STATUS_SUCCESS;
    }
    RtlCopyMemory(destination->Destination, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

// Whatever the value's type, it reaches StoreParameterValue as stored: not
// expanded, and a multi-string whole.
static VOID AddTableEntry(PRTL_QUERY_REGISTRY_TABLE Table, ULONG* Count, PCWSTR Name,
                          PARAMETER_DESTINATION* Destination, ULONG DefaultType, PVOID DefaultData,
                          ULONG DefaultLength)
{
    PRTL_QUERY_REGISTRY_TABLE entry = &Table[(*Count)++];
    entry->QueryRoutine = StoreParameterValue;
    entry->Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    entry->Name = (PWSTR)Name;
    entry->EntryContext = Destination;
    entry->DefaultType = DefaultType;
    entry->DefaultData = DefaultData;
    entry->DefaultLength = DefaultLength;
}

struct DWORD_VALUE {
    PCWSTR Name;
    ULONG REGISTRY_STAGING::*Field;
    ULONG Default;
};

static const DWORD_VALUE StagedDwordValues[] = {
    {L"MultiMonitor", &REGISTRY_STAGING::MultiMonitor, 1},
    {L"TouchMonitorOx", &REGISTRY_STAGING::TouchMonitorOx, 0},
    {L"TouchMonitorOy", &REGISTRY_STAGING::TouchMonitorOy, 0},
    {L"TouchMonitorWidth", &REGISTRY_STAGING::TouchMonitorWidth, 1024},
    {L"TouchMonitorHeight", &REGISTRY_STAGING::TouchMonitorHeight, 768},
    {L"PrimaryMonitorWidth", &REGISTRY_STAGING::PrimaryMonitorWidth, 1024},
    {L"PrimaryMonitorHeight", &REGISTRY_STAGING::PrimaryMonitorHeight, 768},
    {L"LTRB", &REGISTRY_STAGING::Ltrb, 1},
    {L"ButtonMode", &REGISTRY_STAGING::ButtonMode, 1},
};

static const UCHAR DefaultFilter[FILTER_DATA_LENGTH] = {0x00, 0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00};
static const WCHAR EmptyString[] = L"";
static const ULONG DefaultBaudRate = 19200;

static VOID ApplyStagedValues(PTOUCH_SETTINGS Settings, const REGISTRY_STAGING* Staging)
{
    DecodeFilterData(Staging->Filter, Settings);
    Settings->MultiMonitor = (UCHAR)Staging->MultiMonitor;
    Settings->TouchMonitorOx = (LONG)Staging->TouchMonitorOx;
    Settings->TouchMonitorOy = (LONG)Staging->TouchMonitorOy;
    Settings->TouchMonitorWidth = (LONG)Staging->TouchMonitorWidth;
    Settings->TouchMonitorHeight = (LONG)Staging->TouchMonitorHeight;
    Settings->PrimaryMonitorWidth = (LONG)Staging->PrimaryMonitorWidth;
    Settings->PrimaryMonitorHeight = (LONG)Staging->PrimaryMonitorHeight;
    Settings->Ltrb = (UCHAR)Staging->Ltrb;
    Settings->ButtonMode = (UCHAR)Staging->ButtonMode;
}

// Reads the "\Parameters" values of an open key over the defaults.
static VOID ReadParameters(PTOUCH_SETTINGS Settings, HANDLE Key, PUNICODE_STRING KeyPath,
                           PKEY_VALUE_FULL_INFORMATION ValueBuffer, PRTL_QUERY_REGISTRY_TABLE Table)
{
    UCHAR data[CALIBRATION_DATA_LENGTH];
    if (QueryBinaryValue(Key, L"Calibration", ValueBuffer, CALIBRATION_QUERY_BYTES, data, CALIBRATION_DATA_LENGTH)) {
        DecodeCalibrationData(data, Settings);
    }
    // A short "Beep" reads its missing bytes as zero.
    if (QueryBinaryValue(Key, L"Beep", ValueBuffer, BEEP_QUERY_BYTES, data, BEEP_DATA_LENGTH)) {
        DecodeBeepData(data, Settings);
    }

    // "PortName" and "BaudRate" land straight in their fields; the others are
    // staged and taken only if the whole table is read.
    REGISTRY_STAGING staging;
    RtlCopyMemory(staging.Filter, DefaultFilter, sizeof(DefaultFilter));
    PARAMETER_DESTINATION destinations[REGISTRY_TABLE_ENTRIES - 1];
    ULONG count = 0;
    destinations[count] = {Settings->PortNameBuffer, sizeof(Settings->PortNameBuffer), TRUE};
    AddTableEntry(Table, &count, L"PortName", &destinations[count], REG_SZ, (PVOID)EmptyString, 0);
    destinations[count] = {&Settings->BaudRate, sizeof(Settings->BaudRate), FALSE};
    AddTableEntry(Table, &count, L"BaudRate", &destinations[count], REG_DWORD, (PVOID)&DefaultBaudRate,
                  sizeof(ULONG));
    destinations[count] = {staging.Filter, sizeof(staging.Filter), FALSE};
    AddTableEntry(Table, &count, L"Filter", &destinations[count], REG_BINARY, (PVOID)DefaultFilter,
                  FILTER_DATA_LENGTH);
    for (const DWORD_VALUE& value : StagedDwordValues) {
        staging.*value.Field = value.Default;
        destinations[count] = {&(staging.*value.Field), sizeof(ULONG), FALSE};
        AddTableEntry(Table, &count, value.Name, &destinations[count], REG_DWORD, (PVOID)&value.Default,
                      sizeof(ULONG));
    }
    if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyPath->Buffer, Table, NULL, NULL))) {
        ApplyStagedValues(Settings, &staging);
    }
}

// Add-device, PASSIVE_LEVEL. Defaults, then whatever "\Parameters" holds;
// never fails: what cannot be read keeps its default.
VOID LoadRegistryParameters(PDEVICE_EXTENSION Extension, PUNICODE_STRING RegistryPath)
{
    PTOUCH_SETTINGS settings = &Extension->TouchSettings;
    SetDefaultTouchSettings(settings);

    const ULONG pathBytes = (ULONG)RegistryPath->Length + PARAMETERS_SUFFIX_BYTES;
    if (RegistryPath->Buffer == NULL || pathBytes > 0xFFFF) {
        return;
    }
    const ULONG tableBytes = REGISTRY_TABLE_ENTRIES * sizeof(RTL_QUERY_REGISTRY_TABLE);
    PKEY_VALUE_FULL_INFORMATION valueBuffer =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, VALUE_BUFFER_BYTES, DDK_POOL_TAG);
    PRTL_QUERY_REGISTRY_TABLE table = (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(PagedPool, tableBytes,
                                                                                       DDK_POOL_TAG);
    UNICODE_STRING keyPath;
    keyPath.Length = 0;
    keyPath.MaximumLength = (USHORT)pathBytes;
    keyPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, pathBytes, DDK_POOL_TAG);

    if (valueBuffer != NULL && table != NULL && keyPath.Buffer != NULL) {
        RtlZeroMemory(valueBuffer, VALUE_BUFFER_BYTES);
        RtlZeroMemory(table, tableBytes);
        RtlZeroMemory(keyPath.Buffer, pathBytes);
        RtlAppendUnicodeToString(&keyPath, RegistryPath->Buffer);
        RtlAppendUnicodeToString(&keyPath, PARAMETERS_SUFFIX);

        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &keyPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
        HANDLE key = NULL;
        if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
            ReadParameters(settings, key, &keyPath, valueBuffer, table);
            ZwClose(key);
        }
    }
    if (keyPath.Buffer != NULL) {
        ExFreePool(keyPath.Buffer);
    }
    if (table != NULL) {
        ExFreePool(table);
    }
    if (valueBuffer != NULL) {
        ExFreePool(valueBuffer);
    }
}
