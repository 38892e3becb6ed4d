// The benchmark driver: starts the server under test, the reference server in both of its
// modes, nginx and an iperf3 server on loopback; measures memory with idle connections;
// then runs every throughput and rate figure in rounds, each round running the servers of
// a figure back to back in a rotating order; prints medians and ratios; and last measures
// thousands of live sessions at once (the figure "live").
//
//   vh-bench --server PATH --ref PATH --www DIR --work DIR [options]
//
// --www holds payload.bin (the file every server sends) and 1k.bin; --work receives the
// generated nginx configuration and the servers' logs. Options: --rounds N, --warmup S,
// --seconds S, --quick, --memory-conns N, --client-threads N, --only ID[,ID...] (the
// figures' ids, "memory" and "live"), --live-sessions N[,N...], --no-nginx, --no-iperf3,
// --deadline S.
#include "live.h"
#include "load.h"
#include "procs.h"

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vh_bench;

namespace {

using clock_type = std::chrono::steady_clock;

enum impl_id { VARNHOLT, REF_ONE, REF_SPREAD, NGINX, IPERF3, IMPL_COUNT };
const char* const IMPL_NAMES[IMPL_COUNT] = {"varnholt", "reference (one thread)",
                                            "reference (spreading)", "nginx", "iperf3"};

struct options {
    std::string server, ref, www, work;
    // Many short rounds rather than a few long ones: on a shared machine a burst of other
    // work spoils a run now and then, and the median of many paired ratios shrugs it off.
    int rounds = 8;
    double warmup = 0.5;
    double seconds = 1.0;
    int memory_conns = 9000;
    int client_threads = 0; // 0: each figure's own choice
    bool nginx = true;
    bool iperf3 = true;
    double deadline = 480;
    bool quick = false;
    std::vector<std::string> only;
    std::vector<int> live_sessions; // the live figure's steps; empty: its own choice
};

struct figure {
    std::string id;
    std::string label;
    load_kind kind;
    int sessions;
    int conns;
    int threads;
    impl_id reference;
    bool nginx;
    bool iperf3;
    double target;     // 0: none
    impl_id target_of; // the ratio the target applies to
    // A figure of one session spread over every worker: the figure of as many one-connection
    // sessions that its throughput is compared with, round by round (empty: none).
    std::string spread_of = "";
    // Over TLS: varnholt's TLS port against nginx's HTTPS port (no reference server, no
    // iperf3), and against the plain figure `plain_of` of the same round.
    bool tls = false;
    std::string plain_of = "";
};

struct sample {
    double value = 0; // Gbit/s, or operations per second
    double server_cores = 0;
    double client_cores = 0;
    double latency_median_us = 0;
    double latency_p99_us = 0;
    std::vector<double> server_threads; // cores per server thread, busiest first
    std::string note;
};

// The two CPUs of a virtual machine need not be alike: here one moved a stream up to 1.8
// times as fast as the other with the same server. A one-session figure would then
// compare CPUs rather than servers whenever the two sessions landed on different ones. So
// for these figures both servers run confined to one CPU, the same one in a round, and
// the CPU alternates from round to round.
constexpr int PINNED_CPUS = 2;

struct pinned_server {
    pid_t pid = -1;
    int port = 0;
};

struct server_set {
    pid_t pid[IMPL_COUNT] = {-1, -1, -1, -1, -1};
    int port[IMPL_COUNT] = {0, 0, 0, 0, 0};
    bool available[IMPL_COUNT] = {false, false, false, false, false};
    std::vector<int> cpus;                   // the CPUs the confined servers use
    pinned_server varnholt_on[PINNED_CPUS];  // varnholt confined to cpus[i]
    pinned_server reference_on[PINNED_CPUS]; // the reference confined to cpus[i]
    // For the TLS figures: varnholt with a TLS port alone, confined as above, and nginx's
    // HTTPS port, with one self-signed certificate.
    pinned_server varnholt_tls_on[PINNED_CPUS];
    pinned_server nginx_tls_on[PINNED_CPUS]; // one worker, confined to cpus[i] like varnholt

