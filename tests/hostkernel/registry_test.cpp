// The stand-in's registry: tree and .reg files, key handles and value
// queries, RtlQueryRegistryValues as drivers use it, and its verifier stops.
#include <hostkernel.h>
#include <verifier.h>

#include "stop_rule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string Parameters = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon\\Parameters";
const std::string SerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const WCHAR ParametersW[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon\\Parameters";

class Registry : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
};

UNICODE_STRING Counted(const WCHAR* text)
{
    USHORT chars = 0;
    while (text[chars] != 0) {
        ++chars;
    }
    return UNICODE_STRING{static_cast<USHORT>(chars * 2), static_cast<USHORT>(chars * 2 + 2), const_cast<PWSTR>(text)};
}

std::u16string Text(const void* data, size_t bytes)
{
    std::u16string text(static_cast<const char16_t*>(data), bytes / 2);
    while (!text.empty() && text.back() == 0) {
        text.pop_back();
    }
    return text;
}

NTSTATUS OpenKey(const WCHAR* path, HANDLE* handle)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
}

// Leaves IRQL where a test raised it only until the end of the scope, even
// when a verifier stop unwinds through it.
struct RaisedIrql {
    explicit RaisedIrql(KIRQL irql) { KfRaiseIrql(irql); }
    ~RaisedIrql() { KfLowerIrql(PASSIVE_LEVEL); }
};


// ---------------------------------------------------------------- tree

