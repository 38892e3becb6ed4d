// Signing test tokens: a compact JWS (EdDSA) over a JSON header and claims.
#pragma once

#include <openssl/evp.h>
#include <string>
#include <string_view>

// base64url without padding.
std::string base64url_encode(std::string_view bytes);

// "base64url(header).base64url(claims).base64url(signature)", signed with the Ed25519 private
// key `key`. Empty on failure.
std::string sign_token(EVP_PKEY* key, std::string_view header_json, std::string_view claims_json);

// The header of every token this command signs.
inline constexpr std::string_view TOKEN_HEADER = R"({"alg":"EdDSA","typ":"JWT"})";
