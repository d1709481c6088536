// The headless runner (see headless.h): the window program's start-up
// without the window, one call of the shared loop, then the requested
// outputs and a summary line.
#include "headless.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <CLI/CLI.hpp>

#include "cpu/tms7000.h"
#include "debug/engine.h"
#include "debug/source_debug.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/files.h"
#include "time/timer.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "state/snapshot.h"
#include "state/movie.h"
#include "state/timeline.h"
#include "video/tms3556.h"

#include "services/cli_parse.h"
#include "services/console.h"
#include "services/png.h"
#include "services/typing.h"

static constexpr double MACHINE_MHZ = 5.0;

static const char usage[] =
    "usage: ovix-headless [--bios FILE] [--cart FILE] [--load-state FILE] [--instructions N]\n"
    "                     [--until-pc HEX|LABEL] [--type TEXT] [--screenshot FILE.png] [--state FILE.json]\n"
    "                     [--trace-all] [--symbols FILE]... [--debug-info FILE]...\n"
    "                     [--break LOCATION[:CONDITION[:HITS]]]... [--watch [r|w|rw:]RANGE[:CONDITION]]...\n"
    "                     [--console [--json]] [--seconds S | --cycles N | --frames N] [--type-at WHEN:TEXT]...\n"
    "                     [--keys FILE] [--record FILE] [--play FILE] [--help]\n";

// ---------------------------------------------------------------------------
// Options

// True when s is one or more decimal (or hexadecimal) digits and nothing
// else. The string-to-number functions would also take leading white space,
// a sign and, in base 16, a second 0x; a value must be digits only.
static bool all_digits(const char *s, bool hex)
{
    if (!*s) return false;
    for (; *s; s++) {
        const int c = (unsigned char)*s;
        if (!(hex ? isxdigit(c) : isdigit(c))) return false;
    }
    return true;
}

// A decimal count of at least 1.
static bool parse_count(const char *s, uint64 *out)
{
    if (!all_digits(s, false)) return false;
    errno = 0;
    unsigned long long v = strtoull(s, nullptr, 10);
    if (errno == ERANGE || v == 0) return false;
    *out = v;
    return true;
}

// A 16-bit address in hexadecimal, with or without 0x.
static bool parse_address(const char *s, uint16 *out)
{
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
    if (!all_digits(s, true) || strlen(s) > 4) return false;
    *out = (uint16)strtoul(s, nullptr, 16);
    return true;
}

// The options as CLI11 sees them: every value is taken as text and checked
// here afterwards, with the runner's own rules and messages.
// (In a namespace of this file: the window program links the runner, which has its own.)
namespace {
struct option_texts {
    std::string instructions, until_pc, seconds, cycles, frames;
};
}  // namespace

