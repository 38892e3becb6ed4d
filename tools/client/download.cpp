// The download loop: stream for the duration, half-close, read each stats message at the FIN.
#include "engine.h"

#include <cmath>
#include <numeric>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace vh_client {

namespace {

void keep_tail(test_conn& c, const char* data, size_t n) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (n >= sizeof(c.tail)) {
        std::memcpy(c.tail, bytes + n - sizeof(c.tail), sizeof(c.tail));
        c.tail_len = sizeof(c.tail);
        return;
    }
    size_t keep = std::min(c.tail_len, sizeof(c.tail) - n);
    std::memmove(c.tail, c.tail + c.tail_len - keep, keep);
    std::memcpy(c.tail + keep, bytes, n);
    c.tail_len = keep + n;
}

// Reads the first reply; data behind it already counts.
bool read_head(test_conn& c, std::vector<char>& buf, time_point now, std::string* error) {
    ssize_t n = conn_read(c.io, buf.data(), TLS_RECORD);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) {
        *error = conn_error(c, "first reply",
                            "the server closed the connection without replying "
                            "(session refused)");
        return false;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return true;
        *error = conn_error(c, "first reply", io_error_text(errno));
        return false;
    }
    c.in.append(buf.data(), static_cast<size_t>(n));
    reply_head head;
    std::string why;
    parse_state st = parse_reply_head(c.in, &head, &why);
    if (st == parse_state::malformed) {
        *error = conn_error(c, "first reply", why);
        return false;
    }
    if (st == parse_state::incomplete)
        return true;
    if (head.status != 200) {
        *error =
            conn_error(c, "first reply", "unexpected \"" + head.status_line + "\" (expected 200)");
        return false;
    }
    c.bytes += c.in.size() - head.length;
    c.in.clear();
    c.in.shrink_to_fit();
    c.head_done = true;
    c.last_progress = now;
    return true;
}

} // namespace

namespace {

// Bytes received by all connections at `t` seconds, between the timeline's points.
double bytes_at(const std::vector<timeline_point>& timeline, double t) {
    auto total = [](const timeline_point& p) {
        return static_cast<double>(std::accumulate(p.bytes.begin(), p.bytes.end(), uint64_t{0}));
    };
    for (size_t i = 1; i < timeline.size(); i++) {
        const timeline_point &a = timeline[i - 1], &b = timeline[i];
        if (t <= b.seconds) {
            const double span = b.seconds - a.seconds;
            const double f = span > 0 ? std::clamp((t - a.seconds) / span, 0.0, 1.0) : 1.0;
            return total(a) + f * (total(b) - total(a));
        }
    }
    return timeline.empty() ? 0 : total(timeline.back());
}

} // namespace

steady_state find_steady_state(const std::vector<timeline_point>& timeline, double sample_s,
                               size_t stable, size_t max_samples, int tolerance) {
    steady_state s;
    if (timeline.size() < 2 || sample_s <= 0 || stable == 0)
        return s;
    const double end = timeline.back().seconds;
    std::vector<double> rates;
    for (size_t k = 1; k <= max_samples && k * sample_s <= end; k++) {
        const double t = static_cast<double>(k) * sample_s;
        rates.push_back((bytes_at(timeline, t) - bytes_at(timeline, t - sample_s)) / sample_s);
        bool done = k == max_samples;
        if (rates.size() >= stable) {
            const auto window = rates.end() - static_cast<std::ptrdiff_t>(stable);
            const double mean =
                std::accumulate(window, rates.end(), 0.0) / static_cast<double>(stable);
            const bool within = std::all_of(window, rates.end(), [&](double r) {
                return std::abs(r - mean) <= mean * tolerance / 100.0;
            });
            s.at_max = !within && done;
            done = done || within;
        }
        if (done) {
            s.warmup_samples = k;
            s.warmup_s = t;
            s.seconds = end - t;
            s.valid = s.seconds >= sample_s; // at least one sample period of steady load
            if (s.valid)
                s.bits_per_second =
                    (bytes_at(timeline, end) - bytes_at(timeline, t)) * 8 / s.seconds;
            return s;
        }
    }
    return s;
}

