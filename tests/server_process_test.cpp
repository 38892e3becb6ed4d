// The real server process: options, listening sockets, socket activation, SysV start-up,
// descriptor release and exhaustion, and hostile requests.
#include "hardening_support.h"
#include "request.h"

#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

using namespace vh_test;

namespace {

// Connections that each sent a bare GET, left open.
std::vector<int> flood(int port, int n) {
    std::vector<int> clients(static_cast<size_t>(n));
    for (int& fd : clients)
        fd = send_new(port, "GET / HTTP/1.1\r\n\r\n");
    return clients;
}

// --- Options ---------------------------------------------------------------------------

TEST(Options, EveryBadCommandLineGetsItsExactMessageAndStatusOne) {
    const temp_dir dir;
    const std::string plain = dir + "/plain";
    write_file(plain, 10);
    const tls_files cert = make_test_certificate(dir);
    const std::string range = " is not within range ", bytes = " is not a number of bytes (K, M";
    // None first: a file must be named.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "A file must be specified\n"},
        {{"-f", dir + "/missing"}, "Can't access file " + dir + "/missing\n"},
        {{"--bogus"}, "Option parsing failed: Unknown option --bogus\n"},
        {{"-l", dir + "/nodir"}, "Could not open log directory " + dir + "/nodir: No such file"},
        {{"-l", plain}, "Could not open log directory " + plain + ": Not a directory\n"},
        {{"-t", "59"}, "Session timeout 59" + range + "60-600\n"},
        {{"-t", "601"}, "Session timeout 601" + range + "60-600\n"},
        {{"--max-sessions", "-1"}, "Session limit -1" + range + "0-10000000\n"},
        {{"--max-client-sessions", "-3"}, "Client session limit -3" + range + "0-10000000\n"},
        {{"--drain-timeout", "3601"}, "Drain timeout 3601" + range + "0-3600\n"},
        {{"--max-client-connections", "1000001"},
         "Client connection limit 1000001" + range + "0-1000000\n"},
        {{"--client-prefix-v6", "0"}, "IPv6 client prefix 0" + range + "1-128\n"},
        {{"--client-prefix-v6", "129"}, "IPv6 client prefix 129" + range + "1-128\n"},
        {{"--max-log-space", "12X"}, "Log space limit 12X" + bytes},
        {{"--max-log-space", "9000000000G"},
         "Log space limit 9000000000G" + range + "0-1152921504606846976\n"},
        {{"--metrics", "no-port"}, "Metrics address no-port is not HOST:PORT\n"},
        {{"--max-memory", "64X"}, "Memory budget 64X" + bytes},
        {{"--max-memory", "1023K"}, "Memory budget 1023K" + range + "1048576-1125899906842624\n"},
        {{"--metrics", "256.1.1.1:80"}, "Metrics address 256.1.1.1:80: "},
        {{"--token-keys", dir + "/missing"},
         "Could not read token keys from " + dir + "/missing: No such file"},
        {{"--tls-cert", cert.cert, "--tls-key", dir + "/missing.key"},
         "Could not use the TLS certificate " + cert.cert + " and key " + dir + "/missing.key: "}};
    for (const auto& [args, message] : cases) {
        server_process proc;
        if (args.empty())
            start(proc, options(args)); // it fails before it would listen
        else // with the test file unless one is named, and a socket: failing for its own reason
            start_activated(proc, options(args));
        EXPECT_EQ(proc.wait_exit(10s), 1) << proc.output;
        EXPECT_TRUE(std::regex_search(
            proc.output, std::regex(R"(^<3>\[src/http/src/\w+\.cpp,\w+\(\):[0-9]+\]: )")))
            << proc.output;
        EXPECT_NE(proc.output.find("]: " + message), std::string::npos) << proc.output;
    }
}

// --- Listening sockets, debug levels and SysV start-up ----------------------------

