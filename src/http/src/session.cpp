// Sessions: the process-wide container, session records, their timers, the finish of
// a test and the deferred destruction of sessions with their connections.
#include "session.h"
#include "timeout_list.h"
#include "workers.h"

#include "archive.h"
#include "connection.h"
#include "file_ops.h"
#include "settings.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

GHashTable* session_container = nullptr;
pthread_mutex_t session_container_mutex = PTHREAD_MUTEX_INITIALIZER;

// Sessions queued for destruction at the end of this thread's loop iteration.
static thread_local GSList* sessions_to_destroy = nullptr;

// The memory budget counts latency samples in the queue's blocks of seven.
static_assert(sizeof(varnholt::http_latency_protocol::connection_sample) == 72);

// Keys are pointers to session_key (a session's `key`, or any key variable).
static guint session_id_hash(gconstpointer key) {
    return static_cast<guint>(static_cast<const session_key*>(key)->id);
}

static gboolean session_id_equal(gconstpointer a, gconstpointer b) {
    const auto* x = static_cast<const session_key*>(a);
    const auto* y = static_cast<const session_key*>(b);
    return x->id == y->id && x->anonymous == y->anonymous;
}

static std::atomic<uint32_t> anonymous_sessions{0};

uint64_t next_anonymous_session_id() {
    // Never 0 (which means "none named"), never extended: 1 to 0xFFFFFFFF, then round again.
    // A session lives at most minutes; ids wrap only after four billion more.
    const uint32_t n = anonymous_sessions.fetch_add(1, std::memory_order_relaxed);
    return uint64_t{n} % EXTENDED_SESSION_MIN + 1;
}

static void lock_container_or_exit() {
    int rc = pthread_mutex_lock(&session_container_mutex);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_mutex_lock: %s", strerror(rc));
        exit(1);
    }
}

static void unlock_container_or_exit() {
    int rc = pthread_mutex_unlock(&session_container_mutex);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_mutex_unlock: %s", strerror(rc));
        exit(1);
    }
}

// Sessions counted per client (client_key: the hash and equality group an IPv6 network),
// with the memory they reserved, for the per-client limits. Guarded by the container mutex;
// a client leaves the table with its last session.
namespace {
struct client_tally {
    client_address client; // the key points here
    int sessions;
    uint64_t memory;
};
} // namespace
static GHashTable* client_tallies = nullptr;

static void free_client_tally(gpointer tally) {
    g_slice_free1(sizeof(client_tally), tally);
}

int create_session_container() {
    if (session_container != nullptr)
        return -1;
    session_container = g_hash_table_new(session_id_hash, session_id_equal);
    client_tallies = g_hash_table_new_full(client_address_hash, client_address_equal, nullptr,
                                           free_client_tally);
    return session_container != nullptr && client_tallies != nullptr ? 0 : -1;
}

static client_tally* find_tally(const client_address* client) {
    return static_cast<client_tally*>(g_hash_table_lookup(client_tallies, client));
}

// Container lock held.
static void count_client_session(session* sess) {
    client_tally* tally = find_tally(&sess->client);
    if (tally == nullptr) {
        tally = static_cast<client_tally*>(g_slice_alloc0(sizeof(client_tally)));
        tally->client = sess->client;
        g_hash_table_insert(client_tallies, &tally->client, tally);
    }
    tally->sessions++;
    tally->memory += sess->memory.total;
    sess->counted_for_client = true;
}

// Container lock held.
static void uncount_client_session(session* sess) {
    if (!sess->counted_for_client)
        return;
    sess->counted_for_client = false;
    client_tally* tally = find_tally(&sess->client);
    assert(tally != NULL && tally->sessions > 0 && tally->memory >= sess->memory.total);
    tally->memory -= sess->memory.total;
    if (--tally->sessions == 0)
        g_hash_table_remove(client_tallies, &tally->client);
}

int client_session_count(const client_address* client) {
    lock_container_or_exit();
    client_tally* tally = find_tally(client);
    int n = tally != nullptr ? tally->sessions : 0;
    unlock_container_or_exit();
    return n;
}

session_kind kind_of(const session* sess) {
    if (sess->is_latency)
        return KIND_LATENCY;
    return sess->request.method == POST ? KIND_UPLOAD : KIND_DOWNLOAD;
}

size_t session_count() {
    lock_container_or_exit();
    size_t n = g_hash_table_size(session_container);
    unlock_container_or_exit();
    return n;
}

session* session_from_timer(session_timer* timer) {
    size_t offset = 0;
    switch (timer->kind) {
    case EPOLL_SESSION_DATA_TIMER:
        offset = offsetof(session, data_timer);
        break;
    case EPOLL_SESSION_EXPIRY_TIMER:
        offset = offsetof(session, expiry_timer);
        break;
    case EPOLL_SESSION_TRACE_TIMER:
        offset = offsetof(session, trace_timer);
        break;
    case EPOLL_SESSION_LATENCY_TIMER:
        offset = offsetof(session, latency_timer);
        break;
    default:
        return nullptr;
    }
    return reinterpret_cast<session*>(reinterpret_cast<char*>(timer) - offset);
}

