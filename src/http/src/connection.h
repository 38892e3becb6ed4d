// Connection records: states, reply sending and release.
#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <glib.h>
#include <sys/types.h>

struct session;
struct sent_file;
struct tls_state;

enum connection_state : uint32_t {
    CONNECTED = 0,
    RECEIVING_HEADER = 1,
    HEADER_RECEIVED = 2,
    SENDING_REPLY = 3,
    SENDING_HEAD_REPLY = 4,
    POST_ANSWERED = 5,
    PUT_CHECKING_FILE = 6,
    SENDING_DATA = 7,
    SENDING_STATS = 8,
    RECEIVING_DATA = 9,
    PUT_RECEIVING_DATA = 10,
    TEST_FINISHED = 11,
    SENDING_RESULTS = 12,
    WAITING_FOR_CLOSE = 13,
    DISABLED = 15,
    WRITING_FILE = 16,
    LATENCY_SENDING_REPLY = 17,
    LATENCY_PENDING = 18,
    LATENCY_RECEIVING_REQUEST = 19,
    SENDING_REFUSAL = 20, // a 503 to a session that may not start now
    TLS_HANDSHAKE = 21,   // accepted on a TLS port: the handshake before the request header
};

struct warmup_sample {
    uint64_t bytes;
    double rate;
};

// One accepted TCP connection. Starts with the same two fields as varnholt::epoll_data, so
// its socket's epoll registration points at the record itself.
struct connection {
    uint32_t kind; // EPOLL_CONNECTION, or EPOLL_PUT_CONNECTION once a PUT was parsed
    int sock;
    // Accepted on a TLS port: its TLS state (tls.h), which travels with the record; null on
    // plain TCP. Every read and write of the connection goes through tls.h.
    struct tls_state* tls;
    // Downloads: the file streamed, taken with the request; null on every other connection.
    struct sent_file* file;
    off_t file_offset;
    connection_state state;
    GString* reply;
    size_t reply_sent;
    struct timeout_link timeout_link;
    // The worker's clock shift (timers.h) at the connection's last event, in milliseconds: the
    // idle scan adds what the shift grew since to the kernel's idle time. Always 0 in service.
    int64_t active_shift_ms;
    size_t conn_id; // index of the connection in its session
    // Bytes moved, written only by the worker the connection is on and read by its session's
    // owner at any time: accessed atomically (counted_total, counted_data) while it may be
    // lent.
    uint64_t total_bytes;
    uint64_t data_bytes;
    warmup_sample* warmup_samples;
    size_t warmup_capacity;
    size_t num_warmup;
    uint64_t* measur_bytes;
    size_t measur_capacity;
    size_t num_measur;
    // The joined session; null until the connection joins one.
    struct session* session;
    // During a hand-over between threads: the key of the session it is to join.
    session_key session_in_transit;
    uint8_t stats[16];
    size_t stats_len;
    size_t stats_sent;
    timespec transfer_deadline;
    bool latency_control;
    // The client ended its upload (an end of file): the socket is no longer watched for input,
    // which would report the end of file again on every wait.
    bool upload_ended;
    // Set (release) by a thread handing the connection to its session's owner and
    // read (acquire) by the owner: orders the hand-over for every memory model
    // and for the thread sanitizer, which cannot see epoll's own ordering.
    uint32_t handed_over;
    // A path-style request's replacement of the session's parameters, travelling
    // with the hand-over to the owner, which alone may apply it; or, when `placed`, the
    // request of a new session that the receiving worker is to create and own. Owned.
    struct request_info* pending_request;
    // The peer's address, as accepted, and whether the connection is counted against its
    // client's cap on connections (from the accept until the record is released).
    client_address client;
    bool client_counted;
    bool placed;
    // While a request header is awaited: the link in the worker's list of header deadlines
    // (self-linked or null otherwise), when the wait began, and whether the connection is
    // counted against its address's cap of pending connections.
    // The same link and start serve the other deadlines of header_guard.h; `window_base` is a
    // PUT's byte count when its current window began.
    struct timeout_link header_link;
    int64_t header_since_ms;
    bool pending_counted;
    uint64_t window_base;
    // When the connection was accepted (CLOCK_MONOTONIC coarse milliseconds): the start of a
    // HEAD connection's life time.
    int64_t accepted_ms;
    // PUT: the file operations thread's handle of the target (null: none) and the read and
    // write end of the pipe its answers come through (0: not open).
    FILE* put_file;
    int put_pipe[2];
    // Lent by its session's owner to the worker of `carrier_epfd` for its data phase (see
    // lending.h). Set and cleared by the owner only, around the messages that move it.
    bool lent;
    int carrier_epfd;
    // The counts when it was lent, and the data count at which its carrier gives it back so
    // that the owner can check the session's limits (stored by the owner, read atomically).
    uint64_t lent_base_total;
    uint64_t lent_base_data;
    uint64_t return_at;
};

