// Warm-up detection and measurement intervals of upload tests, and the periodic check
// that ends every session.
#include "connection.h"
#include "session.h"
#include "settings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

// Slots that are both named by the request and allocated.
static size_t slot_count(const session* sess) {
    return std::min(sess->request.num_conns, sess->conns_size);
}

// True when every slot the request names holds a connection.
static bool all_slots_filled(const session* sess) {
    if (sess->request.num_conns > sess->conns_size)
        return false;
    for (size_t i = 0; i < sess->request.num_conns; i++)
        if (sess->conns[i] == nullptr)
            return false;
    return true;
}

// Inside [lower, upper]; a NaN rate (or a NaN band) compares as inside, so a
// burst of zero-length intervals never blocks the end of warm-up.
static bool outside_band(double r, double lower, double upper) {
    return r < lower || r > upper;
}

struct band {
    double lower;
    double upper;
};

// The band around mean m for tolerance t percent. The integer parts are formed in
// 64 bits: an extreme tolerance must not overflow before the conversion.
static band band_around(double m, int32_t t) {
    double below = static_cast<double>(int64_t{100} - t);
    double above = static_cast<double>(int64_t{100} + t);
    return {below * m / 100.0, m * above / 100.0};
}

// The stability test over the window [n - w, n) of every connection. Each
// connection must have written sample n - 1 (one that could not, for lack of room,
// has no window to judge and keeps the test from passing).
static bool warmup_stable(const session* sess, size_t n) {
    size_t w = sess->request.num_warmup_samples;
    size_t slots = slot_count(sess);
    for (size_t i = 0; i < slots; i++) {
        const connection* c = sess->conns[i];
        if (c->num_warmup < n || c->warmup_samples == nullptr || n > c->warmup_capacity)
            return false;
    }
    if (w == 0)
        return true; // an empty window has nothing outside the band
    size_t first = n - w;
    int32_t t = sess->request.warmup_tolerance;

    if (!sess->request.aggregate_warmup) {
        for (size_t i = 0; i < slots; i++) {
            const warmup_sample* s = sess->conns[i]->warmup_samples;
            double sum = 0.0;
            for (size_t j = first; j < n; j++)
                sum += s[j].rate;
            band b = band_around(sum / static_cast<double>(w), t);
            for (size_t j = first; j < n; j++)
                if (outside_band(s[j].rate, b.lower, b.upper))
                    return false;
        }
        return true;
    }

    auto aggregate = [&](size_t j) {
        double a = 0.0;
        for (size_t i = 0; i < slots; i++)
            a += sess->conns[i]->warmup_samples[j].rate;
        return a;
    };
    double sum = 0.0;
    for (size_t j = first; j < n; j++)
        sum += aggregate(j);
    band b = band_around(sum / static_cast<double>(w), t);
    for (size_t j = first; j < n; j++)
        if (outside_band(aggregate(j), b.lower, b.upper))
            return false;
    return true;
}

void session_bytes(const session* sess, uint64_t* total, uint64_t* data) {
    *total = sess->test.total_bytes;
    *data = sess->test.data_bytes;
    if (sess->lent_conns == 0)
        return;
    for (size_t i = 0; i < sess->conns_size; i++) {
        const connection* c = sess->conns[i];
        if (c == nullptr || !c->lent)
            continue;
        uint64_t moved_total = 0;
        uint64_t moved_data = 0;
        counted_bytes(c, &moved_total, &moved_data);
        *total += moved_total - c->lent_base_total;
        *data += moved_data - c->lent_base_data;
    }
}

// Bytes after which `value` passes `limit` (is above it); 0 when it has.
static uint64_t room_below(uint64_t value, uint64_t limit) {
    if (value > limit)
        return 0;
    uint64_t left = limit - value;
    return left == UINT64_MAX ? left : left + 1;
}

