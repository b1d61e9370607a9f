#include "touchsim_cli.h"

#include "touchsim_ctl.h"
#include "touchsim_input.h"
#include "touchsim_live.h"

#include "pelvonctl_output.h"
#include "verifier.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

std::string TouchsimHelp()
{
    return R"(Usage: touchsim [OPTIONS]

Runs the touch driver on the host kernel stand-in for one session: loads it,
adds and starts the device, connects the mouse class, opens a serial port at
virtual time 0, feeds it the input and prints every report the mouse class
receives and every click. The ports COM1 to COM4 exist as \Device\Serial0
to \Device\Serial3. At the end the port is closed, the device removed, the
driver unloaded and the verifier consulted.

Input (exactly one):
  --bytes FILE         Hex text: tokens separated by white space, '#'
                       starting a comment that runs to the end of the line:
                         HH            a byte, two hex digits
                         +Nms          N milliseconds of silence before the
                                       next byte, fault or command (at most
                                       86400000, a day)
                         !0xSTATUS     the port completes the read pending
                                       now with STATUS (an NTSTATUS, one to
                                       eight hex digits) and no byte, as a
                                       failed read that went pending;
                                       !0x00000000 is a successful read that
                                       delivered no byte. With no read
                                       pending (the driver stopped reading)
                                       nothing happens.
                         !!0xSTATUS    the next read the driver sends fails
                                       inside the send with STATUS; the read
                                       pending now is left alone, so it is
                                       the read after the next byte (or
                                       !0x fault). Several queue up.
                         [ctl COMMAND] runs COMMAND, as --ctl takes it, in
                                       the running session; the ']' must be
                                       on the same line. It must send a
                                       request (no --dry-run or help).
                       Faults and commands take no line time: each happens
                       when the silence before it ends, after the byte
                       before it, in the order written. STATUS_PENDING
                       (0x103) is no fault. A refused command is reported
                       and the session goes on. Bytes after a command go to
                       the port the driver then holds open. A token or
                       [ctl ...] is at most 4096 characters long.
  --raw FILE           Binary file: every byte as it is, back to back.
  --gesture FILE       Gesture script, one command a line, '#' comments:
                         tap X Y [HOLD_MS]          finger down, then lifted
                         drag X0 Y0 X1 Y1 [STEPS]   moved in STEPS packets
                         hold X Y MS                down without lifting
                         release                    finger lifted
                         wait MS                    silence
                         every MS                   packet interval (10)
                         bytes HH HH ...            bytes as they are; also
                                                    !0xSTATUS, !!0xSTATUS and
                                                    [ctl COMMAND] as in --bytes
                       X and Y are controller positions, 0 to 4095. A packet
                       is 5 bytes; while the finger is down one is sent
                       every interval.
  --serial DEVICE      A real serial line (e.g. /dev/ttyS0 or a pseudo-
                       terminal), set to raw mode at the line speed the driver
                       chooses and reported live until SIGINT (Ctrl-C) or
                       SIGTERM. The virtual clock follows real time.
  --serial-timeout MS  With --serial: also end the session after MS
                       milliseconds without a byte.

  Input files are checked whole before the session starts (nothing runs if
  they are bad) and read again as it runs, so each must be a regular file:
  a directory, pipe or device is refused (a serial port goes to --serial).
  --raw takes at most 100000000 bytes, --bytes and --gesture files at most
  1 GiB, --reg files at most 64 MiB. One session's input sends at most
  100000000 bytes, and its silences (waits, holds, gaps, a gesture's packet
  intervals) add up to at most 24 hours; the line time of the bytes comes on
  top. A script that would pass either is refused, naming the line, before
  anything is expanded. A UTF-8 byte-order mark is skipped. An input that
  sends no byte is run, with a warning.

Driver set-up:
  --reg FILE           REGEDIT4 file loaded into the registry first. The
                       driver's settings are the values under
                       [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\pelvon\Parameters]
                       ("PortName", "BaudRate", "Calibration", "Beep", "LTRB",
                       "MultiMonitor", ...). Without --reg that key does not
                       exist and the driver runs on its built-in defaults.
                       Values under any other key (another control set, a
                       misspelt service name, the service key itself), value
                       names the driver does not read, and a "PortName" it
                       cannot take (too long, or not REG_SZ) are named in a
                       warning on standard error, once each.
  --port NAME          Open the port NAME (e.g. COM2) ...
  --baud N             ... at N bit/s; both go together. Without them the port
                       is opened with an empty request, so the registry's
                       "PortName" and "BaudRate" are used. Line speeds run
                       from 1 to 921600 bit/s (the fastest common PC serial
                       hardware); a serial port refuses others, so touchsim
                       refuses them here, in "BaudRate" and in open-port
                       commands.
  --ctl "COMMAND"      A configuration-tool command, as pelvonctl takes it
                       (e.g. --ctl "click on"), sent to \\.\pelvon once the
                       device is up and before the port is opened. May be
                       repeated; the commands run in order.

Output:
  --format FORMAT      text (default): a table with one line per report (time
                       in ms, X, Y, button transitions such as "left down",
                       "left up" or "-") and one per click start or stop.
                       jsonl: one JSON object per line in order of virtual
                       time t (100-ns units since the port was opened):
                         {"t":T,"report":{"flags":F,"buttons":B,"raw":R,"x":X,"y":Y}}
                       for each report (Flags, ButtonFlags, RawButtons, LastX,
                       LastY), {"t":T,"out":{"port":P,"value":V}} for each
                       write to the speaker ports 0x42, 0x43 and 0x61, and
                         {"t":T,"ctl":{"command":C,"status":S}}
                       for each [ctl ...] of the input, once its requests
                       are done and after what the driver did meanwhile (C
                       as written, S the NTSTATUS its last request completed
                       with, as a decimal number: 3221226021 is
                       STATUS_NOT_FOUND). The text format shows it as a
                       line ctl COMMAND: STATUS_NAME (0x...) followed by
                       what the command printed.
                       csv: the reports only, header t,flags,buttons,raw,x,y;
                       a command's line goes to standard error.
  --svg FILE           Draw the session: the screen (0..65535 both ways), the
                       pointer path while touched, touch-down and release
                       marks, coloured by button state, with a legend. A
                       long session is thinned to at most 4096 touches and
                       65536 path points (every other touch or point dropped
                       in turn), which the picture notes.
  --stats              After the session: reports per second, packets dropped
                       (touch packets framed to their last byte whose checksum
                       failed, so nothing was reported), bytes the parser
                       discarded as out of place, port faults (and how many
                       found no read to fail), clicks, and the controller
                       information. Printed to standard output with the text
                       format, to standard error with the others.
  --help               This text.

Timing: byte k completes its read at t(k) = t(k-1) + gap(k) + byte time, with
t(-1) = 0 and byte time = 100000000 / line speed in 100-ns units (ten bits a
byte), the line speed being the one the driver set on the port; a fault or
command k happens at t(k) = t(k-1) + gap(k). The speaker timer fires at its
due time when that is not later than the next byte; after the last byte the
clock runs on until no timer is pending. The system time is 2000-01-01 00:00
plus t.

Exit codes:
  0  done (warnings, if any, on standard error)
  1  the driver could not be brought up, or the serial line failed
  2  bad options or input, checked before anything runs (the file, line and
     reason are named); a failed --ctl command; the port could not be
     opened (the status is printed; a refused [ctl ...] in the input is no
     failure)
  3  the verifier found something (its report is printed)
  4  standard output, standard error or the --svg file could not be written
     (a full disk, a closed output); a session whose output fails stops
     early
  Where several apply, 3 wins over 4, and 4 over the others.
)";
}

