#include "touchsim_cli.h"

#include "touchsim_ctl.h"
#include "touchsim_input.h"
#include "touchsim_live.h"

#include "verifier.h"

#include <algorithm>
#include <charconv>
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
                                       next byte, fault or command
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
                       the port the driver then holds open.
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
                       X and Y are controller positions, 0 to 4095.
  --serial DEVICE      A real serial line (e.g. /dev/ttyS0 or a pseudo-
                       terminal), set to raw mode at the line speed the driver
                       chooses and reported live until SIGINT (Ctrl-C) or
                       SIGTERM. The virtual clock follows real time.
  --serial-timeout MS  With --serial: also end the session after MS
                       milliseconds without a byte.

Driver set-up:
  --reg FILE           REGEDIT4 file loaded into the registry first. The
                       driver's settings are the values under
                       [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\pelvon\Parameters]
                       ("PortName", "BaudRate", "Calibration", "Beep", "LTRB",
                       "MultiMonitor", ...). Without --reg that key does not
                       exist and the driver runs on its built-in defaults.
  --port NAME          Open the port NAME (e.g. COM2) ...
  --baud N             ... at N bit/s; both go together. Without them the port
                       is opened with an empty request, so the registry's
                       "PortName" and "BaudRate" are used.
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
                       marks, coloured by button state, with a legend.
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

Exit codes: 0 done; 1 the driver could not be brought up or the serial line
failed; 2 bad options or input (nothing is run), a failed --ctl command, or
the port could not be opened (the status is printed; a refused [ctl ...] in
the input is no failure); 3 the verifier found something (its report is
printed).
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

} // namespace