uint64_t bytes_until_due(const session* sess) {
    uint64_t total = 0;
    uint64_t data = 0;
    session_bytes(sess, &total, &data);
    const request_info& req = sess->request;
    uint64_t until = room_below(total, req.test_data_cap);
    if (sess->test.state == WARMUP)
        until = std::min(until, room_below(data, req.max_warmup_size));
    else if (sess->test.state == MEASUR)
        until =
            std::min(until, room_below(data - sess->test.warmup_end_bytes, req.transfer_max_size));
    return until;
}

bool session_is_due(const session* sess) {
    return sess->test.finish_requested || bytes_until_due(sess) == 0;
}

uint64_t lent_return_point(const session* sess, const connection* conn) {
    uint64_t share =
        std::max<uint64_t>(1, bytes_until_due(sess) / std::max<size_t>(1, sess->active_conns));
    uint64_t data = counted_data(conn);
    return data > UINT64_MAX - share ? UINT64_MAX : data + share;
}

void rebudget_lent_connections(session* sess) {
    if (sess->lent_conns == 0)
        return;
    for (size_t i = 0; i < sess->conns_size; i++) {
        connection* c = sess->conns[i];
        if (c != nullptr && c->lent)
            __atomic_store_n(&c->return_at, lent_return_point(sess, c), __ATOMIC_RELAXED);
    }
}

static int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Ends the test when measurement is complete or over one of its limits. Right at the
// start of measurement only the session-wide cap and a finish request are tested: no
// interval has been recorded and no measurement byte can have moved yet.
static void check_measurement_end(session* sess, bool just_started) {
    const session_test_state& test = sess->test;
    const request_info& req = sess->request;
    uint64_t total = 0;
    uint64_t data = 0;
    session_bytes(sess, &total, &data);
    bool done = false;
    if (!just_started) {
        // No sample fits beyond the array, whatever the (possibly replaced) count says.
        done = test.num_measur >= req.result_num_intervals ||
               test.num_measur >= sess->measur_times_size ||
               data - test.warmup_end_bytes > req.transfer_max_size;
    }
    if (done || total > req.test_data_cap || test.finish_requested || test.finish_deferred)
        finish_session(sess);
}

// Enters measurement: counts from here, and samples every results interval from
// now on. A session without a data timer (none was made) is sampled only when
// connection events make it due.
static void start_measurement(session* sess) {
    uint64_t total = 0;
    sess->test.state = MEASUR;
    session_bytes(sess, &total, &sess->test.warmup_end_bytes);
    sess->measurement_start = (steady_now_ns() - sess->serverside_start_ns) / 1000000 * 1000;
    if (sess->data_timer.exists) {
        timespec period{static_cast<time_t>(sess->request.results_interval_period), 0};
        // The period is range-checked where the request is read; should the timer still
        // refuse it, this session ends, not the process.
        if (arm_timer(sess, &sess->data_timer, period, period) != 0) {
            VH_LOG(LOG_ERR, "timerfd_settime: %s", strerror(errno));
            sess->test.failed = true;
            finish_session(sess);
            return;
        }
    }
    check_measurement_end(sess, true);
}

// A warm-up limit was reached without a stable window.
static void warmup_limit_reached(session* sess) {
    if (sess->request.warmup_fail_on_max) {
        VH_LOG(LOG_INFO, "Max warmup samples reached");
        sess->test.failed = true;
        finish_session(sess);
        return;
    }
    start_measurement(sess);
}

