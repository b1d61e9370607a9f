// Minimal IRQL bookkeeping; the executive work replaces this file.
#include "internal.h"

namespace {
thread_local KIRQL CurrentIrql = PASSIVE_LEVEL;
}

KIRQL HkIrql()
{
    return CurrentIrql;
}

void HkSetIrql(KIRQL Irql)
{
    CurrentIrql = Irql;
}

void HkRequireIrqlAtMost(KIRQL MaxIrql, const char* Routine)
{
    if (CurrentIrql > MaxIrql) {
        HkBugCheck(HkRule::IrqlNotLessOrEqual, std::string(Routine) + " called at IRQL " +
                                                   std::to_string(CurrentIrql) + ", above " +
                                                   std::to_string(MaxIrql));
    }
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return CurrentIrql;
}
