// Executive internals: the pages of paged pool and their guard.
#pragma once

#include <stddef.h>

#include <string>

// Pages of their own for a paged block of `size` bytes; null when the arena
// is full. Callers serialise (the pool lock).
void* ExpArenaAllocate(size_t size);
// Takes a block's pages back; their content is lost.
void ExpArenaRelease(void* block, size_t size);
bool ExpArenaContains(const void* address);
// Every page back; for HkReset.
void ExpArenaReset();

// Describes the pool block around an address, and a code address, for a
// report (pool.cpp).
std::string ExpDescribePoolAddress(const void* address);
std::string ExpDescribeCode(const void* code);
// Lifts the guard: a paged block is about to be touched on purpose by a
// check that has already reported.
void ExpPagedGuardLift();
