// Results replies, the close that follows them, and a latency session's control connection.
#include "handlers.h"
#include "connection.h"
#include "header_guard.h"
#include "metrics.h"
#include "request.h"
#include "session.h"
#include "settings.h"
#include "timeout_list.h"
#include "tls.h"

#include <cassert>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

int handle_sending_results(int epfd, connection* conn) {
    int sent = send_reply_chunk(conn);
    // A full socket is no failure: the rest goes with the next EPOLLOUT.
    if (sent == 1 || (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return 0;
    if (sent == -1) {
        VH_LOG_LIMITED("results not sent", LOG_ERR, "%ld: Error sending the report %d: %s",
                       thread_tag(), conn->sock, strerror(errno));
        return -1;
    }
    // All sent: half-close and wait for the client's close. Back on the time-out
    // list, so that a client that never closes is dropped after the time-out.
    release_reply(conn);
    conn->reply_sent = 0;
    if (conn->timeout_link.next == &conn->timeout_link)
        timeout_list_append(thread_timeout_list(), conn);
    connection_shutdown(conn, SHUT_WR);
    conn->state = WAITING_FOR_CLOSE;
    if (enqueue_post_data(epfd, conn) != 0)
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
    return 0;
}

int handle_waiting_for_close(connection* conn) {
    ssize_t n = connection_discard_pending(conn);
    // A TLS record not yet whole wakes the connection too.
    if (n < 0 && errno == EAGAIN)
        return 0;
    if (n < 0) {
        VH_DEBUG(2, LOG_DEBUG, "%ld: Error waiting for close of connection %d: %s", thread_tag(),
                 conn->sock, strerror(errno));
        return -1;
    }
    if (n == 0)
        return -1;
    tcp_info info{};
    socklen_t len = sizeof(info);
    if (getsockopt(conn->sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) {
        VH_LOG(LOG_ERR, "getsockopt(TCP_INFO): %s", strerror(errno));
        return 0;
    }
    return info.tcpi_unacked == 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// Latency control connection.

int handle_latency_sending_reply(int epfd, connection* conn) {
    assert(conn->latency_control);
    int sent = send_reply_step(conn);
    if (sent != 0)
        return sent == 1 ? 0 : sent;
    release_reply(conn);
    if (enqueue_post_data(epfd, conn) != 0) {
        VH_LOG(LOG_ERR, "%ld: error preparing for latency statistic request%d", thread_tag(),
               conn->sock);
        return -2;
    }
    conn->state = LATENCY_PENDING;
    VH_DEBUG(4, LOG_DEBUG, "Waiting latency statistics request");
    return 0;
}

int handle_latency_pending(int epfd, connection* conn) {
    assert(conn->latency_control);
    char buffer[HEADER_BUFFER_SIZE];
    ssize_t n = 0;
    if (int got = receive_header_piece(conn, buffer, 0, &n); got <= 0)
        return got;
    const char* text = buffer;
    size_t size = static_cast<size_t>(n);
    if (conn->state == LATENCY_RECEIVING_REQUEST) {
        g_string_append_len(conn->reply, buffer, n);
        text = conn->reply->str;
        size = conn->reply->len;
    }
    switch (parse_latency_request(text, size, conn->session->is_latency)) {
    case LATENCY_REQUEST_TOO_BIG:
        VH_DEBUG(9, LOG_DEBUG, "%ld: Latency header too big %d", thread_tag(), conn->sock);
        return -1;
    case LATENCY_REQUEST_INVALID:
        VH_DEBUG(9, LOG_DEBUG, "%ld: Error parsing latency header %d", thread_tag(), conn->sock);
        return -1;
    case LATENCY_REQUEST_INCOMPLETE:
        if (conn->state == LATENCY_PENDING) {
            conn->state = LATENCY_RECEIVING_REQUEST;
            release_reply(conn);
            conn->reply = g_string_new_len(buffer, n);
            // A request in pieces must be whole within the header time-out of its first.
            start_header_deadline(conn, false);
        }
        return 0;
    case LATENCY_REQUEST_COMPLETE:
        break;
    }
    end_header_deadline(conn);
    release_reply(conn);
    conn->state = LATENCY_SENDING_REPLY;
    std::string document;
    try {
        document = build_latency_document(conn->session);
    } catch (const std::bad_alloc&) {
        // Out of memory for the document: this connection gives up, the process goes on.
        VH_LOG(LOG_ERR, "%ld: no memory for the latency statistics of connection %d", thread_tag(),
               conn->sock);
        return -2;
    }
    conn->reply = g_string_new(nullptr);
    g_string_printf(conn->reply,
                    "HTTP/1.1 200 OK\r\nContent-Length: %lu\r\nContent-type: "
                    "application/json\r\n\r\n",
                    static_cast<unsigned long>(document.size()));
    g_string_append_len(conn->reply, document.data(), static_cast<gssize>(document.size()));
    conn->reply_sent = 0;
    if (enqueue_post_answer(epfd, conn) != 0) {
        VH_LOG(LOG_ERR, "enqueue_post_answer: %s", strerror(errno));
        return -2;
    }
    return 0;
}
