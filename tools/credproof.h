// Challenge-response proof arithmetic shared by zorvex_encrypt and pbkdf2_tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace credproof {

constexpr size_t KEY_LEN = 32;
constexpr size_t SALT_BUF_LEN = 64;          // decoded salt buffer
constexpr size_t SALT_MAX_DIGITS = 2 * SALT_BUF_LEN;
constexpr size_t AUTH_MSG_LEN = 512;         // with terminator
constexpr size_t PASSWORD_BUF_LEN = 64;      // pbkdf2_tool's copy, with terminator
constexpr int ITERATIONS = 500;

enum class SaltError { none, too_long, bad_digit };

// Decodes hex text high digit first into a zeroed 64-byte buffer; an odd
// count leaves the last low nibble zero. Refuses what would overrun the
// buffer or decode to garbage instead of guessing.
SaltError salt_decode(std::string_view text, uint8_t out[SALT_BUF_LEN]);

// PBKDF2-HMAC-SHA-256, 500 rounds: the salted password.
bool salted_password(std::string_view password, const uint8_t salt[KEY_LEN],
                   uint8_t out[KEY_LEN]);

// HMAC keys are "Client Key" and the auth message: the reverse of RFC 5802,
// which the peer verifying the proof expects.
void client_proof(const uint8_t salted[KEY_LEN], std::string_view first,
                  std::string_view server, std::string_view final_nonce,
                  uint8_t out[KEY_LEN]);

// Writes the 64 lower-case digits and a line feed.
void print_hex_line(const uint8_t key[KEY_LEN]);

const char *salt_error_text(SaltError e);

} // namespace credproof
