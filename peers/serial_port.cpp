#include "serial_port.h"

#include "verifier.h"

#include <algorithm>
#include <chrono>

namespace {

const char* const SerialServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial";
const char* const SerialCommKey = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

struct PortExtension {
    PeerSerialPort* Port;
};

PeerSerialPort* PortOf(PDEVICE_OBJECT Device)
{
    return static_cast<PortExtension*>(Device->DeviceExtension)->Port;
}

NTSTATUS NTAPI PeerSerialDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PortOf(DeviceObject)->Dispatch(Irp);
}

VOID NTAPI PeerSerialCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortOf(DeviceObject)->CancelRead(Irp);
}

NTSTATUS NTAPI PeerSerialDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
        Driver->MajorFunction[major] = PeerSerialDispatch;
    }
    return STATUS_SUCCESS;
}

// One serial driver serves every port, as on a real machine; it is loaded
// again after each reset of the stand-in.
PDRIVER_OBJECT SerialDriver()
{
    static PDRIVER_OBJECT driver = nullptr;
    static bool resetHooked = false;
    if (!resetHooked) {
        HkRegisterResetHook("peer_serial", [] { driver = nullptr; });
        resetHooked = true;
    }
    if (driver == nullptr) {
        driver = HkLoadDriver(PeerSerialDriverEntry, SerialServicePath);
        HkDeclarePeerDriver(driver);
    }
    return driver;
}

// Stand-in for the serial driver's DPC context: completions of line events
// run at DISPATCH_LEVEL.
void CompleteAtDispatch(PIRP Irp)
{
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    KeLowerIrql(irql);
}

// A completion thread of the peer: a verifier stop raised in the driver's
// completion routine is recorded by the verifier; the thread must not die of it.
void CompleteOnThisThread(PIRP Irp)
{
    try {
        CompleteAtDispatch(Irp);
    } catch (const HkVerifierFailure&) {
    }
}

// Spins rather than sleeps: sleeps are far coarser than the windows raced.
void WaitMicroseconds(unsigned Us)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(Us);
    while (Us != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
}

// IoCancelIrp may set the flag on another thread at any moment.
bool IsCancelled(PIRP Irp)
{
    return __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) != FALSE;
}

bool HasInput(PIO_STACK_LOCATION Stack, size_t Bytes)
{
    return Stack->Parameters.DeviceIoControl.InputBufferLength >= Bytes;
}

bool HasOutput(PIO_STACK_LOCATION Stack, size_t Bytes)
{
    return Stack->Parameters.DeviceIoControl.OutputBufferLength >= Bytes;
}

// The request's input copied into Into, when it holds that much.
template <typename T>
NTSTATUS TakeInput(PIO_STACK_LOCATION Stack, const uint8_t* Buffer, T& Into)
{
    if (!HasInput(Stack, sizeof(T))) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(&Into, Buffer, sizeof(T));
    return STATUS_SUCCESS;
}

// From copied into the request's output, when it has room.
template <typename T>
NTSTATUS GiveOutput(PIO_STACK_LOCATION Stack, uint8_t* Buffer, const T& From, ULONG_PTR& Information)
{
    if (!HasOutput(Stack, sizeof(T))) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(Buffer, &From, sizeof(T));
    Information = sizeof(T);
    return STATUS_SUCCESS;
}

} // namespace

PeerSerialPort::PeerSerialPort(const PeerSerialPortConfig& Config) : Config_(Config), DelayRandom_(Config.DelaySeed)
{
    std::u16string name = HkWide(DeviceName());
    UNICODE_STRING deviceName = HkUnicodeString(name);
    NTSTATUS status = IoCreateDevice(SerialDriver(), sizeof(PortExtension), &deviceName, FILE_DEVICE_SERIAL_PORT, 0,
                                     TRUE, &Device_);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("serial peer: cannot create " + DeviceName());
    }
    static_cast<PortExtension*>(Device_->DeviceExtension)->Port = this;
    Device_->StackSize = Config_.StackSize;
    Device_->Flags |= DO_BUFFERED_IO;
    Device_->Flags &= ~DO_DEVICE_INITIALIZING;
    HkRegSetString(SerialCommKey, DeviceName(), Config_.ComName);
    Baud_.BaudRate = 1200;
    LineControl_.WordLength = 7;
}

PeerSerialPort::~PeerSerialPort()
{
    JoinCompletionThreads();
}

std::string PeerSerialPort::DeviceName() const
{
    return "\\Device\\Serial" + std::to_string(Config_.Index);
}

void PeerSerialPort::JoinCompletionThreads()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(Lock_);
        threads.swap(Threads_);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

unsigned PeerSerialPort::NextDelayLocked()
{
    return Config_.MaxCompletionDelayUs == 0 ? 0 : DelayRandom_() % (Config_.MaxCompletionDelayUs + 1);
}

