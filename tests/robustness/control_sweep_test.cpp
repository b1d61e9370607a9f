// Every control request at every interesting length, from user mode to the
// control device and from a driver above to both devices: each completes
// once, at once, with the status its code and lengths call for, announces
// no more than the caller's buffer holds, and unknown codes change nothing.
#include "robustness.h"

#include <atomic>
#include <cstring>
#include <sstream>

namespace {

using Buffer = std::vector<uint8_t>;

const ULONG TouchCodes[] = {
    IOCTL_TOUCH_SET_PORT,         IOCTL_TOUCH_OPEN_PORT,          IOCTL_TOUCH_CLOSE_PORT,
    IOCTL_TOUCH_SET_CALIBRATION,  IOCTL_TOUCH_RESET_CALIBRATION,  IOCTL_TOUCH_SET_FILTER,
    IOCTL_TOUCH_SET_BEEP_ENABLE,  IOCTL_TOUCH_SET_BEEP_TONE,      IOCTL_TOUCH_SET_BUTTON_MODE,
    IOCTL_TOUCH_GET_CONTROLLER_INFO, IOCTL_TOUCH_GET_DRIVER_INFO, IOCTL_TOUCH_SET_RANGE,
    IOCTL_TOUCH_SET_MULTI_MONITOR, IOCTL_TOUCH_CLEAR_MULTI_MONITOR, IOCTL_TOUCH_SET_LTRB,
};

const std::vector<ULONG>& SweepLengths()
{
    static const std::vector<ULONG> lengths = [] {
        std::vector<ULONG> all;
        for (ULONG length = 0; length <= 64; length++) {
            all.push_back(length);
        }
        all.insert(all.end(), {255, 256, 257, 512, 4096});
        return all;
    }();
    return lengths;
}

bool IsTouchCode(ULONG Code)
{
    return std::find(std::begin(TouchCodes), std::end(TouchCodes), Code) != std::end(TouchCodes);
}

// Random device type, access, function and transfer method.
ULONG RandomCode(std::mt19937& Random)
{
    for (;;) {
        const ULONG code = ((Random() & 0xFFFFu) << 16) | ((Random() & 3u) << 14) | ((Random() & 0xFFFu) << 2) |
                           (Random() & 3u);
        if (!IsTouchCode(code)) {
            return code;
        }
    }
}

struct Expectation {
    NTSTATUS Status;
    ULONG_PTR Information;
};

// What a touch code must answer with no port that its random names can
// match: the minimum lengths, the name bounds, and the lookup's not-found.
Expectation Expected(ULONG Code, const Buffer& In, ULONG Out)
{
    const size_t in = In.size();
    auto needIn = [&](size_t Minimum) { return Expectation{in < Minimum ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS, 0}; };
    switch (Code) {
    case IOCTL_TOUCH_SET_PORT: return {in > PORT_NAME_CHARACTERS ? STATUS_INVALID_PARAMETER : STATUS_NOT_FOUND, 0};
    case IOCTL_TOUCH_OPEN_PORT:
        if (in != 0 && (in < 5 || in < 5u + In[0])) {
            return {STATUS_BUFFER_TOO_SMALL, 0};
        }
        return {STATUS_NOT_FOUND, 0};
    case IOCTL_TOUCH_SET_CALIBRATION: return needIn(CALIBRATION_DATA_LENGTH);
    case IOCTL_TOUCH_SET_FILTER: return needIn(FILTER_DATA_LENGTH);
    case IOCTL_TOUCH_SET_BEEP_ENABLE:
    case IOCTL_TOUCH_SET_BUTTON_MODE:
    case IOCTL_TOUCH_SET_LTRB: return needIn(BYTE_SETTING_LENGTH);
    case IOCTL_TOUCH_SET_BEEP_TONE: return needIn(BEEP_TONE_DATA_LENGTH);
    case IOCTL_TOUCH_SET_RANGE: return needIn(RANGE_DATA_LENGTH);
    case IOCTL_TOUCH_SET_MULTI_MONITOR: return needIn(MONITOR_MAP_DATA_LENGTH);
    case IOCTL_TOUCH_GET_CONTROLLER_INFO:
        return Out < 4 ? Expectation{STATUS_BUFFER_TOO_SMALL, 0} : Expectation{STATUS_SUCCESS, 4};
    case IOCTL_TOUCH_GET_DRIVER_INFO:
        return Out < 3 ? Expectation{STATUS_BUFFER_TOO_SMALL, 0} : Expectation{STATUS_SUCCESS, Out == 3 ? 3u : 4u};
    default: return {STATUS_SUCCESS, 0}; // close, reset calibration, clear multi-monitor
    }
}

bool IsRefusal(NTSTATUS Status)
{
    return Status == STATUS_BUFFER_TOO_SMALL || Status == STATUS_INVALID_PARAMETER ||
           Status == STATUS_INVALID_DEVICE_REQUEST;
}

enum class Route { ControlDeviceFromUserMode, ControlDeviceFromKernel, FdoFromKernel };
const Route Routes[] = {Route::ControlDeviceFromUserMode, Route::ControlDeviceFromKernel, Route::FdoFromKernel};

const char* RouteName(Route R)
{
    switch (R) {
    case Route::ControlDeviceFromUserMode: return "control device from user mode";
    case Route::ControlDeviceFromKernel: return "control device from a driver";
    default: return "FDO from a driver";
    }
}

const uint8_t Fill = 0xA5;

} // namespace

