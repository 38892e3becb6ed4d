// The file downloads stream, opened once per worker and shared by its download connections.
#include "sent_file.h"

#include "settings.h"

#include <cerrno>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

// The descriptor this worker hands to new downloads while the file stays the same.
static thread_local sent_file* current = nullptr;

static bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when `st` describes the file `file` was opened from, unchanged since.
static bool unchanged(const sent_file* file, const struct stat& st) {
    return file->dev == st.st_dev && file->ino == st.st_ino && file->size == st.st_size &&
           same_time(file->mtime, st.st_mtim) && same_time(file->ctime, st.st_ctim);
}

sent_file* acquire_sent_file() {
    // One stat per download request: a replaced, rewritten or removed file is seen by the
    // next request, while downloads already streaming keep the descriptor they started with.
    struct stat st {};
    if (stat(file_path, &st) != 0) {
        int err = errno;
        release_worker_sent_file();
        errno = err;
        return nullptr;
    }
    if (current != nullptr && unchanged(current, st)) {
        current->refs++;
        return current;
    }
    int fd = open(file_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        release_worker_sent_file();
        errno = err;
        return nullptr;
    }
    // The identity comes from the descriptor: the file may have been replaced again
    // between the stat and the open.
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    auto* file = static_cast<sent_file*>(g_try_malloc0(sizeof(sent_file)));
    if (file == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    file->fd = fd;
    file->size = st.st_size;
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file->mtime = st.st_mtim;
    file->ctime = st.st_ctim;
    file->refs = 2; // the worker's and the caller's
    release_worker_sent_file();
    current = file;
    return file;
}

void release_sent_file(sent_file* file) {
    if (file == nullptr)
        return;
    int before = file->refs--;
    if (before == 1) {
        close(file->fd);
        g_free(file);
    } else if (before == 2 && file == current) {
        release_worker_sent_file();
    }
}

void release_worker_sent_file() {
    sent_file* file = current;
    current = nullptr;
    release_sent_file(file);
}
