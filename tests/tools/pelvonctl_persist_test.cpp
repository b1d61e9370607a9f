// pelvonctl --persist and show against the stand-in's registry and the
// driver itself: what is persisted is what a new device of the driver starts
// with, and show decodes the registry as the driver reads it, odd values too.
#include "driver_fixture.h"

#include <sstream>

#include "pelvonctl_parameters.h"
#include "pelvonctl_persist.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct RunResult {
    int ExitCode;
    std::string Out;
    std::string Err;
};

// The driver's control device on the stand-in, as pelvonctl.exe reaches it.
PelvonctlTransport ControlTransport(std::vector<PelvonctlRequest>* sent = nullptr)
{
    PelvonctlTransport transport;
    transport.Send = [sent](const PelvonctlRequest& request) {
        if (sent != nullptr) {
            sent->push_back(request);
        }
        PelvonctlReply reply;
        HANDLE handle = nullptr;
        reply.Status = static_cast<uint32_t>(HkOpen("\\\\.\\pelvon", &handle));
        if (reply.Status != 0) {
            reply.Unreachable = "cannot open \\\\.\\pelvon";
            return reply;
        }
        const HkIoResult result = HkDeviceIoControl(handle, request.Code, request.Input, request.OutputLength);
        HkClose(handle);
        reply.Status = static_cast<uint32_t>(result.Status);
        reply.Information = static_cast<uint32_t>(result.Information);
        reply.Output = result.Output;
        return reply;
    };
    return transport;
}

RunResult RunTool(const std::vector<std::string>& args, PelvonctlTransport transport,
              const PelvonctlRegistry& registry = PelvonctlPlatformRegistry())
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunPelvonctl(args, transport, registry, out, err);
    return {code, out.str(), err.str()};
}

// The settings the registry reaches, one per line, so a mismatch names the field.
std::string Persistable(const TOUCH_SETTINGS& s)
{
    std::ostringstream out;
    out << "Calibration=" << int(s.InvertX) << ',' << int(s.InvertY) << ',' << s.ScaleXInteger << '.'
        << s.ScaleXFraction << ',' << s.OffsetX << ',' << s.ScaleYInteger << '.' << s.ScaleYFraction << ','
        << s.OffsetY << "\nFilter=" << s.FilterWeightCurrent << ',' << s.FilterWeightPrevInput << ','
        << s.FilterWeightPrevOutput << "\nBeep=" << int(s.BeepEnabled) << ',' << s.BeepDivisor << ','
        << s.BeepDurationMs << "\nButtonMode=" << int(s.ButtonMode) << "\nLTRB=" << int(s.Ltrb)
        << "\nMultiMonitor=" << int(s.MultiMonitor) << "\nMonitor=" << s.TouchMonitorOx << ',' << s.TouchMonitorOy
        << ',' << s.TouchMonitorWidth << ',' << s.TouchMonitorHeight << ',' << s.PrimaryMonitorWidth << ','
        << s.PrimaryMonitorHeight << "\nPortName=" << HkNarrow(s.PortNameBuffer, HkWcsLen(s.PortNameBuffer))
        << "\nBaudRate=" << s.BaudRate << "\n";
    return out.str();
}

// The same fields as show works them out from the registry.
std::string Persistable(const pelvonctl::DriverParameters& p)
{
    TOUCH_SETTINGS s{};
    const pelvonctl::Calibration& c = p.CalibrationValue;
    s.InvertX = c.X.Invert;
    s.InvertY = c.Y.Invert;
    s.ScaleXInteger = c.X.ScaleInteger;
    s.ScaleXFraction = c.X.ScaleFraction;
    s.OffsetX = c.X.Offset;
    s.ScaleYInteger = c.Y.ScaleInteger;
    s.ScaleYFraction = c.Y.ScaleFraction;
    s.OffsetY = c.Y.Offset;
    s.FilterWeightCurrent = p.FilterCurrent;
    s.FilterWeightPrevInput = p.FilterPreviousInput;
    s.FilterWeightPrevOutput = p.FilterPreviousOutput;
    s.BeepEnabled = p.BeepEnabled;
    s.BeepDivisor = p.BeepDivisor;
    s.BeepDurationMs = p.BeepDurationMs;
    s.ButtonMode = p.ButtonMode;
    s.Ltrb = p.Ltrb;
    s.MultiMonitor = p.MultiMonitor;
    s.TouchMonitorOx = p.Monitor.OriginX;
    s.TouchMonitorOy = p.Monitor.OriginY;
    s.TouchMonitorWidth = p.Monitor.Width;
    s.TouchMonitorHeight = p.Monitor.Height;
    s.PrimaryMonitorWidth = p.Monitor.PrimaryWidth;
    s.PrimaryMonitorHeight = p.Monitor.PrimaryHeight;
    for (size_t i = 0; i < p.PortName.size() && i < PORT_NAME_CHARACTERS; i++) {
        s.PortNameBuffer[i] = static_cast<WCHAR>(p.PortName[i]);
    }
    s.BaudRate = p.BaudRate;
    return Persistable(s);
}

