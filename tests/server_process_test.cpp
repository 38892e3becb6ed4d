// The real server process: options, logging, listening sockets, socket activation,
// SysV start-up, worker affinity and accepting.
#include "test_support.h"

#include <arpa/inet.h>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <csignal>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vh_test::count_occurrences;
using vh_test::cpu_ticks;
using vh_test::server_process;
using vh_test::start_activated;
using vh_test::start_options;

namespace {

// Runs the server with arguments that must make it fail; returns its output.
std::string run_failing(const std::vector<std::string>& args,
                        std::vector<std::pair<std::string, std::string>> env = {}) {
    server_process proc;
    start_options opts;
    opts.args = args;
    opts.env = std::move(env);
    vh_test::start(proc, opts);
    EXPECT_EQ(proc.wait_exit(10s), 1) << proc.output;
    return proc.output;
}

// The families the server's own address lookup yields on this host, in order.
std::vector<int> wildcard_families() {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::vector<int> families;
    if (getaddrinfo(nullptr, "0", &hints, &res) == 0) {
        for (addrinfo* ai = res; ai; ai = ai->ai_next)
            families.push_back(ai->ai_family);
        freeaddrinfo(res);
    }
    return families;
}

// A port that is free on every family right now.
int free_port() {
    for (int attempt = 0; attempt < 50; attempt++) {
        int port = 0;
        int fd4 = vh_test::listen_loopback(false, &port);
        close(fd4);
        int fd6 = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        bool ok = bind(fd6, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        close(fd6);
        if (ok)
            return port;
    }
    return -1;
}

std::vector<std::string> task_cpu_lists(pid_t pid) {
    std::vector<std::string> lists;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return lists;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(dir + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("Cpus_allowed_list:", 0) == 0)
                lists.push_back(line.substr(line.find_first_not_of(" \t", 18)));
    }
    closedir(d);
    return lists;
}

// --- Options and their messages -------------------------------------------------

TEST(Options, WithoutAFileTheLineNamesFileFunctionAndLine) {
    std::string out = run_failing({});
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(<3>\[src/http/src/http_server_main\.cpp,main\(\):[0-9]+\]: )"
                        R"(A file must be specified\n)")))
        << out;
}

TEST(Options, EveryBadCommandLineGetsItsMessageAndStatusOne) {
    std::string dir = vh_test::make_temp_dir();
    std::string plain = dir + "/plain";
    vh_test::write_file(plain, 10);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-f", dir + "/missing"}, "Can't access file " + dir + "/missing\n"},
        {{"--bogus", "-f", plain}, "Option parsing failed: Unknown option --bogus\n"},
        {{"-f", plain, "-t", "abc"}, "Option parsing failed: "},
        {{"-f", plain, "-l", dir + "/nodir"},
         "Could not open log directory " + dir + "/nodir: No such file or directory\n"},
        {{"-f", plain, "-l", plain},
         "Could not open log directory " + plain + ": Not a directory\n"},
        {{"-f", plain, "-t", "59"}, "Session timeout 59 is not within range 60-600\n"},
        {{"-f", plain, "-t", "601"}, "Session timeout 601 is not within range 60-600\n"},
        {{"-f", plain, "--session-timeout=0"}, "Session timeout 0 is not within range 60-600\n"},
    };
    for (const auto& c : cases) {
        std::string out = run_failing(c.args);
        EXPECT_EQ(out.rfind("<3>[src/http/src/http_server_main.cpp,main():", 0), 0u) << out;
        EXPECT_NE(out.find("]: " + c.message), std::string::npos)
            << "args " << c.args[0] << " ... expected " << c.message << " got " << out;
    }
    vh_test::remove_tree(dir);
}

TEST(Options, TimeoutsAtBothEndsOfTheRangeAreAccepted) {
    for (const char* timeout : {"60", "600"}) {
        server_process proc;
        start_options opts;
        opts.args = {"-t", timeout};
        opts.env = {{"VH_VERBOSE", "3"}};
        int port = start_activated(proc, opts);
        int fd = vh_test::connect_loopback(port);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(proc.wait_for("received by", 5s)) << proc.output;
        EXPECT_EQ(proc.output.find("<3>"), std::string::npos) << proc.output;
        close(fd);
    }
}

TEST(Options, HelpShowsTheSummaryWithTheRevision) {
    server_process proc;
    start_options opts;
    opts.args = {"--help"};
    vh_test::start(proc, opts);
    EXPECT_EQ(proc.wait_exit(10s), 0);
    EXPECT_TRUE(std::regex_search(proc.output, std::regex(R"(Varnholt HTTP Server -\S+)")))
        << proc.output;
    for (const char* text : {"--service=<service>", "--log-directory=<dir path>", "--sysv",
                             "--debug-level", "--session-timeout=<integer>", "--file=<path>"})
        EXPECT_NE(proc.output.find(text), std::string::npos) << text;
}

