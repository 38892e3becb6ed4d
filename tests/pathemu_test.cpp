// The path emulator between two namespaces of its own: the round trip it adds, the rate it
// delivers by its own counts and by the client's, the client's idle round trip and steady
// state over its line, and that it leaves nothing behind, also after a run that was killed.
#include "goodput.h"
#include "line.h"
#include "hardening_support.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>
#include <thread>

using namespace vh_test;

namespace {

// An IPv4 TCP segment of `size` payload bytes at `seq` on the flow from port `port`.
std::vector<uint8_t> segment(uint32_t seq, uint16_t size, uint16_t port = 40000, bool syn = false) {
    std::vector<uint8_t> p(40 + size, 0);
    p[0] = 0x45, p[9] = 6, p[32] = 0x50, p[33] = syn ? 0x02 : 0x10;
    p[20] = uint8_t(port >> 8), p[21] = uint8_t(port);
    for (int i = 0; i < 4; i++)
        p[24 + i] = uint8_t(seq >> (24 - 8 * i));
    return p;
}

// Goodput counts each payload byte once, when it becomes readable in order, across holes,
// duplicates and the wrap of the sequence numbers, per flow; what is not a TCP segment, none.
// A lossy line drops its share of packets, and its jitter varies the delay within its bounds.
TEST(PathEmulator, GoodputCountsEveryByteOnceAndALineLosesAndVariesAsSet) {
    pathemu::goodput_state g;
    auto add = [&](uint32_t seq, uint16_t size, uint16_t port = 40000, bool syn = false) {
        const std::vector<uint8_t> p = segment(seq, size, port, syn);
        pathemu::tcp_segment s;
        EXPECT_TRUE(pathemu::parse_tcp(p.data(), p.size(), &s));
        return pathemu::goodput_add(g, s);
    };
    const uint32_t isn = 0xfffff000; // data wraps past 2^32 after 4 KiB
    EXPECT_EQ(add(isn, 0, 40000, true), 0u);
    EXPECT_EQ(add(isn + 1, 1000), 1000u);
    EXPECT_EQ(add(isn + 1002, 1999), 0u);    // beyond a hole of one byte
    EXPECT_EQ(add(isn + 1, 1000), 0u);       // a spurious retransmission
    EXPECT_EQ(add(isn + 501, 2000), 2000u);  // fills the hole, overlapping both sides
    EXPECT_EQ(add(isn + 3001, 3000), 3000u); // across the wrap
    EXPECT_EQ(add(isn + 6001, 100), 100u);
    EXPECT_EQ(add(7, 500, 40001, true), 500u); // another flow, data on its SYN
    EXPECT_EQ(add(8, 500, 40001), 0u);
    // Packets that are not whole IPv4 TCP segments count nothing: another protocol, an IP or
    // TCP header shorter than its minimum, options that run past the packet's end.
    const std::vector<std::pair<size_t, uint8_t>> broken = {
        {9, 17}, {0, 0x44}, {0, 0x4f}, {32, 0x40}, {32, 0xf0}};
    for (const auto& [at, value] : broken) {
        std::vector<uint8_t> p = segment(isn + 6101, 20);
        p[at] = value;
        pathemu::tcp_segment s;
        EXPECT_FALSE(pathemu::parse_tcp(p.data(), p.size(), &s)) << at << " = " << int(value);
    }
    pathemu::line_config cfg;
    ASSERT_EQ(pathemu::parse_line("1gbit,1s,10ms,25%,5ms", &cfg), pathemu::parse_result::ok);
    pathemu::line_state line;
    pathemu::line_init(line, cfg, 1);
    int lost = 0;
    int64_t least = INT64_MAX, most = 0; // of the delays after the 1 us a packet takes
    for (int64_t now = 0; now < 4000 * 20000000LL; now += 20000000) { // each gone at the next
        ASSERT_NE(pathemu::line_reserve(line), nullptr);
        if (pathemu::line_admit(line, 125, now) != pathemu::admit_result::queued) {
            lost++;
            continue;
        }
        const int64_t delay = pathemu::line_next_due(line) - now - 1000;
        least = std::min(least, delay);
        most = std::max(most, delay);
        pathemu::line_pop(line);
    }
    EXPECT_NEAR(lost, 1000, 100);
    EXPECT_TRUE(least >= 5000000 && least < 5100000 && most <= 15000000 && most > 14900000)
        << least << " " << most;
}

// The client's JSON report of a test run in namespace `ns` against the server at 10.77.0.2.
boost::json::object client_report(const std::string& ns, const std::string& args) {
    const std::string output = run_command(
        "/usr/sbin/ip netns exec " + ns + " " VH_CLIENT_PATH " " + args + " --json 10.77.0.2:8080");
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(output, ec);
    EXPECT_TRUE(!ec && v.is_object()) << output;
    return !ec && v.is_object() ? v.as_object() : boost::json::object{};
}

// A number of the report, or -1 (a missing figure fails its check, not the whole test, which
// then still ends the emulator and removes its namespaces).
double number(const boost::json::value& v) {
    return v.is_double() ? v.get_double() : v.is_int64() ? double(v.get_int64()) : -1;
}

// A line of 20 Mbit/s with 20 ms each way and a 100 ms queue, the server on B's side, the
// client on A's: a connect takes one round trip; a download gets the line's rate by the
// emulator's counts and by the client's, whose steady state leaves TCP's slow start out; the
// client's idle round trip is measured before the load fills the queue (it once read the
// queue, and the added delay came out negative). A run killed outright leaves its namespaces,
// which the next start removes; an ended run leaves nothing.
TEST(PathEmulator, DelaysAndShapesTheLineForTheClientsTestsAndCleansUp) {
    // A bad command line (a value missing, an unknown option, a bad line, no lines): status 2.
    for (const std::string bad : {" --up", " --bogus x", " --up 1x,1ms,0", " --ns-a a --ns-b b"}) {
        int status = 0;
        run_command(VH_PATHEMU_PATH + bad, &status);
        EXPECT_EQ(status, 2) << bad;
    }
    if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0)
        GTEST_SKIP() << "the path emulator needs root and /dev/net/tun";
    const std::string id = std::to_string(getpid()), ns_a = "vh-pea-" + id, ns_b = "vh-peb-" + id;
    const temp_dir dir;
    const std::string stats = dir + "/stats";
    const start_options opts{.args = {"--ns-a", ns_a, "--ns-b", ns_b, "--up", "20mbit,100ms,20ms",
                                      "--down", "20mbit,100ms,20ms", "--stats", stats},
                             .program = VH_PATHEMU_PATH};
    {
        server_process killed; // outright, with SIGKILL, as the block ends
        start(killed, opts);
        ASSERT_TRUE(killed.wait_for("ready", 5s)) << killed.output;
    }
    server_process emu, server;
    start(emu, opts);
    ASSERT_TRUE(emu.wait_for("ready", 5s)) << emu.output;
    EXPECT_NE(emu.output.find("removed 2 namespaces"), std::string::npos) << emu.output;
    start(server, {.args = {"netns", "exec", ns_b, VH_HTTPD_PATH, "-f", test_file(), "-s", "8080",
                            "-d", "2"},
                   .program = "/usr/sbin/ip"});
    ASSERT_TRUE(server.wait_for("listening on address", 5s)) << server.output;