static void declare_options(CLI::App &app, headless_options *opt, option_texts *t)
{
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--bios", opt->bios, "BIOS image (2048 bytes); default bios/BIOS7020.bin")->option_text("FILE");
    app.add_option("--cart", opt->cart, "cartridge image, loaded after start-up, then a machine reset")
        ->option_text("FILE");
    app.add_option("--load-state", opt->load_state,
                   "start from this snapshot instead of a cold start (taken with the same BIOS and cartridge)")
        ->option_text("FILE");
    app.add_option("--instructions", t->instructions, "stop after N loop passes (default 10000000)")
        ->option_text("N");
    app.add_option("--until-pc", t->until_pc,
                   "stop when the program counter equals this address (or label of --symbols) after a pass")
        ->option_text("HEX|LABEL");
    app.add_option("--seconds", t->seconds, "stop after this emulated time (decimal seconds)")->option_text("S");
    app.add_option("--cycles", t->cycles, "stop after this many emulated cycles")->option_text("N");
    app.add_option("--frames", t->frames, "stop after this many frames of 100000 cycles (20 ms)")->option_text("N");
    app.add_option("--type", opt->type_text, "type TEXT on the machine's keyboard once it is ready ({UP}: a key by name)")
        ->option_text("TEXT");
    app.add_option("--type-at", opt->type_at, "type TEXT from a time on: passes, or 2.5s / 300ms of emulated time; repeatable")
        ->option_text("WHEN:TEXT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--keys", opt->keys_file, "type the lines of a file, each [WHEN:]TEXT")->option_text("FILE");
    app.add_option("--screenshot", opt->screenshot, "at the end, write the 320 x 250 picture as PNG")
        ->option_text("FILE.png");
    app.add_option("--state", opt->state, "at the end, write the machine state as a snapshot (JSON)")
        ->option_text("FILE.json");
    app.add_flag("--trace-all", opt->trace_all, "write a disassembly line per instruction to trace.log");
    app.add_option("--symbols", opt->symbols, "a symbol file (labels for --until-pc, --break, --watch and the console); "
                                              "repeatable")
        ->option_text("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--debug-info", opt->debug_info,
                   "the assembler's debug information (ovix-asm --debug-info): its labels, FILE:LINE for --break, "
                   "and a stop at bytes no source line produced; repeatable")
        ->option_text("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--break", opt->breaks, "stop at a breakpoint (with a condition and a hit count; the location may be "
                                           "a source FILE:LINE of --debug-info); repeatable")
        ->option_text("LOCATION[:CONDITION[:HITS]]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--watch", opt->watches, "stop at a watchpoint on a range (r, w or rw; w by default); repeatable")
        ->option_text("[r|w|rw:]RANGE[:CONDITION]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--record", opt->record, "write the run's input as a movie (from the start or the snapshot)")
        ->option_text("FILE");
    app.add_option("--play", opt->play, "play a movie's input (from its start; to its end unless --instructions)")
        ->option_text("FILE");
    app.add_flag("--console", opt->console, "a command console on standard input and output ('help' lists its commands)");
    app.add_flag("--json", opt->json, "with --console: each reply as one JSON object on a line");
}

// Parses with CLI11 and checks the values. Returns -1 when the run may go
// on, else the exit status: 0 after --help (usage on stdout), 2 on a usage
// error (message and usage on stderr).
static int parse_command_line(int argc, const char *const *argv, headless_options *opt, std::string *error)
{
    CLI::App app{"Runs the Ovix machine without a window.", "ovix-headless"};
    app.allow_extras();
    option_texts t;
    declare_options(app, opt, &t);
    const int status = cli_parse(app, argc, argv, error);
    if (status != -1) return status;
    const std::vector<std::string> extra = app.remaining();
    if (!extra.empty()) {
        *error = "unknown option " + extra.front();
        return 2;
    }
    if (app.count("--instructions") && !parse_count(t.instructions.c_str(), &opt->instructions)) {
        *error = "--instructions needs a positive decimal count, not " + t.instructions;
        return 2;
    }
    opt->instructions_given = app.count("--instructions") > 0;
    const struct {
        const char *name;
        const std::string &text;
        int kind;
        const char *what;
    } times[] = {
        {"--seconds", t.seconds, TIME_SECONDS, "a positive number of emulated seconds (2.5)"},
        {"--cycles", t.cycles, TIME_CYCLES, "a positive decimal count of cycles"},
        {"--frames", t.frames, TIME_FRAMES, "a positive decimal count of frames"},
    };
    int time_options = 0;
    for (const auto &o : times) {
        if (!app.count(o.name)) continue;
        time_options++;
        if (!parse_emulated_time(o.text, o.kind, &opt->stop_cycles)) {
            *error = std::string(o.name) + " needs " + o.what + ", not " + o.text;
            return 2;
        }
    }
    if (time_options > 1) {
        *error = "give one of --seconds, --cycles and --frames";
        return 2;
    }
    // A label is looked up once the symbol files are loaded.
    if (app.count("--until-pc") && !parse_address(t.until_pc.c_str(), &opt->until_pc)) opt->until_pc_text = t.until_pc;
    if (opt->json && !opt->console) {
        *error = "--json goes with --console";
        return 2;
    }
    if (!opt->play.empty() && (app.count("--type") || !opt->type_at.empty() || !opt->keys_file.empty())) {
        *error = "--play plays a movie's input: --type, --type-at and --keys go without it";
        return 2;
    }
    if (!opt->play.empty() && !opt->load_state.empty()) {
        *error = "--play starts from the movie's own start: --load-state goes without it";
        return 2;
    }
    if (app.count("--type") || !opt->type_at.empty() || !opt->keys_file.empty()) {
        type_schedule check;
        if (!type_schedule_init(&check, opt->type_text.c_str(), error)) return 2;
        for (const std::string &t2 : opt->type_at)
            if (!type_schedule_add(&check, t2, error)) return 2;
        opt->type = true;
    }
    return -1;
}

