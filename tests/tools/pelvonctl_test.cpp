#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "pelvonctl_calibration.h"
#include "pelvonctl_commands.h"
#include "pelvonctl_status.h"
#include "touch_core.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ParseHex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return bytes;
}

// A transport that records every request and answers from a script.
struct FakeDriver {
    std::vector<PelvonctlRequest> Sent;
    std::vector<PelvonctlReply> Replies; // consumed in order; success when they run out

    PelvonctlTransport Transport()
    {
        PelvonctlTransport transport;
        transport.Send = [this](const PelvonctlRequest& request) {
            Sent.push_back(request);
            if (Replies.empty()) {
                return PelvonctlReply{};
            }
            PelvonctlReply reply = Replies.front();
            Replies.erase(Replies.begin());
            return reply;
        };
        return transport;
    }
};

struct RunResult {
    int ExitCode;
    std::string Out;
    std::string Err;
};

RunResult RunTool(const std::vector<std::string>& args, FakeDriver& driver)
{
    PelvonctlTransport transport = driver.Transport();
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunPelvonctl(args, transport, out, err);
    return {code, out.str(), err.str()};
}

// ------------------------------------------------------------ request bytes

struct RequestCase {
    std::vector<std::string> Args;
    std::uint32_t Code;
    const char* Input;
};

void PrintTo(const RequestCase& c, std::ostream* os)
{
    for (const std::string& a : c.Args) {
        *os << a << ' ';
    }
}

class CommandBytes : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CommandBytes, SendsExactlyOneRequestWithTheseBytes)
{
    FakeDriver driver;
    const RunResult result = RunTool(GetParam().Args, driver);
    ASSERT_EQ(result.ExitCode, PelvonctlExitSuccess) << result.Err;
    ASSERT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(driver.Sent[0].Code, GetParam().Code) << std::hex << driver.Sent[0].Code;
    EXPECT_EQ(pelvonctl::HexBytes(driver.Sent[0].Input), pelvonctl::HexBytes(ParseHex(GetParam().Input)));
    EXPECT_EQ(driver.Sent[0].OutputLength, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Pelvonctl, CommandBytes,
    ::testing::Values(
        RequestCase{{"open-port", "COM1", "--baud", "19200"}, 0x001A2018, "04 43 4F 4D 31 00 4B 00 00"},
        RequestCase{{"open-port", "COM2"}, 0x001A2018, "04 43 4F 4D 32 00 4B 00 00"},
        RequestCase{{"open-port", "COM3", "--baud=9600"}, 0x001A2018, "04 43 4F 4D 33 80 25 00 00"},
        RequestCase{{"open-port"}, 0x001A2018, ""},
        RequestCase{{"set-port", "COM2"}, 0x001A2014, "43 4F 4D 32"},
        RequestCase{{"close-port"}, 0x001A201C, ""},
        RequestCase{{"calibration", "--invert-x", "--invert-y", "--scale-x", "1.25", "--scale-y", "1.0", "--offset-x",
                     "-4096", "--offset-y", "0"},
                    0x001A2030, "01 01 01 00 00 40 00 F0 FF FF 01 00 00 00 00 00 00 00"},
        RequestCase{{"calibration", "--invert-x", "--scale-x", "2.5", "--offset-x", "16", "--offset-y", "-16"},
                    0x001A2030, "01 00 02 00 00 80 10 00 00 00 01 00 00 00 F0 FF FF FF"},
        // Rounding to the nearest 1/65536, raw 16.16 values and the range ends.
        RequestCase{{"calibration", "--scale-x", "0.00001", "--scale-y", "0x00018000"}, 0x001A2030,
                    "00 00 00 00 01 00 00 00 00 00 01 00 00 80 00 00 00 00"},
        RequestCase{{"calibration", "--scale-x", "65535.99998", "--scale-y", "0", "--offset-x", "-2147483648",
                     "--offset-y", "2147483647"},
                    0x001A2030, "00 00 FF FF FF FF 00 00 00 80 00 00 00 00 FF FF FF 7F"},
        RequestCase{{"reset-calibration"}, 0x001A2058, ""},
        RequestCase{{"filter", "--current", "0.5", "--previous-input", "0.5", "--previous-output", "0"}, 0x001A2080,
                    "00 80 00 80 00 00 00 00"},
        RequestCase{{"filter", "--current", "0x4000", "--previous-input", "0xC000"}, 0x001A2080,
                    "00 40 00 C0 00 00 00 00"},
        RequestCase{{"filter", "--current", "0.25", "--previous-input", "0.25", "--previous-output", "0.5"},
                    0x001A2080, "00 40 00 40 00 80 00 00"},
        RequestCase{{"click", "on"}, 0x001A20A8, "01"},
        RequestCase{{"click", "off"}, 0x001A20A8, "00"},
        RequestCase{{"click-tone", "--hz", "1000", "--ms", "50"}, 0x001A20D0, "A9 04 32 00 00 00"},
        RequestCase{{"click-tone", "--divisor", "0x1234", "--ms", "0x10000"}, 0x001A20D0, "34 12 00 00 01 00"},
        RequestCase{{"buttons", "left"}, 0x001A20F8, "01"},
        RequestCase{{"buttons", "right"}, 0x001A20F8, "02"},
        RequestCase{{"buttons", "middle"}, 0x001A20F8, "04"},
        RequestCase{{"buttons", "255"}, 0x001A20F8, "FF"},
        RequestCase{{"monitor", "-1280", "0", "1280", "1024", "2560", "1024"}, 0x001A2170,
                    "00 FB FF FF 00 00 00 00 00 05 00 00 00 04 00 00 00 0A 00 00 00 04 00 00"},
        RequestCase{{"monitor", "off"}, 0x001A2198, ""},
        RequestCase{{"orientation", "swapped"}, 0x001A21C0, "00"},
        RequestCase{{"orientation", "as-is"}, 0x001A21C0, "01"},
        RequestCase{{"range", "0", "65535", "1", "0xFFFFFFFF"}, 0x001A2148,
                    "00 00 00 00 FF FF 00 00 01 00 00 00 FF FF FF FF"}));

TEST(Pelvonctl, PortNamesUpToTheDriversLimitsAreSent)
{
    FakeDriver driver;
    ASSERT_EQ(RunTool({"set-port", std::string(256, 'P')}, driver).ExitCode, PelvonctlExitSuccess);
    ASSERT_EQ(RunTool({"open-port", std::string(255, 'P')}, driver).ExitCode, PelvonctlExitSuccess);
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[0].Input.size(), 256u);
    EXPECT_EQ(driver.Sent[1].Input.size(), 260u);
    EXPECT_EQ(driver.Sent[1].Input[0], 255);
}

