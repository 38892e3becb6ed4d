// Helpers shared by the tests: temporary files, loopback sockets and server processes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace vh_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// A fresh directory under the system's temporary directory, removed by the caller.
std::string make_temp_dir();
void remove_tree(const std::string& path);
// A fresh directory's path, the directory removed with the record (which is never copied).
struct temp_dir : std::string {
    temp_dir() : std::string(make_temp_dir()) {}
    temp_dir(const temp_dir&) = delete;
    ~temp_dir() {
        remove_tree(*this);
    }
    operator std::filesystem::path() const {
        return std::string(*this);
    }
};
// The server's fixed replies: to a download request, to HEAD, the interim reply to an
// upload, and the interim reply to a PUT.
inline const std::string GET_REPLY =
    "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\nContent-Length: 500000000000\r\n\r\n";
inline const std::string HEAD_REPLY =
    "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 500000000000\r\n\r\n";
inline const std::string CONTINUE = "HTTP/1.1 100 Continue\r\nX-Varnholt: 1\r\n\r\n";
inline const std::string PUT_CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
// The reply to a latency session's control connection.
inline const std::string CREATED = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";

// Requests as clients send them. A whole header: the request line, `lines` and the blank line.
inline std::string http_request(const std::string& method, const std::string& target,
                                const std::string& lines = "Host: 127.0.0.1\r\n") {
    return method + " " + target + " HTTP/1.1\r\n" + lines + "\r\n";
}
// The query of connection `index` of `conns` of a controlled session: `session` of unit `unit`
// (unit 4 and above make it an extended session, one with its own timers and results).
std::string controlled_query(uint64_t session, size_t conns = 1, size_t index = 0,
                             uint32_t unit = 4);
// The target of a request of latency session `id` (`test` GET or POST, a sample every
// `interval` ms, `conns` connections the control one included, `extra` "&KEY=V..."), up to
// its connection index.
std::string latency_target(const std::string& test, uint64_t id, uint64_t interval, size_t conns,
                           const std::string& path = "/lat", const std::string& extra = "");
// Upload rules for quick tests: 100 ms warm-up samples within 100 %, two of them at least and
// four at most, then three 1 s intervals.
inline const std::string QUICK_UPLOAD =
    "NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=4&WARMUP_SAMPLE_TIME=100&WARMUP_TOLERANCE=100&"
    "RESULT_NUM_INTERVALS=3&RESULTS_INTERVAL_PERIOD=1";
// A controlled download and upload request; `extra` is appended to the query ("&KEY=V...").
std::string download_request(uint64_t session, size_t conns = 1, size_t index = 0,
                             const std::string& extra = "");
std::string upload_request(uint64_t session, size_t conns = 1, size_t index = 0,
                           const std::string& rules = QUICK_UPLOAD, const std::string& extra = "");

// Writes `size` pseudo-random bytes to `path`.
void write_file(const std::string& path, size_t size);
std::string read_file(const std::string& path);

// Number of descriptors open in process `pid` (or -1).
int count_fds(pid_t pid);
// One "N -> target" line per open descriptor of process `pid`, for failure messages.
std::string describe_fds(pid_t pid);
// Clock ticks of CPU time (user and system) process `pid` used so far (-1 if unknown).
long cpu_ticks(pid_t pid);
// Resident memory of process `pid` in KiB (-1 if unknown).
long rss_kib(pid_t pid);

// A listening TCP socket on 127.0.0.1 (or ::1) with a port the kernel chose.
int listen_loopback(bool ipv6, int* port, bool nonblocking = true);
// Reads until the peer closes or `timeout` passes; returns what arrived. `*closed`, if
// given, tells whether the peer closed (an end of stream or a reset) in time.
std::string read_until_close(int fd, std::chrono::milliseconds timeout, bool* closed = nullptr);
// A new connection to `port` on 127.0.0.1 that sent `text` (-1 on failure).
int send_new(int port, const std::string& text);
// Connects from `source` (an IPv4 or IPv6 address, bound freely: any of 127.0.0.0/8 or of a
// local route; unbound when empty) to `server` and `port`, with a receive buffer of `rcvbuf`
// bytes when not 0; its connect and sends give up after 2 s. -1 on failure.
int connect_from(const std::string& source, const std::string& server, int port, int rcvbuf = 0);
// Connects to 127.0.0.1 (or ::1), with a receive buffer of `rcvbuf` bytes when not 0 (set
// before the connect, so the window the server sees stays small), as connect_from does; -1 on
// failure.
inline int connect_loopback(int port, bool ipv6 = false, int rcvbuf = 0) {
    return connect_from("", ipv6 ? "::1" : "127.0.0.1", port, rcvbuf);
}
// Reads a reply head up to its blank line, a byte at a time, for at most `timeout`.
std::string read_reply_head(int fd, std::chrono::milliseconds timeout);
// Whether the peer closed `fd` by now (an end of stream or a reset), draining what it sent
// before; never waits.
bool peer_closed(int fd);
// Sends everything; false on error.
bool send_all(int fd, const std::string& data);
// Receives exactly n bytes unless the peer closes or `timeout` passes first.
std::string recv_exact(int fd, size_t n, std::chrono::milliseconds timeout);
// Waits until the peer closes the connection: true if it did within `timeout`.
bool wait_closed(int fd, std::chrono::milliseconds timeout);
// Whether `holds` comes true within 5 s (asked every 50 ms).
bool eventually(const std::function<bool()>& holds);

