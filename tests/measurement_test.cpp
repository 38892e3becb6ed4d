// Unit tests of the periodic check of upload sessions: warm-up stability, warm-up
// limits, measurement samples, the end of a test and the results reply it feeds.
#include "connection.h"
#include "session.h"
#include "settings.h"

#include <cmath>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <utility>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t SESSION_ID = (3ull << 32) + 9;

// A session built by create_session on a real epoll set (so its data timer is a
// real timer), with upload connections over socket pairs registered there, which
// lets finish_session move them to TEST_FINISHED. Time is driven by hand: the
// test starts at 100 s and every tick() samples one second later.
struct Measurement : ::testing::Test {
    int epfd = -1;
    request_info req{};
    session* sess = nullptr;
    std::vector<int> peers;
    long clock = 100;

    static void SetUpTestSuite() {
        create_session_container(); // -1 when another suite made it: fine
    }

    void SetUp() override {
        epfd = epoll_create1(0);
        ASSERT_GE(epfd, 0);
        req.method = POST;
        req.session_id = SESSION_ID;
        req.num_conns = 1;
        req.warmup_sample_time = 1000;
        req.num_warmup_samples = 3;
        req.max_warmup_samples = 10;
        req.max_warmup_size = UINT64_MAX;
        req.results_interval_period = 2;
        req.result_num_intervals = 6;
        req.warmup_tolerance = 10;
        req.transfer_max_size = UINT64_MAX;
        req.test_data_cap = UINT64_MAX;
    }

    void TearDown() override {
        if (sess != nullptr && sess->test.state == DEAD) {
            trigger_sessions_destroy();
        } else if (sess != nullptr) {
            g_hash_table_remove(session_container, &sess->id);
            for (size_t i = 0; i < sess->conns_size; i++)
                if (sess->conns[i] != nullptr)
                    internal_destroy_connection(sess->conns[i]);
            free_session(sess);
        }
        for (int fd : peers)
            close(fd);
        close(epfd);
    }

    void start() {
        sess = create_session(&req.session_id, &req, epfd);
        ASSERT_NE(sess, nullptr);
        g_hash_table_add(session_container, sess);
        sess->test.start_time = {clock, 0};
        sess->test.started = true;
    }

    // Joins an upload connection to slot id with `header` bytes already credited.
    connection* join(size_t id, uint64_t header = 0) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        peers.push_back(sv[1]);
        connection* conn = new_connection(sv[0]);
        request_info r = req;
        r.conn_id = id;
        EXPECT_EQ(complete_connection(conn, &r), 0);
        EXPECT_EQ(add_connection(sess, conn), 0);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = conn;
        EXPECT_EQ(epoll_ctl(epfd, EPOLL_CTL_ADD, sv[0], &ev), 0);
        conn->state = RECEIVING_DATA;
        move(conn, header);
        return conn;
    }

    void move(connection* conn, uint64_t n) {
        conn->data_bytes += n;
        conn->total_bytes += n;
        sess->test.data_bytes += n;
        sess->test.total_bytes += n;
    }

    void tick() {
        handle_session_periodic(sess, {++clock, 0});
    }

    // One warm-up second per rate: the connection moves `r` bytes, then a sample.
    void rates(connection* conn, std::initializer_list<uint64_t> rs) {
        for (uint64_t r : rs) {
            move(conn, r);
            tick();
        }
    }

    // Starts over with a fresh session and the default parameters.
    void restart() {
        TearDown();
        sess = nullptr;
        peers.clear();
        clock = 100;
        req = {};
        SetUp();
    }

    std::string reply() {
        GString* text = build_results_reply(sess);
        std::string out(text->str, text->len);
        g_string_free(text, TRUE);
        return out;
    }
};

TEST_F(Measurement, AStableWindowStartsMeasurementAndRearmsTheDataTimer) {
    start();
    connection* c = join(0);
    rates(c, {100, 105});
    EXPECT_EQ(sess->test.state, WARMUP);
    rates(c, {95});
    EXPECT_EQ(sess->test.state, MEASUR);
    EXPECT_EQ(c->num_warmup, 3u);
    EXPECT_DOUBLE_EQ(c->warmup_samples[1].rate, 105.0);
    EXPECT_EQ(sess->test.warmup_end_bytes, 300u);
    EXPECT_GE(sess->measurement_start, 0);
    EXPECT_EQ(sess->measurement_start % 1000, 0);
    // Re-armed from now for the results interval: first expiry and period 2 s.
    ASSERT_TRUE(timer_armed(&sess->data_timer));
    EXPECT_EQ(sess->data_timer.period_ns, 2000000000);
    EXPECT_GT(sess->data_timer.due_ns - monotonic_now_ns(), 1000000000);
    EXPECT_FALSE(sess->test.failed);
}

