// Worker start-up: one pinned worker thread per CPU the process may run on.
#pragma once

#include "main_thread.h"

#include <chrono>
#include <cstddef>
#include <sched.h>
#include <vector>

// The CPUs in the process's affinity mask, in ascending order. Empty on failure.
std::vector<int> allowed_cpus();

// Blocks SIGTERM and SIGINT in the calling thread and in every thread it starts later:
// run_server takes them with sigtimedwait. Main thread, before any other thread exists.
void block_stop_signals();
// Waits at most `ms` for SIGTERM or SIGINT (blocked by block_stop_signals); true when one
// came. Main thread.
bool wait_stop_signal(int ms);

// Starts the worker threads on the listening sockets, tells the service manager it is
// ready, and serves until SIGTERM or SIGINT. Then it drains: no connection is accepted
// any more (sockets of our own are shut, so clients are refused at once; inherited ones
// are left to the service manager, which queues connections for the next start), the
// running sessions and uploads get up to drain_timeout seconds to finish, and the
// session logs are written out. A second signal ends the drain at once. Returns 0 after
// the drain, or a negative value on failure (logged).
int run_server(const listen_socket* sockets, size_t count, std::chrono::seconds timeout,
               bool own_sockets);
