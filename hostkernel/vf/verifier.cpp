// Verifier stops: abort with a report, or record it for a test.
#include "hk/verifier.h"

#include <execinfo.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

const char* const kViolationNames[] = {
#define HK_VIOLATION_NAME(name) #name,
    HK_VIOLATION_KINDS(HK_VIOLATION_NAME)
#undef HK_VIOLATION_NAME
};
static_assert(sizeof(kViolationNames) / sizeof(kViolationNames[0]) == size_t(HkViolation::Count),
              "one name per kind");

std::mutex& CaptureLock() {
    static std::mutex lock;
    return lock;
}
HkVerifierCapture* g_innermost = nullptr;

}  // namespace

const char* HkViolationName(HkViolation kind) {
    size_t i = size_t(kind);
    return i < size_t(HkViolation::Count) ? kViolationNames[i] : "Unknown";
}

void HkVerifierStop(HkViolation kind, const char* format, ...) {
    char details[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(details, sizeof(details), format, args);
    va_end(args);
    std::string text = std::string(HkViolationName(kind)) + ": " + details;
    {
        std::lock_guard<std::mutex> guard(CaptureLock());
        if (g_innermost) {
            g_innermost->Record(kind, text);
            return;
        }
    }
    fprintf(stderr, "VERIFIER STOP %s\n", text.c_str());
    void* frames[32];
    int n = backtrace(frames, 32);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    fflush(stderr);
    abort();
}

HkVerifierCapture::HkVerifierCapture() {
    std::lock_guard<std::mutex> guard(CaptureLock());
    outer_ = g_innermost;
    g_innermost = this;
}

HkVerifierCapture::~HkVerifierCapture() {
    std::lock_guard<std::mutex> guard(CaptureLock());
    if (g_innermost == this) {
        g_innermost = outer_;
        return;
    }
    for (HkVerifierCapture* c = g_innermost; c; c = c->outer_) {
        if (c->outer_ == this) {
            c->outer_ = outer_;
            break;
        }
    }
}

void HkVerifierCapture::Record(HkViolation kind, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.push_back({kind, text});
}

size_t HkVerifierCapture::Count(HkViolation kind) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const HkVerifierReport& r : reports_) {
        n += r.Kind == kind;
    }
    return n;
}

size_t HkVerifierCapture::Count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reports_.size();
}

std::vector<HkVerifierReport> HkVerifierCapture::Reports() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reports_;
}

void HkVerifierCapture::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.clear();
}
