// Latency under load on the real server: the control connection's 201 reply, the
// statistics document fetched during and after download and upload tests, and the
// requests that end the control connection without touching the test connections.
#include "test_support.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

const std::string CREATED = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";
using vh_test::CONTINUE;
using vh_test::GET_REPLY;
const std::string STATS_REQUEST = "GET /results HTTP/1.1\r\nHost: test\r\n\r\n";

std::string latency_query(const std::string& direction, uint64_t id, int num_conns, int conn) {
    std::string q = "LATENCY_TEST=" + direction +
                    "&LATENCY_INTERVAL=100&LATENCY_ID=" + std::to_string(id) +
                    "&CONTROL=1&NUM_CONNECTIONS=" + std::to_string(num_conns) +
                    "&CONNECTION=" + std::to_string(conn);
    if (direction == "POST")
        q +=
            "&NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=4&WARMUP_SAMPLE_TIME=200&WARMUP_TOLERANCE=100"
            "&RESULT_NUM_INTERVALS=2&RESULTS_INTERVAL_PERIOD=1";
    return q;
}

struct document {
    std::string header;
    std::string body;
};

// Reads one statistics reply: the header, then exactly Content-Length bytes.
document read_document(int fd) {
    document doc;
    auto until = std::chrono::steady_clock::now() + 5s;
    while (doc.header.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::string c = vh_test::recv_exact(fd, 1, 1s);
        if (c.empty())
            break;
        doc.header += c;
    }
    std::smatch m;
    if (!std::regex_search(doc.header, m, std::regex(R"(Content-Length: ([0-9]+)\r\n)")))
        return doc;
    doc.body = vh_test::recv_exact(fd, std::stoul(m[1]), 5s);
    return doc;
}

// Number of samples in each connection's array of a document, in order.
std::vector<int> sample_counts(const std::string& body) {
    std::vector<int> counts;
    size_t pos = body.find("\"connections\":[");
    while ((pos = body.find("{\"samples\":[", pos)) != std::string::npos) {
        pos += 12;
        int n = 0;
        int depth = 0;
        for (; pos < body.size(); pos++) {
            if (body[pos] == '{' && depth++ == 0)
                n++;
            else if (body[pos] == '}')
                depth--;
            else if (body[pos] == ']' && depth == 0)
                break;
        }
        counts.push_back(n);
    }
    return counts;
}

long member(const std::string& body, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(body, m, std::regex("\"" + name + "\":(-?[0-9]+)")))
        return -1;
    return std::stol(m[1]);
}

