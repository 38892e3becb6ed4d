// Descriptor exhaustion with sessions on the real server: a flood of connections under
// a low descriptor limit pauses accepting without spinning, accepting resumes when
// sessions end, and every connection that waited is served or refused, none left hanging.
#include "hardening_support.h"

#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

const std::string BARE_GET = "GET / HTTP/1.1\r\n\r\n";
const std::string BARE_REPLY = "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\n\r\n";
using vh_test::GET_REPLY;
const std::string FULL = "Too many open files";

// One client of a flood and what became of it.
struct flood_client {
    int fd = -1;
    std::string received;
    bool closed = false;
};

// Reads from every client until each was closed by the server or `limit` passes.
// Download clients (`want` > 0) close their side themselves once they have `want`
// bytes, as a client that finished its test does.
void drain(std::vector<flood_client>& clients, size_t want, std::chrono::seconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        std::vector<pollfd> fds;
        std::vector<flood_client*> owners;
        for (auto& c : clients)
            if (!c.closed) {
                fds.push_back({c.fd, POLLIN, 0});
                owners.push_back(&c);
            }
        if (fds.empty())
            return;
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].revents == 0)
                continue;
            flood_client& c = *owners[i];
            char buf[65536];
            ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0 && want == 0)
                c.received.append(buf, static_cast<size_t>(n));
            else if (n > 0 && c.received.size() < want)
                c.received.append(buf, std::min(static_cast<size_t>(n), want - c.received.size()));
            if (n == 0 || (n < 0 && errno != EAGAIN))
                c.closed = true;
            if (want > 0 && c.received.size() >= want && !c.closed) {
                close(c.fd);
                c.fd = -1;
                c.closed = true;
            }
        }
    }
}

struct Exhaustion : ::testing::Test {
    server_process proc;
    int port = -1;
    int idle_fds = -1;
    void start(long nofile) {
        start_options opts;
        opts.args = {"-d", "3"};
        opts.nofile = nofile;
        port = vh_test::start_activated(proc, opts);
        ASSERT_GT(port, 0);
        idle_fds = vh_test::idle_descriptors(proc.pid, port);
        ASSERT_GT(idle_fds, 0);
    }
    // CPU ticks the server uses over one second.
    long ticks_over_one_second() {
        long before = vh_test::cpu_ticks(proc.pid);
        std::this_thread::sleep_for(1s);
        return vh_test::cpu_ticks(proc.pid) - before;
    }
    // The descriptor count settles back to the idle one once every client is gone.
    void expect_idle_descriptors() {
        auto until = std::chrono::steady_clock::now() + 10s;
        int fds = vh_test::count_fds(proc.pid);
        while (fds != idle_fds && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(100ms);
            fds = vh_test::count_fds(proc.pid);
        }
        EXPECT_EQ(fds, idle_fds);
    }
    // Bare sessions in small bursts until every worker has accepted at least one.
    void expect_every_worker_accepts(const char* when) {
        proc.poll_output(0ms);
        size_t mark = proc.output.size();
        const size_t workers = vh_test::worker_count();
        for (int i = 0; i < 40 && vh_test::accepting_workers(proc.output, mark).size() < workers;
             i++) {
            std::vector<flood_client> burst = flood(4, BARE_GET);
            drain(burst, 0, 5s);
            for (auto& c : burst) {
                EXPECT_EQ(c.received, BARE_REPLY);
                close(c.fd);
            }
            proc.poll_output(50ms);
        }
        EXPECT_EQ(vh_test::accepting_workers(proc.output, mark).size(), workers) << when;
    }
    std::vector<flood_client> flood(int n, const std::string& request) {
        std::vector<flood_client> clients(static_cast<size_t>(n));
        for (auto& c : clients) {
            c.fd = vh_test::connect_loopback(port);
            EXPECT_GE(c.fd, 0);
            EXPECT_TRUE(vh_test::send_all(c.fd, request));
        }
        return clients;
    }
};

