// Setting up a session (resolve, connect, send the requests) and running the chosen test.
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>
#include <unistd.h>

namespace vh_client {

namespace {

// Closes the connections of a run however it ends.
struct conn_guard {
    std::vector<test_conn>* conns;
    ~conn_guard() {
        close_conns(*conns);
    }
};

std::string host_header(const client_options& o) {
    if (o.server.host.find(':') != std::string::npos)
        return "[" + o.server.host + "]:" + o.server.port;
    return o.server.host + ":" + o.server.port;
}

session_params make_params(const client_options& o, bool upload) {
    session_params p;
    p.upload = upload;
    p.host_header = host_header(o);
    p.unit_id = o.unit_id;
    p.session_id = o.session_id;
    p.latency_id = o.latency_id;
    p.token = o.token;
    p.num_connections = o.connections;
    p.num_warmup_samples = o.num_warmup_samples;
    p.max_warmup_samples = o.max_warmup_samples;
    p.warmup_sample_time_ms = o.warmup_sample_time_ms;
    p.warmup_tolerance = o.warmup_tolerance;
    p.result_num_intervals = o.result_num_intervals;
    p.results_interval_period_s = o.results_interval_period_s;
    p.latency_interval_ms = o.latency_interval_ms;
    return p;
}

// Waits for the 201 reply of the latency control connection.
bool await_control_reply(test_conn& c, double timeout_s, std::string* error) {
    time_point deadline = after_seconds(mono_clock::now(), timeout_s);
    char buf[TLS_RECORD];
    for (;;) {
        reply_head head;
        std::string why;
        parse_state st = parse_reply_head(c.in, &head, &why);
        if (st == parse_state::malformed) {
            *error = conn_error(c, "first reply", why);
            return false;
        }
        if (st == parse_state::complete) {
            if (head.status != 201) {
                *error = conn_error(c, "first reply",
                                    "unexpected \"" + head.status_line + "\" (expected 201)");
                return false;
            }
            if (c.in.size() > head.length) {
                *error = conn_error(c, "first reply", "unexpected bytes after the reply");
                return false;
            }
            c.in.clear();
            c.head_done = true;
            return true;
        }
        time_point now = mono_clock::now();
        if (now >= deadline) {
            *error = conn_error(c, "first reply", timed_out_text(timeout_s));
            return false;
        }
        pollfd p{c.io.fd, POLLIN, 0};
        if (poll(&p, 1, poll_ms(now, deadline)) <= 0)
            continue;
        ssize_t n = conn_read(c.io, buf, sizeof(buf));
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            *error = conn_error(c, "first reply",
                                "the server closed the connection without replying "
                                "(session refused)");
            return false;
        } else if (errno != EAGAIN && errno != EINTR) {
            *error = conn_error(c, "first reply", io_error_text(errno));
            return false;
        }
    }
}

// A latency session: its control connection, idle round trips measured on it, then its load.
struct latency_session {
    client_options o;
    session_params p;
    std::vector<test_conn> control, load;
    control_channel ch;
    std::vector<int64_t> idle;
    latency_session(const client_options& opts)
        : o(opts), p(make_params(opts, opts.latency_upload)) {
        p.latency = true;
        p.num_connections = o.connections + 1;
    }
    ~latency_session() {
        close_conns(control);
        close_conns(load);
    }
};

// Opens the control connection and measures the idle round trip on it.
bool latency_idle(latency_session& s, dialer& d, const live_hooks* hooks, std::string* error) {
    const client_options& o = s.o;
    if (!open_conns(d, 0, 1, o.timeout_s, &s.control, error))
        return false;
    s.control[0].control = true;
    if (!send_requests(s.control, s.p, o.timeout_s, error) ||
        !await_control_reply(s.control[0], o.timeout_s, error))
        return false;

    control_channel& ch = s.ch;
    ch.io = s.control[0].io;
    ch.request = build_statistics_request(s.p.host_header, s.p.token);
    ch.origin = mono_clock::now();
    ch.next_fetch = after_seconds(ch.origin, static_cast<double>(o.fetch_interval_ms) / 1000);
    ch.every_s = static_cast<double>(o.fetch_interval_ms) / 1000;
    ch.timeout_s = o.timeout_s;
    ch.max_document = max_statistics_document(o);
    ch.load = o.latency_upload ? test_kind::upload : test_kind::download;
    ch.connections = o.connections + 1;

    // The idle round trip, measured idle: statistics requests on the control connection, one
    // after another, before any load connection exists. The first samples of the load
    // connections come later, once their data has filled the queues on the path.
    ch.hooks = nullptr; // not fetches of the test
    for (int i = 0; i < IDLE_PROBES; i++) {
        const time_point sent = mono_clock::now();
        if (!control_fetch_now(ch, error))
            return false;
        s.idle.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(mono_clock::now() - sent)
                .count());
    }
    ch.fetches.clear();
    ch.hooks = hooks;
    return true;
}

