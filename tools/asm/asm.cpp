// ovix-asm: a two-pass (or more) TMS7000 assembler.
//
// The instruction forms are derived from the disassembler's tables: each
// opcode entry's mnemonic and operand-format pieces (" #%X", ",R%u", ",%s")
// are turned into a list of operand kinds (immediate byte, register, relative
// target...), so the assembler accepts exactly the notation the disassembler
// prints. On top of that: labels, constants, expressions and directives.
//
// Passes: every pass assembles the whole source into a fresh 64 KiB image.
// A symbol used before its definition takes its value from the previous
// pass. Passes repeat until no symbol changes; the errors, image and listing
// of that last pass are the result.
#include "asm.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "cpu/7000dasm.h"

namespace ovasm {
namespace {

constexpr int MAX_PASSES = 16;
constexpr size_t MAX_ERRORS = 200;

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

bool all_digits(const std::string &s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!isdigit((unsigned char)c)) return false;
    return true;
}

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// Splits at commas that are outside parentheses, strings and characters.
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

// Text before the comment: ';' outside strings and characters.
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

// One escape sequence after a backslash at s[i]; advances i past it.
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
            v = v * 16 + (isdigit((unsigned char)s[i]) ? s[i] - '0' : toupper((unsigned char)s[i]) - 'A' + 10);
            i++;
            n++;
        }
        value = v;
        return n > 0;
    }
    default: return false;
    }
}

