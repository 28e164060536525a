// The device tree: its nodes and their lifetime, the lock of its shape and
// the lock of the manager's own work, and the reset of the whole manager.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/reset.h"

#include <algorithm>

namespace hkpnp {

namespace {

std::mutex g_tree;
std::recursive_mutex g_engine;
thread_local int t_engineDepth = 0;
HkDeviceNode* g_root = nullptr;

void ResetState() {
    // The rest of the host kernel is being reset too: forget, call nothing.
    HkPnpStopThread();
    {
        std::lock_guard<std::mutex> hold(g_tree);
        if (g_root) {
            std::vector<HkDeviceNode*> all;
            CollectPostOrder(g_root, &all);
            for (HkDeviceNode* n : all) {
                delete n;
            }
            g_root = nullptr;
        }
    }
    ForgetLoadedDrivers();
    ForgetQueue();
    ForgetIrpLog();
    RootForget();
}

}  // namespace

EngineGuard::EngineGuard() {
    g_engine.lock();
    ++t_engineDepth;
}

EngineGuard::~EngineGuard() {
    --t_engineDepth;
    g_engine.unlock();
}

int EngineDepth() { return t_engineDepth; }

void EnsureInit() {
    static std::once_flag once;
    std::call_once(once, [] { HkRegisterResetHook(ResetState); });
    std::lock_guard<std::mutex> hold(g_tree);
    if (!g_root) {
        g_root = new HkDeviceNode;
        g_root->InstancePath = u"HTREE\\ROOT\\0";
        g_root->State = HkPnpState::Started;
        g_root->EverStarted = true;
    }
}

std::mutex& TreeLock() { return g_tree; }

HkDeviceNode* Root() {
    EnsureInit();
    return g_root;
}

void CollectPostOrder(HkDeviceNode* node, std::vector<HkDeviceNode*>* out) {
    for (HkDeviceNode* child : node->Children) {
        CollectPostOrder(child, out);
    }
    out->push_back(node);
}

void CollectPreOrder(HkDeviceNode* node, std::vector<HkDeviceNode*>* out) {
    out->push_back(node);
    for (HkDeviceNode* child : node->Children) {
        CollectPreOrder(child, out);
    }
}

std::vector<HkDeviceNode*> PreOrderAll() {
    EnsureInit();
    std::vector<HkDeviceNode*> out;
    std::lock_guard<std::mutex> hold(g_tree);
    for (HkDeviceNode* child : g_root->Children) {
        CollectPreOrder(child, &out);
    }
    return out;
}

bool IsLive(const HkDeviceNode* node) {
    switch (node->State) {
    case HkPnpState::Started:
    case HkPnpState::StopPending:
    case HkPnpState::Stopped:
    case HkPnpState::RemovePending:
        return node->Pdo != nullptr;
    default:
        return false;
    }
}

HkDeviceNode* AddNode(HkDeviceNode* parent, PDEVICE_OBJECT pdo, bool root) {
    ObReferenceObject(pdo);
    auto* node = new HkDeviceNode;
    node->Parent = parent;
    node->Pdo = pdo;
    node->RootEnumerated = root;
    HkIoSetDeviceNode(pdo, node);
    std::lock_guard<std::mutex> hold(g_tree);
    parent->Children.push_back(node);
    return node;
}

void DeleteNode(HkDeviceNode* node) {
    while (!node->Children.empty()) {
        DeleteNode(node->Children.back());
    }
    {
        std::lock_guard<std::mutex> hold(g_tree);
        auto& siblings = node->Parent->Children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
    }
    if (node->Pdo) {
        PoForgetDevice(node->Pdo);
        HkIoSetDeviceNode(node->Pdo, nullptr);
        if (node->RootEnumerated) {
            RootSetInstancePath(node->Pdo, std::u16string());
            IoDeleteDevice(node->Pdo);  // the root bus deletes its own PDO
        }
        ObDereferenceObject(node->Pdo);
    }
    for (PDEVICE_OBJECT pdo : node->RelationsFromAbove) {
        ObDereferenceObject(pdo);
    }
    delete node;
}

}  // namespace hkpnp
