// Slow clients: every header has a deadline counted from the accept (or from the end of the
// previous reply on a connection that sends several, or from the first byte of a statistics
// request), a PUT body a minimum rate, a connection told to go a few seconds to close; the
// connection's pending count (client_limits.h) is given back when its header is whole.
#include "header_guard.h"
#include "client_limits.h"
#include "timeout_list.h"

#include "connection.h"
#include "settings.h"
#include "timers.h"

// This thread's connections with a deadline, one list per kind, oldest first: every
// deadline of a kind is the same span after its start, so each list is in deadline order and
// a check looks at its head only.
static thread_local timeout_link deadline_lists[DEADLINE_KINDS] = {
    {&deadline_lists[0], &deadline_lists[0]},
    {&deadline_lists[1], &deadline_lists[1]},
    {&deadline_lists[2], &deadline_lists[2]}};
static_assert(DEADLINE_KINDS == 3);

static connection* header_link_owner(timeout_link* link) {
    return reinterpret_cast<connection*>(reinterpret_cast<char*>(link) -
                                         offsetof(connection, header_link));
}

static int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
           thread_clock_offset_ns() / 1000000;
}

static int64_t span_ms(deadline_kind kind) {
    return static_cast<int64_t>(kind == DEADLINE_LINGER ? LINGER_SECONDS : header_timeout) * 1000;
}

static void start_deadline(connection* conn, deadline_kind kind) {
    conn->header_since_ms = monotonic_ms();
    timeout_link* list = &deadline_lists[kind];
    timeout_link* link = &conn->header_link;
    link->prev = list->prev;
    link->next = list;
    list->prev->next = link;
    list->prev = link;
}

void start_header_deadline(connection* conn, bool counted) {
    end_header_deadline(conn);
    conn->pending_counted = counted;
    start_deadline(conn, DEADLINE_HEADER);
}

void start_linger_deadline(connection* conn) {
    end_header_deadline(conn);
    start_deadline(conn, DEADLINE_LINGER);
}

void start_put_window(connection* conn, uint64_t base) {
    end_header_deadline(conn);
    conn->window_base = base;
    start_deadline(conn, DEADLINE_PUT);
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

connection* next_header_overdue(int64_t now_ms, deadline_kind* kind) {
    for (int k = 0; k < DEADLINE_KINDS; k++) {
        timeout_link* list = &deadline_lists[k];
        if (list->next == list)
            continue;
        connection* conn = header_link_owner(list->next);
        if (now_ms - conn->header_since_ms < span_ms(static_cast<deadline_kind>(k)))
            continue;
        end_header_deadline(conn);
        *kind = static_cast<deadline_kind>(k);
        return conn;
    }
    return nullptr;
}

bool header_deadlines_waiting() {
    for (const timeout_link& list : deadline_lists)
        if (list.next != &list)
            return true;
    return false;
}

int64_t header_clock_ms() {
    return monotonic_ms();
}
