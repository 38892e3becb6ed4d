// The three tests (download, upload, latency): options, results and the entry point.
#pragma once

#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vh_client {

struct progress_meter;

enum class test_kind { download, upload, latency };

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
    bool latency_upload = false; // latency test direction POST
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

struct download_result {
    double seconds = 0; // from the first reply to the half-close
    uint64_t bytes = 0;
    std::vector<conn_result> conns;
};

struct upload_result {
    double seconds = 0;      // from the first interim reply to the first results byte
    uint64_t bytes_sent = 0; // request headers included
    std::vector<conn_result> conns;
    results_reply results;
    upload_summary summary;
};

// One statistics document fetched during or after the load.
struct fetch_record {
    double elapsed_s = 0;        // since the control connection got its first reply
    std::vector<size_t> samples; // sample count of each connection
};

struct latency_result {
    std::vector<fetch_record> fetches;
    latency_document final_doc;
    latency_summary summary;
};

struct test_report {
    client_options options;
    std::string address; // numeric address connected to
    int port = 0;
    download_result download; // downloads and download latency tests
    upload_result upload;     // uploads and upload latency tests
    latency_result latency;
};

// Runs the test the options describe. Returns 0, or -1 with *error naming the step that
// failed ("connection 2: first reply: timed out after 10 s").
int run_test(const client_options& o, progress_meter* progress, test_report* report,
             std::string* error);

} // namespace vh_client
