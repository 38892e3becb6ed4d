// The client side of the wire protocol as pure functions: requests and every reply parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vh_client {

// Where to connect: host (name or address, without brackets) and port.
struct target {
    std::string host;
    std::string port;
    bool https = false; // given as https://
};

// Splits [http://|https://]HOST[:PORT][/]: "h", "h:p", "[v6]", "[v6]:p"; a bare address with
// several colons is an IPv6 address without port. The port defaults to 443 for https:// (and
// with `tls`), else to 80. False with *error set on bad input.
bool parse_target(std::string_view text, target* out, std::string* error, bool tls = false);

// What every connection of one session carries in its query. All connections of a session
// must send the same values (the server compares them), except CONNECTION=.
struct session_params {
    bool upload = false;  // POST (upload) or GET (download)
    bool latency = false; // a latency-under-load session (LATENCY_* keys, no UNITID=)
    std::string path = "/client";
    std::string host_header; // value of the Host header
    uint32_t unit_id = 1;
    uint32_t session_id = 0;
    uint64_t latency_id = 0;
    size_t num_connections = 1; // NUM_CONNECTIONS=, the control connection included
    // Warm-up and measurement rules (uploads only).
    size_t num_warmup_samples = 0;
    size_t max_warmup_samples = 0;
    size_t warmup_sample_time_ms = 0;
    int warmup_tolerance = 0;
    size_t result_num_intervals = 0;
    size_t results_interval_period_s = 0;
    size_t latency_interval_ms = 0; // latency sessions only
    std::string token;              // ACCESS_TOKEN=, when the server demands one
};

// The whole request header of connection `connection` (its CONNECTION= value).
std::string build_test_request(const session_params& p, size_t connection);
// The request that asks a latency control connection for the statistics document.
std::string build_statistics_request(const std::string& host_header, const std::string& token = "");

// Longest first reply header accepted before giving up on finding its end.
constexpr size_t MAX_REPLY_HEAD = 16384;

enum class parse_state { incomplete, complete, malformed };

// The status line and the header block of an HTTP reply.
struct reply_head {
    int status = 0;
    std::string status_line;
    size_t length = 0;             // bytes up to and including the blank line
    long long content_length = -1; // -1 when absent
};

// Parses the head of `data` (which may hold more bytes after it).
parse_state parse_reply_head(std::string_view data, reply_head* head, std::string* error);

// The message a download connection receives before the server's FIN.
struct stats_message {
    size_t length = 0; // 16, or 12 when the server could not read its TCP statistics
    bool has_retransmissions = false;
    uint32_t retransmissions = 0;
};

// Looks for the stats message at the very end of a stream; `tail` holds its last `len` bytes
// (at most 16). False when neither form is there.
bool parse_stats_tail(const unsigned char* tail, size_t len, stats_message* out);

// One WARMUP_SESSION or MEASUR_SESSION line: time since the test started and bytes.
struct session_sample {
    int64_t sec = 0;
    int64_t nsec = 0;
    uint64_t bytes = 0;
    double seconds() const {
        return static_cast<double>(sec) + static_cast<double>(nsec) / 1e9;
    }
};

struct results_reply {
    bool ok = false; // RESULT: OK
    int64_t end_time = 0;
    std::vector<session_sample> warmup;
    std::vector<session_sample> measur; // bytes since the end of warm-up, cumulative
};

// True once `text` holds the whole results reply (it ends with an empty line).
bool results_complete(std::string_view text);
// Parses a complete results reply, strictly line by line. Sample times must grow from one
// sample to the next (the measurement's after the warm-up's), and with RESULT: OK the byte
// counts must not shrink: a negative interval is a protocol error, not a zero.
bool parse_results_reply(std::string_view text, results_reply* out, std::string* error);

struct interval_rate {
    double seconds = 0;
    uint64_t bytes = 0;
    double bits_per_second = 0;
};

// What an upload's results say: warm-up length and samples, each measurement interval and
// the whole measurement (from the last warm-up sample to the last measurement sample).
struct upload_summary {
    double warmup_seconds = 0;
    size_t warmup_samples = 0;
    std::vector<interval_rate> intervals;
    interval_rate measurement;
};

upload_summary summarize_results(const results_reply& r);

// The rate of each warm-up sample in bits per second: its bytes since the previous sample (or
// the start) over the time since.
std::vector<double> warmup_rates(const std::vector<session_sample>& warmup);

// Parse memory allowed per byte of a statistics document. Samples take at most about 3.4 times
// their text (with one-digit numbers; longer numbers take less), a document of bare small
// numbers twelve times.
constexpr size_t DOCUMENT_MEMORY_FACTOR = 6;

struct latency_sample {
    int64_t ts = 0;
    int64_t tcp_rtt = 0;
    int64_t tcp_rttvar = 0;
    uint64_t tcpi_lost = 0;
    uint64_t tcpi_total_retrans = 0;
    uint64_t tcpi_retrans = 0;
    uint64_t tcpi_snd_cwnd = 0;
    uint64_t total_transferred = 0;
    uint64_t data_transferred = 0;
};

struct latency_document {
    int64_t protocol_version = 0;
    int64_t serverside_start = 0;
    int64_t start_timestamp = 0;
    int64_t measurement_start = 0;
    int64_t measurement_end = 0;
    std::vector<std::vector<latency_sample>> connections; // by connection index
};

// Parses a statistics document. Its parsed form may take at most DOCUMENT_MEMORY_FACTOR times
// its length (plus 64 KiB), and within each connection the timestamps and the byte and
// retransmission counters must not go backwards nor round trips be negative: a server that
// breaks this is not believed. False with *error set.
bool parse_latency_document(std::string_view json, latency_document* out, std::string* error);

// Nearest-rank percentile (p in 0..100) of `values`; 0 for an empty set.
double percentile(std::vector<int64_t> values, double p);

struct rtt_stats {
    size_t count = 0;
    double median_us = 0;
    double p90_us = 0;
    double p99_us = 0;
};

rtt_stats make_rtt_stats(const std::vector<int64_t>& rtts);

struct latency_conn_summary {
    size_t index = 0;
    size_t samples = 0;
    rtt_stats rtt;
    uint64_t retransmissions = 0; // tcpi_total_retrans of the last sample
    uint64_t bytes = 0;           // data moved between the first and the last sample
    double seconds = 0;
    double bits_per_second = 0;
};

// Round-trip times of the load connections: the first sample of each against the later
// samples taken while the connection moved data, and one summary per load connection
// (connection indexes from `first_load` on; the ones before are control connections). `idle`:
// the round trips the client measured before any load connection was opened (set by the test,
// not by summarize_latency).
struct latency_summary {
    rtt_stats idle;
    rtt_stats first;
    rtt_stats loaded;
    std::vector<latency_conn_summary> conns;
};

// Working latency: round trips per minute under load (60,000 / the median loaded round trip
// in milliseconds), the idle round trip (the median of `idle`; of the first samples when there
// is none) and the delay the load adds to it. Every figure is 0, and `valid` false, without loaded
// samples.
struct responsiveness {
    bool valid = false;
    double rpm = 0;
    double idle_rtt_us = 0;
    double added_median_us = 0;
    double added_p90_us = 0;
};

responsiveness make_responsiveness(const latency_summary& s);

latency_summary summarize_latency(const latency_document& doc, size_t first_load);

// The timestamp (milliseconds) of the earliest first sample of the connections from
// `first_load` on: where the load's round trips begin. 0 without samples.
int64_t latency_origin_ms(const latency_document& doc, size_t first_load);

} // namespace vh_client
