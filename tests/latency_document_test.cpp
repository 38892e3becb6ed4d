// The latency statistics document, written directly as text, is byte for byte what
// Boost.JSON's serializer makes of the same document built as a tree of JSON values.
#include "session.h"

#include <boost/json.hpp>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

using varnholt::http_latency_protocol::connection_sample;

// The document as a tree of JSON values, serialized by Boost.JSON.
std::string reference_document(const session* sess) {
    boost::json::array connections;
    if (sess->latency_results != nullptr) {
        for (const auto& result : *sess->latency_results) {
            boost::json::array samples;
            for (const auto& s : result)
                samples.push_back(boost::json::object{
                    {"ts", s.ts},
                    {"tcp_rtt", s.tcp_rtt},
                    {"tcp_rttvar", s.tcp_rttvar},
                    {"tcpi_lost", s.tcpi_lost},
                    {"tcpi_total_retrans", s.tcpi_total_retrans},
                    {"tcpi_retrans", s.tcpi_retrans},
                    {"tcpi_snd_cwnd", s.tcpi_snd_cwnd},
                    {"total_transferred", s.total_transferred},
                    {"data_transferred", s.data_transferred},
                });
            connections.push_back(boost::json::object{{"samples", std::move(samples)}});
        }
    }
    boost::json::object document{
        {"protocol_version", static_cast<uint64_t>(1)},
        {"serverside_start", static_cast<int64_t>(sess->serverside_start_ns / 1000000)},
        {"start_timestamp", static_cast<int64_t>(sess->start_timestamp)},
        {"measurement_start", static_cast<int64_t>(sess->measurement_start)},
        {"measurement_end", static_cast<int64_t>(sess->measurement_end)},
        {"connections", std::move(connections)},
    };
    return boost::json::serialize(document);
}

struct LatencyDocument : testing::Test {
    int epfd = -1;
    session* sess = nullptr;

    void make(bool latency, size_t conns) {
        epfd = epoll_create1(0);
        ASSERT_GE(epfd, 0);
        request_info req{};
        req.method = GET;
        req.session_id = (5ull << 32) + 1;
        req.num_conns = conns;
        req.max_warmup_size = req.transfer_max_size = req.test_data_cap = UINT64_MAX;
        if (latency) {
            req.latency_test = true;
            req.latency_interval = {0, 100000000};
        }
        sess = create_session(&req.session_id, &req, epfd);
        ASSERT_NE(sess, nullptr);
    }

    void TearDown() override {
        if (sess != nullptr)
            free_session(sess);
        if (epfd >= 0)
            close(epfd);
    }
};

TEST_F(LatencyDocument, SamplesOfEveryConnectionIncludingExtremeValues) {
    make(true, 3);
    constexpr int64_t lo = std::numeric_limits<int64_t>::min();
    constexpr int64_t hi = std::numeric_limits<int64_t>::max();
    constexpr uint64_t top = std::numeric_limits<uint64_t>::max();
    auto& results = *sess->latency_results;
    results[0].push_back(connection_sample{0, 0, 0, 0, 0, 0, 0, 0, 0});
    results[0].push_back(connection_sample{100, 5123, 812, 3, 17, 1, 740, 31250100, 31250000});
    // Slot 1 has no sample yet: an empty array.
    results[2].push_back(connection_sample{lo, hi, -1, top, top, 4294967295u, 10, top, 1});
    sess->measurement_start = 1200000;
    sess->measurement_end = 7300000;
    sess->start_timestamp = -5;
    const std::string doc = build_latency_document(sess);
    EXPECT_EQ(doc, reference_document(sess));
    EXPECT_NE(doc.find(R"({"samples":[]})"), std::string::npos);
    EXPECT_NO_THROW(boost::json::parse(doc));
}

TEST_F(LatencyDocument, BeforeAnySampleAndForASessionWithoutLatencyResults) {
    make(true, 2);
    EXPECT_EQ(build_latency_document(sess), reference_document(sess));
    TearDown();
    sess = nullptr;
    epfd = -1;
    make(false, 1);
    ASSERT_EQ(sess->latency_results, nullptr);
    const std::string doc = build_latency_document(sess);
    EXPECT_EQ(doc, reference_document(sess));
    EXPECT_NE(doc.find(R"("connections":[])"), std::string::npos);
}

TEST_F(LatencyDocument, ManySamplesStayIdentical) {
    make(true, 4);
    for (size_t i = 0; i < 4; i++)
        for (uint64_t k = 0; k < 600; k++)
            (*sess->latency_results)[i].push_back(connection_sample{
                static_cast<int64_t>(k * 100), static_cast<int64_t>(5000 + k), 800, k / 100, k / 50,
                k % 3, 700 + k, k * 31250000 + 100, k * 31250000});
    EXPECT_EQ(build_latency_document(sess), reference_document(sess));
}

} // namespace
