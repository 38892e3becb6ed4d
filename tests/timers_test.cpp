// Unit tests of the worker timers: deadline order, periodic re-arming on the grid of the
// first expiry, coalesced missed periods, stops during a dispatch, the one descriptor and
// the timers of a freed session.
#include "session.h"
#include "settings.h"
#include "timers.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <random>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t SEC = 1000000000;
constexpr int64_t T0 = 1000 * SEC; // "now" of a queue driven by hand

timespec ms(long n) {
    return {n / 1000, (n % 1000) * 1000000};
}

session_timer make_timer(uint32_t kind = EPOLL_SESSION_DATA_TIMER) {
    session_timer t{};
    t.kind = kind;
    t.exists = true;
    return t;
}

// A queue without a descriptor, driven by explicit times.
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

TEST_F(Timers, TimersExpireInDeadlineOrderAndEqualDeadlinesInStartOrder) {
    session_timer a = make_timer(), b = make_timer(), c = make_timer(), d = make_timer();
    ASSERT_EQ(timer_start_at(&queue, &a, T0, ms(300), {}), 0);
    ASSERT_EQ(timer_start_at(&queue, &b, T0, ms(100), {}), 0);
    ASSERT_EQ(timer_start_at(&queue, &c, T0, ms(200), {}), 0);
    ASSERT_EQ(timer_start_at(&queue, &d, T0, ms(100), {}), 0);
    EXPECT_TRUE(due(T0 + 100 * MS - 1).empty()); // nothing before its deadline
    EXPECT_EQ(due(T0 + 100 * MS), (std::vector<session_timer*>{&b, &d}));
    EXPECT_EQ(due(T0 + 10 * SEC), (std::vector<session_timer*>{&c, &a}));
    // One-shot: each came once and is stopped now.
    for (session_timer* t : {&a, &b, &c, &d}) {
        EXPECT_FALSE(timer_armed(t));
        EXPECT_EQ(t->expirations, 1u);
    }
    EXPECT_TRUE(queue.heap.empty());
}

TEST_F(Timers, APeriodicTimerStaysOnTheGridOfItsFirstExpiry) {
    session_timer t = make_timer();
    ASSERT_EQ(timer_start_at(&queue, &t, T0, ms(1500), ms(1000)), 0);
    EXPECT_EQ(t.due_ns, T0 + 1500 * MS);
    EXPECT_EQ(t.period_ns, SEC);
    // Dispatched late, at 1.7 s: the next expiry is still at 2.5 s, not 2.7 s.
    EXPECT_EQ(due(T0 + 1700 * MS), std::vector<session_timer*>{&t});
    EXPECT_EQ(t.expirations, 1u);
    EXPECT_EQ(t.due_ns, T0 + 2500 * MS);
    EXPECT_TRUE(timer_armed(&t));
    EXPECT_TRUE(due(T0 + 2499 * MS).empty());
    EXPECT_EQ(due(T0 + 2500 * MS), std::vector<session_timer*>{&t});
    EXPECT_EQ(t.due_ns, T0 + 3500 * MS);
}

TEST_F(Timers, MissedPeriodsAreTakenTogetherAsOneExpiry) {
    session_timer t = make_timer();
    session_timer other = make_timer();
    ASSERT_EQ(timer_start_at(&queue, &t, T0, ms(100), ms(100)), 0);
    ASSERT_EQ(timer_start_at(&queue, &other, T0, ms(5000), {}), 0);
    // 100, 200, 300 and 400 ms passed by 450 ms: one expiry counting four, as a timerfd
    // read would, and the timer is not returned again in the same dispatch.
    EXPECT_EQ(due(T0 + 450 * MS), std::vector<session_timer*>{&t});
    EXPECT_EQ(t.expirations, 4u);
    EXPECT_EQ(t.due_ns, T0 + 500 * MS);
    // Exactly on a deadline: that one counts too.
    EXPECT_EQ(due(T0 + 700 * MS), std::vector<session_timer*>{&t});
    EXPECT_EQ(t.expirations, 3u);
    EXPECT_EQ(t.due_ns, T0 + 800 * MS);
    EXPECT_TRUE(timer_armed(&other));
}

