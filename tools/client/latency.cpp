// The latency control channel: statistics requests beside the load and their documents.
#include "engine.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace vh_client {

namespace {

// The documents grow with every sample; this is far above any real session's.
constexpr long long MAX_DOCUMENT = 512ll << 20;

std::string control_error(const std::string& what) {
    return "control connection: statistics document: " + what;
}

bool flush_request(control_channel& ch, std::string* error) {
    while (!ch.out.empty()) {
        ssize_t n = send(ch.fd, ch.out.data(), ch.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            ch.out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        } else {
            *error = control_error("request: " + errno_text(errno));
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
    if (head.content_length < 0 || head.content_length > MAX_DOCUMENT) {
        *error = control_error(head.content_length < 0 ? "no Content-Length"
                                                       : "Content-Length too large");
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
    fetch_record f;
    f.elapsed_s = seconds_between(ch.origin, now);
    for (const auto& samples : doc.connections)
        f.samples.push_back(samples.size());
    ch.fetches.push_back(f);
    ch.last = std::move(doc);
    ch.in.clear();
    ch.awaiting = false;
    ch.next_fetch = after_seconds(now, ch.every_s);
    return true;
}

} // namespace

short control_events(const control_channel& ch) {
    return static_cast<short>(POLLIN | (ch.out.empty() ? 0 : POLLOUT));
}

time_point control_wakeup(const control_channel& ch) {
    return ch.awaiting ? after_seconds(ch.sent_at, ch.timeout_s) : ch.next_fetch;
}

bool control_step(control_channel& ch, short revents, time_point now, std::string* error) {
    if (revents & (POLLIN | POLLERR | POLLHUP)) {
        char buf[65536];
        ssize_t n = recv(ch.fd, buf, sizeof(buf), MSG_DONTWAIT);
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
            *error = control_error(errno_text(errno));
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
        pollfd p{ch.fd, control_events(ch), 0};
        if (poll(&p, 1, poll_ms(now, control_wakeup(ch))) < 0 && errno != EINTR) {
            *error = control_error("poll: " + errno_text(errno));
            return false;
        }
        if (!control_step(ch, p.revents, mono_clock::now(), error))
            return false;
    }
}

} // namespace vh_client
