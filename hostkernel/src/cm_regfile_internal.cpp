// Parses .reg files (the REGEDIT4 text format driver settings ship in) and
// applies them to the stand-in's registry through the test API. The whole
// file is parsed before anything is applied, so a malformed file changes nothing.
#include "cm_regfile_internal.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <stdexcept>

namespace hk::regfile {
namespace {

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool StartsWithNoCase(const std::string& text, size_t at, const std::string& prefix)
{
    if (text.size() - at < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

// A quoted string starting at text[at] == '"', with the \\ and \" escapes.
std::string ParseQuoted(const std::string& text, size_t& at, int line)
{
    std::string out;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return out;
        }
        if (c == '\\') {
            if (at + 1 >= text.size() || (text[at + 1] != '\\' && text[at + 1] != '"')) {
                throw ParseError{line, "unknown escape in quoted string (only \\\\ and \\\" are allowed)"};
            }
            out.push_back(text[++at]);
        } else {
            out.push_back(c);
        }
    }
    throw ParseError{line, "unterminated quoted string"};
}

std::optional<uint32_t> ParseHexNumber(const std::string& digits, size_t maxDigits)
{
    if (digits.empty() || digits.size() > maxDigits) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

std::vector<uint8_t> ParseHexBytes(const std::string& list, int line)
{
    std::vector<uint8_t> bytes;
    if (Trimmed(list).empty()) {
        return bytes;
    }
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        const auto byte = ParseHexNumber(Trimmed(item), 2);
        if (!byte) {
            throw ParseError{line, "bad byte \"" + Trimmed(item) + "\" in hex list (expected two hex digits)"};
        }
        bytes.push_back(static_cast<uint8_t>(*byte));
    }
    if (Trimmed(list).back() == ',') {
        throw ParseError{line, "hex list ends with a comma"};
    }
    return bytes;
}

// `"Name"=data` or `@=data` under the current key.
Operation ParseValueLine(const std::string& text, const std::string& keyPath, int line)
{
    Operation op;
    op.Path = keyPath;
    size_t at = 0;
    if (text[0] == '@') {
        at = 1;
    } else {
        op.Name = ParseQuoted(text, at, line);
        try {
            HkRegStringData(op.Name); // the registry keeps names as UTF-16
        } catch (const std::invalid_argument&) {
            throw ParseError{line, "the value name is not valid UTF-8"};
        }
    }
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
        ++at;
    }
    if (at >= text.size() || text[at] != '=') {
        throw ParseError{line, "expected '=' after the value name"};
    }
    const std::string data = Trimmed(text.substr(at + 1));
    if (data == "-") {
        op.What = Operation::DeleteValue;
        return op;
    }
    op.What = Operation::SetValue;
    if (!data.empty() && data[0] == '"') {
        size_t end = 0;
        const std::string value = ParseQuoted(data, end, line);
        if (end != data.size()) {
            throw ParseError{line, "unexpected text after the closing quote"};
        }
        op.Type = REG_SZ;
        try {
            op.Data = HkRegStringData(value);
        } catch (const std::invalid_argument&) {
            throw ParseError{line, "the string data is not valid UTF-8"};
        }
        return op;
    }
    if (StartsWithNoCase(data, 0, "dword:")) {
        const auto number = ParseHexNumber(data.substr(6), 8);
        if (!number) {
            throw ParseError{line, "bad dword \"" + data.substr(6) + "\" (expected 1 to 8 hex digits)"};
        }
        op.Type = REG_DWORD;
        op.Data = {static_cast<uint8_t>(*number), static_cast<uint8_t>(*number >> 8),
                   static_cast<uint8_t>(*number >> 16), static_cast<uint8_t>(*number >> 24)};
        return op;
    }
    if (StartsWithNoCase(data, 0, "hex:")) {
        op.Type = REG_BINARY;
        op.Data = ParseHexBytes(data.substr(4), line);
        return op;
    }
    if (StartsWithNoCase(data, 0, "hex(")) {
        const size_t close = data.find("):");
        const auto type = close == std::string::npos ? std::nullopt : ParseHexNumber(data.substr(4, close - 4), 8);
        if (!type) {
            throw ParseError{line, "bad hex(N): type prefix"};
        }
        op.Type = *type;
        op.Data = ParseHexBytes(data.substr(close + 2), line);
        return op;
    }
    throw ParseError{line, "unrecognised value data \"" + data + "\" (expected \"text\", dword:, hex:, hex(N): or -)"};
}

Operation ParseSection(const std::string& text, int line)
{
    if (text.back() != ']') {
        throw ParseError{line, "section header without closing ']'"};
    }
    Operation op;
    std::string path = text.substr(1, text.size() - 2);
    op.What = Operation::CreateKey;
    if (!path.empty() && path[0] == '-') {
        op.What = Operation::DeleteKey;
        path = path.substr(1);
    }
    try {
        HkRegStringData(path);
    } catch (const std::invalid_argument&) {
        throw ParseError{line, "the key path is not valid UTF-8"};
    }
    try {
        op.Path = HkRegCanonicalPath(path);
    } catch (const std::invalid_argument&) {
        throw ParseError{line, "bad key path \"" + path + "\" (expected HKEY_LOCAL_MACHINE\\... or similar)"};
    }
    if (op.What == Operation::DeleteKey && std::count(op.Path.begin(), op.Path.end(), '\\') <= 2) {
        throw ParseError{line, "a registry root cannot be deleted"};
    }
    return op;
}

} // namespace

