// ovix-asm driver: passes, the source frames (files, macro expansions,
// repetitions), symbols, directives, and the two readings of every line.
//
// Passes: every pass assembles the whole source into a fresh 64 KiB image.
// A symbol used before its definition takes its value (and kind: number,
// register, port) from the previous pass. Passes repeat until no symbol
// changes; the errors, warnings, image and listing of that last pass are
// the result.
//
// Lines come from a stack of frames: the root file, included files, macro
// expansions and REPT bodies. A macro or REPT frame keeps its body as
// written and its arguments, and substitutes each line when it comes to
// it. The loop over the frames is flat, and every kind of nesting and
// growth is bounded (include, macro and REPT depth; the length of an
// expanded line and of a macro argument; lines and characters per pass
// and over all passes; errors kept; the listing; symbols), so no source
// can exhaust the stack or the memory, or run for long.
//
// Dialects: every line that gives bytes or a value is also read in the
// other dialect, without any effect. When only the other dialect can read
// it, its error says what the other gives. When both read it but
// differently, the line is an error where the chosen dialect cannot be
// sure of it: in the disassembler dialect when the line is not written as
// the disassembler writes, in the common dialect when its file also has
// lines that only the disassembler dialect reads.
//
// Messages: every error and warning keeps the line it is about (as
// expanded) and the part of it at fault, and inside a macro expansion
// names the macro and its call site; text from the source is quoted with
// its unprintable bytes escaped.
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
constexpr size_t MAX_ERRORS = 200;                    // errors shown
constexpr size_t MAX_ERRORS_KEPT = 1000;              // errors and warnings kept per pass
constexpr int MAX_INCLUDE_DEPTH = 32;
constexpr int MAX_REPT_DEPTH = 64;
constexpr long long MAX_SOURCE_BYTES = 16ll << 20;
constexpr long MAX_LINES_PER_PASS = 1000000;
constexpr long long MAX_LINES_ALL_PASSES = 2000000;
constexpr size_t MAX_LINE = 65536;                    // characters of a line after macro substitution
constexpr size_t MAX_ARGUMENT = 4096;                 // characters of a macro argument
constexpr long long MAX_PASS_TEXT = 32ll << 20;       // characters assembled in one pass
constexpr long long MAX_ALL_TEXT = 64ll << 20;        // and over all passes
constexpr size_t MAX_LISTING = 64u << 20;             // bytes of the listing
constexpr size_t MAX_SYMBOLS = 200000;
constexpr size_t MAX_NAME = 63;                       // characters of a name (a local one with its scope)
constexpr size_t MAX_USES = 100;                      // uses of a name listed in the listing's table
constexpr size_t SOURCE_SHOWN = 160;                  // characters of a source line shown with a message

bool is_directive(const std::string &u)
{
    static const std::set<std::string> d = {
        "ORG",  "DB",    "BYTE",   "ASCII",  "TEXT",  "DW",      "WORD",  "FILL",  "DS",   "ALIGN", "INCLUDE",
        "INCBIN", "END", "CPU",    "PAGE",   "TITLE", "SUBTTL",  "LIST",  "NOLIST", "EJECT", "NEWPAGE", "MACRO",
        "ENDM", "REPT",  "DUP",    "ENDR",   "EDUP",  "IF",      "IFDEF", "IFNDEF", "ELSE", "ELSEIF", "ENDIF",
        "DASM", "EQU",   "SET",    "ERROR",  "WARNING", "ASSERT",
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

// Edit distance of two upper-case names, or limit + 1 when it exceeds `limit`.
size_t distance(const std::string &a, const std::string &b, size_t limit)
{
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0], best = row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
            best = std::min(best, row[j]);
        }
        if (best > limit) return limit + 1;
    }
    return row[b.size()];
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
    const Macro *macro = nullptr;   // MACRO: its definition (kept in macros_ for the whole pass)
    std::vector<std::string> args;  // MACRO: the arguments
    std::vector<SrcLine> body;      // REPT: the lines as written
    int unique = 0;                 // "\@" of this expansion or repetition
    size_t pos = 0;
    int64_t left = 0;               // REPT: repetitions after the current one
    int ctx = -1;                   // the macro expansion the frame is in (contexts_), or -1
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
    Diagnostic d;
};

// An error about the whole source, without a line.
Diagnostic plain(const std::string &text)
{
    Diagnostic d;
    d.text = text;
    return d;
}

}  // namespace
namespace {

class Assembler {
public:
    explicit Assembler(const Options &o) : opt_(o) {}
    Result run(const std::string &root_path, const std::string *root_text);

private:
    Options opt_;
    std::vector<SourceFile> files_;
    std::map<std::string, int> file_index_;
    std::map<std::string, std::vector<uint8_t>> incbin_;
    std::vector<std::string> incbin_order_;      // INCBIN files in the order they were first read

    // State of one pass.
    std::map<std::string, Symbol> prev_, cur_;   // by upper-case name
    std::vector<std::string> defined_;           // upper-case names in the order of their definition
    std::vector<Err> errors_;
    std::set<std::string> error_set_;
    size_t errors_dropped_ = 0;                  // beyond MAX_ERRORS_KEPT
    std::vector<uint8_t> mem_;
    std::vector<int32_t> owner_;                 // per address: index into refs_, or -1
    std::vector<ByteSource> refs_;               // per line assembled
    std::vector<Expansion> contexts_;            // macro expansions of the pass
    std::vector<ListLine> list_;
    size_t list_size_ = 0;                       // bytes of the listing so far
    ByteSource list_overflow_{-1, 0, -1, 0};     // the line where the listing went past its bound (file -1: it did not)
    long list_overflow_seq_ = 0;
    std::vector<Frame> frames_;
    std::vector<int> include_stack_;
    Conditionals cond_;
    Collect collect_;
    std::map<std::string, Macro> macros_;        // by upper-case name
    std::vector<std::string> macro_order_;       // upper-case names in the order of definition
    std::vector<Label> labels_;
    mutable std::map<std::string, std::pair<std::vector<std::pair<int, int>>, long>> uses_;   // name -> lines, count
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
    const std::string *cur_text_ = nullptr;      // the line being assembled, as expanded
    long seq_ = 0;
    long lines_ = 0;
    long long text_ = 0;                         // characters assembled in the pass
    long long all_lines_ = 0, all_text_ = 0;     // over all passes
    int unique_ = 0;
    int cur_ref_ = -1;
    int cur_list_ = -1;
    std::string context_;                        // " (in macro X called at f:n)"
    bool stop_ = false;                          // END, or a limit that ends the pass
    bool abort_ = false;                         // a limit: no further passes
    bool overlap_reported_ = false;
    bool beyond_reported_ = false;               // once per pass
    bool symbols_full_ = false;
    std::string limit_;                          // the text of the error of a limit that stopped the assembly

