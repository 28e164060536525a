// Verifier: rule violations found by the host kernel. A stop prints
// "VERIFIER STOP <kind>: <details>" and aborts the process, unless a test
// has an HkVerifierCapture in scope, which records it instead (the checked
// operation then returns as harmlessly as it can).
#pragma once

#include <stddef.h>

#include <mutex>
#include <string>
#include <vector>

// One line per kind; add new kinds anywhere before Other.
#define HK_VIOLATION_KINDS(X)    \
    X(IrqlTooHigh)               \
    X(IrqlBadRaise)              \
    X(IrqlBadLower)              \
    X(IrqlTooLow)                \
    X(PagedCodeAtHighIrql)       \
    X(PoolLeak)                  \
    X(DoubleFree)                \
    X(BadPoolFree)               \
    X(WrongPoolTag)              \
    X(PagedPoolAtHighIrql)       \
    X(PoolFreedWithTimer)        \
    X(PoolFreedWithDpc)          \
    X(FastMutexRecursion)        \
    X(FastMutexNotOwner)         \
    X(SpinLockRecursion)         \
    X(SpinLockNotOwner)          \
    X(LockHeldOnReturn)          \
    X(CriticalRegionUnbalanced)  \
    X(WaitAtDispatch)            \
    X(TimerReinitialized)        \
    X(DpcIrqlChanged)            \
    X(DeleteDeviceWithTimer)     \
    X(DeleteDeviceWithDpc)       \
    X(IrpCompletedTwice)         \
    X(IrpCompletedPending)       \
    X(DispatchStatusMismatch)    \
    X(PendingNotMarked)          \
    X(PendingMarkedNotReturned)  \
    X(IrpReturnedNotCompleted)   \
    X(CompletedWithCancelRoutine) \
    X(IrpUsedAfterCompletion)    \
    X(ThreadIrpAtRaisedIrql)     \
    X(WaitBlocksApc)             \
    X(PnpIrpBadStatus)           \
    X(IrpNotPassedDown)          \
    X(RelationListLeak)          \
    X(DeviceDeletedAttached)     \
    X(DeviceDeletedReferenced)   \
    X(RegistryAtHighIrql)        \
    X(InvalidDeviceId)           \
    X(DuplicateInstancePath)     \
    X(InvalidPdo)                \
    X(LockOrder)                 \
    X(AssertFailed)              \
    X(BugCheck)                  \
    X(UninitializedObject)       \
    X(SetEventWithoutWait)       \
    X(PowerIrpNotStarted)        \
    X(PoolOverrun)               \
    X(Other)

enum class HkViolation {
#define HK_VIOLATION_ENUM(name) name,
    HK_VIOLATION_KINDS(HK_VIOLATION_ENUM)
#undef HK_VIOLATION_ENUM
    Count
};

const char* HkViolationName(HkViolation kind);

void HkVerifierStop(HkViolation kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

struct HkVerifierReport {
    HkViolation Kind;
    std::string Text;  // "<kind>: <details>"
};

// Records stops instead of aborting while in scope (any thread's stops).
// Captures nest; the innermost one records.
class HkVerifierCapture {
public:
    HkVerifierCapture();
    ~HkVerifierCapture();
    HkVerifierCapture(const HkVerifierCapture&) = delete;
    HkVerifierCapture& operator=(const HkVerifierCapture&) = delete;

    size_t Count(HkViolation kind) const;
    size_t Count() const;
    std::vector<HkVerifierReport> Reports() const;
    void Clear();

    // Used by the verifier.
    void Record(HkViolation kind, const std::string& text);

private:
    mutable std::mutex mutex_;
    std::vector<HkVerifierReport> reports_;
    HkVerifierCapture* outer_;
};
