#include "touchsim_ctl.h"

#include "touchsim_session.h"

#include "pelvonctl_commands.h"
#include "touch_control.h"

#include <ostream>

bool SplitControlCommand(const std::string& Command, std::vector<std::string>& Words, std::string& Error)
{
    if (!pelvonctl::SplitWords(Command, Words)) {
        Error = "--ctl \"" + Command + "\": unmatched quote";
        return false;
    }
    return true;
}

namespace {

// A port opened with a name carries its line speed in the last four bytes.
bool CheckLineSpeeds(const pelvonctl::Plan& Plan, std::string& Error)
{
    for (const PelvonctlRequest& request : Plan.Requests) {
        if (request.Code != IOCTL_TOUCH_OPEN_PORT || request.Input.size() < 5) {
            continue;
        }
        const uint8_t* baud = request.Input.data() + request.Input.size() - 4;
        const uint32_t speed = baud[0] | baud[1] << 8 | baud[2] << 16 | static_cast<uint32_t>(baud[3]) << 24;
        if (!TouchsimLineSpeedValid(speed)) {
            Error = TouchsimLineSpeedProblem(speed);
            return false;
        }
    }
    return true;
}

} // namespace

bool CheckControlCommands(const std::vector<std::string>& Commands, std::string& Error)
{
    for (const std::string& command : Commands) {
        std::vector<std::string> words;
        if (!SplitControlCommand(command, words, Error)) {
            return false;
        }
        try {
            std::string problem;
            if (!CheckLineSpeeds(pelvonctl::PlanCommand(words), problem)) {
                Error = "--ctl \"" + command + "\": " + problem;
                return false;
            }
        } catch (const pelvonctl::UsageError& failure) {
            Error = "--ctl \"" + command + "\": " + failure.what();
            return false;
        }
    }
    return true;
}

namespace {

// Each reply's status is also left in LastStatus.
PelvonctlTransport SimulatorTransport(uint32_t& LastStatus)
{
    PelvonctlTransport transport;
    transport.Send = [&LastStatus](const PelvonctlRequest& Request) {
        const HkIoResult result = TouchsimControl(Request.Code, Request.Input, Request.OutputLength);
        LastStatus = static_cast<uint32_t>(result.Status);
        PelvonctlReply reply;
        reply.Kind = PelvonctlStatusKind::NtStatus;
        reply.Status = static_cast<std::uint32_t>(result.Status);
        reply.Information = static_cast<std::uint32_t>(result.Information);
        reply.Output = result.Output;
        if (reply.Output.size() > reply.Information) {
            reply.Output.resize(reply.Information);
        }
        return reply;
    };
    return transport;
}

} // namespace

int RunControlCommands(const std::vector<std::string>& Commands, std::ostream& Out, std::ostream& Err,
                       std::string& Error)
{
    uint32_t lastStatus = 0;
    PelvonctlTransport transport = SimulatorTransport(lastStatus);
    for (const std::string& command : Commands) {
        std::vector<std::string> words;
        if (!SplitControlCommand(command, words, Error)) {
            return TouchsimBadInput;
        }
        const int code = RunPelvonctl(words, transport, Out, Err);
        if (code == PelvonctlExitOutputFailed) {
            Error = "--ctl \"" + command + "\": what it printed could not be written";
            return TouchsimOutputFailed;
        }
        if (code != PelvonctlExitSuccess) {
            Error = "--ctl \"" + command + "\" failed (exit code " + std::to_string(code) + ")";
            return TouchsimBadInput;
        }
    }
    return TouchsimOk;
}

bool CheckLineCommand(const PeerLineEvent& Event, std::string& Error)
{
    if (Event.Type != PeerLineEvent::Kind::Command) {
        return true;
    }
    const std::string where = "[ctl " + Event.Command + "]: ";
    std::vector<std::string> words;
    std::string ignored;
    SplitControlCommand(Event.Command, words, ignored); // quotes are balanced once the ']' was found
    try {
        const pelvonctl::Plan plan = pelvonctl::PlanCommand(words);
        // Its line reports a request's status, so there must be one.
        if (plan.Help || plan.DryRun || plan.Requests.empty()) {
            Error = where + "sends no request to the driver";
            return false;
        }
        std::string problem;
        if (!CheckLineSpeeds(plan, problem)) {
            Error = where + problem;
            return false;
        }
    } catch (const pelvonctl::UsageError& failure) {
        Error = where + failure.what();
        return false;
    }
    return true;
}

bool CheckLineCommands(const std::vector<PeerLineEvent>& Events, std::string& Error)
{
    for (const PeerLineEvent& event : Events) {
        if (!CheckLineCommand(event, Error)) {
            Error = "line " + std::to_string(event.Line) + ": " + Error;
            return false;
        }
    }
    return true;
}

uint32_t RunLineCommand(const std::string& Command, std::ostream& Out, std::ostream& Err)
{
    uint32_t lastStatus = 0;
    PelvonctlTransport transport = SimulatorTransport(lastStatus);
    std::vector<std::string> words;
    std::string ignored;
    SplitControlCommand(Command, words, ignored);
    RunPelvonctl(words, transport, Out, Err);
    return lastStatus;
}
