// Fuzz target: the TLS port of one worker, run step by step in this thread with a clock of its
// own. A program is a client's life on one loopback connection: either raw bytes in place of a
// handshake (garbage, truncated or trickled hellos), or a real handshake followed by
// application data (requests, upload bytes, statistics requests) through TLS, raw bytes
// between the records, half-closes and reads. After every program the client closes and the
// session life time passes: the server must then hold no session, descriptor or reserved
// memory more than before.
//
// Input format: the first byte's bit 0 chooses raw (1) or a real handshake (0); then actions,
// each an opcode byte and its operands:
//
//   0 SEND len bytes...   application data through TLS (raw: the bytes themselves)
//   1 RAW len bytes...    bytes written to the socket around TLS
//   2 SHUT                close_notify and a half-close
//   3 READ                read what has arrived
//   4 TIME t              let t seconds pass on the worker's clock
//   5 REQUEST n           one of a few whole requests through TLS (PUT too)
#include "budget.h"
#include "fuzz_support.h"
#include "file_ops.h"
#include "lending.h"
#include "main_thread.h"
#include "metrics.h"
#include "sent_file.h"
#include "session.h"
#include "settings.h"
#include "timers.h"
#include "tls.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t MAX_ACTIONS = 48;
constexpr int STEPS = 8;
constexpr int64_t SECOND_NS = 1000000000;
constexpr int SESSION_LIFE_S = 60;

listen_socket listener = {EPOLL_LISTEN_SOCKET, -1, true};
int port = 0;
int epfd = -1;
GHashTable* pending = nullptr;
SSL_CTX* client_ctx = nullptr;
std::string put_log; // the PUT target, emptied when it grew

using vh_fuzz::count_fds;
using vh_fuzz::fail;

// Runs the worker until it has nothing ready, at most `steps` iterations, waiting wait_ms for
// its first event.
void run(int steps = STEPS, int wait_ms = 0) {
    for (int i = 0; i < steps; i++)
        if (!run_worker_step(epfd, pending, &listener, 1, std::chrono::seconds(SESSION_LIFE_S),
                             i == 0 ? wait_ms : 0))
            return;
}

