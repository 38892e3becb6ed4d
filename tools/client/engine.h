// Runner internals: per-connection state, the latency control channel, the bounded data loops.
#pragma once

#include "conn.h"
#include "net.h"
#include "progress.h"
#include "runners.h"

#include <cstdint>
#include <poll.h>
#include <string>
#include <vector>

namespace vh_client {

struct test_conn {
    conn io;
    size_t index = 0;     // CONNECTION= value
    bool control = false; // the control connection of a latency test
    std::string in;       // reply text being collected
    bool head_done = false;
    bool half_closed = false;
    bool done = false;        // download: the stream ended; upload: the results are complete
    bool send_closed = false; // upload: the server no longer takes data
    uint64_t bytes = 0;       // see conn_result
    uint64_t drained = 0;
    uint64_t request_bytes = 0;
    unsigned char tail[16] = {}; // last bytes received after the half-close
    size_t tail_len = 0;
    time_point last_progress{};
    bool has_stats = false;
    stats_message stats;
};

// Where and how a test's connections are made: the server's addresses, the one the first
// connection reached (SIZE_MAX before; the later ones use it), TLS when it is on, and the
// session the first connection negotiated. Only the first connection writes to it, before
// any second thread exists.
struct dialer {
    std::vector<endpoint> eps;
    size_t used = SIZE_MAX;
    tls_client tls;
    std::string tls_version, tls_cipher;
    const live_hooks* hooks = nullptr;
    ~dialer() {
        tls_client_free(&tls);
    }
};

// Closes every connection still open.
void close_conns(std::vector<test_conn>& conns);
// "connection 2: <step>: <what>"
std::string conn_error(const test_conn& c, const std::string& step, const std::string& what);

// Opens `count` connections numbered from `first_index` (and makes their TLS sessions). The
// first connection ever opened tries every endpoint in turn and fixes d.used for the others.
bool open_conns(dialer& d, size_t first_index, size_t count, double timeout_s,
                std::vector<test_conn>* out, std::string* error);
// Sends every connection its request header, each within the time-out.
bool send_requests(std::vector<test_conn>& conns, const session_params& p, double timeout_s,
                   std::string* error);

// The control connection of a latency test: statistics requests and their documents.
struct control_channel {
    conn io;             // the control connection's, owned by it
    std::string request; // the statistics request
    std::string out;     // unsent part of the current request
    std::string in;
    bool awaiting = false;
    time_point origin{};
    time_point sent_at{};
    time_point next_fetch{};
    double every_s = 1;
    double timeout_s = 10;
    unsigned long long max_document = 0; // longest document accepted, from the test's length
    const live_hooks* hooks = nullptr;
    test_kind load = test_kind::download; // the session's load direction
    size_t connections = 0; // every document has one entry per connection of the session
    std::vector<fetch_record> fetches;
    latency_document last;
};

// The longest statistics document the test can produce: every sample its length allows on
// every connection, each at its longest, with margin.
unsigned long long max_statistics_document(const client_options& o);

short control_events(const control_channel& ch);
time_point control_wakeup(const control_channel& ch);
// Reads and sends what `revents` allows, starts a request when one is due, and checks the
// time-out of the one in flight. False with *error set.
bool control_step(control_channel& ch, short revents, time_point now, std::string* error);
// Fetches one document requested now (after any in flight), within the time-out.
bool control_fetch_now(control_channel& ch, std::string* error);

// Streams the downloads for the duration, half-closes, reads every stats message.
bool run_download_phase(const client_options& o, std::vector<test_conn>& conns,
                        control_channel* ctl, progress_meter* pm, const live_hooks* hooks,
                        download_result* r, std::string* error);
// Waits for every interim reply, sends until the results arrive, reads them all.
bool run_upload_phase(const client_options& o, std::vector<test_conn>& conns, control_channel* ctl,
                      progress_meter* pm, const live_hooks* hooks, upload_result* r,
                      std::string* error);

// Adds a timeline point at `now` (seconds since `t0`) with each connection's bytes, and tells
// the hooks.
void add_timeline_point(std::vector<timeline_point>& timeline, const std::vector<test_conn>& conns,
                        time_point t0, time_point now, test_kind load, const live_hooks* hooks);

} // namespace vh_client