// Operators raise the debug level (VH_VERBOSE, which the option overrides) to see one more kind
// of line: each gated line shows from the level above its threshold on, never below, whatever
// else the level shows. The options at their limits are taken on the way.
TEST(Listening, EachDebugLineShowsAboveItsThresholdOnlyAndOptionsAtTheirLimitsAreTaken) {
    const std::pair<const char*, int> gated[] = {
        {": Connection \\d+ received by \\d+$", 2},
        {": connection \\d+ destroyed after transmitting \\d+ bytes$", 2},
        {": session \\d+ destroyed", 2},
        {"\\]: Trace timer started$", 4},
        {"\\]: Timeout timer started$", 4},
        {"\\]: Trace timer destroyed$", 4},
        {"\\]: Waiting latency statistics request$", 4},
        {": the session \\d+ is ", 7},
        {": connection \\d+ added. Active connections left: ", 7},
        {": handle_connection\\(CONNECTED\\) \\d+$", 9},
        {": Request doesn't match our regex: GARBAGE<CR><LF><CR><LF>$", 9},
        {": Error parsing header \\d+$", 9},
        {": Request parameters out of range$", 9},
        {": Connection \\d+ processed correctly and is \\d+$", 12},
        {": Connection \\d+ destroyed$", 12},
        {": Connection \\d+ disabled$", 12},
        {": handle_connection\\(SENDING_DATA\\) \\d+$", 14}};
    const std::vector<std::string> limits[] = {
        {"-t", "60", "--max-sessions", "10000000", "--metrics", "", "--client-prefix-v6", "128",
         "--max-client-connections", "1000000", "--max-log-space", "", "--archive-dir", ""},
        {"-t", "600", "--drain-timeout", "3600", "--max-client-sessions", "0", "--header-timeout",
         "1", "--client-prefix-v6", "1", "--max-memory", "1048576G", "--max-log-space", "512M"}};
    // The server's own sockets (-s 0) are named from level 2 on.
    for (const std::string level : {"1", "2"}) {
        server_process proc;
        start(proc, options({"-s", "0", "-f", test_file(), "-d", level}));
        EXPECT_EQ(proc.wait_for("listening on address", level == "2" ? 5s : 700ms), level == "2");
    }
    for (int level = 0; level <= 15; level++) {
        start_options opts =
            options({}, {{"VH_VERBOSE", level == 0 ? "abc" : std::to_string(level)}});
        if (level == 1 || level == 2) { // the option over a higher and a lower level
            opts.args.insert(opts.args.end(),
                             {level == 1 ? "-d" : "--debug-level", std::to_string(level)});
            opts.env = {{"VH_VERBOSE", level == 1 ? "3" : "0"}};
        }
        if (level == 3 || level == 4)
            opts.args.insert(opts.args.end(), limits[level - 3].begin(), limits[level - 3].end());
        server_process proc;
        const int port = start_activated(proc, opts);
        EXPECT_TRUE(client(port, "GARBAGE\r\n\r\n").refused());
        EXPECT_TRUE(client(port, download_request(21, MAX_NUM_CONNECTIONS + 1)).refused());
        client download(port, download_request(22, 1, 0, "&TRACE_INTERVAL=10"));
        EXPECT_EQ(download.recv(GET_REPLY.size()), GET_REPLY);
        EXPECT_TRUE(download.end());
        {
            client control(port,
                           http_request("GET", latency_target("GET", 4294967600, 50, 1) + "0"));
            EXPECT_EQ(read_reply_head(control.fd, 5s), CREATED);
            EXPECT_TRUE(fetch_statistics(control.fd).starts_with("HTTP/1.1 200 OK\r\n"));
        }
        kill(proc.pid, SIGTERM);
        ASSERT_EQ(proc.wait_exit(10s), 0) << proc.output;
        for (const auto& [line, threshold] : gated)
            EXPECT_EQ(std::regex_search(proc.output, std::regex(line, std::regex::multiline)),
                      level > threshold)
                << "level " << level << ": " << line << "\n"
                << proc.output;
    }
}

