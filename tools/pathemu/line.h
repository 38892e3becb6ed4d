// One direction of an emulated line: a serialiser at the line rate behind a tail-drop queue,
// then a fixed delay (with optional variation that keeps the order) and random loss. Pure
// arithmetic on CLOCK_MONOTONIC nanoseconds: the relay asks it where to read the next packet,
// tells it when one arrived, and writes out what it says is due.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pathemu {

struct line_config {
    uint64_t rate_bps = 0; // bits per second, counted over whole IP packets
    int64_t queue_ns = 0;  // queue limit as serialisation time at the rate
    int64_t delay_ns = 0;  // one-way delay added after serialisation
    double loss = 0;       // probability that an arriving packet is lost
    int64_t jitter_ns = 0; // the delay varies uniformly within +- this, never reordering
    std::string text;      // as given on the command line
};

enum class parse_result { ok, bad_syntax, out_of_range };

// "RATE,QUEUE,DELAY[,LOSS[,JITTER]]": rates in bit/kbit/mbit/gbit (or a plain number of bit/s),
// the queue as time (us/ms/s) or bytes (a plain number, k, m: 1024-based), delay and jitter as
// time, loss as "0.1%" or a fraction.
parse_result parse_line(const std::string& text, line_config* out);
// A time such as "100ms" (ns, us, ms, s; at most 10 s), in nanoseconds.
bool parse_duration(const std::string& text, int64_t* ns);

// Counts of one second.
struct line_counts {
    uint64_t bytes = 0, pkts = 0, qdrops = 0, lossdrops = 0;
    double qwait_ns = 0; // summed queueing time of the packets delivered
    int64_t late_ns = 0; // the latest a packet left after its due time
};

struct packet_meta {
    int64_t due = 0;   // when it leaves the line
    int64_t qwait = 0; // time it waited for the serialiser
    uint32_t len = 0;
};

inline constexpr size_t SLOT_BYTES = 2048;           // one packet of MTU 1500 and then some
inline constexpr size_t MAX_SLOTS = size_t(1) << 17; // 256 MiB per direction at most

struct line_state {
    line_config cfg;
    uint64_t rng = 0;          // splitmix64 state: the same seed draws the same losses
    int64_t busy_until = 0;    // the serialiser is busy until then
    int64_t last_due = 0;      // delivery of the last admitted packet (packets keep order)
    std::vector<uint8_t> data; // ring of packets in the queue and on the wire
    std::vector<packet_meta> meta;
    size_t head = 0, count = 0;
};

void line_init(line_state& line, const line_config& cfg, uint64_t seed);
// Where the next arriving packet is to be read (SLOT_BYTES long); nullptr when the ring is
// full at its largest size (the packet is then read elsewhere and counted as a queue drop).
uint8_t* line_reserve(line_state& line);

enum class admit_result { queued, lost, queue_full };
// A packet of `len` bytes, read to line_reserve()'s buffer, arrived at `now`.
admit_result line_admit(line_state& line, size_t len, int64_t now);
// Delivery time of the oldest packet, or INT64_MAX when none waits.
int64_t line_next_due(const line_state& line);
// The oldest packet, then its removal.
const packet_meta& line_front(const line_state& line, const uint8_t** data);
void line_pop(line_state& line);

} // namespace pathemu
