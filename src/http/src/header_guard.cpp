// Slow clients before their session: every header has a deadline counted from the accept
// (or from the end of the previous reply on a connection that sends several), and the
// connection's pending count (client_limits.h) is given back when its header is whole.
#include "header_guard.h"
#include "client_limits.h"
#include "timeout_list.h"

#include "connection.h"
#include "settings.h"

// This thread's connections waiting for their header, oldest first: every deadline is
// the same span after its start, so the list is in deadline order and a check looks at its
// head only.
static thread_local timeout_link header_list = {&header_list, &header_list};

static connection* header_link_owner(timeout_link* link) {
    return reinterpret_cast<connection*>(reinterpret_cast<char*>(link) -
                                         offsetof(connection, header_link));
}

static int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void start_header_deadline(connection* conn, bool counted) {
    end_header_deadline(conn);
    conn->header_since_ms = monotonic_ms();
    conn->pending_counted = counted;
    timeout_link* link = &conn->header_link;
    link->prev = header_list.prev;
    link->next = &header_list;
    header_list.prev->next = link;
    header_list.prev = link;
}

void end_header_deadline(connection* conn) {
    timeout_link* link = &conn->header_link;
    if (link->next != nullptr && link->next != link) {
        link->prev->next = link->next;
        link->next->prev = link->prev;
    }
    link->next = link->prev = link;
    if (conn->pending_counted) {
        conn->pending_counted = false;
        release_pending_connection(&conn->client);
    }
}

connection* next_header_overdue(int64_t now_ms) {
    if (header_list.next == &header_list)
        return nullptr;
    connection* conn = header_link_owner(header_list.next);
    if (now_ms - conn->header_since_ms < static_cast<int64_t>(header_timeout) * 1000)
        return nullptr;
    end_header_deadline(conn);
    return conn;
}

bool header_deadlines_waiting() {
    return header_list.next != &header_list;
}

int64_t header_clock_ms() {
    return monotonic_ms();
}
