// The live progress line: elapsed time and current throughput, about once a second.
#pragma once

#include "net.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vh_client {

struct progress_meter {
    bool enabled = false; // set only when the line goes to a terminal
    FILE* out = stderr;
    std::string label;
    time_point start{};
    time_point last{};
    uint64_t last_bytes = 0;
    bool shown = false;
};

// The moment data starts to move; bytes are counted from there.
void progress_begin(progress_meter* p, time_point now, const std::string& label);
// Redraws the line when a second has passed since the last one.
void progress_tick(progress_meter* p, time_point now, uint64_t bytes);
// Erases the line so that the report starts on a clean one.
void progress_end(progress_meter* p);

// "941.23 Mbit/s", "1.20 GB", "0.12 ms"
std::string format_rate(double bits_per_second);
std::string format_bytes(uint64_t bytes);
std::string format_us(double microseconds);

} // namespace vh_client
