// Host control of the PnP manager: installing root devices, looking nodes
// up, and printing the tree.
#include "pnp/pnp_internal.h"
#include "hk/registry.h"

namespace hkpnp {

namespace {

constexpr char16_t kSystemClassGuid[] = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr char16_t kControlClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";

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

void DumpNode(std::string& out, HkDeviceNode* node, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    out += indent + Utf8(node->InstancePath) + " [" + HkPnpStateName(node->State) + "]";
    if (!node->Service.empty()) {
        out += " service=" + Utf8(node->Service);
    }
    if (HkPnpIsHidden(node)) {
        out += " hidden";
    }
    out += "\n";
    if (node->Pdo) {
        std::string stack;
        std::vector<PDEVICE_OBJECT> devices;
        for (PDEVICE_OBJECT d = node->Pdo; d; d = d->AttachedDevice) {
            devices.insert(devices.begin(), d);
        }
        for (PDEVICE_OBJECT d : devices) {
            if (!stack.empty()) {
                stack += " > ";
            }
            stack += DriverNameOf(d);
        }
        out += indent + "  stack: " + stack + "\n";
    }
    for (HkDeviceNode* child : node->Children) {
        DumpNode(out, child, depth + 1);
    }
}

}  // namespace

}  // namespace hkpnp

using namespace hkpnp;

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

std::u16string HkPnpEnumKeyPath(PCWSTR instancePath) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + U16(instancePath);
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
    HkDeviceNode* node = AddNode(Root(), pdo, true);
    {
        std::lock_guard<std::mutex> hold(TreeLock());
        node->InstancePath = path;
    }
    RootSetInstancePath(pdo, path);
    if (out) {
        *out = node;
    }
    // Interrogated as every new device is; the root bus answers with the
    // path chosen here.
    if (!IdentifyNode(node)) {
        SendRemove(node);
        return STATUS_UNSUCCESSFUL;
    }
    return InstallNode(node);
}

HkDeviceNode* HkPnpRootNode() { return Root(); }

HkDeviceNode* HkPnpFindNode(PCWSTR instancePath) {
    HkDeviceNode* root = Root();
    const std::u16string wanted = U16(instancePath);
    std::vector<HkDeviceNode*> all;
    std::lock_guard<std::mutex> hold(TreeLock());
    CollectPreOrder(root, &all);
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
    HkDeviceNode* root = Root();
    std::lock_guard<std::mutex> hold(TreeLock());
    return FindByPdoLocked(root, pdo);
}

HkDeviceNode* HkPnpParent(HkDeviceNode* node) { return node ? node->Parent : nullptr; }

std::vector<HkDeviceNode*> HkPnpChildren(HkDeviceNode* node) {
    std::lock_guard<std::mutex> hold(TreeLock());
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
    std::lock_guard<std::mutex> hold(TreeLock());
    return node->InstancePath;
}

std::u16string HkPnpService(HkDeviceNode* node) { return node->Service; }
std::string HkPnpInstancePathUtf8(HkDeviceNode* node) { return Utf8(HkPnpInstancePath(node)); }

std::string HkPnpDumpTree() {
    HkDeviceNode* root = Root();
    std::string out;
    std::lock_guard<std::mutex> hold(TreeLock());
    DumpNode(out, root, 0);
    return out;
}

std::vector<HkPnpReceived> HkPnpRootReceived(HkDeviceNode* node) {
    if (!node || !node->RootEnumerated) {
        return std::vector<HkPnpReceived>();
    }
    return RootPdoReceived(node->Pdo);
}

HkDeviceNode* HkPnpAdoptPdo(PDEVICE_OBJECT pdo, PCWSTR instancePath) {
    EngineGuard engine;
    HkDeviceNode* node = AddNode(Root(), pdo, false);
    std::lock_guard<std::mutex> hold(TreeLock());
    node->InstancePath = U16(instancePath);
    node->State = HkPnpState::Initialized;  // never started, never enumerated by the manager
    return node;
}

void HkPnpForgetPdo(PDEVICE_OBJECT pdo) {
    EngineGuard engine;
    if (HkDeviceNode* node = HkPnpNodeOfPdo(pdo)) {
        DeleteNode(node);
    }
}

ULONG HkPnpDeviceState(HkDeviceNode* node) { return node->DeviceState; }

bool HkPnpIsHidden(HkDeviceNode* node) {
    return node->NoDisplayInUI || (node->DeviceState & PNP_DEVICE_DONT_DISPLAY_IN_UI) != 0;
}

bool HkPnpIsDisableable(HkDeviceNode* node) {
    EngineGuard engine;
    return !HoldsNotDisableable(node);
}