// Bare GET sessions queue behind a download session that holds the table: while the
// table is full the workers pause without spinning; once the download ends every
// waiting session gets its reply (or, if the last descriptor went to its socket, a
// close without one), and both workers accept again afterwards.
TEST_F(Exhaustion, BareSessionsWaitingBehindADownloadAreAllServed) {
    start(-1);
    if (vh_test::worker_count() < 2)
        GTEST_SKIP() << "needs two worker threads";
    expect_every_worker_accepts("before the table fills");
    std::string holder_query = "/dl?CONTROL=1&UNITID=3&SESSIONID=9&NUM_CONNECTIONS=8&CONNECTION=";
    std::vector<int> holders;
    for (int i = 0; i < 8; i++) {
        int fd = vh_test::connect_loopback(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(
            vh_test::send_all(fd, "GET " + holder_query + std::to_string(i) + " HTTP/1.1\r\n\r\n"));
        ASSERT_EQ(vh_test::recv_exact(fd, GET_REPLY.size(), 5s), GET_REPLY);
        holders.push_back(fd);
    }

    // Now the table is full: not one more descriptor for the server.
    int used = vh_test::count_fds(proc.pid);
    rlimit lim{static_cast<rlim_t>(used), static_cast<rlim_t>(used)};
    ASSERT_EQ(prlimit(proc.pid, RLIMIT_NOFILE, &lim, nullptr), 0);

    constexpr int waiting = 60;
    std::vector<flood_client> clients = flood(waiting, BARE_GET);
    ASSERT_TRUE(proc.wait_for(FULL, 10s)) << proc.output;
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(ticks_over_one_second(), 5) << "ticks of CPU used while paused";
    drain(clients, 0, 1s);
    int early = 0;
    for (auto& c : clients)
        early += c.closed;
    EXPECT_LT(early, waiting) << "nothing waited: the table never filled";

    for (int fd : holders)
        close(fd);
    drain(clients, 0, 30s);
    int served = 0, refused = 0, hanging = 0;
    for (auto& c : clients) {
        if (!c.closed)
            hanging++;
        else if (c.received == BARE_REPLY)
            served++;
        else if (c.received.empty())
            refused++;
        else
            ADD_FAILURE() << "unexpected reply: " << c.received;
        close(c.fd);
    }
    EXPECT_EQ(hanging, 0);
    EXPECT_EQ(served + refused, waiting);
    EXPECT_GT(served, 0) << "refused " << refused;
    expect_idle_descriptors();

    // Both workers take connections again, even one that paused while it owned none.
    expect_every_worker_accepts("after the table was full");
}

// A flood of download sessions larger than the table: the first ones stream, the
// rest wait; as each finished client leaves, the waiting ones start, until every
// client got its data or a close.
TEST_F(Exhaustion, DownloadFloodLargerThanTheTableIsWorkedOff) {
    start(40);
    constexpr int downloads = 50;
    std::vector<flood_client> clients = flood(downloads, "GET /download HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(proc.wait_for(FULL, 10s)) << proc.output;
    const size_t want = GET_REPLY.size() + 100000;
    drain(clients, want, 60s);
    int served = 0, refused = 0, hanging = 0;
    for (auto& c : clients) {
        if (!c.closed)
            hanging++;
        else if (c.received.size() == want &&
                 c.received.compare(0, GET_REPLY.size(), GET_REPLY) == 0)
            served++;
        else if (c.received.empty())
            refused++;
        else
            ADD_FAILURE() << "cut short after " << c.received.size() << " bytes";
        if (c.fd >= 0)
            close(c.fd);
    }
    EXPECT_EQ(hanging, 0);
    EXPECT_EQ(served + refused, downloads);
    // A session needs descriptors of its own (timers) beyond the connection's: those that
    // find the table full after their accept are refused.
    EXPECT_GT(served, 0) << "refused " << refused;
    expect_idle_descriptors();
    EXPECT_LE(ticks_over_one_second(), 5) << "ticks of CPU used once idle";
}

} // namespace
