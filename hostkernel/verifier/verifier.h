// The stand-in's verifier: a misuse of a kernel service stops the test at
// once, naming the rule and the Driver Verifier bug check it mirrors, as a
// bug check would stop the machine.
#pragma once

#include <cstdint>
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
// spin locks and waits
inline constexpr Rule SpinLockAlreadyOwned{"SPIN_LOCK_ALREADY_OWNED", 0x0F};
inline constexpr Rule SpinLockNotOwned{"SPIN_LOCK_NOT_OWNED", 0x10};
inline constexpr Rule WaitDeadlock{"DRIVER_VERIFIER_DETECTED_VIOLATION", 0xC4};
// pool
inline constexpr Rule BadPoolCaller{"BAD_POOL_CALLER", 0xC2};
inline constexpr Rule SpecialPoolCorruption{"SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", 0xC1};
inline constexpr Rule PoolLeak{"DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", 0xCE};
inline constexpr Rule VerifierViolation{"DRIVER_VERIFIER_DETECTED_VIOLATION", 0xC4};
// objects, timers, remove locks
inline constexpr Rule ReferenceByPointer{"REFERENCE_BY_POINTER", 0x18};
inline constexpr Rule TimerOrDpcInvalid{"TIMER_OR_DPC_INVALID", 0xC7};
inline constexpr Rule RemoveLockViolation{"DRIVER_VERIFIER_DETECTED_VIOLATION", 0xC4};
// handles
inline constexpr Rule InvalidKernelHandle{"INVALID_KERNEL_HANDLE", 0x93};
} // namespace HkRule

// What a verifier stop carries.
class HkVerifierFailure : public std::runtime_error {
public:
    HkVerifierFailure(const HkRule::Rule& Rule, const std::string& Detail);
    std::string RuleName;
    uint32_t BugCheckCode;
    std::string Detail;
};

// Records the violation and throws HkVerifierFailure. A violation raised on
// a thread other than the test's is recorded too, so the test sees it.
[[noreturn]] void HkBugCheck(const HkRule::Rule& Rule, const std::string& Detail);

// Every violation recorded since the last reset, in order.
std::vector<std::string> HkVerifierFailures();
void HkVerifierResetFailures();
