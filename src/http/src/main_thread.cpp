// Worker threads: the epoll loop, the dispatch of every watched descriptor to its handler,
// the session timers' expiries, the idle scan and a worker's start-up.
#include "main_thread.h"

#include "connection.h"
#include "handlers.h"
#include "header_guard.h"
#include "file_ops.h"
#include "lending.h"
#include "metrics.h"
#include "request.h"
#include "session.h"
#include "settings.h"
#include "timers.h"
#include "timeout_list.h"
#include "tls.h"
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static constexpr int MAX_EVENTS = 128;
static constexpr int64_t TIMER_COALESCE_NS = 500 * 1000;

// While paused, a thread also wakes at this pace to look for free descriptors: those
// freed by another worker or by the file operations thread would otherwise never
// reach it, and a thread that owns no connection frees none itself.
static constexpr int ACCEPT_RETRY_MS = 200;

// ---------------------------------------------------------------------------
// Connection dispatch.

#define STATE_LABEL(threshold, name)                                                               \
    VH_DEBUG(threshold, LOG_DEBUG, "%ld: handle_connection(" #name ") %d", thread_tag(), conn->sock)

int handle_connection(int epfd, uint32_t events, connection* conn) {
    switch (conn->state) {
    case CONNECTED:
        STATE_LABEL(9, CONNECTED);
        return handle_connection_connected(epfd, conn);
    case RECEIVING_HEADER:
        STATE_LABEL(9, RECEIVING_HEADER);
        return handle_connection_connected(epfd, conn);
    case HEADER_RECEIVED: {
        STATE_LABEL(9, HEADER_RECEIVED);
        int joined = handle_header_received(epfd, conn);
        return joined == 0 ? after_join(epfd, conn) : joined;
    }
    case SENDING_REPLY:
        STATE_LABEL(9, SENDING_REPLY);
        return handle_connection_sending_reply(epfd, conn, events);
    case SENDING_HEAD_REPLY:
        STATE_LABEL(9, SENDING_HEAD_REPLY);
        return handle_connection_sending_head_reply(epfd, conn);
    case POST_ANSWERED:
        STATE_LABEL(9, POST_ANSWERED);
        conn->state = RECEIVING_DATA;
        return receive_test_data(conn);
    case SENDING_DATA:
        STATE_LABEL(14, SENDING_DATA);
        return handle_connection_sending_data(epfd, conn, events);
    case SENDING_STATS:
        STATE_LABEL(14, SENDING_STATS);
        return send_stats(conn);
    case RECEIVING_DATA:
        STATE_LABEL(14, RECEIVING_DATA);
        return receive_test_data(conn);
    case TEST_FINISHED: {
        STATE_LABEL(9, TEST_FINISHED);
        release_reply(conn);
        conn->reply = build_results_reply(conn->session);
        conn->reply_sent = 0;
        conn->state = SENDING_RESULTS;
        return handle_sending_results(epfd, conn);
    }
    case SENDING_RESULTS:
        STATE_LABEL(9, SENDING_RESULTS);
        return handle_sending_results(epfd, conn);
    case SENDING_REFUSAL:
        STATE_LABEL(9, SENDING_REFUSAL);
        return handle_sending_results(epfd, conn);
    case WAITING_FOR_CLOSE:
        STATE_LABEL(9, WAITING_FOR_CLOSE);
        return handle_waiting_for_close(conn);
    case LATENCY_SENDING_REPLY:
        STATE_LABEL(9, LATENCY_SENDING_REPLY);
        return handle_latency_sending_reply(epfd, conn);
    case LATENCY_PENDING:
        STATE_LABEL(9, LATENCY_PENDING);
        return handle_latency_pending(epfd, conn);
    case LATENCY_RECEIVING_REQUEST:
        STATE_LABEL(9, LATENCY_RECEIVING_REQUEST);
        return handle_latency_pending(epfd, conn);
    case TLS_HANDSHAKE:
        STATE_LABEL(9, TLS_HANDSHAKE);
        return tls_handshake_step(epfd, conn) < 0 ? -1 : 0;
    case DISABLED:
        VH_DEBUG(2, LOG_DEBUG, "%ld: spurious event detected in socket %d", thread_tag(),
                 conn->sock);
        return 0;
    default:
        VH_LOG(LOG_ERR, "Bug! Connection in unknown state");
        assert(!"Bug! Connection in unknown state" && conn->state == CONNECTED);
        abort();
    }
}

// States that read from the client when its socket reports input.
static bool reads_input(connection_state state) {
    switch (state) {
    case CONNECTED:
    case RECEIVING_HEADER:
    case POST_ANSWERED:
    case RECEIVING_DATA:
    case WAITING_FOR_CLOSE:
    case LATENCY_PENDING:
    case LATENCY_RECEIVING_REQUEST:
        return true;
    default:
        return false;
    }
}

// What a handler's result does to its connection, for debugging. A connection that went to
// another worker (-4) may be gone already: only its socket number is known here.
static void log_connection_result(int sock, int result, int state) {
    switch (result) {
    case 0:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d processed correctly and is %d", thread_tag(),
                 sock, state);
        break;
    case -1:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d destroyed", thread_tag(), sock);
        break;
    case -2:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d disabled", thread_tag(), sock);
        break;
    case -3:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d finished", thread_tag(), sock);
        break;
    default:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d handed over", thread_tag(), sock);
        break;
    }
}

