// Source-level debugging over the debugger engine: debug information
// loaded into the symbol table and the unwritten stop, breakpoints by
// source line, steps by source line forwards and back.
#include "debug/source_debug.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "cpu/tms7000.h"
#include "debug/symbols.h"
#include "host/files.h"
#include "machine/loop.h"
#include "state/timeline.h"

static bool s_unwritten_stop = true;

// The lines of each source file read so far (an entry with `error` set
// when it could not be read).
struct source_file {
    std::vector<std::string> lines;
    std::string error;
};
static std::map<std::string, source_file> s_sources;

void srcdbg_forget_sources() { s_sources.clear(); }

static std::string upper(std::string s)
{
    for (char &c : s) c = (char)toupper((unsigned char)c);
    return s;
}

void srcdbg_apply_unwritten()
{
    dbg_set_unwritten(s_unwritten_stop && srcmap_loaded() ? srcmap_unwritten()
                                                          : std::vector<std::pair<uint16, uint16>>{});
}

void srcdbg_set_unwritten_stop(bool on)
{
    s_unwritten_stop = on;
    srcdbg_apply_unwritten();
}

bool srcdbg_unwritten_stop() { return s_unwritten_stop; }

// The labels of the debug information join the cartridge's names: a name
// the table has already (of any kind: a register alias of the symbol
// file, a label of the BIOS) keeps its meaning.
void srcdbg_labels_into_symbols()
{
    std::set<std::string> known;
    for (const srcmap_symbol &s : srcmap_symbols()) {
        symbol_info info;
        if (s.kind == "label" && symbols_lookup(s.name.c_str(), &info)) known.insert(upper(s.name));
    }
    const std::string text = srcmap_labels_text(known);
    if (!text.empty()) symbols_add_text(symbol_group::cartridge, "debug information", text.data(), text.size());
}

bool srcdbg_load(const char *path, std::string *error)
{
    if (!srcmap_load(path, error)) return false;
    srcdbg_forget_sources();   // a new build: its sources may have changed too
    srcdbg_apply_unwritten();
    srcdbg_labels_into_symbols();
    return true;
}

void srcdbg_clear()
{
    srcmap_clear();
    srcdbg_apply_unwritten();
}

std::string srcdbg_beside(const std::string &image)
{
    const std::string whole = image + ".dbg";
    if (file_kind(whole.c_str()) && std::string(file_kind(whole.c_str())) == "a regular file") return whole;
    const size_t slash = image.find_last_of('/');
    const size_t dot = image.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    const std::string replaced = image.substr(0, dot) + ".dbg";
    if (file_kind(replaced.c_str()) && std::string(file_kind(replaced.c_str())) == "a regular file") return replaced;
    return "";
}

bool srcdbg_load_beside(const std::string &image_path, uint16 first, uint16 last, std::string *loaded,
                        std::string *error)
{
    srcmap_forget(first, last);
    *loaded = srcdbg_beside(image_path);
    bool ok = true;
    if (!loaded->empty() && !srcdbg_load(loaded->c_str(), error)) {
        loaded->clear();
        ok = false;
    }
    srcdbg_apply_unwritten();
    srcdbg_labels_into_symbols();
    return ok;
}

std::string srcdbg_place_text(const srcmap_place &p)
{
    if (p.file < 0) return "";
    return srcmap_file(p.file) + ":" + std::to_string(p.line);
}

std::string srcdbg_short_place_text(const srcmap_place &p)
{
    if (p.file < 0) return "";
    const std::string &path = srcmap_file(p.file);
    const size_t slash = path.find_last_of('/');
    return (slash == std::string::npos ? path : path.substr(slash + 1)) + ":" + std::to_string(p.line);
}

std::vector<int> srcdbg_break_line(const std::string &file, int line, const char *condition, const char *hits,
                                   dbg_owner owner, int *at_line, std::vector<uint16> *addresses, std::string *error)
{
    std::vector<int> ids;
    if (addresses) addresses->clear();
    if (!srcmap_loaded()) {
        *error = "no debug information is loaded";
        return ids;
    }
    const int f = srcmap_find_file(file.c_str());
    if (f < 0) {
        *error = file + " is not a source file of the debug information";
        return ids;
    }
    const int at = srcmap_code_line_from(f, line);
    if (!at) {
        *error = "no code at or after line " + std::to_string(line) + " of " + file;
        return ids;
    }
    const std::string where = srcmap_file(f) + ":" + std::to_string(at);
    for (uint16 a : srcmap_line_addresses(f, at)) {
        const int id = dbg_break_add_at(a, where.c_str(), condition, hits, error, owner);
        if (!id) {
            std::string ignored;
            for (int done : ids) dbg_delete(done, &ignored);
            ids.clear();
            if (addresses) addresses->clear();
            return ids;
        }
        ids.push_back(id);
        if (addresses) addresses->push_back(a);
    }
    if (at_line) *at_line = at;
    return ids;
}

