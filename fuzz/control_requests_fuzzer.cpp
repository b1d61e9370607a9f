// Control requests with fuzzed codes, lengths and contents, sent to the
// control device, to the FDO through a handle and to the FDO as a request
// built by hand. A failed request must leave the settings as they were (the
// port requests excepted, which store the name and line speed before the
// open that fails), and no request reports more output than was asked for.
//
// Input: records of [target, code choice, (code), input length (2),
// output length (2), input bytes], until the input ends.
#include "fuzz_session.h"

#include <algorithm>
#include <cstring>

namespace {

const ULONG TouchCodes[] = {
    IOCTL_TOUCH_SET_PORT,           IOCTL_TOUCH_OPEN_PORT,        IOCTL_TOUCH_CLOSE_PORT,
    IOCTL_TOUCH_SET_CALIBRATION,    IOCTL_TOUCH_RESET_CALIBRATION, IOCTL_TOUCH_SET_FILTER,
    IOCTL_TOUCH_SET_BEEP_ENABLE,    IOCTL_TOUCH_SET_BEEP_TONE,    IOCTL_TOUCH_SET_BUTTON_MODE,
    IOCTL_TOUCH_GET_CONTROLLER_INFO, IOCTL_TOUCH_GET_DRIVER_INFO, IOCTL_TOUCH_SET_RANGE,
    IOCTL_TOUCH_SET_MULTI_MONITOR,  IOCTL_TOUCH_CLEAR_MULTI_MONITOR, IOCTL_TOUCH_SET_LTRB,
};
const size_t TouchCodeCount = sizeof(TouchCodes) / sizeof(TouchCodes[0]);
const size_t MaximumRequests = 24;

bool IsTouchCode(ULONG Code)
{
    return std::find(std::begin(TouchCodes), std::end(TouchCodes), Code) != std::end(TouchCodes);
}

// One of the fifteen, a neighbour (next function, other method or access,
// other device type), or any code at all.
ULONG ChooseCode(FuzzInput& In)
{
    const uint8_t choice = In.Byte();
    if (choice < 0x80) {
        return TouchCodes[choice % TouchCodeCount];
    }
    if (choice < 0xF0) {
        const ULONG base = TouchCodes[choice % TouchCodeCount];
        switch (In.Byte() % 6) {
        case 0: return base + 4;
        case 1: return base - 4;
        case 2: return base | 3;                    // METHOD_NEITHER
        case 3: return base | (1u << 14);           // FILE_READ_ACCESS
        case 4: return base ^ (1u << 16);           // other device type
        default: return base ^ (1u << (In.Byte() % 32));
        }
    }
    return In.Le32();
}

// The minimum input of the requests that decode a layout.
ULONG MinimumInput(ULONG Code)
{
    switch (Code) {
    case IOCTL_TOUCH_SET_CALIBRATION: return CALIBRATION_DATA_LENGTH;
    case IOCTL_TOUCH_SET_FILTER: return FILTER_DATA_LENGTH;
    case IOCTL_TOUCH_SET_BEEP_TONE: return BEEP_TONE_DATA_LENGTH;
    case IOCTL_TOUCH_SET_RANGE: return RANGE_DATA_LENGTH;
    case IOCTL_TOUCH_SET_MULTI_MONITOR: return MONITOR_MAP_DATA_LENGTH;
    case IOCTL_TOUCH_SET_BEEP_ENABLE:
    case IOCTL_TOUCH_SET_BUTTON_MODE:
    case IOCTL_TOUCH_SET_LTRB: return BYTE_SETTING_LENGTH;
    default: return 0;
    }
}

const size_t PortNameOffset = offsetof(TOUCH_SETTINGS, PortNameBuffer);
const size_t PortNameBytes = sizeof(((TOUCH_SETTINGS*)nullptr)->PortNameBuffer);
const size_t BaudRateOffset = offsetof(TOUCH_SETTINGS, BaudRate);

// The settings with the port name and line speed blanked out.
std::vector<uint8_t> WithoutPortFields(std::vector<uint8_t> Settings)
{
    std::fill_n(Settings.begin() + PortNameOffset, PortNameBytes, 0);
    std::fill_n(Settings.begin() + BaudRateOffset, sizeof(ULONG), 0);
    return Settings;
}

WCHAR Upcase(WCHAR Character)
{
    return RtlUpcaseUnicodeChar(Character);
}

// The stored name is the requested one widened and NUL-padded; the lookup
// may have upper-cased it in place.
void CheckStoredName(const TOUCH_SETTINGS& Settings, const std::vector<uint8_t>& Name)
{
    for (size_t i = 0; i < PORT_NAME_CHARACTERS; i++) {
        const WCHAR expected = i < Name.size() ? static_cast<WCHAR>(Name[i]) : 0;
        FUZZ_CHECK(Upcase(Settings.PortNameBuffer[i]) == Upcase(expected),
                   "the port name is stored as sent, character " + std::to_string(i));
    }
}

void CheckReply(ULONG Code, const HkIoResult& Result, ULONG OutputLength, const TOUCH_SETTINGS& Settings)
{
    if (Code == IOCTL_TOUCH_GET_CONTROLLER_INFO) {
        FUZZ_CHECK((Result.Status == STATUS_SUCCESS) == (OutputLength >= CONTROLLER_INFO_REPLY_LENGTH),
                   "controller information needs 4 bytes of output");
        if (NT_SUCCESS(Result.Status)) {
            const std::vector<uint8_t> expected{Settings.ControllerInfo[0], Settings.ControllerInfo[1], 1, 0};
            FUZZ_CHECK(Result.Information == 4 && Result.Output == expected, "controller information reply");
        }
        return;
    }
    if (Code == IOCTL_TOUCH_GET_DRIVER_INFO) {
        FUZZ_CHECK((Result.Status == STATUS_SUCCESS) == (OutputLength >= DRIVER_INFO_REPLY_LENGTH),
                   "driver information needs 3 bytes of output");
        if (NT_SUCCESS(Result.Status)) {
            std::vector<uint8_t> expected{2, 1, 5, 0};
            expected.resize(OutputLength == 3 ? 3 : 4);
            FUZZ_CHECK(Result.Information == expected.size() && Result.Output == expected, "driver information reply");
        }
        return;
    }
    if (NT_SUCCESS(Result.Status)) {
        FUZZ_CHECK(Result.Information == 0, "a request without a reply returns no bytes");
    }
}

void SendOne(FuzzSession& Session, FuzzInput& In)
{
    const uint8_t target = In.Byte() % 3;
    const ULONG code = ChooseCode(In);
    const ULONG inputLength = In.Le16() % 4097;
    const ULONG outputLength = In.Le16() % 4097;
    std::vector<uint8_t> input = In.Bytes(inputLength);
    input.resize(inputLength, 0);

    const std::vector<uint8_t> before = Session.SettingsBytes();
    const PDEVICE_OBJECT portBefore = Session.Extension->SerialDevice;
    const HkIoResult result = target == 2 ? Session.ControlIrp(code, input, outputLength)
                                          : Session.Control(target == 1, code, input, outputLength);
    const std::vector<uint8_t> after = Session.SettingsBytes();
    const TOUCH_SETTINGS& settings = Session.Settings();
    const std::string what = "code " + std::to_string(code) + " in " + std::to_string(inputLength) + " out " +
                             std::to_string(outputLength) + " status " + std::to_string(result.Status);

    FuzzTrace("target " + std::to_string(target) + " " + what);
    FUZZ_CHECK(result.Status != STATUS_PENDING, "control requests complete at once; " + what);
    FUZZ_CHECK(result.Information <= outputLength, "never more output than asked for; " + what);
    FUZZ_CHECK(result.Output.size() <= outputLength, what);
    if (!IsTouchCode(code)) {
        FUZZ_CHECK(result.Status == STATUS_INVALID_DEVICE_REQUEST && result.Information == 0,
                   "unknown codes are refused; " + what);
    }
    if (const ULONG minimum = MinimumInput(code); minimum != 0) {
        FUZZ_CHECK(NT_SUCCESS(result.Status) == (inputLength >= minimum), "succeeds exactly at its length; " + what);
    }
    CheckReply(code, result, outputLength, settings);

    const bool portRequest = code == IOCTL_TOUCH_SET_PORT || code == IOCTL_TOUCH_OPEN_PORT;
    if (NT_SUCCESS(result.Status)) {
        if (portRequest) {
            FUZZ_CHECK(Session.Extension->SerialDevice != nullptr, "a port is open after a successful open");
        }
        if (code == IOCTL_TOUCH_CLOSE_PORT) {
            FUZZ_CHECK(Session.Extension->SerialDevice == nullptr && before == after, "closing changes no setting");
        }
        return;
    }
    // A refusal before the port is touched changes nothing at all.
    const bool refusedUpFront =
        !portRequest || (code == IOCTL_TOUCH_SET_PORT && result.Status == STATUS_INVALID_PARAMETER) ||
        (code == IOCTL_TOUCH_OPEN_PORT && result.Status == STATUS_BUFFER_TOO_SMALL);
    if (refusedUpFront) {
        FUZZ_CHECK(before == after, "a failed request leaves the settings as they were; " + what);
        if (code == IOCTL_TOUCH_SET_PORT) {
            FUZZ_CHECK(inputLength > PORT_NAME_CHARACTERS, "only an over-long name is refused; " + what);
        }
        if (code == IOCTL_TOUCH_OPEN_PORT) {
            FUZZ_CHECK(inputLength != 0 && inputLength < PORT_SETTINGS_DATA_LENGTH(input[0]),
                       "only short port settings are refused; " + what);
        }
        return;
    }
    // The open itself failed: the name (and line speed) were stored first.
    FUZZ_CHECK(WithoutPortFields(before) == WithoutPortFields(after),
               "a failed open changes nothing but the port name and line speed; " + what);
    if (result.Status == STATUS_NOT_FOUND) {
        // A start that fails keeps the port it opened. A lookup that fails
        // holds none after setting the port, which closes first, and leaves
        // the port in use running after opening one.
        const PDEVICE_OBJECT expected = code == IOCTL_TOUCH_SET_PORT ? nullptr : portBefore;
        FUZZ_CHECK(Session.Extension->SerialDevice == expected, "a failed lookup keeps the right port; " + what);
    }
    if (code == IOCTL_TOUCH_SET_PORT) {
        CheckStoredName(settings, input);
        FUZZ_CHECK(std::memcmp(&before[BaudRateOffset], &after[BaudRateOffset], sizeof(ULONG)) == 0,
                   "setting the port keeps the line speed");
    } else if (inputLength != 0) {
        const uint8_t nameLength = input[0];
        CheckStoredName(settings, std::vector<uint8_t>(input.begin() + 1, input.begin() + 1 + nameLength));
        ULONG baud;
        std::memcpy(&baud, &input[PORT_SETTINGS_BAUD_OFFSET(nameLength)], sizeof(baud));
        FUZZ_CHECK(settings.BaudRate == baud, "the line speed is stored as sent");
    } else {
        FUZZ_CHECK(std::memcmp(&before[BaudRateOffset], &after[BaudRateOffset], sizeof(ULONG)) == 0,
                   "an open without settings keeps the line speed");
    }
}

void Run(FuzzInput& In)
{
    FuzzSession session;
    session.Open();
    for (size_t i = 0; i < MaximumRequests && !In.Empty(); i++) {
        SendOne(session, In);
    }
    session.Close();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzInput in(Data, Size);
    FuzzRun([&] { Run(in); });
    return 0;
}
