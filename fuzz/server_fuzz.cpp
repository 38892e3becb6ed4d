// Fuzz target: the whole server against hostile clients. The input is a program of client
// actions on real loopback connections to one worker that runs in this thread, step by
// step (lending connections to itself for programs of odd length, as it would to other
// workers), with a clock of its own for the session timers and the connection deadlines, so
// that time passes without waiting. Clients 0 to 3 come over IPv4; clients 4 to 7 over IPv6,
// each from an address of its own in one /64 when the machine routes fd29::/64 to itself
// (the test command runs this target in a network namespace that does), so the per-client
// limits count them as one client; from ::1 otherwise. The per-client limits are low, and
// programs whose length is 2 or 3 modulo 4 run with a memory budget of 64 KiB, so that
// refusals of every kind are reached. After every program all clients close and the session
// life time passes: the server must then hold no session, no descriptor, no reserved memory
// and no client count more than before the first program. The server runs with an archive
// directory: every record a program's sessions left must parse as a JSON record, and the
// archive is emptied before the next program.
//
// Input format: a sequence of actions, each an opcode byte and its operands. The low four
// bits of the opcode byte choose the action, the next three the client slot k (0 to 7).
//
//   0 OPEN k              connect client k (closing the one in the slot before)
//   1 REQUEST k f s p...  send a request: f chooses the method (bits 0-1), the target
//                         (bits 2-3: "/", "/file", path-style, "/results"), HTTP/1.0
//                         (bit 4), no Host line (bit 5) and the path-style id (bits 6-7);
//                         s the number of parameters (bits 0-3) and the path-style
//                         connection index (bits 4-7); then two bytes a parameter: the
//                         key and the value (below 128 itself, then one of the extreme
//                         numbers, then one of a few words)
//   2 RAW k len bytes...  send len raw bytes
//   3 DATA k n            send n * 256 bytes of upload data
//   4 SHUT k              half-close (shutdown for writing)
//   5 RESET k             close with a reset (linger time zero)
//   6 CLOSE k             close
//   7 READ k              read what has arrived
//   8 TIME t              let time pass on the worker's clock (a step of a table)
//   9 STATS k             send the latency statistics request
//  10 PUT k name         send a PUT header for one of a few names
//  11 SETTLE              wait until the file operations thread is idle, then run the worker
//
//  12 WORKER k            the worker that runs after the next actions: k modulo the workers
//
// Missing operands read as zero; a program ends after MAX_ACTIONS actions or its bytes.
//
// Built with VH_FUZZ_TWO_WORKERS (server2_fuzz), the server has two workers, each on a thread
// of its own with its own thread-locals, and one lends to the other as in the server: the
// input chooses which one runs next (WORKER) while the other waits on a condition variable,
// so every run is one interleaving of theirs, and their mail goes through their mailboxes.
#include "archive.h"
#include "budget.h"
#include "fuzz_support.h"
#include "client_limits.h"
#include "connection.h"
#include "file_ops.h"
#include "lending.h"
#include "log_space.h"
#include "main_thread.h"
#include "metrics.h"
#include "sent_file.h"
#include "session.h"
#include "settings.h"
#include "timers.h"

#include <array>
#include <boost/json.hpp>
#include <filesystem>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace {

constexpr size_t MAX_ACTIONS = 64;
constexpr size_t CLIENTS = 8;
// Upload bytes a program may send in all: enough to end a warm-up, few enough to be quick.
constexpr size_t MAX_DATA_BYTES = 256 * 1024;
// Worker iterations run after an action: each one takes every event ready.
constexpr int STEPS_PER_ACTION = 8;
constexpr int64_t MS = 1000000;
constexpr int SESSION_LIFE_S = 60;
constexpr int SOCKET_BUFFER = 16 * 1024;

#ifdef VH_FUZZ_TWO_WORKERS
constexpr size_t WORKERS = 2;
#else
constexpr size_t WORKERS = 1;
#endif

struct worker_state {
    // 127.0.0.1 and ::1.
    listen_socket listeners[2] = {{EPOLL_LISTEN_SOCKET, -1, false},
                                  {EPOLL_LISTEN_SOCKET, -1, false}};
    bool prefix_routed = false; // fd29::/64 is this machine's
    int port = 0;
    std::string dir;
    std::string put_log;
    std::string archive; // the archive directory, emptied after every program
    int start_fds = -1;
};

