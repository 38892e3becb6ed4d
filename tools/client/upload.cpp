// The upload loop: await each interim reply, send until the results arrive, read them all.
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace vh_client {

namespace {

// A results reply is a few hundred bytes per sample; anything far beyond is not one.
constexpr size_t MAX_RESULTS = 1 << 20;

// Upper bound of the test's length from its own rules: every warm-up sample the server may
// take, then every measurement interval.
double expected_seconds(const client_options& o) {
    return static_cast<double>(o.max_warmup_samples * o.warmup_sample_time_ms) / 1000.0 +
           static_cast<double>(o.result_num_intervals * o.results_interval_period_s);
}

// Handles bytes (or the end) arriving on an upload connection.
bool read_upload_conn(test_conn& c, std::vector<char>& buf, time_point now, bool* results_seen,
                      time_point* t1, std::string* error) {
    ssize_t n = conn_read(c.io, buf.data(), buf.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n < 0 && errno != ECONNRESET) {
        *error = conn_error(c, c.head_done ? "results reply" : "first reply", io_error_text(errno));
        return false;
    }
    if (n <= 0) {
        if (!c.head_done) {
            *error = conn_error(c, "first reply",
                                "the server closed the connection without replying "
                                "(session refused)");
            return false;
        }
        if (!results_complete(c.in)) {
            *error = conn_error(c, "results reply",
                                c.in.empty() ? "the server closed the connection before it"
                                             : "the server closed the connection in the "
                                               "middle of it");
            return false;
        }
        c.done = true;
        return true;
    }
    c.in.append(buf.data(), static_cast<size_t>(n));
    if (!c.head_done) {
        reply_head head;
        std::string why;
        parse_state st = parse_reply_head(c.in, &head, &why);
        if (st == parse_state::malformed) {
            *error = conn_error(c, "first reply", why);
            return false;
        }
        if (st == parse_state::incomplete)
            return true;
        if (head.status != 100) {
            *error = conn_error(c, "first reply",
                                "unexpected \"" + head.status_line + "\" (expected 100)");
            return false;
        }
        c.in.erase(0, head.length);
        c.head_done = true;
        c.last_progress = now;
        if (c.in.empty())
            return true;
    }
    if (!*results_seen) {
        *results_seen = true;
        *t1 = now;
    }
    if (c.in.size() > MAX_RESULTS) {
        *error =
            conn_error(c, "results reply",
                       "longer than " + std::to_string(MAX_RESULTS) + " bytes without its end");
        return false;
    }
    // The reply is complete at its empty line; the server's FIN need not be awaited.
    if (results_complete(c.in))
        c.done = true;
    return true;
}

} // namespace

bool run_upload_phase(const client_options& o, std::vector<test_conn>& conns, control_channel* ctl,
                      progress_meter* pm, const live_hooks* hooks, upload_result* r,
                      std::string* error) {
    const double t = o.timeout_s;
    const time_point head_deadline = after_seconds(mono_clock::now(), t);
    time_point t0{}, t1{}, results_deadline{}, next_point{};
    r->timeline.clear();
    r->timeline_step_s = timeline_step(expected_seconds(o));
    bool started = false, results_seen = false;
    std::vector<char> inbuf(1 << 16);
    // The data sent: any bytes do; a pattern keeps them from being trivially compressible.
    std::vector<char> data(1 << 20);
    uint32_t x = 2463534242u;
    for (char& ch : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ch = static_cast<char>(x);
    }
    std::vector<pollfd> fds;
    for (;;) {
        time_point now = mono_clock::now();
        if (std::all_of(conns.begin(), conns.end(), [](const test_conn& c) { return c.done; }))
            break;
        time_point wake = after_seconds(now, 1);
        for (test_conn& c : conns) {
            if (c.done)
                continue;
            if (!c.head_done) {
                if (now >= head_deadline) {
                    *error = conn_error(c, "first reply", timed_out_text(t));
                    return false;
                }
                wake = std::min(wake, head_deadline);
            } else if (!results_seen && !c.send_closed) {
                time_point stall = after_seconds(c.last_progress, t);
                if (now >= stall) {
                    *error = conn_error(c, "upload",
                                        "the server takes no data (" + timed_out_text(t) + ")");
                    return false;
                }
                wake = std::min(wake, stall);
            }
        }
        if (started) {
            if (now >= results_deadline) {
                auto it = std::find_if(conns.begin(), conns.end(),
                                       [](const test_conn& c) { return !c.done; });
                *error = conn_error(
                    *it, "results reply",
                    results_seen ? "incomplete (" + timed_out_text(t) + " after the first results)"
                                 : "none by the end of the test's rules (" +
                                       timed_out_text(seconds_between(t0, results_deadline)) + ")");
                return false;
            }
            wake = std::min(wake, results_deadline);
            if (!results_seen)
                wake = std::min(wake, next_point);
        }
        if (ctl != nullptr) {
            if (!control_step(*ctl, 0, now, error))
                return false;
            wake = std::min(wake, control_wakeup(*ctl));
        }

        fds.clear();
        for (test_conn& c : conns) {
            short ev = POLLIN;
            if (c.head_done && !results_seen && !c.send_closed)
                ev |= POLLOUT;
            fds.push_back(pollfd{c.done ? -1 : c.io.fd, ev, 0});
        }
        if (ctl != nullptr)
            fds.push_back(pollfd{ctl->io.fd, control_events(*ctl), 0});
        if (poll(fds.data(), fds.size(), poll_ms(now, wake)) < 0 && errno != EINTR) {
            *error = "upload: poll: " + errno_text(errno);
            return false;
        }
        now = mono_clock::now();
        for (size_t i = 0; i < conns.size(); i++) {
            test_conn& c = conns[i];
            short rev = fds[i].revents;
            if (rev == 0)
                continue;
            if (rev & (POLLIN | POLLERR | POLLHUP)) {
                bool had_head = c.head_done;
                bool had_results = results_seen;
                if (!read_upload_conn(c, inbuf, now, &results_seen, &t1, error))
                    return false;
                if (c.head_done && !had_head && !started) {
                    started = true;
                    t0 = now;
                    r->first_reply = now;
                    next_point = after_seconds(t0, r->timeline_step_s);
                    add_timeline_point(r->timeline, conns, t0, t0, test_kind::upload, hooks);
                    results_deadline = after_seconds(now, expected_seconds(o) + t);
                    progress_begin(pm, now, kind_name(o.kind));
                }
                // Every connection gets the same reply promptly once the test has ended.
                if (results_seen && !had_results) {
                    results_deadline = std::min(results_deadline, after_seconds(now, t));
                    add_timeline_point(r->timeline, conns, t0, t1, test_kind::upload, hooks);
                }
            }
            if ((rev & POLLOUT) && c.head_done && !results_seen && !c.send_closed && !c.done) {
                ssize_t n = conn_write(c.io, data.data(), data.size());
                if (n > 0) {
                    c.bytes += static_cast<uint64_t>(n);
                    c.last_progress = now;
                } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
                    // The server stopped taking data; whether its results came is read next.
                    c.send_closed = true;
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    *error = conn_error(c, "upload", io_error_text(errno));
                    return false;
                }
            }
        }
        if (ctl != nullptr && !control_step(*ctl, fds.back().revents, now, error))
            return false;
        uint64_t total = 0;
        for (const test_conn& c : conns)
            total += c.bytes;
        if (!results_seen) {
            progress_tick(pm, now, total);
            if (started && now >= next_point) {
                add_timeline_point(r->timeline, conns, t0, now, test_kind::upload, hooks);
                while (next_point <= now)
                    next_point = after_seconds(next_point, r->timeline_step_s);
            }
        }
    }
    r->seconds = seconds_between(t0, t1);
    r->bytes_sent = 0;
    r->conns.clear();
    for (const test_conn& c : conns) {
        conn_result cr;
        cr.index = c.index;
        cr.bytes = c.bytes;
        cr.request_bytes = c.request_bytes;
        r->bytes_sent += c.bytes + c.request_bytes;
        r->conns.push_back(cr);
    }
    // Every connection carries the same reply; each is checked, the first one reported.
    for (size_t i = conns.size(); i-- > 0;) {
        std::string why;
        if (!parse_results_reply(conns[i].in, &r->results, &why)) {
            *error = conn_error(conns[i], "results reply", why);
            return false;
        }
    }
    r->summary = summarize_results(r->results);
    if (hooks != nullptr && hooks->results)
        hooks->results(*r);
    return true;
}

} // namespace vh_client
