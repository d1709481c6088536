// The machine's timeline (timeline.h).
//
// Keyframes are machine states captured at frame passes, at most one per
// TL_KEYFRAME_CYCLES of emulated time. Every 16th is kept whole; the others
// as the bytes that differ from the last whole one (exclusive-or, then runs
// of zero bytes counted): between two keyframes a program changes a little
// of its RAM and video memory, so a keyframe takes a few hundred bytes
// where the whole state takes 36 KiB. Restoring a keyframe is one decoding
// and one restore, a few microseconds; going to any pass is then a run of
// at most half a second of emulated time.
#include "state/timeline.h"

#include <algorithm>
#include <cstring>

#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "time/timer.h"

namespace {

constexpr int FULL_EVERY = 16;   // a whole keyframe every this many

struct keyframe {
    uint64 pass;
    uint64 cycles;
    size_t event_index;          // the events recorded before it was captured
    size_t full;                 // index of the whole keyframe it is coded against (itself when whole)
    std::vector<uint8> data;     // whole: the record's bytes; else the coded difference
};

struct timeline {
    bool active = false;
    bool recording = false;      // live input is recorded (the present is the end)
    uint64 end = 0;              // the end of the recorded time
    uint64 length = TL_DEFAULT_LENGTH;
    size_t memory_limit = TL_DEFAULT_MEMORY;
    std::vector<keyframe> keyframes;   // oldest first
    size_t first_keyframe = 0;         // keyframes before it were dropped (their data freed)
    std::vector<tl_event> events;      // in the order recorded, all of them since the origin (a movie is made of them)
    size_t first_event = 0;            // the first event the oldest keyframe left does not hold
    size_t next_event = 0;             // following the recorded future: the next event to apply
    machine_state origin;              // the machine when the timeline began
    std::vector<machine_state> states; // of TL_STATE events
    size_t memory = 0;                 // bytes of keyframe data
    bool fkeys_open = false;           // the last TL_FKEYS event may still grow
    bool playing = false;              // tl_play applies recorded input
    machine_state scratch;             // decoding
    machine_state last_full;           // the last whole keyframe, for coding
};

timeline t;

const uint8 *bytes_of(const machine_state &m) { return reinterpret_cast<const uint8 *>(&m); }
uint8 *bytes_of(machine_state &m) { return reinterpret_cast<uint8 *>(&m); }

void put_count(std::vector<uint8> &out, size_t n)
{
    while (n >= 0x80) {
        out.push_back((uint8)(n | 0x80));
        n >>= 7;
    }
    out.push_back((uint8)n);
}

size_t get_count(const uint8 *&p)
{
    size_t n = 0;
    for (int shift = 0;; shift += 7) {
        const uint8 b = *p++;
        n |= (size_t)(b & 0x7F) << shift;
        if (!(b & 0x80)) return n;
    }
}

// The difference of `now` from `base`: (zero run, literal run, literals)...
std::vector<uint8> code_difference(const machine_state &base, const machine_state &now)
{
    const uint8 *a = bytes_of(base), *b = bytes_of(now);
    const size_t n = sizeof(machine_state);
    std::vector<uint8> out;
    size_t i = 0;
    while (i < n) {
        size_t zeros = 0;
        while (i + zeros < n && a[i + zeros] == b[i + zeros]) zeros++;
        size_t lit = 0;
        // A literal run ends at 4 equal bytes in a row (cheaper as a zero run).
        while (i + zeros + lit < n) {
            const size_t j = i + zeros + lit;
            if (a[j] == b[j] && j + 3 < n && a[j + 1] == b[j + 1] && a[j + 2] == b[j + 2] && a[j + 3] == b[j + 3])
                break;
            if (a[j] == b[j] && j + 3 >= n) break;
            lit++;
        }
        put_count(out, zeros);
        put_count(out, lit);
        for (size_t k = 0; k < lit; k++) out.push_back(a[i + zeros + k] ^ b[i + zeros + k]);
        i += zeros + lit;
    }
    return out;
}

void apply_difference(const std::vector<uint8> &code, machine_state *m)
{
    uint8 *b = bytes_of(*m);
    const uint8 *p = code.data(), *end = p + code.size();
    size_t i = 0;
    while (p < end) {
        i += get_count(p);
        const size_t lit = get_count(p);
        for (size_t k = 0; k < lit; k++) b[i + k] ^= *p++;
        i += lit;
    }
}

void decode(size_t index, machine_state *m)
{
    const keyframe &k = t.keyframes[index];
    const keyframe &full = t.keyframes[k.full];
    memcpy(m, full.data.data(), sizeof *m);
    if (k.full != index) apply_difference(k.data, m);
}

uint64 clock_cycles()
{
    const orlo_time now = orlo_get_time();
    return (uint64)now.seconds * ORLO_SUBSECONDS + now.subseconds;
}

void add_keyframe()
{
    machine_state m;
    machine_state_capture(&m);
    keyframe k;
    k.pass = m.machine_passes;
    k.cycles = (uint64)m.clock.seconds * ORLO_SUBSECONDS + m.clock.subseconds;
    k.event_index = t.events.size();
    const size_t index = t.keyframes.size();
    const bool whole = index == t.first_keyframe || (index - t.first_keyframe) % FULL_EVERY == 0;
    if (whole) {
        k.full = index;
        k.data.assign(bytes_of(m), bytes_of(m) + sizeof m);
        t.last_full = m;
    } else {
        k.full = index - (index - t.first_keyframe) % FULL_EVERY;
        k.data = code_difference(t.last_full, m);
    }
    t.memory += k.data.size();
    t.keyframes.push_back(std::move(k));
}

// Drops the oldest keyframes beyond the length or the memory budget: a
// whole group of FULL_EVERY at a time (the others are coded against its
// first), never the last group.
void trim()
{
    for (;;) {
        const size_t group_end = t.first_keyframe + FULL_EVERY;
        if (group_end >= t.keyframes.size()) return;
        const uint64 newest = t.keyframes.back().cycles;
        const bool too_old = newest - t.keyframes[group_end].cycles >= t.length;
        if (!too_old && t.memory <= t.memory_limit) return;
        for (size_t i = t.first_keyframe; i < group_end; i++) {
            t.memory -= t.keyframes[i].data.size();
            std::vector<uint8>().swap(t.keyframes[i].data);
        }
        t.first_keyframe = group_end;
        t.first_event = t.keyframes[group_end].event_index;
    }
}

// The present: the machine's time between runs.
uint64 present() { return ovix_machine_passes(); }

// The last keyframe at or before `pass`.
bool keyframe_at_or_before(uint64 pass, size_t *index)
{
    for (size_t i = t.keyframes.size(); i-- > t.first_keyframe;) {
        if (t.keyframes[i].pass <= pass) {
            *index = i;
            return true;
        }
    }
    return false;
}

// F2 and F3 held over keyframe `index` (from the last F2/F3 event recorded
// before it): *fkeys and the last pass, or false.
bool fkeys_across(size_t index, uint8 *fkeys, uint64 *until)
{
    const keyframe &k = t.keyframes[index];
    for (size_t i = k.event_index; i-- > 0;) {
        const tl_event &e = t.events[i];
        if (e.kind != TL_FKEYS) continue;
        if (e.pass > k.pass || e.last <= k.pass) return false;
        *fkeys = e.fkeys;
        *until = e.last;
        return true;
    }
    return false;
}

// F2 and F3 held at the present along the recorded future: the last F2/F3
// event applied, if it lasts past now.
void held_now(tl_play_held *held)
{
    const uint64 now = present();
    for (size_t i = t.next_event; i-- > 0;) {
        const tl_event &e = t.events[i];
        if (e.kind != TL_FKEYS) continue;
        if (e.pass <= now && e.last > now) {
            held->fkeys = e.fkeys;
            held->until = e.last;
        }
        return;
    }
}

// Restores keyframe `index` and re-runs, quietly, to `pass`.
bool replay_to(size_t index, uint64 pass, std::string *error)
{
    decode(index, &t.scratch);
    machine_state_restore(t.scratch);
    dbg_forget_frames();
    size_t first = t.keyframes[index].event_index;
    tl_play_held held;
    fkeys_across(index, &held.fkeys, &held.until);
    loop_result r;
    const bool ok = tl_play(t.events, &first, t.states, pass, LOOP_NO_TARGET, nullptr, &r, held);
    t.next_event = first;
    if (!ok) {
        *error = "the recorded run stopped before pass " + std::to_string(pass);
        return false;
    }
    return true;
}

dbg_stop back_stop(bool start)
{
    dbg_stop stop;
    stop.kind = DBG_STOP_STEP;
    stop.step = DBG_STEP_BACK;
    stop.back = true;
    stop.start_of_time = start;
    stop.pc = tms7000.pc.w.l;
    stop.passes = present();
    return stop;
}

// Following recorded input: the keyboard poll reads no host key, and F1,
// F2 and F3 come from ovix_follow_keys.
struct following {
    bool was;
    following() : was(ovix_following)
    {
        ovix_following = true;
        memset(ovix_follow_keys, 0, OVIX_KEY_MAX);
    }
    ~following() { ovix_following = was; }
};

}  // namespace