// Never destroyed: at exit the file operations thread may still be writing below its
// directories, whose names it reads from here.
worker_state& worker = *new worker_state;
bool verbose = false;

// One worker's loop, and the job it is to run on its thread next.
struct worker_loop {
    int epfd = -1;
    GHashTable* pending = nullptr;
    std::function<void()> job;
    bool busy = false;
};
std::array<worker_loop, WORKERS> loops;
size_t current = 0; // the worker that runs after an action
// Never destroyed: the workers wait on them when the fuzzer exits.
std::mutex& turn_mutex = *new std::mutex;
std::condition_variable& turn = *new std::condition_variable;

// Runs fn on worker w's thread (with one worker: this one) and waits until it is done. Only
// one thread runs at any time.
void run_on(size_t w, const std::function<void()>& fn) {
    if (WORKERS == 1) {
        fn();
        return;
    }
    std::unique_lock<std::mutex> lock(turn_mutex);
    loops[w].job = fn;
    loops[w].busy = true;
    turn.notify_all();
    turn.wait(lock, [w] { return !loops[w].busy; });
}

[[noreturn]] void worker_thread(size_t w) {
    std::unique_lock<std::mutex> lock(turn_mutex);
    for (;;) {
        turn.wait(lock, [w] { return loops[w].busy; });
        lock.unlock();
        loops[w].job();
        lock.lock();
        loops[w].busy = false;
        turn.notify_all();
    }
}

using vh_fuzz::count_fds;
using vh_fuzz::fail;

void print_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char link[64];
        char target[256] = {};
        snprintf(link, sizeof(link), "/proc/self/fd/%s", e->d_name);
        if (readlink(link, target, sizeof(target) - 1) < 0)
            continue;
        dprintf(STDERR_FILENO, "  %s -> %s\n", e->d_name, target);
    }
    closedir(d);
}

void write_bytes(const std::string& path, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create a file");
    std::string block(size, 'f');
    if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
        fail("cannot write a file");
    close(fd);
}

// Runs worker w until it has nothing ready, at most `steps` iterations, waiting wait_ms for
// its first event.
void run_worker_on(size_t w, int steps, int wait_ms = 0) {
    run_on(w, [w, steps, wait_ms] {
        for (int i = 0; i < steps; i++)
            if (!run_worker_step(loops[w].epfd, loops[w].pending, worker.listeners, 2,
                                 std::chrono::seconds(SESSION_LIFE_S), i == 0 ? wait_ms : 0))
                return;
    });
}

// Runs the current worker.
void run_worker(int steps) {
    run_worker_on(current, steps);
}

// Runs every worker in turn, twice: mail one posts to the other is taken.
void run_all(int steps, int wait_ms = 0) {
    for (int round = 0; round < 2; round++)
        for (size_t w = 0; w < WORKERS; w++)
            run_worker_on(w, steps, wait_ms);
}

// Time passes on every worker's clock alike.
void advance_clocks(int64_t ns) {
    for (size_t w = 0; w < WORKERS; w++) {
        int rc = 0;
        run_on(w, [&rc, ns] { rc = advance_thread_clock(ns); });
        if (rc != 0)
            fail("cannot set the timer descriptor");
    }
}

void settle() {
    run_all(STEPS_PER_ACTION);
    wait_file_ops_done(5000);
    run_all(STEPS_PER_ACTION);
}

