// varnholt-token: makes an Ed25519 key pair for test tokens, and signs tokens for a server.
//
//   varnholt-token keygen PRIVATE.pem PUBLIC.pem
//   varnholt-token sign --key PRIVATE.pem --audience NAME --ttl SECONDS [--unit N]
#include "token_sign.h"

#include <boost/json.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Longest life a signed token may be given; servers refuse tokens that live over 600 s.
constexpr long MAX_TTL_SECONDS = 86400;

int usage() {
    fprintf(stderr, "usage: varnholt-token keygen PRIVATE.pem PUBLIC.pem\n"
                    "       varnholt-token sign --key PRIVATE.pem --audience NAME "
                    "--ttl SECONDS [--unit N]\n");
    return 2;
}

void report_openssl(const char* what) {
    unsigned long err = ERR_get_error();
    char text[256] = "unknown error";
    if (err != 0)
        ERR_error_string_n(err, text, sizeof text);
    fprintf(stderr, "varnholt-token: %s: %s\n", what, text);
}

// Opens `path` for writing with `mode`, replacing what was there.
FILE* create_file(const char* path, mode_t mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || fchmod(fd, mode) != 0) {
        fprintf(stderr, "varnholt-token: %s: %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    return fdopen(fd, "w");
}

bool write_key(const char* path, mode_t mode, EVP_PKEY* key, bool private_part) {
    FILE* file = create_file(path, mode);
    if (file == nullptr)
        return false;
    const int written = private_part
                            ? PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr)
                            : PEM_write_PUBKEY(file, key);
    if (fclose(file) != 0 || written != 1) {
        fprintf(stderr, "varnholt-token: could not write %s\n", path);
        return false;
    }
    return true;
}

int keygen(int argc, char** argv) {
    if (argc != 4)
        return usage();
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (key == nullptr) {
        report_openssl("key generation");
        return 1;
    }
    // The private key is readable by its owner alone, from its first byte on.
    bool ok = write_key(argv[2], 0600, key, true) && write_key(argv[3], 0644, key, false);
    EVP_PKEY_free(key);
    return ok ? 0 : 1;
}

bool parse_long(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    *out = value;
    return true;
}

int sign(int argc, char** argv) {
    std::string key_path;
    std::vector<std::string> audiences;
    long ttl = -1;
    long unit = -1;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        std::string value;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return usage();
        }
        if (arg == "--key") {
            key_path = value;
        } else if (arg == "--audience") {
            audiences.push_back(value);
        } else if (arg == "--ttl") {
            if (!parse_long(value.c_str(), 1, MAX_TTL_SECONDS, &ttl)) {
                fprintf(stderr, "varnholt-token: --ttl must be 1 to %ld seconds\n",
                        MAX_TTL_SECONDS);
                return 2;
            }
        } else if (arg == "--unit") {
            if (!parse_long(value.c_str(), 0, 4294967295L, &unit)) {
                fprintf(stderr, "varnholt-token: --unit must be 0 to 4294967295\n");
                return 2;
            }
        } else {
            return usage();
        }
    }
    if (key_path.empty() || audiences.empty() || ttl < 0)
        return usage();

    FILE* file = fopen(key_path.c_str(), "r");
    if (file == nullptr) {
        fprintf(stderr, "varnholt-token: %s: %s\n", key_path.c_str(), strerror(errno));
        return 1;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    fclose(file);
    if (key == nullptr || EVP_PKEY_id(key) != EVP_PKEY_ED25519) {
        fprintf(stderr, "varnholt-token: %s holds no Ed25519 private key\n", key_path.c_str());
        EVP_PKEY_free(key);
        return 1;
    }
    const long now = static_cast<long>(time(nullptr));
    boost::json::object claims;
    if (audiences.size() == 1) {
        claims["aud"] = audiences.front();
    } else {
        boost::json::array names;
        for (const std::string& name : audiences)
            names.emplace_back(name);
        claims["aud"] = std::move(names);
    }
    claims["iat"] = now;
    claims["exp"] = now + ttl;
    if (unit >= 0)
        claims["unit"] = unit;
    const std::string token = sign_token(key, TOKEN_HEADER, boost::json::serialize(claims));
    EVP_PKEY_free(key);
    if (token.empty()) {
        report_openssl("signing");
        return 1;
    }
    printf("%s\n", token.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        printf("usage: varnholt-token keygen PRIVATE.pem PUBLIC.pem\n"
               "       varnholt-token sign --key PRIVATE.pem --audience NAME --ttl SECONDS "
               "[--unit N]\n");
        return 0;
    }
    if (command == "keygen")
        return keygen(argc, argv);
    if (command == "sign")
        return sign(argc, argv);
    return usage();
}
