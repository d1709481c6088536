// ovix-asm expressions: numbers of both dialects, symbols, registers and
// the operators, evaluated in 64-bit signed arithmetic with every overflow
// an error (a value is range-checked where it is used, never wrapped
// first).
//
// The parser climbs precedences with one call per level and takes unary
// operators in a loop, so its depth grows only with parentheses (and
// functions and the disassembler dialect's byte prefixes), which are
// bounded by MAX_EXPR_DEPTH: no source can exhaust the stack.
//
// Precedence, low to high: comparisons (= == != <> < <= > >=, 1 or 0);
// |; ^; &; << >>; + -; * / %; unary - + ~ !.
//
// Registers are values of their own type: R6 (or a name defined as R6)
// plus or minus a number is a register, the difference of two registers a
// number; every other operator refuses them.
#include <cctype>
#include <climits>
#include <cstring>

#include "asm_int.h"

namespace ovasm {
namespace {

class Parser {
public:
    Parser(const std::string &s, const ExprEnv &env, bool hex) : s_(s), env_(env), hex_(hex) {}

    bool parse(Value &out, std::string &err)
    {
        skip();
        if (p_ >= s_.size()) {
            err = "missing expression";
            return false;
        }
        out = top();
        skip();
        if (err_.empty() && p_ < s_.size()) fail("unexpected " + quote(s_.substr(p_)) + " in expression");
        if (!err_.empty()) {
            err = err_;
            out = Value{0, false};
            return false;
        }
        return true;
    }

private:
    const std::string &s_;
    const ExprEnv &env_;
    bool hex_;
    size_t p_ = 0;
    int depth_ = 0;
    std::string err_;

    bool dasm() const { return env_.dialect == Dialect::Dasm; }
    void skip() { while (p_ < s_.size() && isspace((unsigned char)s_[p_])) p_++; }
    char peek(size_t ahead = 0) const { return p_ + ahead < s_.size() ? s_[p_ + ahead] : 0; }
    Value fail(const std::string &m)
    {
        if (err_.empty()) err_ = m;
        return Value{0, false};
    }
    bool enter()
    {
        if (++depth_ > MAX_EXPR_DEPTH) {
            fail(fmt("expression nested too deeply (more than %d levels of parentheses)", MAX_EXPR_DEPTH));
            return false;
        }
        return true;
    }