// A server waiting for its busy port retries, and hears SIGTERM (only SIGKILL once stopped it).
// Once the port is free, the SysV start-up command returns once the daemon is ready, also when
// its caller left its standard input and output closed, and the daemon keeps no inherited
// descriptor.
TEST(SysV, ABusyPortIsRetriedUntilSigtermAndTheCommandReturnsOnceTheDaemonIsReady) {
    int port = 0;
    const int holder = listen_loopback(false, &port); // a listening socket: no wildcard may bind
    server_process waiting, starter;
    start(waiting, options({"-s", std::to_string(port), "-f", test_file()}));
    const std::string retry = "Could not create listening sockets, retrying in 1 second...";
    EXPECT_TRUE(waiting.wait_count(retry, 2, 5s)) << waiting.output;
    kill(waiting.pid, SIGTERM);
    EXPECT_EQ(waiting.wait_exit(3s), 0) << waiting.output;
    close(holder); // the port is free now

    const std::string inherited = VH_SOURCE_DIR "/README.md";
    const start_options opts{
        .args = {"-c", "exec \"$@\" <&- >&-", "sh", VH_HTTPD_PATH, "-S", "-s", std::to_string(port),
                 "-f", test_file()},
        .env = {{"LISTEN_FDS", "0"}}, // not a listening socket: not handed over
        .inherit_fd = open(inherited.c_str(), O_RDONLY),
        .program = "/bin/sh"};
    start(starter, opts);
    close(opts.inherit_fd);
    EXPECT_EQ(starter.wait_exit(10s), 0) << starter.output;

    pid_t daemon = -1; // the process whose command line names this port
    const std::string named = std::string("-S\0-s\0", 6) + std::to_string(port) + '\0';
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
        if (read_file(entry.path() / "cmdline").find(named) != std::string::npos)
            daemon = atoi(entry.path().filename().c_str());
    ASSERT_GT(daemon, 0);
    // The daemon listens a moment after it reported its start.
    EXPECT_TRUE(eventually([&] { return close(connect_loopback(port)) == 0; }));
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/cwd"), "/");
    const std::string fds = "\n" + describe_fds(daemon);
    for (const char* standard : {"\n0 -> ", "\n1 -> ", "\n2 -> "})
        EXPECT_NE(fds.find(standard + std::string("/dev/null\n")), std::string::npos) << fds;
    EXPECT_EQ(fds.find(" -> " + inherited + "\n"), std::string::npos) << fds;
    kill(daemon, SIGKILL);
}

// --- Workers and accepting -------------------------------------------------------------

// Reads each bare session's reply in turn and closes it: the number served (the reply, then the
// close); the others must be closed without a byte (refused). Anything else fails.
int work_off(const std::vector<int>& clients) {
    int served = 0;
    for (int fd : clients) {
        bool closed = false;
        const std::string got = read_until_close(fd, 20s, &closed);
        close(fd);
        EXPECT_TRUE(closed && (got.empty() || got == "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\n\r\n"))
            << "[" << got << "], then " << (closed ? "closed" : "left open");
        served += !got.empty();
    }
    return served;
}

// Bare sessions in small bursts until every worker has accepted at least one.
void expect_every_worker_accepts(server_process& proc, int port, const char* when) {
    proc.poll_output(0ms);
    size_t mark = proc.output.size();
    for (int i = 0; i < 40 && accepting_workers(proc.output, mark).size() < worker_count(); i++) {
        EXPECT_EQ(work_off(flood(port, 4)), 4);
        proc.poll_output(50ms);
    }
    EXPECT_EQ(accepting_workers(proc.output, mark).size(), worker_count()) << when;
}

