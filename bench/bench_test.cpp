// Tests of the benchmark harness: its reading of replies and statistics, its requests as
// the server's parser sees them, the reference server on real sockets, and every load
// generator against the reference server and the server under test.
#include "live.h"
#include "load.h"
#include "procs.h"
#include "request.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace vh_bench;

namespace {

TEST(ReplyParsing, HeaderEndsAtTheBlankLine) {
    EXPECT_EQ(header_length("HTTP/1.1 200 OK\r\n\r\nbody"), 19u);
    EXPECT_EQ(header_length("HTTP/1.1 200 OK\r\nX: y\r\n"), 0u);
    EXPECT_EQ(header_length(""), 0u);
}

TEST(ReplyParsing, StatusCodes) {
    EXPECT_EQ(status_code("HTTP/1.1 100 Continue\r\n\r\n"), 100);
    EXPECT_EQ(status_code("HTTP/1.1 200 OK\r\n\r\n"), 200);
    EXPECT_EQ(status_code("HTTP/1.1 2x0 OK\r\n\r\n"), -1);
    EXPECT_EQ(status_code("VARNHOLT_HTTP_REPLY\n"), -1);
    EXPECT_EQ(status_code("HTTP/1.1 20"), -1);
}

TEST(ReplyParsing, ContentLengthIsFoundInAnyCaseAndMustBeANumber) {
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: 67108864\r\n\r\n"),
              67108864);
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\ncontent-length:12\r\n\r\n"), 12);
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\n"), -1);
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n"), -1);
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n"), -1);
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"),
              -1);
    EXPECT_EQ(content_length("HTTP/1.1 200 OK\r\n\r\n"), -1);
}

const std::string RESULTS_REPLY = "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: OK\n"
                                  "END_TIME: 1700000000\nSECTION: WARMUP\nNUM_WARMUP: 2\n"
                                  "WARMUP_SESSION: 0 100500000 3200\n"
                                  "WARMUP_SESSION: 0 199700000 6400\nSECTION: MEASUR\n"
                                  "NUM_MEASUR: 2\nMEASUR_SESSION: 1 199700000 32000\n"
                                  "MEASUR_SESSION: 2 203000000 64000\n\n";

TEST(ReplyParsing, ResultsReplySamplesAgainstTheirNominalInstants) {
    results_times t;
    ASSERT_TRUE(parse_results_times(RESULTS_REPLY, &t));
    EXPECT_TRUE(t.ok);
    std::vector<timed_error> e = results_sample_errors(t, 0.1, 1.0);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_NEAR(e[0].error_ms, 0.5, 1e-6); // warm-up sample 0 is due 100 ms after the start
    EXPECT_NEAR(e[1].error_ms, 0.3, 1e-6); // early counts as much as late
    EXPECT_NEAR(e[2].error_ms, 0.0, 1e-6); // 1 s after the last warm-up sample
    EXPECT_NEAR(e[3].error_ms, 3.3, 1e-6);
    EXPECT_EQ(e[3].at_ns, 2203000000);

    std::string failed = RESULTS_REPLY;
    failed.replace(failed.find("OK"), 2, "FAIL");
    ASSERT_TRUE(parse_results_times(failed, &t));
    EXPECT_FALSE(t.ok);
    for (auto [from, to] :
         {std::pair{"NUM_MEASUR: 2", "NUM_MEASUR: 3"}, std::pair{"0 199700000", "0 1000000000"},
          std::pair{"0 199700000", "0 1x9700000"}}) {
        std::string bad = RESULTS_REPLY;
        bad.replace(bad.find(from), strlen(from), to);
        EXPECT_FALSE(parse_results_times(bad, &t)) << to;
    }
    EXPECT_FALSE(parse_results_times(RESULTS_REPLY.substr(0, RESULTS_REPLY.size() - 1), &t));
}

