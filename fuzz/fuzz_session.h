// One driver session on the stand-in per fuzz input: the driver rig brings
// it up, every step checked as an invariant, then removes and unloads it,
// with the verifier and the leak check read at the end. The stand-in is
// reset before and after, so nothing carries over between inputs.
#pragma once

#include "driver_rig.h"
#include "verifier.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline const char* const FuzzServiceKey = PeerServiceKey;
inline const char* const FuzzParametersKey = PeerParametersKey;
inline const char* const FuzzSerialCommKey = PeerSerialCommKey;

// An invariant broke: print what and stop, so libFuzzer keeps the input.
[[noreturn]] void FuzzFail(const std::string& What);
#define FUZZ_CHECK(Condition, What)                                                                 \
    do {                                                                                            \
        if (!(Condition)) {                                                                         \
            FuzzFail(std::string(#Condition) + ": " + (What));                                      \
        }                                                                                           \
    } while (0)

// With PELVON_FUZZ_TRACE set, one line per step on stderr: to see what a
// seed or a crashing input does.
void FuzzTrace(const std::string& Line);

// Reads the input front to back; past its end every read yields zeros, so
// any input decodes to some scenario.
class FuzzInput {
public:
    FuzzInput(const uint8_t* Data, size_t Size) : Data_(Data), Size_(Size) {}
    uint8_t Byte() { return Offset_ < Size_ ? Data_[Offset_++] : 0; }
    uint16_t Le16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Le32() { return Le16() | (static_cast<uint32_t>(Le16()) << 16); }
    // Count bytes; fewer when the input ends first.
    std::vector<uint8_t> Bytes(size_t Count);
    // Exactly Count bytes, the missing ones zero.
    std::vector<uint8_t> Padded(size_t Count);
    std::vector<uint8_t> Rest() { return Bytes(Remaining()); }
    size_t Remaining() const { return Size_ - Offset_; }
    bool Empty() const { return Offset_ >= Size_; }

private:
    const uint8_t* Data_;
    size_t Size_;
    size_t Offset_ = 0;
};

struct FuzzSessionOptions {
    bool PathWithoutNulRoom = false;
    bool Start = true;         // send IRP_MN_START_DEVICE
    bool ConnectMouse = true;
    unsigned SerialPorts = 4;  // COM1..COMn as \Device\Serial0..n-1
};

class FuzzSession : public PeerDriverRig {
public:
    // Resets the stand-in. The registry and peers may be set up before Open.
    FuzzSession();
    ~FuzzSession();
    FuzzSession(const FuzzSession&) = delete;
    FuzzSession& operator=(const FuzzSession&) = delete;

    // Serial port peers; each writes its SERIALCOMM value.
    void AddSerialPorts(unsigned Count);
    // Loads the driver, adds the device, starts it and connects the mouse.
    void Open(const FuzzSessionOptions& Options = {});
    // Removes the device, unloads the driver and checks the verifier is clean;
    // AfterRemoval looks at what removal left before the stand-in is reset.
    void Close(const std::function<void()>& AfterRemoval = {});

    // A control request through a handle: to the control device (\\.\pelvon)
    // or to the FDO, opened through the name of the PDO below it.
    HkIoResult Control(bool ToFdo, ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength);
    HkIoResult Control(ULONG Code, const std::vector<uint8_t>& Input = {}, ULONG OutputLength = 0)
    {
        return Control(false, Code, Input, OutputLength);
    }
    // The same request built by hand and sent straight to the FDO, as a
    // driver above it would send it.
    HkIoResult ControlIrp(ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength);

private:
    std::string PdoName_;
    bool Closed_ = false;
};

// A verifier stop inside Work is an invariant violation too.
template <typename F>
void FuzzRun(F&& Work)
{
    try {
        Work();
    } catch (const HkVerifierFailure& failure) {
        FuzzFail(std::string("verifier stop: ") + failure.what());
    } catch (const std::exception& failure) {
        FuzzFail(std::string("exception: ") + failure.what());
    }
}

std::vector<uint8_t> FuzzLe32(uint32_t Value);
std::vector<uint8_t> FuzzPortSettings(const std::vector<uint8_t>& Name, uint32_t Baud);