// ---------------------------------------------------------------------------
// Timers: records in the owning worker's timer queue (timers.h), no descriptors of their
// own, so that creating, arming and dropping them costs no system call.

void init_session_timer(session_timer* timer, uint32_t kind) {
    *timer = session_timer{};
    timer->kind = kind;
    timer->exists = true;
    VH_DEBUG(9, LOG_DEBUG, "%ld: timer %u created", thread_tag(), kind);
}

int arm_timer(session* sess, session_timer* timer, timespec first, timespec interval) {
    // Another thread's heap is not ours to change.
    assert(sess->timers == thread_timer_queue());
    if (timer_start(sess->timers, timer, first, interval) != 0)
        return -1;
    VH_DEBUG(2, LOG_DEBUG, "%ld: session %lu timer %u armed: first %ld.%09ld s, period %ld.%09ld s",
             thread_tag(), sess->id, timer->kind, static_cast<long>(first.tv_sec), first.tv_nsec,
             static_cast<long>(interval.tv_sec), interval.tv_nsec);
    return 0;
}

int register_session_expiry_timer(session* sess) {
    if (sess->expiry_timer.exists) {
        VH_LOG(LOG_ERR, "%ld: expiry timer already created!", thread_tag());
        return -1;
    }
    init_session_timer(&sess->expiry_timer, EPOLL_SESSION_EXPIRY_TIMER);
    if (arm_timer(sess, &sess->expiry_timer, {session_timeout, 0}, {0, 0}) != 0) {
        VH_LOG(LOG_ERR, "%ld: error setting timer: %s", thread_tag(), strerror(errno));
        timer_stop(&sess->expiry_timer);
        sess->expiry_timer.exists = false;
        return -1;
    }
    VH_DEBUG(2, LOG_DEBUG, "%ld: epollfd %d timerfd %d", thread_tag(), sess->epoll_fd,
             sess->timers->head.fd);
    return 0;
}

void unregister_session_expiry_timer(session* sess) {
    if (!sess->expiry_timer.exists)
        return;
    VH_DEBUG(2, LOG_DEBUG, "%ld: epollfd %d timerfd %d", thread_tag(), sess->epoll_fd,
             sess->timers->head.fd);
    timer_stop(&sess->expiry_timer);
    sess->expiry_timer.exists = false;
}

// Drops a timer: stopped, and no longer the session's. Stopping cannot fail, so neither
// a roll-back nor a finish has an error path here.
static void discard_timer(session_timer* timer) {
    timer_stop(timer);
    timer->exists = false;
}

// Silences a timer at finish: stopped, still the session's.
static void stop_timer(session_timer* timer) {
    timer_stop(timer);
}

// ---------------------------------------------------------------------------
// Creation and the container.

static bool is_zero(const timespec& ts) {
    return ts.tv_sec == 0 && ts.tv_nsec == 0;
}

static int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Releases what create_session made, in reverse order. Timers still in the epoll set
// are removed from it first.
static void rollback_session(session* sess) {
    if (sess->test.measur_times != nullptr)
        g_free(sess->test.measur_times);
    if (sess->test.warmup_times != nullptr)
        g_free(sess->test.warmup_times);
    if (sess->traces != nullptr)
        g_string_free(sess->traces, TRUE);
    discard_timer(&sess->trace_timer);
    discard_timer(&sess->data_timer);
    discard_timer(&sess->latency_timer);
    discard_timer(&sess->expiry_timer);
    g_free(sess->conns);
    delete sess->latency_results;
    g_slice_free1(sizeof(session), sess);
}

session* create_session(const uint64_t* id, const request_info* request, int epoll_fd) {
    auto* sess = static_cast<session*>(g_slice_alloc0(sizeof(session)));
    if (sess == nullptr)
        return nullptr;
    sess->id = *id;
    sess->key = {*id, request->anonymous};
    sess->serverside_start_ns = steady_now_ns();
    sess->epoll_fd = epoll_fd;
    sess->start_timestamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    sess->data_timer.kind = EPOLL_SESSION_DATA_TIMER;
    sess->expiry_timer.kind = EPOLL_SESSION_EXPIRY_TIMER;
    sess->trace_timer.kind = EPOLL_SESSION_TRACE_TIMER;
    sess->latency_timer.kind = EPOLL_SESSION_LATENCY_TIMER;
    sess->timers = thread_timer_queue();

    sess->conns_size = request->num_conns;
    sess->memory = session_memory_bound(request);
    // The arrays sized from a request come from the failing allocator: should memory run
    // out, the session is not made, and the process goes on.
    sess->conns = static_cast<connection**>(g_try_malloc0_n(sess->conns_size, sizeof(connection*)));
    if (sess->conns == nullptr) {
        VH_LOG(LOG_ERR, "%ld: no memory for the connections of session %lu", thread_tag(), *id);
        g_slice_free1(sizeof(session), sess);
        return nullptr;
    }
    memcpy(&sess->request, request, REQUEST_SESSION_PART_SIZE);

    bool failed = false;
    if (request->latency_test) {
        sess->is_latency = true;
        sess->latency_results = new (std::nothrow) latency_results_type(sess->conns_size);
        failed = sess->latency_results == nullptr;
    }
    if (!failed && request->latency_test)
        init_session_timer(&sess->latency_timer, EPOLL_SESSION_LATENCY_TIMER);
    if (!failed && is_extended(sess)) {
        init_session_timer(&sess->data_timer, EPOLL_SESSION_DATA_TIMER);
        if (!is_zero(request->trace_interval)) {
            init_session_timer(&sess->trace_timer, EPOLL_SESSION_TRACE_TIMER);
            sess->traces = g_string_new("");
        }
        if (!failed && request->method == POST) {
            sess->warmup_times_size = request->max_warmup_samples;
            sess->measur_times_size = request->result_num_intervals;
            sess->test.warmup_times =
                static_cast<timespec*>(g_try_malloc0_n(sess->warmup_times_size, sizeof(timespec)));
            sess->test.measur_times =
                static_cast<timespec*>(g_try_malloc0_n(sess->measur_times_size, sizeof(timespec)));
            failed = sess->test.warmup_times == nullptr || sess->test.measur_times == nullptr;
        }
    }
    if (!failed) {
        sess->no_path = request->no_path;
        sess->store_log = request->store_log;
        sess->path_style = request->path_style;
        sess->is_latency = request->latency_test;
        if (register_session_expiry_timer(sess) != 0) {
            VH_LOG(LOG_ERR, "%ld: Could not register session expiry timer", thread_tag());
            failed = true;
        }
    }
    if (failed) {
        rollback_session(sess);
        return nullptr;
    }
    return sess;
}

