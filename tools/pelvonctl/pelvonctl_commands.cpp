#include "pelvonctl_commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include "pelvonctl_calibration.h"
#include "pelvonctl_output.h"
#include "pelvonctl_status.h"
#include "touch_control.h"

namespace pelvonctl {

namespace {

constexpr std::uint32_t DefaultBaudRate = 19200;
constexpr double TimerInputHz = 1193182.0; // the PC interval timer's clock
constexpr std::uint32_t MaxOpenPortName = 255; // the count is one byte
constexpr std::uint32_t MaxSetPortName = 256;  // the driver's name buffer
constexpr std::uint32_t FixedOne = 0x10000;
// Room offered for either identification reply: the driver info is three
// bytes, but drivers have announced four, so four are always offered.
constexpr std::uint32_t IdentificationReplyRoom = 4;

// ------------------------------------------------------------ byte helpers

void PutLe16(std::vector<std::uint8_t>& bytes, std::uint32_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& bytes, std::uint32_t value)
{
    PutLe16(bytes, value & 0xFFFF);
    PutLe16(bytes, value >> 16);
}

PelvonctlRequest Request(std::uint32_t code, std::vector<std::uint8_t> input = {}, std::uint32_t outputLength = 0)
{
    PelvonctlRequest request;
    request.Code = code;
    request.Input = std::move(input);
    request.OutputLength = outputLength;
    return request;
}

std::string Hex(std::uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

// ------------------------------------------------------------ numbers

bool StartsWithHexPrefix(const std::string& text)
{
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

bool ParseDigits(const std::string& text, std::uint64_t& value)
{
    const bool hex = StartsWithHexPrefix(text);
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    if (first == last) {
        return false;
    }
    const auto result = std::from_chars(first, last, value, hex ? 16 : 10);
    return result.ec == std::errc() && result.ptr == last;
}

std::uint32_t ParseUnsigned(const std::string& text, const std::string& what, std::uint64_t minimum,
                            std::uint64_t maximum)
{
    std::uint64_t value = 0;
    if (!ParseDigits(text, value) || value < minimum || value > maximum) {
        throw UsageError("bad " + what + " '" + text + "': expected a whole number from " + std::to_string(minimum) +
                         " to " + std::to_string(maximum));
    }
    return static_cast<std::uint32_t>(value);
}

std::int32_t ParseSigned32(const std::string& text, const std::string& what)
{
    const bool negative = !text.empty() && text[0] == '-';
    std::uint64_t magnitude = 0;
    const bool parsed = ParseDigits(negative ? text.substr(1) : text, magnitude);
    const std::uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
    if (!parsed || magnitude > limit) {
        throw UsageError("bad " + what + " '" + text + "': expected a whole number from -2147483648 to 2147483647");
    }
    return static_cast<std::int32_t>(negative ? 0u - static_cast<std::uint32_t>(magnitude)
                                              : static_cast<std::uint32_t>(magnitude));
}

std::string FormatFixed(std::uint64_t raw)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", static_cast<double>(raw) / FixedOne);
    return text;
}

// A value in 1/65536: a decimal rounded to the nearest step, or raw with 0x.
std::uint32_t ParseFixed(const std::string& text, const std::string& what, std::uint32_t maximumRaw)
{
    std::uint64_t raw = 0;
    bool valid = false;
    if (StartsWithHexPrefix(text)) {
        valid = ParseDigits(text, raw);
    } else {
        double value = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec == std::errc() && result.ptr == text.data() + text.size() && std::isfinite(value) && value >= 0 &&
            value < 1e12) {
            raw = static_cast<std::uint64_t>(std::llround(value * FixedOne));
            // The largest value, written to five places (65535.99998), rounds
            // up past the field; anything short of the next step is the top.
            if (raw == std::uint64_t{maximumRaw} + 1 && value * FixedOne < static_cast<double>(raw)) {
                raw = maximumRaw;
            }
            valid = true;
        }
    }
    if (!valid || raw > maximumRaw) {
        throw UsageError("bad " + what + " '" + text + "': expected a decimal from 0 to " + FormatFixed(maximumRaw) +
                         " or a raw value in 1/65536 from 0x0 to " + Hex(maximumRaw, 1));
    }
    return static_cast<std::uint32_t>(raw);
}

// ------------------------------------------------------------ options

struct OptionRule {
    const char* Name;
    bool TakesValue;
};

struct ParsedArgs {
    std::vector<std::string> Positionals;
    std::map<std::string, std::string> Values;
    std::set<std::string> Flags;

