#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <cstdio>
#include <unistd.h>

std::string make_temp_dir(const std::string &name)
{
    std::filesystem::path p = std::filesystem::current_path() / ("tmp_" + name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

bool write_file(const std::string &path, const std::vector<uint8> &bytes)
{
    // Through a temporary name and a rename: test programs of one group run
    // in parallel in the same folder, and a reader must never see a file
    // half written (debug.lst above all).
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream f(tmp, std::ios::binary);
        if (!f) return false;
        f.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
        if (!f) return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

bool write_text(const std::string &path, const std::string &text)
{
    return write_file(path, std::vector<uint8>(text.begin(), text.end()));
}

std::vector<uint8> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    return std::vector<uint8>(std::istreambuf_iterator<char>(f), {});
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    if (!f) return {};
    return std::string(std::istreambuf_iterator<char>(f), {});
}

uint32 simple_crc32(const uint8 *data, size_t n)
{
    uint32 c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= data[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

uint32 simple_adler32(const uint8 *data, size_t n)
{
    uint32 a = 1, b = 0;
    for (size_t i = 0; i < n; i++) {
        a = (a + data[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

static uint32 be32(const uint8 *p) { return (uint32)p[0] << 24 | (uint32)p[1] << 16 | (uint32)p[2] << 8 | p[3]; }

std::string decode_png(const std::vector<uint8> &f, Picture *out)
{
    static const uint8 sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (f.size() < 8 || !std::equal(sig, sig + 8, f.begin())) return "no PNG signature";
    size_t p = 8;
    std::vector<uint8> z;
    bool ihdr = false, iend = false;
    while (p < f.size() && !iend) {
        if (p + 12 > f.size()) return "cut chunk";
        const uint32 len = be32(&f[p]);
        if (p + 12 + len > f.size()) return "chunk longer than the file";
        const std::string type(f.begin() + (long)p + 4, f.begin() + (long)p + 8);
        const uint8 *data = &f[p + 8];
        if (simple_crc32(&f[p + 4], 4 + len) != be32(&f[p + 8 + len])) return "bad CRC in " + type;
        if (type == "IHDR") {
            if (p != 8 || len != 13) return "IHDR misplaced or wrong size";
            out->width = (int)be32(data);
            out->height = (int)be32(data + 4);
            if (out->width <= 0 || out->height <= 0) return "width or height 0 or past 2^31 - 1";
            if (data[8] != 8 || data[9] != 2 || data[10] != 0 || data[11] != 0 || data[12] != 0)
                return "not 8-bit RGB, deflate, filter set 0, no interlace";
            ihdr = true;
        } else if (type == "IDAT") {
            if (!ihdr) return "IDAT before IHDR";
            z.insert(z.end(), data, data + len);
        } else if (type == "IEND") {
            if (len != 0) return "IEND with data";
            iend = true;
        }
        p += 12 + len;
    }
    if (!ihdr || !iend) return "IHDR or IEND missing";
    if (p != f.size()) return "bytes after IEND";

    // zlib: header, stored blocks only, Adler-32.
    if (z.size() < 6) return "zlib stream too short";
    if ((z[0] & 0x0F) != 8 || ((z[0] << 8) | z[1]) % 31 != 0 || (z[1] & 0x20)) return "bad zlib header";
    std::vector<uint8> raw;
    size_t q = 2;
    for (bool last = false; !last;) {
        if (q + 5 > z.size()) return "cut deflate block";
        last = z[q] & 1;
        if ((z[q] >> 1) != 0) return "deflate block is not stored";
        const unsigned len = z[q + 1] | z[q + 2] << 8;
        const unsigned nlen = z[q + 3] | z[q + 4] << 8;
        if ((len ^ 0xFFFF) != nlen) return "stored block length check failed";
        q += 5;
        if (q + len > z.size()) return "stored block past the stream";
        raw.insert(raw.end(), z.begin() + (long)q, z.begin() + (long)(q + len));
        q += len;
    }
    if (q + 4 != z.size()) return "zlib stream length wrong";
    if (simple_adler32(raw.data(), raw.size()) != be32(&z[q])) return "bad Adler-32";

    const size_t row = (size_t)out->width * 3;
    if (raw.size() != (row + 1) * (size_t)out->height) return "image data size wrong";
    out->rgb.clear();
    for (int y = 0; y < out->height; y++) {
        const uint8 *r = &raw[(row + 1) * (size_t)y];
        if (r[0] != 0) return "row filter is not 0";
        out->rgb.insert(out->rgb.end(), r + 1, r + 1 + row);
    }
    return "";
}

std::string read_png(const std::string &path, Picture *out)
{
    const std::vector<uint8> bytes = read_file(path);
    if (bytes.empty()) return "cannot read " + path;
    const std::string error = decode_png(bytes, out);
    return error.empty() ? error : path + ": " + error;
}
