// Connection records: allocation, the end of a connection and the release of its record.
#include "connection.h"
#include "budget.h"
#include "timeout_list.h"
#include "workers.h"

#include "client_limits.h"
#include "header_guard.h"

#include "file_ops.h"
#include "metrics.h"
#include "settings.h"

#include "request.h"
#include "sent_file.h"
#include "session.h"
#include "tls.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static std::atomic<long> put_uploads{0};

void count_put_upload(int delta) {
    put_uploads.fetch_add(delta, std::memory_order_relaxed);
}

long put_uploads_running() {
    return put_uploads.load(std::memory_order_relaxed);
}

// Set when this thread released a record: its descriptors are free again.
static thread_local bool connections_released = false;

connection* new_connection(int sock) {
    auto* conn = static_cast<connection*>(g_slice_alloc0(sizeof(connection)));
    if (conn == nullptr)
        return nullptr;
    conn->kind = EPOLL_CONNECTION;
    conn->sock = sock;
    conn->state = CONNECTED;
    for (uint8_t i = 0; i < 8; i++)
        conn->stats[i] = static_cast<uint8_t>(i + 1);
    conn->timeout_link.next = &conn->timeout_link;
    conn->timeout_link.prev = &conn->timeout_link;
    conn->accepted_ms = header_clock_ms();
    return conn;
}

void destroy_connection(connection* conn) {
    assert(conn != NULL);
    VH_DEBUG(2, LOG_DEBUG, "%ld: connection %d destroyed after transmitting %lu bytes",
             thread_tag(), conn->sock, conn->data_bytes);
    if (conn->session == nullptr) {
        internal_destroy_connection(conn);
        return;
    }
    // Connections of a session are detached here and released with the session.
    remove_connection(conn->session, conn);
}

void internal_destroy_connection(connection* conn) {
    assert(conn->sock != 0);
    end_header_deadline(conn);
    // A connection handed over or lent is still one connection: its count goes with the
    // record, on whichever thread releases it.
    if (conn->client_counted)
        release_client_connection(&conn->client);
    bump(thread_metrics()->connections_open, -1);
    // A TLS client's close_notify (or a record after it) may lie unread: a close over unread
    // bytes resets the connection, and the client would lose what it had not yet read of ours.
    if (conn->tls != nullptr) {
        tls_release(conn);
        (void)discard_pending(conn->sock);
    }
    close(conn->sock);
    release_sent_file(conn->file);
    if (conn->kind != EPOLL_PUT_CONNECTION) {
        if (conn->warmup_samples != nullptr)
            g_free(conn->warmup_samples);
        if (conn->measur_bytes != nullptr)
            g_free(conn->measur_bytes);
    } else {
        count_put_upload(-1);
        // An open not yet answered: the answer may be written between a read here and
        // the close of the pipe, and the file it names would stay open for good. The
        // file operations thread takes the pipe over instead; it runs commands in
        // order, so it finds the answer there and closes the file.
        if (conn->state == PUT_CHECKING_FILE && conn->put_pipe[0] != 0) {
            uint64_t answer = 0;
            if (read(conn->put_pipe[0], &answer, sizeof(answer)) ==
                static_cast<ssize_t>(sizeof(answer))) {
                conn->put_file = reinterpret_cast<FILE*>(answer);
            } else if (worker_epfd() >= 0) {
                // The registration would outlive this record while the thread holds
                // the pipe: it goes first.
                epoll_ctl(worker_epfd(), EPOLL_CTL_DEL, conn->put_pipe[0], nullptr);
                fileops_cmd abandon{};
                abandon.type = FILEOPS_ABANDON;
                abandon.reply_fd = conn->put_pipe[0];
                if (send_fileops_cmd(&abandon) == 0)
                    conn->put_pipe[0] = 0;
            }
        }
        if (conn->put_pipe[0] != 0)
            close(conn->put_pipe[0]);
        if (conn->put_pipe[1] != 0)
            close(conn->put_pipe[1]);
        if (conn->put_file != nullptr) {
            fileops_cmd cmd{};
            cmd.type = FILEOPS_CLOSE;
            cmd.file = conn->put_file;
            if (send_fileops_cmd(&cmd) != 0)
                VH_LOG(LOG_WARNING, "Couldn't close traces file");
        }
    }
    // A header that was still being collected, or a reply never finished.
    if (conn->reply != nullptr)
        g_string_free(conn->reply, TRUE);
    if (conn->pending_request != nullptr)
        g_slice_free1(sizeof(request_info), conn->pending_request);
    timeout_list_unlink(conn);
    forget_pending_events(conn);
    g_slice_free1(sizeof(connection), conn);
    connections_released = true;
}

bool take_connections_released() {
    bool released = connections_released;
    connections_released = false;
    return released;
}

