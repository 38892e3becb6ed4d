// A soak of the real server: concurrent clients run every kind of session (downloads
// of several connections, uploads to their results, latency sessions fetching their
// statistics, PUT) and vanish at random moments in every state (refusals of malformed
// requests, many at once, and keep-alive HEAD requests are tested on their own). Afterwards the
// server still serves, holds its idle number of descriptors, has not grown beyond a memory bound,
// does not spin and printed nothing but lines it already has. VH_SOAK_SECONDS lengthens the run
// (default 60 s).
#include "hardening_support.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <thread>

using namespace vh_test;

namespace {

const std::string PUT_NAME = "soak-session.log"; // a session log in the log directory

// The lines the server may print while clients come, go and misbehave: each is a line
// it has for that situation. Anything else (a new line for a reset, a "Bug!", an
// assertion) fails the soak.
const std::vector<std::string> EXPECTED_LINES = {
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
    "more suppressed"}; // the count of such lines held back by their rate limit

struct tally {
    // Faults: sessions that were not reset and went wrong (the first 20 are reported).
    std::atomic<int> resets{0}, completed{0}, faults{0};
    // Bytes sent by PUT sessions that ran to their end, and by all of them.
    std::atomic<uint64_t> put_done{0}, put_sent{0};
};

// One client thread: session after session of a behaviour picked at random, each abandoned
// with a reset of all its connections at one random step of its script (or at none).
struct client {
    int port_;
    uint32_t index_;
    tally& counts_;
    std::mt19937 rng_{index_ * 7919u + 17u};
    uint64_t next_id_ = 0;
    int step_ = 0, reset_at_ = 0;
    std::vector<int> fds_{}; // the connections of the running session (-1: failed to connect)

    void run(steady::time_point until) {
        using behaviour = bool (client::*)();
        static constexpr behaviour behaviours[] = {&client::download, &client::upload,
                                                   &client::latency, &client::put};
        for (; steady::now() < until; fds_.clear()) {
            next_id_++;
            step_ = 0;
            reset_at_ = pick(0, 12); // 0 or beyond the script: no reset
            // A session that vanished resets every connection, as a client that went away.
            const bool completed = (this->*behaviours[pick(0, 3)])();
            (completed ? counts_.completed : counts_.resets)++;
            for (int fd : fds_)
                completed ? (void)close(fd) : reset_close(fd);
        }
    }

    int pick(int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng_);
    }
    bool due() {
        return ++step_ == reset_at_;
    }
    int open() {
        fds_.push_back(connect_loopback(port_));
        return fds_.back();
    }
    void fault(const std::string& what) {
        if (counts_.faults++ < 20)
            ADD_FAILURE() << what; // googletest's assertions are thread-safe
    }
    void expect(int fd, const std::string& reply, const char* what) {
        if (const std::string got = recv_exact(fd, reply.size(), 10s); got != reply)
            fault(std::string(what) + ": got [" + got + "]");
    }
    // What arrives until the server closes; a fault if it does not within 10 s.
    std::string until_closed(int fd, const char* what) {
        bool closed = false;
        std::string got = read_until_close(fd, 10s, &closed);
        if (!closed)
            fault(std::string(what) + ": not closed");
        return got;
    }

    // Opens the connections of a controlled session, each sending its request; false if the
    // session vanished before one of them or in the middle of a header.
    bool join(const char* method, const std::string& path, int conns,
              const std::string& extra = "") {
        for (int i = 0; i < conns; i++) {
            if (due() || open() < 0)
                return false;
            const std::string request = http_request(
                method, path + "?" + controlled_query(next_id_, conns, i, index_ + 1) + extra, "");
            const bool cut = due();
            send_all(fds_.back(), cut ? request.substr(0, request.size() / 2) : request);
            if (cut)
                return false;
        }
        return true;
    }

