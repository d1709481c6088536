// The debugger's expression language (expr.h): a recursive-descent parser
// into a small tree, evaluated by walking it. Expressions are compiled once
// (when a breakpoint is set, a command is read) and evaluated only when a
// breakpoint's address is reached or a watched byte is touched, so the tree
// walk costs nothing on the emulation's own path.
#include "debug/expr.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cpu/tms7000.h"
#include "debug/symbols.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

enum expr_op : uint8 {
    OP_CONST,
    OP_A, OP_B, OP_PC, OP_SP, OP_SR, OP_IDLE, OP_CYCLES, OP_PASSES,
    OP_FLAG,     // a: the flag's bit in sr
    OP_RF,       // a: register number 0-255
    OP_PF,       // a: peripheral number 0-255
    OP_VALUE, OP_OLD,
    OP_MEM, OP_WORD, OP_VRAM,   // a: address operand
    OP_NEG, OP_NOT, OP_INV,     // a: operand
    OP_MUL, OP_DIV, OP_MOD, OP_ADD, OP_SUB, OP_SHL, OP_SHR,
    OP_LT, OP_LE, OP_GT, OP_GE, OP_EQ, OP_NE,
    OP_AND, OP_XOR, OP_OR, OP_LAND, OP_LOR,
};

namespace {

enum tok_kind { T_END, T_NUM, T_NAME, T_PUNCT };

struct token {
    tok_kind kind = T_END;
    int64 value = 0;
    std::string text;   // name or punctuation
    int column = 1;     // 1-based
};

bool name_start(int c) { return isalpha(c) || c == '_' || c == '.'; }
bool name_char(int c) { return isalnum(c) || c == '_' || c == '.'; }

bool equal_nocase(const std::string &a, const char *b)
{
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

bool all_hex(const std::string &s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!isxdigit((unsigned char)c)) return false;
    return true;
}

// Text of a word for messages: printable, cut to 40 characters.
std::string quoted(const std::string &s)
{
    std::string out = "'";
    for (size_t i = 0; i < s.size() && i < 40; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    if (s.size() > 40) out += "...";
    return out + "'";
}

// Digits of `s` in `base` into *v; false on a bad digit or overflow.
bool parse_digits(const std::string &s, int base, int64 *v)
{
    if (s.empty()) return false;
    uint64 acc = 0;
    for (char ch : s) {
        int c = tolower((unsigned char)ch), d;
        if (isdigit(c))
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return false;
        if (d >= base) return false;
        if (acc > (UINT64_C(0x7FFFFFFFFFFFFFFF) - (uint64)d) / (uint64)base) return false;
        acc = acc * (uint64)base + (uint64)d;
    }
    *v = (int64)acc;
    return true;
}

class parser {
public:
    parser(const char *text, bool with_access, dbg_expr *out) : s_(text), access_(with_access), out_(out) {}

    bool run(std::string *error)
    {
        if (!next()) return fail(error);
        if (tok_.kind == T_END) {
            err_ = "empty expression";
            err_col_ = 1;
            return fail(error);
        }
        int root;
        if (!expr(&root)) return fail(error);
        if (tok_.kind != T_END) {
            if (tok_.kind == T_PUNCT && tok_.text == "=")
                err_ = "'=' is not an operator here: compare with '=='";
            else
                err_ = "unexpected " + describe(tok_);
            err_col_ = tok_.column;
            return fail(error);
        }
        return true;
    }

private:
    const char *s_;
    size_t pos_ = 0;
    bool access_;
    dbg_expr *out_;
    token tok_;
    int depth_ = 0;
    std::string err_;
    int err_col_ = 1;

    bool fail(std::string *error)
    {
        char where[32];
        snprintf(where, sizeof where, "at column %d: ", err_col_);
        *error = where + err_;
        out_->nodes.clear();
        return false;
    }

    bool error_at(int column, const std::string &message)
    {
        err_ = message;
        err_col_ = column;
        return false;
    }

    static std::string describe(const token &t)
    {
        switch (t.kind) {
        case T_END: return "end of expression";
        case T_NUM: return "number";
        case T_NAME: return "name " + quoted(t.text);
        case T_PUNCT: return quoted(t.text);
        }
        return "token";
    }

    // Reads the next token into tok_.
    bool next()
    {
        while (s_[pos_] == ' ' || s_[pos_] == '\t') pos_++;
        tok_ = token{};
        tok_.column = (int)pos_ + 1;
        const unsigned char c = (unsigned char)s_[pos_];
        if (!c) {
            tok_.kind = T_END;
            return true;
        }
        if (c == '$' || c == '#') {
            // $hex, #decimal
            size_t start = ++pos_;
            while (isalnum((unsigned char)s_[pos_])) pos_++;
            std::string digits(s_ + start, pos_ - start);
            tok_.kind = T_NUM;
            if (!parse_digits(digits, c == '$' ? 16 : 10, &tok_.value))
                return error_at(tok_.column, digits.empty() ? std::string("digits expected after '") + (char)c + "'"
                                                            : "bad number " + quoted(std::string(1, (char)c) + digits));
            return true;
        }
        if (isdigit(c)) {
            size_t start = pos_;
            while (name_char((unsigned char)s_[pos_])) pos_++;
            std::string word(s_ + start, pos_ - start);
            tok_.kind = T_NUM;
            bool ok;
            if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
                ok = parse_digits(word.substr(2), 16, &tok_.value);
            else
                ok = parse_digits(word, 16, &tok_.value);
            if (!ok) return error_at(tok_.column, "bad number " + quoted(word) + " (hexadecimal; decimal is written #123)");
            return true;
        }
        if (name_start(c)) {
            size_t start = pos_;
            while (name_char((unsigned char)s_[pos_])) pos_++;
            tok_.kind = T_NAME;
            tok_.text.assign(s_ + start, pos_ - start);
            return true;
        }
        static const char *const two[] = {"<<", ">>", "<=", ">=", "==", "!=", "&&", "||"};
        for (const char *p : two)
            if (s_[pos_] == p[0] && s_[pos_ + 1] == p[1]) {
                tok_.kind = T_PUNCT;
                tok_.text.assign(p, 2);
                pos_ += 2;
                return true;
            }
        if (strchr("+-*/%<>&|^!~()[]=", c)) {
            tok_.kind = T_PUNCT;
            tok_.text = std::string(1, (char)c);
            pos_++;
            return true;
        }
        std::string one(1, (char)c);
        return error_at(tok_.column, "unexpected character " + quoted(one));
    }

    bool is(const char *p) const { return tok_.kind == T_PUNCT && tok_.text == p; }

    int add(expr_op op, int column, int32 a = -1, int32 b = -1, int64 value = 0)
    {
        expr_node n;
        n.op = op;
        n.a = a;
        n.b = b;
        n.value = value;
        n.column = column;
        out_->nodes.push_back(n);
        return (int)out_->nodes.size() - 1;
    }

    // One level of left-associative binary operators.
    struct level {
        const char *text;
        expr_op op;
    };

    bool binary(int lvl, int *out)
    {
        static const level table[][4] = {
            {{"||", OP_LOR}},
            {{"&&", OP_LAND}},
            {{"|", OP_OR}},
            {{"^", OP_XOR}},
            {{"&", OP_AND}},
            {{"==", OP_EQ}, {"!=", OP_NE}},
            {{"<", OP_LT}, {"<=", OP_LE}, {">", OP_GT}, {">=", OP_GE}},
            {{"<<", OP_SHL}, {">>", OP_SHR}},
            {{"+", OP_ADD}, {"-", OP_SUB}},
            {{"*", OP_MUL}, {"/", OP_DIV}, {"%", OP_MOD}},
        };
        constexpr int LEVELS = sizeof table / sizeof table[0];
        if (lvl == LEVELS) return unary(out);
        int left;
        if (!binary(lvl + 1, &left)) return false;
        for (;;) {
            const level *found = nullptr;
            for (const level &l : table[lvl])
                if (l.text && is(l.text)) found = &l;
            if (!found) break;
            const int column = tok_.column;
            if (!next()) return false;
            int right;
            if (!binary(lvl + 1, &right)) return false;
            left = add(found->op, column, left, right);
        }
        *out = left;
        return true;
    }

    bool expr(int *out)
    {
        if (++depth_ > EXPR_MAX_DEPTH) return error_at(tok_.column, "too deeply nested");
        const bool ok = binary(0, out);
        depth_--;
        return ok;
    }

    bool unary(int *out)
    {
        const int column = tok_.column;
        expr_op op;
        if (is("-"))
            op = OP_NEG;
        else if (is("!"))
            op = OP_NOT;
        else if (is("~"))
            op = OP_INV;
        else if (is("+"))
            op = OP_CONST;   // unary plus: nothing to do
        else
            return primary(out);
        if (++depth_ > EXPR_MAX_DEPTH) return error_at(column, "too deeply nested");
        if (!next()) return false;
        int a;
        if (!unary(&a)) return false;
        depth_--;
        *out = op == OP_CONST ? a : add(op, column, a);
        return true;
    }

    // '[' expr ']' after the opening bracket's token.
    bool bracketed(expr_op op, int column, int *out)
    {
        if (!next()) return false;
        int a;
        if (!expr(&a)) return false;
        if (!is("]")) return error_at(tok_.column, "']' expected, not " + describe(tok_));
        if (!next()) return false;
        // A constant address is checked at once.
        const expr_node &n = out_->nodes[a];
        if (n.op == OP_CONST) {
            const int64 limit = op == OP_VRAM ? 0x7FFF : 0xFFFF;
            if (n.value < 0 || n.value > limit)
                return error_at(n.column, op == OP_VRAM ? "video memory addresses are 0000-7FFF"
                                                        : "CPU addresses are 0000-FFFF");
        }
        *out = add(op, column, a);
        return true;
    }

    // R0..R255, P0..P255: the number after the letter, in decimal.
    static int register_number(const std::string &name, char letter)
    {
        if (name.size() < 2 || name.size() > 4 || toupper((unsigned char)name[0]) != letter) return -1;
        int n = 0;
        for (size_t i = 1; i < name.size(); i++) {
            if (!isdigit((unsigned char)name[i])) return -1;
            n = n * 10 + (name[i] - '0');
        }
        return n;
    }

    bool name(int *out)
    {
        const token t = tok_;
        const std::string &w = t.text;
        if (!next()) return false;
        // w[..], v[..], label(..)
        if (is("[") && (equal_nocase(w, "w") || equal_nocase(w, "v")))
            return bracketed(equal_nocase(w, "w") ? OP_WORD : OP_VRAM, t.column, out);
        if (is("(") && equal_nocase(w, "label")) {
            if (!next()) return false;
            if (tok_.kind != T_NAME && tok_.kind != T_NUM)
                return error_at(tok_.column, "a label's name expected, not " + describe(tok_));
            // A label like FACE reads as a number token: take its text.
            const int column = tok_.column;
            std::string label = tok_.kind == T_NAME ? tok_.text : std::string(s_ + column - 1, pos_ - (column - 1));
            if (!next()) return false;
            if (!is(")")) return error_at(tok_.column, "')' expected, not " + describe(tok_));
            if (!next()) return false;
            return label_value(label, column, out);
        }
        static const struct {
            const char *name;
            expr_op op;
            int bit;
        } regs[] = {
            {"A", OP_A, 0},       {"B", OP_B, 0},       {"PC", OP_PC, 0},         {"SP", OP_SP, 0},
            {"SR", OP_SR, 0},     {"ST", OP_SR, 0},     {"IDLE", OP_IDLE, 0},     {"CYCLES", OP_CYCLES, 0},
            {"PASSES", OP_PASSES, 0}, {"C", OP_FLAG, SR_C}, {"N", OP_FLAG, SR_N}, {"Z", OP_FLAG, SR_Z},
            {"I", OP_FLAG, SR_I},
        };
        for (const auto &r : regs)
            if (equal_nocase(w, r.name)) {
                *out = add(r.op, t.column, r.bit);
                return true;
            }
        for (char letter : {'R', 'P'}) {
            const int n = register_number(w, letter);
            if (n < 0) continue;
            if (n > 255) return error_at(t.column, quoted(w) + ": the registers are " + letter + "0-" + letter + "255");
            *out = add(letter == 'R' ? OP_RF : OP_PF, t.column, n);
            return true;
        }
        if (equal_nocase(w, "value") || equal_nocase(w, "old")) {
            if (!access_) return error_at(t.column, quoted(w) + " is known only in a watchpoint's condition");
            out_->uses_value = true;
            *out = add(equal_nocase(w, "value") ? OP_VALUE : OP_OLD, t.column);
            return true;
        }
        if (all_hex(w)) {
            int64 v;
            if (!parse_digits(w, 16, &v)) return error_at(t.column, "number " + quoted(w) + " is too large");
            *out = add(OP_CONST, t.column, -1, -1, v);
            return true;
        }
        return label_value(w, t.column, out);
    }

    // A name of the symbol files: a label's address, a constant's value, or
    // the number of the register or port an alias names.
    bool label_value(const std::string &w, int column, int *out)
    {
        symbol_info info;
        if (!symbols_lookup(w.c_str(), &info)) {
            std::string message = "unknown name " + quoted(w);
            if (symbols_count() == 0) message += " (no symbols are loaded)";
            return error_at(column, message);
        }
        *out = add(OP_CONST, column, -1, -1, info.value);
        return true;
    }

    bool primary(int *out)
    {
        const int column = tok_.column;
        switch (tok_.kind) {
        case T_NUM: {
            *out = add(OP_CONST, column, -1, -1, tok_.value);
            return next();
        }
        case T_NAME:
            return name(out);
        case T_PUNCT:
            if (is("(")) {
                if (!next()) return false;
                int a;
                if (!expr(&a)) return false;
                if (!is(")")) return error_at(tok_.column, "')' expected, not " + describe(tok_));
                *out = a;
                return next();
            }
            if (is("[")) return bracketed(OP_MEM, column, out);
            return error_at(column, "a value expected, not " + describe(tok_));
        case T_END:
            return error_at(column, "the expression ends too early");
        }
        return false;
    }
};

struct evaluator {
    const std::vector<expr_node> &nodes;
    const expr_access *access;
    std::string *error;
    bool failed = false;

    int64 fail(const expr_node &n, const char *message)
    {
        if (!failed) {
            char text[96];
            snprintf(text, sizeof text, "at column %d: %s", n.column, message);
            *error = text;
        }
        failed = true;
        return 0;
    }

    int64 address(const expr_node &n, int64 limit)
    {
        const int64 a = eval(n.a);
        if (failed) return 0;
        if (a < 0 || a > limit) {
            char text[80];
            snprintf(text, sizeof text, "address %" PRIX64 " is outside %s", (uint64)a,
                     limit == 0x7FFF ? "video memory (0000-7FFF)" : "the CPU's space (0000-FFFF)");
            fail(n, text);
            return -1;
        }
        return a;
    }

    int64 eval(int i)
    {
        const expr_node &n = nodes[(size_t)i];
        switch ((expr_op)n.op) {
        case OP_CONST: return n.value;
        case OP_A: return tms7000.rf[0];
        case OP_B: return tms7000.rf[1];
        case OP_PC: return tms7000.pc.w.l;
        case OP_SP: return tms7000.sp;
        case OP_SR: return tms7000.sr;
        case OP_IDLE: return tms7000.idle_state;
        case OP_CYCLES: {
            const orlo_time t = orlo_get_time();   // the lazy clock, committed
            return (int64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
        }
        case OP_PASSES: return (int64)ovix_machine_passes();
        case OP_FLAG: return (tms7000.sr & n.a) ? 1 : 0;
        case OP_RF: return bus_peek(n.a);
        case OP_PF: return bus_peek(0x100 + n.a);
        case OP_VALUE: return access ? access->value : 0;
        case OP_OLD: return access ? access->old : 0;
        case OP_MEM: {
            const int64 a = address(n, 0xFFFF);
            return failed ? 0 : bus_peek((int)a);
        }
        case OP_WORD: {
            const int64 a = address(n, 0xFFFF);
            return failed ? 0 : (bus_peek((int)a) << 8) | bus_peek((int)((a + 1) & 0xFFFF));
        }
        case OP_VRAM: {
            const int64 a = address(n, 0x7FFF);
            return failed ? 0 : get_vram((int)a);
        }
        case OP_NEG: return (int64)(0 - (uint64)eval(n.a));
        case OP_NOT: return !eval(n.a);
        case OP_INV: return ~eval(n.a);
        case OP_LAND: return eval(n.a) ? eval(n.b) != 0 : 0;
        case OP_LOR: return eval(n.a) ? 1 : eval(n.b) != 0;
        default: break;
        }
        const int64 x = eval(n.a), y = eval(n.b);
        if (failed) return 0;
        // Wrapping arithmetic, as unsigned: no overflow is undefined.
        const uint64 ux = (uint64)x, uy = (uint64)y;
        switch ((expr_op)n.op) {
        case OP_MUL: return (int64)(ux * uy);
        case OP_DIV:
            if (y == 0) return fail(n, "division by zero");
            if (x == INT64_MIN && y == -1) return x;
            return x / y;
        case OP_MOD:
            if (y == 0) return fail(n, "division by zero");
            if (y == -1) return 0;
            return x % y;
        case OP_ADD: return (int64)(ux + uy);
        case OP_SUB: return (int64)(ux - uy);
        case OP_SHL: return y < 0 || y > 63 ? 0 : (int64)(ux << y);
        case OP_SHR: return y < 0 || y > 63 ? (x < 0 ? -1 : 0) : x >> y;
        case OP_LT: return x < y;
        case OP_LE: return x <= y;
        case OP_GT: return x > y;
        case OP_GE: return x >= y;
        case OP_EQ: return x == y;
        case OP_NE: return x != y;
        case OP_AND: return x & y;
        case OP_XOR: return x ^ y;
        case OP_OR: return x | y;
        default: return fail(n, "bad expression");
        }
    }
};

}  // namespace

bool expr_compile(const char *text, bool with_access, dbg_expr *out, std::string *error)
{
    *out = dbg_expr{};
    if (!text) text = "";
    const size_t length = strnlen(text, EXPR_MAX_LENGTH + 1);
    if (length > EXPR_MAX_LENGTH) {
        char message[80];
        snprintf(message, sizeof message, "an expression is at most %zu characters long", EXPR_MAX_LENGTH);
        *error = message;
        return false;
    }
    out->text = text;
    parser p(text, with_access, out);
    return p.run(error);
}

bool expr_eval(const dbg_expr &e, const expr_access *access, int64 *value, std::string *error)
{
    if (e.nodes.empty()) {
        *error = "empty expression";
        return false;
    }
    evaluator ev{e.nodes, access, error};
    const int64 v = ev.eval((int)e.nodes.size() - 1);
    if (ev.failed) return false;
    *value = v;
    return true;
}

bool expr_evaluate(const char *text, int64 *value, std::string *error)
{
    dbg_expr e;
    return expr_compile(text, false, &e, error) && expr_eval(e, nullptr, value, error);
}

std::string expr_value_text(int64 value)
{
    char text[64];
    if (value < 0)
        snprintf(text, sizeof text, "-%" PRIX64 " (#%" PRId64 ")", (uint64)0 - (uint64)value, value);
    else
        snprintf(text, sizeof text, "%" PRIX64 " (#%" PRId64 ")", (uint64)value, value);
    return text;
}

// ---------------------------------------------------------------------------
// Assignment targets.

bool expr_parse_target(const char *text, expr_target *out, std::string *error)
{
    // A target is one name, or a bracketed address: parse it as an
    // expression and look at the root.
    dbg_expr e;
    if (!expr_compile(text, false, &e, error)) return false;
    const expr_node &root = e.nodes.back();
    switch ((expr_op)root.op) {
    case OP_A: out->kind = TARGET_REG_A; return true;
    case OP_B: out->kind = TARGET_REG_B; return true;
    case OP_PC: out->kind = TARGET_PC; return true;
    case OP_SP: out->kind = TARGET_SP; return true;
    case OP_SR: out->kind = TARGET_SR; return true;
    case OP_FLAG: out->kind = TARGET_FLAG; out->index = (uint32)root.a; return true;
    case OP_RF: out->kind = TARGET_RF; out->index = (uint32)root.a; return true;
    case OP_PF: out->kind = TARGET_PF; out->index = (uint32)root.a; return true;
    case OP_MEM: case OP_WORD: case OP_VRAM: {
        int64 a;
        dbg_expr sub;
        sub.nodes.assign(e.nodes.begin(), e.nodes.begin() + root.a + 1);
        if (!expr_eval(sub, nullptr, &a, error)) return false;
        const int64 limit = root.op == OP_VRAM ? 0x7FFF : 0xFFFF;
        if (a < 0 || a > limit) {
            *error = root.op == OP_VRAM ? "video memory addresses are 0000-7FFF" : "CPU addresses are 0000-FFFF";
            return false;
        }
        out->kind = root.op == OP_MEM ? TARGET_MEM : root.op == OP_WORD ? TARGET_WORD : TARGET_VRAM;
        out->index = (uint32)a;
        return true;
    }
    default:
        *error = "only a register, a flag, Rn, Pn, [addr], w[addr] or v[addr] can be set";
        return false;
    }
}

// One byte into the CPU's space, as the debugger changes it.
static void poke(uint32 address, uint8 v)
{
    address &= 0xFFFF;
    if (address < 0x80) {
        tms7000.rf[address] = v;
    } else if (address >= 0x100 && address < 0x200) {
        program_write_byte_8((int)address, v);   // a CPU write, with its effects
    } else if (address >= 0x200 && address < 0x8000) {
        rom_cart[address] = v;
    } else if (address >= 0xC000 && address < 0xC800) {
        ram_2k[address - 0xC000] = v;
    } else if (address >= 0xF800) {
        rom_7020[address - 0xF800] = v;
    }
    // Unmapped addresses hold nothing: the write is dropped, as the CPU's.
}

bool expr_assign(const expr_target &t, int64 value, std::string *error)
{
    const bool word = t.kind == TARGET_PC || t.kind == TARGET_WORD;
    const bool flag = t.kind == TARGET_FLAG;
    const int64 max = flag ? 1 : word ? 0xFFFF : t.kind == TARGET_SP ? 0x7F : 0xFF;
    // Negative bytes are taken as their two's complement (-1 is FF).
    const int64 min = flag ? 0 : word ? -0x8000 : t.kind == TARGET_SP ? 0 : -0x80;
    if (value < min || value > max) {
        char text[96];
        snprintf(text, sizeof text, "%s does not fit (%s)", expr_value_text(value).c_str(),
                 flag ? "a flag is 0 or 1" : word ? "a word is 0000-FFFF" : t.kind == TARGET_SP ? "SP is 00-7F" : "a byte is 00-FF");
        *error = text;
        return false;
    }
    const uint16 v = (uint16)value;
    switch (t.kind) {
    case TARGET_REG_A: tms7000.rf[0] = (uint8)v; break;
    case TARGET_REG_B: tms7000.rf[1] = (uint8)v; break;
    case TARGET_PC: tms7000.pc.w.l = v; break;
    case TARGET_SP: tms7000.sp = (uint8)v; break;
    case TARGET_SR: tms7000.sr = (uint8)v; break;
    case TARGET_FLAG: tms7000.sr = (uint8)(v ? tms7000.sr | t.index : tms7000.sr & ~t.index); break;
    case TARGET_RF: poke(t.index, (uint8)v); break;
    case TARGET_PF: poke(0x100 + t.index, (uint8)v); break;
    case TARGET_MEM: poke(t.index, (uint8)v); break;
    case TARGET_WORD:
        poke(t.index, (uint8)(v >> 8));
        poke((t.index + 1) & 0xFFFF, (uint8)v);
        break;
    case TARGET_VRAM: set_vram((uint16)t.index, (uint8)v); break;
    }
    return true;
}

bool expr_set(const char *text, std::string *error)
{
    const std::string t = text ? text : "";
    size_t eq = std::string::npos;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] != '=') continue;
        const char before = i ? t[i - 1] : 0, after = i + 1 < t.size() ? t[i + 1] : 0;
        if (after == '=' || before == '<' || before == '>' || before == '!' || before == '=') continue;
        eq = i;
        break;
    }
    if (eq == std::string::npos) {
        *error = "TARGET=VALUE is needed (set A=5, set [C010]=FF)";
        return false;
    }
    expr_target target;
    int64 v;
    return expr_parse_target(t.substr(0, eq).c_str(), &target, error) && expr_evaluate(t.substr(eq + 1).c_str(), &v, error) &&
           expr_assign(target, v, error);
}
