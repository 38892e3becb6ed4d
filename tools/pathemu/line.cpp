#include "line.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pathemu {

namespace {

// A number followed by a unit from `units` (name, multiplier); the unit may be absent when
// `bare` gives the multiplier of a plain number (0: a unit is required).
bool parse_quantity(const std::string& text,
                    const std::vector<std::pair<const char*, double>>& units, double bare,
                    double* out) {
    if (text.empty() || std::strchr("0123456789.", text[0]) == nullptr)
        return false;
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(number) || number < 0)
        return false;
    const std::string unit(end);
    if (unit.empty()) {
        *out = number * bare;
        return bare > 0;
    }
    for (const auto& [name, multiplier] : units)
        if (unit == name) {
            *out = number * multiplier;
            return true;
        }
    return false;
}

bool parse_time(const std::string& text, double* ns) {
    return parse_quantity(text, {{"ns", 1}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}}, 0, ns);
}

uint64_t next_random(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Uniform in [0, 1).
double draw(uint64_t& state) {
    return double(next_random(state) >> 11) * 0x1.0p-53;
}

constexpr double MAX_TIME_NS = 10e9;

} // namespace

bool parse_duration(const std::string& text, int64_t* ns) {
    double value = 0;
    if (!parse_time(text, &value) || value > MAX_TIME_NS)
        return false;
    *ns = int64_t(value);
    return true;
}

parse_result parse_line(const std::string& text, line_config* out) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        fields.push_back(text.substr(from, comma - from));
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    if (fields.size() < 3 || fields.size() > 5)
        return parse_result::bad_syntax;
    line_config cfg;
    cfg.text = text;
    double rate = 0, queue = 0, delay = 0, loss = 0, jitter = 0;
    if (!parse_quantity(fields[0], {{"bit", 1}, {"kbit", 1e3}, {"mbit", 1e6}, {"gbit", 1e9}}, 1,
                        &rate))
        return parse_result::bad_syntax;
    if (rate < 1e3 || rate > 100e9)
        return parse_result::out_of_range;
    cfg.rate_bps = uint64_t(rate);
    if (parse_time(fields[1], &queue)) {
        cfg.queue_ns = int64_t(queue);
    } else if (parse_quantity(fields[1], {{"k", 1024}, {"m", 1024 * 1024}}, 1, &queue)) {
        if (queue > double(1 << 30))
            return parse_result::out_of_range;
        cfg.queue_ns = int64_t(queue * 8e9 / rate);
    } else {
        return parse_result::bad_syntax;
    }
    if (!parse_time(fields[2], &delay))
        return parse_result::bad_syntax;
    if (fields.size() > 3) {
        const std::string& f = fields[3];
        const bool percent = !f.empty() && f.back() == '%';
        if (!parse_quantity(percent ? f.substr(0, f.size() - 1) : f, {}, 1, &loss))
            return parse_result::bad_syntax;
        loss = percent ? loss / 100 : loss;
    }
    if (fields.size() > 4 && !parse_time(fields[4], &jitter))
        return parse_result::bad_syntax;
    if (queue < 0 || cfg.queue_ns > int64_t(MAX_TIME_NS) || delay > MAX_TIME_NS || loss > 1 ||
        jitter > MAX_TIME_NS)
        return parse_result::out_of_range;
    cfg.delay_ns = int64_t(delay);
    cfg.loss = loss;
    cfg.jitter_ns = int64_t(jitter);
    *out = cfg;
    return parse_result::ok;
}

void line_init(line_state& line, const line_config& cfg, uint64_t seed) {
    line = line_state{};
    line.cfg = cfg;
    line.rng = seed;
}

uint8_t* line_reserve(line_state& line) {
    size_t capacity = line.meta.size();
    if (line.count == capacity) {
        if (capacity >= MAX_SLOTS)
            return nullptr;
        const size_t grown = std::max<size_t>(256, capacity * 2);
        std::vector<uint8_t> data(grown * SLOT_BYTES);
        std::vector<packet_meta> meta(grown);
        for (size_t i = 0; i < line.count; i++) {
            const size_t at = (line.head + i) % capacity;
            meta[i] = line.meta[at];
            std::memcpy(&data[i * SLOT_BYTES], &line.data[at * SLOT_BYTES], meta[i].len);
        }
        line.data.swap(data);
        line.meta.swap(meta);
        line.head = 0;
        capacity = grown;
    }
    return &line.data[((line.head + line.count) % capacity) * SLOT_BYTES];
}

admit_result line_admit(line_state& line, size_t len, int64_t now) {
    const line_config& cfg = line.cfg;
    if (cfg.loss > 0 && draw(line.rng) < cfg.loss)
        return admit_result::lost;
    // Serialisation time of the whole IP packet at the line rate, rounded up.
    const int64_t tx =
        int64_t((uint64_t(len) * 8 * 1000000000ULL + cfg.rate_bps - 1) / cfg.rate_bps);
    const int64_t backlog = std::max<int64_t>(0, line.busy_until - now);
    // One packet always fits an idle line; behind others, the queue holds what it can
    // serialise within its limit.
    if (backlog > 0 && backlog + tx > cfg.queue_ns)
        return admit_result::queue_full;
    const int64_t start = std::max(now, line.busy_until);
    line.busy_until = start + tx;
    int64_t delay = cfg.delay_ns;
    if (cfg.jitter_ns > 0)
        delay =
            std::max<int64_t>(0, delay + int64_t((draw(line.rng) * 2 - 1) * double(cfg.jitter_ns)));
    const int64_t due = std::max(line.busy_until + delay, line.last_due);
    line.last_due = due;
    line.meta[(line.head + line.count) % line.meta.size()] =
        packet_meta{due, start - now, uint32_t(len)};
    line.count++;
    return admit_result::queued;
}

int64_t line_next_due(const line_state& line) {
    return line.count == 0 ? INT64_MAX : line.meta[line.head].due;
}

const packet_meta& line_front(const line_state& line, const uint8_t** data) {
    *data = &line.data[line.head * SLOT_BYTES];
    return line.meta[line.head];
}

void line_pop(line_state& line) {
    line.head = (line.head + 1) % line.meta.size();
    line.count--;
}

} // namespace pathemu
