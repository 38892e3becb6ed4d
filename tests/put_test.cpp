// PUT uploads on the real server: appending to existing files of the log directory,
// and every way a PUT is refused or cut short.
#include "test_support.h"

#include <gtest/gtest.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

using vh_test::PUT_CONTINUE;

std::string put_header(const std::string& path) {
    return "PUT /" + path + " HTTP/1.1\r\nHost: test\r\n\r\n";
}

struct Put : ::testing::Test {
    server_process proc;
    std::string logs;
    std::string outside;
    int port = -1;
    void SetUp() override {
        logs = vh_test::make_temp_dir();
        outside = vh_test::make_temp_dir();
    }
    void TearDown() override {
        vh_test::remove_tree(logs);
        vh_test::remove_tree(outside);
    }
    void start(bool with_logs = true) {
        start_options opts;
        opts.args = {"-d", "3"};
        if (with_logs) {
            opts.args.push_back("-l");
            opts.args.push_back(logs);
        }
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
    }
    void write(const std::string& path, const std::string& content) {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    // Sends a PUT header; true when the connection was closed without any reply.
    bool refused(const std::string& path) {
        int fd = vh_test::connect_loopback(port);
        vh_test::send_all(fd, put_header(path));
        std::string got = vh_test::read_until_close(fd, 5s);
        close(fd);
        EXPECT_EQ(got, "") << path;
        return got.empty();
    }
};

TEST_F(Put, WithoutALogDirectoryTheConnectionIsClosed) {
    start(false);
    EXPECT_TRUE(refused("anything.log"));
}

TEST_F(Put, AMissingTargetIsRefusedAndNotCreated) {
    start();
    EXPECT_TRUE(refused("1_2_3.log"));
    EXPECT_TRUE(proc.wait_for("Request for traces of non existent session", 5s));
    struct stat st {};
    EXPECT_NE(stat((logs + "/1_2_3.log").c_str(), &st), 0);
}

TEST_F(Put, ABodyInPiecesIsAppendedInOrderAndTheFileClosedAtTheEnd) {
    start();
    write(logs + "/1_100_7.log", "VH_HTTP_SERVER: 1.0\n");
    std::string body(5 * 1048576 + 123, '\0');
    std::mt19937 rng(7);
    for (char& c : body)
        c = static_cast<char>(rng());

    int fd = vh_test::connect_loopback(port);
    ASSERT_TRUE(vh_test::send_all(fd, "PUT /1_100_7.log?IGNORED=1 HTTP/1.1\r\nHost: t\r\n\r\n"));
    ASSERT_EQ(vh_test::recv_exact(fd, PUT_CONTINUE.size(), 5s), PUT_CONTINUE);
    for (size_t sent = 0; sent < body.size(); sent += 300000) {
        ASSERT_TRUE(vh_test::send_all(fd, body.substr(sent, 300000)));
        if (sent % 1200000 == 0)
            std::this_thread::sleep_for(20ms);
    }
    close(fd);
    std::string expected = "VH_HTTP_SERVER: 1.0\n" + body;
    std::string content;
    for (int i = 0; i < 100 && content.size() < expected.size(); i++) {
        std::this_thread::sleep_for(50ms);
        content = vh_test::read_file(logs + "/1_100_7.log");
    }
    EXPECT_EQ(content.size(), expected.size());
    EXPECT_TRUE(content == expected);
}

TEST_F(Put, TargetsOutsideTheLogDirectoryAreRefused) {
    start();
    write(outside + "/victim", "untouched");
    mkdir((logs + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (logs + "/link.log").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (logs + "/dirlink").c_str()), 0);
    std::string up = "../" + outside.substr(outside.rfind('/') + 1) + "/victim";
    std::string name = outside.substr(outside.rfind('/') + 1);
    std::vector<std::string> paths = {up,         "sub/../" + up,   "sub/../../" + name + "/victim",
                                      "link.log", "dirlink/victim", "sub"};
    for (const std::string& path : paths) {
        int fd = vh_test::connect_loopback(port);
        vh_test::send_all(fd, put_header(path));
        std::string got = vh_test::recv_exact(fd, PUT_CONTINUE.size(), 2s);
        EXPECT_EQ(got, "") << path;
        vh_test::send_all(fd, "appended");
        close(fd);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(vh_test::read_file(outside + "/victim"), "untouched");
}

TEST_F(Put, ABodySentWithTheHeaderIsRefused) {
    start();
    write(logs + "/t.log", "x");
    int fd = vh_test::connect_loopback(port);
    vh_test::send_all(fd, put_header("t.log") + "body bytes");
    EXPECT_EQ(vh_test::read_until_close(fd, 5s), "");
    close(fd);
    EXPECT_EQ(vh_test::read_file(logs + "/t.log"), "x");
}

// Connections that go away at every step (before the open is answered, while a
// chunk is written, by reset) leave no descriptor and no open file behind, and
// never disturb the next upload.
TEST_F(Put, ConnectionsCutShortLeaveNothingBehind) {
    start();
    write(logs + "/cut.log", "");
    write(logs + "/next.log", "");
    int fd = vh_test::connect_loopback(port);
    close(fd);
    ASSERT_TRUE(proc.wait_for("destroyed after", 5s));
    std::this_thread::sleep_for(100ms);
    int baseline = vh_test::count_fds(proc.pid);
    std::string before = vh_test::describe_fds(proc.pid);

    std::string chunk(1 << 20, 'c');
    for (int i = 0; i < 60; i++) {
        int c = vh_test::connect_loopback(port);
        ASSERT_GE(c, 0);
        vh_test::send_all(c, put_header("cut.log"));
        if (i % 3 == 1) {
            vh_test::recv_exact(c, PUT_CONTINUE.size(), 2s);
            send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (i % 3 == 2) {
            linger reset{1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
        close(c);
    }
    int fds = -1;
    for (int i = 0; i < 100 && fds != baseline; i++) {
        std::this_thread::sleep_for(50ms);
        fds = vh_test::count_fds(proc.pid);
    }
    EXPECT_EQ(fds, baseline) << "before:\n"
                             << before << "after:\n"
                             << vh_test::describe_fds(proc.pid);

    int c = vh_test::connect_loopback(port);
    vh_test::send_all(c, put_header("next.log"));
    EXPECT_EQ(vh_test::recv_exact(c, PUT_CONTINUE.size(), 5s), PUT_CONTINUE);
    vh_test::send_all(c, "after");
    close(c);
    std::string content;
    for (int i = 0; i < 50 && content.empty(); i++) {
        std::this_thread::sleep_for(50ms);
        content = vh_test::read_file(logs + "/next.log");
    }
    EXPECT_EQ(content, "after");
    // Every chunk that reached the file is whole: the file is a run of 'c'.
    std::string cut = vh_test::read_file(logs + "/cut.log");
    EXPECT_EQ(cut.find_first_not_of('c'), std::string::npos);
}

// A client that resets while one of its chunks is being written, with more of its data
// still queued, ends its connection at once and without an error line: its hang-up is not
// mistaken for an answer that is late.
TEST_F(Put, AResetDuringAChunkWriteEndsTheConnectionQuietly) {
    start();
    write(logs + "/reset.log", "");
    std::string data(4 << 20, 'r');
    for (int i = 0; i < 30; i++) {
        int c = vh_test::connect_loopback(port);
        ASSERT_GE(c, 0);
        vh_test::send_all(c, put_header("reset.log"));
        ASSERT_EQ(vh_test::recv_exact(c, PUT_CONTINUE.size(), 5s), PUT_CONTINUE);
        // As much as the socket takes at once: the server reads it chunk by chunk.
        send(c, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
        linger reset{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        close(c);
    }
    std::this_thread::sleep_for(300ms);
    proc.poll_output(100ms);
    EXPECT_EQ(proc.output.find("BUG!"), std::string::npos) << proc.output.substr(0, 2000);
    std::string content = vh_test::read_file(logs + "/reset.log");
    EXPECT_EQ(content.find_first_not_of('r'), std::string::npos);
}

} // namespace
