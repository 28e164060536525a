// Interrogation of a new device, in Windows' order (ReactOS
// PiInitializeDevNode and IopCreateDeviceInstancePath follow it): device ID,
// capabilities, instance ID, hardware IDs, compatible IDs, then the device
// texts, bus information, resources and resource requirements that come
// before the function driver is loaded.
#include "pnp/pnp_internal.h"
#include "hk/registry.h"
#include "hk/verifier.h"

namespace hkpnp {

namespace {

constexpr size_t kMaxDeviceIdLen = 200;  // MAX_DEVICE_ID_LEN
// What QueryId returns for an answer Windows would bug-check on.
constexpr NTSTATUS kInvalidId = STATUS_OBJECT_NAME_INVALID;

const char* IdTypeName(ULONG type) {
    switch (type) {
    case BusQueryDeviceID: return "device ID";
    case BusQueryHardwareIDs: return "hardware IDs";
    case BusQueryCompatibleIDs: return "compatible IDs";
    case BusQueryInstanceID: return "instance ID";
    default: return "ID";
    }
}

// What is wrong with an identifier answer, or null. IRP_MN_QUERY_ID
// (Microsoft Learn): characters up to 0x20 (' '), above 0x7F and ',' are
// illegal, and each ID is shorter than MAX_DEVICE_ID_LEN characters; an
// instance ID has no '\' (Instance IDs). A device ID is
// "<enumerator>\<device>", one '\' (ReactOS IopValidateID).
const char* IdFault(const char16_t* text, ULONG type) {
    const bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    for (;;) {
        size_t n = 0;
        size_t separators = 0;
        for (; text[n]; ++n) {
            const char16_t c = text[n];
            if (n == kMaxDeviceIdLen - 1) {
                return "MAX_DEVICE_ID_LEN (200) characters or more";
            }
            if (c <= 0x20 || c > 0x7F) {
                return "a character up to 0x20 or above 0x7F";
            }
            if (c == u',') {
                return "a comma";
            }
            separators += c == u'\\' ? 1 : 0;
        }
        if (!multi) {
            if (type == BusQueryDeviceID && separators != 1) {
                return "not one '\\' between enumerator and device";
            }
            return type == BusQueryInstanceID && separators ? "a '\\'" : nullptr;
        }
        if (n == 0) {
            return nullptr;  // the empty item ends the list
        }
        text += n + 1;
    }
}

void SetMultiIfMissing(const std::u16string& key, PCWSTR name, const std::u16string& joined) {
    if (joined.empty() || HkRegValueExists(W(key), name)) {
        return;
    }
    std::u16string data = joined;
    data.push_back(0);
    HkRegSetValue(W(key), name, REG_MULTI_SZ, data.data(), static_cast<ULONG>(data.size() * 2));
}

// Queries one kind of identifier; the answer is freed here. A multi-string
// comes back as its items joined by NULs, the last NUL kept. A malformed
// answer is a verifier stop (Windows bug-checks: PNP_DETECTED_FATAL_ERROR,
// 0xCA, parameter 3, "Invalid ID") and gives kInvalidId.
NTSTATUS QueryId(HkDeviceNode* node, ULONG type, std::u16string* out) {
    ULONG_PTR info = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_ID, type, &info);
    if (NT_SUCCESS(status) && info) {
        const auto* text = reinterpret_cast<const char16_t*>(info);
        if (const char* fault = IdFault(text, type)) {
            HkVerifierStop(HkViolation::InvalidDeviceId, "the %s that driver %s reports has %s", IdTypeName(type),
                           DriverNameOf(node->Pdo).c_str(), fault);
            FreeAnswer(info);
            return kInvalidId;
        }
        if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) {
            size_t n = 0;
            while (text[n] || text[n + 1]) {
                ++n;
            }
            out->assign(text, n ? n + 1 : 0);
        } else {
            out->assign(text);
        }
    }
    FreeAnswer(info);
    return info ? status : (NT_SUCCESS(status) ? STATUS_NOT_FOUND : status);
}

// RtlComputeCrc32 with a start value of 0.
ULONG Crc32(const void* data, size_t size) {
    ULONG crc = 0xFFFFFFFF;
    const auto* bytes = static_cast<const UCHAR*>(data);
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

std::u16string Hex(ULONG value) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u"0123456789abcdef"[value & 0xF]));
        value >>= 4;
    } while (value);
    return out;
}

