// The request header on real sockets: first replies, header collection, refusals, and
// connections joining their sessions across worker threads, against the real server.
#include "handlers.h"
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <gtest/gtest.h>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using vh_test::server_process;
using vh_test::start_options;

namespace {

using clock_type = std::chrono::steady_clock;

using vh_test::GET_REPLY;
const std::string NO_PATH_REPLY = "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\n\r\n";
const std::string POST_REPLY = "HTTP/1.1 100 Continue\r\nX-Varnholt: 1\r\n\r\n";
using vh_test::HEAD_REPLY;
const std::string LATENCY_REPLY = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";

// Upload rules of a controlled POST; the long sample time keeps the warm-up from ending
// while a test looks at the connection.
const std::string UPLOAD_RULES = "NUM_WARMUP_SAMPLES=3&MAX_WARMUP_SAMPLES=30&"
                                 "WARMUP_SAMPLE_TIME=1000&RESULT_NUM_INTERVALS=4&"
                                 "RESULTS_INTERVAL_PERIOD=1";
const std::string ID36 = "0123456789abcdef0123456789abcdef0123";

constexpr int HEADER_LIMIT = 16383;

uint64_t session_of(uint32_t unit, uint32_t number) {
    return (static_cast<uint64_t>(unit) << 32) + number;
}

// The session id a path-style request takes from its 36-character identifier.
uint64_t path_session_id(const std::string& id) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; i++) {
        v += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(id[i])));
        v <<= 8;
    }
    return v;
}

std::string request(const std::string& method, const std::string& target,
                    const std::string& lines = "Host: 127.0.0.1\r\n") {
    return method + " " + target + " HTTP/1.1\r\n" + lines + "\r\n";
}

// A controlled download request of session (unit, number).
std::string download(uint32_t unit, uint32_t number, size_t conns, size_t index,
                     const std::string& extra = "") {
    return request("GET", "/file?CONTROL=1&UNITID=" + std::to_string(unit) + "&SESSIONID=" +
                              std::to_string(number) + "&NUM_CONNECTIONS=" + std::to_string(conns) +
                              "&CONNECTION=" + std::to_string(index) + extra);
}

std::string upload(uint32_t unit, uint32_t number, size_t conns, size_t index,
                   const std::string& extra = "") {
    return request("POST", "/upload?CONTROL=1&UNITID=" + std::to_string(unit) +
                               "&SESSIONID=" + std::to_string(number) +
                               "&NUM_CONNECTIONS=" + std::to_string(conns) +
                               "&CONNECTION=" + std::to_string(index) + "&" + UPLOAD_RULES + extra);
}

// A header of exactly `total` bytes: the request line, padding header lines and, when
// `complete`, the blank line.
std::string padded_header(const std::string& request_line, size_t total, bool complete) {
    std::string text = request_line;
    size_t remaining = total - text.size() - (complete ? 2 : 0);
    while (remaining > 0) {
        size_t len = remaining < 200 ? remaining : 100;
        text += "X-Pad: " + std::string(len - 9, 'a') + "\r\n";
        remaining -= len;
    }
    if (complete)
        text += "\r\n";
    return text;
}

int count_occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

// Waits until `text` occurs at least `n` times in the server's output.
bool wait_count(server_process& proc, const std::string& text, int n,
                std::chrono::milliseconds timeout = 5s) {
    auto deadline = clock_type::now() + timeout;
    while (count_occurrences(proc.output, text) < n) {
        if (clock_type::now() >= deadline)
            return false;
        proc.poll_output(50ms);
    }
    return true;
}

bool wait_for_session_line(server_process& proc, uint64_t id, const std::string& which) {
    return proc.wait_for("the session " + std::to_string(id) + " is " + which, 5s);
}

