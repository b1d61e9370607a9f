// How a session is shown: a line per event as it happens (a readable table,
// JSON lines or CSV), and at the end the statistics and a picture.
#pragma once

#include "touchsim_session.h"

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

enum class TouchsimFormat { Text, Jsonl, Csv };

struct TouchsimReport {
    int64_t Time;
    MOUSE_INPUT_DATA Data;
};

// The session drawn on the screen rectangle (0..65535 both ways): the
// pointer path while touched, touch-down and release marks and the jumps
// between touches, coloured by button state, with a legend. Reports are
// added as they come; a long session is thinned as it grows (every other
// touch, or every other point of each path, dropped in turn) so the picture
// stays within a fixed size, and says so.
class TouchsimPicture {
public:
    static constexpr size_t MaxTouches = 4096;
    static constexpr size_t MaxPoints = 65536;

    void Add(const MOUSE_INPUT_DATA& Report);
    std::string Svg();

private:
    using Position = std::pair<LONG, LONG>;
    struct Stroke {
        ULONG Buttons;
        std::vector<Position> Points;
        size_t Offered = 0;      // moves offered since the stroke began
        bool LastKept = true;    // the latest move offered is among Points
        Position Last{};
    };
    struct Touch {
        bool Jump = false;
        Position From{};         // where the pointer was before the touch
        Position Down{};
        ULONG DownButtons = 0;
        std::vector<Stroke> Strokes;
        bool Released = false;
        Position Up{};
        ULONG UpButtons = 0;
    };

    void NewStroke(ULONG Buttons, std::vector<Position> Points);
    void Move(Position At);
    void EndStroke();
    void Thin();
    bool DrawTouch(const Touch& Drawn, std::ostream& Paths, std::ostream& DownMarks, std::ostream& ReleaseMarks) const;
    std::string Frame(double LegendY) const;
    std::string Legend(double LegendY, bool Jumps) const;

    bool touching_ = false;
    bool seenPosition_ = false;
    bool drawing_ = false; // the current touch is among those drawn
    ULONG touchButtons_ = 0;
    Position last_{};
    size_t reports_ = 0;
    size_t touches_ = 0;
    size_t touchStride_ = 1;
    size_t pointStride_ = 1;
    size_t points_ = 0;
    std::vector<Touch> drawn_;
    std::map<std::string, std::string> used_;
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

    // Draws the reports from now on, for Svg().
    void KeepPicture() { Picture_ = std::make_unique<TouchsimPicture>(); }
    std::string Svg() { return Picture_ ? Picture_->Svg() : ""; }
    // Speaker switched on (port 0x61 bits 0 and 1 set while they were clear).
    size_t ClickCount() const { return Clicks_; }
    // A write to Out or Notes failed: what follows is lost, so a session
    // should stop.
    bool Failed() const { return Failed_; }

private:
    void TextClick(int64_t Time, bool Start);
    void Control(const TouchsimEvent& Event);
    void Check();

    TouchsimFormat Format_;
    std::ostream& Out_;
    std::ostream& Notes_;
    bool Begun_ = false;
    bool SpeakerOn_ = false;
    bool Failed_ = false;
    size_t Clicks_ = 0;
    std::unique_ptr<TouchsimPicture> Picture_;
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

// TouchsimPicture of the reports.
std::string SessionSvg(const std::vector<TouchsimReport>& Reports);