void PeerSerialPort::CompleteLater(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    std::lock_guard<std::mutex> guard(Lock_);
    Threads_.emplace_back([Irp, Status, Information] {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        Irp->IoStatus.Status = Status;
        Irp->IoStatus.Information = Information;
        CompleteOnThisThread(Irp);
    });
}

NTSTATUS PeerSerialPort::Dispatch(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        std::lock_guard<std::mutex> guard(Lock_);
        Opens_++;
        const NTSTATUS status = Open_ ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
        Open_ = true;
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MJ_CLOSE: {
        std::lock_guard<std::mutex> guard(Lock_);
        Open_ = false;
        [[fallthrough]];
    }
    case IRP_MJ_CLEANUP:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case IRP_MJ_READ:
        return Read(Irp);
    default:
        return ControlRequest(Irp, stack);
    }
}

NTSTATUS PeerSerialPort::ControlRequest(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    const ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
    auto* buffer = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    {
        std::lock_guard<std::mutex> guard(Lock_);
        if (!Open_) {
            HkBugCheck(HkRule::IoManagerViolation, "control request sent to " + DeviceName() + " while it is not open");
        }
        const ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
        std::vector<uint8_t> input;
        if (buffer != nullptr && inputLength != 0) {
            input.assign(buffer, buffer + inputLength);
        }
        RecordLocked({Stack->MajorFunction, code, input, Stack->Parameters.DeviceIoControl.OutputBufferLength});

        auto refusal = Refusals_.find({Stack->MajorFunction, code});
        if (refusal != Refusals_.end()) {
            status = refusal->second;
        } else if (Stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            status = InternalControlLocked(code, Stack, buffer, information);
        } else {
            status = SerialControlLocked(code, Stack, buffer, information);
        }
    }
    return CompleteControl(Irp, status, information);
}

