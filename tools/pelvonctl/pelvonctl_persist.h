// Settings that outlast a restart of the device: `--persist` writes what a
// command sends into the service's Parameters key, as the values the driver
// reads when its device starts; `show` prints what that key holds.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "pelvonctl_commands.h"
#include "pelvonctl_registry.h"

// RunPelvonctl with a registry: also `show` and `--persist`. Values are
// written only after the driver accepted every request of the command; with
// --dry-run they are printed instead. Exit codes as RunPelvonctl's; a
// registry that cannot be read or written ends with 1.
int RunPelvonctl(const std::vector<std::string>& args, PelvonctlTransport& transport,
                 const PelvonctlRegistry& registry, std::ostream& out, std::ostream& err);

// A program's whole run on std::cout and std::cerr, their write errors
// recorded so that a lost output ends with its exit code and reason.
int RunPelvonctlOnStandardStreams(const std::vector<std::string>& args, PelvonctlTransport& transport,
                                  const PelvonctlRegistry& registry);

namespace pelvonctl {

struct RegistryWrite {
    std::string Name;
    PelvonctlRegistryValue Value;
};

// The values --persist writes for a planned command, in order. "Beep" is
// read, changed and written whole. Throws UsageError when the command sets
// nothing the driver reads at start, RegistryFailure when "Beep" cannot be
// read.
std::vector<RegistryWrite> PersistedWrites(const Plan& plan, const PelvonctlRegistry& registry);

// "Calibration (REG_BINARY, 18 bytes): 00 00 01 ..."
std::string DescribeWrite(const RegistryWrite& write);

} // namespace pelvonctl
