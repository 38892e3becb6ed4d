// Sessions whose connections another worker carries, on one worker that lends to itself
// and runs step by step: every message between owner and carrier goes through its mailbox,
// in an order the test arranges; what such a session may allocate against what it reserved;
// and, on the same stepped worker, connections whose client stops reading.
#include "budget.h"
#include "client_limits.h"
#include "connection.h"
#include "hardening_support.h"
#include "lending.h"
#include "main_thread.h"
#include "session.h"
#include "settings.h"
#include "timeout_list.h"
#include "timers.h"

#include <gtest/gtest.h>
#include <atomic>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <thread>
#include <utility>

using namespace vh_test;

namespace {

constexpr int LIFE_S = 60;
const std::string RULES = "NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=50&WARMUP_SAMPLE_TIME=1000&"
                          "RESULT_NUM_INTERVALS=2&RESULTS_INTERVAL_PERIOD=1";

struct LentSession : ::testing::Test {
    listen_socket listener{EPOLL_LISTEN_SOCKET, -1, false};
    int epfd = -1, port = 0, clients[3] = {-1, -1, -1};
    GHashTable* pending = g_hash_table_new(g_direct_hash, g_direct_equal);
    session* sess = nullptr; // the session under test
    const client_address local{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}};

    static void SetUpTestSuite() {
        static const std::string file = test_file();
        file_path = file.c_str();
        session_timeout = LIFE_S;
        static FILE* quiet = stderr = fopen("/dev/null", "we"); // the server's log lines
        lend_within_worker = true;
        static const int made = create_session_container(); // once for both fixtures
        ASSERT_TRUE(quiet != nullptr && made == 0);
    }
    void SetUp() override {
        listener.fd = listen_loopback(false, &port);
        ASSERT_GE(epfd = open_worker(&listener, 1), 0);
    }
    void TearDown() override {
        for (int fd : clients)
            close(fd); // -1 (gone already) is refused harmlessly
        advance_thread_clock((LIFE_S + 1) * 1000000000LL); // whatever is left ends with its life
        steps(20);
        EXPECT_EQ(session_count(), 0u);
        EXPECT_EQ(connected_client_count(), 0u); // no client is left counted
        EXPECT_EQ(memory_reserved(), 0u) << "every session gave back what it reserved";
        g_hash_table_destroy(pending);
    }
    // Runs the worker until nothing is ready, at most n iterations (one: exactly the events
    // ready now, in the order they became ready).
    void steps(int n) {
        for (int i = 0; i < n; i++)
            if (!run_worker_step(epfd, pending, &listener, 1, std::chrono::seconds(LIFE_S), 20))
                return;
    }
    // Runs the worker until n bytes arrived on a client's socket or it closed (bounded).
    std::string await(int fd, size_t n) {
        std::string got;
        char buf[4096];
        for (ssize_t r = -1, i = 0; i < 200 && got.size() < n && r != 0; i++) {
            steps(1);
            r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            got.append(buf, static_cast<size_t>(std::max<ssize_t>(r, 0)));
        }
        return got;
    }
    // An upload of three connections whose warm-up never ends by itself (`sess`); every
    // connection has its interim reply and is lent.
    void open_upload(const std::string& extra = "") {
        for (size_t i = 0; i < 3; i++) {
            ASSERT_GE(clients[i] = send_new(port, upload_request(77, 3, i, RULES, extra)), 0);
            ASSERT_EQ(await(clients[i], CONTINUE.size()), CONTINUE) << i;
        }
        steps(6); // the lendings are taken
        ASSERT_EQ(session_count(), 1u);
        ASSERT_NE(sess = get_session({(uint64_t{4} << 32) + 77, false}), nullptr);
        // Lent, a connection is still one connection of its client.
        EXPECT_EQ(client_connection_count(&local), 3);
    }
};

// The session's life time ends, and the owner recalls its three lent connections, while
// connection 1 is reset: its carrier gives it back before the recall reaches it. The recall
// must find nothing to give (the connection is no longer carried), and the session must end
// once, answer the other two and release everything.
TEST_F(LentSession, AConnectionGoneWhileItsRecallIsInFlightEndsOnce) {
    ASSERT_NO_FATAL_FAILURE(open_upload());
    const int fds = count_fds(getpid());
    advance_thread_clock((LIFE_S + 1) * 1000000000LL);
    usleep(5000); // the expiry is ready before the reset
    reset_close(std::exchange(clients[1], -1));
    steps(1); // the expiry recalls all three; the reset sends connection 1 back meanwhile
    for (int i : {0, 2}) {
        std::string results = await(clients[i], SIZE_MAX);
        EXPECT_NE(results.find("RESULT: FAIL"), std::string::npos) << i << ": " << results;
        close(std::exchange(clients[i], -1));
    }
    steps(10);
    EXPECT_EQ(session_count(), 0u);
    EXPECT_LE(count_fds(getpid()), fds - 6);
}

