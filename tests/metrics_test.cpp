// The metrics endpoint's address, client addresses as printed and as counted, the latency
// statistics document written directly as text, and the memory budget's arithmetic, without a
// server.
#include "archive.h"
#include "budget.h"
#include "connection.h"
#include "client_limits.h"
#include "metrics.h"
#include "session.h"
#include "settings.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>

namespace {

client_address v6(const char* text) {
    client_address client{};
    EXPECT_EQ(inet_pton(AF_INET6, text, client.bytes), 1) << text;
    return client;
}

// The metrics endpoint's host and port are split for every form. Every per-client limit counts
// a client's key: an IPv6 network of --client-prefix-v6 bits, an IPv4 address on its own. Both caps
// hold per key, the connection cap first, and a key leaves the table with its last connection.
TEST(ClientAddresses, HostsAndPortsSplitClientsPrintAsTheySeeThemselvesAndOneNetworkIsOneClient) {
    std::string host, port;
    for (const auto& [text, split] :
         {std::pair<const char*, std::string>{"127.0.0.1:9464", "127.0.0.1 9464"},
          {"[::1]:0", "::1 0"},
          {"[fe80::1%eth0]:80", "fe80::1%eth0 80"},
          {"localhost:http", "localhost http"}}) {
        ASSERT_TRUE(split_host_port(text, &host, &port)) << text;
        EXPECT_EQ(host + " " + port, split);
    }
    for (const char* bad :
         {"", "9464", "127.0.0.1:", ":9464", "[::1]", "[::1]9464", "[::1:80", "[]:80"})
        EXPECT_FALSE(split_host_port(bad, &host, &port)) << bad;
    const client_address a = v6("2001:db8:1:2::1"), b = v6("2001:db8:1:2:ffff::7"),
                         c = v6("2001:db8:1:12::1"), v4 = v6("::ffff:192.0.2.7"),
                         v4b = v6("::ffff:192.0.2.8");
    // IPv4-mapped addresses print as IPv4 (others as inet_ntop makes them).
    char text[INET6_ADDRSTRLEN];
    format_client_address(v4, text, sizeof(text));
    EXPECT_STREQ(text, "192.0.2.7");
    for (auto [prefix, a_b, a_c] :
         {std::tuple{128, false, false}, {60, true, false}, {59, true, true}, {1, true, true}}) {
        client_prefix_v6 = prefix;
        EXPECT_EQ(client_address_equal(&a, &b), a_b) << prefix;
        EXPECT_EQ(client_address_equal(&a, &c), a_c) << prefix;
        EXPECT_EQ(client_address_hash(&a) == client_address_hash(&b), a_b) << prefix;
        EXPECT_FALSE(client_address_equal(&v4, &v4b)) << prefix;
        EXPECT_FALSE(client_address_equal(&a, &v4)) << prefix;
    }
    client_prefix_v6 = 64;
    max_client_connections = 3;
    max_client_pending = 2;
    EXPECT_EQ(admit_client_connection(&a), CLIENT_ADMITTED);
    EXPECT_EQ(admit_client_connection(&b), CLIENT_ADMITTED);
    EXPECT_EQ(admit_client_connection(&b), CLIENT_TOO_MANY_PENDING);
    EXPECT_EQ(admit_client_connection(&c), CLIENT_ADMITTED); // another network
    release_pending_connection(&a);
    EXPECT_EQ(admit_client_connection(&a), CLIENT_ADMITTED);
    release_pending_connection(&b);
    release_pending_connection(&a);
    EXPECT_EQ(admit_client_connection(&b), CLIENT_TOO_MANY_CONNECTIONS);
    EXPECT_EQ(client_connection_count(&b), 3);
    EXPECT_EQ(pending_connection_count(&a), 0);
    EXPECT_EQ(admit_client_connection(&v4), CLIENT_ADMITTED);
    EXPECT_EQ(admit_client_connection(&v4b), CLIENT_ADMITTED);
    EXPECT_EQ(pending_connection_count(&v4), 1);
    EXPECT_EQ(connected_client_count(), 4u);
    // Released in any order, by any address of the network.
    for (const client_address* client : {&v4, &v4b, &c})
        release_pending_connection(client);
    for (const client_address* client : {&b, &v4, &a, &c, &v4b, &b})
        release_client_connection(client);
    EXPECT_EQ(std::tuple(connected_client_count(), client_connection_count(&a)), std::tuple(0u, 0));
    max_client_connections = MAX_CLIENT_CONNECTIONS_DEFAULT;
    max_client_pending = MAX_CLIENT_PENDING_DEFAULT;
}

// A latency session at its widest. Its statistics document is byte for byte what a JSON
// serializer makes of it: every connection's samples, an empty slot as an empty array, extreme
// values of every field, and no latency results without a latency test. Its archive record
// (every sample slot taken, extreme values, a connection whose TCP statistics cannot be read, a
// congestion control name to escape) is one line of valid JSON within the bound the memory budget
// reserves for it, and the bound counts only with an archive directory.
TEST(LatencySession, TheDocumentIsExactAndTheWidestRecordParsesAndFitsItsReservation) {
    using varnholt::http_latency_protocol::connection_sample;
    session_timeout = 60;
    request_info req{};
    req.method = GET;
    req.session_id = (0xFFFFFFFFull << 32) + 0xFFFFFFFF;
    req.unit_id = 0xFFFFFFFF;
    req.num_conns = 3;
    req.max_warmup_size = req.transfer_max_size = req.test_data_cap = UINT64_MAX;
    req.latency_interval = {1, 0};
    memcpy(req.tcp_cong, "\"\x01\xff\\abcdefghijkl", 16);
    const std::string head = R"({"protocol_version":1,"serverside_start":-1,)"
                             R"("start_timestamp":-5,"measurement_start":1200000,)"
                             R"("measurement_end":9223372036854775807,"connections":[)";
    const std::string tails[] = {
        "]}", R"({"samples":[{"ts":0,"tcp_rtt":0,"tcp_rttvar":0,"tcpi_lost":0,)"
              R"("tcpi_total_retrans":0,"tcpi_retrans":0,"tcpi_snd_cwnd":0,)"
              R"("total_transferred":0,"data_transferred":0},{"ts":100,"tcp_rtt":5123,)"
              R"("tcp_rttvar":812,"tcpi_lost":3,"tcpi_total_retrans":17,"tcpi_retrans":1,)"
              R"("tcpi_snd_cwnd":740,"total_transferred":31250100,)"
              R"("data_transferred":31250000}]},{"samples":[]},{"samples":[{)"
              R"("ts":-9223372036854775808,"tcp_rtt":9223372036854775807,"tcp_rttvar":-1,)"
              R"("tcpi_lost":18446744073709551615,"tcpi_total_retrans":18446744073709551615,)"
              R"("tcpi_retrans":4294967295,"tcpi_snd_cwnd":10,)"
              R"("total_transferred":18446744073709551615,"data_transferred":1}]}]})"};
    session* sess = nullptr;
    for (const bool latency : {false, true}) {
        req.latency_test = latency;
        sess = create_session(&req.session_id, &req, -1);
        ASSERT_NE(sess, nullptr);
        sess->serverside_start_ns = -1999999;
        sess->start_timestamp = -5;
        sess->measurement_start = 1200000;
        sess->measurement_end = INT64_MAX;
        if (latency) {
            auto& results = *sess->latency_results;
            results[0].push_back(connection_sample{0, 0, 0, 0, 0, 0, 0, 0, 0});
            results[0].push_back(
                connection_sample{100, 5123, 812, 3, 17, 1, 740, 31250100, 31250000});
            results[2].push_back(connection_sample{INT64_MIN, INT64_MAX, -1, UINT64_MAX, UINT64_MAX,
                                                   4294967295u, 10, UINT64_MAX, 1});
        }
        EXPECT_EQ(build_latency_document(sess), head + tails[latency]) << latency;
        if (!latency)
            free_session(sess);
    }

    const session_memory without = session_memory_bound(&req);
    EXPECT_EQ(without.archive_record, 0u);
    archive_directory = "/nonexistent";
    const session_memory bound = session_memory_bound(&req);
    archive_directory = nullptr;
    EXPECT_EQ(bound.archive_record, archive_record_bound(&req));
    EXPECT_EQ(bound.total, without.total + bound.archive_record);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    connection* conn = new_connection(pair[0]);
    ASSERT_NE(conn, nullptr);
    conn->conn_id = 2;
    conn->total_bytes = conn->data_bytes = UINT64_MAX;
    sess->conns[2] = conn;
    for (auto& result : *sess->latency_results)
        result.assign(bound.latency_sample_cap,
                      connection_sample{INT64_MIN, INT64_MIN, INT64_MIN, UINT64_MAX, UINT64_MAX,
                                        UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX});
    sess->cut_short = true;
    GString* text = build_archive_record(sess, UINT64_MAX, OUTCOME_COMPLETED);
    const std::string record(text->str, text->len);
    g_string_free(text, TRUE);
    EXPECT_LE(2 * record.size() + 2, bound.archive_record);
    EXPECT_EQ(record.find('\n'), record.size() - 1);
    boost::json::object parsed = boost::json::parse(record).as_object();
    EXPECT_EQ(parsed["outcome"], "cut_short");
    EXPECT_EQ(parsed["unit_id"].as_int64(), 0xFFFFFFFF);
    EXPECT_EQ(parsed["parameters"].as_object()["TCP_CONG"], "\"\x01\u00ff\\abcdefghijkl");
    EXPECT_EQ(parsed["connections"].as_array().size(), 1u);
    EXPECT_EQ(parsed.at("latency").at_pointer("/connections/1/samples").as_array().size(),
              bound.latency_sample_cap);
    sess->conns[2] = nullptr;
    internal_destroy_connection(conn);
    close(pair[1]);
    free_session(sess);
    session_timeout = SESSION_TIMEOUT_DEFAULT;
}

// Byte counts with their suffixes (a budget of 1M shows on the page of a real server), and
// reservations fit up to the budget exactly, never beyond, and come back whole.
TEST(MemoryBudget, SizesParseAndReservationsFitUpToTheBudgetExactly) {
    uint64_t bytes = 0;
    ASSERT_EQ(parse_byte_size("16777215G", &bytes), 0);
    EXPECT_EQ(bytes, 16777215ull << 30);
    for (const char* bad : {"", "K", "+1", " 1", "1KB", "1k", "1T", "1.5G", "17179869184G"})
        EXPECT_EQ(parse_byte_size(bad, &bytes), -1) << bad;
    EXPECT_GT(default_memory_budget(), 0u);
    // A quarter of the machine's memory, or of its service's cgroup limit when that is lower.
    const vh_test::temp_dir root;
    std::filesystem::create_directories(root + "/proc/self");
    std::filesystem::create_directories(root + "/sys/fs/cgroup/svc");
    std::ofstream(root + "/proc/meminfo") << "MemFree: 1 kB\nMemTotal:  8388608 kB\n";
    std::ofstream(root + "/proc/self/cgroup") << "1:name=systemd:/\n0::/svc\n";
    for (const auto& [max, quarter] :
         {std::pair{"max", 2ull << 30}, {"4294967296", 1ull << 30}, {"9663676416", 2ull << 30}}) {
        std::ofstream(root + "/sys/fs/cgroup/svc/memory.max") << max << "\n";
        EXPECT_EQ(default_memory_budget(root), quarter) << max;
    }

    set_memory_budget(1000);
    EXPECT_TRUE(reserve_memory(600));
    EXPECT_FALSE(memory_would_fit(401) || reserve_memory(401));
    EXPECT_TRUE(memory_would_fit(400) && reserve_memory(400));
    EXPECT_FALSE(reserve_memory(1));
    release_memory(1000);
    EXPECT_FALSE(reserve_memory(UINT64_MAX));
    EXPECT_EQ(memory_reserved(), 0u);
    set_memory_budget(MEMORY_BUDGET_MAX);
}

} // namespace
