// TLS: the server's context (swapped whole on SIGHUP), a connection's TLS state, the
// non-blocking handshake, and the reads and writes every handler makes on a connection,
// whichever transport carries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct connection;
struct sent_file;
typedef struct ssl_st SSL;

// A connection's TLS state; the connection record points at it (null: plain TCP). It
// travels with the record: the thread that owns the connection alone uses it.
struct tls_state {
    SSL* ssl;
    // The handshake is done: reads and writes carry application data.
    bool established;
    // The kernel encrypts what is sent (kernel TLS took over the sending direction).
    bool kernel_send;
    // A download's record the socket took only in part: the bytes of the file from the
    // connection's offset, this many, must be offered again before anything else is written.
    size_t file_pending;
};

// What a connection's transport was, for its session's log, archive record and metrics.
struct transport_info {
    bool tls;
    char version[16]; // "TLSv1.3"; empty on plain TCP
    char cipher[64];  // the suite's standard name; empty on plain TCP
    bool kernel_tls;
};

// Loads the certificate chain and key (PEM) and makes the context new connections take,
// after probing for kernel TLS (logged once: which path downloads take). Main thread, before
// the workers start. 0, or -1 (logged: why the pair was refused).
int start_tls(const char* cert_file, const char* key_file);
// Reads the pair again (SIGHUP): a good pair serves every connection accepted from now on,
// running ones keep theirs; a bad one is logged and the old pair stays. Main thread.
void reload_tls();
// True once start_tls succeeded.
bool tls_enabled();
// True when the kernel offers the "tls" upper layer, probed by start_tls (or tls_probe_kernel).
bool kernel_tls_available();
// Probes the kernel for the "tls" upper layer protocol: /proc's list, else a loopback socket
// pair that tries to take it.
bool tls_probe_kernel();

// Gives a connection accepted on a TLS port its state, in the handshake. 0, or -1 (logged).
int tls_attach(connection* conn);
// Frees the state (no close_notify: the socket is being closed). Any owner thread.
void tls_release(connection* conn);
// One step of the handshake: 1 when done, 0 when it waits for the socket (its events set
// for that), -1 when it failed (logged, limited: the peer's doing).
int tls_handshake_step(int epfd, connection* conn);
// The transport of a connection (plain TCP when it has no TLS state).
transport_info connection_transport(const connection* conn);

// A connection's reads and writes, plain or through TLS, with the results of recv(2) and
// send(2): a count, 0 at the peer's end (a close_notify or an end of file), or -1 with errno
// (EAGAIN while the transport waits for the socket). TLS errors are cleared from the thread's
// queue before these return.
ssize_t connection_recv(connection* conn, void* buffer, size_t len, bool peek);
ssize_t connection_send(connection* conn, const void* data, size_t len, int flags);
// Throws away up to `len` bytes of the peer's application data, or all there are now.
ssize_t connection_discard(connection* conn, size_t len);
ssize_t connection_discard_pending(connection* conn);
// True when a download's record waits to be written whole: nothing else may be sent first.
bool connection_write_pending(const connection* conn);
// True when TLS holds decrypted bytes the socket will not report again.
bool connection_has_pending(const connection* conn);
// Ends this side's sending (a close_notify first on TLS), like shutdown(2) with `how`.
void connection_shutdown(connection* conn, int how);
// Sends up to `len` bytes of the file from *offset (advanced by what went), as sendfile(2):
// kernel TLS or plain TCP without copying, else read into the thread's buffer and written
// through TLS. A write TLS must retry is offered the same bytes again from the same offset.
ssize_t connection_send_file(connection* conn, const sent_file* file, off_t* offset, size_t len);
