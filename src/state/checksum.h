// Hexadecimal text and SHA-256 checksums, shared by the snapshot and movie
// files (both JSON, both checked whole before anything is taken from them).
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "config.h"

// n bytes as 2n lower-case hexadecimal digits.
std::string hex_text(const uint8 *p, size_t n);
// SHA-256 of n bytes as 64 lower-case hexadecimal digits ("" if the digest failed).
std::string sha256_hex(const void *data, size_t n);
// The files' checksum: SHA-256 of the compact JSON text of every member but
// "checksum", in file order.
std::string json_checksum(nlohmann::ordered_json j);
