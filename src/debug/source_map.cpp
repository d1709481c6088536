// The source lines of the programs being debugged (source_map.h): debug
// information files read with nlohmann-json, checked member by member, and
// merged into one table sorted by address.
#include "debug/source_map.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/json_read.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr size_t MAX_ENTRIES = 1u << 20;   // lines or symbols of one file
constexpr size_t MAX_FILES = 1u << 16;     // sources of one file
constexpr size_t MAX_EXPANSION = 1024;     // calls in one expansion
constexpr size_t MAX_TEXT = 4096;          // a name or a path

// One debug information file as read; its places index its own `files`.
struct loaded {
    std::string path;
    uint16 base = 0;
    uint32 size = 0;
    std::vector<std::string> files;   // resolved full paths
    std::vector<srcmap_line> lines;
    std::vector<srcmap_symbol> symbols;
};

struct {
    std::vector<loaded> files_loaded;
    std::vector<std::string> loaded_names;
    // Merged, with places indexing `files`.
    std::vector<std::string> files;
    std::vector<std::string> real;            // files[i] with links resolved, for comparisons
    std::vector<srcmap_line> lines;           // by address
    std::vector<srcmap_symbol> symbols;
    std::map<std::string, size_t> by_name;    // upper-case name -> index in symbols (the first)
    std::vector<std::set<int>> code_lines;    // per file: lines that wrote code (themselves or by a call)
    std::vector<size_t> labels;               // indices of labels in symbols, by value
} s;

std::string upper(std::string t)
{
    for (char &c : t) c = (char)toupper((unsigned char)c);
    return t;
}

std::string real_path(const std::string &p)
{
    std::error_code ec;
    fs::path r = fs::weakly_canonical(fs::path(p), ec);
    if (ec) r = fs::absolute(fs::path(p), ec).lexically_normal();
    return r.string();
}

// A source name as the assembler wrote it, made a full path (see the top
// of source_map.h): from the assembler's folder when the file names it,
// else from the folder of the debug information file.
std::string resolve(const std::string &name, const std::string &folder, const std::string &dbg_path)
{
    fs::path p(name);
    std::error_code ec;
    if (p.is_absolute()) return p.lexically_normal().string();
    if (!folder.empty()) return (fs::path(folder) / p).lexically_normal().string();
    return (fs::absolute(fs::path(dbg_path), ec).parent_path() / p).lexically_normal().string();
}

