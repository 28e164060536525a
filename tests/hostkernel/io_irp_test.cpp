// I/O manager: driver objects, device objects, stacks and deletion; sending
// IRPs down a stack, completion routines, the default dispatch entry,
// synchronous requests and the verifier's dispatch checks.
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "io_test_support.h"

using namespace iotest;

namespace {

class IoIrpTest : public HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        order.clear();
        bottomDriver = LoadDriver(L"bottom");
        middleDriver = LoadDriver(L"middle");
        topDriver = LoadDriver(L"top");
        bottom = MakeDevice(bottomDriver, L"\\Device\\Bottom");
        middle = AttachNew(middleDriver, bottom);
        top = AttachNew(topDriver, middle);
    }
    void TearDown() override {
        DestroyStack(top);
        HkIoUnloadDriver(topDriver);
        HkIoUnloadDriver(middleDriver);
        HkIoUnloadDriver(bottomDriver);
        HostKernelTest::TearDown();
    }

    // A PnP IRP for the whole stack, built the way drivers build one.
    PIRP BuildIrp() {
        iosb = {};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
        EXPECT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        return irp;
    }

    // A PnP IRP of the test's own for the bottom device, with `routine` for
    // its end.
    PIRP OwnIrp(PIO_COMPLETION_ROUTINE routine, PVOID context = nullptr) {
        PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
        return irp;
    }

    static std::vector<std::string> order;
    PDRIVER_OBJECT bottomDriver, middleDriver, topDriver;
    PDEVICE_OBJECT bottom, middle, top;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
};
std::vector<std::string> IoIrpTest::order;

struct CompletionProbe {
    const char* Name;
    std::vector<std::string>* Order;
    PDEVICE_OBJECT Device;
    BOOLEAN PendingReturned;
    NTSTATUS Result;
    PKEVENT Event;
};

NTSTATUS ProbeRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* probe = static_cast<CompletionProbe*>(context);
    probe->Order->push_back(probe->Name);
    probe->Device = device;
    probe->PendingReturned = irp->PendingReturned;
    if (probe->Event) {
        KeSetEvent(probe->Event, IO_NO_INCREMENT, FALSE);
    }
    // A routine that lets completion go on carries the pending mark up to
    // its own location.
    if (irp->PendingReturned && probe->Result != STATUS_MORE_PROCESSING_REQUIRED) {
        IoMarkIrpPending(irp);
    }
    return probe->Result;
}

CompletionProbe* g_topProbe;
CompletionProbe* g_middleProbe;

template <CompletionProbe** Probe>
NTSTATUS ForwardWithProbe(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeRoutine, *Probe, TRUE, TRUE, TRUE);
    return IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
}

NTSTATUS BottomSucceeds(PDEVICE_OBJECT, PIRP irp) {
    return CompleteWith(irp, STATUS_SUCCESS, 7);
}

TEST_F(IoIrpTest, CompletionRoutinesRunBottomUpWithTheirOwnDevice) {
    CompletionProbe topProbe = {"top", &order, nullptr, FALSE, STATUS_CONTINUE_COMPLETION, nullptr};
    CompletionProbe middleProbe = {"middle", &order, nullptr, FALSE, STATUS_CONTINUE_COMPLETION, nullptr};
    g_topProbe = &topProbe;
    g_middleProbe = &middleProbe;
    topDriver->MajorFunction[IRP_MJ_PNP] = ForwardWithProbe<&g_topProbe>;
    middleDriver->MajorFunction[IRP_MJ_PNP] = ForwardWithProbe<&g_middleProbe>;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;

    PIRP irp = BuildIrp();
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], "middle");
    EXPECT_EQ(order[1], "top");
    // A routine runs in the location of the driver that set it.
    EXPECT_EQ(middleProbe.Device, middle);
    EXPECT_EQ(topProbe.Device, top);
    // The thread IRP ends with the caller's status block and event.
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

NTSTATUS g_waitedStatus;

NTSTATUS TopForwardsAndWaits(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    g_topProbe->Event = &event;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeRoutine, g_topProbe, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    g_waitedStatus = irp->IoStatus.Status;
    // The IRP is ours again: finish it with a status of our own.
    return CompleteWith(irp, STATUS_DEVICE_BUSY, 0);
}

