#include "touch_controller.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <istream>
#include <optional>
#include <sstream>

namespace {

int HexDigit(char C)
{
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

bool IsSpace(char C)
{
    return std::isspace(static_cast<unsigned char>(C)) != 0;
}

// "+Nms": N decimal milliseconds, at most a day so the sum cannot overflow.
// A well-formed silence over the limit is told apart, so its message can
// say the limit.
enum class SilenceKind { None, TooLong, Silence };
SilenceKind SilenceToken(const std::string& Token, int64_t& Units)
{
    if (Token.size() < 4 || Token[0] != '+' || Token.compare(Token.size() - 2, 2, "ms") != 0) {
        return SilenceKind::None;
    }
    const char* first = Token.data() + 1;
    const char* last = Token.data() + Token.size() - 2;
    if (std::find_if(first, last, [](char c) { return c < '0' || c > '9'; }) != last) {
        return SilenceKind::None;
    }
    uint64_t ms = 0;
    const auto parsed = std::from_chars(first, last, ms, 10);
    if (parsed.ec == std::errc::result_out_of_range || (parsed.ec == std::errc() && ms > PeerMaxSilenceMs)) {
        return SilenceKind::TooLong;
    }
    if (parsed.ec != std::errc() || parsed.ptr != last) {
        return SilenceKind::None;
    }
    Units = static_cast<int64_t>(ms) * PeerTouchController::Millisecond;
    return SilenceKind::Silence;
}

// "!0xSTATUS" or "!!0xSTATUS".
bool FaultToken(const std::string& Token, PeerLineEvent& Event, std::string& Error)
{
    const bool inSend = Token.rfind("!!", 0) == 0;
    const std::string value = Token.substr(inSend ? 2 : 1);
    uint64_t status = 0;
    const bool prefixed = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const char* end = value.data() + value.size();
    const auto parsed = std::from_chars(value.data() + (prefixed ? 2 : 0), end, status, 16);
    if (!prefixed || parsed.ec != std::errc() || parsed.ptr != end || status > 0xFFFFFFFFu) {
        Error = "'" + Token + "' is no port fault: expected " + (inSend ? "!!" : "!") +
                "0x and an NTSTATUS of at most eight hex digits";
        return false;
    }
    // Completing a request with it is a misuse the stand-in would blame on the driver.
    if (status == 0x103) {
        Error = "'" + Token + "': STATUS_PENDING is no status a read completes with";
        return false;
    }
    Event.Type = inSend ? PeerLineEvent::Kind::FailReadInSend : PeerLineEvent::Kind::FailPendingRead;
    Event.Status = static_cast<uint32_t>(status);
    return true;
}

// The first ']' outside quotes, quoted as the command splitter quotes.
size_t CommandEnd(const std::string& Text, size_t From)
{
    char quote = 0;
    for (size_t at = From; at < Text.size(); at++) {
        const char c = Text[at];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ']') {
            return at;
        }
    }
    return std::string::npos;
}

} // namespace

bool PeerReadLineEvents(const std::string& Text, int Line, bool AllowSilence, std::vector<PeerLineEvent>& Events,
                        int64_t& PendingGap, std::string& Error)
{
    size_t at = 0;
    while (true) {
        while (at < Text.size() && IsSpace(Text[at])) {
            at++;
        }
        if (at == Text.size()) {
            return true;
        }
        PeerLineEvent event;
        event.Line = Line;
        if (Text[at] == '[') {
            const size_t open = at;
            at++;
            while (at < Text.size() && !IsSpace(Text[at]) && Text[at] != ']') {
                at++;
            }
            if (Text.compare(open, at - open, "[ctl") != 0) {
                Error = "'" + Text.substr(open, at - open) + "' is not [ctl COMMAND]";
                return false;
            }
            const size_t close = CommandEnd(Text, at);
            if (close == std::string::npos) {
                Error = "'" + Text.substr(open) + "' is not closed with ']' on its line";
                return false;
            }
            const size_t first = Text.find_first_not_of(" \t\r\n\f\v", at);
            const size_t last = Text.find_last_not_of(" \t\r\n\f\v", close - 1);
            if (first >= close) {
                Error = "'[ctl]' names no command";
                return false;
            }
            event.Type = PeerLineEvent::Kind::Command;
            event.Command = Text.substr(first, last + 1 - first);
            at = close + 1;
        } else {
            const size_t start = at;
            while (at < Text.size() && !IsSpace(Text[at])) {
                at++;
            }
            const std::string token = Text.substr(start, at - start);
            if (token[0] == '!') {
                if (!FaultToken(token, event, Error)) {
                    return false;
                }
            } else if (token.size() == 2 && HexDigit(token[0]) >= 0 && HexDigit(token[1]) >= 0) {
                event.Byte = static_cast<uint8_t>(HexDigit(token[0]) * 16 + HexDigit(token[1]));
            } else if (int64_t gap = 0; AllowSilence && SilenceToken(token, gap) == SilenceKind::Silence) {
                PendingGap += gap;
                continue;
            } else if (AllowSilence && SilenceToken(token, gap) == SilenceKind::TooLong) {
                Error = "'" + token + "' is longer than the longest silence, +" + std::to_string(PeerMaxSilenceMs) +
                        "ms (24 hours)";
                return false;
            } else {
                Error = "'" + token + "' is neither a two-digit hex byte" +
                        (AllowSilence ? ", a silence like +20ms," : "") +
                        " nor a port fault like !0xC0000001 or !!0xC0000001, nor [ctl COMMAND]";
                return false;
            }
        }
        event.Gap = PendingGap;
        PendingGap = 0;
        Events.push_back(std::move(event));
    }
}

