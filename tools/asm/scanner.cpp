// ovix-asm scanner: text helpers, strings, operand lists and the splitting
// of a source line into labels, operation and operands by the rules of its
// dialect.
//
// Common syntax: a word in column 1 is a label (with or without ':'),
// unless it names an operation and no other operation follows it, so that
// "NOP" or "END" in column 1 still work; a '*' in column 1 makes the line a
// comment (in both dialects). Disassembler syntax: labels end with ':', and
// a line that starts with a four-digit address followed by bytes is a line
// of a disassembly listing (the memory explorer's dump, the debugger's box).
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "asm_int.h"

namespace ovasm {

std::string upper(std::string s)
{
    for (char &c : s) c = (char)toupper((unsigned char)c);
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && isspace((unsigned char)s[b])) b++;
    while (e > b && isspace((unsigned char)s[e - 1])) e--;
    return s.substr(b, e - b);
}

bool is_ident_start(char c) { return isalpha((unsigned char)c) || c == '_' || c == '.'; }
bool is_ident_char(char c) { return isalnum((unsigned char)c) || c == '_' || c == '.'; }

bool all_hex(const std::string &s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!isxdigit((unsigned char)c)) return false;
    return true;
}

int hex_digit(char c)
{
    if (!isxdigit((unsigned char)c)) return 16;
    return isdigit((unsigned char)c) ? c - '0' : toupper((unsigned char)c) - 'A' + 10;
}

bool all_digits(const std::string &s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!isdigit((unsigned char)c)) return false;
    return true;
}

std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string hex_bytes(const std::vector<uint8_t> &b)
{
    std::string s;
    for (uint8_t x : b) s += fmt(s.empty() ? "%02X" : " %02X", x);
    return s;
}

std::string printable(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = (unsigned char)s[i];
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
            i++;
            continue;
        }
        // A whole UTF-8 sequence of a character (no overlong forms, no
        // surrogates) stays as it is.
        size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool ok = n > 0 && i + n <= s.size();
        for (size_t k = 1; ok && k < n; k++) ok = ((unsigned char)s[i + k] & 0xC0) == 0x80;
        if (ok && n == 3) {
            const unsigned char d = (unsigned char)s[i + 1];
            ok = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);
        }
        if (ok && n == 4) {
            const unsigned char d = (unsigned char)s[i + 1];
            ok = !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
        }
        if (ok) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02X", c);
        out += c == '\t' ? std::string(" ") : std::string(esc);
        i++;
    }
    return out;
}

std::string quote(const std::string &s)
{
    size_t n = s.size();
    if (n > 60) {
        n = 57;
        while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80) n--;   // not inside a UTF-8 character
    }
    std::string out;
    out.reserve(n + 5);
    out.push_back('\'');
    out.append(s, 0, n);
    if (n < s.size()) out.append("...");
    out.push_back('\'');
    return out;
}

