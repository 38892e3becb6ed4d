// The goodput of a direction: TCP payload bytes delivered for the first time. A segment that
// was delivered before (a spurious retransmission, or the part of a retransmission that
// overlaps data already through) adds nothing; a retransmission that fills a hole adds what
// was missing. Per flow: the sequence number below which everything went through, and the
// ranges delivered above it.
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

// New payload bytes in the IPv4 packet `p` of `len` bytes (0 for other packets).
uint64_t goodput_add(goodput_state& state, const uint8_t* p, size_t len);

} // namespace pathemu
