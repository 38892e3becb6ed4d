// Live sessions. Each client thread runs a level-triggered epoll loop over its share of the
// sessions and a heap of ticks: at a tick a connection reads or sends its share of its
// rate, or a latency client asks for its statistics. Ticks lie on a fixed grid from the
// connection's start, so that a late tick does not move the next one; what a tick could not
// move is owed to the next ones, up to ten ticks' worth.
#include "live.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <queue>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vh_bench {

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t SEC = 1000000000;
constexpr size_t PEEK_LIMIT = 8192;
constexpr size_t TEXT_LIMIT = 4 << 20;    // a results reply or a final statistics document
constexpr size_t SEND_BUFFER = 1 << 16;   // the most one upload tick sends
constexpr uint64_t MAX_OWED_TICKS = 10;   // owed bytes beyond this many ticks are given up
constexpr double MIN_DELIVERED = 0.9;     // of the nominal rate, or the session failed
constexpr int POLL_MS = 10;               // the longest wait of a client thread
constexpr int64_t SETUP_LIMIT = 10 * SEC; // from the last start until every session is up
constexpr int64_t END_MARGIN = 10 * SEC;  // past the last session's due end
constexpr int WARMUP_SAMPLES = 5;         // a stable window of this many samples, or
constexpr int MAX_WARMUP_SAMPLES = 30;    // measurement starts at this many
constexpr size_t MAX_RECORDS = 4000000;   // per kind of record and thread
const unsigned char STATS_MAGIC[12] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 4};
const char STATS_REQUEST[] = "GET /results HTTP/1.1\r\nHost: bench\r\n\r\n";

// The steady clock is CLOCK_MONOTONIC, the server's clock for its samples.
int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleep_until_ns(int64_t t) {
    int64_t d = t - now_ns();
    if (d > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(d));
}

double cpu_seconds_self() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

const char* send_buffer() {
    static const std::string buffer(SEND_BUFFER, 'u');
    return buffer.data();
}

enum class lstate {
    idle,
    connecting,
    awaiting_reply, // the first reply
    streaming_down, // read at the rate at every tick
    streaming_up,   // sent at the rate at every tick
    control_idle,   // latency control: asks for the statistics at every tick
    awaiting_stats, // the header of a statistics reply
    stats_body,
    reading_results, // an upload's results reply, up to the server's close
    draining,        // a download half-closed: the rest of the stream, the statistics message
    done,
};

struct live_session;

struct live_conn {
    live_session* session = nullptr;
    int index = 0;
    int fd = -1;
    lstate state = lstate::idle;
    std::string request;
    int64_t next_tick_ns = 0; // the pending tick; 0: none
    uint64_t quota = 0;       // bytes per tick
    uint64_t owed = 0;        // bytes earlier ticks could not move
    uint64_t moved = 0;       // bytes read or sent at ticks
    uint64_t lost = 0;        // owed bytes given up
    uint64_t body_left = 0;   // of a statistics reply
    bool keep_body = false;   // the final statistics document is kept and read
    int64_t request_ns = 0;   // the statistics request went out
    std::string text;         // results reply or final statistics document
    unsigned char tail[16] = {};
    size_t tail_len = 0;
};

struct live_session {
    live_kind kind = live_kind::download;
    uint64_t id = 0;
    int64_t start_ns = 0;
    int64_t test_start_ns = 0; // an upload's interim reply: about the server's test start
    live_conn conns[2];
    int nconns = 1;
    bool up = false;
    bool final_due = false; // latency: fetch the final statistics once the reply under way is in
    bool finished = false;
    std::string failure;
};

struct tick {
    int64_t due;
    live_conn* conn;
    bool operator>(const tick& other) const {
        return due > other.due;
    }
};

struct live_run {
    const live_plan* plan = nullptr;
    int upload_intervals = 0;
    std::atomic<int> up{0};   // sessions up, or failed before they were
    std::atomic<int> open{0}; // sessions not finished
    std::atomic<bool> ending{false};
    std::atomic<int64_t> end_limit_ns{0};
};

struct live_thread {
    live_run* run = nullptr;
    int epfd = -1;
    std::vector<live_session*> sessions; // in the order of their start
    size_t started = 0;
    int open = 0;
    bool ending = false;
    std::priority_queue<tick, std::vector<tick>, std::greater<tick>> ticks;
    alignas(64) std::atomic<uint64_t> down_bytes{0};
    std::atomic<uint64_t> up_bytes{0};
    std::map<std::string, int> failures;
    std::vector<timed_error> sample_errors;
    std::vector<timed_error> latency_errors;
    int latency_missing = 0;
    std::vector<timed_error> stats_replies;
    std::thread thread;
};

