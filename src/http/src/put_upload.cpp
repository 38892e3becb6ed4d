// PUT uploads: a client appends to a session log inside the log directory.
#include "handlers.h"
#include "budget.h"
#include "connection.h"
#include "file_ops.h"
#include "header_guard.h"
#include "metrics.h"
#include "request.h"
#include "session.h"
#include "settings.h"
#include "timeout_list.h"
#include "tls.h"
#include "workers.h"

#include <cassert>
#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

static constexpr size_t PUT_CHUNK_SIZE = 1048576;
static const char PUT_REPLY[] = "HTTP/1.1 100 Continue\r\n\r\n";

// A target must name a file inside the log directory: no empty path, no absolute
// path, no ".." segment. Symbolic links leading out are refused when the file
// operations thread opens the file.
static bool put_path_is_confined(const GString* path) {
    if (path == nullptr || path->len == 0 || path->str[0] == '/')
        return false;
    std::string_view rest(path->str, path->len);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        if (segment == "..")
            return false;
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return true;
}

static int modify_events(int epfd, int fd, connection* conn, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = conn;
    return epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
}

int handle_put_request(int epfd, connection* conn, request_info* request, size_t header_in_socket) {
    GString* put_path = request->put_path;
    request->put_path = nullptr;
    if (log_directory == nullptr || !put_path_is_confined(put_path)) {
        if (log_directory != nullptr)
            VH_LOG_LIMITED("PUT to a missing file", LOG_WARNING,
                           "Request for traces of non existent session");
        if (put_path != nullptr)
            g_string_free(put_path, TRUE);
        return -1;
    }
    // The header's own bytes only: what follows them is already the upload.
    if (connection_discard(conn, header_in_socket) != static_cast<ssize_t>(header_in_socket)) {
        VH_LOG(LOG_ERR, "%ld: This should never, ever, happen!!! %d", thread_tag(), conn->sock);
        g_string_free(put_path, TRUE);
        return -1;
    }
    // From here on the record is a PUT connection: its release closes what it opened.
    conn->kind = EPOLL_PUT_CONNECTION;
    count_put_upload(1);
    // From its header on, the body must keep a minimum rate: a trickle would hold a socket,
    // a pipe and an open file for as long as it likes.
    start_put_window(conn, 0);
    // Non-blocking: a release reads a possibly pending answer without waiting.
    if (pipe2(conn->put_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        VH_LOG(LOG_ERR, "%ld: pipe: %s %d", thread_tag(), strerror(errno), conn->sock);
        conn->put_pipe[0] = conn->put_pipe[1] = 0;
        g_string_free(put_path, TRUE);
        return -1;
    }
    fileops_cmd cmd{};
    cmd.type = FILEOPS_OPEN;
    cmd.path = strdup(put_path->str);
    cmd.open_reply_fd = conn->put_pipe[1];
    cmd.beneath = log_directory;
    g_string_free(put_path, TRUE);
    if (cmd.path == nullptr || send_fileops_cmd(&cmd) != 0) {
        free(cmd.path);
        VH_LOG(LOG_ERR, "%ld: Could not write to pipe: %d", thread_tag(), conn->sock);
        return -1;
    }
    conn->state = PUT_CHECKING_FILE;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = conn;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, conn->put_pipe[0], &ev) != 0 ||
        modify_events(epfd, conn->sock, conn, 0) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s %d", thread_tag(), strerror(errno), conn->sock);
        return -1;
    }
    return 0;
}

// Reads one 8-byte answer of the file operations thread from the PUT pipe.
static bool read_put_answer(connection* conn, uint64_t* answer) {
    return read(conn->put_pipe[0], answer, sizeof(*answer)) ==
           static_cast<ssize_t>(sizeof(*answer));
}