// --- Listening sockets and debug levels -------------------------------------------

struct listening_line {
    std::string host;
    int port;
};

std::vector<listening_line> listening_lines(const std::string& out) {
    std::vector<listening_line> lines;
    std::regex re(R"(<6>\[src/http/src/http_server_main\.cpp,get_listening_sockets\(\):[0-9]+\]: )"
                  R"(Socket [0-9]+ listening on address (\S+) port ([0-9]+)\n)");
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it)
        lines.push_back({(*it)[1], std::stoi((*it)[2])});
    return lines;
}

TEST(Listening, OneSocketPerAddressFamilyAndTheIpv6OneTakesNoIpv4) {
    std::vector<int> families = wildcard_families();
    ASSERT_FALSE(families.empty());
    server_process proc;
    start_options opts;
    opts.args = {"-s", "0", "-d", "2", "-f", vh_test::test_file()};
    vh_test::start(proc, opts);
    proc.wait_count("listening on address", static_cast<int>(families.size()), 5s);
    auto lines = listening_lines(proc.output);
    ASSERT_EQ(lines.size(), families.size()) << proc.output;
    for (size_t i = 0; i < lines.size(); i++) {
        bool v6 = families[i] == AF_INET6;
        EXPECT_EQ(lines[i].host, v6 ? "::" : "0.0.0.0");
        int fd = vh_test::connect_loopback(lines[i].port, v6);
        EXPECT_GE(fd, 0) << "connect to " << lines[i].host << " port " << lines[i].port;
        close(fd);
        if (v6) {
            // The IPv6 socket is IPv6-only: nothing listens on its port over IPv4.
            int fd4 = vh_test::connect_loopback(lines[i].port, false);
            EXPECT_LT(fd4, 0);
            if (fd4 >= 0)
                close(fd4);
        }
    }
}

TEST(Listening, VerboseEnvironmentSetsTheLevelAndTheOptionOverridesIt) {
    struct Case {
        std::string verbose;
        std::vector<std::string> extra;
        bool shown;
    } cases[] = {
        {"3", {}, true},
        {"2", {}, true},
        {"1", {}, false},
        {"3", {"-d", "0"}, false},
        {"0", {"--debug-level=2"}, true},
        {"abc", {}, false},
    };
    for (const auto& c : cases) {
        server_process proc;
        start_options opts;
        opts.args = {"-s", "0", "-f", vh_test::test_file()};
        opts.args.insert(opts.args.end(), c.extra.begin(), c.extra.end());
        opts.env = {{"VH_VERBOSE", c.verbose}};
        vh_test::start(proc, opts);
        if (c.shown) {
            EXPECT_TRUE(proc.wait_for("listening on address", 5s)) << c.verbose;
        } else {
            proc.poll_output(700ms);
            EXPECT_EQ(proc.output, "") << "VH_VERBOSE=" << c.verbose;
            EXPECT_EQ(proc.wait_exit(0ms), -1) << "the server ended";
        }
    }
}

TEST(Listening, ABusyPortIsRetriedEverySecondUntilItIsFree) {
    int port = free_port();
    ASSERT_GT(port, 0);
    // Holds the IPv4 wildcard address without SO_REUSEPORT.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    server_process proc;
    start_options opts;
    opts.args = {"-s", std::to_string(port), "-d", "2", "-f", vh_test::test_file()};
    vh_test::start(proc, opts);
    const std::string retry = "Could not create listening sockets, retrying in 1 second...";
    proc.wait_count(retry, 2, 5s);
    EXPECT_GE(count_occurrences(proc.output, retry), 2) << proc.output;
    EXPECT_NE(proc.output.find("Couldn't bind to family 2 protocol 6: Address already in use"),
              std::string::npos)
        << proc.output;
    if (wildcard_families().size() > 1) { // the IPv6 socket bound and is closed again
        EXPECT_NE(proc.output.find("Closing opened socket"), std::string::npos) << proc.output;
    }
    // A server waiting for its port still hears SIGTERM (only SIGKILL stopped one before).
    server_process waiting;
    vh_test::start(waiting, opts);
    EXPECT_TRUE(waiting.wait_for(retry, 5s));
    kill(waiting.pid, SIGTERM);
    EXPECT_EQ(waiting.wait_exit(3s), 0) << waiting.output;

    close(holder);
    EXPECT_TRUE(proc.wait_for("listening on address 0.0.0.0 port " + std::to_string(port), 5s))
        << proc.output;
    int fd = vh_test::connect_loopback(port);
    EXPECT_GE(fd, 0);
    close(fd);
}

