// Sessions end to end on the real server: downloads (data, statistics message, timers, logs),
// uploads to their results, and PUT uploads of logs with their refusals.
#include "hardening_support.h"
#include "log_limit.h"

#include <algorithm>
#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numeric>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <utility>

using namespace vh_test;

namespace {

// One upload connection: sends while `sending`, collects what the server answers.
struct uploader {
    int fd;
    std::string received;
    bool sending = true, closed = false; // closed: the server closed after its results
};

// Rounds of `chunk` sent on every sending connection and what arrived collected, until each
// open one has its results and the server's close, or `limit` passed; `round` runs first in
// each round (given its number and the time since the start).
void pump(const std::vector<uploader*>& ups, size_t chunk_size, std::chrono::milliseconds limit,
          const std::function<void(int, std::chrono::nanoseconds)>& round = nullptr) {
    const std::string chunk(chunk_size, 'u');
    char buf[4096];
    const auto begin = steady::now();
    const auto open = [](const uploader* u) { return u->fd >= 0 && !u->closed; };
    for (int r = 0; steady::now() < begin + limit && std::any_of(ups.begin(), ups.end(), open);
         r++, std::this_thread::sleep_for(5ms)) {
        if (round)
            round(r, steady::now() - begin);
        for (uploader* u : ups) {
            if (!open(u))
                continue;
            if (u->sending)
                send(u->fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ssize_t n = recv(u->fd, buf, sizeof(buf), MSG_DONTWAIT);
            u->received.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            u->closed = n == 0 || (n < 0 && errno != EAGAIN);
        }
    }
}

struct SessionFlow : ::testing::Test {
    server_process proc;
    temp_dir logs;
    int port = -1;
    void start(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"-d", "3", "-l", logs});
        ASSERT_GT(port = start_activated(proc, options(args)), 0);
    }
    // A connection that sent `request` and read `reply`.
    int open(const std::string& request, const std::string& reply = GET_REPLY) {
        int fd = send_new(port, request);
        EXPECT_EQ(recv_exact(fd, reply.size(), 5s), reply);
        return fd;
    }
    uploader up(uint64_t session, size_t conns, size_t index, const std::string& extra = "",
                const std::string& rules = QUICK_UPLOAD) {
        return {open(upload_request(session, conns, index, rules, extra), CONTINUE), ""};
    }
    // The text of the session log named as `name` says, once it has that name (it is written
    // as "<name>.part" first).
    std::string log(const std::string& name = R"(4_[0-9]+_[0-9]+\.log)") {
        std::string text;
        eventually([&] {
            for (const auto& e : std::filesystem::directory_iterator(logs))
                if (std::regex_match(e.path().filename().string(), std::regex(name))) {
                    EXPECT_EQ(e.status().permissions() & std::filesystem::perms::all,
                              static_cast<std::filesystem::perms>(0644));
                    text = read_file(e.path());
                    return true;
                }
            return false;
        });
        return text;
    }
};

