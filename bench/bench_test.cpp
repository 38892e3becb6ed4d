// Tests of the benchmark harness: its reading of replies and statistics, its requests as
// the server's parser sees them, the reference server on real sockets, and every load
// generator against the reference server and the server under test.
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

load_result short_run(load_kind kind, dialect server, int port, pid_t pid, int sessions,
                      int conns) {
    load_plan plan;
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
    EXPECT_TRUE(process_alive(vh.pid));
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
    EXPECT_TRUE(thread_cpu_seconds(999999999).empty());
}

} // namespace