    bool Has(const std::string& name) const { return Values.count(name) != 0 || Flags.count(name) != 0; }
};

// "--name value", "--name=value" and "--flag"; anything else, including
// negative numbers, is positional.
ParsedArgs ParseArgs(const std::string& command, const std::vector<std::string>& tokens,
                     std::initializer_list<OptionRule> options)
{
    ParsedArgs parsed;
    for (std::size_t i = 0; i < tokens.size(); i++) {
        const std::string& token = tokens[i];
        if (token.rfind("--", 0) != 0) {
            parsed.Positionals.push_back(token);
            continue;
        }
        const std::size_t equals = token.find('=');
        const std::string name = token.substr(0, equals);
        const auto rule = std::find_if(options.begin(), options.end(),
                                       [&](const OptionRule& o) { return name == o.Name; });
        if (rule == options.end()) {
            throw UsageError("unknown option '" + name + "' for " + command);
        }
        if (parsed.Has(name)) {
            throw UsageError("option " + name + " given twice");
        }
        if (!rule->TakesValue) {
            if (equals != std::string::npos) {
                throw UsageError("option " + name + " takes no value");
            }
            parsed.Flags.insert(name);
        } else if (equals != std::string::npos) {
            parsed.Values[name] = token.substr(equals + 1);
        } else if (i + 1 < tokens.size()) {
            parsed.Values[name] = tokens[++i];
        } else {
            throw UsageError("option " + name + " needs a value");
        }
    }
    return parsed;
}

void ExpectPositionals(const std::string& command, const ParsedArgs& parsed, std::size_t minimum, std::size_t maximum,
                       const std::string& usage)
{
    const std::size_t count = parsed.Positionals.size();
    if (count < minimum) {
        throw UsageError(command + " needs " + usage);
    }
    if (count > maximum) {
        throw UsageError("unexpected argument '" + parsed.Positionals[maximum] + "' for " + command + " (usage: " +
                         command + " " + usage + ")");
    }
}

std::string OptionValue(const ParsedArgs& parsed, const std::string& name, const std::string& fallback)
{
    const auto it = parsed.Values.find(name);
    return it == parsed.Values.end() ? fallback : it->second;
}

// Port names are sent a byte per character and widened by the driver
// without a code page, so only printable ASCII survives the trip.
void CheckPortName(const std::string& name, std::uint32_t maximum)
{
    if (name.empty() || name.size() > maximum) {
        throw UsageError("bad port name '" + name + "': expected 1 to " + std::to_string(maximum) + " characters");
    }
    for (const char c : name) {
        if (c <= ' ' || c > '~') {
            throw UsageError("bad port name '" + name + "': only printable ASCII characters without spaces");
        }
    }
}

std::uint8_t ParseOnOff(const std::string& command, const std::string& text, const char* onWord, const char* offWord)
{
    if (text == onWord) {
        return 1;
    }
    if (text == offWord) {
        return 0;
    }
    throw UsageError("bad argument '" + text + "' for " + command + ": expected " + onWord + " or " + offWord);
}

// ------------------------------------------------------------ commands

Plan OpenPort(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("open-port", tokens, {{"--baud", true}});
    ExpectPositionals("open-port", args, 0, 1, "[NAME [--baud N]]");
    Plan plan;
    if (args.Positionals.empty()) {
        if (args.Has("--baud")) {
            throw UsageError("--baud needs a port name (open-port COM1 --baud 9600)");
        }
        plan.Requests.push_back(Request(IOCTL_TOUCH_OPEN_PORT));
        plan.SuccessMessage = "opened the configured port";
        return plan;
    }
    const std::string& name = args.Positionals[0];
    CheckPortName(name, MaxOpenPortName);
    const std::uint32_t baud =
        ParseUnsigned(OptionValue(args, "--baud", std::to_string(DefaultBaudRate)), "--baud", 1, 0xFFFFFFFFu);
    std::vector<std::uint8_t> input;
    input.reserve(1 + name.size() + 4); // also keeps GCC 12's -Warray-bounds false positive away
    input.push_back(static_cast<std::uint8_t>(name.size()));
    input.insert(input.end(), name.begin(), name.end());
    PutLe32(input, baud);
    plan.Requests.push_back(Request(IOCTL_TOUCH_OPEN_PORT, input));
    plan.PortName = name;
    plan.SuccessMessage = "opened " + name + " at " + std::to_string(baud) + " bit/s";
    return plan;
}

Plan SetPort(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("set-port", tokens, {});
    ExpectPositionals("set-port", args, 1, 1, "NAME");
    const std::string& name = args.Positionals[0];
    CheckPortName(name, MaxSetPortName);
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_PORT, std::vector<std::uint8_t>(name.begin(), name.end())));
    plan.PortName = name;
    plan.SuccessMessage = "port set to " + name + " and opened";
    return plan;
}

