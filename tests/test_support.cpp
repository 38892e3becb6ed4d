// Helpers shared by the tests: temporary files, loopback sockets and server processes.
#include "test_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vh_test {

using ms = std::chrono::milliseconds;

// The time left until `deadline`.
static ms left(steady::time_point deadline) {
    return std::chrono::duration_cast<ms>(deadline - steady::now());
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
    std::generate(data.begin(), data.end(), [&] { return static_cast<char>(rng()); });
    std::ofstream(path, std::ios::binary) << data;
}

std::string read_file(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

std::string describe_fds(pid_t pid) {
    std::error_code ec, gone; // gone: a descriptor closed meanwhile
    std::string lines;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
    for (; !ec && it != end; it.increment(ec))
        lines += it->path().filename().string() + " -> " +
                 std::filesystem::read_symlink(it->path(), gone).string() + "\n";
    return ec ? "" : lines;
}

// A live process always holds a descriptor: no lines means an unreadable table.
int count_fds(pid_t pid) {
    const std::string lines = describe_fds(pid);
    return lines.empty() ? -1 : count_occurrences(lines, "\n");
}

// `text` (an IPv4 or IPv6 address; the wildcard address when empty) and `port` as a socket
// address; its length.
static socklen_t address_of(const std::string& text, int port, sockaddr_storage* addr) {
    *addr = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
    const bool ipv6 = text.find(':') != std::string::npos;
    addr->ss_family = ipv6 ? AF_INET6 : AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port)); // where sin6_port is, too
    inet_pton(addr->ss_family, text.c_str(),
              ipv6 ? &v6->sin6_addr : static_cast<void*>(&v4->sin_addr));
    return ipv6 ? sizeof(*v6) : sizeof(*v4);
}

int listen_loopback(bool ipv6, int* port, bool nonblocking) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage addr;
    socklen_t len = address_of(ipv6 ? "::1" : "127.0.0.1", 0, &addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return close(fd), -1;
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port); // or sin6_port
    return fd;
}

