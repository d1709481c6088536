// Typing into the machine: a text (the runner's --type syntax) becomes a
// schedule of key presses on the keyboard port, played at the keyboard
// polls. The runner, its console and every front end that types for the
// user share it.
#pragma once

#include <string>
#include <vector>

#include "config.h"

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
    std::vector<int> keys;          // the key number (machine/keys.h) of each character
    std::vector<type_wait> waits;   // by index, then time
    size_t pos = 0;                 // character being typed
    int step = 0;                   // poll within its down+up period
    bool started = false;           // the current chunk has begun
    int held = -1;                  // host key this schedule holds down, or -1
    // A front end whose keyboard poll does not read the keyboard port's
    // keys (the window program's key queue) takes the presses and releases
    // here instead.
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
// Sets the keyboard port's keys (ovix_key_down) for the poll that follows;
// call before every poll.
void type_schedule_before_poll(type_schedule *s);
// True once every character has been pressed and released.
bool type_schedule_done(const type_schedule *s);
