// The debugger engine (engine.h): breakpoints, watchpoints, steps, the call
// stack and the history, on top of the emulation loop's debugging path.
//
// Call stack. While the loop runs its debugging path the engine sees every
// frame pushed and popped: a call or trap when the instruction of a pass is
// CALL or TRAP, an interrupt entry through tms7000_do_interrupt, and a frame
// is gone as soon as the stack pointer falls below its return address
// (RETS, RETI, or a program that pops or moves SP itself). A plain run (the
// machine ran with nothing of the engine in use) or a new machine state
// leaves the frames unknown; they are then found by looking at the stack
// for return addresses that follow a call or trap instruction and for
// interrupt frames (a status byte with I set), and marked as found.
#include "debug/engine.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/files.h"
#include "mem/memory.h"
#include "state/timeline.h"
#include "time/timer.h"
#include "video/tms3556.h"

// The bits of the loop's map (loop_pc_map): a breakpoint at the address; the engine looks at
// every pass (set in every byte while a step is under way, the history is
// recorded or a stop waits to be taken).
enum : uint8 { MAP_BREAK = 1, MAP_POLL = 2, MAP_UNWRITTEN = 4 };

namespace {

struct history_ring {
    std::vector<dbg_history_entry> entries;   // DBG_HISTORY_SIZE slots once used
    size_t next = 0;                           // slot of the next entry
    size_t count = 0;
    bool on = false;
};

struct engine_state {
    std::vector<dbg_point> points;   // by number
    int next_id = 1;
    dbg_stop last;
    // A stop found during the pass (a watchpoint, an error), taken by the
    // next look of the loop.
    bool pending = false;
    dbg_stop pending_stop;
    // The step under way.
    bool stepping = false;
    dbg_step_kind step_kind = DBG_STEP_INTO;
    uint64 step_left = 0;
    uint16 step_start = 0;
    size_t step_depth = 0;
    // Watchpoints, armed only while the machine runs.
    bool armed = false;
    uint32 cpu_min = 1, cpu_max = 0;   // the CPU addresses any enabled watchpoint covers
    // Whether tms7000_frames holds the frames (a plain run or a new machine
    // state leaves them unknown).
    bool frames_known = false;
    bool polling = false;   // MAP_POLL is set in the map
    history_ring history;
    std::vector<std::pair<uint16, uint16>> unwritten;   // bytes no source line produced
    // Re-executing the past (dbg_replay).
    dbg_replay_mode mode = DBG_LIVE;
    bool history_was_on = false;
    dbg_stop last_hit;
    int depth_limit = 0;   // DEPTH
};

engine_state s;

// ---------------------------------------------------------------------------
// Small helpers.

bool code_address(uint32 a)
{
    return (a >= 0x0200 && a < 0x8000) || (a >= 0xC000 && a < 0xC800) || a >= 0xF800;
}

bool is_trap(uint8 op) { return op >= 0xE8; }

// A byte of code, through the fast table where it can be.
uint8 code_byte(uint16 a)
{
    const uint8 *block = bus_read_block[a >> 7];
    return block ? block[a & 0x7F] : bus_peek(a);
}

// The routine a call or trap at `pc` goes to, read now.
uint16 call_target(uint16 pc)
{
    const uint8 op = code_byte(pc);
    if (op == 0x8E || op == 0xAE) {
        uint16 t = (uint16)(code_byte((uint16)(pc + 1)) << 8 | code_byte((uint16)(pc + 2)));
        if (op == 0xAE) t = (uint16)(t + tms7000.rf[1]);
        return t;
    }
    if (op == 0x9E) {
        const uint8 n = code_byte((uint16)(pc + 1));
        return (uint16)(bus_peek((n - 1) & 0x7F) << 8 | bus_peek(n));
    }
    const uint16 vector = (uint16)(0xFFFE - 2 * (0xFF - op));
    return (uint16)(code_byte(vector) << 8 | code_byte((uint16)(vector + 1)));
}

uint16 stacked_word(uint8 sp)
{
    return (uint16)(tms7000.rf[(sp - 1) & 0x7F] << 8 | tms7000.rf[sp & 0x7F]);
}

std::string hex4(uint32 v)
{
    char t[16];
    snprintf(t, sizeof t, "%04X", v & 0xFFFF);
    return t;
}

// "60C4 (tick)" or "60C4".
std::string address_text(uint16 a)
{
    std::string t = hex4(a);
    if (const char *name = symbols_name(a)) t += std::string(" (") + name + ")";
    return t;
}

// "in tick" / "in tick+3" for the nearest label at or below, within 256 bytes.
std::string routine_text(uint16 a)
{
    for (unsigned back = 0; back < 256 && back <= a; back++) {
        if (const char *name = symbols_name((uint16)(a - back))) {
            char t[160];
            if (back == 0)
                snprintf(t, sizeof t, " in %s", name);
            else
                snprintf(t, sizeof t, " in %s+%u", name, back);
            return t;
        }
    }
    return "";
}

// MAP_POLL in every byte of the map, or in none.
void apply_poll()
{
    const bool want = ((s.pending || s.history.on || s.stepping) && s.mode != DBG_REPLAY_QUIET) ||
                      s.mode == DBG_REPLAY_DEPTH;
    if (want == s.polling) return;
    s.polling = want;
    for (uint8 &b : loop_pc_map) b = (uint8)(want ? b | MAP_POLL : b & ~MAP_POLL);
}

void update_active()
{
    bool any = false;
    for (const dbg_point &p : s.points) any |= p.enabled;
    // Re-executing keeps the frames: the debugging path.
    loop_debug_path = any || s.history.on || s.stepping || !s.unwritten.empty() || s.mode != DBG_LIVE;
    apply_poll();
}

// The breakpoint map and the bus's watched blocks, from the points.
void rebuild_maps()
{
    memset(loop_pc_map, 0, sizeof loop_pc_map);
    s.polling = false;   // update_active sets it again
    uint64 read[8] = {}, write[8] = {};
    bool page1_read = false, page1_write = false;
    s.cpu_min = 1;
    s.cpu_max = 0;
    for (const auto &[first, last] : s.unwritten)
        for (uint32 a = first; a <= last; a++) loop_pc_map[a] |= MAP_UNWRITTEN;
    for (const dbg_point &p : s.points) {
        if (!p.enabled || s.mode == DBG_REPLAY_QUIET || s.mode == DBG_REPLAY_DEPTH) continue;
        if (!p.watch) {
            loop_pc_map[p.first] |= MAP_BREAK;
            continue;
        }
        const bool r = p.kind & WATCH_READ, w = p.kind & WATCH_WRITE;
        if (p.vram) {
            // Video memory is reached through the ports on page 1.
            page1_read |= r;
            page1_write |= w;
            continue;
        }
        if (s.cpu_min > s.cpu_max) {
            s.cpu_min = p.first;
            s.cpu_max = p.last;
        } else {
            s.cpu_min = std::min(s.cpu_min, p.first);
            s.cpu_max = std::max(s.cpu_max, p.last);
        }
        for (uint32 b = p.first >> 7; b <= p.last >> 7; b++) {
            if (r) read[b / 64] |= 1ull << (b % 64);
            if (w) write[b / 64] |= 1ull << (b % 64);
        }
        if (p.first <= 0x1FF && p.last >= 0x100) {
            page1_read |= r;
            page1_write |= w;
        }
    }
    bus_watch_blocks(read, write, page1_read, page1_write);
    update_active();
}

dbg_point *find_point(int id)
{
    for (dbg_point &p : s.points)
        if (p.id == id) return &p;
    return nullptr;
}

bool hit_stops(const dbg_point &p)
{
    switch (p.hit_rule) {
    case HIT_ALWAYS: return true;
    case HIT_GE: return p.hits >= p.hit_count;
    case HIT_EQ: return p.hits == p.hit_count;
    case HIT_GT: return p.hits > p.hit_count;
    case HIT_EVERY: return p.hit_count && p.hits % p.hit_count == 0;
    }
    return true;
}

// A stop for the loop's next look, the first of a pass only.
void set_pending(const dbg_stop &stop)
{
    if (s.pending) return;
    s.pending = true;
    s.pending_stop = stop;
    apply_poll();
}

// Evaluates a point's condition: true when it holds; an error stops.
bool condition_holds(dbg_point &p, const expr_access *access)
{
    if (p.condition.empty()) return true;
    int64 v;
    std::string error;
    if (expr_eval(p.condition, access, &v, &error)) return v != 0;
    dbg_stop stop;
    stop.kind = DBG_STOP_ERROR;
    stop.id = p.id;
    stop.error = error;
    set_pending(stop);
    return false;
}

std::string trimmed(const char *text)
{
    if (!text) return "";
    std::string t = text;
    const size_t a = t.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    const size_t b = t.find_last_not_of(" \t\r\n");
    return t.substr(a, b - a + 1);
}

int add_point(dbg_point p, std::string *error)
{
    int breakpoints = 0, watchpoints = 0;
    for (const dbg_point &q : s.points) (q.watch ? watchpoints : breakpoints)++;
    if (!p.watch && breakpoints >= DBG_MAX_BREAKPOINTS) {
        *error = "too many breakpoints (" + std::to_string(DBG_MAX_BREAKPOINTS) + " at most)";
        return 0;
    }
    if (p.watch && watchpoints >= DBG_MAX_WATCHPOINTS) {
        *error = "too many watchpoints (" + std::to_string(DBG_MAX_WATCHPOINTS) + " at most)";
        return 0;
    }
    p.id = s.next_id++;
    s.points.push_back(std::move(p));
    rebuild_maps();
    return s.points.back().id;
}

// Condition and hit rule of a new point.
bool point_options(dbg_point *p, const char *condition, const char *hit_rule, bool with_access, std::string *error)
{
    const std::string c = trimmed(condition);
    if (!c.empty() && !expr_compile(c.c_str(), with_access, &p->condition, error)) {
        *error = "condition " + *error;
        return false;
    }
    return dbg_parse_hit_rule(hit_rule, &p->hit_rule, &p->hit_count, error);
}

// ---------------------------------------------------------------------------
// Frames.



// A return address that a call or trap instruction pushed: the bytes
// before it are such an instruction.
bool after_call(uint16 r, uint16 *call_pc, dbg_frame_kind *kind)
{
    if (!code_address(r)) return false;
    const uint8 b3 = bus_peek((r - 3) & 0xFFFF), b2 = bus_peek((r - 2) & 0xFFFF), b1 = bus_peek((r - 1) & 0xFFFF);
    if (b3 == 0x8E || b3 == 0xAE) {
        *call_pc = (uint16)(r - 3);
        *kind = FRAME_CALL;
        return true;
    }
    if (b2 == 0x9E) {
        *call_pc = (uint16)(r - 2);
        *kind = FRAME_CALL;
        return true;
    }
    if (is_trap(b1)) {
        *call_pc = (uint16)(r - 1);
        *kind = FRAME_TRAP;
        return true;
    }
    return false;
}

// The frames found by looking at the stack from SP down (see the top of the
// file). It stops after 8 bytes in a row that belong to no frame: below the
// stack lie the program's own registers.
void find_frames()
{
    tms7000_nframes = 0;
    std::vector<dbg_frame> found;
    int p = tms7000.sp & 0x7F, misses = 0;
    while (p >= 3 && misses < 8 && found.size() < (size_t)DBG_MAX_FRAMES) {
        const uint16 r = stacked_word((uint8)p);
        dbg_frame f;
        f.found = true;
        f.sp = (uint8)p;
        f.return_pc = r;
        if (after_call(r, &f.call_pc, &f.kind)) {
            f.entry = call_target(f.call_pc);
            found.push_back(f);
            p -= 2;
            misses = 0;
            continue;
        }
        if (p >= 4 && (tms7000.rf[p - 2] & SR_I) && code_address(r)) {
            f.kind = FRAME_INTERRUPT;
            f.call_pc = r;
            found.push_back(f);
            p -= 3;
            misses = 0;
            continue;
        }
        p--;
        misses++;
    }
    for (auto it = found.rbegin(); it != found.rend(); ++it) tms7000_frames[tms7000_nframes++] = *it;
    s.frames_known = true;
}

void ensure_frames()
{
    if (!s.frames_known) find_frames();
}

// After a pass that moved the stack pointer.
// ---------------------------------------------------------------------------
// History.

void record_history(uint16 pc0)
{
    history_ring &h = s.history;
    if (h.entries.size() != (size_t)DBG_HISTORY_SIZE) h.entries.assign(DBG_HISTORY_SIZE, dbg_history_entry{});
    const orlo_time t = orlo_get_time();
    const uint64 cycles = (uint64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
    const bool idle_step = tms7000.idle_state && tms7000.pc.w.l == pc0;
    if (idle_step && h.count) {
        dbg_history_entry &last = h.entries[(h.next + DBG_HISTORY_SIZE - 1) % DBG_HISTORY_SIZE];
        if (last.length == 0 && last.pc == pc0) {
            last.repeat++;
            last.cycles = cycles;
            last.passes = ovix_machine_passes();
            return;
        }
    }
    dbg_history_entry &e = h.entries[h.next];
    e = dbg_history_entry{};
    e.cycles = cycles;
    e.passes = ovix_machine_passes();
    e.repeat = 1;
    e.pc = pc0;
    if (!idle_step) {
        const uint8 op = bus_peek(pc0);
        e.length = (uint8)dasm_length(op);
        for (unsigned i = 0; i < e.length && i < 4; i++) e.bytes[i] = bus_peek((pc0 + i) & 0xFFFF);
    }
    e.a = tms7000.rf[0];
    e.b = tms7000.rf[1];
    e.sp = tms7000.sp;
    e.sr = tms7000.sr;
    h.next = (h.next + 1) % DBG_HISTORY_SIZE;
    if (h.count < (size_t)DBG_HISTORY_SIZE) h.count++;
}

// ---------------------------------------------------------------------------
// Watchpoint checks (the bus's hooks).

void check_watch(uint32 address, bool vram, bool write, uint8 old_value, uint8 value)
{
    expr_access access{value, old_value};
    for (dbg_point &p : s.points) {
        if (!p.watch || !p.enabled || p.vram != vram) continue;
        if (!(p.kind & (write ? WATCH_WRITE : WATCH_READ))) continue;
        if (address < p.first || address > p.last) continue;
        if (!condition_holds(p, &access)) continue;
        if (s.mode == DBG_LIVE) {
            p.hits++;
            if (!hit_stops(p)) continue;
        }
        dbg_stop stop;
        stop.kind = DBG_STOP_WATCH;
        stop.id = p.id;
        stop.hits = p.hits;
        stop.access_pc = loop_access_pc;   // the instruction of the pass under way
        stop.address = address;
        stop.vram = vram;
        stop.write = write;
        stop.old_value = old_value;
        stop.new_value = value;
        stop.temporary = p.temporary;
        set_pending(stop);
    }
}

void bus_hook(int address, bool write, uint8 old_value, uint8 value)
{
    if (!s.armed) return;
    const uint32 a = (uint32)address & 0xFFFF;
    if (a < s.cpu_min || a > s.cpu_max) return;
    check_watch(a, false, write, old_value, value);
}

void vram_hook(int address, bool write, uint8 old_value, uint8 value)
{
    if (!s.armed) return;
    check_watch((uint32)address & 0xFFFF, true, write, old_value, value);
}

bool register_hooks()
{
    bus_watch_hook = bus_hook;
    vram_watch_hook = vram_hook;
    return true;
}
const bool hooks_registered = register_hooks();

// ---------------------------------------------------------------------------
// Stops.

dbg_stop make_stop(dbg_stop_kind kind)
{
    dbg_stop stop;
    stop.kind = kind;
    return stop;
}

void end_step()
{
    s.stepping = false;
    update_active();
}

}  // namespace

// ---------------------------------------------------------------------------
// Stop texts.

const char *dbg_stop_name(dbg_stop_kind kind)
{
    switch (kind) {
    case DBG_STOP_NONE: return "";
    case DBG_STOP_PC: return "pc";
    case DBG_STOP_DEBUGGER: return "debugger";
    case DBG_STOP_COUNT: return "count";
    case DBG_STOP_BREAK: return "break";
    case DBG_STOP_WATCH: return "watch";
    case DBG_STOP_STEP: return "step";
    case DBG_STOP_ERROR: return "error";
    case DBG_STOP_UNWRITTEN: return "unwritten";
    }
    return "";
}

static std::string stop_text(const dbg_stop &st);

std::string dbg_stop_text(const dbg_stop &st)
{
    std::string text = stop_text(st);
    if (st.back && st.kind != DBG_STOP_STEP) text += " (going back, pass " + std::to_string(st.passes) + ")";
    return text;
}

static std::string stop_text(const dbg_stop &st)
{
    char t[400];
    switch (st.kind) {
    case DBG_STOP_NONE: return "";
    case DBG_STOP_PC: return "Stopped: " + address_text(st.target) + " reached";
    case DBG_STOP_COUNT: return "Stopped: the count of passes ran out at " + hex4(st.pc);
    case DBG_STOP_DEBUGGER:
        switch (st.request) {
        case DBG_REQ_F1: return "Stopped: F1";
        case DBG_REQ_POPUP: return "Stopped: Call Debugger";
        case DBG_REQ_STEP_KEY: return "Stopped: step over's stop key";
        case DBG_REQ_INTERRUPT: return "Stopped: interrupted at " + hex4(st.pc);
        case DBG_REQ_NONE: return st.requested ? "Stopped: read of port 0125" : "Stopped: F1";
        }
        return "Stopped";
    case DBG_STOP_BREAK: {
        std::string text = "Stopped: " + std::string(st.temporary ? "temporary " : "") + "breakpoint " +
                           std::to_string(st.id) + " at " + address_text(st.pc);
        if (!st.temporary && !st.back) text += ", hit " + std::to_string(st.hits);
        return text;
    }
    case DBG_STOP_WATCH: {
        const char *what = st.write ? "written" : "read";
        if (st.write)
            snprintf(t, sizeof t, "Stopped: watchpoint %d: %s%04X %s by %04X, %02X -> %02X", st.id, st.vram ? "v" : "",
                     st.address, what, st.access_pc, st.old_value, st.new_value);
        else
            snprintf(t, sizeof t, "Stopped: watchpoint %d: %s%04X %s by %04X, %02X", st.id, st.vram ? "v" : "",
                     st.address, what, st.access_pc, st.new_value);
        return t;
    }
    case DBG_STOP_STEP:
        switch (st.step) {
        case DBG_STEP_INTO: return "Stepped to " + address_text(st.pc);
        case DBG_STEP_OVER: return "Stepped over to " + hex4(st.pc);
        case DBG_STEP_NEXT: return "Stepped over to " + address_text(st.pc);
        case DBG_STEP_OUT: return "Stepped out to " + address_text(st.pc);
        case DBG_STEP_BACK:
            if (st.start_of_time)
                snprintf(t, sizeof t, "Went back to the start of the recorded time at %04X (pass %" PRIu64 ")", st.pc,
                         st.passes);
            else
                snprintf(t, sizeof t, "Stepped back to %04X (pass %" PRIu64 ")", st.pc, st.passes);
            return t;
        }
        return "Stepped";
    case DBG_STOP_UNWRITTEN: {
        std::string text = "executing a byte no source line produced at " + hex4(st.pc);
        // The nearest label below, in the image of the byte.
        for (uint32 a = st.pc + 1; a-- > 0;) {
            if (const char *name = symbols_name((uint16)a)) {
                text += std::string(" (after label ") + name + ")";
                break;
            }
            if (a == 0x0200 || a == 0xF800) break;
        }
        return text;
    }
    case DBG_STOP_ERROR:
        return "Stopped: the condition of " + std::string(find_point(st.id) && find_point(st.id)->watch ? "watchpoint " : "breakpoint ") +
               std::to_string(st.id) + " failed " + st.error;
    }
    return "";
}

const dbg_stop &dbg_last_stop() { return s.last; }

void dbg_reset()
{
    history_ring h = std::move(s.history);   // its memory is kept for the next use
    s = engine_state{};
    s.history.entries = std::move(h.entries);
    tms7000_nframes = 0;
    rebuild_maps();
}

void dbg_set_unwritten(const std::vector<std::pair<uint16, uint16>> &ranges)
{
    s.unwritten.clear();
    for (const auto &[first, last] : ranges)
        if (first <= last) s.unwritten.emplace_back(first, last);
    rebuild_maps();
}

bool dbg_unwritten_set() { return !s.unwritten.empty(); }

// ---------------------------------------------------------------------------
// Points.

bool dbg_parse_hit_rule(const char *text, dbg_hit_rule *rule, uint32 *count, std::string *error)
{
    std::string t = trimmed(text);
    *rule = HIT_ALWAYS;
    *count = 0;
    if (t.empty()) return true;
    dbg_hit_rule r = HIT_GE;
    size_t at = 0;
    if (t.compare(0, 2, ">=") == 0) {
        r = HIT_GE;
        at = 2;
    } else if (t.compare(0, 2, "==") == 0) {
        r = HIT_EQ;
        at = 2;
    } else if (t[0] == '=') {
        r = HIT_EQ;
        at = 1;
    } else if (t[0] == '>') {
        r = HIT_GT;
        at = 1;
    } else if (t[0] == '%') {
        r = HIT_EVERY;
        at = 1;
    }
    while (at < t.size() && t[at] == ' ') at++;
    const std::string digits = t.substr(at);
    uint64 n = 0;
    bool ok = !digits.empty() && digits.size() <= 9;
    for (char c : digits) {
        if (c < '0' || c > '9') ok = false;
        n = n * 10 + (uint64)(c - '0');
    }
    if (!ok || (n == 0 && r != HIT_GT)) {
        *error = "hit count '" + t + "': a decimal count from 1 (N: from the Nth hit on, =N: the Nth only, >N, %N: every Nth)";
        return false;
    }
    *rule = r;
    *count = (uint32)n;
    return true;
}

int dbg_break_add_at(uint16 address, const char *location, const char *condition, const char *hit_rule,
                     std::string *error, dbg_owner owner)
{
    dbg_point p;
    p.first = p.last = address;
    p.owner = owner;
    p.location = location && *location ? location : hex4(address);
    if (!point_options(&p, condition, hit_rule, false, error)) return 0;
    return add_point(std::move(p), error);
}

// A location or a range endpoint: an expression whose value is an address.
static bool address_value(const std::string &text, int64 limit, int64 *value, std::string *error)
{
    if (text.empty()) {
        *error = "an address or a label is missing";
        return false;
    }
    std::string e;
    if (!expr_evaluate(text.c_str(), value, &e)) {
        *error = "'" + text + "': " + e;
        return false;
    }
    if (*value < 0 || *value > limit) {
        *error = "'" + text + "' is " + expr_value_text(*value) + ", outside " +
                 (limit == 0x7FFF ? "video memory (0000-7FFF)" : "the CPU's space (0000-FFFF)");
        return false;
    }
    return true;
}

int dbg_break_add(const char *location, const char *condition, const char *hit_rule, bool temporary,
                  std::string *error, dbg_owner owner)
{
    const std::string loc = trimmed(location);
    int64 address;
    if (!address_value(loc, 0xFFFF, &address, error)) return 0;
    dbg_point p;
    p.first = p.last = (uint32)address;
    p.temporary = temporary;
    p.owner = owner;
    p.location = loc;
    if (!point_options(&p, condition, hit_rule, false, error)) return 0;
    return add_point(std::move(p), error);
}

bool dbg_parse_watch_kind(const char *text, dbg_watch_kind *kind)
{
    const std::string t = trimmed(text);
    if (t == "r" || t == "R") *kind = WATCH_READ;
    else if (t == "w" || t == "W") *kind = WATCH_WRITE;
    else if (t == "rw" || t == "RW" || t == "wr" || t == "a" || t == "A") *kind = WATCH_ACCESS;
    else return false;
    return true;
}

int dbg_watch_add(dbg_watch_kind kind, const char *range, const char *condition, const char *hit_rule,
                  std::string *error, dbg_owner owner)
{
    std::string r = trimmed(range);
    dbg_point p;
    p.watch = true;
    p.kind = kind;
    p.owner = owner;
    p.location = r;
    // v[...]: video memory.
    if (r.size() >= 3 && (r[0] == 'v' || r[0] == 'V') && r[1] == '[' && r.back() == ']') {
        p.vram = true;
        r = trimmed(r.substr(2, r.size() - 3).c_str());
    }
    // FROM-TO: split at the first '-' outside brackets and parentheses.
    int depth = 0;
    size_t dash = std::string::npos;
    for (size_t i = 0; i < r.size() && dash == std::string::npos; i++) {
        if (r[i] == '(' || r[i] == '[') depth++;
        if (r[i] == ')' || r[i] == ']') depth--;
        if (r[i] == '-' && depth == 0 && i > 0) dash = i;
    }
    const int64 limit = p.vram ? 0x7FFF : 0xFFFF;
    int64 from, to;
    if (dash == std::string::npos) {
        if (!address_value(r, limit, &from, error)) return 0;
        to = from;
    } else {
        if (!address_value(trimmed(r.substr(0, dash).c_str()), limit, &from, error)) return 0;
        if (!address_value(trimmed(r.substr(dash + 1).c_str()), limit, &to, error)) return 0;
        if (to < from) {
            *error = "range '" + p.location + "' ends before it starts";
            return 0;
        }
    }
    p.first = (uint32)from;
    p.last = (uint32)to;
    if (!point_options(&p, condition, hit_rule, true, error)) return 0;
    return add_point(std::move(p), error);
}

bool dbg_delete(int id, std::string *error)
{
    for (auto it = s.points.begin(); it != s.points.end(); ++it) {
        if (it->id != id) continue;
        s.points.erase(it);
        rebuild_maps();
        return true;
    }
    *error = "no breakpoint or watchpoint " + std::to_string(id);
    return false;
}

void dbg_delete_all()
{
    s.points.clear();
    rebuild_maps();
}

void dbg_delete_owner(dbg_owner owner)
{
    s.points.erase(std::remove_if(s.points.begin(), s.points.end(), [&](const dbg_point &p) { return p.owner == owner; }),
                   s.points.end());
    rebuild_maps();
}

bool dbg_enable(int id, bool enable, std::string *error)
{
    dbg_point *p = find_point(id);
    if (!p) {
        *error = "no breakpoint or watchpoint " + std::to_string(id);
        return false;
    }
    p->enabled = enable;
    rebuild_maps();
    return true;
}

bool dbg_set_condition(int id, const char *condition, std::string *error)
{
    dbg_point *p = find_point(id);
    if (!p) {
        *error = "no breakpoint or watchpoint " + std::to_string(id);
        return false;
    }
    dbg_expr e;
    const std::string c = trimmed(condition);
    if (!c.empty() && !expr_compile(c.c_str(), p->watch, &e, error)) {
        *error = "condition " + *error;
        return false;
    }
    p->condition = std::move(e);
    return true;
}

bool dbg_set_hit_rule(int id, const char *hit_rule, std::string *error)
{
    dbg_point *p = find_point(id);
    if (!p) {
        *error = "no breakpoint or watchpoint " + std::to_string(id);
        return false;
    }
    return dbg_parse_hit_rule(hit_rule, &p->hit_rule, &p->hit_count, error);
}

const std::vector<dbg_point> &dbg_points() { return s.points; }

const dbg_point *dbg_find(int id) { return find_point(id); }

int dbg_break_mark(uint16 address)
{
    int mark = 0;
    for (const dbg_point &p : s.points) {
        if (p.watch || p.first != address) continue;
        if (p.enabled) return 1;
        mark = 2;
    }
    return mark;
}

std::string dbg_point_text(const dbg_point &p)
{
    std::string t;
    if (!p.watch) {
        t = (p.temporary ? "temporary breakpoint " : "breakpoint ") + std::to_string(p.id) + " at " +
            address_text((uint16)p.first);
    } else {
        static const char *const kinds[] = {"", "r", "w", "rw"};
        t = "watchpoint " + std::to_string(p.id) + " " + kinds[p.kind] + " " + (p.vram ? "v[" : "") + hex4(p.first);
        if (p.last != p.first) t += "-" + hex4(p.last);
        if (p.vram) t += "]";
        if (const char *name = p.vram ? nullptr : symbols_name((uint16)p.first)) t += std::string(" (") + name + ")";
    }
    if (!p.enabled) t += " disabled";
    t += " hits=" + std::to_string(p.hits);
    static const char *const rules[] = {"", "", "=", ">", "%"};
    if (p.hit_rule != HIT_ALWAYS) t += std::string(" hit ") + rules[p.hit_rule] + std::to_string(p.hit_count);
    if (!p.condition.empty()) t += " if " + p.condition.text;
    return t;
}

// ---------------------------------------------------------------------------
// The loop's side.

// Re-executing with COLLECT: a hit is kept, the run goes on.
static bool collect_after_pass()
{
    const uint16 pc = tms7000.pc.w.l;
    dbg_stop hit;
    if (s.pending) {
        hit = s.pending_stop;
        s.pending = false;
    } else if ((loop_pc_map[pc] & MAP_BREAK) && !(tms7000.idle_state && pc == loop_access_pc)) {
        for (dbg_point &p : s.points) {
            if (p.watch || !p.enabled || p.first != pc) continue;
            if (!condition_holds(p, nullptr)) {
                if (!s.pending) continue;
                hit = s.pending_stop;   // an error counts as a hit: it would have stopped the run
                s.pending = false;
                break;
            }
            hit = make_stop(DBG_STOP_BREAK);
            hit.id = p.id;
            hit.hits = p.hits;
            hit.temporary = p.temporary;
            break;
        }
    }
    // Arriving at a byte no source line produced would have stopped a
    // forward run too (not the idle steps that follow IDLE there).
    if (hit.kind == DBG_STOP_NONE && (loop_pc_map[pc] & MAP_UNWRITTEN) && !(tms7000.idle_state && pc == loop_access_pc))
        hit = make_stop(DBG_STOP_UNWRITTEN);
    if (hit.kind != DBG_STOP_NONE) {
        hit.pc = pc;
        hit.passes = ovix_machine_passes();
        s.last_hit = hit;
    }
    return false;
}

// The loop's debugging path calls this after a pass whose new pc has its
// byte of the map set (a breakpoint there; every byte while a step is under
// way, the history recorded or a stop waits); the machine's state is saved
// and loop_access_pc is the pass's instruction. True, with
// loop_stop_request set: stop (the stop is recorded).
OVIX_COLD static bool dbg_after_pass()
{
    if (s.mode == DBG_REPLAY_COLLECT) return collect_after_pass();
    if (s.mode == DBG_REPLAY_QUIET) return false;
    if (s.mode == DBG_REPLAY_DEPTH) {
        if (tms7000_nframes <= s.depth_limit) {
            s.last_hit = make_stop(DBG_STOP_STEP);
            s.last_hit.step = DBG_STEP_BACK;
            s.last_hit.pc = tms7000.pc.w.l;
            s.last_hit.passes = ovix_machine_passes();
        }
        return false;
    }
    const uint16 pc = tms7000.pc.w.l, pc0 = loop_access_pc;
    if (s.history.on) record_history(pc0);

    dbg_stop stop;
    bool stopping = false;
    if (s.pending) {
        stop = s.pending_stop;
        stopping = true;
    }
    // A breakpoint is hit when a pass arrives at its address: not by the
    // idle steps that follow IDLE there.
    const bool idle_step = tms7000.idle_state && pc == pc0;
    if (!stopping && (loop_pc_map[pc] & MAP_BREAK) && !idle_step) {
        for (dbg_point &p : s.points) {
            if (p.watch || !p.enabled || p.first != pc) continue;
            if (!condition_holds(p, nullptr)) {
                if (s.pending) {
                    stop = s.pending_stop;
                    stopping = true;
                    break;
                }
                continue;
            }
            p.hits++;
            if (!hit_stops(p)) continue;
            stop = make_stop(DBG_STOP_BREAK);
            stop.id = p.id;
            stop.hits = p.hits;
            stop.temporary = p.temporary;
            stopping = true;
            break;
        }
    }
    if (!stopping && (loop_pc_map[pc] & MAP_UNWRITTEN) && !idle_step) {
        stop = make_stop(DBG_STOP_UNWRITTEN);
        stopping = true;
    }
    if (!stopping && s.stepping) {
        switch (s.step_kind) {
        case DBG_STEP_INTO: stopping = --s.step_left == 0; break;
        case DBG_STEP_OVER: {
            const uint16 advance = (uint16)(pc - s.step_start);
            stopping = advance >= 1 && advance <= 4;
            break;
        }
        case DBG_STEP_NEXT: stopping = (size_t)tms7000_nframes <= s.step_depth; break;
        case DBG_STEP_OUT: stopping = (size_t)tms7000_nframes < s.step_depth; break;
        case DBG_STEP_BACK: break;
        }
        if (stopping) {
            stop = make_stop(DBG_STOP_STEP);
            stop.step = s.step_kind;
        }
    }
    if (!stopping) return false;
    stop.pc = pc;
    s.pending = false;
    s.pending_stop = stop;   // kept for dbg_run_end
    s.last = stop;
    loop_stop_request = 1;
    return true;
}

// The loop calls these around a run: begin when it takes the debugging
// path, end after every run.
static void dbg_run_begin()
{
    ensure_frames();
    loop_stop_request = 0;
    loop_access_pc = tms7000.pc.w.l;
    s.pending = false;
    s.last = dbg_stop{};
    s.armed = s.mode != DBG_REPLAY_QUIET && s.mode != DBG_REPLAY_DEPTH;
    tms7000_frames_kept = true;
    update_active();
}

// Watchpoints see the machine's own accesses only: the loop disarms them
// while it lists an instruction or runs a frame pass (the front end's
// hooks), whose reads through the bus are not the program's.
static void dbg_watch_arm(bool armed)
{
    s.armed = armed && tms7000_frames_kept && s.mode != DBG_REPLAY_QUIET && s.mode != DBG_REPLAY_DEPTH;
}

static void dbg_run_end(const loop_result &r, uint32 target)
{
    const bool tracked = tms7000_frames_kept;
    s.armed = false;
    tms7000_frames_kept = false;
    loop_stop_request = 0;
    if (!tracked) s.frames_known = false;   // frames came and went unseen
    dbg_stop stop;
    switch (r.reason) {
    case LOOP_STOP_ENGINE: stop = s.last; break;
    case LOOP_STOP_PC: stop = make_stop(DBG_STOP_PC); stop.target = (uint16)target; break;
    case LOOP_STOP_DEBUGGER: stop = make_stop(DBG_STOP_DEBUGGER); stop.requested = ask_bkpt != 0; break;
    case LOOP_STOP_COUNT: stop = make_stop(DBG_STOP_COUNT); break;
    }
    // A watchpoint hit of the last pass that another stop came before.
    s.pending = false;
    stop.pc = tms7000.pc.w.l;
    stop.passes = ovix_machine_passes();
    if (stop.kind == DBG_STOP_BREAK && stop.temporary && s.mode == DBG_LIVE) {
        std::string ignored;
        dbg_delete(stop.id, &ignored);
    }
    // Temporary points of a run (run to here) end with it.
    bool run_points = false;
    for (const dbg_point &p : s.points) run_points |= p.owner == OWNER_RUN && s.mode == DBG_LIVE;
    if (run_points) dbg_delete_owner(OWNER_RUN);
    s.last = stop;
    update_active();
}

// The engine follows every run of the machine from the moment it is linked
// into a program.
[[maybe_unused]] static const bool hooked = [] {
    ovix_observers.run_begin = dbg_run_begin;
    ovix_observers.run_end = dbg_run_end;
    ovix_observers.after_pass = dbg_after_pass;
    ovix_observers.watch_arm = dbg_watch_arm;
    return true;
}();

// ---------------------------------------------------------------------------
// Running.

dbg_stop dbg_run(uint32 target, uint64 max_passes, const loop_hooks *hooks)
{
    tl_resume(target, max_passes, hooks);   // along the recorded future, if the machine went back
    return s.last;
}

dbg_stop dbg_step(dbg_step_kind kind, uint64 count, uint64 max_passes, const loop_hooks *hooks, std::string *error)
{
    ensure_frames();
    if (kind == DBG_STEP_OUT && tms7000_nframes == 0) {
        if (error) *error = "there is no routine to step out of: the call stack is empty";
        return dbg_stop{};
    }
    if (kind == DBG_STEP_BACK) {
        if (error) *error = "stepping back is done by the timeline";
        return dbg_stop{};
    }
    s.stepping = true;
    s.step_kind = kind;
    s.step_left = count ? count : 1;
    s.step_start = tms7000.pc.w.l;
    s.step_depth = (size_t)tms7000_nframes;
    update_active();
    tl_resume(LOOP_NO_TARGET, max_passes, hooks);
    end_step();
    return s.last;
}

dbg_stop dbg_step_instruction()
{
    // Along a recorded future, the pass goes through the timeline, which
    // hands the machine the recorded input.
    if (tl_replaying()) return dbg_step(DBG_STEP_INTO, 1, 1, nullptr);
    ensure_frames();
    s.stepping = true;
    s.step_kind = DBG_STEP_INTO;
    s.step_left = 1;
    update_active();
    dbg_run_begin();
    loop_result r{1, 0, LOOP_STOP_COUNT};
    r.cycles = ovix_step_pass();
    if (dbg_after_pass()) r.reason = LOOP_STOP_ENGINE;
    dbg_run_end(r, LOOP_NO_TARGET);
    end_step();
    return s.last;
}

// ---------------------------------------------------------------------------
// The call stack.

std::vector<dbg_frame> dbg_call_stack()
{
    ensure_frames();
    std::vector<dbg_frame> out;
    for (int i = tms7000_nframes - 1; i >= 0; i--) out.push_back(tms7000_frames[i]);
    for (dbg_frame &f : out) {
        if (f.kind != FRAME_INTERRUPT && !f.entry) {
            const uint8 op = code_byte(f.call_pc);
            if (op != 0x9E && op != 0xAE) f.entry = call_target(f.call_pc);
        }
        const uint16 now = stacked_word(f.sp);
        f.changed = now != f.return_pc;
        f.stack_return = now;
    }
    return out;
}

std::string dbg_frame_text(const dbg_frame &f, int index)
{
    char t[96];
    std::string text;
    snprintf(t, sizeof t, "#%d ", index);
    text = t;
    if (f.kind == FRAME_INTERRUPT) {
        if (f.line >= 0)
            snprintf(t, sizeof t, "INT%d ", f.line + 1);
        else
            snprintf(t, sizeof t, "interrupt ");
        text += t;
        if (!f.found) text += "at " + address_text(f.entry) + " ";
        text += "(interrupted " + hex4(f.return_pc) + routine_text(f.return_pc) + ")";
    } else {
        text += std::string(f.kind == FRAME_TRAP ? "trap " : "call ") + "to " + address_text(f.entry) + ", returns to " +
                hex4(f.return_pc) + routine_text(f.return_pc);
        snprintf(t, sizeof t, " (called from %04X)", f.call_pc);
        text += t;
    }
    if (f.changed) text += ", the stack now returns to " + hex4(f.stack_return);
    if (f.found) text += " [found on the stack]";
    return text;
}

void dbg_forget_frames()
{
    tms7000_nframes = 0;
    s.frames_known = false;
}

// ---------------------------------------------------------------------------
// Re-executing the past.

void dbg_replay(dbg_replay_mode mode)
{
    if (mode == s.mode) return;
    if (s.mode == DBG_LIVE) {
        s.history_was_on = s.history.on;
        s.history.on = false;
    }
    s.mode = mode;
    if (mode == DBG_LIVE) s.history.on = s.history_was_on;
    s.last_hit = dbg_stop{};
    s.pending = false;
    rebuild_maps();
}

const dbg_stop &dbg_replay_last_hit() { return s.last_hit; }

void dbg_replay_depth(int frames) { s.depth_limit = frames; }

void dbg_history_truncate(uint64 passes)
{
    history_ring &h = s.history;
    while (h.count && h.entries[(h.next + DBG_HISTORY_SIZE - 1) % DBG_HISTORY_SIZE].passes > passes) {
        h.next = (h.next + DBG_HISTORY_SIZE - 1) % DBG_HISTORY_SIZE;
        h.count--;
    }
}

// ---------------------------------------------------------------------------
// History.

void dbg_history_enable(bool on)
{
    s.history.on = on;
    update_active();
}

bool dbg_history_enabled() { return s.history.on; }

void dbg_history_clear()
{
    s.history.next = 0;
    s.history.count = 0;
}

size_t dbg_history_size() { return s.history.count; }

const dbg_history_entry &dbg_history_at(size_t n)
{
    const history_ring &h = s.history;
    return h.entries[(h.next + DBG_HISTORY_SIZE - 1 - n % DBG_HISTORY_SIZE) % DBG_HISTORY_SIZE];
}

std::string dbg_history_text(const dbg_history_entry &e)
{
    char bytes[16] = "", dasm[64] = "", line[200];
    if (e.length == 0) {
        snprintf(dasm, sizeof dasm, "(idle x%u)", e.repeat);
    } else {
        for (unsigned i = 0; i < e.length && i < 4; i++) snprintf(bytes + 2 * i, 3, "%02X", e.bytes[i]);
        // The disassembly from the recorded bytes, not from memory as it is now.
        no_trace();
        const uint16 pc = e.pc;
        bool same = true;
        for (unsigned i = 0; i < e.length && i < 4; i++) same &= bus_peek((pc + i) & 0xFFFF) == e.bytes[i];
        // Only plain memory is disassembled: a read of page 1 would move a chip.
        if (same && code_address(pc) && code_address((pc + e.length - 1) & 0xFFFF))
            Dasm7000(dasm, pc);
        else
            snprintf(dasm, sizeof dasm, "(code changed since)");
        restore_trace();
    }
    snprintf(line, sizeof line, "%10" PRIu64 " %04X %-8s %-20s A=%02X B=%02X SP=%02X SR=%02X cycles=%" PRIu64, e.passes,
             e.pc, bytes, dasm, e.a, e.b, e.sp, e.sr, e.cycles);
    return line;
}

bool dbg_history_save(const char *path, std::string *error)
{
    std::string text = "; pass pc bytes instruction registers-after cycles, oldest first\n";
    for (size_t n = s.history.count; n-- > 0;) text += dbg_history_text(dbg_history_at(n)) + "\n";
    return write_file_atomic(path, text.data(), text.size(), error);
}
