#include "fuzz_session.h"

#include "verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

void FuzzFail(const std::string& What)
{
    std::fprintf(stderr, "\n==== pelvon fuzz invariant violated ====\n%s\n", What.c_str());
    std::fflush(stderr);
    std::abort();
}

void FuzzTrace(const std::string& Line)
{
    static const bool tracing = std::getenv("PELVON_FUZZ_TRACE") != nullptr;
    if (tracing) {
        std::fprintf(stderr, "%s\n", Line.c_str());
    }
}

std::vector<uint8_t> FuzzInput::Bytes(size_t Count)
{
    const size_t taken = std::min(Count, Remaining());
    std::vector<uint8_t> bytes(Data_ + Offset_, Data_ + Offset_ + taken);
    Offset_ += taken;
    return bytes;
}

std::vector<uint8_t> FuzzInput::Padded(size_t Count)
{
    std::vector<uint8_t> bytes = Bytes(Count);
    bytes.resize(Count, 0);
    return bytes;
}

std::vector<uint8_t> FuzzLe32(uint32_t Value)
{
    return {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8), static_cast<uint8_t>(Value >> 16),
            static_cast<uint8_t>(Value >> 24)};
}

std::vector<uint8_t> FuzzPortSettings(const std::vector<uint8_t>& Name, uint32_t Baud)
{
    return PeerPortSettingsData(std::string(Name.begin(), Name.end()), Baud);
}

FuzzSession::FuzzSession()
{
    // A driver that waits for ever is reported well before libFuzzer's
    // -timeout would kill the run without saying where.
    HkSetWaitWatchdog(3);
}

FuzzSession::~FuzzSession()
{
    // Unwinding from a verifier stop: FuzzRun reports it.
    if (!Closed_ && std::uncaught_exceptions() == 0) {
        FuzzFail("scenario ended without closing the session");
    }
}

void FuzzSession::AddSerialPorts(unsigned Count)
{
    for (const PeerSerialPortConfig& config : PeerComPorts(Count)) {
        AddSerialPort(config);
    }
}

void FuzzSession::Open(const FuzzSessionOptions& Options)
{
    PeerRigOptions rig;
    rig.Ports = PeerComPorts(Options.SerialPorts);
    rig.Load.PathWithoutNulRoom = Options.PathWithoutNulRoom;
    rig.Start = Options.Start;
    rig.ConnectMouse = Options.ConnectMouse;
    const PeerRigResult up = PeerDriverRig::Open(rig);
    FUZZ_CHECK(up.Failed != PeerRigStep::Load, "the driver always loads");
    FUZZ_CHECK(up.Failed != PeerRigStep::Add || Fdo == nullptr, "the FDO sits above the PDO");
    FUZZ_CHECK(up.Failed != PeerRigStep::Add, "add-device never fails with resources at hand");
    FUZZ_CHECK(up.Failed != PeerRigStep::Start, "start");
    FUZZ_CHECK(up.Failed != PeerRigStep::ConnectMouse, "mouse class connect");
    PdoName_ = PeerBusPdoName(Pdo);
}

void FuzzSession::Close(const std::function<void()>& AfterRemoval)
{
    Closed_ = true;
    const PeerRigTeardown ended = PeerDriverRig::Close(true, [&](NTSTATUS Removal) {
        FUZZ_CHECK(Removal == STATUS_SUCCESS, "removal");
        if (AfterRemoval) {
            AfterRemoval();
        }
    });
    FUZZ_CHECK(ended.Unload.empty(), ended.Unload);
    ReleasePeers();
    const std::string report = HkVerifierReport();
    FUZZ_CHECK(report.empty(), report);
    HkReset();
}

HkIoResult FuzzSession::Control(bool ToFdo, ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength)
{
    const std::string name = ToFdo ? PdoName_ : std::string("\\\\.\\pelvon");
    HANDLE handle = nullptr;
    const NTSTATUS opened = HkOpen(name.c_str(), &handle);
    FUZZ_CHECK(opened == STATUS_SUCCESS, "open " + name);
    HkIoResult result = HkDeviceIoControl(handle, Code, Input, OutputLength);
    FUZZ_CHECK(HkClose(handle) == STATUS_SUCCESS, "close " + name);
    return result;
}

HkIoResult FuzzSession::ControlIrp(ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength)
{
    std::optional<HkIoResult> reply = PeerSendControlIrp(Fdo, Code, Input, OutputLength);
    FUZZ_CHECK(reply.has_value(), "IoBuildDeviceIoControlRequest");
    // A failure completed inside the call need not reach the status block.
    if (!NT_SUCCESS(reply->Status)) {
        reply->Information = 0;
    }
    return *reply;
}