// --- Socket activation --------------------------------------------------------------

TEST(SocketActivation, TheInheritedSocketIsUsedAndNoneIsOpened) {
    server_process proc;
    start_options opts;
    opts.args = {"-s", "1", "-d", "3"}; // the service would need privileges: never opened
    int port = start_activated(proc, opts);
    int fd = vh_test::connect_loopback(port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(proc.wait_for("received by", 5s)) << proc.output;
    EXPECT_EQ(proc.output.find("listening on address"), std::string::npos) << proc.output;
    close(fd);
}

// A blocking inherited socket would leave a worker stuck in accept4 once the queue
// is empty; with one worker, the connection's close would then never be seen.
TEST(SocketActivation, ABlockingInheritedSocketIsMadeNonBlocking) {
    server_process proc;
    start_options opts;
    opts.args = {"-d", "3"};
    opts.cpu_list = "0";
    int port = start_activated(proc, opts, /*nonblocking=*/false);
    int fd = vh_test::connect_loopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(proc.wait_for("received by", 5s)) << proc.output;
    ASSERT_EQ(send(fd, "abc", 3, 0), 3);
    close(fd);
    EXPECT_TRUE(proc.wait_for("destroyed after transmitting", 5s)) << proc.output;

    std::ifstream info("/proc/" + std::to_string(proc.pid) + "/fdinfo/3");
    std::string line;
    long flags = -1;
    while (std::getline(info, line))
        if (line.rfind("flags:", 0) == 0)
            flags = std::stol(line.substr(6), nullptr, 8);
    EXPECT_NE(flags & O_NONBLOCK, 0) << "flags " << std::oct << flags;
}

// --- SysV start-up ----------------------------------------------------------------------

pid_t find_process_with_args(const std::string& needle) {
    DIR* d = opendir("/proc");
    pid_t found = -1;
    while (dirent* e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::ifstream in("/proc/" + std::string(e->d_name) + "/cmdline");
        std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::replace(cmd.begin(), cmd.end(), '\0', ' ');
        if (cmd.find(needle) != std::string::npos)
            found = pid;
    }
    closedir(d);
    return found;
}

TEST(SysV, TheCommandReturnsOnceTheDaemonIsReady) {
    int port = free_port();
    ASSERT_GT(port, 0);
    std::string marker = vh_test::make_temp_dir();
    std::string inherited = marker + "/inherited";
    vh_test::write_file(inherited, 1);

    server_process starter;
    start_options opts;
    opts.args = {"-S", "-s", std::to_string(port), "-f", vh_test::test_file()};
    // A descriptor the caller leaves open: the daemon must not keep it.
    int extra = open(inherited.c_str(), O_RDONLY);
    opts.inherit_fd = extra; // passed as descriptor 3
    opts.unset_env = {"LISTEN_FDS"};
    vh_test::start(starter, opts);
    close(extra);
    EXPECT_EQ(starter.wait_exit(10s), 0) << starter.output;

    pid_t daemon = find_process_with_args("-S -s " + std::to_string(port) + " ");
    ASSERT_GT(daemon, 0);
    int fd = -1;
    for (int i = 0; i < 50 && fd < 0; i++) {
        fd = vh_test::connect_loopback(port);
        if (fd < 0)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(fd, 0);
    close(fd);

    char cwd[256] = "";
    ssize_t n = readlink(("/proc/" + std::to_string(daemon) + "/cwd").c_str(), cwd, 255);
    EXPECT_EQ(std::string(cwd, n > 0 ? n : 0), "/");
    for (int i = 0; i < 3; i++) {
        char target[256] = "";
        n = readlink(("/proc/" + std::to_string(daemon) + "/fd/" + std::to_string(i)).c_str(),
                     target, 255);
        EXPECT_EQ(std::string(target, n > 0 ? n : 0), "/dev/null");
    }
    std::string fd_dir = "/proc/" + std::to_string(daemon) + "/fd";
    DIR* d = opendir(fd_dir.c_str());
    while (dirent* e = readdir(d)) {
        char target[512] = "";
        n = readlink((fd_dir + "/" + e->d_name).c_str(), target, 511);
        EXPECT_NE(std::string(target, n > 0 ? n : 0), inherited);
    }
    closedir(d);
    kill(daemon, SIGKILL);
    vh_test::remove_tree(marker);
}

// --- Workers --------------------------------------------------------------------------

TEST(Workers, OneWorkerPerAllowedCpuPinnedToIt) {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    server_process proc;
    start_options opts;
    opts.args = {"-d", "3"};
    int port = start_activated(proc, opts);
    int fd = vh_test::connect_loopback(port);
    ASSERT_TRUE(proc.wait_for("received by", 5s));
    close(fd);
    // main thread, file operations thread, then one worker per CPU (the first
    // worker may serve before the last one has started)
    // A new thread takes its own CPU set a moment after it appears.
    auto pinned = [&](const std::vector<std::string>& l) {
        for (long i = 0; i < cpus; i++)
            if (std::count(l.begin(), l.end(), std::to_string(i)) != 1)
                return false;
        return static_cast<long>(l.size()) == 2 + cpus;
    };
    auto lists = task_cpu_lists(proc.pid);
    for (int i = 0; i < 100 && !pinned(lists); i++) {
        std::this_thread::sleep_for(20ms);
        lists = task_cpu_lists(proc.pid);
    }
    ASSERT_EQ(static_cast<long>(lists.size()), 2 + cpus);
    for (long i = 0; i < cpus; i++)
        EXPECT_EQ(std::count(lists.begin(), lists.end(), std::to_string(i)), 1) << i;
}

TEST(Workers, StartsAndServesUnderARestrictedAffinityMask) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        GTEST_SKIP() << "needs a second CPU";
    server_process proc;
    start_options opts;
    opts.args = {"-d", "3"};
    opts.cpu_list = "1";
    int port = start_activated(proc, opts);
    int fd = vh_test::connect_loopback(port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(proc.wait_for("received by", 5s)) << proc.output;
    auto lists = task_cpu_lists(proc.pid);
    EXPECT_EQ(lists.size(), 3u);
    EXPECT_EQ(std::count(lists.begin(), lists.end(), "1"), 3);
    close(fd);
}

// --- Accepting --------------------------------------------------------------------------

TEST(Accepting, ClosedConnectionsLeaveNoDescriptorBehind) {
    server_process proc;
    start_options opts;
    opts.args = {"-d", "3"};
    int port = start_activated(proc, opts);
    int fd = vh_test::connect_loopback(port);
    ASSERT_TRUE(proc.wait_for("destroyed", 100ms) || proc.wait_for("received by", 5s));
    close(fd);
    ASSERT_TRUE(proc.wait_for("destroyed after transmitting", 5s));
    std::this_thread::sleep_for(100ms); // the line comes just before the descriptors go
    int baseline = vh_test::count_fds(proc.pid);

    std::vector<int> clients;
    for (int i = 0; i < 200; i++) {
        int c = vh_test::connect_loopback(port);
        ASSERT_GE(c, 0);
        send(c, "GET / HTTP/1.1\r\n\r\n", 18, 0);
        clients.push_back(c);
    }
    for (int c : clients)
        close(c);
    proc.wait_count("destroyed after transmitting", 201, 10s);
    EXPECT_EQ(count_occurrences(proc.output, "destroyed after transmitting"), 201);
    for (int i = 0; i < 50 && vh_test::count_fds(proc.pid) != baseline; i++)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(vh_test::count_fds(proc.pid), baseline);
}

// Out of descriptors, a worker stops accepting instead of waking up for every
// queued connection, and takes the queue once descriptors are freed.
TEST(Accepting, DescriptorExhaustionPausesAcceptingWithoutSpinning) {
    server_process proc;
    start_options opts;
    opts.args = {"-d", "3"};
    opts.nofile = 24;
    int port = start_activated(proc, opts);

    constexpr int clients = 30;
    std::vector<int> fds;
    for (int i = 0; i < clients; i++) {
        int c = vh_test::connect_loopback(port);
        ASSERT_GE(c, 0);
        fds.push_back(c);
    }
    // accept4 finds the table full.
    const std::string full = "Too many open files";
    ASSERT_TRUE(proc.wait_for(full, 5s)) << proc.output;
    std::this_thread::sleep_for(200ms);
    long before = cpu_ticks(proc.pid);
    std::this_thread::sleep_for(1s);
    long used = cpu_ticks(proc.pid) - before;
    EXPECT_LE(used, 5) << "ticks of CPU used while paused";
    proc.poll_output(0ms);
    int accepted = count_occurrences(proc.output, "received by");
    EXPECT_LT(accepted, clients);
    // Paused, not draining the queue by refusing it: one report per worker.
    EXPECT_LE(count_occurrences(proc.output, full), 2) << proc.output;

    for (int c : fds)
        close(c);
    auto ended = [&] { return count_occurrences(proc.output, "destroyed after transmitting"); };
    auto until = std::chrono::steady_clock::now() + 10s;
    while (ended() < clients && std::chrono::steady_clock::now() < until)
        proc.poll_output(100ms);
    EXPECT_EQ(ended(), clients) << proc.output;
}

} // namespace