TEST_F(IoIrpTest, MoreProcessingRequiredHandsTheIrpBack) {
    CompletionProbe topProbe = {"top", &order, nullptr, FALSE, STATUS_MORE_PROCESSING_REQUIRED, nullptr};
    CompletionProbe middleProbe = {"middle", &order, nullptr, FALSE, STATUS_CONTINUE_COMPLETION, nullptr};
    g_topProbe = &topProbe;
    g_middleProbe = &middleProbe;
    topDriver->MajorFunction[IRP_MJ_PNP] = TopForwardsAndWaits;
    middleDriver->MajorFunction[IRP_MJ_PNP] = ForwardWithProbe<&g_middleProbe>;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;

    PIRP irp = BuildIrp();
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_DEVICE_BUSY);
    EXPECT_EQ(g_waitedStatus, STATUS_SUCCESS);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[1], "top");
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
}

TEST_F(IoIrpTest, InvokeFlagsSelectTheRoutines) {
    CompletionProbe onSuccess = {"success", &order, nullptr, FALSE, STATUS_CONTINUE_COMPLETION, nullptr};
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        return CompleteWith(irp, STATUS_UNSUCCESSFUL);
    };
    PIRP irp = BuildIrp();
    // The request's originator sets a routine for success only: an error
    // skips it.
    IoSetCompletionRoutine(irp, ProbeRoutine, &onSuccess, TRUE, FALSE, FALSE);
    topDriver->MajorFunction[IRP_MJ_PNP] = PassDown;
    middleDriver->MajorFunction[IRP_MJ_PNP] = PassDown;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);

    // Invoke-on-error runs it, with no device for the originator's location.
    CompletionProbe onError = {"error", &order, top, FALSE, STATUS_CONTINUE_COMPLETION, nullptr};
    irp = BuildIrp();
    IoSetCompletionRoutine(irp, ProbeRoutine, &onError, FALSE, TRUE, FALSE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(order.size(), 1u);
    EXPECT_EQ(onError.Device, nullptr);
}

NTSTATUS PendingMiddle(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSkipCurrentIrpStackLocation(irp);
    IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
    return STATUS_PENDING;
}

TEST_F(IoIrpTest, PendingReturnedReachesTheRoutineAbove) {
    CompletionProbe topProbe = {"top", &order, nullptr, FALSE, STATUS_CONTINUE_COMPLETION, nullptr};
    g_topProbe = &topProbe;
    topDriver->MajorFunction[IRP_MJ_PNP] = ForwardWithProbe<&g_topProbe>;
    middleDriver->MajorFunction[IRP_MJ_PNP] = PendingMiddle;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
    PIRP irp = BuildIrp();
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_TRUE(topProbe.PendingReturned);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(IoIrpTest, UnsetEntriesFailWithInvalidDeviceRequest) {
    PIRP irp = BuildIrp();
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IoIrpTest, DeviceIoControlRequestCopiesBackOnlyInformationBytes) {
    bottomDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        buffer[0] = static_cast<UCHAR>(buffer[0] + 1);
        buffer[1] = 0x42;
        return CompleteWith(irp, STATUS_SUCCESS, 1);
    };
    topDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
    middleDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
    UCHAR input[1] = {5};
    UCHAR output[4] = {0, 0, 0, 0};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), top,
                                             input, 1, output, 4, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(output[0], 6);
    EXPECT_EQ(output[1], 0);
    EXPECT_EQ(iosb.Information, 1u);
}

// ---------------------------------------------------------------- verifier checks

FAST_MUTEX g_mutex;

