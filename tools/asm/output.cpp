// ovix-asm outputs besides the image: the listing (with the table of names
// and the sizes at its end), the map, the symbol file, Intel HEX and the
// debug information.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "asm_int.h"

namespace ovasm {
namespace {

// A value of a name as the listing and the map show it.
std::string value_text(const SymbolInfo &n)
{
    switch (n.kind) {
    case SymbolKind::Label: return fmt("$%04llX", (unsigned long long)(n.value & 0xFFFF));
    case SymbolKind::Register: return fmt("R%lld", (long long)n.value);
    case SymbolKind::Port: return fmt("P%lld", (long long)n.value);
    case SymbolKind::Macro: return "";
    case SymbolKind::Constant: break;
    }
    return n.value >= 0 && n.value <= 0xFFFF ? fmt("$%04llX", (unsigned long long)n.value) : std::to_string(n.value);
}

// "file:12 14, other.asm:3": the lines of a name's uses, the file named
// when it changes.
std::string uses_text(const SymbolInfo &n)
{
    std::string out, file;
    for (const auto &[f, line] : n.uses) {
        if (f != file) {
            if (!out.empty()) out += ", ";
            out += printable(f) + ":" + std::to_string(line);
            file = f;
        } else {
            out += " " + std::to_string(line);
        }
    }
    if (n.use_count > (long)n.uses.size()) out += fmt(" (and %ld more)", n.use_count - (long)n.uses.size());
    return out;
}

// The window's use: "Output window $F000-$F7FF (2048 bytes): 81 bytes
// used, 1967 free, fill $FF".
std::string window_text(const Layout &l)
{
    if (!l.has_window) return "";
    unsigned used = 0;
    for (unsigned a = l.base; a < l.end; a++) used += l.owner[a] >= 0;
    const unsigned size = l.end - l.base;
    return fmt("Output window $%04X-$%04X (%u bytes): %u bytes used, %u free, fill $%02X\n", l.base,
               size ? l.end - 1 : l.base, size, used, size - used, l.fill);
}

std::vector<const SymbolInfo *> by_name(const Result &r)
{
    std::vector<const SymbolInfo *> v;
    for (const SymbolInfo &n : r.names) v.push_back(&n);
    std::stable_sort(v.begin(), v.end(), [](const SymbolInfo *a, const SymbolInfo *b) { return upper(a->name) < upper(b->name); });
    return v;
}

}  // namespace

size_t listing_line_size(const ListLine &l) { return 40 + l.text.size() + l.marker.size(); }

std::string build_listing(const std::vector<ListLine> &lines, const std::string &tail)
{
    std::string out;
    char buf[96];
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
        if (l.skipped) b = "(skipped)";
        std::string cycles;
        if (l.opcode >= 0) {
            int taken, not_taken;
            opcode_cycles((uint8_t)l.opcode, taken, not_taken);
            cycles = not_taken < 0 ? std::to_string(taken) : fmt("%d/%d", taken, not_taken);
        }
        snprintf(buf, sizeof buf, "%s  %-14s %-5s %5d  ", addr.c_str(), b.c_str(), cycles.c_str(), l.line);
        out += buf + l.text + "\n";
        if (!l.abbreviate)
            for (size_t i = 4; i < l.bytes.size(); i += 4) {
                snprintf(buf, sizeof buf, "%04llX  %s\n", (unsigned long long)(l.addr + (int64_t)i),
                         bytes_text(l.bytes, i, 4).c_str());
                out += buf;
            }
    }
    return out + tail;
}

std::string listing_tail(const Layout &l, const Result &r)
{
    std::string out = "\n";
    if (!r.names.empty()) {
        size_t width = 4;
        for (const SymbolInfo &n : r.names) width = std::max(width, n.name.size());
        out += fmt("%-*s  %-8s  %-6s  %-20s  %s\n", (int)width, "Name", "Kind", "Value", "Defined at", "Used at");
        for (const SymbolInfo *n : by_name(r)) {
            const std::string defined = printable(n->file) + ":" + std::to_string(n->line);
            std::string line = fmt("%-*s  %-8s  %-6s  %-20s  ", (int)width, n->name.c_str(), symbol_kind_name(n->kind),
                                   value_text(*n).c_str(), defined.c_str()) +
                               uses_text(*n);
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out += line + "\n";
        }
        out += "\n";
    }
    return out + window_text(l);
}

std::string build_map(const Layout &l, const Result &r)
{
    std::string out = "ovix-asm map of " + printable(l.root) + "\n\n" + window_text(l);
    out += "\nSegments (the bytes the program writes, by address)\n";
    for (unsigned a = 0; a < 0x10000;) {
        if (l.owner[a] < 0) {
            a++;
            continue;
        }
        const ByteSource &first = l.sources[(size_t)l.owner[a]];
        const unsigned start = a;
        while (a < 0x10000 && l.owner[a] >= 0 && l.sources[(size_t)l.owner[a]].kind == first.kind) a++;
        out += fmt("$%04X-$%04X  %5u bytes  %-4s  ", start, a - 1, a - start, first.kind == 1 ? "code" : "data") +
               printable(l.files[(size_t)first.file]) + ":" + std::to_string(first.line) + "\n";
    }
    std::vector<const SymbolInfo *> labels, others;
    for (const SymbolInfo &n : r.names) (n.kind == SymbolKind::Label ? labels : others).push_back(&n);
    std::stable_sort(labels.begin(), labels.end(), [](const SymbolInfo *a, const SymbolInfo *b) { return a->value < b->value; });
    std::stable_sort(others.begin(), others.end(), [](const SymbolInfo *a, const SymbolInfo *b) {
        return a->kind != b->kind ? a->kind < b->kind : a->value < b->value;
    });
    size_t width = 4;
    for (const SymbolInfo &n : r.names) width = std::max(width, n.name.size());
    out += "\nLabels by address\n";
    for (const SymbolInfo *n : labels)
        out += fmt("%-6s  %-*s  ", value_text(*n).c_str(), (int)width, n->name.c_str()) + printable(n->file) + ":" +
               std::to_string(n->line) + "\n";
    out += "\nConstants, registers, ports and macros by value\n";
    for (const SymbolInfo *n : others)
        out += fmt("%-6s  %-*s  %-8s  ", value_text(*n).c_str(), (int)width, n->name.c_str(), symbol_kind_name(n->kind)) +
               printable(n->file) + ":" + std::to_string(n->line) + "\n";
    return out;
}

