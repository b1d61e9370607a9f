// Test API of the run-time library's strings: the conversions the stand-in
// and tests use to build and read WCHAR text.
#include "internal.h"

size_t HkWcsLen(const WCHAR* Text)
{
    size_t length = 0;
    while (Text[length] != 0) {
        ++length;
    }
    return length;
}

std::u16string HkWide(const std::string& Ascii)
{
    std::u16string text;
    text.reserve(Ascii.size());
    for (char c : Ascii) {
        text += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return text;
}

UNICODE_STRING HkUnicodeString(std::u16string& Text)
{
    UNICODE_STRING string;
    string.Length = static_cast<USHORT>(Text.size() * sizeof(WCHAR));
    string.MaximumLength = static_cast<USHORT>((Text.size() + 1) * sizeof(WCHAR));
    string.Buffer = HkWcs(Text);
    return string;
}

std::string HkNarrow(const WCHAR* Text, size_t Chars)
{
    std::string utf8;
    for (size_t i = 0; i < Chars; ++i) {
        const unsigned c = static_cast<uint16_t>(Text[i]);
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else if (c < 0x800) {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            // Surrogates pass through one by one: good enough for names.
            utf8 += static_cast<char>(0xE0 | (c >> 12));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

std::string HkNarrow(const UNICODE_STRING& Text)
{
    return Text.Buffer == nullptr ? std::string() : HkNarrow(Text.Buffer, Text.Length / sizeof(WCHAR));
}
