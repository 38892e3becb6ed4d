// varnholt-pathemu: joins two network namespaces through a TUN device in each and relays the
// packets between them over an emulated line, one per direction: up (A to B) and down (B to A).
#include "goodput.h"
#include "line.h"
#include "netns.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace pathemu;

namespace {

constexpr int64_t SECOND = 1000000000;

struct options {
    std::string ns_a, ns_b, addr_a = "10.77.0.1/24", addr_b = "10.77.0.2/24";
    std::string dev_a = "pemu-a", dev_b = "pemu-b", stats = "";
    int64_t stats_interval = SECOND;
    line_config up, down;
    bool have_up = false, have_down = false, one_loop = false;
    uint64_t seed = 1;
};

// One direction: packets read from `src` cross `line` and are written to `dst`.
struct direction {
    const char* name = "";
    int src = -1, dst = -1;
    line_state line;
    int64_t slot = 0; // the stats interval `counts` belong to, from 0 at the start
    line_counts counts;
    uint64_t payload = 0; // TCP payload bytes delivered in the interval
    uint64_t goodput = 0; // of which delivered for the first time
    goodput_state flows;
};

struct relay_shared {
    int64_t start = 0;         // CLOCK_MONOTONIC
    int64_t start_unix_us = 0; // the same instant on CLOCK_REALTIME
    int64_t interval = SECOND; // of the counts
    int stats_fd = -1;
    int stop_fd = -1;
    std::atomic<bool> stop{false};
};

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * SECOND + ts.tv_nsec;
}

// Writes the counts of every interval before `slot` (an empty one for each interval without
// traffic), one line each.
void roll_to(direction& d, const relay_shared& shared, int64_t slot) {
    while (d.slot < slot) {
        if (shared.stats_fd >= 0) {
            const line_counts& c = d.counts;
            const int64_t from = d.slot * shared.interval;
            char t[32];
            if (shared.interval % SECOND == 0)
                std::snprintf(t, sizeof(t), "%lld", (long long)(from / SECOND));
            else
                std::snprintf(t, sizeof(t), "%.3f", double(from) / SECOND);
            char text[320];
            const int n = std::snprintf(
                text, sizeof(text),
                "t=%s dir=%s bytes=%llu pkts=%llu qdrops=%llu lossdrops=%llu qdelay_ms=%.3f "
                "late_ms=%.3f payload=%llu goodput=%llu unix_us=%lld\n",
                t, d.name, (unsigned long long)c.bytes, (unsigned long long)c.pkts,
                (unsigned long long)c.qdrops, (unsigned long long)c.lossdrops,
                c.pkts > 0 ? c.qwait_ns / double(c.pkts) / 1e6 : 0.0, double(c.late_ns) / 1e6,
                (unsigned long long)d.payload, (unsigned long long)d.goodput,
                (long long)(shared.start_unix_us + from / 1000));
            if (write(shared.stats_fd, text, size_t(n)) < 0) {
                // A full disk or a closed pipe loses counts, never packets.
            }
        }
        d.counts = line_counts{};
        d.payload = 0;
        d.goodput = 0;
        d.slot++;
    }
}

// Delivers what is due; returns the next deadline (a due packet or the next interval's counts).
int64_t deliver(direction& d, const relay_shared& shared, int64_t now) {
    roll_to(d, shared, (now - shared.start) / shared.interval);
    while (line_next_due(d.line) <= now) {
        const uint8_t* data = nullptr;
        const packet_meta& p = line_front(d.line, &data);
        if (write(d.dst, data, p.len) == ssize_t(p.len)) {
            d.counts.bytes += p.len;
            d.counts.pkts++;
            d.counts.qwait_ns += double(p.qwait);
            d.counts.late_ns = std::max(d.counts.late_ns, now - p.due);
            tcp_segment segment;
            if (parse_tcp(data, p.len, &segment)) {
                d.payload += segment.size;
                d.goodput += goodput_add(d.flows, segment);
            }
        }
        line_pop(d.line);
    }
    return std::min(line_next_due(d.line), shared.start + (d.slot + 1) * shared.interval);
}

