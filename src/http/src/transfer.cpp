// Test data: a download's replies and stream, an upload's discarded bytes, and the timers each
// arms.
#include "handlers.h"
#include "connection.h"
#include "header_guard.h"
#include "lending.h"
#include "metrics.h"
#include "request.h"
#include "session.h"
#include "sent_file.h"
#include "settings.h"
#include "timers.h"
#include "timeout_list.h"
#include "tls.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

// True when the connection's transfer deadline has passed.
static bool deadline_passed(const connection* conn) {
    if (conn->transfer_deadline.tv_sec <= 0)
        return false;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > conn->transfer_deadline.tv_sec ||
           (now.tv_sec == conn->transfer_deadline.tv_sec &&
            now.tv_nsec > conn->transfer_deadline.tv_nsec);
}

// The connection's own counts are read by its session's owner while another worker carries
// it (lending.h): stored whole, by their only writer. A lent connection's bytes reach the
// session's sums through those counts; it never touches the session itself.
static void count_bytes(connection* conn, uint64_t n) {
    count_moved(conn, n);
    if (conn->session != nullptr && !conn->lent) {
        conn->session->test.total_bytes += n;
        conn->session->test.data_bytes += n;
    }
}

int send_stats(connection* conn) {
    ssize_t n = connection_send(conn, conn->stats + conn->stats_sent,
                                conn->stats_len - conn->stats_sent, 0);
    if (n < 0)
        return -2;
    conn->stats_sent += static_cast<size_t>(n);
    if (conn->stats_sent == conn->stats_len) {
        connection_shutdown(conn, SHUT_WR);
        return -2; // a download connection always ends disabled, its socket kept
    }
    return 0;
}

static void put_be32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

static constexpr uint64_t STREAM_FIRST_OFFER = 4 * 1024;
static constexpr uint64_t STREAM_RAMP_END = 4 * 1024 * 1024;

