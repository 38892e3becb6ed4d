// Connection records: allocation, the end of a connection and the release of its record.
#include "connection.h"

#include "file_ops.h"
#include "settings.h"

#include <cassert>
#include <unistd.h>

// Set when this thread released a record: its descriptors are free again.
static thread_local bool connections_released = false;

connection* new_connection(int sock, int file_fd) {
    auto* conn = static_cast<connection*>(g_slice_alloc0(sizeof(connection)));
    if (conn == nullptr)
        return nullptr;
    conn->kind = EPOLL_CONNECTION;
    conn->sock = sock;
    conn->file_fd = file_fd;
    conn->state = CONNECTED;
    for (uint8_t i = 0; i < 8; i++)
        conn->stats[i] = static_cast<uint8_t>(i + 1);
    conn->timeout_link.next = &conn->timeout_link;
    conn->timeout_link.prev = &conn->timeout_link;
    return conn;
}

void destroy_connection(connection* conn) {
    assert(conn != NULL);
    VH_DEBUG(2, LOG_DEBUG, "%ld: connection %d destroyed after transmitting %lu bytes",
             thread_tag(), conn->sock, conn->data_bytes);
    if (conn->session == nullptr) {
        internal_destroy_connection(conn);
        return;
    }
    // Connections of a session are detached here and released with the session.
}

void internal_destroy_connection(connection* conn) {
    assert(conn->sock != 0);
    close(conn->sock);
    close(conn->file_fd);
    if (conn->kind != EPOLL_PUT_CONNECTION) {
        if (conn->warmup_samples != nullptr)
            g_slice_free1(conn->warmup_capacity * sizeof(warmup_sample), conn->warmup_samples);
        if (conn->measur_bytes != nullptr)
            g_slice_free1(conn->measur_capacity * sizeof(uint64_t), conn->measur_bytes);
    } else {
        if (conn->put_pipe[0] != 0)
            close(conn->put_pipe[0]);
        if (conn->put_pipe[1] != 0)
            close(conn->put_pipe[1]);
        if (conn->put_file != nullptr) {
            fileops_cmd cmd{};
            cmd.type = FILEOPS_CLOSE;
            cmd.file = conn->put_file;
            if (send_fileops_cmd(&cmd) != 0)
                VH_LOG(LOG_WARNING, "Couldn't close traces file");
        }
    }
    // A header that was still being collected, or a reply never finished.
    if (conn->reply != nullptr)
        g_string_free(conn->reply, TRUE);
    timeout_list_unlink(conn);
    g_slice_free1(sizeof(connection), conn);
    connections_released = true;
}

bool take_connections_released() {
    bool released = connections_released;
    connections_released = false;
    return released;
}
