// Request parsing: the request pattern, the query's test parameters and the path-style upload form.
#include "request.h"

#include "log_limit.h"

#include "settings.h"

#include <algorithm>
#include <array>
#include <bit>
#include <boost/algorithm/string/replace.hpp>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

const char* const REQUEST_PATTERN =
    "^(GET|POST|PUT|HEAD) /([^? ]+)?(\\?(([A-Z_]+=[[:alnum:]_.-]+&)+)?[A-Z_]+=[[:alnum:]_.-]+)? "
    "HTTP/[[:digit:]]+\\.[[:digit:]]+ ?\r\n([[:print:]]+:[[:print:]]+\r\n)*(\r\n)*$";

#define VH_SCAN_WIDTH 16
#define VH_SCAN_NAMESPACE scan16
#include "request_scan.h"

namespace {

using scan16::MATCH_COUNT;
using scan16::MATCH_PATH;
using scan16::MATCH_QUERY;
using scan16::scanner;
using scan16::splat;
using scan16::vec;

constexpr long NSEC_PER_SEC = 1000000000;
constexpr long NSEC_PER_MSEC = 1000000;

// A path-style path: a 36-character session identifier, then "/<connection>/<milliseconds>".
// The connection index has one digit where a deadline follows, which fixes the second slash.
constexpr size_t PATH_ID_LENGTH = 36;
constexpr size_t PATH_DEADLINE_SLASH = 38;

constexpr std::string_view RESULTS_PATH = "results";

} // namespace

#if defined(VH_SCAN_AVX2)
// In request_avx2.cpp, compiled for processors with AVX2.
bool match_request_avx2(const char* data, size_t size, regmatch_t match[4], bool* blank_line);
#endif

bool match_request_scan(const char* data, size_t size, regmatch_t match[4], bool* blank_line,
                        bool portable) {
#if defined(VH_SCAN_AVX2)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul");
    if (avx2 && !portable)
        return match_request_avx2(data, size, match, blank_line);
#else
    (void)portable;
#endif
    return scan16::match_request(data, size, match, blank_line);
}

bool match_request_pattern(const char* data, size_t size, regmatch_t match[4]) {
    return match_request_scan(data, size, match, nullptr);
}

// Milliseconds of a query value as a normalised timespec. Division rather than a carry loop:
// the client picks the value, and a loop would spin once per second it names.
static timespec ms_to_timespec(unsigned long long ms) {
    // Unsigned multiplication wraps exactly as the signed 64-bit product would, without the
    // undefined behaviour of signed overflow for absurd values.
    const long nsec = static_cast<long>(ms * static_cast<unsigned long long>(NSEC_PER_MSEC));
    timespec ts;
    ts.tv_sec = nsec / NSEC_PER_SEC;
    ts.tv_nsec = nsec % NSEC_PER_SEC;
    if (ts.tv_nsec < 0) {
        ts.tv_nsec += NSEC_PER_SEC;
        ts.tv_sec -= 1;
    }
    return ts;
}

timespec transfer_deadline_after(const timespec& now, int ms) {
    timespec deadline;
    deadline.tv_sec = now.tv_sec + ms / 1000;
    deadline.tv_nsec = now.tv_nsec + static_cast<long>(ms % 1000) * NSEC_PER_MSEC;
    // A sum of exactly one second must carry as well: a tv_nsec of 1,000,000,000 is no valid
    // timespec (the kernel's timer calls refuse it), and every time of a test keeps its
    // nanoseconds below one second.
    if (deadline.tv_nsec >= NSEC_PER_SEC) {
        deadline.tv_nsec -= NSEC_PER_SEC;
        deadline.tv_sec += 1;
    }
    // A negative count ("-500") names an instant in the past; keep it a valid timespec.
    if (deadline.tv_nsec < 0) {
        deadline.tv_nsec += NSEC_PER_SEC;
        deadline.tv_sec -= 1;
    }
    return deadline;
}