TEST_F(Measurement, AnOutlierKeepsWarmupGoingWhileItIsInTheWindow) {
    start();
    connection* c = join(0);
    rates(c, {100, 120, 95, 110});
    EXPECT_EQ(sess->test.state, WARMUP); // 120 lies outside every window it is in
    rates(c, {105});
    EXPECT_EQ(sess->test.state, MEASUR); // 95, 110, 105
}

TEST_F(Measurement, TheBandIsInclusiveAndToleranceZeroNeedsEqualRates) {
    start();
    connection* c = join(0);
    rates(c, {89, 105, 106, 90, 110}); // 89 below 90..110, then 90 below each band
    EXPECT_EQ(sess->test.state, WARMUP);
    rates(c, {100}); // mean 100, band exactly 90..110
    EXPECT_EQ(sess->test.state, MEASUR);
    restart();
    req.warmup_tolerance = 0;
    start();
    c = join(0);
    rates(c, {100, 100, 101, 100, 100});
    EXPECT_EQ(sess->test.state, WARMUP);
    rates(c, {100});
    EXPECT_EQ(sess->test.state, MEASUR);
}

TEST_F(Measurement, ZeroLengthIntervalsGiveInfiniteOrNanRates) {
    start();
    connection* c = join(0);
    rates(c, {100, 100});
    move(c, 5);
    handle_session_periodic(sess, {clock, 0});
    EXPECT_TRUE(std::isinf(c->warmup_samples[2].rate));
    EXPECT_EQ(sess->test.state, WARMUP); // an infinite mean puts 100 outside
    handle_session_periodic(sess, {clock, 0});
    EXPECT_TRUE(std::isnan(c->warmup_samples[3].rate));
    EXPECT_EQ(sess->test.state, MEASUR); // NaN counts as inside the band
}

TEST_F(Measurement, RatesThatCancelOutAreStableOnlyAsASum) {
    const std::pair<uint64_t, uint64_t> steps[] = {{50, 150}, {150, 50}, {100, 100}};
    for (bool aggregate : {false, true}) {
        restart();
        req.num_conns = 2;
        req.aggregate_warmup = aggregate;
        start();
        connection* a = join(0);
        connection* b = join(1);
        for (auto [ra, rb] : steps) {
            move(a, ra);
            move(b, rb);
            tick();
        }
        EXPECT_EQ(sess->test.state, aggregate ? MEASUR : WARMUP) << aggregate;
    }
}

TEST_F(Measurement, AnEmptySlotFailsAControlledSessionAtTheFirstSample) {
    req.num_conns = 2;
    start();
    connection* c = join(0, 40);
    rates(c, {60});
    EXPECT_TRUE(sess->test.failed);
    EXPECT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(c->state, TEST_FINISHED);
    EXPECT_EQ(reply(), "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: FAIL\nEND_TIME: " +
                           std::to_string(sess->test.end_time) +
                           "\nSECTION: WARMUP\nNUM_WARMUP: 1\nWARMUP_SESSION: 1 0 100\n"
                           "SECTION: MEASUR\nNUM_MEASUR: 0\n\n");
}

TEST_F(Measurement, AnEmptySlotOnlyDelaysAPathStyleWarmup) {
    req.num_conns = 2;
    req.path_style = true;
    start();
    connection* a = join(0);
    rates(a, {100, 100, 100});
    EXPECT_EQ(sess->test.state, WARMUP);
    connection* b = join(1);
    // b's earlier samples stay zero, so its window is stable only from the third.
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(sess->test.state, WARMUP);
        move(b, 100);
        rates(a, {100});
    }
    EXPECT_EQ(sess->test.state, MEASUR);
    EXPECT_EQ(b->warmup_samples[2].bytes, 0u);
    EXPECT_FALSE(sess->test.failed);
}

TEST_F(Measurement, AnEmptyWindowPassesOnceEverySlotIsFilled) {
    req.num_conns = 2;
    req.num_warmup_samples = 0;
    req.path_style = true;
    start();
    connection* a = join(0);
    rates(a, {100});
    EXPECT_EQ(sess->test.state, WARMUP);
    join(1);
    rates(a, {500});
    EXPECT_EQ(sess->test.state, MEASUR);
}