TEST(ReplyParsing, LatencySampleTimesOfOneConnectionAgainstTheirGrid) {
    auto sample = [](int ts) {
        return "{\"ts\":" + std::to_string(ts) +
               ",\"tcp_rtt\":12,\"tcp_rttvar\":6,\"tcpi_lost\":0,\"tcpi_total_retrans\":0,"
               "\"tcpi_retrans\":0,\"tcpi_snd_cwnd\":10,\"total_transferred\":999,"
               "\"data_transferred\":900}";
    };
    std::string doc =
        "{\"protocol_version\":1,\"serverside_start\":5000,\"start_timestamp\":1,"
        "\"measurement_start\":0,\"measurement_end\":0,\"connections\":[{\"samples\":[" +
        sample(103) + "," + sample(203) + "," + sample(405) + "]},{\"samples\":[" + sample(204) +
        "]},{\"samples\":[]}]}";
    int64_t start = 0;
    std::vector<int64_t> ts;
    ASSERT_TRUE(latency_sample_times(doc, 0, &start, &ts));
    EXPECT_EQ(start, 5000);
    EXPECT_EQ(ts, (std::vector<int64_t>{103, 203, 405}));
    ASSERT_TRUE(latency_sample_times(doc, 1, &start, &ts));
    EXPECT_EQ(ts, std::vector<int64_t>{204});
    ASSERT_TRUE(latency_sample_times(doc, 2, &start, &ts));
    EXPECT_TRUE(ts.empty());
    EXPECT_FALSE(latency_sample_times(doc, 3, &start, &ts));
    EXPECT_FALSE(latency_sample_times("{\"connections\":[]}", 0, &start, &ts));

    // The sample at 303 ms is missing; the one at 405 is 2 ms late on the grid of the others.
    int missing = 0;
    std::vector<timed_error> e = grid_errors({103, 203, 405}, 100, &missing);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].error_ms, 0);
    EXPECT_EQ(e[1].error_ms, 0);
    EXPECT_EQ(e[2].error_ms, 2);
    EXPECT_EQ(e[2].at_ns, 405000000);
    EXPECT_EQ(missing, 1);
    // The grid lies on the least late sample, wherever it is; a sample late by more than
    // half a period keeps its slot.
    e = grid_errors({104, 201, 302, 460, 502}, 100, &missing);
    std::vector<double> late;
    for (const timed_error& x : e)
        late.push_back(x.error_ms);
    EXPECT_EQ(late, (std::vector<double>{3, 0, 1, 59, 1}));
    EXPECT_EQ(missing, 0);
}

TEST(Statistics, MedianAndNearestRankPercentile) {
    EXPECT_EQ(median({3, 1, 2}), 2);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(median({}), 0);
    std::vector<double> hundred;
    for (int i = 100; i >= 1; i--)
        hundred.push_back(i);
    EXPECT_EQ(percentile(hundred, 99), 99);
    EXPECT_EQ(percentile(hundred, 100), 100);
    EXPECT_EQ(percentile({7}, 99), 7);
}

// The harness's requests must be what the server accepts: a rejected request would make
// every figure measure refusals.
class HarnessRequests : public testing::Test {
  protected:
    request_info parse(const std::string& text) {
        request_info req{};
        EXPECT_EQ(parse_request(text.c_str(), text.size(), &req), static_cast<int>(text.size()))
            << text;
        return req;
    }
};

