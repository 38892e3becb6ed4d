// Worker timers: every session timer of one worker thread in one deadline heap, driven by
// a single timer descriptor in the worker's epoll set.
#pragma once

#include "records.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

struct timer_queue;

// One timer of a session, inside the session record. While armed it sits in the heap of
// the queue of the worker that owns the session; nothing else refers to it.
struct session_timer {
    uint32_t kind;        // EPOLL_SESSION_*_TIMER: which member of the session, what it does
    bool exists;          // the session has this timer at all
    size_t heap_slot;     // position in the queue's heap plus one; 0 while not armed
    int64_t due_ns;       // next expiry, CLOCK_MONOTONIC nanoseconds
    int64_t period_ns;    // 0: one-shot
    uint64_t order;       // start order: equal deadlines expire in the order they were set
    uint64_t expirations; // expiries the last dispatch took together (missed periods included)
    timer_queue* queue;   // the queue it was last armed in
};

// The timers of one worker. The descriptor is set, one-shot and absolute, to the earliest
// deadline when that is earlier than what it is set to already; stopping a timer never
// touches it, so a stop costs no system call and the descriptor may wake the worker for a
// timer that is gone, which a dispatch then finds nothing due for.
struct timer_queue {
    varnholt::epoll_data head;        // EPOLL_WORKER_TIMER; fd -1: no descriptor (run by hand)
    std::vector<session_timer*> heap; // min-heap by (due_ns, order)
    int64_t programmed_ns;            // expiry the descriptor is set to; 0: not set
    uint64_t next_order;
};

// The calling thread's queue. Sessions put their timers into the queue of the thread that
// creates them, which is the thread that owns them.
timer_queue* thread_timer_queue();

// Creates the queue's descriptor and registers it with epfd for EPOLLIN. 0, or -1 with
// errno set. Worker start-up.
int timer_queue_open(timer_queue* queue, int epfd);

// CLOCK_MONOTONIC now, in nanoseconds.
int64_t monotonic_now_ns();

// Arms (or re-arms) a timer as a relative timerfd_settime would: first expiry `first`
// after `now_ns`, then every `interval` (zero: one-shot). A zero `first` leaves the timer
// stopped. -1 with errno EINVAL for a time out of range (negative, or nanoseconds beyond a
// second), which leaves the timer as it was; -1 with errno from setting the descriptor,
// which leaves the timer armed.
int timer_start_at(timer_queue* queue, session_timer* timer, int64_t now_ns, timespec first,
                   timespec interval);
// The same, from the current time.
int timer_start(timer_queue* queue, session_timer* timer, timespec first, timespec interval);

// Disarms a timer: it will not expire again until started again, even when it was due in
// the dispatch under way. Safe on a timer that is not armed.
void timer_stop(session_timer* timer);

// True while the timer is armed.
bool timer_armed(const session_timer* timer);

// Takes the earliest timer due at `now_ns` or before out of the heap and returns it, with
// `expirations` set to the number of its expiries up to `now_ns` (periods it missed are
// taken together, as a timerfd read counts them). A periodic timer is back in the heap for
// its next expiry after `now_ns`, a one-shot timer is stopped. Null when none is due.
// Handlers of returned timers may stop or start any timer: a stopped one is not returned.
session_timer* timer_queue_next_due(timer_queue* queue, int64_t now_ns);

// Consumes the descriptor's expiration count after its epoll event. False when the read
// failed for any reason but an empty count (a descriptor set again since its event).
bool timer_queue_consume(timer_queue* queue);

// Sets the descriptor for the earliest deadline after a dispatch at `now_ns`, when it is
// not set for that or earlier. 0, or -1 with errno set.
int timer_queue_reprogram(timer_queue* queue, int64_t now_ns);

// Moves the clock of the calling thread's timers `ns` nanoseconds ahead of CLOCK_MONOTONIC
// (monotonic_now_ns() includes it), so that a worker run step by step can let time pass
// without waiting: timers that become due fire at the worker's next wait. 0, or -1 with
// errno from setting the descriptor.
int advance_thread_clock(int64_t ns);
// What advance_thread_clock() added so far on the calling thread (0 in the server): the
// coarse clocks of the connection deadlines and the idle scan add it too.
int64_t thread_clock_offset_ns();
