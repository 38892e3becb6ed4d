// Placement of new sessions on the workers of the real server: one worker pinned to each CPU,
// sessions spread over the workers whichever of them accepts the connections, and a worker
// whose sessions ended takes the next ones, also when they come in a burst.
#include "test_support.h"

#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;
using namespace vh_test;

namespace {

using owned = std::map<std::string, int>; // sessions owned by each worker, by its CPU

// The sessions each worker owns, from the metrics page, once the two workers show up and own
// `total` sessions together (or after two seconds).
owned sessions_by_cpu(int metrics_port, int total) {
    const std::regex sample(
        R"re(\nvarnholt_worker_sessions\{worker="[0-9]+",cpu="([0-9]+)"\} ([0-9]+))re");
    owned counts;
    for (int i = 0, sum = -1; i < 100 && (sum != total || counts.size() != 2);
         i++, std::this_thread::sleep_for(20ms)) {
        const int fd = send_new(metrics_port, "GET /metrics HTTP/1.1\r\n\r\n");
        const std::string page = read_until_close(fd, 5s);
        close(fd);
        counts.clear();
        sum = 0;
        for (std::sregex_iterator it(page.begin(), page.end(), sample), end; it != end; ++it)
            sum += counts[(*it)[1]] = std::stoi((*it)[2]);
    }
    return counts;
}

TEST(Placement, SessionsAreSpreadAndAWorkerWhoseSessionsEndedTakesTheNextOnes) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        GTEST_SKIP() << "needs two CPUs";
    server_process proc;
    start_options opts = options({"--metrics", "127.0.0.1:0"});
    opts.cpu_list = "0,1";
    const int port = start_activated(proc, opts);
    ASSERT_TRUE(proc.wait_for("Metrics on address 127.0.0.1 port ", 10s)) << proc.output;
    const int mport = std::stoi(proc.output.substr(proc.output.find("127.0.0.1 port ") + 15));
    owned now = sessions_by_cpu(mport, 0);
    // A worker pinned to each CPU (the CPU it found itself on when it started).
    ASSERT_EQ(now, (owned{{"0", 0}, {"1", 0}})) << proc.output;

    // Opened one by one, each goes to the worker owning the fewest: three each. The owner of
    // each is the worker whose count rose.
    std::vector<int> fds;
    std::vector<std::string> owner;
    for (int i = 0; i < 6; i++) {
        fds.push_back(send_new(port, download_request(100 + i)));
        EXPECT_EQ(recv_exact(fds.back(), GET_REPLY.size(), 5s), GET_REPLY);
        const owned before = std::exchange(now, sessions_by_cpu(mport, i + 1));
        owner.push_back(now["0"] > before.at("0") ? "0" : "1");
    }
    EXPECT_EQ(now, (owned{{"0", 3}, {"1", 3}}));
    // End every session of one worker; the other keeps its own. The emptied worker then owns
    // the fewest sessions until it has as many as the other, also when they come at once.
    for (size_t i = 0; i < fds.size(); i++)
        if (owner[i] == owner[0])
            close(std::exchange(fds[i], -1));
    EXPECT_EQ(sessions_by_cpu(mport, 3)[owner[0]], 0);
    std::vector<int> burst(3);
    for (int& fd : burst)
        fd = connect_loopback(port);
    for (size_t i = 0; i < burst.size(); i++) {
        ASSERT_TRUE(send_all(burst[i], download_request(200 + i)));
        EXPECT_EQ(recv_exact(burst[i], GET_REPLY.size(), 5s), GET_REPLY);
    }
    EXPECT_EQ(sessions_by_cpu(mport, 6), (owned{{"0", 3}, {"1", 3}}));
    for (const auto* group : {&fds, &burst})
        for (int fd : *group)
            close(fd);
}

} // namespace
