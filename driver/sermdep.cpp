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
    PAGED_CODE();
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
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    if (SavedRegistryPath.Buffer != NULL) {
        ExFreePool(SavedRegistryPath.Buffer);
        SavedRegistryPath.Buffer = NULL;
        SavedRegistryPath.Length = 0;
        SavedRegistryPath.MaximumLength = 0;
    }
}

// ---------------------------------------------------------------- device creation

// Add-device's unwinding and removal, PASSIVE_LEVEL: the link, then the device.
static VOID DeleteControlDevice(PDEVICE_OBJECT ControlDevice)
{
    PAGED_CODE();
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, ControlLinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(ControlDevice);
}

// Creates the named control device and its link; NULL when the name is
// taken (a second touch device). A link failure is the add-device's failure.
// Add-device, PASSIVE_LEVEL.
static NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* ControlDevice)
{
    PAGED_CODE();
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

// Add-device, PASSIVE_LEVEL: the FDO's record, zeroed, with its settings,
// locks, timer, routine and events.
static VOID InitializeExtension(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT Fdo)
{
    PAGED_CODE();
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
    Extension->SpeakerTimerDueTime.QuadPart = SPEAKER_OFF_DELAY_100NS;
    KeInitializeEvent(&Extension->PortLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Extension->ReadPumpIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&Extension->SpeakerTimerIdle, NotificationEvent, FALSE);
    Extension->Self = Fdo;
}

// Add-device, PASSIVE_LEVEL. The control device keeps its own record, which
// outlives the touch device's: its lock, and the touch record that removal
// takes back under it.
static VOID InitializeControlRecord(PDEVICE_OBJECT ControlDevice, PDEVICE_EXTENSION Target)
{
    PAGED_CODE();
    PDEVICE_EXTENSION control = (PDEVICE_EXTENSION)ControlDevice->DeviceExtension;
    IoInitializeRemoveLockEx(&control->ControlLock, REMOVE_LOCK_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    control->ControlTarget = Target;
}

// Plug and Play manager, PASSIVE_LEVEL. Creates the control device and the
// touch FDO and attaches the FDO above the PDO. A failure undoes what was
// made, in reverse order, on the one path out.
static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    PDEVICE_OBJECT control = NULL;
    PDEVICE_OBJECT fdo = NULL;
    PDEVICE_EXTENSION extension = NULL;
    NTSTATUS status = CreateControlDevice(DriverObject, &control);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }
    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        fdo = NULL;
        goto Failed;
    }
    extension = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    InitializeExtension(extension, fdo);
    extension->TopOfStack = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (extension->TopOfStack == NULL) {
        status = STATUS_DEVICE_REMOVED; // nothing may reach the FDO's record once it is gone
        goto Failed;
    }
    if (control != NULL) {
        InitializeControlRecord(control, extension);
        control->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    extension->ControlDevice = control;
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

Failed:
    if (fdo != NULL) {
        IoDeleteDevice(fdo);
    }
    if (control != NULL) {
        DeleteControlDevice(control);
    }
    return status;
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

// DispatchPnp, PASSIVE_LEVEL. Sends the request down and waits for it to come back.
static NTSTATUS ForwardSynchronously(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN CopyStack)
{
    PAGED_CODE();
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

// Surprise removal and removal, PASSIVE_LEVEL. Stops everything the device
// has running: the port and its read pump, and the speaker routine. The
// speaker is left silent. The device is going away, so no control request
// may open a port again: one opened after this point would outlive the
// device, or hold the remove lock that removal waits for.
static VOID StopDeviceActivity(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KeWaitForSingleObject(&Extension->PortLock, Executive, KernelMode, FALSE, NULL);
    Extension->PortsRefused = TRUE;
    ClosePort(Extension);
    KeSetEvent(&Extension->PortLock, IO_NO_INCREMENT, FALSE);
    StopSpeakerTimer(Extension);
    SilenceSpeakerIfSetByDriver();
}

// DispatchPnp, PASSIVE_LEVEL. Removal: stop, let every other holder of the
// remove lock leave, pass the request down, then take the FDO out of the
// stack and delete it with the control device, so that a later add-device
// can create them again.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT Fdo, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PAGED_CODE();
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
    PAGED_CODE();
    PDEVICE_EXTENSION extension = NULL;
    NTSTATUS status;
    if (!EnterFdoRequest(DeviceObject, Irp, ControlDeviceKeepsStatus, TRUE, SERMDEP_FILE, __LINE__, &extension,
                         &status)) {
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
    PAGED_CODE();
    PDEVICE_EXTENSION extension = NULL;
    NTSTATUS status;
    PoStartNextPowerIrp(Irp);
    if (!EnterFdoRequest(DeviceObject, Irp, ControlDeviceKeepsStatus, FALSE, SERMDEP_FILE, __LINE__, &extension,
                         &status)) {
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->TopOfStack, Irp);
}

// WMI, PASSIVE_LEVEL: not ours, passed down.
static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = NULL;
    NTSTATUS status;
    if (!EnterFdoRequest(DeviceObject, Irp, ControlDeviceKeepsStatus, FALSE, SERMDEP_FILE, __LINE__, &extension,
                         &status)) {
        return status;
    }
    return PassDown(extension, Irp);
}

// ---------------------------------------------------------------- registry

// "Calibration" and "Beep" are read one at a time into one buffer. A full-
// information reply is its fixed part and the value's name, rounded up to 4
// bytes, then the data: "Calibration" gets room for its 18 bytes (62 in
// all); "Beep" has always been read with room for 9 (37 in all), so a value
// of up to 9 bytes is taken and a longer one ignored whole.
#define ROUND_UP_4(bytes) (((bytes) + 3u) & ~3u)
#define REPLY_HEAD_BYTES(name) \
    ROUND_UP_4(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + sizeof(name) - sizeof(WCHAR))
#define CALIBRATION_QUERY_BYTES (REPLY_HEAD_BYTES(L"Calibration") + CALIBRATION_DATA_LENGTH)
#define BEEP_QUERY_BYTES (REPLY_HEAD_BYTES(L"Beep") + 9u)
#define VALUE_BUFFER_BYTES CALIBRATION_QUERY_BYTES
static_assert(CALIBRATION_QUERY_BYTES == 62 && BEEP_QUERY_BYTES == 37, "the buffers the values were always read with");
#define PARAMETERS_SUFFIX L"\\Parameters"
#define PARAMETERS_SUFFIX_BYTES sizeof(PARAMETERS_SUFFIX) // its terminating zero included
#define REGISTRY_TABLE_ENTRIES (REGISTRY_TABLE_VALUES + 1) // and the all-zero entry that ends it

// Add-device, PASSIVE_LEVEL. Queries one value into Buffer (zeroed first)
// and, on success, copies up to Length data bytes to Data; bytes the value
// does not have read as zero. FALSE for a value without data.
static BOOLEAN QueryBinaryValue(HANDLE Key, PCWSTR Name, PKEY_VALUE_FULL_INFORMATION Buffer, ULONG QueryBytes,
                                PUCHAR Data, ULONG Length)
{
    PAGED_CODE();
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

// RtlQueryRegistryValues, PASSIVE_LEVEL, once per table value or its
// default: stored if its type and length fit.
static NTSTATUS NTAPI StoreParameterValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                          PVOID Context, PVOID EntryContext)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    return StoreRegistryValue((const REGISTRY_DESTINATION*)EntryContext, ValueType, ValueData, ValueLength);
}

