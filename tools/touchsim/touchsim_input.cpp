#include "touchsim_input.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

int HexDigit(char C)
{
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// "+Nms": N decimal milliseconds, at most a day so the sum cannot overflow.
std::optional<int64_t> SilenceToken(const std::string& Token)
{
    if (Token.size() < 4 || Token[0] != '+' || Token.compare(Token.size() - 2, 2, "ms") != 0) {
        return std::nullopt;
    }
    const std::string digits = Token.substr(1, Token.size() - 3);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int64_t ms = std::stoll(digits);
    if (ms > 86'400'000) {
        return std::nullopt;
    }
    return ms * PeerTouchController::Millisecond;
}

} // namespace

std::optional<TouchsimInput> ParseHexText(const std::string& Text, std::string& Error)
{
    TouchsimInput input;
    int64_t pendingGap = 0;
    std::istringstream lines(Text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string token;
        while (words >> token) {
            if (token.size() == 2 && HexDigit(token[0]) >= 0 && HexDigit(token[1]) >= 0) {
                input.Bytes.push_back({pendingGap, static_cast<uint8_t>(HexDigit(token[0]) * 16 + HexDigit(token[1]))});
                pendingGap = 0;
            } else if (auto gap = SilenceToken(token)) {
                pendingGap += *gap;
            } else {
                Error = "line " + std::to_string(number) + ": '" + token +
                        "' is neither a two-digit hex byte nor a silence like +20ms";
                return std::nullopt;
            }
        }
    }
    input.TrailingSilence = pendingGap;
    return input;
}

std::optional<TouchsimInput> ParseGestureScript(const std::string& Script, std::string& Error)
{
    PeerTouchController controller;
    if (!controller.RunScript(Script, Error)) {
        return std::nullopt;
    }
    return TouchsimInput{controller.Stream(), 0};
}

TouchsimInput RawInput(const std::string& Data)
{
    TouchsimInput input;
    for (char c : Data) {
        input.Bytes.push_back({0, static_cast<uint8_t>(c)});
    }
    return input;
}

std::optional<std::string> ReadWholeFile(const std::string& Path, std::string& Error)
{
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        Error = Path + ": cannot open: " + std::strerror(errno);
        return std::nullopt;
    }
    std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        Error = Path + ": cannot read";
        return std::nullopt;
    }
    return data;
}
