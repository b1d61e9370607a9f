// The read pump raced: reads complete on other threads at random moments
// around the return of their send, while settings change and ports are
// closed, switched and reopened from several threads, and with every
// request pended by the peers. Watched from outside: the class driver's
// callback never runs twice at once, reports stay in order, one read at
// most is ever out, and the remove lock and every object balance.
#include "robustness.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const int64_t Ms = PeerTouchController::Millisecond;

// The class service callback, wrapped: deliveries that overlap mean two
// completions ran the parser at once.
struct DeliveryMonitor {
    PeerMouseClass* Class = nullptr;
    std::atomic<int> Inside{0};
    std::atomic<size_t> Overlaps{0};
    std::atomic<size_t> Deliveries{0};
};
DeliveryMonitor* Monitor = nullptr;

VOID NTAPI MonitoredClassService(PDEVICE_OBJECT ClassDevice, PMOUSE_INPUT_DATA Start, PMOUSE_INPUT_DATA End,
                                 PULONG Consumed)
{
    UNREFERENCED_PARAMETER(ClassDevice);
    if (Monitor->Inside.fetch_add(1) != 0) {
        Monitor->Overlaps++;
    }
    // Widen the window a second delivery would have to hit.
    for (int spin = 0; spin < 200; spin++) {
        asm volatile("" ::: "memory");
    }
    Monitor->Class->Receive(Start, End, Consumed);
    Monitor->Deliveries++;
    Monitor->Inside.fetch_sub(1);
}

// Button transitions replayed: nothing goes down twice or up while up, and
// what the flags say agrees with RawButtons.
bool ButtonsConsistent(const std::vector<PeerMouseReport>& Reports, std::string& Where)
{
    ULONG held = 0;
    for (size_t i = 0; i < Reports.size(); i++) {
        const MOUSE_INPUT_DATA& data = Reports[i].Data;
        for (ULONG button = 0; button < 3; button++) {
            const ULONG bit = 1u << button;
            const bool down = data.ButtonFlags & (1u << (2 * button));
            const bool up = data.ButtonFlags & (2u << (2 * button));
            if ((down && (held & bit)) || (up && !(held & bit))) {
                Where = "report " + std::to_string(i);
                return false;
            }
            held = down ? held | bit : up ? held & ~bit : held;
        }
        if (held != (data.RawButtons & 7) || Reports[i].Irql != DISPATCH_LEVEL) {
            Where = "report " + std::to_string(i);
            return false;
        }
    }
    return true;
}

// A stream of Packets touch packets whose X rises by one step each (up to
// the controller's maximum), so that reports out of order show as a fall.
std::vector<uint8_t> RisingTouches(size_t Packets, uint32_t& NextX)
{
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < Packets; i++) {
        const std::vector<uint8_t> packet = PeerTouchPacket(NextX, 2048);
        stream.insert(stream.end(), packet.begin(), packet.end());
        NextX = std::min<uint32_t>(NextX + 1, 4095);
    }
    return stream;
}

// Settings requests that keep positions rising: anything but the mapping.
const ULONG SettingsCodes[] = {IOCTL_TOUCH_SET_BEEP_ENABLE, IOCTL_TOUCH_SET_BEEP_TONE, IOCTL_TOUCH_SET_BUTTON_MODE,
                               IOCTL_TOUCH_GET_CONTROLLER_INFO, IOCTL_TOUCH_SET_RANGE, IOCTL_TOUCH_GET_DRIVER_INFO};

} // namespace

class PumpRaces : public SerialLinkTest {
protected:
    void TearDown() override
    {
        Stop = true;
        HkWaitAsyncIdle();
        for (auto& port : Ports) {
            port->JoinCompletionThreads();
        }
        EXPECT_EQ(Watch.Overlaps.load(), 0u) << "two completions delivered at once";
        SerialLinkTest::TearDown();
        Monitor = nullptr;
    }

