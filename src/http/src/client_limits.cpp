// Per-client connection counts: one process-wide table by client key, so that what one
// client (one IPv4 address, one IPv6 network) holds is bounded wherever its connections land.
#include "client_limits.h"

#include "settings.h"

#include <cassert>
#include <glib.h>
#include <pthread.h>

// Guarded by its own mutex, taken at the accept, when a header is complete and when a
// record is released. A key leaves the table with its last connection, so the table never
// holds more entries than there are connections.
static pthread_mutex_t tally_mutex = PTHREAD_MUTEX_INITIALIZER;
static GHashTable* tallies = nullptr;

namespace {
struct connection_tally {
    client_address client; // the key points here
    int connections;       // admitted and not yet released
    int pending;           // among them, those whose header is not whole yet
};
} // namespace

static void free_tally(gpointer tally) {
    g_slice_free1(sizeof(connection_tally), tally);
}

// Lock held.
static connection_tally* find_tally(const client_address* client) {
    if (tallies == nullptr)
        tallies =
            g_hash_table_new_full(client_address_hash, client_address_equal, nullptr, free_tally);
    return static_cast<connection_tally*>(g_hash_table_lookup(tallies, client));
}

// Lock held.
static void drop_if_unused(connection_tally* tally) {
    if (tally->connections <= 0 && tally->pending <= 0)
        g_hash_table_remove(tallies, &tally->client);
}

client_admission admit_client_connection(const client_address* client) {
    pthread_mutex_lock(&tally_mutex);
    connection_tally* tally = find_tally(client);
    client_admission admission = CLIENT_ADMITTED;
    if (tally != nullptr && max_client_connections > 0 &&
        tally->connections >= max_client_connections)
        admission = CLIENT_TOO_MANY_CONNECTIONS;
    else if (tally != nullptr && max_client_pending > 0 && tally->pending >= max_client_pending)
        admission = CLIENT_TOO_MANY_PENDING;
    if (admission == CLIENT_ADMITTED) {
        if (tally == nullptr) {
            tally = static_cast<connection_tally*>(g_slice_alloc0(sizeof(connection_tally)));
            tally->client = client_key(*client);
            g_hash_table_insert(tallies, &tally->client, tally);
        }
        tally->connections++;
        tally->pending++;
    }
    pthread_mutex_unlock(&tally_mutex);
    return admission;
}

// Gives back one count of the client's tally: its pending headers or its connections.
static void release_count(const client_address* client, int connection_tally::*count) {
    pthread_mutex_lock(&tally_mutex);
    connection_tally* tally = find_tally(client);
    assert(tally != NULL && tally->*count > 0);
    if (tally != nullptr) {
        (tally->*count)--;
        drop_if_unused(tally);
    }
    pthread_mutex_unlock(&tally_mutex);
}

void release_pending_connection(const client_address* client) {
    release_count(client, &connection_tally::pending);
}

void release_client_connection(const client_address* client) {
    release_count(client, &connection_tally::connections);
}

int pending_connection_count(const client_address* client) {
    pthread_mutex_lock(&tally_mutex);
    connection_tally* tally = find_tally(client);
    int n = tally != nullptr ? tally->pending : 0;
    pthread_mutex_unlock(&tally_mutex);
    return n;
}

int client_connection_count(const client_address* client) {
    pthread_mutex_lock(&tally_mutex);
    connection_tally* tally = find_tally(client);
    int n = tally != nullptr ? tally->connections : 0;
    pthread_mutex_unlock(&tally_mutex);
    return n;
}

size_t connected_client_count() {
    pthread_mutex_lock(&tally_mutex);
    size_t n = tallies != nullptr ? g_hash_table_size(tallies) : 0;
    pthread_mutex_unlock(&tally_mutex);
    return n;
}
