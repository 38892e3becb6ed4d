// The text report and the JSON document of a test.
#include "report.h"

#include "progress.h"

#include <boost/json.hpp>
#include <charconv>
#include <cmath>

namespace vh_client {

namespace {

namespace json = boost::json;

// Boost.JSON writes doubles as "2.000011573E0"; people and some tools stumble over that.
// Doubles become plain decimals (the shortest that reads back the same), integers stay
// integers, and a number that is not finite becomes null.
void write_plain(const json::value& v, std::string& out) {
    switch (v.kind()) {
    case json::kind::object: {
        out += '{';
        bool first = true;
        for (const json::key_value_pair& kv : v.get_object()) {
            if (!first)
                out += ',';
            first = false;
            out += json::serialize(json::string(kv.key()));
            out += ':';
            write_plain(kv.value(), out);
        }
        out += '}';
        break;
    }
    case json::kind::array: {
        out += '[';
        bool first = true;
        for (const json::value& e : v.get_array()) {
            if (!first)
                out += ',';
            first = false;
            write_plain(e, out);
        }
        out += ']';
        break;
    }
    case json::kind::double_: {
        double d = v.get_double();
        if (!std::isfinite(d)) {
            out += "null";
            break;
        }
        char buf[400]; // the longest fixed form of a double, -5e-324 written out, is 327 characters
        auto res = std::to_chars(buf, buf + sizeof(buf), d, std::chars_format::fixed);
        out.append(buf, res.ptr);
        break;
    }
    default:
        out += json::serialize(v);
        break;
    }
}

std::string counted(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string server_line(const test_report& r) {
    const client_options& o = r.options;
    std::string s = std::string(kind_name(o.kind)) + " test against " + o.server_text;
    if (!r.address.empty() && r.address != o.server.host)
        s += " (" + r.address + ")";
    if (o.kind == test_kind::bidir && o.bidir_latency)
        s += ", " + counted(o.connections, "load connection", "load connections") +
             " and a control connection each way, latency ids " + std::to_string(o.latency_id) +
             " (download) and " + std::to_string(upload_latency_id(o)) + " (upload)";
    else if (o.kind == test_kind::bidir)
        s += ", " + counted(o.connections, "connection", "connections") + " each way, unit id " +
             std::to_string(o.unit_id) + ", session ids " + std::to_string(o.session_id) +
             " (download) and " + std::to_string(upload_session_id(o)) + " (upload)";
    else if (o.kind == test_kind::latency)
        s += std::string(", direction ") + (o.latency_upload ? "POST" : "GET") + ", " +
             counted(o.connections, "load connection", "load connections") +
             " and a control connection, " + "latency id " + std::to_string(o.latency_id);
    else
        s += ", " + counted(o.connections, "connection", "connections") + ", unit id " +
             std::to_string(o.unit_id) + ", session id " + std::to_string(o.session_id);
    return s;
}

double rate(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) * 8 / seconds : 0;
}

void print_download(const download_result& d, FILE* out) {
    std::fprintf(out, "downloaded %s in %.2f s: %s\n", format_bytes(d.bytes).c_str(), d.seconds,
                 format_rate(rate(d.bytes, d.seconds)).c_str());
    const steady_state& s = d.steady;
    if (s.valid)
        std::fprintf(out, "steady state: %s over %.2f s after a warm-up of %.2f s (%s%s)\n",
                     format_rate(s.bits_per_second).c_str(), s.seconds, s.warmup_s,
                     counted(s.warmup_samples, "sample", "samples").c_str(),
                     s.at_max ? ", its maximum: the rate never held still" : "");
    else
        std::fprintf(out, "steady state: none (the load ended during its warm-up)\n");
    for (const conn_result& c : d.conns) {
        std::string retrans = c.stats.has_retransmissions ? std::to_string(c.stats.retransmissions)
                                                          : std::string("not reported");
        std::fprintf(out, "  connection %zu: %s, %s, retransmissions %s\n", c.index,
                     format_bytes(c.bytes).c_str(), format_rate(rate(c.bytes, d.seconds)).c_str(),
                     retrans.c_str());
    }
}

void print_upload(const upload_result& u, FILE* out) {
    const upload_summary& s = u.summary;
    std::fprintf(out, "RESULT: %s\n", u.results.ok ? "OK" : "FAIL");
    std::fprintf(out, "warm-up: %.3f s, %s\n", s.warmup_seconds,
                 counted(s.warmup_samples, "sample", "samples").c_str());
    for (size_t i = 0; i < s.intervals.size(); i++)
        std::fprintf(out, "  interval %zu: %.3f s, %s, %s\n", i + 1, s.intervals[i].seconds,
                     format_bytes(s.intervals[i].bytes).c_str(),
                     format_rate(s.intervals[i].bits_per_second).c_str());
    if (s.intervals.empty())
        std::fprintf(out, "measurement: none\n");
    else
        std::fprintf(out, "measurement: %s in %.3f s: %s\n",
                     format_bytes(s.measurement.bytes).c_str(), s.measurement.seconds,
                     format_rate(s.measurement.bits_per_second).c_str());
    std::fprintf(out, "client sent %s in %.2f s (%s)\n", format_bytes(u.bytes_sent).c_str(),
                 u.seconds, format_rate(rate(u.bytes_sent, u.seconds)).c_str());
}

void print_rtt(const char* what, const rtt_stats& s, FILE* out) {
    std::fprintf(out, "%s median %s, 90%% %s, 99%% %s (%zu samples)\n", what,
                 format_us(s.median_us).c_str(), format_us(s.p90_us).c_str(),
                 format_us(s.p99_us).c_str(), s.count);
}

// The round trips of a latency session, before and under its load.
void print_round_trips(const latency_result& l, FILE* out) {
    const latency_summary& s = l.summary;
    print_rtt("round trips before the load (statistics requests, idle):", s.idle, out);
    std::fprintf(out, "round-trip time (tcp_rtt):\n");
    print_rtt("  first samples:", s.first, out);
    print_rtt("  under load:   ", s.loaded, out);
    responsiveness resp = make_responsiveness(s);
    if (resp.valid)
        std::fprintf(out,
                     "responsiveness: %.0f round trips per minute under load; idle %s, added "
                     "delay median %s, 90%% %s\n",
                     resp.rpm, format_us(resp.idle_rtt_us).c_str(),
                     format_us(resp.added_median_us).c_str(), format_us(resp.added_p90_us).c_str());
    else
        std::fprintf(out, "responsiveness: no round trips under load\n");
    for (const latency_conn_summary& c : s.conns)
        std::fprintf(out,
                     "  connection %zu: %zu samples, rtt median %s, retransmissions %llu, %s\n",
                     c.index, c.samples, format_us(c.rtt.median_us).c_str(),
                     static_cast<unsigned long long>(c.retransmissions),
                     format_rate(c.bits_per_second).c_str());
    std::string counts;
    for (const fetch_record& f : l.fetches) {
        size_t total = 0;
        for (size_t n : f.samples)
            total += n;
        counts += (counts.empty() ? "" : ", ") + std::to_string(total);
    }
    std::fprintf(out, "statistics fetched %zu times (samples: %s)\n", l.fetches.size(),
                 counts.c_str());
}

void print_latency(const test_report& r, FILE* out) {
    print_round_trips(r.latency, out);
    if (r.options.latency_upload)
        print_upload(r.upload, out);
    else
        print_download(r.download, out);
}

json::object rtt_json(const rtt_stats& s) {
    return json::object{
        {"count", s.count}, {"median_us", s.median_us}, {"p90_us", s.p90_us}, {"p99_us", s.p99_us}};
}

json::array numbers(const std::vector<double>& v) {
    json::array a;
    for (double x : v)
        a.push_back(x);
    return a;
}

// The client's per-interval rates of the load: columns of equal length.
json::object series_json(const std::vector<timeline_point>& timeline, double step) {
    rate_series r = make_rate_series(timeline);
    json::array per;
    for (const std::vector<double>& c : r.per_connection)
        per.push_back(numbers(c));
    return json::object{{"step_s", step},
                        {"seconds", numbers(r.seconds)},
                        {"bits_per_second", numbers(r.total)},
                        {"per_connection", std::move(per)}};
}

json::object download_json(const download_result& d) {
    json::array conns;
    for (const conn_result& c : d.conns) {
        json::object o{{"connection", c.index},
                       {"bytes", c.bytes},
                       {"bits_per_second", rate(c.bytes, d.seconds)},
                       {"drained_bytes", c.drained},
                       {"stats_length", c.stats.length}};
        if (c.stats.has_retransmissions)
            o["retransmissions"] = c.stats.retransmissions;
        else
            o["retransmissions"] = nullptr;
        conns.push_back(std::move(o));
    }
    const steady_state& s = d.steady;
    json::object steady{{"bits_per_second", nullptr},
                        {"seconds", s.seconds},
                        {"warmup_seconds", s.warmup_s},
                        {"warmup_samples", s.warmup_samples},
                        {"warmup_at_max", s.at_max}};
    if (s.valid)
        steady["bits_per_second"] = s.bits_per_second;
    return json::object{{"seconds", d.seconds},
                        {"first_reply_unix_us", d.first_reply_unix_us},
                        {"bytes", d.bytes},
                        {"bits_per_second", rate(d.bytes, d.seconds)},
                        {"steady_state", std::move(steady)},
                        {"per_connection", std::move(conns)},
                        {"throughput_series", series_json(d.timeline, d.timeline_step_s)}};
}

json::array samples_json(const std::vector<session_sample>& v) {
    json::array a;
    for (const session_sample& s : v)
        a.push_back(json::object{{"seconds", s.seconds()}, {"bytes", s.bytes}});
    return a;
}

json::array warmup_samples_json(const std::vector<session_sample>& v) {
    json::array a = samples_json(v);
    std::vector<double> rates = warmup_rates(v);
    for (size_t i = 0; i < a.size(); i++)
        a[i].as_object()["bits_per_second"] = rates[i];
    return a;
}

json::object interval_json(const interval_rate& i) {
    return json::object{
        {"seconds", i.seconds}, {"bytes", i.bytes}, {"bits_per_second", i.bits_per_second}};
}

json::object upload_json(const client_options& o, const upload_result& u) {
    json::array intervals;
    for (const interval_rate& i : u.summary.intervals)
        intervals.push_back(interval_json(i));
    json::array conns;
    for (const conn_result& c : u.conns)
        conns.push_back(json::object{{"connection", c.index},
                                     {"bytes_sent", c.bytes + c.request_bytes},
                                     {"bits_per_second", rate(c.bytes, u.seconds)}});
    return json::object{
        {"parameters", json::object{{"num_warmup_samples", o.num_warmup_samples},
                                    {"max_warmup_samples", o.max_warmup_samples},
                                    {"warmup_sample_time_ms", o.warmup_sample_time_ms},
                                    {"warmup_tolerance", o.warmup_tolerance},
                                    {"result_num_intervals", o.result_num_intervals},
                                    {"results_interval_period_s", o.results_interval_period_s}}},
        {"result", u.results.ok ? "OK" : "FAIL"},
        {"end_time", u.results.end_time},
        {"warmup", json::object{{"seconds", u.summary.warmup_seconds},
                                {"samples", u.summary.warmup_samples},
                                {"session_samples", warmup_samples_json(u.results.warmup)}}},
        {"intervals", std::move(intervals)},
        {"measurement", interval_json(u.summary.measurement)},
        {"measurement_samples", samples_json(u.results.measur)},
        {"client", json::object{{"seconds", u.seconds},
                                {"bytes_sent", u.bytes_sent},
                                {"bits_per_second", rate(u.bytes_sent, u.seconds)},
                                {"per_connection", std::move(conns)}}},
        {"throughput_series", series_json(u.timeline, u.timeline_step_s)}};
}

json::object responsiveness_json(const responsiveness& r) {
    if (!r.valid)
        return json::object{{"rpm", nullptr},
                            {"idle_rtt_us", nullptr},
                            {"added_delay_median_us", nullptr},
                            {"added_delay_p90_us", nullptr}};
    return json::object{{"rpm", r.rpm},
                        {"idle_rtt_us", r.idle_rtt_us},
                        {"added_delay_median_us", r.added_median_us},
                        {"added_delay_p90_us", r.added_p90_us}};
}

// The round trips of a latency session whose load goes `upload` or not.
json::object round_trips_json(const client_options& opts, const latency_result& l, bool upload) {
    json::array conns;
    int64_t origin = latency_origin_ms(l.final_doc, 1);
    for (const latency_conn_summary& c : l.summary.conns) {
        json::array seconds, rtts;
        for (const latency_sample& s : l.final_doc.connections[c.index]) {
            seconds.push_back(static_cast<double>(s.ts - origin) / 1000.0);
            rtts.push_back(s.tcp_rtt);
        }
        conns.push_back(json::object{{"connection", c.index},
                                     {"samples", c.samples},
                                     {"rtt", rtt_json(c.rtt)},
                                     {"retransmissions", c.retransmissions},
                                     {"bytes", c.bytes},
                                     {"seconds", c.seconds},
                                     {"bits_per_second", c.bits_per_second},
                                     {"rtt_series", json::object{{"seconds", std::move(seconds)},
                                                                 {"rtt_us", std::move(rtts)}}}});
    }
    json::array fetches;
    for (const fetch_record& f : l.fetches) {
        json::array counts;
        for (size_t n : f.samples)
            counts.push_back(n);
        fetches.push_back(json::object{{"elapsed_s", f.elapsed_s}, {"samples", std::move(counts)}});
    }
    return json::object{{"direction", upload ? "POST" : "GET"},
                        {"latency_interval_ms", opts.latency_interval_ms},
                        {"rtt_idle", rtt_json(l.summary.idle)},
                        {"rtt_first_samples", rtt_json(l.summary.first)},
                        {"rtt_under_load", rtt_json(l.summary.loaded)},
                        {"per_connection", std::move(conns)},
                        {"fetches", std::move(fetches)},
                        {"measurement_start_us", l.final_doc.measurement_start},
                        {"measurement_end_us", l.final_doc.measurement_end},
                        {"responsiveness", responsiveness_json(make_responsiveness(l.summary))}};
}

json::object latency_json(const test_report& r) {
    json::object o = round_trips_json(r.options, r.latency, r.options.latency_upload);
    if (r.options.latency_upload)
        o["upload"] = upload_json(r.options, r.upload);
    else
        o["download"] = download_json(r.download);
    return o;
}

json::object head_json(const client_options& o) {
    json::object j{
        {"test", kind_name(o.kind)}, {"server", o.server_text}, {"connections", o.connections}};
    if (o.kind == test_kind::bidir && o.bidir_latency) {
        j["latency_ids"] =
            json::object{{"download", o.latency_id}, {"upload", upload_latency_id(o)}};
    } else if (o.kind == test_kind::bidir) {
        j["unit_id"] = o.unit_id;
        j["session_ids"] =
            json::object{{"download", o.session_id}, {"upload", upload_session_id(o)}};
    } else if (o.kind == test_kind::latency) {
        j["latency_id"] = o.latency_id;
    } else {
        j["unit_id"] = o.unit_id;
        j["session_id"] = o.session_id;
    }
    return j;
}

} // namespace

void print_text_report(const test_report& r, FILE* out) {
    std::fprintf(out, "%s\n", server_line(r).c_str());
    if (!r.tls_version.empty())
        std::fprintf(out, "TLS: %s %s\n", r.tls_version.c_str(), r.tls_cipher.c_str());
    switch (r.options.kind) {
    case test_kind::download:
        print_download(r.download, out);
        break;
    case test_kind::upload:
        print_upload(r.upload, out);
        break;
    case test_kind::latency:
        print_latency(r, out);
        break;
    case test_kind::bidir:
        std::fprintf(out, "download:\n");
        if (r.options.bidir_latency)
            print_round_trips(r.latency, out);
        print_download(r.download, out);
        std::fprintf(out, "upload:\n");
        if (r.options.bidir_latency)
            print_round_trips(r.latency_up, out);
        print_upload(r.upload, out);
        break;
    }
}

std::string plain_json(const json::value& v) {
    std::string out;
    write_plain(v, out);
    return out;
}

std::string json_report(const test_report& r) {
    json::object j = head_json(r.options);
    j["ok"] = true;
    j["address"] = r.address;
    j["port"] = r.port;
    if (r.tls_version.empty())
        j["tls"] = nullptr;
    else
        j["tls"] = json::object{{"version", r.tls_version}, {"cipher", r.tls_cipher}};
    json::object body;
    switch (r.options.kind) {
    case test_kind::download:
        body = download_json(r.download);
        break;
    case test_kind::upload:
        body = upload_json(r.options, r.upload);
        break;
    case test_kind::latency:
        body = latency_json(r);
        break;
    case test_kind::bidir:
        // Each direction as its test alone reports it, and where it starts on the common axis.
        body["download"] = download_json(r.download);
        body["download"].as_object()["start_s"] = r.download.start_s;
        body["upload"] = upload_json(r.options, r.upload);
        body["upload"].as_object()["start_s"] = r.upload.start_s;
        if (r.options.bidir_latency) {
            body["latency_download"] = round_trips_json(r.options, r.latency, false);
            body["latency_upload"] = round_trips_json(r.options, r.latency_up, true);
        }
        break;
    }
    for (auto& kv : body)
        j[kv.key()] = std::move(kv.value());
    return plain_json(j);
}

namespace {

void print_line(FILE* out, const json::object& o) {
    std::fprintf(out, "%s\n", plain_json(o).c_str());
    std::fflush(out);
}

} // namespace

live_hooks json_stream_hooks(FILE* out) {
    live_hooks h;
    h.interval = [out](test_kind load, const timeline_point& prev, const timeline_point& now) {
        double dt = now.seconds - prev.seconds;
        uint64_t total = 0;
        json::array per;
        for (size_t c = 0; c < now.bytes.size(); c++) {
            uint64_t moved = now.bytes[c] - prev.bytes[c];
            total += moved;
            per.push_back(static_cast<double>(moved) * 8 / dt);
        }
        print_line(out, json::object{{"event", "interval"},
                                     {"load", kind_name(load)},
                                     {"seconds", now.seconds},
                                     {"interval_s", dt},
                                     {"bytes", total},
                                     {"bits_per_second", static_cast<double>(total) * 8 / dt},
                                     {"per_connection", std::move(per)}});
    };
    h.results = [out](const upload_result& u) {
        std::vector<double> rates = warmup_rates(u.results.warmup);
        for (size_t i = 0; i < u.results.warmup.size(); i++)
            print_line(out, json::object{{"event", "warmup_sample"},
                                         {"index", i},
                                         {"seconds", u.results.warmup[i].seconds()},
                                         {"bytes", u.results.warmup[i].bytes},
                                         {"bits_per_second", rates[i]}});
        for (size_t i = 0; i < u.results.measur.size(); i++) {
            const interval_rate& r = u.summary.intervals[i];
            print_line(out, json::object{{"event", "measurement_sample"},
                                         {"index", i},
                                         {"seconds", u.results.measur[i].seconds()},
                                         {"bytes", u.results.measur[i].bytes},
                                         {"interval_s", r.seconds},
                                         {"interval_bytes", r.bytes},
                                         {"bits_per_second", r.bits_per_second}});
        }
    };
    h.fetch = [out](const fetch_record& f, const latency_document& doc) {
        json::array counts, rtts;
        for (size_t n : f.samples)
            counts.push_back(n);
        for (const std::vector<latency_sample>& c : doc.connections) {
            if (c.empty())
                rtts.push_back(nullptr);
            else
                rtts.push_back(c.back().tcp_rtt);
        }
        print_line(out, json::object{{"event", "statistics"},
                                     {"load", kind_name(f.load)},
                                     {"elapsed_s", f.elapsed_s},
                                     {"samples", std::move(counts)},
                                     {"rtt_us", std::move(rtts)}});
    };
    h.tls = [out](const std::string& version, const std::string& cipher) {
        print_line(out, json::object{{"event", "tls"}, {"version", version}, {"cipher", cipher}});
    };
    return h;
}

std::string json_error(const client_options& o, const std::string& error) {
    json::object j = head_json(o);
    j["ok"] = false;
    j["error"] = error;
    return plain_json(j);
}

} // namespace vh_client
