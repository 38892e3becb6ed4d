// The SVG picture of a test: a title line, a legend, axes with round ticks, one polyline per
// series. Nothing in it refers to anything outside it: no script, no font, no image.
#include "plot.h"

#include "progress.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace vh_client {

namespace {

constexpr double WIDTH = 1000;
constexpr double HEIGHT = 600;
// The plot area.
constexpr double X0 = 80;
constexpr double X1 = WIDTH - 80;
constexpr double LEGEND_TOP = 62; // the legend's first row; the plot area starts below its last
constexpr double Y_BOTTOM = HEIGHT - 55;

const char* const PALETTE[] = {"#4e79a7", "#f28e2b", "#59a14f", "#b07aa1", "#76b7b2",
                               "#edc948", "#9c755f", "#ff9da7", "#bab0ac", "#e15759"};
constexpr size_t PALETTE_SIZE = sizeof(PALETTE) / sizeof(PALETTE[0]);
constexpr size_t LEGEND_CONNECTIONS = 8; // connections named in the legend, the rest summed up

// Plain decimal, the shortest that reads back the same: the report's numbers exactly.
std::string num(double v) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

std::string px(double v) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.1f", v);
    return buf;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            // Control characters are not allowed in XML 1.0.
            out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
}

struct series {
    std::string name; // data-series, and the legend's text
    std::string colour;
    double width = 1.2;
    std::string dash;   // stroke-dasharray; empty for a solid line
    bool right = false; // on the right-hand axis
    bool in_legend = true;
    std::vector<double> x, y;
};

series line(std::string name, const char* colour, double width, const char* dash = "") {
    series s;
    s.name = std::move(name);
    s.colour = colour;
    s.width = width;
    s.dash = dash;
    return s;
}

// A value axis from 0 to `max` in ticks of `step`, labelled in `unit`s.
struct axis {
    double max = 1;
    double step = 1;
    double unit = 1;
    std::string title;
};

// Round ticks (1, 2 or 5 times a power of ten), about `ticks` of them, up to at least `v`.
axis make_axis(double v, int ticks, const std::string& title) {
    axis a;
    a.title = title;
    if (!(v > 0) || !std::isfinite(v))
        v = 1;
    double raw = v / ticks;
    double p = std::pow(10, std::floor(std::log10(raw)));
    double m = raw / p;
    a.step = (m <= 1 ? 1 : m <= 2 ? 2 : m <= 5 ? 5 : 10) * p;
    a.max = std::ceil(v / a.step - 0.01) * a.step; // a hair over a tick is within the frame
    return a;
}

// A rate axis in bit/s, kbit/s, Mbit/s or Gbit/s, whichever reads best.
axis rate_axis(double v, const std::string& what) {
    const char* names[] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    double unit = 1;
    int u = 0;
    while (u < 4 && v >= unit * 1000) {
        unit *= 1000;
        u++;
    }
    axis a = make_axis(v / unit, 5, what + " (" + names[u] + ")");
    a.max *= unit;
    a.step *= unit;
    a.unit = unit;
    return a;
}

std::string tick_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.6g", v);
    return buf;
}

double max_of(const std::vector<series>& all, bool right, bool x) {
    double m = 0;
    for (const series& s : all)
        if (x || s.right == right)
            for (double v : x ? s.x : s.y)
                if (std::isfinite(v))
                    m = std::max(m, v);
    return m;
}

struct picture {
    std::string title;
    axis x, left, right;
    bool has_right = false;
    std::vector<series> lines;
    double top = 100;        // of the plot area, below the legend
    double warmup_end = -1;  // an upload's, in seconds, marked with a line
    std::string legend_note; // after the legend's entries
};

double x_px(const picture& p, double v) {
    return X0 + v / p.x.max * (X1 - X0);
}

