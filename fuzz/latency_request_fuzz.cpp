// Fuzz target: parse_latency_request on arbitrary bytes, as the text collected on a
// latency control connection.
#include "handlers.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vh_fuzz::init_parser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > vh_fuzz::MAX_TEXT)
        return 0;
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    latency_request_result result = parse_latency_request(text.data(), size, true);
    bool ends_blank = size >= 4 && memcmp(text.data() + size - 4, "\r\n\r\n", 4) == 0;
    switch (result) {
    case LATENCY_REQUEST_COMPLETE:
        VH_FUZZ_CHECK(ends_blank);
        VH_FUZZ_CHECK(size >= 13 && memcmp(text.data(), "GET /results", 12) == 0);
        VH_FUZZ_CHECK(text[12] == '?' || text[12] == ' ');
        break;
    case LATENCY_REQUEST_INCOMPLETE:
        // Waiting is bounded: beyond the limit an unfinished text is refused.
        VH_FUZZ_CHECK(!ends_blank && size <= HEADER_LIMIT);
        break;
    case LATENCY_REQUEST_TOO_BIG:
        VH_FUZZ_CHECK(!ends_blank && size > HEADER_LIMIT);
        break;
    case LATENCY_REQUEST_INVALID:
        VH_FUZZ_CHECK(ends_blank);
        break;
    default:
        VH_FUZZ_CHECK(!"unknown result");
    }
    return 0;
}
