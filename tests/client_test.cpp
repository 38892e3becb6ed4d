// The client: protocol functions, whole tests against the real server, misbehaving servers.
#include "protocol.h"
#include "report.h"
#include "request.h"
#include "test_support.h"

#include <atomic>
#include <boost/json.hpp>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace vh_client;
namespace json = boost::json;

namespace {

using steady = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------
// Running the client

struct client_run {
    int status = -1; // exit status; -1 when killed for taking too long
    std::string out;
    std::string err;
    double seconds = 0;
};

// A client process being run, with its output collected so far.
struct client_proc {
    pid_t pid = -1;
    pollfd fds[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}}; // standard output, standard error
    steady::time_point start;
    client_run run;
};

// Starts the client; with `err_on_pty`, its standard error is a terminal.
void start_client(client_proc& p, const std::vector<std::string>& args, bool err_on_pty) {
    int out[2], err[2] = {-1, -1};
    int master = -1, slave = -1;
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    if (err_on_pty)
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    else
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    std::vector<std::string> argv_s{VH_CLIENT_PATH};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    p.start = steady::now();
    p.pid = fork();
    if (p.pid == 0) {
        dup2(out[1], 1);
        dup2(err_on_pty ? slave : err[1], 2);
        close_range(3, ~0u, 0);
        std::vector<char*> argv;
        for (auto& a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err_on_pty ? slave : err[1]);
    p.fds[0].fd = out[0];
    p.fds[1].fd = err_on_pty ? master : err[0];
}

// Collects output until `until` holds for what arrived, both outputs end, or `deadline`.
void pump(client_proc& p, steady::time_point deadline,
          const std::function<bool(const client_run&)>& until = nullptr) {
    std::string* dest[] = {&p.run.out, &p.run.err};
    while ((p.fds[0].fd >= 0 || p.fds[1].fd >= 0) && steady::now() < deadline) {
        if (until && until(p.run))
            return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
        // GCC 12 with the sanitizers takes the array for its first member's 4 bytes here.
        int ready = poll(p.fds, 2, 100);
#pragma GCC diagnostic pop
        if (ready <= 0)
            continue;
        for (size_t i = 0; i < 2; i++) {
            if (p.fds[i].fd < 0 || p.fds[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(p.fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                dest[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(p.fds[i].fd); // end of file, or EIO once a terminal's other side is gone
                p.fds[i].fd = -1;
            }
        }
    }
}

// Waits for the client's end (killing it after `limit` from its start): status -1 if killed.
client_run finish_client(client_proc& p, std::chrono::seconds limit = 40s) {
    auto deadline = p.start + limit;
    pump(p, deadline);
    for (pollfd& f : p.fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    while (waitpid(p.pid, &status, WNOHANG) == 0) {
        if (steady::now() >= deadline) {
            kill(p.pid, SIGKILL);
            waitpid(p.pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    p.run.seconds = std::chrono::duration<double>(steady::now() - p.start).count();
    p.run.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return p.run;
}

client_run run_client(const std::vector<std::string>& args, bool err_on_pty = false) {
    client_proc p;
    start_client(p, args, err_on_pty);
    return finish_client(p);
}

// Waits until a client on a terminal has shown its first progress line: data is moving.
bool wait_for_progress(client_proc& p) {
    pump(p, steady::now() + 10s,
         [](const client_run& r) { return r.err.find(": ") != std::string::npos; });
    return p.run.err.find(": ") != std::string::npos;
}

json::object parse_object(const std::string& text) {
    boost::json::error_code ec;
    json::value v = json::parse(text, ec);
    EXPECT_FALSE(ec) << text;
    return v.is_object() ? v.get_object() : json::object{};
}

json::object parse_report(const client_run& run) {
    return parse_object(run.out);
}

// The lines of a --json-stream run: its events, and the report as the last line.
struct json_stream {
    std::vector<json::object> events;
    json::object report;
    size_t count(const std::string& event) const {
        return std::count_if(events.begin(), events.end(),
                             [&](const json::object& e) { return e.at("event") == event.c_str(); });
    }
};

json_stream parse_stream(const client_run& run) {
    json_stream s;
    std::istringstream in(run.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    EXPECT_FALSE(lines.empty()) << run.err;
    for (size_t i = 0; i + 1 < lines.size(); i++)
        s.events.push_back(parse_object(lines[i]));
    if (!lines.empty())
        s.report = parse_object(lines.back());
    return s;
}

double num(const json::value& v) {
    return v.is_double()  ? v.get_double()
           : v.is_int64() ? double(v.get_int64())
                          : double(v.get_uint64());
}

uint64_t count(const json::value& v) {
    return v.is_uint64() ? v.get_uint64() : static_cast<uint64_t>(v.get_int64());
}

// ---------------------------------------------------------------------------------------
// The --plot picture

struct xml_element {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::vector<xml_element> children;
    std::string text;
};

// A strict reader of the XML the client writes: a declaration, elements, attributes, text and
// the predefined character references. Anything else, or anything not well formed, fails.
struct xml_reader {
    std::string_view t;
    size_t i = 0;
    std::string error;

    bool fail(const std::string& what) {
        if (error.empty())
            error = what + " at byte " + std::to_string(i);
        return false;
    }
    bool at(std::string_view s) const {
        return t.substr(i, s.size()) == s;
    }
    void spaces() {
        while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i])))
            i++;
    }
    bool name(std::string* out) {
        size_t start = i;
        while (i < t.size() && (std::isalnum(static_cast<unsigned char>(t[i])) ||
                                std::strchr("-_:.", t[i]) != nullptr))
            i++;
        *out = std::string(t.substr(start, i - start));
        return !out->empty() || fail("name expected");
    }
    bool references_ok(std::string_view s) {
        for (size_t a = s.find('&'); a != std::string_view::npos; a = s.find('&', a + 1)) {
            size_t b = s.find(';', a);
            std::string_view ref = s.substr(a + 1, b == std::string_view::npos ? 0 : b - a - 1);
            if (ref != "amp" && ref != "lt" && ref != "gt" && ref != "quot" && ref != "apos" &&
                !(ref.size() > 1 && ref[0] == '#'))
                return fail("bad reference");
        }
        return true;
    }
    bool element(xml_element* e, int depth) {
        if (depth > 50 || !at("<"))
            return fail("element expected");
        i++;
        if (!name(&e->name))
            return false;
        for (;;) {
            spaces();
            if (at("/>")) {
                i += 2;
                return true;
            }
            if (at(">")) {
                i++;
                break;
            }
            std::string key;
            if (!name(&key))
                return false;
            spaces();
            if (!at("="))
                return fail("'=' expected");
            i++;
            spaces();
            if (i >= t.size() || (t[i] != '"' && t[i] != '\''))
                return fail("quoted value expected");
            size_t end = t.find(t[i], i + 1);
            if (end == std::string_view::npos)
                return fail("unterminated value");
            std::string_view value = t.substr(i + 1, end - i - 1);
            if (value.find('<') != std::string_view::npos || !references_ok(value))
                return fail("bad attribute value");
            if (!e->attrs.emplace(key, value).second)
                return fail("duplicate attribute " + key);
            i = end + 1;
        }
        for (;;) {
            size_t lt = t.find('<', i);
            if (lt == std::string_view::npos)
                return fail("unclosed <" + e->name + ">");
            if (!references_ok(t.substr(i, lt - i)))
                return false;
            e->text += t.substr(i, lt - i);
            i = lt;
            if (at("</")) {
                i += 2;
                std::string end;
                if (!name(&end) || end != e->name)
                    return fail("</" + end + "> closes <" + e->name + ">");
                spaces();
                if (!at(">"))
                    return fail("'>' expected");
                i++;
                return true;
            }
            if (!element(&e->children.emplace_back(), depth + 1))
                return false;
        }
    }
    bool document(xml_element* root) {
        if (at("<?xml")) {
            size_t end = t.find("?>");
            if (end == std::string_view::npos)
                return fail("unterminated declaration");
            i = end + 2;
        }
        spaces();
        if (!element(root, 0))
            return false;
        spaces();
        return i == t.size() || fail("text after the root element");
    }
};

void find_polylines(const xml_element& e, std::vector<const xml_element*>* out) {
    if (e.name == "polyline")
        out->push_back(&e);
    for (const xml_element& c : e.children)
        find_polylines(c, out);
}

// What a series of the report must look like in the picture.
struct expected_series {
    size_t points = 0;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

expected_series columns(const json::value& xs, const json::value& ys) {
    const json::array& x = xs.as_array();
    const json::array& y = ys.as_array();
    EXPECT_EQ(x.size(), y.size());
    if (x.empty() || x.size() != y.size())
        return {};
    return {x.size(), num(x.front()), num(y.front()), num(x.back()), num(y.back())};
}

// The client's throughput series of a load: the total under `total_name`, and each connection.
void expect_throughput(const json::object& load, const std::string& total_name,
                       std::map<std::string, expected_series>* want) {
    const json::object& s = load.at("throughput_series").as_object();
    (*want)[total_name] = columns(s.at("seconds"), s.at("bits_per_second"));
    const json::array& per = s.at("per_connection").as_array();
    for (size_t i = 0; i < per.size(); i++)
        (*want)["connection " + std::to_string(i)] = columns(s.at("seconds"), per[i]);
}

// Reads the picture as XML and checks that it is self-contained, names the test, and plots
// exactly the report's series: their names, point counts, first and last points.
void expect_plot_matches(const std::string& path, const json::object& report) {
    std::string svg = vh_test::read_file(path);
    xml_reader reader;
    reader.t = svg;
    xml_element root;
    ASSERT_TRUE(reader.document(&root)) << reader.error;
    EXPECT_EQ(root.name, "svg");
    for (const char* outside : {"<script", "href", "@import", "<image", "<foreignObject"})
        EXPECT_EQ(svg.find(outside), std::string::npos) << outside;
    EXPECT_EQ(vh_test::count_occurrences(svg, "url("), vh_test::count_occurrences(svg, "url(#"));
    EXPECT_NE(svg.find(std::string(report.at("server").as_string()) + " · "), std::string::npos);

    std::map<std::string, expected_series> want;
    std::string test(report.at("test").as_string());
    if (test == "download") {
        expect_throughput(report, "total", &want);
    } else if (test == "upload") {
        expect_throughput(report, "client sent, total", &want);
        const json::array& warm = report.at("warmup").at("session_samples").as_array();
        json::array wx, wy;
        for (const json::value& w : warm) {
            wx.push_back(w.at("seconds"));
            wy.push_back(w.at("bits_per_second"));
        }
        want["server warm-up samples"] = columns(wx, wy);
        const json::array& in = report.at("intervals").as_array();
        want["server measurement intervals"] = {
            2 * in.size(), num(report.at("warmup").at("seconds")),
            num(in.front().at("bits_per_second")),
            num(report.at("measurement_samples").as_array().back().at("seconds")),
            num(in.back().at("bits_per_second"))};
    } else {
        const json::object& load = report.contains("download") ? report.at("download").as_object()
                                                               : report.at("upload").as_object();
        const json::object& s = load.at("throughput_series").as_object();
        want["load throughput (right axis)"] = columns(s.at("seconds"), s.at("bits_per_second"));
        for (const json::value& c : report.at("per_connection").as_array())
            want["round trip, connection " + std::to_string(count(c.at("connection")))] =
                columns(c.at("rtt_series").at("seconds"), c.at("rtt_series").at("rtt_us"));
        double idle = num(report.at("rtt_first_samples").at("median_us"));
        want["idle round trip (median of the first samples)"] = {2, 0, idle, -1, idle};
    }

    std::vector<const xml_element*> lines;
    find_polylines(root, &lines);
    std::set<std::string> seen;
    for (const xml_element* l : lines) {
        std::string name = l->attrs.at("data-series");
        SCOPED_TRACE(name);
        ASSERT_TRUE(want.count(name)) << "a series the report does not have";
        seen.insert(name);
        double unit = std::stod(l->attrs.at("data-y-unit"));
        std::vector<std::pair<double, double>> pts;
        std::istringstream in(l->attrs.at("points"));
        for (std::string p; in >> p;)
            pts.emplace_back(std::stod(p.substr(0, p.find(','))),
                             std::stod(p.substr(p.find(',') + 1)) * unit);
        const expected_series& e = want[name];
        ASSERT_EQ(pts.size(), e.points);
        auto near = [](double a, double b) {
            EXPECT_NEAR(a, b, 1e-9 * std::max(1.0, std::abs(b)));
        };
        near(pts.front().first, e.x0);
        near(pts.front().second, e.y0);
        if (e.x1 >= 0) // the idle baseline spans the picture, wherever that ends
            near(pts.back().first, e.x1);
        near(pts.back().second, e.y1);
    }
    EXPECT_EQ(seen.size(), want.size());
}

// ---------------------------------------------------------------------------------------
// Protocol functions

class ClientProtocol : public ::testing::Test {};

// Every connection's request is accepted by the server's parser and names the same session
// with identical test parameters, which is what lets the connections join one session.
TEST_F(ClientProtocol, RequestsParseOnTheServerIntoOneSession) {
    struct kind {
        bool upload, latency;
    };
    for (kind k : {kind{false, false}, kind{true, false}, kind{false, true}, kind{true, true}}) {
        SCOPED_TRACE(std::string(k.upload ? "POST" : "GET") + (k.latency ? " latency" : ""));
        session_params p;
        p.upload = k.upload;
        p.latency = k.latency;
        p.host_header = "[::1]:8080";
        p.unit_id = 3;
        p.session_id = 9;
        p.latency_id = (5ull << 32) + 1;
        p.num_connections = 3;
        p.num_warmup_samples = 4;
        p.max_warmup_samples = 20;
        p.warmup_sample_time_ms = 500;
        p.warmup_tolerance = 10;
        p.result_num_intervals = 10;
        p.results_interval_period_s = 1;
        p.latency_interval_ms = 100;
        std::vector<request_info> parsed(3);
        for (size_t i = 0; i < 3; i++) {
            std::string text = build_test_request(p, i);
            ASSERT_EQ(parse_request(text.c_str(), text.size(), &parsed[i]),
                      static_cast<int>(text.size()))
                << text;
            EXPECT_EQ(parsed[i].method, k.upload ? POST : GET);
            EXPECT_EQ(parsed[i].session_id, k.latency ? p.latency_id : (3ull << 32) + 9);
            EXPECT_EQ(parsed[i].num_conns, 3u);
            EXPECT_EQ(parsed[i].conn_id, i);
            EXPECT_EQ(parsed[i].latency_test, k.latency);
            EXPECT_EQ(std::memcmp(&parsed[0], &parsed[i], REQUEST_SESSION_PART_SIZE), 0);
        }
    }
    std::string stats = build_statistics_request("h:1");
    EXPECT_EQ(stats, "GET /results HTTP/1.1\r\nHost: h:1\r\n\r\n");
}

TEST_F(ClientProtocol, ReplyHeads) {
    reply_head h;
    std::string why;
    EXPECT_EQ(parse_reply_head("HTTP/1.1 200 OK\r\nX-Varn", &h, &why), parse_state::incomplete);
    EXPECT_EQ(parse_reply_head("HT", &h, &why), parse_state::incomplete);
    std::string get = "HTTP/1.1 200 OK\r\nX-Varnholt: 1\r\nContent-Length: 500000000000\r\n\r\n";
    ASSERT_EQ(parse_reply_head(get + "data", &h, &why), parse_state::complete);
    EXPECT_EQ(h.status, 200);
    EXPECT_EQ(h.length, get.size());
    EXPECT_EQ(h.content_length, 500000000000);
    ASSERT_EQ(parse_reply_head("HTTP/1.1 100 Continue\r\nX-Varnholt: 1\r\n\r\n", &h, &why),
              parse_state::complete);
    EXPECT_EQ(h.status, 100);
    EXPECT_EQ(h.content_length, -1);
    // Garbage is recognised from its first bytes, without waiting for a blank line.
    EXPECT_EQ(parse_reply_head("hello", &h, &why), parse_state::malformed);
    EXPECT_NE(why.find("not an HTTP reply"), std::string::npos);
    EXPECT_EQ(parse_reply_head("HTTP/1.1 2x0 OK\r\n\r\n", &h, &why), parse_state::malformed);
    EXPECT_EQ(parse_reply_head("HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\n", &h, &why),
              parse_state::malformed);
    EXPECT_EQ(parse_reply_head("HTTP/1.1 200 OK\r\nno colon\r\n\r\n", &h, &why),
              parse_state::malformed);
    std::string endless = "HTTP/1.1 200 OK\r\n" + std::string(MAX_REPLY_HEAD, 'a');
    EXPECT_EQ(parse_reply_head(endless, &h, &why), parse_state::malformed);
}

TEST_F(ClientProtocol, StatsMessageAtTheEndOfTheStream) {
    const unsigned char full[] = {'x', 'y', 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 4, 0, 0, 1, 2};
    stats_message s;
    ASSERT_TRUE(parse_stats_tail(full + 2, 16, &s));
    EXPECT_EQ(s.length, 16u);
    EXPECT_TRUE(s.has_retransmissions);
    EXPECT_EQ(s.retransmissions, 258u);
    const unsigned char short_form[] = {9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0};
    ASSERT_TRUE(parse_stats_tail(short_form, 16, &s));
    EXPECT_EQ(s.length, 12u);
    EXPECT_FALSE(s.has_retransmissions);
    EXPECT_FALSE(parse_stats_tail(full + 2, 15, &s)); // one byte lost
    const unsigned char wrong_size[] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 5, 0, 0, 0, 0};
    EXPECT_FALSE(parse_stats_tail(wrong_size, 16, &s));
    EXPECT_FALSE(parse_stats_tail(full, 8, &s));
}

const std::string RESULTS = "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: OK\nEND_TIME: 1700000000\n"
                            "SECTION: WARMUP\nNUM_WARMUP: 2\n"
                            "WARMUP_SESSION: 0 500000000 1000\nWARMUP_SESSION: 1 0 2000\n"
                            "SECTION: MEASUR\nNUM_MEASUR: 2\n"
                            "MEASUR_SESSION: 2 0 4000\nMEASUR_SESSION: 3 500000000 10000\n\n";

TEST_F(ClientProtocol, ResultsReplyAndItsIntervals) {
    EXPECT_FALSE(results_complete(RESULTS.substr(0, RESULTS.size() - 1)));
    EXPECT_TRUE(results_complete(RESULTS));
    results_reply r;
    std::string why;
    ASSERT_TRUE(parse_results_reply(RESULTS, &r, &why)) << why;
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.end_time, 1700000000);
    upload_summary s = summarize_results(r);
    EXPECT_EQ(s.warmup_samples, 2u);
    EXPECT_DOUBLE_EQ(s.warmup_seconds, 1.0);
    // Measurement bytes count from the end of warm-up: intervals are differences.
    ASSERT_EQ(s.intervals.size(), 2u);
    EXPECT_EQ(s.intervals[0].bytes, 4000u);
    EXPECT_DOUBLE_EQ(s.intervals[0].seconds, 1.0);
    EXPECT_DOUBLE_EQ(s.intervals[0].bits_per_second, 32000.0);
    EXPECT_EQ(s.intervals[1].bytes, 6000u);
    EXPECT_DOUBLE_EQ(s.intervals[1].seconds, 1.5);
    EXPECT_EQ(s.measurement.bytes, 10000u);
    EXPECT_DOUBLE_EQ(s.measurement.seconds, 2.5);

    std::string failed = "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: FAIL\nEND_TIME: 5\n"
                         "SECTION: WARMUP\nNUM_WARMUP: 1\nWARMUP_SESSION: 0 200000000 77\n"
                         "SECTION: MEASUR\nNUM_MEASUR: 0\n\n";
    ASSERT_TRUE(parse_results_reply(failed, &r, &why)) << why;
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(summarize_results(r).intervals.empty());
    // A failed test's sums may lose a dropped connection's bytes: reported as they are.
    std::string shrinking = RESULTS;
    shrinking.replace(shrinking.find("RESULT: OK"), 10, "RESULT: FAIL");
    shrinking.replace(shrinking.find("3 500000000 10000"), 17, "3 500000000 3999");
    EXPECT_TRUE(parse_results_reply(shrinking, &r, &why)) << why;

    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    for (const std::string& bad : {replaced(RESULTS, "RESULT: OK", "RESULT: MAYBE"),
                                   replaced(RESULTS, "NUM_WARMUP: 2", "NUM_WARMUP: 3"),
                                   replaced(RESULTS, "0 500000000 1000", "0 5000000000 1000"),
                                   replaced(RESULTS, "VARNHOLT_HTTP_REPLY", "SOMETHING_ELSE"),
                                   RESULTS.substr(0, RESULTS.size() - 1),
                                   // Negative intervals: time or bytes going backwards.
                                   replaced(RESULTS, "1 0 2000", "0 400000000 2000"),
                                   replaced(RESULTS, "2 0 4000", "1 0 4000"),
                                   replaced(RESULTS, "0 500000000 1000", "-1 500000000 1000"),
                                   replaced(RESULTS, "3 500000000 10000", "3 500000000 3999")}) {
        EXPECT_FALSE(parse_results_reply(bad, &r, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

std::string sample_json(int ts, int rtt, int data, int retrans = 0) {
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

TEST_F(ClientProtocol, LatencyDocumentSplitsFirstSamplesFromLoadedOnes) {
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
    EXPECT_EQ(d.connections[1].size(), 4u);
    latency_summary s = summarize_latency(d, 1);
    EXPECT_EQ(s.first.count, 1u);
    EXPECT_EQ(s.first.median_us, 40);
    EXPECT_EQ(s.loaded.count, 2u); // the idle last sample is not under load
    EXPECT_EQ(s.loaded.median_us, 700);
    EXPECT_EQ(s.loaded.p99_us, 900);
    ASSERT_EQ(s.conns.size(), 2u);
    EXPECT_EQ(s.conns[0].retransmissions, 2u);
    EXPECT_EQ(s.conns[0].bytes, 4000u);
    EXPECT_DOUBLE_EQ(s.conns[0].bits_per_second, 4000 * 8 / 0.2);
    EXPECT_EQ(s.conns[1].samples, 0u);
    responsiveness resp = make_responsiveness(s);
    ASSERT_TRUE(resp.valid);
    EXPECT_DOUBLE_EQ(resp.rpm, 60000 / 0.7);
    EXPECT_EQ(resp.idle_rtt_us, 40);
    EXPECT_EQ(resp.added_median_us, 660);
    EXPECT_EQ(resp.added_p90_us, 860);
    EXPECT_FALSE(make_responsiveness(latency_summary{}).valid);

    EXPECT_EQ(percentile({}, 50), 0);
    EXPECT_EQ(percentile({5, 1, 4, 2, 3}, 50), 3);
    EXPECT_EQ(percentile({5, 1, 4, 2, 3}, 90), 5);
    EXPECT_EQ(percentile({5, 1, 4, 2, 3}, 0), 1);

    // A hostile server's samples: clock or counters going backwards (an unsigned difference
    // would wrap to about 1.8e19 bytes), negative round trips.
    for (const std::string& bad :
         {std::string("{\"protocol_version\":1"), std::string("[1,2]"),
          doc.substr(0, doc.find(",\"connections\"")) + "}",
          std::string(doc).replace(doc.find("\"tcp_rtt\":50"), 12, "\"tcp_rtt\":1.5"),
          document({{}, {sample_json(100, 40, 1000), sample_json(99, 40, 2000)}}),
          document({{}, {sample_json(100, 40, 1000), sample_json(200, 40, 999)}}),
          document({{}, {sample_json(100, 40, 1000, 3), sample_json(200, 40, 2000, 2)}}),
          document({{}, {sample_json(-100, 40, 1000)}}),
          document({{}, {sample_json(100, -40, 1000)}})}) {
        EXPECT_FALSE(parse_latency_document(bad, &d, &why)) << bad;
    }
    EXPECT_NE(why.find("negative round-trip time"), std::string::npos) << why;

    // The parse memory allowed for a document's length (see the scripted servers for one
    // refused) is enough for samples of the longest numbers and of the shortest.
    std::string big = "{\"ts\":9223372036854775807,\"tcp_rtt\":9223372036854775807,\"tcp_"
                      "rttvar\":1,\"tcpi_lost\":18446744073709551615,\"tcpi_total_retrans\":1,"
                      "\"tcpi_retrans\":1,\"tcpi_snd_cwnd\":1,\"total_transferred\":1,"
                      "\"data_transferred\":1}";
    for (const std::string& sample : {big, sample_json(1, 1, 1)})
        EXPECT_TRUE(
            parse_latency_document(document({std::vector<std::string>(10000, sample)}), &d, &why))
            << why;
}

TEST_F(ClientProtocol, JsonNumbersArePlainDecimals) {
    json::object o{{"a", 2.000011573}, {"b", 7.58e9},
                   {"c", 1e-7},        {"d", uint64_t{18446744073709551615u}},
                   {"e", -3},          {"f", std::nan("")},
                   {"g", "x\"y"}};
    EXPECT_EQ(plain_json(o), "{\"a\":2.000011573,\"b\":7580000000,\"c\":0.0000001,"
                             "\"d\":18446744073709551615,\"e\":-3,\"f\":null,\"g\":\"x\\\"y\"}");
}

TEST_F(ClientProtocol, Targets) {
    target t;
    std::string why;
    ASSERT_TRUE(parse_target("127.0.0.1:8080", &t, &why));
    EXPECT_EQ(t.host, "127.0.0.1");
    EXPECT_EQ(t.port, "8080");
    ASSERT_TRUE(parse_target("[::1]:81", &t, &why));
    EXPECT_EQ(t.host, "::1");
    EXPECT_EQ(t.port, "81");
    ASSERT_TRUE(parse_target("fe80::1", &t, &why));
    EXPECT_EQ(t.host, "fe80::1");
    EXPECT_EQ(t.port, "80");
    ASSERT_TRUE(parse_target("speed.example", &t, &why));
    EXPECT_EQ(t.port, "80");
    for (const char* bad : {"", "h:", "h:0", "h:65536", "h:8o", "[::1", "[::1]x", ":80"})
        EXPECT_FALSE(parse_target(bad, &t, &why)) << bad;
}

// ---------------------------------------------------------------------------------------
// Whole tests against the real server

class ClientEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        port = vh_test::start_activated(server, {});
        ASSERT_GT(port, 0);
        addr = "127.0.0.1:" + std::to_string(port);
        dir = vh_test::make_temp_dir();
    }
    void TearDown() override {
        vh_test::remove_tree(dir);
    }
    vh_test::server_process server;
    std::string dir; // for pictures
    int port = 0;
    std::string addr;
};

void expect_download_consistent(const json::object& d, size_t conns, double duration) {
    const json::array& per = d.at("per_connection").as_array();
    ASSERT_EQ(per.size(), conns);
    uint64_t sum = 0;
    for (const json::value& v : per) {
        const json::object& c = v.as_object();
        EXPECT_GT(count(c.at("bytes")), 0u);
        sum += count(c.at("bytes"));
        EXPECT_EQ(count(c.at("stats_length")), 16u);
        EXPECT_TRUE(c.at("retransmissions").is_number());
        EXPECT_GE(count(c.at("drained_bytes")), 16u); // at least the stats message
    }
    EXPECT_EQ(sum, count(d.at("bytes")));
    double seconds = num(d.at("seconds"));
    EXPECT_GE(seconds, duration);
    EXPECT_LT(seconds, duration + 1.0);
    // The client's own timeline ends at the half-close and accounts for what arrived, but for
    // data that came behind the first reply (at most one 16 KiB read).
    const json::object& series = d.at("throughput_series").as_object();
    const json::array& at = series.at("seconds").as_array();
    const json::array& total = series.at("bits_per_second").as_array();
    ASSERT_GE(at.size(), 2u);
    ASSERT_EQ(total.size(), at.size());
    ASSERT_EQ(series.at("per_connection").as_array().size(), conns);
    EXPECT_EQ(num(at.back()), seconds);
    double bytes = 0, prev = 0;
    for (size_t i = 0; i < at.size(); i++) {
        EXPECT_GT(num(at[i]), prev);
        bytes += num(total[i]) * (num(at[i]) - prev) / 8;
        prev = num(at[i]);
    }
    EXPECT_LE(bytes, double(sum) * (1 + 1e-9));
    EXPECT_GE(bytes, double(sum) - 16384.0 - 1);
    EXPECT_NEAR(num(d.at("bits_per_second")), double(sum) * 8 / seconds,
                1e-6 * num(d.at("bits_per_second")));
}

TEST_F(ClientEndToEnd, DownloadReportsWhatItReceived) {
    client_run run =
        run_client({"download", "-c", "3", "-d", "1.5", "--json", "--plot", dir + "/d.svg", addr});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, ""); // no progress line: standard error is not a terminal
    json::object r = parse_report(run);
    expect_plot_matches(dir + "/d.svg", r);
    EXPECT_EQ(r.at("ok"), true);
    // No number in exponent form: a digit, E or e, an optional sign and a digit.
    for (size_t i = 1; i + 1 < run.out.size(); i++) {
        size_t d = i + 1 + (run.out[i + 1] == '-' || run.out[i + 1] == '+');
        EXPECT_FALSE((run.out[i] == 'e' || run.out[i] == 'E') && std::isdigit(run.out[i - 1]) &&
                     d < run.out.size() && std::isdigit(run.out[d]))
            << run.out.substr(i - 1, 20);
    }
    EXPECT_EQ(r.at("address"), "127.0.0.1");
    EXPECT_NE(count(r.at("unit_id")), 0u);
    expect_download_consistent(r, 3, 1.5);

    run = run_client({"download", "-c", "1", "-d", "1", addr});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("download test against " + addr + ", 1 connection,"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  connection 0: "), std::string::npos) << run.out;
}

TEST_F(ClientEndToEnd, DownloadOverIpv6AndByHostName) {
    vh_test::server_process v6;
    int v6_port = 0;
    int fd = vh_test::listen_loopback(true, &v6_port);
    ASSERT_GE(fd, 0);
    vh_test::start_options o;
    o.inherit_fd = fd;
    o.args = {"-f", vh_test::test_file()};
    vh_test::start(v6, o);
    close(fd);
    client_run run = run_client(
        {"download", "-c", "2", "-d", "1", "--json", "[::1]:" + std::to_string(v6_port)});
    ASSERT_EQ(run.status, 0) << run.err;
    json::object r = parse_report(run);
    EXPECT_EQ(r.at("address"), "::1");
    expect_download_consistent(r, 2, 1);

    run = run_client(
        {"download", "-c", "2", "-d", "1", "--json", "localhost:" + std::to_string(port)});
    ASSERT_EQ(run.status, 0) << run.err;
    expect_download_consistent(parse_report(run), 2, 1);
}

TEST_F(ClientEndToEnd, UploadMeasuresNoMoreThanWasSent) {
    client_run run =
        run_client({"upload", "-c", "2", "--warmup-samples", "2", "--max-warmup-samples", "10",
                    "--warmup-sample-time", "100", "--warmup-tolerance", "50", "--intervals", "2",
                    "--interval-period", "1", "--json-stream", "--plot", dir + "/u.svg", addr});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    json_stream stream = parse_stream(run);
    const json::object& r = stream.report;
    expect_plot_matches(dir + "/u.svg", r);
    EXPECT_EQ(r.at("result"), "OK");
    // Each sample of the results came as a line of its own, and each client interval.
    EXPECT_EQ(stream.count("warmup_sample"),
              r.at("warmup").at("session_samples").as_array().size());
    EXPECT_EQ(stream.count("measurement_sample"), 2u);
    EXPECT_EQ(stream.count("interval"), r.at("throughput_series").at("seconds").as_array().size());
    const json::object& warmup = r.at("warmup").as_object();
    uint64_t samples = count(warmup.at("samples"));
    EXPECT_GE(samples, 2u);
    EXPECT_LE(samples, 10u);
    // Samples come every 100 ms at the earliest; a busy server may take them later.
    EXPECT_GE(num(warmup.at("seconds")), 0.1 * double(samples) - 0.01);

    uint64_t sent = count(r.at("client").at("bytes_sent"));
    uint64_t per_sum = 0;
    for (const json::value& c : r.at("client").at("per_connection").as_array())
        per_sum += count(c.at("bytes_sent"));
    EXPECT_EQ(per_sum, sent);
    // The server cannot have counted bytes the client never sent.
    for (const json::value& s : warmup.at("session_samples").as_array())
        EXPECT_LE(count(s.at("bytes")), sent);
    const json::array& intervals = r.at("intervals").as_array();
    ASSERT_EQ(intervals.size(), 2u);
    uint64_t interval_sum = 0;
    for (const json::value& i : intervals) {
        EXPECT_GT(count(i.at("bytes")), 0u);
        EXPECT_NEAR(num(i.at("seconds")), 1.0, 0.4);
        interval_sum += count(i.at("bytes"));
    }
    const json::object& m = r.at("measurement").as_object();
    EXPECT_EQ(count(m.at("bytes")), interval_sum);
    EXPECT_LE(count(m.at("bytes")), sent);
    EXPECT_NEAR(num(m.at("seconds")), 2.0, 0.5);
}

// Sample counts of the statistics documents, per connection, never shrink and grow overall.
void expect_growing_fetches(const json::array& fetches, size_t conns) {
    ASSERT_GE(fetches.size(), 2u);
    std::vector<uint64_t> prev(conns, 0);
    uint64_t first_total = 0, last_total = 0;
    for (size_t f = 0; f < fetches.size(); f++) {
        const json::array& counts = fetches[f].at("samples").as_array();
        ASSERT_EQ(counts.size(), conns);
        uint64_t total = 0;
        for (size_t i = 0; i < conns; i++) {
            EXPECT_GE(count(counts[i]), prev[i]) << "fetch " << f << " connection " << i;
            prev[i] = count(counts[i]);
            total += prev[i];
        }
        (f == 0 ? first_total : last_total) = total;
    }
    EXPECT_GT(last_total, first_total);
}

TEST_F(ClientEndToEnd, DownloadLatencySamplesGrowDuringAndAfterTheLoad) {
    client_run run =
        run_client({"latency", "-c", "2", "-d", "2", "--latency-interval", "50", "--fetch-interval",
                    "300", "--json-stream", "--plot", dir + "/l.svg", addr});
    ASSERT_EQ(run.status, 0) << run.err;
    json_stream stream = parse_stream(run);
    const json::object& r = stream.report;
    expect_plot_matches(dir + "/l.svg", r);
    EXPECT_EQ(r.at("direction"), "GET");
    EXPECT_EQ(stream.count("statistics"), r.at("fetches").as_array().size());
    EXPECT_EQ(stream.count("interval"),
              r.at("download").at("throughput_series").at("seconds").as_array().size());
    // Responsiveness from the round trips under load.
    const json::object& resp = r.at("responsiveness").as_object();
    EXPECT_DOUBLE_EQ(num(resp.at("rpm")),
                     60000 / (num(r.at("rtt_under_load").at("median_us")) / 1000));
    EXPECT_DOUBLE_EQ(num(resp.at("idle_rtt_us")), num(r.at("rtt_first_samples").at("median_us")));
    expect_growing_fetches(r.at("fetches").as_array(), 3);
    // At one sample per 50 ms for 2 s, each load connection has dozens (fewer when the
    // server is slow to read its timer).
    const json::array& per = r.at("per_connection").as_array();
    ASSERT_EQ(per.size(), 2u);
    for (const json::value& c : per) {
        EXPECT_GE(count(c.at("samples")), 10u);
        EXPECT_GT(count(c.at("bytes")), 0u);
    }
    EXPECT_EQ(count(r.at("rtt_first_samples").at("count")), 2u);
    EXPECT_GT(count(r.at("rtt_under_load").at("count")), 10u);
    EXPECT_GT(num(r.at("rtt_under_load").at("median_us")), 0);
    expect_download_consistent(r.at("download").as_object(), 2, 2);
    // What the server counted as sent on a connection all reached the client.
    const json::array& received = r.at("download").at("per_connection").as_array();
    for (size_t i = 0; i < 2; i++)
        EXPECT_LE(count(per[i].at("bytes")),
                  count(received[i].at("bytes")) + count(received[i].at("drained_bytes")));
}

TEST_F(ClientEndToEnd, UploadLatencyReportsResultsAndSamples) {
    client_run run =
        run_client({"latency", "--direction", "POST", "-c", "2", "--latency-interval", "50",
                    "--fetch-interval", "300", "--warmup-samples", "2", "--warmup-sample-time",
                    "100", "--warmup-tolerance", "50", "--intervals", "2", "--json", addr});
    ASSERT_EQ(run.status, 0) << run.err;
    json::object r = parse_report(run);
    EXPECT_EQ(r.at("direction"), "POST");
    expect_growing_fetches(r.at("fetches").as_array(), 3);
    EXPECT_GT(count(r.at("measurement_start_us")), 0u);
    EXPECT_GT(count(r.at("measurement_end_us")), count(r.at("measurement_start_us")));
    const json::object& up = r.at("upload").as_object();
    EXPECT_EQ(up.at("result"), "OK");
    EXPECT_EQ(up.at("intervals").as_array().size(), 2u);
    EXPECT_LE(count(up.at("measurement").at("bytes")), count(up.at("client").at("bytes_sent")));
    // What the server counted as received on a connection is no more than the client sent.
    const json::array& per = r.at("per_connection").as_array();
    const json::array& sent = up.at("client").at("per_connection").as_array();
    ASSERT_EQ(per.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_GT(count(per[i].at("bytes")), 0u);
        EXPECT_LE(count(per[i].at("bytes")), count(sent[i].at("bytes_sent")));
    }
}

TEST_F(ClientEndToEnd, ProgressLineOnlyOnATerminal) {
    client_run run = run_client({"download", "-c", "1", "-d", "3", addr}, true);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_GE(vh_test::count_occurrences(run.err, "\r\033[Kdownload: "), 2) << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
}

TEST_F(ClientEndToEnd, RefusedOrSilentServerFailsNamingTheStep) {
    // A second client with the same session and connection numbers is refused by the server
    // while the first one runs; the first one is not disturbed.
    std::vector<std::string> same = {"download", "-c",           "2",  "-d", "3", "--unit-id",
                                     "77",       "--session-id", "88", addr};
    client_proc first;
    start_client(first, same, true);
    ASSERT_TRUE(wait_for_progress(first)) << first.run.err;
    client_run second = run_client(same);
    client_run first_run = finish_client(first);
    EXPECT_EQ(first_run.status, 0) << first_run.err;
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("varnholt-client: download: connection "), std::string::npos);
    EXPECT_NE(second.err.find(": first reply: the server closed the connection without "
                              "replying (session refused)\n"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(vh_test::count_occurrences(second.err, "\n"), 1);

    // A server that stops answering in the middle of a download.
    client_proc stalled;
    start_client(stalled, {"download", "-c", "2", "-d", "8", "-t", "1", addr}, true);
    ASSERT_TRUE(wait_for_progress(stalled)) << stalled.run.err;
    kill(server.pid, SIGSTOP);
    auto stopped_at = steady::now();
    client_run stalled_run = finish_client(stalled);
    kill(server.pid, SIGCONT);
    EXPECT_EQ(stalled_run.status, 1);
    EXPECT_NE(stalled_run.err.find(": download: no data from the server (timed out after 1 s)"),
              std::string::npos)
        << stalled_run.err;
    EXPECT_LT(std::chrono::duration<double>(steady::now() - stopped_at).count(), 4);

    // A failed test leaves no picture behind; one that cannot be written is not run.
    client_run json_err =
        run_client({"upload", "--json", "--plot", dir + "/failed.svg", "127.0.0.1:1"});
    EXPECT_EQ(json_err.status, 1);
    EXPECT_NE(json_err.err.find("upload: connection 0: connect: 127.0.0.1 port 1: "),
              std::string::npos)
        << json_err.err;
    EXPECT_EQ(parse_report(json_err).at("ok"), false);
    EXPECT_NE(access((dir + "/failed.svg").c_str(), F_OK), 0);
    client_run no_plot = run_client({"download", "--plot", dir + "/none/x.svg", addr});
    EXPECT_EQ(no_plot.status, 2);
    EXPECT_EQ(
        no_plot.err.find("varnholt-client: --plot: cannot write \"" + dir + "/none/x.svg\": "), 0u)
        << no_plot.err;
}

// ---------------------------------------------------------------------------------------
// Scripted servers that misbehave

// Reads one request header, byte by byte so that nothing after it is consumed.
std::string read_head(int fd) {
    std::string req;
    auto until = steady::now() + 5s;
    while (req.find("\r\n\r\n") == std::string::npos && steady::now() < until) {
        std::string more = vh_test::recv_exact(fd, 1, 1s);
        if (more.empty())
            break;
        req += more;
    }
    return req;
}

// Accepts connections on a loopback port and runs `behave` for each, with the request read.
struct scripted_server {
    using behaviour = std::function<void(int fd, const std::string& request)>;
    int fd = -1;
    int port = 0;
    behaviour behave;
    std::atomic<bool> stop{false};
    std::thread acceptor;
    std::mutex m;
    std::vector<std::thread> workers;

    explicit scripted_server(behaviour b) : behave(std::move(b)) {
        fd = vh_test::listen_loopback(false, &port);
        acceptor = std::thread([this] { accept_loop(); });
    }
    ~scripted_server() {
        stop = true;
        acceptor.join();
        std::lock_guard<std::mutex> lock(m);
        for (std::thread& w : workers)
            w.join();
        close(fd);
    }
    void accept_loop() {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept(fd, nullptr, nullptr);
            if (c < 0)
                continue;
            std::lock_guard<std::mutex> lock(m);
            workers.emplace_back([this, c] {
                behave(c, read_head(c));
                close(c);
            });
        }
    }
};

// Waits (without reading) until the client goes away, at most a few seconds.
void hold(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    poll(&p, 1, 5000);
}

// Discards what the client sends for `ms` milliseconds.
void drain_for(int fd, int ms) {
    auto until = steady::now() + std::chrono::milliseconds(ms);
    while (steady::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && recv(fd, nullptr, 1 << 30, MSG_TRUNC | MSG_DONTWAIT) == 0)
            return;
    }
}

// Sends data until the client half-closes (true) or goes away (false).
bool stream_until_half_close(int fd) {
    std::string chunk(65536, 'x');
    auto until = steady::now() + 10s;
    while (steady::now() < until) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        if (p.revents & POLLIN) {
            char b[65536];
            ssize_t n = recv(fd, b, sizeof(b), MSG_DONTWAIT);
            if (n == 0)
                return true;
            if (n < 0 && errno != EAGAIN)
                return false;
        }
        if (p.revents & (POLLERR | POLLHUP))
            return false;
        if ((p.revents & POLLOUT) &&
            send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN)
            return false;
    }
    return false;
}

using vh_test::CONTINUE;
using vh_test::GET_REPLY;
const std::string STATS = std::string("\1\2\3\4\5\6\7\10\0\0\0\4\0\0\0\0", 16);

// An upload server that takes data for a while, then sends `results` and closes.
scripted_server::behaviour serve_results(const std::string& results) {
    return [results](int fd, const std::string&) {
        vh_test::send_all(fd, CONTINUE);
        drain_for(fd, 300);
        vh_test::send_all(fd, results);
        shutdown(fd, SHUT_WR);
        vh_test::wait_closed(fd, 5s);
    };
}

// A latency server whose load connections stream a download and whose control connection
// answers each statistics request with `doc` (announced as `length` when given).
scripted_server::behaviour serve_statistics(const std::string& doc, std::string length = "") {
    if (length.empty())
        length = std::to_string(doc.size());
    return [doc, length](int fd, const std::string& req) {
        if (req.find("CONNECTION=0") == std::string::npos) {
            vh_test::send_all(fd, GET_REPLY);
            if (stream_until_half_close(fd))
                vh_test::send_all(fd, STATS);
            return;
        }
        vh_test::send_all(fd, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
        read_head(fd);
        vh_test::send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + doc);
        hold(fd);
    };
}

struct bad_server_case {
    const char* name;
    std::vector<std::string> args; // before the server address
    scripted_server::behaviour behave;
    std::string expected; // in the one error line
};

TEST(ClientAgainstScriptedServers, EveryFailureIsOneLineNamingTheStep) {
    // Within the size this test allows, but twelve times its length as a parsed tree.
    std::string numbers = "0";
    while (numbers.size() < 150000)
        numbers += ",0";
    std::string zeros = document({{}, {numbers}});
    const std::vector<bad_server_case> cases = {
        {"closes at once",
         {"download"},
         [](int, const std::string&) {},
         "download: connection 0: first reply: the server closed the connection without "
         "replying (session refused)"},
        {"refuses with a status",
         {"upload"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
             hold(fd);
         },
         "upload: connection 0: first reply: unexpected \"HTTP/1.1 404 Not Found\" (expected "
         "100)"},
        {"answers garbage",
         {"download"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, "hello\r\n");
             hold(fd);
         },
         "download: connection 0: first reply: not an HTTP reply: \"hello\\r\\n\""},
        {"never answers",
         {"download"},
         [](int fd, const std::string&) { hold(fd); },
         "download: connection 0: first reply: timed out after 1 s"},
        {"closes during the download",
         {"download", "-d", "5"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, GET_REPLY + std::string(100000, 'x'));
         },
         "download: connection 0: download: the server closed the connection after 100000 "
         "bytes"},
        {"stops sending",
         {"download", "-d", "5"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, GET_REPLY + "some data");
             hold(fd);
         },
         "download: connection 0: download: no data from the server (timed out after 1 s)"},
        {"ends without the stats message",
         {"download", "-d", "0.5"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, GET_REPLY);
             if (stream_until_half_close(fd))
                 vh_test::send_all(fd, "not the stats message");
         },
         "download: connection 0: stats message: missing or malformed at the end of the stream"},
        {"answers the half-close with nothing",
         {"download", "-d", "0.5"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, GET_REPLY);
             // The half-close is already there, so wait out the client's time-out instead.
             if (stream_until_half_close(fd))
                 std::this_thread::sleep_for(2s);
         },
         "download: connection 0: stats message: the server sent nothing more after the "
         "half-close (timed out after 1 s)"},
        {"takes no upload data",
         {"upload"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, CONTINUE);
             hold(fd);
         },
         "upload: connection 0: upload: the server takes no data (timed out after 1 s)"},
        {"sends a malformed results reply",
         {"upload"},
         serve_results("VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: MAYBE\n\n"),
         "upload: connection 0: results reply: line 3: RESULT is \"MAYBE\", not OK or FAIL"},
        {"closes before the results reply",
         {"upload"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, CONTINUE);
             drain_for(fd, 300);
             shutdown(fd, SHUT_WR);
             vh_test::wait_closed(fd, 5s);
         },
         "upload: connection 0: results reply: the server closed the connection before it"},
        {"refuses the latency control connection",
         {"latency"},
         [](int fd, const std::string&) {
             vh_test::send_all(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
             hold(fd);
         },
         "latency: control connection: first reply: unexpected \"HTTP/1.1 404 Not Found\" "
         "(expected 201)"},
        {"serves a broken statistics document",
         {"latency", "--fetch-interval", "100", "-d", "3"},
         serve_statistics("{\"a\":1}"),
         "latency: control connection: statistics document: missing or non-integer "
         "\"protocol_version\""},
        {"serves statistics whose counters go backwards",
         {"latency", "--fetch-interval", "100", "-d", "3"},
         serve_statistics(document({{}, {sample_json(100, 40, 5000), sample_json(200, 40, 10)}})),
         "latency: control connection: statistics document: connection 1: sample 1: its byte "
         "counters go backwards"},
        {"announces a statistics document beyond what the test can produce",
         {"latency", "--fetch-interval", "100", "-d", "3"},
         serve_statistics("", "999999999999"),
         // (3 s + 6 time-outs + 10 s) at 10 samples a second, 16 more, 2 connections, 400 bytes
         // a sample, 64 KiB
         "latency: control connection: statistics document: Content-Length 999999999999 is "
         "more than this test's samples can take (230336 bytes)"},
        {"serves a document that would take much memory to parse",
         {"latency", "--fetch-interval", "100", "-d", "3"},
         serve_statistics(zeros),
         "latency: control connection: statistics document: parsing it would take more than " +
             std::to_string(zeros.size() * 6 + 65536) + " bytes"},
        {"sends results whose time goes backwards",
         {"upload"},
         serve_results("VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: OK\nEND_TIME: 5\n"
                       "SECTION: WARMUP\nNUM_WARMUP: 1\nWARMUP_SESSION: 2 0 9\n"
                       "SECTION: MEASUR\nNUM_MEASUR: 1\nMEASUR_SESSION: 1 0 9\n\n"),
         "upload: connection 0: results reply: measurement sample 1 has a time not after the "
         "previous sample's"},
    };
    for (const bad_server_case& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server srv(c.behave);
        std::vector<std::string> args = c.args;
        for (const char* a : {"-c", "1", "-t", "1", "--warmup-sample-time", "100",
                              "--max-warmup-samples", "4", "--intervals", "1"})
            args.push_back(a);
        args.push_back("127.0.0.1:" + std::to_string(srv.port));
        client_run run = run_client(args);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.err, std::string("varnholt-client: ") + c.expected + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_LT(run.seconds, 6.0);
    }
}

// A test the server reports as failed is a test that ran: its report, and a status of its own.
TEST(ClientAgainstScriptedServers, FailedResultHasItsOwnStatus) {
    const std::string failed = "VARNHOLT_HTTP_REPLY\nVERSION: 1.0\nRESULT: FAIL\nEND_TIME: 5\n"
                               "SECTION: WARMUP\nNUM_WARMUP: 1\nWARMUP_SESSION: 0 100000000 9\n"
                               "SECTION: MEASUR\nNUM_MEASUR: 0\n\n";
    scripted_server srv(serve_results(failed));
    client_run run = run_client({"upload", "-c", "2", "-t", "2", "--warmup-sample-time", "100",
                                 "--max-warmup-samples", "4", "--intervals", "1",
                                 "127.0.0.1:" + std::to_string(srv.port)});
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("\nRESULT: FAIL\nwarm-up: 0.100 s, 1 sample\nmeasurement: none\n"),
              std::string::npos)
        << run.out;
}

} // namespace
