// ovix-asm driver: passes, the source frames (files, macro expansions,
// repetitions), symbols, directives, and the two readings of every line.
//
// Passes: every pass assembles the whole source into a fresh 64 KiB image.
// A symbol used before its definition takes its value (and kind: number,
// register, port) from the previous pass. Passes repeat until no symbol
// changes; the errors, image and listing of that last pass are the result.
//
// Lines come from a stack of frames: the root file, included files, macro
// expansions and REPT bodies. The loop over them is flat, and every kind of
// nesting is bounded (include depth, macro depth, lines per pass), so no
// source can exhaust the stack or run for ever.
//
// Dialects: every line that gives bytes or a value is also read in the
// other dialect, without any effect. When only the other dialect can read
// it, its error says what the other gives. When both read it but
// differently, the line is an error where the chosen dialect cannot be
// sure of it: in the disassembler dialect when the line is not written as
// the disassembler writes, in the common dialect when its file also has
// lines that only the disassembler dialect reads.
#include "asm.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <set>

#include "asm_int.h"
#include "host/files.h"

namespace ovasm {
namespace {

constexpr int MAX_PASSES = 16;
constexpr size_t MAX_ERRORS = 200;
constexpr int MAX_INCLUDE_DEPTH = 32;
constexpr int MAX_REPT_DEPTH = 64;
constexpr long long MAX_SOURCE_BYTES = 16ll << 20;
constexpr long MAX_LINES_PER_PASS = 1000000;

bool is_directive(const std::string &u)
{
    static const std::set<std::string> d = {
        "ORG",  "DB",    "BYTE",   "ASCII",  "TEXT",  "DW",      "WORD",  "FILL",  "DS",   "ALIGN", "INCLUDE",
        "INCBIN", "END", "CPU",    "PAGE",   "TITLE", "SUBTTL",  "LIST",  "NOLIST", "EJECT", "NEWPAGE", "MACRO",
        "ENDM", "REPT",  "DUP",    "ENDR",   "EDUP",  "IF",      "IFDEF", "IFNDEF", "ELSE", "ELSEIF", "ENDIF",
        "DASM", "EQU",   "SET",
    };
    return d.count(u) != 0;
}

bool data_op(const std::string &u) { return u == "DB" || u == "BYTE" || u == "TEXT" || u == "ASCII" || u == "DW" || u == "WORD"; }
bool value_op(const std::string &u) { return u == "EQU" || u == "=" || u == "SET"; }
bool illegal_text(const std::string &u, const std::string &args) { return u == "ILLEGAL" && upper(trim(args)) == "OPCODE"; }

const char *dialect_name(Dialect d) { return d == Dialect::Common ? "the common syntax" : "the disassembler syntax"; }
Dialect other_dialect(Dialect d) { return d == Dialect::Common ? Dialect::Dasm : Dialect::Common; }

// What a reading gives, for messages: its bytes or its value.
std::string reading_text(const Reading &r)
{
    if (!r.has_value) return hex_bytes(r.bytes);
    return r.value.known ? std::to_string(r.value.v) : std::string("no value yet");
}

enum SymKind { SK_LABEL, SK_CONST, SK_SET };

struct Symbol {
    std::string name;   // as written, a local label with its scope
    Value value;
    SymKind kind = SK_CONST;
    int file = -1, line = 0;
    bool same(const Symbol &o) const
    {
        return value.v == o.value.v && value.known == o.value.known && value.type == o.value.type &&
               value.ab == o.value.ab && kind == o.kind;
    }
};

struct SourceFile {
    std::string path;
    std::vector<std::string> lines;
};

struct Frame {
    enum Kind { FILE, MACRO, REPT } kind = FILE;
    int file = -1;                  // FILE: index into files_
    std::vector<SrcLine> body;      // MACRO, REPT: the lines to assemble
    std::vector<SrcLine> raw;       // REPT: the body as written, renumbered for "\@" at each repetition
    size_t pos = 0;
    int64_t left = 0;               // REPT: repetitions after the current one
    std::string macro;              // MACRO: its name
    int call_file = -1, call_line = 0;   // MACRO: where it was called
    Dialect dialect = Dialect::Common;
    bool code_seen = false;         // FILE: an instruction or data line came (DASM must come first)
};

// A macro or REPT body being collected.
struct Collect {
    bool on = false;
    bool is_macro = false;
    std::string word;               // MACRO, REPT or DUP
    Macro macro;
    std::vector<SrcLine> body;
    int64_t count = 0;
    int depth = 0;                  // nested MACRO (or REPT) lines inside the body
    int frame = 0;
    int file = 0, line = 0;
};

struct Err {
    long seq;                       // the line's place in the pass, for line order
    std::string text;
};

struct Ref {
    int file, line;
    long seq;
};

class Assembler {
public:
    explicit Assembler(const Options &o) : opt_(o) {}
    Result run(const std::string &root_path, const std::string *root_text);

private:
    Options opt_;
    std::vector<SourceFile> files_;
    std::map<std::string, int> file_index_;
    std::map<std::string, std::vector<uint8_t>> incbin_;

