// Sockets for the client: name resolution, bounded connects and sends, clock helpers.
#pragma once

#include "protocol.h"

#include <chrono>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace vh_client {

using mono_clock = std::chrono::steady_clock;
using time_point = mono_clock::time_point;

// One resolved address of the server.
struct endpoint {
    sockaddr_storage addr{};
    socklen_t len = 0;
    std::string text; // numeric address, IPv6 without brackets
    int port = 0;
};

// All addresses of the target, in the resolver's order. False with *error set.
bool resolve_target(const target& t, std::vector<endpoint>* out, std::string* error);

// A non-blocking TCP socket connected to `ep` before `deadline`, or -1 with *error set.
int connect_endpoint(const endpoint& ep, time_point deadline, std::string* error);

// Milliseconds from `now` until `deadline` for poll(), at least 0, at most `cap_ms`.
int poll_ms(time_point now, time_point deadline, int cap_ms = 1000);

double seconds_between(time_point from, time_point to);
time_point after_seconds(time_point from, double seconds);

// "timed out after 1.5 s"
std::string timed_out_text(double seconds);
// strerror of errno values, as one word group ("Connection refused").
std::string errno_text(int err);

} // namespace vh_client
