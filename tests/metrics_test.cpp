// The metrics page and the endpoint address, without a server.
#include "main_thread.h"
#include "metrics.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

TEST(MetricsAddress, HostAndPortAreSplitForEveryForm) {
    std::string host, port;
    ASSERT_TRUE(split_host_port("127.0.0.1:9464", &host, &port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, "9464");
    ASSERT_TRUE(split_host_port("[::1]:0", &host, &port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, "0");
    ASSERT_TRUE(split_host_port("[fe80::1%eth0]:80", &host, &port));
    EXPECT_EQ(host, "fe80::1%eth0");
    ASSERT_TRUE(split_host_port("localhost:http", &host, &port));
    EXPECT_EQ(port, "http");
    for (const char* bad :
         {"", "9464", "127.0.0.1:", ":9464", "[::1]", "[::1]9464", "[::1:80", "[]:80"})
        EXPECT_FALSE(split_host_port(bad, &host, &port)) << bad;
}

TEST(MetricsAddress, ClientAddressesPrintAsTheClientSeesThem) {
    client_address v4{};
    v4.bytes[10] = 0xff;
    v4.bytes[11] = 0xff;
    inet_pton(AF_INET, "192.0.2.7", v4.bytes + 12);
    char text[INET6_ADDRSTRLEN];
    format_client_address(v4, text, sizeof(text));
    EXPECT_STREQ(text, "192.0.2.7");
    client_address v6{};
    inet_pton(AF_INET6, "2001:db8::42", v6.bytes);
    format_client_address(v6, text, sizeof(text));
    EXPECT_STREQ(text, "2001:db8::42");
}

// name{labels} -> value, checking that each family is announced once, before its samples.
std::map<std::string, std::string> samples_of(const std::string& page) {
    std::map<std::string, std::string> samples;
    std::set<std::string> helped, typed;
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first, name;
        words >> first;
        if (first == "#") {
            std::string what;
            words >> what >> name;
            EXPECT_TRUE((what == "HELP" ? helped : typed).insert(name).second) << line;
            continue;
        }
        std::string family = first.substr(0, first.find('{'));
        EXPECT_TRUE(helped.count(family) && typed.count(family)) << line;
        std::string value;
        words >> value;
        samples[first] = value;
    }
    EXPECT_EQ(page.back(), '\n');
    return samples;
}

TEST(MetricsPage, SessionEventsShowInTheirFamiliesAndRunningNeverGoesNegative) {
    auto before = samples_of(format_metrics());
    count_session_started(KIND_UPLOAD);
    count_session_started(KIND_UPLOAD);
    count_session_ended(KIND_UPLOAD, OUTCOME_FAILED);
    count_session_ended(KIND_LATENCY, OUTCOME_EXPIRED); // ended without a start seen
    count_session_refused(REFUSED_SERVER_LIMIT);
    count_session_log_failed();
    count_put_append_failed();
    count_put_append_failed();
    set_metrics_build_info("1.2.3", "abc1234");
    auto after = samples_of(format_metrics());
    auto delta = [&](const std::string& key) {
        return std::stol(after.at(key)) - std::stol(before.at(key));
    };
    EXPECT_EQ(delta("varnholt_sessions_started_total{kind=\"upload\"}"), 2);
    EXPECT_EQ(delta("varnholt_sessions_ended_total{kind=\"upload\",outcome=\"failed\"}"), 1);
    EXPECT_EQ(delta("varnholt_sessions_ended_total{kind=\"upload\",outcome=\"completed\"}"), 0);
    EXPECT_EQ(delta("varnholt_sessions_running{kind=\"upload\"}"), 1);
    EXPECT_EQ(after.at("varnholt_sessions_running{kind=\"latency\"}"), "0");
    EXPECT_EQ(delta("varnholt_sessions_refused_total{reason=\"server_limit\"}"), 1);
    EXPECT_EQ(delta("varnholt_sessions_refused_total{reason=\"client_limit\"}"), 0);
    EXPECT_EQ(delta("varnholt_session_logs_failed_total"), 1);
    EXPECT_EQ(delta("varnholt_put_appends_failed_total"), 2);
    EXPECT_EQ(after.at("varnholt_build_info{version=\"1.2.3\",revision=\"abc1234\"}"), "1");
    EXPECT_EQ(after.at("varnholt_draining"), "0");
    EXPECT_EQ(after.at("varnholt_draining_seconds"), "0.000");
    set_metrics_draining();
    auto drained = samples_of(format_metrics());
    EXPECT_EQ(drained.at("varnholt_draining"), "1");
    EXPECT_GE(std::stod(drained.at("varnholt_draining_seconds")), 0.0);
    EXPECT_EQ(drained.count("varnholt_drain_timeout_seconds"), 1u);
}

TEST(MetricsPage, OnlyRegisteredWorkersAreShown) {
    // This thread is no worker: what it counts lands in a record the page never shows.
    bump(thread_metrics()->bytes_sent, 1000);
    auto samples = samples_of(format_metrics());
    EXPECT_EQ(samples.at("varnholt_test_bytes_total{direction=\"sent\"}"), "0");
    register_worker_metrics(42);
    bump(thread_metrics()->bytes_sent, 5);
    bump(thread_metrics()->connections_open, 2);
    samples = samples_of(format_metrics());
    EXPECT_EQ(samples.at("varnholt_test_bytes_total{direction=\"sent\"}"), "5");
    int workers = 0;
    for (const auto& [key, value] : samples)
        if (key.rfind("varnholt_worker_connections{worker=\"0\"", 0) == 0) {
            workers++;
            EXPECT_EQ(value, "2");
        }
    EXPECT_EQ(workers, 1);
    EXPECT_EQ(samples.count("varnholt_worker_cpu_seconds_total{worker=\"0\",cpu=\"" +
                            std::to_string(sched_getcpu()) + "\"}"),
              1u);
}

} // namespace
