// Failure injection counters, one set per category.
#include "hk/fault.h"

#include <mutex>
#include <set>

namespace {

const char* const kFaultNames[] = {
#define HK_FAULT_NAME(name) #name,
    HK_FAULT_CATEGORIES(HK_FAULT_NAME)
#undef HK_FAULT_NAME
};

struct Category {
    ULONG Seen = 0;
    ULONG Injected = 0;
    ULONG FailAt = 0;  // value of Seen that fails; 0 for none
    bool Always = false;
};

struct FaultState {
    std::mutex Lock;
    Category Categories[size_t(HkFault::Count)];
    std::set<ULONG> Tags;
    FaultState() { Categories[size_t(HkFault::WaitAlert)].Always = true; }
};

FaultState& State() {
    static FaultState state;
    return state;
}

Category* Find(FaultState& s, HkFault category) {
    size_t i = size_t(category);
    return i < size_t(HkFault::Count) ? &s.Categories[i] : nullptr;
}

// Counts one operation; caller holds the lock.
bool CountAndDecide(Category& c) {
    c.Seen++;
    bool fail = c.Always || c.Seen == c.FailAt;
    if (c.Seen == c.FailAt) {
        c.FailAt = 0;
    }
    c.Injected += fail;
    return fail;
}

}  // namespace

const char* HkFaultName(HkFault category) {
    size_t i = size_t(category);
    return i < size_t(HkFault::Count) ? kFaultNames[i] : "Unknown";
}

void HkFaultFailNth(HkFault category, ULONG n) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (Category* c = Find(s, category)) {
        c->FailAt = n ? c->Seen + n : 0;
    }
}

void HkFaultFailAlways(HkFault category, bool on) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (Category* c = Find(s, category)) {
        c->Always = on;
    }
}

void HkFaultFailTag(ULONG tag) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Tags.insert(tag);
}

void HkFaultReset() {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    for (Category& c : s.Categories) {
        c = Category();
    }
    s.Categories[size_t(HkFault::WaitAlert)].Always = true;
    s.Tags.clear();
}

bool HkFaultShouldFail(HkFault category) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Category* c = Find(s, category);
    return c && CountAndDecide(*c);
}

bool HkFaultShouldFailPool(ULONG tag) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Category& c = s.Categories[size_t(HkFault::Pool)];
    bool fail = CountAndDecide(c);
    if (!fail && s.Tags.count(tag)) {
        c.Injected++;
        fail = true;
    }
    return fail;
}

ULONG HkFaultCount(HkFault category) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Category* c = Find(s, category);
    return c ? c->Seen : 0;
}

ULONG HkFaultInjected(HkFault category) {
    FaultState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    Category* c = Find(s, category);
    return c ? c->Injected : 0;
}