static void take_warmup_sample(session* sess, timespec now) {
    session_test_state& test = sess->test;
    // Warm-up ends on its own rules: a finish request (a client's end of upload) is sampled
    // once, here, and waits for measurement. Left standing, it would make the session due at
    // every event of its other connections, each time another sample.
    if (test.finish_requested) {
        test.finish_requested = false;
        test.finish_deferred = true;
    }
    size_t k = test.num_warmup;
    if (k >= sess->warmup_times_size) {
        // No room for another sample time: as if the sample limit had been reached.
        warmup_limit_reached(sess);
        return;
    }
    test.warmup_times[k] = now;
    uint64_t sum = 0;
    for (size_t i = 0; i < slot_count(sess); i++) {
        connection* c = sess->conns[i];
        if (c == nullptr)
            continue;
        // One read of the count, which a carrier may be adding to right now.
        const uint64_t bytes = counted_data(c);
        sum += bytes;
        if (c->warmup_samples == nullptr || k >= c->warmup_capacity)
            continue; // no room in this connection's arrays
        uint64_t prev_bytes = k == 0 ? 0 : c->warmup_samples[k - 1].bytes;
        timespec d = time_diff(now, k == 0 ? test.start_time : test.warmup_times[k - 1]);
        int64_t u = static_cast<int64_t>(d.tv_sec) * 1000000 + d.tv_nsec / 1000;
        // Two checks within one microsecond give an infinite (or NaN) rate, which the
        // stability test copes with.
        c->warmup_samples[k].bytes = bytes;
        c->warmup_samples[k].rate =
            static_cast<double>(bytes - prev_bytes) * 1000000.0 / static_cast<double>(u);
        c->num_warmup = k + 1;
    }
    size_t n = ++test.num_warmup;

    if (!sess->path_style && !sess->is_latency && sess->active_conns != sess->request.num_conns) {
        sess->test.failed = true;
        finish_session(sess);
        return;
    }
    if (n >= sess->request.num_warmup_samples && all_slots_filled(sess) && warmup_stable(sess, n)) {
        start_measurement(sess);
        return;
    }
    // `>=` rather than `==`: a path-style replacement may lower the limit below the
    // samples already taken, and the arrays end at warmup_times_size whatever it says.
    if (n >= sess->request.max_warmup_samples || n >= sess->warmup_times_size ||
        sum >= sess->request.max_warmup_size)
        warmup_limit_reached(sess);
    // Otherwise the next sample decides; no end is tested during warm-up.
}

static void take_measurement_sample(session* sess, timespec now) {
    session_test_state& test = sess->test;
    size_t k = test.num_measur;
    if (k >= sess->measur_times_size) {
        finish_session(sess); // every interval there is room for was recorded
        return;
    }
    test.measur_times[k] = now;
    for (size_t i = 0; i < slot_count(sess); i++) {
        connection* c = sess->conns[i];
        if (c == nullptr || c->measur_bytes == nullptr || k >= c->measur_capacity)
            continue;
        // Bytes since the connection's last warm-up sample. A connection that joined
        // after warm-up ended (path-style and latency sessions) has no such sample
        // and counts everything it moved since it joined.
        uint64_t base = 0;
        if (c->warmup_samples != nullptr && c->num_warmup > 0 &&
            c->num_warmup <= c->warmup_capacity)
            base = c->warmup_samples[c->num_warmup - 1].bytes;
        c->measur_bytes[k] = counted_data(c) - base;
        c->num_measur = k + 1;
    }
    test.num_measur++;
    check_measurement_end(sess, false);
}

void handle_session_periodic(session* sess, timespec now) {
    if (sess->request.method == GET || !is_extended(sess)) {
        finish_session(sess);
        return;
    }
    switch (sess->test.state) {
    case WARMUP:
        take_warmup_sample(sess, now);
        return;
    case MEASUR:
        take_measurement_sample(sess, now);
        return;
    default:
        if (sess->test.state > MEASUR) {
            VH_LOG(LOG_WARNING, "%ld: No harm, but I should have never reach this", thread_tag());
            return;
        }
        VH_LOG(LOG_ERR, "%ld: This is impossible", thread_tag());
        exit(1);
    }
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
        timespec t = time_diff(sess->test.warmup_times[k], sess->test.start_time);
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
        timespec t = time_diff(sess->test.measur_times[k], sess->test.start_time);
        g_string_append_printf(text, "MEASUR_SESSION: %ld %ld %lu\n", t.tv_sec, t.tv_nsec, bytes);
    }
    g_string_append(text, "\n");
    return text;
}
