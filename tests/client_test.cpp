// The client: protocol functions, whole tests against the real server, misbehaving servers.
#include "plot.h"
#include "progress.h"
#include "protocol.h"
#include "report.h"
#include "test_support.h"

#include <algorithm>
#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <future>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vh_client;
using namespace vh_test;
namespace json = boost::json;

namespace {

constexpr auto npos = std::string::npos;

// ---------------------------------------------------------------------------------------
// Running the client

struct client_run {
    int status = -1; // exit status; 137 when killed for taking too long
    std::string out, err;
    double seconds = 0;
};

// Where the clients' output, their pictures and certificates go, removed at the end.
const temp_dir dir;

// Runs the client with the arguments in `args` (words for the shell), its standard output and
// error passing through the files `<files>.out` and `<files>.err`, its standard error (`on_pty`)
// through a terminal first; killed 40 s after its start (status 137).
client_run run_client(const std::string& args, bool on_pty = false,
                      const std::string& files = dir + "/run") {
    const std::string client = "timeout -s KILL 40 " VH_CLIENT_PATH " " + args + " >" + files,
                      err = files + ".err";
    const auto start = steady::now();
    const int status =
        std::system((on_pty ? "script -qfec '" + client + ".out' /dev/null </dev/null >" + err
                            : client + ".out 2>" + err)
                        .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(files + ".out"), read_file(err),
            std::chrono::duration<double>(steady::now() - start).count()};
}

const auto num = [](const json::value& v) { return v.to_number<double>(); };
const auto count = [](const json::value& v) { return v.to_number<uint64_t>(); };

// The lines of a --json-stream run: the count of each event, and the report as the last line.
// Each interval line must give its own length and rate: the time since the line before it of the
// same load (the first: since the start), and its bytes over that time.
std::pair<json::object, std::map<std::string, size_t>> parse_stream(const client_run& run) {
    std::istringstream in(run.out);
    std::string line;
    std::map<std::string, size_t> events;
    std::map<std::string, double> lasts;
    while (std::getline(in, line) && line.starts_with("{\"event\"")) {
        json::object o = json::parse(line).as_object();
        if (events[std::string(o.at("event").as_string())]++, o.at("event") != "interval")
            continue;
        double& last = lasts[std::string(o.at("load").as_string())];
        const double dt = num(o.at("interval_s"));
        EXPECT_NEAR(dt, num(o.at("seconds")) - last, 1e-6) << line;
        EXPECT_NEAR(num(o.at("bits_per_second")), num(o.at("bytes")) * 8 / dt, 1e-3) << line;
        last = num(o.at("seconds"));
    }
    return {json::parse(line).as_object(), events};
}

// ---------------------------------------------------------------------------------------
// The --plot picture

using points = std::vector<std::pair<double, double>>;

// Checks that the picture is an SVG document (a declaration, one <svg> root, tags that open and
// close alike) with no outside reference, names the test, draws `series` polylines (and the steady
// state of a download that has one), and plots the report's throughput series, total and per
// connection, and that steady state, point by point in the report's units.
void expect_plot_matches(const std::string& path, const json::object& report, size_t series) {
    std::string svg = read_file(path);
    EXPECT_EQ(count_occurrences(svg, "url("), count_occurrences(svg, "url(#"));
    EXPECT_NE(svg.find(std::string(report.at("server").as_string()) + " · "), npos);
    EXPECT_TRUE(svg.starts_with("<?xml ") && svg.ends_with("</svg>\n") &&
                count_occurrences(svg, "<svg") == 1 &&
                count_occurrences(svg, "<") == count_occurrences(svg, ">") &&
                count_occurrences(svg, "<g") == count_occurrences(svg, "</g>"));
    // Every position drawn lies on the canvas the root declares: within half its size of its
    // middle.
    std::smatch box;
    ASSERT_TRUE(std::regex_search(svg, box, std::regex(" viewBox=\"0 0 (\\S+) (\\S+)\"")));
    const double half[] = {std::stod(box[1]) / 2, std::stod(box[2]) / 2};
    const std::regex position(" ([xy])[12]?=\"([^\"]*)\"");
    for (std::sregex_iterator m(svg.begin(), svg.end(), position), end; m != end; ++m)
        EXPECT_NEAR(std::stod(m->str(2)), half[m->str(1) == "y"], half[m->str(1) == "y"]);
    std::map<std::string, points> want, got;
    const std::string test(report.at("test").as_string());
    const bool bidir = test == "bidir";
    // A load's throughput series `ys` (its total, or a connection's); a two-way test's on the
    // common axis, from where the load started.
    const auto add = [&](const std::string& name, const json::value& load, const std::string& ys) {
        const json::array& xs = load.at_pointer("/throughput_series/seconds").as_array();
        for (size_t i = 0; i < xs.size(); i++)
            want[name].emplace_back(num(xs[i]) + (bidir ? num(load.at("start_s")) : 0),
                                    num(load.at_pointer("/throughput_series/" + ys).at(i)));
    };
    const json::value& load =
        bidir || test == "latency"
            ? report.contains("download") ? report.at("download") : report.at("upload")
            : report;
    if (bidir)
        add("upload, client sent, total", report.at("upload"), "bits_per_second");
    add(bidir                ? "download, total"
        : test == "download" ? "total"
        : test == "upload"   ? "client sent, total"
                             : "load throughput (right axis)",
        load, "bits_per_second");
    const size_t conns = load.at("throughput_series").at("per_connection").as_array().size();
    for (size_t i = 0; (test == "download" || test == "upload") && i < conns; i++)
        add("connection " + std::to_string(i), load, "per_connection/" + std::to_string(i));
    // A download's steady state, when it has one, from the end of its warm-up to the end.
    if (test != "latency" && test != "upload" &&
        !load.at("steady_state").at("bits_per_second").is_null()) {
        const json::value& st = load.at("steady_state");
        const double from = num(st.at("warmup_seconds")) + (bidir ? num(load.at("start_s")) : 0),
                     bps = num(st.at("bits_per_second"));
        want[bidir ? "download steady state" : "steady state"] = {
            {from, bps}, {from + num(st.at("seconds")), bps}};
        series++;
    }
    for (size_t tag = 0; (tag = svg.find("<polyline ", tag + 1)) != npos;) {
        const auto attribute = [&](const std::string& key) {
            const size_t at = svg.find(" " + key + "=\"", tag) + key.size() + 3;
            EXPECT_TRUE(at > tag && at < svg.find('>', tag)) << key;
            return svg.substr(at, svg.find('"', at) - at);
        };
        points& p = got[attribute("data-series")]; // twice: more points than the report's
        std::istringstream in(attribute("points"));
        for (std::string xy; in >> xy;)
            p.emplace_back(std::stod(xy), std::stod(xy.substr(xy.find(',') + 1)) *
                                              std::stod(attribute("data-y-unit")));
    }
    ASSERT_EQ(got.size(), series);
    for (auto& [name, p] : want) {
        SCOPED_TRACE(name);
        ASSERT_EQ(got[name].size(), p.size()) << "not in the report, or twice";
        for (size_t i = 0; i < p.size(); i++) {
            EXPECT_NEAR(got[name][i].first, p[i].first, 1e-9 * std::max(1.0, p[i].first));
            EXPECT_NEAR(got[name][i].second, p[i].second, 1e-9 * std::max(1.0, p[i].second));
        }
    }
}

// ---------------------------------------------------------------------------------------
// Protocol functions

// A reply head `total` bytes long, ending with `end`.
std::string padded_head(size_t total, const std::string& end) {
    return "HTTP/1.1 200 OK\r\nX: " + std::string(total - 20 - end.size(), 'a') + end;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

// Heads are read up to MAX_REPLY_HEAD bytes; garbage is recognised from its first bytes. The
// stats message ends a download's stream in its long or short form. Results whose clock or byte
// counts go backwards are refused, not taken as huge intervals; so is a measurement that starts
// no later than the warm-up's end.
TEST(ClientProtocol, ReplyHeadsToTheirLimitStatsMessagesAndResultsNeverGoingBackwards) {
    using enum parse_state;
    const std::pair<std::string, parse_state> cases[] = {
        {"HT", incomplete},
        {"hello", malformed},
        {"HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\n", malformed},
        {"HTTP/1.1 200 OK\r\ncontent-length:  7  \r\n\r\n", complete}, // any case, spaces
        {padded_head(MAX_REPLY_HEAD, "\r\n\r\n"), complete},
        {padded_head(MAX_REPLY_HEAD + 1, "\r\n\r\n"), malformed},
        {padded_head(MAX_REPLY_HEAD - 1, ""), incomplete},
        {padded_head(MAX_REPLY_HEAD, ""), malformed}};
    reply_head h;
    std::string why;
    for (const auto& [text, state] : cases)
        EXPECT_EQ(parse_reply_head(text, &h, &why), state) << text.substr(0, 40) << text.size();
    ASSERT_EQ(parse_reply_head(GET_REPLY + "data", &h, &why), complete);
    EXPECT_EQ(std::tuple(h.status, h.length, h.content_length),
              std::tuple(200, GET_REPLY.size(), 500000000000LL));

    const unsigned char full[] = {'x', 'y', 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 4, 0, 0, 1, 2};
    const unsigned char short_form[] = {9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0};
    const unsigned char wrong_size[] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 5, 0, 0, 0, 0};
    stats_message s;
    EXPECT_TRUE(parse_stats_tail(full + 2, 16, &s) && s.length == 16 && s.has_retransmissions &&
                s.retransmissions == 258);
    EXPECT_TRUE(parse_stats_tail(short_form, 16, &s) && s.length == 12 && !s.has_retransmissions);
    // One byte lost, a wrong length, too short.
    EXPECT_FALSE(parse_stats_tail(full + 2, 15, &s) || parse_stats_tail(wrong_size, 16, &s) ||
                 parse_stats_tail(full, 8, &s));

    const std::string ok = "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: OK\nEND_TIME: 1700000000\n"
                           "SECTION: WARMUP\nNUM_WARMUP: 2\n"
                           "WARMUP_SESSION: 0 500000000 1000\nWARMUP_SESSION: 1 0 2000\n"
                           "SECTION: MEASUR\nNUM_MEASUR: 2\n"
                           "MEASUR_SESSION: 2 0 4000\nMEASUR_SESSION: 3 500000000 10000\n\n";
    EXPECT_TRUE(results_complete(ok) && !results_complete(ok.substr(0, ok.size() - 1)));
    results_reply r;
    std::string err;
    ASSERT_TRUE(parse_results_reply(ok, &r, &err)) << err;
    EXPECT_TRUE(r.ok && r.end_time == 1700000000);
    upload_summary sum = summarize_results(r);
    EXPECT_EQ(std::tuple(sum.warmup_samples, sum.warmup_seconds, sum.intervals.size()),
              std::tuple(2u, 1.0, 2u));
    // Measurement bytes count from the end of warm-up: intervals are differences.
    const interval_rate* got[] = {&sum.intervals[0], &sum.intervals[1], &sum.measurement};
    const std::pair<uint64_t, double> want[] = {{4000, 1.0}, {6000, 1.5}, {10000, 2.5}};
    for (size_t i = 0; i < 3 && sum.intervals.size() == 2; i++)
        EXPECT_EQ(std::tuple(got[i]->bytes, got[i]->seconds, got[i]->bits_per_second),
                  std::tuple(want[i].first, want[i].second, 32000.0));
    // A failed test's sums may lose a dropped connection's bytes: reported as they are.
    std::string shrinking = replaced(ok, "3 500000000 10000", "3 500000000 3999");
    EXPECT_TRUE(parse_results_reply(replaced(shrinking, "RESULT: OK", "RESULT: FAIL"), &r, &err) &&
                !r.ok);
    for (const std::string& bad :
         {replaced(ok, "NUM_WARMUP: 2", "NUM_WARMUP: 3"),
          replaced(ok, "0 500000000 1000", "0 5000000000 1000"),
          replaced(ok, "VARNHOLT_HTTP_REPLY", "SOMETHING_ELSE"), ok.substr(0, ok.size() - 1),
          shrinking, replaced(ok, "1 0 2000", "0 400000000 2000"),
          replaced(ok, "0 500000000 1000", "-1 500000000 1000"),
          replaced(ok, "2 0 4000", "1 0 4000")})
        EXPECT_FALSE(parse_results_reply(bad, &r, &err) || err.empty()) << bad;
    EXPECT_EQ(err, "measurement sample 1 has a time not after the previous sample's");
}

std::string sample_json(int64_t ts, int64_t rtt, int data, int retrans = 0) {
    return "{\"ts\":" + std::to_string(ts) + ",\"tcp_rtt\":" + std::to_string(rtt) +
           ",\"tcp_rttvar\":1,\"tcpi_lost\":0,\"tcpi_total_retrans\":" + std::to_string(retrans) +
           ",\"tcpi_retrans\":0,\"tcpi_snd_cwnd\":10,\"total_transferred\":" +
           std::to_string(data) + ",\"data_transferred\":" + std::to_string(data) + "}";
}

// A statistics document whose connections hold these samples (JSON texts, joined).
std::string document(const std::vector<std::vector<std::string>>& conns) {
    std::string doc = "{\"protocol_version\":1,\"serverside_start\":5,\"start_timestamp\":6,"
                      "\"measurement_start\":0,\"measurement_end\":0,\"connections\":[";
    for (size_t c = 0; c < conns.size(); c++) {
        doc += (c ? ",{\"samples\":[" : "{\"samples\":[");
        for (size_t i = 0; i < conns[c].size(); i++)
            doc += (i ? "," : "") + conns[c][i];
        doc += "]}";
    }
    return doc + "]}";
}

// A statistics document splits first samples from loaded ones; a hostile server's samples are
// refused: clock or counters going backwards (an unsigned difference would wrap to about 1.8e19
// bytes), negative timestamps or round trips.
TEST(ClientProtocol, HostileLatencyDocumentsRefusedRatherThanWrapped) {
    // Connection 0 is the control connection; connection 1 moves data until ts 300, then
    // idles; connection 2 has no samples yet.
    std::string doc = document({{sample_json(100, 50, 10)},
                                {sample_json(100, 40, 1000), sample_json(200, 900, 3000),
                                 sample_json(300, 700, 5000), sample_json(400, 60, 5000, 2)},
                                {}});
    latency_document d;
    std::string why;
    ASSERT_TRUE(parse_latency_document(doc, &d, &why)) << why;
    ASSERT_EQ(d.connections.size(), 3u);
    latency_summary s = summarize_latency(d, 1);
    // The idle last sample is not under load.
    EXPECT_EQ(std::tuple(d.connections[1].size(), s.first.count, s.first.median_us, s.loaded.count,
                         s.loaded.median_us, s.loaded.p99_us),
              std::tuple(4u, 1u, 40.0, 2u, 700.0, 900.0));
    ASSERT_EQ(s.conns.size(), 2u);
    EXPECT_EQ(std::tuple(s.conns[0].retransmissions, s.conns[0].bytes, s.conns[1].samples),
              std::tuple(2u, 4000u, 0u));
    EXPECT_DOUBLE_EQ(s.conns[0].bits_per_second, 4000 * 8 / 0.2);
    responsiveness resp = make_responsiveness(s);
    EXPECT_TRUE(resp.valid && !make_responsiveness(latency_summary{}).valid);
    EXPECT_EQ(std::tuple(resp.idle_rtt_us, resp.added_median_us, resp.added_p90_us),
              std::tuple(40.0, 660.0, 860.0));
    // Round trips measured before the load are the idle baseline, when there are any.
    s.idle = make_rtt_stats({30, 10, 20});
    resp = make_responsiveness(s);
    EXPECT_EQ(std::tuple(resp.idle_rtt_us, resp.added_median_us), std::tuple(20.0, 680.0));
    // Its picture: round ticks up to the longest round trip and the last sample, responsiveness
    // with its thousands grouped, the plot area below the legend's two rows.
    test_report rep;
    rep.options.kind = test_kind::latency;
    rep.latency = {{}, d, s};
    const std::string svg = svg_plot(rep, "today");
    std::string ticks;
    for (const std::string tag : {"\"end\">", "\"middle\">"})
        for (size_t at = 0; (at = svg.find(tag, at + 1)) != npos;)
            ticks += svg.substr(at + tag.size(), svg.find('<', at) - at - tag.size()) + " ";
    EXPECT_EQ(ticks,
              "0 0.2 0.4 0.6 0.8 1 0 0.05 0.1 0.15 0.2 0.25 0.3 time since the first sample (s) ");
    EXPECT_NE(svg.find(" · today · 85,714 round trips/min under load</text>"), npos);
    // Its entries share a row while they fit: two rows of them.
    const size_t legend = svg.find("<g font-size"), end = svg.find("</g>", legend);
    std::set<double> rows;
    for (size_t at = legend; (at = svg.find(" y=\"", at + 1)) < end;)
        rows.insert(std::stod(svg.substr(at + 4)));
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_LT(*rows.rbegin() + 12,
              std::stod(svg.substr(svg.find("<rect x=\"80.0\" y=\"", end) + 18)));
    // The idle baseline lies at the round trips before the load, not at the first samples.
    std::smatch idle;
    ASSERT_TRUE(std::regex_search(
        svg, idle, std::regex("the load\\)\" data-y-unit=\"(\\S+)\" points=\"\\S+,(\\S+)")));
    EXPECT_DOUBLE_EQ(std::stod(idle[1]) * std::stod(idle[2]), 20.0);
    // Of ten connections, the legend names eight and sums up the rest.
    test_report many;
    many.options.kind = test_kind::download;
    for (uint64_t t : {0, 1, 2})
        many.download.timeline.push_back({t * 0.5, std::vector<uint64_t>(10, t * 1000000)});
    const std::string crowded = svg_plot(many, "today");
    EXPECT_TRUE(crowded.find(">connection 7<") != npos && crowded.find(">connection 8<") == npos &&
                crowded.find(">and 2 more connections<") != npos)
        << crowded;
    // An upload that never warmed up has no mark where its warm-up ended.
    many.options.kind = test_kind::upload;
    many.upload.timeline = many.download.timeline;
    EXPECT_EQ(svg_plot(many, "today").find("warm-up ended"), npos);
    for (const std::string& bad :
         {std::string("{\"protocol_version\":1"), std::string("[1,2]"),
          doc.substr(0, doc.find(",\"connections\"")) + "}",
          replaced(doc, "\"tcp_rtt\":50", "\"tcp_rtt\":1.5"),
          document({{}, {sample_json(100, 40, 1000), sample_json(99, 40, 2000)}}),
          document({{}, {sample_json(100, 40, 1000), sample_json(200, 40, 999)}}),
          document({{}, {sample_json(100, 40, 1000, 3), sample_json(200, 40, 2000, 2)}}),
          document({{}, {sample_json(-100, 40, 1000)}}),
          document({{}, {sample_json(100, -40, 1000)}})})
        EXPECT_FALSE(parse_latency_document(bad, &d, &why)) << bad;
    EXPECT_NE(why.find("negative round-trip time"), npos) << why;
    // The parse memory allowed for a document's length (see the scripted servers for one
    // refused) is enough for samples of the longest numbers and of the shortest.
    const std::string big = replaced(sample_json(INT64_MAX, INT64_MAX, 1), "\"tcpi_lost\":0",
                                     "\"tcpi_lost\":18446744073709551615");
    for (const std::string& sample : {big, sample_json(1, 1, 1)})
        EXPECT_TRUE(
            parse_latency_document(document({std::vector<std::string>(10000, sample)}), &d, &why))
            << why;
}

// A download's steady state starts where the client finds its rate stable, as the server does
// for uploads: after a slow start, at the first window of stable samples; at the maximum when
// it never holds still; not at all when the load ends before that, or just after it.
TEST(ClientProtocol, TheSteadyStateStartsAfterAWarmUpTheClientDetects) {
    // Rates per half second (bytes per second), as a timeline of two connections every 0.1 s.
    auto timeline = [](const std::vector<double>& rates) {
        std::vector<timeline_point> t{{0, {0, 0}}};
        double bytes = 0;
        for (size_t i = 0; i < rates.size() * 5; i++) {
            bytes += rates[i / 5] * 0.1;
            t.push_back({double(i + 1) / 10, {uint64_t(bytes / 2), uint64_t(bytes / 2)}});
        }
        return t;
    };
    steady_state s =
        find_steady_state(timeline({10, 20, 40, 80, 100, 104, 96, 100, 100, 100}), 0.5, 3, 20, 10);
    EXPECT_EQ(std::tuple(s.valid, s.at_max, s.warmup_samples, s.warmup_s, s.seconds),
              std::tuple(true, false, 7u, 3.5, 1.5));
    EXPECT_NEAR(s.bits_per_second, 800, 2);
    s = find_steady_state(timeline({100, 10, 100, 10, 100, 10, 100, 10}), 0.5, 2, 4, 10);
    EXPECT_EQ(std::tuple(s.valid, s.at_max, s.warmup_samples, s.warmup_s),
              std::tuple(true, true, 4u, 2.0));
    EXPECT_NEAR(s.bits_per_second, 55 * 8, 2);
    // A window of one sample: the first one ends the warm-up.
    EXPECT_EQ(find_steady_state(timeline({100, 100, 100}), 0.5, 1, 20, 10).warmup_samples, 1u);
    EXPECT_FALSE(find_steady_state(timeline({10, 20, 40, 80}), 0.5, 3, 20, 10).valid ||
                 find_steady_state(timeline({100, 100, 100, 100}), 0.5, 4, 20, 10).valid);
}

// Report numbers are plain decimals; the text's units change at each thousand up to tera, with
// whole bytes below a kilobyte; a target's port lies in 1..65535.
TEST(ClientProtocol, NumbersInTheirFormsAndTargetsKeepTheirPortRange) {
    EXPECT_EQ(format_bytes(999) + ", " + format_bytes(1000) + ", " + format_bytes(UINT64_MAX) +
                  ", " + format_rate(999.994) + ", " + format_rate(2.5e15),
              "999 B, 1.00 kB, 18446744.07 TB, 999.99 bit/s, 2500.00 Tbit/s");
    json::object o = json::parse("{\"a\":2.000011573,\"b\":7.58e9,\"c\":1e-7,\"d\":"
                                 "18446744073709551615,\"e\":-3,\"g\":\"x\\\"y\"}")
                         .as_object();
    o["f"] = std::nan("");
    EXPECT_EQ(plain_json(o), "{\"a\":2.000011573,\"b\":7580000000,\"c\":0.0000001,"
                             "\"d\":18446744073709551615,\"e\":-3,\"g\":\"x\\\"y\",\"f\":null}");
    target t;
    std::string why;
    // A bare IPv6 address takes the default port; brackets are no part of the host.
    // A scheme says whether TLS is wanted and which port is the default.
    for (const std::string parts :
         {"fe80::1 fe80::1 80", "[::1]:81 ::1 81", "h:1 h 1", "h:65535 h 65535",
          "speed.example speed.example 80", "https://h h 443 tls", "http://h:81/ h 81",
          "https://[::1]:8443/ ::1 8443 tls", "https://fe80::1 fe80::1 443 tls"}) {
        ASSERT_TRUE(parse_target(parts.substr(0, parts.find(' ')), &t, &why)) << parts;
        EXPECT_EQ(" " + t.host + " " + t.port + (t.https ? " tls" : ""),
                  parts.substr(parts.find(' ')));
    }
    ASSERT_TRUE(parse_target("h", &t, &why, true));
    EXPECT_EQ(std::tuple(t.port, t.https), std::tuple("443", false));
    for (const char* bad :
         {"", "h:", "h:0", "h:65536", "h:8o", "[::1", "[::1]x", ":80", "https://", "ftp://h"})
        EXPECT_FALSE(parse_target(bad, &t, &why)) << bad;
    // Each whole-number option takes its top (the run then fails at its unreachable target,
    // status 1) and refuses one more (status 2).
    std::istringstream tops("connections 256 unit-id 4294967295 session-id 4294967295 "
                            "warmup-samples 10000 max-warmup-samples 10000 warmup-sample-time "
                            "60000 warmup-tolerance 100 intervals 10000 interval-period 3600");
    std::string option;
    for (uint64_t top; tops >> option >> top;)
        for (const uint64_t value : {top, top + 1})
            EXPECT_EQ(run_client("upload --max-warmup-samples 10000 --" + option + " " +
                                 std::to_string(value) + " 127.0.0.1:1")
                          .status,
                      value == top ? 1 : 2)
                << option << " " << value;
}

// ---------------------------------------------------------------------------------------
// Whole tests against the real server

// A download's report: what each connection received (the whole stats message among what it
// drained) sums up, over the test's duration, and the client's own timeline accounts for it.
void expect_download_consistent(const json::value& d, size_t conns, double duration) {
    const json::array& per = d.at("per_connection").as_array();
    ASSERT_EQ(per.size(), conns);
    uint64_t sum = 0;
    for (const json::value& c : per) {
        sum += count(c.at("bytes"));
        EXPECT_TRUE(count(c.at("bytes")) > 0 && count(c.at("stats_length")) == 16 &&
                    count(c.at("drained_bytes")) >= 16 && c.at("retransmissions").is_number())
            << c;
    }
    const double seconds = num(d.at("seconds")), bps = num(d.at("bits_per_second"));
    EXPECT_EQ(sum, count(d.at("bytes")));
    EXPECT_TRUE(seconds >= duration && seconds < duration + 1.0) << seconds;
    EXPECT_NEAR(bps, double(sum) * 8 / seconds, 1e-6 * bps);
    // The timeline ends at the half-close and accounts for what arrived, but for data that
    // came behind the first reply (at most one 16 KiB read).
    const json::value& series = d.at("throughput_series");
    const json::array &at = series.at("seconds").as_array(),
                      &total = series.at("bits_per_second").as_array();
    ASSERT_GE(at.size(), 2u);
    ASSERT_EQ(std::tuple(total.size(), series.at("per_connection").as_array().size()),
              std::tuple(at.size(), conns));
    EXPECT_EQ(num(at.back()), seconds);
    double bytes = 0, prev = 0;
    for (size_t i = 0; i < at.size(); prev = num(at[i++])) {
        EXPECT_GT(num(at[i]), prev);
        bytes += num(total[i]) * (num(at[i]) - prev) / 8;
    }
    EXPECT_TRUE(bytes <= double(sum) * (1 + 1e-9) && bytes >= double(sum) - 16384.0 - 1) << bytes;
}

// An upload's report: the server counted no more than the client sent, in `intervals`
// intervals of about a second each that sum up to the measurement.
void expect_upload_consistent(const json::value& u, size_t intervals) {
    EXPECT_EQ(u.at("result"), "OK");
    uint64_t sent = count(u.at("client").at("bytes_sent")), per_sum = 0, interval_sum = 0;
    for (const json::value& c : u.at("client").at("per_connection").as_array())
        per_sum += count(c.at("bytes_sent"));
    EXPECT_EQ(per_sum, sent);
    const json::array& samples = u.at("warmup").at("session_samples").as_array();
    EXPECT_EQ(count(u.at("warmup").at("samples")), samples.size());
    for (const json::value& s : samples)
        EXPECT_LE(count(s.at("bytes")), sent);
    ASSERT_EQ(u.at("intervals").as_array().size(), intervals);
    for (const json::value& i : u.at("intervals").as_array()) {
        EXPECT_TRUE(count(i.at("bytes")) > 0 && std::abs(num(i.at("seconds")) - 1.0) < 0.6) << i;
        interval_sum += count(i.at("bytes"));
    }
    EXPECT_EQ(count(u.at("measurement").at("bytes")), interval_sum);
    EXPECT_LE(interval_sum, sent);
    EXPECT_NEAR(num(u.at("measurement").at("seconds")), double(intervals), 0.6);
}

// A latency session's report `l` over its load (`up`: an upload): the statistics documents hold
// one entry per connection at every fetch (not only the last), and their sample counts never
// shrink and grow during and after the load; what the server counted on a load connection is no
// more than what the client received or sent on it; responsiveness comes from the round trips
// under load, against the idle baseline: round trips before the load, fewer than the loaded ones.
void expect_latency_consistent(const json::value& l, const json::value& load, bool up) {
    EXPECT_EQ(l.at("direction"), up ? "POST" : "GET");
    const json::array& fetches = l.at("fetches").as_array();
    ASSERT_GE(fetches.size(), 2u);
    uint64_t grown = 0;
    for (size_t f = 0; f < fetches.size(); f++) {
        const json::array& n = fetches[f].at("samples").as_array();
        ASSERT_EQ(n.size(), 3u) << "fetch " << f;
        for (size_t i = 0; f > 0 && i < 3; i++) {
            uint64_t was = count(fetches[f - 1].at("samples").as_array()[i]);
            EXPECT_GE(count(n[i]), was) << "fetch " << f << " connection " << i;
            grown += count(n[i]) - was;
        }
    }
    EXPECT_GT(grown, 0u);
    const json::array& per = l.at("per_connection").as_array();
    const json::array& moved = (up ? load.at("client") : load).at("per_connection").as_array();
    ASSERT_EQ(per.size(), 2u);
    // At one sample per 50 ms for 2 s, dozens; far fewer when the server is slow to read
    // its timer on a busy machine.
    for (size_t i = 0; i < 2; i++)
        EXPECT_TRUE(count(per[i].at("bytes")) > 0 && count(per[i].at("samples")) >= 4 &&
                    count(per[i].at("bytes")) <=
                        (up ? count(moved[i].at("bytes_sent"))
                            : count(moved[i].at("bytes")) + count(moved[i].at("drained_bytes"))))
            << per[i] << moved[i];
    const json::value &loaded = l.at("rtt_under_load"), &idle = l.at("rtt_idle");
    EXPECT_TRUE(count(l.at("rtt_first_samples").at("count")) == 2 &&
                count(loaded.at("count")) >= 5 && count(idle.at("count")) == 5 &&
                num(l.at("responsiveness").at("idle_rtt_us")) == num(idle.at("median_us")))
        << l;
    EXPECT_DOUBLE_EQ(num(l.at("responsiveness").at("rpm")),
                     60000 / (num(loaded.at("median_us")) / 1000));
    EXPECT_TRUE(!up || (count(l.at("measurement_end_us")) > count(l.at("measurement_start_us")) &&
                        count(l.at("measurement_start_us")) > 0))
        << l;
    up ? expect_upload_consistent(load, 2) : expect_download_consistent(load, 2, 2);
}

// A second client with the same session and connection numbers is refused by the server while
// the first one runs: a two-way test, whose one error line (and report) names the direction
// refused. The first one, given the server by its host name, is not disturbed, shows its progress
// on its terminal (not in its report) and reports what it received. Then a latency test loading
// the line with an upload: each statistics fetch and each interval a line of the stream. (The
// download's side, and both at once: the two-way run over TLS.)
TEST(ClientEndToEnd, DuplicateSessionRefusedTheFirstUndisturbedThenLatencyDocumentsHoldEveryFetch) {
    server_process server;
    const int port = start_activated(server, options({}));
    const std::string addr = "127.0.0.1:" + std::to_string(port);
    const std::string session = " -c 3 -d 3 --unit-id 77 --session-id 88 ",
                      named = "localhost:" + std::to_string(port);
    auto first = std::async(std::launch::async, [&] {
        return run_client("download" + session + "--json --plot " + dir + "/d.svg " + named, true,
                          dir + "/first");
    });
    // Its progress shows once data moves.
    ASSERT_TRUE(eventually([&] { return read_file(dir + "/first.err").find(": ") != npos; }));
    client_run second = run_client("bidir" + session +
                                   "--warmup-sample-time 100 --intervals 1 --json " + addr),
               run = first.get();
    ASSERT_EQ(run.status, 0) << run.err;
    // A line a second, each drawn over the one before; the last one erased.
    const int lines = count_occurrences(run.err, "\r\033[Kdownload: ");
    EXPECT_TRUE(lines >= 2 && lines <= 4 && run.err.ends_with("\r\033[K") &&
                run.out.find('\r') == npos)
        << run.err;
    json::object r = json::parse(run.out).as_object();
    expect_plot_matches(dir + "/d.svg", r, 4);
    EXPECT_EQ(std::tuple(r.at("ok"), r.at("server"), r.at("address"), count(r.at("unit_id")),
                         r.at("tls").is_null()),
              std::tuple(true, named.c_str(), "127.0.0.1", 77u, true));
    expect_download_consistent(r, 3, 3);
    EXPECT_TRUE(second.status == 1 &&
                second.err.starts_with("varnholt-client: bidir: download: connection ") &&
                second.err.ends_with(": first reply: the server closed the connection without "
                                     "replying (session refused)\n") &&
                count_occurrences(second.err, "\n") == 1)
        << second.err;
    json::object failed = json::parse(second.out).as_object();
    EXPECT_EQ(std::tuple(failed.at("ok"), failed.at("error")),
              std::tuple(false, second.err.substr(17, second.err.size() - 18).c_str()));

    run = run_client(
        "latency -c 2 -d 2 --latency-interval 50 --fetch-interval 300 --warmup-samples 2 "
        "--warmup-sample-time 100 --warmup-tolerance 50 --intervals 2 --json-stream --plot " +
        dir + "/l.svg --direction POST " + addr);
    ASSERT_EQ(run.status, 0) << run.err;
    auto [l, events] = parse_stream(run);
    expect_plot_matches(dir + "/l.svg", l, 4);
    EXPECT_EQ(std::tuple(events["interval"], events["statistics"]),
              std::tuple(l.at("upload").at("throughput_series").at("seconds").as_array().size(),
                         l.at("fetches").as_array().size()));
    expect_latency_consistent(l, l.at("upload"), true);
    // Its text: the round trips first, then its load as that test's text would show it.
    run = run_client("latency -c 1 -d 1 --latency-interval 50 --fetch-interval 300 " + addr);
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nround trips before the load [^]*\n"
                                                      "responsiveness: [^]*\ndownloaded ")))
        << run.out;
    // Started with its standard output closed, the client writes its lines nowhere: not into
    // the picture's file, which would otherwise have taken descriptor 1.
    const std::string closed = VH_CLIENT_PATH " download -c 1 -d 1 --json-stream --plot " + dir +
                               "/c.svg " + addr + " >&-";
    EXPECT_TRUE(std::system(closed.c_str()) == 0 &&
                read_file(dir + "/c.svg").starts_with("<?xml "));
}

