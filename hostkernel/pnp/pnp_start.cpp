// Starting a device: its installation records, AddDevice of its function
// driver, the start of its stack and what the manager asks once it runs.
#include "pnp/pnp_internal.h"
#include "hk/registry.h"

namespace hkpnp {

namespace {

constexpr ULONG kConfigFlagReinstall = 0x00000020;
constexpr ULONG kConfigFlagFailedInstall = 0x00000040;

// Service named by the node's installation records, or empty when the node
// is not installed (or is disabled: *disabled set).
std::u16string InstalledService(const HkDeviceNode* node, bool* disabled) {
    const std::u16string key = EnumKey(node);
    std::u16string service;
    *disabled = false;
    if (!NT_SUCCESS(HkRegGetString(W(key), L"Service", &service)) || service.empty()) {
        return std::u16string();
    }
    ULONG flags = 0;
    if (NT_SUCCESS(HkRegGetDword(W(key), L"ConfigFlags", &flags))) {
        if (flags & (kConfigFlagReinstall | kConfigFlagFailedInstall)) {
            return std::u16string();
        }
        *disabled = (flags & kConfigFlagDisabled) != 0;
    }
    return service;
}

// Loads the node's service, adds the device and starts the stack.
NTSTATUS AddAndStart(HkDeviceNode* node, const std::u16string& service, ULONG_PTR requirements) {
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = LoadService(service, &driver);
    if (NT_SUCCESS(status)) {
        status = driver->DriverExtension->AddDevice ? driver->DriverExtension->AddDevice(driver, node->Pdo)
                                                    : STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!NT_SUCCESS(status)) {
        FreeAnswer(requirements);
        node->State = HkPnpState::StartFailed;
        UnloadIdleDrivers();
        return status;
    }
    node->Service = service;
    node->State = HkPnpState::Initialized;
    ULONG_PTR filtered = requirements;
    Send(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0, &filtered, reinterpret_cast<PVOID>(requirements));
    FreeAnswer(filtered);
    status = StartStack(node, false);
    if (!NT_SUCCESS(status)) {
        UnloadIdleDrivers();
    }
    return status;
}

// IRP_MN_QUERY_PNP_DEVICE_STATE after the first start (Microsoft Learn: "not
// sent on a start after a stop for resource rebalancing"). A device that says
// it failed or is gone is surprise-removed and removed, as Windows does
// (IRP_MN_SURPRISE_REMOVAL; ReactOS IoInvalidateDeviceState). Failed with new
// resource requirements asks for a rebalance, which is not modelled. Returns
// false when the device is on its way out.
bool QueryDeviceState(HkDeviceNode* node) {
    ULONG_PTR info = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE, 0, &info);
    node->DeviceState = NT_SUCCESS(status) ? static_cast<ULONG>(info) : 0;
    const ULONG state = node->DeviceState;
    const bool failed = (state & PNP_DEVICE_FAILED) && !(state & PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED);
    if (failed || (state & PNP_DEVICE_REMOVED)) {
        RemoveFailedDevice(node);
        return false;
    }
    return true;
}

}  // namespace

void SetConfigFlag(const HkDeviceNode* node, ULONG flag, bool on) {
    const std::u16string key = EnumKey(node);
    ULONG flags = 0;
    HkRegGetDword(W(key), L"ConfigFlags", &flags);
    flags = on ? (flags | flag) : (flags & ~flag);
    HkRegSetDword(W(key), L"ConfigFlags", flags);
}

bool HoldsNotDisableable(HkDeviceNode* node) {
    std::vector<HkDeviceNode*> subtree;
    CollectPreOrder(node, &subtree);
    for (HkDeviceNode* n : subtree) {
        if (n->DeviceState & PNP_DEVICE_NOT_DISABLEABLE) {
            return true;
        }
    }
    return false;
}

NTSTATUS StartStack(HkDeviceNode* node, bool restart) {
    NTSTATUS status = Send(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        // A stack that failed to start is torn down, as the platform does.
        SendRemove(node);
        node->State = HkPnpState::StartFailed;
        return status;
    }
    node->State = HkPnpState::Started;
    node->EverStarted = true;
    DEVICE_CAPABILITIES caps;
    QueryCapabilities(node, &caps);
    if (restart || QueryDeviceState(node)) {
        EnumerateNode(node);
    }
    return STATUS_SUCCESS;
}

NTSTATUS InstallNode(HkDeviceNode* node) {
    bool disabled = false;
    const std::u16string service = InstalledService(node, &disabled);
    ULONG_PTR requirements = DescribeNode(node);
    if (service.empty() || disabled) {
        FreeAnswer(requirements);
        node->State = disabled ? HkPnpState::Disabled : HkPnpState::NeedsInstall;
        return STATUS_SUCCESS;
    }
    return AddAndStart(node, service, requirements);
}

}  // namespace hkpnp
