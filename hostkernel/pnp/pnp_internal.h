// PnP manager internals shared by the pnp and po components.
#pragma once
#include <ntddk.h>
#include "hk/pnp.h"

#include <mutex>
#include <string>
#include <vector>

struct HkDeviceNode {
    HkDeviceNode* Parent = nullptr;
    std::vector<HkDeviceNode*> Children;
    PDEVICE_OBJECT Pdo = nullptr;        // one reference held by the node
    std::u16string InstancePath;
    std::u16string Service;
    HkPnpState State = HkPnpState::NeedsInstall;
    HkPnpState StateBeforeQuery = HkPnpState::NeedsInstall;
    bool RootEnumerated = false;         // PDO owned by the manager's root bus
    bool Missing = false;                // its bus no longer reports it
    bool RemoveWhenClosed = false;       // surprise-removed; REMOVE once no handle is open
    bool EverStarted = false;
    bool NoDisplayInUI = false;          // from its capabilities
    ULONG DeviceState = 0;               // PNP_DEVICE_* of its last IRP_MN_QUERY_PNP_DEVICE_STATE
    bool HasRelationsFromAbove = false;
    std::vector<PDEVICE_OBJECT> RelationsFromAbove;
};

namespace hkpnp {

// ---- the device tree (pnp_tree.cpp) ----------------------------------------

// Serialises the manager's own work (IRPs to stacks); recursive per thread.
struct EngineGuard {
    EngineGuard();
    ~EngineGuard();
    EngineGuard(const EngineGuard&) = delete;
    EngineGuard& operator=(const EngineGuard&) = delete;
};
// How deep the calling thread is inside the manager's own work.
int EngineDepth();

// Creates the root node on first use and registers the reset hook.
void EnsureInit();
// The tree's shape; short holds, never across a call into a driver.
std::mutex& TreeLock();
HkDeviceNode* Root();

void CollectPostOrder(HkDeviceNode* node, std::vector<HkDeviceNode*>* out);
void CollectPreOrder(HkDeviceNode* node, std::vector<HkDeviceNode*>* out);
// Every node below the root, parents before children.
std::vector<HkDeviceNode*> PreOrderAll();
bool IsLive(const HkDeviceNode* node);   // started or on its way between started states

// A node for `pdo` under `parent`; the node takes a reference on the PDO.
HkDeviceNode* AddNode(HkDeviceNode* parent, PDEVICE_OBJECT pdo, bool root);
// Drops a node whose stack is gone (REMOVE sent, or never had one).
void DeleteNode(HkDeviceNode* node);

// ---- IRPs to device stacks (pnp_irp.cpp) -----------------------------------

// Sends one IRP to the top of the stack over `pdo` and waits for it.
// `information` goes in IoStatus.Information before the call and receives
// what came back.
struct IrpParams {
    UCHAR Major = IRP_MJ_PNP;
    UCHAR Minor = 0;
    ULONG Arg1 = 0;     // relation type, ID type, text type, power type
    ULONG Arg2 = 0;     // power state, locale
    ULONG Arg3 = 0;     // power action (shutdown type)
    PVOID Pointer = nullptr;  // capabilities record, allocated resources
};
NTSTATUS SendIrp(PDEVICE_OBJECT pdo, const IrpParams& params, ULONG_PTR* information);

// One PnP IRP to a node's stack, logged; afterwards every PDO its bus deleted
// while the manager still counts it as present is reported.
NTSTATUS Send(HkDeviceNode* node, UCHAR minor, ULONG arg1 = 0, ULONG_PTR* info = nullptr, PVOID pointer = nullptr);
// Queries one text; the answer is freed here.
NTSTATUS QueryText(HkDeviceNode* node, UCHAR minor, ULONG type, std::u16string* out);
void FreeAnswer(ULONG_PTR info);
void ReleaseRelations(PDEVICE_RELATIONS relations);
void ForgetIrpLog();

// ---- new devices (pnp_interrogate.cpp) -------------------------------------

NTSTATUS QueryCapabilities(HkDeviceNode* node, DEVICE_CAPABILITIES* caps);
// Identifiers and capabilities of a new device; builds its instance path and
// Enum key. False when the device is not to be set up.
bool IdentifyNode(HkDeviceNode* node);
// Texts, bus information and resources of a device about to get its driver.
// Returns the resource requirements (owned by the caller) for the filter step.
ULONG_PTR DescribeNode(HkDeviceNode* node);
std::u16string EnumKey(const HkDeviceNode* node);

// ---- drivers (pnp_services.cpp) --------------------------------------------

NTSTATUS LoadService(const std::u16string& service, PDRIVER_OBJECT* driver);
void UnloadIdleDrivers();
void ForgetLoadedDrivers();

// ---- starting (pnp_start.cpp) ----------------------------------------------

constexpr ULONG kConfigFlagDisabled = 0x00000001;
void SetConfigFlag(const HkDeviceNode* node, ULONG flag, bool on);
// The whole sequence for a device whose identifiers are known.
NTSTATUS InstallNode(HkDeviceNode* node);
// START and what follows it; `restart` after a stop, when the device state
// is not asked again.
NTSTATUS StartStack(HkDeviceNode* node, bool restart);
// True when the subtree of `node` holds a device that reported
// PNP_DEVICE_NOT_DISABLEABLE.
bool HoldsNotDisableable(HkDeviceNode* node);

// ---- enumeration (pnp_enumerate.cpp) ---------------------------------------

void EnumerateNode(HkDeviceNode* node);
void ForgetQueue();

// ---- removal (pnp_requests.cpp) --------------------------------------------

void SendSurpriseRemoval(HkDeviceNode* node);
// A device that reported itself failed or removed: surprise removal of its
// subtree now, REMOVE once no handle is open. The node stays (its bus still
// reports it); its children go.
void RemoveFailedDevice(HkDeviceNode* node);
void SendRemove(HkDeviceNode* node);
// REMOVE to every node of the subtree that still has a stack, children first.
void RemoveSubtree(HkDeviceNode* node, bool gone);
ULONG ProcessPendingRemovals();

// ---- root bus driver (pnp_root.cpp) ----------------------------------------

NTSTATUS CreateRootPdo(PDEVICE_OBJECT* pdo);
bool IsRootPdo(PDEVICE_OBJECT device);
ULONG RootPdoReachedCount(PDEVICE_OBJECT pdo, UCHAR minor);
std::vector<HkPnpReceived> RootPdoReceived(PDEVICE_OBJECT pdo);
void RootSetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& path);
void RootUnloadDriver();
void RootForget();

// ---- text (16-bit characters, no library wide-character functions) ---------

std::u16string U16(PCWSTR text);
std::string Utf8(const std::u16string& text);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
std::u16string Upcase(const std::u16string& text);
// A pool block of 16-bit characters with the terminating NUL(s).
PWSTR PoolString(const std::u16string& text, bool multi);
inline PCWSTR W(const std::u16string& s) { return reinterpret_cast<PCWSTR>(s.c_str()); }
// The name of the driver that owns `device` (UTF-8), for reports.
std::string DriverNameOf(PDEVICE_OBJECT device);
// "%.4d": at least four digits.
std::u16string FourDigits(ULONG n);

// Power manager hook: forget what a device told PoSetPowerState.
void PoForgetDevice(PDEVICE_OBJECT device);

}  // namespace hkpnp
