// The reference server of the benchmarks: the design of the server under test reduced to
// its data path and nothing else, so that its figures show what this design can reach on
// the machine. Pinned epoll workers, level-triggered connections, sendfile for downloads,
// recv(MSG_TRUNC) for uploads; no sessions, timers, parsing beyond the method, or logging.
//
//   vh-ref-server --file PATH [--threads N] [--spread]
//
// The listening socket is descriptor 3, handed over by the benchmark driver. Without
// --spread all connections open at a time are served by one worker, the one that accepted
// the first of them (as one session of the server under test is served by one worker, most
// often the one that accepted its first connection); with it, connections go to the
// workers in turn.
//
// GET:  a 200 header announcing 500,000,000,000 bytes, then the file for as long as the
//       client reads (restarted from its beginning once past the middle, as the server does).
// POST: "100 Continue", then everything received is discarded until the client closes.
// HEAD: a 200 header; the connection then waits for the next request.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int LISTEN_FD = 3;
constexpr size_t REQUEST_LIMIT = 16384;

const char GET_REPLY[] = "HTTP/1.1 200 OK\r\nContent-Length: 500000000000\r\n\r\n";
const char POST_REPLY[] = "HTTP/1.1 100 Continue\r\n\r\n";
const char HEAD_REPLY[] = "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: "
                          "500000000000\r\n\r\n";

enum conn_state : uint8_t { READING_REQUEST, SENDING_FILE, DISCARDING };

struct conn {
    int fd;
    conn_state state;
    off_t offset;
    // Bytes of a request that arrived in pieces; null while none is pending (the usual case:
    // a request fits one segment), so an idle connection costs only this small record.
    std::string* partial;
};

struct worker {
    int epfd = -1;
    int cpu = 0;
};

int file_fd = -1;
off_t file_size = 0;
bool spread = false;
std::vector<worker> workers;
std::atomic<unsigned> next_worker{0};
// Without --spread: the connections open now and the worker serving them.
std::mutex batch_mutex;
size_t batch_open = 0;
size_t batch_worker = 0;

void close_conn(conn* c) {
    close(c->fd); // also leaves the epoll set: the descriptor is not shared
    delete c->partial;
    delete c;
    if (!spread) {
        std::lock_guard<std::mutex> lock(batch_mutex);
        batch_open--;
    }
}

size_t target_worker(size_t self) {
    if (spread)
        return next_worker.fetch_add(1, std::memory_order_relaxed) % workers.size();
    std::lock_guard<std::mutex> lock(batch_mutex);
    if (batch_open++ == 0)
        batch_worker = self;
    return batch_worker;
}

bool set_events(int epfd, conn* c, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = c;
    return epoll_ctl(epfd, EPOLL_CTL_MOD, c->fd, &ev) == 0;
}

// A whole short reply in one send: the socket's buffer is empty when a reply is due.
bool send_reply(conn* c, const char* text, size_t len) {
    return send(c->fd, text, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

void accept_all(int listen_fd, size_t self) {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0)
            return; // EAGAIN, or a transient failure: the next event retries
        auto* c = new conn{fd, READING_REQUEST, 0, nullptr};
        size_t target = target_worker(self);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c;
        if (epoll_ctl(workers[target].epfd, EPOLL_CTL_ADD, fd, &ev) != 0)
            close_conn(c);
    }
}

// false: close the connection.
bool handle_request(int epfd, conn* c) {
    static thread_local char buffer[REQUEST_LIMIT];
    ssize_t n = recv(c->fd, buffer, sizeof(buffer), 0);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    std::string_view text(buffer, static_cast<size_t>(n));
    if (c->partial != nullptr) {
        c->partial->append(text);
        text = *c->partial;
    }
    if (text.find("\r\n\r\n") == std::string_view::npos) {
        if (text.size() >= REQUEST_LIMIT)
            return false;
        if (c->partial == nullptr)
            c->partial = new std::string(text);
        return true;
    }
    char method = text[0];
    delete c->partial;
    c->partial = nullptr;
    switch (method) {
    case 'G':
        c->state = SENDING_FILE;
        return send_reply(c, GET_REPLY, sizeof(GET_REPLY) - 1) &&
               set_events(epfd, c, EPOLLOUT | EPOLLRDHUP);
    case 'P':
        c->state = DISCARDING;
        return send_reply(c, POST_REPLY, sizeof(POST_REPLY) - 1);
    case 'H':
        return send_reply(c, HEAD_REPLY, sizeof(HEAD_REPLY) - 1);
    default:
        return false;
    }
}

