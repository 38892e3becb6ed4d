// Hostile requests against the real server: numbers at and beyond their ranges, path-style
// requests that would reshape a running session, indexes no session has, slow headers, and a
// file that shrinks under a download. After each the server still serves, its memory and
// descriptors stay where they were, and honest sessions are admitted under --max-sessions.
#include "hardening_support.h"
#include "request.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

const std::string ID36 = "0123456789abcdef0123456789abcdef0123";
const std::string UPLOAD_RULES = "NUM_WARMUP_SAMPLES=3&MAX_WARMUP_SAMPLES=8&WARMUP_SAMPLE_TIME=100&"
                                 "RESULT_NUM_INTERVALS=5&RESULTS_INTERVAL_PERIOD=1";

std::string request(const std::string& method, const std::string& target) {
    return method + " " + target + " HTTP/1.1\r\nHost: hostile\r\n\r\n";
}

std::string controlled(int session, const std::string& rest) {
    return "/t?UNITID=9&SESSIONID=" + std::to_string(session) + "&CONTROL=1&" + rest;
}

class HostileRequests : public testing::Test {
  protected:
    server_process proc;
    int port = -1;

    void start(std::vector<std::string> args, const std::string& file = "") {
        start_options opts;
        opts.args = std::move(args);
        if (!file.empty()) {
            opts.args.push_back("-f");
            opts.args.push_back(file);
        }
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
    }
    // Sends `text` on a new connection and returns it (-1 on failure).
    int send_new(const std::string& text) {
        int fd = vh_test::connect_loopback(port);
        if (fd >= 0 && !vh_test::send_all(fd, text)) {
            close(fd);
            return -1;
        }
        return fd;
    }
    // The server closes the connection without a byte of reply.
    void expect_refused(const std::string& text) {
        SCOPED_TRACE(text);
        int fd = send_new(text);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(vh_test::read_until_close(fd, 5s), "");
        close(fd);
        expect_serving();
    }
    // The server is alive and answers a HEAD request.
    void expect_serving() {
        ASSERT_EQ(kill(proc.pid, 0), 0) << proc.output;
        int fd = send_new("HEAD / HTTP/1.1\r\n\r\n");
        ASSERT_GE(fd, 0);
        EXPECT_EQ(vh_test::recv_exact(fd, vh_test::HEAD_REPLY.size(), 5s), vh_test::HEAD_REPLY)
            << proc.output;
        close(fd);
    }
};