std::vector<std::string> split_operands(const std::string &s)
{
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (quote) {
            cur += c;
            if (c == '\\' && i + 1 < s.size()) cur += s[++i];
            else if (c == quote) quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') quote = c;
        else if (c == '(') depth++;
        else if (c == ')') depth--;
        else if (c == ',' && depth == 0) {
            out.push_back(trim(cur));
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (!trim(cur).empty() || !out.empty()) out.push_back(trim(cur));
    return out;
}

std::string strip_comment(const std::string &s)
{
    char quote = 0;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (quote) {
            if (c == '\\') i++;
            else if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            return s.substr(0, i);
        }
    }
    return s;
}

bool parse_escape(const std::string &s, size_t &i, int &value)
{
    if (i >= s.size()) return false;
    char c = s[i++];
    switch (c) {
    case 'n': value = '\n'; return true;
    case 'r': value = '\r'; return true;
    case 't': value = '\t'; return true;
    case '0': value = 0; return true;
    case '\\': case '"': case '\'': value = c; return true;
    case 'x': case 'X': {
        int v = 0, n = 0;
        while (n < 2 && i < s.size() && isxdigit((unsigned char)s[i])) {
            v = v * 16 + hex_digit(s[i]);
            i++;
            n++;
        }
        value = v;
        return n > 0;
    }
    default: return false;
    }
}

Str parse_string(const std::string &t, bool single, std::vector<uint8_t> &bytes, std::string &err)
{
    if (t.empty() || !(t[0] == '"' || (single && t[0] == '\''))) return Str::NotString;
    const char q = t[0];
    size_t i = 1;
    while (i < t.size() && t[i] != q) {
        if (t[i] == '\\') {
            i++;
            int v;
            if (!parse_escape(t, i, v)) {
                err = "bad escape sequence in string";
                return Str::Error;
            }
            bytes.push_back((uint8_t)v);
        } else {
            bytes.push_back((uint8_t)t[i++]);
        }
    }
    if (i >= t.size()) {
        err = "unterminated string: a closing " + std::string(1, q) + " is missing";
        return Str::Error;
    }
    if (i + 1 != t.size()) {
        err = "unexpected text after the string: " + quote(t.substr(i + 1));
        return Str::Error;
    }
    return Str::Ok;
}

namespace {

// A line of a disassembly listing: "C000 8A1234      LDA @#1234" (the
// debugger's box, bytes packed) or "c000   8A 12 34          LDA @#1234"
// (the memory explorer's dump, bytes spaced). False when `s` is not one.
bool dump_line(const std::string &s, Line &out)
{
    size_t i = 0;
    while (i < s.size() && isblank((unsigned char)s[i])) i++;
    if (i + 4 >= s.size()) return false;
    for (size_t k = 0; k < 4; k++)
        if (!isxdigit((unsigned char)s[i + k])) return false;
    if (!isblank((unsigned char)s[i + 4])) return false;
    unsigned address = 0;
    for (size_t k = 0; k < 4; k++) address = address * 16 + (unsigned)hex_digit(s[i + k]);
    i += 4;
    while (i < s.size() && isblank((unsigned char)s[i])) i++;

    size_t run = i;
    while (run < s.size() && isxdigit((unsigned char)s[run])) run++;
    const size_t len = run - i;
    if (len < 2 || len % 2 || len > 12 || (run < s.size() && !isblank((unsigned char)s[run]))) return false;
    std::vector<uint8_t> bytes;
    if (len > 2) {   // packed
        for (size_t k = i; k < run; k += 2) bytes.push_back((uint8_t)(hex_digit(s[k]) * 16 + hex_digit(s[k + 1])));
        i = run;
    } else {         // spaced: pairs apart by one blank; two or more end the bytes
        for (;;) {
            bytes.push_back((uint8_t)(hex_digit(s[i]) * 16 + hex_digit(s[i + 1])));
            i += 2;
            if (bytes.size() < 6 && i + 2 < s.size() && isblank((unsigned char)s[i]) &&
                isxdigit((unsigned char)s[i + 1]) && isxdigit((unsigned char)s[i + 2]) &&
                (i + 3 == s.size() || isblank((unsigned char)s[i + 3])))
                i++;
            else
                break;
        }
    }
    std::string text = trim(s.substr(i));
    if (text.empty()) return false;
    size_t w = 0;
    while (w < text.size() && is_ident_char(text[w])) w++;
    if (w == 0) return false;
    out.dump = true;
    out.dump_address = address;
    out.dump_bytes = bytes;
    out.op = text.substr(0, w);
    out.args = trim(text.substr(w));
    return true;
}

bool definition_word(const std::string &w)
{
    std::string u = upper(w);
    return u == "EQU" || u == "SET" || u == "MACRO";
}

// The identifier at s[p] (empty if none); p moves past it.
std::string word_at(const std::string &s, size_t &p)
{
    size_t b = p;
    if (p < s.size() && is_ident_start(s[p]))
        while (p < s.size() && is_ident_char(s[p])) p++;
    return s.substr(b, p - b);
}

}  // namespace

bool split_line(const std::string &text, Dialect d, const OperationOf &operation, Line &out, std::string &err)
{
    out = Line{};
    if (!text.empty() && text[0] == '*') return true;   // a comment line, in both dialects
    std::string s = strip_comment(text);
    if (d == Dialect::Dasm && dump_line(s, out)) return true;

    // Labels ending with ':'.
    size_t p = 0;
    for (;;) {
        size_t q = p;
        while (q < s.size() && isspace((unsigned char)s[q])) q++;
        std::string w = word_at(s, q);
        if (w.empty() || q >= s.size() || s[q] != ':') break;
        out.labels.push_back(w);
        p = q + 1;
    }
    // Common syntax: a word in column 1 without ':'.
    if (d == Dialect::Common && out.labels.empty() && !s.empty() && is_ident_start(s[0])) {
        size_t q = 0;
        std::string w = word_at(s, q);
        size_t r = q;
        while (r < s.size() && isspace((unsigned char)s[r])) r++;
        size_t r2 = r;
        std::string w2 = word_at(s, r2);
        bool next_is_op = !w2.empty() && (definition_word(w2) || operation(w2) == OP_BUILTIN);
        bool assign = r < s.size() && s[r] == '=' && (r + 1 >= s.size() || s[r + 1] != '=');
        if (next_is_op || assign || operation(w) == OP_NONE) {
            out.labels.push_back(w);
            p = q;
        }
    }

    std::string rest = trim(s.substr(p));
    if (rest.empty()) return true;
    if (rest[0] == '=') {
        out.op.assign(1, '=');
        out.args = trim(rest.substr(1));
        return true;
    }
    size_t w = 0;
    std::string word = word_at(rest, w);
    if (word.empty()) {
        err = "syntax error: " + quote(rest);
        return false;
    }
    std::string after = trim(rest.substr(w));
    // NAME EQU value, NAME = value, NAME SET value, NAME MACRO params.
    size_t a = 0;
    std::string w2 = word_at(after, a);
    if (!after.empty() && after[0] == '=' && (after.size() < 2 || after[1] != '=')) {
        out.labels.push_back(word);
        out.op.assign(1, '=');
        out.args = trim(after.substr(1));
    } else if (definition_word(w2) && (a == after.size() || !is_ident_char(after[a]))) {
        out.labels.push_back(word);
        out.op = w2;
        out.args = trim(after.substr(a));
    } else {
        out.op = word;
        out.args = after;
    }
    return true;
}

bool is_dasm_notation(const std::string &operand)
{
    const std::string o = upper(trim(operand));
    if (o.empty()) return false;
    auto digits_from = [&](size_t i) { return all_digits(o.substr(i)); };
    auto hex_from = [&](size_t i) {
        std::string t = o.substr(i);
        if (t.size() > 3 && t.compare(t.size() - 3, 3, "(B)") == 0) t.resize(t.size() - 3);
        return all_hex(t);
    };
    return o == "A" || o == "B" || o == "ST" || all_digits(o) || ((o[0] == 'R' || o[0] == 'P') && digits_from(1)) ||
           (o.compare(0, 2, "*R") == 0 && digits_from(2)) || (o.compare(0, 2, "@#") == 0 && hex_from(2)) ||
           (o[0] == '#' && hex_from(1)) || o == "$" ||
           (o.size() > 2 && o[0] == '$' && (o[1] == '+' || o[1] == '-') && digits_from(2)) ||
           (o[0] == '$' && all_hex(o.substr(1)));
}

}  // namespace ovasm