void draw_axes(const picture& p, std::string& out) {
    out += "<g font-size=\"12\" fill=\"#333\">\n";
    for (double v = 0; v <= p.x.max * (1 + 1e-9); v += p.x.step) {
        double x = x_px(p, v);
        out += "<line x1=\"" + px(x) + "\" y1=\"" + px(p.top) + "\" x2=\"" + px(x) + "\" y2=\"" +
               px(Y_BOTTOM) + "\" stroke=\"#e4e4e4\"/>\n";
        out += "<text x=\"" + px(x) + "\" y=\"" + px(Y_BOTTOM + 18) + "\" text-anchor=\"middle\">" +
               tick_text(v) + "</text>\n";
    }
    out += "<text x=\"" + px((X0 + X1) / 2) + "\" y=\"" + px(Y_BOTTOM + 40) +
           "\" text-anchor=\"middle\">" + escape(p.x.title) + "</text>\n";
    for (const axis* a : {&p.left, &p.right}) {
        bool right = a == &p.right;
        if (right && !p.has_right)
            break;
        for (double v = 0; v <= a->max * (1 + 1e-9); v += a->step) {
            double y = Y_BOTTOM - v / a->max * (Y_BOTTOM - p.top);
            if (!right)
                out += "<line x1=\"" + px(X0) + "\" y1=\"" + px(y) + "\" x2=\"" + px(X1) +
                       "\" y2=\"" + px(y) + "\" stroke=\"#e4e4e4\"/>\n";
            out += "<text x=\"" + px(right ? X1 + 8 : X0 - 8) + "\" y=\"" + px(y + 4) +
                   "\" text-anchor=\"" + (right ? "start" : "end") + "\">" +
                   tick_text(v / a->unit) + "</text>\n";
        }
        double tx = right ? X1 + 62 : X0 - 58;
        double ty = (p.top + Y_BOTTOM) / 2;
        out += "<text x=\"" + px(tx) + "\" y=\"" + px(ty) + "\" text-anchor=\"middle\" " +
               "transform=\"rotate(-90 " + px(tx) + " " + px(ty) + ")\">" + escape(a->title) +
               "</text>\n";
    }
    out += "<rect x=\"" + px(X0) + "\" y=\"" + px(p.top) + "\" width=\"" + px(X1 - X0) +
           "\" height=\"" + px(Y_BOTTOM - p.top) + "\" fill=\"none\" stroke=\"#888\"/>\n";
    out += "</g>\n";
}

void draw_series(const picture& p, const series& s, std::string& out) {
    const axis& a = s.right ? p.right : p.left;
    // Points are in the axis's unit (Gbit/s, ms), which keeps them in the range browsers draw
    // exactly; data-y-unit turns them back into the report's numbers.
    double sx = (X1 - X0) / p.x.max;
    double sy = (Y_BOTTOM - p.top) / (a.max / a.unit);
    out += "<g transform=\"matrix(" + num(sx) + " 0 0 " + num(-sy) + " " + num(X0) + " " +
           num(Y_BOTTOM) + ")\">\n<polyline data-series=\"" + escape(s.name) + "\" data-y-unit=\"" +
           num(a.unit) + "\" points=\"";
    for (size_t i = 0; i < s.x.size(); i++)
        out +=
            (i ? " " : "") + num(s.x[i]) + "," + num(std::isfinite(s.y[i]) ? s.y[i] / a.unit : 0);
    out += "\" fill=\"none\" stroke=\"" + s.colour + "\" stroke-width=\"" + num(s.width) +
           "\" stroke-linejoin=\"round\" vector-effect=\"non-scaling-stroke\"";
    if (!s.dash.empty())
        out += " stroke-dasharray=\"" + s.dash + "\"";
    out += "/>\n</g>\n";
}

