// Slow clients: every header has a deadline counted from the accept (or from the end of the
// previous reply on a connection that sends several, or from the first byte of a statistics
// request), a PUT body a minimum rate, a connection told to go a few seconds to close; and one
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

// This thread's connections with a deadline, one list per kind, oldest first: every
// deadline of a kind is the same span after its start, so each list is in deadline order and
// a check looks at its head only.
static thread_local timeout_link deadline_lists[DEADLINE_KINDS] = {
    {&deadline_lists[0], &deadline_lists[0]},
    {&deadline_lists[1], &deadline_lists[1]},
    {&deadline_lists[2], &deadline_lists[2]}};
static_assert(DEADLINE_KINDS == 3);

static connection* header_link_owner(timeout_link* link) {
    return reinterpret_cast<connection*>(reinterpret_cast<char*>(link) -
                                         offsetof(connection, header_link));
}

static int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static int64_t span_ms(deadline_kind kind) {
    return static_cast<int64_t>(kind == DEADLINE_LINGER ? LINGER_SECONDS : header_timeout) * 1000;
}

static void start_deadline(connection* conn, deadline_kind kind) {
    conn->header_since_ms = monotonic_ms();
    timeout_link* list = &deadline_lists[kind];
    timeout_link* link = &conn->header_link;
    link->prev = list->prev;
    link->next = list;
    list->prev->next = link;
    list->prev = link;
}

void start_header_deadline(connection* conn, bool counted) {
    end_header_deadline(conn);
    conn->pending_counted = counted;
    start_deadline(conn, DEADLINE_HEADER);
}

void start_linger_deadline(connection* conn) {
    end_header_deadline(conn);
    start_deadline(conn, DEADLINE_LINGER);
}

void start_put_window(connection* conn, uint64_t base) {
    end_header_deadline(conn);
    conn->window_base = base;
    start_deadline(conn, DEADLINE_PUT);
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

connection* next_header_overdue(int64_t now_ms, deadline_kind* kind) {
    for (int k = 0; k < DEADLINE_KINDS; k++) {
        timeout_link* list = &deadline_lists[k];
        if (list->next == list)
            continue;
        connection* conn = header_link_owner(list->next);
        if (now_ms - conn->header_since_ms < span_ms(static_cast<deadline_kind>(k)))
            continue;
        end_header_deadline(conn);
        *kind = static_cast<deadline_kind>(k);
        return conn;
    }
    return nullptr;
}

bool header_deadlines_waiting() {
    for (const timeout_link& list : deadline_lists)
        if (list.next != &list)
            return true;
    return false;
}

int64_t header_clock_ms() {
    return monotonic_ms();
}
