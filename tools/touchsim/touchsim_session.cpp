#include "touchsim_session.h"

#include "touch_control.h"
#include "touch_records.h"
#include "pelvonctl_status.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

namespace {

const unsigned PortCount = 4; // COM1..COM4 as \Device\Serial0..3

// The speaker's ports: the interval timer's command and channel 2 count
// registers and the system control port with the gate bits.
bool IsSpeakerPort(uint16_t Port)
{
    return Port == 0x42 || Port == 0x43 || Port == 0x61;
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

// One warning for each key the file put values under that the driver never
// reads (the system's own values of the service key aside), and one for
// each value under Parameters the driver has no use for.
void WarnAboutIgnoredSettings(const std::string& File, const HkRegFileSummary& Summary,
                              const std::function<void(const std::string&)>& Warn)
{
    const std::string parameters = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]";
    for (const HkRegFileSummary::ValueKey& key : Summary.ValueKeys) {
        const std::string folded = Folded(key.Path);
        if (folded == Folded(TouchsimParametersKey) || folded == Folded(PeerSerialCommKey)) {
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

// Loads the settings file into the registry and warns about what in it the
// driver will not take.
bool LoadSettingsFile(PeerDriverRig& Rig, const TouchsimSessionOptions& Options, PortNameTrouble& PortName,
                      std::string& Error)
{
    HkRegFileSummary summary;
    if (auto failure = Rig.LoadRegFile(Options.RegFile, &summary)) {
        Error = Options.RegFile + ": " + (failure->Line > 0 ? failure->ToString() : failure->Message);
        return false;
    }
    const auto warn = Options.Warn ? Options.Warn : [](const std::string&) {};
    WarnAboutIgnoredSettings(Options.RegFile, summary, warn);
    PortName = PortNameProblem(Options.RegFile);
    if (!PortName.Text.empty()) {
        warn(PortName.Text);
    }
    return true;
}

// The driver loaded, added, started and connected to the mouse class, with
// the ports listed before it loads.
int BringUpDriver(PeerDriverRig& Rig, std::string& Error)
{
    PeerRigOptions options;
    options.Ports = PeerComPorts(PortCount);
    const PeerRigResult up = Rig.Open(options);
    const std::string status = TouchsimStatusText(up.Status);
    switch (up.Failed) {
    case PeerRigStep::None: return TouchsimOk;
    case PeerRigStep::Load: Error = "the driver's entry point failed"; break;
    case PeerRigStep::Add: Error = "adding the device failed: " + status; break;
    case PeerRigStep::Start: Error = "starting the device failed: " + status; break;
    default: Error = "the mouse class could not connect: " + status; break;
    }
    return TouchsimSetupFailed;
}

// A port refuses a line speed it cannot run at and keeps its own, which the
// driver would not notice: the session would run at the wrong speed.
// (Without a port name the open fails anyway, and says why.)
int CheckHeldLineSpeed(const TouchsimSessionOptions& Options, const PortNameTrouble& PortName,
                       const TOUCH_SETTINGS& Held, std::string& Error)
{
    const ULONG heldSpeed = Held.BaudRate;
    if (Options.PortName || Held.PortNameBuffer[0] == 0 || TouchsimLineSpeedValid(heldSpeed)) {
        return TouchsimOk;
    }
    const std::string source = PortName.TableStopped
                                   ? "it read no \"BaudRate\": see \"PortName\" above"
                                   : "\"BaudRate\"" + (Options.RegFile.empty() ? "" : " in " + Options.RegFile);
    Error = "the driver would open its port at " + std::to_string(heldSpeed) + " bit/s (" + source +
            "): " + TouchsimLineSpeedProblem(heldSpeed) + "; give --port and --baud, or fix the registry";
    return TouchsimBadInput;
}

// IOCTL_TOUCH_OPEN_PORT with the port the options name, or with none, so
// that the driver opens the one its settings hold.
int OpenDriverPort(const TouchsimSessionOptions& Options, const PortNameTrouble& PortName,
                   const TOUCH_SETTINGS& Settings, std::string& Error)
{
    const std::vector<uint8_t> input =
        Options.PortName ? PeerPortSettingsData(*Options.PortName, Options.Baud) : std::vector<uint8_t>{};
    const HkIoResult opened = TouchsimControl(IOCTL_TOUCH_OPEN_PORT, input, 0);
    if (NT_SUCCESS(opened.Status)) {
        return TouchsimOk;
    }
    const std::string name = HkNarrow(Settings.PortNameBuffer, HkWcsLen(Settings.PortNameBuffer));
    const std::string hint =
        !name.empty()            ? ""
        : !PortName.Text.empty() ? " (the driver holds no port name: see the warning on \"PortName\"; give --port)"
                                 : " (the driver holds no port name: give --port, or \"PortName\" with --reg)";
    Error = "the driver could not open the port '" + name + "' at " + std::to_string(Settings.BaudRate) +
            " baud: " + TouchsimStatusText(opened.Status) + hint;
    return TouchsimBadInput;
}

} // namespace

std::string TouchsimLineSpeedProblem(unsigned long Speed)
{
    return "touchsim's serial ports run at 1 to " + std::to_string(TouchsimMaxLineSpeed) + " bit/s, not at " +
           std::to_string(Speed) + " (a port refuses a speed it cannot run at)";
}

std::string TouchsimStatusText(NTSTATUS Status)
{
    // pelvonctl's table names what the driver answers; these are the
    // statuses only the stand-in's port and Plug and Play paths produce.
    static const std::map<ULONG, const char*> standInOnly = {
        {0x00000103, "STATUS_PENDING"},
        {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
        {0xC0000043, "STATUS_SHARING_VIOLATION"},
        {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    };
    const ULONG value = static_cast<ULONG>(Status);
    const char* name = "status";
    if (const auto known = pelvonctl::FindNtStatus(value)) {
        name = known->NtName;
    } else if (const auto found = standInOnly.find(value); found != standInOnly.end()) {
        name = found->second;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s (0x%08X)", name, static_cast<unsigned>(value));
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
    if (Rig_ != nullptr) {
        Rig_->JoinCompletionThreads();
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
    Rig_ = std::make_unique<PeerDriverRig>();
    HkSetSystemTimeBase(TouchsimSystemTimeBase);
    WatchSpeakerPorts();
    PortNameTrouble portName;
    if (!Options.RegFile.empty() && !LoadSettingsFile(*Rig_, Options, portName, Error)) {
        return TouchsimBadInput;
    }
    std::string message;
    int code = BringUpDriver(*Rig_, message);
    if (code == TouchsimOk && Options.BeforeOpen) {
        code = Options.BeforeOpen(message);
    }
    if (code == TouchsimOk) {
        code = CheckHeldLineSpeed(Options, portName, Rig_->Settings(), message);
    }
    if (code == TouchsimOk) {
        code = OpenDriverPort(Options, portName, Rig_->Settings(), message);
    }
    if (code == TouchsimOk) {
        code = FindOpenedPort(message);
    }
    if (code != TouchsimOk) {
        return Abandon(code, message, Error);
    }
    Publish();
    return TouchsimOk;
}

int TouchsimSession::FindOpenedPort(std::string& Error)
{
    for (auto& port : Rig_->Ports) {
        if (port->IsOpen()) {
            Open_ = port.get();
        }
    }
    if (Open_ == nullptr || Open_->BaudRate() == 0) {
        Error = "the driver reported the port open, but no serial port is in use";
        return TouchsimSetupFailed;
    }
    return TouchsimOk;
}

// Start failed: what the driver did so far is published and it is torn down.
int TouchsimSession::Abandon(int Code, const std::string& Message, std::string& Error)
{
    Publish();
    const std::string problems = TearDown();
    Error = Message + (problems.empty() ? "" : "\n" + problems);
    return Code;
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
    if (Rig_ == nullptr || Rig_->Mouse == nullptr) {
        return;
    }
    Rig_->Mouse->TakeReports(ReportsToPublish_);
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
    const ULONG indexBefore = Rig_->Extension->PacketState.ByteIndex;
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
    for (auto& port : Rig_->Ports) {
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
    for (auto& port : Rig_->Ports) {
        Counters_.FaultsUnused += port->QueuedReadFailures();
    }
    std::string problems;
    const HkIoResult info = TouchsimControl(IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, CONTROLLER_INFO_REPLY_LENGTH);
    if (NT_SUCCESS(info.Status) && info.Output.size() >= 2) {
        Counters_.ControllerInfo[0] = info.Output[0];
        Counters_.ControllerInfo[1] = info.Output[1];
    }
    Counters_.DiscardCount = Rig_->Extension->PacketState.DiscardCount;
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
    if (Rig_ == nullptr) {
        return "";
    }
    std::string problems;
    const PeerRigTeardown ended = Rig_->Close();
    if (ended.Removal != STATUS_SUCCESS) {
        problems += "removing the device failed: " + TouchsimStatusText(ended.Removal) + "\n";
    }
    if (!ended.Unload.empty()) {
        problems += "the driver did not unload cleanly: " + ended.Unload + "\n";
    }
    Publish();
    Rig_.reset();
    Open_ = nullptr;
    return problems;
}
