// The worker registry: every worker's epoll descriptor and the sessions it owns, where new
// sessions go, the end of accepting, and the batch of events a worker is dispatching.
#include "workers.h"

#include "settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <glib.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

// Session owners: every worker's epoll descriptor and the number of live sessions it owns.
// A slot is filled once when its worker starts; the counts are only a hint for placing
// new sessions, so relaxed atomics do.

namespace {
// A worker's mailbox: mail queued under its lock, and an eventfd in the worker's epoll set
// that is written when mail arrives in an empty queue.
struct mailbox {
    uint32_t kind; // EPOLL_WORKER_MAIL
    int fd;
    pthread_mutex_t lock;
    GArray* queue; // worker_mail, posted and not yet taken
    GArray* taken; // what the worker took last, kept for its allocation
};

struct worker_slot {
    std::atomic<int> epfd{-1};
    std::atomic<long> sessions{0};
    std::atomic<mailbox*> box{nullptr};
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

size_t worker_count() {
    return std::min(worker_slots_used.load(), MAX_WORKER_SLOTS);
}

int worker_after(int epfd, size_t offset) {
    size_t used = worker_count();
    for (size_t i = 0; i < used; i++) {
        if (worker_slots[i].epfd.load(std::memory_order_relaxed) != epfd)
            continue;
        int fd = worker_slots[(i + offset) % used].epfd.load(std::memory_order_relaxed);
        return fd >= 0 ? fd : epfd;
    }
    return epfd;
}

static thread_local mailbox* own_box = nullptr;

int open_mailbox(int epfd) {
    worker_slot* slot = worker_slot_of(epfd);
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (slot == nullptr || fd < 0) {
        VH_LOG(LOG_ERR, "%ld: could not open the worker's mailbox: %s", thread_tag(),
               strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    auto* box = new mailbox{EPOLL_WORKER_MAIL, fd, PTHREAD_MUTEX_INITIALIZER,
                            g_array_new(FALSE, FALSE, sizeof(worker_mail)),
                            g_array_new(FALSE, FALSE, sizeof(worker_mail))};
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = box;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        close(fd);
        g_array_free(box->queue, TRUE);
        g_array_free(box->taken, TRUE);
        delete box;
        return -1;
    }
    // Published after it is whole: posters read the slot with acquire.
    slot->box.store(box, std::memory_order_release);
    own_box = box;
    return 0;
}

int post_mail(int epfd, const worker_mail& mail) {
    worker_slot* slot = worker_slot_of(epfd);
    mailbox* box = slot != nullptr ? slot->box.load(std::memory_order_acquire) : nullptr;
    if (box == nullptr)
        return -1;
    pthread_mutex_lock(&box->lock);
    g_array_append_val(box->queue, mail);
    const bool was_empty = box->queue->len == 1;
    pthread_mutex_unlock(&box->lock);
    // Mail added to a queue that was not empty finds its worker woken already.
    if (was_empty) {
        uint64_t one = 1;
        if (write(box->fd, &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one)))
            VH_LOG(LOG_ERR, "%ld: could not wake worker %d: %s", thread_tag(), epfd,
                   strerror(errno));
    }
    return 0;
}

const worker_mail* take_mail(size_t* count) {
    *count = 0;
    mailbox* box = own_box;
    if (box == nullptr)
        return nullptr;
    // Cleared before the queue is taken: mail posted after this wakes the worker again.
    uint64_t wakes;
    (void)!read(box->fd, &wakes, sizeof(wakes));
    g_array_set_size(box->taken, 0);
    pthread_mutex_lock(&box->lock);
    std::swap(box->queue, box->taken);
    pthread_mutex_unlock(&box->lock);
    *count = box->taken->len;
    return reinterpret_cast<const worker_mail*>(box->taken->data);
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