// Throws std::invalid_argument or std::out_of_range when the text holds no int.
static timespec deadline_from_text(const std::string& ms_text) {
    const int ms = std::stoi(ms_text);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return transfer_deadline_after(now, ms);
}

// The received text with CR and LF spelled out, so a refused header stays on one log line, and
// with the value of every ACCESS_TOKEN= replaced by "<hidden>": a token is a credential while
// it lives, and log lines outlive it.
static std::string with_visible_line_ends(const char* data, size_t data_size) {
    std::string text(data, data_size);
    hide_access_tokens(&text);
    boost::algorithm::replace_all(text, "\r", "<CR>");
    boost::algorithm::replace_all(text, "\n", "<LF>");
    return text;
}

void hide_access_tokens(std::string* text) {
    static constexpr std::string_view KEY = "ACCESS_TOKEN=";
    static constexpr std::string_view HIDDEN = "<hidden>";
    for (size_t at = text->find(KEY); at != std::string::npos; at = text->find(KEY, at)) {
        at += KEY.size();
        size_t end = at;
        while (end < text->size() && (*text)[end] != '&' && (*text)[end] != ' ' &&
               (*text)[end] != '\r' && (*text)[end] != '\n')
            ++end;
        text->replace(at, end - at, HIDDEN);
        at += HIDDEN.size();
    }
}

// LATENCY_TEST= chooses the method of the whole session. The comparison may run past this
// parameter up to the end of the query, so only a value that is the last parameter can be a
// shortened form.
static int apply_latency_test(const char* value, const char* query_end, request_info* request) {
    const size_t available = static_cast<size_t>(query_end - value);
    if (memcmp(value, "POST", std::min<size_t>(available, 4)) == 0)
        request->method = POST;
    else if (memcmp(value, "GET", std::min<size_t>(available, 3)) == 0)
        request->method = GET;
    else
        return -1;
    request->latency_test = true;
    return 0;
}