bool set_events(live_thread& t, live_conn* c, uint32_t events, int op = EPOLL_CTL_MOD) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = c;
    return epoll_ctl(t.epfd, op, c->fd, &ev) == 0;
}

void close_conn(live_conn* c, bool graceful) {
    if (c->fd >= 0) {
        if (!graceful) {
            linger lg{1, 0};
            setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        }
        close(c->fd);
    }
    c->fd = -1;
    c->state = lstate::done;
    c->next_tick_ns = 0;
}

void end_session(live_thread& t, live_session* s) {
    if (s->finished)
        return;
    for (int i = 0; i < s->nconns; i++)
        close_conn(&s->conns[i], false);
    s->finished = true;
    t.open--;
    t.run->open.fetch_sub(1);
    if (!s->up) {
        s->up = true;
        t.run->up.fetch_add(1);
    }
}

void fail(live_thread& t, live_session* s, const std::string& reason) {
    if (s->finished)
        return;
    s->failure = reason;
    t.failures[reason]++;
    end_session(t, s);
}

// A connection that ended well; the session ends with its last one.
void conn_done(live_thread& t, live_conn* c) {
    close_conn(c, true);
    live_session* s = c->session;
    for (int i = 0; i < s->nconns; i++)
        if (s->conns[i].state != lstate::done)
            return;
    end_session(t, s);
}

void schedule(live_thread& t, live_conn* c, int64_t due) {
    c->next_tick_ns = due;
    t.ticks.push({due, c});
}

bool open_conn(live_thread& t, live_conn* c) {
    bool control = c->session->kind == live_kind::latency && c->index == 0;
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (c->fd < 0)
        return false;
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (!control) {
        setsockopt(c->fd, IPPROTO_TCP, TCP_MAXSEG, &LIVE_LINE_MSS, sizeof(LIVE_LINE_MSS));
        setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &LIVE_LINE_RCVBUF, sizeof(LIVE_LINE_RCVBUF));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(t.run->plan->port));
    if (connect(c->fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
        errno != EINPROGRESS)
        return false;
    c->state = lstate::connecting;
    return set_events(t, c, EPOLLOUT, EPOLL_CTL_ADD);
}

void start_session(live_thread& t, live_session* s) {
    if (!open_conn(t, &s->conns[0]))
        fail(t, s, std::string("connect: ") + strerror(errno));
}