static void type_hook(const uint8 *, void *ctx) { type_schedule_before_poll(static_cast<type_schedule *>(ctx)); }

// ---------------------------------------------------------------------------
// Outputs

bool parse_emulated_time(const std::string &text, int kind, uint64 *cycles)
{
    if (text.empty() || text.size() > 24) return false;
    if (kind == TIME_SECONDS) {
        char *end = nullptr;
        errno = 0;
        const double v = strtod(text.c_str(), &end);
        if (!end || *end || errno || !isdigit((unsigned char)text[0]) || !(v > 0) || v > 1e9) return false;
        *cycles = (uint64)(v * ORLO_SUBSECONDS + 0.5);
        return *cycles > 0;
    }
    uint64 n;
    if (!parse_count(text.c_str(), &n)) return false;
    const uint64 per = kind == TIME_FRAMES ? 100000 : 1;
    if (n > UINT64_MAX / 2 / per) return false;
    *cycles = n * per;
    return true;
}

const char *loop_stop_name(loop_stop reason)
{
    switch (reason) {
    case LOOP_STOP_PC: return "pc";
    case LOOP_STOP_DEBUGGER: return "debugger";
    case LOOP_STOP_COUNT: return "count";
    case LOOP_STOP_ENGINE: return dbg_stop_name(dbg_last_stop().kind);
    }
    return "count";
}

const char *write_state_json_file(const char *path, uint64 instructions, uint64 cycles)
{
    static std::string error;
    if (!snapshot_save(path, snapshot_counts{instructions, cycles}, &error)) return error.c_str();
    return nullptr;
}


// ---------------------------------------------------------------------------
// Breakpoints and watchpoints

// Splits at the first ':' (none: all of it in *first).
static void split_colon(const std::string &s, std::string *first, std::string *rest, bool *had)
{
    const size_t at = s.find(':');
    *had = at != std::string::npos;
    *first = *had ? s.substr(0, at) : s;
    *rest = *had ? s.substr(at + 1) : "";
}

// A location that names a source file of the debug information, then a
// line: FILE:LINE[:CONDITION[:HITS]]. The breakpoints go on the line's code.
static bool source_break(const std::string &b, const std::string &file, const std::string &rest, std::string *error)
{
    std::string line, more, condition, hits;
    bool had;
    split_colon(rest, &line, &more, &had);
    split_colon(more, &condition, &hits, &had);
    const bool digits = !line.empty() && line.size() <= 9 && line.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(line) == 0) {
        *error = "--break " + b + ": a line number (from 1) must follow the source file " + file;
        return false;
    }
    std::string e;
    if (srcdbg_break_line(file, std::stoi(line), condition.c_str(), hits.c_str(), OWNER_USER, nullptr, nullptr, &e)
            .empty()) {
        *error = "--break " + b + ": " + e;
        return false;
    }
    return true;
}