    int load_file(const std::string &path, const std::string *text, std::string &err);
    std::string resolve(const std::string &name) const;
    std::string where(int file, int line) const { return files_[(size_t)file].path + ":" + std::to_string(line); }
    std::string context_text(int ctx) const;
    Diagnostic diagnostic(bool warning, const std::string &kind, int file, int line, std::string msg,
                          const std::string *source, const std::string &mark) const;
    void add(long seq, Diagnostic d);
    // An error or warning: its text is made first, and the rest (the line
    // and the mark) only when it is kept (not a repetition, within the
    // bound), so that a flood of one error costs little.
    void report(long seq, bool warning, const std::string &kind, int file, int line, const std::string &msg,
                const std::string *source, const std::string &mark);
    std::string diagnostic_text(bool warning, const std::string &kind, int file, int line, const std::string &msg) const;
    void error(const std::string &msg, const std::string &mark = "");
    void warning(const std::string &kind, const std::string &msg, const std::string &mark = "");
    void error_at(int file, int line, const std::string &msg, long seq, int ctx = -1);
    void limit(const std::string &msg);
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
    void end_macro();
    void call_macro(const Macro &m, const std::string &args);
    void start_rept(const Line &parts, const std::string &op, Dialect d);
    void push_rept();
    bool directive(const std::string &op, const Line &parts, Dialect d);
    bool message_directive(const std::string &op, const Line &parts, Dialect d);
    void include(const std::string &op, const std::string &args);
    void finish(Result &r, const std::string &root_path);
    void check_window(Layout &l, const std::string &root_path);
    void check_cartridge(const std::string &root_path);
    std::string suggestion(const std::string &name) const;
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
// Errors and warnings

std::string Assembler::context_text(int ctx) const
{
    if (ctx < 0) return "";
    const Expansion &e = contexts_[(size_t)ctx];
    return " (in macro " + e.macro + " called at " + where(e.call_file, e.call_line) + ")";
}

// The part of `line` a message is about: the text `mark` if it is there,
// narrowed to the first piece of the message in quotes that it holds;
// else that quoted piece anywhere in the line.
void locate(const std::string &line, const std::string &msg, const std::string &mark, int &column, int &width)
{
    column = -1;
    width = 0;
    const std::string code = strip_comment(line), ucode = upper(code);
    size_t from = 0, to = code.size();
    if (!mark.empty()) {
        const size_t at = ucode.find(upper(mark));
        if (at != std::string::npos) {
            from = at;
            to = at + mark.size();
            column = (int)at;
            width = (int)mark.size();
        }
    }
    for (size_t q = msg.find('\''); q != std::string::npos; q = msg.find('\'', q + 1)) {
        const size_t e = msg.find('\'', q + 1);
        if (e == std::string::npos) break;
        std::string piece = upper(msg.substr(q + 1, e - q - 1));
        if (piece.size() > 3 && piece.compare(piece.size() - 3, 3, "...") == 0) piece.resize(piece.size() - 3);
        const size_t at = piece.empty() ? std::string::npos : ucode.find(piece, from);
        if (at != std::string::npos && at + piece.size() <= to) {
            column = (int)at;
            width = (int)piece.size();
            return;
        }
        q = e;
    }
}

std::string Assembler::diagnostic_text(bool warning, const std::string &kind, int file, int line,
                                       const std::string &msg) const
{
    const std::string m = msg.size() > 1000 ? msg.substr(0, 997) + "..." : msg;
    if (warning && opt_.warnings_as_errors)
        return where(file, line) + ": " + printable(m) + " [" + kind + ", an error with --warnings-as-errors]";
    return where(file, line) + ": " + (warning ? "warning: " : "") + printable(m) + (warning ? " [" + kind + "]" : "");
}

Diagnostic Assembler::diagnostic(bool warning, const std::string &kind, int file, int line, std::string msg,
                                 const std::string *source, const std::string &mark) const
{
    Diagnostic d;
    d.warning = warning && !opt_.warnings_as_errors;
    d.kind = kind;
    d.text = diagnostic_text(warning, kind, file, line, msg);
    // Without the line as assembled, the line as written in its file.
    if (!source && file >= 0 && (size_t)file < files_.size() && line >= 1 &&
        (size_t)line <= files_[(size_t)file].lines.size())
        source = &files_[(size_t)file].lines[(size_t)line - 1];
    if (source) {
        int column, width;
        locate(*source, msg, mark, column, width);
        // A window of the line around the part at fault.
        size_t from = 0, to = source->size();
        if (to > SOURCE_SHOWN) {
            from = column > 40 ? (size_t)column - 40 : 0;
            to = std::min(source->size(), from + SOURCE_SHOWN);
        }
        const std::string head = from ? "..." : "", tail = to < source->size() ? "..." : "";
        d.source = head + printable(source->substr(from, to - from)) + tail;
        if (column >= 0 && (size_t)column >= from && (size_t)column < to) {
            d.column = (int)(head.size() + printable(source->substr(from, (size_t)column - from)).size());
            const size_t end = std::min(to, (size_t)column + (size_t)std::max(width, 1));
            d.width = std::max(1, (int)printable(source->substr((size_t)column, end - (size_t)column)).size());
        }
    }
    return d;
}

void Assembler::report(long seq, bool warning, const std::string &kind, int file, int line, const std::string &msg,
                       const std::string *source, const std::string &mark)
{
    if (warning && std::find(opt_.no_warn.begin(), opt_.no_warn.end(), kind) != opt_.no_warn.end()) return;
    if (errors_.size() >= MAX_ERRORS_KEPT) {
        errors_dropped_++;
        return;
    }
    if (error_set_.count(diagnostic_text(warning, kind, file, line, msg))) return;
    add(seq, diagnostic(warning, kind, file, line, msg, source, mark));
}

void Assembler::add(long seq, Diagnostic d)
{
    if (d.warning && std::find(opt_.no_warn.begin(), opt_.no_warn.end(), d.kind) != opt_.no_warn.end()) return;
    if (error_set_.count(d.text)) return;
    if (errors_.size() >= MAX_ERRORS_KEPT) {
        errors_dropped_++;
        return;
    }
    error_set_.insert(d.text);
    errors_.push_back(Err{seq, std::move(d)});
}

void Assembler::error(const std::string &msg, const std::string &mark)
{
    const std::string m = msg.size() > 600 ? msg.substr(0, 597) + "..." : msg;
    report(seq_, false, "", cur_file_, cur_line_, m + context_, cur_text_, mark);
}

void Assembler::warning(const std::string &kind, const std::string &msg, const std::string &mark)
{
    report(seq_, true, kind, cur_file_, cur_line_, msg + context_, cur_text_, mark);
}

void Assembler::error_at(int file, int line, const std::string &msg, long seq, int ctx)
{
    report(seq, false, "", file, line, msg + context_text(ctx), nullptr, "");
}

// ---------------------------------------------------------------------------
// Symbols, evaluation

int Assembler::operation(const std::string &w) const
{
    const std::string u = upper(w);
    if (is_mnemonic(u) || is_directive(u)) return OP_BUILTIN;
    return macros_.count(u) ? OP_MACRO : OP_NONE;
}

std::string Assembler::check_name(const std::string &name, Dialect d) const
{
    const std::string u = upper(name);
    if (u == "A" || u == "B") return quote(name) + " cannot be a symbol name: it is a register";
    if (u == "ST") return quote(name) + " cannot be a symbol name: it is the status register";
    if ((u[0] == 'R' || u[0] == 'P') && all_digits(u.substr(1)))
        return quote(name) + " cannot be a symbol name: it is a register or port";
    if (d == Dialect::Dasm && all_hex(name))
        return quote(name) + " cannot be a symbol name: it is made only of hexadecimal digits";
    const std::string full = expand(name);
    if (full.size() > MAX_NAME)
        return fmt("the name %s is %zu characters long%s; a name has at most %zu", quote(full).c_str(), full.size(),
                   full.size() != name.size() ? " with its scope" : "", MAX_NAME);
    return "";
}

void Assembler::define(const std::string &name, Value v, SymKind kind, Dialect d)
{
    std::string bad = check_name(name, d);
    if (!bad.empty()) {
        error(bad, name);
        return;
    }
    const std::string full = expand(name), key = upper(full);
    auto it = cur_.find(key);
    if (it != cur_.end()) {
        const std::string first = where(it->second.file, it->second.line);
        if (kind == SK_SET && it->second.kind == SK_SET) it->second.value = v;
        else if (kind == SK_SET || it->second.kind == SK_SET)
            error(quote(name) + " is set with SET and also defined otherwise (first at " + first +
                      "); only SET names can be set again",
                  name);
        else
            error("duplicate symbol " + quote(name) + " (first defined at " + first + ")", name);
        return;
    }
    if (cur_.size() >= MAX_SYMBOLS) {
        if (!symbols_full_) limit(fmt("more than %zu symbols", MAX_SYMBOLS));
        symbols_full_ = true;
        return;
    }
    cur_[key] = Symbol{full, v, kind, cur_file_, cur_line_};
    defined_.push_back(key);
    if (kind == SK_LABEL) labels_.push_back(Label{full, (unsigned)(v.v & 0xFFFF)});
}

bool Assembler::lookup(const std::string &name, Value &out, std::string &err) const
{
    const std::string key = upper(expand(name));
    auto use = [&]() {
        if (!opt_.want_listing) return;
        auto &u = uses_[key];
        u.second++;
        if (u.first.size() < MAX_USES && (u.first.empty() || u.first.back() != std::make_pair(cur_file_, cur_line_)))
            u.first.emplace_back(cur_file_, cur_line_);
        else if (!u.first.empty() && u.first.back() == std::make_pair(cur_file_, cur_line_))
            u.second--;
    };
    auto c = cur_.find(key);
    if (c != cur_.end()) {
        out = c->second.value;
        use();
        return true;
    }
    auto p = prev_.find(key);
    if (p != prev_.end()) {
        if (p->second.kind == SK_SET) {
            err = quote(name) + " is used before it is SET";
            return false;
        }
        if (p->second.value.known) {
            out = p->second.value;
            use();
            return true;
        }
        err = "symbol " + quote(name) + " has no value (defined in terms of itself?)";
        return false;
    }
    err = "undefined symbol " + quote(name);
    // FFh: a hexadecimal number written without its leading digit.
    const std::string u = upper(name);
    if (u.size() >= 2 && u.back() == 'H' && u[0] >= 'A' && u[0] <= 'F' && all_hex(u.substr(0, u.size() - 1)))
        err += " (a hexadecimal number starts with a digit: 0" + name + ")";
    return false;
}

// The nearest defined name to an undefined one, for the message; empty
// when none is near enough (or the table is too large to search).
std::string Assembler::suggestion(const std::string &name) const
{
    if (cur_.size() > 20000 || name.empty() || name.size() > MAX_NAME) return "";
    const std::string u = upper(name);
    const size_t limit = u.size() <= 3 ? 1 : u.size() <= 8 ? 2 : 3;
    std::string best;
    size_t best_d = limit + 1;
    for (const std::string &key : defined_) {
        const Symbol &s = cur_.at(key);
        // A local name is also compared by its part after the scope.
        const size_t dot = key.find('.', 1);
        std::string candidate = u[0] == '.' && dot != std::string::npos ? key.substr(dot) : key;
        const size_t d = distance(u, candidate, limit);
        if (d < best_d && d > 0) {
            best_d = d;
            best = u[0] == '.' && dot != std::string::npos ? s.name.substr(dot) : s.name;
        }
    }
    return best;
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
        error(err, trim(text));
        return false;
    }
    if (out.type != V_NUM && !register_as_number(out)) {
        error(quote(trim(text)) + " is a register, not a number", trim(text));
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
        const ByteSource &r = refs_[(size_t)owner_[a]];
        error(fmt("overlapping code at $%04zX (already written by %s)", a, where(r.file, r.line).c_str()));
        overlap_reported_ = true;
    }
    mem_[a] = b;
    owner_[a] = cur_ref_;
    if (cur_list_ >= 0) {
        list_[(size_t)cur_list_].bytes.push_back(b);
        list_size_ += 3;
    }
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
    defined_.clear();
    errors_.clear();
    error_set_.clear();
    errors_dropped_ = 0;
    mem_.assign(0x10000, 0);
    owner_.assign(0x10000, -1);
    refs_.clear();
    contexts_.clear();
    list_.clear();
    list_size_ = 0;
    list_overflow_.file = -1;
    frames_.clear();
    include_stack_.clear();
    cond_.clear();
    collect_ = Collect{};
    macros_.clear();
    macro_order_.clear();
    labels_.clear();
    uses_.clear();
    evidence_.clear();
    deferred_.clear();
    pc_ = line_addr_ = 0;
    scope_.clear();
    seq_ = lines_ = 0;
    text_ = 0;
    unique_ = 0;
    stop_ = false;
    limit_.clear();
    beyond_reported_ = false;
    symbols_full_ = false;
    context_.clear();
    cur_text_ = nullptr;

