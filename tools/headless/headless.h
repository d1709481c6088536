// The headless runner: the machine's start-up and emulation loop without a
// window, driven by command-line options, with typed input, a screenshot
// and a machine-state dump at the end. main() only calls headless_main;
// the pieces below are separate so that tests can call them in-process.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "main/loop.h"

struct headless_options {
    std::string bios = "bios/BIOS7020.bin";
    std::string cart;                  // empty: no cartridge
    std::string load_state;            // empty: cold start
    uint64 instructions = 10000000;    // loop passes before the count stop
    bool instructions_given = false;   // --instructions given (else no count with a time stop)
    uint64 stop_cycles = 0;            // --seconds, --cycles, --frames: emulated cycles of the run (0: none)
    uint16 until_pc = 0xFFFF;          // stop address
    bool type = false;                 // --type given
    std::string type_text;             // its argument, as given
    std::vector<std::string> type_at;  // --type-at WHEN:TEXT
    std::string keys_file;             // --keys FILE
    std::string screenshot;            // empty: none
    std::string state;                 // empty: none
    bool trace_all = false;
    std::string until_pc_text;         // --until-pc as given (a label is looked up once symbols are loaded)
    std::vector<std::string> symbols;  // --symbols files, loaded in order
    std::vector<std::string> debug_info;  // --debug-info files, loaded in order
    std::vector<std::string> breaks;   // --break LOCATION[:CONDITION[:HITS]] (LOCATION may be FILE:LINE)
    std::vector<std::string> watches;  // --watch [r|w|rw:]RANGE[:CONDITION]
    std::string record;                // --record FILE: a movie of the run's input
    std::string play;                  // --play FILE: a movie's input played
    bool console = false;              // --console: commands on stdin
    bool json = false;                 // --json: the console replies in JSON lines
};

// Typing through the host keys: each character's key is held for
// TYPE_DOWN_POLLS keyboard polls, then no key for TYPE_UP_POLLS polls, then
// the next character. The schedule starts at the first poll at which the
// I/O processor is in its "ready" state.
constexpr int TYPE_DOWN_POLLS = 2;
constexpr int TYPE_UP_POLLS = 2;

// A chunk of text typed at a given time: its first key waits for the
// machine's time (passes since power-on) or its emulated clock (cycles) to
// reach `at`, and for the I/O processor to be "ready".
enum type_when { TYPE_AT_PASS, TYPE_AT_CYCLE };
struct type_wait {
    size_t index;       // the chunk's first key in `keys`
    type_when when;
    uint64 at;
};

struct type_schedule {
    std::vector<int> keys;          // Allegro key code of each character
    std::vector<type_wait> waits;   // by index, then time
    size_t pos = 0;                 // character being typed
    int step = 0;                   // poll within its down+up period
    bool started = false;           // the current chunk has begun
    int held = -1;                  // host key this schedule holds down in key[], or -1
    // A front end whose keyboard poll does not read key[] (the window
    // program's key queue) takes the presses and releases here instead.
    void (*key_change)(int host_key, bool down) = nullptr;
};

// Converts the text to host keys: letters of either case, digits, space,
// newline (a real one or the two characters backslash and n), and keys by
// name in braces ({ENTER}, {SPACE}, {UP}, {DOWN}, {LEFT}, {RIGHT}, {A}, {5}).
// Returns false with a message naming the first other character or name.
bool type_schedule_init(type_schedule *s, const char *text, std::string *error);

// Adds a chunk "WHEN:TEXT" (--type-at, a line of a --keys file): WHEN is a
// count of passes since power-on (decimal) or an emulated time since
// power-on in seconds or milliseconds (2.5s, 300ms). Chunks are typed in
// order; one whose time has passed starts at once after the one before.
bool type_schedule_add(type_schedule *s, const std::string &at_text, std::string *error);

// Reads a --keys file: one "WHEN:TEXT" or "WHEN TEXT" a line, or a TEXT
// alone (typed after the line before); blank lines and '#' lines are
// skipped. Messages name the file and line.
bool type_schedule_file(type_schedule *s, const char *path, std::string *error);
// Sets Allegro's key[] for the poll that follows; call before every poll.
void type_schedule_before_poll(type_schedule *s);
// True once every character has been pressed and released.
bool type_schedule_done(const type_schedule *s);

// The machine state after a run, as a snapshot (a JSON object described in
// docs/runner.md), written through a temporary file; null on success, else an
// error text.
const char *write_state_json_file(const char *path, uint64 instructions, uint64 cycles);

// Renders a frame and writes its 320 x 250 picture as PNG; null on
// success, else an error text.
const char *write_screenshot(const char *path);

// The words of the summary line for each stop reason.
const char *loop_stop_name(loop_stop reason);

// Parses an emulated time for --seconds ("2.5"), --cycles ("100000") or
// --frames ("50", 100000 cycles each) into cycles; false when it is not a
// positive number of that kind.
bool parse_emulated_time(const std::string &text, int kind, uint64 *cycles);
enum { TIME_SECONDS, TIME_CYCLES, TIME_FRAMES };

// Sets the breakpoints and watchpoints of --break and --watch (their
// syntax: see docs/runner.md). False with *error naming the option.
bool headless_set_points(const headless_options &opt, std::string *error);

// The whole program: returns the process exit status (0 success, 1 a
// start-up or output failure, 2 a usage error).
int headless_main(int argc, const char *const *argv);
