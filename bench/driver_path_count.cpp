// The whole driver path per byte on the stand-in: from the serial port's
// read completion through framing, pipeline and report delivery to the next
// read. Prints allocations per byte and stack growth; run under callgrind
// (count_driver_instructions.sh) for instructions per byte.
#include "hostkernel.h"
#include "mouse_class.h"
#include "serial_port.h"
#include "sermouse.h"
#include "touch_stream.h"

#include <cstdio>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

HkIoResult Control(ULONG Code, const std::vector<uint8_t>& Input)
{
    HANDLE handle = nullptr;
    HkOpen("\\\\.\\pelvon", &handle);
    HkIoResult result = HkDeviceIoControl(handle, Code, Input, 0);
    HkClose(handle);
    return result;
}

// One byte at a time into a pending read: each delivery is one completion.
__attribute__((noinline)) void DeliverStream(PeerSerialPort& Port, const std::vector<uint8_t>& Stream)
{
    for (uint8_t byte : Stream) {
        Port.Deliver(byte);
    }
}

// The whole stream arriving at once: every read after the first completes
// inside its send.
size_t BurstGrowth(PeerSerialPort& Port, const std::vector<uint8_t>& Stream)
{
    Port.ResetStackProbe();
    Port.DeliverBurst(Stream);
    return Port.DeepestReadGrowth();
}

} // namespace

int main(int argc, char** argv)
{
    const bool burstOnly = argc > 1 && std::string(argv[1]) == "--burst";
    HkReset();
    HkRegSetString("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon\\Parameters", "PortName", "COM1");
    PeerSerialPortConfig config;
    PeerSerialPort port(config);
    PDRIVER_OBJECT driver = HkLoadDriver(DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon");
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    HkAddDevice(driver, pdo);
    PDEVICE_OBJECT fdo = HkTopOfStack(pdo);
    HkSendPnp(fdo, IRP_MN_START_DEVICE);
    PeerMouseClass mouse;
    mouse.Connect(fdo);
    if (!NT_SUCCESS(Control(IOCTL_TOUCH_OPEN_PORT, {}).Status)) {
        std::fprintf(stderr, "cannot open COM1\n");
        return 1;
    }

    const std::vector<uint8_t> stream = MakeTouchStream(2000);
    if (burstOnly) {
        std::vector<uint8_t> burst;
        while (burst.size() < 100000) {
            burst.insert(burst.end(), stream.begin(), stream.end());
        }
        burst.resize(100000);
        const size_t poolBefore = HkPoolAllocationCount();
        const size_t irpsBefore = HkLiveIrpCount();
        const size_t growth = BurstGrowth(port, burst);
        std::printf("burst of %zu bytes: %zu reports, %zu pool allocations, %zu live IRPs before and %zu after, "
                    "deepest read sent %zu bytes of stack below the first\n",
                    burst.size(), mouse.Reports().size(), HkPoolAllocationCount() - poolBefore, irpsBefore,
                    HkLiveIrpCount(), growth);
    } else {
        const size_t poolBefore = HkPoolAllocationCount();
        DeliverStream(port, stream);
        std::printf("bytes %zu reports %zu pool-allocations %zu\n", stream.size(), mouse.Reports().size(),
                    HkPoolAllocationCount() - poolBefore);
    }
    Control(IOCTL_TOUCH_CLOSE_PORT, {});
    HkSendRemove(fdo);
    HkUnloadDriver(driver);
    const std::string report = HkVerifierReport();
    if (!report.empty()) {
        std::fprintf(stderr, "%s", report.c_str());
        return 1;
    }
    return 0;
}
