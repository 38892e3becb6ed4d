// Fuzz target: the hand-written request matcher against the regex engine on arbitrary bytes.
// Both must give the same verdict and, on a match, the same four sub-matches; and the matcher's
// answer to whether CR LF CR LF occurs must be a plain search's. Both variants of the matcher
// (32-byte vectors where the processor has them, and the portable one) are checked. Links with
// the server library like the other targets; the reference pattern is compiled here.
#include "request.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

regex_t reference;

[[noreturn]] void disagreement(const char* what, size_t size) {
    fprintf(stderr, "matcher and regex disagree: %s (input of %zu bytes)\n", what, size);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (regcomp(&reference, REQUEST_PATTERN, REG_EXTENDED) != 0) {
        fprintf(stderr, "cannot compile the request pattern\n");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The regex engine takes milliseconds on long inputs; short ones reach every branch.
    if (size > 4096)
        return 0;
    // Both read up to the first NUL, and need one after the text, as the receive buffer has.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    regmatch_t expected[4];
    regmatch_t actual[4];
    const int rc = regexec(&reference, text.data(), 4, expected, 0);
    if (rc != 0 && rc != REG_NOMATCH)
        disagreement("regexec failed", size);
    const bool blank_line = memmem(text.data(), size, "\r\n\r\n", 4) != nullptr;
    for (const bool portable : {false, true}) {
        bool found_blank_line = !blank_line;
        const bool matched =
            match_request_scan(text.data(), size, actual, &found_blank_line, portable);
        if (matched != (rc == 0))
            disagreement(matched ? "only the matcher matches" : "only the regex matches", size);
        if (found_blank_line != blank_line)
            disagreement("whether CR LF CR LF occurs", size);
        for (int g = 0; matched && g < 4; ++g) {
            if (expected[g].rm_so != actual[g].rm_so || expected[g].rm_eo != actual[g].rm_eo)
                disagreement("sub-match offsets", size);
        }
    }
    return 0;
}
