// Helpers shared by the test programs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"

// A fresh, empty folder under the test's working directory.
std::string make_temp_dir(const std::string &name);
// Writes bytes or text to a file, replacing it at once (a reader sees the
// old or the new file, never a part); returns false when it cannot.
bool write_file(const std::string &path, const std::vector<uint8> &bytes);
bool write_text(const std::string &path, const std::string &text);
// Reads a whole file; empty when it cannot.
std::vector<uint8> read_file(const std::string &path);
std::string read_text(const std::string &path);

// PNG pictures as our writer makes them: 8-bit RGB, no interlace, unfiltered
// rows, the zlib stream in stored deflate blocks. The reader is written apart
// from the writer and checks everything it reads: the chunk order and CRCs,
// the zlib header, the stored blocks' lengths and the Adler-32.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8> rgb;   // rows top first, R G B per pixel
    // The R, G, B bytes of the pixel at (x, y).
    const uint8 *at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
    bool operator==(const Picture &) const = default;
};

// Decodes a PNG file's bytes into `out`. Returns an empty string on success,
// else the first problem found; anything but the form above is refused.
std::string decode_png(const std::vector<uint8> &bytes, Picture *out);
// The same for the file at `path`.
std::string read_png(const std::string &path, Picture *out);

// CRC-32 and Adler-32 the plain way the format defines them (bit by bit,
// reduced at every byte), to check the writer's faster ones against.
uint32 simple_crc32(const uint8 *data, size_t n);
uint32 simple_adler32(const uint8 *data, size_t n);
