// The tests (download, upload, latency, both directions at once): options, results and the
// entry point.
#pragma once

#include "protocol.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vh_client {

struct progress_meter;

// bidir: a download session and an upload session to the same server at once.
enum class test_kind { download, upload, latency, bidir };

const char* kind_name(test_kind k);

struct client_options {
    test_kind kind = test_kind::download;
    target server;
    std::string server_text; // as given on the command line
    size_t connections = 4;  // test connections (a latency test adds its control connection)
    double duration_s = 10;  // downloads and download latency tests
    double timeout_s = 10;   // bound of every wait
    uint32_t unit_id = 1;
    uint32_t session_id = 0;
    uint64_t latency_id = 0;
    std::string token;           // ACCESS_TOKEN= of every request; empty: none
    bool tls = false;            // every connection over TLS (--tls or an https:// target)
    bool tls_insecure = false;   // no check of the server's certificate
    std::string ca_file;         // certificates trusted instead of the system's store
    bool latency_upload = false; // latency test direction POST
    bool bidir_latency = false;  // bidir: a latency session each way instead of plain ones
    size_t num_warmup_samples = 4;
    size_t max_warmup_samples = 20;
    size_t warmup_sample_time_ms = 500;
    int warmup_tolerance = 10;
    size_t result_num_intervals = 10;
    size_t results_interval_period_s = 1;
    size_t latency_interval_ms = 100;
    size_t fetch_interval_ms = 1000;
};

// One test connection as the client saw it.
struct conn_result {
    size_t index = 0;     // its CONNECTION= value
    uint64_t bytes = 0;   // download: data received before the half-close; upload: data sent
    uint64_t drained = 0; // download: bytes received after the half-close, stats included
    uint64_t request_bytes = 0;
    bool has_stats = false;
    stats_message stats;
};

// The client's own count of the data it moved, taken every timeline_step() while data moves
// (later when the loop is busy) and once more at the end of the load.
constexpr double TIMELINE_STEP_S = 0.1;
constexpr double MAX_TIMELINE_POINTS = 20000;

// TIMELINE_STEP_S, or longer for a test so long (`seconds`) that the points would pass
// MAX_TIMELINE_POINTS.
double timeline_step(double seconds);

struct timeline_point {
    double seconds = 0;          // since the load's first reply
    std::vector<uint64_t> bytes; // cumulative, one entry per test connection
};

// Rates between consecutive points: at each point's time, the bits per second since the
// previous point, in total and per connection.
struct rate_series {
    std::vector<double> seconds;
    std::vector<double> total;
    std::vector<std::vector<double>> per_connection;
};

rate_series make_rate_series(const std::vector<timeline_point>& timeline);

// A download's steady state: its rate after a warm-up the client detects itself, as the server
// does for uploads. Samples of `sample_s` seconds; the warm-up ends once the last `stable`
// sample rates lie within `tolerance` percent of their mean, or after `max_samples`.
struct steady_state {
    bool valid = false;  // a warm-up ended, and the load went on after it
    bool at_max = false; // it ended at its maximum, not because the rate was stable
    size_t warmup_samples = 0;
    double warmup_s = 0;
    double seconds = 0; // from the end of the warm-up to the end of the load
    double bits_per_second = 0;
};

struct download_result {
    double seconds = 0; // from the first reply to the half-close
    uint64_t bytes = 0;
    steady_state steady;
    std::vector<conn_result> conns;
    std::vector<timeline_point> timeline; // bytes received
    double timeline_step_s = TIMELINE_STEP_S;
    std::chrono::steady_clock::time_point first_reply{};
    int64_t first_reply_unix_us = 0; // the same instant on the system clock
    double start_s = 0; // bidir: the first reply, in seconds since the earlier direction's
};

steady_state find_steady_state(const std::vector<timeline_point>& timeline, double sample_s,
                               size_t stable, size_t max_samples, int tolerance);

struct upload_result {
    double seconds = 0;      // from the first interim reply to the first results byte
    uint64_t bytes_sent = 0; // request headers included
    std::vector<conn_result> conns;
    results_reply results;
    upload_summary summary;
    std::vector<timeline_point> timeline; // bytes sent, until the first results byte
    double timeline_step_s = TIMELINE_STEP_S;
    std::chrono::steady_clock::time_point first_reply{};
    int64_t first_reply_unix_us = 0; // the same instant on the system clock
    double start_s = 0; // bidir: the first reply, in seconds since the earlier direction's
};

// One statistics document fetched during or after the load.
struct fetch_record {
    double elapsed_s = 0;                 // since the control connection got its first reply
    test_kind load = test_kind::download; // the direction of the session's load
    std::vector<size_t> samples;          // sample count of each connection
};

// Round trips on the control connection before the load: the idle baseline of a latency test.
constexpr int IDLE_PROBES = 5;

struct latency_result {
    std::vector<fetch_record> fetches;
    latency_document final_doc;
    latency_summary summary;
};

// Called on the test's thread as the test runs, for --json-stream; any member may be empty.
struct live_hooks {
    // A new timeline point of the load (the download's or upload's), after `prev`.
    std::function<void(test_kind load, const timeline_point& prev, const timeline_point& now)>
        interval;
    // The results reply of an upload, parsed.
    std::function<void(const upload_result&)> results;
    // A statistics document fetched during or after the load.
    std::function<void(const fetch_record&, const latency_document&)> fetch;
    // The first connection's TLS session is established (its version and cipher suite).
    std::function<void(const std::string& version, const std::string& cipher)> tls;
};

struct test_report {
    client_options options;
    std::string address; // numeric address connected to
    int port = 0;
    std::string tls_version, tls_cipher; // of the first connection; empty when plain
    download_result download;            // downloads and download latency tests
    upload_result upload;                // uploads and upload latency tests
    latency_result latency;              // a latency test; a two-way one's download session
    latency_result latency_up;           // a two-way latency test's upload session
};

// The session ids of a two-way test's upload session: its own, next to the download's.
inline uint32_t upload_session_id(const client_options& o) {
    return o.session_id ^ 1u;
}
inline uint64_t upload_latency_id(const client_options& o) {
    return o.latency_id ^ 1u;
}

// Runs the test the options describe. Returns 0, or -1 with *error naming the step that
// failed ("download: connection 2: first reply: timed out after 10 s"; a two-way test's error
// names its direction too: "bidir: upload: connection 1: ...").
int run_test(const client_options& o, progress_meter* progress, const live_hooks* hooks,
             test_report* report, std::string* error);

} // namespace vh_client
