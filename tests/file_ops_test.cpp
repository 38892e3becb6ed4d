// File operations thread: the four commands, concurrent posting and the reply path.
#include "file_ops.h"

#include "budget.h"
#include "log_space.h"
#include "metrics.h"
#include "test_support.h"

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using vh_test::read_file;

namespace {

// Posts a command; path and data are copied to the heap, as the thread frees them, and the data
// holds its bytes of the memory budget until then.
int post(uint32_t type, const std::string& path, const std::string& data = "", int reply_fd = -1,
         FILE* file = nullptr) {
    fileops_cmd cmd{};
    cmd.type = type;
    cmd.file = file;
    if (file == nullptr)
        cmd.path = strdup(path.c_str());
    cmd.open_reply_fd = reply_fd; // an open's: the data of the others takes its place
    const bool has_data = type != FILEOPS_OPEN && type != FILEOPS_CLOSE;
    if (has_data) {
        cmd.data = memcpy(malloc(data.size() + 1), data.data(), data.size());
        cmd.len = data.size();
        cmd.reply_fd = reply_fd;
        cmd.reserved = data.size();
        EXPECT_TRUE(reserve_memory(cmd.reserved));
    }
    const int result = send_fileops_cmd(&cmd);
    if (result != 0 && file == nullptr)
        free(cmd.path);
    if (result != 0 && has_data) {
        free(cmd.data);
        release_memory(cmd.reserved);
    }
    return result;
}

struct reply_pipe {
    int fds[2] = {-1, -1};
    reply_pipe() {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    }
    ~reply_pipe() {
        for (int fd : fds)
            close(fd); // -1 (handed over) is refused harmlessly
    }
    // Waits for one 8-byte reply; false on time-out.
    bool read(uint64_t* value, int timeout_ms = 5000) {
        pollfd p{fds[0], POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1 && ::read(fds[0], value, 8) == 8;
    }
};

struct FileOps : ::testing::Test {
    vh_test::temp_dir dir;
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(init_file_ops(), 0);
    }
    static void TearDownTestSuite() {
        stop_file_ops();
    }
    void TearDown() override {
        // Every command written, failed or refused has given its bytes back.
        EXPECT_EQ(wait_file_ops_done(5000), 0);
        EXPECT_EQ(memory_reserved(), 0u);
    }
    // Posts an open or a write and returns its reply.
    static uint64_t ask(uint32_t type, const std::string& path, const std::string& data = "",
                        FILE* file = nullptr) {
        reply_pipe rp;
        EXPECT_EQ(post(type, path, data, rp.fds[1], file), 0);
        uint64_t reply = 12345;
        EXPECT_TRUE(rp.read(&reply));
        return reply;
    }
    static FILE* open_file(const std::string& path) {
        return reinterpret_cast<FILE*>(ask(FILEOPS_OPEN, path));
    }
    // Commands run in order: once an open posted after them has answered, every
    // earlier command has been executed.
    void sync() {
        EXPECT_EQ(open_file(dir + "/does-not-exist-sync"), nullptr);
    }
    // This process's descriptor count once the commands so far ran and the thread closed the
    // duplicates of reply descriptors (just after answering): waits up to 1 s for `want`.
    int fds_settled(int want = -1) {
        sync();
        for (int i = 0; i < 50 && vh_test::count_fds(getpid()) != want; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return vh_test::count_fds(getpid());
    }
};

// Every line whole, and each thread's lines in the order it posted them; appends may then
// extend the file up to the PUT size limit, and fail beyond it; a reply nobody reads does not
// stop the thread.
TEST_F(FileOps, RecordsPostedByManyThreadsAtOnceAreWholeInOrderAndStopAtTheSizeLimit) {
    const std::string path = dir + "/concurrent.log";
    post(FILEOPS_DUMP, path, "head\n");
    FILE* f = open_file(path);
    ASSERT_NE(f, nullptr);
    constexpr int threads = 8, per_thread = 100;
    auto line = [](int t, int i) {
        return "thread " + std::to_string(t) + " line " + std::to_string(i) + " ..........\n";
    };
    off_t size = 5 + 2; // the head and "ab" below
    std::vector<std::jthread> posters;
    for (int t = 0; t < threads; t++) {
        for (int i = 0; i < per_thread; i++)
            size += static_cast<off_t>(line(t, i).size());
        posters.emplace_back([&, t] {
            for (int i = 0; i < per_thread; i++)
                EXPECT_EQ(ask(FILEOPS_WRITE, "", line(t, i), f), line(t, i).size());
        });
    }
    posters.clear(); // joins them
    ASSERT_EQ(post(FILEOPS_WRITE, "", "ab", reply_pipe().fds[1], f), 0);
    max_put_size = size + 1;
    EXPECT_EQ(ask(FILEOPS_WRITE, "", "c", f), 1u);
    EXPECT_EQ(ask(FILEOPS_WRITE, "", "d", f), 0u);
    max_put_size = MAX_PUT_SIZE_DEFAULT;
    ASSERT_EQ(post(FILEOPS_CLOSE, "", "", -1, f), 0);
    sync();
    std::string text = read_file(path);
    ASSERT_EQ(text.size(), static_cast<size_t>(size + 1));
    EXPECT_EQ(text.substr(0, 5) + text.substr(text.size() - 3), "head\nabc");
    // Every line whole and each thread's next one; with the size right, none is missing.
    std::vector<int> next(threads, 0);
    std::istringstream lines(text.substr(5, text.size() - 8));
    for (std::string l; std::getline(lines, l);) {
        int t = -1;
        ASSERT_TRUE(sscanf(l.c_str(), "thread %d ", &t) == 1 && t >= 0 && t < threads) << l;
        ASSERT_EQ(l + "\n", line(t, next[t]++));
    }
}

// A file already at the PUT cap refuses its very first append (a stream opened for appending
// tells position 0). Logs of one name (one session id, one second) never replace one another:
// the first keeps the name, PUT still finds it, the others are numbered. The log directory's
// budget, measured at the start, refuses a log and an append that would go past it, counts
// them, and takes what fits up to the last byte.
TEST_F(FileOps, CapsCountTheRealSizeAndLogsNeverReplaceOneAnother) {
    post(FILEOPS_DUMP, dir + "/full.log", std::string(100, 'f'));
    FILE* full = open_file(dir + "/full.log");
    ASSERT_NE(full, nullptr);
    max_put_size = 100;
    EXPECT_EQ(ask(FILEOPS_WRITE, "", "g", full), 0u);
    max_put_size = MAX_PUT_SIZE_DEFAULT;

    const std::string name = dir + "/3_1700000000_42";
    for (const char* text : {"first", "second", "third"})
        post(FILEOPS_DUMP, name + ".log", text);
    FILE* first = open_file(name + ".log");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ask(FILEOPS_WRITE, "", "+", first), 1u);
    sync();
    EXPECT_EQ(read_file(name + ".log") + read_file(name + "-2.log") + read_file(name + "-3.log"),
              "first+secondthird");

