// Slow clients: the deadlines of a connection's waits that a client could stretch (a request
// header, a statistics request, a PUT body, the close after a refusal).
#pragma once

#include "records.h"

#include <cstdint>

struct connection;

// What a connection's deadline bounds. Each kind has one span, so that each kind's list is in
// deadline order and a check looks at its heads only.
enum deadline_kind : uint8_t {
    DEADLINE_HEADER, // a request header (or a statistics request): header_timeout
    DEADLINE_LINGER, // the client's close after a last reply: LINGER_SECONDS
    DEADLINE_PUT,    // one window of a PUT body: header_timeout, PUT_MIN_RATE bytes a second
    DEADLINE_KINDS
};

// Seconds a client has to close after a reply that ends its connection (a refusal, the last
// reply of a HEAD connection at its life time).
constexpr int LINGER_SECONDS = 3;
// Bytes a second a PUT body must average over each window of header_timeout seconds, while
// the worker waits for the client (not while the file operations thread writes).
constexpr uint64_t PUT_MIN_RATE = 1024;

// The header of conn starts now: conn must be complete within header_timeout seconds.
// `counted`: the connection holds a pending count of admit_client_connection, given back
// when its header is complete or it goes. Owner thread.
void start_header_deadline(connection* conn, bool counted);
// conn must close within LINGER_SECONDS from now. Owner thread.
void start_linger_deadline(connection* conn);
// A window of conn's PUT body starts now, at the byte count `base`. Owner thread.
void start_put_window(connection* conn, uint64_t base);
// The wait of conn is over (or conn goes): no deadline, and its count is given back.
// Safe on a connection without a deadline. Owner thread.
void end_header_deadline(connection* conn);
// The oldest connection of this thread whose deadline passed at `now_ms` (CLOCK_MONOTONIC
// milliseconds), taken off its deadline list, with the kind of the deadline; null when none.
connection* next_header_overdue(int64_t now_ms, deadline_kind* kind);

// CLOCK_MONOTONIC (coarse) milliseconds, the clock of the deadlines.
int64_t header_clock_ms();
// True while a connection of this thread has a deadline: the loop must then wake up to
// enforce it even when nothing else happens.
bool header_deadlines_waiting();
