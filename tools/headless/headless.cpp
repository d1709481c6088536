// The headless runner (see headless.h): the window program's start-up
// without the window, one call of the shared loop, then the requested
// outputs and a summary line.
#include "ovix_allegro.h"

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
#include "debug/png.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/cli_parse.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "state/snapshot.h"
#include "video/tms3556.h"

#include "console.h"

static constexpr int PICTURE_W = 320;   // the drawn part of the frame bitmap
static constexpr int PICTURE_H = 250;
static constexpr double MACHINE_MHZ = 5.0;

static const char usage[] =
    "usage: ovix-headless [--bios FILE] [--cart FILE] [--load-state FILE] [--instructions N]\n"
    "                     [--until-pc HEX|LABEL] [--type TEXT] [--screenshot FILE.png] [--state FILE.json]\n"
    "                     [--trace-all] [--symbols FILE]... [--break LOCATION[:CONDITION[:HITS]]]...\n"
    "                     [--watch [r|w|rw:]RANGE[:CONDITION]]... [--console [--json]] [--help]\n";

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
struct option_texts {
    std::string instructions, until_pc;
};

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
    app.add_option("--until-pc", t->until_pc, "stop when the program counter equals this address after a pass")
        ->option_text("HEX");
    app.add_option("--type", opt->type_text, "type TEXT on the machine's keyboard once it is ready")
        ->option_text("TEXT");
    app.add_option("--screenshot", opt->screenshot, "at the end, write the 320 x 250 picture as PNG")
        ->option_text("FILE.png");
    app.add_option("--state", opt->state, "at the end, write the machine state as a snapshot (JSON)")
        ->option_text("FILE.json");
    app.add_flag("--trace-all", opt->trace_all, "write a disassembly line per instruction to trace.log");
    app.add_option("--symbols", opt->symbols, "a symbol file (labels for --until-pc, --break, --watch and the console); "
                                              "repeatable")
        ->option_text("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--break", opt->breaks, "stop at a breakpoint (with a condition and a hit count); repeatable")
        ->option_text("LOCATION[:CONDITION[:HITS]]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--watch", opt->watches, "stop at a watchpoint on a range (r, w or rw; w by default); repeatable")
        ->option_text("[r|w|rw:]RANGE[:CONDITION]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
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
    // A label is looked up once the symbol files are loaded.
    if (app.count("--until-pc") && !parse_address(t.until_pc.c_str(), &opt->until_pc)) opt->until_pc_text = t.until_pc;
    if (opt->json && !opt->console) {
        *error = "--json goes with --console";
        return 2;
    }
    if (app.count("--type")) {
        type_schedule check;
        if (!type_schedule_init(&check, opt->type_text.c_str(), error)) return 2;
        opt->type = true;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Typing

bool type_schedule_init(type_schedule *s, const char *text, std::string *error)
{
    *s = type_schedule{};
    for (const char *p = text; *p; p++) {
        const char c = *p;
        if (c >= 'a' && c <= 'z') {
            s->keys.push_back(KEY_A + (c - 'a'));
        } else if (c >= 'A' && c <= 'Z') {
            s->keys.push_back(KEY_A + (c - 'A'));
        } else if (c >= '0' && c <= '9') {
            s->keys.push_back(KEY_0 + (c - '0'));
        } else if (c == ' ') {
            s->keys.push_back(KEY_SPACE);
        } else if (c == '\n') {
            s->keys.push_back(KEY_ENTER);
        } else if (c == '\\' && p[1] == 'n') {
            s->keys.push_back(KEY_ENTER);
            p++;
        } else {
            char msg[96];
            if ((unsigned char)c >= 0x20 && (unsigned char)c < 0x7F)
                snprintf(msg, sizeof msg, "--type: the character '%c' has no key on the machine", c);
            else
                snprintf(msg, sizeof msg, "--type: the character 0x%02X has no key on the machine",
                         (unsigned char)c);
            *error = msg;
            return false;
        }
    }
    return true;
}

void type_schedule_before_poll(type_schedule *s)
{
    if (!s->started) {
        if (cur_state != get_state_num("ready")) return;
        s->started = true;
    }
    int want = -1;
    if (s->pos < s->keys.size()) {
        if (s->step < TYPE_DOWN_POLLS) want = s->keys[s->pos];
        if (++s->step == TYPE_DOWN_POLLS + TYPE_UP_POLLS) {
            s->step = 0;
            s->pos++;
        }
    }
    if (want != s->held) {
        if (s->held >= 0) key[s->held] = 0;
        if (want >= 0) key[want] = 1;
        s->held = want;
    }
}

bool type_schedule_done(const type_schedule *s) { return s->started && s->pos >= s->keys.size(); }

static void type_hook(BITMAP *, void *ctx) { type_schedule_before_poll(static_cast<type_schedule *>(ctx)); }

// ---------------------------------------------------------------------------
// Outputs

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

const char *write_screenshot(const char *path)
{
    return png_write_frame(path, tms3556_redraw(), PICTURE_W, PICTURE_H);
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

bool headless_set_points(const headless_options &opt, std::string *error)
{
    for (const std::string &b : opt.breaks) {
        std::string location, rest, condition, hits;
        bool had;
        split_colon(b, &location, &rest, &had);
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
    if (opt.type) type_schedule_init(&typing, opt.type_text.c_str(), &error);   // checked above
    for (size_t i = 0; i < opt.symbols.size(); i++) {
        // Every file adds its names to those loaded before it.
        if (const char *e = symbols_load(opt.symbols[i].c_str())) {
            fprintf(stderr, "Symbols not loaded: %s\n%s", e, usage);
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
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(32);
    TRACE("Init mem");
    if (const char *e = MemInitFrom(opt.bios.c_str())) {
        fprintf(stderr, "Memory initialization failed: %s\n", e);
        return 1;
    }
    tms7000_reset(nullptr);
    if (tms3556_init(0x8000) != 0) {
        fprintf(stderr, "cannot create the frame bitmap\n");
        return 1;
    }
    tms3556_reset();
    io_cpu_callback(0);
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
        if (!opt.screenshot.empty()) {
            if (const char *e = write_screenshot(opt.screenshot.c_str())) {
                fprintf(stderr, "%s\n", e);
                return 1;
            }
        }
        if (!opt.state.empty()) {
            if (const char *e = write_state_json_file(opt.state.c_str(), cs.passes, cs.cycles)) {
                fprintf(stderr, "%s\n", e);
                return 1;
            }
        }
        if (const char *e = trace_run_problem(opt.trace_all)) {
            fprintf(stderr, "%s\n", e);
            return 1;
        }
        return 0;
    }

    const loop_hooks hooks = {opt.type ? type_hook : nullptr, nullptr, &typing};
    const auto t0 = std::chrono::steady_clock::now();
    // The pass counter goes on from the snapshot (0 after a cold start), so
    // that a run split in two with a snapshot between behaves as one.
    const loop_result r = ovix_resume(opt.until_pc, opt.instructions, &hooks);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const dbg_stop &stop = dbg_last_stop();

    if (!opt.screenshot.empty()) {
        if (const char *e = write_screenshot(opt.screenshot.c_str())) {
            fprintf(stderr, "%s\n", e);
            return 1;
        }
    }
    if (!opt.state.empty()) {
        if (const char *e = write_state_json_file(opt.state.c_str(), r.passes, r.cycles)) {
            fprintf(stderr, "%s\n", e);
            return 1;
        }
    }

    if (const char *e = trace_run_problem(opt.trace_all)) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }

    const double mhz = seconds > 0 ? (double)r.cycles / seconds / 1e6 : 0.0;
    printf("instructions=%llu cycles=%llu host_seconds=%.6f emulated_mhz=%.3f realtime_factor=%.3f stop=%s",
           (unsigned long long)r.passes, (unsigned long long)r.cycles, seconds, mhz, mhz / MACHINE_MHZ,
           loop_stop_name(r.reason));
    // The stops of the debugger engine (--break, --watch) say which and where.
    if (r.reason == LOOP_STOP_ENGINE) {
        if (stop.kind == DBG_STOP_BREAK || stop.kind == DBG_STOP_WATCH || stop.kind == DBG_STOP_ERROR)
            printf(" point=%d", stop.id);
        printf(" pc=%04X", stop.pc);
    }
    printf("\n");
    return 0;
}
