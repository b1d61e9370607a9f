// The touch driver with serial ports and the mouse class peer, plus what the
// serial link tests need on top: port requests, requests sent to the FDO,
// controller streams played on the virtual clock, and a view of the state.
#pragma once

#include "driver_fixture.h"

#include <cstring>

inline std::vector<uint8_t> Le32(ULONG Value)
{
    return {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8), static_cast<uint8_t>(Value >> 16),
            static_cast<uint8_t>(Value >> 24)};
}

inline std::vector<uint8_t> Bytes(const std::string& Text)
{
    return {Text.begin(), Text.end()};
}

// Touch packets and one release, Count packets in all.
inline std::vector<uint8_t> TouchBurst(size_t Count)
{
    std::vector<uint8_t> stream;
    for (size_t i = 0; i + 1 < Count; i++) {
        const std::vector<uint8_t> packet = PeerTouchPacket(1 + static_cast<uint32_t>(i % 4000), 2048);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    const std::vector<uint8_t> release = PeerReleasePacket();
    stream.insert(stream.end(), release.begin(), release.end());
    return stream;
}

class SerialLinkTest : public DriverTest {
protected:
    // Like BringUp, with COM1 configured as given.
    void BringUpWith(const PeerSerialPortConfig& Config)
    {
        AddPort("COM1", 0, Config);
        Load();
        AddAndStart();
        ConnectMouse();
    }

    // BringUp, then COM1 opened at 19200.
    void BringUpOpen()
    {
        BringUp();
        ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    }

    PeerSerialPort& Port(size_t I = 0) { return *Ports.at(I); }

    HkIoResult SetPort(const std::string& Name) { return Control(IOCTL_TOUCH_SET_PORT, Bytes(Name)); }

    // A device control request sent straight to the FDO, as a driver above
    // it would send one.
    HkIoResult FdoControl(ULONG Code, const std::vector<uint8_t>& Input = {}, ULONG OutputLength = 0)
    {
        const std::optional<HkIoResult> reply = PeerSendControlIrp(Fdo, Code, Input, OutputLength);
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(HkIoResult{STATUS_INSUFFICIENT_RESOURCES, 0, {}});
    }

    // Plays the controller's stream into the port, moving the virtual clock
    // by the silence before each byte.
    void Play(PeerSerialPort& Port, const PeerTouchController& Controller)
    {
        for (const PeerTimedByte& timed : Controller.Stream()) {
            HkAdvanceClock(timed.Gap);
            Port.Deliver(timed.Byte);
        }
    }

    std::string PortName() { return HkNarrow(Settings().PortNameBuffer, HkWcsLen(Settings().PortNameBuffer)); }
    size_t RemoveLockHolds() { return HkRemoveLockHolds(&Extension->RemoveLock); }
};
