// The time-out list: a worker's connections in order of their last event, least recent first.
#include "timeout_list.h"

#include "connection.h"
#include "timers.h"

#include <cstddef>

static thread_local timeout_link timeout_list = {&timeout_list, &timeout_list};

timeout_link* thread_timeout_list() {
    return &timeout_list;
}

void timeout_list_init(timeout_link* sentinel) {
    sentinel->next = sentinel;
    sentinel->prev = sentinel;
}

connection* timeout_link_owner(timeout_link* link) {
    return reinterpret_cast<connection*>(reinterpret_cast<char*>(link) -
                                         offsetof(connection, timeout_link));
}

void timeout_list_unlink(connection* conn) {
    timeout_link* link = &conn->timeout_link;
    link->prev->next = link->next;
    link->next->prev = link->prev;
}

void timeout_list_append(timeout_link* sentinel, connection* conn) {
    timeout_link* link = &conn->timeout_link;
    conn->active_shift_ms = thread_clock_offset_ns() / 1000000;
    link->next = sentinel;
    link->prev = sentinel->prev;
    sentinel->prev->next = link;
    sentinel->prev = link;
}

void timeout_list_move_to_tail(timeout_link* sentinel, connection* conn) {
    timeout_list_unlink(conn);
    timeout_list_append(sentinel, conn);
}

void timeout_list_remove(connection* conn) {
    timeout_list_unlink(conn);
    conn->timeout_link.next = &conn->timeout_link;
    conn->timeout_link.prev = &conn->timeout_link;
}