    Frame f;
    f.kind = Frame::FILE;
    f.file = root;
    f.dialect = opt_.dialect;
    frames_.push_back(f);
    include_stack_.push_back(root);
    while (!frames_.empty() && !stop_) next_line();
    cur_text_ = nullptr;

    // Ambiguous lines of files that also have lines only the disassembler
    // dialect reads.
    for (Deferred &d : deferred_) {
        auto e = evidence_.find(d.file);
        if (e == evidence_.end()) continue;
        d.err.d.text += "; this file also has lines that only the disassembler syntax reads (the first at " + e->second +
                        "): choose the dialect (--dasm or a DASM line) or write the line unambiguously";
        add(d.err.seq, d.err.d);
    }
    std::stable_sort(errors_.begin(), errors_.end(), [](const Err &a, const Err &b) { return a.seq < b.seq; });
}

// A limit that ends the assembly: its error is always among those shown.
void Assembler::limit(const std::string &msg)
{
    Diagnostic d = diagnostic(false, "", cur_file_, cur_line_, msg + context_, cur_text_, "");
    limit_ = d.text;
    if (error_set_.insert(d.text).second) errors_.push_back(Err{seq_, std::move(d)});   // past MAX_ERRORS_KEPT too
    stop_ = abort_ = true;
}

void Assembler::next_line()
{
    Frame &f = frames_.back();
    const size_t n = f.kind == Frame::FILE ? files_[(size_t)f.file].lines.size()
                     : f.kind == Frame::MACRO ? f.macro->body.size()
                                              : f.body.size();
    if (f.pos >= n) {
        end_frame();
        return;
    }
    SrcLine sl;
    bool too_long = false;
    if (f.kind == Frame::FILE) {
        sl = SrcLine{f.file, (int)f.pos + 1, files_[(size_t)f.file].lines[f.pos]};
    } else {
        const SrcLine &b = f.kind == Frame::MACRO ? f.macro->body[f.pos] : f.body[f.pos];
        static const std::vector<std::string> none;
        sl.file = b.file;
        sl.line = b.line;
        too_long = !substitute(b.text, f.kind == Frame::MACRO ? f.macro->params : none, f.args, f.unique, MAX_LINE, sl.text);
    }
    f.pos++;
    text_ += (long long)sl.text.size() + 1;
    all_text_ += (long long)sl.text.size() + 1;
    ++lines_;
    ++all_lines_;
    cur_file_ = sl.file;
    cur_line_ = sl.line;
    context_ = context_text(frames_.back().ctx);
    cur_text_ = &sl.text;
    const long max_lines = opt_.max_lines_per_pass > 0 ? opt_.max_lines_per_pass : MAX_LINES_PER_PASS;
    if (lines_ > max_lines) {
        limit(fmt("more than %ld lines to assemble: a REPT or macro without end?", max_lines));
    } else if (all_lines_ > MAX_LINES_ALL_PASSES) {
        limit(fmt("more than %lld lines to assemble over all passes: a source this large must settle in fewer passes",
                  MAX_LINES_ALL_PASSES));
    } else if (text_ > MAX_PASS_TEXT || all_text_ > MAX_ALL_TEXT) {
        limit(fmt("more than %lld MiB of source text to assemble%s (macro and REPT expansions included)",
                  (text_ > MAX_PASS_TEXT ? MAX_PASS_TEXT : MAX_ALL_TEXT) >> 20,
                  text_ > MAX_PASS_TEXT ? " in one pass" : " over all passes"));
    } else if (too_long) {
        error(fmt("line longer than %zu characters after macro substitution", MAX_LINE));
    } else {
        process(sl);
    }
    cur_text_ = nullptr;
}

void Assembler::end_frame()
{
    const int index = (int)frames_.size() - 1;
    if (collect_.on && collect_.frame == index) {
        error_at(collect_.file, collect_.line, collect_.word + " without " + (collect_.is_macro ? "ENDM" : "ENDR"), seq_,
                 frames_.back().ctx);
        collect_.on = false;
    }
    for (const Conditionals::Entry &e : cond_.close_frame(index))
        error_at(e.file, e.line, "IF without ENDIF", seq_, frames_.back().ctx);
    Frame &f = frames_.back();
    if (f.kind == Frame::REPT && f.left > 0) {
        f.left--;
        f.pos = 0;
        f.unique = ++unique_;
        return;
    }
    if (f.kind == Frame::FILE) {
        include_stack_.pop_back();
        if (opt_.want_listing && !include_stack_.empty()) {
            ListLine m;
            m.marker = "---- " + files_[(size_t)include_stack_.back()].path;
            list_size_ += m.marker.size() + 1;
            list_.push_back(m);
        }
    }
    frames_.pop_back();
}

void Assembler::process(const SrcLine &sl)
{
    line_addr_ = pc_;
    seq_++;
    overlap_reported_ = false;
    refs_.push_back(ByteSource{sl.file, sl.line, frames_.back().ctx, 0});
    cur_ref_ = (int)refs_.size() - 1;
    cur_list_ = -1;
    if (opt_.want_listing && list_overflow_.file < 0) {
        ListLine ll;
        ll.line = sl.line;
        ll.text = sl.text;
        list_size_ += listing_line_size(ll);
        if (list_size_ > MAX_LISTING) {
            list_overflow_ = ByteSource{sl.file, sl.line, frames_.back().ctx, 0};
            list_overflow_seq_ = seq_;
        } else {
            list_.push_back(std::move(ll));
            cur_list_ = (int)list_.size() - 1;
        }
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
    if (!cond_.active()) {
        if (cur_list_ >= 0) list_[(size_t)cur_list_].skipped = true;
        return;
    }
    if (!ok) {
        Reading o;
        const bool o_ok = other_reading(sl.text, other_dialect(d), o);
        error(with_other_reading(err, sl, d, o_ok, o));
        return;
    }
    active_line(parts, op, sl, d);
}
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
        if (collect_.is_macro) end_macro();
        else push_rept();
        return;
    }
    collect_.body.push_back(sl);
}

