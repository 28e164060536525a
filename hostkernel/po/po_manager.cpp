// The power manager: the Po DDIs drivers call, and system power transitions
// sent to every started device stack.
#include "pnp/pnp_internal.h"
#include "io/io_internal.h"
#include "hk/io.h"
#include "hk/power.h"
#include "hk/reset.h"
#include "hk/verifier.h"

#include <atomic>
#include <cstdio>
#include <map>

namespace {

std::mutex g_poLock;
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> g_deviceStates;
std::vector<HkPoLogEntry> g_log;
SYSTEM_POWER_STATE g_systemState = PowerSystemWorking;
std::atomic<ULONG> g_startNext{0};

void ResetPower() {
    std::lock_guard<std::mutex> hold(g_poLock);
    g_deviceStates.clear();
    g_log.clear();
    g_systemState = PowerSystemWorking;
    g_startNext = 0;
}

void EnsureInit() {
    static std::once_flag once;
    std::call_once(once, [] { HkRegisterResetHook(ResetPower); });
}

struct PowerRequest {
    PDEVICE_OBJECT Device;
    PDEVICE_OBJECT Top;
    UCHAR Minor;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Callback;
    PVOID Context;
};

NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    if (request->Callback) {
        request->Callback(request->Device, request->Minor, request->State, request->Context, &irp->IoStatus);
    }
    PDEVICE_OBJECT top = request->Top;
    delete request;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

const char* PowerMinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_WAIT_WAKE: return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "SET_POWER";
    case IRP_MN_QUERY_POWER: return "QUERY_POWER";
    default: return "UNKNOWN";
    }
}

// One system power IRP to the top of a node's stack.
NTSTATUS SendSystemIrp(HkDeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    hkpnp::IrpParams p;
    p.Major = IRP_MJ_POWER;
    p.Minor = minor;
    p.Arg1 = SystemPowerState;
    p.Arg2 = state;
    p.Arg3 = action;
    ULONG_PTR info = 0;
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->Pdo);
    NTSTATUS status = hkpnp::SendIrp(node->Pdo, p, &info);
    std::lock_guard<std::mutex> hold(g_poLock);
    g_log.push_back({node->InstancePath, top, minor, SystemPowerState, static_cast<ULONG>(state), status});
    return status;
}

std::vector<HkDeviceNode*> StartedNodes(bool childrenFirst) {
    std::vector<HkDeviceNode*> nodes;
    for (HkDeviceNode* n : hkpnp::PreOrderAll()) {
        if (hkpnp::IsLive(n)) {
            nodes.push_back(n);
        }
    }
    if (childrenFirst) {
        std::vector<HkDeviceNode*> reversed(nodes.rbegin(), nodes.rend());
        return reversed;  // reverse pre-order puts every child before its parent
    }
    return nodes;
}

NTSTATUS SetAll(bool childrenFirst, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    NTSTATUS result = STATUS_SUCCESS;
    for (HkDeviceNode* n : StartedNodes(childrenFirst)) {
        NTSTATUS status = SendSystemIrp(n, IRP_MN_SET_POWER, state, action);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;  // a set cannot be refused; reported, not undone
        }
    }
    std::lock_guard<std::mutex> hold(g_poLock);
    g_systemState = state;
    return result;
}

}  // namespace

namespace hkpnp {
void PoForgetDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> hold(g_poLock);
    g_deviceStates.erase(device);
}
}  // namespace hkpnp

// ---- DDIs ----------------------------------------------------------------------

