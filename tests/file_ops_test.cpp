// File operations thread: the four commands, concurrent posting and the reply path.
#include "file_ops.h"

#include "test_support.h"

#include "metrics.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

char* heap_string(const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

struct reply_pipe {
    int fds[2] = {-1, -1};
    reply_pipe() {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    }
    ~reply_pipe() {
        close_all();
    }
    void close_all() {
        for (int& fd : fds)
            if (fd >= 0) {
                close(fd);
                fd = -1;
            }
    }
    // Waits for one 8-byte reply; false on time-out.
    bool read_reply(uint64_t* value, int timeout_ms = 5000) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return false;
        return read(fds[0], value, 8) == 8;
    }
};

// Holds the file operations thread up, as a stalled disk would: an open of a FIFO for
// reading waits for a writer. release() gives it one, then the reader its append open
// waits for in turn.
struct held_thread {
    std::string fifo;
    reply_pipe answer;
    int writer = -1, reader = -1;
    explicit held_thread(const std::string& dir) : fifo(dir + "/held.fifo") {
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        fileops_cmd cmd{};
        cmd.type = FILEOPS_OPEN;
        cmd.path = strdup(fifo.c_str());
        cmd.open_reply_fd = answer.fds[1];
        EXPECT_EQ(send_fileops_cmd(&cmd), 0);
    }
    void release() {
        for (int i = 0; i < 500 && writer < 0; i++) {
            writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK); // ENXIO until the thread reads
            if (writer < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(writer, 0);
        reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        uint64_t file = 0;
        ASSERT_TRUE(answer.read_reply(&file));
        ASSERT_NE(file, 0u);
        fileops_cmd cmd{};
        cmd.type = FILEOPS_CLOSE;
        cmd.file = reinterpret_cast<FILE*>(file);
        ASSERT_EQ(send_fileops_cmd(&cmd), 0);
    }
    ~held_thread() {
        if (writer >= 0)
            close(writer);
        if (reader >= 0)
            close(reader);
    }
};

class FileOps : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(init_file_ops(), 0);
    }
    static void TearDownTestSuite() {
        stop_file_ops();
    }
    void SetUp() override {
        dir = vh_test::make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        vh_test::remove_tree(dir);
    }

    static int post_open(const std::string& path, int reply_fd) {
        fileops_cmd cmd{};
        cmd.type = FILEOPS_OPEN;
        cmd.path = heap_string(path);
        cmd.open_reply_fd = reply_fd;
        return send_fileops_cmd(&cmd);
    }
    FILE* open_file(const std::string& path) {
        reply_pipe rp;
        EXPECT_EQ(post_open(path, rp.fds[1]), 0);
        uint64_t reply = 1;
        EXPECT_TRUE(rp.read_reply(&reply));
        return reinterpret_cast<FILE*>(reply);
    }
    uint64_t write_file(FILE* file, const std::string& data) {
        reply_pipe rp;
        fileops_cmd cmd{};
        cmd.type = FILEOPS_WRITE;
        cmd.file = file;
        cmd.data = data.empty() ? malloc(1) : heap_string(data);
        cmd.len = data.size();
        cmd.reply_fd = rp.fds[1];
        EXPECT_EQ(send_fileops_cmd(&cmd), 0);
        uint64_t reply = 12345;
        EXPECT_TRUE(rp.read_reply(&reply));
        return reply;
    }
    void close_file(FILE* file) {
        fileops_cmd cmd{};
        cmd.type = FILEOPS_CLOSE;
        cmd.file = file;
        ASSERT_EQ(send_fileops_cmd(&cmd), 0);
    }
    void dump(const std::string& path, const std::string& data) {
        fileops_cmd cmd{};
        cmd.type = FILEOPS_DUMP;
        cmd.path = heap_string(path);
        cmd.data = heap_string(data);
        cmd.len = data.size();
        ASSERT_EQ(send_fileops_cmd(&cmd), 0);
    }
    // Commands run in order: once an open posted after them has answered, every
    // earlier command has been executed.
    void sync() {
        FILE* f = open_file(dir + "/does-not-exist-sync");
        EXPECT_EQ(f, nullptr);
    }
    // This process's descriptor count once the thread has closed the duplicates of
    // earlier reply descriptors (it does so just after answering).
    int settled_fd_count() {
        sync();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return vh_test::count_fds(getpid());
    }
    // Expects the descriptor count to come back to `before` once the commands so far ran.
    void expect_fds_back_to(int before) {
        sync();
        for (int i = 0; i < 50 && vh_test::count_fds(getpid()) != before; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(vh_test::count_fds(getpid()), before) << vh_test::describe_fds(getpid());
    }

    std::string dir;
};

