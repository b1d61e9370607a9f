// The touch controller at the far end of the serial line: turns gestures
// into the timed byte stream of its packet format.
#pragma once

#include <cstdint>
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
// silence before the next event). Gaps run on in PendingGap across calls.
// Returns false with Error saying what is wrong (without the line).
bool PeerReadLineEvents(const std::string& Text, int Line, bool AllowSilence, std::vector<PeerLineEvent>& Events,
                        int64_t& PendingGap, std::string& Error);

// A 5-byte touch packet for 12-bit controller coordinates (0..4095).
std::vector<uint8_t> PeerTouchPacket(uint32_t X, uint32_t Y);
// The packet that reports the finger lifted.
std::vector<uint8_t> PeerReleasePacket();

class PeerTouchController {
public:
    static constexpr int64_t Millisecond = 10000;

    // Packets are sent every IntervalMs while the finger is down.
    explicit PeerTouchController(uint32_t IntervalMs = 10) : IntervalMs_(IntervalMs) {}

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
    // Returns false with a message naming the line on malformed input.
    bool RunScript(const std::string& Script, std::string& Error);

    // The bytes only: a fault's or command's silence is added to the next byte's.
    const std::vector<PeerTimedByte>& Stream() const { return Stream_; }
    // Everything, in order.
    const std::vector<PeerLineEvent>& Events() const { return Events_; }

private:
    void Add(PeerLineEvent Event);
    void Send(const std::vector<uint8_t>& Bytes);
    void Packet(uint32_t X, uint32_t Y);

    uint32_t IntervalMs_;
    int64_t PendingGap_ = 0;
    int64_t StreamCarry_ = 0; // silence of events Stream() leaves out
    std::vector<PeerTimedByte> Stream_;
    std::vector<PeerLineEvent> Events_;
};
