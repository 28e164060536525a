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
    bool HasRelationsFromAbove = false;
    std::vector<PDEVICE_OBJECT> RelationsFromAbove;
};

namespace hkpnp {

// Serialises the manager's own work (IRPs to stacks); recursive per thread.
struct EngineGuard {
    EngineGuard();
    ~EngineGuard();
    EngineGuard(const EngineGuard&) = delete;
    EngineGuard& operator=(const EngineGuard&) = delete;
};

// Every node below the root, parents before children.
std::vector<HkDeviceNode*> PreOrderAll();
bool IsLive(const HkDeviceNode* node);   // started or on its way between started states

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

// Root bus driver (the manager's own PDOs).
NTSTATUS CreateRootPdo(PDEVICE_OBJECT* pdo);
bool IsRootPdo(PDEVICE_OBJECT device);
ULONG RootPdoReachedCount(PDEVICE_OBJECT pdo, UCHAR minor);
void RootSetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& path);
void RootUnloadDriver();
void RootForget();

// Text helpers (16-bit characters, no library wide-character functions).
std::u16string U16(PCWSTR text);
std::string Utf8(const std::u16string& text);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
std::u16string Upcase(const std::u16string& text);
// A pool block of 16-bit characters with the terminating NUL(s).
PWSTR PoolString(const std::u16string& text, bool multi);

// Power manager hook: forget what a device told PoSetPowerState.
void PoForgetDevice(PDEVICE_OBJECT device);

}  // namespace hkpnp
