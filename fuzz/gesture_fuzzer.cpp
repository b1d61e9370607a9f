// Gesture scripts of any shape, held to limits small enough for a fuzzer:
// no crash and no expansion past the limits (which are checked before a
// command is expanded); the bytes and silences sent are the ones counted;
// a controller that keeps its events and one that hands them to a sink see
// the same events and the same error; an error names a line the script has.
//
// Input: the script itself.
#include "fuzz_session.h"
#include "touch_controller.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string script(reinterpret_cast<const char*>(Data), Size);
    const PeerInputLimits limits{20000, 600000}; // ten minutes

    PeerTouchController kept;
    kept.SetLimits(limits);
    std::string keptError;
    const bool keptRead = kept.RunScript(script, keptError);

    PeerTouchController streamed;
    streamed.SetLimits(limits);
    std::vector<PeerLineEvent> sunk;
    streamed.SendTo([&](PeerLineEvent& Event, std::string&) {
        sunk.push_back(Event);
        return true;
    });
    std::string streamedError;
    const bool streamedRead = streamed.RunScript(script, streamedError);
    FuzzTrace(keptRead ? std::to_string(sunk.size()) + " events" : "error: " + keptError);

    FUZZ_CHECK(keptRead == streamedRead && keptError == streamedError, keptError + " | " + streamedError);
    FUZZ_CHECK(kept.Events() == sunk, "kept and streamed events agree");
    FUZZ_CHECK(streamed.Events().empty() && streamed.Stream().empty(), "a controller with a sink keeps nothing");

    uint64_t bytes = 0;
    int64_t silence = 0;
    for (const PeerLineEvent& event : sunk) {
        bytes += event.Type == PeerLineEvent::Kind::Byte ? 1 : 0;
        silence += event.Gap;
    }
    FUZZ_CHECK(bytes == kept.Budget().Bytes() && bytes == kept.Stream().size(), "every byte sent is counted");
    FUZZ_CHECK(bytes <= limits.MaxBytes, "the byte limit holds");
    // A closing wait is counted but sends nothing.
    FUZZ_CHECK(silence <= kept.Budget().SilenceMs() * PeerTouchController::Millisecond, "every silence is counted");
    FUZZ_CHECK(kept.Budget().SilenceMs() <= limits.MaxSilenceMs, "the silence limit holds");

    if (!keptRead) {
        const size_t lines = static_cast<size_t>(std::count(script.begin(), script.end(), '\n')) + 1;
        int line = 0;
        FUZZ_CHECK(std::sscanf(keptError.c_str(), "line %d: ", &line) == 1, keptError);
        FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines, keptError);
    }
    return 0;
}
