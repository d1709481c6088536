// The runner's command console (console.h).
#include "services/console.h"

#include <cctype>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <set>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/debugger_text.h"
#include "debug/engine.h"
#include "debug/expr.h"
#include "debug/source_debug.h"
#include "debug/source_map.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/files.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "services/png.h"
#include "state/snapshot.h"
#include "state/timeline.h"
#include "time/timer.h"
#include "video/tms3556.h"

using json = nlohmann::json;

namespace {

constexpr int MAX_SOURCE_DEPTH = 8;
constexpr uint32 MAX_DUMP_BYTES = 0x10000;
constexpr int MAX_DASM_LINES = 1000;
constexpr size_t MAX_LINE = 4096;

// Ctrl-C: stops the run in progress (the loop's debugger request).
volatile sig_atomic_t s_interrupted = 0;
extern "C" void on_sigint(int)
{
    s_interrupted = 1;
    ask_bkpt = 1;
}

// A reply under construction: the lines of the text form and the object of
// the JSON form, built side by side.
struct reply_builder {
    bool json_mode = false;
    std::string text;
    json obj = json::object();
    bool failed = false;
    std::string nested;   // the replies of the commands a `source` ran, written first

    void line(const std::string &l) { text += l + "\n"; }
    void fail(const std::string &message)
    {
        failed = true;
        error_text = message;
    }
    std::string error_text;

