// The driver rig: the touch driver brought up on the stand-in as the system
// brings it up (loaded from its service key, added over a test bus PDO,
// started), with serial port peers listed in SERIALCOMM and the mouse class
// peer connected, and torn down again. Tests, fuzz targets, touchsim and the
// host side of the Wine comparison all start the driver through it, so a
// change to the start-up shows in every one of them alike.
#pragma once

#include "hostkernel.h"
#include "mouse_class.h"
#include "serial_port.h"
#include "sermouse.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

inline constexpr const char* PeerServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon";
inline constexpr const char* PeerParametersKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon\\Parameters";
inline constexpr const char* PeerSerialCommKey = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";
inline constexpr const char* PeerControlDevice = "\\\\.\\pelvon";

// COM1..COMn as \Device\Serial0..n-1, each otherwise configured as Template.
std::vector<PeerSerialPortConfig> PeerComPorts(unsigned Count, const PeerSerialPortConfig& Template = {});

// PORT_SETTINGS_DATA: the name's length in one byte, the name, the line
// speed as four bytes, low byte first.
std::vector<uint8_t> PeerPortSettingsData(const std::string& Name, ULONG Baud);

// The name the stand-in gave a test bus PDO ("\Device\HkBusPdoN"), through
// which a handle reaches the stack above it; "" when none reaches Pdo.
std::string PeerBusPdoName(PDEVICE_OBJECT Pdo);

// A device control request built with IoBuildDeviceIoControlRequest and
// sent to Device, as a driver above it would send it, waited for to the end.
// Output keeps what the reply announced; Information is the status block's
// as the request left it. nullopt when the stand-in would not build it.
std::optional<HkIoResult> PeerSendControlIrp(PDEVICE_OBJECT Device, ULONG Code, const std::vector<uint8_t>& Input,
                                             ULONG OutputLength);

struct PeerRigOptions {
    std::string ServiceKey = PeerServiceKey;
    // A REGEDIT4 file loaded before anything else; empty: the registry as
    // the caller left it.
    std::string RegFile;
    // Serial ports made (and listed in SERIALCOMM) before the driver loads.
    std::vector<PeerSerialPortConfig> Ports;
    HkLoadOptions Load;
    HkBusOptions Bus;
    bool Start = true;        // send IRP_MN_START_DEVICE
    bool ConnectMouse = true; // connect the mouse class peer
};

enum class PeerRigStep { None, RegFile, Load, Add, Start, ConnectMouse };

struct PeerRigResult {
    PeerRigStep Failed = PeerRigStep::None; // the rig stopped at this step
    NTSTATUS Status = STATUS_SUCCESS;       // what the failed step returned
    std::optional<HkRegFileError> RegFileError;
    bool Ok() const { return Failed == PeerRigStep::None; }
};

struct PeerRigTeardown {
    NTSTATUS Removal = STATUS_SUCCESS; // STATUS_SUCCESS too when there was nothing to remove
    std::string Unload;                // what kept the driver; "" when clean or not unloaded
};

class PeerDriverRig {
public:
    // Resets the stand-in: every rig starts from nothing. The registry may
    // be set up between here and the loading of the driver.
    PeerDriverRig();
    // Waits for the peers' completion threads; the stand-in is left as it
    // is, for the verifier's report to be read.
    ~PeerDriverRig();
    PeerDriverRig(const PeerDriverRig&) = delete;
    PeerDriverRig& operator=(const PeerDriverRig&) = delete;

    // Every step in turn, up to the first that fails.
    PeerRigResult Open(const PeerRigOptions& Options = {});

    // The steps, for callers that act between them.
    std::optional<HkRegFileError> LoadRegFile(const std::string& Path, HkRegFileSummary* Summary = nullptr);
    PeerSerialPort& AddSerialPort(const PeerSerialPortConfig& Config);
    // Sets Driver; false when DriverEntry failed.
    bool LoadDriver(const HkLoadOptions& Options = {}, const std::string& ServiceKey = PeerServiceKey);
    // Adds the device over a new bus PDO: sets Pdo, and on success Fdo (the
    // top of the stack) and, when a device sits above the PDO, Extension.
    NTSTATUS AddDevice(const HkBusOptions& Bus = {});
    NTSTATUS StartDevice();
    // Makes the mouse class peer and connects it to the FDO.
    NTSTATUS ConnectMouseClass();

    // Lets the peers' completion threads and the stand-in's workers finish;
    // then, with RemoveAndUnload, removes the device if it is still there,
    // runs AfterRemoval with the removal's status, unloads the driver and
    // forgets it. The peers stay until ReleasePeers or the end of the rig.
    PeerRigTeardown Close(bool RemoveAndUnload = true, const std::function<void(NTSTATUS)>& AfterRemoval = {});
    void JoinCompletionThreads();
    void ReleasePeers();

    TOUCH_SETTINGS& Settings() { return Extension->TouchSettings; }
    std::vector<uint8_t> SettingsBytes() const;
    std::vector<PeerMouseReport> Reports() const;

    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    PDEVICE_EXTENSION Extension = nullptr;
    std::unique_ptr<PeerMouseClass> Mouse;
    std::vector<std::unique_ptr<PeerSerialPort>> Ports;
};
