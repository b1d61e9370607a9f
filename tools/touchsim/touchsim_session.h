// One simulated session: the driver loaded on the host kernel stand-in with
// four serial ports and the mouse class, a port opened at virtual time 0,
// bytes delivered at given virtual times, then the port closed, the device
// removed, the driver unloaded and the verifier consulted.
#pragma once

#include "driver_rig.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Virtual system time at t = 0: 2000-01-01 in 100-ns units since 1601, so
// that every run sees the same clock.
inline constexpr int64_t TouchsimSystemTimeBase = 0x01BF53EB256D4000;
inline constexpr const char* TouchsimServiceKey = PeerServiceKey;
inline constexpr const char* TouchsimParametersKey = PeerParametersKey;
inline constexpr const char* TouchsimControlDevice = PeerControlDevice;

// Exit codes shared by the session and the command line. Where several
// apply, a verifier finding wins, then an output that could not be written.
enum TouchsimExit : int {
    TouchsimOk = 0,
    TouchsimSetupFailed = 1,  // the driver could not be brought up, or the line failed
    TouchsimBadInput = 2,     // bad options or input, or the port would not open
    TouchsimVerifier = 3,     // the verifier found something
    TouchsimOutputFailed = 4, // standard output, standard error or the picture could not be written
};

// Line speeds touchsim's serial ports run at: a port refuses 0, and above
// the fastest common PC serial hardware (16C950 and USB adapters at
// 921600 bit/s) a byte would take next to no time on the virtual clock.
inline constexpr unsigned long TouchsimMaxLineSpeed = 921600;
inline bool TouchsimLineSpeedValid(unsigned long Speed)
{
    return Speed >= 1 && Speed <= TouchsimMaxLineSpeed;
}
// "a serial port refuses 0 bit/s: touchsim's ports run at 1 to 921600 bit/s"
std::string TouchsimLineSpeedProblem(unsigned long Speed);

// What the session observed, in the order it happened.
struct TouchsimEvent {
    enum class Kind { Report, PortWrite, Control };
    Kind Type;
    int64_t Time; // virtual time, 100-ns units since the port was opened
    MOUSE_INPUT_DATA Report{};
    uint16_t Port = 0;
    uint8_t Value = 0;
    std::string Command{}; // Control: the command as written
    uint32_t Status = 0;   // Control: the NTSTATUS its request completed with
};

class TouchsimSink {
public:
    virtual ~TouchsimSink() = default;
    virtual void Event(const TouchsimEvent& Event) = 0;
};

struct TouchsimSessionOptions {
    std::string RegFile; // REGEDIT4 file; empty: no Parameters key
    // IOCTL_TOUCH_OPEN_PORT with PORT_SETTINGS_DATA; unset: empty input, so
    // the registry's port and line speed are used.
    std::optional<std::string> PortName;
    ULONG Baud = 0;
    // Runs once the control device is up, before the port is opened.
    std::function<int(std::string& Error)> BeforeOpen;
    // Receives each note on settings the driver ignored or could not take.
    std::function<void(const std::string& Warning)> Warn;
};

struct TouchsimCounters {
    size_t Reports = 0;
    // Touch packets that were framed to their last byte but not reported:
    // the checksum failed.
    size_t ChecksumDrops = 0;
    ULONG DiscardCount = 0; // out-of-place bytes the parser threw away
    size_t BytesDelivered = 0;
    size_t PortFaults = 0;
    // Faults with no read to fail: none was pending, or none was sent after.
    size_t FaultsUnused = 0;
    int64_t LastByteTime = 0;
    int64_t EndTime = 0;
    UCHAR ControllerInfo[4] = {};
};

// "STATUS_NOT_FOUND (0xC0000225)"
std::string TouchsimStatusText(NTSTATUS Status);

// Sends one control request to the driver's control device.
HkIoResult TouchsimControl(ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength);

class TouchsimSession {
public:
    explicit TouchsimSession(TouchsimSink& Sink) : Sink_(Sink) {}
    ~TouchsimSession();
    TouchsimSession(const TouchsimSession&) = delete;
    TouchsimSession& operator=(const TouchsimSession&) = delete;

    // Brings the driver up and opens the port. Returns TouchsimOk, or an
    // exit code with Error set; the driver is torn down again on failure.
    int Start(const TouchsimSessionOptions& Options, std::string& Error);

    // The opened port: its COM name, device and the line speed the driver set.
    const PeerSerialPort& Port() const { return *Open_; }
    ULONG LineSpeed() const { return Open_->BaudRate(); }

    // Fires every timer due up to Time, then moves the clock to Time.
    void RunClockTo(int64_t Time);
    // RunClockTo(Time), then the byte arrives and its read completes.
    void DeliverAt(int64_t Time, uint8_t Byte);
    // Lets the clock run until no timer is pending.
    void RunTimersUntilIdle();
    // Port faults at Time (after RunClockTo): the pending read completes with
    // Status and no byte; if none is pending, nothing happens.
    void FailPendingReadAt(int64_t Time, NTSTATUS Status);
    // ... or the next read the driver sends fails inside the send.
    void FailNextReadInSendAt(int64_t Time, NTSTATUS Status);
    // A configuration command at Time: Run sends its requests and returns the
    // status it ended with; what the driver did is published, then the
    // command itself. Bytes then go to whichever port the driver holds open.
    void ControlAt(int64_t Time, const std::string& Command, const std::function<uint32_t()>& Run);

    // Closes the port, removes the device, unloads the driver and checks the
    // verifier. Returns TouchsimOk or TouchsimVerifier with Error set.
    int Finish(std::string& Error);

    const TouchsimCounters& Counters() const { return Counters_; }

private:
    int FindOpenedPort(std::string& Error);
    int Abandon(int Code, const std::string& Message, std::string& Error);
    void Publish();
    std::string TearDown();
    void WatchSpeakerPorts();

    TouchsimSink& Sink_;
    // Made by Start, gone after TearDown.
    std::unique_ptr<PeerDriverRig> Rig_;
    PeerSerialPort* Open_ = nullptr;
    // Speaker writes since the last publication, handed over by the port
    // observer, and the reports taken from the mouse class: the session
    // keeps no history, only what the next publication needs.
    std::mutex WritesLock_;
    std::vector<HkPortAccess> NewWrites_;
    std::vector<HkPortAccess> WritesToPublish_;
    std::vector<PeerMouseReport> ReportsToPublish_;
    TouchsimCounters Counters_;
};