// Opens the load connections and runs the load; the round trips go to *out.
bool latency_load(latency_session& s, dialer& d, progress_meter* pm, const live_hooks* hooks,
                  test_report* report, latency_result* out, std::string* error) {
    const client_options& o = s.o;
    control_channel& ch = s.ch;
    if (!open_conns(d, 1, o.connections, o.timeout_s, &s.load, error) ||
        !send_requests(s.load, s.p, o.timeout_s, error))
        return false;
    bool ok = o.latency_upload
                  ? run_upload_phase(o, s.load, &ch, pm, hooks, &report->upload, error)
                  : run_download_phase(o, s.load, &ch, pm, hooks, &report->download, error);
    if (!ok)
        return false;
    // The document after the load: every sample the session took.
    if (!control_fetch_now(ch, error))
        return false;
    out->fetches = ch.fetches;
    out->final_doc = ch.last;
    out->summary = summarize_latency(ch.last, 1);
    out->summary.idle = make_rtt_stats(s.idle);
    return true;
}

bool run_latency(const client_options& o, dialer& d, progress_meter* pm, const live_hooks* hooks,
                 test_report* report, std::string* error) {
    latency_session s(o);
    return latency_idle(s, d, hooks, error) &&
           latency_load(s, d, pm, hooks, report, &report->latency, error);
}

// Both directions at once: two ordinary sessions, each run on a thread of its own as it would
// run alone. Everything a runner touches is its own (connections, results, error text); the
// endpoint is chosen before the threads start, so that the dialer is only read. Only the download
// shows progress, and the hooks' callers print whole lines.
bool run_bidir(const client_options& o, dialer& d, progress_meter* pm, const live_hooks* hooks,
               test_report* report, std::string* error) {
    client_options down = o, up = o;
    down.kind = o.bidir_latency ? test_kind::latency : test_kind::download;
    up.kind = o.bidir_latency ? test_kind::latency : test_kind::upload;
    down.latency_upload = false;
    up.latency_upload = true;
    up.session_id = upload_session_id(o);
    up.latency_id = upload_latency_id(o);
    std::string why[2];
    bool ok[2] = {false, false};
    if (o.bidir_latency) {
        // Both idle round trips are measured before either load starts.
        latency_session ds(down), us(up);
        if (!latency_idle(ds, d, hooks, &why[0])) {
            *error = "download: " + why[0];
            return false;
        }
        if (!latency_idle(us, d, hooks, &why[1])) {
            *error = "upload: " + why[1];
            return false;
        }
        std::thread t([&] {
            ok[1] = latency_load(us, d, nullptr, hooks, report, &report->latency_up, &why[1]);
        });
        ok[0] = latency_load(ds, d, pm, hooks, report, &report->latency, &why[0]);
        t.join();
    } else {
        std::vector<test_conn> dc, uc;
        conn_guard g1{&dc}, g2{&uc};
        if (!open_conns(d, 0, o.connections, o.timeout_s, &dc, &why[0])) {
            *error = "download: " + why[0];
            return false;
        }
        if (!open_conns(d, 0, o.connections, o.timeout_s, &uc, &why[1])) {
            *error = "upload: " + why[1];
            return false;
        }
        std::thread t([&] {
            ok[1] = send_requests(uc, make_params(up, true), up.timeout_s, &why[1]) &&
                    run_upload_phase(up, uc, nullptr, nullptr, hooks, &report->upload, &why[1]);
        });
        ok[0] = send_requests(dc, make_params(down, false), down.timeout_s, &why[0]) &&
                run_download_phase(down, dc, nullptr, pm, hooks, &report->download, &why[0]);
        t.join();
    }
    if (!ok[0] || !ok[1]) {
        *error = !ok[0] ? "download: " + why[0] : "upload: " + why[1];
        return false;
    }
    // One time axis for both: each direction's first reply from the earlier of the two.
    const auto d0 = report->download.first_reply, u0 = report->upload.first_reply;
    report->download.start_s = d0 > u0 ? seconds_between(u0, d0) : 0;
    report->upload.start_s = u0 > d0 ? seconds_between(d0, u0) : 0;
    return true;
}

} // namespace

