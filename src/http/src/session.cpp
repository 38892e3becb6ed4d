// Sessions: the process-wide container, session records and their destruction.
#include "session.h"

#include "connection.h"
#include "settings.h"

#include <cstddef>

GHashTable* session_container = nullptr;
pthread_mutex_t session_container_mutex = PTHREAD_MUTEX_INITIALIZER;

// Sessions queued for destruction at the end of this thread's loop iteration.
static thread_local GSList* sessions_to_destroy = nullptr;

// Keys are pointers to 64-bit ids (a session's first field, or any id variable).
static guint session_id_hash(gconstpointer key) {
    return static_cast<guint>(*static_cast<const uint64_t*>(key));
}

static gboolean session_id_equal(gconstpointer a, gconstpointer b) {
    return *static_cast<const uint64_t*>(a) == *static_cast<const uint64_t*>(b);
}

int create_session_container() {
    if (session_container != nullptr)
        return -1;
    session_container = g_hash_table_new(session_id_hash, session_id_equal);
    return session_container != nullptr ? 0 : -1;
}

session* session_from_timer(varnholt::epoll_data* timer) {
    size_t offset = 0;
    switch (timer->kind) {
    case EPOLL_SESSION_DATA_TIMER:
        offset = offsetof(session, data_timer);
        break;
    case EPOLL_SESSION_EXPIRY_TIMER:
        offset = offsetof(session, expiry_timer);
        break;
    case EPOLL_SESSION_TRACE_TIMER:
        offset = offsetof(session, trace_timer);
        break;
    case EPOLL_SESSION_LATENCY_TIMER:
        offset = offsetof(session, latency_timer);
        break;
    default:
        return nullptr;
    }
    return reinterpret_cast<session*>(reinterpret_cast<char*>(timer) - offset);
}

bool trigger_sessions_destroy() {
    if (sessions_to_destroy == nullptr)
        return false;
    g_slist_free(sessions_to_destroy);
    sessions_to_destroy = nullptr;
    return true;
}

void finish_session(session* sess) {
    sess->finishing = true;
}

void handle_session_periodic(session* sess, timespec now) {
    (void)now;
    if (sess->test.finish_requested)
        finish_session(sess);
}
