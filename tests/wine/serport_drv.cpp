// The test serial port of the Wine session: four port devices, COM1..COM4 in
// HARDWARE\DEVICEMAP\SERIALCOMM as touchsim has them, that answer every
// request the touch driver sends while configuring a port (each recorded
// with its buffers), and complete its one-byte reads from a byte script
// played in real time.
//
// The script (named by "ScriptFile" under this service's Parameters) is the
// runner's rendering of touchsim's hex text: bytes, silences, !STATUS and
// !!STATUS faults, [ctl ...] commands. It plays as a line with a receive
// buffer does: a byte that finds a read pending completes it (from this
// driver's playback thread); a byte that finds
// none waits in the buffer, and the next read takes it inside its send.
// A !STATUS fault completes the pending read with STATUS after it went
// pending; a !!STATUS fault fails, inside its send, the first read sent
// after the one pending when it came (several queue up). At a command the
// playback stops until the runner has run it and says to go on.
//
// Parameters: ScriptFile (REG_SZ, an NT path), AcceptBasicSettings (REG_DWORD,
// default 1: 0 refuses IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS as a port
// without it does, so the driver falls back to its own sequence).
#include <ntddk.h>
#include <ntddser.h>

#include "session_protocol.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
static DRIVER_DISPATCH DispatchPort;
static DRIVER_UNLOAD DriverUnload;
static KSTART_ROUTINE PlaybackThread;
static DRIVER_CANCEL CancelRead;

#define TEST_POOL_TAG 0x72535650u // "PVSr"
#define LOG_CAPACITY 512
#define RECEIVE_CAPACITY 8192
#define IN_SEND_FAULT_CAPACITY 256
// How long a fault that finds no read pending waits for the pump to send
// one: a pump between two reads sends the next at once, a stopped one never.
#define FAULT_GRACE_100NS (200000)
// After the last event: the speaker timer (100 ms) must have had its turn.
#define SETTLE_100NS (3000000)

struct RECEIVED_ITEM {
    UCHAR IsFault;
    UCHAR Byte;
    NTSTATUS Status;
};

struct IN_SEND_FAULT {
    ULONG Threshold; // applies to a read sent once Taken reaches it
    NTSTATUS Status;
};

struct PORT_EXTENSION {
    SESSION_PORT_IDENTITY Identity; // first: the stand-ins read it
    KSPIN_LOCK Lock;
    BOOLEAN Open;
    PIRP PendingRead;
    ULONG BaudRate;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_HANDFLOW HandFlow;
    RECEIVED_ITEM* Received; // ring
    ULONG ReceivedHead;
    ULONG ReceivedCount;
    ULONG Delivered; // items (bytes and pending-read faults) that reached the port
    ULONG Taken;     // items taken by reads or purged
    IN_SEND_FAULT InSendFaults[IN_SEND_FAULT_CAPACITY];
    ULONG InSendFaultCount;
};

struct SESSION_STATE {
    PDEVICE_OBJECT Ports[SESSION_PORT_COUNT];
    PDEVICE_OBJECT Control;
    KSPIN_LOCK Lock;
    // the log
    SESSION_SERIAL_LOG_HEADER Counters;
    SESSION_SERIAL_REQUEST* Log;
    // the playback
    SESSION_EVENT* Script;
    ULONG ScriptCount;
    PORT_EXTENSION* Target; // the port bytes go to: the one opened last
    PIRP StopWaiter;        // the runner's pending IOCTL_SESSION_NEXT_STOP
    SESSION_STOP PendingStop;
    BOOLEAN StopReady;
    KEVENT Resume;
    BOOLEAN Playing;
    PVOID Thread;
    UNICODE_STRING ScriptFile;
    ULONG AcceptBasicSettings;
};

static SESSION_STATE Session;

// ---------------------------------------------------------------- helpers

static PORT_EXTENSION* PortOf(PDEVICE_OBJECT Device)
{
    return Device == Session.Control ? NULL : (PORT_EXTENSION*)Device->DeviceExtension;
}

static VOID CopyPrefix(UCHAR* To, const VOID* From, ULONG Length)
{
    if (From == NULL) {
        return;
    }
    RtlCopyMemory(To, From, Length < SESSION_BUFFER_BYTES ? Length : SESSION_BUFFER_BYTES);
}

