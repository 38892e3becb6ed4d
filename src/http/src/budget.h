// The process-wide memory budget: what requests may make the server allocate, reserved in
// advance and released when it is freed, so that no client can use up what all share.
#pragma once

#include "request.h"

#include <cstddef>
#include <cstdint>
#include <string>

// --max-memory: at least this, at most that (bytes).
constexpr uint64_t MEMORY_BUDGET_MIN = uint64_t{1} << 20;
constexpr uint64_t MEMORY_BUDGET_MAX = uint64_t{1} << 50;

// The widest text of one record as the server prints it, every number at its widest: a trace
// line, a sample in the latency document, a sample line of the results reply and of an upload's
// session log.
constexpr size_t TRACE_LINE_MAX = 96;
constexpr size_t LATENCY_SAMPLE_TEXT_MAX = 328;
constexpr size_t RESULTS_LINE_MAX = 72;
constexpr size_t LOG_LINE_MAX = 88;
// Memory one latency sample takes in its connection's queue (the sample and its share of the
// queue's blocks and index), and one sample slot of a connection (warm-up sample and
// measurement count).
constexpr size_t LATENCY_SAMPLE_BYTES = 80;
constexpr size_t CONNECTION_SLOT_BYTES = 24;

// What a session may allocate at most, reserved when it is admitted. `total` is the whole
// reservation; the caps bound what grows while the session runs.
struct session_memory {
    uint64_t total;
    uint64_t log_text;         // the session log's share of `total`, handed on with the log
    uint64_t archive_record;   // the archive record's share, handed on with the record
    size_t trace_text_cap;     // bytes of trace text, at most
    size_t latency_sample_cap; // latency samples per connection slot, at most
};

// The worst case of a session made from a range-checked request, under the current session
// time-out, log directory and archive directory. Any thread.
session_memory session_memory_bound(const request_info* request);

// Sets the budget (bytes). Main thread, at start-up (tests: before sessions run).
void set_memory_budget(uint64_t bytes);
uint64_t memory_budget();
// Bytes reserved now. Any thread.
uint64_t memory_reserved();

// Reserves n bytes: true when they fit under the budget (they are then reserved), false when
// not (nothing is). Any thread; one atomic compare-and-swap, repeated only under contention.
bool reserve_memory(uint64_t n);
// Whether n bytes would fit now, reserving nothing. Any thread.
bool memory_would_fit(uint64_t n);
// Gives back n bytes reserved earlier. Any thread.
void release_memory(uint64_t n);

// A quarter of the memory the process may use: of the machine's (MemTotal), or of its cgroup's
// limit (cgroup v2 memory.max of its own cgroup) when that is lower. 0 when neither is known.
// The files are read below `root` ("" for the system's own; tests give a tree of their own).
uint64_t default_memory_budget(const std::string& root = "");

// Reads a byte count: decimal digits, optionally followed by K, M or G (binary multiples).
// 0 with *bytes set, or -1 for anything else (an empty text, a sign, other characters, an
// overflow).
int parse_byte_size(const char* text, uint64_t* bytes);
