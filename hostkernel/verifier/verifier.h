// The stand-in's verifier: a misuse of a kernel service stops the test at
// once, naming the rule and the Driver Verifier bug check it mirrors, and the
// misuse itself by a subcode, as a bug check would stop the machine with the
// kind of violation in its first parameter.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

// Rule catalogue: each rule is named after the bug check it mirrors.
namespace HkRule {
struct Rule {
    const char* Name;
    uint32_t BugCheck;
};
// requests
inline constexpr Rule IrpCompletedTwice{"MULTIPLE_IRP_COMPLETE_REQUESTS", 0x44};
inline constexpr Rule NoMoreIrpStackLocations{"NO_MORE_IRP_STACK_LOCATIONS", 0x35};
inline constexpr Rule IoManagerViolation{"DRIVER_VERIFIER_IOMANAGER_VIOLATION", 0xC9};
inline constexpr Rule CancelStateInCompletedIrp{"CANCEL_STATE_IN_COMPLETED_IRP", 0x48};
// IRQL and APCs
inline constexpr Rule ApcIndexMismatch{"APC_INDEX_MISMATCH", 0x01};
inline constexpr Rule IrqlNotLessOrEqual{"IRQL_NOT_LESS_OR_EQUAL", 0x0A};
inline constexpr Rule IrqlNotGreaterOrEqual{"IRQL_NOT_GREATER_OR_EQUAL", 0x09};
inline constexpr Rule IrqlMismatchOnReturn{"IRQL_UNEXPECTED_VALUE", 0xC8};
// spin locks
inline constexpr Rule SpinLockAlreadyOwned{"SPIN_LOCK_ALREADY_OWNED", 0x0F};
inline constexpr Rule SpinLockNotOwned{"SPIN_LOCK_NOT_OWNED", 0x10};
// waits, remove locks, pool sizes, registry and string arguments
inline constexpr Rule DetectedViolation{"DRIVER_VERIFIER_DETECTED_VIOLATION", 0xC4};
// pool
inline constexpr Rule BadPoolCaller{"BAD_POOL_CALLER", 0xC2};
inline constexpr Rule SpecialPoolCorruption{"SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", 0xC1};
// objects, timers
inline constexpr Rule ReferenceByPointer{"REFERENCE_BY_POINTER", 0x18};
inline constexpr Rule TimerOrDpcInvalid{"TIMER_OR_DPC_INVALID", 0xC7};
// handles
inline constexpr Rule InvalidKernelHandle{"INVALID_KERNEL_HANDLE", 0x93};

// One misuse: the rule it breaks and the subcode that tells it from that
// rule's other misuses. Subcodes are the stand-in's own numbering, not the
// platform's parameter values; Name is the catalogue's identifier.
struct Misuse {
    const HkRule::Rule* Rule;
    uint32_t Subcode;
    const char* Name;
};
bool operator==(const Misuse& A, const Misuse& B);
std::ostream& operator<<(std::ostream& Out, const Misuse& M);
} // namespace HkRule

