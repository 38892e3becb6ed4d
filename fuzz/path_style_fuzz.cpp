// Fuzz target: the path of a request line (path-style uploads, download deadlines).
// The first input byte picks the method and a query; the rest becomes the path, with
// the three bytes that cannot occur in one (space, "?" and NUL) replaced.
#include "fuzz_support.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vh_fuzz::init_parser();
    return 0;
}

static const char* const QUERIES[] = {
    "",
    "?MAX_WARMUP_SAMPLES=3",
    "?UNITID=1&SESSIONID=2",
    ("?CONTROL=1&UNITID=1&NUM_CONNECTIONS=2&CONNECTION=1&WARMUP_SAMPLE_TIME=100&"
     "NUM_WARMUP_SAMPLES=2&MAX_WARMUP_SAMPLES=4&RESULT_NUM_INTERVALS=2&RESULTS_INTERVAL_PERIOD=1"),
};

// The session id of a path, computed independently: characters 1 to 7 as the bytes of
// the result from the highest down, the first shifted out, signed characters borrowing.
static uint64_t expected_session_id(const std::string& path) {
    uint64_t id = 0;
    for (size_t i = 0; i < 8; i++) {
        auto c = static_cast<int8_t>(path[i]);
        id = (id + static_cast<uint64_t>(static_cast<int64_t>(c))) * 256u;
    }
    return id;
}

// True when the text at `pos` starts with a decimal number that an int holds.
static bool fits_int_digits(const std::string& text, size_t pos) {
    long long value = 0;
    size_t i = pos;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            return false;
    }
    return i > pos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > vh_fuzz::MAX_TEXT)
        return 0;
    const bool post = (data[0] & 1) != 0;
    const char* query = QUERIES[(data[0] >> 1) % (sizeof(QUERIES) / sizeof(QUERIES[0]))];
    std::string path(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (char& c : path)
        if (c == ' ' || c == '?' || c == '\0')
            c = '_';
    if (path.size() >= 36)
        VH_FUZZ_CHECK(session_id_str_to_uint64(path) == expected_session_id(path));

    std::string text = std::string(post ? "POST /" : "GET /") + path + query + " HTTP/1.1\r\n\r\n";
    request_info request;
    int result = parse_request(text.c_str(), text.size(), &request);
    if (result < 0) {
        VH_FUZZ_CHECK(request.put_path == nullptr);
        return 0;
    }
    vh_fuzz::check_parsed(request, result, text.c_str(), text.size());
    VH_FUZZ_CHECK(request.method == (post ? POST : GET));
    VH_FUZZ_CHECK(request.transfer_deadline.tv_nsec >= 0 &&
                  request.transfer_deadline.tv_nsec < 1000000000);
    // Only a POST of at least 36 characters is a path-style upload.
    VH_FUZZ_CHECK(request.path_style == (post && path.size() >= 36));
    const bool names_connection =
        post && path.size() > 37 && path[36] == '/' && fits_int_digits(path, 37);
    if (names_connection) {
        VH_FUZZ_CHECK(request.session_id == expected_session_id(path));
    } else if (query[0] == '\0') {
        // Nothing else names a session: it is left to the connection.
        VH_FUZZ_CHECK(request.session_id == 0 && request.conn_id == 0);
    }
    if (request.path_style)
        VH_FUZZ_CHECK(request.max_warmup_samples != 0 && request.num_conns != 0);
    return 0;
}