// ---------------------------------------------------------------------------------------
// Whole tests over TLS, against the server's TLS port

// The same report as in plain: every test and both directions at once, each connection of it
// (the control connection and its statistics requests too) inside TLS; the session's version
// and cipher in the document, the stream, the picture's title and the text. Each sample of an
// upload's results comes as a line of its own, and each client interval. A certificate the
// client cannot trust ends the test at the first handshake, before any request: one line naming
// why, status 1; the same server with --insecure is fine.
TEST(ClientOverTls, EveryTestRunsInsideTlsAndAnUntrustedCertificateEndsItBeforeAnyRequest) {
    // The server with only a TLS port (the activated socket named "tls") and a self-signed
    // certificate for localhost, 127.0.0.1 and ::1.
    const tls_files cert = make_test_certificate(dir);
    server_process server;
    const int port =
        start_activated(server, options({"--tls-cert", cert.cert, "--tls-key", cert.key},
                                        {{"LISTEN_FDNAMES", "tls"}}));
    const std::string trusted = "--ca-file " + cert.cert + " ";
    const std::string target = "https://localhost:" + std::to_string(port);
    const std::string quick_upload =
        "--warmup-samples 2 --warmup-sample-time 100 --warmup-tolerance 50 --intervals 2 ";
    // An address checked against the certificate's.
    client_run run =
        run_client("upload -c 2 --max-warmup-samples 10 --interval-period 1 --tls "
                   "--json-stream --plot " +
                   dir + "/u.svg " + quick_upload + trusted + "127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(run.status, 0) << run.err << server.output;
    auto [r, events] = parse_stream(run);
    expect_upload_consistent(r, 2);
    expect_plot_matches(dir + "/u.svg", r, 5);
    const size_t samples = r.at("warmup").at("session_samples").as_array().size();
    EXPECT_EQ(std::tuple(events["warmup_sample"], events["measurement_sample"], events["interval"]),
              std::tuple(samples, 2u, r.at("throughput_series").at("seconds").as_array().size()));
    // Samples come every 100 ms at the earliest; a busy server may take them later.
    EXPECT_TRUE(samples >= 2 && samples <= 10) << samples;
    EXPECT_GE(num(r.at("warmup").at("seconds")), 0.1 * double(samples) - 0.01);
    const json::value& tls = r.at("tls");
    EXPECT_EQ(tls.at("version"), "TLSv1.3");
    EXPECT_TRUE(run.out.starts_with("{\"event\":\"tls\",\"version\":\"TLSv1.3\",\"cipher\":" +
                                    json::serialize(tls.at("cipher")) + "}\n"))
        << run.out.substr(0, 200);
    EXPECT_NE(read_file(dir + "/u.svg")
                  .find("TLSv1.3 " + std::string(tls.at("cipher").as_string()) + " · "),
              npos);

    // Both directions at once with a latency session each way: each control connection too.
    // Each session is reported as it would be alone, its intervals tagged in the stream and
    // both totals on one time axis in the picture.
    run = run_client("bidir --latency -c 2 -d 2 --latency-interval 50 --fetch-interval 300 "
                     "--json-stream --plot " +
                     dir + "/b.svg " + quick_upload + trusted + target);
    ASSERT_EQ(run.status, 0) << run.err;
    auto [b, b_events] = parse_stream(run);
    EXPECT_TRUE(b.at("tls").is_object());
    const json::value &down = b.at("download"), &up = b.at("upload");
    expect_latency_consistent(b.at("latency_download"), down, false);
    expect_latency_consistent(b.at("latency_upload"), up, true);
    expect_plot_matches(dir + "/b.svg", b, 2);
    EXPECT_EQ(std::tuple(count_occurrences(run.out, "\"interval\",\"load\":\"download\""),
                         count_occurrences(run.out, "\"interval\",\"load\":\"upload\""),
                         b_events["measurement_sample"]),
              std::tuple(int(down.at("throughput_series").at("seconds").as_array().size()),
                         int(up.at("throughput_series").at("seconds").as_array().size()), 2u));
    // At once: one started when the other did, and the other within the first second.
    EXPECT_TRUE(std::min(num(down.at("start_s")), num(up.at("start_s"))) == 0 &&
                std::max(num(down.at("start_s")), num(up.at("start_s"))) < 1)
        << down.at("start_s") << up.at("start_s");
    EXPECT_NE(b.at("latency_ids").at("download"), b.at("latency_ids").at("upload"));

    const tls_files other = make_test_certificate(dir, "other");
    for (const std::string& args :
         {std::string("download --json "), "download --ca-file " + other.cert + " --json "})
        EXPECT_EQ(run_client(args + target).err,
                  "varnholt-client: download: connection 0: TLS handshake: certificate verify "
                  "failed: self-signed certificate\n");
    EXPECT_EQ(run_client("download --ca-file " + dir + "/none.pem " + target).err,
              "varnholt-client: download: --ca-file: cannot load \"" + dir +
                  "/none.pem\": No such file or directory\n");
    EXPECT_EQ(run_client("download --insecure 127.0.0.1:1").status, 2);
    // The text report names the session's version and cipher, then each direction under its
    // name, as it would be alone.
    run = run_client("bidir -c 1 -d 1 --insecure " + quick_upload + target);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex("\nTLS: TLSv1.3 TLS_[\\s\\S]*\ndownload:\ndownloaded "
                            "[\\s\\S]*\nupload:\nRESULT: OK\nwarm-up: [\\s\\S]*\nclient sent ")))
        << run.out;
}

