// Unit tests of the periodic check of upload sessions: warm-up stability, warm-up
// limits, measurement samples, the end of a test and the results reply it feeds.
#include "connection.h"
#include "session.h"
#include "settings.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>
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
        restart();
        close(epfd);
    }
    // Ends the session, if any, and starts over with the default parameters.
    void restart() {
        if (sess != nullptr && sess->test.state == DEAD) {
            trigger_sessions_destroy();
        } else if (sess != nullptr) {
            g_hash_table_remove(session_container, &sess->key);
            for (size_t i = 0; i < sess->conns_size; i++)
                if (sess->conns[i] != nullptr)
                    internal_destroy_connection(sess->conns[i]);
            free_session(sess);
        }
        for (int fd : peers)
            close(fd);
        peers.clear();
        sess = nullptr;
        clock = 100;
        req = {};
        req.method = POST;
        req.session_id = SESSION_ID;
        req.warmup_sample_time = 1000;
        req.results_interval_period = 2;
        req.warmup_tolerance = 10;
        req.max_warmup_size = req.transfer_max_size = req.test_data_cap = UINT64_MAX;
        set("conns=1 warm=3 maxw=10 intervals=6");
    }
    void start() {
        sess = create_session(&req.session_id, &req, epfd);
        ASSERT_NE(sess, nullptr);
        g_hash_table_insert(session_container, &sess->key, sess);
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
    // Sets the parameters named in `params` ("conns=2 fail=1 ...").
    void set(const std::string& params) {
        const std::map<std::string, uint64_t*> numbers = {
            {"conns", &req.num_conns},         {"warm", &req.num_warmup_samples},
            {"maxw", &req.max_warmup_samples}, {"intervals", &req.result_num_intervals},
            {"maxsize", &req.max_warmup_size}, {"maxtransfer", &req.transfer_max_size},
            {"cap", &req.test_data_cap}};
        const std::map<std::string, bool*> flags = {{"fail", &req.warmup_fail_on_max},
                                                    {"path", &req.path_style},
                                                    {"agg", &req.aggregate_warmup}};
        std::istringstream in(params);
        std::string key;
        uint64_t value = 0;
        while (std::getline(in >> std::ws, key, '=') && in >> value)
            if (numbers.contains(key))
                *numbers.at(key) = value;
            else
                *flags.at(key) = value != 0;
    }
    // Sets `params`, starts the session and runs `script`: "a100" has connection a (slot 0; b
    // is slot 1) move 100 bytes, joining first if it has not; "+b30" joins b with 30 header
    // bytes credited; "t" samples one second later and "=" at the same time; "R" requests the
    // finish; "L3" lowers the sample limit to 3; "W", "M", "F" and "D" expect a state. Returns the
    // session's state, "!" if it failed, its sample counts, and each connection's sample counts and
    // measured bytes.
    std::string run(const std::string& params, const std::string& script) {
        set(params);
        if (sess == nullptr)
            start();
        std::istringstream in(script);
        connection* conns[2] = {};
        for (std::string word; in >> word;) {
            const size_t slot = static_cast<size_t>(word[word[0] == '+'] - 'a');
            if (slot < 2 && conns[slot] == nullptr)
                conns[slot] = join(slot, word[0] == '+' ? std::stoull("0" + word.substr(2)) : 0);
            if (word[0] == 'a' || word[0] == 'b')
                move(conns[slot], std::stoull(word.substr(1)));
            else if (word == "t" || word == "=")
                handle_session_periodic(sess, {word == "t" ? ++clock : clock, 0});
            else if (word == "R")
                sess->test.finish_requested = true;
            else if (word[0] == 'L') // a replacement lowers the warm-up's sample limit
                sess->request.max_warmup_samples = std::stoull(word.substr(1));
            else
                EXPECT_TRUE(word[0] == '+' || "WMFD"[sess->test.state] == word[0]) << in.tellg();
        }
        std::string out = std::string(1, "WMFD"[sess->test.state]) +
                          (sess->test.failed ? "! " : " ") + std::to_string(sess->test.num_warmup) +
                          "/" + std::to_string(sess->test.num_measur);
        for (connection* c : conns) {
            if (c == nullptr)
                continue;
            out += " " + std::to_string(c->num_warmup) + "/" + std::to_string(c->num_measur);
            for (size_t i = 0; i < c->num_measur; ++i)
                out += (i == 0 ? ":" : ",") + std::to_string(c->measur_bytes[i]);
        }
        return out;
    }
    std::string reply() {
        GString* text = build_results_reply(sess);
        std::string out(text->str, text->len);
        g_string_free(text, TRUE);
        return out;
    }
};

