// Failure injection. Each component asks HkFaultShouldFail(category) at its
// injection point; the call counts the operation and says whether to fail it.
// Campaigns fail the 1st, 2nd, ... operation of a category until a scenario
// runs clean (compare HkFaultCount with n).
#pragma once

#include "nt/ntdef.h"

// One line per category; add new ones anywhere. WaitAlert (alertable waits
// that would block end with STATUS_ALERTED) is on after every reset.
#define HK_FAULT_CATEGORIES(X) \
    X(Pool)                    \
    X(DeviceCreate)            \
    X(SymbolicLinkCreate)      \
    X(SymbolicLinkOpen)        \
    X(SymbolicLinkQuery)       \
    X(RegistryCreateKey)       \
    X(RegistryOpenKey)         \
    X(RegistryWrite)           \
    X(RegistryRead)            \
    X(RegistryDelete)          \
    X(RegistryEnumerate)       \
    X(ProcessQuery)            \
    X(IrpAllocate)             \
    X(MdlAllocate)             \
    X(WorkItemAllocate)        \
    X(InterfaceRegister)       \
    X(WaitAlert)

enum class HkFault {
#define HK_FAULT_ENUM(name) name,
    HK_FAULT_CATEGORIES(HK_FAULT_ENUM)
#undef HK_FAULT_ENUM
    Count
};

const char* HkFaultName(HkFault category);

// The n-th next operation of the category fails (1-based); once.
void HkFaultFailNth(HkFault category, ULONG n);
// Every operation of the category fails while on.
void HkFaultFailAlways(HkFault category, bool on);
// Every pool allocation with this tag fails (until HkFaultReset).
void HkFaultFailTag(ULONG tag);
// Everything off, counters back to 0.
void HkFaultReset();

// Injection points. Counts the operation; true means fail it.
bool HkFaultShouldFail(HkFault category);
// Pool injection point: counts a Pool operation, also checks the tag rules.
bool HkFaultShouldFailPool(ULONG tag);

// Operations of the category seen since the last reset.
ULONG HkFaultCount(HkFault category);
// Failures injected into the category since the last reset.
ULONG HkFaultInjected(HkFault category);