    // Load, add, start, connect through the monitored callback; the
    // default calibration and filter keep X rising with the controller's.
    void BringUpRacing(const PeerSerialPortConfig& Com1, const PeerSerialPortConfig& Com2)
    {
        AddPort("COM1", 0, Com1);
        AddPort("COM2", 1, Com2);
        Load();
        AddAndStart();
        Mouse = std::make_unique<PeerMouseClass>();
        Watch.Class = Mouse.get();
        Monitor = &Watch;
        CONNECT_DATA connect{Mouse->ClassDevice(), reinterpret_cast<PVOID>(&MonitoredClassService)};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK statusBlock{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_MOUSE_CONNECT, Fdo, &connect, sizeof connect, nullptr,
                                                 0, TRUE, &event, &statusBlock);
        ASSERT_NE(irp, nullptr);
        ASSERT_EQ(IoCallDriver(Fdo, irp), STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_TOUCH_CLEAR_MULTI_MONITOR).Status, STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_TOUCH_SET_LTRB, {1}).Status, STATUS_SUCCESS);
    }

    // Random settings requests from a worker until Stop.
    void ChangeSettingsUntilStopped(uint32_t Seed, unsigned PauseUs = 0)
    {
        HkRunAsync(
            [this, Seed, PauseUs] {
                std::mt19937 random(Seed);
                HANDLE handle = nullptr;
                if (HkOpen("\\\\.\\pelvon", &handle) != STATUS_SUCCESS) {
                    SettingsFailures++;
                    return;
                }
                while (!Stop) {
                    const ULONG code = SettingsCodes[random() % std::size(SettingsCodes)];
                    std::vector<uint8_t> input = RandomBytes(random, 16);
                    input[0] = static_cast<uint8_t>(random() % 4); // a button mode or a click switch
                    if (HkDeviceIoControl(handle, code, input, 8).Status != STATUS_SUCCESS) {
                        SettingsFailures++;
                    }
                    SettingsRequests++;
                    SpinMicroseconds(PauseUs);
                }
                HkClose(handle);
            },
            PASSIVE_LEVEL);
    }

    // Reports since From, in order of delivery: X never falls.
    void ExpectInOrder(size_t From)
    {
        const std::vector<PeerMouseReport> reports = Reports();
        std::string where;
        EXPECT_TRUE(ButtonsConsistent(reports, where)) << where;
        for (size_t i = std::max<size_t>(From, 1); i < reports.size(); i++) {
            const LONG previous = reports[i - 1].Data.LastX;
            const LONG x = reports[i].Data.LastX;
            if (x < previous) {
                ADD_FAILURE() << "report " << i << " X " << x << " after " << previous;
                return;
            }
        }
    }

    DeliveryMonitor Watch;
    std::atomic<bool> Stop{false};
    std::atomic<size_t> SettingsRequests{0};
    std::atomic<size_t> SettingsFailures{0};
    std::atomic<size_t> FedBursts{0};
};