dbg_stop srcdbg_line_step(bool into, uint64 limit, const loop_hooks *hooks, const volatile sig_atomic_t *interrupted)
{
    const srcmap_place start = srcmap_statement_at(tms7000.pc.w.l);
    if (start.file < 0) return dbg_step(into ? DBG_STEP_INTO : DBG_STEP_NEXT, 1, limit, hooks);
    const uint64 start_passes = ovix_machine_passes();
    const size_t depth0 = dbg_call_stack().size();
    dbg_stop stop;
    for (;;) {
        const uint64 used = ovix_machine_passes() - start_passes;
        if (used >= limit) {
            stop = dbg_last_stop();
            stop.kind = DBG_STOP_COUNT;
            stop.pc = tms7000.pc.w.l;
            stop.passes = ovix_machine_passes();
            break;
        }
        if (interrupted && *interrupted) {
            stop = dbg_stop{};
            stop.kind = DBG_STOP_DEBUGGER;
            stop.pc = tms7000.pc.w.l;
            stop.passes = ovix_machine_passes();
            break;
        }
        const size_t before = dbg_call_stack().size();
        stop = dbg_step(into ? DBG_STEP_INTO : DBG_STEP_NEXT, 1, limit - used, hooks);
        if (stop.kind != DBG_STOP_STEP) break;
        const std::vector<dbg_frame> frames = dbg_call_stack();
        if (frames.size() > before) {
            // Entered a routine (into only: a step over comes back).
            const bool through = frames[0].kind == FRAME_INTERRUPT || srcmap_statement_at(tms7000.pc.w.l).file < 0;
            if (!through) break;
            std::string error;
            stop = dbg_step(DBG_STEP_OUT, 1, limit - (ovix_machine_passes() - start_passes), hooks, &error);
            if (stop.kind != DBG_STOP_STEP) break;
        }
        if (dbg_call_stack().size() < depth0) break;   // returned
        if (!(srcmap_statement_at(tms7000.pc.w.l) == start)) break;
    }
    if (stop.kind == DBG_STOP_STEP) stop.step = into ? DBG_STEP_INTO : DBG_STEP_NEXT;
    return stop;
}

dbg_stop srcdbg_line_back(std::string *error)
{
    const srcmap_place start = srcmap_statement_at(tms7000.pc.w.l);
    dbg_stop stop = tl_step_back_over(error);
    if (stop.kind == DBG_STOP_NONE || start.file < 0) return stop;
    int steps = 1;
    // To another line.
    while (srcmap_statement_at(tms7000.pc.w.l) == start && !stop.start_of_time && steps < SRCDBG_BACK_STEPS) {
        stop = tl_step_back_over(error);
        steps++;
        if (stop.kind == DBG_STOP_NONE) return stop;
    }
    // To its first pass.
    const srcmap_place line = srcmap_statement_at(tms7000.pc.w.l);
    while (line.file >= 0 && !stop.start_of_time && steps < SRCDBG_BACK_STEPS) {
        const dbg_stop here = stop;
        stop = tl_step_back_over(error);
        steps++;
        if (stop.kind == DBG_STOP_NONE) return stop;
        if (!(srcmap_statement_at(tms7000.pc.w.l) == line)) {
            stop = tl_goto(here.passes, error);
            if (stop.kind == DBG_STOP_NONE) return stop;
            stop.step = DBG_STEP_BACK;
            break;
        }
    }
    return stop;
}

// ---------------------------------------------------------------------------
// The source view.

static const source_file &source(const std::string &path)
{
    auto it = s_sources.find(path);
    if (it != s_sources.end()) return it->second;
    source_file f;
    std::string text;
    long long size = 0;
    if (read_input_file(path.c_str(), 16ll << 20, &text, &size, &f.error) == input_read::too_big)
        f.error = path + ": larger than 16 MiB";
    if (f.error.empty()) {
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) nl = text.size();
            std::string line = text.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            f.lines.push_back(line);
            start = nl + 1;
        }
    }
    return s_sources.emplace(path, std::move(f)).first->second;
}


// A source line as shown: tabs to the next multiple of 8, control bytes as
// '?', cut to `width`.
static std::string shown(const std::string &line, int width)
{
    std::string out;
    for (char c : line) {
        if ((int)out.size() >= width) break;
        if (c == '\t') {
            do out += ' ';
            while (out.size() % 8 && (int)out.size() < width);
        } else {
            out += (unsigned char)c < 0x20 || c == 0x7F ? '?' : c;
        }
    }
    return out.substr(0, (size_t)std::max(width, 0));
}

// '*' when an enabled breakpoint is on the line's code, 'o' when only
// disabled ones are, ' ' otherwise.
static char break_mark(int file, int line)
{
    char mark = ' ';
    for (uint16 a : srcmap_line_addresses(file, line)) {
        const int m = dbg_break_mark(a);
        if (m == 1) return '*';
        if (m == 2) mark = 'o';
    }
    return mark;
}

std::string srcdbg_source_text(uint16 pc, int before, int lines, int width)
{
    char head[160];
    if (!srcmap_loaded())
        return shown("No debug information is loaded: the debugger reads game.dbg beside the cartridge "
                     "(ovix-asm --debug-info), or --debug-info FILE.",
                     10000) +
               "\n";
    const srcmap_line *l = srcmap_line_at(pc);
    if (!l) {
        const srcmap_symbol *s = srcmap_label_before(pc);
        snprintf(head, sizeof head, "No source line at %04X%s%s%s", pc, s ? " (after label " : "",
                 s ? s->name.c_str() : "", s ? ")" : "");
        return std::string(head) + "\n";
    }
    // The statement: the line itself, or the outermost macro call.
    const srcmap_place at = srcmap_statement(*l);
    std::string header = srcdbg_short_place_text(at);
    if (!l->expansion.empty())
        header += " (in " + l->expansion.front().macro + ": " + srcdbg_short_place_text(l->at) + ")";
    const source_file &f = source(srcmap_file(at.file));
    std::string text = shown(header, width) + "\n";
    if (!f.error.empty()) return text + shown(f.error, width) + "\n";
    const int first = std::max(1, at.line - before);
    const int last = std::min((int)f.lines.size(), first + lines - 2);
    for (int n = first; n <= last; n++) {
        char prefix[16];
        snprintf(prefix, sizeof prefix, "%c%c%5d  ", n == at.line ? '>' : ' ', break_mark(at.file, n), n);
        text += prefix + shown(f.lines[(size_t)n - 1], width - (int)strlen(prefix)) + "\n";
    }
    return text;
}
