#include "pelvonctl_persist.h"

#include <algorithm>
#include <iostream>
#include <ostream>

#include "pelvonctl_output.h"
#include "pelvonctl_parameters.h"
#include "touch_control.h"

namespace pelvonctl {

namespace {

// A "PortName" of 256 characters no longer fits the driver's buffer with
// its NUL, and ends its reading of every value after it.
constexpr std::size_t MaxPersistedPortName = 255;

PelvonctlRegistryValue Dword(std::uint32_t value)
{
    PelvonctlRegistryValue v{PelvonctlRegDword, {}};
    for (int i = 0; i < 4; i++) {
        v.Data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return v;
}

std::uint32_t InputDword(const PelvonctlRequest& r, std::size_t offset)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && offset + i < r.Input.size(); i++) {
        value |= static_cast<std::uint32_t>(r.Input[offset + i]) << (8 * i);
    }
    return value;
}

PelvonctlRegistryValue PortNameValue(const std::string& name)
{
    if (name.size() > MaxPersistedPortName) {
        throw UsageError("a PortName of " + std::to_string(name.size()) +
                         " characters would end the driver's reading of the registry at start; --persist takes at "
                         "most 255");
    }
    PelvonctlRegistryValue v{PelvonctlRegSz, {}};
    for (const char c : name) {
        v.Data.push_back(static_cast<std::uint8_t>(c));
        v.Data.push_back(0);
    }
    v.Data.push_back(0);
    v.Data.push_back(0);
    return v;
}

void AddPortWrites(const PelvonctlRequest& r, std::vector<RegistryWrite>& writes)
{
    if (r.Code == IOCTL_TOUCH_SET_PORT) {
        writes.push_back({"PortName", PortNameValue(std::string(r.Input.begin(), r.Input.end()))});
        return;
    }
    if (r.Input.empty()) {
        return; // the port the registry names already
    }
    const std::size_t length = r.Input[PORT_SETTINGS_NAME_LENGTH_OFFSET];
    const auto name = r.Input.begin() + PORT_SETTINGS_NAME_OFFSET;
    writes.push_back({"PortName", PortNameValue(std::string(name, name + static_cast<std::ptrdiff_t>(length)))});
    writes.push_back({"BaudRate", Dword(InputDword(r, PORT_SETTINGS_BAUD_OFFSET(length)))});
}

void AddMonitorWrites(const PelvonctlRequest& r, std::vector<RegistryWrite>& writes)
{
    static const char* const names[6] = {"TouchMonitorOx",      "TouchMonitorOy",     "TouchMonitorWidth",
                                         "TouchMonitorHeight", "PrimaryMonitorWidth", "PrimaryMonitorHeight"};
    for (std::size_t i = 0; i < 6; i++) {
        writes.push_back({names[i], Dword(InputDword(r, 4 * i))});
    }
    writes.push_back({"MultiMonitor", Dword(1)});
}

// The click's switch and its tone share "Beep": the rest of it is kept as
// the driver would read it now.
RegistryWrite BeepWrite(const PelvonctlRequest& r, const PelvonctlRegistry& registry)
{
    std::vector<std::uint8_t> beep = EncodeBeepData(ReadDriverParameters(registry));
    if (r.Code == IOCTL_TOUCH_SET_BEEP_ENABLE) {
        beep[0] = r.Input.at(0);
    } else {
        std::copy(r.Input.begin(), r.Input.begin() + BEEP_TONE_DATA_LENGTH, beep.begin() + 1);
    }
    return {"Beep", {PelvonctlRegBinary, beep}};
}

void AddWrites(const PelvonctlRequest& r, const PelvonctlRegistry& registry, std::vector<RegistryWrite>& writes)
{
    switch (r.Code) {
    case IOCTL_TOUCH_SET_CALIBRATION: writes.push_back({"Calibration", {PelvonctlRegBinary, r.Input}}); break;
    case IOCTL_TOUCH_RESET_CALIBRATION:
        writes.push_back({"Calibration", {PelvonctlRegBinary, EncodeCalibrationData(Calibration{})}});
        break;
    case IOCTL_TOUCH_SET_FILTER: writes.push_back({"Filter", {PelvonctlRegBinary, r.Input}}); break;
    case IOCTL_TOUCH_SET_BEEP_ENABLE:
    case IOCTL_TOUCH_SET_BEEP_TONE: writes.push_back(BeepWrite(r, registry)); break;
    case IOCTL_TOUCH_SET_BUTTON_MODE: writes.push_back({"ButtonMode", Dword(r.Input.at(0))}); break;
    case IOCTL_TOUCH_SET_LTRB: writes.push_back({"LTRB", Dword(r.Input.at(0))}); break;
    case IOCTL_TOUCH_SET_MULTI_MONITOR: AddMonitorWrites(r, writes); break;
    case IOCTL_TOUCH_CLEAR_MULTI_MONITOR: writes.push_back({"MultiMonitor", Dword(0)}); break;
    case IOCTL_TOUCH_OPEN_PORT:
    case IOCTL_TOUCH_SET_PORT: AddPortWrites(r, writes); break;
    default: break; // closing the port, the range, identification: nothing the driver reads at start
    }
}

std::string TypeName(std::uint32_t type)
{
    switch (type) {
    case PelvonctlRegSz: return "REG_SZ";
    case PelvonctlRegBinary: return "REG_BINARY";
    case PelvonctlRegDword: return "REG_DWORD";
    default: return "type " + std::to_string(type);
    }
}

} // namespace