// ---------------------------------------------------------------------------

void tl_begin(uint64 length_cycles, size_t memory_limit)
{
    t = timeline{};   // next_event 0: nothing to follow
    t.active = true;
    t.recording = true;
    t.length = length_cycles ? length_cycles : TL_DEFAULT_LENGTH;
    t.memory_limit = memory_limit ? memory_limit : TL_DEFAULT_MEMORY;
    t.end = present();
    machine_state_capture(&t.origin);
    add_keyframe();
}

void tl_end() { t = timeline{}; }

bool tl_active() { return t.active; }

uint64 tl_begin_pass() { return t.active && t.first_keyframe < t.keyframes.size() ? t.keyframes[t.first_keyframe].pass : 0; }

// While live input is recorded, the present is the end.
static void extend_end()
{
    if (t.recording && present() > t.end) t.end = present();
}

uint64 tl_end_pass()
{
    extend_end();
    return t.end;
}

bool tl_replaying() { return t.active && !t.recording && present() < t.end; }

void tl_restart()
{
    if (!t.active) return;
    const uint64 length = t.length;
    const size_t limit = t.memory_limit;
    tl_begin(length, limit);
}

void tl_note_key(int code, const ovix_key_state &held)
{
    if (!t.recording) return;
    extend_end();
    tl_event e;
    e.pass = present();
    e.kind = TL_KEY;
    e.code = code;
    e.held_code = held.code;
    e.held_host = held.host;
    t.events.push_back(e);
    t.fkeys_open = false;
}

