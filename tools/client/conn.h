// One connection of the client, plain or over TLS, read and written with the semantics of a
// non-blocking socket; and the TLS settings every connection of a test shares.
#pragma once

#include "net.h"

#include <cstddef>
#include <openssl/types.h>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vh_client {

// A connected socket and, over TLS, its session (owned).
struct conn {
    int fd = -1;
    SSL* ssl = nullptr;
};

// Like recv(MSG_DONTWAIT): the bytes read (> 0), 0 at the end of the stream, or -1 with errno
// set (EAGAIN when nothing has arrived yet, EPROTO for a TLS failure, see tls_error_text).
// Over TLS it reads whole records for as long as `n` leaves room for one, so that nothing
// decrypted is left behind where poll() cannot see it: buffers must hold at least
// TLS_RECORD bytes.
ssize_t conn_read(conn& c, char* buf, size_t n);
// Reads and throws away what has arrived: in the kernel on a plain socket, through `scratch`
// (at least TLS_RECORD bytes) over TLS. As conn_read.
ssize_t conn_discard(conn& c, char* scratch, size_t n);
// Like send(MSG_NOSIGNAL | MSG_DONTWAIT): bytes taken, or -1 with errno set (EAGAIN when
// nothing could be taken now). Over TLS a record the socket took only in part goes out at the
// next call, which must offer at least as many bytes (it counts them as sent from there).
ssize_t conn_write(conn& c, const char* data, size_t n);
// Ends the client's sending: a close_notify over TLS, then the socket's half-close. 0 or -1
// with errno set.
int conn_shutdown_write(conn& c);
// Sends all of `data` before `deadline`; false with *error set.
bool send_all_before(conn& c, std::string_view data, time_point deadline, std::string* error);
// Frees the session and closes the socket.
void conn_close(conn& c);

// The longest plaintext of one TLS record.
constexpr size_t TLS_RECORD = 16384;

// The TLS side of a test: off, or the context every connection's session comes from and
// the name the server's certificate must bear.
struct tls_client {
    SSL_CTX* ctx = nullptr;
    std::string host;        // as given (a name or an address, IPv6 without brackets)
    bool host_is_ip = false; // checked against the certificate's addresses; no SNI
};

struct tls_settings {
    bool enabled = false;
    bool insecure = false; // no verification of the server's certificate
    std::string ca_file;   // trusted certificates; empty: the system's store
};

// Makes the context (TLS 1.2 at least, ALPN http/1.1, verification as `s` says). False with
// *error set.
bool tls_client_init(const tls_settings& s, const std::string& host, tls_client* out,
                     std::string* error);
void tls_client_free(tls_client* t);

// Runs the handshake on the connected socket of `c` before `deadline`; the session stays in
// `c`. False with *error set ("certificate verify failed: self-signed certificate").
bool tls_handshake(conn& c, const tls_client& t, time_point deadline, std::string* error);
// The protocol version and cipher suite of an established session ("TLSv1.3",
// "TLS_AES_256_GCM_SHA384").
void tls_describe(const conn& c, std::string* version, std::string* cipher);

// The text of the TLS failure behind the last EPROTO of conn_read, conn_write or
// conn_shutdown_write on this thread, or of `err` when that is another errno value.
std::string io_error_text(int err);

} // namespace vh_client
