#include "pelvonctl_calibration.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace pelvonctl {

namespace {

constexpr std::uint32_t RawMaximum = 4095;
constexpr std::uint32_t ScreenMaximum = 0xFFFF;
constexpr double FixedOne = 65536.0;

void PutLe16(std::vector<std::uint8_t>& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& bytes, std::uint32_t value)
{
    PutLe16(bytes, static_cast<std::uint16_t>(value));
    PutLe16(bytes, static_cast<std::uint16_t>(value >> 16));
}

// The driver's calibration before the offset and the clamp, read as signed.
std::int32_t DriverScaled(Axis axis, const AxisCalibration& c, std::uint32_t input)
{
    const std::uint32_t product = static_cast<std::uint32_t>(c.ScaleFraction) * input;
    const std::int32_t signedProduct = static_cast<std::int32_t>(product);
    const std::uint32_t fractionPart = axis == Axis::X ? static_cast<std::uint32_t>(signedProduct >> 16)
                                                       : static_cast<std::uint32_t>(signedProduct / 65536);
    std::uint32_t scaled = static_cast<std::uint32_t>(c.ScaleInteger) * input + fractionPart;
    if (c.Invert) {
        scaled = 0u - scaled;
    }
    return static_cast<std::int32_t>(scaled);
}

struct AxisSamples {
    std::vector<double> Input;
    std::vector<double> Target;
};

const char* AxisName(Axis axis)
{
    return axis == Axis::X ? "X" : "Y";
}

AxisCalibration FitAxis(Axis axis, const AxisSamples& samples)
{
    const double n = static_cast<double>(samples.Input.size());
    double meanInput = 0;
    double meanTarget = 0;
    for (std::size_t i = 0; i < samples.Input.size(); i++) {
        meanInput += samples.Input[i] / n;
        meanTarget += samples.Target[i] / n;
    }
    double sxx = 0;
    double sxy = 0;
    for (std::size_t i = 0; i < samples.Input.size(); i++) {
        sxx += (samples.Input[i] - meanInput) * (samples.Input[i] - meanInput);
        sxy += (samples.Input[i] - meanInput) * (samples.Target[i] - meanTarget);
    }
    const std::string name = AxisName(axis);
    if (sxx == 0) {
        throw std::invalid_argument("the points do not differ in the raw position that feeds screen " + name +
                                    ": touch points spread across the screen");
    }
    const double slope = sxy / sxx;
    const double fixed = std::round(std::fabs(slope) * FixedOne);
    if (fixed < 1) {
        throw std::invalid_argument("the fitted " + name + " scale is 0: the intended " + name +
                                    " positions do not change with the touched positions");
    }
    if (fixed > 4294967295.0) {
        throw std::invalid_argument("the fitted " + name + " scale " + std::to_string(std::fabs(slope)) +
                                    " is beyond 65535.99998");
    }
    AxisCalibration result;
    result.Invert = slope < 0;
    result.ScaleInteger = static_cast<std::uint16_t>(static_cast<std::uint32_t>(fixed) >> 16);
    result.ScaleFraction = static_cast<std::uint16_t>(static_cast<std::uint32_t>(fixed) & 0xFFFF);

    // The offset is fitted against the rounded scale and the truncation of
    // its fraction product, so their bias ends up in the offset. Where the
    // driver's product wraps no offset can help; that is warned about.
    double meanResidual = 0;
    for (std::size_t i = 0; i < samples.Input.size(); i++) {
        const auto input = static_cast<std::int64_t>(samples.Input[i]);
        const std::int64_t scaled = result.ScaleInteger * input + ((result.ScaleFraction * input) >> 16);
        meanResidual += (samples.Target[i] - static_cast<double>(result.Invert ? -scaled : scaled)) / n;
    }
    const double offset = std::round(meanResidual);
    if (offset < std::numeric_limits<std::int32_t>::min() || offset > std::numeric_limits<std::int32_t>::max()) {
        throw std::invalid_argument("the fitted " + name + " offset is beyond a signed 32-bit value");
    }
    result.Offset = static_cast<std::int32_t>(offset);
    return result;
}

// Where the integer arithmetic departs from the exact scale by more than the
// rounding of one division, over every position the controller can report.
AxisFitNote FindWrap(Axis axis, const AxisCalibration& c, Orientation orientation)
{
    AxisFitNote note;
    const double scale = c.ScaleInteger + c.ScaleFraction / FixedOne;
    for (std::uint32_t raw = 0; raw <= RawMaximum; raw++) {
        const std::uint32_t input = PipelineInput(axis, raw, raw, orientation);
        const double exact = (c.Invert ? -scale : scale) * input;
        if (std::fabs(DriverScaled(axis, c, input) - exact) > 1.0) {
            if (!note.Wraps()) {
                note.First = raw;
            }
            note.Last = raw;
        }
    }
    return note;
}

} // namespace

