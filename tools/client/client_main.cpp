// varnholt-client: the command line, then one test against a server and its report.
#include "plot.h"
#include "progress.h"
#include "report.h"
#include "runners.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <random>
#include <string>
#include <ctime>
#include <unistd.h>

using namespace vh_client;

namespace {

const char* const USAGE =
    "usage: varnholt-client download|upload|latency|bidir [options] [https://]HOST[:PORT]\n"
    "\n"
    "Runs one speed test against the server at HOST (a name, an IPv4 address or an IPv6\n"
    "address, in brackets when a port follows; port 80 unless given, 443 over TLS).\n"
    "\n"
    "  -c, --connections=N         test connections (default 4), each way in a bidir test\n"
    "  -d, --duration=SECONDS      length of a download, also in a latency test (default 10)\n"
    "  -t, --timeout=SECONDS       limit of every wait: connecting, each reply, any silence\n"
    "                              of the server (default 10)\n"
    "      --unit-id=N             unit id, 1 to 4294967295 (default: random)\n"
    "      --session-id=N          session id, 0 to 4294967295 (default: random)\n"
    "      --token=STRING          signed test token the server demands, sent with every\n"
    "                              request as ACCESS_TOKEN= (default: none)\n"
    "      --tls                   every connection over TLS (as with an https:// server);\n"
    "                              the server's certificate must be valid for HOST\n"
    "      --ca-file=FILE          trust the certificates in FILE (PEM) instead of the\n"
    "                              system's store\n"
    "      --insecure              accept any certificate of the server\n"
    "      --json                  print one JSON document instead of the text report\n"
    "      --json-stream           print one JSON object per line as the test runs (each\n"
    "                              interval, upload sample and statistics fetch), then the\n"
    "                              JSON document as the last line\n"
    "      --plot=FILE.svg         also draw the test as an SVG picture: throughput over\n"
    "                              time, or round trips under load\n"
    "  -h, --help                  show this help\n"
    "\n"
    "upload (and latency --direction=POST; the warm-up options also find a download's\n"
    "steady state, which the client detects itself):\n"
    "      --warmup-samples=N      stable samples that end the warm-up (default 4)\n"
    "      --max-warmup-samples=N  most warm-up samples (default 20)\n"
    "      --warmup-sample-time=MS warm-up sample period in milliseconds (default 500)\n"
    "      --warmup-tolerance=PCT  spread of stable samples in percent (default 10)\n"
    "      --intervals=N           measurement intervals (default 10)\n"
    "      --interval-period=S     length of a measurement interval in seconds (default 1)\n"
    "\n"
    "bidir (a download and an upload session at once, each measured as alone; the\n"
    "upload session's id is the session id with its lowest bit flipped, its latency id too):\n"
    "      --latency               latency sessions each way (GET and POST at once), with\n"
    "                              both idle round trips measured before either load starts\n"
    "\n"
    "latency:\n"
    "      --direction=GET|POST    load direction, download or upload (default GET)\n"
    "      --latency-interval=MS   server's sampling period, 10 to 60000 ms (default 100)\n"
    "      --fetch-interval=MS     period of statistics fetches during the load (default 1000)\n"
    "      --latency-id=N          session id, at least 4294967296 (default: random)\n"
    "\n"
    "Round trips under load are the samples of the load connections taken while they\n"
    "moved data; they are compared with the idle round trip, the median of five statistics\n"
    "requests on the control connection before the load starts. Responsiveness, in round trips per "
    "minute, is 60,000 / the median\n"
    "round trip under load in milliseconds; over HTTP/1.1 it is computed from TCP's own\n"
    "round trips (the kernel's tcp_rtt), as the IETF responsiveness draft allows.\n"
    "\n"
    "Exit status: 0 done, 1 the test could not be run (refused, timed out, protocol\n"
    "error), 2 bad command line, 3 the server reported RESULT: FAIL.\n";

enum long_only {
    OPT_UNIT_ID = 1000,
    OPT_SESSION_ID,
    OPT_LATENCY_ID,
    OPT_JSON,
    OPT_JSON_STREAM,
    OPT_PLOT,
    OPT_WARMUP_SAMPLES,
    OPT_MAX_WARMUP_SAMPLES,
    OPT_WARMUP_SAMPLE_TIME,
    OPT_WARMUP_TOLERANCE,
    OPT_INTERVALS,
    OPT_INTERVAL_PERIOD,
    OPT_DIRECTION,
    OPT_LATENCY_INTERVAL,
    OPT_FETCH_INTERVAL,
    OPT_TOKEN,
    OPT_LATENCY,
    OPT_TLS,
    OPT_CA_FILE,
    OPT_INSECURE,
};

const option LONG_OPTIONS[] = {
    {"connections", required_argument, nullptr, 'c'},
    {"duration", required_argument, nullptr, 'd'},
    {"timeout", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {"unit-id", required_argument, nullptr, OPT_UNIT_ID},
    {"session-id", required_argument, nullptr, OPT_SESSION_ID},
    {"latency-id", required_argument, nullptr, OPT_LATENCY_ID},
    {"json", no_argument, nullptr, OPT_JSON},
    {"json-stream", no_argument, nullptr, OPT_JSON_STREAM},
    {"plot", required_argument, nullptr, OPT_PLOT},
    {"warmup-samples", required_argument, nullptr, OPT_WARMUP_SAMPLES},
    {"max-warmup-samples", required_argument, nullptr, OPT_MAX_WARMUP_SAMPLES},
    {"warmup-sample-time", required_argument, nullptr, OPT_WARMUP_SAMPLE_TIME},
    {"warmup-tolerance", required_argument, nullptr, OPT_WARMUP_TOLERANCE},
    {"intervals", required_argument, nullptr, OPT_INTERVALS},
    {"interval-period", required_argument, nullptr, OPT_INTERVAL_PERIOD},
    {"direction", required_argument, nullptr, OPT_DIRECTION},
    {"latency-interval", required_argument, nullptr, OPT_LATENCY_INTERVAL},
    {"fetch-interval", required_argument, nullptr, OPT_FETCH_INTERVAL},
    {"token", required_argument, nullptr, OPT_TOKEN},
    {"latency", no_argument, nullptr, OPT_LATENCY},
    {"tls", no_argument, nullptr, OPT_TLS},
    {"ca-file", required_argument, nullptr, OPT_CA_FILE},
    {"insecure", no_argument, nullptr, OPT_INSECURE},
    {nullptr, 0, nullptr, 0},
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "varnholt-client: %s\nTry 'varnholt-client --help'.\n", message.c_str());
    return 2;
}

// A whole number in [lo, hi], digits only.
bool parse_whole(const char* text, unsigned long long lo, unsigned long long hi,
                 unsigned long long* out) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool parse_seconds(const char* text, double* out) {
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0) || v > 86400)
        return false;
    *out = v;
    return true;
}