    // State of one pass.
    std::map<std::string, Symbol> prev_, cur_;   // by upper-case name
    std::vector<Err> errors_;
    std::set<std::string> error_set_;
    std::vector<uint8_t> mem_;
    std::vector<int32_t> owner_;                 // per address: index into refs_, or -1
    std::vector<Ref> refs_;
    std::vector<ListLine> list_;
    std::vector<Frame> frames_;
    std::vector<int> include_stack_;
    Conditionals cond_;
    Collect collect_;
    std::map<std::string, Macro> macros_;        // by upper-case name
    std::vector<Label> labels_;
    std::map<int, std::string> evidence_;        // file -> first line only the disassembler syntax reads
    struct Deferred {
        int file;
        Err err;
    };
    std::vector<Deferred> deferred_;
    int64_t pc_ = 0;
    int64_t line_addr_ = 0;
    std::string scope_;
    int cur_file_ = 0;
    int cur_line_ = 0;
    long seq_ = 0;
    long lines_ = 0;
    int unique_ = 0;
    int cur_ref_ = -1;
    int cur_list_ = -1;
    std::string context_;                        // " (in macro X called at f:n)"
    bool stop_ = false;                          // END, or a limit that ends the pass
    bool abort_ = false;                         // a limit: no further passes
    bool overlap_reported_ = false;
    bool beyond_reported_ = false;

    int load_file(const std::string &path, const std::string *text, std::string &err);
    std::string resolve(const std::string &name) const;
    std::string where(int file, int line) const { return files_[(size_t)file].path + ":" + std::to_string(line); }
    void error(const std::string &msg) { error_at(cur_file_, cur_line_, msg + context_, seq_); }
    void error_at(int file, int line, const std::string &msg, long seq);
    int operation(const std::string &w) const;
    std::string expand(const std::string &name) const { return !name.empty() && name[0] == '.' ? scope_ + name : name; }
    std::string check_name(const std::string &name, Dialect d) const;
    void define(const std::string &name, Value v, SymKind kind, Dialect d);
    bool lookup(const std::string &name, Value &out, std::string &err) const;
    ExprEnv env(Dialect d, int64_t here) const;
    bool eval(const std::string &text, Dialect d, Value &out);
    void emit(uint8_t b);
    void mark_code();

