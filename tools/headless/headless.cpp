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
#include "debug/source_debug.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/cli_parse.h"
#include "host/files.h"
#include "time/timer.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "state/snapshot.h"
#include "state/movie.h"
#include "state/timeline.h"
#include "video/tms3556.h"

#include "console.h"

static constexpr int PICTURE_W = 320;   // the drawn part of the frame bitmap
static constexpr int PICTURE_H = 250;
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

// ---------------------------------------------------------------------------
// Typing

// The machine's keys by name, for {NAME} in typed text.
static const struct {
    const char *name;
    int key;
} named_keys[] = {
    {"ENTER", KEY_ENTER}, {"RETURN", KEY_ENTER}, {"SPACE", KEY_SPACE}, {"UP", KEY_UP},
    {"DOWN", KEY_DOWN},   {"LEFT", KEY_LEFT},    {"RIGHT", KEY_RIGHT},
};

// Appends the keys of `text` to s->keys.
static bool add_keys(type_schedule *s, const char *text, std::string *error)
{
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
        } else if (c == '{') {
            const char *end = strchr(p, '}');
            std::string name(p + 1, end ? (size_t)(end - p - 1) : strlen(p + 1));
            for (char &ch : name) ch = (char)toupper((unsigned char)ch);
            int found = -1;
            if (name.size() == 1 && isalpha((unsigned char)name[0])) found = KEY_A + (name[0] - 'A');
            if (name.size() == 1 && isdigit((unsigned char)name[0])) found = KEY_0 + (name[0] - '0');
            for (const auto &k : named_keys)
                if (name == k.name) found = k.key;
            if (!end || found < 0) {
                *error = "--type: {" + name.substr(0, 20) + (end ? "}" : "") +
                         " is not a key of the machine (its keys: A-Z, 0-9, {ENTER}, {SPACE}, {UP}, {DOWN}, "
                         "{LEFT}, {RIGHT})";
                return false;
            }
            s->keys.push_back(found);
            p = end;
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

bool type_schedule_init(type_schedule *s, const char *text, std::string *error)
{
    *s = type_schedule{};
    return add_keys(s, text, error);
}

// A WHEN of --type-at: passes (decimal), or seconds/milliseconds of
// emulated time.
static bool parse_when(const std::string &w, type_wait *out)
{
    if (w.empty() || w.size() > 24) return false;
    const bool ms = w.size() > 2 && w.compare(w.size() - 2, 2, "ms") == 0;
    const bool sec = !ms && w.back() == 's';
    if (!ms && !sec) {
        for (char c : w)
            if (!isdigit((unsigned char)c)) return false;
        out->when = TYPE_AT_PASS;
        out->at = strtoull(w.c_str(), nullptr, 10);
        return w.size() <= 19;
    }
    const std::string number = w.substr(0, w.size() - (ms ? 2 : 1));
    char *end = nullptr;
    errno = 0;
    const double v = strtod(number.c_str(), &end);
    if (number.empty() || !end || *end || errno || !(v >= 0) || v > 1e9 || !isdigit((unsigned char)number[0]))
        return false;
    out->when = TYPE_AT_CYCLE;
    out->at = (uint64)(v * (ms ? ORLO_SUBSECONDS / 1000.0 : (double)ORLO_SUBSECONDS) + 0.5);
    return true;
}

bool type_schedule_add(type_schedule *s, const std::string &at_text, std::string *error)
{
    const size_t colon = at_text.find(':');
    type_wait w{s->keys.size(), TYPE_AT_PASS, 0};
    if (colon == std::string::npos || !parse_when(at_text.substr(0, colon), &w)) {
        *error = "--type-at " + at_text.substr(0, 40) +
                 ": WHEN:TEXT is needed, WHEN a count of passes (5000000) or an emulated time (2.5s, 300ms)";
        return false;
    }
    s->waits.push_back(w);
    return add_keys(s, at_text.c_str() + colon + 1, error);
}

bool type_schedule_file(type_schedule *s, const char *path, std::string *error)
{
    std::string text;
    long long size;
    switch (read_input_file(path, 1 << 20, &text, &size, error)) {
    case input_read::ok: break;
    case input_read::not_opened: *error = "--keys " + *error; return false;
    case input_read::too_big: *error = std::string("--keys ") + path + ": larger than 1 MiB"; return false;
    case input_read::read_error: *error = std::string("--keys ") + path + ": read error"; return false;
    }
    size_t start = 0;
    for (int line = 1; start < text.size(); line++) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string l = text.substr(start, nl - start);
        start = nl + 1;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        const size_t first = l.find_first_not_of(" \t");
        if (first == std::string::npos || l[first] == '#') continue;
        l = l.substr(first);
        // "WHEN TEXT" is "WHEN:TEXT"; a line without a time is typed next.
        const size_t sp = l.find_first_of(" \t:");
        type_wait w{};
        std::string e;
        bool ok;
        if (sp != std::string::npos && parse_when(l.substr(0, sp), &w)) {
            const size_t text_at = l[sp] == ':' ? sp + 1 : l.find_first_not_of(" \t", sp);
            ok = type_schedule_add(s, l.substr(0, sp) + ":" + (text_at == std::string::npos ? "" : l.substr(text_at)), &e);
        } else {
            ok = add_keys(s, l.c_str(), &e);
        }
        if (!ok) {
            *error = "--keys " + std::string(path) + ":" + std::to_string(line) + ": " +
                     (e.rfind("--type", 0) == 0 ? e.substr(e.find(':') + 2) : e);
            return false;
        }
    }
    return true;
}

void type_schedule_before_poll(type_schedule *s)
{
    if (!s->started) {
        // A chunk waits for its time, then for the I/O processor.
        for (const type_wait &w : s->waits) {
            if (w.index != s->pos) continue;
            const uint64 now = w.when == TYPE_AT_PASS ? ovix_machine_passes() : orlo_timer_cycles();
            if (now < w.at) return;
        }
        if (cur_state != get_state_num("ready")) return;
        s->started = true;
    }
    int want = -1;
    if (s->pos < s->keys.size()) {
        if (s->step < TYPE_DOWN_POLLS) want = s->keys[s->pos];
        if (++s->step == TYPE_DOWN_POLLS + TYPE_UP_POLLS) {
            s->step = 0;
            s->pos++;
            // The next chunk waits again.
            for (const type_wait &w : s->waits)
                if (w.index == s->pos) s->started = false;
        }
    }
    if (want != s->held) {
        if (s->held >= 0) s->key_change ? s->key_change(s->held, false) : (void)(key[s->held] = 0);
        if (want >= 0) s->key_change ? s->key_change(want, true) : (void)(key[want] = 1);
        s->held = want;
    }
}

bool type_schedule_done(const type_schedule *s) { return s->started && s->pos >= s->keys.size(); }

static void type_hook(BITMAP *, void *ctx) { type_schedule_before_poll(static_cast<type_schedule *>(ctx)); }

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
    if (!opt.screenshot.empty()) e = write_screenshot(opt.screenshot.c_str());
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
