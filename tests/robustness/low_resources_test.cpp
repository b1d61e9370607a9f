// Systematic low resources: the device's whole life is replayed until every
// allocation site it reaches has failed once. Each failure must give the
// status and state its situation calls for, the step must work once
// allocations succeed again, and removal and unload must leave nothing.
#include "robustness.h"

#include <functional>
#include <set>

namespace {

enum class Opener { OpenPortFirst, SetPortFirst };

std::vector<uint8_t> PortSettings(const std::string& Name, ULONG Baud)
{
    std::vector<uint8_t> input{static_cast<uint8_t>(Name.size())};
    for (char c : Name) {
        input.push_back(static_cast<uint8_t>(c));
    }
    for (uint8_t byte : Le32(Baud)) {
        input.push_back(byte);
    }
    return input;
}

std::string Hex(NTSTATUS Status)
{
    std::ostringstream text;
    text << "0x" << std::hex << static_cast<ULONG>(Status);
    return text.str();
}

} // namespace

class LowResources : public SerialLinkTest, public ::testing::WithParamInterface<Opener> {
protected:
    struct RunResult {
        size_t Failures = 0;  // allocations failed in the run: sites met for the first time
        bool NewSites = false;
        size_t Reports = 0;
        bool WithoutControlDevice = false; // the device ran with its FDO alone
    };

    // Runs Action; when allocations failed meanwhile, Check judges the
    // outcome, and a failed step is tried again with allocations succeeding,
    // which must work. Returns the status of the last attempt.
    NTSTATUS Step(const std::string& Name, const std::function<NTSTATUS()>& Action,
                  const std::function<void(NTSTATUS)>& Check)
    {
        const size_t before = HkFailedAllocationCount();
        NTSTATUS status = Action();
        if (HkFailedAllocationCount() == before) {
            EXPECT_EQ(status, STATUS_SUCCESS) << Name << " failed with every allocation succeeding";
            return status;
        }
        Check(status);
        if (!NT_SUCCESS(status)) {
            Trace.push_back(Name + " -> " + Hex(status));
            HkSetSystematicLowResources(false);
            status = Action();
            EXPECT_EQ(status, STATUS_SUCCESS) << Name << " again with allocations succeeding";
        }
        return status;
    }

    // The control device when there is one (through a handle, as the
    // configuration tool sends them), otherwise the FDO.
    NTSTATUS Request(ULONG Code, const std::vector<uint8_t>& Input)
    {
        if (Extension->ControlDevice != nullptr) {
            return Control(Code, Input).Status;
        }
        return SendKernelControl(Fdo, Code, Input, 0).Status;
    }

    // A port request's outcome, as the failure tables give it.
    void CheckPortRequest(NTSTATUS Status, PeerSerialPort& Target)
    {
        if (Status == STATUS_INSUFFICIENT_RESOURCES) {
            EXPECT_FALSE(Target.IsOpen());
            EXPECT_EQ(Extension->SerialDevice, nullptr);
            EXPECT_EQ(Extension->SerialFileObject, nullptr);
            EXPECT_EQ(RemoveLockHolds(), 0u);
        } else if (Status == STATUS_UNSUCCESSFUL) {
            // The read request could not be made: the port stays open, idle.
            EXPECT_TRUE(Target.IsOpen());
            EXPECT_FALSE(Target.ReadPending());
            EXPECT_EQ(Extension->SerialDevice, Target.Device());
            EXPECT_NE(Extension->SerialFileObject, nullptr);
            EXPECT_EQ(RemoveLockHolds(), 0u);
        } else {
            EXPECT_EQ(Status, STATUS_SUCCESS) << Hex(Status);
        }
        if (NT_SUCCESS(Status)) {
            // A refused setup request is ignored like any other.
            EXPECT_TRUE(Target.ReadPending());
            EXPECT_EQ(RemoveLockHolds(), 1u);
        }
    }

    NTSTATUS OpenPortRequest(const std::string& Name, ULONG Baud)
    {
        return Request(IOCTL_TOUCH_OPEN_PORT, PortSettings(Name, Baud));
    }

