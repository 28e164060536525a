// Pool accounting for tests.
//
// Paged blocks live on pages of their own. While the only thread in the host
// kernel runs at DISPATCH_LEVEL or above, those pages are protected, so a
// touch of paged pool there faults; the fault is reported as a
// PagedPoolAtHighIrql stop when the thread drops below DISPATCH_LEVEL again
// (the touch itself goes on, as a resident page would let it on Windows).
#pragma once

#include <stddef.h>

#include "nt/ntdef.h"
#include "nt/ex.h"

struct HkPoolUsage {
    size_t Blocks;
    size_t Bytes;
};

HkPoolUsage HkPoolOutstanding();
HkPoolUsage HkPoolOutstandingForTag(ULONG tag);
// Prints every outstanding block (tag, size, sequence, allocation site) to
// stderr and returns how many there are. No verifier stop.
size_t HkPoolReportLeaks();
// Like HkPoolReportLeaks, but a non-zero count is a PoolLeak stop.
size_t HkPoolCheckLeaks();
// True when p is the start of a live pool block.
bool HkPoolIsLive(const void* p);
// Total allocations made since reset.
size_t HkPoolAllocationCount();

// The kind of pool a block came from.
enum class HkPoolKind {
    NotPool,   // the address lies in no live block
    Paged,
    NonPaged,
};
const char* HkPoolKindName(HkPoolKind kind);

struct HkPoolBlock {
    HkPoolKind Kind;
    POOL_TYPE Type;     // as the allocator was asked
    ULONG Tag;
    SIZE_T Size;
    const void* Start;  // null for NotPool
};
// The live block that holds this address (its start or any byte inside).
HkPoolBlock HkPoolBlockAt(const void* address);
inline HkPoolKind HkPoolKindOf(const void* address) {
    return HkPoolBlockAt(address).Kind;
}
// Live blocks of a tag and kind.
HkPoolUsage HkPoolOutstandingFor(ULONG tag, HkPoolKind kind);
// Allocations of a tag and kind since reset, freed ones included.
size_t HkPoolAllocationsFor(ULONG tag, HkPoolKind kind);

// True while paged pool is protected right now.
bool HkPoolPagedGuardEngaged();

// Pattern of new and of freed blocks.
#define HK_POOL_FILL 0xA5
#define HK_POOL_POISON 0xDD