// ---------------------------------------------------------------------------------------
// Scripted servers that misbehave, on ::1

// A canned exchange: `first` is sent at once; then, unless `then` is GONE, on `then` (a pause
// of 300 ms, another request, or (LINGER) the client's half-close and 2 s more), `second`
// followed by a half-close; then the server waits for the client to go, at most 5 s.
enum step { GONE, PAUSE, REQUEST, LINGER };
struct canned {
    std::string first;
    step then = GONE;
    std::string second = "";
};

void play(int fd, const canned& c) {
    send_all(fd, c.first);
    if (c.then == LINGER && !wait_closed(fd, 5s))
        return;
    std::this_thread::sleep_for(c.then == PAUSE ? 300ms : c.then == LINGER ? 2000ms : 0ms);
    if (c.then == REQUEST)
        read_reply_head(fd, 5s);
    if (c.then != GONE) {
        send_all(fd, c.second);
        shutdown(fd, SHUT_WR);
    }
    pollfd p{fd, POLLRDHUP, 0}; // reads nothing: a server that takes no data
    poll(&p, 1, 5000);
}

const std::string NOT_FOUND = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
                  DATA = GET_REPLY + std::string(65536, 'x'), DOWN = "download: connection 0: ",
                  UP = "upload: connection 0: ", CONTROL = "latency: control connection: ",
                  RESULTS = "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: ";

