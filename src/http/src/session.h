// Sessions: the record, the process-wide container, timers, finish and teardown.
#pragma once

#include "budget.h"
#include "records.h"
#include "metrics.h"
#include "request.h"
#include "timers.h"
#include "tls.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <glib.h>
#include <deque>
#include <string>
#include <pthread.h>

namespace varnholt::http_latency_protocol {

// One TCP_INFO sample of one connection of a latency session.
struct connection_sample {
    int64_t ts; // milliseconds since the session was created
    int64_t tcp_rtt;
    int64_t tcp_rttvar;
    uint64_t tcpi_lost;
    uint64_t tcpi_total_retrans;
    uint64_t tcpi_retrans;
    uint64_t tcpi_snd_cwnd;
    uint64_t total_transferred;
    uint64_t data_transferred;
};

// Every sample of one connection slot, in the order taken.
using connection_result = std::deque<connection_sample>;

} // namespace varnholt::http_latency_protocol

using latency_results_type = std::deque<varnholt::http_latency_protocol::connection_result>;

struct connection;

enum test_state : int {
    WARMUP = 0,
    MEASUR = 1,
    FINISHED = 2,
    DEAD = 3,
};

struct session_test_state {
    bool started;
    int state; // test_state
    bool finish_requested;
    // A finish requested during warm-up, which ends the test when measurement starts: the
    // request itself is taken by one warm-up sample.
    bool finish_deferred;
    timespec start_time; // CLOCK_MONOTONIC origin of the sample times
    time_t end_time;
    bool failed;
    timespec* warmup_times;
    size_t num_warmup;
    timespec* measur_times;
    size_t num_measur;
    uint64_t warmup_end_bytes;
    uint64_t total_bytes;
    uint64_t data_bytes;
};

inline session_key key_of(const request_info* request) {
    return {request->session_id, request->anonymous};
}

// The id for the next request that names no session: 1 to 0xFFFFFFFF, counted for the
// whole process (any worker thread), so never the socket number a client could predict.
uint64_t next_anonymous_session_id();

// One test session, owned by the worker thread whose timer queue holds its timers.
struct session {
    uint64_t id;
    // The transport of the request that created it; the TLS details from its connections.
    transport_info transport;
    session_key key; // {id, anonymous}: the container hashes through a pointer to it
    int epoll_fd;
    connection** conns;
    size_t active_conns;
    request_info request; // session-wide part only; per-connection fields stay zero
    session_test_state test;
    session_timer data_timer;
    session_timer expiry_timer;
    session_timer trace_timer;
    session_timer latency_timer;
    timer_queue* timers; // the owner's queue, which every timer of the session is armed in
    bool finishing;
    GString* traces;
    bool no_path;
    bool store_log;
    bool path_style;
    bool is_latency;
    int64_t serverside_start_ns;
    int64_t start_timestamp;
    int64_t measurement_start;
    int64_t measurement_end;
    // Sizes the arrays were allocated with. A path-style request may later replace
    // `request`; the arrays keep these sizes and are never addressed beyond them.
    size_t conns_size;
    size_t warmup_times_size;
    size_t measur_times_size;
    // One result per connection slot for a latency session, null otherwise.
    latency_results_type* latency_results;
    // Address of the client that opened the session, and whether the session counts
    // towards that address's limit (set when it was published under that limit).
    client_address client;
    bool counted_for_client;
    // Set when the session life time ran out.
    bool expired;
    // Finished by the server stopping before the test ended; its log says so.
    bool cut_short;
    // Connections lent to other workers for their data phase (lending.h), and whether the
    // session is to finish once they are all back.
    size_t lent_conns;
    bool finish_after_recall;
    // The session's worst case (its caps bound the trace text and the latency samples), and
    // the bytes of the memory budget it holds: the worst case once admitted, less the log
    // text once that went to the disk with its own share.
    session_memory memory;
    uint64_t reserved_bytes;
};

inline bool is_extended(const session* sess) {
    return sess->id > EXTENDED_SESSION_MIN;
}