class PelvonctlPersist : public DriverTest {
protected:
    // A new device of a newly loaded driver, reading the registry as it is now.
    std::string RestartedSettings()
    {
        Mouse.reset();
        EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        Load();
        AddAndStart();
        ConnectMouse();
        return Persistable(Extension->TouchSettings);
    }
};

} // namespace

TEST_F(PelvonctlPersist, ANewDeviceStartsWithEverySettingPersisted)
{
    ASSERT_EQ(HkRegLoadRegFileFromPath(PELVON_SOURCE_DIR "/packaging/pelvon-parameters.reg"), std::nullopt);
    AddPort("COM1", 0);
    AddPort("COM2", 1);
    Load();
    AddAndStart();
    ConnectMouse();
    const std::vector<std::vector<std::string>> commands = {
        {"--persist", "calibration", "--invert-y", "--scale-x", "1.25", "--scale-y", "0.75", "--offset-x", "-4096",
         "--offset-y", "60000"},
        {"--persist", "filter", "--current", "0.25", "--previous-input", "0.25", "--previous-output", "0.5"},
        {"click", "on", "--persist"},
        {"--persist", "click-tone", "--hz", "2000", "--ms", "30"},
        {"--persist", "buttons", "right"},
        {"--persist", "orientation", "swapped"},
        {"--persist", "monitor", "-1280", "0", "1280", "1024", "2560", "1024"},
        {"--persist", "open-port", "COM2", "--baud", "9600"},
    };
    for (const auto& command : commands) {
        const RunResult result = RunTool(command, ControlTransport());
        ASSERT_EQ(result.ExitCode, PelvonctlExitSuccess) << command[1] << ": " << result.Err;
        EXPECT_NE(result.Out.find("saved under"), std::string::npos) << result.Out;
    }
    const std::string running = Persistable(Extension->TouchSettings);
    EXPECT_EQ(running, Persistable(pelvonctl::ReadDriverParameters(PelvonctlPlatformRegistry())));
    EXPECT_EQ(RestartedSettings(), running);

    // Switching the mapping off keeps the monitor; resetting the calibration
    // persists the identity.
    ASSERT_EQ(RunTool({"--persist", "monitor", "off"}, ControlTransport()).ExitCode, PelvonctlExitSuccess);
    ASSERT_EQ(RunTool({"--persist", "reset-calibration"}, ControlTransport()).ExitCode, PelvonctlExitSuccess);
    ASSERT_EQ(RunTool({"--persist", "set-port", "COM1"}, ControlTransport()).ExitCode, PelvonctlExitSuccess);
    const std::string changed = Persistable(Extension->TouchSettings);
    EXPECT_NE(changed.find("MultiMonitor=0\nMonitor=-1280,0,1280,1024,2560,1024"), std::string::npos) << changed;
    EXPECT_EQ(RestartedSettings(), changed);
}

TEST_F(PelvonctlPersist, WithoutPersistOrWhenTheDriverRefusesNothingIsWritten)
{
    HkRegCreateKey(ParametersKey);
    BringUp();
    ASSERT_EQ(RunTool({"calibration", "--scale-x", "2"}, ControlTransport()).ExitCode, PelvonctlExitSuccess);
    EXPECT_TRUE(HkRegValueNames(ParametersKey).empty());

    // No port COM7: the driver refuses, and the registry keeps its PortName.
    HkRegSetString(ParametersKey, "PortName", "COM1");
    const RunResult refused = RunTool({"--persist", "open-port", "COM7"}, ControlTransport());
    EXPECT_EQ(refused.ExitCode, PelvonctlExitRequestFailed);
    EXPECT_EQ(HkRegValueNames(ParametersKey), std::vector<std::string>{"PortName"});
    EXPECT_EQ(HkRegGetValue(ParametersKey, "PortName")->Data, HkRegStringData("COM1"));

    // --dry-run prints the values and writes none of them.
    const RunResult dry = RunTool({"--dry-run", "--persist", "buttons", "middle"}, ControlTransport());
    EXPECT_EQ(dry.ExitCode, PelvonctlExitSuccess);
    EXPECT_NE(dry.Out.find("would write under HKLM\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters: "
                           "ButtonMode (REG_DWORD, 4 bytes): 4"),
              std::string::npos)
        << dry.Out;
    EXPECT_FALSE(HkRegGetValue(ParametersKey, "ButtonMode").has_value());
}

