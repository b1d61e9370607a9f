// Touch click: a short tone on the PC speaker at touch-down, from interval
// timer channel 2 gated through the system control port.
#include "touch_core.h"

namespace {

const ULONG HundredNsPerMs = 10000;

PUCHAR Port(ULONG Number)
{
    return (PUCHAR)(ULONG_PTR)Number;
}

} // namespace

VOID ProgramSpeakerTone(const TOUCH_SETTINGS* Settings)
{
    const USHORT divisor = Settings->BeepDivisor;
    WRITE_PORT_UCHAR(Port(SPEAKER_TIMER_COMMAND_PORT), SPEAKER_TIMER_CHANNEL2_SQUARE_WAVE);
    WRITE_PORT_UCHAR(Port(SPEAKER_TIMER_COUNT_PORT), (UCHAR)(divisor & 0xFF));
    WRITE_PORT_UCHAR(Port(SPEAKER_TIMER_COUNT_PORT), (UCHAR)(divisor >> 8));
}

VOID SpeakerOn(VOID)
{
    const UCHAR gate = READ_PORT_UCHAR(Port(SPEAKER_GATE_PORT));
    WRITE_PORT_UCHAR(Port(SPEAKER_GATE_PORT), (UCHAR)(gate | SPEAKER_GATE_BITS));
}

VOID SpeakerOff(VOID)
{
    const UCHAR gate = READ_PORT_UCHAR(Port(SPEAKER_GATE_PORT));
    WRITE_PORT_UCHAR(Port(SPEAKER_GATE_PORT), (UCHAR)(gate & ~SPEAKER_GATE_BITS));
}

VOID StartTouchClick(PTOUCH_SETTINGS Settings)
{
    KeQuerySystemTime(&Settings->BeepStartTime);
    ProgramSpeakerTone(Settings);
    SpeakerOn();
}

// Only the low 32 bits of the system time take part, so the difference is
// taken modulo 2^32 and survives the wrap every 429 seconds.
VOID StopTouchClickIfDue(PTOUCH_SETTINGS Settings)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const ULONG elapsed = now.LowPart - Settings->BeepStartTime.LowPart;
    const ULONG limit = Settings->BeepDurationMs * HundredNsPerMs;
    if (elapsed > limit) {
        SpeakerOff();
    }
}

VOID SpeakerOffTimerExpired(const TOUCH_SETTINGS* Settings)
{
    if (Settings->BeepEnabled != 0) {
        SpeakerOff();
    }
}
