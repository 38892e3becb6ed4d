// The client's side of the wire protocol: request texts and the parsers of every reply.
#include "protocol.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

namespace vh_client {

namespace {

template <typename T> bool to_number(std::string_view text, T* out) {
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

// A reply text shortened and with control characters made visible, for error messages.
std::string printable(std::string_view text, size_t max = 60) {
    std::string out;
    for (char c : text.substr(0, max)) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            out += '?';
        else
            out += c;
    }
    if (text.size() > max)
        out += "...";
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

uint32_t be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool has_magic(const unsigned char* p) {
    for (int i = 0; i < 8; i++)
        if (p[i] != i + 1)
            return false;
    return true;
}

// Reads the results reply one LF-terminated line at a time.
struct line_reader {
    std::string_view text;
    size_t pos = 0;
    int number = 0;

    bool next(std::string_view* line) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            return false;
        *line = text.substr(pos, end - pos);
        pos = end + 1;
        number++;
        return true;
    }
};

bool expect_line(line_reader& r, std::string_view prefix, std::string_view* rest,
                 std::string* error) {
    std::string_view line;
    if (!r.next(&line)) {
        *error = "ends before \"" + std::string(prefix) + "\"";
        return false;
    }
    if (line.substr(0, prefix.size()) != prefix) {
        *error = "line " + std::to_string(r.number) + ": expected \"" + std::string(prefix) +
                 "\", got \"" + printable(line) + "\"";
        return false;
    }
    *rest = line.substr(prefix.size());
    return true;
}

bool parse_sample_line(line_reader& r, std::string_view prefix, session_sample* s,
                       std::string* error) {
    std::string_view rest;
    if (!expect_line(r, prefix, &rest, error))
        return false;
    size_t a = rest.find(' ');
    size_t b = a == std::string_view::npos ? a : rest.find(' ', a + 1);
    if (b == std::string_view::npos || !to_number(rest.substr(0, a), &s->sec) ||
        !to_number(rest.substr(a + 1, b - a - 1), &s->nsec) ||
        !to_number(rest.substr(b + 1), &s->bytes) || s->nsec < 0 || s->nsec > 999999999) {
        *error =
            "line " + std::to_string(r.number) + ": malformed sample \"" + printable(rest) + "\"";
        return false;
    }
    return true;
}

bool parse_count_line(line_reader& r, std::string_view prefix, size_t* n, std::string* error) {
    std::string_view rest;
    if (!expect_line(r, prefix, &rest, error))
        return false;
    if (!to_number(rest, n)) {
        *error =
            "line " + std::to_string(r.number) + ": malformed count \"" + printable(rest) + "\"";
        return false;
    }
    return true;
}

bool get_int(const boost::json::object& o, const char* key, int64_t* out) {
    const boost::json::value* v = o.if_contains(key);
    if (v == nullptr)
        return false;
    if (const int64_t* i = v->if_int64()) {
        *out = *i;
        return true;
    }
    if (const uint64_t* u = v->if_uint64(); u != nullptr && *u <= INT64_MAX) {
        *out = static_cast<int64_t>(*u);
        return true;
    }
    return false;
}

bool get_uint(const boost::json::object& o, const char* key, uint64_t* out) {
    const boost::json::value* v = o.if_contains(key);
    if (v == nullptr)
        return false;
    if (const uint64_t* u = v->if_uint64()) {
        *out = *u;
        return true;
    }
    if (const int64_t* i = v->if_int64(); i != nullptr && *i >= 0) {
        *out = static_cast<uint64_t>(*i);
        return true;
    }
    return false;
}

bool parse_sample(const boost::json::value& v, latency_sample* s) {
    const boost::json::object* o = v.if_object();
    return o != nullptr && get_int(*o, "ts", &s->ts) && get_int(*o, "tcp_rtt", &s->tcp_rtt) &&
           get_int(*o, "tcp_rttvar", &s->tcp_rttvar) && get_uint(*o, "tcpi_lost", &s->tcpi_lost) &&
           get_uint(*o, "tcpi_total_retrans", &s->tcpi_total_retrans) &&
           get_uint(*o, "tcpi_retrans", &s->tcpi_retrans) &&
           get_uint(*o, "tcpi_snd_cwnd", &s->tcpi_snd_cwnd) &&
           get_uint(*o, "total_transferred", &s->total_transferred) &&
           get_uint(*o, "data_transferred", &s->data_transferred);
}

// Hands out memory until `limit` bytes are in use, then throws: bounds what a parsed document
// may take whatever its text holds.
class bounded_resource : public boost::json::memory_resource {
  public:
    explicit bounded_resource(size_t limit) : limit_(limit) {}
    size_t peak() const {
        return peak_;
    }

