// The window program's command line (see command_line.h).
#include "main/command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "services/cli_parse.h"
#include "main/frontend.h"
#include "version.h"

namespace fs = std::filesystem;

static const char usage[] =
    "usage: ovix [--bios FILE] [--cart FILE] [--load-state FILE] [--fast] [--debug] [--scale N]\n"
    "            [--fullscreen] [--symbols FILE] [--debug-info FILE] [--rewind SECONDS] [--record FILE]\n"
    "            [--play FILE] [--console-fd N [--json]] [--help] [--version]\n";

static const char version[] = "ovix (Ovix emulator) " OVIX_VERSION_TEXT "\n";

// The option texts that are checked after CLI11 has read them, with the
// program's own messages.
// (In a namespace of this file: the window program links the runner, which has its own.)
namespace {
struct option_texts {
    std::string scale;
    std::string rewind;
    std::string console_fd;
    bool version = false;
};
}  // namespace

static void declare_options(CLI::App &app, frontend_options *opt, option_texts *t)
{
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--bios", opt->bios,
                   "BIOS image (2048 bytes); default bios/BIOS7020.bin in the working directory, else our open BIOS")
        ->option_text("FILE");
    app.add_option("--cart", opt->cart, "cartridge image, loaded as LOAD ROM loads it")->option_text("FILE");
    app.add_option("--load-state", opt->load_state,
                   "start from this snapshot (taken with the same BIOS and cartridge)")
        ->option_text("FILE");
    app.add_option("--symbols", opt->symbols,
                   "names for the debugger, as ovix-asm --symbols writes them; may be given more than once (default: "
                   "the cartridge's, beside it)")
        ->option_text("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--debug-info", opt->debug_info,
                   "source lines for the debugger, as ovix-asm --debug-info writes them; may be given more than once "
                   "(default: the cartridge's, beside it, and the BIOS's)")
        ->option_text("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--fast", opt->fast, "start at fastest speed instead of the remembered speed (at first 5 MHz)");
    app.add_flag("--debug", opt->debug, "open the debugger before the first instruction");
    app.add_option("--scale", t->scale,
                   "window of 320*N x 250*N pixels, N = 1 to 4 (default: the remembered scale, at first 2: 640 x 500)")
        ->option_text("N");
    app.add_flag("--fullscreen", opt->fullscreen,
                 "start fullscreen (F11 switches; where the display refuses it, the window stays)");
    app.add_option("--rewind", t->rewind,
                   "seconds of emulated time that Backspace can rewind, 0 to 3600 (default 120); 0 keeps no "
                   "timeline (nothing to rewind or to step back to)")
        ->option_text("SECONDS");
    app.add_option("--record", opt->record,
                   "record the session's input as a movie to this file, from the start; saved when F10 stops the "
                   "recording or the program ends")
        ->option_text("FILE");
    app.add_option("--play", opt->play,
                   "play a movie from its start (made with the same BIOS and cartridge); typing takes over")
        ->option_text("FILE");
    app.add_option("--console-fd", t->console_fd,
                   "take the runner's console commands on this open file descriptor and answer on it, the machine "
                   "shown in the window (the debug adapter ovix-dap starts the program so)")
        ->option_text("N");
    app.add_flag("--json", opt->json, "with --console-fd: each reply as one JSON object on a line");
    app.add_flag("--version", t->version, "print the program's version and exit");
}

static int usage_error(const std::string &message)
{
    fprintf(stderr, "ovix: %s\n%s", message.c_str(), usage);
    return 2;
}

int parse_command_line(int argc, const char *const *argv, frontend_options *opt)
{
    CLI::App app{"Runs the Ovix machine in a window.", "ovix"};
    app.allow_extras();
    option_texts t;
    declare_options(app, opt, &t);
    std::string text;
    const int status = cli_parse(app, argc, argv, &text);
    if (status == 0) {
        printf("%s\n%s\n%s", usage, text.c_str(), window_keys_help().c_str());
        return 0;
    }
    if (status == 2) return usage_error(text);
    if (t.version) {
        fputs(version, stdout);
        return 0;
    }
    const std::vector<std::string> extra = app.remaining();
    if (!extra.empty()) {
        const std::string &first = extra.front();
        if (first.rfind("-", 0) == 0) return usage_error("unknown option " + first);
        return usage_error("unexpected argument " + first + " (a cartridge is given with --cart FILE)");
    }
    if (app.count("--scale")) {
        if (t.scale.size() != 1 || t.scale[0] < '0' + MIN_SCALE || t.scale[0] > '0' + MAX_SCALE)
            return usage_error("--scale needs 1, 2, 3 or 4, not " + t.scale);
        opt->scale = t.scale[0] - '0';
    }
    if (app.count("--rewind")) {
        const std::string &r = t.rewind;
        const bool digits = !r.empty() && r.size() <= 4 && r.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoi(r) > MAX_REWIND_SECONDS)
            return usage_error("--rewind needs a number of seconds from 0 to " + std::to_string(MAX_REWIND_SECONDS) +
                               ", not " + r);
        opt->rewind = std::stoi(r);
    }
    if (!opt->play.empty() && !opt->load_state.empty())
        return usage_error("--play starts from the movie's own start: --load-state goes without it");
    if (app.count("--record") && opt->record.empty()) return usage_error("--record needs a file name");
    if (app.count("--play") && opt->play.empty()) return usage_error("--play needs a file name");
    if (app.count("--console-fd")) {
        const std::string &n = t.console_fd;
        bool digits = !n.empty() && n.size() <= 4;
        for (char c : n) digits = digits && c >= '0' && c <= '9';
        if (!digits) return usage_error("--console-fd needs an open file descriptor's number, not " + n);
        opt->console_fd = std::stoi(n);
        if (fcntl(opt->console_fd, F_GETFD) < 0)
            return usage_error("--console-fd: " + n + " is not an open file descriptor");
    }
    if (opt->json && opt->console_fd < 0) return usage_error("--json goes with --console-fd");
    return -1;
}

// ---------------------------------------------------------------------------
// Where the open BIOS is. The relative paths from the program's folder are
// computed by the build (src/main/CMakeLists.txt) from the install layout
// and the build tree's.

static fs::path program_folder()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

static std::string installed_bios() { return (program_folder() / OVIX_INSTALLED_BIOS).lexically_normal().string(); }

std::string open_bios_path()
{
    const fs::path folder = program_folder();
    if (folder.empty()) return "";
    for (const char *relative : {OVIX_INSTALLED_BIOS, OVIX_BUILD_BIOS}) {
        const fs::path p = (folder / relative).lexically_normal();
        std::error_code ec;
        if (fs::is_regular_file(p, ec)) return p.string();
    }
    return "";
}

std::string bios_missing_message(const char *path, const char *error)
{
    std::string text = error;
    std::error_code ec;
    const fs::path tried = fs::absolute(path, ec);
    if (!ec && !fs::path(path).is_absolute()) text += " (full path " + tried.lexically_normal().string() + ")";
    const std::string open = open_bios_path();
    if (!open.empty())
        text += ". To start with our open BIOS: ovix --bios " + open;
    else
        text += ". Give a BIOS image with --bios FILE; our open BIOS installs as " + installed_bios() +
                " and is built as roms/bios/BIOS7020.bin in the build folder";
    return text;
}