namespace {

bool ParseNumber(const std::string& Text, unsigned long Maximum, unsigned long& Value)
{
    const auto result = std::from_chars(Text.data(), Text.data() + Text.size(), Value, 10);
    return !Text.empty() && result.ec == std::errc() && result.ptr == Text.data() + Text.size() && Value <= Maximum;
}

bool SetInput(TouchsimOptions& Options, TouchsimOptions::Source Kind, const std::string& Path, std::string& Error)
{
    if (Options.InputKind != TouchsimOptions::Source::None) {
        Error = "give only one of --bytes, --raw, --gesture and --serial";
        return false;
    }
    Options.InputKind = Kind;
    Options.InputPath = Path;
    return true;
}

// One argument of the command line read as an option: its name, and its
// value written after '=' or taken from the next argument.
class OptionReader {
public:
    OptionReader(const std::vector<std::string>& Args, size_t& Index)
        : Args_(Args), Index_(Index), Argument_(Args[Index])
    {
        Name = Argument_;
        if (const size_t equals = Name.find('='); Name.rfind("--", 0) == 0 && equals != std::string::npos) {
            Inline_ = Name.substr(equals + 1);
            Name = Name.substr(0, equals);
        }
    }

    bool Value(std::string& Into, std::string& Error)
    {
        if (Inline_) {
            Into = *Inline_;
            return true;
        }
        if (Index_ + 1 >= Args_.size()) {
            Error = Name + " needs a value";
            return false;
        }
        Into = Args_[++Index_];
        return true;
    }

