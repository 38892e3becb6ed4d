// The TLS port of the real server: every test kind inside TLS with the plain port's bytes,
// hostile handshakes, the certificate reload on SIGHUP, and kernel TLS where the kernel has it.
#include "hardening_support.h"
#include "connection.h"
#include "sent_file.h"
#include "tls.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <thread>

using namespace vh_test;

namespace {

// A TLS client relayed onto a plain socket pair: the test reads and writes plain bytes on
// `fd` with the ordinary helpers; a thread carries them inside TLS. The test's half-close
// becomes a close_notify and a half-close of the TCP connection, the server's end an end of
// stream on `fd`.
struct tls_client {
    int fd = -1;
    int tcp = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::thread relay{};
    bool ipv6 = false; // to ::1

    ~tls_client() {
        close(fd);
        if (relay.joinable())
            relay.join();
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        close(tcp);
    }

    // Connects and completes the handshake, trusting `ca` only; false when it failed.
    bool open(int port, const std::string& ca, const char* alpn = "http/1.1", int version = 0) {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(ctx, version);
        SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        ssl = SSL_new(ctx);
        SSL_set1_host(ssl, "localhost");
        const std::string wire = alpn == nullptr ? "" : char(strlen(alpn)) + std::string(alpn);
        SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(wire.data()),
                            static_cast<unsigned>(wire.size()));
        timeval limit{10, 0};
        setsockopt(tcp = connect_loopback(port, ipv6), SOL_SOCKET, SO_RCVTIMEO, &limit,
                   sizeof(limit));
        SSL_set_fd(ssl, tcp);
        int pair[2];
        if (SSL_connect(ssl) != 1 || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
            return ERR_clear_error(), false;
        fd = pair[0];
        relay = std::thread([this, end = pair[1]] { carry(end); });
        return true;
    }

