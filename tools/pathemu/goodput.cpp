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

// Adds [from, to), relative to `f.through` and with `to` > 0, to the ranges above, moving
// `through` up when the bottom range reaches it; returns the bytes it moved.
uint64_t add_range(flow_state& f, int64_t from, int64_t to) {
    from = std::max<int64_t>(from, 0);
    // In order with nothing held above: the common case, no ranges to merge.
    if (from == 0 && f.above.empty()) {
        f.through += uint32_t(to);
        return uint64_t(to);
    }
    int64_t lo = from, hi = to;
    std::vector<std::pair<uint32_t, uint32_t>> kept;
    for (const auto& [a, b] : f.above) {
        const int64_t ra = rel(a, f.through), rb = rel(b, f.through);
        if (rb < lo || ra > hi) {
            kept.emplace_back(a, b);
            continue;
        }
        lo = std::min(lo, ra);
        hi = std::max(hi, rb);
    }
    kept.emplace_back(f.through + uint32_t(lo), f.through + uint32_t(hi));
    std::sort(kept.begin(), kept.end(), [&](const auto& x, const auto& y) {
        return rel(x.first, f.through) < rel(y.first, f.through);
    });
    // The bottom range reaching `through` moves it up: those bytes are now readable.
    uint64_t readable = 0;
    if (rel(kept.front().first, f.through) <= 0) {
        readable = uint64_t(rel(kept.front().second, f.through));
        f.through = kept.front().second;
        kept.erase(kept.begin());
    }
    if (kept.size() > MAX_RANGES)
        kept.erase(kept.begin()); // a flow with that many holes: forget the lowest
    f.above = std::move(kept);
    return readable;
}

} // namespace

bool parse_tcp(const uint8_t* p, size_t len, tcp_segment* out) {
    if (len < 20 || (p[0] >> 4) != 4 || p[9] != 6)
        return false;
    const size_t ip_header = size_t(p[0] & 15) * 4;
    if (ip_header < 20 || len < ip_header + 20)
        return false;
    const uint8_t* tcp = p + ip_header;
    const size_t tcp_header = size_t(tcp[12] >> 4) * 4;
    if (tcp_header < 20 || len < ip_header + tcp_header)
        return false;
    out->flow = uint64_t(be32(p + 12) ^ be32(p + 16) * 0x9e3779b1u) << 32 | be32(tcp);
    out->seq = be32(tcp + 4);
    out->size = uint32_t(len - ip_header - tcp_header);
    out->syn = (tcp[13] & 0x02) != 0;
    return true;
}

uint64_t goodput_add(goodput_state& state, const tcp_segment& s) {
    auto found = state.flows.find(s.flow);
    if (found == state.flows.end()) {
        if (state.flows.size() >= MAX_FLOWS)
            state.flows.clear();
        // A flow is first seen at its SYN (the line never reorders); its data starts after.
        found = state.flows.emplace(s.flow, flow_state{s.syn ? s.seq + 1 : s.seq, {}}).first;
    }
    if (s.size == 0)
        return 0;
    flow_state& f = found->second;
    const int64_t from = rel(s.seq + (s.syn ? 1 : 0), f.through), to = from + s.size;
    return to > 0 ? add_range(f, from, to) : 0;
}

} // namespace pathemu