    // The argument as written, value and all.
    const std::string& Argument() const { return Argument_; }

    std::string Name;

private:
    const std::vector<std::string>& Args_;
    size_t& Index_;
    std::string Argument_;
    std::optional<std::string> Inline_;
};

bool SetSerialTimeout(const std::string& Text, TouchsimOptions& Options, std::string& Error)
{
    unsigned long ms = 0;
    if (!ParseNumber(Text, 86'400'000, ms)) {
        Error = "--serial-timeout takes milliseconds, not '" + Text + "'";
        return false;
    }
    Options.SerialIdleMs = static_cast<long>(ms);
    return true;
}

bool SetPort(const std::string& Text, TouchsimOptions& Options, std::string& Error)
{
    if (Text.size() > 255) {
        Error = "--port: a port name has at most 255 characters";
        return false;
    }
    Options.PortName = Text;
    return true;
}

bool SetBaud(const std::string& Text, TouchsimOptions& Options, std::string& Error)
{
    unsigned long baud = 0;
    if (!ParseNumber(Text, 0xFFFFFFFFul, baud)) {
        Error = "--baud takes a line speed in bit/s, not '" + Text + "'";
        return false;
    }
    if (!TouchsimLineSpeedValid(baud)) {
        Error = "--baud " + Text + ": " + TouchsimLineSpeedProblem(baud);
        return false;
    }
    Options.Baud = baud;
    return true;
}

bool SetFormat(const std::string& Text, TouchsimOptions& Options, std::string& Error)
{
    static const std::pair<const char*, TouchsimFormat> formats[] = {
        {"text", TouchsimFormat::Text}, {"jsonl", TouchsimFormat::Jsonl}, {"csv", TouchsimFormat::Csv}};
    for (const auto& [name, format] : formats) {
        if (Text == name) {
            Options.Format = format;
            return true;
        }
    }
    Error = "--format is text, jsonl or csv, not '" + Text + "'";
    return false;
}

bool AddControlCommand(const std::string& Text, TouchsimOptions& Options, std::string&)
{
    Options.ControlCommands.push_back(Text);
    return true;
}

std::optional<TouchsimOptions::Source> InputOption(const std::string& Name)
{
    using Source = TouchsimOptions::Source;
    static const std::pair<const char*, Source> inputs[] = {
        {"--bytes", Source::Bytes}, {"--raw", Source::Raw}, {"--gesture", Source::Gesture}, {"--serial", Source::Serial}};
    for (const auto& [name, kind] : inputs) {
        if (Name == name) {
            return kind;
        }
    }
    return std::nullopt;
}

// The options that take a value, with what checks and stores it.
using ValueSetter = bool (*)(const std::string& Text, TouchsimOptions& Options, std::string& Error);
const std::pair<const char*, ValueSetter> ValueOptions[] = {
    {"--serial-timeout", SetSerialTimeout}, {"--port", SetPort},   {"--baud", SetBaud},
    {"--ctl", AddControlCommand},           {"--format", SetFormat},
};

bool ApplyOption(OptionReader& Option, TouchsimOptions& Options, std::string& Error)
{
    const std::string& name = Option.Name;
    std::string text;
    if (name == "--help" || name == "-h") {
        Options.Help = true;
        return true;
    }
    if (name == "--stats") {
        Options.Stats = true;
        return true;
    }
    if (name == "--reg" || name == "--svg") {
        return Option.Value(name == "--reg" ? Options.RegFile : Options.SvgPath, Error);
    }
    if (const std::optional<TouchsimOptions::Source> input = InputOption(name)) {
        return Option.Value(text, Error) && SetInput(Options, *input, text, Error);
    }
    for (const auto& [known, set] : ValueOptions) {
        if (name == known) {
            return Option.Value(text, Error) && set(text, Options, Error);
        }
    }
    if (name.empty() || name[0] != '-') {
        Error = "unexpected argument '" + Option.Argument() +
                "': every file follows its option (--bytes, --raw, --gesture, --serial, --reg or --svg)";
        return false;
    }
    Error = "unknown option '" + Option.Argument() + "'";
    return false;
}

// What no single option can check: an input, and the options that go together.
bool CheckOptionsTogether(const TouchsimOptions& Options, std::string& Error)
{
    if (Options.InputKind == TouchsimOptions::Source::None) {
        Error = "no input: give one of --bytes, --raw, --gesture and --serial";
        return false;
    }
    if (Options.PortName.has_value() != Options.Baud.has_value()) {
        Error = "--port and --baud go together";
        return false;
    }
    if (Options.SerialIdleMs && Options.InputKind != TouchsimOptions::Source::Serial) {
        Error = "--serial-timeout goes with --serial";
        return false;
    }
    return true;
}

} // namespace