TEST_F(FileOps, OpeningAMissingFileRepliesNullAndCreatesNothing) {
    std::string path = dir + "/missing.log";
    EXPECT_EQ(open_file(path), nullptr);
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST_F(FileOps, WritesAppendToTheEndOfAnExistingFileInOrder) {
    std::string path = dir + "/session.log";
    dump(path, "head\n");
    sync();
    FILE* f = open_file(path);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(write_file(f, "one\n"), 4u);
    EXPECT_EQ(write_file(f, "two\n"), 4u);
    EXPECT_EQ(write_file(f, ""), 0u); // nothing written is reported as a failure
    // Appends may extend a file up to the limit, and fail beyond it.
    max_put_size = 16;
    EXPECT_EQ(write_file(f, "abc"), 3u);
    EXPECT_EQ(write_file(f, "limit"), 0u);
    max_put_size = MAX_PUT_SIZE_DEFAULT;
    close_file(f);
    sync();
    EXPECT_EQ(vh_test::read_file(path), "head\none\ntwo\nabc");
}

TEST_F(FileOps, DumpReplacesTheContentOfAnExistingFile) {
    std::string path = dir + "/dump.log";
    dump(path, "a much longer first content\n");
    dump(path, "short\n");
    sync();
    EXPECT_EQ(vh_test::read_file(path), "short\n");
}

TEST_F(FileOps, DumpIntoAMissingDirectoryLogsAndGoesOn) {
    testing::internal::CaptureStderr();
    dump(dir + "/no/such/dir/file", "data");
    sync();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("<3>[src/http/src/file_ops.cpp,dump_cmd():"), std::string::npos) << err;
    EXPECT_NE(err.find("fopen: No such file or directory"), std::string::npos) << err;
}

// A disk that fails part-way (here: a file size limit, like a full file system) leaves
// neither an empty nor a partial log; each failure is counted, the error logged once.
TEST_F(FileOps, ALogThatCannotBeWrittenWholeLeavesNoFileAndIsCountedAndLoggedOnce) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 4096;
    auto failed = [] {
        std::string page = format_metrics();
        size_t at = page.find("\nvarnholt_session_logs_failed_total ");
        return at == std::string::npos ? -1 : std::stol(page.substr(at + 36));
    };
    long failed_before = failed();
    dump(dir + "/before.log", "ok"); // ends any run of failures of earlier tests
    testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    dump(dir + "/first.log", std::string(10000, 'x'));
    dump(dir + "/second.log", std::string(10000, 'y'));
    dump(dir + "/small.log", "fits");
    sync();
    setrlimit(RLIMIT_FSIZE, &old);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Session logs are written again; 1 more were not"), std::string::npos)
        << err;
    EXPECT_EQ(failed() - failed_before, 2);
    EXPECT_NE(err.find("File too large (session log " + dir + "/first.log not written"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("second.log"), std::string::npos) << err;
    struct stat st {};
    for (const char* name : {"/first.log", "/first.log.part", "/second.log", "/second.log.part"})
        EXPECT_NE(stat((dir + name).c_str(), &st), 0) << name;
    EXPECT_EQ(vh_test::read_file(dir + "/small.log"), "fits");
}

TEST_F(FileOps, DumpedFilesAreReadableByAllAndWritableByTheOwnerOnly) {
    for (mode_t mask : {mode_t(0), mode_t(077)}) {
        mode_t old = umask(mask);
        std::string path = dir + "/mode-" + std::to_string(mask) + ".log";
        dump(path, "x");
        sync();
        umask(old);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << "umask " << std::oct << mask;
    }
}

