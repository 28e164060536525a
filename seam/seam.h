// The one place where the driver meets its platform.
//
// On Windows this is the DDK as mingw-w64 ships it, with the small help its
// headers need in C++. On the host it is the host kernel, which declares the
// same names with the same layouts. Driver code includes nothing else.
#pragma once

#if defined(_WIN32)

// mingw's wdm.h and its intrinsics header both define these two.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

// ntoskrnl exports these; mingw's DDK headers do not declare them. The
// formatters are the kernel's own: swprintf takes no count, and %s inserts a
// wide string.
extern "C" {
int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
int __cdecl _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, ...);
int __cdecl _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, va_list Arguments);
NTSYSCALLAPI NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle,
    PROCESSINFOCLASS ProcessInformationClass, PVOID ProcessInformation,
    ULONG ProcessInformationLength, PULONG ReturnLength);
}

// Code placement: pageable code in PAGE, entry code in INIT (discarded).
// The attribute goes after extern "C":
// extern "C" INIT_CODE NTSTATUS DriverEntry(...).
#define PAGEABLE_CODE __attribute__((section("PAGE")))
#define INIT_CODE __attribute__((section("INIT")))
#define RESIDENT_CODE

#else

#include <ntddk.h>

// On the host the sections are not real; pageable code checks its IRQL
// through PAGED_CODE(), which the host kernel always enforces.
#define PAGEABLE_CODE
#define INIT_CODE
#define RESIDENT_CODE

#endif

// Both kernels give the driver the same LLP64 layouts.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(NTSTATUS) == 4, "ULONG, LONG and NTSTATUS are 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit (host code builds with -fshort-wchar)");
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(PVOID) == 8 && sizeof(LONGLONG) == 8, "64-bit pointers");
static_assert(sizeof(UNICODE_STRING) == 16 && offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING layout");

// Pool tag helper: the four characters in memory order.
#define DVX_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