std::vector<RegistryWrite> PersistedWrites(const Plan& plan, const PelvonctlRegistry& registry)
{
    std::vector<RegistryWrite> writes;
    for (const PelvonctlRequest& request : plan.Requests) {
        AddWrites(request, registry, writes);
    }
    if (writes.empty()) {
        if (plan.Command == "calibrate-points") {
            throw UsageError("--persist writes what is sent: add --send to calibrate-points");
        }
        if (plan.Command == "open-port") {
            throw UsageError("open-port without a name opens the port the registry names already; nothing to persist");
        }
        throw UsageError(plan.Command + " sets nothing the driver reads when it starts; --persist does not apply");
    }
    return writes;
}

std::string DescribeWrite(const RegistryWrite& write)
{
    std::string text = write.Name + " (" + TypeName(write.Value.Type) + ", " + std::to_string(write.Value.Data.size()) +
                       " bytes): ";
    if (write.Value.Type == PelvonctlRegDword && write.Value.Data.size() == 4) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; i--) {
            value = (value << 8) | write.Value.Data[static_cast<std::size_t>(i)];
        }
        return text + std::to_string(value);
    }
    if (write.Value.Type == PelvonctlRegSz) {
        std::string narrow;
        for (std::size_t i = 0; i + 1 < write.Value.Data.size() && write.Value.Data[i] != 0; i += 2) {
            narrow += static_cast<char>(write.Value.Data[i]);
        }
        return text + "\"" + narrow + "\"";
    }
    return text + HexBytes(write.Value.Data);
}

} // namespace pelvonctl

