// The timeline and movies, as properties on random programs with keys
// typed at random passes, timers and interrupts pending and transfers of
// the I/O processor under way: going back gives the very machine that was
// there, going forwards again the same future, a reverse continue the hit a
// forward run met last, and a movie the same machine again.
#include <algorithm>
#include <ctime>
#include <map>

#include "debug/engine.h"
#include "debug/source_debug.h"
#include "random_machine.h"
#include "machine/machine_state.h"
#include "state/checksum.h"
#include "state/movie.h"
#include "state/timeline.h"
#include "test_support.h"

namespace {

// Keys typed at random frame passes (asked every LOOP_DUE_PASSES passes).
struct typist {
    std::mt19937 rng;
    explicit typist(uint32 seed) : rng(seed) {}
    static typist *current;
    static int next()
    {
        const uint32 r = current->rng();
        if (r % 7) return -1;
        static const int codes[] = {0x41, 0x5A, 0x0D, 0x20, 0x80, 0x31, OVIX_KEY_RELEASE};
        return codes[(r >> 8) % 7];
    }
};
typist *typist::current = nullptr;

bool always_due(void *) { return true; }
const loop_hooks kTyping = {nullptr, nullptr, nullptr, always_due};

machine_state now_state()
{
    machine_state m;
    machine_state_capture(&m);
    return m;
}

bool same(const machine_state &a, const machine_state &b) { return memcmp(&a, &b, sizeof a) == 0; }

class Timeline : public random_machine_test {
protected:
    void TearDown() override
    {
        ovix_key_source = nullptr;
        tl_end();
        dbg_reset();
        srcdbg_clear();
    }

    // A cold start on a random program (or our BIOS, whose start-up
    // fetches the character set from the I/O processor, for seed 0x100 and
    // above), a timeline, keys from `t`.
    void begin(uint32 seed, typist *t)
    {
        start(seed >= 0x100 ? std::vector<uint8>{} : random_program(seed), false);
        dbg_reset();
        typist::current = t;
        ovix_key_source = typist::next;
        tl_begin();
    }

