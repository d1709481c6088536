// SHA-256 (sha256.h) from OpenSSL's digest interface.
#include "host/sha256.h"

#include <cstring>

#include <openssl/evp.h>

void ovix_sha256(const void *data, size_t n, uint8 out[SHA256_BYTES])
{
    unsigned len = 0;
    unsigned char md[EVP_MAX_MD_SIZE];
    if (!EVP_Digest(data, n, md, &len, EVP_sha256(), nullptr) || len != SHA256_BYTES) len = 0;
    memset(out, 0, SHA256_BYTES);
    memcpy(out, md, len);
}
