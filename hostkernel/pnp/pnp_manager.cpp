// The PnP manager: device nodes, driver loading, the start sequence,
// re-enumeration, and the removal requests a user or the hardware makes.
#include "pnp/pnp_internal.h"
#include "hk/io.h"
#include "hk/registry.h"
#include "hk/reset.h"
#include "hk/verifier.h"
#include "hk/pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#ifndef STATUS_DRIVER_UNABLE_TO_LOAD
#define STATUS_DRIVER_UNABLE_TO_LOAD ((NTSTATUS)0xC000026CL)
#endif

namespace hkpnp {

namespace {

constexpr ULONG kConfigFlagDisabled = 0x00000001;
constexpr ULONG kConfigFlagReinstall = 0x00000020;
constexpr ULONG kConfigFlagFailedInstall = 0x00000040;
constexpr char16_t kSystemClassGuid[] = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr char16_t kControlClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::mutex g_tree;  // the tree's shape; short holds, never across a call into a driver
std::recursive_mutex g_engine;
thread_local int t_engineDepth = 0;

HkDeviceNode* g_root = nullptr;
std::map<std::u16string, PDRIVER_INITIALIZE> g_images;   // upper-case service -> entry
struct LoadedDriver {
    std::u16string Service;
    PDRIVER_OBJECT Driver;
};
std::vector<LoadedDriver> g_loaded;

std::mutex g_logLock;
std::vector<HkPnpIrpRecord> g_irpLog;

std::mutex g_queueLock;
std::condition_variable g_queueCv;
std::vector<PDEVICE_OBJECT> g_invalidated;
std::thread g_thread;
bool g_threadStop = false;

PCWSTR W(const std::u16string& s) { return reinterpret_cast<PCWSTR>(s.c_str()); }

// "%.4d": at least four digits.
std::u16string FourDigits(ULONG n) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    } while (n);
    while (out.size() < 4) {
        out.insert(out.begin(), u'0');
    }
    return out;
}

void ResetState();

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

HkDeviceNode* FindByPdoLocked(HkDeviceNode* node, PDEVICE_OBJECT pdo) {
    if (node->Pdo == pdo) {
        return node;
    }
    for (HkDeviceNode* child : node->Children) {
        if (HkDeviceNode* found = FindByPdoLocked(child, pdo)) {
            return found;
        }
    }
    return nullptr;
}

// ---- IRP helpers -----------------------------------------------------------

void LogIrp(HkDeviceNode* node, UCHAR minor, ULONG detail, NTSTATUS status) {
    std::lock_guard<std::mutex> hold(g_logLock);
    g_irpLog.push_back({node ? node->InstancePath : std::u16string(), minor, detail, status});
}

// A PDO that its bus deleted while the manager still counts it as present.
void CheckDeletedChildren(HkDeviceNode* exempt) {
    std::vector<HkDeviceNode*> nodes;
    {
        std::lock_guard<std::mutex> hold(g_tree);
        CollectPreOrder(g_root, &nodes);
    }
    for (HkDeviceNode* n : nodes) {
        if (n == exempt || !n->Pdo || n->State == HkPnpState::Removed || n->State == HkPnpState::Disabled ||
            n->State == HkPnpState::StartFailed) {
            continue;
        }
        if (HkIoIsDeletePending(n->Pdo)) {
            HkVerifierStop(HkViolation::DeviceDeletedReferenced,
                           "the PDO of %s was deleted by its bus driver before the PnP manager removed it",
                           Utf8(n->InstancePath).c_str());
            n->State = HkPnpState::Removed;  // keep going under a capture
        }
    }
}

NTSTATUS Send(HkDeviceNode* node, UCHAR minor, ULONG arg1 = 0, ULONG_PTR* info = nullptr, PVOID pointer = nullptr) {
    IrpParams p;
    p.Minor = minor;
    p.Arg1 = arg1;
    p.Pointer = pointer;
    ULONG_PTR local = 0;
    NTSTATUS status = SendIrp(node->Pdo, p, info ? info : &local);
    LogIrp(node, minor, arg1, status);
    CheckDeletedChildren(minor == IRP_MN_REMOVE_DEVICE ? node : nullptr);
    return status;
}

