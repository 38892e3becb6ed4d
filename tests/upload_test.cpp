// Upload tests end to end on the real server: warm-up, measurement, the results reply
// on every connection, the upload log, and clients that misbehave on the way.
#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

using vh_test::CONTINUE;

std::string upload_request(int session, int num_conns, int conn, const std::string& extra = "") {
    return "POST /up?CONTROL=1&UNITID=4&SESSIONID=" + std::to_string(session) +
           "&NUM_CONNECTIONS=" + std::to_string(num_conns) + "&CONNECTION=" + std::to_string(conn) +
           "&NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=4&WARMUP_SAMPLE_TIME=100"
           "&WARMUP_TOLERANCE=100&RESULT_NUM_INTERVALS=3&RESULTS_INTERVAL_PERIOD=1" +
           extra + " HTTP/1.1\r\nHost: test\r\n\r\n";
}

// One upload connection: sends while it can, collects what the server answers.
struct uploader {
    int fd = -1;
    std::string received;
    bool sending = true;
    bool closed = false; // the server half-closed after its results
};

struct Upload : ::testing::Test {
    server_process proc;
    std::string logs;
    int port = -1;
    void SetUp() override {
        logs = vh_test::make_temp_dir();
        start_options opts;
        opts.args = {"-d", "3", "-l", logs};
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
    }
    void TearDown() override {
        vh_test::remove_tree(logs);
    }
    uploader open(int session, int num_conns, int conn, const std::string& extra = "") {
        uploader u;
        u.fd = vh_test::connect_loopback(port);
        EXPECT_TRUE(vh_test::send_all(u.fd, upload_request(session, num_conns, conn, extra)));
        EXPECT_EQ(vh_test::recv_exact(u.fd, CONTINUE.size(), 5s), CONTINUE);
        fcntl(u.fd, F_SETFL, O_NONBLOCK);
        return u;
    }
    // Pumps data on every sending connection until all have their results and the
    // server's FIN, or the time runs out. `step` runs once per round.
    void pump(std::vector<uploader*> ups, std::chrono::seconds limit,
              const std::function<void(int round)>& step = nullptr) {
        std::string chunk(64 << 10, 'u');
        auto until = std::chrono::steady_clock::now() + limit;
        for (int round = 0; std::chrono::steady_clock::now() < until; round++) {
            if (step)
                step(round);
            bool all_done = true;
            for (uploader* u : ups) {
                if (u->fd < 0 || u->closed)
                    continue;
                all_done = false;
                if (u->sending)
                    send(u->fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                char buf[4096];
                ssize_t n = recv(u->fd, buf, sizeof(buf), 0);
                if (n > 0)
                    u->received.append(buf, static_cast<size_t>(n));
                else if (n == 0)
                    u->closed = true;
                else if (errno != EAGAIN)
                    u->closed = true;
            }
            if (all_done)
                return;
            std::this_thread::sleep_for(5ms);
        }
    }
    std::string log_file() {
        for (int i = 0; i < 100; i++) {
            DIR* d = opendir(logs.c_str());
            std::string name;
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    name = e->d_name;
            closedir(d);
            if (!name.empty())
                return vh_test::read_file(logs + "/" + name);
            std::this_thread::sleep_for(50ms);
        }
        return "";
    }
};

const std::regex RESULTS_SHAPE(
    "VARNHOLT_HTTP_REPLY\nVERSION: 1\\.0\nRESULT: (OK|FAIL)\nEND_TIME: [0-9]+\nSECTION: WARMUP\n"
    "NUM_WARMUP: ([0-9]+)\n(?:WARMUP_SESSION: [0-9]+ [0-9]+ [0-9]+\n)*SECTION: MEASUR\n"
    "NUM_MEASUR: ([0-9]+)\n(?:MEASUR_SESSION: [0-9]+ [0-9]+ [0-9]+\n)*\n");

int count_lines(const std::string& text, const std::string& prefix) {
    return vh_test::count_occurrences(text, "\n" + prefix);
}

TEST_F(Upload, ThreeConnectionsMeasureAndAllGetTheSameResults) {
    uploader a = open(31, 3, 0, "&STORE_LOG=1");
    uploader b = open(31, 3, 1, "&STORE_LOG=1");
    uploader c = open(31, 3, 2, "&STORE_LOG=1");
    pump({&a, &b, &c}, 20s);
    for (uploader* u : {&a, &b, &c}) {
        EXPECT_TRUE(u->closed);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(u->received, m, RESULTS_SHAPE)) << u->received;
        EXPECT_EQ(m[1].str(), "OK");
        EXPECT_EQ(m[3].str(), "3");
        EXPECT_EQ(count_lines(u->received, "MEASUR_SESSION:"), 3);
        EXPECT_EQ(count_lines(u->received, "WARMUP_SESSION:"), std::stoi(m[2].str()));
        EXPECT_EQ(u->received, a.received);
        close(u->fd);
    }
    // Measurement bytes grow from interval to interval.
    std::regex measur("MEASUR_SESSION: [0-9]+ [0-9]+ ([0-9]+)\n");
    uint64_t last = 0;
    for (std::sregex_iterator it(a.received.begin(), a.received.end(), measur), end; it != end;
         ++it) {
        uint64_t bytes = std::stoull((*it)[1]);
        EXPECT_GT(bytes, last);
        last = bytes;
    }
    EXPECT_TRUE(proc.wait_for("session 17179869215 destroyed", 5s)) << proc.output;

