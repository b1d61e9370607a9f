// Settings read from the service key's "\Parameters" when the touch device
// is added: defaults, each value absent, short, exact, too long or of the
// wrong type, and the platform's two readings of an overlong string.
#include "driver_fixture.h"

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

// Every setting the registry can reach, one "name=value" a line, so that a
// mismatch shows which fields differ.
std::string Describe(const TOUCH_SETTINGS& S)
{
    const size_t nameLength = HkWcsLen(S.PortNameBuffer);
    size_t tail = 0;
    for (size_t i = nameLength; i < PORT_NAME_CHARACTERS; i++) {
        tail += S.PortNameBuffer[i] != 0;
    }
    std::ostringstream out;
    out << std::hex << "InvertX=" << int(S.InvertX) << "\nInvertY=" << int(S.InvertY)
        << "\nScaleX=" << S.ScaleXInteger << '.' << S.ScaleXFraction << "\nOffsetX=" << S.OffsetX
        << "\nScaleY=" << S.ScaleYInteger << '.' << S.ScaleYFraction << "\nOffsetY=" << S.OffsetY
        << "\nFilter=" << S.FilterWeightCurrent << ',' << S.FilterWeightPrevInput << ',' << S.FilterWeightPrevOutput
        << "\nButtonMode=" << int(S.ButtonMode) << "\nPortName=" << HkNarrow(S.PortNameBuffer, nameLength)
        << "\nPortNameTail=" << tail << "\nBaudRate=" << std::dec << S.BaudRate << std::hex
        << "\nBeep=" << int(S.BeepEnabled) << ',' << S.BeepDivisor << ',' << S.BeepDurationMs
        << "\nStoredRange=" << S.StoredRange[0] << ',' << S.StoredRange[1] << ',' << S.StoredRange[2] << ','
        << S.StoredRange[3] << "\nMultiMonitor=" << int(S.MultiMonitor) << "\nMonitors=" << std::dec
        << S.TouchMonitorOx << ',' << S.TouchMonitorOy << ',' << S.TouchMonitorWidth << ','
        << S.TouchMonitorHeight << ',' << S.PrimaryMonitorWidth << ',' << S.PrimaryMonitorHeight
        << "\nLtrb=" << int(S.Ltrb) << "\nControllerInfo=" << int(S.ControllerInfo[0]) << ','
        << int(S.ControllerInfo[1]) << ',' << int(S.ControllerInfo[2]) << ',' << int(S.ControllerInfo[3])
        << "\nFilterHistory=" << S.FilterPrevOutputX << ',' << S.FilterPrevInputX << ',' << S.FilterPrevOutputY
        << ',' << S.FilterPrevInputY << "\nBeepStart=" << S.BeepStartTime.QuadPart << '\n';
    return out.str();
}

// The built-in defaults alone, over the zeroed extension.
TOUCH_SETTINGS Defaults()
{
    TOUCH_SETTINGS s;
    std::memset(&s, 0, sizeof(s));
    s.ScaleXInteger = 1;
    s.ScaleYInteger = 1;
    s.FilterWeightCurrent = 0x8000;
    s.FilterWeightPrevInput = 0x8000;
    s.ButtonMode = 1;
    s.BeepDivisor = 1;
    s.BeepDurationMs = 1;
    s.StoredRange[1] = 0xFFFF;
    s.StoredRange[3] = 0xFFFF;
    s.TouchMonitorWidth = 1024;
    s.TouchMonitorHeight = 768;
    s.PrimaryMonitorWidth = 1024;
    s.PrimaryMonitorHeight = 768;
    return s;
}

// What an existing but empty "\Parameters" key gives.
TOUCH_SETTINGS KeyDefaults()
{
    TOUCH_SETTINGS s = Defaults();
    s.BaudRate = 19200;
    s.MultiMonitor = 1;
    s.Ltrb = 1;
    return s;
}

void SetPortName(TOUCH_SETTINGS& S, const std::string& Name)
{
    for (size_t i = 0; i < Name.size(); i++) {
        S.PortNameBuffer[i] = static_cast<WCHAR>(Name[i]);
    }
}

