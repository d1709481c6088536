// ovix-asm instruction and data encoder.
//
// The instruction forms are derived from the disassembler's tables: each
// opcode entry's mnemonic and operand-format pieces (" #%X", ",R%u", ",%s")
// become a list of operand kinds (immediate byte, register, relative
// target...), so whatever the disassembler prints assembles back to the
// same bytes. On top of these forms come the notations of the common
// syntax: the other names of the jumps (JZ, JNC, JLT, JGT, JGE...), LDA,
// STA, CMPA, BR and CALL without '@', MOV between A and memory (LDA/STA),
// CMPA with an immediate or a register (CMP ...,A), A and B as registers 0
// and 1 in every form that takes a register, ports given by their
// peripheral address (0106h for P6), and names defined as registers.
#include <algorithm>
#include <map>

#include "asm_int.h"
#include "cpu/7000dasm.h"

namespace ovasm {
namespace {

enum OpKind {
    K_A, K_B, K_ST,             // fixed register names
    K_REG, K_PORT, K_INDR,      // Rn, Pn, *Rn
    K_IMM8, K_IMM16, K_IMM16X,  // #n, #nnnn, #nnnn(B)
    K_ADDR, K_ADDRX,            // @nnnn, @nnnn(B)
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
    case K_ADDR: return "@addr";
    case K_ADDRX: return "@addr(B)";
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
            bool byte = d == UI8 || d == I8, word = d == UI16 || d == I16;
            OpKind k = K_A;
            if (byte && post.empty() && pre == "R") k = K_REG;
            else if (byte && post.empty() && pre == "P") k = K_PORT;
            else if (byte && post.empty() && pre == "#") k = K_IMM8;
            else if (byte && post.empty() && pre == "*R") k = K_INDR;
            else if (word && pre == "#" && post.empty()) k = K_IMM16;
            else if (word && pre == "#" && post == "(B)") k = K_IMM16X;
            else if (word && pre == "@#" && post.empty()) k = K_ADDR;
            else if (word && pre == "@#" && post == "(B)") k = K_ADDRX;
            else if (d == PCREL && pre.empty() && post.empty()) k = K_REL;
            else if (d == PCABS && pre.empty() && post.empty()) k = K_ABS;
            else {
                t.problems.push_back(name + ": operand '" + pre + "%" + post + "'");
                continue;
            }
            form.ops.push_back(k);
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

// Other names of the relative jumps: the executor's names for E3, E5 and
// E6, and the family's condition names.
const std::map<std::string, std::string> &aliases()
{
    static const std::map<std::string, std::string> a = {
        {"JC", "JHS"}, {"JPZ", "JPI"}, {"JNE", "JNZ"}, {"JZ", "JEQ"},  {"JNC", "JL"},
        {"JLO", "JL"}, {"JLT", "JN"},  {"JGT", "JP"},  {"JGE", "JPI"},
    };
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
// Operands as written.

enum SrcKind { S_A, S_B, S_ST, S_REG, S_PORT, S_INDR, S_IMM, S_IMMX, S_ADDR, S_ADDRX, S_EXPR, S_EXPRX };

struct SrcOp {
    SrcKind kind = S_EXPR;
    std::string text;        // as written
    std::string expr;        // the expression part
    bool hex = false;        // numbers in expr are hexadecimal by default
    bool rel_exact = false;  // disassembler dialect: "$", "$+n", "$-n" count from the next instruction
    int64_t rel_offset = 0;
    Value val;
    std::string err;         // evaluation error
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
    std::string t = trim(body);
    std::string u = upper(t);
    if (u.size() >= 3 && u.compare(u.size() - 3, 3, "(B)") == 0) {
        body = trim(t.substr(0, t.size() - 3));
        return true;
    }
    return false;
}

SrcOp classify(const std::string &written, const ExprEnv &env)
{
    SrcOp op;
    op.text = trim(written);
    const std::string &t = op.text;
    const std::string u = upper(t);
    const bool dasm = env.dialect == Dialect::Dasm;
    if (u == "A") op.kind = S_A;
    else if (u == "B") op.kind = S_B;
    else if (u == "ST") op.kind = S_ST;
    else if (!t.empty() && t[0] == '*') {
        op.kind = S_INDR;
        op.expr = t.substr(1);
    } else if (!t.empty() && (t[0] == '#' || t[0] == '%')) {
        op.hex = dasm && t[0] == '#';
        op.expr = t.substr(1);
        op.kind = strip_index(op.expr) ? S_IMMX : S_IMM;
    } else if (!t.empty() && t[0] == '@') {
        op.expr = t.substr(1);
        if (dasm && !op.expr.empty() && op.expr[0] == '#') {
            op.hex = true;
            op.expr = op.expr.substr(1);
        }
        op.kind = strip_index(op.expr) ? S_ADDRX : S_ADDR;
    } else {
        op.expr = t;
        op.kind = strip_index(op.expr) ? S_EXPRX : S_EXPR;
        op.rel_exact = dasm && op.kind == S_EXPR && exact_relative(t, op.rel_offset);
    }
    if (op.kind == S_A || op.kind == S_B || op.kind == S_ST || op.rel_exact) return op;

    if (!eval_expr(op.expr, env, op.hex, op.val, op.err)) op.val = Value{0, false};
    const VType ty = op.val.type;
    if ((op.kind == S_EXPR) && ty != V_NUM) {
        op.kind = ty == V_PORT ? S_PORT : op.val.ab == 'A' ? S_A : op.val.ab == 'B' ? S_B : S_REG;
    } else if (op.kind == S_INDR && ty != V_REG && op.err.empty()) {
        op.err = "indirect operand " + quote(t) + " needs a register (*R5, or *NAME with NAME defined as a register), not " +
                 vtype_text(ty);
    } else if (op.kind != S_INDR && ty != V_NUM && op.err.empty() && !register_as_number(op.val)) {
        op.err = "operand " + quote(t) + " is " + vtype_text(ty) + " where a number or an address belongs";
    }
    return op;
}

// Rounds of matching: 0 the operands as written; 1 A and B also as
// registers 0 and 1; 2 also a register or port value (a name defined as
// one) as the address it has on the bus, as the family's assemblers read
// it (LDA CLBUF with CLBUF EQU R32 is LDA @0020h).
bool kind_matches(OpKind k, const SrcOp &s, int round)
{
    const bool alias_address = round >= 2 && (s.kind == S_PORT || (s.kind == S_REG && !s.val.ab));
    switch (k) {
    case K_A: return s.kind == S_A;
    case K_B: return s.kind == S_B;
    case K_ST: return s.kind == S_ST;
    case K_REG: return s.kind == S_REG || (round >= 1 && (s.kind == S_A || s.kind == S_B));
    case K_PORT: return s.kind == S_PORT || (s.kind == S_EXPR && !s.rel_exact);
    case K_INDR: return s.kind == S_INDR;
    case K_IMM8: case K_IMM16: return s.kind == S_IMM;
    case K_IMM16X: return s.kind == S_IMMX;
    case K_ADDR: return s.kind == S_ADDR || (s.kind == S_EXPR && !s.rel_exact) || alias_address;
    case K_ADDRX: return s.kind == S_ADDRX || s.kind == S_EXPRX;
    case K_REL: return s.kind == S_EXPR || alias_address;
    case K_TRAPNUM: return s.kind == S_EXPR && !s.rel_exact;
    case K_ABS: return (s.kind == S_EXPR && !s.rel_exact) || s.kind == S_ADDR || alias_address;
    }
    return false;
}

bool memory_operand(const SrcOp &s)
{
    return s.kind == S_ADDR || s.kind == S_ADDRX || s.kind == S_EXPRX || s.kind == S_INDR ||
           (s.kind == S_EXPR && !s.rel_exact);
}

void put16(std::vector<uint8_t> &b, int64_t v)
{
    b.push_back((uint8_t)((v >> 8) & 0xFF));
    b.push_back((uint8_t)(v & 0xFF));
}

}  // namespace

bool in_range(const Value &v, int64_t lo, int64_t hi, const char *what, std::vector<std::string> &errors)
{
    if (!v.known) return false;
    if (v.v < lo || v.v > hi) {
        errors.push_back(fmt("%s %lld out of range %lld..%lld", what, (long long)v.v, (long long)lo, (long long)hi));
        return false;
    }
    return true;
}

bool is_mnemonic(const std::string &word) { return find_forms(word) != nullptr; }

void encode_instruction(const std::string &mnemonic, const std::string &args, const ExprEnv &env, Reading &out)
{
    std::string m = upper(mnemonic);
    std::vector<SrcOp> ops;
    for (const std::string &t : split_operands(args)) ops.push_back(classify(t, env));

    const bool common = env.dialect == Dialect::Common;
    const std::string M = upper(mnemonic);
    // A plain number 0..255 where a register belongs is that register in
    // the common syntax, as the family's assemblers read it (SUB "0",A is
    // SUB R48,A), with a warning that says how to write what was meant.
    auto number_register = [&](const SrcOp &s) {
        return common && s.kind == S_EXPR && !s.rel_exact && s.err.empty() && s.val.known && s.val.type == V_NUM &&
               s.val.v >= 0 && s.val.v <= 255;
    };
    std::vector<size_t> as_registers;   // operands read as registers that way

    // The common notations that stand for other instructions. MOV n,A and
    // MOV A,n with n below 100h name the register n, as in the family's
    // assemblers, not the memory byte.
    bool mov_register = false, from_mov = false;
    if (m == "MOV" && ops.size() == 2 && ops[1].kind == S_A && number_register(ops[0])) {
        mov_register = true;
    } else if (m == "MOV" && ops.size() == 2 && ops[0].kind == S_A && number_register(ops[1])) {
        mov_register = true;
    } else if (m == "MOV" && ops.size() == 2 && ops[1].kind == S_A && memory_operand(ops[0])) {
        m = "LDA";
        ops.pop_back();
        from_mov = true;
    } else if (m == "MOV" && ops.size() == 2 && ops[0].kind == S_A && memory_operand(ops[1])) {
        m = "STA";
        ops.erase(ops.begin());
        from_mov = true;
    } else if (m == "CMPA" && ops.size() == 1 && (ops[0].kind == S_IMM || ops[0].kind == S_REG || ops[0].kind == S_B)) {
        m = "CMP";
        SrcOp a;
        a.kind = S_A;
        ops.push_back(a);
    }
    const std::vector<Form> *forms = find_forms(m);
    if (!forms) {
        out.error("unknown mnemonic " + quote(mnemonic), mnemonic);
        return;
    }

    // The first form in table order that takes the operands, in the rounds
    // of kind_matches: A and B count as registers 0 and 1 only where no
    // form takes them as A and B, a register name as an address only where
    // no form takes it as a register.
    auto match = [&](const std::vector<SrcOp> &o, int &round_out) -> const Form * {
        for (int round = 0; round < 3; round++)
            for (const Form &f : *forms) {
                if (f.ops.size() != o.size()) continue;
                bool ok = true;
                for (size_t i = 0; i < o.size() && ok; i++) ok = kind_matches(f.ops[i], o[i], round);
                if (ok) {
                    round_out = round;
                    return &f;
                }
            }
        return nullptr;
    };
    int round = 0;
    const Form *chosen = nullptr;
    if (mov_register) {
        const size_t i = ops[0].kind == S_A ? 1 : 0;
        ops[i].kind = S_REG;
        as_registers.push_back(i);
        chosen = match(ops, round);
    } else {
        chosen = match(ops, round);
    }
    for (const SrcOp &s : ops)
        if (!s.err.empty()) {
            out.error(s.err, s.text);
            if (!chosen) return;
        }
    if (!chosen) {
        // Plain numbers where only a register fits: one operand, else all.
        std::vector<size_t> candidates;
        for (size_t i = 0; i < ops.size(); i++)
            if (ops[i].kind == S_EXPR && !ops[i].rel_exact) candidates.push_back(i);
        std::vector<std::vector<size_t>> tries;
        for (size_t i : candidates) tries.push_back({i});
        if (candidates.size() > 1) tries.push_back(candidates);
        for (const std::vector<size_t> &t : tries) {
            std::vector<SrcOp> as_reg = ops;
            for (size_t i : t) as_reg[i].kind = S_REG;
            int r;
            if (!match(as_reg, r)) continue;
            bool fits = true;
            for (size_t i : t) fits = fits && number_register(ops[i]);
            if (!fits) {
                const SrcOp &s = ops[t.front()];
                out.error(M + ": " + quote(s.text) + " is a number, not a register: write R" +
                              (s.val.known ? std::to_string(s.val.v) : std::string("n")) +
                              ", or define the name with EQU Rn",
                          s.text);
                return;
            }
            ops = as_reg;
            as_registers = t;
            chosen = match(ops, round);
            break;
        }
    }
    if (!chosen) {
        bool no_operands = std::all_of(forms->begin(), forms->end(), [](const Form &f) { return f.ops.empty(); });
        if (no_operands) out.error(M + " takes no operands", trim(args));
        else if (ops.empty()) out.error(M + " needs operands (forms: " + form_list(*forms) + ")");
        else out.error(M + " has no form " + quote(trim(args)) + " (forms: " + form_list(*forms) + ")", trim(args));
        return;
    }
    for (size_t i : as_registers) {
        const SrcOp &s = ops[i];
        const std::string reg = "R" + std::to_string(s.val.v);
        // How to write the value instead, where a form takes an immediate.
        std::vector<SrcOp> as_imm = ops;
        as_imm[i].kind = S_IMM;
        int r;
        std::string hint = "write " + reg + " to say so";
        if (match(as_imm, r)) hint += ", or #" + s.text + " for the value " + std::to_string(s.val.v);
        if (mov_register) hint += ", or @" + s.text + " for the memory byte";
        out.warnings.push_back(Reading::Warning{
            "register-number",
            M + ": " + quote(s.text) + " is a number where a register belongs: read as register " + reg +
                ", as the family's assemblers read it (" + hint + ")",
            s.text});
    }

    // TRAP n: the number picks the opcode.
    if (!chosen->ops.empty() && chosen->ops[0] == K_TRAPNUM) {
        const Form *t = nullptr;
        if (ops[0].val.known)
            for (const Form &f : *forms)
                if (f.trapnum == ops[0].val.v) t = &f;
        if (ops[0].val.known && !t) out.error(fmt("TRAP number %lld out of range 0..23", (long long)ops[0].val.v), ops[0].text);
        out.bytes.push_back(t ? t->opcode : chosen->opcode);
        out.code = true;
        return;
    }

    std::vector<uint8_t> &bytes = out.bytes;
    bytes.push_back(chosen->opcode);
    out.code = true;
    const int64_t next = env.here + chosen->length;
    for (size_t i = 0; i < ops.size(); i++) {
        const SrcOp &s = ops[i];
        const OpKind k = chosen->ops[i];
        Value v = s.val;
        if ((k == K_ADDR || k == K_ABS || k == K_REL) && (s.kind == S_REG || s.kind == S_PORT)) register_as_number(v);
        out.marks.resize(out.errors.size());
        switch (k) {
        case K_A: case K_B: case K_ST:
            break;
        case K_REG: case K_INDR:
            if (round >= 1 && (s.kind == S_A || s.kind == S_B)) v = Value{s.kind == S_A ? 0 : 1, true};
            in_range(v, 0, 255, "register number", out.errors);
            bytes.push_back((uint8_t)v.v);
            break;
        case K_PORT:
            if (s.kind == S_EXPR && v.known) {
                if (v.v >= 0x100 && v.v <= 0x1FF) {
                    v.v -= 0x100;
                } else {
                    out.errors.push_back(quote(s.text) + " is neither a port (P6, or a name defined as one) nor a "
                                             "peripheral address ($0100-$01FF)");
                    v.v = 0;
                }
            }
            in_range(v, 0, 255, "port number", out.errors);
            bytes.push_back((uint8_t)v.v);
            break;
        case K_IMM8:
            in_range(v, -128, 255, "value", out.errors);
            bytes.push_back((uint8_t)(v.v & 0xFF));
            break;
        case K_IMM16: case K_IMM16X:
            in_range(v, -32768, 0xFFFF, "value", out.errors);
            put16(bytes, v.v);
            break;
        case K_ADDR: case K_ADDRX: case K_ABS:
            if (from_mov && s.kind == S_EXPR && v.known && v.v >= 0 && v.v < 0x100)
                out.errors.push_back(quote(s.text) + " is ambiguous in MOV: write R" + std::to_string(v.v) +
                                     " for the register or @" + s.text + " for the memory address");
            in_range(v, 0, 0xFFFF, "address", out.errors);
            put16(bytes, v.v);
            break;
        case K_REL: {
            int64_t d = 0;
            if (s.rel_exact) {
                Value off{s.rel_offset, true};
                if (in_range(off, -128, 127, "relative offset", out.errors)) d = s.rel_offset;
            } else if (v.known && (v.v < 0 || v.v > 0xFFFF)) {
                in_range(v, 0, 0xFFFF, "address", out.errors);
            } else if (v.known) {
                d = v.v - next;
                if (d < -128 || d > 127) {
                    out.errors.push_back(fmt("relative branch out of reach: target $%04llX is %+lld bytes from the next "
                                             "instruction (range -128..+127)", (unsigned long long)v.v, (long long)d));
                    d = 0;
                }
            }
            bytes.push_back((uint8_t)(d & 0xFF));
            break;
        }
        case K_TRAPNUM:
            break;
        }
        out.marks.resize(out.errors.size(), s.text);
    }
}

bool operand_reads_same(const std::string &operand, const ExprEnv &a, const ExprEnv &b)
{
    const SrcOp x = classify(operand, a), y = classify(operand, b);
    return x.kind == y.kind && x.err.empty() && y.err.empty() && x.rel_exact == y.rel_exact &&
           x.rel_offset == y.rel_offset && x.val.v == y.val.v && x.val.type == y.val.type && x.val.known == y.val.known;
}

void encode_data(const std::string &op, const std::string &args, bool word, const ExprEnv &env, Reading &out)
{
    std::vector<std::string> items = split_operands(args);
    if (items.empty()) {
        out.error(upper(op) + " needs at least one value");
        return;
    }
    for (const std::string &item : items) {
        out.marks.resize(out.errors.size());
        if (item.empty()) {
            out.error("missing value in the list");
            continue;
        }
        if (!word) {
            std::vector<uint8_t> text;
            std::string serr;
            Str st = parse_string(item, env.dialect == Dialect::Common, text, serr);
            if (st == Str::Ok) {
                out.bytes.insert(out.bytes.end(), text.begin(), text.end());
                continue;
            }
            if (st == Str::Error) {
                // Perhaps an expression that starts with a character: 'A'+1.
                Value v;
                std::string e;
                if (eval_expr(item, env, false, v, e) && v.type == V_NUM) {
                    in_range(v, -128, 255, "value", out.errors);
                    out.bytes.push_back((uint8_t)(v.v & 0xFF));
                } else {
                    out.errors.push_back(serr);
                    out.bytes.push_back(0);
                }
                out.marks.resize(out.errors.size(), item);
                continue;
            }
        }
        Value v;
        std::string e;
        if (!eval_expr(item, env, false, v, e)) out.errors.push_back(e);
        else if (v.type != V_NUM && !register_as_number(v))
            out.errors.push_back(quote(item) + " is " + vtype_text(v.type) + ", not a value");
        if (word) {
            in_range(v, -32768, 0xFFFF, "value", out.errors);
            put16(out.bytes, v.v);
        } else {
            in_range(v, -128, 255, "value", out.errors);
            out.bytes.push_back((uint8_t)(v.v & 0xFF));
        }
        out.marks.resize(out.errors.size(), item);
    }
}

std::vector<std::string> table_problems() { return table().problems; }

std::string forms_of(const std::string &mnemonic)
{
    const std::vector<Form> *f = find_forms(mnemonic);
    return f ? form_list(*f) : "";
}

}  // namespace ovasm