// Each row: a bottom driver that breaks one rule, the stop it gets, and what
// puts the thread right again.
TEST_F(IoIrpTest, DispatchRuleBreaksAreStops) {
    const struct {
        PDRIVER_DISPATCH Bottom;
        HkViolation Expected;
        void (*Undo)();
    } cases[] = {
        {[](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         },
         HkViolation::IrpCompletedTwice, [] {}},
        {[](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return CompleteWith(irp, STATUS_SUCCESS);
         },
         HkViolation::IrpCompletedPending, [] {}},
        {[](PDEVICE_OBJECT, PIRP irp) {
             CompleteWith(irp, STATUS_SUCCESS);
             return STATUS_UNSUCCESSFUL;
         },
         HkViolation::DispatchStatusMismatch, [] {}},
        {[](PDEVICE_OBJECT, PIRP irp) {
             ExAcquireFastMutex(&g_mutex);
             return CompleteWith(irp, STATUS_SUCCESS);
         },
         HkViolation::LockHeldOnReturn, [] { ExReleaseFastMutex(&g_mutex); }},
        {[](PDEVICE_OBJECT, PIRP irp) {
             KeEnterCriticalRegion();
             return CompleteWith(irp, STATUS_SUCCESS);
         },
         HkViolation::CriticalRegionUnbalanced, [] { KeLeaveCriticalRegion(); }},
        {[](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old);
             return CompleteWith(irp, STATUS_SUCCESS);
         },
         HkViolation::IrqlTooHigh, [] { KeLowerIrql(PASSIVE_LEVEL); }},
        {[](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
             return CompleteWith(irp, STATUS_SUCCESS);
         },
         HkViolation::CompletedWithCancelRoutine, [] {}},
    };
    ExInitializeFastMutex(&g_mutex);
    for (const auto& c : cases) {
        bottomDriver->MajorFunction[IRP_MJ_PNP] = c.Bottom;
        HkVerifierCapture capture;
        IoCallDriver(bottom, BuildIrp());
        EXPECT_EQ(capture.Count(c.Expected), 1u) << static_cast<int>(c.Expected);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << static_cast<int>(c.Expected);
        c.Undo();
    }
}

template <NTSTATUS Result>
NTSTATUS FreeIrpAnd(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return Result;
}

