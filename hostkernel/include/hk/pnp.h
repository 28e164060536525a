// Host control of the PnP manager: driver images, installing root devices,
// the device tree and the requests a user or the hardware makes on it.
//
// IoInvalidateDeviceRelations only queues work; tests pump it with
// HkPnpRunPending() (or run the manager thread). Every PnP IRP is sent to the
// top of a device stack at PASSIVE_LEVEL, one at a time, with
// IoStatus.Status = STATUS_NOT_SUPPORTED.
#pragma once
#include <ntddk.h>
#include <string>
#include <vector>

struct HkDeviceNode;  // opaque; owned by the manager

enum class HkPnpState {
    NeedsInstall,    // reported, identified, no installation records
    Initialized,     // drivers loaded and added, not started yet
    Started,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved, // surprise removal sent; REMOVE follows once no handle is open
    Removed,         // REMOVE sent; the PDO is still reported by its bus
    Disabled,        // removed at a user's request; HkPnpEnable starts it again
    StartFailed,
};
const char* HkPnpStateName(HkPnpState state);

// The stand-in for a driver's image on disk: loading service `service` calls
// `entry` as its DriverEntry.
NTSTATUS HkPnpRegisterDriverImage(PCWSTR service, PDRIVER_INITIALIZE entry);

// Installs a System-class root device (ROOT\SYSTEM\0000, 0001, ...) for the
// given service, loads the service, calls AddDevice and starts the device,
// then enumerates its children. `out` (optional) receives the node even when
// the start fails.
NTSTATUS HkPnpInstallRootDevice(PCWSTR hardwareId, PCWSTR service, HkDeviceNode** out);

// Serves queued re-enumerations and pending removals until nothing is left.
// Returns the number of work items served.
ULONG HkPnpRunPending();
// A manager thread that serves the queue by itself (real-time use).
void HkPnpStartThread();
void HkPnpStopThread();

// Requests on a node and its subtree.
NTSTATUS HkPnpQueryRemoveAndRemove(HkDeviceNode* node); // disable; veto -> stays started
NTSTATUS HkPnpEnable(HkDeviceNode* node);
NTSTATUS HkPnpRebalance(HkDeviceNode* node);            // QUERY_STOP, STOP, START
NTSTATUS HkPnpSurpriseRemove(HkDeviceNode* node);       // unplug
NTSTATUS HkPnpUninstall(HkDeviceNode* node);            // orderly removal, node deleted
// Uninstalls every root device and unloads what is left (end of a scenario).
NTSTATUS HkPnpShutdownTree();

// Test hook: the next BusRelations query sent to `node` carries a list built
// from `pdos` (each referenced) in IoStatus.Information, as a filter above
// the function driver would leave it.
void HkPnpSetRelationsFromAbove(HkDeviceNode* node, const std::vector<PDEVICE_OBJECT>& pdos);

// Test hook for a PDO that a test drives by hand (its own lower driver, its
// own IRPs): a node under the root, so the DDIs that need a reported PDO
// (IoInvalidateDeviceRelations) accept it. The manager never sends it a
// request and never enumerates it. HkPnpForgetPdo drops the node (and its
// reference on the PDO) before the test deletes the PDO.
HkDeviceNode* HkPnpAdoptPdo(PDEVICE_OBJECT pdo, PCWSTR instancePath);
void HkPnpForgetPdo(PDEVICE_OBJECT pdo);

// Lookups. Nodes stay valid until they are deleted (removed and dropped by
// their parent, or uninstalled).
HkDeviceNode* HkPnpRootNode();
HkDeviceNode* HkPnpFindNode(PCWSTR instancePath);   // case-insensitive
HkDeviceNode* HkPnpNodeOfPdo(PDEVICE_OBJECT pdo);
HkDeviceNode* HkPnpParent(HkDeviceNode* node);
std::vector<HkDeviceNode*> HkPnpChildren(HkDeviceNode* node);
std::vector<PDEVICE_OBJECT> HkPnpStack(HkDeviceNode* node); // top to bottom
PDEVICE_OBJECT HkPnpPdo(HkDeviceNode* node);
HkPnpState HkPnpGetState(HkDeviceNode* node);
std::u16string HkPnpInstancePath(HkDeviceNode* node);
std::u16string HkPnpService(HkDeviceNode* node);
std::string HkPnpInstancePathUtf8(HkDeviceNode* node);
// PNP_DEVICE_* flags of the device's last IRP_MN_QUERY_PNP_DEVICE_STATE (0
// when its stack answered none). A device that reports PNP_DEVICE_FAILED or
// PNP_DEVICE_REMOVED is surprise-removed and removed; its node stays
// (Removed) while its bus reports it.
ULONG HkPnpDeviceState(HkDeviceNode* node);
// Left out of the user interface: its capabilities say NoDisplayInUI or its
// state PNP_DEVICE_DONT_DISPLAY_IN_UI ("hidden" in the printed tree).
bool HkPnpIsHidden(HkDeviceNode* node);
// False when the device or one below it reported PNP_DEVICE_NOT_DISABLEABLE:
// disabling it then fails with STATUS_UNSUCCESSFUL before any request, and a
// root device cannot be uninstalled either.
bool HkPnpIsDisableable(HkDeviceNode* node);
// Full registry path of the node's Enum key.
std::u16string HkPnpEnumKeyPath(PCWSTR instancePath);

// Printable tree (UTF-8): instance path, state, service, stack top to bottom.
std::string HkPnpDumpTree();

// Every PnP IRP the manager sent, in order (for tests).
struct HkPnpIrpRecord {
    std::u16string InstancePath;
    UCHAR Minor;
    ULONG Detail;      // relation type, ID type or text type; 0 otherwise
    NTSTATUS Status;
};
std::vector<HkPnpIrpRecord> HkPnpIrpLog();
void HkPnpClearIrpLog();
const char* HkPnpMinorName(UCHAR minor);

// What reached the root bus's PDO of a root device, in order: each PnP
// minor code and the IoStatus.Status it carried on arrival, so a test can
// tell a request passed down with success from one passed down unchanged.
struct HkPnpReceived {
    UCHAR Minor;
    NTSTATUS Status;
};
std::vector<HkPnpReceived> HkPnpRootReceived(HkDeviceNode* node);

// Drivers loaded by the manager and still in memory.
PDRIVER_OBJECT HkPnpLoadedDriver(PCWSTR service);
