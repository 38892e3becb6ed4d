// Load generators of the benchmarks. Each client thread runs its own level-triggered epoll
// loop over its share of the connections. Downloads are drained with recv(MSG_TRUNC), which
// frees the data in the kernel without copying it; uploads are sent from one shared buffer.
// Over TLS, downloads are decrypted into a scratch buffer and thrown away, uploads encrypted
// from the same shared buffer.
#include "load.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vh_bench {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr size_t UPLOAD_CHUNK = 1 << 20;
constexpr size_t PEEK_LIMIT = 8192;
constexpr uint64_t RATE_DATA_BYTES = 1024; // "a little data" after the first reply
constexpr auto SETUP_LIMIT = std::chrono::seconds(10);
constexpr auto TEARDOWN_LIMIT = std::chrono::seconds(5);
constexpr int POLL_MS = 20;

// Every session of the process gets a new id, so that no run can meet a session of an
// earlier run that the server has not finished yet.
std::atomic<uint32_t> next_session_id{1};

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               clock_type::now().time_since_epoch())
        .count();
}

double cpu_seconds_self() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

const char* upload_buffer() {
    static const std::unique_ptr<char[]> buffer = [] {
        std::unique_ptr<char[]> b(new char[UPLOAD_CHUNK]);
        for (size_t i = 0; i < UPLOAD_CHUNK; i++)
            b[i] = static_cast<char>('a' + i % 26);
        return b;
    }();
    return buffer.get();
}

enum class cstate {
    connecting,
    awaiting_header,
    streaming_down, // varnholt and reference downloads: the data never ends
    nginx_body,     // one response body of a pipelined static GET
    streaming_up,
    rate_body, // the little data of a short session
    reading_results,
    handshaking, // over TLS
    tls_closing, // over TLS: an upload's last record and close_notify, then the half-close
    closed,
};

struct client_conn {
    int fd = -1;
    cstate state = cstate::closed;
    uint32_t session_id = 0;
    int index = 0;
    uint64_t remaining = 0;
    int64_t started_ns = 0;
    bool counted_ready = false;
    std::string request;
    std::string results;
    SSL* ssl = nullptr;         // over TLS, once the connection is up
    bool write_pending = false; // over TLS: a record only partly sent
    std::string in;             // over TLS: a reply header being collected
};

struct shared_run {
    const load_plan* plan = nullptr;
    SSL_CTX* tls = nullptr; // when the plan is over TLS
    std::atomic<int> ready{0};
    std::atomic<bool> measuring{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::string error;

    void fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (error.empty())
            error = what;
        failed.store(true);
    }
};

struct client_thread {
    shared_run* run = nullptr;
    int epfd = -1;
    std::vector<std::unique_ptr<client_conn>> conns;
    alignas(64) std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> operations{0};
    std::vector<double> latencies_us;
    int results_ok = 0;
    int results_expected = 0;
    std::thread thread;
};

bool set_events(int epfd, client_conn* c, uint32_t events, int op = EPOLL_CTL_MOD) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = c;
    return epoll_ctl(epfd, op, c->fd, &ev) == 0;
}

// Abortive by default: no TIME_WAIT left behind by thousands of short sessions, and no
// unread download data to drain. A kept-open connection between two requests is closed
// gracefully, as a client that is done would close it.
void close_conn(client_conn* c, bool graceful = false) {
    if (c->ssl != nullptr)
        SSL_free(c->ssl);
    c->ssl = nullptr;
    c->in.clear();
    if (c->fd < 0)
        return;
    if (!graceful) {
        linger lg{1, 0};
        setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    }
    close(c->fd);
    c->fd = -1;
    c->state = cstate::closed;
}