TEST_F(Registry, KeysAndValueNamesIgnoreCaseAndValuesKeepTheirOrder)
{
    HkRegSetDword(Parameters, "BaudRate", 9600);
    HkRegSetString(Parameters, "PortName", "COM1");
    HkRegSetBinary(Parameters, "Filter", {1, 2});
    HkRegSetDword("HKEY_LOCAL_MACHINE\\system\\currentcontrolset\\services\\PELVON\\parameters", "baudrate", 19200);

    EXPECT_EQ(HkRegValueNames(Parameters), (std::vector<std::string>{"BaudRate", "PortName", "Filter"}));
    EXPECT_EQ(HkRegGetValue(Parameters, "BAUDRATE"), (HkRegValue{REG_DWORD, {0x00, 0x4B, 0, 0}}));
    EXPECT_EQ(HkRegGetValue(Parameters, "PortName"), (HkRegValue{REG_SZ, {'C', 0, 'O', 0, 'M', 0, '1', 0, 0, 0}}));

    EXPECT_TRUE(HkRegDeleteValue(Parameters, "portname"));
    EXPECT_FALSE(HkRegGetValue(Parameters, "PortName"));
    EXPECT_TRUE(HkRegDeleteKey("HKLM\\System\\CurrentControlSet\\Services\\pelvon"));
    EXPECT_FALSE(HkRegKeyExists(Parameters));
    EXPECT_TRUE(HkRegKeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services"));
    EXPECT_THROW(HkRegCreateKey("\\Device\\Serial0"), std::invalid_argument);

    HkReset();
    EXPECT_FALSE(HkRegKeyExists("\\Registry\\Machine\\System"));
    EXPECT_TRUE(HkRegKeyExists("\\Registry\\Machine"));
}

// ---------------------------------------------------------------- handles

TEST_F(Registry, OpenKeyFindsExistingKeysOnlyAndTracksHandles)
{
    HANDLE handle = reinterpret_cast<HANDLE>(0x5A5A);
    EXPECT_EQ(OpenKey(ParametersW, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x5A5A));
    EXPECT_EQ(OpenKey(L"\\Parameters", &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    HkRegCreateKey(Parameters);
    ASSERT_EQ(OpenKey(L"\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\Services\\Pelvon\\Parameters", &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(HkRegOpenHandleCount(), 1u);
    EXPECT_NE(HkLeftBehind().find("Parameters never closed"), std::string::npos) << HkLeftBehind();

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(HkLeftBehind(), "");
}

TEST_F(Registry, ClosingAHandleTwiceIsAnInvalidKernelHandle)
{
    HkRegCreateKey(Parameters);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKey(ParametersW, &handle), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(StopRule([&] { ZwClose(handle); }), HkStop::InvalidKernelHandle::NotAKeyHandle);
}

TEST_F(Registry, RegistryServicesRequirePassiveLevel)
{
    HkRegCreateKey(Parameters);
    HANDLE handle = nullptr;
    RTL_QUERY_REGISTRY_TABLE table[1] = {};
    RaisedIrql raised(DISPATCH_LEVEL);
    EXPECT_EQ(StopRule([&] { OpenKey(ParametersW, &handle); }), HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
    EXPECT_EQ(StopRule([&] { RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ParametersW, table, nullptr, nullptr); }),
              HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
}

// ---------------------------------------------------------------- ZwQueryValueKey

class QueryValueKey : public Registry {
protected:
    void SetUp() override
    {
        Registry::SetUp();
        for (int i = 0; i < 19; ++i) {
            calibration.push_back(static_cast<uint8_t>(0xA0 + i));
        }
        HkRegSetBinary(Parameters, "Calibration", calibration);
        ASSERT_EQ(OpenKey(ParametersW, &key), STATUS_SUCCESS);
        buffer.assign(80, 0xCC);
    }
    void TearDown() override { ZwClose(key); }

    NTSTATUS Query(const WCHAR* name, ULONG length)
    {
        UNICODE_STRING valueName = Counted(name);
        return ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer.data(), length, &resultLength);
    }
    ULONG Field(size_t offset) const
    {
        ULONG value;
        std::memcpy(&value, buffer.data() + offset, 4);
        return value;
    }
    bool UntouchedFrom(size_t offset) const
    {
        for (size_t i = offset; i < buffer.size(); ++i) {
            if (buffer[i] != 0xCC) {
                return false;
            }
        }
        return true;
    }

    HANDLE key = nullptr;
    std::vector<uint8_t> calibration;
    std::vector<uint8_t> buffer;
    ULONG resultLength = 0;
};

// "Calibration": 22-byte name, data at 44, 63 bytes needed.
TEST_F(QueryValueKey, BelowTheFixedPartNothingIsWritten)
{
    EXPECT_EQ(Query(L"Calibration", 19), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, 63u);
    EXPECT_TRUE(UntouchedFrom(0));
}

TEST_F(QueryValueKey, ExactlyTheFixedPartGetsTheFixedPartOnly)
{
    EXPECT_EQ(Query(L"Calibration", 20), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength, 63u);
    EXPECT_EQ(Field(0), 0u);
    EXPECT_EQ(Field(4), ULONG(REG_BINARY));
    EXPECT_EQ(Field(8), 44u);
    EXPECT_EQ(Field(12), 19u);
    EXPECT_EQ(Field(16), 22u);
    EXPECT_TRUE(UntouchedFrom(20));
}

TEST_F(QueryValueKey, OneByteShortWritesTheNameAndAllDataThatFits)
{
    EXPECT_EQ(Query(L"calibration", 62), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength, 63u);
    EXPECT_EQ(Text(buffer.data() + 20, 22), u"Calibration");
    EXPECT_EQ(buffer[42], 0xCC); // alignment padding is left alone
    EXPECT_TRUE(std::equal(calibration.begin(), calibration.begin() + 18, buffer.begin() + 44));
    EXPECT_TRUE(UntouchedFrom(62));
}

TEST_F(QueryValueKey, NeededLengthGetsTheWholeRecord)
{
    EXPECT_EQ(Query(L"Calibration", 63), STATUS_SUCCESS);
    EXPECT_EQ(resultLength, 63u);
    std::vector<uint8_t> expected = {0, 0, 0, 0, 3, 0, 0, 0, 44, 0, 0, 0, 19, 0, 0, 0, 22, 0, 0, 0};
    for (char c : std::string("Calibration")) {
        expected.push_back(static_cast<uint8_t>(c));
        expected.push_back(0);
    }
    expected.push_back(0xCC);
    expected.push_back(0xCC);
    expected.insert(expected.end(), calibration.begin(), calibration.end());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 63), expected);
    EXPECT_TRUE(UntouchedFrom(63));
}

TEST_F(QueryValueKey, MissingValueLeavesTheBufferAloneAndShortNamesAlignTheData)
{
    EXPECT_EQ(Query(L"Beep", 37), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(UntouchedFrom(0));

    HkRegSetBinary(Parameters, "Abc", {1, 2, 3});
    EXPECT_EQ(Query(L"Abc", 80), STATUS_SUCCESS);
    EXPECT_EQ(Field(8), 28u); // 20 + 6 rounded up to 4
    EXPECT_EQ(resultLength, 31u);
}

// ---------------------------------------------------------------- RtlQueryRegistryValues, direct stores

// The shape of a driver's parameter table: a string, a DWORD with a
// default, a binary staged behind a negative size word, staged DWORDs.
struct ParameterQuery {
    WCHAR portName[256];
    UNICODE_STRING portNameString{0, 512, portName};
    ULONG baudRate = 0;
    uint8_t filter[8] = {0x00, 0x80, 0x00, 0x80, 0, 0, 0, 0};
    ULONG multiMonitor = 1;
    ULONG ltrb = 1;

    ULONG defaultBaud = 19200;
    uint8_t defaultFilter[8] = {0x00, 0x80, 0x00, 0x80, 0, 0, 0, 0};
    ULONG defaultOne = 1;
    WCHAR emptyString[1] = {0};
    RTL_QUERY_REGISTRY_TABLE table[6] = {};

    ParameterQuery()
    {
        for (WCHAR& c : portName) {
            c = L'x'; // shows whether anything was written
        }
        table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"PortName"), &portNameString, REG_SZ,
                    emptyString, 0};
        table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"BaudRate"), &baudRate, REG_DWORD,
                    &defaultBaud, 4};
        table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Filter"), filter, REG_BINARY,
                    defaultFilter, 8};
        table[3] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"MultiMonitor"), &multiMonitor,
                    REG_DWORD, &defaultOne, 4};
        table[4] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"LTRB"), &ltrb, REG_DWORD, &defaultOne, 4};
    }
    void Declare()
    {
        HkRegDeclareDirectDestination(&portNameString, sizeof(portNameString));
        HkRegDeclareDirectDestination(portName, sizeof(portName));
        HkRegDeclareDirectDestination(&baudRate, 4);
        HkRegDeclareDirectDestination(filter, 8);
        HkRegDeclareDirectDestination(&multiMonitor, 4);
        HkRegDeclareDirectDestination(&ltrb, 4);
    }
    NTSTATUS Run() { return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ParametersW, table, nullptr, nullptr); }
    std::vector<uint8_t> Filter() const { return std::vector<uint8_t>(filter, filter + 8); }
};

