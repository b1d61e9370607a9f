#include "pelvonctl_screen_calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace pelvonctl {

namespace {

constexpr double FixedOne = 65536.0;
// A pointer pixel stands for a range of reports: the driver rounds each
// position down to a multiple of 64 and the system down to a pixel, so the
// middle of that range is half a pixel and half a step beyond the pixel.
constexpr double HalfPixel = 0.5;
constexpr double HalfReportStep = 32;
const char* const TargetNames[TargetCount] = {"top left", "top right", "bottom right", "bottom left", "centre"};

double ExactScaled(const AxisCalibration& c, double input)
{
    const double scale = c.ScaleInteger + c.ScaleFraction / FixedOne;
    return (c.Invert ? -scale : scale) * input + c.Offset;
}

// Whether the integer arithmetic goes wrong anywhere a touch lands on the
// screen; wraps beyond the screen's edges are clamped away.
bool WrapsOnScreen(Axis axis, const AxisCalibration& c, const AxisFitNote& note, Orientation orientation)
{
    if (!note.Wraps()) {
        return false;
    }
    const double first = ExactScaled(c, PipelineInput(axis, note.First, note.First, orientation));
    const double last = ExactScaled(c, PipelineInput(axis, note.Last, note.Last, orientation));
    return std::max(first, last) >= 0 && std::min(first, last) <= 65535;
}

std::string Percent(double screenUnits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * screenUnits / FixedOne);
    return text;
}

} // namespace

PixelRect TouchMonitorRect(const DriverParameters& p, std::int32_t primaryWidth, std::int32_t primaryHeight)
{
    const MonitorMap& m = p.Monitor;
    if (p.MultiMonitor == 0 || m.Width <= 0 || m.Height <= 0) {
        return {0, 0, primaryWidth, primaryHeight};
    }
    return {m.OriginX, m.OriginY, m.Width, m.Height};
}

std::array<PixelPoint, TargetCount> CalibrationTargets(const PixelRect& r)
{
    const double left = r.Left + TargetInset * r.Width;
    const double right = r.Left + (1 - TargetInset) * r.Width;
    const double top = r.Top + TargetInset * r.Height;
    const double bottom = r.Top + (1 - TargetInset) * r.Height;
    return {{{left, top}, {right, top}, {right, bottom}, {left, bottom},
             {r.Left + r.Width / 2.0, r.Top + r.Height / 2.0}}};
}

double PixelToScreenValue(double pixel, std::int32_t origin, std::int32_t extent)
{
    return (pixel - origin) * FixedOne / extent;
}

double ScreenValueToPixel(double value, std::int32_t origin, std::int32_t extent)
{
    return origin + value * extent / FixedOne;
}

std::uint32_t RawFromIdentityValue(Axis axis, double x, double y, Orientation orientation)
{
    // As-is: X is raw X * 16. Swapped: X is 0xFFFF - raw Y * 16, Y likewise from raw X.
    const bool fromX = (axis == Axis::X) == (orientation == Orientation::AsIs);
    const double value = fromX ? x : y;
    const double raw = orientation == Orientation::AsIs ? value / 16 : (65535 - value) / 16;
    return static_cast<std::uint32_t>(std::clamp(std::lround(raw), 0L, 4095L));
}

ScreenCalibration::ScreenCalibration(const PixelRect& monitor, Orientation orientation)
    : monitor_(monitor), orientation_(orientation), targets_(CalibrationTargets(monitor))
{
}

CalibrationPoint ScreenCalibration::PointFor(const PixelPoint& pointer, const PixelPoint& target) const
{
    const double x = PixelToScreenValue(pointer.X + HalfPixel, monitor_.Left, monitor_.Width) + HalfReportStep;
    const double y = PixelToScreenValue(pointer.Y + HalfPixel, monitor_.Top, monitor_.Height) + HalfReportStep;
    CalibrationPoint point{};
    point.RawX = RawFromIdentityValue(Axis::X, x, y, orientation_);
    point.RawY = RawFromIdentityValue(Axis::Y, x, y, orientation_);
    // The target is asked of the calibration the same way: the middle of
    // the reports that put the pointer on its pixel.
    const double tx =
        std::clamp(PixelToScreenValue(target.X + HalfPixel, monitor_.Left, monitor_.Width) + HalfReportStep, 0.0, 65535.0);
    const double ty =
        std::clamp(PixelToScreenValue(target.Y + HalfPixel, monitor_.Top, monitor_.Height) + HalfReportStep, 0.0, 65535.0);
    point.ScreenX = static_cast<std::uint32_t>(std::lround(tx));
    point.ScreenY = static_cast<std::uint32_t>(std::lround(ty));
    return point;
}