// Takes a path-style request's test parameters. What makes the session what it is stays:
// its method (an upload never becomes a download), its id and unit id (which name its log
// file), its connection count (a joined connection never loses its slot) and its latency
// and log settings. The arrays keep the sizes they were made with, so the counts that
// bound them are clamped: no sample is ever addressed beyond its allocation, whatever a
// later request says. Owner thread, container lock held (other threads compare `request`
// under it).
static void apply_request_replacement_locked(session* sess, const request_info* request) {
    const request_info kept = sess->request;
    memcpy(&sess->request, request, REQUEST_SESSION_PART_SIZE);
    sess->request.method = kept.method;
    sess->request.unit_id = kept.unit_id;
    sess->request.session_id = kept.session_id;
    sess->request.num_conns = kept.num_conns;
    sess->request.no_path = kept.no_path;
    sess->request.store_log = kept.store_log;
    sess->request.path_style = kept.path_style;
    sess->request.latency_interval = kept.latency_interval;
    sess->request.latency_test = kept.latency_test;
    sess->request.max_warmup_samples =
        std::min(sess->request.max_warmup_samples, sess->warmup_times_size);
    sess->request.result_num_intervals =
        std::min(sess->request.result_num_intervals, sess->measur_times_size);
}

void apply_request_replacement(session* sess, const request_info* request) {
    lock_container_or_exit();
    apply_request_replacement_locked(sess, request);
    unlock_container_or_exit();
    rebudget_lent_connections(sess); // the limits may have moved
}

// Why a new session from `client` needing `need` bytes may not start now, under the container
// lock. With `reserve`, the bytes are reserved when it may.
static admission_refusal check_admission(const client_address* client, uint64_t need,
                                         bool reserve) {
    if (max_sessions > 0 &&
        g_hash_table_size(session_container) >= static_cast<guint>(max_sessions))
        return REFUSED_BY_SERVER_LIMIT;
    client_tally* tally = find_tally(client);
    if (tally != nullptr && max_client_sessions > 0 && tally->sessions >= max_client_sessions)
        return REFUSED_BY_CLIENT_LIMIT;
    if (tally != nullptr && tally->memory + need > memory_budget() / 100 * CLIENT_MEMORY_SHARE)
        return REFUSED_BY_CLIENT_MEMORY;
    if (reserve ? !reserve_memory(need) : !memory_would_fit(need))
        return REFUSED_BY_MEMORY_BUDGET;
    return NOT_REFUSED;
}