static void dispatch_connection(int epfd, uint32_t events, connection* conn,
                                GHashTable* pending_sessions) {
    timeout_list_move_to_tail(thread_timeout_list(), conn);
    int sock = conn->sock;
    int result = handle_connection(epfd, events, conn);
    // Bytes TLS decrypted and a handler left (a read shorter than a record) are no event of
    // the socket's: they are handled now, a few rounds at most.
    for (int round = 0;
         round < 4 && result == 0 && reads_input(conn->state) && connection_has_pending(conn);
         round++)
        result = handle_connection(epfd, EPOLLIN, conn);
    log_connection_result(sock, result, result == 0 ? static_cast<int>(conn->state) : 0);
    if (result == -4)
        return; // now another worker's, or lent out: not ours to touch
    // Carried for another worker: anything but more data goes back to the owner.
    if (conn->lent) {
        carrier_after_event(conn, result);
        return;
    }
    apply_connection_result(conn, result, pending_sessions);
}

// ---------------------------------------------------------------------------
// Session timers.

// Runs what one expiry of a session timer does. Expiries a worker missed come together, as
// one, like a timerfd read that counts several.
static void dispatch_timer(session_timer* timer, GHashTable* pending_sessions) {
    session* sess = session_from_timer(timer);
    switch (timer->kind) {
    case EPOLL_SESSION_DATA_TIMER:
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_session_data_timer %lu", thread_tag(), sess->id);
        g_hash_table_add(pending_sessions, sess);
        break;
    case EPOLL_SESSION_EXPIRY_TIMER:
        if (sess->finish_after_recall) {
            // Finished, its lent connections on their way back: it ends as it finished (an
            // expiry now is no outcome of its own), and goes once they are back.
            (void)arm_timer(sess, &sess->expiry_timer, {1, 0}, {0, 0});
            break;
        }
        if (sess->expired) {
            // The grace after the life time is over: the session goes, whatever its clients
            // are doing.
            if (sess->test.state != DEAD)
                queue_to_destroy(sess);
            break;
        }
        VH_LOG_LIMITED("session expired", LOG_WARNING,
                       "Session life time max limit reached (%ds). Teardown of session",
                       session_timeout);
        if (sess->finishing) {
            // Finished before, and its clients still hold on: the life time is over for them
            // too, whatever their connections are doing.
            if (sess->test.state != DEAD)
                queue_to_destroy(sess);
            break;
        }
        sess->test.failed = true;
        sess->expired = true;
        finish_session(sess);
        // Still alive: results replies are going out, or a latency session's control
        // connection may fetch its final statistics. They have a few seconds for it; then
        // the session goes even while a client keeps asking.
        if (sess->test.state != DEAD &&
            arm_timer(sess, &sess->expiry_timer, {EXPIRY_GRACE_SECONDS, 0}, {0, 0}) != 0 &&
            !sess->finish_after_recall)
            queue_to_destroy(sess);
        break;
    case EPOLL_SESSION_TRACE_TIMER:
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_session_trace_timer %lu", thread_tag(), sess->id);
        if (sess->traces != nullptr && !session_finishing(sess))
            append_trace_lines(sess);
        break;
    case EPOLL_SESSION_LATENCY_TIMER:
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_session_latency_timer %lu", thread_tag(), sess->id);
        if (!session_finishing(sess))
            sample_latency(sess);
        break;
    default:
        assert(!"Bug! Unknown session timer" && timer->kind == EPOLL_SESSION_DATA_TIMER);
        abort();
    }
}

