// Controller bytes under fuzzed settings through the whole read pump: the
// settings go in through the control requests, the bytes arrive at the open
// port one by one or in bursts, and an independent model of the framing says
// which bytes must produce a report.
//
// Input: flags, LTRB, button mode, click enable, then the layouts the flags
// ask for (calibration 18, filter 8, monitor map 24, click tone 6), a pacing
// byte, and the serial bytes.
#include "fuzz_session.h"

#include <array>
#include <cstring>

namespace {

enum : uint8_t {
    SendCalibration = 0x01,
    SendFilter = 0x02,
    SendMonitorMap = 0x04,
    SendBeepTone = 0x08,
    DeliverInBursts = 0x10,
    SettingsThroughFdo = 0x20,
};

uint16_t Le16(const std::vector<uint8_t>& Bytes, size_t Offset)
{
    return static_cast<uint16_t>(Bytes[Offset] | (Bytes[Offset + 1] << 8));
}

uint32_t Le32(const std::vector<uint8_t>& Bytes, size_t Offset)
{
    return Le16(Bytes, Offset) | (static_cast<uint32_t>(Le16(Bytes, Offset + 2)) << 16);
}

// The framing as the controller's byte classes define it, written apart from
// the driver's parser: one index serves touch packets and responses.
struct FramingModel {
    uint32_t Index = 0;
    uint32_t ResponseType = 0;
    std::array<uint8_t, 5> Packet{};
    uint32_t Discarded = 0;
    std::array<uint8_t, 4> ControllerInfo{};
    uint32_t BaudRate = 0;

    // true when Byte completes a packet whose checksum holds.
    bool Take(uint8_t Byte)
    {
        switch (Byte >> 6) {
        case 0: // touch data
            if (Index == 0) {
                Discarded++;
                return false;
            }
            Packet[Index] = Byte;
            if (Index < 4) {
                Index++;
                return false;
            }
            Index = 0;
            return ((Packet[0] + Packet[1] + Packet[2] + Packet[3]) & 0x3F) == Packet[4];
        case 1: // touch start
            if (Index == 0) {
                Packet[0] = Byte;
                Index = 1;
            } else {
                Discarded++;
                Index = 0;
            }
            return false;
        case 2: // response data
            if (Index == 0) {
                return false;
            }
            if (ResponseType == 1) {
                ControllerInfo[Index - 1] = Byte & 0x3F;
                Index = Index == 4 ? 0 : Index + 1;
                return false;
            }
            if (ResponseType == 2 && Index == 1) {
                static const uint32_t speeds[] = {2400, 4800, 9600, 19200};
                if (Byte >= 0x81 && Byte <= 0x84) {
                    BaudRate = speeds[Byte - 0x81];
                }
            }
            Index = 0;
            return false;
        default: // response header
            if (Index == 0) {
                ResponseType = Byte & 0x3F;
                Index = (ResponseType == 1 || ResponseType == 2) ? 1 : 0;
            } else {
                Index = 0;
            }
            return false;
        }
    }

