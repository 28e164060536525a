// Pool allocator with per-tag accounting, leak reports and free checks.
#include <cxxabi.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "ex/ex_internal.h"
#include "hk/clock.h"
#include "hk/fault.h"
#include "hk/pool.h"
#include "hk/verifier.h"
#include "ke/ke_internal.h"
#include "nt/ex.h"

namespace {

constexpr ULONG kUntaggedTag = 'enoN';  // "None"
constexpr size_t kQuarantineBlocks = 1024;
constexpr size_t kQuarantineBytes = 8u << 20;
// Guard bytes after every block, checked at its free and by the leak check
// (Driver Verifier's special pool: a write past the end of a block is bug
// check 0xC1, SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, when it is freed).
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD;

struct Block {
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
    bool Paged;
    bool OnArena;  // paged blocks live on pages of their own
    size_t Sequence;
    void* Site;
};

struct FreedBlock {
    void* Start;
    SIZE_T Size;
    bool OnArena;
};

struct Pool {
    std::mutex Lock;
    std::map<void*, Block> Live;  // ordered, so an inner address finds its block
    // Freed blocks stay poisoned and unreleased for a while, so a second
    // free is recognised and stale reads see the poison.
    std::deque<FreedBlock> Quarantine;
    std::unordered_set<void*> Freed;
    size_t QuarantineBytes = 0;
    size_t Allocations = 0;
    std::map<std::pair<ULONG, bool>, size_t> AllocationsByTag;  // (tag, paged) -> count
};

// Never destroyed: blocks parked in quarantine stay reachable until the
// process is gone, so the leak checker at exit does not take them for leaks.
Pool& P() {
    static Pool* pool = new Pool;
    return *pool;
}

bool IsPagedType(POOL_TYPE type) {
    return ((ULONG)type & 0x1ff) < 64 && ((ULONG)type & 1) != 0;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; i++) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        text += (c >= 0x20 && c < 0x7f) ? (char)c : '.';
    }
    return text;
}

std::string SiteText(void* site) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "%p", site);
    std::string text = buffer;
    Dl_info info;
    if (site && dladdr(site, &info) && info.dli_sname) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        text += " (";
        text += status == 0 && demangled ? demangled : info.dli_sname;
        text += ")";
        free(demangled);
    }
    return text;
}

// Caller holds the lock.
void ReleaseBlockLocked(void* start, SIZE_T size, bool onArena) {
    if (onArena) {
        ExpArenaRelease(start, size);
    } else {
        free(start);
    }
}

// Caller holds the lock.
void ReleaseQuarantineLocked(Pool& p, bool all) {
    while (!p.Quarantine.empty() &&
           (all || p.Quarantine.size() > kQuarantineBlocks || p.QuarantineBytes > kQuarantineBytes)) {
        FreedBlock entry = p.Quarantine.front();
        p.Quarantine.pop_front();
        p.Freed.erase(entry.Start);
        p.QuarantineBytes -= entry.Size;
        ReleaseBlockLocked(entry.Start, entry.Size, entry.OnArena);
    }
}

// The first guard byte a write past the block changed, or -1.
long GuardDamage(const void* block, SIZE_T size) {
    const unsigned char* guard = static_cast<const unsigned char*>(block) + size;
    ASAN_UNPOISON_MEMORY_REGION(guard, kGuardBytes);
    long damaged = -1;
    for (size_t i = 0; i < kGuardBytes && damaged < 0; i++) {
        if (guard[i] != kGuardFill) {
            damaged = (long)i;
        }
    }
    ASAN_POISON_MEMORY_REGION(guard, kGuardBytes);
    return damaged;
}

void ReportGuardDamage(const void* block, const Block& b, long at, const char* when) {
    HkVerifierStop(HkViolation::PoolOverrun,
                   "pool block %p (tag '%s', %zu bytes, allocated by %s) was written past its end (guard byte %ld), "
                   "found %s",
                   block, TagText(b.Tag).c_str(), (size_t)b.Size, SiteText(b.Site).c_str(), at, when);
}

// Caller holds the lock. The live block holding an address, or end().
std::map<void*, Block>::iterator FindLiveLocked(Pool& p, const void* address) {
    auto it = p.Live.upper_bound(const_cast<void*>(address));
    if (it == p.Live.begin()) {
        return p.Live.end();
    }
    --it;
    const char* start = static_cast<const char*>(it->first);
    const char* at = static_cast<const char*>(address);
    return at < start + (it->second.Size ? it->second.Size : 1) ? it : p.Live.end();
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, void* site) {
    KIRQL irql = KeGetCurrentIrql();
    bool paged = IsPagedType(type);
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "pool allocation (tag '%s') at IRQL %u", TagText(tag).c_str(), irql);
        return nullptr;
    }
    if (paged && irql > APC_LEVEL) {
        HkVerifierStop(HkViolation::PagedPoolAtHighIrql, "paged pool allocation (tag '%s') at IRQL %u",
                       TagText(tag).c_str(), irql);
        return nullptr;
    }
    if (HkFaultShouldFailPool(tag)) {
        return nullptr;
    }
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    void* block = paged ? ExpArenaAllocate(size + kGuardBytes) : nullptr;
    bool onArena = block != nullptr;
    if (!block) {
        block = malloc(size + kGuardBytes);
    }
    if (!block) {
        return nullptr;
    }
    memset(block, HK_POOL_FILL, size);
    memset(static_cast<char*>(block) + size, kGuardFill, kGuardBytes);
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + size, kGuardBytes);
    p.Live[block] = Block{size, tag, type, paged, onArena, ++p.Allocations, site};
    p.AllocationsByTag[std::make_pair(tag, paged)]++;
    return block;
}