    // Runs forwards to pass `to` (live input recorded), in runs of a random
    // length, keeping the state after each run.
    void run_to(uint64 to, std::mt19937 &rng, std::map<uint64, machine_state> *kept, moments *seen = nullptr)
    {
        while (ovix_machine_passes() < to) {
            const uint64 n = std::min<uint64>(1 + rng() % 20000, to - ovix_machine_passes());
            tl_resume(LOOP_NO_TARGET, n, &kTyping);
            (*kept)[ovix_machine_passes()] = now_state();
            if (seen) seen->look();
        }
    }
};

TEST_F(Timeline, BackThenForwardsGivesTheSameMachines)
{
    int checked = 0;
    moments seen;
    for (uint32 seed : {1u, 2u, 3u, 0x101u, 0x102u, 0x103u}) {
        typist keys(seed);
        begin(seed, &keys);
        std::mt19937 rng(seed * 77);
        std::map<uint64, machine_state> kept;
        kept[0] = now_state();
        run_to(1500000, rng, &kept, &seen);
        const uint64 end = ovix_machine_passes();
        const machine_state at_end = kept[end];
        // Back to states met on the way, then forwards to the end again.
        for (int i = 0; i < 6; i++) {
            auto it = kept.begin();
            std::advance(it, (long)(rng() % kept.size()));
            std::string error;
            const dbg_stop stop = tl_goto(it->first, &error);
            ASSERT_EQ(stop.kind, DBG_STOP_STEP) << error;
            EXPECT_TRUE(same(now_state(), it->second)) << "seed " << seed << " back to pass " << it->first;
            tl_resume(LOOP_NO_TARGET, end - ovix_machine_passes(), &kTyping);
            EXPECT_EQ(ovix_machine_passes(), end);
            EXPECT_TRUE(same(now_state(), at_end)) << "seed " << seed << " forwards from pass " << it->first;
            checked++;
        }
        // k single steps back, k forwards.
        for (int k = 1; k <= 3; k++) {
            std::string error;
            for (int i = 0; i < k; i++) ASSERT_EQ(tl_step_back(&error).kind, DBG_STOP_STEP) << error;
            EXPECT_EQ(ovix_machine_passes(), end - k);
            tl_resume(LOOP_NO_TARGET, (uint64)k, &kTyping);
            EXPECT_TRUE(same(now_state(), at_end)) << "seed " << seed << ", " << k << " back and forwards";
        }
    }
    EXPECT_EQ(checked, 36);
    // The runs went back to machines with these under way.
    EXPECT_GT(seen.timer_pending, 0);
    EXPECT_GT(seen.irq_pending, 0);
    EXPECT_GT(seen.mid_transfer, 0);
}

TEST_F(Timeline, ReverseContinueFindsTheHitsAForwardRunMet)
{
    for (uint32 seed = 11; seed <= 14; seed++) {
        typist keys(seed);
        begin(seed, &keys);
        std::mt19937 rng(seed);
        // A watchpoint on the registers the programs write, and a breakpoint
        // on their loop.
        std::string error;
        ASSERT_TRUE(dbg_watch_add(WATCH_WRITE, "20-2F", "value&1", nullptr, &error)) << error;
        ASSERT_TRUE(dbg_break_add("F80A", "PASSES%3==0", nullptr, false, &error)) << error;   // the loop
        std::vector<std::pair<uint64, machine_state>> hits;
        while (hits.size() < 12 && ovix_machine_passes() < 3000000) {
            const dbg_stop stop = dbg_run(LOOP_NO_TARGET, 400000, &kTyping);
            if (stop.kind == DBG_STOP_BREAK || stop.kind == DBG_STOP_WATCH)
                hits.emplace_back(ovix_machine_passes(), now_state());
        }
        ASSERT_GE(hits.size(), 4u) << "seed " << seed;
        // From the last, back through all the hits before it.
        for (size_t i = hits.size() - 1; i-- > 0;) {
            const dbg_stop back = tl_reverse_continue(&error);
            ASSERT_NE(back.kind, DBG_STOP_NONE) << error;
            EXPECT_TRUE(back.back);
            EXPECT_EQ(ovix_machine_passes(), hits[i].first) << "seed " << seed << " hit " << i;
            EXPECT_TRUE(same(now_state(), hits[i].second)) << "seed " << seed << " hit " << i;
        }
        // Before the first hit: the start of the recorded time.
        const dbg_stop start = tl_reverse_continue(&error);
        EXPECT_TRUE(start.start_of_time) << dbg_stop_text(start);
        EXPECT_EQ(ovix_machine_passes(), 0u);
        tl_end();
        dbg_reset();
    }
}

TEST_F(Timeline, StepBackOverSkipsTheCallsAndInterruptsBetween)
{
    // A subroutine called from a loop, with timer interrupts between.
    const char src[] = " ORG $F800\nstart: MOV %96,B\n LDSP\n MOVP %10,P2\n MOVP %128,P3\n MOVP %4,P0\n EINT\n"
                       "loop: INC R20\n CALL sub\nafter: INC R21\n BR loop\nsub: INC R22\n INC R23\n RETS\n"
                       "isr: INC R24\n RETI\n ORG $FFF8\n DW isr, isr, isr, start\n";
    ovasm::Options o;
    o.has_base = o.has_size = true;
    o.base = 0xF800;
    o.size = 2048;
    const ovasm::Result r = ovasm::assemble_text("over.asm", src, o);
    ASSERT_TRUE(r.ok) << r.errors[0];
    auto label = [&](const char *name) {
        for (const ovasm::Label &l : r.labels)
            if (l.name == name) return l.address;
        return 0u;
    };
    start(r.image, false);
    dbg_reset();
    tl_begin();
    std::string error;
    char after[8];
    snprintf(after, sizeof after, "%04X", label("after"));
    ASSERT_TRUE(dbg_break_add(after, nullptr, nullptr, false, &error)) << error;
    for (int i = 0; i < 5; i++) dbg_run(LOOP_NO_TARGET, 100000, nullptr);
    ASSERT_EQ(tms7000.pc.w.l, label("after"));
    dbg_delete_all();
    // Back over the call: to the CALL itself, however many interrupts came.
    const dbg_stop over = tl_step_back_over(&error);
    ASSERT_EQ(over.kind, DBG_STOP_STEP) << error;
    EXPECT_EQ(tms7000.pc.w.l, label("after") - 3) << "at " << std::hex << tms7000.pc.w.l;
    const dbg_stop again = tl_step_back_over(&error);
    ASSERT_EQ(again.kind, DBG_STOP_STEP) << error;
    EXPECT_EQ(tms7000.pc.w.l, label("loop")) << "at " << std::hex << tms7000.pc.w.l;
}

// The call stack as the tests compare it: what each frame is, not what the
// stack holds now.
std::string stack_text()
{
    std::string text;
    for (const dbg_frame &f : dbg_call_stack()) {
        char t[64];
        snprintf(t, sizeof t, "%d %04X %04X %04X %02X|", f.kind, f.entry, f.return_pc, f.call_pc, f.sp);
        text += t;
    }
    return text;
}

// Our BIOS at its prompt with keys typed (each enters INT1 at a keyboard
// poll, between two passes), stepped pass by pass with the call stack noted
// at each: going to a pass gives the same call stack, a step back over
// goes to the pass a forward run says (never into an interrupt routine
// that came between), and a step back by source line across the prompt's
// IDLE is one walk, not a re-run per pass.
TEST_F(Timeline, StepsBackOverInterruptsKeepTheCallStackOfAForwardRun)
{
    typist keys(0x105);
    begin(0x105, &keys);
    std::string error;
    ASSERT_TRUE(srcdbg_load(OVIX_BINARY_DIR "/roms/bios/BIOS7020.dbg", &error)) << error;   // source lines; frames kept
    std::mt19937 rng(0x105);
    std::map<uint64, machine_state> kept;
    run_to(1300000, rng, &kept);
    dbg_history_enable(true);   // the steps below look at every pass
    struct noted {
        uint16 pc;
        size_t depth;
        std::string stack;
    };
    const uint64 first = ovix_machine_passes();
    std::vector<noted> model;   // model[i]: after pass first + i
    model.push_back({tms7000.pc.w.l, dbg_call_stack().size(), stack_text()});
    for (int i = 0; i < 20000; i++) {
        ASSERT_EQ(dbg_step(DBG_STEP_INTO, 1, 1, &kTyping).kind, DBG_STOP_STEP);
        model.push_back({tms7000.pc.w.l, dbg_call_stack().size(), stack_text()});
    }
    dbg_history_enable(false);
    auto at = [&](uint64 pass) -> const noted & { return model[pass - first]; };
    // The chain of steps back over from `pass`: the newest earlier pass no deeper.
    auto back_over = [&](uint64 pass) -> uint64 {
        for (uint64 q = pass; q-- > first;)
            if (at(q).depth <= at(pass).depth) return q;
        return 0;   // before the noted passes
    };
    // Passes to go back from: inside interrupt routines, just back from one
    // at the prompt's IDLE (FC39, then JMP at FC3A), and others.
    std::vector<uint64> from;
    for (uint64 p = first + 1; p < first + model.size(); p++) {
        const noted &n = at(p);
        const bool in_routine = n.stack.rfind("2 ", 0) == 0;   // the innermost frame an interrupt's
        const bool woke = n.pc == 0xFC3A && at(p - 1).depth > n.depth;
        if (woke || (in_routine && p % 97 == 0) || p % 1999 == 0) from.push_back(p);
    }
    int woken = 0, inside = 0;
    double worst_line_back = 0;
    for (uint64 p : from) {
        ASSERT_EQ(tl_goto(p, &error).kind, DBG_STOP_STEP) << error;
        EXPECT_EQ(stack_text(), at(p).stack) << "going back to pass " << p;
        inside += at(p).stack.rfind("2 ", 0) == 0;
        const uint64 q = back_over(p);
        ASSERT_EQ(tl_step_back_over(&error).kind, DBG_STOP_STEP) << error;
        if (q) EXPECT_EQ(ovix_machine_passes(), q) << "back over from pass " << p;
        ASSERT_EQ(tl_goto(p, &error).kind, DBG_STOP_STEP) << error;
        const std::clock_t c0 = std::clock();
        const dbg_stop line = srcdbg_line_back(&error);
        worst_line_back = std::max(worst_line_back, double(std::clock() - c0) / CLOCKS_PER_SEC);
        ASSERT_EQ(line.kind, DBG_STOP_STEP) << error;
        const uint64 l = ovix_machine_passes();
        if (l <= first) continue;
        // Back in the routine it was in (or one that called it), on another line.
        EXPECT_LE(at(l).depth, at(p).depth) << "line back from pass " << p << " to " << l;
        EXPECT_FALSE(srcmap_statement_at(at(l).pc) == srcmap_statement_at(at(p).pc)) << "from pass " << p;
        woken += at(p).pc == 0xFC3A;
    }
    EXPECT_GT(woken, 0);
    EXPECT_GT(inside, 0);
    EXPECT_LT(worst_line_back, 1.0) << "seconds of CPU time for one step back by line";
}

// A travel the front end interrupts (Ctrl-C during the re-run, here at its
// first frame pass) fails, and leaves the machine, its call stack and the
// timeline where they were.
TEST_F(Timeline, ATravelThatFailsChangesNothing)
{
    typist keys(3);
    begin(3, &keys);
    std::string error;
    ASSERT_TRUE(dbg_break_add("0300", nullptr, nullptr, false, &error)) << error;   // never reached: frames kept
    std::mt19937 rng(3);
    std::map<uint64, machine_state> kept;
    run_to(2000000, rng, &kept);
    uint64 early, late, next = 0;
    ASSERT_TRUE(tl_keyframe_before(500000, &early));
    ASSERT_TRUE(tl_keyframe_before(1500000, &late));
    // Each re-run below is longer than the 100000 passes between two frame
    // passes (the forward goto runs on from where it is: no keyframe between).
    const uint64 far = late + 100010, near = late + 1000, ahead = near + 100010;
    ASSERT_TRUE(tl_keyframe_before(ahead, &next));
    ASSERT_EQ(next, late);
    static bool armed;
    static void (*tl_frame_hook)() = ovix_observers.frame;
    ovix_observers.frame = [] {
        tl_frame_hook();
        if (armed) ask_bkpt = 1;
    };
    ASSERT_TRUE(dbg_break_add("F80A", nullptr, nullptr, false, &error)) << error;   // for reverse continue
    const struct {
        const char *name;
        uint64 from;
        std::function<dbg_stop()> travel;
    } travels[] = {
        {"goto back", far, [&] { return tl_goto(early + 100010, &error); }},
        {"goto forwards", near, [&] { return tl_goto(ahead, &error); }},
        {"step back", far, [&] { return tl_step_back(&error); }},
        {"step back over", far, [&] { return tl_step_back_over(&error); }},
        {"reverse continue", far, [&] { return tl_reverse_continue(&error); }},
        {"a walk back", far, [&] { return tl_walk_back([](const dbg_trail_run &, uint64 *) { return false; }, &error); }},
    };
    for (const auto &t : travels) {
        ASSERT_EQ(tl_goto(t.from, &error).kind, DBG_STOP_STEP) << error;
        const machine_state before = now_state();
        const std::string stack = stack_text();
        armed = true;
        error.clear();
        const dbg_stop stop = t.travel();
        armed = false;
        EXPECT_EQ(stop.kind, DBG_STOP_NONE) << t.name;
        EXPECT_NE(error, "") << t.name;
        EXPECT_TRUE(same(now_state(), before)) << t.name << ": now at pass " << ovix_machine_passes();
        EXPECT_EQ(stack_text(), stack) << t.name;
        EXPECT_EQ(tl_end_pass(), 2000000u) << t.name;
        EXPECT_NE(t.travel().kind, DBG_STOP_NONE) << t.name << ": " << error;   // unhindered, it goes
    }
    ovix_observers.frame = tl_frame_hook;
}

TEST_F(Timeline, MoviesPlayTheSameMachineAndRefuseWhatIsNotTheirs)
{
    typist keys(5);
    begin(5, &keys);
    std::mt19937 rng(5);
    std::map<uint64, machine_state> kept;
    run_to(800000, rng, &kept);
    const machine_state end = now_state();
    const std::string movie = movie_text();
    // Played: the same machine at its end.
    scramble();
    uint64 end_pass = 0;
    std::string error;
    ASSERT_TRUE(movie_load_bytes(reinterpret_cast<const uint8 *>(movie.data()), movie.size(), "m.ovm", &error, &end_pass))
        << error;
    EXPECT_EQ(end_pass, 800000u);
    EXPECT_EQ(ovix_machine_passes(), 0u);
    // The same machine at every point the recording run passed, not only at
    // its end.
    for (const auto &[pass, state] : kept) {
        tl_resume(LOOP_NO_TARGET, pass - ovix_machine_passes(), nullptr);
        ASSERT_EQ(ovix_machine_passes(), pass);
        ASSERT_TRUE(same(now_state(), state)) << "at pass " << pass;
    }
    EXPECT_TRUE(same(now_state(), end));
    EXPECT_FALSE(tl_replaying());   // its end: live input from here

    // Refused, and the machine untouched.
    std::string version2 = movie;
    version2.replace(version2.find("\"version\":1"), 11, "\"version\":2");
    std::string altered = movie;
    altered[altered.find("\"end\":") + 6] = '7';
    std::string key_past_end = movie;
    const struct {
        const char *name;
        std::string bytes;
        const char *why;
    } bad[] = {
        {"empty", "", " is empty"},
        {"cut", movie.substr(0, movie.size() / 2), " is truncated"},
        {"cut magic", movie.substr(0, 10), " is truncated: it ends inside the movie's magic"},
        {"foreign", "{\"magic\": \"ovix snapshot\"}", " is not a movie"},
        {"future", version2, " is a movie of format version 2"},
        {"altered", altered, " is corrupted: its checksum does not match"},
        // Nested as deep as a movie may be, one deeper, and far deeper.
        {"nested at the bound", R"({"magic":"ovix movie","x":)" + std::string(63, '[') + std::string(63, ']') + "}",
         " is corrupted: its version is missing"},
        {"nested too deep", R"({"magic":"ovix movie","x":)" + std::string(64, '[') + std::string(64, ']') + "}",
         " is corrupted: objects and arrays nested deeper than 64 levels"},
        {"nested deep in an event", movie.substr(0, movie.find("\"events\":[") + 10) + std::string(100000, '[') + "]",
         " is corrupted: objects and arrays nested deeper than 64 levels"},
        {"a member twice", R"({"magic":"ovix movie","version":1,"version":1})", " is corrupted: member \"version\" comes twice"},
    };
    const machine_state before = now_state();
    for (const auto &c : bad) {
        EXPECT_FALSE(movie_load_bytes(reinterpret_cast<const uint8 *>(c.bytes.data()), c.bytes.size(), "m.ovm", &error))
            << c.name;
        EXPECT_NE(error.find(std::string("m.ovm") + c.why), std::string::npos) << c.name << ": " << error;
        EXPECT_TRUE(same(now_state(), before)) << c.name;
    }
    // Another cartridge than the one it was made with.
    ASSERT_EQ(RomLoad(DEMO.c_str()), nullptr);
    EXPECT_FALSE(movie_load_bytes(reinterpret_cast<const uint8 *>(movie.data()), movie.size(), "m.ovm", &error));
    EXPECT_NE(error.find("cartridge"), std::string::npos) << error;
}

// A movie of a million events is read in a few times its size (the
// events one at a time), not in the ten and more times its size of a
// whole parse.
TEST_F(Timeline, ALongMovieIsReadInAFewTimesItsSize)
{
    if (!peak_memory_measurable()) GTEST_SKIP() << "the peak of the memory cannot be measured here";
    typist keys(6);
    begin(6, &keys);
    std::mt19937 rng(6);
    std::map<uint64, machine_state> kept;
    run_to(1000, rng, &kept);
    std::string text;
    {
        nlohmann::ordered_json j = nlohmann::ordered_json::parse(movie_text());
        const size_t n = 1000000;
        nlohmann::ordered_json events = nlohmann::ordered_json::array();
        for (size_t i = 0; i < n; i++) events.push_back({i + 1, "key", 0x41, 0, 0});
        j["events"] = std::move(events);
        j["end"] = n + 1;
        j["checksum"] = json_checksum(j);
        text = j.dump();
    }
    struct load {
        const std::string *text;
        bool ok = false;
        std::string error;
        uint64 end = 0;
    } l{&text, false, "", 0};
    const long long grew = peak_memory_growth(
        [](void *p) {
            load &one = *static_cast<load *>(p);
            one.ok = movie_load_bytes(reinterpret_cast<const uint8 *>(one.text->data()), one.text->size(), "long.ovm", &one.error, &one.end);
        },
        &l);
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.end, 1000001u);
    ASSERT_GE(grew, 0);
    EXPECT_LT(grew, 5 * (long long)text.size()) << grew / 1000000 << " MB for a movie of " << text.size() / 1000000 << " MB";
}

}  // namespace
