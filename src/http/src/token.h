// Signed test tokens: the Ed25519 keys that may sign them, and the check of the token a
// test's request carries (ACCESS_TOKEN=, a compact JWS with the EdDSA algorithm).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// What a token check found. TOKEN_VALID lets the request through; every other verdict
// refuses it with 403 and is counted under its name (token_verdict_name).
enum token_verdict : int {
    TOKEN_VALID = 0,
    TOKEN_MISSING = 1,   // no ACCESS_TOKEN= in the query
    TOKEN_MALFORMED = 2, // not three base64url parts of JSON objects, or too long
    TOKEN_ALGORITHM = 3, // a header naming an algorithm other than EdDSA
    TOKEN_SIGNATURE = 4, // no key of the set verifies the signature
    TOKEN_AUDIENCE = 5,  // "aud" does not name this server
    TOKEN_EXPIRED = 6,   // "exp" has passed
    TOKEN_LIFETIME = 7,  // "exp" lies more than MAX_TOKEN_LIFETIME_S ahead
    TOKEN_UNIT = 8,      // "unit" differs from the request's unit id
    NUM_TOKEN_VERDICTS = 9,
};

// The longest token accepted, in bytes. Signed claims of a steering service take about 250.
constexpr size_t MAX_TOKEN_SIZE = 2048;
// Tokens must be short-lived: an expiry further ahead than this refuses the token.
constexpr int64_t MAX_TOKEN_LIFETIME_S = 600;
// A key file larger than this, or holding more keys, is refused.
constexpr size_t MAX_TOKEN_KEY_FILE_SIZE = 1 << 20;
constexpr size_t MAX_TOKEN_KEYS = 64;

// A set of Ed25519 public keys; a token verifies if any of them verifies it. Immutable once
// loaded, so any number of threads may verify with it at once.
struct token_keys;

// Reads every PEM public key of the file at `path`. Null with *why set when the file cannot
// be read, is too large, or holds no Ed25519 key (other keys are skipped).
std::shared_ptr<const token_keys> load_token_keys(const char* path, std::string* why);
size_t token_key_count(const token_keys& keys);

// Checks `token` against `keys` for this server's `audience` and the request's `unit_id` at
// `now_s` (Unix seconds). Never throws, whatever the token holds.
token_verdict verify_token(const token_keys& keys, std::string_view token,
                           std::string_view audience, uint32_t unit_id, int64_t now_s);

// The label of a verdict in metrics and log lines ("missing", "signature", ...).
const char* token_verdict_name(token_verdict verdict);

// The server's token check. Main thread, at start-up: loads the key file (-1, logged, when
// it cannot) and fixes the audience (null or empty: the host name). Without a call, no
// request needs a token.
int start_token_check(const char* key_path, const char* audience);
// Reads the key file again (SIGHUP). A file that cannot be read or holds no key keeps the
// keys in use, with a log line saying why. Main thread.
void reload_token_keys();
// Whether requests must carry a token. Any thread.
bool token_check_enabled();
// Checks the token of a request (null `token` when it carried none) with the keys in use,
// counts a refusal and logs it (rate-limited, never the token). Worker threads.
token_verdict check_request_token(const char* token, size_t token_length, uint32_t unit_id);
// Refusals so far with this verdict. Any thread.
uint64_t token_refusals(token_verdict verdict);
