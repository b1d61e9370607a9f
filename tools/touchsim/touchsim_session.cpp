#include "touchsim_session.h"

#include "touch_control.h"
#include "touch_records.h"

#include <cstdio>
#include <map>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

const unsigned PortCount = 4; // COM1..COM4 as \Device\Serial0..3

// The speaker's ports: the interval timer's command and channel 2 count
// registers and the system control port with the gate bits.
bool IsSpeakerPort(uint16_t Port)
{
    return Port == 0x42 || Port == 0x43 || Port == 0x61;
}

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT Fdo)
{
    return static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
}

std::vector<uint8_t> PortSettingsData(const std::string& Name, ULONG Baud)
{
    std::vector<uint8_t> data;
    data.reserve(Name.size() + 5);
    data.push_back(static_cast<uint8_t>(Name.size()));
    for (char c : Name) {
        data.push_back(static_cast<uint8_t>(c));
    }
    for (int shift = 0; shift < 32; shift += 8) {
        data.push_back(static_cast<uint8_t>(Baud >> shift));
    }
    return data;
}

} // namespace

std::string TouchsimStatusText(NTSTATUS Status)
{
    static const std::map<ULONG, const char*> names = {
        {0x00000000, "STATUS_SUCCESS"},
        {0x00000103, "STATUS_PENDING"},
        {0xC0000001, "STATUS_UNSUCCESSFUL"},
        {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
        {0xC000000D, "STATUS_INVALID_PARAMETER"},
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000022, "STATUS_ACCESS_DENIED"},
        {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC0000043, "STATUS_SHARING_VIOLATION"},
        {0xC0000056, "STATUS_DELETE_PENDING"},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
        {0xC00000BB, "STATUS_NOT_SUPPORTED"},
        {0xC0000120, "STATUS_CANCELLED"},
        {0xC0000225, "STATUS_NOT_FOUND"},
    };
    char text[64];
    auto found = names.find(static_cast<ULONG>(Status));
    std::snprintf(text, sizeof text, "%s (0x%08X)", found != names.end() ? found->second : "status",
                  static_cast<unsigned>(Status));
    return text;
}

HkIoResult TouchsimControl(ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength)
{
    HANDLE handle = nullptr;
    const NTSTATUS opened = HkOpen(TouchsimControlDevice, &handle);
    if (!NT_SUCCESS(opened)) {
        return {opened, 0, {}};
    }
    HkIoResult result = HkDeviceIoControl(handle, Code, Input, OutputLength);
    HkClose(handle);
    return result;
}

TouchsimSession::~TouchsimSession()
{
    // After a verifier stop the stand-in is in no state to tear down; the
    // next reset reclaims what is left.
    for (auto& port : Ports_) {
        port->JoinCompletionThreads();
    }
}

int TouchsimSession::Start(const TouchsimSessionOptions& Options, std::string& Error)
{
    HkReset();
    HkSetSystemTimeBase(TouchsimSystemTimeBase);
    if (!Options.RegFile.empty()) {
        if (auto failure = HkRegLoadRegFileFromPath(Options.RegFile)) {
            Error = Options.RegFile + ": " + (failure->Line > 0 ? failure->ToString() : failure->Message);
            return TouchsimBadInput;
        }
    }
    for (unsigned index = 0; index < PortCount; index++) {
        PeerSerialPortConfig config;
        config.ComName = "COM" + std::to_string(index + 1);
        config.Index = index;
        Ports_.push_back(std::make_unique<PeerSerialPort>(config));
    }

    auto fail = [&](int Code, const std::string& Message) {
        Publish();
        const std::string problems = TearDown();
        Error = Message + (problems.empty() ? "" : "\n" + problems);
        return Code;
    };

    Driver_ = HkLoadDriver(DriverEntry, TouchsimServiceKey);
    if (Driver_ == nullptr) {
        return fail(TouchsimSetupFailed, "the driver's entry point failed");
    }
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    NTSTATUS status = HkAddDevice(Driver_, pdo);
    if (!NT_SUCCESS(status)) {
        return fail(TouchsimSetupFailed, "adding the device failed: " + TouchsimStatusText(status));
    }
    Fdo_ = HkTopOfStack(pdo);
    status = HkSendPnp(Fdo_, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        return fail(TouchsimSetupFailed, "starting the device failed: " + TouchsimStatusText(status));
    }
    Mouse_ = std::make_unique<PeerMouseClass>();
    status = Mouse_->Connect(Fdo_);
    if (!NT_SUCCESS(status)) {
        return fail(TouchsimSetupFailed, "the mouse class could not connect: " + TouchsimStatusText(status));
    }
    if (Options.BeforeOpen) {
        std::string message;
        if (const int code = Options.BeforeOpen(message); code != TouchsimOk) {
            return fail(code, message);
        }
    }

    const std::vector<uint8_t> input =
        Options.PortName ? PortSettingsData(*Options.PortName, Options.Baud) : std::vector<uint8_t>{};
    const HkIoResult opened = TouchsimControl(IOCTL_TOUCH_OPEN_PORT, input, 0);
    if (!NT_SUCCESS(opened.Status)) {
        const TOUCH_SETTINGS& settings = ExtensionOf(Fdo_)->TouchSettings;
        const std::string name = HkNarrow(settings.PortNameBuffer, HkWcsLen(settings.PortNameBuffer));
        const std::string hint =
            name.empty() ? " (the driver holds no port name: give --port, or \"PortName\" with --reg)" : "";
        return fail(TouchsimBadInput, "the driver could not open the port '" + name + "' at " +
                                          std::to_string(settings.BaudRate) +
                                          " baud: " + TouchsimStatusText(opened.Status) + hint);
    }
    for (auto& port : Ports_) {
        if (port->IsOpen()) {
            Open_ = port.get();
        }
    }
    if (Open_ == nullptr || Open_->BaudRate() == 0) {
        return fail(TouchsimSetupFailed, "the driver reported the port open, but no serial port is in use");
    }
    Publish();
    return TouchsimOk;
}

