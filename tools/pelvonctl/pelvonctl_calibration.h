// Calibration from touched reference points, and the driver's own integer
// arithmetic for applying a calibration, so that what the tool fits is what
// the pointer will do.
//
// Units: the controller reports 12-bit positions (0..4095). The driver puts
// them in the top 12 bits of a 16-bit value (raw << 4) and, with the axes
// as-is (LTRB 1), calibrates X from that value of raw X and Y from raw Y;
// with the axes swapped (LTRB 0) X is calibrated from 0xFFFF - (rawY << 4)
// and Y from 0xFFFF - (rawX << 4). Screen positions are 0..65535 across the
// whole screen, the scale of absolute mouse reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelvonctl {

enum class Orientation { Swapped = 0, AsIs = 1 }; // the LTRB byte

enum class Axis { X, Y };

struct CalibrationPoint {
    std::uint32_t RawX;    // controller units, 0..4095
    std::uint32_t RawY;
    std::uint32_t ScreenX; // intended position, 0..65535
    std::uint32_t ScreenY;
};

// One axis of CALIBRATION_DATA: screen = +-(scale * input) + offset, with
// scale = ScaleInteger + ScaleFraction / 65536.
struct AxisCalibration {
    bool Invert = false;
    std::uint16_t ScaleInteger = 1;
    std::uint16_t ScaleFraction = 0;
    std::int32_t Offset = 0;
};

struct Calibration {
    AxisCalibration X;
    AxisCalibration Y;
};

// The 18 bytes of CALIBRATION_DATA.
std::vector<std::uint8_t> EncodeCalibrationData(const Calibration& calibration);

// The value the driver calibrates an axis from, for a 12-bit raw position.
std::uint32_t PipelineInput(Axis axis, std::uint32_t rawX, std::uint32_t rawY, Orientation orientation);

// The driver's calibration of one input value, clamped to 0..65535 but not
// yet filtered or quantised. X and Y differ in how they divide by 65536.
std::uint32_t DriverCalibrate(Axis axis, const AxisCalibration& calibration, std::uint32_t input);

struct AxisFitNote {
    // Controller positions (12-bit, of the raw axis feeding this axis) for
    // which the driver's 32-bit products wrap and the position comes out
    // wrong; First > Last when there are none.
    std::uint32_t First = 1;
    std::uint32_t Last = 0;
    bool Wraps() const { return First <= Last; }
};

struct CalibrationFit {
    Calibration Result;
    AxisFitNote NoteX;
    AxisFitNote NoteY;
};

// Least squares per axis over the points; throws std::invalid_argument with a
// message for the user when the points cannot determine a calibration.
CalibrationFit FitCalibration(const std::vector<CalibrationPoint>& points, Orientation orientation);

// Scale as a decimal, e.g. "1.250000".
std::string FormatScale(const AxisCalibration& axis);

} // namespace pelvonctl
