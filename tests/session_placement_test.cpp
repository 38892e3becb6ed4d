// Placement of new sessions on the workers of the real server: a burst of sessions is
// spread over the workers whichever of them accepts the connections, and a worker whose
// sessions ended takes the next ones.
#include "test_support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

using vh_test::GET_REPLY;

std::string download(uint32_t number) {
    return "GET /file?CONTROL=1&UNITID=3&SESSIONID=" + std::to_string(number) +
           "&NUM_CONNECTIONS=1&CONNECTION=0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

struct Placement : testing::Test {
    vh_test::server_process proc;
    int port = -1;

    void SetUp() override {
        if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
            GTEST_SKIP() << "needs two CPUs";
        vh_test::start_options opts;
        opts.args = {"-d", "3"};
        opts.cpu_list = "0,1";
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
        // Connections queue on the handed-over socket before the workers run: wait until
        // both wait for events, so that both can own sessions from the first one on.
        ASSERT_TRUE(workers_waiting(2, 10s)) << proc.output;
    }

    bool workers_waiting(int n, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        const std::string tasks = "/proc/" + std::to_string(proc.pid) + "/task";
        while (std::chrono::steady_clock::now() < deadline) {
            int waiting = 0;
            for (const auto& task : std::filesystem::directory_iterator(tasks))
                if (vh_test::read_file(task.path().string() + "/wchan").find("epoll") !=
                    std::string::npos)
                    waiting++;
            if (waiting >= n)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // One single-connection download session per number, each answered before the next
    // is opened when `one_by_one`, else all connected first. The client sockets are
    // returned open, so the sessions stay alive.
    std::vector<int> open_sessions(uint32_t first, int count, bool one_by_one) {
        std::vector<int> fds;
        for (int i = 0; i < count; i++) {
            fds.push_back(vh_test::connect_loopback(port));
            EXPECT_GE(fds.back(), 0);
            if (one_by_one)
                answered(fds.back(), first + static_cast<uint32_t>(i));
        }
        if (!one_by_one)
            for (int i = 0; i < count; i++)
                answered(fds[i], first + static_cast<uint32_t>(i));
        proc.poll_output(200ms);
        return fds;
    }

    void answered(int fd, uint32_t number) {
        EXPECT_TRUE(vh_test::send_all(fd, download(number)));
        EXPECT_EQ(vh_test::recv_exact(fd, GET_REPLY.size(), 5s), GET_REPLY);
    }

    // The owner (epoll descriptor of a worker) of each connection the log shows from
    // `mark` on, in the order the connections were accepted: the worker that accepted
    // it, or the one it was handed to.
    std::vector<int> owners(size_t mark) {
        const std::string log = proc.output.substr(mark);
        const std::regex line(R"(Connection ([0-9]+) (received by|was handled to) ([0-9]+))");
        std::vector<int> order;
        std::map<int, int> owner;
        for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
            int sock = std::stoi((*it)[1]);
            if ((*it)[2] == "received by")
                order.push_back(sock);
            owner[sock] = std::stoi((*it)[3]);
        }
        std::vector<int> result;
        for (int sock : order)
            result.push_back(owner[sock]);
        return result;
    }

    static std::map<int, int> per_worker(const std::vector<int>& owners) {
        std::map<int, int> count;
        for (int epfd : owners)
            count[epfd]++;
        return count;
    }
};

TEST_F(Placement, ABurstOfSessionsIsSpreadOverTheWorkers) {
    std::vector<int> fds = open_sessions(1, 8, false);
    std::map<int, int> count = per_worker(owners(0));
    ASSERT_EQ(count.size(), 2u) << proc.output;
    for (const auto& [epfd, n] : count)
        EXPECT_GE(n, 3) << "worker " << epfd << " owns " << n << " of 8\n" << proc.output;
    for (int fd : fds)
        close(fd);
}

TEST_F(Placement, AWorkerWhoseSessionsEndedTakesTheNextOnes) {
    // Opened one by one, so that the log's order of accepts is the order of the clients.
    std::vector<int> fds = open_sessions(100, 6, true);
    std::vector<int> owner = owners(0);
    ASSERT_EQ(owner.size(), fds.size()) << proc.output;
    ASSERT_EQ(per_worker(owner).size(), 2u) << proc.output;

    // End every session of one worker; the other keeps its own.
    const int emptied = owner[0];
    int ended = 0;
    for (size_t i = 0; i < fds.size(); i++)
        if (owner[i] == emptied) {
            close(fds[i]);
            fds[i] = -1;
            ended++;
        }
    ASSERT_TRUE(proc.wait_count("destroyed\n", ended, 5s)) << proc.output;

    // The emptied worker now owns the fewest sessions until it has as many as the other.
    const size_t mark = proc.output.size();
    std::vector<int> more = open_sessions(200, 6 - ended, false);
    for (int epfd : owners(mark))
        EXPECT_EQ(epfd, emptied) << proc.output.substr(mark);
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    for (int fd : more)
        close(fd);
}

} // namespace