Plan NoInputCommand(const std::string& command, const std::vector<std::string>& tokens, std::uint32_t code,
                    const std::string& message)
{
    const ParsedArgs args = ParseArgs(command, tokens, {});
    ExpectPositionals(command, args, 0, 0, "no arguments");
    Plan plan;
    plan.Requests.push_back(Request(code));
    plan.SuccessMessage = message;
    return plan;
}

AxisCalibration ParseAxis(const ParsedArgs& args, const std::string& axis)
{
    AxisCalibration c;
    c.Invert = args.Has("--invert-" + axis);
    const std::uint32_t scale = ParseFixed(OptionValue(args, "--scale-" + axis, "1"), "--scale-" + axis, 0xFFFFFFFFu);
    c.ScaleInteger = static_cast<std::uint16_t>(scale >> 16);
    c.ScaleFraction = static_cast<std::uint16_t>(scale & 0xFFFF);
    c.Offset = ParseSigned32(OptionValue(args, "--offset-" + axis, "0"), "--offset-" + axis);
    return c;
}

Plan SetCalibration(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("calibration", tokens,
                                      {{"--invert-x", false}, {"--invert-y", false}, {"--scale-x", true},
                                       {"--scale-y", true}, {"--offset-x", true}, {"--offset-y", true}});
    ExpectPositionals("calibration", args, 0, 0, "options only");
    Calibration calibration;
    calibration.X = ParseAxis(args, "x");
    calibration.Y = ParseAxis(args, "y");
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_CALIBRATION, EncodeCalibrationData(calibration)));
    plan.SuccessMessage = "calibration set";
    return plan;
}

Plan SetFilter(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("filter", tokens,
                                      {{"--current", true}, {"--previous-input", true}, {"--previous-output", true}});
    ExpectPositionals("filter", args, 0, 0, "options only");
    const std::uint32_t current = ParseFixed(OptionValue(args, "--current", "0x8000"), "--current", 0xFFFF);
    const std::uint32_t previousInput =
        ParseFixed(OptionValue(args, "--previous-input", "0x8000"), "--previous-input", 0xFFFF);
    const std::uint32_t previousOutput =
        ParseFixed(OptionValue(args, "--previous-output", "0"), "--previous-output", 0xFFFFFFFFu);
    std::vector<std::uint8_t> input;
    PutLe16(input, current);
    PutLe16(input, previousInput);
    PutLe32(input, previousOutput);
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_FILTER, input));
    const std::uint64_t sum = std::uint64_t{current} + previousInput + previousOutput;
    if (sum < FixedOne - 2 || sum > FixedOne + 2) {
        plan.Warnings = "pelvonctl: warning: the filter weights add up to " + FormatFixed(sum) +
                        ", not 1: positions will drift while the finger rests\n";
    }
    plan.SuccessMessage = "filter set";
    return plan;
}

Plan SetClick(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("click", tokens, {});
    ExpectPositionals("click", args, 1, 1, "on|off");
    const std::uint8_t on = ParseOnOff("click", args.Positionals[0], "on", "off");
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_BEEP_ENABLE, {on}));
    plan.SuccessMessage = on ? "click on" : "click off";
    return plan;
}

