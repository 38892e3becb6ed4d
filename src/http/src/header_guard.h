// Slow clients before their session: the deadline of a request header.
#pragma once

#include "records.h"

#include <cstdint>

struct connection;

// The header of conn starts now: conn must be complete within header_timeout seconds.
// `counted`: the connection holds a pending count of admit_client_connection, given back
// when its header is complete or it goes. Owner thread.
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