// A whole operand written as "..." : its bytes, or false.
bool parse_string(const std::string &t, std::vector<uint8_t> &bytes, std::string &err)
{
    if (t.size() < 2 || t[0] != '"') return false;
    size_t i = 1;
    while (i < t.size() && t[i] != '"') {
        if (t[i] == '\\') {
            i++;
            int v;
            if (!parse_escape(t, i, v)) {
                err = "bad escape sequence in string";
                return false;
            }
            bytes.push_back((uint8_t)v);
        } else {
            bytes.push_back((uint8_t)t[i++]);
        }
    }
    if (i >= t.size()) {
        err = "unterminated string";
        return false;
    }
    if (i + 1 != t.size()) {
        err = "unexpected text after string";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Instruction forms built from the disassembler's tables.

enum OpKind {
    K_A, K_B, K_ST,             // fixed register names
    K_REG, K_PORT, K_INDR,      // Rn, Pn, *Rn
    K_IMM8, K_IMM16, K_IMM16X,  // #n, #nnnn, #nnnn(B)
    K_ADDR, K_ADDRX,            // @#nnnn, @#nnnn(B)
    K_REL, K_ABS,               // relative target, absolute target of BR/CALL
    K_TRAPNUM                   // the number of TRAP n
};

struct Form {
    uint8_t opcode = 0;
    std::vector<OpKind> ops;
    int trapnum = -1;
    int length = 1;
};

struct InstrTable {
    std::map<std::string, std::vector<Form>> forms;   // by mnemonic, in table order
    std::vector<std::string> problems;                // table texts not understood
};

const char *kind_text(OpKind k)
{
    switch (k) {
    case K_A: return "A";
    case K_B: return "B";
    case K_ST: return "ST";
    case K_REG: return "Rn";
    case K_PORT: return "Pn";
    case K_INDR: return "*Rn";
    case K_IMM8: return "#n";
    case K_IMM16: return "#nnnn";
    case K_IMM16X: return "#nnnn(B)";
    case K_ADDR: return "@#nnnn";
    case K_ADDRX: return "@#nnnn(B)";
    case K_REL: return "rel";
    case K_ABS: return "addr";
    case K_TRAPNUM: return "0..23";
    }
    return "?";
}

InstrTable build_table()
{
    InstrTable t;
    for (const opcodeinfo &o : opcodes) {
        std::string name = o.name, base = name, lit;
        size_t sp = name.find(' ');
        if (sp != std::string::npos) {
            base = name.substr(0, sp);
            lit = name.substr(sp + 1);
        }
        const oprandinfo &f = of[o.operand];
        std::string joined;
        std::vector<operandtype> decodes;
        Form form;
        form.opcode = (uint8_t)o.opcode;
        for (int j = 0; j < 4 && f.decode[j] != DONE; j++) {
            std::string piece = f.opstr[j];
            if (f.decode[j] == NONE) {
                joined += piece;
            } else if (f.decode[j] != TRAP) {
                // Replace the printf conversion ("%02X", "%u", "%s") by a marker.
                size_t pct = piece.find('%');
                size_t end = pct == std::string::npos ? pct : pct + 1;
                while (end < piece.size() && !isalpha((unsigned char)piece[end])) end++;
                if (end >= piece.size()) {
                    t.problems.push_back(name + ": piece '" + piece + "'");
                    continue;
                }
                joined += piece.substr(0, pct) + '\x01' + piece.substr(end + 1);
                decodes.push_back(f.decode[j]);
                bool wide = f.decode[j] == UI16 || f.decode[j] == I16 || f.decode[j] == PCABS;
                form.length += wide ? 2 : 1;
            }
        }
        joined = trim(joined);
        if (!lit.empty()) joined = joined.empty() ? lit : lit + "," + joined;

        size_t di = 0;
        for (const std::string &op : joined.empty() ? std::vector<std::string>{} : split_operands(joined)) {
            size_t m = op.find('\x01');
            if (m == std::string::npos) {
                if (op == "A") form.ops.push_back(K_A);
                else if (op == "B") form.ops.push_back(K_B);
                else if (op == "ST") form.ops.push_back(K_ST);
                else if (all_digits(op)) {
                    form.ops.push_back(K_TRAPNUM);
                    form.trapnum = std::stoi(op);
                } else {
                    t.problems.push_back(name + ": operand '" + op + "'");
                }
                continue;
            }
            operandtype d = decodes[di++];
            std::string pre = op.substr(0, m), post = op.substr(m + 1);
            OpKind k;
            bool ok = true;
            if ((d == UI8 || d == I8) && post.empty() && pre == "R") k = K_REG;
            else if ((d == UI8 || d == I8) && post.empty() && pre == "P") k = K_PORT;
            else if ((d == UI8 || d == I8) && post.empty() && pre == "#") k = K_IMM8;
            else if ((d == UI8 || d == I8) && post.empty() && pre == "*R") k = K_INDR;
            else if ((d == UI16 || d == I16) && pre == "#" && post.empty()) k = K_IMM16;
            else if ((d == UI16 || d == I16) && pre == "#" && post == "(B)") k = K_IMM16X;
            else if ((d == UI16 || d == I16) && pre == "@#" && post.empty()) k = K_ADDR;
            else if ((d == UI16 || d == I16) && pre == "@#" && post == "(B)") k = K_ADDRX;
            else if (d == PCREL && pre.empty() && post.empty()) k = K_REL;
            else if (d == PCABS && pre.empty() && post.empty()) k = K_ABS;
            else {
                ok = false;
                k = K_A;
                t.problems.push_back(name + ": operand '" + pre + "%" + post + "'");
            }
            if (ok) form.ops.push_back(k);
        }
        t.forms[base].push_back(form);
    }
    return t;
}

const InstrTable &table()
{
    static const InstrTable t = build_table();
    return t;
}

// Other names of the relative jumps (the executor's names for E3, E5, E6).
const std::map<std::string, std::string> &aliases()
{
    static const std::map<std::string, std::string> a = {{"JC", "JHS"}, {"JPZ", "JPI"}, {"JNE", "JNZ"}};
    return a;
}

const std::vector<Form> *find_forms(const std::string &mnemonic)
{
    std::string m = upper(mnemonic);
    auto al = aliases().find(m);
    if (al != aliases().end()) m = al->second;
    auto it = table().forms.find(m);
    return it == table().forms.end() ? nullptr : &it->second;
}

std::string form_list(const std::vector<Form> &forms)
{
    std::vector<std::string> seen;
    for (const Form &f : forms) {
        std::string s;
        for (size_t i = 0; i < f.ops.size(); i++) {
            if (i) s += ',';
            s += kind_text(f.ops[i]);
        }
        if (s.empty()) s = "(none)";
        if (std::find(seen.begin(), seen.end(), s) == seen.end()) seen.push_back(s);
    }
    std::string out;
    for (const std::string &s : seen) {
        if (!out.empty()) out += "  ";
        out += s;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Operands as written in the source.

enum SrcKind { S_A, S_B, S_ST, S_REG, S_PORT, S_INDR, S_IMM, S_IMMX, S_ADDR, S_ADDRX, S_EXPR };

struct SrcOp {
    SrcKind kind = S_EXPR;
    std::string text;       // as written
    std::string expr;       // the expression part
    bool hex = false;       // numbers in expr are hexadecimal by default
    bool rel_exact = false; // "$", "$+n", "$-n": an offset from the next instruction
    int64_t rel_offset = 0;
};

// "$", "$+n" or "$-n" with n decimal digits (blanks allowed around the sign).
bool exact_relative(const std::string &t, int64_t &offset)
{
    if (t.empty() || t[0] != '$') return false;
    size_t i = 1;
    while (i < t.size() && isspace((unsigned char)t[i])) i++;
    if (i == t.size()) {
        offset = 0;
        return true;
    }
    if (t[i] != '+' && t[i] != '-') return false;
    bool neg = t[i] == '-';
    i++;
    while (i < t.size() && isspace((unsigned char)t[i])) i++;
    std::string digits = t.substr(i);
    if (!all_digits(digits) || digits.size() > 9) return false;
    offset = std::stoll(digits);
    if (neg) offset = -offset;
    return true;
}

// Strips a trailing "(B)" index; true when there was one.
bool strip_index(std::string &body)
{
    std::string u = upper(trim(body));
    if (u.size() >= 3 && u.compare(u.size() - 3, 3, "(B)") == 0) {
        std::string t = trim(body);
        body = trim(t.substr(0, t.size() - 3));
        return true;
    }
    return false;
}

// Rn / R(expr) (letter 'R'), Pn / P(expr) (letter 'P'): the number's expression.
bool register_spec(const std::string &t, char letter, std::string &expr)
{
    if (t.size() < 2 || toupper((unsigned char)t[0]) != letter) return false;
    std::string rest = t.substr(1);
    if (all_digits(rest)) {
        expr = rest;
        return true;
    }
    std::string r = trim(rest);
    if (!r.empty() && r[0] == '(') {
        expr = r;
        return true;
    }
    return false;
}

SrcOp classify(const std::string &written)
{
    SrcOp op;
    op.text = trim(written);
    const std::string &t = op.text;
    std::string u = upper(t);
    if (u == "A") op.kind = S_A;
    else if (u == "B") op.kind = S_B;
    else if (u == "ST") op.kind = S_ST;
    else if (!t.empty() && t[0] == '*') {
        op.kind = S_INDR;
        if (!register_spec(trim(t.substr(1)), 'R', op.expr)) op.expr = "\x01";   // marked bad
    } else if (register_spec(t, 'R', op.expr)) {
        op.kind = S_REG;
    } else if (register_spec(t, 'P', op.expr)) {
        op.kind = S_PORT;
    } else if (!t.empty() && (t[0] == '#' || t[0] == '%')) {
        op.hex = t[0] == '#';
        op.expr = t.substr(1);
        op.kind = strip_index(op.expr) ? S_IMMX : S_IMM;
    } else if (!t.empty() && t[0] == '@') {
        op.expr = t.substr(1);
        if (!op.expr.empty() && op.expr[0] == '#') {
            op.hex = true;
            op.expr = op.expr.substr(1);
        }
        op.kind = strip_index(op.expr) ? S_ADDRX : S_ADDR;
    } else {
        op.kind = S_EXPR;
        op.expr = t;
        op.rel_exact = exact_relative(t, op.rel_offset);
    }
    return op;
}

bool kind_matches(OpKind k, SrcKind s)
{
    switch (k) {
    case K_A: return s == S_A;
    case K_B: return s == S_B;
    case K_ST: return s == S_ST;
    case K_REG: return s == S_REG;
    case K_PORT: return s == S_PORT;
    case K_INDR: return s == S_INDR;
    case K_IMM8: case K_IMM16: return s == S_IMM;
    case K_IMM16X: return s == S_IMMX;
    case K_ADDR: return s == S_ADDR;
    case K_ADDRX: return s == S_ADDRX;
    case K_REL: case K_TRAPNUM: return s == S_EXPR;
    case K_ABS: return s == S_EXPR || s == S_ADDR;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The assembler proper.

struct Val {
    int64_t v = 0;
    bool known = true;
};

struct Symbol {
    int64_t value = 0;
    bool known = false;
    int file = -1;
    int line = 0;
    bool operator==(const Symbol &o) const { return value == o.value && known == o.known; }
};

struct SourceFile {
    std::string path;
    std::vector<std::string> lines;
};

struct LineRef {
    int file;
    int line;
};

struct ListLine {
    int file = -1;
    int line = 0;
    std::string text;
    int64_t addr = -1;              // -1: no address shown
    std::vector<uint8_t> bytes;
    bool abbreviate = false;        // FILL/INCBIN: first bytes only
    bool is_equ = false;
    int64_t equ_value = 0;
    std::string marker;             // file change marker instead of a line
};

class Assembler;

// Recursive-descent expression evaluator over one operand's text.
class ExprParser {
public:
    ExprParser(Assembler &as, const std::string &s, bool hex) : as_(as), s_(s), hex_(hex) {}
    bool parse(Val &out, std::string &err);

private:
    Assembler &as_;
    const std::string &s_;
    bool hex_;
    size_t p_ = 0;
    std::string err_;

    void skip() { while (p_ < s_.size() && isspace((unsigned char)s_[p_])) p_++; }
    char peek(size_t ahead = 0) const { return p_ + ahead < s_.size() ? s_[p_ + ahead] : 0; }
    bool fail(const std::string &m) { if (err_.empty()) err_ = m; return false; }
    static Val wrap(Val v) { v.v = (int64_t)(int32_t)(uint32_t)(uint64_t)v.v; return v; }

    Val expr();
    Val or_();
    Val xor_();
    Val and_();
    Val shift();
    Val add();
    Val mul();
    Val unary();
    Val primary();
    Val number(const std::string &tok);
};

class Assembler {
public:
    explicit Assembler(const Options &o) : opt_(o) {}
    Result run(const std::string &root_path, const std::string *root_text);

    // For the expression evaluator.
    Val lookup(const std::string &name, std::string &err);
    int64_t line_address() const { return line_addr_; }

private:
    Options opt_;
    std::vector<SourceFile> files_;
    std::map<std::string, int> file_index_;

    // State of one pass.
    std::map<std::string, Symbol> prev_, cur_;
    std::vector<std::string> errors_;
    std::set<std::string> error_set_;
    std::vector<uint8_t> mem_;
    std::vector<int32_t> owner_;        // per address: index into refs_, or -1
    std::vector<LineRef> refs_;
    std::vector<ListLine> list_;
    std::vector<int> include_stack_;
    int64_t pc_ = 0;
    int64_t line_addr_ = 0;
    std::string scope_;
    int cur_file_ = 0;
    int cur_line_ = 0;
    int cur_ref_ = -1;
    int cur_list_ = -1;
    bool overlap_reported_ = false;
    bool beyond_reported_ = false;

    int load_file(const std::string &path, const std::string *text);
    std::string resolve(const std::string &name) const;
    void error(const std::string &msg);
    void error_at(const LineRef &r, const std::string &msg);
    std::string where(const LineRef &r) const;
    std::string expand(const std::string &name) const;
    std::string check_name(const std::string &name) const;
    void define(const std::string &name, int64_t value, bool known);

    bool eval(const std::string &text, bool hex, Val &out);
    bool range(const Val &v, int64_t lo, int64_t hi, const char *what);
    void emit(uint8_t b);
    void run_pass(int root);
    void process_file(int fi);
    void process_line(int fi, int index);
    void directive(const std::string &op, const std::string &args, bool &handled);
    void instruction(const std::string &mnemonic, const std::string &args);
    void build_listing(Result &r) const;
};

// ---- expression evaluator ------------------------------------------------

bool ExprParser::parse(Val &out, std::string &err)
{
    skip();
    if (p_ >= s_.size()) {
        err = "missing expression";
        return false;
    }
    out = expr();
    skip();
    if (err_.empty() && p_ < s_.size()) fail("unexpected '" + s_.substr(p_) + "' in expression");
    if (!err_.empty()) {
        err = err_;
        return false;
    }
    return true;
}

Val ExprParser::expr()
{
    skip();
    // <expr and >expr: low and high byte of everything that follows.
    if (peek() == '<' && peek(1) != '<') {
        p_++;
        Val v = expr();
        v.v &= 0xFF;
        return v;
    }
    if (peek() == '>' && peek(1) != '>') {
        p_++;
        Val v = expr();
        v.v = (v.v >> 8) & 0xFF;
        return v;
    }
    return or_();
}

Val ExprParser::or_()
{
    Val l = xor_();
    for (skip(); peek() == '|'; skip()) {
        p_++;
        Val r = xor_();
        l = wrap({l.v | r.v, l.known && r.known});
    }
    return l;
}

Val ExprParser::xor_()
{
    Val l = and_();
    for (skip(); peek() == '^'; skip()) {
        p_++;
        Val r = and_();
        l = wrap({l.v ^ r.v, l.known && r.known});
    }
    return l;
}

Val ExprParser::and_()
{
    Val l = shift();
    for (skip(); peek() == '&'; skip()) {
        p_++;
        Val r = shift();
        l = wrap({l.v & r.v, l.known && r.known});
    }
    return l;
}

Val ExprParser::shift()
{
    Val l = add();
    for (skip(); (peek() == '<' && peek(1) == '<') || (peek() == '>' && peek(1) == '>'); skip()) {
        bool left = peek() == '<';
        p_ += 2;
        Val r = add();
        if (r.known && (r.v < 0 || r.v > 31)) {
            fail(fmt("shift count %lld out of range 0..31", (long long)r.v));
            r.v = 0;
        }
        l = wrap({left ? (int64_t)((uint64_t)l.v << r.v) : (l.v >> r.v), l.known && r.known});
    }
    return l;
}

Val ExprParser::add()
{
    Val l = mul();
    for (skip(); peek() == '+' || peek() == '-'; skip()) {
        bool plus = peek() == '+';
        p_++;
        Val r = mul();
        l = wrap({plus ? l.v + r.v : l.v - r.v, l.known && r.known});
    }
    return l;
}

Val ExprParser::mul()
{
    Val l = unary();
    for (skip(); peek() == '*' || peek() == '/' || peek() == '%'; skip()) {
        char op = peek();
        p_++;
        Val r = unary();
        if (op == '*') {
            l = wrap({l.v * r.v, l.known && r.known});
        } else if (r.known && r.v == 0) {
            fail("division by zero");
            l = {0, false};
        } else if (!r.known) {
            l = {0, false};
        } else {
            l = wrap({op == '/' ? l.v / r.v : l.v % r.v, l.known});
        }
    }
    return l;
}

Val ExprParser::unary()
{
    skip();
    char c = peek();
    if (c == '-' || c == '+' || c == '~') {
        p_++;
        Val v = unary();
        if (c == '-') v.v = -v.v;
        if (c == '~') v.v = ~v.v;
        return wrap(v);
    }
    return primary();
}

Val ExprParser::number(const std::string &tok)
{
    std::string digits = tok;
    int base = 10;
    if (tok.size() > 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X')) {
        base = 16;
        digits = tok.substr(2);
    } else if (hex_) {
        base = 16;
    } else if (tok.size() > 2 && tok[0] == '0' && (tok[1] == 'b' || tok[1] == 'B')) {
        base = 2;
        digits = tok.substr(2);
    }
    uint64_t v = 0;
    for (char c : digits) {
        int d = isdigit((unsigned char)c) ? c - '0'
              : isxdigit((unsigned char)c) ? toupper((unsigned char)c) - 'A' + 10 : 99;
        if (d >= base) {
            std::string hint = (!hex_ && (toupper((unsigned char)tok.back()) == 'H' || base == 10))
                               ? " (hexadecimal is written $1F or 0x1F)" : "";
            fail("bad number '" + tok + "'" + hint);
            return {0, false};
        }
        v = v * (uint64_t)base + (uint64_t)d;
        if (v > 0xFFFFFFFFull) {
            fail("number '" + tok + "' too large");
            return {0, false};
        }
    }
    return wrap({(int64_t)v, true});
}

Val ExprParser::primary()
{
    skip();
    char c = peek();
    if (c == '(') {
        p_++;
        Val v = expr();
        skip();
        if (peek() != ')') {
            fail("missing ')'");
            return {0, false};
        }
        p_++;
        return v;
    }
    if (c == '\'') {
        size_t i = p_ + 1;
        int v = 0;
        if (i < s_.size() && s_[i] == '\\') {
            i++;
            if (!parse_escape(s_, i, v)) {
                fail("bad escape sequence in character");
                return {0, false};
            }
        } else if (i < s_.size()) {
            v = (unsigned char)s_[i++];
        }
        if (i >= s_.size() || s_[i] != '\'') {
            fail("bad character constant");
            return {0, false};
        }
        p_ = i + 1;
        return {v, true};
    }
    if (c == '$') {
        p_++;
        if (isxdigit((unsigned char)peek())) {
            size_t b = p_;
            while (p_ < s_.size() && is_ident_char(s_[p_])) p_++;
            std::string tok = s_.substr(b, p_ - b);
            if (!all_hex(tok)) {
                fail("bad number '$" + tok + "'");
                return {0, false};
            }
            bool saved = hex_;
            hex_ = true;
            Val v = number(tok);
            hex_ = saved;
            return v;
        }
        return {as_.line_address(), true};
    }
    if (isdigit((unsigned char)c)) {
        size_t b = p_;
        while (p_ < s_.size() && isalnum((unsigned char)s_[p_])) p_++;
        return number(s_.substr(b, p_ - b));
    }
    if (is_ident_start(c)) {
        size_t b = p_;
        while (p_ < s_.size() && is_ident_char(s_[p_])) p_++;
        std::string name = s_.substr(b, p_ - b);
        if (all_hex(name)) {
            if (hex_) return number(name);
            fail("'" + name + "' is not a symbol name; a hexadecimal number is written $" + name +
                 " or 0x" + name);
            return {0, false};
        }
        std::string err;
        Val v = as_.lookup(name, err);
        if (!err.empty()) fail(err);
        return v;
    }
    if (c == 0) fail("missing value at the end of the expression");
    else fail(std::string("unexpected '") + c + "' in expression");
    return {0, false};
}

// ---- assembler ------------------------------------------------------------

std::string Assembler::where(const LineRef &r) const
{
    return files_[r.file].path + ":" + std::to_string(r.line);
}

void Assembler::error_at(const LineRef &r, const std::string &msg)
{
    std::string e = where(r) + ": " + msg;
    if (error_set_.insert(e).second) errors_.push_back(e);
}

void Assembler::error(const std::string &msg) { error_at({cur_file_, cur_line_}, msg); }

int Assembler::load_file(const std::string &path, const std::string *text)
{
    auto it = file_index_.find(path);
    if (it != file_index_.end()) return it->second;
    std::string content;
    if (text) {
        content = *text;
    } else {
        std::ifstream f(path, std::ios::binary);
        if (!f) return -1;
        content.assign(std::istreambuf_iterator<char>(f), {});
    }
    SourceFile sf;
    sf.path = path;
    size_t b = 0;
    while (b <= content.size()) {
        size_t e = content.find('\n', b);
        if (e == std::string::npos) e = content.size();
        std::string line = content.substr(b, e - b);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (e < content.size() || !line.empty()) sf.lines.push_back(line);
        b = e + 1;
    }
    files_.push_back(sf);
    file_index_[path] = (int)files_.size() - 1;
    return (int)files_.size() - 1;
}

// A file name relative to the folder of the file being assembled.
std::string Assembler::resolve(const std::string &name) const
{
    std::filesystem::path p(name);
    if (p.is_absolute()) return p.lexically_normal().string();
    std::filesystem::path dir = std::filesystem::path(files_[cur_file_].path).parent_path();
    return (dir / p).lexically_normal().string();
}

std::string Assembler::expand(const std::string &name) const
{
    return !name.empty() && name[0] == '.' ? scope_ + name : name;
}

std::string Assembler::check_name(const std::string &name) const
{
    if (name.empty() || !is_ident_start(name[0])) return "bad symbol name '" + name + "'";
    for (char c : name)
        if (!is_ident_char(c)) return "bad symbol name '" + name + "'";
    std::string u = upper(name);
    if (all_hex(name))
        return "'" + name + "' cannot be a symbol name: it is made only of hexadecimal digits";
    if (u == "ST" || ((u[0] == 'R' || u[0] == 'P') && all_digits(u.substr(1))))
        return "'" + name + "' cannot be a symbol name: it is a register or port";
    return "";
}

void Assembler::define(const std::string &name, int64_t value, bool known)
{
    std::string bad = check_name(name);
    if (!bad.empty()) {
        error(bad);
        return;
    }
    std::string full = expand(name);
    auto it = cur_.find(full);
    if (it != cur_.end()) {
        error("duplicate symbol '" + name + "' (first defined at " + where({it->second.file, it->second.line}) + ")");
        return;
    }
    cur_[full] = Symbol{value, known, cur_file_, cur_line_};
}

Val Assembler::lookup(const std::string &name, std::string &err)
{
    std::string full = expand(name);
    auto c = cur_.find(full);
    if (c != cur_.end()) return {c->second.value, c->second.known};
    auto p = prev_.find(full);
    if (p != prev_.end()) {
        if (p->second.known) return {p->second.value, true};
        err = "symbol '" + name + "' has no value (defined in terms of itself?)";
        return {0, false};
    }
    err = "undefined symbol '" + name + "'";
    return {0, false};
}

bool Assembler::eval(const std::string &text, bool hex, Val &out)
{
    std::string err;
    ExprParser ep(*this, text, hex);
    if (!ep.parse(out, err)) {
        error(err);
        out = {0, false};
        return false;
    }
    return true;
}

bool Assembler::range(const Val &v, int64_t lo, int64_t hi, const char *what)
{
    if (!v.known) return false;
    if (v.v < lo || v.v > hi) {
        error(fmt("%s %lld out of range %lld..%lld", what, (long long)v.v, (long long)lo, (long long)hi));
        return false;
    }
    return true;
}

void Assembler::emit(uint8_t b)
{
    if (pc_ > 0xFFFF) {
        if (!beyond_reported_) error("code beyond address $FFFF");
        beyond_reported_ = true;
        pc_++;
        return;
    }
    size_t a = (size_t)pc_;
    if (owner_[a] >= 0 && !overlap_reported_) {
        error(fmt("overlapping code at $%04zX (already written by %s)", a, where(refs_[(size_t)owner_[a]]).c_str()));
        overlap_reported_ = true;
    }
    mem_[a] = b;
    owner_[a] = cur_ref_;
    if (cur_list_ >= 0) list_[(size_t)cur_list_].bytes.push_back(b);
    pc_++;
}

void Assembler::process_file(int fi)
{
    include_stack_.push_back(fi);
    for (size_t i = 0; i < files_[(size_t)fi].lines.size(); i++) process_line(fi, (int)i);
    include_stack_.pop_back();
}

void Assembler::process_line(int fi, int index)
{
    cur_file_ = fi;
    cur_line_ = index + 1;
    line_addr_ = pc_;
    overlap_reported_ = beyond_reported_ = false;
    refs_.push_back({fi, cur_line_});
    cur_ref_ = (int)refs_.size() - 1;
    cur_list_ = -1;
    const std::string &text = files_[(size_t)fi].lines[(size_t)index];
    if (opt_.want_listing) {
        ListLine ll;
        ll.file = fi;
        ll.line = cur_line_;
        ll.text = text;
        list_.push_back(ll);
        cur_list_ = (int)list_.size() - 1;
    }

    std::string s = strip_comment(text);
    size_t p = 0;
    bool labelled = false;
    // Labels: name followed directly by ':'.
    for (;;) {
        size_t q = p;
        while (q < s.size() && isspace((unsigned char)s[q])) q++;
        size_t b = q;
        while (q < s.size() && is_ident_char(s[q])) q++;
        if (q > b && q < s.size() && s[q] == ':') {
            std::string name = s.substr(b, q - b);
            define(name, pc_, true);
            if (name[0] != '.' && check_name(name).empty()) scope_ = name;
            labelled = true;
            p = q + 1;
            continue;
        }
        break;
    }
    std::string rest = trim(s.substr(p));
    if (rest.empty()) {
        if (cur_list_ >= 0 && labelled) list_[(size_t)cur_list_].addr = line_addr_;
        return;
    }
    size_t w = 0;
    while (w < rest.size() && is_ident_char(rest[w])) w++;
    if (w == 0) {
        error("syntax error: '" + rest + "'");
        return;
    }
    std::string word = rest.substr(0, w);
    std::string after = trim(rest.substr(w));

    // Constants: name EQU expr, name = expr.
    size_t aw = 0;
    while (aw < after.size() && is_ident_char(after[aw])) aw++;
    bool is_equ = upper(after.substr(0, aw)) == "EQU" && (aw == after.size() || !is_ident_char(after[aw]));
    bool is_assign = !after.empty() && after[0] == '=' && (after.size() < 2 || after[1] != '=');
    if (is_equ || is_assign) {
        std::string e = trim(after.substr(is_equ ? 3 : 1));
        if (labelled) {
            error("a constant definition cannot carry a label");
            return;
        }
        Val v;
        eval(e, false, v);
        define(word, v.v, v.known);
        if (cur_list_ >= 0) {
            list_[(size_t)cur_list_].is_equ = v.known;
            list_[(size_t)cur_list_].equ_value = v.v;
        }
        return;
    }
    if (upper(word) == "EQU") {
        error("EQU needs a name: NAME EQU value");
        return;
    }

    if (cur_list_ >= 0) list_[(size_t)cur_list_].addr = line_addr_;
    std::string op = upper(word);
    bool handled = false;
    directive(op, after, handled);
    if (!handled) instruction(op, after);
    if (cur_list_ >= 0) list_[(size_t)cur_list_].addr = line_addr_;   // ORG moves it
}

void Assembler::directive(const std::string &op, const std::string &args, bool &handled)
{
    handled = true;
    std::vector<std::string> a = split_operands(args);
    auto need = [&](size_t n, const char *usage) {
        if (a.size() != n) {
            error(std::string("usage: ") + usage);
            return false;
        }
        return true;
    };

    if (op == "ORG") {
        if (!need(1, "ORG address")) return;
        Val v;
        if (eval(a[0], false, v) && range(v, 0, 0xFFFF, "address")) {
            pc_ = v.v;
            line_addr_ = pc_;
        }
    } else if (op == "DB" || op == "BYTE" || op == "ASCII" || op == "TEXT") {
        if (a.empty()) {
            error(op + " needs at least one value");
            return;
        }
        for (const std::string &item : a) {
            if (item.empty()) {
                error("missing value in the list");
                continue;
            }
            if (item[0] == '"') {
                std::vector<uint8_t> bytes;
                std::string err;
                if (!parse_string(item, bytes, err)) {
                    error(err);
                    continue;
                }
                for (uint8_t b : bytes) emit(b);
                continue;
            }
            Val v;
            eval(item, false, v);
            range(v, -128, 255, "value");
            emit((uint8_t)(v.v & 0xFF));
        }
    } else if (op == "DW" || op == "WORD") {
        if (a.empty()) {
            error(op + " needs at least one value");
            return;
        }
        for (const std::string &item : a) {
            Val v;
            if (item.empty()) error("missing value in the list");
            else eval(item, false, v);
            range(v, -32768, 0xFFFF, "value");
            emit((uint8_t)((v.v >> 8) & 0xFF));
            emit((uint8_t)(v.v & 0xFF));
        }
    } else if (op == "FILL") {
        if (!need(2, "FILL count,value")) return;
        Val n, v;
        eval(a[0], false, n);
        eval(a[1], false, v);
        range(v, -128, 255, "value");
        if (!n.known || !range(n, 0, 0x10000, "count")) return;
        if (cur_list_ >= 0) list_[(size_t)cur_list_].abbreviate = true;
        for (int64_t i = 0; i < n.v; i++) emit((uint8_t)(v.v & 0xFF));
    } else if (op == "DS") {
        if (!need(1, "DS count")) return;
        Val n;
        eval(a[0], false, n);
        if (!n.known || !range(n, 0, 0x10000, "count")) return;
        pc_ += n.v;
        if (pc_ > 0x10000) error("address beyond $FFFF");
    } else if (op == "ALIGN") {
        if (!need(1, "ALIGN n")) return;
        Val n;
        eval(a[0], false, n);
        if (!n.known || !range(n, 1, 0x10000, "alignment")) return;
        pc_ = (pc_ + n.v - 1) / n.v * n.v;
        if (pc_ > 0x10000) error("address beyond $FFFF");
    } else if (op == "INCLUDE" || op == "INCBIN") {
        std::vector<uint8_t> name;
        std::string err;
        if (a.size() != 1 || !parse_string(a[0], name, err)) {
            error(err.empty() ? op + " needs a file name in double quotes" : err);
            return;
        }
        std::string path = resolve(std::string(name.begin(), name.end()));
        if (op == "INCBIN") {
            std::ifstream f(path, std::ios::binary);
            if (!f) {
                error("cannot open '" + path + "'");
                return;
            }
            std::vector<char> data((std::istreambuf_iterator<char>(f)), {});
            if (cur_list_ >= 0) list_[(size_t)cur_list_].abbreviate = true;
            for (char c : data) emit((uint8_t)c);
            return;
        }
        int fi = load_file(path, nullptr);
        if (fi < 0) {
            error("cannot open include file '" + path + "'");
            return;
        }
        if (std::find(include_stack_.begin(), include_stack_.end(), fi) != include_stack_.end()) {
            error("include loop: '" + path + "' is already being assembled");
            return;
        }
        int saved_file = cur_file_, saved_line = cur_line_;
        if (opt_.want_listing) {
            ListLine m;
            m.marker = "---- " + path;
            list_.push_back(m);
        }
        process_file(fi);
        cur_file_ = saved_file;
        cur_line_ = saved_line;
        if (opt_.want_listing) {
            ListLine m;
            m.marker = "---- " + files_[(size_t)saved_file].path;
            list_.push_back(m);
        }
        cur_list_ = -1;
    } else {
        handled = false;
    }
}

void Assembler::instruction(const std::string &mnemonic, const std::string &args)
{
    const std::vector<Form> *forms = find_forms(mnemonic);
    if (!forms) {
        error("unknown mnemonic '" + mnemonic + "'");
        return;
    }
    std::vector<SrcOp> ops;
    for (const std::string &t : split_operands(args)) ops.push_back(classify(t));

    const Form *chosen = nullptr;
    for (const Form &f : *forms) {
        if (f.ops.size() != ops.size()) continue;
        bool ok = true;
        for (size_t i = 0; i < ops.size() && ok; i++) ok = kind_matches(f.ops[i], ops[i].kind);
        if (ok) {
            chosen = &f;
            break;
        }
    }
    if (!chosen) {
        bool no_operands = std::all_of(forms->begin(), forms->end(), [](const Form &f) { return f.ops.empty(); });
        if (no_operands) error(mnemonic + " takes no operands");
        else if (ops.empty()) error(mnemonic + " needs operands (forms: " + form_list(*forms) + ")");
        else error(mnemonic + " has no form '" + trim(args) + "' (forms: " + form_list(*forms) + ")");
        return;
    }

    // TRAP n: the number picks the opcode.
    if (!chosen->ops.empty() && chosen->ops[0] == K_TRAPNUM) {
        Val v;
        eval(ops[0].expr, false, v);
        const Form *t = nullptr;
        if (v.known)
            for (const Form &f : *forms)
                if (f.trapnum == v.v) t = &f;
        if (v.known && !t) error(fmt("TRAP number %lld out of range 0..23", (long long)v.v));
        emit(t ? t->opcode : chosen->opcode);
        return;
    }

    std::vector<uint8_t> bytes{chosen->opcode};
    int64_t next = line_addr_ + chosen->length;
    for (size_t i = 0; i < ops.size(); i++) {
        const SrcOp &s = ops[i];
        OpKind k = chosen->ops[i];
        if (k == K_A || k == K_B || k == K_ST) continue;
        if (s.expr == "\x01") {
            error("bad indirect operand '" + s.text + "' (write *Rn or *R(expr))");
            bytes.push_back(0);
            continue;
        }
        Val v;
        if (k == K_REL && s.rel_exact) {
            v = {s.rel_offset, true};
            if (!range(v, -128, 127, "relative offset")) v = {0, false};
            bytes.push_back((uint8_t)(v.v & 0xFF));
            continue;
        }
        eval(s.expr, s.hex, v);
        switch (k) {
        case K_REG: case K_INDR:
            range(v, 0, 255, "register number");
            bytes.push_back((uint8_t)v.v);
            break;
        case K_PORT:
            range(v, 0, 255, "port number");
            bytes.push_back((uint8_t)v.v);
            break;
        case K_IMM8:
            range(v, -128, 255, "value");
            bytes.push_back((uint8_t)(v.v & 0xFF));
            break;
        case K_IMM16: case K_IMM16X:
            range(v, -32768, 0xFFFF, "value");
            bytes.push_back((uint8_t)((v.v >> 8) & 0xFF));
            bytes.push_back((uint8_t)(v.v & 0xFF));
            break;
        case K_ADDR: case K_ADDRX: case K_ABS:
            range(v, 0, 0xFFFF, "address");
            bytes.push_back((uint8_t)((v.v >> 8) & 0xFF));
            bytes.push_back((uint8_t)(v.v & 0xFF));
            break;
        case K_REL: {
            int64_t d = v.v - next;
            if (v.known && (v.v < 0 || v.v > 0xFFFF)) {
                range(v, 0, 0xFFFF, "address");
                d = 0;
            } else if (v.known && (d < -128 || d > 127)) {
                error(fmt("relative branch out of reach: target $%04llX is %+lld bytes from the next instruction "
                          "(range -128..+127)", (unsigned long long)v.v, (long long)d));
                d = 0;
            }
            bytes.push_back((uint8_t)(d & 0xFF));
            break;
        }
        default:
            break;
        }
    }
    for (uint8_t b : bytes) emit(b);
}

void Assembler::run_pass(int root)
{
    cur_.clear();
    errors_.clear();
    error_set_.clear();
    mem_.assign(0x10000, 0);
    owner_.assign(0x10000, -1);
    refs_.clear();
    list_.clear();
    include_stack_.clear();
    pc_ = 0;
    scope_.clear();
    process_file(root);
}

void Assembler::build_listing(Result &r) const
{
    std::string out;
    char buf[64];
    auto bytes_text = [](const std::vector<uint8_t> &b, size_t from, size_t n) {
        std::string t;
        for (size_t i = from; i < from + n && i < b.size(); i++) {
            char h[4];
            snprintf(h, sizeof h, "%02X", b[i]);
            if (!t.empty()) t += ' ';
            t += h;
        }
        return t;
    };
    for (const ListLine &l : list_) {
        if (!l.marker.empty()) {
            out += l.marker + "\n";
            continue;
        }
        std::string addr = l.addr >= 0 ? fmt("%04llX", (unsigned long long)l.addr) : "    ";
        std::string b = bytes_text(l.bytes, 0, 4);
        if (l.is_equ)
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
    r.listing = out;
}

Result Assembler::run(const std::string &root_path, const std::string *root_text)
{
    Result r;
    int root = load_file(root_path, root_text);
    if (root < 0) {
        r.errors.push_back(root_path + ": cannot open file");
        return r;
    }
    bool settled = false;
    for (int pass = 1; pass <= MAX_PASSES && !settled; pass++) {
        run_pass(root);
        settled = cur_ == prev_;
        prev_ = cur_;
        r.passes = pass;
    }
    if (!settled) errors_.push_back(root_path + ": addresses do not settle after " + std::to_string(MAX_PASSES) + " passes");

    for (const auto &[name, sym] : cur_)
        if (sym.known) r.symbols[name] = sym.value;

    // The output window.
    int64_t lowest = -1, highest = -1;
    for (int64_t a = 0; a < 0x10000; a++)
        if (owner_[(size_t)a] >= 0) {
            if (lowest < 0) lowest = a;
            highest = a;
        }
    if (errors_.empty()) {
        int64_t base = opt_.has_base ? opt_.base : lowest;
        int64_t end = opt_.has_size ? base + opt_.size : highest + 1;
        if (!opt_.has_base && lowest < 0) {
            errors_.push_back(root_path + ": nothing to output (no code or data)");
        } else if (base < 0 || base > 0xFFFF || end > 0x10000) {
            errors_.push_back(fmt("%s: output window $%04llX+%lld goes beyond $FFFF", root_path.c_str(),
                                  (unsigned long long)base, (long long)(end - base)));
        } else {
            if (end < base) end = base;
            std::set<int32_t> reported;
            for (int64_t a = 0; a < 0x10000; a++) {
                int32_t o = owner_[(size_t)a];
                if (o >= 0 && (a < base || a >= end) && reported.insert(o).second)
                    error_at(refs_[(size_t)o], fmt("code at $%04llX is outside the output window $%04llX-$%04llX",
                                                   (unsigned long long)a, (unsigned long long)base,
                                                   (unsigned long long)(end - 1)));
            }
            r.base = (unsigned)base;
            r.image.assign((size_t)(end - base), opt_.fill);
            for (int64_t a = base; a < end; a++)
                if (owner_[(size_t)a] >= 0) r.image[(size_t)(a - base)] = mem_[(size_t)a];
        }
    }
    if (errors_.size() > MAX_ERRORS) {
        errors_.resize(MAX_ERRORS);
        errors_.push_back(root_path + ": too many errors, the rest are not shown");
    }
    r.errors = errors_;
    r.ok = r.errors.empty();
    if (!r.ok) r.image.clear();
    if (r.ok && opt_.want_listing) build_listing(r);
    return r;
}

}  // namespace

Result assemble_file(const std::string &path, const Options &options)
{
    Assembler a(options);
    return a.run(path, nullptr);
}

Result assemble_text(const std::string &name, const std::string &text, const Options &options)
{
    Assembler a(options);
    return a.run(name, &text);
}

bool assemble_line(const std::string &line, unsigned address, std::vector<uint8_t> &bytes, std::string &error)
{
    Options o;
    o.has_base = true;
    o.base = address;
    char org[32];
    snprintf(org, sizeof org, " ORG $%X\n", address & 0xFFFF);
    Result r = assemble_text("line", org + line + "\n", o);
    bytes.clear();
    error.clear();
    if (!r.ok) {
        // "line:2: message" -> "message"
        const std::string &e = r.errors.front();
        size_t c1 = e.find(':'), c2 = c1 == std::string::npos ? c1 : e.find(": ", c1 + 1);
        error = c2 == std::string::npos ? e : e.substr(c2 + 2);
        return false;
    }
    bytes = r.image;
    return true;
}

std::vector<std::string> table_problems() { return table().problems; }

std::string forms_of(const std::string &mnemonic)
{
    const std::vector<Form> *f = find_forms(mnemonic);
    return f ? form_list(*f) : "";
}

}  // namespace ovasm
