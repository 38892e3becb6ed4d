// Results archive: the test ids, the record of a finished session and its writing on the
// file operations thread.
#include "archive.h"

#include "budget.h"
#include "connection.h"
#include "file_ops.h"
#include "log_space.h"
#include "session.h"
#include "settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
// The kernel's own tcp_info: the C library's lacks the delivery rate and byte counts.
#include <linux/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

const char* archive_directory = nullptr;
static const char* server_version = "unknown";
static const char* server_revision = "release";

void set_archive_build_info(const char* version, const char* revision) {
    server_version = version;
    server_revision = revision;
}

static std::atomic<uint64_t> record_counts[NUM_ARCHIVE_RESULTS];
static std::atomic<uint64_t> test_numbers{0};

void count_archive_record(archive_result result) {
    record_counts[result].fetch_add(1, std::memory_order_relaxed);
}

uint64_t archive_records(archive_result result) {
    return record_counts[result].load(std::memory_order_relaxed);
}

static int64_t wall_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

static int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The host name as a file name may carry it: letters, digits, '.', '-' and '_' (anything
// else becomes '_'), at most 64 characters.
static std::string host_name() {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
        strcpy(name, "localhost");
    std::string host(name, strnlen(name, 64));
    for (char& c : host)
        if (!g_ascii_isalnum(c) && c != '.' && c != '-' && c != '_')
            c = '_';
    return host;
}

static const std::string& server_host() {
    static const std::string host = host_name();
    return host;
}

const std::string& test_id_prefix() {
    static const std::string prefix = server_host() + "-" + std::to_string(wall_now_us());
    return prefix;
}

uint64_t next_test_number() {
    return test_numbers.fetch_add(1, std::memory_order_relaxed) + 1;
}

// ---------------------------------------------------------------------------
// The record's text, appended directly (see build_latency_document for why no tree).

// Widest texts: the top-level members with every string at its longest escaped form (the
// log directory's name aside), one request parameter, one connection, one upload sample.
static constexpr uint64_t RECORD_HEAD_MAX = 4096;
static constexpr uint64_t PARAMETER_MAX = 160;
static constexpr uint64_t NUM_PARAMETERS = 24;
static constexpr uint64_t CONNECTION_MAX = 640;
static constexpr uint64_t UPLOAD_SAMPLE_MAX = 112;
static constexpr uint64_t LATENCY_CONN_MAX = 16;

uint64_t archive_record_bound(const request_info* request) {
    const bool extended = request->session_id > EXTENDED_SESSION_MIN;
    const uint64_t conns = request->num_conns;
    const uint64_t slots = extended && request->method == POST
                               ? request->max_warmup_samples + request->result_num_intervals
                               : 0;
    uint64_t latency_samples = 0;
    if (request->latency_test) {
        const uint64_t ms = static_cast<uint64_t>(request->latency_interval.tv_sec) * 1000 +
                            static_cast<uint64_t>(request->latency_interval.tv_nsec) / 1000000;
        const uint64_t life_ms = static_cast<uint64_t>(std::max(session_timeout, 0)) * 1000;
        latency_samples = ms == 0 ? 0 : life_ms / ms + 1;
    }
    const uint64_t log_name = log_directory != nullptr ? 6 * strlen(log_directory) + 64 : 0;
    const uint64_t text = RECORD_HEAD_MAX + log_name + NUM_PARAMETERS * PARAMETER_MAX +
                          conns * (CONNECTION_MAX + UPLOAD_SAMPLE_MAX * slots) +
                          conns * (LATENCY_CONN_MAX + LATENCY_SAMPLE_TEXT_MAX * latency_samples);
    // A GString grows to the next power of two.
    return 2 * text + 2;
}

static void append_raw(GString* out, const char* text) {
    g_string_append(out, text);
}

// Integers go through to_chars, not printf: a latency record may hold a quarter of a million
// samples, formatted on the worker.
template <typename T> static void append_number(GString* out, const char* key, T value) {
    g_string_append(out, key);
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    g_string_append_len(out, digits, end - digits);
}

static void append_u64(GString* out, const char* key, uint64_t value) {
    append_number(out, key, value);
}

static void append_i64(GString* out, const char* key, int64_t value) {
    append_number(out, key, value);
}

// A JSON string; bytes outside printable ASCII are escaped one by one (as Latin-1), so the
// record stays valid UTF-8 whatever a client or the system gave.
static void append_string(GString* out, const char* key, const char* value, size_t len) {
    g_string_append(out, key);
    g_string_append_c(out, '"');
    for (size_t i = 0; i < len; i++) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            g_string_append_c(out, '\\');
            g_string_append_c(out, static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7f) {
            g_string_append_printf(out, "\\u%04x", c);
        } else {
            g_string_append_c(out, static_cast<char>(c));
        }
    }
    g_string_append_c(out, '"');
}