bool ParseTouchsimOptions(const std::vector<std::string>& Args, TouchsimOptions& Options, std::string& Error)
{
    using Source = TouchsimOptions::Source;
    for (size_t i = 0; i < Args.size(); i++) {
        std::string name = Args[i];
        std::optional<std::string> inlineValue;
        if (const size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        auto value = [&](std::string& Into) {
            if (inlineValue) {
                Into = *inlineValue;
                return true;
            }
            if (i + 1 >= Args.size()) {
                Error = name + " needs a value";
                return false;
            }
            Into = Args[++i];
            return true;
        };
        std::string text;
        if (name == "--help" || name == "-h") {
            Options.Help = true;
        } else if (name == "--stats") {
            Options.Stats = true;
        } else if (name == "--bytes" || name == "--raw" || name == "--gesture" || name == "--serial") {
            const Source kind = name == "--bytes" ? Source::Bytes
                                : name == "--raw" ? Source::Raw
                                : name == "--gesture" ? Source::Gesture
                                                      : Source::Serial;
            if (!value(text) || !SetInput(Options, kind, text, Error)) {
                return false;
            }
        } else if (name == "--serial-timeout") {
            unsigned long ms = 0;
            if (!value(text)) return false;
            if (!ParseNumber(text, 86'400'000, ms)) {
                Error = "--serial-timeout takes milliseconds, not '" + text + "'";
                return false;
            }
            Options.SerialIdleMs = static_cast<long>(ms);
        } else if (name == "--reg") {
            if (!value(Options.RegFile)) return false;
        } else if (name == "--port") {
            if (!value(text)) return false;
            if (text.size() > 255) {
                Error = "--port: a port name has at most 255 characters";
                return false;
            }
            Options.PortName = text;
        } else if (name == "--baud") {
            unsigned long baud = 0;
            if (!value(text)) return false;
            if (!ParseNumber(text, 0xFFFFFFFFul, baud)) {
                Error = "--baud takes a line speed in bit/s, not '" + text + "'";
                return false;
            }
            Options.Baud = baud;
        } else if (name == "--ctl") {
            if (!value(text)) return false;
            Options.ControlCommands.push_back(text);
        } else if (name == "--format") {
            if (!value(text)) return false;
            if (text == "text") {
                Options.Format = TouchsimFormat::Text;
            } else if (text == "jsonl") {
                Options.Format = TouchsimFormat::Jsonl;
            } else if (text == "csv") {
                Options.Format = TouchsimFormat::Csv;
            } else {
                Error = "--format is text, jsonl or csv, not '" + text + "'";
                return false;
            }
        } else if (name == "--svg") {
            if (!value(Options.SvgPath)) return false;
        } else {
            Error = "unknown option '" + Args[i] + "'";
            return false;
        }
    }
    if (Options.Help) {
        return true;
    }
    if (Options.InputKind == Source::None) {
        Error = "no input: give one of --bytes, --raw, --gesture and --serial";
        return false;
    }
    if (Options.PortName.has_value() != Options.Baud.has_value()) {
        Error = "--port and --baud go together";
        return false;
    }
    if (Options.SerialIdleMs && Options.InputKind != Source::Serial) {
        Error = "--serial-timeout goes with --serial";
        return false;
    }
    return true;
}

namespace {

std::optional<TouchsimInput> LoadInput(const TouchsimOptions& Options, std::string& Error)
{
    using Source = TouchsimOptions::Source;
    const std::optional<std::string> data = ReadWholeFile(Options.InputPath, Error);
    if (!data) {
        return std::nullopt;
    }
    std::optional<TouchsimInput> input;
    if (Options.InputKind == Source::Raw) {
        input = RawInput(*data);
    } else if (Options.InputKind == Source::Bytes) {
        input = ParseHexText(*data, Error);
    } else {
        input = ParseGestureScript(*data, Error);
    }
    if (input && !CheckLineCommands(input->Events, Error)) {
        input.reset();
    }
    if (!input) {
        Error = Options.InputPath + ": " + Error;
    }
    return input;
}

int RunSession(const TouchsimOptions& Options, const std::optional<TouchsimInput>& Input,
               TouchsimSerialLine& Line, std::ostream& Out, std::ostream& Err)
{
    std::ostream& side = Options.Format == TouchsimFormat::Text ? Out : Err;
    TouchsimOutput output(Options.Format, Out, &side);
    TouchsimSession session(output);
    TouchsimSessionOptions sessionOptions;
    sessionOptions.RegFile = Options.RegFile;
    sessionOptions.PortName = Options.PortName;
    sessionOptions.Baud = static_cast<ULONG>(Options.Baud.value_or(0));
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
    if (Input) {
        FeedInput(session, *Input, side);
    } else {
        if (!Line.Configure(session.LineSpeed(), error)) {
            std::string ignored;
            session.Finish(ignored);
            Err << "touchsim: " << error << "\n";
            return TouchsimSetupFailed;
        }
        if (const int code = RunLiveSession(session, Line, Options.SerialIdleMs, Out, error); code != TouchsimOk) {
            std::string ignored;
            session.Finish(ignored);
            Err << "touchsim: " << error << "\n";
            return code;
        }
    }
    const std::string portName = session.Port().Config().ComName;
    const ULONG lineSpeed = session.LineSpeed();
    const int finished = session.Finish(error);
    output.Begin();

    if (Options.Stats) {
        WriteStatistics({portName, lineSpeed, session.Counters(), output.ClickCount()}, side);
    }
    if (!Options.SvgPath.empty()) {
        std::ofstream svg(Options.SvgPath, std::ios::binary | std::ios::trunc);
        svg << SessionSvg(output.Reports());
        if (!svg.flush()) {
            Err << "touchsim: cannot write " << Options.SvgPath << "\n";
            return TouchsimSetupFailed;
        }
    }
    if (finished != TouchsimOk) {
        Err << "touchsim: the session did not end cleanly:\n" << error;
        if (!error.empty() && error.back() != '\n') {
            Err << "\n";
        }
    }
    return finished;
}

} // namespace

// Byte k completes at t(k) = t(k-1) + gap(k) + byte time; faults and
// commands take no line time.
void FeedInput(TouchsimSession& Session, const TouchsimInput& Input, std::ostream& Notes)
{
    using Kind = PeerLineEvent::Kind;
    int64_t time = 0;
    for (const PeerLineEvent& event : Input.Events) {
        time += event.Gap;
        switch (event.Type) {
        case Kind::Byte:
            // A command may have moved the driver to another port or speed.
            time += 100'000'000 / static_cast<int64_t>(Session.LineSpeed());
            Session.DeliverAt(time, event.Byte);
            break;
        case Kind::FailPendingRead:
            Session.FailPendingReadAt(time, static_cast<NTSTATUS>(event.Status));
            break;
        case Kind::FailReadInSend:
            Session.FailNextReadInSendAt(time, static_cast<NTSTATUS>(event.Status));
            break;
        case Kind::Command: {
            std::ostringstream printed;
            Session.ControlAt(time, event.Command, [&] { return RunLineCommand(event.Command, printed, printed); });
            Notes << printed.str();
            time = std::max(time, HkClock());
            break;
        }
        }
    }
    if (Input.TrailingSilence > 0) {
        Session.RunClockTo(time + Input.TrailingSilence);
    }
    Session.RunTimersUntilIdle();
}

int RunTouchsim(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err)
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
    if (!CheckControlCommands(options.ControlCommands, error)) {
        Err << "touchsim: " << error << "\n";
        return TouchsimBadInput;
    }
    std::optional<TouchsimInput> input;
    TouchsimSerialLine line;
    if (options.InputKind == TouchsimOptions::Source::Serial) {
        if (!line.Open(options.InputPath, error)) {
            Err << "touchsim: " << error << "\n";
            return TouchsimBadInput;
        }
    } else {
        input = LoadInput(options, error);
        if (!input) {
            Err << "touchsim: " << error << "\n";
            return TouchsimBadInput;
        }
    }
    try {
        return RunSession(options, input, line, Out, Err);
    } catch (const HkVerifierFailure&) {
        Err << "touchsim: the verifier stopped the session:\n" << HkVerifierReport() << "\n";
        return TouchsimVerifier;
    } catch (const std::exception& failure) {
        Err << "touchsim: the session failed: " << failure.what() << "\n";
        return TouchsimSetupFailed;
    }
}
