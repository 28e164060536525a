// I/O manager: sending IRPs down a stack, completion routines, the default
// dispatch entry, synchronous requests and the verifier's dispatch checks.
#include <vector>

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
    PIRP BuildIrp(KEVENT* event, IO_STATUS_BLOCK* iosb) {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, event, iosb);
        EXPECT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        return irp;
    }

    static std::vector<std::string> order;
    PDRIVER_OBJECT bottomDriver, middleDriver, topDriver;
    PDEVICE_OBJECT bottom, middle, top;
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
    return probe->Result;
}

CompletionProbe* g_topProbe;
CompletionProbe* g_middleProbe;

NTSTATUS TopForwardsWithRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeRoutine, g_topProbe, TRUE, TRUE, TRUE);
    return IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
}

NTSTATUS MiddleForwardsWithRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeRoutine, g_middleProbe, TRUE, TRUE, TRUE);
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
    topDriver->MajorFunction[IRP_MJ_PNP] = TopForwardsWithRoutine;
    middleDriver->MajorFunction[IRP_MJ_PNP] = MiddleForwardsWithRoutine;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;

    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = BuildIrp(&event, &iosb);
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
    middleDriver->MajorFunction[IRP_MJ_PNP] = MiddleForwardsWithRoutine;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;

    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = BuildIrp(&event, &iosb);
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
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = BuildIrp(&event, &iosb);
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
    irp = BuildIrp(&event, &iosb);
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
    topDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ProbeRoutine, g_topProbe, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(static_cast<TestExtension*>(device->DeviceExtension)->Lower, irp);
        return status;
    };
    middleDriver->MajorFunction[IRP_MJ_PNP] = PendingMiddle;
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = BuildIrp(&event, &iosb);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_TRUE(topProbe.PendingReturned);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(IoIrpTest, UnsetEntriesFailWithInvalidDeviceRequest) {
    EXPECT_EQ(topDriver->MajorFunction[IRP_MJ_READ], &HkIoInvalidDeviceRequest);
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = BuildIrp(&event, &iosb);
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
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), top,
                                             input, 1, output, 4, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(output[0], 6);
    EXPECT_EQ(output[1], 0);
    EXPECT_EQ(iosb.Information, 1u);
}

// ---------------------------------------------------------------- verifier checks

TEST_F(IoIrpTest, CompletingTwiceIsAStop) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    HkVerifierCapture capture;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    IoCallDriver(bottom, BuildIrp(&event, &iosb));
    EXPECT_EQ(capture.Count(HkViolation::IrpCompletedTwice), 1u);
}

TEST_F(IoIrpTest, CompletingWithPendingIsAStop) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    HkVerifierCapture capture;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    IoCallDriver(bottom, BuildIrp(&event, &iosb));
    EXPECT_EQ(capture.Count(HkViolation::IrpCompletedPending), 1u);
}

TEST_F(IoIrpTest, ReturningAnotherStatusThanCompletedIsAStop) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_NOT_SUPPORTED);
        return STATUS_SUCCESS;
    };
    HkVerifierCapture capture;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    IoCallDriver(bottom, BuildIrp(&event, &iosb));
    EXPECT_EQ(capture.Count(HkViolation::DispatchStatusMismatch), 1u);
}

FAST_MUTEX g_mutex;

TEST_F(IoIrpTest, FastMutexHeldOnReturnIsAStop) {
    ExInitializeFastMutex(&g_mutex);
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        ExAcquireFastMutex(&g_mutex);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    HkVerifierCapture capture;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    IoCallDriver(bottom, BuildIrp(&event, &iosb));
    EXPECT_GE(capture.Count(HkViolation::LockHeldOnReturn), 1u);
    ExReleaseFastMutex(&g_mutex);
}

TEST_F(IoIrpTest, UnbalancedCriticalRegionIsAStop) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        KeEnterCriticalRegion();
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    HkVerifierCapture capture;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    IoCallDriver(bottom, BuildIrp(&event, &iosb));
    EXPECT_EQ(capture.Count(HkViolation::CriticalRegionUnbalanced), 1u);
    KeLeaveCriticalRegion();
}

TEST_F(IoIrpTest, RaisedIrqlOnReturnIsAStop) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    HkVerifierCapture capture;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    IoCallDriver(bottom, BuildIrp(&event, &iosb));
    EXPECT_GE(capture.Count(HkViolation::IrqlTooHigh), 1u);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IoIrpTest, AllocatedIrpsAreReclaimedByTheirSender) {
    bottomDriver->MajorFunction[IRP_MJ_PNP] = BottomSucceeds;
    PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
    EXPECT_EQ(HkIoLiveIrpCount(), 0u);

    HkFaultFailNth(HkFault::IrpAllocate, 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

}  // namespace