// A client socket, closed when it goes out of scope.
class client {
  public:
    explicit client(int port) : fd_(vh_test::connect_loopback(port)) {}
    client(client&& other) noexcept : fd_(other.fd_) {
        other.fd_ = -1;
    }
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    client& operator=(client&&) = delete;
    ~client() {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const {
        return fd_;
    }

  private:
    int fd_;
};

bool send_all(int fd, const std::string& data, std::chrono::milliseconds timeout = 5s) {
    auto deadline = clock_type::now() + timeout;
    size_t sent = 0;
    while (sent < data.size()) {
        if (clock_type::now() >= deadline)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly `n` bytes; fewer when the peer closes or the time runs out.
std::string recv_exact(int fd, size_t n, std::chrono::milliseconds timeout = 5s) {
    std::string out;
    auto deadline = clock_type::now() + timeout;
    char buf[4096];
    while (out.size() < n && clock_type::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t r = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

struct drained {
    std::string data;
    bool closed = false;
};

// Reads until the peer closes (orderly or by reset), `limit` bytes have arrived or the
// time runs out.
drained recv_until_close(int fd, std::chrono::milliseconds timeout = 5s, size_t limit = 4096) {
    drained result;
    auto deadline = clock_type::now() + timeout;
    char buf[4096];
    while (clock_type::now() < deadline && result.data.size() < limit) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        ssize_t r = recv(fd, buf, std::min(sizeof(buf), limit - result.data.size()), 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET)) {
            result.closed = true;
            break;
        }
        if (r < 0)
            break;
        result.data.append(buf, static_cast<size_t>(r));
    }
    return result;
}

// True when the peer has not closed its side within `wait`; reads nothing.
bool stays_open(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLRDHUP, 0};
    int r = poll(&p, 1, static_cast<int>(wait.count()));
    return r == 0 || (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0);
}

// True when nothing arrives and the connection stays open for `wait`.
bool quiet_for(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 0;
}

// Starts the server on an inherited loopback socket; returns the port.
int start_on_loopback_socket(server_process& proc, start_options opts) {
    int port = 0;
    int fd = vh_test::listen_loopback(false, &port);
    EXPECT_GE(fd, 0);
    opts.inherit_fd = fd;
    if (std::find(opts.args.begin(), opts.args.end(), "-f") == opts.args.end()) {
        opts.args.push_back("-f");
        opts.args.push_back(vh_test::test_file());
    }
    vh_test::start(proc, opts);
    close(fd);
    return port;
}

int start_server(server_process& proc, int debug_level, const std::string& cpu_list = "") {
    start_options opts;
    opts.args = {"-d", std::to_string(debug_level)};
    opts.cpu_list = cpu_list;
    return start_on_loopback_socket(proc, opts);
}

// Sends `text` on a new connection and returns the first `n` bytes of the answer.
std::string first_reply(int port, const std::string& text, size_t n) {
    client c(port);
    EXPECT_GE(c.fd(), 0);
    EXPECT_TRUE(send_all(c.fd(), text));
    return recv_exact(c.fd(), n);
}

// The connection is closed by the server without a single reply byte.
void expect_refused(int fd, const std::string& what, std::chrono::milliseconds timeout = 5s) {
    drained d = recv_until_close(fd, timeout, 64);
    EXPECT_TRUE(d.closed) << what << ": the server kept the connection open";
    EXPECT_EQ(d.data, "") << what;
}

// --- First replies ------------------------------------------------------------------------

TEST(FirstReplies, EachKindOfRequestGetsItsReplyByteExact) {
    server_process proc;
    int port = start_server(proc, 3);
    struct Case {
        const char* name;
        std::string text;
        std::string reply;
        bool quiet_after; // nothing follows the reply and the connection stays open
    } cases[] = {
        {"controlled download", download(1, 5, 1, 0), GET_REPLY, false},
        {"download without a query", request("GET", "/file"), GET_REPLY, false},
        {"download with a 36-character path", request("GET", "/" + ID36 + "/1/5000"), GET_REPLY,
         false},
        {"controlled upload", upload(2, 1, 1, 0), POST_REPLY, true},
        {"HEAD", request("HEAD", "/file"), HEAD_REPLY, true},
        {"HEAD with a controlled query",
         request("HEAD", "/file?CONTROL=1&UNITID=1&SESSIONID=6&NUM_CONNECTIONS=1&CONNECTION=0"),
         HEAD_REPLY, true},
        {"latency control connection",
         request("GET", "/lat?LATENCY_TEST=GET&LATENCY_INTERVAL=100&LATENCY_ID=4294967296&"
                        "CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=0"),
         LATENCY_REPLY, true},
        {"latency control connection of an upload",
         request("POST", "/lat?LATENCY_TEST=POST&LATENCY_INTERVAL=100&LATENCY_ID=4294967400&"
                         "CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=0&" +
                             UPLOAD_RULES),
         LATENCY_REPLY, true},
    };
    for (const auto& c : cases) {
        client conn(port);
        ASSERT_GE(conn.fd(), 0);
        ASSERT_TRUE(send_all(conn.fd(), c.text)) << c.name;
        EXPECT_EQ(recv_exact(conn.fd(), c.reply.size()), c.reply) << c.name;
        if (c.quiet_after) {
            EXPECT_TRUE(quiet_for(conn.fd(), 150ms)) << c.name;
        }
    }
}

TEST(FirstReplies, OtherConnectionsOfALatencySessionGetTheDownloadReply) {
    server_process proc;
    int port = start_server(proc, 3);
    const std::string query =
        "/lat?LATENCY_TEST=GET&LATENCY_INTERVAL=100&LATENCY_ID=4294967297&CONTROL=1&"
        "NUM_CONNECTIONS=2&CONNECTION=";
    client control(port), data(port);
    ASSERT_TRUE(send_all(control.fd(), request("GET", query + "0")));
    EXPECT_EQ(recv_exact(control.fd(), LATENCY_REPLY.size()), LATENCY_REPLY);
    ASSERT_TRUE(send_all(data.fd(), request("GET", query + "1")));
    EXPECT_EQ(recv_exact(data.fd(), GET_REPLY.size()), GET_REPLY);
}

TEST(FirstReplies, ADownloadWithoutAPathGetsTheHeaderOnlyAndIsClosed) {
    server_process proc;
    int port = start_server(proc, 3);
    for (const std::string& text :
         {std::string("GET / HTTP/1.1\r\n\r\n"),
          request("GET", "/?CONTROL=1&UNITID=3&SESSIONID=3&NUM_CONNECTIONS=1&CONNECTION=0")}) {
        client c(port);
        ASSERT_TRUE(send_all(c.fd(), text));
        drained d = recv_until_close(c.fd());
        EXPECT_TRUE(d.closed) << text;
        EXPECT_EQ(d.data, NO_PATH_REPLY) << text;
    }
}

// HEAD needs no session: the same controlled query on two connections is no duplicate,
// and one connection takes request after request.
TEST(FirstReplies, HeadKeepsTheConnectionForFurtherRequests) {
    server_process proc;
    int port = start_server(proc, 8);
    const std::string head = request("HEAD", "/file?CONTROL=1&UNITID=4&SESSIONID=4&"
                                             "NUM_CONNECTIONS=2&CONNECTION=0");
    client a(port), b(port);
    ASSERT_TRUE(send_all(a.fd(), head));
    EXPECT_EQ(recv_exact(a.fd(), HEAD_REPLY.size()), HEAD_REPLY);
    ASSERT_TRUE(send_all(b.fd(), head));
    EXPECT_EQ(recv_exact(b.fd(), HEAD_REPLY.size()), HEAD_REPLY);
    EXPECT_TRUE(quiet_for(a.fd(), 100ms));

    // A second HEAD, different in form, is parsed anew.
    ASSERT_TRUE(send_all(a.fd(), "HEAD /other HTTP/1.0\r\nAccept: */*\r\n\r\n"));
    EXPECT_EQ(recv_exact(a.fd(), HEAD_REPLY.size()), HEAD_REPLY);
    EXPECT_TRUE(quiet_for(a.fd(), 100ms));
    proc.poll_output(100ms);
    EXPECT_EQ(proc.output.find("the session"), std::string::npos) << proc.output;

    // Back in its first state, the connection can still start a download.
    ASSERT_TRUE(send_all(a.fd(), download(4, 9, 1, 0)));
    EXPECT_EQ(recv_exact(a.fd(), GET_REPLY.size()), GET_REPLY);
    EXPECT_TRUE(wait_for_session_line(proc, session_of(4, 9), "NEW"));
}

// --- Header collection ----------------------------------------------------------------------

TEST(Header, AHeaderInThreePiecesIsAnsweredAsAWhole) {
    server_process proc;
    int port = start_server(proc, 10);
    const std::string text = download(1, 5, 1, 0);
    // The blank line itself is split between the second and the third piece.
    const std::string pieces[] = {text.substr(0, 20), text.substr(20, text.size() - 21),
                                  text.substr(text.size() - 1)};
    client c(port);
    // Each piece is sent once the server has seen the previous one, so that a
    // loaded machine cannot merge them into one read.
    const std::string incomplete = "doesn't contain double CRLF";
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(send_all(c.fd(), pieces[i]));
        if (i < 2) {
            EXPECT_TRUE(proc.wait_count(incomplete, i + 1, 5s)) << proc.output;
        }
    }
    EXPECT_EQ(recv_exact(c.fd(), GET_REPLY.size()), GET_REPLY);
    proc.poll_output(100ms);
    EXPECT_EQ(count_occurrences(proc.output, incomplete), 2) << proc.output;
    EXPECT_EQ(proc.output.find("Error parsing header"), std::string::npos) << proc.output;
}

TEST(Header, AHeaderOfTheLimitIsAnsweredAndOneByteMoreWithoutItsEndIsRefused) {
    server_process proc;
    int port = start_server(proc, 10);
    const std::string line =
        "GET /file?CONTROL=1&UNITID=1&SESSIONID=5&NUM_CONNECTIONS=1&CONNECTION=0 HTTP/1.1\r\n";

    const std::string largest = padded_header(line, HEADER_LIMIT, true);
    ASSERT_EQ(largest.size(), static_cast<size_t>(HEADER_LIMIT));
    EXPECT_EQ(first_reply(port, largest, GET_REPLY.size()), GET_REPLY);

    // Incomplete at the limit, then completed by its last byte: never incomplete beyond the
    // limit, so it is answered.
    const std::string one_more = padded_header(line, HEADER_LIMIT + 1, true);
    {
        client c(port);
        ASSERT_TRUE(send_all(c.fd(), one_more.substr(0, HEADER_LIMIT)));
        std::this_thread::sleep_for(100ms);
        ASSERT_TRUE(send_all(c.fd(), one_more.substr(HEADER_LIMIT)));
        EXPECT_EQ(recv_exact(c.fd(), GET_REPLY.size()), GET_REPLY);
    }

    // In one piece and in pieces: once more than the limit has arrived without the blank
    // line, the connection is closed.
    const std::string too_big = padded_header(line, HEADER_LIMIT + 1, false);
    ASSERT_EQ(too_big.size(), static_cast<size_t>(HEADER_LIMIT + 1));
    {
        client c(port);
        ASSERT_TRUE(send_all(c.fd(), too_big));
        expect_refused(c.fd(), "header over the limit");
    }
    {
        client c(port);
        for (size_t at = 0; at < too_big.size(); at += 5000) {
            ASSERT_TRUE(send_all(c.fd(), too_big.substr(at, 5000)));
            std::this_thread::sleep_for(50ms);
        }
        expect_refused(c.fd(), "header over the limit, in pieces");
    }
    EXPECT_TRUE(wait_count(proc, "Header too big", 2)) << proc.output;
}

// --- Refusals -----------------------------------------------------------------------------

TEST(Refusals, InvalidRequestsAreClosedWithoutAReplyByte) {
    server_process proc;
    int port = start_server(proc, 10);
    struct Case {
        const char* name;
        std::string text;
        std::string log; // a line the refusal leaves in the output
    } cases[] = {
        {"lower-case method", "get /file HTTP/1.1\r\n\r\n",
         "Request doesn't match our regex: get /file HTTP/1.1<CR><LF><CR><LF>"},
        {"key with punctuation", "GET /file?UNIT-ID=1 HTTP/1.1\r\n\r\n",
         "Request doesn't match our regex: GET /file?UNIT-ID=1"},
        {"header line without a colon", "GET /file HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n",
         "Request doesn't match our regex: GET /file HTTP/1.1<CR><LF>Host 127.0.0.1"},
        {"body bytes sent with the header", upload(2, 1, 1, 0) + "0123456789",
         "<CR><LF><CR><LF>0123456789"},
        {"the statistics path", request("GET", "/results"), "Error parsing header"},
        {"connection index equal to the count", download(1, 5, 2, 2), "Error parsing header"},
        {"upload without warm-up samples", request("POST", "/upload?UNITID=3&SESSIONID=4"),
         "Could not complete the creation of the connection"},
    };
    for (const auto& c : cases) {
        int before = count_occurrences(proc.output, c.log);
        client conn(port);
        ASSERT_GE(conn.fd(), 0);
        ASSERT_TRUE(send_all(conn.fd(), c.text)) << c.name;
        expect_refused(conn.fd(), c.name);
        EXPECT_TRUE(wait_count(proc, c.log, before + 1)) << c.name << "\n" << proc.output;
    }
    // The same upload with its rules is served.
    EXPECT_EQ(first_reply(port, upload(2, 1, 1, 0), POST_REPLY.size()), POST_REPLY);
}

// Refused and abandoned requests of every kind, many of them at once, leave no descriptor
// behind, also where a session was made and thrown away.
TEST(Refusals, AThousandRefusalsLeaveNoDescriptorBehind) {
    server_process proc;
    int port = start_server(proc, 0);
    client held(port);
    ASSERT_TRUE(send_all(held.fd(), download(9, 1, 2, 0)));
    ASSERT_EQ(recv_exact(held.fd(), GET_REPLY.size()), GET_REPLY);
    EXPECT_EQ(first_reply(port, request("HEAD", "/"), HEAD_REPLY.size()), HEAD_REPLY);
    std::this_thread::sleep_for(200ms);
    const int baseline = vh_test::count_fds(proc.pid);
    ASSERT_GT(baseline, 0);

    const std::string too_big = padded_header("GET /file HTTP/1.1\r\n", HEADER_LIMIT + 1, false);
    const std::string kinds[] = {
        "get /file HTTP/1.1\r\n\r\n",
        "GET /file?UNIT-ID=1 HTTP/1.1\r\n\r\n",
        "GET /file HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n",
        upload(2, 1, 1, 0) + "body",
        request("GET", "/results"),
        download(1, 5, 2, 2),
        request("POST", "/upload?UNITID=3&SESSIONID=4"),
        download(9, 1, 2, 0),    // duplicate of the held connection
        download(9, 1, 3, 1),    // differs from the held connection's session
        too_big,                 // over the header limit
        "GET /file?CONTROL=1&U", // abandoned by the client
    };
    constexpr size_t total = 1000;
    constexpr size_t batch = 25;
    int not_closed = 0, answered = 0;
    for (size_t first = 0; first < total; first += batch) {
        std::vector<client> clients;
        for (size_t i = first; i < first + batch; i++) {
            clients.emplace_back(port);
            ASSERT_GE(clients.back().fd(), 0);
        }
        for (size_t i = first; i < first + batch; i++)
            send_all(clients[i - first].fd(), kinds[i % std::size(kinds)]);
        const auto deadline = clock_type::now() + 5s;
        for (size_t i = first; i < first + batch; i++) {
            if (i % std::size(kinds) == std::size(kinds) - 1)
                continue; // closed by this side
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            drained d = recv_until_close(clients[i - first].fd(), std::max(left, 10ms), 64);
            not_closed += d.closed ? 0 : 1;
            answered += d.data.empty() ? 0 : 1;
        }
        proc.poll_output(0ms);
        if (not_closed + answered > 0)
            break; // one bad batch is enough to know
    }
    EXPECT_EQ(not_closed, 0);
    EXPECT_EQ(answered, 0);

    int fds = vh_test::count_fds(proc.pid);
    for (int i = 0; i < 100 && fds != baseline; i++) {
        proc.poll_output(50ms);
        fds = vh_test::count_fds(proc.pid);
    }
    EXPECT_EQ(fds, baseline);
    EXPECT_TRUE(stays_open(held.fd(), 0ms));
    EXPECT_EQ(first_reply(port, download(9, 1, 2, 1), GET_REPLY.size()), GET_REPLY);
    EXPECT_EQ(first_reply(port, request("HEAD", "/"), HEAD_REPLY.size()), HEAD_REPLY);
}

// --- Sessions -----------------------------------------------------------------------------

TEST(Sessions, EveryConnectionOfASessionIsAnsweredWhicheverThreadAcceptsIt) {
    const bool two_workers = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    server_process proc;
    int port = start_server(proc, 3);
    constexpr size_t conns = 8;
    bool handed_over = false;
    const std::regex received(R"(Connection [0-9]+ received by ([0-9]+))");
    for (uint32_t attempt = 0; attempt < 5 && !handed_over; attempt++) {
        const size_t mark = proc.output.size();
        std::vector<client> clients;
        for (size_t i = 0; i < conns; i++) {
            clients.emplace_back(port);
            ASSERT_GE(clients.back().fd(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(attempt));
        }
        for (size_t i = 0; i < conns; i++)
            ASSERT_TRUE(send_all(clients[i].fd(), download(7, 100 + attempt, conns, i)));
        for (size_t i = 0; i < conns; i++)
            ASSERT_EQ(recv_exact(clients[i].fd(), GET_REPLY.size()), GET_REPLY)
                << "attempt " << attempt << " connection " << i;
        proc.poll_output(100ms);
        const std::string segment = proc.output.substr(mark);
        handed_over = segment.find(" was handled to ") != std::string::npos;
        // Connections taken by two threads mean that some were moved to the owner.
        std::set<std::string> acceptors;
        for (std::sregex_iterator it(segment.begin(), segment.end(), received), end; it != end;
             ++it)
            acceptors.insert((*it)[1]);
        if (acceptors.size() > 1) {
            EXPECT_TRUE(handed_over) << segment;
        }
    }
    if (two_workers && !handed_over)
        std::cout << "note: every connection was accepted by the owning thread\n";
}

TEST(Sessions, ASecondConnectionWithTheSameIndexIsRefused) {
    server_process proc;
    int port = start_server(proc, 3);
    client first(port), duplicate(port), other(port);
    ASSERT_TRUE(send_all(first.fd(), download(5, 1, 2, 0)));
    ASSERT_EQ(recv_exact(first.fd(), GET_REPLY.size()), GET_REPLY);

    ASSERT_TRUE(send_all(duplicate.fd(), download(5, 1, 2, 0)));
    expect_refused(duplicate.fd(), "duplicate");
    EXPECT_TRUE(proc.wait_for("Duplicated connections received", 5s)) << proc.output;
    EXPECT_TRUE(stays_open(first.fd(), 100ms));

    ASSERT_TRUE(send_all(other.fd(), download(5, 1, 2, 1)));
    EXPECT_EQ(recv_exact(other.fd(), GET_REPLY.size()), GET_REPLY);
}

TEST(Sessions, AConnectionWithOtherTestParametersIsRefused) {
    server_process proc;
    int port = start_server(proc, 3);
    const std::string refused = "could not create session " + std::to_string(session_of(5, 2));
    client first(port);
    ASSERT_TRUE(send_all(first.fd(), download(5, 2, 2, 0)));
    ASSERT_EQ(recv_exact(first.fd(), GET_REPLY.size()), GET_REPLY);

    const std::string differing[] = {
        download(5, 2, 3, 1),
        download(5, 2, 2, 1, "&TEST_DATA_CAP=1000000"),
        download(5, 2, 2, 1, "&TCP_CONG=reno"),
    };
    int n = 0;
    for (const auto& text : differing) {
        client c(port);
        ASSERT_TRUE(send_all(c.fd(), text));
        expect_refused(c.fd(), text);
        EXPECT_TRUE(wait_count(proc, refused, ++n)) << text << "\n" << proc.output;
    }
    EXPECT_TRUE(stays_open(first.fd(), 100ms));
    // An upload of the same session id differs in its method.
    {
        client c(port);
        ASSERT_TRUE(send_all(c.fd(), upload(5, 2, 2, 1)));
        expect_refused(c.fd(), "upload to a download session");
        EXPECT_TRUE(wait_count(proc, refused, ++n)) << proc.output;
    }
    EXPECT_EQ(first_reply(port, download(5, 2, 2, 1), GET_REPLY.size()), GET_REPLY);
}

// Both connections of a new session come in at once: one of them creates the session,
// the other finds it, whichever thread each one reaches.
TEST(Sessions, TwoConnectionsOfANewSessionAtTheSameMomentJoinOneSession) {
    server_process proc;
    int port = start_server(proc, 8);
    for (uint32_t round = 0; round < 10; round++) {
        const uint64_t id = session_of(6, 10 + round);
        client a(port), b(port);
        ASSERT_GE(a.fd(), 0);
        ASSERT_GE(b.fd(), 0);
        const std::string ra = download(6, 10 + round, 2, 0);
        const std::string rb = download(6, 10 + round, 2, 1);
        ASSERT_EQ(send(a.fd(), ra.data(), ra.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(ra.size()));
        ASSERT_EQ(send(b.fd(), rb.data(), rb.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(rb.size()));
        ASSERT_EQ(recv_exact(a.fd(), GET_REPLY.size()), GET_REPLY) << "round " << round;
        ASSERT_EQ(recv_exact(b.fd(), GET_REPLY.size()), GET_REPLY) << "round " << round;
        const std::string prefix = "the session " + std::to_string(id) + " is ";
        EXPECT_TRUE(wait_count(proc, prefix + "OLD", 1)) << proc.output;
        EXPECT_EQ(count_occurrences(proc.output, prefix + "NEW"), 1) << proc.output;
        EXPECT_EQ(count_occurrences(proc.output, prefix + "OLD"), 1) << proc.output;
        if (HasFailure())
            break;
    }
    EXPECT_EQ(proc.output.find("could not create session"), std::string::npos) << proc.output;
}

// A header-only download closes its connection after the reply; with its last
// connection gone the session goes too, and the same session id starts afresh.
TEST(Sessions, ASessionEndsWithItsLastConnectionAndItsIdCanBeUsedAgain) {
    server_process proc;
    int port = start_server(proc, 3);
    const uint64_t id = session_of(1, 9);
    const std::string text =
        request("GET", "/?CONTROL=1&UNITID=1&SESSIONID=9&NUM_CONNECTIONS=1&CONNECTION=0");
    for (int round = 1; round <= 3; round++) {
        client c(port);
        ASSERT_TRUE(send_all(c.fd(), text));
        drained d = recv_until_close(c.fd());
        EXPECT_TRUE(d.closed) << "round " << round;
        EXPECT_EQ(d.data, NO_PATH_REPLY) << "round " << round;
        EXPECT_TRUE(wait_count(proc, "session " + std::to_string(id) + " destroyed", round))
            << proc.output;
    }
    EXPECT_EQ(proc.output.find("Duplicated connections received"), std::string::npos)
        << proc.output;
}

// --- Path-style uploads ---------------------------------------------------------------------

TEST(PathStyle, UploadsWithTheSameIdentifierJoinOneSession) {
    server_process proc;
    int port = start_server(proc, 8);
    const uint64_t id = path_session_id(ID36);
    client c0(port), c1(port), c2(port);
    ASSERT_TRUE(send_all(c0.fd(), request("POST", "/" + ID36 + "/0/60000")));
    EXPECT_EQ(recv_exact(c0.fd(), POST_REPLY.size()), POST_REPLY);
    EXPECT_TRUE(wait_for_session_line(proc, id, "NEW")) << proc.output;
    ASSERT_TRUE(send_all(c1.fd(), request("POST", "/" + ID36 + "/1/60000")));
    EXPECT_EQ(recv_exact(c1.fd(), POST_REPLY.size()), POST_REPLY);
    EXPECT_TRUE(wait_for_session_line(proc, id, "OLD")) << proc.output;
    // Different upload rules without a sample time: the connection adopts the session's.
    ASSERT_TRUE(send_all(c2.fd(), request("POST", "/" + ID36 +
                                                      "/2/60000?MAX_WARMUP_SAMPLES=4&"
                                                      "RESULT_NUM_INTERVALS=6")));
    EXPECT_EQ(recv_exact(c2.fd(), POST_REPLY.size()), POST_REPLY);

    // The same identifier and index again is a duplicate in that session.
    {
        client dup(port);
        ASSERT_TRUE(send_all(dup.fd(), request("POST", "/" + ID36 + "/1/60000")));
        expect_refused(dup.fd(), "duplicate path-style connection");
        EXPECT_TRUE(proc.wait_for("Duplicated connections received", 5s)) << proc.output;
    }
    // The session has the default five connections: index 5 does not exist.
    {
        client bad(port);
        ASSERT_TRUE(send_all(bad.fd(), request("POST", "/" + ID36 + "/5/60000")));
        expect_refused(bad.fd(), "index beyond the session");
        EXPECT_TRUE(proc.wait_for("Invalid connection ID received", 5s)) << proc.output;
    }
    EXPECT_EQ(count_occurrences(proc.output, "the session " + std::to_string(id) + " is NEW"), 1)
        << proc.output;
}

// A download never takes its session from the path: the same path twice is not a duplicate.
TEST(PathStyle, DownloadsWithAnIdentifierInThePathDoNotJoin) {
    server_process proc;
    int port = start_server(proc, 3);
    client a(port), b(port);
    ASSERT_TRUE(send_all(a.fd(), request("GET", "/" + ID36 + "/1/60000")));
    EXPECT_EQ(recv_exact(a.fd(), GET_REPLY.size()), GET_REPLY);
    ASSERT_TRUE(send_all(b.fd(), request("GET", "/" + ID36 + "/1/60000")));
    EXPECT_EQ(recv_exact(b.fd(), GET_REPLY.size()), GET_REPLY);
    proc.poll_output(100ms);
    EXPECT_EQ(proc.output.find("Duplicated connections received"), std::string::npos)
        << proc.output;
}

// --- TCP congestion control -----------------------------------------------------------------

TEST(Congestion, AnUnknownAlgorithmIsReportedAndTheDownloadGoesOn) {
    server_process proc;
    int port = start_server(proc, 0);
    // Not applied to uploads at all.
    EXPECT_EQ(first_reply(port, upload(8, 1, 1, 0, "&TCP_CONG=nosuchalgo"), POST_REPLY.size()),
              POST_REPLY);
    client c(port);
    ASSERT_TRUE(send_all(c.fd(), download(8, 2, 1, 0, "&TCP_CONG=nosuchalgo")));
    EXPECT_EQ(recv_exact(c.fd(), GET_REPLY.size()), GET_REPLY);
    EXPECT_TRUE(proc.wait_for("Error setting TCP_CONGESTION nosuchalgo", 5s)) << proc.output;

    // An algorithm this process may set is set without a word.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    bool reno_allowed = setsockopt(probe, IPPROTO_TCP, TCP_CONGESTION, "reno", 4) == 0;
    close(probe);
    if (reno_allowed) {
        EXPECT_EQ(first_reply(port, download(8, 3, 1, 0, "&TCP_CONG=reno"), GET_REPLY.size()),
                  GET_REPLY);
        proc.poll_output(200ms);
    }
    EXPECT_EQ(count_occurrences(proc.output, "Error setting TCP_CONGESTION"), 1) << proc.output;
}

} // namespace