bool has_control(const std::string &t)
{
    for (unsigned char c : t)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// Member readers: each names the member in its message.
struct reader {
    std::string *error;
    std::string where;   // "lines[12]"

    bool fail(const std::string &what)
    {
        *error = where + (where.empty() ? "" : ": ") + what;
        return false;
    }
    bool integer(const json &o, const char *key, int64 min, int64 max, int64 *out, bool optional = false)
    {
        auto it = o.find(key);
        if (it == o.end()) {
            if (optional) return true;
            return fail(std::string("'") + key + "' is missing");
        }
        if (!it->is_number_integer()) return fail(std::string("'") + key + "' is not an integer");
        const int64 v = it->is_number_unsigned() ? (it->get<uint64_t>() > (uint64_t)INT64_MAX ? INT64_MAX : (int64)it->get<uint64_t>())
                                                 : it->get<int64_t>();
        if (v < min || v > max)
            return fail(std::string("'") + key + "' is " + std::to_string(v) + ", outside " + std::to_string(min) +
                        ".." + std::to_string(max));
        *out = v;
        return true;
    }
    // A text of one line: names and paths reach a console's lines.
    bool text(const json &o, const char *key, std::string *out, bool optional = false)
    {
        auto it = o.find(key);
        if (it == o.end()) {
            if (optional) return true;
            return fail(std::string("'") + key + "' is missing");
        }
        if (!it->is_string()) return fail(std::string("'") + key + "' is not a string");
        *out = it->get<std::string>();
        if (out->size() > MAX_TEXT) return fail(std::string("'") + key + "' is longer than 4096 characters");
        if (has_control(*out)) return fail(std::string("'") + key + "' holds a control character");
        return true;
    }
    // A file and line; nfiles 0: the files are not known yet (the index is
    // checked later, by check_place).
    bool place(const json &o, size_t nfiles, srcmap_place *out, bool optional = false)
    {
        int64 f = -1, l = 0;
        if (optional && !o.contains("file")) return true;
        if (!integer(o, "file", 0, nfiles ? (int64)nfiles - 1 : INT_MAX, &f)) return false;
        if (!integer(o, "line", 1, INT_MAX, &l)) return false;
        out->file = (int)f;
        out->line = (int)l;
        return true;
    }
    bool check_place(const srcmap_place &p, size_t nfiles)
    {
        if (p.file < (int)nfiles) return true;
        return fail("'file' is " + std::to_string(p.file) + ", outside 0.." + std::to_string((int64)nfiles - 1));
    }
};

bool read_line(reader &r, const json &e, size_t nfiles, srcmap_line *l)
{
    if (!e.is_object()) return r.fail("not an object");
    int64 a = 0, n = 0;
    if (!r.integer(e, "address", 0, 0xFFFF, &a) || !r.integer(e, "size", 1, 0x10000, &n)) return false;
    if (a + n > 0x10000) return r.fail("the bytes run past FFFF");
    l->address = (uint16)a;
    l->size = (uint32)n;
    std::string kind = "code";
    if (!r.text(e, "kind", &kind, true)) return false;
    if (kind != "code" && kind != "data") return r.fail("'kind' is '" + kind.substr(0, 40) + "', not code or data");
    l->code = kind == "code";
    if (!r.place(e, nfiles, &l->at)) return false;
    auto exp = e.find("expansion");
    if (exp != e.end()) {
        if (!exp->is_array()) return r.fail("'expansion' is not a list");
        if (exp->size() > MAX_EXPANSION) return r.fail("'expansion' has more than 1024 calls");
        for (size_t k = 0; k < exp->size(); k++) {
            const json &c = (*exp)[k];
            reader rc{r.error, r.where + ".expansion[" + std::to_string(k) + "]"};
            if (!c.is_object()) return rc.fail("not an object");
            srcmap_call call;
            if (!rc.text(c, "macro", &call.macro, true) || !rc.place(c, nfiles, &call.at)) return false;
            l->expansion.push_back(std::move(call));
        }
    }
    return true;
}

bool read_symbol(reader &r, const json &e, size_t nfiles, srcmap_symbol *sym)
{
    if (!e.is_object()) return r.fail("not an object");
    if (!r.text(e, "name", &sym->name) || !r.text(e, "kind", &sym->kind)) return false;
    if (sym->name.empty()) return r.fail("'name' is empty");
    if (e.contains("value")) {
        if (!r.integer(e, "value", INT64_MIN, INT64_MAX, &sym->value)) return false;
        sym->has_value = true;
    }
    if (sym->kind == "label" && (!sym->has_value || sym->value < 0 || sym->value > 0xFFFF))
        return r.fail("a label without an address from 0 to FFFF");
    return r.place(e, nfiles, &sym->at, true);
}

// Reads a debug information file's text. Its big members, "lines" and
// "symbols" (and "ranges", which is not kept), are read an entry at a
// time, so that the reading takes a few times the file's size; every
// other member is read whole. The messages come in the order of the
// members' checks: a file's first fault is named whatever the order of
// its members.
bool read_file_text(const std::string &path, const std::string &text, loaded *out, std::string *error)
{
    reader r{error, ""};
    json_member_stream<json> in;
    in.streamed = {"lines", "ranges", "symbols"};
    size_t nfiles = 0;   // files[] once read (0: not yet)
    size_t nlines = 0, nsymbols = 0;
    std::string line_error, symbol_error;
    std::vector<size_t> unchecked_lines, unchecked_symbols;   // read before the files
    in.on_member = [&](const std::string &member, const json *value) {
        if (member == "files" && value && value->is_array()) nfiles = value->size();
        return true;
    };
    in.on_element = [&](const std::string &member, json &&e) {
        if (member == "lines") {
            const size_t i = nlines++;
            if (!line_error.empty()) return true;
            if (nlines > MAX_ENTRIES) {
                line_error = "more than 1048576 lines";
                return true;
            }
            reader re{&line_error, "lines[" + std::to_string(i) + "]"};
            srcmap_line l;
            if (!read_line(re, e, nfiles, &l)) return true;
            if (!nfiles) unchecked_lines.push_back(out->lines.size());
            out->lines.push_back(std::move(l));
        } else if (member == "symbols") {
            const size_t i = nsymbols++;
            if (!symbol_error.empty()) return true;
            if (nsymbols > MAX_ENTRIES) {
                symbol_error = "more than 1048576 symbols";
                return true;
            }
            reader re{&symbol_error, "symbols[" + std::to_string(i) + "]"};
            srcmap_symbol sym;
            if (!read_symbol(re, e, nfiles, &sym)) return true;
            if (!nfiles) unchecked_symbols.push_back(out->symbols.size());
            out->symbols.push_back(std::move(sym));
        }
        return true;
    };
    bool parsed = false;
    try {
        parsed = json::sax_parse(text.begin(), text.end(), &in);
    } catch (const json::exception &e) {
        in.error = e.what();
    }
    if (!parsed) {
        if (in.not_object) return r.fail("not debug information (not a JSON object)");
        return r.fail(in.refused ? in.error : "not JSON: " + in.error);
    }
    const json &doc = in.doc;
    std::string format;
    if (!r.text(doc, "format", &format)) return false;
    if (format != "ovix-asm debug information")
        return r.fail("not debug information (format '" + format.substr(0, 80) + "')");
    int64 version = 0;
    if (!r.integer(doc, "version", 0, INT_MAX, &version)) return false;
    if (version != SRCMAP_VERSION)
        return r.fail("version " + std::to_string(version) + " of the format; this program reads version " +
                      std::to_string(SRCMAP_VERSION));

    std::string folder;
    if (!r.text(doc, "folder", &folder, true)) return false;
    if (doc.contains("folder") && !fs::path(folder).is_absolute()) return r.fail("'folder' is not an absolute path");
    auto files = doc.find("files");
    if (files == doc.end() || !files->is_array()) return r.fail("'files' is missing or not a list");
    if (files->size() > MAX_FILES) return r.fail("more than 65536 files");
    for (size_t i = 0; i < files->size(); i++) {
        const json &f = (*files)[i];
        const std::string where = "files[" + std::to_string(i) + "]";
        if (!f.is_string() || f.get<std::string>().empty() || f.get<std::string>().size() > MAX_TEXT)
            return r.fail(where + " is not a file name");
        // A name of several lines would make several lines of a console's
        // reply, or of a command that names it.
        if (has_control(f.get<std::string>())) return r.fail(where + " holds a control character");
        out->files.push_back(resolve(f.get<std::string>(), folder, path));
    }

    auto image = doc.find("image");
    if (image == doc.end() || !image->is_object()) return r.fail("'image' is missing or not an object");
    r.where = "image";
    int64 base = 0, size = 0;
    if (!r.integer(*image, "base", 0, 0xFFFF, &base) || !r.integer(*image, "size", 1, 0x10000, &size)) return false;
    if (base + size > 0x10000) return r.fail("the image runs past FFFF");
    out->base = (uint16)base;
    out->size = (uint32)size;

    r.where = "";
    if (!in.listed("lines")) return r.fail("'lines' is missing or not a list");
    if (!line_error.empty()) return r.fail(line_error);
    for (size_t i : unchecked_lines) {
        const srcmap_line &l = out->lines[i];
        reader rl{error, "lines[" + std::to_string(i) + "]"};
        if (!rl.check_place(l.at, out->files.size())) return false;
        for (size_t k = 0; k < l.expansion.size(); k++) {
            reader rc{error, rl.where + ".expansion[" + std::to_string(k) + "]"};
            if (!rc.check_place(l.expansion[k].at, out->files.size())) return false;
        }
    }
    std::sort(out->lines.begin(), out->lines.end(),
              [](const srcmap_line &x, const srcmap_line &y) { return x.address < y.address; });
    for (size_t i = 1; i < out->lines.size(); i++) {
        const srcmap_line &p = out->lines[i - 1];
        if (p.address + p.size > out->lines[i].address) {
            char t[120];
            snprintf(t, sizeof t, "lines: two entries hold the byte %04X", out->lines[i].address);
            return r.fail(t);
        }
    }

    if (doc.contains("symbols")) return r.fail("'symbols' is not a list");
    if (!symbol_error.empty()) return r.fail(symbol_error);
    for (size_t i : unchecked_symbols) {
        reader rs{error, "symbols[" + std::to_string(i) + "]"};
        if (!rs.check_place(out->symbols[i].at, out->files.size())) return false;
    }
    out->path = path;
    return true;
}

// The merged table, from the loaded files.
void rebuild()
{
    s.files.clear();
    s.real.clear();
    s.lines.clear();
    s.symbols.clear();
    s.by_name.clear();
    s.code_lines.clear();
    s.labels.clear();
    s.loaded_names.clear();
    for (const loaded &f : s.files_loaded) {
        s.loaded_names.push_back(f.path);
        std::vector<int> map;
        for (const std::string &name : f.files) {
            const std::string real = real_path(name);
            int index = -1;
            for (size_t i = 0; i < s.real.size() && index < 0; i++)
                if (s.real[i] == real) index = (int)i;
            if (index < 0) {
                index = (int)s.files.size();
                s.files.push_back(name);
                s.real.push_back(real);
            }
            map.push_back(index);
        }
        auto remap = [&](srcmap_place &p) {
            if (p.file >= 0) p.file = map[(size_t)p.file];
        };
        for (srcmap_line l : f.lines) {
            remap(l.at);
            for (srcmap_call &c : l.expansion) remap(c.at);
            s.lines.push_back(std::move(l));
        }
        for (srcmap_symbol sym : f.symbols) {
            remap(sym.at);
            s.by_name.emplace(upper(sym.name), s.symbols.size());
            s.symbols.push_back(std::move(sym));
        }
    }
    std::sort(s.lines.begin(), s.lines.end(),
              [](const srcmap_line &x, const srcmap_line &y) { return x.address < y.address; });
    s.code_lines.resize(s.files.size());
    for (const srcmap_line &l : s.lines) {
        if (!l.code) continue;
        s.code_lines[(size_t)l.at.file].insert(l.at.line);
        for (const srcmap_call &c : l.expansion) s.code_lines[(size_t)c.at.file].insert(c.at.line);
    }
    for (size_t i = 0; i < s.symbols.size(); i++)
        if (s.symbols[i].kind == "label") s.labels.push_back(i);
    std::stable_sort(s.labels.begin(), s.labels.end(),
                     [](size_t a, size_t b) { return s.symbols[a].value < s.symbols[b].value; });
}

bool in_image(const loaded &f, uint32 a) { return a >= f.base && a < f.base + f.size; }

}  // namespace