    NTSTATUS SetPortRequest(const std::string& Name) { return Request(IOCTL_TOUCH_SET_PORT, Bytes(Name)); }

    size_t Tap(PeerSerialPort& On)
    {
        const size_t before = Reports().size();
        for (uint32_t x : {100u, 200u, 300u}) {
            On.Deliver(PeerTouchPacket(x, 1000));
        }
        On.Deliver(PeerReleasePacket());
        return Reports().size() - before;
    }

    // Load, add, start, connect, open a port, touch, switch ports, touch,
    // close, remove, unload.
    RunResult Run(bool Systematic, Opener First, size_t FailNth = 0)
    {
        Mouse.reset();
        Ports.clear();
        HkReset();
        Driver = nullptr;
        Fdo = nullptr;
        Extension = nullptr;
        Trace.clear();
        RunResult result;
        HkRegSetDword(ParametersKey, "ButtonMode", 2);
        HkRegSetString(ParametersKey, "PortName", "COM9");
        PeerSerialPort& com1 = AddPort("COM1", 0);
        PeerSerialPort& com2 = AddPort("COM2", 1, {.StackSize = 2});
        Mouse = std::make_unique<PeerMouseClass>();
        Pdo = HkCreateBusPdo();
        HkSetSystematicLowResources(Systematic);
        if (FailNth != 0) {
            HkFailNthAllocation(FailNth);
        }

        size_t before = HkFailedAllocationCount();
        Driver = HkLoadDriver(DriverEntry, ServiceKey);
        if (Driver == nullptr) {
            ADD_FAILURE() << "load failed";
            return result;
        }
        // Without its saved path the driver runs on its defaults.
        const bool pathLost = HkFailedAllocationCount() != before;
        EXPECT_EQ(SavedRegistryPath.Buffer == nullptr, pathLost);

        before = HkFailedAllocationCount();
        const NTSTATUS added = Step(
            "add", [&] { return HkAddDevice(Driver, Pdo); },
            [&](NTSTATUS Status) {
                if (!NT_SUCCESS(Status)) {
                    EXPECT_EQ(Status, STATUS_INSUFFICIENT_RESOURCES);
                    EXPECT_TRUE(HkDevicesOf(Driver).empty());
                    EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\pelvon"), "");
                    EXPECT_EQ(HkTopOfStack(Pdo), Pdo);
                }
            });
        if (added != STATUS_SUCCESS) {
            return result;
        }
        Fdo = HkTopOfStack(Pdo);
        Extension = static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
        const bool addFailed = HkFailedAllocationCount() != before;
        const bool registryRead = Settings().ButtonMode == 2;
        EXPECT_EQ(registryRead, PortName() == "COM9");
        if (!pathLost && !addFailed) {
            EXPECT_TRUE(registryRead);
        }
        if (pathLost) {
            EXPECT_FALSE(registryRead);
        }
        if (Extension->ControlDevice == nullptr) {
            result.WithoutControlDevice = true;
            EXPECT_TRUE(addFailed);
            EXPECT_EQ(ControlDeviceObject(), nullptr);
        }

        EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        NTSTATUS connected = Mouse->Connect(Fdo);
        if (connected == STATUS_INSUFFICIENT_RESOURCES) {
            connected = Mouse->Connect(Fdo); // the class driver's own request, not ours
        }
        EXPECT_EQ(connected, STATUS_SUCCESS);

        auto firstOpen = [&] {
            return First == Opener::OpenPortFirst ? OpenPortRequest("COM1", 19200) : SetPortRequest("COM1");
        };
        Step("first port request", firstOpen, [&](NTSTATUS Status) { CheckPortRequest(Status, com1); });
        result.Reports += Tap(com1);

        auto secondOpen = [&] {
            return First == Opener::OpenPortFirst ? SetPortRequest("COM2") : OpenPortRequest("COM2", 9600);
        };
        Step("second port request", secondOpen, [&](NTSTATUS Status) {
            if (First == Opener::SetPortFirst && Status == STATUS_INSUFFICIENT_RESOURCES && com1.IsOpen()) {
                // Opening looks the new name up before it lets the port in
                // use go: a lookup without memory leaves that port running.
                EXPECT_TRUE(com1.ReadPending());
                EXPECT_EQ(Extension->SerialDevice, com1.Device());
                EXPECT_EQ(RemoveLockHolds(), 1u);
                return;
            }
            EXPECT_FALSE(com1.IsOpen());
            CheckPortRequest(Status, com2);
        });
        result.Reports += Tap(com2);

        EXPECT_EQ(Request(IOCTL_TOUCH_CLOSE_PORT, {}), STATUS_SUCCESS);
        EXPECT_FALSE(com1.IsOpen());
        EXPECT_FALSE(com2.IsOpen());
        EXPECT_EQ(RemoveLockHolds(), 0u);

        EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        Driver = nullptr;
        EXPECT_EQ(HkVerifierReport(), "") << TraceText();
        result.Failures = HkFailedAllocationCount();
        result.NewSites = HkSystematicNewSitesInLastRun();
        HkSetSystematicLowResources(false);
        return result;
    }