TEST_F(IoIrpTest, AllocatedIrpsAreReclaimedByTheirSender) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
    EXPECT_EQ(IoCallDriver(bottom, OwnIrp(FreeIrpAnd<STATUS_MORE_PROCESSING_REQUIRED>)), STATUS_SUCCESS);
    EXPECT_EQ(HkIoLiveIrpCount(), 0u);

    HkFaultFailNth(HkFault::IrpAllocate, 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

// ---------------------------------------------------------------- the pending protocol

PIRP g_held;

NTSTATUS HoldMarked(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}

NTSTATUS HoldUnmarked(PDEVICE_OBJECT, PIRP irp) {
    g_held = irp;
    return STATUS_PENDING;
}

NTSTATUS HoldReturningSuccess(PDEVICE_OBJECT, PIRP irp) {
    g_held = irp;
    return STATUS_SUCCESS;
}

NTSTATUS CompleteReturningPending(PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
}

NTSTATUS MarkCompleteReturningSuccess(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS ContinueCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS CarryPendingMark(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

template <PIO_COMPLETION_ROUTINE Routine>
NTSTATUS ForwardWith(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Routine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
}

NTSTATUS MarkAndSkip(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    PassDown(device, irp);
    return STATUS_PENDING;
}

struct PendingCase {
    const char* Name;
    PDRIVER_DISPATCH Top, Middle, Bottom;
    bool CompleteLater;  // the test completes the held IRP after the call
    HkViolation Expected;  // Count: no stop
};

// Each row: one IRP down the three drivers; the stop expected once, or none.
TEST_F(IoIrpTest, PendingProtocol) {
    const PendingCase cases[] = {
        {"held marked", PassDown, PassDown, HoldMarked, true, HkViolation::Count},
        {"held unmarked", PassDown, PassDown, HoldUnmarked, true, HkViolation::PendingNotMarked},
        {"completed, returned pending unmarked", PassDown, PassDown, CompleteReturningPending, false,
         HkViolation::PendingNotMarked},
        {"marked, completed, returned success", PassDown, PassDown, MarkCompleteReturningSuccess, false,
         HkViolation::PendingMarkedNotReturned},
        {"routine above drops the mark", ForwardWith<ContinueCompletion>, PassDown, HoldMarked, true,
         HkViolation::PendingNotMarked},
        {"routine above carries the mark", ForwardWith<CarryPendingMark>, PassDown, HoldMarked, true,
         HkViolation::Count},
        {"marked above, skipped, completed below", PassDown, MarkAndSkip, BottomSucceeds, false,
         HkViolation::Count},
        {"returned success uncompleted", PassDown, PassDown, HoldReturningSuccess, true,
         HkViolation::IrpReturnedNotCompleted},
    };
    for (const PendingCase& c : cases) {
        topDriver->MajorFunction[IRP_MJ_PNP] = c.Top;
        middleDriver->MajorFunction[IRP_MJ_PNP] = c.Middle;
        bottomDriver->MajorFunction[IRP_MJ_PNP] = c.Bottom;
        g_held = nullptr;
        HkVerifierCapture capture;
        NTSTATUS status = IoCallDriver(top, BuildIrp());
        if (c.CompleteLater) {
            ASSERT_NE(g_held, nullptr) << c.Name;
            CompleteWith(g_held, STATUS_SUCCESS);
        }
        if (status == STATUS_PENDING) {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        }
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << c.Name;
        size_t expected = c.Expected == HkViolation::Count ? 0u : 1u;
        EXPECT_EQ(capture.Count(), expected) << c.Name;
        if (expected) {
            EXPECT_EQ(capture.Count(c.Expected), 1u) << c.Name;
        }
    }
}

// ---------------------------------------------------------------- the end of an IRP

bool g_completedAfterComplete;

// Completes, then touches the IRP the way drivers get wrong.
NTSTATUS CompleteThenStartNextPowerIrp(PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    g_completedAfterComplete = HkIoIrpCompleted(irp);
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS KeepForOwner(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoIrpTest, TouchingAnIrpAfterItsCompletionIsCaught) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = CompleteThenStartNextPowerIrp;
    // A threaded IRP completed in its own thread at PASSIVE_LEVEL is freed
    // (and poisoned) before IoCompleteRequest returns.
    {
        HkVerifierCapture capture;
        g_completedAfterComplete = false;
        PIRP irp = BuildIrp();
        EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
        EXPECT_TRUE(g_completedAfterComplete);
        EXPECT_EQ(capture.Count(HkViolation::IrpUsedAfterCompletion), 1u);
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_TRUE(__asan_address_is_poisoned(&irp->IoStatus));
#endif
    }
    // An IRP its sender keeps past completion, as the PnP and power managers
    // do, is back with its owner: the driver may not touch it either.
    {
        HkVerifierCapture capture;
        g_completedAfterComplete = false;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = OwnIrp(KeepForOwner, &done);
        IoCallDriver(bottom, irp);
        EXPECT_TRUE(g_completedAfterComplete);
        EXPECT_EQ(capture.Count(HkViolation::IrpUsedAfterCompletion), 1u);
        IoFreeIrp(irp);
    }
    // A completion routine that frees the IRP must stop the completion.
    {
        HkVerifierCapture capture;
        bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
        IoCallDriver(bottom, OwnIrp(FreeIrpAnd<STATUS_CONTINUE_COMPLETION>));
        EXPECT_EQ(capture.Count(HkViolation::IrpUsedAfterCompletion), 1u);
    }
}

TEST_F(IoIrpTest, PnpRequestsStartAsNotSupported) {
    topDriver->MajorFunction[IRP_MJ_PNP] = PassDown;
    middleDriver->MajorFunction[IRP_MJ_PNP] = PassDown;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
    HkVerifierCapture capture;
    IoCallDriver(top, BuildIrp());
    EXPECT_EQ(capture.Count(), 0u);
    PIRP irp = BuildIrp();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCallDriver(top, irp);
    // Once, at the sender: drivers passing it on are not the sender.
    EXPECT_EQ(capture.Count(HkViolation::PnpIrpBadStatus), 1u);
    EXPECT_EQ(capture.Count(), 1u);
}

// ---------------------------------------------------------------- threaded IRPs and APC_LEVEL

FAST_MUTEX g_apcMutex;

TEST_F(IoIrpTest, ThreadedIrpsBelongToPassiveLevel) {
    ExInitializeFastMutex(&g_apcMutex);
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
    {
        // Built under a fast mutex.
        HkVerifierCapture capture;
        ExAcquireFastMutex(&g_apcMutex);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, bottom, nullptr, 0, nullptr, &event, &iosb);
        ExReleaseFastMutex(&g_apcMutex);
        EXPECT_EQ(capture.Count(HkViolation::ThreadIrpAtRaisedIrql), 1u);
        IoFreeIrp(irp);
    }
    {
        // Sent under a fast mutex: its end waits for the APC, which waits for
        // the mutex to go; the status block is still untouched until then.
        HkVerifierCapture capture;
        PIRP irp = BuildIrp();
        iosb.Status = STATUS_UNSUCCESSFUL;
        ExAcquireFastMutex(&g_apcMutex);
        EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(HkThreadApcsQueued(), 1u);
        ExReleaseFastMutex(&g_apcMutex);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(capture.Count(HkViolation::ThreadIrpAtRaisedIrql), 1u);
    }
    {
        // Sent at PASSIVE_LEVEL, waited for under a fast mutex: on Windows the
        // wait never ends.
        HkVerifierCapture capture;
        bottomDriver->MajorFunction[IRP_MJ_PNP] = HoldMarked;
        PIRP irp = BuildIrp();
        EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
        ExAcquireFastMutex(&g_apcMutex);
        CompleteWith(g_held, STATUS_SUCCESS);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ExReleaseFastMutex(&g_apcMutex);
        EXPECT_EQ(capture.Count(HkViolation::WaitBlocksApc), 1u);
        EXPECT_EQ(capture.Count(), 1u);
    }
}

class IoDeviceTest : public HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        driver = LoadDriver(L"sample");
    }
    void TearDown() override {
        if (driver) {
            HkIoUnloadDriver(driver);
        }
        HostKernelTest::TearDown();
    }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(IoDeviceTest, DriverObjectComesWithDefaultsAndName) {
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(HkIoFindDriver(L"sample"), driver);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(driver->DriverName.Buffer), driver->DriverName.Length / 2),
              u"\\Driver\\sample");
    ASSERT_NE(driver->DriverExtension, nullptr);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    for (auto dispatch : driver->MajorFunction) {
        EXPECT_EQ(dispatch, &HkIoInvalidDeviceRequest);
    }
    PDRIVER_OBJECT twin = nullptr;
    EXPECT_EQ(HkIoCreateDriver(L"sample", EmptyEntry, nullptr, &twin), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(twin, nullptr);
    HkIoUnloadDriver(driver);
    driver = nullptr;
    EXPECT_EQ(HkIoFindDriver(L"sample"), nullptr);
}

