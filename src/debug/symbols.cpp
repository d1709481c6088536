// Symbols of the programs being debugged (see symbols.h): a table of the
// names of symbol files in two groups (BIOS, cartridge), looked up by
// address and by name, and used to put names into the disassembler's
// texts.
#include "debug/symbols.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/files.h"

namespace {

constexpr long long MAX_FILE_BYTES = 4ll << 20;
constexpr size_t MAX_NAME = 63;
constexpr int FORMAT = 2;                             // the newest format read
constexpr const char *FORMAT_LINE = "; ovix-asm symbols ";

struct entry {
    symbol_kind kind;
    symbol_group group;
    int64 value;
    std::string name;
    std::string file;   // where it comes from, for messages
    long line;
};

struct table {
    std::vector<entry> entries;                    // by group (cartridge first), then file order
    std::vector<size_t> labels;                    // the labels, sorted by address (then entry order)
    std::multimap<std::string, size_t> by_name;    // upper-case name -> entry, cartridge's first
    int alias[2][2][256];                          // [group][0 reg, 1 port][n] -> entry, or -1
};

struct {
    table t;
    char message[640];
} s;

std::string upper(std::string n)
{
    for (char &c : n) c = (char)toupper((unsigned char)c);
    return n;
}

bool name_char(char c, bool first)
{
    return isalpha((unsigned char)c) || c == '_' || c == '.' || (!first && isdigit((unsigned char)c));
}

bool good_name(const std::string &n)
{
    bool good = !n.empty() && n.size() <= MAX_NAME;
    for (size_t k = 0; good && k < n.size(); k++) good = name_char(n[k], k == 0);
    return good;
}

// A line of a file as a message may quote it: cut to 60 characters, and
// every byte that is not printable ASCII written as \xNN.
std::string shown(const std::string &line)
{
    const bool cut = line.size() > 60;
    std::string out;
    for (size_t i = 0; i < std::min<size_t>(line.size(), 60); i++) {
        const unsigned char c = (unsigned char)line[i];
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return cut ? out + "..." : out;
}

int group_index(symbol_group g) { return g == symbol_group::bios ? 0 : 1; }

// Sorts the entries (cartridge first, each group in file order) and
// rebuilds the look-ups.
void index(table &t)
{
    std::stable_sort(t.entries.begin(), t.entries.end(), [](const entry &a, const entry &b) {
        return group_index(a.group) > group_index(b.group);
    });
    t.labels.clear();
    t.by_name.clear();
    for (auto &g : t.alias)
        for (auto &k : g)
            for (int &e : k) e = -1;
    for (size_t i = 0; i < t.entries.size(); i++) {
        const entry &e = t.entries[i];
        t.by_name.emplace(upper(e.name), i);
        if (e.kind == symbol_kind::label) t.labels.push_back(i);
        if ((e.kind == symbol_kind::reg || e.kind == symbol_kind::port) && symbols_assembly_name(e.name.c_str())) {
            int &a = t.alias[group_index(e.group)][e.kind == symbol_kind::port][e.value & 0xFF];
            if (a < 0) a = (int)i;
        }
    }
    std::stable_sort(t.labels.begin(), t.labels.end(),
                     [&](size_t a, size_t b) { return t.entries[a].value < t.entries[b].value; });
}

// The first label index at or after `address`: the labels of `address`, if
// any, start there.
std::vector<size_t>::const_iterator first_at(uint16 address)
{
    return std::lower_bound(s.t.labels.begin(), s.t.labels.end(), address,
                            [](size_t e, uint16 a) { return s.t.entries[e].value < a; });
}

// Of the labels at `address` that `take` accepts: the first one that is
// not a local label ("print.loop"), else the first local one; null when
// there is none.
const char *preferred_name(uint16 address, bool (*take)(const char *name))
{
    const char *local = nullptr;
    for (auto it = first_at(address); it != s.t.labels.end() && s.t.entries[*it].value == address; ++it) {
        const std::string &n = s.t.entries[*it].name;
        if (!take(n.c_str())) continue;
        if (n.find('.') == std::string::npos) return n.c_str();
        if (!local) local = n.c_str();
    }
    return local;
}

const char *bad_line(const char *name, long line_no, const std::string &line, const char *what)
{
    snprintf(s.message, sizeof s.message, "%s:%ld: %s, not '%s'", name, line_no, what, shown(line).c_str());
    return s.message;
}

// A ";= KIND NAME VALUE" line of format 2 (without the ";=").
bool parse_kind_line(const std::string &text, entry &e)
{
    char kind[16], name[80], value[40], extra[2];
    if (sscanf(text.c_str(), " %15s %79s %39s %1s", kind, name, value, extra) != 3) return false;
    const std::string k = kind, v = value;
    e.name = name;
    if (!good_name(e.name) || text.find('\0') != std::string::npos) return false;
    if (k == "constant") {
        e.kind = symbol_kind::constant;
        const bool hex = v[0] == '$';
        const char *digits = v.c_str() + (hex ? 1 : 0);
        if (!*digits || (hex && !isxdigit((unsigned char)*digits)) || (!hex && !isdigit((unsigned char)*digits) && *digits != '-'))
            return false;
        char *end = nullptr;
        errno = 0;
        e.value = hex ? (int64)strtoull(digits, &end, 16) : (int64)strtoll(digits, &end, 10);
        return *end == 0 && errno == 0 && !(hex && strlen(digits) > 16);
    }
    if (k != "register" && k != "port") return false;
    e.kind = k == "register" ? symbol_kind::reg : symbol_kind::port;
    const char letter = k == "register" ? 'R' : 'P';
    if (toupper((unsigned char)v[0]) != letter || v.size() < 2 || v.size() > 4) return false;
    for (size_t i = 1; i < v.size(); i++)
        if (!isdigit((unsigned char)v[i])) return false;
    e.value = atoi(v.c_str() + 1);
    return e.value <= 255;
}

// Reads a file's names into `out` (group `g`). Null, or the message.
const char *parse(symbol_group g, const char *name, const char *text, size_t size, std::vector<entry> &out)
{
    std::map<std::string, long> first_line;
    long line_no = 0;
    int format = 1;
    size_t pos = 0;
    while (pos < size) {
        size_t end = pos;
        while (end < size && text[end] != '\n') end++;
        std::string line(text + pos, end - pos);
        pos = end + 1;
        line_no++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t i = 0;
        while (i < line.size() && isblank((unsigned char)line[i])) i++;
        if (line_no == 1 && line.compare(0, strlen(FORMAT_LINE), FORMAT_LINE) == 0) {
            char *after = nullptr;
            const long f = strtol(line.c_str() + strlen(FORMAT_LINE), &after, 10);
            if (after == line.c_str() + strlen(FORMAT_LINE) || f < 1 || *after) return bad_line(name, line_no, line, "expected the format's number");
            if (f > FORMAT) {
                snprintf(s.message, sizeof s.message, "%s: symbol file format %ld; this program reads formats 1 to %d",
                         name, f, FORMAT);
                return s.message;
            }
            format = (int)f;
            continue;
        }
        entry e{symbol_kind::label, g, 0, "", name, line_no};
        if (format >= 2 && line.compare(i, 2, ";=") == 0) {
            if (!parse_kind_line(line.substr(i + 2), e))
                return bad_line(name, line_no, line,
                                "expected ';= KIND NAME VALUE' (constant and a number, register and Rn, port and Pn)");
        } else if (i == line.size() || line[i] == ';' || line[i] == '#') {
            continue;
        } else {
            size_t a = i;
            unsigned address = 0;
            while (i < line.size() && isxdigit((unsigned char)line[i]) && i - a < 5) {
                address = address * 16 + (unsigned)(isdigit((unsigned char)line[i]) ? line[i] - '0'
                                                                                     : toupper((unsigned char)line[i]) - 'A' + 10);
                i++;
            }
            const size_t digits = i - a;
            size_t n = i;
            while (n < line.size() && isblank((unsigned char)line[n])) n++;
            size_t stop = line.size();
            while (stop > n && isblank((unsigned char)line[stop - 1])) stop--;
            e.name = line.substr(n, stop - n);
            e.value = address;
            if (!(digits >= 1 && digits <= 4 && n > i && good_name(e.name)))
                return bad_line(name, line_no, line,
                                "expected a hexadecimal address (up to 4 digits), blanks and a name");
        }
        const std::string key = upper(e.name);
        auto seen = first_line.find(key);
        if (seen != first_line.end()) {
            snprintf(s.message, sizeof s.message, "%s:%ld: the name '%s' is given twice (also at line %ld)", name, line_no,
                     e.name.c_str(), seen->second);
            return s.message;
        }
        first_line[key] = line_no;
        out.push_back(std::move(e));
    }
    return nullptr;
}

// The table with `names` added to group `g` (its other names dropped
// first when `replace`), or the message of a conflict.
const char *merge(symbol_group g, bool replace, std::vector<entry> &names)
{
    table t;
    for (const entry &e : s.t.entries)
        if (!(replace && e.group == g)) t.entries.push_back(e);
    std::map<std::string, size_t> in_group;
    for (size_t i = 0; i < t.entries.size(); i++)
        if (t.entries[i].group == g) in_group.emplace(upper(t.entries[i].name), i);
    for (entry &e : names) {
        auto it = in_group.find(upper(e.name));
        if (it != in_group.end()) {
            const entry &o = t.entries[it->second];
            if (o.kind == e.kind && o.value == e.value) continue;   // the same name again
            snprintf(s.message, sizeof s.message,
                     "%s:%ld: the name '%s' is a %s of value %" PRId64 " here and a %s of value %" PRId64 " in %s:%ld",
                     e.file.c_str(), e.line, e.name.c_str(), symbol_kind_text(e.kind), e.value, symbol_kind_text(o.kind),
                     o.value, o.file.c_str(), o.line);
            return s.message;
        }
        t.entries.push_back(std::move(e));
    }
    index(t);
    s.t = std::move(t);
    return nullptr;
}

// A file's text into group `g`, replacing the group's names or adding to them.
const char *add_text(symbol_group g, bool replace, const char *name, const char *text, size_t size)
{
    std::vector<entry> names;
    if (const char *error = parse(g, name, text, size, names)) return error;
    return merge(g, replace, names);
}

// Reads `path` (at most MAX_FILE_BYTES) into `text`; null, or the message.
const char *read_file(const char *path, std::string &text)
{
    std::string err;
    long long size = 0;
    switch (read_input_file(path, MAX_FILE_BYTES, &text, &size, &err)) {
    case input_read::ok:
        return nullptr;
    case input_read::not_opened:
        snprintf(s.message, sizeof s.message, "cannot read the symbol file %s", err.c_str());
        break;
    case input_read::too_big:
        snprintf(s.message, sizeof s.message, "%s: %lld bytes, more than a symbol file may have (%lld)", path, size,
                 MAX_FILE_BYTES);
        break;
    case input_read::read_error:
        snprintf(s.message, sizeof s.message, "%s: read error", path);
        break;
    }
    return s.message;
}

const char *load_into(symbol_group g, bool replace, const char *path)
{
    std::string text;
    if (const char *error = read_file(path, text)) return error;
    return add_text(g, replace, path, text.data(), text.size());
}

// The file beside an image: "<image>.sym", else the image's name with its
// extension replaced by ".sym", into group `g`.
const char *load_beside(symbol_group g, const char *image_path, std::string *loaded)
{
    loaded->clear();
    symbols_clear_group(g);
    const std::string path = image_path;
    // The extension is what follows the last '.' of the file's own name.
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string candidates[] = {path + ".sym", has_extension ? path.substr(0, dot) + ".sym" : std::string()};
    for (const std::string &c : candidates) {
        if (c.empty() || !path_exists(c.c_str())) continue;
        if (const char *error = load_into(g, true, c.c_str())) return error;
        *loaded = c;
        return nullptr;
    }
    return nullptr;
}

}  // namespace

const char *symbol_kind_text(symbol_kind k)
{
    switch (k) {
    case symbol_kind::label: return "label";
    case symbol_kind::constant: return "constant";
    case symbol_kind::reg: return "register";
    case symbol_kind::port: return "port";
    }
    return "?";
}

const char *symbols_parse(const char *name, const char *text, size_t size)
{
    std::vector<entry> names;
    if (const char *error = parse(symbol_group::cartridge, name, text, size, names)) return error;
    s.t = table{};
    return merge(symbol_group::cartridge, true, names);
}

const char *symbols_load(const char *path)
{
    std::string text;
    if (const char *error = read_file(path, text)) return error;
    return symbols_parse(path, text.data(), text.size());
}

const char *symbols_add(symbol_group group, const char *path) { return load_into(group, false, path); }

const char *symbols_add_text(symbol_group group, const char *name, const char *text, size_t size)
{
    return add_text(group, false, name, text, size);
}

void symbols_clear()
{
    s.t = table{};
    index(s.t);
}

void symbols_clear_group(symbol_group group)
{
    std::vector<entry> none;
    merge(group, true, none);
}

size_t symbols_count() { return s.t.entries.size(); }

bool symbols_lookup(const char *name, symbol_info *out)
{
    auto it = s.t.by_name.find(upper(name));
    if (it == s.t.by_name.end()) return false;
    const entry &e = s.t.entries[it->second];
    *out = symbol_info{e.name.c_str(), e.kind, e.value, e.group};
    return true;
}

const char *symbols_name(uint16 address)
{
    return preferred_name(address, [](const char *) { return true; });
}

const char *symbols_name_at(uint16 address, size_t index)
{
    for (auto it = first_at(address); it != s.t.labels.end() && s.t.entries[*it].value == address; ++it, index--)
        if (index == 0) return s.t.entries[*it].name.c_str();
    return nullptr;
}

bool symbols_address(const char *name, uint16 *address)
{
    auto [from, to] = s.t.by_name.equal_range(upper(name));
    for (auto it = from; it != to; ++it)
        if (s.t.entries[it->second].kind == symbol_kind::label) {
            *address = (uint16)s.t.entries[it->second].value;
            return true;
        }
    return false;
}

static const char *alias_name(int port, unsigned n, uint16 pc)
{
    if (s.t.entries.empty() || n > 255) return nullptr;
    const int first = pc >= 0xF800 ? 0 : 1;   // the BIOS's names for the BIOS's code
    for (int g : {first, 1 - first}) {
        const int e = s.t.alias[g][port][n];
        if (e >= 0) return s.t.entries[(size_t)e].name.c_str();
    }
    return nullptr;
}

const char *symbols_register_name(unsigned n, uint16 pc) { return alias_name(0, n, pc); }
const char *symbols_port_name(unsigned n, uint16 pc) { return alias_name(1, n, pc); }

bool symbols_assembly_name(const char *name)
{
    const std::string u = upper(name);
    if (u.empty() || u[0] == '.' || u == "A" || u == "B" || u == "ST") return false;
    if ((u[0] == 'R' || u[0] == 'P') && u.size() > 1 &&
        u.find_first_not_of("0123456789", 1) == std::string::npos)
        return false;
    return u.find_first_not_of("0123456789ABCDEF") != std::string::npos;
}

const char *symbols_load_beside(const char *rom_path, std::string *loaded)
{
    return load_beside(symbol_group::cartridge, rom_path, loaded);
}

const char *symbols_load_beside_bios(const char *bios_path, std::string *loaded)
{
    return load_beside(symbol_group::bios, bios_path, loaded);
}

bool symbols_name_target(const char *text, unsigned address, unsigned length, char *out, size_t size,
                         uint16 *target_out)
{
    snprintf(out, size, "%s", text);
    const size_t len = strlen(text);
    size_t from = 0, to = 0;
    unsigned target = 0;
    bool memory = false;
    auto hex4 = [&](size_t at, unsigned *v) {
        if (at + 4 > len) return false;
        unsigned x = 0;
        for (size_t k = at; k < at + 4; k++) {
            if (!isxdigit((unsigned char)text[k])) return false;
            x = x * 16 + (unsigned)(isdigit((unsigned char)text[k]) ? text[k] - '0' : toupper((unsigned char)text[k]) - 'A' + 10);
        }
        *v = x;
        return at + 4 == len || !isxdigit((unsigned char)text[at + 4]);
    };
    if (const char *m = strstr(text, "@#")) {   // LDA/STA/CMPA @#1234, @#1234(B)
        from = (size_t)(m - text);
        if (!hex4(from + 2, &target)) return false;
        to = from + 6;
        memory = true;
    } else if (const char *d = strchr(text, '$')) {
        from = (size_t)(d - text);
        if (hex4(from + 1, &target)) {          // BR/CALL $1234
            to = from + 5;
        } else {                                // a relative target: $, $+n, $-n
            long offset = 0;
            to = from + 1;
            if (to < len && (text[to] == '+' || text[to] == '-')) {
                size_t k = to + 1;
                while (k < len && isdigit((unsigned char)text[k])) offset = offset * 10 + (text[k++] - '0');
                if (k == to + 1) return false;
                if (text[to] == '-') offset = -offset;
                to = k;
            }
            if (to != len) return false;
            target = (address + length + (unsigned)offset) & 0xFFFF;
        }
    } else {
        return false;
    }
    // The name symbols_name would give, among those the disassembler
    // dialect takes as they are.
    const char *name = preferred_name((uint16)target, symbols_assembly_name);
    if (!name) return false;
    snprintf(out, size, "%.*s%s%s%s", (int)from, text, memory ? "@" : "", name, text + to);
    if (target_out) *target_out = (uint16)target;
    return true;
}

bool symbols_name_operands(const char *text, unsigned address, unsigned length, char *out, size_t size,
                           uint16 *target, symbol_aliases *aliases)
{
    if (aliases) aliases->count = 0;
    const bool named = symbols_name_target(text, address, length, out, size, target);
    std::string t = out;
    const size_t space = t.find(' ');
    if (space == std::string::npos || s.t.entries.empty()) return named;
    // Register and port operands: "R" or "P" and digits, a whole operand
    // (after the mnemonic's blank, a ',' or '*'; before the end or ',').
    std::string result = t.substr(0, space + 1);
    for (size_t i = space + 1; i < t.size();) {
        const char c = t[i];
        const bool starts = (c == 'R' || c == 'P') && (t[i - 1] == ' ' || t[i - 1] == ',' || t[i - 1] == '*');
        size_t j = i + 1;
        while (starts && j < t.size() && isdigit((unsigned char)t[j])) j++;
        if (starts && j > i + 1 && j - i <= 4 && (j == t.size() || t[j] == ',')) {
            const unsigned n = (unsigned)atoi(t.c_str() + i + 1);
            const char *alias = c == 'R' ? symbols_register_name(n, (uint16)address) : symbols_port_name(n, (uint16)address);
            if (alias) {
                result += alias;
                if (aliases && aliases->count < 4)
                    aliases->used[aliases->count++] = {alias, c == 'R' ? symbol_kind::reg : symbol_kind::port, n};
                i = j;
                continue;
            }
        }
        result += c;
        i++;
    }
    snprintf(out, size, "%s", result.c_str());
    return named;
}