bool PeerInputBudget::Take(uint64_t Bytes, uint64_t SilenceMs, std::string& Error)
{
    Refused_ = true;
    if (Bytes > Limits_.MaxBytes - Bytes_) {
        Error = "a session sends at most " + std::to_string(Limits_.MaxBytes) + " bytes; this would send " +
                std::to_string(Bytes) + " more after " + std::to_string(Bytes_);
        return false;
    }
    if (SilenceMs > static_cast<uint64_t>(Limits_.MaxSilenceMs - SilenceMs_)) {
        Error = "the silences of a session (waits, holds, gaps) add up to at most " +
                std::to_string(Limits_.MaxSilenceMs) + " ms (" + std::to_string(Limits_.MaxSilenceMs / 3'600'000) +
                " hours); this would add " + std::to_string(SilenceMs) + " ms to " + std::to_string(SilenceMs_);
        return false;
    }
    Refused_ = false;
    Bytes_ += Bytes;
    SilenceMs_ += static_cast<int64_t>(SilenceMs);
    return true;
}

namespace {

using Traits = std::char_traits<char>;

bool IsSpaceCharacter(Traits::int_type C)
{
    return C != Traits::eof() && IsSpace(Traits::to_char_type(C));
}

// Collects the unit starting here, as PeerReadLineEvents would split a line:
// a run of non-space characters, or a '[' group up to the first ']' outside
// quotes on the line. '#' ends either, as it ends the line. Returns false
// when the unit grows past the limit.
bool ReadUnit(std::streambuf& In, std::string& Unit)
{
    Unit.clear();
    auto take = [&] {
        Unit.push_back(Traits::to_char_type(In.sbumpc()));
        return Unit.size() <= PeerMaxTokenLength;
    };
    Traits::int_type c = In.sgetc();
    const bool group = c == '[';
    while (c != Traits::eof() && c != '#' && !IsSpaceCharacter(c) && !(group && c == ']' && !Unit.empty())) {
        if (!take()) {
            return false;
        }
        c = In.sgetc();
    }
    if (!group || Unit != "[ctl") {
        return true; // PeerReadLineEvents names what it is not
    }
    char quote = 0;
    for (; c != Traits::eof() && c != '#' && c != '\n'; c = In.sgetc()) {
        if (!take()) {
            return false;
        }
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = Traits::to_char_type(c);
        } else if (c == ']') {
            return true;
        }
    }
    return true;
}

void SkipToLineEnd(std::streambuf& In)
{
    for (Traits::int_type c = In.sgetc(); c != Traits::eof() && c != '\n'; c = In.sgetc()) {
        In.sbumpc();
    }
}

} // namespace