// A warm-up sample falls due while every connection of the session goes away on its carrier:
// the sample reads the counters of connections on their way back, which must still be
// alive (deferred destruction), and the session is destroyed once, after their return.
TEST_F(LentSession, ASampleDueWhileTheConnectionsGoBackReadsLiveRecords) {
    ASSERT_NO_FATAL_FAILURE(open_upload());
    for (int fd : clients)
        ASSERT_TRUE(send_all(fd, std::string(2048, 'u')));
    steps(4);
    advance_thread_clock(1100 * 1000000LL);
    usleep(5000);
    for (int& fd : clients)
        reset_close(std::exchange(fd, -1));
    steps(20);
    EXPECT_EQ(session_count(), 0u);
}

// A latency session of two connections sampling and tracing at the shortest interval is made
// to take far more samples and trace lines than its life time allows (late timers, a
// replacement's shorter interval): both stop at the caps of its reservation, and everything it
// then holds, with a statistics document and its reply, and its session log's text, stays
// within what it reserved (which goes back when it ends: the teardown).
TEST_F(LentSession, TracesAndLatencySamplesStopAtWhatTheSessionReservedAndItGoesBack) {
    const uint64_t id = 4294967400;
    const std::string query = latency_target("GET", id, 10, 2, "/lat", "&TRACE_INTERVAL=10");
    ASSERT_GE(clients[0] = send_new(port, http_request("GET", query + "0")), 0);
    ASSERT_EQ(await(clients[0], 44), CREATED);
    ASSERT_GE(clients[1] = send_new(port, http_request("GET", query + "1")), 0);
    ASSERT_EQ(await(clients[1], GET_REPLY.size()).substr(0, GET_REPLY.size()), GET_REPLY);
    ASSERT_NE(sess = get_session({id, false}), nullptr);
    const session_memory& bound = sess->memory;
    const size_t samples = LIFE_S * 100 + 1; // per connection
    EXPECT_EQ(bound.trace_text_cap, 2 * samples * TRACE_LINE_MAX);
    EXPECT_EQ(memory_reserved(), bound.total);

    auto heap_bytes = [] { // small and mapped blocks
        const struct mallinfo2 info = mallinfo2();
        return static_cast<int64_t>(info.uordblks + info.hblkhd);
    };
    const int64_t heap = heap_bytes();
    for (size_t i = 0; i < 2 * samples; i++)
        sample_latency(sess);
    // Lines are mostly shorter than the widest: appended until they stop (bounded).
    for (size_t i = 0, last = SIZE_MAX; i < 4 * samples && sess->traces->len != last; i++) {
        last = sess->traces->len;
        append_trace_lines(sess);
    }
    EXPECT_LE(sess->traces->len, bound.trace_text_cap);
    EXPECT_GT(sess->traces->len + 2 * TRACE_LINE_MAX, bound.trace_text_cap) << "filled";
    for (const auto& result : *sess->latency_results)
        EXPECT_EQ(result.size(), samples);
    const std::string document = build_latency_document(sess);
    GString* reply = g_string_new_len(document.data(), static_cast<gssize>(document.size()));
    EXPECT_LE(heap_bytes() - heap, static_cast<int64_t>(bound.total));
    g_string_free(reply, TRUE);
    // With a log directory, the session log holding all those lines fits the share reserved
    // for its text as it grew, a share no larger than the full text twice over.
    log_directory = "/nonexistent";
    const uint64_t log_share = session_memory_bound(&sess->request).log_text;
    log_directory = nullptr;
    GString* log = build_session_report(sess);
    EXPECT_LE(log->allocated_len, log_share);
    EXPECT_LT(log_share, 4 * log->len);
    g_string_free(log, TRUE);
}

