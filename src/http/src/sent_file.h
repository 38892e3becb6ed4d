// The file downloads stream, opened once per worker and shared by its download connections.
#pragma once

#include <atomic>
#include <ctime>
#include <sys/types.h>

// One open descriptor of the file to send. Every download connection holds a reference from
// its request until its release; the worker holds one on the descriptor it hands out now.
// The last reference closes it. A connection may be released on another worker than the one
// whose descriptor it took, so the count is atomic; nothing else in the record changes.
struct sent_file {
    int fd;
    off_t size; // as opened: a download wraps around within it
    dev_t dev;
    ino_t ino;
    timespec mtime;
    timespec ctime;
    std::atomic<int> refs;
};

// A reference to the file at file_path as it is on disk now: this worker's descriptor when
// the file is still the one it opened (same device, inode, size and change times), else a
// new descriptor, which becomes the worker's. Null with errno set when the file cannot be
// found or opened; the worker then lets its old descriptor go, so that a removed file's
// space is freed once the downloads still streaming it end.
sent_file* acquire_sent_file();

// Drops a reference taken with acquire_sent_file; null is allowed. Any thread. When only
// the worker's own reference is left and this is that worker, it goes too: a worker with no
// download running holds no descriptor of the file.
void release_sent_file(sent_file* file);

// Lets go of this worker's descriptor when no download uses it any more (the last one was
// released on another worker). For the worker's periodic pass.
void trim_worker_sent_file();

// Lets go of this worker's own reference, for a caller tearing a worker down.
void release_worker_sent_file();