// The process-wide container of sessions by id and its one mutex.
extern GHashTable* session_container;
extern pthread_mutex_t session_container_mutex;

// Creates the container; -1 when it exists already or cannot be made. Main thread.
int create_session_container();

// Allocates a session for *id owned by the thread of epoll_fd, which must be the calling
// thread: its timers go into the calling thread's queue (only the expiry timer is armed).
// Null on failure (rolled back). Does not touch the container.
session* create_session(const uint64_t* id, const request_info* request, int epoll_fd);

// The session of request->session_id, created and published when the container
// has none. Null when none could be made or the request may not join the existing
// one. A path-style request whose parameters differ either adopts the session's
// (written into *request) or, with its own WARMUP_SAMPLE_TIME, replaces them: then
// *replace is set and the caller must carry the replacement to the owning thread, which
// applies it (apply_request_replacement) only once the connection has joined. *owner_epfd receives
// the owner's epoll descriptor, read under the container lock: once the lock is released, a session
// owned by another thread may end at any moment, and the result must not be dereferenced unless the
// owner is the calling thread. A new session is created only by the worker that is to
// own it: when another worker should (choose_session_owner), null is returned with
// *place_at set to that worker's epoll descriptor, already counted as owning the session,
// and the caller hands the connection there, where it is `placed`: the session is then
// created on that worker whatever the counts, and the count is taken back if it exists
// already by then. Any worker thread.
//
// A new session is admitted only while fewer than max_sessions run in all and fewer
// than max_client_sessions from `client` (each when not 0): both where the connection
// arrives and again, under the same lock as the publication, where it is placed; and only
// while its worst case (session_memory_bound) fits in the memory budget, reserved at its
// publication and released when it is freed. Otherwise null is returned with *refusal set to
// the limit that was reached (it stays NOT_REFUSED for every other null). Connections joining a
// running session are never refused.
// The part of the memory budget (percent) that the sessions of one client may hold together;
// a client's first session is bounded by the budget alone.
constexpr uint64_t CLIENT_MEMORY_SHARE = 50;
enum admission_refusal : int {
    NOT_REFUSED = 0,
    REFUSED_BY_SERVER_LIMIT = 1,
    REFUSED_BY_CLIENT_LIMIT = 2,
    REFUSED_BY_MEMORY_BUDGET = 3,
    // The client's sessions already hold CLIENT_MEMORY_SHARE of the budget: one client may not
    // take what every other needs.
    REFUSED_BY_CLIENT_MEMORY = 4,
};
session* create_unique_session(request_info* request, int epoll_fd, const client_address* client,
                               bool placed, bool* replace, int* owner_epfd, int* place_at,
                               admission_refusal* refusal);

// Sessions from `client` counted towards its limit (for tests and diagnostics).
int client_session_count(const client_address* client);

// Replaces the session's test parameters with a path-style request's, keeping the
// sizes its arrays were allocated with. Owner thread only; takes the container lock.
void apply_request_replacement(session* sess, const request_info* request);

// The session with that id, or null. Any worker thread; the result may be used
// only by the session's owner.
// With owner_epfd (not -1), a session owned by another worker counts as none: a connection
// handed over for one session must not join another that took the same id elsewhere.
session* get_session(session_key key, int owner_epfd = -1);

// Joins conn to the session's slot conn->conn_id. 0, or -1 (logged) when refused.
int add_connection(session* sess, connection* conn);

// Ends a session that no connection has joined, when the one that was to join first went
// away or was refused: a session exists only while a connection can belong to it. Owner
// thread.
void drop_session_without_connections(session* sess);
// Detaches a closing connection (it stays in its slot until the session goes).
void remove_connection(session* sess, connection* conn);

// Stops watching a connection without closing it and counts it out of the test.
void disable_connection(session* sess, connection* conn);

// Takes the session out of the container and queues it for destruction at the end
// of this thread's loop iteration.
void queue_to_destroy(session* sess);

// Releases the session record and what it owns, except its connections.
void free_session(session* sess);