// A session that finished while its connections are lent waits for them to come back, and
// counts as finishing meanwhile: its life time ending then is no expiry (the results say OK).
TEST_F(LentSession, AnExpiryWhileTheRecallsAreOutIsNoOutcome) {
    ASSERT_NO_FATAL_FAILURE(open_upload());
    finish_session(sess); // the recalls are in the mailbox
    ASSERT_TRUE(sess->finish_after_recall);
    advance_thread_clock((LIFE_S + 1) * 1000000000LL);
    usleep(5000); // the expiry is ready with the recalls
    steps(1);
    for (int fd : clients)
        EXPECT_NE(await(fd, SIZE_MAX).find("RESULT: OK"), std::string::npos);
}

// Nor does it take a trace line or a late connection while it waits.
TEST_F(LentSession, NoSampleAndNoJoinWhileTheRecallsAreOut) {
    const std::string traced = "&TRACE_INTERVAL=10";
    ASSERT_GE(clients[0] = send_new(port, download_request(80, 2, 0, traced)), 0);
    ASSERT_EQ(await(clients[0], GET_REPLY.size()).substr(0, GET_REPLY.size()), GET_REPLY);
    ASSERT_NE(sess = get_session({(uint64_t{4} << 32) + 80, false}), nullptr);
    ASSERT_EQ(sess->lent_conns, 1u);
    ASSERT_GE(clients[1] = connect_loopback(port), 0);
    steps(2); // accepted, its request not sent yet
    finish_session(sess);
    const size_t lines = sess->traces->len;
    ASSERT_TRUE(send_all(clients[1], download_request(80, 2, 1, traced)));
    advance_thread_clock(100 * 1000000LL); // a trace line is due
    usleep(5000);
    steps(1); // the recall, the trace timer and the late connection, before the return
    EXPECT_EQ(sess->traces->len, lines);
    EXPECT_EQ(sess->conns[1], nullptr);
    EXPECT_EQ(await(clients[1], SIZE_MAX).find("HTTP/1.1 200"), std::string::npos);
}

// What the lent connections may move before they come back, against what the session has
// left before its nearest limit.
static void expect_shares_within_limit(const session* sess) {
    unsigned __int128 shares = 0;
    for (size_t i = 0; i < sess->conns_size; i++)
        if (const connection* c = sess->conns[i]; c != nullptr && c->lent)
            shares += c->return_at - counted_data(c);
    EXPECT_LE(shares, bytes_until_due(sess));
}

// Each connection is lent as it joins: the shares given before are moved when a connection
// joins and when a path-style request lowers a limit, so that together they never exceed it.
TEST_F(LentSession, TheLentSharesNeverAddUpToMoreThanWhatIsLeft) {
    ASSERT_NO_FATAL_FAILURE(open_upload("&TEST_DATA_CAP=900000"));
    ASSERT_EQ(sess->lent_conns, 3u);
    expect_shares_within_limit(sess);
    request_info lower = sess->request;
    lower.test_data_cap = 300000;
    apply_request_replacement(sess, &lower);
    expect_shares_within_limit(sess);
    // A connection that moved its share comes back only for that and goes out again with a
    // new one, still within the limit; one that failed on its carrier stays home.
    const connection* first = sess->conns[0];
    const uint64_t point = first->return_at;
    ASSERT_TRUE(send_all(clients[0], std::string(point - counted_data(first) + 1000, 'u')));
    for (int i = 0; i < 50 && counted_data(first) < point; i++)
        steps(1);
    steps(4);
    EXPECT_EQ(sess->lent_conns, 3u);
    EXPECT_GT(first->return_at, point);
    expect_shares_within_limit(sess);
    reset_close(std::exchange(clients[1], -1));
    steps(6);
    EXPECT_EQ(sess->lent_conns, 2u);
}

// A warm-up that ends by size brings every connection back in one pass, the session due:
// they stay for its check and are lent again after it.
TEST_F(LentSession, ConnectionsBackWhileTheSessionIsDueAreLentAgainAfterItsCheck) {
    ASSERT_NO_FATAL_FAILURE(open_upload("&MAX_WARMUP_SIZE=3000"));
    for (int fd : clients)
        ASSERT_TRUE(send_all(fd, std::string(2000, 'u')));
    for (int i = 0; i < 50 && sess->test.state == WARMUP; i++)
        steps(1);
    steps(4); // the lendings are taken
    EXPECT_EQ(sess->test.state, MEASUR);
    EXPECT_EQ(sess->lent_conns, 3u);
}

