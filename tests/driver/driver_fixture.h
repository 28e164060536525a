// Test fixture for the driver on the host kernel.
//
// Two ways to stand the bus up:
//  - Direct: the driver is loaded with HkIoCreateDriver and its bus device is
//    added over a plain PDO of a small lower driver ("lowertest") written
//    here. Requests are built and sent by hand, and the lower driver's
//    behaviour is set per test (LowerDriver()).
//  - Through the PnP manager (InstallThroughPnp): the driver is the function
//    driver of a root device, so re-enumeration, device keys and the device
//    tree are real.
// Every test ends with the tree torn down, the driver unloaded and no pool of
// the driver's tags left.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "dravolux.h"
#include "hk/clock.h"
#include "hk/fault.h"
#include "hk/io.h"
#include "hk/ob.h"
#include "hk/pnp.h"
#include "hk/pool.h"
#include "hk/power.h"
#include "hk/registry.h"
#include "hk/reset.h"
#include "hk/thread.h"
#include "hk/verifier.h"

namespace drvtest {

inline std::u16string U16(const WCHAR* Text)
{
    return std::u16string(reinterpret_cast<const char16_t*>(Text));
}

// Busy-waits (yielding) until Condition holds: a handshake with another
// thread, never a time limit.
template <typename F>
void WaitUntil(F Condition)
{
    while (!Condition()) {
        std::this_thread::yield();
    }
}

// A point where one thread holds another back: Hold() marks it entered and
// blocks until Release().
struct Gate {
    std::atomic<bool> Entered{false};
    std::atomic<bool> Released{false};
    void Hold()
    {
        Entered = true;
        WaitUntil([this] { return Released.load(); });
    }
    void WaitEntered()
    {
        WaitUntil([this] { return Entered.load(); });
    }
    void Release() { Released = true; }
};

// ---------------------------------------------------------------------------
// The lower driver under the bus device: a root PDO stand-in.

struct LowerDriverState {
    std::mutex Lock;
    // PnP: status for START (completed at once unless PendStart).
    NTSTATUS StartStatus = STATUS_SUCCESS;
    bool PendStart = false;
    std::atomic<PIRP> PendingIrp{nullptr};
    // Capabilities the PDO reports (DeviceState[0..6]) and the status.
    NTSTATUS CapabilitiesStatus = STATUS_SUCCESS;
    DEVICE_POWER_STATE DeviceState[7] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                                         PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    ULONG CapabilitiesQueries = 0;
    std::vector<UCHAR> CapabilitiesSeen;  // the record as it arrived (72 bytes at most)
    bool CapabilitiesAsIs = false;        // pass the query on untouched
    // Every PnP and power minor received, in order, and for PnP the
    // IoStatus.Status each carried on arrival.
    std::vector<UCHAR> PnpMinors;
    std::vector<HkPnpReceived> PnpReceived;
    std::vector<UCHAR> PowerMinors;
    // Called while a power request is inside the lower driver.
    std::function<void()> OnPower;
};

inline LowerDriverState& LowerDriver()
{
    static LowerDriverState State;
    return State;
}

inline NTSTATUS LowerDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LowerDriverState& L = LowerDriver();
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    {
        std::lock_guard<std::mutex> Guard(L.Lock);
        L.PnpMinors.push_back(Stack->MinorFunction);
        L.PnpReceived.push_back({Stack->MinorFunction, Irp->IoStatus.Status});
    }
    NTSTATUS Status = Irp->IoStatus.Status;
    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (L.PendStart) {
            IoMarkIrpPending(Irp);
            L.PendingIrp.store(Irp);
            return STATUS_PENDING;
        }
        Status = L.StartStatus;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        L.CapabilitiesQueries++;
        PDEVICE_CAPABILITIES Caps = Stack->Parameters.DeviceCapabilities.Capabilities;
        const UCHAR* Record = reinterpret_cast<const UCHAR*>(Caps);
        L.CapabilitiesSeen.assign(Record, Record + (Caps->Size < 72 ? Caps->Size : 72));
        if (L.CapabilitiesAsIs) {
            break;
        }
        for (int i = 0; i < 7; i++) {
            Caps->DeviceState[i] = L.DeviceState[i];
        }
        Status = L.CapabilitiesStatus;
        break;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Status = STATUS_SUCCESS;
        break;
    default:
        break;  // a PDO with nothing to add completes with the status as it is
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

inline NTSTATUS LowerDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    LowerDriverState& L = LowerDriver();
    {
        std::lock_guard<std::mutex> Guard(L.Lock);
        L.PowerMinors.push_back(IoGetCurrentIrpStackLocation(Irp)->MinorFunction);
    }
    if (L.OnPower) {
        L.OnPower();
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

inline NTSTATUS LowerDispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

inline NTSTATUS LowerDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->MajorFunction[IRP_MJ_PNP] = LowerDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = LowerDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = LowerDispatchOther;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = LowerDispatchOther;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Requests

struct Request {
    NTSTATUS Status;          // final IoStatus.Status
    NTSTATUS Returned;        // what the dispatch routine returned
    ULONG_PTR Information;    // final IoStatus.Information
    bool Completed;
};

struct Completion {
    KEVENT Done;
    std::function<void()> WhileCompleting;
    IO_STATUS_BLOCK Final;
};

// The sender's completion routine: takes the result and frees the IRP at
// once, so a driver that touches the IRP after completing it touches freed
// (poisoned) memory.
inline NTSTATUS RequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    Completion* C = static_cast<Completion*>(Context);
    if (C->WhileCompleting) {
        C->WhileCompleting();  // runs inside the driver's IoCompleteRequest
    }
    C->Final = Irp->IoStatus;
    IoFreeIrp(Irp);
    KeSetEvent(&C->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A driver above the target that has answered a PnP request already: it
// sets the status before passing the request down. PnP requests start with
// STATUS_NOT_SUPPORTED; other statuses reach the target through it.
struct AboveExtension {
    PDEVICE_OBJECT Target;
    IO_STATUS_BLOCK Answer;
};

inline NTSTATUS AboveDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AboveExtension* Above = static_cast<AboveExtension*>(DeviceObject->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    Irp->IoStatus = Above->Answer;
    return IoCallDriver(Above->Target, Irp);
}

inline NTSTATUS AboveEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->MajorFunction[IRP_MJ_PNP] = AboveDispatch;
    return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT& AboveDevice()
{
    static PDEVICE_OBJECT Device = nullptr;
    return Device;
}

inline PDEVICE_OBJECT MakeAbove(PDEVICE_OBJECT Target, NTSTATUS Status, ULONG_PTR Information)
{
    PDEVICE_OBJECT& Device = AboveDevice();
    if (Device == nullptr) {
        PDRIVER_OBJECT AboveDriver = nullptr;
        EXPECT_EQ(HkIoCreateDriver(L"testabove", AboveEntry, nullptr, &AboveDriver), STATUS_SUCCESS);
        EXPECT_EQ(IoCreateDevice(AboveDriver, sizeof(AboveExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device),
                  STATUS_SUCCESS);
        Device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    AboveExtension* Above = static_cast<AboveExtension*>(Device->DeviceExtension);
    Above->Target = Target;
    Above->Answer.Status = Status;
    Above->Answer.Information = Information;
    return Device;
}

inline void DropAbove()
{
    PDEVICE_OBJECT& Device = AboveDevice();
    if (Device != nullptr) {
        PDRIVER_OBJECT AboveDriver = Device->DriverObject;
        IoDeleteDevice(Device);
        HkIoUnloadDriver(AboveDriver);
        Device = nullptr;
    }
}

// Builds a request for Target, lets Fill set up the stack location, sends it
// and waits for its completion. IoStatus starts as Status/Information.
// WhileCompleting runs inside the completion, so a test can hold a request
// "in progress" in the driver that completes it.
inline Request Send(PDEVICE_OBJECT Target, UCHAR Major, UCHAR Minor,
                    const std::function<void(PIRP, PIO_STACK_LOCATION)>& Fill = nullptr,
                    NTSTATUS Status = STATUS_NOT_SUPPORTED, ULONG_PTR Information = 0,
                    const std::function<void()>& WhileCompleting = nullptr)
{
    PDEVICE_OBJECT First = Target;
    if (Major == IRP_MJ_PNP && Status != STATUS_NOT_SUPPORTED) {
        First = MakeAbove(Target, Status, Information);
        Status = STATUS_NOT_SUPPORTED;
    }
    PIRP Irp = IoAllocateIrp(static_cast<CCHAR>(Target->StackSize + (First != Target)), FALSE);
    EXPECT_NE(Irp, nullptr);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = Major;
    Stack->MinorFunction = Minor;
    if (Fill) {
        Fill(Irp, Stack);
    }
    Completion C;
    KeInitializeEvent(&C.Done, NotificationEvent, FALSE);
    C.WhileCompleting = WhileCompleting;
    IoSetCompletionRoutine(Irp, RequestDone, &C, TRUE, TRUE, TRUE);
    Request Result{};
    Result.Returned = IoCallDriver(First, Irp);
    KeWaitForSingleObject(&C.Done, Executive, KernelMode, FALSE, NULL);
    Result.Completed = true;
    Result.Status = C.Final.Status;
    Result.Information = C.Final.Information;
    return Result;
}

inline Request SendPnp(PDEVICE_OBJECT Target, UCHAR Minor,
                       const std::function<void(PIO_STACK_LOCATION)>& Fill = nullptr,
                       NTSTATUS Status = STATUS_NOT_SUPPORTED, ULONG_PTR Information = 0)
{
    return Send(
        Target, IRP_MJ_PNP, Minor,
        [&Fill](PIRP, PIO_STACK_LOCATION Stack) {
            if (Fill) {
                Fill(Stack);
            }
        },
        Status, Information);
}

inline Request SendPower(PDEVICE_OBJECT Target, UCHAR Minor, POWER_STATE_TYPE Type, ULONG State,
                         NTSTATUS Status = STATUS_NOT_SUPPORTED)
{
    return Send(
        Target, IRP_MJ_POWER, Minor,
        [&](PIRP, PIO_STACK_LOCATION Stack) {
            Stack->Parameters.Power.Type = Type;
            if (Type == SystemPowerState) {
                Stack->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)State;
            } else {
                Stack->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)State;
            }
        },
        Status);
}

inline Request QueryRelations(PDEVICE_OBJECT Target, DEVICE_RELATION_TYPE Type, PDEVICE_RELATIONS FromAbove = NULL,
                              NTSTATUS Status = STATUS_NOT_SUPPORTED)
{
    return SendPnp(
        Target, IRP_MN_QUERY_DEVICE_RELATIONS,
        [Type](PIO_STACK_LOCATION Stack) { Stack->Parameters.QueryDeviceRelations.Type = Type; }, Status,
        (ULONG_PTR)FromAbove);
}

inline Request QueryId(PDEVICE_OBJECT Target, BUS_QUERY_ID_TYPE Type, NTSTATUS Status = STATUS_NOT_SUPPORTED,
                       ULONG_PTR Information = 0)
{
    return SendPnp(
        Target, IRP_MN_QUERY_ID, [Type](PIO_STACK_LOCATION Stack) { Stack->Parameters.QueryId.IdType = Type; },
        Status, Information);
}

// The text type is stored as raw 32 bits, so tests may send any value.
inline Request QueryText(PDEVICE_OBJECT Target, ULONG Type, NTSTATUS Status = STATUS_NOT_SUPPORTED,
                         ULONG_PTR Information = 0)
{
    return SendPnp(
        Target, IRP_MN_QUERY_DEVICE_TEXT,
        [Type](PIO_STACK_LOCATION Stack) {
            memcpy(&Stack->Parameters.QueryDeviceText.DeviceTextType, &Type, sizeof(Type));
        },
        Status, Information);
}

// A relations list as a driver above the bus would leave it.
inline PDEVICE_RELATIONS MakeRelations(const std::vector<PDEVICE_OBJECT>& Devices)
{
    SIZE_T Size = sizeof(DEVICE_RELATIONS) + (Devices.size() ? Devices.size() - 1 : 0) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, Size, 'tseT');
    Relations->Count = (ULONG)Devices.size();
    for (size_t i = 0; i < Devices.size(); i++) {
        ObReferenceObject(Devices[i]);
        Relations->Objects[i] = Devices[i];
    }
    return Relations;
}

// Takes the devices out of an answered relations list, dropping the
// references the list held, and frees it.
inline std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR Information)
{
    std::vector<PDEVICE_OBJECT> Devices;
    PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)Information;
    if (Relations == NULL) {
        return Devices;
    }
    for (ULONG i = 0; i < Relations->Count; i++) {
        Devices.push_back(Relations->Objects[i]);
        ObDereferenceObject(Relations->Objects[i]);
    }
    ExFreePool(Relations);
    return Devices;
}

