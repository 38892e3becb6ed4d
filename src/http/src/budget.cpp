// The memory budget: one counter of reserved bytes against one limit, the worst case of a
// session, and the default limit from the machine's and the cgroup's memory.
#include "budget.h"

#include "archive.h"
#include "settings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

static std::atomic<uint64_t> budget_bytes{MEMORY_BUDGET_MAX};
static std::atomic<uint64_t> reserved_bytes{0};

// Texts of fixed parts, at their widest: the results reply without its sample lines; a session
// log's head, the lines of one connection, and the head of its trace section; the head of the
// latency document and what each connection adds; the head of the /results reply. A GString
// grows to the next power of two: text of n bytes may hold 2n + 2.
static constexpr uint64_t RESULTS_HEAD_MAX = 192;
static constexpr uint64_t LOG_HEAD_MAX = 128;
static constexpr uint64_t LOG_CONN_MAX = 128;
static constexpr uint64_t TRACE_HEAD_MAX = 64;
static constexpr uint64_t DOCUMENT_HEAD_MAX = 256;
static constexpr uint64_t DOCUMENT_CONN_MAX = 16;
static constexpr uint64_t REPLY_HEAD_MAX = 128;
// A latency connection's queue before its first sample, the outer queue's share included.
static constexpr uint64_t LATENCY_QUEUE_BYTES = 1024;
// The session log's path and the small records around a session.
static constexpr uint64_t SESSION_FIXED_BYTES = 4096;

static uint64_t grown(uint64_t text) {
    return 2 * text + 2;
}

// Records one sampling timer of this period makes per connection over the session's life time,
// the first expiry included; 0 for no timer.
static uint64_t samples_per_connection(const timespec& interval) {
    const uint64_t ms = static_cast<uint64_t>(interval.tv_sec) * 1000 +
                        static_cast<uint64_t>(interval.tv_nsec) / 1000000;
    if (ms == 0)
        return 0;
    const uint64_t life_ms = static_cast<uint64_t>(std::max(session_timeout, 0)) * 1000;
    return life_ms / ms + 1;
}

// The worst case of one session, with C = NUM_CONNECTIONS, W = MAX_WARMUP_SAMPLES,
// M = RESULT_NUM_INTERVALS, P = W + M (the session's sample slots), P' = P, or for a path-style
// upload PATH_STYLE_SAMPLE_SLOTS (its connections may bring slots of their own), T = C x (life time
// / TRACE_INTERVAL + 1) trace lines, S = life time / LATENCY_INTERVAL + 1 samples per connection,
// and g(n) = 2n + 2 for text that grows in a GString:
//
//   fixed     4096 + 8C                                  (slot array, log path)
//   upload    16P + C x P' x 24                          (sample times; each connection's
//             + C x g(192 + 72P)                          samples; each one's results reply)
//   trace     g(96T)                                     (trace text, capped at 96T bytes)
//   latency   C x (1024 + 80S)                           (the samples, capped at S)
//             + D + g(D + 128),                          (a document and its /results reply)
//             D = 256 + 16C + 328CS
//   log       upload: g(128 + C x (128 + 88P))           (the session log's text, while it
//             others:  g(128 + 128C + 64 + 96T)           waits for the disk)
//   archive   archive_record_bound                       (the record, built at the end)
//
// Each part counts only when the session has it: upload parts for an extended POST, the trace
// for an extended session with TRACE_INTERVAL, latency for LATENCY_TEST, the log with a log
// directory and STORE_LOG or a trace, the record with an archive directory.
session_memory session_memory_bound(const request_info* request) {
    session_memory m{};
    const bool extended = request->session_id > EXTENDED_SESSION_MIN;
    const bool upload = extended && request->method == POST;
    const uint64_t conns = request->num_conns;
    const uint64_t slots = upload ? request->max_warmup_samples + request->result_num_intervals : 0;
    const uint64_t conn_slots =
        request->path_style ? std::max<uint64_t>(slots, PATH_STYLE_SAMPLE_SLOTS) : slots;
    const uint64_t trace_lines =
        extended ? conns * samples_per_connection(request->trace_interval) : 0;
    const uint64_t latency_samples =
        request->latency_test ? samples_per_connection(request->latency_interval) : 0;

    uint64_t total = SESSION_FIXED_BYTES + 8 * conns;
    if (upload)
        total += 16 * slots + conns * conn_slots * CONNECTION_SLOT_BYTES +
                 conns * grown(RESULTS_HEAD_MAX + RESULTS_LINE_MAX * slots);
    m.trace_text_cap = static_cast<size_t>(TRACE_LINE_MAX * trace_lines);
    if (trace_lines > 0)
        total += grown(m.trace_text_cap);
    if (request->latency_test) {
        m.latency_sample_cap = static_cast<size_t>(latency_samples);
        const uint64_t document = DOCUMENT_HEAD_MAX + DOCUMENT_CONN_MAX * conns +
                                  LATENCY_SAMPLE_TEXT_MAX * conns * latency_samples;
        total += conns * (LATENCY_QUEUE_BYTES + LATENCY_SAMPLE_BYTES * latency_samples) + document +
                 grown(document + REPLY_HEAD_MAX);
    }
    if (log_directory != nullptr && (request->store_log || trace_lines > 0)) {
        m.log_text =
            upload ? grown(LOG_HEAD_MAX + conns * (LOG_CONN_MAX + LOG_LINE_MAX * slots))
                   : grown(LOG_HEAD_MAX + LOG_CONN_MAX * conns + TRACE_HEAD_MAX + m.trace_text_cap);
        total += m.log_text;
    }
    if (archive_directory != nullptr) {
        m.archive_record = archive_record_bound(request);
        total += m.archive_record;
    }
    m.total = total;
    return m;
}