// A connection to `port` on 127.0.0.1 from `source` (the kernel's choice when empty) that sent
// `request` (to `server`, when given); closed with the record. Reads wait at most 5 s unless told.
struct client {
    int fd;
    explicit client(int port, const std::string& request = "", const std::string& source = "",
                    const std::string& server = "127.0.0.1")
        : fd(connect_from(source, server, port)) {
        send_all(fd, request);
    }
    ~client() {
        close(fd);
    }
    std::string recv(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return recv_exact(fd, n, timeout);
    }
    std::string rest() {
        return read_until_close(fd, std::chrono::seconds(5));
    }
    // What arrives, as long as the expected `reply`, for `text`.
    std::string ask(const std::string& text, const std::string& reply) {
        return send_all(fd, text) ? recv(reply.size()) : "send failed";
    }
    // Closed by the server after `reply`: by default without a single reply byte.
    bool refused(const std::string& reply = "") {
        bool closed = false;
        return read_until_close(fd, std::chrono::seconds(5), &closed) == reply && closed;
    }
    // Nothing arrives and the connection stays open for `wait`.
    bool quiet(std::chrono::milliseconds wait) {
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        return poll(&p, 1, static_cast<int>(wait.count())) == 0;
    }
    // Ends a download as a client does: half-close, then the 16-byte statistics message
    // arrives after whatever data was still queued.
    bool end() {
        shutdown(fd, SHUT_WR);
        return read_until_close(fd, std::chrono::seconds(10)).size() >= 16;
    }
};

// Asks control connection `fd` for its statistics: the reply head and the whole document.
// `sent` bytes of the request went out before, the rest goes now.
inline const std::string STATS_REQUEST = "GET /results HTTP/1.1\r\n\r\n";
std::string fetch_statistics(int fd, size_t sent = 0);
// The samples of a scrape of the metrics endpoint on `port`, "name{labels}" -> value.
std::map<std::string, double> scrape(int port);

// A server process started from the built executable, with its standard error
// (and standard output) collected.
struct server_process {
    pid_t pid = -1;
    int out_fd = -1; // read end: standard output and standard error
    std::string output;

    // Kills the process; a sanitizer report in its output fails the running test.
    ~server_process();
    // Reads what the process wrote so far, waiting at most `timeout` for more.
    void poll_output(std::chrono::milliseconds timeout);
    // Waits until the output contains `text`; true if it did within `timeout`.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout) {
        return wait_count(text, 1, timeout);
    }
    // Waits until `text` occurs at least n times; true if it did within `timeout`.
    bool wait_count(const std::string& text, int n, std::chrono::milliseconds timeout);
    // Waits for the process to exit; its exit status, or -1 on time-out/signal.
    int wait_exit(std::chrono::milliseconds timeout);
};

// The descriptor count of `proc` once it is `target` again, or when `timeout` passed; the
// server's output is read meanwhile, so that a full pipe never stalls it.
int settle_fds(server_process& proc, int target,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

struct start_options {
    std::vector<std::string> args{};                        // after the program name
    std::vector<std::pair<std::string, std::string>> env{}; // added to the environment
    int inherit_fd = -1;    // handed over as descriptor 3 with LISTEN_FDS=1
    std::string cpu_list{}; // run under this affinity mask ("1", "0,1")
    std::string program{};  // the executable to start, when not the server
    bool ipv6 = false;      // start_activated: the socket it hands over is on ::1
};

// Options of a start: these arguments (after the program name) and environment variables.
inline start_options options(std::vector<std::string> args,
                             std::vector<std::pair<std::string, std::string>> env = {}) {
    return {.args = std::move(args), .env = std::move(env)};
}

// Starts the server with the options.
void start(server_process& proc, const start_options& opts);

// Starts the server on an inherited loopback socket (LISTEN_FDS) with the test
// file unless the arguments name one; returns the port.
int start_activated(server_process& proc, start_options opts, bool nonblocking = true);
// Counts the occurrences of `what` in `text`.
int count_occurrences(const std::string& text, const std::string& what);

// The port the server names after `said` in its output (waiting at most 10 s for it; -1).
int logged_port(server_process& proc, const std::string& said);
// The metrics port of a server started with "--metrics 127.0.0.1:0".
inline int metrics_port(server_process& proc) {
    return logged_port(proc, "Metrics on address 127.0.0.1 port ");
}

// Runs `command` with /bin/sh for at most 30 s: what it wrote (standard output and error);
// `*status`, if given, is its exit status (-1 if it did not end in time).
std::string run_command(const std::string& command, int* status = nullptr);

// Path of a test file (1 MiB) made once per test program and removed at its exit.
std::string test_file();

// A self-signed certificate for localhost, 127.0.0.1 and ::1 and its key (PEM, P-256), made
// with `openssl req` in `dir` under the names `<name>.crt` and `<name>.key`. Empty paths when
// openssl fails.
struct tls_files {
    std::string cert, key;
};
tls_files make_test_certificate(const std::string& dir, const std::string& name = "server");

} // namespace vh_test
