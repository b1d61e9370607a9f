// "\Parameters" values of any presence, type, length and contents read by
// the real add-device, under both readings of the too-small string store.
// The same values are then read a second time into a fresh record, which
// must come out the same. A model of the reading (layouts shorter than their length read as
// zero, a value without data stores nothing, a value that cannot be stored
// is left out, an overlong port name ends the table) checks the settings
// that result.
//
// Input: flags, then per value name: kind, length (2), data.
#include "fuzz_session.h"

#include <cstring>
#include <optional>

namespace {

enum : uint8_t {
    TooSmallStringStops = 0x01,
    NoParametersKey = 0x02,
    PathWithoutNulRoom = 0x04,
    LowerCaseNames = 0x08,
};

enum ValueId {
    Calibration, Beep, PortName, BaudRate, Filter, MultiMonitor, TouchMonitorOx, TouchMonitorOy,
    TouchMonitorWidth, TouchMonitorHeight, PrimaryMonitorWidth, PrimaryMonitorHeight, Ltrb, ButtonMode, ValueCount
};

const char* const ValueNames[ValueCount] = {
    "Calibration",       "Beep",           "PortName",           "BaudRate",          "Filter",
    "MultiMonitor",      "TouchMonitorOx", "TouchMonitorOy",     "TouchMonitorWidth", "TouchMonitorHeight",
    "PrimaryMonitorWidth", "PrimaryMonitorHeight", "LTRB",       "ButtonMode",
};

// Defaults of the values staged as DWORDs, in ValueId order from MultiMonitor.
const uint32_t StagedDefaults[] = {1, 0, 0, 1024, 768, 1024, 768, 1, 1};
const uint8_t DefaultFilter[8] = {0x00, 0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00};

struct Value {
    ULONG Type;
    std::vector<uint8_t> Data;
};

bool IsString(ULONG Type)
{
    return Type == REG_SZ || Type == REG_EXPAND_SZ || Type == REG_MULTI_SZ;
}

std::optional<Value> DecodeValue(FuzzInput& In)
{
    static const ULONG kinds[] = {REG_DWORD, REG_BINARY, REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_NONE, 11 /* REG_QWORD */};
    const uint8_t kind = In.Byte() % 9;
    if (kind == 0) {
        return std::nullopt;
    }
    Value value;
    value.Type = kind == 8 ? In.Le32() : kinds[kind - 1];
    const size_t length = In.Le16() % 1100;
    value.Data = In.Bytes(length);
    value.Data.resize(length, 0);
    return value;
}

// What a table entry hands its routine: the default when the value is
// absent (or REG_NONE), nothing when it has no data, the value otherwise.
std::optional<Value> Delivered(const std::optional<Value>& V, ULONG DefaultType, const std::vector<uint8_t>& Default)
{
    if (!V || (V->Type == REG_NONE && !V->Data.empty())) {
        return Value{DefaultType, Default};
    }
    if (V->Data.empty()) {
        return std::nullopt;
    }
    return V;
}

// What a scalar destination of Prior's size holds afterwards: the leading
// bytes of a delivered non-string value that fits, Prior otherwise.
std::vector<uint8_t> Stored(const std::optional<Value>& V, ULONG DefaultType, const std::vector<uint8_t>& Default,
                            std::vector<uint8_t> Prior)
{
    const std::optional<Value> delivered = Delivered(V, DefaultType, Default);
    if (delivered && !IsString(delivered->Type) && delivered->Data.size() <= Prior.size()) {
        std::copy(delivered->Data.begin(), delivered->Data.end(), Prior.begin());
    }
    return Prior;
}

uint32_t AsUlong(const std::vector<uint8_t>& Bytes)
{
    uint32_t value = 0;
    std::memcpy(&value, Bytes.data(), std::min<size_t>(Bytes.size(), 4));
    return value;
}

std::vector<uint8_t> UlongBytes(uint32_t Value)
{
    return FuzzLe32(Value);
}

// A layout read through a buffer that holds Room data bytes: a longer value
// is not read at all; a shorter one reads its missing bytes as zero.
std::optional<std::vector<uint8_t>> Layout(const std::optional<Value>& V, size_t Room, size_t Length)
{
    if (!V || V->Data.size() > Room || V->Data.empty()) {
        return std::nullopt; // a value without data has no data offset at all
    }
    std::vector<uint8_t> bytes(V->Data.begin(), V->Data.begin() + std::min(V->Data.size(), Length));
    bytes.resize(Length, 0);
    return bytes;
}

void CheckModel(const TOUCH_SETTINGS& S, const std::optional<Value>* V, bool KeyPresent)
{
    TOUCH_SETTINGS expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.ScaleXInteger = expected.ScaleYInteger = 1;
    expected.FilterWeightCurrent = expected.FilterWeightPrevInput = 0x8000;
    expected.TouchMonitorWidth = expected.PrimaryMonitorWidth = 1024;
    expected.TouchMonitorHeight = expected.PrimaryMonitorHeight = 768;
    expected.ButtonMode = 1;
    expected.BeepDivisor = 1;
    expected.BeepDurationMs = 1;

    if (KeyPresent) {
        // The layouts go through a fixed 62-byte (37 for "Beep") full-information buffer.
        if (auto cal = Layout(V[Calibration], 62 - 44, CALIBRATION_DATA_LENGTH)) {
            const std::vector<uint8_t>& c = *cal;
            expected.InvertX = c[0];
            expected.InvertY = c[1];
            expected.ScaleXInteger = static_cast<USHORT>(c[2] | c[3] << 8);
            expected.ScaleXFraction = static_cast<USHORT>(c[4] | c[5] << 8);
            expected.OffsetX = static_cast<LONG>(AsUlong({c.begin() + 6, c.begin() + 10}));
            expected.ScaleYInteger = static_cast<USHORT>(c[10] | c[11] << 8);
            expected.ScaleYFraction = static_cast<USHORT>(c[12] | c[13] << 8);
            expected.OffsetY = static_cast<LONG>(AsUlong({c.begin() + 14, c.begin() + 18}));
        }
        if (auto beep = Layout(V[Beep], 37 - 28, BEEP_DATA_LENGTH)) {
            const std::vector<uint8_t>& b = *beep;
            expected.BeepEnabled = b[0];
            expected.BeepDivisor = static_cast<USHORT>(b[1] | b[2] << 8);
            expected.BeepDurationMs = AsUlong({b.begin() + 3, b.begin() + 7});
        }

        // "PortName" is the first entry of the table: a string too long for
        // its buffer ends the query, whichever reading the platform has.
        const std::optional<Value> port = Delivered(V[PortName], REG_SZ, {0, 0});
        const bool portString = port && (port->Type == REG_SZ || port->Type == REG_EXPAND_SZ);
        const bool queryFailed = portString && port->Data.size() > sizeof(expected.PortNameBuffer);
        if (portString && !queryFailed) {
            std::copy(port->Data.begin(), port->Data.end(), reinterpret_cast<uint8_t*>(expected.PortNameBuffer));
        }
        if (!queryFailed) {
            expected.BaudRate = AsUlong(Stored(V[BaudRate], REG_DWORD, UlongBytes(19200), UlongBytes(0)));
            const std::vector<uint8_t> defaultFilter(DefaultFilter, DefaultFilter + 8);
            const std::vector<uint8_t> filter = Stored(V[Filter], REG_BINARY, defaultFilter, defaultFilter);
            expected.FilterWeightCurrent = static_cast<USHORT>(filter[0] | filter[1] << 8);
            expected.FilterWeightPrevInput = static_cast<USHORT>(filter[2] | filter[3] << 8);
            expected.FilterWeightPrevOutput = AsUlong({filter.begin() + 4, filter.end()});
            uint32_t staged[9];
            for (int i = 0; i < 9; i++) {
                const std::optional<Value>& value = V[MultiMonitor + i];
                const std::vector<uint8_t> initial = UlongBytes(StagedDefaults[i]);
                staged[i] = AsUlong(Stored(value, REG_DWORD, initial, initial));
            }
            expected.MultiMonitor = static_cast<UCHAR>(staged[0]);
            expected.TouchMonitorOx = static_cast<LONG>(staged[1]);
            expected.TouchMonitorOy = static_cast<LONG>(staged[2]);
            expected.TouchMonitorWidth = static_cast<LONG>(staged[3]);
            expected.TouchMonitorHeight = static_cast<LONG>(staged[4]);
            expected.PrimaryMonitorWidth = static_cast<LONG>(staged[5]);
            expected.PrimaryMonitorHeight = static_cast<LONG>(staged[6]);
            expected.Ltrb = static_cast<UCHAR>(staged[7]);
            expected.ButtonMode = static_cast<UCHAR>(staged[8]);
        }
    }

#define SAME(Field) FUZZ_CHECK(S.Field == expected.Field, #Field " read as the registry holds it")
    SAME(InvertX); SAME(InvertY); SAME(ScaleXInteger); SAME(ScaleXFraction); SAME(OffsetX);
    SAME(ScaleYInteger); SAME(ScaleYFraction); SAME(OffsetY);
    SAME(BeepEnabled); SAME(BeepDivisor); SAME(BeepDurationMs);
    SAME(BaudRate);
    SAME(FilterWeightCurrent); SAME(FilterWeightPrevInput); SAME(FilterWeightPrevOutput);
    SAME(MultiMonitor); SAME(TouchMonitorOx); SAME(TouchMonitorOy); SAME(TouchMonitorWidth);
    SAME(TouchMonitorHeight); SAME(PrimaryMonitorWidth); SAME(PrimaryMonitorHeight); SAME(Ltrb); SAME(ButtonMode);
#undef SAME
    FUZZ_CHECK(std::memcmp(S.PortNameBuffer, expected.PortNameBuffer, sizeof(S.PortNameBuffer)) == 0,
               "PortName read as the registry holds it");
}

void Run(FuzzInput& In)
{
    FuzzSession session;
    const uint8_t flags = In.Byte();
    const bool stops = (flags & TooSmallStringStops) != 0;
    HkRegSetTooSmallStringStopsQuery(stops);
    std::optional<Value> values[ValueCount];
    bool keyPresent = false;
    if (!(flags & NoParametersKey)) {
        HkRegCreateKey(FuzzParametersKey);
        keyPresent = true;
        for (int i = 0; i < ValueCount; i++) {
            values[i] = DecodeValue(In);
            if (values[i]) {
                std::string name = ValueNames[i];
                if (flags & LowerCaseNames) {
                    for (char& c : name) {
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    }
                }
                HkRegSetValue(FuzzParametersKey, name, values[i]->Type, values[i]->Data);
            }
        }
    }
    FuzzSessionOptions options;
    options.PathWithoutNulRoom = (flags & PathWithoutNulRoom) != 0;
    options.SerialPorts = 0;
    session.Open(options);
    CheckModel(session.Settings(), values, keyPresent);

    // Again, into a fresh record.
    auto extension = std::make_unique<DEVICE_EXTENSION>();
    std::memset(extension.get(), 0, sizeof(DEVICE_EXTENSION));
    LoadRegistryParameters(extension.get(), &SavedRegistryPath);
    FUZZ_CHECK(std::memcmp(&extension->TouchSettings, &session.Settings(), sizeof(TOUCH_SETTINGS)) == 0,
               "reading the same registry twice gives the same settings");
    session.Close();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzInput in(Data, Size);
    FuzzRun([&] { Run(in); });
    return 0;
}