void Free(PVOID block, ULONG tag, bool checkTag, void* site) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        HkVerifierStop(HkViolation::IrqlTooHigh, "pool free of %p at IRQL %u", block, irql);
        return;
    }
    Pool& p = P();
    Block record;
    {
        std::unique_lock<std::mutex> lock(p.Lock);
        auto it = p.Live.find(block);
        if (it == p.Live.end()) {
            bool again = p.Freed.count(block) != 0;
            lock.unlock();
            if (again) {
                HkVerifierStop(HkViolation::DoubleFree, "pool block %p freed twice (by %s)", block,
                               SiteText(site).c_str());
            } else {
                HkVerifierStop(HkViolation::BadPoolFree, "free of %p, which is not a pool block (by %s)", block,
                               SiteText(site).c_str());
            }
            return;
        }
        record = it->second;
    }
    long damaged = GuardDamage(block, record.Size);
    if (damaged >= 0) {
        ReportGuardDamage(block, record, damaged, "at its free");
    }
    if (checkTag && tag != 0 && tag != record.Tag) {
        HkVerifierStop(HkViolation::WrongPoolTag, "pool block %p has tag '%s', freed with tag '%s'", block,
                       TagText(record.Tag).c_str(), TagText(tag).c_str());
    }
    if (record.Paged && irql > APC_LEVEL) {
        HkVerifierStop(HkViolation::PagedPoolAtHighIrql, "paged pool block %p freed at IRQL %u", block, irql);
        ExpPagedGuardLift();  // reported once; the poison below must not fault again
    }
    HkKeLiveObjects live = HkKeFindLiveObjectsInRange(block, record.Size);
    if (live.Timers) {
        HkVerifierStop(HkViolation::PoolFreedWithTimer, "pool block %p (tag '%s') freed with timer %p still set",
                       block, TagText(record.Tag).c_str(), live.FirstTimer);
    }
    if (live.Dpcs) {
        HkVerifierStop(HkViolation::PoolFreedWithDpc, "pool block %p (tag '%s') freed with DPC %p still queued",
                       block, TagText(record.Tag).c_str(), live.FirstDpc);
    }
    if (live.Timers || live.Dpcs) {
        HkKeForgetObjectsInRange(block, record.Size);
    }
    KiForgetLockOrderInRange(block, record.Size);

    std::lock_guard<std::mutex> guard(p.Lock);
    if (!p.Live.erase(block)) {
        return;  // freed concurrently; the other free reported nothing wrong
    }
    ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(block) + record.Size, kGuardBytes);
    memset(block, HK_POOL_POISON, record.Size + kGuardBytes);
    p.Quarantine.push_back(FreedBlock{block, record.Size + kGuardBytes, record.OnArena});
    p.QuarantineBytes += record.Size + kGuardBytes;
    p.Freed.insert(block);
    ReleaseQuarantineLocked(p, false);
}

std::vector<std::pair<void*, Block>> SortedLive() {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    std::vector<std::pair<void*, Block>> blocks(p.Live.begin(), p.Live.end());
    std::sort(blocks.begin(), blocks.end(),
              [](const std::pair<void*, Block>& a, const std::pair<void*, Block>& b) {
                  return a.second.Sequence < b.second.Sequence;
              });
    return blocks;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate(PoolType, NumberOfBytes, kUntaggedTag, __builtin_return_address(0));
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    POOL_TYPE type = (Flags & POOL_FLAG_PAGED) ? PagedPool : NonPagedPoolNx;
    PVOID block = Allocate(type, NumberOfBytes, Tag, __builtin_return_address(0));
    if (block && !(Flags & POOL_FLAG_UNINITIALIZED)) {
        memset(block, 0, NumberOfBytes);
    }
    return block;
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Free(P, Tag, true, __builtin_return_address(0));
}

void ExFreePool(PVOID P) {
    Free(P, 0, false, __builtin_return_address(0));
}

HkPoolUsage HkPoolOutstanding() {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    HkPoolUsage usage = {0, 0};
    for (auto& entry : p.Live) {
        usage.Blocks++;
        usage.Bytes += entry.second.Size;
    }
    return usage;
}

HkPoolUsage HkPoolOutstandingForTag(ULONG tag) {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    HkPoolUsage usage = {0, 0};
    for (auto& entry : p.Live) {
        if (entry.second.Tag == tag) {
            usage.Blocks++;
            usage.Bytes += entry.second.Size;
        }
    }
    return usage;
}

