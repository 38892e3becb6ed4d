// Operating the real server: session limits and their 503 replies, the metrics endpoint,
// service manager notifications, and the drain on SIGTERM.
#include "test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vh_test::GET_REPLY;
using vh_test::server_process;
using vh_test::start_options;

namespace {

std::string download(uint64_t session, int conns = 1, int index = 0,
                     const std::string& extra = "") {
    return "GET /file?CONTROL=1&UNITID=3&SESSIONID=" + std::to_string(session) +
           "&NUM_CONNECTIONS=" + std::to_string(conns) + "&CONNECTION=" + std::to_string(index) +
           extra + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::string upload(uint64_t session) {
    return "POST /file?CONTROL=1&UNITID=3&SESSIONID=" + std::to_string(session) +
           "&NUM_CONNECTIONS=1&CONNECTION=0&WARMUP_SAMPLE_TIME=100&NUM_WARMUP_SAMPLES=3"
           "&MAX_WARMUP_SAMPLES=20&WARMUP_TOLERANCE=90&RESULTS_INTERVAL_PERIOD=1"
           "&RESULT_NUM_INTERVALS=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::string refusal(const std::string& body) {
    return "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 10\r\nContent-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
const std::string SERVER_FULL = refusal("Too many test sessions are running: retry later.\n");
const std::string CLIENT_FULL =
    refusal("Too many test sessions are running from your address: retry later.\n");

// A connection from a chosen loopback address (any of 127.0.0.0/8 reaches the server).
int connect_from(const char* source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    inet_pton(AF_INET, source, &src.sin_addr);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof(src)) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A client connection that sent one request; closed with the record.
struct client {
    int fd = -1;
    client(const char* source, int port, const std::string& request) {
        fd = connect_from(source, port);
        if (fd >= 0)
            vh_test::send_all(fd, request);
    }
    ~client() {
        if (fd >= 0)
            close(fd);
    }
    std::string recv(size_t n) {
        return vh_test::recv_exact(fd, n, 5s);
    }
};

// Ends a download connection the way a client does: half-close, then the 16-byte
// statistics message arrives after whatever data was still queued.
bool end_download(client& c) {
    shutdown(c.fd, SHUT_WR);
    std::string rest = vh_test::read_until_close(c.fd, 10s);
    return rest.size() >= 16;
}

// Sends an HTTP request to the metrics endpoint and returns the whole reply.
std::string http_get(int port, const std::string& request) {
    int fd = vh_test::connect_loopback(port);
    if (fd < 0)
        return "";
    vh_test::send_all(fd, request);
    std::string reply = vh_test::read_until_close(fd, 5s);
    close(fd);
    return reply;
}

// The samples of a metrics page: "name{labels}" -> value. Fails the test when a sample
// belongs to no family announced with # HELP and # TYPE before it.
std::map<std::string, double> parse_metrics(const std::string& page) {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream words(line.substr(7));
            std::string name, type;
            words >> name >> type;
            types[name] = type;
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        size_t space = line.rfind(' ');
        std::string key = line.substr(0, space);
        std::string name = key.substr(0, key.find('{'));
        EXPECT_TRUE(types.count(name)) << "sample without # TYPE: " << line;
        samples[key] = std::stod(line.substr(space + 1));
    }
    return samples;
}

int metrics_port(server_process& proc) {
    if (!proc.wait_for("Metrics on address", 10s))
        return -1;
    std::smatch m;
    static const std::regex line("Metrics on address [^ ]+ port ([0-9]+)");
    if (!std::regex_search(proc.output, m, line))
        return -1;
    return std::stoi(m[1]);
}

std::map<std::string, double> scrape(int port) {
    std::string reply = http_get(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    size_t body = reply.find("\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    if (body == std::string::npos)
        return {};
    return parse_metrics(reply.substr(body + 4));
}

// Waits until a metric reaches `value`, polling the endpoint (bounded).
bool metric_reaches(int port, const std::string& key, double value) {
    for (int i = 0; i < 100; i++) {
        auto samples = scrape(port);
        if (samples.count(key) && samples[key] >= value)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int start_server(server_process& proc, std::vector<std::string> args,
                 std::vector<std::pair<std::string, std::string>> env = {}) {
    start_options opts;
    opts.args = std::move(args);
    opts.env = std::move(env);
    return vh_test::start_activated(proc, opts);
}

// ---------------------------------------------------------------------------
// Admission.

TEST(Admission, ASessionBeyondTheClientLimitIsRefusedAndOthersAreNot) {
    server_process proc;
    int port = start_server(proc, {"--max-client-sessions", "1"});
    ASSERT_GT(port, 0);

    client first("127.0.0.1", port, download(10, 2, 0));
    ASSERT_EQ(first.recv(GET_REPLY.size()), GET_REPLY);

    // A second session from the same address: a complete 503, then the server's close.
    client second("127.0.0.1", port, download(11));
    std::string reply = vh_test::read_until_close(second.fd, 5s);
    EXPECT_EQ(reply, CLIENT_FULL);
    EXPECT_TRUE(proc.wait_for("Session 12884901899 from 127.0.0.1 refused: the limit of 1 "
                              "sessions per client is reached",
                              5s))
        << proc.output;

    // An upload is refused before its interim reply, so its client never starts sending.
    client refused_upload("127.0.0.1", port, upload(12));
    EXPECT_EQ(vh_test::read_until_close(refused_upload.fd, 5s), CLIENT_FULL);

    // The running session's second connection joins it: joining is never refused.
    client joining("127.0.0.1", port, download(10, 2, 1));
    EXPECT_EQ(joining.recv(GET_REPLY.size()), GET_REPLY);

    // Another client address has its own allowance.
    client other("127.0.0.2", port, download(13));
    EXPECT_EQ(other.recv(GET_REPLY.size()), GET_REPLY);

    // Once the session is over, the address may start the next one.
    ASSERT_TRUE(end_download(first));
    ASSERT_TRUE(end_download(joining));
    bool admitted = false;
    for (int attempt = 0; attempt < 50 && !admitted; attempt++) {
        client next("127.0.0.1", port, download(14 + static_cast<uint64_t>(attempt)));
        std::string head = next.recv(GET_REPLY.size());
        admitted = head == GET_REPLY;
        if (!admitted) {
            EXPECT_EQ(head + vh_test::read_until_close(next.fd, 2s), CLIENT_FULL);
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_TRUE(admitted) << proc.output;
    EXPECT_EQ(proc.output.find("<3>"), std::string::npos) << proc.output;
}

TEST(Admission, TheServerLimitCountsTheSessionsOfEveryClient) {
    server_process proc;
    int port = start_server(proc, {"--max-sessions", "2", "--max-client-sessions", "5"});
    ASSERT_GT(port, 0);
    client a("127.0.0.1", port, download(20));
    client b("127.0.0.2", port, download(21));
    ASSERT_EQ(a.recv(GET_REPLY.size()), GET_REPLY);
    ASSERT_EQ(b.recv(GET_REPLY.size()), GET_REPLY);

    client c("127.0.0.3", port, download(22));
    EXPECT_EQ(vh_test::read_until_close(c.fd, 5s), SERVER_FULL);
    EXPECT_TRUE(proc.wait_for("from 127.0.0.3 refused: the limit of 2 sessions is reached", 5s))
        << proc.output;

    ASSERT_TRUE(end_download(a));
    bool admitted = false;
    for (int attempt = 0; attempt < 50 && !admitted; attempt++) {
        client d("127.0.0.3", port, download(23 + static_cast<uint64_t>(attempt)));
        admitted = d.recv(GET_REPLY.size()) == GET_REPLY;
        if (!admitted)
            std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(admitted) << proc.output;
}

TEST(Admission, ABurstOfNewSessionsOverBothWorkersAdmitsExactlyTheLimit) {
    // New sessions are placed on the worker with fewer sessions and created there: the limit
    // must hold across that hand-over too, whichever worker publishes first.
    for (int round = 0; round < 5; round++) {
        server_process proc;
        int port = start_server(proc, {"--max-sessions", "3"});
        ASSERT_GT(port, 0);
        std::vector<std::unique_ptr<client>> clients;
        for (int i = 0; i < 40; i++) {
            std::string source = "127.0.1." + std::to_string(i + 1);
            clients.push_back(std::make_unique<client>(source.c_str(), port,
                                                       download(1000 + static_cast<uint64_t>(i))));
        }
        int admitted = 0;
        int refused = 0;
        for (auto& c : clients) {
            std::string head = c->recv(GET_REPLY.size());
            if (head == GET_REPLY) {
                admitted++;
            } else {
                EXPECT_EQ(head + vh_test::read_until_close(c->fd, 5s), SERVER_FULL);
                refused++;
            }
        }
        EXPECT_EQ(admitted, 3) << proc.output;
        EXPECT_EQ(refused, 37);
    }
}

TEST(Admission, RefusalsInBulkLeaveNoDescriptorBehind) {
    server_process proc;
    int port = start_server(proc, {"--max-sessions", "1"});
    ASSERT_GT(port, 0);
    client running("127.0.0.1", port, download(30));
    ASSERT_EQ(running.recv(GET_REPLY.size()), GET_REPLY);
    std::this_thread::sleep_for(100ms);
    int idle = vh_test::count_fds(proc.pid);
    ASSERT_GT(idle, 0);

    // Clients that read the refusal, that close at once, and that reset.
    for (int i = 0; i < 150; i++) {
        client c("127.0.0.1", port, download(100 + static_cast<uint64_t>(i)));
        if (i % 3 == 0) {
            EXPECT_EQ(vh_test::read_until_close(c.fd, 5s), SERVER_FULL);
        } else if (i % 3 == 1) {
            linger reset = {1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
    }
    int now = -1;
    for (int i = 0; i < 100; i++) {
        now = vh_test::count_fds(proc.pid);
        if (now == idle)
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(now, idle);
    EXPECT_TRUE(proc.wait_count("refused: the limit of 1 sessions is reached", 150, 5s));
    // The running session was not disturbed.
    EXPECT_EQ(running.recv(1000).size(), 1000u);
}

TEST(Admission, BadLimitsAreRefusedAtStart) {
    for (auto [option, value, name] :
         {std::tuple{"--max-sessions", "-1", "Session limit -1"},
          std::tuple{"--max-client-sessions", "-3", "Client session limit -3"},
          std::tuple{"--drain-timeout", "3601", "Drain timeout 3601"}}) {
        server_process proc;
        start_options opts;
        opts.args = {"-f", vh_test::test_file(), option, value};
        vh_test::start(proc, opts);
        EXPECT_EQ(proc.wait_exit(10s), 1) << proc.output;
        EXPECT_NE(proc.output.find(std::string("<3>")), std::string::npos);
        EXPECT_NE(proc.output.find(std::string(name) + " is not within range 0-"),
                  std::string::npos)
            << proc.output;
    }
}

// ---------------------------------------------------------------------------
// Metrics.

TEST(Metrics, SessionsRefusalsBytesAndWorkersAreCounted) {
    server_process proc;
    int port = start_server(proc, {"--metrics", "127.0.0.1:0", "--max-client-sessions", "1"});
    ASSERT_GT(port, 0);
    int mport = metrics_port(proc);
    ASSERT_GT(mport, 0) << proc.output;

    // Every worker shows up once it runs: one per CPU the server may use.
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof(cpus), &cpus), 0);
    std::map<std::string, double> before;
    int workers = 0;
    for (int i = 0; i < 100 && workers < CPU_COUNT(&cpus); i++) {
        before = scrape(mport);
        workers = 0;
        for (const auto& [key, value] : before)
            if (key.rfind("varnholt_worker_connections{", 0) == 0)
                workers++;
        if (workers < CPU_COUNT(&cpus))
            std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(workers, CPU_COUNT(&cpus));
    EXPECT_EQ(before["varnholt_sessions_running{kind=\"download\"}"], 0);
    EXPECT_EQ(before["varnholt_draining"], 0);
    EXPECT_GT(before["varnholt_open_fds"], 3);
    EXPECT_GT(before["varnholt_max_fds"], before["varnholt_open_fds"]);

    {
        client dl("127.0.0.1", port, download(40));
        ASSERT_EQ(dl.recv(GET_REPLY.size()), GET_REPLY);
        ASSERT_EQ(dl.recv(200000).size(), 200000u);
        auto during = scrape(mport);
        EXPECT_EQ(during["varnholt_sessions_running{kind=\"download\"}"], 1);
        EXPECT_EQ(during["varnholt_sessions_started_total{kind=\"download\"}"], 1);
        double sessions = 0;
        double conns = 0;
        for (const auto& [key, value] : during) {
            if (key.rfind("varnholt_worker_sessions{", 0) == 0)
                sessions += value;
            if (key.rfind("varnholt_worker_connections{", 0) == 0)
                conns += value;
        }
        EXPECT_EQ(sessions, 1);
        EXPECT_GE(conns, 1);

        client refused("127.0.0.1", port, download(41));
        EXPECT_EQ(vh_test::read_until_close(refused.fd, 5s), CLIENT_FULL);
        ASSERT_TRUE(end_download(dl));
    }
    ASSERT_TRUE(metric_reaches(
        mport, "varnholt_sessions_ended_total{kind=\"download\",outcome=\"completed\"}", 1));
    auto after = scrape(mport);
    EXPECT_EQ(after["varnholt_sessions_running{kind=\"download\"}"], 0);
    EXPECT_EQ(after["varnholt_sessions_refused_total{reason=\"client_limit\"}"], 1);
    EXPECT_EQ(after["varnholt_sessions_refused_total{reason=\"server_limit\"}"], 0);
    EXPECT_GE(after["varnholt_test_bytes_total{direction=\"sent\"}"], 200000);
    EXPECT_EQ(after["varnholt_test_bytes_total{direction=\"received\"}"], 0);
    EXPECT_GE(after["varnholt_connections_accepted_total"], 2);
    double events = 0;
    for (const auto& [key, value] : after)
        if (key.rfind("varnholt_worker_events_total{", 0) == 0)
            events += value;
    EXPECT_GT(events, 0);
}

TEST(Metrics, OnlyGetAndHeadOfTheMetricsPathAreServed) {
    server_process proc;
    int port = start_server(proc, {"--metrics", "127.0.0.1:0"});
    ASSERT_GT(port, 0);
    int mport = metrics_port(proc);
    ASSERT_GT(mport, 0) << proc.output;

    std::string head = http_get(mport, "HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("version=0.0.4"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n"); // no body
    EXPECT_EQ(http_get(mport, "GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 Not Found", 0), 0u);
    EXPECT_EQ(http_get(mport, "POST /metrics HTTP/1.1\r\n\r\n")
                  .rfind("HTTP/1.1 405 Method Not Allowed", 0),
              0u);
    // Scrapers that never finish their requests hold nobody up: scrapers are served side
    // by side (one after the other, ten would take their 2 s each, beyond http_get's 5 s).
    std::vector<int> silent;
    for (int i = 0; i < 10; i++) {
        silent.push_back(vh_test::connect_loopback(mport));
        vh_test::send_all(silent.back(), "GET /metr");
    }
    auto page = scrape(mport);
    EXPECT_FALSE(page.empty());
    for (int fd : silent)
        close(fd);
    // With the descriptor table full, a scrape is still answered, and counts it full.
    std::this_thread::sleep_for(300ms); // the silent ones are gone
    int used = vh_test::count_fds(proc.pid);
    rlimit old{};
    ASSERT_EQ(prlimit(proc.pid, RLIMIT_NOFILE, nullptr, &old), 0);
    rlimit full{static_cast<rlim_t>(used), old.rlim_max};
    ASSERT_EQ(prlimit(proc.pid, RLIMIT_NOFILE, &full, nullptr), 0);
    page = scrape(mport);
    EXPECT_GE(page["varnholt_open_fds"], used - 1);
    EXPECT_LE(page["varnholt_open_fds"], used);
    EXPECT_EQ(page["varnholt_max_fds"], used);
    ASSERT_EQ(prlimit(proc.pid, RLIMIT_NOFILE, &old, nullptr), 0);
    // The test port still serves tests.
    int fd = vh_test::connect_loopback(port);
    vh_test::send_all(fd, download(50));
    EXPECT_EQ(vh_test::recv_exact(fd, GET_REPLY.size(), 5s), GET_REPLY);
    close(fd);
}

TEST(Metrics, NoEndpointUnlessAskedAndBadAddressesEndTheStart) {
    server_process plain;
    ASSERT_GT(start_server(plain, {"--metrics", ""}), 0);
    plain.poll_output(300ms);
    EXPECT_EQ(plain.output.find("Metrics on"), std::string::npos) << plain.output;

    for (const char* address : {"no-port", "127.0.0.1:", "[::1:80", "256.1.1.1:80"}) {
        server_process proc;
        start_options opts;
        opts.args = {"-f", vh_test::test_file(), "--metrics", address};
        int port = 0;
        int lfd = vh_test::listen_loopback(false, &port);
        opts.inherit_fd = lfd;
        vh_test::start(proc, opts);
        close(lfd);
        EXPECT_EQ(proc.wait_exit(10s), 1) << address << "\n" << proc.output;
        EXPECT_NE(proc.output.find("<3>"), std::string::npos) << proc.output;
    }
}

// ---------------------------------------------------------------------------
// Service manager notifications and the drain.

// A datagram socket standing in for the service manager's notification socket.
struct notify_socket {
    int fd = -1;
    std::string path;
    notify_socket() {
        path = vh_test::make_temp_dir() + "/notify";
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~notify_socket() {
        if (fd >= 0)
            close(fd);
        unlink(path.c_str());
    }
    // Messages until one contains `text` (all of them, joined by "|"), at most `timeout`.
    std::string wait_for(const std::string& text, std::chrono::milliseconds timeout) {
        std::string all;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0)
                continue;
            std::string message(buf, static_cast<size_t>(n));
            all += message + "|";
            if (message.find(text) != std::string::npos)
                break;
        }
        return all;
    }
};

TEST(Drain, NotifiesReadyAndStoppingAndExitsZeroWhenIdle) {
    notify_socket manager;
    ASSERT_GE(manager.fd, 0);
    server_process proc;
    int port = start_server(proc, {}, {{"NOTIFY_SOCKET", manager.path}});
    ASSERT_GT(port, 0);
    std::string ready = manager.wait_for("READY=1", 10s);
    EXPECT_NE(ready.find("READY=1\nSTATUS=Serving, 0 sessions running"), std::string::npos)
        << ready;

    kill(proc.pid, SIGTERM);
    std::string stopping = manager.wait_for("STATUS=Stopped", 10s);
    EXPECT_NE(stopping.find("STOPPING=1\nEXTEND_TIMEOUT_USEC=40000000\n"), std::string::npos)
        << stopping;
    EXPECT_NE(stopping.find("STATUS=Stopped"), std::string::npos) << stopping;
    EXPECT_EQ(proc.wait_exit(10s), 0) << proc.output;
    EXPECT_NE(proc.output.find("Stopping: accepting ended, 0 sessions and 0 uploads may run 30 s "
                               "more"),
              std::string::npos)
        << proc.output;
    EXPECT_NE(proc.output.find("Stopped after 0 s"), std::string::npos) << proc.output;
}

// The server on a port of its own (no inherited socket), for the refusal after the stop.
int start_own_port(server_process& proc, std::vector<std::string> args) {
    for (int attempt = 0; attempt < 20; attempt++) {
        int port = 0;
        close(vh_test::listen_loopback(false, &port));
        start_options opts;
        opts.args = {"-f", vh_test::test_file(), "-s", std::to_string(port), "-d", "2"};
        opts.args.insert(opts.args.end(), args.begin(), args.end());
        vh_test::start(proc, opts);
        if (proc.wait_for("port " + std::to_string(port), 5s))
            return port;
        proc.kill_now();
        proc.output.clear();
    }
    return -1;
}

TEST(Drain, RunningSessionsFinishWhileNewConnectionsAreRefused) {
    server_process proc;
    std::string logs = vh_test::make_temp_dir();
    int port = start_own_port(proc, {"-l", logs});
    ASSERT_GT(port, 0) << proc.output;
    client dl("127.0.0.1", port, download(60, 1, 0, "&STORE_LOG=1"));
    ASSERT_EQ(dl.recv(GET_REPLY.size()), GET_REPLY);

    kill(proc.pid, SIGTERM);
    ASSERT_TRUE(proc.wait_for("Stopping: accepting ended, 1 sessions", 5s)) << proc.output;
    int refused = -1;
    for (int i = 0; i < 50 && refused != 0; i++) {
        int fd = vh_test::connect_loopback(port);
        refused = fd < 0 ? 0 : 1;
        if (fd >= 0)
            close(fd);
        else
            break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(refused, 0) << "connections are still accepted after SIGTERM";

    // The session goes on: data flows, and its end is answered as always.
    EXPECT_EQ(dl.recv(500000).size(), 500000u);
    EXPECT_EQ(proc.wait_exit(300ms), -1) << "exited with a session running";
    ASSERT_TRUE(end_download(dl));
    EXPECT_EQ(proc.wait_exit(10s), 0) << proc.output;
    EXPECT_EQ(proc.output.find("cut short"), std::string::npos) << proc.output;
    EXPECT_EQ(proc.output.find("<3>"), std::string::npos) << proc.output;
    // The session's log was written before the process ended.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(logs))
        files.push_back(entry.path().filename().string());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], std::regex("3_[0-9]+_60\\.log"))) << files[0];
    EXPECT_EQ(vh_test::read_file(logs + "/" + files[0]).rfind("VH_HTTP_SERVER: 1.0", 0), 0u);
    vh_test::remove_tree(logs);
}

TEST(Drain, ASessionThatDoesNotEndIsCutShortAfterTheDrainTimeoutAndLogged) {
    server_process proc;
    std::string logs = vh_test::make_temp_dir();
    int port = start_server(proc, {"--drain-timeout", "1", "-l", logs});
    ASSERT_GT(port, 0);
    client dl("127.0.0.1", port, download(70, 1, 0, "&STORE_LOG=1"));
    ASSERT_EQ(dl.recv(GET_REPLY.size()), GET_REPLY);

    auto sent = std::chrono::steady_clock::now();
    kill(proc.pid, SIGTERM);
    ASSERT_TRUE(proc.wait_for("Stopping: accepting ended", 5s)) << proc.output;
    // A connection queued on an inherited socket is left for the next server to take:
    // it is neither answered nor refused.
    client queued("127.0.0.1", port, download(71));
    ASSERT_GE(queued.fd, 0);
    EXPECT_EQ(vh_test::recv_exact(queued.fd, 1, 300ms), "");
    EXPECT_EQ(proc.wait_exit(10s), 0) << proc.output;
    auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(took, 900ms);
    EXPECT_NE(proc.output.find("Stopping: 1 sessions and 0 uploads cut short after 1 s"),
              std::string::npos)
        << proc.output;
    // The session was finished before the end, its log written and marked.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(logs))
        files.push_back(entry.path().filename().string());
    ASSERT_EQ(files.size(), 1u) << proc.output;
    EXPECT_EQ(vh_test::read_file(logs + "/" + files[0])
                  .rfind("VH_HTTP_SERVER: 1.0\nTEST: GET\n"
                         "CUT_SHORT: 1\nCONNECTION: 0\n",
                         0),
              0u)
        << vh_test::read_file(logs + "/" + files[0]);
    vh_test::remove_tree(logs);
}

TEST(Drain, ASecondSignalEndsTheDrainAtOnce) {
    server_process proc;
    int port = start_server(proc, {"--drain-timeout", "600"});
    ASSERT_GT(port, 0);
    client dl("127.0.0.1", port, download(80));
    ASSERT_EQ(dl.recv(GET_REPLY.size()), GET_REPLY);
    kill(proc.pid, SIGTERM);
    ASSERT_TRUE(proc.wait_for("Stopping: accepting ended", 5s)) << proc.output;
    kill(proc.pid, SIGINT);
    EXPECT_EQ(proc.wait_exit(5s), 0) << proc.output;
    EXPECT_NE(proc.output.find("Stopping at once: 1 sessions and 0 uploads cut short"),
              std::string::npos)
        << proc.output;
}

} // namespace
