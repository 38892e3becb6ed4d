// Worker start-up: one worker thread per allowed CPU, each pinned to its CPU.
#include "http_server.h"

#include "connection.h"
#include "file_ops.h"
#include "metrics.h"
#include "session.h"
#include "settings.h"
#include "tls.h"
#include "token.h"
#include "workers.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <systemd/sd-daemon.h>

std::vector<int> allowed_cpus() {
    std::vector<int> cpus;
    // The mask may be larger than the number of configured CPUs on some kernels;
    // grow the set until the kernel accepts its size.
    for (int size = 1024; size <= (1 << 20); size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr)
            return cpus;
        size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            for (int cpu = 0; cpu < size; cpu++)
                if (CPU_ISSET_S(cpu, bytes, set))
                    cpus.push_back(cpu);
            CPU_FREE(set);
            return cpus;
        }
        int err = errno;
        CPU_FREE(set);
        if (err != EINVAL)
            return cpus;
    }
    return cpus;
}

static sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    // Not a stop signal: it asks for the token keys and the TLS certificate to be read again.
    // Blocked and waited for with the others, so that only the main thread ever sees it.
    sigaddset(&set, SIGHUP);
    return set;
}

void block_stop_signals() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

static void notify(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void notify(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    // Without a service manager listening (no NOTIFY_SOCKET) this does nothing.
    sd_notify(0, text);
}

bool wait_stop_signal(int ms) {
    sigset_t set = stop_signals();
    timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
    int sig;
    do {
        sig = sigtimedwait(&set, nullptr, &wait);
        if (sig == SIGHUP) {
            reload_token_keys();
            reload_tls();
        }
    } while ((sig < 0 && errno == EINTR) || sig == SIGHUP);
    return sig == SIGTERM || sig == SIGINT;
}

using steady = std::chrono::steady_clock;

// The worker threads, for waking them when the drain ends.
static std::vector<pthread_t> workers;

// Wakes a worker out of epoll_wait; the handler itself does nothing.
static constexpr int WAKE_SIGNAL = SIGUSR2;
static void on_wake_signal(int) {}

// The drain ended with sessions still running: every worker finishes those it owns, so
// that their logs are written (and say they were cut short) before the process ends.
// A worker sees the request in its next loop iteration: wake each until all did.
static void finish_sessions_cut_short() {
    request_cut_short();
    for (int i = 0; i < 40 && cut_short_workers_done() < static_cast<int>(workers.size()); i++) {
        for (pthread_t worker : workers)
            pthread_kill(worker, WAKE_SIGNAL);
        timespec pause = {0, 50000000};
        nanosleep(&pause, nullptr);
    }
    if (cut_short_workers_done() < static_cast<int>(workers.size()))
        VH_LOG(LOG_WARNING, "Stopping: %d of %zu workers finished their sessions in time",
               cut_short_workers_done(), workers.size());
}

static long seconds_between(steady::time_point a, steady::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(b - a).count());
}

