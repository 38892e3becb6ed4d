// Hostile clients against the real server: every kind of client one host can be, from a new
// address of one IPv6 /64 for every connection, against an honest download and upload on a
// line of their own. The per-client limits, the memory budget and the deadlines hold the
// flood, not the honest tests, and the server closes what the flood leaves open by its own
// rules.
#include "hardening_support.h"

#include <algorithm>
#include <array>
#include <arpa/inet.h>
#include <random>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace vh_test;

namespace {

// --- Many attackers from one IPv6 /64 ---------------------------------------------------

// Network namespaces of this test's own: the server's, the honest client's and the attackers',
// each client joined to the server by a veth pair of its own, the honest one shaped to a line
// rate (the attackers have their own line: they compete for the server, not for the honest
// client's line). In the attackers' namespace one /64 answers on every address (a local
// route), as a host that takes a new source address for every connection does. Removed with
// the record.
struct test_lines {
    const std::string id = std::to_string(getpid()), server_ns = "vh-srv-" + id,
                      honest_ns = "vh-hon-" + id, attack_ns = "vh-atk-" + id;
    bool ready = false;
    static bool run(const std::string& script) {
        return std::system(("{ set -e\n" + script + "\n} >/dev/null 2>&1").c_str()) == 0;
    }
    explicit test_lines(const std::string& rate) {
        ready = run("s=" + server_ns + " h=" + honest_ns + " a=" + attack_ns + " i=" + id +
                    " rate=" + rate + R"(
ip netns add $s; ip netns add $h; ip netns add $a
ip link add vhh$i netns $s type veth peer name vhh$i netns $h
ip link add vha$i netns $s type veth peer name vha$i netns $a
for n in $s $h $a; do ip -n $n link set lo up; done
ip -n $s addr add 10.29.0.1/24 dev vhh$i; ip -n $h addr add 10.29.0.2/24 dev vhh$i
ip -n $s addr add fd29:0:0:ff::1/64 dev vha$i nodad; ip -n $a addr add fd29:0:0:ff::2/64 dev vha$i nodad
for n in $s $h; do ip -n $n link set vhh$i up; done; for n in $s $a; do ip -n $n link set vha$i up; done
ip -n $s -6 route add fd29:0:0:1::/64 via fd29:0:0:ff::2; ip -n $a -6 route add local fd29:0:0:1::/64 dev lo
for n in $s $h; do ip netns exec $n tc qdisc add dev vhh$i root tbf rate $rate burst 256kb latency 50ms; done)");
    }
    ~test_lines() {
        run("for n in " + server_ns + " " + honest_ns + " " + attack_ns +
            "; do ip netns del $n || true; done");
    }
};

// A new address of the attackers' /64 for every call.
std::string attacker_address(std::mt19937_64& rng) {
    char text[64];
    const uint64_t low = rng();
    snprintf(text, sizeof(text), "fd29:0:0:1:%x:%x:%x:%x", unsigned(low >> 48) & 0xffff,
             unsigned(low >> 32) & 0xffff, unsigned(low >> 16) & 0xffff, unsigned(low) & 0xffff);
    return text;
}

// Bytes an honest session of four connections moved in `span`: a download read as fast as the
// line gives it, or an upload sent as fast as the line takes it. Zero when it was not admitted.
double honest_bytes(int port, bool upload, uint64_t session, std::chrono::milliseconds span) {
    std::vector<int> fds;
    bool admitted = true;
    const std::string slow_rules = "NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=100&WARMUP_SAMPLE_TIME="
                                   "100&WARMUP_TOLERANCE=1&RESULT_NUM_INTERVALS=10&"
                                   "RESULTS_INTERVAL_PERIOD=1";
    for (size_t i = 0; i < 4; i++) {
        fds.push_back(connect_from("10.29.0.2", "10.29.0.1", port));
        send_all(fds.back(), upload ? upload_request(session, 4, i, slow_rules)
                                    : download_request(session, 4, i));
        const std::string& expected = upload ? CONTINUE : GET_REPLY;
        admitted = admitted && recv_exact(fds.back(), expected.size(), 10s) == expected;
    }
    double bytes = 0;
    std::vector<char> buf(1 << 18);
    const auto start = steady::now();
    while (admitted && steady::now() - start < span) {
        for (int fd : fds) {
            const ssize_t n = upload ? send(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                                     : recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            bytes += static_cast<double>(std::max<ssize_t>(n, 0));
        }
        std::this_thread::sleep_for(1ms);
    }
    for (int fd : fds)
        reset_close(fd);
    return admitted ? bytes : 0;
}

// A flood of every kind of client one host can be from one /64, beside an honest download
// and upload from another address: the honest ones are admitted and keep their rate, the
// server stays within its memory budget, answers throughout, and is back to its idle
// descriptors once the flood ends.
TEST(Hostile, AFloodFromOneIpv6PrefixLeavesTheHonestTestsTheirLineAndTheServerItsBudget) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for its network namespaces";
    test_lines line("200mbit");
    if (!line.ready)
        GTEST_SKIP() << "could not make the network namespaces (ip, veth, tbf)";
    limit_open_files(0, RLIM_INFINITY); // as many as the hard limit allows
    const int own_ns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);

