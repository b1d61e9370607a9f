// Counted Unicode strings and the WCHAR helpers.
#include <gtest/gtest.h>

#include "hostkernel.h"
#include "stop_rule.h"
#include "verifier.h"

namespace {

class UnicodeString : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
    void TearDown() override { HkReset(); }
};

TEST_F(UnicodeString, InitPointsAtTheSourceWithoutCopying)
{
    std::u16string text = HkWide("\\Device\\pelvon");
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, HkWcs(text));
    EXPECT_EQ(string.Buffer, HkWcs(text));
    EXPECT_EQ(string.Length, 28);
    EXPECT_EQ(string.MaximumLength, 30);
    EXPECT_EQ(HkNarrow(string), "\\Device\\pelvon");

    RtlInitUnicodeString(&string, nullptr);
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 0);
    EXPECT_EQ(string.Buffer, nullptr);
}

// The driver's path construction: room for the saved path plus 24 bytes.
TEST_F(UnicodeString, AppendWritesTheNulOnlyWhenTwoBytesRemain)
{
    std::u16string saved = HkWide("\\Registry\\Machine\\Svc");
    std::u16string parameters = HkWide("\\Parameters");
    std::vector<WCHAR> buffer(64, 0x7777);
    UNICODE_STRING path{0, static_cast<USHORT>(saved.size() * 2 + 24), buffer.data()};
    ASSERT_EQ(RtlAppendUnicodeToString(&path, HkWcs(saved)), STATUS_SUCCESS);
    EXPECT_EQ(buffer[saved.size()], 0); // 24 bytes were left
    ASSERT_EQ(RtlAppendUnicodeToString(&path, HkWcs(parameters)), STATUS_SUCCESS);
    EXPECT_EQ(HkNarrow(path), "\\Registry\\Machine\\Svc\\Parameters");
    EXPECT_EQ(path.MaximumLength - path.Length, 2);
    EXPECT_EQ(buffer[path.Length / 2], 0);

    // Exactly full: no NUL after the text.
    std::vector<WCHAR> tight(8, 0x7777);
    UNICODE_STRING full{0, 6, tight.data()};
    std::u16string abc = HkWide("abc");
    ASSERT_EQ(RtlAppendUnicodeToString(&full, HkWcs(abc)), STATUS_SUCCESS);
    EXPECT_EQ(full.Length, 6);
    EXPECT_EQ(tight[3], 0x7777);

    // NULL source: nothing to append.
    EXPECT_EQ(RtlAppendUnicodeToString(&full, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(full.Length, 6);
}

TEST_F(UnicodeString, AppendThatDoesNotFitChangesNothing)
{
    std::vector<WCHAR> buffer(8, 0x7777);
    UNICODE_STRING string{2, 8, buffer.data()};
    buffer[0] = 'x';
    std::u16string tooLong = HkWide("abcd");
    EXPECT_EQ(RtlAppendUnicodeToString(&string, HkWcs(tooLong)), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(string.Length, 2);
    EXPECT_EQ(buffer[1], 0x7777);
    std::u16string fits = HkWide("abc");
    EXPECT_EQ(RtlAppendUnicodeToString(&string, HkWcs(fits)), STATUS_SUCCESS);
    EXPECT_EQ(HkNarrow(string), "xabc");
}

TEST_F(UnicodeString, UpcaseCoversAsciiAndLatin1)
{
    const std::pair<unsigned, unsigned> cases[] = {
        {'a', 'A'},     {'z', 'Z'},     {'A', 'A'},     {'{', '{'},     {'`', '`'},      {'1', '1'},
        {0xE0, 0xC0},   {0xF6, 0xD6},   {0xF7, 0xF7},   {0xF8, 0xD8},   {0xFE, 0xDE},    {0xFF, 0x178},
        {0xDF, 0xDF},   {0xC0, 0xC0},   {0xB5, 0xB5},   {0x100, 0x100},
    };
    for (const auto& [lower, upper] : cases) {
        EXPECT_EQ(static_cast<unsigned>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(lower))), upper) << std::hex << lower;
    }
}

TEST_F(UnicodeString, UpcaseAtDispatchLevelStops)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(StopRule([] { RtlUpcaseUnicodeChar('a'); }), HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
    KeLowerIrql(old);
}

TEST_F(UnicodeString, NarrowEncodesUtf8)
{
    const WCHAR text[] = {'C', 'O', 'M', 0xE9, 0x20AC};
    EXPECT_EQ(HkNarrow(text, 5), "COM\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(HkWcsLen(HkWcs(HkWide("COM1"))), 4u);
}

} // namespace
