// TLS: the server's context (swapped whole on SIGHUP), a connection's TLS state, the
// non-blocking handshake, the reads and writes of every handler, and the kernel TLS probe.
#include "tls.h"

#include "connection.h"
#include "sent_file.h"
#include "settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef TCP_ULP
#define TCP_ULP 31
#endif

// ---------------------------------------------------------------------------
// The context.

// The context new connections take. Workers take a reference (SSL_new) under the lock; SIGHUP
// swaps the pointer, and the old context goes with the last connection that holds it.
static std::mutex context_mutex;
static SSL_CTX* context_in_use = nullptr;
// Written at start-up, before the workers run; read without a lock afterwards.
static std::string cert_path;
static std::string key_path;
static std::atomic<bool> enabled{false};
static bool kernel_tls = false;

// TLS 1.2's suites: forward secrecy and an AEAD only. TLS 1.3's are all of that kind.
static const char TLS12_CIPHERS[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL:!SHA1";
static const char TLS13_SUITES[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// The text of the thread's last OpenSSL error (or `fallback`), and the queue emptied.
static std::string take_error(const char* fallback) {
    unsigned long code = ERR_peek_last_error();
    std::string text = fallback;
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof(buffer));
        text = buffer;
    }
    ERR_clear_error();
    return text;
}

// The one protocol both ports speak: a client offering others without it is refused; one
// offering none is served.
static int select_alpn(SSL*, const unsigned char** out, unsigned char* outlen,
                       const unsigned char* in, unsigned int inlen, void*) {
    static const unsigned char HTTP11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outlen, HTTP11, sizeof(HTTP11), in, inlen) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

// A new context for the pair, or null with *why set.
static SSL_CTX* build_context(const char* cert, const char* key, std::string* why) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *why = take_error("no memory");
        return nullptr;
    }
    uint64_t options = SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET |
                       SSL_OP_CIPHER_SERVER_PREFERENCE |
                       // A client may end its upload with a plain close, as on the plain port:
                       // the bytes counted are the same whether a close_notify came first.
                       SSL_OP_IGNORE_UNEXPECTED_EOF;
    if (kernel_tls)
        options |= SSL_OP_ENABLE_KTLS;
    SSL_CTX_set_options(ctx, options);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // A download's write that waits for the socket is retried from the file, read again into
    // the worker's buffer: the same bytes, maybe at another address.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_alpn_select_cb(ctx, select_alpn, nullptr);
    const char* failed = nullptr;
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx, TLS12_CIPHERS) != 1 ||
        SSL_CTX_set_ciphersuites(ctx, TLS13_SUITES) != 1)
        failed = "the protocol versions or suites were refused";
    else if (SSL_CTX_use_certificate_chain_file(ctx, cert) != 1)
        failed = "the certificate file holds no certificate";
    else if (SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1)
        failed = "the key file holds no key";
    else if (SSL_CTX_check_private_key(ctx) != 1)
        failed = "the key does not match the certificate";
    if (failed != nullptr) {
        *why = std::string(failed) + " (" + take_error("unknown") + ")";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool tls_probe_kernel() {
    if (FILE* list = fopen("/proc/sys/net/ipv4/tcp_available_ulp", "re")) {
        char line[256] = "";
        bool found = false;
        if (fgets(line, sizeof(line), list) != nullptr)
            for (char* word = strtok(line, " \n"); word != nullptr; word = strtok(nullptr, " \n"))
                found = found || strcmp(word, "tls") == 0;
        fclose(list);
        if (found)
            return true;
    }
    // Not listed: the module may still load on first use. A connected loopback pair asks.
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int accepted = -1;
    bool available = false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (server >= 0 && client >= 0 &&
        bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        listen(server, 1) == 0 &&
        getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
        connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        (accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC)) >= 0)
        available = setsockopt(accepted, IPPROTO_TCP, TCP_ULP, "tls", 3) == 0;
    for (int fd : {accepted, client, server})
        if (fd >= 0)
            close(fd);
    return available;
}

int start_tls(const char* cert_file, const char* key_file) {
    kernel_tls = tls_probe_kernel();
    std::string why;
    SSL_CTX* ctx = build_context(cert_file, key_file, &why);
    if (ctx == nullptr) {
        VH_LOG(LOG_ERR, "Could not use the TLS certificate %s and key %s: %s", cert_file, key_file,
               why.c_str());
        return -1;
    }
    // Absolute, so that a daemon that moved to "/" finds them again on SIGHUP.
    for (auto [path, given] : {std::pair{&cert_path, cert_file}, std::pair{&key_path, key_file}}) {
        char* absolute = realpath(given, nullptr);
        *path = absolute != nullptr ? absolute : given;
        free(absolute);
    }
    {
        std::lock_guard<std::mutex> lock(context_mutex);
        context_in_use = ctx;
    }
    enabled.store(true, std::memory_order_release);
    if (kernel_tls)
        VH_LOG(LOG_INFO, "TLS: certificate %s; downloads are encrypted by the kernel (kernel TLS)",
               cert_file);
    else
        VH_LOG(LOG_INFO,
               "TLS: certificate %s; downloads are read and encrypted by the workers (the kernel "
               "offers no kernel TLS)",
               cert_file);
    return 0;
}