    // The server runs in its namespace, on one socket of both families made there: the honest
    // client's IPv4 address reaches it mapped into IPv6, beside the attackers' own IPv6 ones.
    constexpr long BUDGET_MIB = 64;
    const temp_dir logs;
    write_file(logs + "/target.log", 0);
    server_process proc;
    ASSERT_TRUE(enter_netns(line.server_ns));
    // The namespace is the test's own: any port is free there.
    const int port = 8080, listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), zero = 0;
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
    const sockaddr_in6 any{AF_INET6, htons(port), 0, in6addr_any, 0};
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof(any)), 0);
    ASSERT_EQ(listen(listener, 1024), 0);
    start(proc, {.args = {"-f", test_file(), "-t", "60", "-l", logs, "--metrics", "[::]:0",
                          "--max-memory", std::to_string(BUDGET_MIB) + "M", "--max-client-sessions",
                          "16", "--max-client-connections", "128"},
                 .inherit_fd = listener});
    close(listener);
    const int mport = logged_port(proc, "Metrics on address :: port ");
    scrape(mport); // the first scrape keeps a descriptor for counting descriptors

    // The honest rounds alone first.
    ASSERT_TRUE(enter_netns(line.honest_ns));
    const auto span = 3s;
    const double quiet_down = honest_bytes(port, false, 1000, span);
    const double quiet_up = honest_bytes(port, true, 1001, span);
    ASSERT_TRUE(quiet_down > 0 && quiet_up > 0) << quiet_down << " " << quiet_up << proc.output;
    std::this_thread::sleep_for(500ms);
    const int idle_fds = count_fds(proc.pid);

    // The attackers, each kind in a thread of its own in the clients' namespace, from a new
    // address of the /64 for every connection.
    std::atomic<long> connections{0};
    constexpr int KINDS = 7;
    std::array<std::atomic<int>, KINDS> closed_by_server{};
    std::vector<std::jthread> attackers; // stopped and joined by clear()
    for (int kind = 0; kind < KINDS; kind++) {
        attackers.emplace_back([&, kind](std::stop_token stop) {
            if (!enter_netns(line.attack_ns))
                return;
            std::mt19937_64 rng(static_cast<uint64_t>(kind) * 7919);
            std::vector<int> held;
            const auto open = [&](int to, const std::string& text, int rcvbuf = 0) {
                const int fd = connect_from(attacker_address(rng), "fd29:0:0:ff::1", to, rcvbuf);
                if (fd >= 0) {
                    connections++;
                    send_all(fd, text);
                    held.push_back(fd);
                }
            };
            uint64_t id = (static_cast<uint64_t>(kind) << 40) + 5000;
            for (int round = 0; !stop.stop_requested() && round < 100000; round++) {
                char buf[65536];
                switch (kind) {
                case 0: // trace floods: eight download connections that never read
                    if (held.size() < 240) {
                        id++;
                        for (size_t i = 0; i < 8; i++)
                            open(port, download_request(id, 8, i, "&TRACE_INTERVAL=10"), 4096);
                    }
                    break;
                case 1: // HEAD loops on kept-alive connections
                    for (int i = 0; i < 10 && held.size() < 150; i++)
                        open(port, "HEAD / HTTP/1.1\r\n\r\n");
                    for (int fd : held) {
                        recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
                        send(fd, "HEAD / HTTP/1.1\r\n\r\n", 19, MSG_DONTWAIT | MSG_NOSIGNAL);
                    }
                    break;
                case 2: // latency sessions whose control connections keep asking
                    if (held.size() < 40) {
                        id++;
                        const std::string lat = latency_target("GET", id, 10, 2);
                        open(port, http_request("GET", lat + "0", ""));
                        open(port, http_request("GET", lat + "1", ""), 4096);
                    }
                    for (size_t i = 0; i < held.size(); i += 2) {
                        recv(held[i], buf, sizeof(buf), MSG_DONTWAIT);
                        send(held[i], "GET /results HTTP/1.1\r\n\r\n", 25,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
                    }
                    break;
                case 3: // sessions refused, their connections held open
                    if (held.size() < 100)
                        open(port, download_request(++id));
                    break;
                case 4: // PUT trickles: a byte now and then
                    if (held.size() < 40)
                        open(port, http_request("PUT", "/target.log", ""));
                    for (int fd : held)
                        send(fd, "p", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
                    break;
                case 5: // silent scrapers
                    if (held.size() < 60)
                        open(mport, "");
                    break;
                case 6: // connections that never send a whole header
                    if (held.size() < 60)
                        open(port, round % 2 == 0 ? "" : "GET /trickle HTTP/1.1\r\n");
                    break;
                }
                // Whatever the server closed is given up and replaced.
                std::erase_if(held, [&](int fd) {
                    if (!peer_closed(fd))
                        return false;
                    closed_by_server[static_cast<size_t>(kind)]++;
                    close(fd);
                    return true;
                });
                std::this_thread::sleep_for(kind == 4 ? 1s : 100ms);
            }
            for (int fd : held)
                close(fd);
        });
    }
    // The server's output is read all along (a full pipe would stall its log lines), and its
    // resident memory sampled.
    long rss_peak = 0;
    std::jthread reader([&](std::stop_token stop) {
        for (; !stop.stop_requested(); proc.poll_output(100ms))
            rss_peak = std::max(rss_peak, rss_kib(proc.pid));
    });
    std::this_thread::sleep_for(3s);

    // Beside them: the honest ones are admitted and get their line; the server's memory
    // stays within its budget.
    const double busy_down = honest_bytes(port, false, 2000, span);
    const double busy_up = honest_bytes(port, true, 2001, span);
    std::this_thread::sleep_for(3s);
    attackers.clear();
    reader.request_stop();
    reader.join();
    EXPECT_GE(busy_down, 0.9 * quiet_down) << connections.load() << " attacking connections";
    EXPECT_GE(busy_up, 0.9 * quiet_up);
    // The sanitizers' own memory (shadow, quarantine) comes on top of the budget.
    long allowance_kib = (BUDGET_MIB + 48) * 1024;
#if defined(__SANITIZE_ADDRESS__)
    allowance_kib += 512 * 1024;
#endif
    EXPECT_LE(rss_peak, allowance_kib);

    // What the flood held open the server closed by its own rules: the close after a refusal,
    // a PUT below its minimum rate, a scrape's deadline, the header deadline.
    for (int kind : {3, 4, 5, 6})
        EXPECT_GT(closed_by_server[static_cast<size_t>(kind)].load(), 0) << "kind " << kind;

    // The server answers still, and lets go of everything once the flood is over.
    const std::string head = "HEAD / HTTP/1.1\r\n\r\n";
    EXPECT_EQ(client(port, head, "10.29.0.2", "10.29.0.1").recv(HEAD_REPLY.size()), HEAD_REPLY);

    // The limits did the holding: sessions beyond the prefix's share of the budget and
    // connections beyond its cap were refused, and what is reserved stays within the budget.
    ASSERT_TRUE(enter_netns(line.server_ns));
    auto page = scrape(mport);
    EXPECT_GT(page["varnholt_sessions_refused_total{reason=\"client_memory\"}"] +
                  page["varnholt_sessions_refused_total{reason=\"memory\"}"],
              0);
    EXPECT_GT(page["varnholt_connections_refused_total{reason=\"client_connections\"}"], 0);
    EXPECT_LE(page["varnholt_memory_reserved_bytes"], BUDGET_MIB << 20);
    ASSERT_EQ(setns(own_ns, CLONE_NEWNET), 0);
    close(own_ns);
    EXPECT_EQ(settle_fds(proc, idle_fds, 30s), idle_fds) << describe_fds(proc.pid);
}

} // namespace