TEST_F(FileOps, AnUnknownCommandTypeIsSkipped) {
    fileops_cmd cmd{};
    cmd.type = 7;
    ASSERT_EQ(send_fileops_cmd(&cmd), 0);
    cmd.type = 4;
    ASSERT_EQ(send_fileops_cmd(&cmd), 0);
    std::string path = dir + "/after-unknown.log";
    dump(path, "x");
    sync();
    EXPECT_EQ(vh_test::read_file(path), "x");
}

TEST_F(FileOps, RecordsPostedByManyThreadsAtOnceAreExecutedWhole) {
    std::string path = dir + "/concurrent.log";
    dump(path, "");
    sync();
    FILE* f = open_file(path);
    ASSERT_NE(f, nullptr);
    constexpr int threads = 8, per_thread = 100;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; t++)
        posters.emplace_back([this, f, t] {
            for (int i = 0; i < per_thread; i++) {
                char line[64];
                snprintf(line, sizeof(line), "thread %d line %03d ..........\n", t, i);
                EXPECT_EQ(write_file(f, line), strlen(line));
            }
        });
    for (auto& th : posters)
        th.join();
    close_file(f);
    sync();
    std::string content = vh_test::read_file(path);
    // Every line whole, and each thread's lines in the order it posted them.
    std::vector<int> next(threads, 0);
    size_t pos = 0;
    int lines = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(content.c_str() + pos, "thread %d line %d ..........", &t, &i), 2);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, threads);
        EXPECT_EQ(i, next[t]);
        next[t] = i + 1;
        pos = end + 1;
        lines++;
    }
    EXPECT_EQ(lines, threads * per_thread);
}

// A requester may go away, and its descriptor number be reused, while its command
// still waits in the pipe. The reply must then be dropped, never delivered to the
// new owner of that number, and a file opened for nobody must be closed again.
TEST_F(FileOps, AReplyNeverReachesADescriptorReusedAfterItsRequesterWentAway) {
    std::string path = dir + "/target.log";
    dump(path, "x");
    int fds_before = settled_fd_count();

    // Keep the thread busy so the open below is still queued when its pipe goes.
    std::string big(64 << 20, 'b');
    dump(dir + "/big.bin", big);

    int old_read_fd, old_write_fd;
    {
        reply_pipe first;
        old_read_fd = first.fds[0];
        old_write_fd = first.fds[1];
        ASSERT_EQ(post_open(path, first.fds[1]), 0);
    } // both ends closed while the command waits

    reply_pipe second; // takes the same descriptor numbers
    EXPECT_EQ(second.fds[0], old_read_fd);
    EXPECT_EQ(second.fds[1], old_write_fd);
    ASSERT_EQ(post_open(dir + "/missing", second.fds[1]), 0);

    uint64_t reply = 1;
    ASSERT_TRUE(second.read_reply(&reply, 20000));
    EXPECT_EQ(reply, 0u) << "the reply of the abandoned open arrived on the reused pipe";
    EXPECT_FALSE(second.read_reply(&reply, 200)) << "a second reply arrived";
    second.close_all();

    // The thread goes on serving, and the file opened for nobody was closed.
    expect_fds_back_to(fds_before);
}

// A requester that gives up on an open hands its answer pipe over, whether the
// answer is still queued (the thread is busy) or already written: in both cases the
// opened file and the pipe are closed, and nothing else is touched.
TEST_F(FileOps, AnAbandonedOpenHasItsFileClosedWhenEverItsAnswerCame) {
    std::string path = dir + "/abandoned.log";
    dump(path, "x");
    int fds_before = settled_fd_count();

    for (bool busy : {true, false}) {
        if (busy)
            dump(dir + "/big.bin", std::string(64 << 20, 'b'));
        reply_pipe rp;
        ASSERT_EQ(post_open(path, rp.fds[1]), 0);
        if (!busy)
            sync(); // the answer now waits in the pipe
        fileops_cmd abandon{};
        abandon.type = FILEOPS_ABANDON;
        abandon.reply_fd = rp.fds[0];
        ASSERT_EQ(send_fileops_cmd(&abandon), 0);
        rp.fds[0] = -1; // the thread's now
    }
    expect_fds_back_to(fds_before);
    EXPECT_EQ(vh_test::read_file(path), "x");
}