TEST_F(Measurement, TheSampleLimitFailsOrStartsMeasurement) {
    req.max_warmup_samples = 3;
    req.warmup_fail_on_max = true;
    start();
    connection* c = join(0);
    rates(c, {100, 200});
    EXPECT_EQ(sess->test.state, WARMUP);
    testing::internal::CaptureStderr();
    rates(c, {400});
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.rfind("<6>", 0), 0u) << log;
    EXPECT_NE(log.find("Max warmup samples reached"), std::string::npos) << log;
    EXPECT_TRUE(sess->test.failed);
    EXPECT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(sess->test.num_warmup, 3u);

    restart();
    req.max_warmup_samples = 3;
    start();
    c = join(0);
    rates(c, {100, 200, 400});
    EXPECT_EQ(sess->test.state, MEASUR);
    EXPECT_FALSE(sess->test.failed);
}

TEST_F(Measurement, TheByteLimitAppliesAtTheSampleThatReachesIt) {
    req.num_conns = 2;
    req.max_warmup_size = 550; // the connections' cumulative bytes, header credits included
    req.warmup_fail_on_max = true;
    start();
    connection* a = join(0, 50);
    connection* b = join(1, 50);
    rates(a, {100, 300});
    EXPECT_EQ(sess->test.state, WARMUP); // 450 + 50 < 550
    move(b, 50);
    testing::internal::CaptureStderr();
    tick();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Max warmup samples reached"),
              std::string::npos);
    EXPECT_TRUE(sess->test.failed);
    EXPECT_EQ(sess->test.num_warmup, 3u);
}

TEST_F(Measurement, MeasurementCountsFromTheLastWarmupSampleUntilTheLastInterval) {
    req.num_warmup_samples = 1;
    start();
    connection* c = join(0, 30);
    rates(c, {70});
    ASSERT_EQ(sess->test.state, MEASUR);
    for (size_t k = 1; k <= 5; k++) {
        rates(c, {10});
        EXPECT_EQ(c->measur_bytes[k - 1], 10 * k);
        EXPECT_EQ(sess->test.state, MEASUR);
    }
    rates(c, {10});
    EXPECT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(c->num_measur, 6u);
    EXPECT_EQ(c->measur_bytes[5], 60u);
    EXPECT_FALSE(sess->test.failed);
}

TEST_F(Measurement, MeasurementEndsEarlyAtItsByteLimits) {
    req.num_warmup_samples = 1;
    req.transfer_max_size = 100;
    start();
    connection* c = join(0);
    rates(c, {1000, 100});
    EXPECT_EQ(sess->test.state, MEASUR); // not more than the limit
    rates(c, {1});
    EXPECT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(sess->test.num_measur, 2u);

    restart();
    req.num_warmup_samples = 1;
    req.test_data_cap = 1000;
    start();
    c = join(0);
    rates(c, {1000});
    EXPECT_EQ(sess->test.state, MEASUR);
    rates(c, {1});
    EXPECT_EQ(sess->test.state, FINISHED);
}

TEST_F(Measurement, AFinishRequestWaitsForTheEndOfWarmup) {
    start();
    connection* c = join(0);
    rates(c, {100, 300});
    sess->test.finish_requested = true;
    rates(c, {100});
    EXPECT_EQ(sess->test.state, WARMUP); // unstable: warm-up goes on regardless
    rates(c, {100, 100});
    EXPECT_EQ(sess->test.state, FINISHED); // measurement started and ended at once
    EXPECT_EQ(sess->test.num_measur, 0u);
    EXPECT_FALSE(sess->test.finish_requested);

    restart();
    req.num_warmup_samples = 1;
    start();
    c = join(0);
    rates(c, {100, 5});
    sess->test.finish_requested = true;
    rates(c, {7});
    EXPECT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(c->num_measur, 2u); // one last sample at the request
    EXPECT_EQ(c->measur_bytes[1], 12u);
}

TEST_F(Measurement, ALateJoinerCountsEverythingItMovedSinceJoining) {
    req.num_conns = 2;
    req.path_style = true;
    req.num_warmup_samples = 2;
    req.max_warmup_samples = 2;
    start();
    connection* a = join(0, 10);
    rates(a, {100, 100});
    ASSERT_EQ(sess->test.state, MEASUR); // through the sample limit
    connection* b = join(1, 30);
    move(b, 70);
    rates(a, {50});
    EXPECT_EQ(b->num_warmup, 0u);
    EXPECT_EQ(b->measur_bytes[0], 100u);
    EXPECT_EQ(a->measur_bytes[0], 50u);
    EXPECT_NE(reply().find("MEASUR_SESSION: 3 0 150\n"), std::string::npos);
}

