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

void TouchsimOutput::Event(const TouchsimEvent& Event)
{
    Begin();
    if (Event.Type == TouchsimEvent::Kind::Control) {
        Control(Event);
        return;
    }
    if (Event.Type == TouchsimEvent::Kind::Report) {
        Reports_.push_back({Event.Time, Event.Report});
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
        return;
    }

    if (Format_ == TouchsimFormat::Jsonl) {
        Out_ << Line("{\"t\":%" PRId64 ",\"out\":{\"port\":%u,\"value\":%u}}\n", Event.Time, unsigned{Event.Port},
                     unsigned{Event.Value});
    }
    // A click is the speaker gate and data bits going on; the driver may
    // write the off value again while already silent, which is no new event.
    if (Event.Port != 0x61) {
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

class Drawing {
public:
    void Add(const MOUSE_INPUT_DATA& Report)
    {
        const ULONG buttons = Report.RawButtons;
        const bool pressed = buttons != 0;
        if (pressed && !touching_) {
            if (seenPosition_) {
                body_ << Line("<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='#999' stroke-width='1' "
                              "stroke-dasharray='4 4'/>\n",
                              PixelX(lastX_), PixelY(lastY_), PixelX(Report.LastX), PixelY(Report.LastY));
                jumps_ = true;
            }
            path_ = Point(Report.LastX, Report.LastY);
            downMarks_ << Line("<circle cx='%.1f' cy='%.1f' r='5' fill='%s'/>\n", PixelX(Report.LastX),
                               PixelY(Report.LastY), StyleOf(buttons).Colour);
            used_[StyleOf(buttons).Name] = StyleOf(buttons).Colour;
            touches_++;
        } else if (pressed && buttons != touchButtons_) {
            // The button mode changed during the touch: a new stroke in the new colour.
            EndStroke();
            path_ = Point(lastX_, lastY_) + " " + Point(Report.LastX, Report.LastY);
            used_[StyleOf(buttons).Name] = StyleOf(buttons).Colour;
        } else if (pressed && (Report.LastX != lastX_ || Report.LastY != lastY_)) {
            path_ += " " + Point(Report.LastX, Report.LastY);
        } else if (touching_) {
            EndStroke();
            const double x = PixelX(Report.LastX);
            const double y = PixelY(Report.LastY);
            releaseMarks_ << Line("<path d='M%.1f %.1fL%.1f %.1fM%.1f %.1fL%.1f %.1f' stroke='%s' stroke-width='2'/>\n",
                                  x - 5, y - 5, x + 5, y + 5, x - 5, y + 5, x + 5, y - 5,
                                  StyleOf(touchButtons_).Colour);
        }
        if (pressed) {
            touchButtons_ = buttons;
        }
        touching_ = pressed;
        lastX_ = Report.LastX;
        lastY_ = Report.LastY;
        seenPosition_ = true;
    }

    std::string Svg(size_t Reports)
    {
        EndStroke();
        const double legendY = Margin + Height + 30;
        std::ostringstream svg;
        svg << Line("<svg xmlns='http://www.w3.org/2000/svg' width='%.0f' height='%.0f' viewBox='0 0 %.0f %.0f' "
                    "font-family='sans-serif' font-size='12'>\n",
                    Width + 2 * Margin, legendY + 40, Width + 2 * Margin, legendY + 40);
        svg << "<rect width='100%' height='100%' fill='white'/>\n";
        svg << Line("<text x='%.0f' y='24' font-size='14'>touchsim: %zu reports, %zu touches</text>\n", Margin,
                    Reports, touches_);
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
        svg << body_.str() << downMarks_.str() << releaseMarks_.str();

        double x = Margin;
        for (const auto& [name, colour] : used_) {
            svg << Line("<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='%s' stroke-width='3'/>\n", x,
                        legendY - 4, x + 20, legendY - 4, colour.c_str());
            svg << Line("<text x='%.0f' y='%.0f'>%s</text>\n", x + 26, legendY, name.c_str());
            x += 140;
        }
        svg << Line("<circle cx='%.0f' cy='%.0f' r='5' fill='#555'/><text x='%.0f' y='%.0f'>touch-down</text>\n",
                    x + 5, legendY - 4, x + 16, legendY);
        x += 100;
        svg << Line("<path d='M%.0f %.0fL%.0f %.0fM%.0f %.0fL%.0f %.0f' stroke='#555' stroke-width='2'/>"
                    "<text x='%.0f' y='%.0f'>release</text>\n",
                    x, legendY - 9, x + 10, legendY + 1, x, legendY + 1, x + 10, legendY - 9, x + 16, legendY);
        x += 80;
        if (jumps_) {
            svg << Line("<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='#999' stroke-dasharray='4 4'/>"
                        "<text x='%.0f' y='%.0f'>between touches</text>\n",
                        x, legendY - 4, x + 20, legendY - 4, x + 26, legendY);
        }
        svg << "</svg>\n";
        return svg.str();
    }

private:
    void EndStroke()
    {
        if (path_.empty()) {
            return;
        }
        body_ << Line("<polyline fill='none' stroke='%s' stroke-width='2' stroke-linejoin='round' points='",
                      StyleOf(touchButtons_).Colour)
              << path_ << "'/>\n";
        path_.clear();
    }

    bool touching_ = false;
    bool seenPosition_ = false;
    bool jumps_ = false;
    ULONG touchButtons_ = 0;
    LONG lastX_ = 0;
    LONG lastY_ = 0;
    size_t touches_ = 0;
    std::string path_;
    std::ostringstream body_;
    std::ostringstream downMarks_;
    std::ostringstream releaseMarks_;
    std::map<std::string, std::string> used_;
};

} // namespace

std::string SessionSvg(const std::vector<TouchsimReport>& Reports)
{
    Drawing drawing;
    for (const TouchsimReport& report : Reports) {
        drawing.Add(report.Data);
    }
    return drawing.Svg(Reports.size());
}
