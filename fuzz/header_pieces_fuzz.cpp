// Fuzz target: a request header arriving in pieces, collected the way a worker
// collects it from one connection. The input is split into pieces at each 0xFF 0xFE
// pair (a piece is at most one peek long); each piece is fed in turn until the
// collection ends.
#include "handlers.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vh_fuzz::init_parser();
    return 0;
}

static std::vector<std::string> split_pieces(std::string_view input) {
    std::vector<std::string> pieces;
    for (;;) {
        size_t cut = input.find("\xff\xfe");
        std::string_view piece = input.substr(0, cut);
        // A peek never returns more than HEADER_LIMIT bytes, nor nothing.
        while (piece.size() > HEADER_LIMIT) {
            pieces.emplace_back(piece.substr(0, HEADER_LIMIT));
            piece.remove_prefix(HEADER_LIMIT);
        }
        if (!piece.empty())
            pieces.emplace_back(piece);
        if (cut == std::string_view::npos)
            return pieces;
        input.remove_prefix(cut + 2);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4 * HEADER_LIMIT)
        return 0;
    std::vector<std::string> pieces =
        split_pieces(std::string_view(reinterpret_cast<const char*>(data), size));
    GString* held = nullptr;
    std::string received; // everything fed so far, the oracle for what was collected
    for (const std::string& piece : pieces) {
        received += piece;
        request_info request;
        size_t parsed_size = 0;
        header_step step =
            collect_header_piece(&held, piece.c_str(), piece.size(), &request, &parsed_size);
        VH_FUZZ_CHECK(parsed_size == received.size());
        if (step == HEADER_INCOMPLETE) {
            // Everything received is held, nothing more, and never beyond the limit.
            VH_FUZZ_CHECK(held != nullptr && held->len == received.size());
            VH_FUZZ_CHECK(memcmp(held->str, received.data(), received.size()) == 0);
            VH_FUZZ_CHECK(held->len <= HEADER_LIMIT);
            VH_FUZZ_CHECK(request.put_path == nullptr);
            continue;
        }
        // Collecting in pieces decides as parsing the whole text at once would.
        request_info whole;
        int result = parse_request(received.c_str(), received.size(), &whole);
        if (step == HEADER_COMPLETE) {
            VH_FUZZ_CHECK(result > 0);
            vh_fuzz::check_parsed(request, result, received.c_str(), received.size());
            VH_FUZZ_CHECK(memcmp(&request, &whole, REQUEST_SESSION_PART_SIZE) == 0);
            VH_FUZZ_CHECK(request.conn_id == whole.conn_id);
        } else if (step == HEADER_TOO_BIG) {
            VH_FUZZ_CHECK(result == -2 && received.size() > HEADER_LIMIT);
        } else {
            VH_FUZZ_CHECK(step == HEADER_INVALID && result == -1);
        }
        vh_fuzz::release(request);
        vh_fuzz::release(whole);
        break;
    }
    if (held != nullptr)
        g_string_free(held, TRUE);
    return 0;
}
