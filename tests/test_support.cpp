// Helpers shared by the tests: temporary files, loopback sockets and server processes.
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
#include <sys/wait.h>
#include <unistd.h>

namespace vh_test {

using clock_type = std::chrono::steady_clock;

// The time left until `deadline`.
static std::chrono::milliseconds left(clock_type::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
}

long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    long utime = 0, stime = 0; // fields 14 and 15, after the name in parentheses
    if (paren == std::string::npos ||
        sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
               &utime, &stime) != 2)
        return -1;
    return utime + stime;
}

long rss_kib(pid_t pid) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

std::string make_temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vh-test-XXXXXX").string();
    return mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, size_t size) {
    std::mt19937_64 rng(42);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary) << data;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The number of descriptors open in process `pid` (-1 if its table is unreadable), and an
// "N -> target" line for each in `*lines` if given.
static int list_fds(pid_t pid, std::string* lines) {
    std::error_code ec, gone; // gone: a descriptor closed meanwhile
    int n = 0;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
    for (; !ec && it != end; it.increment(ec), n++)
        if (lines != nullptr)
            *lines += it->path().filename().string() + " -> " +
                      std::filesystem::read_symlink(it->path(), gone).string() + "\n";
    return ec ? -1 : n;
}

int count_fds(pid_t pid) {
    return list_fds(pid, nullptr);
}

std::string describe_fds(pid_t pid) {
    std::string lines;
    list_fds(pid, &lines);
    return lines;
}

socklen_t loopback_address(bool ipv6, int port, sockaddr_storage* addr) {
    *addr = {};
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        return sizeof(*a);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(*a);
}

int listen_loopback(bool ipv6, int* port, bool nonblocking) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage addr;
    socklen_t len = loopback_address(ipv6, 0, &addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return fd;
}

int connect_loopback(int port, bool ipv6) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage addr;
    socklen_t len = loopback_address(ipv6, port, &addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0)
        return fd;
    close(fd);
    return -1;
}

int send_new(int port, const std::string& text) {
    int fd = connect_loopback(port);
    if (fd >= 0 && !send_all(fd, text)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Receives up to `n` bytes until the peer closes or `timeout` passes; `*closed` tells whether
// the peer closed (an end of stream or a reset).
static std::string receive(int fd, size_t n, std::chrono::milliseconds timeout, bool* closed) {
    std::string out;
    const auto deadline = clock_type::now() + timeout;
    char buf[65536];
    bool ended = false;
    while (out.size() < n) {
        const long wait = left(deadline).count();
        pollfd p{fd, POLLIN, 0};
        if (wait <= 0 || poll(&p, 1, static_cast<int>(wait)) <= 0)
            break;
        ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (got <= 0) {
            ended = got == 0 || errno == ECONNRESET;
            break;
        }
        out.append(buf, static_cast<size_t>(got));
    }
    if (closed != nullptr)
        *closed = ended;
    return out;
}

std::string read_until_close(int fd, std::chrono::milliseconds timeout) {
    return receive(fd, SIZE_MAX, timeout, nullptr);
}

std::string read_until_close(int fd, std::chrono::milliseconds timeout, bool* closed) {
    return receive(fd, SIZE_MAX, timeout, closed);
}

std::string recv_exact(int fd, size_t n, std::chrono::milliseconds timeout) {
    return receive(fd, n, timeout, nullptr);
}

bool wait_closed(int fd, std::chrono::milliseconds timeout) {
    bool closed = false;
    receive(fd, SIZE_MAX, timeout, &closed);
    return closed;
}

bool peer_closed(int fd) {
    char buf[65536];
    for (int i = 0; i < 1000; i++) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0)
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
    return false;
}

std::string read_reply_head(int fd, std::chrono::milliseconds timeout) {
    std::string head;
    const auto deadline = clock_type::now() + timeout;
    while (head.find("\r\n\r\n") == std::string::npos) {
        std::string c = recv_exact(fd, 1, left(deadline));
        if (c.empty())
            break;
        head += c;
    }
    return head;
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

void expect_only_lines(const std::string& output, const std::vector<std::string>& known) {
    std::istringstream lines(output);
    int unexpected = 0;
    for (std::string line; std::getline(lines, line);)
        if (std::none_of(known.begin(), known.end(),
                         [&](const std::string& k) { return line.find(k) != std::string::npos; }) &&
            unexpected++ < 20)
            ADD_FAILURE() << "unexpected log line: " << line;
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
    if (std::none_of(opts.args.begin(), opts.args.end(),
                     [](const std::string& a) { return a == "-f" || a.rfind("--file", 0) == 0; })) {
        opts.args.push_back("-f");
        opts.args.push_back(test_file());
    }
    start(proc, opts);
    close(fd);
    return port;
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
    for (ssize_t n; (n = read(out_fd, buf, sizeof(buf))) > 0;)
        output.append(buf, static_cast<size_t>(n));
}

bool server_process::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_count(text, 1, timeout);
}

bool server_process::wait_count(const std::string& text, int n, std::chrono::milliseconds timeout) {
    auto deadline = clock_type::now() + timeout;
    for (;;) {
        if (count_occurrences(output, text) >= n)
            return true;
        const auto wait = left(deadline);
        if (wait.count() <= 0)
            return false;
        poll_output(std::min(wait, std::chrono::milliseconds(100)));
    }
}

int settle_fds(server_process& proc, int target, std::chrono::milliseconds timeout) {
    const auto deadline = clock_type::now() + timeout;
    int fds = count_fds(proc.pid);
    for (; fds != target && clock_type::now() < deadline; fds = count_fds(proc.pid))
        proc.poll_output(std::chrono::milliseconds(100));
    return fds;
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
    std::string program = opts.program.empty() ? VH_HTTPD_PATH : opts.program;
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (opts.inherit_fd >= 0) {
            dup2(opts.inherit_fd, 3);
            fcntl(3, F_SETFD, 0); // inherited across exec
            close_range(4, ~0U, 0);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        } else {
            close_range(3, ~0U, 0);
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
            std::istringstream list(opts.cpu_list);
            for (std::string cpu; std::getline(list, cpu, ',');)
                CPU_SET(std::stoi(cpu), &set);
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