void FreeAnswer(ULONG_PTR info) {
    if (info) {
        ExFreePool(reinterpret_cast<PVOID>(info));
    }
}

void ReleaseRelations(PDEVICE_RELATIONS relations) {
    if (!relations) {
        return;
    }
    for (ULONG i = 0; i < relations->Count; ++i) {
        if (relations->Objects[i]) {
            ObDereferenceObject(relations->Objects[i]);
        }
    }
    ExFreePool(relations);
}

// Queries one identifier; the answer is freed here.
NTSTATUS QueryText(HkDeviceNode* node, UCHAR minor, ULONG type, std::u16string* out, bool multi) {
    ULONG_PTR info = 0;
    NTSTATUS status = Send(node, minor, type, &info);
    if (NT_SUCCESS(status) && info) {
        const auto* text = reinterpret_cast<const char16_t*>(info);
        if (multi) {
            size_t n = 0;
            while (text[n] || text[n + 1]) {
                ++n;
            }
            out->assign(text, n ? n + 1 : 0);  // items joined by NULs, last NUL kept
        } else {
            out->assign(text);
        }
    }
    FreeAnswer(info);
    return info ? status : (NT_SUCCESS(status) ? STATUS_NOT_FOUND : status);
}

void QueryCapabilities(HkDeviceNode* node) {
    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    Send(node, IRP_MN_QUERY_CAPABILITIES, 0, nullptr, &caps);
}

// ---- registry --------------------------------------------------------------

std::u16string EnumKey(const HkDeviceNode* node) {
    return HkPnpEnumKeyPath(W(node->InstancePath));
}

void SetMultiIfMissing(const std::u16string& key, PCWSTR name, const std::u16string& joined) {
    if (joined.empty() || HkRegValueExists(W(key), name)) {
        return;
    }
    std::u16string data = joined;
    data.push_back(0);
    HkRegSetValue(W(key), name, REG_MULTI_SZ, data.data(), static_cast<ULONG>(data.size() * 2));
}

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

void SetConfigFlag(const HkDeviceNode* node, ULONG flag, bool on) {
    const std::u16string key = EnumKey(node);
    ULONG flags = 0;
    HkRegGetDword(W(key), L"ConfigFlags", &flags);
    flags = on ? (flags | flag) : (flags & ~flag);
    HkRegSetDword(W(key), L"ConfigFlags", flags);
}

// ---- drivers ---------------------------------------------------------------

PDRIVER_OBJECT FindLoaded(const std::u16string& service) {
    for (const LoadedDriver& d : g_loaded) {
        if (EqualNoCase(d.Service, service)) {
            return d.Driver;
        }
    }
    return nullptr;
}

NTSTATUS LoadService(const std::u16string& service, PDRIVER_OBJECT* driver) {
    if ((*driver = FindLoaded(service))) {
        return STATUS_SUCCESS;
    }
    auto image = g_images.find(Upcase(service));
    if (image == g_images.end()) {
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    const std::u16string key = std::u16string(kServices) + service;
    if (!HkRegKeyExists(W(key))) {
        HkRegCreateKey(W(key));
        HkRegSetDword(W(key), L"Type", 1);          // kernel driver
        HkRegSetDword(W(key), L"Start", 3);         // demand start
        HkRegSetDword(W(key), L"ErrorControl", 1);
        const std::u16string imagePath = u"\\SystemRoot\\System32\\drivers\\" + service + u".sys";
        HkRegSetValue(W(key), L"ImagePath", REG_EXPAND_SZ, imagePath.c_str(),
                      static_cast<ULONG>((imagePath.size() + 1) * 2));
    }
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, W(key));
    NTSTATUS status = HkIoCreateDriver(W(service), image->second, &path, driver);
    if (NT_SUCCESS(status)) {
        g_loaded.push_back({service, *driver});
    }
    return status;
}

void UnloadIdleDrivers() {
    for (size_t i = 0; i < g_loaded.size();) {
        if (HkIoDevicesOfDriver(g_loaded[i].Driver).empty()) {
            PDRIVER_OBJECT driver = g_loaded[i].Driver;
            g_loaded.erase(g_loaded.begin() + static_cast<long>(i));
            HkIoUnloadDriver(driver);
        } else {
            ++i;
        }
    }
}