session* create_unique_session(request_info* request, int epoll_fd, const client_address* client,
                               bool placed, bool* replace, int* owner_epfd, int* place_at,
                               admission_refusal* refusal) {
    *replace = false;
    *owner_epfd = -1;
    *place_at = -1;
    *refusal = NOT_REFUSED;
    // Only the owner builds a session, so that its timers go into the owner's own queue. A
    // new session meant for another worker (one with fewer sessions) is not built here: the
    // caller hands the connection there, and that worker creates it.
    int chosen = placed ? epoll_fd : choose_session_owner(epoll_fd);
    // A session exists only while a connection can belong to it: a request whose index lies
    // beyond its own count may join a session that has more slots, never found one.
    const bool may_create = request->conn_id < request->num_conns;
    // Built before locking: allocation and timers stay out of the critical section, at the
    // price of a record thrown away when one exists.
    session* candidate = chosen == epoll_fd && may_create
                             ? create_session(&request->session_id, request, epoll_fd)
                             : nullptr;
    if (candidate != nullptr)
        candidate->transport.tls = request->tls;

    int rc = pthread_mutex_lock(&session_container_mutex);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_mutex_lock: %s", strerror(rc));
        if (candidate != nullptr)
            free_session(candidate);
        if (placed)
            count_owned_session(epoll_fd, -1);
        return nullptr;
    }
    session* answer = nullptr;
    const session_key lookup_key = key_of(request);
    auto* found = static_cast<session*>(g_hash_table_lookup(session_container, &lookup_key));
    if (found != nullptr) {
        answer = found;
        if (memcmp(&found->request, request, REQUEST_SESSION_PART_SIZE) != 0) {
            // Only a path-style request meets a path-style session with other parameters;
            // anything else (a download, a query-style upload that shares the id) is refused.
            if (!request->path_style || !found->path_style ||
                found->request.method != request->method) {
                answer = nullptr;
            } else if (request->warmup_sample_time != 0) {
                // Only the owning thread may change its session's parameters, and only once
                // the connection has joined (a refused join changes nothing): the caller
                // carries the replacement with the connection.
                *replace = true;
            } else {
                memcpy(request, &found->request, REQUEST_SESSION_PART_SIZE);
            }
        }
    } else if (!may_create) {
        answer = nullptr;
    } else if ((*refusal = check_admission(client, session_memory_bound(request).total,
                                           chosen == epoll_fd && candidate != nullptr)) !=
               NOT_REFUSED) {
        answer = nullptr;
    } else if (chosen != epoll_fd) {
        // Counted at once, so that the sessions placed until the owner has created them
        // are not all sent the same way.
        count_owned_session(chosen, 1);
        *place_at = chosen;
        unlock_container_or_exit();
        return nullptr;
    } else if (candidate != nullptr) {
        candidate->client = *client;
        candidate->reserved_bytes = candidate->memory.total; // by check_admission
        count_client_session(candidate);
        g_hash_table_insert(session_container, &candidate->key, candidate);
        answer = candidate;
        // A placed session was counted when it was placed.
        if (!placed)
            count_owned_session(candidate->epoll_fd, 1);
        count_session_started(kind_of(candidate), candidate->transport.tls);
    }
    if (answer != nullptr)
        *owner_epfd = answer->epoll_fd;
    unlock_container_or_exit();

    if (placed && (answer == nullptr || answer != candidate))
        count_owned_session(epoll_fd, -1); // placed here, but not created here after all
    if (*refusal != NOT_REFUSED) {
        count_session_refused(*refusal == REFUSED_BY_SERVER_LIMIT    ? REFUSED_SERVER_LIMIT
                              : *refusal == REFUSED_BY_CLIENT_LIMIT  ? REFUSED_CLIENT_LIMIT
                              : *refusal == REFUSED_BY_CLIENT_MEMORY ? REFUSED_CLIENT_MEMORY
                                                                     : REFUSED_MEMORY_BUDGET);
        if (candidate != nullptr)
            free_session(candidate);
        return nullptr;
    }
    if (answer == nullptr) {
        VH_LOG_LIMITED("session not created", LOG_WARNING, "%ld: could not create session %lu",
                       thread_tag(), request->session_id);
        if (candidate != nullptr)
            free_session(candidate);
        return nullptr;
    }
    if (candidate != nullptr && candidate != answer)
        free_session(candidate);
    VH_DEBUG(7, LOG_DEBUG, "%ld: the session %lu is %s", thread_tag(), request->session_id,
             answer == candidate ? "NEW" : "OLD");
    return answer;
}

session* get_session(session_key key, int owner_epfd) {
    int rc = pthread_mutex_lock(&session_container_mutex);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_mutex_lock: %s", strerror(rc));
        return nullptr;
    }
    auto* sess = static_cast<session*>(g_hash_table_lookup(session_container, &key));
    // The owner is fixed before publication, so it may be read under the lock.
    if (sess != nullptr && owner_epfd >= 0 && sess->epoll_fd != owner_epfd)
        sess = nullptr;
    unlock_container_or_exit();
    return sess;
}

// ---------------------------------------------------------------------------
// Connections of a session.

int add_connection(session* sess, connection* conn) {
    if (sess->test.state == FINISHED || sess->test.state == DEAD || session_finishing(sess)) {
        VH_LOG_LIMITED("late connection", LOG_WARNING,
                       "Late connection for finished session received. Destroying it...");
        return -1;
    }
    if (conn->conn_id >= sess->request.num_conns || conn->conn_id >= sess->conns_size) {
        VH_LOG_LIMITED("invalid connection index", LOG_WARNING, "Invalid connection ID received");
        return -1;
    }
    if (sess->conns[conn->conn_id] != nullptr) {
        VH_LOG_LIMITED("duplicated connection", LOG_WARNING, "%ld: Duplicated connections received",
                       thread_tag());
        return -1;
    }
    sess->conns[conn->conn_id] = conn;
    conn->session = sess;
    sess->active_conns++;
    rebudget_lent_connections(sess); // one share more
    VH_DEBUG(7, LOG_DEBUG, "%ld: connection %d added. Active connections left: %zd", thread_tag(),
             conn->sock, sess->active_conns);
    return 0;
}

