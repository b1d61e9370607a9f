// The service's Parameters values as the driver reads them when its device
// starts: which values it takes, which it ignores and what it uses then,
// so that `pelvonctl show` and pelvoncal see the settings the driver will
// run with, not merely the bytes the registry holds.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pelvonctl_calibration.h"
#include "pelvonctl_registry.h"

namespace pelvonctl {

// The registry could not be read (not: a value or the key is absent).
class RegistryFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ValueUse {
    Taken,   // the driver reads this value
    Absent,  // not there: the driver uses its default for an absent value
    Ignored, // there, but the driver leaves it out (Why says why) and uses that default
    Unread,  // not reached: no Parameters key, or an earlier value ended the reading
};

struct ValueNote {
    std::string Name;
    ValueUse Use = ValueUse::Absent;
    std::string Why; // for Ignored and Unread
};

struct MonitorMap {
    std::int32_t OriginX = 0;
    std::int32_t OriginY = 0;
    std::int32_t Width = 1024;
    std::int32_t Height = 768;
    std::int32_t PrimaryWidth = 1024;
    std::int32_t PrimaryHeight = 768;
};

// What the driver starts with; the defaults are those of a device whose
// service has no Parameters key.
struct DriverParameters {
    bool KeyPresent = false;
    std::string PortName;
    std::uint32_t BaudRate = 0;
    Calibration CalibrationValue;
    std::uint16_t FilterCurrent = 0x8000;
    std::uint16_t FilterPreviousInput = 0x8000;
    std::uint32_t FilterPreviousOutput = 0;
    std::uint8_t BeepEnabled = 0;
    std::uint16_t BeepDivisor = 1;
    std::uint32_t BeepDurationMs = 1;
    std::uint8_t MultiMonitor = 0;
    MonitorMap Monitor;
    std::uint8_t Ltrb = 0;
    std::uint8_t ButtonMode = 1;
    std::vector<ValueNote> Notes; // one per value the driver looks for, in its reading order

    const ValueNote* Note(const std::string& name) const;
};

// Throws RegistryFailure when a value cannot be read for another reason
// than its absence, with the registry's reason.
DriverParameters ReadDriverParameters(const PelvonctlRegistry& registry);

// The 7 bytes of BEEP_DATA the driver would start with.
std::vector<std::uint8_t> EncodeBeepData(const DriverParameters& parameters);

// What `pelvonctl show` prints.
std::string FormatDriverParameters(const DriverParameters& parameters);

// Calibration decoded from CALIBRATION_DATA bytes (missing bytes as zero).
Calibration DecodeCalibrationData(const std::vector<std::uint8_t>& bytes);

} // namespace pelvonctl
