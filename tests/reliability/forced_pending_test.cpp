// Forced pending: a lower filter between the bus device and its PDO answers
// requests with STATUS_PENDING and sends them on (or completes them) later
// from a thread of its own. Start, capabilities, power and every request the
// bus forwards must still end as they would synchronously. The campaign runs
// twice: the filter finishes its requests in its thread at PASSIVE_LEVEL, or
// from a DPC, so the completion routines above run at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "driver/driver_fixture.h"
#include "reliability/records_check.h"

namespace {

using namespace drvtest;

// What the filter does with a request of a given major/minor.
enum class Pend { Never, Forward, Fail };

// Where the filter completes the requests it pended.
enum class CompleteIn { Thread, Dpc };

struct PendingFilterState {
    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<PIRP> Queue;
    bool Stop = false;
    PDEVICE_OBJECT Lower = nullptr;
    CompleteIn Where = CompleteIn::Thread;
    Pend PnpMode = Pend::Forward;
    Pend PowerMode = Pend::Forward;
    UCHAR FailMinor = 0xFF;  // with Pend::Fail: only this minor fails
    NTSTATUS FailStatus = STATUS_UNSUCCESSFUL;
    ULONG Pended = 0;
    ULONG CompletedAtDispatch = 0;
    std::vector<UCHAR> PendedMinors;
};

PendingFilterState& Filter()
{
    static PendingFilterState State;
    return State;
}

// A DPC that completes one request.
struct DpcCompletion {
    KDPC Dpc;
    PIRP Irp;
};

void CompleteFromDpc(PKDPC Dpc, PVOID Context, PVOID, PVOID)
{
    DpcCompletion* Work = static_cast<DpcCompletion*>(Context);
    PIRP Irp = Work->Irp;
    delete Work;
    if (KeGetCurrentIrql() == DISPATCH_LEVEL) {
        std::lock_guard<std::mutex> Guard(Filter().Lock);
        Filter().CompletedAtDispatch++;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

void QueueCompletion(PIRP Irp)
{
    DpcCompletion* Work = new DpcCompletion;
    Work->Irp = Irp;
    KeInitializeDpc(&Work->Dpc, CompleteFromDpc, Work);
    KeInsertQueueDpc(&Work->Dpc, nullptr, nullptr);
}

// The lower driver gave the request back: the filter completes it from a DPC.
NTSTATUS LowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request on to the lower driver: as it is, or (DPC mode) with a
// routine that takes it back once the lower driver is done.
void SendOn(PIRP Irp, bool Power)
{
    PendingFilterState& f = Filter();
    if (Power) {
        PoStartNextPowerIrp(Irp);
    }
    if (f.Where == CompleteIn::Thread) {
        IoSkipCurrentIrpStackLocation(Irp);
        Power ? PoCallDriver(f.Lower, Irp) : IoCallDriver(f.Lower, Irp);
        return;
    }
    KEVENT Back;
    KeInitializeEvent(&Back, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, LowerDone, &Back, TRUE, TRUE, TRUE);
    NTSTATUS Status = Power ? PoCallDriver(f.Lower, Irp) : IoCallDriver(f.Lower, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Back, Executive, KernelMode, FALSE, nullptr);
    }
    QueueCompletion(Irp);
}

// The filter's worker: sends each queued request on, or fails it.
void FilterWorker()
{
    PendingFilterState& f = Filter();
    for (;;) {
        PIRP Irp;
        {
            std::unique_lock<std::mutex> Guard(f.Lock);
            f.Wake.wait(Guard, [&] { return f.Stop || !f.Queue.empty(); });
            if (f.Queue.empty()) {
                return;
            }
            Irp = f.Queue.front();
            f.Queue.pop_front();
        }
        PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
        bool Power = Stack->MajorFunction == IRP_MJ_POWER;
        Pend Mode = Power ? f.PowerMode : f.PnpMode;
        if (Mode == Pend::Fail && Stack->MinorFunction == f.FailMinor) {
            if (Power) {
                PoStartNextPowerIrp(Irp);
            }
            Irp->IoStatus.Status = f.FailStatus;
            if (f.Where == CompleteIn::Dpc) {
                QueueCompletion(Irp);
            } else {
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
            }
            continue;
        }
        SendOn(Irp, Power);
    }
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PendingFilterState& f = Filter();
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    bool Power = Stack->MajorFunction == IRP_MJ_POWER;
    Pend Mode = Power ? f.PowerMode : f.PnpMode;
    // REMOVE goes down at once: the filter detaches and deletes itself
    // after its PDO has seen it.
    if (Stack->MajorFunction == IRP_MJ_PNP && Stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        Mode = Pend::Never;
    }
    if (Mode == Pend::Never) {
        if (Power) {
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(f.Lower, Irp);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(f.Lower, Irp);
    }
    IoMarkIrpPending(Irp);
    {
        std::lock_guard<std::mutex> Guard(f.Lock);
        f.Pended++;
        f.PendedMinors.push_back(Stack->MinorFunction);
        f.Queue.push_back(Irp);
    }
    f.Wake.notify_one();
    return STATUS_PENDING;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    for (int Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; Major++) {
        DriverObject->MajorFunction[Major] = FilterDispatch;
    }
    return STATUS_SUCCESS;
}

class ForcedPending : public DriverFixture, public ::testing::WithParamInterface<CompleteIn> {
protected:
    PDRIVER_OBJECT FilterDriver = nullptr;
    PDEVICE_OBJECT FilterDevice = nullptr;
    std::thread Worker;

    void SetUp() override
    {
        DriverFixture::SetUp();
        PendingFilterState& f = Filter();
        f.~PendingFilterState();
        new (&f) PendingFilterState();
        f.Where = GetParam();
    }

    // In DPC mode every pended request came back at DISPATCH_LEVEL.
    void ExpectCompletedWhereAsked()
    {
        std::lock_guard<std::mutex> Guard(Filter().Lock);
        if (GetParam() == CompleteIn::Dpc) {
            EXPECT_EQ(Filter().CompletedAtDispatch, Filter().Pended);
        } else {
            EXPECT_EQ(Filter().CompletedAtDispatch, 0u);
        }
    }

    void TearDown() override
    {
        ExpectCompletedWhereAsked();
        if (BusDevice != nullptr && !BusRemoved) {
            Request R = RemoveBus();
            EXPECT_EQ(R.Status, STATUS_SUCCESS);
        }
        StopWorker();
        if (FilterDevice != nullptr) {
            IoDetachDevice(Filter().Lower);
            IoDeleteDevice(FilterDevice);
        }
        if (FilterDriver != nullptr) {
            HkIoUnloadDriver(FilterDriver);
        }
        EXPECT_TRUE(Filter().Queue.empty());
        EXPECT_EQ(HkIoLiveIrpCount(), 0u);
        DriverFixture::TearDown();
    }

    void StopWorker()
    {
        if (!Worker.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> Guard(Filter().Lock);
            Filter().Stop = true;
        }
        Filter().Wake.notify_all();
        Worker.join();
    }

    // The lower driver's PDO, the filter over it, the bus over the filter.
    void AddBusOverFilter()
    {
        ASSERT_NO_FATAL_FAILURE(LoadDriver());
        UNICODE_STRING Path;
        RtlInitUnicodeString(&Path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pendfilter");
        ASSERT_EQ(HkIoCreateDriver(L"pendfilter", FilterEntry, &Path, &FilterDriver), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(FilterDriver, 0, NULL, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                                 &FilterDevice),
                  STATUS_SUCCESS);
        Filter().Lower = IoAttachDeviceToDeviceStack(FilterDevice, Pdo);
        ASSERT_EQ(Filter().Lower, Pdo);
        FilterDevice->Flags |= DO_POWER_PAGABLE;
        FilterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        Worker = std::thread(FilterWorker);
        ASSERT_EQ(Driver->DriverExtension->AddDevice(Driver, Pdo), STATUS_SUCCESS);
        BusDevice = FilterDevice->AttachedDevice;
        ASSERT_NE(BusDevice, nullptr);
        Bus = BusOf(BusDevice);
        EXPECT_EQ(Bus->LowerDevice, FilterDevice);
    }

    // The start completes once the pended request comes back.
    void StartBusOverFilter()
    {
        ASSERT_NO_FATAL_FAILURE(AddBusOverFilter());
        Request R = SendPnp(BusDevice, IRP_MN_START_DEVICE);
        ASSERT_EQ(R.Status, STATUS_SUCCESS);
        ASSERT_EQ(Bus->Header.PnpState, Started);
        EXPECT_GE(Filter().Pended, 1u);
        EXPECT_TRUE(LowerSaw(IRP_MN_START_DEVICE));
        EXPECT_EQ(Bus->Header.DevicePowerState, PowerDeviceD0);
        EXPECT_EQ(ActivityCount(), 1);
    }

    // QUERY_CAPABILITIES to a port device, as the stack above it sends it.
    Request QueryCapabilities(PortExtension* Port, DEVICE_CAPABILITIES* Caps)
    {
        RtlZeroMemory(Caps, sizeof *Caps);
        Caps->Size = sizeof *Caps;
        Caps->Version = 1;
        return SendPnp(Port->Header.Self, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION Stack) {
            Stack->Parameters.DeviceCapabilities.Capabilities = Caps;
        });
    }

    bool LowerSaw(UCHAR Minor)
    {
        std::lock_guard<std::mutex> Guard(LowerDriver().Lock);
        for (UCHAR M : LowerDriver().PnpMinors) {
            if (M == Minor) {
                return true;
            }
        }
        return false;
    }
};

TEST_P(ForcedPending, StartFailedLaterLeavesTheBusNotStarted)
{
    ASSERT_NO_FATAL_FAILURE(AddBusOverFilter());
    Filter().PnpMode = Pend::Fail;
    Filter().FailMinor = IRP_MN_START_DEVICE;
    Filter().FailStatus = STATUS_INSUFFICIENT_RESOURCES;
    Request R = SendPnp(BusDevice, IRP_MN_START_DEVICE);
    EXPECT_EQ(R.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(Bus->Header.PnpState, Started);
    EXPECT_FALSE(LowerSaw(IRP_MN_START_DEVICE));
    Filter().PnpMode = Pend::Forward;
}

TEST_P(ForcedPending, PortCapabilitiesComeThroughThePendingStack)
{
    ASSERT_NO_FATAL_FAILURE(StartBusOverFilter());
    LowerDriver().DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    PortExtension* Port = MakePort();
    ASSERT_NE(Port, nullptr);
    DEVICE_CAPABILITIES Caps;
    ULONG Before = LowerDriver().CapabilitiesQueries;
    EXPECT_EQ(QueryCapabilities(Port, &Caps).Status, STATUS_SUCCESS);
    EXPECT_EQ(LowerDriver().CapabilitiesQueries, Before + 1);
    EXPECT_EQ(Caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(Caps.DeviceState[PowerSystemSleeping1], PowerDeviceD3);
    EXPECT_GE(Filter().Pended, 2u);
    EXPECT_EQ(ActivityCount(), 1);
}

TEST_P(ForcedPending, CapabilitiesFailedLaterFailThePortQuery)
{
    ASSERT_NO_FATAL_FAILURE(StartBusOverFilter());
    PortExtension* Port = MakePort();
    ASSERT_NE(Port, nullptr);
    Filter().PnpMode = Pend::Fail;
    Filter().FailMinor = IRP_MN_QUERY_CAPABILITIES;
    Filter().FailStatus = STATUS_DEVICE_NOT_READY;
    DEVICE_CAPABILITIES Caps;
    EXPECT_EQ(QueryCapabilities(Port, &Caps).Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(ActivityCount(), 1);
    Filter().PnpMode = Pend::Forward;
}

// Every request the bus passes down, pended on the way, ends with the status
// the PDO gave it and leaves the activity count where it was.
TEST_P(ForcedPending, EveryForwardedRequestEndsRight)
{
    ASSERT_NO_FATAL_FAILURE(StartBusOverFilter());
    struct Step {
        UCHAR Minor;
        NTSTATUS Expected;
        PnpStateValue After;
    };
    const Step Steps[] = {
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS, StopPending},
        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS, Started},
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS, StopPending},
        {IRP_MN_STOP_DEVICE, STATUS_SUCCESS, Stopped},
        {IRP_MN_START_DEVICE, STATUS_SUCCESS, Started},
        {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS, RemovePending},
        {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS, Started},
    };
    for (const Step& S : Steps) {
        Request R = SendPnp(BusDevice, S.Minor);
        EXPECT_EQ(R.Status, S.Expected) << HkPnpMinorName(S.Minor);
        EXPECT_EQ(Bus->Header.PnpState, S.After) << HkPnpMinorName(S.Minor);
        EXPECT_TRUE(LowerSaw(S.Minor)) << HkPnpMinorName(S.Minor);
        EXPECT_EQ(ActivityCount(), 1) << HkPnpMinorName(S.Minor);
    }
    // Requests the bus does not handle itself keep the PDO's answer.
    Request Usage = SendPnp(BusDevice, IRP_MN_DEVICE_USAGE_NOTIFICATION);
    EXPECT_TRUE(LowerSaw(IRP_MN_DEVICE_USAGE_NOTIFICATION));
    EXPECT_EQ(Usage.Status, STATUS_NOT_SUPPORTED);

    for (ULONG State : {(ULONG)PowerSystemSleeping3, (ULONG)PowerSystemWorking}) {
        Request Q = SendPower(BusDevice, IRP_MN_QUERY_POWER, SystemPowerState, State);
        EXPECT_EQ(Q.Status, STATUS_SUCCESS);
        Request S = SendPower(BusDevice, IRP_MN_SET_POWER, SystemPowerState, State);
        EXPECT_EQ(S.Status, STATUS_SUCCESS);
    }
    Request D3 = SendPower(BusDevice, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(D3.Status, STATUS_SUCCESS);
    Request D0 = SendPower(BusDevice, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(D0.Status, STATUS_SUCCESS);
    EXPECT_EQ(LowerDriver().PowerMinors.size(), 6u);
    EXPECT_EQ(ActivityCount(), 1);
    EXPECT_TRUE(reliability::CheckBusRecords(Bus).empty());
}

TEST_P(ForcedPending, SurpriseRemovalAndRemoveThroughThePendingStack)
{
    ASSERT_NO_FATAL_FAILURE(StartBusOverFilter());
    PortExtension* Port = MakePort();
    ASSERT_NE(Port, nullptr);
    Request S = SendPnp(BusDevice, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(S.Status, STATUS_SUCCESS);
    EXPECT_EQ(Bus->Header.PnpState, SurpriseRemoved);
    EXPECT_TRUE(LowerSaw(IRP_MN_SURPRISE_REMOVAL));
    // The orphan's own removal deletes it; the bus's removal follows.
    EXPECT_EQ(SendPnp(Port->Header.Self, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    Request R = RemoveBus();
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_TRUE(LowerSaw(IRP_MN_REMOVE_DEVICE));
}

INSTANTIATE_TEST_SUITE_P(Modes, ForcedPending, ::testing::Values(CompleteIn::Thread, CompleteIn::Dpc),
                         [](const ::testing::TestParamInfo<CompleteIn>& Info) {
                             return Info.param == CompleteIn::Thread ? "Thread" : "Dpc";
                         });

}  // namespace