bool PeerReadEventStream(std::istream& In, int& Line, bool AllowSilence, bool StopAtLineEnd, int64_t& PendingGap,
                         PeerInputBudget& Budget, const PeerLineEventSink& Sink, std::string& Error)
{
    std::streambuf& in = *In.rdbuf();
    std::string unit;
    std::vector<PeerLineEvent> events;
    while (true) {
        const Traits::int_type c = in.sgetc();
        if (c == Traits::eof()) {
            return true;
        }
        if (c == '\n') {
            in.sbumpc();
            Line++;
            if (StopAtLineEnd) {
                return true;
            }
        } else if (c == '#') {
            SkipToLineEnd(in);
        } else if (IsSpaceCharacter(c)) {
            in.sbumpc();
        } else {
            if (!ReadUnit(in, unit)) {
                Error = "'" + unit.substr(0, 20) + "...' is longer than " + std::to_string(PeerMaxTokenLength) +
                        " characters, the longest token or [ctl ...] read";
                return false;
            }
            events.clear();
            const int64_t gapBefore = PendingGap;
            if (!PeerReadLineEvents(unit, Line, AllowSilence, events, PendingGap, Error)) {
                return false;
            }
            // A silence adds to the pending gap; an event takes it over.
            if (events.empty() && PendingGap > gapBefore &&
                !Budget.Take(0, static_cast<uint64_t>((PendingGap - gapBefore) / PeerTouchController::Millisecond),
                             Error)) {
                return false;
            }
            for (PeerLineEvent& event : events) {
                if (event.Type == PeerLineEvent::Kind::Byte && !Budget.Take(1, 0, Error)) {
                    return false;
                }
                if (!Sink(event, Error)) {
                    return false;
                }
            }
        }
    }
}

void PeerSkipByteOrderMark(std::istream& In)
{
    const std::istream::pos_type start = In.tellg();
    char mark[3] = {};
    if (In.read(mark, 3) && mark[0] == '\xEF' && mark[1] == '\xBB' && mark[2] == '\xBF') {
        return;
    }
    In.clear();
    In.seekg(start);
}

std::vector<uint8_t> PeerTouchPacket(uint32_t X, uint32_t Y)
{
    X &= 0xFFF;
    Y &= 0xFFF;
    std::vector<uint8_t> packet = {static_cast<uint8_t>(0x40 | (X >> 6)), static_cast<uint8_t>(X & 0x3F),
                                   static_cast<uint8_t>(Y >> 6), static_cast<uint8_t>(Y & 0x3F)};
    packet.push_back(static_cast<uint8_t>((packet[0] + packet[1] + packet[2] + packet[3]) & 0x3F));
    return packet;
}

std::vector<uint8_t> PeerReleasePacket()
{
    return PeerTouchPacket(0, 0);
}

void PeerTouchController::Add(PeerLineEvent Event)
{
    if (Stopped()) {
        return;
    }
    Event.Gap = PendingGap_;
    PendingGap_ = 0;
    if (Sink_) {
        std::string error;
        if (!Sink_(Event, error)) {
            SinkStopped_ = true;
            SinkError_ = error;
        }
        return;
    }
    if (Event.Type == PeerLineEvent::Kind::Byte) {
        Stream_.push_back({StreamCarry_ + Event.Gap, Event.Byte});
        StreamCarry_ = 0;
    } else {
        StreamCarry_ += Event.Gap;
    }
    Events_.push_back(std::move(Event));
}

void PeerTouchController::Send(const std::vector<uint8_t>& Bytes)
{
    for (uint8_t byte : Bytes) {
        PeerLineEvent event;
        event.Byte = byte;
        Add(event);
    }
}

void PeerTouchController::Wait(uint32_t Ms)
{
    PendingGap_ += static_cast<int64_t>(Ms) * Millisecond;
}

void PeerTouchController::Packet(uint32_t X, uint32_t Y)
{
    // A real controller never reports a touch at exactly (0, 0): that is the release.
    if (X == 0 && Y == 0) {
        X = 1;
    }
    Send(PeerTouchPacket(X, Y));
}

void PeerTouchController::Tap(uint32_t X, uint32_t Y, uint32_t HoldMs)
{
    Hold(X, Y, HoldMs);
    Release();
}

void PeerTouchController::Hold(uint32_t X, uint32_t Y, uint32_t Ms)
{
    const uint32_t packets = std::max<uint32_t>(1, Ms / std::max<uint32_t>(1, IntervalMs_));
    for (uint32_t i = 0; i < packets && !Stopped(); i++) {
        if (i != 0) {
            Wait(IntervalMs_);
        }
        Packet(X, Y);
    }
    Wait(IntervalMs_);
}

