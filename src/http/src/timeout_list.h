// The time-out list: a worker's connections in order of their last event, least recent first.
#pragma once

#include "records.h"

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