namespace {

// Query values are letters and digits only (the pattern admits nothing else), and on such text
// the C library's scanf conversions "%u", "%lu", "%zu", "%llu" and "%d" read the leading digits
// as its strto* functions do: unsigned 64-bit, ULONG_MAX once the digits overflow it, then cut
// to the field's type ("%d" through long, so that an overflow gives LONG_MAX cut to int). Read
// here without a call per parameter, leading zeros skipped sixteen at a time, since the client
// may send thousands of them.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The first byte in [p, end) that is not "0", or end: 64 bytes a step while all are zeros.
const char* skip_zeros(const char* p, const char* end) {
    const vec zero = splat('0');
    constexpr uint32_t ALL = (uint64_t{1} << scan16::VEC) - 1;
    while (static_cast<size_t>(end - p) >= scan16::BLOCK) {
        vec all = ~vec{};
        for (size_t k = 0; k < scan16::PER_BLOCK; ++k)
            all &= scan16::load(p + k * scan16::VEC) == zero;
        if (scan16::bits_of(all) != ALL)
            break;
        p += scan16::BLOCK;
    }
    while (static_cast<size_t>(end - p) >= scan16::VEC) {
        const uint32_t zeros = scan16::bits_of(scan16::load(p) == zero);
        if (zeros != ALL)
            return p + std::countr_one(zeros);
        p += scan16::VEC;
    }
    while (p < end && *p == '0')
        ++p;
    return p;
}

bool leading_number(const char* value, const char* value_end, uint64_t* out, const char** rest) {
    if (!is_digit(*value))
        return false;
    const char* p = value;
    if (*p == '0')
        p = skip_zeros(p, value_end);
    uint64_t n = 0;
    for (; p < value_end && is_digit(*p); ++p) {
        if (__builtin_mul_overflow(n, 10u, &n) ||
            __builtin_add_overflow(n, static_cast<uint64_t>(*p - '0'), &n)) {
            n = ULONG_MAX;
            break;
        }
    }
    *out = n;
    *rest = p;
    return true;
}

bool convert_u32(const char* value, const char* value_end, unsigned* out, const char** rest) {
    uint64_t n;
    if (!leading_number(value, value_end, &n, rest))
        return false;
    *out = static_cast<unsigned>(n);
    return true;
}

bool convert_u64(const char* value, const char* value_end, uint64_t* out, const char** rest) {
    return leading_number(value, value_end, out, rest);
}

bool convert_int(const char* value, const char* value_end, int* out, const char** rest) {
    uint64_t n;
    if (!leading_number(value, value_end, &n, rest))
        return false;
    *out = static_cast<int>(std::min<uint64_t>(n, LONG_MAX));
    return true;
}

enum query_key : uint8_t {
    KEY_UNKNOWN,
    KEY_CONTROL,
    KEY_UNITID,
    KEY_SESSIONID,
    KEY_LATENCY_ID,
    KEY_NUM_CONNECTIONS,
    KEY_CONNECTION,
    KEY_AGGREGATE_WARMUP,
    KEY_RESULTS_INTERVAL_PERIOD,
    KEY_RESULT_NUM_INTERVALS,
    KEY_TEST_DATA_CAP,
    KEY_TRANSFER_MAX_SIZE,
    KEY_WARMUP_SAMPLE_TIME,
    KEY_NUM_WARMUP_SAMPLES,
    KEY_MAX_WARMUP_SIZE,
    KEY_MAX_WARMUP_SAMPLES,
    KEY_WARMUP_FAIL_ON_MAX,
    KEY_WARMUP_TOLERANCE,
    KEY_TRACE_INTERVAL,
    KEY_TCP_CONG,
    KEY_STORE_LOG,
    KEY_LATENCY_INTERVAL,
    KEY_LATENCY_TEST,
    KEY_ACCESS_TOKEN,
    KEY_COUNT,
};

// The key names (without their "="), indexed by query_key.
constexpr std::array<std::string_view, KEY_COUNT> KEY_NAMES = {
    "",
    "CONTROL",
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
    "LATENCY_TEST",
    "ACCESS_TOKEN",
};

// A perfect hash of the names on their length, first and last character: one slot and one
// comparison decide a key, where a walk through the names costs up to one comparison per name.
// The multipliers are the first pair that gives every name a slot of its own.
constexpr size_t KEY_SLOTS = 64;

constexpr size_t key_slot(size_t length, unsigned char first, unsigned char last, unsigned a,
                          unsigned b) {
    return (first * a + last * b + length) % KEY_SLOTS;
}

struct key_hash {
    unsigned a = 0, b = 0;
    std::array<query_key, KEY_SLOTS> slots{};
};

constexpr key_hash make_key_hash() {
    for (unsigned a = 1; a < KEY_SLOTS; ++a) {
        for (unsigned b = 1; b < KEY_SLOTS; ++b) {
            key_hash h{a, b, {}};
            bool collision = false;
            for (size_t k = 1; k < KEY_COUNT && !collision; ++k) {
                const std::string_view name = KEY_NAMES[k];
                const size_t slot = key_slot(name.size(), static_cast<unsigned char>(name.front()),
                                             static_cast<unsigned char>(name.back()), a, b);
                collision = h.slots[slot] != KEY_UNKNOWN;
                h.slots[slot] = static_cast<query_key>(k);
            }
            if (!collision)
                return h;
        }
    }
    throw "no perfect hash for the query keys";
}

constexpr key_hash KEY_HASH = make_key_hash();

constexpr size_t KEY_MIN_LENGTH =
    std::min_element(KEY_NAMES.begin() + 1, KEY_NAMES.end(),
                     [](std::string_view x, std::string_view y) { return x.size() < y.size(); })
        ->size();
constexpr size_t KEY_MAX_LENGTH =
    std::max_element(KEY_NAMES.begin() + 1, KEY_NAMES.end(),
                     [](std::string_view x, std::string_view y) { return x.size() < y.size(); })
        ->size();

template <class Word> Word load_word(const char* p) {
    Word word;
    memcpy(&word, p, sizeof word);
    return word;
}

// Whether the n bytes (at least 4) at a and b are equal, in words that overlap at the end rather
// than byte by byte or through a call.
bool same_bytes(const char* a, const char* b, size_t n) {
    if (n < 8)
        return load_word<uint32_t>(a) == load_word<uint32_t>(b) &&
               load_word<uint32_t>(a + n - 4) == load_word<uint32_t>(b + n - 4);
    for (size_t i = 0; i + 8 < n; i += 8) {
        if (load_word<uint64_t>(a + i) != load_word<uint64_t>(b + i))
            return false;
    }
    return load_word<uint64_t>(a + n - 8) == load_word<uint64_t>(b + n - 8);
}

static_assert(KEY_MIN_LENGTH >= 4);

// The key of a name the pattern has let through (upper-case letters and "_", not empty). Exact
// and case-sensitive: a name is known only when it equals one of the names whole.
query_key find_key(const char* name, size_t length) {
    if (length < KEY_MIN_LENGTH || length > KEY_MAX_LENGTH)
        return KEY_UNKNOWN;
    const query_key key =
        KEY_HASH
            .slots[key_slot(length, static_cast<unsigned char>(name[0]),
                            static_cast<unsigned char>(name[length - 1]), KEY_HASH.a, KEY_HASH.b)];
    const std::string_view candidate = KEY_NAMES[key];
    return candidate.size() == length && same_bytes(candidate.data(), name, length) ? key
                                                                                    : KEY_UNKNOWN;
}

} // namespace

