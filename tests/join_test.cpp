// The request header on real sockets: first replies, header collection, refusals, and
// connections joining their sessions across worker threads, against the real server.
#include "hardening_support.h"

#include <deque>
#include <gtest/gtest.h>
#include <thread>

using namespace vh_test;

namespace {

const std::string NO_PATH_REPLY = "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\n\r\n";
const std::string ID36 = "0123456789abcdef0123456789abcdef0123";
const std::string ID36_SESSION = "3544952156018063104"; // its characters two to eight
std::string path_post(const std::string& rest) {
    return http_request("POST", "/" + ID36 + rest);
}
constexpr size_t HEADER_LIMIT = 16383;

// Controlled requests of session `number` of `unit` (the session id is unit << 32 + number).
std::string download(uint32_t unit, uint64_t number, size_t conns, size_t index,
                     const std::string& extra = "") {
    return http_request("GET", "/file?" + controlled_query(number, conns, index, unit) + extra);
}
std::string upload(uint32_t unit, uint64_t number, size_t conns = 1, size_t index = 0,
                   const std::string& extra = "") {
    return http_request("POST", "/upload?" + controlled_query(number, conns, index, unit) + "&" +
                                    QUICK_UPLOAD + extra);
}
std::string session_line(uint32_t unit, uint64_t number, const std::string& what) {
    return "the session " + std::to_string((uint64_t{unit} << 32) + number) + " is " + what;
}

// A header of exactly `total` bytes: the request line, a padding line and, when `complete`,
// the blank line.
std::string padded_header(const std::string& line, size_t total, bool complete) {
    const size_t end = complete ? 2 : 0; // "X-Pad: ", the padding, CR LF, and the end
    return line + "X-Pad: " + std::string(total - line.size() - 9 - end, 'a') + "\r\n" +
           std::string("\r\n", end);
}

// Each kind of request gets its reply byte-exact, a header of the limit too.
// HEAD needs no session (the same controlled HEAD twice is no duplicate) and keeps its
// connection for further requests; a header-only download is closed, its session going with
// it, and its id can be used again; an unknown congestion control algorithm is reported and
// the download goes on. Path-style uploads with one identifier join one session, whose
// identifier a download with that path never takes.
// Then every connection of a session opened at once joins it, whichever thread accepts it: one
// of them creates the session, the others find it, and those taken by another thread are
// handed over to the owner.
TEST(FirstReplies, EachKindOfRequestGetsItsReplyByteExactAndConnectionsAtOnceJoinOneSession) {
    server_process proc;
    const int port = start_activated(proc, options({"-d", "8"}));
    const std::string no_path = http_request("GET", "/?" + controlled_query(3, 1, 0, 3));
    const std::string line = download(1, 7, 1, 0).substr(0, download(1, 7, 1, 0).find('\n') + 1);
    enum after { STREAMS, QUIET, CLOSES };
    const struct {
        const char* name;
        std::string text, reply;
        after then;
    } cases[] = {
        {"download without a query", http_request("GET", "/file"), GET_REPLY, STREAMS},
        {"download with a 36-character path", http_request("GET", "/" + ID36 + "/1/5000"),
         GET_REPLY, STREAMS},
        {"header of the limit", padded_header(line, HEADER_LIMIT, true), GET_REPLY, STREAMS},
        {"controlled upload", upload(2, 1), CONTINUE, QUIET},
        {"HEAD", http_request("HEAD", "/file"), HEAD_REPLY, QUIET},
        {"HEAD with a controlled query", download(1, 6, 2, 0).replace(0, 3, "HEAD"), HEAD_REPLY,
         QUIET},
        {"the same HEAD again", download(1, 6, 2, 0).replace(0, 3, "HEAD"), HEAD_REPLY, QUIET},
        {"latency control connection of an upload",
         http_request("POST",
                      latency_target("POST", 4294967400, 100, 2, "/lat", "&" + QUICK_UPLOAD) + "0"),
         CREATED, QUIET},
        {"bare GET", "GET / HTTP/1.1\r\n\r\n", NO_PATH_REPLY, CLOSES},
        {"controlled GET without a path", no_path, NO_PATH_REPLY, CLOSES},
        {"unknown TCP_CONG", download(8, 2, 1, 0, "&TCP_CONG=nosuchalgo"), GET_REPLY, STREAMS},
        {"upload, TCP_CONG unused", upload(8, 1, 1, 0, "&TCP_CONG=nosuchalgo"), CONTINUE, QUIET},
        {"path-style upload", path_post("/0/60000"), CONTINUE, QUIET},
        {"path-style upload joining it", path_post("/1/60000"), CONTINUE, QUIET},
        {"joining with other rules",
         path_post("/2/60000?MAX_WARMUP_SAMPLES=4&RESULT_NUM_INTERVALS=6"), CONTINUE, QUIET},
    };
    // Clients naming ids 1 to 3 first take nothing from the anonymous downloads after them: those
    // get 1, 2 and 3 from the server's own count, kept apart from every id a request can name.
    std::deque<client> open, named;
    for (const std::string query : {"?SESSIONID=1", "?SESSIONID=2", "?SESSIONID=3", "", "", ""})
        EXPECT_EQ(named.emplace_back(port).ask(http_request("GET", "/file" + query), GET_REPLY),
                  GET_REPLY);
    for (const auto& c : cases) {
        client& conn = open.emplace_back(port);
        EXPECT_EQ(conn.ask(c.text, c.reply), c.reply) << c.name;
        EXPECT_TRUE(c.then != QUIET || conn.quiet(150ms)) << c.name;
        EXPECT_TRUE(c.then != CLOSES || conn.refused()) << c.name; // closed after the reply
    }
    const std::string ended = "session " + std::to_string((3ull << 32) + 3) + " destroyed";
    EXPECT_TRUE(proc.wait_for(ended, 5s)) << proc.output;
    EXPECT_EQ(client(port).ask(no_path, NO_PATH_REPLY), NO_PATH_REPLY);
    EXPECT_TRUE(proc.wait_count(ended, 2, 5s)) << proc.output;
    client& head = open[4]; // the plain HEAD
    EXPECT_EQ(head.ask("HEAD /other HTTP/1.0\r\nAccept: */*\r\n\r\n", HEAD_REPLY), HEAD_REPLY);
    EXPECT_EQ(head.ask(download(4, 9, 1, 0), GET_REPLY), GET_REPLY);
    EXPECT_TRUE(proc.wait_for(session_line(4, 9, "NEW"), 5s));
    for (int id = 1; id <= 3; id++)
        EXPECT_TRUE(proc.wait_count("the session " + std::to_string(id) + " is NEW", 2, 5s))
            << proc.output;
    EXPECT_EQ(proc.output.find("Duplicated connections received"), std::string::npos);
    EXPECT_TRUE(proc.wait_for("Error setting TCP_CONGESTION nosuchalgo", 5s)) << proc.output;
    // Path-style uploads with one identifier joined one session; the download did not take it.
    const std::string path_session = "the session " + ID36_SESSION + " is ";
    EXPECT_TRUE(proc.wait_count(path_session + "OLD", 2, 5s)) << proc.output;
    EXPECT_EQ(count_occurrences(proc.output, path_session + "NEW"), 1);

    constexpr size_t conns = 8;
    for (uint32_t round = 0; round < 10 && !HasFailure(); round++) {
        const size_t mark = proc.output.size();
        std::deque<client> clients;
        for (size_t i = 0; i < conns; i++) {
            ASSERT_GE(clients.emplace_back(port).fd, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
        }
        for (size_t i = 0; i < conns; i++)
            ASSERT_TRUE(send_all(clients[i].fd, download(6, 10 + round, conns, i)));
        for (size_t i = 0; i < conns; i++)
            EXPECT_EQ(recv_exact(clients[i].fd, GET_REPLY.size(), 5s), GET_REPLY)
                << "round " << round << " connection " << i;
        EXPECT_TRUE(proc.wait_count(session_line(6, 10 + round, "OLD"), conns - 1, 5s));
        EXPECT_EQ(count_occurrences(proc.output, session_line(6, 10 + round, "NEW")), 1);
        EXPECT_TRUE(accepting_workers(proc.output, mark).size() < 2 ||
                    proc.output.find(" was handled to ", mark) != std::string::npos)
            << proc.output.substr(mark);
    }
    EXPECT_EQ(proc.output.find("could not create session"), std::string::npos) << proc.output;
}

// Every kind of refusal closes without a reply byte and leaves its line (the branch that
// refused it); a thousand of them, many at once, leave no descriptor behind, also where a
// session was made and thrown away, and the session they failed to join goes on. A header one
// byte over the limit whose last byte comes apart is answered (it is never incomplete beyond
// the limit); without its end it is refused, in one piece and in several.
TEST(Refusals, RefusalsCloseWithoutAByteAndLeaveNoDescriptorBehind) {
    server_process proc;
    const int port = start_activated(proc, options({"-d", "10"}));
    client held(port), victim(port);
    ASSERT_EQ(held.ask(download(5, 2, 2, 0), GET_REPLY), GET_REPLY);
    // A path-style request refused its join (its slot occupied, or beyond the session's) leaves
    // the session's parameters as they were: the victim measures its own two intervals. Several
    // of each: they land on the session's worker and on the other one.
    ASSERT_EQ(victim.ask(path_post("/0?MAX_WARMUP_SAMPLES=2&WARMUP_SAMPLE_TIME=100&"
                                   "RESULT_NUM_INTERVALS=2&RESULTS_INTERVAL_PERIOD=1"),
                         CONTINUE),
              CONTINUE);
    const std::string cut = "?WARMUP_SAMPLE_TIME=1&RESULT_NUM_INTERVALS=1&TRANSFER_MAX_SIZE=1";
    for (int i = 0; i < 8; i++)
        EXPECT_TRUE(client(port, path_post((i % 2 ? "/9" : "/0") + cut)).refused()) << i;
    EXPECT_TRUE(proc.wait_for("Invalid connection ID received", 5s)) << proc.output;
    ASSERT_TRUE(send_all(victim.fd, std::string(1000, 'v')));
    const std::string differs = "could not create session " + std::to_string((5ull << 32) + 2);
    const std::string no_regex = "Request doesn't match our regex: ";
    const std::string too_big = padded_header("GET /file HTTP/1.1\r\n", HEADER_LIMIT + 1, false);
    const struct {
        std::string text, log;
    } kinds[] = {
        {"get /file HTTP/1.1\r\n\r\n", no_regex + "get /file HTTP/1.1<CR><LF><CR><LF>"},
        {"GET /file?UNIT-ID=1 HTTP/1.1\r\n\r\n", no_regex + "GET /file?UNIT-ID=1"},
        {upload(2, 1) + "0123456789", "<CR><LF><CR><LF>0123456789"},
        {http_request("GET", "/results"), "Error parsing header"},
        {download(1, 5, 2, 2), "Error parsing header"}, // index equal to the count
        {http_request("POST", "/upload?UNITID=3&SESSIONID=4"),
         "Could not complete the creation of the connection"},
        {download(5, 2, 2, 0), "Duplicated connections received"},
        {download(5, 2, 3, 1), differs},
        {download(5, 2, 2, 1, "&TEST_DATA_CAP=1000000"), differs},
        {download(5, 2, 2, 1, "&TCP_CONG=reno"), differs},
        {upload(5, 2, 2, 1), differs},
        {too_big, "Header too big"},
        {"GET /file?CONTROL=1&U", ""}, // abandoned by the client
    };
    const size_t n_kinds = std::size(kinds);
    for (const auto& k : kinds) {
        if (k.log.empty())
            continue;
        int before = count_occurrences(proc.output, k.log);
        EXPECT_TRUE(client(port, k.text).refused()) << k.text.substr(0, 100);
        EXPECT_TRUE(proc.wait_count(k.log, before + 1, 5s)) << k.log << "\n" << proc.output;
    }
    {
        const std::string one_more = padded_header(too_big.substr(0, 20), HEADER_LIMIT + 1, true);
        client c(port, one_more.substr(0, HEADER_LIMIT)), pieces(port);
        for (size_t at = 0; at < too_big.size(); at += 5000, std::this_thread::sleep_for(50ms))
            ASSERT_TRUE(send_all(pieces.fd, too_big.substr(at, 5000)));
        EXPECT_EQ(c.ask(one_more.substr(HEADER_LIMIT), GET_REPLY), GET_REPLY);
        EXPECT_TRUE(pieces.refused());
        EXPECT_TRUE(proc.wait_count("Header too big", 2, 5s)) << proc.output;
    }
    EXPECT_EQ(client(port).ask(upload(2, 1), CONTINUE), CONTINUE);
    const std::string got = read_until_close(victim.fd, 10s);
    EXPECT_NE(got.find("\nNUM_MEASUR: 2\n"), std::string::npos) << got;
    const int baseline = idle_descriptors(proc.pid, port);
    constexpr size_t total = 1000, batch = 25;
    for (size_t first = 0; first < total && !HasFailure(); first += batch) {
        std::deque<client> clients;
        for (size_t i = first; i < first + batch; i++)
            ASSERT_GE(clients.emplace_back(port).fd, 0);
        for (size_t i = first; i < first + batch; i++)
            send_all(clients[i - first].fd, kinds[i % n_kinds].text);
        for (size_t i = first; i < first + batch; i++) // the abandoned one is closed by this side
            EXPECT_TRUE(i % n_kinds == n_kinds - 1 || clients[i - first].refused()) << i;
        proc.poll_output(0ms);
    }
    EXPECT_EQ(settle_fds(proc, baseline), baseline) << describe_fds(proc.pid);
    EXPECT_FALSE(peer_closed(held.fd));
    EXPECT_EQ(client(port).ask(download(5, 2, 2, 1), GET_REPLY), GET_REPLY);
}

} // namespace
