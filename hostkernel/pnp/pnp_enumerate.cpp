// Re-enumeration: IoInvalidateDeviceRelations queues a bus, the manager (a
// test pumping it, or its own thread) asks the bus for its relations and
// compares them with the children it knows.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/pool.h"
#include "hk/verifier.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace hkpnp {

namespace {

std::mutex g_queueLock;
std::condition_variable g_queueCv;
std::vector<PDEVICE_OBJECT> g_invalidated;
std::thread g_thread;
bool g_threadStop = false;

// A child its bus stopped reporting: surprise removal for a started stack,
// REMOVE at once otherwise.
void HandleMissing(HkDeviceNode* child) {
    std::vector<HkDeviceNode*> order;
    CollectPostOrder(child, &order);
    bool anyStarted = false;
    for (HkDeviceNode* n : order) {
        n->Missing = true;
        anyStarted = anyStarted || IsLive(n);
    }
    if (!anyStarted) {
        RemoveSubtree(child, true);
        DeleteNode(child);
        return;
    }
    for (HkDeviceNode* n : order) {
        if (IsLive(n)) {
            SendSurpriseRemoval(n);
        }
        n->RemoveWhenClosed = true;
    }
}

PDEVICE_RELATIONS BuildRelationsFromAbove(HkDeviceNode* node) {
    if (!node->HasRelationsFromAbove) {
        return nullptr;
    }
    node->HasRelationsFromAbove = false;
    const size_t count = node->RelationsFromAbove.size();
    auto* list = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), 'pnpH'));
    if (list) {
        list->Count = static_cast<ULONG>(count);
        for (size_t i = 0; i < count; ++i) {
            list->Objects[i] = node->RelationsFromAbove[i];  // the node's reference moves into the list
        }
    } else {
        for (PDEVICE_OBJECT pdo : node->RelationsFromAbove) {
            ObDereferenceObject(pdo);
        }
    }
    node->RelationsFromAbove.clear();
    return list;
}

void ThreadMain() {
    std::unique_lock<std::mutex> lock(g_queueLock);
    while (!g_threadStop) {
        g_queueCv.wait_for(lock, std::chrono::milliseconds(20));
        if (g_threadStop) {
            break;
        }
        lock.unlock();
        HkPnpRunPending();
        lock.lock();
    }
}

}  // namespace

void EnumerateNode(HkDeviceNode* node) {
    if (!node->Pdo || node->State != HkPnpState::Started) {
        return;
    }
    PDEVICE_RELATIONS above = BuildRelationsFromAbove(node);
    ULONG_PTR info = reinterpret_cast<ULONG_PTR>(above);
    NTSTATUS status = Send(node, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, &info);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    if (above && relations != above && HkPoolIsLive(above)) {
        HkVerifierStop(HkViolation::RelationListLeak,
                       "the stack of %s replaced the bus relations list from above without freeing it",
                       Utf8(node->InstancePath).c_str());
        ExFreePool(above);  // its references went into the new list
    }
    if (!NT_SUCCESS(status)) {
        ReleaseRelations(relations);  // the children stay as they were
        return;
    }
    std::vector<PDEVICE_OBJECT> reported;
    if (relations) {
        for (ULONG i = 0; i < relations->Count; ++i) {
            PDEVICE_OBJECT pdo = relations->Objects[i];
            if (pdo && std::find(reported.begin(), reported.end(), pdo) == reported.end()) {
                reported.push_back(pdo);
            }
        }
    }
    std::vector<HkDeviceNode*> missing;
    std::vector<PDEVICE_OBJECT> fresh;
    for (HkDeviceNode* child : node->Children) {
        if (!child->Missing && std::find(reported.begin(), reported.end(), child->Pdo) == reported.end()) {
            missing.push_back(child);
        }
    }
    for (PDEVICE_OBJECT pdo : reported) {
        bool known = false;
        for (HkDeviceNode* child : node->Children) {
            known = known || (child->Pdo == pdo && !child->Missing);
        }
        if (!known) {
            fresh.push_back(pdo);
        }
    }
    std::vector<HkDeviceNode*> added;
    for (PDEVICE_OBJECT pdo : fresh) {
        added.push_back(AddNode(node, pdo, false));
    }
    ReleaseRelations(relations);

    for (HkDeviceNode* child : missing) {
        HandleMissing(child);
    }
    for (HkDeviceNode* child : added) {
        if (!IdentifyNode(child)) {
            // Dropped: REMOVE now; the node stays, without a driver, until
            // its bus stops reporting it.
            SendRemove(child);
            continue;
        }
        InstallNode(child);
    }
}

void ForgetQueue() {
    std::lock_guard<std::mutex> hold(g_queueLock);
    g_invalidated.clear();
}

}  // namespace hkpnp

using namespace hkpnp;

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    // Only a PDO that was reported to the manager has a node. Windows
    // bug-checks on anything else: an FDO, a PDO never reported, a random
    // pointer (PNP_DETECTED_FATAL_ERROR, 0xCA, parameter 2, "Invalid PDO").
    if (!DeviceObject || !HkIoGetDeviceNode(DeviceObject)) {
        HkVerifierStop(HkViolation::InvalidPdo,
                       "IoInvalidateDeviceRelations on %p, which is not a PDO reported to the PnP manager",
                       static_cast<void*>(DeviceObject));
        return;
    }
    if (Type != BusRelations) {
        return;
    }
    std::lock_guard<std::mutex> hold(g_queueLock);
    g_invalidated.push_back(DeviceObject);
    g_queueCv.notify_all();
}

ULONG HkPnpRunPending() {
    EnsureInit();
    EngineGuard engine;
    if (EngineDepth() > 1) {
        return 0;  // called from inside the manager's own work
    }
    ULONG served = 0;
    for (;;) {
        std::vector<PDEVICE_OBJECT> queued;
        {
            std::lock_guard<std::mutex> hold(g_queueLock);
            queued.swap(g_invalidated);
        }
        for (PDEVICE_OBJECT pdo : queued) {
            HkDeviceNode* node = HkPnpNodeOfPdo(pdo);
            if (node) {
                EnumerateNode(node);
                ++served;
            }
        }
        const ULONG removed = ProcessPendingRemovals();
        served += removed;
        if (queued.empty() && removed == 0) {
            break;
        }
    }
    UnloadIdleDrivers();
    return served;
}

void HkPnpStartThread() {
    std::lock_guard<std::mutex> hold(g_queueLock);
    if (g_thread.joinable()) {
        return;
    }
    g_threadStop = false;
    g_thread = std::thread(ThreadMain);
}

void HkPnpStopThread() {
    {
        std::lock_guard<std::mutex> hold(g_queueLock);
        if (!g_thread.joinable()) {
            return;
        }
        g_threadStop = true;
        g_queueCv.notify_all();
    }
    g_thread.join();
}

void HkPnpSetRelationsFromAbove(HkDeviceNode* node, const std::vector<PDEVICE_OBJECT>& pdos) {
    EngineGuard engine;
    for (PDEVICE_OBJECT pdo : node->RelationsFromAbove) {
        ObDereferenceObject(pdo);
    }
    node->RelationsFromAbove.clear();
    for (PDEVICE_OBJECT pdo : pdos) {
        ObReferenceObject(pdo);
        node->RelationsFromAbove.push_back(pdo);
    }
    node->HasRelationsFromAbove = true;
}
