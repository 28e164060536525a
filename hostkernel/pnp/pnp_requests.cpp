// Requests a user or the hardware makes on a device and its subtree:
// disable and enable, rebalance, unplug, uninstall, and the removals that
// wait for open handles to close.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/registry.h"

namespace hkpnp {

namespace {

// QUERY_REMOVE to the live nodes of a subtree, children first. On a veto
// every stack that was asked gets CANCEL_REMOVE, the one that refused first
// (drivers above the one that failed may have agreed), then the others in
// reverse order; each keeps its state. Windows does the same: "The device may
// not be in the remove-pending state, because, for example, the driver
// failed the previous IRP_MN_QUERY_REMOVE_DEVICE" (IRP_MN_CANCEL_REMOVE_DEVICE,
// Microsoft Learn); ReactOS IopPrepareDeviceForRemoval cancels the vetoing
// device too.
NTSTATUS QueryRemoveSubtree(HkDeviceNode* node) {
    std::vector<HkDeviceNode*> order;
    CollectPostOrder(node, &order);
    std::vector<HkDeviceNode*> asked;
    for (HkDeviceNode* n : order) {
        if (n->RemoveWhenClosed) {
            return STATUS_DEVICE_BUSY;
        }
        if (!IsLive(n)) {
            continue;
        }
        n->StateBeforeQuery = n->State;
        asked.push_back(n);
        NTSTATUS status = Send(n, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
                Send(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
                (*it)->State = (*it)->StateBeforeQuery;
            }
            return status;
        }
        n->State = HkPnpState::RemovePending;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// New opens of a surprise-removed stack fail; the handles already open stay.
void SendSurpriseRemoval(HkDeviceNode* node) {
    for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
        HkIoSetOpenBlocked(d, true);
    }
    Send(node, IRP_MN_SURPRISE_REMOVAL);
    node->State = HkPnpState::SurpriseRemoved;
}

void RemoveFailedDevice(HkDeviceNode* node) {
    std::vector<HkDeviceNode*> order;
    CollectPostOrder(node, &order);
    for (HkDeviceNode* n : order) {
        n->Missing = n != node;
        if (IsLive(n)) {
            SendSurpriseRemoval(n);
        }
        n->RemoveWhenClosed = true;
    }
}

void SendRemove(HkDeviceNode* node) {
    for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
        PoForgetDevice(d);
    }
    Send(node, IRP_MN_REMOVE_DEVICE);
    node->State = HkPnpState::Removed;
    node->RemoveWhenClosed = false;
}

// For devices that are gone (`gone`), removed ones get a second REMOVE: the
// first left the PDO in place because its bus still reported it.
void RemoveSubtree(HkDeviceNode* node, bool gone) {
    std::vector<HkDeviceNode*> order;
    CollectPostOrder(node, &order);
    for (HkDeviceNode* n : order) {
        if (gone || (n->State != HkPnpState::Removed && n->State != HkPnpState::Disabled)) {
            SendRemove(n);
        }
    }
    // The bus driver deleted the children's PDOs with its own removal.
    while (!node->Children.empty()) {
        DeleteNode(node->Children.back());
    }
}

// REMOVE for surprise-removed nodes whose handles are all closed, children
// first. Nodes of devices that are gone are dropped; a failed device's node
// stays while its bus reports it.
ULONG ProcessPendingRemovals() {
    ULONG served = 0;
    bool progress = true;
    HkDeviceNode* root = Root();
    while (progress) {
        progress = false;
        std::vector<HkDeviceNode*> order;
        {
            std::lock_guard<std::mutex> hold(TreeLock());
            CollectPostOrder(root, &order);
        }
        for (HkDeviceNode* n : order) {
            if (n->RemoveWhenClosed && n->Children.empty() && HkIoOpenFileCount(n->Pdo) == 0) {
                SendRemove(n);
                if (n->Missing) {
                    DeleteNode(n);
                }
                ++served;
                progress = true;
                break;  // the tree changed; walk it again
            }
        }
    }
    return served;
}

}  // namespace hkpnp

using namespace hkpnp;

NTSTATUS HkPnpQueryRemoveAndRemove(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == Root()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (node->State == HkPnpState::Disabled) {
        return STATUS_SUCCESS;
    }
    // PNP_DEVICE_NOT_DISABLEABLE holds for the device and, propagated, for
    // its parent and the parent's parents (PNP_DEVICE_STATE, Microsoft Learn);
    // ReactOS refuses with STATUS_UNSUCCESSFUL before any query.
    if (HoldsNotDisableable(node)) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = QueryRemoveSubtree(node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RemoveSubtree(node, false);
    node->State = HkPnpState::Disabled;
    SetConfigFlag(node, kConfigFlagDisabled, true);
    UnloadIdleDrivers();
    return STATUS_SUCCESS;
}

NTSTATUS HkPnpEnable(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == Root() || node->RemoveWhenClosed) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsLive(node)) {
        return STATUS_SUCCESS;
    }
    SetConfigFlag(node, kConfigFlagDisabled, false);
    DEVICE_CAPABILITIES caps;
    QueryCapabilities(node, &caps);
    return InstallNode(node);
}

