// The log directory's disk budget: what session logs, PUT appends and archive records may take
// in all.
#pragma once

#include <atomic>
#include <cstdint>

// Bytes the files of the log directory may hold together (0: no limit). Set at start-up.
constexpr uint64_t MAX_LOG_SPACE_DEFAULT = uint64_t{1} << 30;
constexpr uint64_t MAX_LOG_SPACE_MAX = uint64_t{1} << 60;

// What is written and refused, for the metrics page. Any thread may read.
enum log_space_use : int {
    LOG_SPACE_SESSION_LOG = 0,
    LOG_SPACE_PUT = 1,
    LOG_SPACE_ARCHIVE = 2,
    NUM_LOG_SPACE_USES = 3,
};
uint64_t log_space_used();
uint64_t log_space_limit();
uint64_t log_space_refusals(log_space_use use);

// Sets the limit and measures the directories: the sizes of the regular files directly in the
// log directory and of those anywhere below the archive directory (either may be null). Main
// thread, before the file operations thread starts; a test may call it again once that thread
// is idle.
void init_log_space(const char* directory, uint64_t limit, const char* archive = nullptr);

// Reserves `bytes` of the budget for `use`: true when they fit (they are then counted as
// used); false when they would go past the limit, which is counted as a refusal and
// logged (rate-limited). Before refusing, the directory is measured again, at most once a
// minute, so that logs removed by the operator make room. File operations thread only.
bool log_space_reserve(log_space_use use, uint64_t bytes);

// Gives back bytes reserved but not written, or freed by the server itself (a file it
// replaced or removed). File operations thread only.
void log_space_release(uint64_t bytes);