// ---- node lifetime -----------------------------------------------------------

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

// Drops a node whose stack is gone (REMOVE sent, or never had one).
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

// New opens of a surprise-removed stack fail; the handles already open stay.
void SendSurpriseRemoval(HkDeviceNode* node) {
    for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
        HkIoSetOpenBlocked(d, true);
    }
    Send(node, IRP_MN_SURPRISE_REMOVAL);
    node->State = HkPnpState::SurpriseRemoved;
}

void SendRemove(HkDeviceNode* node) {
    for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
        PoForgetDevice(d);
    }
    Send(node, IRP_MN_REMOVE_DEVICE);
    node->State = HkPnpState::Removed;
    node->RemoveWhenClosed = false;
}

// REMOVE to every node of the subtree that still has a stack, children first.
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

// ---- start sequence ----------------------------------------------------------

void EnumerateNode(HkDeviceNode* node);

// The queries made of a new device before its function driver is added.
// Returns the resource requirements (owned by the caller) for the filter step.
ULONG_PTR QueryNewDevice(HkDeviceNode* node) {
    QueryCapabilities(node);
    std::u16string text;
    QueryText(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, &text, false);
    if (!text.empty() && !HkRegValueExists(W(EnumKey(node)), L"DeviceDesc")) {
        HkRegSetString(W(EnumKey(node)), L"DeviceDesc", W(text));
    }
    text.clear();
    QueryText(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, &text, false);
    ULONG_PTR info = 0;
    Send(node, IRP_MN_QUERY_RESOURCES, 0, &info);
    FreeAnswer(info);
    info = 0;
    Send(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0, &info);
    return info;
}

NTSTATUS StartStack(HkDeviceNode* node) {
    NTSTATUS status = Send(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        // A stack that failed to start is torn down, as the platform does.
        SendRemove(node);
        node->State = HkPnpState::StartFailed;
        return status;
    }
    node->State = HkPnpState::Started;
    node->EverStarted = true;
    QueryCapabilities(node);
    ULONG_PTR info = 0;
    Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE, 0, &info);
    info = 0;
    Send(node, IRP_MN_QUERY_BUS_INFORMATION, 0, &info);
    FreeAnswer(info);
    EnumerateNode(node);
    return STATUS_SUCCESS;
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
    status = StartStack(node);
    if (!NT_SUCCESS(status)) {
        UnloadIdleDrivers();
    }
    return status;
}

// The whole sequence for a device whose identifiers are known.
NTSTATUS InstallNode(HkDeviceNode* node) {
    bool disabled = false;
    const std::u16string service = InstalledService(node, &disabled);
    ULONG_PTR requirements = QueryNewDevice(node);
    if (service.empty() || disabled) {
        FreeAnswer(requirements);
        node->State = disabled ? HkPnpState::Disabled : HkPnpState::NeedsInstall;
        return STATUS_SUCCESS;
    }
    return AddAndStart(node, service, requirements);
}

// Identifiers of a new child; builds its instance path and Enum key.
void IdentifyChild(HkDeviceNode* node) {
    std::u16string deviceId, instanceId, hardwareIds, compatibleIds;
    QueryText(node, IRP_MN_QUERY_ID, BusQueryDeviceID, &deviceId, false);
    QueryText(node, IRP_MN_QUERY_ID, BusQueryInstanceID, &instanceId, false);
    QueryText(node, IRP_MN_QUERY_ID, BusQueryHardwareIDs, &hardwareIds, true);
    QueryText(node, IRP_MN_QUERY_ID, BusQueryCompatibleIDs, &compatibleIds, true);
    if (deviceId.empty()) {
        deviceId = u"UNKNOWN\\DEVICE";
    }
    if (instanceId.empty()) {
        instanceId = u"0";
    }
    {
        std::lock_guard<std::mutex> hold(g_tree);
        node->InstancePath = deviceId + u"\\" + instanceId;
    }
    const std::u16string key = EnumKey(node);
    if (!HkRegKeyExists(W(key))) {
        HkRegCreateKey(W(key));
    }
    SetMultiIfMissing(key, L"HardwareID", hardwareIds);
    SetMultiIfMissing(key, L"CompatibleIDs", compatibleIds);
}

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
        IdentifyChild(child);
        InstallNode(child);
    }
}