void tl_note_fkeys(uint64 pass, uint8 fkeys)
{
    if (!t.recording) return;
    if (t.fkeys_open && !t.events.empty()) {
        tl_event &last = t.events.back();
        if (last.kind == TL_FKEYS && last.fkeys == fkeys && last.last + 1 == pass) {
            last.last = pass;
            return;
        }
    }
    tl_event e;
    e.pass = pass;
    e.kind = TL_FKEYS;
    e.fkeys = fkeys;
    e.last = pass;
    t.events.push_back(e);
    t.fkeys_open = true;
}

// An input while the machine is in the past changes its future: the
// recorded future goes and live input is recorded from here.
static bool input_recorded()
{
    if (!t.active || t.playing) return false;
    if (!t.recording) tl_drop_future();
    return true;
}

void tl_note_reset()
{
    if (!input_recorded()) return;
    tl_event e;
    e.pass = present();
    e.kind = TL_RESET;
    t.events.push_back(e);
    t.fkeys_open = false;
}

void tl_note_change()
{
    if (!input_recorded()) return;
    tl_event e;
    e.pass = present();
    e.kind = TL_STATE;
    e.state = (uint32)t.states.size();
    t.states.emplace_back();
    machine_state_capture(&t.states.back());
    t.events.push_back(e);
    t.fkeys_open = false;
}

void tl_frame()
{
    if (!t.recording || t.keyframes.empty()) return;
    extend_end();
    if (clock_cycles() - t.keyframes.back().cycles < TL_KEYFRAME_CYCLES) return;
    add_keyframe();
    trim();
}

void tl_drop_future()
{
    if (!t.active || t.recording) return;
    const uint64 now = present();
    // The events not yet applied are the future.
    if (t.next_event < t.first_event) t.next_event = t.first_event;
    t.events.resize(t.next_event);
    for (size_t i = t.events.size(); i-- > 0;) {
        tl_event &e = t.events[i];
        if (e.kind != TL_FKEYS) continue;
        if (e.last > now) e.last = now;   // held no longer
        break;
    }
    while (t.keyframes.size() > t.first_keyframe + 1 &&
           (t.keyframes.back().pass > now || t.keyframes.back().event_index > t.next_event)) {
        t.memory -= t.keyframes.back().data.size();
        t.keyframes.pop_back();
    }
    // The last whole keyframe codes the next ones.
    const size_t last = t.keyframes.size() - 1;
    decode(t.keyframes[last].full, &t.last_full);
    t.end = now;
    t.recording = true;
    t.fkeys_open = false;
}

