// Process-wide settings and the log routine that every thread uses.
#pragma once

#include "log_limit.h"

#include <cstdio>
#include <pthread.h>
#include <sys/types.h>
#include <syslog.h>

// Written by the main thread during start-up, read without locks afterwards.
extern int debug_level;
extern bool use_syslog;
extern const char* file_path;
extern off_t file_size;
extern const char* log_directory; // null when no log directory was given
extern int session_timeout;       // seconds
// Admission: the most sessions that may run at once in all and per client (client_key)
// (0: no limit), and the Retry-After a refused client is given.
extern int max_sessions;
extern int max_client_sessions;
constexpr int RETRY_AFTER_SECONDS = 10;
// Seconds a client has for a request header, counted from the accept; and how many
// connections one address may hold whose header has not arrived whole (0: no limit).
extern int header_timeout;
extern int max_client_pending;
constexpr int HEADER_TIMEOUT_DEFAULT = 10;
constexpr int HEADER_TIMEOUT_MAX = 3600;
constexpr int MAX_CLIENT_PENDING_DEFAULT = 256;
constexpr int MAX_CLIENT_PENDING_MAX = 1000000;
// How many connections one client may hold at once, in any state (0: no limit); and how
// many leading bits of an IPv6 address name its client (IPv4 clients are their address).
extern int max_client_connections;
extern int client_prefix_v6;
constexpr int MAX_CLIENT_CONNECTIONS_DEFAULT = 4096;
constexpr int MAX_CLIENT_CONNECTIONS_MAX = 1000000;
constexpr int CLIENT_PREFIX_V6_DEFAULT = 64;
// Seconds that running sessions are given to finish after SIGTERM.
extern int drain_timeout;
constexpr int DRAIN_TIMEOUT_DEFAULT = 30;
constexpr int DRAIN_TIMEOUT_MAX = 3600;

constexpr int SESSION_TIMEOUT_MIN = 60;
constexpr int SESSION_TIMEOUT_MAX = 600;
constexpr int SESSION_TIMEOUT_DEFAULT = 300;

// "<3>", "<4>", "<6>" or "<7>" for the four priorities the server uses.
const char* log_priority_tag(int priority);

// The calling thread's identity as the debug lines print it.
inline long thread_tag() {
    return static_cast<long>(pthread_self());
}

// Emits one log line naming the source file, function and line of the call site.
// Without syslog the line goes to standard error (unbuffered, so lines of several
// threads never interleave within a line) prefixed with its priority tag.
#define VH_LOG(priority, fmt, ...)                                                                 \
    do {                                                                                           \
        if (use_syslog)                                                                            \
            syslog((priority), "[" __FILE__ ",%s():%u]: " fmt, __func__,                           \
                   static_cast<unsigned>(__LINE__) __VA_OPT__(, ) __VA_ARGS__);                    \
        else                                                                                       \
            fprintf(stderr, "%s[" __FILE__ ",%s():%u]: " fmt "\n", log_priority_tag(priority),     \
                    __func__, static_cast<unsigned>(__LINE__) __VA_OPT__(, ) __VA_ARGS__);         \
    } while (0)

// Gated form: emitted only when debug_level exceeds the threshold. The test comes
// first, so a suppressed call evaluates none of its arguments.
#define VH_DEBUG(threshold, priority, fmt, ...)                                                    \
    do {                                                                                           \
        if (debug_level > (threshold))                                                             \
            VH_LOG((priority), fmt __VA_OPT__(, ) __VA_ARGS__);                                    \
    } while (0)

// Form for lines a client can cause at will (refused requests, failures of its own
// connection): each call site passes a burst of lines and then about two a second
// (log_limit.h). The first line that passes after some were held back is followed by
// "… N more suppressed (KIND)"; KIND is a short literal naming the line. A held-back call
// evaluates none of its arguments.
#define VH_LOG_LIMITED(kind, priority, fmt, ...)                                                   \
    do {                                                                                           \
        static log_limiter vh_limiter_;                                                            \
        uint64_t vh_held_back_ = 0;                                                                \
        if (log_limit_pass(&vh_limiter_, log_limit_now_ns(), &vh_held_back_)) {                    \
            VH_LOG((priority), fmt __VA_OPT__(, ) __VA_ARGS__);                                    \
            if (vh_held_back_ > 0)                                                                 \
                VH_LOG((priority), "\u2026 %lu more suppressed (%s)",                              \
                       static_cast<unsigned long>(vh_held_back_), kind);                           \
        }                                                                                          \
    } while (0)