static int handle_put_checking_file(int epfd, connection* conn) {
    uint64_t answer = 0;
    if (!read_put_answer(conn, &answer)) {
        VH_LOG(LOG_ERR, "%ld: Could not read the answer to opening a PUT target: %s", thread_tag(),
               strerror(errno));
        return -1;
    }
    if (answer == 0) {
        VH_LOG_LIMITED("PUT to a missing file", LOG_WARNING,
                       "Request for traces of non existent session");
        return -1;
    }
    conn->put_file = reinterpret_cast<FILE*>(answer);
    if (modify_events(epfd, conn->sock, conn, EPOLLOUT) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    conn->state = SENDING_REPLY;
    set_reply(conn, PUT_REPLY);
    return 0;
}

static int handle_real_recv(int epfd, connection* conn);

static int handle_sending_put_reply(int epfd, connection* conn) {
    int sent = send_reply_chunk(conn);
    if (sent == -1) {
        VH_LOG_LIMITED("PUT reply not sent", LOG_ERR, "%ld: error sending PUT reply %d: %s",
                       thread_tag(), conn->sock, strerror(errno));
        release_reply(conn);
        return -1;
    }
    if (sent == 1)
        return 0;
    release_reply(conn);
    conn->state = PUT_RECEIVING_DATA;
    if (modify_events(epfd, conn->sock, conn, EPOLLIN) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    timeout_list_move_to_tail(thread_timeout_list(), conn);
    // A body sent with the header may lie decrypted in TLS already: no event would come.
    return connection_has_pending(conn) ? handle_real_recv(epfd, conn) : 0;
}

static int handle_real_recv(int epfd, connection* conn) {
    // The chunk holds its share of the memory budget until the file operations thread has
    // written and freed it. Waiting for room would hold the client with nothing to tell it.
    if (!reserve_memory(PUT_CHUNK_SIZE)) {
        VH_LOG(LOG_INFO, "%ld: PUT upload %d ended: the memory budget of %lu bytes is reached",
               thread_tag(), conn->sock, static_cast<unsigned long>(memory_budget()));
        count_put_append_failed();
        return -1;
    }
    auto* chunk = static_cast<uint8_t*>(malloc(PUT_CHUNK_SIZE));
    if (chunk == nullptr) {
        release_memory(PUT_CHUNK_SIZE);
        return 0; // try again at the next event
    }
    ssize_t n = connection_recv(conn, chunk, PUT_CHUNK_SIZE, false);
    if (n <= 0) {
        free(chunk);
        release_memory(PUT_CHUNK_SIZE);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return 0;
        return -1; // the client closed: the upload is complete
    }
    conn->total_bytes += static_cast<uint64_t>(n); // what the minimum rate counts
    fileops_cmd cmd{};
    cmd.type = FILEOPS_WRITE;
    cmd.file = conn->put_file;
    cmd.data = chunk;
    cmd.len = static_cast<size_t>(n);
    cmd.reply_fd = conn->put_pipe[1];
    cmd.reserved = PUT_CHUNK_SIZE;
    if (send_fileops_cmd(&cmd) != 0) {
        // Going on would leave a hole in the file: the upload ends here.
        VH_LOG_LIMITED("PUT chunk not posted", LOG_ERR, "%ld: Could not write received data",
                       thread_tag());
        free(chunk);
        release_memory(PUT_CHUNK_SIZE);
        count_put_append_failed();
        return -1;
    }
    // One chunk in flight: the socket stays quiet until the write is answered, and
    // TCP flow control slows a client faster than the disk.
    if (modify_events(epfd, conn->put_pipe[0], conn, EPOLLIN) != 0 ||
        modify_events(epfd, conn->sock, conn, 0) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    timeout_list_move_to_tail(thread_timeout_list(), conn);
    conn->state = WRITING_FILE;
    return 0;
}

static int handle_writing_file(int epfd, connection* conn) {
    uint64_t answer = 0;
    if (!read_put_answer(conn, &answer)) {
        // No answer yet: the event is the socket's, which shares this record. Asked for no
        // events while a chunk is written, a socket reports only an error or a hang-up
        // (this side never shuts down its sending half): the client reset the connection,
        // whatever it left unread. Level-triggered, the event would come back at once for as
        // long as the write takes. The chunk is still written: the close of the file is
        // queued behind it.
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        VH_LOG(LOG_ERR, "%ld: BUG! Trying to read from not ready pipe -> read: %s", thread_tag(),
               strerror(errno));
        return 0;
    }
    if (answer == 0) {
        VH_LOG_LIMITED("PUT append refused", LOG_ERR, "Error writing file");
        count_put_append_failed();
        return -1;
    }
    conn->state = PUT_RECEIVING_DATA;
    if (modify_events(epfd, conn->sock, conn, EPOLLIN) != 0 ||
        modify_events(epfd, conn->put_pipe[0], conn, 0) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    // Bytes TLS decrypted already are no event of the socket's.
    if (connection_has_pending(conn))
        return handle_real_recv(epfd, conn);
    return 0;
}

void handle_put_connection(int epfd, connection* conn) {
    int result;
    switch (conn->state) {
    case PUT_CHECKING_FILE:
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_put_connection(PUT_CHECKING_FILE) %d", thread_tag(),
                 conn->sock);
        result = handle_put_checking_file(epfd, conn);
        break;
    case SENDING_REPLY:
        VH_DEBUG(9, LOG_DEBUG, "%ld: handle_put_connection(SENDING_REPLY) %d", thread_tag(),
                 conn->sock);
        result = handle_sending_put_reply(epfd, conn);
        break;
    case PUT_RECEIVING_DATA:
        VH_DEBUG(11, LOG_DEBUG, "%ld: handle_put_connection(RECEIVING_DATA) %d", thread_tag(),
                 conn->sock);
        result = handle_real_recv(epfd, conn);
        break;
    case WRITING_FILE:
        VH_DEBUG(11, LOG_DEBUG, "%ld: handle_put_connection(WRITING_FILE) %d", thread_tag(),
                 conn->sock);
        result = handle_writing_file(epfd, conn);
        break;
    default:
        VH_LOG(LOG_ERR, "Bug! Put connection in unknown state");
        assert(!"Bug! Put connection in unknown state" && conn->state == PUT_CHECKING_FILE);
        abort();
    }
    if (result < 0)
        destroy_connection(conn);
}
