// Worker timers: the per-worker deadline heap of session timers and the one timer
// descriptor that wakes the worker for the earliest of them.
#include "timers.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

static thread_local timer_queue thread_queue = {{EPOLL_WORKER_TIMER, -1}, {}, 0, 0};

timer_queue* thread_timer_queue() {
    return &thread_queue;
}

// Added to the clock of every timer of the calling thread; see advance_thread_clock().
static thread_local int64_t clock_offset_ns = 0;

int64_t monotonic_now_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec + clock_offset_ns;
}

int timer_queue_open(timer_queue* queue, int epfd) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        return -1;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &queue->head;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    queue->head = {EPOLL_WORKER_TIMER, fd};
    queue->programmed_ns = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// The heap, ordered by deadline and then by start order.

static bool earlier(const session_timer* a, const session_timer* b) {
    return a->due_ns < b->due_ns || (a->due_ns == b->due_ns && a->order < b->order);
}

static void place(timer_queue* queue, size_t i, session_timer* timer) {
    queue->heap[i] = timer;
    timer->heap_slot = i + 1;
}

static void sift_up(timer_queue* queue, size_t i) {
    session_timer* timer = queue->heap[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (!earlier(timer, queue->heap[parent]))
            break;
        place(queue, i, queue->heap[parent]);
        i = parent;
    }
    place(queue, i, timer);
}

static void sift_down(timer_queue* queue, size_t i) {
    session_timer* timer = queue->heap[i];
    size_t n = queue->heap.size();
    for (;;) {
        size_t child = 2 * i + 1;
        if (child >= n)
            break;
        if (child + 1 < n && earlier(queue->heap[child + 1], queue->heap[child]))
            child++;
        if (!earlier(queue->heap[child], timer))
            break;
        place(queue, i, queue->heap[child]);
        i = child;
    }
    place(queue, i, timer);
}

static void heap_push(timer_queue* queue, session_timer* timer) {
    queue->heap.push_back(timer);
    sift_up(queue, queue->heap.size() - 1);
}

static void heap_remove(session_timer* timer) {
    timer_queue* queue = timer->queue;
    assert(queue != nullptr && timer->heap_slot != 0 && timer->heap_slot <= queue->heap.size());
    size_t i = timer->heap_slot - 1;
    assert(queue->heap[i] == timer);
    session_timer* last = queue->heap.back();
    queue->heap.pop_back();
    timer->heap_slot = 0;
    if (last == timer)
        return;
    place(queue, i, last);
    if (i > 0 && earlier(last, queue->heap[(i - 1) / 2]))
        sift_up(queue, i);
    else
        sift_down(queue, i);
}

// ---------------------------------------------------------------------------
// Arming and stopping.

static constexpr int64_t NSEC_PER_SEC = 1000000000;

// What timerfd_settime accepts: no negative seconds, nanoseconds within a second.
static bool valid_time(timespec ts) {
    return ts.tv_sec >= 0 && ts.tv_nsec >= 0 && ts.tv_nsec < NSEC_PER_SEC;
}

// Nanoseconds of a valid timespec, saturated: a time that large is never reached anyway.
static int64_t to_ns(timespec ts) {
    if (ts.tv_sec >= INT64_MAX / NSEC_PER_SEC)
        return INT64_MAX;
    return static_cast<int64_t>(ts.tv_sec) * NSEC_PER_SEC + ts.tv_nsec;
}

static int64_t saturated_add(int64_t a, int64_t b) {
    return a > INT64_MAX - b ? INT64_MAX : a + b;
}