    bool LastPacketWasRelease() const
    {
        return (Packet[0] & 0x3F) == 0 && (Packet[1] & 0x3F) == 0 && (Packet[2] & 0x3F) == 0 &&
               (Packet[3] & 0x3F) == 0;
    }
};

struct ReportModel {
    uint32_t PreviousButtons = 0;
    int32_t LastX = 0;
    int32_t LastY = 0;
};

void CheckReport(const PeerMouseReport& Report, bool Release, uint8_t ButtonMode, ReportModel& Model)
{
    const MOUSE_INPUT_DATA& data = Report.Data;
    FUZZ_CHECK(Report.Irql == DISPATCH_LEVEL, "reports reach the class driver at DISPATCH_LEVEL");
    FUZZ_CHECK(data.Flags == MOUSE_MOVE_ABSOLUTE, "every report is absolute");
    const uint32_t expectedButtons = Release ? 0 : ButtonMode;
    FUZZ_CHECK(data.RawButtons == expectedButtons, "buttons are the button mode while touched, none on release");
    if (Release) {
        FUZZ_CHECK(data.LastX == Model.LastX && data.LastY == Model.LastY, "a release repeats the last position");
    }
    FUZZ_CHECK((data.LastX & 0x3F) == 0 && (data.LastY & 0x3F) == 0, "positions are quantised to 64");
    static const struct {
        uint32_t Bit;
        USHORT Down;
        USHORT Up;
    } edges[] = {{1, MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP},
                 {2, MOUSE_RIGHT_BUTTON_DOWN, MOUSE_RIGHT_BUTTON_UP},
                 {4, MOUSE_MIDDLE_BUTTON_DOWN, MOUSE_MIDDLE_BUTTON_UP}};
    USHORT expectedFlags = 0;
    const uint32_t changed = Model.PreviousButtons ^ data.RawButtons;
    for (const auto& edge : edges) {
        if (changed & edge.Bit) {
            expectedFlags |= (data.RawButtons & edge.Bit) ? edge.Down : edge.Up;
        }
    }
    FUZZ_CHECK(data.ButtonFlags == expectedFlags && data.ButtonData == 0,
               "button flags are the edges since the last report, got " + std::to_string(data.ButtonFlags) +
                   " want " + std::to_string(expectedFlags));
    if (changed != 0) {
        Model.PreviousButtons = data.RawButtons;
    }
    Model.LastX = data.LastX;
    Model.LastY = data.LastY;
}

void RequireSuccess(const HkIoResult& Result, const char* What)
{
    FUZZ_CHECK(Result.Status == STATUS_SUCCESS && Result.Information == 0,
               std::string(What) + " at its full length succeeds, status " + std::to_string(Result.Status));
}

void Run(FuzzInput& In)
{
    FuzzSession session;
    HkRegSetString(FuzzParametersKey, "PortName", "COM1");
    session.Open();
    TOUCH_SETTINGS& settings = session.Settings();

    const uint8_t flags = In.Byte();
    const uint8_t ltrb = In.Byte();
    const uint8_t buttonMode = In.Byte();
    const uint8_t beepEnabled = In.Byte();
    const bool viaFdo = (flags & SettingsThroughFdo) != 0;
    auto control = [&](ULONG Code, const std::vector<uint8_t>& Input) {
        return session.Control(viaFdo, Code, Input, 0);
    };

    if (flags & SendCalibration) {
        const std::vector<uint8_t> cal = In.Padded(CALIBRATION_DATA_LENGTH);
        RequireSuccess(control(IOCTL_TOUCH_SET_CALIBRATION, cal), "calibration");
        FUZZ_CHECK(settings.InvertX == cal[0] && settings.InvertY == cal[1] &&
                       settings.ScaleXInteger == Le16(cal, 2) && settings.ScaleXFraction == Le16(cal, 4) &&
                       static_cast<uint32_t>(settings.OffsetX) == Le32(cal, 6) &&
                       settings.ScaleYInteger == Le16(cal, 10) && settings.ScaleYFraction == Le16(cal, 12) &&
                       static_cast<uint32_t>(settings.OffsetY) == Le32(cal, 14),
                   "calibration stored as sent");
    } else {
        RequireSuccess(control(IOCTL_TOUCH_RESET_CALIBRATION, {}), "calibration reset");
    }
    if (flags & SendFilter) {
        const std::vector<uint8_t> filter = In.Padded(FILTER_DATA_LENGTH);
        RequireSuccess(control(IOCTL_TOUCH_SET_FILTER, filter), "filter");
        FUZZ_CHECK(settings.FilterWeightCurrent == Le16(filter, 0) &&
                       settings.FilterWeightPrevInput == Le16(filter, 2) &&
                       settings.FilterWeightPrevOutput == Le32(filter, 4),
                   "filter stored as sent");
    }
    if (flags & SendMonitorMap) {
        const std::vector<uint8_t> map = In.Padded(MONITOR_MAP_DATA_LENGTH);
        RequireSuccess(control(IOCTL_TOUCH_SET_MULTI_MONITOR, map), "monitor map");
        const LONG* fields[] = {&settings.TouchMonitorOx,     &settings.TouchMonitorOy,
                                &settings.TouchMonitorWidth,  &settings.TouchMonitorHeight,
                                &settings.PrimaryMonitorWidth, &settings.PrimaryMonitorHeight};
        for (size_t i = 0; i < 6; i++) {
            FUZZ_CHECK(static_cast<uint32_t>(*fields[i]) == Le32(map, 4 * i), "monitor map stored as sent");
        }
        FUZZ_CHECK(settings.MultiMonitor == 1, "a monitor map switches the mapping on");
    } else {
        RequireSuccess(control(IOCTL_TOUCH_CLEAR_MULTI_MONITOR, {}), "monitor map clear");
        FUZZ_CHECK(settings.MultiMonitor == 0, "cleared");
    }
    if (flags & SendBeepTone) {
        const std::vector<uint8_t> tone = In.Padded(BEEP_TONE_DATA_LENGTH);
        RequireSuccess(control(IOCTL_TOUCH_SET_BEEP_TONE, tone), "click tone");
        FUZZ_CHECK(settings.BeepDivisor == Le16(tone, 0) && settings.BeepDurationMs == Le32(tone, 2),
                   "click tone stored as sent");
    }
    RequireSuccess(control(IOCTL_TOUCH_SET_LTRB, {ltrb}), "LTRB");
    RequireSuccess(control(IOCTL_TOUCH_SET_BUTTON_MODE, {buttonMode}), "button mode");
    RequireSuccess(control(IOCTL_TOUCH_SET_BEEP_ENABLE, {beepEnabled}), "click enable");
    FUZZ_CHECK(settings.Ltrb == ltrb && settings.ButtonMode == buttonMode && settings.BeepEnabled == beepEnabled,
               "byte settings stored as sent");

    const uint8_t pacing = In.Byte();
    const size_t chunk = 1 + (pacing & 0x0F);
    const int64_t step = int64_t(pacing >> 4) * 10 * 10000; // 0..150 ms between chunks

    RequireSuccess(control(IOCTL_TOUCH_OPEN_PORT, FuzzPortSettings({'C', 'O', 'M', '1'}, 9600)), "open COM1");
    PeerSerialPort& port = *session.Ports.at(0);
    FUZZ_CHECK(port.IsOpen() && port.ReadPending(), "the pump waits for a byte");

    FramingModel model;
    model.BaudRate = settings.BaudRate; // 9600 from the open; line-speed responses change it
    ReportModel reports;
    std::vector<bool> releases; // per expected report: was it a release
    const std::vector<uint8_t> stream = In.Rest();
    const bool bursts = (flags & DeliverInBursts) != 0;

    auto checkAfter = [&]() {
        const std::vector<PeerMouseReport> seen = session.Reports();
        FUZZ_CHECK(session.Extension->PacketState.ByteIndex <= 4, "the parser's index stays in 0..4");
        FUZZ_CHECK(session.Extension->PacketState.ByteIndex == model.Index, "the parser follows the framing");
        FUZZ_CHECK(seen.size() == releases.size(), "a report for every packet whose checksum holds, and no other: " +
                                                       std::to_string(seen.size()) + " reports, " +
                                                       std::to_string(releases.size()) + " valid packets");
    };
    size_t checked = 0;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const std::vector<uint8_t> part(stream.begin() + at, stream.begin() + std::min(stream.size(), at + chunk));
        if (bursts) {
            for (uint8_t byte : part) {
                if (model.Take(byte)) {
                    releases.push_back(model.LastPacketWasRelease());
                }
            }
            port.DeliverBurst(part);
            checkAfter();
        } else {
            for (uint8_t byte : part) {
                if (model.Take(byte)) {
                    releases.push_back(model.LastPacketWasRelease());
                }
                port.Deliver(byte);
                checkAfter();
            }
        }
        const std::vector<PeerMouseReport> seen = session.Reports();
        for (; checked < seen.size(); checked++) {
            CheckReport(seen[checked], releases[checked], buttonMode, reports);
        }
        HkAdvanceClock(step);
    }
    FuzzTrace(std::to_string(stream.size()) + " bytes, " + std::to_string(releases.size()) + " reports, " +
              std::to_string(model.Discarded) + " discarded");
    FUZZ_CHECK(port.ReadPending(), "the pump still waits for the next byte");
    const PACKET_STATE& state = session.Extension->PacketState;
    FUZZ_CHECK(state.DiscardCount == model.Discarded, "stray bytes are counted");
    FUZZ_CHECK(std::memcmp(settings.ControllerInfo, model.ControllerInfo.data(), 4) == 0,
               "controller information as the responses gave it");
    FUZZ_CHECK(settings.BaudRate == model.BaudRate, "line speed as the responses gave it");
    if (beepEnabled == 0) {
        for (const HkPortAccess& access : HkPortWrites()) {
            FUZZ_CHECK(access.Port != SPEAKER_GATE_PORT, "with the click off the speaker gate is left alone");
        }
    }

    RequireSuccess(control(IOCTL_TOUCH_CLOSE_PORT, {}), "close");
    FUZZ_CHECK(!port.IsOpen(), "closed");
    session.Close([&] {
        FUZZ_CHECK((HkPortValue(SPEAKER_GATE_PORT) & SPEAKER_GATE_BITS) == 0, "the speaker is silent after removal");
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzInput in(Data, Size);
    FuzzRun([&] { Run(in); });
    return 0;
}