bool send_all(live_conn* c, const char* data, size_t size) {
    return send(c->fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

void count_up(live_thread& t, live_session* s) {
    s->up = true;
    t.run->up.fetch_add(1);
}

void send_stats_request(live_thread& t, live_conn* c, bool final) {
    if (!send_all(c, STATS_REQUEST, sizeof(STATS_REQUEST) - 1)) {
        fail(t, c->session, "statistics request not sent");
        return;
    }
    c->keep_body = final;
    c->request_ns = now_ns();
    c->state = lstate::awaiting_stats;
}

// Fewer bytes than the rate asked for, beyond what the first ticks may leave owed.
bool below_rate(const live_conn* c) {
    uint64_t due = c->moved + c->owed + c->lost;
    return static_cast<double>(c->moved) < MIN_DELIVERED * static_cast<double>(due);
}

// The end of a download stream: the client half-closes, and the server answers with the
// rest of what it had sent and the statistics message.
void end_download(live_thread& t, live_conn* c) {
    live_session* s = c->session;
    if (below_rate(c)) {
        fail(t, s, "download read less than 90 % of its rate");
        return;
    }
    if (t.run->plan->server == dialect::nginx) {
        close_conn(c, false);
        conn_done(t, c);
        return;
    }
    c->next_tick_ns = 0;
    if (shutdown(c->fd, SHUT_WR) != 0 || !set_events(t, c, EPOLLIN)) {
        fail(t, s, std::string("download half-close: ") + strerror(errno));
        return;
    }
    c->state = lstate::draining;
}

void on_results(live_thread& t, live_conn* c) {
    live_session* s = c->session;
    results_times times;
    if (!parse_results_times(c->text, &times)) {
        fail(t, s, "results reply incomplete");
        return;
    }
    if (!times.ok) {
        fail(t, s, "results reply: RESULT: FAIL");
        return;
    }
    if (times.measur_s.size() != static_cast<size_t>(t.run->upload_intervals)) {
        fail(t, s,
             "results reply: " + std::to_string(times.measur_s.size()) + " of " +
                 std::to_string(t.run->upload_intervals) + " intervals");
        return;
    }
    for (timed_error e :
         results_sample_errors(times, LIVE_WARMUP_SAMPLE_MS / 1000.0, LIVE_INTERVAL_S)) {
        e.at_ns += s->test_start_ns;
        if (t.sample_errors.size() < MAX_RECORDS)
            t.sample_errors.push_back(e);
    }
    conn_done(t, c);
}

void on_stats(live_thread& t, live_conn* c) {
    live_session* s = c->session;
    if (t.stats_replies.size() < MAX_RECORDS)
        t.stats_replies.push_back(
            {c->request_ns, static_cast<double>(now_ns() - c->request_ns) / MS});
    c->state = lstate::control_idle;
    if (!c->keep_body) {
        if (s->final_due)
            send_stats_request(t, c, true);
        return;
    }
    int64_t start_ms = 0;
    std::vector<int64_t> ts;
    if (!latency_sample_times(c->text, 0, &start_ms, &ts) || ts.empty()) {
        fail(t, s, "final statistics document without samples");
        return;
    }
    int missing = 0;
    for (timed_error e : grid_errors(ts, LIVE_LATENCY_INTERVAL_MS, &missing)) {
        e.at_ns += start_ms * MS;
        if (t.latency_errors.size() < MAX_RECORDS)
            t.latency_errors.push_back(e);
    }
    t.latency_missing += missing;
    conn_done(t, c);
    if (!s->finished)
        end_download(t, &s->conns[1]);
}

// The first reply of a connection; returns false when the session failed.
bool on_first_reply(live_thread& t, live_conn* c, int status) {
    live_session* s = c->session;
    int64_t now = now_ns();
    bool control = s->kind == live_kind::latency && c->index == 0;
    int want = control ? 201 : s->kind == live_kind::upload ? 100 : 200;
    if (status != want) {
        fail(t, s, "first reply with status " + std::to_string(status));
        return false;
    }
    const live_plan& plan = *t.run->plan;
    if (control) {
        c->state = lstate::control_idle;
        if (!set_events(t, c, EPOLLIN) || !open_conn(t, &s->conns[1])) {
            fail(t, s, std::string("latency test connection: ") + strerror(errno));
            return false;
        }
        schedule(t, c, now + LIVE_STATS_PERIOD_MS * MS);
        return true;
    }
    if (s->kind == live_kind::upload) {
        // The server's warm-up samples fall every 100 ms from here: a send halfway between
        // two of them puts one share into each sample.
        s->test_start_ns = now;
        c->quota = static_cast<uint64_t>(plan.up_rate * LIVE_UP_TICK_MS / 1000);
        c->state = lstate::streaming_up;
        if (!set_events(t, c, EPOLLIN)) {
            fail(t, s, std::string("epoll_ctl: ") + strerror(errno));
            return false;
        }
        schedule(t, c, now + LIVE_UP_TICK_MS * MS / 2);
    } else {
        // Only errors: the data is read at ticks.
        c->quota = static_cast<uint64_t>(plan.down_rate * LIVE_DOWN_TICK_MS / 1000);
        c->state = lstate::streaming_down;
        if (!set_events(t, c, 0)) {
            fail(t, s, std::string("epoll_ctl: ") + strerror(errno));
            return false;
        }
        schedule(t, c, now + LIVE_DOWN_TICK_MS * MS);
    }
    count_up(t, s);
    return true;
}

// Reads what is there into c->text; false when the connection failed. Sets *eof.
bool read_text(live_conn* c, size_t limit, bool* eof) {
    char buffer[PEEK_LIMIT];
    for (int i = 0; i < 64; i++) {
        size_t want = std::min(sizeof(buffer), limit);
        ssize_t n = recv(c->fd, buffer, want, 0);
        if (n == 0) {
            *eof = true;
            return true;
        }
        if (n < 0)
            return errno == EAGAIN;
        if (c->text.size() + static_cast<size_t>(n) > TEXT_LIMIT)
            return false;
        c->text.append(buffer, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < want || (limit -= static_cast<size_t>(n)) == 0)
            return true;
    }
    return true;
}

void handle_event(live_thread& t, live_conn* c, uint32_t events) {
    live_session* s = c->session;
    switch (c->state) {
    case lstate::connecting: {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            fail(t, s, std::string("connect: ") + strerror(err));
            return;
        }
        if (!send_all(c, c->request.data(), c->request.size()) || !set_events(t, c, EPOLLIN)) {
            fail(t, s, "request not sent");
            return;
        }
        c->state = lstate::awaiting_reply;
        return;
    }
    case lstate::awaiting_reply:
    case lstate::awaiting_stats: {
        char buffer[PEEK_LIMIT];
        ssize_t n = recv(c->fd, buffer, sizeof(buffer), MSG_PEEK);
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            fail(t, s, "closed before a reply");
            return;
        }
        size_t length = header_length(std::string_view(buffer, static_cast<size_t>(n)));
        if (length == 0) {
            if (static_cast<size_t>(n) == sizeof(buffer))
                fail(t, s, "reply header too long");
            return;
        }
        std::string header(buffer, length);
        if (recv(c->fd, buffer, length, 0) != static_cast<ssize_t>(length)) {
            fail(t, s, "reply header lost");
            return;
        }
        if (c->state == lstate::awaiting_reply) {
            on_first_reply(t, c, status_code(header));
            return;
        }
        long long body = content_length(header);
        if (status_code(header) != 200 || body < 0) {
            fail(t, s, "statistics reply with status " + std::to_string(status_code(header)));
            return;
        }
        c->body_left = static_cast<uint64_t>(body);
        c->text.clear();
        c->state = lstate::stats_body;
        if (c->body_left == 0)
            on_stats(t, c);
        return;
    }
    case lstate::stats_body: {
        if (c->keep_body) {
            bool eof = false;
            size_t before = c->text.size();
            if (!read_text(c, c->body_left, &eof) || eof) {
                fail(t, s, "statistics reply cut short");
                return;
            }
            c->body_left -= c->text.size() - before;
        } else {
            ssize_t n = recv(c->fd, nullptr, c->body_left, MSG_TRUNC);
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                fail(t, s, "statistics reply cut short");
                return;
            }
            c->body_left -= static_cast<uint64_t>(n);
        }
        if (c->body_left == 0)
            on_stats(t, c);
        return;
    }
    case lstate::streaming_up:
        // The results reply has begun: the upload is over.
        c->next_tick_ns = 0;
        if (below_rate(c)) {
            fail(t, s, "upload sent less than 90 % of its rate");
            return;
        }
        c->state = lstate::reading_results;
        [[fallthrough]];
    case lstate::reading_results: {
        bool eof = false;
        if (!read_text(c, TEXT_LIMIT, &eof)) {
            fail(t, s, std::string("results reply: ") + strerror(errno));
            return;
        }
        if (eof)
            on_results(t, c);
        return;
    }
    case lstate::draining: {
        char buffer[1 << 16];
        for (int i = 0; i < 16; i++) {
            ssize_t n = recv(c->fd, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EAGAIN)
                return;
            if (n < 0) {
                fail(t, s, std::string("download end: ") + strerror(errno));
                return;
            }
            if (n == 0) {
                // The stream ends with the 16-byte statistics message.
                if (c->tail_len < 16 || memcmp(c->tail, STATS_MAGIC, sizeof(STATS_MAGIC)) != 0) {
                    fail(t, s, "download statistics message missing");
                    return;
                }
                conn_done(t, c);
                return;
            }
            size_t got = static_cast<size_t>(n);
            if (got >= 16) {
                memcpy(c->tail, buffer + got - 16, 16);
            } else {
                size_t keep = std::min(c->tail_len, 16 - got);
                memmove(c->tail, c->tail + c->tail_len - keep, keep);
                memcpy(c->tail + keep, buffer, got);
            }
            c->tail_len = std::min<size_t>(16, c->tail_len + got);
        }
        return;
    }
    case lstate::streaming_down:
    case lstate::control_idle: {
        // No data is expected here: only an error, a hang-up or an early close.
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || (events & (EPOLLERR | EPOLLHUP)) != 0) {
            fail(t, s, std::string("connection lost: ") + strerror(err));
            return;
        }
        char byte;
        ssize_t n = recv(c->fd, &byte, 1, MSG_PEEK);
        if (n == 0)
            fail(t, s, "closed by the server");
        else if (n > 0)
            fail(t, s, "unexpected bytes from the server");
        return;
    }
    case lstate::idle:
    case lstate::done:
        return;
    }
}

