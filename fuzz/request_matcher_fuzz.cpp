// Fuzz target: the hand-written request matcher against the regex engine on arbitrary bytes.
// Both must give the same verdict and, on a match, the same four sub-matches. Links with the
// server library like the other targets; the reference pattern is compiled here.
#include "request.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    const bool matched = match_request_pattern(text.data(), size, actual);
    if (matched != (rc == 0))
        disagreement(matched ? "only the matcher matches" : "only the regex matches", size);
    if (!matched)
        return 0;
    for (int g = 0; g < 4; ++g) {
        if (expected[g].rm_so != actual[g].rm_so || expected[g].rm_eo != actual[g].rm_eo)
            disagreement("sub-match offsets", size);
    }
    return 0;
}