void start_worker() {
    debug_level = 0;
    session_timeout = SESSION_LIFE_S;
    max_sessions = 6;
    max_client_sessions = 4;
    max_client_connections = 3;
    max_client_pending = 2;
    client_prefix_v6 = 64;

    char tmpl[] = "/tmp/server_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        fail("mkdtemp");
    worker.dir = tmpl;
    static std::string data_path = worker.dir + "/data.bin";
    write_bytes(data_path, 64 * 1024);
    file_path = data_path.c_str();
    file_size = 64 * 1024;
    worker.put_log = worker.dir + "/put.log";
    write_bytes(worker.put_log, 0);
    log_directory = worker.dir.c_str();
    worker.archive = worker.dir + "/archive";
    if (mkdir(worker.archive.c_str(), 0755) != 0)
        fail("cannot make the archive directory");
    archive_directory = worker.archive.c_str();

    // Every log line the server writes goes to a stream of its own; the fuzzer and the
    // sanitizers keep the real standard error.
    // SERVER_FUZZ_VERBOSE=1 keeps them, and shows what the clients read (to follow one input).
    verbose = getenv("SERVER_FUZZ_VERBOSE") != nullptr;
    FILE* quiet = fopen("/dev/null", "we");
    if (quiet == nullptr)
        fail("cannot open /dev/null");
    if (verbose)
        debug_level = 10;
    else
        stderr = quiet;
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }

    if (create_session_container() != 0 || init_file_ops() != 0)
        fail("cannot start the session container or the file operations thread");
    // Small buffers (the accepted sockets inherit them): a download fills its connection
    // after a few kilobytes instead of megabytes, which keeps a program quick.
    for (int family : {AF_INET, AF_INET6}) {
        listen_socket& ls = worker.listeners[family == AF_INET ? 0 : 1];
        ls.fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int buffer = SOCKET_BUFFER;
        setsockopt(ls.fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
        setsockopt(ls.fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        sockaddr_storage addr{};
        socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (family == AF_INET) {
            auto& in4 = reinterpret_cast<sockaddr_in&>(addr);
            in4.sin_family = AF_INET;
            in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            in4.sin_port = htons(static_cast<uint16_t>(worker.port));
        } else {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_loopback;
            in6.sin6_port = htons(static_cast<uint16_t>(worker.port));
        }
        if (ls.fd < 0 || bind(ls.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(ls.fd, 512) != 0 ||
            getsockname(ls.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            fail("cannot listen on loopback");
        worker.port = ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
    }
    // Whether clients may take addresses of fd29::/64 (a local route for the whole prefix):
    // a connection from one of them reaches the IPv6 listener.
    int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 source{}, target{};
    source.sin6_family = target.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fd29::7", &source.sin6_addr);
    target.sin6_addr = in6addr_loopback;
    target.sin6_port = htons(static_cast<uint16_t>(worker.port));
    int one = 1;
    timeval second{1, 0};
    setsockopt(probe, SOL_IP, IP_FREEBIND, &one, sizeof(one));
    setsockopt(probe, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof(second));
    worker.prefix_routed =
        probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&source), sizeof(source)) == 0 &&
        connect(probe, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
    close(probe);
    if (worker.prefix_routed) {
        int accepted = -1;
        for (int i = 0;
             i < 100 && (accepted = accept(worker.listeners[1].fd, nullptr, nullptr)) < 0; i++)
            usleep(10000);
        close(accepted);
    }
    dprintf(STDERR_FILENO, "server_fuzz: IPv6 clients from %s\n",
            worker.prefix_routed ? "addresses of fd29::/64" : "::1 (fd29::/64 is not routed here)");
    for (size_t w = 0; w < WORKERS; w++) {
        if (WORKERS > 1)
            std::thread(worker_thread, w).detach();
        run_on(w, [w] {
            loops[w].epfd = open_worker(worker.listeners, 2);
            loops[w].pending = g_hash_table_new(g_direct_hash, g_direct_equal);
        });
        if (loops[w].epfd < 0 || loops[w].pending == nullptr)
            fail("cannot set up the worker");
    }
}

// Removes the session logs a program made and empties the PUT target when it grew.
void clean_log_directory() {
    DIR* d = opendir(worker.dir.c_str());
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0 && name != "put.log")
            unlink((worker.dir + "/" + name).c_str());
    }
    closedir(d);
    struct stat st {};
    if (stat(worker.put_log.c_str(), &st) == 0 && st.st_size > (1 << 20))
        truncate(worker.put_log.c_str(), 0);
}

// Every record the program's sessions left in the archive must be one JSON object of the
// current version; then the archive is emptied, and its space given back.
void check_and_empty_archive() {
    namespace fs = std::filesystem;
    // A session that ended in the steps after the last wait has its record still on the
    // way: the file operations thread writes it under its temporary name.
    if (wait_file_ops_done(60000) != 0)
        fail("the file operations thread did not finish its commands in a minute");
    std::error_code error;
    for (fs::recursive_directory_iterator it(worker.archive, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_regular_file(error))
            continue;
        const std::string name = it->path().filename().string();
        if (name.starts_with("."))
            fail("an archive record was left under its temporary name");
        std::string text;
        if (FILE* f = fopen(it->path().c_str(), "re")) {
            char buf[4096];
            for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;)
                text.append(buf, n);
            fclose(f);
        }
        boost::system::error_code parse_error;
        boost::json::value record = boost::json::parse(text, parse_error);
        if (parse_error || !record.is_object() ||
            record.as_object().if_contains("schema_version") == nullptr ||
            record.as_object().at("schema_version") != ARCHIVE_SCHEMA_VERSION)
            fail("an archive record is not a JSON record of the current version");
    }
    for (const auto& entry : fs::directory_iterator(worker.archive, error))
        fs::remove_all(entry.path(), error);
    init_log_space(log_directory, MAX_LOG_SPACE_DEFAULT, archive_directory);
}

