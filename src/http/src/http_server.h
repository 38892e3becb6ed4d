// Worker start-up: one pinned worker thread per CPU the process may run on.
#pragma once

#include "main_thread.h"

#include <chrono>
#include <cstddef>
#include <sched.h>
#include <vector>

// The CPUs in the process's affinity mask, in ascending order. Empty on failure.
std::vector<int> allowed_cpus();

// Starts the worker threads on the listening sockets and waits for the last one.
// Returns only on failure, with a negative value (logged).
int run_server(const listen_socket* sockets, size_t count, std::chrono::seconds timeout);