Plan SetClickTone(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("click-tone", tokens, {{"--hz", true}, {"--divisor", true}, {"--ms", true}});
    ExpectPositionals("click-tone", args, 0, 0, "(--hz F | --divisor N) --ms D");
    if (args.Has("--hz") == args.Has("--divisor")) {
        throw UsageError("click-tone needs either --hz or --divisor");
    }
    if (!args.Has("--ms")) {
        throw UsageError("click-tone needs --ms (the click's length in milliseconds)");
    }
    std::uint32_t divisor = 0;
    if (args.Has("--hz")) {
        const std::string text = args.Values.at("--hz");
        double hz = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), hz);
        const bool parsed = result.ec == std::errc() && result.ptr == text.data() + text.size() && std::isfinite(hz);
        const double rounded = parsed && hz > 0 ? std::round(TimerInputHz / hz) : 0;
        if (rounded < 1 || rounded > 65535) {
            throw UsageError("bad --hz '" + text + "': expected a frequency from 18.21 to 1193182 Hz");
        }
        divisor = static_cast<std::uint32_t>(rounded);
    } else {
        divisor = ParseUnsigned(args.Values.at("--divisor"), "--divisor", 1, 65535);
    }
    const std::uint32_t ms = ParseUnsigned(args.Values.at("--ms"), "--ms", 0, 0xFFFFFFFFu);
    std::vector<std::uint8_t> input;
    PutLe16(input, divisor);
    PutLe32(input, ms);
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_BEEP_TONE, input));
    char text[96];
    std::snprintf(text, sizeof text, "click tone %.1f Hz (divisor %u), %u ms", TimerInputHz / divisor, divisor, ms);
    plan.SuccessMessage = text;
    return plan;
}

Plan SetButtons(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("buttons", tokens, {});
    ExpectPositionals("buttons", args, 1, 1, "left|right|middle|N");
    const std::string& word = args.Positionals[0];
    static const std::map<std::string, std::uint8_t> named = {{"left", 0x01}, {"right", 0x02}, {"middle", 0x04}};
    const auto it = named.find(word);
    std::uint8_t mask = 0;
    if (it != named.end()) {
        mask = it->second;
    } else {
        std::uint64_t value = 0;
        if (!ParseDigits(word, value) || value > 255) {
            throw UsageError("bad button '" + word + "': expected left, right, middle or a mask from 0 to 255");
        }
        mask = static_cast<std::uint8_t>(value);
    }
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_BUTTON_MODE, {mask}));
    plan.SuccessMessage = "touch presses button mask " + Hex(mask, 2);
    return plan;
}

Plan SetMonitor(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("monitor", tokens, {});
    if (args.Positionals.size() == 1 && args.Positionals[0] == "off") {
        Plan plan;
        plan.Requests.push_back(Request(IOCTL_TOUCH_CLEAR_MULTI_MONITOR));
        plan.SuccessMessage = "monitor mapping off";
        return plan;
    }
    if (args.Positionals.size() != 6) {
        throw UsageError("monitor needs OX OY W H PW PH (six numbers) or off");
    }
    static const char* const names[6] = {"OX (monitor origin X)", "OY (monitor origin Y)", "W (monitor width)",
                                         "H (monitor height)",    "PW (primary width)",    "PH (primary height)"};
    std::vector<std::uint8_t> input;
    for (std::size_t i = 0; i < 6; i++) {
        const std::int32_t value = ParseSigned32(args.Positionals[i], names[i]);
        if (i >= 4 && value == 0) {
            throw UsageError(std::string("bad ") + names[i] + " '0': the driver divides by it");
        }
        PutLe32(input, static_cast<std::uint32_t>(value));
    }
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_MULTI_MONITOR, input));
    plan.SuccessMessage = "monitor mapping on";
    return plan;
}

Plan SetOrientation(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("orientation", tokens, {});
    ExpectPositionals("orientation", args, 1, 1, "as-is|swapped");
    const std::uint8_t ltrb = ParseOnOff("orientation", args.Positionals[0], "as-is", "swapped");
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_LTRB, {ltrb}));
    plan.SuccessMessage = ltrb ? "axes as-is" : "axes swapped and reversed";
    return plan;
}

