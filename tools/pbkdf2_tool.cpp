// Prints the salted password of a challenge-response login.
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "credproof.h"

int main(int argc, char **argv)
{
    using namespace credproof;

    if (argc < 3) {
        fprintf(stderr, "usage: pbkdf2_tool Salt Password\n");
        return 2;
    }
    if (strlen(argv[2]) >= PASSWORD_BUF_LEN) {
        fprintf(stderr, "pbkdf2_tool: Password is longer than %zu characters\n",
                PASSWORD_BUF_LEN - 1);
        return 2;
    }

    uint8_t salt[SALT_BUF_LEN];
    SaltError e = salt_decode(argv[1], salt);
    if (e != SaltError::none) {
        fprintf(stderr, "pbkdf2_tool: %s\n", salt_error_text(e));
        return 2;
    }

    uint8_t key[KEY_LEN];
    bool ok = salted_password(argv[2], salt, key);
    if (ok)
        print_hex_line(key);
    else
        fprintf(stderr, "PKCS5_PBKDF2_HMAC_SHA1 failed\n");
    // The result line stays for scripts that read two lines; the exit
    // status no longer reports a failed derivation as success.
    printf("%02x\n", 0);
    return ok ? 0 : 1;
}