void handle_tick(live_thread& t, live_conn* c, int64_t due, int64_t now) {
    live_session* s = c->session;
    int64_t period = c->state == lstate::streaming_down ? LIVE_DOWN_TICK_MS * MS
                     : c->state == lstate::streaming_up ? LIVE_UP_TICK_MS * MS
                                                        : LIVE_STATS_PERIOD_MS * MS;
    // Ticks missed altogether are owed too; the next one stays on the grid.
    uint64_t missed = static_cast<uint64_t>((now - due) / period);
    int64_t next = due + static_cast<int64_t>(missed + 1) * period;
    uint64_t want = c->quota * (missed + 1) + c->owed;
    ssize_t n = 0;
    switch (c->state) {
    case lstate::streaming_down:
        n = recv(c->fd, nullptr, want, MSG_TRUNC);
        if (n == 0) {
            fail(t, s, "download closed by the server");
            return;
        }
        if (n > 0)
            t.down_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        break;
    case lstate::streaming_up:
        n = send(c->fd, send_buffer(), std::min<uint64_t>(want, SEND_BUFFER),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            t.up_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // The server sent its results and let the connection go when more data came:
            // the results are in the socket (or the reading says what is wrong).
            handle_event(t, c, EPOLLIN);
            return;
        }
        break;
    case lstate::control_idle:
        send_stats_request(t, c, false);
        if (!s->finished)
            schedule(t, c, next);
        return;
    case lstate::awaiting_stats:
    case lstate::stats_body:
        // The reply to the previous request is not in yet: its time shows it; skip a turn.
        schedule(t, c, next);
        return;
    default:
        return;
    }
    if (n < 0 && errno != EAGAIN) {
        fail(t, s,
             std::string(c->state == lstate::streaming_up ? "upload" : "download") + ": " +
                 strerror(errno));
        return;
    }
    uint64_t moved = n > 0 ? static_cast<uint64_t>(n) : 0;
    c->moved += moved;
    c->owed = want - moved;
    uint64_t cap = MAX_OWED_TICKS * c->quota;
    if (c->owed > cap) {
        c->lost += c->owed - cap;
        c->owed = cap;
    }
    schedule(t, c, next);
}

