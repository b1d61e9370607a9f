// A serial port driver as the touch driver meets it: a named device listed
// in HARDWARE\DEVICEMAP\SERIALCOMM, exclusive opens, control requests
// recorded and answered (each can be refused), one-byte reads that complete
// at once when a byte waits and otherwise pend until a byte arrives, cancel.
#pragma once

#include "hostkernel.h"
#include "touch_controller.h"

#include <ntddser.h>

#include <cstring>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct PeerSerialRequest {
    UCHAR Major;
    ULONG Code;                 // 0 for reads
    std::vector<uint8_t> Input;
    ULONG OutputLength;
    bool operator==(const PeerSerialRequest&) const = default;
};

struct PeerSerialPortConfig {
    std::string ComName = "COM1";
    unsigned Index = 0;           // the device is \Device\Serial<Index>
    CCHAR StackSize = 1;          // > 1 models filters stacked over the port
    bool AcceptBasicSettings = true;
    bool PendControlRequests = false; // complete them later from another thread
    bool CompleteReadsOnOtherThread = false;
    // With CompleteReadsOnOtherThread: each completion thread first waits a
    // random 0..this many microseconds (seeded by DelaySeed), so completions
    // land anywhere around the return of the send. 0: complete at once.
    unsigned MaxCompletionDelayUs = 0;
    unsigned DelaySeed = 1;
};

class PeerSerialPort {
public:
    explicit PeerSerialPort(const PeerSerialPortConfig& Config);
    ~PeerSerialPort();
    PeerSerialPort(const PeerSerialPort&) = delete;
    PeerSerialPort& operator=(const PeerSerialPort&) = delete;

    const PeerSerialPortConfig& Config() const { return Config_; }
    PDEVICE_OBJECT Device() const { return Device_; }
    std::string DeviceName() const;

    // Bytes arriving on the line: each completes the pending read, or waits
    // in the receive buffer for the next one.
    void Deliver(const std::vector<uint8_t>& Bytes);
    void Deliver(uint8_t Byte);
    // Bytes arriving all at once: they wait in the receive buffer, and the
    // pending read takes the first, so every following read completes
    // inside its send, as on a port with data already waiting.
    void DeliverBurst(const std::vector<uint8_t>& Bytes);
    // Bytes on the line at the port's line speed, on the virtual clock: byte
    // k arrives at t(k) = t(k-1) + gap(k) + 100,000,000 / line speed (100-ns
    // units), with t(-1) the clock now; timers due before a byte fire first.
    // Returns the arrival time of the last byte.
    int64_t DeliverOnLine(const std::vector<PeerTimedByte>& Bytes);
    // Completes the pending read successfully with no byte.
    bool CompleteReadEmpty();
    // Completes the pending read with Status (nothing read).
    bool FailPendingRead(NTSTATUS Status);
    // Every read from now on fails at once with Status (nullopt: normal).
    void FailReadsAtOnce(std::optional<NTSTATUS> Status);
    // The next read sent fails inside its send with Status, once; further
    // calls queue up, one read each, ahead of FailReadsAtOnce.
    void FailNextReadAtOnce(NTSTATUS Status);
    // Failures queued by FailNextReadAtOnce that no read has taken yet.
    size_t QueuedReadFailures() const;
    // The control request Code (of major DEVICE_CONTROL or INTERNAL_DEVICE_CONTROL)
    // is refused with Status.
    void Refuse(UCHAR Major, ULONG Code, NTSTATUS Status);

    std::vector<PeerSerialRequest> Requests() const;
    std::vector<PeerSerialRequest> ControlRequests() const; // reads left out
    // Entries the history holds: a run of equal reads is one entry, so a
    // port that has read for hours holds as many as it had control requests.
    size_t RequestHistoryEntries() const;
    size_t ReadsReceived() const;
    // How much deeper than the first read since the last reset of the probe
    // any later read was sent from (bytes of stack): a pump that recursed
    // once per byte would show it here.
    size_t DeepestReadGrowth() const;
    void ResetStackProbe();
    bool ReadPending() const;
    size_t BufferedBytes() const;
    bool IsOpen() const;
    size_t OpenCount() const; // creates seen
    ULONG BaudRate() const;
    SERIAL_LINE_CONTROL LineControl() const;
    // Waits (real time, bounded) until no completion thread is running.
    void JoinCompletionThreads();

    // Dispatch, called through the peer driver's table.
    NTSTATUS Dispatch(PIRP Irp);
    void CancelRead(PIRP Irp);

private:
    NTSTATUS ControlRequest(PIRP Irp, PIO_STACK_LOCATION Stack);
    NTSTATUS SerialControlLocked(ULONG Code, PIO_STACK_LOCATION Stack, uint8_t* Buffer, ULONG_PTR& Information);
    NTSTATUS InternalControlLocked(ULONG Code, PIO_STACK_LOCATION Stack, uint8_t* Buffer, ULONG_PTR& Information);
    NTSTATUS SetBaudRateLocked(PIO_STACK_LOCATION Stack, const uint8_t* Buffer);
    NTSTATUS PurgeLocked(PIO_STACK_LOCATION Stack, const uint8_t* Buffer);
    NTSTATUS CompleteControl(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
    NTSTATUS Read(PIRP Irp);
    void ProbeReadStackLocked(uintptr_t Frame);
    void AcceptReadLocked(PIRP Irp);
    std::optional<NTSTATUS> ReadFailureLocked(PIRP Irp);
    uint8_t TakeByteLocked();
    NTSTATUS PendReadLocked(PIRP Irp);
    void CompleteRead(PIRP Irp, NTSTATUS Status, std::optional<uint8_t> Byte);
    PIRP TakePendingRead();
    void CompleteLater(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

    PeerSerialPortConfig Config_;
    PDEVICE_OBJECT Device_ = nullptr;
    mutable std::mutex Lock_;
    std::deque<uint8_t> Received_;
    PIRP PendingRead_ = nullptr;
    bool Open_ = false;
    size_t Opens_ = 0;
    size_t Reads_ = 0;
    uintptr_t FirstReadFrame_ = 0;
    size_t DeepestReadGrowth_ = 0;
    std::optional<NTSTATUS> ReadFailure_;
    std::deque<NTSTATUS> NextReadFailures_;
    std::map<std::pair<UCHAR, ULONG>, NTSTATUS> Refusals_;
    struct RequestRun {
        PeerSerialRequest Request;
        size_t Count;
    };
    std::vector<RequestRun> Requests_;
    void RecordLocked(PeerSerialRequest Request);
    SERIAL_BAUD_RATE Baud_{};
    SERIAL_LINE_CONTROL LineControl_{};
    SERIAL_TIMEOUTS Timeouts_{};
    SERIAL_HANDFLOW HandFlow_{};
    std::vector<std::thread> Threads_;
    std::mt19937 DelayRandom_;
    unsigned NextDelayLocked();
};