bool ParseTouchsimOptions(const std::vector<std::string>& Args, TouchsimOptions& Options, std::string& Error)
{
    for (size_t i = 0; i < Args.size(); i++) {
        OptionReader option(Args, i);
        if (!ApplyOption(option, Options, Error)) {
            return false;
        }
    }
    return Options.Help || CheckOptionsTogether(Options, Error);
}

void TouchsimReplay::Event(const PeerLineEvent& Event)
{
    using Kind = PeerLineEvent::Kind;
    Time_ += Event.Gap;
    switch (Event.Type) {
    case Kind::Byte:
        // Byte k completes at t(k) = t(k-1) + gap(k) + byte time; a command
        // may have moved the driver to another port or speed.
        Time_ += 100'000'000 / static_cast<int64_t>(Session_.LineSpeed());
        Session_.DeliverAt(Time_, Event.Byte);
        break;
    case Kind::FailPendingRead:
        Session_.FailPendingReadAt(Time_, static_cast<NTSTATUS>(Event.Status));
        break;
    case Kind::FailReadInSend:
        Session_.FailNextReadInSendAt(Time_, static_cast<NTSTATUS>(Event.Status));
        break;
    case Kind::Command: {
        // Faults and commands take no line time.
        std::ostringstream printed;
        Session_.ControlAt(Time_, Event.Command, [&] { return RunLineCommand(Event.Command, printed, printed); });
        Notes_ << printed.str();
        Time_ = std::max(Time_, HkClock());
        break;
    }
    }
}

void TouchsimReplay::End(int64_t TrailingSilence)
{
    if (TrailingSilence > 0) {
        Session_.RunClockTo(Time_ + TrailingSilence);
    }
    Session_.RunTimersUntilIdle();
}

void FeedInput(TouchsimSession& Session, const TouchsimInput& Input, std::ostream& Notes)
{
    TouchsimReplay replay(Session, Notes);
    for (const PeerLineEvent& event : Input.Events) {
        replay.Event(event);
    }
    replay.End(Input.TrailingSilence);
}

