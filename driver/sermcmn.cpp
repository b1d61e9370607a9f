// Requests served by the touch driver and its link to the serial port: the
// read pump, serial requests, port lookup, the mouse class connection, the
// control device's requests, flush, create and close.
#include "sermouse.h"

#define SERMCMN_FILE "sermcmn"

typedef VOID NTAPI MOUSE_CLASS_SERVICE(PDEVICE_OBJECT ClassDeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                       PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed);

static IO_COMPLETION_ROUTINE ReadCompletion;
static VOID KeepSpeakerTimerSet(PDEVICE_EXTENSION Extension);

// The control device's own record has no Self: it is in no stack.
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    return DeviceObject != Extension->Self;
}

// Any dispatch routine, up to DISPATCH_LEVEL: the one way a request is
// finished here, with its status and byte count and no priority boost.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Any dispatch routine, PASSIVE_LEVEL. TRUE with Lock held for Irp;
// otherwise Irp is completed with the refusal, which *Status carries.
BOOLEAN AcquireForRequest(PIO_REMOVE_LOCK Lock, PIRP Irp, PCSTR File, ULONG Line, NTSTATUS* Status)
{
    *Status = IoAcquireRemoveLockEx(Lock, Irp, File, Line, sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(*Status)) {
        CompleteRequest(Irp, *Status, 0);
        return FALSE;
    }
    return TRUE;
}

// The dispatch prologue of flush, internal device control, Plug and Play,
// power and system control, PASSIVE_LEVEL. The control device is in no
// stack, so it answers such a request itself; the FDO goes on, holding its
// remove lock for the request when HoldLock says so. TRUE when the caller
// goes on with *Extension; otherwise the request is completed and *Status
// is what to return.
BOOLEAN EnterFdoRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, CONTROL_DEVICE_ANSWER Answer, BOOLEAN HoldLock,
                        PCSTR File, ULONG Line, PDEVICE_EXTENSION* Extension, NTSTATUS* Status)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (IsControlDevice(DeviceObject, extension)) {
        switch (Answer) {
        case ControlDeviceSucceeds: *Status = CompleteRequest(Irp, STATUS_SUCCESS, 0); break;
        case ControlDeviceRefuses: *Status = CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0); break;
        default: // nothing below to ask: it keeps what it carries
            *Status = Irp->IoStatus.Status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            break;
        }
        return FALSE;
    }
    *Extension = extension;
    return !HoldLock || AcquireForRequest(&extension->RemoveLock, Irp, File, Line, Status);
}

// Any dispatch routine, PASSIVE_LEVEL: down the FDO's stack as it is.
NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->TopOfStack, Irp);
}

// ---------------------------------------------------------------- create, close, flush

// I/O manager, PASSIVE_LEVEL. Opening and closing the control device or the
// FDO always succeeds.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// I/O manager, PASSIVE_LEVEL. Passed down the FDO's stack under the remove
// lock; the control device is not in that stack, so it completes it itself.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = NULL;
    NTSTATUS status;
    if (!EnterFdoRequest(DeviceObject, Irp, ControlDeviceSucceeds, TRUE, SERMCMN_FILE, __LINE__, &extension,
                         &status)) {
        return status;
    }
    status = PassDown(extension, Irp);
    IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
}

// ---------------------------------------------------------------- serial requests

// PASSIVE_LEVEL. Builds one control request for the port, sends it and waits
// for it; returns the request's status.
NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG Code, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK StatusBlock, PVOID Input, ULONG InputLength, PVOID Output,
                           ULONG OutputLength)
{
    PAGED_CODE();
    KeClearEvent(Event);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, Input, InputLength, Output, OutputLength, Internal,
                                             Event, StatusBlock);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(Device, irp);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return StatusBlock->Status;
}

// The set-up's one-request operations, PASSIVE_LEVEL: one device-control
// request with an event and status block of its own.
static NTSTATUS SendOneSerialRequest(PDEVICE_EXTENSION Extension, ULONG Code, PVOID Input, ULONG InputLength)
{
    PAGED_CODE();
    KEVENT event;
    IO_STATUS_BLOCK statusBlock;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    statusBlock.Status = STATUS_SUCCESS;
    statusBlock.Information = 0;
    const NTSTATUS status = SendSerialRequest(FALSE, Code, Extension->SerialDevice, &event, &statusBlock, Input,
                                              InputLength, NULL, 0);
    if (!NT_SUCCESS(statusBlock.Status)) {
        return statusBlock.Status;
    }
    return status;
}

// ConfigurePortAndStart, PASSIVE_LEVEL.
static NTSTATUS SetPortBaudRate(PDEVICE_EXTENSION Extension, ULONG Rate)
{
    PAGED_CODE();
    SERIAL_BAUD_RATE baudRate;
    baudRate.BaudRate = Rate;
    return SendOneSerialRequest(Extension, IOCTL_SERIAL_SET_BAUD_RATE, &baudRate, sizeof(baudRate));
}