// Bare GET sessions queue behind a download that holds the table: the workers pause without
// spinning or refusing the queue; once the download ends every waiting session gets its reply
// (or a close, if the last descriptor went to its socket), and every worker accepts again,
// even one that paused while it owned no connection. A PUT whose socket takes the last
// descriptor gets no answer pipe: it is closed and gives back exactly what it took.
TEST(Exhaustion, AFullTableOnceSpunTheWorkersAndStrandedTheWaitingSessions) {
    if (worker_count() < 2)
        GTEST_SKIP() << "needs two worker threads";
    server_process proc;
    const temp_dir logs;
    write_file(logs + "/target.log", 0);
    int port = start_activated(proc, options({"-d", "3", "-l", logs}));
    const int idle_fds = idle_descriptors(proc.pid, port);
    expect_every_worker_accepts(proc, port, "before the table fills");
    std::deque<client> holders;
    for (size_t i = 0; i < 8; i++)
        ASSERT_EQ(holders.emplace_back(port, download_request(9, 8, i)).recv(GET_REPLY.size()),
                  GET_REPLY);
    const rlim_t open_limit = limit_open_files(proc.pid, static_cast<rlim_t>(count_fds(proc.pid)));
    ASSERT_GT(open_limit, 0u);

    std::vector<int> clients = flood(port, 60);
    ASSERT_TRUE(proc.wait_for("Too many open files", 10s)) << proc.output;
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(cpu_ticks_in_a_second(proc.pid), 5) << "ticks of CPU used while paused";
    EXPECT_EQ(recv_exact(clients.back(), 1, 0ms), "") << "nothing waited: the table never filled";
    proc.poll_output(0ms);
    EXPECT_LE(count_occurrences(proc.output, "accept: Too many open files"),
              static_cast<int>(worker_count()))
        << "one report per paused worker, not one per refused connection";

    holders.clear();
    EXPECT_GT(work_off(clients), 0) << "every waiting session refused";
    EXPECT_EQ(settle_fds(proc, idle_fds), idle_fds);

    ASSERT_GT(limit_open_files(proc.pid, static_cast<rlim_t>(idle_fds + 1)), 0u);
    EXPECT_TRUE(client(port, http_request("PUT", "/target.log", "")).refused());
    EXPECT_TRUE(proc.wait_for("pipe: Too many open files", 5s)) << proc.output;
    ASSERT_GT(limit_open_files(proc.pid, open_limit), 0u);
    EXPECT_EQ(settle_fds(proc, idle_fds), idle_fds) << describe_fds(proc.pid);
    expect_every_worker_accepts(proc, port, "after the table was full");
}

// --- Hostile requests ----------------------------------------------------------------

struct HostileRequests : testing::Test {
    server_process proc;
    int port = -1;
    // The server closes the connection without a byte of reply, and serves on.
    void expect_refused(const std::string& text) {
        EXPECT_TRUE(client(port, text).refused()) << text;
        expect_serving();
    }
    // A server that ended answers no connection.
    void expect_serving() {
        EXPECT_EQ(client(port, "HEAD / HTTP/1.1\r\n\r\n").recv(HEAD_REPLY.size()), HEAD_REPLY)
            << proc.output;
    }
    // A new connection that sent `request` and got its `reply` (and 64 KiB of `fill` if given).
    int sent(const std::string& request, char fill = 0, const std::string& reply = GET_REPLY) {
        int fd = send_new(port, request);
        EXPECT_EQ(recv_exact(fd, reply.size(), 5s), reply) << request;
        EXPECT_TRUE(fill == 0 || streams(fd, fill, 1 << 16)) << request;
        return fd;
    }
    // Whether the next `count` bytes of a download all hold `fill`.
    static bool streams(int fd, char fill, size_t count) {
        return recv_exact(fd, count, 10s) == std::string(count, fill);
    }
};

