// A session's connections carried by other workers for their data phase: lending, the
// carrier's side, the return to the owner and the owner's recall.
#pragma once

#include <cstdint>
#include <glib.h>

struct connection;
struct session;

// Tests and the single-threaded fuzz driver: lend connections even to the worker that owns
// their session, so that one thread runs every message of the protocol. Off in the server.
extern bool lend_within_worker;

// After its first reply, a connection of a session of several connections moves to the
// worker its index places it on (when that is another one) and is carried there for its
// data phase. True when conn, on the owner's worker `epfd`, was lent: it is no longer
// this thread's to touch until it comes back.
bool lend_if_spread(int epfd, connection* conn);
// True when lend_if_spread would lend conn now.
bool would_lend(int epfd, const connection* conn);

// After a session's periodic check: its connections that came back while it was due, and
// would be lent, go out again (with points from the check's new limits).
void lend_kept_connections(int epfd, session* sess);

// The carrier's side, after a lent connection's event: a result other than 0 (-1 end,
// -2 disable, -3 the client finished sending), or a count past the point its owner asked to
// see it at, sends it back to the owner with that result. True when it went back.
bool carrier_after_event(connection* conn, int result);
// Sends a lent connection back to its owner from the calling carrier with `result`.
void give_back(connection* conn, int result);

// The mail of the calling worker (the epoll descriptor `epfd`): connections lent to it,
// recalled from it and given back to it. Returned connections' results are applied as if
// their event had happened here, putting sessions due a check into pending_sessions.
void handle_worker_mail(int epfd, GHashTable* pending_sessions);

// The results of a connection's event, on the worker that owns its session: 0 stay, -1
// end it, -2 disable it, -3 the client finished sending, -4 it is another worker's now.
// Sessions due a check go into pending_sessions.
void apply_connection_result(connection* conn, int result, GHashTable* pending_sessions);