// Reads what arrived (a bounded batch, so that deliveries are not held up).
void receive(direction& d, int64_t now) {
    static thread_local uint8_t spare[65536];
    for (int i = 0; i < 256; i++) {
        uint8_t* buffer = line_reserve(d.line);
        const ssize_t n = read(d.src, buffer != nullptr ? buffer : spare,
                               buffer != nullptr ? SLOT_BYTES : sizeof(spare));
        if (n <= 0)
            return;
        if (buffer == nullptr || size_t(n) >= SLOT_BYTES) {
            d.counts.qdrops++;
            continue;
        }
        const admit_result r = line_admit(d.line, size_t(n), now);
        d.counts.qdrops += r == admit_result::queue_full;
        d.counts.lossdrops += r == admit_result::lost;
    }
}

// The relay loop over one or both directions, until stopped.
void relay(std::vector<direction*> dirs, relay_shared* shared) {
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<pollfd> fds;
    for (direction* d : dirs)
        fds.push_back(pollfd{d->src, POLLIN, 0});
    fds.push_back(pollfd{shared->stop_fd, POLLIN, 0});
    while (!shared->stop.load(std::memory_order_relaxed)) {
        int64_t now = now_ns(), deadline = INT64_MAX;
        for (direction* d : dirs)
            deadline = std::min(deadline, deliver(*d, *shared, now));
        const int64_t wait = std::max<int64_t>(0, deadline - now);
        timespec ts{time_t(wait / SECOND), long(wait % SECOND)};
        if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0 && errno != EINTR)
            break;
        now = now_ns();
        for (size_t i = 0; i < dirs.size(); i++)
            if (fds[i].revents & POLLIN) {
                roll_to(*dirs[i], *shared, (now - shared->start) / shared->interval);
                receive(*dirs[i], now);
            }
    }
}

void usage() {
    std::fprintf(
        stderr, "usage: varnholt-pathemu --ns-a NAME --ns-b NAME --down LINE --up LINE [options]\n"
                "  LINE is RATE,QUEUE,DELAY[,LOSS[,JITTER]], e.g. 100mbit,100ms,20ms,0.1%%,1ms\n"
                "  --addr-a CIDR, --addr-b CIDR  addresses (10.77.0.1/24, 10.77.0.2/24)\n"
                "  --dev-a NAME, --dev-b NAME    TUN device names (pemu-a, pemu-b)\n"
                "  --stats FILE                  counts per interval and direction (- for stdout)\n"
                "  --stats-interval TIME         of the counts: 1ms to 10s (1s)\n"
                "  --seed N                      seed of loss and jitter (1)\n"
                "  --one-loop                    relay both directions in one thread\n");
}