    std::string log = log_file();
    std::string conn_block =
        "CONNECTION: [0-2]\nNUM_WARMUP: [0-9]+\n(WARMUP [0-9]+: [0-9]+ [0-9]+ [0-9]+\n)*"
        "NUM_MEASUR: 3\nMEASUR 0: [0-9]+ [0-9]+ [0-9]+\nMEASUR 1: [0-9]+ [0-9]+ "
        "[0-9]+\nMEASUR 2: [0-9]+ [0-9]+ [0-9]+\n";
    EXPECT_TRUE(std::regex_match(log, std::regex("VH_HTTP_SERVER: 1\\.0\nTEST: POST\nRESULT: OK\n"
                                                 "NUM_CONNECTIONS: 3\n(" +
                                                 conn_block + "){3}")))
        << log;
}

TEST_F(Upload, AMissingConnectionFailsTheTestAtTheFirstSample) {
    uploader a = open(32, 2, 0);
    pump({&a}, 10s);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(a.received, m, RESULTS_SHAPE)) << a.received;
    EXPECT_EQ(m[1].str(), "FAIL");
    EXPECT_EQ(m[2].str(), "1");
    EXPECT_EQ(m[3].str(), "0");
    close(a.fd);
}

TEST_F(Upload, AClientClosingDuringMeasurementEndsTheTestEarly) {
    uploader a = open(33, 2, 0);
    uploader b = open(33, 2, 1);
    bool closed_b = false;
    pump({&a, &b}, 20s, [&](int) {
        // Close b once measurement has surely begun (warm-up takes at most 0.4 s).
        static auto begin = std::chrono::steady_clock::now();
        if (!closed_b && std::chrono::steady_clock::now() - begin > 1500ms) {
            close(b.fd);
            b.fd = -1;
            closed_b = true;
        }
    });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(a.received, m, RESULTS_SHAPE)) << a.received;
    EXPECT_EQ(m[1].str(), "OK");
    EXPECT_LT(std::stoi(m[3].str()), 3);
    close(a.fd);
}

TEST_F(Upload, AResetDuringWarmupFailsTheTestForTheOthers) {
    uploader a = open(34, 2, 0);
    uploader b = open(34, 2, 1);
    pump({&a, &b}, 1s, nullptr);
    linger reset{1, 0};
    setsockopt(b.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(b.fd);
    b.fd = -1;
    pump({&a}, 20s);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(a.received, m, RESULTS_SHAPE)) << a.received;
    EXPECT_EQ(m[1].str(), "FAIL");
    close(a.fd);
}

TEST_F(Upload, SilentAndSlowConnectionsStillEndByTheRules) {
    uploader fast = open(35, 3, 0);
    uploader slow = open(35, 3, 1);
    uploader silent = open(35, 3, 2);
    silent.sending = false;
    pump({&fast, &slow, &silent}, 20s, [&](int round) { slow.sending = round % 10 == 0; });
    for (uploader* u : {&fast, &slow, &silent}) {
        EXPECT_TRUE(std::regex_match(u->received, RESULTS_SHAPE)) << u->received;
        EXPECT_EQ(u->received, fast.received);
        close(u->fd);
    }
    // Another session runs normally afterwards.
    uploader next = open(36, 1, 0);
    pump({&next}, 20s);
    EXPECT_TRUE(std::regex_search(next.received, std::regex("RESULT: OK\n"))) << next.received;
    close(next.fd);
}

} // namespace