// Each of these once ended the process (an allocation sized from the count, a timer that
// could not be armed, an assertion) or left a session behind that no connection could join.
TEST_F(HostileRequests, HostileParametersNeitherEndTheServerNorHoldAPlace) {
    port = start_activated(proc, options({"-t", "60", "--max-sessions", "3"}));
    const int idle_fds = idle_descriptors(proc.pid, port);
    const long rss_before = rss_kib(proc.pid);
    const auto one = [](uint64_t session) { return "/t?" + controlled_query(session) + "&"; };
    const std::string post = "NUM_WARMUP_SAMPLES=1&MAX_WARMUP_SAMPLES=2&WARMUP_SAMPLE_TIME=100&";
    for (const std::string& target : {
             "/t?" + controlled_query(1, 100000000000000),
             "/t?" + controlled_query(2, 2305843009213693953u, 100),
             one(3) + "NUM_WARMUP_SAMPLES=1000&WARMUP_SAMPLE_TIME=100&RESULT_NUM_INTERVALS=5&"
                      "RESULTS_INTERVAL_PERIOD=1&MAX_WARMUP_SAMPLES=1152921504606846977",
             one(4) + post + "RESULTS_INTERVAL_PERIOD=1&RESULT_NUM_INTERVALS=2305843009213693953",
             one(5) + post + "RESULT_NUM_INTERVALS=1&RESULTS_INTERVAL_PERIOD=18446744073709551615",
             latency_target("GET", 4294967296, 18446744073709552, 1) + "0",
             one(6) + "TRACE_INTERVAL=18446744073709552",
         })
        expect_refused(http_request(target.find("WARMUP") != target.npos ? "POST" : "GET", target));

    // Path-style indexes beyond the count of the session they would found: more of them than
    // --max-sessions allows, and none may hold a place.
    const std::string id36 = "0123456789abcdef0123456789abcdef0123";
    for (int i = 0; i < 5; i++)
        expect_refused(http_request("POST", "/" + id36.substr(0, 35) + std::to_string(i) + "/9"));

    // A path-style replacement that lowers the count while slot 3 is joined: the session keeps
    // its slots, and the connection in slot 3 may leave.
    int slot3 = sent(http_request("POST", "/" + id36 + "/3"), 0, CONTINUE);
    const std::string fewer =
        "/0?MAX_WARMUP_SAMPLES=1&RESULT_NUM_INTERVALS=1&WARMUP_SAMPLE_TIME=100";
    int slot0 = sent(http_request("POST", "/" + id36 + fewer), 0, CONTINUE);
    close(slot3);
    expect_serving();
    close(slot0);

    // A download whose id a path-style upload names: the upload is refused, the download goes on.
    const std::string other = "0z" + id36.substr(2);
    const uint64_t path_id = session_id_str_to_uint64(other);
    int download =
        sent(http_request("GET", "/x?" + controlled_query(path_id & 0xFFFFFFFFu, 2, 0,
                                                          static_cast<uint32_t>(path_id >> 32))));
    expect_refused(http_request("POST", "/" + other + "/1?WARMUP_SAMPLE_TIME=100"));
    EXPECT_EQ(recv_exact(download, 4096, 5s).size(), 4096u);
    reset_close(download);

    // Nothing above holds a place: once the reset download ended, three honest sessions start.
    EXPECT_EQ(settle_fds(proc, idle_fds), idle_fds) << describe_fds(proc.pid);
    for (int fd :
         {sent(download_request(100)), sent(download_request(101)), sent(download_request(102))})
        reset_close(fd);
    EXPECT_LT(rss_kib(proc.pid) - rss_before, 16 * 1024);
    EXPECT_EQ(settle_fds(proc, idle_fds), idle_fds) << describe_fds(proc.pid);
}

// At the session time-out a latency session is destroyed, though its control connection keeps
// asking for statistics (it may ask during a few seconds of grace, then it is closed), and its
// place is free; a HEAD connection asking every few seconds is closed after its reply.
TEST_F(HostileRequests, ALatencySessionAndAHeadConnectionEndAtTheSessionTimeOut) {
    // A minute of fixed rules (the shortest session time-out).
    if (getenv("VH_SKIP_SLOW") != nullptr)
        GTEST_SKIP() << "VH_SKIP_SLOW set";
    port = start_activated(proc, options({"-t", "60", "--max-sessions", "1"}));
    int control =
        sent(http_request("GET", latency_target("GET", 4294967600, 60000, 1) + "0"), 0, CREATED);
    int head = sent("HEAD / HTTP/1.1\r\n\r\n", 0, HEAD_REPLY);
    EXPECT_TRUE(client(port, download_request(7)).rest().starts_with("HTTP/1.1 503 "));
    const auto begin = std::chrono::steady_clock::now();
    bool control_open = true, head_open = true;
    for (int round = 0; round < 20 && (control_open || head_open); round++) {
        std::this_thread::sleep_for(4s);
        head_open = head_open && send_all(head, "HEAD / HTTP/1.1\r\n\r\n") &&
                    recv_exact(head, HEAD_REPLY.size(), 5s) == HEAD_REPLY && !peer_closed(head);
        // A reply whose document is cut short ends with no closing brace.
        control_open =
            control_open && fetch_statistics(control).ends_with("}") && !peer_closed(control);
    }
    EXPECT_EQ(std::pair(control_open, head_open), std::pair(false, false));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 50s);
    close(control);
    close(head);
    reset_close(sent(download_request(8))); // its place is free again
}