// The first c in [p, end), or end. Names and values are short: look at their first bytes
// directly before paying for a call.
static const char* find_byte(const char* p, const char* end, char c) {
    const vec wanted = splat(c);
    for (size_t k = 0; k < 4 && static_cast<size_t>(end - p) >= scan16::VEC; ++k) {
        const uint32_t found = scan16::bits_of(scan16::load(p) == wanted);
        if (found != 0)
            return p + std::countr_zero(found);
        p += scan16::VEC;
    }
    if (static_cast<size_t>(end - p) < scan16::VEC) {
        while (p < end && *p != c)
            ++p;
        return p;
    }
    const void* found = memchr(p, c, static_cast<size_t>(end - p));
    return found != nullptr ? static_cast<const char*>(found) : end;
}

// A sampling period in milliseconds: 0 (none) or within the range that keeps the product with
// a million nanoseconds far from wrapping and a worker from sampling itself to death.
static bool sampling_interval_in_range(uint64_t ms) {
    return ms == 0 || (ms >= MIN_SAMPLING_INTERVAL_MS && ms <= MAX_SAMPLING_INTERVAL_MS);
}

// Records a session accumulates over its life time from one sampling timer of this period:
// one per connection and expiry, the first expiry included.
static uint64_t records_over_life_time(size_t num_conns, const timespec& interval) {
    const uint64_t ms = static_cast<uint64_t>(interval.tv_sec) * 1000 +
                        static_cast<uint64_t>(interval.tv_nsec) / NSEC_PER_MSEC;
    if (ms == 0)
        return 0;
    const uint64_t life_ms = static_cast<uint64_t>(std::max(session_timeout, 0)) * 1000;
    return static_cast<uint64_t>(num_conns) * (life_ms / ms + 1);
}

