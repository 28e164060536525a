// Resetting the host kernel between scenarios.
#include "hk/reset.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "hk/clock.h"
#include "hk/fault.h"
#include "hk/thread.h"
#include "ke/ke_internal.h"

namespace {

struct Hooks {
    std::mutex Lock;
    std::vector<HkResetHook> List;
};

Hooks& H() {
    static Hooks hooks;
    return hooks;
}

}  // namespace

void HkRegisterResetHook(HkResetHook hook) {
    Hooks& h = H();
    std::lock_guard<std::mutex> guard(h.Lock);
    if (hook && std::find(h.List.begin(), h.List.end(), hook) == h.List.end()) {
        h.List.push_back(hook);
    }
}

void HkReset() {
    HkClockStopRealTime();
    std::vector<HkResetHook> hooks;
    {
        Hooks& h = H();
        std::lock_guard<std::mutex> guard(h.Lock);
        hooks = h.List;
    }
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
        (*it)();
    }
    KiResetDispatcher();
    KiResetLockOrder();
    HkFaultReset();
    HkThreadResetState();
    ExpResetPool();
}
