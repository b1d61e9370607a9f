// Touch click: a short tone on the PC speaker at touch-down, from interval
// timer channel 2 gated through the system control port.
#include "touch_core.h"

namespace {

const ULONG HundredNsPerMs = 10000;

// The speaker is one per machine, and its sequences are read-modify-write
// (port 0x61) or multi-byte (the timer count): interleaved from the read
// completion, the timer routine and a control request on different
// processors they could leave the tone sounding or mis-programmed. A
// zero-filled spin lock is an initialised one.
KSPIN_LOCK SpeakerPortLock;
// Under SpeakerPortLock: this driver set the gate bits and has not cleared
// them since, so removal knows to silence the speaker whatever the click
// setting says by then.
BOOLEAN SpeakerSetByDriver;

PUCHAR Port(ULONG Number)
{
    return (PUCHAR)(ULONG_PTR)Number;
}

VOID WriteTone(USHORT Divisor)
{
    WRITE_PORT_UCHAR(Port(SPEAKER_TIMER_COMMAND_PORT), SPEAKER_TIMER_CHANNEL2_SQUARE_WAVE);
    WRITE_PORT_UCHAR(Port(SPEAKER_TIMER_COUNT_PORT), (UCHAR)(Divisor & 0xFF));
    WRITE_PORT_UCHAR(Port(SPEAKER_TIMER_COUNT_PORT), (UCHAR)(Divisor >> 8));
}

VOID ChangeGate(UCHAR Set, UCHAR Keep)
{
    const UCHAR gate = READ_PORT_UCHAR(Port(SPEAKER_GATE_PORT));
    WRITE_PORT_UCHAR(Port(SPEAKER_GATE_PORT), (UCHAR)((gate & Keep) | Set));
    SpeakerSetByDriver = Set != 0;
}

} // namespace

VOID ProgramSpeakerTone(const TOUCH_SETTINGS* Settings)
{
    KIRQL irql;
    KeAcquireSpinLock(&SpeakerPortLock, &irql);
    WriteTone(Settings->BeepDivisor);
    KeReleaseSpinLock(&SpeakerPortLock, irql);
}

VOID SpeakerOn(VOID)
{
    KIRQL irql;
    KeAcquireSpinLock(&SpeakerPortLock, &irql);
    ChangeGate(SPEAKER_GATE_BITS, 0xFF);
    KeReleaseSpinLock(&SpeakerPortLock, irql);
}

VOID SpeakerOff(VOID)
{
    KIRQL irql;
    KeAcquireSpinLock(&SpeakerPortLock, &irql);
    ChangeGate(0, (UCHAR)~SPEAKER_GATE_BITS);
    KeReleaseSpinLock(&SpeakerPortLock, irql);
}

// The click setting is looked at under the lock that SetClickEnabled stores
// it under: a click switched off meanwhile does not start after it.
VOID StartTouchClick(PTOUCH_SETTINGS Settings)
{
    KIRQL irql;
    KeAcquireSpinLock(&SpeakerPortLock, &irql);
    if (Settings->BeepEnabled != 0) {
        KeQuerySystemTime(&Settings->BeepStartTime);
        WriteTone(Settings->BeepDivisor);
        ChangeGate(SPEAKER_GATE_BITS, 0xFF);
    }
    KeReleaseSpinLock(&SpeakerPortLock, irql);
}

// Clearing the click while one sounds switches the speaker off: nothing else
// would, since every off path leaves the ports alone once the click is off.
VOID SetClickEnabled(PTOUCH_SETTINGS Settings, UCHAR Enabled)
{
    KIRQL irql;
    KeAcquireSpinLock(&SpeakerPortLock, &irql);
    const UCHAR wasEnabled = Settings->BeepEnabled;
    Settings->BeepEnabled = Enabled;
    if (wasEnabled != 0 && Enabled == 0) {
        ChangeGate(0, (UCHAR)~SPEAKER_GATE_BITS);
    }
    KeReleaseSpinLock(&SpeakerPortLock, irql);
}

VOID SilenceSpeakerIfSetByDriver(VOID)
{
    KIRQL irql;
    KeAcquireSpinLock(&SpeakerPortLock, &irql);
    if (SpeakerSetByDriver) {
        ChangeGate(0, (UCHAR)~SPEAKER_GATE_BITS);
    }
    KeReleaseSpinLock(&SpeakerPortLock, irql);
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
