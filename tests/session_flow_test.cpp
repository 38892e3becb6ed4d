// Sessions end to end on the real server: downloads (data, statistics message, timers, logs),
// uploads to their results, latency documents, and PUT uploads of logs with their refusals.
#include "test_support.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;
using vh_test::download_request;
using vh_test::GET_REPLY;

namespace {

using steady = std::chrono::steady_clock;

std::string destroyed(uint64_t number) {
    return "session " + std::to_string((4ull << 32) + number) + " destroyed";
}

// Half-closes a download connection and reads everything up to the server's FIN.
std::string finish(int fd) {
    shutdown(fd, SHUT_WR);
    return vh_test::read_until_close(fd, 10s);
}

// The statistics message ending a download: the fixed eight bytes, 4, the retransmissions.
void expect_stats(const std::string& rest) {
    ASSERT_GE(rest.size(), 16u);
    const std::string tail = rest.substr(rest.size() - 16);
    EXPECT_EQ(tail.substr(0, 12), std::string("\x01\x02\x03\x04\x05\x06\x07\x08\0\0\0\x04", 12));
    uint32_t retrans;
    memcpy(&retrans, tail.data() + 12, 4);
    EXPECT_LT(ntohl(retrans), 1000u);
}

struct Server : ::testing::Test {
    vh_test::server_process proc;
    std::string logs = vh_test::make_temp_dir();
    int port = -1;
    ~Server() override {
        vh_test::remove_tree(logs);
    }
    void start(std::vector<std::string> args = {}, const std::string& cpus = "") {
        vh_test::start_options opts;
        opts.args = {"-d", "3", "-l", logs};
        opts.args.insert(opts.args.end(), args.begin(), args.end());
        opts.cpu_list = cpus;
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
    }
    // A connection that sent `request` and read `reply`.
    int open(const std::string& request, const std::string& reply = GET_REPLY) {
        int fd = vh_test::connect_loopback(port);
        EXPECT_TRUE(vh_test::send_all(fd, request));
        EXPECT_EQ(vh_test::recv_exact(fd, reply.size(), 5s), reply);
        return fd;
    }
    // The text of the one session log, once it is written (its name checked by `name`).
    std::string log(const std::string& name = R"(4_[0-9]+_[0-9]+\.log)") {
        for (int i = 0; i < 100; i++, std::this_thread::sleep_for(50ms))
            for (const auto& e : std::filesystem::directory_iterator(logs)) {
                EXPECT_TRUE(std::regex_match(e.path().filename().string(), std::regex(name)));
                EXPECT_EQ(e.status().permissions() & std::filesystem::perms::all,
                          static_cast<std::filesystem::perms>(0644));
                return vh_test::read_file(e.path());
            }
        return "";
    }
};
struct SessionFlow : Server {};

// The stream is the file from its start, each send continuing where the last one stopped,
// or starting again at 0 once past the middle of the file (its first bytes follow).
TEST_F(SessionFlow, ADownloadStreamsTheFileEndsWithTheStatisticsMessageAndLogsItsBytes) {
    start();
    const std::string file = vh_test::read_file(vh_test::test_file());
    int fd = open(download_request(11, 1, 0, "&STORE_LOG=1"));
    const std::string data = vh_test::recv_exact(fd, 3 * file.size(), 10s);
    ASSERT_EQ(data.size(), 3 * file.size());
    for (size_t i = 0, offset = 0; i < data.size(); i++, offset++) {
        size_t m = std::min<size_t>(64, data.size() - i);
        if (offset == file.size() ||
            (offset > file.size() / 2 && data.compare(i, m, file, 0, m) == 0 &&
             data.compare(i, m, file, offset, m) != 0))
            offset = 0;
        ASSERT_EQ(data[i], file[offset]) << "stream byte " << i << ", file offset " << offset;
    }
    std::string rest = finish(fd);
    expect_stats(rest);
    close(fd);
    // The log counts exactly the file bytes the client received.
    EXPECT_EQ(log(R"(4_[0-9]+_11\.log)"),
              "VH_HTTP_SERVER: 1.0\nTEST: GET\nCONNECTION: 0\nBYTES_TRANSMITTED: " +
                  std::to_string(data.size() + rest.size() - 16) + "\n");
    // Without traces or STORE_LOG, no log.
    fd = open(download_request(13));
    finish(fd);
    close(fd);
    ASSERT_TRUE(proc.wait_for(destroyed(13), 5s)) << proc.output;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(logs), {}), 1);
}