TEST_F(PelvonctlPersist, ClickAndToneChangeOnlyTheirPartOfBeep)
{
    HkRegCreateKey(ParametersKey);
    BringUp();
    // Absent: the driver's own defaults (off, divisor 1, 1 ms) are kept around the change.
    ASSERT_EQ(RunTool({"--persist", "click", "on"}, ControlTransport()).ExitCode, PelvonctlExitSuccess);
    EXPECT_EQ(HkRegGetValue(ParametersKey, "Beep")->Data, (Bytes{1, 1, 0, 1, 0, 0, 0}));
    ASSERT_EQ(RunTool({"--persist", "click-tone", "--divisor", "0x04A9", "--ms", "50"}, ControlTransport()).ExitCode,
              PelvonctlExitSuccess);
    EXPECT_EQ(HkRegGetValue(ParametersKey, "Beep")->Data, (Bytes{1, 0xA9, 0x04, 50, 0, 0, 0}));
    // A short value reads as zeros past its end, as the driver reads it.
    HkRegSetBinary(ParametersKey, "Beep", {0, 0x10});
    ASSERT_EQ(RunTool({"--persist", "click", "on"}, ControlTransport()).ExitCode, PelvonctlExitSuccess);
    EXPECT_EQ(HkRegGetValue(ParametersKey, "Beep")->Data, (Bytes{1, 0x10, 0, 0, 0, 0, 0}));
    EXPECT_EQ(RestartedSettings(), Persistable(pelvonctl::ReadDriverParameters(PelvonctlPlatformRegistry())));
}

TEST_F(PelvonctlPersist, CommandsThatSetNothingLastingAreRefusedBeforeSending)
{
    HkRegCreateKey(ParametersKey);
    BringUp();
    std::vector<PelvonctlRequest> sent;
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"--persist", "close-port"}, {"--persist", "info"}, {"--persist", "open-port"},
          {"--persist", "range", "0", "1", "2", "3"}, {"--persist", "calibrate-points", "0,0=0,0", "4000,4000=65000,65000"},
          {"--persist", "set-port", std::string(256, 'P')}, {"--persist", "show"}}) {
        const RunResult result = RunTool(command, ControlTransport(&sent));
        EXPECT_EQ(result.ExitCode, PelvonctlExitUsage) << command[1] << ": " << result.Err;
        EXPECT_NE(result.Err.find("persist"), std::string::npos) << result.Err;
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(HkRegValueNames(ParametersKey).empty());
}

TEST_F(PelvonctlPersist, ARegistryThatCannotBeWrittenStopsTheCommandBeforeItIsSent)
{
    HkRegCreateKey(ParametersKey);
    BringUp();
    PelvonctlRegistry denied = PelvonctlPlatformRegistry();
    denied.Write = [](const std::string&, const PelvonctlRegistryValue&) {
        return PelvonctlRegistryWrite{PelvonctlErrorAccessDenied, "access denied: run it as an administrator"};
    };
    denied.CheckWritable = [] {
        return PelvonctlRegistryWrite{PelvonctlErrorAccessDenied, "access denied: run it as an administrator"};
    };
    std::vector<PelvonctlRequest> sent;
    const RunResult result = RunTool({"--persist", "buttons", "left"}, ControlTransport(&sent), denied);
    EXPECT_EQ(result.ExitCode, PelvonctlExitRequestFailed);
    EXPECT_NE(result.Err.find("access denied: run it as an administrator; nothing was sent"), std::string::npos)
        << result.Err;
    EXPECT_TRUE(sent.empty());
}

// ---------------------------------------------------------------- show

namespace {

struct RegistryCase {
    const char* Name;
    std::function<void()> Fill;
};

void PrintTo(const RegistryCase& c, std::ostream* os)
{
    *os << c.Name;
}

class ShowReadsAsTheDriver : public PelvonctlPersist, public ::testing::WithParamInterface<RegistryCase> {};

} // namespace