    Value top();
    Value binary(int min_prec);
    Value unary();
    Value primary();
    Value parenthesized(const std::string &missing);
    Value number(const std::string &tok, bool hex);
    Value apply(const std::string &op, Value l, Value r);
    std::string binary_op(int &prec) const;
};

// The whole expression at the current position. In the disassembler
// dialect "<" and ">" in front take the low and the high byte of everything
// that follows.
Value Parser::top()
{
    skip();
    char c = peek(), n = peek(1);
    if (dasm() && (c == '<' || c == '>') && n != c && n != '=' && !(c == '<' && n == '>')) {
        p_++;
        if (!enter()) return Value{0, false};
        Value v = top();
        depth_--;
        if (v.type != V_NUM) return fail(std::string("the byte operator '") + c + "' does not apply to " + vtype_text(v.type));
        v.v = c == '<' ? (v.v & 0xFF) : ((v.v >> 8) & 0xFF);
        return v;
    }
    return binary(1);
}

std::string Parser::binary_op(int &prec) const
{
    static const struct {
        const char *op;
        int prec;
    } ops[] = {{"<<", 5}, {">>", 5}, {"<=", 1}, {">=", 1}, {"<>", 1}, {"==", 1}, {"!=", 1}, {"<", 1}, {">", 1},
               {"=", 1},  {"|", 2},  {"^", 3},  {"&", 4},  {"+", 6},  {"-", 6},  {"*", 7},  {"/", 7}, {"%", 7}};
    const char c = peek();
    if (!strchr("<>=!|^&+-*/%", c) || c == 0) return "";
    for (const auto &o : ops)
        if (o.op[0] == c && (o.op[1] == 0 || peek(1) == o.op[1])) {
            prec = o.prec;
            return o.op;
        }
    return "";
}

Value Parser::binary(int min_prec)
{
    Value l = unary();
    for (;;) {
        skip();
        int prec = 0;
        std::string op = binary_op(prec);
        if (op.empty() || prec < min_prec || !err_.empty()) return l;
        p_ += op.size();
        Value r = binary(prec + 1);
        l = apply(op, l, r);
    }
}

Value Parser::apply(const std::string &op, Value l, Value r)
{
    Value out{0, l.known && r.known};
    if (l.type != V_NUM || r.type != V_NUM) {
        out.from_ab = l.ab || r.ab || l.from_ab || r.from_ab;
        if (op == "+" && (l.type == V_NUM || r.type == V_NUM)) out.type = l.type == V_NUM ? r.type : l.type;
        else if (op == "-" && r.type == V_NUM) out.type = l.type;
        else if (op == "-" && l.type == r.type) out.type = V_NUM;
        else
            return fail(std::string(vtype_text(l.type != V_NUM ? l.type : r.type)) + " cannot be used with '" + op +
                        "' (only a number may be added to or taken from it)");
    }
    if (!out.known) return out;
    const int64_t a = l.v, b = r.v;
    int64_t v = 0;
    bool overflow = false;
    if (op == "+") overflow = __builtin_add_overflow(a, b, &v);
    else if (op == "-") overflow = __builtin_sub_overflow(a, b, &v);
    else if (op == "*") overflow = __builtin_mul_overflow(a, b, &v);
    else if (op == "/" || op == "%") {
        if (b == 0) return fail("division by zero");
        if (a == INT64_MIN && b == -1) overflow = true;
        else v = op == "/" ? a / b : a % b;
    } else if (op == "<<" || op == ">>") {
        if (b < 0 || b > 63) return fail(fmt("shift count %lld out of range 0..63", (long long)b));
        if (op == ">>") {
            v = a >> b;
        } else {
            v = (int64_t)((uint64_t)a << b);
            overflow = (v >> b) != a;
        }
    } else if (op == "&") v = a & b;
    else if (op == "|") v = a | b;
    else if (op == "^") v = a ^ b;
    else if (op == "=" || op == "==") v = a == b;
    else if (op == "!=" || op == "<>") v = a != b;
    else if (op == "<") v = a < b;
    else if (op == "<=") v = a <= b;
    else if (op == ">") v = a > b;
    else if (op == ">=") v = a >= b;
    if (overflow) return fail("value out of range: the result of '" + op + "' does not fit in 64 bits");
    out.v = v;
    return out;
}

Value Parser::unary()
{
    std::string ops;
    for (skip(); peek() == '-' || peek() == '+' || peek() == '~' || (peek() == '!' && peek(1) != '='); skip())
        ops += s_[p_++];
    Value v = primary();
    for (size_t i = ops.size(); i-- > 0 && err_.empty();) {
        const char c = ops[i];
        if (c == '+') continue;
        if (v.type != V_NUM) return fail(std::string("'") + c + "' does not apply to " + vtype_text(v.type));
        v.ab = 0;
        if (!v.known) continue;
        if (c == '-') {
            if (v.v == INT64_MIN) return fail("value out of range: the result of '-' does not fit in 64 bits");
            v.v = -v.v;
        } else if (c == '~') {
            v.v = ~v.v;
        } else {
            v.v = v.v == 0;
        }
    }
    return v;
}

// A number token: digits and letters. In the disassembler dialect after #
// and @# (`hex`) it is hexadecimal; otherwise the dialect's markers say.
Value Parser::number(const std::string &tok, bool hex)
{
    std::string digits = tok;
    int base = 10;
    const std::string u = upper(tok);
    const char last = u.back();
    auto only = [](const std::string &t, const char *set) {
        return !t.empty() && t.find_first_not_of(set) == std::string::npos;
    };
    if (u.size() > 2 && u[0] == '0' && u[1] == 'X') {
        base = 16;
        digits = tok.substr(2);
    } else if (hex) {
        base = 16;
    } else if (dasm()) {
        if (u.size() > 2 && u[0] == '0' && u[1] == 'B') {
            base = 2;
            digits = tok.substr(2);
        }
    } else if (last == 'H') {
        base = 16;
        digits = tok.substr(0, tok.size() - 1);
    } else if (u.size() > 2 && u[0] == '0' && u[1] == 'B' && only(u.substr(2), "01")) {
        base = 2;
        digits = tok.substr(2);
    } else if (last == 'B' && only(u.substr(0, u.size() - 1), "01")) {
        base = 2;
        digits = tok.substr(0, tok.size() - 1);
    } else if (last == 'Q' || last == 'O') {
        base = 8;
        digits = tok.substr(0, tok.size() - 1);
    } else if (last == 'D' && only(u.substr(0, u.size() - 1), "0123456789")) {
        digits = tok.substr(0, tok.size() - 1);
    }
    uint64_t v = 0;
    for (char c : digits) {
        const int d = hex_digit(c);
        if (d >= base) {
            std::string hint;
            if (!hex && dasm()) hint = " (hexadecimal is written $1F or 0x1F)";
            else if (!hex && all_hex(tok)) hint = " (hexadecimal is written " + tok + "h, 0x" + tok + ", >" + tok + " or $" + tok + ")";
            return fail("bad number " + quote(tok) + hint);
        }
        v = v * (uint64_t)base + (uint64_t)d;
        if (v > (uint64_t)INT64_MAX) return fail("number " + quote(tok) + " too large");
    }
    if (digits.empty()) return fail("bad number " + quote(tok));
    return Value{(int64_t)v, true};
}

// The expression after a '(' already passed, up to its ')'; `missing` is
// the error when there is none.
Value Parser::parenthesized(const std::string &missing)
{
    if (!enter()) return Value{0, false};
    Value v = top();
    depth_--;
    skip();
    if (peek() != ')') return fail(missing);
    p_++;
    return v;
}

Value Parser::primary()
{
    skip();
    const char c = peek();
    if (c == '(') {
        p_++;
        return parenthesized("missing ')'");
    }
    if (c == '\'' || c == '"') {
        size_t i = p_ + 1;
        int v = 0;
        if (i < s_.size() && s_[i] == '\\') {
            i++;
            if (!parse_escape(s_, i, v)) return fail("bad escape sequence in character");
        } else if (i < s_.size() && s_[i] != c) {
            v = (unsigned char)s_[i++];
        } else {
            return fail("empty character constant");
        }
        if (i >= s_.size() || s_[i] != c)
            return fail(std::string("bad character constant: one character between ") + c + " and " + c);
        p_ = i + 1;
        return Value{v, true};
    }
    if (c == '$' || (c == '>' && !dasm())) {
        p_++;
        size_t b = p_;
        while (p_ < s_.size() && is_ident_char(s_[p_]) && s_[p_] != '.') p_++;
        std::string tok = s_.substr(b, p_ - b);
        if (c == '$' && (tok.empty() || !isxdigit((unsigned char)tok[0]))) {
            p_ = b;
            return Value{env_.here, true};
        }
        if (!all_hex(tok)) {
            if (c == '>')
                return fail("'>' starts a hexadecimal number (>1F)" + std::string(tok.empty() ? "" : ", not " + quote(">" + tok)) +
                            "; HIGH(x) gives a high byte");
            return fail("bad number " + quote("$" + tok));
        }
        return number(tok, true);
    }
    if (c == '<' && !dasm()) return fail("'<' compares; LOW(x) gives a low byte");
    if (isdigit((unsigned char)c)) {
        size_t b = p_;
        while (p_ < s_.size() && isalnum((unsigned char)s_[p_])) p_++;
        return number(s_.substr(b, p_ - b), hex_);
    }
    if (is_ident_start(c)) {
        size_t b = p_;
        while (p_ < s_.size() && is_ident_char(s_[p_])) p_++;
        const std::string name = s_.substr(b, p_ - b), u = upper(name);
        size_t q = p_;
        while (q < s_.size() && isspace((unsigned char)s_[q])) q++;
        const bool call = q < s_.size() && s_[q] == '(';
        if (call && (u == "HIGH" || u == "LOW" || u == "HI" || u == "LO")) {
            p_ = q + 1;
            Value v = parenthesized("missing ')' after " + name + "(");
            if (v.type != V_NUM) return fail(name + "() does not apply to " + vtype_text(v.type));
            v.v = u[0] == 'H' ? (v.v >> 8) & 0xFF : v.v & 0xFF;
            return v;
        }
        if ((u[0] == 'R' || u[0] == 'P') && (all_digits(u.substr(1)) || (u.size() == 1 && call))) {
            Value v;
            if (u.size() == 1) {   // R(expr), P(expr)
                p_ = q + 1;
                v = parenthesized("missing ')' after " + name + "(");
                if (v.type != V_NUM) return fail(name + "() takes a number, not " + std::string(vtype_text(v.type)));
            } else {
                v = number(u.substr(1), false);
                if (!err_.empty()) return v;
            }
            v.type = u[0] == 'R' ? V_REG : V_PORT;
            return v;
        }
        if (dasm() && hex_ && all_hex(name)) return number(name, true);
        if (u == "A" || u == "B") return Value{u == "A" ? 0 : 1, true, V_REG, u[0]};
        if (dasm() && all_hex(name))
            return fail(quote(name) + " is not a symbol name; a hexadecimal number is written $" + name + " or 0x" + name);
        Value v;
        std::string err;
        if (!env_.lookup(name, v, err)) return fail(err);
        return v;
    }
    if (c == 0) return fail("missing value at the end of the expression");
    return fail(std::string("unexpected '") + c + "' in expression");
}

}  // namespace

const char *vtype_text(VType t) { return t == V_REG ? "a register" : t == V_PORT ? "a port" : "a number"; }

bool register_as_number(Value &v)
{
    if (v.type == V_NUM || v.ab || v.from_ab) return false;
    if (v.type == V_PORT && v.known) v.v += 0x100;
    v.type = V_NUM;
    return true;
}

bool eval_expr(const std::string &text, const ExprEnv &env, bool hex, Value &out, std::string &err)
{
    Parser p(text, env, hex);
    return p.parse(out, err);
}

}  // namespace ovasm
