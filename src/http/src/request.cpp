// Request parsing: the request pattern, the query's test parameters and the path-style upload form.
#include "request.h"

#include "settings.h"

#include <algorithm>
#include <array>
#include <bit>
#include <boost/algorithm/string/replace.hpp>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

const char* const REQUEST_PATTERN =
    "^(GET|POST|PUT|HEAD) /([^? ]+)?(\\?(([A-Z_]+=[[:alnum:]]+&)+)?[A-Z_]+=[[:alnum:]]+)? "
    "HTTP/[[:digit:]]+\\.[[:digit:]]+ ?\r\n([[:print:]]+:[[:print:]]+\r\n)*(\r\n)*$";

namespace {

// The pattern's character classes as the C locale defines them: the server never leaves that
// locale, and the <cctype> functions would follow any other one. NUL is in none of them.
enum : uint8_t {
    CLASS_PRINT = 1, // [[:print:]]
    CLASS_DIGIT = 2, // [[:digit:]]
    CLASS_ALNUM = 4, // [[:alnum:]]
    CLASS_KEY = 8,   // [A-Z_]
};

constexpr std::array<uint8_t, 256> BYTE_CLASSES = [] {
    std::array<uint8_t, 256> classes{};
    for (int c = 0x20; c <= 0x7E; ++c)
        classes[c] |= CLASS_PRINT;
    for (int c = '0'; c <= '9'; ++c)
        classes[c] |= CLASS_DIGIT | CLASS_ALNUM;
    for (int c = 'A'; c <= 'Z'; ++c) {
        classes[c] |= CLASS_ALNUM | CLASS_KEY;
        classes[c - 'A' + 'a'] |= CLASS_ALNUM;
    }
    classes['_'] |= CLASS_KEY;
    return classes;
}();

// Eight bytes at a time for the runs a client can make long (the path and header lines). Each
// test below flags a byte in its high bit and works without a carry or borrow reaching the next
// byte, so the flags are exact and the first one marks the first byte that ends the run.
constexpr uint64_t ONES = 0x0101010101010101;
constexpr uint64_t HIGHS = 0x8080808080808080;
static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

uint64_t load_word(const char* p) {
    uint64_t word;
    memcpy(&word, p, sizeof word);
    return word;
}

// Offset of the first flagged byte in memory order; flags must not be zero.
size_t first_flagged(uint64_t flags) {
    const int bit = std::endian::native == std::endian::little ? std::countr_zero(flags)
                                                               : std::countl_zero(flags);
    return static_cast<size_t>(bit) / 8;
}

uint64_t bytes_equal_to(uint64_t word, unsigned char byte) {
    const uint64_t x = word ^ (ONES * byte);
    return ~(((x & ~HIGHS) + ~HIGHS) | x) & HIGHS;
}

// Bytes outside 0x20..0x7E: the high bit set, 0x7F, or below 0x20.
uint64_t unprintable_bytes(uint64_t word) {
    const uint64_t low = word & ~HIGHS;
    return (word | (low + ONES) | ~((low | HIGHS) - 0x20 * ONES)) & HIGHS;
}

// A cursor over the text up to its first NUL, where the regex engine would stop. peek() gives
// NUL at the end, which no byte before it can be, so every class test fails there by itself.
struct scanner {
    const char* text;
    size_t end;
    size_t at = 0;

