// A session's connections carried by other workers for their data phase: lending, the
// carrier's side, the return to the owner and the owner's recall.
//
// One session, every core. A session belongs to one worker, its owner: its record, its
// timers and every connection record of it live and die there. A session of several
// connections would then be carried by one core however many the machine has, so the owner
// lends each connection, once its first reply has gone, to the worker its index places it on
// (index 0 stays; on two workers, every other connection moves). The lent connection's
// socket leaves the owner's epoll set and joins the carrier's, which streams or discards its
// data from then on. The rules that keep this sound:
//
// - Data path. The carrier sends or receives and counts into the connection's own 64-bit
//   counters with plain atomic stores (it is their only writer): no lock, no message per
//   event. It never touches the session.
// - Samples. The owner reads the counters of every connection, lent or not, with atomic loads
//   at its timer's instant (warm-up samples, measurement intervals, latency samples, traces,
//   logs), so each sample is what the connection had moved at that moment. It reads
//   TCP_INFO of a lent socket too: the descriptor stays open, see below.
// - Limits. The session's sums are the owner's counts of its own connections plus, for each
//   lent one, what it moved since it was lent. The owner gives every lent connection a point
//   (`return_at`, a share of the bytes left before the nearest limit) at which its carrier
//   gives it back, so that a limit is caught as promptly as by the owner's own events. Every
//   share is taken from the same count of what is left, so the shares never add up to more
//   than it; the owner moves all points with atomic stores whenever a connection is lent,
//   joins or stops counting, a path-style request replaces the limits, or a check changes
//   them. Connections that came back while their session was due stay for its check and go
//   out again after it.
// - Everything else goes by message (workers.h mailboxes): LEND (owner to carrier), RETURN
//   (carrier to owner, with the result of the connection's last event: end, disable, client
//   finished, or its point reached) and RECALL (owner to carrier, when the session finishes).
//   The owner applies a returned connection's result as if the event had happened on its
//   own worker, and may lend it again.
// - Lifetime. A carrier never releases, disables or finishes a lent connection: it gives it
//   back. Only the owner frees a connection record or closes its socket, and only once the
//   connection is back; a session finishes (and so can be destroyed) only when every lent
//   connection has come back from its recall. So the owner can read a lent connection's
//   socket and counters at any time, and no thread reads a record another has released.
// - Races. A recall may cross a return already on its way: the carrier keeps the set of
//   connections it carries and ignores a recall of one it does not hold, without reading the
//   record (its owner may already have released it). Mailboxes are first in, first out, so
//   a stale recall is always taken before any later lending of the same address.
// - Gauges. A lent connection is one of its carrier's open connections (the worker that
//   watches it), not its owner's; each side moves only its own count, as it lends, takes,
//   gives back or takes back.
// - One-connection sessions are never lent: they cost what they cost before.
#include "lending.h"
#include "connection.h"
#include "handlers.h"
#include "metrics.h"
#include "session.h"
#include "settings.h"
#include "timeout_list.h"
#include "workers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>

bool lend_within_worker = false;

// The connections this worker carries for other owners (or for itself, lend_within_worker).
static thread_local GHashTable* carried = nullptr;

static GHashTable* carried_set() {
    if (carried == nullptr)
        carried = g_hash_table_new(g_direct_hash, g_direct_equal);
    return carried;
}

// The events a connection in `state` is watched for (all level-triggered).
static uint32_t events_for_state(uint32_t state) {
    switch (state) {
    case SENDING_DATA:
        return EPOLLOUT | EPOLLRDHUP;
    case SENDING_STATS:
        return EPOLLOUT;
    default: // POST_ANSWERED, RECEIVING_DATA
        return EPOLLIN;
    }
}

static int watch(int epfd, connection* conn) {
    epoll_event ev{};
    ev.events = events_for_state(conn->state);
    ev.data.ptr = conn;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, conn->sock, &ev);
}

static bool is_data_state(uint32_t state) {
    return state == SENDING_DATA || state == POST_ANSWERED || state == RECEIVING_DATA;
}

static bool may_lend(const session* sess) {
    return !sess->finishing && !sess->finish_after_recall && sess->test.state < FINISHED &&
           (sess->request.num_conns > 1 || lend_within_worker);
}

static void lend(int epfd, connection* conn, int carrier) {
    session* sess = conn->session;
    if (epoll_ctl(epfd, EPOLL_CTL_DEL, conn->sock, nullptr) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return;
    }
    bump(thread_metrics()->connections_open, -1); // watched by its carrier from now on
    timeout_list_remove(conn);
    forget_pending_events(conn);
    conn->lent = true;
    conn->carrier_epfd = carrier;
    conn->lent_base_total = conn->total_bytes;
    conn->lent_base_data = conn->data_bytes;
    sess->lent_conns++;
    // Every lent connection's share is taken from the same count of what is left, so that
    // the shares never add up to more than that.
    rebudget_lent_connections(sess);
    if (post_mail(carrier, {MAIL_LEND, 0, conn}) != 0) {
        // No mailbox there: it stays here after all.
        conn->lent = false;
        sess->lent_conns--;
        rebudget_lent_connections(sess);
        bump(thread_metrics()->connections_open, 1);
        if (watch(epfd, conn) != 0)
            VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        timeout_list_append(thread_timeout_list(), conn);
    }
}

