#include "touch_controller.h"

#include <algorithm>
#include <sstream>

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

void PeerTouchController::Send(const std::vector<uint8_t>& Bytes)
{
    for (uint8_t byte : Bytes) {
        Stream_.push_back({PendingGap_, byte});
        PendingGap_ = 0;
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
        std::vector<uint8_t> bytes;
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
            std::string word;
            while (ok && line >> word) {
                ok = word.size() == 2 && std::isxdigit(static_cast<unsigned char>(word[0])) &&
                     std::isxdigit(static_cast<unsigned char>(word[1]));
                if (ok) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
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
        else Raw(bytes);
    }
    return true;
}