int handle_connection_sending_data(int epfd, connection* conn, uint32_t events) {
    if (deadline_passed(conn))
        return -2;
    // Reset (or timed out): no byte can reach the client any more, so neither file data nor
    // the statistics message is tried. A half-close alone never sets these: this side has
    // not shut down its own half.
    if (events & (EPOLLERR | EPOLLHUP))
        return -2;
    // A TLS record of the file begun must be finished before the statistics may follow.
    if (!(events & EPOLLRDHUP) || connection_write_pending(conn)) {
        // Restart from the beginning once past the middle, so that every call can
        // offer at least half the file.
        const off_t size = conn->file->size;
        if (conn->file_offset > size / 2 && !connection_write_pending(conn))
            conn->file_offset = 0;
        // A new stream starts with small offers, each as large as everything sent so far:
        // a client that reads a little and leaves then costs a page or a few spliced pages,
        // not a whole socket buffer's worth (a fresh loopback socket takes over a megabyte at
        // once), while a long download reaches full offers within its first megabytes, a
        // dozen calls after its start.
        size_t offer = static_cast<size_t>(size - conn->file_offset);
        if (conn->data_bytes < STREAM_RAMP_END)
            offer = static_cast<size_t>(
                std::min<uint64_t>(offer, std::max(STREAM_FIRST_OFFER, conn->data_bytes)));
        // After the client's end only the record begun goes (a TLS write is a whole record).
        if (events & EPOLLRDHUP)
            offer = 1;
        ssize_t n = connection_send_file(conn, conn->file, &conn->file_offset, offer);
        if (n > 0) {
            count_bytes(conn, static_cast<uint64_t>(n));
            bump(thread_metrics()->bytes_sent, static_cast<uint64_t>(n));
            return 0;
        }
        if (n == 0) {
            // Nothing left at this offset: the file shrank under us, or it is empty. Start
            // again from its beginning once; a file with nothing even there ends the download,
            // which would otherwise spin on an always writable socket.
            if (conn->file_offset != 0) {
                conn->file_offset = 0;
                return 0;
            }
            VH_LOG(LOG_WARNING, "%ld: the file to send has no data, download %d ended",
                   thread_tag(), conn->sock);
            return -2;
        }
        if (errno == EAGAIN)
            return 0;
        VH_DEBUG(9, LOG_DEBUG, "send_data: %s", strerror(errno));
        return -2;
    }
    // The client half-closed: answer with the statistics message.
    if (conn->session == nullptr)
        return 0;
    tcp_info info{};
    socklen_t len = sizeof(info);
    if (getsockopt(conn->sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) {
        VH_LOG(LOG_ERR, "getsockopt(TCP_INFO): %s", strerror(errno));
        put_be32(conn->stats + 8, 0);
        conn->stats_len = 12;
    } else {
        put_be32(conn->stats + 8, 4);
        put_be32(conn->stats + 12, info.tcpi_total_retrans);
        conn->stats_len = 16;
    }
    conn->state = SENDING_STATS;
    if (events & EPOLLOUT)
        return send_stats(conn);
    if (enqueue_post_answer(epfd, conn) != 0)
        return -2;
    return 0;
}

int receive_test_data(connection* conn) {
    if (deadline_passed(conn))
        return -2;
    ssize_t n = connection_discard_pending(conn);
    if (n > 0) {
        count_bytes(conn, static_cast<uint64_t>(n));
        bump(thread_metrics()->bytes_received, static_cast<uint64_t>(n));
        return 0;
    }
    if (n == 0)
        return -3;
    // Nothing queued yet is no failure of the test: wait for the next event.
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    return -2;
}

static timespec ms_to_timespec(size_t ms) {
    return {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
}

// Arms the timers of an upload test when its first POST has been answered.
static int handle_extended_connection_post_received(connection* conn) {
    session* sess = conn->session;
    if (sess->test.started)
        return 0;
    timespec period = ms_to_timespec(sess->request.warmup_sample_time);
    if (clock_gettime(CLOCK_MONOTONIC, &sess->test.start_time) != 0) {
        VH_LOG(LOG_ERR, "%ld: error getting start time %d: %s", thread_tag(), conn->sock,
               strerror(errno));
        return -1;
    }
    if (arm_timer(sess, &sess->data_timer, period, period) != 0) {
        VH_LOG(LOG_ERR, "%ld: error starting timer %ld %d: %s", thread_tag(),
               static_cast<long>(sess->timers->head.fd), conn->sock, strerror(errno));
        return -1;
    }
    if (sess->is_latency && arm_timer(sess, &sess->latency_timer, sess->request.latency_interval,
                                      sess->request.latency_interval) != 0) {
        VH_LOG(LOG_ERR, "%ld: error starting timer %ld %d: %s", thread_tag(),
               static_cast<long>(sess->timers->head.fd), conn->sock, strerror(errno));
        return -2;
    }
    sess->test.started = true;
    return 0;
}

// Arms the timers of a download test when its first reply has gone out. A session
// without a trace timer (not extended) arms none: it owns no such descriptor.
static int start_download_timers(session* sess, connection* conn) {
    static const timespec DOWNLOAD_TIMEOUT = {330, 0};
    const request_info& req = sess->request;
    if (sess->trace_timer.exists &&
        (req.trace_interval.tv_sec != 0 || req.trace_interval.tv_nsec != 0)) {
        if (arm_timer(sess, &sess->trace_timer, req.trace_interval, req.trace_interval) != 0) {
            VH_LOG(LOG_ERR, "%ld: error starting timer %ld %d: %s", thread_tag(),
                   static_cast<long>(sess->timers->head.fd), conn->sock, strerror(errno));
            return -2;
        }
        VH_DEBUG(4, LOG_DEBUG, "Trace timer started");
    }
    if (is_extended(sess)) {
        if (arm_timer(sess, &sess->data_timer, DOWNLOAD_TIMEOUT, {0, 0}) != 0) {
            VH_LOG(LOG_ERR, "%ld: error starting timer %ld %d: %s", thread_tag(),
                   static_cast<long>(sess->timers->head.fd), conn->sock, strerror(errno));
            return -2;
        }
        VH_DEBUG(4, LOG_DEBUG, "Timeout timer started");
    }
    if (sess->is_latency &&
        arm_timer(sess, &sess->latency_timer, req.latency_interval, req.latency_interval) != 0) {
        VH_LOG(LOG_ERR, "%ld: error starting timer %ld %d: %s", thread_tag(),
               static_cast<long>(sess->timers->head.fd), conn->sock, strerror(errno));
        return -2;
    }
    sess->test.started = true;
    return 0;
}

// ---------------------------------------------------------------------------
// First replies.

static int first_reply_sent(int epfd, connection* conn, uint32_t events);

// Sends what MSG_MORE held back of the reply, and whatever follows, without delay.
static void push_reply_head(connection* conn) {
    int one = 1;
    setsockopt(conn->sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int handle_connection_sending_reply(int epfd, connection* conn, uint32_t events) {
    int sent = send_reply_step(conn);
    if (sent != 0)
        return sent == 1 ? 0 : sent;
    return first_reply_sent(epfd, conn, events);
}

// A download's first reply, right after it was queued: a new connection's socket nearly
// always takes it at once, and the data follows in the same step, without waiting a loop
// iteration for the EPOLLOUT it is registered for. That event sends whatever is left.
// With MSG_MORE the header waits for the data, and both go to the client in one segment:
// one transmission and one wake-up of the client fewer. Should no data follow after all
// (an error, a deadline just passed), the header is pushed out on its own.
static int send_download_reply_now(int epfd, connection* conn) {
    bool data_follows = !conn->session->no_path && conn->file != nullptr && conn->file->size > 0 &&
                        !deadline_passed(conn);
    int sent = send_reply_step(conn, data_follows ? MSG_MORE : 0);
    if (sent != 0)
        return sent == 1 ? 0 : sent;
    int result = first_reply_sent(epfd, conn, 0);
    if (result == -4)
        return result; // lent: first_reply_sent pushed the header out
    if (data_follows && conn->data_bytes == 0)
        push_reply_head(conn);
    return result;
}

// A connection has just joined its session (result 0 of handle_header_received): a
// download's reply goes out now.
int after_join(int epfd, connection* conn) {
    if (conn->state == SENDING_REPLY && conn->session->request.method == GET)
        return send_download_reply_now(epfd, conn);
    return 0;
}

// The first reply has gone out completely: the test data follows.
static int first_reply_sent(int epfd, connection* conn, uint32_t events) {
    release_reply(conn);
    session* sess = conn->session;
    switch (sess->request.method) {
    case GET:
        if (sess->no_path) {
            // The header-only reply is all there is. The socket is closed with its session,
            // which a latency session's control connection keeps alive: the client is told
            // now.
            connection_shutdown(conn, SHUT_RDWR);
            return -1;
        }
        conn->state = SENDING_DATA;
        if (!sess->test.started && start_download_timers(sess, conn) != 0)
            return -2;
        // A lent connection's data leaves only after a hop to its carrier, which may find its
        // deadline passed and send none: the header, held back for the data, goes out now.
        if (would_lend(epfd, conn)) {
            push_reply_head(conn);
            if (lend_if_spread(epfd, conn))
                return -4;
        }
        return handle_connection_sending_data(epfd, conn, events);
    case POST:
        if (enqueue_post_data(sess->epoll_fd, conn) != 0) {
            VH_LOG(LOG_ERR, "%ld: error preparing for data %d", thread_tag(), conn->sock);
            return -2;
        }
        if (is_extended(sess) && handle_extended_connection_post_received(conn) != 0)
            return -2;
        conn->state = POST_ANSWERED;
        return lend_if_spread(epfd, conn) ? -4 : 0;
    case HEAD:
        fprintf(stderr,
                "Fatal error: handle_connection_sending_reply doesn't support HEAD requests!\n");
        exit(1);
    default:
        return 0;
    }
}

// Sends what the socket takes of a HEAD reply: 1 while some is left (a full socket), 0
// when all went (the connection waits for its next request again, or, once it has lived the
// session time-out, half-closed for the client's close), -2 on failure.
int send_head_reply(connection* conn) {
    int sent = send_reply_step(conn);
    if (sent != 0)
        return sent;
    release_reply(conn);
    conn->reply_sent = 0;
    // A HEAD connection lives no longer than a session: requests sent one by one, each
    // within the header time-out, would otherwise keep it for ever.
    if (header_clock_ms() - conn->accepted_ms >= static_cast<int64_t>(session_timeout) * 1000) {
        connection_shutdown(conn, SHUT_WR);
        conn->state = WAITING_FOR_CLOSE;
        start_linger_deadline(conn);
        return 0;
    }
    conn->state = CONNECTED;
    // The next request's header has its own deadline.
    start_header_deadline(conn, false);
    return 0;
}

int handle_connection_sending_head_reply(int epfd, connection* conn) {
    int sent = send_head_reply(conn);
    if (sent != 0)
        return sent == 1 ? 0 : sent;
    if (enqueue_post_data(epfd, conn) != 0) {
        VH_LOG(LOG_ERR, "handle_connection_sending_head_reply %ld: error preparing for data %d",
               thread_tag(), conn->sock);
        return -2;
    }
    return 0;
}
