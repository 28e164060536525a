// probe.sys: the smallest driver that exercises the seam the way the real
// one does. It proves the kernel image pipeline on its own: an entry point in
// INIT, pageable code in PAGE, a fast mutex, tagged pool, the kernel's formatters and a
// constant table of routine addresses.
#include "seam.h"

namespace {

const ULONG ProbeTag = DVX_POOL_TAG('P', 'r', 'b', 'e');

FAST_MUTEX ProbeLock;
ULONG ProbeCount;

PAGEABLE_CODE NTSTATUS ProbeCountUp(void)
{
    PAGED_CODE();
    ExAcquireFastMutex(&ProbeLock);
    ProbeCount++;
    ExReleaseFastMutex(&ProbeLock);
    return STATUS_SUCCESS;
}

PAGEABLE_CODE NTSTATUS ProbeFormatName(void)
{
    PAGED_CODE();
    WCHAR* buffer = (WCHAR*)ExAllocatePoolWithTag(PagedPool, 16 * sizeof(WCHAR), ProbeTag);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    swprintf(buffer, L"%.4d", (int)ProbeCount);
    if (_snwprintf(buffer, 16, L"%ws%lu", L"COM", ProbeCount) < 0) {
        buffer[15] = 0;
    }
    ExFreePoolWithTag(buffer, ProbeTag);
    return STATUS_SUCCESS;
}

typedef NTSTATUS (*ProbeStep)(void);
const ProbeStep ProbeSteps[] = {ProbeCountUp, ProbeFormatName};

PAGEABLE_CODE void ProbeUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}

}  // namespace

extern "C" INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    ExInitializeFastMutex(&ProbeLock);
    for (ProbeStep step : ProbeSteps) {
        NTSTATUS status = step();
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    DriverObject->DriverUnload = ProbeUnload;
    return STATUS_SUCCESS;
}
