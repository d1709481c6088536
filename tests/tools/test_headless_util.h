// Readers for the runner's outputs, written independently of the runner:
// a small JSON parser and a PNG reader for 8-bit RGB pictures whose image
// data is in stored deflate blocks (what the runner writes). Both check
// everything they read and report the first problem.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testjson {

struct value {
    enum kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } k = NUL;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<value> arr;
    std::map<std::string, value> obj;

    bool has(const std::string &name) const { return k == OBJECT && obj.count(name); }
    const value &operator[](const std::string &name) const
    {
        static const value none;
        auto it = obj.find(name);
        return it == obj.end() ? none : it->second;
    }
    const value &operator[](size_t i) const
    {
        static const value none;
        return i < arr.size() ? arr[i] : none;
    }
    long long i() const { return (long long)num; }
};

class parser {
public:
    explicit parser(const std::string &text) : s(text) {}
    // Parses the whole text; false (with error()) on any syntax problem.
    bool parse(value *out)
    {
        if (!parse_value(out)) return false;
        ws();
        if (p != s.size()) return fail("text after the value");
        return true;
    }
    const std::string &error() const { return err; }

private:
    const std::string &s;
    size_t p = 0;
    std::string err;

    bool fail(const std::string &why)
    {
        if (err.empty()) err = why + " at offset " + std::to_string(p);
        return false;
    }
    void ws()
    {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\n' || s[p] == '\r' || s[p] == '\t')) p++;
    }
    bool lit(const char *w)
    {
        const std::string word = w;
        if (s.compare(p, word.size(), word) != 0) return fail("bad literal");
        p += word.size();
        return true;
    }
    bool parse_string(std::string *out)
    {
        if (s[p] != '"') return fail("expected a string");
        p++;
        while (p < s.size() && s[p] != '"') {
            char c = s[p++];
            if ((unsigned char)c < 0x20) return fail("control character in a string");
            if (c == '\\') {
                if (p >= s.size()) return fail("cut escape");
                char e = s[p++];
                switch (e) {
                case '"': case '\\': case '/': out->push_back(e); break;
                case 'n': out->push_back('\n'); break;
                case 't': out->push_back('\t'); break;
                case 'r': out->push_back('\r'); break;
                case 'b': out->push_back('\b'); break;
                case 'f': out->push_back('\f'); break;
                case 'u':
                    if (p + 4 > s.size()) return fail("cut \\u escape");
                    out->push_back((char)strtol(s.substr(p, 4).c_str(), nullptr, 16));
                    p += 4;
                    break;
                default: return fail("bad escape");
                }
            } else {
                out->push_back(c);
            }
        }
        if (p >= s.size()) return fail("unterminated string");
        p++;
        return true;
    }
    bool parse_value(value *v)
    {
        ws();
        if (p >= s.size()) return fail("unexpected end");
        const char c = s[p];
        if (c == '{') {
            v->k = value::OBJECT;
            p++;
            ws();
            if (p < s.size() && s[p] == '}') return p++, true;
            for (;;) {
                ws();
                std::string name;
                if (p >= s.size() || !parse_string(&name)) return fail("expected a member name");
                ws();
                if (p >= s.size() || s[p] != ':') return fail("expected ':'");
                p++;
                if (v->obj.count(name)) return fail("duplicate member " + name);
                if (!parse_value(&v->obj[name])) return false;
                ws();
                if (p < s.size() && s[p] == ',') { p++; continue; }
                if (p < s.size() && s[p] == '}') return p++, true;
                return fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v->k = value::ARRAY;
            p++;
            ws();
            if (p < s.size() && s[p] == ']') return p++, true;
            for (;;) {
                v->arr.emplace_back();
                if (!parse_value(&v->arr.back())) return false;
                ws();
                if (p < s.size() && s[p] == ',') { p++; continue; }
                if (p < s.size() && s[p] == ']') return p++, true;
                return fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v->k = value::STRING;
            return parse_string(&v->str);
        }
        if (c == 't') { v->k = value::BOOL; v->b = true; return lit("true"); }
        if (c == 'f') { v->k = value::BOOL; return lit("false"); }
        if (c == 'n') { v->k = value::NUL; return lit("null"); }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char *start = s.c_str() + p;
            char *end;
            v->k = value::NUMBER;
            v->num = strtod(start, &end);
            if (end == start) return fail("bad number");
            p += (size_t)(end - start);
            return true;
        }
        return fail("unexpected character");
    }
};

}  // namespace testjson

namespace testpng {

// Bitwise CRC-32 and Adler-32, as the format defines them.
inline uint32_t crc32(const uint8_t *d, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= d[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}
inline uint32_t adler32(const uint8_t *d, size_t n)
{
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < n; i++) {
        a = (a + d[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

inline uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

struct picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;   // rows top first, R G B per pixel
    const uint8_t *at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
};

// Reads an 8-bit RGB, non-interlaced PNG. Returns an empty string on
// success, else what is wrong.
inline std::string read(const std::vector<uint8_t> &f, picture *out)
{
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (f.size() < 8 || !std::equal(sig, sig + 8, f.begin())) return "no PNG signature";
    size_t p = 8;
    std::vector<uint8_t> z;
    bool ihdr = false, iend = false;
    while (p < f.size() && !iend) {
        if (p + 12 > f.size()) return "cut chunk";
        const uint32_t len = be32(&f[p]);
        if (p + 12 + len > f.size()) return "chunk longer than the file";
        const std::string type(f.begin() + (long)p + 4, f.begin() + (long)p + 8);
        const uint8_t *data = &f[p + 8];
        if (crc32(&f[p + 4], 4 + len) != be32(&f[p + 8 + len])) return "bad CRC in " + type;
        if (type == "IHDR") {
            if (p != 8 || len != 13) return "IHDR misplaced or wrong size";
            out->width = (int)be32(data);
            out->height = (int)be32(data + 4);
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
    std::vector<uint8_t> raw;
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
    if (adler32(raw.data(), raw.size()) != be32(&z[q])) return "bad Adler-32";

    const size_t row = (size_t)out->width * 3;
    if (raw.size() != (row + 1) * (size_t)out->height) return "image data size wrong";
    out->rgb.clear();
    for (int y = 0; y < out->height; y++) {
        const uint8_t *r = &raw[(row + 1) * (size_t)y];
        if (r[0] != 0) return "row filter is not 0";
        out->rgb.insert(out->rgb.end(), r + 1, r + 1 + row);
    }
    return "";
}

}  // namespace testpng