// ---------------------------------------------------------------------------
// Building requests.

// Every key the server knows, then two it does not.
std::string_view key_name(uint8_t pick) {
    static constexpr std::string_view UNKNOWN[] = {"X", "UNKNOWN_KEY"};
    const std::span<const std::string_view> known = query_key_names();
    const size_t i = pick % (known.size() + 2);
    return i < known.size() ? known[i] : UNKNOWN[i - known.size()];
}

// Numbers at the edges of every width a value may be read into, and products that wrap.
const char* const EXTREMES[] = {
    "0",
    "1",
    "2",
    "100",
    "1000",
    "65535",
    "65536",
    "2147483647",
    "2147483648",
    "4294967295",
    "4294967296",
    "4294967297",
    "9223372036854775807",
    "9223372036854775808",
    "18446744073709551615",
    "18446744073709551616",
    "99999999999999999999999",
    "100000000000000",
    "2305843009213693953",
    "1152921504606846977",
    "18446744073709551",
    "18446744073709552",
    "9223372036854776",
    "-1",
    "00000000000000000001",
};
constexpr size_t NUM_EXTREMES = sizeof(EXTREMES) / sizeof(EXTREMES[0]);

const char* const WORDS[] = {"GET", "POST", "PUT", "reno", "cubic", "nosuchalgo", "A", "get"};
constexpr size_t NUM_WORDS = sizeof(WORDS) / sizeof(WORDS[0]);

const char* const PATH_IDS[] = {
    "0123456789abcdef0123456789abcdef0123",
    "a123456789abcdef0123456789abcdef0123",
    "ffffffff-ffff-ffff-ffff-ffffffffffff",
    "00000000-0000-0000-0000-000000000000",
};
constexpr size_t NUM_PATH_IDS = sizeof(PATH_IDS) / sizeof(PATH_IDS[0]);

const char* const PUT_NAMES[] = {"put.log", "missing.log", "../put.log", "sub/put.log",
                                 "",        "1_100_7.log"};
constexpr size_t NUM_PUT_NAMES = sizeof(PUT_NAMES) / sizeof(PUT_NAMES[0]);

struct reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    bool done() const {
        return pos >= size;
    }
    uint8_t byte() {
        return pos < size ? data[pos++] : 0;
    }
};

std::string value_of(uint8_t v) {
    if (v < 0x80)
        return std::to_string(v);
    if (v < 0xe0)
        return EXTREMES[(v - 0x80) % NUM_EXTREMES];
    return WORDS[(v - 0xe0) % NUM_WORDS];
}

