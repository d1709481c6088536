// PNG writer: see png.h. The file is signature, IHDR, one IDAT holding the
// whole zlib stream, IEND.
#include "debug/png.h"

#include <array>
#include <cstdio>
#include <vector>

static constexpr std::array<uint32, 256> crc_table = [] {
    std::array<uint32, 256> t{};
    for (uint32 n = 0; n < 256; n++) {
        uint32 c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}();

uint32 png_crc32(const uint8 *data, size_t n, uint32 crc)
{
    crc ^= 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) crc = crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

uint32 png_adler32(const uint8 *data, size_t n, uint32 adler)
{
    constexpr uint32 MOD = 65521;
    uint32 a = adler & 0xFFFF, b = adler >> 16;
    while (n > 0) {
        // 5552 bytes is the longest run whose sums cannot overflow 32 bits.
        size_t run = n < 5552 ? n : 5552;
        n -= run;
        while (run--) {
            a += *data++;
            b += a;
        }
        a %= MOD;
        b %= MOD;
    }
    return (b << 16) | a;
}

static void put32(std::vector<uint8> &v, uint32 x)
{
    v.push_back((uint8)(x >> 24));
    v.push_back((uint8)(x >> 16));
    v.push_back((uint8)(x >> 8));
    v.push_back((uint8)x);
}

// Appends a chunk: length, type, data, CRC of type and data.
static void put_chunk(std::vector<uint8> &out, const char type[4], const std::vector<uint8> &data)
{
    put32(out, (uint32)data.size());
    const size_t type_at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32(out, png_crc32(out.data() + type_at, 4 + data.size()));
}

const char *png_write_rgb(const char *path, int width, int height, const uint8 *rgb)
{
    static char error[1200];
    if (width <= 0 || height <= 0 || !rgb) {
        snprintf(error, sizeof error, "cannot write %s: empty picture", path);
        return error;
    }

    // The scanlines as the format wants them: a filter byte (0, none) before each row.
    const size_t row = (size_t)width * 3;
    std::vector<uint8> raw;
    raw.reserve((row + 1) * (size_t)height);
    for (int y = 0; y < height; y++) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb + row * (size_t)y, rgb + row * (size_t)(y + 1));
    }

    // zlib stream: header (deflate, 32 KiB window, no dictionary, fastest;
    // 0x7801 is a multiple of 31 as required), stored blocks of at most 65535
    // bytes, the last one flagged, then the Adler-32 of the raw data.
    std::vector<uint8> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t len = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
        const bool last = pos + len == raw.size();
        z.push_back(last ? 1 : 0);   // BFINAL, BTYPE 00 (stored)
        z.push_back((uint8)len);
        z.push_back((uint8)(len >> 8));
        z.push_back((uint8)~len);
        z.push_back((uint8)(~len >> 8));
        z.insert(z.end(), raw.begin() + (long)pos, raw.begin() + (long)(pos + len));
        pos += len;
    } while (pos < raw.size());
    put32(z, png_adler32(raw.data(), raw.size()));

    std::vector<uint8> ihdr;
    put32(ihdr, (uint32)width);
    put32(ihdr, (uint32)height);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});   // 8 bits, RGB, deflate, filter set 0, no interlace

    std::vector<uint8> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    put_chunk(file, "IHDR", ihdr);
    put_chunk(file, "IDAT", z);
    put_chunk(file, "IEND", {});

    FILE *f = fopen(path, "wb");
    if (!f) {
        snprintf(error, sizeof error, "cannot create %s", path);
        return error;
    }
    const bool written = fwrite(file.data(), 1, file.size(), f) == file.size();
    if (fclose(f) != 0 || !written) {
        snprintf(error, sizeof error, "cannot write %s", path);
        return error;
    }
    return nullptr;
}