bool srcmap_parse(const char *path, const std::string &text, std::string *error)
{
    loaded f;
    std::string why;
    if (!read_file_text(path, text, &f, &why)) {
        *error = std::string(path) + ": " + why;
        return false;
    }
    // A file describing the same image, or one it overlaps, is replaced.
    auto &v = s.files_loaded;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const loaded &o) { return o.base < f.base + f.size && f.base < o.base + o.size; }),
            v.end());
    v.push_back(std::move(f));
    rebuild();
    return true;
}

bool srcmap_load(const char *path, std::string *error)
{
    std::string text, why;
    long long size = 0;
    switch (read_input_file(path, SRCMAP_MAX_FILE_BYTES, &text, &size, &why)) {
    case input_read::ok: break;
    case input_read::not_opened: *error = why; return false;
    case input_read::too_big: *error = std::string(path) + ": larger than 64 MiB"; return false;
    case input_read::read_error: *error = why; return false;
    }
    return srcmap_parse(path, text, error);
}

void srcmap_forget(uint16 first, uint16 last)
{
    auto &v = s.files_loaded;
    v.erase(std::remove_if(v.begin(), v.end(), [&](const loaded &o) { return o.base <= last && first < o.base + o.size; }),
            v.end());
    rebuild();
}

void srcmap_clear()
{
    s.files_loaded.clear();
    rebuild();
}