bool run_download_phase(const client_options& o, std::vector<test_conn>& conns,
                        control_channel* ctl, progress_meter* pm, const live_hooks* hooks,
                        download_result* r, std::string* error) {
    const double t = o.timeout_s;
    const time_point head_deadline = after_seconds(mono_clock::now(), t);
    time_point t0{}, t1{}, drain_deadline{}, next_point{};
    r->timeline.clear();
    r->timeline_step_s = timeline_step(o.duration_s);
    bool started = false, closing = false;
    std::vector<char> buf(1 << 18);
    std::vector<pollfd> fds;
    for (;;) {
        time_point now = mono_clock::now();
        bool all_heads =
            std::all_of(conns.begin(), conns.end(), [](const test_conn& c) { return c.head_done; });
        if (!closing && started && all_heads && now >= after_seconds(t0, o.duration_s)) {
            closing = true;
            t1 = now;
            add_timeline_point(r->timeline, conns, t0, t1, test_kind::download, hooks);
            // Draining what is in flight takes at most a few windows; allow a generous bound.
            drain_deadline = after_seconds(now, 3 * t);
            for (test_conn& c : conns) {
                if (conn_shutdown_write(c.io) != 0) {
                    *error = conn_error(c, "half-close", io_error_text(errno));
                    return false;
                }
                c.half_closed = true;
                c.last_progress = now;
            }
        }
        if (closing &&
            std::all_of(conns.begin(), conns.end(), [](const test_conn& c) { return c.done; }))
            break;

        time_point wake = after_seconds(now, 1);
        for (test_conn& c : conns) {
            if (!c.head_done) {
                if (now >= head_deadline) {
                    *error = conn_error(c, "first reply", timed_out_text(t));
                    return false;
                }
                wake = std::min(wake, head_deadline);
            } else if (!c.done) {
                time_point stall = after_seconds(c.last_progress, t);
                if (now >= stall) {
                    *error =
                        c.half_closed
                            ? conn_error(c, "stats message",
                                         "the server sent nothing more after the "
                                         "half-close (" +
                                             timed_out_text(t) + ")")
                            : conn_error(c, "download",
                                         "no data from the server (" + timed_out_text(t) + ")");
                    return false;
                }
                wake = std::min(wake, stall);
            }
        }
        if (closing) {
            if (now >= drain_deadline) {
                *error = "stats message: the streams did not end within " + timed_out_text(3 * t) +
                         " of the half-close";
                return false;
            }
            wake = std::min(wake, drain_deadline);
        } else if (started) {
            wake = std::min({wake, after_seconds(t0, o.duration_s), next_point});
        }
        if (ctl != nullptr) {
            if (!control_step(*ctl, 0, now, error))
                return false;
            wake = std::min(wake, control_wakeup(*ctl));
        }

        fds.clear();
        for (test_conn& c : conns)
            fds.push_back(pollfd{c.done ? -1 : c.io.fd, POLLIN, 0});
        if (ctl != nullptr)
            fds.push_back(pollfd{ctl->io.fd, control_events(*ctl), 0});
        if (poll(fds.data(), fds.size(), poll_ms(now, wake)) < 0 && errno != EINTR) {
            *error = "download: poll: " + errno_text(errno);
            return false;
        }
        now = mono_clock::now();
        for (size_t i = 0; i < conns.size(); i++) {
            test_conn& c = conns[i];
            if (fds[i].revents == 0)
                continue;
            if (!c.head_done) {
                if (!read_head(c, buf, now, error))
                    return false;
                if (c.head_done && !started) {
                    started = true;
                    t0 = now;
                    r->first_reply = now;
                    r->first_reply_unix_us =
                        std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
                    next_point = after_seconds(t0, r->timeline_step_s);
                    add_timeline_point(r->timeline, conns, t0, t0, test_kind::download, hooks);
                    progress_begin(pm, now, kind_name(o.kind));
                }
            } else if (!c.half_closed) {
                // Only file data can arrive before the half-close: discard it (in the kernel when
                // plain).
                ssize_t n = conn_discard(c.io, buf.data(), buf.size());
                if (n > 0) {
                    c.bytes += static_cast<uint64_t>(n);
                    c.last_progress = now;
                } else if (n == 0 || errno == ECONNRESET) {
                    *error = conn_error(c, "download",
                                        "the server closed the connection after " +
                                            std::to_string(c.bytes) + " bytes");
                    return false;
                } else if (errno != EAGAIN && errno != EINTR) {
                    *error = conn_error(c, "download", io_error_text(errno));
                    return false;
                }
            } else {
                ssize_t n = conn_read(c.io, buf.data(), buf.size());
                if (n > 0) {
                    c.drained += static_cast<uint64_t>(n);
                    keep_tail(c, buf.data(), static_cast<size_t>(n));
                    c.last_progress = now;
                } else if (n == 0) {
                    c.done = true;
                    if (!parse_stats_tail(c.tail, c.tail_len, &c.stats)) {
                        *error = conn_error(c, "stats message",
                                            "missing or malformed at the end of the stream");
                        return false;
                    }
                    c.has_stats = true;
                } else if (errno != EAGAIN && errno != EINTR) {
                    *error = conn_error(c, "stats message", io_error_text(errno));
                    return false;
                }
            }
        }
        if (ctl != nullptr && !control_step(*ctl, fds.back().revents, now, error))
            return false;
        uint64_t total = 0;
        for (const test_conn& c : conns)
            total += c.bytes;
        if (!closing) {
            progress_tick(pm, now, total);
            if (started && now >= next_point) {
                add_timeline_point(r->timeline, conns, t0, now, test_kind::download, hooks);
                while (next_point <= now)
                    next_point = after_seconds(next_point, r->timeline_step_s);
            }
        }
    }
    r->seconds = seconds_between(t0, t1);
    r->steady = find_steady_state(r->timeline, static_cast<double>(o.warmup_sample_time_ms) / 1000,
                                  o.num_warmup_samples, o.max_warmup_samples, o.warmup_tolerance);
    r->bytes = 0;
    r->conns.clear();
    for (const test_conn& c : conns) {
        conn_result cr;
        cr.index = c.index;
        cr.bytes = c.bytes;
        cr.drained = c.drained;
        cr.request_bytes = c.request_bytes;
        cr.has_stats = c.has_stats;
        cr.stats = c.stats;
        r->bytes += c.bytes;
        r->conns.push_back(cr);
    }
    return true;
}

} // namespace vh_client