void Assembler::end_macro()
{
    Macro &m = collect_.macro;
    m.body = std::move(collect_.body);
    const std::string key = upper(m.name);
    auto old = macros_.find(key);
    if (old != macros_.end()) {
        error_at(m.file, m.line,
                 "macro " + quote(m.name) + " defined twice (first at " + where(old->second.file, old->second.line) + ")",
                 seq_, frames_.back().ctx);
        return;
    }
    // A parameter named like a symbol hides the symbol inside the body.
    for (size_t i = 0; i < m.params.size(); i++) {
        const std::string &p = m.params[i];
        const Symbol *s = nullptr;
        if (auto c = cur_.find(p); c != cur_.end()) s = &c->second;
        else if (auto q = prev_.find(p); q != prev_.end()) s = &q->second;
        if (!s) continue;
        report(seq_, true, "macro-parameter", m.file, m.line,
               "the parameter " + quote(i < m.written.size() ? m.written[i] : p) + " of macro " + quote(m.name) +
                   " hides the symbol " + quote(s->name) + " (defined at " + where(s->file, s->line) +
                   "): inside the macro the name means the argument" + context_text(frames_.back().ctx),
               nullptr, "");
    }
    macro_order_.push_back(key);
    macros_[key] = std::move(m);
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
        error(op + " without " + (op == "ENDM" ? "MACRO" : "REPT"), parts.op);
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
    refs_[(size_t)cur_ref_].kind = r.code ? 1 : 2;
    if (cur_list_ >= 0 && r.code && !r.bytes.empty()) list_[(size_t)cur_list_].opcode = r.bytes[0];
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
        else r.error("'Illegal Opcode' is the disassembler's text for a byte that is no instruction; write that byte with DB");
        return r;
    }
    if (data_op(op)) {
        encode_data(op, parts.args, op == "DW" || op == "WORD", e, r);
    } else if (value_op(op)) {
        r.has_value = true;
        std::string err;
        if (trim(parts.args).empty()) r.error(op + " needs a value");
        else if (!eval_expr(parts.args, e, false, r.value, err)) r.error(err, trim(parts.args));
    } else {
        encode_instruction(parts.op, parts.args, e, r);
    }
    if (parts.dump && r.ok() && r.bytes != parts.dump_bytes)
        r.error("the line shows the bytes " + hex_bytes(parts.dump_bytes) + " but its text gives " + hex_bytes(r.bytes));
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
        r.marks.resize(r.errors.size());
        for (size_t i = 0; i < r.errors.size(); i++)
            error(i == 0 ? with_other_reading(r.errors[0], sl, d, o_ok, o) : r.errors[i], r.marks[i]);
        return r;
    }
    for (const Reading::Warning &w : r.warnings) warning(w.kind, w.text, w.mark);
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
    } else if (deferred_.size() < MAX_ERRORS_KEPT) {
        deferred_.push_back(Deferred{sl.file, Err{seq_, diagnostic(false, "", cur_file_, cur_line_, msg + context_,
                                                                   cur_text_, "")}});
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
        error(quote(name) + " is " + (port ? fmt("port %lld (peripheral address %04llXh)", (long long)n, (long long)(0x100 + n))
                                          : fmt("register %lld", (long long)n)) +
                  " and keeps that meaning; it cannot be defined as another value",
              name);
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
    std::string why;
    if (name[0] == '.') why = "a local name";
    else if (is_mnemonic(name)) why = "a mnemonic";
    else if (is_directive(upper(name))) why = "a directive";
    else if (name.size() > MAX_NAME) why = fmt("%zu characters long (at most %zu)", name.size(), MAX_NAME);
    if (!why.empty()) {
        error(quote(name) + " cannot be a macro name: it is " + why, name);
        return;
    }
    std::string err;
    collect_ = Collect{};
    if (!parse_macro_params(parts.args, collect_.macro.params, err, &collect_.macro.written)) error(err);
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
        error(fmt("macro %s nested more than %d deep: does it call itself without end?", quote(m.name).c_str(),
                  MAX_MACRO_DEPTH));
        return;
    }
    std::vector<std::string> a = macro_arguments(args);
    if (a.size() != m.params.size()) {
        error(fmt("macro %s takes %zu argument%s, %zu given", quote(m.name).c_str(), m.params.size(),
                  m.params.size() == 1 ? "" : "s", a.size()));
        return;
    }
    for (const std::string &arg : a)
        if (arg.size() > MAX_ARGUMENT) {
            error(fmt("macro argument of %zu characters (at most %zu)", arg.size(), MAX_ARGUMENT));
            return;
        }
    if (opt_.want_listing) {
        auto &u = uses_[" " + upper(m.name)];
        u.second++;
        if (u.first.size() < MAX_USES) u.first.emplace_back(cur_file_, cur_line_);
    }
    mark_code();
    Frame f;
    f.kind = Frame::MACRO;
    f.macro = &m;
    f.args = std::move(a);
    f.unique = ++unique_;
    f.dialect = frames_.back().dialect;
    contexts_.push_back(Expansion{frames_.back().ctx, m.name, cur_file_, cur_line_});
    f.ctx = (int)contexts_.size() - 1;
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
        error(fmt("%s count %lld out of range 0..%lld", op.c_str(), (long long)n.v, (long long)MAX_REPEAT), trim(parts.args));
    else if (n.known) collect_.count = n.v;
}