    std::string finish()
    {
        if (json_mode) {
            json out = json::object();
            out["ok"] = !failed;
            if (failed) out["error"] = error_text;
            for (auto it = obj.begin(); it != obj.end(); ++it) out[it.key()] = it.value();
            return nested + out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        }
        return nested + text + (failed ? "error: " + error_text + "\n" : "ok\n");
    }
};

std::string trim(const std::string &s)
{
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// Splits off the first word.
std::string first_word(std::string *rest)
{
    const std::string s = trim(*rest);
    const size_t sp = s.find_first_of(" \t");
    if (sp == std::string::npos) {
        *rest = "";
        return s;
    }
    *rest = trim(s.substr(sp));
    return s.substr(0, sp);
}

std::string lower(std::string s)
{
    for (char &c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// A decimal count of at least 1 (0 allowed when `zero`).
bool parse_count(const std::string &s, uint64 *out, bool zero = false)
{
    if (s.empty() || s.size() > 19) return false;
    uint64 v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64)(c - '0');
    }
    if (v == 0 && !zero) return false;
    *out = v;
    return true;
}

// An address or count written as an expression (hexadecimal by default).
// An address of the CPU's space (`location`) reads a register or port name
// as its address.
bool eval_in(const std::string &text, int64 min, int64 max, const char *what, int64 *out, std::string *error,
             bool location = false)
{
    std::string e;
    if (!(location ? expr_evaluate_location(text.c_str(), out, &e) : expr_evaluate(text.c_str(), out, &e))) {
        *error = std::string(what) + " '" + text + "': " + e;
        return false;
    }
    if (*out < min || *out > max) {
        char t[160];
        snprintf(t, sizeof t, "%s '%s' is %s, outside %" PRIX64 "-%" PRIX64, what, text.c_str(),
                 expr_value_text(*out).c_str(), (uint64)min, (uint64)max);
        *error = t;
        return false;
    }
    return true;
}

// "[hit N] [if COND]" after a location: the location's text, the hit rule
// and the condition.
void split_options(const std::string &args, std::string *location, std::string *hits, std::string *condition)
{
    std::string rest = args;
    *location = *hits = *condition = "";
    // The condition is everything after the word "if".
    size_t at = std::string::npos;
    for (size_t i = 0; i + 2 <= rest.size(); i++) {
        if ((i == 0 || rest[i - 1] == ' ' || rest[i - 1] == '\t') && lower(rest.substr(i, 2)) == "if" &&
            (i + 2 == rest.size() || rest[i + 2] == ' ' || rest[i + 2] == '\t')) {
            at = i;
            break;
        }
    }
    if (at != std::string::npos) {
        *condition = trim(rest.substr(at + 2));
        rest = trim(rest.substr(0, at));
    }
    // "hit N" at the end of what is left.
    const size_t hit = lower(rest).rfind(" hit ");
    if (hit != std::string::npos) {
        *hits = trim(rest.substr(hit + 5));
        rest = trim(rest.substr(0, hit));
    } else if (lower(rest).rfind("hit ", 0) == 0) {
        *hits = trim(rest.substr(4));
        rest = "";
    }
    *location = trim(rest);
}

json point_json(const dbg_point &p)
{
    json j = {{"id", p.id},       {"type", p.watch ? "watchpoint" : "breakpoint"},
              {"enabled", p.enabled}, {"temporary", p.temporary},
              {"location", p.location}, {"hits", p.hits},
              {"text", dbg_point_text(p)}};
    if (p.watch) {
        static const char *const kinds[] = {"", "r", "w", "rw"};
        j["kind"] = kinds[p.kind];
        j["first"] = p.first;
        j["last"] = p.last;
        j["vram"] = p.vram;
    } else {
        j["address"] = p.first;
    }
    if (!p.condition.empty()) j["condition"] = p.condition.text;
    if (p.hit_rule != HIT_ALWAYS) {
        static const char *const rules[] = {"", "", "=", ">", "%"};
        j["hit_rule"] = rules[p.hit_rule] + std::to_string(p.hit_count);
    }
    return j;
}

json stop_json(const dbg_stop &st)
{
    json j = {{"reason", dbg_stop_name(st.kind)},
              {"pc", st.pc},
              {"pass", st.passes},
              {"cycles", orlo_timer_cycles()},
              {"text", dbg_stop_text(st)}};
    if (st.kind == DBG_STOP_BREAK || st.kind == DBG_STOP_WATCH || st.kind == DBG_STOP_ERROR) {
        j["id"] = st.id;
        j["hits"] = st.hits;
    }
    if (st.kind == DBG_STOP_WATCH) {
        j["access_pc"] = st.access_pc;
        j["address"] = st.address;
        j["vram"] = st.vram;
        j["access"] = st.write ? "write" : "read";
        j["old"] = st.old_value;
        j["value"] = st.new_value;
    }
    if (st.kind == DBG_STOP_PC) j["target"] = st.target;
    if (st.kind == DBG_STOP_ERROR) j["error"] = st.error;
    return j;
}

void report_stop(reply_builder &r, console_session *cs, const dbg_stop &stop)
{
    r.obj["stopped"] = stop_json(stop);
    char t[128];
    snprintf(t, sizeof t, "stopped reason=%s pc=%04X pass=%" PRIu64 " cycles=%" PRIu64 " ", dbg_stop_name(stop.kind),
             stop.pc, stop.passes, orlo_timer_cycles());
    r.line(t + dbg_stop_text(stop));
}

// The type hook of the runner: keys queued by `type` are played at the
// frame passes.
void console_type_hook(const uint8 *, void *ctx)
{
    auto *cs = static_cast<console_session *>(ctx);
    if (cs->typing_on) type_schedule_before_poll(&cs->typing);
}

uint64 limited(const console_session *cs, uint64 passes) { return passes < cs->run_limit ? passes : cs->run_limit; }

// A front end's hooks with the keys of `type` played before its own.
const loop_hooks *s_front = nullptr;
void front_before_poll(const uint8 *frame, void *ctx)
{
    console_type_hook(frame, ctx);
    if (s_front->before_poll) s_front->before_poll(frame, s_front->ctx);
}
void front_after_poll(void *) { s_front->after_poll(s_front->ctx); }
bool front_frame_due(void *) { return s_front->frame_due(s_front->ctx); }

const loop_hooks *hooks_of(console_session *cs)
{
    static loop_hooks h;
    if (cs->hooks) {
        if (!cs->typing_on) return cs->hooks;
        s_front = cs->hooks;
        h = loop_hooks{front_before_poll, cs->hooks->after_poll ? front_after_poll : nullptr, cs,
                       cs->hooks->frame_due ? front_frame_due : nullptr};
        return &h;
    }
    h = loop_hooks{console_type_hook, nullptr, cs};
    return &h;
}

// Around a run: Ctrl-C stops it, the counts add up.
struct run_scope {
    console_session *cs;
    uint64 passes0, cycles0;
    explicit run_scope(console_session *c) : cs(c), passes0(ovix_machine_passes())
    {
        const orlo_time t = orlo_get_time();
        cycles0 = (uint64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
        s_interrupted = 0;
    }
    ~run_scope()
    {
        cs->passes += ovix_machine_passes() - passes0;
        cs->cycles += orlo_timer_cycles() - cycles0;
    }
};

// The stop of a run, with the console's interruption named.
dbg_stop finish_stop(dbg_stop stop)
{
    if (stop.kind == DBG_STOP_DEBUGGER && s_interrupted) stop.request = DBG_REQ_INTERRUPT;
    s_interrupted = 0;
    return stop;
}

// ---------------------------------------------------------------------------
// Commands.

struct command;
typedef void (*command_fn)(console_session *cs, const std::string &args, reply_builder &r);

struct command {
    const char *name;
    const char *aliases;   // space-separated
    const char *usage;
    const char *what;
    command_fn fn;
};

void cmd_help(console_session *, const std::string &args, reply_builder &r);

void cmd_break(console_session *, const std::string &args, reply_builder &r, bool temporary)
{
    std::string location, hits, condition, error;
    split_options(args, &location, &hits, &condition);
    if (location.empty()) return r.fail("break: an address or a label is needed (break LOCATION [hit N] [if CONDITION])");
    if (temporary && !hits.empty()) return r.fail("tbreak: a temporary breakpoint stops at its first hit (no hit count)");
    const int id = dbg_break_add(location.c_str(), condition.c_str(), hits.c_str(), temporary, &error);
    if (!id) return r.fail(error);
    const dbg_point *p = dbg_find(id);
    r.obj["breakpoint"] = point_json(*p);
    r.line(dbg_point_text(*p));
}

void cmd_break_plain(console_session *cs, const std::string &args, reply_builder &r) { cmd_break(cs, args, r, false); }
void cmd_tbreak(console_session *cs, const std::string &args, reply_builder &r) { cmd_break(cs, args, r, true); }

void cmd_watch(console_session *, const std::string &args, reply_builder &r)
{
    std::string rest = args;
    dbg_watch_kind kind = WATCH_WRITE;
    std::string copy = rest;
    const std::string first = first_word(&copy);
    if (dbg_parse_watch_kind(first.c_str(), &kind)) rest = copy;
    std::string range, hits, condition, error;
    split_options(rest, &range, &hits, &condition);
    if (range.empty())
        return r.fail("watch: a range is needed (watch [r|w|rw] ADDRESS|LABEL|FROM-TO|v[...] [hit N] [if CONDITION])");
    const int id = dbg_watch_add(kind, range.c_str(), condition.c_str(), hits.c_str(), &error);
    if (!id) return r.fail(error);
    const dbg_point *p = dbg_find(id);
    r.obj["watchpoint"] = point_json(*p);
    r.line(dbg_point_text(*p));
}

// The numbers of a command's arguments.
bool point_numbers(const std::string &args, std::vector<int> *ids, std::string *error)
{
    std::string rest = args;
    while (!rest.empty()) {
        const std::string w = first_word(&rest);
        uint64 n;
        if (!parse_count(w, &n) || n > 1000000000) {
            *error = "'" + w + "' is not a breakpoint or watchpoint number";
            return false;
        }
        if (!dbg_find((int)n)) {
            *error = "no breakpoint or watchpoint " + w;
            return false;
        }
        ids->push_back((int)n);
    }
    return true;
}

void cmd_delete(console_session *, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("delete: numbers or 'all' are needed");
    if (lower(args) == "all") {
        dbg_delete_all();
        return;
    }
    std::vector<int> ids;
    std::string error;
    if (!point_numbers(args, &ids, &error)) return r.fail(error);
    for (int id : ids) dbg_delete(id, &error);
}

void enable_points(const std::string &args, reply_builder &r, bool on)
{
    if (args.empty()) return r.fail(std::string(on ? "enable" : "disable") + ": numbers are needed");
    std::vector<int> ids;
    std::string error;
    if (!point_numbers(args, &ids, &error)) return r.fail(error);
    for (int id : ids) dbg_enable(id, on, &error);
}
void cmd_enable(console_session *, const std::string &args, reply_builder &r) { enable_points(args, r, true); }
void cmd_disable(console_session *, const std::string &args, reply_builder &r) { enable_points(args, r, false); }

void cmd_condition(console_session *, const std::string &args, reply_builder &r)
{
    std::string rest = args;
    const std::string w = first_word(&rest);
    std::vector<int> ids;
    std::string error;
    if (w.empty()) return r.fail("condition: a number is needed (condition N [CONDITION])");
    if (!point_numbers(w, &ids, &error)) return r.fail(error);
    if (!dbg_set_condition(ids[0], rest.c_str(), &error)) return r.fail(error);
    r.line(dbg_point_text(*dbg_find(ids[0])));
}

void cmd_list(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("list takes no arguments");
    json list = json::array();
    for (const dbg_point &p : dbg_points()) {
        list.push_back(point_json(p));
        r.line(dbg_point_text(p));
    }
    r.obj["points"] = list;
}

// A pass count argument: none (no limit) or a decimal count.
bool optional_count(const std::string &args, const char *name, uint64 *count, reply_builder &r)
{
    *count = UINT64_MAX;
    if (args.empty()) return true;
    if (parse_count(args, count)) return true;
    r.fail(std::string(name) + ": '" + args + "' is not a decimal count of passes");
    return false;
}

void cmd_step(console_session *cs, const std::string &args, reply_builder &r)
{
    uint64 n = 1;
    if (!args.empty() && !parse_count(args, &n)) return r.fail("step: '" + args + "' is not a decimal count of instructions");
    run_scope scope(cs);
    report_stop(r, cs, finish_stop(dbg_step(DBG_STEP_INTO, n, limited(cs, UINT64_MAX), hooks_of(cs))));
}

void step_kind(console_session *cs, const std::string &args, reply_builder &r, dbg_step_kind kind, const char *name)
{
    uint64 limit;
    if (!optional_count(args, name, &limit, r)) return;
    std::string error;
    run_scope scope(cs);
    const dbg_stop stop = dbg_step(kind, 1, limited(cs, limit), hooks_of(cs), &error);
    if (!error.empty()) return r.fail(std::string(name) + ": " + error);
    report_stop(r, cs, finish_stop(stop));
}
void cmd_next(console_session *cs, const std::string &args, reply_builder &r) { step_kind(cs, args, r, DBG_STEP_NEXT, "next"); }
void cmd_finish(console_session *cs, const std::string &args, reply_builder &r) { step_kind(cs, args, r, DBG_STEP_OUT, "finish"); }

void cmd_continue(console_session *cs, const std::string &args, reply_builder &r)
{
    uint64 limit;
    if (!optional_count(args, "continue", &limit, r)) return;
    run_scope scope(cs);
    report_stop(r, cs, finish_stop(dbg_run(LOOP_NO_TARGET, limited(cs, limit), hooks_of(cs))));
}

void cmd_until(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("until: an address or a label is needed");
    std::string error;
    if (!dbg_break_add(args.c_str(), nullptr, nullptr, true, &error, OWNER_RUN)) return r.fail("until: " + error);
    run_scope scope(cs);
    report_stop(r, cs, finish_stop(dbg_run(LOOP_NO_TARGET, limited(cs, UINT64_MAX), hooks_of(cs))));
}

void cmd_regs(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("regs takes no arguments");
    const orlo_time t = orlo_get_time();
    const uint64 cycles = (uint64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
    const uint8 sr = tms7000.sr;
    char line[200];
    snprintf(line, sizeof line,
             "regs pc=%04X sp=%02X sr=%02X a=%02X b=%02X flags=%c%c%c%c idle=%d pass=%" PRIu64 " cycles=%" PRIu64,
             tms7000.pc.w.l, tms7000.sp, sr, tms7000.rf[0], tms7000.rf[1], sr & SR_C ? 'C' : 'c', sr & SR_N ? 'N' : 'n',
             sr & SR_Z ? 'Z' : 'z', sr & SR_I ? 'I' : 'i', tms7000.idle_state, ovix_machine_passes(), cycles);
    r.line(line);
    r.obj["regs"] = {{"pc", tms7000.pc.w.l}, {"sp", tms7000.sp},  {"sr", sr},
                     {"a", tms7000.rf[0]},   {"b", tms7000.rf[1]}, {"c", (sr & SR_C) != 0},
                     {"n", (sr & SR_N) != 0}, {"z", (sr & SR_Z) != 0}, {"i", (sr & SR_I) != 0},
                     {"idle", tms7000.idle_state}, {"pass", ovix_machine_passes()}, {"cycles", cycles}};
}

// ADDRESS [LENGTH] of mem and vram; LENGTH hexadecimal like the address.
bool dump_args(const std::string &args, int64 limit, int64 *address, int64 *length, reply_builder &r, const char *name)
{
    std::string rest = args;
    const std::string a = first_word(&rest);
    if (a.empty()) {
        r.fail(std::string(name) + ": an address is needed (" + name + " ADDRESS [LENGTH])");
        return false;
    }
    std::string error;
    if (!eval_in(a, 0, limit, "address", address, &error, limit == 0xFFFF)) {
        r.fail(std::string(name) + ": " + error);
        return false;
    }
    *length = 0x40;
    if (!rest.empty() && !eval_in(rest, 1, MAX_DUMP_BYTES, "length", length, &error)) {
        r.fail(std::string(name) + ": " + error);
        return false;
    }
    if (*address + *length - 1 > limit) *length = limit - *address + 1;
    return true;
}

void dump_bytes(reply_builder &r, const char *prefix, int64 address, int64 length, uint8 (*read)(int))
{
    json bytes = json::array();
    for (int64 line = 0; line < length; line += 16) {
        char text[96];
        int n = snprintf(text, sizeof text, "%s%04X:", prefix, (unsigned)(address + line));
        for (int64 i = line; i < length && i < line + 16; i++) {
            const uint8 b = read((int)(address + i));
            bytes.push_back(b);
            n += snprintf(text + n, sizeof text - (size_t)n, " %02X", b);
        }
        r.line(text);
    }
    r.obj["address"] = address;
    r.obj["bytes"] = bytes;
}

uint8 vram_byte(int a) { return get_vram(a); }

void cmd_mem(console_session *, const std::string &args, reply_builder &r)
{
    int64 address, length;
    if (!dump_args(args, 0xFFFF, &address, &length, r, "mem")) return;
    // Read without side effects: the ports show what a read would give.
    dump_bytes(r, "", address, length, bus_peek);
}

void cmd_vram(console_session *, const std::string &args, reply_builder &r)
{
    int64 address, length;
    if (!dump_args(args, 0x7FFF, &address, &length, r, "vram")) return;
    dump_bytes(r, "v", address, length, vram_byte);
}

void cmd_dasm(console_session *, const std::string &args, reply_builder &r)
{
    std::string rest = args;
    const std::string a = first_word(&rest);
    int64 address = tms7000.pc.w.l, lines = 10;
    std::string error;
    if (!a.empty() && !eval_in(a, 0, 0xFFFF, "address", &address, &error, true)) return r.fail("dasm: " + error);
    if (!rest.empty()) {
        uint64 n;
        if (!parse_count(rest, &n) || n > (uint64)MAX_DASM_LINES)
            return r.fail("dasm: '" + rest + "' is not a decimal count of instructions from 1 to 1000");
        lines = (int64)n;
    }
    json list = json::array();
    no_trace();
    unsigned at = (unsigned)address;
    for (int64 i = 0; i < lines; i++) {
        const std::string label = label_line(at & 0xFFFF, false);
        if (!label.empty()) r.line(label.substr(0, label.size() - 1));
        char line[400];
        const unsigned len = disass_line(line, sizeof line, at);
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        const int mark = dbg_break_mark((uint16)at);
        r.line(std::string(mark == 1 ? "*" : mark == 2 ? "o" : " ") + (at == tms7000.pc.w.l ? ">" : " ") + text);
        list.push_back({{"address", at & 0xFFFF}, {"length", len}, {"text", text.size() > 17 ? text.substr(17) : ""},
                        {"label", label.empty() ? "" : label.substr(0, label.size() - 1)}});
        at = (at + len) & 0xFFFF;
    }
    restore_trace();
    r.obj["instructions"] = list;
}

void cmd_bt(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("bt takes no arguments");
    const std::vector<dbg_frame> frames = dbg_call_stack();
    json list = json::array();
    char head[96];
    snprintf(head, sizeof head, "#0 %04X", tms7000.pc.w.l);
    std::string first = head;
    if (const char *name = symbols_name(tms7000.pc.w.l)) first += std::string(" (") + name + ")";
    r.line(first + " (the program counter)");
    for (size_t i = 0; i < frames.size(); i++) {
        const dbg_frame &f = frames[i];
        r.line(dbg_frame_text(f, (int)i + 1));
        static const char *const kinds[] = {"call", "trap", "interrupt"};
        list.push_back({{"kind", kinds[f.kind]}, {"entry", f.entry}, {"return", f.return_pc}, {"from", f.call_pc},
                        {"sp", f.sp}, {"found", f.found}, {"changed", f.changed}, {"text", dbg_frame_text(f, (int)i + 1)}});
    }
    r.obj["pc"] = tms7000.pc.w.l;
    r.obj["frames"] = list;
}

void cmd_history(console_session *cs, const std::string &args, reply_builder &r)
{
    std::string rest = args;
    const std::string w = lower(first_word(&rest));
    if (w == "on" || w == "off") {
        if (!rest.empty()) return r.fail("history " + w + " takes nothing more");
        dbg_history_enable(w == "on");
        return;
    }
    if (w == "clear") return dbg_history_clear();
    if (w == "save") {
        if (rest.empty()) return r.fail("history save: a file name is needed");
        if (!cs->files) return r.fail("history save: no files here");
        std::string error;
        if (!dbg_history_save(rest.c_str(), &error)) r.fail("history save: " + error);
        return;
    }
    uint64 n = 20;
    if (!w.empty() && (!parse_count(w, &n) || !rest.empty()))
        return r.fail("history: N (a decimal count), on, off, clear or save FILE");
    if (!dbg_history_enabled() && dbg_history_size() == 0)
        r.line("; the history is off: 'history on' records the instructions of the next runs");
    json list = json::array();
    for (size_t i = 0; i < dbg_history_size() && i < n; i++) {
        const dbg_history_entry &e = dbg_history_at(i);
        r.line(dbg_history_text(e));
        list.push_back({{"pc", e.pc}, {"pass", e.passes}, {"cycles", e.cycles}, {"length", e.length},
                        {"repeat", e.repeat}, {"a", e.a}, {"b", e.b}, {"sp", e.sp}, {"sr", e.sr},
                        {"interrupt", e.interrupt}, {"entry", e.entry}, {"text", dbg_history_text(e)}});
    }
    r.obj["history"] = list;
}

void cmd_eval(console_session *, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("eval: an expression is needed");
    int64 v;
    std::string error;
    if (!expr_evaluate(args.c_str(), &v, &error)) return r.fail("eval: " + error);
    r.line("value " + expr_value_text(v));
    r.obj["value"] = v;
}

void cmd_set(console_session *, const std::string &args, reply_builder &r)
{
    std::string error;
    if (!expr_set(args.c_str(), &error)) return r.fail("set: " + error);
    tl_note_change();   // an input of the timeline
}

void cmd_type(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("type: a text is needed");
    std::string error;
    type_schedule s;
    if (!type_schedule_init(&s, args.c_str(), &error)) {
        // The runner's message names its option; here it is the command's.
        const std::string option = "--type: ";
        if (error.rfind(option, 0) == 0) error = error.substr(option.size());
        return r.fail("type: " + error);
    }
    // Typing in the past changes the future: live input from here.
    if (tl_replaying()) tl_drop_future();
    if (cs->typing_on && !type_schedule_done(&cs->typing)) {
        // Queued after what is still to be typed.
        cs->typing.keys.insert(cs->typing.keys.end(), s.keys.begin(), s.keys.end());
    } else {
        // The previous schedule's key, if it still holds one, goes up first.
        if (cs->typing_on && cs->typing.held >= 0)
            cs->key_change ? cs->key_change(cs->typing.held, false) : (void)(ovix_key_down[cs->typing.held] = 0);
        cs->typing = s;
        cs->typing.key_change = cs->key_change;
        cs->typing_on = true;
    }
}

void cmd_save(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("save: a file name is needed");
    if (!cs->files) return r.fail("save: no files here");
    std::string error;
    if (!snapshot_save(args.c_str(), snapshot_counts{cs->passes, cs->cycles}, &error)) return r.fail("save: " + error);
}

void cmd_load(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("load: a file name is needed");
    if (!cs->files) return r.fail("load: no files here");
    std::string error;
    if (!snapshot_load(args.c_str(), &error)) return r.fail("load: " + error);
    dbg_forget_frames();
    tl_restart();   // another machine: a new timeline
}

void cmd_screenshot(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("screenshot: a file name is needed");
    if (!cs->files) return r.fail("screenshot: no files here");
    if (const char *e = png_write_screenshot(args.c_str())) r.fail(std::string("screenshot: ") + e);
}

void cmd_symbols(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("symbols: a file name is needed");
    if (!cs->files) return r.fail("symbols: no files here");
    if (const char *e = symbols_load(args.c_str())) return r.fail(std::string("symbols: ") + e);
    r.line("symbols " + std::to_string(symbols_count()));
    r.obj["symbols"] = symbols_count();
}

void cmd_reset(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("reset takes no arguments");
    ovix_reset();
    dbg_forget_frames();
}

void cmd_quit(console_session *cs, const std::string &, reply_builder &) { cs->quit = true; }

// ===========================================================================
// Commands for editors and debug adapters (ovix-dap): source lines from the
// assembler's debug information, breakpoints kept by owner, steps by source
// line, the peripheral file and video registers, memory ranges, instruction
// lists with their lines, the program's names.

json place_json(const srcmap_place &p)
{
    if (p.file < 0) return json::object();
    return {{"file", srcmap_file(p.file)}, {"line", p.line}};
}

std::string place_text(const srcmap_place &p) { return srcdbg_place_text(p); }

// The name of the routine an address belongs to: the label of `entry`
// (the routine's first instruction, -1 when unknown) when no other
// routine's label lies between it and the address, else the nearest label
// at or below the address and the distance ("loop+4"), else the address.
std::string routine_name(uint16 address, int32 entry)
{
    std::string near;
    unsigned near_at = 0;
    if (const srcmap_symbol *l = srcmap_label_before(address)) {
        near = l->name;
        near_at = (unsigned)l->value;
    } else {
        for (unsigned back = 0; back < 256 && back <= address; back++)
            if (const char *n = symbols_name((uint16)(address - back))) {
                near = n;
                near_at = address - back;
                break;
            }
    }
    if (entry >= 0 && entry <= address) {
        std::string e;
        if (const char *n = symbols_name((uint16)entry)) e = n;
        for (const srcmap_symbol &s : srcmap_symbols())
            if (e.empty() && s.kind == "label" && s.value == entry) e = s.name;
        if (!e.empty() && (near.empty() || near_at <= (unsigned)entry || near.find('.') != std::string::npos)) return e;
    }
    char t[16];
    if (near.empty()) {
        snprintf(t, sizeof t, "%04X", address);
        return t;
    }
    if (near_at == address) return near;
    snprintf(t, sizeof t, "+%X", address - near_at);
    return near + t;
}

void cmd_debuginfo(console_session *cs, const std::string &args, reply_builder &r)
{
    if (lower(args) == "clear") {
        srcdbg_clear();
    } else if (!args.empty()) {
        if (!cs->files) return r.fail("debuginfo: no files here");
        std::string error;
        if (!srcdbg_load(args.c_str(), &error)) return r.fail("debuginfo: " + error);
    }
    json files = json::array();
    for (size_t i = 0; i < srcmap_file_count(); i++) {
        files.push_back(srcmap_file((int)i));
        r.line("file " + srcmap_file((int)i));
    }
    r.obj["loaded"] = srcmap_loaded_files();
    r.obj["files"] = files;
    r.obj["symbols"] = srcmap_symbols().size();
    r.line("debuginfo " + std::to_string(srcmap_loaded_files().size()) + " loaded, " +
           std::to_string(srcmap_file_count()) + " source files, " + std::to_string(srcmap_symbols().size()) + " symbols");
}

void cmd_unwritten(console_session *, const std::string &args, reply_builder &r)
{
    const std::string w = lower(args);
    if (w != "on" && w != "off" && !w.empty()) return r.fail("unwritten: on or off");
    if (!w.empty()) srcdbg_set_unwritten_stop(w == "on");
    srcdbg_apply_unwritten();
    r.obj["unwritten"] = srcdbg_unwritten_stop();
    r.obj["ranges"] = dbg_unwritten_set() ? srcmap_unwritten().size() : 0;
    r.line(std::string("unwritten ") + (srcdbg_unwritten_stop() ? "on" : "off") +
           (srcdbg_unwritten_stop() && !srcmap_loaded() ? " (no debug information is loaded)" : ""));
}

void cmd_line(console_session *, const std::string &args, reply_builder &r)
{
    int64 address = tms7000.pc.w.l;
    std::string error;
    if (!args.empty() && !eval_in(args, 0, 0xFFFF, "address", &address, &error, true)) return r.fail("line: " + error);
    char head[32];
    snprintf(head, sizeof head, "line %04X ", (unsigned)address);
    r.obj["address"] = address;
    const srcmap_line *l = srcmap_line_at((uint16)address);
    if (!l) {
        std::string t = head + std::string("no source line");
        if (const srcmap_symbol *s = srcmap_label_before((uint16)address)) t += " (after label " + s->name + ")";
        r.line(t);
        return;
    }
    std::string t = head + place_text(l->at);
    json exp = json::array();
    for (const srcmap_call &c : l->expansion) {
        t += " in " + c.macro + " called at " + place_text(c.at);
        json j = place_json(c.at);
        j["macro"] = c.macro;
        exp.push_back(j);
    }
    r.line(t);
    r.obj["file"] = srcmap_file(l->at.file);
    r.obj["line"] = l->at.line;
    r.obj["start"] = l->address;
    r.obj["code"] = l->code;
    r.obj["expansion"] = exp;
    r.obj["statement"] = place_json(srcmap_statement(*l));
}

void cmd_frames(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("frames takes no arguments");
    const std::vector<dbg_frame> frames = dbg_call_stack();
    json list = json::array();
    // Frame i is where the machine is in the routine frames[i - 1] left.
    for (size_t i = 0; i <= frames.size(); i++) {
        const uint16 at = i == 0 ? tms7000.pc.w.l : frames[i - 1].kind == FRAME_INTERRUPT ? frames[i - 1].return_pc
                                                                                          : frames[i - 1].call_pc;
        const int32 entry = i < frames.size() ? frames[i].entry : -1;
        const std::string name = routine_name(at, entry);
        const srcmap_place p = srcmap_statement_at(at);
        json j = {{"pc", at}, {"name", name}};
        if (p.file >= 0) {
            j["file"] = srcmap_file(p.file);
            j["line"] = p.line;
        }
        if (i > 0) j["kind"] = frames[i - 1].kind == FRAME_INTERRUPT ? "interrupt" : frames[i - 1].kind == FRAME_TRAP ? "trap" : "call";
        char t[48];
        snprintf(t, sizeof t, "#%zu %04X in ", i, at);
        r.line(t + name + (p.file >= 0 ? " at " + place_text(p) : ""));
        list.push_back(j);
    }
    r.obj["frames"] = list;
}

// "FILE:LINE" with FILE in double quotes when it holds blanks.
bool split_file_line(const std::string &text, std::string *file, int *line, std::string *rest)
{
    std::string where = text;
    *rest = "";
    if (!where.empty() && where[0] == '"') {
        const size_t q = where.find('"', 1);
        if (q == std::string::npos || q + 1 >= where.size() || where[q + 1] != ':') return false;
        *file = where.substr(1, q - 1);
        where = where.substr(q + 1);
    } else {
        const size_t sp = where.find_first_of(" \t");
        if (sp != std::string::npos) {
            *rest = trim(where.substr(sp));
            where = where.substr(0, sp);
        }
        const size_t colon = where.rfind(':');
        if (colon == std::string::npos || colon == 0) return false;
        *file = where.substr(0, colon);
        where = where.substr(colon);
    }
    // where is ":LINE" (and, in the quoted form, what follows).
    size_t i = 1;
    uint64 n = 0;
    while (i < where.size() && isdigit((unsigned char)where[i]) && n <= 100000000) n = n * 10 + (uint64)(where[i++] - '0');
    if (i == 1 || n == 0 || n > 100000000) return false;
    if (i < where.size()) {
        if (where[i] != ' ' && where[i] != '\t') return false;
        *rest = trim(where.substr(i));
    }
    *line = (int)n;
    return true;
}

void cmd_breakline(console_session *, const std::string &args, reply_builder &r)
{
    std::string file, rest, location, hits, condition, error;
    int line = 0;
    if (!split_file_line(args, &file, &line, &rest))
        return r.fail("breakline: FILE:LINE is needed (breakline game.asm:12 [hit N] [if CONDITION])");
    split_options(rest, &location, &hits, &condition);
    if (!location.empty()) return r.fail("breakline: '" + location + "' after FILE:LINE is neither 'hit N' nor 'if CONDITION'");
    if (!srcmap_loaded()) return r.fail("breakline: no debug information is loaded (debuginfo FILE)");
    int at = 0;
    std::vector<uint16> placed;
    const std::vector<int> made =
        srcdbg_break_line(file, line, condition.c_str(), hits.c_str(), OWNER_SOURCE, &at, &placed, &error);
    if (made.empty()) return r.fail("breakline: " + error);
    const int f = srcmap_find_file(file.c_str());
    json ids = json::array(), addresses = json::array();
    std::string text = "breakline " + place_text({f, at}) + ":";
    for (size_t i = 0; i < made.size(); i++) {
        ids.push_back(made[i]);
        addresses.push_back(placed[i]);
        char t[48];
        snprintf(t, sizeof t, " %d at %04X", made[i], placed[i]);
        text += t;
    }
    r.line(text);
    r.obj["file"] = srcmap_file(f);
    r.obj["line"] = at;
    r.obj["ids"] = ids;
    r.obj["addresses"] = addresses;
}

// A breakpoint or watchpoint of a front end's kind.
void owned_point(const std::string &args, reply_builder &r, dbg_owner owner, const char *name)
{
    std::string rest = args;
    dbg_watch_kind kind = WATCH_WRITE;
    if (owner == OWNER_DATA) {
        std::string copy = rest;
        if (dbg_parse_watch_kind(first_word(&copy).c_str(), &kind)) rest = copy;
    }
    std::string location, hits, condition, error;
    split_options(rest, &location, &hits, &condition);
    if (location.empty()) return r.fail(std::string(name) + ": a location is needed (help " + name + ")");
    int id = 0;
    if (owner == OWNER_DATA) {
        id = dbg_watch_add(kind, location.c_str(), condition.c_str(), hits.c_str(), &error, OWNER_DATA);
    } else if (owner == OWNER_FUNCTION) {
        uint16 address = 0;
        const srcmap_symbol *s = srcmap_symbol_named(location);
        if (symbols_address(location.c_str(), &address) || (s && s->kind == "label")) {
            if (s && s->kind == "label" && !symbols_address(location.c_str(), &address)) address = (uint16)s->value;
            id = dbg_break_add_at(address, location.c_str(), condition.c_str(), hits.c_str(), &error, OWNER_FUNCTION);
        } else {
            error = "'" + location + "' is not a label of the program";
        }
    } else {
        id = dbg_break_add(location.c_str(), condition.c_str(), hits.c_str(), false, &error, owner);
    }
    if (!id) return r.fail(std::string(name) + ": " + error);
    const dbg_point *p = dbg_find(id);
    r.obj[p->watch ? "watchpoint" : "breakpoint"] = point_json(*p);
    r.line(dbg_point_text(*p));
}
void cmd_fbreak(console_session *, const std::string &args, reply_builder &r) { owned_point(args, r, OWNER_FUNCTION, "fbreak"); }
void cmd_ibreak(console_session *, const std::string &args, reply_builder &r) { owned_point(args, r, OWNER_INSTRUCTION, "ibreak"); }
void cmd_dwatch(console_session *, const std::string &args, reply_builder &r) { owned_point(args, r, OWNER_DATA, "dwatch"); }

void cmd_clear(console_session *, const std::string &args, reply_builder &r)
{
    static const struct {
        const char *name;
        dbg_owner owner;
    } kinds[] = {{"source", OWNER_SOURCE}, {"instruction", OWNER_INSTRUCTION}, {"function", OWNER_FUNCTION}, {"data", OWNER_DATA}};
    for (const auto &k : kinds)
        if (lower(args) == k.name) return dbg_delete_owner(k.owner);
    r.fail("clear: source, instruction, function or data");
}

// Steps by source line (srcdbg_line_step).
void line_step(console_session *cs, const std::string &args, reply_builder &r, bool into, const char *name)
{
    uint64 limit;
    if (!optional_count(args, name, &limit, r)) return;
    const srcmap_place start = srcmap_statement_at(tms7000.pc.w.l);
    if (start.file < 0) {
        // No source line here (no debug information, or code without it):
        // one instruction, as step or next.
        if (into) return cmd_step(cs, "", r);
        return step_kind(cs, args, r, DBG_STEP_NEXT, name);
    }
    run_scope scope(cs);
    dbg_stop stop = srcdbg_line_step(into, limited(cs, limit), hooks_of(cs), &s_interrupted);
    stop = finish_stop(stop);
    if (stop.kind == DBG_STOP_STEP) stop.step = into ? DBG_STEP_INTO : DBG_STEP_NEXT;
    report_stop(r, cs, stop);
    const srcmap_place p = srcmap_statement_at(tms7000.pc.w.l);
    if (p.file >= 0) {
        r.obj["stopped"]["file"] = srcmap_file(p.file);
        r.obj["stopped"]["line"] = p.line;
        r.line("at " + place_text(p));
    }
}
void cmd_lstep(console_session *cs, const std::string &args, reply_builder &r) { line_step(cs, args, r, true, "lstep"); }
void cmd_lnext(console_session *cs, const std::string &args, reply_builder &r) { line_step(cs, args, r, false, "lnext"); }

// Back in time by source line (srcdbg_line_back).
void cmd_lback(console_session *cs, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("lback takes no arguments");
    std::string error;
    const dbg_stop stop = srcdbg_line_back(&error);
    if (stop.kind == DBG_STOP_NONE) return r.fail("lback: " + error);
    report_stop(r, cs, stop);
    const srcmap_place p = srcmap_statement_at(tms7000.pc.w.l);
    if (p.file >= 0) {
        r.obj["stopped"]["file"] = srcmap_file(p.file);
        r.obj["stopped"]["line"] = p.line;
        r.line("at " + place_text(p));
    }
}

void cmd_pfile(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("pfile takes no arguments");
    static const struct {
        int n;
        const char *name;
    } regs[] = {{0, "IOCNT0"}, {1, "P1"},    {2, "T1DATA"}, {3, "T1CTL"}, {4, "APORT"}, {5, "P5"},
                {6, "BPORT"},  {7, "P7"},    {8, "CPORT"},  {9, "CDDR"},  {10, "DPORT"}, {11, "DDDR"},
                {36, "VDATA"}, {48, "MAILBOX"}};
    json list = json::array();
    for (const auto &g : regs) {
        const uint8 v = bus_peek(0x100 + g.n);
        char t[64];
        snprintf(t, sizeof t, "P%-2d %04X %-7s %02X", g.n, 0x100 + g.n, g.name, v);
        r.line(t);
        list.push_back({{"number", g.n}, {"address", 0x100 + g.n}, {"name", g.name}, {"value", v}});
    }
    r.obj["registers"] = list;
}

void cmd_vregs(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("vregs takes no arguments");
    json list = json::array();
    auto add = [&](const char *name, int number, unsigned value, int digits) {
        char t[64];
        snprintf(t, sizeof t, "%-12s %0*X", name, digits, value);
        r.line(t);
        json j = {{"name", name}, {"value", value}, {"bits", digits * 4}};
        if (number >= 0) j["number"] = number;
        list.push_back(j);
    };
    for (int i = 1; i < 8; i++) add(vdp_name[i], i, vdp_regs8[i], 2);
    for (int i = 8; i < 16; i++) add(vdp_name[i], i, vdp_regs16[i - 8], 4);
    add("ACMP", -1, vdp_acmp, 4);
    add("ACMPXY", -1, vdp_acmpxy, 4);
    r.obj["registers"] = list;
    r.obj["acmpxy_mode"] = vdp_acmpxy_mode == dma_read ? "read" : "write";
}

void cmd_write(console_session *, const std::string &args, reply_builder &r)
{
    std::string rest = args;
    const std::string a = first_word(&rest);
    if (a.empty() || rest.empty()) return r.fail("write: ADDRESS BYTES is needed (write C000 01 02 0A or write C000 01020A)");
    int64 address;
    std::string error;
    if (!eval_in(a, 0, 0xFFFF, "address", &address, &error, true)) return r.fail("write: " + error);
    std::vector<uint8> bytes;
    std::string digits;
    for (char c : rest) {
        if (c == ' ' || c == '\t') continue;
        if (!isxdigit((unsigned char)c)) return r.fail(std::string("write: '") + c + "' is not a hexadecimal digit");
        digits += c;
    }
    if (digits.size() % 2) return r.fail("write: the bytes are pairs of hexadecimal digits (an odd count was given)");
    for (size_t i = 0; i < digits.size(); i += 2) bytes.push_back((uint8)std::stoi(digits.substr(i, 2), nullptr, 16));
    if (address + (int64)bytes.size() > 0x10000) return r.fail("write: the bytes run past FFFF");
    for (size_t i = 0; i < bytes.size(); i++) {
        expr_target t;
        t.kind = TARGET_MEM;
        t.index = (uint32)(address + (int64)i);
        expr_assign(t, bytes[i], &error);
    }
    tl_note_change();   // an input of the timeline, as set
    r.obj["written"] = bytes.size();
    r.line("written " + std::to_string(bytes.size()));
}

// The start of the instruction before `address`: the line that ends there
// when the debug information has one, else the longest instruction whose
// length brings it there.
uint16 previous_instruction(uint16 address)
{
    if (const srcmap_line *l = srcmap_line_at((uint16)(address - 1)))
        if (l->code && l->address + l->size == address) return l->address;
    for (unsigned back = 4; back >= 1; back--)
        if (dasm_length(bus_peek((address - back) & 0xFFFF)) == back) return (uint16)(address - back);
    return (uint16)(address - 1);
}

void cmd_instructions(console_session *, const std::string &args, reply_builder &r)
{
    std::string rest = args;
    const std::string a = first_word(&rest);
    const std::string n = first_word(&rest);
    const std::string b = first_word(&rest);
    int64 address;
    uint64 count = 10, before = 0;
    std::string error;
    if (a.empty() || !rest.empty()) return r.fail("instructions: ADDRESS [COUNT] [BEFORE] is needed");
    if (!eval_in(a, 0, 0xFFFF, "address", &address, &error, true)) return r.fail("instructions: " + error);
    if (!n.empty() && (!parse_count(n, &count) || count > (uint64)MAX_DASM_LINES))
        return r.fail("instructions: '" + n + "' is not a decimal count from 1 to 1000");
    if (!b.empty() && (!parse_count(b, &before, true) || before > (uint64)MAX_DASM_LINES))
        return r.fail("instructions: '" + b + "' is not a decimal count from 0 to 1000");
    no_trace();
    uint16 at = (uint16)address;
    for (uint64 i = 0; i < before; i++) at = previous_instruction(at);
    json list = json::array();
    for (uint64 i = 0; i < count + before; i++) {
        char line[400];
        const unsigned len = disass_line(line, sizeof line, at);
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        text = text.size() > 17 ? trim(text.substr(17)) : "";
        std::string bytes;
        for (unsigned k = 0; k < len; k++) {
            char t[4];
            snprintf(t, sizeof t, "%02X", bus_peek((at + k) & 0xFFFF));
            bytes += t;
        }
        json j = {{"address", at}, {"length", len}, {"bytes", bytes}, {"text", text}};
        std::string label = label_line(at, false);
        if (!label.empty()) {
            label = label.substr(0, label.find(':'));
            j["label"] = label;
        }
        const srcmap_place p = srcmap_statement_at(at);
        if (p.file >= 0) {
            j["file"] = srcmap_file(p.file);
            j["line"] = p.line;
        }
        char t[48];
        snprintf(t, sizeof t, "%04X %-8s ", at, bytes.c_str());
        r.line(t + text + (p.file >= 0 ? "    ; " + place_text(p) : ""));
        list.push_back(j);
        at = (uint16)(at + len);
    }
    restore_trace();
    r.obj["instructions"] = list;
}

void cmd_names(console_session *, const std::string &args, reply_builder &r)
{
    json list = json::array();
    auto add = [&](const std::string &name, const std::string &kind, bool has_value, int64 value, const srcmap_place &at) {
        json j = {{"name", name}, {"kind", kind}};
        std::string t = name + " " + kind;
        if (has_value) {
            j["value"] = value;
            t += " " + expr_value_text(value);
        }
        if (at.file >= 0) {
            j["file"] = srcmap_file(at.file);
            j["line"] = at.line;
        }
        r.line(t);
        list.push_back(j);
    };
    if (!args.empty()) {
        if (const srcmap_symbol *s = srcmap_symbol_named(args)) {
            add(s->name, s->kind, s->has_value, s->value, s->at);
        } else {
            uint16 address;
            if (!symbols_address(args.c_str(), &address)) return r.fail("names: no name '" + args + "'");
            add(args, "label", true, address, {});
        }
    } else if (srcmap_loaded()) {
        for (const srcmap_symbol &s : srcmap_symbols()) add(s.name, s.kind, s.has_value, s.value, s.at);
    } else {
        for (unsigned a = 0; a < 0x10000; a++)
            for (size_t i = 0; const char *n = symbols_name_at((uint16)a, i); i++) add(n, "label", true, a, {});
    }
    r.obj["names"] = list;
}

void cmd_log(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("log takes no arguments");
    trace_flush();
    static char text[TRACE_RING_LINES * TRACE_LINE_SIZE + 1];
    get_log_str(text, sizeof text);
    clear_log_str();
    json lines = json::array();
    for (const char *at = text; *at;) {
        const char *nl = strchr(at, '\n');
        const std::string line = nl ? std::string(at, (size_t)(nl - at)) : std::string(at);
        r.line(line);
        lines.push_back(line);
        at = nl ? nl + 1 : at + line.size();
    }
    r.obj["lines"] = lines;
}

// ===========================================================================

// ---------------------------------------------------------------------------
// Time travel (state/timeline.h).

void back_result(reply_builder &r, console_session *cs, const char *name, const dbg_stop &stop,
                 const std::string &error)
{
    if (stop.kind == DBG_STOP_NONE) return r.fail(std::string(name) + ": " + error);
    report_stop(r, cs, stop);
}

void cmd_reverse_step(console_session *cs, const std::string &args, reply_builder &r)
{
    uint64 n = 1;
    if (!args.empty() && !parse_count(args, &n))
        return r.fail("reverse-step: '" + args + "' is not a decimal count of passes");
    std::string error;
    const uint64 now = ovix_machine_passes();
    const dbg_stop stop = n == 1 ? tl_step_back(&error) : tl_goto(now >= n ? now - n : 0, &error);
    back_result(r, cs, "reverse-step", stop, error);
}

void cmd_reverse_next(console_session *cs, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("reverse-next takes no arguments");
    std::string error;
    back_result(r, cs, "reverse-next", tl_step_back_over(&error), error);
}

void cmd_reverse_continue(console_session *cs, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("reverse-continue takes no arguments");
    std::string error;
    back_result(r, cs, "reverse-continue", tl_reverse_continue(&error), error);
}

void cmd_goto(console_session *cs, const std::string &args, reply_builder &r)
{
    uint64 pass;
    if (!parse_count(args, &pass, true)) return r.fail("goto: a pass (a decimal count) is needed");
    std::string error;
    back_result(r, cs, "goto", tl_goto(pass, &error), error);
}

void cmd_timeline(console_session *, const std::string &args, reply_builder &r)
{
    if (!args.empty()) return r.fail("timeline takes no arguments");
    if (!tl_active()) return r.fail("timeline: no time is recorded");
    char line[200];
    snprintf(line, sizeof line, "timeline begin=%" PRIu64 " end=%" PRIu64 " present=%" PRIu64 " keyframes=%zu memory=%zu",
             tl_begin_pass(), tl_end_pass(), ovix_machine_passes(), tl_keyframes(), tl_memory());
    r.line(line);
    r.obj["timeline"] = {{"begin", tl_begin_pass()}, {"end", tl_end_pass()}, {"present", ovix_machine_passes()},
                         {"keyframes", tl_keyframes()}, {"memory", tl_memory()}};
}

void cmd_source(console_session *cs, const std::string &args, reply_builder &r);

const command commands[] = {
    {"help", "h ?", "help [COMMAND]", "the commands, or one command's use", cmd_help},
    {"break", "b", "break LOCATION [hit N] [if CONDITION]",
     "a breakpoint at an address or label (an expression: tick, 60C4, tick+3); N: from the Nth hit on (=N the Nth "
     "only, >N, %N every Nth)",
     cmd_break_plain},
    {"tbreak", "", "tbreak LOCATION [if CONDITION]", "a breakpoint deleted by its first stop", cmd_tbreak},
    {"watch", "w", "watch [r|w|rw] RANGE [hit N] [if CONDITION]",
     "a watchpoint (w by default) on ADDRESS, LABEL, FROM-TO or v[...] (video memory); the condition may name value "
     "and old",
     cmd_watch},
    {"delete", "d", "delete N... | delete all", "delete breakpoints and watchpoints", cmd_delete},
    {"enable", "", "enable N...", "enable breakpoints and watchpoints", cmd_enable},
    {"disable", "", "disable N...", "disable them (they stop nothing but keep their counts)", cmd_disable},
    {"condition", "", "condition N [CONDITION]", "a new condition (none: always)", cmd_condition},
    {"list", "info l", "list", "the breakpoints and watchpoints", cmd_list},
    {"step", "s stepi si", "step [N]", "N instructions (1)", cmd_step},
    {"next", "n", "next [LIMIT]", "one instruction, over calls, traps and interrupts", cmd_next},
    {"finish", "fin", "finish [LIMIT]", "until the routine returns (step out)", cmd_finish},
    {"continue", "c cont", "continue [N]", "run until a stop, at most N passes", cmd_continue},
    {"until", "u", "until LOCATION", "run to a location (a temporary breakpoint)", cmd_until},
    {"regs", "registers", "regs", "the registers", cmd_regs},
    {"mem", "x", "mem ADDRESS [LENGTH]", "bytes of the CPU's space (read without side effects)", cmd_mem},
    {"vram", "", "vram ADDRESS [LENGTH]", "bytes of video memory", cmd_vram},
    {"dasm", "disassemble", "dasm [ADDRESS] [N]", "N instructions (10) from ADDRESS (pc); * marks a breakpoint, > the pc",
     cmd_dasm},
    {"bt", "backtrace where", "bt", "the call stack, innermost first", cmd_bt},
    {"history", "", "history [N] | history on|off|clear | history save FILE",
     "the last N (20) executed instructions, newest first; recording is off until 'history on'", cmd_history},
    {"eval", "print p", "eval EXPRESSION", "an expression's value", cmd_eval},
    {"set", "", "set TARGET=VALUE", "change a register, flag, Rn, Pn, [addr], w[addr] or v[addr]", cmd_set},
    {"type", "", "type TEXT", "type on the machine's keyboard during the next runs (as --type)", cmd_type},
    {"save", "", "save FILE", "a snapshot of the machine", cmd_save},
    {"load", "", "load FILE", "the machine from a snapshot", cmd_load},
    {"screenshot", "", "screenshot FILE.png", "the picture as PNG", cmd_screenshot},
    {"symbols", "", "symbols FILE", "load a symbol file", cmd_symbols},
    {"reset", "", "reset", "reset the machine", cmd_reset},
    {"source", "", "source FILE", "run the commands of a file", cmd_source},
    // ---- For editors and debug adapters (source lines, owners, ranges) ----
    {"debuginfo", "", "debuginfo [FILE | clear]",
     "load the debug information of ovix-asm --debug-info (several add up); list the source files", cmd_debuginfo},
    {"unwritten", "", "unwritten [on|off]",
     "stop at a byte no source line produced (on by default; with debug information)", cmd_unwritten},
    {"line", "", "line [ADDRESS]", "the source line of an address (the pc), with its macro calls", cmd_line},
    {"frames", "", "frames", "the call stack as source lines: the pc, then each caller's line", cmd_frames},
    {"breakline", "bl", "breakline FILE:LINE [hit N] [if CONDITION]",
     "breakpoints at a source line (the next line with code), one per place its code went", cmd_breakline},
    {"fbreak", "", "fbreak LABEL [hit N] [if CONDITION]", "a breakpoint at a routine's label (function breakpoint)", cmd_fbreak},
    {"ibreak", "", "ibreak ADDRESS [hit N] [if CONDITION]", "a breakpoint at an instruction's address", cmd_ibreak},
    {"dwatch", "", "dwatch [r|w|rw] RANGE [hit N] [if CONDITION]", "a watchpoint of the data kind (as watch)", cmd_dwatch},
    {"clear", "", "clear source|instruction|function|data",
     "delete every point of a kind (breakline, ibreak, fbreak, dwatch)", cmd_clear},
    {"lstep", "linestep", "lstep [LIMIT]",
     "one source line, into routines that have source lines (one instruction where the pc has none)", cmd_lstep},
    {"lnext", "linenext", "lnext [LIMIT]", "one source line, over calls, traps and interrupts (next where the pc has none)",
     cmd_lnext},
    {"lback", "reverse-line", "lback", "back in time to the start of the previous source line this routine ran (over calls)",
     cmd_lback},
    {"pfile", "", "pfile", "the peripheral file, the video data port and the mailbox (read without side effects)",
     cmd_pfile},
    {"vregs", "", "vregs", "the video chip's registers and pointers", cmd_vregs},
    {"write", "", "write ADDRESS BYTES", "bytes into the CPU's space from ADDRESS (as set [addr] does)", cmd_write},
    {"instructions", "", "instructions ADDRESS [COUNT] [BEFORE]",
     "COUNT (10) instructions from BEFORE (0) instructions before ADDRESS, with bytes, labels and source lines",
     cmd_instructions},
    {"names", "", "names [NAME]", "the program's names with kind, value and definition (or one name)", cmd_names},
    {"log", "", "log", "the trace lines written since the last log (the last 1000 at most; all are in trace.log)",
     cmd_log},
    // ---- end of the editors' and debug adapters' commands ----
    // Time travel.
    {"reverse-step", "rs back", "reverse-step [N]", "N passes back in time (1)", cmd_reverse_step},
    {"reverse-next", "rn", "reverse-next", "back to the previous instruction of this routine (over calls)",
     cmd_reverse_next},
    {"reverse-continue", "rc", "reverse-continue",
     "back to the last breakpoint or watchpoint hit, or to the start of the recorded time", cmd_reverse_continue},
    {"goto", "", "goto PASS", "to a pass of the recorded time (decimal), back or forwards", cmd_goto},
    {"timeline", "", "timeline", "the recorded time: its first and last pass, the present, its memory", cmd_timeline},
    {"quit", "q exit", "quit", "leave the console", cmd_quit},
};

const command *find_command(const std::string &word)
{
    const std::string w = lower(word);
    for (const command &c : commands) {
        if (w == c.name) return &c;
        std::string aliases = c.aliases;
        while (!aliases.empty())
            if (first_word(&aliases) == w) return &c;
    }
    return nullptr;
}

void cmd_help(console_session *, const std::string &args, reply_builder &r)
{
    json list = json::array();
    if (!args.empty()) {
        const command *c = find_command(args);
        if (!c) return r.fail("help: no command '" + args + "'");
        r.line(std::string(c->usage) + "\n    " + c->what);
        r.obj["usage"] = c->usage;
        return;
    }
    for (const command &c : commands) {
        char line[200];
        snprintf(line, sizeof line, "%-45s %s", c.usage, c.what);
        r.line(line);
        list.push_back(c.usage);
    }
    r.line("Numbers are hexadecimal (#123 is decimal); replies end with 'ok' or 'error: ...'.");
    r.obj["commands"] = list;
}

void cmd_source(console_session *cs, const std::string &args, reply_builder &r)
{
    if (args.empty()) return r.fail("source: a file name is needed");
    if (!cs->files) return r.fail("source: no files here");
    if (cs->source_depth >= MAX_SOURCE_DEPTH) return r.fail("source: nested too deeply (8 files at most)");
    std::string text, error;
    long long size;
    const input_read status = read_input_file(args.c_str(), 1 << 20, &text, &size, &error);
    if (status == input_read::not_opened) return r.fail("source: " + error);
    if (status == input_read::too_big) return r.fail("source: " + args + " is larger than 1 MiB");
    if (status == input_read::read_error) return r.fail("source: " + args + ": read error");
    cs->source_depth++;
    size_t start = 0;
    int line_no = 0;
    // Like a script of a debugger: the first command that fails ends it.
    while (start < text.size() && !cs->quit) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = text.substr(start, nl - start);
        start = nl + 1;
        line_no++;
        if (!console_execute(cs, line, &r.nested)) {
            r.fail("source: " + args + ":" + std::to_string(line_no) + ": the command failed; the rest is not run");
            break;
        }
    }
    cs->source_depth--;
}

}  // namespace

bool console_execute(console_session *cs, const std::string &raw, std::string *reply)
{
    reply_builder r;
    r.json_mode = cs->json;
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string args = trim(line);
    if (args.empty() || args[0] == '#') return true;
    if (raw.size() > MAX_LINE) {
        r.fail("a command line is at most 4096 characters long");
        *reply += r.finish();
        return false;
    }
    for (unsigned char c : args)
        if (c < 0x20 && c != '\t') {
            r.fail("a command holds no control characters");
            *reply += r.finish();
            return false;
        }
    const std::string word = first_word(&args);
    const command *c = find_command(word);
    if (!c) {
        r.fail("unknown command '" + word + "' (help lists them)");
    } else {
        r.obj["command"] = c->name;
        c->fn(cs, args, r);
    }
    *reply += r.finish();
    return !r.failed;
}

void console_catch_interrupts()
{
    struct sigaction sa = {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    // A Ctrl-C while the console waits for a command must not end the read
    // (it would read as the end of the input and end the console).
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
}

bool console_runs_machine(const std::string &line)
{
    std::string rest = line;
    const command *c = find_command(first_word(&rest));
    if (!c) return false;
    for (command_fn f : {cmd_step, cmd_next, cmd_finish, cmd_continue, cmd_until, cmd_lstep, cmd_lnext})
        if (c->fn == f) return true;
    return false;
}

int console_run(console_session *cs, FILE *in, FILE *out)
{
    console_catch_interrupts();
    std::string line;
    while (!cs->quit) {
        if (cs->prompt) {
            fputs("(ovix) ", out);
            fflush(out);
        }
        line.clear();
        int c;
        bool any = false;
        while ((c = fgetc(in)) != EOF) {
            any = true;
            if (c == '\n') break;
            if (line.size() <= MAX_LINE) line += (char)c;
        }
        if (!any && c == EOF) break;
        if (line.size() > MAX_LINE) line.resize(MAX_LINE + 1);
        std::string reply;
        console_execute(cs, line, &reply);
        fputs(reply.c_str(), out);
        fflush(out);
        if (c == EOF) break;
    }
    signal(SIGINT, SIG_DFL);
    return 0;
}
