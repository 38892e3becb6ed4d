// Operating the real server: session limits and their 503 replies, the metrics endpoint and
// the drain on SIGTERM.
#include "hardening_support.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sys/un.h>
#include <thread>

using namespace vh_test;

namespace {

std::string refusal(const std::string& body) {
    return "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 10\r\nContent-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
const std::string SERVER_FULL = refusal("Too many test sessions are running: retry later.\n");
const std::string CLIENT_FULL =
    refusal("Too many test sessions are running from your address: retry later.\n");

// What /ready on the metrics port says: its status line and its page.
std::string readiness(int mport) {
    return std::regex_replace(client(mport, "GET /ready HTTP/1.1\r\nHost: x\r\n\r\n").rest(),
                              std::regex("\r\n[\\s\\S]*\r\n\r\n"), " ");
}

// --- Admission -------------------------------------------------------------------------

// A second session from the same address, an upload (refused before its interim reply, so its
// client never starts sending), gets a complete 503, then the server's close (a download, and
// a join that is never refused: the metrics test); another address has its own allowance, but
// the server's limit counts every address. Refusals in bulk (read, closed at once, reset) release
// their descriptors and leave the running sessions undisturbed; once a session is over, its address
// may start the next one. /ready tells a load balancer when the server is full, and when it has
// room again.
TEST(Admission, EachLimitRefusesNewSessionsWithItsWhole503ButNeverAJoin) {
    server_process proc;
    int port = start_activated(proc, options({"--max-sessions", "2", "--max-client-sessions", "1",
                                              "--metrics", "127.0.0.1:0"}));
    ASSERT_GT(port, 0);
    const int mport = metrics_port(proc);
    client first(port, download_request(10));
    ASSERT_EQ(first.recv(GET_REPLY.size()), GET_REPLY);
    EXPECT_EQ(client(port, upload_request(12)).rest(), CLIENT_FULL);
    client other(port, download_request(13), "127.0.0.2");
    EXPECT_EQ(other.recv(GET_REPLY.size()), GET_REPLY);
    EXPECT_EQ(client(port, download_request(14), "127.0.0.3").rest(), SERVER_FULL);
    EXPECT_EQ(readiness(mport),
              "HTTP/1.1 503 Service Unavailable not ready: the session limit is reached\n");
    const int idle = idle_descriptors(proc.pid, port);
    for (uint64_t i = 0; i < 150; i++) {
        client c(port, download_request(100 + i), "127.0.0.4");
        if (i % 3 == 0)
            EXPECT_EQ(c.rest(), SERVER_FULL);
        else if (i % 3 == 1)
            reset_close(std::exchange(c.fd, -1));
    }
    // A refused client that keeps its end open is closed a few seconds after its reply; then
    // all of those refusals have given their descriptors back.
    client holding(port, download_request(99), "127.0.0.5");
    EXPECT_EQ(holding.rest(), SERVER_FULL);
    EXPECT_EQ(settle_fds(proc, idle), idle) << describe_fds(proc.pid);
    EXPECT_EQ(other.recv(1000).size(), 1000u) << "the running session was disturbed";
    ASSERT_TRUE(first.end());
    EXPECT_TRUE(eventually([&] { return readiness(mport) == "HTTP/1.1 200 OK ready\n"; }));
    uint64_t next = 20; // the end of the last one is seen a moment after its connections close
    EXPECT_TRUE(eventually([&] {
        return client(port, download_request(next++)).recv(GET_REPLY.size()) == GET_REPLY;
    })) << proc.output;
}

// With a budget of 1 MiB, a download of two connections tracing every 200 ms reserves
// 2 x 1501 trace lines of 96 bytes twice over (the text may double as it grows), about 580 KB;
// a second such session does not fit and gets the server's 503 (and its line), while the first
// one's second connection still joins. Once the first has ended, its reservation is back and
// the second is admitted. A client's sessions hold at most half of the budget together (its
// first one excepted). The page shows the budget, what is reserved and the refusals.
TEST(Admission, ASessionWhoseWorstCaseDoesNotFitTheMemoryBudgetWaitsForOneToEnd) {
    server_process proc;
    int port = start_activated(proc, options({"--max-memory", "1M", "--metrics", "127.0.0.1:0"}));
    const int mport = metrics_port(proc);
    const std::string tracing = "&TRACE_INTERVAL=200";
    client first(port, download_request(60, 2, 0, tracing));
    ASSERT_EQ(first.recv(GET_REPLY.size()), GET_REPLY);
    EXPECT_EQ(client(port, download_request(61, 2, 0, tracing), "127.0.0.2").rest(), SERVER_FULL);
    EXPECT_TRUE(proc.wait_for("Session 17179869245 from 127.0.0.2 refused: the memory budget of "
                              "1048576 bytes is reached",
                              5s))
        << proc.output;
    client joining(port, download_request(60, 2, 1, tracing));
    EXPECT_EQ(joining.recv(GET_REPLY.size()), GET_REPLY);
    // Its client holds more than its half of the budget: even a small session of it waits, one
    // of another client fits beside.
    EXPECT_EQ(client(port, download_request(62)).rest(), CLIENT_FULL);
    client small(port, download_request(63), "127.0.0.3");
    EXPECT_EQ(small.recv(GET_REPLY.size()), GET_REPLY);
    std::map<std::string, double> page = scrape(mport);
    EXPECT_EQ(page["varnholt_sessions_refused_total{reason=\"client_memory\"}"], 1);
    EXPECT_EQ(page["varnholt_memory_budget_bytes"], 1048576);
    EXPECT_GT(page["varnholt_memory_reserved_bytes"], 2 * 1501 * 96 * 2);
    EXPECT_EQ(page["varnholt_sessions_refused_total{reason=\"memory\"}"], 1);
    ASSERT_TRUE(first.end() && joining.end() && small.end());
    EXPECT_TRUE(eventually([&] { return scrape(mport)["varnholt_memory_reserved_bytes"] == 0; }));
    EXPECT_EQ(client(port, download_request(61, 2, 0, tracing), "127.0.0.2").recv(GET_REPLY.size()),
              GET_REPLY);
}

// New sessions are placed on the worker with fewer sessions and created there: the limit must
// hold across that hand-over too, whichever worker publishes first.
TEST(Admission, ABurstOfNewSessionsOverBothWorkersAdmitsExactlyTheLimit) {
    for (int round = 0; round < 5; round++) {
        server_process proc;
        int port = start_activated(proc, options({"--max-sessions", "3"}));
        std::deque<client> clients;
        for (uint64_t i = 0; i < 40; i++)
            clients.emplace_back(port, download_request(1000 + i),
                                 "127.0.1." + std::to_string(i + 1));
        int admitted = 0;
        for (auto& c : clients) {
            std::string head = c.recv(GET_REPLY.size());
            admitted += head == GET_REPLY;
            EXPECT_TRUE(head == GET_REPLY || head + c.rest() == SERVER_FULL) << head;
        }
        EXPECT_EQ(admitted, 3) << proc.output;
    }
}

// --- Metrics ---------------------------------------------------------------------------

TEST(Metrics, SessionsRefusalsBytesWorkersDescriptorsAndEveryConnectionOfAClientAreCounted) {
    server_process proc;
    int port = start_activated(
        proc, options({"-d", "3", "--metrics", "127.0.0.1:0", "--max-client-sessions", "1",
                       "--max-client-connections", "3", "--max-client-pending", "1"}));
    const int mport = metrics_port(proc);

    // Two sessions of two connections, from two addresses, running at once (a client's session
    // takes its second connection at its session limit): on two workers each owns one and
    // watches two connections, its own first one and the other's second, whichever worker owns
    // which; on one, that one has them all.
    std::deque<client> spread;
    for (size_t i = 0; i < 4; i++) {
        spread.emplace_back(port, download_request(40 + i / 2, 2, i % 2),
                            "127.0.0." + std::to_string(1 + i / 2));
        ASSERT_EQ(spread.back().recv(GET_REPLY.size()), GET_REPLY) << i;
    }
    ASSERT_EQ(spread[0].recv(200000).size(), 200000u);
    std::map<std::string, double> page;
    std::string shown; // each worker's connections, then each worker's sessions
    EXPECT_TRUE(eventually([&] {
        shown.clear();
        for (const auto& [name, value] : page = scrape(mport))
            if (name.starts_with("varnholt_worker_connections{") ||
                name.starts_with("varnholt_worker_sessions{"))
                shown += std::to_string(static_cast<int>(value));
        return worker_count() > 2 || shown == (worker_count() == 1 ? "42" : "2211");
    })) << shown;
    EXPECT_EQ(page["varnholt_sessions_running{kind=\"download\"}"], 2);
    EXPECT_EQ(page["varnholt_sessions_started_total{kind=\"download\",transport=\"tcp\"}"], 2);
    EXPECT_EQ(client(port, download_request(42)).rest(), CLIENT_FULL);
    for (client& c : spread)
        ASSERT_TRUE(c.end());
    const std::string ended =
        "varnholt_sessions_ended_total{kind=\"download\",outcome=\"completed\",transport=\"tcp\"}";
    EXPECT_TRUE(eventually([&] { return (page = scrape(mport))[ended] == 2; }));
    EXPECT_EQ(page["varnholt_sessions_running{kind=\"download\"}"], 0);
    EXPECT_EQ(page["varnholt_sessions_refused_total{reason=\"client_limit\"}"], 1);
    EXPECT_GE(page["varnholt_test_bytes_total{direction=\"sent\"}"], 200000);
    EXPECT_EQ(page["varnholt_test_bytes_total{direction=\"received\"}"], 0);
    EXPECT_GE(page["varnholt_connections_accepted_total"], 5);
    // Every worker shows up once it runs (one per CPU the server may use), with its CPU time
    // (and with its gauges: above).
    const std::string cpu = "varnholt_worker_cpu_seconds_total{";
    EXPECT_EQ(std::ranges::count_if(page, [&](const auto& s) { return s.first.starts_with(cpu); }),
              static_cast<long>(worker_count()));

    // Only scrapes are served.
    EXPECT_TRUE(client(mport, "GET / HTTP/1.1\r\n\r\n").rest().starts_with("HTTP/1.1 404"));
    // Connections that never finish their requests hold nobody up and cost no CPU: more of
    // them than the endpoint serves at once, from many addresses,
    // leave its thread asleep (it once spun until they timed out), and a scrape still gets its
    // page: it takes the place of the oldest silent one.
    std::deque<client> silent;
    for (int i = 0; i < 24; i++)
        silent.emplace_back(mport, "GET /metr", "127.0.3." + std::to_string(1 + i % 20));
    EXPECT_LE(cpu_ticks_in_a_second(proc.pid), 10) << "the metrics thread spins";
    EXPECT_FALSE(scrape(mport).empty());
    silent.clear();
    // With the descriptor table full, a scrape is still answered, and counts it full; the server
    // is not ready then.
    std::this_thread::sleep_for(300ms); // the silent ones are gone
    const int used = count_fds(proc.pid);
    const rlim_t old = limit_open_files(proc.pid, static_cast<rlim_t>(used));
    ASSERT_GT(old, 0u);
    page = scrape(mport);
    EXPECT_GE(page["varnholt_open_fds"], used - 1);
    EXPECT_LE(page["varnholt_open_fds"], used);
    EXPECT_EQ(page["varnholt_max_fds"], used);
    EXPECT_EQ(readiness(mport),
              "HTTP/1.1 503 Service Unavailable not ready: descriptors are used up\n");
    ASSERT_EQ(limit_open_files(proc.pid, old), static_cast<rlim_t>(used));
    EXPECT_EQ(readiness(mport), "HTTP/1.1 200 OK ready\n");

    // Then one client's connections count against --max-client-connections whatever they do (a
    // HEAD connection between requests, a running download, a header on its way), and those
    // without a whole header against --max-client-pending too; a connection beyond a cap is
    // closed at the accept without a byte, counted by reason, and the next is taken once one
    // has closed. Another address is another client, and nothing is left counted once all are
    // gone. Each connection is seen received before the next is opened.
    proc.poll_output(100ms);
    const int seen = count_occurrences(proc.output, "received by");
    const std::string head = "HEAD / HTTP/1.1\r\n\r\n";
    const std::string refused = "varnholt_connections_refused_total{reason=\"client_";

    auto kept = std::make_unique<client>(port, head, "127.0.0.5");
    ASSERT_EQ(kept->recv(HEAD_REPLY.size()), HEAD_REPLY);
    // One header on its way is all the client may have pending.
    auto dl = std::make_unique<client>(port, "GET /x HTTP/1.1\r\n", "127.0.0.5");
    ASSERT_TRUE(proc.wait_count("received by", seen + 2, 5s)) << proc.output;
    EXPECT_TRUE(client(port, head, "127.0.0.5").refused());
    ASSERT_TRUE(send_all(dl->fd, "\r\n")); // whole now: a running download
    ASSERT_EQ(dl->recv(GET_REPLY.size() + 100000).size(), GET_REPLY.size() + 100000);
    auto partial = std::make_unique<client>(port, "GET /y HTTP/1.1\r\n", "127.0.0.5");
    ASSERT_TRUE(proc.wait_count("received by", seen + 3, 5s)) << proc.output;
    // Three connections: none more, in whatever state it would be.
    EXPECT_TRUE(client(port, head, "127.0.0.5").refused());
    EXPECT_TRUE(client(port, download_request(61), "127.0.0.5").refused());
    EXPECT_EQ(client(port, head, "127.0.0.6").recv(HEAD_REPLY.size()), HEAD_REPLY);
    page = scrape(mport);
    EXPECT_EQ(page[refused + "connections\"}"], 2);
    EXPECT_EQ(page[refused + "pending\"}"], 1);
    // The other client is counted until the server has seen its close.
    EXPECT_TRUE(eventually([&] { return scrape(mport)["varnholt_clients_connected"] == 1; }));
    EXPECT_EQ(dl->recv(1000).size(), 1000u) << "the running download was disturbed";

    // One closes: the next is taken (once the server has seen the close).
    partial.reset();
    EXPECT_TRUE(eventually(
        [&] { return client(port, head, "127.0.0.5").recv(HEAD_REPLY.size()) == HEAD_REPLY; }));

    ASSERT_TRUE(dl->end());
    kept.reset();
    EXPECT_TRUE(eventually([&] { return scrape(mport)["varnholt_clients_connected"] == 0; }));
    EXPECT_FALSE(proc.output.find("<3>") != std::string::npos) << proc.output;
    EXPECT_TRUE(proc.wait_for("refused: its client holds 3 connections", 5s));
}

// --- The drain ---------------------------------------------------------------------------

// On its own port (-s 0: not inherited), the server stops accepting at SIGTERM: the kernel
// refuses new connections; the running session finishes as always, its log is written, and
// the process ends with status 0. The service manager, a datagram socket here read once the
// process ended, is told in order.
TEST(Drain, RunningSessionsFinishWhileNewConnectionsAreRefusedAndTheManagerIsTold) {
    const temp_dir logs;
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    strncpy(addr.sun_path, (logs + "/notify").c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    server_process proc;
    start(proc, options({"-f", test_file(), "-s", "0", "-d", "2", "-l", logs},
                        {{"NOTIFY_SOCKET", addr.sun_path}}));
    const int port = logged_port(proc, "listening on address 0.0.0.0 port ");
    client dl(port, download_request(60, 1, 0, "&STORE_LOG=1"));
    ASSERT_EQ(dl.recv(GET_REPLY.size()), GET_REPLY);

    kill(proc.pid, SIGTERM);
    ASSERT_TRUE(proc.wait_for("Stopping: accepting ended", 5s)) << proc.output;
    EXPECT_LT(connect_loopback(port), 0) << "connections are still accepted after SIGTERM";
    EXPECT_EQ(dl.recv(500000).size(), 500000u);
    EXPECT_EQ(proc.wait_exit(300ms), -1) << "exited with a session running";
    ASSERT_TRUE(dl.end());
    EXPECT_EQ(proc.wait_exit(10s), 0) << proc.output;
    EXPECT_EQ(proc.output.find("<3>"), std::string::npos) << proc.output;
    char buf[4096];
    std::string told; // the messages, each ended by '|'
    for (ssize_t n; (n = recv(manager, buf, sizeof(buf), MSG_DONTWAIT)) > 0; told += '|')
        told.append(buf, static_cast<size_t>(n));
    // Ready first (the session may already be counted: it was not waited for), stopping with
    // the drain's time asked for, stopped last.
    EXPECT_TRUE(told.starts_with("READY=1\nSTATUS=Serving, ") &&
                told.ends_with("|STATUS=Stopped|") &&
                told.find("|STOPPING=1\nEXTEND_TIMEOUT_USEC=40000000\n") != std::string::npos)
        << told;
    close(manager);
    unlink(addr.sun_path);
    ASSERT_EQ(std::distance(std::filesystem::directory_iterator(logs), {}), 1); // the log alone
    EXPECT_TRUE(read_file(std::filesystem::directory_iterator(logs)->path())
                    .starts_with("VH_HTTP_SERVER: 1.0\nTEST: GET\nCONNECTION: 0\n"));
}

// A session that never ends is cut short after the drain's time-out, on an inherited socket:
// Archive.EveryFinishedSessionLeavesOneValidRecord drains that way.

} // namespace