void Assembler::push_rept()
{
    if (collect_.count <= 0 || collect_.body.empty()) return;
    int depth = 0;
    for (const Frame &f : frames_) depth += f.kind == Frame::REPT;
    if (depth >= MAX_REPT_DEPTH) {
        error_at(collect_.file, collect_.line, fmt("%s nested more than %d deep", collect_.word.c_str(), MAX_REPT_DEPTH),
                 seq_, frames_.back().ctx);
        return;
    }
    Frame f;
    f.kind = Frame::REPT;
    f.dialect = frames_.back().dialect;
    f.ctx = frames_.back().ctx;
    f.left = collect_.count - 1;
    f.body = std::move(collect_.body);
    f.unique = ++unique_;
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
        else error(errs.front(), a[0]);
    } else if (op == "FILL") {
        if (!need(2, "FILL count,value")) return true;
        mark_code();
        eval(a[0], d, n);
        eval(a[1], d, v);
        std::vector<std::string> errs;
        in_range(v, -128, 255, "value", errs);
        if (!errs.empty()) error(errs.back(), a[1]);
        errs.clear();
        in_range(n, 0, 0x10000, "count", errs);
        if (!errs.empty()) error(errs.back(), a[0]);
        if (!n.known || !v.known || v.v < -128 || v.v > 255 || n.v < 0 || n.v > 0x10000) return true;
        refs_[(size_t)cur_ref_].kind = 2;
        if (cur_list_ >= 0) list_[(size_t)cur_list_].abbreviate = true;
        for (int64_t i = 0; i < n.v; i++) emit((uint8_t)(v.v & 0xFF));
    } else if (op == "DS" || op == "ALIGN") {
        const bool ds = op == "DS";
        if (!need(1, ds ? "DS count" : "ALIGN n") || !eval(a[0], d, n) || !n.known) return true;
        std::vector<std::string> errs;
        if (!in_range(n, ds ? 0 : 1, 0x10000, ds ? "count" : "alignment", errs)) {
            error(errs.front(), a[0]);
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
    } else if (op == "ERROR" || op == "WARNING" || op == "ASSERT") {
        return message_directive(op, parts, d);
    } else {
        return false;
    }
    return true;
}

