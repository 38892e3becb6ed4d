// Setting up a session (resolve, connect, send the requests) and running the chosen test.
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
    char buf[4096];
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
        pollfd p{c.fd, POLLIN, 0};
        if (poll(&p, 1, poll_ms(now, deadline)) <= 0)
            continue;
        ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            *error = conn_error(c, "first reply",
                                "the server closed the connection without replying "
                                "(session refused)");
            return false;
        } else if (errno != EAGAIN && errno != EINTR) {
            *error = conn_error(c, "first reply", errno_text(errno));
            return false;
        }
    }
}

bool run_latency(const client_options& o, const std::vector<endpoint>& eps, size_t* used,
                 progress_meter* pm, const live_hooks* hooks, test_report* report,
                 std::string* error) {
    session_params p = make_params(o, o.latency_upload);
    p.latency = true;
    p.num_connections = o.connections + 1;
    std::vector<test_conn> control;
    std::vector<test_conn> load;
    conn_guard g1{&control}, g2{&load};
    if (!open_conns(eps, used, 0, 1, o.timeout_s, &control, error))
        return false;
    control[0].control = true;
    if (!send_requests(control, p, o.timeout_s, error) ||
        !await_control_reply(control[0], o.timeout_s, error))
        return false;

    control_channel ch;
    ch.fd = control[0].fd;
    ch.request = build_statistics_request(p.host_header, p.token);
    ch.origin = mono_clock::now();
    ch.next_fetch = after_seconds(ch.origin, static_cast<double>(o.fetch_interval_ms) / 1000);
    ch.every_s = static_cast<double>(o.fetch_interval_ms) / 1000;
    ch.timeout_s = o.timeout_s;
    ch.max_document = max_statistics_document(o);
    ch.hooks = hooks;
    ch.connections = o.connections + 1;

    // The idle round trip, measured idle: statistics requests on the control connection, one
    // after another, before any load connection exists. The first samples of the load
    // connections come later, once their data has filled the queues on the path.
    std::vector<int64_t> idle;
    ch.hooks = nullptr; // not fetches of the test
    for (int i = 0; i < IDLE_PROBES; i++) {
        const time_point sent = mono_clock::now();
        if (!control_fetch_now(ch, error))
            return false;
        idle.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(mono_clock::now() - sent)
                .count());
    }
    ch.fetches.clear();
    ch.hooks = hooks;

    if (!open_conns(eps, used, 1, o.connections, o.timeout_s, &load, error) ||
        !send_requests(load, p, o.timeout_s, error))
        return false;
    bool ok = o.latency_upload
                  ? run_upload_phase(o, load, &ch, pm, hooks, &report->upload, error)
                  : run_download_phase(o, load, &ch, pm, hooks, &report->download, error);
    if (!ok)
        return false;
    // The document after the load: every sample the session took.
    if (!control_fetch_now(ch, error))
        return false;
    report->latency.fetches = ch.fetches;
    report->latency.final_doc = ch.last;
    report->latency.summary = summarize_latency(ch.last, 1);
    report->latency.summary.idle = make_rtt_stats(idle);
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
    }
    return "?";
}

void close_conns(std::vector<test_conn>& conns) {
    for (test_conn& c : conns) {
        if (c.fd >= 0)
            close(c.fd);
        c.fd = -1;
    }
}

std::string conn_error(const test_conn& c, const std::string& step, const std::string& what) {
    std::string name = c.control ? "control connection" : "connection " + std::to_string(c.index);
    return name + ": " + step + ": " + what;
}

bool open_conns(const std::vector<endpoint>& eps, size_t* used, size_t first_index, size_t count,
                double timeout_s, std::vector<test_conn>* out, std::string* error) {
    for (size_t i = 0; i < count; i++) {
        test_conn c;
        c.index = first_index + i;
        std::string why;
        if (*used == SIZE_MAX) {
            // First connection: the first address that answers is the one the test uses.
            std::string all;
            for (size_t e = 0; e < eps.size() && c.fd < 0; e++) {
                c.fd = connect_endpoint(eps[e], after_seconds(mono_clock::now(), timeout_s), &why);
                if (c.fd >= 0)
                    *used = e;
                else
                    all += (all.empty() ? "" : "; ") + eps[e].text + " port " +
                           std::to_string(eps[e].port) + ": " + why;
            }
            why = all;
        } else {
            c.fd = connect_endpoint(eps[*used], after_seconds(mono_clock::now(), timeout_s), &why);
            if (c.fd < 0)
                why = eps[*used].text + " port " + std::to_string(eps[*used].port) + ": " + why;
        }
        if (c.fd < 0) {
            *error = conn_error(c, "connect", why);
            return false;
        }
        out->push_back(c);
    }
    return true;
}

bool send_requests(std::vector<test_conn>& conns, const session_params& p, double timeout_s,
                   std::string* error) {
    for (test_conn& c : conns) {
        std::string req = build_test_request(p, c.index);
        std::string why;
        if (!send_all_before(c.fd, req, after_seconds(mono_clock::now(), timeout_s), &why)) {
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
    std::vector<endpoint> eps;
    std::string why;
    if (!resolve_target(o.server, &eps, &why)) {
        *error = std::string(kind_name(o.kind)) + ": resolve: " + why;
        return -1;
    }
    size_t used = SIZE_MAX;
    bool ok = false;
    if (o.kind == test_kind::latency) {
        ok = run_latency(o, eps, &used, pm, hooks, report, &why);
    } else {
        bool upload = o.kind == test_kind::upload;
        session_params p = make_params(o, upload);
        std::vector<test_conn> conns;
        conn_guard guard{&conns};
        ok = open_conns(eps, &used, 0, o.connections, o.timeout_s, &conns, &why) &&
             send_requests(conns, p, o.timeout_s, &why) &&
             (upload ? run_upload_phase(o, conns, nullptr, pm, hooks, &report->upload, &why)
                     : run_download_phase(o, conns, nullptr, pm, hooks, &report->download, &why));
    }
    progress_end(pm);
    if (used != SIZE_MAX) {
        report->address = eps[used].text;
        report->port = eps[used].port;
    }
    if (!ok) {
        *error = std::string(kind_name(o.kind)) + ": " + why;
        return -1;
    }
    return 0;
}

} // namespace vh_client