namespace {

TouchsimInputKind InputKindOf(TouchsimOptions::Source Source)
{
    switch (Source) {
    case TouchsimOptions::Source::Raw: return TouchsimInputKind::Raw;
    case TouchsimOptions::Source::Gesture: return TouchsimInputKind::Gesture;
    default: return TouchsimInputKind::Bytes;
    }
}

// The first pass over the input: every token, command and limit, before
// anything runs. Returns what the input sends.
bool CheckInput(const TouchsimOptions& Options, TouchsimInputTotals& Totals, std::string& Error)
{
    const TouchsimInputKind kind = InputKindOf(Options.InputKind);
    const uint64_t maximum = kind == TouchsimInputKind::Raw ? TouchsimMaxRawFileBytes : TouchsimMaxTextFileBytes;
    if (!CheckInputFile(Options.InputPath, maximum, Error)) {
        return false;
    }
    const PeerLineEventSink check = [](PeerLineEvent& Event, std::string& Reason) {
        return CheckLineCommand(Event, Reason);
    };
    return StreamInputFile(kind, Options.InputPath, check, Totals, Error);
}

// The picture is written at the end: a path that cannot be created is
// refused before a long session runs for nothing.
bool CheckPicturePath(const std::string& Path, std::string& Error)
{
    std::error_code failure;
    if (std::filesystem::is_directory(Path, failure)) {
        Error = "--svg " + Path + ": cannot write: " + std::strerror(EISDIR);
        return false;
    }
    const std::filesystem::path parent = std::filesystem::path(Path).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, failure)) {
        Error = "--svg " + Path + ": cannot create: " +
                std::strerror(std::filesystem::exists(parent, failure) ? ENOTDIR : ENOENT);
        return false;
    }
    return true;
}

