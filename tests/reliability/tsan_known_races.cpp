// Races the thread sanitizer finds that are known and accepted, suppressed
// here so the concurrency runs report anything new. Keep in step with
// docs/reliability.md.
#if defined(__SANITIZE_THREAD__)
#define RELIABILITY_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RELIABILITY_TSAN 1
#endif
#endif

#ifdef RELIABILITY_TSAN
extern "C" const char* __tsan_default_suppressions()
{
    return
        // The stand-in function driver keeps its own flags (Opened,
        // LinkOwner) as plain bytes that concurrent opens of one port device
        // set alike; its FunctionArea words are stored atomically.
        "race:pelmonix.cpp\n";
}
#endif
