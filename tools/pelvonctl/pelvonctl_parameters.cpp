#include "pelvonctl_parameters.h"

#include <algorithm>
#include <map>

#include "touch_control.h"

namespace pelvonctl {

namespace {

// The driver reads "Calibration" and "Beep" through fixed buffers that hold
// 18 and 9 data bytes; a longer value does not fit and is ignored whole.
constexpr std::size_t CalibrationRoom = CALIBRATION_DATA_LENGTH;
constexpr std::size_t BeepRoom = 9;
// "PortName" lands in a buffer of 256 characters, its NUL included.
constexpr std::size_t PortNameRoomBytes = 512;

std::uint32_t Le(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t count)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; i++) {
        value |= static_cast<std::uint32_t>(offset + i < bytes.size() ? bytes[offset + i] : 0) << (8 * i);
    }
    return value;
}

bool IsStringType(std::uint32_t type)
{
    return type == PelvonctlRegSz || type == PelvonctlRegExpandSz || type == PelvonctlRegMultiSz;
}

struct Values {
    const PelvonctlRegistry& Registry;
    std::map<std::string, PelvonctlRegistryRead> Cache;

    const PelvonctlRegistryRead& Get(const std::string& name)
    {
        auto it = Cache.find(name);
        if (it == Cache.end()) {
            PelvonctlRegistryRead read = Registry.Read ? Registry.Read(name) : PelvonctlRegistryRead{};
            if (!Registry.Read) {
                read.Error = PelvonctlErrorNotSupported;
                read.Reason = "no registry here";
            }
            if (read.State == PelvonctlRegistryState::Failed) {
                throw RegistryFailure("cannot read " + name + " under " + PelvonctlParametersKeyName + ": " +
                                      read.Reason);
            }
            it = Cache.emplace(name, std::move(read)).first;
        }
        return it->second;
    }
};

// The binary values read by size alone, whatever their type.
bool ReadSized(Values& values, DriverParameters& p, const std::string& name, std::size_t room,
               std::vector<std::uint8_t>& bytes)
{
    const PelvonctlRegistryRead& read = values.Get(name);
    if (read.State != PelvonctlRegistryState::Present) {
        p.Notes.push_back({name, ValueUse::Absent, ""});
        return false;
    }
    if (read.Value.Data.size() > room) {
        p.Notes.push_back({name, ValueUse::Ignored,
                           std::to_string(read.Value.Data.size()) + " bytes, more than the " + std::to_string(room) +
                               " the driver reads"});
        return false;
    }
    bytes = read.Value.Data;
    p.Notes.push_back({name, ValueUse::Taken, ""});
    return true;
}

std::string NarrowUtf16(const std::vector<std::uint8_t>& data)
{
    std::string text;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        const std::uint32_t c = Le(data, i, 2);
        if (c == 0) {
            break;
        }
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

// One value of the driver's table into a destination of `room` bytes that
// holds its default; false when the table's reading ends here.
bool ReadTableValue(Values& values, DriverParameters& p, const std::string& name, std::size_t room,
                    std::vector<std::uint8_t>& destination)
{
    const PelvonctlRegistryRead& read = values.Get(name);
    if (read.State != PelvonctlRegistryState::Present) {
        p.Notes.push_back({name, ValueUse::Absent, ""});
        return true;
    }
    const PelvonctlRegistryValue& v = read.Value;
    if (IsStringType(v.Type)) {
        p.Notes.push_back({name, ValueUse::Ignored, "a string where the driver wants a number or bytes"});
        return true;
    }
    if (v.Data.size() > room) {
        p.Notes.push_back({name, ValueUse::Ignored,
                           std::to_string(v.Data.size()) + " bytes, more than its " + std::to_string(room)});
        return true;
    }
    std::copy(v.Data.begin(), v.Data.end(), destination.begin());
    p.Notes.push_back({name, ValueUse::Taken, ""});
    return true;
}

// "PortName": false when it ends the driver's reading of the table.
bool ReadPortName(Values& values, DriverParameters& p)
{
    const PelvonctlRegistryRead& read = values.Get("PortName");
    if (read.State != PelvonctlRegistryState::Present) {
        p.Notes.push_back({"PortName", ValueUse::Absent, ""});
        return true;
    }
    const PelvonctlRegistryValue& v = read.Value;
    if (v.Type != PelvonctlRegSz && v.Type != PelvonctlRegExpandSz) {
        p.Notes.push_back({"PortName", ValueUse::Ignored, "not a string"});
        return true;
    }
    if (v.Data.size() > PortNameRoomBytes) {
        p.Notes.push_back({"PortName", ValueUse::Ignored,
                           "longer than 255 characters, which also ends the driver's reading of the values after it"});
        return false;
    }
    p.PortName = NarrowUtf16(v.Data);
    p.Notes.push_back({"PortName", ValueUse::Taken, ""});
    return true;
}

struct TableDword {
    const char* Name;
    std::uint32_t AbsentDefault;
};

// Read in the driver's order, after PortName, BaudRate and Filter.
const TableDword TableDwords[] = {
    {"MultiMonitor", 1},         {"TouchMonitorOx", 0},         {"TouchMonitorOy", 0},
    {"TouchMonitorWidth", 1024}, {"TouchMonitorHeight", 768},   {"PrimaryMonitorWidth", 1024},
    {"PrimaryMonitorHeight", 768}, {"LTRB", 1},                 {"ButtonMode", 1},
};

std::vector<std::uint8_t> LeBytes(std::uint32_t value, std::size_t count)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; i++) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