// The stream is the file from its start, each send continuing where the last one stopped,
// or starting again at 0 once past the middle of the file (its first bytes follow). It ends
// with the statistics message: the fixed eight bytes, 4, the retransmissions. A path's
// transfer deadline stops the data.
TEST_F(SessionFlow, DownloadsStreamTheFileEndWithTheStatisticsMessageAndLogTheirBytes) {
    start();
    const std::string file = read_file(test_file());
    int fd = open(download_request(11, 1, 0, "&STORE_LOG=1"));
    const std::string data = recv_exact(fd, 3 * file.size(), 10s);
    ASSERT_EQ(data.size(), 3 * file.size());
    for (size_t i = 0, offset = 0; i < data.size(); i++, offset++) {
        size_t m = std::min<size_t>(64, data.size() - i);
        if (offset == file.size() ||
            (offset > file.size() / 2 && data.compare(i, m, file, 0, m) == 0 &&
             data.compare(i, m, file, offset, m) != 0))
            offset = 0;
        ASSERT_EQ(data[i], file[offset]) << "stream byte " << i << ", file offset " << offset;
    }
    shutdown(fd, SHUT_WR); // the client's end: the statistics message follows the data
    const std::string rest = read_until_close(fd, 10s);
    close(fd);
    ASSERT_GE(rest.size(), 16u); // the retransmissions, last, are far from 65536 on the loopback
    EXPECT_EQ(rest.substr(rest.size() - 16, 14),
              std::string("\x01\x02\x03\x04\x05\x06\x07\x08\0\0\0\x04\0\0", 14));
    // The log counts exactly the file bytes the client received.
    EXPECT_EQ(log(R"(4_[0-9]+_11\.log)"),
              "VH_HTTP_SERVER: 1.0\nTEST: GET\nCONNECTION: 0\nBYTES_TRANSMITTED: " +
                  std::to_string(data.size() + rest.size() - 16) + "\n");
    // A 38-character path then "/300": the data, read as it comes, flows until 300 ms after
    // the request and stops then.
    auto asked = steady::now(), last = asked;
    fd = open("GET /" + std::string(38, 'p') + "/300 HTTP/1.1\r\n\r\n");
    for (auto now = asked; now - asked < 1s; now = steady::now())
        last = recv_exact(fd, 1 << 16, 10ms).empty() ? last : steady::now();
    EXPECT_TRUE(last - asked > 250ms && last - asked < 700ms) << (last - asked) / 1ms << " ms";
    close(fd);

    // A data cap counts the bytes of all the session's connections together. The session's
    // timers: data (one-shot, 330 s) and trace (0.1 s periodic), armed once, the second
    // connection arming nothing (the expiry timer: WorkerTimer's test). Trace lines are sampled
    // while the download runs, and logged.
    const uint64_t cap = 8 << 20;
    const std::string extra =
        "&STORE_LOG=1&TRACE_INTERVAL=100&TEST_DATA_CAP=" + std::to_string(cap);
    int a = open(download_request(23, 2, 0, extra)), b = open(download_request(23, 2, 1, extra));
    const std::string armed = "session " + std::to_string((4ull << 32) + 23) + " timer ";
    for (const char* once : {"3 armed: first 330.000000000 s, period 0.000000000 s",
                             "5 armed: first 0.100000000 s, period 0.100000000 s"})
        EXPECT_TRUE(proc.wait_for(armed + once, 5s) && !proc.wait_count(armed + once, 2, 100ms))
            << proc.output;
    // Draining one is enough to pass the cap; the other's bytes wait in the socket buffers.
    std::this_thread::sleep_for(450ms); // the full buffers hold the session (traces go on)
    std::string got_b = read_until_close(b, 20s), got_a = read_until_close(a, 20s);
    close(a);
    close(b);
    std::string text = log(R"(4_[0-9]+_23\.log)");
    // The log counts exactly what each connection received, together beyond the cap.
    EXPECT_NE(text.find("CONNECTION: 0\nBYTES_TRANSMITTED: " + std::to_string(got_a.size()) +
                        "\nCONNECTION: 1\nBYTES_TRANSMITTED: " + std::to_string(got_b.size()) +
                        "\n"),
              std::string::npos)
        << text;
    EXPECT_GT(got_a.size() + got_b.size(), cap);
    EXPECT_GT(got_a.size() * got_b.size(), 0u);
    EXPECT_TRUE(
        std::regex_search(text, std::regex("\nTCP TRACES\nCONN\tTIME\tSSTH\tCWND\tRETRANS\t"
                                           "MSS\tRTT\tBYTES\n(CONN[01]:(\t[0-9]+){7}\n){6,}$")))
        << text;
}

// --- Uploads -------------------------------------------------------------------------------

