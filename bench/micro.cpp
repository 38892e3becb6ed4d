// Microbenchmarks of the server's hot routines: request parsing on typical and adversarial
// headers, the warm-up sample with its stability test, the results reply and the latency
// statistics document. After the table it prints the cost of the worst adversarial header
// relative to a typical one.
#include "connection.h"
#include "request.h"
#include "session.h"
#include "settings.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t HEADER_MAX = 16383; // the largest header the server accepts

const std::string TYPICAL_GET =
    "GET /download?CONTROL=1&UNITID=48213&SESSIONID=1733491&NUM_CONNECTIONS=4&CONNECTION=2 "
    "HTTP/1.1\r\nHost: speedtest.example.net\r\nUser-Agent: speedtest-agent/5.3\r\n"
    "Accept: */*\r\n\r\n";

const std::string TYPICAL_POST =
    "POST /upload?CONTROL=1&UNITID=48213&SESSIONID=1733492&NUM_CONNECTIONS=4&CONNECTION=2"
    "&WARMUP_SAMPLE_TIME=100&NUM_WARMUP_SAMPLES=5&MAX_WARMUP_SAMPLES=100&WARMUP_TOLERANCE=10"
    "&RESULTS_INTERVAL_PERIOD=1&RESULT_NUM_INTERVALS=10&TEST_DATA_CAP=20000000000 HTTP/1.1\r\n"
    "Host: speedtest.example.net\r\nUser-Agent: speedtest-agent/5.3\r\nAccept: */*\r\n\r\n";

// Fills `unit` repeatedly between `head` and `tail` up to the largest accepted header.
std::string fill(const std::string& head, const std::string& unit, const std::string& tail) {
    std::string text = head;
    while (text.size() + unit.size() + tail.size() <= HEADER_MAX)
        text += unit;
    return text + tail;
}

std::map<std::string, std::string> adversarial_headers() {
    std::map<std::string, std::string> h;
    // One header line of colons: both sides of the line's colon can take every character.
    h["colon_line"] = fill("GET /download HTTP/1.1\r\nA", ":", ":B\r\n\r\n");
    // The same line made invalid by its very last byte.
    h["colon_line_rejected"] = fill("GET /download HTTP/1.1\r\nA", ":", "\r\n\r\nX");
    h["short_lines"] = fill("GET /download HTTP/1.1\r\n", "a:b\r\n", "\r\n");
    h["spaced_lines"] = fill("GET /download HTTP/1.1\r\n", "a : : b\r\n", "\r\n");
    h["query_unknown_keys"] = fill("GET /download?", "A=1&", "A=1 HTTP/1.1\r\n\r\n");
    h["query_known_keys"] =
        fill("GET /download?", "NUM_CONNECTIONS=1&", "NUM_CONNECTIONS=1 HTTP/1.1\r\n\r\n");
    h["long_path"] = fill("GET /", "a", " HTTP/1.1\r\n\r\n");
    // The shortest known parameter, refused once the query holds more than its bound of them.
    h["query_short_known_keys"] = fill("GET /download?", "UNITID=1&", "UNITID=1 HTTP/1.1\r\n\r\n");
    // As many parameters as a query may carry, each a known key with a long value of zeros.
    std::string query = "GET /download?";
    const size_t value_size = (HEADER_MAX - 64) / MAX_QUERY_PARAMETERS - 18;
    for (size_t i = 0; i < MAX_QUERY_PARAMETERS; ++i)
        query += std::string(i == 0 ? "" : "&") +
                 "NUM_CONNECTIONS=" + std::string(value_size, '0') + "1";
    h["query_most_parameters"] = query + " HTTP/1.1\r\n\r\n";
    h["version_digits"] = fill("GET /download HTTP/", "1", ".1\r\n\r\n");
    h["blank_lines"] = fill("GET /download HTTP/1.1\r\n", "\r\n", "");
    // CRs where a search for the blank line has to look at every one: in the path, after a
    // refused query or header line, and with no request at all.
    h["path_crs"] = fill("GET /", "\r", " HTTP/1.1\r\n\r\n");
    h["query_then_crs"] = fill("GET /download?A=1", "\r", "");
    h["line_then_crs"] = fill("GET /download HTTP/1.1\r\nab\r\n", "\r", "\n");
    h["crs_only"] = fill("", "\r", "");
    return h;
}

