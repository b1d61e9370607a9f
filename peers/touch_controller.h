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

    // Reads a gesture script, one command a line, '#' comments:
    //   tap X Y [HOLD_MS]   drag X0 Y0 X1 Y1 [STEPS]   hold X Y MS
    //   release   wait MS   every MS (packet interval)   bytes HH HH ...
    // Returns false with a message naming the line on malformed input.
    bool RunScript(const std::string& Script, std::string& Error);

    const std::vector<PeerTimedByte>& Stream() const { return Stream_; }

private:
    void Send(const std::vector<uint8_t>& Bytes);
    void Packet(uint32_t X, uint32_t Y);

    uint32_t IntervalMs_;
    int64_t PendingGap_ = 0;
    std::vector<PeerTimedByte> Stream_;
};
