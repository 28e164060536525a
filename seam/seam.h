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

// ntoskrnl exports swprintf; the DDK headers do not declare it.
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);

// Code placement: pageable code in PAGE, entry code in INIT (discarded).
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

// Pool tag helper: the four characters in memory order.
#define DVX_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
