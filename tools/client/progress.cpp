// The live progress line and the number formats shared with the report.
#include "progress.h"

namespace vh_client {

void progress_begin(progress_meter* p, time_point now, const std::string& label) {
    if (p == nullptr)
        return;
    p->label = label;
    p->start = now;
    p->last = now;
    p->last_bytes = 0;
}

void progress_tick(progress_meter* p, time_point now, uint64_t bytes) {
    if (p == nullptr || !p->enabled || p->start == time_point{})
        return;
    double since = seconds_between(p->last, now);
    if (since < 1.0)
        return;
    double rate = static_cast<double>(bytes - p->last_bytes) * 8 / since;
    std::fprintf(p->out, "\r\033[K%s: %.1f s, %s, %s", p->label.c_str(),
                 seconds_between(p->start, now), format_bytes(bytes).c_str(),
                 format_rate(rate).c_str());
    std::fflush(p->out);
    p->last = now;
    p->last_bytes = bytes;
    p->shown = true;
}

void progress_end(progress_meter* p) {
    if (p == nullptr || !p->shown)
        return;
    std::fprintf(p->out, "\r\033[K");
    std::fflush(p->out);
    p->shown = false;
}

std::string format_rate(double bps) {
    const char* units[] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    int u = 0;
    while (bps >= 1000 && u < 4) {
        bps /= 1000;
        u++;
    }
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.2f %s", bps, units[u]);
    return buf;
}

std::string format_bytes(uint64_t bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1000 && u < 4) {
        v /= 1000;
        u++;
    }
    char buf[64];
    if (u == 0)
        std::snprintf(buf, sizeof(buf), "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(buf, sizeof(buf), "%.2f %s", v, units[u]);
    return buf;
}

std::string format_us(double us) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.3f ms", us / 1000.0);
    return buf;
}

} // namespace vh_client