NTSTATUS PeerSerialPort::SerialControlLocked(ULONG Code, PIO_STACK_LOCATION Stack, uint8_t* Buffer,
                                             ULONG_PTR& Information)
{
    switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: return SetBaudRateLocked(Stack, Buffer);
    case IOCTL_SERIAL_SET_LINE_CONTROL: return TakeInput(Stack, Buffer, LineControl_);
    case IOCTL_SERIAL_SET_TIMEOUTS: return TakeInput(Stack, Buffer, Timeouts_);
    case IOCTL_SERIAL_GET_TIMEOUTS: return GiveOutput(Stack, Buffer, Timeouts_, Information);
    case IOCTL_SERIAL_SET_HANDFLOW: return TakeInput(Stack, Buffer, HandFlow_);
    case IOCTL_SERIAL_GET_HANDFLOW: return GiveOutput(Stack, Buffer, HandFlow_, Information);
    case IOCTL_SERIAL_PURGE: return PurgeLocked(Stack, Buffer);
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_SET_FIFO_CONTROL: return HasInput(Stack, sizeof(ULONG)) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    default: return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS PeerSerialPort::SetBaudRateLocked(PIO_STACK_LOCATION Stack, const uint8_t* Buffer)
{
    SERIAL_BAUD_RATE rate{};
    const NTSTATUS status = TakeInput(Stack, Buffer, rate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (rate.BaudRate == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Baud_ = rate;
    return STATUS_SUCCESS;
}

NTSTATUS PeerSerialPort::PurgeLocked(PIO_STACK_LOCATION Stack, const uint8_t* Buffer)
{
    ULONG mask = 0;
    const NTSTATUS status = TakeInput(Stack, Buffer, mask);
    if (NT_SUCCESS(status) && (mask & SERIAL_PURGE_RXCLEAR)) {
        Received_.clear(); // pending reads stay pending
    }
    return status;
}

// The one internal request a port answers: the basic settings, given back
// as they were and replaced by the serial driver's defaults.
NTSTATUS PeerSerialPort::InternalControlLocked(ULONG Code, PIO_STACK_LOCATION Stack, uint8_t* Buffer,
                                               ULONG_PTR& Information)
{
    if (Code != IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS || !Config_.AcceptBasicSettings) {
        return STATUS_INVALID_PARAMETER;
    }
    SERIAL_BASIC_SETTINGS previous{};
    previous.Timeouts = Timeouts_;
    previous.HandFlow = HandFlow_;
    if (!NT_SUCCESS(GiveOutput(Stack, Buffer, previous, Information))) {
        return STATUS_INVALID_PARAMETER;
    }
    Timeouts_ = SERIAL_TIMEOUTS{};
    HandFlow_ = SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    return STATUS_SUCCESS;
}

NTSTATUS PeerSerialPort::CompleteControl(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    if (Config_.PendControlRequests || HkForcePending()) {
        IoMarkIrpPending(Irp);
        CompleteLater(Irp, Status, Information);
        return STATUS_PENDING;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PeerSerialPort::Read(PIRP Irp)
{
    std::optional<uint8_t> byte;
    std::optional<NTSTATUS> failure;
    {
        std::lock_guard<std::mutex> guard(Lock_);
        ProbeReadStackLocked(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
        AcceptReadLocked(Irp);
        failure = ReadFailureLocked(Irp);
        if (!failure) {
            if (Received_.empty() || Config_.CompleteReadsOnOtherThread || HkForcePending()) {
                return PendReadLocked(Irp);
            }
            byte = TakeByteLocked();
        }
    }
    if (failure) {
        Irp->IoStatus.Status = *failure;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return *failure;
    }
    *static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer) = *byte;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 1;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void PeerSerialPort::ProbeReadStackLocked(uintptr_t Frame)
{
    if (FirstReadFrame_ == 0) {
        FirstReadFrame_ = Frame;
    } else if (Frame < FirstReadFrame_) {
        DeepestReadGrowth_ = std::max<size_t>(DeepestReadGrowth_, FirstReadFrame_ - Frame);
    }
}

void PeerSerialPort::AcceptReadLocked(PIRP Irp)
{
    if (!Open_) {
        HkBugCheck(HkRule::IoManagerViolation, "read sent to " + DeviceName() + " while it is not open");
    }
    Reads_++;
    RecordLocked({IRP_MJ_READ, 0, {}, IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length});
    if (PendingRead_ != nullptr) {
        HkBugCheck(HkRule::IoManagerViolation, "a second read sent to " + DeviceName() + " while one is pending");
    }
}

// A cancelled read fails, then the failures queued one read each, then the
// standing one.
std::optional<NTSTATUS> PeerSerialPort::ReadFailureLocked(PIRP Irp)
{
    if (IsCancelled(Irp)) {
        return STATUS_CANCELLED;
    }
    if (!NextReadFailures_.empty()) {
        const NTSTATUS failure = NextReadFailures_.front();
        NextReadFailures_.pop_front();
        return failure;
    }
    return ReadFailure_;
}

uint8_t PeerSerialPort::TakeByteLocked()
{
    const uint8_t byte = Received_.front();
    Received_.pop_front();
    return byte;
}

// The read waits for a byte; one that waits already (completions forced
// onto another thread) goes out from a completion thread at once.
NTSTATUS PeerSerialPort::PendReadLocked(PIRP Irp)
{
    IoMarkIrpPending(Irp);
    PendingRead_ = Irp;
    IoSetCancelRoutine(Irp, PeerSerialCancel);
    if (IsCancelled(Irp) && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        // Cancelled while being queued: it was marked pending.
        PendingRead_ = nullptr;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    // A cancel that took the request meanwhile completes it in its routine.
    if (Received_.empty() || IoSetCancelRoutine(Irp, nullptr) == nullptr) {
        return STATUS_PENDING;
    }
    PendingRead_ = nullptr;
    *static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer) = TakeByteLocked();
    Threads_.emplace_back([Irp, delay = NextDelayLocked()] {
        WaitMicroseconds(delay);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 1;
        CompleteOnThisThread(Irp);
    });
    return STATUS_PENDING;
}

PIRP PeerSerialPort::TakePendingRead()
{
    std::lock_guard<std::mutex> guard(Lock_);
    PIRP irp = PendingRead_;
    if (irp == nullptr) {
        return nullptr;
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return nullptr; // being cancelled: the cancel routine completes it
    }
    PendingRead_ = nullptr;
    return irp;
}

void PeerSerialPort::CompleteRead(PIRP Irp, NTSTATUS Status, std::optional<uint8_t> Byte)
{
    if (Byte) {
        *static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer) = *Byte;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Byte ? 1 : 0;
    if (Config_.CompleteReadsOnOtherThread) {
        std::lock_guard<std::mutex> guard(Lock_);
        Threads_.emplace_back([Irp, delay = NextDelayLocked()] {
            WaitMicroseconds(delay);
            CompleteOnThisThread(Irp);
        });
        return;
    }
    CompleteAtDispatch(Irp);
}

void PeerSerialPort::Deliver(const std::vector<uint8_t>& Bytes)
{
    for (uint8_t byte : Bytes) {
        Deliver(byte);
    }
}

void PeerSerialPort::Deliver(uint8_t Byte)
{
    PIRP irp = TakePendingRead();
    if (irp == nullptr) {
        std::lock_guard<std::mutex> guard(Lock_);
        Received_.push_back(Byte);
        return;
    }
    CompleteRead(irp, STATUS_SUCCESS, Byte);
    if (Config_.CompleteReadsOnOtherThread) {
        JoinCompletionThreads(); // keep bytes in order
    }
}

void PeerSerialPort::DeliverBurst(const std::vector<uint8_t>& Bytes)
{
    PIRP irp = nullptr;
    uint8_t first = 0;
    {
        std::lock_guard<std::mutex> guard(Lock_);
        Received_.insert(Received_.end(), Bytes.begin(), Bytes.end());
        if (PendingRead_ != nullptr && !Received_.empty() && IoSetCancelRoutine(PendingRead_, nullptr) != nullptr) {
            irp = PendingRead_;
            PendingRead_ = nullptr;
            first = Received_.front();
            Received_.pop_front();
        }
    }
    if (irp != nullptr) {
        CompleteRead(irp, STATUS_SUCCESS, first);
    }
    // Reads re-issued from the completions find the rest waiting.
    while (Config_.CompleteReadsOnOtherThread) {
        {
            std::lock_guard<std::mutex> guard(Lock_);
            if (Threads_.empty()) {
                break;
            }
        }
        JoinCompletionThreads();
    }
}

int64_t PeerSerialPort::DeliverOnLine(const std::vector<PeerTimedByte>& Bytes)
{
    int64_t time = HkClock();
    for (const PeerTimedByte& timed : Bytes) {
        const ULONG baud = BaudRate();
        time += timed.Gap + (baud == 0 ? 0 : 100000000 / baud);
        HkRunClockTo(time);
        Deliver(timed.Byte);
    }
    return time;
}

bool PeerSerialPort::CompleteReadEmpty()
{
    PIRP irp = TakePendingRead();
    if (irp == nullptr) {
        return false;
    }
    CompleteRead(irp, STATUS_SUCCESS, std::nullopt);
    return true;
}

bool PeerSerialPort::FailPendingRead(NTSTATUS Status)
{
    PIRP irp = TakePendingRead();
    if (irp == nullptr) {
        return false;
    }
    CompleteRead(irp, Status, std::nullopt);
    return true;
}

void PeerSerialPort::CancelRead(PIRP Irp)
{
    {
        std::lock_guard<std::mutex> guard(Lock_);
        if (PendingRead_ == Irp) {
            PendingRead_ = nullptr;
        }
    }
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

void PeerSerialPort::FailReadsAtOnce(std::optional<NTSTATUS> Status)
{
    std::lock_guard<std::mutex> guard(Lock_);
    ReadFailure_ = Status;
}

void PeerSerialPort::FailNextReadAtOnce(NTSTATUS Status)
{
    std::lock_guard<std::mutex> guard(Lock_);
    NextReadFailures_.push_back(Status);
}

size_t PeerSerialPort::QueuedReadFailures() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return NextReadFailures_.size();
}

void PeerSerialPort::Refuse(UCHAR Major, ULONG Code, NTSTATUS Status)
{
    std::lock_guard<std::mutex> guard(Lock_);
    Refusals_[{Major, Code}] = Status;
}

void PeerSerialPort::RecordLocked(PeerSerialRequest Request)
{
    if (Request.Major == IRP_MJ_READ && !Requests_.empty() && Requests_.back().Request == Request) {
        Requests_.back().Count++;
        return;
    }
    Requests_.push_back({std::move(Request), 1});
}

std::vector<PeerSerialRequest> PeerSerialPort::Requests() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    std::vector<PeerSerialRequest> requests;
    for (const RequestRun& run : Requests_) {
        requests.insert(requests.end(), run.Count, run.Request);
    }
    return requests;
}

std::vector<PeerSerialRequest> PeerSerialPort::ControlRequests() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    std::vector<PeerSerialRequest> control;
    for (const RequestRun& run : Requests_) {
        if (run.Request.Major != IRP_MJ_READ) {
            control.insert(control.end(), run.Count, run.Request);
        }
    }
    return control;
}

size_t PeerSerialPort::RequestHistoryEntries() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Requests_.size();
}

size_t PeerSerialPort::ReadsReceived() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Reads_;
}

bool PeerSerialPort::ReadPending() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return PendingRead_ != nullptr;
}

size_t PeerSerialPort::BufferedBytes() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Received_.size();
}

bool PeerSerialPort::IsOpen() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Open_;
}

size_t PeerSerialPort::OpenCount() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Opens_;
}

ULONG PeerSerialPort::BaudRate() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Baud_.BaudRate;
}

SERIAL_LINE_CONTROL PeerSerialPort::LineControl() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return LineControl_;
}

size_t PeerSerialPort::DeepestReadGrowth() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return DeepestReadGrowth_;
}

void PeerSerialPort::ResetStackProbe()
{
    std::lock_guard<std::mutex> guard(Lock_);
    FirstReadFrame_ = 0;
    DeepestReadGrowth_ = 0;
}