std::string build_request(reader& in) {
    static const char* const METHODS[] = {"GET", "POST", "HEAD", "PUT"};
    uint8_t form = in.byte();
    uint8_t shape = in.byte();
    std::string target;
    switch ((form >> 2) & 3) {
    case 0:
        target = "/";
        break;
    case 1:
        target = "/file";
        break;
    case 2:
        target = std::string("/") + PATH_IDS[(form >> 6) % NUM_PATH_IDS] + "/" +
                 std::to_string(shape >> 4);
        break;
    default:
        target = "/results";
        break;
    }
    size_t params = shape & 15;
    for (size_t i = 0; i < params; i++) {
        uint8_t key = in.byte();
        uint8_t value = in.byte();
        target += (i == 0 ? "?" : "&");
        target += key_name(key);
        target += "=";
        target += value_of(value);
    }
    // The protocol version and header lines: the common ones, sometimes none.
    const char* version = (form & 0x10) ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n";
    std::string lines = (form & 0x20) ? "" : "Host: 127.0.0.1\r\n";
    return std::string(METHODS[form & 3]) + " " + target + version + lines + "\r\n";
}

// ---------------------------------------------------------------------------
// Clients.

std::array<int, CLIENTS> clients;

void close_client(size_t k, bool reset) {
    if (clients[k] < 0)
        return;
    if (reset) {
        linger l{1, 0};
        setsockopt(clients[k], SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    }
    close(clients[k]);
    clients[k] = -1;
}

void open_client(size_t k) {
    close_client(k, false);
    const bool v6 = k >= CLIENTS / 2;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    int buffer = SOCKET_BUFFER;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    sockaddr_storage addr{};
    socklen_t len;
    if (v6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        in6.sin6_port = htons(static_cast<uint16_t>(worker.port));
        len = sizeof(in6);
        if (worker.prefix_routed) {
            // A new address of the /64 for every connection, as a host with privacy
            // addresses takes them.
            static uint16_t next = 0;
            sockaddr_in6 source{};
            source.sin6_family = AF_INET6;
            inet_pton(AF_INET6, "fd29::", &source.sin6_addr);
            source.sin6_addr.s6_addr[14] = static_cast<uint8_t>(k);
            source.sin6_addr.s6_addr[15] = static_cast<uint8_t>(++next);
            int one = 1;
            setsockopt(fd, SOL_IP, IP_FREEBIND, &one, sizeof(one));
            bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof(source));
        }
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(addr);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in4.sin_port = htons(static_cast<uint16_t>(worker.port));
        len = sizeof(in4);
    }
    // Blocking on loopback: done at once while the backlog has room, which it has. A machine
    // out of local ports (every test beside this one makes connections too) leaves the client
    // unopened: that says nothing of the server.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        const int err = errno;
        close(fd);
        if (err == EADDRNOTAVAIL || err == EAGAIN || err == EINTR || err == EADDRINUSE)
            return;
        dprintf(STDERR_FILENO, "server_fuzz: connect: %s\n", strerror(err));
        abort();
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    clients[k] = fd;
}

// Sends what the socket takes now; the rest is dropped, as a client would give up.
void send_text(size_t k, const void* data, size_t n) {
    if (clients[k] < 0 || n == 0)
        return;
    ssize_t rc = send(clients[k], data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)rc;
}

void read_client(size_t k) {
    if (clients[k] < 0)
        return;
    static char sink[65536];
    for (int i = 0; i < 16; i++) {
        ssize_t n = recv(clients[k], sink, sizeof(sink), MSG_DONTWAIT);
        if (n <= 0)
            return;
        if (verbose)
            dprintf(STDERR_FILENO, "client %zu read %zd bytes: %.*s\n", k, n,
                    static_cast<int>(std::min<ssize_t>(n, 200)), sink);
    }
}

// Time steps: short ones within a test, the sampling and interval periods, and ones past
// the session life time.
const int64_t TIME_STEPS[] = {
    1 * MS,
    10 * MS,
    50 * MS,
    100 * MS,
    200 * MS,
    250 * MS,
    1000 * MS,
    1100 * MS,
    2000 * MS,
    5000 * MS,
    (SESSION_LIFE_S - 1) * 1000 * MS,
    (SESSION_LIFE_S + 1) * 1000 * MS,
};

