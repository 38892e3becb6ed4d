// Unit tests of request parsing: header completeness, the pattern, query keys and their
// checks, the path forms, transfer deadlines and path session ids.
#include "request.h"
#include "settings.h"
#include "test_support.h"
#include "timers.h"

#include <cstdio>
#include <cstring>
#include <boost/algorithm/string/replace.hpp>
#include <gtest/gtest.h>
#include <sstream>

namespace {

using vh_test::http_request;
const std::string ID36 = "0123456789abcdef0123456789abcdef0123";
const std::string CONTROLLED = "UNITID=2&SESSIONID=7&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=1";
const std::string UPLOAD_RULES = "NUM_WARMUP_SAMPLES=3&MAX_WARMUP_SAMPLES=8&WARMUP_SAMPLE_TIME=100&"
                                 "RESULT_NUM_INTERVALS=5&RESULTS_INTERVAL_PERIOD=1";
const std::string LATENCY = "LATENCY_INTERVAL=100&LATENCY_ID=4294967295";
constexpr uint64_t UNIT2_SESSION7 = (2ull << 32) + 7;
constexpr int WHOLE = 0; // expected result: the length of the whole text

long long to_ns(const timespec& t) {
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

class RequestTest : public testing::Test {
  protected:
    // Frees the PUT path the last parse kept, if any.
    void TearDown() override {
        if (req.put_path != nullptr)
            g_string_free(req.put_path, TRUE);
        req.put_path = nullptr;
    }
    int parse(const std::string& text) {
        TearDown();
        return parse_request(text.c_str(), text.size(), &req);
    }
    // Method, lone slash or path, connection index and count, session id in hexadecimal, and
    // what path style, a latency test or a PUT add.
    std::string fields() const {
        static const char* const methods[] = {"GET", "POST", "PUT", "HEAD"};
        char text[96];
        snprintf(text, sizeof text, "%s %s %zu/%zu %llx", methods[req.method],
                 req.no_path ? "/" : "path", req.conn_id, req.num_conns,
                 static_cast<unsigned long long>(req.session_id));
        std::string out = text;
        if (req.path_style)
            out += " path-style " + std::to_string(req.max_warmup_samples) + "/" +
                   std::to_string(req.result_num_intervals);
        if (req.latency_test)
            out += " latency " + std::to_string(to_ns(req.latency_interval));
        if (req.put_path != nullptr)
            out += " put:" + std::string(req.put_path->str, req.put_path->len);
        return out;
    }
    // Every other value a query may set.
    std::string rules() const {
        char text[400];
        snprintf(text, sizeof text,
                 "unit %u agg %d period %zu intervals %zu cap %lu max %lu time %zu warm %zu/%zu "
                 "wsize %lu fail %d tol %d trace %lld latency %lld log %d cong %s",
                 req.unit_id, req.aggregate_warmup, req.results_interval_period,
                 req.result_num_intervals, req.test_data_cap, req.transfer_max_size,
                 req.warmup_sample_time, req.num_warmup_samples, req.max_warmup_samples,
                 req.max_warmup_size, req.warmup_fail_on_max, req.warmup_tolerance,
                 to_ns(req.trace_interval), to_ns(req.latency_interval), req.store_log,
                 req.tcp_cong);
        return text;
    }
    request_info req{};
};

// Hand-picked headers with their answer: -2 (incomplete), -1 (refused) or the header's length
// (WHOLE, or a number when the match ends early) and the fields: method, whether the path is a
// lone slash, connection index and count, and session id in hexadecimal.
TEST_F(RequestTest, HeadersGiveTheirVerdictAndFields) {
    const struct {
        std::string text, fields;
        int result = WHOLE;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", "GET / 0/1 0"},
        {"HEAD /file.bin HTTP/1.0 \r\nHost: a\r\nAccept: */*\r\n\r\n", "HEAD path 0/1 0"},
        {http_request("GET", "/x?UNITID=2&SESSIONID=7&NUM_CONNECTIONS=2&CONNECTION=1"),
         "GET path 0/1 200000007"}, // uncontrolled: the counts are ignored
        {http_request("POST", "/up?" + CONTROLLED + "&" + UPLOAD_RULES), "POST path 1/2 200000007"},
        // Repeated ids add up; for the counts the last repeat wins.
        {http_request("GET", "/?UNITID=1&UNITID=1&SESSIONID=3&SESSIONID=4&" + CONTROLLED +
                                 "&NUM_CONNECTIONS=3&CONNECTION=2"),
         "GET / 2/3 40000000e"},
        {http_request("GET", "/?LATENCY_ID=4294967296&SESSIONID=5&CONTROL=1&NUM_CONNECTIONS=1&"
                             "CONNECTION=0"),
         "GET / 0/1 100000005"},
        {http_request("GET", "/results2"), "GET path 0/1 0"},
        // LATENCY_TEST overrides the method; a prefix is enough as the last parameter.
        {http_request("POST", "/?LATENCY_TEST=GET&" + LATENCY),
         "GET / 0/1 ffffffff latency 100000000"},
        {http_request("GET", "/?" + LATENCY + "&LATENCY_TEST=PO"),
         "POST / 0/1 ffffffff latency 100000000"},
        // A PUT keeps its path and skips the query (UNITID=x would refuse a GET).
        {http_request("PUT", "/logs/42.log?UNITID=x&CONTROL=1"), "PUT path 0/0 0 put:logs/42.log"},
        {http_request("PUT", "/results"), "PUT path 0/0 0 put:results"},
        // Complete as soon as CR LF CR LF occurs, also after a NUL; the match then decides on the
        // text up to the NUL. Incomplete even when malformed.
        {std::string("GET / HTTP/1.1\r\n\0\r\n\r\n", 21), "GET / 0/1 0", 16},
        {std::string("GET / HTTP/1.1\r\n\0\r\n\r", 20), "", -2},
        {"GE", "", -2},
        {"get / HTTP/1.1\r\nHost: a\r\n", "", -2},
        {"\r\n\r\n", "", -1}}; // the shortest complete text
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const int result = parse(c.text);
        EXPECT_EQ(result, c.result == WHOLE ? static_cast<int>(c.text.size()) : c.result);
        EXPECT_EQ(result >= 0 ? fields() : "", c.fields);
    }
    // Refused queries and paths (a request line without its version).
    for (const std::string& line : std::initializer_list<std::string>{
             "GET /?NUM_CONNECTIONS=abc",
             "GET /?UNITID=2&SESSIONID=7&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=2",
             "GET /?SESSIONID=7&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=1",
             "GET /?LATENCY_ID=4294967295&CONTROL=1&NUM_CONNECTIONS=1&CONNECTION=0",
             "GET /?LATENCY_TEST=PUT&" + LATENCY,
             "GET /?LATENCY_TEST=PO&" + LATENCY, // not last
             "POST /?LATENCY_TEST=GET&LATENCY_INTERVAL=100&LATENCY_ID=4294967294",
             "POST /?LATENCY_TEST=GET&LATENCY_ID=4294967295", "GET /results", "HEAD /results?A=1"})
        EXPECT_EQ(parse(line + " HTTP/1.1\r\n\r\n"), -1) << line;
}

// Every key is known by its whole name only: names one character shorter or longer, or with
// one character changed (which keeps the length and, for the inner ones, the first and last
// character that pick the key's slot) are unknown and ignored. A value no known key takes
// tells the two apart: 16 letters are no number, too long a congestion name and no method.
TEST_F(RequestTest, KeysAreKnownByTheirWholeNameOnly) {
    const auto with_value = [](const std::string& name) {
        return http_request("GET", "/x?" + name + "=abcdefghijklmnop");
    };
    ASSERT_EQ(query_key_names().size(), 23u);
    for (const std::string_view view : query_key_names()) {
        const std::string key(view);
        SCOPED_TRACE(key);
        // CONTROL= takes any value but makes the request controlled, which fails its checks;
        // ACCESS_TOKEN= takes any value and notes where it lies.
        const bool token = key == "ACCESS_TOKEN";
        EXPECT_EQ(parse(with_value(key)), token ? static_cast<int>(with_value(key).size()) : -1);
        EXPECT_TRUE(!token || req.token_length == 16u) << req.token_length;
        std::vector<std::string> lookalikes = {key.substr(1), key.substr(0, key.size() - 1),
                                               key + "S", "X" + key, key + "_"};
        for (size_t i = 0; i < key.size(); ++i) {
            lookalikes.push_back(key);
            lookalikes.back()[i] = key[i] == 'Z' ? 'Y' : (key[i] == '_' ? 'A' : key[i] + 1);
        }
        for (const std::string& name : lookalikes)
            EXPECT_EQ(parse(with_value(name)), static_cast<int>(with_value(name).size())) << name;
    }
}

TEST_F(RequestTest, EveryKeyReachesItsFieldAndAbsentOnesLeaveDefaults) {
    const std::string text = http_request(
        "POST", "/up?UNITID=3&SESSIONID=9&CONTROL=1&NUM_CONNECTIONS=12abc&CONNECTION=11&"
                "AGGREGATE_WARMUP=1&RESULTS_INTERVAL_PERIOD=2&RESULT_NUM_INTERVALS=10&"
                "TEST_DATA_CAP=5000000000&TRANSFER_MAX_SIZE=6000000000&WARMUP_SAMPLE_TIME=250&"
                "NUM_WARMUP_SAMPLES=4&MAX_WARMUP_SIZE=7000000000&MAX_WARMUP_SAMPLES=20&"
                "WARMUP_FAIL_ON_MAX=1&WARMUP_TOLERANCE=15&TRACE_INTERVAL=1500&TCP_CONG=cubic&"
                "STORE_LOG=1&LATENCY_INTERVAL=2250&UNKNOWN_KEY=1");
    ASSERT_EQ(parse(text), static_cast<int>(text.size()));
    EXPECT_EQ(fields(), "POST path 11/12 300000009"); // "12abc" converts up to the first letter
    EXPECT_EQ(rules(), "unit 3 agg 1 period 2 intervals 10 cap 5000000000 max 6000000000 time 250 "
                       "warm 4/20 wsize 7000000000 fail 1 tol 15 trace 1500000000 latency "
                       "2250000000 log 1 cong cubic");
    // Flags need exactly 1; absent numbers keep their defaults.
    ASSERT_GT(parse(http_request("GET", "/?AGGREGATE_WARMUP=2&STORE_LOG=0&WARMUP_FAIL_ON_MAX=11")),
              0);
    EXPECT_EQ(rules(), "unit 0 agg 0 period 0 intervals 0 cap 18446744073709551615 max "
                       "18446744073709551615 time 0 warm 0/0 wsize 18446744073709551615 fail 0 "
                       "tol 0 trace 0 latency 0 log 0 cong ");
    EXPECT_EQ(req.put_path, nullptr);
    // A congestion name of 15 characters fits; a shorter repeat leaves the array as a fresh
    // parse would, since sessions compare it bytewise.
    ASSERT_GT(parse(http_request("GET", "/?TCP_CONG=abcdefghijklmno")), 0);
    EXPECT_STREQ(req.tcp_cong, "abcdefghijklmno");
    ASSERT_GT(parse(http_request("GET", "/?TCP_CONG=abcdefghijklmno&TCP_CONG=bbr")), 0);
    const char expected[16] = "bbr";
    EXPECT_EQ(memcmp(req.tcp_cong, expected, sizeof expected), 0);
}

// Every number a client sends has a range: the edges are taken, one beyond is refused, and
// values whose products would wrap (milliseconds to nanoseconds, counts to bytes) never get
// that far. The refused forms were each once able to end or exhaust the process. A query of
// more than MAX_QUERY_PARAMETERS parameters is refused, whatever its keys; a PUT's query is not
// read and not counted.
TEST_F(RequestTest, HostileNumbersOutsideTheirRangesAndTooManyParametersAreRefused) {
    // Each key's last repeat wins: the counts below replace this one.
    const std::string base = "UNITID=2&SESSIONID=7&CONTROL=1&CONNECTION=0&NUM_CONNECTIONS=2&";
    const std::string big = "NUM_WARMUP_SAMPLES=3&MAX_WARMUP_SAMPLES=10000&WARMUP_SAMPLE_TIME=100&"
                            "RESULT_NUM_INTERVALS=10&RESULTS_INTERVAL_PERIOD=1&NUM_CONNECTIONS=";
    const std::string latency = "LATENCY_TEST=GET&LATENCY_ID=4294967296&CONTROL=1&CONNECTION=0&"
                                "LATENCY_INTERVAL=100&NUM_CONNECTIONS=";
    // Checks that `target` + the first of `values` is taken, and with each of the others refused.
    const auto verdicts = [&](const char* method, const std::string& target,
                              const std::string& values) {
        std::istringstream in(values);
        std::string value;
        in >> value;
        EXPECT_GT(parse(http_request(method, target + value)), 0) << target << values;
        while (in >> value)
            EXPECT_EQ(parse(http_request(method, target + value)), -1) << target << value;
    };
    // Key (its last repeat wins), an edge taken, then refused values: one beyond it, and forms
    // that wrap when read ("-1 as %d reads it") or multiplied (milliseconds to nanoseconds,
    // counts to bytes).
    for (const std::string edge :
         {"NUM_CONNECTIONS 1 0", "NUM_CONNECTIONS 256 257 2305843009213693953",
          "NUM_WARMUP_SAMPLES 1 0", "NUM_WARMUP_SAMPLES 8 9", "MAX_WARMUP_SAMPLES 3 2",
          "MAX_WARMUP_SAMPLES 10000 10001 1152921504606846977", "WARMUP_SAMPLE_TIME 1 0",
          "WARMUP_SAMPLE_TIME 60000 60001", "RESULT_NUM_INTERVALS 1 0",
          "RESULT_NUM_INTERVALS 10000 10001 2305843009213693953", "RESULTS_INTERVAL_PERIOD 1 0",
          "RESULTS_INTERVAL_PERIOD 3600 3601 18446744073709551615", "WARMUP_TOLERANCE 0 4294967295",
          "WARMUP_TOLERANCE 1000 1001", "TRACE_INTERVAL 10 9",
          "TRACE_INTERVAL 60000 60001 18446744073709552", "LATENCY_INTERVAL 10 1",
          "LATENCY_INTERVAL 60000 60001 9223372036854776"}) {
        const std::string key = edge.substr(0, edge.find(' '));
        verdicts("POST", "/?" + base + UPLOAD_RULES + "&" + key + "=", edge.substr(key.size()));
    }
    // Sample slots of all connections together stay within the session's budget; latency
    // samples over the session life time (connections x (life / interval + 1)) too; and a
    // path-style connection's own arrays, and its index, which comes from the path.
    session_timeout = 300;
    verdicts("POST", "/?" + base + big, "26 27");
    verdicts("GET", "/?" + latency, "87 88");
    verdicts("POST", "/" + ID36 + "?MAX_WARMUP_SAMPLES=1000&RESULT_NUM_INTERVALS=", "24 25");
    verdicts("POST", "/" + ID36 + "/", "255 256");

    const auto query_of = [](size_t count, const std::string& param) {
        std::string query = "/x?" + CONTROLLED;
        for (size_t i = 5; i < count; ++i)
            query += "&" + param;
        return query;
    };
    for (const std::string param : {"A=1", "NUM_CONNECTIONS=2", "UNITID=0"}) {
        SCOPED_TRACE(param);
        const std::string most = http_request("GET", query_of(MAX_QUERY_PARAMETERS, param));
        EXPECT_EQ(parse(most), static_cast<int>(most.size()));
        EXPECT_EQ(std::pair(req.session_id, req.num_conns), std::pair(UNIT2_SESSION7, size_t{2}));
        EXPECT_EQ(parse(http_request("GET", query_of(MAX_QUERY_PARAMETERS + 1, param))), -1);
    }
    const std::string put = http_request("PUT", query_of(4 * MAX_QUERY_PARAMETERS, "A=1"));
    EXPECT_EQ(parse(put), static_cast<int>(put.size()));
}

// Long paths: a POST of a 36-character identifier is path-style, with defaults unless the
// query sets them, and may carry a connection index, which also makes the session id, and a
// transfer deadline; a GET may carry only the deadline; conversion errors are printed, and
// cost the client its path values only.
TEST_F(RequestTest, LongPathsCarryPathStyleValuesAndDeadlines) {
    const std::string id = "/" + ID36;
    const struct {
        const char* method;
        std::string target, fields;
        long long deadline_ms = 0;
        bool bad_number = false;
    } cases[] = {
        {"POST", id, "POST path 0/5 0 path-style 10/6"},
        {"POST", id + "?" + CONTROLLED + "&" + UPLOAD_RULES,
         "POST path 1/2 200000007 path-style 8/5"},
        {"POST", id + "/3/2000", "POST path 3/5 3132333435363700 path-style 10/6", 2000},
        {"POST", id + "/x/2000", "POST path 0/5 0 path-style 10/6", 2000},
        {"POST", id + "x//2000", "POST path 0/5 0 path-style 10/6"}, // no slash after the id
        {"GET", id + "ab/500?" + CONTROLLED, "GET path 1/2 200000007", 500},
        {"POST", id.substr(0, 36), "POST path 0/1 0"},
        {"HEAD", id + "/3/2000", "HEAD path 0/1 0"},
        {"POST", id + "/3/abc", "POST path 3/5 3132333435363700 path-style 10/6", 0, true},
        {"POST", id + "/99999999999", "POST path 0/5 0 path-style 10/6", 0, true},
        // A path may hold line ends: spelled out, they add no line to the output.
        {"GET", id + "ab/\r\nforged\n", "GET path 0/1 0", 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        const std::string text = http_request(c.method, c.target);
        testing::internal::CaptureStdout();
        const long long before = monotonic_now_ns();
        EXPECT_EQ(parse(text), static_cast<int>(text.size()));
        const long long after = monotonic_now_ns();
        std::string path = c.target.substr(1);
        boost::algorithm::replace_all(path, "\r", "<CR>");
        boost::algorithm::replace_all(path, "\n", "<LF>");
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.bad_number ? "Path [" + path + "] parse error: stoi\n" : "");
        EXPECT_EQ(fields(), c.fields);
        const long long deadline = to_ns(req.transfer_deadline), ms = c.deadline_ms * 1000000;
        EXPECT_TRUE(ms == 0 ? deadline == 0 : deadline >= before + ms && deadline <= after + ms)
            << deadline - before;
    }
}

// Milliseconds either way from times just below, at and above whole seconds.
TEST(TransferDeadline, CarriesWhenNanosecondsReachOneSecond) {
    for (const long now_ns : {0L, 1L, 500000000L, 999000000L, 999999999L})
        for (int ms = -3000; ms < 3000; ++ms) {
            const timespec d = transfer_deadline_after({50, now_ns}, ms);
            ASSERT_TRUE(d.tv_nsec >= 0 && d.tv_nsec < 1000000000 &&
                        to_ns(d) == 50000000000LL + now_ns + ms * 1000000LL)
                << now_ns << " + " << ms << ": " << d.tv_sec << " s " << d.tv_nsec << " ns";
        }
}

} // namespace
