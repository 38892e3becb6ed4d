// Placement of new sessions on the workers of the real server: one worker pinned to each CPU,
// sessions spread over the workers whichever of them accepts the connections, and a worker
// whose sessions ended takes the next ones, also when they come in a burst.
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <regex>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;
using namespace vh_test;

namespace {

// One single-connection download session per number from `first`, each answered before the
// next is opened when `one_by_one`, else all connected first; left open. Returns the sockets,
// and in `owners` the owner (a worker's epoll descriptor) of each in the order the log shows
// them accepted: the worker that accepted it, or the one it was handed to.
std::vector<int> open_sessions(server_process& proc, int port, uint64_t first, size_t count,
                               bool one_by_one, std::vector<int>* owners) {
    const size_t mark = proc.output.size();
    std::vector<int> fds;
    auto answered = [&](size_t i) {
        EXPECT_TRUE(send_all(fds[i], download_request(first + i)));
        EXPECT_EQ(recv_exact(fds[i], GET_REPLY.size(), 5s), GET_REPLY);
    };
    for (size_t i = 0; i < count; i++) {
        fds.push_back(connect_loopback(port));
        if (one_by_one)
            answered(i);
    }
    for (size_t i = 0; i < count && !one_by_one; i++)
        answered(i);
    proc.poll_output(200ms);
    const std::string log = proc.output.substr(mark);
    const std::regex line(R"(Connection ([0-9]+) (received by|was handled to) ([0-9]+))");
    std::vector<int> order;
    std::map<int, int> owner;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
        if ((*it)[2] == "received by")
            order.push_back(std::stoi((*it)[1]));
        owner[std::stoi((*it)[1])] = std::stoi((*it)[3]);
    }
    for (int sock : order)
        owners->push_back(owner[sock]);
    return fds;
}

TEST(Placement, SessionsAreSpreadAndAWorkerWhoseSessionsEndedTakesTheNextOnes) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        GTEST_SKIP() << "needs two CPUs";
    server_process proc;
    start_options opts = options({"-d", "3"});
    opts.cpu_list = "0,1";
    const int port = start_activated(proc, opts);
    // Connections queue on the handed-over socket before the workers run: wait until both
    // wait for events, so that both can own sessions from the first one on. The main thread,
    // the file operations thread and one worker per CPU, pinned to it (a new thread takes its
    // CPU set a moment after it starts).
    std::multiset<std::string> cpus;
    int waiting = 0;
    for (int i = 0; i < 1000 && (waiting < 2 || cpus.count("0") + cpus.count("1") != 2);
         i++, std::this_thread::sleep_for(10ms)) {
        waiting = 0;
        cpus.clear();
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(proc.pid) + "/task")) {
            const std::string status = read_file(task.path() / "status");
            const size_t at = status.find("Cpus_allowed_list:\t") + 19;
            cpus.insert(status.substr(at, status.find('\n', at) - at));
            waiting += read_file(task.path() / "wchan").find("epoll") != std::string::npos;
        }
    }
    ASSERT_GE(waiting, 2) << proc.output;
    EXPECT_TRUE(cpus.size() == 4 && cpus.count("0") == 1 && cpus.count("1") == 1)
        << testing::PrintToString(cpus);

    // Opened one by one, so that the log's order of accepts is the order of the clients.
    std::vector<int> owner, more_owner;
    std::vector<int> fds = open_sessions(proc, port, 100, 6, true, &owner);
    ASSERT_EQ(owner.size(), fds.size()) << proc.output;
    // Each new session goes to the worker owning the fewest: three each.
    for (int epfd : owner)
        EXPECT_EQ(std::count(owner.begin(), owner.end(), epfd), 3) << epfd << "\n" << proc.output;
    // End every session of one worker; the other keeps its own.
    const int emptied = owner[0];
    int ended = 0;
    for (size_t i = 0; i < fds.size(); i++)
        if (owner[i] == emptied) {
            close(std::exchange(fds[i], -1));
            ended++;
        }
    ASSERT_TRUE(proc.wait_count("destroyed\n", ended, 5s)) << proc.output;
    // The emptied worker now owns the fewest sessions until it has as many as the other.
    std::vector<int> more = open_sessions(proc, port, 200, 6 - ended, false, &more_owner);
    for (int epfd : more_owner)
        EXPECT_EQ(epfd, emptied) << proc.output;
    for (const auto* group : {&fds, &more})
        for (int fd : *group)
            close(fd);
}

} // namespace