bool tl_play(const std::vector<tl_event> &events, size_t *first, const std::vector<machine_state> &states, uint64 to,
             uint32 target, const loop_hooks *hooks, loop_result *r, tl_play_held held)
{
    following keys;
    struct playing_scope {
        bool was = t.playing;
        playing_scope() { t.playing = true; }
        ~playing_scope() { t.playing = was; }
    } playing;
    *r = loop_result{0, 0, LOOP_STOP_COUNT};
    uint64 fkeys_until = 0;   // F2/F3 held up to this pass
    if (held.fkeys) {
        ovix_follow_keys[OVIX_KEY_F2] = (held.fkeys & 1) ? 1 : 0;
        ovix_follow_keys[OVIX_KEY_F3] = (held.fkeys & 2) ? 1 : 0;
        fkeys_until = held.until;
    }
    for (;;) {
        const uint64 now = present();
        // The events due now.
        while (*first < events.size()) {
            const tl_event &e = events[*first];
            const uint64 due = e.kind == TL_FKEYS ? e.pass - 1 : e.pass;
            if (due > now) break;
            switch (e.kind) {
            case TL_KEY:
                if (e.code >= 0) send_key(e.code);
                ovix_set_key_state({e.held_code, e.held_host});
                break;
            case TL_FKEYS:
                ovix_follow_keys[OVIX_KEY_F2] = (e.fkeys & 1) ? 1 : 0;
                ovix_follow_keys[OVIX_KEY_F3] = (e.fkeys & 2) ? 1 : 0;
                fkeys_until = e.last;
                break;
            case TL_RESET: ovix_reset(); break;
            case TL_STATE: machine_state_restore(states[e.state]); break;
            }
            ++*first;
        }
        if (fkeys_until && now >= fkeys_until) {
            ovix_follow_keys[OVIX_KEY_F2] = ovix_follow_keys[OVIX_KEY_F3] = 0;
            fkeys_until = 0;
        }
        if (now >= to) return true;
        uint64 next = to;
        if (*first < events.size()) {
            const tl_event &e = events[*first];
            next = std::min(next, e.kind == TL_FKEYS ? e.pass - 1 : e.pass);
        }
        if (fkeys_until) next = std::min(next, fkeys_until);
        const loop_result part = ovix_resume(target, next - now, hooks);
        r->passes += part.passes;
        r->cycles += part.cycles;
        r->reason = part.reason;
        if (part.reason != LOOP_STOP_COUNT) return false;
    }
}

loop_result tl_resume(uint32 target, uint64 max_passes, const loop_hooks *hooks)
{
    if (!tl_replaying()) {
        const loop_result r = ovix_resume(target, max_passes, hooks);
        extend_end();
        return r;
    }
    // The recorded future first, as far as it goes.
    const uint64 now = present();
    const uint64 to = max_passes < t.end - now ? now + max_passes : t.end;
    size_t first = t.next_event;
    t.recording = false;
    loop_result r;
    tl_play_held held;
    held_now(&held);
    const bool whole = tl_play(t.events, &first, t.states, to, target, hooks, &r, held);
    t.next_event = first;
    if (present() >= t.end && first >= t.events.size()) t.recording = true;   // the end: live input from here
    if (!whole || r.passes >= max_passes) return r;
    const loop_result more = ovix_resume(target, max_passes - r.passes, hooks);
    extend_end();
    r.passes += more.passes;
    r.cycles += more.cycles;
    r.reason = more.reason;
    return r;
}

// ---------------------------------------------------------------------------
// Travel.

dbg_stop tl_goto(uint64 pass, std::string *error)
{
    if (!t.active) {
        *error = "no time is recorded";
        return dbg_stop{};
    }
    extend_end();
    const uint64 begin = tl_begin_pass();
    if (pass < begin || pass > t.end) {
        *error = "pass " + std::to_string(pass) + " is outside the recorded time (passes " + std::to_string(begin) +
                 " to " + std::to_string(t.end) + ")";
        return dbg_stop{};
    }
    size_t index;
    if (!keyframe_at_or_before(pass, &index)) {
        *error = "no keyframe before pass " + std::to_string(pass);
        return dbg_stop{};
    }
    // Forwards along the recorded future without a restore when that is
    // shorter.
    const uint64 now = present();
    t.recording = false;
    dbg_replay(DBG_REPLAY_QUIET);
    bool ok;
    if (pass >= now && pass - now <= pass - t.keyframes[index].pass) {
        size_t first = t.next_event;
        loop_result r;
        tl_play_held held;
        held_now(&held);
        ok = tl_play(t.events, &first, t.states, pass, LOOP_NO_TARGET, nullptr, &r, held);
        t.next_event = first;
        if (!ok) *error = "the recorded run stopped before pass " + std::to_string(pass);
    } else {
        ok = replay_to(index, pass, error);
    }
    dbg_replay(DBG_LIVE);
    t.recording = present() >= t.end && t.next_event >= t.events.size();
    dbg_history_truncate(present());
    if (!ok) return dbg_stop{};
    return back_stop(false);
}