CalibrationFit ScreenCalibration::Fit(const PixelRect& monitor, Orientation orientation,
                                      const std::vector<PixelPoint>& pointers, const std::vector<PixelPoint>& targets)
{
    const ScreenCalibration geometry(monitor, orientation);
    std::vector<CalibrationPoint> points;
    for (std::size_t i = 0; i < pointers.size() && i < targets.size(); i++) {
        points.push_back(geometry.PointFor(pointers[i], targets[i]));
    }
    return FitCalibration(points, orientation);
}

void ScreenCalibration::Touch(const PixelPoint& pointer)
{
    if (stage_ != Stage::Capture) {
        return;
    }
    touches_[target_] = pointer;
    notice_.clear();
    const auto missing = std::find_if(touches_.begin(), touches_.end(), [](const auto& t) { return !t; });
    if (missing != touches_.end()) {
        target_ = static_cast<std::size_t>(missing - touches_.begin());
        return;
    }
    Evaluate();
}

void ScreenCalibration::Evaluate()
{
    std::vector<PixelPoint> pointers;
    for (const auto& touch : touches_) {
        pointers.push_back(*touch);
    }
    const std::vector<PixelPoint> targets(targets_.begin(), targets_.end());
    try {
        fit_ = Fit(monitor_, orientation_, pointers, targets);
    } catch (const std::invalid_argument&) {
        touches_ = {};
        target_ = 0;
        notice_ = "The touches did not spread across the screen. Start again at the first target.";
        return;
    }
    // Each touch against the fit of the other four: a mis-touch stands out
    // by its whole error, where in the fit of all five it shares it.
    double worst = 0;
    std::size_t worstIndex = 0;
    for (std::size_t i = 0; i < TargetCount; i++) {
        std::vector<PixelPoint> otherPointers = pointers;
        std::vector<PixelPoint> otherTargets = targets;
        otherPointers.erase(otherPointers.begin() + static_cast<std::ptrdiff_t>(i));
        otherTargets.erase(otherTargets.begin() + static_cast<std::ptrdiff_t>(i));
        CalibrationFit others;
        try {
            others = Fit(monitor_, orientation_, otherPointers, otherTargets);
        } catch (const std::invalid_argument&) {
            continue;
        }
        const CalibrationPoint p = PointFor(pointers[i], targets[i]);
        const double dx = ExactScaled(others.Result.X, PipelineInput(Axis::X, p.RawX, p.RawY, orientation_)) - p.ScreenX;
        const double dy = ExactScaled(others.Result.Y, PipelineInput(Axis::Y, p.RawX, p.RawY, orientation_)) - p.ScreenY;
        const double residual = std::max(std::fabs(dx), std::fabs(dy));
        if (residual > worst) {
            worst = residual;
            worstIndex = i;
        }
    }
    if (worst > MisTouchBound) {
        touches_[worstIndex].reset();
        target_ = worstIndex;
        notice_ = std::string("The ") + TargetNames[worstIndex] + " touch was " + Percent(worst) +
                  " of the screen away from where the others put it. Touch that target again.";
        return;
    }
    if (WrapsOnScreen(Axis::X, fit_.Result.X, fit_.NoteX, orientation_) ||
        WrapsOnScreen(Axis::Y, fit_.Result.Y, fit_.NoteY, orientation_)) {
        stage_ = Stage::Unusable;
        problem_ = "This screen needs a scale of " + FormatScale(fit_.Result.X) + " x " + FormatScale(fit_.Result.Y) +
                   ", which the driver's arithmetic cannot apply across the whole screen.";
        return;
    }
    stage_ = Stage::Confirm;
}

PixelPoint ScreenCalibration::Lands(const PixelPoint& pointer) const
{
    const CalibrationPoint p = PointFor(pointer, pointer);
    const std::uint32_t x = DriverCalibrate(Axis::X, fit_.Result.X, PipelineInput(Axis::X, p.RawX, p.RawY, orientation_));
    const std::uint32_t y = DriverCalibrate(Axis::Y, fit_.Result.Y, PipelineInput(Axis::Y, p.RawX, p.RawY, orientation_));
    return {ScreenValueToPixel(x - HalfReportStep, monitor_.Left, monitor_.Width) - HalfPixel,
            ScreenValueToPixel(y - HalfReportStep, monitor_.Top, monitor_.Height) - HalfPixel};
}

} // namespace pelvonctl