    std::vector<double> rtts;
    std::thread([&] {
        ASSERT_TRUE(enter_netns(ns_a));
        for (int i = 0; i < 5; i++) {
            const auto t0 = steady::now();
            close(connect_from("", "10.77.0.2", 8080)); // B's side, from A's
            rtts.push_back(std::chrono::duration<double, std::milli>(steady::now() - t0).count());
        }
    }).join();
    std::sort(rtts.begin(), rtts.end());
    ASSERT_EQ(rtts.size(), 5u);
    EXPECT_NEAR(rtts[2], 40.0, 2.0);

    const boost::json::object download = client_report(ns_a, "download --duration 6");
    ASSERT_TRUE(download.contains("steady_state")) << download;
    const double steady_bps = number(download.at("steady_state").at("bits_per_second"));
    EXPECT_GE(steady_bps, number(download.at("bits_per_second"))) << download;
    // The payload of 1500-byte packets with 52 bytes of IPv4 and TCP headers.
    EXPECT_GE(steady_bps, 20e6 * 0.95 * 1448 / 1500) << download;
    EXPECT_LE(steady_bps, 20e6 * 1.01) << download;
    std::this_thread::sleep_for(2100ms); // its last second and an idle one are counted
    const std::string counts = read_file(stats);

    const boost::json::object latency = client_report(ns_a, "latency --duration 3");
    ASSERT_TRUE(latency.contains("responsiveness")) << latency;
    const boost::json::value& r = latency.at("responsiveness");
    // The line's 40 ms, and a little for the emulator's timing and the server's reply.
    EXPECT_NEAR(number(r.at("idle_rtt_us")), 41500, 2500) << latency;
    EXPECT_GT(number(r.at("added_delay_median_us")), 0) << latency;

    kill(server.pid, SIGTERM);
    server.wait_exit(5s);
    ASSERT_EQ(kill(emu.pid, SIGTERM), 0);
    EXPECT_EQ(emu.wait_exit(5s), 0) << emu.output;
    // The emulator's own counts of the seconds it carried the download at full speed. Its
    // TCP payload is nearly all the line carried, and each second is stamped on the system
    // clock one second after the one before.
    std::vector<double> busy;
    std::istringstream lines(counts);
    long long previous_stamp = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("dir=down") == std::string::npos)
            continue;
        const double bytes = std::stod(line.substr(line.find("bytes=") + 6));
        const double payload = std::stod(line.substr(line.find("payload=") + 8));
        const long long stamp = std::stoll(line.substr(line.find("unix_us=") + 8));
        if (bytes * 8 / 20e6 > 0.5)
            busy.push_back(bytes * 8 / 20e6);
        EXPECT_TRUE(payload <= bytes && (bytes < 1e6 || payload > 0.96 * bytes)) << line;
        EXPECT_TRUE(previous_stamp == 0 || stamp == previous_stamp + 1000000) << line;
        previous_stamp = stamp;
    }
    ASSERT_GE(busy.size(), 4u) << counts;
    // The first second is partial and ends in slow start's overshoot into the queue, whose
    // drops the next second recovers from; the last is partial too.
    for (size_t i = 2; i + 1 < busy.size(); i++)
        EXPECT_TRUE(busy[i] >= 0.95 && busy[i] <= 1.01) << busy[i] << " in second " << i << counts;
    EXPECT_NE(access(("/run/netns/" + ns_a).c_str(), F_OK), 0);
    EXPECT_NE(access(("/run/netns/" + ns_b).c_str(), F_OK), 0);
    EXPECT_NE(access(("/run/varnholt-pathemu/" + ns_a).c_str(), F_OK), 0);
}

} // namespace