TEST_F(SessionFlow, TraceLinesAreSampledWhileTheDownloadRunsAndLogged) {
    start();
    // The second connection never joins: only slot 0 is reported.
    int fd = open(download_request(12, 2, 0, "&TRACE_INTERVAL=100"));
    for (auto until = steady::now() + 600ms; steady::now() < until;)
        vh_test::recv_exact(fd, 1 << 20, 50ms);
    EXPECT_GE(finish(fd).size(), 16u);
    close(fd);
    std::string text = log();
    EXPECT_TRUE(std::regex_match(
        text, std::regex("VH_HTTP_SERVER: 1\\.0\nTEST: GET\nCONNECTION: 0\nBYTES_TRANSMITTED: "
                         "[0-9]+\nTCP TRACES\nCONN\tTIME\tSSTH\tCWND\tRETRANS\tMSS\tRTT\tBYTES\n"
                         "(CONN0:(\t[0-9]+){7}\n){3,}")))
        << text;
}

// Expiry (one-shot, 300 s), data (one-shot, 330 s), trace (1.5 s periodic): the data and
// trace timers armed once, the second connection arming nothing.
TEST_F(SessionFlow, ADownloadArmsItsTimersOnceWithTheirPeriods) {
    start();
    int fd0 = open(download_request(14, 2, 0, "&TRACE_INTERVAL=1500"));
    int fd1 = open(download_request(14, 2, 1, "&TRACE_INTERVAL=1500"));
    proc.poll_output(100ms);
    const std::regex armed("session " + std::to_string((4ull << 32) + 14) +
                           R"( timer ([0-9]) armed: first ([0-9.]+) s, period ([0-9.]+) s)");
    std::map<std::string, std::string> timers;
    for (std::sregex_iterator it(proc.output.begin(), proc.output.end(), armed), end; it != end;
         ++it)
        timers[(*it)[1]] += (*it)[2].str() + "/" + (*it)[3].str() + " ";
    EXPECT_EQ(timers["3"], "330.000000000/0.000000000 ") << proc.output;
    EXPECT_EQ(timers["4"].substr(0, 26), "300.000000000/0.000000000 ") << proc.output;
    EXPECT_EQ(timers["5"], "1.500000000/1.500000000 ") << proc.output;
    close(fd0);
    close(fd1);
}

TEST_F(SessionFlow, APassedTransferDeadlineStopsTheData) {
    start();
    // A 38-character path then "/300": the data stops 300 ms after the request.
    int fd = open("GET /" + std::string(38, 'p') + "/300 HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(600ms);
    while (!vh_test::recv_exact(fd, 1 << 20, 200ms).empty()) {
    }
    EXPECT_EQ(vh_test::recv_exact(fd, 1, 300ms), "");
    close(fd);
}

// A client resetting one connection disables it; the other goes on and gets its statistics.
TEST_F(SessionFlow, AResetMidStreamLeavesTheOtherConnectionsAlone) {
    start();
    int a = open(download_request(22, 2, 0)), b = open(download_request(22, 2, 1));
    vh_test::recv_exact(a, 100000, 2s);
    linger reset{1, 0};
    setsockopt(a, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(a);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(vh_test::recv_exact(b, 1 << 20, 2s).size(), 1u << 20);
    expect_stats(finish(b));
    close(b);
    EXPECT_TRUE(proc.wait_for(destroyed(22), 5s)) << proc.output;
}

// A data cap counts the bytes of all the session's connections together.
TEST_F(SessionFlow, TheDataCapCountsTheBytesOfAllConnections) {
    start();
    const uint64_t cap = 8 << 20;
    const std::string extra = "&STORE_LOG=1&TEST_DATA_CAP=" + std::to_string(cap);
    int a = open(download_request(23, 2, 0, extra)), b = open(download_request(23, 2, 1, extra));
    // Draining one is enough to pass the cap; the other's bytes wait in the socket buffers.
    std::string got_b = vh_test::read_until_close(b, 20s);
    std::string got_a = vh_test::read_until_close(a, 20s);
    close(a);
    close(b);
    std::string text = log();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m,
                                  std::regex("CONNECTION: 0\nBYTES_TRANSMITTED: ([0-9]+)\n"
                                             "CONNECTION: 1\nBYTES_TRANSMITTED: ([0-9]+)\n")))
        << text;
    EXPECT_GT(std::stoull(m[1]) + std::stoull(m[2]), cap);
    EXPECT_EQ(got_a.size(), std::stoull(m[1]));
    EXPECT_EQ(got_b.size(), std::stoull(m[2]));
    EXPECT_GT(got_a.size() * got_b.size(), 0u);
}