bool WritePicture(const std::string& Path, const std::string& Svg, std::string& Error)
{
    errno = 0;
    std::ofstream file(Path, std::ios::binary | std::ios::trunc);
    if (!file) {
        Error = "cannot create " + Path + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    file << Svg;
    file.close();
    if (!file) {
        Error = "cannot write " + Path + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

// The second pass: the input replayed as it is read. Stops early when the
// output cannot be written any more.
bool ReplayInput(const TouchsimOptions& Options, TouchsimSession& Session, const TouchsimOutput& Output,
                 std::ostream& Notes, std::string& Error)
{
    TouchsimReplay replay(Session, Notes);
    const PeerLineEventSink play = [&](PeerLineEvent& Event, std::string&) {
        replay.Event(Event);
        return !Output.Failed();
    };
    TouchsimInputTotals totals;
    if (!StreamInputFile(InputKindOf(Options.InputKind), Options.InputPath, play, totals, Error)) {
        if (!Error.empty()) {
            Error += " (the file changed after it was checked)";
            return false;
        }
        return true;
    }
    replay.End(totals.TrailingSilence);
    return true;
}

// The input, replayed or live from the line, into a started session.
// Returns TouchsimOk or the exit code, with Error set.
int FeedSession(const TouchsimOptions& Options, TouchsimSession& Session, TouchsimSerialLine& Line,
                const TouchsimOutput& Output, std::ostream& Notes, std::ostream& Out, std::string& Error)
{
    if (Options.InputKind != TouchsimOptions::Source::Serial) {
        return ReplayInput(Options, Session, Output, Notes, Error) ? TouchsimOk : TouchsimBadInput;
    }
    if (!Line.Configure(Session.LineSpeed(), Error)) {
        return TouchsimSetupFailed;
    }
    return RunLiveSession(Session, Line, Options.SerialIdleMs, Out, Error);
}

int RunSession(const TouchsimOptions& Options, TouchsimSerialLine& Line, std::ostream& Out, std::ostream& Err)
{
    std::ostream& side = Options.Format == TouchsimFormat::Text ? Out : Err;
    TouchsimOutput output(Options.Format, Out, &side);
    if (!Options.SvgPath.empty()) {
        output.KeepPicture();
    }
    TouchsimSession session(output);
    TouchsimSessionOptions sessionOptions;
    sessionOptions.RegFile = Options.RegFile;
    sessionOptions.PortName = Options.PortName;
    sessionOptions.Baud = static_cast<ULONG>(Options.Baud.value_or(0));
    sessionOptions.Warn = [&Err](const std::string& Warning) { Err << "touchsim: warning: " << Warning << "\n"; };
    if (!Options.ControlCommands.empty()) {
        sessionOptions.BeforeOpen = [&](std::string& Error) {
            return RunControlCommands(Options.ControlCommands, side, Err, Error);
        };
    }

    std::string error;
    if (const int code = session.Start(sessionOptions, error); code != TouchsimOk) {
        Err << "touchsim: " << error << "\n";
        return code;
    }
    if (const int code = FeedSession(Options, session, Line, output, side, Out, error); code != TouchsimOk) {
        std::string ignored;
        session.Finish(ignored);
        Err << "touchsim: " << error << "\n";
        return code;
    }
    if (Options.InputKind == TouchsimOptions::Source::Serial && session.Counters().BytesDelivered == 0 &&
        !output.Failed()) {
        Err << "touchsim: warning: no byte arrived on " << Options.InputPath << "\n";
    }
    const std::string portName = session.Port().Config().ComName;
    const ULONG lineSpeed = session.LineSpeed();
    const int finished = session.Finish(error);
    output.Begin();

    if (Options.Stats) {
        WriteStatistics({portName, lineSpeed, session.Counters(), output.ClickCount()}, side);
    }
    std::string pictureError;
    const bool pictureWritten = Options.SvgPath.empty() || WritePicture(Options.SvgPath, output.Svg(), pictureError);
    if (finished != TouchsimOk) {
        Err << "touchsim: the session did not end cleanly:\n" << error;
        if (!error.empty() && error.back() != '\n') {
            Err << "\n";
        }
    }
    if (!pictureWritten) {
        Err << "touchsim: " << pictureError << "\n";
        return finished == TouchsimVerifier ? TouchsimVerifier : TouchsimOutputFailed;
    }
    return finished;
}

int RunChecked(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err)
{
    TouchsimOptions options;
    std::string error;
    if (!ParseTouchsimOptions(Args, options, error)) {
        Err << "touchsim: " << error << "\nRun 'touchsim --help' for the options.\n";
        return TouchsimBadInput;
    }
    if (options.Help) {
        Out << TouchsimHelp();
        return TouchsimOk;
    }
    if (!CheckControlCommands(options.ControlCommands, error) ||
        (!options.RegFile.empty() && !CheckInputFile(options.RegFile, TouchsimMaxRegFileBytes, error)) ||
        (!options.SvgPath.empty() && !CheckPicturePath(options.SvgPath, error))) {
        Err << "touchsim: " << error << "\n";
        return TouchsimBadInput;
    }
    TouchsimSerialLine line;
    if (options.InputKind == TouchsimOptions::Source::Serial) {
        if (!line.Open(options.InputPath, error)) {
            Err << "touchsim: " << error << "\n";
            return TouchsimBadInput;
        }
    } else {
        TouchsimInputTotals totals;
        if (!CheckInput(options, totals, error)) {
            Err << "touchsim: " << error << "\n";
            return TouchsimBadInput;
        }
        if (totals.Bytes == 0) {
            Err << "touchsim: warning: " << options.InputPath
                << " sends no byte to the port: the driver has nothing to report\n";
        }
    }
    try {
        return RunSession(options, line, Out, Err);
    } catch (const HkVerifierFailure&) {
        Err << "touchsim: the verifier stopped the session:\n" << HkVerifierReport() << "\n";
        return TouchsimVerifier;
    } catch (const std::exception& failure) {
        Err << "touchsim: the session failed: " << failure.what() << "\n";
        return TouchsimSetupFailed;
    }
}

} // namespace

int RunTouchsim(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err)
{
    int code = RunChecked(Args, Out, Err);
    // Nothing may be lost without a word: what could not be written is
    // reported (where standard error still works) and the exit code says so,
    // unless the verifier's finding is there to report.
    std::string reason;
    if (!FlushOutput(Out, reason)) {
        Err << "touchsim: cannot write the standard output: " << reason << "\n";
        code = code == TouchsimVerifier ? code : TouchsimOutputFailed;
    }
    if (!FlushOutput(Err, reason)) {
        code = code == TouchsimVerifier ? code : TouchsimOutputFailed;
    }
    return code;
}
