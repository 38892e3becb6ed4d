// Shared set-up of the fuzz targets: a quiet standard output (path conversion errors are
// printed there) and the checks every parse must pass.
#pragma once

#include "fuzz_check.h"
#include "handlers.h"
#include "request.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace vh_fuzz {

// The longest text a worker ever parses: an incomplete header of HEADER_LIMIT bytes
// plus one more peek of as many.
constexpr size_t MAX_TEXT = 2 * HEADER_LIMIT;

// Ends a target's run at a set-up that failed or a broken invariant, naming the target.
[[noreturn]] inline void fail(const char* what) {
    dprintf(STDERR_FILENO, "%s: %s\n", program_invocation_short_name, what);
    abort();
}

// The descriptors this process holds, the directory's own not counted.
inline int count_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        fail("cannot read /proc/self/fd");
    int n = 0;
    while (dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;
}

inline void init_parser() {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}

// What every successful parse_request must leave behind, whatever the input.
inline void check_parsed(const request_info& r, int result, const char* data, size_t size) {
    VH_FUZZ_CHECK(result > 0 && static_cast<size_t>(result) <= size);
    // The pattern is anchored at both ends: a text without NUL bytes is matched whole.
    if (memchr(data, 0, size) == nullptr)
        VH_FUZZ_CHECK(static_cast<size_t>(result) == size);
    VH_FUZZ_CHECK(r.method <= HEAD);
    VH_FUZZ_CHECK(r.tcp_cong[sizeof(r.tcp_cong) - 1] == '\0');
    VH_FUZZ_CHECK((r.method == PUT) == (r.put_path != nullptr));
    if (r.latency_test) {
        VH_FUZZ_CHECK(r.session_id >= EXTENDED_SESSION_MIN);
        VH_FUZZ_CHECK(r.latency_interval.tv_sec != 0 || r.latency_interval.tv_nsec != 0);
    }
    VH_FUZZ_CHECK(r.trace_interval.tv_nsec >= 0 && r.trace_interval.tv_nsec < 1000000000);
    VH_FUZZ_CHECK(r.latency_interval.tv_nsec >= 0 && r.latency_interval.tv_nsec < 1000000000);
}

// Releases what a parse may have handed to the caller.
inline void release(request_info& r) {
    if (r.put_path != nullptr)
        g_string_free(r.put_path, TRUE);
    r.put_path = nullptr;
}

} // namespace vh_fuzz
