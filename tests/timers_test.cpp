// Unit tests of the worker timers: deadline order, periodic re-arming on the grid of the
// first expiry, coalesced missed periods, stops and restarts during a dispatch and
// the timers of a freed session.
#include "session.h"
#include "settings.h"
#include "timers.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

constexpr int64_t MS = 1000000, SEC = 1000000000;
constexpr int64_t T0 = 1000 * SEC; // "now" of a queue driven by hand

timespec ms(long n) {
    return {n / 1000, (n % 1000) * 1000000};
}

// A queue without a descriptor, driven by explicit times (the queue reads no timer's kind).
struct Timers : ::testing::Test {
    timer_queue queue{{EPOLL_WORKER_TIMER, -1}, {}, 0, 0};
    // Every timer due at `now`, in the order returned.
    std::vector<session_timer*> due(int64_t now) {
        std::vector<session_timer*> out;
        while (session_timer* t = timer_queue_next_due(&queue, now))
            out.push_back(t);
        return out;
    }
};

// Dispatched late, a periodic timer stays on the grid of its first expiry; missed periods
// are one expiry counting them all, as a timerfd read would, returned once per dispatch.
TEST_F(Timers, APeriodicTimerStaysOnItsGridAndTimesAreTakenAsATimerDescriptorWould) {
    session_timer t{};
    ASSERT_EQ(timer_start_at(&queue, &t, T0, ms(1500), ms(1000)), 0);
    // Expirations, the next deadline and the period after each dispatch.
    const auto state = [&] { return std::tuple(t.expirations, t.due_ns, t.period_ns); };
    EXPECT_EQ(due(T0 + 1700 * MS), std::vector<session_timer*>{&t});
    EXPECT_EQ(state(), std::tuple(1u, T0 + 2500 * MS, SEC));
    EXPECT_TRUE(due(T0 + 2499 * MS).empty());
    EXPECT_EQ(due(T0 + 5500 * MS), std::vector<session_timer*>{&t}); // 2.5, 3.5, 4.5 and 5.5 s
    EXPECT_EQ(state(), std::tuple(4u, T0 + 6500 * MS, SEC));
    EXPECT_TRUE(timer_armed(&t));
    // Times as a timer descriptor takes them: a zero first expiry disarms; out of range is
    // refused with EINVAL, the timer left as it was; absurdly far is never due, without an
    // overflow into the past.
    timer_stop(&t);
    session_timer u{}, far{};
    ASSERT_EQ(timer_start_at(&queue, &u, T0, ms(100), ms(100)), 0);
    ASSERT_EQ(timer_start_at(&queue, &u, T0, {0, 0}, ms(100)), 0);
    EXPECT_FALSE(timer_armed(&u));
    ASSERT_EQ(timer_start_at(&queue, &u, T0, ms(100), {}), 0);
    errno = 0;
    EXPECT_EQ(timer_start_at(&queue, &u, T0, {-1, 0}, {}), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(timer_start_at(&queue, &u, T0, {1, 1000000000}, {}), -1);
    EXPECT_EQ(timer_start_at(&queue, &u, T0, ms(100), {0, -1}), -1);
    EXPECT_EQ(u.due_ns, T0 + 100 * MS);
    ASSERT_EQ(timer_start_at(&queue, &far, T0, {INT64_MAX / 2, 0}, {INT64_MAX / 2, 0}), 0);
    EXPECT_EQ(due(INT64_MAX - 1), std::vector<session_timer*>{&u});
    EXPECT_TRUE(timer_armed(&far));
}

// The first handler stops two timers (as a finish does; twice, and on a stopped timer:
// nothing happens) and re-arms itself (as a switch to measurement does): the stopped ones do
// not expire, the re-armed one waits for its new deadline.
TEST_F(Timers, TimersStoppedOrStartedAgainDuringADispatch) {
    session_timer expiry{}, data{}, trace{}, later{};
    for (auto [t, n] : {std::pair{&expiry, 100}, {&data, 200}, {&trace, 300}})
        ASSERT_EQ(timer_start_at(&queue, t, T0, ms(n), ms(n)), 0);
    ASSERT_EQ(timer_start_at(&queue, &later, T0, ms(400), {}), 0);
    std::vector<session_timer*> seen;
    while (session_timer* t = timer_queue_next_due(&queue, T0 + SEC)) {
        seen.push_back(t);
        if (t != &expiry)
            continue;
        timer_stop(&data);
        timer_stop(&trace);
        timer_stop(&trace);
        ASSERT_EQ(timer_start_at(&queue, &expiry, T0 + SEC, ms(2000), ms(2000)), 0);
    }
    EXPECT_EQ(seen, (std::vector<session_timer*>{&expiry, &later}));
    EXPECT_FALSE(timer_armed(&data) || timer_armed(&trace));
    EXPECT_EQ(std::tuple(expiry.due_ns, expiry.period_ns, expiry.expirations),
              std::tuple(T0 + 3 * SEC, 2 * SEC, 0u));
    EXPECT_EQ(due(T0 + 3 * SEC - 1).size(), 0u);
}

// Timers expire in deadline order and equal deadlines in start order, none before its time,
// one-shots once; also a thousand of them, half stopped in random order.
TEST_F(Timers, TimersExpireInDeadlineOrderAndEqualDeadlinesInStartOrder) {
    constexpr size_t N = 1000;
    std::vector<session_timer> timers(N);
    std::vector<size_t> order(N);
    for (size_t i = 0; i < N; i++) {
        order[i] = i;
        ASSERT_EQ(timer_start_at(&queue, &timers[i], T0, ms(i % 3 == 0 ? 500 : 100), {}), 0);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (size_t i = 0; i < N / 2; i++)
        timer_stop(&timers[order[i]]);
    std::vector<session_timer*> expected[2];
    for (size_t i = 0; i < N; i++)
        if (timer_armed(&timers[i]))
            expected[i % 3 == 0].push_back(&timers[i]);
    EXPECT_TRUE(due(T0 + 100 * MS - 1).empty());
    EXPECT_EQ(due(T0 + 100 * MS), expected[0]);
    EXPECT_EQ(due(T0 + 10 * SEC), expected[1]);
    uint64_t fired = 0;
    for (const session_timer& t : timers)
        fired += t.expirations + 2 * timer_armed(&t);
    EXPECT_EQ(fired, N / 2);
    EXPECT_TRUE(queue.heap.empty());
}

// A freed session leaves nothing in its worker's heap, whichever timers it had armed, and a
// session's timers go into the queue of the thread that made it.
TEST(WorkerTimer, AFreedSessionLeavesNoTimerBehind) {
    timer_queue* queue = thread_timer_queue();
    const size_t before = queue->heap.size();
    request_info req{};
    req.method = GET;
    req.session_id = (5ull << 32) + 1;
    req.num_conns = 2;
    req.latency_test = true;
    req.latency_interval = ms(50);
    req.trace_interval = ms(1500);
    session* sess = create_session(&req.session_id, &req, 3);
    ASSERT_NE(sess, nullptr);
    EXPECT_TRUE(sess->timers == queue && timer_armed(&sess->expiry_timer));
    EXPECT_LE(sess->expiry_timer.due_ns - monotonic_now_ns(), session_timeout * SEC);
    EXPECT_EQ(register_session_expiry_timer(sess), -1); // "already created"
    for (session_timer* t : {&sess->data_timer, &sess->trace_timer, &sess->latency_timer}) {
        EXPECT_TRUE(t->exists && !timer_armed(t));
        ASSERT_EQ(arm_timer(sess, t, ms(10), ms(10)), 0);
        EXPECT_EQ(session_from_timer(t), sess);
    }
    EXPECT_EQ(queue->heap.size(), before + 4);
    free_session(sess);
    EXPECT_EQ(queue->heap.size(), before);
}

} // namespace