// REMOVE for surprise-removed nodes whose handles are all closed, children first.
ULONG ProcessPendingRemovals() {
    ULONG served = 0;
    bool progress = true;
    while (progress) {
        progress = false;
        std::vector<HkDeviceNode*> order;
        {
            std::lock_guard<std::mutex> hold(g_tree);
            CollectPostOrder(g_root, &order);
        }
        for (HkDeviceNode* n : order) {
            if (n->RemoveWhenClosed && n->Children.empty() && HkIoOpenFileCount(n->Pdo) == 0) {
                SendRemove(n);
                DeleteNode(n);
                ++served;
                progress = true;
                break;  // the tree changed; walk it again
            }
        }
    }
    return served;
}

// QUERY_REMOVE to the live nodes of a subtree; on a veto the ones that agreed
// get CANCEL_REMOVE (parents first) and keep their state.
NTSTATUS QueryRemoveSubtree(HkDeviceNode* node) {
    std::vector<HkDeviceNode*> order;
    CollectPostOrder(node, &order);
    std::vector<HkDeviceNode*> agreed;
    for (HkDeviceNode* n : order) {
        if (n->RemoveWhenClosed) {
            return STATUS_DEVICE_BUSY;
        }
        if (!IsLive(n)) {
            continue;
        }
        NTSTATUS status = Send(n, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            for (auto it = agreed.rbegin(); it != agreed.rend(); ++it) {
                Send(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
                (*it)->State = (*it)->StateBeforeQuery;
            }
            return status;
        }
        n->StateBeforeQuery = n->State;
        n->State = HkPnpState::RemovePending;
        agreed.push_back(n);
    }
    return STATUS_SUCCESS;
}

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
    g_loaded.clear();
    {
        std::lock_guard<std::mutex> hold(g_queueLock);
        g_invalidated.clear();
    }
    {
        std::lock_guard<std::mutex> hold(g_logLock);
        g_irpLog.clear();
    }
    RootForget();
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

// ---- shared with po/ ---------------------------------------------------------

EngineGuard::EngineGuard() {
    g_engine.lock();
    ++t_engineDepth;
}

EngineGuard::~EngineGuard() {
    --t_engineDepth;
    g_engine.unlock();
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

}  // namespace hkpnp

using namespace hkpnp;

// ---- DDIs ----------------------------------------------------------------------

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    if (Type != BusRelations || !DeviceObject) {
        return;
    }
    std::lock_guard<std::mutex> hold(g_queueLock);
    g_invalidated.push_back(DeviceObject);
    g_queueCv.notify_all();
}

// ---- host API --------------------------------------------------------------------

const char* HkPnpStateName(HkPnpState state) {
    switch (state) {
    case HkPnpState::NeedsInstall: return "NeedsInstall";
    case HkPnpState::Initialized: return "Initialized";
    case HkPnpState::Started: return "Started";
    case HkPnpState::StopPending: return "StopPending";
    case HkPnpState::Stopped: return "Stopped";
    case HkPnpState::RemovePending: return "RemovePending";
    case HkPnpState::SurpriseRemoved: return "SurpriseRemoved";
    case HkPnpState::Removed: return "Removed";
    case HkPnpState::Disabled: return "Disabled";
    case HkPnpState::StartFailed: return "StartFailed";
    }
    return "?";
}

const char* HkPnpMinorName(UCHAR minor) {
    static const char* const names[] = {
        "START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE", "STOP_DEVICE",
        "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE", "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE",
        "QUERY_CAPABILITIES", "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
        "FILTER_RESOURCE_REQUIREMENTS", "0x0E", "READ_CONFIG", "WRITE_CONFIG", "EJECT", "SET_LOCK", "QUERY_ID",
        "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL",
        "QUERY_LEGACY_BUS_INFORMATION", "DEVICE_ENUMERATED"};
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "UNKNOWN";
}