// Each of these once ended the process (an allocation sized from the count, a timer that
// could not be armed, an assertion) or left a session behind that no connection could join.
TEST_F(HostileRequests, NoRequestEndsTheServerOrHoldsAPlace) {
    start({"-t", "60", "--max-sessions", "3"});
    const int idle_fds = vh_test::idle_descriptors(proc.pid, port);
    ASSERT_GT(idle_fds, 0);
    const long rss_before = vh_test::rss_kib(proc.pid);

    const std::string wrapping_post = "NUM_WARMUP_SAMPLES=1000&WARMUP_SAMPLE_TIME=100&"
                                      "RESULT_NUM_INTERVALS=5&RESULTS_INTERVAL_PERIOD=1&";
    for (const std::string& target : {
             controlled(1, "NUM_CONNECTIONS=100000000000000&CONNECTION=0"),
             controlled(2, "NUM_CONNECTIONS=2305843009213693953&CONNECTION=100"),
             controlled(3, "NUM_CONNECTIONS=1&CONNECTION=0&" + wrapping_post +
                               "MAX_WARMUP_SAMPLES=1152921504606846977"),
             controlled(4, "NUM_CONNECTIONS=1&CONNECTION=0&NUM_WARMUP_SAMPLES=1&"
                           "MAX_WARMUP_SAMPLES=2&WARMUP_SAMPLE_TIME=100&RESULTS_INTERVAL_PERIOD=1&"
                           "RESULT_NUM_INTERVALS=2305843009213693953"),
             controlled(5, "NUM_CONNECTIONS=1&CONNECTION=0&NUM_WARMUP_SAMPLES=1&"
                           "MAX_WARMUP_SAMPLES=2&WARMUP_SAMPLE_TIME=100&RESULT_NUM_INTERVALS=1&"
                           "RESULTS_INTERVAL_PERIOD=18446744073709551615"),
             std::string("/?LATENCY_TEST=GET&LATENCY_ID=4294967296&LATENCY_INTERVAL="
                         "18446744073709552&CONTROL=1&NUM_CONNECTIONS=1&CONNECTION=0"),
             controlled(6, "NUM_CONNECTIONS=1&CONNECTION=0&TRACE_INTERVAL=18446744073709552"),
         })
        expect_refused(
            request(target.find("WARMUP") != std::string::npos ? "POST" : "GET", target));

    // Path-style indexes beyond the count of the session they would found: more of them than
    // --max-sessions allows, and none may hold a place.
    for (int i = 0; i < 5; i++)
        expect_refused(request("POST", "/" + ID36.substr(0, 35) + std::to_string(i) + "/9"));

    // A path-style replacement that lowers the count while slot 3 is joined: the session keeps
    // its slots, and the connection in slot 3 may leave.
    int slot3 = send_new(request("POST", "/" + ID36 + "/3"));
    ASSERT_EQ(vh_test::recv_exact(slot3, vh_test::CONTINUE.size(), 5s), vh_test::CONTINUE);
    int slot0 = send_new(request("POST", "/" + ID36 +
                                             "/0?MAX_WARMUP_SAMPLES=1&RESULT_NUM_INTERVALS=1&"
                                             "WARMUP_SAMPLE_TIME=100"));
    ASSERT_EQ(vh_test::recv_exact(slot0, vh_test::CONTINUE.size(), 5s), vh_test::CONTINUE);
    close(slot3);
    expect_serving();
    close(slot0);

    // A download whose id a path-style upload names: the upload is refused, the download
    // goes on as one.
    const std::string other = "0z" + ID36.substr(2); // another session than the one above
    const uint64_t path_id = session_id_str_to_uint64(other);
    int download =
        send_new(request("GET", "/x?UNITID=" + std::to_string(path_id >> 32) +
                                    "&SESSIONID=" + std::to_string(path_id & 0xFFFFFFFFu) +
                                    "&CONTROL=1&NUM_CONNECTIONS=2&"
                                    "CONNECTION=0"));
    ASSERT_EQ(vh_test::recv_exact(download, vh_test::GET_REPLY.size(), 5s), vh_test::GET_REPLY);
    expect_refused(request("POST", "/" + other + "/1?WARMUP_SAMPLE_TIME=100"));
    EXPECT_EQ(vh_test::recv_exact(download, 4096, 5s).size(), 4096u);
    vh_test::reset_close(download);

    // Nothing above holds a place: three honest sessions start at once.
    std::vector<int> honest;
    for (int i = 0; i < 3; i++) {
        int fd = -1;
        std::string reply;
        for (int attempt = 0; attempt < 50 && reply != vh_test::GET_REPLY; attempt++) {
            if (fd >= 0)
                close(fd);
            if (attempt > 0)
                std::this_thread::sleep_for(100ms); // a reset download may still be ending
            fd = send_new(request("GET", controlled(100 + i, "NUM_CONNECTIONS=1&CONNECTION=0")));
            reply = vh_test::recv_exact(fd, vh_test::GET_REPLY.size(), 5s);
        }
        EXPECT_EQ(reply, vh_test::GET_REPLY) << "honest session " << i;
        honest.push_back(fd);
    }
    for (int fd : honest)
        vh_test::reset_close(fd);

    EXPECT_LT(vh_test::rss_kib(proc.pid) - rss_before, 16 * 1024);
    int fds = vh_test::count_fds(proc.pid);
    for (int i = 0; i < 100 && fds != idle_fds; i++) {
        std::this_thread::sleep_for(100ms);
        fds = vh_test::count_fds(proc.pid);
    }
    EXPECT_EQ(fds, idle_fds) << vh_test::describe_fds(proc.pid);
}

