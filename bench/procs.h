// Processes of the benchmarks: starting the servers, and reading their CPU time, resident
// memory and descriptors from /proc.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vh_bench {

struct spawn_options {
    std::vector<std::string> argv;
    int listen_fd = -1;   // handed over as descriptor 3 with LISTEN_FDS=1 and LISTEN_PID
    std::string log_path; // standard output and error; /dev/null when empty
    std::vector<std::string> unset_env;
    int cpu = -1; // when not negative: the only CPU the process may run on
};

// Starts a program; its pid, or -1.
pid_t spawn(const spawn_options& options);
// Sends SIGTERM, then SIGKILL after `grace_ms`, and reaps the process.
void stop_process(pid_t pid, int grace_ms = 1000);
// True while the process exists and has not exited.
bool process_alive(pid_t pid);

// A listening TCP socket on 127.0.0.1 with a port the kernel chose; -1 on failure.
int listen_loopback(int* port, int backlog = 4096);
// A port that was free a moment ago (for servers that bind their own sockets).
int free_port();
// True once a TCP connection to the port succeeds, trying for at most `timeout_ms`.
bool wait_connectable(int port, int timeout_ms);

// CPU seconds each thread of the process has run (from /proc/PID/task/*/schedstat).
std::vector<double> thread_cpu_seconds(pid_t pid);
// Sum over the process and its direct children (nginx: master and workers).
double tree_cpu_seconds(pid_t pid, std::vector<double>* per_thread);
// Resident memory in bytes of the process and its direct children.
long long tree_rss_bytes(pid_t pid);
// Bytes the process and its direct children wrote (wchar of /proc/PID/io: sendfile,
// send and write alike).
long long tree_written_bytes(pid_t pid);
// Open descriptors of the process and its direct children.
int tree_fd_count(pid_t pid);
// Seconds the threads of the process and its direct children have waited, runnable, for a
// CPU (the second field of /proc/PID/task/*/schedstat).
double tree_wait_seconds(pid_t pid);
// Direct children of a process.
std::vector<pid_t> children_of(pid_t pid);

} // namespace vh_bench
