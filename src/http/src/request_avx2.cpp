// The request matcher with 32-byte vectors, for processors with AVX2 (this file is compiled for
// them; request.cpp calls it only where the processor has them).
#include "request.h"

#define VH_SCAN_WIDTH 32
#define VH_SCAN_NAMESPACE scan32
#include "request_scan.h"

bool match_request_avx2(const char* data, size_t size, regmatch_t match[4], bool* blank_line);

bool match_request_avx2(const char* data, size_t size, regmatch_t match[4], bool* blank_line) {
    return scan32::match_request(data, size, match, blank_line);
}
