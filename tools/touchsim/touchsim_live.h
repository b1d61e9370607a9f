// A real serial line as the session's input: the bytes a controller sends
// reach the driver as they arrive, with the virtual clock following real
// time, until the line closes, the process is interrupted or the line has
// been silent for the idle limit.
#pragma once

#include "touchsim_session.h"

#include <iosfwd>
#include <optional>
#include <string>

class TouchsimSerialLine {
public:
    TouchsimSerialLine() = default;
    ~TouchsimSerialLine();
    TouchsimSerialLine(const TouchsimSerialLine&) = delete;
    TouchsimSerialLine& operator=(const TouchsimSerialLine&) = delete;

    // Opens the device; it must be a terminal. Returns false with Error set.
    bool Open(const std::string& Path, std::string& Error);
    // Raw mode, 8 data bits, no parity, one stop bit, at LineSpeed.
    bool Configure(unsigned long LineSpeed, std::string& Error);
    int Descriptor() const { return Fd_; }

private:
    std::string Path_;
    int Fd_ = -1;
};

// Delivers the line's bytes to the session until the line closes, SIGINT or
// SIGTERM arrives, or IdleLimitMs passes without a byte. Output is flushed
// after every step. Returns TouchsimOk, or TouchsimSetupFailed with Error.
int RunLiveSession(TouchsimSession& Session, TouchsimSerialLine& Line, std::optional<long> IdleLimitMs,
                   std::ostream& Out, std::string& Error);
