// Helpers of the load tests: hostile and abrupt clients, and what the server process
// uses while they come and go (CPU time, memory, descriptors).
#pragma once

#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <set>
#include <sys/resource.h>
#include <unistd.h>

namespace vh_test {

// Worker threads a server started by this process runs: one per allowed CPU.
inline size_t worker_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof(set), &set) != 0 ? 1 : static_cast<size_t>(CPU_COUNT(&set));
}

// Closes with a reset instead of an orderly close, as a vanishing client does.
inline void reset_close(int fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

// The epoll descriptors named by "Connection %d received by %d" lines from `from` on:
// one per worker thread that accepted a connection.
inline std::set<int> accepting_workers(const std::string& output, size_t from = 0) {
    std::set<int> workers;
    const std::string marker = " received by ";
    for (size_t pos = output.find(marker, from); pos != std::string::npos;
         pos = output.find(marker, pos + 1))
        workers.insert(std::atoi(output.c_str() + pos + marker.size()));
    return workers;
}

// The server's descriptor count once it serves: after one HEAD exchange, and once the
// count held still for half a second (-1 if it never did within 10 s).
inline int idle_descriptors(pid_t pid, int port) {
    const bool served =
        client(port, "HEAD / HTTP/1.1\r\n\r\n").recv(1, std::chrono::seconds(10)) != "";
    int last = -1, stable = 0;
    for (int i = 0; i < 100 && stable < 5; i++) {
        if (i > 0)
            usleep(100000);
        const int now = count_fds(pid);
        stable = now == last ? stable + 1 : 0;
        last = now;
    }
    return served && stable >= 5 ? last : -1;
}

// Clock ticks of CPU time process `pid` uses over the next second.
inline long cpu_ticks_in_a_second(pid_t pid) {
    const long before = cpu_ticks(pid);
    sleep(1);
    return cpu_ticks(pid) - before;
}

// Sets the soft limit of open files of process `pid` (0: this one) to `n`, at most its hard
// limit; the soft limit before, or 0 on failure.
inline rlim_t limit_open_files(pid_t pid, rlim_t n) {
    rlimit old{};
    if (prlimit(pid, RLIMIT_NOFILE, nullptr, &old) != 0)
        return 0;
    const rlimit lim{std::min(n, old.rlim_max), old.rlim_max};
    return prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0 ? old.rlim_cur : 0;
}

// Moves the calling thread into the network namespace `name` (made with `ip netns add`);
// false on failure.
inline bool enter_netns(const std::string& name) {
    const int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return entered;
}

} // namespace vh_test
