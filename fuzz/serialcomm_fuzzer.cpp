// The port lookup against a fuzzed SERIALCOMM map: value names that are
// ports, other devices, no device, empty or too long; data of any type,
// length and case, duplicates included; port names from the input sent with
// IOCTL_TOUCH_SET_PORT and IOCTL_TOUCH_OPEN_PORT. A model of the lookup says
// which value must win: the last one whose data, compared character by
// character ignoring case over its whole length (its NUL included), equals
// the configured name.
//
// Input: value count, per value [name kind, type, data kind, ...], then
// request records until the input ends.
#include "fuzz_session.h"

#include <cctype>
#include <optional>

namespace {

const size_t MaximumRequests = 8;

std::u16string Utf16(const std::vector<uint8_t>& Data)
{
    std::u16string text(Data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); i++) {
        text[i] = static_cast<char16_t>(Data[2 * i] | (Data[2 * i + 1] << 8));
    }
    return text;
}

std::vector<uint8_t> Utf16Bytes(const std::string& Text, bool WithNul)
{
    std::vector<uint8_t> data;
    for (char c : Text) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(0);
    }
    if (WithNul) {
        data.insert(data.end(), {0, 0});
    }
    return data;
}

std::string Printable(const std::vector<uint8_t>& Bytes)
{
    std::string text;
    for (uint8_t b : Bytes) {
        text.push_back(static_cast<char>(0x20 + b % 0x5F));
    }
    return text;
}

std::string MixCase(std::string Text, uint8_t Pattern)
{
    for (size_t i = 0; i < Text.size(); i++) {
        if (Pattern & (1u << (i % 8))) {
            Text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(Text[i])));
        }
    }
    return Text;
}

std::string ComName(FuzzInput& In)
{
    return MixCase("COM" + std::to_string(In.Byte() % 12), In.Byte());
}

std::string ValueName(FuzzInput& In, const std::string& PdoName)
{
    switch (In.Byte() % 7) {
    case 0: return "\\Device\\Serial" + std::to_string(In.Byte() % 6); // 0..3 exist
    case 1: return MixCase("\\Device\\Serial" + std::to_string(In.Byte() % 6), In.Byte());
    case 2: return "\\Device\\pelvon";
    case 3: return PdoName;
    case 4: return "";
    case 5: return Printable(In.Bytes(In.Byte() % 40));
    default: return "\\Device\\Serial0" + std::string(In.Le16() % 300, 'x');
    }
}

std::vector<uint8_t> ValueData(FuzzInput& In)
{
    switch (In.Byte() % 5) {
    case 0: return Utf16Bytes(ComName(In), true);
    case 1: return Utf16Bytes(ComName(In), false);
    case 2: {
        const size_t length = In.Le16() % 700;
        std::vector<uint8_t> data = In.Bytes(length);
        data.resize(length, 0);
        return data;
    }
    case 3: return Utf16Bytes(std::string(In.Le16() % 600, 'A'), true);
    default: {
        std::vector<uint8_t> data = Utf16Bytes(ComName(In), true);
        const std::vector<uint8_t> second = Utf16Bytes(ComName(In), true);
        data.insert(data.end(), second.begin(), second.end());
        data.insert(data.end(), {0, 0});
        return data;
    }
    }
}

ULONG ValueType(FuzzInput& In)
{
    static const ULONG types[] = {REG_SZ, REG_SZ, REG_SZ, REG_MULTI_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_NONE};
    return types[In.Byte() % 8];
}

// Whether Data (whole characters only) equals Name over its length.
bool DataMatches(const std::u16string& Data, const WCHAR* Name)
{
    if (Data.size() >= PORT_NAME_CHARACTERS) {
        return false;
    }
    for (size_t i = 0; i < Data.size(); i++) {
        if (RtlUpcaseUnicodeChar(Data[i]) != RtlUpcaseUnicodeChar(Name[i])) {
            return false;
        }
    }
    return true;
}

