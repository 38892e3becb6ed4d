// Accepting: every connection queued on a listening socket becomes a connection record of
// the worker that took it; out of descriptors, the worker pauses until some are free.
#include "main_thread.h"

#include "client_limits.h"
#include "connection.h"
#include "header_guard.h"
#include "metrics.h"
#include "settings.h"
#include "timeout_list.h"
#include "tls.h"
#include "workers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Set when accept4 found no descriptor or memory; cleared when descriptors are freed.
static thread_local bool accept_paused = false;
// Set when this worker reported a shortage of descriptors or memory; cleared once its
// listening queue is found empty.
static thread_local bool shortage_reported = false;

bool thread_accept_paused() {
    return accept_paused;
}

void set_accept_paused(bool paused) {
    accept_paused = paused;
}

// The peer's address, IPv4 ones mapped into IPv6 (the per-client limits count its key).
static client_address client_address_of(const sockaddr_storage& addr) {
    client_address client{};
    if (addr.ss_family == AF_INET6) {
        memcpy(client.bytes, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, 16);
    } else if (addr.ss_family == AF_INET) {
        client.bytes[10] = 0xff;
        client.bytes[11] = 0xff;
        memcpy(client.bytes + 12, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, 4);
    }
    return client;
}

// Closes a connection its client may not open now, without a byte: an ordinary event of a
// busy client, so a debug line and a counter, never an error line.
static void refuse_connection(int sock, const client_address& client, client_admission why) {
    if (debug_level > 2) {
        char text[INET6_ADDRSTRLEN];
        format_client_address(client, text, sizeof(text));
        if (why == CLIENT_TOO_MANY_CONNECTIONS)
            VH_LOG(LOG_DEBUG, "%ld: connection %d from %s refused: its client holds %d connections",
                   thread_tag(), sock, text, max_client_connections);
        else
            VH_LOG(LOG_DEBUG,
                   "%ld: connection %d from %s refused: its client holds %d connections "
                   "without a whole header",
                   thread_tag(), sock, text, max_client_pending);
    }
    count_connection_refused(why == CLIENT_TOO_MANY_CONNECTIONS ? CONN_REFUSED_CLIENT_CONNECTIONS
                                                                : CONN_REFUSED_CLIENT_PENDING);
    close(sock);
}

void handle_listen_socket(int epfd, const listen_socket* ls) {
    worker_metrics* metrics = thread_metrics();
    for (;;) {
        if (accepting_is_stopped())
            return;
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof(peer);
        int sock = accept4(ls->fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_NONBLOCK);
        if (sock < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                shortage_reported = false; // the queue is empty: any shortage is over
                return;
            }
            // Out of descriptors or memory: stop taking connections until some are
            // freed, instead of waking up for every queued connection in vain. A shortage
            // is reported once, not at every retry while it lasts (each freed descriptor
            // wakes every paused worker, and all but one find the table full again).
            const bool shortage = err == ENOBUFS || err == ENOMEM || err == ENFILE || err == EMFILE;
            if (!shortage || !shortage_reported)
                VH_LOG(LOG_ERR, "%ld: accept: %s", thread_tag(), strerror(err));
            if (shortage)
                accept_paused = shortage_reported = true;
            return;
        }
        const client_address client = client_address_of(peer);
        const client_admission admission = admit_client_connection(&client);
        if (admission != CLIENT_ADMITTED) {
            refuse_connection(sock, client, admission);
            bump(metrics->connections_accepted, 1);
            continue;
        }
        connection* conn = new_connection(sock);
        if (conn == nullptr) {
            VH_LOG(LOG_ERR, "Could not create connection: %s", strerror(errno));
            release_pending_connection(&client);
            release_client_connection(&client);
            close(sock);
            continue;
        }
        conn->client = client;
        conn->client_counted = true;
        // The handshake counts as the header's time: its deadline and its client's cap of
        // pending connections hold from here.
        start_header_deadline(conn, true);
        if (ls->tls && tls_attach(conn) != 0) {
            bump(metrics->connections_accepted, 1);
            bump(metrics->connections_open, 1);
            destroy_connection(conn);
            continue;
        }
        bump(metrics->connections_accepted, 1);
        bump(metrics->connections_open, 1);
        if (attach_connection(epfd, conn) != 0) {
            VH_LOG(LOG_ERR, "Could not attach connection to thread: %s", strerror(errno));
            destroy_connection(conn);
            continue;
        }
        timeout_list_append(thread_timeout_list(), conn);
        VH_DEBUG(2, LOG_DEBUG, "%ld: Connection %d received by %d", thread_tag(), sock, epfd);
    }
}

// True when the process could open the descriptor of one more connection: probed with a
// duplicate, closed at once, so that a paused thread neither spins nor refuses a queued
// connection while the table is full.
bool room_for_connection(int any_fd) {
    int probe = fcntl(any_fd, F_DUPFD_CLOEXEC, 0);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}