class ControlSweep : public SerialLinkTest {
protected:
    void SetUp() override
    {
        SerialLinkTest::SetUp();
        BringUp();
        ASSERT_EQ(HkOpen("\\\\.\\pelvon", &Handle), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (Handle != nullptr) {
            EXPECT_EQ(HkClose(Handle), STATUS_SUCCESS);
        }
        std::cout << "[ sweep    ] " << Sent << " requests" << std::endl;
        SerialLinkTest::TearDown();
    }

    // Sends one request and checks what holds for every code; returns false
    // (after reporting) when something is wrong, so a broken build stops early.
    bool SendAndCheck(Route To, ULONG Code, const Buffer& In, ULONG Out)
    {
        Sent++;
        TOUCH_SETTINGS before;
        std::memcpy(&before, &Settings(), sizeof before);
        NTSTATUS status;
        ULONG_PTR information;
        bool synchronous = true;
        Buffer output;
        if (To == Route::ControlDeviceFromUserMode) {
            const HkIoResult result = HkDeviceIoControl(Handle, Code, In, Out);
            status = result.Status;
            information = result.Information;
            output = result.Output;
            if (!NT_SUCCESS(status) && information != 0) {
                return Fail(To, Code, In, Out, "failure with Information " + std::to_string(information));
            }
        } else {
            KernelReply reply = SendKernelControl(To == Route::FdoFromKernel ? Fdo : ControlDeviceObject(), Code, In,
                                                  Out, Fill);
            status = reply.Status;
            synchronous = reply.Synchronous;
            information = reply.Information;
            // What the reply did not announce must still be the caller's.
            for (size_t i = std::min<size_t>(information, Out); i < reply.Output.size(); i++) {
                if (reply.Output[i] != Fill) {
                    return Fail(To, Code, In, Out, "output byte " + std::to_string(i) + " written unannounced");
                }
            }
            reply.Output.resize(std::min<size_t>(information, Out));
            output = reply.Output;
        }
        if (!synchronous) {
            return Fail(To, Code, In, Out, "pended");
        }
        if (information > Out) {
            return Fail(To, Code, In, Out, "Information " + std::to_string(information) + " beyond the output");
        }
        const Expectation expected =
            IsTouchCode(Code) ? Expected(Code, In, Out) : Expectation{STATUS_INVALID_DEVICE_REQUEST, 0};
        if (status != expected.Status || (NT_SUCCESS(status) && information != expected.Information)) {
            std::ostringstream text;
            text << "status 0x" << std::hex << status << " Information " << std::dec << information << ", expected 0x"
                 << std::hex << expected.Status << " / " << std::dec << expected.Information;
            return Fail(To, Code, In, Out, text.str());
        }
        if (IsRefusal(status) && std::memcmp(&before, &Settings(), sizeof before) != 0) {
            return Fail(To, Code, In, Out, "refused, yet the settings changed");
        }
        return true;
    }

    bool Fail(Route To, ULONG Code, const Buffer& In, ULONG Out, const std::string& What)
    {
        ADD_FAILURE() << RouteName(To) << ", code 0x" << std::hex << Code << std::dec << ", in " << In.size()
                      << ", out " << Out << ": " << What;
        return ++Failures < 20;
    }

    HANDLE Handle = nullptr;
    size_t Sent = 0;
    size_t Failures = 0;
};

// Unknown codes are refused before anything is looked at: the settings,
// the open port and its running read stay exactly as they were.
TEST_F(ControlSweep, UnknownCodesAtEveryLengthChangeNothing)
{
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    const size_t reads = Port().ReadsReceived();
    const size_t portRequests = Port().ControlRequests().size();
    std::mt19937 random = SeededRandom("unknown control codes", 20240611);
    const std::vector<ULONG>& lengths = SweepLengths();
    const size_t codes = Scaled(1000);
    for (size_t c = 0; c < codes; c++) {
        const ULONG code = RandomCode(random);
        for (Route to : Routes) {
            // Every input length with some output length, and the other way round.
            for (ULONG length : lengths) {
                const ULONG other = lengths[random() % lengths.size()];
                if (!SendAndCheck(to, code, RandomBytes(random, length), other) ||
                    !SendAndCheck(to, code, RandomBytes(random, other), length)) {
                    return;
                }
            }
        }
    }
    EXPECT_EQ(Port().ReadsReceived(), reads);
    EXPECT_EQ(Port().ControlRequests().size(), portRequests);
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 1u);
}

