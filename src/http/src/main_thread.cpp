// Worker threads: the epoll loop, accepting, the time-out list and the per-kind
// dispatch of every watched descriptor.
#include "main_thread.h"

#include "connection.h"
#include "request.h"
#include "session.h"
#include "settings.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

static constexpr int MAX_EVENTS = 128;

static thread_local timeout_link timeout_list = {&timeout_list, &timeout_list};
static thread_local bool accept_paused = false;

// ---------------------------------------------------------------------------
// Time-out list: connections in order of their last event, least recent first.

timeout_link* thread_timeout_list() {
    return &timeout_list;
}

void timeout_list_init(timeout_link* sentinel) {
    sentinel->next = sentinel;
    sentinel->prev = sentinel;
}

connection* timeout_link_owner(timeout_link* link) {
    return reinterpret_cast<connection*>(reinterpret_cast<char*>(link) -
                                         offsetof(connection, timeout_link));
}

void timeout_list_unlink(connection* conn) {
    timeout_link* link = &conn->timeout_link;
    link->prev->next = link->next;
    link->next->prev = link->prev;
}

void timeout_list_append(timeout_link* sentinel, connection* conn) {
    timeout_link* link = &conn->timeout_link;
    link->next = sentinel;
    link->prev = sentinel->prev;
    sentinel->prev->next = link;
    sentinel->prev = link;
}

void timeout_list_move_to_tail(timeout_link* sentinel, connection* conn) {
    timeout_list_unlink(conn);
    timeout_list_append(sentinel, conn);
}

void timeout_list_remove(connection* conn) {
    timeout_list_unlink(conn);
    conn->timeout_link.next = &conn->timeout_link;
    conn->timeout_link.prev = &conn->timeout_link;
}

bool thread_accept_paused() {
    return accept_paused;
}

// ---------------------------------------------------------------------------
// Accepting.

int attach_connection(int epfd, connection* conn) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = conn;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, conn->sock, &ev) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return 0;
}

void handle_listen_socket(int epfd, const listen_socket* ls) {
    for (;;) {
        int sock = accept4(ls->fd, nullptr, nullptr, SOCK_NONBLOCK);
        if (sock < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK)
                return;
            VH_LOG(LOG_ERR, "%ld: accept: %s", thread_tag(), strerror(err));
            // Out of descriptors or memory: stop taking connections until some are
            // freed, instead of waking up for every queued connection in vain.
            if (err == ENOBUFS || err == ENOMEM || err == ENFILE || err == EMFILE)
                accept_paused = true;
            return;
        }
        int file_fd = open(file_path, O_RDONLY);
        if (file_fd < 0) {
            int err = errno;
            VH_LOG(LOG_ERR, "Could not create connection: %s", strerror(err));
            close(sock);
            // The accept took the last descriptor: every further connection of the
            // queue would be refused the same way. Pause as if accept had failed.
            if (err == EMFILE || err == ENFILE || err == ENOMEM) {
                accept_paused = true;
                return;
            }
            continue;
        }
        connection* conn = new_connection(sock, file_fd);
        if (conn == nullptr) {
            VH_LOG(LOG_ERR, "Could not create connection: %s", strerror(errno));
            close(file_fd);
            close(sock);
            continue;
        }
        if (attach_connection(epfd, conn) != 0) {
            VH_LOG(LOG_ERR, "Could not attach connection to thread: %s", strerror(errno));
            destroy_connection(conn);
            continue;
        }
        timeout_list_append(&timeout_list, conn);
        VH_DEBUG(2, LOG_DEBUG, "%ld: Connection %d received by %d", thread_tag(), sock, epfd);
    }
}

// ---------------------------------------------------------------------------
// Connection dispatch.

// Until requests are understood, a connection only drains what arrives and ends
// when its peer closes.
static int handle_connection_drain(connection* conn) {
    ssize_t n = recv(conn->sock, nullptr, SSIZE_MAX, MSG_TRUNC);
    if (n > 0)
        return 0;
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return -1;
}