const char* kind_name(test_kind k) {
    switch (k) {
    case test_kind::download:
        return "download";
    case test_kind::upload:
        return "upload";
    case test_kind::latency:
        return "latency";
    case test_kind::bidir:
        return "bidir";
    }
    return "?";
}

void close_conns(std::vector<test_conn>& conns) {
    for (test_conn& c : conns) {
        conn_close(c.io);
    }
}

std::string conn_error(const test_conn& c, const std::string& step, const std::string& what) {
    std::string name = c.control ? "control connection" : "connection " + std::to_string(c.index);
    return name + ": " + step + ": " + what;
}

bool open_conns(dialer& d, size_t first_index, size_t count, double timeout_s,
                std::vector<test_conn>* out, std::string* error) {
    for (size_t i = 0; i < count; i++) {
        test_conn c;
        c.index = first_index + i;
        std::string why;
        const bool first = d.used == SIZE_MAX;
        if (first) {
            // First connection: the first address that answers is the one the test uses.
            std::string all;
            for (size_t e = 0; e < d.eps.size() && c.io.fd < 0; e++) {
                c.io.fd =
                    connect_endpoint(d.eps[e], after_seconds(mono_clock::now(), timeout_s), &why);
                if (c.io.fd >= 0)
                    d.used = e;
                else
                    all += (all.empty() ? "" : "; ") + d.eps[e].text + " port " +
                           std::to_string(d.eps[e].port) + ": " + why;
            }
            why = all;
        } else {
            const endpoint& ep = d.eps[d.used];
            c.io.fd = connect_endpoint(ep, after_seconds(mono_clock::now(), timeout_s), &why);
            if (c.io.fd < 0)
                why = ep.text + " port " + std::to_string(ep.port) + ": " + why;
        }
        if (c.io.fd < 0) {
            *error = conn_error(c, "connect", why);
            return false;
        }
        out->push_back(c); // closed by its owner whatever happens next
        if (d.tls.ctx == nullptr)
            continue;
        if (!tls_handshake(out->back().io, d.tls, after_seconds(mono_clock::now(), timeout_s),
                           &why)) {
            *error = conn_error(c, "TLS handshake", why);
            return false;
        }
        if (first) {
            tls_describe(out->back().io, &d.tls_version, &d.tls_cipher);
            if (d.hooks != nullptr && d.hooks->tls)
                d.hooks->tls(d.tls_version, d.tls_cipher);
        }
    }
    return true;
}