int send_reply_chunk(connection* conn, int flags) {
    size_t left = conn->reply->len - conn->reply_sent;
    if (left > static_cast<size_t>(LLONG_MAX))
        left = static_cast<size_t>(LLONG_MAX);
    ssize_t n = connection_send(conn, conn->reply->str + conn->reply_sent, left, flags);
    if (n < 0)
        return -1;
    conn->reply_sent += static_cast<size_t>(n);
    return conn->reply_sent < conn->reply->len ? 1 : 0;
}

static int modify_registration(int epfd, connection* conn, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = conn;
    return epoll_ctl(epfd, EPOLL_CTL_MOD, conn->sock, &ev);
}

int enqueue_get_answer(int epfd, connection* conn) {
    if (modify_registration(epfd, conn, EPOLLOUT | EPOLLRDHUP) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return 0;
}

int enqueue_post_answer(int epfd, connection* conn) {
    if (modify_registration(epfd, conn, EPOLLOUT) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return 0;
}

int enqueue_post_data(int epfd, connection* conn) {
    if (modify_registration(epfd, conn, EPOLLIN) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return 0;
}

// The memory budget counts this much per sample slot of a connection.
static_assert(sizeof(warmup_sample) + sizeof(uint64_t) <= CONNECTION_SLOT_BYTES);

int complete_connection(connection* conn, request_info* request) {
    if (conn->state == RECEIVING_HEADER && conn->reply != nullptr) {
        g_string_free(conn->reply, TRUE);
        conn->reply = nullptr;
    }
    // A request naming no session gets a one-connection session of its own, under an id
    // from the server's own count in a space no request can name: nobody can take it first.
    if (request->session_id == 0) {
        request->session_id = next_anonymous_session_id();
        request->anonymous = true;
    }
    conn->transfer_deadline = request->transfer_deadline;
    conn->conn_id = request->conn_id;

    if (request->session_id > EXTENDED_SESSION_MIN && request->method == POST) {
        size_t warmup = request->max_warmup_samples;
        size_t measur = request->result_num_intervals;
        conn->warmup_samples =
            warmup == 0
                ? nullptr
                : static_cast<warmup_sample*>(g_try_malloc0_n(warmup, sizeof(warmup_sample)));
        conn->measur_bytes =
            conn->warmup_samples == nullptr || measur == 0
                ? nullptr
                : static_cast<uint64_t*>(g_try_malloc0_n(measur, sizeof(uint64_t)));
        if (conn->warmup_samples == nullptr || conn->measur_bytes == nullptr) {
            if (conn->warmup_samples != nullptr)
                g_free(conn->warmup_samples);
            conn->warmup_samples = nullptr;
            VH_LOG_LIMITED("connection not completed", LOG_ERR,
                           "%ld: Could not complete the creation of the connection %d",
                           thread_tag(), conn->sock);
            return -1;
        }
        conn->warmup_capacity = warmup;
        conn->measur_capacity = measur;
    }

    if (request->method == GET && request->tcp_cong[0] != '\0' &&
        setsockopt(conn->sock, IPPROTO_TCP, TCP_CONGESTION, request->tcp_cong,
                   static_cast<socklen_t>(strlen(request->tcp_cong))) != 0)
        VH_LOG_LIMITED("TCP_CONGESTION refused", LOG_WARNING, "Error setting TCP_CONGESTION %s: %s",
                       request->tcp_cong, strerror(errno));
    return 0;
}

// Throws away up to `len` queued bytes without copying them. Made as a plain system
// call: the thread sanitizer's wrapper of recv() would record a write of `len` bytes
// at address 0, which the kernel never makes, and report every two workers doing
// this as racing.
ssize_t discard_bytes(int sock, size_t len) {
    return syscall(SYS_recvfrom, sock, nullptr, len, MSG_TRUNC, nullptr, nullptr);
}

// Throws away everything queued on the socket without copying it.
ssize_t discard_pending(int sock) {
    return discard_bytes(sock, static_cast<size_t>(SSIZE_MAX));
}

void release_reply(connection* conn) {
    if (conn->reply != nullptr)
        g_string_free(conn->reply, TRUE);
    conn->reply = nullptr;
}

void set_reply(connection* conn, const char* text) {
    release_reply(conn);
    conn->reply = g_string_new(text);
    conn->reply_sent = 0;
}

int send_reply_step(connection* conn, int flags) {
    int sent = send_reply_chunk(conn, flags);
    if (sent == 1 || (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return 1;
    if (sent < 0) {
        VH_LOG_LIMITED("reply not sent", LOG_ERR, "%ld: error sending reply %d: %s", thread_tag(),
                       conn->sock, strerror(errno));
        release_reply(conn);
        return -2;
    }
    return 0;
}

int attach_connection(int epfd, connection* conn, bool writable) {
    epoll_event ev{};
    ev.events = EPOLLIN | (writable ? EPOLLOUT : 0u);
    ev.data.ptr = conn;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, conn->sock, &ev) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return 0;
}
