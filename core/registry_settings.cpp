// The settings' two kinds of defaults, side by side, and what the registry's
// "\Parameters" table does with each value: where it lands, what it holds
// when a value is absent, which types and lengths it takes, and which values
// wait for the whole table before they count. The queries themselves are
// the driver's.
#include "touch_core.h"

namespace {

// Written into the settings before anything is read. PortNameBuffer,
// BaudRate and Ltrb have none: they keep the zeros of the new record.
const USHORT FieldDefaultScaleInteger = 1;
const USHORT FieldDefaultFilterWeight = 0x8000;
const LONG FieldDefaultMonitorWidth = 1024;
const LONG FieldDefaultMonitorHeight = 768;
const UCHAR FieldDefaultButtonMode = 1;
const USHORT FieldDefaultBeepDivisor = 1;
const ULONG FieldDefaultBeepDurationMs = 1;
const ULONG FieldDefaultRangeHigh = 0xFFFF;

// Supplied by the table when a value is absent from an existing key. They
// differ from the field defaults on purpose: an empty key turns the
// multi-monitor mapping on, takes the axes as sent and sets 19200 baud.
const WCHAR AbsentPortName[] = L"";
const ULONG AbsentBaudRate = 19200;
const UCHAR AbsentFilter[FILTER_DATA_LENGTH] = {0x00, 0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00};

struct STAGED_DWORD {
    PCWSTR Name;
    ULONG REGISTRY_STAGING::*Field;
    ULONG AbsentDefault;
};

const STAGED_DWORD StagedDwords[] = {
    {L"MultiMonitor", &REGISTRY_STAGING::MultiMonitor, 1},
    {L"TouchMonitorOx", &REGISTRY_STAGING::TouchMonitorOx, 0},
    {L"TouchMonitorOy", &REGISTRY_STAGING::TouchMonitorOy, 0},
    {L"TouchMonitorWidth", &REGISTRY_STAGING::TouchMonitorWidth, 1024},
    {L"TouchMonitorHeight", &REGISTRY_STAGING::TouchMonitorHeight, 768},
    {L"PrimaryMonitorWidth", &REGISTRY_STAGING::PrimaryMonitorWidth, 1024},
    {L"PrimaryMonitorHeight", &REGISTRY_STAGING::PrimaryMonitorHeight, 768},
    {L"LTRB", &REGISTRY_STAGING::Ltrb, 1},
    {L"ButtonMode", &REGISTRY_STAGING::ButtonMode, 1},
};

static_assert(3 + sizeof(StagedDwords) / sizeof(StagedDwords[0]) == REGISTRY_TABLE_VALUES,
              "PortName, BaudRate, Filter and the staged DWORDs make the table");

BOOLEAN IsStringType(ULONG Type)
{
    return Type == REG_SZ || Type == REG_EXPAND_SZ || Type == REG_MULTI_SZ;
}

VOID Describe(REGISTRY_TABLE_ROW* Row, PCWSTR Name, PVOID Destination, ULONG Capacity, BOOLEAN IsString,
              ULONG DefaultType, const VOID* DefaultData, ULONG DefaultLength)
{
    Row->Name = Name;
    Row->Destination.Destination = Destination;
    Row->Destination.Capacity = Capacity;
    Row->Destination.IsString = IsString;
    Row->DefaultType = DefaultType;
    Row->DefaultData = DefaultData;
    Row->DefaultLength = DefaultLength;
}

} // namespace

VOID ResetCalibration(PTOUCH_SETTINGS Settings)
{
    Settings->InvertX = 0;
    Settings->InvertY = 0;
    Settings->ScaleXInteger = FieldDefaultScaleInteger;
    Settings->ScaleXFraction = 0;
    Settings->OffsetX = 0;
    Settings->ScaleYInteger = FieldDefaultScaleInteger;
    Settings->ScaleYFraction = 0;
    Settings->OffsetY = 0;
}