struct parsed_command {
    client_options opts;
    bool json = false;
    bool json_stream = false;
    std::string plot; // file to write the SVG picture to
};

// Fills *cmd from argv; 0, or the exit status to end with (help or a usage error).
int parse_command_line(int argc, char** argv, parsed_command* cmd, bool* done) {
    client_options& o = cmd->opts;
    bool unit_set = false, session_set = false, latency_id_set = false;
    std::random_device rd;
    opterr = 0; // getopt's own messages would make the error two lines
    int c;
    while ((c = getopt_long(argc, argv, "c:d:t:h", LONG_OPTIONS, nullptr)) != -1) {
        unsigned long long v = 0;
        auto whole = [&](const char* name, unsigned long long lo, unsigned long long hi) {
            if (parse_whole(optarg, lo, hi, &v))
                return true;
            usage_error(std::string("--") + name + ": expected a whole number from " +
                        std::to_string(lo) + " to " + std::to_string(hi) + ", got \"" + optarg +
                        "\"");
            return false;
        };
        switch (c) {
        case 'c':
            if (!whole("connections", 1, 256))
                return 2;
            o.connections = v;
            break;
        case 'd':
            if (!parse_seconds(optarg, &o.duration_s))
                return usage_error(std::string("--duration: expected seconds, got \"") + optarg +
                                   "\"");
            break;
        case 't':
            if (!parse_seconds(optarg, &o.timeout_s))
                return usage_error(std::string("--timeout: expected seconds, got \"") + optarg +
                                   "\"");
            break;
        case 'h':
            std::fputs(USAGE, stdout);
            *done = true;
            return 0;
        case OPT_UNIT_ID:
            if (!whole("unit-id", 1, UINT32_MAX))
                return 2;
            o.unit_id = static_cast<uint32_t>(v);
            unit_set = true;
            break;
        case OPT_SESSION_ID:
            if (!whole("session-id", 0, UINT32_MAX))
                return 2;
            o.session_id = static_cast<uint32_t>(v);
            session_set = true;
            break;
        case OPT_LATENCY_ID:
            if (!whole("latency-id", 1ull << 32, UINT64_MAX))
                return 2;
            o.latency_id = v;
            latency_id_set = true;
            break;
        case OPT_JSON:
            cmd->json = true;
            break;
        case OPT_JSON_STREAM:
            cmd->json = true;
            cmd->json_stream = true;
            break;
        case OPT_PLOT:
            if (*optarg == '\0')
                return usage_error("--plot: expected a file name");
            cmd->plot = optarg;
            break;

        case OPT_WARMUP_SAMPLES:
            if (!whole("warmup-samples", 1, 10000))
                return 2;
            o.num_warmup_samples = v;
            break;
        case OPT_MAX_WARMUP_SAMPLES:
            if (!whole("max-warmup-samples", 1, 10000))
                return 2;
            o.max_warmup_samples = v;
            break;
        case OPT_WARMUP_SAMPLE_TIME:
            if (!whole("warmup-sample-time", 1, 60000))
                return 2;
            o.warmup_sample_time_ms = v;
            break;
        case OPT_WARMUP_TOLERANCE:
            if (!whole("warmup-tolerance", 0, 100))
                return 2;
            o.warmup_tolerance = static_cast<int>(v);
            break;
        case OPT_INTERVALS:
            if (!whole("intervals", 1, 10000))
                return 2;
            o.result_num_intervals = v;
            break;
        case OPT_INTERVAL_PERIOD:
            if (!whole("interval-period", 1, 3600))
                return 2;
            o.results_interval_period_s = v;
            break;
        case OPT_DIRECTION:
            if (std::strcmp(optarg, "GET") == 0 || std::strcmp(optarg, "get") == 0)
                o.latency_upload = false;
            else if (std::strcmp(optarg, "POST") == 0 || std::strcmp(optarg, "post") == 0)
                o.latency_upload = true;
            else
                return usage_error(std::string("--direction: expected GET or POST, got \"") +
                                   optarg + "\"");
            break;
        case OPT_LATENCY_INTERVAL:
            if (!whole("latency-interval", 10, 60000))
                return 2;
            o.latency_interval_ms = v;
            break;
        case OPT_TOKEN: {
            // A compact JWS: base64url parts joined by dots, nothing a query could not carry.
            const std::string token = optarg;
            if (token.empty() || token.size() > 2048 ||
                token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                        "0123456789-_.") != std::string::npos)
                return usage_error("--token: expected a signed token (letters, digits, \"-\", "
                                   "\"_\" and \".\")");
            o.token = token;
            break;
        }
        case OPT_LATENCY:
            o.bidir_latency = true;
            break;
        case OPT_TLS:
            o.tls = true;
            break;
        case OPT_CA_FILE:
            if (*optarg == '\0')
                return usage_error("--ca-file: expected a file name");
            o.ca_file = optarg;
            break;
        case OPT_INSECURE:
            o.tls_insecure = true;
            break;
        case OPT_FETCH_INTERVAL:
            if (!whole("fetch-interval", 1, 600000))
                return 2;
            o.fetch_interval_ms = v;
            break;
        default:
            return usage_error(std::string(optopt != 0 ? std::string("-") + char(optopt)
                                                       : std::string(argv[optind - 1])) +
                               ": unknown option or missing value");
        }
    }
    if (argc - optind != 2)
        return usage_error("expected a test (download, upload, latency or bidir) and a server");
    std::string kind = argv[optind];
    if (kind == "download")
        o.kind = test_kind::download;
    else if (kind == "upload")
        o.kind = test_kind::upload;
    else if (kind == "latency")
        o.kind = test_kind::latency;
    else if (kind == "bidir")
        o.kind = test_kind::bidir;
    else
        return usage_error("unknown test \"" + kind + "\" (download, upload, latency or bidir)");
    if (o.bidir_latency && o.kind != test_kind::bidir)
        return usage_error("--latency: only for a bidir test (a latency test is \"latency\")");
    o.server_text = argv[optind + 1];
    std::string why;
    if (!parse_target(o.server_text, &o.server, &why, o.tls))
        return usage_error(why);
    o.tls = o.tls || o.server.https;
    if (!o.tls && (o.tls_insecure || !o.ca_file.empty()))
        return usage_error(std::string(o.tls_insecure ? "--insecure" : "--ca-file") +
                           ": only over TLS (--tls or an https:// server)");
    if (o.max_warmup_samples < o.num_warmup_samples)
        return usage_error("--max-warmup-samples must not be less than --warmup-samples");
    if (!unit_set)
        do
            o.unit_id = rd();
        while (o.unit_id == 0);
    if (!session_set)
        o.session_id = rd();
    if (!latency_id_set)
        o.latency_id = (uint64_t{rd() | 1u} << 32) | rd();
    return 0;
}

