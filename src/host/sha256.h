// SHA-256, for the ROM images' identity in machine states and the
// checksums of saved files. Only declared here: each build links one
// well-kept implementation (the desktop programs OpenSSL's,
// sha256_openssl.cpp).
#pragma once

#include <cstddef>

#include "config.h"

constexpr size_t SHA256_BYTES = 32;

// The digest of n bytes at `data` into out[0..31].
void ovix_sha256(const void *data, size_t n, uint8 out[SHA256_BYTES]);
