#include "touch_controller.h"

#include <algorithm>
#include <cctype>
#include <charconv>
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
std::optional<int64_t> SilenceToken(const std::string& Token)
{
    if (Token.size() < 4 || Token[0] != '+' || Token.compare(Token.size() - 2, 2, "ms") != 0) {
        return std::nullopt;
    }
    const std::string digits = Token.substr(1, Token.size() - 3);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int64_t ms = std::stoll(digits);
    if (ms > 86'400'000) {
        return std::nullopt;
    }
    return ms * PeerTouchController::Millisecond;
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
            } else if (auto gap = AllowSilence ? SilenceToken(token) : std::nullopt) {
                PendingGap += *gap;
                continue;
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
    Event.Gap = PendingGap_;
    PendingGap_ = 0;
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
    for (uint32_t i = 0; i < packets; i++) {
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
    for (uint32_t i = 0; i < Steps; i++) {
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

bool PeerTouchController::RunScript(const std::string& Script, std::string& Error)
{
    std::istringstream lines(Script);
    std::string text;
    int number = 0;
    while (std::getline(lines, text)) {
        number++;
        std::istringstream line(text.substr(0, text.find('#')));
        std::string command;
        if (!(line >> command)) {
            continue;
        }
        std::vector<uint32_t> n;
        bool ok = true;
        size_t coordinates = 0;
        std::vector<PeerLineEvent> events;
        if (command == "tap") {
            ok = ReadNumbers(line, n, 2, 3);
            coordinates = 2;
        } else if (command == "drag") {
            ok = ReadNumbers(line, n, 4, 5);
            coordinates = 4;
        } else if (command == "hold") {
            ok = ReadNumbers(line, n, 3, 3);
            coordinates = 2;
        } else if (command == "release") {
            ok = ReadNumbers(line, n, 0, 0);
        } else if (command == "wait") {
            ok = ReadNumbers(line, n, 1, 1);
        } else if (command == "every") {
            ok = ReadNumbers(line, n, 1, 1) && n[0] > 0;
        } else if (command == "bytes") {
            // Silence has its own command here: wait.
            std::string rest;
            std::getline(line, rest);
            int64_t noGap = 0;
            std::string reason;
            if (!PeerReadLineEvents(rest, number, false, events, noGap, reason)) {
                Error = "line " + std::to_string(number) + ": bad arguments to 'bytes': " + reason;
                return false;
            }
        } else {
            Error = "line " + std::to_string(number) + ": unknown command '" + command + "'";
            return false;
        }
        if (!ok) {
            Error = "line " + std::to_string(number) + ": bad arguments to '" + command + "'";
            return false;
        }
        if (std::any_of(n.begin(), n.begin() + coordinates, [](uint32_t v) { return v > 4095; })) {
            Error = "line " + std::to_string(number) + ": coordinates run from 0 to 4095";
            return false;
        }
        if (command == "tap") Tap(n[0], n[1], n.size() > 2 ? n[2] : 50);
        else if (command == "drag") Drag(n[0], n[1], n[2], n[3], n.size() > 4 ? n[4] : 10);
        else if (command == "hold") Hold(n[0], n[1], n[2]);
        else if (command == "release") Release();
        else if (command == "wait") Wait(n[0]);
        else if (command == "every") IntervalMs_ = n[0];
        else LineEvents(events);
    }
    return true;
}