void ApplyTableDwords(DriverParameters& p, const std::vector<std::vector<std::uint8_t>>& d)
{
    p.MultiMonitor = static_cast<std::uint8_t>(Le(d[0], 0, 1));
    p.Monitor.OriginX = static_cast<std::int32_t>(Le(d[1], 0, 4));
    p.Monitor.OriginY = static_cast<std::int32_t>(Le(d[2], 0, 4));
    p.Monitor.Width = static_cast<std::int32_t>(Le(d[3], 0, 4));
    p.Monitor.Height = static_cast<std::int32_t>(Le(d[4], 0, 4));
    p.Monitor.PrimaryWidth = static_cast<std::int32_t>(Le(d[5], 0, 4));
    p.Monitor.PrimaryHeight = static_cast<std::int32_t>(Le(d[6], 0, 4));
    p.Ltrb = static_cast<std::uint8_t>(Le(d[7], 0, 1));
    p.ButtonMode = static_cast<std::uint8_t>(Le(d[8], 0, 1));
}

// PortName, BaudRate, Filter and the DWORDs: the driver's one table query,
// whose staged values count only when the whole table was read.
void ReadTable(Values& values, DriverParameters& p)
{
    const bool portRead = ReadPortName(values, p);
    std::vector<std::string> unread = {"BaudRate", "Filter"};
    for (const TableDword& d : TableDwords) {
        unread.push_back(d.Name);
    }
    if (!portRead) {
        for (const std::string& name : unread) {
            p.Notes.push_back({name, ValueUse::Unread, "PortName ended the reading before it"});
        }
        return;
    }
    std::vector<std::uint8_t> baud = LeBytes(p.BaudRate, 4);
    const bool baudAbsent = values.Get("BaudRate").State != PelvonctlRegistryState::Present;
    ReadTableValue(values, p, "BaudRate", 4, baud);
    p.BaudRate = baudAbsent ? 19200 : Le(baud, 0, 4);
    std::vector<std::uint8_t> filter = {0x00, 0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00};
    ReadTableValue(values, p, "Filter", FILTER_DATA_LENGTH, filter);
    std::vector<std::vector<std::uint8_t>> dwords;
    for (const TableDword& d : TableDwords) {
        dwords.push_back(LeBytes(d.AbsentDefault, 4));
        ReadTableValue(values, p, d.Name, 4, dwords.back());
    }
    p.FilterCurrent = static_cast<std::uint16_t>(Le(filter, 0, 2));
    p.FilterPreviousInput = static_cast<std::uint16_t>(Le(filter, 2, 2));
    p.FilterPreviousOutput = Le(filter, 4, 4);
    ApplyTableDwords(p, dwords);
}

} // namespace

const ValueNote* DriverParameters::Note(const std::string& name) const
{
    for (const ValueNote& note : Notes) {
        if (note.Name == name) {
            return &note;
        }
    }
    return nullptr;
}

Calibration DecodeCalibrationData(const std::vector<std::uint8_t>& b)
{
    Calibration c;
    c.X.Invert = Le(b, 0, 1) == 1;
    c.Y.Invert = Le(b, 1, 1) == 1;
    c.X.ScaleInteger = static_cast<std::uint16_t>(Le(b, 2, 2));
    c.X.ScaleFraction = static_cast<std::uint16_t>(Le(b, 4, 2));
    c.X.Offset = static_cast<std::int32_t>(Le(b, 6, 4));
    c.Y.ScaleInteger = static_cast<std::uint16_t>(Le(b, 10, 2));
    c.Y.ScaleFraction = static_cast<std::uint16_t>(Le(b, 12, 2));
    c.Y.Offset = static_cast<std::int32_t>(Le(b, 14, 4));
    return c;
}

DriverParameters ReadDriverParameters(const PelvonctlRegistry& registry)
{
    Values values{registry, {}};
    DriverParameters p;
    const PelvonctlRegistryState state = values.Get("Calibration").State;
    p.KeyPresent = state != PelvonctlRegistryState::KeyAbsent && state != PelvonctlRegistryState::ServiceAbsent;
    if (!p.KeyPresent) {
        const char* why = state == PelvonctlRegistryState::KeyAbsent ? "the service has no Parameters key"
                                                                     : "the pelvon service is not installed";
        for (const char* name : {"Calibration", "Beep", "PortName", "BaudRate", "Filter"}) {
            p.Notes.push_back({name, ValueUse::Unread, why});
        }
        for (const TableDword& d : TableDwords) {
            p.Notes.push_back({d.Name, ValueUse::Unread, why});
        }
        return p;
    }
    std::vector<std::uint8_t> bytes;
    if (ReadSized(values, p, "Calibration", CalibrationRoom, bytes)) {
        p.CalibrationValue = DecodeCalibrationData(bytes);
    }
    if (ReadSized(values, p, "Beep", BeepRoom, bytes)) {
        p.BeepEnabled = static_cast<std::uint8_t>(Le(bytes, 0, 1));
        p.BeepDivisor = static_cast<std::uint16_t>(Le(bytes, 1, 2));
        p.BeepDurationMs = Le(bytes, 3, 4);
    }
    ReadTable(values, p);
    return p;
}

std::vector<std::uint8_t> EncodeBeepData(const DriverParameters& p)
{
    std::vector<std::uint8_t> bytes = {p.BeepEnabled};
    for (const std::uint8_t b : LeBytes(p.BeepDivisor, 2)) {
        bytes.push_back(b);
    }
    for (const std::uint8_t b : LeBytes(p.BeepDurationMs, 4)) {
        bytes.push_back(b);
    }
    return bytes;
}

} // namespace pelvonctl