TEST_F(Timers, ATimerStoppedDuringADispatchDoesNotExpire) {
    session_timer expiry = make_timer(EPOLL_SESSION_EXPIRY_TIMER);
    session_timer data = make_timer(EPOLL_SESSION_DATA_TIMER);
    session_timer trace = make_timer(EPOLL_SESSION_TRACE_TIMER);
    ASSERT_EQ(timer_start_at(&queue, &expiry, T0, ms(100), {}), 0);
    ASSERT_EQ(timer_start_at(&queue, &data, T0, ms(200), ms(200)), 0);
    ASSERT_EQ(timer_start_at(&queue, &trace, T0, ms(300), ms(300)), 0);
    // All three are due; the first one's handler stops the other two (as a finish does).
    std::vector<session_timer*> seen;
    while (session_timer* t = timer_queue_next_due(&queue, T0 + SEC)) {
        seen.push_back(t);
        if (t == &expiry) {
            timer_stop(&data);
            timer_stop(&trace);
            timer_stop(&trace); // twice, and on a stopped timer: nothing happens
        }
    }
    EXPECT_EQ(seen, std::vector<session_timer*>{&expiry});
    EXPECT_FALSE(timer_armed(&data));
    EXPECT_FALSE(timer_armed(&trace));
    EXPECT_TRUE(due(T0 + 100 * SEC).empty());
}

TEST_F(Timers, ATimerStartedAgainDuringADispatchWaitsForItsNewDeadline) {
    session_timer a = make_timer(), b = make_timer();
    ASSERT_EQ(timer_start_at(&queue, &a, T0, ms(100), ms(100)), 0);
    ASSERT_EQ(timer_start_at(&queue, &b, T0, ms(150), {}), 0);
    std::vector<session_timer*> seen;
    while (session_timer* t = timer_queue_next_due(&queue, T0 + 200 * MS)) {
        seen.push_back(t);
        if (t == &a) { // re-armed from its handler (as a switch to measurement does)
            ASSERT_EQ(timer_start_at(&queue, &a, T0 + 200 * MS, ms(2000), ms(2000)), 0);
        }
    }
    EXPECT_EQ(seen, (std::vector<session_timer*>{&a, &b}));
    EXPECT_EQ(a.due_ns, T0 + 2200 * MS);
    EXPECT_EQ(a.period_ns, 2 * SEC);
    EXPECT_EQ(a.expirations, 0u);
}

TEST_F(Timers, ManyTimersWithEqualDeadlinesSurviveStopsInAnyOrder) {
    constexpr size_t N = 1000;
    std::vector<session_timer> timers(N, make_timer());
    for (size_t i = 0; i < N; i++)
        ASSERT_EQ(timer_start_at(&queue, &timers[i], T0, ms(i % 3 == 0 ? 500 : 100), {}), 0);
    std::vector<size_t> order(N);
    for (size_t i = 0; i < N; i++)
        order[i] = i;
    std::mt19937 random(7);
    std::shuffle(order.begin(), order.end(), random);
    std::vector<bool> stopped(N, false);
    for (size_t i = 0; i < N / 2; i++) {
        timer_stop(&timers[order[i]]);
        stopped[order[i]] = true;
    }
    // The rest: first every 100 ms one in start order, then every 500 ms one.
    std::vector<session_timer*> expected;
    for (int64_t deadline : {100, 500})
        for (size_t i = 0; i < N; i++)
            if (!stopped[i] && (i % 3 == 0 ? 500 : 100) == deadline)
                expected.push_back(&timers[i]);
    EXPECT_EQ(due(T0 + SEC), expected);
    EXPECT_TRUE(queue.heap.empty());
}