    std::string cert, key;
};

double elapsed_s(clock_type::time_point since) {
    return std::chrono::duration<double>(clock_type::now() - since).count();
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tail_of(const std::string& text, size_t n) {
    return text.size() <= n ? text : text.substr(text.size() - n);
}

std::string load_average() {
    std::string text = read_text("/proc/loadavg");
    std::istringstream in(text);
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

std::string command_output(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[512];
    while (fgets(buf, sizeof(buf), p) != nullptr)
        out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

bool executable_exists(const std::string& name) {
    return !command_output("command -v " + name + " 2>/dev/null").empty();
}

// ---------------------------------------------------------------------------
// Servers.

pid_t start_with_listener(const std::vector<std::string>& argv, const std::string& log, int* port,
                          int cpu = -1) {
    int fd = listen_loopback(port);
    if (fd < 0)
        return -1;
    spawn_options o;
    o.argv = argv;
    o.listen_fd = fd;
    o.log_path = log;
    o.unset_env = {"VH_VERBOSE"};
    o.cpu = cpu;
    pid_t pid = spawn(o);
    close(fd);
    return pid;
}

// nginx serving the payload on `port` (plain) or `tls_port` (HTTPS), whichever is not 0.
// `confined`: one worker, which runs where the process was started; otherwise a worker per
// CPU, each pinned.
std::string write_nginx_config(const options& opt, const std::string& name, int port, int tls_port,
                               bool confined, const server_set& s) {
    std::string dir = opt.work + "/" + name;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/tmp").c_str(), 0755);
    std::ofstream conf(dir + "/nginx.conf");
    // Workers pinned like the server's, sendfile, no access log: nginx at its fastest for
    // static files, with room for the idle connections of the memory figure.
    conf << "user root;\n"
         << (confined ? "worker_processes 1;\n"
                      : "worker_processes auto;\nworker_cpu_affinity auto;\n")
         << "worker_rlimit_nofile 20000;\n"
            "daemon off;\n"
            "master_process on;\n"
            "pid "
         << dir << "/nginx.pid;\n"
         << "error_log " << dir << "/error.log crit;\n"
         << "events { worker_connections 19000; }\n"
            "http {\n"
            "  access_log off;\n"
            "  default_type application/octet-stream;\n"
            "  sendfile on;\n"
            "  tcp_nopush on;\n"
            "  keepalive_timeout 300s;\n"
            "  keepalive_requests 100000000;\n"
            "  client_body_temp_path "
         << dir << "/tmp/body;\n"
         << "  proxy_temp_path " << dir << "/tmp/proxy;\n"
         << "  fastcgi_temp_path " << dir << "/tmp/fastcgi;\n"
         << "  uwsgi_temp_path " << dir << "/tmp/uwsgi;\n"
         << "  scgi_temp_path " << dir << "/tmp/scgi;\n";
    if (port > 0)
        conf << "  server {\n"
                "    listen 127.0.0.1:"
             << port << " backlog=4096;\n"
             << "    root " << opt.www << ";\n"
             << "  }\n";
    // The same file over HTTPS, with the certificate and the protocol varnholt's TLS port has.
    if (tls_port > 0)
        conf << "  server {\n"
                "    listen 127.0.0.1:"
             << tls_port << " ssl backlog=4096;\n"
             << "    ssl_certificate " << s.cert << ";\n"
             << "    ssl_certificate_key " << s.key << ";\n"
             << "    ssl_protocols TLSv1.3;\n"
             << "    root " << opt.www << ";\n"
             << "  }\n";
    conf << "}\n";
    return dir;
}

// A self-signed P-256 certificate for 127.0.0.1 in the work directory.
bool make_certificate(const options& opt, server_set& s) {
    s.cert = opt.work + "/tls.crt";
    s.key = opt.work + "/tls.key";
    return std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                        "-nodes -days 2 -subj /CN=localhost "
                        "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
                        s.key + "' -out '" + s.cert + "' >/dev/null 2>&1")
                           .c_str()) == 0;
}

bool start_servers(const options& opt, bool tls, server_set& s) {
    std::string payload = opt.www + "/payload.bin";
    // The memory figure's idle connections never send a header: by default one address may
    // hold 256 of them, each for 10 s, and 4096 connections in all.
    s.pid[VARNHOLT] =
        start_with_listener({opt.server, "-f", payload, "--max-client-pending", "0",
                             "--max-client-connections", "0", "--header-timeout", "3600"},
                            opt.work + "/varnholt.log", &s.port[VARNHOLT]);
    s.pid[REF_ONE] = start_with_listener({opt.ref, "--file", payload}, opt.work + "/ref-one.log",
                                         &s.port[REF_ONE]);
    s.pid[REF_SPREAD] = start_with_listener({opt.ref, "--file", payload, "--spread"},
                                            opt.work + "/ref-spread.log", &s.port[REF_SPREAD]);
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof(allowed), &allowed);
    for (int cpu = 0; cpu < CPU_SETSIZE && s.cpus.size() < PINNED_CPUS; cpu++)
        if (CPU_ISSET(cpu, &allowed))
            s.cpus.push_back(cpu);
    for (size_t i = 0; i < s.cpus.size(); i++) {
        std::string n = std::to_string(s.cpus[i]);
        auto& v = s.varnholt_on[i];
        auto& r = s.reference_on[i];
        v.pid = start_with_listener({opt.server, "-f", payload},
                                    opt.work + "/varnholt-cpu" + n + ".log", &v.port, s.cpus[i]);
        r.pid = start_with_listener({opt.ref, "--file", payload},
                                    opt.work + "/ref-cpu" + n + ".log", &r.port, s.cpus[i]);
        if (v.pid <= 0 || r.pid <= 0 || !wait_connectable(v.port, 5000) ||
            !wait_connectable(r.port, 5000)) {
            fprintf(stderr, "could not start the servers confined to CPU %d\n", s.cpus[i]);
            return false;
        }
    }
    if (tls && !make_certificate(opt, s)) {
        fprintf(stderr, "could not make a certificate with openssl\n");
        return false;
    }
    for (size_t i = 0; tls && i < s.cpus.size(); i++) {
        auto& v = s.varnholt_tls_on[i];
        v.port = free_port();
        spawn_options o;
        o.argv = {
            opt.server, "-f",        payload, "--tls-service", std::to_string(v.port), "--tls-cert",
            s.cert,     "--tls-key", s.key};
        o.log_path = opt.work + "/varnholt-tls-cpu" + std::to_string(s.cpus[i]) + ".log";
        o.unset_env = {"VH_VERBOSE"};
        o.cpu = s.cpus[i];
        v.pid = spawn(o);
        if (v.pid <= 0 || !wait_connectable(v.port, 5000)) {
            fprintf(stderr, "could not start varnholt with a TLS port on CPU %d: %s\n", s.cpus[i],
                    tail_of(read_text(o.log_path), 600).c_str());
            return false;
        }
    }
    for (impl_id id : {VARNHOLT, REF_ONE, REF_SPREAD}) {
        s.available[id] = s.pid[id] > 0;
        if (!s.available[id]) {
            fprintf(stderr, "could not start %s\n", IMPL_NAMES[id]);
            return false;
        }
    }
    if (opt.nginx && executable_exists("nginx")) {
        s.port[NGINX] = free_port();
        std::string dir = write_nginx_config(opt, "nginx", s.port[NGINX], 0, false, s);
        spawn_options o;
        o.argv = {"nginx", "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"};
        o.log_path = opt.work + "/nginx.log";
        s.pid[NGINX] = spawn(o);
        s.available[NGINX] = s.pid[NGINX] > 0 && wait_connectable(s.port[NGINX], 5000);
        if (!s.available[NGINX])
            fprintf(stderr, "nginx did not start: %s\n",
                    tail_of(read_text(opt.work + "/nginx.log") + read_text(dir + "/error.log"), 600)
                        .c_str());
    }
    // The HTTPS figures' nginx: one worker confined to each CPU the one-session servers use.
    for (size_t i = 0; tls && s.available[NGINX] && i < s.cpus.size(); i++) {
        auto& n = s.nginx_tls_on[i];
        n.port = free_port();
        std::string name = "nginx-tls-cpu" + std::to_string(s.cpus[i]);
        std::string dir = write_nginx_config(opt, name, 0, n.port, true, s);
        spawn_options o;
        o.argv = {"nginx", "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"};
        o.log_path = opt.work + "/" + name + ".log";
        o.cpu = s.cpus[i];
        n.pid = spawn(o);
        if (n.pid <= 0 || !wait_connectable(n.port, 5000)) {
            fprintf(stderr, "nginx with an HTTPS port on CPU %d did not start: %s\n", s.cpus[i],
                    tail_of(read_text(o.log_path) + read_text(dir + "/error.log"), 600).c_str());
            return false;
        }
    }
    if (opt.iperf3 && executable_exists("iperf3")) {
        s.port[IPERF3] = free_port();
        spawn_options o;
        o.argv = {"iperf3", "-s", "-p", std::to_string(s.port[IPERF3])};
        o.log_path = opt.work + "/iperf3-server.log";
        s.pid[IPERF3] = spawn(o);
        s.available[IPERF3] = s.pid[IPERF3] > 0 && wait_connectable(s.port[IPERF3], 5000);
        if (!s.available[IPERF3])
            fprintf(stderr, "iperf3 did not start\n");
    }
    // The servers that were handed their socket accept as soon as their workers run.
    for (impl_id id : {VARNHOLT, REF_ONE, REF_SPREAD})
        if (!wait_connectable(s.port[id], 5000) || !process_alive(s.pid[id])) {
            fprintf(stderr, "%s is not answering\n", IMPL_NAMES[id]);
            return false;
        }
    return true;
}

void stop_servers(server_set& s) {
    for (int id = 0; id < IMPL_COUNT; id++)
        if (s.pid[id] > 0)
            stop_process(s.pid[id], 2000);
    for (int i = 0; i < PINNED_CPUS; i++) {
        stop_process(s.varnholt_on[i].pid, 2000);
        stop_process(s.reference_on[i].pid, 2000);
        stop_process(s.varnholt_tls_on[i].pid, 2000);
        stop_process(s.nginx_tls_on[i].pid, 2000);
    }
}

// ---------------------------------------------------------------------------
// Memory with idle connections.

struct memory_figure {
    long long idle_rss = 0;
    long long loaded_rss = 0;
    int accepted = 0;
    bool measured = false;
};

memory_figure measure_memory(pid_t pid, int port, int fds_per_conn, int count) {
    memory_figure m;
    int base_fds = tree_fd_count(pid);
    m.idle_rss = tree_rss_bytes(pid);
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
            errno != EINPROGRESS) {
            close(fd);
            break;
        }
        fds.push_back(fd);
        // Leave the server time to accept: the listening queue holds a few thousand.
        if (i % 500 == 499)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int want = base_fds + fds_per_conn * static_cast<int>(fds.size());
    auto deadline = clock_type::now() + std::chrono::seconds(15);
    int now_fds = tree_fd_count(pid);
    while (now_fds < want && clock_type::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now_fds = tree_fd_count(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m.loaded_rss = tree_rss_bytes(pid);
    m.accepted = (tree_fd_count(pid) - base_fds) / fds_per_conn;
    m.measured = m.accepted > 0;
    // Closed as a client that is done would close them: a reset connection that never sent
    // a request makes the server log a receive error.
    for (int fd : fds)
        close(fd);
    deadline = clock_type::now() + std::chrono::seconds(10);
    while (tree_fd_count(pid) > base_fds && clock_type::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return m;
}

// ---------------------------------------------------------------------------
// One run of one server for one figure.

sample from_load(const figure& f, const load_result& r) {
    sample s;
    if (f.kind == load_kind::download || f.kind == load_kind::upload)
        s.value = static_cast<double>(r.bytes) * 8.0 / r.seconds / 1e9;
    else
        s.value = static_cast<double>(r.operations) / r.seconds;
    s.server_cores = r.server_cpu_s / r.seconds;
    s.client_cores = r.client_cpu_s / r.seconds;
    s.latency_median_us = median(r.latencies_us);
    s.latency_p99_us = percentile(r.latencies_us, 99.0);
    for (double t : r.server_thread_cpu_s)
        s.server_threads.push_back(t / r.seconds);
    if (r.results_expected > 0 && r.results_ok != r.results_expected)
        s.note = "results OK on " + std::to_string(r.results_ok) + " of " +
                 std::to_string(r.results_expected) + " connections";
    return s;
}

bool run_iperf3(const options& opt, const server_set& s, const figure& f, sample* out,
                std::string* error) {
    int omit = std::max(1, static_cast<int>(std::lround(opt.warmup)));
    int secs = std::max(1, static_cast<int>(std::lround(opt.seconds)));
    std::string json_path = opt.work + "/iperf3-client.json";
    spawn_options o;
    o.argv = {"iperf3",
              "-c",
              "127.0.0.1",
              "-p",
              std::to_string(s.port[IPERF3]),
              "-t",
              std::to_string(secs),
              "-O",
              std::to_string(omit),
              "-P",
              std::to_string(f.conns),
              "-Z",
              "-J"};
    if (f.kind == load_kind::download)
        o.argv.push_back("-R");
    o.log_path = json_path;
    pid_t pid = spawn(o);
    if (pid < 0) {
        *error = "could not start the iperf3 client";
        return false;
    }
    auto deadline = clock_type::now() + std::chrono::seconds(omit + secs + 15);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (clock_type::now() >= deadline) {
            stop_process(pid, 500);
            *error = "iperf3 client timed out";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    try {
        boost::json::value doc = boost::json::parse(read_text(json_path));
        const auto& end = doc.at("end");
        out->value = end.at("sum_received").at("bits_per_second").to_number<double>() / 1e9;
        const auto& cpu = end.at("cpu_utilization_percent");
        out->client_cores = cpu.at("host_total").to_number<double>() / 100.0;
        out->server_cores = cpu.at("remote_total").to_number<double>() / 100.0;
        return out->value > 0;
    } catch (const std::exception& e) {
        *error =
            std::string("iperf3 output: ") + e.what() + ": " + tail_of(read_text(json_path), 300);
        return false;
    }
}

bool run_one(const options& opt, const server_set& s, const figure& f, impl_id impl, int round,
             sample* out, std::string* error) {
    if (impl == IPERF3)
        return run_iperf3(opt, s, f, out, error);
    load_plan plan;
    plan.kind = f.kind;
    plan.server = impl == VARNHOLT ? dialect::varnholt
                  : impl == NGINX  ? dialect::nginx
                                   : dialect::reference;
    plan.port = s.port[impl];
    pid_t pid = s.pid[impl];
    plan.tls = f.tls;
    // One-session figures: both servers confined to this round's CPU (nginx too over TLS).
    if (f.reference == REF_ONE && !s.cpus.empty() &&
        (impl == VARNHOLT || impl == REF_ONE || (f.tls && impl == NGINX))) {
        size_t i = static_cast<size_t>(round) % s.cpus.size();
        const pinned_server& p = impl == REF_ONE ? s.reference_on[i]
                                 : impl == NGINX ? s.nginx_tls_on[i]
                                 : f.tls         ? s.varnholt_tls_on[i]
                                                 : s.varnholt_on[i];
        plan.port = p.port;
        pid = p.pid;
    }
    plan.sessions = f.sessions;
    plan.conns = f.conns;
    plan.threads = opt.client_threads > 0 ? opt.client_threads : f.threads;
    plan.warmup_s = opt.warmup;
    plan.measure_s = opt.seconds;
    cpu_probe probe = [pid](double* total, std::vector<double>* threads) {
        *total = tree_cpu_seconds(pid, threads);
    };
    load_result r = run_load(plan, probe);
    if (!r.ok) {
        *error = r.error;
        return false;
    }
    *out = from_load(f, r);
    return true;
}

// ---------------------------------------------------------------------------
// Report.

std::string fmt(const char* format, double value) {
    char buf[64];
    snprintf(buf, sizeof(buf), format, value);
    return buf;
}

std::string pad(std::string text, size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

std::string value_text(const figure& f, double v) {
    if (f.kind == load_kind::download || f.kind == load_kind::upload)
        return fmt("%.1f Gbit/s", v);
    return fmt("%.0f /s", v);
}

struct figure_results {
    std::vector<sample> samples[IMPL_COUNT];
    std::vector<double> ratios[IMPL_COUNT]; // varnholt / impl, per round
    std::vector<std::string> errors;
};

std::vector<double> values_of(const std::vector<sample>& v, double sample::*field) {
    std::vector<double> out;
    for (const auto& s : v)
        out.push_back(s.*field);
    return out;
}

std::vector<impl_id> impls_of(const figure& f, const server_set& s) {
    std::vector<impl_id> impls{VARNHOLT};
    if (!f.tls)
        impls.push_back(f.reference);
    if (f.nginx && s.available[NGINX])
        impls.push_back(NGINX);
    if (f.iperf3 && s.available[IPERF3])
        impls.push_back(IPERF3);
    return impls;
}

void print_report(const std::vector<figure>& figures, std::map<std::string, figure_results>& res,
                  const server_set& s, int rounds_done) {
    printf("\n== Throughput and rates: medians of %d round%s; (x.xx) = varnholt / that server, "
           "the median of the per-round ratios\n",
           rounds_done, rounds_done == 1 ? "" : "s");
    printf("%s%s%s%s%s%s\n", pad("figure", 36).c_str(), pad("varnholt", 14).c_str(),
           pad("reference", 22).c_str(), pad("nginx", 21).c_str(), pad("iperf3", 21).c_str(),
           "target");
    for (const auto& f : figures) {
        figure_results& r = res[f.id];
        std::string line = pad(f.label, 36);
        auto cell = [&](impl_id id, size_t width) {
            if (r.samples[id].empty())
                return pad("-", width);
            std::string text = value_text(f, median(values_of(r.samples[id], &sample::value)));
            if (id != VARNHOLT) {
                text += fmt(" (%.2f)", median(r.ratios[id]));
                if (id == REF_ONE)
                    text += " 1T";
                if (id == REF_SPREAD)
                    text += " sp";
            }
            return pad(text, width);
        };
        line += cell(VARNHOLT, 14);
        line += cell(f.reference, 22);
        line += cell(NGINX, 21);
        line += cell(IPERF3, 21);
        if (f.target > 0) {
            const auto& ratios = r.ratios[f.target_of];
            std::string against = f.target_of == NGINX ? "nginx" : "ref";
            line += fmt(">= %.2f ", f.target) + against;
            if (!ratios.empty())
                line += median(ratios) >= f.target ? ": met" : ": MISSED";
        }
        printf("%s\n", line.c_str());
    }
    printf("(1T: the reference serving every connection on one thread, as one session is served "
           "by one worker; in these figures both servers are confined to one CPU, the same in a "
           "round and alternating between rounds; sp: the reference spreading connections over "
           "all workers)\n");

    // One session on every core: its throughput against as many one-connection sessions in
    // the same rounds, and how the server's CPU divided over its two busiest threads (the
    // workers; the main and file operations threads use next to nothing).
    bool spread_header = false;
    for (const auto& f : figures) {
        if (f.spread_of.empty() || res[f.id].samples[VARNHOLT].empty())
            continue;
        if (!spread_header) {
            printf("\n== One session spread over the workers: throughput / that of as many "
                   "one-connection sessions in the same round, and each of the two busiest "
                   "threads' share of the server's CPU (medians)\n");
            spread_header = true;
        }
        const auto& own = res[f.id].samples[VARNHOLT];
        auto found = res.find(f.spread_of);
        std::vector<double> ratios, first, second;
        if (found != res.end()) {
            const auto& other = found->second.samples[VARNHOLT];
            for (size_t k = 0; k < own.size() && k < other.size(); k++)
                if (other[k].value > 0)
                    ratios.push_back(own[k].value / other[k].value);
        }
        for (const auto& smp : own) {
            if (smp.server_threads.size() >= 2 && smp.server_cores > 0) {
                first.push_back(smp.server_threads[0] / smp.server_cores);
                second.push_back(smp.server_threads[1] / smp.server_cores);
            }
        }
        std::string line =
            pad(f.label, 36) + pad(value_text(f, median(values_of(own, &sample::value))), 14);
        line +=
            ratios.empty() ? pad("-", 26) : pad(fmt("%.2f of ", median(ratios)) + f.spread_of, 26);
        if (!first.empty())
            line += fmt("threads %.2f", median(first)) + fmt(" + %.2f", median(second));
        printf("%s\n", line.c_str());
    }

    // Over TLS: what encryption costs against the plain figure of the same round, and how the
    // server does against nginx over HTTPS; CPU per Gbit/s shows where the cost goes.
    bool tls_header = false;
    for (const auto& f : figures) {
        const auto& own = res[f.id].samples[VARNHOLT];
        if (!f.tls || own.empty())
            continue;
        if (!tls_header) {
            printf("\n== Over TLS (TLS 1.3, TLS_AES_128_GCM_SHA256, P-256 certificate): varnholt "
                   "over TLS / varnholt plain in the same round, / nginx over HTTPS (medians of "
                   "the per-round ratios); server cores per Gbit/s over TLS, plain, nginx\n");
            tls_header = true;
        }
        std::vector<double> to_plain, per_gbit[3];
        auto found = res.find(f.plain_of);
        const std::vector<sample>* plain =
            found != res.end() ? &found->second.samples[VARNHOLT] : nullptr;
        for (size_t k = 0; plain != nullptr && k < own.size() && k < plain->size(); k++)
            if ((*plain)[k].value > 0)
                to_plain.push_back(own[k].value / (*plain)[k].value);
        const std::vector<sample>* sets[3] = {&own, plain, &res[f.id].samples[NGINX]};
        for (int i = 0; i < 3; i++)
            for (size_t k = 0; sets[i] != nullptr && k < sets[i]->size(); k++)
                if ((*sets[i])[k].value > 0)
                    per_gbit[i].push_back((*sets[i])[k].server_cores / (*sets[i])[k].value);
        const auto& to_nginx = res[f.id].ratios[NGINX];
        std::string line =
            pad(f.label, 36) + pad(value_text(f, median(values_of(own, &sample::value))), 14);
        line += pad(to_plain.empty() ? "-" : fmt("%.2f of ", median(to_plain)) + f.plain_of, 22);
        line += pad(to_nginx.empty() ? "-" : fmt("%.2f of nginx", median(to_nginx)), 18);
        for (int i = 0; i < 3; i++)
            line += per_gbit[i].empty() ? "-  " : fmt("%.3f  ", median(per_gbit[i]));
        printf("%s\n", line.c_str());
    }

    // The spread of the paired ratios shows how far one round's noise reaches.
    printf("\n== Per-round ratios varnholt / reference (in round order)\n");
    for (const auto& f : figures) {
        const auto& ratios = res[f.id].ratios[f.reference];
        if (ratios.empty())
            continue;
        std::string line = pad(f.label, 36);
        for (double q : ratios)
            line += fmt("%.2f ", q);
        printf("%s\n", line.c_str());
    }

    printf("\n== CPU used in the measured window, in cores (server / client), medians\n");
    printf("%s%s%s%s%s\n", pad("figure", 36).c_str(), pad("varnholt", 26).c_str(),
           pad("reference", 14).c_str(), pad("nginx", 14).c_str(), "iperf3");
    for (const auto& f : figures) {
        figure_results& r = res[f.id];
        std::string line = pad(f.label, 36);
        for (impl_id id : {VARNHOLT, f.reference, NGINX, IPERF3}) {
            size_t width = id == VARNHOLT ? 26 : 14;
            if (r.samples[id].empty()) {
                line += pad("-", width);
                continue;
            }
            std::string text =
                fmt("%.2f", median(values_of(r.samples[id], &sample::server_cores))) + " / " +
                fmt("%.2f", median(values_of(r.samples[id], &sample::client_cores)));
            if (id == VARNHOLT) {
                // The split over the busiest two server threads shows whether sessions
                // were spread over the workers or piled up on one.
                std::vector<double> first, second;
                for (const auto& smp : r.samples[id]) {
                    if (smp.server_threads.size() >= 2) {
                        first.push_back(smp.server_threads[0]);
                        second.push_back(smp.server_threads[1]);
                    }
                }
                if (!first.empty())
                    text +=
                        " (" + fmt("%.2f", median(first)) + "+" + fmt("%.2f", median(second)) + ")";
            }
            line += pad(text, width);
        }
        printf("%s\n", line.c_str());
    }
    printf("(varnholt's server figure is followed by its two busiest threads; iperf3 reports its "
           "own CPU over the whole test)\n");

    bool latency_header = false;
    for (const auto& f : figures) {
        if (f.kind != load_kind::session_rate && f.kind != load_kind::head)
            continue;
        if (!latency_header) {
            printf("\n== Latency in microseconds, median / 99th percentile (medians over "
                   "rounds)\n");
            latency_header = true;
        }
        figure_results& r = res[f.id];
        std::string line = pad(f.label, 36);
        for (impl_id id : impls_of(f, s)) {
            if (r.samples[id].empty())
                continue;
            line += std::string(id == VARNHOLT ? "varnholt "
                                : id == NGINX  ? "nginx "
                                               : "ref ") +
                    fmt("%.0f", median(values_of(r.samples[id], &sample::latency_median_us))) +
                    " / " + fmt("%.0f", median(values_of(r.samples[id], &sample::latency_p99_us))) +
                    "    ";
        }
        printf("%s\n", line.c_str());
    }

    bool notes = false;
    for (const auto& f : figures) {
        figure_results& r = res[f.id];
        for (int id = 0; id < IMPL_COUNT; id++)
            for (const auto& smp : r.samples[id])
                if (!smp.note.empty()) {
                    if (!notes)
                        printf("\n== Notes\n");
                    notes = true;
                    printf("%s, %s: %s\n", f.label.c_str(), IMPL_NAMES[id], smp.note.c_str());
                }
        for (const auto& e : r.errors) {
            if (!notes)
                printf("\n== Notes\n");
            notes = true;
            printf("%s: %s\n", f.label.c_str(), e.c_str());
        }
    }
}

// The server's error lines, counted by their text without numbers: clients that reset a
// connection in the middle of a reply are expected at the end of every run.
void print_error_summary(const std::string& path) {
    std::map<std::string, int> counts;
    std::istringstream in(read_text(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("<3>", 0) != 0)
            continue;
        std::string key;
        for (char ch : line)
            if (ch < '0' || ch > '9')
                key += ch;
        counts[key]++;
    }
    if (counts.empty())
        return;
    printf("\nvarnholt's error lines (%s), by text (clients that reset a connection while "
           "a reply is due, at the end of a run, are expected):\n",
           path.c_str());
    for (const auto& [text, n] : counts)
        printf("%6d x %s\n", n, text.c_str());
}

// ---------------------------------------------------------------------------
// Live sessions: a third each of downloads, uploads and latency sessions, all open at once
// at the rates of slow lines, on a server of their own started for them; then the same
// download connections alone, from that server and from nginx, for the CPU each spends per
// delivered Gbit/s.

// Per connection 64 kB/s (512 kbit/s) down and 32 kB/s up. At the most sessions the
// descriptor limit allows here (7,300: 4,867 download and 2,433 upload connections) that is
// 3.1 Gbit/s in all, a tenth of what one loopback stream carries on these two cores. What
// the client and loopback spend goes by reads and sends (five a second on a download, ten
// on an upload), hardly by bytes: at 7,300 sessions they and the server fill both cores.
constexpr double LIVE_DOWN_RATE = 64000;
constexpr double LIVE_UP_RATE = 32000;
constexpr double LIVE_RAMP = 2500; // sessions started per second
constexpr double LIVE_SETTLE = 1.0;
// The downloads alone settle longer: a new connection's first second fills the socket
// buffers, after which a server writes what its client reads.
constexpr double LIVE_ANCHOR_SETTLE = 2.0;
constexpr int LIVE_TARGET_SESSIONS = 5000;
constexpr double LIVE_TARGET_P99_MS = 2.0;
constexpr double LIVE_TARGET_CPU_RATIO = 1.2;
// What lets every session in: no cap on sessions, none per client address, and none on
// connections of one address, whose header has not arrived or at all (all come from 127.0.0.1);
// and a memory budget that the worst cases of thousands of latency sessions fit in (they
// reserve megabytes each, and use kilobytes).
const std::vector<std::string> LIVE_SERVER_OPTIONS = {
    "--max-client-pending", "0",       "--max-client-connections", "0",
    "--max-sessions",       "0",       "--max-client-sessions",    "0",
    "--max-memory",         "1048576G"};

struct live_windows {
    double mix = 6.0; // seconds measured with every session live
    // With the downloads alone: long, since the kernel grows the servers' send buffers in
    // steps (a few seconds after the start it may take a megabyte per connection at once),
    // and a shorter window would see one server's step and not the other's.
    double anchor = 12.0;
};

struct live_step {
    int n = 0;
    long long rss_idle = 0;
    live_result mix;
    live_result anchor[2]; // varnholt, nginx
    std::string error;
};

// The server and the client each hold a descriptor per connection (the server's downloads
// share its workers' descriptors of the file): one for a download or an upload session,
// two for a latency session, four for every three sessions. What is left of the limit,
// less a margin for the processes' own descriptors.
int live_max_sessions() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
        return LIVE_TARGET_SESSIONS;
    long long usable = static_cast<long long>(lim.rlim_cur) - 300;
    return static_cast<int>(std::max(0LL, usable * 3 / 4) / 100 * 100);
}

int live_download_conns(int n) {
    return n / 3 + (n - 2 * (n / 3)); // the downloads and the latency sessions' downloads
}

double live_step_seconds(int n, live_windows w) {
    double ramp = n / LIVE_RAMP;
    // The server's start and the pauses; ramp, settle, window, and the uploads started last
    // running on to their end; the downloads alone, twice.
    double mix = ramp + LIVE_SETTLE + w.mix + ramp + 3.0;
    double downloads = live_download_conns(n) / LIVE_RAMP;
    return 3.0 + mix + 2 * (downloads + LIVE_ANCHOR_SETTLE + w.anchor + 1.5);
}

double live_plan_seconds(const std::vector<int>& ns, live_windows w) {
    double total = 0;
    for (int n : ns)
        total += live_step_seconds(n, w);
    return total;
}

// The steps and windows that fit in `seconds`: every step with full windows, else with
// short ones, else without the largest step, else the target's step alone.
std::vector<int> live_steps(double seconds, live_windows* w) {
    int most = live_max_sessions();
    std::vector<int> all;
    for (int n : {1000, LIVE_TARGET_SESSIONS})
        if (n <= most)
            all.push_back(n);
    if (all.empty() || most > all.back())
        all.push_back(most);
    std::vector<int> without_most(all.begin(), all.end() - (all.size() > 1 ? 1 : 0));
    std::vector<int> target_only{all.size() > 1 ? all[1] : all[0]};
    const live_windows shorter{3.0, 6.0};
    for (const auto& steps : {all, without_most, target_only})
        for (live_windows candidate : {live_windows{}, shorter})
            if (live_plan_seconds(steps, candidate) <= seconds) {
                *w = candidate;
                return steps;
            }
    *w = shorter;
    return target_only;
}

live_probe probe_of(pid_t pid) {
    live_probe p;
    p.cpu = [pid](double* total, std::vector<double>* threads) {
        *total = tree_cpu_seconds(pid, threads);
    };
    p.written = [pid] { return tree_written_bytes(pid); };
    p.waited = [pid] { return tree_wait_seconds(pid); };
    p.rss = [pid] { return tree_rss_bytes(pid); };
    return p;
}

live_plan live_plan_for(dialect server, int port, double window) {
    live_plan plan;
    plan.server = server;
    plan.port = port;
    plan.down_rate = LIVE_DOWN_RATE;
    plan.up_rate = LIVE_UP_RATE;
    plan.ramp_per_s = LIVE_RAMP;
    plan.settle_s = LIVE_SETTLE;
    plan.window_s = window;
    return plan;
}

live_step run_live_step(const options& opt, const server_set& servers, int n, live_windows w,
                        int index) {
    live_step step;
    step.n = n;
    int port = 0;
    std::vector<std::string> argv{opt.server, "-f", opt.www + "/payload.bin"};
    argv.insert(argv.end(), LIVE_SERVER_OPTIONS.begin(), LIVE_SERVER_OPTIONS.end());
    std::string log = opt.work + "/varnholt-live-" + std::to_string(n) + ".log";
    pid_t pid = start_with_listener(argv, log, &port);
    if (pid <= 0 || !wait_connectable(port, 5000)) {
        step.error = "the server for the live sessions did not start";
        stop_process(pid, 2000);
        return step;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    step.rss_idle = tree_rss_bytes(pid);

    live_plan mix = live_plan_for(dialect::varnholt, port, w.mix);
    mix.downloads = n / 3;
    mix.uploads = n / 3;
    mix.latency = n - 2 * (n / 3);
    step.mix = run_live(mix, probe_of(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // The download connections of the mix, alone, from both servers; the one to go first
    // alternates from step to step.
    int order[2] = {0, 1};
    if (index % 2 == 1)
        std::swap(order[0], order[1]);
    for (int which : order) {
        bool nginx = which == 1;
        if (nginx && !servers.available[NGINX])
            continue;
        live_plan plan = live_plan_for(nginx ? dialect::nginx : dialect::varnholt,
                                       nginx ? servers.port[NGINX] : port, w.anchor);
        plan.downloads = live_download_conns(n);
        plan.settle_s = LIVE_ANCHOR_SETTLE;
        plan.session_base = 3000000;
        step.anchor[which] = run_live(plan, probe_of(nginx ? servers.pid[NGINX] : pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (!process_alive(pid))
        step.error = "the server died; its log ends with: " + tail_of(read_text(log), 1500);
    stop_process(pid, 2000);
    return step;
}

// The errors of the samples taken within the window.
std::vector<double> in_window(const live_result& r, const std::vector<timed_error>& errors) {
    std::vector<double> out;
    for (const timed_error& e : errors)
        if (e.at_ns >= r.window_start_ns && e.at_ns <= r.window_end_ns)
            out.push_back(e.error_ms);
    return out;
}

std::string spread_text(const std::vector<double>& v, const char* format) {
    if (v.empty())
        return "-";
    std::string out = fmt(format, percentile(v, 50)) + " / " + fmt(format, percentile(v, 99)) +
                      " / " + fmt(format, *std::max_element(v.begin(), v.end()));
    return out + " (" + std::to_string(v.size()) + ")";
}

double gbits(const live_result& r) {
    return r.window_s > 0 ? static_cast<double>(r.down_bytes + r.up_bytes) * 8 / r.window_s / 1e9
                          : 0;
}

double cores(const live_result& r) {
    return r.window_s > 0 ? r.server_cpu_s / r.window_s : 0;
}

void print_live(const std::vector<live_step>& steps) {
    printf("\n%s%s%s%s%s%s%s%s\n", pad("sessions", 10).c_str(), pad("live", 7).c_str(),
           pad("window", 8).c_str(), pad("server cores (2 busiest thr.)", 31).c_str(),
           pad("per 1,000", 11).c_str(), pad("RSS per session", 17).c_str(),
           pad("client cores", 14).c_str(), "traffic      server waited for a CPU");
    for (const auto& s : steps) {
        if (!s.error.empty() && !s.mix.ok) {
            printf("%s%s\n", pad(std::to_string(s.n), 10).c_str(), s.error.c_str());
            continue;
        }
        const live_result& r = s.mix;
        if (!r.ok) {
            printf("%s%s\n", pad(std::to_string(s.n), 10).c_str(), r.error.c_str());
            continue;
        }
        std::string threads = r.server_thread_cpu_s.size() >= 2
                                  ? fmt(" (%.2f", r.server_thread_cpu_s[0] / r.window_s) +
                                        fmt("+%.2f)", r.server_thread_cpu_s[1] / r.window_s)
                                  : "";
        double per_session = static_cast<double>(r.rss_live - s.rss_idle) / s.n;
        printf("%s%s%s%s%s%s%s%s\n", pad(std::to_string(s.n), 10).c_str(),
               pad(std::to_string(r.live_at_end), 7).c_str(),
               pad(fmt("%.1f s", r.window_s), 8).c_str(),
               pad(fmt("%.3f", cores(r)) + threads, 31).c_str(),
               pad(fmt("%.3f", cores(r) * 1000 / s.n), 11).c_str(),
               pad(fmt("%.1f KiB", per_session / 1024), 17).c_str(),
               pad(fmt("%.3f", r.client_cpu_s / r.window_s), 14).c_str(),
               (pad(fmt("%.2f Gbit/s", gbits(r)), 13) +
                fmt("%.0f ms/s", r.server_waited_s / r.window_s * 1000))
                   .c_str());
    }
    printf("(live: sessions still running at the end of the window; RSS per session: resident "
           "memory with the sessions live less that of the idle server, over the sessions; "
           "server waited: the time its threads were ready to run but found their CPU taken "
           "(by the client, the kernel's loopback work or anything else), in ms per second "
           "of the window, all threads together)\n");

    printf("\n== Live sessions: timing error of the samples (|taken - due|), ms, p50 / p99 / max "
           "(samples taken in the window)\n");
    printf("%s%s%s%s\n", pad("sessions", 10).c_str(),
           pad("uploads: warm-up and measurement", 36).c_str(),
           pad("latency samples (missing)", 34).c_str(), "statistics replies, ms");
    for (const auto& s : steps) {
        const live_result& r = s.mix;
        if (!r.ok)
            continue;
        printf("%s%s%s%s\n", pad(std::to_string(s.n), 10).c_str(),
               pad(spread_text(in_window(r, r.sample_errors), "%.2f"), 36).c_str(),
               pad(spread_text(in_window(r, r.latency_errors), "%.0f") + " (" +
                       std::to_string(r.latency_missing) + ")",
                   34)
                   .c_str(),
               spread_text(in_window(r, r.stats_replies), "%.1f").c_str());
    }
    printf("(an upload's warm-up sample k is due (k + 1) x 100 ms after its test start, its "
           "measurement sample j (j + 1) s after its last warm-up sample, where the server "
           "arms its timer; the statistics document gives latency samples in whole ms since "
           "the session began, and not when the timer started: they are measured against the "
           "100 ms grid on which the least late of each session's samples lies; a period "
           "without a sample is missing)\n");

    printf("\n== Live downloads alone: server CPU per delivered Gbit/s\n");
    printf("%s%s%s%s\n", pad("connections", 13).c_str(),
           pad("varnholt: Gbit/s, cores, cores per Gbit/s, written", 52).c_str(),
           pad("nginx: the same", 38).c_str(), "varnholt / nginx (per written Gbit/s)");
    for (const auto& s : steps) {
        std::string line = pad(std::to_string(live_download_conns(s.n)), 13);
        for (int which : {0, 1}) {
            const live_result& r = s.anchor[which];
            std::string cell = "-";
            if (r.ok)
                cell = fmt("%.2f", gbits(r)) + ", " + fmt("%.3f", cores(r)) + ", " +
                       fmt("%.3f", cores(r) / gbits(r)) + ", " +
                       fmt("%.2f", static_cast<double>(r.server_written) /
                                       static_cast<double>(std::max<uint64_t>(1, r.down_bytes))) +
                       (r.failed > 0 ? " (" + std::to_string(r.failed) + " failed)" : "");
            else if (!r.error.empty())
                cell = r.error;
            line += pad(cell, which == 0 ? 52 : 38);
        }
        const live_result& v = s.anchor[0];
        const live_result& x = s.anchor[1];
        if (v.ok && x.ok && gbits(v) > 0 && gbits(x) > 0 && v.server_written > 0 &&
            x.server_written > 0) {
            double ratio = (cores(v) / gbits(v)) / (cores(x) / gbits(x));
            double written = (v.server_cpu_s / static_cast<double>(v.server_written)) /
                             (x.server_cpu_s / static_cast<double>(x.server_written));
            line += fmt("%.2f", ratio) + fmt(" (%.2f)", written) +
                    fmt("  target <= %.1f: ", LIVE_TARGET_CPU_RATIO) +
                    (ratio <= LIVE_TARGET_CPU_RATIO ? "met" : "MISSED");
        }
        printf("%s\n", line.c_str());
    }
    printf("(written: the bytes the server wrote in the window over those its clients read; "
           "near 1 when the window saw the server keep up with the reading, not its socket "
           "buffers being drained)\n");

    for (const auto& s : steps) {
        if (s.n != LIVE_TARGET_SESSIONS || !s.mix.ok)
            continue;
        // Each kind on its own: the latency samples, ten times as many, would hide the
        // uploads' in a common percentile.
        std::vector<double> uploads = in_window(s.mix, s.mix.sample_errors);
        std::vector<double> latency = in_window(s.mix, s.mix.latency_errors);
        double p99_uploads = percentile(uploads, 99);
        double p99_latency = percentile(latency, 99);
        bool timely = !uploads.empty() && !latency.empty() && p99_uploads <= LIVE_TARGET_P99_MS &&
                      p99_latency <= LIVE_TARGET_P99_MS;
        printf("\n%d live sessions: sample timing error p99 %.2f ms (uploads) and %.0f ms "
               "(latency), target <= %.0f ms: %s; failed sessions %d, target 0: %s\n",
               s.n, p99_uploads, p99_latency, LIVE_TARGET_P99_MS, timely ? "met" : "MISSED",
               s.mix.failed, s.mix.failed == 0 && s.mix.live_at_end == s.n ? "met" : "MISSED");
    }

    bool header = false;
    for (const auto& s : steps)
        for (int k = 0; k < 3; k++) {
            const live_result& r = k == 0 ? s.mix : s.anchor[k - 1];
            const char* what = k == 0   ? "live sessions"
                               : k == 1 ? "varnholt downloads alone"
                                        : "nginx downloads alone";
            for (const auto& [reason, count] : r.failures) {
                if (!header)
                    printf("\nFailed sessions:\n");
                header = true;
                printf("  %d, %s: %d x %s\n", s.n, what, count, reason.c_str());
            }
            if (!r.ok && !r.error.empty())
                printf("  %d, %s: %s\n", s.n, what, r.error.c_str());
        }
}

void run_live_figure(const options& opt, const server_set& servers, double seconds) {
    live_windows w;
    std::vector<int> ns = live_steps(opt.quick ? 0 : seconds, &w);
    if (opt.quick)
        ns = {1000}; // a smoke test
    if (!opt.live_sessions.empty()) {
        ns.clear();
        for (int n : opt.live_sessions)
            ns.push_back(std::min(n, live_max_sessions()));
    }
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    printf("\n== Live sessions: N at once, a third each downloads (read at %.0f kB/s, every %d "
           "ms), uploads (sent at %.0f kB/s, every %d ms; %d ms warm-up samples, %d s intervals, "
           "to the results reply) and latency sessions (%d ms samples, statistics fetched every "
           "%d ms, one download as above); segments of %d bytes and %d KiB receive buffers on "
           "the data connections; the client's threads at nice +%d\n",
           LIVE_DOWN_RATE / 1000, LIVE_DOWN_TICK_MS, LIVE_UP_RATE / 1000, LIVE_UP_TICK_MS,
           LIVE_WARMUP_SAMPLE_MS, LIVE_INTERVAL_S, LIVE_LATENCY_INTERVAL_MS, LIVE_STATS_PERIOD_MS,
           LIVE_LINE_MSS, LIVE_LINE_RCVBUF / 1024, live_plan{}.client_nice);
    std::string options_text;
    for (const auto& o : LIVE_SERVER_OPTIONS)
        options_text += " " + o;
    printf("a server of their own per N, started with%s; descriptors: %llu, so at most %d "
           "sessions; started at %.0f /s, %.0f s settling, %.0f s measured (downloads alone: "
           "%.0f s)\n",
           options_text.c_str(), static_cast<unsigned long long>(lim.rlim_cur), live_max_sessions(),
           LIVE_RAMP, LIVE_SETTLE, w.mix, w.anchor);
    fflush(stdout);
    std::vector<live_step> steps;
    for (size_t i = 0; i < ns.size(); i++) {
        printf("%d sessions ...", ns[i]);
        fflush(stdout);
        auto start = clock_type::now();
        steps.push_back(run_live_step(opt, servers, ns[i], w, static_cast<int>(i)));
        printf(" %.0f s\n", elapsed_s(start));
        fflush(stdout);
    }
    print_live(steps);
    for (int n : ns)
        print_error_summary(opt.work + "/varnholt-live-" + std::to_string(n) + ".log");
}

[[noreturn]] void usage() {
    fprintf(stderr, "usage: vh-bench --server PATH --ref PATH --www DIR --work DIR [--rounds N]\n"
                    "       [--warmup S] [--seconds S] [--quick] [--memory-conns N]\n"
                    "       [--client-threads N] [--only ID,...] [--live-sessions N,...]\n"
                    "       [--no-nginx] [--no-iperf3] [--deadline S]\n");
    exit(2);
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, sep))
        if (!item.empty())
            out.push_back(item);
    return out;
}

options parse_options(int argc, char** argv) {
    options opt;
    bool quick = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--server")
            opt.server = next();
        else if (a == "--ref")
            opt.ref = next();
        else if (a == "--www")
            opt.www = next();
        else if (a == "--work")
            opt.work = next();
        else if (a == "--rounds")
            opt.rounds = std::stoi(next());
        else if (a == "--warmup")
            opt.warmup = std::stod(next());
        else if (a == "--seconds")
            opt.seconds = std::stod(next());
        else if (a == "--memory-conns")
            opt.memory_conns = std::stoi(next());
        else if (a == "--client-threads")
            opt.client_threads = std::stoi(next());
        else if (a == "--only")
            opt.only = split(next(), ',');
        else if (a == "--live-sessions")
            for (const auto& n : split(next(), ','))
                opt.live_sessions.push_back(std::max(3, std::stoi(n)));
        else if (a == "--no-nginx")
            opt.nginx = false;
        else if (a == "--no-iperf3")
            opt.iperf3 = false;
        else if (a == "--deadline")
            opt.deadline = std::stod(next());
        else if (a == "--quick")
            quick = true;
        else
            usage();
    }
    if (opt.server.empty() || opt.ref.empty() || opt.www.empty() || opt.work.empty())
        usage();
    opt.quick = quick;
    if (quick) {
        opt.rounds = 1;
        opt.warmup = 0.3;
        opt.seconds = 1.0;
        opt.memory_conns = 2000;
    }
    opt.rounds = std::clamp(opt.rounds, 1, 50);
    opt.seconds = std::clamp(opt.seconds, 0.2, 30.0);
    opt.warmup = std::clamp(opt.warmup, 0.0, 10.0);
    opt.memory_conns = std::clamp(opt.memory_conns, 0, 9500);
    return opt;
}

// Client threads: two where there are several connections, so that the client never holds
// a connection back while serving another. An upload's sender does most of the work on
// loopback (copying into its socket, and the receiving side's TCP processing runs in its
// context too): with one thread the client, not the server, sets the figure.
std::vector<figure> all_figures() {
    using K = load_kind;
    return {
        {"down-1", "download, 1 session x 1 conn", K::download, 1, 1, 1, REF_ONE, true, true, 0.95,
         REF_ONE},
        {"down-4", "download, 1 session x 4 conns", K::download, 1, 4, 2, REF_ONE, true, true, 0.95,
         REF_ONE},
        {"down-16", "download, 1 session x 16 conns", K::download, 1, 16, 2, REF_ONE, true, true,
         0.95, REF_ONE},
        {"down-16x1", "download, 16 sessions x 1 conn", K::download, 16, 1, 2, REF_SPREAD, true,
         false, 0.90, REF_SPREAD},
        {"down-16w", "download, 1 session x 16, all CPUs", K::download, 1, 16, 2, REF_SPREAD, false,
         false, 0, VARNHOLT, "down-16x1"},
        {"up-1", "upload, 1 session x 1 conn", K::upload, 1, 1, 1, REF_ONE, false, true, 0.95,
         REF_ONE},
        {"up-4", "upload, 1 session x 4 conns", K::upload, 1, 4, 2, REF_ONE, false, true, 0.95,
         REF_ONE},
        {"up-16", "upload, 1 session x 16 conns", K::upload, 1, 16, 2, REF_ONE, false, true, 0.95,
         REF_ONE},
        {"up-16x1", "upload, 16 sessions x 1 conn", K::upload, 16, 1, 2, REF_SPREAD, false, false,
         0.90, REF_SPREAD},
        {"up-16w", "upload, 1 session x 16, all CPUs", K::upload, 1, 16, 2, REF_SPREAD, false,
         false, 0, VARNHOLT, "up-16x1"},
        // Over TLS: against the plain figures above and nginx's HTTPS port. Uploads have no
        // nginx figure, as in plain (nginx has nothing that takes a stream and discards it).
        {"tls-down-1", "TLS download, 1 session x 1 conn", K::download, 1, 1, 1, REF_ONE, true,
         false, 1.0, NGINX, "", true, "down-1"},
        {"tls-down-4", "TLS download, 1 session x 4 conns", K::download, 1, 4, 2, REF_ONE, true,
         false, 1.0, NGINX, "", true, "down-4"},
        {"tls-up-1", "TLS upload, 1 session x 1 conn", K::upload, 1, 1, 1, REF_ONE, false, false, 0,
         VARNHOLT, "", true, "up-1"},
        {"tls-up-4", "TLS upload, 1 session x 4 conns", K::upload, 1, 4, 2, REF_ONE, false, false,
         0, VARNHOLT, "", true, "up-4"},
        {"rate", "short sessions, 64 clients", K::session_rate, 0, 64, 2, REF_SPREAD, true, false,
         0.85, NGINX},
        {"head", "HEAD requests, 64 kept-open conns", K::head, 0, 64, 2, REF_SPREAD, true, false, 0,
         VARNHOLT},
    };
}

} // namespace

int main(int argc, char** argv) {
    options opt = parse_options(argc, argv);
    auto started = clock_type::now();
    signal(SIGPIPE, SIG_IGN);
    // Thousands of idle connections: take the whole descriptor allowance (the servers
    // inherit it).
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }

    std::vector<figure> figures;
    for (const auto& f : all_figures())
        if (opt.only.empty() || std::find(opt.only.begin(), opt.only.end(), f.id) != opt.only.end())
            figures.push_back(f);
    bool live =
        opt.only.empty() || std::find(opt.only.begin(), opt.only.end(), "live") != opt.only.end();
    // The live figure comes last; the rounds leave it the time it needs with full windows.
    double rounds_deadline = opt.deadline;
    if (live && !figures.empty()) {
        live_windows full;
        rounds_deadline -= live_plan_seconds(live_steps(1e9, &full), full) + 10;
    }

    utsname un{};
    uname(&un);
    printf(
        "varnholt benchmarks on loopback: %u CPUs, %s, kernel %s\n",
        std::thread::hardware_concurrency(),
        command_output("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'").c_str(),
        un.release);
    printf("load average at start: %s; %d round%s, %.1f s warm-up + %.1f s measured per run\n",
           load_average().c_str(), opt.rounds, opt.rounds == 1 ? "" : "s", opt.warmup, opt.seconds);

    server_set servers;
    const bool tls =
        std::any_of(figures.begin(), figures.end(), [](const figure& f) { return f.tls; });
    if (!start_servers(opt, tls, servers)) {
        stop_servers(servers);
        return 1;
    }
    if (servers.available[NGINX])
        printf("nginx: %s\n", command_output("nginx -v 2>&1").c_str());
    if (servers.available[IPERF3])
        printf("iperf3: %s\n", command_output("iperf3 --version | head -1").c_str());
    fflush(stdout);

    int status = 0;
    if (opt.memory_conns > 0 && (opt.only.empty() || std::find(opt.only.begin(), opt.only.end(),
                                                               "memory") != opt.only.end())) {
        printf("\n== Memory: resident memory of the server's processes with %d idle "
               "connections against none\n",
               opt.memory_conns);
        struct {
            impl_id id;
            int fds_per_conn;
        } subjects[] = {{VARNHOLT, 1}, {REF_SPREAD, 1}, {NGINX, 1}};
        for (const auto& subject : subjects) {
            if (!servers.available[subject.id])
                continue;
            memory_figure m = measure_memory(servers.pid[subject.id], servers.port[subject.id],
                                             subject.fds_per_conn, opt.memory_conns);
            if (!m.measured) {
                printf("%s: no connection was accepted\n", IMPL_NAMES[subject.id]);
                continue;
            }
            double per = static_cast<double>(m.loaded_rss - m.idle_rss) / m.accepted;
            printf(
                "%s%s%s%s\n", pad(IMPL_NAMES[subject.id], 24).c_str(),
                pad(fmt("idle %.1f MiB", static_cast<double>(m.idle_rss) / 1048576), 18).c_str(),
                pad(fmt("with them %.1f MiB", static_cast<double>(m.loaded_rss) / 1048576), 22)
                    .c_str(),
                (fmt("%.0f bytes per connection", per) +
                 (m.accepted != opt.memory_conns ? " (" + std::to_string(m.accepted) + " accepted)"
                                                 : "") +
                 (subject.id == VARNHOLT
                      ? (per <= 1024 ? "  target <= 1024: met" : "  target <= 1024: MISSED")
                      : ""))
                    .c_str());
        }
        printf("(descriptors: every server holds one per idle connection; %d, as when the "
               "server under test held two, keeps the figures comparable)\n",
               opt.memory_conns);
        fflush(stdout);
    }

    std::map<std::string, figure_results> results;
    int rounds_done = 0;
    double round_seconds = 0;
    for (int round = 0; round < opt.rounds && !figures.empty(); round++) {
        auto round_start = clock_type::now();
        if (round > 0 && elapsed_s(started) + round_seconds > rounds_deadline) {
            printf("\n(stopping after %d rounds: the next one would pass the time limit of %.0f "
                   "s%s)\n",
                   round, opt.deadline,
                   rounds_deadline < opt.deadline ? ", less the live sessions' share" : "");
            break;
        }
        printf("round %d/%d ...", round + 1, opt.rounds);
        fflush(stdout);
        for (const auto& f : figures) {
            std::vector<impl_id> impls = impls_of(f, servers);
            // Rotate the order every round: no server always runs first or last.
            std::rotate(impls.begin(), impls.begin() + round % static_cast<int>(impls.size()),
                        impls.end());
            double value[IMPL_COUNT] = {0, 0, 0, 0, 0};
            figure_results& r = results[f.id];
            for (impl_id id : impls) {
                sample smp;
                std::string error;
                if (run_one(opt, servers, f, id, round, &smp, &error)) {
                    value[id] = smp.value;
                    r.samples[id].push_back(smp);
                } else {
                    r.errors.push_back(std::string(IMPL_NAMES[id]) + ": " + error);
                    status = 1;
                }
                // Let the server finish the sessions of this run before the next one.
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
            for (impl_id id : impls)
                if (id != VARNHOLT && value[id] > 0 && value[VARNHOLT] > 0)
                    r.ratios[id].push_back(value[VARNHOLT] / value[id]);
        }
        for (impl_id id : {VARNHOLT, REF_ONE, REF_SPREAD})
            if (!process_alive(servers.pid[id])) {
                printf("\n%s died; its log ends with:\n%s\n", IMPL_NAMES[id],
                       tail_of(read_text(opt.work + (id == VARNHOLT  ? "/varnholt.log"
                                                     : id == REF_ONE ? "/ref-one.log"
                                                                     : "/ref-spread.log")),
                               2000)
                           .c_str());
                stop_servers(servers);
                return 1;
            }
        rounds_done++;
        round_seconds = elapsed_s(round_start);
        printf(" %.0f s\n", round_seconds);
        fflush(stdout);
    }
    if (rounds_done > 0)
        print_report(figures, results, servers, rounds_done);
    print_error_summary(opt.work + "/varnholt.log");
    if (live)
        run_live_figure(opt, servers, opt.deadline - elapsed_s(started));
    stop_servers(servers);
    printf("\nload average at the end: %s; the run took %.0f s\n", load_average().c_str(),
           elapsed_s(started));
    return status;
}