void write_filled(const std::string& path, char fill) {
    std::ofstream(path + ".new") << std::string(1 << 20, fill);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

// On a blocking inherited socket (made non-blocking: a blocking one once left workers stuck in
// accept4 once the queue was empty, and the closes below were never seen; -s 1 would need
// privileges: it is never opened), a connection holds one descriptor until a download needs the
// file; downloads share their worker's descriptor of it. A file replaced on disk goes to the next
// download while a running one streams on from its own; a removed file refuses the next download
// (and nothing else), and is served again once it is back. A file that shrinks to nothing ends a
// running download: the socket stays writable, and a worker once spun on a sendfile that moved
// nothing.
TEST_F(HostileRequests, TheFileIsTakenPerDownloadAndAShrunkenFileEndsItWithoutSpinning) {
    const temp_dir dir;
    const std::string file = dir + "/data";
    write_filled(file, 'A');
    port =
        start_activated(proc, options({"-s", "1", "-d", "3", "-f", file}), /*nonblocking=*/false);
    std::deque<client> idle;
    for (int i = 0; i < 20; i++)
        idle.emplace_back(port);
    ASSERT_TRUE(proc.wait_count("received by", 20, 5s)) << proc.output;
    const int held_fds = count_fds(proc.pid);
    idle.clear();
    EXPECT_EQ(settle_fds(proc, held_fds - 20), held_fds - 20); // one descriptor each
    EXPECT_EQ(proc.output.find("listening on address"), std::string::npos) << proc.output;
    const std::string info = read_file("/proc/" + std::to_string(proc.pid) + "/fdinfo/3");
    EXPECT_NE(std::stol(info.substr(info.find("flags:") + 6), nullptr, 8) & O_NONBLOCK, 0) << info;

    int first = sent(http_request("GET", "/first"), 'A');
    // Downloads of an unchanged file share their worker's descriptor of it.
    std::vector<int> more;
    for (int i = 0; i < 4; i++)
        more.push_back(sent(http_request("GET", "/more"), 'A'));
    EXPECT_LE(count_occurrences(describe_fds(proc.pid), " -> " + file + "\n"), 2);
    for (int fd : more)
        close(fd);
    write_filled(file, 'B');
    int second = sent(http_request("GET", "/second"), 'B');
    EXPECT_TRUE(streams(first, 'A', 16 << 20)); // well past what the socket buffers held

    ASSERT_EQ(unlink(file.c_str()), 0);
    expect_refused(http_request("GET", "/third"));
    EXPECT_TRUE(proc.wait_for("Could not create connection: No such file or directory", 5s));
    int upload = sent(http_request("POST", "/upload"), 0, CONTINUE);
    EXPECT_TRUE(streams(first, 'A', 4 << 20));
    EXPECT_TRUE(streams(second, 'B', 4 << 20));

    write_filled(file, 'C');
    int fourth = sent(http_request("GET", "/fourth"), 'C');
    for (int fd : {first, second, upload})
        close(fd);

    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    read_until_close(fourth, 10s); // everything queued before arrives, then the end
    EXPECT_TRUE(proc.wait_for("the file to send has no data", 5s)) << proc.output;
    close(fourth);
    EXPECT_LT(cpu_ticks_in_a_second(proc.pid), 20); // well under a fifth of a core
    expect_serving();
}

} // namespace