// Scenarios of warm-up and measurement run by the script of run(), with what it returns. The
// first one's switch to measurement re-arms the data timer for the results interval. Limits
// beyond the arrays allocated stop at them.
TEST_F(Measurement, ScenariosEndInTheirStatesWithTheirCountsAndNoArrayIsAddressedBeyondItsEnd) {
    const struct {
        const char* name;
        std::string params, script, expected;
    } cases[] = {
        {"AStableWindowStartsMeasurement", "", "a100 t a105 t W a95 t M", "M 3/0 3/0"},
        {"TheBandIsInclusive", "", "a89 t a105 t a106 t a90 t a110 t W a100 t M", "M 6/0 6/0"},
        {"ZeroLengthIntervalsGiveInfiniteThenNanRates", "", "a100 t a100 t a5 = W =", "M 4/0 4/0"},
        {"RatesThatCancelOutAreUnstableAlone", "conns=2", "a50 b150 t a150 b50 t a100 b100 t",
         "W 3/0 3/0 3/0"},
        {"RatesThatCancelOutAreStableAsASum", "conns=2 agg=1", "a50 b150 t a150 b50 t a100 b100 t",
         "M 3/0 3/0 3/0"},
        {"AnEmptySlotFailsAControlledSession", "conns=2", "+a40 a60 t", "F! 1/0 1/0"},
        {"AnEmptySlotOnlyDelaysAPathStyleWarmup", "conns=2 path=1",
         "a100 t a100 t a100 t W b100 a100 t W b100 a100 t W b100 a100 t", "M 6/0 6/0 6/0"},
        {"AnEmptyWindowPassesOnceEverySlotIsFilled", "conns=2 warm=0 path=1", "a100 t W b0 a500 t",
         "M 2/0 2/0 2/0"},
        {"TheSampleLimitFails", "maxw=3 fail=1", "a100 t a200 t W a400 t", "F! 3/0 3/0"},
        {"TheSampleLimitStartsMeasurement", "maxw=3", "a100 t a200 t W a400 t", "M 3/0 3/0"},
        {"ALoweredSampleLimitEndsTheWarmupAtIt", "", "a100 t a200 t L3 a400 t", "M 3/0 3/0"},
        {"TheByteLimitAppliesAtTheSampleReachingIt", "conns=2 maxsize=550 fail=1",
         "+a50 +b50 a100 t a300 t W b50 t", "F! 3/0 3/0 3/0"}, // header credits count
        {"MeasurementRunsUntilTheLastInterval", "warm=1",
         "+a30 a70 t M a10 t a10 t a10 t a10 t a10 t M a10 t", "F 1/6 1/6:10,20,30,40,50,60"},
        {"MeasurementEndsBeyondTheTransferLimit", "warm=1 maxtransfer=100", "a1000 t a100 t M a1 t",
         "F 1/2 1/2:100,101"},
        {"MeasurementEndsBeyondTheDataCap", "warm=1 cap=1000", "a1000 t M a1 t", "F 1/1 1/1:1"},
        {"AFinishRequestWaitsForTheEndOfWarmup", "", "a100 t a300 t R a100 t W a100 t a100 t",
         "F 5/0 5/0"},
        {"AFinishRequestTakesALastSample", "warm=1", "a100 t a5 t R a7 t", "F 1/2 1/2:5,12"},
        {"ALateJoinerCountsEverythingSinceJoining", "conns=2 path=1 warm=2 maxw=2",
         "+a10 a100 t a100 t M +b30 b70 a50 t", "M 2/1 2/1:50 0/1:100"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        EXPECT_EQ(run(c.params, c.script), c.expected);
        EXPECT_FALSE(sess->test.finish_requested);
        if (&c != cases)
            continue;
        EXPECT_DOUBLE_EQ(sess->conns[0]->warmup_samples[1].rate, 105.0);
        EXPECT_EQ(sess->test.warmup_end_bytes, 300u);
        EXPECT_TRUE(sess->measurement_start >= 0 && sess->measurement_start % 1000 == 0);
        ASSERT_TRUE(timer_armed(&sess->data_timer)); // from now: first expiry and period 2 s
        EXPECT_EQ(sess->data_timer.period_ns, 2000000000);
        EXPECT_GT(sess->data_timer.due_ns - monotonic_now_ns(), 1000000000);
    }
    EXPECT_NE(reply().find("MEASUR_SESSION: 3 0 150\n"), std::string::npos); // the late joiner

    // Limits that say more than was allocated (a replaced request, a connection made
    // with smaller arrays) must stop at the allocations: the sanitizer build checks it.
    restart();
    run("maxw=4 intervals=3", "");
    sess->request.max_warmup_samples = sess->request.result_num_intervals = 100;
    // The connection has no third sample to judge; then the session's arrays are full.
    EXPECT_EQ(run("maxw=2 intervals=1", "a100 t a100 t a100 t W a100 t M a1 t a1 t M a1 t"),
              "F 4/3 2/1:201");
}

TEST_F(Measurement, TheResultsReplyListsTheSessionSums) {
    set("conns=2 warm=1 intervals=2");
    start();
    sess->test.start_time = {100, 500000000};
    connection* a = join(0, 100); // header bytes count as the rest
    connection* b = join(1, 200);
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

// A failure to re-arm the data timer at the switch to measurement ends the session, not the
// process.
TEST_F(Measurement, ARearmFailureEndsTheSessionNotTheProcess) {
    run("warm=1", "a100");
    // The worker's descriptor is no timer (and is set for nothing yet): setting it fails.
    timer_queue* timers = thread_timer_queue();
    const int64_t programmed = std::exchange(timers->programmed_ns, 0);
    timers->head.fd = epfd;
    testing::internal::CaptureStderr();
    handle_session_periodic(sess, {++clock, 0});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("timerfd_settime: "), std::string::npos);
    timers->head.fd = -1;
    timers->programmed_ns = programmed;
    EXPECT_TRUE(sess->test.failed && sess->finishing);
}

} // namespace