// Limits that say more than was allocated (a replaced request, a connection made
// with smaller arrays) must stop at the allocations: the sanitizer build checks it.
TEST_F(Measurement, NoArrayIsAddressedBeyondItsAllocation) {
    req.max_warmup_samples = 4;
    req.result_num_intervals = 3;
    start();
    req.max_warmup_samples = 2;
    req.result_num_intervals = 1;
    connection* c = join(0);
    sess->request.max_warmup_samples = 100;
    sess->request.result_num_intervals = 100;
    rates(c, {100, 100, 100});
    EXPECT_EQ(sess->test.state, WARMUP); // the connection has no third sample to judge
    rates(c, {100});
    EXPECT_EQ(sess->test.state, MEASUR); // the session's arrays are full
    rates(c, {1, 1});
    EXPECT_EQ(sess->test.state, MEASUR);
    rates(c, {1});
    EXPECT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(sess->test.num_warmup, 4u);
    EXPECT_EQ(sess->test.num_measur, 3u);
    EXPECT_EQ(c->num_warmup, 2u);
    EXPECT_EQ(c->num_measur, 1u);
}

TEST_F(Measurement, TheResultsReplyListsTheSessionSums) {
    req.num_conns = 2;
    req.num_warmup_samples = 1;
    req.result_num_intervals = 2;
    start();
    sess->test.start_time = {100, 500000000};
    connection* a = join(0, 10);
    connection* b = join(1, 20);
    move(a, 90);
    move(b, 180);
    handle_session_periodic(sess, {101, 250250999}); // 750,250 whole microseconds
    EXPECT_DOUBLE_EQ(a->warmup_samples[0].rate, 100 * 1000000.0 / 750250);
    move(a, 5);
    move(b, 7);
    handle_session_periodic(sess, {103, 250000000});
    move(a, 1);
    handle_session_periodic(sess, {105, 500000000});
    ASSERT_EQ(sess->test.state, FINISHED);
    EXPECT_EQ(sess->active_conns, 2u);
    EXPECT_EQ(reply(), "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: OK\nEND_TIME: " +
                           std::to_string(sess->test.end_time) +
                           "\nSECTION: WARMUP\nNUM_WARMUP: 1\n"
                           "WARMUP_SESSION: 0 750250999 300\n"
                           "SECTION: MEASUR\nNUM_MEASUR: 2\n"
                           "MEASUR_SESSION: 2 750000000 12\n"
                           "MEASUR_SESSION: 5 0 13\n\n");
}

TEST_F(Measurement, DownloadsAndPlainSessionsFinishAtTheFirstCheck) {
    req.method = GET;
    start();
    tick();
    EXPECT_EQ(sess->test.state, DEAD);
    EXPECT_EQ(get_session(SESSION_ID), nullptr);

    restart();
    req.session_id = 77; // not extended: no sample arrays
    start();
    tick();
    EXPECT_EQ(sess->test.state, DEAD);
}

TEST_F(Measurement, UnexpectedStatesAreReportedWithoutSampling) {
    start();
    join(0);
    sess->test.state = FINISHED;
    testing::internal::CaptureStderr();
    tick();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("No harm, but I should have never reach"),
              std::string::npos);
    EXPECT_EQ(sess->test.num_warmup, 0u);
    sess->test.state = -1;
    EXPECT_EXIT(tick(), testing::ExitedWithCode(1), "This is impossible");
}

TEST_F(Measurement, ARearmFailureEndsTheSessionNotTheProcess) {
    req.num_warmup_samples = 1;
    start();
    connection* c = join(0);
    move(c, 100);
    // The worker's descriptor is no timer (and is set for nothing yet): setting it fails.
    timer_queue* timers = thread_timer_queue();
    const int64_t programmed = timers->programmed_ns;
    timers->head.fd = epfd;
    timers->programmed_ns = 0;
    testing::internal::CaptureStderr();
    tick();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("timerfd_settime: "), std::string::npos);
    timers->head.fd = -1;
    timers->programmed_ns = programmed;
    EXPECT_TRUE(sess->test.failed);
    EXPECT_TRUE(sess->finishing);
}

} // namespace
