// The window program's command line, parsed with CLI11 as the runner's is,
// and the places the program looks for its BIOS.
//
// Every option is declared in one function (declare_options), with its
// field in frontend_options: an option is added there and nowhere else in
// the parsing. Parsing opens no window, so --help and --version answer
// where there is no display.
#pragma once

#include <string>
#include <vector>

struct frontend_options {
    std::string bios;         // --bios; empty: bios/BIOS7020.bin in the working directory
    std::string cart;         // --cart; empty: no cartridge
    std::string load_state;   // --load-state; empty: a cold start
    std::vector<std::string> symbols;   // --symbols, each time given; none: the symbol file beside the cartridge, if any
    std::vector<std::string> debug_info;   // --debug-info, each time given; none: the file beside the cartridge, if any
    bool fast = false;        // --fast: start at fastest speed (else the remembered speed)
    bool debug = false;       // --debug: the debugger before the first instruction
    int scale = 0;            // --scale: window of 320*scale x 250*scale; 0: the remembered scale
    bool fullscreen = false;  // --fullscreen: start fullscreen (else as remembered)
    int rewind = 120;         // --rewind: seconds of emulated time kept for rewinding; 0: no timeline
    std::string record;       // --record: the session's input as a movie to this file; empty: none
    std::string play;         // --play: a movie to play from its start; empty: none
    int console_fd = -1;      // --console-fd: a debugger's console commands on this descriptor (ovix-dap)
    bool json = false;        // --json: with --console-fd, the replies as JSON lines
};

constexpr int MAX_REWIND_SECONDS = 3600;

constexpr int MIN_SCALE = 1, MAX_SCALE = 4;
constexpr const char *DEFAULT_BIOS = "bios/BIOS7020.bin";

// Parses the arguments into *opt. Returns -1 when the program is to run;
// otherwise the exit status, once the answer is printed: 0 after --help
// (usage, options and keys on stdout) or --version, 2 after a usage error
// (the message, then the usage, on stderr).
int parse_command_line(int argc, const char *const *argv, frontend_options *opt);

// The text for a BIOS that could not be loaded from `path` (the loader's
// `error`): the loader's words, the full path that was tried, and how to
// start with our open BIOS (where it is installed beside this program, or
// built in its build tree) through --bios.
std::string bios_missing_message(const char *path, const char *error);

// Our open BIOS as found from where the program runs: the installed image
// (<prefix>/share/ovix/bios/BIOS7020.bin for <prefix>/bin/ovix) or the
// build's (roms/bios/BIOS7020.bin in the build tree), the first that
// exists; empty when neither does.
std::string open_bios_path();
