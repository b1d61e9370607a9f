// How a session is shown: a line per event as it happens (a readable table,
// JSON lines or CSV), and at the end the statistics and a picture.
#pragma once

#include "touchsim_session.h"

#include <iosfwd>
#include <string>
#include <vector>

enum class TouchsimFormat { Text, Jsonl, Csv };

struct TouchsimReport {
    int64_t Time;
    MOUSE_INPUT_DATA Data;
};

// Writes each event in the chosen format and keeps what the statistics and
// the picture need.
class TouchsimOutput : public TouchsimSink {
public:
    // Notes takes what the chosen format has no line for (a command's line
    // in csv); without it, they go to Out.
    TouchsimOutput(TouchsimFormat Format, std::ostream& Out, std::ostream* Notes = nullptr)
        : Format_(Format), Out_(Out), Notes_(Notes != nullptr ? *Notes : Out)
    {
    }
    void Event(const TouchsimEvent& Event) override;
    // Writes the header of formats that have one, if no event has yet.
    void Begin();

    const std::vector<TouchsimReport>& Reports() const { return Reports_; }
    // Speaker switched on (port 0x61 bits 0 and 1 set while they were clear).
    size_t ClickCount() const { return Clicks_; }

private:
    void TextReport(const TouchsimEvent& Event);
    void TextClick(int64_t Time, bool Start);
    void Control(const TouchsimEvent& Event);

    TouchsimFormat Format_;
    std::ostream& Out_;
    std::ostream& Notes_;
    bool Begun_ = false;
    bool SpeakerOn_ = false;
    size_t Clicks_ = 0;
    std::vector<TouchsimReport> Reports_;
};

// "left down", "left up, right down", "-"
std::string ButtonWords(USHORT ButtonFlags);

struct TouchsimSummary {
    std::string PortName;
    ULONG LineSpeed = 0;
    TouchsimCounters Counters;
    size_t Clicks = 0;
};
void WriteStatistics(const TouchsimSummary& Summary, std::ostream& Out);

// The session drawn on the screen rectangle (0..65535 both ways): the
// pointer path while touched, touch-down and release marks and the jumps
// between touches, coloured by button state, with a legend.
std::string SessionSvg(const std::vector<TouchsimReport>& Reports);
