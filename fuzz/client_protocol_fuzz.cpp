// Fuzz target: what the client parses of a server's bytes. The first byte picks the parser:
// 0, a reply head; 1, an upload's results reply and the figures made from it; 2, a latency
// statistics document and its summary; 3, the statistics message at the end of a download.
#include "fuzz_check.h"
#include "protocol.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace vh_client;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string error;
    switch (data[0] % 4) {
    case 0: {
        reply_head head;
        const parse_state state = parse_reply_head(text, &head, &error);
        VH_FUZZ_CHECK(state != parse_state::complete ||
                      (head.length > 0 && head.length <= text.size()));
        VH_FUZZ_CHECK(state != parse_state::malformed || !error.empty());
        break;
    }
    case 1: {
        results_reply results;
        if (!results_complete(text) || !parse_results_reply(text, &results, &error))
            break;
        const upload_summary summary = summarize_results(results);
        VH_FUZZ_CHECK(summary.warmup_samples == results.warmup.size());
        for (const interval_rate& rate : summary.intervals)
            VH_FUZZ_CHECK(!std::isnan(rate.bits_per_second));
        VH_FUZZ_CHECK(warmup_rates(results.warmup).size() == results.warmup.size());
        break;
    }
    case 2: {
        latency_document doc;
        if (!parse_latency_document(text, &doc, &error)) {
            VH_FUZZ_CHECK(!error.empty());
            break;
        }
        const latency_summary summary = summarize_latency(doc, 1);
        const responsiveness r = make_responsiveness(summary);
        VH_FUZZ_CHECK(!std::isnan(r.rpm) && !std::isnan(r.added_median_us));
        (void)latency_origin_ms(doc, 1);
        break;
    }
    default: {
        stats_message stats;
        if (text.size() <= 16 &&
            parse_stats_tail(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                             &stats))
            VH_FUZZ_CHECK(stats.length == 12 || stats.length == 16);
    }
    }
    return 0;
}
