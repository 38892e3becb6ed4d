// Worker start-up: one worker thread per allowed CPU, each pinned to its CPU.
#include "http_server.h"

#include "settings.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/sysinfo.h>

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

int run_server(const listen_socket* sockets, size_t count, std::chrono::seconds timeout) {
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
    }
    CPU_FREE(set);

    rc = pthread_join(last_thread, nullptr);
    VH_LOG(LOG_ERR, "pthread_join: %s", strerror(rc));
    return -1;
}