void parse(benchmark::State& state, const std::string& text) {
    request_info req{};
    int expected = parse_request(text.c_str(), text.size(), &req);
    if (req.put_path != nullptr)
        g_string_free(req.put_path, TRUE);
    for (auto _ : state) {
        int rc = parse_request(text.c_str(), text.size(), &req);
        benchmark::DoNotOptimize(rc);
        if (rc != expected)
            state.SkipWithError("parse_request changed its answer");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(std::to_string(text.size()) + " bytes, result " + std::to_string(expected));
}

constexpr uint64_t SESSION_ID = (7ull << 32) + 1;

// An upload session with joined connections over socket pairs, as the server builds it,
// on an epoll set of its own. Released on destruction.
struct upload_session {
    int epfd = -1;
    session* sess = nullptr;
    std::vector<int> peers;

    upload_session(size_t conns, bool aggregate, size_t warmup_max, size_t intervals,
                   bool latency = false) {
        epfd = epoll_create1(0);
        request_info req{};
        req.method = latency ? GET : POST;
        req.session_id = SESSION_ID;
        req.num_conns = conns;
        req.aggregate_warmup = aggregate;
        req.warmup_sample_time = 100;
        req.num_warmup_samples = 10;
        req.max_warmup_samples = warmup_max;
        req.max_warmup_size = UINT64_MAX;
        req.results_interval_period = 1;
        req.result_num_intervals = intervals;
        req.warmup_tolerance = 10;
        req.transfer_max_size = UINT64_MAX;
        req.test_data_cap = UINT64_MAX;
        if (latency) {
            req.latency_test = true;
            req.latency_interval = {0, 100000000};
        }
        sess = create_session(&req.session_id, &req, epfd);
        if (sess == nullptr)
            throw std::runtime_error("create_session failed");
        g_hash_table_add(session_container, sess);
        sess->test.start_time = {100, 0};
        sess->test.started = true;
        for (size_t i = 0; i < conns; i++) {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0)
                throw std::runtime_error("socketpair failed");
            peers.push_back(sv[1]);
            connection* conn = new_connection(sv[0]);
            request_info r = req;
            r.conn_id = i;
            if (complete_connection(conn, &r) != 0 || add_connection(sess, conn) != 0)
                throw std::runtime_error("joining a connection failed");
            conn->state = RECEIVING_DATA;
        }
    }

    ~upload_session() {
        g_hash_table_remove(session_container, &sess->id);
        for (size_t i = 0; i < sess->conns_size; i++)
            if (sess->conns[i] != nullptr)
                internal_destroy_connection(sess->conns[i]);
        free_session(sess);
        for (int fd : peers)
            close(fd);
        close(epfd);
    }

    connection* conn(size_t i) const {
        return sess->conns[i];
    }
};

timespec at_ms(long ms) {
    return {100 + ms / 1000, (ms % 1000) * 1000000};
}

// One warm-up sample of a session whose window is stable on every connection but the last
// one's newest rate: the stability test walks every window before it fails, and the session
// stays in warm-up, so that every iteration repeats the same work.
void warmup_sample(benchmark::State& state, bool aggregate) {
    const size_t conns = static_cast<size_t>(state.range(0));
    const size_t taken = 20; // samples already in the window's history
    upload_session u(conns, aggregate, 1000, 10);
    session* sess = u.sess;
    for (size_t k = 0; k < taken; k++) {
        sess->test.warmup_times[k] = at_ms(static_cast<long>(k + 1) * 100);
        for (size_t i = 0; i < conns; i++)
            u.conn(i)->warmup_samples[k] = {(k + 1) * 1000, 10000.0};
    }
    const timespec now = at_ms(static_cast<long>(taken + 1) * 100);
    for (auto _ : state) {
        sess->test.num_warmup = taken;
        for (size_t i = 0; i < conns; i++) {
            connection* c = u.conn(i);
            c->num_warmup = taken;
            c->data_bytes = taken * 1000 + (i + 1 == conns ? 5000 : 1000);
        }
        handle_session_periodic(sess, now);
        if (sess->test.state != WARMUP)
            state.SkipWithError("the window became stable");
    }
    state.SetLabel(std::to_string(conns) + " connections, window 10");
}

void BM_warmup_sample_per_connection(benchmark::State& state) {
    warmup_sample(state, false);
}

void BM_warmup_sample_aggregate(benchmark::State& state) {
    warmup_sample(state, true);
}

// The results reply of a finished upload with the largest sample counts a client is
// likely to ask for.
void BM_results_reply(benchmark::State& state) {
    const size_t conns = static_cast<size_t>(state.range(0));
    const size_t warmups = 50, intervals = 10;
    upload_session u(conns, false, warmups, intervals);
    session* sess = u.sess;
    for (size_t k = 0; k < warmups; k++)
        sess->test.warmup_times[k] = at_ms(static_cast<long>(k + 1) * 100);
    for (size_t k = 0; k < intervals; k++)
        sess->test.measur_times[k] = at_ms(5000 + static_cast<long>(k + 1) * 1000);
    for (size_t i = 0; i < conns; i++) {
        connection* c = u.conn(i);
        for (size_t k = 0; k < warmups; k++)
            c->warmup_samples[k] = {(k + 1) * 12345678, 123456789.0};
        for (size_t k = 0; k < intervals; k++)
            c->measur_bytes[k] = (k + 1) * 987654321;
        c->num_warmup = warmups;
        c->num_measur = intervals;
    }
    sess->test.num_warmup = warmups;
    sess->test.num_measur = intervals;
    sess->test.end_time = 1765000000;
    size_t bytes = 0;
    for (auto _ : state) {
        GString* text = build_results_reply(sess);
        bytes = text->len;
        g_string_free(text, TRUE);
    }
    state.SetLabel(std::to_string(conns) + " connections, 50 + 10 samples, " +
                   std::to_string(bytes) + " bytes");
}