    unsigned char peek() const {
        return at < end ? static_cast<unsigned char>(text[at]) : 0;
    }
    bool accept(char c) {
        if (at >= end || text[at] != c)
            return false;
        ++at;
        return true;
    }
    bool literal(std::string_view s) {
        if (end - at < s.size() || memcmp(text + at, s.data(), s.size()) != 0)
            return false;
        at += s.size();
        return true;
    }
    bool crlf() {
        if (end - at < 2 || text[at] != '\r' || text[at + 1] != '\n')
            return false;
        at += 2;
        return true;
    }
    // Consumes the longest run of bytes in the class and returns its length.
    size_t skip(uint8_t byte_class) {
        const size_t start = at;
        while ((BYTE_CLASSES[peek()] & byte_class) != 0)
            ++at;
        return at - start;
    }
    size_t skip_printable() {
        const size_t start = at;
        for (; end - at >= sizeof(uint64_t); at += sizeof(uint64_t)) {
            const uint64_t stops = unprintable_bytes(load_word(text + at));
            if (stops != 0) {
                at += first_flagged(stops);
                return at - start;
            }
        }
        skip(CLASS_PRINT);
        return at - start;
    }
    // The path: any byte but "?" and " " (NUL cannot occur before the end).
    size_t skip_path() {
        const size_t start = at;
        for (; end - at >= sizeof(uint64_t); at += sizeof(uint64_t)) {
            const uint64_t word = load_word(text + at);
            const uint64_t stops = bytes_equal_to(word, '?') | bytes_equal_to(word, ' ');
            if (stops != 0) {
                at += first_flagged(stops);
                return at - start;
            }
        }
        while (peek() != 0 && peek() != '?' && peek() != ' ')
            ++at;
        return at - start;
    }
    // Whether only CRLF pairs remain.
    bool only_line_ends_left() const {
        if ((end - at) % 2 != 0)
            return false;
        size_t i = at;
        for (; end - i >= sizeof(uint64_t); i += sizeof(uint64_t)) {
            if (memcmp(text + i, "\r\n\r\n\r\n\r\n", sizeof(uint64_t)) != 0)
                return false;
        }
        for (; i < end; i += 2) {
            if (text[i] != '\r' || text[i + 1] != '\n')
                return false;
        }
        return true;
    }
};

// Whether a colon lies in [p, p + n). Header names are short: look at the first bytes
// directly before paying for a call.
bool has_colon(const char* p, size_t n) {
    constexpr size_t NEAR = 16;
    for (size_t i = 0; i < n && i < NEAR; ++i) {
        if (p[i] == ':')
            return true;
    }
    return n > NEAR && memchr(p + NEAR, ':', n - NEAR) != nullptr;
}

void set_match(regmatch_t* m, size_t start, size_t end) {
    m->rm_so = static_cast<regoff_t>(start);
    m->rm_eo = static_cast<regoff_t>(end);
}

void clear_match(regmatch_t* m) {
    m->rm_so = -1;
    m->rm_eo = -1;
}

constexpr long NSEC_PER_SEC = 1000000000;
constexpr long NSEC_PER_MSEC = 1000000;

// Sub-matches of REQUEST_PATTERN: whole header, method, path, query with its "?".
constexpr size_t MATCH_COUNT = 4;
constexpr size_t MATCH_PATH = 2;
constexpr size_t MATCH_QUERY = 3;

// A path-style path: a 36-character session identifier, then "/<connection>/<milliseconds>".
// The connection index has one digit where a deadline follows, which fixes the second slash.
constexpr size_t PATH_ID_LENGTH = 36;
constexpr size_t PATH_DEADLINE_SLASH = 38;

constexpr std::string_view RESULTS_PATH = "results";

} // namespace