// The counts of a connection that may be lent, as far as its carrier has counted now. Any
// thread that may read the record. The carrier stores the total first and publishes the
// data count after it (release); a reader that needs both takes the data count first
// (acquire) and the total after it, and so never sees more data than total.
inline uint64_t counted_total(const connection* conn) {
    return __atomic_load_n(&conn->total_bytes, __ATOMIC_RELAXED);
}
inline uint64_t counted_data(const connection* conn) {
    return __atomic_load_n(&conn->data_bytes, __ATOMIC_ACQUIRE);
}
// Both counts, read in the order that keeps *total >= *data.
inline void counted_bytes(const connection* conn, uint64_t* total, uint64_t* data) {
    *data = counted_data(conn);
    *total = counted_total(conn);
}
// The carrier's side: adds n to both counts, in the order counted_bytes relies on.
inline void count_moved(connection* conn, uint64_t n) {
    __atomic_store_n(&conn->total_bytes, conn->total_bytes + n, __ATOMIC_RELAXED);
    __atomic_store_n(&conn->data_bytes, conn->data_bytes + n, __ATOMIC_RELEASE);
}

static_assert(offsetof(connection, kind) == offsetof(varnholt::epoll_data, kind));
static_assert(offsetof(connection, sock) == offsetof(varnholt::epoll_data, fd));

// Allocates a zero-filled record in state CONNECTED for an accepted socket, with
// the statistics bytes preset and the time-out link self-linked. Null on failure.
connection* new_connection(int sock);

// Ends a connection: a connection without a session is released at once; one
// that joined a session is only detached and is released with its session.
// Owner thread only.
void destroy_connection(connection* conn);

// Closes the connection's descriptors and releases the record and all it owns.
void internal_destroy_connection(connection* conn);

// Sends the unsent rest of `reply` (one send, with MSG_NOSIGNAL and `flags`; through TLS on
// a TLS connection, where `flags` has no meaning). -1 on error
// (errno kept), 0 when everything has been sent, 1 when bytes remain. Never releases `reply`.
int send_reply_chunk(connection* conn, int flags = 0);

// Throws away up to `len` bytes queued on the socket, or all of them, without copying.
ssize_t discard_bytes(int sock, size_t len);
ssize_t discard_pending(int sock);

// Frees the reply buffer; sets a new one from `text`, none of it sent yet.
void release_reply(connection* conn);
void set_reply(connection* conn, const char* text);
// One send of the reply's rest: 0 when all of it went, 1 while some is left (a full socket
// included), -2 on failure (logged; the reply is released).
int send_reply_step(connection* conn, int flags = 0);

// Registers conn's socket with epfd for EPOLLIN (level-triggered), and EPOLLOUT too when
// `writable`: a TLS connection handed over holds its header in OpenSSL's buffer, which the
// socket never reports, and is dispatched at once that way. 0 or -1 (logged).
int attach_connection(int epfd, connection* conn, bool writable = false);

// Re-arm conn's socket in epfd for the next phase: EPOLLOUT|EPOLLRDHUP, EPOLLOUT,
// or EPOLLIN (all level-triggered). 0, or -1 (logged).
int enqueue_get_answer(int epfd, connection* conn);
int enqueue_post_answer(int epfd, connection* conn);
int enqueue_post_data(int epfd, connection* conn);

// Copies the per-connection values of a parsed request into conn, allocates its
// sample arrays (extended uploads) and applies TCP_CONG= (downloads). 0 or -1.
int complete_connection(connection* conn, struct request_info* request);

// True (and cleared) when this thread released a connection since the last call:
// descriptors were freed, so a paused accept may be retried.
bool take_connections_released();

// PUT uploads in progress in the process: a connection counts from its parsed PUT
// request until its release. Any thread.
void count_put_upload(int delta);
long put_uploads_running();