// ConfigurePortAndStart, PASSIVE_LEVEL.
static NTSTATUS SetPortLineControl(PDEVICE_EXTENSION Extension, SERIAL_LINE_CONTROL LineControl)
{
    PAGED_CODE();
    return SendOneSerialRequest(Extension, IOCTL_SERIAL_SET_LINE_CONTROL, &LineControl, sizeof(LineControl));
}

// ConfigurePortAndStart, PASSIVE_LEVEL.
static NTSTATUS SetPortFifoControl(PDEVICE_EXTENSION Extension, UCHAR Value)
{
    PAGED_CODE();
    ULONG fifoControl = Value;
    return SendOneSerialRequest(Extension, IOCTL_SERIAL_SET_FIFO_CONTROL, &fifoControl, sizeof(fifoControl));
}

// ConfigurePortAndStart, PASSIVE_LEVEL.
static NTSTATUS PurgePortReceive(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    ULONG mask = SERIAL_PURGE_RXCLEAR;
    return SendOneSerialRequest(Extension, IOCTL_SERIAL_PURGE, &mask, sizeof(mask));
}

// ConfigurePortAndStart, PASSIVE_LEVEL: line speed, then 8 data bits,
// no parity, 1 stop bit.
static VOID SetBaudAndLineControl(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    SetPortBaudRate(Extension, Extension->TouchSettings.BaudRate);
    SERIAL_LINE_CONTROL lineControl;
    lineControl.StopBits = STOP_BIT_1;
    lineControl.Parity = NO_PARITY;
    lineControl.WordLength = 8;
    SetPortLineControl(Extension, lineControl);
}

// Saves the port's settings and puts it in basic mode: no timeouts, so a
// read waits for its byte; DTR and RTS on without handshaking.
static VOID SaveSerialSettings(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KEVENT event;
    IO_STATUS_BLOCK statusBlock;
    PDEVICE_OBJECT port = Extension->SerialDevice;
    PSERIAL_BASIC_SETTINGS saved = &Extension->SavedSerialSettings;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    NTSTATUS status = SendSerialRequest(TRUE, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, port, &event, &statusBlock,
                                        NULL, 0, saved, sizeof(*saved));
    if (NT_SUCCESS(status)) {
        return;
    }
    SERIAL_TIMEOUTS timeouts;
    RtlZeroMemory(&timeouts, sizeof(timeouts));
    SERIAL_HANDFLOW handFlow;
    handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    handFlow.FlowReplace = SERIAL_RTS_CONTROL;
    handFlow.XonLimit = 0;
    handFlow.XoffLimit = 0;
    SendSerialRequest(FALSE, IOCTL_SERIAL_GET_TIMEOUTS, port, &event, &statusBlock, NULL, 0, &saved->Timeouts,
                      sizeof(saved->Timeouts));
    SendSerialRequest(FALSE, IOCTL_SERIAL_SET_TIMEOUTS, port, &event, &statusBlock, &timeouts, sizeof(timeouts),
                      NULL, 0);
    SendSerialRequest(FALSE, IOCTL_SERIAL_GET_HANDFLOW, port, &event, &statusBlock, NULL, 0, &saved->HandFlow,
                      sizeof(saved->HandFlow));
    SendSerialRequest(FALSE, IOCTL_SERIAL_SET_HANDFLOW, port, &event, &statusBlock, &handFlow, sizeof(handFlow),
                      NULL, 0);
}

