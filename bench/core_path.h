// The per-byte work of the touch data path without the platform around it:
// framing, pipeline, and the button step of report delivery.
#pragma once

#include "touch_core.h"

#include <cstdint>
#include <cstring>
#include <vector>

struct CorePathState {
    TOUCH_SETTINGS Settings;
    PACKET_STATE Packet;
    MOUSE_INPUT_DATA Report;
};

// Settings as an empty "\Parameters" key leaves them: defaults, multi-monitor
// mapping on, axes as they come.
inline void InitCorePath(CorePathState& State)
{
    std::memset(&State, 0, sizeof(State));
    SetDefaultTouchSettings(&State.Settings);
    State.Settings.MultiMonitor = 1;
    State.Settings.Ltrb = 1;
    State.Settings.BaudRate = 19200;
}

// Returns the number of reports produced, so the work cannot be optimised away.
__attribute__((noinline)) inline uint32_t RunCorePath(CorePathState& State, const uint8_t* Bytes, size_t Count)
{
    uint32_t reports = 0;
    for (size_t i = 0; i < Count; i++) {
        if (ParseTouchByte(&State.Settings, &State.Report, &State.Packet, Bytes[i])) {
            PrepareReportButtons(&State.Report, &State.Packet);
            reports++;
            ClearReportButtons(&State.Report);
        }
    }
    return reports;
}