size_t HkPoolReportLeaks() {
    std::vector<std::pair<void*, Block>> blocks = SortedLive();
    for (auto& entry : blocks) {
        const Block& b = entry.second;
        long damaged = GuardDamage(entry.first, b.Size);
        if (damaged >= 0) {
            ReportGuardDamage(entry.first, b, damaged, "by the leak check");
        }
        fprintf(stderr, "pool leak: tag '%s' %zu bytes at %p, allocation #%zu from %s\n", TagText(b.Tag).c_str(),
                (size_t)b.Size, entry.first, b.Sequence, SiteText(b.Site).c_str());
    }
    return blocks.size();
}

size_t HkPoolCheckLeaks() {
    size_t leaks = HkPoolReportLeaks();
    if (leaks) {
        std::vector<std::pair<void*, Block>> blocks = SortedLive();
        std::string first = blocks.empty() ? std::string("?") : TagText(blocks.front().second.Tag);
        HkVerifierStop(HkViolation::PoolLeak, "%zu pool block(s) outstanding, the first with tag '%s'", leaks,
                       first.c_str());
    }
    return leaks;
}

bool HkPoolCheckRange(const void* Address, SIZE_T Length, const char* What) {
    if (Length == 0 || Address == nullptr) {
        return true;
    }
    Pool& p = P();
    void* start = nullptr;
    Block b{};
    {
        std::lock_guard<std::mutex> guard(p.Lock);
        auto it = FindLiveLocked(p, Address);
        if (it == p.Live.end()) {
            return true;
        }
        start = it->first;
        b = it->second;
    }
    size_t offset = static_cast<const char*>(Address) - static_cast<const char*>(start);
    if (Length > b.Size - offset) {
        HkVerifierStop(HkViolation::PoolOverrun,
                       "%s of %zu bytes at offset %zu of pool block %p (tag '%s', %zu bytes, allocated by %s) runs "
                       "past its end",
                       What, (size_t)Length, offset, start, TagText(b.Tag).c_str(), (size_t)b.Size,
                       SiteText(b.Site).c_str());
        return false;
    }
    return true;
}

bool HkPoolIsLive(const void* block) {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    return p.Live.count((void*)block) != 0;
}

size_t HkPoolAllocationCount() {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    return p.Allocations;
}

void ExpResetPool() {
    HkPoolReportLeaks();
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    for (auto& entry : p.Live) {
        if (!entry.second.OnArena) {
            free(entry.first);
        }
    }
    p.Live.clear();
    for (const FreedBlock& entry : p.Quarantine) {
        if (!entry.OnArena) {
            free(entry.Start);
        }
    }
    p.Quarantine.clear();
    p.Freed.clear();
    p.QuarantineBytes = 0;
    ExpArenaReset();
    p.Allocations = 0;
    p.AllocationsByTag.clear();
}

const char* HkPoolKindName(HkPoolKind kind) {
    switch (kind) {
    case HkPoolKind::Paged:
        return "Paged";
    case HkPoolKind::NonPaged:
        return "NonPaged";
    default:
        return "NotPool";
    }
}

HkPoolBlock HkPoolBlockAt(const void* address) {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    auto it = FindLiveLocked(p, address);
    if (it == p.Live.end()) {
        return HkPoolBlock{HkPoolKind::NotPool, NonPagedPool, 0, 0, nullptr};
    }
    const Block& b = it->second;
    return HkPoolBlock{b.Paged ? HkPoolKind::Paged : HkPoolKind::NonPaged, b.Type, b.Tag, b.Size, it->first};
}

HkPoolUsage HkPoolOutstandingFor(ULONG tag, HkPoolKind kind) {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    HkPoolUsage usage = {0, 0};
    for (auto& entry : p.Live) {
        HkPoolKind blockKind = entry.second.Paged ? HkPoolKind::Paged : HkPoolKind::NonPaged;
        if (entry.second.Tag == tag && blockKind == kind) {
            usage.Blocks++;
            usage.Bytes += entry.second.Size;
        }
    }
    return usage;
}

size_t HkPoolAllocationsFor(ULONG tag, HkPoolKind kind) {
    if (kind == HkPoolKind::NotPool) {
        return 0;
    }
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    auto it = p.AllocationsByTag.find(std::make_pair(tag, kind == HkPoolKind::Paged));
    return it == p.AllocationsByTag.end() ? 0 : it->second;
}

std::string ExpDescribePoolAddress(const void* address) {
    Pool& p = P();
    std::lock_guard<std::mutex> guard(p.Lock);
    auto it = FindLiveLocked(p, address);
    char text[160];
    if (it == p.Live.end()) {
        snprintf(text, sizeof(text), "paged pool at %p (no live block)", address);
        return text;
    }
    const Block& b = it->second;
    snprintf(text, sizeof(text), "paged pool block %p+%zu (tag '%s', %zu bytes, allocation #%zu from ", it->first,
             (size_t)((const char*)address - (const char*)it->first), TagText(b.Tag).c_str(), (size_t)b.Size,
             b.Sequence);
    return text + SiteText(b.Site) + ")";
}

std::string ExpDescribeCode(const void* code) {
    return SiteText(const_cast<void*>(code));
}