// Any IRQL up to DISPATCH_LEVEL.
static VOID LogRequest(PORT_EXTENSION* Port, PIO_STACK_LOCATION Stack, PIRP Irp, const VOID* Input, ULONG InputLength,
                       const VOID* Output, ULONG OutputLength)
{
    KIRQL irql;
    KeAcquireSpinLock(&Session.Lock, &irql);
    if (Session.Counters.Count >= LOG_CAPACITY) {
        Session.Counters.Dropped++;
    } else {
        SESSION_SERIAL_REQUEST* entry = &Session.Log[Session.Counters.Count++];
        RtlZeroMemory(entry, sizeof(*entry));
        entry->Major = Stack->MajorFunction;
        entry->Code = (Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                       Stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                          ? Stack->Parameters.DeviceIoControl.IoControlCode
                          : 0;
        entry->Port = Port->Identity.Index;
        entry->Status = (ULONG)Irp->IoStatus.Status;
        entry->InputLength = InputLength;
        entry->OutputLength = OutputLength;
        entry->Information = (ULONG)Irp->IoStatus.Information;
        CopyPrefix(entry->Input, Input, InputLength);
        if (NT_SUCCESS(Irp->IoStatus.Status)) {
            CopyPrefix(entry->Output, Output, (ULONG)Irp->IoStatus.Information);
        }
    }
    KeReleaseSpinLock(&Session.Lock, irql);
}

static VOID Count(unsigned int* Counter)
{
    InterlockedIncrement((LONG*)Counter);
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// ---------------------------------------------------------------- the receive buffer

// Under the port's lock.
static VOID PushReceived(PORT_EXTENSION* Port, RECEIVED_ITEM Item)
{
    if (Port->ReceivedCount == RECEIVE_CAPACITY) {
        Port->ReceivedHead = (Port->ReceivedHead + 1) % RECEIVE_CAPACITY; // overrun: the oldest is lost
        Port->ReceivedCount--;
        Port->Taken++;
    }
    Port->Received[(Port->ReceivedHead + Port->ReceivedCount) % RECEIVE_CAPACITY] = Item;
    Port->ReceivedCount++;
}

// Under the port's lock.
static RECEIVED_ITEM PopReceived(PORT_EXTENSION* Port)
{
    const RECEIVED_ITEM item = Port->Received[Port->ReceivedHead];
    Port->ReceivedHead = (Port->ReceivedHead + 1) % RECEIVE_CAPACITY;
    Port->ReceivedCount--;
    Port->Taken++;
    return item;
}

// ---------------------------------------------------------------- reads

// I/O manager, DISPATCH_LEVEL, cancel spin lock held.
static VOID NTAPI CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PORT_EXTENSION* port = PortOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    if (port->PendingRead == Irp) {
        port->PendingRead = NULL;
    }
    KeReleaseSpinLock(&port->Lock, irql);
    Count(&Session.Counters.ReadsCancelled);
    Complete(Irp, STATUS_CANCELLED, 0);
}

// Under the port's lock: the pending read, unless a cancel has taken it.
static PIRP TakePendingRead(PORT_EXTENSION* Port)
{
    PIRP irp = Port->PendingRead;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL;
    }
    Port->PendingRead = NULL;
    return irp;
}

static VOID FillRead(PIRP Irp, const RECEIVED_ITEM& Item)
{
    if (!Item.IsFault) {
        *(PUCHAR)Irp->AssociatedIrp.SystemBuffer = Item.Byte;
    }
    Irp->IoStatus.Status = Item.IsFault ? Item.Status : STATUS_SUCCESS;
    Irp->IoStatus.Information = Item.IsFault ? 0 : 1;
}

