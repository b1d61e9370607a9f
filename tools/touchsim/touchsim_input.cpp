#include "touchsim_input.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

std::optional<TouchsimInput> ParseHexText(const std::string& Text, std::string& Error)
{
    TouchsimInput input;
    int64_t pendingGap = 0;
    std::istringstream lines(Text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        std::string reason;
        if (!PeerReadLineEvents(line.substr(0, line.find('#')), number, true, input.Events, pendingGap, reason)) {
            Error = "line " + std::to_string(number) + ": " + reason;
            return std::nullopt;
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
    return TouchsimInput{controller.Events(), 0};
}

TouchsimInput RawInput(const std::string& Data)
{
    TouchsimInput input;
    input.Events.resize(Data.size());
    for (size_t i = 0; i < Data.size(); i++) {
        input.Events[i].Byte = static_cast<uint8_t>(Data[i]);
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