bool send_file(conn* c, uint32_t events) {
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        return false;
    if (c->offset > file_size / 2)
        c->offset = 0;
    ssize_t n = sendfile(c->fd, file_fd, &c->offset, static_cast<size_t>(file_size - c->offset));
    return n >= 0 || errno == EAGAIN;
}

bool discard(conn* c) {
    ssize_t n = recv(c->fd, nullptr, static_cast<size_t>(SSIZE_MAX), MSG_TRUNC);
    if (n > 0)
        return true;
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

void* run_worker(void* arg) {
    const worker* w = static_cast<const worker*>(arg);
    epoll_event events[128];
    for (;;) {
        int n = epoll_wait(w->epfd, events, 128, -1);
        for (int i = 0; i < n; i++) {
            auto* c = static_cast<conn*>(events[i].data.ptr);
            if (c == nullptr) {
                accept_all(LISTEN_FD, static_cast<size_t>(w - workers.data()));
                continue;
            }
            bool keep = false;
            switch (c->state) {
            case READING_REQUEST:
                keep = handle_request(w->epfd, c);
                break;
            case SENDING_FILE:
                keep = send_file(c, events[i].events);
                break;
            case DISCARDING:
                keep = discard(c);
                break;
            }
            if (!keep)
                close_conn(c);
        }
    }
    return nullptr;
}

[[noreturn]] void usage() {
    fprintf(stderr, "usage: vh-ref-server --file PATH [--threads N] [--spread]\n"
                    "(listening socket on descriptor 3)\n");
    exit(2);
}

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    long threads = 0;
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        if (arg == "--file" && i + 1 < argc)
            path = argv[++i];
        else if (arg == "--threads" && i + 1 < argc)
            threads = strtol(argv[++i], nullptr, 10);
        else if (arg == "--spread")
            spread = true;
        else
            usage();
    }
    if (path == nullptr)
        usage();
    file_fd = open(path, O_RDONLY);
    struct stat st {};
    if (file_fd < 0 || fstat(file_fd, &st) != 0 || st.st_size == 0) {
        fprintf(stderr, "vh-ref-server: cannot use %s: %s\n", path, strerror(errno));
        return 1;
    }
    file_size = st.st_size;

    // One worker per allowed CPU, pinned, as the server under test does.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof(allowed), &allowed);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
        if (CPU_ISSET(cpu, &allowed))
            cpus.push_back(cpu);
    size_t count = threads > 0 ? static_cast<size_t>(threads) : cpus.size();
    workers.resize(count);
    for (size_t i = 0; i < count; i++) {
        workers[i].cpu = cpus[i % cpus.size()];
        workers[i].epfd = epoll_create1(0);
        epoll_event ev{};
        // Every worker may accept; exclusive wake-ups keep one connection from waking all.
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.ptr = nullptr;
        if (workers[i].epfd < 0 || epoll_ctl(workers[i].epfd, EPOLL_CTL_ADD, LISTEN_FD, &ev) != 0) {
            fprintf(stderr, "vh-ref-server: epoll: %s\n", strerror(errno));
            return 1;
        }
    }
    int flags = fcntl(LISTEN_FD, F_GETFL);
    if (flags < 0 || fcntl(LISTEN_FD, F_SETFL, flags | O_NONBLOCK) != 0) {
        fprintf(stderr, "vh-ref-server: no listening socket on descriptor 3\n");
        return 1;
    }
    std::vector<pthread_t> ids(count);
    for (size_t i = 0; i < count; i++) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(workers[i].cpu, &one);
        pthread_attr_setaffinity_np(&attr, sizeof(one), &one);
        if (pthread_create(&ids[i], &attr, run_worker, &workers[i]) != 0) {
            fprintf(stderr, "vh-ref-server: pthread_create failed\n");
            return 1;
        }
        pthread_attr_destroy(&attr);
    }
    pthread_join(ids[0], nullptr);
    return 0;
}