Plan SetRange(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("range", tokens, {});
    ExpectPositionals("range", args, 4, 4, "A B C D");
    static const char* const names[4] = {"range value A", "range value B", "range value C", "range value D"};
    std::vector<std::uint8_t> input;
    for (std::size_t i = 0; i < 4; i++) {
        PutLe32(input, ParseUnsigned(args.Positionals[i], names[i], 0, 0xFFFFFFFFu));
    }
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_SET_RANGE, input));
    plan.SuccessMessage = "range stored";
    return plan;
}

Plan Info(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("info", tokens, {});
    ExpectPositionals("info", args, 0, 0, "no arguments");
    Plan plan;
    plan.Requests.push_back(Request(IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, IdentificationReplyRoom));
    plan.Requests.push_back(Request(IOCTL_TOUCH_GET_DRIVER_INFO, {}, IdentificationReplyRoom));
    plan.Format = ReplyFormat::Info;
    return plan;
}

CalibrationPoint ParsePoint(const std::string& text)
{
    const std::string error = "bad point '" + text + "': expected RX,RY=SX,SY (raw 0..4095, screen 0..65535)";
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        throw UsageError(error);
    }
    auto pair = [&](const std::string& part, std::uint32_t maximum, std::uint32_t& a, std::uint32_t& b) {
        const std::size_t comma = part.find(',');
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        if (comma == std::string::npos || !ParseDigits(part.substr(0, comma), first) ||
            !ParseDigits(part.substr(comma + 1), second) || first > maximum || second > maximum) {
            throw UsageError(error);
        }
        a = static_cast<std::uint32_t>(first);
        b = static_cast<std::uint32_t>(second);
    };
    CalibrationPoint point{};
    pair(text.substr(0, equals), 4095, point.RawX, point.RawY);
    pair(text.substr(equals + 1), 0xFFFF, point.ScreenX, point.ScreenY);
    return point;
}

std::string DescribeAxis(const char* name, const AxisCalibration& axis)
{
    std::ostringstream text;
    text << "  " << name << ": scale " << FormatScale(axis) << " (integer " << axis.ScaleInteger << ", fraction "
         << Hex(axis.ScaleFraction, 4) << ")" << (axis.Invert ? ", inverted" : "") << ", offset " << axis.Offset
         << "\n";
    return text.str();
}

std::string ScaleOption(const AxisCalibration& axis)
{
    return Hex((static_cast<std::uint32_t>(axis.ScaleInteger) << 16) | axis.ScaleFraction, 8);
}

std::string WrapWarning(const char* axis, const char* rawAxis, const AxisFitNote& note)
{
    if (!note.Wraps()) {
        return "";
    }
    return std::string("pelvonctl: warning: at this ") + axis + " scale the driver's 32-bit arithmetic overflows for raw " +
           rawAxis + " " + std::to_string(note.First) + ".." + std::to_string(note.Last) +
           ": touches there land at the wrong place\n";
}