bool headless_set_points(const headless_options &opt, std::string *error)
{
    for (const std::string &b : opt.breaks) {
        std::string location, rest, condition, hits;
        bool had;
        split_colon(b, &location, &rest, &had);
        if (had && srcmap_loaded() && srcmap_find_file(location.c_str()) >= 0) {
            if (!source_break(b, location, rest, error)) return false;
            continue;
        }
        split_colon(rest, &condition, &hits, &had);
        std::string e;
        if (!dbg_break_add(location.c_str(), condition.c_str(), hits.c_str(), false, &e)) {
            *error = "--break " + b + ": " + e;
            return false;
        }
    }
    for (const std::string &w : opt.watches) {
        std::string first, rest, range, condition;
        bool had;
        split_colon(w, &first, &rest, &had);
        dbg_watch_kind kind = WATCH_WRITE;
        if (had && dbg_parse_watch_kind(first.c_str(), &kind)) {
            split_colon(rest, &range, &condition, &had);
        } else {
            range = first;
            condition = rest;
        }
        std::string e;
        if (!dbg_watch_add(kind, range.c_str(), condition.c_str(), nullptr, &e)) {
            *error = "--watch " + w + ": " + e;
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// The program

// The run's outputs (screenshot, state file, movie) and the trace log's
// health, after a run or a console session: 0, or 1 with the reason on
// standard error.
static int write_run_outputs(const headless_options &opt, uint64 passes, uint64 cycles)
{
    const char *e = nullptr;
    std::string error;
    if (!opt.screenshot.empty()) e = png_write_screenshot(opt.screenshot.c_str());
    if (!e && !opt.state.empty()) e = write_state_json_file(opt.state.c_str(), passes, cycles);
    if (!e && !opt.record.empty() && !movie_save(opt.record.c_str(), &error)) e = error.c_str();
    if (!e) e = trace_run_problem(opt.trace_all);
    if (!e) return 0;
    fprintf(stderr, "%s\n", e);
    return 1;
}

int headless_main(int argc, const char *const *argv)
{
    headless_options opt;
    std::string error;
    const int status = parse_command_line(argc, argv, &opt, &error);
    if (status == 0) {   // --help
        printf("%s\n%s", usage, error.c_str());
        return 0;
    }
    if (status != -1) {
        fprintf(stderr, "%s\n%s", error.c_str(), usage);
        return status;
    }
    type_schedule typing;
    if (opt.type) {
        // Checked above, but for the keys file.
        type_schedule_init(&typing, opt.type_text.c_str(), &error);
        for (const std::string &t : opt.type_at) type_schedule_add(&typing, t, &error);
        if (!opt.keys_file.empty() && !type_schedule_file(&typing, opt.keys_file.c_str(), &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    for (size_t i = 0; i < opt.symbols.size(); i++) {
        // Every file adds its names to those loaded before it.
        if (const char *e = symbols_add(symbol_group::cartridge, opt.symbols[i].c_str())) {
            fprintf(stderr, "Symbols not loaded: %s\n%s", e, usage);
            return 2;
        }
    }
    for (const std::string &d : opt.debug_info) {
        std::string e;
        if (!srcdbg_load(d.c_str(), &e)) {
            fprintf(stderr, "Debug information not loaded: %s\n%s", e.c_str(), usage);
            return 2;
        }
    }
    if (!opt.until_pc_text.empty()) {
        uint16 address;
        if (!symbols_address(opt.until_pc_text.c_str(), &address)) {
            fprintf(stderr, "--until-pc needs a hexadecimal address from 0 to FFFF or a label of --symbols, not %s\n%s",
                    opt.until_pc_text.c_str(), usage);
            return 2;
        }
        opt.until_pc = address;
    }
    if (!headless_set_points(opt, &error)) {
        fprintf(stderr, "%s\n%s", error.c_str(), usage);
        return 2;
    }

    // Start-up, as the window program does it, minus the window.
    TRACE_FUNC("main()");   // the first look-up sets up the trace
    TRACE("Init mem");
    if (const char *e = MemInitFrom(opt.bios.c_str())) {
        fprintf(stderr, "Memory initialization failed: %s\n", e);
        return 1;
    }
    ovix_start();
    if (!opt.cart.empty()) {
        if (const char *e = RomLoad(opt.cart.c_str())) {
            fprintf(stderr, "Not a valid ROM: %s\n", e);
            return 1;
        }
        ovix_reset();
    }
    // A snapshot replaces the cold-started machine; it is checked against
    // the BIOS and cartridge just loaded.
    if (!opt.load_state.empty() && !snapshot_load(opt.load_state.c_str(), &error)) {
        fprintf(stderr, "Cannot load the snapshot: %s\n", error.c_str());
        return 1;
    }
    // The timeline: a movie to record or to play, or the console's time
    // travel.
    uint64 movie_end = 0;
    if (!opt.play.empty()) {
        if (!movie_load(opt.play.c_str(), &error, &movie_end)) {
            fprintf(stderr, "Cannot play the movie: %s\n", error.c_str());
            return 1;
        }
        if (!opt.instructions_given && !opt.stop_cycles)
            opt.instructions = movie_end > ovix_machine_passes() ? movie_end - ovix_machine_passes() : 1;
        // The recording went on past the program's debugger requests (a
        // console's continue): so does the playback, to its end. The
        // console stops at them as the recording did.
        if (!opt.console) tl_pass_program_requests(true);
    } else if (!opt.record.empty() || opt.console) {
        tl_begin();
    }

    dump_all = opt.trace_all ? 1 : 0;
    if (const char *e = trace_run_problem(opt.trace_all)) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }
    if (opt.console) {
        console_session cs;
        cs.json = opt.json;
        cs.prompt = isatty(0) && isatty(1);
        if (opt.type) {
            cs.typing = typing;
            cs.typing_on = true;
        }
        console_run(&cs, stdin, stdout);
        return write_run_outputs(opt, cs.passes, cs.cycles);
    }

    const loop_hooks hooks = {opt.type ? type_hook : nullptr, nullptr, &typing};
    const auto t0 = std::chrono::steady_clock::now();
    // The pass counter goes on from the snapshot (0 after a cold start), so
    // that a run split in two with a snapshot between behaves as one.
    const uint64 max_passes = opt.stop_cycles && !opt.instructions_given ? UINT64_MAX : opt.instructions;
    loop_result r{0, 0, LOOP_STOP_COUNT};
    bool time_stop = false;
    if (!opt.stop_cycles) {
        r = tl_resume(opt.until_pc, max_passes, &hooks);
    } else {
        // Stopping after an emulated time: runs of passes that cannot take
        // the clock past it (no pass takes more than PASS_CYCLES_MAX
        // cycles), then single passes, until the first pass that reaches it.
        constexpr uint64 PASS_CYCLES_MAX = 128;
        for (;;) {
            const uint64 left = opt.stop_cycles - r.cycles;
            uint64 chunk = left / PASS_CYCLES_MAX;
            if (chunk == 0) chunk = 1;
            if (chunk > max_passes - r.passes) chunk = max_passes - r.passes;
            const loop_result part = tl_resume(opt.until_pc, chunk, &hooks);
            r.passes += part.passes;
            r.cycles += part.cycles;
            r.reason = part.reason;
            if (part.reason != LOOP_STOP_COUNT) break;
            if (r.cycles >= opt.stop_cycles) {
                time_stop = true;
                break;
            }
            if (r.passes >= max_passes) break;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const dbg_stop &stop = dbg_last_stop();

    if (const int failed = write_run_outputs(opt, r.passes, r.cycles)) return failed;

    const double mhz = seconds > 0 ? (double)r.cycles / seconds / 1e6 : 0.0;
    printf("instructions=%llu cycles=%llu host_seconds=%.6f emulated_mhz=%.3f realtime_factor=%.3f stop=%s",
           (unsigned long long)r.passes, (unsigned long long)r.cycles, seconds, mhz, mhz / MACHINE_MHZ,
           time_stop ? "time" : loop_stop_name(r.reason));
    // The stops of the debugger engine (--break, --watch) say which and where.
    if (r.reason == LOOP_STOP_ENGINE) {
        if (stop.kind == DBG_STOP_BREAK || stop.kind == DBG_STOP_WATCH || stop.kind == DBG_STOP_ERROR)
            printf(" point=%d", stop.id);
        printf(" pc=%04X", stop.pc);
    }
    printf("\n");
    return 0;
}
