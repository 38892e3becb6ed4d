// Slow clients before their session: every header has a deadline counted from the accept
// (or from the end of the previous reply on a connection that sends several), and one
// address may hold only so many connections whose header has not arrived whole.
#include "header_guard.h"
#include "timeout_list.h"

#include "connection.h"
#include "settings.h"

#include <pthread.h>

// Connections with an incomplete header, by address. Process-wide: one client's connections
// land on every worker. Guarded by its own mutex, taken once at the accept and once when the
// header is complete.
static pthread_mutex_t pending_mutex = PTHREAD_MUTEX_INITIALIZER;
static GHashTable* pending_by_client = nullptr;

namespace {
struct pending_tally {
    client_address client; // the key points here
    int connections;
};
} // namespace

static void free_tally(gpointer tally) {
    g_slice_free1(sizeof(pending_tally), tally);
}

// Lock held.
static pending_tally* find_tally(const client_address* client) {
    if (pending_by_client == nullptr)
        pending_by_client =
            g_hash_table_new_full(client_address_hash, client_address_equal, nullptr, free_tally);
    return static_cast<pending_tally*>(g_hash_table_lookup(pending_by_client, client));
}

bool admit_pending_connection(const client_address* client) {
    pthread_mutex_lock(&pending_mutex);
    pending_tally* tally = find_tally(client);
    bool admitted =
        max_client_pending <= 0 || tally == nullptr || tally->connections < max_client_pending;
    if (admitted) {
        if (tally == nullptr) {
            tally = static_cast<pending_tally*>(g_slice_alloc0(sizeof(pending_tally)));
            tally->client = *client;
            g_hash_table_insert(pending_by_client, &tally->client, tally);
        }
        tally->connections++;
    }
    pthread_mutex_unlock(&pending_mutex);
    return admitted;
}

void forget_pending_connection(const client_address* client) {
    pthread_mutex_lock(&pending_mutex);
    pending_tally* tally = find_tally(client);
    if (tally != nullptr && --tally->connections <= 0)
        g_hash_table_remove(pending_by_client, &tally->client);
    pthread_mutex_unlock(&pending_mutex);
}

int pending_connection_count(const client_address* client) {
    pthread_mutex_lock(&pending_mutex);
    pending_tally* tally = find_tally(client);
    int n = tally != nullptr ? tally->connections : 0;
    pthread_mutex_unlock(&pending_mutex);
    return n;
}

// This thread's connections waiting for their header, oldest first: every deadline is
// the same span after its start, so the list is in deadline order and a check looks at its
// head only.
static thread_local timeout_link header_list = {&header_list, &header_list};

static connection* header_link_owner(timeout_link* link) {
    return reinterpret_cast<connection*>(reinterpret_cast<char*>(link) -
                                         offsetof(connection, header_link));
}

static int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void start_header_deadline(connection* conn, bool counted) {
    end_header_deadline(conn);
    conn->header_since_ms = monotonic_ms();
    conn->pending_counted = counted;
    timeout_link* link = &conn->header_link;
    link->prev = header_list.prev;
    link->next = &header_list;
    header_list.prev->next = link;
    header_list.prev = link;
}

void end_header_deadline(connection* conn) {
    timeout_link* link = &conn->header_link;
    if (link->next != nullptr && link->next != link) {
        link->prev->next = link->next;
        link->next->prev = link->prev;
    }
    link->next = link->prev = link;
    if (conn->pending_counted) {
        conn->pending_counted = false;
        forget_pending_connection(&conn->client);
    }
}

connection* next_header_overdue(int64_t now_ms) {
    if (header_list.next == &header_list)
        return nullptr;
    connection* conn = header_link_owner(header_list.next);
    if (now_ms - conn->header_since_ms < static_cast<int64_t>(header_timeout) * 1000)
        return nullptr;
    end_header_deadline(conn);
    return conn;
}

bool header_deadlines_waiting() {
    return header_list.next != &header_list;
}

int64_t header_clock_ms() {
    return monotonic_ms();
}
