// Operational counters and the metrics endpoint: a thread of its own answers scrapes on
// a separate listening address, so that a slow scraper never holds up a worker.
#include "metrics.h"
#include "token.h"
#include "client_limits.h"
#include "budget.h"
#include "archive.h"
#include "log_space.h"
#include "workers.h"

#include "session.h"
#include "settings.h"
#include "tls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MAX_WORKERS = 1024;
worker_metrics workers[MAX_WORKERS];
std::atomic<size_t> workers_used{0};
// Counters of threads that are no registered worker: written, never shown.
thread_local worker_metrics* own_record = nullptr;
worker_metrics spare_records[1];

// By kind (and outcome) and transport: 0 plain TCP, 1 TLS.
constexpr int NUM_TRANSPORTS = 2;
std::atomic<uint64_t> sessions_started[NUM_SESSION_KINDS][NUM_TRANSPORTS];
std::atomic<uint64_t> sessions_ended[NUM_SESSION_KINDS][NUM_SESSION_OUTCOMES][NUM_TRANSPORTS];
std::atomic<uint64_t> sessions_refused[NUM_REFUSAL_REASONS];
std::atomic<uint64_t> connections_refused[NUM_CONNECTION_REFUSALS];
std::atomic<bool> draining{false};
std::atomic<int64_t> draining_since_ns{0}; // CLOCK_MONOTONIC
std::atomic<uint64_t> session_logs_failed{0};
std::atomic<uint64_t> put_appends_failed{0};
// Set once by the main thread before the endpoint starts; static strings, which the
// endpoint may still read while the process exits.
const char* build_version = "unknown";
const char* build_revision = "unknown";

const char* const KIND_NAMES[NUM_SESSION_KINDS] = {"download", "upload", "latency"};
const char* const OUTCOME_NAMES[NUM_SESSION_OUTCOMES] = {"completed", "failed", "expired"};
const char* const TRANSPORT_NAMES[NUM_TRANSPORTS] = {"tcp", "tls"};
const char* const REFUSAL_NAMES[NUM_REFUSAL_REASONS] = {"server_limit", "client_limit", "memory",
                                                        "client_memory"};
const char* const CONNECTION_REFUSAL_NAMES[NUM_CONNECTION_REFUSALS] = {"client_connections",
                                                                       "client_pending"};

// A scrape gets this long to send its request and take the reply; scrapers are served
// side by side, each with its own deadline.
constexpr int SCRAPE_DEADLINE_MS = 2000;
constexpr int SCRAPE_LINGER_MS = 200;
constexpr size_t SCRAPE_REQUEST_LIMIT = 8192;
constexpr size_t MAX_SCRAPERS = 16;
// Scrapes one address may hold at once, and how long a scrape may stay silent (no whole
// request) before a newcomer may take its place when the table or its address is full.
constexpr size_t MAX_SCRAPES_PER_ADDRESS = 4;
constexpr int SCRAPE_GRACE_MS = 250;

} // namespace

void register_worker_metrics(int epfd) {
    size_t i = workers_used.fetch_add(1);
    if (i >= MAX_WORKERS)
        return;
    worker_metrics* record = &workers[i];
    record->epfd.store(epfd, std::memory_order_relaxed);
    record->cpu.store(sched_getcpu(), std::memory_order_relaxed);
    if (pthread_getcpuclockid(pthread_self(), &record->cpu_clock) == 0)
        record->has_cpu_clock.store(true, std::memory_order_relaxed);
    own_record = record;
    // Published last: the endpoint shows registered records only.
    record->registered.store(true, std::memory_order_release);
}

worker_metrics* thread_metrics() {
    worker_metrics* record = own_record;
    return record != nullptr ? record : &spare_records[0];
}