void drop_session_without_connections(session* sess) {
    if (sess->finishing || sess->test.state == DEAD)
        return;
    for (size_t i = 0; i < sess->conns_size; i++)
        if (sess->conns[i] != nullptr)
            return;
    VH_LOG_LIMITED("session left before joining", LOG_INFO,
                   "%ld: session %lu ended: its first connection went before joining", thread_tag(),
                   sess->id);
    sess->test.failed = true;
    queue_to_destroy(sess);
}

void remove_connection(session* sess, connection* conn) {
    // A joined connection sits in the slot of its index, which the slot array always has.
    assert(conn->conn_id < sess->conns_size && sess->conns[conn->conn_id] == conn);
    // The socket is closed with the session in any case, which takes it out of the set.
    if (epoll_ctl(sess->epoll_fd, EPOLL_CTL_DEL, conn->sock, nullptr) != 0)
        VH_LOG(LOG_ERR, "epoll_ctl: %s", strerror(errno));
    // A disabled connection was already counted out when it was disabled.
    bool was_active = conn->state != DISABLED;
    if (was_active) {
        sess->active_conns--;
        rebudget_lent_connections(sess);
    }
    VH_DEBUG(7, LOG_DEBUG,
             "%ld: connection %d(%zd) removed from session %lu. Active connections left: %zd",
             thread_tag(), conn->sock, conn->conn_id, sess->id, sess->active_conns);
    timeout_list_remove(conn);
    // A session already queued (late events of the same iteration) is queued once.
    if (was_active && sess->active_conns == 0 && sess->test.state != DEAD)
        queue_to_destroy(sess);
}

void disable_connection(session* sess, connection* conn) {
    sess->test.failed = true;
    bool was_active = conn->state != DISABLED;
    // The last active connection of a session that ends with it: both callers put the
    // session, its finish now requested, up for the periodic check of this same loop
    // iteration, which finishes it and has it destroyed (its sockets closed) at the end of
    // the iteration, so the socket cannot report again before it is closed. Other sessions
    // go on, and a disabled socket is left able to report only once.
    bool session_ends = was_active && sess->active_conns == 1 && !sess->is_latency &&
                        (sess->request.method == GET || !is_extended(sess));
    epoll_event ev{};
    ev.events = EPOLLET | EPOLLONESHOT;
    ev.data.ptr = conn;
    if (!session_ends && epoll_ctl(sess->epoll_fd, EPOLL_CTL_MOD, conn->sock, &ev) != 0)
        VH_LOG(LOG_WARNING, "epoll_ctl: %s", strerror(errno));
    conn->state = DISABLED;
    timeout_list_remove(conn);
    if (was_active && --sess->active_conns == 0)
        sess->test.finish_requested = true;
    else if (was_active)
        rebudget_lent_connections(sess);
}

// ---------------------------------------------------------------------------
// Finish and teardown.

void finish_session(session* sess) {
    assert(sess);
    // A session already given up (its last connection went earlier in this
    // iteration) has nothing left to finish.
    if (sess->finishing || sess->test.state == DEAD) {
        sess->finishing = true;
        return;
    }
    // Connections lent to other workers come back first: their carriers must let go of them
    // before their states change and before the session can end. The last one back
    // finishes the session.
    if (sess->lent_conns > 0) {
        if (!sess->finish_after_recall)
            recall_lent_connections(sess);
        return;
    }
    sess->finishing = true;
    sess->measurement_end = (steady_now_ns() - sess->serverside_start_ns) / 1000000 * 1000;

    if (is_extended(sess) && sess->request.method == POST)
        stop_timer(&sess->data_timer);
    if (sess->is_latency)
        stop_timer(&sess->latency_timer);
    if (is_extended(sess) && sess->trace_timer.exists) {
        stop_timer(&sess->trace_timer);
        VH_DEBUG(4, LOG_DEBUG, "Trace timer destroyed");
    }
    sess->test.end_time = time(nullptr);
    if (log_directory != nullptr &&
        ((sess->traces != nullptr && sess->traces->len > 0) || sess->store_log))
        store_session_report(sess);
    sess->test.finish_requested = false;

    if (!sess->is_latency && !(is_extended(sess) && sess->request.method != GET)) {
        queue_to_destroy(sess);
        return;
    }
    // Each connection still counted is counted out once more when it goes, and so is
    // each disabled one, re-armed here for its results. One already removed from the
    // session keeps its slot but never goes again: counting it would keep the session
    // alive for ever.
    size_t remaining = sess->active_conns;
    for (size_t i = 0; i < sess->conns_size; i++) {
        connection* conn = sess->conns[i];
        if (conn == nullptr)
            continue;
        if (conn->latency_control)
            continue;
        if (conn->state == DISABLED)
            remaining++;
        conn->state = TEST_FINISHED;
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.ptr = conn;
        if (epoll_ctl(sess->epoll_fd, EPOLL_CTL_MOD, conn->sock, &ev) != 0) {
            VH_LOG(LOG_ERR, "%ld: Could not prepare the connection %d for TEST_FINISHED: %s",
                   thread_tag(), conn->sock, strerror(errno));
            queue_to_destroy(sess);
            return;
        }
    }
    sess->active_conns = remaining;
    if (remaining == 0) {
        queue_to_destroy(sess);
        return;
    }
    sess->test.state = FINISHED;
}

