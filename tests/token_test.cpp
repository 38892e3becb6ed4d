// Signed test tokens: the verifier on its own, and a server that demands them, over real
// sockets, with its keys made and its tokens signed by varnholt-token.
#include "metrics.h"
#include "test_support.h"
#include "token.h"
#include "token_sign.h"

#include <atomic>
#include <csignal>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <thread>
#include <unistd.h>

using namespace vh_test;

namespace {

const std::string AUDIENCE = "speed.example";

struct key_pair {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    ~key_pair() {
        EVP_PKEY_free(key);
    }
    std::string public_pem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        std::string pem(data, static_cast<size_t>(n));
        BIO_free(bio);
        return pem;
    }
};

std::string claims(int64_t exp, const std::string& aud = "\"" + AUDIENCE + "\"",
                   const std::string& more = "") {
    return "{\"aud\":" + aud + ",\"exp\":" + std::to_string(exp) + more + "}";
}

struct TokenVerifier : ::testing::Test {
    std::shared_ptr<const token_keys> keys_of(const std::string& pem) {
        const std::string path = dir + "/keys.pem";
        std::ofstream(path) << pem;
        std::string why;
        return load_token_keys(path.c_str(), &why);
    }
    token_verdict verify(const token_keys& keys, const std::string& token, uint32_t unit = 7) {
        return verify_token(keys, token, AUDIENCE, unit, now);
    }
    temp_dir dir;
    key_pair old_key, new_key;
    const int64_t now = time(nullptr);
};

// Verdicts of valid, forged and malformed tokens; then the server's check on the same key file,
// a file that holds no key, and the file swapped under the workers. (A file of two keys after a
// comment: TokenServer rotates to one.)
TEST_F(TokenVerifier, VerdictsOfTokensAndKeyFilesThatRotateOrHoldNoKey) {
    const auto keys = keys_of(old_key.public_pem());
    ASSERT_NE(keys, nullptr);
    const std::string valid = sign_token(old_key.key, TOKEN_HEADER, claims(now + 60));
    const std::string aud = "\"" + AUDIENCE + "\"";
    // Claims signed by a key, and their verdict; claims of the wrong types are malformed.
    const std::tuple<const key_pair*, std::string, token_verdict> verdicts[] = {
        {&old_key, claims(now + 60, "[\"a\"," + aud + "]", ",\"unit\":7,\"iat\":1"), TOKEN_VALID},
        {&old_key, claims(now - 1), TOKEN_EXPIRED},
        {&old_key, claims(now + MAX_TOKEN_LIFETIME_S + 5), TOKEN_LIFETIME},
        {&new_key, claims(now + 60), TOKEN_SIGNATURE},
        {&old_key, claims(now + 60, "\"other.example\""), TOKEN_AUDIENCE},
        {&old_key, claims(now + 60, aud, ",\"unit\":8"), TOKEN_UNIT},
        {&old_key, R"({"aud":5,"exp":1})", TOKEN_MALFORMED},
        {&old_key, "{\"aud\":" + aud + ",\"exp\":\"soon\"}", TOKEN_MALFORMED},
        {&old_key, "{\"aud\":" + aud + "}", TOKEN_MALFORMED},
        {&old_key, claims(now + 60, "[1]"), TOKEN_MALFORMED},
        {&old_key, claims(now + 60, aud, ",\"unit\":-1"), TOKEN_MALFORMED}};
    for (const auto& [key, c, verdict] : verdicts)
        EXPECT_EQ(verify(*keys, sign_token(key->key, TOKEN_HEADER, c)), verdict) << c;

    // Tampering: claims swapped under the old signature (one by another key: above).
    const size_t dot1 = valid.find('.'), dot2 = valid.rfind('.');
    const std::string forged = valid.substr(0, dot1 + 1) +
                               base64url_encode(claims(now + 60, aud, ",\"unit\":7")) +
                               valid.substr(dot2);
    EXPECT_EQ(verify(*keys, forged), TOKEN_SIGNATURE);

    // Algorithms other than EdDSA are refused by their header, whatever signature follows (no
    // MAC is ever computed, so none keyed with the public key's own bytes can pass).
    const std::string body = base64url_encode(claims(now + 60));
    for (const auto& [header, mac] : {std::pair<std::string, std::string>{R"({"alg":"none"})", ""},
                                      {R"({"alg":"HS256","typ":"JWT"})", std::string(32, 'k')}})
        EXPECT_EQ(
            verify(*keys, base64url_encode(header) + "." + body + "." + base64url_encode(mac)),
            TOKEN_ALGORITHM)
            << header;

    // Garbage of every shape, and a 64 KiB token, never throw and are malformed.
    for (const std::string& bad :
         {std::string(), std::string("abc"), std::string("a.b"), std::string("a.b.c.d"),
          std::string("!!.!!.!!"), base64url_encode("[1]") + "." + body + ".AAAA",
          base64url_encode(R"({"alg":"EdDSA","crit":["x"]})") + "." + body + ".AAAA", valid + "A"})
        EXPECT_NE(verify(*keys, bad), TOKEN_VALID) << bad.substr(0, 80);
    EXPECT_EQ(verify(*keys, std::string(65536, 'A') + "." + body + ".AAAA"), TOKEN_MALFORMED);

    // The server's check (the plain valid token passes it) counts each refusal under its reason.
    ASSERT_EQ(start_token_check(dir.c_str(), AUDIENCE.c_str()), -1);                // a directory
    ASSERT_EQ(start_token_check((dir + "/keys.pem").c_str(), AUDIENCE.c_str()), 0); // the old key
    EXPECT_EQ(check_request_token(nullptr, 0, 7), TOKEN_MISSING);
    EXPECT_EQ(check_request_token(valid.data(), valid.size(), 7), TOKEN_VALID);
    EXPECT_NE(format_metrics().find("varnholt_token_refusals_total{reason=\"missing\"} 1\n"),
              std::string::npos);
    // A missing file: Options.EveryBadCommandLineGetsItsExactMessageAndStatusOne reads its message.
    EXPECT_EQ(keys_of("not a key\n"), nullptr);

    // Workers verify while SIGHUP swaps the set under them, the old key and the new by turns.
    std::atomic<int> failures{0};
    {
        std::vector<std::jthread> workers; // stopped and joined at the end of the block
        for (int w = 0; w < 2; w++)
            workers.emplace_back([&](std::stop_token stop) {
                while (!stop.stop_requested())
                    failures += check_request_token(valid.data(), valid.size(), 7) != TOKEN_VALID;
            });
        for (int i = 0; i < 20; i++) {
            keys_of(i % 2 == 0 ? old_key.public_pem() + new_key.public_pem()
                               : old_key.public_pem());
            reload_token_keys();
        }
    }
    EXPECT_EQ(failures.load(), 0);
}