const Bytes SampleCalibration{0x01, 0x00, 0x02, 0x00, 0x00, 0x80, 0x10, 0x00, 0x00,
                              0x00, 0x01, 0x00, 0x00, 0x00, 0xF0, 0xFF, 0xFF, 0xFF};

void ApplySampleCalibration(TOUCH_SETTINGS& S)
{
    S.InvertX = 1;
    S.InvertY = 0;
    S.ScaleXInteger = 2;
    S.ScaleXFraction = 0x8000;
    S.OffsetX = 16;
    S.ScaleYInteger = 1;
    S.ScaleYFraction = 0;
    S.OffsetY = -16;
}

} // namespace

class RegistryParametersTest : public DriverTest {
protected:
    // Loads the driver if needed, adds and starts a device, and returns what
    // it read. The registry is left with no open handle.
    std::string Added()
    {
        if (Driver == nullptr) {
            Load();
        }
        AddAndStart();
        EXPECT_EQ(HkRegOpenHandleCount(), 0u);
        return Extension != nullptr ? Describe(Extension->TouchSettings) : std::string();
    }

    void SetDword(const char* Name, ULONG Value) { HkRegSetDword(ParametersKey, Name, Value); }
    void SetBinary(const char* Name, const Bytes& Data) { HkRegSetBinary(ParametersKey, Name, Data); }
    void SetString(const char* Name, const std::string& Text) { HkRegSetString(ParametersKey, Name, Text); }
};

TEST_F(RegistryParametersTest, WithoutParametersKeyOnlyBuiltInDefaults)
{
    HkRegCreateKey(ServiceKey);
    EXPECT_EQ(Added(), Describe(Defaults()));
}

TEST_F(RegistryParametersTest, EmptyKeyGivesTheTableDefaults)
{
    HkRegCreateKey(ParametersKey);
    EXPECT_EQ(Added(), Describe(KeyDefaults()));
}

TEST_F(RegistryParametersTest, EveryValueLandsInItsField)
{
    SetBinary("Calibration", SampleCalibration);
    SetBinary("Beep", {0x01, 0xA9, 0x04, 0x32, 0x00, 0x00, 0x00});
    SetString("PortName", "COM3");
    SetDword("BaudRate", 9600);
    SetBinary("Filter", {0x00, 0x40, 0x00, 0xC0, 0x00, 0x20, 0x00, 0x00});
    SetDword("MultiMonitor", 2);
    SetDword("TouchMonitorOx", 0xFFFFFF9C);
    SetDword("TouchMonitorOy", 10);
    SetDword("TouchMonitorWidth", 800);
    SetDword("TouchMonitorHeight", 600);
    SetDword("PrimaryMonitorWidth", 0);
    SetDword("PrimaryMonitorHeight", 1200);
    SetDword("LTRB", 0);
    SetDword("ButtonMode", 2);

    TOUCH_SETTINGS expected = KeyDefaults();
    ApplySampleCalibration(expected);
    expected.BeepEnabled = 1;
    expected.BeepDivisor = 0x04A9;
    expected.BeepDurationMs = 50;
    SetPortName(expected, "COM3");
    expected.BaudRate = 9600;
    expected.FilterWeightCurrent = 0x4000;
    expected.FilterWeightPrevInput = 0xC000;
    expected.FilterWeightPrevOutput = 0x2000;
    expected.MultiMonitor = 2;
    expected.TouchMonitorOx = -100;
    expected.TouchMonitorOy = 10;
    expected.TouchMonitorWidth = 800;
    expected.TouchMonitorHeight = 600;
    expected.PrimaryMonitorWidth = 0; // stored as it is: the pipeline guards its divisors
    expected.PrimaryMonitorHeight = 1200;
    expected.Ltrb = 0;
    expected.ButtonMode = 2;
    EXPECT_EQ(Added(), Describe(expected));
}