    // The file operations thread keeps the directory's name: one that outlives the thread.
    static const std::string space_dir = dir;
    init_log_space(space_dir.c_str(), 1);
    const uint64_t used = log_space_used();
    EXPECT_EQ(used, 100u + 6 + 6 + 5);
    init_log_space(space_dir.c_str(), used + 10);
    testing::internal::CaptureStderr();
    post(FILEOPS_DUMP, dir + "/new.log", std::string(11, 'n'));
    EXPECT_EQ(ask(FILEOPS_WRITE, "", std::string(11, 'p'), first), 0u);
    EXPECT_EQ(ask(FILEOPS_WRITE, "", std::string(10, 'p'), first), 10u);
    post(FILEOPS_DUMP, dir + "/one.log", "1");
    sync();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Log directory full: PUT append of 11 bytes refused"), std::string::npos)
        << err;
    EXPECT_EQ(log_space_used(), used + 10);
    for (const char* refused : {"/new.log", "/new.log.part", "/one.log"})
        EXPECT_NE(access((dir + refused).c_str(), F_OK), 0) << refused;
    const std::string page = format_metrics();
    for (const std::string& sample : std::vector<std::string>{
             "varnholt_log_space_refusals_total{what=\"session_log\"} 2\n",
             "varnholt_log_space_refusals_total{what=\"put\"} 1\n",
             "varnholt_log_space_used_bytes " + std::to_string(used + 10) + "\n",
             "varnholt_log_space_limit_bytes " + std::to_string(used + 10) + "\n"})
        EXPECT_NE(page.find(sample), std::string::npos) << sample << page;
    init_log_space(nullptr, 0);
    for (FILE* f : {full, first})
        ASSERT_EQ(post(FILEOPS_CLOSE, "", "", -1, f), 0);
}

// A disk that fails part-way (here: a file size limit, like a full file system) leaves
// neither an empty nor a partial log; each failure is counted, the error logged once.
TEST_F(FileOps, ALogThatCannotBeWrittenWholeLeavesNoFileAndIsCountedAndLoggedOnce) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit small{4096, old.rlim_max};
    auto failed = [] {
        const std::string page = format_metrics();
        return std::stol(page.substr(page.find("\nvarnholt_session_logs_failed_total ") + 36));
    };
    long failed_before = failed();
    post(FILEOPS_DUMP, dir + "/before.log", "ok"); // ends any run of failures of earlier tests
    testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    post(FILEOPS_DUMP, dir + "/first.log", std::string(10000, 'x'));
    post(FILEOPS_DUMP, dir + "/second.log", std::string(10000, 'y'));
    post(FILEOPS_DUMP, dir + "/small.log", "fits");
    sync();
    setrlimit(RLIMIT_FSIZE, &old);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(failed() - failed_before, 2);
    EXPECT_NE(err.find("File too large (session log " + dir + "/first.log not written"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("second.log"), std::string::npos) << err;
    for (const char* name : {"/first.log", "/first.log.part", "/second.log", "/second.log.part"})
        EXPECT_NE(access((dir + name).c_str(), F_OK), 0) << name;
    EXPECT_EQ(read_file(dir + "/small.log"), "fits");
}

// A requester may go away, and its descriptor number be reused, while its open still waits
// in the pipe: the reply must then be dropped, never delivered to the new owner of that
// number. A requester that gives up on an open hands its answer pipe over, whether the
// answer is still queued or already written. Either way the file opened for nobody and the
// pipe are closed, and the thread goes on serving.
TEST_F(FileOps, RepliesNeverReachAReusedDescriptorAndAbandonedOpensAreClosed) {
    const std::string path = dir + "/target.log";
    post(FILEOPS_DUMP, path, "x");
    const int fds_before = fds_settled();
    // Keep the thread busy so the open below is still queued when its pipe goes.
    post(FILEOPS_DUMP, dir + "/big.bin", std::string(64 << 20, 'b'));
    int old_fds[2];
    {
        reply_pipe first;
        memcpy(old_fds, first.fds, sizeof old_fds);
        ASSERT_EQ(post(FILEOPS_OPEN, path, "", first.fds[1]), 0);
    } // both ends closed while the command waits
    {
        reply_pipe second; // takes the same descriptor numbers
        EXPECT_EQ(std::pair(second.fds[0], second.fds[1]), std::pair(old_fds[0], old_fds[1]));
        ASSERT_EQ(post(FILEOPS_OPEN, dir + "/missing", "", second.fds[1]), 0);
        uint64_t reply = 1;
        ASSERT_TRUE(second.read(&reply, 20000));
        EXPECT_EQ(reply, 0u) << "the reply of the abandoned open arrived on the reused pipe";
        EXPECT_FALSE(second.read(&reply, 200)) << "a second reply arrived";
    }
    for (bool busy : {true, false}) {
        if (busy)
            post(FILEOPS_DUMP, dir + "/big.bin", std::string(64 << 20, 'b'));
        reply_pipe rp;
        ASSERT_EQ(post(FILEOPS_OPEN, path, "", rp.fds[1]), 0);
        if (!busy)
            sync(); // the answer now waits in the pipe
        fileops_cmd abandon{};
        abandon.type = FILEOPS_ABANDON;
        abandon.reply_fd = std::exchange(rp.fds[0], -1); // the thread's now
        ASSERT_EQ(send_fileops_cmd(&abandon), 0);
    }
    EXPECT_EQ(fds_settled(fds_before), fds_before) << vh_test::describe_fds(getpid());
    EXPECT_EQ(read_file(path), "x");
}

// A thread that falls behind never blocks a poster: a wait for it gives up in time; once the
// queue is full, dumps and writes are refused at once (and the refusal logged once), while a
// close still runs, after everything queued before it.
TEST_F(FileOps, AHeldThreadBlocksNoPosterAndAFullQueueStillRunsTheCloses) {
    const std::string path = dir + "/open.log";
    post(FILEOPS_DUMP, path, "");
    const int fds_before = fds_settled();
    FILE* f = open_file(path);
    ASSERT_NE(f, nullptr);
    // Held up as by a stalled disk: an open of a FIFO for reading waits for a writer.
    const std::string fifo = dir + "/held.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    reply_pipe held;
    ASSERT_EQ(post(FILEOPS_OPEN, fifo, "", held.fds[1]), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_file_ops_done(200), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(190));
    testing::internal::CaptureStderr();
    int accepted = 0;
    while (accepted < 100000 && post(FILEOPS_DUMP, dir + "/q" + std::to_string(accepted), "q") == 0)
        accepted++;
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(post(FILEOPS_DUMP, dir + "/refused", "r"), -1);
    EXPECT_EQ(post(FILEOPS_WRITE, "", "w", -1, f), -1);
    ASSERT_EQ(post(FILEOPS_CLOSE, "", "", -1, f), 0); // kept aside, not refused
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(vh_test::count_occurrences(err, "File operations queue full"), 1) << err;
    int writer = -1; // ENXIO until the thread reads
    ASSERT_TRUE(vh_test::eventually(
        [&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // for the append open
    uint64_t file = 0;
    ASSERT_TRUE(held.read(&file));
    ASSERT_EQ(post(FILEOPS_CLOSE, "", "", -1, reinterpret_cast<FILE*>(file)), 0);
    ASSERT_EQ(wait_file_ops_done(20000), 0);
    for (int i = 0; i < accepted; i++)
        ASSERT_EQ(read_file(dir + "/q" + std::to_string(i)), "q") << i;
    // The FIFO's ends and the held open's answer pipe are still open.
    EXPECT_EQ(fds_settled(fds_before + 4), fds_before + 4) << vh_test::describe_fds(getpid());
    close(writer);
    close(reader);
}

} // namespace