// A text answer as a u16string (first string only), then freed.
inline std::u16string TakeText(ULONG_PTR Information)
{
    if (Information == 0) {
        return std::u16string();
    }
    std::u16string Text = U16(reinterpret_cast<const WCHAR*>(Information));
    ExFreePool(reinterpret_cast<PVOID>(Information));
    return Text;
}

// ---------------------------------------------------------------------------
// The fixture

class DriverFixture : public ::testing::Test {
protected:
    PDRIVER_OBJECT Driver = nullptr;       // dravolux (direct mode)
    PDRIVER_OBJECT LowerDriverObject = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT BusDevice = nullptr;
    BusExtension* Bus = nullptr;
    HkDeviceNode* BusNode = nullptr;       // PnP mode
    bool ThroughPnp = false;
    bool BusRemoved = false;

    static constexpr const WCHAR* RegistryPathText =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\dravolux";

    void SetUp() override
    {
        HkReset();
        LowerDriver().~LowerDriverState();
        new (&LowerDriver()) LowerDriverState();
    }

    void TearDown() override
    {
        DropAbove();
        if (ThroughPnp) {
            EXPECT_EQ(HkPnpShutdownTree(), STATUS_SUCCESS);
        } else {
            if (BusDevice != nullptr && !BusRemoved) {
                RemoveBus();
            }
            if (Pdo != nullptr) {
                HkPnpForgetPdo(Pdo);
                IoDeleteDevice(Pdo);
            }
            if (Driver != nullptr) {
                HkIoUnloadDriver(Driver);
            }
            if (LowerDriverObject != nullptr) {
                HkIoUnloadDriver(LowerDriverObject);
            }
        }
        EXPECT_EQ(HkPoolOutstandingForTag(DVX_TAG).Blocks, 0u) << "pool of tag Dvlx left";
        EXPECT_EQ(HkPoolOutstandingForTag(DVX_SCRATCH_TAG).Blocks, 0u) << "pool of tag COMX left";
        HkReset();
    }