    void carry(int end) {
        bool from_test = true, from_server = true;
        char buffer[16384];
        while (from_server) {
            pollfd fds[2] = {{end, static_cast<short>(from_test ? POLLIN : 0), 0},
                             {tcp, POLLIN, 0}};
            if (SSL_pending(ssl) == 0 && poll(fds, 2, 100) <= 0)
                continue;
            if (fds[0].revents != 0) {
                ssize_t n = recv(end, buffer, sizeof(buffer), 0);
                if (n > 0 && SSL_write(ssl, buffer, static_cast<int>(n)) <= 0)
                    break;
                if (n <= 0) {
                    from_test = false;
                    SSL_shutdown(ssl);
                    shutdown(tcp, SHUT_WR);
                }
            }
            if (SSL_pending(ssl) > 0 || fds[1].revents != 0) {
                int n = SSL_read(ssl, buffer, sizeof(buffer));
                if (n <= 0 || send(end, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    from_server = false;
            }
        }
        ERR_clear_error();
        shutdown(end, SHUT_WR);
        // Until the test has read everything and closed its end.
        while (recv(end, buffer, sizeof(buffer), 0) > 0) {
        }
        close(end);
    }
};

// Where the certificates and the session logs go, removed at the end.
const temp_dir dir;

struct TlsPort : ::testing::Test {
    server_process proc;
    tls_files cert = make_test_certificate(dir);
    int port = -1;
    bool ipv6 = false; // the server's socket, and the clients', on ::1
    // The server with only a TLS port, handed over as the activated socket named "tls".
    void start(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"-d", "3", "--tls-cert", cert.cert, "--tls-key", cert.key});
        start_options opts = options(args, {{"LISTEN_FDNAMES", "tls"}});
        opts.ipv6 = ipv6;
        ASSERT_GT(port = start_activated(proc, opts), 0);
    }
    // A TLS connection that sent `request` and read `reply`.
    std::unique_ptr<tls_client> open(const std::string& request, const std::string& reply) {
        std::unique_ptr<tls_client> client(new tls_client{.ipv6 = ipv6});
        EXPECT_TRUE(client->open(port, cert.cert)) << proc.output;
        EXPECT_TRUE(send_all(client->fd, request));
        EXPECT_EQ(recv_exact(client->fd, reply.size(), 5s), reply);
        return client;
    }
};

// Downloads stream the file and end with the statistics message, uploads get their interim
// reply, HEAD its reply, a session beyond the limit its 503: the plain port's bytes, inside
// TLS 1.3 (or 1.2 when the client asks for it), and only http/1.1 is spoken. Over IPv6: the
// refusals' lines name the client as it is. (Uploads' results and latency sessions inside TLS
// are what ClientOverTls.EveryTestRunsInsideTls runs against this server.)
TEST_F(TlsPort, EveryTestKindAnswersAsOnThePlainPort) {
    ipv6 = true;
    std::filesystem::create_directory(dir + "/archive");
    start({"--max-sessions", "2", "-l", dir, "--archive-dir", dir + "/archive", "--metrics",
           "127.0.0.1:0"});
    auto head = open(http_request("HEAD", "/file"), HEAD_REPLY);

    const std::string file = read_file(test_file());
    auto down = open(download_request(11, 1, 0, "&STORE_LOG=1"), GET_REPLY);
    EXPECT_TRUE(recv_exact(down->fd, file.size() / 2, 10s) == file.substr(0, file.size() / 2));
    // Two sessions run: a third is refused.
    auto up = open(upload_request(12), CONTINUE);
    auto refused =
        open(download_request(13), "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 10");
    shutdown(down->fd, SHUT_WR);
    const std::string rest = read_until_close(down->fd, 10s);
    ASSERT_GE(rest.size(), 16u);
    EXPECT_EQ(rest.substr(rest.size() - 16, 12),
              std::string("\x01\x02\x03\x04\x05\x06\x07\x08\0\0\0\x04", 12))
        << rest.size();
    down->relay.join(); // both ends are closed: it has stopped
    EXPECT_TRUE(SSL_get_shutdown(down->ssl) & SSL_RECEIVED_SHUTDOWN) << "no close_notify";

    up.reset();
    down.reset();
    ASSERT_TRUE(proc.wait_for("session " + std::to_string((4ull << 32) + 11) + " destroyed", 5s))
        << proc.output;
    // Reported: the session log's TLS lines, the archive record's transport, the metrics.
    std::string texts;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.path().string().ends_with("_11.log") || e.path().string().ends_with(".json"))
            texts += read_file(e.path());
    EXPECT_NE(texts.find("TEST: GET\nTLS_VERSION: TLSv1.3\nTLS_CIPHER: TLS_AES_128_GCM_SHA256\n"
                         "KERNEL_TLS: "),
              std::string::npos)
        << texts;
    EXPECT_NE(texts.find("\"transport\":\"tls\",\"tls_version\":\"TLSv1.3\",\"tls_cipher\":"
                         "\"TLS_AES_128_GCM_SHA256\",\"kernel_tls\":"),
              std::string::npos);
    auto page = scrape(metrics_port(proc));
    EXPECT_EQ(page["varnholt_sessions_started_total{kind=\"download\",transport=\"tls\"}"], 1);
    for (const auto& [name, value] : page) // every info gauge (the build's, the port's) reads 1
        EXPECT_TRUE(name.find("_info{") == std::string::npos || value == 1) << name;
    EXPECT_EQ(page["varnholt_tls_info{kernel_tls=\"0\"}"] +
                  page["varnholt_tls_info{kernel_tls=\"1\"}"],
              1);