// "The driver must call PoStartNextPowerIrp while the current IRP stack
// location points to the current driver. Therefore, this routine must be
// called before IoCompleteRequest, IoSkipCurrentIrpStackLocation, and
// PoCallDriver." (PoStartNextPowerIrp, Microsoft Learn)
VOID PoStartNextPowerIrp(PIRP Irp) {
    if (!Irp || HkIoIrpCompleted(Irp)) {
        HkVerifierStop(HkViolation::IrpUsedAfterCompletion, "PoStartNextPowerIrp on IRP %p after it was completed",
                       Irp);
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        HkVerifierStop(HkViolation::Other,
                       "PoStartNextPowerIrp on IRP %p after IoSkipCurrentIrpStackLocation or IoCompleteRequest: "
                       "its stack location is gone",
                       Irp);
        return;
    }
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        HkVerifierStop(HkViolation::Other, "PoStartNextPowerIrp on IRP %p, not a power IRP", Irp);
        return;
    }
    hkio::PowerIrpStarted(Irp);
    ++g_startNext;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IoCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    EnsureInit();
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceUnspecified;
    std::lock_guard<std::mutex> hold(g_poLock);
    if (Type == DevicePowerState) {
        auto it = g_deviceStates.find(DeviceObject);
        if (it != g_deviceStates.end()) {
            previous.DeviceState = it->second;
        }
        g_deviceStates[DeviceObject] = State.DeviceState;
    } else {
        previous.SystemState = g_systemState;
    }
    return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (!DeviceObject || (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
                          MinorFunction != IRP_MN_WAIT_WAKE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "PoRequestPowerIrp above DISPATCH_LEVEL");
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
        stack->Parameters.Power.ShutdownType = PowerActionNone;
    }
    auto* request = new PowerRequest{DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp) {
        *Irp = irp;
    }
    HkDeviceNode* node = HkPnpNodeOfPdo(DeviceObject);
    const std::u16string path = node ? HkPnpInstancePath(node) : std::u16string();
    {
        std::lock_guard<std::mutex> hold(g_poLock);
        g_log.push_back({path, top, MinorFunction, DevicePowerState,
                         static_cast<ULONG>(PowerState.DeviceState), STATUS_PENDING});
    }
    IoCallDriver(top, irp);
    return STATUS_PENDING;
}

// ---- host API --------------------------------------------------------------------

NTSTATUS HkPoSleep(SYSTEM_POWER_STATE state) {
    EnsureInit();
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) {
        return STATUS_INVALID_PARAMETER;
    }
    hkpnp::EngineGuard engine;
    const POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
    std::vector<HkDeviceNode*> queried;
    for (HkDeviceNode* n : StartedNodes(true)) {
        NTSTATUS status = SendSystemIrp(n, IRP_MN_QUERY_POWER, state, action);
        if (!NT_SUCCESS(status)) {
            // Vetoed: the stacks that agreed are told the system stays working.
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                SendSystemIrp(*it, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
            }
            return status;
        }
        queried.push_back(n);
    }
    return SetAll(true, state, action);
}

NTSTATUS HkPoWake() {
    EnsureInit();
    hkpnp::EngineGuard engine;
    return SetAll(false, PowerSystemWorking, PowerActionNone);
}

NTSTATUS HkPoShutdown() {
    EnsureInit();
    hkpnp::EngineGuard engine;
    return SetAll(true, PowerSystemShutdown, PowerActionShutdown);
}

SYSTEM_POWER_STATE HkPoSystemState() {
    std::lock_guard<std::mutex> hold(g_poLock);
    return g_systemState;
}

std::vector<HkPoLogEntry> HkPoLog() {
    std::lock_guard<std::mutex> hold(g_poLock);
    return g_log;
}

void HkPoClearLog() {
    std::lock_guard<std::mutex> hold(g_poLock);
    g_log.clear();
}

std::string HkPoFormatLog() {
    static const char* const systemNames[] = {"Unspecified", "S0", "S1", "S2", "S3", "S4", "S5"};
    static const char* const deviceNames[] = {"Unspecified", "D0", "D1", "D2", "D3"};
    std::string out;
    for (const HkPoLogEntry& e : HkPoLog()) {
        const char* state = e.Type == SystemPowerState ? (e.State < 7 ? systemNames[e.State] : "?")
                                                       : (e.State < 5 ? deviceNames[e.State] : "?");
        char status[16];
        snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(e.Status));
        out += hkpnp::Utf8(e.InstancePath) + " " + PowerMinorName(e.Minor) + " " + state + " -> " + status + "\n";
    }
    return out;
}

DEVICE_POWER_STATE HkPoDeviceState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> hold(g_poLock);
    auto it = g_deviceStates.find(device);
    return it == g_deviceStates.end() ? PowerDeviceUnspecified : it->second;
}

ULONG HkPoStartNextCount() { return g_startNext; }