// The session life time and idle connections need the shortest time-out the server takes
// (60 s). One worker: the idle scan runs on a worker that wakes up.
TEST_F(SessionFlow, SlowExpiryAndIdleTimeout) {
    if (getenv("VH_SKIP_SLOW") != nullptr)
        GTEST_SKIP() << "VH_SKIP_SLOW set";
    start({"-t", "60", "--header-timeout", "3600"}, "0");
    int download = open(download_request(15)); // its client stops reading
    int silent = vh_test::connect_loopback(port);
    ASSERT_TRUE(
        proc.wait_for("Session life time max limit reached (60s). Teardown of session", 65s))
        << proc.output;
    EXPECT_TRUE(proc.wait_for(destroyed(15), 2s));
    EXPECT_TRUE(vh_test::wait_closed(download, 10s));
    std::this_thread::sleep_for(6s);
    for (int i = 0; i < 4; i++)
        close(vh_test::connect_loopback(port));
    EXPECT_TRUE(proc.wait_for("timed-out", 5s)) << proc.output;
    EXPECT_TRUE(vh_test::wait_closed(silent, 5s));
    close(download);
    close(silent);
}

// --- Uploads -------------------------------------------------------------------------------

// One upload connection: sends while `sending`, collects what the server answers.
struct uploader {
    explicit uploader(int f) : fd(f) {}
    int fd;
    std::string received;
    bool sending = true;
    bool closed = false; // the server closed after its results
};