void recall_lent_connections(session* sess) {
    sess->finish_after_recall = true;
    for (size_t i = 0; i < sess->conns_size; i++) {
        connection* conn = sess->conns[i];
        if (conn != nullptr && conn->lent &&
            post_mail(conn->carrier_epfd, {MAIL_RECALL, 0, conn}) != 0)
            VH_LOG(LOG_ERR, "%ld: could not recall connection %d", thread_tag(), conn->sock);
    }
}

static std::atomic<bool> cut_short_requested{false};
static std::atomic<int> cut_short_done{0};

void request_cut_short() {
    cut_short_requested.store(true, std::memory_order_release);
}

int cut_short_workers_done() {
    return cut_short_done.load(std::memory_order_acquire);
}

static std::vector<session*> owned_sessions(int epfd) {
    std::vector<session*> owned;
    lock_container_or_exit();
    GHashTableIter iter;
    gpointer value;
    g_hash_table_iter_init(&iter, session_container);
    while (g_hash_table_iter_next(&iter, nullptr, &value)) {
        auto* sess = static_cast<session*>(value);
        if (sess->epoll_fd == epfd)
            owned.push_back(sess);
    }
    unlock_container_or_exit();
    return owned;
}

void finish_cut_short_sessions(int epfd) {
    // Once asked: every session of this worker is finished; one whose lent connections are
    // still on their way back finishes when they arrive, and only then is this worker done.
    thread_local enum { NOT_ASKED, RECALLING, DONE } stage = NOT_ASKED;
    if (stage == DONE || !cut_short_requested.load(std::memory_order_acquire))
        return;
    std::vector<session*> owned = owned_sessions(epfd);
    bool waiting = false;
    // Finishing may take a session out of the container: not while walking it.
    for (session* sess : owned) {
        if (stage == NOT_ASKED && !session_finishing(sess) && sess->test.state != DEAD &&
            sess->test.state != FINISHED) {
            sess->cut_short = true;
            finish_session(sess);
        }
        waiting = waiting || (sess->test.state != DEAD && sess->finish_after_recall);
    }
    stage = RECALLING;
    if (waiting)
        return;
    stage = DONE;
    cut_short_done.fetch_add(1, std::memory_order_release);
}

void queue_to_destroy(session* sess) {
    assert(sess != NULL);
    assert(sess->test.state != DEAD);
    lock_container_or_exit();
    gboolean found = g_hash_table_remove(session_container, &sess->key);
    assert(found);
    (void)found;
    uncount_client_session(sess);
    unlock_container_or_exit();
    sess->test.state = DEAD;
    sessions_to_destroy = g_slist_prepend(sessions_to_destroy, sess);
    if (sessions_to_destroy == nullptr) {
        VH_LOG(LOG_ERR, "%ld: queue_to_destroy: could not add session to list", thread_tag());
        exit(1);
    }
}

// Downloads have no failure of their own: each of their connections ends disabled, and
// the session when the client has had enough.
static session_outcome session_outcome_of(const session* sess) {
    if (sess->expired)
        return OUTCOME_EXPIRED;
    if (sess->test.failed && kind_of(sess) != KIND_DOWNLOAD)
        return OUTCOME_FAILED;
    return OUTCOME_COMPLETED;
}

bool trigger_sessions_destroy() {
    if (sessions_to_destroy == nullptr)
        return false;
    for (GSList* item = sessions_to_destroy; item != nullptr; item = item->next) {
        auto* sess = static_cast<session*>(item->data);
        assert(sess != NULL);
        const session_outcome outcome = session_outcome_of(sess);
        const uint64_t test_number = next_test_number();
        // The record reads the connections' final TCP statistics: before their sockets close.
        if (archive_directory != nullptr)
            archive_session(sess, test_number, outcome);
        for (size_t i = 0; i < sess->conns_size; i++)
            if (sess->conns[i] != nullptr)
                internal_destroy_connection(sess->conns[i]);
        VH_DEBUG(2, LOG_DEBUG, "%ld: session %lu destroyed, test %s-%lu", thread_tag(), sess->id,
                 test_id_prefix().c_str(), static_cast<unsigned long>(test_number));
        count_owned_session(sess->epoll_fd, -1);
        count_session_ended(kind_of(sess), outcome, sess->transport.tls);
        free_session(sess);
    }
    g_slist_free(sessions_to_destroy);
    sessions_to_destroy = nullptr;
    return true;
}

void free_session(session* sess) {
    // Timers and arrays are released by what exists, not by what the (possibly
    // replaced) parameters say should exist. No timer of a freed session may stay in its
    // worker's heap.
    for (session_timer* timer : {&sess->data_timer, &sess->trace_timer, &sess->latency_timer})
        discard_timer(timer);
    if (sess->traces != nullptr)
        g_string_free(sess->traces, TRUE);
    if (sess->test.warmup_times != nullptr)
        g_free(sess->test.warmup_times);
    if (sess->test.measur_times != nullptr)
        g_free(sess->test.measur_times);
    unregister_session_expiry_timer(sess);
    g_free(sess->conns);
    delete sess->latency_results;
    release_memory(sess->reserved_bytes);
    g_slice_free1(sizeof(session), sess);
}

// ---------------------------------------------------------------------------
// Session log and TCP traces.