// Sets the descriptor one-shot for an absolute expiry (0: disarm).
static int program(timer_queue* queue, int64_t due_ns) {
    if (queue->head.fd < 0) {
        queue->programmed_ns = due_ns;
        return 0;
    }
    itimerspec setting{};
    const int64_t real_ns = due_ns == 0 ? 0 : std::max<int64_t>(due_ns - clock_offset_ns, 1);
    setting.it_value.tv_sec = static_cast<time_t>(real_ns / NSEC_PER_SEC);
    setting.it_value.tv_nsec = static_cast<long>(real_ns % NSEC_PER_SEC);
    if (timerfd_settime(queue->head.fd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
        return -1;
    queue->programmed_ns = due_ns;
    return 0;
}

bool timer_armed(const session_timer* timer) {
    return timer->heap_slot != 0;
}

void timer_stop(session_timer* timer) {
    if (timer->heap_slot != 0)
        heap_remove(timer);
}

int timer_start_at(timer_queue* queue, session_timer* timer, int64_t now_ns, timespec first,
                   timespec interval) {
    if (!valid_time(first) || !valid_time(interval)) {
        errno = EINVAL;
        return -1;
    }
    timer_stop(timer);
    timer->expirations = 0;
    if (first.tv_sec == 0 && first.tv_nsec == 0)
        return 0; // as a timerfd given a zero expiry: disarmed
    timer->queue = queue;
    timer->due_ns = saturated_add(now_ns, to_ns(first));
    timer->period_ns = to_ns(interval);
    timer->order = queue->next_order++;
    heap_push(queue, timer);
    if (queue->programmed_ns == 0 || timer->due_ns < queue->programmed_ns)
        return program(queue, timer->due_ns);
    return 0;
}

int timer_start(timer_queue* queue, session_timer* timer, timespec first, timespec interval) {
    return timer_start_at(queue, timer, monotonic_now_ns(), first, interval);
}

// ---------------------------------------------------------------------------
// Dispatch.

session_timer* timer_queue_next_due(timer_queue* queue, int64_t now_ns) {
    if (queue->heap.empty() || queue->heap[0]->due_ns > now_ns)
        return nullptr;
    session_timer* timer = queue->heap[0];
    if (timer->period_ns == 0) {
        heap_remove(timer);
        timer->expirations = 1;
        return timer;
    }
    // Every period that ended by now counts, and the next expiry stays on the grid of the
    // first one, as a timerfd's does.
    uint64_t missed =
        static_cast<uint64_t>(now_ns - timer->due_ns) / static_cast<uint64_t>(timer->period_ns);
    timer->expirations = missed + 1;
    int64_t step = static_cast<int64_t>(
        std::min<uint64_t>(missed + 1, static_cast<uint64_t>(INT64_MAX / timer->period_ns)) *
        static_cast<uint64_t>(timer->period_ns));
    timer->due_ns = saturated_add(timer->due_ns, step);
    timer->order = queue->next_order++;
    sift_down(queue, 0);
    return timer;
}

bool timer_queue_consume(timer_queue* queue) {
    uint64_t expirations;
    ssize_t n = read(queue->head.fd, &expirations, sizeof(expirations));
    return n == static_cast<ssize_t>(sizeof(expirations)) || (n < 0 && errno == EAGAIN);
}

int timer_queue_reprogram(timer_queue* queue, int64_t now_ns) {
    // A one-shot setting that has passed is no setting any more.
    if (queue->programmed_ns != 0 && queue->programmed_ns <= now_ns)
        queue->programmed_ns = 0;
    if (queue->heap.empty())
        return 0;
    int64_t earliest = queue->heap[0]->due_ns;
    if (queue->programmed_ns != 0 && queue->programmed_ns <= earliest)
        return 0;
    return program(queue, earliest);
}

int64_t thread_clock_offset_ns() {
    return clock_offset_ns;
}

int advance_thread_clock(int64_t ns) {
    clock_offset_ns += ns;
    timer_queue* queue = thread_timer_queue();
    if (queue->heap.empty())
        return 0;
    // The descriptor counts in the unshifted clock: set it again for the earliest deadline,
    // which now lies earlier on that clock (in the past, when it has become due).
    return program(queue, queue->heap[0]->due_ns);
}
