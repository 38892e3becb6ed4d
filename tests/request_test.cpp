// Unit tests of request parsing: header completeness, the pattern, query keys and their
// checks, the path forms, transfer deadlines and path session ids.
#include "request.h"
#include "settings.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string ID36 = "0123456789abcdef0123456789abcdef0123";
const std::string CONTROLLED = "UNITID=2&SESSIONID=7&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=1";
const std::string UPLOAD_RULES = "NUM_WARMUP_SAMPLES=3&MAX_WARMUP_SAMPLES=8&WARMUP_SAMPLE_TIME=100&"
                                 "RESULT_NUM_INTERVALS=5&RESULTS_INTERVAL_PERIOD=1";
const std::string LATENCY = "LATENCY_INTERVAL=100&LATENCY_ID=4294967295";
constexpr uint64_t UNIT2_SESSION7 = (2ull << 32) + 7;

std::string header(const std::string& method, const std::string& target) {
    return method + " " + target + " HTTP/1.1\r\nHost: speed.example\r\n\r\n";
}

// UPLOAD_RULES with one key left out.
std::string rules_without(const std::string& key) {
    std::string rules = "&" + UPLOAD_RULES + "&";
    const size_t at = rules.find("&" + key + "=");
    rules.erase(at + 1, rules.find('&', at + 1) - at);
    return rules.substr(1, rules.size() - 2);
}

