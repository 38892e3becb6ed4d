// Load generators of the benchmarks: download and upload streams, short sessions and HEAD
// requests over loopback, driven by a few epoll threads so that the client costs far less
// than the server it measures.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <sys/epoll.h>
#include <unistd.h>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vh_bench {

// How the server under test expects to be spoken to.
enum class dialect {
    varnholt,  // controlled requests naming a session; uploads end with the results reply
    reference, // the same requests; the reference server ignores everything but the method
    nginx,     // plain static files: pipelined keep-alive GETs of the payload, 1 KiB files
};

enum class load_kind {
    download,     // sessions of `conns` connections, each draining a download
    upload,       // sessions of `conns` connections, each sending after the interim reply
    session_rate, // `conns` clients, each repeating connect, request, reply + 1 KiB, close
    head,         // `conns` kept-open connections, each repeating HEAD requests
};

struct load_plan {
    load_kind kind = load_kind::download;
    dialect server = dialect::varnholt;
    int port = 0;
    int sessions = 1; // download, upload: number of sessions
    int conns = 1;    // connections per session, or concurrent clients
    int threads = 1;  // client threads
    double warmup_s = 0.5;
    double measure_s = 2.0;
    uint32_t session_base = 1; // first SESSIONID= value; every session gets a new one
    // Downloads and uploads over TLS 1.3 (TLS_AES_128_GCM_SHA256, no check of the
    // certificate): data decrypted and thrown away, uploads encrypted from one static buffer.
    bool tls = false;
};

struct load_result {
    bool ok = false;
    std::string error;
    double seconds = 0;               // length of the measured window
    uint64_t bytes = 0;               // payload bytes moved in the window
    uint64_t operations = 0;          // sessions or requests completed in the window
    double client_cpu_s = 0;          // CPU seconds of this process in the window
    double server_cpu_s = 0;          // CPU seconds of the server in the window (from the probe)
    std::vector<double> latencies_us; // session rate and HEAD: one per completed operation
    int results_ok = 0;               // uploads to the server under test: results replies seen
    int results_expected = 0;
    std::vector<double> server_thread_cpu_s; // per server thread, busiest first
};

// Called at the start and at the end of the measured window: CPU seconds used so far by
// the server (total and per thread).
using cpu_probe = std::function<void(double* total, std::vector<double>* per_thread)>;

// Runs one measurement. Every loop is bounded: set-up, the window and the tear-down
// each end within a few seconds whatever the server does.
load_result run_load(const load_plan& plan, const cpu_probe& probe);

// Parsing helpers, exposed for the tests.
// Length of the header at the start of `text` (up to and including the blank line), or 0
// when the header is not complete yet.
size_t header_length(std::string_view text);
// Status code of a header ("HTTP/1.1 200 OK" gives 200), or -1.
int status_code(std::string_view header);
// Value of Content-Length (case-insensitive name), or -1 when absent or malformed.
long long content_length(std::string_view header);

// The request a connection of the given load sends first.
std::string request_text(const load_plan& plan, uint32_t session_id, int conn_index);

// Makes `count` (at least one) client thread records, each with its own epoll set and `run`
// pointing at the shared run. False, with *error set and nothing left open, when an epoll
// set cannot be made.
template <typename Thread, typename Run>
bool make_client_threads(int count, Run* run, std::vector<std::unique_ptr<Thread>>* pool,
                         std::string* error) {
    for (int i = 0; i < std::max(1, count); i++) {
        auto t = std::make_unique<Thread>();
        t->run = run;
        t->epfd = epoll_create1(0);
        if (t->epfd < 0) {
            *error = std::string("epoll_create1: ") + strerror(errno);
            for (auto& p : *pool)
                close(p->epfd);
            pool->clear();
            return false;
        }
        pool->push_back(std::move(t));
    }
    return true;
}

// Median and percentile (0..100, nearest rank) of unsorted values; 0 when empty.
double median(std::vector<double> values);
double percentile(std::vector<double> values, double p);

} // namespace vh_bench
