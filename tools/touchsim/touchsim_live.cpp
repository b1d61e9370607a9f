#include "touchsim_live.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t StopRequested = 0;

void RequestStop(int)
{
    StopRequested = 1;
}

// Installs the stop handlers for the life of the live loop only, without
// SA_RESTART so a blocking poll returns at once.
class StopSignals {
public:
    StopSignals()
    {
        StopRequested = 0;
        struct sigaction action{};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~StopSignals()
    {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
    }

private:
    struct sigaction previousInt_{};
    struct sigaction previousTerm_{};
};

std::optional<speed_t> TermiosSpeed(unsigned long LineSpeed)
{
    static const std::pair<unsigned long, speed_t> speeds[] = {
        {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
        {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
        {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& [rate, speed] : speeds) {
        if (rate == LineSpeed) {
            return speed;
        }
    }
    return std::nullopt;
}

// Virtual time follows real time: 100-ns units since the line was opened.
int64_t Elapsed(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - Start).count() /
           100;
}

} // namespace

TouchsimSerialLine::~TouchsimSerialLine()
{
    if (Fd_ >= 0) {
        close(Fd_);
    }
}

bool TouchsimSerialLine::Open(const std::string& Path, std::string& Error)
{
    Path_ = Path;
    Fd_ = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd_ < 0) {
        Error = Path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    if (!isatty(Fd_)) {
        Error = Path + ": not a serial line (not a terminal device)";
        return false;
    }
    return true;
}

bool TouchsimSerialLine::Configure(unsigned long LineSpeed, std::string& Error)
{
    const std::optional<speed_t> speed = TermiosSpeed(LineSpeed);
    if (!speed) {
        Error = Path_ + ": the driver set " + std::to_string(LineSpeed) + " baud, which the line cannot run at";
        return false;
    }
    termios mode{};
    if (tcgetattr(Fd_, &mode) != 0) {
        Error = Path_ + ": cannot read the line settings: " + std::strerror(errno);
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    mode.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    cfsetispeed(&mode, *speed);
    cfsetospeed(&mode, *speed);
    if (tcsetattr(Fd_, TCSANOW, &mode) != 0) {
        Error = Path_ + ": cannot set the line to " + std::to_string(LineSpeed) + " baud: " + std::strerror(errno);
        return false;
    }
    return true;
}

int RunLiveSession(TouchsimSession& Session, TouchsimSerialLine& Line, std::optional<long> IdleLimitMs,
                   std::ostream& Out, std::string& Error)
{
    StopSignals signals;
    const auto start = std::chrono::steady_clock::now();
    auto lastByte = start;
    const int64_t unitsPerMs = 10000;
    int result = TouchsimOk;

    while (!StopRequested) {
        // Wake for the next timer, the idle limit, or at least every 100 ms.
        int64_t waitMs = 100;
        if (const std::optional<int64_t> due = HkNextTimerDue()) {
            waitMs = std::min<int64_t>(waitMs, std::max<int64_t>(0, (*due - Elapsed(start) + unitsPerMs - 1) / unitsPerMs));
        }
        if (IdleLimitMs) {
            const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                    lastByte).count();
            if (idle >= *IdleLimitMs) {
                break;
            }
            waitMs = std::min<int64_t>(waitMs, *IdleLimitMs - idle);
        }
        pollfd line{Line.Descriptor(), POLLIN, 0};
        const int ready = poll(&line, 1, static_cast<int>(waitMs));
        if (ready < 0 && errno != EINTR) {
            Error = std::string("waiting for the line failed: ") + std::strerror(errno);
            result = TouchsimSetupFailed;
            break;
        }
        bool closed = false;
        if (ready > 0) {
            uint8_t bytes[256];
            const ssize_t count = read(Line.Descriptor(), bytes, sizeof bytes);
            if (count > 0) {
                lastByte = std::chrono::steady_clock::now();
                for (ssize_t i = 0; i < count; i++) {
                    Session.DeliverAt(Elapsed(start), bytes[i]);
                }
            } else if (count == 0 || errno == EIO) {
                closed = true; // end of file, or the other end of a pseudo-terminal hung up
            } else if (errno != EAGAIN && errno != EINTR) {
                Error = std::string("reading the line failed: ") + std::strerror(errno);
                result = TouchsimSetupFailed;
                break;
            }
        }
        Session.RunClockTo(Elapsed(start));
        // Output that cannot be written any more ends the session.
        if (!Out.flush() || closed) {
            break;
        }
    }
    Session.RunTimersUntilIdle();
    Out.flush();
    return result;
}