Plan CalibratePoints(const std::vector<std::string>& tokens)
{
    const ParsedArgs args = ParseArgs("calibrate-points", tokens, {{"--orientation", true}, {"--send", false}});
    if (args.Positionals.size() < 2) {
        throw UsageError("calibrate-points needs at least two points RX,RY=SX,SY");
    }
    const Orientation orientation =
        ParseOnOff("--orientation", OptionValue(args, "--orientation", "as-is"), "as-is", "swapped") != 0
            ? Orientation::AsIs
            : Orientation::Swapped;
    std::vector<CalibrationPoint> points;
    for (const std::string& text : args.Positionals) {
        points.push_back(ParsePoint(text));
    }
    CalibrationFit fit;
    try {
        fit = FitCalibration(points, orientation);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("calibrate-points: ") + e.what());
    }
    const Calibration& c = fit.Result;
    const std::vector<std::uint8_t> bytes = EncodeCalibrationData(c);

    std::ostringstream report;
    report << "calibration from " << points.size() << " points, axes "
           << (orientation == Orientation::AsIs ? "as-is" : "swapped") << ":\n"
           << DescribeAxis("X", c.X) << DescribeAxis("Y", c.Y) << "  bytes: " << HexBytes(bytes) << "\n"
           << "  command: pelvonctl calibration" << (c.X.Invert ? " --invert-x" : "") << (c.Y.Invert ? " --invert-y" : "")
           << " --scale-x " << ScaleOption(c.X) << " --scale-y " << ScaleOption(c.Y) << " --offset-x " << c.X.Offset
           << " --offset-y " << c.Y.Offset << "\n";
    for (std::size_t i = 0; i < points.size(); i++) {
        const CalibrationPoint& p = points[i];
        const std::uint32_t x = DriverCalibrate(Axis::X, c.X, PipelineInput(Axis::X, p.RawX, p.RawY, orientation));
        const std::uint32_t y = DriverCalibrate(Axis::Y, c.Y, PipelineInput(Axis::Y, p.RawX, p.RawY, orientation));
        report << "  point " << i + 1 << ": raw " << p.RawX << "," << p.RawY << " lands at " << x << "," << y
               << " (wanted " << p.ScreenX << "," << p.ScreenY << ")\n";
    }

    Plan plan;
    plan.Report = report.str();
    const bool asIs = orientation == Orientation::AsIs;
    plan.Warnings = WrapWarning("X", asIs ? "X" : "Y", fit.NoteX) + WrapWarning("Y", asIs ? "Y" : "X", fit.NoteY);
    if (args.Has("--send")) {
        plan.Requests.push_back(Request(IOCTL_TOUCH_SET_CALIBRATION, bytes));
        plan.SuccessMessage = "calibration set";
    }
    return plan;
}

using CommandFunction = Plan (*)(const std::vector<std::string>&);

Plan Dispatch(const std::string& command, const std::vector<std::string>& tokens)
{
    static const std::map<std::string, CommandFunction> commands = {
        {"open-port", OpenPort},
        {"set-port", SetPort},
        {"close-port", [](const std::vector<std::string>& t) {
             return NoInputCommand("close-port", t, IOCTL_TOUCH_CLOSE_PORT, "port closed");
         }},
        {"calibration", SetCalibration},
        {"reset-calibration", [](const std::vector<std::string>& t) {
             return NoInputCommand("reset-calibration", t, IOCTL_TOUCH_RESET_CALIBRATION, "calibration reset");
         }},
        {"calibrate-points", CalibratePoints},
        {"filter", SetFilter},
        {"click", SetClick},
        {"click-tone", SetClickTone},
        {"buttons", SetButtons},
        {"monitor", SetMonitor},
        {"orientation", SetOrientation},
        {"range", SetRange},
        {"info", Info},
    };
    const auto it = commands.find(command);
    if (it == commands.end()) {
        throw UsageError("unknown command '" + command + "'");
    }
    Plan plan = it->second(tokens);
    plan.Command = command;
    return plan;
}

// Advice for the statuses a person can act on.
std::string Hint(const Plan& plan, std::uint32_t ntStatus)
{
    switch (ntStatus) {
    case 0xC0000225u: // STATUS_NOT_FOUND: the port lookup
        return plan.PortName.empty()
                   ? "the port the driver holds (registry value PortName) is not a serial port of this system"
                   : "no serial port named " + plan.PortName + " is listed under HARDWARE\\DEVICEMAP\\SERIALCOMM";
    case 0xC0000010u: // STATUS_INVALID_DEVICE_REQUEST
        return "the device does not know this request: is \\\\.\\pelvon the touch driver?";
    case 0xC0000034u: // STATUS_OBJECT_NAME_NOT_FOUND
        return "is the touch driver installed and its device started?";
    default: return "";
    }
}

std::uint32_t LikelyNtStatus(const PelvonctlReply& reply)
{
    if (reply.Kind == PelvonctlStatusKind::NtStatus) {
        return reply.Status;
    }
    const auto candidates = FindWin32Error(reply.Status);
    return candidates.empty() ? 0 : candidates.front().NtStatus;
}

std::vector<std::uint8_t> ReplyBytes(const PelvonctlReply& reply)
{
    const std::size_t count = std::min<std::size_t>(reply.Information, reply.Output.size());
    return {reply.Output.begin(), reply.Output.begin() + static_cast<std::ptrdiff_t>(count)};
}

} // namespace