    // Another protocol is refused, no ALPN at all is served; TLS 1.2 only with ECDHE.
    tls_client other{.ipv6 = true}, v12{.ipv6 = true};
    EXPECT_FALSE(other.open(port, cert.cert, "h2"));
    ASSERT_TRUE(v12.open(port, cert.cert, nullptr, TLS1_2_VERSION));
    EXPECT_STREQ(SSL_get_version(v12.ssl), "TLSv1.2");
    EXPECT_STREQ(SSL_get_cipher_name(v12.ssl), "ECDHE-ECDSA-AES256-GCM-SHA384");
    // A header beyond the limit, 16 KiB in one whole record, is refused at once.
    EXPECT_TRUE(send_all(v12.fd, "GET /file HTTP/1.1\r\nX-Pad: " + std::string(16357, 'a')) &&
                wait_closed(v12.fd, 5s));
    EXPECT_TRUE(proc.wait_for("TLS: certificate " + cert.cert, 1s)) << proc.output;
    EXPECT_TRUE(proc.wait_for(" from ::1 refused: the limit of 2 sessions", 1s)) << proc.output;
    EXPECT_TRUE(proc.wait_for("from ::1 closed: TLS handshake failed", 1s)) << proc.output;
}

// A ClientHello trickled a byte at a time is cut at the header deadline; garbage and a
// handshake abandoned midway cost their own connection; a thousand half-open handshakes from
// one address are bounded by its cap of pending connections, and a download beside them runs,
// its bytes the file's (through kernel TLS where the kernel offers it). Then SIGHUP: new
// connections get the new certificate while that download goes on; a bad file keeps the pair
// in use.
TEST_F(TlsPort, HostileHandshakesCostOnlyTheirOwnConnectionsAndSighupReloadsTheCertificate) {
    rlimit files{4096, 4096};
    setrlimit(RLIMIT_NOFILE, &files);
    // Quiet: nobody reads its output while the connections are opened.
    start({"-d", "0", "--header-timeout", "2", "--max-client-pending", "100"});
    // A handshake record's head as a ClientHello's begins, and a body that never comes whole.
    const std::string hello = std::string("\x16\x03\x01\x02\x00", 5) + std::string(512, '\x01');

    int trickle = connect_loopback(port);
    size_t sent = 0;
    const auto begin = std::chrono::steady_clock::now();
    while (sent < hello.size() && send(trickle, hello.data() + sent, 1, MSG_NOSIGNAL) == 1 &&
           !peer_closed(trickle))
        sent++, std::this_thread::sleep_for(20ms);
    EXPECT_LT(sent, hello.size());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    close(trickle);
    const int base_fds = count_fds(proc.pid); // the workers run: the trickle was cut

    EXPECT_TRUE(
        wait_closed(client(port, "GET / HTTP/1.1\r\n\r\n" + std::string(3000, '\x17')).fd, 5s));
    close(send_new(port, hello.substr(0, hello.size() / 2))); // abandoned midway

    std::vector<int> half_open;
    for (int i = 0; i < 1000; i++) { // from 127.0.0.2: not the download's client
        ASSERT_GE(half_open.emplace_back(connect_from("127.0.0.2", "127.0.0.1", port)), 0) << i;
        send(half_open.back(), hello.data(), hello.size() / 2, MSG_NOSIGNAL);
    }
    const std::string file = read_file(test_file());
    auto down = open(download_request(21), GET_REPLY);
    EXPECT_TRUE(recv_exact(down->fd, file.size() / 2, 10s) == file.substr(0, file.size() / 2))
        << (proc.wait_for("(kernel TLS)", 1s) ? "with" : "without") << " kernel TLS";
    EXPECT_EQ(recv_exact(down->fd, 8 << 20, 10s).size(), 8u << 20);
    EXPECT_LT(count_fds(proc.pid), base_fds + 100 + 20) << describe_fds(proc.pid);
    for (int fd : half_open)
        close(fd);

    {
        const tls_files second = make_test_certificate(dir, "second");
        for (auto [made, used] : {std::pair{second.cert, cert.cert}, {second.key, cert.key}})
            std::filesystem::copy_file(made, used,
                                       std::filesystem::copy_options::overwrite_existing);
        kill(proc.pid, SIGHUP);
        ASSERT_TRUE(proc.wait_for("TLS certificate reloaded", 5s)) << proc.output;
        EXPECT_TRUE(tls_client().open(port, second.cert)); // trusting the new certificate alone
        EXPECT_EQ(recv_exact(down->fd, 4 << 20, 10s).size(), 4u << 20);
        std::ofstream(cert.cert) << "-----BEGIN CERTIFICATE-----\nbad\n-----END CERTIFICATE-----\n";
        kill(proc.pid, SIGHUP);
        ASSERT_TRUE(proc.wait_for("Keeping the TLS certificate in use", 5s)) << proc.output;
        EXPECT_TRUE(tls_client().open(port, second.cert));
        EXPECT_EQ(recv_exact(down->fd, 1 << 20, 10s).size(), 1u << 20);
    }
    down.reset();
    EXPECT_LE(settle_fds(proc, base_fds), base_fds) << describe_fds(proc.pid);
    EXPECT_TRUE(proc.wait_for("TLS handshake failed", 1s)) << proc.output;
}