// Reads complete on another thread, anywhere from before the send has
// returned to well after; every byte costs exactly one read, the pump keeps
// exactly one read out, and the reports come once each, in order.
TEST_F(PumpRaces, CompletionsAroundTheSendReturn)
{
    BringUpRacing({.CompleteReadsOnOtherThread = true, .MaxCompletionDelayUs = 30, .DelaySeed = 7}, {});
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    ChangeSettingsUntilStopped(11);
    ChangeSettingsUntilStopped(12);
    // The speaker routine runs on this thread while completions re-arm it.
    HkRunAsync(
        [this] {
            while (!Stop) {
                HkAdvanceClock(30 * Ms);
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        },
        PASSIVE_LEVEL);

    uint32_t nextX = 1;
    const size_t bursts = Scaled(300);
    size_t packets = 0;
    for (size_t i = 0; i < bursts && !HasFailure(); i++) {
        const size_t count = 1 + i % 7;
        const std::vector<uint8_t> stream = RisingTouches(count, nextX);
        const size_t reads = Port().ReadsReceived();
        // Bytes waiting make the re-issued reads complete inside their send.
        if (i % 2 == 0) {
            Port().DeliverBurst(stream);
        } else {
            Port().Deliver(stream);
        }
        packets += count;
        ASSERT_EQ(Port().ReadsReceived() - reads, stream.size()) << "burst " << i;
        ASSERT_EQ(Reports().size(), packets) << "burst " << i;
        ASSERT_TRUE(Port().ReadPending());
        ASSERT_EQ(RemoveLockHolds(), 1u);
    }
    Stop = true;
    HkWaitAsyncIdle();
    ExpectInOrder(0);
    EXPECT_EQ(SettingsFailures.load(), 0u);
    std::cout << "[ races    ] " << bursts << " bursts, " << packets << " packets, " << SettingsRequests
              << " settings requests alongside" << std::endl;
}

// Ports closed, switched and reopened from this thread and a worker while a
// third feeds both lines: a read is never sent to a closed port nor twice to
// one, the lock is held exactly while a read is out, and once the storm is
// over the open port works.
TEST_F(PumpRaces, PortRequestsWhileBytesArrive)
{
    BringUpRacing({.CompleteReadsOnOtherThread = true, .MaxCompletionDelayUs = 20, .DelaySeed = 3},
                  {.CompleteReadsOnOtherThread = true, .MaxCompletionDelayUs = 20, .DelaySeed = 5});
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    ChangeSettingsUntilStopped(21, 20);
    HkRunAsync(
        [this] {
            uint32_t nextX = 1;
            while (!Stop) {
                bool fed = false;
                for (size_t p = 0; p < 2; p++) {
                    // A read being cancelled still shows as pending: feed only
                    // what the line has room for.
                    if (Port(p).ReadPending() && Port(p).BufferedBytes() == 0) {
                        Port(p).DeliverBurst(RisingTouches(4, nextX));
                        fed = true;
                        FedBursts++;
                    }
                }
                if (!fed) {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
        },
        PASSIVE_LEVEL);

    std::atomic<size_t> portRequests{0};
    std::atomic<size_t> portFailures{0};
    auto portStorm = [&](uint32_t Seed, size_t Count) {
        std::mt19937 random(Seed);
        for (size_t i = 0; i < Count && !Stop; i++) {
            const std::string name = random() % 2 ? "COM1" : "COM2";
            NTSTATUS status;
            switch (random() % 4) {
            case 0: status = Control(IOCTL_TOUCH_SET_PORT, Bytes(name)).Status; break;
            case 1: status = OpenPort(name, 9600).Status; break;
            case 2: status = Control(IOCTL_TOUCH_OPEN_PORT).Status; break;
            default: status = Control(IOCTL_TOUCH_CLOSE_PORT).Status; break;
            }
            portRequests++;
            if (status != STATUS_SUCCESS) {
                portFailures++;
            }
            // Mostly let some bytes through first, sometimes strike at once.
            const size_t deliveries = Watch.Deliveries;
            const bool wait = random() % 4 != 0;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
            while (wait && Watch.Deliveries < deliveries + 2 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
        }
    };
    const size_t perThread = Scaled(400);
    HkRunAsync([&] { portStorm(31, perThread); }, PASSIVE_LEVEL);
    portStorm(32, perThread);
    // The worker's storm ends first; then the feeder and the settings.
    while (portRequests < 2 * perThread && !HasFailure()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Stop = true;
    HkWaitAsyncIdle();
    for (auto& port : Ports) {
        port->JoinCompletionThreads();
    }
    std::cout << "[ races    ] " << portRequests << " port requests against " << FedBursts << " bursts fed, "
              << Watch.Deliveries << " deliveries and " << SettingsRequests << " settings requests" << std::endl;
    EXPECT_EQ(portFailures.load(), 0u);
    EXPECT_EQ(SettingsFailures.load(), 0u);

    const size_t open = Port(0).IsOpen() + Port(1).IsOpen();
    const size_t pending = Port(0).ReadPending() + Port(1).ReadPending();
    EXPECT_LE(open, 1u);
    EXPECT_EQ(pending, open);
    EXPECT_EQ(RemoveLockHolds(), pending);
    std::string where;
    EXPECT_TRUE(ButtonsConsistent(Reports(), where)) << where;

    // Works after the storm: the open port (or COM1 opened now) reports.
    if (open == 0) {
        ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    }
    PeerSerialPort& live = Port(0).IsOpen() ? Port(0) : Port(1);
    const size_t before = Reports().size();
    uint32_t nextX = 1;
    live.Deliver(RisingTouches(10, nextX));
    live.JoinCompletionThreads();
    EXPECT_GE(Reports().size() - before, 8u); // a packet cut by the last close costs at most two
}

// Every request the bus and the peers can pend is pended and completed from
// another thread: start, the serial setup, reads, removal.
TEST_F(PumpRaces, EveryRequestPended)
{
    HkSetForcePending(true);
    BringUpRacing({.CompleteReadsOnOtherThread = true, .MaxCompletionDelayUs = 20, .DelaySeed = 9},
                  {.CompleteReadsOnOtherThread = true, .MaxCompletionDelayUs = 20, .DelaySeed = 10});
    ChangeSettingsUntilStopped(41);
    uint32_t nextX = 1;
    const size_t rounds = Scaled(40);
    for (size_t i = 0; i < rounds && !HasFailure(); i++) {
        PeerSerialPort& port = Port(i % 2);
        const std::string name = i % 2 ? "COM2" : "COM1";
        ASSERT_EQ(i % 3 == 0 ? OpenPort(name, 9600).Status : Control(IOCTL_TOUCH_SET_PORT, Bytes(name)).Status,
                  STATUS_SUCCESS);
        const size_t reads = port.ReadsReceived();
        const size_t reports = Reports().size();
        const std::vector<uint8_t> stream = RisingTouches(5, nextX);
        port.DeliverBurst(stream);
        ASSERT_EQ(port.ReadsReceived() - reads, stream.size());
        ASSERT_EQ(Reports().size() - reports, 5u);
        ASSERT_EQ(RemoveLockHolds(), 1u);
        if (i % 4 == 3) {
            ASSERT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
            ASSERT_EQ(RemoveLockHolds(), 0u);
            ASSERT_FALSE(port.IsOpen());
        }
    }
    Stop = true;
    HkWaitAsyncIdle();
    ExpectInOrder(0);
    std::cout << "[ races    ] " << rounds << " pended rounds" << std::endl;
}

// Removal while bytes arrive and port requests keep coming: the pump ends,
// no port outlives the device, and nothing is left behind.
TEST_F(PumpRaces, RemovalWhileBytesAndPortRequestsArrive)
{
    const size_t rounds = Scaled(30);
    for (size_t round = 0; round < rounds && !HasFailure(); round++) {
        HkReset();
        Mouse.reset();
        Ports.clear();
        Stop = false;
        BringUpRacing({.CompleteReadsOnOtherThread = true, .MaxCompletionDelayUs = 20, .DelaySeed = 100u + unsigned(round)},
                      {});
        ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
        HkRunAsync(
            [this] {
                uint32_t nextX = 1;
                while (!Stop) {
                    Port().DeliverBurst(RisingTouches(1, nextX));
                    std::this_thread::yield();
                }
            },
            PASSIVE_LEVEL);
        std::atomic<size_t> refused{0};
        HkRunAsync(
            [this, &refused] {
                HANDLE handle = nullptr;
                if (HkOpen("\\\\.\\pelvon", &handle) != STATUS_SUCCESS) {
                    return;
                }
                // Only the start of removal may refuse the port.
                while (!Stop) {
                    const NTSTATUS status = HkDeviceIoControl(handle, IOCTL_TOUCH_SET_PORT, Bytes("COM1"), 0).Status;
                    if (status != STATUS_SUCCESS) {
                        EXPECT_EQ(status, STATUS_DELETE_PENDING);
                        refused++;
                        break;
                    }
                }
                HkClose(handle);
            },
            PASSIVE_LEVEL);
        SpinMicroseconds(static_cast<unsigned>(round * 37 % 500));
        ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        EXPECT_FALSE(Port().IsOpen());
        Stop = true;
        HkWaitAsyncIdle();
        Port().JoinCompletionThreads();
        EXPECT_FALSE(Port().IsOpen());
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        Driver = nullptr;
        EXPECT_EQ(HkVerifierReport(), "") << "round " << round;
        EXPECT_EQ(Watch.Overlaps.load(), 0u);
    }
    std::cout << "[ races    ] " << rounds << " removals under load" << std::endl;
}
