// The headless runner: the machine's start-up and emulation loop without a
// window, driven by command-line options, with typed input, a screenshot
// and a machine-state dump at the end. main() only calls headless_main;
// the pieces below are separate so that tests can call them in-process.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "machine/loop.h"

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

// The machine state after a run, as a snapshot (a JSON object described in
// docs/runner.md), written through a temporary file; null on success, else an
// error text.
const char *write_state_json_file(const char *path, uint64 instructions, uint64 cycles);

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