// The results of an upload: RESULT, NUM_WARMUP and NUM_MEASUR, the shape checked.
std::vector<std::string> results(const uploader& u) {
    static const std::regex shape(
        "VARNHOLT_HTTP_REPLY\nVERSION: 1\\.0\nRESULT: (OK|FAIL)\nEND_TIME: [0-9]+\nSECTION: "
        "WARMUP\nNUM_WARMUP: ([0-9]+)\n(?:WARMUP_SESSION: [0-9]+ [0-9]+ [0-9]+\n)*SECTION: "
        "MEASUR\nNUM_MEASUR: ([0-9]+)\n(?:MEASUR_SESSION: [0-9]+ [0-9]+ [0-9]+\n)*\n");
    std::smatch m;
    EXPECT_TRUE(std::regex_match(u.received, m, shape)) << u.received;
    return {m[1], m[2], m[3]};
}

using Upload = SessionFlow;

// Every connection, a slow and a silent one too, gets the same results: three measurements,
// as many warm-up lines as NUM_WARMUP says, and the log of all three. Beside it, a connection
// that closes during measurement ends its test early, and a reset fails its test; neither of
// those writes a log (without traces or STORE_LOG).
TEST_F(Upload, EveryConnectionGetsTheSameResultsAndAnEndOfUploadInWarmUpIsSampledOnce) {
    start();
    uploader a = up(31, 3, 0, "&STORE_LOG=1"), b = up(31, 3, 1, "&STORE_LOG=1"),
             c = up(31, 3, 2, "&STORE_LOG=1");
    uploader stays = up(33, 2, 0), leaves = up(33, 2, 1), fails = up(34, 2, 0),
             resets = up(34, 2, 1);
    c.sending = false; // silent, and b slow
    // Data goes out on every connection until all have their results and the server's FIN
    // (warm-up takes at most 0.4 s).
    pump({&a, &b, &c, &stays, &leaves, &fails, &resets}, 64 << 10, 20s, [&](int round, auto t) {
        b.sending = round % 10 == 0;
        if (resets.fd >= 0 && t > 1s)
            reset_close(std::exchange(resets.fd, -1));
        if (leaves.fd >= 0 && t > 1500ms)
            close(std::exchange(leaves.fd, -1));
    });
    for (uploader* u : {&a, &b, &c}) {
        EXPECT_TRUE(u->closed);
        EXPECT_EQ(u->received, a.received);
        close(u->fd);
    }
    auto r = results(a);
    EXPECT_EQ(r[0] + " " + r[2], "OK 3");
    EXPECT_EQ(count_occurrences(a.received, "\nWARMUP_SESSION:"), std::stoi(r[1]));
    EXPECT_EQ(results(stays)[0], "OK");
    EXPECT_LT(std::stoi(results(stays)[2]), 3);
    EXPECT_EQ(results(fails)[0], "FAIL");
    for (int fd : {stays.fd, fails.fd})
        close(fd);
    const std::string text = log(), numbers = "(: [0-9]+ [0-9]+ [0-9]+\n)";
    EXPECT_TRUE(std::regex_match(
        text, std::regex(
                  "VH_HTTP_SERVER: 1\\.0\nTEST: POST\nRESULT: OK\nNUM_CONNECTIONS: 3\n(CONNECTION: "
                  "[0-2]\nNUM_WARMUP: [0-9]+\n(WARMUP [0-9]+" +
                  numbers + ")*NUM_MEASUR: 3\n(MEASUR [0-2]" + numbers + "){3}){3}")))
        << text;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(logs), {}), 1);

    // Then a connection that half-closes during warm-up is sampled once for it: the other
    // connection's steady events do not each take a sample, so the five samples (no window is
    // stable within 0 %) take their four timer periods of 200 ms; the end of upload then ends
    // the test at the start of measurement, and both connections get their results.
    const std::string rules = "NUM_WARMUP_SAMPLES=5&MAX_WARMUP_SAMPLES=5&WARMUP_SAMPLE_TIME=200&"
                              "WARMUP_TOLERANCE=0&RESULT_NUM_INTERVALS=3&RESULTS_INTERVAL_PERIOD=1";
    uploader sends = up(35, 2, 0, "", rules), ended = up(35, 2, 1, "", rules);
    shutdown(ended.fd, SHUT_WR);
    ended.sending = false;
    pump({&sends, &ended}, 40 << 10, 8s);
    close(sends.fd);
    close(ended.fd);
    EXPECT_EQ(sends.received, ended.received);
    r = results(sends);
    EXPECT_EQ(r[0] + " " + r[1] + " " + r[2], "OK 5 0");
    std::smatch last;
    ASSERT_TRUE(std::regex_search(sends.received, last,
                                  std::regex("WARMUP_SESSION: ([0-9]+) ([0-9]+) [0-9]+\nSECTION")));
    EXPECT_GE(std::stod(last[1]) + std::stod(last[2]) / 1e9, 0.6) << sends.received;
}