void append_trace_lines(session* sess) {
    for (size_t i = 0; i < sess->request.num_conns && i < sess->conns_size; i++) {
        connection* conn = sess->conns[i];
        if (conn == nullptr)
            continue;
        // The reservation holds this much text: a late timer, or a replacement with a shorter
        // interval, ends the trace rather than growing it beyond.
        if (sess->traces->len + TRACE_LINE_MAX > sess->memory.trace_text_cap)
            return;
        tcp_info info{};
        socklen_t len = sizeof(info);
        if (getsockopt(conn->sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
            continue;
        g_string_append_printf(sess->traces, "CONN%zu:\t%u\t%u\t%u\t%u\t%u\t%u\t%lu\n", i,
                               info.tcpi_last_data_recv, info.tcpi_snd_ssthresh, info.tcpi_snd_cwnd,
                               info.tcpi_total_retrans, info.tcpi_snd_mss, info.tcpi_rtt,
                               counted_data(conn));
    }
}

timespec time_diff(timespec a, timespec b) {
    timespec d{a.tv_sec - b.tv_sec, a.tv_nsec - b.tv_nsec};
    while (d.tv_nsec < 0) {
        d.tv_nsec += 1000000000;
        d.tv_sec--;
    }
    while (d.tv_nsec >= 1000000000) {
        d.tv_nsec -= 1000000000;
        d.tv_sec++;
    }
    return d;
}

void note_session_transport(session* sess, const connection* conn) {
    if (conn->tls == nullptr)
        return;
    const transport_info info = connection_transport(conn);
    if (sess->transport.version[0] == '\0') {
        memcpy(sess->transport.version, info.version, sizeof(info.version));
        memcpy(sess->transport.cipher, info.cipher, sizeof(info.cipher));
    }
    sess->transport.kernel_tls = sess->transport.kernel_tls || info.kernel_tls;
}

GString* build_session_report(const session* sess) {
    GString* text = g_string_new("VH_HTTP_SERVER: 1.0\n");
    g_string_append_printf(text, "TEST: %s\n", sess->request.method == GET ? "GET" : "POST");
    // Only sessions of the TLS port: the plain port's logs stay as they were.
    if (sess->transport.tls)
        g_string_append_printf(text, "TLS_VERSION: %s\nTLS_CIPHER: %s\nKERNEL_TLS: %d\n",
                               sess->transport.version, sess->transport.cipher,
                               sess->transport.kernel_tls ? 1 : 0);
    if (sess->cut_short)
        g_string_append(text, "CUT_SHORT: 1\n");
    if (is_extended(sess) && sess->request.method == POST) {
        g_string_append_printf(text, "RESULT: %s\n", sess->test.failed ? "FAIL" : "OK");
        g_string_append_printf(text, "NUM_CONNECTIONS: %zd\n", sess->request.num_conns);
        for (size_t i = 0; i < sess->request.num_conns && i < sess->conns_size; i++) {
            const connection* conn = sess->conns[i];
            if (conn == nullptr)
                continue;
            g_string_append_printf(text, "CONNECTION: %zd\n", i);
            // Samples pair with the session's sample times by index; neither array
            // is read beyond what was allocated for it.
            size_t num_warmup =
                std::min({conn->num_warmup, conn->warmup_capacity, sess->warmup_times_size});
            g_string_append_printf(text, "NUM_WARMUP: %zd\n", conn->num_warmup);
            for (size_t j = 0; j < num_warmup; j++) {
                timespec t = time_diff(sess->test.warmup_times[j], sess->test.start_time);
                g_string_append_printf(text, "WARMUP %zd: %ld %ld %lu\n", j, t.tv_sec, t.tv_nsec,
                                       conn->warmup_samples[j].bytes);
            }
            size_t num_measur =
                std::min({conn->num_measur, conn->measur_capacity, sess->measur_times_size});
            g_string_append_printf(text, "NUM_MEASUR: %zd\n", conn->num_measur);
            for (size_t j = 0; j < num_measur; j++) {
                timespec t = time_diff(sess->test.measur_times[j], sess->test.start_time);
                g_string_append_printf(text, "MEASUR %zd: %ld %ld %lu\n", j, t.tv_sec, t.tv_nsec,
                                       conn->measur_bytes[j]);
            }
        }
        return text;
    }
    for (size_t i = 0; i < sess->request.num_conns && i < sess->conns_size; i++) {
        const connection* conn = sess->conns[i];
        if (conn == nullptr)
            continue;
        g_string_append_printf(text, "CONNECTION: %zd\nBYTES_TRANSMITTED: %lu\n", i,
                               conn->data_bytes);
    }
    if (sess->traces != nullptr) {
        g_string_append(text, "TCP TRACES\nCONN\tTIME\tSSTH\tCWND\tRETRANS\tMSS\tRTT\tBYTES\n");
        g_string_append_len(text, sess->traces->str, static_cast<gssize>(sess->traces->len));
    }
    return text;
}

void store_session_report(session* sess) {
    char* path = nullptr;
    uint64_t number = sess->id - (static_cast<uint64_t>(sess->request.unit_id) << 32);
    if (asprintf(&path, "%s/%u_%lu_%lu.log", log_directory, sess->request.unit_id,
                 static_cast<unsigned long>(sess->test.end_time), number) < 0) {
        VH_LOG_LIMITED("session log not posted", LOG_WARNING, "Could not write session log");
        return;
    }
    GString* text = build_session_report(sess);
    size_t len = text->len;
    // The file operations thread frees both buffers with free(): GLib's allocator
    // is the system malloc.
    char* data = g_string_free(text, FALSE);
    fileops_cmd cmd{};
    cmd.type = FILEOPS_DUMP;
    cmd.path = path;
    cmd.data = data;
    cmd.len = len;
    // The text's share of the reservation goes with it, released once it is written.
    cmd.reserved = sess->memory.log_text;
    if (send_fileops_cmd(&cmd) == 0) {
        sess->reserved_bytes -= sess->memory.log_text;
    } else {
        count_session_log_failed();
        // A full queue has been logged by the post, at most once a minute.
        if (errno != EAGAIN)
            VH_LOG_LIMITED("session log not posted", LOG_WARNING, "Could not write session log");
        free(path);
        g_free(data);
    }
}

// ---------------------------------------------------------------------------
// Latency under load.

void sample_latency(session* sess) {
    using varnholt::http_latency_protocol::connection_sample;
    int64_t ts = (steady_now_ns() - sess->serverside_start_ns) / 1000000;
    assert(sess->latency_results != NULL && sess->latency_results->size() >= sess->conns_size);
    for (size_t i = 0; i < sess->request.num_conns && i < sess->conns_size; i++) {
        const connection* conn = sess->conns[i];
        if (conn == nullptr ||
            (*sess->latency_results)[i].size() >= sess->memory.latency_sample_cap)
            continue;
        tcp_info info{};
        socklen_t len = sizeof(info);
        if (getsockopt(conn->sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
            continue;
        uint64_t total = 0;
        uint64_t data = 0;
        counted_bytes(conn, &total, &data);
        try {
            (*sess->latency_results)[i].push_back(connection_sample{
                ts, static_cast<int64_t>(info.tcpi_rtt), static_cast<int64_t>(info.tcpi_rttvar),
                info.tcpi_lost, info.tcpi_total_retrans, info.tcpi_retrans, info.tcpi_snd_cwnd,
                total, data});
        } catch (const std::bad_alloc&) {
            // Out of memory: this session ends, the process goes on.
            VH_LOG(LOG_ERR, "%ld: no memory for the latency samples of session %lu", thread_tag(),
                   sess->id);
            sess->test.failed = true;
            finish_session(sess);
            return;
        }
    }
}

// Appends `prefix` (the punctuation and the member's quoted name) and the integer value.
template <typename T>
static void append_member(std::string& out, std::string_view prefix, T value) {
    out += prefix;
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

// Written directly as the compact text that Boost.JSON's serializer makes of the same
// document (members in this order, integers only, no spaces): building a tree of JSON
// values first costs ten allocations per sample, milliseconds per request for a long test,
// taken from the worker that also carries the session's data.
std::string build_latency_document(const session* sess) {
    size_t samples = 0;
    size_t results = 0;
    if (sess->latency_results != nullptr) {
        results = sess->latency_results->size();
        for (const auto& result : *sess->latency_results)
            samples += result.size();
    }
    std::string out;
    // Exactly what the widest samples take (the memory budget counts this much): the text
    // never grows beyond it.
    out.reserve(256 + 16 * results + LATENCY_SAMPLE_TEXT_MAX * samples);
    append_member(out, "{\"protocol_version\":1,\"serverside_start\":",
                  static_cast<int64_t>(sess->serverside_start_ns / 1000000));
    append_member(out, ",\"start_timestamp\":", static_cast<int64_t>(sess->start_timestamp));
    append_member(out, ",\"measurement_start\":", static_cast<int64_t>(sess->measurement_start));
    append_member(out, ",\"measurement_end\":", static_cast<int64_t>(sess->measurement_end));
    out += ",\"connections\":[";
    if (sess->latency_results != nullptr) {
        bool first_result = true;
        for (const auto& result : *sess->latency_results) {
            out += first_result ? "{\"samples\":[" : ",{\"samples\":[";
            first_result = false;
            bool first_sample = true;
            for (const auto& sample : result) {
                append_member(out, first_sample ? "{\"ts\":" : ",{\"ts\":", sample.ts);
                first_sample = false;
                append_member(out, ",\"tcp_rtt\":", sample.tcp_rtt);
                append_member(out, ",\"tcp_rttvar\":", sample.tcp_rttvar);
                append_member(out, ",\"tcpi_lost\":", sample.tcpi_lost);
                append_member(out, ",\"tcpi_total_retrans\":", sample.tcpi_total_retrans);
                append_member(out, ",\"tcpi_retrans\":", sample.tcpi_retrans);
                append_member(out, ",\"tcpi_snd_cwnd\":", sample.tcpi_snd_cwnd);
                append_member(out, ",\"total_transferred\":", sample.total_transferred);
                append_member(out, ",\"data_transferred\":", sample.data_transferred);
                out += '}';
            }
            out += "]}";
        }
    }
    out += "]}";
    return out;
}
