// Rate limits for log lines a client can cause: one token bucket per call site.
#include "log_limit.h"

#include <ctime>

int64_t log_limit_now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool log_limit_pass(log_limiter* limiter, int64_t now_ns, uint64_t* held_back) {
    // The bucket holds (full_at - now) / interval spent tokens: a line may pass while
    // fewer than the burst are spent, and spends one.
    constexpr int64_t span = LOG_LIMIT_INTERVAL_NS * LOG_LIMIT_BURST;
    int64_t full_at = limiter->full_at_ns.load(std::memory_order_relaxed);
    for (;;) {
        const int64_t from = full_at > now_ns ? full_at : now_ns;
        if (from + LOG_LIMIT_INTERVAL_NS - now_ns > span) {
            limiter->suppressed.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        if (limiter->full_at_ns.compare_exchange_weak(full_at, from + LOG_LIMIT_INTERVAL_NS,
                                                      std::memory_order_relaxed))
            break;
    }
    *held_back = limiter->suppressed.exchange(0, std::memory_order_relaxed);
    return true;
}
