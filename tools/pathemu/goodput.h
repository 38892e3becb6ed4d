// The goodput of a direction: TCP payload bytes that became readable in order, as a receiving
// application reads them. A segment beyond a hole adds nothing until the hole is filled; the
// retransmission that fills it adds the hole and everything through after it; a segment that
// went through before (a spurious retransmission) adds nothing. Per flow: the sequence number
// below which everything went through, and the ranges delivered above it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pathemu {

struct flow_state {
    uint32_t through = 0;                             // everything below went through
    std::vector<std::pair<uint32_t, uint32_t>> above; // delivered [from, to) beyond it, sorted
};

struct goodput_state {
    std::unordered_map<uint64_t, flow_state> flows; // by addresses and ports
};

inline constexpr size_t MAX_FLOWS = 4096;
inline constexpr size_t MAX_RANGES = 4096;

// What the counts need of an IPv4 TCP packet.
struct tcp_segment {
    uint64_t flow = 0; // addresses and ports
    uint32_t seq = 0;
    uint32_t size = 0; // payload bytes
    bool syn = false;
};

// The segment in the packet `p` of `len` bytes; false for other packets.
bool parse_tcp(const uint8_t* p, size_t len, tcp_segment* out);

// The bytes the segment made readable.
uint64_t goodput_add(goodput_state& state, const tcp_segment& segment);

} // namespace pathemu