long long to_ns(const timespec& t) {
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

timespec monotonic_now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

class RequestTest : public testing::Test {
  protected:
    void TearDown() override {
        release_put_path();
        debug_level = 0;
    }
    void release_put_path() {
        if (req.put_path != nullptr)
            g_string_free(req.put_path, TRUE);
        req.put_path = nullptr;
    }
    int parse(const std::string& text) {
        release_put_path();
        return parse_request(text.c_str(), text.size(), &req);
    }
    // Parses and checks that the deadline lies ms after the moment of parsing.
    void parse_expecting_deadline(const std::string& text, long long ms) {
        const timespec before = monotonic_now();
        ASSERT_EQ(parse(text), static_cast<int>(text.size()));
        const timespec after = monotonic_now();
        EXPECT_GE(to_ns(req.transfer_deadline), to_ns(before) + ms * 1000000);
        EXPECT_LE(to_ns(req.transfer_deadline), to_ns(after) + ms * 1000000);
    }
    void expect_path_style_defaults() {
        EXPECT_TRUE(req.path_style);
        EXPECT_EQ(req.max_warmup_samples, 10u);
        EXPECT_EQ(req.result_num_intervals, 6u);
        EXPECT_EQ(req.num_conns, 5u);
    }
    request_info req{};
};

struct Accepted {
    const char* name;
    std::string text;
    request_method method;
    bool no_path;
    size_t num_conns;
    size_t conn_id;
    uint64_t session_id;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const Accepted& c, std::ostream* os) {
    *os << c.name;
}

class AcceptedRequest : public RequestTest, public testing::WithParamInterface<Accepted> {};

TEST_P(AcceptedRequest, ReturnsHeaderLengthAndFields) {
    const Accepted& c = GetParam();
    EXPECT_EQ(parse(c.text), static_cast<int>(c.text.size()));
    EXPECT_EQ(req.method, c.method);
    EXPECT_EQ(req.no_path, c.no_path);
    EXPECT_EQ(req.num_conns, c.num_conns);
    EXPECT_EQ(req.conn_id, c.conn_id);
    EXPECT_EQ(req.session_id, c.session_id);
    EXPECT_FALSE(req.path_style);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AcceptedRequest,
    testing::Values(
        // 18 bytes; session 0 later becomes a session of the socket alone.
        Accepted{"LoneSlash", "GET / HTTP/1.1\r\n\r\n", GET, true, 1, 0, 0},
        Accepted{"LoneSlashWithQuery", "GET /?A=1 HTTP/1.1\r\n\r\n", GET, true, 1, 0, 0},
        Accepted{"ExtraBlankLines", "GET / HTTP/1.1\r\n\r\n\r\n", GET, true, 1, 0, 0},
        Accepted{"HeadOldVersionTrailingSpace",
                 "HEAD /file.bin HTTP/1.0 \r\nHost: a\r\nAccept: */*\r\n\r\n", HEAD, false, 1, 0,
                 0},
        Accepted{"ControlledGet", header("GET", "/?" + CONTROLLED), GET, true, 2, 1,
                 UNIT2_SESSION7},
        Accepted{"UncontrolledIgnoresCounts",
                 header("GET", "/x?UNITID=2&SESSIONID=7&NUM_CONNECTIONS=2&CONNECTION=1"), GET,
                 false, 1, 0, UNIT2_SESSION7},
        Accepted{"ControlledPost", header("POST", "/up?" + CONTROLLED + "&" + UPLOAD_RULES), POST,
                 false, 2, 1, UNIT2_SESSION7},
        Accepted{"RepeatedIdsAddUp", header("GET", "/?UNITID=1&UNITID=1&SESSIONID=3&SESSIONID=4"),
                 GET, true, 1, 0, (2ull << 32) + 7},
        Accepted{"LatencyIdThenSessionAdds",
                 header("GET", "/?LATENCY_ID=4294967296&SESSIONID=5&CONTROL=1&NUM_CONNECTIONS=1&"
                               "CONNECTION=0"),
                 GET, true, 1, 0, 4294967301ull},
        Accepted{"LastRepeatWins",
                 header("GET", "/?" + CONTROLLED + "&NUM_CONNECTIONS=3&CONNECTION=2"), GET, true, 3,
                 2, UNIT2_SESSION7},
        Accepted{"ResultsLookalike", header("GET", "/results2"), GET, false, 1, 0, 0}),
    [](const testing::TestParamInfo<Accepted>& param) { return param.param.name; });

struct Refused {
    const char* name;
    std::string text;
};

void PrintTo(const Refused& c, std::ostream* os) {
    *os << c.name;
}

class RefusedRequest : public RequestTest, public testing::WithParamInterface<Refused> {};

TEST_P(RefusedRequest, ReturnsMinusOne) {
    EXPECT_EQ(parse(GetParam().text), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RefusedRequest,
    testing::Values(
        Refused{"LowerCaseMethod", "get / HTTP/1.1\r\n\r\n"},
        Refused{"LowerCaseKey", header("GET", "/?unitid=2")},
        Refused{"PunctuationInValue", header("GET", "/?TCP_CONG=bbr-2")},
        Refused{"HeaderLineWithoutColon", "GET / HTTP/1.1\r\nHost\r\n\r\n"},
        Refused{"BodyByteAfterHeader", "POST / HTTP/1.1\r\n\r\nX"},
        Refused{"NonNumericValue", header("GET", "/?NUM_CONNECTIONS=abc")},
        Refused{"ConnectionNotBelowCount",
                header("GET", "/?UNITID=2&SESSIONID=7&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=2")},
        Refused{"ControlledWithoutUnit",
                header("GET", "/?SESSIONID=7&CONTROL=1&NUM_CONNECTIONS=2&CONNECTION=1")},
        Refused{"ControlledAtSessionIdBoundary",
                header("GET", "/?LATENCY_ID=4294967295&CONTROL=1&NUM_CONNECTIONS=1&CONNECTION=0")},
        Refused{"ControlledZeroConnections",
                header("GET", "/?UNITID=2&CONTROL=1&NUM_CONNECTIONS=0&CONNECTION=0")},
        Refused{"PostWithoutWarmupSamples",
                header("POST", "/?" + CONTROLLED + "&" + rules_without("NUM_WARMUP_SAMPLES"))},
        Refused{"PostWithoutSampleTime",
                header("POST", "/?" + CONTROLLED + "&" + rules_without("WARMUP_SAMPLE_TIME"))},
        Refused{"PostWithoutIntervals",
                header("POST", "/?" + CONTROLLED + "&" + rules_without("RESULT_NUM_INTERVALS"))},
        Refused{"PostWithoutPeriod",
                header("POST", "/?" + CONTROLLED + "&" + rules_without("RESULTS_INTERVAL_PERIOD"))},
        Refused{"PostMaxBelowWarmupSamples",
                header("POST", "/?" + CONTROLLED + "&" + UPLOAD_RULES + "&MAX_WARMUP_SAMPLES=2")},
        Refused{"CongestionName16", header("GET", "/?TCP_CONG=abcdefghijklmnop")},
        Refused{"LatencyUnknownMethod", header("GET", "/?LATENCY_TEST=PUT&" + LATENCY)},
        Refused{"LatencyShortFormNotLast", header("GET", "/?LATENCY_TEST=PO&" + LATENCY)},
        Refused{"LatencyIdTooSmall",
                header("POST", "/?LATENCY_TEST=GET&LATENCY_INTERVAL=100&LATENCY_ID=4294967294")},
        Refused{"LatencyWithoutInterval",
                header("POST", "/?LATENCY_TEST=GET&LATENCY_ID=4294967295")},
        Refused{"ResultsGet", header("GET", "/results")},
        Refused{"ResultsPost", header("POST", "/results")},
        Refused{"ResultsHead", header("HEAD", "/results")},
        Refused{"ResultsWithQuery", header("GET", "/results?A=1")}),
    [](const testing::TestParamInfo<Refused>& param) { return param.param.name; });

// Numbers are converted with the C library's scanf rules, overflow included, for
// every value the pattern lets through (letters and digits).
TEST_F(RequestTest, NumbersConvertAsTheCLibraryScansThem) {
    std::mt19937_64 rng(3);
    const char digits_and_letters[] = "0123456789aZ";
    for (int i = 0; i < 20000; i++) {
        std::string value;
        size_t length = 1 + rng() % 24;
        for (size_t j = 0; j < length; j++)
            value += digits_and_letters[rng() % (rng() % 4 == 0 ? 12 : 10)];
        const std::string text = "GET /x?UNITID=" + value + "&TEST_DATA_CAP=" + value +
                                 "&WARMUP_TOLERANCE=" + value + " HTTP/1.1\r\n\r\n";
        unsigned u = 0;
        unsigned long lu = 0;
        int d = 0;
        bool numeric = sscanf(value.c_str(), "%u", &u) == 1;
        ASSERT_EQ(sscanf(value.c_str(), "%lu", &lu) == 1, numeric);
        ASSERT_EQ(sscanf(value.c_str(), "%d", &d) == 1, numeric);
        int result = parse(text);
        if (!numeric || d < 0 || d > MAX_WARMUP_TOLERANCE) {
            EXPECT_EQ(result, -1) << value;
            continue;
        }
        ASSERT_EQ(result, static_cast<int>(text.size())) << value;
        EXPECT_EQ(req.unit_id, u) << value;
        EXPECT_EQ(req.test_data_cap, lu) << value;
        EXPECT_EQ(req.warmup_tolerance, d) << value;
    }
}

// Leading zeros are skipped in bulk and long digit runs saturate: both as the C library reads
// them, at every length around the sizes of the runs skipped at once.
TEST_F(RequestTest, LongDigitRunsConvertAsTheCLibraryScansThem) {
    for (const size_t zeros : {1, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 5000}) {
        for (const std::string digits : {"", "7", "4294967296", "18446744073709551615",
                                         "18446744073709551616", "99999999999999999999999"}) {
            for (const std::string tail : {"", "a", "0"}) {
                const std::string value = std::string(zeros, '0') + digits + tail;
                SCOPED_TRACE(std::to_string(zeros) + " zeros, then " + digits + tail);
                const std::string text = "GET /x?UNITID=" + value + "&TEST_DATA_CAP=" + value +
                                         "&WARMUP_TOLERANCE=" + value + " HTTP/1.1\r\n\r\n";
                unsigned u = 0;
                unsigned long lu = 0;
                int d = 0;
                ASSERT_EQ(sscanf(value.c_str(), "%u", &u), 1);
                ASSERT_EQ(sscanf(value.c_str(), "%lu", &lu), 1);
                ASSERT_EQ(sscanf(value.c_str(), "%d", &d), 1);
                if (d < 0 || d > MAX_WARMUP_TOLERANCE) {
                    EXPECT_EQ(parse(text), -1);
                    continue;
                }
                ASSERT_EQ(parse(text), static_cast<int>(text.size()));
                EXPECT_EQ(req.unit_id, u);
                EXPECT_EQ(req.test_data_cap, lu);
                EXPECT_EQ(req.warmup_tolerance, d);
            }
        }
    }
}

// Every key is known by its whole name only: names one character shorter or longer, or with
// one character changed (which keeps the length and, for the inner ones, the first and last
// character that pick the key's slot) are unknown and ignored. A value no known key takes
// tells the two apart: 16 letters are no number, too long a congestion name and no method.
TEST_F(RequestTest, KeysAreKnownByTheirWholeNameOnly) {
    const std::vector<std::string> keys = {"CONTROL",
                                           "UNITID",
                                           "SESSIONID",
                                           "LATENCY_ID",
                                           "NUM_CONNECTIONS",
                                           "CONNECTION",
                                           "AGGREGATE_WARMUP",
                                           "RESULTS_INTERVAL_PERIOD",
                                           "RESULT_NUM_INTERVALS",
                                           "TEST_DATA_CAP",
                                           "TRANSFER_MAX_SIZE",
                                           "WARMUP_SAMPLE_TIME",
                                           "NUM_WARMUP_SAMPLES",
                                           "MAX_WARMUP_SIZE",
                                           "MAX_WARMUP_SAMPLES",
                                           "WARMUP_FAIL_ON_MAX",
                                           "WARMUP_TOLERANCE",
                                           "TRACE_INTERVAL",
                                           "TCP_CONG",
                                           "STORE_LOG",
                                           "LATENCY_INTERVAL",
                                           "LATENCY_TEST"};
    const auto with_value = [](const std::string& name) {
        return header("GET", "/x?" + name + "=abcdefghijklmnop");
    };
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        // CONTROL= takes any value but makes the request controlled, which fails its checks.
        EXPECT_EQ(parse(with_value(key)), -1);
        std::vector<std::string> lookalikes = {key.substr(1), key.substr(0, key.size() - 1),
                                               key + "S", "X" + key, key + "_"};
        for (size_t i = 0; i < key.size(); ++i) {
            std::string changed = key;
            changed[i] = key[i] == 'Z' ? 'Y' : static_cast<char>(key[i] == '_' ? 'A' : key[i] + 1);
            lookalikes.push_back(changed);
        }
        for (const std::string& name : lookalikes) {
            const std::string text = with_value(name);
            EXPECT_EQ(parse(text), static_cast<int>(text.size())) << name;
        }
    }
}

// The header is complete as soon as CR LF CR LF occurs anywhere, also where only the path or
// the bytes after a NUL hold it; the match then decides on the text up to the NUL.
TEST_F(RequestTest, BlankLineAnywhereCompletesTheHeader) {
    EXPECT_EQ(parse("GET /a\r\n\r\nb HTTP/1.1\r\n"), 22);
    EXPECT_EQ(parse("GET /a\r\n\r\nb HTTP/1.1\r\nHost: x\r\n"), 31);
    EXPECT_EQ(parse(std::string("GET / HTTP/1.1\r\n\0\r\n\r\n", 21)), 16);
    EXPECT_EQ(parse(std::string("GET / HTTP/1.1\r\n\0\r\n\r", 20)), -2);
    EXPECT_EQ(parse("GET /?A=1 HTTP/1.1\r\nHost\r\n\r\n"), -1);
    EXPECT_EQ(parse("GET /?A=1 HTTP/1.1\r\nHost: a\r\n\r"), -2);
    EXPECT_EQ(parse("GET /?A= HTTP/1.1\r\n\r\n"), -1);
    EXPECT_EQ(parse("\r\n\r\n"), -1);
    EXPECT_EQ(parse(std::string(200, '\r') + "\n"), -2);
}

// A query of more than MAX_QUERY_PARAMETERS parameters is refused, whatever its keys; a PUT's
// query is not read and not counted.
TEST_F(RequestTest, QueryParametersAreBounded) {
    const auto query_of = [](size_t count, const std::string& param) {
        std::string query = "/x?" + CONTROLLED;
        for (size_t i = 5; i < count; ++i)
            query += "&" + param;
        return query;
    };
    for (const std::string param : {"A=1", "NUM_CONNECTIONS=2", "UNITID=0"}) {
        SCOPED_TRACE(param);
        const std::string most = header("GET", query_of(MAX_QUERY_PARAMETERS, param));
        EXPECT_EQ(parse(most), static_cast<int>(most.size()));
        EXPECT_EQ(req.session_id, UNIT2_SESSION7);
        EXPECT_EQ(req.num_conns, 2u);
        EXPECT_EQ(parse(header("GET", query_of(MAX_QUERY_PARAMETERS + 1, param))), -1);
    }
    const std::string put = header("PUT", query_of(4 * MAX_QUERY_PARAMETERS, "A=1"));
    EXPECT_EQ(parse(put), static_cast<int>(put.size()));
}

TEST_F(RequestTest, IncompleteHeadersWaitEvenWhenMalformed) {
    for (const std::string text : {"GET", "GET / HTTP/1.1\r\n", "GET / HTTP/1.1\r\nHost: a\r\n\r",
                                   "get / HTTP/1.1\r\nHost: a\r\n"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse(text), -2);
    }
}

TEST_F(RequestTest, MatchEndsAtEmbeddedNul) {
    const std::string text("GET / HTTP/1.1\r\n\r\n\0xy", 21);
    EXPECT_EQ(parse(text), 18);
}

TEST_F(RequestTest, EveryKeyReachesItsField) {
    const std::string text = header(
        "POST", "/up?UNITID=3&SESSIONID=9&CONTROL=1&NUM_CONNECTIONS=12abc&CONNECTION=11&"
                "AGGREGATE_WARMUP=1&RESULTS_INTERVAL_PERIOD=2&RESULT_NUM_INTERVALS=10&"
                "TEST_DATA_CAP=5000000000&TRANSFER_MAX_SIZE=6000000000&WARMUP_SAMPLE_TIME=250&"
                "NUM_WARMUP_SAMPLES=4&MAX_WARMUP_SIZE=7000000000&MAX_WARMUP_SAMPLES=20&"
                "WARMUP_FAIL_ON_MAX=1&WARMUP_TOLERANCE=15&TRACE_INTERVAL=1500&TCP_CONG=cubic&"
                "STORE_LOG=1&LATENCY_INTERVAL=2250&UNKNOWN_KEY=1");
    ASSERT_EQ(parse(text), static_cast<int>(text.size()));
    EXPECT_EQ(req.unit_id, 3u);
    EXPECT_EQ(req.session_id, (3ull << 32) + 9);
    EXPECT_EQ(req.num_conns, 12u); // "12abc" converts up to the first letter
    EXPECT_EQ(req.conn_id, 11u);
    EXPECT_TRUE(req.aggregate_warmup);
    EXPECT_EQ(req.results_interval_period, 2u);
    EXPECT_EQ(req.result_num_intervals, 10u);
    EXPECT_EQ(req.test_data_cap, 5000000000u);
    EXPECT_EQ(req.transfer_max_size, 6000000000u);
    EXPECT_EQ(req.warmup_sample_time, 250u);
    EXPECT_EQ(req.num_warmup_samples, 4u);
    EXPECT_EQ(req.max_warmup_size, 7000000000u);
    EXPECT_EQ(req.max_warmup_samples, 20u);
    EXPECT_TRUE(req.warmup_fail_on_max);
    EXPECT_EQ(req.warmup_tolerance, 15);
    EXPECT_STREQ(req.tcp_cong, "cubic");
    EXPECT_TRUE(req.store_log);
    EXPECT_EQ(req.latency_interval.tv_sec, 2);
    EXPECT_EQ(req.latency_interval.tv_nsec, 250000000);
    EXPECT_FALSE(req.latency_test);
}

TEST_F(RequestTest, AbsentKeysLeaveDefaultsAndFlagsNeedOne) {
    ASSERT_GT(parse(header("GET", "/?AGGREGATE_WARMUP=2&STORE_LOG=0&WARMUP_FAIL_ON_MAX=11")), 0);
    EXPECT_FALSE(req.aggregate_warmup);
    EXPECT_FALSE(req.store_log);
    EXPECT_FALSE(req.warmup_fail_on_max);
    EXPECT_EQ(req.max_warmup_size, UINT64_MAX);
    EXPECT_EQ(req.transfer_max_size, UINT64_MAX);
    EXPECT_EQ(req.test_data_cap, UINT64_MAX);
    EXPECT_EQ(to_ns(req.trace_interval), 0);
    EXPECT_EQ(req.put_path, nullptr);
}

TEST_F(RequestTest, CongestionNameUpTo15CharactersLeavesNoStaleBytes) {
    ASSERT_GT(parse(header("GET", "/?TCP_CONG=abcdefghijklmno")), 0);
    EXPECT_STREQ(req.tcp_cong, "abcdefghijklmno");
    // A shorter repeat must leave the array as a fresh parse would: sessions compare it bytewise.
    ASSERT_GT(parse(header("GET", "/?TCP_CONG=abcdefghijklmno&TCP_CONG=bbr")), 0);
    const char expected[16] = "bbr";
    EXPECT_EQ(memcmp(req.tcp_cong, expected, sizeof expected), 0);
}

TEST_F(RequestTest, IntervalsAreNormalised) {
    const std::vector<std::pair<std::string, timespec>> cases = {
        {"0", {0, 0}}, {"10", {0, 10000000}}, {"1500", {1, 500000000}}, {"60000", {60, 0}}};
    for (const auto& [ms, expected] : cases) {
        SCOPED_TRACE(ms);
        ASSERT_GT(parse(header("GET", "/?TRACE_INTERVAL=" + ms + "&LATENCY_INTERVAL=" + ms)), 0);
        EXPECT_EQ(to_ns(req.trace_interval), to_ns(expected));
        EXPECT_EQ(to_ns(req.latency_interval), to_ns(expected));
    }
}

// Every number a client sends has a range: the edges are taken, one beyond is refused, and
// values whose products would wrap (milliseconds to nanoseconds, counts to bytes) never get
// that far. The refused forms were each once able to end or exhaust the process.
TEST_F(RequestTest, NumbersOutsideTheirRangesAreRefused) {
    const std::string base = "UNITID=2&SESSIONID=7&CONTROL=1&CONNECTION=0&";
    const std::string rules = "NUM_CONNECTIONS=2&" + UPLOAD_RULES;
    // The value of `key` in the upload rules replaced, or appended when absent.
    auto with = [&](const std::string& key, const std::string& value) {
        std::string q = "&" + rules + "&";
        const size_t at = q.find("&" + key + "=");
        if (at == std::string::npos)
            q += key + "=" + value + "&";
        else
            q.replace(at + key.size() + 2, q.find('&', at + 1) - at - key.size() - 2, value);
        return header("POST", "/?" + base + q.substr(1, q.size() - 2));
    };
    struct edge {
        const char* key;
        std::string taken, refused;
    };
    const std::vector<edge> edges = {
        {"NUM_CONNECTIONS", "256", "257"},
        {"NUM_CONNECTIONS", "1", "2305843009213693953"},
        {"MAX_WARMUP_SAMPLES", "10000", "10001"},
        {"MAX_WARMUP_SAMPLES", "8", "1152921504606846977"},
        {"NUM_WARMUP_SAMPLES", "8", "9"}, // never more than the maximum
        {"RESULT_NUM_INTERVALS", "10000", "10001"},
        {"RESULT_NUM_INTERVALS", "5", "2305843009213693953"},
        {"WARMUP_SAMPLE_TIME", "60000", "60001"},
        {"RESULTS_INTERVAL_PERIOD", "3600", "3601"},
        {"RESULTS_INTERVAL_PERIOD", "1", "18446744073709551615"},
        {"WARMUP_TOLERANCE", "1000", "1001"},
        {"WARMUP_TOLERANCE", "0", "4294967295"}, // -1 as %d reads it
        {"TRACE_INTERVAL", "10", "9"},
        {"TRACE_INTERVAL", "60000", "60001"},
        {"TRACE_INTERVAL", "1000", "18446744073709552"}, // times a million wraps to ~0
        {"LATENCY_INTERVAL", "10", "1"},
        {"LATENCY_INTERVAL", "60000", "9223372036854776"},
    };
    for (const auto& e : edges) {
        SCOPED_TRACE(std::string(e.key) + " " + e.taken + " / " + e.refused);
        EXPECT_GT(parse(with(e.key, e.taken)), 0);
        EXPECT_EQ(parse(with(e.key, e.refused)), -1);
    }
    // Sample slots of all connections together stay within the session's budget.
    EXPECT_GT(parse(header("POST", "/?" + base +
                                       "NUM_CONNECTIONS=26&NUM_WARMUP_SAMPLES=3&"
                                       "MAX_WARMUP_SAMPLES=10000&WARMUP_SAMPLE_TIME=100&"
                                       "RESULT_NUM_INTERVALS=10&RESULTS_INTERVAL_PERIOD=1")),
              0);
    EXPECT_EQ(parse(header("POST", "/?" + base +
                                       "NUM_CONNECTIONS=27&NUM_WARMUP_SAMPLES=3&"
                                       "MAX_WARMUP_SAMPLES=10000&WARMUP_SAMPLE_TIME=100&"
                                       "RESULT_NUM_INTERVALS=10&RESULTS_INTERVAL_PERIOD=1")),
              -1);
    // Latency samples over the session life time: connections x (life / interval + 1).
    session_timeout = 300;
    const std::string latency = "LATENCY_TEST=GET&LATENCY_ID=4294967296&CONTROL=1&CONNECTION=0&";
    EXPECT_GT(parse(header("GET", "/?" + latency + "NUM_CONNECTIONS=87&LATENCY_INTERVAL=100")), 0);
    EXPECT_EQ(parse(header("GET", "/?" + latency + "NUM_CONNECTIONS=88&LATENCY_INTERVAL=100")), -1);
    // A path-style connection's own arrays, and its index, which comes from the path.
    EXPECT_GT(
        parse(header("POST", "/" + ID36 + "?MAX_WARMUP_SAMPLES=1000&RESULT_NUM_INTERVALS=24")), 0);
    EXPECT_EQ(
        parse(header("POST", "/" + ID36 + "?MAX_WARMUP_SAMPLES=1000&RESULT_NUM_INTERVALS=25")), -1);
    EXPECT_GT(parse(header("POST", "/" + ID36 + "/255")), 0);
    EXPECT_EQ(parse(header("POST", "/" + ID36 + "/256")), -1);
}

TEST_F(RequestTest, LatencyTestOverridesMethod) {
    const std::vector<std::tuple<std::string, std::string, request_method>> cases = {
        {"POST", "LATENCY_TEST=GET&" + LATENCY, GET},
        {"GET", LATENCY + "&LATENCY_TEST=POST", POST},
        {"GET", LATENCY + "&LATENCY_TEST=PO", POST}, // a prefix is enough as the last parameter
        {"POST", LATENCY + "&LATENCY_TEST=G", GET},
    };
    for (const auto& [line_method, query, method] : cases) {
        SCOPED_TRACE(query);
        ASSERT_GT(parse(header(line_method, "/?" + query)), 0);
        EXPECT_EQ(req.method, method);
        EXPECT_TRUE(req.latency_test);
        EXPECT_EQ(req.session_id, 4294967295u);
        EXPECT_EQ(to_ns(req.latency_interval), 100000000);
    }
}

TEST_F(RequestTest, PathStylePostOfExactly36CharactersGetsDefaults) {
    ASSERT_GT(parse(header("POST", "/" + ID36)), 0);
    expect_path_style_defaults();
    EXPECT_EQ(req.session_id, 0u);
    EXPECT_EQ(to_ns(req.transfer_deadline), 0);
    // Query values win over the defaults.
    ASSERT_GT(parse(header("POST", "/" + ID36 + "?" + CONTROLLED + "&" + UPLOAD_RULES)), 0);
    EXPECT_TRUE(req.path_style);
    EXPECT_EQ(req.max_warmup_samples, 8u);
    EXPECT_EQ(req.num_conns, 2u);
    EXPECT_EQ(req.session_id, UNIT2_SESSION7);
}

TEST_F(RequestTest, PathStylePostReadsConnectionSessionAndDeadline) {
    parse_expecting_deadline(header("POST", "/" + ID36 + "/3/2000"), 2000);
    expect_path_style_defaults();
    EXPECT_EQ(req.conn_id, 3u);
    EXPECT_EQ(req.session_id, session_id_str_to_uint64(ID36));

    parse_expecting_deadline(header("POST", "/" + ID36 + "/x/2000"), 2000);
    EXPECT_EQ(req.conn_id, 0u);
    EXPECT_EQ(req.session_id, 0u);

    // Without the slash after the identifier nothing of the rest is read.
    ASSERT_GT(parse(header("POST", "/" + ID36 + "x//2000")), 0);
    expect_path_style_defaults();
    EXPECT_EQ(to_ns(req.transfer_deadline), 0);
}

TEST_F(RequestTest, PathConversionErrorsArePrintedNotRefused) {
    struct Case {
        std::string method, path, printed;
        size_t conn_id;
    };
    const std::vector<Case> cases = {
        {"POST", ID36 + "/", "Path [" + ID36 + "/] parse error: ", 0},
        {"POST", ID36 + "/3/abc", "Path [" + ID36 + "/3/abc] parse error: stoi\n", 3},
        {"POST", ID36 + "/99999999999", "Path [" + ID36 + "/99999999999] parse error: stoi\n", 0},
        {"GET", ID36 + "ab/abc", "Path [" + ID36 + "ab/abc] parse error: stoi\n", 0},
        {"GET", ID36 + "ab/", "Path [" + ID36 + "ab/] parse error: stoi\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        testing::internal::CaptureStdout();
        const std::string text = header(c.method, "/" + c.path);
        const int result = parse(text);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, static_cast<int>(text.size()));
        EXPECT_EQ(out.substr(0, c.printed.size()), c.printed);
        EXPECT_EQ(out.back(), '\n');
        EXPECT_EQ(req.conn_id, c.conn_id);
        EXPECT_EQ(to_ns(req.transfer_deadline), 0);
        EXPECT_EQ(req.path_style, c.method == "POST");
        if (c.method == "POST")
            expect_path_style_defaults();
    }
}

TEST_F(RequestTest, GetPathSetsOnlyTheDeadline) {
    parse_expecting_deadline(header("GET", "/" + ID36 + "ab/500?" + CONTROLLED), 500);
    EXPECT_EQ(req.session_id, UNIT2_SESSION7);
    EXPECT_EQ(req.num_conns, 2u);
    EXPECT_EQ(req.conn_id, 1u);
    EXPECT_FALSE(req.path_style);
    // A path-style layout on a GET still yields no connection index or session id.
    parse_expecting_deadline(header("GET", "/" + ID36 + "/3/2000"), 2000);
    EXPECT_EQ(req.conn_id, 0u);
    EXPECT_EQ(req.session_id, 0u);
    EXPECT_EQ(req.num_conns, 1u);
}

TEST_F(RequestTest, ShortOrHeadPathsAreNotPathStyle) {
    ASSERT_GT(parse(header("POST", "/" + ID36.substr(1))), 0);
    EXPECT_FALSE(req.path_style);
    EXPECT_EQ(req.num_conns, 1u);
    ASSERT_GT(parse(header("HEAD", "/" + ID36 + "/3/2000")), 0);
    EXPECT_FALSE(req.path_style);
    EXPECT_EQ(to_ns(req.transfer_deadline), 0);
}

TEST_F(RequestTest, PutKeepsPathAndSkipsQuery) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/logs/42.log?UNITID=x&CONTROL=1", "logs/42.log"}, // UNITID=x would refuse a GET
        {"/", ""},
        {"/results", "results"},
    };
    for (const auto& [target, path] : cases) {
        SCOPED_TRACE(target);
        const std::string text = header("PUT", target);
        ASSERT_EQ(parse(text), static_cast<int>(text.size()));
        EXPECT_EQ(req.method, PUT);
        ASSERT_NE(req.put_path, nullptr);
        EXPECT_EQ(std::string(req.put_path->str, req.put_path->len), path);
        EXPECT_EQ(req.session_id, 0u);
        EXPECT_EQ(req.num_conns, 0u);
    }
}

