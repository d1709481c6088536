// A small PNG writer for screenshots: 8-bit RGB, no interlace, every row
// unfiltered, the image data in stored (uncompressed) deflate blocks, so no
// compression library is needed. Pictures are a few hundred KiB at most.
#pragma once

#include <cstddef>

#include "config.h"

// Writes a width x height picture given as rows of R, G, B bytes, top row
// first, to `path`. Returns null on success, otherwise an error text (valid
// until the next call).
const char *png_write_rgb(const char *path, int width, int height, const uint8 *rgb);

// The checksums of the format, exposed for tests: the CRC-32 of the chunks
// (start with 0) and the Adler-32 of the zlib stream (start with 1). Each
// continues from the value of the data before it.
uint32 png_crc32(const uint8 *data, size_t n, uint32 crc = 0);
uint32 png_adler32(const uint8 *data, size_t n, uint32 adler = 1);
