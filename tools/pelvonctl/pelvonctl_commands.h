// pelvonctl: the configuration tool of the touch driver, platform-free.
//
// A command line becomes zero or more control requests; a transport carries
// each request to the driver and brings back its reply. The Win32 program
// sends through DeviceIoControl on \\.\pelvon, the simulator through its own
// stand-in of the kernel, tests through a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

// One device control request: the code, the input bytes, and how many output
// bytes the caller offers (OutputBufferLength).
struct PelvonctlRequest {
    std::uint32_t Code = 0;
    std::vector<std::uint8_t> Input;
    std::uint32_t OutputLength = 0;
};

// What the request's completion says. A transport that sees the driver's
// NTSTATUS reports it as such; a Win32 caller only sees the mapped error.
enum class PelvonctlStatusKind { NtStatus, Win32Error };

struct PelvonctlReply {
    PelvonctlStatusKind Kind = PelvonctlStatusKind::NtStatus;
    std::uint32_t Status = 0;        // NTSTATUS, or Win32 error code (0 = success)
    std::uint32_t Information = 0;   // IoStatus.Information / bytes returned
    std::vector<std::uint8_t> Output; // the first Information bytes of the output
    // Non-empty when the request never reached the driver (the device could
    // not be opened, no simulator...): says what failed. Kind and Status then
    // describe that failure.
    std::string Unreachable;
};

struct PelvonctlTransport {
    std::function<PelvonctlReply(const PelvonctlRequest&)> Send;
};

// Exit codes of RunPelvonctl; 4 as touchsim has it.
constexpr int PelvonctlExitSuccess = 0;
constexpr int PelvonctlExitRequestFailed = 1;
constexpr int PelvonctlExitUsage = 2;
constexpr int PelvonctlExitOutputFailed = 4;

// Runs one command line (without the program name). Results go to `out`,
// errors to `err`; both are flushed at the end. Returns one of the exit
// codes above: PelvonctlExitOutputFailed when a write to either failed,
// whatever else happened (requests may have been sent).
int RunPelvonctl(const std::vector<std::string>& args, PelvonctlTransport& transport, std::ostream& out,
                 std::ostream& err);

// Ends a run: flushes both streams and turns output that did not arrive
// into PelvonctlExitOutputFailed, with the reason on err when it can go there.
int FinishPelvonctl(int code, std::ostream& out, std::ostream& err);

namespace pelvonctl {

// A bad command line; the message names the bad argument.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ReplyFormat { Plain, Info };

struct Plan {
    std::string Command;
    std::vector<PelvonctlRequest> Requests;
    ReplyFormat Format = ReplyFormat::Plain;
    std::string Report;        // printed before anything is sent (calibrate-points' result)
    std::string Warnings;      // printed to the error stream, one line each
    std::string SuccessMessage;
    std::string PortName;      // for hints when a port cannot be found
    bool DryRun = false;
    bool Help = false;
};

// Throws UsageError for a bad command line.
Plan PlanCommand(const std::vector<std::string>& args);

// Splits one command line into words as a shell would in simple cases:
// white space separates words, single or double quotes group them. Returns
// false on an unmatched quote (Words then holds what came before it).
bool SplitWords(const std::string& line, std::vector<std::string>& Words);

std::string HelpText();

// "IOCTL_TOUCH_SET_PORT", or "control code 0x..." for a code the driver lacks.
std::string ControlCodeName(std::uint32_t code);

// "IOCTL_TOUCH_OPEN_PORT (0x001A2018) in 9: 04 43 4F 4D 31 00 4B 00 00, out 0"
std::string FormatRequest(const PelvonctlRequest& request);

std::string HexBytes(const std::vector<std::uint8_t>& bytes);

// The two identification replies as a person reads them.
std::string FormatInfo(const PelvonctlReply& controllerInfo, const PelvonctlReply& driverInfo);

// The status of a failed reply: name, value and the other side of the map.
std::string DescribeReplyStatus(const PelvonctlReply& reply);

bool ReplySucceeded(const PelvonctlReply& reply);

} // namespace pelvonctl
