// A soak of the real server: concurrent clients run every kind of session (downloads
// of several connections, uploads to their results, latency sessions fetching their
// statistics, HEAD, PUT, malformed requests) and vanish at random moments in every
// state. Afterwards the server still serves, holds its idle number of descriptors, has
// not grown beyond a memory bound and printed nothing but lines it already has.
// VH_SOAK_SECONDS lengthens the run (default 60 s).
#include "hardening_support.h"

#include <atomic>
#include <cctype>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

using steady = std::chrono::steady_clock;

using vh_test::CONTINUE;
using vh_test::GET_REPLY;
const std::string CREATED = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";
using vh_test::HEAD_REPLY;
using vh_test::PUT_CONTINUE;
const std::string STATS_REQUEST = "GET /results HTTP/1.1\r\nHost: soak\r\n\r\n";

// The lines the server may print while clients come, go and misbehave: each is a line
// it has for that situation. Anything else (a new line for a reset, a "Bug!", an
// assertion) fails the soak.
const char* const EXPECTED_LINES[] = {
    "recv: Connection reset by peer",
    "could not create session",
    "Could not set the session",
    "Duplicated connections received",
    "Invalid connection ID received",
    "Late connection for finished session received",
    "Could not add connection",
    "Request for traces of non existent session",
    "error sending reply",
    "Error sending the report",
    "Session life time max limit reached",
    "Delayed connection destruction",
    "Could not complete the creation of the connection",
};

// A script step counter: the session is abandoned with a reset at one random step.
struct vanishing {
    int reset_at;
    int step = 0;
    bool due() {
        return ++step == reset_at;
    }
};

struct tally {
    std::atomic<int> sessions{0};
    std::atomic<int> resets{0};
    std::atomic<int> completed{0};
    // Bytes sent by PUT sessions that ran to their end, and by all of them.
    std::atomic<uint64_t> put_done{0};
    std::atomic<uint64_t> put_sent{0};
    std::mutex mutex;
    std::vector<std::string> faults; // a session that was not reset and went wrong
    void fault(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (faults.size() < 20)
            faults.push_back(what);
    }
};

class client {
  public:
    client(int port, int index, const std::string& put_name, tally& counts)
        : port_(port), index_(index), put_name_(put_name), counts_(counts),
          rng_(static_cast<unsigned>(index) * 7919u + 17u) {}

    void run(steady::time_point until) {
        while (steady::now() < until) {
            counts_.sessions++;
            next_id_++;
            vanishing v{pick(0, 12)}; // 0 or beyond the script: no reset
            bool done = false;
            switch (pick(0, 6)) {
            case 0:
                done = download(v);
                break;
            case 1:
                done = upload(v);
                break;
            case 2:
                done = latency(v);
                break;
            case 3:
                done = head(v);
                break;
            case 4:
                done = put(v);
                break;
            default:
                done = malformed(v);
                break;
            }
            if (done)
                counts_.completed++;
            else
                counts_.resets++;
            close_all();
        }
    }

  private:
    int port_;
    int index_;
    std::string put_name_;
    tally& counts_;
    std::mt19937 rng_;
    int next_id_ = 0;
    std::vector<int> fds_;