// ERROR "message", WARNING "message", ASSERT expression[, "message"].
bool Assembler::message_directive(const std::string &op, const Line &parts, Dialect d)
{
    const std::vector<std::string> a = split_operands(parts.args);
    auto text_of = [&](const std::string &t, std::string &out) {
        std::vector<uint8_t> b;
        std::string err;
        switch (parse_string(t, true, b, err)) {
        case Str::Ok:
            out.assign(b.begin(), b.end());
            return true;
        case Str::NotString:
            error(op + " takes its message in quotes: " + op + (op == "ASSERT" ? " expression, \"message\"" : " \"message\""), t);
            return false;
        case Str::Error:
            error(err, t);
            return false;
        }
        return false;
    };
    std::string message;
    if (op == "ASSERT") {
        if (a.empty() || a.size() > 2 || a[0].empty()) {
            error("usage: ASSERT expression[, \"message\"]");
            return true;
        }
        if (a.size() == 2 && !text_of(a[1], message)) return true;
        Value v;
        if (!eval(a[0], d, v)) return true;
        if (!v.known) {
            error("ASSERT needs a value known at this point", a[0]);
            return true;
        }
        if (v.v == 0) error("assertion failed: " + (a.size() == 2 ? message : a[0]), a[0]);
        return true;
    }
    if (a.size() > 1 || (a.size() == 1 && !text_of(a[0], message))) {
        if (a.size() > 1) error("usage: " + op + " \"message\"");
        return true;
    }
    if (message.empty()) message = op == "ERROR" ? "ERROR directive" : "WARNING directive";
    if (op == "ERROR") error(message);
    else warning("directive", message);
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
    if (name.find('\0') != std::string::npos) {
        error(op + " file name " + quote(name) + " holds a NUL byte");
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
                error("cannot open binary file '" + path + "': " + reason(path, err), name);
                return;
            }
            if (r == input_read::too_big) {
                error("INCBIN '" + path + "': " + std::to_string(size) + " bytes, more than the 64 KiB address space", name);
                return;
            }
            // What could be read is included.
            it = incbin_.emplace(path, std::vector<uint8_t>(bytes.begin(), bytes.end())).first;
            incbin_order_.push_back(path);
        }
        const std::vector<uint8_t> &data = it->second;
        if (pc_ + (int64_t)data.size() > 0x10000) {
            error("INCBIN '" + path + "': " + fmt("%zu bytes do not fit between $%04llX and $FFFF", data.size(),
                                                   (unsigned long long)std::min<int64_t>(pc_, 0xFFFF)));
            return;
        }
        refs_[(size_t)cur_ref_].kind = 2;
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
        // Everything after it would only repeat the loss (undefined
        // symbols by the dozen), and so would the errors of this pass
        // before it, which may be forward references: this one is the
        // only error, and the assembly stops here.
        errors_.clear();
        error_set_.clear();
        deferred_.clear();
        error("cannot open include file '" + path + "': " + reason(path, err), name);
        stop_ = abort_ = true;
        return;
    }
    if (std::find(include_stack_.begin(), include_stack_.end(), fi) != include_stack_.end()) {
        error("include loop: '" + path + "' is already being assembled", name);
        return;
    }
    if (opt_.want_listing) {
        ListLine m;
        m.marker = "---- " + path;
        list_size_ += m.marker.size() + 1;
        list_.push_back(m);
    }
    cur_list_ = -1;
    include_stack_.push_back(fi);
    Frame f;
    f.kind = Frame::FILE;
    f.file = fi;
    f.dialect = opt_.dialect;
    f.ctx = frames_.back().ctx;
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
        r.errors.push_back("cannot read the source: " + printable(err));
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
        errors_.push_back(
            Err{seq_ + 1, plain(root_path + ": addresses do not settle after " + std::to_string(MAX_PASSES) + " passes")});
    finish(r, root_path);
    return r;
}