TEST_F(RegistryParametersTest, CalibrationOfEachLength)
{
    const struct {
        size_t Length;
        bool Taken;
    } cases[] = {{17, true}, {18, true}, {19, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Length);
        Bytes data = SampleCalibration;
        data.resize(c.Length, 0x77);
        SetBinary("Calibration", data);
        TOUCH_SETTINGS expected = KeyDefaults();
        if (c.Taken) {
            ApplySampleCalibration(expected);
            if (c.Length == 17) {
                expected.OffsetY = 0x00FFFFF0; // the missing top byte reads as zero
            }
        }
        EXPECT_EQ(Added(), Describe(expected));
        ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    }
}

TEST_F(RegistryParametersTest, BeepOfEachLength)
{
    // A calibration read first leaves its bytes in the shared reply buffer:
    // a short beep must not pick them up.
    SetBinary("Calibration", SampleCalibration);
    const struct {
        Bytes Data;
        bool Taken;
        UCHAR Enabled;
        USHORT Divisor;
        ULONG Duration;
    } cases[] = {
        {{0x01, 0xA9, 0x04}, true, 1, 0x04A9, 0},
        {{0x01, 0xA9, 0x04, 0x32, 0x00, 0x00, 0x00}, true, 1, 0x04A9, 50},
        {{0x00, 0x10, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xEE, 0xEE}, true, 0, 0x0010, 10},
        {{0x01, 0x10, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xEE, 0xEE, 0xEE}, false, 0, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Data.size());
        SetBinary("Beep", c.Data);
        TOUCH_SETTINGS expected = KeyDefaults();
        ApplySampleCalibration(expected);
        if (c.Taken) {
            expected.BeepEnabled = c.Enabled;
            expected.BeepDivisor = c.Divisor;
            expected.BeepDurationMs = c.Duration;
        }
        EXPECT_EQ(Added(), Describe(expected));
        ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    }
}

TEST_F(RegistryParametersTest, PortNameUpToItsBuffer)
{
    SetDword("BaudRate", 4800);
    SetDword("ButtonMode", 4);
    TOUCH_SETTINGS expected = KeyDefaults();
    expected.BaudRate = 4800;
    expected.ButtonMode = 4;

    SetString("PortName", "com2");
    SetPortName(expected, "com2");
    EXPECT_EQ(Added(), Describe(expected));
    ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);

    const std::string longest(255, 'P');
    SetString("PortName", longest);
    SetPortName(expected, longest);
    EXPECT_EQ(Added(), Describe(expected));
    EXPECT_EQ(Extension->TouchSettings.PortNameBuffer[255], 0);
}

// With the platform's documented reading, a string too long for its buffer
// ends the whole table: nothing after it is stored or applied.
// An overlong name ends the table, whichever way the platform treats a
// string too long for its destination (stop, or skip and go on).
TEST_F(RegistryParametersTest, OverlongPortNameEndsTheTable)
{
    for (bool stops : {true, false}) {
        SCOPED_TRACE(stops ? "the platform stops" : "the platform skips and goes on");
        HkRegSetTooSmallStringStopsQuery(stops);
        SetString("PortName", std::string(256, 'P'));
        SetDword("BaudRate", 4800);
        SetDword("ButtonMode", 4);
        SetDword("LTRB", 1);
        EXPECT_EQ(Added(), Describe(Defaults()));
        ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    }
}

// A value is judged by the type and length it has when it is stored, not by
// an earlier look: an administrator may rewrite it in between.
TEST_F(RegistryParametersTest, ValueRewrittenWhileTheTableIsReadIsNeverStoredAsAnotherType)
{
    SetDword("BaudRate", 9600);
    SetDword("ButtonMode", 2);
    Load();
    std::atomic<NTSTATUS> added{STATUS_PENDING};
    Pdo = HkCreateBusPdo();
    {
        HkPause pause("RtlQueryRegistryValues");
        std::thread adder([&] { added = HkAddDevice(Driver, Pdo); });
        ASSERT_TRUE(pause.WaitUntilReached());
        SetString("BaudRate", "19200");
        SetBinary("ButtonMode", Bytes(12, 0x33));
        pause.Release();
        adder.join();
    }
    ASSERT_EQ(added, STATUS_SUCCESS);
    Fdo = HkTopOfStack(Pdo);
    Extension = static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
    TOUCH_SETTINGS expected = KeyDefaults();
    expected.BaudRate = 0; // present but unusable: not stored, and not absent either
    EXPECT_EQ(Describe(Extension->TouchSettings), Describe(expected));
}