PDEVICE_OBJECT g_entryDevice;

TEST_F(IoDeviceTest, DriverEntryGetsItsRegistryPathAndItsDevicesBecomeReady) {
    static std::u16string seenPath;
    HkIoUnloadDriver(driver);
    ASSERT_EQ(HkIoCreateDriver(
                  L"sample",
                  [](PDRIVER_OBJECT d, PUNICODE_STRING path) -> NTSTATUS {
                      seenPath.assign(reinterpret_cast<char16_t*>(path->Buffer), path->Length / 2);
                      g_entryDevice = MakeDevice(d, L"\\Device\\Sample");
                      g_entryDevice->Flags |= DO_DEVICE_INITIALIZING;
                      return STATUS_SUCCESS;
                  },
                  nullptr, &driver),
              STATUS_SUCCESS);
    EXPECT_EQ(seenPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\sample");
    EXPECT_EQ(g_entryDevice->Flags & DO_DEVICE_INITIALIZING, 0u);
    IoDeleteDevice(g_entryDevice);
}

TEST_F(IoDeviceTest, FailedDriverEntryLeavesNoDriver) {
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(HkIoCreateDriver(
                  L"broken", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_NO_MEMORY; },
                  nullptr, &driver),
              STATUS_NO_MEMORY);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(HkIoFindDriver(L"broken"), nullptr);
}