void count_session_started(session_kind kind, bool tls) {
    sessions_started[kind][tls ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
}

void count_session_ended(session_kind kind, session_outcome outcome, bool tls) {
    sessions_ended[kind][outcome][tls ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
}

void count_session_refused(refusal_reason reason) {
    sessions_refused[reason].fetch_add(1, std::memory_order_relaxed);
}

void count_connection_refused(connection_refusal reason) {
    connections_refused[reason].fetch_add(1, std::memory_order_relaxed);
}

static int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void set_metrics_draining() {
    draining_since_ns.store(monotonic_ns(), std::memory_order_relaxed);
    draining.store(true, std::memory_order_release);
}

void count_session_log_failed() {
    session_logs_failed.fetch_add(1, std::memory_order_relaxed);
}

void count_put_append_failed() {
    put_appends_failed.fetch_add(1, std::memory_order_relaxed);
}

void set_metrics_build_info(const char* version, const char* revision) {
    build_version = version;
    build_revision = revision;
}

// ---------------------------------------------------------------------------
// The page.

// The directory stays open: with the descriptor table full, which is when the count
// matters, it could not be opened.
static long count_open_descriptors() {
    static std::mutex dir_mutex;
    static DIR* dir = nullptr;
    std::lock_guard<std::mutex> lock(dir_mutex);
    if (dir == nullptr)
        dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    rewinddir(dir);
    long n = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            n++;
    return n - 1; // the directory's own descriptor
}

// Descriptors kept free for a test's connections before the server calls itself full.
constexpr long READY_SPARE_FDS = 32;

const char* unready_reason() {
    if (draining.load(std::memory_order_acquire))
        return "draining";
    if (max_sessions > 0 && session_count() >= static_cast<size_t>(max_sessions))
        return "the session limit is reached";
    // The smallest test: a download of one connection.
    request_info smallest{};
    smallest.method = GET;
    smallest.num_conns = 1;
    if (!memory_would_fit(session_memory_bound(&smallest).total))
        return "the memory budget is used up";
    rlimit limit{};
    const long open = count_open_descriptors();
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && open >= 0 &&
        open + READY_SPARE_FDS >= static_cast<long>(limit.rlim_cur))
        return "descriptors are used up";
    return nullptr;
}

static void append_family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

template <typename T>
static void append_sample(std::string& out, const char* name, std::string_view labels, T value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

static std::string label(const char* key, const char* value) {
    return std::string(key) + "=\"" + value + "\"";
}

std::string format_metrics() {
    std::string out;
    out.reserve(4096);

    uint64_t ended_by_kind[NUM_SESSION_KINDS] = {};
    append_family(out, "varnholt_sessions_ended_total", "counter",
                  "Sessions ended, by kind, outcome and transport.");
    for (int k = 0; k < NUM_SESSION_KINDS; k++)
        for (int o = 0; o < NUM_SESSION_OUTCOMES; o++)
            for (int t = 0; t < NUM_TRANSPORTS; t++) {
                uint64_t n = sessions_ended[k][o][t].load(std::memory_order_relaxed);
                ended_by_kind[k] += n;
                append_sample(out, "varnholt_sessions_ended_total",
                              label("kind", KIND_NAMES[k]) + "," +
                                  label("outcome", OUTCOME_NAMES[o]) + "," +
                                  label("transport", TRANSPORT_NAMES[t]),
                              n);
            }
    // Started is read after ended, so that running = started - ended is never negative.
    uint64_t started[NUM_SESSION_KINDS][NUM_TRANSPORTS];
    for (int k = 0; k < NUM_SESSION_KINDS; k++)
        for (int t = 0; t < NUM_TRANSPORTS; t++)
            started[k][t] = sessions_started[k][t].load(std::memory_order_relaxed);
    append_family(out, "varnholt_sessions_started_total", "counter",
                  "Sessions admitted, by kind and transport.");
    for (int k = 0; k < NUM_SESSION_KINDS; k++)
        for (int t = 0; t < NUM_TRANSPORTS; t++)
            append_sample(out, "varnholt_sessions_started_total",
                          label("kind", KIND_NAMES[k]) + "," +
                              label("transport", TRANSPORT_NAMES[t]),
                          started[k][t]);
    append_family(out, "varnholt_sessions_running", "gauge", "Sessions running now, by kind.");
    for (int k = 0; k < NUM_SESSION_KINDS; k++)
        append_sample(out, "varnholt_sessions_running", label("kind", KIND_NAMES[k]),
                      started[k][0] + started[k][1] >= ended_by_kind[k]
                          ? started[k][0] + started[k][1] - ended_by_kind[k]
                          : 0);
    append_family(out, "varnholt_sessions_refused_total", "counter",
                  "Sessions refused with 503 Service Unavailable, by the limit reached.");
    for (int r = 0; r < NUM_REFUSAL_REASONS; r++)
        append_sample(out, "varnholt_sessions_refused_total", label("reason", REFUSAL_NAMES[r]),
                      sessions_refused[r].load(std::memory_order_relaxed));
    if (token_check_enabled()) {
        append_family(out, "varnholt_token_refusals_total", "counter",
                      "Test requests refused with 403 Forbidden, by what was wrong with the "
                      "token.");
        for (int v = TOKEN_VALID + 1; v < NUM_TOKEN_VERDICTS; v++) {
            const token_verdict verdict = static_cast<token_verdict>(v);
            append_sample(out, "varnholt_token_refusals_total",
                          label("reason", token_verdict_name(verdict)), token_refusals(verdict));
        }
    }

    // Workers registered so far, in the order they started (all of them after start-up).
    size_t used = 0;
    size_t reserved = std::min(workers_used.load(), MAX_WORKERS);
    while (used < reserved && workers[used].registered.load(std::memory_order_acquire))
        used++;
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t accepted = 0;
    for (size_t i = 0; i < used; i++) {
        sent += workers[i].bytes_sent.load(std::memory_order_relaxed);
        received += workers[i].bytes_received.load(std::memory_order_relaxed);
        accepted += workers[i].connections_accepted.load(std::memory_order_relaxed);
    }
    append_family(out, "varnholt_test_bytes_total", "counter",
                  "Test data moved, by direction (sent: downloads, received: uploads).");
    append_sample(out, "varnholt_test_bytes_total", label("direction", "sent"), sent);
    append_sample(out, "varnholt_test_bytes_total", label("direction", "received"), received);
    append_family(out, "varnholt_connections_accepted_total", "counter", "Connections accepted.");
    append_sample(out, "varnholt_connections_accepted_total", "", accepted);
    append_family(out, "varnholt_connections_refused_total", "counter",
                  "Connections closed at the accept, by the per-client limit reached.");
    for (int r = 0; r < NUM_CONNECTION_REFUSALS; r++)
        append_sample(out, "varnholt_connections_refused_total",
                      label("reason", CONNECTION_REFUSAL_NAMES[r]),
                      connections_refused[r].load(std::memory_order_relaxed));
    append_family(out, "varnholt_clients_connected", "gauge",
                  "Clients (IPv4 addresses, IPv6 networks of the client prefix) with a "
                  "connection open.");
    append_sample(out, "varnholt_clients_connected", "", connected_client_count());

    auto worker_labels = [](size_t i) {
        return "worker=\"" + std::to_string(i) + "\",cpu=\"" +
               std::to_string(workers[i].cpu.load(std::memory_order_relaxed)) + "\"";
    };
    append_family(out, "varnholt_worker_connections", "gauge",
                  "Connections open, by the worker thread that watches them.");
    for (size_t i = 0; i < used; i++)
        append_sample(
            out, "varnholt_worker_connections", worker_labels(i),
            std::max<int64_t>(0, workers[i].connections_open.load(std::memory_order_relaxed)));
    append_family(out, "varnholt_worker_sessions", "gauge", "Sessions owned, by worker thread.");
    for (size_t i = 0; i < used; i++)
        append_sample(out, "varnholt_worker_sessions", worker_labels(i),
                      std::max<long>(0, owned_session_count(workers[i].epfd.load())));
    append_family(out, "varnholt_worker_events_total", "counter",
                  "Events dispatched, by worker thread.");
    for (size_t i = 0; i < used; i++)
        append_sample(out, "varnholt_worker_events_total", worker_labels(i),
                      workers[i].events.load(std::memory_order_relaxed));
    append_family(out, "varnholt_worker_cpu_seconds_total", "counter",
                  "CPU time used, by worker thread.");
    for (size_t i = 0; i < used; i++) {
        timespec ts{};
        if (!workers[i].has_cpu_clock.load(std::memory_order_relaxed) ||
            clock_gettime(workers[i].cpu_clock, &ts) != 0)
            continue;
        char value[64];
        snprintf(value, sizeof(value), "%.6f",
                 static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
        out += "varnholt_worker_cpu_seconds_total{" + worker_labels(i) + "} " + value + "\n";
    }

    append_family(out, "varnholt_open_fds", "gauge", "Descriptors open in the process.");
    append_sample(out, "varnholt_open_fds", "", count_open_descriptors());
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        append_family(out, "varnholt_max_fds", "gauge",
                      "Descriptors the process may open (soft limit).");
        append_sample(out, "varnholt_max_fds", "",
                      limit.rlim_cur == RLIM_INFINITY ? -1L : static_cast<long>(limit.rlim_cur));
    }
    append_family(out, "varnholt_memory_budget_bytes", "gauge",
                  "Bytes that requests may make the server allocate (--max-memory).");
    append_sample(out, "varnholt_memory_budget_bytes", "", memory_budget());
    append_family(out, "varnholt_memory_reserved_bytes", "gauge",
                  "Bytes of the memory budget reserved now by sessions, logs waiting for the "
                  "disk and PUT data.");
    append_sample(out, "varnholt_memory_reserved_bytes", "", memory_reserved());
    append_family(out, "varnholt_session_logs_failed_total", "counter",
                  "Session logs not written whole: a disk error, or dropped while the file "
                  "operations queue was full.");
    append_sample(out, "varnholt_session_logs_failed_total", "",
                  session_logs_failed.load(std::memory_order_relaxed));
    append_family(out, "varnholt_put_appends_failed_total", "counter",
                  "PUT uploads whose data could not all be appended to their session log.");
    append_sample(out, "varnholt_put_appends_failed_total", "",
                  put_appends_failed.load(std::memory_order_relaxed));
    append_family(out, "varnholt_log_space_used_bytes", "gauge",
                  "Bytes the files of the log directory hold, as the server counts them.");
    append_sample(out, "varnholt_log_space_used_bytes", "", log_space_used());
    append_family(out, "varnholt_log_space_limit_bytes", "gauge",
                  "Bytes the log directory may hold (--max-log-space; 0: no limit).");
    append_sample(out, "varnholt_log_space_limit_bytes", "", log_space_limit());
    append_family(out, "varnholt_log_space_refusals_total", "counter",
                  "Session logs and PUT appends refused because the log directory was full.");
    append_sample(out, "varnholt_log_space_refusals_total", label("what", "session_log"),
                  log_space_refusals(LOG_SPACE_SESSION_LOG));
    append_sample(out, "varnholt_log_space_refusals_total", label("what", "put"),
                  log_space_refusals(LOG_SPACE_PUT));
    append_sample(out, "varnholt_log_space_refusals_total", label("what", "archive"),
                  log_space_refusals(LOG_SPACE_ARCHIVE));
    append_family(out, "varnholt_archive_info", "gauge",
                  "Always 1; the label is what every test id of this process starts with.");
    append_sample(out, "varnholt_archive_info", label("test_id_prefix", test_id_prefix().c_str()),
                  1);
    append_family(out, "varnholt_archive_records_total", "counter",
                  "Archive records of finished sessions: written, dropped because the log space "
                  "limit was reached, or failed.");
    static const char* const record_results[NUM_ARCHIVE_RESULTS] = {"written", "dropped_space",
                                                                    "failed"};
    for (int r = 0; r < NUM_ARCHIVE_RESULTS; r++)
        append_sample(out, "varnholt_archive_records_total", label("result", record_results[r]),
                      archive_records(static_cast<archive_result>(r)));

    bool is_draining = draining.load(std::memory_order_acquire);
    append_family(out, "varnholt_draining", "gauge",
                  "1 while the server stops: accepting ended, running sessions finish.");
    append_sample(out, "varnholt_draining", "", is_draining ? 1 : 0);
    append_family(out, "varnholt_draining_seconds", "gauge",
                  "Seconds since the server began to stop (0 while it serves).");
    double drained = is_draining
                         ? static_cast<double>(monotonic_ns() -
                                               draining_since_ns.load(std::memory_order_relaxed)) /
                               1e9
                         : 0.0;
    char seconds[64];
    snprintf(seconds, sizeof(seconds), "%.3f", drained);
    out += "varnholt_draining_seconds ";
    out += seconds;
    out += '\n';
    append_family(out, "varnholt_drain_timeout_seconds", "gauge",
                  "Seconds running sessions are given to finish when the server stops.");
    append_sample(out, "varnholt_drain_timeout_seconds", "", drain_timeout);
    append_family(out, "varnholt_build_info", "gauge",
                  "Always 1; the labels name the version and revision of the build.");
    append_sample(out, "varnholt_build_info",
                  label("version", build_version) + "," + label("revision", build_revision), 1);
    if (tls_enabled()) {
        append_family(out, "varnholt_tls_info", "gauge",
                      "Always 1 with a TLS port; kernel_tls=\"1\" when the kernel encrypts "
                      "downloads, \"0\" when the workers do.");
        append_sample(out, "varnholt_tls_info",
                      label("kernel_tls", kernel_tls_available() ? "1" : "0"), 1);
    }
    return out;
}

// ---------------------------------------------------------------------------
// The endpoint.

bool split_host_port(const std::string& address, std::string* host, std::string* port) {
    size_t colon;
    if (!address.empty() && address[0] == '[') {
        size_t close = address.find(']');
        if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
            return false;
        *host = address.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = address.rfind(':');
        if (colon == std::string::npos)
            return false;
        *host = address.substr(0, colon);
    }
    *port = address.substr(colon + 1);
    return !port->empty() && !host->empty();
}

// One scraper being served: its request as it arrives, then the reply as it leaves,
// then a short wait for its close. Each has its own deadline.
struct scrape {
    int fd;
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point accepted;
    std::string peer; // the scraper's address, without its port
    std::string request;
    std::string reply;
    size_t sent = 0;
    bool closing = false; // reply sent and shut: waiting for the scraper's close
};

// The reply to a whole request (status line, headers and, but for HEAD, the page).
static std::string reply_to(const std::string& request) {
    std::string_view line(request);
    line = line.substr(0, line.find_first_of("\r\n"));
    size_t space = line.find(' ');
    std::string_view method = line.substr(0, space);
    std::string_view target =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    target = target.substr(0, target.find(' '));
    std::string_view path = target.substr(0, target.find('?'));

    std::string status;
    std::string body;
    std::string type = "text/plain; charset=utf-8";
    if (method != "GET" && method != "HEAD") {
        status = "405 Method Not Allowed";
        body = "Only GET and HEAD are served here.\n";
    } else if (path == "/ready") {
        const char* reason = unready_reason();
        status = reason == nullptr ? "200 OK" : "503 Service Unavailable";
        body = reason == nullptr ? "ready\n" : std::string("not ready: ") + reason + "\n";
    } else if (path != "/metrics") {
        status = "404 Not Found";
        body = "The metrics are at /metrics, readiness at /ready.\n";
    } else {
        status = "200 OK";
        body = format_metrics();
        type = "text/plain; version=0.0.4; charset=utf-8";
    }
    std::string reply = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n";
    if (method != "HEAD")
        reply += body;
    return reply;
}

// Moves one scrape on after an event. False when it is done (or failed) and goes.
static bool step_scrape(scrape* sc) {
    char buffer[2048];
    if (sc->closing) {
        // Anything, or the end: the scraper has read its reply.
        return recv(sc->fd, buffer, sizeof(buffer), 0) < 0 && errno == EAGAIN;
    }
    if (sc->reply.empty()) {
        ssize_t n = recv(sc->fd, buffer, sizeof(buffer), 0);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        if (n == 0)
            return false;
        sc->request.append(buffer, static_cast<size_t>(n));
        if (sc->request.find("\r\n\r\n") == std::string::npos &&
            sc->request.find("\n\n") == std::string::npos)
            return sc->request.size() <= SCRAPE_REQUEST_LIMIT;
        sc->reply = reply_to(sc->request);
    }
    while (sc->sent < sc->reply.size()) {
        ssize_t n =
            send(sc->fd, sc->reply.data() + sc->sent, sc->reply.size() - sc->sent, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        sc->sent += static_cast<size_t>(n);
    }
    // Waits a little for the scraper's close, so that our close never resets a reply
    // it has not read yet.
    shutdown(sc->fd, SHUT_WR);
    sc->closing = true;
    sc->deadline = std::min(sc->deadline, std::chrono::steady_clock::now() +
                                              std::chrono::milliseconds(SCRAPE_LINGER_MS));
    return true;
}

static int open_spare() {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// The scraper's address as the per-address limit counts it.
static std::string peer_of(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET6)
        return std::string(
            reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr),
            16);
    if (addr.ss_family == AF_INET)
        return std::string(
            reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in&>(addr).sin_addr), 4);
    return {};
}

// Whether a newcomer may take this scrape's place: it has not sent a whole request in its
// grace time. Scrapers send their request at once; a connection that stays silent is the
// one to go.
static bool evictable(const scrape& sc, std::chrono::steady_clock::time_point now) {
    return sc.reply.empty() && !sc.closing &&
           now >= sc.accepted + std::chrono::milliseconds(SCRAPE_GRACE_MS);
}

// The oldest scrape that may give way (of `peer` only, unless empty); -1 when none may.
static long oldest_evictable(const std::vector<scrape>& scrapes, const std::string* peer,
                             std::chrono::steady_clock::time_point now) {
    long found = -1;
    for (size_t i = 0; i < scrapes.size(); i++) {
        if ((peer != nullptr && scrapes[i].peer != *peer) || !evictable(scrapes[i], now))
            continue;
        if (found < 0 || scrapes[i].accepted < scrapes[static_cast<size_t>(found)].accepted)
            found = static_cast<long>(i);
    }
    return found;
}

static void drop_scrape(std::vector<scrape>& scrapes, size_t i) {
    close(scrapes[i].fd);
    scrapes.erase(scrapes.begin() + static_cast<long>(i));
}

// Serves every scraper at once (up to MAX_SCRAPERS, MAX_SCRAPES_PER_ADDRESS from one
// address), each within its own deadline, so that idle or slow connections cannot blind the
// others: when the table is full, a newcomer takes the place of the oldest silent one. The
// thread sleeps in poll until a descriptor is ready or the next deadline: it never spins,
// however many connections wait. A descriptor is kept in reserve so that a scrape is
// answered even when the table is full, which is when it matters.
static void* metrics_thread(void* arg) {
    using clock = std::chrono::steady_clock;
    int listen_fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    int spare = open_spare();
    clock::time_point accept_again = clock::now();
    std::vector<scrape> scrapes;
    std::vector<pollfd> pfds;
    for (;;) {
        clock::time_point now = clock::now();
        if (spare < 0)
            spare = open_spare();
        clock::time_point wake = now + std::chrono::hours(1);
        // The listening socket is watched only while a newcomer could be taken: otherwise
        // its readiness would wake the thread again and again.
        bool room = scrapes.size() < MAX_SCRAPERS;
        bool accepting =
            now >= accept_again && (room || oldest_evictable(scrapes, nullptr, now) >= 0);
        if (now < accept_again)
            wake = accept_again;
        pfds.clear();
        pfds.push_back({accepting ? listen_fd : -1, POLLIN, 0});
        for (const scrape& sc : scrapes) {
            short events = sc.closing || sc.reply.empty() ? POLLIN : POLLOUT;
            pfds.push_back({sc.fd, events, 0});
            wake = std::min(wake, sc.deadline);
            if (!room && !accepting && !evictable(sc, now) && sc.reply.empty() && !sc.closing)
                wake = std::min(wake, sc.accepted + std::chrono::milliseconds(SCRAPE_GRACE_MS));
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        int ready = poll(pfds.data(), pfds.size(),
                         static_cast<int>(std::clamp<long long>(wait + 1, 0, 3600000)));
        if (ready < 0 && errno != EINTR) {
            VH_LOG(LOG_ERR, "metrics poll: %s", strerror(errno));
            sleep(1);
            continue;
        }

        now = clock::now();
        // Serve before accepting: the indices of pfds follow scrapes as they are.
        for (size_t i = scrapes.size(); i-- > 0;) {
            scrape& sc = scrapes[i];
            bool keep = now < sc.deadline;
            if (keep && pfds[i + 1].revents != 0)
                keep = step_scrape(&sc);
            if (!keep)
                drop_scrape(scrapes, i);
        }
        if (!(pfds[0].revents & POLLIN))
            continue;
        for (;;) {
            if (scrapes.size() >= MAX_SCRAPERS && oldest_evictable(scrapes, nullptr, now) < 0)
                break;
            sockaddr_storage peer{};
            socklen_t peer_len = sizeof(peer);
            int sock = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
            bool on_spare = false;
            if (sock < 0 && (errno == EMFILE || errno == ENFILE) && spare >= 0) {
                // The table is full: the reserve makes room for this scraper.
                close(spare);
                spare = -1;
                peer_len = sizeof(peer);
                sock = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
                on_spare = true;
            }
            if (sock < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno != EAGAIN) {
                    VH_LOG(LOG_ERR, "metrics accept: %s", strerror(errno));
                    // Out of descriptors and reserve: scrapes wait, the tests go on.
                    accept_again = now + std::chrono::milliseconds(100);
                }
                break;
            }
            std::string address = peer_of(peer);
            size_t from_peer = static_cast<size_t>(
                std::count_if(scrapes.begin(), scrapes.end(),
                              [&](const scrape& sc) { return sc.peer == address; }));
            long gone = -1;
            if (from_peer >= MAX_SCRAPES_PER_ADDRESS) {
                gone = oldest_evictable(scrapes, &address, now);
                if (gone < 0) {
                    close(sock); // its address holds its share, all of it busy
                    continue;
                }
            } else if (scrapes.size() >= MAX_SCRAPERS) {
                gone = oldest_evictable(scrapes, nullptr, now);
            }
            if (gone >= 0)
                drop_scrape(scrapes, static_cast<size_t>(gone));
            scrapes.push_back(
                {sock, now + std::chrono::milliseconds(SCRAPE_DEADLINE_MS), now, address, {}, {}});
            if (on_spare)
                break; // one at a time on the reserve
        }
    }
    return nullptr;
}

int start_metrics_endpoint(const char* address) {
    std::string host;
    std::string port;
    if (!split_host_port(address, &host, &port)) {
        VH_LOG(LOG_ERR, "Metrics address %s is not HOST:PORT", address);
        return -1;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(host == "*" ? nullptr : host.c_str(), port.c_str(), &hints, &result);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "Metrics address %s: %s", address, gai_strerror(rc));
        return -1;
    }
    int fd = socket(result->ai_family, result->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    result->ai_protocol);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, result->ai_addr, result->ai_addrlen) != 0 || listen(fd, 64) != 0) {
        VH_LOG(LOG_ERR, "Could not listen for metrics on %s: %s", address, strerror(errno));
        if (fd >= 0)
            close(fd);
        freeaddrinfo(result);
        return -1;
    }
    freeaddrinfo(result);

    sockaddr_storage bound{};
    socklen_t len = sizeof(bound);
    char bound_host[NI_MAXHOST] = "";
    char bound_port[NI_MAXSERV] = "";
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0)
        getnameinfo(reinterpret_cast<sockaddr*>(&bound), len, bound_host, sizeof(bound_host),
                    bound_port, sizeof(bound_port), NI_NUMERICHOST | NI_NUMERICSERV);

    pthread_t thread;
    rc = pthread_create(&thread, nullptr, metrics_thread,
                        reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_create: %s", strerror(rc));
        close(fd);
        return -1;
    }
    pthread_detach(thread);
    VH_LOG(LOG_INFO, "Metrics on address %s port %s", bound_host, bound_port);
    return 0;
}