int connect_from(const std::string& source, const std::string& server, int port, int rcvbuf) {
    sockaddr_storage src, dst;
    const socklen_t src_len = address_of(source, 0, &src), dst_len = address_of(server, port, &dst);
    const int fd = socket(dst.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    const timeval tv{2, 0};
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    setsockopt(fd, SOL_IP, IP_FREEBIND, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    if ((!source.empty() && bind(fd, reinterpret_cast<sockaddr*>(&src), src_len) != 0) ||
        connect(fd, reinterpret_cast<sockaddr*>(&dst), dst_len) != 0)
        return close(fd), -1;
    return fd;
}

int send_new(int port, const std::string& text) {
    const int fd = connect_loopback(port);
    return fd < 0 || send_all(fd, text) ? fd : (close(fd), -1);
}

// Receives up to `n` bytes until the peer closes, `timeout` passes or what arrived ends with
// `end` (if given; then a byte at a time); `*closed` tells whether the peer closed (an end of
// stream or a reset).
static std::string receive(int fd, size_t n, ms timeout, bool* closed = nullptr,
                           const std::string& end = "") {
    std::string out;
    const auto deadline = steady::now() + timeout;
    char buf[65536];
    ssize_t got = 1;
    pollfd p{fd, POLLIN, 0};
    while (out.size() < n && (end.empty() || !out.ends_with(end)) && left(deadline).count() > 0 &&
           poll(&p, 1, static_cast<int>(left(deadline).count())) > 0 &&
           (got = recv(fd, buf, std::min(end.empty() ? sizeof(buf) : 1, n - out.size()), 0)) > 0)
        out.append(buf, static_cast<size_t>(got));
    if (closed != nullptr)
        *closed = got == 0 || (got < 0 && errno == ECONNRESET);
    return out;
}

std::string read_until_close(int fd, ms timeout, bool* closed) {
    return receive(fd, SIZE_MAX, timeout, closed);
}

bool eventually(const std::function<bool()>& holds) {
    for (int i = 0; i < 100; i++, std::this_thread::sleep_for(ms(50)))
        if (holds())
            return true;
    return false;
}

bool wait_closed(int fd, ms timeout) {
    bool closed = false;
    return receive(fd, SIZE_MAX, timeout, &closed), closed;
}

std::string recv_exact(int fd, size_t n, ms timeout) {
    return receive(fd, n, timeout);
}

std::string read_reply_head(int fd, ms timeout) {
    return receive(fd, SIZE_MAX, timeout, nullptr, "\r\n\r\n");
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

bool send_all(int fd, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int count_occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

int start_activated(server_process& proc, start_options opts, bool nonblocking) {
    int port = 0;
    if ((opts.inherit_fd = listen_loopback(opts.ipv6, &port, nonblocking)) < 0)
        return -1;
    if (std::none_of(opts.args.begin(), opts.args.end(),
                     [](const std::string& a) { return a == "-f" || a.rfind("--file", 0) == 0; }))
        opts.args.insert(opts.args.end(), {"-f", test_file()});
    start(proc, opts);
    close(opts.inherit_fd);
    return port;
}

server_process::~server_process() {
    if (pid > 0) {
        poll_output(ms(0));
        // A sanitizer report in the server's output fails the test that ran it.
        for (const char* report : {"Sanitizer", "runtime error:"})
            if (output.find(report) != std::string::npos)
                ADD_FAILURE() << "sanitizer report from the server:\n" << output;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(out_fd);
}

void server_process::poll_output(ms timeout) {
    pollfd p{out_fd, POLLIN, 0};
    if (out_fd < 0 || poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return;
    char buf[65536];
    for (ssize_t n; (n = read(out_fd, buf, sizeof(buf))) > 0;)
        output.append(buf, static_cast<size_t>(n));
}

// Reads the output of `proc` until `done()` holds or `timeout` passes; whether it held.
template <typename Done> static bool poll_until(server_process& proc, ms timeout, Done done) {
    const auto deadline = steady::now() + timeout;
    while (!done())
        if (left(deadline).count() > 0)
            proc.poll_output(std::min(left(deadline), ms(100)));
        else
            return false;
    return true;
}

bool server_process::wait_count(const std::string& text, int n, ms timeout) {
    return poll_until(*this, timeout, [&] { return count_occurrences(output, text) >= n; });
}

int settle_fds(server_process& proc, int target, ms timeout) {
    int fds = -1;
    poll_until(proc, timeout, [&] { return (fds = count_fds(proc.pid)) == target; });
    return fds;
}

int server_process::wait_exit(ms timeout) {
    int status = 0;
    if (pid <= 0 ||
        !poll_until(*this, timeout, [&] { return waitpid(pid, &status, WNOHANG) == pid; }))
        return -1;
    pid = -1;
    poll_output(ms(0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void start(server_process& proc, const start_options& opts) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        abort();
    if ((proc.pid = fork()) == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (opts.inherit_fd >= 0) {
            dup2(opts.inherit_fd, 3);
            fcntl(3, F_SETFD, 0); // inherited across exec
        }
        close_range(opts.inherit_fd >= 0 ? 4 : 3, ~0U, 0);
        setenv("LISTEN_FDS", opts.inherit_fd >= 0 ? "1" : "0", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        for (const auto& [name, value] : opts.env)
            setenv(name.c_str(), value.c_str(), 1);
        cpu_set_t set;
        CPU_ZERO(&set);
        std::istringstream list(opts.cpu_list);
        for (std::string cpu; std::getline(list, cpu, ',');)
            CPU_SET(std::stoi(cpu), &set);
        if (!opts.cpu_list.empty() && sched_setaffinity(0, sizeof(set), &set) != 0)
            _exit(126);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv{
            const_cast<char*>(opts.program.empty() ? VH_HTTPD_PATH : opts.program.c_str())};
        for (const std::string& arg : opts.args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    proc.out_fd = out[0];
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

std::string latency_target(const std::string& test, uint64_t id, uint64_t interval, size_t conns,
                           const std::string& path, const std::string& extra) {
    return path + "?LATENCY_TEST=" + test + "&LATENCY_ID=" + std::to_string(id) +
           "&LATENCY_INTERVAL=" + std::to_string(interval) +
           "&CONTROL=1&NUM_CONNECTIONS=" + std::to_string(conns) + extra + "&CONNECTION=";
}

std::string fetch_statistics(int fd, size_t sent) {
    if (!send_all(fd, STATS_REQUEST.substr(sent)))
        return "";
    const std::string head = read_reply_head(fd, ms(5000));
    const size_t at = head.find("\r\nContent-Length: ");
    return at == std::string::npos || !head.starts_with("HTTP/1.1 200 OK\r\n")
               ? head
               : head + recv_exact(fd, std::stoul(head.substr(at + 18)), ms(5000));
}

std::map<std::string, double> scrape(int port) {
    const std::string reply = client(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n").rest();
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK\r\n")) << reply;
    std::map<std::string, double> samples;
    std::istringstream lines(reply.substr(std::min(reply.size(), reply.find("\r\n\r\n") + 4)));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ')));
    return samples;
}

int logged_port(server_process& proc, const std::string& said) {
    EXPECT_TRUE(proc.wait_for(said, ms(10000))) << proc.output;
    const size_t at = proc.output.find(said);
    return at == std::string::npos ? -1 : std::stoi(proc.output.substr(at + said.size()));
}

std::string run_command(const std::string& command, int* status) {
    server_process proc;
    start(proc, {.args = {"-c", command}, .program = "/bin/sh"});
    const int code = proc.wait_exit(ms(30000));
    if (status != nullptr)
        *status = code;
    return proc.output;
}

std::string test_file() {
    static const temp_dir dir; // removed at the test program's exit
    static const std::string path = [] {
        const std::string p = dir + "/payload.bin";
        write_file(p, 1 << 20);
        return p;
    }();
    return path;
}

tls_files make_test_certificate(const std::string& dir, const std::string& name) {
    const std::string cert = dir + "/" + name + ".crt", key = dir + "/" + name + ".key";
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 "
        "-keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? tls_files{cert, key} : tls_files{};
}

} // namespace vh_test
