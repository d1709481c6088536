// The debugger's command console: a line-oriented front end of the debugger
// engine (debug/engine.h), shared by the front ends: the runner's --console
// on standard input and output (for a person at a terminal, a script in a
// file or a pipe, and the programs that drive the machine: tests, an
// editor's debug adapter), the window program's --console-fd.
//
// One command a line; blank lines and lines starting with '#' are skipped.
// Each command's reply is zero or more lines, then one last line: "ok", or
// "error: " and the reason. With --json every reply is instead one JSON
// object on one line: {"ok": true, ...} or {"ok": false, "error": "..."}.
// The commands and their reply lines are listed by `help` and in docs/runner.md.
#pragma once

#include <cstdio>
#include <string>

#include "config.h"
#include "machine/loop.h"
#include "services/typing.h"

struct console_session {
    bool json = false;          // replies as JSON lines
    bool prompt = false;        // "(ovix) " before each command (a terminal)
    type_schedule typing;       // keys queued by `type`, played at the frame passes
    bool typing_on = false;
    uint64 passes = 0;          // passes and cycles run in this session (for snapshots)
    uint64 cycles = 0;
    bool quit = false;
    int source_depth = 0;       // nested `source` commands
    // For harnesses that feed the console arbitrary commands: no run lasts
    // more than run_limit passes, and with files false no command reads
    // or writes a file.
    uint64 run_limit = UINT64_MAX;
    bool files = true;
    // A front end's hooks for the runs (the window program's frames,
    // keyboard and pacing); null: the runner's (keys of `type`).
    const loop_hooks *hooks = nullptr;
    // How `type` presses (down) and releases a key in a front end whose
    // keyboard poll does not read the keyboard port's keys (the window
    // program's key queue); null: the keyboard port (ovix_key_down), which
    // the runner's poll reads.
    void (*key_change)(int host_key, bool down) = nullptr;
};

// Carries out one command line; appends the reply (each line ending in a
// newline) to *reply. Sets cs->quit on `quit`. False when the command
// failed (its reply ends with the error).
bool console_execute(console_session *cs, const std::string &line, std::string *reply);

// Makes Ctrl-C (SIGINT) stop a run in progress, as console_run does, for a
// front end that reads commands itself.
void console_catch_interrupts();

// True when the command of `line` runs the machine (step, next, finish,
// continue, until, lstep, lnext): a front end shows the machine meanwhile.
bool console_runs_machine(const std::string &line);

// Reads commands from `in` until `quit` or the end of the input, writing
// each reply to `out` as soon as it is complete. Ctrl-C (SIGINT) stops a
// run in progress. Returns the process exit status (0).
int console_run(console_session *cs, FILE *in, FILE *out);
