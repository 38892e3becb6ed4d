// The log directory's disk budget: what session logs, PUT appends and archive records may take
// in all.
#include "log_space.h"

#include "settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>

// Written by the file operations thread only (and at start-up); the metrics page reads them.
static std::atomic<uint64_t> used{0};
static std::atomic<uint64_t> limit{MAX_LOG_SPACE_DEFAULT};
static std::atomic<uint64_t> refusals[NUM_LOG_SPACE_USES];
// Atomic only so that a test may set them again while the thread runs.
static std::atomic<const char*> measured_directory{nullptr};
static std::atomic<const char*> measured_archive{nullptr};
static std::atomic<int64_t> next_measure_ns{0};

uint64_t log_space_used() {
    return used.load(std::memory_order_relaxed);
}

uint64_t log_space_limit() {
    return limit.load(std::memory_order_relaxed);
}

uint64_t log_space_refusals(log_space_use use) {
    return refusals[use].load(std::memory_order_relaxed);
}

// The apparent sizes of the regular files directly in `directory`, 0 without one.
static uint64_t measure(const char* directory) {
    if (directory == nullptr)
        return 0;
    DIR* dir = opendir(directory);
    if (dir == nullptr)
        return 0;
    uint64_t total = 0;
    while (dirent* entry = readdir(dir)) {
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            total += static_cast<uint64_t>(st.st_size);
    }
    closedir(dir);
    return total;
}

// The apparent sizes of the regular files anywhere below `directory` (symbolic links are not
// followed), 0 without one. One thread measures at a time (nftw has no argument).
static thread_local uint64_t tree_total = 0;
static int add_file(const char*, const struct stat* st, int type, FTW*) {
    if (type == FTW_F && S_ISREG(st->st_mode))
        tree_total += static_cast<uint64_t>(st->st_size);
    return 0;
}
static uint64_t measure_tree(const char* directory) {
    if (directory == nullptr)
        return 0;
    tree_total = 0;
    nftw(directory, add_file, 16, FTW_PHYS);
    return tree_total;
}

static uint64_t measure_all() {
    return measure(measured_directory.load(std::memory_order_acquire)) +
           measure_tree(measured_archive.load(std::memory_order_acquire));
}

void init_log_space(const char* directory, uint64_t bytes, const char* archive) {
    measured_directory.store(directory, std::memory_order_release);
    measured_archive.store(archive, std::memory_order_release);
    limit.store(bytes, std::memory_order_relaxed);
    used.store(measure_all(), std::memory_order_relaxed);
    next_measure_ns.store(0, std::memory_order_relaxed);
    for (auto& refused : refusals)
        refused.store(0, std::memory_order_relaxed);
}

bool log_space_reserve(log_space_use use, uint64_t bytes) {
    const uint64_t most = limit.load(std::memory_order_relaxed);
    uint64_t now_used = used.load(std::memory_order_relaxed);
    if (most != 0 && (bytes > most || now_used > most - bytes)) {
        const int64_t now = log_limit_now_ns();
        if (now >= next_measure_ns.load(std::memory_order_relaxed)) {
            next_measure_ns.store(now + 60 * int64_t{1000000000}, std::memory_order_relaxed);
            now_used = measure_all();
            used.store(now_used, std::memory_order_relaxed);
        }
        if (bytes > most || now_used > most - bytes) {
            refusals[use].fetch_add(1, std::memory_order_relaxed);
            VH_LOG_LIMITED("log space", LOG_WARNING,
                           "Log directory full: %s of %lu bytes refused, %lu of %lu bytes used",
                           use == LOG_SPACE_PUT       ? "PUT append"
                           : use == LOG_SPACE_ARCHIVE ? "archive record"
                                                      : "session log",
                           static_cast<unsigned long>(bytes), static_cast<unsigned long>(now_used),
                           static_cast<unsigned long>(most));
            return false;
        }
    }
    used.store(now_used + bytes, std::memory_order_relaxed);
    return true;
}

void log_space_release(uint64_t bytes) {
    const uint64_t now_used = used.load(std::memory_order_relaxed);
    used.store(now_used > bytes ? now_used - bytes : 0, std::memory_order_relaxed);
}

