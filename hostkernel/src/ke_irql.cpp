// The HAL's and kernel's IRQL and spin lock services, with the checks a
// checked HAL makes as verifier stops.
#include "ke_irql_internal.h"

using namespace hk::irql;

// What PAGED_CODE() expands to: pageable code must run at APC_LEVEL or
// below, which the platform's checked build checks.
void HkCheckPagedCode(const char* Function)
{
    if (HkIrql() > APC_LEVEL) {
        HkBugCheck(HkStop::IrqlNotLessOrEqual::PagedCodeAboveApcLevel,
                   std::string("pageable code ") + Function + " called at IRQL " + std::to_string(HkIrql()) +
                       ", above APC_LEVEL");
    }
}

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return HkIrql();
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = HkIrql();
    if (NewIrql < old) {
        HkBugCheck(HkStop::IrqlNotGreaterOrEqual::RaisedToLowerIrql,
                   "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " + std::to_string(old));
    }
    HkSetIrql(NewIrql);
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > HkIrql()) {
        HkBugCheck(HkStop::IrqlNotLessOrEqual::LoweredToHigherIrql,
                   "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " + std::to_string(HkIrql()));
    }
    HkSetIrql(NewIrql);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    if (SpinLock != CancelSpinLock()) { // the stand-in's own: not a driver's decision point
        HkPassPausePoint("KfAcquireSpinLock", SpinLock);
    }
    TakeSpinLock(SpinLock);
    const KIRQL old = HkIrql();
    HkSetIrql(DISPATCH_LEVEL);
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    GiveUpSpinLock(SpinLock);
    KfLowerIrql(NewIrql);
    if (SpinLock != CancelSpinLock()) {
        HkPassPausePoint("KfReleaseSpinLock.Returned", SpinLock);
    }
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = KfAcquireSpinLock(CancelSpinLock());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KfReleaseSpinLock(CancelSpinLock(), Irql);
}

} // extern "C"
