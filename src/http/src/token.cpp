// Signed test tokens: the key set (swapped whole on SIGHUP), the JWS check a test's first
// request goes through, and the refusal counters.
#include "token.h"

#include "settings.h"

#include <atomic>
#include <boost/json.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>
#include <vector>

struct token_keys {
    std::vector<EVP_PKEY*> keys;

    token_keys() = default;
    token_keys(const token_keys&) = delete;
    token_keys& operator=(const token_keys&) = delete;
    ~token_keys() {
        for (EVP_PKEY* key : keys)
            EVP_PKEY_free(key);
    }
};

static bool read_whole_file(const char* path, std::string* text, std::string* why) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        *why = strerror(errno);
        return false;
    }
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text->append(chunk, n);
        if (text->size() > MAX_TOKEN_KEY_FILE_SIZE) {
            fclose(file);
            *why = "the file is larger than " + std::to_string(MAX_TOKEN_KEY_FILE_SIZE) + " bytes";
            return false;
        }
    }
    const bool failed = ferror(file) != 0;
    const int err = errno;
    fclose(file);
    if (failed) {
        *why = strerror(err);
        return false;
    }
    return true;
}

std::shared_ptr<const token_keys> load_token_keys(const char* path, std::string* why) {
    std::string text;
    if (!read_whole_file(path, &text, why))
        return nullptr;
    auto set = std::make_shared<token_keys>();
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (bio == nullptr) {
        *why = "out of memory";
        return nullptr;
    }
    size_t skipped = 0;
    // Every PEM block in turn: PEM_read_bio_PUBKEY skips text between blocks and fails at
    // the end of the file (or at a block it cannot read, which ends the walk as well).
    while (EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr)) {
        if (EVP_PKEY_id(key) != EVP_PKEY_ED25519 || set->keys.size() >= MAX_TOKEN_KEYS) {
            EVP_PKEY_free(key);
            skipped++;
            continue;
        }
        set->keys.push_back(key);
    }
    BIO_free(bio);
    ERR_clear_error();
    if (set->keys.empty()) {
        *why = skipped > 0 ? "it holds no Ed25519 public key" : "it holds no PEM public key";
        return nullptr;
    }
    return set;
}

size_t token_key_count(const token_keys& keys) {
    return keys.keys.size();
}

// ---------------------------------------------------------------------------
// The check of one token.

// Decodes base64url without padding (RFC 7515), strictly: any byte outside the alphabet, or a
// length no encoding has, fails.
static bool decode_base64url(std::string_view in, std::string* out) {
    if (in.empty() || in.size() % 4 == 1)
        return false;
    std::string standard(in);
    for (char& c : standard) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    const size_t padding = (4 - standard.size() % 4) % 4;
    standard.append(padding, '=');
    out->resize(standard.size() / 4 * 3);
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out->data()),
                                  reinterpret_cast<const unsigned char*>(standard.data()),
                                  static_cast<int>(standard.size()));
    if (n < 0 || static_cast<size_t>(n) < padding)
        return false;
    out->resize(static_cast<size_t>(n) - padding);
    return true;
}

// Parses a JSON object of a token into `value`, whose memory comes from `resource` (a bound
// buffer: a token's JSON is small, and a document that needs more is refused). `value` must
// use `resource` too, so that the result is moved into it, not copied. False when it is no
// JSON object or does not fit.
static bool parse_object(std::string_view text, boost::json::static_resource& resource,
                         boost::json::value* value) {
    boost::json::parse_options options;
    options.max_depth = 4;
    boost::system::error_code ec;
    try {
        *value = boost::json::parse(text, ec, &resource, options);
    } catch (...) {
        return false;
    }
    return !ec && value->is_object();
}

// A JSON number as whole seconds; false for any other kind or a value beyond int64.
static bool json_seconds(const boost::json::value& v, int64_t* out) {
    if (v.is_int64()) {
        *out = v.get_int64();
        return true;
    }
    if (v.is_uint64()) {
        *out = INT64_MAX; // beyond any expiry we accept
        return true;
    }
    if (v.is_double()) {
        const double d = v.get_double();
        if (!std::isfinite(d))
            return false;
        *out = d >= 9.0e18 ? INT64_MAX : d <= -9.0e18 ? INT64_MIN : static_cast<int64_t>(d);
        return true;
    }
    return false;
}

static token_verdict check_header(std::string_view encoded) {
    std::string text;
    if (!decode_base64url(encoded, &text))
        return TOKEN_MALFORMED;
    unsigned char buffer[4096];
    boost::json::static_resource resource(buffer, sizeof buffer);
    boost::json::value header(&resource);
    if (!parse_object(text, resource, &header))
        return TOKEN_MALFORMED;
    const boost::json::object& object = header.get_object();
    const boost::json::value* alg = object.if_contains("alg");
    if (alg == nullptr || !alg->is_string())
        return TOKEN_MALFORMED;
    // Only EdDSA: "none", and HMAC with the public key as its secret, never pass.
    if (alg->get_string() != "EdDSA")
        return TOKEN_ALGORITHM;
    const boost::json::value* typ = object.if_contains("typ");
    if (typ != nullptr && !typ->is_string())
        return TOKEN_MALFORMED;
    // Extensions the signer marks critical must be understood; we understand none.
    if (object.contains("crit"))
        return TOKEN_MALFORMED;
    return TOKEN_VALID;
}