TEST_F(FileOps, AReplyThatCannotBeWrittenDoesNotStopTheThread) {
    std::string path = dir + "/w.log";
    dump(path, "");
    sync();
    FILE* f = open_file(path);
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 3; i++) {
        reply_pipe rp;
        fileops_cmd cmd{};
        cmd.type = FILEOPS_WRITE;
        cmd.file = f;
        cmd.data = heap_string("abc");
        cmd.len = 3;
        cmd.reply_fd = rp.fds[1];
        ASSERT_EQ(send_fileops_cmd(&cmd), 0);
        rp.close_all(); // the reader is gone before the reply
    }
    close_file(f);
    sync();
    EXPECT_EQ(vh_test::read_file(path), "abcabcabc");
}

} // namespace

namespace {

TEST_F(FileOps, WaitingForTheCommandsSoFarSeesEveryOneOfThemDone) {
    for (int i = 0; i < 50; i++)
        dump(dir + "/log" + std::to_string(i), std::string(1000 + static_cast<size_t>(i), 'x'));
    ASSERT_EQ(wait_file_ops_done(5000), 0);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(vh_test::read_file(dir + "/log" + std::to_string(i)).size(),
                  1000u + static_cast<size_t>(i));
}

TEST_F(FileOps, WaitingGivesUpWhileTheThreadIsHeldUp) {
    held_thread held(dir);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_file_ops_done(200), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(190));
    held.release();
    // Once released, the thread answers the next wait (the late answer of the first
    // one goes to a pipe that is gone and is dropped).
    EXPECT_EQ(wait_file_ops_done(5000), 0);
}

// A thread that falls behind never blocks a poster: once the queue is full, dumps and
// writes are refused at once (and the refusal logged once), while a close still runs,
// after everything queued before it.
TEST_F(FileOps, AFullQueueRefusesAtOnceAndStillRunsTheClosesAfterTheRest) {
    std::string path = dir + "/open.log";
    dump(path, "");
    sync();
    int fds_before = settled_fd_count();
    FILE* f = open_file(path);
    ASSERT_NE(f, nullptr);
    held_thread held(dir);
    testing::internal::CaptureStderr();
    int accepted = 0;
    bool refused = false;
    for (int i = 0; i < 100000 && !refused; i++) {
        fileops_cmd cmd{};
        cmd.type = FILEOPS_DUMP;
        cmd.path = heap_string(dir + "/q" + std::to_string(i));
        cmd.data = heap_string("q");
        cmd.len = 1;
        if (send_fileops_cmd(&cmd) == 0) {
            accepted++;
            continue;
        }
        EXPECT_EQ(errno, EAGAIN);
        refused = true;
        free(cmd.path);
        free(cmd.data);
    }
    ASSERT_TRUE(refused);
    fileops_cmd second{};
    second.type = FILEOPS_DUMP;
    second.path = heap_string(dir + "/refused");
    second.data = heap_string("r");
    second.len = 1;
    EXPECT_EQ(send_fileops_cmd(&second), -1);
    free(second.path);
    free(second.data);
    close_file(f); // kept aside, not refused
    std::string err = testing::internal::GetCapturedStderr();
    size_t first = err.find("File operations queue full");
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("File operations queue full", first + 1), std::string::npos) << err;

    held.release();
    ASSERT_EQ(wait_file_ops_done(20000), 0);
    for (int i = 0; i < accepted; i++)
        ASSERT_EQ(vh_test::read_file(dir + "/q" + std::to_string(i)), "q") << i;
    expect_fds_back_to(fds_before + 4); // the held thread's FIFO ends and answer pipe
}

} // namespace
