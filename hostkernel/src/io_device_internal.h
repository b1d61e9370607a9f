// What the device and object files share: drivers, devices, names, links
// and file objects, and the lookups on them.
#pragma once

#include "io_internal.h"

#include <map>

namespace hkio::device {

inline constexpr CSHORT IoTypeDevice = 3;
inline constexpr CSHORT IoTypeDriver = 4;
inline constexpr CSHORT IoTypeFile = 5;
inline constexpr unsigned char FreedPoison = 0xDD;

struct DriverInfo {
    std::unique_ptr<unsigned char[]> Memory;
    size_t Bytes = 0;
    PDRIVER_OBJECT Driver = nullptr;
    std::u16string Name;       // "\Driver\x"
    std::u16string ServiceKey; // "x"
    bool Unloaded = false;
    bool Internal = false;
    bool Peer = false; // a model of another driver: not the leak check's business
    LONG PointerCount = 0;
};

struct DeviceInfo {
    std::unique_ptr<unsigned char[]> Memory;
    size_t Bytes = 0;
    PDEVICE_OBJECT Device = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    std::u16string Name; // empty: unnamed
    std::string Label;   // for messages; survives the object's deletion
    bool Deleted = false;
    bool Internal = false;
    PDEVICE_OBJECT Lower = nullptr; // the device this one is attached to
    LONG PointerCount = 0;
    // The last file object opened through IoGetDeviceObjectPointer is gone:
    // its client must not send requests into the stack any more.
    bool ReleasedByClient = false;
};

struct FileInfo {
    std::unique_ptr<FILE_OBJECT> File;
    std::u16string FileName;
    PDEVICE_OBJECT Device = nullptr; // the device the name reached
    LONG References = 0;
    bool ViaGetPointer = false;
    bool Closed = false;
};

struct LinkInfo {
    std::u16string Name;
    std::u16string Target;
};

struct ObjectTable {
    std::mutex Lock; // taken after hkio::Lock() when both are needed
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverInfo>> Drivers;
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceInfo>> Devices;
    std::map<std::u16string, PDEVICE_OBJECT> Names; // by Key()
    std::map<std::u16string, LinkInfo> Links;       // by Key()
    std::map<PFILE_OBJECT, std::unique_ptr<FileInfo>> Files;
};

ObjectTable& Objects();

// The object manager's names compare without letter case; the three
// spellings of the DOS device directory are one.
std::u16string Key(const std::u16string& Path);

// Callers hold Objects().Lock.
DeviceInfo* FindDeviceLocked(PDEVICE_OBJECT Device);
DriverInfo* FindDriverLocked(PDRIVER_OBJECT Driver);
FileInfo* FindFileLocked(PFILE_OBJECT File);
PDEVICE_OBJECT AttachedTopLocked(PDEVICE_OBJECT Device);
std::string DescribeDeviceLocked(PDEVICE_OBJECT Device);
// Resolves links, then finds the device whose name is the longest prefix.
// Returns the device and the rest of the path.
std::pair<PDEVICE_OBJECT, std::u16string> ResolveLocked(const std::u16string& Path);
PDEVICE_OBJECT NewDeviceLocked(PDRIVER_OBJECT Driver, ULONG ExtensionSize, const std::u16string& Name,
                               DEVICE_TYPE Type, ULONG Characteristics, bool Exclusive, bool Internal);
PDRIVER_OBJECT NewDriverLocked(const std::u16string& ServiceKey, PDRIVER_DISPATCH Dispatch, bool Internal);

// Completes every request with STATUS_INVALID_DEVICE_REQUEST: a new driver
// object's dispatch for every major function.
DRIVER_DISPATCH InvalidDeviceRequest;
// Sends the last IRP_MJ_CLOSE of a file object and lets go of its device.
void CloseFile(PFILE_OBJECT File);

// IoDeleteDevice: stops the test unless Device may be deleted now, and
// returns the memory going away with it.
struct DeviceMemory {
    const void* Begin;
    size_t Bytes;
    std::string Label;
};
DeviceMemory CheckDeletable(PDEVICE_OBJECT Device);
// Takes the deleted device out of its driver's list and the namespace.
void Forget(PDEVICE_OBJECT Device);

} // namespace hkio::device
