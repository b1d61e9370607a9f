// A realistic controller byte stream for measuring the touch data path:
// mostly touch packets (taps and drags), releases, some corrupt or cut
// packets, and the occasional controller response. Deterministic.
#pragma once

#include <cstdint>
#include <vector>

inline void AppendTouchPacket(std::vector<uint8_t>& Stream, uint32_t X, uint32_t Y)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(0x40 | ((X >> 6) & 0x3F)), static_cast<uint8_t>(X & 0x3F),
                              static_cast<uint8_t>((Y >> 6) & 0x3F), static_cast<uint8_t>(Y & 0x3F)};
    Stream.insert(Stream.end(), bytes, bytes + 4);
    Stream.push_back(static_cast<uint8_t>((bytes[0] + bytes[1] + bytes[2] + bytes[3]) & 0x3F));
}

inline std::vector<uint8_t> MakeTouchStream(size_t Touches)
{
    std::vector<uint8_t> stream;
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xFFFF;
    };
    for (size_t touch = 0; touch < Touches; touch++) {
        uint32_t x = next() & 0xFFF;
        uint32_t y = next() & 0xFFF;
        const uint32_t packets = 1 + next() % 40; // taps and drags
        for (uint32_t i = 0; i < packets; i++) {
            const uint32_t noise = next() % 100;
            if (noise < 2) { // corrupt checksum
                AppendTouchPacket(stream, x, y);
                stream.back() ^= 0x01;
            } else if (noise < 3) { // packet cut short by the next start byte
                AppendTouchPacket(stream, x, y);
                stream.resize(stream.size() - 2);
            } else {
                AppendTouchPacket(stream, x, y);
            }
            x = (x + (next() % 9) - 4) & 0xFFF;
            y = (y + (next() % 9) - 4) & 0xFFF;
        }
        AppendTouchPacket(stream, 0, 0); // release
        if (touch % 50 == 0) { // controller info and line speed responses
            const uint8_t responses[] = {0xC1, 0x81, 0x82, 0x83, 0x84, 0xC2, 0x84};
            stream.insert(stream.end(), responses, responses + sizeof(responses));
        }
    }
    return stream;
}
