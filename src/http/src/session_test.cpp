// Warm-up detection and measurement intervals of upload tests, and the periodic check
// that ends every session.
#include "connection.h"
#include "session.h"
#include "settings.h"

#include <algorithm>

void handle_session_periodic(session* sess, timespec now) {
    (void)now;
    if (sess->request.method == GET || !is_extended(sess)) {
        finish_session(sess);
        return;
    }
}

// a - b with the nanoseconds kept in 0..999,999,999.
static timespec elapsed(timespec a, timespec b) {
    timespec d{a.tv_sec - b.tv_sec, a.tv_nsec - b.tv_nsec};
    while (d.tv_nsec < 0) {
        d.tv_nsec += 1000000000;
        d.tv_sec--;
    }
    while (d.tv_nsec >= 1000000000) {
        d.tv_nsec -= 1000000000;
        d.tv_sec++;
    }
    return d;
}

GString* build_results_reply(const session* sess) {
    size_t nw = 0, nm = 0;
    for (size_t i = 0; i < sess->conns_size; i++) {
        const connection* c = sess->conns[i];
        if (c == nullptr)
            continue;
        nw = std::max(nw, c->num_warmup);
        nm = std::max(nm, c->num_measur);
    }
    // Sample times exist only as far as the session's arrays go.
    nw = std::min(nw, sess->warmup_times_size);
    nm = std::min(nm, sess->measur_times_size);

    GString* text = g_string_new("VARNHOLT_HTTP_REPLY\nVERSION: 1.0\n");
    g_string_append_printf(text, "RESULT: %s\n", sess->test.failed ? "FAIL" : "OK");
    g_string_append_printf(text, "END_TIME: %ld\n", static_cast<long>(sess->test.end_time));
    g_string_append_printf(text, "SECTION: WARMUP\nNUM_WARMUP: %zu\n", nw);
    for (size_t k = 0; k < nw; k++) {
        uint64_t bytes = 0;
        for (size_t i = 0; i < sess->conns_size; i++) {
            const connection* c = sess->conns[i];
            if (c != nullptr && c->num_warmup > k && k < c->warmup_capacity)
                bytes += c->warmup_samples[k].bytes;
        }
        timespec t = elapsed(sess->test.warmup_times[k], sess->test.start_time);
        g_string_append_printf(text, "WARMUP_SESSION: %ld %ld %lu\n", t.tv_sec, t.tv_nsec, bytes);
    }
    g_string_append_printf(text, "SECTION: MEASUR\nNUM_MEASUR: %zu\n", nm);
    for (size_t k = 0; k < nm; k++) {
        uint64_t bytes = 0;
        for (size_t i = 0; i < sess->conns_size; i++) {
            const connection* c = sess->conns[i];
            if (c != nullptr && c->num_measur > k && k < c->measur_capacity)
                bytes += c->measur_bytes[k];
        }
        timespec t = elapsed(sess->test.measur_times[k], sess->test.start_time);
        g_string_append_printf(text, "MEASUR_SESSION: %ld %ld %lu\n", t.tv_sec, t.tv_nsec, bytes);
    }
    g_string_append(text, "\n");
    return text;
}