// The ranges of every number a parsed request carries (query and path alike), checked on the
// final values. False refuses the request.
static bool request_in_range(const request_info* request) {
    if (request->num_conns < 1 || request->num_conns > MAX_NUM_CONNECTIONS ||
        request->conn_id >= MAX_NUM_CONNECTIONS)
        return false;
    if (request->num_warmup_samples > MAX_SAMPLE_COUNT ||
        request->max_warmup_samples > MAX_SAMPLE_COUNT ||
        request->result_num_intervals > MAX_SAMPLE_COUNT)
        return false;
    if (request->warmup_sample_time > MAX_WARMUP_SAMPLE_TIME_MS ||
        request->results_interval_period > MAX_RESULTS_INTERVAL_PERIOD_S)
        return false;
    if (request->warmup_tolerance < 0 || request->warmup_tolerance > MAX_WARMUP_TOLERANCE)
        return false;
    // The sample slots of one connection, and of all of a session's connections.
    const size_t slots = request->max_warmup_samples + request->result_num_intervals;
    if (request->path_style ? slots > PATH_STYLE_SAMPLE_SLOTS
                            : request->num_conns * slots > SESSION_RECORD_BUDGET)
        return false;
    if (request->latency_test &&
        records_over_life_time(request->num_conns, request->latency_interval) >
            SESSION_RECORD_BUDGET)
        return false;
    return records_over_life_time(request->num_conns, request->trace_interval) <=
           SESSION_RECORD_BUDGET;
}

// Applies one query parameter. Numbers are read from the value's first character; the
// conversion stops by itself at the "&" that ends the value. *rest is left where reading the
// value stopped, so that the search for the "&" starts there.
static int apply_parameter(query_key key, const char* value, const char* query_end,
                           request_info* request, bool* controlled, const char** rest) {
    switch (key) {
    case KEY_UNKNOWN:
    case KEY_COUNT:
        break;
    case KEY_CONTROL:
        *controlled = true;
        break;
    case KEY_UNITID: {
        unsigned unit_id;
        if (!convert_u32(value, query_end, &unit_id, rest))
            return -1;
        request->unit_id = unit_id;
        request->session_id += static_cast<uint64_t>(unit_id) << 32;
        break;
    }
    case KEY_SESSIONID: {
        unsigned session_number;
        if (!convert_u32(value, query_end, &session_number, rest))
            return -1;
        request->session_id += session_number;
        break;
    }
    case KEY_LATENCY_ID:
        return convert_u64(value, query_end, &request->session_id, rest) ? 0 : -1;
    case KEY_NUM_CONNECTIONS:
        return convert_u64(value, query_end, &request->num_conns, rest) ? 0 : -1;
    case KEY_CONNECTION:
        return convert_u64(value, query_end, &request->conn_id, rest) ? 0 : -1;
    case KEY_AGGREGATE_WARMUP: {
        int flag;
        if (!convert_int(value, query_end, &flag, rest))
            return -1;
        request->aggregate_warmup = flag == 1;
        break;
    }
    case KEY_RESULTS_INTERVAL_PERIOD:
        return convert_u64(value, query_end, &request->results_interval_period, rest) ? 0 : -1;
    case KEY_RESULT_NUM_INTERVALS:
        return convert_u64(value, query_end, &request->result_num_intervals, rest) ? 0 : -1;
    case KEY_TEST_DATA_CAP:
        return convert_u64(value, query_end, &request->test_data_cap, rest) ? 0 : -1;
    case KEY_TRANSFER_MAX_SIZE:
        return convert_u64(value, query_end, &request->transfer_max_size, rest) ? 0 : -1;
    case KEY_WARMUP_SAMPLE_TIME:
        return convert_u64(value, query_end, &request->warmup_sample_time, rest) ? 0 : -1;
    case KEY_NUM_WARMUP_SAMPLES:
        return convert_u64(value, query_end, &request->num_warmup_samples, rest) ? 0 : -1;
    case KEY_MAX_WARMUP_SIZE:
        return convert_u64(value, query_end, &request->max_warmup_size, rest) ? 0 : -1;
    case KEY_MAX_WARMUP_SAMPLES:
        return convert_u64(value, query_end, &request->max_warmup_samples, rest) ? 0 : -1;
    case KEY_WARMUP_FAIL_ON_MAX: {
        int flag;
        if (!convert_int(value, query_end, &flag, rest))
            return -1;
        request->warmup_fail_on_max = flag == 1;
        break;
    }
    case KEY_WARMUP_TOLERANCE:
        return convert_int(value, query_end, &request->warmup_tolerance, rest) ? 0 : -1;
    case KEY_TRACE_INTERVAL: {
        uint64_t ms;
        if (!convert_u64(value, query_end, &ms, rest) || !sampling_interval_in_range(ms))
            return -1;
        request->trace_interval = ms_to_timespec(ms);
        break;
    }
    case KEY_TCP_CONG: {
        const char* value_end = find_byte(value, query_end, '&');
        *rest = value_end;
        const size_t length = static_cast<size_t>(value_end - value);
        if (length >= sizeof request->tcp_cong)
            return -1;
        // Values may hold "-", "_" and "." for the token's sake; an algorithm's name may not.
        for (const char* c = value; c < value_end; ++c) {
            if (*c == '-' || *c == '_' || *c == '.')
                return -1;
        }
        // Cleared whole so that a repeated, shorter name leaves no bytes of the earlier one:
        // sessions compare their parameters byte for byte.
        memset(request->tcp_cong, 0, sizeof request->tcp_cong);
        memcpy(request->tcp_cong, value, length);
        break;
    }
    case KEY_STORE_LOG: {
        int flag;
        if (!convert_int(value, query_end, &flag, rest))
            return -1;
        request->store_log = flag == 1;
        break;
    }
    case KEY_LATENCY_INTERVAL: {
        uint64_t ms;
        if (!convert_u64(value, query_end, &ms, rest) || !sampling_interval_in_range(ms))
            return -1;
        request->latency_interval = ms_to_timespec(ms);
        break;
    }
    case KEY_LATENCY_TEST:
        return apply_latency_test(value, query_end, request);
    case KEY_ACCESS_TOKEN:
        break; // read by read_query, which knows where the text starts
    }
    return 0;
}

