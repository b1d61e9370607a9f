#include "touchsim_input.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

namespace {

std::string Strerror(int Error)
{
    return std::strerror(Error);
}

// Hex text streamed token by token; the silence after the last event is
// the session's trailing silence.
bool StreamHexText(std::istream& In, const PeerLineEventSink& Sink, TouchsimInputTotals& Totals, std::string& Error)
{
    PeerSkipByteOrderMark(In);
    PeerInputBudget budget;
    int line = 1;
    int64_t pendingGap = 0;
    std::string reason;
    const bool read = PeerReadEventStream(In, line, true, false, pendingGap, budget, Sink, reason);
    Totals.Bytes = budget.Bytes();
    Totals.SilenceMs = budget.SilenceMs();
    Totals.TrailingSilence = pendingGap;
    if (!read) {
        Error = reason.empty() ? "" : "line " + std::to_string(line) + ": " + reason;
    }
    return read;
}

// A gesture script ends where its last event is: a closing wait adds nothing.
bool StreamGestureScript(std::istream& In, const PeerLineEventSink& Sink, TouchsimInputTotals& Totals,
                         std::string& Error)
{
    PeerSkipByteOrderMark(In);
    PeerTouchController controller;
    controller.SendTo(Sink);
    const bool read = controller.RunScript(In, Error);
    Totals.Bytes = controller.Budget().Bytes();
    Totals.SilenceMs = controller.Budget().SilenceMs();
    Totals.TrailingSilence = 0;
    return read;
}

bool StreamRaw(std::istream& In, const PeerLineEventSink& Sink, TouchsimInputTotals& Totals, std::string& Error)
{
    PeerInputBudget budget;
    char block[65536];
    PeerLineEvent event;
    while (In.read(block, sizeof block) || In.gcount() > 0) {
        const auto count = static_cast<size_t>(In.gcount());
        if (!budget.Take(count, 0, Error)) {
            return false;
        }
        for (size_t i = 0; i < count; i++) {
            event.Byte = static_cast<uint8_t>(block[i]);
            if (!Sink(event, Error)) {
                return false;
            }
        }
        Totals.Bytes = budget.Bytes();
    }
    return true;
}

// Keeps every event, for the in-memory readers.
PeerLineEventSink Collect(TouchsimInput& Input)
{
    return [&Input](PeerLineEvent& Event, std::string&) {
        Input.Events.push_back(std::move(Event));
        return true;
    };
}

} // namespace

bool CheckInputFile(const std::string& Path, uint64_t MaxBytes, std::string& Error)
{
    struct stat status{};
    if (stat(Path.c_str(), &status) != 0) {
        Error = Path + ": cannot open: " + Strerror(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        Error = Path + ": cannot read: " + Strerror(EISDIR);
        return false;
    }
    if (S_ISCHR(status.st_mode)) {
        Error = Path + ": a character device, not a file (a serial port or pseudo-terminal is read live with "
                       "--serial " + Path + ")";
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        Error = Path + ": not a regular file (a pipe, socket or block device): touchsim reads its input twice, "
                       "once to check it and once to replay it; save it to a file first";
        return false;
    }
    if (static_cast<uint64_t>(status.st_size) > MaxBytes) {
        Error = Path + ": " + Strerror(EFBIG) + ": " + std::to_string(status.st_size) + " bytes, more than the " +
                std::to_string(MaxBytes) + " bytes touchsim reads from such a file";
        return false;
    }
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        Error = Path + ": cannot open: " + Strerror(errno);
        return false;
    }
    return true;
}

bool StreamInputFile(TouchsimInputKind Kind, const std::string& Path, const PeerLineEventSink& Sink,
                     TouchsimInputTotals& Totals, std::string& Error)
{
    Totals = {};
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        Error = Path + ": cannot open: " + Strerror(errno);
        return false;
    }
    std::string reason;
    bool read = false;
    switch (Kind) {
    case TouchsimInputKind::Bytes:
        read = StreamHexText(file, Sink, Totals, reason);
        break;
    case TouchsimInputKind::Gesture:
        read = StreamGestureScript(file, Sink, Totals, reason);
        break;
    case TouchsimInputKind::Raw:
        read = StreamRaw(file, Sink, Totals, reason);
        break;
    }
    if (!read) {
        Error = reason.empty() ? "" : Path + ": " + reason;
        return false;
    }
    if (file.bad()) {
        Error = Path + ": cannot read: " + Strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

std::optional<TouchsimInput> ParseHexText(const std::string& Text, std::string& Error)
{
    TouchsimInput input;
    TouchsimInputTotals totals;
    std::istringstream in(Text);
    if (!StreamHexText(in, Collect(input), totals, Error)) {
        return std::nullopt;
    }
    input.TrailingSilence = totals.TrailingSilence;
    return input;
}

std::optional<TouchsimInput> ParseGestureScript(const std::string& Script, std::string& Error)
{
    TouchsimInput input;
    TouchsimInputTotals totals;
    std::istringstream in(Script);
    if (!StreamGestureScript(in, Collect(input), totals, Error)) {
        return std::nullopt;
    }
    return input;
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