  private:
    void* do_allocate(size_t n, size_t align) override {
        if (n > limit_ - used_)
            throw std::bad_alloc();
        void* p = align > __STDCPP_DEFAULT_NEW_ALIGNMENT__
                      ? ::operator new(n, std::align_val_t(align))
                      : ::operator new(n);
        used_ += n;
        peak_ = std::max(peak_, used_);
        return p;
    }
    void do_deallocate(void* p, size_t n, size_t align) override {
        if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__)
            ::operator delete(p, n, std::align_val_t(align));
        else
            ::operator delete(p, n);
        used_ -= n;
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
    size_t limit_;
    size_t used_ = 0;
    size_t peak_ = 0;
};

// A sample after `prev` whose clock or counters went backwards, or whose timestamp or round
// trip is negative; nullptr when it is sound.
const char* unsound_sample(const latency_sample* prev, const latency_sample& s) {
    if (s.ts < 0)
        return "a negative timestamp";
    if (s.tcp_rtt < 0 || s.tcp_rttvar < 0)
        return "a negative round-trip time";
    if (prev == nullptr)
        return nullptr;
    if (s.ts < prev->ts)
        return "its timestamp goes backwards";
    if (s.total_transferred < prev->total_transferred ||
        s.data_transferred < prev->data_transferred)
        return "its byte counters go backwards";
    if (s.tcpi_total_retrans < prev->tcpi_total_retrans)
        return "its retransmission counter goes backwards";
    return nullptr;
}

} // namespace

bool parse_target(std::string_view text, target* out, std::string* error, bool tls) {
    out->https = false;
    if (text.starts_with("https://")) {
        out->https = true;
        text.remove_prefix(8);
    } else if (text.starts_with("http://")) {
        text.remove_prefix(7);
    }
    if (text.ends_with('/'))
        text.remove_suffix(1);
    std::string_view host = text;
    std::string_view port = out->https || tls ? "443" : "80";
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos) {
            *error = "missing ']' in \"" + std::string(text) + "\"";
            return false;
        }
        host = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                *error = "unexpected text after ']' in \"" + std::string(text) + "\"";
                return false;
            }
            port = rest.substr(1);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    unsigned port_number = 0;
    if (host.empty()) {
        *error = "no host in \"" + std::string(text) + "\"";
        return false;
    }
    if (!to_number(port, &port_number) || port_number == 0 || port_number > 65535) {
        *error = "bad port \"" + std::string(port) + "\" (expected 1 to 65535)";
        return false;
    }
    out->host = std::string(host);
    out->port = std::to_string(port_number);
    return true;
}

std::string build_test_request(const session_params& p, size_t connection) {
    const char* method = p.upload ? "POST" : "GET";
    std::string q;
    if (p.latency)
        q = std::string("LATENCY_TEST=") + method +
            "&LATENCY_INTERVAL=" + std::to_string(p.latency_interval_ms) +
            "&LATENCY_ID=" + std::to_string(p.latency_id);
    else
        q = "UNITID=" + std::to_string(p.unit_id) + "&SESSIONID=" + std::to_string(p.session_id);
    q += "&CONTROL=1&NUM_CONNECTIONS=" + std::to_string(p.num_connections) +
         "&CONNECTION=" + std::to_string(connection);
    if (p.upload)
        q += "&NUM_WARMUP_SAMPLES=" + std::to_string(p.num_warmup_samples) +
             "&MAX_WARMUP_SAMPLES=" + std::to_string(p.max_warmup_samples) +
             "&WARMUP_SAMPLE_TIME=" + std::to_string(p.warmup_sample_time_ms) +
             "&WARMUP_TOLERANCE=" + std::to_string(p.warmup_tolerance) +
             "&RESULT_NUM_INTERVALS=" + std::to_string(p.result_num_intervals) +
             "&RESULTS_INTERVAL_PERIOD=" + std::to_string(p.results_interval_period_s);
    if (!p.token.empty())
        q += "&ACCESS_TOKEN=" + p.token;
    std::string text = std::string(method) + " " + p.path + "?" + q + " HTTP/1.1\r\n";
    if (!p.host_header.empty())
        text += "Host: " + p.host_header + "\r\n";
    return text + "\r\n";
}

