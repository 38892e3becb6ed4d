// Slow clients before their session: the deadline of a request header and the per-address
// cap on connections whose header is not complete yet.
#pragma once

#include "records.h"

#include <cstdint>

struct connection;

// Admits a new connection from `client` while that address holds fewer than
// max_client_pending connections with an incomplete header (0: no cap), and counts it.
// False when the cap is reached. Any worker thread.
bool admit_pending_connection(const client_address* client);
// Takes back a count of admit_pending_connection for a connection never made.
void forget_pending_connection(const client_address* client);

// The header of conn starts now: conn must be complete within header_timeout seconds.
// `counted`: the connection holds a count of admit_pending_connection, given back when its
// header is complete or it goes. Owner thread.
void start_header_deadline(connection* conn, bool counted);
// The header of conn is complete (or conn goes): no deadline, and its count is given back.
// Safe on a connection without a deadline. Owner thread.
void end_header_deadline(connection* conn);
// The oldest connection of this thread whose header deadline passed at `now_ms`
// (CLOCK_MONOTONIC milliseconds), taken off the deadline list; null when none.
connection* next_header_overdue(int64_t now_ms);

// CLOCK_MONOTONIC (coarse) milliseconds, the clock of the deadlines.
int64_t header_clock_ms();
// True while a connection of this thread waits for its header: the loop must then wake up
// to enforce the deadline even when nothing else happens.
bool header_deadlines_waiting();
// Connections from `client` counted as pending (for tests and diagnostics).
int pending_connection_count(const client_address* client);