// A self-signed P-256 certificate and its key, written where start_tls reads them.
void make_certificate(const std::string& cert, const std::string& key) {
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* x509 = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, pkey);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x509), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x509, X509_get_subject_name(x509));
    FILE* c = fopen(cert.c_str(), "we");
    FILE* k = fopen(key.c_str(), "we");
    if (pkey == nullptr || X509_sign(x509, pkey, EVP_sha256()) == 0 || c == nullptr ||
        k == nullptr || PEM_write_X509(c, x509) != 1 ||
        PEM_write_PrivateKey(k, pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("cannot make a certificate");
    fclose(c);
    fclose(k);
    X509_free(x509);
    EVP_PKEY_free(pkey);
}

void start_worker() {
    debug_level = 0;
    session_timeout = SESSION_LIFE_S;
    max_client_pending = 2;
    char tmpl[] = "/tmp/tls_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        fail("mkdtemp");
    static const std::string dir = tmpl;
    static const std::string data = dir + "/data.bin";
    int fd = open(data.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string block(64 * 1024, 'f');
    if (fd < 0 || write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
        fail("cannot write the file to send");
    close(fd);
    file_path = data.c_str();
    put_log = dir + "/put.log";
    close(open(put_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    log_directory = dir.c_str();
    file_size = static_cast<off_t>(block.size());
    if (getenv("TLS_FUZZ_VERBOSE") == nullptr)
        stderr = fopen("/dev/null", "we");
    make_certificate(dir + "/cert.pem", dir + "/key.pem");
    if (start_tls((dir + "/cert.pem").c_str(), (dir + "/key.pem").c_str()) != 0 ||
        create_session_container() != 0 || init_file_ops() != 0)
        fail("cannot start TLS, the session container or the file operations thread");
    listener.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int buffer = 16 * 1024;
    setsockopt(listener.fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener.fd, 64) != 0 ||
        getsockname(listener.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        fail("cannot listen on loopback");
    port = ntohs(addr.sin_port);
    epfd = open_worker(&listener, 1);
    pending = g_hash_table_new(g_direct_hash, g_direct_equal);
    client_ctx = SSL_CTX_new(TLS_client_method());
    if (epfd < 0 || client_ctx == nullptr)
        fail("cannot set up the worker");
}

struct reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() {
        return at < size ? data[at++] : 0;
    }
    std::string bytes(size_t n) {
        n = std::min(n, size - at);
        std::string s(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return s;
    }
};

const char* const REQUESTS[] = {
    "GET /file?CONTROL=1&UNITID=4&SESSIONID=7&NUM_CONNECTIONS=1&CONNECTION=0 HTTP/1.1\r\n\r\n",
    ("POST /up?CONTROL=1&UNITID=4&SESSIONID=8&NUM_CONNECTIONS=1&CONNECTION=0&NUM_WARMUP_SAMPLES=2"
     "&MAX_WARMUP_SAMPLES=4&WARMUP_SAMPLE_TIME=100&RESULT_NUM_INTERVALS=2&RESULTS_INTERVAL_PERIOD=1"
     " HTTP/1.1\r\n\r\n"),
    "HEAD /file HTTP/1.1\r\n\r\n",
    ("GET /lat?LATENCY_TEST=GET&LATENCY_ID=4294967700&LATENCY_INTERVAL=100&CONTROL=1&"
     "NUM_CONNECTIONS=1&CONNECTION=0 HTTP/1.1\r\n\r\n"),
    "GET /results HTTP/1.1\r\n\r\n",
    "PUT /put.log HTTP/1.1\r\nHost: test\r\n\r\n",
};

void drain(SSL* ssl, int fd) {
    char buffer[16384];
    if (ssl != nullptr)
        while (SSL_read(ssl, buffer, sizeof(buffer)) > 0) {
        }
    else
        while (recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
        }
    ERR_clear_error();
}

void run_program(reader& in) {
    const bool raw = (in.byte() & 1) != 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0)
        fail("cannot connect");
    fcntl(fd, F_SETFL, O_NONBLOCK);
    SSL* ssl = nullptr;
    if (!raw) {
        ssl = SSL_new(client_ctx);
        SSL_set_fd(ssl, fd);
        int rc = 0;
        for (int i = 0; i < 20 && (rc = SSL_connect(ssl)) != 1; i++)
            run();
        if (rc != 1)
            fail("the handshake did not complete");
    }
    run();
    for (size_t n = 0; n < MAX_ACTIONS && in.at < in.size; n++) {
        const uint8_t op = in.byte() % 6;
        if (op == 0 || op == 1 || op == 5) {
            const std::string text = op == 5 ? REQUESTS[in.byte() % 6] : in.bytes(in.byte());
            if (op != 1 && ssl != nullptr)
                SSL_write(ssl, text.data(), static_cast<int>(text.size()));
            else
                send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            ERR_clear_error();
        } else if (op == 2) {
            if (ssl != nullptr)
                SSL_shutdown(ssl);
            shutdown(fd, SHUT_WR);
            ERR_clear_error();
        } else if (op == 3) {
            drain(ssl, fd);
        } else {
            if (advance_thread_clock(static_cast<int64_t>(in.byte() % 16) * SECOND_NS) != 0)
                fail("cannot set the timer descriptor");
        }
        run();
    }
    drain(ssl, fd);
    SSL_free(ssl);
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("G_SLICE", "always-malloc", 1);
    // OpenSSL writes to its sockets with write(2): a closed peer must not end the process, as
    // the server ignores the signal too.
    signal(SIGPIPE, SIG_IGN);
    start_worker();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int start_fds = count_fds();
    // Programs of odd length lend every connection after its first reply (to this same
    // worker): a TLS connection's state travels with it.
    lend_within_worker = size % 2 == 1;
    reader in{data, size};
    run_program(in);
    run();
    for (int round = 0; round < 2; round++) {
        if (advance_thread_clock((SESSION_LIFE_S + 1) * SECOND_NS) != 0)
            fail("cannot set the timer descriptor");
        run();
    }
    release_worker_sent_file();
    struct stat st {};
    if (stat(put_log.c_str(), &st) == 0 && st.st_size > (1 << 20))
        truncate(put_log.c_str(), 0);
    int fds = count_fds();
    // A PUT waits for the file operations thread's answers: both go on for a while before a
    // difference counts as a leak.
    for (int i = 0; i < 200 && (fds != start_fds || session_count() != 0); i++) {
        run(1, 1);
        wait_file_ops_done(1000);
        fds = count_fds();
    }
    if (session_count() != 0)
        fail("a session outlived its connection and its life time");
    if (memory_reserved() != 0)
        fail("memory stayed reserved after its sessions");
    if (fds != start_fds) {
        dprintf(STDERR_FILENO, "tls_fuzz: %d descriptors open, %d at the start:\n", fds, start_fds);
        if (DIR* d = opendir("/proc/self/fd")) {
            while (dirent* e = readdir(d)) {
                char link[300], target[256] = {};
                snprintf(link, sizeof(link), "/proc/self/fd/%s", e->d_name);
                if (e->d_name[0] != '.' && readlink(link, target, sizeof(target) - 1) > 0)
                    dprintf(STDERR_FILENO, "  %s -> %s\n", e->d_name, target);
            }
            closedir(d);
        }
        fail("descriptors outlived their connection");
    }
    return 0;
}