bool start_connect(client_thread& t, client_conn* c, int port) {
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (c->fd < 0)
        return false;
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    c->started_ns = now_ns();
    if (connect(c->fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
        errno != EINPROGRESS) {
        close(c->fd);
        c->fd = -1;
        return false;
    }
    c->state = cstate::connecting;
    return set_events(t.epfd, c, EPOLLOUT, EPOLL_CTL_ADD);
}

bool send_request(client_conn* c) {
    return send(c->fd, c->request.data(), c->request.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(c->request.size());
}

void record_latency(client_thread& t, int64_t started_ns) {
    if (t.run->measuring.load(std::memory_order_relaxed) && t.latencies_us.size() < 4000000)
        t.latencies_us.push_back(static_cast<double>(now_ns() - started_ns) / 1000.0);
}

// A short session: a new connection with a new session id.
bool next_session(client_thread& t, client_conn* c) {
    const load_plan& plan = *t.run->plan;
    close_conn(c);
    c->session_id = next_session_id.fetch_add(1);
    c->request = request_text(plan, c->session_id, 0);
    return start_connect(t, c, plan.port);
}

// Returns false when the connection failed.
bool on_header(client_thread& t, client_conn* c, std::string_view header) {
    const load_plan& plan = *t.run->plan;
    int status = status_code(header);
    switch (plan.kind) {
    case load_kind::download:
        if (status != 200)
            return false;
        if (!c->counted_ready) {
            c->counted_ready = true;
            t.run->ready.fetch_add(1);
        }
        if (plan.server == dialect::nginx) {
            long long length = content_length(header);
            if (length <= 0)
                return false;
            c->remaining = static_cast<uint64_t>(length);
            c->state = cstate::nginx_body;
        } else {
            c->state = cstate::streaming_down;
        }
        return true;
    case load_kind::upload:
        if (status != 100)
            return false;
        c->counted_ready = true;
        t.run->ready.fetch_add(1);
        c->state = cstate::streaming_up;
        return set_events(t.epfd, c, EPOLLOUT);
    case load_kind::session_rate:
        if (status != 200)
            return false;
        c->remaining = RATE_DATA_BYTES;
        c->state = cstate::rate_body;
        return true;
    case load_kind::head:
        if (status != 200)
            return false;
        record_latency(t, c->started_ns);
        t.operations.fetch_add(1, std::memory_order_relaxed);
        if (t.run->stop.load()) {
            close_conn(c, true); // the reply is in: the connection ends between requests
            return true;
        }
        c->started_ns = now_ns();
        return send_request(c);
    }
    return false;
}

bool handle_tls_event(client_thread& t, client_conn* c, uint32_t events);

bool handle_event(client_thread& t, client_conn* c, uint32_t events) {
    if (t.run->tls != nullptr)
        return handle_tls_event(t, c, events);
    const load_plan& plan = *t.run->plan;
    char buffer[PEEK_LIMIT];
    switch (c->state) {
    case cstate::connecting: {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return false;
        if (!send_request(c))
            return false;
        // Static downloads keep a second request in flight, so that the server never
        // waits for the client between two responses.
        if (plan.kind == load_kind::download && plan.server == dialect::nginx && !send_request(c))
            return false;
        if (plan.kind == load_kind::head)
            c->started_ns = now_ns();
        c->state = cstate::awaiting_header;
        return set_events(t.epfd, c, EPOLLIN);
    }
    case cstate::awaiting_header: {
        ssize_t n = recv(c->fd, buffer, sizeof(buffer), MSG_PEEK);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        std::string_view text(buffer, static_cast<size_t>(n));
        size_t length = header_length(text);
        if (length == 0)
            return static_cast<size_t>(n) < sizeof(buffer); // the rest is on its way
        if (recv(c->fd, buffer, length, 0) != static_cast<ssize_t>(length))
            return false;
        return on_header(t, c, std::string_view(buffer, length));
    }
    case cstate::streaming_down: {
        ssize_t n = recv(c->fd, nullptr, 1 << 30, MSG_TRUNC);
        if (n > 0)
            t.bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        return n > 0 || (n < 0 && errno == EAGAIN);
    }
    case cstate::nginx_body: {
        ssize_t n = recv(c->fd, nullptr, c->remaining, MSG_TRUNC);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        t.bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        c->remaining -= static_cast<uint64_t>(n);
        if (c->remaining == 0) {
            c->state = cstate::awaiting_header;
            return send_request(c);
        }
        return true;
    }
    case cstate::streaming_up: {
        if (events & (EPOLLERR | EPOLLHUP))
            return false;
        ssize_t n = send(c->fd, upload_buffer(), UPLOAD_CHUNK, MSG_NOSIGNAL);
        if (n > 0)
            t.bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        return n > 0 || (n < 0 && errno == EAGAIN);
    }
    case cstate::rate_body: {
        ssize_t n = recv(c->fd, nullptr, c->remaining, MSG_TRUNC);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        c->remaining -= static_cast<uint64_t>(n);
        if (c->remaining > 0)
            return true;
        record_latency(t, c->started_ns);
        t.operations.fetch_add(1, std::memory_order_relaxed);
        return next_session(t, c);
    }
    case cstate::reading_results: {
        ssize_t n = recv(c->fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            if (c->results.size() < 65536)
                c->results.append(buffer, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && errno == EAGAIN)
            return true;
        if (c->results.rfind("VARNHOLT_HTTP_REPLY\n", 0) == 0 &&
            c->results.find("\nRESULT: OK\n") != std::string::npos)
            t.results_ok++;
        close_conn(c);
        return true;
    }
    case cstate::closed:
        return true;
    case cstate::handshaking: // over TLS only
    case cstate::tls_closing:
        return false;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Over TLS

// Reads of this size take whole records (16 KiB of plaintext at most), so that nothing stays
// decrypted where epoll cannot see it.
constexpr size_t TLS_SCRATCH = 1 << 16;
// Records read or written for one event, at most: the rest waits in the kernel, where epoll
// sees it, while the other connections get their turn.
constexpr int TLS_RECORDS_PER_EVENT = 64;

SSL_CTX* make_tls_context() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        return nullptr;
    static const unsigned char ALPN[] = "\x08http/1.1";
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    // The suite the server under test picks for clients that offer the usual ones; nginx gets
    // the same.
    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256");
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_alpn_protos(ctx, ALPN, sizeof(ALPN) - 1);
    return ctx;
}

// Why the last TLS call of this thread that was no mere wait failed, for the run's error.
thread_local std::string tls_failure;

bool tls_want(const client_conn* c, int rc);

// A request in one go, as a plain send of a fresh connection goes.
bool tls_send_request(client_conn* c) {
    ERR_clear_error();
    int n = SSL_write(c->ssl, c->request.data(), static_cast<int>(c->request.size()));
    if (n == static_cast<int>(c->request.size()))
        return true;
    if (n > 0 || tls_want(c, n))
        tls_failure = "TLS: the request did not go in one write";
    return false;
}

bool tls_want(const client_conn* c, int rc) {
    const int saved = errno;
    int e = SSL_get_error(c->ssl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return true;
    unsigned long reason = ERR_get_error();
    tls_failure =
        e == SSL_ERROR_ZERO_RETURN ? std::string("the server ended the TLS session")
        : e == SSL_ERROR_SYSCALL
            ? std::string("TLS: ") + (saved != 0 ? strerror(saved) : "the server closed")
            : std::string("TLS: ") + (reason != 0 && ERR_reason_error_string(reason) != nullptr
                                          ? ERR_reason_error_string(reason)
                                          : "error " + std::to_string(e));
    return false;
}

// Plaintext that arrived on a connection, taken by its state.
bool tls_consume(client_thread& t, client_conn* c, const char* p, size_t n) {
    while (n > 0) {
        switch (c->state) {
        case cstate::awaiting_header: {
            c->in.append(p, n);
            size_t length = header_length(c->in);
            if (length == 0)
                return c->in.size() < PEEK_LIMIT;
            std::string header = c->in.substr(0, length), rest = c->in.substr(length);
            c->in.clear();
            return on_header(t, c, header) && tls_consume(t, c, rest.data(), rest.size());
        }
        case cstate::streaming_down:
            t.bytes.fetch_add(n, std::memory_order_relaxed);
            return true;
        case cstate::nginx_body: {
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, c->remaining));
            t.bytes.fetch_add(take, std::memory_order_relaxed);
            c->remaining -= take;
            p += take;
            n -= take;
            if (c->remaining == 0) {
                c->state = cstate::awaiting_header;
                if (!tls_send_request(c))
                    return false;
            }
            break;
        }
        case cstate::reading_results:
            c->results.append(p, std::min(n, 65536 - std::min<size_t>(c->results.size(), 65536)));
            return true;
        default: // nothing is expected while an upload is sent
            return true;
        }
    }
    return true;
}

bool handle_tls_event(client_thread& t, client_conn* c, uint32_t events) {
    const load_plan& plan = *t.run->plan;
    if (c->state == cstate::connecting) {
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return false;
        c->ssl = SSL_new(t.run->tls);
        if (c->ssl == nullptr || SSL_set_fd(c->ssl, c->fd) != 1)
            return false;
        SSL_set_connect_state(c->ssl);
        c->state = cstate::handshaking;
    }
    ERR_clear_error();
    switch (c->state) {
    case cstate::handshaking: {
        int rc = SSL_do_handshake(c->ssl);
        if (rc != 1) {
            if (!tls_want(c, rc))
                return false;
            bool write = SSL_get_error(c->ssl, rc) == SSL_ERROR_WANT_WRITE;
            return set_events(t.epfd, c, write ? EPOLLOUT : EPOLLIN);
        }
        // Static downloads keep a second request in flight, as in plain.
        if (!tls_send_request(c) || (plan.server == dialect::nginx && !tls_send_request(c)))
            return false;
        c->state = cstate::awaiting_header;
        return set_events(t.epfd, c, EPOLLIN);
    }
    case cstate::streaming_up:
    case cstate::tls_closing: {
        if (events & (EPOLLERR | EPOLLHUP))
            return false;
        // One record per call (partial writes): the same buffer every time, so that a record
        // left half sent is completed by the next call.
        for (int i = 0;
             i < TLS_RECORDS_PER_EVENT && (c->write_pending || c->state == cstate::streaming_up);
             i++) {
            int n = SSL_write(c->ssl, upload_buffer(), static_cast<int>(UPLOAD_CHUNK));
            c->write_pending = n <= 0;
            if (n > 0)
                t.bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            else
                return tls_want(c, n);
        }
        if (c->state == cstate::streaming_up)
            return true;
        int rc = SSL_shutdown(c->ssl);
        if (rc < 0)
            return tls_want(c, rc);
        shutdown(c->fd, SHUT_WR);
        c->state = cstate::reading_results;
        return set_events(t.epfd, c, EPOLLIN);
    }
    case cstate::closed:
        return true;
    default:
        break;
    }
    static thread_local char scratch[TLS_SCRATCH];
    for (int i = 0; i < TLS_RECORDS_PER_EVENT; i++) {
        int n = SSL_read(c->ssl, scratch, sizeof(scratch));
        if (n > 0) {
            if (!tls_consume(t, c, scratch, static_cast<size_t>(n)))
                return false;
            continue;
        }
        if (tls_want(c, n))
            return true;
        if (c->state != cstate::reading_results)
            return false;
        // The end of an upload's results.
        if (c->results.rfind("VARNHOLT_HTTP_REPLY\n", 0) == 0 &&
            c->results.find("\nRESULT: OK\n") != std::string::npos)
            t.results_ok++;
        close_conn(c);
        return true;
    }
    return true;
}

void run_events(client_thread& t, int timeout_ms, bool tearing_down) {
    epoll_event events[256];
    int n = epoll_wait(t.epfd, events, 256, timeout_ms);
    for (int i = 0; i < n; i++) {
        auto* c = static_cast<client_conn*>(events[i].data.ptr);
        if (c->fd < 0)
            continue;
        if (handle_event(t, c, events[i].events))
            continue;
        if (tearing_down) {
            close_conn(c);
            continue;
        }
        const load_plan& plan = *t.run->plan;
        int err = errno;
        if (plan.kind == load_kind::session_rate && next_session(t, c))
            continue; // one failed short session; counted as not completed
        t.run->fail(std::string("connection failed in state ") +
                    std::to_string(static_cast<int>(c->state)) + ": " +
                    (tls_failure.empty() ? strerror(err) : tls_failure));
        tls_failure.clear();
        close_conn(c);
    }
}

void tear_down(client_thread& t) {
    const load_plan& plan = *t.run->plan;
    bool wait_results = plan.kind == load_kind::upload;
    for (auto& c : t.conns) {
        if (c->fd < 0)
            continue;
        // A HEAD request in flight: its reply ends the connection (see on_header).
        if (plan.kind == load_kind::head && c->state == cstate::awaiting_header)
            continue;
        if (wait_results && c->state == cstate::streaming_up) {
            // The end of the upload: the server under test then sends its results. Over TLS
            // the record in flight and a close_notify go first.
            if (plan.server == dialect::varnholt)
                t.results_expected++;
            if (c->ssl != nullptr) {
                c->state = cstate::tls_closing;
                if (set_events(t.epfd, c.get(), EPOLLOUT))
                    continue;
            } else {
                shutdown(c->fd, SHUT_WR);
                c->state = cstate::reading_results;
                if (set_events(t.epfd, c.get(), EPOLLIN))
                    continue;
            }
        }
        close_conn(c.get());
    }
    auto deadline = clock_type::now() + TEARDOWN_LIMIT;
    for (;;) {
        bool open =
            std::any_of(t.conns.begin(), t.conns.end(), [](const auto& c) { return c->fd >= 0; });
        if (!open || clock_type::now() >= deadline)
            break;
        run_events(t, POLL_MS, true);
    }
    for (auto& c : t.conns)
        close_conn(c.get());
}

void thread_main(client_thread& t) {
    const load_plan& plan = *t.run->plan;
    for (auto& c : t.conns) {
        if (!start_connect(t, c.get(), plan.port)) {
            t.run->fail(std::string("connect: ") + strerror(errno));
            break;
        }
    }
    while (!t.run->stop.load())
        run_events(t, POLL_MS, false);
    tear_down(t);
}

void sleep_for(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

} // namespace

size_t header_length(std::string_view text) {
    size_t end = text.find("\r\n\r\n");
    return end == std::string_view::npos ? 0 : end + 4;
}

int status_code(std::string_view header) {
    if (header.size() < 12 || header.substr(0, 5) != "HTTP/")
        return -1;
    size_t space = header.find(' ');
    if (space == std::string_view::npos || space + 4 > header.size())
        return -1;
    int code = 0;
    for (size_t i = space + 1; i < space + 4; i++) {
        if (header[i] < '0' || header[i] > '9')
            return -1;
        code = code * 10 + (header[i] - '0');
    }
    return code;
}

long long content_length(std::string_view header) {
    static constexpr std::string_view NAME = "content-length:";
    size_t pos = 0;
    while ((pos = header.find("\r\n", pos)) != std::string_view::npos) {
        pos += 2;
        if (header.size() - pos < NAME.size())
            return -1;
        bool match = true;
        for (size_t i = 0; i < NAME.size() && match; i++) {
            char ch = header[pos + i];
            if (ch >= 'A' && ch <= 'Z')
                ch = static_cast<char>(ch - 'A' + 'a');
            match = ch == NAME[i];
        }
        if (!match)
            continue;
        size_t i = pos + NAME.size();
        while (i < header.size() && header[i] == ' ')
            i++;
        long long value = 0;
        size_t digits = 0;
        for (; i < header.size() && header[i] >= '0' && header[i] <= '9'; i++, digits++) {
            if (value > (LLONG_MAX - 9) / 10)
                return -1;
            value = value * 10 + (header[i] - '0');
        }
        return digits > 0 && i < header.size() && header[i] == '\r' ? value : -1;
    }
    return -1;
}

std::string request_text(const load_plan& plan, uint32_t session_id, int conn_index) {
    const std::string tail = " HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::string session = "CONTROL=1&UNITID=1&SESSIONID=" + std::to_string(session_id) +
                          "&NUM_CONNECTIONS=" +
                          std::to_string(plan.kind == load_kind::session_rate ? 1 : plan.conns) +
                          "&CONNECTION=" + std::to_string(conn_index);
    switch (plan.kind) {
    case load_kind::download:
        if (plan.server == dialect::nginx)
            return "GET /payload.bin" + tail;
        return "GET /download?" + session + tail;
    case load_kind::upload:
        // Warm-up ends after a few stable 100 ms samples; the measurement intervals outlast
        // the run, whose client ends the upload.
        return "POST /upload?" + session +
               "&WARMUP_SAMPLE_TIME=100&NUM_WARMUP_SAMPLES=3&MAX_WARMUP_SAMPLES=50"
               "&WARMUP_TOLERANCE=50&RESULTS_INTERVAL_PERIOD=1&RESULT_NUM_INTERVALS=100" +
               tail;
    case load_kind::session_rate:
        if (plan.server == dialect::nginx)
            return "GET /1k.bin HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
        return "GET /download?" + session + tail;
    case load_kind::head:
        return "HEAD /1k.bin" + tail;
    }
    return {};
}

double median(std::vector<double> values) {
    return percentile(std::move(values), 50.0);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    if (p == 50.0 && values.size() % 2 == 0) {
        size_t mid = values.size() / 2;
        return (values[mid - 1] + values[mid]) / 2.0;
    }
    double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

load_result run_load(const load_plan& plan, const cpu_probe& probe) {
    load_result result;
    shared_run run;
    run.plan = &plan;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls(plan.tls ? make_tls_context() : nullptr,
                                                          SSL_CTX_free);
    if (plan.tls && tls == nullptr) {
        result.error = "TLS: cannot make a context";
        return result;
    }
    // OpenSSL writes to its sockets with write(), which has no MSG_NOSIGNAL: a server that
    // closes in the middle of an upload must not end the process.
    if (plan.tls)
        signal(SIGPIPE, SIG_IGN);
    run.tls = tls.get();
    int threads = std::max(1, plan.threads);
    std::vector<std::unique_ptr<client_thread>> pool;
    if (!make_client_threads(threads, &run, &pool, &result.error))
        return result;

    // Connections in the order of their sessions, dealt to the threads in turn.
    bool streams = plan.kind == load_kind::download || plan.kind == load_kind::upload;
    int sessions = streams ? plan.sessions : plan.conns;
    int per_session = streams ? plan.conns : 1;
    int total = 0;
    for (int s = 0; s < sessions; s++) {
        uint32_t id = next_session_id.fetch_add(1);
        for (int i = 0; i < per_session; i++, total++) {
            auto c = std::make_unique<client_conn>();
            c->session_id = id;
            c->index = i;
            c->request = request_text(plan, id, i);
            pool[static_cast<size_t>(total % threads)]->conns.push_back(std::move(c));
        }
    }

    for (auto& t : pool)
        t->thread = std::thread(thread_main, std::ref(*t));

    auto deadline = clock_type::now() + SETUP_LIMIT;
    while (streams && run.ready.load() < total && !run.failed.load() &&
           clock_type::now() < deadline)
        sleep_for(0.005);
    if (streams && run.ready.load() < total && !run.failed.load())
        run.fail("set-up: " + std::to_string(run.ready.load()) + " of " + std::to_string(total) +
                 " connections answered");

    auto totals = [&](uint64_t* bytes, uint64_t* operations) {
        *bytes = 0;
        *operations = 0;
        for (auto& t : pool) {
            *bytes += t->bytes.load(std::memory_order_relaxed);
            *operations += t->operations.load(std::memory_order_relaxed);
        }
    };
    if (!run.failed.load()) {
        sleep_for(plan.warmup_s);
        uint64_t bytes0, ops0, bytes1, ops1;
        double server0 = 0, server1 = 0;
        std::vector<double> threads0, threads1;
        probe(&server0, &threads0);
        double client0 = cpu_seconds_self();
        auto t0 = clock_type::now();
        totals(&bytes0, &ops0);
        run.measuring.store(true);
        sleep_for(plan.measure_s);
        run.measuring.store(false);
        totals(&bytes1, &ops1);
        auto t1 = clock_type::now();
        double client1 = cpu_seconds_self();
        probe(&server1, &threads1);
        result.seconds = std::chrono::duration<double>(t1 - t0).count();
        result.bytes = bytes1 - bytes0;
        result.operations = ops1 - ops0;
        result.client_cpu_s = client1 - client0;
        result.server_cpu_s = server1 - server0;
        if (threads0.size() == threads1.size()) {
            for (size_t i = 0; i < threads1.size(); i++)
                result.server_thread_cpu_s.push_back(threads1[i] - threads0[i]);
            std::sort(result.server_thread_cpu_s.rbegin(), result.server_thread_cpu_s.rend());
        }
    }
    run.stop.store(true);
    for (auto& t : pool) {
        t->thread.join();
        close(t->epfd);
        result.latencies_us.insert(result.latencies_us.end(), t->latencies_us.begin(),
                                   t->latencies_us.end());
        result.results_ok += t->results_ok;
        result.results_expected += t->results_expected;
    }
    result.ok = !run.failed.load();
    result.error = run.error;
    if (result.ok && result.operations == 0 && !streams) {
        result.ok = false;
        result.error = "no operation completed";
    }
    return result;
}

} // namespace vh_bench