// The device path the lookup ends with: the name of the last matching value
// ("" when none matched, or when the last match has an empty name).
std::string ExpectedPath(const WCHAR* Name)
{
    std::optional<std::string> result;
    for (const std::string& valueName : HkRegValueNames(FuzzSerialCommKey)) {
        const HkRegValue value = *HkRegGetValue(FuzzSerialCommKey, valueName);
        std::vector<std::u16string> pieces;
        if (value.Type == REG_NONE || value.Data.empty()) {
            continue; // never reaches the comparison
        }
        if (value.Type == REG_MULTI_SZ) {
            // Each contained string with its NUL, as its own value.
            const std::u16string text = Utf16(value.Data);
            size_t start = 0;
            while (start < text.size() && text[start] != 0) {
                size_t end = text.find(u'\0', start);
                end = end == std::u16string::npos ? text.size() : end;
                pieces.push_back(text.substr(start, std::min(end + 1, text.size()) - start));
                start = end + 1;
            }
        } else {
            pieces.push_back(Utf16(value.Data));
        }
        for (const std::u16string& piece : pieces) {
            if (DataMatches(piece, Name) && valueName.size() < PORT_NAME_CHARACTERS) {
                result = valueName;
            }
        }
    }
    return result.value_or("");
}

bool SameIgnoringCase(const std::string& A, const std::string& B)
{
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return std::tolower(static_cast<unsigned char>(X)) == std::tolower(static_cast<unsigned char>(Y));
           });
}

void Lookup(FuzzSession& Session, FuzzInput& In)
{
    const uint8_t kind = In.Byte();
    std::vector<uint8_t> name;
    if (kind & 0x10) {
        name = In.Bytes(In.Byte());
    } else {
        const std::string text = ComName(In);
        name.assign(text.begin(), text.end());
    }
    const bool setPort = (kind & 1) == 0;
    const PDEVICE_OBJECT portBefore = Session.Extension->SerialDevice;
    const HkIoResult result = setPort ? Session.Control(IOCTL_TOUCH_SET_PORT, name)
                                      : Session.Control(IOCTL_TOUCH_OPEN_PORT, FuzzPortSettings(name, 9600));

    WCHAR configured[PORT_NAME_CHARACTERS] = {};
    for (size_t i = 0; i < name.size(); i++) {
        configured[i] = name[i];
    }
    const std::string path = ExpectedPath(configured);
    const std::string what = "name \"" + std::string(name.begin(), name.end()) + "\" expected \"" + path +
                             "\" status " + std::to_string(result.Status);
    FuzzTrace((setPort ? "set " : "open ") + what);
    PDEVICE_OBJECT found = path.empty() ? nullptr : HkFindDevice(path.c_str());
    if (found == nullptr) {
        FUZZ_CHECK(!NT_SUCCESS(result.Status), "an open succeeds only through a matching value naming a device; " +
                                                    what);
        // Setting the port closes the old one first; opening one lets the old
        // one go only once the new one is open (no device there: never).
        if (path.empty()) {
            FUZZ_CHECK(result.Status == STATUS_NOT_FOUND, "no match is STATUS_NOT_FOUND; " + what);
        }
        const PDEVICE_OBJECT expected = setPort ? nullptr : portBefore;
        FUZZ_CHECK(Session.Extension->SerialDevice == expected, "a failed open keeps the right port; " + what);
        return;
    }
    for (auto& port : Session.Ports) {
        if (SameIgnoringCase(path, port->DeviceName())) {
            FUZZ_CHECK(result.Status == STATUS_SUCCESS, "the matching port opens; " + what);
            FUZZ_CHECK(Session.Extension->SerialDevice == port->Device() && port->IsOpen(),
                       "the port of the last matching value is the one opened; " + what);
            return;
        }
    }
    if (NT_SUCCESS(result.Status)) {
        FUZZ_CHECK(Session.Extension->SerialDevice == HkTopOfStack(found), "the named device is opened; " + what);
    }
}

void Run(FuzzInput& In)
{
    FuzzSession session;
    session.Open();
    HkRegDeleteKey(FuzzSerialCommKey);
    HkRegCreateKey(FuzzSerialCommKey);
    const std::string pdoName = [&] {
        for (unsigned n = 1; n < 1000; n++) {
            const std::string name = "\\Device\\HkBusPdo" + std::to_string(n);
            if (HkFindDevice(name.c_str()) == session.Pdo) {
                return name;
            }
        }
        return std::string("\\Device\\HkBusPdo0");
    }();
    const unsigned values = In.Byte() % 12;
    for (unsigned i = 0; i < values; i++) {
        const std::string name = ValueName(In, pdoName);
        const ULONG type = ValueType(In);
        HkRegSetValue(FuzzSerialCommKey, name, type, ValueData(In));
    }
    for (size_t i = 0; i < MaximumRequests && !In.Empty(); i++) {
        Lookup(session, In);
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