// Also places the plot area below the legend's last row.
void draw_legend(picture& p, std::string& out) {
    double x = X0, y = LEGEND_TOP;
    // Text is about 6.8 pixels a character at this size; an entry that would pass the right
    // edge starts a new row.
    auto place = [&](const std::string& text, double swatch) {
        double w = swatch + 6.8 * static_cast<double>(text.size()) + 18;
        if (x > X0 && x + w > X1 + 60) {
            x = X0;
            y += 18;
        }
        double at = x;
        x += w;
        return at;
    };
    out += "<g font-size=\"12\" fill=\"#333\">\n";
    for (const series& s : p.lines) {
        if (!s.in_legend)
            continue;
        double at = place(s.name, 24);
        out += "<line x1=\"" + px(at) + "\" y1=\"" + px(y - 4) + "\" x2=\"" + px(at + 18) +
               "\" y2=\"" + px(y - 4) + "\" stroke=\"" + s.colour + "\" stroke-width=\"" +
               num(std::max(2.0, s.width)) + "\"" +
               (s.dash.empty() ? "" : " stroke-dasharray=\"" + s.dash + "\"") + "/>\n";
        out +=
            "<text x=\"" + px(at + 24) + "\" y=\"" + px(y) + "\">" + escape(s.name) + "</text>\n";
    }
    if (!p.legend_note.empty()) {
        double at = place(p.legend_note, 0);
        out +=
            "<text x=\"" + px(at) + "\" y=\"" + px(y) + "\">" + escape(p.legend_note) + "</text>\n";
    }
    out += "</g>\n";
    p.top = y + 26;
}

std::string render(picture& p) {
    std::string legend;
    draw_legend(p, legend);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      num(WIDTH) + "\" height=\"" + num(HEIGHT) + "\" viewBox=\"0 0 " + num(WIDTH) +
                      " " + num(HEIGHT) + "\" font-family=\"sans-serif\">\n";
    out += "<defs><clipPath id=\"area\"><rect x=\"" + px(X0) + "\" y=\"" + px(p.top - 3) +
           "\" width=\"" + px(X1 - X0) + "\" height=\"" + px(Y_BOTTOM - p.top + 3) +
           "\"/></clipPath></defs>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    out += "<text x=\"" + px(X0) + "\" y=\"30\" font-size=\"15\" font-weight=\"bold\" " +
           "fill=\"#222\">" + escape(p.title) + "</text>\n";
    out += legend;
    draw_axes(p, out);
    out += "<g clip-path=\"url(#area)\">\n";
    // Drawn in reverse so that the first series (the total) lies on top.
    for (size_t i = p.lines.size(); i-- > 0;)
        draw_series(p, p.lines[i], out);
    out += "</g>\n";
    if (p.warmup_end >= 0) {
        double x = x_px(p, p.warmup_end);
        out += "<line x1=\"" + px(x) + "\" y1=\"" + px(p.top) + "\" x2=\"" + px(x) + "\" y2=\"" +
               px(Y_BOTTOM) + "\" stroke=\"#e15759\" stroke-width=\"1\"/>\n" + "<text x=\"" +
               px(x + 4) + "\" y=\"" + px(p.top + 14) +
               "\" font-size=\"12\" fill=\"#e15759\">warm-up ended</text>\n";
    }
    return out + "</svg>\n";
}

void note_unnamed(picture& p, size_t connections) {
    if (connections > LEGEND_CONNECTIONS)
        p.legend_note =
            "and " + std::to_string(connections - LEGEND_CONNECTIONS) + " more connections";
}

// The load's throughput: the total, and each connection (the first few named).
void add_throughput(picture& p, const std::vector<timeline_point>& timeline,
                    const std::vector<conn_result>& conns, const char* total_name) {
    rate_series r = make_rate_series(timeline);
    series total = line(total_name, "#1f1f1f", 2.6);
    total.x = r.seconds;
    total.y = r.total;
    p.lines.push_back(total);
    for (size_t c = 0; c < r.per_connection.size(); c++) {
        size_t index = c < conns.size() ? conns[c].index : c;
        series s = line("connection " + std::to_string(index), PALETTE[c % PALETTE_SIZE], 1.2);
        s.in_legend = c < LEGEND_CONNECTIONS;
        s.x = r.seconds;
        s.y = r.per_connection[c];
        p.lines.push_back(s);
    }
    note_unnamed(p, r.per_connection.size());
}