void TouchsimSession::Publish()
{
    // Within one step the speaker ports are written by the pipeline or the
    // timer routine before the report of that step is delivered, so writes
    // go first.
    const std::vector<HkPortAccess> writes = HkPortWrites();
    for (; PortWritesSeen_ < writes.size(); PortWritesSeen_++) {
        const HkPortAccess& write = writes[PortWritesSeen_];
        if (IsSpeakerPort(write.Port)) {
            TouchsimEvent event{TouchsimEvent::Kind::PortWrite, write.Time};
            event.Port = write.Port;
            event.Value = write.Value;
            Sink_.Event(event);
        }
    }
    if (Mouse_ == nullptr) {
        return;
    }
    const std::vector<PeerMouseReport> reports = Mouse_->Reports();
    Mouse_->ClearReports();
    for (const PeerMouseReport& report : reports) {
        TouchsimEvent event{TouchsimEvent::Kind::Report, report.Time};
        event.Report = report.Data;
        Sink_.Event(event);
    }
    Counters_.Reports += reports.size();
}

void TouchsimSession::RunClockTo(int64_t Time)
{
    HkRunClockTo(std::max(Time, HkClock()));
    Publish();
}

void TouchsimSession::DeliverAt(int64_t Time, uint8_t Byte)
{
    RunClockTo(Time);
    const ULONG indexBefore = ExtensionOf(Fdo_)->PacketState.ByteIndex;
    const size_t reportsBefore = Counters_.Reports;
    Open_->Deliver(Byte);
    Publish();
    // A touch data byte at index 4 ends a packet: no report means the
    // checksum did not hold.
    if (indexBefore == 4 && Byte < 0x40 && Counters_.Reports == reportsBefore) {
        Counters_.ChecksumDrops++;
    }
    Counters_.BytesDelivered++;
    Counters_.LastByteTime = HkClock();
}

void TouchsimSession::FailPendingReadAt(int64_t Time, NTSTATUS Status)
{
    RunClockTo(Time);
    Counters_.PortFaults++;
    if (!Open_->FailPendingRead(Status)) {
        Counters_.FaultsUnused++;
    }
    Publish();
}

void TouchsimSession::FailNextReadInSendAt(int64_t Time, NTSTATUS Status)
{
    RunClockTo(Time);
    Counters_.PortFaults++;
    Open_->FailNextReadAtOnce(Status);
}

void TouchsimSession::ControlAt(int64_t Time, const std::string& Command, const std::function<uint32_t()>& Run)
{
    RunClockTo(Time);
    TouchsimEvent event{TouchsimEvent::Kind::Control, 0};
    event.Command = Command;
    event.Status = Run();
    Publish();
    event.Time = HkClock();
    Sink_.Event(event);
    // A port the driver switched to has had its line speed set; a closed one
    // keeps receiving, as a line does with no reader.
    for (auto& port : Ports_) {
        if (port->IsOpen() && port->BaudRate() != 0) {
            Open_ = port.get();
        }
    }
}

void TouchsimSession::RunTimersUntilIdle()
{
    // The speaker timer is one-shot; the bound only guards against a timer
    // routine that keeps re-arming itself.
    for (int fired = 0; fired < 100000; fired++) {
        const std::optional<int64_t> due = HkNextTimerDue();
        if (!due) {
            break;
        }
        RunClockTo(*due);
    }
}

int TouchsimSession::Finish(std::string& Error)
{
    Counters_.EndTime = HkClock();
    for (auto& port : Ports_) {
        Counters_.FaultsUnused += port->QueuedReadFailures();
    }
    std::string problems;
    const HkIoResult info = TouchsimControl(IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, CONTROLLER_INFO_REPLY_LENGTH);
    if (NT_SUCCESS(info.Status) && info.Output.size() >= 2) {
        Counters_.ControllerInfo[0] = info.Output[0];
        Counters_.ControllerInfo[1] = info.Output[1];
    }
    Counters_.DiscardCount = ExtensionOf(Fdo_)->PacketState.DiscardCount;
    const HkIoResult closed = TouchsimControl(IOCTL_TOUCH_CLOSE_PORT, {}, 0);
    if (!NT_SUCCESS(closed.Status)) {
        problems += "closing the port failed: " + TouchsimStatusText(closed.Status) + "\n";
    }
    Publish();
    problems += TearDown();
    const std::string report = HkVerifierReport();
    if (!problems.empty() || !report.empty()) {
        Error = problems + report;
        return TouchsimVerifier;
    }
    return TouchsimOk;
}

std::string TouchsimSession::TearDown()
{
    std::string problems;
    for (auto& port : Ports_) {
        port->JoinCompletionThreads();
    }
    HkWaitAsyncIdle();
    if (Fdo_ != nullptr && HkDeviceLive(Fdo_)) {
        const NTSTATUS status = HkSendRemove(Fdo_);
        if (status != STATUS_SUCCESS) {
            problems += "removing the device failed: " + TouchsimStatusText(status) + "\n";
        }
    }
    if (Driver_ != nullptr) {
        const std::string kept = HkUnloadDriver(Driver_);
        if (!kept.empty()) {
            problems += "the driver did not unload cleanly: " + kept + "\n";
        }
    }
    Publish();
    Mouse_.reset();
    Ports_.clear();
    Open_ = nullptr;
    Fdo_ = nullptr;
    Driver_ = nullptr;
    return problems;
}
