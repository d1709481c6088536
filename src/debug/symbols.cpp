// Symbols of the program being debugged (see symbols.h): a table of labels
// loaded from a symbol file, looked up by address and by name, and used to
// put names into the disassembler's texts.
#include "debug/symbols.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/files.h"

namespace {

constexpr long long MAX_FILE_BYTES = 4ll << 20;
constexpr size_t MAX_NAME = 63;

struct entry {
    uint16 address;
    std::string name;
};

struct table {
    std::vector<entry> by_address;           // sorted by address, file order within one address
    std::map<std::string, uint16> by_name;   // upper-case name -> address
};

struct {
    table t;
    char message[512];
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

// The first entry at or after `address`: the labels of `address`, if any,
// start there, in file order.
std::vector<entry>::const_iterator first_at(uint16 address)
{
    return std::lower_bound(s.t.by_address.begin(), s.t.by_address.end(), address,
                            [](const entry &x, uint16 a) { return x.address < a; });
}

// Of the labels at `address` that `take` accepts: the first one that is
// not a local label ("print.loop"), else the first local one; null when
// there is none.
const char *preferred_name(uint16 address, bool (*take)(const char *name))
{
    const char *local = nullptr;
    for (auto it = first_at(address); it != s.t.by_address.end() && it->address == address; ++it) {
        if (!take(it->name.c_str())) continue;
        if (it->name.find('.') == std::string::npos) return it->name.c_str();
        if (!local) local = it->name.c_str();
    }
    return local;
}

}  // namespace

const char *symbols_parse(const char *name, const char *text, size_t size)
{
    table t;
    std::map<std::string, long> first_line;
    long line_no = 0;
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
        if (i == line.size() || line[i] == ';' || line[i] == '#') continue;

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
        size_t e = line.size();
        while (e > n && isblank((unsigned char)line[e - 1])) e--;
        const std::string label = line.substr(n, e - n);
        bool good = digits >= 1 && digits <= 4 && n > i && !label.empty() && label.size() <= MAX_NAME;
        for (size_t k = 0; good && k < label.size(); k++) good = name_char(label[k], k == 0);
        if (!good) {
            std::string shown = line.size() > 60 ? line.substr(0, 60) + "..." : line;
            snprintf(s.message, sizeof s.message,
                     "%s:%ld: expected a hexadecimal address (up to 4 digits), blanks and a name, not '%s'", name, line_no,
                     shown.c_str());
            return s.message;
        }
        const std::string key = upper(label);
        auto seen = first_line.find(key);
        if (seen != first_line.end()) {
            snprintf(s.message, sizeof s.message, "%s:%ld: the name '%s' is given twice (also at line %ld)", name,
                     line_no, label.c_str(), seen->second);
            return s.message;
        }
        first_line[key] = line_no;
        t.by_name[key] = (uint16)address;
        t.by_address.push_back(entry{(uint16)address, label});
    }
    std::stable_sort(t.by_address.begin(), t.by_address.end(),
                     [](const entry &x, const entry &y) { return x.address < y.address; });
    s.t = std::move(t);
    return nullptr;
}

const char *symbols_load(const char *path)
{
    std::string text, err;
    long long size = 0;
    switch (read_input_file(path, MAX_FILE_BYTES, &text, &size, &err)) {
    case input_read::ok:
        return symbols_parse(path, text.data(), text.size());
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

void symbols_clear() { s.t = table{}; }

size_t symbols_count() { return s.t.by_address.size(); }

const char *symbols_name(uint16 address)
{
    return preferred_name(address, [](const char *) { return true; });
}

const char *symbols_name_at(uint16 address, size_t index)
{
    for (auto it = first_at(address); it != s.t.by_address.end() && it->address == address; ++it, index--)
        if (index == 0) return it->name.c_str();
    return nullptr;
}

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
    loaded->clear();
    symbols_clear();
    const std::string path = rom_path;
    // The extension is what follows the last '.' of the file's own name.
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string candidates[] = {path + ".sym", has_extension ? path.substr(0, dot) + ".sym" : std::string()};
    for (const std::string &c : candidates) {
        if (c.empty() || !path_exists(c.c_str())) continue;
        if (const char *error = symbols_load(c.c_str())) return error;
        *loaded = c;
        return nullptr;
    }
    return nullptr;
}

bool symbols_address(const char *name, uint16 *address)
{
    auto it = s.t.by_name.find(upper(name));
    if (it == s.t.by_name.end()) return false;
    *address = it->second;
    return true;
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