dbg_stop tl_step_back(std::string *error)
{
    const uint64 now = present();
    if (!t.active || now <= tl_begin_pass()) {
        *error = t.active ? "this is the start of the recorded time" : "no time is recorded";
        return dbg_stop{};
    }
    return tl_goto(now - 1, error);
}

// Re-runs keyframe `index`'s interval up to pass `to` (excluded: the states
// before it) with the engine in `mode`, and returns the last pass the
// engine kept (or false).
static bool last_kept_in(size_t index, uint64 to, dbg_replay_mode mode, int depth, dbg_stop *hit, std::string *error)
{
    dbg_replay(mode);
    if (depth >= 0) dbg_replay_depth(depth);
    const bool ok = replay_to(index, to - 1, error);
    *hit = dbg_replay_last_hit();
    dbg_replay(DBG_LIVE);
    return ok && hit->kind != DBG_STOP_NONE && hit->passes < to;
}

// Searches back, keyframe interval by keyframe interval, for the last pass
// the engine keeps in `mode`; goes there, or to the start of the time.
static dbg_stop search_back(dbg_replay_mode mode, int depth, std::string *error)
{
    const uint64 now = present();
    if (!t.active || now <= tl_begin_pass()) {
        *error = t.active ? "this is the start of the recorded time" : "no time is recorded";
        return dbg_stop{};
    }
    size_t index;
    if (!keyframe_at_or_before(now - 1, &index)) {
        *error = "no keyframe before the present";
        return dbg_stop{};
    }
    t.recording = false;
    uint64 to = now;
    for (;;) {
        dbg_stop hit;
        if (!last_kept_in(index, to, mode, depth, &hit, error)) {
            if (!error->empty()) break;
        } else {
            dbg_stop found = tl_goto(hit.passes, error);
            if (found.kind == DBG_STOP_NONE) break;
            if (hit.kind == DBG_STOP_STEP) return found;
            hit.back = true;
            hit.pc = found.pc;
            return hit;
        }
        if (index == t.first_keyframe) {
            dbg_stop start = tl_goto(t.keyframes[index].pass, error);
            if (start.kind != DBG_STOP_NONE) start.start_of_time = true;
            return start;
        }
        to = t.keyframes[index].pass + 1;   // the keyframe's own state is the earlier interval's last
        index--;
    }
    // Back where it was after a failed search.
    std::string ignored;
    tl_goto(now, &ignored);
    return dbg_stop{};
}

dbg_stop tl_step_back_over(std::string *error)
{
    // The routine it is in: as deep in frames as now, or less.
    const int depth = (int)dbg_call_stack().size();
    return search_back(DBG_REPLAY_DEPTH, depth, error);
}

dbg_stop tl_reverse_continue(std::string *error) { return search_back(DBG_REPLAY_COLLECT, -1, error); }

size_t tl_memory()
{
    size_t states = t.states.size() * sizeof(machine_state);
    return t.memory + states + t.events.size() * sizeof(tl_event);
}

size_t tl_keyframes() { return t.keyframes.size() - t.first_keyframe; }

const std::vector<tl_event> &tl_events() { return t.events; }

const machine_state &tl_state(uint32 index) { return t.states[index]; }

const machine_state &tl_origin() { return t.origin; }

const std::vector<machine_state> &tl_states() { return t.states; }

void tl_load_future(const machine_state &origin, std::vector<tl_event> events, std::vector<machine_state> states,
                    uint64 end)
{
    const uint64 length = t.active ? t.length : 0;
    const size_t limit = t.active ? t.memory_limit : 0;
    machine_state_restore(origin);
    dbg_forget_frames();
    tl_begin(length, limit);
    t.events = std::move(events);
    t.states = std::move(states);
    t.next_event = 0;
    t.keyframes[0].event_index = 0;   // the origin holds none of them
    t.end = end < present() ? present() : end;
    t.recording = t.end == present() && t.events.empty();
}

bool tl_keyframe_before(uint64 pass, uint64 *keyframe_pass)
{
    size_t index;
    if (!keyframe_at_or_before(pass, &index)) return false;
    *keyframe_pass = t.keyframes[index].pass;
    return true;
}

// The timeline records the machine's input from the moment it is linked
// into a program (each hook does nothing while no timeline records).
[[maybe_unused]] static const bool hooked = [] {
    ovix_observers.key_sent = tl_note_key;
    ovix_observers.fkeys_held = tl_note_fkeys;
    ovix_observers.reset = tl_note_reset;
    ovix_observers.power_on = tl_restart;
    ovix_observers.frame = tl_frame;
    return true;
}();