// A worker's own end of a TLS connection (no server: the port's certificate) with a small send
// buffer, driven call by call: a download's record the socket takes only in part holds back
// everything else and goes whole at a later call, and the client reads the file's bytes in order,
// every one once.
TEST_F(TlsPort, ARecordCutShortGoesWholeBeforeAnythingElse) {
    ASSERT_EQ(start_tls(cert.cert.c_str(), cert.key.c_str()), 0);
    const int listener = listen_loopback(false, &port, false);
    const int tcp = connect_loopback(port, false, 8192);
    const int sock = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
    ASSERT_GE(sock, 0);
    const int small = 8192;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    timeval limit{5, 0};
    setsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));

    connection* conn = new_connection(sock);
    ASSERT_EQ(tls_attach(conn), 0);
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{EPOLLIN, {.ptr = conn}};
    epoll_ctl(epfd, EPOLL_CTL_ADD, sock, &ev);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* client = SSL_new(ctx);
    SSL_set_fd(client, tcp);
    std::thread handshake([client] { SSL_connect(client); });
    int step = 0;
    for (int i = 0; i < 500 && step == 0; i++, std::this_thread::sleep_for(2ms))
        step = tls_handshake_step(epfd, conn);
    handshake.join();
    ASSERT_EQ(step, 1);

    const std::string file = read_file(test_file());
    sent_file sent{};
    sent.fd = ::open(test_file().c_str(), O_RDONLY | O_CLOEXEC);
    sent.size = static_cast<off_t>(file.size());
    sent.refs = 1;
    off_t offset = 0;
    std::string received;
    int cut_short = 0;
    char buffer[16384];
    fcntl(tcp, F_SETFL, O_NONBLOCK); // the client takes what has arrived, whole records
    for (int i = 0; i < 20000 && received.size() < file.size(); i++) {
        const off_t before = offset;
        if (connection_send_file(conn, &sent, &offset, file.size()) < 0) {
            ASSERT_EQ(errno, EAGAIN);
            cut_short += connection_write_pending(conn) ? 1 : 0;
            EXPECT_EQ(offset, before); // nothing passed the record begun
        }
        int got = 0;
        while ((got = SSL_read(client, buffer, sizeof(buffer))) > 0)
            received.append(buffer, static_cast<size_t>(got));
        ASSERT_EQ(SSL_get_error(client, got), SSL_ERROR_WANT_READ) << received.size();
        if (offset == before)
            std::this_thread::sleep_for(100us);
    }
    EXPECT_EQ(std::tuple(cut_short > 0, connection_write_pending(conn), offset, received == file),
              std::tuple(true, false, static_cast<off_t>(file.size()), true))
        << received.size();
    EXPECT_EQ(connection_send_file(conn, &sent, &offset, file.size()), 0); // at the file's end

    SSL_free(client), SSL_CTX_free(ctx), close(tcp), close(sent.fd), close(epfd), close(listener);
    internal_destroy_connection(conn);
}

} // namespace