// --- The server ----------------------------------------------------------------------

// Runs varnholt-token, which must exit with `status`; the first line it wrote.
std::string run_token_tool(const std::string& args, int status = 0) {
    int rc = -1;
    const std::string output = run_command(VH_TOKEN_PATH " " + args, &rc);
    EXPECT_EQ(rc, status) << args << ": " << output;
    return output.substr(0, output.find('\n'));
}

// A bad command line gets the usage (or the option's own line) and status 2; a key file that
// cannot be read, status 1.
TEST(TokenTool, BadCommandLinesAreRefusedWithTheirStatus) {
    for (const char* args :
         {"", "mint", "keygen only-one.pem", "sign --key", "sign --key k --audience a --ttl 86401",
          "sign --key k --audience a --ttl 0", "sign --key k --audience a --ttl 9 --unit -1",
          "sign --key k --ttl 9", "sign --key k --audience a --ttl 9 --colour red"})
        run_token_tool(args, 2);
    run_token_tool("sign --key /nonexistent --audience a --ttl 9", 1);
}

const std::string FORBIDDEN =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// One server that demands tokens: every test connection needs its own, the client carries its
// token on every request, and SIGHUP rotates the keys while a broken file keeps them.
TEST(TokenServer, TestsNeedTheirTokenOnEveryConnectionAndSighupRotatesTheKeys) {
    const temp_dir dir;
    const std::string keys = dir + "/keys.pem";
    for (const char* name : {"a", "b"})
        run_token_tool("keygen " + dir + "/" + name + ".key " + dir + "/" + name + ".pub");
    ASSERT_EQ(system(("cp " + dir + "/a.pub " + keys).c_str()), 0);
    server_process proc;
    const int port =
        start_activated(proc, options({"--token-keys", keys, "--token-audience", AUDIENCE},
                                      {{"VH_VERBOSE", "10"}}));
    ASSERT_TRUE(proc.wait_for("Tests need a token for audience", 10s)) << proc.output;
    const auto token = [&](const std::string& key, const std::string& more = "") {
        return run_token_tool("sign --key " + dir + "/" + key + ".key --audience " + AUDIENCE +
                              " --ttl 60" + more);
    };
    // The reply head to `request` on a new connection, closed then.
    const auto reply_to = [&](const std::string& request) {
        return read_reply_head(client(port, request).fd, 5s);
    };
    const std::string a = token("a", " --unit 4"), b = token("b");
    EXPECT_EQ(reply_to(download_request(11, 1, 0, "&ACCESS_TOKEN=" + a)), GET_REPLY);
    EXPECT_EQ(reply_to(upload_request(12, 1, 0, QUICK_UPLOAD, "&ACCESS_TOKEN=" + a)), CONTINUE);
    // HEAD starts nothing and stays open.
    EXPECT_EQ(reply_to(http_request("HEAD", "/x")), HEAD_REPLY);

    // Refused without a token, with another key's or another unit's; the second connection of
    // a session is checked on its own.
    const client first(port, download_request(14, 2, 0, "&ACCESS_TOKEN=" + a));
    EXPECT_EQ(read_reply_head(first.fd, 5s), GET_REPLY);
    for (const std::string& request :
         {download_request(13), http_request("GET", "/"),
          http_request("PUT", "/trace.log", "Content-Length: 3\r\n"),
          download_request(13, 1, 0, "&ACCESS_TOKEN=" + b),
          download_request(13, 1, 0, "&ACCESS_TOKEN=" + token("a", " --unit 5")),
          download_request(14, 2, 1)})
        EXPECT_TRUE(client(port, request).refused(FORBIDDEN)) << request;
    EXPECT_EQ(reply_to(download_request(14, 2, 1, "&ACCESS_TOKEN=" + a)), GET_REPLY);

    // Neither the token nor any part of its signature reaches the log, even in the debug
    // line of a request the pattern refuses.
    client(port, "GET /x?ACCESS_TOKEN=" + a + "! HTTP/1.1\r\n\r\n").rest();
    ASSERT_TRUE(proc.wait_for("ACCESS_TOKEN=<hidden>", 5s)) << proc.output;
    EXPECT_TRUE(proc.wait_for("refused: token signature verified by no key", 1s));
    EXPECT_TRUE(proc.wait_for("refused: no token", 1s));
    EXPECT_EQ(proc.output.find(a.substr(a.rfind('.') + 1)), std::string::npos);

    // varnholt-client sends its token with every request: the test connections' and the
    // latency control connection's statistics requests.
    const std::string client = std::string(VH_CLIENT_PATH) + " ";
    const std::string server = " 127.0.0.1:" + std::to_string(port) + " >/dev/null 2>&1";
    const std::string with_token = " --token=" + token("a");
    EXPECT_EQ(system((client + "download -c 2 -d 0.5" + with_token + server).c_str()), 0);
    EXPECT_EQ(system((client + "latency -c 1 -d 1" + with_token + server).c_str()), 0);
    EXPECT_NE(system((client + "download -c 2 -d 0.5 -t 2" + server).c_str()), 0);

    std::ofstream(keys) << "# rotation\n" + read_file(dir + "/a.pub") + read_file(dir + "/b.pub");
    kill(proc.pid, SIGHUP);
    ASSERT_TRUE(proc.wait_for("Token keys reloaded: 2 keys", 5s)) << proc.output;
    EXPECT_EQ(reply_to(download_request(22, 1, 0, "&ACCESS_TOKEN=" + b)), GET_REPLY);
    EXPECT_EQ(reply_to(download_request(23, 1, 0, "&ACCESS_TOKEN=" + token("a"))), GET_REPLY);

    std::ofstream(keys) << "broken\n";
    kill(proc.pid, SIGHUP);
    ASSERT_TRUE(proc.wait_for("Keeping the token keys in use", 5s)) << proc.output;
    // Still served: SIGHUP did not end it.
    EXPECT_EQ(reply_to(download_request(24, 1, 0, "&ACCESS_TOKEN=" + b)), GET_REPLY);
}

} // namespace