NTSTATUS HkPnpRebalance(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == Root() || node->State != HkPnpState::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = Send(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        Send(node, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    node->State = HkPnpState::StopPending;
    Send(node, IRP_MN_STOP_DEVICE);
    node->State = HkPnpState::Stopped;
    status = StartStack(node, true);
    if (!NT_SUCCESS(status)) {
        std::vector<HkDeviceNode*> order;
        CollectPostOrder(node, &order);
        order.pop_back();
        for (HkDeviceNode* n : order) {
            if (n->State != HkPnpState::Removed && n->State != HkPnpState::Disabled) {
                SendRemove(n);
            }
        }
        while (!node->Children.empty()) {
            DeleteNode(node->Children.back());
        }
        UnloadIdleDrivers();
    }
    return status;
}

NTSTATUS HkPnpSurpriseRemove(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == Root()) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<HkDeviceNode*> order;
    CollectPostOrder(node, &order);
    for (HkDeviceNode* n : order) {
        n->Missing = true;
        if (IsLive(n)) {
            SendSurpriseRemoval(n);
        }
        n->RemoveWhenClosed = true;
    }
    ProcessPendingRemovals();
    UnloadIdleDrivers();
    return STATUS_SUCCESS;
}

NTSTATUS HkPnpUninstall(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == Root()) {
        return STATUS_INVALID_PARAMETER;
    }
    // "If this bit is set for a root-enumerated device, the device cannot be
    // disabled or uninstalled."
    if (node->RootEnumerated && HoldsNotDisableable(node)) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = QueryRemoveSubtree(node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool root = node->RootEnumerated;
    const std::u16string key = EnumKey(node);
    RemoveSubtree(node, false);
    DeleteNode(node);
    if (root) {
        HkRegDeleteKey(W(key));  // the installer deletes what it installed
    }
    UnloadIdleDrivers();
    return STATUS_SUCCESS;
}

NTSTATUS HkPnpShutdownTree() {
    EnsureInit();
    EngineGuard engine;
    NTSTATUS result = STATUS_SUCCESS;
    HkDeviceNode* root = Root();
    for (;;) {
        HkDeviceNode* first = nullptr;
        {
            std::lock_guard<std::mutex> hold(TreeLock());
            if (!root->Children.empty()) {
                first = root->Children.front();
            }
        }
        if (!first) {
            break;
        }
        NTSTATUS status = HkPnpUninstall(first);
        if (!NT_SUCCESS(status)) {
            result = status;
            // Vetoed: take it away regardless, as at power-off.
            RemoveSubtree(first, false);
            DeleteNode(first);
        }
    }
    UnloadIdleDrivers();
    RootUnloadDriver();
    return result;
}
