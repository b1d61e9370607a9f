// The byte-by-byte decoding of the packed layouts that the registry and the
// control requests deliver.
#include "fixed_point.h"
#include "touch_core.h"

#define LAYOUT_OFFSET(type, member) __builtin_offsetof(type, member)

VOID DecodeCalibrationData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings)
{
    Settings->InvertX = Bytes[LAYOUT_OFFSET(CALIBRATION_DATA, InvertX)];
    Settings->InvertY = Bytes[LAYOUT_OFFSET(CALIBRATION_DATA, InvertY)];
    Settings->ScaleXInteger = ReadLe16(Bytes + LAYOUT_OFFSET(CALIBRATION_DATA, ScaleXInteger));
    Settings->ScaleXFraction = ReadLe16(Bytes + LAYOUT_OFFSET(CALIBRATION_DATA, ScaleXFraction));
    Settings->OffsetX = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(CALIBRATION_DATA, OffsetX));
    Settings->ScaleYInteger = ReadLe16(Bytes + LAYOUT_OFFSET(CALIBRATION_DATA, ScaleYInteger));
    Settings->ScaleYFraction = ReadLe16(Bytes + LAYOUT_OFFSET(CALIBRATION_DATA, ScaleYFraction));
    Settings->OffsetY = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(CALIBRATION_DATA, OffsetY));
}

VOID DecodeFilterData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings)
{
    Settings->FilterWeightCurrent = ReadLe16(Bytes + LAYOUT_OFFSET(FILTER_DATA, FilterWeightCurrent));
    Settings->FilterWeightPrevInput = ReadLe16(Bytes + LAYOUT_OFFSET(FILTER_DATA, FilterWeightPrevInput));
    Settings->FilterWeightPrevOutput = ReadLe32(Bytes + LAYOUT_OFFSET(FILTER_DATA, FilterWeightPrevOutput));
}

VOID DecodeBeepData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings)
{
    Settings->BeepEnabled = Bytes[LAYOUT_OFFSET(BEEP_DATA, BeepEnabled)];
    Settings->BeepDivisor = ReadLe16(Bytes + LAYOUT_OFFSET(BEEP_DATA, BeepDivisor));
    Settings->BeepDurationMs = ReadLe32(Bytes + LAYOUT_OFFSET(BEEP_DATA, BeepDurationMs));
}

VOID DecodeBeepToneData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings)
{
    Settings->BeepDivisor = ReadLe16(Bytes + LAYOUT_OFFSET(BEEP_TONE_DATA, BeepDivisor));
    Settings->BeepDurationMs = ReadLe32(Bytes + LAYOUT_OFFSET(BEEP_TONE_DATA, BeepDurationMs));
}

VOID DecodeMonitorMapData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings)
{
    Settings->TouchMonitorOx = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(MONITOR_MAP_DATA, TouchMonitorOx));
    Settings->TouchMonitorOy = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(MONITOR_MAP_DATA, TouchMonitorOy));
    Settings->TouchMonitorWidth = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(MONITOR_MAP_DATA, TouchMonitorWidth));
    Settings->TouchMonitorHeight = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(MONITOR_MAP_DATA, TouchMonitorHeight));
    Settings->PrimaryMonitorWidth = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(MONITOR_MAP_DATA, PrimaryMonitorWidth));
    Settings->PrimaryMonitorHeight = (LONG)ReadLe32(Bytes + LAYOUT_OFFSET(MONITOR_MAP_DATA, PrimaryMonitorHeight));
}

VOID DecodeRangeData(const UCHAR* Bytes, PTOUCH_SETTINGS Settings)
{
    for (ULONG i = 0; i < 4; i++) {
        Settings->StoredRange[i] = ReadLe32(Bytes + 4 * i);
    }
}

BOOLEAN StorePortName(const UCHAR* Bytes, ULONG Length, PTOUCH_SETTINGS Settings)
{
    // A name that fills the whole buffer can be stored; it simply never
    // matches a port, whose names end in a NUL within 256 characters.
    if (Length > PORT_NAME_CHARACTERS) {
        return FALSE;
    }
    for (ULONG i = 0; i < PORT_NAME_CHARACTERS; i++) {
        Settings->PortNameBuffer[i] = (i < Length) ? (WCHAR)Bytes[i] : (WCHAR)0;
    }
    return TRUE;
}

BOOLEAN DecodePortSettingsData(const UCHAR* Bytes, ULONG Length, PTOUCH_SETTINGS Settings)
{
    if (Length < PORT_SETTINGS_DATA_LENGTH(0)) {
        return FALSE;
    }
    const ULONG nameLength = Bytes[PORT_SETTINGS_NAME_LENGTH_OFFSET];
    if (Length < PORT_SETTINGS_DATA_LENGTH(nameLength)) {
        return FALSE;
    }
    StorePortName(Bytes + PORT_SETTINGS_NAME_OFFSET, nameLength, Settings); // n <= 255 always fits
    Settings->BaudRate = ReadLe32(Bytes + PORT_SETTINGS_BAUD_OFFSET(nameLength));
    return TRUE;
}