void reload_tls() {
    if (!enabled.load(std::memory_order_acquire))
        return;
    std::string why;
    SSL_CTX* ctx = build_context(cert_path.c_str(), key_path.c_str(), &why);
    if (ctx == nullptr) {
        VH_LOG(LOG_WARNING, "Keeping the TLS certificate in use: could not use %s and %s: %s",
               cert_path.c_str(), key_path.c_str(), why.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(context_mutex);
        std::swap(context_in_use, ctx);
    }
    // The old context goes now, or with the last connection that took it.
    SSL_CTX_free(ctx);
    VH_LOG(LOG_INFO, "TLS certificate reloaded from %s", cert_path.c_str());
}

bool tls_enabled() {
    return enabled.load(std::memory_order_acquire);
}

bool kernel_tls_available() {
    return kernel_tls;
}

// ---------------------------------------------------------------------------
// A connection's state and handshake.

int tls_attach(connection* conn) {
    SSL* ssl = nullptr;
    {
        std::lock_guard<std::mutex> lock(context_mutex);
        if (context_in_use != nullptr)
            ssl = SSL_new(context_in_use);
    }
    auto* state = static_cast<tls_state*>(g_try_malloc0(sizeof(tls_state)));
    if (ssl == nullptr || state == nullptr || SSL_set_fd(ssl, conn->sock) != 1) {
        VH_LOG(LOG_ERR, "%ld: no TLS state for connection %d: %s", thread_tag(), conn->sock,
               take_error("no memory").c_str());
        SSL_free(ssl);
        g_free(state);
        return -1;
    }
    SSL_set_accept_state(ssl);
    state->ssl = ssl;
    conn->tls = state;
    conn->state = TLS_HANDSHAKE;
    return 0;
}

void tls_release(connection* conn) {
    if (conn->tls == nullptr)
        return;
    SSL_free(conn->tls->ssl);
    g_free(conn->tls);
    conn->tls = nullptr;
    // Nothing a connection left behind may reach the next one's errors.
    ERR_clear_error();
}

static int watch_for(int epfd, connection* conn, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = conn;
    if (epoll_ctl(epfd, EPOLL_CTL_MOD, conn->sock, &ev) != 0) {
        VH_LOG(LOG_ERR, "%ld: epoll_ctl: %s", thread_tag(), strerror(errno));
        return -1;
    }
    return 0;
}

int tls_handshake_step(int epfd, connection* conn) {
    SSL* ssl = conn->tls->ssl;
    ERR_clear_error();
    errno = 0;
    int rc = SSL_do_handshake(ssl);
    if (rc == 1) {
        conn->tls->established = true;
        conn->tls->kernel_send = BIO_get_ktls_send(SSL_get_wbio(ssl)) != 0;
        conn->state = CONNECTED;
        // The request follows on the socket: OpenSSL read no further than the handshake.
        return watch_for(epfd, conn, EPOLLIN) == 0 ? 1 : -1;
    }
    const int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        // The handshake's last flight may fill the socket: it waits for room, then for the
        // client again.
        const uint32_t events = err == SSL_ERROR_WANT_WRITE ? EPOLLOUT : EPOLLIN;
        return watch_for(epfd, conn, events) == 0 ? 0 : -1;
    }
    const int saved = errno;
    std::string why =
        take_error(err == SSL_ERROR_SYSCALL && saved != 0 ? strerror(saved) : "the client left");
    char client[INET6_ADDRSTRLEN] = "";
    format_client_address(conn->client, client, sizeof(client));
    VH_LOG_LIMITED("TLS handshake failed", LOG_INFO,
                   "%ld: connection %d from %s closed: TLS handshake failed: %s", thread_tag(),
                   conn->sock, client, why.c_str());
    return -1;
}

transport_info connection_transport(const connection* conn) {
    transport_info info{};
    if (conn->tls == nullptr)
        return info;
    info.tls = true;
    info.kernel_tls = conn->tls->kernel_send;
    const SSL* ssl = conn->tls->ssl;
    snprintf(info.version, sizeof(info.version), "%s", SSL_get_version(ssl));
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    const char* name = cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : nullptr;
    snprintf(info.cipher, sizeof(info.cipher), "%s", name != nullptr ? name : "");
    return info;
}

// ---------------------------------------------------------------------------
// Reads and writes.

// A record's worth: a read this large always takes a whole record out of OpenSSL's buffer.
static constexpr size_t TLS_RECORD = 16384;
// What one call of connection_discard reads at most: a fast sender cannot hold a worker.
static constexpr size_t DISCARD_BOUND = 4 * 1024 * 1024;
// Records a download writes per call: a little more than a plain sendfile offers at once.
static constexpr int FILE_RECORDS_PER_CALL = 16;

