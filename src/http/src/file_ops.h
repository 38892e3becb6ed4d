// File operations thread: blocking file I/O done on behalf of the worker threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <sys/types.h>

enum fileops_type : uint32_t {
    FILEOPS_OPEN = 0,
    FILEOPS_WRITE = 1,
    FILEOPS_CLOSE = 2,
    FILEOPS_DUMP = 3,
    FILEOPS_SYNC = 4, // answers on reply_fd once every command posted before it is done
    // Takes over the read end of an open's answer pipe (in reply_fd, not duplicated)
    // whose requester went away before the answer came: commands run in order, so the
    // answer is there by now; the file it names is closed, then the descriptor.
    FILEOPS_ABANDON = 5,
    FILEOPS_WAKE = 6, // does nothing: wakes the thread for commands that waited for room
    FILEOPS_ARCHIVE = 7, // writes an archive record (archive.h) whole, then renames it
};

// Size in bytes up to which PUT uploads may extend a file (a session log): a client
// may add its own data to its log but not fill the disk. Set at start-up.
extern std::atomic<off_t> max_put_size;
constexpr off_t MAX_PUT_SIZE_DEFAULT = 64 * 1024 * 1024;

// Session logs that would take a name already taken are given "NAME-2.log", "NAME-3.log"
// and so on, up to this number; past it the log is not written (and counted as failed).
constexpr unsigned MAX_LOG_NAME_NUMBER = 1000;

// One command as it travels through the command pipe (native layout: the pipe
// never leaves the process). Heap buffers must come from malloc.
struct fileops_cmd {
    uint32_t type;
    union {
        char* path; // OPEN, DUMP, ARCHIVE
        FILE* file; // WRITE, CLOSE
    };
    union {
        int open_reply_fd; // OPEN
        void* data;        // WRITE, DUMP, ARCHIVE
    };
    size_t len;   // WRITE, DUMP, ARCHIVE
    int reply_fd; // WRITE, SYNC; ABANDON: the answer pipe's read end
    union {
        // OPEN: when set, `path` is relative to this directory and may not resolve to
        // anything outside it (no "..", no symbolic link leading out). Not owned.
        const char* beneath;
        // WRITE, DUMP, ARCHIVE: bytes of the memory budget that `data` holds, released by the thread
        // once it has freed it. A command that could not be posted leaves them to its caller.
        uint64_t reserved;
    };
};

extern int fileops_pipe[2];
extern pthread_t fileops_thread;

// Creates the command pipe and starts the thread. 0 or -1 (logged).
int init_file_ops();

// Stops the thread (cancel, join) and closes both ends of the command pipe.
void stop_file_ops();

// Posts one command; any thread may call it, and it never blocks. 0 on success: the
// thread then owns the command's heap buffers. -1 (logged) when posting failed: the
// caller keeps them. When the queue is full (the thread is behind, a slow or stalled
// disk) open, write, dump and archive commands fail with errno EAGAIN, logged at most once a
// minute; close, abandon and sync commands are kept aside and still run, after
// everything posted before them.
//
// Open and write commands answer with 8 bytes on their reply descriptor. The
// descriptor is duplicated here and the thread answers on (and closes) its own
// duplicate, so a requester that closes or reuses its descriptor number while
// the command waits can never receive a reply meant for somebody else: the
// reply then fails and is dropped (an opened file is closed again). Reply
// descriptors should be non-blocking; a reply that would block is dropped too.
int send_fileops_cmd(const fileops_cmd* cmd);

// Waits until every command posted so far has been carried out, at most timeout_ms.
// 0 when they were, -1 on time-out or failure (logged). Any thread but the file
// operations thread.
int wait_file_ops_done(int timeout_ms);

// Thread start routine; argument ignored. Never returns.
void* fileops(void*);