static bool signature_verifies(const token_keys& keys, std::string_view signing_input,
                               std::string_view encoded_signature) {
    std::string signature;
    if (!decode_base64url(encoded_signature, &signature))
        return false;
    for (EVP_PKEY* key : keys.keys) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        if (ctx == nullptr)
            return false;
        bool ok = EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                                   signature.size(),
                                   reinterpret_cast<const unsigned char*>(signing_input.data()),
                                   signing_input.size()) == 1;
        EVP_MD_CTX_free(ctx);
        if (ok)
            return true;
    }
    ERR_clear_error();
    return false;
}

static token_verdict check_claims(std::string_view encoded, std::string_view audience,
                                  uint32_t unit_id, int64_t now_s) {
    std::string text;
    if (!decode_base64url(encoded, &text))
        return TOKEN_MALFORMED;
    unsigned char buffer[8192];
    boost::json::static_resource resource(buffer, sizeof buffer);
    boost::json::value claims(&resource);
    if (!parse_object(text, resource, &claims))
        return TOKEN_MALFORMED;
    const boost::json::object& object = claims.get_object();

    const boost::json::value* aud = object.if_contains("aud");
    if (aud == nullptr)
        return TOKEN_MALFORMED;
    bool ours = false;
    if (aud->is_string()) {
        ours = aud->get_string() == audience;
    } else if (aud->is_array()) {
        for (const boost::json::value& name : aud->get_array()) {
            if (!name.is_string())
                return TOKEN_MALFORMED;
            ours = ours || name.get_string() == audience;
        }
    } else {
        return TOKEN_MALFORMED;
    }

    const boost::json::value* exp = object.if_contains("exp");
    int64_t expiry = 0;
    if (exp == nullptr || !json_seconds(*exp, &expiry))
        return TOKEN_MALFORMED;
    if (const boost::json::value* iat = object.if_contains("iat")) {
        int64_t issued;
        if (!json_seconds(*iat, &issued))
            return TOKEN_MALFORMED;
    }
    int64_t unit = -1;
    if (const boost::json::value* u = object.if_contains("unit")) {
        if (u->is_int64() && u->get_int64() >= 0 && u->get_int64() <= UINT32_MAX)
            unit = u->get_int64();
        else if (u->is_uint64() && u->get_uint64() <= UINT32_MAX)
            unit = static_cast<int64_t>(u->get_uint64());
        else
            return TOKEN_MALFORMED;
    }

    if (!ours)
        return TOKEN_AUDIENCE;
    if (expiry <= now_s)
        return TOKEN_EXPIRED;
    if (expiry - now_s > MAX_TOKEN_LIFETIME_S)
        return TOKEN_LIFETIME;
    if (unit >= 0 && static_cast<uint32_t>(unit) != unit_id)
        return TOKEN_UNIT;
    return TOKEN_VALID;
}

static token_verdict verify_token_parts(const token_keys& keys, std::string_view token,
                                        std::string_view audience, uint32_t unit_id,
                                        int64_t now_s) {
    if (token.empty() || token.size() > MAX_TOKEN_SIZE)
        return TOKEN_MALFORMED;
    const size_t first = token.find('.');
    if (first == std::string_view::npos)
        return TOKEN_MALFORMED;
    const size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos)
        return TOKEN_MALFORMED;
    const std::string_view header = token.substr(0, first);
    const std::string_view claims = token.substr(first + 1, second - first - 1);
    const std::string_view signature = token.substr(second + 1);

    if (token_verdict verdict = check_header(header); verdict != TOKEN_VALID)
        return verdict;
    if (claims.empty() || signature.empty())
        return TOKEN_MALFORMED;
    // The claims are read only once the signature holds: what no key signed is not trusted
    // to say anything, not even that it expired.
    if (!signature_verifies(keys, token.substr(0, second), signature))
        return TOKEN_SIGNATURE;
    return check_claims(claims, audience, unit_id, now_s);
}

token_verdict verify_token(const token_keys& keys, std::string_view token,
                           std::string_view audience, uint32_t unit_id, int64_t now_s) {
    try {
        return verify_token_parts(keys, token, audience, unit_id, now_s);
    } catch (...) {
        // A string too large to copy, a JSON document beyond its buffer: refused, never thrown.
        return TOKEN_MALFORMED;
    }
}

const char* token_verdict_name(token_verdict verdict) {
    static const char* const NAMES[NUM_TOKEN_VERDICTS] = {
        "valid",    "missing", "malformed", "algorithm", "signature",
        "audience", "expired", "lifetime",  "unit",
    };
    return verdict >= 0 && verdict < NUM_TOKEN_VERDICTS ? NAMES[verdict] : "unknown";
}

// ---------------------------------------------------------------------------
// The server's check.