std::string HexBytes(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < bytes.size(); i++) {
        std::snprintf(byte, sizeof byte, "%02X", bytes[i]);
        text += (i == 0 ? "" : " ");
        text += byte;
    }
    return text;
}

std::string ControlCodeName(std::uint32_t code)
{
    static const std::map<std::uint32_t, const char*> names = {
        {IOCTL_TOUCH_SET_PORT, "IOCTL_TOUCH_SET_PORT"},
        {IOCTL_TOUCH_OPEN_PORT, "IOCTL_TOUCH_OPEN_PORT"},
        {IOCTL_TOUCH_CLOSE_PORT, "IOCTL_TOUCH_CLOSE_PORT"},
        {IOCTL_TOUCH_SET_CALIBRATION, "IOCTL_TOUCH_SET_CALIBRATION"},
        {IOCTL_TOUCH_RESET_CALIBRATION, "IOCTL_TOUCH_RESET_CALIBRATION"},
        {IOCTL_TOUCH_SET_FILTER, "IOCTL_TOUCH_SET_FILTER"},
        {IOCTL_TOUCH_SET_BEEP_ENABLE, "IOCTL_TOUCH_SET_BEEP_ENABLE"},
        {IOCTL_TOUCH_SET_BEEP_TONE, "IOCTL_TOUCH_SET_BEEP_TONE"},
        {IOCTL_TOUCH_SET_BUTTON_MODE, "IOCTL_TOUCH_SET_BUTTON_MODE"},
        {IOCTL_TOUCH_GET_CONTROLLER_INFO, "IOCTL_TOUCH_GET_CONTROLLER_INFO"},
        {IOCTL_TOUCH_GET_DRIVER_INFO, "IOCTL_TOUCH_GET_DRIVER_INFO"},
        {IOCTL_TOUCH_SET_RANGE, "IOCTL_TOUCH_SET_RANGE"},
        {IOCTL_TOUCH_SET_MULTI_MONITOR, "IOCTL_TOUCH_SET_MULTI_MONITOR"},
        {IOCTL_TOUCH_CLEAR_MULTI_MONITOR, "IOCTL_TOUCH_CLEAR_MULTI_MONITOR"},
        {IOCTL_TOUCH_SET_LTRB, "IOCTL_TOUCH_SET_LTRB"},
    };
    const auto it = names.find(code);
    return it == names.end() ? "control code " + Hex(code, 8) : it->second;
}

std::string FormatRequest(const PelvonctlRequest& request)
{
    std::string text = ControlCodeName(request.Code) + " (" + Hex(request.Code, 8) + ") in " +
                       std::to_string(request.Input.size());
    if (!request.Input.empty()) {
        text += ": " + HexBytes(request.Input);
    }
    return text + ", out " + std::to_string(request.OutputLength);
}

bool ReplySucceeded(const PelvonctlReply& reply)
{
    if (!reply.Unreachable.empty()) {
        return false;
    }
    return reply.Kind == PelvonctlStatusKind::NtStatus ? !NtStatusIsError(reply.Status) : reply.Status == 0;
}

std::string DescribeReplyStatus(const PelvonctlReply& reply)
{
    return reply.Kind == PelvonctlStatusKind::NtStatus ? DescribeNtStatus(reply.Status)
                                                       : DescribeWin32Error(reply.Status);
}

std::string FormatInfo(const PelvonctlReply& controllerInfo, const PelvonctlReply& driverInfo)
{
    std::ostringstream text;
    const std::vector<std::uint8_t> controller = ReplyBytes(controllerInfo);
    text << "controller: ";
    if (controller.size() < 2) {
        text << "short reply";
    } else if (controller[0] == 0 && controller[1] == 0) {
        text << "not reported yet";
    } else {
        text << "identification " << unsigned{controller[0]} << "." << unsigned{controller[1]};
    }
    text << " (reply " << HexBytes(controller) << ")\n";

    const std::vector<std::uint8_t> driver = ReplyBytes(driverInfo);
    text << "driver: ";
    if (driver.size() < DRIVER_INFO_REPLY_LENGTH) {
        text << "short reply";
    } else {
        text << "version " << unsigned{driver[0]} << "." << unsigned{driver[1]} << "." << unsigned{driver[2]};
    }
    text << " (reply " << HexBytes(driver) << ")\n";
    return text.str();
}