// The worker's timer descriptor fired: every session timer due by now expires, in the
// order of their deadlines. A handler may stop timers due in the same pass (a finish stops
// the session's others): those do not expire. Sessions are freed only after the pass, so
// every timer returned belongs to a live record.
static void dispatch_worker_timers(timer_queue* timers, GHashTable* pending_sessions) {
    if (!timer_queue_consume(timers)) {
        VH_LOG(LOG_ERR, "Bug! Could not read information from session timer");
        exit(1);
    }
    // Timers due within TIMER_COALESCE_NS of now expire in this wake-up, a little early: a
    // worker carrying thousands of sessions then wakes once for several of their samples
    // rather than once for each, and no sample is taken more than that before its instant.
    int64_t now = monotonic_now_ns();
    while (session_timer* timer = timer_queue_next_due(timers, now + TIMER_COALESCE_NS))
        dispatch_timer(timer, pending_sessions);
    if (timer_queue_reprogram(timers, now) != 0) {
        VH_LOG(LOG_ERR, "timerfd_settime: timerfd %d --> %s", timers->head.fd, strerror(errno));
        exit(1);
    }
}

// ---------------------------------------------------------------------------
// Idle connections.

static uint32_t idle_limit_ms(std::chrono::seconds timeout) {
    return static_cast<uint32_t>((timeout.count() + 5) * 1000);
}

// A connection is idle only after a minute or more: one scan a second finds it soon
// enough, and spares a busy worker a TCP_INFO read in every loop iteration (a few per
// cent of a worker that streams one connection). The coarse clock costs no system call.
static thread_local int64_t last_idle_scan_ms = INT64_MIN;
// Set while a step runs the loop only for its scans: the wait for events returns at once.
static thread_local bool loop_without_wait = false;

static int64_t idle_clock_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
           thread_clock_offset_ns() / 1000000;
}

static bool idle_scan_pending() {
    static constexpr int64_t IDLE_SCAN_PERIOD_MS = 1000;
    return last_idle_scan_ms == INT64_MIN ||
           idle_clock_ms() - last_idle_scan_ms >= IDLE_SCAN_PERIOD_MS;
}

static bool idle_scan_due() {
    if (!idle_scan_pending())
        return false;
    last_idle_scan_ms = idle_clock_ms();
    return true;
}