// Every part of the pattern is followed by a byte it cannot contain itself (the path by "?" or
// " ", a key by "=", a value by "&" or " ", a header line by CR), so each part is the longest run
// of its class and the whole text splits one way only: a single pass decides the match and
// fixes every sub-match, where the regex engine's sub-match search costs far more per byte on
// long runs of colons or many short lines.
bool match_request_pattern(const char* data, size_t size, regmatch_t match[4]) {
    scanner in{data, strnlen(data, size)};

    // No method is a prefix of another, so at most one of them can be followed by " /".
    size_t method_length = 0;
    for (const std::string_view method : {"GET", "POST", "PUT", "HEAD"}) {
        if (in.literal(method)) {
            method_length = method.size();
            break;
        }
    }
    if (method_length == 0 || !in.literal(" /"))
        return false;

    // The path takes CR, LF and bytes above 0x7E as well; when it is empty its optional group
    // takes no part in the match.
    const size_t path_start = in.at;
    if (in.skip_path() > 0)
        set_match(&match[MATCH_PATH], path_start, in.at);
    else
        clear_match(&match[MATCH_PATH]);

    // A "?" can only open the query: nothing else in the pattern may follow the path with it.
    if (in.peek() == '?') {
        const size_t query_start = in.at++;
        do {
            if (in.skip(CLASS_KEY) == 0 || !in.accept('=') || in.skip(CLASS_ALNUM) == 0)
                return false;
        } while (in.accept('&'));
        set_match(&match[MATCH_QUERY], query_start, in.at);
    } else {
        clear_match(&match[MATCH_QUERY]);
    }

    if (!in.literal(" HTTP/") || in.skip(CLASS_DIGIT) == 0 || !in.accept('.') ||
        in.skip(CLASS_DIGIT) == 0)
        return false;
    in.accept(' ');
    if (!in.crlf())
        return false;

    // Header lines, then empty lines, up to the end of the text. A header line needs a colon
    // with at least one printable byte on either side; which colon divides it does not matter.
    while (in.at < in.end) {
        const size_t line_start = in.at;
        const size_t length = in.skip_printable();
        if (!in.crlf())
            return false;
        if (length == 0) {
            if (!in.only_line_ends_left())
                return false;
            break;
        }
        if (length < 3 || !has_colon(data + line_start + 1, length - 2))
            return false;
    }

    set_match(&match[0], 0, in.end);
    set_match(&match[1], 0, method_length);
    return true;
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

// The received text with CR and LF spelled out, so a refused header stays on one log line.
static std::string with_visible_line_ends(const char* data, size_t data_size) {
    std::string text(data, data_size);
    boost::algorithm::replace_all(text, "\r", "<CR>");
    boost::algorithm::replace_all(text, "\n", "<LF>");
    return text;
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

// Query values are letters and digits only (the pattern admits nothing else), and on
// such text the C library's scanf conversions "%u", "%lu", "%zu", "%llu" and "%d" give
// exactly what its strto* functions give on the leading digits, overflow included:
// the same results at a fraction of the cost, which matters for a query of thousands
// of parameters. Each returns false when the value does not start with a digit.
static bool convert_u32(const char* value, unsigned* out) {
    char* end;
    *out = static_cast<unsigned>(strtoul(value, &end, 10));
    return end != value;
}

static bool convert_u64(const char* value, unsigned long* out) {
    char* end;
    *out = strtoul(value, &end, 10);
    return end != value;
}

static bool convert_size(const char* value, size_t* out) {
    char* end;
    *out = strtoul(value, &end, 10);
    return end != value;
}

static bool convert_int(const char* value, int* out) {
    char* end;
    *out = static_cast<int>(strtol(value, &end, 10));
    return end != value;
}

// Applies one query parameter. Numbers are read from the value's first character; the
// conversion stops by itself at the "&" or space that ends the value.
static int apply_parameter(std::string_view key, const char* value, const char* value_end,
                           const char* query_end, request_info* request, bool* controlled) {
    if (key == "CONTROL=") {
        *controlled = true;
    } else if (key == "UNITID=") {
        unsigned unit_id;
        if (!convert_u32(value, &unit_id))
            return -1;
        request->unit_id = unit_id;
        request->session_id += static_cast<uint64_t>(unit_id) << 32;
    } else if (key == "SESSIONID=") {
        unsigned session_number;
        if (!convert_u32(value, &session_number))
            return -1;
        request->session_id += session_number;
    } else if (key == "LATENCY_ID=") {
        if (!convert_u64(value, &request->session_id))
            return -1;
    } else if (key == "NUM_CONNECTIONS=") {
        if (!convert_size(value, &request->num_conns))
            return -1;
    } else if (key == "CONNECTION=") {
        if (!convert_size(value, &request->conn_id))
            return -1;
    } else if (key == "AGGREGATE_WARMUP=") {
        int flag;
        if (!convert_int(value, &flag))
            return -1;
        request->aggregate_warmup = flag == 1;
    } else if (key == "RESULTS_INTERVAL_PERIOD=") {
        if (!convert_size(value, &request->results_interval_period))
            return -1;
    } else if (key == "RESULT_NUM_INTERVALS=") {
        if (!convert_size(value, &request->result_num_intervals))
            return -1;
    } else if (key == "TEST_DATA_CAP=") {
        if (!convert_u64(value, &request->test_data_cap))
            return -1;
    } else if (key == "TRANSFER_MAX_SIZE=") {
        if (!convert_u64(value, &request->transfer_max_size))
            return -1;
    } else if (key == "WARMUP_SAMPLE_TIME=") {
        if (!convert_size(value, &request->warmup_sample_time))
            return -1;
    } else if (key == "NUM_WARMUP_SAMPLES=") {
        if (!convert_size(value, &request->num_warmup_samples))
            return -1;
    } else if (key == "MAX_WARMUP_SIZE=") {
        if (!convert_u64(value, &request->max_warmup_size))
            return -1;
    } else if (key == "MAX_WARMUP_SAMPLES=") {
        if (!convert_size(value, &request->max_warmup_samples))
            return -1;
    } else if (key == "WARMUP_FAIL_ON_MAX=") {
        int flag;
        if (!convert_int(value, &flag))
            return -1;
        request->warmup_fail_on_max = flag == 1;
    } else if (key == "WARMUP_TOLERANCE=") {
        int tolerance;
        if (!convert_int(value, &tolerance))
            return -1;
        request->warmup_tolerance = tolerance;
    } else if (key == "TRACE_INTERVAL=") {
        unsigned long ms;
        if (!convert_u64(value, &ms))
            return -1;
        request->trace_interval = ms_to_timespec(ms);
    } else if (key == "TCP_CONG=") {
        const size_t length = static_cast<size_t>(value_end - value);
        if (length >= sizeof request->tcp_cong)
            return -1;
        // Cleared whole so that a repeated, shorter name leaves no bytes of the earlier one:
        // sessions compare their parameters byte for byte.
        memset(request->tcp_cong, 0, sizeof request->tcp_cong);
        memcpy(request->tcp_cong, value, length);
    } else if (key == "STORE_LOG=") {
        int flag;
        if (!convert_int(value, &flag))
            return -1;
        request->store_log = flag == 1;
    } else if (key == "LATENCY_INTERVAL=") {
        unsigned long ms;
        if (!convert_u64(value, &ms))
            return -1;
        request->latency_interval = ms_to_timespec(ms);
    } else if (key == "LATENCY_TEST=") {
        return apply_latency_test(value, query_end, request);
    }
    return 0;
}

// Walks the query (without its "?") in place, one "&"-separated parameter at a time.
static int read_query(const char* query, const char* query_end, request_info* request,
                      bool* controlled) {
    const char* param = query;
    for (;;) {
        const char* amp =
            static_cast<const char*>(memchr(param, '&', static_cast<size_t>(query_end - param)));
        const char* param_end = amp != nullptr ? amp : query_end;
        // A "=" in last place would leave an empty value, so the last character is not searched.
        const size_t length = static_cast<size_t>(param_end - param);
        const char* equals =
            length > 1 ? static_cast<const char*>(memchr(param, '=', length - 1)) : nullptr;
        if (equals == nullptr)
            return -1;
        const std::string_view key(param, static_cast<size_t>(equals + 1 - param));
        if (apply_parameter(key, equals + 1, param_end, query_end, request, controlled) < 0)
            return -1;
        if (amp == nullptr)
            return 0;
        param = amp + 1;
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
        // A bad number costs the client its path values, not its connection.
        printf("Path [%s] parse error: %s\n", path.c_str(), e.what());
        fflush(stdout);
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
    // memmem rather than a search for CR and a comparison at each one: a text of many CRs
    // without the final empty line would cost one call per CR, on every read of the header.
    if (memmem(data, data_size, "\r\n\r\n", 4) == nullptr) {
        VH_DEBUG(9, LOG_DEBUG, "%ld: Header parsing not complete - doesn't contain double CRLF",
                 thread_tag());
        return -2;
    }
    regmatch_t match[MATCH_COUNT];
    if (!match_request_pattern(data, data_size, match)) {
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
    if (request->method == PUT) {
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

    const regmatch_t& query_match = match[MATCH_QUERY];
    if (query_match.rm_so < 0) {
        request->num_conns = 1;
        request->conn_id = 0;
    } else {
        bool controlled = false;
        if (read_query(data + query_match.rm_so + 1, data + query_match.rm_eo, request,
                       &controlled) < 0)
            return -1;
        if (check_parameters(request, controlled) < 0)
            return -1;
    }

    // The latency statistics request uses this path and has a parser of its own.
    if (path == RESULTS_PATH)
        return -1;
    if (path.size() >= PATH_ID_LENGTH)
        read_long_path(path, request);
    return header_length;
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
