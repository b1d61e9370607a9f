#include "touchsim_session.h"

#include "touch_control.h"
#include "touch_records.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
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

// Registry paths compare without case.
std::string Folded(std::string Text)
{
    for (char& c : Text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return Text;
}

// "\Registry\Machine\..." as a .reg file writes it.
std::string RegFileKeyName(const std::string& Path)
{
    static const std::pair<const char*, const char*> roots[] = {{"\\REGISTRY\\MACHINE", "HKEY_LOCAL_MACHINE"},
                                                                {"\\REGISTRY\\USER", "HKEY_USERS"}};
    for (const auto& [canonical, name] : roots) {
        const size_t length = std::strlen(canonical);
        if (Folded(Path.substr(0, length)) == canonical) {
            return "[" + std::string(name) + Path.substr(length) + "]";
        }
    }
    return "[" + Path + "]";
}

// The values the driver reads under its Parameters key.
const char* const ParameterNames[] = {
    "PortName",          "BaudRate",           "Filter",              "MultiMonitor",         "TouchMonitorOx",
    "TouchMonitorOy",    "TouchMonitorWidth",  "TouchMonitorHeight",  "PrimaryMonitorWidth",  "PrimaryMonitorHeight",
    "LTRB",              "ButtonMode",         "Calibration",         "Beep",
};

bool IsParameterName(const std::string& Name)
{
    for (const char* known : ParameterNames) {
        if (Folded(Name) == Folded(known)) {
            return true;
        }
    }
    return false;
}

const char* const SerialCommKey = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

// One warning for each key the file put values under that the driver never
// reads (the system's own values of the service key aside), and one for
// each value under Parameters the driver has no use for.
void WarnAboutIgnoredSettings(const std::string& File, const HkRegFileSummary& Summary,
                              const std::function<void(const std::string&)>& Warn)
{
    const std::string parameters = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]";
    for (const HkRegFileSummary::ValueKey& key : Summary.ValueKeys) {
        const std::string folded = Folded(key.Path);
        if (folded == Folded(TouchsimParametersKey) || folded == Folded(SerialCommKey)) {
            continue;
        }
        const std::string where = File + ": line " + std::to_string(key.Line) + ": ";
        if (folded == Folded(TouchsimServiceKey)) {
            std::string misplaced;
            for (const std::string& name : HkRegValueNames(key.Path)) {
                if (IsParameterName(name)) {
                    misplaced += (misplaced.empty() ? "\"" : ", \"") + name + "\"";
                }
            }
            if (!misplaced.empty()) {
                Warn(where + "the driver does not read its settings from " + RegFileKeyName(key.Path) +
                     ", so " + misplaced + " there " + (misplaced.find(',') == std::string::npos ? "is" : "are") +
                     " ignored; the driver reads its settings from " + parameters);
            }
            continue;
        }
        Warn(where + "the driver does not read " + RegFileKeyName(key.Path) + ", so its values are ignored; " +
             "the driver reads its settings from " + parameters);
    }
    for (const std::string& name : HkRegValueNames(TouchsimParametersKey)) {
        if (!IsParameterName(name)) {
            const std::string shown = name.empty() ? "@ (the default value)" : "\"" + name + "\"";
            Warn(File + ": " + shown + " under " + parameters + " is ignored: the driver reads no value of that name");
        }
    }
}

std::string TypeName(ULONG Type)
{
    static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ"};
    return Type < std::size(names) ? names[Type] : "type " + std::to_string(Type);
}

// Why the driver holds no port name although the file gave one; empty when
// it took the value.
struct PortNameTrouble {
    std::string Text;
    bool TableStopped = false; // the values read after it were not read either
};

PortNameTrouble PortNameProblem(const std::string& File)
{
    const std::optional<HkRegValue> value = HkRegGetValue(TouchsimParametersKey, "PortName");
    if (!value) {
        return {};
    }
    const std::string what = "\"PortName\" in " + File;
    if (value->Data.empty()) {
        return {what + " has no data, and the driver passes such a value over"};
    }
    if (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ) {
        return {what + " is " + TypeName(value->Type) +
                "; the driver takes a port name only as REG_SZ or REG_EXPAND_SZ and left it out"};
    }
    const size_t capacity = sizeof(TOUCH_SETTINGS::PortNameBuffer);
    if (value->Data.size() > capacity) {
        size_t characters = value->Data.size() / 2;
        if (characters > 0 && value->Data[2 * characters - 2] == 0 && value->Data[2 * characters - 1] == 0) {
            characters--;
        }
        return {what + " is " + std::to_string(characters) + " characters long, and the driver's port name holds " +
                    std::to_string(capacity / 2 - 1) +
                    ": it refused the value and stopped reading Parameters there, so it read no \"BaudRate\", "
                    "\"Filter\", \"MultiMonitor\", monitor sizes, \"LTRB\" or \"ButtonMode\" either",
                true};
    }
    return {};
}

} // namespace