// A header must be whole within --header-timeout however steadily it trickles in, and one
// address holds at most --max-client-pending connections whose header is not whole yet.
TEST_F(HostileRequests, SlowHeadersAreCutAtTheDeadlineAndCappedPerAddress) {
    start({"--header-timeout", "2", "--max-client-pending", "4"});
    const int idle_fds = vh_test::idle_descriptors(proc.pid, port);
    const auto opened = std::chrono::steady_clock::now();
    std::vector<int> fds;
    for (int i = 0; i < 6; i++)
        fds.push_back(vh_test::connect_loopback(port));
    // Two beyond the cap are closed at once, the others held.
    std::this_thread::sleep_for(500ms);
    auto closed = [](int fd) {
        char c;
        ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    };
    int closed_early = 0;
    for (int fd : fds)
        closed_early += closed(fd) ? 1 : 0;
    EXPECT_EQ(closed_early, 2);
    // A trickle of one byte every 200 ms does not keep a connection past its deadline.
    const std::string endless = "GET /x HTTP/1.1\r\nX-Slow: yes\r\n";
    int open = 6;
    for (int step = 0; step < 40 && open > 0; step++) {
        open = 0;
        for (int fd : fds) {
            if (closed(fd))
                continue;
            open++;
            send(fd, endless.data() + step % endless.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(open, 0);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    EXPECT_GE(took, 2.0);
    for (int fd : fds)
        close(fd);
    // The address's count is back: new connections are served.
    expect_serving();
    int now_fds = vh_test::count_fds(proc.pid);
    for (int i = 0; i < 50 && now_fds != idle_fds; i++) {
        std::this_thread::sleep_for(100ms);
        now_fds = vh_test::count_fds(proc.pid);
    }
    EXPECT_EQ(now_fds, idle_fds);
}

// Whether `count` bytes of a download all hold `fill`: the bytes of which file it streams.
bool streams(int fd, char fill, size_t count) {
    const std::string got = vh_test::recv_exact(fd, count, 10s);
    return got.size() == count && got.find_first_not_of(fill) == std::string::npos;
}

void write_filled(const std::string& path, char fill) {
    const std::string tmp = path + ".new";
    FILE* f = fopen(tmp.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const std::string block(1 << 20, fill);
    ASSERT_EQ(fwrite(block.data(), 1, block.size(), f), block.size());
    fclose(f);
    ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

// A connection holds one descriptor until a download request needs the file; downloads share
// their worker's descriptor of it. A file replaced on disk goes to the next download while a
// running one streams on from the file it started with; a removed file refuses the next
// download (and nothing else), and is served again once it is back.
TEST_F(HostileRequests, TheFileIsTakenPerDownloadAndAReplacementGoesToTheNext) {
    const std::string dir = vh_test::make_temp_dir();
    const std::string file = dir + "/data";
    write_filled(file, 'A');
    start({"-d", "3"}, file);
    std::vector<int> idle;
    for (int i = 0; i < 20; i++)
        idle.push_back(vh_test::connect_loopback(port));
    ASSERT_TRUE(proc.wait_count("received by", 20, 5s)) << proc.output;
    const int held_fds = vh_test::count_fds(proc.pid);
    for (int fd : idle)
        close(fd);
    int fds = held_fds;
    for (int i = 0; i < 100 && fds > held_fds - 20; i++) {
        std::this_thread::sleep_for(20ms);
        fds = vh_test::count_fds(proc.pid);
    }
    EXPECT_EQ(fds, held_fds - 20); // one descriptor each, not two

    int first = send_new(request("GET", "/first"));
    ASSERT_EQ(vh_test::recv_exact(first, vh_test::GET_REPLY.size(), 5s), vh_test::GET_REPLY);
    EXPECT_TRUE(streams(first, 'A', 1 << 16));
    write_filled(file, 'B');
    int second = send_new(request("GET", "/second"));
    ASSERT_EQ(vh_test::recv_exact(second, vh_test::GET_REPLY.size(), 5s), vh_test::GET_REPLY);
    EXPECT_TRUE(streams(second, 'B', 1 << 16));
    // Well past what the socket buffers held at the replacement: read from the file since.
    EXPECT_TRUE(streams(first, 'A', 16 << 20));

    ASSERT_EQ(unlink(file.c_str()), 0);
    expect_refused(request("GET", "/third"));
    EXPECT_TRUE(proc.wait_for("Could not create connection: No such file or directory", 5s));
    int upload = send_new(request("POST", "/upload"));
    EXPECT_EQ(vh_test::recv_exact(upload, vh_test::CONTINUE.size(), 5s), vh_test::CONTINUE);
    EXPECT_TRUE(streams(first, 'A', 4 << 20));
    EXPECT_TRUE(streams(second, 'B', 4 << 20));

    write_filled(file, 'C');
    int fourth = send_new(request("GET", "/fourth"));
    ASSERT_EQ(vh_test::recv_exact(fourth, vh_test::GET_REPLY.size(), 5s), vh_test::GET_REPLY);
    EXPECT_TRUE(streams(fourth, 'C', 1 << 16));
    for (int fd : {first, second, upload, fourth})
        close(fd);
    vh_test::remove_tree(dir);
}

// A file to send that shrinks to nothing under a running download ends that download: the
// socket stays writable, and a worker must not spin on a sendfile that moves nothing.
TEST_F(HostileRequests, AFileThatShrinksToNothingEndsDownloadsWithoutSpinning) {
    const std::string dir = vh_test::make_temp_dir();
    const std::string file = dir + "/data";
    vh_test::write_file(file, 1 << 20);
    start({}, file);
    int fd = send_new(request("GET", "/shrinking"));
    ASSERT_EQ(vh_test::recv_exact(fd, vh_test::GET_REPLY.size(), 5s), vh_test::GET_REPLY);
    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    // Everything queued before arrives, then the end.
    std::string rest = vh_test::read_until_close(fd, 10s);
    EXPECT_TRUE(proc.wait_for("the file to send has no data", 5s)) << proc.output;
    close(fd);
    const long before = vh_test::cpu_ticks(proc.pid);
    std::this_thread::sleep_for(1s);
    EXPECT_LT(vh_test::cpu_ticks(proc.pid) - before, 20); // well under a fifth of a core
    expect_serving();
    vh_test::remove_tree(dir);
}

} // namespace
