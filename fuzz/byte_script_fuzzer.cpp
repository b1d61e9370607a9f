// touchsim's hex text (bytes, +Nms silences, !0x and !!0x port faults,
// [ctl ...] commands, # comments) read as a stream of any size, against the
// line-by-line reader it replaced (which the Wine session still uses): the
// same events, gaps and errors, whatever the layout. What it reads, written
// out again, reads the same; and a budget caps what is read.
//
// Input: the text itself.
#include "fuzz_session.h"
#include "touch_controller.h"

#include <cinttypes>
#include <cstdio>
#include <limits>
#include <sstream>

namespace {

struct Reading {
    bool Read = false;
    std::vector<PeerLineEvent> Events;
    int64_t TrailingGap = 0;
    int Line = 0;
    std::string Error;
    uint64_t Bytes = 0;
    int64_t SilenceMs = 0;
};

Reading Stream(const std::string& Text, PeerInputLimits Limits)
{
    Reading reading;
    PeerInputBudget budget(Limits);
    std::istringstream in(Text);
    reading.Line = 1;
    reading.Read = PeerReadEventStream(in, reading.Line, true, false, reading.TrailingGap, budget,
                                       [&](PeerLineEvent& Event, std::string&) {
                                           reading.Events.push_back(Event);
                                           return true;
                                       },
                                       reading.Error);
    reading.Bytes = budget.Bytes();
    reading.SilenceMs = budget.SilenceMs();
    return reading;
}

Reading ByLine(const std::string& Text)
{
    Reading reading;
    reading.Read = true;
    std::istringstream lines(Text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        if (!PeerReadLineEvents(line.substr(0, line.find('#')), number, true, reading.Events, reading.TrailingGap,
                                reading.Error)) {
            reading.Read = false;
            reading.Line = number;
            break;
        }
    }
    return reading;
}

void WriteSilence(std::string& Text, int64_t Units)
{
    for (int64_t ms = Units / PeerTouchController::Millisecond; ms > 0; ms -= std::min(ms, PeerMaxSilenceMs)) {
        Text += "+" + std::to_string(std::min(ms, PeerMaxSilenceMs)) + "ms ";
    }
}

// Each event on its own line, as touchsim's tokens.
std::string Written(const Reading& Reading)
{
    std::string text;
    char token[32];
    for (const PeerLineEvent& event : Reading.Events) {
        WriteSilence(text, event.Gap);
        switch (event.Type) {
        case PeerLineEvent::Kind::Byte:
            std::snprintf(token, sizeof token, "%02X", event.Byte);
            text += token;
            break;
        case PeerLineEvent::Kind::FailPendingRead:
        case PeerLineEvent::Kind::FailReadInSend:
            std::snprintf(token, sizeof token, "%s0x%" PRIX32,
                          event.Type == PeerLineEvent::Kind::FailReadInSend ? "!!" : "!", event.Status);
            text += token;
            break;
        case PeerLineEvent::Kind::Command:
            text += "[ctl " + event.Command + "]";
            break;
        }
        text += "\n";
    }
    WriteSilence(text, Reading.TrailingGap);
    return text;
}

std::vector<PeerLineEvent> WithoutLines(std::vector<PeerLineEvent> Events)
{
    for (PeerLineEvent& event : Events) {
        event.Line = 0;
    }
    return Events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    const PeerInputLimits unlimited{std::numeric_limits<uint64_t>::max(), std::numeric_limits<int64_t>::max()};
    const Reading streamed = Stream(text, unlimited);
    const Reading byLine = ByLine(text);
    FuzzTrace(streamed.Read ? std::to_string(streamed.Events.size()) + " events" : "error: " + streamed.Error);

    // Tokens over the length limit are the stream's own refusal.
    if (streamed.Read || streamed.Error.find("characters, the longest token") == std::string::npos) {
        FUZZ_CHECK(streamed.Read == byLine.Read, streamed.Read ? byLine.Error : streamed.Error);
        if (streamed.Read) {
            FUZZ_CHECK(streamed.Events == byLine.Events, "the same events as line by line");
            FUZZ_CHECK(streamed.TrailingGap == byLine.TrailingGap, "the same trailing silence");
        } else {
            FUZZ_CHECK(streamed.Line == byLine.Line, "the error on line " + std::to_string(byLine.Line));
            FUZZ_CHECK(streamed.Error == byLine.Error, streamed.Error + " | " + byLine.Error);
        }
    }
    if (!streamed.Read) {
        return 0;
    }

    uint64_t bytes = 0;
    int64_t silence = streamed.TrailingGap;
    for (const PeerLineEvent& event : streamed.Events) {
        bytes += event.Type == PeerLineEvent::Kind::Byte ? 1 : 0;
        silence += event.Gap;
    }
    FUZZ_CHECK(streamed.Bytes == bytes, "every byte counted");
    FUZZ_CHECK(streamed.SilenceMs * PeerTouchController::Millisecond == silence, "every silence counted");

    const Reading again = Stream(Written(streamed), unlimited);
    FUZZ_CHECK(again.Read, "written out, it reads again: " + again.Error);
    FUZZ_CHECK(WithoutLines(again.Events) == WithoutLines(streamed.Events), "written out, it reads the same");
    FUZZ_CHECK(again.TrailingGap == streamed.TrailingGap, "the same trailing silence written out");

    const PeerInputLimits small{bytes / 2, streamed.SilenceMs / 2};
    const Reading capped = Stream(text, small);
    FUZZ_CHECK(capped.Bytes <= small.MaxBytes && capped.SilenceMs <= small.MaxSilenceMs, "the budget holds");
    FUZZ_CHECK(capped.Read == (bytes == 0 && streamed.SilenceMs == 0), "a text over its budget is refused");
    return 0;
}