bool srcmap_loaded() { return !s.files_loaded.empty(); }
const std::vector<std::string> &srcmap_loaded_files() { return s.loaded_names; }
size_t srcmap_file_count() { return s.files.size(); }
const std::string &srcmap_file(int index) { return s.files.at((size_t)index); }

int srcmap_find_file(const char *path)
{
    if (!path || !*path) return -1;
    const std::string real = real_path(path);
    for (size_t i = 0; i < s.real.size(); i++)
        if (s.real[i] == real || s.files[i] == path) return (int)i;
    return -1;
}

const srcmap_line *srcmap_line_at(uint16 address)
{
    auto it = std::upper_bound(s.lines.begin(), s.lines.end(), address,
                               [](uint16 a, const srcmap_line &l) { return a < l.address; });
    if (it == s.lines.begin()) return nullptr;
    --it;
    return address < it->address + it->size ? &*it : nullptr;
}

srcmap_place srcmap_statement(const srcmap_line &l) { return l.expansion.empty() ? l.at : l.expansion.back().at; }

srcmap_place srcmap_statement_at(uint16 address)
{
    const srcmap_line *l = srcmap_line_at(address);
    return l ? srcmap_statement(*l) : srcmap_place{};
}

std::vector<uint16> srcmap_line_addresses(int file, int line)
{
    const srcmap_place want{file, line};
    std::vector<uint16> out;
    const srcmap_line *prev = nullptr;   // the last entry taken into the current place
    std::vector<srcmap_place> first_inner;   // the first entry's lines inside the matched call
    for (const srcmap_line &l : s.lines) {
        if (!l.code) continue;
        if (l.at == want) {   // the line itself: every repetition is a place of its own
            out.push_back(l.address);
            prev = nullptr;
            continue;
        }
        size_t k = 0;
        while (k < l.expansion.size() && !(l.expansion[k].at == want)) k++;
        if (k == l.expansion.size()) {
            prev = nullptr;
            continue;
        }
        // A call of a macro on the line: its expansion is one place, until
        // the bytes stop following each other or the expansion starts
        // again (the same lines inside it as at its first entry: a call
        // repeated by REPT).
        std::vector<srcmap_place> inner{l.at};
        for (size_t i = 0; i < k; i++) inner.push_back(l.expansion[i].at);
        const bool same = prev && prev->address + prev->size == l.address && inner != first_inner;
        if (!same) {
            out.push_back(l.address);
            first_inner = std::move(inner);
        }
        prev = &l;
    }
    return out;
}

