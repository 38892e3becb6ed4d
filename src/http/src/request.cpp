// Request parsing: the request pattern, the query's test parameters and the path-style upload form.
#include "request.h"

#include "settings.h"

#include <algorithm>
#include <boost/algorithm/string/replace.hpp>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

const char* const REQUEST_PATTERN =
    "^(GET|POST|PUT|HEAD) /([^? ]+)?(\\?(([A-Z_]+=[[:alnum:]]+&)+)?[A-Z_]+=[[:alnum:]]+)? "
    "HTTP/[[:digit:]]+\\.[[:digit:]]+ ?\r\n([[:print:]]+:[[:print:]]+\r\n)*(\r\n)*$";

thread_local regex_t request_regex;

namespace {

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

// Applies one query parameter. Numbers are read from the value's first character; the
// conversion stops by itself at the "&" or space that ends the value.
static int apply_parameter(std::string_view key, const char* value, const char* value_end,
                           const char* query_end, request_info* request, bool* controlled) {
    if (key == "CONTROL=") {
        *controlled = true;
    } else if (key == "UNITID=") {
        unsigned unit_id;
        if (sscanf(value, "%u", &unit_id) != 1)
            return -1;
        request->unit_id = unit_id;
        request->session_id += static_cast<uint64_t>(unit_id) << 32;
    } else if (key == "SESSIONID=") {
        unsigned session_number;
        if (sscanf(value, "%u", &session_number) != 1)
            return -1;
        request->session_id += session_number;
    } else if (key == "LATENCY_ID=") {
        if (sscanf(value, "%lu", &request->session_id) != 1)
            return -1;
    } else if (key == "NUM_CONNECTIONS=") {
        if (sscanf(value, "%zu", &request->num_conns) != 1)
            return -1;
    } else if (key == "CONNECTION=") {
        if (sscanf(value, "%zu", &request->conn_id) != 1)
            return -1;
    } else if (key == "AGGREGATE_WARMUP=") {
        int flag;
        if (sscanf(value, "%d", &flag) != 1)
            return -1;
        request->aggregate_warmup = flag == 1;
    } else if (key == "RESULTS_INTERVAL_PERIOD=") {
        if (sscanf(value, "%zu", &request->results_interval_period) != 1)
            return -1;
    } else if (key == "RESULT_NUM_INTERVALS=") {
        if (sscanf(value, "%zu", &request->result_num_intervals) != 1)
            return -1;
    } else if (key == "TEST_DATA_CAP=") {
        if (sscanf(value, "%lu", &request->test_data_cap) != 1)
            return -1;
    } else if (key == "TRANSFER_MAX_SIZE=") {
        if (sscanf(value, "%lu", &request->transfer_max_size) != 1)
            return -1;
    } else if (key == "WARMUP_SAMPLE_TIME=") {
        if (sscanf(value, "%zu", &request->warmup_sample_time) != 1)
            return -1;
    } else if (key == "NUM_WARMUP_SAMPLES=") {
        if (sscanf(value, "%zu", &request->num_warmup_samples) != 1)
            return -1;
    } else if (key == "MAX_WARMUP_SIZE=") {
        if (sscanf(value, "%lu", &request->max_warmup_size) != 1)
            return -1;
    } else if (key == "MAX_WARMUP_SAMPLES=") {
        if (sscanf(value, "%zu", &request->max_warmup_samples) != 1)
            return -1;
    } else if (key == "WARMUP_FAIL_ON_MAX=") {
        int flag;
        if (sscanf(value, "%d", &flag) != 1)
            return -1;
        request->warmup_fail_on_max = flag == 1;
    } else if (key == "WARMUP_TOLERANCE=") {
        int tolerance;
        if (sscanf(value, "%d", &tolerance) != 1)
            return -1;
        request->warmup_tolerance = tolerance;
    } else if (key == "TRACE_INTERVAL=") {
        unsigned long long ms;
        if (sscanf(value, "%llu", &ms) != 1)
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
        if (sscanf(value, "%d", &flag) != 1)
            return -1;
        request->store_log = flag == 1;
    } else if (key == "LATENCY_INTERVAL=") {
        unsigned long ms;
        if (sscanf(value, "%lu", &ms) != 1)
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
    if (std::string_view(data, data_size).find("\r\n\r\n") == std::string_view::npos) {
        VH_DEBUG(9, LOG_DEBUG, "%ld: Header parsing not complete - doesn't contain double CRLF",
                 thread_tag());
        return -2;
    }
    regmatch_t match[MATCH_COUNT];
    if (regexec(&request_regex, data, MATCH_COUNT, match, 0) != 0) {
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
    if (regexec(&request_regex, data, MATCH_COUNT, match, 0) != 0)
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