TEST_F(Timers, ZeroAndInvalidTimesBehaveAsATimerDescriptorWould) {
    session_timer t = make_timer();
    ASSERT_EQ(timer_start_at(&queue, &t, T0, ms(100), ms(100)), 0);
    // A zero first expiry disarms.
    ASSERT_EQ(timer_start_at(&queue, &t, T0, {0, 0}, ms(100)), 0);
    EXPECT_FALSE(timer_armed(&t));
    // Out of range: refused with EINVAL, the timer left as it was.
    ASSERT_EQ(timer_start_at(&queue, &t, T0, ms(100), {}), 0);
    errno = 0;
    EXPECT_EQ(timer_start_at(&queue, &t, T0, {-1, 0}, {}), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(timer_start_at(&queue, &t, T0, {1, 1000000000}, {}), -1);
    EXPECT_EQ(timer_start_at(&queue, &t, T0, ms(100), {0, -1}), -1);
    EXPECT_TRUE(timer_armed(&t));
    EXPECT_EQ(t.due_ns, T0 + 100 * MS);
    // Absurdly far: never due, and no overflow into the past.
    session_timer far = make_timer();
    ASSERT_EQ(timer_start_at(&queue, &far, T0, {INT64_MAX / 2, 0}, {INT64_MAX / 2, 0}), 0);
    EXPECT_EQ(due(INT64_MAX - 1), std::vector<session_timer*>{&t});
    EXPECT_TRUE(timer_armed(&far));
}

// The worker's descriptor is set only when a deadline earlier than its setting comes, never
// by a stop, and after a dispatch for what is left.
TEST(WorkerTimer, TheDescriptorFollowsTheEarliestDeadline) {
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epfd, 0);
    timer_queue queue{{EPOLL_WORKER_TIMER, -1}, {}, 0, 0};
    ASSERT_EQ(timer_queue_open(&queue, epfd), 0);
    ASSERT_GE(queue.head.fd, 0);
    auto left_ns = [&] {
        itimerspec now{};
        EXPECT_EQ(timerfd_gettime(queue.head.fd, &now), 0);
        EXPECT_EQ(now.it_interval.tv_sec, 0);
        EXPECT_EQ(now.it_interval.tv_nsec, 0);
        return static_cast<int64_t>(now.it_value.tv_sec) * SEC + now.it_value.tv_nsec;
    };
    EXPECT_EQ(left_ns(), 0);
    session_timer late = make_timer(), early = make_timer(), soon = make_timer();
    ASSERT_EQ(timer_start(&queue, &late, {300, 0}, {}), 0);
    EXPECT_GT(left_ns(), 299 * SEC);
    const int64_t programmed = queue.programmed_ns;
    ASSERT_EQ(timer_start(&queue, &early, {100, 0}, {}), 0);
    EXPECT_LT(queue.programmed_ns, programmed);
    EXPECT_LE(left_ns(), 100 * SEC);
    // Stopping the earliest leaves the setting: the wake-up for it finds nothing due.
    const int64_t for_early = queue.programmed_ns;
    timer_stop(&early);
    EXPECT_EQ(queue.programmed_ns, for_early);
    EXPECT_GT(left_ns(), 99 * SEC);

    ASSERT_EQ(timer_start(&queue, &soon, {0, 20 * MS}, {}), 0);
    epoll_event ev{};
    ASSERT_EQ(epoll_wait(epfd, &ev, 1, 5000), 1);
    EXPECT_EQ(ev.data.ptr, &queue.head);
    EXPECT_TRUE(timer_queue_consume(&queue));
    EXPECT_TRUE(timer_queue_consume(&queue)); // nothing left to read: no failure
    int64_t now = monotonic_now_ns();
    EXPECT_EQ(timer_queue_next_due(&queue, now), &soon);
    EXPECT_EQ(timer_queue_next_due(&queue, now), nullptr);
    ASSERT_EQ(timer_queue_reprogram(&queue, now), 0);
    EXPECT_GT(left_ns(), 299 * SEC); // set for `late`, the one left
    EXPECT_EQ(epoll_wait(epfd, &ev, 1, 0), 0);

    timer_stop(&late);
    close(queue.head.fd);
    close(epfd);
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
    EXPECT_EQ(sess->timers, queue);
    EXPECT_TRUE(timer_armed(&sess->expiry_timer));
    EXPECT_EQ(sess->expiry_timer.due_ns - monotonic_now_ns() <= session_timeout * SEC, true);
    EXPECT_EQ(register_session_expiry_timer(sess), -1); // "already created"
    for (session_timer* t : {&sess->data_timer, &sess->trace_timer, &sess->latency_timer}) {
        EXPECT_TRUE(t->exists);
        EXPECT_FALSE(timer_armed(t));
        ASSERT_EQ(arm_timer(sess, t, ms(10), ms(10)), 0);
        EXPECT_EQ(session_from_timer(t), sess);
    }
    EXPECT_EQ(queue->heap.size(), before + 4);
    free_session(sess);
    EXPECT_EQ(queue->heap.size(), before);
    for (session_timer* t : queue->heap)
        EXPECT_NE(session_from_timer(t), sess);
}

} // namespace
