// The worker registry: every worker's epoll descriptor and the sessions it owns, where new
// sessions go, the workers' mailboxes, the end of accepting, and the batch of events a worker
// is dispatching.
#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <sys/epoll.h>

struct connection;

// The epoll descriptor of the worker running on the calling thread, -1 on any other thread.
int worker_epfd();

// Makes the calling thread the worker of `epfd` and gives it its slot in the registry.
void register_worker(int epfd);

// A burst of new sessions would otherwise all go to the worker that happened to drain the
// shared listening socket: each new session is given to the worker owning the fewest live
// sessions (the calling one when it is among them, or when the fewest are not a quarter
// fewer than its own). Returns the epoll descriptor of the worker that should own a session the
// worker of `epfd` is creating; `epfd` itself when it belongs to no registered worker.
int choose_session_owner(int epfd);
// Counts a published session in (+1), or a destroyed one out (-1), of its owner's tally.
void count_owned_session(int owner_epfd, int delta);
// Live sessions owned by the worker of `epfd` (0 for none). Any thread.
long owned_session_count(int epfd);

// Registered workers, and the epoll descriptor of the worker `offset` places after the
// worker of `epfd` in the registry (wrapping round; `epfd` itself when it is not registered).
size_t worker_count();
int worker_after(int epfd, size_t offset);

// Messages between workers about a connection one of them lends another (lending.h).
enum mail_kind : uint32_t {
    MAIL_LEND = 0,   // owner to carrier: take this connection into your epoll set
    MAIL_RECALL = 1, // owner to carrier: give it back (ignored when already on its way back)
    MAIL_RETURN = 2, // carrier to owner: here it is, with the result of its last event
};
struct worker_mail {
    mail_kind kind;
    int result;
    connection* conn;
};
// Opens the calling worker's mailbox: an eventfd registered in its epoll set (kind
// EPOLL_WORKER_MAIL). 0 or -1 (logged).
int open_mailbox(int epfd);
// Queues mail for the worker of `epfd` and wakes it. Any thread; -1 when that worker has no
// mailbox.
int post_mail(int epfd, const worker_mail& mail);
// The calling worker's mail so far, in the order posted; *count is set. The array stays
// valid until the next call. Clears the wake-up.
const worker_mail* take_mail(size_t* count);

// Ends accepting on every worker: the listening sockets leave every epoll set and no
// worker accepts again. Main thread, once, when the server starts stopping.
void stop_accepting(const listen_socket* sockets, size_t count);

// True once stop_accepting has run. Any thread.
bool accepting_is_stopped();

// The events a worker is dispatching: `events[next..count)` are still to come.
struct event_batch {
    epoll_event* events;
    int next;
    int count;
};

// The calling worker's batch.
event_batch* thread_event_batch();
// True for the record that forget_pending_events points dropped events at: skip them.
bool is_stale_record(const void* record);
// Drops the events of the batch being dispatched that still point at a record
// about to be released. Owner thread.
void forget_pending_events(const void* record);
