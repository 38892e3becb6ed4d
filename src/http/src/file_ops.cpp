// File operations thread: executes open, append, close and whole-file writes posted
// by the worker threads through a pipe, so that no event loop waits for a disk.
#include "file_ops.h"
#include "archive.h"
#include "budget.h"

#include "log_space.h"
#include "metrics.h"
#include "settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <string>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <climits>
#include <mutex>
#include <unistd.h>
#include <vector>

int fileops_pipe[2] = {-1, -1};
pthread_t fileops_thread;
std::atomic<off_t> max_put_size{MAX_PUT_SIZE_DEFAULT};

// The pipe is the queue, bounded by its capacity, and neither end blocks: a worker
// whose command does not fit is told so at once (a stalled disk must never stall a
// test). Commands that may not be lost (a close, an abandoned answer, a sync) wait
// here instead and run once the pipe is empty, hence after everything posted before
// them.
// Never destroyed: the thread may still use them while the process exits.
static std::mutex overflow_mutex;
static std::vector<fileops_cmd>& overflow = *new std::vector<fileops_cmd>;

// Logs a failure of one kind at most once a minute, with the number of failures since
// it was last logged. File operations thread or any worker (atomic).
struct quiet_failures {
    std::atomic<int64_t> next_log_ns{0};
    std::atomic<uint64_t> unlogged{0};
};