std::u16string HkPnpEnumKeyPath(PCWSTR instancePath) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + U16(instancePath);
}

NTSTATUS HkPnpRegisterDriverImage(PCWSTR service, PDRIVER_INITIALIZE entry) {
    if (!service || !*service || !entry) {
        return STATUS_INVALID_PARAMETER;
    }
    EnsureInit();
    EngineGuard engine;
    g_images[Upcase(U16(service))] = entry;
    return STATUS_SUCCESS;
}

NTSTATUS HkPnpInstallRootDevice(PCWSTR hardwareId, PCWSTR service, HkDeviceNode** out) {
    if (out) {
        *out = nullptr;
    }
    if (!hardwareId || !*hardwareId || !service || !*service) {
        return STATUS_INVALID_PARAMETER;
    }
    EnsureInit();
    EngineGuard engine;

    // ROOT\SYSTEM\0000, 0001, ...: the first number with no Enum key.
    std::u16string path;
    for (ULONG n = 0;; ++n) {
        path = u"ROOT\\SYSTEM\\" + FourDigits(n);
        if (!HkRegKeyExists(W(HkPnpEnumKeyPath(W(path)))) && !HkPnpFindNode(W(path))) {
            break;
        }
    }
    // The class driver key, as the device installer leaves it.
    std::u16string driverKey;
    for (ULONG n = 0;; ++n) {
        driverKey = std::u16string(kSystemClassGuid) + u"\\" + FourDigits(n);
        if (!HkRegKeyExists(W(std::u16string(kControlClass) + driverKey))) {
            break;
        }
    }
    HkRegCreateKey(W(std::u16string(kControlClass) + driverKey));

    const std::u16string key = HkPnpEnumKeyPath(W(path));
    std::u16string hwid = U16(hardwareId);
    hwid.push_back(0);
    hwid.push_back(0);
    NTSTATUS status = HkRegSetValue(W(key), L"HardwareID", REG_MULTI_SZ, hwid.data(), static_cast<ULONG>(hwid.size() * 2));
    if (NT_SUCCESS(status)) {
        HkRegSetString(W(key), L"Service", service);
        HkRegSetString(W(key), L"ClassGUID", W(std::u16string(kSystemClassGuid)));
        HkRegSetString(W(key), L"Class", L"System");
        HkRegSetString(W(key), L"Driver", W(driverKey));
        HkRegSetDword(W(key), L"ConfigFlags", 0);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_OBJECT pdo = nullptr;
    status = CreateRootPdo(&pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HkDeviceNode* node = AddNode(g_root, pdo, true);
    {
        std::lock_guard<std::mutex> hold(g_tree);
        node->InstancePath = path;
    }
    RootSetInstancePath(pdo, path);
    if (out) {
        *out = node;
    }
    // Identifiers as the manager asks every new device for them.
    std::u16string ignored;
    QueryText(node, IRP_MN_QUERY_ID, BusQueryDeviceID, &ignored, false);
    QueryText(node, IRP_MN_QUERY_ID, BusQueryInstanceID, &ignored, false);
    QueryText(node, IRP_MN_QUERY_ID, BusQueryHardwareIDs, &ignored, true);
    QueryText(node, IRP_MN_QUERY_ID, BusQueryCompatibleIDs, &ignored, true);
    return InstallNode(node);
}

ULONG HkPnpRunPending() {
    EnsureInit();
    EngineGuard engine;
    if (t_engineDepth > 1) {
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

NTSTATUS HkPnpQueryRemoveAndRemove(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == g_root) {
        return STATUS_INVALID_PARAMETER;
    }
    if (node->State == HkPnpState::Disabled) {
        return STATUS_SUCCESS;
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
    if (!node || node == g_root || node->RemoveWhenClosed) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsLive(node)) {
        return STATUS_SUCCESS;
    }
    SetConfigFlag(node, kConfigFlagDisabled, false);
    return InstallNode(node);
}

NTSTATUS HkPnpRebalance(HkDeviceNode* node) {
    EnsureInit();
    EngineGuard engine;
    if (!node || node == g_root || node->State != HkPnpState::Started) {
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
    status = StartStack(node);
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
    if (!node || node == g_root) {
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
    if (!node || node == g_root) {
        return STATUS_INVALID_PARAMETER;
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
    for (;;) {
        HkDeviceNode* first = nullptr;
        {
            std::lock_guard<std::mutex> hold(g_tree);
            if (!g_root->Children.empty()) {
                first = g_root->Children.front();
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

HkDeviceNode* HkPnpRootNode() {
    EnsureInit();
    return g_root;
}

HkDeviceNode* HkPnpFindNode(PCWSTR instancePath) {
    EnsureInit();
    const std::u16string wanted = U16(instancePath);
    std::vector<HkDeviceNode*> all;
    std::lock_guard<std::mutex> hold(g_tree);
    CollectPreOrder(g_root, &all);
    for (HkDeviceNode* n : all) {
        if (EqualNoCase(n->InstancePath, wanted)) {
            return n;
        }
    }
    return nullptr;
}

HkDeviceNode* HkPnpNodeOfPdo(PDEVICE_OBJECT pdo) {
    if (!pdo) {
        return nullptr;
    }
    EnsureInit();
    std::lock_guard<std::mutex> hold(g_tree);
    return FindByPdoLocked(g_root, pdo);
}

HkDeviceNode* HkPnpParent(HkDeviceNode* node) { return node ? node->Parent : nullptr; }

std::vector<HkDeviceNode*> HkPnpChildren(HkDeviceNode* node) {
    std::lock_guard<std::mutex> hold(g_tree);
    return node ? node->Children : std::vector<HkDeviceNode*>();
}

std::vector<PDEVICE_OBJECT> HkPnpStack(HkDeviceNode* node) {
    std::vector<PDEVICE_OBJECT> stack;
    if (!node) {
        return stack;
    }
    for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
        stack.insert(stack.begin(), d);
    }
    return stack;
}

PDEVICE_OBJECT HkPnpPdo(HkDeviceNode* node) { return node ? node->Pdo : nullptr; }
HkPnpState HkPnpGetState(HkDeviceNode* node) { return node->State; }

std::u16string HkPnpInstancePath(HkDeviceNode* node) {
    std::lock_guard<std::mutex> hold(g_tree);
    return node->InstancePath;
}

std::u16string HkPnpService(HkDeviceNode* node) { return node->Service; }
std::string HkPnpInstancePathUtf8(HkDeviceNode* node) { return Utf8(HkPnpInstancePath(node)); }

std::string HkPnpDumpTree() {
    EnsureInit();
    std::string out;
    std::lock_guard<std::mutex> hold(g_tree);
    struct Walker {
        static void Walk(std::string& out, HkDeviceNode* node, int depth) {
            const std::string indent(static_cast<size_t>(depth) * 2, ' ');
            out += indent + Utf8(node->InstancePath) + " [" + HkPnpStateName(node->State) + "]";
            if (!node->Service.empty()) {
                out += " service=" + Utf8(node->Service);
            }
            out += "\n";
            if (node->Pdo) {
                std::string stack;
                std::vector<PDEVICE_OBJECT> devices;
                for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
                    devices.insert(devices.begin(), d);
                }
                for (PDEVICE_OBJECT d : devices) {
                    const UNICODE_STRING& name = d->DriverObject->DriverName;
                    if (!stack.empty()) {
                        stack += " > ";
                    }
                    stack += Utf8(std::u16string(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / 2));
                }
                out += indent + "  stack: " + stack + "\n";
            }
            for (HkDeviceNode* child : node->Children) {
                Walk(out, child, depth + 1);
            }
        }
    };
    Walker::Walk(out, g_root, 0);
    return out;
}

std::vector<HkPnpIrpRecord> HkPnpIrpLog() {
    std::lock_guard<std::mutex> hold(g_logLock);
    return g_irpLog;
}

void HkPnpClearIrpLog() {
    std::lock_guard<std::mutex> hold(g_logLock);
    g_irpLog.clear();
}

PDRIVER_OBJECT HkPnpLoadedDriver(PCWSTR service) {
    EngineGuard engine;
    return FindLoaded(U16(service));
}
