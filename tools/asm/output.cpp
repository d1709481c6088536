// ovix-asm outputs besides the image: the listing and the symbol file.
#include <algorithm>
#include <cstdio>

#include "asm_int.h"

namespace ovasm {

std::string build_listing(const std::vector<ListLine> &lines)
{
    std::string out;
    char buf[64];
    auto bytes_text = [](const std::vector<uint8_t> &b, size_t from, size_t n) {
        std::vector<uint8_t> part(b.begin() + (long)std::min(from, b.size()), b.begin() + (long)std::min(from + n, b.size()));
        return hex_bytes(part);
    };
    for (const ListLine &l : lines) {
        if (!l.marker.empty()) {
            out += l.marker + "\n";
            continue;
        }
        std::string addr = l.addr >= 0 ? fmt("%04llX", (unsigned long long)l.addr) : "    ";
        std::string b = bytes_text(l.bytes, 0, 4);
        if (l.is_equ && l.equ_type)
            b = fmt("=%c%lld", l.equ_type, (long long)l.equ_value);
        else if (l.is_equ)
            b = l.equ_value >= 0 && l.equ_value <= 0xFFFF ? fmt("=$%04llX", (unsigned long long)l.equ_value)
                                                          : fmt("=%lld", (long long)l.equ_value);
        if (l.abbreviate && l.bytes.size() > 4) b += " ..";
        snprintf(buf, sizeof buf, "%s  %-14s %5d  ", addr.c_str(), b.c_str(), l.line);
        out += buf + l.text + "\n";
        if (!l.abbreviate)
            for (size_t i = 4; i < l.bytes.size(); i += 4) {
                snprintf(buf, sizeof buf, "%04llX  %s\n", (unsigned long long)(l.addr + (int64_t)i),
                         bytes_text(l.bytes, i, 4).c_str());
                out += buf;
            }
    }
    return out;
}

std::string symbol_file_text(const Result &result)
{
    std::vector<Label> labels = result.labels;
    std::stable_sort(labels.begin(), labels.end(), [](const Label &a, const Label &b) { return a.address < b.address; });
    std::string out;
    for (const Label &l : labels) out += fmt("%04X ", l.address & 0xFFFF) + l.name + "\n";
    return out;
}

}  // namespace ovasm
