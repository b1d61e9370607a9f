// Control requests of the touch driver and the packed byte layouts shared by
// the registry and the configuration tool. Self-contained on purpose: the
// driver and a user-mode tool both include it.
//
// Every multi-byte field is little-endian and may sit at an odd offset; the
// layouts are spelled as byte arrays so that offsetof gives the wire offsets
// and nothing is ever read through a misaligned wider pointer.
#pragma once

// CTL_CODE(FILE_DEVICE_SERIAL_MOUSE_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define TOUCH_CONTROL_CODE(Function) ((0x1Au << 16) | ((unsigned)(Function) << 2))

#define IOCTL_TOUCH_SET_PORT TOUCH_CONTROL_CODE(0x805)
#define IOCTL_TOUCH_OPEN_PORT TOUCH_CONTROL_CODE(0x806)
#define IOCTL_TOUCH_CLOSE_PORT TOUCH_CONTROL_CODE(0x807)
#define IOCTL_TOUCH_SET_CALIBRATION TOUCH_CONTROL_CODE(0x80C)
#define IOCTL_TOUCH_RESET_CALIBRATION TOUCH_CONTROL_CODE(0x816)
#define IOCTL_TOUCH_SET_FILTER TOUCH_CONTROL_CODE(0x820)
#define IOCTL_TOUCH_SET_BEEP_ENABLE TOUCH_CONTROL_CODE(0x82A)
#define IOCTL_TOUCH_SET_BEEP_TONE TOUCH_CONTROL_CODE(0x834)
#define IOCTL_TOUCH_SET_BUTTON_MODE TOUCH_CONTROL_CODE(0x83E)
#define IOCTL_TOUCH_GET_CONTROLLER_INFO TOUCH_CONTROL_CODE(0x848)
#define IOCTL_TOUCH_GET_DRIVER_INFO TOUCH_CONTROL_CODE(0x849)
#define IOCTL_TOUCH_SET_RANGE TOUCH_CONTROL_CODE(0x852)
#define IOCTL_TOUCH_SET_MULTI_MONITOR TOUCH_CONTROL_CODE(0x85C)
#define IOCTL_TOUCH_CLEAR_MULTI_MONITOR TOUCH_CONTROL_CODE(0x866)
#define IOCTL_TOUCH_SET_LTRB TOUCH_CONTROL_CODE(0x870)

// "Calibration" value and IOCTL_TOUCH_SET_CALIBRATION input.
typedef struct _CALIBRATION_DATA {
    unsigned char InvertX;
    unsigned char InvertY;
    unsigned char ScaleXInteger[2];
    unsigned char ScaleXFraction[2];
    unsigned char OffsetX[4];
    unsigned char ScaleYInteger[2];
    unsigned char ScaleYFraction[2];
    unsigned char OffsetY[4];
} CALIBRATION_DATA;

// "Filter" value and IOCTL_TOUCH_SET_FILTER input.
typedef struct _FILTER_DATA {
    unsigned char FilterWeightCurrent[2];
    unsigned char FilterWeightPrevInput[2];
    unsigned char FilterWeightPrevOutput[4];
} FILTER_DATA;

// "Beep" value.
typedef struct _BEEP_DATA {
    unsigned char BeepEnabled;
    unsigned char BeepDivisor[2];
    unsigned char BeepDurationMs[4];
} BEEP_DATA;

// IOCTL_TOUCH_SET_BEEP_TONE input: BEEP_DATA without its first byte.
typedef struct _BEEP_TONE_DATA {
    unsigned char BeepDivisor[2];
    unsigned char BeepDurationMs[4];
} BEEP_TONE_DATA;

// IOCTL_TOUCH_SET_MULTI_MONITOR input: six signed 32-bit values.
typedef struct _MONITOR_MAP_DATA {
    unsigned char TouchMonitorOx[4];
    unsigned char TouchMonitorOy[4];
    unsigned char TouchMonitorWidth[4];
    unsigned char TouchMonitorHeight[4];
    unsigned char PrimaryMonitorWidth[4];
    unsigned char PrimaryMonitorHeight[4];
} MONITOR_MAP_DATA;

// IOCTL_TOUCH_OPEN_PORT input, n + 5 bytes: n, n name bytes, line speed.
#define PORT_SETTINGS_NAME_LENGTH_OFFSET 0
#define PORT_SETTINGS_NAME_OFFSET 1
#define PORT_SETTINGS_BAUD_OFFSET(NameLength) (1u + (unsigned)(NameLength))
#define PORT_SETTINGS_DATA_LENGTH(NameLength) (5u + (unsigned)(NameLength))

// IOCTL_TOUCH_SET_RANGE input: four 32-bit values.
#define RANGE_DATA_LENGTH 16u

// Minimum input or output lengths of the requests that have one.
#define CALIBRATION_DATA_LENGTH 18u
#define FILTER_DATA_LENGTH 8u
#define BEEP_DATA_LENGTH 7u
#define BEEP_TONE_DATA_LENGTH 6u
#define MONITOR_MAP_DATA_LENGTH 24u
#define BYTE_SETTING_LENGTH 1u
#define CONTROLLER_INFO_REPLY_LENGTH 4u
#define DRIVER_INFO_REPLY_LENGTH 3u

// Fixed bytes of the identification replies.
#define CONTROLLER_INFO_REPLY_BYTE2 1
#define CONTROLLER_INFO_REPLY_BYTE3 0
#define DRIVER_INFO_REPLY_BYTE0 2
#define DRIVER_INFO_REPLY_BYTE1 1
#define DRIVER_INFO_REPLY_BYTE2 5

static_assert(sizeof(CALIBRATION_DATA) == CALIBRATION_DATA_LENGTH, "packed calibration layout");
static_assert(sizeof(FILTER_DATA) == FILTER_DATA_LENGTH, "packed filter layout");
static_assert(sizeof(BEEP_DATA) == BEEP_DATA_LENGTH, "packed beep layout");
static_assert(sizeof(BEEP_TONE_DATA) == BEEP_TONE_DATA_LENGTH, "packed beep tone layout");
static_assert(sizeof(MONITOR_MAP_DATA) == MONITOR_MAP_DATA_LENGTH, "packed monitor layout");
static_assert(IOCTL_TOUCH_SET_PORT == 0x001A2014u && IOCTL_TOUCH_SET_LTRB == 0x001A21C0u, "control codes");
