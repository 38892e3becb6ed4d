// Rate limits for log lines a client can cause: one token bucket per call site.
#pragma once

#include <atomic>
#include <cstdint>

// A burst of LOG_LIMIT_BURST lines passes at once; after that one line every
// LOG_LIMIT_INTERVAL_NS (two a second). What is held back is counted and reported after
// the next line that passes, as "… N more suppressed (KIND)".
constexpr int64_t LOG_LIMIT_INTERVAL_NS = 500000000;
constexpr int64_t LOG_LIMIT_BURST = 20;

// One call site's bucket, kept as the time at which it is full again (zero-initialised:
// full). Any thread; one compare-and-swap per line that passes, none when it is held back.
struct log_limiter {
    std::atomic<int64_t> full_at_ns{0};
    std::atomic<uint64_t> suppressed{0};
};

// Whether a line at now_ns (CLOCK_MONOTONIC) may pass. When it may, *held_back is set to
// the lines held back since the last one that passed (and the count starts over).
bool log_limit_pass(log_limiter* limiter, int64_t now_ns, uint64_t* held_back);

// CLOCK_MONOTONIC now, in nanoseconds.
int64_t log_limit_now_ns();
