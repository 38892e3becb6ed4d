// Operational counters (sessions, refusals, bytes, worker load, descriptors) and the
// opt-in endpoint that serves them as Prometheus text.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

enum session_kind : int {
    KIND_DOWNLOAD = 0,
    KIND_UPLOAD = 1,
    KIND_LATENCY = 2,
    NUM_SESSION_KINDS = 3,
};

enum session_outcome : int {
    OUTCOME_COMPLETED = 0, // the test ran to its end
    OUTCOME_FAILED = 1,    // a connection failed or went silent before the end
    OUTCOME_EXPIRED = 2,   // the session life time ran out
    NUM_SESSION_OUTCOMES = 3,
};

enum refusal_reason : int {
    REFUSED_SERVER_LIMIT = 0,  // the server runs its most sessions
    REFUSED_CLIENT_LIMIT = 1,  // the client's address runs its most sessions
    REFUSED_MEMORY_BUDGET = 2, // the session's worst case does not fit in the memory budget
    REFUSED_CLIENT_MEMORY = 3, // the client's sessions hold their share of the memory budget
    NUM_REFUSAL_REASONS = 4,
};

enum connection_refusal : int {
    CONN_REFUSED_CLIENT_CONNECTIONS = 0, // the client holds its most connections
    CONN_REFUSED_CLIENT_PENDING = 1,     // the client holds its most incomplete headers
    NUM_CONNECTION_REFUSALS = 2,
};

// Counters of one worker thread. Only that thread writes them (relaxed loads and stores,
// no read-modify-write on the hot path); the endpoint reads them at any time. Each
// record has its own cache lines so that workers never share one.
struct alignas(64) worker_metrics {
    std::atomic<uint64_t> connections_accepted{0};
    std::atomic<int64_t> connections_open{0};
    std::atomic<uint64_t> bytes_sent{0};
    std::atomic<uint64_t> bytes_received{0};
    std::atomic<uint64_t> events{0};
    std::atomic<int> epfd{-1};
    std::atomic<int> cpu{-1};
    clockid_t cpu_clock{};
    std::atomic<bool> has_cpu_clock{false};
    std::atomic<bool> registered{false};
};

// Adds to a counter of the calling thread's own record.
inline void bump(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
inline void bump(std::atomic<int64_t>& counter, int64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Gives the calling worker thread (epoll descriptor epfd) its record. Worker start-up.
void register_worker_metrics(int epfd);
// The calling thread's record; a thread that registered none (a test driving a worker
// function directly) gets a spare one that the endpoint never shows.
worker_metrics* thread_metrics();

// Session events, from any worker thread.
// `tls`: the session came over the TLS port (label transport="tls", else "tcp").
void count_session_started(session_kind kind, bool tls);
void count_session_ended(session_kind kind, session_outcome outcome, bool tls);
void count_session_refused(refusal_reason reason);
// A connection closed at the accept by a per-client limit. Any thread.
void count_connection_refused(connection_refusal reason);

// Set once when the server starts stopping; shown as varnholt_draining and
// varnholt_draining_seconds.
void set_metrics_draining();
// Whether the server takes new tests now, as /ready tells load balancers: null when it does
// (not draining, under the session limit, room in the memory budget and the descriptor table
// for a one-connection download), otherwise the reason in a few words. Any thread.
const char* unready_reason();

// A session log that was not written whole (or was dropped), a PUT upload whose data
// was not all appended. Any thread.
void count_session_log_failed();
void count_put_append_failed();

// The labels of varnholt_build_info (static strings, kept). Main thread, before the
// endpoint starts.
void set_metrics_build_info(const char* version, const char* revision);

// The whole metrics page in the Prometheus text format (version 0.0.4).
std::string format_metrics();

// Opens the endpoint's listening socket on "HOST:PORT" ("[v6addr]:PORT" for IPv6;
// port 0 takes a free one) and starts the thread that serves it. The address and port
// really bound are logged ("Metrics on address %s port %s"). 0, or -1 (logged).
// Main thread, at start-up.
int start_metrics_endpoint(const char* address);

// Splits "HOST:PORT" / "[HOST]:PORT" into its parts. False when it has no port.
bool split_host_port(const std::string& address, std::string* host, std::string* port);
