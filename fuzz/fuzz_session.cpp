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
    std::vector<uint8_t> input{static_cast<uint8_t>(Name.size())};
    input.insert(input.end(), Name.begin(), Name.end());
    const std::vector<uint8_t> baud = FuzzLe32(Baud);
    input.insert(input.end(), baud.begin(), baud.end());
    return input;
}

FuzzSession::FuzzSession()
{
    HkReset();
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
    for (unsigned i = 0; i < Count; i++) {
        PeerSerialPortConfig config;
        config.ComName = "COM" + std::to_string(i + 1);
        config.Index = i;
        Ports.push_back(std::make_unique<PeerSerialPort>(config));
    }
}

void FuzzSession::Open(const FuzzSessionOptions& Options)
{
    AddSerialPorts(Options.SerialPorts);
    HkLoadOptions load;
    load.PathWithoutNulRoom = Options.PathWithoutNulRoom;
    Driver = HkLoadDriver(DriverEntry, FuzzServiceKey, load);
    FUZZ_CHECK(Driver != nullptr, "the driver always loads");
    Pdo = HkCreateBusPdo();
    const NTSTATUS added = HkAddDevice(Driver, Pdo);
    FUZZ_CHECK(added == STATUS_SUCCESS, "add-device never fails with resources at hand");
    Fdo = HkTopOfStack(Pdo);
    FUZZ_CHECK(Fdo != Pdo, "the FDO sits above the PDO");
    Extension = static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
    for (unsigned n = 1; n < 1000 && PdoName_.empty(); n++) {
        const std::string name = "\\Device\\HkBusPdo" + std::to_string(n);
        if (HkFindDevice(name.c_str()) == Pdo) {
            PdoName_ = name;
        }
    }
    if (Options.Start) {
        FUZZ_CHECK(HkSendPnp(Fdo, IRP_MN_START_DEVICE) == STATUS_SUCCESS, "start");
    }
    if (Options.ConnectMouse) {
        Mouse = std::make_unique<PeerMouseClass>();
        FUZZ_CHECK(Mouse->Connect(Fdo) == STATUS_SUCCESS, "mouse class connect");
    }
}

void FuzzSession::Close(const std::function<void()>& AfterRemoval)
{
    Closed_ = true;
    for (auto& port : Ports) {
        port->JoinCompletionThreads();
    }
    HkWaitAsyncIdle();
    if (Driver != nullptr) {
        if (Fdo != nullptr && HkDeviceLive(Fdo)) {
            FUZZ_CHECK(HkSendRemove(Fdo) == STATUS_SUCCESS, "removal");
        }
        if (AfterRemoval) {
            AfterRemoval();
        }
        const std::string unload = HkUnloadDriver(Driver);
        FUZZ_CHECK(unload.empty(), unload);
    }
    Mouse.reset();
    Ports.clear();
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
    std::vector<uint8_t> input = Input;
    std::vector<uint8_t> output(OutputLength);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK statusBlock{};
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Fdo, input.empty() ? nullptr : input.data(),
                                             static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                             OutputLength, FALSE, &event, &statusBlock);
    FUZZ_CHECK(irp != nullptr, "IoBuildDeviceIoControlRequest");
    NTSTATUS status = IoCallDriver(Fdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = statusBlock.Status;
    }
    output.resize(NT_SUCCESS(status) ? std::min<size_t>(statusBlock.Information, OutputLength) : 0);
    // A failure completed inside the call need not reach the status block.
    return {status, NT_SUCCESS(status) ? statusBlock.Information : 0, output};
}

std::vector<uint8_t> FuzzSession::SettingsBytes() const
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&Extension->TouchSettings);
    return {begin, begin + sizeof(TOUCH_SETTINGS)};
}
