// Unit tests of the periodic check of upload sessions: warm-up stability, warm-up
// limits, measurement samples, the end of a test and the results reply it feeds.
#include "connection.h"
#include "session.h"
#include "settings.h"

#include <cmath>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t SESSION_ID = (3ull << 32) + 9;

// A session built by create_session on a real epoll set (so its data timer is a real timer),
// with upload connections over socket pairs registered there, which lets finish_session move
// them to TEST_FINISHED. Time is driven by hand: the test starts at 100 s and every tick()
// samples one second later. The defaults: one connection, 1 s warm-up samples, a window of 3
// within 10 %, at most 10 of them, then six intervals of 2 s.
struct Measurement : ::testing::Test {
    int epfd = epoll_create1(0);
    request_info req{};
    session* sess = nullptr;
    std::vector<int> peers;
    long clock = 100;

    static void SetUpTestSuite() {
        create_session_container(); // -1 when another suite made it: fine
    }
    void SetUp() override {
        ASSERT_GE(epfd, 0);
        restart();
    }
    void TearDown() override {
        end();
        close(epfd);
    }
    void end() {
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
        peers.clear();
        sess = nullptr;
    }
    // Starts over with no session and the default parameters.
    void restart() {
        end();
        clock = 100;
        req = {};
        req.method = POST;
        req.session_id = SESSION_ID;
        req.num_conns = 1;
        req.warmup_sample_time = 1000;
        req.num_warmup_samples = 3;
        req.max_warmup_samples = 10;
        req.results_interval_period = 2;
        req.result_num_intervals = 6;
        req.warmup_tolerance = 10;
        req.max_warmup_size = req.transfer_max_size = req.test_data_cap = UINT64_MAX;
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
        epoll_event ev{EPOLLIN, {.ptr = conn}};
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
    // One second per rate: the connection moves `r` bytes, then a sample. The state after.
    int rates(connection* conn, std::initializer_list<uint64_t> rs) {
        for (uint64_t r : rs) {
            move(conn, r);
            tick();
        }
        return sess->test.state;
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
    EXPECT_EQ(rates(c, {100, 105}), WARMUP);
    EXPECT_EQ(rates(c, {95}), MEASUR);
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

// Warm-up goes on until the last rate of each row: an outlier keeps it going while it is in
// the window, the band (mean +- tolerance) is inclusive, tolerance 0 needs equal rates.
TEST_F(Measurement, WarmupEndsAtTheFirstWindowWithinTheBand) {
    const std::pair<int, std::vector<uint64_t>> rows[] = {
        {10, {100, 120, 95, 110, 105}},
        {10, {89, 105, 106, 90, 110, 100}}, // 89 below 90..110, 90 below each band; then 90..110
        {0, {100, 100, 101, 100, 100, 100}}};
    for (const auto& [tolerance, row] : rows) {
        restart();
        req.warmup_tolerance = tolerance;
        start();
        connection* c = join(0);
        for (size_t i = 0; i < row.size(); ++i)
            EXPECT_EQ(rates(c, {row[i]}), i + 1 < row.size() ? WARMUP : MEASUR)
                << "tolerance " << tolerance << ", rate " << i;
    }
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
    for (bool aggregate : {false, true}) {
        restart();
        req.num_conns = 2;
        req.aggregate_warmup = aggregate;
        start();
        connection* a = join(0);
        connection* b = join(1);
        for (auto [ra, rb] : {std::pair{50, 150}, {150, 50}, {100, 100}}) {
            move(a, ra);
            move(b, rb);
            tick();
        }
        EXPECT_EQ(sess->test.state, aggregate ? MEASUR : WARMUP) << aggregate;
    }
}

// A path-style session waits for its slots: b's earlier samples stay zero, so its window is
// stable only from the third; an empty window passes once every slot is filled.
TEST_F(Measurement, AnEmptySlotOnlyDelaysAPathStyleWarmup) {
    req.num_conns = 2;
    req.path_style = true;
    start();
    connection* a = join(0);
    EXPECT_EQ(rates(a, {100, 100, 100}), WARMUP);
    connection* b = join(1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(sess->test.state, WARMUP);
        move(b, 100);
        rates(a, {100});
    }
    EXPECT_EQ(sess->test.state, MEASUR);
    EXPECT_EQ(b->warmup_samples[2].bytes, 0u);
    EXPECT_FALSE(sess->test.failed);
    restart();
    req.num_conns = 2;
    req.num_warmup_samples = 0;
    req.path_style = true;
    start();
    a = join(0);
    EXPECT_EQ(rates(a, {100}), WARMUP);
    join(1);
    EXPECT_EQ(rates(a, {500}), MEASUR);
}

// The sample limit fails the test or starts measurement; the byte limit (the connections'
// cumulative bytes, header credits included) applies at the sample that reaches it.
TEST_F(Measurement, WarmupLimitsFailOrStartMeasurement) {
    for (const bool fail : {true, false}) {
        restart();
        req.max_warmup_samples = 3;
        req.warmup_fail_on_max = fail;
        start();
        connection* c = join(0);
        EXPECT_EQ(rates(c, {100, 200}), WARMUP);
        testing::internal::CaptureStderr();
        EXPECT_EQ(rates(c, {400}), fail ? FINISHED : MEASUR);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(log.rfind(fail ? "<6>" : "", 0), 0u) << log;
        EXPECT_EQ(log.find("Max warmup samples reached") != std::string::npos, fail) << log;
        EXPECT_EQ(sess->test.failed, fail);
        EXPECT_EQ(sess->test.num_warmup, 3u);
    }
    restart();
    req.num_conns = 2;
    req.max_warmup_size = 550;
    req.warmup_fail_on_max = true;
    start();
    connection* a = join(0, 50);
    connection* b = join(1, 50);
    EXPECT_EQ(rates(a, {100, 300}), WARMUP); // 450 + 50 < 550
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
    ASSERT_EQ(rates(c, {70}), MEASUR);
    for (size_t k = 1; k <= 5; k++) {
        EXPECT_EQ(rates(c, {10}), MEASUR);
        EXPECT_EQ(c->measur_bytes[k - 1], 10 * k);
    }
    EXPECT_EQ(rates(c, {10}), FINISHED);
    EXPECT_EQ(c->num_measur, 6u);
    EXPECT_EQ(c->measur_bytes[5], 60u);
    EXPECT_FALSE(sess->test.failed);
}

TEST_F(Measurement, MeasurementEndsEarlyAtItsByteLimits) {
    req.num_warmup_samples = 1;
    req.transfer_max_size = 100;
    start();
    connection* c = join(0);
    EXPECT_EQ(rates(c, {1000, 100}), MEASUR); // not more than the limit
    EXPECT_EQ(rates(c, {1}), FINISHED);
    EXPECT_EQ(sess->test.num_measur, 2u);
    restart();
    req.num_warmup_samples = 1;
    req.test_data_cap = 1000;
    start();
    c = join(0);
    EXPECT_EQ(rates(c, {1000}), MEASUR);
    EXPECT_EQ(rates(c, {1}), FINISHED);
}

TEST_F(Measurement, AFinishRequestWaitsForTheEndOfWarmup) {
    start();
    connection* c = join(0);
    rates(c, {100, 300});
    sess->test.finish_requested = true;
    EXPECT_EQ(rates(c, {100}), WARMUP);        // unstable: warm-up goes on regardless
    EXPECT_EQ(rates(c, {100, 100}), FINISHED); // measurement started and ended at once
    EXPECT_EQ(sess->test.num_measur, 0u);
    EXPECT_FALSE(sess->test.finish_requested);
    restart();
    req.num_warmup_samples = 1;
    start();
    c = join(0);
    rates(c, {100, 5});
    sess->test.finish_requested = true;
    EXPECT_EQ(rates(c, {7}), FINISHED);
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
    ASSERT_EQ(rates(a, {100, 100}), MEASUR); // through the sample limit
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
    EXPECT_EQ(rates(c, {100, 100, 100}), WARMUP); // the connection has no third sample to judge
    EXPECT_EQ(rates(c, {100}), MEASUR);           // the session's arrays are full
    EXPECT_EQ(rates(c, {1, 1}), MEASUR);
    EXPECT_EQ(rates(c, {1}), FINISHED);
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
                           "\nSECTION: WARMUP\nNUM_WARMUP: 1\nWARMUP_SESSION: 0 750250999 300\n"
                           "SECTION: MEASUR\nNUM_MEASUR: 2\nMEASUR_SESSION: 2 750000000 12\n"
                           "MEASUR_SESSION: 5 0 13\n\n");
}

// Downloads and sessions without sample arrays finish at the first check; an unexpected state
// is reported without sampling, an impossible one ends the process; a failure to re-arm the
// data timer ends the session, not the process.
TEST_F(Measurement, OtherSessionsStatesAndRearmFailures) {
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

    restart();
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

    restart();
    req.num_warmup_samples = 1;
    start();
    move(join(0), 100);
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