TEST_F(RequestTest, DebugLinesAboveThresholdNine) {
    debug_level = 9;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse("get / HTTP/1.1\r\n\r\n"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    debug_level = 10;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse("get / HTTP/1.1\r\n\r\n"), -1);
    EXPECT_EQ(parse("GE"), -2);
    EXPECT_EQ(parse("GET / HTTP/1.1\r\n"), -2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("<7>[", 0), 0u);
    EXPECT_NE(err.find("Request doesn't match our regex: get / HTTP/1.1<CR><LF><CR><LF>\n"),
              std::string::npos);
    EXPECT_NE(err.find("Header parsing not complete - size is less than 4\n"), std::string::npos);
    EXPECT_NE(err.find("Header parsing not complete - doesn't contain double CRLF\n"),
              std::string::npos);
}

TEST(RequestDeathTest, PreconditionsAbort) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#endif
    request_info r{};
    const char unterminated[4] = {'G', 'E', 'T', 'X'};
    const char* expected =
        "data != NULL && data_size > 0 && data\\[data_size\\] == 0 && request != NULL";
    EXPECT_DEATH(parse_request("GET", 0, &r), expected);
    EXPECT_DEATH(parse_request(unterminated, 3, &r), expected);
    EXPECT_DEATH(session_id_str_to_uint64(ID36.substr(1)), "request_path.size\\(\\) >= 36");
}

