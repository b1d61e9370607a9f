// Byte parser: assembles 5-byte touch packets and controller responses from
// the serial stream. The class of a byte (its top two bits) alone picks the
// action, so malformed input costs at most the message in progress.
#include "touch_core.h"

namespace {

const UCHAR ByteClassMask = TOUCH_BYTE_CLASS_MASK;
const UCHAR TouchDataClass = TOUCH_DATA_CLASS;
const UCHAR TouchStartClass = 0x40;
const UCHAR ResponseDataClass = 0x80;
const UCHAR PayloadMask = 0x3F;
const ULONG PacketLength = TOUCH_PACKET_LENGTH;
const ULONG ControllerInfoResponse = 1;
const ULONG LineSpeedResponse = 2;

BOOLEAN PacketChecksumHolds(const UCHAR* Packet)
{
    const UCHAR sum = (UCHAR)(Packet[0] + Packet[1] + Packet[2] + Packet[3]);
    return (UCHAR)(sum & PayloadMask) == Packet[4];
}

VOID ApplyLineSpeedCode(PTOUCH_SETTINGS Settings, UCHAR Code)
{
    switch (Code) {
    case 0x81: Settings->BaudRate = 2400; break;
    case 0x82: Settings->BaudRate = 4800; break;
    case 0x83: Settings->BaudRate = 9600; break;
    case 0x84: Settings->BaudRate = 19200; break;
    default: break;
    }
}

BOOLEAN TakeTouchData(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State, UCHAR Byte)
{
    const ULONG index = State->ByteIndex;
    if (index == 0) {
        State->DiscardCount++;
        return FALSE;
    }
    State->Packet[index] = Byte;
    if (index + 1 < PacketLength) {
        State->ByteIndex = index + 1;
        return FALSE;
    }
    State->ByteIndex = 0;
    if (!PacketChecksumHolds(State->Packet)) {
        return FALSE;
    }
    ProcessTouchPacket(Settings, Report, State);
    return TRUE;
}

VOID TakeResponseData(PTOUCH_SETTINGS Settings, PPACKET_STATE State, UCHAR Byte)
{
    const ULONG index = State->ByteIndex;
    if (index == 0) {
        return;
    }
    if (State->ResponseType == ControllerInfoResponse) {
        Settings->ControllerInfo[index - 1] = (UCHAR)(Byte & PayloadMask);
        State->ByteIndex = (index == 4) ? 0 : index + 1;
        return;
    }
    if (State->ResponseType == LineSpeedResponse && index == 1) {
        ApplyLineSpeedCode(Settings, Byte);
    }
    State->ByteIndex = 0;
}

} // namespace

BOOLEAN ParseTouchByteSlowPath(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State, UCHAR Byte)
{
    const ULONG index = State->ByteIndex;
    switch (Byte & ByteClassMask) {
    case TouchDataClass:
        return TakeTouchData(Settings, Report, State, Byte);
    case TouchStartClass:
        if (index == 0) {
            State->Packet[0] = Byte;
            State->ByteIndex = 1;
        } else {
            // An out-of-place start abandons the message and is itself dropped.
            State->DiscardCount++;
            State->ByteIndex = 0;
        }
        return FALSE;
    case ResponseDataClass:
        TakeResponseData(Settings, State, Byte);
        return FALSE;
    default: // response header
        if (index == 0) {
            State->ResponseType = Byte & PayloadMask;
            if (State->ResponseType == ControllerInfoResponse || State->ResponseType == LineSpeedResponse) {
                State->ByteIndex = 1;
            }
        } else {
            State->ByteIndex = 0;
        }
        return FALSE;
    }
}