std::vector<Operation> Parse(const std::string& text)
{
    std::vector<std::string> lines;
    {
        std::stringstream stream(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text);
        std::string line;
        while (std::getline(stream, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
    }
    std::vector<Operation> operations;
    bool headerSeen = false;
    std::optional<std::string> keyPath; // the current section, when it is not a delete
    int sectionLine = 0;
    for (size_t index = 0; index < lines.size(); ++index) {
        const int lineNumber = static_cast<int>(index + 1);
        std::string logical = Trimmed(lines[index]);
        if (logical.empty() || (headerSeen && logical[0] == ';')) {
            continue;
        }
        if (!headerSeen) {
            if (logical != "REGEDIT4" && logical != "Windows Registry Editor Version 5.00") {
                throw ParseError{lineNumber, "missing REGEDIT4 header"};
            }
            headerSeen = true;
            continue;
        }
        if (logical[0] == '[') {
            Operation op = ParseSection(logical, lineNumber);
            keyPath = op.What == Operation::CreateKey ? std::optional(op.Path) : std::nullopt;
            sectionLine = lineNumber;
            operations.push_back(std::move(op));
            continue;
        }
        if (logical[0] != '"' && logical[0] != '@') {
            throw ParseError{lineNumber, "expected a [key] section, a \"name\"= or @= value, or a ; comment"};
        }
        // Long hex lists go on over several lines, each but the last ending
        // in '\'; appended in place, so a value of many lines loads in linear time.
        while (logical.back() == '\\') {
            if (++index >= lines.size()) {
                throw ParseError{lineNumber, "line continuation at the end of the file"};
            }
            logical.pop_back();
            while (!logical.empty() && (logical.back() == ' ' || logical.back() == '\t')) {
                logical.pop_back();
            }
            logical += Trimmed(lines[index]);
        }
        if (!keyPath) {
            throw ParseError{lineNumber, "value outside a [key] section"};
        }
        operations.push_back(ParseValueLine(logical, *keyPath, lineNumber));
        operations.back().SectionLine = sectionLine;
    }
    if (!headerSeen) {
        throw ParseError{1, "missing REGEDIT4 header"};
    }
    return operations;
}

void Apply(const std::vector<Operation>& operations, HkRegFileSummary* Summary)
{
    std::set<std::string> seen;
    for (const Operation& op : operations) {
        if (Summary != nullptr && op.What == Operation::SetValue) {
            std::string folded = op.Path; // key names compare without case
            std::transform(folded.begin(), folded.end(), folded.begin(),
                           [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
            if (seen.insert(folded).second) {
                Summary->ValueKeys.push_back({op.Path, op.SectionLine});
            }
        }
        switch (op.What) {
        case Operation::CreateKey:
            HkRegCreateKey(op.Path);
            break;
        case Operation::DeleteKey:
            HkRegDeleteKey(op.Path);
            break;
        case Operation::SetValue:
            HkRegSetValue(op.Path, op.Name, op.Type, op.Data);
            break;
        case Operation::DeleteValue:
            HkRegDeleteValue(op.Path, op.Name);
            break;
        }
    }
}

std::string FromUtf16File(const std::string& bytes)
{
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace hk::regfile
