// Routines shared by the two translation units of the driver.
#pragma once

#include "touch_core.h"

// Driver-wide: the service key path given at load, copied with a NUL.
extern UNICODE_STRING SavedRegistryPath;

#define DDK_POOL_TAG 0x206B6444u     // "Ddk "
#define REMOVE_LOCK_TAG 0x67747650u  // "Pvtg" in memory order
#define REMOVE_LOCK_HIGH_WATERMARK 10
// A port that answers this many reads in a row at once with a failure or
// with nothing, no byte between, is broken: the pump stops instead of
// re-issuing without end.
#define READ_FAILURE_LIMIT 64

// ---- sermcmn: requests, serial link, read pump, mouse class, control device
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchFlush;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchInternalDeviceControl;
KDEFERRED_ROUTINE SpeakerOffDpc;

NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG Code, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK StatusBlock, PVOID Input, ULONG InputLength, PVOID Output,
                           ULONG OutputLength);
NTSTATUS ConfigurePortAndStart(PDEVICE_EXTENSION Extension);
NTSTATUS FindAndOpenPort(PDEVICE_EXTENSION Extension);
VOID ClosePort(PDEVICE_EXTENSION Extension);
NTSTATUS StartReadPump(PDEVICE_EXTENSION Extension);
// Cancels the speaker timer and waits until its routine can no longer run.
VOID StopSpeakerTimer(PDEVICE_EXTENSION Extension);
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension);

// Finishing and starting requests, for every dispatch routine.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
BOOLEAN AcquireForRequest(PIO_REMOVE_LOCK Lock, PIRP Irp, PCSTR File, ULONG Line, NTSTATUS* Status);
// What the control device, in no stack, answers to a request of the FDO's.
enum CONTROL_DEVICE_ANSWER {
    ControlDeviceSucceeds,    // STATUS_SUCCESS
    ControlDeviceKeepsStatus, // the status the request carries
    ControlDeviceRefuses,     // STATUS_INVALID_DEVICE_REQUEST
};
BOOLEAN EnterFdoRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, CONTROL_DEVICE_ANSWER Answer, BOOLEAN HoldLock,
                        PCSTR File, ULONG Line, PDEVICE_EXTENSION* Extension, NTSTATUS* Status);
NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp);

// ---- sermdep: entry, devices, Plug and Play, power, registry
VOID LoadRegistryParameters(PDEVICE_EXTENSION Extension, PUNICODE_STRING RegistryPath);
