// Pool accounting for tests.
#pragma once

#include <stddef.h>

#include "nt/ntdef.h"

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
// Pattern of new and of freed blocks.
#define HK_POOL_FILL 0xA5
#define HK_POOL_POISON 0xDD