    std::string TraceText() const
    {
        std::string text;
        for (const std::string& line : Trace) {
            text += line + "; ";
        }
        return text;
    }

    std::vector<std::string> Trace;
};

TEST_P(LowResources, EveryAllocationFailsOnceInTurn)
{
    HkResetSystematicSites();
    size_t runs = 0;
    size_t sites = 0;
    std::set<std::string> failedSteps;
    for (;;) {
        const RunResult run = Run(true, GetParam());
        runs++;
        sites += run.Failures;
        for (const std::string& step : Trace) {
            failedSteps.insert(step);
        }
        if (HasFailure() || !run.NewSites || runs == 500) {
            break;
        }
    }
    EXPECT_LT(runs, 500u);
    std::cout << "[ low res  ] " << sites << " allocation sites failed once each in " << runs << " runs; failed steps:";
    for (const std::string& step : failedSteps) {
        std::cout << " [" << step << "]";
    }
    std::cout << std::endl;
    // Every situation of the failure tables was met.
    EXPECT_TRUE(failedSteps.count("add -> " + Hex(STATUS_INSUFFICIENT_RESOURCES)));
    EXPECT_TRUE(failedSteps.count("first port request -> " + Hex(STATUS_INSUFFICIENT_RESOURCES)));
    EXPECT_TRUE(failedSteps.count("first port request -> " + Hex(STATUS_UNSUCCESSFUL)));

    // And with nothing failing, the whole life works end to end.
    HkResetSystematicSites();
    const RunResult clean = Run(false, GetParam());
    EXPECT_EQ(clean.Failures, 0u);
    EXPECT_EQ(clean.Reports, 8u);
}

// The same life with one allocation failing per run, the first, then the
// second, and so on: a failure that systematic runs always meet together
// with another (the control device's creation before the FDO's) is met alone.
TEST_P(LowResources, EachAllocationFailsAlone)
{
    size_t runs = 0;
    std::set<std::string> failedSteps;
    bool withoutControlDevice = false;
    for (size_t n = 1; n < 500; n++) {
        const RunResult run = Run(false, GetParam(), n);
        runs++;
        withoutControlDevice |= run.WithoutControlDevice;
        failedSteps.insert(Trace.begin(), Trace.end());
        if (HasFailure() || run.Failures == 0) {
            EXPECT_EQ(run.Reports, 8u);
            break;
        }
    }
    std::cout << "[ low res  ] " << runs - 1 << " allocations failed one per run; failed steps:";
    for (const std::string& step : failedSteps) {
        std::cout << " [" << step << "]";
    }
    std::cout << std::endl;
    EXPECT_TRUE(failedSteps.count("add -> " + Hex(STATUS_INSUFFICIENT_RESOURCES)));
    EXPECT_TRUE(failedSteps.count("first port request -> " + Hex(STATUS_UNSUCCESSFUL)));
    EXPECT_TRUE(withoutControlDevice);
}

INSTANTIATE_TEST_SUITE_P(Openers, LowResources, ::testing::Values(Opener::OpenPortFirst, Opener::SetPortFirst),
                         [](const auto& Info) {
                             return Info.param == Opener::OpenPortFirst ? std::string("OpenPortFirst")
                                                                        : std::string("SetPortFirst");
                         });