// Notes where the value of ACCESS_TOKEN= lies in `text`; the token itself is checked later, by
// the caller, and a bad one is answered rather than dropped as a malformed request is.
static void note_token(const char* text, const char* value, const char* value_end,
                       request_info* request) {
    request->token_at = static_cast<uint32_t>(value - text);
    request->token_length = static_cast<uint32_t>(value_end - value);
}

// Walks the query (without its "?") of `text` in place, one "&"-separated parameter at a time.
// The pattern has made every parameter a non-empty name, "=" and a non-empty value.
// `token_only` reads ACCESS_TOKEN= alone (a PUT's query carries nothing else of ours).
static int read_query(const char* text, const char* query, const char* query_end,
                      request_info* request, bool* controlled, bool token_only) {
    const char* param = query;
    for (size_t count = 1;; ++count) {
        // Only the parameters we apply are bounded; finding a token costs what the text does.
        if (count > MAX_QUERY_PARAMETERS && !token_only)
            return -1;
        const char* equals = find_byte(param, query_end, '=');
        const query_key key = find_key(param, static_cast<size_t>(equals - param));
        const char* rest = equals + 1;
        if (key == KEY_ACCESS_TOKEN) {
            rest = find_byte(rest, query_end, '&');
            note_token(text, equals + 1, rest, request);
        } else if (key != KEY_UNKNOWN && !token_only &&
                   apply_parameter(key, equals + 1, query_end, request, controlled, &rest) < 0) {
            return -1;
        }
        const char* param_end = find_byte(rest, query_end, '&');
        if (param_end == query_end)
            return 0;
        param = param_end + 1;
    }
}