// The life of the main thread once the workers run: status for the service manager,
// then the drain after a stop signal. 0 when the process may end.
static int serve_until_stopped(const listen_socket* sockets, size_t count, bool own_sockets) {
    static constexpr int STATUS_PERIOD_MS = 5000;
    static constexpr int DRAIN_POLL_MS = 100;
    size_t last_sessions = SIZE_MAX;
    notify("READY=1\nSTATUS=Serving, %zu sessions running", session_count());
    for (;;) {
        if (wait_stop_signal(STATUS_PERIOD_MS))
            break;
        size_t sessions = session_count();
        if (sessions != last_sessions)
            notify("STATUS=Serving, %zu sessions running", sessions);
        last_sessions = sessions;
    }

    const steady::time_point started = steady::now();
    const steady::time_point deadline = started + std::chrono::seconds(drain_timeout);
    // A service manager would kill us before the drain is over: ask it for the time.
    notify("STOPPING=1\nEXTEND_TIMEOUT_USEC=%lld\nSTATUS=Stopping, %zu sessions running",
           (static_cast<long long>(drain_timeout) + 10) * 1000000LL, session_count());
    set_metrics_draining();
    stop_accepting(sockets, count);
    if (own_sockets) {
        // Shut, not closed: a worker may still be in an accept on it, and a closed
        // descriptor's number could be reused under it. The kernel refuses new
        // connections from here on, and resets those still queued.
        for (size_t i = 0; i < count; i++)
            shutdown(sockets[i].fd, SHUT_RD);
    }
    VH_LOG(LOG_INFO, "Stopping: accepting ended, %zu sessions and %ld uploads may run %d s more",
           session_count(), put_uploads_running(), drain_timeout);

    long last_reported = -1;
    for (;;) {
        size_t sessions = session_count();
        long uploads = put_uploads_running();
        if (sessions == 0 && uploads == 0)
            break;
        steady::time_point now = steady::now();
        if (now >= deadline) {
            VH_LOG(LOG_WARNING, "Stopping: %zu sessions and %ld uploads cut short after %d s",
                   sessions, uploads, drain_timeout);
            finish_sessions_cut_short();
            break;
        }
        long elapsed = seconds_between(started, now);
        if (elapsed != last_reported) {
            notify("STATUS=Stopping, %zu sessions running, %ld s left", sessions,
                   static_cast<long>(drain_timeout) - elapsed);
            last_reported = elapsed;
        }
        if (wait_stop_signal(DRAIN_POLL_MS)) {
            VH_LOG(LOG_WARNING, "Stopping at once: %zu sessions and %ld uploads cut short",
                   sessions, uploads);
            finish_sessions_cut_short();
            break;
        }
    }
    // Session logs and uploads handed to the file operations thread are written out.
    if (wait_file_ops_done(5000) != 0)
        VH_LOG(LOG_WARNING, "Stopping: session logs still being written were cut short");
    VH_LOG(LOG_INFO, "Stopped after %ld s", seconds_between(started, steady::now()));
    notify("STATUS=Stopped");
    return 0;
}

int run_server(const listen_socket* sockets, size_t count, std::chrono::seconds timeout,
               bool own_sockets) {
    // Pinning to CPUs 0..get_nprocs()-1 fails under taskset or a container's cpuset;
    // the process's own affinity mask names the CPUs it may really use.
    std::vector<int> cpus = allowed_cpus();
    int num_cpus = static_cast<int>(cpus.size());
    assert(num_cpus > 0);
    int max_cpu = cpus.back() + 1;

    cpu_set_t* set = CPU_ALLOC(max_cpu);
    if (set == nullptr) {
        VH_LOG(LOG_ERR, "CPU_ALLOC: %s", strerror(errno));
        return -1;
    }
    size_t set_size = CPU_ALLOC_SIZE(max_cpu);

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_attr_init: %s", strerror(rc));
        CPU_FREE(set);
        return -1;
    }

    // Lives as long as the worker threads: this function never returns while they run.
    static main_thread_args args;
    args.sockets = sockets;
    args.num_sockets = count;
    args.session_timeout = timeout;

    // No SA_RESTART: the signal is to end a worker's epoll_wait.
    struct sigaction wake {};
    wake.sa_handler = on_wake_signal;
    sigemptyset(&wake.sa_mask);
    sigaction(WAKE_SIGNAL, &wake, nullptr);

    pthread_t last_thread{};
    for (int i = 0; i < num_cpus; i++) {
        CPU_ZERO_S(set_size, set);
        CPU_SET_S(cpus[i], set_size, set);
        rc = pthread_attr_setaffinity_np(&attr, set_size, set);
        if (rc != 0) {
            VH_LOG(LOG_ERR, "pthread_attr_setaffinity_np: %s", strerror(rc));
            CPU_FREE(set);
            return -1;
        }
        rc = pthread_create(&last_thread, &attr, main_thread, &args);
        if (rc != 0) {
            VH_LOG(LOG_ERR, "pthread_create: %s", strerror(rc));
            CPU_FREE(set);
            return -1;
        }
        workers.push_back(last_thread);
    }
    CPU_FREE(set);
    pthread_attr_destroy(&attr);
    (void)last_thread;
    return serve_until_stopped(sockets, count, own_sockets);
}