TEST(Pelvonctl, InfoAsksForFourBytesOfEachIdentification)
{
    FakeDriver driver;
    ASSERT_EQ(RunTool({"info"}, driver).ExitCode, PelvonctlExitSuccess);
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[0].Code, 0x001A2120u);
    EXPECT_EQ(driver.Sent[1].Code, 0x001A2124u);
    EXPECT_EQ(driver.Sent[0].OutputLength, 4u);
    EXPECT_EQ(driver.Sent[1].OutputLength, 4u);
    EXPECT_TRUE(driver.Sent[0].Input.empty() && driver.Sent[1].Input.empty());
}

TEST(Pelvonctl, DryRunPrintsRequestsWithoutSending)
{
    FakeDriver driver;
    const RunResult result = RunTool({"--dry-run", "open-port", "COM1", "--baud", "19200"}, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitSuccess);
    EXPECT_TRUE(driver.Sent.empty());
    EXPECT_EQ(result.Out, "IOCTL_TOUCH_OPEN_PORT (0x001A2018) in 9: 04 43 4F 4D 31 00 4B 00 00, out 0\n");
}

TEST(Pelvonctl, HelpNamesEveryCommand)
{
    FakeDriver driver;
    const RunResult result = RunTool({"--help"}, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitSuccess);
    for (const char* command : {"open-port", "set-port", "close-port", "calibration", "reset-calibration",
                                "calibrate-points", "filter", "click", "click-tone", "buttons", "monitor",
                                "orientation", "range", "info"}) {
        const std::string entry = "\n  " + std::string(command);
        EXPECT_TRUE(result.Out.find(entry + " ") != std::string::npos || result.Out.find(entry + "\n") != std::string::npos)
            << command;
    }
    EXPECT_TRUE(driver.Sent.empty());
}

