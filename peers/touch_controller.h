// The touch controller at the far end of the serial line: turns gestures
// into the timed byte stream of its packet format.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

// One byte on the line, with the silence that precedes it (100-ns units,
// on top of the byte's own transmission time).
struct PeerTimedByte {
    int64_t Gap;
    uint8_t Byte;
    bool operator==(const PeerTimedByte&) const = default;
};

// One event on the line side, with the silence before it: a byte, a port
// fault (the next read fails, after it went pending or inside its send), or
// a configuration command that whoever replays the stream runs between two
// bytes. Faults and commands take no line time.
struct PeerLineEvent {
    enum class Kind { Byte, FailPendingRead, FailReadInSend, Command };
    Kind Type = Kind::Byte;
    int64_t Gap = 0;      // 100-ns units
    uint8_t Byte = 0;
    uint32_t Status = 0;  // the NTSTATUS of a fault
    std::string Command;  // the command's text, as written
    int Line = 0;         // where it was written, for messages
    bool operator==(const PeerLineEvent&) const = default;
};

// Reads one line's worth of tokens: two-digit hex bytes, "!0xSTATUS" (the
// pending read fails), "!!0xSTATUS" (the next read fails inside its send),
// "[ctl COMMAND ...]" and, with AllowSilence, "+Nms" (N milliseconds of
// silence before the next event, at most PeerMaxSilenceMs). Gaps run on in
// PendingGap across calls. Returns false with Error saying what is wrong
// (without the line).
inline constexpr int64_t PeerMaxSilenceMs = 86'400'000; // a day
bool PeerReadLineEvents(const std::string& Text, int Line, bool AllowSilence, std::vector<PeerLineEvent>& Events,
                        int64_t& PendingGap, std::string& Error);

// What one input may put on the line, so that a long or careless script is
// refused before anything is expanded: bytes, and the silences (waits,
// holds, gaps) added up.
struct PeerInputLimits {
    uint64_t MaxBytes = 100'000'000;
    int64_t MaxSilenceMs = PeerMaxSilenceMs; // 24 hours
};

class PeerInputBudget {
public:
    explicit PeerInputBudget(PeerInputLimits Limits = {}) : Limits_(Limits) {}
    // Counts Bytes more bytes and SilenceMs more milliseconds of silence, or
    // returns false with Error naming the limit and counts nothing.
    bool Take(uint64_t Bytes, uint64_t SilenceMs, std::string& Error);
    uint64_t Bytes() const { return Bytes_; }
    int64_t SilenceMs() const { return SilenceMs_; }
    const PeerInputLimits& Limits() const { return Limits_; }
    bool Refused() const { return Refused_; } // the last Take failed

private:
    PeerInputLimits Limits_;
    bool Refused_ = false;
    uint64_t Bytes_ = 0;
    int64_t SilenceMs_ = 0;
};

// Receives events one at a time; returns false to stop the reading (with
// Error set, or empty when the receiver stopped for its own reasons).
using PeerLineEventSink = std::function<bool(PeerLineEvent& Event, std::string& Error)>;

// Hex text as PeerReadLineEvents reads a line, streamed from In token by
// token, '#' starting a comment to the end of the line, so a file of any
// size is read in constant memory. Line is the 1-based line being read and
// is advanced past each newline; with StopAtLineEnd the reading ends after
// the current line. Bytes and silences are counted in Budget. A token or a
// [ctl ...] longer than PeerMaxTokenLength is refused. Returns false with
// Error (without the line; Line says where) when the text is bad, a limit
// is passed or the sink stops.
inline constexpr size_t PeerMaxTokenLength = 4096;
// Steps over a UTF-8 byte-order mark at the start of In, if there is one.
void PeerSkipByteOrderMark(std::istream& In);
bool PeerReadEventStream(std::istream& In, int& Line, bool AllowSilence, bool StopAtLineEnd, int64_t& PendingGap,
                         PeerInputBudget& Budget, const PeerLineEventSink& Sink, std::string& Error);

// A 5-byte touch packet for 12-bit controller coordinates (0..4095).
std::vector<uint8_t> PeerTouchPacket(uint32_t X, uint32_t Y);
// The packet that reports the finger lifted.
std::vector<uint8_t> PeerReleasePacket();

class PeerTouchController {
public:
    static constexpr int64_t Millisecond = 10000;

    // Packets are sent every IntervalMs while the finger is down.
    explicit PeerTouchController(uint32_t IntervalMs = 10) : IntervalMs_(IntervalMs) {}
    // Events go to Sink as they are made instead of being kept: Stream() and
    // Events() stay empty, and a script of any length runs in constant memory.
    void SendTo(PeerLineEventSink Sink) { Sink_ = std::move(Sink); }

    void Wait(uint32_t Ms);
    // Finger down at (X, Y) for HoldMs, then lifted.
    void Tap(uint32_t X, uint32_t Y, uint32_t HoldMs = 50);
    // Finger down at the start, moved in Steps packets to the end, lifted.
    void Drag(uint32_t X0, uint32_t Y0, uint32_t X1, uint32_t Y1, uint32_t Steps);
    // Finger down (or kept down) at (X, Y) for Ms without lifting.
    void Hold(uint32_t X, uint32_t Y, uint32_t Ms);
    void Release();
    void ControllerInfo(uint8_t A, uint8_t B, uint8_t C, uint8_t D);
    void LineSpeedResponse(uint8_t Code);
    void Raw(const std::vector<uint8_t>& Bytes);
    // Bytes, faults and commands in order; bytes also join Stream().
    void LineEvents(const std::vector<PeerLineEvent>& Events);

    // Reads a gesture script, one command a line, '#' comments:
    //   tap X Y [HOLD_MS]   drag X0 Y0 X1 Y1 [STEPS]   hold X Y MS
    //   release   wait MS   every MS (packet interval)
    //   bytes TOKEN ... (hex bytes, !0xSTATUS, !!0xSTATUS, [ctl COMMAND])
    // Each command is held to the limits before it is expanded. Returns
    // false with a message naming the line on malformed input, a passed
    // limit, or a sink that stopped (its message, if any).
    bool RunScript(const std::string& Script, std::string& Error);
    bool RunScript(std::istream& Script, std::string& Error);
    void SetLimits(PeerInputLimits Limits) { Budget_ = PeerInputBudget(Limits); }
    // What the scripts run so far put on the line.
    const PeerInputBudget& Budget() const { return Budget_; }

    // The bytes only: a fault's or command's silence is added to the next byte's.
    const std::vector<PeerTimedByte>& Stream() const { return Stream_; }
    // Everything, in order.
    const std::vector<PeerLineEvent>& Events() const { return Events_; }

private:
    void Add(PeerLineEvent Event);
    void Send(const std::vector<uint8_t>& Bytes);
    void Packet(uint32_t X, uint32_t Y);
    bool RunBytes(std::istream& Script, int& Line, int CommandLine, std::string& Error);
    bool RunCommand(const std::string& Command, const std::string& Arguments, int Line, std::string& Error);
    bool Stopped() const { return !SinkError_.empty() || SinkStopped_; }

    uint32_t IntervalMs_;
    PeerLineEventSink Sink_;
    bool SinkStopped_ = false;
    std::string SinkError_;
    PeerInputBudget Budget_;
    int64_t PendingGap_ = 0;
    int64_t StreamCarry_ = 0; // silence of events Stream() leaves out
    std::vector<PeerTimedByte> Stream_;
    std::vector<PeerLineEvent> Events_;
};