TEST_F(Registry, MissingKeyFailsBeforeAnyDefaultIsStored)
{
    ParameterQuery query;
    EXPECT_EQ(query.Run(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query.portName[0], L'x');
    EXPECT_EQ(query.baudRate, 0u);
}

TEST_F(Registry, EmptyKeyStoresEveryDefault)
{
    HkRegCreateKey(Parameters);
    ParameterQuery query;
    query.Declare();
    query.multiMonitor = 7;
    EXPECT_EQ(query.Run(), STATUS_SUCCESS);
    EXPECT_EQ(query.portName[0], 0); // the measured empty string: one NUL
    EXPECT_EQ(query.portName[1], L'x');
    EXPECT_EQ(query.portNameString.Length, 0);
    EXPECT_EQ(query.baudRate, 19200u);
    EXPECT_EQ(query.Filter(), (std::vector<uint8_t>{0x00, 0x80, 0x00, 0x80, 0, 0, 0, 0}));
    EXPECT_EQ(query.multiMonitor, 1u);
}

TEST_F(Registry, PortNameOf255CharactersIsCopiedWithItsNul)
{
    HkRegSetString(Parameters, "PortName", std::string(255, 'P'));
    ParameterQuery query;
    query.Declare();
    EXPECT_EQ(query.Run(), STATUS_SUCCESS);
    EXPECT_EQ(query.portNameString.Length, 510);
    EXPECT_EQ(query.portName[254], L'P');
    EXPECT_EQ(query.portName[255], 0);
    EXPECT_EQ(query.baudRate, 19200u);
}

TEST_F(Registry, PortNameOf256CharactersEndsTheTableByDefault)
{
    HkRegSetString(Parameters, "PortName", std::string(256, 'P'));
    ParameterQuery query;
    query.Declare();
    query.multiMonitor = 7;
    EXPECT_EQ(query.Run(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(query.portName[0], L'x');
    EXPECT_EQ(query.portNameString.Length, 0);
    EXPECT_EQ(query.baudRate, 0u);
    EXPECT_EQ(query.multiMonitor, 7u);
}

TEST_F(Registry, PortNameOf256CharactersIsSkippedUnderTheOtherReading)
{
    HkRegSetTooSmallStringStopsQuery(false);
    HkRegSetString(Parameters, "PortName", std::string(256, 'P'));
    ParameterQuery query;
    query.Declare();
    EXPECT_EQ(query.Run(), STATUS_SUCCESS);
    EXPECT_EQ(query.portName[0], L'x');
    EXPECT_EQ(query.portNameString.Length, 0);
    EXPECT_EQ(query.baudRate, 19200u);
}

TEST_F(Registry, ShortValuesReplaceOnlyTheirOwnLeadingBytes)
{
    HkRegSetDword(Parameters, "MultiMonitor", 0x100);
    HkRegSetBinary(Parameters, "Filter", {0x00, 0x40, 0x00, 0xC0});
    HkRegSetValue(Parameters, "LTRB", REG_BINARY, {0x34, 0x12});
    ParameterQuery query;
    query.Declare();
    query.ltrb = 0xAABBCCDD;
    EXPECT_EQ(query.Run(), STATUS_SUCCESS);
    EXPECT_EQ(query.multiMonitor, 0x100u);
    EXPECT_EQ(query.Filter(), (std::vector<uint8_t>{0x00, 0x40, 0x00, 0xC0, 0, 0, 0, 0}));
    EXPECT_EQ(query.ltrb, 0xAABB1234u);
}

TEST_F(Registry, LongValuesFollowTheSizeWordOfTheirDestination)
{
    HkRegSetBinary(Parameters, "Blob", {1, 2, 3, 4, 5, 6, 7, 8});
    uint8_t withHeader[16];
    const ULONG size16 = 16;
    std::memset(withHeader, 0xEE, sizeof(withHeader));
    std::memcpy(withHeader, &size16, 4);
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Blob"), withHeader, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ParametersW, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(withHeader, withHeader + 16),
              (std::vector<uint8_t>{8, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));

    // One byte short of the header and data; then a negative size of 7.
    const ULONG size15 = 15;
    std::memcpy(withHeader, &size15, 4);
    std::memset(withHeader + 4, 0xEE, 12);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ParametersW, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(withHeader[4], 0xEE);
    const LONG minus7 = -7;
    std::memcpy(withHeader, &minus7, 4);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ParametersW, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::memcmp(withHeader, &minus7, 4), 0);
}

TEST_F(Registry, TableStopsAtTheFirstFailingEntryKeepingEarlierStores)
{
    HkRegSetDword(Parameters, "BaudRate", 9600);
    ParameterQuery query;
    query.table[1].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    query.table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, const_cast<PWSTR>(L"Absent"),
                      query.filter, REG_NONE, nullptr, 0};
    query.multiMonitor = 7;
    EXPECT_EQ(query.Run(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query.portName[0], 0);
    EXPECT_EQ(query.baudRate, 9600u);
    EXPECT_EQ(query.multiMonitor, 7u); // not reached: no default either

    // A direct entry with a routine is an invalid table entry.
    query.table[2] = {[](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; },
                      RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Filter"), query.filter, REG_NONE, nullptr, 0};
    EXPECT_EQ(query.Run(), STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------- RtlQueryRegistryValues, query routines

struct RoutineCall {
    std::u16string Name;
    ULONG Type;
    std::u16string Data;
    ULONG Length;
    bool operator==(const RoutineCall&) const = default;
};

struct Recorder {
    std::vector<RoutineCall> Calls;
    std::vector<NTSTATUS> Replies; // one per call; success once they run out
    PVOID SeenEntryContext = nullptr;
};

NTSTATUS NTAPI RecordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                           PVOID EntryContext)
{
    auto* recorder = static_cast<Recorder*>(Context);
    std::u16string name;
    for (PWSTR c = ValueName; *c != 0; ++c) {
        name.push_back(static_cast<char16_t>(*c));
    }
    recorder->Calls.push_back(RoutineCall{name, ValueType, Text(ValueData, ValueLength), ValueLength});
    recorder->SeenEntryContext = EntryContext;
    // A routine may use the registry itself; the stand-in must not be locked.
    EXPECT_TRUE(HkRegKeyExists(SerialComm));
    const size_t call = recorder->Calls.size() - 1;
    return call < recorder->Replies.size() ? recorder->Replies[call] : STATUS_SUCCESS;
}

class SerialCommEnumeration : public Registry {
protected:
    void SetUp() override
    {
        Registry::SetUp();
        HkRegSetString(SerialComm, "\\Device\\Serial0", "COM1");
        HkRegSetValue(SerialComm, "Placeholder", REG_NONE, {1, 2});
        HkRegSetMultiString(SerialComm, "\\Device\\Multi", {"COM7", "COM8"});
        HkRegSetString(SerialComm, "\\Device\\Serial1", "COM2");
        table[0].QueryRoutine = RecordValue;
        table[0].EntryContext = &entryContext;
    }
    NTSTATUS Run()
    {
        return RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, L"serialcomm", table, &recorder,
                                      nullptr);
    }
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    Recorder recorder;
    int entryContext = 0;
};

TEST_F(SerialCommEnumeration, RoutineSeesEveryValueInOrderWithMultiStringsSplit)
{
    EXPECT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(recorder.Calls, (std::vector<RoutineCall>{
                                  {u"\\Device\\Serial0", REG_SZ, u"COM1", 10},
                                  {u"\\Device\\Multi", REG_SZ, u"COM7", 10},
                                  {u"\\Device\\Multi", REG_SZ, u"COM8", 10},
                                  {u"\\Device\\Serial1", REG_SZ, u"COM2", 10},
                              }));
    EXPECT_EQ(recorder.SeenEntryContext, &entryContext);
}

TEST_F(SerialCommEnumeration, BufferTooSmallFromTheRoutineIsIgnoredOtherFailuresStop)
{
    recorder.Replies = {STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL};
    table[1] = table[0]; // must not be reached
    EXPECT_EQ(Run(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(recorder.Calls.size(), 2u);
}

TEST_F(SerialCommEnumeration, MissingKeyNeverCallsTheRoutine)
{
    HkRegDeleteKey(SerialComm);
    EXPECT_EQ(Run(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(recorder.Calls.empty());
}

TEST_F(SerialCommEnumeration, RoutineReturningAtRaisedIrqlIsCaught)
{
    table[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS {
        KfRaiseIrql(DISPATCH_LEVEL);
        return STATUS_SUCCESS;
    };
    const HkRule::Misuse stop = StopRule([&] { Run(); });
    KfLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(stop, HkStop::IrqlMismatchOnReturn::QueryRoutineChangedIrql);
}

// ---------------------------------------------------------------- declared destinations

TEST_F(Registry, OverlongBinaryIntoADeclaredStagingAreaIsStopped)
{
    HkRegSetBinary(Parameters, "Filter", std::vector<uint8_t>(12, 0x11));
    ParameterQuery query;
    query.Declare();
    EXPECT_EQ(StopRule([&] { query.Run(); }), HkStop::DetectedViolation::DirectHeaderlessDataOverrun);
    EXPECT_EQ(query.Filter(), (std::vector<uint8_t>{0x00, 0x80, 0x00, 0x80, 0, 0, 0, 0}));
}

TEST_F(Registry, WrongTypedValuesIntoDeclaredDwordsAreStopped)
{
    // A string under a DWORD name would be treated as a UNICODE_STRING.
    HkRegSetString(Parameters, "MultiMonitor", "2");
    ParameterQuery query;
    query.Declare();
    EXPECT_EQ(StopRule([&] { query.Run(); }), HkStop::DetectedViolation::DirectStringIntoSmallBlock);

    // A binary under a DWORD name whose prefill (19200) reads as a capacity.
    HkRegDeleteValue(Parameters, "MultiMonitor");
    HkRegSetBinary(Parameters, "BaudRate", std::vector<uint8_t>(8, 0x22));
    ParameterQuery second;
    second.Declare();
    second.baudRate = 19200;
    EXPECT_EQ(StopRule([&] { second.Run(); }), HkStop::DetectedViolation::DirectHeaderAndDataOverrun);
    EXPECT_EQ(second.baudRate, 19200u);
}

TEST_F(Registry, StringLongerThanTheDeclaredBufferIsStopped)
{
    HkRegSetString(Parameters, "PortName", std::string(60, 'Q'));
    ParameterQuery query;
    query.Declare();
    HkRegDeclareDirectDestination(query.portName, 100); // MaximumLength claims 512
    EXPECT_EQ(StopRule([&] { query.Run(); }), HkStop::DetectedViolation::DirectStringOverrun);
    EXPECT_EQ(query.portName[0], L'x');
}

TEST_F(Registry, UnsupportedTableFlagsStopTheTest)
{
    HkRegCreateKey(Parameters);
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {RecordValue, RTL_QUERY_REGISTRY_SUBKEY, const_cast<PWSTR>(L"Sub"), nullptr, REG_NONE, nullptr, 0};
    EXPECT_EQ(StopRule([&] { RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, ParametersW, table, nullptr, nullptr); }),
              HkStop::DetectedViolation::QueryFlagsUnsupported);
}

// ---------------------------------------------------------------- .reg files

TEST_F(Registry, RegFileSetsAndDeletesKeysAndValues)
{
    HkRegSetDword(Parameters, "Stale", 1);
    HkRegCreateKey(Parameters + "\\Old\\Deeper");
    const auto error = HkRegLoadRegFile("REGEDIT4\r\n"
                                        "\r\n"
                                        "; touch settings\r\n"
                                        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\pelvon\\Parameters]\r\n"
                                        "\"PortName\"=\"COM2\"\r\n"
                                        "\"Path\"=\"C:\\\\drv \\\"x\\\"\"\r\n"
                                        "@=\"default\"\r\n"
                                        "\"BaudRate\"=dword:00004b00\r\n"
                                        "\"Calibration\"=hex:01,00,02,00,00,80,10,00,\\\r\n"
                                        "  00,00,01,00\r\n"
                                        "\"Ports\"=hex(7):41,00,00,00,00,00\r\n"
                                        "\"Empty\"=hex:\r\n"
                                        "\"Stale\"=-\r\n"
                                        "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\pelvon\\Parameters\\Old]\r\n"
                                        "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n");
    ASSERT_FALSE(error) << error->ToString();
    EXPECT_EQ(HkRegGetValue(Parameters, "PortName"), (HkRegValue{REG_SZ, HkRegStringData("COM2")}));
    EXPECT_EQ(HkRegGetValue(Parameters, "Path"), (HkRegValue{REG_SZ, HkRegStringData("C:\\drv \"x\"")}));
    EXPECT_EQ(HkRegGetValue(Parameters, ""), (HkRegValue{REG_SZ, HkRegStringData("default")}));
    EXPECT_EQ(HkRegGetValue(Parameters, "BaudRate"), (HkRegValue{REG_DWORD, {0x00, 0x4B, 0, 0}}));
    EXPECT_EQ(HkRegGetValue(Parameters, "Calibration"),
              (HkRegValue{REG_BINARY, {1, 0, 2, 0, 0, 0x80, 0x10, 0, 0, 0, 1, 0}}));
    EXPECT_EQ(HkRegGetValue(Parameters, "Ports"), (HkRegValue{REG_MULTI_SZ, {0x41, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(HkRegGetValue(Parameters, "Empty"), (HkRegValue{REG_BINARY, {}}));
    EXPECT_FALSE(HkRegGetValue(Parameters, "Stale"));
    EXPECT_FALSE(HkRegKeyExists(Parameters + "\\Old"));
    EXPECT_TRUE(HkRegKeyExists(SerialComm));
}

TEST_F(Registry, MalformedRegFilesNameTheLineAndChangeNothing)
{
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Test]\n";
    struct Case {
        std::string Text;
        int Line;
        std::string Fragment;
    };
    const Case cases[] = {
        {"\"A\"=dword:1\n", 1, "REGEDIT4"},
        {"REGEDIT4\n" + key + "\"A\"=dword:123456789\n", 3, "dword"},
        {"REGEDIT4\n" + key + "\"A\"=\"open\n", 3, "unterminated"},
        {"REGEDIT4\n" + key + "\"A\"=\"a\\n\"\n", 3, "escape"},
        {"REGEDIT4\n\"A\"=dword:1\n", 2, "outside"},
        {"REGEDIT4\n" + key + "\"A\"=hex:01,\\\n  0g\n", 3, "0g"},
        {"REGEDIT4\n" + key + "\"A\"=hex:01,\\\n", 3, "continuation"},
        {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", 2, "HKEY_NOWHERE"},
        {"REGEDIT4\n" + key + "\"A\"=text\n", 3, "unrecognised"},
        {"REGEDIT4\n" + key + "A=dword:1\n", 3, "expected"},
        {"REGEDIT4\n" + key + "\"A\xFF\"=dword:1\n", 3, "UTF-8"},
        {"REGEDIT4\n" + key + "\"\xC3\"=-\n", 3, "UTF-8"},
        {"REGEDIT4\n" + key + "\"A\"=\"\xE2\x82\"\n", 3, "UTF-8"},
    };
    for (const Case& c : cases) {
        const auto error = HkRegLoadRegFile(c.Text);
        ASSERT_TRUE(error) << c.Text;
        EXPECT_EQ(error->Line, c.Line) << error->ToString();
        EXPECT_NE(error->Message.find(c.Fragment), std::string::npos) << error->ToString();
    }
    EXPECT_FALSE(HkRegKeyExists("HKLM\\Software\\Test"));
}

TEST_F(Registry, RegFileLoadsFromDisk)
{
    const std::string path = ::testing::TempDir() + "registry_test_settings.reg";
    {
        std::ofstream file(path);
        file << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"ButtonMode\"=dword:00000002\n";
    }
    EXPECT_FALSE(HkRegLoadRegFileFromPath(path));
    EXPECT_EQ(HkRegGetValue("HKLM\\Software\\Test", "ButtonMode"), (HkRegValue{REG_DWORD, {2, 0, 0, 0}}));
    std::remove(path.c_str());
    const auto missing = HkRegLoadRegFileFromPath(path);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->Line, 0);
    EXPECT_NE(missing->Message.find("No such file or directory"), std::string::npos) << missing->Message;
    const auto directory = HkRegLoadRegFileFromPath(::testing::TempDir());
    ASSERT_TRUE(directory);
    EXPECT_NE(directory->Message.find("Is a directory"), std::string::npos) << directory->Message;
}

// Sizes at which a loader that searched a key's values, or re-copied a
// value at each continuation line, would take minutes.
TEST_F(Registry, LargeRegFilesKeepValueOrderAndFindNamesInAnyCase)
{
    const size_t values = 100000;
    const size_t continuations = 200000;
    const std::string key = "HKLM\\Software\\Scale";
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Scale]\n";
    for (size_t i = 0; i < values; i++) {
        text += "\"Value" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    }
    text += "\"value7\"=dword:8\n\"Long\"=hex:00";
    for (size_t i = 0; i < continuations; i++) {
        text += ", \\\n  01";
    }
    text += "\n\"Value3\"=-\n\"Value3\"=dword:2\n";
    HkRegFileSummary summary;
    const auto error = HkRegLoadRegFile(text, &summary);
    ASSERT_FALSE(error) << error->ToString();
    ASSERT_EQ(summary.ValueKeys.size(), 1u);
    EXPECT_EQ(summary.ValueKeys[0].Line, 2);

    const std::vector<std::string> names = HkRegValueNames(key);
    ASSERT_EQ(names.size(), values + 1);
    EXPECT_EQ(names[0], "Value0");
    EXPECT_EQ(names[6], "Value7"); // replaced in place, under its first spelling (Value3 moved)
    EXPECT_EQ(names[values - 1], "Long");
    EXPECT_EQ(names[values], "Value3"); // deleted and made again: now the last
    EXPECT_EQ(HkRegGetValue(key, "VALUE7"), (HkRegValue{REG_DWORD, {8, 0, 0, 0}}));
    EXPECT_EQ(HkRegGetValue(key, "value99999"), (HkRegValue{REG_DWORD, {9, 0, 0, 0}}));
    const auto longValue = HkRegGetValue(key, "Long");
    ASSERT_TRUE(longValue);
    EXPECT_EQ(longValue->Data.size(), continuations + 1);
    EXPECT_TRUE(HkRegDeleteValue(key, "vAlUe0"));
    EXPECT_FALSE(HkRegGetValue(key, "Value0"));
}

} // namespace