std::vector<std::uint8_t> EncodeCalibrationData(const Calibration& c)
{
    std::vector<std::uint8_t> bytes;
    bytes.push_back(c.X.Invert ? 1 : 0);
    bytes.push_back(c.Y.Invert ? 1 : 0);
    PutLe16(bytes, c.X.ScaleInteger);
    PutLe16(bytes, c.X.ScaleFraction);
    PutLe32(bytes, static_cast<std::uint32_t>(c.X.Offset));
    PutLe16(bytes, c.Y.ScaleInteger);
    PutLe16(bytes, c.Y.ScaleFraction);
    PutLe32(bytes, static_cast<std::uint32_t>(c.Y.Offset));
    return bytes;
}

std::uint32_t PipelineInput(Axis axis, std::uint32_t rawX, std::uint32_t rawY, Orientation orientation)
{
    if (orientation == Orientation::AsIs) {
        return (axis == Axis::X ? rawX : rawY) << 4;
    }
    return ScreenMaximum - ((axis == Axis::X ? rawY : rawX) << 4);
}

std::uint32_t DriverCalibrate(Axis axis, const AxisCalibration& c, std::uint32_t input)
{
    const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(DriverScaled(axis, c, input)) +
                                                 static_cast<std::uint32_t>(c.Offset));
    if (value < 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(value) > ScreenMaximum ? ScreenMaximum : static_cast<std::uint32_t>(value);
}

CalibrationFit FitCalibration(const std::vector<CalibrationPoint>& points, Orientation orientation)
{
    if (points.size() < 2) {
        throw std::invalid_argument("at least two reference points are needed");
    }
    AxisSamples x;
    AxisSamples y;
    for (const CalibrationPoint& p : points) {
        if (p.RawX > RawMaximum || p.RawY > RawMaximum) {
            throw std::invalid_argument("raw positions are 12-bit controller values, 0..4095");
        }
        if (p.ScreenX > ScreenMaximum || p.ScreenY > ScreenMaximum) {
            throw std::invalid_argument("screen positions are 0..65535");
        }
        x.Input.push_back(PipelineInput(Axis::X, p.RawX, p.RawY, orientation));
        x.Target.push_back(p.ScreenX);
        y.Input.push_back(PipelineInput(Axis::Y, p.RawX, p.RawY, orientation));
        y.Target.push_back(p.ScreenY);
    }
    CalibrationFit fit;
    fit.Result.X = FitAxis(Axis::X, x);
    fit.Result.Y = FitAxis(Axis::Y, y);
    fit.NoteX = FindWrap(Axis::X, fit.Result.X, orientation);
    fit.NoteY = FindWrap(Axis::Y, fit.Result.Y, orientation);
    return fit;
}

std::string FormatScale(const AxisCalibration& axis)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", axis.ScaleInteger + axis.ScaleFraction / FixedOne);
    return text;
}

} // namespace pelvonctl
