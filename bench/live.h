// Live sessions: many sessions shaped like real lines, all open at once. Downloads are read
// at a fixed rate, uploads are sent at a fixed rate through their warm-up and measurement
// intervals to the results reply, and latency sessions (a control connection and one
// download) fetch their statistics every second. Reports the server's CPU over a window in
// which every session is live, and how far the server's sample instants lie from their
// nominal ones.
#pragma once

#include "load.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vh_bench {

// The periods the sessions ask for: warm-up samples every 100 ms, 1 s measurement
// intervals, latency samples every 100 ms; the latency client asks for the statistics
// every second.
constexpr int LIVE_WARMUP_SAMPLE_MS = 100;
constexpr int LIVE_INTERVAL_S = 1;
constexpr int LIVE_LATENCY_INTERVAL_MS = 100;
constexpr int LIVE_STATS_PERIOD_MS = 1000;
// How often a rate-limited connection reads or sends its share. Uploads send between two
// warm-up samples, so that each sample sees one share; downloads read less often: the
// client's work and loopback's are per read, not per byte.
constexpr int LIVE_UP_TICK_MS = 100;
constexpr int LIVE_DOWN_TICK_MS = 200;
// A line's segments and a slow line's receive buffer, for the connections that carry test
// data. On loopback a connection's segments are 64 KiB, and the server's send buffer grows
// with them to a megabyte and more: at these rates it would hold tens of seconds of data,
// and neither the server nor its CPU would be seen in the window. A latency control
// connection, which fetches documents of tens of kilobytes, keeps the usual buffers.
constexpr int LIVE_LINE_MSS = 1448;
constexpr int LIVE_LINE_RCVBUF = 32768;

enum class live_kind { download, upload, latency };

struct live_plan {
    dialect server = dialect::varnholt; // nginx: downloads only, each a GET of /payload.bin
    int port = 0;
    int downloads = 0;
    int uploads = 0;
    int latency = 0;
    double down_rate = 64000; // bytes per second of every download connection
    double up_rate = 32000;   // bytes per second of every upload connection
    double ramp_per_s = 2500; // sessions started per second
    double settle_s = 1.0;    // from the last session's start to the window
    double window_s = 6.0;    // the measured window, every session live
    int threads = 2;
    int client_nice = 10;            // added to the client threads' nice value
    uint32_t session_base = 1000000; // first SESSIONID= (UNITID=1) and LATENCY_ID= offset
};

// Called at the edges of the window: the server's CPU seconds (as for run_load), bytes
// written and seconds its threads waited for a CPU, and at its end its resident memory.
struct live_probe {
    cpu_probe cpu;
    std::function<long long()> written;
    std::function<double()> waited;
    std::function<long long()> rss;
};

// A sample's instant against its nominal one: `at_ns` is when it was taken
// (CLOCK_MONOTONIC, as estimated by the client), `error_ms` how late it was.
struct timed_error {
    int64_t at_ns;
    double error_ms;
};

struct live_result {
    bool ok = false; // the run took place (set-up and window); failed sessions are below
    std::string error;
    int sessions = 0;
    int upload_intervals = 0; // RESULT_NUM_INTERVALS of the uploads
    double window_s = 0;
    int64_t window_start_ns = 0, window_end_ns = 0;
    int live_at_end = 0; // sessions still live, none failed, at the end of the window
    double server_cpu_s = 0;
    double client_cpu_s = 0;
    double server_waited_s = 0;              // the server's threads, runnable, waiting for a CPU
    std::vector<double> server_thread_cpu_s; // busiest first
    long long rss_live = 0;
    uint64_t down_bytes = 0; // payload moved in the window
    uint64_t up_bytes = 0;
    long long server_written = 0; // bytes the server wrote in the window
    int failed = 0;
    std::map<std::string, int> failures;     // reason, sessions
    std::vector<timed_error> sample_errors;  // warm-up and measurement samples of uploads
    std::vector<timed_error> latency_errors; // latency samples of the control connections
    int latency_missing = 0;                 // latency periods without a sample
    // Statistics requests: when each went out, and the time to the whole reply.
    std::vector<timed_error> stats_replies;
};

// Runs the sessions: starts them at plan.ramp_per_s, measures the window once all are up,
// then ends them (downloads half-close and check the statistics message, latency sessions
// fetch their final statistics, uploads run to their results reply). Every wait is bounded.
live_result run_live(const live_plan& plan, const live_probe& probe);

// The first request of a connection of a live session of the server under test.
std::string live_request(live_kind kind, uint64_t id, int conn_index, int upload_intervals);

// Parsing helpers, exposed for the tests.
// The sample times of a results reply, in seconds since the test start.
struct results_times {
    bool ok = false; // RESULT: OK
    std::vector<double> warmup_s;
    std::vector<double> measur_s;
};
// False when the text is not a whole results reply.
bool parse_results_times(std::string_view reply, results_times* out);
// How late each sample was: warm-up sample k (from 0) is due at (k + 1) warm-up periods
// after the test start, where the server arms its data timer; measurement sample j one
// interval after sample j - 1, the first one interval after the last warm-up sample,
// where the server re-arms the timer. `at_ns` is in nanoseconds since the test start.
std::vector<timed_error> results_sample_errors(const results_times& times, double warmup_s,
                                               double interval_s);
// The statistics document's serverside_start (milliseconds) and the `ts` of every sample
// of connection `slot`; false when the document does not have them.
bool latency_sample_times(std::string_view json, size_t slot, int64_t* serverside_start_ms,
                          std::vector<int64_t>* ts_ms);
// Latency sample times (milliseconds, a periodic timer's, whose start the document does not
// give) against a grid of `period_ms`: a sample is one slot after the one before it, or as
// many whole periods as lie between them, and the grid lies where the least late sample
// puts it. Slots without a sample are counted in `missing`. `at_ns` is ts in nanoseconds.
std::vector<timed_error> grid_errors(const std::vector<int64_t>& ts_ms, int period_ms,
                                     int* missing);

} // namespace vh_bench