// The fifteen codes with every pairing of input and output length and
// random contents; the names they carry never match a port.
TEST_F(ControlSweep, TouchCodesAtEveryPairOfLengths)
{
    std::mt19937 random = SeededRandom("touch control codes", 20240612);
    const std::vector<ULONG>& lengths = SweepLengths();
    // Under a reduced scale only every n-th output length is paired.
    const size_t step = std::max<size_t>(1, static_cast<size_t>(1.0 / RobustnessScale()));
    for (ULONG code : TouchCodes) {
        for (Route to : Routes) {
            for (ULONG in : lengths) {
                for (size_t o = (in % step); o < lengths.size(); o += step) {
                    if (!SendAndCheck(to, code, RandomBytes(random, in), lengths[o])) {
                        return;
                    }
                }
            }
        }
    }
    EXPECT_FALSE(Port().IsOpen());
    EXPECT_EQ(RemoveLockHolds(), 0u);
    // Still fully working after the sweep.
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_LTRB, {1}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_FILTER, {0, 0, 0, 0, 0, 0, 0, 0}).Status, STATUS_SUCCESS);
    Port().Deliver(TouchBurst(3));
    EXPECT_EQ(Reports().size(), 3u);
}

class ControlDeviceRequests : public SerialLinkTest {};

// Requests the driver has no routine for are answered by the default
// dispatch; opens with a path below the device name are opens all the same.
TEST_F(ControlDeviceRequests, OtherRequestsGetADefiniteStatus)
{
    BringUp();
    for (const char* name : {"\\\\.\\pelvon\\x", "\\Device\\pelvon\\x\\y", "\\DosDevices\\pelvon\\x"}) {
        HANDLE handle = nullptr;
        ASSERT_EQ(HkOpen(name, &handle), STATUS_SUCCESS) << name;
        for (ULONG length : {0u, 1u, 16u, 4096u}) {
            for (const HkIoResult& result : {HkRead(handle, length), HkWrite(handle, Buffer(length, 0x5A)),
                                             HkQueryInformation(handle, 5 /* FileStandardInformation */, length)}) {
                EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST) << name << " length " << length;
                EXPECT_EQ(result.Information, 0u);
            }
        }
        EXPECT_EQ(HkDeviceIoControl(handle, IOCTL_TOUCH_GET_DRIVER_INFO, {}, 4).Status, STATUS_SUCCESS);
        EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(HkOpenCount(ControlDeviceObject()), 0);
}

TEST_F(ControlDeviceRequests, OpenClosePairsFromSeveralThreadsLeaveNothingBehind)
{
    BringUp();
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    const char* const names[] = {"\\\\.\\pelvon", "\\DosDevices\\pelvon", "\\Device\\pelvon", "\\\\.\\pelvon\\x"};
    const size_t threads = 4;
    const size_t pairs = Scaled(10000);
    std::atomic<size_t> failures{0};
    for (size_t t = 0; t < threads; t++) {
        HkRunAsync(
            [&, t] {
                for (size_t i = t; i < pairs; i += threads) {
                    HANDLE handle = nullptr;
                    if (HkOpen(names[i % 4], &handle) != STATUS_SUCCESS) {
                        failures++;
                        continue;
                    }
                    if (i % 16 == 0 && HkDeviceIoControl(handle, IOCTL_TOUCH_GET_DRIVER_INFO, {}, 4).Status != 0) {
                        failures++;
                    }
                    if (HkClose(handle) != STATUS_SUCCESS) {
                        failures++;
                    }
                }
            },
            PASSIVE_LEVEL);
    }
    HkWaitAsyncIdle();
    std::cout << "[ opens    ] " << pairs << " open/close pairs on " << threads << " threads" << std::endl;
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_EQ(HkOpenCount(ControlDeviceObject()), 0);
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 1u);
}
