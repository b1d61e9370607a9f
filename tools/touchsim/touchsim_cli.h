// The touchsim command line: options, help, and one whole session.
#pragma once

#include "touchsim_input.h"
#include "touchsim_output.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

struct TouchsimOptions {
    enum class Source { None, Bytes, Raw, Gesture, Serial };
    Source InputKind = Source::None;
    std::string InputPath;
    std::optional<long> SerialIdleMs;
    std::string RegFile;
    std::optional<std::string> PortName;
    std::optional<unsigned long> Baud;
    std::vector<std::string> ControlCommands;
    TouchsimFormat Format = TouchsimFormat::Text;
    std::string SvgPath;
    bool Stats = false;
    bool Help = false;
};

std::string TouchsimHelp();

// Returns false with Error for a bad command line.
bool ParseTouchsimOptions(const std::vector<std::string>& Args, TouchsimOptions& Options, std::string& Error);

// Replays events into a started session on the virtual clock, one at a
// time as they are read; what [ctl ...] commands print goes to Notes.
class TouchsimReplay {
public:
    TouchsimReplay(TouchsimSession& Session, std::ostream& Notes) : Session_(Session), Notes_(Notes) {}
    void Event(const PeerLineEvent& Event);
    // After the last event: the trailing silence, then the timers run out.
    void End(int64_t TrailingSilence);

private:
    TouchsimSession& Session_;
    std::ostream& Notes_;
    int64_t Time_ = 0;
};

// The whole of an input read into memory, replayed.
void FeedInput(TouchsimSession& Session, const TouchsimInput& Input, std::ostream& Notes);

// Runs touchsim with the arguments (without the program name); returns the
// exit code.
int RunTouchsim(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);
