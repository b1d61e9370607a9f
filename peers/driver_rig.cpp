#include "driver_rig.h"

#include <algorithm>

std::vector<PeerSerialPortConfig> PeerComPorts(unsigned Count, const PeerSerialPortConfig& Template)
{
    std::vector<PeerSerialPortConfig> ports;
    for (unsigned index = 0; index < Count; index++) {
        PeerSerialPortConfig config = Template;
        config.ComName = "COM" + std::to_string(index + 1);
        config.Index = index;
        ports.push_back(config);
    }
    return ports;
}

std::vector<uint8_t> PeerPortSettingsData(const std::string& Name, ULONG Baud)
{
    std::vector<uint8_t> data;
    data.reserve(Name.size() + 5);
    data.push_back(static_cast<uint8_t>(Name.size()));
    data.insert(data.end(), Name.begin(), Name.end());
    for (int shift = 0; shift < 32; shift += 8) {
        data.push_back(static_cast<uint8_t>(Baud >> shift));
    }
    return data;
}

std::string PeerBusPdoName(PDEVICE_OBJECT Pdo)
{
    for (unsigned n = 1; n < 1000; n++) {
        const std::string name = "\\Device\\HkBusPdo" + std::to_string(n);
        if (HkFindDevice(name.c_str()) == Pdo) {
            return name;
        }
    }
    return "";
}

std::optional<HkIoResult> PeerSendControlIrp(PDEVICE_OBJECT Device, ULONG Code, const std::vector<uint8_t>& Input,
                                             ULONG OutputLength)
{
    std::vector<uint8_t> input = Input;
    std::vector<uint8_t> output(OutputLength);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK statusBlock{};
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, input.empty() ? nullptr : input.data(),
                                             static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                             OutputLength, FALSE, &event, &statusBlock);
    if (irp == nullptr) {
        return std::nullopt;
    }
    NTSTATUS status = IoCallDriver(Device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = statusBlock.Status;
    }
    output.resize(NT_SUCCESS(status) ? std::min<size_t>(statusBlock.Information, OutputLength) : 0);
    return HkIoResult{status, statusBlock.Information, output};
}

PeerDriverRig::PeerDriverRig()
{
    HkReset();
}

PeerDriverRig::~PeerDriverRig()
{
    JoinCompletionThreads();
}

PeerRigResult PeerDriverRig::Open(const PeerRigOptions& Options)
{
    PeerRigResult result;
    auto failed = [&](PeerRigStep Step, NTSTATUS Status) {
        result.Failed = Step;
        result.Status = Status;
        return result;
    };
    if (!Options.RegFile.empty()) {
        result.RegFileError = LoadRegFile(Options.RegFile);
        if (result.RegFileError) {
            return failed(PeerRigStep::RegFile, STATUS_UNSUCCESSFUL);
        }
    }
    for (const PeerSerialPortConfig& port : Options.Ports) {
        AddSerialPort(port);
    }
    if (!LoadDriver(Options.Load, Options.ServiceKey)) {
        return failed(PeerRigStep::Load, STATUS_UNSUCCESSFUL);
    }
    if (const NTSTATUS added = AddDevice(Options.Bus); !NT_SUCCESS(added) || Extension == nullptr) {
        // A device that attached nothing above the PDO has no FDO to start.
        return failed(PeerRigStep::Add, NT_SUCCESS(added) ? STATUS_UNSUCCESSFUL : added);
    }
    if (Options.Start) {
        if (const NTSTATUS started = StartDevice(); !NT_SUCCESS(started)) {
            return failed(PeerRigStep::Start, started);
        }
    }
    if (Options.ConnectMouse) {
        if (const NTSTATUS connected = ConnectMouseClass(); !NT_SUCCESS(connected)) {
            return failed(PeerRigStep::ConnectMouse, connected);
        }
    }
    return result;
}

std::optional<HkRegFileError> PeerDriverRig::LoadRegFile(const std::string& Path, HkRegFileSummary* Summary)
{
    return HkRegLoadRegFileFromPath(Path, Summary);
}

PeerSerialPort& PeerDriverRig::AddSerialPort(const PeerSerialPortConfig& Config)
{
    Ports.push_back(std::make_unique<PeerSerialPort>(Config));
    return *Ports.back();
}

bool PeerDriverRig::LoadDriver(const HkLoadOptions& Options, const std::string& ServiceKey)
{
    Driver = HkLoadDriver(DriverEntry, ServiceKey.c_str(), Options);
    return Driver != nullptr;
}

NTSTATUS PeerDriverRig::AddDevice(const HkBusOptions& Bus)
{
    Pdo = HkCreateBusPdo(Bus);
    const NTSTATUS status = HkAddDevice(Driver, Pdo);
    if (NT_SUCCESS(status)) {
        Fdo = HkTopOfStack(Pdo);
        Extension = Fdo != Pdo ? static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension) : nullptr;
    }
    return status;
}

NTSTATUS PeerDriverRig::StartDevice()
{
    return HkSendPnp(Fdo, IRP_MN_START_DEVICE);
}

NTSTATUS PeerDriverRig::ConnectMouseClass()
{
    Mouse = std::make_unique<PeerMouseClass>();
    return Mouse->Connect(Fdo);
}

PeerRigTeardown PeerDriverRig::Close(bool RemoveAndUnload, const std::function<void(NTSTATUS)>& AfterRemoval)
{
    PeerRigTeardown ended;
    JoinCompletionThreads();
    HkWaitAsyncIdle();
    if (Driver == nullptr || !RemoveAndUnload) {
        return ended;
    }
    if (Fdo != nullptr && HkDeviceLive(Fdo)) {
        ended.Removal = HkSendRemove(Fdo);
    }
    if (AfterRemoval) {
        AfterRemoval(ended.Removal);
    }
    ended.Unload = HkUnloadDriver(Driver);
    // Closing again finds nothing left to tear down.
    Driver = nullptr;
    Fdo = nullptr;
    Extension = nullptr;
    return ended;
}

void PeerDriverRig::JoinCompletionThreads()
{
    for (auto& port : Ports) {
        port->JoinCompletionThreads();
    }
}

void PeerDriverRig::ReleasePeers()
{
    Mouse.reset();
    Ports.clear();
}

std::vector<uint8_t> PeerDriverRig::SettingsBytes() const
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&Extension->TouchSettings);
    return {begin, begin + sizeof(TOUCH_SETTINGS)};
}

std::vector<PeerMouseReport> PeerDriverRig::Reports() const
{
    return Mouse ? Mouse->Reports() : std::vector<PeerMouseReport>{};
}
