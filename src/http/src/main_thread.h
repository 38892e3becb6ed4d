// Worker threads: the epoll loop and its dispatch, accepting, and a worker's start-up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <glib.h>
#include <sys/epoll.h>

#include "records.h"

// Shared, read-only argument of every worker thread.
struct main_thread_args {
    const listen_socket* sockets;
    size_t num_sockets;
    std::chrono::seconds session_timeout;
};

struct connection;

// Worker thread start routine; arg is the shared main_thread_args. Never returns.
void* main_thread(void* arg);

// One iteration of the worker loop: wait, dispatch, idle scan, periodic checks.
void main_loop(int epfd, epoll_event* events, int max_events, GHashTable* pending_sessions,
               std::chrono::seconds timeout);

// Accepts on ls until the queue is empty (or a resource runs out: accepting is
// then paused on this thread until descriptors are freed).
void handle_listen_socket(int epfd, const listen_socket* ls);

// Runs the handler of conn's state for one event. 0 keep, -1 destroy, -2 disable,
// -3 the peer finished its upload, -4 handed to another thread.
int handle_connection(int epfd, uint32_t events, connection* conn);

// True while accepting is paused on the calling thread; pausing and resuming it.
bool thread_accept_paused();
void set_accept_paused(bool paused);
// True when the process could open one more descriptor (probed, closed at once).
bool room_for_connection(int any_fd);

// Sets up a worker on the calling thread: its epoll set (watching the listening sockets), its
// time-out list and its timer descriptor. main_thread() runs it for good; a caller that owns
// the thread may instead run it step by step with run_worker_step. The epoll descriptor, or
// -1 (logged, errno set).
int open_worker(const listen_socket* sockets, size_t count);
// One iteration of that worker's loop, as main_thread() runs it, when an event comes within
// `wait_ms` milliseconds (0: only those ready now). False when none came.
bool run_worker_step(int epfd, GHashTable* pending_sessions, const listen_socket* sockets,
                     size_t count, std::chrono::seconds timeout, int wait_ms);