// A value without data stores nothing and takes no default: the platform
// sees no data at all.
TEST_F(RegistryParametersTest, EmptyValuesStoreNothing)
{
    SetBinary("Calibration", {});
    SetBinary("Beep", {});
    HkRegSetValue(ParametersKey, "PortName", REG_SZ, {});
    HkRegSetValue(ParametersKey, "BaudRate", REG_DWORD, {});
    HkRegSetValue(ParametersKey, "ButtonMode", REG_DWORD, {});
    TOUCH_SETTINGS expected = KeyDefaults();
    expected.BaudRate = 0;
    EXPECT_EQ(Added(), Describe(expected));
}

TEST_F(RegistryParametersTest, FilterOfEachLength)
{
    const struct {
        Bytes Data;
        USHORT Current;
        USHORT PrevInput;
        ULONG PrevOutput;
    } cases[] = {
        {{0x00, 0x40, 0x00, 0xC0}, 0x4000, 0xC000, 0},         // the rest keeps the default
        {{0x00, 0x40, 0x00, 0xC0, 0x07}, 0x4000, 0xC000, 7},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, 0x0201, 0x0403, 0x08070605},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}, 0x8000, 0x8000, 0}, // ignored
    };
    SetDword("ButtonMode", 3); // read after the filter: still applied
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Data.size());
        SetBinary("Filter", c.Data);
        TOUCH_SETTINGS expected = KeyDefaults();
        expected.ButtonMode = 3;
        expected.FilterWeightCurrent = c.Current;
        expected.FilterWeightPrevInput = c.PrevInput;
        expected.FilterWeightPrevOutput = c.PrevOutput;
        EXPECT_EQ(Added(), Describe(expected));
        ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    }
}

// A value of a type the destination cannot hold is left out as if absent:
// its default stays and the rest of the table still lands.
TEST_F(RegistryParametersTest, ValuesOfTheWrongTypeKeepTheirDefaults)
{
    SetString("BaudRate", "9600");
    SetString("Filter", "00400040");
    SetString("ButtonMode", "2");
    SetBinary("TouchMonitorWidth", {0x20, 0x03, 0, 0, 0, 0, 0, 0});
    HkRegSetValue(ParametersKey, "LTRB", REG_MULTI_SZ, HkRegStringData("0"));
    HkRegSetValue(ParametersKey, "PrimaryMonitorWidth", REG_DWORD, {0x00, 0x05, 0, 0, 0, 0, 0, 0});
    HkRegSetValue(ParametersKey, "PortName", REG_BINARY, {'C', 0, 'O', 0, 'M', 0, '1', 0, 0, 0});
    SetDword("MultiMonitor", 0);
    SetDword("TouchMonitorHeight", 480);

    TOUCH_SETTINGS expected = KeyDefaults();
    expected.MultiMonitor = 0;
    expected.TouchMonitorHeight = 480;
    expected.BaudRate = 0; // present, so no default; unusable, so not stored
    EXPECT_EQ(Added(), Describe(expected));
}

// A port name that is not a string is never taken, however short.
TEST_F(RegistryParametersTest, PortNameOfAnotherTypeIsNeverTaken)
{
    for (ULONG type : {ULONG(REG_MULTI_SZ), ULONG(REG_BINARY)}) {
        for (size_t length : {0, 1, 2}) {
            SCOPED_TRACE(std::to_string(type) + " of " + std::to_string(length) + " bytes");
            HkRegSetValue(ParametersKey, "PortName", type, Bytes(length, 'C'));
            SetDword("BaudRate", 9600);
            TOUCH_SETTINGS expected = KeyDefaults();
            expected.BaudRate = 9600;
            EXPECT_EQ(Added(), Describe(expected));
            ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        }
    }
}

