// The file downloads stream, opened once per worker and shared by its download connections.
#pragma once

#include <ctime>
#include <sys/types.h>

// One open descriptor of the file to send. Every download connection holds a reference from
// its join until its release, both on the worker that owns its session; the worker holds one
// on the descriptor it hands out now. The last reference closes it. Worker-local: nothing
// in the record changes but the count, and only the worker that opened it touches that.
struct sent_file {
    int fd;
    off_t size; // as opened: a download wraps around within it
    dev_t dev;
    ino_t ino;
    timespec mtime;
    timespec ctime;
    int refs;
};

// A reference to the file at file_path as it is on disk now: this worker's descriptor when
// the file is still the one it opened (same device, inode, size and change times), else a
// new descriptor, which becomes the worker's. Null with errno set when the file cannot be
// found or opened; the worker then lets its old descriptor go, so that a removed file's
// space is freed once the downloads still streaming it end.
sent_file* acquire_sent_file();

// Drops a reference taken with acquire_sent_file; null is allowed. When only the worker's
// own reference is left, it goes too: a worker with no download running holds no
// descriptor of the file.
void release_sent_file(sent_file* file);

// Lets go of this worker's own reference, for a caller tearing a worker down.
void release_worker_sent_file();