// A download's reply head waits for its data (MSG_MORE); a lent connection's data leaves only
// on its carrier. The head must have gone before the connection was lent: the client reads it
// while the lending is still in the mailbox, untaken. A connection without a path gets the
// header-only reply and is closed, in a latency session as in a download.
TEST_F(LentSession, ALentDownloadsHeadLeavesBeforeItsCarrierRunsAndAPathlessLoadIsClosedAfterIt) {
    ASSERT_GE(clients[2] = send_new(port, download_request(78, 2, 0)), 0);
    // Joined, answered and lent in one step; the carrier has not run.
    for (int i = 0; i < 50 && session_count() == 0; i++)
        steps(1);
    // On loopback a pushed segment is in the peer's queue when the push returns; a held one
    // leaves only when the kernel's cork timer fires, 200 ms later.
    EXPECT_EQ(recv_exact(clients[2], GET_REPLY.size() + 1, std::chrono::milliseconds(5)), GET_REPLY)
        << "the head is held back";

    const std::string query = latency_target("GET", 4294967401, 100, 2, "/");
    ASSERT_GE(clients[0] = send_new(port, http_request("GET", query + "0")), 0);
    ASSERT_EQ(await(clients[0], 44), CREATED) << query;
    ASSERT_GE(clients[1] = send_new(port, http_request("GET", query + "1")), 0);
    EXPECT_EQ(await(clients[1], SIZE_MAX), "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\n\r\n");
    char byte;
    EXPECT_EQ(recv(clients[1], &byte, 1, MSG_DONTWAIT), 0) << "closed after the reply";
}

// A carrier counts while the owner samples: whatever the interleaving, a sample never holds
// more data than total bytes.
TEST(LentCounters, ASampleNeverHoldsMoreDataThanTotal) {
    connection conn{};
    std::atomic<bool> started{false}, done{false};
    std::thread carrier([&] {
        for (int i = 0; i < 1000000 && !started; i++)
            std::this_thread::yield();
        for (int i = 0; i < 200000000; i++)
            count_moved(&conn, 1);
        done = true;
    });
    size_t torn = 0;
    started = true;
    for (long i = 0; i < 4000000000 && !done; i++) {
        uint64_t total = 0, data = 0;
        counted_bytes(&conn, &total, &data);
        torn += data > total;
    }
    carrier.join();
    EXPECT_EQ(torn, 0u);
}

} // namespace

// The same worker, for connections outside any session.
struct SteppedWorker : LentSession {};

// Clients that stop reading their HEAD replies fill the socket until one reply goes in part:
// the rest waits for room and follows, in order, once the client reads again. A client that
// never reads again holds a connection no deadline covers (no header is awaited while a reply
// is owed): the idle scan closes it once it was idle for the session time-out and 5 s more.
TEST_F(SteppedWorker, AHeadReplyCutByAFullSocketWaitsForRoomOrTheIdleLimit) {
    const int small = 4096; // accepted sockets take the listener's send buffer
    ASSERT_EQ(setsockopt(listener.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    auto cut = [] { // the worker's most recently active connection waits for room
        timeout_link* list = thread_timeout_list();
        return list->prev != list && timeout_link_owner(list->prev)->state == SENDING_HEAD_REPLY;
    };
    size_t sent[2] = {0, 0}; // requests until a reply was cut
    for (size_t c = 0; c < 2; c++) {
        ASSERT_GE(clients[c] = connect_loopback(port, false, small), 0);
        const int one = 1; // each request goes at once, alone
        setsockopt(clients[c], IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        do {
            ASSERT_TRUE(send_all(clients[c], http_request("HEAD", "/"))) << sent[c];
            steps(3);
        } while (++sent[c] < 2000 && !cut());
        ASSERT_TRUE(cut());
    }
    std::string replies;
    for (size_t i = 0; i <= sent[0]; i++)
        replies += HEAD_REPLY;
    ASSERT_TRUE(send_all(clients[0], http_request("HEAD", "/")));
    EXPECT_EQ(await(clients[0], replies.size()), replies); // and the next request is served

    advance_thread_clock((LIFE_S + 4) * 1000000000LL);
    steps(3); // the first waits for its next header no longer than the header time-out
    EXPECT_EQ(client_connection_count(&local), 1);
    advance_thread_clock(2 * 1000000000LL);
    steps(3);
    EXPECT_TRUE(wait_closed(clients[1], std::chrono::seconds(5))); // behind what the socket held
}
