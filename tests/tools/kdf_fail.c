/* Preloaded under the credential tools: every PBKDF2 derivation fails. */
int PKCS5_PBKDF2_HMAC(const char *pass, int passlen, const unsigned char *salt,
                      int saltlen, int iter, const void *digest, int keylen,
                      unsigned char *out)
{
    (void)pass; (void)passlen; (void)salt; (void)saltlen;
    (void)iter; (void)digest; (void)keylen; (void)out;
    return 0;
}
