// Prints the client proof of a challenge-response login.
#include <cstdio>
#include <cstdint>

#include "credproof.h"

namespace {

constexpr int NPARAMS = 5;

void usage(int argc, char **argv)
{
    const char *p[NPARAMS] = {"", "", "", "", ""};
    for (int i = 1; i < argc && i <= NPARAMS; i++)
        p[i - 1] = argv[i];
    printf("zorvex_encrypt [Salt] [FirstNonce] [ServerNonce] [FinalNonce] [Password]\n");
    printf("Parameters:%d\nSalt:%s\nFirstNonce:%s\nServerNonce:%s\nFinalNonce:%s\nPassword:%s\n",
           argc - 1, p[0], p[1], p[2], p[3], p[4]);
}

} // namespace

int main(int argc, char **argv)
{
    using namespace credproof;

    if (argc - 1 < NPARAMS) {
        usage(argc, argv);
        return 0;
    }

    uint8_t salt[SALT_BUF_LEN];
    SaltError e = salt_decode(argv[1], salt);
    if (e != SaltError::none) {
        fprintf(stderr, "zorvex_encrypt: %s\n", salt_error_text(e));
        return 2;
    }

    uint8_t salted[KEY_LEN];
    if (!salted_password(argv[5], salt, salted)) {
        fprintf(stderr, "PKCS5_PBKDF2_HMAC_SHA1 failed\n");
        return 1; // the salted password is undefined: no proof to print
    }

    uint8_t proof[KEY_LEN];
    client_proof(salted, argv[2], argv[3], argv[4], proof);
    print_hex_line(proof);
    return 0;
}