TEST_F(IoDeviceTest, NewDeviceHasZeroedExtensionAndInitialFlags) {
    UNICODE_STRING name = Us(L"\\Device\\Sample0");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, &name, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, device);
    EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
    EXPECT_EQ(device->StackSize, 1);
    auto* bytes = static_cast<UCHAR*>(device->DeviceExtension);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    EXPECT_EQ(device->DeviceObjectExtension->DeviceObject, device);
    EXPECT_EQ(HkObLookupDevice(L"\\Device\\Sample0"), device);

    PDEVICE_OBJECT twin = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &twin), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(twin, nullptr);
    EXPECT_EQ(driver->DeviceObject, device);
    IoDeleteDevice(device);
}

TEST_F(IoDeviceTest, AutogeneratedNamesCountUpInHex) {
    PDEVICE_OBJECT first = MakeDevice(driver, nullptr, 0, FALSE, FILE_AUTOGENERATED_DEVICE_NAME);
    PDEVICE_OBJECT second = MakeDevice(driver, nullptr, 0, FALSE, FILE_AUTOGENERATED_DEVICE_NAME);
    EXPECT_EQ(HkObLookupDevice(L"\\Device\\00000001"), first);
    EXPECT_EQ(HkObLookupDevice(L"\\Device\\00000002"), second);
    IoDeleteDevice(first);
    IoDeleteDevice(second);
    EXPECT_EQ(HkObLookupDevice(L"\\Device\\00000001"), nullptr);
}

TEST_F(IoDeviceTest, DeviceCreateFaultChangesNothing) {
    HkFaultFailNth(HkFault::DeviceCreate, 1);
    UNICODE_STRING name = Us(L"\\Device\\Sample0");
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_FALSE(HkObNameExists(L"\\Device\\Sample0"));
}

TEST_F(IoDeviceTest, AttachingStacksUpAndDetachingTakesDown) {
    PDEVICE_OBJECT pdo = MakeDevice(driver, L"\\Device\\Pdo");
    PDEVICE_OBJECT fdo = MakeDevice(driver);
    PDEVICE_OBJECT filter = MakeDevice(driver);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    // Attaching to a device below the top lands on the top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo);
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(top, filter);
    EXPECT_EQ(HkObPointerCount(filter), 2);
    ObDereferenceObject(top);
    EXPECT_EQ(HkIoGetBottomDevice(filter), pdo);
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(filter);
    EXPECT_EQ(lower, fdo);
    ObDereferenceObject(lower);
    IoDetachDevice(fdo);
    EXPECT_EQ(IoGetAttachedDevice(pdo), fdo);
    IoDeleteDevice(filter);
    DestroyStack(fdo);
}

TEST_F(IoDeviceTest, DeletedDeviceLivesOnWhileReferenced) {
    PDEVICE_OBJECT device = MakeDevice(driver, L"\\Device\\Sample0", 64);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    // Unnamed at once; the memory stays readable until the reference goes.
    EXPECT_FALSE(HkObNameExists(L"\\Device\\Sample0"));
    EXPECT_TRUE(HkIoIsDeletePending(device));
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(HkIoLiveDeviceCount(), 1u);
    EXPECT_EQ(static_cast<UCHAR*>(device->DeviceExtension)[63], 0);
    ObDereferenceObject(device);
    EXPECT_EQ(HkIoLiveDeviceCount(), 0u);
}

TEST_F(IoDeviceTest, BusDeletesItsPdoBeforeTheFunctionDeviceDetaches) {
    PDEVICE_OBJECT pdo = MakeDevice(driver);
    PDEVICE_OBJECT fdo = AttachNew(driver, pdo);
    IoDeleteDevice(pdo);
    EXPECT_TRUE(HkIoIsDeletePending(pdo));
    EXPECT_EQ(HkIoLiveDeviceCount(), 2u);
    // The delete completes when the device above lets go.
    IoDetachDevice(pdo);
    EXPECT_EQ(HkIoLiveDeviceCount(), 1u);
    IoDeleteDevice(fdo);
    EXPECT_EQ(HkIoLiveDeviceCount(), 0u);
}

}  // namespace