VOID SetDefaultTouchSettings(PTOUCH_SETTINGS Settings)
{
    ResetCalibration(Settings);
    Settings->BeepEnabled = 0;
    Settings->MultiMonitor = 0;
    Settings->FilterWeightCurrent = FieldDefaultFilterWeight;
    Settings->FilterWeightPrevInput = FieldDefaultFilterWeight;
    Settings->FilterWeightPrevOutput = 0;
    Settings->TouchMonitorHeight = FieldDefaultMonitorHeight;
    Settings->PrimaryMonitorHeight = FieldDefaultMonitorHeight;
    Settings->ButtonMode = FieldDefaultButtonMode;
    Settings->BeepDivisor = FieldDefaultBeepDivisor;
    Settings->BeepDurationMs = FieldDefaultBeepDurationMs;
    Settings->StoredRange[0] = 0;
    Settings->StoredRange[1] = FieldDefaultRangeHigh;
    Settings->StoredRange[2] = 0;
    Settings->StoredRange[3] = FieldDefaultRangeHigh;
    Settings->TouchMonitorOx = 0;
    Settings->TouchMonitorOy = 0;
    Settings->TouchMonitorWidth = FieldDefaultMonitorWidth;
    Settings->PrimaryMonitorWidth = FieldDefaultMonitorWidth;
}

VOID DescribeRegistryTable(PTOUCH_SETTINGS Settings, REGISTRY_STAGING* Staging,
                           REGISTRY_TABLE_ROW Rows[REGISTRY_TABLE_VALUES])
{
    // "PortName" and "BaudRate" land straight in their fields, in this
    // order; the rest are staged, prefilled with what an absent value gives.
    Describe(&Rows[0], L"PortName", Settings->PortNameBuffer, sizeof(Settings->PortNameBuffer), TRUE, REG_SZ,
             AbsentPortName, 0);
    Describe(&Rows[1], L"BaudRate", &Settings->BaudRate, sizeof(Settings->BaudRate), FALSE, REG_DWORD,
             &AbsentBaudRate, sizeof(AbsentBaudRate));
    RtlCopyMemory(Staging->Filter, AbsentFilter, sizeof(AbsentFilter));
    Describe(&Rows[2], L"Filter", Staging->Filter, sizeof(Staging->Filter), FALSE, REG_BINARY, AbsentFilter,
             sizeof(AbsentFilter));
    ULONG row = 3;
    for (const STAGED_DWORD& value : StagedDwords) {
        Staging->*value.Field = value.AbsentDefault;
        Describe(&Rows[row++], value.Name, &(Staging->*value.Field), sizeof(ULONG), FALSE, REG_DWORD,
                 &value.AbsentDefault, sizeof(ULONG));
    }
}

// The type and length are judged as the value is delivered, so a value
// rewritten since an earlier look can never be stored as something it is
// not. A value that does not fit is left out and its destination keeps what
// it holds; only a port name too long for its buffer ends the table.
NTSTATUS StoreRegistryValue(const REGISTRY_DESTINATION* Destination, ULONG Type, const VOID* Data, ULONG Length)
{
    if (Destination->IsString) {
        if (Type != REG_SZ && Type != REG_EXPAND_SZ) {
            return STATUS_SUCCESS;
        }
        if (Length > Destination->Capacity) {
            return STATUS_INVALID_PARAMETER; // not STATUS_BUFFER_TOO_SMALL: the platform ignores that one
        }
    } else if (IsStringType(Type) || Length > Destination->Capacity) {
        return STATUS_SUCCESS;
    }
    RtlCopyMemory(Destination->Destination, Data, Length);
    return STATUS_SUCCESS;
}

VOID ApplyStagedValues(PTOUCH_SETTINGS Settings, const REGISTRY_STAGING* Staging)
{
    DecodeFilterData(Staging->Filter, Settings);
    Settings->MultiMonitor = (UCHAR)Staging->MultiMonitor;
    Settings->TouchMonitorOx = (LONG)Staging->TouchMonitorOx;
    Settings->TouchMonitorOy = (LONG)Staging->TouchMonitorOy;
    Settings->TouchMonitorWidth = (LONG)Staging->TouchMonitorWidth;
    Settings->TouchMonitorHeight = (LONG)Staging->TouchMonitorHeight;
    Settings->PrimaryMonitorWidth = (LONG)Staging->PrimaryMonitorWidth;
    Settings->PrimaryMonitorHeight = (LONG)Staging->PrimaryMonitorHeight;
    Settings->Ltrb = (UCHAR)Staging->Ltrb;
    Settings->ButtonMode = (UCHAR)Staging->ButtonMode;
}
