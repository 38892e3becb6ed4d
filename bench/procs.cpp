// Processes of the benchmarks: start, stop, and what /proc says about them.
#include "procs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vh_bench {

pid_t spawn(const spawn_options& options) {
    std::vector<std::string> args = options.argv;
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(options.log_path.empty() ? "/dev/null" : options.log_path.c_str(),
                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0)
        dup2(devnull, 0);
    if (options.listen_fd >= 0) {
        if (options.listen_fd != 3)
            dup2(options.listen_fd, 3);
        fcntl(3, F_SETFD, 0);
        close_range(4, UINT_MAX, 0);
        setenv("LISTEN_FDS", "1", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    } else {
        close_range(3, UINT_MAX, 0);
        unsetenv("LISTEN_FDS");
        unsetenv("LISTEN_PID");
    }
    for (const auto& name : options.unset_env)
        unsetenv(name.c_str());
    if (options.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(options.cpu, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0)
            _exit(126);
    }
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool process_alive(pid_t pid) {
    if (pid <= 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

void stop_process(pid_t pid, int grace_ms) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int listen_loopback(int* port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int free_port() {
    int port = 0;
    int fd = listen_loopback(&port, 1);
    if (fd < 0)
        return -1;
    close(fd);
    return port;
}

bool wait_connectable(int port, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

static std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

std::vector<double> thread_cpu_seconds(pid_t pid) {
    std::vector<double> seconds;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& tid : list_dir(dir)) {
        std::ifstream in(dir + "/" + tid + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns)
            seconds.push_back(static_cast<double>(ns) / 1e9);
    }
    return seconds;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child;
    while (in >> child)
        children.push_back(child);
    return children;
}

// The process and its children.
static std::vector<pid_t> process_tree(pid_t pid) {
    std::vector<pid_t> pids{pid};
    for (pid_t child : children_of(pid))
        pids.push_back(child);
    return pids;
}

double tree_cpu_seconds(pid_t pid, std::vector<double>* per_thread) {
    const std::vector<pid_t> pids = process_tree(pid);
    double total = 0;
    if (per_thread != nullptr)
        per_thread->clear();
    for (pid_t p : pids) {
        for (double s : thread_cpu_seconds(p)) {
            total += s;
            if (per_thread != nullptr)
                per_thread->push_back(s);
        }
    }
    return total;
}

long long tree_rss_bytes(pid_t pid) {
    const std::vector<pid_t> pids = process_tree(pid);
    long long total = 0;
    for (pid_t p : pids) {
        std::ifstream in("/proc/" + std::to_string(p) + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                std::istringstream fields(line.substr(6));
                long long kib = 0;
                fields >> kib;
                total += kib * 1024;
            }
        }
    }
    return total;
}

double tree_wait_seconds(pid_t pid) {
    const std::vector<pid_t> pids = process_tree(pid);
    double total = 0;
    for (pid_t p : pids) {
        std::string dir = "/proc/" + std::to_string(p) + "/task";
        for (const auto& tid : list_dir(dir)) {
            std::ifstream in(dir + "/" + tid + "/schedstat");
            unsigned long long run = 0, wait = 0;
            if (in >> run >> wait)
                total += static_cast<double>(wait) / 1e9;
        }
    }
    return total;
}

long long tree_written_bytes(pid_t pid) {
    const std::vector<pid_t> pids = process_tree(pid);
    long long total = 0;
    for (pid_t p : pids) {
        std::ifstream in("/proc/" + std::to_string(p) + "/io");
        std::string name;
        long long value = 0;
        while (in >> name >> value)
            if (name == "wchar:")
                total += value;
    }
    return total;
}

int tree_fd_count(pid_t pid) {
    const std::vector<pid_t> pids = process_tree(pid);
    int total = 0;
    for (pid_t p : pids)
        total += static_cast<int>(list_dir("/proc/" + std::to_string(p) + "/fd").size());
    return total;
}

} // namespace vh_bench
