// Sockets for the client: name resolution, bounded connects and sends, clock helpers.
#include "net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace vh_client {

bool resolve_target(const target& t, std::vector<endpoint>* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(t.host.c_str(), t.port.c_str(), &hints, &res);
    if (rc != 0) {
        *error = "cannot resolve \"" + t.host + "\": " + gai_strerror(rc);
        return false;
    }
    out->clear();
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            continue;
        endpoint ep;
        std::memcpy(&ep.addr, ai->ai_addr, ai->ai_addrlen);
        ep.len = ai->ai_addrlen;
        char host[NI_MAXHOST] = "";
        char serv[NI_MAXSERV] = "";
        getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof(host), serv, sizeof(serv),
                    NI_NUMERICHOST | NI_NUMERICSERV);
        ep.text = host;
        ep.port = std::atoi(serv);
        out->push_back(ep);
    }
    freeaddrinfo(res);
    if (out->empty()) {
        *error = "no IPv4 or IPv6 address for \"" + t.host + "\"";
        return false;
    }
    return true;
}

int connect_endpoint(const endpoint& ep, time_point deadline, std::string* error) {
    int fd = socket(ep.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "socket: " + errno_text(errno);
        return -1;
    }
    int one = 1;
    // Requests and statistics requests are single small writes: send them at once.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ep.addr), ep.len) != 0 &&
        errno != EINPROGRESS) {
        *error = errno_text(errno);
        close(fd);
        return -1;
    }
    for (;;) {
        time_point now = mono_clock::now();
        if (now >= deadline) {
            *error = "no answer (timed out)";
            close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int rc = poll(&p, 1, poll_ms(now, deadline));
        if (rc < 0 && errno != EINTR) {
            *error = "poll: " + errno_text(errno);
            close(fd);
            return -1;
        }
        if (rc > 0)
            break;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
        *error = errno_text(err);
        close(fd);
        return -1;
    }
    return fd;
}

int poll_ms(time_point now, time_point deadline, int cap_ms) {
    if (deadline <= now)
        return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, cap_ms));
}

double seconds_between(time_point from, time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

time_point after_seconds(time_point from, double seconds) {
    return from +
           std::chrono::duration_cast<mono_clock::duration>(std::chrono::duration<double>(seconds));
}

std::string timed_out_text(double seconds) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "timed out after %g s", seconds);
    return buf;
}

std::string errno_text(int err) {
    return std::strerror(err);
}

} // namespace vh_client