// Descriptors 0 to 2 are taken by /dev/null where the caller left them closed. Else the
// picture's file or a connection would take one of them, and the report, the stream's lines or
// an error line would be written into it.
void hold_standard_descriptors() {
    int fd = 0;
    while (fd <= 2 && (fd = open("/dev/null", O_RDWR)) >= 0) {
    }
    if (fd > 2)
        close(fd);
}

} // namespace

int main(int argc, char** argv) {
    hold_standard_descriptors();
    // Every send says MSG_NOSIGNAL; this covers anything else that writes to a socket.
    signal(SIGPIPE, SIG_IGN);
    parsed_command cmd;
    bool done = false;
    int rc = parse_command_line(argc, argv, &cmd, &done);
    if (rc != 0 || done)
        return rc;

    // The picture's file is opened first: a test is not run for a picture that cannot be kept.
    FILE* plot = nullptr;
    if (!cmd.plot.empty() && (plot = std::fopen(cmd.plot.c_str(), "w")) == nullptr)
        return usage_error("--plot: cannot write \"" + cmd.plot + "\": " + std::strerror(errno));

    progress_meter progress;
    progress.enabled = isatty(STDERR_FILENO) == 1;
    test_report report;
    std::string error;
    live_hooks stream;
    if (cmd.json_stream)
        stream = json_stream_hooks(stdout);
    if (run_test(cmd.opts, &progress, cmd.json_stream ? &stream : nullptr, &report, &error) != 0) {
        std::fprintf(stderr, "varnholt-client: %s\n", error.c_str());
        if (cmd.json)
            std::printf("%s\n", json_error(cmd.opts, error).c_str());
        if (plot != nullptr) {
            std::fclose(plot);
            std::remove(cmd.plot.c_str());
        }
        return 1;
    }
    if (plot != nullptr) {
        char date[64] = "";
        time_t now = time(nullptr);
        tm utc{};
        strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", gmtime_r(&now, &utc));
        std::string svg = svg_plot(report, date);
        bool written = std::fwrite(svg.data(), 1, svg.size(), plot) == svg.size();
        if (std::fclose(plot) != 0 || !written) {
            std::fprintf(stderr, "varnholt-client: --plot: cannot write \"%s\": %s\n",
                         cmd.plot.c_str(), std::strerror(errno));
            return 1;
        }
    }
    if (cmd.json)
        std::printf("%s\n", json_report(report).c_str());
    else
        print_text_report(report, stdout);
    bool upload = cmd.opts.kind == test_kind::upload || cmd.opts.kind == test_kind::bidir ||
                  (cmd.opts.kind == test_kind::latency && cmd.opts.latency_upload);
    return upload && !report.upload.results.ok ? 3 : 0;
}
