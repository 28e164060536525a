// Interrogation of a new device: its identifiers, instance path and Enum
// key, and the questions asked of it before its function driver is loaded.
#include "pnp/pnp_internal.h"
#include "hk/registry.h"

namespace hkpnp {

namespace {

void SetMultiIfMissing(const std::u16string& key, PCWSTR name, const std::u16string& joined) {
    if (joined.empty() || HkRegValueExists(W(key), name)) {
        return;
    }
    std::u16string data = joined;
    data.push_back(0);
    HkRegSetValue(W(key), name, REG_MULTI_SZ, data.data(), static_cast<ULONG>(data.size() * 2));
}

}  // namespace

std::u16string EnumKey(const HkDeviceNode* node) {
    return HkPnpEnumKeyPath(W(node->InstancePath));
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
        std::lock_guard<std::mutex> hold(TreeLock());
        node->InstancePath = deviceId + u"\\" + instanceId;
    }
    const std::u16string key = EnumKey(node);
    if (!HkRegKeyExists(W(key))) {
        HkRegCreateKey(W(key));
    }
    SetMultiIfMissing(key, L"HardwareID", hardwareIds);
    SetMultiIfMissing(key, L"CompatibleIDs", compatibleIds);
}

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

}  // namespace hkpnp
