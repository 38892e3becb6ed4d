// Helpers shared by the tests: temporary files, loopback sockets and server processes.
#include "test_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vh_test {

using clock_type = std::chrono::steady_clock;

// Clock ticks of CPU time (user and system) the process used so far.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// Resident memory of the process in KiB (-1 if unknown).
long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

std::string make_temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vh-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return "";
    return buf.data();
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, size_t size) {
    std::mt19937_64 rng(42);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++)
        data[i] = static_cast<char>(rng());
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The descriptor numbers open in process `pid`; false when its table cannot be read.
static bool list_fds(pid_t pid, std::vector<std::string>* names) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            names->emplace_back(e->d_name);
    closedir(d);
    return true;
}

int count_fds(pid_t pid) {
    std::vector<std::string> names;
    return list_fds(pid, &names) ? static_cast<int>(names.size()) : -1;
}

std::string describe_fds(pid_t pid) {
    std::vector<std::string> names;
    list_fds(pid, &names);
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    std::string out;
    for (const std::string& name : names) {
        char target[256] = {};
        ssize_t n = readlink((dir + name).c_str(), target, sizeof(target) - 1);
        out += name + " -> " + (n > 0 ? std::string(target, n) : "?") + "\n";
    }
    return out;
}

int listen_loopback(bool ipv6, int* port, bool nonblocking) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage addr{};
    socklen_t len;
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof(*a);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*a);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 128) != 0) {
        close(fd);
        return -1;
    }
    len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                 : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return fd;
}

int connect_loopback(int port, bool ipv6) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int rc;
    if (ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_until_close(int fd, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = clock_type::now() + timeout;
    char buf[65536];
    while (clock_type::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool send_all(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string recv_exact(int fd, size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = clock_type::now() + timeout;
    std::vector<char> buf(65536);
    while (out.size() < n && clock_type::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
            break;
        ssize_t got = recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf.data(), static_cast<size_t>(got));
    }
    return out;
}

int count_occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

int start_activated(server_process& proc, start_options opts, bool nonblocking) {
    int port = 0;
    int fd = listen_loopback(false, &port, nonblocking);
    if (fd < 0)
        return -1;
    opts.inherit_fd = fd;
    bool has_file = false;
    for (const auto& a : opts.args)
        if (a == "-f" || a.rfind("--file", 0) == 0)
            has_file = true;
    if (!has_file) {
        opts.args.push_back("-f");
        opts.args.push_back(test_file());
    }
    start(proc, opts);
    close(fd);
    return port;
}

bool wait_closed(int fd, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    char buf[65536];
    while (clock_type::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
            return false;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
    return false;
}

server_process::~server_process() {
    kill_now();
    if (out_fd >= 0)
        close(out_fd);
}

void server_process::poll_output(std::chrono::milliseconds timeout) {
    if (out_fd < 0)
        return;
    pollfd p{out_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return;
    char buf[65536];
    for (;;) {
        ssize_t n = read(out_fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        output.append(buf, static_cast<size_t>(n));
    }
}

bool server_process::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    for (;;) {
        if (output.find(text) != std::string::npos)
            return true;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0)
            return false;
        poll_output(std::min(left, std::chrono::milliseconds(100)));
    }
}

bool server_process::wait_count(const std::string& text, int n, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    for (;;) {
        if (count_occurrences(output, text) >= n)
            return true;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0)
            return false;
        poll_output(std::min(left, std::chrono::milliseconds(100)));
    }
}

int server_process::wait_exit(std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    while (pid > 0) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            poll_output(std::chrono::milliseconds(0));
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (clock_type::now() >= deadline)
            return -1;
        poll_output(std::chrono::milliseconds(20));
    }
    return -1;
}

void server_process::kill_now() {
    if (pid > 0) {
        poll_output(std::chrono::milliseconds(0));
        // A sanitizer report in the server's output fails the test that ran it.
        for (const char* report : {"Sanitizer", "runtime error:"})
            if (output.find(report) != std::string::npos)
                ADD_FAILURE() << "sanitizer report from the server:\n" << output;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

void start(server_process& proc, const start_options& opts) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        abort();
    std::string program = opts.program.empty() ? httpd_path() : opts.program;
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (opts.inherit_fd >= 0) {
            if (opts.inherit_fd != 3)
                dup2(opts.inherit_fd, 3);
            int flags = fcntl(3, F_GETFD);
            fcntl(3, F_SETFD, flags & ~FD_CLOEXEC);
            close_range(4, UINT_MAX, 0);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        } else {
            close_range(3, UINT_MAX, 0);
            unsetenv("LISTEN_FDS");
            unsetenv("LISTEN_PID");
        }
        for (const auto& name : opts.unset_env)
            unsetenv(name.c_str());
        for (const auto& [name, value] : opts.env)
            setenv(name.c_str(), value.c_str(), 1);
        if (!opts.cpu_list.empty()) {
            cpu_set_t set;
            CPU_ZERO(&set);
            std::stringstream ss(opts.cpu_list);
            std::string item;
            while (std::getline(ss, item, ','))
                CPU_SET(std::stoi(item), &set);
            if (sched_setaffinity(0, sizeof(set), &set) != 0)
                _exit(126);
        }
        if (opts.nofile >= 0) {
            rlimit lim{static_cast<rlim_t>(opts.nofile), static_cast<rlim_t>(opts.nofile)};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
                _exit(125);
        }
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv;
        for (auto& s : argv_s)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    proc.pid = pid;
    proc.out_fd = out[0];
}

std::string http_request(const std::string& method, const std::string& target,
                         const std::string& lines) {
    return method + " " + target + " HTTP/1.1\r\n" + lines + "\r\n";
}

std::string controlled_query(uint64_t session, size_t conns, size_t index, uint32_t unit) {
    return "CONTROL=1&UNITID=" + std::to_string(unit) + "&SESSIONID=" + std::to_string(session) +
           "&NUM_CONNECTIONS=" + std::to_string(conns) + "&CONNECTION=" + std::to_string(index);
}

std::string download_request(uint64_t session, size_t conns, size_t index,
                             const std::string& extra) {
    return http_request("GET", "/file?" + controlled_query(session, conns, index) + extra);
}

std::string upload_request(uint64_t session, size_t conns, size_t index, const std::string& rules,
                           const std::string& extra) {
    return http_request("POST",
                        "/up?" + controlled_query(session, conns, index) + "&" + rules + extra);
}

start_options options(std::vector<std::string> args,
                      std::vector<std::pair<std::string, std::string>> env) {
    start_options opts;
    opts.args = std::move(args);
    opts.env = std::move(env);
    return opts;
}

const char* httpd_path() {
    return VH_HTTPD_PATH;
}

std::string test_file() {
    static std::string path = [] {
        std::string dir = make_temp_dir();
        std::string p = dir + "/payload.bin";
        write_file(p, 1 << 20);
        return p;
    }();
    return path;
}

} // namespace vh_test
