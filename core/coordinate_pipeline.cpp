// Coordinate pipeline: one valid touch packet becomes the position and
// button state of one absolute report. All arithmetic is 32-bit
// two's-complement, done in ULONG so that it wraps instead of overflowing.
#include "fixed_point.h"
#include "touch_core.h"

namespace {

const ULONG ScreenMaximum = 0xFFFF;
const ULONG QuantisationMask = 0xFFFFFFC0u;

ULONG RawCoordinate(UCHAR High, UCHAR Low)
{
    return ((ULONG)(High & 0x3F) << 10) | ((ULONG)(Low & 0x3F) << 4);
}

ULONG Clamp(ULONG Value)
{
    if ((LONG)Value < 0) {
        return 0;
    }
    return Value > ScreenMaximum ? ScreenMaximum : Value;
}

ULONG CalibrateX(const TOUCH_SETTINGS* Settings, ULONG A)
{
    ULONG scaled = (ULONG)Settings->ScaleXInteger * A + SignedShift16((ULONG)Settings->ScaleXFraction * A);
    if (Settings->InvertX == 1) {
        scaled = 0u - scaled;
    }
    return Clamp(scaled + (ULONG)Settings->OffsetX);
}

ULONG CalibrateY(const TOUCH_SETTINGS* Settings, ULONG B)
{
    ULONG scaled = SignedDivide65536((ULONG)Settings->ScaleYFraction * B) + (ULONG)Settings->ScaleYInteger * B;
    if (Settings->InvertY == 1) {
        scaled = 0u - scaled;
    }
    return Clamp(scaled + (ULONG)Settings->OffsetY);
}

ULONG Filter(const TOUCH_SETTINGS* Settings, USHORT PrevOutput, USHORT PrevInput, ULONG Current)
{
    return UnsignedShift16((ULONG)PrevOutput * Settings->FilterWeightPrevOutput) +
           SignedShift16((ULONG)PrevInput * Settings->FilterWeightPrevInput) +
           SignedShift16((ULONG)Settings->FilterWeightCurrent * Current);
}

// A zero divisor leaves the axis unmapped, so the pointer stays where the
// touch screen itself puts it instead of the driver faulting.
ULONG MapAxis(ULONG Value, LONG Origin, LONG Extent, LONG PrimaryExtent)
{
    if (PrimaryExtent == 0) {
        return Value;
    }
    const ULONG numerator = (ULONG)Extent * Value + (ULONG)Origin * 65536u;
    return SignedDivideWrapping(numerator, PrimaryExtent);
}

VOID WriteReport(PMOUSE_INPUT_DATA Report, ULONG Buttons, ULONG X, ULONG Y)
{
    Report->RawButtons = Buttons;
    Report->LastX = (LONG)X;
    Report->LastY = (LONG)Y;
}

// What a packet asks of the touch click. The click runs after the position
// is computed, which keeps the arithmetic a leaf routine; nothing in the
// position depends on the click.
enum ClickStep { NoClickStep, ClickStarts, ClickMayEnd, ClickEnds };

ClickStep ComputePosition(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State)
{
    const UCHAR* packet = State->Packet;
    const ULONG rawX = RawCoordinate(packet[0], packet[1]);
    const ULONG rawY = RawCoordinate(packet[2], packet[3]);

    if (rawX == 0 && rawY == 0) { // release
        State->Touching = 0;
        WriteReport(Report, 0, State->LastX, State->LastY);
        return ClickEnds;
    }

    ULONG a = rawX;
    ULONG b = rawY;
    if (Settings->Ltrb == 0) { // axes exchanged and both reversed
        a = ScreenMaximum - rawY;
        b = ScreenMaximum - rawX;
    }
    const ULONG x = CalibrateX(Settings, a);
    const ULONG y = CalibrateY(Settings, b);

    ClickStep click;
    ULONG fx = x;
    ULONG fy = y;
    if (State->Touching == 0) {
        State->Touching = 1;
        State->FirstSample = 1;
        click = ClickStarts;
    } else {
        State->FirstSample = 0;
        fx = Filter(Settings, Settings->FilterPrevOutputX, Settings->FilterPrevInputX, x);
        fy = Filter(Settings, Settings->FilterPrevOutputY, Settings->FilterPrevInputY, y);
        click = ClickMayEnd;
    }
    Settings->FilterPrevInputX = (USHORT)x;
    Settings->FilterPrevOutputX = (USHORT)fx;
    Settings->FilterPrevInputY = (USHORT)y;
    Settings->FilterPrevOutputY = (USHORT)fy;

    ULONG mx = fx;
    ULONG my = fy;
    if (Settings->MultiMonitor != 0) {
        mx = MapAxis(fx, Settings->TouchMonitorOx, Settings->TouchMonitorWidth, Settings->PrimaryMonitorWidth);
        my = MapAxis(fy, Settings->TouchMonitorOy, Settings->TouchMonitorHeight, Settings->PrimaryMonitorHeight);
    }
    if (State->FirstSample == 0) {
        mx = (State->LastX + mx) >> 1;
        my = (State->LastY + my) >> 1;
    }
    mx &= QuantisationMask;
    my &= QuantisationMask;

    State->LastX = mx;
    State->LastY = my;
    WriteReport(Report, Settings->ButtonMode, mx, my);
    return click;
}

} // namespace

VOID ProcessTouchPacket(PTOUCH_SETTINGS Settings, PMOUSE_INPUT_DATA Report, PPACKET_STATE State)
{
    const ClickStep click = ComputePosition(Settings, Report, State);
    if (Settings->BeepEnabled == 0) {
        return;
    }
    switch (click) {
    case ClickStarts: StartTouchClick(Settings); break;
    case ClickMayEnd: StopTouchClickIfDue(Settings); break;
    case ClickEnds: SpeakerOff(); break;
    default: break;
    }
}