// The keys in use. Workers take a reference under the lock and verify without it; SIGHUP
// swaps the pointer, and the old set goes when the last check using it ends.
static std::mutex keys_mutex;
static std::shared_ptr<const token_keys> keys_in_use;
// Written at start-up, before the workers run; read without a lock afterwards.
static std::string key_file;
static std::string audience_name;
static std::atomic<bool> check_enabled{false};
static std::atomic<uint64_t> refusals[NUM_TOKEN_VERDICTS];

int start_token_check(const char* key_path, const char* audience) {
    std::string why;
    std::shared_ptr<const token_keys> keys = load_token_keys(key_path, &why);
    if (keys == nullptr) {
        VH_LOG(LOG_ERR, "Could not read token keys from %s: %s", key_path, why.c_str());
        return -1;
    }
    if (audience != nullptr && audience[0] != '\0') {
        audience_name = audience;
    } else {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
            VH_LOG(LOG_ERR, "Could not find the host name for the token audience: %s",
                   strerror(errno));
            return -1;
        }
        audience_name = host;
    }
    // Absolute, so that a daemon that moved to "/" finds it again on SIGHUP.
    char* absolute = realpath(key_path, nullptr);
    key_file = absolute != nullptr ? absolute : key_path;
    free(absolute);
    VH_LOG(LOG_INFO, "Tests need a token for audience %s: %zu keys from %s", audience_name.c_str(),
           token_key_count(*keys), key_path);
    {
        std::lock_guard<std::mutex> lock(keys_mutex);
        keys_in_use = std::move(keys);
    }
    check_enabled.store(true, std::memory_order_release);
    return 0;
}

void reload_token_keys() {
    if (!check_enabled.load(std::memory_order_acquire))
        return;
    std::string why;
    std::shared_ptr<const token_keys> keys = load_token_keys(key_file.c_str(), &why);
    if (keys == nullptr) {
        VH_LOG(LOG_WARNING, "Keeping the token keys in use: could not read %s: %s",
               key_file.c_str(), why.c_str());
        return;
    }
    const size_t count = token_key_count(*keys);
    {
        std::lock_guard<std::mutex> lock(keys_mutex);
        keys_in_use.swap(keys);
    }
    // The old set is released here, outside the lock (or by the last check still using it).
    keys.reset();
    VH_LOG(LOG_INFO, "Token keys reloaded: %zu keys from %s", count, key_file.c_str());
}

bool token_check_enabled() {
    return check_enabled.load(std::memory_order_acquire);
}

static void log_refusal(token_verdict verdict, uint32_t unit_id) {
    const char* name = token_verdict_name(verdict);
    // One limiter per kind, so that a flood of one kind does not hide the others.
    switch (verdict) {
    case TOKEN_MISSING:
        VH_LOG_LIMITED("token missing", LOG_INFO, "Request of unit %u refused: no token", unit_id);
        break;
    case TOKEN_MALFORMED:
        VH_LOG_LIMITED("token malformed", LOG_INFO, "Request of unit %u refused: token %s", unit_id,
                       name);
        break;
    case TOKEN_ALGORITHM:
        VH_LOG_LIMITED("token algorithm", LOG_INFO,
                       "Request of unit %u refused: token algorithm is not EdDSA", unit_id);
        break;
    case TOKEN_SIGNATURE:
        VH_LOG_LIMITED("token signature", LOG_INFO,
                       "Request of unit %u refused: token signature verified by no key", unit_id);
        break;
    case TOKEN_AUDIENCE:
        VH_LOG_LIMITED("token audience", LOG_INFO,
                       "Request of unit %u refused: token audience is not %s", unit_id,
                       audience_name.c_str());
        break;
    case TOKEN_EXPIRED:
        VH_LOG_LIMITED("token expired", LOG_INFO, "Request of unit %u refused: token %s", unit_id,
                       name);
        break;
    case TOKEN_LIFETIME:
        VH_LOG_LIMITED("token lifetime", LOG_INFO,
                       "Request of unit %u refused: token expires more than %ld s ahead", unit_id,
                       static_cast<long>(MAX_TOKEN_LIFETIME_S));
        break;
    case TOKEN_UNIT:
        VH_LOG_LIMITED("token unit", LOG_INFO,
                       "Request of unit %u refused: token is for another unit", unit_id);
        break;
    default:
        break;
    }
}

token_verdict check_request_token(const char* token, size_t token_length, uint32_t unit_id) {
    token_verdict verdict = TOKEN_MISSING;
    if (token != nullptr) {
        std::shared_ptr<const token_keys> keys;
        {
            std::lock_guard<std::mutex> lock(keys_mutex);
            keys = keys_in_use;
        }
        verdict = keys == nullptr ? TOKEN_SIGNATURE
                                  : verify_token(*keys, std::string_view(token, token_length),
                                                 audience_name, unit_id, time(nullptr));
    }
    if (verdict != TOKEN_VALID) {
        refusals[verdict].fetch_add(1, std::memory_order_relaxed);
        log_refusal(verdict, unit_id);
    }
    return verdict;
}

uint64_t token_refusals(token_verdict verdict) {
    return verdict > TOKEN_VALID && verdict < NUM_TOKEN_VERDICTS
               ? refusals[verdict].load(std::memory_order_relaxed)
               : 0;
}