static int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// True when this failure is to be logged; *others is set to the failures not logged
// since the last one that was.
static bool failure_to_log(quiet_failures* failures, uint64_t* others) {
    int64_t now = now_ns();
    int64_t next = failures->next_log_ns.load(std::memory_order_relaxed);
    if (now < next || !failures->next_log_ns.compare_exchange_strong(next, now + 60000000000)) {
        failures->unlogged.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    *others = failures->unlogged.exchange(0, std::memory_order_relaxed);
    return true;
}

static quiet_failures queue_full_failures;

// Session logs failing one after the other (a full disk) are logged once, when the
// first fails, and once more when one is written again. File operations thread only.
static bool logs_failing = false;
static unsigned long logs_failed_quietly = 0;

// Writes an 8-byte reply on the thread's own duplicate of the requester's
// descriptor and closes the duplicate. False when the reply could not be
// delivered (the requester is gone or its pipe is full).
static bool send_reply(int reply_fd, const void* value) {
    ssize_t n;
    do {
        n = write(reply_fd, value, 8);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE) {
        // SIGPIPE is blocked on this thread: discard the pending signal so it is
        // never delivered later.
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        timespec zero = {0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    close(reply_fd);
    return n == 8;
}

// Opens an existing regular file below `dir` for appending. The kernel resolves the
// path beneath the directory, refusing ".." and symbolic links that lead out; where
// it cannot, the resolved path is checked instead. Never creates a file, and never
// waits on something that is not a regular file (a FIFO would stall this thread).
static FILE* open_beneath(const char* dir, const char* path) {
    int fd = -1;
    int dir_fd = open(dir, O_DIRECTORY | O_PATH | O_CLOEXEC);
    if (dir_fd < 0)
        return nullptr;
    open_how how{};
    how.flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    fd = static_cast<int>(syscall(SYS_openat2, dir_fd, path, &how, sizeof(how)));
    if (fd < 0 && errno == ENOSYS) {
        char* real_dir = realpath(dir, nullptr);
        std::string full = std::string(dir) + "/" + path;
        char* real = realpath(full.c_str(), nullptr);
        size_t dir_len = real_dir != nullptr ? strlen(real_dir) : 0;
        if (real_dir != nullptr && real != nullptr && strncmp(real, real_dir, dir_len) == 0 &&
            real[dir_len] == '/')
            fd = open(real, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
        free(real);
        free(real_dir);
    }
    close(dir_fd);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "a");
    if (file == nullptr)
        close(fd);
    return file;
}

static void open_cmd(char* path, int reply_fd, const char* beneath) {
    FILE* reply = nullptr;
    if (beneath != nullptr) {
        reply = open_beneath(beneath, path);
    } else {
        // Open for reading first: appending alone would create a missing file.
        FILE* probe = fopen(path, "r");
        if (probe != nullptr) {
            fclose(probe);
            reply = fopen(path, "a");
        }
    }
    free(path);
    if (!send_reply(reply_fd, &reply) && reply != nullptr)
        fclose(reply); // nobody will ever close it otherwise
}

// Appends within both limits: the file's own (max_put_size) and the log directory's. The
// size is the file's real one: a stream opened for appending tells position 0 until it has
// written. Each chunk is flushed, so that the size seen next time is the whole file.
static void write_cmd(FILE* file, uint8_t* data, size_t len, int reply_fd, uint64_t reserved) {
    uint64_t reply = 0;
    struct stat before {};
    if (len > 0 && fflush(file) == 0 && fstat(fileno(file), &before) == 0 &&
        static_cast<uint64_t>(before.st_size) + len <=
            static_cast<uint64_t>(max_put_size.load(std::memory_order_relaxed)) &&
        log_space_reserve(LOG_SPACE_PUT, len)) {
        if (fwrite(data, len, 1, file) == 1 && fflush(file) == 0) {
            reply = len;
        } else {
            // Whatever did not reach the file gives its room back.
            struct stat after {};
            off_t added = fstat(fileno(file), &after) == 0 ? after.st_size - before.st_size : 0;
            log_space_release(
                len - static_cast<uint64_t>(std::clamp<off_t>(added, 0, static_cast<off_t>(len))));
        }
    }
    free(data);
    release_memory(reserved);
    send_reply(reply_fd, &reply);
}

static void close_cmd(FILE* file) {
    if (fclose(file) != 0)
        VH_LOG(LOG_ERR, "fclose: %s", strerror(errno));
}

static void abandon_cmd(int answer_fd) {
    uint64_t answer = 0;
    ssize_t n;
    do {
        n = read(answer_fd, &answer, sizeof(answer));
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof(answer)) && answer != 0)
        close_cmd(reinterpret_cast<FILE*>(answer));
    close(answer_fd);
}

// Opens (creating or truncating) a file for writing with mode 0644, whatever the
// process's umask: a SysV daemon runs with umask 0, and session logs must not be
// writable by every local user.
static FILE* open_for_dump(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    if (fchmod(fd, 0644) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

// The name of the n-th session log that wants `path` (n from 2): "-N" before ".log".
static std::string numbered_name(const std::string& path, unsigned n) {
    const std::string suffix = "-" + std::to_string(n);
    const size_t dot = path.size() >= 4 && path.compare(path.size() - 4, 4, ".log") == 0
                           ? path.size() - 4
                           : path.size();
    return path.substr(0, dot) + suffix + path.substr(dot);
}

// Gives the written temporary file a name no file has: `path` itself, or when that exists
// (another log of the same session id that ended in the same second), the first free
// numbered name. Never replaces a file. 0, or -1 with errno.
static int publish_log(const std::string& temporary, const std::string& path) {
    for (unsigned n = 1; n <= MAX_LOG_NAME_NUMBER; n++) {
        const std::string name = n == 1 ? path : numbered_name(path, n);
        if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the flag: a hard link fails just as well on a taken name.
            if (link(temporary.c_str(), name.c_str()) == 0) {
                unlink(temporary.c_str());
                return 0;
            }
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// Writes a session log whole under a temporary name and gives it its name only then:
// a full or failing disk leaves no empty or partial log behind. Failures are counted,
// and logged once while they go on. A log that would take the log directory past its
// limit is refused (log_space.h) and counted there.
static void dump_cmd(char* path, char* data, size_t len, uint64_t reserved) {
    if (!log_space_reserve(LOG_SPACE_SESSION_LOG, len)) {
        free(path);
        free(data);
        release_memory(reserved);
        return;
    }
    std::string temporary = std::string(path) + ".part";
    const char* step = "fopen";
    int err = 0;
    FILE* file = open_for_dump(temporary.c_str());
    if (file == nullptr) {
        err = errno;
    } else {
        if ((len > 0 && fwrite(data, len, 1, file) != 1) || fflush(file) != 0) {
            step = "fwrite";
            err = errno;
        }
        if (fclose(file) != 0 && err == 0) {
            step = "fclose";
            err = errno;
        }
        if (err == 0 && publish_log(temporary, path) != 0) {
            step = "rename";
            err = errno;
        }
        if (err != 0)
            unlink(temporary.c_str());
    }
    if (err != 0) {
        log_space_release(len);
        count_session_log_failed();
        if (!logs_failing)
            VH_LOG(LOG_ERR, "%s: %s (session log %s not written; until one is, no more such lines)",
                   step, strerror(err), path);
        else
            logs_failed_quietly++;
        logs_failing = true;
    } else if (logs_failing) {
        VH_LOG(LOG_INFO, "Session logs are written again; %lu more were not", logs_failed_quietly);
        logs_failing = false;
        logs_failed_quietly = 0;
    }
    free(path);
    free(data);
    release_memory(reserved);
}

// Runs the commands that waited for room in the pipe.
static void run_overflow();

static void run_cmd(const fileops_cmd& cmd) {
    switch (cmd.type) {
    case FILEOPS_OPEN:
        open_cmd(cmd.path, cmd.open_reply_fd, cmd.beneath);
        break;
    case FILEOPS_WRITE:
        write_cmd(cmd.file, static_cast<uint8_t*>(cmd.data), cmd.len, cmd.reply_fd, cmd.reserved);
        break;
    case FILEOPS_CLOSE:
        close_cmd(cmd.file);
        break;
    case FILEOPS_DUMP:
        dump_cmd(cmd.path, static_cast<char*>(cmd.data), cmd.len, cmd.reserved);
        break;
    case FILEOPS_ARCHIVE:
        write_archive_record(cmd.path, static_cast<char*>(cmd.data), cmd.len);
        release_memory(cmd.reserved);
        break;
    case FILEOPS_ABANDON:
        abandon_cmd(cmd.reply_fd);
        break;
    case FILEOPS_SYNC: {
        uint64_t done = 1;
        send_reply(cmd.reply_fd, &done);
        break;
    }
    default: // FILEOPS_WAKE, and anything unknown
        break;
    }
}

static void run_overflow() {
    std::vector<fileops_cmd> waiting;
    {
        std::lock_guard<std::mutex> lock(overflow_mutex);
        waiting.swap(overflow);
    }
    for (const fileops_cmd& cmd : waiting)
        run_cmd(cmd);
}

void* fileops(void*) {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);

    for (;;) {
        fileops_cmd cmd;
        ssize_t n = read(fileops_pipe[0], &cmd, sizeof(cmd));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // The pipe is empty: what waited for room comes after all of it.
            run_overflow();
            pollfd pfd = {fileops_pipe[0], POLLIN, 0};
            poll(&pfd, 1, -1); // a cancellation point, for the stop
            continue;
        }
        if (n != static_cast<ssize_t>(sizeof(cmd))) {
            VH_LOG(LOG_ERR, "read: %s", strerror(errno));
            exit(1);
        }
        run_cmd(cmd);
    }
    return nullptr;
}

int init_file_ops() {
    if (pipe2(fileops_pipe, O_NONBLOCK) != 0) {
        VH_LOG(LOG_ERR, "pipe: %s", strerror(errno));
        return -1;
    }
    int rc = pthread_create(&fileops_thread, nullptr, fileops, nullptr);
    if (rc != 0) {
        VH_LOG(LOG_ERR, "pthread_create: %s", strerror(rc));
        close(fileops_pipe[0]);
        close(fileops_pipe[1]);
        fileops_pipe[0] = fileops_pipe[1] = -1;
        return -1;
    }
    return 0;
}

void stop_file_ops() {
    pthread_cancel(fileops_thread);
    pthread_join(fileops_thread, nullptr);
    close(fileops_pipe[0]);
    close(fileops_pipe[1]);
    fileops_pipe[0] = fileops_pipe[1] = -1;
}

int send_fileops_cmd(const fileops_cmd* cmd) {
    static_assert(sizeof(fileops_cmd) <= PIPE_BUF, "a command must enter the pipe whole");
    fileops_cmd posted = *cmd;
    int* reply_fd = nullptr;
    if (cmd->type == FILEOPS_OPEN)
        reply_fd = &posted.open_reply_fd;
    else if (cmd->type == FILEOPS_WRITE || cmd->type == FILEOPS_SYNC)
        reply_fd = &posted.reply_fd;
    if (reply_fd != nullptr) {
        *reply_fd = fcntl(*reply_fd, F_DUPFD_CLOEXEC, 0);
        if (*reply_fd < 0) {
            VH_LOG(LOG_ERR, "fcntl(F_DUPFD_CLOEXEC): %s", strerror(errno));
            return -1;
        }
    }
    ssize_t n;
    do {
        n = write(fileops_pipe[1], &posted, sizeof(posted));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN &&
        (cmd->type == FILEOPS_CLOSE || cmd->type == FILEOPS_ABANDON || cmd->type == FILEOPS_SYNC)) {
        {
            std::lock_guard<std::mutex> lock(overflow_mutex);
            overflow.push_back(posted);
        }
        // The thread may have found the pipe empty just before: wake it. A full pipe
        // needs no wake-up; the thread is busy with it and comes here when it is empty.
        fileops_cmd wake{};
        wake.type = FILEOPS_WAKE;
        (void)!write(fileops_pipe[1], &wake, sizeof(wake));
        return 0;
    }
    if (n < 0) {
        int err = errno;
        if (reply_fd != nullptr)
            close(*reply_fd);
        uint64_t others = 0;
        if (err != EAGAIN)
            VH_LOG(LOG_ERR, "write: %s", strerror(err));
        else if (failure_to_log(&queue_full_failures, &others))
            VH_LOG(LOG_ERR,
                   "File operations queue full (a slow or stalled disk?): a command was refused, "
                   "%lu more before",
                   static_cast<unsigned long>(others));
        errno = err;
        return -1;
    }
    return 0;
}

int wait_file_ops_done(int timeout_ms) {
    int answer[2];
    if (pipe2(answer, O_CLOEXEC | O_NONBLOCK) != 0) {
        VH_LOG(LOG_ERR, "pipe: %s", strerror(errno));
        return -1;
    }
    fileops_cmd cmd{};
    cmd.type = FILEOPS_SYNC;
    cmd.reply_fd = answer[1];
    int rc = send_fileops_cmd(&cmd);
    close(answer[1]);
    if (rc == 0) {
        // The thread works through the pipe in order: its answer comes after the rest.
        pollfd pfd = {answer[0], POLLIN, 0};
        uint64_t done = 0;
        rc = poll(&pfd, 1, timeout_ms) == 1 &&
                     read(answer[0], &done, sizeof(done)) == static_cast<ssize_t>(sizeof(done))
                 ? 0
                 : -1;
    }
    close(answer[0]);
    return rc;
}
