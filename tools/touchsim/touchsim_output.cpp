#include "touchsim_output.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>

namespace {

std::string Milliseconds(int64_t Time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%04" PRId64, Time / 10000, Time % 10000);
    return text;
}

std::string Line(const char* Format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* Format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, Format);
    std::vsnprintf(text, sizeof text, Format, arguments);
    va_end(arguments);
    return text;
}

std::string JsonString(const std::string& Text)
{
    std::string json = "\"";
    for (const char c : Text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            json += escape;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

} // namespace

std::string ButtonWords(USHORT ButtonFlags)
{
    static const std::pair<USHORT, const char*> words[] = {
        {MOUSE_LEFT_BUTTON_DOWN, "left down"},     {MOUSE_LEFT_BUTTON_UP, "left up"},
        {MOUSE_RIGHT_BUTTON_DOWN, "right down"},   {MOUSE_RIGHT_BUTTON_UP, "right up"},
        {MOUSE_MIDDLE_BUTTON_DOWN, "middle down"}, {MOUSE_MIDDLE_BUTTON_UP, "middle up"},
    };
    std::string text;
    for (const auto& [flag, word] : words) {
        if (ButtonFlags & flag) {
            text += (text.empty() ? "" : ", ") + std::string(word);
        }
    }
    return text.empty() ? "-" : text;
}

void TouchsimOutput::Begin()
{
    if (Begun_) {
        return;
    }
    Begun_ = true;
    if (Format_ == TouchsimFormat::Text) {
        Out_ << Line("%12s  %8s  %8s  %s\n", "time (ms)", "x", "y", "event");
    } else if (Format_ == TouchsimFormat::Csv) {
        Out_ << "t,flags,buttons,raw,x,y\n";
    }
}

void TouchsimOutput::Check()
{
    Failed_ = Failed_ || !Out_ || !Notes_;
}

void TouchsimOutput::Event(const TouchsimEvent& Event)
{
    Begin();
    if (Event.Type == TouchsimEvent::Kind::Control) {
        Control(Event);
        Check();
        return;
    }
    if (Event.Type == TouchsimEvent::Kind::Report) {
        if (Picture_) {
            Picture_->Add(Event.Report);
        }
        const MOUSE_INPUT_DATA& r = Event.Report;
        const auto x = static_cast<int32_t>(r.LastX);
        const auto y = static_cast<int32_t>(r.LastY);
        switch (Format_) {
        case TouchsimFormat::Text:
            Out_ << Line("%12s  %8d  %8d  %s\n", Milliseconds(Event.Time).c_str(), x, y,
                         ButtonWords(r.ButtonFlags).c_str());
            break;
        case TouchsimFormat::Jsonl:
            Out_ << Line("{\"t\":%" PRId64 ",\"report\":{\"flags\":%u,\"buttons\":%u,\"raw\":%u,\"x\":%d,\"y\":%d}}\n",
                         Event.Time, unsigned{r.Flags}, unsigned{r.ButtonFlags}, unsigned{r.RawButtons}, x, y);
            break;
        case TouchsimFormat::Csv:
            Out_ << Line("%" PRId64 ",%u,%u,%u,%d,%d\n", Event.Time, unsigned{r.Flags}, unsigned{r.ButtonFlags},
                         unsigned{r.RawButtons}, x, y);
            break;
        }
        Check();
        return;
    }

    if (Format_ == TouchsimFormat::Jsonl) {
        Out_ << Line("{\"t\":%" PRId64 ",\"out\":{\"port\":%u,\"value\":%u}}\n", Event.Time, unsigned{Event.Port},
                     unsigned{Event.Value});
    }
    // A click is the speaker gate and data bits going on; the driver may
    // write the off value again while already silent, which is no new event.
    if (Event.Port != 0x61) {
        Check();
        return;
    }
    const unsigned gate = Event.Value & 0x03;
    if (gate == 0x03 && !SpeakerOn_) {
        SpeakerOn_ = true;
        Clicks_++;
        TextClick(Event.Time, true);
    } else if (gate == 0 && SpeakerOn_) {
        SpeakerOn_ = false;
        TextClick(Event.Time, false);
    }
    Check();
}

void TouchsimOutput::TextClick(int64_t Time, bool Start)
{
    if (Format_ == TouchsimFormat::Text) {
        Out_ << Line("%12s  %8s  %8s  %s\n", Milliseconds(Time).c_str(), "", "", Start ? "click start" : "click stop");
    }
}

void TouchsimOutput::Control(const TouchsimEvent& Event)
{
    const std::string what = "ctl " + Event.Command + ": " + TouchsimStatusText(static_cast<NTSTATUS>(Event.Status));
    switch (Format_) {
    case TouchsimFormat::Text:
        Out_ << Line("%12s  %8s  %8s  ", Milliseconds(Event.Time).c_str(), "", "") << what << "\n";
        break;
    case TouchsimFormat::Jsonl:
        Out_ << "{\"t\":" << Event.Time << ",\"ctl\":{\"command\":" << JsonString(Event.Command)
             << ",\"status\":" << Event.Status << "}}\n";
        break;
    case TouchsimFormat::Csv: // the table holds reports only
        Notes_ << "touchsim: at " << Milliseconds(Event.Time) << " ms: " << what << "\n";
        break;
    }
}

void WriteStatistics(const TouchsimSummary& Summary, std::ostream& Out)
{
    const TouchsimCounters& c = Summary.Counters;
    const double seconds = static_cast<double>(c.LastByteTime) / 1e7;
    Out << "statistics\n";
    Out << Line("  port              %s at %lu baud\n", Summary.PortName.c_str(),
                static_cast<unsigned long>(Summary.LineSpeed));
    Out << Line("  input             %zu bytes, the last at %s ms; session ends at %s ms\n", c.BytesDelivered,
                Milliseconds(c.LastByteTime).c_str(), Milliseconds(c.EndTime).c_str());
    if (seconds > 0) {
        Out << Line("  reports           %zu (%.1f per second, from the port's opening to the last byte)\n", c.Reports,
                    static_cast<double>(c.Reports) / seconds);
    } else {
        Out << Line("  reports           %zu\n", c.Reports);
    }
    Out << Line("  packets dropped   %zu (framed to the last byte, checksum wrong, not reported)\n", c.ChecksumDrops);
    Out << Line("  bytes discarded   %lu (start or data bytes out of place, the parser's DiscardCount)\n",
                static_cast<unsigned long>(c.DiscardCount));
    if (c.PortFaults != 0) {
        Out << Line("  port faults       %zu (%zu found no read to fail)\n", c.PortFaults, c.FaultsUnused);
    }
    Out << Line("  clicks            %zu\n", Summary.Clicks);
    Out << Line("  controller info   %u %u\n", unsigned{c.ControllerInfo[0]}, unsigned{c.ControllerInfo[1]});
}

// ---- picture

namespace {

const double Margin = 40;
const double Width = 800;
const double Height = 600;

double PixelX(LONG X)
{
    return Margin + X * Width / 65535.0;
}

double PixelY(LONG Y)
{
    return Margin + Y * Height / 65535.0;
}

struct ButtonStyle {
    const char* Colour;
    const char* Name;
};

ButtonStyle StyleOf(ULONG RawButtons)
{
    switch (RawButtons & 0x7) {
    case 1: return {"#1f77b4", "left button"};
    case 2: return {"#ff7f0e", "right button"};
    case 4: return {"#2ca02c", "middle button"};
    default: return {"#9467bd", "several buttons"};
    }
}

std::string Point(LONG X, LONG Y)
{
    return Line("%.1f,%.1f", PixelX(X), PixelY(Y));
}

// Every other element, keeping the last (a path's end, or the touch going on).
template <typename T> void KeepEveryOther(std::vector<T>& Items)
{
    std::vector<T> kept;
    for (size_t i = 0; i < Items.size(); i++) {
        if (i % 2 == 0 || i + 1 == Items.size()) {
            kept.push_back(std::move(Items[i]));
        }
    }
    Items.swap(kept);
}

} // namespace

void TouchsimPicture::Add(const MOUSE_INPUT_DATA& Report)
{
    reports_++;
    const ULONG buttons = Report.RawButtons;
    const bool pressed = buttons != 0;
    const Position at{Report.LastX, Report.LastY};
    if (pressed && !touching_) {
        drawing_ = touches_ % touchStride_ == 0;
        touches_++;
        if (drawing_) {
            Touch touch;
            touch.Jump = seenPosition_;
            touch.From = last_;
            touch.Down = at;
            touch.DownButtons = buttons;
            drawn_.push_back(std::move(touch));
            NewStroke(buttons, {at});
        }
        used_[StyleOf(buttons).Name] = StyleOf(buttons).Colour;
    } else if (pressed && buttons != touchButtons_) {
        // The button mode changed during the touch: a new stroke in the new colour.
        if (drawing_) {
            EndStroke();
            NewStroke(buttons, {last_, at});
        }
        used_[StyleOf(buttons).Name] = StyleOf(buttons).Colour;
    } else if (pressed && at != last_) {
        if (drawing_) {
            Move(at);
        }
    } else if (!pressed && touching_ && drawing_) {
        EndStroke();
        Touch& touch = drawn_.back();
        touch.Released = true;
        touch.Up = at;
        touch.UpButtons = touchButtons_;
    }
    if (pressed) {
        touchButtons_ = buttons;
    }
    touching_ = pressed;
    last_ = at;
    seenPosition_ = true;
    if (drawn_.size() > MaxTouches || points_ > MaxPoints) {
        Thin();
    }
}

void TouchsimPicture::NewStroke(ULONG Buttons, std::vector<Position> Points)
{
    points_ += Points.size();
    Stroke stroke{Buttons, std::move(Points)};
    stroke.Last = stroke.Points.back();
    drawn_.back().Strokes.push_back(std::move(stroke));
}

void TouchsimPicture::Move(Position At)
{
    Stroke& stroke = drawn_.back().Strokes.back();
    stroke.Offered++;
    stroke.Last = At;
    stroke.LastKept = stroke.Offered % pointStride_ == 0;
    if (stroke.LastKept) {
        stroke.Points.push_back(At);
        points_++;
    }
}

// A thinned path still ends where the finger left.
void TouchsimPicture::EndStroke()
{
    Stroke& stroke = drawn_.back().Strokes.back();
    if (!stroke.LastKept) {
        stroke.Points.push_back(stroke.Last);
        stroke.LastKept = true;
        points_++;
    }
}

void TouchsimPicture::Thin()
{
    auto countPoints = [this] {
        points_ = 0;
        for (const Touch& touch : drawn_) {
            for (const Stroke& stroke : touch.Strokes) {
                points_ += stroke.Points.size();
            }
        }
    };
    if (points_ > MaxPoints) {
        for (Touch& touch : drawn_) {
            for (Stroke& stroke : touch.Strokes) {
                KeepEveryOther(stroke.Points);
            }
        }
        pointStride_ *= 2;
        countPoints();
    }
    // Paths that cannot be thinned further (short strokes) give way to fewer touches.
    while ((drawn_.size() > MaxTouches || points_ > MaxPoints) && drawn_.size() > 1) {
        KeepEveryOther(drawn_);
        touchStride_ *= 2;
        countPoints();
    }
}

std::string TouchsimPicture::Svg()
{
    if (touching_ && drawing_) {
        EndStroke();
    }
    // Marks go over every path, releases over touch-downs.
    std::ostringstream paths;
    std::ostringstream downMarks;
    std::ostringstream releaseMarks;
    bool jumps = false;
    for (const Touch& touch : drawn_) {
        jumps = DrawTouch(touch, paths, downMarks, releaseMarks) || jumps;
    }
    const double legendY = Margin + Height + 30;
    return Frame(legendY) + paths.str() + downMarks.str() + releaseMarks.str() + Legend(legendY, jumps) + "</svg>\n";
}

// Returns whether the touch began with a jump from where the last one ended.
bool TouchsimPicture::DrawTouch(const Touch& Drawn, std::ostream& Paths, std::ostream& DownMarks,
                                std::ostream& ReleaseMarks) const
{
    if (Drawn.Jump) {
        Paths << Line("<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='#999' stroke-width='1' "
                      "stroke-dasharray='4 4'/>\n",
                      PixelX(Drawn.From.first), PixelY(Drawn.From.second), PixelX(Drawn.Down.first),
                      PixelY(Drawn.Down.second));
    }
    for (const Stroke& stroke : Drawn.Strokes) {
        Paths << Line("<polyline fill='none' stroke='%s' stroke-width='2' stroke-linejoin='round' points='",
                      StyleOf(stroke.Buttons).Colour);
        for (size_t i = 0; i < stroke.Points.size(); i++) {
            Paths << (i == 0 ? "" : " ") << Point(stroke.Points[i].first, stroke.Points[i].second);
        }
        Paths << "'/>\n";
    }
    DownMarks << Line("<circle cx='%.1f' cy='%.1f' r='5' fill='%s'/>\n", PixelX(Drawn.Down.first),
                      PixelY(Drawn.Down.second), StyleOf(Drawn.DownButtons).Colour);
    if (Drawn.Released) {
        const double x = PixelX(Drawn.Up.first);
        const double y = PixelY(Drawn.Up.second);
        ReleaseMarks << Line("<path d='M%.1f %.1fL%.1f %.1fM%.1f %.1fL%.1f %.1f' stroke='%s' stroke-width='2'/>\n",
                             x - 5, y - 5, x + 5, y + 5, x - 5, y + 5, x + 5, y - 5, StyleOf(Drawn.UpButtons).Colour);
    }
    return Drawn.Jump;
}

// The opening of the picture: the title, the note on thinning, and the
// screen with its quarter lines and corner coordinates.
std::string TouchsimPicture::Frame(double LegendY) const
{
    std::ostringstream svg;
    svg << Line("<svg xmlns='http://www.w3.org/2000/svg' width='%.0f' height='%.0f' viewBox='0 0 %.0f %.0f' "
                "font-family='sans-serif' font-size='12'>\n",
                Width + 2 * Margin, LegendY + 40, Width + 2 * Margin, LegendY + 40);
    svg << "<rect width='100%' height='100%' fill='white'/>\n";
    svg << Line("<text x='%.0f' y='24' font-size='14'>touchsim: %zu reports, %zu touches</text>\n", Margin,
                reports_, touches_);
    if (touchStride_ > 1 || pointStride_ > 1) {
        svg << Line("<text x='%.0f' y='24' text-anchor='end'>thinned: every %zu. touch, every %zu. point of a "
                    "path</text>\n",
                    Margin + Width, touchStride_, pointStride_);
    }
    svg << Line("<rect x='%.0f' y='%.0f' width='%.0f' height='%.0f' fill='#f4f4f4' stroke='black'/>\n", Margin,
                Margin, Width, Height);
    // Quarter lines, so an offset or a mirrored axis shows at a glance.
    for (int quarter = 1; quarter < 4; quarter++) {
        const double gx = Margin + Width * quarter / 4;
        const double gy = Margin + Height * quarter / 4;
        svg << Line("<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='#ddd'/>"
                    "<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='#ddd'/>\n",
                    gx, Margin, gx, Margin + Height, Margin, gy, Margin + Width, gy);
    }
    svg << Line("<text x='%.0f' y='%.0f' text-anchor='start'>0,0</text>\n", Margin, Margin - 4);
    svg << Line("<text x='%.0f' y='%.0f' text-anchor='end'>65535,65535</text>\n", Margin + Width,
                Margin + Height + 14);
    return svg.str();
}

// The button states the paths used, then the marks.
std::string TouchsimPicture::Legend(double LegendY, bool Jumps) const
{
    std::ostringstream svg;
    double x = Margin;
    for (const auto& [name, colour] : used_) {
        svg << Line("<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='%s' stroke-width='3'/>\n", x,
                    LegendY - 4, x + 20, LegendY - 4, colour.c_str());
        svg << Line("<text x='%.0f' y='%.0f'>%s</text>\n", x + 26, LegendY, name.c_str());
        x += 140;
    }
    svg << Line("<circle cx='%.0f' cy='%.0f' r='5' fill='#555'/><text x='%.0f' y='%.0f'>touch-down</text>\n",
                x + 5, LegendY - 4, x + 16, LegendY);
    x += 100;
    svg << Line("<path d='M%.0f %.0fL%.0f %.0fM%.0f %.0fL%.0f %.0f' stroke='#555' stroke-width='2'/>"
                "<text x='%.0f' y='%.0f'>release</text>\n",
                x, LegendY - 9, x + 10, LegendY + 1, x, LegendY + 1, x + 10, LegendY - 9, x + 16, LegendY);
    x += 80;
    if (Jumps) {
        svg << Line("<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='#999' stroke-dasharray='4 4'/>"
                    "<text x='%.0f' y='%.0f'>between touches</text>\n",
                    x, LegendY - 4, x + 20, LegendY - 4, x + 26, LegendY);
    }
    return svg.str();
}

std::string SessionSvg(const std::vector<TouchsimReport>& Reports)
{
    TouchsimPicture picture;
    for (const TouchsimReport& report : Reports) {
        picture.Add(report.Data);
    }
    return picture.Svg();
}