void PeerTouchController::Drag(uint32_t X0, uint32_t Y0, uint32_t X1, uint32_t Y1, uint32_t Steps)
{
    Steps = std::max<uint32_t>(Steps, 2);
    for (uint32_t i = 0; i < Steps && !Stopped(); i++) {
        const int64_t x = X0 + (static_cast<int64_t>(X1) - X0) * i / (Steps - 1);
        const int64_t y = Y0 + (static_cast<int64_t>(Y1) - Y0) * i / (Steps - 1);
        if (i != 0) {
            Wait(IntervalMs_);
        }
        Packet(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    }
    Wait(IntervalMs_);
    Release();
}

void PeerTouchController::Release()
{
    Send(PeerReleasePacket());
}

void PeerTouchController::ControllerInfo(uint8_t A, uint8_t B, uint8_t C, uint8_t D)
{
    Send({0xC1, static_cast<uint8_t>(0x80 | (A & 0x3F)), static_cast<uint8_t>(0x80 | (B & 0x3F)),
          static_cast<uint8_t>(0x80 | (C & 0x3F)), static_cast<uint8_t>(0x80 | (D & 0x3F))});
}

void PeerTouchController::LineSpeedResponse(uint8_t Code)
{
    Send({0xC2, Code});
}

void PeerTouchController::Raw(const std::vector<uint8_t>& Bytes)
{
    Send(Bytes);
}

void PeerTouchController::LineEvents(const std::vector<PeerLineEvent>& Events)
{
    for (const PeerLineEvent& event : Events) {
        PendingGap_ += event.Gap;
        Add(event);
    }
}

namespace {

bool ReadNumbers(std::istringstream& Line, std::vector<uint32_t>& Numbers, size_t Min, size_t Max)
{
    std::string word;
    while (Line >> word) {
        if (word[0] == '#') {
            break;
        }
        try {
            size_t used = 0;
            const unsigned long value = std::stoul(word, &used, 10);
            if (used != word.size() || value > 0xFFFFFFFFul) {
                return false;
            }
            Numbers.push_back(static_cast<uint32_t>(value));
        } catch (const std::exception&) {
            return false;
        }
    }
    return Numbers.size() >= Min && Numbers.size() <= Max;
}

} // namespace

namespace {

// Skips blanks, empty lines and comments up to the next command; false at
// the end of the script.
bool SkipToCommand(std::streambuf& In, int& Line)
{
    for (;;) {
        Traits::int_type c = In.sgetc();
        while (c != '\n' && IsSpaceCharacter(c)) {
            In.sbumpc();
            c = In.sgetc();
        }
        if (c == Traits::eof()) {
            return false;
        }
        if (c == '\n') {
            In.sbumpc();
            Line++;
        } else if (c == '#') {
            SkipToLineEnd(In);
        } else {
            return true;
        }
    }
}

bool ReadCommandName(std::streambuf& In, int Line, std::string& Command, std::string& Error)
{
    for (Traits::int_type c = In.sgetc(); c != Traits::eof() && c != '#' && !IsSpaceCharacter(c); c = In.sgetc()) {
        Command.push_back(Traits::to_char_type(In.sbumpc()));
        if (Command.size() > 32) {
            Error = "line " + std::to_string(Line) + ": unknown command '" + Command + "...'";
            return false;
        }
    }
    return true;
}

// The rest of the line, its comment left out.
bool ReadArguments(std::streambuf& In, int Line, std::string& Arguments, std::string& Error)
{
    bool comment = false;
    for (Traits::int_type c = In.sgetc(); c != Traits::eof() && c != '\n'; c = In.sgetc()) {
        const char next = Traits::to_char_type(In.sbumpc());
        comment = comment || next == '#';
        if (!comment) {
            Arguments.push_back(next);
        }
        if (Arguments.size() > PeerMaxTokenLength) {
            Error = "line " + std::to_string(Line) + ": longer than " + std::to_string(PeerMaxTokenLength) +
                    " characters";
            return false;
        }
    }
    return true;
}

struct GestureCommand {
    const char* Name;
    size_t MinNumbers;
    size_t MaxNumbers;
    size_t Coordinates; // the first numbers are positions
};

const GestureCommand GestureCommands[] = {
    {"tap", 2, 3, 2},     {"drag", 4, 5, 4}, {"hold", 3, 3, 2},
    {"release", 0, 0, 0}, {"wait", 1, 1, 0}, {"every", 1, 1, 0},
};

bool ReadCommandNumbers(const std::string& Command, const std::string& Arguments, const std::string& Where,
                        std::vector<uint32_t>& Numbers, std::string& Error)
{
    const GestureCommand* known = nullptr;
    for (const GestureCommand& candidate : GestureCommands) {
        known = Command == candidate.Name ? &candidate : known;
    }
    if (known == nullptr) {
        Error = Where + "unknown command '" + Command + "'";
        return false;
    }
    std::istringstream line(Arguments);
    if (!ReadNumbers(line, Numbers, known->MinNumbers, known->MaxNumbers) || (Command == "every" && Numbers[0] == 0)) {
        Error = Where + "bad arguments to '" + Command + "'";
        return false;
    }
    if (std::any_of(Numbers.begin(), Numbers.begin() + known->Coordinates, [](uint32_t v) { return v > 4095; })) {
        Error = Where + "coordinates run from 0 to 4095";
        return false;
    }
    return true;
}

// What a command puts on the line, worked out before it is expanded: a
// packet is five bytes, each followed by one interval of silence.
struct LineCost {
    uint64_t Packets = 0;
    uint64_t Bytes = 0;
    uint64_t SilenceMs = 0;
};

LineCost CostOf(const std::string& Command, const std::vector<uint32_t>& N, uint64_t Interval)
{
    const uint64_t packetBytes = PeerTouchPacket(0, 0).size();
    auto packetsFor = [&](uint64_t Ms) { return std::max<uint64_t>(1, Ms / std::max<uint64_t>(1, Interval)); };
    LineCost cost;
    if (Command == "tap" || Command == "hold") {
        cost.Packets = packetsFor(Command == "hold" ? N[2] : N.size() > 2 ? N[2] : 50);
        cost.Bytes = cost.Packets * packetBytes + (Command == "tap" ? packetBytes : 0);
        cost.SilenceMs = cost.Packets * Interval;
    } else if (Command == "drag") {
        cost.Packets = std::max<uint64_t>(N.size() > 4 ? N[4] : 10, 2);
        cost.Bytes = (cost.Packets + 1) * packetBytes;
        cost.SilenceMs = cost.Packets * Interval;
    } else if (Command == "release") {
        cost.Bytes = packetBytes;
    } else if (Command == "wait") {
        cost.SilenceMs = N[0];
    }
    return cost;
}

} // namespace

bool PeerTouchController::RunScript(const std::string& Script, std::string& Error)
{
    std::istringstream in(Script);
    return RunScript(in, Error);
}

// Streamed a line at a time: a 'bytes' line token by token, any other line
// whole (it is short), so a script of any size runs in constant memory.
bool PeerTouchController::RunScript(std::istream& Script, std::string& Error)
{
    std::streambuf& in = *Script.rdbuf();
    int line = 1;
    while (!Stopped() && SkipToCommand(in, line)) {
        std::string command;
        if (!ReadCommandName(in, line, command, Error)) {
            return false;
        }
        const int commandLine = line;
        if (command == "bytes") {
            if (!RunBytes(Script, line, commandLine, Error)) {
                return false;
            }
            continue;
        }
        std::string arguments;
        if (!ReadArguments(in, line, arguments, Error) || !RunCommand(command, arguments, commandLine, Error)) {
            return false;
        }
    }
    if (Stopped()) {
        Error = SinkError_.empty() ? "" : "line " + std::to_string(line) + ": " + SinkError_;
        return false;
    }
    return true;
}

// The tokens of a 'bytes' line, as the byte scripts have them; silence has
// its own command here: wait.
bool PeerTouchController::RunBytes(std::istream& Script, int& Line, int CommandLine, std::string& Error)
{
    int64_t noGap = 0;
    std::string reason;
    const PeerLineEventSink add = [this](PeerLineEvent& Event, std::string&) {
        PendingGap_ += Event.Gap;
        Add(Event);
        return !Stopped();
    };
    // A sink that stopped ends the script, on the line of its event.
    if (PeerReadEventStream(Script, Line, false, true, noGap, Budget_, add, reason) || Stopped()) {
        return true;
    }
    Error = "line " + std::to_string(CommandLine) + ": " +
            (Budget_.Refused() ? "'bytes': " : "bad arguments to 'bytes': ") + reason;
    return false;
}

bool PeerTouchController::RunCommand(const std::string& Command, const std::string& Arguments, int Line,
                                     std::string& Error)
{
    const std::string where = "line " + std::to_string(Line) + ": ";
    std::vector<uint32_t> n;
    if (!ReadCommandNumbers(Command, Arguments, where, n, Error)) {
        return false;
    }
    const uint64_t interval = IntervalMs_;
    const LineCost cost = CostOf(Command, n, interval);
    std::string reason;
    if (!Budget_.Take(cost.Bytes, cost.SilenceMs, reason)) {
        Error = where + "'" + Command + "'" +
                (cost.Packets > 1 ? " (" + std::to_string(cost.Packets) + " packets, one every " +
                                        std::to_string(interval) + " ms)"
                                  : "") +
                ": " + reason;
        return false;
    }

    if (Command == "tap") Tap(n[0], n[1], n.size() > 2 ? n[2] : 50);
    else if (Command == "drag") Drag(n[0], n[1], n[2], n[3], n.size() > 4 ? n[4] : 10);
    else if (Command == "hold") Hold(n[0], n[1], n[2]);
    else if (Command == "release") Release();
    else if (Command == "wait") Wait(n[0]);
    else IntervalMs_ = n[0];
    return true;
}
