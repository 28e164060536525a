// IoOpenDeviceRegistryKey: the hardware key ("Device Parameters" under the
// device's Enum key) and the software key (Control\Class\<Driver>).
#include "pnp/pnp_internal.h"
#include "hk/fault.h"
#include "hk/registry.h"
#include "hk/verifier.h"

using namespace hkpnp;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    if (!DevInstRegKey) {
        return STATUS_INVALID_PARAMETER;
    }
    *DevInstRegKey = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        HkVerifierStop(HkViolation::RegistryAtHighIrql, "IoOpenDeviceRegistryKey at IRQL %u", KeGetCurrentIrql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    HkDeviceNode* node = HkPnpNodeOfPdo(DeviceObject);
    if (!node || node == HkPnpRootNode()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO the PnP manager knows
    }
    const ULONG kind = DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string enumKey = HkPnpEnumKeyPath(reinterpret_cast<PCWSTR>(HkPnpInstancePath(node).c_str()));
    if (!HkRegKeyExists(reinterpret_cast<PCWSTR>(enumKey.c_str()))) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string path;
    if (kind == PLUGPLAY_REGKEY_DEVICE) {
        path = enumKey + u"\\Device Parameters";
    } else {
        std::u16string driver;
        if (!NT_SUCCESS(HkRegGetString(reinterpret_cast<PCWSTR>(enumKey.c_str()), L"Driver", &driver)) ||
            driver.empty()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;  // no software key: the device is not installed
        }
        path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + driver;
    }
    if (HkFaultShouldFail(HkFault::RegistryOpenKey)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Created when missing; the handle has exactly the access asked for.
    return HkRegOpenKey(reinterpret_cast<PCWSTR>(path.c_str()), DesiredAccess, true, DevInstRegKey);
}

namespace {

NTSTATUS CopyOut(const void* data, ULONG size, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
    *resultLength = size;
    if (bufferLength < size || (size && !buffer)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(buffer, data, size);
    return STATUS_SUCCESS;
}

}  // namespace

// Device properties, read from what the PnP manager knows and the Enum key.
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    if (!ResultLength) {
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = 0;
    HkDeviceNode* node = HkPnpNodeOfPdo(DeviceObject);
    if (!node || node == HkPnpRootNode()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const std::u16string path = HkPnpInstancePath(node);
    const std::u16string enumKey = HkPnpEnumKeyPath(reinterpret_cast<PCWSTR>(path.c_str()));
    PCWSTR valueName = nullptr;
    switch (DeviceProperty) {
    case DevicePropertyDeviceDescription: valueName = L"DeviceDesc"; break;
    case DevicePropertyHardwareID: valueName = L"HardwareID"; break;
    case DevicePropertyCompatibleIDs: valueName = L"CompatibleIDs"; break;
    case DevicePropertyClassName: valueName = L"Class"; break;
    case DevicePropertyClassGuid: valueName = L"ClassGUID"; break;
    case DevicePropertyDriverKeyName: valueName = L"Driver"; break;
    case DevicePropertyManufacturer: valueName = L"Mfg"; break;
    case DevicePropertyFriendlyName: valueName = L"FriendlyName"; break;
    case DevicePropertyLocationInformation: valueName = L"LocationInformation"; break;
    case DevicePropertyUINumber: valueName = L"UINumber"; break;
    case DevicePropertyEnumeratorName: {
        const std::u16string enumerator = path.substr(0, path.find(u'\\')) + u'\0';
        return CopyOut(enumerator.data(), static_cast<ULONG>(enumerator.size() * 2), BufferLength, PropertyBuffer,
                       ResultLength);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    ULONG type = 0;
    std::vector<UCHAR> data;
    NTSTATUS status = HkRegGetValue(reinterpret_cast<PCWSTR>(enumKey.c_str()), valueName, &type, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CopyOut(data.data(), static_cast<ULONG>(data.size()), BufferLength, PropertyBuffer, ResultLength);
}