std::string build_statistics_request(const std::string& host_header, const std::string& token) {
    std::string text =
        "GET /results" + (token.empty() ? "" : "?ACCESS_TOKEN=" + token) + " HTTP/1.1\r\n";
    if (!host_header.empty())
        text += "Host: " + host_header + "\r\n";
    return text + "\r\n";
}

parse_state parse_reply_head(std::string_view data, reply_head* head, std::string* error) {
    // Garbage is reported at once rather than after the time-out.
    std::string_view proto = "HTTP/";
    size_t n = std::min(data.size(), proto.size());
    if (data.substr(0, n) != proto.substr(0, n)) {
        *error = "not an HTTP reply: \"" + printable(data) + "\"";
        return parse_state::malformed;
    }
    size_t end = data.find("\r\n\r\n");
    if (end == std::string_view::npos || end + 4 > MAX_REPLY_HEAD) {
        if (data.size() < MAX_REPLY_HEAD)
            return parse_state::incomplete;
        *error = "no end of the reply header within " + std::to_string(MAX_REPLY_HEAD) + " bytes";
        return parse_state::malformed;
    }
    *head = reply_head{};
    head->length = end + 4;
    std::string_view block = data.substr(0, end + 2);
    size_t eol = block.find("\r\n");
    std::string_view status = block.substr(0, eol);
    head->status_line = printable(status, 80);
    // "HTTP/x.y NNN reason"
    size_t sp = status.find(' ');
    if (sp == std::string_view::npos || status.size() < sp + 4 ||
        !to_number(status.substr(sp + 1, 3), &head->status) ||
        (status.size() > sp + 4 && status[sp + 4] != ' ')) {
        *error = "malformed status line \"" + head->status_line + "\"";
        return parse_state::malformed;
    }
    for (size_t pos = eol + 2; pos < block.size();) {
        size_t next = block.find("\r\n", pos);
        std::string_view line = block.substr(pos, next - pos);
        pos = next + 2;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            *error = "malformed header line \"" + printable(line) + "\"";
            return parse_state::malformed;
        }
        if (iequals(line.substr(0, colon), "Content-Length")) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            while (!value.empty() && value.back() == ' ')
                value.remove_suffix(1);
            if (!to_number(value, &head->content_length) || head->content_length < 0) {
                *error = "malformed Content-Length \"" + printable(value) + "\"";
                return parse_state::malformed;
            }
        }
    }
    return parse_state::complete;
}

bool parse_stats_tail(const unsigned char* tail, size_t len, stats_message* out) {
    if (len >= 16 && has_magic(tail + len - 16) && be32(tail + len - 8) == 4) {
        out->length = 16;
        out->has_retransmissions = true;
        out->retransmissions = be32(tail + len - 4);
        return true;
    }
    if (len >= 12 && has_magic(tail + len - 12) && be32(tail + len - 4) == 0) {
        out->length = 12;
        out->has_retransmissions = false;
        out->retransmissions = 0;
        return true;
    }
    return false;
}

bool results_complete(std::string_view text) {
    return text.find("\n\n") != std::string_view::npos;
}