void set_memory_budget(uint64_t bytes) {
    budget_bytes.store(bytes, std::memory_order_relaxed);
}

uint64_t memory_budget() {
    return budget_bytes.load(std::memory_order_relaxed);
}

uint64_t memory_reserved() {
    return reserved_bytes.load(std::memory_order_relaxed);
}

bool reserve_memory(uint64_t n) {
    const uint64_t limit = budget_bytes.load(std::memory_order_relaxed);
    uint64_t now = reserved_bytes.load(std::memory_order_relaxed);
    do {
        if (n > limit || now > limit - n)
            return false;
    } while (!reserved_bytes.compare_exchange_weak(now, now + n, std::memory_order_relaxed));
    return true;
}

bool memory_would_fit(uint64_t n) {
    const uint64_t limit = budget_bytes.load(std::memory_order_relaxed);
    const uint64_t now = reserved_bytes.load(std::memory_order_relaxed);
    return n <= limit && now <= limit - n;
}

void release_memory(uint64_t n) {
    reserved_bytes.fetch_sub(n, std::memory_order_relaxed);
}

// The first number in a line of `path` that starts with `key` (0 when none).
static uint64_t number_after(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return strtoull(line.c_str() + key.size(), nullptr, 10);
    return 0;
}

// The memory.max of the process's own cgroup (v2); 0 when there is none or it says "max".
static uint64_t cgroup_memory_max(const std::string& root) {
    std::string path = "/";
    {
        std::ifstream in(root + "/proc/self/cgroup");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("0::", 0) == 0)
                path = line.substr(3);
    }
    std::ifstream in(root + "/sys/fs/cgroup" + path + (path.ends_with("/") ? "" : "/") +
                     "memory.max");
    std::string value;
    if (!(in >> value) || value == "max")
        return 0;
    return strtoull(value.c_str(), nullptr, 10);
}

uint64_t default_memory_budget(const std::string& root) {
    uint64_t total = number_after(root + "/proc/meminfo", "MemTotal:") * 1024;
    const uint64_t cgroup = cgroup_memory_max(root);
    if (cgroup != 0 && (total == 0 || cgroup < total))
        total = cgroup;
    return total / 4;
}

int parse_byte_size(const char* text, uint64_t* bytes) {
    if (text == nullptr || *text < '0' || *text > '9')
        return -1;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0)
        return -1;
    unsigned shift = 0;
    if (*end != '\0') {
        const char* units = "KMG";
        const char* unit = strchr(units, *end);
        if (unit == nullptr || end[1] != '\0')
            return -1;
        shift = 10 * static_cast<unsigned>(unit - units + 1);
    }
    if (shift > 0 && value > (UINT64_MAX >> shift))
        return -1;
    *bytes = static_cast<uint64_t>(value) << shift;
    return 0;
}