// The window is over: downloads end, latency clients fetch their final statistics, uploads
// go on to their results reply.
void begin_end(live_thread& t) {
    for (live_session* s : t.sessions) {
        if (s->finished)
            continue;
        if (!s->up) {
            fail(t, s, "not up at the end of the window");
            continue;
        }
        if (s->kind == live_kind::download) {
            end_download(t, &s->conns[0]);
        } else if (s->kind == live_kind::latency) {
            live_conn* control = &s->conns[0];
            control->next_tick_ns = 0;
            if (control->state == lstate::control_idle)
                send_stats_request(t, control, true);
            else
                s->final_due = true;
        }
    }
}

const char* state_name(lstate s) {
    switch (s) {
    case lstate::idle:
        return "not started";
    case lstate::connecting:
        return "connecting";
    case lstate::awaiting_reply:
        return "awaiting its first reply";
    case lstate::streaming_down:
        return "downloading";
    case lstate::streaming_up:
        return "uploading";
    case lstate::control_idle:
    case lstate::awaiting_stats:
    case lstate::stats_body:
        return "fetching statistics";
    case lstate::reading_results:
        return "reading its results";
    case lstate::draining:
        return "awaiting the download statistics message";
    case lstate::done:
        return "done";
    }
    return "?";
}

void thread_main(live_thread& t) {
    // The clients of a real server run elsewhere: here they yield their CPU to the server's
    // pinned workers whenever both could run. (The kernel's loopback work done in their
    // system calls goes with them.)
    if (t.run->plan->client_nice > 0) {
        errno = 0;
        int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        if (errno == 0)
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()),
                        std::min(19, nice + t.run->plan->client_nice));
    }
    epoll_event events[256];
    for (;;) {
        // Events first: an upload whose results have come sends nothing more.
        int64_t now = now_ns();
        int64_t next = now + POLL_MS * MS;
        if (!t.ticks.empty())
            next = std::min(next, t.ticks.top().due);
        if (t.started < t.sessions.size() && !t.ending)
            next = std::min(next, t.sessions[t.started]->start_ns);
        int timeout = static_cast<int>(std::max<int64_t>(0, (next - now + MS - 1) / MS));
        int n = epoll_wait(t.epfd, events, 256, timeout);
        for (int i = 0; i < n; i++) {
            auto* c = static_cast<live_conn*>(events[i].data.ptr);
            if (c->fd >= 0 && !c->session->finished)
                handle_event(t, c, events[i].events);
        }
        now = now_ns();
        while (t.started < t.sessions.size() && t.sessions[t.started]->start_ns <= now && !t.ending)
            start_session(t, t.sessions[t.started++]);
        if (!t.ending && t.run->ending.load()) {
            t.ending = true;
            for (size_t i = t.started; i < t.sessions.size(); i++)
                fail(t, t.sessions[i], "not started by the end of the window");
            t.started = t.sessions.size();
            begin_end(t);
        }
        // Every tick due now; each one is put back after now, so this ends.
        while (!t.ticks.empty() && t.ticks.top().due <= now) {
            tick k = t.ticks.top();
            t.ticks.pop();
            if (k.conn->next_tick_ns == k.due && k.conn->fd >= 0)
                handle_tick(t, k.conn, k.due, now);
        }
        if (t.ending && (t.open == 0 || now >= t.run->end_limit_ns.load()))
            break;
    }
    for (live_session* s : t.sessions) {
        if (s->finished)
            continue;
        const char* where = "done";
        for (int i = 0; i < s->nconns; i++)
            if (s->conns[i].state != lstate::done)
                where = state_name(s->conns[i].state);
        fail(t, s, std::string("did not end in time (") + where + ")");
    }
}