TEST_F(HarnessRequests, DownloadAndUploadRequestsNameTheirSessionAndConnection) {
    load_plan plan;
    plan.kind = load_kind::download;
    plan.conns = 4;
    request_info get = parse(request_text(plan, 77, 3));
    EXPECT_EQ(get.method, GET);
    EXPECT_FALSE(get.no_path);
    EXPECT_EQ(get.session_id, (1ull << 32) + 77);
    EXPECT_EQ(get.num_conns, 4u);
    EXPECT_EQ(get.conn_id, 3u);

    plan.kind = load_kind::upload;
    request_info post = parse(request_text(plan, 78, 0));
    EXPECT_EQ(post.method, POST);
    EXPECT_EQ(post.session_id, (1ull << 32) + 78);
    EXPECT_EQ(post.num_conns, 4u);
    EXPECT_GE(post.max_warmup_samples, post.num_warmup_samples);
    EXPECT_GT(post.result_num_intervals, 0u);

    // The live sessions' requests.
    request_info up = parse(live_request(live_kind::upload, 79, 0, 7));
    EXPECT_EQ(up.method, POST);
    EXPECT_EQ(up.session_id, (1ull << 32) + 79);
    EXPECT_EQ(up.warmup_sample_time, 100u);
    EXPECT_EQ(up.result_num_intervals, 7u);
    EXPECT_EQ(up.results_interval_period, 1u);
    for (int conn : {0, 1}) {
        request_info latency = parse(live_request(live_kind::latency, 5ull << 32, conn, 0));
        EXPECT_TRUE(latency.latency_test);
        EXPECT_EQ(latency.method, GET);
        EXPECT_EQ(latency.session_id, 5ull << 32);
        EXPECT_EQ(latency.num_conns, 2u);
        EXPECT_EQ(latency.conn_id, static_cast<size_t>(conn));
        EXPECT_EQ(latency.latency_interval.tv_nsec, 100000000);
    }
    EXPECT_EQ(parse(live_request(live_kind::download, 80, 0, 0)).method, GET);
}

TEST_F(HarnessRequests, ShortSessionsHaveOneConnectionAndHeadNeedsNoSession) {
    load_plan plan;
    plan.kind = load_kind::session_rate;
    plan.conns = 64; // concurrent clients, not connections of one session
    request_info get = parse(request_text(plan, 5, 0));
    EXPECT_EQ(get.num_conns, 1u);
    EXPECT_EQ(get.method, GET);
    plan.kind = load_kind::head;
    EXPECT_EQ(parse(request_text(plan, 6, 0)).method, HEAD);
}

// ---------------------------------------------------------------------------
// Servers on real sockets.