// Accepts connections on a loopback port and plays `script` on each; on a latency test
// (`latency`), on its control connection only, and DATA on the others.
struct scripted_server {
    int port = 0, fd = listen_loopback(true, &port, false);
    std::jthread acceptor;

    scripted_server(const canned& script, bool latency)
        : acceptor([this, script, latency] {
              std::vector<std::jthread> workers; // joined as the acceptor ends
              for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;)
                  workers.emplace_back([script, latency, c] {
                      const bool ctl = read_reply_head(c, 5s).find("CONNECTION=0") != npos;
                      play(c, latency && !ctl ? canned(DATA) : script);
                      close(c);
                  });
          }) {}
    ~scripted_server() {
        shutdown(fd, SHUT_RDWR); // the acceptor's accept fails: it ends
        acceptor.join();
        close(fd);
    }
};

struct bad_server_case {
    std::string args;     // before the server address, separated by spaces
    canned script;        // of a latency test: its control connection's
    std::string expected; // the one error line; with status 3, in the report instead
    int status = 1;
};

// (A server that closes at once, refusing the session: the duplicate session above.) A hostile
// server cannot exhaust the client's memory with a results reply without its end, or a document
// announced or parsed beyond the test's size. (Counters or clocks going backwards: the protocol
// tests above.)
TEST(ClientAgainstScriptedServers, EveryFailureIsOneLineNamingTheStep) {
    // Within the size a latency test allows, but twelve times its length as a parsed tree.
    std::string numbers = "0";
    while (numbers.size() < 150000)
        numbers += ",0";
    // A statistics document after the control connection's first reply.
    const std::string zeros = document({{}, {numbers}}),
                      stats = "HTTP/1.1 200 OK\r\nContent-Length: ";
    const bad_server_case cases[] = {
        {"upload --json --plot " + dir + "/failed.svg", canned(NOT_FOUND),
         UP + "first reply: unexpected \"HTTP/1.1 404 Not Found\" (expected 100)"},
        {"download --plot " + dir + "/none/x.svg", canned(""),
         "--plot: cannot write \"" + dir +
             "/none/x.svg\": No such file or directory\nTry 'varnholt-client --help'.",
         2},
        {"download -d 86400", canned(""), DOWN + "first reply: timed out after 1 s"},
        {"download -d 86400.01", canned(""),
         "--duration: expected seconds, got \"86400.01\"\nTry 'varnholt-client --help'.", 2},
        {"download --tls", canned(""), DOWN + "TLS handshake: no answer (timed out)"},
        {"download -d 0.5", canned(DATA, LINGER), // past the client's time-out
         DOWN + "stats message: the server sent nothing more after the half-close (timed out "
                "after 1 s)"},
        {"upload", canned(CONTINUE), UP + "upload: the server takes no data (timed out after 1 s)"},
        {"upload", canned(CONTINUE, PAUSE, ""),
         UP + "results reply: the server closed the connection before it"},
        // A test the server reports as failed is a test that ran: its report, and status 3.
        {"upload",
         canned(CONTINUE, PAUSE,
                RESULTS + "FAIL\nEND_TIME: 5\nSECTION: WARMUP\nNUM_WARMUP: 1\n"
                          "WARMUP_SESSION: 0 100000000 9\nSECTION: MEASUR\nNUM_MEASUR: 0\n\n"),
         "\nRESULT: FAIL\nwarm-up: 0.100 s, 1 sample\nmeasurement: none\n", 3},
        {"upload", canned(CONTINUE, PAUSE, RESULTS + std::string(1 << 20, '0')),
         UP + "results reply: longer than 1048576 bytes without its end"},
        // (3 s + 6 time-outs + 10 s) at 10 samples a second, 16 more, 2 connections, 400 bytes
        // a sample, 64 KiB
        {"latency -d 3", canned(CREATED, REQUEST, stats + "999999999999\r\n\r\n"),
         CONTROL + "statistics document: Content-Length 999999999999 is more than this test's "
                   "samples can take (230336 bytes)"},
        {"latency -d 3",
         canned(CREATED, REQUEST, stats + std::to_string(zeros.size()) + "\r\n\r\n" + zeros),
         CONTROL + "statistics document: parsing it would take more than " +
             std::to_string(zeros.size() * 6 + 65536) + " bytes"},
    };
    // Each case against its own scripted server: one connection, 1 s time-outs. A failed test
    // leaves no picture and, with --json, reports itself as not ok.
    for (const bad_server_case& c : cases) {
        SCOPED_TRACE(c.expected);
        scripted_server srv(c.script, c.args.starts_with("latency"));
        client_run run = run_client(c.args +
                                    " -c 1 -t 1 --fetch-interval 100 --warmup-sample-time 100 "
                                    "--max-warmup-samples 4 --intervals 1 [::1]:" +
                                    std::to_string(srv.port));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.err, c.status == 3 ? "" : "varnholt-client: " + c.expected + "\n");
        EXPECT_TRUE(c.status == 3 ? run.out.find(c.expected) != npos
                    : c.args.find("--json") == npos
                        ? run.out.empty()
                        : json::parse(run.out).as_object().at("ok") == false)
            << run.out;
        EXPECT_LT(run.seconds, 6.0);
    }
    EXPECT_NE(access((dir + "/failed.svg").c_str(), F_OK), 0);
    // A later connection that cannot be made names its address as the first would, and its
    // direction in a two-way test: a listen queue that takes one connection and drops the next
    // one's SYN.
    int port = 0, fd = listen_loopback(true, &port);
    ASSERT_EQ(listen(fd, 0), 0);
    EXPECT_EQ(run_client("bidir -c 2 -t 1 [::1]:" + std::to_string(port)).err,
              "varnholt-client: bidir: download: connection 1: connect: ::1 port " +
                  std::to_string(port) + ": no answer (timed out)\n");
    close(fd);
}

} // namespace