// --- PUT uploads to the log directory --------------------------------------------------------

std::string put(const std::string& path) {
    return http_request("PUT", "/" + path);
}

struct Put : SessionFlow {
    // Whether a PUT of `path` was closed without a reply, its body sent with its header or not.
    bool refused(const std::string& path, bool body_with_header = false) {
        return client(port, put(path) + (body_with_header ? "body bytes" : "")).refused();
    }
};

// Targets outside the log directory, by dot-dots or links, a directory, a missing file (not
// created), a body sent with the header, no log directory at all, no room in the memory
// budget, or none in the log directory's.
TEST_F(Put, PutConfinedToExistingFilesOfTheLogDirectory) {
    start();
    const temp_dir outside;
    std::ofstream(outside + "/victim") << "untouched";
    std::ofstream(logs + "/t.log") << "x";
    mkdir((logs + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (logs + "/link.log").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (logs + "/dirlink").c_str()), 0);
    const std::string name = outside.substr(outside.rfind('/') + 1), up = "../" + name + "/victim";
    for (const std::string& path :
         std::vector<std::string>{up, "sub/../" + up, "sub/../../" + name + "/victim", "link.log",
                                  "dirlink/victim", "sub", "1_2_3.log"})
        EXPECT_TRUE(refused(path)) << path;
    EXPECT_TRUE(refused("t.log", true));
    EXPECT_TRUE(proc.wait_for("Request for traces of non existent session", 5s));
    EXPECT_EQ(read_file(outside + "/victim") + read_file(logs + "/t.log"), "untouchedx");
    EXPECT_FALSE(std::filesystem::exists(logs + "/1_2_3.log"));
    server_process without;
    port = start_activated(without, options({"-d", "3"}));
    EXPECT_TRUE(refused("t.log"));
    // A running download leaves a budget of 1 MiB no room for a chunk, and a log directory
    // already full refuses the append: either way the upload ends with its line.
    for (const auto& [limit, line] : {std::pair{"--max-memory=1M", "ended: the memory budget of "
                                                                   "1048576 bytes is reached"},
                                      {"--max-log-space=1", "Error writing file"}}) {
        server_process other;
        port = start_activated(other, options({"-d", "3", "-l", logs, limit}));
        const int download = open(download_request(9)), fd = open(put("t.log"), PUT_CONTINUE);
        send_all(fd, "more");
        EXPECT_TRUE(wait_closed(fd, 5s));
        EXPECT_TRUE(other.wait_for(line, 5s)) << other.output;
        EXPECT_EQ(read_file(logs + "/t.log"), "x");
        close(fd);
        close(download);
    }
}

