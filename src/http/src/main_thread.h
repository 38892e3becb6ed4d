// Worker threads: the epoll loop, accepting, the time-out list and the per-kind dispatch.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <glib.h>
#include <sys/epoll.h>

// Kind of the record behind every epoll registration.
enum epoll_kind : uint32_t {
    EPOLL_LISTEN_SOCKET = 0,
    EPOLL_CONNECTION = 1,
    EPOLL_PUT_CONNECTION = 2,
    EPOLL_SESSION_DATA_TIMER = 3,
    EPOLL_SESSION_EXPIRY_TIMER = 4,
    EPOLL_SESSION_TRACE_TIMER = 5,
    EPOLL_SESSION_LATENCY_TIMER = 6,
    // The worker's own timer descriptor, which drives the session timers (kinds 3 to 6
    // name those timers; they are not epoll registrations of their own).
    EPOLL_WORKER_TIMER = 7,
};

namespace varnholt {
// Head of every record registered with epoll; epoll_event.data.ptr points at it.
// Records that start with the same two fields (listen_socket, connection) are
// dispatched by reading the kind through this head. (Namespaced: the system
// headers already use the plain name for epoll's own union.)
struct epoll_data {
    uint32_t kind;
    int fd;
};
} // namespace varnholt

struct listen_socket {
    uint32_t kind; // EPOLL_LISTEN_SOCKET
    int fd;
};

// A client's IP address: IPv4 addresses as IPv4-mapped IPv6 ones, so that a client
// reaching a dual-stack socket and an IPv4 socket is the same client.
struct client_address {
    uint8_t bytes[16];
};

// Shared, read-only argument of every worker thread.
struct main_thread_args {
    const listen_socket* sockets;
    size_t num_sockets;
    std::chrono::seconds session_timeout;
};

// Intrusive link of the per-thread time-out list. A self-linked node is on no list.
struct timeout_link {
    timeout_link* next;
    timeout_link* prev;
};

struct connection;

// The calling thread's time-out list sentinel: next is the least recently active
// connection, prev the most recently active one.
timeout_link* thread_timeout_list();
// Empties a list: the sentinel points at itself.
void timeout_list_init(timeout_link* sentinel);
// Links conn at the tail (most recently active end) of the list.
void timeout_list_append(timeout_link* sentinel, connection* conn);
// Unlinks conn (no-op when self-linked), then appends it.
void timeout_list_move_to_tail(timeout_link* sentinel, connection* conn);
// Joins conn's neighbours; conn's own links are left as they are.
void timeout_list_unlink(connection* conn);
// Unlinks conn and points its links at itself.
void timeout_list_remove(connection* conn);
// The connection that owns a link.
connection* timeout_link_owner(timeout_link* link);

// Worker thread start routine; arg is the shared main_thread_args. Never returns.
void* main_thread(void* arg);

// The epoll descriptor of the worker running on the calling thread, -1 on any other thread.
int worker_epfd();

// One iteration of the worker loop: wait, dispatch, idle scan, periodic checks.
void main_loop(int epfd, epoll_event* events, int max_events, GHashTable* pending_sessions,
               std::chrono::seconds timeout);

// Accepts on ls until the queue is empty (or a resource runs out: accepting is
// then paused on this thread until descriptors are freed).
void handle_listen_socket(int epfd, const listen_socket* ls);

// Registers conn's socket with epfd for EPOLLIN (level-triggered). 0 or -1 (logged).
int attach_connection(int epfd, connection* conn);

// Runs the handler of conn's state for one event. 0 keep, -1 destroy, -2 disable,
// -3 the peer finished its upload, -4 handed to another thread.
int handle_connection(int epfd, uint32_t events, connection* conn);

// Drops the events of the batch being dispatched that still point at a record
// about to be released. Owner thread.
void forget_pending_events(const void* record);

// True while accepting is paused on the calling thread.
bool thread_accept_paused();

struct request_info;

// Bytes a request header may have while still incomplete; one peek reads at most this.
constexpr size_t HEADER_LIMIT = 16383;

enum header_step {
    HEADER_INVALID,    // parse_request refused the text
    HEADER_TOO_BIG,    // still incomplete beyond HEADER_LIMIT bytes
    HEADER_INCOMPLETE, // *held now holds every piece so far: wait for more
    HEADER_COMPLETE,   // *request is filled; *size is the length of the parsed text
};

// One step of collecting a request header that arrives in pieces. *held is the text
// kept from the earlier pieces (null before the first) and is created for a first
// incomplete piece; piece[n] must be NUL. The caller owns *held.
header_step collect_header_piece(GString** held, const char* piece, size_t n, request_info* request,
                                 size_t* size);

// A burst of new sessions would otherwise all go to the worker that happened to drain the
// shared listening socket: each new session is given to the worker owning the fewest live
// sessions (the calling one when it is among them, or when the fewest are not a quarter
// fewer than its own). Returns the epoll descriptor of the worker that should own a session the
// worker of `epfd` is creating; `epfd` itself when it belongs to no registered worker.
int choose_session_owner(int epfd);
// Counts a published session in (+1), or a destroyed one out (-1), of its owner's tally.
void count_owned_session(int owner_epfd, int delta);
// Live sessions owned by the worker of `epfd` (0 for none). Any thread.
long owned_session_count(int epfd);

// Ends accepting on every worker: the listening sockets leave every epoll set and no
// worker accepts again. Main thread, once, when the server starts stopping.
void stop_accepting(const listen_socket* sockets, size_t count);

// Hash and equality of client addresses (pointers to client_address) for GLib hash tables.
guint client_address_hash(gconstpointer key);
gboolean client_address_equal(gconstpointer a, gconstpointer b);
// Writes the address as text (IPv4-mapped ones as plain IPv4) into out[size].
void format_client_address(const client_address& client, char* out, size_t size);

// Sets up a worker on the calling thread: its epoll set (watching the listening sockets), its
// time-out list and its timer descriptor. main_thread() runs it for good; a caller that owns
// the thread may instead run it step by step with run_worker_step. The epoll descriptor, or
// -1 (logged, errno set).
int open_worker(const listen_socket* sockets, size_t count);
// One iteration of that worker's loop, as main_thread() runs it, when an event comes within
// `wait_ms` milliseconds (0: only those ready now). False when none came.
bool run_worker_step(int epfd, GHashTable* pending_sessions, const listen_socket* sockets,
                     size_t count, std::chrono::seconds timeout, int wait_ms);