template <typename T> bool parse_number(std::string_view text, T* value) {
    auto r = std::from_chars(text.data(), text.data() + text.size(), *value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

} // namespace

std::string live_request(live_kind kind, uint64_t id, int conn_index, int upload_intervals) {
    const std::string tail = " HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::string conn =
        "&CONTROL=1&NUM_CONNECTIONS=" + std::string(kind == live_kind::latency ? "2" : "1") +
        "&CONNECTION=" + std::to_string(conn_index);
    switch (kind) {
    case live_kind::download:
        return "GET /download?UNITID=1&SESSIONID=" + std::to_string(id) + conn + tail;
    case live_kind::upload:
        return "POST /upload?UNITID=1&SESSIONID=" + std::to_string(id) + conn +
               "&WARMUP_SAMPLE_TIME=" + std::to_string(LIVE_WARMUP_SAMPLE_MS) +
               "&NUM_WARMUP_SAMPLES=" + std::to_string(WARMUP_SAMPLES) +
               "&MAX_WARMUP_SAMPLES=" + std::to_string(MAX_WARMUP_SAMPLES) +
               "&WARMUP_TOLERANCE=30&RESULTS_INTERVAL_PERIOD=" + std::to_string(LIVE_INTERVAL_S) +
               "&RESULT_NUM_INTERVALS=" + std::to_string(upload_intervals) + tail;
    case live_kind::latency:
        return "GET /latency?LATENCY_TEST=GET&LATENCY_INTERVAL=" +
               std::to_string(LIVE_LATENCY_INTERVAL_MS) + "&LATENCY_ID=" + std::to_string(id) +
               conn + tail;
    }
    return {};
}

bool parse_results_times(std::string_view reply, results_times* out) {
    *out = results_times{};
    static constexpr std::string_view FIRST = "VARNHOLT_HTTP_REPLY\n";
    if (reply.substr(0, FIRST.size()) != FIRST || reply.size() < FIRST.size() + 2 ||
        reply.substr(reply.size() - 2) != "\n\n")
        return false;
    long long num_warmup = -1, num_measur = -1;
    size_t pos = 0;
    while (pos < reply.size()) {
        size_t end = reply.find('\n', pos);
        std::string_view line = reply.substr(pos, end - pos);
        pos = end + 1;
        size_t colon = line.find(": ");
        if (colon == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, colon);
        std::string_view value = line.substr(colon + 2);
        if (key == "RESULT") {
            out->ok = value == "OK";
        } else if (key == "NUM_WARMUP" || key == "NUM_MEASUR") {
            if (!parse_number(value, key == "NUM_WARMUP" ? &num_warmup : &num_measur))
                return false;
        } else if (key == "WARMUP_SESSION" || key == "MEASUR_SESSION") {
            size_t a = value.find(' ');
            size_t b = a == std::string_view::npos ? a : value.find(' ', a + 1);
            long long sec = 0, nsec = 0;
            if (b == std::string_view::npos || !parse_number(value.substr(0, a), &sec) ||
                !parse_number(value.substr(a + 1, b - a - 1), &nsec) || nsec < 0 ||
                nsec > 999999999)
                return false;
            double t = static_cast<double>(sec) + static_cast<double>(nsec) / 1e9;
            (key == "WARMUP_SESSION" ? out->warmup_s : out->measur_s).push_back(t);
        }
    }
    return num_warmup == static_cast<long long>(out->warmup_s.size()) &&
           num_measur == static_cast<long long>(out->measur_s.size());
}

std::vector<timed_error> results_sample_errors(const results_times& times, double warmup_s,
                                               double interval_s) {
    std::vector<timed_error> errors;
    auto add = [&](double at, double nominal) {
        errors.push_back(
            {static_cast<int64_t>(std::llround(at * 1e9)), std::fabs(at - nominal) * 1000.0});
    };
    for (size_t k = 0; k < times.warmup_s.size(); k++)
        add(times.warmup_s[k], static_cast<double>(k + 1) * warmup_s);
    if (times.warmup_s.empty())
        return errors;
    double base = times.warmup_s.back();
    for (size_t j = 0; j < times.measur_s.size(); j++)
        add(times.measur_s[j], base + static_cast<double>(j + 1) * interval_s);
    return errors;
}

bool latency_sample_times(std::string_view json, size_t slot, int64_t* serverside_start_ms,
                          std::vector<int64_t>* ts_ms) {
    ts_ms->clear();
    // The number after `name` at `from`: up to the next ',' or '}'.
    auto number_after = [&](std::string_view name, size_t from, int64_t* value) -> size_t {
        size_t at = json.find(name, from);
        if (at == std::string_view::npos)
            return at;
        size_t begin = at + name.size();
        size_t end = json.find_first_of(",}", begin);
        if (end == std::string_view::npos || !parse_number(json.substr(begin, end - begin), value))
            return std::string_view::npos;
        return end;
    };
    if (number_after("\"serverside_start\":", 0, serverside_start_ms) == std::string_view::npos)
        return false;
    size_t pos = json.find("\"connections\":[");
    static constexpr std::string_view SAMPLES = "{\"samples\":[";
    for (size_t i = 0; i <= slot && pos != std::string_view::npos; i++) {
        pos = json.find(SAMPLES, pos);
        if (pos != std::string_view::npos)
            pos += SAMPLES.size();
    }
    if (pos == std::string_view::npos)
        return false;
    // No sample holds an array: the first ']' ends this connection's samples.
    size_t end = json.find(']', pos);
    if (end == std::string_view::npos)
        return false;
    while (pos < end) {
        int64_t ts = 0;
        size_t next = number_after("\"ts\":", pos, &ts);
        if (next == std::string_view::npos || next > end)
            break;
        ts_ms->push_back(ts);
        pos = next;
    }
    return true;
}

std::vector<timed_error> grid_errors(const std::vector<int64_t>& ts_ms, int period_ms,
                                     int* missing) {
    std::vector<timed_error> errors;
    *missing = 0;
    if (ts_ms.empty() || period_ms <= 0)
        return errors;
    // A sample is never early, and one late by less than a period does not move the next:
    // a gap shorter than two periods is one step, whatever the lateness of either end.
    std::vector<int64_t> slot{0};
    for (size_t i = 1; i < ts_ms.size(); i++)
        slot.push_back(slot.back() + std::max<int64_t>(1, (ts_ms[i] - ts_ms[i - 1]) / period_ms));
    int64_t origin = INT64_MAX;
    for (size_t i = 0; i < ts_ms.size(); i++)
        origin = std::min(origin, ts_ms[i] - slot[i] * period_ms);
    for (size_t i = 0; i < ts_ms.size(); i++)
        errors.push_back(
            {ts_ms[i] * MS, static_cast<double>(ts_ms[i] - origin - slot[i] * period_ms)});
    *missing = static_cast<int>(std::max<int64_t>(0, slot.back() + 1 - std::ssize(ts_ms)));
    return errors;
}

live_result run_live(const live_plan& plan, const live_probe& probe) {
    live_result result;
    int total = plan.downloads + plan.uploads + plan.latency;
    result.sessions = total;
    if (total <= 0 || plan.ramp_per_s <= 0) {
        result.error = "no sessions";
        return result;
    }
    if (plan.server == dialect::nginx && plan.downloads != total) {
        result.error = "nginx serves downloads only";
        return result;
    }
    live_run run;
    run.plan = &plan;
    double ramp_s = total / plan.ramp_per_s;
    // Uploads outlast the window: the first one, started at once, still runs at its end.
    if (plan.uploads > 0)
        run.upload_intervals =
            static_cast<int>(std::ceil(ramp_s + plan.settle_s + plan.window_s + 1.5));
    result.upload_intervals = run.upload_intervals;

    int threads = std::max(1, plan.threads);
    std::vector<std::unique_ptr<live_thread>> pool;
    if (!make_client_threads(threads, &run, &pool, &result.error))
        return result;

    // The kinds interleaved, each spread evenly over the ramp, dealt to the threads in turn.
    std::vector<std::unique_ptr<live_session>> sessions;
    int64_t t0 = now_ns() + 20 * MS;
    int counts[3] = {plan.downloads, plan.uploads, plan.latency};
    int made[3] = {0, 0, 0};
    for (int j = 0; j < total; j++) {
        // The kind furthest behind its share of the sessions made so far.
        int kind = 0;
        double best = -1;
        for (int k = 0; k < 3; k++) {
            double behind = static_cast<double>(counts[k]) * (j + 1) / total - made[k];
            if (made[k] < counts[k] && behind > best) {
                best = behind;
                kind = k;
            }
        }
        made[kind]++;
        auto s = std::make_unique<live_session>();
        s->kind = static_cast<live_kind>(kind);
        s->nconns = s->kind == live_kind::latency ? 2 : 1;
        s->id = s->kind == live_kind::latency ? (uint64_t{2} << 32) + plan.session_base + j
                                              : plan.session_base + j;
        s->start_ns = t0 + static_cast<int64_t>(j / plan.ramp_per_s * 1e9);
        for (int i = 0; i < s->nconns; i++) {
            live_conn& c = s->conns[i];
            c.session = s.get();
            c.index = i;
            c.request = plan.server == dialect::nginx
                            ? "GET /payload.bin HTTP/1.1\r\nHost: bench\r\n\r\n"
                            : live_request(s->kind, s->id, i, run.upload_intervals);
        }
        live_thread& t = *pool[static_cast<size_t>(j % threads)];
        t.sessions.push_back(s.get());
        t.open++;
        sessions.push_back(std::move(s));
    }
    run.open.store(total);
    run.end_limit_ns.store(INT64_MAX);
    for (auto& t : pool)
        t->thread = std::thread(thread_main, std::ref(*t));

    int64_t last_start = sessions.back()->start_ns;
    while (run.up.load() < total && now_ns() < last_start + SETUP_LIMIT)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int64_t window_start =
        std::max(now_ns(), last_start) + static_cast<int64_t>(plan.settle_s * 1e9);
    int64_t window_end = window_start + static_cast<int64_t>(plan.window_s * 1e9);
    if (run.upload_intervals > 0)
        window_end = std::min(window_end, t0 + run.upload_intervals * SEC);
    window_end = std::max(window_end, window_start + SEC / 2);

    auto bytes = [&](uint64_t* down, uint64_t* up) {
        *down = *up = 0;
        for (auto& t : pool) {
            *down += t->down_bytes.load(std::memory_order_relaxed);
            *up += t->up_bytes.load(std::memory_order_relaxed);
        }
    };
    sleep_until_ns(window_start);
    uint64_t down0, up0, down1, up1;
    double server0 = 0, server1 = 0;
    std::vector<double> threads0, threads1;
    probe.cpu(&server0, &threads0);
    long long written0 = probe.written ? probe.written() : 0;
    double client0 = cpu_seconds_self();
    double waited0 = probe.waited ? probe.waited() : 0;
    int64_t w0 = now_ns();
    bytes(&down0, &up0);
    sleep_until_ns(window_end);
    bytes(&down1, &up1);
    int64_t w1 = now_ns();
    double waited1 = probe.waited ? probe.waited() : 0;
    double client1 = cpu_seconds_self();
    long long written1 = probe.written ? probe.written() : 0;
    probe.cpu(&server1, &threads1);
    if (probe.rss)
        result.rss_live = probe.rss();
    result.live_at_end = run.open.load();

    // Uploads run on to their last interval; the last one started at last_start.
    int64_t due_end = run.upload_intervals > 0
                          ? last_start + (MAX_WARMUP_SAMPLES * LIVE_WARMUP_SAMPLE_MS * MS) +
                                run.upload_intervals * SEC
                          : now_ns();
    run.end_limit_ns.store(std::max(due_end, now_ns()) + END_MARGIN);
    run.ending.store(true);
    for (auto& t : pool) {
        t->thread.join();
        close(t->epfd);
        for (const auto& [reason, n] : t->failures) {
            result.failures[reason] += n;
            result.failed += n;
        }
        result.sample_errors.insert(result.sample_errors.end(), t->sample_errors.begin(),
                                    t->sample_errors.end());
        result.latency_errors.insert(result.latency_errors.end(), t->latency_errors.begin(),
                                     t->latency_errors.end());
        result.latency_missing += t->latency_missing;
        result.stats_replies.insert(result.stats_replies.end(), t->stats_replies.begin(),
                                    t->stats_replies.end());
    }
    result.window_start_ns = w0;
    result.window_end_ns = w1;
    result.window_s = static_cast<double>(w1 - w0) / 1e9;
    result.down_bytes = down1 - down0;
    result.up_bytes = up1 - up0;
    result.client_cpu_s = client1 - client0;
    result.server_written = written1 - written0;
    result.server_waited_s = waited1 - waited0;
    result.server_cpu_s = server1 - server0;
    if (threads0.size() == threads1.size()) {
        for (size_t i = 0; i < threads1.size(); i++)
            result.server_thread_cpu_s.push_back(threads1[i] - threads0[i]);
        std::sort(result.server_thread_cpu_s.rbegin(), result.server_thread_cpu_s.rend());
    }
    result.ok = true;
    return result;
}

} // namespace vh_bench