int handle_connection(int epfd, uint32_t events, connection* conn) {
    (void)epfd;
    (void)events;
    switch (conn->state) {
    case CONNECTED:
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_connection(CONNECTED) %d", thread_tag(), conn->sock);
        return handle_connection_drain(conn);
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

// Puts a session into the set of sessions due a periodic check when a connection
// event took it over one of its limits or asked for its end.
static void check_session_due(session* sess, GHashTable* pending_sessions) {
    const session_test_state& test = sess->test;
    const request_info& req = sess->request;
    bool due = test.total_bytes > req.test_data_cap || test.finish_requested;
    if (!due && test.state == WARMUP)
        due = test.data_bytes > req.max_warmup_size;
    else if (!due && test.state == MEASUR)
        due = test.data_bytes - test.warmup_end_bytes > req.transfer_max_size;
    if (due)
        g_hash_table_add(pending_sessions, sess);
}

static void dispatch_connection(int epfd, uint32_t events, connection* conn,
                                GHashTable* pending_sessions) {
    timeout_list_move_to_tail(&timeout_list, conn);
    int sock = conn->sock;
    int result = handle_connection(epfd, events, conn);
    session* sess = nullptr;
    switch (result) {
    case 0:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d processed correctly and is %d", thread_tag(),
                 sock, static_cast<int>(conn->state));
        sess = conn->session;
        break;
    case -1:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d destroyed", thread_tag(), sock);
        destroy_connection(conn);
        return;
    case -2:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d disabled", thread_tag(), sock);
        if (conn->session == nullptr) {
            // Nothing to disable it in: a connection without a session just ends.
            destroy_connection(conn);
            return;
        }
        sess = conn->session;
        break;
    case -3:
        VH_DEBUG(12, LOG_DEBUG, "%ld: Connection %d finished", thread_tag(), sock);
        sess = conn->session;
        if (sess != nullptr)
            sess->test.finish_requested = true;
        break;
    case -4:
        return; // now owned by another thread: not ours to touch
    default:
        sess = conn->session;
        break;
    }
    if (sess != nullptr)
        check_session_due(sess, pending_sessions);
}

// ---------------------------------------------------------------------------
// Session timers.

// Consumes a timer expiration. Anything but an 8-byte count means the timer
// descriptor is broken, which the loop cannot recover from.
static bool read_timer(int fd) {
    uint64_t expirations;
    return read(fd, &expirations, sizeof(expirations)) == static_cast<ssize_t>(sizeof(expirations));
}

static void dispatch_timer(varnholt::epoll_data* timer, GHashTable* pending_sessions) {
    session* sess = session_from_timer(timer);
    switch (timer->kind) {
    case EPOLL_SESSION_DATA_TIMER:
        if (!read_timer(timer->fd)) {
            VH_LOG(LOG_ERR, "Bug! Could not read information from session timer");
            exit(1);
        }
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_session_data_timer %lu", thread_tag(), sess->id);
        g_hash_table_add(pending_sessions, sess);
        break;
    case EPOLL_SESSION_EXPIRY_TIMER:
        if (!read_timer(timer->fd)) {
            VH_LOG(LOG_ERR, "Bug! Could not read information from connection expiry timer, fd %d",
                   timer->fd);
            exit(1);
        }
        VH_LOG(LOG_WARNING, "Session life time max limit reached (%ds). Teardown of session",
               session_timeout);
        sess->test.failed = true;
        finish_session(sess);
        break;
    case EPOLL_SESSION_TRACE_TIMER:
        if (!read_timer(timer->fd)) {
            VH_LOG(LOG_ERR, "Bug! Could not read information from session timer");
            exit(1);
        }
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_session_trace_timer %lu", thread_tag(), sess->id);
        break;
    case EPOLL_SESSION_LATENCY_TIMER:
        if (!read_timer(timer->fd)) {
            VH_LOG(LOG_ERR, "Bug! Could not read information from latency timer");
            exit(1);
        }
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_session_latency_timer %lu", thread_tag(), sess->id);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// The loop.

void main_loop(int epfd, epoll_event* events, int max_events, GHashTable* pending_sessions,
               std::chrono::seconds timeout) {
    (void)timeout;
    int n = epoll_wait(epfd, events, max_events, -1);
    for (int i = 0; i < n; i++) {
        void* ptr = events[i].data.ptr;
        const void* epoll_data = ptr;
        assert(epoll_data != NULL);
        // Every registered record starts with a 32-bit kind.
        uint32_t kind;
        memcpy(&kind, ptr, sizeof(kind));
        switch (kind) {
        case EPOLL_LISTEN_SOCKET: {
            auto* ls = static_cast<const listen_socket*>(ptr);
            VH_DEBUG(9, LOG_DEBUG, "%ld: handle_listen_socket %d", thread_tag(), ls->fd);
            if (!accept_paused)
                handle_listen_socket(epfd, ls);
            break;
        }
        case EPOLL_CONNECTION:
            dispatch_connection(epfd, events[i].events, static_cast<connection*>(ptr),
                                pending_sessions);
            break;
        case EPOLL_PUT_CONNECTION:
            break;
        case EPOLL_SESSION_DATA_TIMER:
        case EPOLL_SESSION_EXPIRY_TIMER:
        case EPOLL_SESSION_TRACE_TIMER:
        case EPOLL_SESSION_LATENCY_TIMER:
            dispatch_timer(static_cast<varnholt::epoll_data*>(ptr), pending_sessions);
            break;
        default:
            VH_LOG(LOG_ERR, "Bug! epoll_wait() returned unknown event type");
            assert(!"Bug! epoll_wait() returned unknown event type" && kind <= 6);
            abort();
        }
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
        if (!sess->finishing)
            handle_session_periodic(sess, now);
    }
}

void* main_thread(void* arg) {
    const auto* args = static_cast<const main_thread_args*>(arg);

    if (regcomp(&request_regex, REQUEST_PATTERN, REG_EXTENDED) != 0) {
        VH_LOG(LOG_ERR, "Could not initialise parser");
        exit(1);
    }
    GHashTable* pending_sessions = g_hash_table_new(g_direct_hash, g_direct_equal);
    if (pending_sessions == nullptr) {
        VH_LOG(LOG_ERR, "Couldn't create hash table");
        exit(1);
    }
    int epfd = epoll_create(MAX_EVENTS);
    if (epfd < 0) {
        VH_LOG(LOG_ERR, "epoll_create: %s", strerror(errno));
        exit(1);
    }
    for (size_t i = 0; i < args->num_sockets; i++) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.ptr = const_cast<listen_socket*>(&args->sockets[i]);
        if (epoll_ctl(epfd, EPOLL_CTL_ADD, args->sockets[i].fd, &ev) != 0) {
            VH_LOG(LOG_ERR, "epoll_ctl: %s", strerror(errno));
            exit(1);
        }
    }
    timeout_list_init(&timeout_list);

    epoll_event events[MAX_EVENTS];
    for (;;) {
        main_loop(epfd, events, MAX_EVENTS, pending_sessions, args->session_timeout);
        bool released = take_connections_released();
        // Freed descriptors are the only thing that can end a pause: retry every
        // listening socket, since their edge-triggered events were dropped meanwhile.
        if (trigger_sessions_destroy() || (accept_paused && released)) {
            for (size_t i = 0; i < args->num_sockets; i++) {
                accept_paused = false;
                handle_listen_socket(epfd, &args->sockets[i]);
            }
        }
    }
    return nullptr;
}