// Gives the session a timer of that kind, not armed.
void init_session_timer(session_timer* timer, uint32_t kind);
// Seconds a session that reached its life time still has for its last replies (results, a
// latency session's final statistics) before it is destroyed with all its connections.
constexpr int EXPIRY_GRACE_SECONDS = 5;
// Creates and arms (session time-out) the expiry timer. 0 or -1.
int register_session_expiry_timer(session* sess);
// Stops and drops the expiry timer if there is one.
void unregister_session_expiry_timer(session* sess);
// Arms a timer of the session relative to now: first expiry `first`, then every
// `interval` (zero: one-shot; a zero `first` leaves it stopped). 0, or -1 with errno
// set. Owner thread.
int arm_timer(session* sess, session_timer* timer, timespec first, timespec interval);

// a - b, with the nanoseconds kept in 0..999,999,999.
timespec time_diff(timespec a, timespec b);

// The session that owns a timer record (one of its four session_timer members).
session* session_from_timer(session_timer* timer);

// Destroys the sessions queued on the calling thread. True when at least one was
// destroyed, so that a paused accept can be retried.
bool trigger_sessions_destroy();

// Ends a session's test (stops its timers, moves its connections on). Owner thread.
void finish_session(session* sess);

// The server stops while sessions still run: asks every worker to finish those it owns
// as cut short, their logs written and saying so. Main thread; the workers must then be
// woken (a signal) to see it.
void request_cut_short();
// Workers that have finished their sessions since request_cut_short(). Any thread.
int cut_short_workers_done();
// In every loop iteration of a worker (epoll descriptor epfd): once cutting short was
// requested, finishes the sessions it owns, once. Costs one atomic load otherwise.
void finish_cut_short_sessions(int epfd);

// The periodic check of a session that became due: warm-up, measurement and the
// end of the test. `now` is CLOCK_MONOTONIC. Owner thread.
void handle_session_periodic(session* sess, timespec now);

// The bytes the session's connections have moved: those on the owner as counted by its
// events, plus what each lent one has moved since it was lent. Owner thread.
void session_bytes(const session* sess, uint64_t* total, uint64_t* data);
// Further bytes after which one of the session's limits is passed and it is due its
// periodic check; 0 when it is due already. Owner thread.
uint64_t bytes_until_due(const session* sess);
// True when a limit was passed or the end was asked for: the periodic check must run.
bool session_is_due(const session* sess);
// The data count at which a lent connection goes back to its owner: its share among the
// session's active connections of the bytes left before the nearest limit.
uint64_t lent_return_point(const session* sess, const connection* conn);
// True from the finish on, the wait for its lent connections included: no expiry outcome, cut
// short, join or sample any more.
inline bool session_finishing(const session* sess) {
    return sess->finishing || sess->finish_after_recall;
}
// Asks every carrier of the session for its lent connections back; the session finishes
// when the last is back. Owner thread.
void recall_lent_connections(session* sess);
// Moves the return points of the lent connections to what the limits allow now (after a
// check changed the session's state or parameters). Owner thread.
void rebudget_lent_connections(session* sess);

// Appends one trace line per joined connection whose TCP_INFO can be read, while the text
// stays within the session's cap.
void append_trace_lines(session* sess);
// The text of the session log.
GString* build_session_report(const session* sess);
// Builds the session log and hands it to the file operations thread to write.
void store_session_report(session* sess);

// Takes one TCP_INFO sample of every joined connection of a latency session that has fewer
// than the session's cap.
void sample_latency(session* sess);
// The latency statistics document (compact JSON) of a latency session.
std::string build_latency_document(const session* sess);

// The results reply of an upload test; the caller owns the buffer.
GString* build_results_reply(const session* sess);

// Number of sessions in the container (for tests and diagnostics).
size_t session_count();

// The kind a session is counted as in the metrics.
session_kind kind_of(const session* sess);
// Takes the TLS version and suite of a TLS connection that joined, for the log and the
// archive (the first one's; kernel TLS when any of them had it). Owner thread.
void note_session_transport(session* sess, const connection* conn);
