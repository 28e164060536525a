// flawed.sys: a driver image with the faults the image check must catch:
// a static constructor, an import from a user-mode DLL, a routine that may
// run at dispatch level calling pageable code, and (left without the
// post-link fix-up) an INIT section that is not discardable.
#include "seam.h"

extern "C" int puts(const char* text);

namespace {

ULONG FlawedReady(void)
{
    return puts("ready") >= 0;
}

ULONG Ready = FlawedReady();

}  // namespace

extern "C" INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return Ready ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// A routine that may run at dispatch level and reaches pageable code.
namespace {

PAGEABLE_CODE __attribute__((noinline)) ULONG FlawedPagedStep(ULONG value)
{
    PAGED_CODE();
    return value * 3 + Ready;
}

__attribute__((noinline)) ULONG FlawedResidentStep(ULONG value)
{
    return FlawedPagedStep(value) + 1;
}

}  // namespace

extern "C" void FlawedDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    *(volatile ULONG*)Context = FlawedResidentStep(Ready);
}