// Milliseconds since data last moved on the socket, from the kernel's view, plus what the
// worker's clock was shifted by since the connection's last event; false when it cannot be
// read. "Never" (all bits set) counts as just now.
static bool idle_time_ms(const connection* conn, uint64_t* idle) {
    tcp_info info{};
    socklen_t len = sizeof(info);
    if (getsockopt(conn->sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return false;
    uint32_t recv_ms = info.tcpi_last_data_recv == UINT32_MAX ? 0 : info.tcpi_last_data_recv;
    uint32_t sent_ms = info.tcpi_last_data_sent == UINT32_MAX ? 0 : info.tcpi_last_data_sent;
    const int64_t shifted = thread_clock_offset_ns() / 1000000 - conn->active_shift_ms;
    *idle = std::min(recv_ms, sent_ms) + static_cast<uint64_t>(std::max<int64_t>(shifted, 0));
    return true;
}

// Disables or destroys the connections idle for longer than the limit. The list is
// ordered by last event, so the scan stops at the first connection still active.
static void scan_idle_connections(GHashTable* pending_sessions, uint32_t limit_ms) {
    timeout_link* list = thread_timeout_list();
    timeout_link* timeout_next = list->next;
    while (timeout_next != list) {
        assert(timeout_next != timeout_next->next);
        timeout_link* next = timeout_next->next;
        connection* conn = timeout_link_owner(timeout_next);
        uint64_t idle = 0;
        if (!idle_time_ms(conn, &idle)) {
            timeout_next = next;
            continue;
        }
        if (idle <= limit_ms)
            break;
        VH_DEBUG(2, LOG_DEBUG, "Connection %d timed-out", conn->sock);
        session* sess = conn->session;
        if (conn->lent) {
            give_back(conn, -2); // its owner disables it
        } else if (sess != nullptr && conn->state < TEST_FINISHED &&
                   conn->state != HEADER_RECEIVED) {
            disable_connection(sess, conn);
            if (sess->test.finish_requested)
                g_hash_table_add(pending_sessions, sess);
        } else {
            destroy_connection(conn);
        }
        timeout_next = next;
    }
}

// A PUT whose window passed: it goes on into a new window when its client sent enough in
// this one, or when it sent nothing because the worker was not waiting for it all along (the
// target still being opened, a chunk of the last window still being written); otherwise it is
// closed. A chunk counts when it is received, so a write under way at the check is no excuse
// for a window that received a little.
static void check_put_window(connection* conn) {
    const uint64_t needed = PUT_MIN_RATE * static_cast<uint64_t>(header_timeout);
    const uint64_t received = conn->total_bytes - conn->window_base;
    if (received >= needed ||
        (received == 0 && (conn->state == PUT_CHECKING_FILE || conn->state == WRITING_FILE))) {
        start_put_window(conn, conn->total_bytes);
        return;
    }
    VH_DEBUG(2, LOG_DEBUG, "%ld: PUT connection %d closed: less than %lu bytes in %d s",
             thread_tag(), conn->sock, static_cast<unsigned long>(needed), header_timeout);
    destroy_connection(conn);
}

// Enforces the deadlines of header_guard.h: closes the connections whose request header or
// statistics request did not arrive whole in time, however steadily it trickled in, the PUTs
// below their minimum rate, and the connections that did not close when told to.
static void scan_header_deadlines() {
    const int64_t now_ms = header_clock_ms();
    deadline_kind kind = DEADLINE_HEADER;
    while (connection* conn = next_header_overdue(now_ms, &kind)) {
        switch (kind) {
        case DEADLINE_PUT:
            check_put_window(conn);
            break;
        case DEADLINE_LINGER:
            VH_DEBUG(2, LOG_DEBUG, "%ld: connection %d closed: not closed within %d s",
                     thread_tag(), conn->sock, LINGER_SECONDS);
            // Unread bytes would turn the close into a reset.
            (void)discard_pending(conn->sock);
            destroy_connection(conn);
            break;
        default:
            VH_DEBUG(2, LOG_DEBUG, "%ld: connection %d closed: no whole header within %d s",
                     thread_tag(), conn->sock, header_timeout);
            destroy_connection(conn);
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// The loop.

void main_loop(int epfd, epoll_event* events, int max_events, GHashTable* pending_sessions,
               std::chrono::seconds timeout) {
    (void)timeout;
    // A header deadline must be enforced even on a worker that nothing else wakes.
    static constexpr int HEADER_SCAN_WAIT_MS = 1000;
    int wait_ms = loop_without_wait            ? 0
                  : thread_accept_paused()     ? ACCEPT_RETRY_MS
                  : header_deadlines_waiting() ? HEADER_SCAN_WAIT_MS
                                               : -1;
    int n = epoll_wait(epfd, events, max_events, wait_ms);
    if (n > 0)
        bump(thread_metrics()->events, static_cast<uint64_t>(n));
    event_batch* batch = thread_event_batch();
    batch->events = events;
    batch->count = n;
    for (int i = 0; i < n; i++) {
        batch->next = i + 1;
        void* ptr = events[i].data.ptr;
        const void* epoll_data = ptr;
        assert(epoll_data != NULL);
        if (is_stale_record(ptr))
            continue;
        // Every registered record starts with a 32-bit kind.
        uint32_t kind;
        memcpy(&kind, ptr, sizeof(kind));
        switch (kind) {
        case EPOLL_LISTEN_SOCKET: {
            auto* ls = static_cast<const listen_socket*>(ptr);
            VH_DEBUG(9, LOG_DEBUG, "%ld: handle_listen_socket %d", thread_tag(), ls->fd);
            if (!thread_accept_paused())
                handle_listen_socket(epfd, ls);
            break;
        }
        case EPOLL_CONNECTION:
            dispatch_connection(epfd, events[i].events, static_cast<connection*>(ptr),
                                pending_sessions);
            break;
        case EPOLL_PUT_CONNECTION:
            handle_put_connection(epfd, static_cast<connection*>(ptr));
            break;
        case EPOLL_WORKER_TIMER:
            dispatch_worker_timers(thread_timer_queue(), pending_sessions);
            break;
        case EPOLL_WORKER_MAIL:
            handle_worker_mail(epfd, pending_sessions);
            break;
        default:
            VH_LOG(LOG_ERR, "Bug! epoll_wait() returned unknown event type");
            assert(!"Bug! epoll_wait() returned unknown event type" && kind <= EPOLL_WORKER_MAIL);
            abort();
        }
    }

    batch->count = 0;
    finish_cut_short_sessions(epfd);
    if (idle_scan_due()) {
        scan_idle_connections(pending_sessions, idle_limit_ms(timeout));
        scan_header_deadlines();
    }

    // Periodic checks of the sessions that became due in this batch.
    GHashTableIter iter;
    gpointer key;
    g_hash_table_iter_init(&iter, pending_sessions);
    while (g_hash_table_iter_next(&iter, &key, nullptr)) {
        auto* sess = static_cast<session*>(key);
        g_hash_table_iter_remove(&iter);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        // A session queued for destruction earlier in this iteration is over. A finished one
        // whose last connection went (its results or statistics could not be sent, say) is
        // destroyed here: nothing else would.
        if (sess->test.state == DEAD)
            continue;
        // One whose lent connections are being recalled finishes when they are back: no
        // sample is taken meanwhile.
        if (sess->finish_after_recall)
            continue;
        if (!sess->finishing) {
            handle_session_periodic(sess, now);
            if (sess->test.state < FINISHED && !session_finishing(sess)) {
                rebudget_lent_connections(sess);
                lend_kept_connections(epfd, sess);
            }
        } else if (sess->active_conns == 0) {
            queue_to_destroy(sess);
        }
    }
}

// Workers that have made every descriptor of their own. Connections queued before the
// workers run could otherwise fill the descriptor table on the first worker before a later
// one has made its epoll set and timer, and that worker's start-up failure would end the
// process.
static std::atomic<size_t> workers_ready{0};

// How many workers there are: one per CPU the process may use. Asked of the main thread,
// as the workers themselves are pinned to one CPU each. 0 when the mask cannot be read.
static size_t expected_workers() {
    for (int size = 1024; size <= (1 << 20); size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr)
            return 0;
        size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        int rc = sched_getaffinity(getpid(), bytes, set);
        int err = errno;
        size_t count = rc == 0 ? static_cast<size_t>(CPU_COUNT_S(bytes, set)) : 0;
        CPU_FREE(set);
        if (rc == 0 || err != EINVAL)
            return count;
    }
    return 0;
}

static void wait_for_all_workers() {
    const size_t expected = expected_workers();
    workers_ready.fetch_add(1);
    // Bounded: a worker that never comes (it failed, and ends the process) holds nobody up.
    for (int i = 0; i < 2000 && workers_ready.load() < expected; i++) {
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

void* main_thread(void* arg) {
    const auto* args = static_cast<const main_thread_args*>(arg);

    GHashTable* pending_sessions = g_hash_table_new(g_direct_hash, g_direct_equal);
    if (pending_sessions == nullptr) {
        VH_LOG(LOG_ERR, "Couldn't create hash table");
        exit(1);
    }
    int epfd = open_worker(args->sockets, args->num_sockets);
    if (epfd < 0)
        exit(1);
    wait_for_all_workers();

    epoll_event events[MAX_EVENTS];
    for (;;) {
        main_loop(epfd, events, MAX_EVENTS, pending_sessions, args->session_timeout);
        bool released = take_connections_released();
        bool retry = thread_accept_paused() && (released || room_for_connection(epfd));
        // Freed descriptors are the only thing that can end a pause: retry every
        // listening socket, since their edge-triggered events were dropped meanwhile.
        if (trigger_sessions_destroy() || retry) {
            for (size_t i = 0; i < args->num_sockets; i++) {
                set_accept_paused(false);
                handle_listen_socket(epfd, &args->sockets[i]);
            }
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// A worker run step by step on the calling thread, by a caller that owns the thread's loop
// (an in-process client driving the whole server).

int open_worker(const listen_socket* sockets, size_t count) {
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) {
        VH_LOG(LOG_ERR, "epoll_create: %s", strerror(errno));
        return -1;
    }
    register_worker(epfd);
    register_worker_metrics(epfd);
    for (size_t i = 0; i < count; i++) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.ptr = const_cast<listen_socket*>(&sockets[i]);
        if (epoll_ctl(epfd, EPOLL_CTL_ADD, sockets[i].fd, &ev) != 0) {
            VH_LOG(LOG_ERR, "epoll_ctl: %s", strerror(errno));
            return -1;
        }
    }
    timeout_list_init(thread_timeout_list());
    if (open_mailbox(epfd) != 0)
        return -1;
    // One descriptor for every session timer of this worker, registered once.
    if (timer_queue_open(thread_timer_queue(), epfd) != 0) {
        VH_LOG(LOG_ERR, "%ld: error creating timer: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return epfd;
}

bool run_worker_step(int epfd, GHashTable* pending_sessions, const listen_socket* sockets,
                     size_t count, std::chrono::seconds timeout, int wait_ms) {
    // The epoll descriptor is readable while events are ready; asking it does not take them,
    // so the loop's own wait below returns at once.
    pollfd ready{epfd, POLLIN, 0};
    const timeout_link* list = thread_timeout_list();
    const bool scan_only = poll(&ready, 1, wait_ms) <= 0;
    // With nothing ready, a clock moved past the idle scan's period still gets its scan, as
    // the loop would on its next wake-up.
    if (scan_only && (list->next == list || !idle_scan_pending()))
        return false;
    epoll_event events[MAX_EVENTS];
    loop_without_wait = scan_only;
    main_loop(epfd, events, MAX_EVENTS, pending_sessions, timeout);
    loop_without_wait = false;
    bool released = take_connections_released();
    if (trigger_sessions_destroy() || (thread_accept_paused() && released)) {
        for (size_t i = 0; i < count; i++) {
            set_accept_paused(false);
            handle_listen_socket(epfd, &sockets[i]);
        }
    }
    return true;
}
