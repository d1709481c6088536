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
    uint16 until_pc = 0xFFFF;          // stop address
    bool type = false;                 // --type given
    std::string type_text;             // its argument, as given
    std::string screenshot;            // empty: none
    std::string state;                 // empty: none
    bool trace_all = false;
    std::string until_pc_text;         // --until-pc as given (a label is looked up once symbols are loaded)
    std::vector<std::string> symbols;  // --symbols files, loaded in order
    std::vector<std::string> breaks;   // --break LOCATION[:CONDITION[:HITS]]
    std::vector<std::string> watches;  // --watch [r|w|rw:]RANGE[:CONDITION]
    bool console = false;              // --console: commands on stdin
    bool json = false;                 // --json: the console replies in JSON lines
};

// Typing through the host keys: each character's key is held for
// TYPE_DOWN_POLLS keyboard polls, then no key for TYPE_UP_POLLS polls, then
// the next character. The schedule starts at the first poll at which the
// I/O processor is in its "ready" state.
constexpr int TYPE_DOWN_POLLS = 2;
constexpr int TYPE_UP_POLLS = 2;

struct type_schedule {
    std::vector<int> keys;   // Allegro key code of each character
    size_t pos = 0;          // character being typed
    int step = 0;            // poll within its down+up period
    bool started = false;
    int held = -1;           // host key this schedule holds down in key[], or -1
};

// Converts the text to host keys: letters of either case, digits, space, and
// newline (a real one or the two characters backslash and n). Returns false
// with a message naming the first other character.
bool type_schedule_init(type_schedule *s, const char *text, std::string *error);
// Sets Allegro's key[] for the poll that follows; call before every poll.
void type_schedule_before_poll(type_schedule *s);
// True once every character has been pressed and released.
bool type_schedule_done(const type_schedule *s);

// The machine state after a run, as a snapshot (a JSON object described in
// the README), written through a temporary file; null on success, else an
// error text.
const char *write_state_json_file(const char *path, uint64 instructions, uint64 cycles);

// Renders a frame and writes its 320 x 250 picture as PNG; null on
// success, else an error text.
const char *write_screenshot(const char *path);

// The words of the summary line for each stop reason.
const char *loop_stop_name(loop_stop reason);

// Sets the breakpoints and watchpoints of --break and --watch (their
// syntax: see the README). False with *error naming the option.
bool headless_set_points(const headless_options &opt, std::string *error);

// The whole program: returns the process exit status (0 success, 1 a
// start-up or output failure, 2 a usage error).
int headless_main(int argc, const char *const *argv);
