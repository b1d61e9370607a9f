// Platform-free logic of the touch data path: packet framing, coordinate
// pipeline, touch click, report buttons, settings defaults and the decoding
// of the packed layouts. The only platform services used are the system
// time and the speaker's I/O ports, both inside the click operations.
#pragma once

#include "touch_records.h"
#include "touch_control.h"

// ---- packet framing: returns TRUE when Byte completed a valid touch packet
// and the report fields of Report hold the new position and buttons.
#define TOUCH_BYTE_CLASS_MASK 0xC0
#define TOUCH_DATA_CLASS 0x00
#define TOUCH_PACKET_LENGTH 5

BOOLEAN ParseTouchByteSlowPath(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State, UCHAR Byte);

static inline BOOLEAN ParseTouchByte(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State,
                                     UCHAR Byte)
{
    // Three bytes in five are middle data bytes of a packet: they are only
    // stored, so they never leave the caller.
    const ULONG index = State->ByteIndex;
    if ((Byte & TOUCH_BYTE_CLASS_MASK) == TOUCH_DATA_CLASS && index - 1 < TOUCH_PACKET_LENGTH - 2) {
        State->Packet[index] = Byte;
        State->ByteIndex = index + 1;
        return FALSE;
    }
    return ParseTouchByteSlowPath(Settings, Report, State, Byte);
}

// ---- coordinate pipeline, for State->Packet holding a valid packet.
VOID ProcessTouchPacket(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State);

// ---- touch click
#define SPEAKER_TIMER_COMMAND_PORT 0x43
#define SPEAKER_TIMER_COUNT_PORT 0x42
#define SPEAKER_GATE_PORT 0x61
#define SPEAKER_TIMER_CHANNEL2_SQUARE_WAVE 0xB6
#define SPEAKER_GATE_BITS 0x03
#define SPEAKER_OFF_DELAY_100NS (-1000000)

VOID ProgramSpeakerTone(const TOUCH_SETTINGS* Settings);
VOID SpeakerOn(VOID);
VOID SpeakerOff(VOID);
// Starts the click if BeepEnabled, decided under the speaker's lock.
VOID StartTouchClick(PTOUCH_SETTINGS Settings);
// Stores BeepEnabled under the same lock; clearing it silences a click.
VOID SetClickEnabled(PTOUCH_SETTINGS Settings, UCHAR Enabled);
// Switches the speaker off if this driver switched it on (removal).
VOID SilenceSpeakerIfSetByDriver(VOID);
VOID StopTouchClickIfDue(PTOUCH_SETTINGS Settings);
// What the speaker-off timer routine does when it fires.
VOID SpeakerOffTimerExpired(const TOUCH_SETTINGS* Settings);

// ---- report delivery: the button transitions before the class service
// call, and the clearing of the button fields after it.
VOID PrepareReportButtons(PMOUSE_INPUT_DATA Report, PPACKET_STATE State);
VOID ClearReportButtons(PMOUSE_INPUT_DATA Report);

// ---- settings
// The field defaults, written before anything is read.
VOID SetDefaultTouchSettings(PTOUCH_SETTINGS Settings);
VOID ResetCalibration(PTOUCH_SETTINGS Settings);

// The "\Parameters" table: PortName, BaudRate, Filter and nine DWORDs, read
// in that order. The last ten are staged and count only if the whole table
// is read.
#define REGISTRY_TABLE_VALUES 12
struct REGISTRY_STAGING {
    UCHAR Filter[FILTER_DATA_LENGTH];
    ULONG MultiMonitor;
    ULONG TouchMonitorOx;
    ULONG TouchMonitorOy;
    ULONG TouchMonitorWidth;
    ULONG TouchMonitorHeight;
    ULONG PrimaryMonitorWidth;
    ULONG PrimaryMonitorHeight;
    ULONG Ltrb;
    ULONG ButtonMode;
};
// Where one value goes: a string of at most Capacity bytes (its NUL
// included), or the leading bytes of a Capacity-byte destination.
struct REGISTRY_DESTINATION {
    PVOID Destination;
    ULONG Capacity;
    BOOLEAN IsString;
};
// One value of the table, with what it holds when absent.
struct REGISTRY_TABLE_ROW {
    PCWSTR Name;
    REGISTRY_DESTINATION Destination;
    ULONG DefaultType;
    const VOID* DefaultData;
    ULONG DefaultLength; // 0 for a string: measured, NUL included
};
// Fills the rows in reading order and prefills the staging with what absent
// values give; Settings and Staging must outlive the query.
VOID DescribeRegistryTable(PTOUCH_SETTINGS Settings, REGISTRY_STAGING* Staging,
                           REGISTRY_TABLE_ROW Rows[REGISTRY_TABLE_VALUES]);
// Stores one delivered value (or default) if its type and length fit;
// STATUS_SUCCESS, or a failure that ends the table.
NTSTATUS StoreRegistryValue(const REGISTRY_DESTINATION* Destination, ULONG Type, const VOID* Data, ULONG Length);
VOID ApplyStagedValues(PTOUCH_SETTINGS Settings, const REGISTRY_STAGING* Staging);

// Decoders read exactly the layout's length from Bytes; the caller checks
// that the buffer holds that many bytes.
VOID DecodeCalibrationData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings);
VOID DecodeFilterData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings);
VOID DecodeBeepData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings);
VOID DecodeBeepToneData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings);
VOID DecodeMonitorMapData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings);
VOID DecodeRangeData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings);
// PORT_SETTINGS_DATA is variable: FALSE (and nothing changed) when Length
// does not cover the name and the line speed that byte 0 announces.
BOOLEAN DecodePortSettingsData(const UCHAR* Bytes, ULONG Length, PTOUCH_SETTINGS Settings);
// Replaces the whole port name with Length bytes widened to characters.
// FALSE (and nothing changed) when it is longer than the buffer.
BOOLEAN StorePortName(const UCHAR* Bytes, ULONG Length, PTOUCH_SETTINGS Settings);