    void run_pass(int root);
    void next_line();
    void end_frame();
    void process(const SrcLine &sl);
    bool conditional(const std::string &op, const Line &parts, Dialect d);
    void collecting(const Line &parts, bool split_ok, const SrcLine &sl);
    void active_line(const Line &parts, const std::string &op, const SrcLine &sl, Dialect d);
    Reading read(const Line &parts, const std::string &op, Dialect d, int64_t here) const;
    bool other_reading(const std::string &text, Dialect other, Reading &o) const;
    std::string with_other_reading(const std::string &msg, const SrcLine &sl, Dialect d, bool other_ok, const Reading &o);
    Reading checked_reading(const Line &parts, const std::string &op, const SrcLine &sl, Dialect d);
    void define_value(const Line &parts, const std::string &op, const SrcLine &sl, Dialect d);
    void start_macro(const Line &parts);
    void call_macro(const Macro &m, const std::string &args);
    void start_rept(const Line &parts, const std::string &op, Dialect d);
    void push_rept();
    bool directive(const std::string &op, const Line &parts, Dialect d);
    void include(const std::string &op, const std::string &args);
    void finish(Result &r, const std::string &root_path);
};

// ---------------------------------------------------------------------------
// Files

int Assembler::load_file(const std::string &path, const std::string *text, std::string &err)
{
    auto it = file_index_.find(path);
    if (it != file_index_.end()) return it->second;
    std::string content;
    if (text) {
        content = *text;
    } else {
        long long size = 0;
        switch (read_input_file(path.c_str(), MAX_SOURCE_BYTES, &content, &size, &err)) {
        case input_read::ok:
            break;
        case input_read::not_opened:
            return -1;
        case input_read::too_big:
            err = fmt("%s: %lld bytes, more than a source file may have (%lld)", path.c_str(), size, MAX_SOURCE_BYTES);
            return -1;
        case input_read::read_error:
            err = path + ": read error";
            return -1;
        }
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
    files_.push_back(std::move(sf));
    file_index_[path] = (int)files_.size() - 1;
    return (int)files_.size() - 1;
}

// A file name relative to the folder of the file being assembled.
std::string Assembler::resolve(const std::string &name) const
{
    std::filesystem::path p(name);
    if (p.is_absolute()) return p.lexically_normal().string();
    std::filesystem::path dir = std::filesystem::path(files_[(size_t)cur_file_].path).parent_path();
    return (dir / p).lexically_normal().string();
}

// The reason of an open_input_file message ("<path>: reason").
std::string reason(const std::string &path, const std::string &err)
{
    return err.compare(0, path.size() + 2, path + ": ") == 0 ? err.substr(path.size() + 2) : err;
}

// ---------------------------------------------------------------------------
// Errors, symbols, evaluation

void Assembler::error_at(int file, int line, const std::string &msg, long seq)
{
    std::string e = where(file, line) + ": " + msg;
    if (error_set_.insert(e).second) errors_.push_back(Err{seq, e});
}

int Assembler::operation(const std::string &w) const
{
    const std::string u = upper(w);
    if (is_mnemonic(u) || is_directive(u)) return OP_BUILTIN;
    return macros_.count(u) ? OP_MACRO : OP_NONE;
}

std::string Assembler::check_name(const std::string &name, Dialect d) const
{
    const std::string u = upper(name);
    if (u == "A" || u == "B") return "'" + name + "' cannot be a symbol name: it is a register";
    if (u == "ST") return "'" + name + "' cannot be a symbol name: it is the status register";
    if ((u[0] == 'R' || u[0] == 'P') && all_digits(u.substr(1)))
        return "'" + name + "' cannot be a symbol name: it is a register or port";
    if (d == Dialect::Dasm && all_hex(name))
        return "'" + name + "' cannot be a symbol name: it is made only of hexadecimal digits";
    return "";
}

void Assembler::define(const std::string &name, Value v, SymKind kind, Dialect d)
{
    std::string bad = check_name(name, d);
    if (!bad.empty()) {
        error(bad);
        return;
    }
    const std::string full = expand(name), key = upper(full);
    auto it = cur_.find(key);
    if (it != cur_.end()) {
        const std::string first = where(it->second.file, it->second.line);
        if (kind == SK_SET && it->second.kind == SK_SET) it->second.value = v;
        else if (kind == SK_SET || it->second.kind == SK_SET)
            error("'" + name + "' is set with SET and also defined otherwise (first at " + first +
                  "); only SET names can be set again");
        else
            error("duplicate symbol '" + name + "' (first defined at " + first + ")");
        return;
    }
    cur_[key] = Symbol{full, v, kind, cur_file_, cur_line_};
    if (kind == SK_LABEL) labels_.push_back(Label{full, (unsigned)(v.v & 0xFFFF)});
}

bool Assembler::lookup(const std::string &name, Value &out, std::string &err) const
{
    const std::string key = upper(expand(name));
    auto c = cur_.find(key);
    if (c != cur_.end()) {
        out = c->second.value;
        return true;
    }
    auto p = prev_.find(key);
    if (p != prev_.end()) {
        if (p->second.kind == SK_SET) {
            err = "'" + name + "' is used before it is SET";
            return false;
        }
        if (p->second.value.known) {
            out = p->second.value;
            return true;
        }
        err = "symbol '" + name + "' has no value (defined in terms of itself?)";
        return false;
    }
    err = "undefined symbol '" + name + "'";
    return false;
}

ExprEnv Assembler::env(Dialect d, int64_t here) const
{
    ExprEnv e;
    e.dialect = d;
    e.here = here;
    e.lookup = [this](const std::string &n, Value &v, std::string &err) { return lookup(n, v, err); };
    return e;
}

bool Assembler::eval(const std::string &text, Dialect d, Value &out)
{
    std::string err;
    if (!eval_expr(text, env(d, line_addr_), false, out, err)) {
        error(err);
        return false;
    }
    if (out.type != V_NUM) {
        error("'" + trim(text) + "' is a register, not a number");
        out = Value{0, false};
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
        const Ref &r = refs_[(size_t)owner_[a]];
        error(fmt("overlapping code at $%04zX (already written by %s)", a, where(r.file, r.line).c_str()));
        overlap_reported_ = true;
    }
    mem_[a] = b;
    owner_[a] = cur_ref_;
    if (cur_list_ >= 0) list_[(size_t)cur_list_].bytes.push_back(b);
    pc_++;
}

void Assembler::mark_code()
{
    for (size_t i = frames_.size(); i-- > 0;)
        if (frames_[i].kind == Frame::FILE) {
            frames_[i].code_seen = true;
            return;
        }
}

// ---------------------------------------------------------------------------
// The frames

void Assembler::run_pass(int root)
{
    cur_.clear();
    errors_.clear();
    error_set_.clear();
    mem_.assign(0x10000, 0);
    owner_.assign(0x10000, -1);
    refs_.clear();
    list_.clear();
    frames_.clear();
    include_stack_.clear();
    cond_.clear();
    collect_ = Collect{};
    macros_.clear();
    labels_.clear();
    evidence_.clear();
    deferred_.clear();
    pc_ = line_addr_ = 0;
    scope_.clear();
    seq_ = lines_ = 0;
    unique_ = 0;
    stop_ = false;

    Frame f;
    f.kind = Frame::FILE;
    f.file = root;
    f.dialect = opt_.dialect;
    frames_.push_back(f);
    include_stack_.push_back(root);
    while (!frames_.empty() && !stop_) next_line();

    // Ambiguous lines of files that also have lines only the disassembler
    // dialect reads.
    for (const Deferred &d : deferred_) {
        auto e = evidence_.find(d.file);
        if (e == evidence_.end()) continue;
        std::string text = d.err.text + "; this file also has lines that only the disassembler syntax reads (the "
                           "first at " + e->second + "): choose the dialect (--dasm or a DASM line) or write the "
                           "line unambiguously";
        if (error_set_.insert(text).second) errors_.push_back(Err{d.err.seq, text});
    }
    std::stable_sort(errors_.begin(), errors_.end(), [](const Err &a, const Err &b) { return a.seq < b.seq; });
}

void Assembler::next_line()
{
    Frame &f = frames_.back();
    const size_t n = f.kind == Frame::FILE ? files_[(size_t)f.file].lines.size() : f.body.size();
    if (f.pos >= n) {
        end_frame();
        return;
    }
    SrcLine sl = f.kind == Frame::FILE ? SrcLine{f.file, (int)f.pos + 1, files_[(size_t)f.file].lines[f.pos]}
                                       : f.body[f.pos];
    f.pos++;
    if (++lines_ > MAX_LINES_PER_PASS) {
        cur_file_ = sl.file;
        cur_line_ = sl.line;
        error(fmt("more than %ld lines to assemble: a REPT or macro without end?", MAX_LINES_PER_PASS));
        stop_ = abort_ = true;
        return;
    }
    process(sl);
}

void Assembler::end_frame()
{
    const int index = (int)frames_.size() - 1;
    if (collect_.on && collect_.frame == index) {
        error_at(collect_.file, collect_.line,
                 collect_.word + " without " + (collect_.is_macro ? "ENDM" : "ENDR"), seq_);
        collect_.on = false;
    }
    for (const Conditionals::Entry &e : cond_.close_frame(index)) error_at(e.file, e.line, "IF without ENDIF", seq_);
    Frame &f = frames_.back();
    if (f.kind == Frame::REPT && f.left > 0) {
        f.left--;
        f.pos = 0;
        const int u = ++unique_;
        for (size_t i = 0; i < f.raw.size(); i++) f.body[i].text = substitute(f.raw[i].text, {}, {}, u);
        return;
    }
    if (f.kind == Frame::FILE) {
        include_stack_.pop_back();
        if (opt_.want_listing && !include_stack_.empty()) {
            ListLine m;
            m.marker = "---- " + files_[(size_t)include_stack_.back()].path;
            list_.push_back(m);
        }
    }
    frames_.pop_back();
}

void Assembler::process(const SrcLine &sl)
{
    cur_file_ = sl.file;
    cur_line_ = sl.line;
    line_addr_ = pc_;
    seq_++;
    overlap_reported_ = beyond_reported_ = false;
    refs_.push_back(Ref{sl.file, sl.line, seq_});
    cur_ref_ = (int)refs_.size() - 1;
    cur_list_ = -1;
    if (opt_.want_listing) {
        ListLine ll;
        ll.line = sl.line;
        ll.text = sl.text;
        list_.push_back(ll);
        cur_list_ = (int)list_.size() - 1;
    }
    context_.clear();
    for (size_t i = frames_.size(); i-- > 0;)
        if (frames_[i].kind == Frame::MACRO) {
            context_ = " (in macro " + frames_[i].macro + " called at " + where(frames_[i].call_file, frames_[i].call_line) + ")";
            break;
        }
    const Dialect d = frames_.back().dialect;
    Line parts;
    std::string err;
    const bool ok = split_line(sl.text, d, [this](const std::string &w) { return operation(w); }, parts, err);
    if (collect_.on) {
        collecting(parts, ok, sl);
        return;
    }
    const std::string op = upper(parts.op);
    if (ok && conditional(op, parts, d)) return;
    if (!cond_.active()) return;
    if (!ok) {
        Reading o;
        const bool o_ok = other_reading(sl.text, other_dialect(d), o);
        error(with_other_reading(err, sl, d, o_ok, o));
        return;
    }
    active_line(parts, op, sl, d);
}

// IF, IFDEF, IFNDEF, ELSEIF, ELSE, ENDIF: followed also where the code is
// not assembled, to find the matching ENDIF.
bool Assembler::conditional(const std::string &op, const Line &parts, Dialect d)
{
    const bool open = op == "IF" || op == "IFDEF" || op == "IFNDEF";
    if (!open && op != "ELSE" && op != "ELSEIF" && op != "ENDIF") return false;
    const int frame = (int)frames_.size() - 1;
    auto condition = [&]() -> bool {
        if (!parts.labels.empty()) error(op + " cannot carry a label");
        if (op == "IFDEF" || op == "IFNDEF") {
            std::string name = trim(parts.args);
            bool word = !name.empty() && is_ident_start(name[0]);
            for (char c : name) word = word && is_ident_char(c);
            if (!word) {
                error(op + " needs a symbol name");
                return false;
            }
            const bool defined = cur_.count(upper(expand(name))) != 0;
            return op == "IFDEF" ? defined : !defined;
        }
        Value v;
        if (!eval(parts.args, d, v)) return false;
        return v.v != 0;
    };
    std::string err;
    if (!open && !cond_.innermost_in(frame)) {
        error(op + " without IF");
        return true;
    }
    bool ok = true;
    if (open) ok = cond_.open(cur_file_, cur_line_, frame, cond_.active() && condition(), err);
    else if (op == "ELSEIF") ok = cond_.else_if(cond_.needs_else_if_cond() && condition(), err);
    else if (op == "ELSE") ok = cond_.else_(err);
    else cond_.endif();
    if (!ok) error(err);
    return true;
}

void Assembler::collecting(const Line &parts, bool split_ok, const SrcLine &sl)
{
    const std::string op = split_ok ? upper(parts.op) : "";
    const bool opens = collect_.is_macro ? op == "MACRO" : (op == "REPT" || op == "DUP");
    const bool closes = collect_.is_macro ? op == "ENDM" : (op == "ENDR" || op == "EDUP");
    if (opens) collect_.depth++;
    if (closes && collect_.depth-- == 0) {
        collect_.on = false;
        if (!collect_.is_macro) {
            push_rept();
            return;
        }
        Macro &m = collect_.macro;
        m.body = std::move(collect_.body);
        auto old = macros_.find(upper(m.name));
        if (old != macros_.end()) {
            cur_file_ = m.file;
            cur_line_ = m.line;
            error("macro '" + m.name + "' defined twice (first at " + where(old->second.file, old->second.line) + ")");
            return;
        }
        macros_[upper(m.name)] = std::move(m);
        return;
    }
    collect_.body.push_back(sl);
}

void Assembler::active_line(const Line &parts, const std::string &op, const SrcLine &sl, Dialect d)
{
    if (value_op(op)) {
        define_value(parts, op, sl, d);
        return;
    }
    if (op == "MACRO") {
        start_macro(parts);
        return;
    }
    if (op == "ENDM" || op == "ENDR" || op == "EDUP") {
        error(op + " without " + (op == "ENDM" ? "MACRO" : "REPT"));
        return;
    }
    if (parts.dump) pc_ = line_addr_ = parts.dump_address;
    for (const std::string &l : parts.labels) {
        define(l, Value{line_addr_, true}, SK_LABEL, d);
        if (l[0] != '.' && check_name(l, d).empty()) scope_ = l;
    }
    if (cur_list_ >= 0 && (!parts.labels.empty() || parts.dump)) list_[(size_t)cur_list_].addr = line_addr_;
    if (op.empty()) return;
    if (op == "DASM") {
        if (!parts.labels.empty() || !parts.args.empty()) error("DASM stands on a line of its own");
        else if (frames_.back().kind != Frame::FILE) error("DASM belongs in a file, not in a macro or REPT");
        else if (frames_.back().code_seen) error("DASM must come before the first instruction or data of its file");
        else frames_.back().dialect = Dialect::Dasm;
        return;
    }
    if (op == "REPT" || op == "DUP") {
        start_rept(parts, op, d);
        return;
    }
    if (cur_list_ >= 0) list_[(size_t)cur_list_].addr = line_addr_;
    if (directive(op, parts, d)) {
        if (cur_list_ >= 0) list_[(size_t)cur_list_].addr = line_addr_;   // ORG moves it
        return;
    }
    auto m = macros_.find(op);
    if (m != macros_.end()) {
        call_macro(m->second, parts.args);
        return;
    }
    mark_code();
    Reading r = checked_reading(parts, op, sl, d);
    for (uint8_t b : r.bytes) emit(b);
}

// ---------------------------------------------------------------------------
// Readings

Reading Assembler::read(const Line &parts, const std::string &op, Dialect d, int64_t here) const
{
    Reading r;
    const ExprEnv e = env(d, here);
    if (illegal_text(op, parts.args)) {
        if (parts.dump && parts.dump_bytes.size() == 1) r.bytes = parts.dump_bytes;
        else r.errors.push_back("'Illegal Opcode' is the disassembler's text for a byte that is no instruction; "
                                "write that byte with DB");
        return r;
    }
    if (data_op(op)) {
        encode_data(op, parts.args, op == "DW" || op == "WORD", e, r);
    } else if (value_op(op)) {
        r.has_value = true;
        std::string err;
        if (trim(parts.args).empty()) r.errors.push_back(op + " needs a value");
        else if (!eval_expr(parts.args, e, false, r.value, err)) r.errors.push_back(err);
    } else {
        encode_instruction(parts.op, parts.args, e, r);
    }
    if (parts.dump && r.ok() && r.bytes != parts.dump_bytes)
        r.errors.push_back("the line shows the bytes " + hex_bytes(parts.dump_bytes) + " but its text gives " +
                           hex_bytes(r.bytes));
    return r;
}

bool Assembler::other_reading(const std::string &text, Dialect other, Reading &o) const
{
    Line p;
    std::string err;
    if (!split_line(text, other, [this](const std::string &w) { return operation(w); }, p, err)) return false;
    const std::string op = upper(p.op);
    if (!(p.dump || is_mnemonic(op) || data_op(op) || value_op(op) || illegal_text(op, p.args))) return false;
    o = read(p, op, other, p.dump ? (int64_t)p.dump_address : line_addr_);
    return o.ok();
}

// `msg`, the error of a line in dialect `d`, with what the other dialect
// gives when it reads the line (`other_ok`, reading `o`) as bytes or a
// value. In the common dialect such a line is evidence that its file is
// written in the disassembler's.
std::string Assembler::with_other_reading(const std::string &msg, const SrcLine &sl, Dialect d, bool other_ok,
                                          const Reading &o)
{
    if (!other_ok || (!o.has_value && o.bytes.empty())) return msg;
    if (d == Dialect::Common) evidence_.emplace(sl.file, where(sl.file, sl.line));
    const Dialect other = other_dialect(d);
    std::string s = msg + "; in " + dialect_name(other);
    if (other == Dialect::Dasm) s += " (--dasm, or a DASM line at the top of the file)";
    return s + (o.has_value ? " the value is " : " the line gives ") + reading_text(o);
}

Reading Assembler::checked_reading(const Line &parts, const std::string &op, const SrcLine &sl, Dialect d)
{
    Reading r = read(parts, op, d, line_addr_);
    const Dialect other = other_dialect(d);
    Reading o;
    const bool o_ok = other_reading(sl.text, other, o);
    if (!r.ok()) {
        for (size_t i = 0; i < r.errors.size(); i++)
            error(i == 0 ? with_other_reading(r.errors[0], sl, d, o_ok, o) : r.errors[i]);
        return r;
    }
    const bool differ = o_ok && (r.has_value ? (r.value.v != o.value.v || r.value.type != o.value.type)
                                             : r.bytes != o.bytes);
    if (!differ || (r.has_value && !r.value.known)) return r;
    std::string msg = "the line reads differently in the two dialects: " + std::string(dialect_name(d)) + " gives " +
                      reading_text(r) + ", " + dialect_name(other) + " " + reading_text(o);
    if (d == Dialect::Dasm) {
        // Sure when every operand that reads differently is written as the
        // disassembler writes operands.
        bool sure = parts.dump || is_mnemonic(op);
        if (sure && !parts.dump)
            for (const std::string &operand : split_operands(parts.args))
                if (!is_dasm_notation(operand) && !operand_reads_same(operand, env(d, line_addr_), env(other, line_addr_)))
                    sure = false;
        if (sure) return r;
        error(msg + "; it is not written as the disassembler writes, so the disassembler syntax cannot be sure of it: "
                    "write it unambiguously");
    } else {
        deferred_.push_back(Deferred{sl.file, Err{seq_, where(cur_file_, cur_line_) + ": " + msg + context_}});
    }
    return r;
}

void Assembler::define_value(const Line &parts, const std::string &op, const SrcLine &sl, Dialect d)
{
    if (parts.labels.size() != 1) {
        error(parts.labels.empty() ? op + " needs a name: NAME " + op + " value"
                                   : "a constant definition cannot carry a label");
        return;
    }
    const std::string &name = parts.labels[0];
    Reading r = checked_reading(parts, op, sl, d);
    Value v = r.ok() ? r.value : Value{0, false};
    if (cur_list_ >= 0) {
        list_[(size_t)cur_list_].is_equ = v.known;
        list_[(size_t)cur_list_].equ_value = v.v;
        list_[(size_t)cur_list_].equ_type = v.type == V_REG ? 'R' : v.type == V_PORT ? 'P' : 0;
    }
    // "P6 EQU 0106h", "R6 EQU R6": a register or port name given its own
    // meaning again, as sources written for other assemblers do.
    const std::string u = upper(name);
    if ((u[0] == 'R' || u[0] == 'P') && all_digits(u.substr(1)) && u.size() < 6) {
        const int64_t n = std::stoll(u.substr(1));
        const bool port = u[0] == 'P';
        const bool same = !v.known || (v.type == (port ? V_PORT : V_REG) && v.v == n) ||
                          (v.type == V_NUM && v.v == (port ? 0x100 + n : n));
        if (same) return;
        error("'" + name + "' is " + (port ? fmt("port %lld (peripheral address %04llXh)", (long long)n, (long long)(0x100 + n))
                                           : fmt("register %lld", (long long)n)) +
              " and keeps that meaning; it cannot be defined as another value");
        return;
    }
    define(name, v, op == "SET" ? SK_SET : SK_CONST, d);
}

// ---------------------------------------------------------------------------
// Macros and repetitions

void Assembler::start_macro(const Line &parts)
{
    if (parts.labels.size() != 1) {
        error("MACRO needs a name: NAME MACRO parameters");
        return;
    }
    const std::string &name = parts.labels[0];
    if (name[0] == '.' || is_mnemonic(name) || is_directive(upper(name))) {
        error("'" + name + "' cannot be a macro name: it is " +
              (name[0] == '.' ? "a local name" : is_mnemonic(name) ? "a mnemonic" : "a directive"));
        return;
    }
    std::string err;
    collect_ = Collect{};
    if (!parse_macro_params(parts.args, collect_.macro.params, err)) error(err);
    collect_.on = true;
    collect_.is_macro = true;
    collect_.word = "MACRO";
    collect_.macro.name = name;
    collect_.macro.file = cur_file_;
    collect_.macro.line = cur_line_;
    collect_.frame = (int)frames_.size() - 1;
    collect_.file = cur_file_;
    collect_.line = cur_line_;
}

void Assembler::call_macro(const Macro &m, const std::string &args)
{
    int depth = 0;
    for (const Frame &f : frames_) depth += f.kind == Frame::MACRO;
    if (depth >= MAX_MACRO_DEPTH) {
        error(fmt("macro '%s' nested more than %d deep: does it call itself without end?", m.name.c_str(), MAX_MACRO_DEPTH));
        return;
    }
    std::vector<std::string> a = macro_arguments(args);
    if (a.size() != m.params.size()) {
        error(fmt("macro '%s' takes %zu argument%s, %zu given", m.name.c_str(), m.params.size(),
                  m.params.size() == 1 ? "" : "s", a.size()));
        return;
    }
    mark_code();
    Frame f;
    f.kind = Frame::MACRO;
    f.macro = m.name;
    f.call_file = cur_file_;
    f.call_line = cur_line_;
    f.dialect = frames_.back().dialect;
    const int u = ++unique_;
    for (const SrcLine &l : m.body) f.body.push_back(SrcLine{l.file, l.line, substitute(l.text, m.params, a, u)});
    frames_.push_back(std::move(f));
}

void Assembler::start_rept(const Line &parts, const std::string &op, Dialect d)
{
    Value n;
    collect_ = Collect{};
    collect_.on = true;
    collect_.word = op;
    collect_.frame = (int)frames_.size() - 1;
    collect_.file = cur_file_;
    collect_.line = cur_line_;
    if (trim(parts.args).empty()) error(op + " needs a count");
    else if (eval(parts.args, d, n) && !n.known) error(op + " needs a count known at this point");
    else if (n.known && (n.v < 0 || n.v > MAX_REPEAT))
        error(fmt("%s count %lld out of range 0..%lld", op.c_str(), (long long)n.v, (long long)MAX_REPEAT));
    else if (n.known) collect_.count = n.v;
}

void Assembler::push_rept()
{
    if (collect_.count <= 0 || collect_.body.empty()) return;
    int depth = 0;
    for (const Frame &f : frames_) depth += f.kind == Frame::REPT;
    if (depth >= MAX_REPT_DEPTH) {
        error_at(collect_.file, collect_.line, fmt("%s nested more than %d deep", collect_.word.c_str(), MAX_REPT_DEPTH), seq_);
        return;
    }
    Frame f;
    f.kind = Frame::REPT;
    f.dialect = frames_.back().dialect;
    f.left = collect_.count - 1;
    f.raw = std::move(collect_.body);
    f.body = f.raw;
    const int u = ++unique_;
    for (SrcLine &l : f.body) l.text = substitute(l.text, {}, {}, u);
    frames_.push_back(std::move(f));
}

// ---------------------------------------------------------------------------
// Directives

bool Assembler::directive(const std::string &op, const Line &parts, Dialect d)
{
    std::vector<std::string> a = split_operands(parts.args);
    auto need = [&](size_t n, const char *usage) {
        if (a.size() == n) return true;
        error(std::string("usage: ") + usage);
        return false;
    };
    Value v, n;
    if (op == "ORG") {
        if (!need(1, "ORG address") || !eval(a[0], d, v) || !v.known) return true;
        std::vector<std::string> errs;
        if (in_range(v, 0, 0xFFFF, "address", errs)) pc_ = line_addr_ = v.v;
        else error(errs.front());
    } else if (op == "FILL") {
        if (!need(2, "FILL count,value")) return true;
        mark_code();
        eval(a[0], d, n);
        eval(a[1], d, v);
        std::vector<std::string> errs;
        in_range(v, -128, 255, "value", errs);
        in_range(n, 0, 0x10000, "count", errs);
        for (const std::string &e : errs) error(e);
        if (!n.known || !errs.empty()) return true;
        if (cur_list_ >= 0) list_[(size_t)cur_list_].abbreviate = true;
        for (int64_t i = 0; i < n.v; i++) emit((uint8_t)(v.v & 0xFF));
    } else if (op == "DS" || op == "ALIGN") {
        const bool ds = op == "DS";
        if (!need(1, ds ? "DS count" : "ALIGN n") || !eval(a[0], d, n) || !n.known) return true;
        std::vector<std::string> errs;
        if (!in_range(n, ds ? 0 : 1, 0x10000, ds ? "count" : "alignment", errs)) {
            error(errs.front());
            return true;
        }
        pc_ = ds ? pc_ + n.v : (pc_ + n.v - 1) / n.v * n.v;
        if (pc_ > 0x10000) error("address beyond $FFFF");
    } else if (op == "INCLUDE" || op == "INCBIN") {
        include(op, parts.args);
    } else if (op == "END") {
        if (!trim(parts.args).empty()) eval(parts.args, d, v);
        stop_ = true;
    } else if (op == "CPU") {
        const std::string c = upper(trim(parts.args));
        if (c.compare(0, 5, "TMS70") != 0 && c != "7000")
            error("CPU " + trim(parts.args) + ": this assembler knows only the TMS7000 family (CPU TMS7000)");
    } else if (op == "PAGE" || op == "TITLE" || op == "SUBTTL" || op == "LIST" || op == "NOLIST" || op == "EJECT" ||
               op == "NEWPAGE") {
        // Listing layout: nothing to do for our listing.
    } else {
        return false;
    }
    return true;
}

// INCLUDE file, INCLUDE "file", INCLUDE 'file', INCLUDE <file>; INCBIN alike.
void Assembler::include(const std::string &op, const std::string &args)
{
    std::string name = trim(args);
    if (!name.empty() && (name[0] == '"' || name[0] == '\'')) {
        std::vector<uint8_t> b;
        std::string err;
        if (parse_string(name, true, b, err) != Str::Ok) {
            error(err);
            return;
        }
        name.assign(b.begin(), b.end());
    } else if (name.size() > 2 && name[0] == '<' && name.back() == '>') {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty()) {
        error(op + " needs a file name");
        return;
    }
    const std::string path = resolve(name);
    std::string err;
    if (op == "INCBIN") {
        mark_code();
        auto it = incbin_.find(path);
        if (it == incbin_.end()) {
            long long size = 0;
            std::string bytes;
            const input_read r = read_input_file(path.c_str(), 0x10000, &bytes, &size, &err);
            if (r == input_read::not_opened) {
                error("cannot open binary file '" + path + "': " + reason(path, err));
                return;
            }
            if (r == input_read::too_big) {
                error(fmt("INCBIN '%s': %lld bytes, more than the 64 KiB address space", path.c_str(), size));
                return;
            }
            // What could be read is included.
            it = incbin_.emplace(path, std::vector<uint8_t>(bytes.begin(), bytes.end())).first;
        }
        const std::vector<uint8_t> &data = it->second;
        if (pc_ + (int64_t)data.size() > 0x10000) {
            error(fmt("INCBIN '%s': %zu bytes do not fit between $%04llX and $FFFF", path.c_str(), data.size(),
                      (unsigned long long)std::min<int64_t>(pc_, 0xFFFF)));
            return;
        }
        if (cur_list_ >= 0) list_[(size_t)cur_list_].abbreviate = true;
        for (uint8_t b : data) emit(b);
        return;
    }
    int files = 0;
    for (const Frame &f : frames_) files += f.kind == Frame::FILE;
    if (files >= MAX_INCLUDE_DEPTH) {
        error(fmt("INCLUDE nested more than %d files deep", MAX_INCLUDE_DEPTH));
        return;
    }
    const int fi = load_file(path, nullptr, err);
    if (fi < 0) {
        error("cannot open include file '" + path + "': " + reason(path, err));
        return;
    }
    if (std::find(include_stack_.begin(), include_stack_.end(), fi) != include_stack_.end()) {
        error("include loop: '" + path + "' is already being assembled");
        return;
    }
    if (opt_.want_listing) {
        ListLine m;
        m.marker = "---- " + path;
        list_.push_back(m);
    }
    cur_list_ = -1;
    include_stack_.push_back(fi);
    Frame f;
    f.kind = Frame::FILE;
    f.file = fi;
    f.dialect = opt_.dialect;
    frames_.push_back(f);
}

// ---------------------------------------------------------------------------
// The passes and the result

Result Assembler::run(const std::string &root_path, const std::string *root_text)
{
    Result r;
    std::string err;
    int root = load_file(root_path, root_text, err);
    if (root < 0) {
        r.errors.push_back("cannot read the source: " + err);
        r.root_unreadable = true;
        return r;
    }
    bool settled = false;
    for (int pass = 1; pass <= MAX_PASSES && !settled; pass++) {
        run_pass(root);
        settled = prev_.size() == cur_.size() &&
                  std::equal(cur_.begin(), cur_.end(), prev_.begin(), [](const auto &a, const auto &b) {
                      return a.first == b.first && a.second.same(b.second);
                  });
        prev_ = cur_;
        r.passes = pass;
        if (abort_) break;
    }
    if (!settled && !abort_)
        errors_.push_back(Err{seq_ + 1, root_path + ": addresses do not settle after " + std::to_string(MAX_PASSES) + " passes"});
    finish(r, root_path);
    return r;
}

void Assembler::finish(Result &r, const std::string &root_path)
{
    for (const auto &[key, sym] : cur_)
        if (sym.value.known) r.symbols[sym.name] = sym.value.v;
    r.labels = labels_;

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
            errors_.push_back(Err{seq_ + 1, root_path + ": nothing to output (no code or data)"});
        } else if (base < 0 || base > 0xFFFF || end > 0x10000) {
            errors_.push_back(Err{seq_ + 1, fmt("%s: output window $%04llX+%lld goes beyond $FFFF", root_path.c_str(),
                                                (unsigned long long)base, (long long)(end - base))});
        } else {
            if (end < base) end = base;
            std::set<int32_t> reported;
            for (int64_t a = 0; a < 0x10000; a++) {
                int32_t o = owner_[(size_t)a];
                if (o >= 0 && (a < base || a >= end) && reported.insert(o).second) {
                    const Ref &ref = refs_[(size_t)o];
                    error_at(ref.file, ref.line, fmt("code at $%04llX is outside the output window $%04llX-$%04llX",
                                                     (unsigned long long)a, (unsigned long long)base,
                                                     (unsigned long long)(end - 1)), ref.seq);
                }
            }
            std::stable_sort(errors_.begin(), errors_.end(), [](const Err &a, const Err &b) { return a.seq < b.seq; });
            r.base = (unsigned)base;
            r.image.assign((size_t)(end - base), opt_.fill);
            for (int64_t a = base; a < end; a++)
                if (owner_[(size_t)a] >= 0) r.image[(size_t)(a - base)] = mem_[(size_t)a];
        }
    }
    for (const Err &e : errors_) r.errors.push_back(e.text);
    if (r.errors.size() > MAX_ERRORS) {
        r.errors.resize(MAX_ERRORS);
        r.errors.push_back(root_path + ": too many errors, the rest are not shown");
    }
    r.ok = r.errors.empty();
    if (!r.ok) r.image.clear();
    if (r.ok && opt_.want_listing) r.listing = build_listing(list_);
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

bool assemble_line(const std::string &line, unsigned address, std::vector<uint8_t> &bytes, std::string &error,
                   Dialect dialect)
{
    Options o;
    o.has_base = true;
    o.base = address;
    o.dialect = dialect;
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

}  // namespace ovasm
