// Request parsing: the request pattern, test parameters and the path-style upload form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <glib.h>
#include <regex.h>
#include <span>
#include <string>
#include <string_view>

enum request_method : uint32_t {
    GET = 0,
    POST = 1,
    PUT = 2,
    HEAD = 3,
    NO_METHOD = 4,
};

// The parsed request. Fields from `method` through `latency_test` are the test
// parameters a session keeps and compares; the rest belong to one connection.
struct request_info {
    request_method method;
    uint32_t unit_id;
    uint64_t session_id;
    bool aggregate_warmup;
    size_t num_conns;
    size_t warmup_sample_time; // milliseconds
    size_t num_warmup_samples;
    uint64_t max_warmup_size;
    size_t max_warmup_samples;
    size_t results_interval_period; // seconds
    size_t result_num_intervals;
    bool warmup_fail_on_max;
    int32_t warmup_tolerance; // percent
    timespec trace_interval;
    uint64_t transfer_max_size;
    uint64_t test_data_cap;
    char tcp_cong[16];
    bool no_path;
    bool store_log;
    bool path_style;
    timespec latency_interval;
    bool latency_test;
    // Per-connection values, not part of the session's copy.
    size_t conn_id;
    timespec transfer_deadline; // CLOCK_MONOTONIC, zero = none
    GString* put_path;          // PUT only; owned by the caller after a successful parse
    // The request named no session: its id came from next_anonymous_session_id(), and the
    // session is kept apart from every session a request can name.
    bool anonymous;
    // ACCESS_TOKEN=: where the last one's value lies in the parsed text, as an offset from its
    // start and a length (0: no token). Read by every method, PUT included.
    uint32_t token_at;
    uint32_t token_length;
    // It came over TLS: the transport of the session it creates (metrics, log, archive).
    bool tls;
};

// Byte length of the session-wide part of request_info (method .. latency_test).
constexpr size_t REQUEST_SESSION_PART_SIZE = offsetof(request_info, conn_id);

// Controlled requests need a session id above this (a non-zero unit id).
constexpr uint64_t EXTENDED_SESSION_MIN = 0xFFFFFFFFull;

// The request pattern (POSIX extended syntax). Requests are matched with
// match_request_pattern, which agrees with the regex engine on it; the pattern stays the
// reference the matcher's tests compare with.
extern const char* const REQUEST_PATTERN;

// Matches data against REQUEST_PATTERN exactly as regexec with the compiled pattern
// (REG_EXTENDED) and four groups would, in one pass: the text ends at its first NUL byte (at
// most `size` bytes are read), the character classes are those of the C locale, and
// match[0..3] receive the same offsets (-1 for an absent group). On a mismatch `match` is
// left unspecified. The regex engine needs time far beyond linear for some headers a client
// can send; this matcher does not.
bool match_request_pattern(const char* data, size_t size, regmatch_t match[4]);

// Ranges of the numbers a request may carry. A value outside its range refuses the request as
// a malformed one does, before anything is sized or armed from it. Every range leaves honest
// clients room to spare; together they give a session's memory a ceiling.
constexpr size_t MAX_NUM_CONNECTIONS = 256; // NUM_CONNECTIONS, 1 to this; CONNECTION below it
constexpr size_t MAX_SAMPLE_COUNT =
    10000; // NUM_WARMUP_SAMPLES, MAX_WARMUP_SAMPLES, RESULT_NUM_INTERVALS
constexpr size_t MAX_WARMUP_SAMPLE_TIME_MS = 60000;    // WARMUP_SAMPLE_TIME
constexpr size_t MAX_RESULTS_INTERVAL_PERIOD_S = 3600; // RESULTS_INTERVAL_PERIOD
constexpr int32_t MAX_WARMUP_TOLERANCE = 1000;         // WARMUP_TOLERANCE, 0 to this (percent)
// LATENCY_INTERVAL= and TRACE_INTERVAL=: 0 (none) or this range, in milliseconds. The floor
// keeps a worker from spending itself on one session's samples.
constexpr uint64_t MIN_SAMPLING_INTERVAL_MS = 10;
constexpr uint64_t MAX_SAMPLING_INTERVAL_MS = 60000;
// What one session may accumulate, in records: warm-up and measurement slots of all its
// connections, latency samples and trace lines over its whole life time (each counted on its
// own). A request whose numbers could make a session exceed it is refused. Latency samples
// and trace lines are bounded through the session life time: connections x (life time /
// interval + 1).
constexpr size_t SESSION_RECORD_BUDGET = size_t{1} << 18;
// A path-style connection may join a session whose parameters differ from its own, so its
// own sample arrays are bounded as if every slot of the largest session held one like it.
constexpr size_t PATH_STYLE_SAMPLE_SLOTS = SESSION_RECORD_BUDGET / MAX_NUM_CONNECTIONS;

// A query may carry at most this many parameters; one with more is refused. Clients send one of
// each key they use, about a dozen, and the bound keeps the cost of a query of thousands of
// parameters to what its length costs.
constexpr size_t MAX_QUERY_PARAMETERS = 64;

// The matcher as parse_request runs it, which also tells in *blank_line (when not null) whether
// CR LF CR LF occurs anywhere in the `size` bytes, NUL bytes included. It uses 32-byte vectors
// where the processor has them; `portable` asks for the variant every x86-64 processor runs, so
// that tests cover both.
bool match_request_scan(const char* data, size_t size, regmatch_t match[4], bool* blank_line,
                        bool portable = false);

// The names (without "=") of the query keys the server reads, in no particular order.
std::span<const std::string_view> query_key_names();

// Replaces the value of every ACCESS_TOKEN= in `text` by "<hidden>", for text that is logged.
void hide_access_tokens(std::string* text);

// Parses the received header text. data[data_size] must be NUL.
// Returns -2 when the header is incomplete, -1 when it is invalid, otherwise the
// length of the matched header. Clears *request first; on success for PUT the
// caller owns request->put_path.
int parse_request(const char* data, size_t data_size, request_info* request);

// The instant ms milliseconds after now (CLOCK_MONOTONIC), as a path's transfer deadline.
// For ms >= 0 the nanoseconds stay below one second.
timespec transfer_deadline_after(const timespec& now, int ms);

// Session id of a path-style request from the first eight characters of its path.
uint64_t session_id_str_to_uint64(std::string request_path);

enum latency_request_result {
    LATENCY_REQUEST_COMPLETE = 0,
    LATENCY_REQUEST_INCOMPLETE = 1,
    LATENCY_REQUEST_TOO_BIG = 2,
    LATENCY_REQUEST_INVALID = 3,
};

// Decides whether the text received on a latency control connection is a whole,
// valid statistics request (GET /results, any query and headers). data[data_size]
// must be NUL; latency_session must be true.
latency_request_result parse_latency_request(const char* data, size_t data_size,
                                             bool latency_session);