static void append_string(GString* out, const char* key, const char* value) {
    append_string(out, key, value, strlen(value));
}

// RFC 3339 UTC with microseconds.
static void append_time(GString* out, const char* key, int64_t us) {
    const time_t seconds = static_cast<time_t>(us / 1000000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    g_string_append_printf(out, "%s\"%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ\"", key,
                           utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                           utc.tm_sec, static_cast<long>(us % 1000000));
}

static uint64_t timespec_ms(const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

// The request parameters of the session, as the keys the client gives them, those with a
// value only (what was not given reads as zero, or as no limit). The server keeps no access
// token.
static void append_parameters(GString* out, const session* sess) {
    const request_info& r = sess->request;
    bool first = true;
    auto number = [&](const char* name, uint64_t value) {
        if (value == 0 || value == UINT64_MAX) // not given: the parser's defaults
            return;
        g_string_append_printf(out, "%s\"%s\":\"%lu\"", first ? "" : ",", name,
                               static_cast<unsigned long>(value));
        first = false;
    };
    g_string_append(out, ",\"parameters\":{");
    const bool extended = is_extended(sess);
    if (sess->is_latency) {
        number("LATENCY_ID", sess->id);
    } else if (extended) {
        number("UNITID", r.unit_id);
        number("SESSIONID", sess->id - (static_cast<uint64_t>(r.unit_id) << 32));
    }
    number("NUM_CONNECTIONS", r.num_conns);
    number("AGGREGATE_WARMUP", r.aggregate_warmup);
    number("RESULTS_INTERVAL_PERIOD", r.results_interval_period);
    number("RESULT_NUM_INTERVALS", r.result_num_intervals);
    number("TEST_DATA_CAP", r.test_data_cap);
    number("TRANSFER_MAX_SIZE", r.transfer_max_size);
    number("WARMUP_SAMPLE_TIME", r.warmup_sample_time);
    number("NUM_WARMUP_SAMPLES", r.num_warmup_samples);
    number("MAX_WARMUP_SIZE", r.max_warmup_size);
    number("MAX_WARMUP_SAMPLES", r.max_warmup_samples);
    number("WARMUP_FAIL_ON_MAX", r.warmup_fail_on_max);
    number("WARMUP_TOLERANCE", static_cast<uint64_t>(std::max(r.warmup_tolerance, 0)));
    number("TRACE_INTERVAL", timespec_ms(r.trace_interval));
    const size_t cong = strnlen(r.tcp_cong, sizeof(r.tcp_cong));
    if (cong > 0) {
        append_string(out, first ? "\"TCP_CONG\":" : ",\"TCP_CONG\":", r.tcp_cong, cong);
        first = false;
    }
    number("STORE_LOG", r.store_log);
    number("LATENCY_INTERVAL", timespec_ms(r.latency_interval));
    number("LATENCY_TEST", r.latency_test);
    g_string_append_c(out, '}');
}

// Final TCP statistics of one connection, read on the owner before the socket is closed (a
// lent connection is back by the time its session ends; its socket is readable anyway).
static void append_connection(GString* out, const connection* conn, bool first, int64_t now_ms) {
    tcp_info info{};
    socklen_t len = sizeof(info);
    if (getsockopt(conn->sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        info = tcp_info{};
    char cong[16 + 1] = "";
    socklen_t cong_len = 16; // the kernel's longest name
    if (getsockopt(conn->sock, IPPROTO_TCP, TCP_CONGESTION, cong, &cong_len) != 0)
        cong[0] = '\0';
    uint64_t total = 0;
    uint64_t data = 0;
    counted_bytes(conn, &total, &data);
    const int64_t duration_ms =
        conn->accepted_ms > 0 ? std::max<int64_t>(now_ms - conn->accepted_ms, 0) : 0;
    append_u64(out, first ? "{\"index\":" : ",{\"index\":", conn->conn_id);
    append_u64(out, ",\"total_bytes\":", total);
    append_u64(out, ",\"data_bytes\":", data);
    append_i64(out, ",\"duration_us\":", duration_ms * 1000);
    append_u64(out, ",\"retransmissions\":", info.tcpi_total_retrans);
    append_u64(out, ",\"rtt_us\":", info.tcpi_rtt);
    append_u64(out, ",\"rttvar_us\":", info.tcpi_rttvar);
    append_u64(out, ",\"snd_cwnd\":", info.tcpi_snd_cwnd);
    // The kernel gives bytes per second.
    append_u64(out, ",\"delivery_rate_bps\":", info.tcpi_delivery_rate * 8);
    append_u64(out, ",\"bytes_acked\":", info.tcpi_bytes_acked);
    append_u64(out, ",\"bytes_received\":", info.tcpi_bytes_received);
    append_string(out, ",\"congestion_control\":", cong, strnlen(cong, sizeof(cong)));
    g_string_append_c(out, '}');
}

static int64_t since_start_us(const session* sess, const timespec& t) {
    const timespec d = time_diff(t, sess->test.start_time);
    return static_cast<int64_t>(d.tv_sec) * 1000000 + d.tv_nsec / 1000;
}

// The measured result of an upload: what the connections moved over the measurement
// intervals, in bit/s, from the end of the warm-up to the last interval. Negative: none.
static double measured_bps(const session* sess) {
    const size_t last_interval = std::min(sess->test.num_measur, sess->measur_times_size);
    const size_t last_warmup = std::min(sess->test.num_warmup, sess->warmup_times_size);
    if (last_interval == 0 || sess->test.measur_times == nullptr)
        return -1;
    const size_t k = last_interval - 1;
    uint64_t bytes = 0;
    for (size_t i = 0; i < sess->conns_size; i++) {
        const connection* c = sess->conns[i];
        if (c != nullptr && c->measur_bytes != nullptr && c->num_measur > k &&
            k < c->measur_capacity)
            bytes += c->measur_bytes[k];
    }
    const timespec from =
        last_warmup > 0 ? sess->test.warmup_times[last_warmup - 1] : sess->test.start_time;
    const timespec span = time_diff(sess->test.measur_times[k], from);
    const double seconds = static_cast<double>(span.tv_sec) + span.tv_nsec / 1e9;
    return seconds > 0 ? static_cast<double>(bytes) * 8 / seconds : -1;
}

// `start_us`: the session's creation on the system clock. The samples count from the test's
// start, the first upload answered, which the record places on the same clock.
static void append_upload(GString* out, const session* sess, double result, int64_t start_us) {
    append_raw(out, ",\"upload\":{\"test_start_us\":");
    if (sess->test.started) {
        const int64_t test_ns = static_cast<int64_t>(sess->test.start_time.tv_sec) * 1000000000 +
                                sess->test.start_time.tv_nsec;
        append_i64(out, "", start_us + (test_ns - sess->serverside_start_ns) / 1000);
    } else {
        append_raw(out, "null");
    }
    append_raw(out, ",\"warmup_samples\":[");
    bool first = true;
    for (size_t i = 0; i < sess->request.num_conns && i < sess->conns_size; i++) {
        const connection* conn = sess->conns[i];
        if (conn == nullptr)
            continue;
        const size_t n =
            std::min({conn->num_warmup, conn->warmup_capacity, sess->warmup_times_size});
        for (size_t j = 0; j < n && conn->warmup_samples != nullptr; j++) {
            append_u64(out, first ? "{\"connection\":" : ",{\"connection\":", i);
            first = false;
            append_u64(out, ",\"index\":", j);
            append_i64(out, ",\"time_us\":", since_start_us(sess, sess->test.warmup_times[j]));
            append_u64(out, ",\"bytes\":", conn->warmup_samples[j].bytes);
            g_string_append_c(out, '}');
        }
    }
    append_raw(out, "],\"intervals\":[");
    first = true;
    for (size_t i = 0; i < sess->request.num_conns && i < sess->conns_size; i++) {
        const connection* conn = sess->conns[i];
        if (conn == nullptr)
            continue;
        const size_t n =
            std::min({conn->num_measur, conn->measur_capacity, sess->measur_times_size});
        for (size_t j = 0; j < n && conn->measur_bytes != nullptr; j++) {
            append_u64(out, first ? "{\"connection\":" : ",{\"connection\":", i);
            first = false;
            append_u64(out, ",\"index\":", j);
            append_i64(out, ",\"time_us\":", since_start_us(sess, sess->test.measur_times[j]));
            append_u64(out, ",\"bytes\":", conn->measur_bytes[j]);
            g_string_append_c(out, '}');
        }
    }
    append_raw(out, "],\"result_bps\":");
    if (result < 0)
        append_raw(out, "null");
    else
        g_string_append_printf(out, "%.3f", result);
    g_string_append_c(out, '}');
}

static void append_latency(GString* out, const session* sess) {
    append_raw(out, ",\"latency\":{\"connections\":[");
    bool first_result = true;
    for (const auto& result : *sess->latency_results) {
        append_raw(out, first_result ? "{\"samples\":[" : ",{\"samples\":[");
        first_result = false;
        bool first = true;
        for (const auto& s : result) {
            append_i64(out, first ? "{\"ts\":" : ",{\"ts\":", s.ts);
            first = false;
            append_i64(out, ",\"tcp_rtt\":", s.tcp_rtt);
            append_i64(out, ",\"tcp_rttvar\":", s.tcp_rttvar);
            append_u64(out, ",\"tcpi_lost\":", s.tcpi_lost);
            append_u64(out, ",\"tcpi_total_retrans\":", s.tcpi_total_retrans);
            append_u64(out, ",\"tcpi_retrans\":", s.tcpi_retrans);
            append_u64(out, ",\"tcpi_snd_cwnd\":", s.tcpi_snd_cwnd);
            append_u64(out, ",\"total_transferred\":", s.total_transferred);
            append_u64(out, ",\"data_transferred\":", s.data_transferred);
            g_string_append_c(out, '}');
        }
        append_raw(out, "]}");
    }
    append_raw(out, "]}");
}

// Addresses of the session's first connection as the kernel gives them; the client's
// address alone when no connection is left.
struct endpoints {
    const char* family = "ipv6";
    char client[INET6_ADDRSTRLEN] = "";
    char server[INET6_ADDRSTRLEN] = "";
    unsigned client_port = 0;
    unsigned server_port = 0;
};

static void address_text(const sockaddr_storage& address, char* text, unsigned* port,
                         const char** family) {
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, INET6_ADDRSTRLEN);
        *port = ntohs(in.sin_port);
        *family = "ipv4";
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, INET6_ADDRSTRLEN);
        *port = ntohs(in6.sin6_port);
        *family = "ipv6";
    }
}

static endpoints endpoints_of(const session* sess) {
    endpoints ends;
    int any_sock = -1;
    for (size_t i = 0; i < sess->conns_size; i++) {
        const connection* conn = sess->conns[i];
        if (conn == nullptr)
            continue;
        any_sock = any_sock < 0 ? conn->sock : any_sock;
        sockaddr_storage peer{};
        sockaddr_storage local{};
        socklen_t peer_len = sizeof(peer);
        socklen_t local_len = sizeof(local);
        if (getpeername(conn->sock, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 ||
            getsockname(conn->sock, reinterpret_cast<sockaddr*>(&local), &local_len) != 0)
            continue;
        address_text(peer, ends.client, &ends.client_port, &ends.family);
        address_text(local, ends.server, &ends.server_port, &ends.family);
        return ends;
    }
    // Every peer went (a reset forgets it): the local end is still known, and the client's
    // address as accepted, without its port.
    sockaddr_storage local{};
    socklen_t local_len = sizeof(local);
    if (any_sock >= 0 &&
        getsockname(any_sock, reinterpret_cast<sockaddr*>(&local), &local_len) == 0)
        address_text(local, ends.server, &ends.server_port, &ends.family);
    format_client_address(sess->client, ends.client, sizeof(ends.client));
    return ends;
}

static const char* kind_name(const session* sess) {
    switch (kind_of(sess)) {
    case KIND_DOWNLOAD:
        return "download";
    case KIND_UPLOAD:
        return "upload";
    default:
        return "latency";
    }
}

// The outcome's name and the reason in a few words.
static void outcome_of(const session* sess, session_outcome outcome, const char** name,
                       const char** reason) {
    *reason = "";
    if (outcome == OUTCOME_EXPIRED) {
        *name = "expired";
        *reason = "the session life time ran out";
    } else if (sess->cut_short) {
        *name = "cut_short";
        *reason = "the server stopped before the test ended";
    } else if (outcome == OUTCOME_FAILED) {
        *name = "failed";
        bool joined = false;
        for (size_t i = 0; i < sess->conns_size && !joined; i++)
            joined = sess->conns[i] != nullptr;
        if (!joined)
            *reason = "no connection joined";
        else if (!sess->finishing)
            *reason = "every connection went before the end";
        else if (kind_of(sess) == KIND_UPLOAD && sess->test.num_measur == 0)
            *reason = "no interval was measured";
        else
            *reason = "a connection failed";
    } else {
        *name = "completed";
    }
}

// The record as of the wall and steady clocks' readings `wall_us` and `steady_ns`.
static GString* build_record(const session* sess, uint64_t number, session_outcome outcome,
                             int64_t wall_us, int64_t steady_ns) {
    const int64_t start_us = wall_us - (steady_ns - sess->serverside_start_ns) / 1000;
    // A finished test ended at its finish (measurement_end); one given up ends now.
    const int64_t end_us =
        sess->finishing && sess->measurement_end > 0 ? start_us + sess->measurement_end : wall_us;
    const int64_t now_ms = steady_ns / 1000000;
    const uint64_t unit_id = sess->id >> 32;
    GString* out = g_string_sized_new(4096);
    append_u64(out, "{\"schema_version\":", ARCHIVE_SCHEMA_VERSION);
    const std::string id = test_id_prefix() + "-" + std::to_string(number);
    append_string(out, ",\"test_id\":", id.c_str());
    append_string(out, ",\"kind\":", kind_name(sess));
    append_string(out, ",\"server_host\":", server_host().c_str());
    append_string(out, ",\"server_version\":", server_version);
    append_string(out, ",\"server_revision\":", server_revision);
    const endpoints ends = endpoints_of(sess);
    append_string(out, ",\"family\":", ends.family);
    append_string(out, ",\"client_address\":", ends.client);
    append_u64(out, ",\"client_port\":", ends.client_port);
    append_string(out, ",\"server_address\":", ends.server);
    append_u64(out, ",\"server_port\":", ends.server_port);
    append_string(out, ",\"transport\":", sess->transport.tls ? "tls" : "tcp");
    if (sess->transport.tls) {
        append_string(out, ",\"tls_version\":", sess->transport.version);
        append_string(out, ",\"tls_cipher\":", sess->transport.cipher);
        append_u64(out, ",\"kernel_tls\":", sess->transport.kernel_tls ? 1 : 0);
    } else {
        append_raw(out, ",\"tls_version\":null,\"tls_cipher\":null,\"kernel_tls\":null");
    }
    append_time(out, ",\"start_time\":", start_us);
    append_time(out, ",\"end_time\":", end_us);
    append_i64(out, ",\"start_time_us\":", start_us);
    append_i64(out, ",\"end_time_us\":", end_us);
    const char* outcome_name = nullptr;
    const char* reason = nullptr;
    outcome_of(sess, outcome, &outcome_name, &reason);
    append_string(out, ",\"outcome\":", outcome_name);
    append_string(out, ",\"reason\":", reason);
    append_u64(out, ",\"unit_id\":", unit_id);
    append_u64(out, ",\"session_id\":", sess->id);
    size_t count = 0;
    uint64_t total = 0;
    uint64_t data = 0;
    for (size_t i = 0; i < sess->conns_size; i++) {
        if (sess->conns[i] == nullptr)
            continue;
        uint64_t t = 0;
        uint64_t d = 0;
        counted_bytes(sess->conns[i], &t, &d);
        total += t;
        data += d;
        count++;
    }
    append_u64(out, ",\"connection_count\":", count);
    append_u64(out, ",\"total_bytes\":", total);
    append_u64(out, ",\"data_bytes\":", data);
    const bool upload = kind_of(sess) == KIND_UPLOAD && is_extended(sess);
    const double result = upload ? measured_bps(sess) : -1;
    if (result < 0)
        append_raw(out, ",\"measured_bps\":null");
    else
        g_string_append_printf(out, ",\"measured_bps\":%.3f", result);
    append_parameters(out, sess);
    append_raw(out, ",\"connections\":[");
    bool first = true;
    for (size_t i = 0; i < sess->conns_size; i++) {
        if (sess->conns[i] == nullptr)
            continue;
        append_connection(out, sess->conns[i], first, now_ms);
        first = false;
    }
    g_string_append_c(out, ']');
    if (upload)
        append_upload(out, sess, result, start_us);
    else
        append_raw(out, ",\"upload\":null");
    if (sess->is_latency && sess->latency_results != nullptr)
        append_latency(out, sess);
    else
        append_raw(out, ",\"latency\":null");
    // The session log keeps its own name (see store_session_report).
    if (sess->finishing && log_directory != nullptr &&
        ((sess->traces != nullptr && sess->traces->len > 0) || sess->store_log)) {
        char* name = nullptr;
        const uint64_t log_number = sess->id - (static_cast<uint64_t>(sess->request.unit_id) << 32);
        if (asprintf(&name, "%s/%u_%lu_%lu.log", log_directory, sess->request.unit_id,
                     static_cast<unsigned long>(sess->test.end_time), log_number) >= 0) {
            append_string(out, ",\"session_log\":", name);
            free(name);
        } else {
            append_raw(out, ",\"session_log\":null");
        }
    } else {
        append_raw(out, ",\"session_log\":null");
    }
    append_raw(out, "}\n");
    return out;
}

GString* build_archive_record(const session* sess, uint64_t number, session_outcome outcome) {
    return build_record(sess, number, outcome, wall_now_us(), steady_now_ns());
}

void archive_session(session* sess, uint64_t number, session_outcome outcome) {
    const int64_t wall_us = wall_now_us();
    const int64_t steady_ns = steady_now_ns();
    GString* text = build_record(sess, number, outcome, wall_us, steady_ns);
    // The date directory of the start, and the file name of the test id.
    const int64_t start_us = wall_us - (steady_ns - sess->serverside_start_ns) / 1000;
    const time_t seconds = static_cast<time_t>(start_us / 1000000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char* path = nullptr;
    if (asprintf(&path, "%s/%s/%04d/%02d/%02d/%s-%lu.json", archive_directory, kind_name(sess),
                 utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, test_id_prefix().c_str(),
                 static_cast<unsigned long>(number)) < 0) {
        g_string_free(text, TRUE);
        count_archive_record(ARCHIVE_FAILED);
        VH_LOG_LIMITED("archive record not posted", LOG_WARNING, "Could not archive session %lu",
                       sess->id);
        return;
    }
    const size_t len = text->len;
    // Freed with free() on the file operations thread: GLib's allocator is the system malloc.
    char* data = g_string_free(text, FALSE);
    fileops_cmd cmd{};
    cmd.type = FILEOPS_ARCHIVE;
    cmd.path = path;
    cmd.data = data;
    cmd.len = len;
    const uint64_t share = std::min(sess->memory.archive_record, sess->reserved_bytes);
    cmd.reserved = share;
    if (send_fileops_cmd(&cmd) == 0) {
        sess->reserved_bytes -= share;
        return;
    }
    count_archive_record(ARCHIVE_FAILED);
    if (errno != EAGAIN)
        VH_LOG_LIMITED("archive record not posted", LOG_WARNING, "Could not archive session %lu",
                       sess->id);
    free(path);
    g_free(data);
}

// ---------------------------------------------------------------------------
// The file operations thread's side.

// Creates the directories of `path` below archive_directory, each 0755 whatever the umask.
static int make_parents(const std::string& path) {
    const size_t base = strlen(archive_directory);
    for (size_t slash = path.find('/', base + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) == 0) {
            chmod(dir.c_str(), 0755);
        } else if (errno != EEXIST) {
            return -1;
        }
    }
    return 0;
}

// Archive failures going on (a full or failing disk) are logged once, and once more when a
// record is written again. File operations thread only.
static bool records_failing = false;

void write_archive_record(char* path, char* data, size_t len) {
    if (!log_space_reserve(LOG_SPACE_ARCHIVE, len)) {
        count_archive_record(ARCHIVE_DROPPED_SPACE);
        free(path);
        free(data);
        return;
    }
    const std::string final_name = path;
    const size_t slash = final_name.rfind('/');
    // A hidden name in the same directory: a shipper taking "*.json" never sees it.
    const std::string temporary =
        final_name.substr(0, slash + 1) + "." + final_name.substr(slash + 1) + ".part";
    const char* step = "mkdir";
    int err = 0;
    if (make_parents(final_name) != 0) {
        err = errno;
    } else {
        step = "open";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            err = errno;
        } else {
            fchmod(fd, 0644);
            size_t done = 0;
            while (done < len) {
                const ssize_t n = write(fd, data + done, len - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    step = "write";
                    err = n < 0 ? errno : EIO;
                    break;
                }
                done += static_cast<size_t>(n);
            }
            if (close(fd) != 0 && err == 0) {
                step = "close";
                err = errno;
            }
            if (err == 0 && rename(temporary.c_str(), final_name.c_str()) != 0) {
                step = "rename";
                err = errno;
            }
            if (err != 0)
                unlink(temporary.c_str());
        }
    }
    if (err != 0) {
        log_space_release(len);
        count_archive_record(ARCHIVE_FAILED);
        if (!records_failing)
            VH_LOG(LOG_ERR,
                   "%s: %s (archive record %s not written; until one is, no more such "
                   "lines)",
                   step, strerror(err), path);
        records_failing = true;
    } else {
        count_archive_record(ARCHIVE_WRITTEN);
        if (records_failing)
            VH_LOG(LOG_INFO, "Archive records are written again");
        records_failing = false;
    }
    free(path);
    free(data);
}