int srcmap_code_line_from(int file, int line, int lookahead)
{
    if (file < 0 || (size_t)file >= s.code_lines.size()) return 0;
    const std::set<int> &lines = s.code_lines[(size_t)file];
    auto it = lines.lower_bound(line);
    if (it == lines.end() || *it - line > lookahead) return 0;
    return *it;
}

std::vector<std::pair<uint16, uint16>> srcmap_images()
{
    std::vector<std::pair<uint16, uint16>> out;
    for (const loaded &f : s.files_loaded) out.emplace_back(f.base, (uint16)(f.base + f.size - 1));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<uint16, uint16>> srcmap_unwritten()
{
    std::vector<bool> written(0x10000, false);
    for (const srcmap_line &l : s.lines)
        for (uint32 a = l.address; a < l.address + l.size; a++) written[a] = true;
    std::vector<std::pair<uint16, uint16>> out;
    for (const auto &[first, last] : srcmap_images()) {
        uint32 a = first;
        while (a <= last) {
            if (written[a]) {
                a++;
                continue;
            }
            const uint32 from = a;
            while (a <= last && !written[a]) a++;
            out.emplace_back((uint16)from, (uint16)(a - 1));
        }
    }
    return out;
}

const std::vector<srcmap_symbol> &srcmap_symbols() { return s.symbols; }

const srcmap_symbol *srcmap_symbol_named(const std::string &name)
{
    auto it = s.by_name.find(upper(name));
    return it == s.by_name.end() ? nullptr : &s.symbols[it->second];
}

std::string srcmap_labels_text(const std::set<std::string> &skip)
{
    std::string text;
    std::set<std::string> seen = skip;
    for (size_t i : s.labels) {
        const srcmap_symbol &l = s.symbols[i];
        if (!seen.insert(upper(l.name)).second) continue;
        char t[8];
        snprintf(t, sizeof t, "%04X ", (unsigned)l.value);
        text += t + l.name + "\n";
    }
    return text;
}

const srcmap_symbol *srcmap_label_before(uint16 address)
{
    const loaded *image = nullptr;
    for (const loaded &f : s.files_loaded)
        if (in_image(f, address)) image = &f;
    if (!image) return nullptr;
    const srcmap_symbol *best = nullptr;
    for (size_t i : s.labels) {
        const srcmap_symbol &l = s.symbols[i];
        if (l.value > address) break;
        if (!in_image(*image, (uint32)l.value)) continue;
        // Of the labels of one address, the first that is not local.
        if (best && best->value == l.value && (best->name.find('.') == std::string::npos || l.name.find('.') != std::string::npos))
            continue;
        best = &l;
    }
    return best;
}
