#include "credproof.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "hexdigit.h"

namespace credproof {

namespace {

constexpr std::string_view CLIENT_KEY_LABEL = "Client Key";

} // namespace

SaltError salt_decode(std::string_view text, uint8_t out[SALT_BUF_LEN])
{
    memset(out, 0, SALT_BUF_LEN);
    if (text.size() > SALT_MAX_DIGITS)
        return SaltError::too_long;
    for (size_t i = 0; i < text.size(); i++) {
        int v = hex_digit(text[i]);
        if (v < 0)
            return SaltError::bad_digit;
        if (i % 2 == 0)
            out[i / 2] = static_cast<uint8_t>(v << 4);
        else
            out[i / 2] |= static_cast<uint8_t>(v);
    }
    return SaltError::none;
}

bool salted_password(std::string_view password, const uint8_t salt[KEY_LEN],
                   uint8_t out[KEY_LEN])
{
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                             salt, KEY_LEN, ITERATIONS, EVP_sha256(),
                             KEY_LEN, out) == 1;
}

void client_proof(const uint8_t salted[KEY_LEN], std::string_view first,
                  std::string_view server, std::string_view final_nonce,
                  uint8_t out[KEY_LEN])
{
    uint8_t client_key[KEY_LEN];
    uint8_t stored_key[KEY_LEN];
    uint8_t signature[KEY_LEN];
    char auth[AUTH_MSG_LEN];

    HMAC(EVP_sha256(), CLIENT_KEY_LABEL.data(), CLIENT_KEY_LABEL.size(),
         salted, KEY_LEN, client_key, nullptr);
    SHA256(client_key, KEY_LEN, stored_key);

    int n = snprintf(auth, sizeof(auth), "%.*s,%.*s,%.*s",
                     static_cast<int>(first.size()), first.data(),
                     static_cast<int>(server.size()), server.data(),
                     static_cast<int>(final_nonce.size()), final_nonce.data());
    size_t auth_len = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof(auth) - 1);

    HMAC(EVP_sha256(), auth, static_cast<int>(auth_len), stored_key, KEY_LEN,
         signature, nullptr);
    for (size_t i = 0; i < KEY_LEN; i++)
        out[i] = client_key[i] ^ signature[i];
}

void print_hex_line(const uint8_t key[KEY_LEN])
{
    for (size_t i = 0; i < KEY_LEN; i++)
        printf("%02x", key[i]);
    printf("\n");
}

const char *salt_error_text(SaltError e)
{
    switch (e) {
    case SaltError::too_long:
        return "Salt is longer than 128 hex digits";
    case SaltError::bad_digit:
        return "Salt holds a character that is not a hex digit";
    case SaltError::none:
        break;
    }
    return "";
}

} // namespace credproof