// The worker that would carry conn, -1 when it stays on the owner's.
static int carrier_for(int epfd, const connection* conn) {
    const session* sess = conn->session;
    if (sess == nullptr || !may_lend(sess) || conn->latency_control ||
        !is_data_state(conn->state) || conn->upload_ended)
        return -1;
    if (lend_within_worker)
        return epfd;
    int carrier = worker_after(epfd, conn->conn_id);
    return carrier == epfd ? -1 : carrier;
}

bool would_lend(int epfd, const connection* conn) {
    return carrier_for(epfd, conn) >= 0;
}

bool lend_if_spread(int epfd, connection* conn) {
    int carrier = carrier_for(epfd, conn);
    if (carrier < 0)
        return false;
    lend(epfd, conn, carrier);
    return conn->lent;
}

void give_back(connection* conn, int result) {
    // Out of this carrier's epoll set, its time-out list and the batch it is dispatching.
    if (epoll_ctl(conn->carrier_epfd, EPOLL_CTL_DEL, conn->sock, nullptr) != 0)
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
    timeout_list_remove(conn);
    forget_pending_events(conn);
    g_hash_table_remove(carried_set(), conn);
    bump(thread_metrics()->connections_open, -1);
    if (post_mail(conn->session->epoll_fd, {MAIL_RETURN, result, conn}) != 0)
        VH_LOG(LOG_ERR, "%ld: a lent connection %d could not go back to its owner", thread_tag(),
               conn->sock);
}

bool carrier_after_event(connection* conn, int result) {
    if (result == 0 && conn->data_bytes < __atomic_load_n(&conn->return_at, __ATOMIC_RELAXED))
        return false;
    give_back(conn, result);
    return true;
}

// Carrier: a connection lent to this worker.
static void take_lent(int epfd, connection* conn) {
    g_hash_table_add(carried_set(), conn);
    bump(thread_metrics()->connections_open, 1);
    if (watch(epfd, conn) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        give_back(conn, -2);
        return;
    }
    timeout_list_append(thread_timeout_list(), conn);
}

// Owner: a lent connection is back, with the result of its last event on its carrier.
static void take_back(int epfd, connection* conn, int result, GHashTable* pending_sessions) {
    session* sess = conn->session;
    bump(thread_metrics()->connections_open, 1);
    conn->lent = false;
    conn->carrier_epfd = 0;
    sess->lent_conns--;
    sess->test.total_bytes += conn->total_bytes - conn->lent_base_total;
    sess->test.data_bytes += conn->data_bytes - conn->lent_base_data;
    if (watch(epfd, conn) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        if (result == 0)
            result = -2;
    }
    timeout_list_append(thread_timeout_list(), conn);
    apply_connection_result(conn, result, pending_sessions);
    // Back only because its point was reached, and the session still far from its limits:
    // it goes out again with a new point. When the session is due, it stays until the check
    // is done (lend_kept_connections).
    if (result == 0 && sess->test.state != DEAD && !g_hash_table_contains(pending_sessions, sess))
        lend_if_spread(epfd, conn);
    if (sess->lent_conns == 0 && sess->finish_after_recall) {
        sess->finish_after_recall = false;
        finish_session(sess);
    }
}

void lend_kept_connections(int epfd, session* sess) {
    for (size_t i = 0; i < sess->conns_size; i++) {
        connection* conn = sess->conns[i];
        if (conn != nullptr && !conn->lent)
            lend_if_spread(epfd, conn);
    }
}

void handle_worker_mail(int epfd, GHashTable* pending_sessions) {
    size_t count = 0;
    const worker_mail* mail = take_mail(&count);
    for (size_t i = 0; i < count; i++) {
        connection* conn = mail[i].conn;
        switch (mail[i].kind) {
        case MAIL_LEND:
            take_lent(epfd, conn);
            break;
        case MAIL_RECALL:
            // Not held: it is on its way back already, and may be gone.
            if (g_hash_table_contains(carried_set(), conn))
                give_back(conn, 0);
            break;
        case MAIL_RETURN:
            take_back(epfd, conn, mail[i].result, pending_sessions);
            break;
        }
    }
}

void apply_connection_result(connection* conn, int result, GHashTable* pending_sessions) {
    session* sess = conn->session;
    switch (result) {
    case -1:
        destroy_connection(conn);
        return;
    case -2:
        if (sess == nullptr) {
            // Nothing to disable it in: a connection without a session just ends.
            destroy_connection(conn);
            return;
        }
        disable_connection(sess, conn);
        break;
    case -3:
        // The end of file stays readable: watched for input, the socket would report it on
        // every wait, each report a finish request and so a sample. One report is taken;
        // only an error or a hang-up can still come, once.
        if (!conn->upload_ended && sess != nullptr) {
            conn->upload_ended = true;
            sess->test.finish_requested = true;
            epoll_event ev{};
            ev.events = EPOLLONESHOT;
            ev.data.ptr = conn;
            if (epoll_ctl(sess->epoll_fd, EPOLL_CTL_MOD, conn->sock, &ev) != 0)
                VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        }
        break;
    case -4:
        return; // now another thread's: not ours to touch
    default:
        break;
    }
    if (sess != nullptr && session_is_due(sess))
        g_hash_table_add(pending_sessions, sess);
}
