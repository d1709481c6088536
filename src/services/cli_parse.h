// The programs' command lines, read with CLI11 under the same rules and
// messages: --help gives CLI11's list of options (each program prints its
// own usage line above it), an option without its value says so, any
// other error is CLI11's. Header only: the programs link CLI11, the
// emulation core does not.
#pragma once

#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

// Parses argv with `app`. Returns -1 when the arguments were read (the
// caller then checks the values and app.remaining()); 0 after --help, with
// the option list in *text; 2 on a usage error, with its message in *text.
inline int cli_parse(CLI::App &app, int argc, const char *const *argv, std::string *text)
{
    text->clear();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::istringstream help(app.help());
        for (std::string line; std::getline(help, line);)
            if (line.rfind("Usage:", 0) != 0) *text += line + "\n";
        while (text->size() >= 2 && text->compare(text->size() - 2, 2, "\n\n") == 0) text->pop_back();
        return 0;
    } catch (const CLI::ArgumentMismatch &e) {
        const std::string what = e.what();   // "--name: 1 required TEXT missing"
        *text = what.substr(0, what.find(':')) + " needs a value";
        return 2;
    } catch (const CLI::ParseError &e) {
        *text = e.what();
        return 2;
    }
    return -1;
}