// Pumps data on every connection until all have their results and the server's FIN, or
// `limit` passes; `step` runs once per round.
void pump(
    std::vector<uploader*> ups, std::chrono::seconds limit,
    const std::function<void()>& step = [] {}) {
    const std::string chunk(64 << 10, 'u');
    for (auto until = steady::now() + limit; steady::now() < until;
         std::this_thread::sleep_for(5ms)) {
        step();
        bool all_done = true;
        for (uploader* u : ups) {
            if (u->fd < 0 || u->closed)
                continue;
            all_done = false;
            if (u->sending)
                send(u->fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            char buf[4096];
            ssize_t n = recv(u->fd, buf, sizeof(buf), MSG_DONTWAIT);
            u->received.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            u->closed = n == 0 || (n < 0 && errno != EAGAIN);
        }
        if (all_done)
            return;
    }
}

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

struct Upload : Server {
    void SetUp() override {
        start();
    }
    uploader up(uint64_t session, size_t conns, size_t index, const std::string& extra = "") {
        return uploader(open(
            vh_test::upload_request(session, conns, index, vh_test::QUICK_UPLOAD, extra),
            vh_test::CONTINUE));
    }
};

// Every connection gets the same results: three measurements of growing byte counts, as many
// warm-up lines as NUM_WARMUP says, and the log of all three.
TEST_F(Upload, ThreeConnectionsMeasureAndAllGetTheSameResults) {
    uploader a = up(31, 3, 0, "&STORE_LOG=1"), b = up(31, 3, 1, "&STORE_LOG=1"),
             c = up(31, 3, 2, "&STORE_LOG=1");
    pump({&a, &b, &c}, 20s);
    for (uploader* u : {&a, &b, &c}) {
        EXPECT_TRUE(u->closed);
        EXPECT_EQ(u->received, a.received);
        close(u->fd);
    }
    auto r = results(a);
    EXPECT_EQ(r[0] + " " + r[2], "OK 3");
    EXPECT_EQ(vh_test::count_occurrences(a.received, "\nWARMUP_SESSION:"), std::stoi(r[1]));
    std::regex measur("MEASUR_SESSION: [0-9]+ [0-9]+ ([0-9]+)\n");
    uint64_t last = 0;
    for (std::sregex_iterator it(a.received.begin(), a.received.end(), measur), end; it != end;
         ++it) {
        EXPECT_GT(std::stoull((*it)[1]), last);
        last = std::stoull((*it)[1]);
    }
    EXPECT_TRUE(proc.wait_for(destroyed(31), 5s)) << proc.output;
    const std::string block = "CONNECTION: [0-2]\nNUM_WARMUP: [0-9]+\n(WARMUP [0-9]+: [0-9]+ "
                              "[0-9]+ [0-9]+\n)*NUM_MEASUR: 3\n(MEASUR [0-2]: [0-9]+ [0-9]+ "
                              "[0-9]+\n){3}";
    std::string text = log();
    EXPECT_TRUE(std::regex_match(text, std::regex("VH_HTTP_SERVER: 1\\.0\nTEST: POST\nRESULT: "
                                                  "OK\nNUM_CONNECTIONS: 3\n(" +
                                                  block + "){3}")))
        << text;
}

// A connection that never comes fails the test at the first sample; one that closes during
// measurement ends it early; a reset during warm-up fails it; silent and slow connections
// still get the results.
TEST_F(Upload, ClientsMissingLeavingOrSilentEndTheTestByTheRules) {
    uploader a = up(32, 2, 0);
    pump({&a}, 10s);
    EXPECT_EQ(results(a), (std::vector<std::string>{"FAIL", "1", "0"}));
    close(a.fd);

    uploader b = up(33, 2, 0), c = up(33, 2, 1);
    const auto begin = steady::now(); // warm-up takes at most 0.4 s
    pump({&b, &c}, 20s, [&] {
        if (c.fd >= 0 && steady::now() - begin > 1500ms)
            close(std::exchange(c.fd, -1));
    });
    EXPECT_EQ(results(b)[0], "OK");
    EXPECT_LT(std::stoi(results(b)[2]), 3);
    close(b.fd);

    uploader d = up(34, 2, 0), e = up(34, 2, 1);
    pump({&d, &e}, 1s);
    linger reset{1, 0};
    setsockopt(e.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(e.fd);
    pump({&d}, 20s);
    EXPECT_EQ(results(d)[0], "FAIL");
    close(d.fd);

    uploader fast = up(35, 3, 0), slow = up(35, 3, 1), silent = up(35, 3, 2);
    silent.sending = false;
    int round = 0;
    pump({&fast, &slow, &silent}, 20s, [&] { slow.sending = round++ % 10 == 0; });
    for (uploader* u : {&fast, &slow, &silent}) {
        EXPECT_EQ(u->received, fast.received);
        close(u->fd);
    }
    EXPECT_EQ(results(fast).size(), 3u);
}

// --- Latency under load --------------------------------------------------------------------

const std::string STATS_REQUEST = "GET /results HTTP/1.1\r\nHost: test\r\n\r\n";

struct Latency : Server {
    void SetUp() override {
        start({"-d", "10"});
    }
    // Connection `conn` of latency session `id`; 0 is the control connection.
    int latency(const std::string& method, uint64_t id, int conns, int conn) {
        const std::string query = "/t?LATENCY_TEST=" + method +
                                  "&LATENCY_INTERVAL=100&LATENCY_ID=" + std::to_string(id) +
                                  "&CONTROL=1&NUM_CONNECTIONS=" + std::to_string(conns) +
                                  "&CONNECTION=" + std::to_string(conn) +
                                  (method == "POST" ? "&" + vh_test::QUICK_UPLOAD : "");
        return open(vh_test::http_request(method, query),
                    conn == 0         ? "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"
                    : method == "GET" ? GET_REPLY
                                      : vh_test::CONTINUE);
    }
    // The body of the statistics document control connection `fd` gets for `request`,
    // its header checked.
    static std::string document(int fd, const std::string& request = STATS_REQUEST) {
        EXPECT_TRUE(vh_test::send_all(fd, request));
        const std::string reply = vh_test::recv_exact(fd, 1 << 20, 500ms);
        const size_t body = std::min(reply.find("\r\n\r\n") + 4, reply.size());
        EXPECT_EQ(reply.substr(0, body),
                  "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(reply.size() - body) +
                      "\r\nContent-type: application/json\r\n\r\n");
        return reply.substr(body);
    }
    static long member(const std::string& body, const std::string& name) {
        std::smatch m;
        return std::regex_search(body, m, std::regex("\"" + name + "\":(-?[0-9]+)"))
                   ? std::stol(m[1])
                   : -1;
    }
};

// Members in their order, integers only, compact, every connection sampled; more samples in
// each document, also for a request in two packets and after the test connections are done.
TEST_F(Latency, DownloadSessionServesGrowingDocumentsDuringAndAfterTheTest) {
    const uint64_t id = 5000000001ull;
    int control = latency("GET", id, 3, 0), a = latency("GET", id, 3, 1),
        b = latency("GET", id, 3, 2);
    auto drain = [&](int rounds) {
        for (int i = 0; i < rounds * 2; i++)
            vh_test::recv_exact(i % 2 ? a : b, 1 << 20, 100ms);
    };
    drain(4);
    std::this_thread::sleep_for(350ms);
    const std::string first = document(control);
    const std::string sample =
        R"(\{"ts":[0-9]+,"tcp_rtt":[0-9]+,"tcp_rttvar":[0-9]+,"tcpi_lost":[0-9]+,)"
        R"("tcpi_total_retrans":[0-9]+,"tcpi_retrans":[0-9]+,"tcpi_snd_cwnd":[0-9]+,)"
        R"("total_transferred":[0-9]+,"data_transferred":[0-9]+\})";
    const std::string conn = R"(\{"samples":\[)" + sample + "(," + sample + R"()*\]\})";
    EXPECT_TRUE(std::regex_match(
        first, std::regex(R"(\{"protocol_version":1,"serverside_start":-?[0-9]+,)"
                          R"("start_timestamp":[0-9]+,"measurement_start":0,"measurement_end":0,)"
                          R"("connections":\[)" +
                          conn + "," + conn + "," + conn + R"(\]\})")))
        << first;
    drain(3);
    ASSERT_TRUE(vh_test::send_all(control, STATS_REQUEST.substr(0, 10)));
    std::this_thread::sleep_for(100ms);
    const std::string second = document(control, STATS_REQUEST.substr(10));
    auto samples = [](const std::string& doc) {
        return vh_test::count_occurrences(doc, "{\"ts\"");
    };
    EXPECT_GE(samples(second), samples(first) + 3);
    finish(a);
    finish(b);
    std::this_thread::sleep_for(200ms);
    const std::string last = document(control, "GET /results?X=1 HTTP/1.1\r\n\r\n");
    EXPECT_GE(samples(last), samples(second));
    EXPECT_EQ(vh_test::count_occurrences(last, "{\"samples\":["), 3);
    EXPECT_EQ(member(last, "measurement_start"), 0) << "a download has no warm-up";
    for (int fd : {a, b, control})
        close(fd);
}

TEST_F(Latency, UploadSessionReportsMeasurementAndOnlyTestConnectionsGetResults) {
    int control = latency("POST", 5000000002ull, 2, 0);
    uploader up{latency("POST", 5000000002ull, 2, 1)};
    const std::string before = document(control);
    EXPECT_EQ(member(before, "measurement_start"), 0) << before;
    EXPECT_EQ(member(before, "measurement_end"), 0);
    pump({&up}, 20s);
    auto r = results(up);
    EXPECT_EQ(r[0] + " " + r[2], "OK 3");
    const std::string after = document(control); // the document, not the results
    EXPECT_GT(member(after, "measurement_start"), 0) << after;
    EXPECT_GT(member(after, "measurement_end"), member(after, "measurement_start"));
    close(up.fd);
    close(control);
}

// A client that closes its control connection before the test ends must not keep the
// session alive once its test connections are done.
TEST_F(Latency, ClosingTheControlConnectionEarlyStillEndsTheSession) {
    const uint64_t id = 5000000003ull;
    int control = latency("GET", id, 2, 0), test = latency("GET", id, 2, 1);
    vh_test::recv_exact(test, 1 << 20, 2s);
    close(control);
    std::this_thread::sleep_for(200ms);
    EXPECT_GE(finish(test).size(), 16u);
    close(test);
    EXPECT_TRUE(proc.wait_for("session " + std::to_string(id) + " destroyed", 5s)) << proc.output;
}

// Requests that end the control connection (detached, its socket going with the session:
// a valid request gets no answer any more); the test connection keeps streaming.
TEST_F(Latency, RefusedStatisticsRequestsEndOnlyTheControlConnection) {
    const std::string cases[] = {
        "POST /results HTTP/1.1\r\n\r\n",
        "GET /result HTTP/1.1\r\n\r\n",
        "GET /resultsx HTTP/1.1\r\n\r\n",
        "GET /results HTTP/1.1\r\n\r\nX" + std::string(16383, 'x'),
        "GET /results HTTP/1.1\r\n" + std::string(16400, 'h'),
        "GET /res", // then closed mid-request
    };
    uint64_t id = 5000000100ull;
    for (const auto& c : cases) {
        int control = latency("GET", ++id, 2, 0), test = latency("GET", id, 2, 1);
        vh_test::send_all(control, c);
        if (c == "GET /res")
            shutdown(control, SHUT_WR);
        std::this_thread::sleep_for(200ms);
        vh_test::send_all(control, STATS_REQUEST);
        EXPECT_EQ(vh_test::recv_exact(control, 1, 500ms), "") << c.substr(0, 30);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(vh_test::recv_exact(test, 1 << 18, 2s).size(), 1u << 18) << c.substr(0, 30);
        close(control);
        close(test);
    }
}

// --- PUT uploads to the log directory --------------------------------------------------------

std::string put(const std::string& path) {
    return "PUT /" + path + " HTTP/1.1\r\nHost: test\r\n\r\n";
}

struct Put : Server {
    std::string outside = vh_test::make_temp_dir();
    ~Put() override {
        vh_test::remove_tree(outside);
    }
    // Whether a PUT of `path` was closed without a reply, its body sent with its header or
    // after it.
    bool refused(const std::string& path, bool body_with_header = false) {
        int fd = vh_test::connect_loopback(port);
        vh_test::send_all(fd, put(path) + (body_with_header ? "body bytes" : ""));
        std::string got = vh_test::read_until_close(fd, 3s);
        vh_test::send_all(fd, "appended");
        bool closed = vh_test::wait_closed(fd, 1s);
        close(fd);
        return got.empty() && closed;
    }
};

// Targets outside the log directory, by dot-dots or links, a directory, a missing file (not
// created), a body sent with the header, or no log directory at all.
TEST_F(Put, PutConfinedToExistingFilesOfTheLogDirectory) {
    start();
    std::ofstream(outside + "/victim") << "untouched";
    std::ofstream(logs + "/t.log") << "x";
    mkdir((logs + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (logs + "/link.log").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (logs + "/dirlink").c_str()), 0);
    const std::string name = outside.substr(outside.rfind('/') + 1), up = "../" + name + "/victim";
    for (const std::string& path :
         {up, "sub/../" + up, "sub/../../" + name + "/victim", std::string("link.log"),
          std::string("dirlink/victim"), std::string("sub"), std::string("1_2_3.log")})
        EXPECT_TRUE(refused(path)) << path;
    EXPECT_TRUE(refused("t.log", true));
    EXPECT_TRUE(proc.wait_for("Request for traces of non existent session", 5s));
    EXPECT_EQ(vh_test::read_file(outside + "/victim"), "untouched");
    EXPECT_EQ(vh_test::read_file(logs + "/t.log"), "x");
    EXPECT_FALSE(std::filesystem::exists(logs + "/1_2_3.log"));
    vh_test::server_process without;
    vh_test::start_options opts;
    opts.args = {"-d", "3"};
    port = vh_test::start_activated(without, opts);
    EXPECT_TRUE(refused("t.log"));
}

// Connections that go away at every step (before the open is answered, while a chunk is
// written, by reset, by reset with more data queued) leave no descriptor and no open file
// behind, write only whole chunks, print no error for a hang-up (once taken for a late
// answer), and the next upload's body, in pieces, is appended in order.
TEST_F(Put, ConnectionsCutShortReleaseTheirDescriptorsAndTheNextBodyIsAppended) {
    start();
    std::ofstream(logs + "/cut.log").flush();
    std::ofstream(logs + "/1_100_7.log") << "VH_HTTP_SERVER: 1.0\n";
    close(vh_test::connect_loopback(port));
    ASSERT_TRUE(proc.wait_for("destroyed after", 5s));
    std::this_thread::sleep_for(100ms);
    const int baseline = vh_test::count_fds(proc.pid);
    const std::string before = vh_test::describe_fds(proc.pid), data(4 << 20, 'c');
    for (int i = 0; i < 90; i++) {
        int c = vh_test::connect_loopback(port), step = i % 5;
        vh_test::send_all(c, put("cut.log"));
        if (step >= 2) {
            EXPECT_EQ(vh_test::recv_exact(c, vh_test::PUT_CONTINUE.size(), 5s),
                      vh_test::PUT_CONTINUE);
            send(c, data.data(), step == 4 ? data.size() : 1 << 20, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
        }
        linger reset{step == 1 || step >= 3, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        close(c);
    }
    int fds = -1;
    for (int i = 0; i < 100 && fds != baseline; i++, std::this_thread::sleep_for(50ms))
        fds = vh_test::count_fds(proc.pid);
    EXPECT_EQ(fds, baseline) << "before:\n"
                             << before << "after:\n"
                             << vh_test::describe_fds(proc.pid);
    EXPECT_EQ(vh_test::read_file(logs + "/cut.log").find_first_not_of('c'), std::string::npos);

    std::string body(5 * 1048576 + 123, '\0');
    std::mt19937 rng(7);
    for (char& ch : body)
        ch = static_cast<char>(rng());
    int fd = open("PUT /1_100_7.log?IGNORED=1 HTTP/1.1\r\nHost: t\r\n\r\n", vh_test::PUT_CONTINUE);
    for (size_t sent = 0; sent < body.size(); sent += 300000) {
        ASSERT_TRUE(vh_test::send_all(fd, body.substr(sent, 300000)));
        std::this_thread::sleep_for(sent % 1200000 == 0 ? 20ms : 0ms);
    }
    close(fd);
    const std::string expected = "VH_HTTP_SERVER: 1.0\n" + body;
    std::string content;
    for (int i = 0; i < 100 && content.size() < expected.size(); i++) {
        std::this_thread::sleep_for(50ms);
        content = vh_test::read_file(logs + "/1_100_7.log");
    }
    EXPECT_TRUE(content == expected) << content.size() << " of " << expected.size() << " bytes";
    proc.poll_output(100ms);
    EXPECT_EQ(proc.output.find("BUG!"), std::string::npos) << proc.output.substr(0, 2000);
}

} // namespace