// Add-device, PASSIVE_LEVEL. The table's entries hand every value to
// StoreParameterValue as stored: not expanded, and a multi-string whole.
static VOID FillQueryTable(PRTL_QUERY_REGISTRY_TABLE Table, REGISTRY_TABLE_ROW Rows[REGISTRY_TABLE_VALUES])
{
    PAGED_CODE();
    for (ULONG i = 0; i < REGISTRY_TABLE_VALUES; i++) {
        PRTL_QUERY_REGISTRY_TABLE entry = &Table[i];
        entry->QueryRoutine = StoreParameterValue;
        entry->Flags = RTL_QUERY_REGISTRY_NOEXPAND;
        entry->Name = (PWSTR)Rows[i].Name;
        entry->EntryContext = &Rows[i].Destination;
        entry->DefaultType = Rows[i].DefaultType;
        entry->DefaultData = (PVOID)Rows[i].DefaultData;
        entry->DefaultLength = Rows[i].DefaultLength;
    }
}

// Add-device, PASSIVE_LEVEL. Reads the "\Parameters" values of an open key
// over the defaults.
static VOID ReadParameters(PTOUCH_SETTINGS Settings, HANDLE Key, PUNICODE_STRING KeyPath,
                           PKEY_VALUE_FULL_INFORMATION ValueBuffer, PRTL_QUERY_REGISTRY_TABLE Table)
{
    PAGED_CODE();
    UCHAR data[CALIBRATION_DATA_LENGTH];
    if (QueryBinaryValue(Key, L"Calibration", ValueBuffer, CALIBRATION_QUERY_BYTES, data, CALIBRATION_DATA_LENGTH)) {
        DecodeCalibrationData(data, Settings);
    }
    // A short "Beep" reads its missing bytes as zero.
    if (QueryBinaryValue(Key, L"Beep", ValueBuffer, BEEP_QUERY_BYTES, data, BEEP_DATA_LENGTH)) {
        DecodeBeepData(data, Settings);
    }
    REGISTRY_STAGING staging;
    REGISTRY_TABLE_ROW rows[REGISTRY_TABLE_VALUES];
    DescribeRegistryTable(Settings, &staging, rows);
    FillQueryTable(Table, rows);
    if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyPath->Buffer, Table, NULL, NULL))) {
        ApplyStagedValues(Settings, &staging);
    }
}

// Add-device, PASSIVE_LEVEL. Defaults, then whatever "\Parameters" holds;
// never fails: what cannot be read keeps its default.
VOID LoadRegistryParameters(PDEVICE_EXTENSION Extension, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
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
