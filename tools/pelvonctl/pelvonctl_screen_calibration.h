// Calibrating by touch (pelvoncal): the targets, the pointer positions a
// touch gives while the driver runs the identity calibration, and the fit,
// made with calibrate-points' own least squares (FitCalibration).
//
// While calibrating, the driver applies scale 1 and offset 0 with its
// orientation and multi-monitor mapping kept, so the pointer shows the
// value the calibration stage receives: a pointer at pixel p of the touch
// monitor (origin O, extent E) means the value (p - O) * 65536 / E on the
// 0..65535 scale. The target at pixel t wants (t - O) * 65536 / E out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pelvonctl_calibration.h"
#include "pelvonctl_parameters.h"

namespace pelvonctl {

struct PixelRect {
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
};

struct PixelPoint {
    double X = 0;
    double Y = 0;
};

// The monitor the touch screen is on: the multi-monitor mapping's monitor
// when the driver maps, else the primary display. The mapping's primary
// size is taken to be the primary display's, as the driver's mapping assumes.
PixelRect TouchMonitorRect(const DriverParameters& parameters, std::int32_t primaryWidth, std::int32_t primaryHeight);

constexpr std::size_t TargetCount = 5;
// The corner targets are set in from the monitor's edges by this share.
constexpr double TargetInset = 0.125;

// Top left, top right, bottom right, bottom left, then the centre.
std::array<PixelPoint, TargetCount> CalibrationTargets(const PixelRect& monitor);

double PixelToScreenValue(double pixel, std::int32_t origin, std::int32_t extent);
double ScreenValueToPixel(double value, std::int32_t origin, std::int32_t extent);

// A touch is a mis-touch when it lands further than this from where the
// other four touches put it, on either axis, in screen units (0..65535
// across the monitor): 5% of the monitor's width or height. A deliberate
// touch on a target is within about 1% (finger aim of a few millimetres,
// the controller's non-linearity, the pixel grid); one that slipped or hit
// a neighbouring target is off by a large part of the 75% between targets.
constexpr double MisTouchBound = 0.05 * 65536;

class ScreenCalibration {
public:
    enum class Stage {
        Capture,  // TargetIndex() is asked for
        Confirm,  // Result() is ready to be kept or not
        Unusable, // Problem() says why; nothing can be kept
    };

    ScreenCalibration(const PixelRect& monitor, Orientation orientation);

    Stage CurrentStage() const { return stage_; }
    std::size_t TargetIndex() const { return target_; }
    const std::array<PixelPoint, TargetCount>& Targets() const { return targets_; }
    const PixelRect& Monitor() const { return monitor_; }
    // Why the current target is asked again, or empty.
    const std::string& Notice() const { return notice_; }
    const std::string& Problem() const { return problem_; }

    // A touch lifted with the pointer at Pointer (the identity calibration
    // running). Moves to the next target, asks one again, or completes.
    void Touch(const PixelPoint& pointer);

    const CalibrationFit& Result() const { return fit_; }
    // Where a touch that puts the pointer at Pointer now lands once Result()
    // is sent, by the driver's own integer arithmetic.
    PixelPoint Lands(const PixelPoint& pointer) const;
    const std::optional<PixelPoint>& Touched(std::size_t index) const { return touches_[index]; }

    // The fitted calibration for pointer positions, least squares per axis;
    // throws std::invalid_argument when the touches cannot determine one.
    static CalibrationFit Fit(const PixelRect& monitor, Orientation orientation,
                              const std::vector<PixelPoint>& pointers, const std::vector<PixelPoint>& targets);

private:
    void Evaluate();
    CalibrationPoint PointFor(const PixelPoint& pointer, const PixelPoint& target) const;

    PixelRect monitor_;
    Orientation orientation_;
    std::array<PixelPoint, TargetCount> targets_;
    std::array<std::optional<PixelPoint>, TargetCount> touches_;
    Stage stage_ = Stage::Capture;
    std::size_t target_ = 0;
    std::string notice_;
    std::string problem_;
    CalibrationFit fit_;
};

// The raw controller position on raw axis Axis that gives the identity-
// calibrated screen values X and Y in this orientation: PipelineInput undone.
std::uint32_t RawFromIdentityValue(Axis axis, double x, double y, Orientation orientation);

} // namespace pelvonctl
