// Fuzz target: parse_request on arbitrary bytes, as one whole received header.
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
    // The parser needs a NUL after the text, as the receive buffer provides.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    request_info request;
    int result = parse_request(text.data(), size, &request);
    if (result == -1 || result == -2) {
        // Only a successful PUT hands memory to the caller.
        VH_FUZZ_CHECK(request.put_path == nullptr);
        return 0;
    }
    vh_fuzz::check_parsed(request, result, text.data(), size);
    vh_fuzz::release(request);
    return 0;
}
