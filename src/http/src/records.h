// The plain records every part of a worker shares: the head of every epoll registration,
// listening sockets, client addresses and the time-out list's link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <glib.h>

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
    // The worker's mailbox: messages from other workers about the connections they lend
    // each other.
    EPOLL_WORKER_MAIL = 8,
};

// What the session container finds a session by. Anonymous sessions (a request that named
// none) have ids of their own counting, in a space apart: no request can name one.
struct session_key {
    uint64_t id;
    bool anonymous;
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
    bool tls; // its connections speak TLS (tls.h)
};

// A client's IP address: IPv4 addresses as IPv4-mapped IPv6 ones, so that a client
// reaching a dual-stack socket and an IPv4 socket is the same client.
struct client_address {
    uint8_t bytes[16];
};

// Intrusive link of the per-thread time-out list. A self-linked node is on no list.
struct timeout_link {
    timeout_link* next;
    timeout_link* prev;
};

// The key a client is counted under by every per-client limit: an IPv4 (or IPv4-mapped)
// address as it is, any other IPv6 address cut to its first client_prefix_v6 bits, so that
// the addresses of one network are one client.
client_address client_key(const client_address& client);
// Hash and equality of clients (pointers to client_address) for GLib hash tables: two
// addresses are equal when their client keys are.
guint client_address_hash(gconstpointer key);
gboolean client_address_equal(gconstpointer a, gconstpointer b);
// Writes the address as text (IPv4-mapped ones as plain IPv4) into out[size].
void format_client_address(const client_address& client, char* out, size_t size);