TEST(TransferDeadline, CarriesWhenNanosecondsReachOneSecond) {
    const timespec exact = transfer_deadline_after({100, 999000000}, 1);
    EXPECT_EQ(exact.tv_sec, 101);
    EXPECT_EQ(exact.tv_nsec, 0);
    const timespec most = transfer_deadline_after({100, 999999999}, 1999);
    EXPECT_EQ(most.tv_sec, 102);
    EXPECT_EQ(most.tv_nsec, 998999999);

    for (const long now_ns : {0L, 1L, 500000000L, 999000000L, 999999999L}) {
        for (int ms = -3000; ms < 3000; ++ms) {
            const timespec d = transfer_deadline_after({50, now_ns}, ms);
            ASSERT_GE(d.tv_nsec, 0) << now_ns << " + " << ms;
            ASSERT_LT(d.tv_nsec, 1000000000) << now_ns << " + " << ms;
            ASSERT_EQ(to_ns(d), 50000000000LL + now_ns + ms * 1000000LL);
        }
    }
}

TEST(SessionIdFromPath, UsesCharactersTwoToEight) {
    const std::string tail(28, 'z');
    EXPECT_EQ(session_id_str_to_uint64("ABCDEFGH" + tail), 0x4243444546474800u);
    // The first character is shifted out and characters after the eighth are not read.
    EXPECT_EQ(session_id_str_to_uint64("ABCDEFGH" + tail),
              session_id_str_to_uint64("xBCDEFGH" + tail));
    EXPECT_EQ(session_id_str_to_uint64("ABCDEFGH" + tail),
              session_id_str_to_uint64("ABCDEFGHy" + tail.substr(1)));
    EXPECT_NE(session_id_str_to_uint64("ABCDEFGH" + tail),
              session_id_str_to_uint64("AxCDEFGH" + tail));
    // Bytes above 0x7f count as negative and borrow from the character before.
    EXPECT_EQ(session_id_str_to_uint64("ABCDEFG\xff" + tail), 0x424344454646ff00u);
    EXPECT_EQ(session_id_str_to_uint64("a\xff"
                                       "BCDEFG" +
                                       tail),
              0xff42434445464700u);
}

} // namespace