struct Latency : ::testing::Test {
    server_process proc;
    int port = -1;
    void SetUp() override {
        start_options opts;
        opts.args = {"-d", "10"};
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
    }
    int open_control(const std::string& direction, uint64_t id, int num_conns) {
        int fd = vh_test::connect_loopback(port);
        std::string method = direction == "POST" ? "POST" : "GET";
        EXPECT_TRUE(vh_test::send_all(fd, method + " /ctl?" +
                                              latency_query(direction, id, num_conns, 0) +
                                              " HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(vh_test::recv_exact(fd, CREATED.size(), 5s), CREATED);
        return fd;
    }
    int open_test(const std::string& direction, uint64_t id, int num_conns, int conn) {
        int fd = vh_test::connect_loopback(port);
        EXPECT_TRUE(vh_test::send_all(fd, direction + " /t?" +
                                              latency_query(direction, id, num_conns, conn) +
                                              " HTTP/1.1\r\n\r\n"));
        const std::string& expected = direction == "POST" ? CONTINUE : GET_REPLY;
        EXPECT_EQ(vh_test::recv_exact(fd, expected.size(), 5s), expected);
        return fd;
    }
};

TEST_F(Latency, DownloadSessionServesGrowingDocumentsDuringAndAfterTheTest) {
    const uint64_t id = 5000000001ull;
    int control = open_control("GET", id, 3);
    int a = open_test("GET", id, 3, 1);
    int b = open_test("GET", id, 3, 2);
    for (int i = 0; i < 4; i++) {
        vh_test::recv_exact(a, 1 << 20, 100ms);
        vh_test::recv_exact(b, 1 << 20, 100ms);
    }
    std::this_thread::sleep_for(350ms); // a few latency samples
    ASSERT_TRUE(vh_test::send_all(control, STATS_REQUEST));
    document first = read_document(control);
    EXPECT_TRUE(
        std::regex_match(first.header, std::regex("HTTP/1\\.1 200 OK\r\nContent-Length: [0-9]+\r\n"
                                                  "Content-type: application/json\r\n\r\n")))
        << first.header;
    // Members in their order, integers only, compact.
    EXPECT_TRUE(std::regex_match(
        first.body,
        std::regex(R"(\{"protocol_version":1,"serverside_start":-?[0-9]+,"start_timestamp":[0-9]+,)"
                   R"("measurement_start":0,"measurement_end":0,"connections":\[.*\]\})")))
        << first.body;
    std::regex sample(R"(\{"ts":[0-9]+,"tcp_rtt":[0-9]+,"tcp_rttvar":[0-9]+,"tcpi_lost":[0-9]+,)"
                      R"("tcpi_total_retrans":[0-9]+,"tcpi_retrans":[0-9]+,"tcpi_snd_cwnd":[0-9]+,)"
                      R"("total_transferred":[0-9]+,"data_transferred":[0-9]+\})");
    EXPECT_TRUE(std::regex_search(first.body, sample)) << first.body;
    auto counts1 = sample_counts(first.body);
    ASSERT_EQ(counts1.size(), 3u);
    for (int c : counts1)
        EXPECT_GE(c, 1);

    for (int i = 0; i < 3; i++) {
        vh_test::recv_exact(a, 1 << 20, 100ms);
        vh_test::recv_exact(b, 1 << 20, 100ms);
    }
    // The same request split in two packets.
    ASSERT_TRUE(vh_test::send_all(control, STATS_REQUEST.substr(0, 10)));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(vh_test::send_all(control, STATS_REQUEST.substr(10)));
    document second = read_document(control);
    auto counts2 = sample_counts(second.body);
    ASSERT_EQ(counts2.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_GT(counts2[i], counts1[i]);

    // The download connections are done (statistics message, server's FIN); the
    // channel stays open and keeps answering, with a query the server ignores.
    shutdown(a, SHUT_WR);
    shutdown(b, SHUT_WR);
    vh_test::read_until_close(a, 5s);
    vh_test::read_until_close(b, 5s);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(vh_test::send_all(control, "GET /results?X=1 HTTP/1.1\r\n\r\n"));
    document last = read_document(control);
    auto counts3 = sample_counts(last.body);
    ASSERT_EQ(counts3.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_GE(counts3[i], counts2[i]);
    EXPECT_EQ(member(last.body, "measurement_start"), 0) << "a download has no warm-up";
    close(a);
    close(b);
    close(control);
}

TEST_F(Latency, UploadSessionReportsMeasurementAndOnlyTestConnectionsGetResults) {
    const uint64_t id = 5000000002ull;
    int control = open_control("POST", id, 2);
    int up = open_test("POST", id, 2, 1);
    ASSERT_TRUE(vh_test::send_all(control, STATS_REQUEST));
    document before = read_document(control);
    EXPECT_EQ(member(before.body, "measurement_start"), 0) << before.body;
    EXPECT_EQ(member(before.body, "measurement_end"), 0);

    // Push data until the results reply arrives.
    std::string chunk(64 << 10, 'u');
    std::string results;
    auto until = std::chrono::steady_clock::now() + 20s;
    while (results.find("\n\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
        send(up, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        results += vh_test::recv_exact(up, 1 << 16, 20ms);
    }
    EXPECT_EQ(results.rfind("VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: OK\n", 0), 0u) << results;
    EXPECT_NE(results.find("NUM_MEASUR: 2\n"), std::string::npos) << results;

    ASSERT_TRUE(vh_test::send_all(control, STATS_REQUEST));
    document after = read_document(control);
    long start = member(after.body, "measurement_start");
    long end = member(after.body, "measurement_end");
    EXPECT_GT(start, 0) << after.body;
    EXPECT_GT(end, start);
    // The control connection got the document, not the results.
    EXPECT_EQ(after.body.find("VARNHOLT"), std::string::npos);
    close(up);
    close(control);
}

// A client that closes its control connection before the test ends must not keep
// the session alive once its test connections are done.
TEST_F(Latency, ClosingTheControlConnectionEarlyStillEndsTheSession) {
    const uint64_t id = 5000000003ull;
    int control = open_control("GET", id, 2);
    int test = open_test("GET", id, 2, 1);
    vh_test::recv_exact(test, 1 << 20, 2s);
    close(control);
    std::this_thread::sleep_for(200ms);
    shutdown(test, SHUT_WR);
    // The statistics message and the server's FIN; the session goes once this last
    // connection is done.
    std::string rest = vh_test::read_until_close(test, 10s);
    EXPECT_GE(rest.size(), 16u);
    close(test);
    EXPECT_TRUE(proc.wait_for("session " + std::to_string(id) + " destroyed", 5s)) << proc.output;
}

// Requests that end the control connection; the test connection keeps streaming.
TEST_F(Latency, RefusedStatisticsRequestsEndOnlyTheControlConnection) {
    struct Case {
        std::string name;
        std::string bytes;
    } cases[] = {
        {"post", "POST /results HTTP/1.1\r\n\r\n"},
        {"short path", "GET /result HTTP/1.1\r\n\r\n"},
        {"longer path", "GET /resultsx HTTP/1.1\r\n\r\n"},
        {"bytes after the blank line", "GET /results HTTP/1.1\r\n\r\nX" + std::string(16383, 'x')},
        {"no blank line", "GET /results HTTP/1.1\r\n" + std::string(16400, 'h')},
        {"close mid-request", "GET /res"},
    };
    uint64_t id = 5000000100ull;
    for (const auto& c : cases) {
        id++;
        int control = open_control("GET", id, 2);
        int test = open_test("GET", id, 2, 1);
        vh_test::send_all(control, c.bytes);
        if (c.name == "close mid-request")
            shutdown(control, SHUT_WR);
        // The control connection is detached from the session (its socket goes with
        // the session): a valid request on it gets no answer any more.
        std::this_thread::sleep_for(200ms);
        if (c.name != "close mid-request") {
            vh_test::send_all(control, STATS_REQUEST);
            EXPECT_EQ(vh_test::recv_exact(control, 1, 500ms), "") << c.name;
        }
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(vh_test::recv_exact(test, 1 << 18, 2s).size(), 1u << 18) << c.name;
        close(control);
        close(test);
    }
}

} // namespace
