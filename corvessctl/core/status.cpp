#include "status.h"

#include "text.h"

namespace corvessctl {

namespace {

struct StatusEntry {
    uint32_t Status;
    const char* Name;
    const char* Words;
};

const StatusEntry Statuses[] = {
    {StatusSuccess, "STATUS_SUCCESS", "done"},
    {StatusDeviceBusy, "STATUS_DEVICE_BUSY", "the port is in use"},
    {StatusUnsuccessful, "STATUS_UNSUCCESSFUL", "the request failed"},
    {StatusInvalidParameter, "STATUS_INVALID_PARAMETER", "the request was refused as invalid"},
    {StatusNoSuchDevice, "STATUS_NO_SUCH_DEVICE", "no port is managed"},
    {StatusNoSuchFile, "STATUS_NO_SUCH_FILE", "the device does not exist"},
    {StatusInvalidDeviceRequest, "STATUS_INVALID_DEVICE_REQUEST", "the device does not accept this request"},
    {StatusAccessDenied, "STATUS_ACCESS_DENIED", "access was denied (another program may have the control device open)"},
    {StatusBufferTooSmall, "STATUS_BUFFER_TOO_SMALL", "the reply did not fit the buffer"},
    {StatusObjectNameNotFound, "STATUS_OBJECT_NAME_NOT_FOUND", "the device does not exist (is the dravolux driver installed and started?)"},
    {StatusObjectNameCollision, "STATUS_OBJECT_NAME_COLLISION", "the name is already in use"},
    {StatusObjectPathNotFound, "STATUS_OBJECT_PATH_NOT_FOUND", "the device does not exist"},
    {StatusSharingViolation, "STATUS_SHARING_VIOLATION", "another program has the device open"},
    {StatusDeletePending, "STATUS_DELETE_PENDING", "the bus is being removed"},
    {StatusInsufficientResources, "STATUS_INSUFFICIENT_RESOURCES", "the driver ran out of memory"},
    {StatusDeviceNotReady, "STATUS_DEVICE_NOT_READY", "the port devices are not started yet; try again shortly"},
    {StatusNotSupported, "STATUS_NOT_SUPPORTED", "the request is not supported"},
};

const StatusEntry* Find(uint32_t status) {
    for (const StatusEntry& entry : Statuses)
        if (entry.Status == status) return &entry;
    return nullptr;
}

}  // namespace

std::string StatusName(uint32_t status) {
    const StatusEntry* entry = Find(status);
    return entry ? entry->Name : Hex32(status);
}

std::string StatusWords(uint32_t status) {
    const StatusEntry* entry = Find(status);
    if (entry) return entry->Words;
    return StatusSucceeded(status) ? "done" : "the request failed";
}

}  // namespace corvessctl