void run_program(reader& in) {
    size_t data_sent = 0;
    for (size_t action = 0; action < MAX_ACTIONS && !in.done(); action++) {
        uint8_t op = in.byte();
        size_t k = (op >> 4) & 7;
        switch (op & 15) {
        case 0:
            open_client(k);
            break;
        case 1: {
            std::string text = build_request(in);
            send_text(k, text.data(), text.size());
            break;
        }
        case 2: {
            size_t n = std::min<size_t>(in.byte(), in.size - in.pos);
            send_text(k, in.data + in.pos, n);
            in.pos += n;
            break;
        }
        case 3: {
            size_t n =
                std::min<size_t>(static_cast<size_t>(in.byte()) * 256, MAX_DATA_BYTES - data_sent);
            static const std::string block(256 * 255, 'u');
            send_text(k, block.data(), n);
            data_sent += n;
            break;
        }
        case 4:
            if (clients[k] >= 0)
                shutdown(clients[k], SHUT_WR);
            break;
        case 5:
            close_client(k, true);
            break;
        case 6:
            close_client(k, false);
            break;
        case 7:
            read_client(k);
            break;
        case 8:
            advance_clocks(TIME_STEPS[in.byte() % std::size(TIME_STEPS)]);
            break;
        case 9: {
            static const char STATS[] = "GET /results HTTP/1.1\r\nHost: test\r\n\r\n";
            send_text(k, STATS, sizeof(STATS) - 1);
            break;
        }
        case 10: {
            // The header alone: its body may only follow the interim reply (DATA).
            std::string text = std::string("PUT /") + PUT_NAMES[in.byte() % NUM_PUT_NAMES] +
                               " HTTP/1.1\r\nHost: test\r\n\r\n";
            send_text(k, text.data(), text.size());
            break;
        }
        case 11:
            settle();
            break;
        case 12:
            current = k % WORKERS;
            break;
        default:
            break;
        }
        run_worker(STEPS_PER_ACTION);
    }
}

// Every client gone and the session life time over: nothing may be left.
void check_all_released() {
    for (size_t k = 0; k < CLIENTS; k++)
        close_client(k, false);
    run_all(STEPS_PER_ACTION);
    for (int round = 0; round < 2; round++) {
        advance_clocks((SESSION_LIFE_S + 1) * 1000 * MS);
        run_all(STEPS_PER_ACTION);
    }
    settle();
    check_and_empty_archive();
    static unsigned programs = 0;
    if (++programs % 64 == 0)
        clean_log_directory();
    // A worker keeps its descriptor of the file to send for the next download.
    for (size_t w = 0; w < WORKERS; w++)
        run_on(w, [] { release_worker_sent_file(); });
    // The file operations thread answers and closes its copies of reply pipes on its own
    // time, and a PUT connection waits for its answers: let both go on for a while before
    // taking a difference for a leak.
    int fds = count_fds();
    for (int i = 0; i < 200 && (fds != worker.start_fds || session_count() != 0); i++) {
        run_all(1, 1);
        wait_file_ops_done(5000);
        fds = count_fds();
    }
    if (session_count() != 0)
        fail("a session outlived its connections and its life time");
    if (memory_reserved() != 0)
        fail("memory stayed reserved after its sessions and uploads");
    if (connected_client_count() != 0)
        fail("a client stayed counted after its connections");
    if (fds != worker.start_fds) {
        dprintf(STDERR_FILENO,
                "server_fuzz: %d descriptors open, %d at the start; %ld connections, %ld "
                "uploads:\n",
                fds, worker.start_fds, static_cast<long>(thread_metrics()->connections_open.load()),
                put_uploads_running());
        print_fds();
        fail("descriptors outlived their connections");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Small slices come from GLib's own slabs, where the address sanitizer sees no bounds:
    // every slice from malloc instead (read once, at the first slice).
    setenv("G_SLICE", "always-malloc", 1);
    clients.fill(-1);
    start_worker();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    reader in{data, size};
    // Counted anew for every program: between programs the server holds nothing of its
    // own, but the sanitizers' symbolizer, started when a report or libFuzzer's notes need
    // it, keeps two pipes open.
    worker.start_fds = count_fds();
    // Programs of odd length run with every connection lent after its first reply (to this
    // same worker, which then plays both owner and carrier): the messages between them
    // are driven too.
    lend_within_worker = WORKERS == 1 && size % 2 == 1;
    set_memory_budget(size % 4 >= 2 ? 64 * 1024 : uint64_t{64} << 20);
    current = 0;
    run_program(in);
    check_all_released();
    return 0;
}