// Code outside the output window: an error for each line that put some
// there, or one error with the fix when the whole program lies outside.
void Assembler::check_window(Layout &l, const std::string &root_path)
{
    int64_t lowest = -1, highest = -1;
    for (int64_t a = 0; a < 0x10000; a++)
        if (owner_[(size_t)a] >= 0) {
            if (lowest < 0) lowest = a;
            highest = a;
        }
    const CartSize *cart = opt_.cartridge;
    const bool has_base = cart || opt_.has_base;
    const int64_t base = cart ? cart->base : opt_.has_base ? opt_.base : lowest;
    int64_t end = cart ? cart->base + cart->bytes : opt_.has_size ? base + opt_.size : highest + 1;
    if (!has_base && lowest < 0) {
        errors_.push_back(Err{seq_ + 1, plain(root_path + ": nothing to output (no code or data)")});
        return;
    }
    if (base < 0 || base > 0xFFFF || end > 0x10000) {
        errors_.push_back(Err{seq_ + 1, plain(fmt("%s: output window $%04llX+%lld goes beyond $FFFF",
                                                                   root_path.c_str(), (unsigned long long)base,
                                                                   (long long)(end - base)))});
        return;
    }
    if (end < base) end = base;
    l.has_window = true;
    l.base = (unsigned)base;
    l.end = (unsigned)end;
    // The bytes the machine sees of the window (a 32 KiB cartridge's first
    // 512 are not loaded).
    const int64_t seen = cart ? cart->first : base;
    bool inside = false;
    for (int64_t a = std::max<int64_t>(seen, 0); a < end && !inside; a++) inside = owner_[(size_t)a] >= 0;
    if (lowest >= 0 && !inside) {
        const ByteSource &ref = refs_[(size_t)owner_[(size_t)lowest]];
        std::string fix;
        if (cart)
            fix = fmt("a %s cartridge is loaded at $%04llX-$7FFF: put the code there (ORG %04llXh)", cart->name,
                      (unsigned long long)seen, (unsigned long long)seen);
        else if (highest - lowest < end - base || !opt_.has_size)
            fix = fmt("assemble it with --base %04llX, or move it with ORG %04llXh", (unsigned long long)lowest,
                      (unsigned long long)base);
        else
            fix = fmt("it is %lld bytes long and the window %lld: give --base %04llX and a --size of %lld or more",
                      (long long)(highest - lowest + 1), (long long)(end - base), (unsigned long long)lowest,
                      (long long)(highest - lowest + 1));
        const std::string window = end > seen ? fmt("the output window $%04llX-$%04llX", (unsigned long long)seen,
                                                    (unsigned long long)(end - 1))
                                              : fmt("the image, which starts at $%04llX", (unsigned long long)seen);
        report((long)owner_[(size_t)lowest] + 1, false, "", ref.file, ref.line,
               fmt("the whole program ($%04llX-$%04llX) lies outside ", (unsigned long long)lowest,
                   (unsigned long long)highest) +
                   window + ": " + fix + context_text(ref.ctx),
               nullptr, "");
        return;
    }
    std::set<int32_t> reported;
    for (int64_t a = 0; a < 0x10000; a++) {
        const int32_t o = owner_[(size_t)a];
        if (o < 0 || (a >= seen && a < end) || !reported.insert(o).second) continue;
        const ByteSource &ref = refs_[(size_t)o];
        std::string msg = fmt("code at $%04llX is outside the output window $%04llX-$%04llX", (unsigned long long)a,
                              (unsigned long long)base, (unsigned long long)(end - 1));
        if (cart && a >= base && a < seen)
            msg = fmt("code at $%04llX is in the first 512 bytes of a 32 KiB cartridge, which the machine does not "
                      "load (it sees $0200-$7FFF)",
                      (unsigned long long)a);
        report((long)o + 1, false, "", ref.file, ref.line, msg + context_text(ref.ctx), nullptr, "");
    }
}

// A cartridge the BIOS would not start, or that would start into its fill.
void Assembler::check_cartridge(const std::string &root_path)
{
    const CartSize &c = *opt_.cartridge;
    auto byte_at = [&](unsigned a) { return owner_[a] >= 0 ? (int)mem_[a] : -1; };
    auto report = [&](unsigned a, const std::string &msg) {
        const int32_t o = owner_[a];
        if (o >= 0)
            add((long)o + 1, diagnostic(false, "", refs_[(size_t)o].file, refs_[(size_t)o].line,
                                        "cartridge: " + msg + context_text(refs_[(size_t)o].ctx), nullptr, ""));
        else
            errors_.push_back(Err{seq_ + 1, plain(root_path + ": cartridge: " + msg)});
    };
    static const char signature[] = "OVIXCART";
    bool any = false, ok = true;
    std::string found;
    for (unsigned i = 0; i < 8; i++) {
        const int b = byte_at(0x7FF0 + i);
        any = any || b >= 0;
        ok = ok && b == (uint8_t)signature[i];
        found += b < 0 ? std::string("(none)") : b >= 0x20 && b < 0x7F ? std::string(1, (char)b) : fmt("\\x%02X", b);
        if (b < 0) break;
    }
    if (!ok) {
        report(0x7FF0, any ? "the signature at $7FF0-$7FF7 reads " + quote(found) +
                                 " instead of OVIXCART: the BIOS would not start the cartridge"
                           : "no signature: the BIOS starts a cartridge only with the bytes OVIXCART at $7FF0-$7FF7 "
                             "and its entry address after them (ORG 7FF0h, TEXT \"OVIXCART\", DW entry)");
        return;
    }
    const int hi = byte_at(0x7FF8), lo = byte_at(0x7FF9);
    if (hi < 0 || lo < 0) {
        report(0x7FF0, "no entry address at $7FF8-$7FF9 after the signature (DW entry): the BIOS would jump to $FFFF");
        return;
    }
    const unsigned entry = (unsigned)(hi << 8 | lo);
    if (entry < 0x200 || entry > 0x7FFF)
        report(0x7FF8, fmt("the entry $%04X (the word at $7FF8) is outside $0200-$7FFF: the BIOS would not start the "
                           "cartridge",
                           entry));
    else if (entry < c.first)
        report(0x7FF8, fmt("the entry $%04X (the word at $7FF8) is outside the %s image ($%04X-$7FFF): the machine "
                           "would run into the $FF bytes there (TRAP 0)",
                           entry, c.name, c.first));
    else if (owner_[entry] < 0)
        report(0x7FF8, fmt("the entry $%04X (the word at $7FF8) holds no code of the program: the machine would "
                           "execute the fill byte $%02X there",
                           entry, opt_.fill));
}

