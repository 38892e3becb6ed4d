// File operations thread: executes open, append, close and whole-file writes posted
// by the worker threads through a pipe, so that no event loop waits for a disk.
#include "file_ops.h"

#include "settings.h"

#include <cerrno>
#include <csignal>
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
#include <unistd.h>

int fileops_pipe[2] = {-1, -1};
pthread_t fileops_thread;

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

static void write_cmd(FILE* file, uint8_t* data, size_t len, int reply_fd) {
    uint64_t reply = len;
    if (fwrite(data, len, 1, file) != 1)
        reply = 0;
    free(data);
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

static void dump_cmd(char* path, char* data, size_t len) {
    FILE* file = open_for_dump(path);
    free(path);
    if (file == nullptr) {
        VH_LOG(LOG_ERR, "fopen: %s", strerror(errno));
    } else {
        if (fwrite(data, len, 1, file) != 1)
            VH_LOG(LOG_ERR, "fwrite: %s", strerror(errno));
        if (fclose(file) != 0)
            VH_LOG(LOG_ERR, "fclose: %s", strerror(errno));
    }
    free(data);
}

void* fileops(void*) {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);

    for (;;) {
        fileops_cmd cmd;
        ssize_t n = read(fileops_pipe[0], &cmd, sizeof(cmd));
        if (n != static_cast<ssize_t>(sizeof(cmd))) {
            VH_LOG(LOG_ERR, "read: %s", strerror(errno));
            exit(1);
        }
        switch (cmd.type) {
        case FILEOPS_OPEN:
            open_cmd(cmd.path, cmd.open_reply_fd, cmd.beneath);
            break;
        case FILEOPS_WRITE:
            write_cmd(cmd.file, static_cast<uint8_t*>(cmd.data), cmd.len, cmd.reply_fd);
            break;
        case FILEOPS_CLOSE:
            close_cmd(cmd.file);
            break;
        case FILEOPS_DUMP:
            dump_cmd(cmd.path, static_cast<char*>(cmd.data), cmd.len);
            break;
        case FILEOPS_ABANDON:
            abandon_cmd(cmd.reply_fd);
            break;
        case FILEOPS_SYNC: {
            uint64_t done = 1;
            send_reply(cmd.reply_fd, &done);
            break;
        }
        default:
            break;
        }
    }
    return nullptr;
}

int init_file_ops() {
    if (pipe(fileops_pipe) != 0) {
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
    if (n < 0) {
        int err = errno;
        if (reply_fd != nullptr)
            close(*reply_fd);
        VH_LOG(LOG_ERR, "write: %s", strerror(err));
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
