// Input movies: the input of a session, recorded from its start (a cold
// start or a loaded snapshot), replayed to exactly the same machine.
//
// A movie is the timeline's record (state/timeline.h) in a file: the
// machine at the start, every input with its pass, and the pass at which
// the recording ended. It is a JSON object:
//
//   {"magic": "ovix movie", "version": 1,
//    "bios_sha256": "...", "cartridge_sha256": "...",
//    "start": "<the machine state's byte form, hexadecimal>",
//    "end": 1234567,
//    "events": [[pass, "key", code, held_code, held_host],
//               [pass, "fkeys", bits, last_pass], [pass, "reset"],
//               [pass, "state", "<a machine state's byte form>"], ...],
//    "checksum": "<SHA-256 of the compact JSON of the members before it>"}
//
// It is written through a temporary file renamed into place; reading it
// checks everything (magic, version, checksum, the ROM images, the states,
// every event and their order) before the machine is touched.
#pragma once

#include <cstddef>
#include <string>

#include "config.h"

constexpr int MOVIE_VERSION = 1;
constexpr size_t MOVIE_MAX_BYTES = 64u << 20;

// The timeline's record, from its start to the present, as movie text.
std::string movie_text();

// Writes it to `path`. False with *error set when it cannot (the old file
// is then kept).
bool movie_save(const char *path, std::string *error);

// Checks `size` bytes as a movie of the ROM images loaded and, when it is
// sound, restores its start and makes its input the timeline's recorded
// future (the machine then follows it; live input takes over at its end,
// or when the front end drops the future). False with *error set ("NAME:
// ...": truncated, corrupted, another version, not a movie, taken with
// other ROM images, a bad event), the machine untouched. *end_pass gets the
// movie's end when not null.
bool movie_load_bytes(const uint8 *data, size_t size, const char *name, std::string *error,
                      uint64 *end_pass = nullptr);
bool movie_load(const char *path, std::string *error, uint64 *end_pass = nullptr);