void Assembler::finish(Result &r, const std::string &root_path)
{
    for (const auto &[key, sym] : cur_)
        if (sym.value.known) r.symbols[sym.name] = sym.value.v;
    r.labels = labels_;
    for (const std::string &key : defined_) {
        const Symbol &s = cur_.at(key);
        SymbolInfo n;
        n.name = s.name;
        n.kind = s.kind == SK_LABEL       ? SymbolKind::Label
                 : s.value.type == V_REG  ? SymbolKind::Register
                 : s.value.type == V_PORT ? SymbolKind::Port
                                          : SymbolKind::Constant;
        n.value = s.value.v;
        n.redefinable = s.kind == SK_SET;
        n.file = files_[(size_t)s.file].path;
        n.line = s.line;
        if (auto u = uses_.find(key); u != uses_.end()) {
            for (auto [f, line] : u->second.first) n.uses.emplace_back(files_[(size_t)f].path, line);
            n.use_count = u->second.second;
        }
        r.names.push_back(std::move(n));
    }
    for (const std::string &key : macro_order_) {
        const Macro &m = macros_.at(key);
        SymbolInfo n;
        n.name = m.name;
        n.kind = SymbolKind::Macro;
        n.file = files_[(size_t)m.file].path;
        n.line = m.line;
        if (auto u = uses_.find(" " + key); u != uses_.end()) {
            for (auto [f, line] : u->second.first) n.uses.emplace_back(files_[(size_t)f].path, line);
            n.use_count = u->second.second;
        }
        r.names.push_back(std::move(n));
    }
    for (const SourceFile &f : files_) r.inputs.push_back(f.path);
    r.binaries = incbin_order_;

    Layout l;
    for (const SourceFile &f : files_) l.files.push_back(f.path);
    l.fill = opt_.fill;
    l.root = root_path;
    const bool has_errors = std::any_of(errors_.begin(), errors_.end(), [](const Err &e) { return !e.d.warning; });
    if (!has_errors) {
        check_window(l, root_path);
        if (opt_.cartridge && !std::any_of(errors_.begin(), errors_.end(), [](const Err &e) { return !e.d.warning; }))
            check_cartridge(root_path);
        if (opt_.want_listing && list_overflow_.file >= 0)
            add(list_overflow_seq_,
                diagnostic(false, "", list_overflow_.file, list_overflow_.line,
                           fmt("the listing would be larger than %zu MiB from this line on: assemble without --list",
                               MAX_LISTING >> 20) +
                               context_text(list_overflow_.ctx),
                           nullptr, ""));
        std::stable_sort(errors_.begin(), errors_.end(), [](const Err &a, const Err &b) { return a.seq < b.seq; });
    }

    // Undefined names: the nearest defined one, for the errors shown.
    size_t shown = 0;
    for (Err &e : errors_) {
        if (e.d.warning || shown++ >= MAX_ERRORS) continue;
        static const std::string undefined = "undefined symbol '";
        const size_t at = e.d.text.find(undefined);
        if (at == std::string::npos) continue;
        const size_t from = at + undefined.size(), to = e.d.text.find('\'', from);
        if (to == std::string::npos || e.d.text.compare(to + 1, 2, " (") == 0) continue;
        const std::string near = suggestion(e.d.text.substr(from, to - from));
        if (!near.empty()) e.d.text.insert(to + 1, " (did you mean '" + near + "'?)");
    }

    // The error of a limit that stopped the assembly is shown whatever
    // came before it: it comes first.
    if (!limit_.empty())
        std::stable_partition(errors_.begin(), errors_.end(), [&](const Err &e) { return e.d.text == limit_; });
    size_t error_count = 0;
    for (const Err &e : errors_) {
        if (e.d.warning) {
            r.warnings.push_back(e.d.text);
            r.diagnostics.push_back(e.d);
        } else if (error_count++ < MAX_ERRORS) {
            r.errors.push_back(e.d.text);
            r.diagnostics.push_back(e.d);
        }
    }
    if (error_count > MAX_ERRORS || errors_dropped_) {
        const std::string more = root_path + ": too many errors, the rest are not shown";
        if (error_count > MAX_ERRORS || !r.errors.empty()) {
            r.errors.push_back(more);
            r.diagnostics.push_back(plain(more));
        }
    }
    r.ok = r.errors.empty();
    if (r.ok && l.has_window) {
        r.base = l.base;
        r.image.assign(l.end - l.base, opt_.fill);
        const unsigned seen = opt_.cartridge ? opt_.cartridge->first : l.base;
        for (unsigned a = seen; a < l.end; a++)
            if (owner_[a] >= 0) r.image[a - l.base] = mem_[a];
    }
    if (!r.ok) return;
    l.mem = mem_;
    l.owner = owner_;
    l.sources = refs_;
    l.contexts = contexts_;
    if (opt_.want_listing) r.listing = build_listing(list_, listing_tail(l, r));
    if (opt_.want_map) r.map = build_map(l, r);
    if (opt_.want_debug_info) r.debug_info = build_debug_info(l, r);
}

}  // namespace

const std::vector<CartSize> &cartridge_sizes()
{
    static const std::vector<CartSize> sizes = {
        {8192, 0x6000, 0x6000, "8K"},
        {16384, 0x4000, 0x4000, "16K"},
        {32256, 0x0200, 0x0200, "31.5K"},
        {32768, 0x0000, 0x0200, "32K"},
    };
    return sizes;
}

const std::vector<std::string> &warning_kinds()
{
    static const std::vector<std::string> kinds = {"register-number", "macro-parameter", "directive"};
    return kinds;
}

const char *symbol_kind_name(SymbolKind k)
{
    switch (k) {
    case SymbolKind::Label: return "label";
    case SymbolKind::Constant: return "constant";
    case SymbolKind::Register: return "register";
    case SymbolKind::Port: return "port";
    case SymbolKind::Macro: return "macro";
    }
    return "?";
}

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