    // Direct mode: loads dravolux and the lower driver and makes the PDO.
    void LoadDriver()
    {
        UNICODE_STRING Path;
        RtlInitUnicodeString(&Path, RegistryPathText);
        ASSERT_EQ(HkIoCreateDriver(L"dravolux", DriverEntry, &Path, &Driver), STATUS_SUCCESS);
        UNICODE_STRING LowerPath;
        RtlInitUnicodeString(&LowerPath, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lowertest");
        ASSERT_EQ(HkIoCreateDriver(L"lowertest", LowerDriverEntry, &LowerPath, &LowerDriverObject), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(LowerDriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                 FALSE, &Pdo),
                  STATUS_SUCCESS);
        Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        // The PnP manager knows the PDO, as it knows every PDO a function
        // driver is added to; the test plays the manager.
        HkPnpAdoptPdo(Pdo, L"ROOT\\LOWERTEST\\0000");
    }

    // Direct mode: the bus device over the PDO, not started.
    void AddBus()
    {
        ASSERT_NO_FATAL_FAILURE(LoadDriver());
        ASSERT_EQ(Driver->DriverExtension->AddDevice(Driver, Pdo), STATUS_SUCCESS);
        BusDevice = Pdo->AttachedDevice;
        ASSERT_NE(BusDevice, nullptr);
        Bus = BusOf(BusDevice);
    }

    // Direct mode: added and started.
    void StartBus()
    {
        ASSERT_NO_FATAL_FAILURE(AddBus());
        Request R = SendPnp(BusDevice, IRP_MN_START_DEVICE);
        ASSERT_EQ(R.Status, STATUS_SUCCESS);
        ASSERT_EQ(Bus->Header.PnpState, Started);
    }

    // Removes (and so deletes) the bus device; its record is gone afterwards
    // unless the test holds a reference on BusDevice.
    Request RemoveBus()
    {
        BusRemoved = true;
        return SendPnp(BusDevice, IRP_MN_REMOVE_DEVICE);
    }

    // PnP mode: dravolux as the function driver of a root device, started
    // and enumerated.
    void InstallThroughPnp()
    {
        ThroughPnp = true;
        ASSERT_EQ(HkPnpRegisterDriverImage(L"dravolux", DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(HkPnpInstallRootDevice(L"DRAVOLUX", L"dravolux", &BusNode), STATUS_SUCCESS);
        std::vector<PDEVICE_OBJECT> Stack = HkPnpStack(BusNode);
        ASSERT_FALSE(Stack.empty());
        BusDevice = Stack.front();
        Bus = BusOf(BusDevice);
        Pdo = HkPnpPdo(BusNode);
        HkPnpRunPending();
    }

    // A port device through the real CreatePortDevice, given a role and a
    // name (not owned: no group) and made present.
    PortExtension* MakePort(UCHAR IsControl = 0, const WCHAR* PortName = nullptr)
    {
        PortExtension* Port = nullptr;
        EXPECT_EQ(CreatePortDevice(Bus, &Port), STATUS_SUCCESS);
        if (Port == nullptr) {
            return nullptr;
        }
        PortListHold Hold(Bus, TRUE);
        Port->IsControl = IsControl;
        Port->PortName = const_cast<PWSTR>(PortName);
        Port->Present = 1;
        return Port;
    }

    // Ports of the bus, in PortList order.
    std::vector<PortExtension*> PortsOnList()
    {
        std::vector<PortExtension*> Ports;
        PortListHold Hold(Bus, TRUE);
        for (PLIST_ENTRY Entry = Bus->PortList.Flink; Entry != &Bus->PortList; Entry = Entry->Flink) {
            Ports.push_back(RECORD_OF(Entry, PortExtension, BusLink));
        }
        return Ports;
    }

    // PnP mode: lets the pending rescan fire and the manager enumerate.
    void Rescan()
    {
        HkClockAdvance(RescanDelayMs);
        HkPnpRunPending();
    }

    // Reads for tests that poll while driver threads run: the count through
    // an interlocked operation, the state under PortListLock (the removal
    // sets Deleted under it).
    LONG ActivityCount() { return InterlockedCompareExchange(&Bus->OutstandingIo, 0, 0); }
    PnpStateValue BusState() { return ReadPnpState(&Bus->Header); }

    static bool EventSignalled(KEVENT* Event)
    {
        return KeReadStateEvent(Event) != 0;
    }
};

// A started bus with one port device made through CreatePortDevice.
class PortFixture : public DriverFixture {
protected:
    PortExtension* Port = nullptr;
    PDEVICE_OBJECT PortDevice = nullptr;

    void StartWithPort(UCHAR IsControl = 0, bool StartPort = false)
    {
        ASSERT_NO_FATAL_FAILURE(StartBus());
        Port = MakePort(IsControl);
        ASSERT_NE(Port, nullptr);
        PortDevice = Port->Header.Self;
        if (StartPort) {
            ASSERT_EQ(SendPnp(PortDevice, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
        }
    }
};

}  // namespace drvtest
