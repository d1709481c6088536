// Helpers shared by the test programs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config.h"

// Starts the video chip (its picture of colour indices), as the headless
// runner does. False when it did not start.
bool start_headless_video();

// A fresh, empty folder under the test's working directory.
std::string make_temp_dir(const std::string &name);
// Writes bytes or text to a file, replacing it at once (a reader sees the
// old or the new file, never a part); returns false when it cannot.
bool write_file(const std::string &path, const std::vector<uint8> &bytes);
bool write_text(const std::string &path, const std::string &text);
// Reads a whole file; empty when it cannot.
std::vector<uint8> read_file(const std::string &path);
std::string read_text(const std::string &path);

// PNG pictures, read with libpng and converted to 8-bit RGB: pictures are
// compared by their pixels, never by their file bytes.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8> rgb;   // rows top first, R G B per pixel
    // The R, G, B bytes of the pixel at (x, y).
    const uint8 *at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
    bool operator==(const Picture &) const = default;
};

// Decodes a PNG file's bytes into `out`. Returns an empty string on success,
// else libpng's reason.
std::string decode_png(const std::vector<uint8> &bytes, Picture *out);
// The same for the file at `path`.
std::string read_png(const std::string &path, Picture *out);

// How much the process's resident memory rose at its highest while `work`
// ran, in bytes; -1 when it cannot be measured here (see below).
long long peak_memory_growth(void (*work)(void *ctx), void *ctx);
// False when the kernel does not let the peak be reset, or the address
// sanitizer keeps freed memory: a test of memory is skipped.
bool peak_memory_measurable();