// The result of an SSL_read, SSL_peek or SSL_write in the terms of recv(2) and send(2).
static ssize_t io_result(SSL* ssl, int rc) {
    if (rc > 0)
        return rc;
    const int saved = errno;
    switch (SSL_get_error(ssl, rc)) {
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        ERR_clear_error();
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_SYSCALL:
        ERR_clear_error();
        errno = saved != 0 ? saved : ECONNRESET;
        return -1;
    default:
        ERR_clear_error();
        errno = EPROTO;
        return -1;
    }
}

static int clamp_int(size_t len) {
    return static_cast<int>(std::min<size_t>(len, INT_MAX));
}

ssize_t connection_recv(connection* conn, void* buffer, size_t len, bool peek) {
    if (conn->tls == nullptr)
        return recv(conn->sock, buffer, len, peek ? MSG_PEEK : 0);
    SSL* ssl = conn->tls->ssl;
    ERR_clear_error();
    errno = 0;
    return io_result(ssl, peek ? SSL_peek(ssl, buffer, clamp_int(len))
                               : SSL_read(ssl, buffer, clamp_int(len)));
}

ssize_t connection_send(connection* conn, const void* data, size_t len, int flags) {
    if (conn->tls == nullptr)
        return send(conn->sock, data, len, MSG_NOSIGNAL | flags);
    SSL* ssl = conn->tls->ssl;
    ERR_clear_error();
    errno = 0;
    return io_result(ssl, SSL_write(ssl, data, clamp_int(len)));
}

ssize_t connection_discard(connection* conn, size_t len) {
    if (conn->tls == nullptr)
        return discard_bytes(conn->sock, len);
    static thread_local char scratch[TLS_RECORD];
    const size_t bound = std::min(len, DISCARD_BOUND);
    size_t total = 0;
    while (total < bound) {
        ssize_t n = connection_recv(conn, scratch, std::min(sizeof(scratch), bound - total), false);
        if (n <= 0) {
            if (total > 0)
                break; // the end or the error shows again at the next call
            return n;
        }
        total += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(total);
}

ssize_t connection_discard_pending(connection* conn) {
    return connection_discard(conn, static_cast<size_t>(SSIZE_MAX));
}

bool connection_write_pending(const connection* conn) {
    return conn->tls != nullptr && conn->tls->file_pending > 0;
}

bool connection_has_pending(const connection* conn) {
    return conn->tls != nullptr && SSL_pending(conn->tls->ssl) > 0;
}

void connection_shutdown(connection* conn, int how) {
    if (conn->tls != nullptr && conn->tls->established &&
        (SSL_get_shutdown(conn->tls->ssl) & SSL_SENT_SHUTDOWN) == 0) {
        // One try: a socket too full for the alert leaves the client the plain end of file.
        ERR_clear_error();
        (void)SSL_shutdown(conn->tls->ssl);
        ERR_clear_error();
    }
    shutdown(conn->sock, how);
}

ssize_t connection_send_file(connection* conn, const sent_file* file, off_t* offset, size_t len) {
    if (conn->tls == nullptr)
        return sendfile(conn->sock, file->fd, offset, len);
    SSL* ssl = conn->tls->ssl;
    if (conn->tls->kernel_send) {
        ERR_clear_error();
        errno = 0;
        ossl_ssize_t n = SSL_sendfile(ssl, file->fd, *offset, len, 0);
        if (n > 0) {
            *offset += n;
            return n;
        }
        return io_result(ssl, static_cast<int>(n));
    }
    // The records of one call are read from the file with one pread, then written one record
    // per SSL_write. A record the socket took only in part is retried with the same length
    // from the same offset: the same bytes, as TLS requires of a retry. The offer is counted
    // in whole records (a record begun always goes whole).
    static thread_local char batch[TLS_RECORD * FILE_RECORDS_PER_CALL];
    const off_t left = file->size - *offset;
    if (left <= 0)
        return 0;
    const size_t pending = conn->tls->file_pending;
    size_t span = std::min(sizeof(batch), static_cast<size_t>(left));
    if (len < span)
        span = std::min(span, std::max((len + TLS_RECORD - 1) / TLS_RECORD * TLS_RECORD, pending));
    ssize_t got = pread(file->fd, batch, span, *offset);
    if (got <= 0)
        return got;
    size_t total = 0;
    while (total < static_cast<size_t>(got) && total < len) {
        size_t record = std::min(TLS_RECORD, static_cast<size_t>(got) - total);
        if (total == 0 && pending > 0)
            record = std::min(pending, static_cast<size_t>(got));
        ssize_t n = connection_send(conn, batch + total, record, 0);
        if (n <= 0) {
            conn->tls->file_pending = n < 0 && errno == EAGAIN ? record : 0;
            if (total > 0)
                break;
            return n;
        }
        conn->tls->file_pending = 0;
        *offset += n;
        total += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(total);
}
