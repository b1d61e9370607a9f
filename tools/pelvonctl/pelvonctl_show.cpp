// `pelvonctl show`: the Parameters values, decoded as the driver reads them.
#include <cstdio>
#include <sstream>

#include "pelvonctl_parameters.h"

namespace pelvonctl {

namespace {

constexpr double TimerInputHz = 1193182.0;
constexpr double FixedOne = 65536.0;

std::string Fixed(std::uint32_t raw)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", raw / FixedOne);
    return text;
}

std::string NoteText(const DriverParameters& p, const std::string& name)
{
    const ValueNote* note = p.Note(name);
    if (note == nullptr || !p.KeyPresent) { // the first line says why nothing is read
        return "";
    }
    switch (note->Use) {
    case ValueUse::Taken: return "";
    case ValueUse::Absent: return " (" + name + " absent: default)";
    case ValueUse::Ignored: return " (" + name + " ignored, " + note->Why + ": default)";
    case ValueUse::Unread: return " (" + name + " not read: " + note->Why + ")";
    }
    return "";
}

std::string AxisText(const char* name, const AxisCalibration& axis)
{
    std::ostringstream text;
    text << name << " scale " << FormatScale(axis) << (axis.Invert ? " inverted" : "") << ", offset " << axis.Offset;
    return text.str();
}

std::string ButtonText(std::uint8_t mask)
{
    std::string names;
    const char* const buttons[3] = {"left", "right", "middle"};
    for (int i = 0; i < 3; i++) {
        if ((mask & (1u << i)) != 0) {
            names += names.empty() ? "" : "+";
            names += buttons[i];
        }
    }
    char text[48];
    std::snprintf(text, sizeof text, "0x%02X%s%s", mask, names.empty() ? "" : " ", names.c_str());
    return text;
}

void Line(std::ostringstream& out, const char* label, const std::string& value)
{
    char head[24];
    std::snprintf(head, sizeof head, "  %-14s", label);
    out << head << value << "\n";
}

std::string MonitorText(const DriverParameters& p)
{
    const MonitorMap& m = p.Monitor;
    std::ostringstream text;
    text << "origin " << m.OriginX << "," << m.OriginY << ", " << m.Width << " x " << m.Height
         << " inside a primary desktop of " << m.PrimaryWidth << " x " << m.PrimaryHeight;
    for (const char* name : {"TouchMonitorOx", "TouchMonitorOy", "TouchMonitorWidth", "TouchMonitorHeight",
                             "PrimaryMonitorWidth", "PrimaryMonitorHeight"}) {
        text << NoteText(p, name);
    }
    return text.str();
}

} // namespace

std::string FormatDriverParameters(const DriverParameters& p)
{
    std::ostringstream out;
    out << PelvonctlParametersKeyName << ", as the driver reads it when its device starts:\n";
    if (!p.KeyPresent) {
        out << "  (" << p.Notes.front().Why << ": the driver starts with its built-in settings)\n";
    }
    std::string port = p.PortName.empty() ? "(none)" : p.PortName;
    port += NoteText(p, "PortName");
    Line(out, "PortName", port);
    Line(out, "BaudRate", std::to_string(p.BaudRate) + " bit/s" + NoteText(p, "BaudRate"));
    Line(out, "Calibration",
         AxisText("X", p.CalibrationValue.X) + "; " + AxisText("Y", p.CalibrationValue.Y) + NoteText(p, "Calibration"));
    Line(out, "Filter",
         "current " + Fixed(p.FilterCurrent) + ", previous input " + Fixed(p.FilterPreviousInput) +
             ", previous output " + Fixed(p.FilterPreviousOutput) + NoteText(p, "Filter"));
    char tone[64];
    std::snprintf(tone, sizeof tone, ", %.1f Hz (divisor %u), %u ms",
                  p.BeepDivisor == 0 ? 0.0 : TimerInputHz / p.BeepDivisor, unsigned{p.BeepDivisor},
                  static_cast<unsigned>(p.BeepDurationMs));
    Line(out, "Beep", std::string(p.BeepEnabled != 0 ? "click on" : "click off") + tone + NoteText(p, "Beep"));
    Line(out, "MultiMonitor", std::string(p.MultiMonitor != 0 ? "on" : "off") + NoteText(p, "MultiMonitor"));
    Line(out, "monitor", MonitorText(p));
    Line(out, "LTRB",
         std::to_string(p.Ltrb) + (p.Ltrb != 0 ? ": axes as-is" : ": axes swapped and reversed") + NoteText(p, "LTRB"));
    Line(out, "ButtonMode", ButtonText(p.ButtonMode) + NoteText(p, "ButtonMode"));
    return out.str();
}

} // namespace pelvonctl
