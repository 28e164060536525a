// Delay injection at synchronisation points (see hk/delay.h).
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "hk/delay.h"
#include "hk/reset.h"
#include "hk/thread.h"

namespace {

std::atomic<bool> g_enabled{false};
std::atomic<ULONG> g_seed{0};
std::atomic<ULONG> g_percent{0};
std::atomic<ULONG> g_maxMicroseconds{0};
std::atomic<ULONG> g_generation{0};
std::atomic<ULONG64> g_counts[(int)HkDelayPoint::Count];

struct ThreadGenerator {
    ULONG Generation = ~0u;
    std::minstd_rand Random;
};

void ResetDelays() { HkDelayDisable(); }

}  // namespace

void HkDelayEnable(ULONG seed, ULONG percent, ULONG maxMicroseconds) {
    HkRegisterResetHook(ResetDelays);
    for (auto& count : g_counts) {
        count = 0;
    }
    g_seed = seed;
    g_percent = percent > 100 ? 100 : percent;
    g_maxMicroseconds = maxMicroseconds;
    g_generation++;
    g_enabled = true;
}

void HkDelayDisable() { g_enabled = false; }

bool HkDelayEnabled() { return g_enabled; }

void HkDelayAt(HkDelayPoint point) {
    if (!g_enabled.load(std::memory_order_relaxed)) {
        return;
    }
    thread_local ThreadGenerator generator;
    if (generator.Generation != g_generation) {
        generator.Generation = g_generation;
        generator.Random.seed(g_seed * 2654435761u + HkThreadId());
    }
    if (generator.Random() % 100 >= g_percent) {
        return;
    }
    g_counts[(int)point]++;
    ULONG most = g_maxMicroseconds;
    ULONG pause = most ? generator.Random() % (most + 1) : 0;
    if (pause < most / 2) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(pause));
    }
}

ULONG64 HkDelayCount(HkDelayPoint point) { return g_counts[(int)point]; }
