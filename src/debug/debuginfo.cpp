// Debug information of the programs loaded (debuginfo.h): the files read
// with nlohmann-json and kept as a table of line entries by address.
#include "debug/debuginfo.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "host/files.h"

namespace {

constexpr long long MAX_FILE_BYTES = 64ll << 20;
constexpr int VERSION = 1;

struct info_file {
    std::string path;                 // as loaded
    std::vector<std::string> files;   // the sources, as the assembler named them
    uint32 base = 0, size = 0;        // the image window
    std::vector<bool> written;        // per byte of the image: a line wrote it
};

struct {
    std::vector<info_file> infos;
    std::vector<dbg_source_line> lines;   // by address (all files)
    std::string message;
} s;

std::string folder_of(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0 &&
           (text.size() == tail.size() || text[text.size() - tail.size() - 1] == '/');
}

bool count_of(const nlohmann::json &j, const char *key, uint64 max, uint64 *out)
{
    if (!j.is_object() || !j.contains(key) || !j[key].is_number_unsigned()) return false;
    const uint64 v = j[key].get<uint64>();
    if (v > max) return false;
    *out = v;
    return true;
}

}  // namespace

const char *debuginfo_parse(const char *name, const char *text, size_t size)
{
    auto refuse = [&](const std::string &why) {
        s.message = std::string(name) + ": " + why;
        return s.message.c_str();
    };
    nlohmann::json j = nlohmann::json::parse(text, text + size, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return refuse("not valid JSON");
    if (!j.contains("format") || j["format"] != "ovix-asm debug information")
        return refuse("not debug information of ovix-asm");
    uint64 version = 0;
    if (!count_of(j, "version", 1u << 30, &version)) return refuse("its version is missing");
    if (version != VERSION)
        return refuse("version " + std::to_string(version) + "; this program reads version " + std::to_string(VERSION));
    info_file f;
    f.path = name;
    if (!j.contains("files") || !j["files"].is_array()) return refuse("\"files\" is missing");
    for (const auto &file : j["files"]) {
        if (!file.is_string()) return refuse("an entry of \"files\" is not a name");
        f.files.push_back(file.get<std::string>());
    }
    uint64 base = 0, isize = 0;
    if (!j.contains("image") || !count_of(j["image"], "base", 0xFFFF, &base) ||
        !count_of(j["image"], "size", 0x10000, &isize) || base + isize > 0x10000)
        return refuse("\"image\" is missing or outside 0000-FFFF");
    f.base = (uint32)base;
    f.size = (uint32)isize;
    f.written.assign(f.size, false);
    if (!j.contains("lines") || !j["lines"].is_array()) return refuse("\"lines\" is missing");
    std::vector<dbg_source_line> lines;
    const int info = (int)s.infos.size();
    size_t n = 0;
    for (const auto &e : j["lines"]) {
        n++;
        const std::string bad = "bad entry " + std::to_string(n) + " of \"lines\"";
        uint64 address, bytes, file, line;
        if (!count_of(e, "address", 0xFFFF, &address) || !count_of(e, "size", 0x10000, &bytes) ||
            !count_of(e, "file", f.files.size() ? f.files.size() - 1 : 0, &file) || f.files.empty() ||
            !count_of(e, "line", 1u << 30, &line) || address + bytes > 0x10000 || bytes == 0)
            return refuse(bad);
        dbg_source_line l;
        l.address = (uint16)address;
        l.size = (uint16)(bytes > 0xFFFF ? 0xFFFF : bytes);
        l.code = !e.contains("kind") || e["kind"] != "data";
        l.info = info;
        l.file = (int)file;
        l.line = (int)line;
        if (e.contains("expansion")) {
            if (!e["expansion"].is_array()) return refuse(bad);
            for (const auto &c : e["expansion"]) {
                uint64 cf, cl;
                if (!count_of(c, "file", f.files.size() - 1, &cf) || !count_of(c, "line", 1u << 30, &cl))
                    return refuse(bad);
                dbg_source_call call;
                call.macro = c.contains("macro") && c["macro"].is_string() ? c["macro"].get<std::string>() : "";
                call.file = (int)cf;
                call.line = (int)cl;
                l.expansion.push_back(call);
            }
        }
        for (uint32 a = l.address; a < (uint32)l.address + bytes; a++)
            if (a >= f.base && a < f.base + f.size) f.written[a - f.base] = true;
        lines.push_back(std::move(l));
    }
    // A file whose image overlaps one loaded before replaces it.
    for (size_t i = 0; i < s.infos.size();) {
        const info_file &o = s.infos[i];
        if (o.base < f.base + f.size && f.base < o.base + o.size) {
            s.lines.erase(std::remove_if(s.lines.begin(), s.lines.end(), [&](const dbg_source_line &l) { return l.info == (int)i; }),
                          s.lines.end());
            for (dbg_source_line &l : s.lines)
                if (l.info > (int)i) l.info--;
            for (dbg_source_line &l : lines) l.info--;
            s.infos.erase(s.infos.begin() + (long)i);
        } else {
            i++;
        }
    }
    s.infos.push_back(std::move(f));
    s.lines.insert(s.lines.end(), lines.begin(), lines.end());
    std::stable_sort(s.lines.begin(), s.lines.end(),
                     [](const dbg_source_line &a, const dbg_source_line &b) { return a.address < b.address; });
    return nullptr;
}

const char *debuginfo_load(const char *path)
{
    std::string text, error;
    long long size = 0;
    switch (read_input_file(path, MAX_FILE_BYTES, &text, &size, &error)) {
    case input_read::ok: break;
    case input_read::not_opened: s.message = error; return s.message.c_str();
    case input_read::too_big: s.message = std::string(path) + ": larger than 64 MiB"; return s.message.c_str();
    case input_read::read_error: s.message = std::string(path) + ": read error"; return s.message.c_str();
    }
    return debuginfo_parse(path, text.data(), text.size());
}

void debuginfo_clear()
{
    s.infos.clear();
    s.lines.clear();
}

size_t debuginfo_count() { return s.infos.size(); }

const dbg_source_line *debuginfo_line_at(uint16 address)
{
    // The last entry starting at or before the address that covers it.
    auto it = std::upper_bound(s.lines.begin(), s.lines.end(), address,
                               [](uint16 a, const dbg_source_line &l) { return a < l.address; });
    while (it != s.lines.begin()) {
        --it;
        if ((uint32)it->address + it->size > address) return &*it;
        if (address - it->address > 0x100) break;   // no line is that long
    }
    return nullptr;
}

dbg_source_place debuginfo_place(uint16 address)
{
    const dbg_source_line *l = debuginfo_line_at(address);
    if (!l) return {};
    if (!l->expansion.empty()) return {l->info, l->expansion.back().file, l->expansion.back().line};
    return {l->info, l->file, l->line};
}

bool debuginfo_line_starts(uint16 address)
{
    auto it = std::lower_bound(s.lines.begin(), s.lines.end(), address,
                               [](const dbg_source_line &l, uint16 a) { return l.address < a; });
    return it != s.lines.end() && it->address == address;
}

std::string debuginfo_file_name(int info, int file)
{
    if (info < 0 || (size_t)info >= s.infos.size() || file < 0 || (size_t)file >= s.infos[info].files.size()) return "?";
    return s.infos[info].files[file];
}

std::string debuginfo_file_path(int info, int file)
{
    const std::string name = debuginfo_file_name(info, file);
    if (name.empty() || name[0] == '/' || name == "?") return name;
    return folder_of(s.infos[info].path) + name;
}

std::string debuginfo_place_text(const dbg_source_place &p)
{
    if (!p.known()) return "";
    return debuginfo_file_name(p.info, p.file) + ":" + std::to_string(p.line);
}

std::vector<uint16> debuginfo_addresses(const std::string &file, int line)
{
    auto names = [&](int info, int f) {
        const std::string &name = s.infos[(size_t)info].files[(size_t)f];
        return ends_with(name, file) || ends_with(debuginfo_file_path(info, f), file) || ends_with(file, name);
    };
    std::vector<uint16> out;
    uint16 last_end = 0;
    bool have = false;
    for (const dbg_source_line &l : s.lines) {
        if (!l.code) continue;
        // The line as written, or the call of the macro written there (its
        // whole expansion), or a line of a macro's body (every expansion).
        bool match = l.line == line && names(l.info, l.file);
        if (!match && !l.expansion.empty())
            match = l.expansion.back().line == line && names(l.info, l.expansion.back().file);
        if (!match) continue;
        // The first address of each run of its bytes.
        if (!have || l.address != last_end) out.push_back(l.address);
        last_end = (uint16)(l.address + l.size);
        have = true;
    }
    return out;
}

bool debuginfo_unwritten(uint16 address)
{
    for (const info_file &f : s.infos)
        if (address >= f.base && address < f.base + f.size) return !f.written[address - f.base];
    return false;
}

std::vector<std::pair<uint16, uint16>> debuginfo_images()
{
    std::vector<std::pair<uint16, uint16>> out;
    for (const info_file &f : s.infos)
        if (f.size) out.emplace_back((uint16)f.base, (uint16)(f.base + f.size - 1));
    return out;
}