// Options parsed from the command line; 0, or the exit code of a usage error.
int parse_options(int argc, char** argv, options* o) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--one-loop") {
            o->one_loop = true;
            continue;
        }
        if (i + 1 >= argc)
            return (usage(), 2);
        const std::string value = argv[++i];
        line_config* line = arg == "--up" ? &o->up : arg == "--down" ? &o->down : nullptr;
        if (line != nullptr) {
            const parse_result r = parse_line(value, line);
            if (r != parse_result::ok) {
                std::fprintf(stderr, "varnholt-pathemu: %s %s: %s\n", arg.c_str(), value.c_str(),
                             r == parse_result::out_of_range ? "out of range" : "malformed");
                return 2;
            }
            (line == &o->up ? o->have_up : o->have_down) = true;
        } else if (arg == "--ns-a") {
            o->ns_a = value;
        } else if (arg == "--ns-b") {
            o->ns_b = value;
        } else if (arg == "--addr-a") {
            o->addr_a = value;
        } else if (arg == "--addr-b") {
            o->addr_b = value;
        } else if (arg == "--dev-a") {
            o->dev_a = value;
        } else if (arg == "--dev-b") {
            o->dev_b = value;
        } else if (arg == "--stats") {
            o->stats = value;
        } else if (arg == "--stats-interval") {
            if (!parse_duration(value, &o->stats_interval) || o->stats_interval < 1000000 ||
                o->stats_interval > 10 * SECOND) {
                std::fprintf(stderr, "varnholt-pathemu: --stats-interval %s: 1ms to 10s\n",
                             value.c_str());
                return 2;
            }
        } else if (arg == "--seed") {
            o->seed = std::strtoull(value.c_str(), nullptr, 10);
        } else {
            return (usage(), 2);
        }
    }
    if (o->ns_a.empty() || o->ns_b.empty() || o->ns_a == o->ns_b || !o->have_up || !o->have_down)
        return (usage(), 2);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    options opts;
    if (const int code = parse_options(argc, argv, &opts); code != 0)
        return code;
    // The signals that end a run are taken by sigwait below, in every thread blocked.
    sigset_t ending;
    sigemptyset(&ending);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (const int stale = remove_stale(); stale > 0)
        std::fprintf(stderr, "varnholt-pathemu: removed %d namespaces of an earlier run\n", stale);
    int ns_fd[2] = {-1, -1}, tun[2] = {-1, -1};
    bool created[2] = {false, false};
    const std::string names[2] = {opts.ns_a, opts.ns_b};
    const std::string devs[2] = {opts.dev_a, opts.dev_b};
    const std::string addrs[2] = {opts.addr_a, opts.addr_b};
    int code = 0;
    for (int i = 0; i < 2 && code == 0; i++) {
        const ns_result r = open_netns(names[i], &ns_fd[i]);
        if (r == ns_result::failed) {
            std::fprintf(stderr, "varnholt-pathemu: cannot make namespace %s: %s\n",
                         names[i].c_str(), std::strerror(errno));
            code = 1;
            break;
        }
        created[i] = r == ns_result::created;
        if (created[i])
            record_created(names[i]);
        std::string error;
        if ((tun[i] = make_tun(ns_fd[i], devs[i], addrs[i], &error)) < 0) {
            std::fprintf(stderr, "varnholt-pathemu: %s in %s: %s\n", devs[i].c_str(),
                         names[i].c_str(), error.c_str());
            code = 1;
        }
    }

    relay_shared shared;
    if (code == 0 && !opts.stats.empty()) {
        shared.stats_fd = opts.stats == "-"
                              ? dup(1)
                              : open(opts.stats.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (shared.stats_fd < 0) {
            std::fprintf(stderr, "varnholt-pathemu: %s: %s\n", opts.stats.c_str(),
                         std::strerror(errno));
            code = 1;
        }
    }
    if (code == 0) {
        shared.stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        shared.start = now_ns();
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        shared.start_unix_us = int64_t(real.tv_sec) * 1000000 + real.tv_nsec / 1000;
        shared.interval = opts.stats_interval;
        direction up, down;
        up.name = "up";
        up.src = tun[0];
        up.dst = tun[1];
        line_init(up.line, opts.up, opts.seed * 2);
        down.name = "down";
        down.src = tun[1];
        down.dst = tun[0];
        line_init(down.line, opts.down, opts.seed * 2 + 1);
        std::vector<std::thread> threads;
        if (opts.one_loop) {
            threads.emplace_back(relay, std::vector<direction*>{&up, &down}, &shared);
        } else {
            threads.emplace_back(relay, std::vector<direction*>{&up}, &shared);
            threads.emplace_back(relay, std::vector<direction*>{&down}, &shared);
        }
        std::printf("varnholt-pathemu: ready: %s %s <-> %s %s, up %s, down %s\n", names[0].c_str(),
                    addrs[0].c_str(), names[1].c_str(), addrs[1].c_str(), opts.up.text.c_str(),
                    opts.down.text.c_str());
        std::fflush(stdout);
        int signal_number = 0;
        sigwait(&ending, &signal_number);
        shared.stop = true;
        const uint64_t one = 1;
        if (write(shared.stop_fd, &one, sizeof(one)) < 0) {
            // The relays also see the flag at their next deadline, within a second.
        }
        for (std::thread& t : threads)
            t.join();
    }
    // The TUN devices go with their descriptors; the namespaces made here go too.
    for (int i = 0; i < 2; i++) {
        if (tun[i] >= 0)
            close(tun[i]);
        if (ns_fd[i] >= 0)
            close(ns_fd[i]);
        if (created[i]) {
            delete_netns(names[i]);
            forget_created(names[i]);
        }
    }
    return code;
}