    int pick(int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng_);
    }
    int open() {
        int fd = vh_test::connect_loopback(port_);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }
    // Abandons the session: every connection reset, as a client that vanished.
    bool vanish() {
        for (int fd : fds_)
            vh_test::reset_close(fd);
        fds_.clear();
        return false;
    }
    void close_all() {
        for (int fd : fds_)
            close(fd);
        fds_.clear();
    }
    std::string expect(int fd, const std::string& reply, const char* what) {
        std::string got = vh_test::recv_exact(fd, reply.size(), 10s);
        if (got != reply)
            counts_.fault(std::string(what) + ": got [" + got + "]");
        return got;
    }
    // Reads until the server closes; false (and a fault) if it does not within 10 s.
    std::string until_closed(int fd, const char* what) {
        std::string got;
        auto until = steady::now() + 10s;
        char buf[65536];
        while (steady::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0)
                return got;
            got.append(buf, static_cast<size_t>(n));
        }
        counts_.fault(std::string(what) + ": not closed");
        return got;
    }
    std::string controlled(const char* method, const std::string& path, int conns, int conn) {
        return std::string(method) + " " + path +
               "?CONTROL=1&UNITID=" + std::to_string(index_ + 1) +
               "&SESSIONID=" + std::to_string(next_id_) +
               "&NUM_CONNECTIONS=" + std::to_string(conns) + "&CONNECTION=" + std::to_string(conn);
    }

    // A download of one to three connections: some data on each, then the half-close
    // and the statistics message.
    bool download(vanishing& v) {
        int conns = pick(1, 3);
        std::vector<int> fds;
        for (int i = 0; i < conns; i++) {
            if (v.due())
                return vanish();
            int fd = open();
            if (fd < 0)
                return vanish();
            std::string request = controlled("GET", "/download", conns, i) + " HTTP/1.1\r\n\r\n";
            if (v.due()) {
                vh_test::send_all(fd, request.substr(0, request.size() / 2));
                return vanish();
            }
            vh_test::send_all(fd, request);
            fds.push_back(fd);
        }
        for (int fd : fds)
            expect(fd, GET_REPLY, "download reply");
        for (int fd : fds) {
            if (v.due())
                return vanish();
            vh_test::recv_exact(fd, static_cast<size_t>(pick(1, 300)) << 10, 10s);
        }
        for (int fd : fds) {
            if (v.due())
                return vanish();
            shutdown(fd, SHUT_WR);
            std::string rest = until_closed(fd, "download end");
            if (rest.size() < 16 || rest.compare(rest.size() - 16, 8, "\1\2\3\4\5\6\7\10") != 0)
                counts_.fault("download without its statistics message");
        }
        return true;
    }

    // An upload of one or two connections, pushed until the results reply arrives.
    bool upload(vanishing& v) {
        int conns = pick(1, 2);
        std::vector<int> fds;
        for (int i = 0; i < conns; i++) {
            if (v.due())
                return vanish();
            int fd = open();
            if (fd < 0)
                return vanish();
            // Every connection must have joined by the first warm-up sample, or the test
            // fails by the rules: a sample time long enough for a loaded sanitizer build.
            vh_test::send_all(fd, controlled("POST", "/upload", conns, i) +
                                      "&NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=4"
                                      "&WARMUP_SAMPLE_TIME=300&WARMUP_TOLERANCE=100"
                                      "&RESULT_NUM_INTERVALS=1&RESULTS_INTERVAL_PERIOD=1"
                                      " HTTP/1.1\r\n\r\n");
            fds.push_back(fd);
        }
        for (int fd : fds) {
            expect(fd, CONTINUE, "upload reply");
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
        std::string chunk(16 << 10, 'u');
        std::vector<std::string> results(fds.size());
        auto until = steady::now() + 20s;
        size_t finished = 0;
        while (finished < fds.size() && steady::now() < until) {
            if (v.due())
                return vanish();
            finished = 0;
            for (size_t i = 0; i < fds.size(); i++) {
                if (results[i].find("\n\n") != std::string::npos) {
                    finished++;
                    continue;
                }
                send(fds[i], chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                char buf[4096];
                ssize_t n = recv(fds[i], buf, sizeof(buf), 0);
                if (n > 0)
                    results[i].append(buf, static_cast<size_t>(n));
            }
            std::this_thread::sleep_for(20ms);
        }
        for (const std::string& r : results)
            if (r.rfind("VARNHOLT_HTTP_REPLY\n", 0) != 0)
                counts_.fault("upload results: [" + r + "]");
        return true;
    }

    // A latency session: the control connection fetches the statistics (once in two
    // pieces) while a download runs beside it.
    bool latency(vanishing& v) {
        uint64_t id = (uint64_t{1} << 32) + (static_cast<uint64_t>(index_) << 20) +
                      static_cast<uint64_t>(next_id_);
        auto request = [&](int conn) {
            return "GET /lat?LATENCY_TEST=GET&LATENCY_INTERVAL=50&LATENCY_ID=" +
                   std::to_string(id) +
                   "&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=" + std::to_string(conn) +
                   " HTTP/1.1\r\n\r\n";
        };
        int control = open();
        if (control < 0)
            return vanish();
        vh_test::send_all(control, request(0));
        expect(control, CREATED, "latency control reply");
        if (v.due())
            return vanish();
        int data = open();
        if (data < 0)
            return vanish();
        vh_test::send_all(data, request(1));
        expect(data, GET_REPLY, "latency download reply");
        for (int round = 0; round < 3; round++) {
            vh_test::recv_exact(data, 64 << 10, 5s);
            if (v.due())
                return vanish();
            if (round == 1) {
                vh_test::send_all(control, STATS_REQUEST.substr(0, 7));
                if (v.due())
                    return vanish();
                std::this_thread::sleep_for(5ms);
                vh_test::send_all(control, STATS_REQUEST.substr(7));
            } else {
                vh_test::send_all(control, STATS_REQUEST);
            }
            std::string header;
            auto until = steady::now() + 10s;
            while (header.find("\r\n\r\n") == std::string::npos && steady::now() < until) {
                std::string c = vh_test::recv_exact(
                    control, 1,
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - steady::now()));
                if (c.empty())
                    break;
                header += c;
            }
            // No std::regex here: building one in several threads at once races inside the
            // C++ library, which the thread sanitizer reports.
            const std::string length_key = "Content-Length: ";
            const size_t at = header.find(length_key);
            if (at == std::string::npos || !isdigit(header[at + length_key.size()])) {
                counts_.fault("latency statistics header: [" + header + "]");
                return true;
            }
            std::string body = vh_test::recv_exact(
                control, std::stoul(header.substr(at + length_key.size())), 10s);
            if (body.rfind("{\"protocol_version\":1,", 0) != 0)
                counts_.fault("latency statistics document: [" + body + "]");
        }
        shutdown(data, SHUT_WR);
        until_closed(data, "latency download end");
        return true;
    }

    // HEAD, then a second request on the same connection.
    bool head(vanishing& v) {
        int fd = open();
        if (fd < 0)
            return vanish();
        for (int i = 0; i < 2; i++) {
            if (v.due())
                return vanish();
            vh_test::send_all(fd, "HEAD /file HTTP/1.1\r\nHost: soak\r\n\r\n");
            expect(fd, HEAD_REPLY, "HEAD reply");
        }
        return true;
    }

    // PUT appends to an existing session log, or names one that does not exist.
    bool put(vanishing& v) {
        int fd = open();
        if (fd < 0)
            return vanish();
        if (pick(0, 3) == 0) {
            vh_test::send_all(fd, "PUT /no-such-file HTTP/1.1\r\n\r\n");
            if (!until_closed(fd, "PUT of a missing file").empty())
                counts_.fault("PUT of a missing file was answered");
            return true;
        }
        vh_test::send_all(fd, "PUT /" + put_name_ + " HTTP/1.1\r\n\r\n");
        expect(fd, PUT_CONTINUE, "PUT reply");
        uint64_t sent = 0;
        for (int i = 0; i < 3; i++) {
            if (v.due())
                return vanish();
            std::string line(static_cast<size_t>(pick(1, 3000)), 'p');
            line += '\n';
            vh_test::send_all(fd, line);
            sent += line.size();
            counts_.put_sent += line.size();
        }
        counts_.put_done += sent;
        return true;
    }

    // Requests that every parser and check refuses, each in its own way; the server
    // closes every one of them without a reply.
    bool malformed(vanishing& v) {
        static const std::string too_big = "GET /x HTTP/1.1\r\n" + std::string(17000, 'h');
        const std::string cases[] = {
            "get / HTTP/1.1\r\n\r\n",
            "GET / HTTP/1.1\r\n\r\nX",
            "GET /x?num_connections=1 HTTP/1.1\r\n\r\n",
            "GET /x?TCP_CONG=a-b HTTP/1.1\r\n\r\n",
            "GET /x HTTP/1.1\r\nNoColon\r\n\r\n",
            "GET /results HTTP/1.1\r\n\r\n",
            "GET /x?CONTROL=1&UNITID=1&NUM_CONNECTIONS=2&CONNECTION=2 HTTP/1.1\r\n\r\n",
            "POST /x?CONTROL=1&UNITID=9&SESSIONID=1&NUM_CONNECTIONS=1&CONNECTION=0 "
            "HTTP/1.1\r\n\r\n",
            std::string("GET /\0x HTTP/1.1\r\n\r\n", 20),
            std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15),
            too_big,
        };
        int fd = open();
        if (fd < 0)
            return vanish();
        const size_t which = static_cast<size_t>(pick(0, std::size(cases) - 1));
        const std::string& bytes = cases[which];
        // Any piece of a case may come alone, except of the one whose first piece can be a
        // whole valid header on its own.
        size_t cut = which == 1 ? bytes.size()
                                : static_cast<size_t>(pick(1, static_cast<int>(bytes.size())));
        vh_test::send_all(fd, bytes.substr(0, cut));
        if (v.due())
            return vanish();
        vh_test::send_all(fd, bytes.substr(cut));
        std::string got = until_closed(fd, "malformed request");
        if (!got.empty())
            counts_.fault("malformed request was answered: [" + got + "]");
        return true;
    }
};