static NTSTATUS Read(PORT_EXTENSION* Port, PIRP Irp)
{
    Count(&Session.Counters.Reads);
    KIRQL irql;
    KeAcquireSpinLock(&Port->Lock, &irql);
    if (Port->InSendFaultCount != 0 && Port->Taken >= Port->InSendFaults[0].Threshold) {
        const NTSTATUS status = Port->InSendFaults[0].Status;
        Port->InSendFaultCount--;
        RtlMoveMemory(&Port->InSendFaults[0], &Port->InSendFaults[1], Port->InSendFaultCount * sizeof(IN_SEND_FAULT));
        KeReleaseSpinLock(&Port->Lock, irql);
        Count(&Session.Counters.ReadsFailedInSend);
        return Complete(Irp, status, 0);
    }
    if (Port->ReceivedCount != 0) {
        const RECEIVED_ITEM item = PopReceived(Port);
        KeReleaseSpinLock(&Port->Lock, irql);
        FillRead(Irp, item);
        if (item.IsFault) {
            // It failed after going pending, as a fault on the line does.
            Count(&Session.Counters.ReadsFailedPending);
            IoMarkIrpPending(Irp);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        }
        Count(&Session.Counters.ReadsCompletedInSend);
        const NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(Irp);
    Port->PendingRead = Irp;
    IoSetCancelRoutine(Irp, CancelRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Port->PendingRead = NULL;
        KeReleaseSpinLock(&Port->Lock, irql);
        Count(&Session.Counters.ReadsCancelled);
        Complete(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&Port->Lock, irql);
    Count(&Session.Counters.ReadsPended);
    return STATUS_PENDING;
}

// Playback thread: completes a pended read; returns once it is completed,
// so the line's order holds. (Not from a DPC: Wine 8's KeInsertQueueDpc is a
// stub, and its KeSetTimer deadlocks when re-setting a timer whose routine
// is still finishing, so a timer DPC cannot be re-used byte after byte.)
static VOID CompletePendedRead(PIRP Irp)
{
    Count(&Session.Counters.CompletedFromThread);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// ---------------------------------------------------------------- the playback

static VOID WaitUntil(LONGLONG Due)
{
    const LONGLONG now = Now();
    if (Due > now) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(Due - now);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    const LONGLONG late = (Now() - Due) / 10;
    if (late > (LONGLONG)Session.Counters.LateMicroseconds && late < 0x7FFFFFFF) {
        Session.Counters.LateMicroseconds = (ULONG)late;
    }
}

// Waits a little for the pump to send a read: TRUE when one is pending.
static BOOLEAN ReadPendingSoon(PORT_EXTENSION* Port)
{
    const LONGLONG until = Now() + FAULT_GRACE_100NS;
    for (;;) {
        if (Port->PendingRead != NULL) {
            return TRUE;
        }
        if (Now() >= until) {
            return FALSE;
        }
        LARGE_INTEGER step;
        step.QuadPart = -5000;
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
}

static VOID DeliverItem(PORT_EXTENSION* Port, RECEIVED_ITEM Item)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->Lock, &irql);
    Port->Delivered++;
    PIRP irp = Port->ReceivedCount == 0 ? TakePendingRead(Port) : NULL;
    if (irp == NULL) {
        PushReceived(Port, Item);
        KeReleaseSpinLock(&Port->Lock, irql);
        return;
    }
    Port->Taken++;
    KeReleaseSpinLock(&Port->Lock, irql);
    if (Item.IsFault) {
        Count(&Session.Counters.ReadsFailedPending);
    }
    FillRead(irp, Item);
    CompletePendedRead(irp);
}

static VOID PlayByte(UCHAR Byte)
{
    RECEIVED_ITEM item = {FALSE, Byte, STATUS_SUCCESS};
    Count(&Session.Counters.BytesDelivered);
    DeliverItem(Session.Target, item);
}

// With bytes still waiting the pump is behind, not stopped: the fault waits
// its turn behind them. Otherwise it needs a read pending.
static VOID PlayPendingReadFault(NTSTATUS Status)
{
    PORT_EXTENSION* port = Session.Target;
    RECEIVED_ITEM item = {TRUE, 0, Status};
    if (port->ReceivedCount == 0 && !ReadPendingSoon(port)) {
        Count(&Session.Counters.FaultsUnused);
        return;
    }
    DeliverItem(port, item);
}

// The read pending now (or about to be sent by a pump between two reads) is
// left alone: the fault takes the read after the next item. A pump that has
// stopped sends no read now, and its next read takes the fault.
static VOID PlayInSendFault(NTSTATUS Status)
{
    PORT_EXTENSION* port = Session.Target;
    const BOOLEAN running = port->ReceivedCount != 0 || ReadPendingSoon(port);
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    if (port->InSendFaultCount < IN_SEND_FAULT_CAPACITY) {
        IN_SEND_FAULT* fault = &port->InSendFaults[port->InSendFaultCount++];
        fault->Threshold = port->Delivered + (running ? 1 : 0);
        fault->Status = Status;
    }
    KeReleaseSpinLock(&port->Lock, irql);
}

// Playback thread: hands the stop to the runner's waiting request, or keeps
// it for the next one.
static VOID AnnounceStop(ULONG Kind, ULONG Command)
{
    KIRQL irql;
    KeAcquireSpinLock(&Session.Lock, &irql);
    PIRP waiter = Session.StopWaiter;
    if (waiter != NULL && IoSetCancelRoutine(waiter, NULL) == NULL) {
        waiter = NULL;
    }
    Session.StopWaiter = NULL;
    Session.PendingStop.Kind = Kind;
    Session.PendingStop.Command = Command;
    Session.StopReady = waiter == NULL;
    KeReleaseSpinLock(&Session.Lock, irql);
    if (waiter != NULL) {
        RtlCopyMemory(waiter->AssociatedIrp.SystemBuffer, &Session.PendingStop, sizeof(SESSION_STOP));
        Complete(waiter, STATUS_SUCCESS, sizeof(SESSION_STOP));
    }
}

static ULONG ByteTime100ns(PORT_EXTENSION* Port)
{
    const ULONG baud = Port->BaudRate != 0 ? Port->BaudRate : 9600;
    return 100000000u / baud;
}

// System thread, PASSIVE_LEVEL: the script in real time from the moment of
// IOCTL_SESSION_PLAY; byte k ends at t(k-1) + gap(k) + the byte's time at the
// line speed the driver set, as in touchsim; a command holds the clock.
static VOID NTAPI PlaybackThread(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    LONGLONG due = Now();
    for (ULONG i = 0; i < Session.ScriptCount; i++) {
        const SESSION_EVENT* event = &Session.Script[i];
        due += (LONGLONG)(((ULONGLONG)event->GapHigh << 32) | event->GapLow);
        switch (event->Kind) {
        case SESSION_EVENT_BYTE:
            due += ByteTime100ns(Session.Target);
            WaitUntil(due);
            PlayByte((UCHAR)event->Value);
            break;
        case SESSION_EVENT_FAIL_PENDING_READ:
            WaitUntil(due);
            PlayPendingReadFault((NTSTATUS)event->Value);
            break;
        case SESSION_EVENT_FAIL_READ_IN_SEND:
            WaitUntil(due);
            PlayInSendFault((NTSTATUS)event->Value);
            break;
        case SESSION_EVENT_COMMAND:
            WaitUntil(due);
            KeClearEvent(&Session.Resume);
            AnnounceStop(SESSION_STOP_COMMAND, event->Value);
            KeWaitForSingleObject(&Session.Resume, Executive, KernelMode, FALSE, NULL);
            due = Now() > due ? Now() : due;
            break;
        default:
            WaitUntil(due);
            break;
        }
    }
    WaitUntil(due + SETTLE_100NS);
    for (ULONG i = 0; i < SESSION_PORT_COUNT; i++) {
        PORT_EXTENSION* port = PortOf(Session.Ports[i]);
        Session.Counters.BytesLeftUnread += port->ReceivedCount;
        for (ULONG k = 0; k < port->InSendFaultCount; k++) {
            Count(&Session.Counters.FaultsUnused);
        }
    }
    AnnounceStop(SESSION_STOP_END, 0);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------------------- the script file

static NTSTATUS LoadScript()
{
    if (Session.ScriptFile.Buffer == NULL) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &Session.ScriptFile, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE file = NULL;
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                   NULL, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SESSION_SCRIPT_HEADER header;
    status = ZwReadFile(file, NULL, NULL, NULL, &io, &header, sizeof(header), NULL, NULL);
    if (NT_SUCCESS(status) && (io.Information != sizeof(header) || header.Magic != SESSION_SCRIPT_MAGIC ||
                               header.Count > 0x100000)) {
        status = STATUS_INVALID_IMAGE_FORMAT;
    }
    if (NT_SUCCESS(status)) {
        const ULONG bytes = header.Count * sizeof(SESSION_EVENT);
        Session.Script = (SESSION_EVENT*)ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(SESSION_EVENT),
                                                               TEST_POOL_TAG);
        status = Session.Script == NULL ? STATUS_INSUFFICIENT_RESOURCES
                                        : ZwReadFile(file, NULL, NULL, NULL, &io, Session.Script, bytes, NULL, NULL);
        if (NT_SUCCESS(status) && io.Information != bytes) {
            status = STATUS_END_OF_FILE;
        }
        if (bytes == 0 && status == STATUS_END_OF_FILE) {
            status = STATUS_SUCCESS;
        }
        Session.ScriptCount = header.Count;
    }
    ZwClose(file);
    return status;
}

// ---------------------------------------------------------------- the runner's requests

static VOID NTAPI CancelStopWaiter(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&Session.Lock, &irql);
    if (Session.StopWaiter == Irp) {
        Session.StopWaiter = NULL;
    }
    KeReleaseSpinLock(&Session.Lock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

static NTSTATUS Play()
{
    if (Session.Playing) {
        return STATUS_DEVICE_BUSY;
    }
    if (Session.Target == NULL) {
        return STATUS_PORT_DISCONNECTED; // the touch driver has opened no port
    }
    NTSTATUS status = LoadScript();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HANDLE thread = NULL;
    Session.Playing = TRUE;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, PlaybackThread, NULL);
    if (!NT_SUCCESS(status)) {
        Session.Playing = FALSE;
        return status;
    }
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &Session.Thread, NULL);
    ZwClose(thread);
    return STATUS_SUCCESS;
}

static NTSTATUS NextStop(PIRP Irp, ULONG OutputLength)
{
    if (OutputLength < sizeof(SESSION_STOP)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    KIRQL irql;
    KeAcquireSpinLock(&Session.Lock, &irql);
    if (Session.StopReady) {
        Session.StopReady = FALSE;
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Session.PendingStop, sizeof(SESSION_STOP));
        KeReleaseSpinLock(&Session.Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, sizeof(SESSION_STOP));
    }
    if (Session.StopWaiter != NULL) {
        KeReleaseSpinLock(&Session.Lock, irql);
        return Complete(Irp, STATUS_DEVICE_BUSY, 0);
    }
    IoMarkIrpPending(Irp);
    Session.StopWaiter = Irp;
    IoSetCancelRoutine(Irp, CancelStopWaiter);
    KeReleaseSpinLock(&Session.Lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS CopyLog(PIRP Irp, ULONG OutputLength)
{
    KIRQL irql;
    KeAcquireSpinLock(&Session.Lock, &irql);
    const ULONG count = Session.Counters.Count;
    const ULONG bytes = sizeof(SESSION_SERIAL_LOG_HEADER) + count * sizeof(SESSION_SERIAL_REQUEST);
    NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
    ULONG_PTR information = 0;
    if (OutputLength >= bytes) {
        PUCHAR out = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
        RtlCopyMemory(out, &Session.Counters, sizeof(SESSION_SERIAL_LOG_HEADER));
        RtlCopyMemory(out + sizeof(SESSION_SERIAL_LOG_HEADER), Session.Log, count * sizeof(SESSION_SERIAL_REQUEST));
        status = STATUS_SUCCESS;
        information = bytes;
    }
    KeReleaseSpinLock(&Session.Lock, irql);
    return Complete(Irp, status, information);
}

static NTSTATUS DispatchControlDevice(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return Complete(Irp, STATUS_SUCCESS, 0); // create, cleanup, close
    }
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SESSION_PLAY: return Complete(Irp, Play(), 0);
    case IOCTL_SESSION_NEXT_STOP: return NextStop(Irp, outputLength);
    case IOCTL_SESSION_RESUME: KeSetEvent(&Session.Resume, IO_NO_INCREMENT, FALSE); return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_SESSION_SERIAL_LOG: return CopyLog(Irp, outputLength);
    default: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// ---------------------------------------------------------------- the port's requests

static BOOLEAN HasInput(PIO_STACK_LOCATION Stack, ULONG Length)
{
    return Stack->Parameters.DeviceIoControl.InputBufferLength >= Length;
}

static BOOLEAN HasOutput(PIO_STACK_LOCATION Stack, ULONG Length)
{
    return Stack->Parameters.DeviceIoControl.OutputBufferLength >= Length;
}

// Answers as the host build's serial port does, so the two logs compare.
static NTSTATUS AnswerControl(PORT_EXTENSION* Port, PIO_STACK_LOCATION Stack, PVOID Buffer, PVOID Reply,
                              ULONG_PTR* Information)
{
    const ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
    if (Stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        if (code != IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS || Session.AcceptBasicSettings == 0 ||
            !HasOutput(Stack, sizeof(SERIAL_BASIC_SETTINGS)) || Reply == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        SERIAL_BASIC_SETTINGS previous;
        RtlZeroMemory(&previous, sizeof(previous));
        previous.Timeouts = Port->Timeouts;
        previous.HandFlow = Port->HandFlow;
        RtlCopyMemory(Reply, &previous, sizeof(previous));
        *Information = sizeof(previous);
        RtlZeroMemory(&Port->Timeouts, sizeof(Port->Timeouts));
        Port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
        Port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
        Port->HandFlow.XonLimit = 0;
        Port->HandFlow.XoffLimit = 0;
        return STATUS_SUCCESS;
    }
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        if (!HasInput(Stack, sizeof(SERIAL_BAUD_RATE))) return STATUS_BUFFER_TOO_SMALL;
        const ULONG rate = ((PSERIAL_BAUD_RATE)Buffer)->BaudRate;
        if (rate == 0) return STATUS_INVALID_PARAMETER;
        Port->BaudRate = rate;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return HasInput(Stack, sizeof(SERIAL_LINE_CONTROL)) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (!HasInput(Stack, sizeof(SERIAL_TIMEOUTS))) return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(&Port->Timeouts, Buffer, sizeof(SERIAL_TIMEOUTS));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        if (!HasOutput(Stack, sizeof(SERIAL_TIMEOUTS)) || Reply == NULL) return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(Reply, &Port->Timeouts, sizeof(SERIAL_TIMEOUTS));
        *Information = sizeof(SERIAL_TIMEOUTS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_HANDFLOW:
        if (!HasInput(Stack, sizeof(SERIAL_HANDFLOW))) return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(&Port->HandFlow, Buffer, sizeof(SERIAL_HANDFLOW));
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_HANDFLOW:
        if (!HasOutput(Stack, sizeof(SERIAL_HANDFLOW)) || Reply == NULL) return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(Reply, &Port->HandFlow, sizeof(SERIAL_HANDFLOW));
        *Information = sizeof(SERIAL_HANDFLOW);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE: {
        if (!HasInput(Stack, sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        if ((*(PULONG)Buffer & SERIAL_PURGE_RXCLEAR) != 0) {
            KIRQL irql;
            KeAcquireSpinLock(&Port->Lock, &irql);
            Port->Taken += Port->ReceivedCount; // pending reads stay pending
            Session.Counters.BytesLeftUnread += Port->ReceivedCount;
            Port->ReceivedCount = 0;
            KeReleaseSpinLock(&Port->Lock, irql);
        }
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return HasInput(Stack, sizeof(ULONG)) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Where a buffered reply goes. The platform's IoBuildDeviceIoControlRequest
// gives the request a system buffer as large as the larger of input and
// output, and copies the reply to the caller's output buffer at completion;
// Wine 8's makes the caller's input buffer the system buffer (NULL when
// there is no input) and copies nothing back. A request with output only,
// as the touch driver sends them, then has no system buffer: the reply goes
// straight to the caller's buffer, which is where the platform would have
// copied it.
static PVOID ReplyBuffer(PIRP Irp)
{
    return Irp->AssociatedIrp.SystemBuffer != NULL ? Irp->AssociatedIrp.SystemBuffer : Irp->UserBuffer;
}

static NTSTATUS ControlRequest(PORT_EXTENSION* Port, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    // The input is kept before the answer writes the shared buffer.
    UCHAR input[SESSION_BUFFER_BYTES];
    const ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    RtlZeroMemory(input, sizeof(input));
    CopyPrefix(input, Irp->AssociatedIrp.SystemBuffer, inputLength);
    ULONG_PTR information = 0;
    PVOID reply = ReplyBuffer(Irp);
    if (Irp->AssociatedIrp.SystemBuffer == NULL && reply != NULL) {
        Count(&Session.Counters.RepliesToCallerBuffer);
    }
    const NTSTATUS status = AnswerControl(Port, Stack, Irp->AssociatedIrp.SystemBuffer, reply, &information);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    LogRequest(Port, Stack, Irp, input, inputLength, reply, Stack->Parameters.DeviceIoControl.OutputBufferLength);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// A serial port opens once at a time.
static NTSTATUS CreateCleanupClose(PORT_EXTENSION* Port, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&Port->Lock, &irql);
    PIRP orphan = NULL;
    if (Stack->MajorFunction == IRP_MJ_CREATE) {
        if (Port->Open) {
            status = STATUS_ACCESS_DENIED;
        } else {
            Port->Open = TRUE;
            Session.Target = Port;
        }
    } else if (Stack->MajorFunction == IRP_MJ_CLEANUP) {
        orphan = TakePendingRead(Port); // a read the opener left out: the port ends it
    } else {
        Port->Open = FALSE;
    }
    KeReleaseSpinLock(&Port->Lock, irql);
    if (orphan != NULL) {
        Count(&Session.Counters.ReadsAtCleanup);
        Complete(orphan, STATUS_CANCELLED, 0);
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    LogRequest(Port, Stack, Irp, NULL, 0, NULL, 0);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// I/O manager, PASSIVE_LEVEL (reads up to DISPATCH_LEVEL).
static NTSTATUS NTAPI DispatchPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PORT_EXTENSION* port = PortOf(DeviceObject);
    if (port == NULL) {
        return DispatchControlDevice(Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: return CreateCleanupClose(port, Irp, stack);
    case IRP_MJ_READ: return Read(port, Irp);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return ControlRequest(port, Irp, stack);
    default: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// ---------------------------------------------------------------- set-up

static NTSTATUS ReadParameters(PUNICODE_STRING RegistryPath)
{
    static const WCHAR suffix[] = L"\\Parameters";
    const ULONG pathBytes = RegistryPath->Length + sizeof(suffix);
    PWSTR path = (PWSTR)ExAllocatePoolWithTag(PagedPool, pathBytes, TEST_POOL_TAG);
    if (path == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(path, pathBytes);
    RtlCopyMemory(path, RegistryPath->Buffer, RegistryPath->Length);
    RtlCopyMemory((PUCHAR)path + RegistryPath->Length, suffix, sizeof(suffix));

    ULONG accept = 1;
    const ULONG defaultAccept = 1;
    RtlZeroMemory(&Session.ScriptFile, sizeof(Session.ScriptFile));
    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = (PWSTR)L"AcceptBasicSettings";
    table[0].EntryContext = &accept;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = (PVOID)&defaultAccept;
    table[0].DefaultLength = sizeof(ULONG);
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = (PWSTR)L"ScriptFile";
    table[1].EntryContext = &Session.ScriptFile; // Buffer NULL: the query allocates it
    table[1].DefaultType = REG_NONE;
    const NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, NULL,
                                                   NULL);
    Session.AcceptBasicSettings = accept;
    ExFreePool(path);
    return status;
}

static VOID AppendNumber(PWCHAR Text, ULONG Number)
{
    ULONG length = 0;
    while (Text[length] != 0) {
        length++;
    }
    Text[length] = (WCHAR)(L'0' + Number);
    Text[length + 1] = 0;
}

// SERIALCOMM: the test ports take over COM1..COM4 from whatever the prefix
// listed under those names.
static VOID PublishPorts()
{
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_VOLATILE, NULL))) {
        return;
    }
    UCHAR buffer[512];
    for (ULONG index = 0;;) {
        ULONG length = 0;
        PKEY_VALUE_FULL_INFORMATION value = (PKEY_VALUE_FULL_INFORMATION)buffer;
        if (!NT_SUCCESS(ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer, sizeof(buffer) - 2,
                                            &length))) {
            break;
        }
        buffer[length] = 0;
        buffer[length + 1] = 0;
        const WCHAR* data = (const WCHAR*)(buffer + value->DataOffset);
        const BOOLEAN ours = value->Type == REG_SZ && (data[0] == L'C' || data[0] == L'c') && data[3] >= L'1' &&
                             data[3] <= L'0' + SESSION_PORT_COUNT && (data[4] == 0);
        if (ours) {
            UNICODE_STRING name;
            name.Buffer = value->Name;
            name.Length = (USHORT)value->NameLength;
            name.MaximumLength = name.Length;
            ZwDeleteValueKey(key, &name);
            index = 0;
        } else {
            index++;
        }
    }
    for (ULONG i = 0; i < SESSION_PORT_COUNT; i++) {
        PORT_EXTENSION* port = PortOf(Session.Ports[i]);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, (PCWSTR)port->Identity.Name);
        WCHAR com[5] = L"COM";
        AppendNumber(com, i + 1);
        ZwSetValueKey(key, &name, 0, REG_SZ, com, sizeof(com));
    }
    ZwClose(key);
}

static NTSTATUS CreatePort(PDRIVER_OBJECT DriverObject, ULONG Index)
{
    WCHAR text[SESSION_PORT_NAME_CHARACTERS] = L"\\Device\\PelvonTestSerial";
    AppendNumber(text, Index);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PORT_EXTENSION* port = (PORT_EXTENSION*)device->DeviceExtension;
    RtlZeroMemory(port, sizeof(*port));
    port->Identity.Magic = SESSION_PORT_MAGIC;
    port->Identity.Index = Index;
    RtlCopyMemory(port->Identity.Name, text, sizeof(text));
    KeInitializeSpinLock(&port->Lock);
    port->Received = (RECEIVED_ITEM*)ExAllocatePoolWithTag(NonPagedPool, RECEIVE_CAPACITY * sizeof(RECEIVED_ITEM),
                                                           TEST_POOL_TAG);
    if (port->Received == NULL) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Session.Ports[Index] = device;
    return STATUS_SUCCESS;
}

static NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, L"\\Device\\PelvonTestSerial");
    RtlInitUnicodeString(&link, L"\\DosDevices\\PelvonTestSerial");
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Session.Control);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&link, &name);
        Session.Control->Flags |= DO_BUFFERED_IO;
        Session.Control->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

// I/O manager, PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    RtlZeroMemory(&Session, sizeof(Session));
    KeInitializeSpinLock(&Session.Lock);
    KeInitializeEvent(&Session.Resume, NotificationEvent, FALSE);
    Session.Log = (SESSION_SERIAL_REQUEST*)ExAllocatePoolWithTag(NonPagedPool,
                                                                 LOG_CAPACITY * sizeof(SESSION_SERIAL_REQUEST),
                                                                 TEST_POOL_TAG);
    if (Session.Log == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ReadParameters(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = DispatchPort;
    }
    DriverObject->DriverUnload = DriverUnload;
    NTSTATUS status = CreateControlDevice(DriverObject);
    for (ULONG i = 0; NT_SUCCESS(status) && i < SESSION_PORT_COUNT; i++) {
        status = CreatePort(DriverObject, i);
    }
    if (!NT_SUCCESS(status)) {
        DriverUnload(DriverObject);
        return status;
    }
    PublishPorts();
    return STATUS_SUCCESS;
}

// I/O manager, PASSIVE_LEVEL.
static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (Session.Thread != NULL) {
        KeSetEvent(&Session.Resume, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(Session.Thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(Session.Thread);
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\PelvonTestSerial");
    IoDeleteSymbolicLink(&link);
    for (ULONG i = 0; i < SESSION_PORT_COUNT; i++) {
        if (Session.Ports[i] != NULL) {
            ExFreePool(PortOf(Session.Ports[i])->Received);
            IoDeleteDevice(Session.Ports[i]);
        }
    }
    if (Session.Control != NULL) {
        IoDeleteDevice(Session.Control);
    }
    if (Session.Script != NULL) {
        ExFreePool(Session.Script);
    }
    if (Session.ScriptFile.Buffer != NULL) {
        RtlFreeUnicodeString(&Session.ScriptFile);
    }
    ExFreePool(Session.Log);
}