namespace {

using namespace pelvonctl;

struct PersistArgs {
    std::vector<std::string> Rest; // without --persist
    bool Persist = false;
    bool DryRun = false;
    bool Show = false;
};

PersistArgs SplitPersist(const std::vector<std::string>& args)
{
    PersistArgs split;
    bool commandSeen = false;
    for (const std::string& arg : args) {
        if (arg == "--persist") {
            split.Persist = true;
            continue;
        }
        split.Rest.push_back(arg);
        if (arg == "--dry-run") {
            split.DryRun = true;
        } else if (!commandSeen && arg != "--help" && arg != "-h") {
            commandSeen = true;
            split.Show = arg == "show";
        }
    }
    return split;
}

int UsageFailure(std::ostream& err, const std::string& message)
{
    err << "pelvonctl: " << message << "\nRun 'pelvonctl --help' for the commands and their units.\n";
    return PelvonctlExitUsage;
}

int RunShow(const PersistArgs& args, const PelvonctlRegistry& registry, std::ostream& out, std::ostream& err)
{
    if (args.Persist) {
        return UsageFailure(err, "show reads the registry; --persist does not apply");
    }
    const auto show = std::find(args.Rest.begin(), args.Rest.end(), "show");
    if (show + 1 != args.Rest.end()) {
        return UsageFailure(err, "unexpected argument '" + *(show + 1) + "' for show (usage: show)");
    }
    try {
        out << FormatDriverParameters(ReadDriverParameters(registry));
        return PelvonctlExitSuccess;
    } catch (const RegistryFailure& failure) {
        err << "pelvonctl: " << failure.what() << "\n";
        return PelvonctlExitRequestFailed;
    }
}

int WriteAll(const std::vector<RegistryWrite>& writes, const PelvonctlRegistry& registry, std::ostream& out,
             std::ostream& err)
{
    std::string written;
    for (const RegistryWrite& write : writes) {
        const PelvonctlRegistryWrite result =
            registry.Write ? registry.Write(write.Name, write.Value)
                           : PelvonctlRegistryWrite{PelvonctlErrorNotSupported, "no registry here"};
        if (!result.Ok()) {
            err << "pelvonctl: the driver took the setting, but " << write.Name << " could not be written under "
                << PelvonctlParametersKeyName << ": " << result.Reason
                << (written.empty() ? "" : " (written before it: " + written + ")") << "\n";
            return PelvonctlExitRequestFailed;
        }
        written += (written.empty() ? "" : ", ") + write.Name;
    }
    out << "saved under " << PelvonctlParametersKeyName << ": " << written << "\n";
    return PelvonctlExitSuccess;
}

int RunPersisted(const PersistArgs& args, PelvonctlTransport& transport, const PelvonctlRegistry& registry,
                 std::ostream& out, std::ostream& err)
{
    Plan plan;
    try {
        plan = PlanCommand(args.Rest);
    } catch (const UsageError&) {
        return RunPelvonctl(args.Rest, transport, out, err); // which names the bad argument
    }
    if (plan.Help) {
        return RunPelvonctl(args.Rest, transport, out, err);
    }
    std::vector<RegistryWrite> writes;
    try {
        writes = PersistedWrites(plan, registry);
    } catch (const UsageError& failure) {
        return UsageFailure(err, failure.what());
    } catch (const RegistryFailure& failure) {
        err << "pelvonctl: " << failure.what() << "; nothing was sent\n";
        return PelvonctlExitRequestFailed;
    }
    if (!args.DryRun) {
        // Checked first, so that a setting is never applied when it cannot be kept.
        const PelvonctlRegistryWrite check = registry.CheckWritable
                                                 ? registry.CheckWritable()
                                                 : PelvonctlRegistryWrite{PelvonctlErrorNotSupported, "no registry here"};
        if (!check.Ok()) {
            err << "pelvonctl: cannot write under " << PelvonctlParametersKeyName << ": " << check.Reason
                << "; nothing was sent\n";
            return PelvonctlExitRequestFailed;
        }
    }
    const int code = RunPelvonctl(args.Rest, transport, out, err);
    if (code != PelvonctlExitSuccess) {
        return code;
    }
    if (args.DryRun) {
        for (const RegistryWrite& write : writes) {
            out << "would write under " << PelvonctlParametersKeyName << ": " << DescribeWrite(write) << "\n";
        }
        return PelvonctlExitSuccess;
    }
    return WriteAll(writes, registry, out, err);
}

} // namespace

int RunPelvonctl(const std::vector<std::string>& args, PelvonctlTransport& transport,
                 const PelvonctlRegistry& registry, std::ostream& out, std::ostream& err)
{
    const PersistArgs split = SplitPersist(args);
    int code = PelvonctlExitSuccess;
    if (split.Show) {
        code = RunShow(split, registry, out, err);
    } else if (split.Persist) {
        code = RunPersisted(split, transport, registry, out, err);
    } else {
        return RunPelvonctl(args, transport, out, err);
    }
    return FinishPelvonctl(code, out, err);
}

int RunPelvonctlOnStandardStreams(const std::vector<std::string>& args, PelvonctlTransport& transport,
                                  const PelvonctlRegistry& registry)
{
    ErrnoRecordingBuffer out(std::cout.rdbuf());
    ErrnoRecordingBuffer err(std::cerr.rdbuf());
    std::streambuf* const standardOut = std::cout.rdbuf(&out);
    std::streambuf* const standardErr = std::cerr.rdbuf(&err);
    const int code = RunPelvonctl(args, transport, registry, std::cout, std::cerr);
    std::cout.rdbuf(standardOut);
    std::cerr.rdbuf(standardErr);
    return code;
}
