// Per-device state of the touch driver: the device extension and the two
// records handed as one unit to the byte parser and the coordinate pipeline.
#pragma once

#include <ntddk.h>
#include <ntddmou.h>
#include <ntddser.h>
#include <kbdmou.h>

#define PORT_NAME_CHARACTERS 256

// Configurable and calibration state, filter history and speaker settings.
typedef struct _TOUCH_SETTINGS {
    UCHAR ControllerInfo[4];       // the four 6-bit values of the controller's type-1 response
    UCHAR InvertX;                 // 1 = negate the scaled X; any other value leaves it
    UCHAR InvertY;
    USHORT ScaleXInteger;          // X scale factor, unsigned 16.16
    USHORT ScaleXFraction;
    USHORT ScaleYInteger;
    USHORT ScaleYFraction;
    LONG OffsetX;
    LONG OffsetY;
    USHORT FilterWeightCurrent;    // filter weights in 1/65536
    USHORT FilterWeightPrevInput;
    ULONG FilterWeightPrevOutput;
    USHORT FilterPrevOutputX;      // filter history, low 16 bits
    USHORT FilterPrevInputX;
    USHORT FilterPrevOutputY;
    USHORT FilterPrevInputY;
    UCHAR ButtonMode;              // button bits reported while touched
    WCHAR PortNameBuffer[PORT_NAME_CHARACTERS]; // COM name, NUL-padded
    ULONG BaudRate;
    UCHAR BeepEnabled;
    USHORT BeepDivisor;            // interval timer channel 2 reload value
    ULONG BeepDurationMs;
    LARGE_INTEGER BeepStartTime;   // system time at which the current click began
    ULONG StoredRange[4];          // kept for the configuration tool; nothing reads it
    UCHAR MultiMonitor;
    LONG TouchMonitorOx;
    LONG TouchMonitorOy;
    LONG TouchMonitorWidth;
    LONG TouchMonitorHeight;
    LONG PrimaryMonitorWidth;      // divisor of the mapping
    LONG PrimaryMonitorHeight;     // divisor of the mapping
    UCHAR Ltrb;                    // 0 = axes swapped and both inverted
} TOUCH_SETTINGS, *PTOUCH_SETTINGS;

// Parser and report state.
typedef struct _PACKET_STATE {
    ULONG DiscardCount;            // out-of-place start and data bytes; wraps
    ULONG ByteIndex;               // 0 = idle; 1..4 = next byte of the message
    ULONG PreviousButtons;         // RawButtons of the last delivered report
    UCHAR Packet[5];
    ULONG ResponseType;            // type of the last response header accepted
    ULONG LastX;                   // last reported position, repeated on release
    ULONG LastY;
    UCHAR Touching;
    UCHAR FirstSample;
} PACKET_STATE, *PPACKET_STATE;

// Values of ReadInterlock: which side issues the next read.
#define ISSUE_IN_PROGRESS 1
#define ISSUER_RETURNED 2
#define ISSUE_AGAIN 3
// A read ended the pump while its send had not yet returned: the issuing
// loop ends the pump itself, after its last touch of the record.
#define ISSUER_ENDS_PUMP 4

// Values of SpeakerTimerState. The timer and its routine pass one token
// between them: it is in the timer while that is set, and in the routine
// while it is queued or running; nothing ever counts expiries.
#define SPEAKER_TIMER_IDLE 0   // not set, routine neither queued nor running
#define SPEAKER_TIMER_SET 1    // token out, no successful read since the timer was set
#define SPEAKER_TIMER_MOVED 2  // token out, and a read succeeded since: the routine sets it again

typedef struct _DEVICE_EXTENSION {
    TOUCH_SETTINGS TouchSettings;
    MOUSE_ATTRIBUTES MouseAttributes;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT ControlDevice;  // null when the control device could not be created
    PDEVICE_OBJECT TopOfStack;
    PDEVICE_OBJECT SerialDevice;   // null while no port is open
    PFILE_OBJECT SerialFileObject; // holds the reference on the open port
    IO_REMOVE_LOCK RemoveLock;
    LONG volatile ReadInterlock;
    PIRP ReadIrp;                  // the one read request, reused for every byte
    SERIAL_BASIC_SETTINGS SavedSerialSettings;
    UCHAR ReadBuffer;
    CONNECT_DATA ConnectData;
    MOUSE_INPUT_DATA InputData;    // the report being built and delivered
    PACKET_STATE PacketState;
    KTIMER SpeakerTimer;
    LARGE_INTEGER SpeakerTimerDueTime;
    KDPC SpeakerDpc;

    // Bookkeeping that keeps the port, the read pump and the speaker routine
    // safe to stop and restart.
    KEVENT PortLock;               // serialises the requests that open and close ports
    BOOLEAN PortsRefused;          // set under PortLock once the device is being removed
    KEVENT ReadPumpIdle;           // signalled while no read is out
    LONG volatile ReadPumpStopRequested; // set by ClosePort, checked before every send; interlocked
    KSPIN_LOCK ReadCancelLock;     // ClosePort's cancel against the pump readying the request; zeroed = initialised
    ULONG ReadFailuresInARow;      // failed inside their send, none succeeding or waiting between
    NTSTATUS ReadEndStatus;        // why the pump ended, for a loop that ends it (ISSUER_ENDS_PUMP)
    WCHAR SerialDevicePath[PORT_NAME_CHARACTERS]; // device path of the open port, as SERIALCOMM names it
    USHORT SerialDevicePathLength; // in bytes
    LONG volatile SpeakerTimerState; // SPEAKER_TIMER_...; interlocked
    LONG volatile LastSuccessfulReadTime; // low 32 bits of the system time; interlocked
    KSPIN_LOCK SpeakerTimerLock;   // the routine against StopSpeakerTimer; zeroed = initialised
    BOOLEAN SpeakerTimerStopping;  // under SpeakerTimerLock: the routine gives the token back
    KEVENT SpeakerTimerIdle;       // set by the routine when it gives the token back while stopping
    IO_REMOVE_LOCK ControlLock;    // held by each control request; removal waits for them
    // Used in the control device's own record only: the touch device's record,
    // reached under ControlLock; NULL once that device is removed.
    struct _DEVICE_EXTENSION* ControlTarget;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

#include "platform_layouts.h"