// Refused joins: a duplicate connection index and a connection whose parameters differ
// from its session's, each closed while the session goes on.
void refused_joins(int port, int index, tally& counts) {
    std::string base = "GET /d?CONTROL=1&UNITID=77&SESSIONID=" + std::to_string(index) +
                       "&NUM_CONNECTIONS=2&CONNECTION=";
    int first = vh_test::connect_loopback(port);
    vh_test::send_all(first, base + "0 HTTP/1.1\r\n\r\n");
    if (vh_test::recv_exact(first, GET_REPLY.size(), 10s) != GET_REPLY)
        counts.fault("refused joins: first reply");
    for (const std::string& bad :
         {base + "0 HTTP/1.1\r\n\r\n", base + "1&TRACE_INTERVAL=100 HTTP/1.1\r\n\r\n"}) {
        int fd = vh_test::connect_loopback(port);
        vh_test::send_all(fd, bad);
        if (!vh_test::read_until_close(fd, 10s).empty())
            counts.fault("refused joins: answered");
        close(fd);
    }
    shutdown(first, SHUT_WR);
    vh_test::read_until_close(first, 10s);
    close(first);
}

TEST(Soak, MixedClientsVanishingInEveryStateLeaveTheServerAsItWas) {
    const long seconds = vh_test::env_long("VH_SOAK_SECONDS", 60);
    std::string logs = vh_test::make_temp_dir();
    const std::string put_name = "soak-session.log";
    vh_test::write_file(logs + "/" + put_name, 0);

    server_process proc;
    start_options opts;
    opts.args = {"-l", logs, "-t", "60"};
    // A small quarantine keeps freed memory from counting as growth in sanitizer builds.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    opts.env.push_back({"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=8"});
    int port = vh_test::start_activated(proc, opts);
    ASSERT_GT(port, 0);
    const int idle_fds = vh_test::idle_descriptors(proc.pid, port);
    ASSERT_GT(idle_fds, 0);

    tally counts;
    constexpr int clients = 6;
    const auto start = steady::now();
    const auto until = start + std::chrono::seconds(seconds);
    std::atomic<int> running{clients};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&, i] {
            client(port, i, put_name, counts).run(until);
            refused_joins(port, i, counts);
            running--;
        });
    // Meanwhile the server's output is read, as a service manager would: a writer that
    // blocks on a full pipe would stall the server. Memory is taken once every kind of
    // session has run for a while, and again at the end.
    long warm_rss = -1;
    while (running.load() > 0) {
        proc.poll_output(100ms);
        if (warm_rss < 0 && steady::now() > start + std::chrono::seconds(seconds / 3))
            warm_rss = vh_test::rss_kib(proc.pid);
    }
    for (auto& t : threads)
        t.join();

    // Every session of the soak ends by the server's own rules; its descriptors with it.
    int fds = vh_test::count_fds(proc.pid);
    auto settle = steady::now() + 20s;
    while (fds != idle_fds && steady::now() < settle) {
        proc.poll_output(200ms);
        fds = vh_test::count_fds(proc.pid);
    }
    EXPECT_EQ(fds, idle_fds);
    const long end_rss = vh_test::rss_kib(proc.pid);
    constexpr long RSS_GROWTH_BOUND_KIB = 32 * 1024;
    EXPECT_LE(end_rss - warm_rss, RSS_GROWTH_BOUND_KIB)
        << "resident KiB after a third of the soak " << warm_rss << ", at the end " << end_rss;

    // Still serving: a whole download and a HEAD.
    int fd = vh_test::connect_loopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(vh_test::send_all(fd, "HEAD / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(vh_test::recv_exact(fd, HEAD_REPLY.size(), 5s), HEAD_REPLY);
    close(fd);
    fd = vh_test::connect_loopback(port);
    ASSERT_TRUE(vh_test::send_all(fd, "GET /after-soak HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(vh_test::recv_exact(fd, GET_REPLY.size(), 5s), GET_REPLY);
    EXPECT_EQ(vh_test::recv_exact(fd, 1 << 20, 5s).size(), size_t{1} << 20);
    close(fd);

    // Nothing a PUT that ran to its end sent is lost; a vanished one may have lost its
    // last piece, never more than it sent.
    const uint64_t appended = vh_test::read_file(logs + "/" + put_name).size();
    EXPECT_GE(appended, counts.put_done.load());
    EXPECT_LE(appended, counts.put_sent.load());

    for (const std::string& f : counts.faults)
        ADD_FAILURE() << f;
    EXPECT_GT(counts.completed.load(), clients * 10);
    EXPECT_GT(counts.resets.load(), clients * 5);

    proc.poll_output(200ms);
    std::istringstream lines(proc.output);
    std::string line;
    int unexpected = 0;
    while (std::getline(lines, line)) {
        bool known = false;
        for (const char* text : EXPECTED_LINES)
            known = known || line.find(text) != std::string::npos;
        if (!known && unexpected++ < 20)
            ADD_FAILURE() << "unexpected log line: " << line;
    }
    EXPECT_TRUE(proc.output.find("Sanitizer") == std::string::npos) << proc.output;
    EXPECT_TRUE(proc.output.find("runtime error:") == std::string::npos);
    EXPECT_EQ(waitpid(proc.pid, nullptr, WNOHANG), 0) << "the server exited";
    std::cout << "sessions " << counts.sessions << ", completed " << counts.completed
              << ", vanished " << counts.resets << ", resident KiB " << warm_rss << " -> "
              << end_rss << ", descriptors " << fds << "\n";
    vh_test::remove_tree(logs);
}

} // namespace