bool parse_results_reply(std::string_view text, results_reply* out, std::string* error) {
    *out = results_reply{};
    line_reader r{text};
    std::string_view rest;
    size_t count = 0;
    if (!expect_line(r, "VARNHOLT_HTTP_REPLY", &rest, error) ||
        !expect_line(r, "VERSION: ", &rest, error) || !expect_line(r, "RESULT: ", &rest, error))
        return false;
    if (rest != "OK" && rest != "FAIL") {
        *error = "line 3: RESULT is \"" + printable(rest) + "\", not OK or FAIL";
        return false;
    }
    out->ok = rest == "OK";
    if (!expect_line(r, "END_TIME: ", &rest, error))
        return false;
    if (!to_number(rest, &out->end_time)) {
        *error = "line 4: malformed END_TIME \"" + printable(rest) + "\"";
        return false;
    }
    if (!expect_line(r, "SECTION: WARMUP", &rest, error) ||
        !parse_count_line(r, "NUM_WARMUP: ", &count, error))
        return false;
    for (size_t i = 0; i < count; i++) {
        session_sample s;
        if (!parse_sample_line(r, "WARMUP_SESSION: ", &s, error))
            return false;
        out->warmup.push_back(s);
    }
    if (!expect_line(r, "SECTION: MEASUR", &rest, error) ||
        !parse_count_line(r, "NUM_MEASUR: ", &count, error))
        return false;
    for (size_t i = 0; i < count; i++) {
        session_sample s;
        if (!parse_sample_line(r, "MEASUR_SESSION: ", &s, error))
            return false;
        out->measur.push_back(s);
    }
    std::string_view last;
    if (!r.next(&last) || !last.empty()) {
        *error = "no empty line after the last sample";
        return false;
    }
    if (!out->measur.empty() && out->warmup.empty()) {
        *error = "measurement samples without warm-up samples";
        return false;
    }
    // A failed test may have lost a connection's bytes from its later sums; its counts are
    // reported as they are.
    const session_sample* prev = nullptr;
    size_t n = 0;
    for (const std::vector<session_sample>* part : {&out->warmup, &out->measur}) {
        for (size_t i = 0; i < part->size(); i++, n++) {
            const session_sample& s = (*part)[i];
            const char* what = nullptr;
            if (s.sec < 0)
                what = "a negative time";
            else if (prev != nullptr && s.seconds() <= prev->seconds())
                what = "a time not after the previous sample's";
            else if (out->ok && i > 0 && s.bytes < (*part)[i - 1].bytes)
                what = "fewer bytes than the previous sample";
            if (what != nullptr) {
                *error = std::string(part == &out->warmup ? "warm-up" : "measurement") +
                         " sample " + std::to_string(i + 1) + " has " + what;
                return false;
            }
            prev = &s;
        }
    }
    return true;
}

upload_summary summarize_results(const results_reply& r) {
    upload_summary s;
    s.warmup_samples = r.warmup.size();
    double start = r.warmup.empty() ? 0 : r.warmup.back().seconds();
    s.warmup_seconds = start;
    double prev_t = start;
    uint64_t prev_b = 0;
    for (const session_sample& m : r.measur) {
        interval_rate i;
        i.seconds = m.seconds() - prev_t;
        i.bytes = m.bytes >= prev_b ? m.bytes - prev_b : 0;
        i.bits_per_second = i.seconds > 0 ? static_cast<double>(i.bytes) * 8 / i.seconds : 0;
        s.intervals.push_back(i);
        prev_t = m.seconds();
        prev_b = m.bytes;
    }
    if (!r.measur.empty()) {
        s.measurement.seconds = r.measur.back().seconds() - start;
        s.measurement.bytes = r.measur.back().bytes;
        if (s.measurement.seconds > 0)
            s.measurement.bits_per_second =
                static_cast<double>(s.measurement.bytes) * 8 / s.measurement.seconds;
    }
    return s;
}

std::vector<double> warmup_rates(const std::vector<session_sample>& warmup) {
    std::vector<double> rates;
    double prev_t = 0, prev_b = 0;
    for (const session_sample& s : warmup) {
        double dt = s.seconds() - prev_t;
        double b = static_cast<double>(s.bytes);
        rates.push_back(dt > 0 ? (b - prev_b) * 8 / dt : 0);
        prev_t = s.seconds();
        prev_b = b;
    }
    return rates;
}

