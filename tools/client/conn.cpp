// Connections of the client, plain or over TLS (OpenSSL), behind one set of non-blocking calls.
#include "conn.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vh_client {

namespace {

// The failure behind the last EPROTO of this thread.
thread_local std::string last_tls_error;

// The reason of the earliest error in OpenSSL's queue of this thread, which is emptied.
std::string take_openssl_error(const char* fallback) {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return fallback;
    if (ERR_SYSTEM_ERROR(e))
        return errno_text(ERR_GET_REASON(e));
    if (const char* reason = ERR_reason_error_string(e))
        return reason;
    char buf[256];
    ERR_error_string_n(e, buf, sizeof(buf));
    return buf;
}

// Maps a failed SSL_read/SSL_write/SSL_shutdown to errno; always -1.
ssize_t fail_io(const conn& c, int rc, int reset_errno) {
    const int saved = errno;
    switch (SSL_get_error(c.ssl, rc)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        errno = EAGAIN;
        break;
    case SSL_ERROR_SYSCALL:
        ERR_clear_error();
        errno = saved != 0 ? saved : reset_errno;
        break;
    case SSL_ERROR_ZERO_RETURN:
        errno = reset_errno;
        break;
    default:
        last_tls_error = "TLS: " + take_openssl_error("protocol error");
        errno = EPROTO;
        break;
    }
    return -1;
}

int ssl_len(size_t n) {
    return static_cast<int>(std::min<size_t>(n, INT_MAX));
}

ssize_t tls_read(conn& c, char* buf, size_t n) {
    size_t got = 0;
    // Whole records while there is room for one: none stays decrypted and unseen by poll().
    while (got == 0 || n - got >= TLS_RECORD) {
        errno = 0;
        ERR_clear_error();
        int rc = SSL_read(c.ssl, buf + got, ssl_len(n - got));
        if (rc > 0) {
            got += static_cast<size_t>(rc);
            continue;
        }
        if (got > 0) // the end or an error shows again at the next call
            return static_cast<ssize_t>(got);
        if (SSL_get_error(c.ssl, rc) == SSL_ERROR_ZERO_RETURN)
            return 0;
        return fail_io(c, rc, ECONNRESET);
    }
    return static_cast<ssize_t>(got);
}

bool is_ip_literal(const std::string& host) {
    unsigned char addr[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), addr) == 1 ||
           inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

} // namespace

ssize_t conn_read(conn& c, char* buf, size_t n) {
    if (c.ssl == nullptr)
        return recv(c.fd, buf, n, MSG_DONTWAIT);
    return tls_read(c, buf, n);
}

ssize_t conn_discard(conn& c, char* scratch, size_t n) {
    if (c.ssl == nullptr)
        return recv(c.fd, nullptr, 1 << 30, MSG_TRUNC | MSG_DONTWAIT);
    return tls_read(c, scratch, n);
}

ssize_t conn_write(conn& c, const char* data, size_t n) {
    if (c.ssl == nullptr)
        return send(c.fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    // One record a call (partial writes); as many as the socket takes now.
    size_t done = 0;
    while (done < n) {
        errno = 0;
        ERR_clear_error();
        int rc = SSL_write(c.ssl, data + done, ssl_len(n - done));
        if (rc <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : fail_io(c, rc, EPIPE);
        done += static_cast<size_t>(rc);
    }
    return static_cast<ssize_t>(done);
}

int conn_shutdown_write(conn& c) {
    if (c.ssl != nullptr) {
        errno = 0;
        ERR_clear_error();
        int rc = SSL_shutdown(c.ssl); // 0: our close_notify is sent, the peer's still to come
        if (rc < 0 && (fail_io(c, rc, EPIPE), errno != EAGAIN))
            return -1;
    }
    return shutdown(c.fd, SHUT_WR);
}

void conn_close(conn& c) {
    if (c.ssl != nullptr)
        SSL_free(c.ssl);
    if (c.fd >= 0)
        close(c.fd);
    c = conn{};
}

bool send_all_before(conn& c, std::string_view data, time_point deadline, std::string* error) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = conn_write(c, data.data() + sent, data.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            *error = io_error_text(errno);
            return false;
        }
        time_point now = mono_clock::now();
        if (now >= deadline) {
            *error = "the server accepts no data (timed out)";
            return false;
        }
        pollfd p{c.fd, POLLOUT, 0};
        poll(&p, 1, poll_ms(now, deadline));
    }
    return true;
}