// The server's view of an upload: each warm-up sample's rate and the measurement intervals
// as steps, with a line where warm-up ended.
void add_upload_server(picture& p, const upload_result& u) {
    const results_reply& res = u.results;
    if (!res.warmup.empty()) {
        series w = line("server warm-up samples", "#e15759", 2, "5 3");
        std::vector<double> rates = warmup_rates(res.warmup);
        for (size_t i = 0; i < res.warmup.size(); i++) {
            w.x.push_back(res.warmup[i].seconds());
            w.y.push_back(rates[i]);
        }
        p.lines.insert(p.lines.begin() + 1, w);
    }
    if (!u.summary.intervals.empty()) {
        series m = line("server measurement intervals", "#d4a000", 2.6);
        double start = u.summary.warmup_seconds;
        for (size_t i = 0; i < u.summary.intervals.size(); i++) {
            double end = res.measur[i].seconds();
            m.x.insert(m.x.end(), {start, end});
            m.y.insert(m.y.end(), 2, u.summary.intervals[i].bits_per_second);
            start = end;
        }
        p.lines.insert(p.lines.begin() + 1, m);
    }
}

// "15,000,000"
std::string grouped(double v) {
    std::string digits = num(std::round(v));
    for (size_t i = digits.size(); i > 3 && std::isdigit(static_cast<unsigned char>(digits[i - 4]));
         i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

std::string count_text(size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// A total rate series shifted by `start_s` onto a two-way test's common time axis.
series shifted_total(std::string name, const char* colour, const std::vector<timeline_point>& tl,
                     double start_s) {
    rate_series r = make_rate_series(tl);
    series s = line(std::move(name), colour, 2.6);
    for (double x : r.seconds)
        s.x.push_back(x + start_s);
    s.y = r.total;
    return s;
}

// Both directions at once: the two totals on one time axis and the download's steady state.
std::string bidir_plot(const test_report& r, const std::string& head, const std::string& date) {
    picture p;
    const download_result& d = r.download;
    const upload_result& u = r.upload;
    p.lines.push_back(shifted_total("download, total", "#4e79a7", d.timeline, d.start_s));
    p.lines.push_back(
        shifted_total("upload, client sent, total", "#f28e2b", u.timeline, u.start_s));
    std::string figure =
        "download " + format_rate(d.seconds > 0 ? static_cast<double>(d.bytes) * 8 / d.seconds : 0);
    if (d.steady.valid) {
        series steady = line("download steady state", "#1f1f1f", 1.6, "2 3");
        double from = d.start_s + d.steady.warmup_s;
        steady.x = {from, from + d.steady.seconds};
        steady.y = {d.steady.bits_per_second, d.steady.bits_per_second};
        p.lines.push_back(steady);
        figure += " (steady " + format_rate(d.steady.bits_per_second) + ")";
    }
    figure += u.summary.intervals.empty()
                  ? ", upload: no measurement"
                  : ", upload " + format_rate(u.summary.measurement.bits_per_second);
    p.title = head + count_text(r.options.connections, "connection") + " each way · " + date +
              " · " + figure;
    p.x = make_axis(max_of(p.lines, false, true), 10, "time since the first reply (s)");
    p.left = rate_axis(max_of(p.lines, false, false), "throughput");
    return render(p);
}

} // namespace

std::string svg_plot(const test_report& r, const std::string& date) {
    const client_options& o = r.options;
    picture p;
    std::string head = std::string(kind_name(o.kind)) + " test · " + o.server_text + " · ";
    if (!r.tls_version.empty())
        head += r.tls_version + " " + r.tls_cipher + " · ";
    if (o.kind == test_kind::bidir)
        return bidir_plot(r, head, date);
    bool upload_load =
        o.kind == test_kind::upload || (o.kind == test_kind::latency && o.latency_upload);
    if (o.kind != test_kind::latency) {
        std::string figure;
        if (upload_load) {
            add_throughput(p, r.upload.timeline, r.upload.conns, "client sent, total");
            add_upload_server(p, r.upload);
            figure = r.upload.summary.intervals.empty()
                         ? "no measurement"
                         : "measured " + format_rate(r.upload.summary.measurement.bits_per_second);
            figure += std::string(", RESULT: ") + (r.upload.results.ok ? "OK" : "FAIL");
        } else {
            add_throughput(p, r.download.timeline, r.download.conns, "total");
            figure = format_rate(r.download.seconds > 0 ? static_cast<double>(r.download.bytes) *
                                                              8 / r.download.seconds
                                                        : 0);
            // The steady state: its rate from the end of the client's warm-up to the end.
            const steady_state& st = r.download.steady;
            if (st.valid) {
                series steady = line("steady state", "#1f1f1f", 1.6, "2 3");
                steady.x = {st.warmup_s, st.warmup_s + st.seconds};
                steady.y = {st.bits_per_second, st.bits_per_second};
                p.lines.push_back(steady);
                figure += ", steady " + format_rate(st.bits_per_second);
            }
        }
        p.title = head + count_text(o.connections, "connection") + " · " + date + " · " + figure;
        p.x = make_axis(max_of(p.lines, false, true), 10, "time since the first reply (s)");
        p.left = rate_axis(max_of(p.lines, false, false), "throughput");
        if (upload_load && r.upload.summary.warmup_samples > 0)
            p.warmup_end = r.upload.summary.warmup_seconds;
        else if (!upload_load && r.download.steady.valid)
            p.warmup_end = r.download.steady.warmup_s;
        return render(p);
    }

    // Latency: round trips of each load connection, the idle baseline, the load's throughput.
    const latency_result& l = r.latency;
    int64_t origin = latency_origin_ms(l.final_doc, 1);
    for (size_t c = 0; c < l.summary.conns.size(); c++) {
        size_t index = l.summary.conns[c].index;
        series s =
            line("round trip, connection " + std::to_string(index), PALETTE[c % PALETTE_SIZE], 1.4);
        s.in_legend = c < LEGEND_CONNECTIONS;
        for (const latency_sample& smp : l.final_doc.connections[index]) {
            s.x.push_back(static_cast<double>(smp.ts - origin) / 1000.0);
            s.y.push_back(static_cast<double>(smp.tcp_rtt));
        }
        p.lines.push_back(s);
    }
    note_unnamed(p, l.summary.conns.size());
    rate_series load = make_rate_series(upload_load ? r.upload.timeline : r.download.timeline);
    series tp = line("load throughput (right axis)", "#9a9a9a", 1.6, "2 2");
    tp.right = true;
    tp.x = load.seconds;
    tp.y = load.total;
    double end = std::max(max_of(p.lines, false, true), tp.x.empty() ? 0 : tp.x.back());
    const double idle_us =
        l.summary.idle.count > 0 ? l.summary.idle.median_us : l.summary.first.median_us;
    series idle = line("idle round trip (before the load)", "#1f1f1f", 2, "6 4");
    idle.x = {0, end};
    idle.y = {idle_us, idle_us};
    p.lines.insert(p.lines.begin(), idle);
    p.lines.push_back(tp);
    responsiveness resp = make_responsiveness(l.summary);
    std::string figure =
        resp.valid ? grouped(resp.rpm) + " round trips/min under load" : "no load samples";
    p.title = head + (upload_load ? "upload load · " : "download load · ") +
              count_text(o.connections, "connection") + " · " + date + " · " + figure;
    p.x = make_axis(end, 10, "time since the first sample (s)");
    axis rtt = make_axis(max_of(p.lines, false, false) / 1000, 5, "round-trip time (ms)");
    rtt.max *= 1000;
    rtt.step *= 1000;
    rtt.unit = 1000;
    p.left = rtt;
    p.right = rate_axis(max_of(p.lines, true, false), "load throughput");
    p.has_right = true;
    return render(p);
}

} // namespace vh_client
