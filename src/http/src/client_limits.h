// Per-client connection counts: every connection of a client from its accept until its
// record is released, and those among them whose request header is not whole yet.
#pragma once

#include "records.h"

#include <cstddef>

// What admit_client_connection decided.
enum client_admission : int {
    CLIENT_ADMITTED = 0,
    CLIENT_TOO_MANY_CONNECTIONS = -1, // max_client_connections reached
    CLIENT_TOO_MANY_PENDING = -2,     // max_client_pending reached
};

// Admits a new connection from `client` while its client key holds fewer than
// max_client_connections connections and fewer than max_client_pending connections with an
// incomplete header (each cap 0: none), and counts it in both. Any worker thread.
client_admission admit_client_connection(const client_address* client);
// Gives back the pending count of an admitted connection: its header is whole, or it goes.
void release_pending_connection(const client_address* client);
// Gives back the connection count of an admitted connection whose record is released.
void release_client_connection(const client_address* client);

// Counts of the client key of `client`, and the number of keys that hold any connection
// (for tests and the metrics page).
int pending_connection_count(const client_address* client);
int client_connection_count(const client_address* client);
size_t connected_client_count();