bool tls_client_init(const tls_settings& s, const std::string& host, tls_client* out,
                     std::string* error) {
    *out = tls_client{};
    if (!s.enabled)
        return true;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        *error = "TLS: " + take_openssl_error("cannot make a context");
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A stream that ends without close_notify ends like a TCP stream: what the protocol
    // itself delimits (the stats message, the results' empty line) says whether it is whole.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    static const unsigned char ALPN[] = "\x08http/1.1";
    bool ok = SSL_CTX_set_alpn_protos(ctx, ALPN, sizeof(ALPN) - 1) == 0;
    if (!ok)
        *error = "TLS: cannot offer ALPN";
    if (ok && !s.insecure) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        if (!s.ca_file.empty()) {
            ok = SSL_CTX_load_verify_locations(ctx, s.ca_file.c_str(), nullptr) == 1;
            if (!ok)
                *error = "--ca-file: cannot load \"" + s.ca_file +
                         "\": " + take_openssl_error("no certificate in it");
        } else {
            ok = SSL_CTX_set_default_verify_paths(ctx) == 1;
            if (!ok)
                *error = "TLS: cannot load the system's trusted certificates: " +
                         take_openssl_error("unknown error");
        }
    } else if (ok) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    if (!ok) {
        SSL_CTX_free(ctx);
        return false;
    }
    out->ctx = ctx;
    out->host = host;
    out->host_is_ip = is_ip_literal(host);
    return true;
}

void tls_client_free(tls_client* t) {
    if (t->ctx != nullptr)
        SSL_CTX_free(t->ctx);
    t->ctx = nullptr;
}

bool tls_handshake(conn& c, const tls_client& t, time_point deadline, std::string* error) {
    ERR_clear_error();
    c.ssl = SSL_new(t.ctx);
    if (c.ssl == nullptr || SSL_set_fd(c.ssl, c.fd) != 1) {
        *error = take_openssl_error("cannot make a session");
        return false;
    }
    // The name (or address) the certificate must bear; a name is also sent as SNI.
    bool named = t.host_is_ip
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c.ssl), t.host.c_str()) == 1
                     : SSL_set_tlsext_host_name(c.ssl, t.host.c_str()) == 1 &&
                           SSL_set1_host(c.ssl, t.host.c_str()) == 1;
    if (!named) {
        *error = "cannot check the certificate against \"" + t.host +
                 "\": " + take_openssl_error("bad name");
        return false;
    }
    for (;;) {
        errno = 0;
        ERR_clear_error();
        int rc = SSL_connect(c.ssl);
        if (rc == 1)
            return true;
        const int saved = errno;
        short events = 0;
        switch (SSL_get_error(c.ssl, rc)) {
        case SSL_ERROR_WANT_READ:
            events = POLLIN;
            break;
        case SSL_ERROR_WANT_WRITE:
            events = POLLOUT;
            break;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            *error = saved != 0 ? errno_text(saved)
                                : "the server closed the connection during the handshake";
            return false;
        default: {
            long verify = SSL_get_verify_result(c.ssl);
            std::string why = take_openssl_error("protocol error");
            *error = verify != X509_V_OK ? std::string("certificate verify failed: ") +
                                               X509_verify_cert_error_string(verify)
                                         : why;
            return false;
        }
        }
        time_point now = mono_clock::now();
        if (now >= deadline) {
            *error = "no answer (timed out)";
            return false;
        }
        pollfd p{c.fd, events, 0};
        if (poll(&p, 1, poll_ms(now, deadline)) < 0 && errno != EINTR) {
            *error = "poll: " + errno_text(errno);
            return false;
        }
    }
}

void tls_describe(const conn& c, std::string* version, std::string* cipher) {
    if (c.ssl == nullptr)
        return;
    *version = SSL_get_version(c.ssl);
    const SSL_CIPHER* cs = SSL_get_current_cipher(c.ssl);
    *cipher = cs != nullptr ? SSL_CIPHER_get_name(cs) : "";
}

std::string io_error_text(int err) {
    return err == EPROTO && !last_tls_error.empty() ? last_tls_error : errno_text(err);
}

} // namespace vh_client