bool send_requests(std::vector<test_conn>& conns, const session_params& p, double timeout_s,
                   std::string* error) {
    for (test_conn& c : conns) {
        std::string req = build_test_request(p, c.index);
        std::string why;
        if (!send_all_before(c.io, req, after_seconds(mono_clock::now(), timeout_s), &why)) {
            *error = conn_error(c, "request", why);
            return false;
        }
        c.request_bytes = req.size();
    }
    return true;
}

void add_timeline_point(std::vector<timeline_point>& timeline, const std::vector<test_conn>& conns,
                        time_point t0, time_point now, test_kind load, const live_hooks* hooks) {
    timeline_point p;
    p.seconds = seconds_between(t0, now);
    if (!timeline.empty() && p.seconds <= timeline.back().seconds)
        return;
    for (const test_conn& c : conns)
        p.bytes.push_back(c.bytes);
    timeline.push_back(std::move(p));
    if (hooks != nullptr && hooks->interval && timeline.size() >= 2)
        hooks->interval(load, timeline[timeline.size() - 2], timeline.back());
}

double timeline_step(double seconds) {
    return std::max(TIMELINE_STEP_S, seconds / MAX_TIMELINE_POINTS);
}

rate_series make_rate_series(const std::vector<timeline_point>& timeline) {
    rate_series r;
    if (timeline.empty())
        return r;
    r.per_connection.resize(timeline[0].bytes.size());
    for (size_t i = 1; i < timeline.size(); i++) {
        const timeline_point& a = timeline[i - 1];
        const timeline_point& b = timeline[i];
        double dt = b.seconds - a.seconds;
        r.seconds.push_back(b.seconds);
        uint64_t total = 0;
        for (size_t c = 0; c < b.bytes.size(); c++) {
            uint64_t moved = b.bytes[c] - a.bytes[c]; // the client's own counts only grow
            total += moved;
            r.per_connection[c].push_back(static_cast<double>(moved) * 8 / dt);
        }
        r.total.push_back(static_cast<double>(total) * 8 / dt);
    }
    return r;
}

int run_test(const client_options& o, progress_meter* pm, const live_hooks* hooks,
             test_report* report, std::string* error) {
    report->options = o;
    dialer d;
    d.hooks = hooks;
    std::string why;
    if (!resolve_target(o.server, &d.eps, &why)) {
        *error = std::string(kind_name(o.kind)) + ": resolve: " + why;
        return -1;
    }
    tls_settings tls;
    tls.enabled = o.tls;
    tls.insecure = o.tls_insecure;
    tls.ca_file = o.ca_file;
    if (!tls_client_init(tls, o.server.host, &d.tls, &why)) {
        *error = std::string(kind_name(o.kind)) + ": " + why;
        return -1;
    }
    bool ok = false;
    if (o.kind == test_kind::latency) {
        ok = run_latency(o, d, pm, hooks, report, &why);
    } else if (o.kind == test_kind::bidir) {
        ok = run_bidir(o, d, pm, hooks, report, &why);
    } else {
        bool upload = o.kind == test_kind::upload;
        session_params p = make_params(o, upload);
        std::vector<test_conn> conns;
        conn_guard guard{&conns};
        ok = open_conns(d, 0, o.connections, o.timeout_s, &conns, &why) &&
             send_requests(conns, p, o.timeout_s, &why) &&
             (upload ? run_upload_phase(o, conns, nullptr, pm, hooks, &report->upload, &why)
                     : run_download_phase(o, conns, nullptr, pm, hooks, &report->download, &why));
    }
    progress_end(pm);
    if (d.used != SIZE_MAX) {
        report->address = d.eps[d.used].text;
        report->port = d.eps[d.used].port;
    }
    report->tls_version = d.tls_version;
    report->tls_cipher = d.tls_cipher;
    if (!ok) {
        *error = std::string(kind_name(o.kind)) + ": " + why;
        return -1;
    }
    return 0;
}

} // namespace vh_client