// A request that was sent still ends in 4 when its report is lost.
TEST(Pelvonctl, OutputThatCannotBeWrittenExitsFour)
{
    FakeDriver driver;
    PelvonctlTransport transport = driver.Transport();
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 std::vector<std::string>{"--dry-run", "click", "on"},
                                                 std::vector<std::string>{"click", "on"}}) {
        std::ostream broken(nullptr); // every write fails
        std::ostringstream err;
        EXPECT_EQ(RunPelvonctl(args, transport, broken, err), PelvonctlExitOutputFailed) << args[0];
        EXPECT_NE(err.str().find("pelvonctl: cannot write the standard output"), std::string::npos) << err.str();
    }
    EXPECT_EQ(driver.Sent.size(), 1u);
    std::ostringstream out;
    std::ostream broken(nullptr);
    EXPECT_EQ(RunPelvonctl({"frobnicate"}, transport, out, broken), PelvonctlExitOutputFailed);
}

// ------------------------------------------------------------ bad arguments

struct BadCase {
    std::vector<std::string> Args;
    const char* Message; // what the error must say, naming the bad argument
};

void PrintTo(const BadCase& c, std::ostream* os)
{
    for (const std::string& a : c.Args) {
        *os << a << ' ';
    }
}

class BadArguments : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadArguments, ExitWithUsageErrorAndSendNothing)
{
    FakeDriver driver;
    const RunResult result = RunTool(GetParam().Args, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitUsage);
    EXPECT_NE(result.Err.find(GetParam().Message), std::string::npos) << result.Err;
    EXPECT_TRUE(result.Out.empty()) << result.Out;
    EXPECT_TRUE(driver.Sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Pelvonctl, BadArguments,
    ::testing::Values(
        BadCase{{}, "no command"}, BadCase{{"frobnicate"}, "unknown command 'frobnicate'"},
        BadCase{{"open-port", "COM1", "--baud", "fast"}, "bad --baud 'fast'"},
        BadCase{{"open-port", "COM1", "--baud", "0"}, "bad --baud '0'"},
        BadCase{{"open-port", "COM1", "--baud"}, "--baud needs a value"},
        BadCase{{"open-port", "--baud", "9600"}, "--baud needs a port name"},
        BadCase{{"open-port", std::string(256, 'P')}, "bad port name"},
        BadCase{{"open-port", "COM1", "COM2"}, "unexpected argument 'COM2'"},
        BadCase{{"set-port"}, "set-port needs NAME"}, BadCase{{"set-port", std::string(257, 'P')}, "bad port name"},
        BadCase{{"set-port", "CÖM1"}, "bad port name"},
        BadCase{{"calibration", "--scale-x", "-1"}, "bad --scale-x '-1'"},
        BadCase{{"calibration", "--scale-y", "65536"}, "bad --scale-y '65536'"},
        BadCase{{"calibration", "--scale-x", "1.2.3"}, "bad --scale-x"},
        BadCase{{"calibration", "--offset-x", "2147483648"}, "bad --offset-x '2147483648'"},
        BadCase{{"calibration", "--offset-y", "-2147483649"}, "bad --offset-y"},
        BadCase{{"calibration", "--bogus"}, "unknown option '--bogus' for calibration"},
        BadCase{{"calibration", "--invert-x", "--invert-x"}, "--invert-x given twice"},
        BadCase{{"filter", "--current", "1"}, "bad --current '1'"},
        BadCase{{"filter", "--previous-input", "0x10000"}, "bad --previous-input"},
        BadCase{{"click", "maybe"}, "bad argument 'maybe' for click"}, BadCase{{"click"}, "click needs on|off"},
        BadCase{{"click-tone", "--hz", "10", "--ms", "50"}, "bad --hz '10'"},
        BadCase{{"click-tone", "--hz", "0", "--ms", "50"}, "bad --hz '0'"},
        BadCase{{"click-tone", "--divisor", "0", "--ms", "50"}, "bad --divisor '0'"},
        BadCase{{"click-tone", "--hz", "1000", "--divisor", "5", "--ms", "50"}, "either --hz or --divisor"},
        BadCase{{"click-tone", "--hz", "1000"}, "needs --ms"},
        BadCase{{"buttons", "256"}, "bad button '256'"}, BadCase{{"buttons", "thumb"}, "bad button 'thumb'"},
        BadCase{{"monitor", "0", "0", "1024", "768", "0", "768"}, "bad PW"},
        BadCase{{"monitor", "0", "0", "1024", "768", "1024", "x"}, "bad PH (primary height) 'x'"},
        BadCase{{"monitor", "1", "2"}, "six numbers"},
        BadCase{{"orientation", "sideways"}, "bad argument 'sideways' for orientation"},
        BadCase{{"range", "1", "2", "3"}, "range needs A B C D"},
        BadCase{{"range", "1", "2", "3", "-4"}, "bad range value D '-4'"},
        BadCase{{"info", "now"}, "unexpected argument 'now'"},
        BadCase{{"calibrate-points", "1,1=0,0"}, "at least two points"},
        BadCase{{"calibrate-points", "4096,0=0,0", "0,0=1,1"}, "bad point '4096,0=0,0'"},
        BadCase{{"calibrate-points", "1,1=65536,0", "0,0=1,1"}, "bad point '1,1=65536,0'"},
        BadCase{{"calibrate-points", "100,100=0,0", "100,900=0,9000"}, "do not differ"},
        BadCase{{"calibrate-points", "100,100=5,0", "900,900=5,9000"}, "scale is 0"},
        BadCase{{"calibrate-points", "1,1=0,0", "2,2=1,1", "--orientation", "upside-down"},
                "bad argument 'upside-down' for --orientation"}));

// ------------------------------------------------------------ statuses

TEST(PelvonctlStatus, MapsEveryDriverStatusToItsNameAndWin32Error)
{
    struct Expected {
        std::uint32_t Nt;
        const char* Name;
        std::uint32_t Win32;
    };
    const Expected table[] = {
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST", 1}, {0xC0000023, "STATUS_BUFFER_TOO_SMALL", 122},
        {0xC000000D, "STATUS_INVALID_PARAMETER", 87},     {0xC0000225, "STATUS_NOT_FOUND", 1168},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES", 1450}, {0xC0000001, "STATUS_UNSUCCESSFUL", 31},
        {0xC0000022, "STATUS_ACCESS_DENIED", 5},          {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND", 2},
        {0xC00002B6, "STATUS_DEVICE_REMOVED", 1617},      {0xC0000056, "STATUS_DELETE_PENDING", 5},
        {0xC0000120, "STATUS_CANCELLED", 995},
    };
    for (const Expected& e : table) {
        const auto found = pelvonctl::FindNtStatus(e.Nt);
        ASSERT_TRUE(found.has_value()) << e.Name;
        EXPECT_STREQ(found->NtName, e.Name);
        EXPECT_EQ(found->Win32Error, e.Win32) << e.Name;
        // And back: the Win32 error leads to this status among its sources.
        bool leadsBack = false;
        for (const auto& m : pelvonctl::FindWin32Error(e.Win32)) {
            leadsBack |= m.NtStatus == e.Nt;
        }
        EXPECT_TRUE(leadsBack) << e.Name;
    }
    EXPECT_EQ(pelvonctl::FindWin32Error(5).size(), 2u);
    EXPECT_EQ(pelvonctl::DescribeWin32Error(5),
              "Win32 error 5 ERROR_ACCESS_DENIED (from STATUS_ACCESS_DENIED 0xC0000022 or STATUS_DELETE_PENDING "
              "0xC0000056)");
    EXPECT_EQ(pelvonctl::DescribeNtStatus(0xC0000023),
              "STATUS_BUFFER_TOO_SMALL (0xC0000023), Win32 error 122 ERROR_INSUFFICIENT_BUFFER");
    EXPECT_EQ(pelvonctl::DescribeNtStatus(0xC0001234), "NTSTATUS 0xC0001234");
}

TEST(PelvonctlStatus, AFailedRequestIsReportedWithStatusAndHint)
{
    FakeDriver driver;
    PelvonctlReply notFound;
    notFound.Status = 0xC0000225;
    driver.Replies = {notFound};
    const RunResult result = RunTool({"open-port", "COM7"}, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitRequestFailed);
    EXPECT_NE(result.Err.find("IOCTL_TOUCH_OPEN_PORT completed with STATUS_NOT_FOUND (0xC0000225), Win32 error 1168 "
                              "ERROR_NOT_FOUND"),
              std::string::npos)
        << result.Err;
    EXPECT_NE(result.Err.find("COM7"), std::string::npos) << result.Err;
    EXPECT_TRUE(result.Out.empty());
}

TEST(PelvonctlStatus, AWin32ErrorNamesTheStatusesBehindIt)
{
    FakeDriver driver;
    PelvonctlReply tooSmall;
    tooSmall.Kind = PelvonctlStatusKind::Win32Error;
    tooSmall.Status = 122;
    driver.Replies = {tooSmall};
    const RunResult result = RunTool({"info"}, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitRequestFailed);
    EXPECT_NE(result.Err.find("Win32 error 122 ERROR_INSUFFICIENT_BUFFER (from STATUS_BUFFER_TOO_SMALL 0xC0000023)"),
              std::string::npos)
        << result.Err;
    EXPECT_EQ(driver.Sent.size(), 1u) << "stops at the first failure";
}

TEST(PelvonctlStatus, AnUnreachableDriverSaysWhy)
{
    FakeDriver driver;
    PelvonctlReply unreachable;
    unreachable.Kind = PelvonctlStatusKind::Win32Error;
    unreachable.Status = 2;
    unreachable.Unreachable = "cannot open \\\\.\\pelvon";
    driver.Replies = {unreachable};
    const RunResult result = RunTool({"close-port"}, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitRequestFailed);
    EXPECT_NE(result.Err.find("cannot open \\\\.\\pelvon: Win32 error 2 ERROR_FILE_NOT_FOUND"), std::string::npos)
        << result.Err;
}

// ------------------------------------------------------------ info

PelvonctlReply Reply(const Bytes& output)
{
    PelvonctlReply reply;
    reply.Information = static_cast<std::uint32_t>(output.size());
    reply.Output = output;
    return reply;
}

TEST(PelvonctlInfo, ShowsBothIdentifications)
{
    FakeDriver driver;
    driver.Replies = {Reply({0x05, 0x21, 0x01, 0x00}), Reply({0x02, 0x01, 0x05, 0x00})};
    const RunResult result = RunTool({"info"}, driver);
    EXPECT_EQ(result.ExitCode, PelvonctlExitSuccess) << result.Err;
    EXPECT_EQ(result.Out, "controller: identification 5.33 (reply 05 21 01 00)\n"
                          "driver: version 2.1.5 (reply 02 01 05 00)\n");
}

TEST(PelvonctlInfo, SaysWhenTheControllerHasNotAnsweredAndCopesWithShortReplies)
{
    FakeDriver driver;
    PelvonctlReply driverInfo = Reply({0x02, 0x01, 0x05, 0xEE});
    driverInfo.Information = 3; // only what the driver counted is shown
    driver.Replies = {Reply({0x00, 0x00, 0x01, 0x00}), driverInfo};
    EXPECT_EQ(RunTool({"info"}, driver).Out, "controller: not reported yet (reply 00 00 01 00)\n"
                                         "driver: version 2.1.5 (reply 02 01 05)\n");

    driver.Replies = {Reply({0x07}), Reply({0x02, 0x01})};
    EXPECT_EQ(RunTool({"info"}, driver).Out, "controller: short reply (reply 07)\n"
                                         "driver: short reply (reply 02 01)\n");
}

// ------------------------------------------------------------ calibrate-points

struct KnownAxis {
    double Scale; // signed: negative means inverted
    double Offset;
};

struct KnownCalibration {
    KnownAxis X, Y;
    bool Swapped;
};

// Raw positions the user touched: a 3x3 grid well inside the panel.
std::vector<std::pair<std::uint32_t, std::uint32_t>> TouchedGrid()
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> grid;
    for (std::uint32_t x : {500u, 1800u, 3100u}) {
        for (std::uint32_t y : {450u, 1700u, 3000u}) {
            grid.emplace_back(x, y);
        }
    }
    return grid;
}

std::uint32_t AxisInput(bool swapped, bool xAxis, std::uint32_t rawX, std::uint32_t rawY)
{
    if (!swapped) {
        return (xAxis ? rawX : rawY) << 4;
    }
    return 0xFFFF - ((xAxis ? rawY : rawX) << 4);
}

// The report the driver produces for a first touch at a raw position.
std::pair<LONG, LONG> DriverReport(const Bytes& calibration, bool swapped, std::uint32_t rawX, std::uint32_t rawY)
{
    TOUCH_SETTINGS settings{};
    SetDefaultTouchSettings(&settings);
    settings.Ltrb = swapped ? 0 : 1;
    DecodeCalibrationData(calibration.data(), &settings);
    PACKET_STATE state{};
    UCHAR* p = state.Packet;
    p[0] = static_cast<UCHAR>(0x40 | (rawX >> 6));
    p[1] = static_cast<UCHAR>(rawX & 0x3F);
    p[2] = static_cast<UCHAR>(rawY >> 6);
    p[3] = static_cast<UCHAR>(rawY & 0x3F);
    p[4] = static_cast<UCHAR>((p[0] + p[1] + p[2] + p[3]) & 0x3F);
    MOUSE_INPUT_DATA report{};
    ProcessTouchPacket(&settings, &report, &state);
    return {report.LastX, report.LastY};
}

void PrintTo(const KnownCalibration& c, std::ostream* os)
{
    *os << "x " << c.X.Scale << "*a+" << c.X.Offset << ", y " << c.Y.Scale << "*b+" << c.Y.Offset
        << (c.Swapped ? ", swapped" : ", as-is");
}

class CalibratePoints : public ::testing::TestWithParam<KnownCalibration> {};

TEST_P(CalibratePoints, RecoversTheCalibrationThatMadeThePoints)
{
    const KnownCalibration known = GetParam();
    std::vector<std::string> args = {"calibrate-points", "--send", "--orientation", known.Swapped ? "swapped" : "as-is"};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> targets;
    for (const auto& [rawX, rawY] : TouchedGrid()) {
        const double sx = known.X.Scale * AxisInput(known.Swapped, true, rawX, rawY) + known.X.Offset;
        const double sy = known.Y.Scale * AxisInput(known.Swapped, false, rawX, rawY) + known.Y.Offset;
        ASSERT_TRUE(sx >= 0 && sx <= 65535 && sy >= 0 && sy <= 65535) << "test points must lie on the screen";
        targets.emplace_back(static_cast<std::uint32_t>(std::lround(sx)), static_cast<std::uint32_t>(std::lround(sy)));
        args.push_back(std::to_string(rawX) + "," + std::to_string(rawY) + "=" + std::to_string(targets.back().first) +
                       "," + std::to_string(targets.back().second));
    }
    FakeDriver driver;
    const RunResult result = RunTool(args, driver);
    ASSERT_EQ(result.ExitCode, PelvonctlExitSuccess) << result.Err;
    EXPECT_TRUE(result.Err.empty()) << result.Err;
    ASSERT_EQ(driver.Sent.size(), 1u);
    ASSERT_EQ(driver.Sent[0].Code, 0x001A2030u);
    const Bytes& sent = driver.Sent[0].Input;
    ASSERT_EQ(sent.size(), 18u);

    TOUCH_SETTINGS fitted{};
    DecodeCalibrationData(sent.data(), &fitted);
    auto expectAxis = [](const KnownAxis& axis, UCHAR invert, USHORT integer, USHORT fraction, LONG offset) {
        EXPECT_EQ(invert, axis.Scale < 0 ? 1 : 0);
        const double scale = integer + fraction / 65536.0;
        EXPECT_NEAR(scale, std::fabs(axis.Scale), 2.0 / 65536);
        EXPECT_NEAR(offset, axis.Offset, 4.0);
    };
    expectAxis(known.X, fitted.InvertX, fitted.ScaleXInteger, fitted.ScaleXFraction, fitted.OffsetX);
    expectAxis(known.Y, fitted.InvertY, fitted.ScaleYInteger, fitted.ScaleYFraction, fitted.OffsetY);

    // Reports are multiples of 64: a position within 64 of its target is exact.
    const auto grid = TouchedGrid();
    for (std::size_t i = 0; i < grid.size(); i++) {
        const auto [x, y] = DriverReport(sent, known.Swapped, grid[i].first, grid[i].second);
        EXPECT_LE(std::abs(x - static_cast<LONG>(targets[i].first)), 64) << "point " << i;
        EXPECT_LE(std::abs(y - static_cast<LONG>(targets[i].second)), 64) << "point " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Pelvonctl, CalibratePoints,
                         ::testing::Values(KnownCalibration{{1.25, -4096}, {1.1, -2000}, false},
                                           KnownCalibration{{-1.2, 70000}, {1.3, -5000}, false},
                                           KnownCalibration{{1.05, -1000}, {-1.0, 64000}, true},
                                           KnownCalibration{{1.0, 0}, {1.0, 0}, false}));

TEST(Pelvonctl, CalibratePointsWithoutSendPrintsACommandThatSendsTheSameBytes)
{
    FakeDriver driver;
    const std::vector<std::string> points = {"400,300=4096,4096", "3600,3700=61440,61440"};
    std::vector<std::string> args = {"calibrate-points"};
    args.insert(args.end(), points.begin(), points.end());
    const RunResult printed = RunTool(args, driver);
    ASSERT_EQ(printed.ExitCode, PelvonctlExitSuccess) << printed.Err;
    EXPECT_TRUE(driver.Sent.empty());

    const std::string marker = "command: pelvonctl ";
    const std::size_t start = printed.Out.find(marker);
    ASSERT_NE(start, std::string::npos) << printed.Out;
    const std::size_t end = printed.Out.find('\n', start);
    std::istringstream words(printed.Out.substr(start + marker.size(), end - start - marker.size()));
    std::vector<std::string> command;
    for (std::string word; words >> word;) {
        command.push_back(word);
    }
    ASSERT_EQ(RunTool(command, driver).ExitCode, PelvonctlExitSuccess);
    args.push_back("--send");
    ASSERT_EQ(RunTool(args, driver).ExitCode, PelvonctlExitSuccess);
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[0].Input, driver.Sent[1].Input);

    for (const auto& [rawX, rawY, wantX, wantY] :
         {std::tuple{400u, 300u, 4096, 4096}, std::tuple{3600u, 3700u, 61440, 61440}}) {
        const auto [x, y] = DriverReport(driver.Sent[1].Input, false, rawX, rawY);
        EXPECT_LE(std::abs(x - wantX), 64);
        EXPECT_LE(std::abs(y - wantY), 64);
    }
}

// The driver's 32-bit product of fraction and raw value overflows for
// fractions above one half near the panel's far edge; the user must hear of it.
TEST(Pelvonctl, CalibratePointsWarnsWhereTheDriversArithmeticOverflows)
{
    FakeDriver driver;
    const RunResult result = RunTool({"calibrate-points", "0,0=0,0", "4000,4000=57600,57600"}, driver); // scale 0.9
    EXPECT_EQ(result.ExitCode, PelvonctlExitSuccess);
    EXPECT_NE(result.Err.find("warning: at this X scale"), std::string::npos) << result.Err;
    EXPECT_NE(result.Err.find("warning: at this Y scale"), std::string::npos) << result.Err;

    // Where the warning says it goes wrong, the driver's report does.
    const pelvonctl::CalibrationFit fit = pelvonctl::FitCalibration(
        {{0, 0, 0, 0}, {4000, 4000, 57600, 57600}}, pelvonctl::Orientation::AsIs);
    ASSERT_TRUE(fit.NoteX.Wraps());
    const Bytes bytes = pelvonctl::EncodeCalibrationData(fit.Result);
    const auto [before, unusedY1] = DriverReport(bytes, false, fit.NoteX.First - 1, 100);
    const auto [after, unusedY2] = DriverReport(bytes, false, fit.NoteX.First, 100);
    EXPECT_NEAR(before, 0.9 * 16 * (fit.NoteX.First - 1), 64);
    EXPECT_GT(std::abs(after - 0.9 * 16 * fit.NoteX.First), 1000);
}

} // namespace