std::string symbol_file_text(const Result &result)
{
    std::vector<Label> labels = result.labels;
    std::stable_sort(labels.begin(), labels.end(), [](const Label &a, const Label &b) { return a.address < b.address; });
    std::string out = "; ovix-asm symbols 2\n";
    for (const Label &l : labels) out += fmt("%04X ", l.address & 0xFFFF) + l.name + "\n";
    for (const SymbolInfo &n : result.names) {
        if (n.kind == SymbolKind::Label || n.kind == SymbolKind::Macro) continue;
        out += std::string(";= ") + symbol_kind_name(n.kind) + " " + n.name + " " +
               (n.kind == SymbolKind::Constant ? std::to_string(n.value) : value_text(n)) + "\n";
    }
    return out;
}

std::string intel_hex_text(const std::vector<uint8_t> &image, unsigned base)
{
    std::string out;
    for (size_t at = 0; at < image.size(); at += 16) {
        const size_t n = std::min<size_t>(16, image.size() - at);
        const unsigned address = (unsigned)(base + at) & 0xFFFF;
        unsigned sum = (unsigned)n + (address >> 8) + (address & 0xFF);
        out += fmt(":%02zX%04X00", n, address);
        for (size_t i = 0; i < n; i++) {
            out += fmt("%02X", image[at + i]);
            sum += image[at + i];
        }
        out += fmt("%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    return out + ":00000001FF\n";
}

// The debug information: see docs/debug-info.md for the format.
std::string build_debug_info(const Layout &l, const Result &r)
{
    using json = nlohmann::ordered_json;
    json files = json::array();
    for (const std::string &f : l.files) files.push_back(printable(f));
    std::map<std::string, int> file_index;
    for (size_t i = 0; i < l.files.size(); i++) file_index.emplace(l.files[i], (int)i);

    // One entry per run of bytes from one assembled line (each repetition
    // and each expansion of a line is a run of its own).
    json lines = json::array(), ranges = json::array();
    for (unsigned a = 0; a < 0x10000;) {
        const int32_t o = l.owner[a];
        if (o < 0) {
            a++;
            continue;
        }
        const unsigned start = a;
        while (a < 0x10000 && l.owner[a] == o) a++;
        const ByteSource &s = l.sources[(size_t)o];
        json e = {{"address", start}, {"size", a - start}, {"kind", s.kind == 1 ? "code" : "data"},
                  {"file", s.file},   {"line", s.line}};
        if (s.ctx >= 0) {
            json chain = json::array();
            for (int c = s.ctx; c >= 0; c = l.contexts[(size_t)c].parent) {
                const Expansion &x = l.contexts[(size_t)c];
                chain.push_back({{"macro", x.macro}, {"file", x.call_file}, {"line", x.call_line}});
            }
            e["expansion"] = chain;
        }
        lines.push_back(e);
    }
    for (unsigned a = 0; a < 0x10000;) {
        if (l.owner[a] < 0) {
            a++;
            continue;
        }
        const uint8_t kind = l.sources[(size_t)l.owner[a]].kind;
        const unsigned start = a;
        while (a < 0x10000 && l.owner[a] >= 0 && l.sources[(size_t)l.owner[a]].kind == kind) a++;
        ranges.push_back({{"start", start}, {"size", a - start}, {"kind", kind == 1 ? "code" : "data"}});
    }
    json symbols = json::array();
    for (const SymbolInfo &n : r.names) {
        json s = {{"name", n.name}, {"kind", symbol_kind_name(n.kind)}};
        if (n.kind != SymbolKind::Macro) s["value"] = n.value;
        if (n.redefinable) s["redefinable"] = true;
        auto f = file_index.find(n.file);
        s["file"] = f == file_index.end() ? -1 : f->second;
        s["line"] = n.line;
        symbols.push_back(s);
    }
    // One member a line, one element of an array a line: small to diff and
    // to read, and still one JSON text.
    auto array = [](const json &a) {
        std::string out = "[";
        for (size_t i = 0; i < a.size(); i++) out += (i ? ",\n  " : "\n  ") + a[i].dump();
        return out + (a.empty() ? "]" : "\n ]");
    };
    const json image = {{"base", l.base}, {"size", l.end - l.base}, {"fill", l.fill}};
    // The folder the relative names of `files` are relative to: ours. A
    // folder whose name is not plain text is left out (a reader then takes
    // the debug information's own folder).
    std::error_code ec;
    const std::string here = std::filesystem::current_path(ec).string();
    const bool folder_known = !ec && !here.empty() && printable(here) == here;
    const std::string folder = folder_known ? ",\n \"folder\": " + json(here).dump() : "";
    return "{\n \"format\": \"ovix-asm debug information\",\n \"version\": 1" + folder + ",\n \"files\": " + array(files) +
           ",\n \"image\": " + image.dump() + ",\n \"lines\": " + array(lines) + ",\n \"ranges\": " + array(ranges) +
           ",\n \"symbols\": " + array(symbols) + "\n}\n";
}

}  // namespace ovasm
