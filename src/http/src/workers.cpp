// The worker registry: every worker's epoll descriptor and the sessions it owns, where new
// sessions go, the end of accepting, and the batch of events a worker is dispatching.
#include "workers.h"

#include "settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

// Session owners: every worker's epoll descriptor and the number of live sessions it owns.
// A slot is filled once when its worker starts; the counts are only a hint for placing
// new sessions, so relaxed atomics do.

namespace {
struct worker_slot {
    std::atomic<int> epfd{-1};
    std::atomic<long> sessions{0};
};
constexpr size_t MAX_WORKER_SLOTS = 1024;
worker_slot worker_slots[MAX_WORKER_SLOTS];
std::atomic<size_t> worker_slots_used{0};
} // namespace

// The epoll descriptor of the worker running on this thread, -1 elsewhere.
static thread_local int own_epfd = -1;

int worker_epfd() {
    return own_epfd;
}

void register_worker(int epfd) {
    own_epfd = epfd;
    size_t i = worker_slots_used.fetch_add(1);
    if (i < MAX_WORKER_SLOTS)
        worker_slots[i].epfd.store(epfd);
}

static worker_slot* worker_slot_of(int epfd) {
    size_t used = std::min(worker_slots_used.load(), MAX_WORKER_SLOTS);
    for (size_t i = 0; i < used; i++)
        if (worker_slots[i].epfd.load(std::memory_order_relaxed) == epfd)
            return &worker_slots[i];
    return nullptr;
}

long owned_session_count(int epfd) {
    worker_slot* slot = worker_slot_of(epfd);
    return slot != nullptr ? slot->sessions.load(std::memory_order_relaxed) : 0;
}

void count_owned_session(int owner_epfd, int delta) {
    if (worker_slot* slot = worker_slot_of(owner_epfd))
        slot->sessions.fetch_add(delta, std::memory_order_relaxed);
}

int choose_session_owner(int epfd) {
    worker_slot* self = worker_slot_of(epfd);
    if (self == nullptr)
        return epfd;
    // A hand-over costs two epoll_ctl calls and a wake-up of the other worker, as much as a
    // short session's own work, and the counts of short sessions swing by a few all the
    // time: under load a session moves only when the other worker owns clearly fewer (a
    // quarter less), which keeps the split within that of even. With fewer than four
    // sessions any difference moves it, so that a small burst is spread at once.
    long own = self->sessions.load(std::memory_order_relaxed);
    long fewest = own - own / 4;
    int owner = epfd;
    size_t used = std::min(worker_slots_used.load(), MAX_WORKER_SLOTS);
    for (size_t i = 0; i < used; i++) {
        int fd = worker_slots[i].epfd.load(std::memory_order_relaxed);
        long n = worker_slots[i].sessions.load(std::memory_order_relaxed);
        if (fd >= 0 && n < fewest) {
            fewest = n;
            owner = fd;
        }
    }
    return owner;
}

// Set once by the main thread when the server starts stopping.
static std::atomic<bool> accepting_stopped{false};

bool accepting_is_stopped() {
    return accepting_stopped.load(std::memory_order_relaxed);
}

void stop_accepting(const listen_socket* sockets, size_t count) {
    accepting_stopped.store(true);
    // Another thread's epoll set may be changed at any time; a worker that is draining a
    // listening socket right now sees the flag before its next accept.
    size_t used = std::min(worker_slots_used.load(), MAX_WORKER_SLOTS);
    for (size_t w = 0; w < used; w++) {
        int epfd = worker_slots[w].epfd.load();
        for (size_t i = 0; epfd >= 0 && i < count; i++)
            if (epoll_ctl(epfd, EPOLL_CTL_DEL, sockets[i].fd, nullptr) != 0 && errno != ENOENT)
                VH_LOG(LOG_WARNING, "epoll_ctl: %s", strerror(errno));
    }
}

// The batch of events being dispatched. A PUT connection is watched through two
// descriptors, so one batch may hold two events for it: when a record is released,
// its later events in the batch are pointed at a record that is skipped.
static thread_local event_batch batch = {nullptr, 0, 0};
static varnholt::epoll_data stale_record = {UINT32_MAX, -1};

event_batch* thread_event_batch() {
    return &batch;
}

bool is_stale_record(const void* record) {
    return record == &stale_record;
}

void forget_pending_events(const void* record) {
    for (int i = batch.next; i < batch.count; i++)
        if (batch.events[i].data.ptr == record)
            batch.events[i].data.ptr = &stale_record;
}