bool parse_latency_document(std::string_view json, latency_document* out, std::string* error) {
    *out = latency_document{};
    size_t limit = json.size() * DOCUMENT_MEMORY_FACTOR + (64 << 10);
    bounded_resource memory(limit);
    boost::json::error_code ec;
    std::optional<boost::json::value> parsed; // in `memory`, which outlives it
    try {
        parsed.emplace(boost::json::parse(json, ec, &memory));
    } catch (const std::bad_alloc&) {
        *error = "parsing it would take more than " + std::to_string(limit) + " bytes";
        return false;
    }
    if (ec) {
        *error = "not valid JSON (" + ec.message() + ")";
        return false;
    }
    const boost::json::object* o = parsed->if_object();
    if (o == nullptr) {
        *error = "the document is not a JSON object";
        return false;
    }
    for (auto [key, field] : {std::pair{"protocol_version", &out->protocol_version},
                              {"serverside_start", &out->serverside_start},
                              {"start_timestamp", &out->start_timestamp},
                              {"measurement_start", &out->measurement_start},
                              {"measurement_end", &out->measurement_end}}) {
        if (!get_int(*o, key, field)) {
            *error = std::string("missing or non-integer \"") + key + "\"";
            return false;
        }
    }
    const boost::json::value* conns = o->if_contains("connections");
    if (conns == nullptr || !conns->is_array()) {
        *error = "missing \"connections\" array";
        return false;
    }
    for (const boost::json::value& c : conns->get_array()) {
        const boost::json::object* co = c.if_object();
        const boost::json::value* samples = co ? co->if_contains("samples") : nullptr;
        if (samples == nullptr || !samples->is_array()) {
            *error = "connection " + std::to_string(out->connections.size()) +
                     " has no \"samples\" array";
            return false;
        }
        std::vector<latency_sample>& dest = out->connections.emplace_back();
        for (const boost::json::value& sv : samples->get_array()) {
            latency_sample s;
            if (!parse_sample(sv, &s)) {
                *error = "connection " + std::to_string(out->connections.size() - 1) +
                         ": malformed sample " + std::to_string(dest.size());
                return false;
            }
            if (const char* why = unsound_sample(dest.empty() ? nullptr : &dest.back(), s)) {
                *error = "connection " + std::to_string(out->connections.size() - 1) + ": sample " +
                         std::to_string(dest.size()) + ": " + why;
                return false;
            }
            dest.push_back(s);
        }
    }
    return true;
}

double percentile(std::vector<int64_t> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    rank = std::clamp<size_t>(rank, 1, values.size());
    return static_cast<double>(values[rank - 1]);
}

rtt_stats make_rtt_stats(const std::vector<int64_t>& rtts) {
    rtt_stats s;
    s.count = rtts.size();
    s.median_us = percentile(rtts, 50);
    s.p90_us = percentile(rtts, 90);
    s.p99_us = percentile(rtts, 99);
    return s;
}

latency_summary summarize_latency(const latency_document& doc, size_t first_load) {
    latency_summary sum;
    std::vector<int64_t> first, loaded;
    for (size_t i = first_load; i < doc.connections.size(); i++) {
        const std::vector<latency_sample>& s = doc.connections[i];
        latency_conn_summary c;
        c.index = i;
        c.samples = s.size();
        if (!s.empty()) {
            first.push_back(s.front().tcp_rtt);
            // Samples after which the connection moved data: the load is on.
            std::vector<int64_t> mine;
            size_t last_active = 0;
            for (size_t j = 1; j < s.size(); j++) {
                if (s[j].data_transferred > s[j - 1].data_transferred) {
                    mine.push_back(s[j].tcp_rtt);
                    last_active = j;
                }
            }
            loaded.insert(loaded.end(), mine.begin(), mine.end());
            c.rtt = make_rtt_stats(mine);
            c.retransmissions = s.back().tcpi_total_retrans;
            c.bytes = s[last_active].data_transferred - s.front().data_transferred;
            c.seconds = static_cast<double>(s[last_active].ts - s.front().ts) / 1000.0;
            if (c.seconds > 0)
                c.bits_per_second = static_cast<double>(c.bytes) * 8 / c.seconds;
        }
        sum.conns.push_back(c);
    }
    sum.first = make_rtt_stats(first);
    sum.loaded = make_rtt_stats(loaded);
    return sum;
}

int64_t latency_origin_ms(const latency_document& doc, size_t first_load) {
    bool any = false;
    int64_t origin = 0;
    for (size_t i = first_load; i < doc.connections.size(); i++) {
        if (doc.connections[i].empty())
            continue;
        origin =
            any ? std::min(origin, doc.connections[i].front().ts) : doc.connections[i].front().ts;
        any = true;
    }
    return origin;
}

responsiveness make_responsiveness(const latency_summary& s) {
    responsiveness r;
    if (s.loaded.count == 0 || s.loaded.median_us <= 0)
        return r;
    r.valid = true;
    r.rpm = 60000.0 / (s.loaded.median_us / 1000.0);
    r.idle_rtt_us = s.idle.count > 0 ? s.idle.median_us : s.first.median_us;
    r.added_median_us = s.loaded.median_us - r.idle_rtt_us;
    r.added_p90_us = s.loaded.p90_us - r.idle_rtt_us;
    return r;
}

} // namespace vh_client