// PASSIVE_LEVEL, with SerialDevice set and no read out. Configures the port
// and starts the read pump; returns the start's status.
NTSTATUS ConfigurePortAndStart(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    ULONG waitMask = 0;
    SendOneSerialRequest(Extension, IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof(waitMask));
    SaveSerialSettings(Extension);
    SetBaudAndLineControl(Extension);
    SetPortFifoControl(Extension, 0);
    PurgePortReceive(Extension);

    // A port whose stack is deeper than the one the read request was made
    // for would run it out of stack locations: make a deeper one.
    if (Extension->ReadIrp != NULL && Extension->ReadIrp->StackCount < Extension->SerialDevice->StackSize) {
        IoFreeIrp(Extension->ReadIrp);
        Extension->ReadIrp = NULL;
    }
    if (Extension->ReadIrp == NULL) {
        Extension->ReadIrp = IoAllocateIrp(Extension->SerialDevice->StackSize, FALSE);
        if (Extension->ReadIrp == NULL) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    return StartReadPump(Extension);
}

// ---------------------------------------------------------------- port lookup

// RtlQueryRegistryValues, PASSIVE_LEVEL, once per SERIALCOMM value. Keeps the
// device path of a value whose data equals the configured COM name, ignoring
// case; always lets the enumeration go on.
static NTSTATUS NTAPI MatchSerialCommValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                           PVOID Context, PVOID EntryContext)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ValueType);
    PUNICODE_STRING result = (PUNICODE_STRING)Context;
    PTOUCH_SETTINGS settings = (PTOUCH_SETTINGS)EntryContext;
    PWCHAR data = (PWCHAR)ValueData;

    // Names and data that do not fit the 256-character buffers never match.
    const ULONG characters = ValueLength / 2;
    if (characters >= PORT_NAME_CHARACTERS) {
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < characters; i++) {
        data[i] = RtlUpcaseUnicodeChar(data[i]);
        settings->PortNameBuffer[i] = RtlUpcaseUnicodeChar(settings->PortNameBuffer[i]);
        if (data[i] != settings->PortNameBuffer[i]) {
            return STATUS_SUCCESS;
        }
    }
    ULONG nameLength = 0;
    while (nameLength < PORT_NAME_CHARACTERS && ValueName[nameLength] != 0) {
        nameLength++;
    }
    if (nameLength >= PORT_NAME_CHARACTERS) {
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < nameLength; i++) {
        result->Buffer[i] = ValueName[i];
    }
    result->Length = (USHORT)(nameLength * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// OpenFoundPort, PASSIVE_LEVEL: whether Path names the port in use.
static BOOLEAN IsOpenPortPath(PDEVICE_EXTENSION Extension, PCUNICODE_STRING Path)
{
    PAGED_CODE();
    if (Extension->SerialDevice == NULL || Extension->SerialDevicePathLength != Path->Length) {
        return FALSE;
    }
    for (ULONG i = 0; i < Path->Length / sizeof(WCHAR); i++) {
        if (Extension->SerialDevicePath[i] != Path->Buffer[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

// PASSIVE_LEVEL, under PortLock, for the device path the lookup found. The
// port in use is let go only once the new one is open: a port that is
// listed but cannot be had (held by another program, out of memory) leaves
// it running. The same port asked for again is closed first, since ports
// open exclusively.
static NTSTATUS OpenFoundPort(PDEVICE_EXTENSION Extension, PUNICODE_STRING Path)
{
    PAGED_CODE();
    if (IsOpenPortPath(Extension, Path)) {
        ClosePort(Extension);
    }
    PFILE_OBJECT file = NULL;
    PDEVICE_OBJECT device = NULL;
    const NTSTATUS status = IoGetDeviceObjectPointer(Path, FILE_ALL_ACCESS, &file, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Extension->SerialDevice != NULL) {
        ClosePort(Extension);
    }
    Extension->SerialFileObject = file;
    Extension->SerialDevice = device;
    RtlCopyMemory(Extension->SerialDevicePath, Path->Buffer, Path->Length);
    Extension->SerialDevicePathLength = Path->Length;
    return status;
}

// PASSIVE_LEVEL, under PortLock. Looks the configured COM name up in
// SERIALCOMM and opens that port. A port still open is closed only once the
// name has been found, so a name that is not found leaves it running.
NTSTATUS FindAndOpenPort(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    const ULONG resultBytes = PORT_NAME_CHARACTERS * sizeof(WCHAR);
    PWCHAR block = (PWCHAR)ExAllocatePoolWithTag(PagedPool, resultBytes, DDK_POOL_TAG);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block, resultBytes);
    UNICODE_STRING result;
    result.Length = 0;
    result.MaximumLength = (USHORT)resultBytes;
    result.Buffer = block;

    PRTL_QUERY_REGISTRY_TABLE table =
        (PRTL_QUERY_REGISTRY_TABLE)ExAllocatePoolWithTag(PagedPool, 2 * sizeof(RTL_QUERY_REGISTRY_TABLE), DDK_POOL_TAG);
    if (table == NULL) {
        ExFreePool(block);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(table, 2 * sizeof(RTL_QUERY_REGISTRY_TABLE));
    table[0].QueryRoutine = MatchSerialCommValue;
    table[0].EntryContext = &Extension->TouchSettings;
    table[0].DefaultType = REG_NONE;

    // A missing key and a key without a match both leave the result empty.
    RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, L"SERIALCOMM", table, &result, NULL);

    NTSTATUS status = STATUS_NOT_FOUND;
    if (result.Length != 0) {
        status = OpenFoundPort(Extension, &result);
    }
    ExFreePool(table);
    ExFreePool(block);
    return status;
}

// PASSIVE_LEVEL. Ends the use of the port: the read out at it is cancelled
// and waited for, so the read request is free for the next port and the
// port is not let go while it still holds our read.
VOID ClosePort(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    if (Extension->ReadIrp != NULL) {
        // Not while the pump is making the request ready on another thread:
        // the cancel would land in a request being rewritten.
        KIRQL irql;
        KeAcquireSpinLock(&Extension->ReadCancelLock, &irql);
        InterlockedExchange(&Extension->ReadPumpStopRequested, TRUE);
        IoCancelIrp(Extension->ReadIrp);
        KeReleaseSpinLock(&Extension->ReadCancelLock, irql);
        KeWaitForSingleObject(&Extension->ReadPumpIdle, Executive, KernelMode, FALSE, NULL);
    }
    if (Extension->SerialFileObject != NULL) {
        ObDereferenceObject(Extension->SerialFileObject);
        Extension->SerialFileObject = NULL;
    }
    Extension->SerialDevice = NULL;
}

// ---------------------------------------------------------------- read pump

// Set by ClosePort in the requesting thread, read by the pump on whichever
// thread completes its reads.
static BOOLEAN PumpStopRequested(PDEVICE_EXTENSION Extension)
{
    return InterlockedCompareExchange(&Extension->ReadPumpStopRequested, FALSE, FALSE) != FALSE;
}

// ReadCompletion, up to DISPATCH_LEVEL: the statuses that end the pump.
static BOOLEAN IsStoppingStatus(NTSTATUS Status)
{
    return Status == STATUS_CANCELLED || Status == STATUS_DELETE_PENDING || Status == STATUS_DEVICE_NOT_CONNECTED;
}

// Any IRQL up to DISPATCH_LEVEL. The pump's one remove-lock hold ends here,
// exactly once per start; signalling "idle" is the pump's last touch of the
// record, since ClosePort, and with it removal, may go on from there.
static VOID EndReadPump(PDEVICE_EXTENSION Extension)
{
    PIRP readIrp = Extension->ReadIrp;
    IoReleaseRemoveLockEx(&Extension->RemoveLock, readIrp, sizeof(IO_REMOVE_LOCK));
    KeSetEvent(&Extension->ReadPumpIdle, IO_NO_INCREMENT, FALSE);
}

// Up to DISPATCH_LEVEL. Sends one-byte reads until one of them is left to
// complete later; returns the status of the last send. A stop requested by
// ClosePort ends the pump instead of sending.
static NTSTATUS IssueReads(PDEVICE_EXTENSION Extension)
{
    for (;;) {
        InterlockedExchange(&Extension->ReadInterlock, ISSUE_IN_PROGRESS);
        PIRP irp = Extension->ReadIrp;
        KIRQL irql;
        KeAcquireSpinLock(&Extension->ReadCancelLock, &irql);
        IoReuseIrp(irp, STATUS_SUCCESS);
        irp->AssociatedIrp.SystemBuffer = &Extension->ReadBuffer;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 1;
        next->Parameters.Read.ByteOffset.LowPart = 0;
        next->Parameters.Read.ByteOffset.HighPart = 0;
        IoSetCompletionRoutine(irp, ReadCompletion, Extension, TRUE, TRUE, TRUE);
        const BOOLEAN stop = PumpStopRequested(Extension);
        KeReleaseSpinLock(&Extension->ReadCancelLock, irql);

        NTSTATUS status;
        if (stop) {
            InterlockedExchange(&Extension->ReadInterlock, ISSUER_RETURNED);
            EndReadPump(Extension);
            return STATUS_CANCELLED;
        }
        status = IoCallDriver(Extension->SerialDevice, irp);
        const LONG found = InterlockedExchange(&Extension->ReadInterlock, ISSUER_RETURNED);
        if (found == ISSUER_ENDS_PUMP) {
            // The read ended the pump while this send was still in progress:
            // its status, not the send's, says how the pump ended.
            status = Extension->ReadEndStatus;
            EndReadPump(Extension);
            return status;
        }
        if (found != ISSUE_AGAIN) {
            return status;
        }
    }
}

// Up to DISPATCH_LEVEL. Delivers the finished report to the class driver,
// which must be called at DISPATCH_LEVEL.
static VOID DeliverReport(PDEVICE_EXTENSION Extension)
{
    PMOUSE_INPUT_DATA report = &Extension->InputData;
    PrepareReportButtons(report, &Extension->PacketState);
    MOUSE_CLASS_SERVICE* service = (MOUSE_CLASS_SERVICE*)Extension->ConnectData.ClassService;
    if (service != NULL) {
        ULONG consumed = 0;
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        service(Extension->ConnectData.ClassDeviceObject, report, report + 1, &consumed);
        KeLowerIrql(irql);
    }
    ClearReportButtons(report);
}

// I/O manager, up to DISPATCH_LEVEL, for every read. The byte is taken and
// processed before the hand-off decides who sends the next read, so the
// request is never reused while this routine still needs it and the parser
// never runs twice at once. Keeps the request: STATUS_MORE_PROCESSING_REQUIRED.
static NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    const NTSTATUS status = Irp->IoStatus.Status;
    const ULONG_PTR bytesRead = Irp->IoStatus.Information;
    const UCHAR byte = extension->ReadBuffer;

    // Whether the read came back before its send returned: only such reads
    // can make the pump re-issue without pause. (PendingReturned does not
    // tell: a filter may mark a read pending that its port fails at once.)
    const BOOLEAN insideSend =
        InterlockedCompareExchange(&extension->ReadInterlock, ISSUE_IN_PROGRESS, ISSUE_IN_PROGRESS) ==
        ISSUE_IN_PROGRESS;
    const BOOLEAN stopRequested = PumpStopRequested(extension);
    BOOLEAN endPump = IsStoppingStatus(status) || stopRequested;
    if (status == STATUS_SUCCESS) {
        KeepSpeakerTimerSet(extension);
        if (bytesRead != 0 && !endPump &&
            ParseTouchByte(&extension->TouchSettings, &extension->InputData, &extension->PacketState, byte)) {
            DeliverReport(extension);
        }
    }
    if ((status == STATUS_SUCCESS && bytesRead != 0) || !insideSend) {
        // A byte came, or the read waited at the port before it ended (a
        // time-out, a line error): the port is not spinning.
        extension->ReadFailuresInARow = 0;
    } else if (!endPump && ++extension->ReadFailuresInARow >= READ_FAILURE_LIMIT) {
        // Failed or empty, each at once: re-issuing would never stop.
        endPump = TRUE;
    }
    if (endPump) {
        // An issuing loop still inside this read's send ends the pump itself
        // once the send returns, and reports why; otherwise it ends here.
        extension->ReadEndStatus = NT_SUCCESS(status) && stopRequested ? STATUS_CANCELLED : status;
        if (InterlockedCompareExchange(&extension->ReadInterlock, ISSUER_ENDS_PUMP, ISSUE_IN_PROGRESS) !=
            ISSUE_IN_PROGRESS) {
            EndReadPump(extension);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (InterlockedCompareExchange(&extension->ReadInterlock, ISSUE_AGAIN, ISSUE_IN_PROGRESS) != ISSUE_IN_PROGRESS) {
        IssueReads(extension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL, with ReadIrp and SerialDevice set and no read out. Starts
// the pump under the remove lock; STATUS_SUCCESS while it runs.
NTSTATUS StartReadPump(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    NTSTATUS status = IoAcquireRemoveLockEx(&Extension->RemoveLock, Extension->ReadIrp, SERMCMN_FILE, __LINE__,
                                            sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeClearEvent(&Extension->ReadPumpIdle);
    InterlockedExchange(&Extension->ReadPumpStopRequested, FALSE);
    Extension->ReadFailuresInARow = 0;
    Extension->ReadInterlock = ISSUER_RETURNED;
    status = IssueReads(Extension);
    if (status == STATUS_PENDING) {
        return STATUS_SUCCESS;
    }
    // A read that came back inside the send either ended the pump there (a
    // stopping status, or a port that answered every read at once with a
    // failure or nothing) or left a read to be re-issued by its completion:
    // only the first is a failed start.
    if (KeReadStateEvent(&Extension->ReadPumpIdle) != 0) {
        // A port that "succeeded" every read with nothing (empty, a time-out)
        // still left no pump: never report that start as a success.
        return NT_SUCCESS(status) ? STATUS_IO_DEVICE_ERROR : status;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- speaker timer
//
// The timer and its routine pass one token between them (SpeakerTimerState):
// only the read that finds the timer idle sets it; later reads only note
// their time, and the routine, when it runs, sets the timer again for the
// rest of the 100 ms or switches the speaker off. Two expiries can thus never
// merge into one run of the routine, and StopSpeakerTimer always knows where
// the token is: in the timer (cancelled) or in a routine queued or running,
// which hands it back when it runs. (KeRemoveQueueDpc is no help: before
// Windows Vista SP1 a routine it reports removed may still run.)

static const ULONG SpeakerOffDelay = (ULONG)-SPEAKER_OFF_DELAY_100NS;

// The speaker timer's bookkeeping, any IRQL.
static ULONG SystemTimeLow(VOID)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.LowPart;
}

// Read completion, up to DISPATCH_LEVEL, for every successful read.
static VOID KeepSpeakerTimerSet(PDEVICE_EXTENSION Extension)
{
    InterlockedExchange(&Extension->LastSuccessfulReadTime, (LONG)SystemTimeLow());
    for (;;) {
        const LONG state = InterlockedCompareExchange(&Extension->SpeakerTimerState, SPEAKER_TIMER_SET,
                                                      SPEAKER_TIMER_IDLE);
        if (state == SPEAKER_TIMER_IDLE) {
            KeSetTimer(&Extension->SpeakerTimer, Extension->SpeakerTimerDueTime, &Extension->SpeakerDpc);
            return;
        }
        if (InterlockedCompareExchange(&Extension->SpeakerTimerState, SPEAKER_TIMER_MOVED, state) == state) {
            return; // the routine that holds the token sets the timer again
        }
    }
}

// Under SpeakerTimerLock, with the token. TRUE when a read came less than
// 100 ms ago and the timer was set for the rest: the token is the timer's.
static BOOLEAN SetSpeakerTimerAgainIfReadSince(PDEVICE_EXTENSION Extension)
{
    if (InterlockedCompareExchange(&Extension->SpeakerTimerState, SPEAKER_TIMER_SET, SPEAKER_TIMER_MOVED) !=
        SPEAKER_TIMER_MOVED) {
        return FALSE;
    }
    const ULONG lastRead = (ULONG)InterlockedCompareExchange(&Extension->LastSuccessfulReadTime, 0, 0);
    const ULONG elapsed = SystemTimeLow() - lastRead; // modulo 2^32
    if (elapsed >= SpeakerOffDelay) {
        return FALSE;
    }
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -(LONGLONG)(SpeakerOffDelay - elapsed);
    KeSetTimer(&Extension->SpeakerTimer, dueTime, &Extension->SpeakerDpc);
    return TRUE;
}

// Kernel, DISPATCH_LEVEL, when the speaker timer expires. Switches the
// click off once no read has succeeded for 100 ms.
VOID NTAPI SpeakerOffDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    KIRQL irql;
    KeAcquireSpinLock(&extension->SpeakerTimerLock, &irql);
    for (;;) {
        if (!extension->SpeakerTimerStopping && SetSpeakerTimerAgainIfReadSince(extension)) {
            break;
        }
        SpeakerOffTimerExpired(&extension->TouchSettings);
        if (extension->SpeakerTimerStopping) {
            InterlockedExchange(&extension->SpeakerTimerState, SPEAKER_TIMER_IDLE);
            KeSetEvent(&extension->SpeakerTimerIdle, IO_NO_INCREMENT, FALSE);
            break;
        }
        if (InterlockedCompareExchange(&extension->SpeakerTimerState, SPEAKER_TIMER_IDLE, SPEAKER_TIMER_SET) ==
            SPEAKER_TIMER_SET) {
            break;
        }
        // A read succeeded while the speaker was being switched off: the
        // next turn sets the timer for it.
    }
    KeReleaseSpinLock(&extension->SpeakerTimerLock, irql);
}

// PASSIVE_LEVEL, once the read pump has stopped (nothing sets the timer any
// more). Returns when the speaker routine can no longer run: a set timer is
// cancelled; a routine already queued or running is let finish, and it waits
// for nothing but this lock.
VOID StopSpeakerTimer(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&Extension->SpeakerTimerLock, &irql);
    Extension->SpeakerTimerStopping = TRUE;
    if (KeCancelTimer(&Extension->SpeakerTimer)) {
        InterlockedExchange(&Extension->SpeakerTimerState, SPEAKER_TIMER_IDLE);
    }
    const BOOLEAN routineOwes = InterlockedCompareExchange(&Extension->SpeakerTimerState, SPEAKER_TIMER_IDLE,
                                                           SPEAKER_TIMER_IDLE) != SPEAKER_TIMER_IDLE;
    KeReleaseSpinLock(&Extension->SpeakerTimerLock, irql);
    if (routineOwes) {
        KeWaitForSingleObject(&Extension->SpeakerTimerIdle, Executive, KernelMode, FALSE, NULL);
        // The routine signals before it lets go of the lock: once the lock
        // is ours it has touched the record for the last time.
        KeAcquireSpinLock(&Extension->SpeakerTimerLock, &irql);
        KeReleaseSpinLock(&Extension->SpeakerTimerLock, irql);
    }
}

// ---------------------------------------------------------------- mouse class

// DispatchInternalDeviceControl, PASSIVE_LEVEL.
static NTSTATUS QueryMouseAttributes(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(MOUSE_ATTRIBUTES)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Extension->MouseAttributes, sizeof(MOUSE_ATTRIBUTES));
    Irp->IoStatus.Information = sizeof(MOUSE_ATTRIBUTES);
    return STATUS_SUCCESS;
}

// DispatchInternalDeviceControl, PASSIVE_LEVEL: the class service, once.
static NTSTATUS ConnectMouseClass(PDEVICE_EXTENSION Extension, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    if (Extension->ConnectData.ClassService != NULL) {
        return STATUS_SHARING_VIOLATION;
    }
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CONNECT_DATA)) {
        return STATUS_INVALID_PARAMETER;
    }
    const CONNECT_DATA* connect = (const CONNECT_DATA*)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
    Extension->ConnectData.ClassDeviceObject = connect->ClassDeviceObject;
    Extension->ConnectData.ClassService = connect->ClassService;
    return STATUS_SUCCESS;
}

// Mouse class driver, PASSIVE_LEVEL. Connect, attributes; never pends. The
// control device is no mouse port: it refuses them.
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = NULL;
    NTSTATUS status;
    Irp->IoStatus.Information = 0;
    if (!EnterFdoRequest(DeviceObject, Irp, ControlDeviceRefuses, TRUE, SERMCMN_FILE, __LINE__, &extension,
                         &status)) {
        return status;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUSE_QUERY_ATTRIBUTES: status = QueryMouseAttributes(extension, Irp, stack); break;
    case IOCTL_INTERNAL_MOUSE_CONNECT: status = ConnectMouseClass(extension, stack); break;
    case IOCTL_INTERNAL_MOUSE_DISCONNECT: status = STATUS_NOT_IMPLEMENTED; break;
    case IOCTL_INTERNAL_MOUSE_ENABLE:
    case IOCTL_INTERNAL_MOUSE_DISABLE: status = STATUS_NOT_SUPPORTED; break;
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    CompleteRequest(Irp, status, Irp->IoStatus.Information);
    IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
}

// ---------------------------------------------------------------- control requests

struct CONTROL_REQUEST {
    PDEVICE_EXTENSION Extension;
    PTOUCH_SETTINGS Settings;
    const UCHAR* Input;
    ULONG InputLength;
    PUCHAR Output;
    ULONG OutputLength;
    ULONG_PTR Information;
};

// Port requests and removal, PASSIVE_LEVEL, inside a critical region: one
// port request at a time.
static VOID LockPorts(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KeWaitForSingleObject(&Extension->PortLock, Executive, KernelMode, FALSE, NULL);
}

// Port requests and removal, PASSIVE_LEVEL.
static VOID UnlockPorts(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KeSetEvent(&Extension->PortLock, IO_NO_INCREMENT, FALSE);
}

// Port requests, PASSIVE_LEVEL, under PortLock: refused once removal began.
static NTSTATUS OpenAndStartPort(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    if (Extension->PortsRefused) {
        return STATUS_DELETE_PENDING;
    }
    const NTSTATUS status = FindAndOpenPort(Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return ConfigurePortAndStart(Extension);
}

// IOCTL_TOUCH_SET_PORT, PASSIVE_LEVEL, under PortLock: the name, then the
// port in use closed first, then the named one opened.
static NTSTATUS SetPort(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    if (!StorePortName(Request->Input, Request->InputLength, Request->Settings)) {
        return STATUS_INVALID_PARAMETER;
    }
    ClosePort(Request->Extension);
    return OpenAndStartPort(Request->Extension);
}

// Opening while a port is open replaces it once the new name is found: the
// old reference is dropped and the one read request is never out twice, and
// a name that is not found leaves the running port running.
static NTSTATUS OpenPort(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    if (Request->InputLength != 0 && !DecodePortSettingsData(Request->Input, Request->InputLength, Request->Settings)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return OpenAndStartPort(Request->Extension);
}

// The port requests, PASSIVE_LEVEL: Action under PortLock.
static NTSTATUS PortRequest(CONTROL_REQUEST* Request, NTSTATUS (*Action)(CONTROL_REQUEST*))
{
    PAGED_CODE();
    LockPorts(Request->Extension);
    const NTSTATUS status = Action(Request);
    UnlockPorts(Request->Extension);
    return status;
}

// IOCTL_TOUCH_CLOSE_PORT, PASSIVE_LEVEL, under PortLock.
static NTSTATUS ClosePortRequest(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    ClosePort(Request->Extension);
    return STATUS_SUCCESS;
}

// The setting requests, PASSIVE_LEVEL: a layout decoded when the input holds it.
static NTSTATUS DecodeInput(CONTROL_REQUEST* Request, ULONG Minimum, VOID (*Decode)(const UCHAR*, PTOUCH_SETTINGS))
{
    PAGED_CODE();
    if (Request->InputLength < Minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Decode(Request->Input, Request->Settings);
    return STATUS_SUCCESS;
}

// The one-byte setting requests, PASSIVE_LEVEL.
static NTSTATUS StoreByte(CONTROL_REQUEST* Request, PUCHAR Field)
{
    PAGED_CODE();
    if (Request->InputLength < BYTE_SETTING_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Field = Request->Input[0];
    return STATUS_SUCCESS;
}

// IOCTL_TOUCH_SET_BEEP_ENABLE, PASSIVE_LEVEL.
static NTSTATUS SetBeepEnable(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    if (Request->InputLength < BYTE_SETTING_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SetClickEnabled(Request->Settings, Request->Input[0]);
    return STATUS_SUCCESS;
}

// IOCTL_TOUCH_SET_BEEP_TONE, PASSIVE_LEVEL: stored, then programmed at once.
static NTSTATUS SetBeepTone(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    const NTSTATUS status = DecodeInput(Request, BEEP_TONE_DATA_LENGTH, DecodeBeepToneData);
    if (NT_SUCCESS(status)) {
        ProgramSpeakerTone(Request->Settings);
    }
    return status;
}

// IOCTL_TOUCH_GET_CONTROLLER_INFO, PASSIVE_LEVEL.
static NTSTATUS GetControllerInfo(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    if (Request->OutputLength < CONTROLLER_INFO_REPLY_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Request->Output[0] = Request->Settings->ControllerInfo[0];
    Request->Output[1] = Request->Settings->ControllerInfo[1];
    Request->Output[2] = CONTROLLER_INFO_REPLY_BYTE2;
    Request->Output[3] = CONTROLLER_INFO_REPLY_BYTE3;
    Request->Information = CONTROLLER_INFO_REPLY_LENGTH;
    return STATUS_SUCCESS;
}

// The reply has always been announced as 4 bytes with 3 written; the fourth
// is written as 0 when it fits, and the length never exceeds the output.
static NTSTATUS GetDriverInfo(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    if (Request->OutputLength < DRIVER_INFO_REPLY_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Request->Output[0] = DRIVER_INFO_REPLY_BYTE0;
    Request->Output[1] = DRIVER_INFO_REPLY_BYTE1;
    Request->Output[2] = DRIVER_INFO_REPLY_BYTE2;
    Request->Information = DRIVER_INFO_REPLY_LENGTH;
    if (Request->OutputLength > DRIVER_INFO_REPLY_LENGTH) {
        Request->Output[3] = 0;
        Request->Information = DRIVER_INFO_REPLY_LENGTH + 1;
    }
    return STATUS_SUCCESS;
}

// IOCTL_TOUCH_SET_MULTI_MONITOR, PASSIVE_LEVEL: the rectangle, then the
// mapping switched on.
static NTSTATUS SetMultiMonitor(CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    const NTSTATUS status = DecodeInput(Request, MONITOR_MAP_DATA_LENGTH, DecodeMonitorMapData);
    if (NT_SUCCESS(status)) {
        Request->Settings->MultiMonitor = 1;
    }
    return status;
}

// CarryOutOnRecord, PASSIVE_LEVEL: one function per request.
static NTSTATUS CarryOutControlRequest(ULONG Code, CONTROL_REQUEST* Request)
{
    PAGED_CODE();
    PTOUCH_SETTINGS settings = Request->Settings;
    switch (Code) {
    case IOCTL_TOUCH_SET_PORT: return PortRequest(Request, SetPort);
    case IOCTL_TOUCH_OPEN_PORT: return PortRequest(Request, OpenPort);
    case IOCTL_TOUCH_CLOSE_PORT: return PortRequest(Request, ClosePortRequest);
    case IOCTL_TOUCH_SET_CALIBRATION: return DecodeInput(Request, CALIBRATION_DATA_LENGTH, DecodeCalibrationData);
    case IOCTL_TOUCH_RESET_CALIBRATION: ResetCalibration(settings); return STATUS_SUCCESS;
    case IOCTL_TOUCH_SET_FILTER: return DecodeInput(Request, FILTER_DATA_LENGTH, DecodeFilterData);
    case IOCTL_TOUCH_SET_BEEP_ENABLE: return SetBeepEnable(Request);
    case IOCTL_TOUCH_SET_BEEP_TONE: return SetBeepTone(Request);
    case IOCTL_TOUCH_SET_BUTTON_MODE: return StoreByte(Request, &settings->ButtonMode);
    case IOCTL_TOUCH_GET_CONTROLLER_INFO: return GetControllerInfo(Request);
    case IOCTL_TOUCH_GET_DRIVER_INFO: return GetDriverInfo(Request);
    case IOCTL_TOUCH_SET_RANGE: return DecodeInput(Request, RANGE_DATA_LENGTH, DecodeRangeData);
    case IOCTL_TOUCH_SET_MULTI_MONITOR: return SetMultiMonitor(Request);
    case IOCTL_TOUCH_CLEAR_MULTI_MONITOR: settings->MultiMonitor = 0; return STATUS_SUCCESS;
    case IOCTL_TOUCH_SET_LTRB: return StoreByte(Request, &settings->Ltrb);
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Under the lock of the device the request came to (the control device's
// outlives the touch device), the touch device's record, or NULL once that
// device is removed.
static PDEVICE_EXTENSION TouchRecordOf(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Own)
{
    PAGED_CODE();
    if (!IsControlDevice(DeviceObject, Own)) {
        return Own;
    }
    return (PDEVICE_EXTENSION)InterlockedCompareExchangePointer((PVOID volatile*)&Own->ControlTarget, NULL, NULL);
}

// DispatchDeviceControl, PASSIVE_LEVEL: one control request on the touch
// record; *Information is the reply's length on success.
static NTSTATUS CarryOutOnRecord(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack,
                                 ULONG_PTR* Information)
{
    PAGED_CODE();
    CONTROL_REQUEST request;
    request.Extension = Extension;
    request.Settings = &Extension->TouchSettings;
    request.Input = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    request.Output = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    request.OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Information = 0;
    const NTSTATUS status = CarryOutControlRequest(Stack->Parameters.DeviceIoControl.IoControlCode, &request);
    *Information = NT_SUCCESS(status) ? request.Information : 0;
    return status;
}

// Configuration tool, PASSIVE_LEVEL, on the control device or the FDO.
// Completes every request at once; never passes one down. The requesting
// thread holds a lock that removal waits for, and port requests wait while
// holding it: inside a critical region its process cannot suspend it there.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION own = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    KeEnterCriticalRegion();
    if (AcquireForRequest(&own->ControlLock, Irp, SERMCMN_FILE, __LINE__, &status)) {
        PDEVICE_EXTENSION extension = TouchRecordOf(DeviceObject, own);
        ULONG_PTR information = 0;
        status = extension != NULL ? CarryOutOnRecord(extension, Irp, IoGetCurrentIrpStackLocation(Irp), &information)
                                   : STATUS_DELETE_PENDING;
        CompleteRequest(Irp, status, information);
        IoReleaseRemoveLockEx(&own->ControlLock, Irp, sizeof(IO_REMOVE_LOCK));
    }
    KeLeaveCriticalRegion();
    return status;
}