// Connections that go away at every step (before the open is answered, while a chunk is
// written, by reset, by reset with more data queued) leave no descriptor and no open file
// behind, write only whole chunks, print no error for a hang-up (once taken for a late
// answer), and the next upload's body, in pieces, is appended in order. Then a flood of PUTs to
// a missing file: each is refused, but its warning passes only as a burst and then about two a
// second; the next one to pass after the flood tells how many were held.
TEST_F(Put, ConnectionsCutShortReleaseTheirDescriptorsAndAFloodOfRefusalsLogsABurstThenTheCount) {
    start();
    std::ofstream(logs + "/cut.log").flush();
    std::ofstream(logs + "/1_100_7.log") << "VH_HTTP_SERVER: 1.0\n";
    const int baseline = idle_descriptors(proc.pid, port);
    const std::string before = describe_fds(proc.pid), data(4 << 20, 'c');
    for (int i = 0; i < 90; i++) {
        const int step = i % 5, c = send_new(port, put("cut.log"));
        if (step >= 2) {
            EXPECT_EQ(recv_exact(c, PUT_CONTINUE.size(), 5s), PUT_CONTINUE);
            send(c, data.data(), step == 4 ? data.size() : 1 << 20, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
        }
        step == 1 || step >= 3 ? reset_close(c) : void(close(c));
    }
    EXPECT_EQ(settle_fds(proc, baseline), baseline)
        << "before:\n" + before + "after:\n" + describe_fds(proc.pid);
    EXPECT_EQ(read_file(logs + "/cut.log").find_first_not_of('c'), std::string::npos);

    const std::string body = read_file(test_file()); // 1 MiB of pseudo-random bytes
    int fd = open("PUT /1_100_7.log?IGNORED=1 HTTP/1.1\r\nHost: t\r\n\r\n", PUT_CONTINUE);
    send_all(fd, body.substr(0, 600000));
    std::this_thread::sleep_for(20ms);
    send_all(fd, body.substr(600000));
    close(fd);
    EXPECT_TRUE(eventually(
        [&] { return read_file(logs + "/1_100_7.log") == "VH_HTTP_SERVER: 1.0\n" + body; }));
    proc.poll_output(100ms);
    EXPECT_EQ(proc.output.find("BUG!"), std::string::npos) << proc.output.substr(0, 2000);

    const auto began = steady::now();
    const std::string warning = "Request for traces of non existent session";
    constexpr int flood = 80;
    for (int i = 0; i < flood; i++)
        ASSERT_TRUE(refused("missing.log"));
    proc.poll_output(200ms);
    const double seconds = std::chrono::duration<double>(steady::now() - began).count();
    const int passed = count_occurrences(proc.output, warning);
    EXPECT_GE(passed, static_cast<int>(LOG_LIMIT_BURST));
    EXPECT_LE(passed, LOG_LIMIT_BURST + static_cast<int>(seconds * 1e9 / LOG_LIMIT_INTERVAL_NS) + 1)
        << seconds << " s";
    const std::string held = " more suppressed (PUT to a missing file)";
    for (int i = 0; i < 10 && !proc.wait_for(held, 600ms); i++)
        EXPECT_TRUE(refused("missing.log"));
    std::smatch count; // the number held back, told after the warning that passes next
    ASSERT_TRUE(std::regex_search(
        proc.output, count, std::regex("\u2026 ([0-9]+) more suppressed \\(PUT to a missing")))
        << proc.output.substr(0, 3000);
    EXPECT_GE(std::stoi(count[1]), flood - passed) << count[0];
}

// A PUT body must keep 1 KiB a second over each window of the header time-out (2 s: 2 KiB),
// and a statistics request must be whole within it from its first byte, as must a first header
// however steadily it trickles in: trickles of all three are closed, the PUT's at three quarters
// of the rate, while a steady body beside them goes on and is appended whole, and a whole
// request answered. One address holds at most --max-client-pending connections whose header is
// not whole yet, and has its count back once they are gone.
TEST_F(Put, TricklesAreCutAtTheHeaderTimeoutAndASteadyBodyGoesOn) {
    start({"--header-timeout", "2", "--max-client-pending", "4"});
    const int idle_fds = idle_descriptors(proc.pid, port);
    std::ofstream(logs + "/slow.log").flush();
    std::ofstream(logs + "/steady.log").flush();
    int control =
        open(http_request("GET", latency_target("GET", 4294967500, 100, 2) + "0"), CREATED);
    EXPECT_TRUE(fetch_statistics(control).starts_with("HTTP/1.1 200 OK\r\nContent-Length: "));
    int slow = open(put("slow.log"), PUT_CONTINUE),
        steady_fd = open(put("steady.log"), PUT_CONTINUE);
    const auto opened = steady::now();
    std::vector<int> bare(6);
    for (int& fd : bare)
        fd = connect_loopback(port);
    const auto open_bare = [&] {
        return std::count_if(bare.begin(), bare.end(), [](int fd) { return !peer_closed(fd); });
    };
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(open_bare(), 4) << "two beyond the cap";
    const std::string piece(1024, 's'), request = "GET /results HTTP/1.1\r\nX-Slow: yes\r\n";
    int step = 0;
    for (; step < 30 && !(peer_closed(slow) && peer_closed(control) && open_bare() == 0);
         step++, std::this_thread::sleep_for(200ms)) {
        send(slow, piece.data(), 150, MSG_NOSIGNAL); // 750 bytes a second
        for (int fd : bare)
            send(fd, &request[step % request.size()], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        send(control, &request[step % request.size()], 1, MSG_NOSIGNAL);
        send_all(steady_fd, piece);
    }
    EXPECT_LT(step, 30) << "a trickle was never cut";
    EXPECT_GE(steady::now() - opened, 2s);
    EXPECT_FALSE(peer_closed(steady_fd));
    for (int fd : bare)
        close(fd);
    for (int fd : {slow, control, steady_fd, open("HEAD / HTTP/1.1\r\n\r\n", HEAD_REPLY)})
        close(fd);
    EXPECT_TRUE(
        eventually([&] { return read_file(logs + "/steady.log").size() == piece.size() * step; }));
    EXPECT_EQ(settle_fds(proc, idle_fds), idle_fds) << describe_fds(proc.pid);
}

// Of a statistics document: per connection, whether it has samples and the byte counts of its
// last one (what was moved by the end, whenever the samples were taken).
// (It runs beside the other server's: a reply that is no such document must not throw.)
std::string last_samples(const std::string& reply) try {
    std::string out;
    const auto doc =
        boost::json::parse(reply.substr(std::min(reply.find("\r\n\r\n"), reply.size())));
    for (const auto& conn : doc.at("connections").as_array()) {
        const auto& samples = conn.at("samples").as_array();
        out += samples.empty()
                   ? "none\n"
                   : boost::json::serialize(samples.back().at("total_transferred")) + "/" +
                         boost::json::serialize(samples.back().at("data_transferred")) + "\n";
    }
    return out;
} catch (const std::exception& e) {
    return std::string("not a document (") + e.what() + "): " + reply;
}

// The texts of a run (first what its results replies and statistics document say, each followed
// by "--", then its session logs) with their times taken out, the logs in an order that does not
// depend on their end times. On one thread at a time: the C++ library's regular expressions fill
// character tables they share on first use, without a lock.
std::string figures_of(std::vector<std::string> texts) {
    // The end time, and the two time fields of each sample.
    const std::regex end("END_TIME: [0-9]+"),
        sample("(WARMUP|MEASUR)([_A-Z]*)( [0-9]+)?: [0-9]+ [0-9]+ ");
    for (auto& text : texts)
        text = std::regex_replace(std::regex_replace(text, end, "END_TIME"), sample, "$1$2$3: ") +
               "--\n";
    std::sort(texts.begin() + 1, texts.end());
    return std::accumulate(texts.begin(), texts.end(), std::string());
}

// The figures of one run: the sessions below on a server whose workers run on `cpus`. Each
// connection sends a fixed amount at once, so that what the results replies, the statistics
// documents and the session logs say does not depend on the timing; the times themselves are
// taken out. Two upload sessions end when their byte cap is passed (one controlled, one
// path-style with a joining request that lowers its cap); a latency upload session ends by its
// warm-up and intervals, its samples taken all along; with `expiry`, one more upload session
// measures for longer than its life time and expires.
std::vector<std::string> session_texts(const std::string& cpus, bool expiry) {
    const temp_dir logs;
    server_process proc;
    const int port =
        start_activated(proc, {.args = {"-d", "3", "-l", logs, "-t", "60"}, .cpu_list = cpus});
    EXPECT_GT(port, 0);
    const auto rules_of = [](const char* sample_ms, const char* period_s) {
        return std::string("NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=50&WARMUP_SAMPLE_TIME=") +
               sample_ms + "&RESULT_NUM_INTERVALS=2&RESULTS_INTERVAL_PERIOD=" + period_s +
               "&STORE_LOG=1";
    };
    const std::string rules = rules_of("1000", "1"),
                      path = "/0123456789abcdef0123456789abcdef0123/";
    const std::string latency =
        latency_target("POST", 4294967999, 100, 3, "/lat", "&" + rules_of("500", "1"));
    // Requests and the bytes each sends. Session 41 passes its cap only with the bytes of both
    // its connections (2000 and 1100), whichever of them another worker carries.
    std::vector<std::pair<std::string, size_t>> conns = {
        {http_request("POST", latency + "1"), 2500}, {http_request("POST", latency + "2"), 1500}};
    for (size_t i = 0; i < 2; i++) {
        conns.push_back({upload_request(41, 2, i, rules, "&TEST_DATA_CAP=3000"), 2000 - 900 * i});
        conns.push_back({http_request("POST", path + std::to_string(i) + "/60000?" +
                                                  controlled_query(42, 2, i) + "&TEST_DATA_CAP=" +
                                                  (i == 0 ? "90000&" : "5000&") + rules),
                         3000});
        if (expiry) // measures for two hours
            conns.push_back({upload_request(43, 2, i, rules_of("1000", "3600")), 1000 + 500 * i});
    }
    const int control = send_new(port, http_request("POST", latency + "0"));
    EXPECT_EQ(read_reply_head(control, 5s), CREATED);
    std::vector<int> fds;
    for (const auto& [request, bytes] : conns) {
        fds.push_back(send_new(port, request));
        EXPECT_EQ(recv_exact(fds.back(), CONTINUE.size(), 5s), CONTINUE);
    }
    for (size_t i = 0; i < fds.size(); i++)
        EXPECT_TRUE(send_all(fds[i], std::string(conns[i].second, 'u')));
    std::vector<std::string> run(1);
    for (int fd : fds) {
        run[0] += read_until_close(fd, 75s) + "--\n";
        close(fd);
    }
    run[0] += last_samples(fetch_statistics(control));
    close(control);
    const auto is_log = [](const auto& e) { return e.path().extension() == ".log"; };
    eventually([&] { // written as "<name>.part" first, and renamed once whole
        return std::ranges::count_if(std::filesystem::directory_iterator(logs), is_log) ==
               (expiry ? 4 : 3);
    });
    for (const auto& e : std::filesystem::directory_iterator(logs))
        if (is_log(e))
            run.push_back(read_file(e.path()));
    return run;
}

// A session's connections spread over two workers measure exactly what they measure on one:
// byte caps, path-style joins, latency samples and expiries alike. The two servers run at once.
TEST(SameFigures, SessionsSpreadOverTwoWorkersMeasureWhatTheyMeasureOnOne) {
    if (worker_count() < 2)
        GTEST_SKIP() << "one CPU";
    // The expiry takes the shortest life time, a minute: left to the plain build.
    const bool expiry = getenv("VH_SKIP_SLOW") == nullptr;
    std::vector<std::string> spread_run;
    std::thread other([&] { spread_run = session_texts("0,1", expiry); });
    const std::vector<std::string> one_run = session_texts("0", expiry);
    other.join();
    const std::string one = figures_of(one_run), spread = figures_of(spread_run);
    EXPECT_EQ(count_occurrences(one, "NUM_CONNECTIONS: 2"), expiry ? 3 : 2) << one;
    EXPECT_EQ(count_occurrences(one, "NUM_CONNECTIONS: 3"), 1) << one;
    EXPECT_EQ(count_occurrences(one, "none\n"), 0) << one; // every connection sampled
    EXPECT_EQ(spread, one);
}

} // namespace