Plan PlanCommand(const std::vector<std::string>& args)
{
    std::vector<std::string> tokens;
    bool dryRun = false;
    bool help = false;
    for (const std::string& arg : args) {
        if (arg == "--dry-run") {
            dryRun = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else {
            tokens.push_back(arg);
        }
    }
    if (help || (!tokens.empty() && tokens[0] == "help")) {
        Plan plan;
        plan.Help = true;
        return plan;
    }
    if (tokens.empty()) {
        throw UsageError("no command given");
    }
    Plan plan = Dispatch(tokens[0], std::vector<std::string>(tokens.begin() + 1, tokens.end()));
    plan.DryRun = dryRun;
    return plan;
}


bool SplitWords(const std::string& line, std::vector<std::string>& Words)
{
    Words.clear();
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) {
                Words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        Words.push_back(word);
    }
    return quote == 0;
}

} // namespace pelvonctl

namespace {

int RunCommandLine(const std::vector<std::string>& args, PelvonctlTransport& transport, std::ostream& out,
                   std::ostream& err);

} // namespace

int RunPelvonctl(const std::vector<std::string>& args, PelvonctlTransport& transport, std::ostream& out,
                 std::ostream& err)
{
    return FinishPelvonctl(RunCommandLine(args, transport, out, err), out, err);
}

int FinishPelvonctl(int code, std::ostream& out, std::ostream& err)
{
    std::string reason;
    if (!FlushOutput(out, reason)) {
        err << "pelvonctl: cannot write the standard output: " << reason << "\n";
        FlushOutput(err, reason);
        return PelvonctlExitOutputFailed;
    }
    return FlushOutput(err, reason) ? code : PelvonctlExitOutputFailed;
}

namespace {

int RunCommandLine(const std::vector<std::string>& args, PelvonctlTransport& transport, std::ostream& out,
                   std::ostream& err)
{
    using namespace pelvonctl;
    Plan plan;
    try {
        plan = PlanCommand(args);
    } catch (const UsageError& e) {
        err << "pelvonctl: " << e.what() << "\nRun 'pelvonctl --help' for the commands and their units.\n";
        return PelvonctlExitUsage;
    }
    if (plan.Help) {
        out << HelpText();
        return PelvonctlExitSuccess;
    }
    err << plan.Warnings;
    out << plan.Report;
    if (plan.DryRun) {
        for (const PelvonctlRequest& request : plan.Requests) {
            out << FormatRequest(request) << "\n";
        }
        return PelvonctlExitSuccess;
    }
    if (plan.Requests.empty()) {
        return PelvonctlExitSuccess;
    }
    if (!transport.Send) {
        err << "pelvonctl: no way to reach the driver here; use --dry-run to see the requests\n";
        return PelvonctlExitRequestFailed;
    }
    std::vector<PelvonctlReply> replies;
    for (const PelvonctlRequest& request : plan.Requests) {
        PelvonctlReply reply = transport.Send(request);
        if (!ReplySucceeded(reply)) {
            if (reply.Unreachable.empty()) {
                err << "pelvonctl: " << plan.Command << " failed: " << ControlCodeName(request.Code)
                    << " completed with " << DescribeReplyStatus(reply) << "\n";
            } else {
                err << "pelvonctl: " << reply.Unreachable << ": " << DescribeReplyStatus(reply) << "\n";
            }
            const std::string hint = Hint(plan, LikelyNtStatus(reply));
            if (!hint.empty()) {
                err << "pelvonctl: " << hint << "\n";
            }
            return PelvonctlExitRequestFailed;
        }
        replies.push_back(std::move(reply));
    }
    if (plan.Format == ReplyFormat::Info) {
        out << FormatInfo(replies[0], replies[1]);
    } else if (!plan.SuccessMessage.empty()) {
        out << plan.SuccessMessage << "\n";
    }
    return PelvonctlExitSuccess;
}

} // namespace