std::string TouchsimLineSpeedProblem(unsigned long Speed)
{
    return "touchsim's serial ports run at 1 to " + std::to_string(TouchsimMaxLineSpeed) + " bit/s, not at " +
           std::to_string(Speed) + " (a port refuses a speed it cannot run at)";
}

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
    HkSetPortObserver(nullptr);
}

// Only the speaker's writes are published; the stand-in keeps a short log
// for diagnostics, not the hours of accesses a long session makes.
void TouchsimSession::WatchSpeakerPorts()
{
    HkSetPortLogLimit(256);
    HkSetPortObserver([this](const HkPortAccess& Access) {
        if (Access.Write && IsSpeakerPort(Access.Port)) {
            std::lock_guard<std::mutex> guard(WritesLock_);
            NewWrites_.push_back(Access);
        }
    });
}

int TouchsimSession::Start(const TouchsimSessionOptions& Options, std::string& Error)
{
    HkReset();
    HkSetSystemTimeBase(TouchsimSystemTimeBase);
    WatchSpeakerPorts();
    PortNameTrouble portName;
    if (!Options.RegFile.empty()) {
        HkRegFileSummary summary;
        if (auto failure = HkRegLoadRegFileFromPath(Options.RegFile, &summary)) {
            Error = Options.RegFile + ": " + (failure->Line > 0 ? failure->ToString() : failure->Message);
            return TouchsimBadInput;
        }
        const auto warn = Options.Warn ? Options.Warn : [](const std::string&) {};
        WarnAboutIgnoredSettings(Options.RegFile, summary, warn);
        portName = PortNameProblem(Options.RegFile);
        if (!portName.Text.empty()) {
            warn(portName.Text);
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

    // A port refuses a line speed it cannot run at and keeps its own, which
    // the driver would not notice: the session would run at the wrong speed.
    // (Without a port name the open fails anyway, and says why.)
    const TOUCH_SETTINGS& held = ExtensionOf(Fdo_)->TouchSettings;
    const ULONG heldSpeed = held.BaudRate;
    if (!Options.PortName && held.PortNameBuffer[0] != 0 && !TouchsimLineSpeedValid(heldSpeed)) {
        const std::string source =
            portName.TableStopped ? "it read no \"BaudRate\": see \"PortName\" above"
                                  : "\"BaudRate\"" + (Options.RegFile.empty() ? "" : " in " + Options.RegFile);
        return fail(TouchsimBadInput, "the driver would open its port at " + std::to_string(heldSpeed) + " bit/s (" +
                                          source + "): " + TouchsimLineSpeedProblem(heldSpeed) +
                                          "; give --port and --baud, or fix the registry");
    }
    const std::vector<uint8_t> input =
        Options.PortName ? PortSettingsData(*Options.PortName, Options.Baud) : std::vector<uint8_t>{};
    const HkIoResult opened = TouchsimControl(IOCTL_TOUCH_OPEN_PORT, input, 0);
    if (!NT_SUCCESS(opened.Status)) {
        const TOUCH_SETTINGS& settings = ExtensionOf(Fdo_)->TouchSettings;
        const std::string name = HkNarrow(settings.PortNameBuffer, HkWcsLen(settings.PortNameBuffer));
        const std::string hint =
            !name.empty()            ? ""
            : !portName.Text.empty() ? " (the driver holds no port name: see the warning on \"PortName\"; give --port)"
                                     : " (the driver holds no port name: give --port, or \"PortName\" with --reg)";
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
    {
        std::lock_guard<std::mutex> guard(WritesLock_);
        WritesToPublish_.swap(NewWrites_);
    }
    for (const HkPortAccess& write : WritesToPublish_) {
        TouchsimEvent event{TouchsimEvent::Kind::PortWrite, write.Time};
        event.Port = write.Port;
        event.Value = write.Value;
        Sink_.Event(event);
    }
    WritesToPublish_.clear();
    if (Mouse_ == nullptr) {
        return;
    }
    Mouse_->TakeReports(ReportsToPublish_);
    for (const PeerMouseReport& report : ReportsToPublish_) {
        TouchsimEvent event{TouchsimEvent::Kind::Report, report.Time};
        event.Report = report.Data;
        Sink_.Event(event);
    }
    Counters_.Reports += ReportsToPublish_.size();
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