// The misuses, by rule; a stop names them as RULE (bug check, subcode Name).
#define HK_MISUSE(Name, Subcode) inline constexpr ::HkRule::Misuse Name{&Broken, Subcode, #Name}
namespace HkStop {

namespace IrpCompletedTwice {
inline constexpr const HkRule::Rule& Broken = HkRule::IrpCompletedTwice;
HK_MISUSE(CompletedAfterFree, 0x01);
HK_MISUSE(CompletedPastTop, 0x02);
HK_MISUSE(CompletedAfterReturnToCreator, 0x03);
} // namespace IrpCompletedTwice

namespace NoMoreIrpStackLocations {
inline constexpr const HkRule::Rule& Broken = HkRule::NoMoreIrpStackLocations;
HK_MISUSE(NoLocationLeft, 0x01);
HK_MISUSE(FewerLocationsThanStack, 0x02);
} // namespace NoMoreIrpStackLocations

namespace IoManagerViolation {
inline constexpr const HkRule::Rule& Broken = HkRule::IoManagerViolation;
// an IRP's life
HK_MISUSE(NotAnIrp, 0x01);
HK_MISUSE(IrpUsedAfterFree, 0x02);
HK_MISUSE(ForeignIrpFreedOrReused, 0x03); // not from IoAllocateIrp
HK_MISUSE(HeldIrpFreedOrReused, 0x04);
HK_MISUSE(IrpFreedOrReusedWithCancelRoutine, 0x05);
// completion
HK_MISUSE(CompletedUnheld, 0x10);
HK_MISUSE(CompletedWithStatusPending, 0x11);
HK_MISUSE(InformationOverOutputBuffer, 0x12);
HK_MISUSE(InformationOverReadLength, 0x13);
HK_MISUSE(InformationOverBuiltOutputBuffer, 0x14);
HK_MISUSE(InformationOverUserBuffer, 0x15);
HK_MISUSE(AllocatedIrpReachedTop, 0x16);
HK_MISUSE(CompletionFreedWithoutMoreProcessing, 0x17);
HK_MISUSE(CompletionDroppedPending, 0x18);
// dispatch
HK_MISUSE(PendingNotMarked, 0x20);
HK_MISUSE(KeptWithoutPending, 0x21);
HK_MISUSE(MarkedPendingReturnedOther, 0x22);
HK_MISUSE(ReturnedOtherThanCompleted, 0x23);
HK_MISUSE(NoDispatchRoutine, 0x24);
// power
HK_MISUSE(PowerViaIoCallDriver, 0x30);
HK_MISUSE(PoCallDriverNotPower, 0x31);
HK_MISUSE(PowerPassedBeforeStartNext, 0x32);
HK_MISUSE(PowerFinishedWithoutStartNext, 0x33);
HK_MISUSE(StartNextAfterLocationLeft, 0x34);
HK_MISUSE(StartNextNotPower, 0x35);
HK_MISUSE(StartNextFromForeignLocation, 0x36);
// devices and their stacks
HK_MISUSE(TargetNotDevice, 0x40);
HK_MISUSE(TargetDeleted, 0x41);
HK_MISUSE(TargetDriverUnloaded, 0x42);
HK_MISUSE(SentAfterLastDereference, 0x43);
HK_MISUSE(LeftDeviceInitializing, 0x44);
HK_MISUSE(CreateForUnloadedDriver, 0x45);
HK_MISUSE(DeleteNotDevice, 0x46);
HK_MISUSE(DeletedTwice, 0x47);
HK_MISUSE(DeleteWithDeviceAbove, 0x48);
HK_MISUSE(DeleteWhileAttached, 0x49);
HK_MISUSE(AttachDeadSource, 0x4A);
HK_MISUSE(AttachOntoDeadTarget, 0x4B);
HK_MISUSE(AttachAlreadyAttached, 0x4C);
HK_MISUSE(AttachOntoItself, 0x4D);
HK_MISUSE(DetachDeadDevice, 0x4E);
HK_MISUSE(DetachNothingAttached, 0x4F);
// found by the peers' models of the serial port
HK_MISUSE(SerialRequestWhileClosed, 0x60);
HK_MISUSE(SerialReadWhileClosed, 0x61);
HK_MISUSE(SerialSecondRead, 0x62);
} // namespace IoManagerViolation

namespace CancelStateInCompletedIrp {
inline constexpr const HkRule::Rule& Broken = HkRule::CancelStateInCompletedIrp;
HK_MISUSE(CompletedWithCancelRoutine, 0x01);
HK_MISUSE(CancelRoutineOnUnheldIrp, 0x02);
} // namespace CancelStateInCompletedIrp

namespace ApcIndexMismatch {
inline constexpr const HkRule::Rule& Broken = HkRule::ApcIndexMismatch;
HK_MISUSE(UnbalancedCriticalRegion, 0x01);
} // namespace ApcIndexMismatch

namespace IrqlNotLessOrEqual {
inline constexpr const HkRule::Rule& Broken = HkRule::IrqlNotLessOrEqual;
HK_MISUSE(CalledAboveMaximumIrql, 0x01);
HK_MISUSE(PagedCodeAboveApcLevel, 0x02);
HK_MISUSE(LoweredToHigherIrql, 0x03);
// found by the peers' model of the mouse class driver
HK_MISUSE(MouseServiceNotAtDispatch, 0x10);
} // namespace IrqlNotLessOrEqual

namespace IrqlNotGreaterOrEqual {
inline constexpr const HkRule::Rule& Broken = HkRule::IrqlNotGreaterOrEqual;
HK_MISUSE(RaisedToLowerIrql, 0x01);
} // namespace IrqlNotGreaterOrEqual

namespace IrqlMismatchOnReturn {
inline constexpr const HkRule::Rule& Broken = HkRule::IrqlMismatchOnReturn;
HK_MISUSE(DispatchRoutineChangedIrql, 0x01);
HK_MISUSE(CompletionRoutineChangedIrql, 0x02);
HK_MISUSE(CancelRoutineChangedIrql, 0x03);
HK_MISUSE(DpcRoutineChangedIrql, 0x04);
HK_MISUSE(QueryRoutineChangedIrql, 0x05);
HK_MISUSE(DriverEntryChangedIrql, 0x06);
HK_MISUSE(AddDeviceChangedIrql, 0x07);
HK_MISUSE(UnloadChangedIrql, 0x08);
} // namespace IrqlMismatchOnReturn

namespace SpinLockAlreadyOwned {
inline constexpr const HkRule::Rule& Broken = HkRule::SpinLockAlreadyOwned;
HK_MISUSE(AcquiredByOwner, 0x01);
} // namespace SpinLockAlreadyOwned

namespace SpinLockNotOwned {
inline constexpr const HkRule::Rule& Broken = HkRule::SpinLockNotOwned;
HK_MISUSE(ReleasedByNonOwner, 0x01);
} // namespace SpinLockNotOwned

namespace DetectedViolation {
inline constexpr const HkRule::Rule& Broken = HkRule::DetectedViolation;
// waits, events and critical regions
HK_MISUSE(EventWaitDeadlock, 0x101);
HK_MISUSE(SpinLockDeadlock, 0x102);
HK_MISUSE(PausePointNeverReleased, 0x103);
HK_MISUSE(SuspendableWaitHoldingRemoveLock, 0x104);
HK_MISUSE(NotAnEvent, 0x105);
HK_MISUSE(EventReinitializedWhileWaited, 0x106);
HK_MISUSE(SetEventWithWait, 0x107);
HK_MISUSE(LeftUnenteredCriticalRegion, 0x108);
// remove locks
HK_MISUSE(RemoveLockSizeWrong, 0x201);
HK_MISUSE(RemoveLockNotInitialized, 0x202);
HK_MISUSE(RemoveLockHeldTooLong, 0x203);
HK_MISUSE(RemoveLockTagNotHeld, 0x204);
HK_MISUSE(RemoveLockReleasedTooOften, 0x205);
HK_MISUSE(RemoveLockDeletedWhileHeld, 0x206);
HK_MISUSE(RemoveLockHeldWhenIdle, 0x207);
HK_MISUSE(RemoveLockHighWatermarkInvalid, 0x208);
HK_MISUSE(RemoveLockReinitializedAfterWait, 0x209);
HK_MISUSE(RemoveLockReinitializedWhileHeld, 0x20A);
HK_MISUSE(RemoveLockAboveHighWatermark, 0x20B);
HK_MISUSE(RemoveLockWaitedTwice, 0x20C);
HK_MISUSE(RemoveLockHeldAfterWait, 0x20D);
// pool requests
HK_MISUSE(MustSucceedPool, 0x301);
HK_MISUSE(ZeroByteAllocation, 0x302);
// registry: direct stores, then arguments the stand-in refuses
HK_MISUSE(DirectStringIntoSmallBlock, 0x401);
HK_MISUSE(DirectStringOverrun, 0x402);
HK_MISUSE(DirectRawValueOverrun, 0x403);
HK_MISUSE(DirectSizeWordOverrun, 0x404);
HK_MISUSE(DirectHeaderlessDataOverrun, 0x405);
HK_MISUSE(DirectHeaderAndDataOverrun, 0x406);
HK_MISUSE(DirectEntryWithoutContext, 0x407);
HK_MISUSE(DirectStringWithoutBuffer, 0x408);
HK_MISUSE(DefaultWithoutData, 0x409);
HK_MISUSE(QueryTableMissing, 0x40A);
HK_MISUSE(QueryFlagsUnsupported, 0x40B);
HK_MISUSE(OpenKeyArgumentMissing, 0x40C);
HK_MISUSE(OpenKeyNameWithoutBuffer, 0x40D);
HK_MISUSE(QueryValueClassUnsupported, 0x40E);
HK_MISUSE(QueryValueArgumentMissing, 0x40F);
// counted strings
HK_MISUSE(StringTooLong, 0x501);
HK_MISUSE(StringLengthOverMaximum, 0x502);
} // namespace DetectedViolation

namespace BadPoolCaller {
inline constexpr const HkRule::Rule& Broken = HkRule::BadPoolCaller;
HK_MISUSE(InvalidPoolType, 0x01);
HK_MISUSE(FreedNull, 0x02);
HK_MISUSE(FreedTwice, 0x03);
HK_MISUSE(FreedNonPoolAddress, 0x04);
HK_MISUSE(FreedWithWrongTag, 0x05);
HK_MISUSE(FreedTwiceAtOnce, 0x06);
} // namespace BadPoolCaller

namespace SpecialPoolCorruption {
inline constexpr const HkRule::Rule& Broken = HkRule::SpecialPoolCorruption;
HK_MISUSE(WriteBeforeBlock, 0x01);
HK_MISUSE(WritePastBlock, 0x02);
HK_MISUSE(WriteAfterFree, 0x03);
} // namespace SpecialPoolCorruption

namespace ReferenceByPointer {
inline constexpr const HkRule::Rule& Broken = HkRule::ReferenceByPointer;
HK_MISUSE(ReferencedClosedFile, 0x01);
HK_MISUSE(ReferencedNonObject, 0x02);
HK_MISUSE(DereferencedUnreferencedFile, 0x03);
HK_MISUSE(DereferencedUnreferencedDevice, 0x04);
HK_MISUSE(DereferencedUnreferencedDriver, 0x05);
HK_MISUSE(DereferencedNonObject, 0x06);
} // namespace ReferenceByPointer

namespace TimerOrDpcInvalid {
inline constexpr const HkRule::Rule& Broken = HkRule::TimerOrDpcInvalid;
HK_MISUSE(NotATimer, 0x01);
HK_MISUSE(NotADpc, 0x02);
HK_MISUSE(TimerReinitializedWhilePending, 0x03);
HK_MISUSE(DpcReinitializedWhileQueued, 0x04);
HK_MISUSE(FreedWithTimerPending, 0x05);
HK_MISUSE(FreedWithDpcQueued, 0x06);
HK_MISUSE(FreedWithDpcRunning, 0x07);
} // namespace TimerOrDpcInvalid

namespace InvalidKernelHandle {
inline constexpr const HkRule::Rule& Broken = HkRule::InvalidKernelHandle;
HK_MISUSE(NotAKeyHandle, 0x01);
} // namespace InvalidKernelHandle

} // namespace HkStop
#undef HK_MISUSE

// What a verifier stop carries.
class HkVerifierFailure : public std::runtime_error {
public:
    HkVerifierFailure(const HkRule::Misuse& Misuse, const std::string& Detail);
    HkRule::Misuse Misuse;
    std::string RuleName;
    uint32_t BugCheckCode;
    std::string Detail;
};

// Records the violation and throws HkVerifierFailure. A violation raised on
// a thread other than the test's is recorded too, so the test sees it.
[[noreturn]] void HkBugCheck(const HkRule::Misuse& Misuse, const std::string& Detail);
// For code outside the stand-in that has not named its misuse yet: the stop
// carries subcode 0, Unclassified.
[[noreturn]] void HkBugCheck(const HkRule::Rule& Rule, const std::string& Detail);

// Every violation recorded since the last reset, in order.
std::vector<HkVerifierFailure> HkVerifierFailures();
void HkVerifierResetFailures();