TEST_F(RegistryParametersTest, ShortDwordsReplaceOnlyTheirLeadingBytes)
{
    SetBinary("TouchMonitorWidth", {0x05});            // 1024 = 0x400 keeps its 0x04
    SetBinary("PrimaryMonitorHeight", {0x00, 0x01});   // 768 = 0x300 loses both bytes
    SetBinary("BaudRate", {0x60, 0x09});             // stored straight into the zeroed field
    TOUCH_SETTINGS expected = KeyDefaults();
    expected.TouchMonitorWidth = 0x405;
    expected.PrimaryMonitorHeight = 0x100;
    expected.BaudRate = 2400;
    EXPECT_EQ(Added(), Describe(expected));
}

TEST_F(RegistryParametersTest, ByteSettingsTakeTheLowByte)
{
    SetDword("MultiMonitor", 0x100);
    SetDword("LTRB", 0x201);
    SetDword("ButtonMode", 0x102);
    TOUCH_SETTINGS expected = KeyDefaults();
    expected.MultiMonitor = 0;
    expected.Ltrb = 1;
    expected.ButtonMode = 2;
    EXPECT_EQ(Added(), Describe(expected));
}

// Each work buffer of the read failing in turn: nothing is read at all.
TEST_F(RegistryParametersTest, WorkBufferFailureReadsNothing)
{
    SetString("PortName", "COM1");
    SetDword("ButtonMode", 2);
    RemoveAtEnd = false;
    // Allocations 1 to 3 are the control device, its link and the FDO.
    for (size_t n : {4u, 5u, 6u}) {
        SCOPED_TRACE(n);
        Load();
        Pdo = HkCreateBusPdo();
        HkFailNthAllocation(n);
        ASSERT_EQ(HkAddDevice(Driver, Pdo), STATUS_SUCCESS);
        EXPECT_EQ(HkFailedAllocationCount(), 1u);
        Fdo = HkTopOfStack(Pdo);
        EXPECT_EQ(Describe(static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension)->TouchSettings),
                  Describe(Defaults()));
        EXPECT_EQ(HkRegOpenHandleCount(), 0u);
        EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        EXPECT_EQ(HkVerifierReport(), "");
        Driver = nullptr;
        HkReset();
        SetString("PortName", "COM1");
        SetDword("ButtonMode", 2);
    }
}

// The registry is read at every add-device, under the same names: a
// device added again, or a second one beside it, reads what is there now.
TEST_F(RegistryParametersTest, EveryAddDeviceReadsTheValuesAgain)
{
    SetBinary("Calibration", SampleCalibration);
    SetBinary("Beep", {0x01, 0xA9, 0x04, 0x32, 0x00, 0x00, 0x00});
    SetString("PortName", "COM7");
    SetDword("BaudRate", 2400);
    SetBinary("Filter", {0x00, 0x40, 0x00, 0xC0});
    SetDword("ButtonMode", 2);
    SetDword("MultiMonitor", 1);
    SetDword("TouchMonitorOx", 1024);
    const std::string first = Added();
    // Runtime changes are not written back.
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {5}).Status, STATUS_SUCCESS);
    ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(Added(), first);

    PDEVICE_OBJECT secondPdo = HkCreateBusPdo();
    ASSERT_EQ(HkAddDevice(Driver, secondPdo), STATUS_SUCCESS);
    PDEVICE_OBJECT secondFdo = HkTopOfStack(secondPdo);
    EXPECT_EQ(Describe(static_cast<PDEVICE_EXTENSION>(secondFdo->DeviceExtension)->TouchSettings), first);
    EXPECT_EQ(HkSendRemove(secondFdo), STATUS_SUCCESS);

    SetDword("ButtonMode", 4);
    ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    Added();
    EXPECT_EQ(Extension->TouchSettings.ButtonMode, 4);
}
