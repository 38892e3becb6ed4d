// Request headers: collected in pieces, parsed, answered or refused, and the connection joined to
// its session, on its own worker or handed to the session's.
#include "handlers.h"
#include "budget.h"
#include "connection.h"
#include "file_ops.h"
#include "header_guard.h"
#include "metrics.h"
#include "request.h"
#include "session.h"
#include "sent_file.h"
#include "settings.h"
#include "timers.h"
#include "timeout_list.h"
#include "tls.h"
#include "token.h"
#include "workers.h"

#include <arpa/inet.h>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

static const char GET_REPLY_HEAD[] = "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\n";
static const char GET_REPLY_LENGTH[] = "Content-Length: 500000000000\r\n";
static const char POST_REPLY[] = "HTTP/1.1 100 Continue\r\nX-Varnholt: 1\r\n\r\n";
static const char LATENCY_REPLY[] = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";
static const char HEAD_REPLY[] =
    "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 500000000000\r\n\r\n";
static const char REFUSAL_BODY[] = "Too many test sessions are running: retry later.\n";
static const char TOKEN_REFUSAL[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
static const char CLIENT_REFUSAL_BODY[] =
    "Too many test sessions are running from your address: retry later.\n";

// Moves conn to the worker of owner_epfd with its header still unread, carrying only the
// session id and, when given, a request: a path-style replacement of the session's
// parameters, or, for a `placed` connection, the request the owner creates the session
// from. -4 (now that worker's), or -1.
static int hand_over(int epfd, connection* conn, session_key key, int owner_epfd,
                     const request_info* carried, bool placed) {
    const uint64_t id = key.id;
    if (epoll_ctl(epfd, EPOLL_CTL_DEL, conn->sock, nullptr) != 0) {
        VH_LOG(LOG_ERR, "epoll_ctl: %s", strerror(errno));
        VH_LOG(LOG_ERR, "%ld: Could not set the session %d %lu", thread_tag(), conn->sock, id);
        return -1;
    }
    timeout_list_remove(conn);
    conn->state = HEADER_RECEIVED;
    conn->session_in_transit = key;
    conn->placed = placed;
    if (carried != nullptr) {
        conn->pending_request =
            static_cast<request_info*>(g_slice_copy(sizeof(request_info), carried));
    }
    VH_DEBUG(2, LOG_DEBUG, "Connection %d was handled to %d by %d", conn->sock, owner_epfd, epfd);
    // Everything written above must be visible to the owner before its
    // epoll set can report the socket.
    __atomic_store_n(&conn->handed_over, 1u, __ATOMIC_RELEASE);
    if (attach_connection(owner_epfd, conn, conn->tls != nullptr) != 0) {
        conn->session = nullptr;
        VH_LOG(LOG_ERR, "Could not attach connection to thread: %s", strerror(errno));
        VH_LOG(LOG_ERR, "%ld: Could not set the session %d %lu", thread_tag(), conn->sock, id);
        return -1;
    }
    bump(thread_metrics()->connections_open, -1);
    return -4;
}

// Joins conn to its session on this thread, or hands it to the thread that owns
// the session. 0, -1, or -4 (now owned by another thread).
static int set_session(int epfd, connection* conn, session* sess, session_key key, int owner_epfd,
                       const request_info* replacement) {
    const uint64_t id = key.id;
    if (owner_epfd != epfd)
        return hand_over(epfd, conn, key, owner_epfd, replacement, false);
    conn->session = sess;
    if (replacement != nullptr)
        conn->pending_request =
            static_cast<request_info*>(g_slice_copy(sizeof(request_info), replacement));
    if (handle_header_received(epfd, conn) < 0) {
        VH_LOG_LIMITED("session not joined", LOG_ERR, "%ld: Could not set the session %d %lu",
                       thread_tag(), conn->sock, id);
        return -1;
    }
    return after_join(epfd, conn);
}

header_step collect_header_piece(GString** held, const char* piece, size_t n, request_info* request,
                                 size_t* size) {
    const char* text = piece;
    *size = n;
    if (*held != nullptr) {
        g_string_append_len(*held, piece, static_cast<gssize>(n));
        text = (*held)->str;
        *size = (*held)->len;
    }
    int parsed = parse_request(text, *size, request);
    if (parsed == -1)
        return HEADER_INVALID;
    if (parsed == -2) {
        // The peer decides how long a header is: bound what it may make us hold.
        if (*size > HEADER_LIMIT)
            return HEADER_TOO_BIG;
        if (*held == nullptr)
            *held = g_string_new_len(piece, static_cast<gssize>(n));
        return HEADER_INCOMPLETE;
    }
    return HEADER_COMPLETE;
}

static int send_refusal(int epfd, connection* conn, const char* reply);

// Answers a session that may not start now with 503 and a Retry-After, then half-closes
// and waits for the client's close like a finished test, for LINGER_SECONDS at most. The
// connection has no session.
static int refuse_session(int epfd, connection* conn, uint64_t id, admission_refusal refusal) {
    char client[INET6_ADDRSTRLEN] = "";
    format_client_address(conn->client, client, sizeof(client));
    const char* body;
    if (refusal == REFUSED_BY_SERVER_LIMIT) {
        VH_LOG_LIMITED("session refused", LOG_INFO,
                       "Session %lu from %s refused: the limit of %d sessions is reached", id,
                       client, max_sessions);
        body = REFUSAL_BODY;
    } else if (refusal == REFUSED_BY_MEMORY_BUDGET) {
        VH_LOG_LIMITED("session refused for memory", LOG_INFO,
                       "Session %lu from %s refused: the memory budget of %lu bytes is reached", id,
                       client, static_cast<unsigned long>(memory_budget()));
        body = REFUSAL_BODY;
    } else if (refusal == REFUSED_BY_CLIENT_MEMORY) {
        VH_LOG_LIMITED("session refused for client memory", LOG_INFO,
                       "Session %lu from %s refused: its client's sessions hold %lu%% of the "
                       "memory budget",
                       id, client, static_cast<unsigned long>(CLIENT_MEMORY_SHARE));
        body = CLIENT_REFUSAL_BODY;
    } else {
        VH_LOG_LIMITED(
            "session refused per client", LOG_INFO,
            "Session %lu from %s refused: the limit of %d sessions per client is reached", id,
            client, max_client_sessions);
        body = CLIENT_REFUSAL_BODY;
    }
    char reply[512];
    snprintf(reply, sizeof reply,
             "HTTP/1.1 503 Service Unavailable\r\nRetry-After: %d\r\n"
             "Content-Type: text/plain\r\nContent-Length: %zu\r\n"
             "Connection: close\r\n\r\n%s",
             RETRY_AFTER_SECONDS, strlen(body), body);
    return send_refusal(epfd, conn, reply);
}

// Answers a request with `reply`, a refusal that ends the connection, then half-closes and
// waits for the client's close, for LINGER_SECONDS at most. 0, or -1.
static int send_refusal(int epfd, connection* conn, const char* reply) {
    // The request is answered: what it sent must not be left unread, or our close would
    // reset the connection before the client reads the reply.
    if (connection_discard_pending(conn) < 0 && errno != EAGAIN)
        return -1;
    release_reply(conn);
    conn->reply = g_string_new(reply);
    conn->reply_sent = 0;
    conn->state = SENDING_REFUSAL;
    // Refused, the client has a few seconds to take the reply and close, not the idle time.
    start_linger_deadline(conn);
    int sent = handle_sending_results(epfd, conn);
    if (sent != 0 || conn->state != SENDING_REFUSAL)
        return sent;
    // The socket took only part of it: the rest goes when it has room.
    if (enqueue_post_answer(epfd, conn) != 0)
        return -1;
    return 0;
}

int receive_header_piece(connection* conn, char* buffer, int flags, ssize_t* n) {
    *n = connection_recv(conn, buffer, HEADER_LIMIT, (flags & MSG_PEEK) != 0);
    if (*n == 0)
        return -1;
    if (*n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        VH_LOG_LIMITED("header not received", LOG_ERR, "fd %d, recv: %s", conn->sock,
                       strerror(errno));
        return -1;
    }
    buffer[*n] = '\0';
    return 1;
}

int handle_connection_connected(int epfd, connection* conn) {
    char buffer[HEADER_BUFFER_SIZE];
    ssize_t n = 0;
    if (int got = receive_header_piece(conn, buffer, MSG_PEEK, &n); got <= 0)
        return got;

    GString* held = conn->state == RECEIVING_HEADER ? conn->reply : nullptr;
    request_info request;
    size_t size = 0;
    switch (collect_header_piece(&held, buffer, static_cast<size_t>(n), &request, &size)) {
    case HEADER_INVALID:
        VH_DEBUG(9, LOG_DEBUG, "%ld: Error parsing header %d", thread_tag(), conn->sock);
        return -1;
    case HEADER_TOO_BIG:
        VH_DEBUG(9, LOG_DEBUG, "%ld: Header too big %d", thread_tag(), conn->sock);
        return -1;
    case HEADER_INCOMPLETE:
        conn->state = RECEIVING_HEADER;
        conn->reply = held;
        // Stored: now take exactly these bytes out of the socket.
        if (connection_discard(conn, static_cast<size_t>(n)) != n) {
            VH_LOG(LOG_ERR, "%ld: This should never, ever, happen!!! %d", thread_tag(), conn->sock);
            return -1;
        }
        return 0;
    case HEADER_COMPLETE:
        end_header_deadline(conn);
        break;
    }
    request.tls = conn->tls != nullptr;

    // Every request that starts or feeds a test needs a valid token; HEAD creates nothing and
    // sends a few bytes, so it stays open (a load balancer's health check sends it).
    if (request.method != HEAD && token_check_enabled()) {
        const char* text = held != nullptr ? held->str : buffer;
        const char* token = request.token_length > 0 ? text + request.token_at : nullptr;
        if (check_request_token(token, request.token_length, request.unit_id) != TOKEN_VALID) {
            if (request.put_path != nullptr)
                g_string_free(request.put_path, TRUE);
            return send_refusal(epfd, conn, TOKEN_REFUSAL);
        }
    }

    if (request.method == POST) {
        VH_DEBUG(9, LOG_DEBUG,
                 "Session is POST: adding initial request data_size (%lld) to warmup and total "
                 "bytes counters (%lld) (%lld)",
                 static_cast<long long>(size), static_cast<long long>(conn->data_bytes),
                 static_cast<long long>(conn->total_bytes));
        conn->data_bytes = size;
        conn->total_bytes = size;
    }
    if (request.method == PUT) {
        // The text seen so far is the pieces taken out of the socket before and this one,
        // peeked: the header ends at its blank line, inside this piece.
        const char* text = held != nullptr ? held->str : buffer;
        const char* end = static_cast<const char*>(memmem(text, size, "\r\n\r\n", 4));
        size_t header_len = end != nullptr ? static_cast<size_t>(end - text) + 4 : size;
        size_t taken_before = size - static_cast<size_t>(n);
        return handle_put_request(epfd, conn, &request,
                                  header_len > taken_before ? header_len - taken_before : 0);
    }
    if (complete_connection(conn, &request) != 0)
        return -1;

    if (request.method == HEAD) {
        if (connection_discard_pending(conn) < 0) {
            VH_LOG(LOG_ERR, "This should never, ever, happen!!!");
            return -1;
        }
        conn->state = SENDING_HEAD_REPLY;
        set_reply(conn, HEAD_REPLY);
        // So short a reply almost always fits the socket at once: sent now, the connection
        // stays registered for its next request, which saves arming EPOLLOUT for the send,
        // EPOLLIN again after it and a loop iteration, per request. Only a full socket
        // takes the way through SENDING_HEAD_REPLY.
        int sent = send_head_reply(conn);
        if (sent != 1)
            return sent;
        if (enqueue_get_answer(epfd, conn) != 0) {
            VH_LOG(LOG_ERR, "enqueue_get_answer: %s", strerror(errno));
            return -2;
        }
        return 0;
    }

    bool replace = false;
    int owner_epfd = -1;
    int place_at = -1;
    admission_refusal refusal = NOT_REFUSED;
    session* sess = create_unique_session(&request, epfd, &conn->client, false, &replace,
                                          &owner_epfd, &place_at, &refusal);
    if (refusal != NOT_REFUSED)
        return refuse_session(epfd, conn, request.session_id, refusal);
    if (sess == nullptr && place_at >= 0) {
        // A new session for another worker: it creates the session from this request.
        int result = hand_over(epfd, conn, key_of(&request), place_at, &request, true);
        if (result != -4)
            count_owned_session(place_at, -1); // it never got there
        return result;
    }
    if (sess == nullptr) {
        VH_LOG_LIMITED("session not set", LOG_ERR, "%ld: Could not set the session %d %lu",
                       thread_tag(), conn->sock, request.session_id);
        return -1;
    }
    // The owner came from under the container lock: a session of another thread may
    // already be gone, so only its id travels with the hand-over.
    return set_session(epfd, conn, sess, key_of(&request), owner_epfd,
                       replace ? &request : nullptr);
}

// The placed connection was answered with a refusal: it has no session.
static constexpr int PLACED_REFUSED = 1;

// Creates (or finds) the session of a connection placed on this worker for its new session.
// 0 with *sess set when this worker owns it; -4 when the session turned out to exist on
// another worker and the connection went on there; PLACED_REFUSED when a session limit was
// reached meanwhile (the 503 is on its way); -1.
static int create_placed_session(int epfd, connection* conn, session** sess) {
    request_info* request = conn->pending_request;
    conn->pending_request = nullptr;
    conn->placed = false;
    conn->session = nullptr;
    bool replace = false;
    int owner_epfd = -1;
    int place_at = -1;
    admission_refusal refusal = NOT_REFUSED;
    *sess = create_unique_session(request, epfd, &conn->client, true, &replace, &owner_epfd,
                                  &place_at, &refusal);
    int result = 0;
    if (refusal != NOT_REFUSED) {
        result = refuse_session(epfd, conn, request->session_id, refusal);
        if (result == 0)
            result = PLACED_REFUSED;
    } else if (*sess == nullptr) {
        VH_LOG_LIMITED("session not set", LOG_ERR, "%ld: Could not set the session %d %lu",
                       thread_tag(), conn->sock, request->session_id);
        result = -1;
    } else if (owner_epfd != epfd) {
        // Another connection of the session made it on its own worker meanwhile.
        result =
            hand_over(epfd, conn, key_of(request), owner_epfd, replace ? request : nullptr, false);
    } else if (replace) {
        // Applied once the connection has joined.
        conn->pending_request =
            static_cast<request_info*>(g_slice_copy(sizeof(request_info), request));
    }
    g_slice_free1(sizeof(request_info), request);
    return result;
}

int handle_header_received(int epfd, connection* conn) {
    session* sess;
    if (conn->state == HEADER_RECEIVED)
        bump(thread_metrics()->connections_open, 1); // handed to this worker
    if (conn->state == HEADER_RECEIVED && conn->placed) {
        (void)__atomic_load_n(&conn->handed_over, __ATOMIC_ACQUIRE);
        int created = create_placed_session(epfd, conn, &sess);
        if (created != 0)
            return created == PLACED_REFUSED ? 0 : created;
    } else if (conn->state == HEADER_RECEIVED) {
        (void)__atomic_load_n(&conn->handed_over, __ATOMIC_ACQUIRE);
        sess = get_session(conn->session_in_transit, epfd);
        conn->session = nullptr;
        if (sess == nullptr) {
            VH_LOG(LOG_INFO, "%ld: Delayed connection destruction", thread_tag());
            return -1;
        }
    } else {
        sess = conn->session;
        conn->session = nullptr;
    }

    if (connection_discard_pending(conn) < 0) {
        VH_LOG(LOG_ERR, "This should never, ever, happen!!!");
        drop_session_without_connections(sess);
        return -1;
    }
    // A download takes the file as it is on disk now, on the worker that will release it.
    // A latency session's control connection and a session naming no file send none.
    const bool latency_control = sess->is_latency && conn->conn_id == 0;
    if (sess->request.method == GET && !sess->no_path && !latency_control) {
        conn->file = acquire_sent_file();
        if (conn->file == nullptr) {
            VH_LOG(LOG_ERR, "Could not create connection: %s", strerror(errno));
            drop_session_without_connections(sess);
            return -1;
        }
    }
    if (add_connection(sess, conn) != 0) {
        VH_LOG_LIMITED("connection not added", LOG_ERR, "Could not add connection");
        drop_session_without_connections(sess);
        return -1;
    }
    note_session_transport(sess, conn);
    // A path-style request's parameters replace the session's only now that it has joined.
    if (conn->pending_request != nullptr) {
        apply_request_replacement(sess, conn->pending_request);
        g_slice_free1(sizeof(request_info), conn->pending_request);
        conn->pending_request = nullptr;
    }

    if (latency_control) {
        conn->latency_control = true;
        conn->state = LATENCY_SENDING_REPLY;
        set_reply(conn, LATENCY_REPLY);
        if (enqueue_post_answer(epfd, conn) != 0) {
            VH_LOG(LOG_ERR, "enqueue_post_answer: %s", strerror(errno));
            return -2;
        }
        return 0;
    }
    switch (sess->request.method) {
    case GET: {
        conn->state = SENDING_REPLY;
        set_reply(conn, GET_REPLY_HEAD);
        if (!sess->no_path)
            g_string_append(conn->reply, GET_REPLY_LENGTH);
        g_string_append(conn->reply, "\r\n");
        if (enqueue_get_answer(epfd, conn) != 0) {
            VH_LOG(LOG_ERR, "enqueue_get_answer: %s", strerror(errno));
            return -2;
        }
        return 0;
    }
    case POST:
        conn->state = SENDING_REPLY;
        set_reply(conn, POST_REPLY);
        if (enqueue_post_answer(epfd, conn) != 0) {
            VH_LOG(LOG_ERR, "enqueue_post_answer: %s", strerror(errno));
            return -2;
        }
        return 0;
    default:
        fprintf(stderr, "Fatal error: handle_header_received doesn't support HEAD requests!\n");
        exit(1);
    }
}
