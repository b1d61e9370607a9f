// Button transitions of a report: the class driver wants edges, the
// pipeline gives levels.
#include "touch_core.h"

namespace {

struct ButtonEdge {
    ULONG Bit;
    USHORT Down;
    USHORT Up;
};

const ButtonEdge ButtonEdges[] = {
    {0x1, MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP},
    {0x2, MOUSE_RIGHT_BUTTON_DOWN, MOUSE_RIGHT_BUTTON_UP},
    {0x4, MOUSE_MIDDLE_BUTTON_DOWN, MOUSE_MIDDLE_BUTTON_UP},
};

} // namespace

VOID PrepareReportButtons(PMOUSE_INPUT_DATA Report, PPACKET_STATE State)
{
    Report->Flags = MOUSE_MOVE_ABSOLUTE;
    const ULONG changed = State->PreviousButtons ^ Report->RawButtons;
    if (changed == 0) {
        return;
    }
    for (const ButtonEdge& edge : ButtonEdges) {
        if ((changed & edge.Bit) != 0) {
            Report->ButtonFlags |= (Report->RawButtons & edge.Bit) != 0 ? edge.Down : edge.Up;
        }
    }
    State->PreviousButtons = Report->RawButtons;
}

VOID ClearReportButtons(PMOUSE_INPUT_DATA Report)
{
    Report->Buttons = 0;
}