static int check_parameters(request_info* request, bool controlled) {
    if (request->latency_test) {
        if (request->latency_interval.tv_sec == 0 && request->latency_interval.tv_nsec == 0)
            return -1;
        if (request->session_id < EXTENDED_SESSION_MIN)
            return -1;
    }
    if (!controlled) {
        // Without CONTROL= the connection is a session of its own, whatever the query claims.
        request->num_conns = 1;
        request->conn_id = 0;
        return 0;
    }
    if (request->num_conns == 0 || request->conn_id >= request->num_conns)
        return -1;
    if (request->session_id <= EXTENDED_SESSION_MIN)
        return -1;
    if (request->method == POST) {
        // Written with the unsigned wrap so that a zero sample count can never pass.
        if (request->num_warmup_samples == 0 ||
            request->max_warmup_samples <= request->num_warmup_samples - 1)
            return -1;
        if (request->warmup_sample_time == 0 || request->result_num_intervals == 0 ||
            request->results_interval_period == 0)
            return -1;
    }
    return 0;
}

// The numbers a path may carry. Throws std::invalid_argument or std::out_of_range on a
// conversion error, leaving whatever was set before it.
static void read_path_numbers(const std::string& path, request_info* request) {
    const bool has_deadline = path.size() > PATH_DEADLINE_SLASH && path[PATH_DEADLINE_SLASH] == '/';
    if (request->method == GET) {
        if (has_deadline)
            request->transfer_deadline = deadline_from_text(path.substr(PATH_DEADLINE_SLASH + 1));
        return;
    }
    if (path.size() <= PATH_ID_LENGTH || path[PATH_ID_LENGTH] != '/')
        return;
    const std::string rest = path.substr(PATH_ID_LENGTH + 1);
    const char first = rest.at(0);
    if (first >= '0' && first <= '9') {
        request->conn_id = static_cast<size_t>(std::stoi(rest));
        request->session_id = session_id_str_to_uint64(path);
    }
    if (has_deadline)
        request->transfer_deadline = deadline_from_text(path.substr(PATH_DEADLINE_SLASH + 1));
}

// A long path: a GET may name a transfer deadline; a POST is a path-style upload.
static void read_long_path(const std::string& path, request_info* request) {
    if (request->method != GET && request->method != POST)
        return;
    try {
        read_path_numbers(path, request);
    } catch (const std::logic_error& e) {
        // A bad number costs the client its path values, not its connection. The path may
        // hold line ends: spelled out, it cannot add lines of its own to the output.
        // Any client can send such paths at will: a few lines pass, the rest are counted.
        static log_limiter limiter;
        uint64_t held_back = 0;
        if (log_limit_pass(&limiter, log_limit_now_ns(), &held_back)) {
            printf("Path [%s] parse error: %s\n",
                   with_visible_line_ends(path.data(), path.size()).c_str(), e.what());
            if (held_back > 0)
                printf("\u2026 %lu more suppressed (path parse error)\n",
                       static_cast<unsigned long>(held_back));
            fflush(stdout);
        }
    }
    if (request->method == POST) {
        if (request->max_warmup_samples == 0) {
            request->max_warmup_samples = 10;
            request->result_num_intervals = 6;
            request->num_conns = 5;
        }
        request->path_style = true;
    }
}