    // A download of one to three connections: some data on each, then the half-close and
    // the statistics message.
    bool download() {
        if (!join("GET", "/download", pick(1, 3)))
            return false;
        for (int fd : fds_) {
            expect(fd, GET_REPLY, "download reply");
            if (due())
                return false;
            recv_exact(fd, static_cast<size_t>(pick(1, 300)) << 10, 10s);
        }
        for (int fd : fds_) {
            if (due())
                return false;
            shutdown(fd, SHUT_WR);
            std::string rest = until_closed(fd, "download end");
            if (rest.size() < 16 || rest.compare(rest.size() - 16, 8, "\1\2\3\4\5\6\7\10") != 0)
                fault("download without its statistics message");
        }
        return true;
    }

    // An upload of one or two connections, pushed until the results reply arrives.
    bool upload() {
        // Every connection must have joined by the first warm-up sample, or the test fails
        // by the rules and a late connection is closed without a reply: a sample time long
        // enough for a sanitizer build on a loaded machine (300 ms once was not).
        if (!join("POST", "/upload", pick(1, 2),
                  "&NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=4&WARMUP_SAMPLE_TIME=1000"
                  "&WARMUP_TOLERANCE=100&RESULT_NUM_INTERVALS=1&RESULTS_INTERVAL_PERIOD=1"))
            return false;
        for (int fd : fds_)
            expect(fd, CONTINUE, "upload reply");
        const std::string chunk(16 << 10, 'u');
        std::vector<std::string> results(fds_.size());
        auto finished = [](const std::string& r) { return r.find("\n\n") != std::string::npos; };
        for (auto until = steady::now() + 20s;
             !std::ranges::all_of(results, finished) && steady::now() < until;
             std::this_thread::sleep_for(20ms)) {
            if (due())
                return false;
            for (size_t i = 0; i < fds_.size(); i++)
                if (!finished(results[i])) {
                    send(fds_[i], chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    // Waits are counted in whole milliseconds left: 1 ms would read nothing.
                    results[i] += recv_exact(fds_[i], 4096, 5ms);
                }
        }
        for (const std::string& r : results)
            if (!r.starts_with("VARNHOLT_HTTP_REPLY\n"))
                fault("upload results: [" + r + "]");
        return true;
    }

    // A latency session: the control connection fetches the statistics (the second time in
    // two packets) while a download runs beside it.
    bool latency() {
        const uint64_t id = (uint64_t{1} << 32) + (uint64_t{index_} << 20) + next_id_;
        const std::string request = "GET " + latency_target("GET", id, 50, 2);
        if (open() < 0 || !send_all(fds_[0], request + "0 HTTP/1.1\r\n\r\n"))
            return false;
        expect(fds_[0], CREATED, "latency control reply");
        if (due() || open() < 0)
            return false;
        const int control = fds_[0], data = fds_[1];
        send_all(data, request + "1 HTTP/1.1\r\n\r\n");
        expect(data, GET_REPLY, "latency download reply");
        for (size_t sent : {0, 7, 0}) { // the second request in two packets
            recv_exact(data, 64 << 10, 5s);
            if (due())
                return false;
            send_all(control, STATS_REQUEST.substr(0, sent));
            if (sent > 0 && due())
                return false;
            std::this_thread::sleep_for(5ms);
            // No std::regex here: building one in several threads at once races inside the
            // C++ library, which the thread sanitizer reports.
            const std::string reply = fetch_statistics(control, sent);
            if (reply.find("\r\n\r\n{\"protocol_version\":1,") == std::string::npos)
                fault("latency statistics: [" + reply + "]");
        }
        shutdown(data, SHUT_WR);
        until_closed(data, "latency download end");
        return true;
    }

    // PUT appends to an existing session log, or names one that does not exist.
    bool put() {
        const bool missing = pick(0, 3) == 0;
        if (open() < 0)
            return false;
        send_all(fds_[0], http_request("PUT", missing ? "/no-such-file" : "/" + PUT_NAME, ""));
        if (missing) {
            if (!until_closed(fds_[0], "PUT of a missing file").empty())
                fault("PUT of a missing file was answered");
            return true;
        }
        expect(fds_[0], PUT_CONTINUE, "PUT reply");
        uint64_t sent = 0;
        for (int i = 0; i < 3; i++) {
            if (due())
                return false;
            const std::string line = std::string(static_cast<size_t>(pick(1, 3000)), 'p') + '\n';
            send_all(fds_[0], line);
            sent += line.size();
            counts_.put_sent += line.size();
        }
        counts_.put_done += sent;
        return true;
    }
};

TEST(Soak, MixedClientsVanishingInEveryStateLeaveTheServerAsItWas) {
    const char* env_seconds = std::getenv("VH_SOAK_SECONDS");
    const long seconds = env_seconds != nullptr && atol(env_seconds) > 0 ? atol(env_seconds) : 60;
    const temp_dir logs;
    write_file(logs + "/" + PUT_NAME, 0);

    server_process proc;
    // A small quarantine keeps freed memory from counting as growth in sanitizer builds.
    const char* asan = getenv("ASAN_OPTIONS");
    const int port = start_activated(
        proc, options({"-l", logs, "-t", "60"},
                      {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=8"}}));
    const int idle_fds = idle_descriptors(proc.pid, port);
    ASSERT_GT(idle_fds, 0);

    tally counts;
    constexpr int clients = 6;
    const auto start = steady::now();
    const auto until = start + std::chrono::seconds(seconds);
    std::atomic<int> running{clients};
    std::vector<std::jthread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&, i] {
            client{port, static_cast<uint32_t>(i), counts}.run(until);
            running--;
        });
    // Meanwhile the server's output is read, as a service manager would: a writer that
    // blocks on a full pipe would stall the server. Memory is taken once every kind of
    // session has run for a while, and again at the end.
    long warm_rss = -1;
    while (running.load() > 0) {
        proc.poll_output(100ms);
        if (warm_rss < 0 && steady::now() > start + std::chrono::seconds(seconds / 3))
            warm_rss = rss_kib(proc.pid);
    }
    threads.clear(); // joins them

    // Every session of the soak ends by the server's own rules; its descriptors with it.
    EXPECT_EQ(settle_fds(proc, idle_fds, 20s), idle_fds) << describe_fds(proc.pid);
    const long end_rss = rss_kib(proc.pid);
    EXPECT_LE(end_rss - warm_rss, 32 * 1024)
        << "resident KiB after a third of the soak " << warm_rss << ", at the end " << end_rss;
    EXPECT_LE(cpu_ticks_in_a_second(proc.pid), 10) << "ticks of CPU used by the idle server";

    // Still serving: a whole download.
    vh_test::client after(port, "GET /after-soak HTTP/1.1\r\n\r\n");
    EXPECT_EQ(after.recv(GET_REPLY.size()), GET_REPLY);
    EXPECT_EQ(after.recv(1 << 20).size(), size_t{1} << 20);

    // Nothing a PUT that ran to its end sent is lost; a vanished one may have lost its
    // last piece, never more than it sent.
    const uint64_t appended = read_file(logs + "/" + PUT_NAME).size();
    EXPECT_GE(appended, counts.put_done.load());
    EXPECT_LE(appended, counts.put_sent.load());

    EXPECT_GT(counts.completed.load(), clients * 10);
    EXPECT_GT(counts.resets.load(), clients * 5);

    proc.poll_output(200ms);
    std::istringstream lines(proc.output);
    int unexpected = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto known = [&](const std::string& k) { return line.find(k) != std::string::npos; };
        if (!std::ranges::any_of(EXPECTED_LINES, known) && unexpected++ < 20)
            ADD_FAILURE() << "unexpected log line: " << line;
    }
}

} // namespace
