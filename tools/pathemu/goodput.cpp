#include "goodput.h"

#include <algorithm>

namespace pathemu {

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Sequence numbers wrap: positions are compared by their distance from `base`.
int64_t rel(uint32_t seq, uint32_t base) {
    return int32_t(seq - base);
}

} // namespace

uint64_t goodput_add(goodput_state& state, const uint8_t* p, size_t len) {
    if (len < 20 || (p[0] >> 4) != 4 || p[9] != 6)
        return 0;
    const size_t ip_header = size_t(p[0] & 15) * 4;
    if (ip_header < 20 || len < ip_header + 20)
        return 0;
    const uint8_t* tcp = p + ip_header;
    const size_t tcp_header = size_t(tcp[12] >> 4) * 4;
    const bool syn = (tcp[13] & 0x02) != 0;
    if (tcp_header < 20 || len < ip_header + tcp_header)
        return 0;
    const uint32_t size = uint32_t(len - ip_header - tcp_header);
    const uint64_t key = uint64_t(be32(p + 12) ^ be32(p + 16) * 0x9e3779b1u) << 32 | be32(tcp);
    auto found = state.flows.find(key);
    if (found == state.flows.end()) {
        if (state.flows.size() >= MAX_FLOWS)
            state.flows.clear();
        // A flow is first seen at its SYN (the line never reorders); its data starts after.
        const uint32_t seq = be32(tcp + 4);
        found = state.flows.emplace(key, flow_state{syn ? seq + 1 : seq, {}}).first;
    }
    if (size == 0)
        return 0;
    flow_state& f = found->second;
    int64_t from = rel(be32(tcp + 4) + (syn ? 1 : 0), f.through), to = from + size;
    if (to <= 0)
        return 0;
    from = std::max<int64_t>(from, 0);
    // What the ranges above already hold of [from, to), then the union.
    int64_t fresh = to - from, lo = from, hi = to;
    std::vector<std::pair<uint32_t, uint32_t>> kept;
    for (const auto& [a, b] : f.above) {
        const int64_t ra = rel(a, f.through), rb = rel(b, f.through);
        if (rb < lo || ra > hi) {
            kept.emplace_back(a, b);
            continue;
        }
        fresh -= std::max<int64_t>(0, std::min(rb, to) - std::max(ra, from));
        lo = std::min(lo, ra);
        hi = std::max(hi, rb);
    }
    kept.emplace_back(f.through + uint32_t(lo), f.through + uint32_t(hi));
    std::sort(kept.begin(), kept.end(), [&](const auto& x, const auto& y) {
        return rel(x.first, f.through) < rel(y.first, f.through);
    });
    // The bottom range reaching `through` moves it up.
    if (rel(kept.front().first, f.through) <= 0) {
        f.through = kept.front().second;
        kept.erase(kept.begin());
    }
    if (kept.size() > MAX_RANGES)
        kept.erase(kept.begin()); // a flow with that many holes: forget the lowest
    f.above = std::move(kept);
    return uint64_t(std::max<int64_t>(fresh, 0));
}

} // namespace pathemu