// The latency statistics document of a session with `range(1)` samples per connection
// (600 = one minute at 100 ms).
void BM_statistics_document(benchmark::State& state) {
    const size_t conns = static_cast<size_t>(state.range(0));
    const size_t samples = static_cast<size_t>(state.range(1));
    upload_session u(conns, false, 10, 10, true);
    session* sess = u.sess;
    for (size_t i = 0; i < conns; i++)
        for (size_t k = 0; k < samples; k++)
            (*sess->latency_results)[i].push_back({static_cast<int64_t>(k * 100), 5123, 812, 0,
                                                   k / 50, 0, 740, k * 31250000 + 100,
                                                   k * 31250000});
    sess->measurement_start = 1200000;
    size_t bytes = 0;
    for (auto _ : state) {
        std::string doc = build_latency_document(sess);
        bytes = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    state.SetLabel(std::to_string(conns) + " connections x " + std::to_string(samples) +
                   " samples, " + std::to_string(bytes) + " bytes");
}

// Keeps each benchmark's median CPU time per iteration for the summary: CPU time, not
// wall time, since other processes share the machine.
class summary_reporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;

    summary_reporter() : ConsoleReporter(OO_Tabular) {}

    // Shows only the medians (or the single runs) of the repetitions.
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const auto& run : runs) {
            bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!single && !median)
                continue;
            shown.push_back(run);
            if (!run.error_occurred)
                ns[run.run_name.str()] = run.GetAdjustedCPUTime();
        }
        if (!shown.empty())
            ConsoleReporter::ReportRuns(shown);
    }
};

} // namespace

int main(int argc, char** argv) {
    create_session_container();

    const auto unit = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kNanosecond); };
    unit(benchmark::RegisterBenchmark("parse_request/typical_get", parse, TYPICAL_GET));
    unit(benchmark::RegisterBenchmark("parse_request/typical_post", parse, TYPICAL_POST));
    for (const auto& [name, text] : adversarial_headers())
        unit(benchmark::RegisterBenchmark(("parse_request/adversarial_" + name).c_str(), parse,
                                          text));
    unit(benchmark::RegisterBenchmark("warmup_sample/per_connection",
                                      BM_warmup_sample_per_connection)
             ->Arg(1)
             ->Arg(4)
             ->Arg(16));
    unit(benchmark::RegisterBenchmark("warmup_sample/aggregate", BM_warmup_sample_aggregate)
             ->Arg(4)
             ->Arg(16));
    unit(benchmark::RegisterBenchmark("results_reply", BM_results_reply)->Arg(4)->Arg(16));
    unit(benchmark::RegisterBenchmark("statistics_document", BM_statistics_document)
             ->Args({4, 100})
             ->Args({4, 600}));

    // Defaults for a shared, noisy machine: medians of five short repetitions, plain text.
    // Flags given on the command line come later and win.
    std::vector<std::string> flags = {
        argv[0], "--benchmark_min_time=0.05", "--benchmark_repetitions=5",
        "--benchmark_report_aggregates_only=true", "--benchmark_color=false"};
    for (int i = 1; i < argc; i++)
        flags.emplace_back(argv[i]);
    std::vector<char*> args;
    for (auto& f : flags)
        args.push_back(f.data());
    args.push_back(nullptr);
    argc = static_cast<int>(flags.size());
    argv = args.data();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto typical = reporter.ns.find("parse_request/typical_get");
    const auto post = reporter.ns.find("parse_request/typical_post");
    if (typical == reporter.ns.end() || typical->second <= 0 || post == reporter.ns.end())
        return 0;
    std::string worst;
    double worst_ns = 0;
    for (const auto& [name, t] : reporter.ns)
        if (name.rfind("parse_request/adversarial_", 0) == 0 && t > worst_ns) {
            worst = name;
            worst_ns = t;
        }
    if (worst.empty())
        return 0;
    double ratio = worst_ns / typical->second;
    printf("\nparse_request (CPU time): typical download header %.0f ns, typical upload header "
           "%.0f ns;\nworst adversarial 16 KiB header (%s) %.0f ns = %.1f x the download "
           "header, %.1f x the upload header (target <= 20: %s)\n",
           typical->second, post->second,
           worst.substr(strlen("parse_request/adversarial_")).c_str(), worst_ns, ratio,
           worst_ns / post->second, ratio <= 20 ? "met" : "MISSED");
    return 0;
}