int parse_request(const char* data, size_t data_size, request_info* request) {
    assert(data != NULL && data_size > 0 && data[data_size] == 0 && request != NULL);
    memset(request, 0, sizeof *request);
    request->max_warmup_size = UINT64_MAX;
    request->transfer_max_size = UINT64_MAX;
    request->test_data_cap = UINT64_MAX;

    if (data_size < 4) {
        VH_DEBUG(9, LOG_DEBUG, "%ld: Header parsing not complete - size is less than 4",
                 thread_tag());
        return -2;
    }
    regmatch_t match[MATCH_COUNT];
    bool complete;
    const bool matched = match_request_scan(data, data_size, match, &complete);
    if (!complete) {
        VH_DEBUG(9, LOG_DEBUG, "%ld: Header parsing not complete - doesn't contain double CRLF",
                 thread_tag());
        return -2;
    }
    if (!matched) {
        VH_DEBUG(9, LOG_DEBUG, "%ld: Request doesn't match our regex: %s", thread_tag(),
                 with_visible_line_ends(data, data_size).c_str());
        return -1;
    }

    if (strncmp(data, "GET ", 4) == 0)
        request->method = GET;
    else if (strncmp(data, "POST ", 5) == 0)
        request->method = POST;
    else if (strncmp(data, "PUT ", 4) == 0)
        request->method = PUT;
    else if (strncmp(data, "HEAD ", 5) == 0)
        request->method = HEAD;
    const int header_length = static_cast<int>(match[0].rm_eo);

    const regmatch_t& path_match = match[MATCH_PATH];
    const bool has_path = path_match.rm_so >= 0;
    const regmatch_t& query_match = match[MATCH_QUERY];
    if (request->method == PUT) {
        // A PUT's query is read for its token only, and before the path is taken, so that a
        // refused query leaves nothing to release.
        bool ignored = false;
        if (query_match.rm_so >= 0 &&
            read_query(data, data + query_match.rm_so + 1, data + query_match.rm_eo, request,
                       &ignored, true) < 0)
            return -1;
        request->put_path = has_path ? g_string_new_len(data + path_match.rm_so,
                                                        path_match.rm_eo - path_match.rm_so)
                                     : g_string_new("");
        return header_length;
    }
    std::string path;
    if (has_path)
        path.assign(data + path_match.rm_so,
                    static_cast<size_t>(path_match.rm_eo - path_match.rm_so));
    else
        request->no_path = true;

    if (query_match.rm_so < 0) {
        request->num_conns = 1;
        request->conn_id = 0;
    } else {
        bool controlled = false;
        if (read_query(data, data + query_match.rm_so + 1, data + query_match.rm_eo, request,
                       &controlled, false) < 0)
            return -1;
        if (check_parameters(request, controlled) < 0)
            return -1;
    }

    // The latency statistics request uses this path and has a parser of its own.
    if (path == RESULTS_PATH)
        return -1;
    if (path.size() >= PATH_ID_LENGTH)
        read_long_path(path, request);
    if (!request_in_range(request)) {
        VH_DEBUG(9, LOG_DEBUG, "%ld: Request parameters out of range", thread_tag());
        return -1;
    }
    return header_length;
}

std::span<const std::string_view> query_key_names() {
    return std::span<const std::string_view>(KEY_NAMES).subspan(1);
}

uint64_t session_id_str_to_uint64(std::string request_path) {
    assert(request_path.size() >= 36);
    uint64_t id = 0;
    // The shift follows every addition, so the first character ends up shifted out.
    for (size_t i = 0; i < 8; ++i) {
        id += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(request_path[i])));
        id <<= 8;
    }
    return id;
}

latency_request_result parse_latency_request(const char* data, size_t data_size,
                                             bool latency_session) {
    assert(data != NULL && data_size > 0 && data[data_size] == 0 && latency_session);
    if (data_size < 4)
        return LATENCY_REQUEST_INCOMPLETE;
    if (memcmp(data + data_size - 4, "\r\n\r\n", 4) != 0)
        return data_size <= 16383 ? LATENCY_REQUEST_INCOMPLETE : LATENCY_REQUEST_TOO_BIG;
    regmatch_t match[MATCH_COUNT];
    if (!match_request_pattern(data, data_size, match))
        return LATENCY_REQUEST_INVALID;
    if (strncmp(data, "GET ", 4) != 0)
        return LATENCY_REQUEST_INVALID;
    const regmatch_t& path_match = match[MATCH_PATH];
    if (path_match.rm_so < 0)
        return LATENCY_REQUEST_INVALID;
    std::string_view path(data + path_match.rm_so,
                          static_cast<size_t>(path_match.rm_eo - path_match.rm_so));
    return path == RESULTS_PATH ? LATENCY_REQUEST_COMPLETE : LATENCY_REQUEST_INVALID;
}
