// The latency control channel: statistics requests beside the load and their documents.
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace vh_client {

namespace {

std::string control_error(const std::string& what) {
    return "control connection: statistics document: " + what;
}

bool flush_request(control_channel& ch, std::string* error) {
    while (!ch.out.empty()) {
        ssize_t n = conn_write(ch.io, ch.out.data(), ch.out.size());
        if (n > 0) {
            ch.out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        } else {
            *error = control_error("request: " + io_error_text(errno));
            return false;
        }
    }
    return true;
}

// Takes a complete reply out of `in` when there is one.
bool take_document(control_channel& ch, time_point now, std::string* error) {
    reply_head head;
    std::string why;
    parse_state st = parse_reply_head(ch.in, &head, &why);
    if (st == parse_state::malformed) {
        *error = control_error(why);
        return false;
    }
    if (st == parse_state::incomplete)
        return true;
    if (head.status != 200) {
        *error = control_error("unexpected \"" + head.status_line + "\" (expected 200)");
        return false;
    }
    if (head.content_length < 0) {
        *error = control_error("no Content-Length");
        return false;
    }
    if (static_cast<unsigned long long>(head.content_length) > ch.max_document) {
        *error = control_error("Content-Length " + std::to_string(head.content_length) +
                               " is more than this test's samples can take (" +
                               std::to_string(ch.max_document) + " bytes)");
        return false;
    }
    size_t body = static_cast<size_t>(head.content_length);
    if (ch.in.size() < head.length + body)
        return true;
    if (ch.in.size() > head.length + body) {
        *error = control_error("unexpected bytes after the document");
        return false;
    }
    latency_document doc;
    if (!parse_latency_document(std::string_view(ch.in).substr(head.length, body), &doc, &why)) {
        *error = control_error(why);
        return false;
    }
    if (doc.connections.size() != ch.connections) {
        *error = control_error(std::to_string(doc.connections.size()) + " connections instead of " +
                               std::to_string(ch.connections));
        return false;
    }
    fetch_record f;
    f.elapsed_s = seconds_between(ch.origin, now);
    for (const auto& samples : doc.connections)
        f.samples.push_back(samples.size());
    // The server only ever appends samples (and every document has the same connections).
    if (!ch.fetches.empty()) {
        const std::vector<size_t>& before = ch.fetches.back().samples;
        for (size_t i = 0; i < before.size(); i++) {
            if (f.samples[i] < before[i]) {
                *error = control_error("connection " + std::to_string(i) + " has fewer samples (" +
                                       std::to_string(f.samples[i]) +
                                       ") than in the previous document (" +
                                       std::to_string(before[i]) + ")");
                return false;
            }
        }
    }
    f.load = ch.load;
    ch.fetches.push_back(f);
    if (ch.hooks != nullptr && ch.hooks->fetch)
        ch.hooks->fetch(f, doc);
    ch.last = std::move(doc);
    ch.in.clear();
    ch.awaiting = false;
    ch.next_fetch = after_seconds(now, ch.every_s);
    return true;
}

} // namespace

unsigned long long max_statistics_document(const client_options& o) {
    // The load lasts its duration (or the upload's rules) plus the waits around it; the server
    // samples from the first data to the end. A sample is at most about 330 bytes of text.
    double load_s =
        o.latency_upload
            ? static_cast<double>(o.max_warmup_samples * o.warmup_sample_time_ms) / 1000.0 +
                  static_cast<double>(o.result_num_intervals * o.results_interval_period_s)
            : o.duration_s;
    double seconds = load_s + 6 * o.timeout_s + 10;
    double samples = seconds * 1000.0 / static_cast<double>(o.latency_interval_ms) + 16;
    double bytes = static_cast<double>(o.connections + 1) * samples * 400 + (64 << 10);
    return static_cast<unsigned long long>(std::min(bytes, double(512ll << 20)));
}

short control_events(const control_channel& ch) {
    return static_cast<short>(POLLIN | (ch.out.empty() ? 0 : POLLOUT));
}

time_point control_wakeup(const control_channel& ch) {
    return ch.awaiting ? after_seconds(ch.sent_at, ch.timeout_s) : ch.next_fetch;
}

bool control_step(control_channel& ch, short revents, time_point now, std::string* error) {
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
        char buf[65536];
        ssize_t n = conn_read(ch.io, buf, sizeof(buf));
        if (n > 0) {
            if (!ch.awaiting) {
                *error = control_error("bytes from the server that nothing asked for");
                return false;
            }
            ch.in.append(buf, static_cast<size_t>(n));
            if (!take_document(ch, now, error))
                return false;
        } else if (n == 0 || errno == ECONNRESET) {
            *error = control_error("the server closed the control connection");
            return false;
        } else if (errno != EAGAIN && errno != EINTR) {
            *error = control_error(io_error_text(errno));
            return false;
        }
    }
    if ((revents & POLLOUT) && !flush_request(ch, error))
        return false;
    if (ch.awaiting && now >= after_seconds(ch.sent_at, ch.timeout_s)) {
        *error = control_error(timed_out_text(ch.timeout_s));
        return false;
    }
    if (!ch.awaiting && now >= ch.next_fetch) {
        ch.awaiting = true;
        ch.sent_at = now;
        ch.out = ch.request;
        if (!flush_request(ch, error))
            return false;
    }
    return true;
}

bool control_fetch_now(control_channel& ch, std::string* error) {
    // A request already in flight was asked before now: its answer does not count.
    size_t wanted = ch.fetches.size() + (ch.awaiting ? 2 : 1);
    for (;;) {
        time_point now = mono_clock::now();
        if (!ch.awaiting) {
            if (ch.fetches.size() >= wanted)
                return true;
            ch.next_fetch = now;
        }
        if (!control_step(ch, 0, now, error))
            return false;
        pollfd p{ch.io.fd, control_events(ch), 0};
        if (poll(&p, 1, poll_ms(now, control_wakeup(ch))) < 0 && errno != EINTR) {
            *error = control_error("poll: " + errno_text(errno));
            return false;
        }
        if (!control_step(ch, p.revents, mono_clock::now(), error))
            return false;
    }
}

} // namespace vh_client
