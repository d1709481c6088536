// Snapshots: the whole machine in one file, written and read back so that
// a run can stop and go on later exactly as if it had never stopped.
//
// The file is a JSON object (the headless runner's state file is one): it
// opens with the magic member "magic": "ovix snapshot", carries the format
// version, every piece of state that decides what the machine does next
// (CPU, peripheral file, timer 1 and its divider, RAM, VRAM and the video
// chip's registers, pointers and port protocol, the port latches, the I/O
// processor, the clock and the timer table, the loop's pass counter, the
// held key), SHA-256 hashes of the BIOS and cartridge images it was taken
// with, and last a SHA-256 checksum of everything before it. The members
// are described in docs/runner.md (State file: the snapshot).
//
// Loading reads and checks the whole file first (magic, JSON syntax,
// version, checksum, every member and its range, the ROM images loaded):
// a refused file leaves the machine exactly as it was, and the error says
// whether the file is truncated, corrupted, of another version, not a
// snapshot, or taken with other ROM images.
#pragma once

#include <cstddef>
#include <string>

#include "config.h"

struct machine_state;

constexpr int SNAPSHOT_VERSION = 1;

// The run counts a snapshot records (the state file's "instructions" and
// "cycles": those of the run that wrote it).
struct snapshot_counts {
    uint64 instructions = 0;
    uint64 cycles = 0;
};

// The machine as snapshot text (deterministic: the same machine and counts
// give the same bytes).
std::string snapshot_save_bytes(const snapshot_counts &counts);

// A machine state as snapshot text: what snapshot_save_bytes writes for a
// machine in that state.
std::string snapshot_text(const machine_state &m, const snapshot_counts &counts);

// Checks `size` bytes as a snapshot (everything but the ROM images it was
// taken with) and turns them into a machine state and the recorded counts
// (when not null), without touching the machine. False with *error set,
// as snapshot_load_bytes says it, otherwise.
bool snapshot_parse(const uint8 *data, size_t size, const char *name, machine_state *m, snapshot_counts *counts,
                    std::string *error);

// Writes the snapshot to `path` through a temporary file renamed into
// place. False with *error set when it cannot; the old file is then kept.
bool snapshot_save(const char *path, const snapshot_counts &counts, std::string *error);

// Checks `size` bytes as a snapshot and, if everything is sound, restores
// the machine from them; `name` names the source in messages. False with
// *error set otherwise, the machine untouched. *counts (when not null) gets
// the recorded counts. Any bytes at all may be given: nothing is read past
// them and no input makes it crash.
bool snapshot_load_bytes(const uint8 *data, size_t size, const char *name, std::string *error,
                         snapshot_counts *counts = nullptr);

// The same for the file at `path` (a regular file only).
bool snapshot_load(const char *path, std::string *error, snapshot_counts *counts = nullptr);