struct temp_file {
    std::string dir;
    std::string path;
    explicit temp_file(const std::string& content) {
        char tmpl[] = "/tmp/vh-bench-test-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/payload.bin";
        std::ofstream(path, std::ios::binary) << content;
    }
    ~temp_file() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

struct running_server {
    pid_t pid = -1;
    int port = 0;
    running_server(std::vector<std::string> argv) {
        int fd = listen_loopback(&port);
        EXPECT_GE(fd, 0);
        spawn_options o;
        o.argv = std::move(argv);
        o.listen_fd = fd;
        o.unset_env = {"VH_VERBOSE"};
        pid = spawn(o);
        close(fd);
        EXPECT_TRUE(wait_connectable(port, 5000));
    }
    ~running_server() {
        stop_process(pid);
    }
};

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Exactly n bytes, or fewer when the peer closes or two seconds pass.
std::string receive(int fd, size_t n) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char buf[4096];
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// True when the peer closes within two seconds (a reset counts: a server that closes with
// unread bytes resets the connection).
bool closed_by_peer(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    if (poll(&p, 1, 2000) != 1)
        return false;
    ssize_t n = recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

const char GET_HEADER[] = "HTTP/1.1 200 OK\r\nContent-Length: 500000000000\r\n\r\n";

TEST(ReferenceServer, DownloadRepeatsTheFileFromItsStartOncePastTheMiddle) {
    temp_file file("0123456789");
    running_server ref({VH_REF_SERVER_PATH, "--file", file.path});
    int fd = connect_to(ref.port);
    ASSERT_GE(fd, 0);
    std::string req = "GET /d HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    std::string header = receive(fd, strlen(GET_HEADER));
    EXPECT_EQ(header, GET_HEADER);
    EXPECT_EQ(receive(fd, 35), "01234567890123456789012345678901234");
    close(fd);
}

TEST(ReferenceServer, UploadIsAnsweredThenDiscardedUntilTheClientCloses) {
    temp_file file("x");
    running_server ref({VH_REF_SERVER_PATH, "--file", file.path});
    int fd = connect_to(ref.port);
    ASSERT_GE(fd, 0);
    // The request arrives in two pieces: the server waits for its blank line.
    std::string first = "POST /u HTTP/1.1\r\n";
    std::string second = "Host: a\r\n\r\n";
    ASSERT_EQ(send(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(send(fd, second.data(), second.size(), 0), static_cast<ssize_t>(second.size()));
    EXPECT_EQ(receive(fd, 25), "HTTP/1.1 100 Continue\r\n\r\n");
    std::string data(1 << 20, 'u');
    ASSERT_EQ(send(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
}

TEST(ReferenceServer, HeadKeepsTheConnectionForTheNextRequest) {
    temp_file file("x");
    running_server ref({VH_REF_SERVER_PATH, "--file", file.path, "--spread"});
    int fd = connect_to(ref.port);
    ASSERT_GE(fd, 0);
    const std::string reply =
        "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 500000000000\r\n\r\n";
    for (int i = 0; i < 2; i++) {
        std::string req = "HEAD /x HTTP/1.1\r\n\r\n";
        ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        EXPECT_EQ(receive(fd, reply.size()), reply);
    }
    close(fd);
}

TEST(ReferenceServer, ClosesARequestThatNeverEnds) {
    temp_file file("x");
    running_server ref({VH_REF_SERVER_PATH, "--file", file.path});
    int fd = connect_to(ref.port);
    ASSERT_GE(fd, 0);
    std::string junk(20000, 'a');
    send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
}

// ---------------------------------------------------------------------------
// The load generators, briefly, against both servers.

load_result short_run(load_kind kind, dialect server, int port, pid_t pid, int sessions, int conns,
                      bool tls = false) {
    load_plan plan;
    plan.tls = tls;
    plan.kind = kind;
    plan.server = server;
    plan.port = port;
    plan.sessions = sessions;
    plan.conns = conns;
    plan.threads = 2;
    plan.warmup_s = 0.1;
    plan.measure_s = 0.3;
    return run_load(plan, [pid](double* total, std::vector<double>* threads) {
        *total = tree_cpu_seconds(pid, threads);
    });
}

std::string payload(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++)
        data[i] = static_cast<char>(i * 7);
    return data;
}

TEST(LoadGenerators, EveryKindMovesDataAgainstTheReferenceServer) {
    temp_file file(payload(1 << 20));
    running_server ref({VH_REF_SERVER_PATH, "--file", file.path, "--spread"});
    for (load_kind kind : {load_kind::download, load_kind::upload}) {
        load_result r = short_run(kind, dialect::reference, ref.port, ref.pid, 2, 2);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_GT(r.bytes, 1000000u);
        EXPECT_GT(r.seconds, 0.25);
        EXPECT_GT(r.server_cpu_s, 0);
        EXPECT_EQ(r.server_thread_cpu_s.size(), 3u); // main thread and two workers
    }
    for (load_kind kind : {load_kind::session_rate, load_kind::head}) {
        load_result r = short_run(kind, dialect::reference, ref.port, ref.pid, 0, 8);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_GT(r.operations, 10u);
        // Latencies are recorded for the operations of the window only.
        EXPECT_NEAR(static_cast<double>(r.latencies_us.size()), static_cast<double>(r.operations),
                    0.2 * r.operations + 10);
    }
}

TEST(LoadGenerators, TheServerUnderTestAnswersEveryKindAndReportsItsUploads) {
    temp_file file(payload(1 << 20));
    running_server vh({VH_HTTPD_PATH, "-f", file.path});
    load_result down = short_run(load_kind::download, dialect::varnholt, vh.port, vh.pid, 1, 4);
    ASSERT_TRUE(down.ok) << down.error;
    EXPECT_GT(down.bytes, 1000000u);

    load_result up = short_run(load_kind::upload, dialect::varnholt, vh.port, vh.pid, 2, 2);
    ASSERT_TRUE(up.ok) << up.error;
    EXPECT_GT(up.bytes, 1000000u);
    EXPECT_EQ(up.results_expected, 4);
    EXPECT_EQ(up.results_ok, 4); // every connection got "VARNHOLT_HTTP_REPLY" with OK

    for (load_kind kind : {load_kind::session_rate, load_kind::head}) {
        load_result r = short_run(kind, dialect::varnholt, vh.port, vh.pid, 0, 8);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_GT(r.operations, 10u);
    }

    // Live sessions, two of each kind: every one runs to its end (the download's statistics
    // message, the upload's results, the latency session's final document), and the server
    // took every sample within a period of its due time.
    live_plan plan;
    plan.port = vh.port;
    plan.downloads = plan.uploads = plan.latency = 2;
    plan.settle_s = 0.2;
    plan.window_s = 1.2;
    live_probe probe;
    probe.cpu = [pid = vh.pid](double* total, std::vector<double>* threads) {
        *total = tree_cpu_seconds(pid, threads);
    };
    probe.rss = [pid = vh.pid] { return tree_rss_bytes(pid); };
    live_result live = run_live(plan, probe);
    ASSERT_TRUE(live.ok) << live.error;
    for (const auto& [reason, n] : live.failures)
        ADD_FAILURE() << n << " x " << reason;
    EXPECT_EQ(live.live_at_end, 6);
    EXPECT_GT(live.down_bytes, 0u);
    EXPECT_GT(live.up_bytes, 0u);
    EXPECT_GT(live.rss_live, 0);
    // Per upload at least the stable warm-up window and every interval.
    EXPECT_GE(live.sample_errors.size(), 2u * (5 + live.upload_intervals));
    EXPECT_GE(live.latency_errors.size(), 2u * 10);
    EXPECT_GE(live.stats_replies.size(), 2u * 2);
    for (const auto& errors : {live.sample_errors, live.latency_errors})
        for (const timed_error& e : errors) {
            EXPECT_GE(e.error_ms, -0.001);
            EXPECT_LT(e.error_ms, 100);
        }
    EXPECT_TRUE(process_alive(vh.pid));
}

// Over TLS, against the server's TLS port: downloads decrypted, uploads encrypted, and every
// upload's results read back after its last record, its close_notify and its half-close.
TEST(LoadGenerators, DownloadsAndUploadsOverTlsAgainstTheServerUnderTest) {
    temp_file file(payload(1 << 20));
    const std::string cert = file.dir + "/tls.crt", key = file.dir + "/tls.key";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -days 2 -subj /CN=localhost -keyout " +
                           key + " -out " + cert + " >/dev/null 2>&1")
                              .c_str()),
              0);
    const int port = free_port();
    spawn_options o;
    o.argv = {
        VH_HTTPD_PATH, "-f",        file.path, "--tls-service", std::to_string(port), "--tls-cert",
        cert,          "--tls-key", key};
    o.unset_env = {"VH_VERBOSE"};
    const pid_t pid = spawn(o);
    ASSERT_TRUE(wait_connectable(port, 5000));
    load_result down = short_run(load_kind::download, dialect::varnholt, port, pid, 1, 4, true);
    ASSERT_TRUE(down.ok) << down.error;
    EXPECT_GT(down.bytes, 1000000u);
    load_result up = short_run(load_kind::upload, dialect::varnholt, port, pid, 2, 2, true);
    ASSERT_TRUE(up.ok) << up.error;
    EXPECT_GT(up.bytes, 1000000u);
    EXPECT_EQ(std::pair(up.results_ok, up.results_expected), std::pair(4, 4));
    stop_process(pid);
}

TEST(LoadGenerators, ASetUpThatNobodyAnswersFailsWithinItsLimit) {
    // A listening socket that never accepts: connections complete in the kernel, but no
    // reply ever comes.
    int port = 0;
    int fd = listen_loopback(&port);
    ASSERT_GE(fd, 0);
    auto start = std::chrono::steady_clock::now();
    load_result r = short_run(load_kind::download, dialect::reference, port, getpid(), 1, 1);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("set-up"), std::string::npos) << r.error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    close(fd);
}

TEST(Procfs, ReadsThreadsDescriptorsAndMemoryOfAProcess) {
    EXPECT_GE(thread_cpu_seconds(getpid()).size(), 1u);
    EXPECT_GE(tree_fd_count(getpid()), 3);
    EXPECT_GT(tree_rss_bytes(getpid()), 0);
    EXPECT_GT(tree_written_bytes(getpid()), 0); // the test's own output
    EXPECT_TRUE(thread_cpu_seconds(999999999).empty());
}

} // namespace