TEST_P(ShowReadsAsTheDriver, WhatShowDecodesIsWhatANewDeviceStartsWith)
{
    HkRegCreateKey(ServiceKey);
    GetParam().Fill();
    AddPort("COM1", 0);
    Load();
    AddAndStart();
    const pelvonctl::DriverParameters shown = pelvonctl::ReadDriverParameters(PelvonctlPlatformRegistry());
    EXPECT_EQ(Persistable(shown), Persistable(Extension->TouchSettings));
    const RunResult result = RunTool({"show"}, PelvonctlTransport{});
    EXPECT_EQ(result.ExitCode, PelvonctlExitSuccess) << result.Err;
    EXPECT_EQ(result.Out, pelvonctl::FormatDriverParameters(shown));
}

INSTANTIATE_TEST_SUITE_P(
    PelvonctlShow, ShowReadsAsTheDriver,
    ::testing::Values(
        RegistryCase{"NoParametersKey", [] {}},
        RegistryCase{"EmptyKey", [] { HkRegCreateKey(ParametersKey); }},
        RegistryCase{"SampleFile",
                     [] { HkRegLoadRegFileFromPath(PELVON_SOURCE_DIR "/packaging/pelvon-parameters.reg"); }},
        RegistryCase{"CalibrationTooLongAndBeepShort",
                     [] {
                         HkRegSetBinary(ParametersKey, "Calibration", Bytes(19, 0x11));
                         HkRegSetBinary(ParametersKey, "Beep", {1, 0x20, 0x03});
                     }},
        RegistryCase{"CalibrationShortAndBeepTooLong",
                     [] {
                         HkRegSetBinary(ParametersKey, "Calibration", {1, 0, 2, 0, 0, 0x80});
                         HkRegSetBinary(ParametersKey, "Beep", Bytes(10, 1));
                     }},
        RegistryCase{"ShortAndOverlongNumbers",
                     [] {
                         HkRegSetBinary(ParametersKey, "ButtonMode", {4});
                         HkRegSetBinary(ParametersKey, "BaudRate", {0x80, 0x25});
                         HkRegSetBinary(ParametersKey, "LTRB", Bytes(5, 0));
                         HkRegSetBinary(ParametersKey, "Filter", Bytes(9, 0x40));
                         HkRegSetBinary(ParametersKey, "TouchMonitorOx", {0xFF, 0xFF});
                     }},
        RegistryCase{"StringsWhereNumbersBelong",
                     [] {
                         HkRegSetString(ParametersKey, "MultiMonitor", "0");
                         HkRegSetString(ParametersKey, "BaudRate", "9600");
                         HkRegSetString(ParametersKey, "Filter", "x");
                         HkRegSetDword(ParametersKey, "PortName", 1);
                     }},
        RegistryCase{"PortNameThatEndsTheReading",
                     [] {
                         HkRegSetString(ParametersKey, "PortName", std::string(256, 'C'));
                         HkRegSetDword(ParametersKey, "LTRB", 1);
                         HkRegSetDword(ParametersKey, "ButtonMode", 2);
                         HkRegSetBinary(ParametersKey, "Calibration", {1, 1, 3, 0});
                     }},
        RegistryCase{"MultiStringPortName",
                     [] { HkRegSetMultiString(ParametersKey, "PortName", {"COM3"}); }}));

TEST(PelvonctlShow, NamesAbsentAndIgnoredValuesAndAMissingService)
{
    HkReset();
    std::ostringstream out;
    std::ostringstream err;
    PelvonctlTransport none;
    ASSERT_EQ(RunPelvonctl({"show"}, none, PelvonctlPlatformRegistry(), out, err), PelvonctlExitSuccess);
    EXPECT_NE(out.str().find("the pelvon service is not installed"), std::string::npos) << out.str();

    HkRegSetBinary(ParametersKey, "Calibration", Bytes(19, 0));
    out.str("");
    ASSERT_EQ(RunPelvonctl({"show"}, none, PelvonctlPlatformRegistry(), out, err), PelvonctlExitSuccess);
    EXPECT_NE(out.str().find("(Calibration ignored, 19 bytes, more than the 18 the driver reads: default)"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("BaudRate      19200 bit/s (BaudRate absent: default)"), std::string::npos) << out.str();

    PelvonctlRegistry failing;
    failing.Read = [](const std::string&) {
        PelvonctlRegistryRead read;
        read.State = PelvonctlRegistryState::Failed;
        read.Reason = "Win32 error 1009";
        return read;
    };
    err.str("");
    EXPECT_EQ(RunPelvonctl({"show"}, none, failing, out, err), PelvonctlExitRequestFailed);
    EXPECT_NE(err.str().find("cannot read Calibration"), std::string::npos) << err.str();
    HkReset();
}
