// Signing test tokens: a compact JWS (EdDSA) over a JSON header and claims.
#include "token_sign.h"

#include <vector>

std::string base64url_encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    for (char& c : out) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    return out;
}

std::string sign_token(EVP_PKEY* key, std::string_view header_json, std::string_view claims_json) {
    const std::string input = base64url_encode(header_json) + "." + base64url_encode(claims_json);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr)
        return "";
    std::vector<unsigned char> signature;
    size_t length = 0;
    bool ok =
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(ctx, nullptr, &length, reinterpret_cast<const unsigned char*>(input.data()),
                       input.size()) == 1;
    if (ok) {
        signature.resize(length);
        ok =
            EVP_DigestSign(ctx, signature.data(), &length,
                           reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
    }
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return "";
    return input + "." +
           base64url_encode(
               std::string_view(reinterpret_cast<const char*>(signature.data()), length));
}