// The prefix that makes a bus-unique instance ID unique in the system: the
// parent's "ParentIdPrefix" value, made on first use from the parent's depth
// in the tree and the CRC-32 of its instance path, "%lx&%lx", and kept in its
// Enum key (ReactOS IopGetParentIdPrefix).
std::u16string ParentIdPrefix(const HkDeviceNode* node) {
    const HkDeviceNode* parent = node->Parent;
    const std::u16string key = EnumKey(parent);
    std::u16string prefix;
    if (NT_SUCCESS(HkRegGetString(W(key), L"ParentIdPrefix", &prefix)) && !prefix.empty()) {
        return prefix;
    }
    ULONG level = 0;
    for (const HkDeviceNode* up = parent; up->Parent; up = up->Parent) {
        ++level;
    }
    prefix = Hex(level) + u"&" + Hex(Crc32(parent->InstancePath.data(), parent->InstancePath.size() * 2));
    HkRegSetString(W(key), L"ParentIdPrefix", W(prefix));
    return prefix;
}

}  // namespace

std::u16string EnumKey(const HkDeviceNode* node) {
    return HkPnpEnumKeyPath(W(node->InstancePath));
}

NTSTATUS QueryCapabilities(HkDeviceNode* node, DEVICE_CAPABILITIES* caps) {
    RtlZeroMemory(caps, sizeof(*caps));
    caps->Size = sizeof(*caps);
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    NTSTATUS status = Send(node, IRP_MN_QUERY_CAPABILITIES, 0, nullptr, caps);
    if (NT_SUCCESS(status)) {
        node->NoDisplayInUI = caps->NoDisplayInUI != 0;
    }
    return status;
}

bool IdentifyNode(HkDeviceNode* node) {
    std::u16string deviceId, instanceId, hardwareIds, compatibleIds;
    if (!NT_SUCCESS(QueryId(node, BusQueryDeviceID, &deviceId))) {
        return false;
    }
    // A device whose capabilities cannot be read is not set up.
    DEVICE_CAPABILITIES caps;
    if (!NT_SUCCESS(QueryCapabilities(node, &caps))) {
        return false;
    }
    if (QueryId(node, BusQueryInstanceID, &instanceId) == kInvalidId) {
        return false;
    }
    if (instanceId.empty()) {
        instanceId = u"0";
    }
    // An instance ID unique only on its bus gets the parent's prefix.
    if (!caps.UniqueID) {
        instanceId = ParentIdPrefix(node) + u"&" + instanceId;
    }
    const std::u16string path = deviceId + u"\\" + instanceId;
    // "The number of characters of a device instance ID, excluding a
    // NULL-terminator, must be less than MAX_DEVICE_ID_LEN" (Device instance
    // ID, Microsoft Learn).
    if (path.size() >= kMaxDeviceIdLen) {
        HkVerifierStop(HkViolation::InvalidDeviceId, "the device instance ID %s that driver %s reports has %zu characters",
                       Utf8(path).c_str(), DriverNameOf(node->Pdo).c_str(), path.size());
        return false;
    }
    // Two devices with one instance path: Windows bug-checks
    // (PNP_DETECTED_FATAL_ERROR, 0xCA, parameter 1, "Duplicate PDO"; ReactOS
    // PiInitializeDevNode checks the whole tree).
    HkDeviceNode* other = HkPnpFindNode(W(path));
    if (other && other != node) {
        HkVerifierStop(HkViolation::DuplicateInstancePath, "driver %s reports a second device %s",
                       DriverNameOf(node->Pdo).c_str(), Utf8(path).c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(TreeLock());
        node->InstancePath = path;
    }
    if (QueryId(node, BusQueryHardwareIDs, &hardwareIds) == kInvalidId ||
        QueryId(node, BusQueryCompatibleIDs, &compatibleIds) == kInvalidId) {
        return false;
    }
    const std::u16string key = EnumKey(node);
    if (!HkRegKeyExists(W(key))) {
        HkRegCreateKey(W(key));
    }
    SetMultiIfMissing(key, L"HardwareID", hardwareIds);
    SetMultiIfMissing(key, L"CompatibleIDs", compatibleIds);
    return true;
}

ULONG_PTR DescribeNode(HkDeviceNode* node) {
    std::u16string text;
    QueryText(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, &text);
    if (!text.empty() && !HkRegValueExists(W(EnumKey(node)), L"DeviceDesc")) {
        HkRegSetString(W(EnumKey(node)), L"DeviceDesc", W(text));
    }
    text.clear();
    QueryText(node, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, &text);
    ULONG_PTR info = 0;
    Send(node, IRP_MN_QUERY_BUS_INFORMATION, 0, &info);
    FreeAnswer(info);
    info = 0;
    Send(node, IRP_MN_QUERY_RESOURCES, 0, &info);
    FreeAnswer(info);
    info = 0;
    Send(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0, &info);
    return info;
}

}  // namespace hkpnp
