// The machine state in memory: everything that decides what the machine
// does next (everything a snapshot file holds), as one plain fixed-size
// record, captured from the machine and restored into it in a few
// microseconds, without JSON and without allocation. Front ends' save
// states, rewinding and the snapshot files are all made from it.
//
// The record also holds the machine's time (loop passes since power-on)
// and the identity of the ROM images it belongs to: the SHA-256 hashes of
// the BIOS image and of the cartridge area 0x0200-0x7FFF. The hashes are
// computed once per image: capture compares the images with the copies
// last hashed (a plain memory comparison) and hashes again only when they
// changed.
//
// The record has no padding and holds fixed-width integers only, so two
// records of the same machine compare equal with memcmp, byte for byte.
//
// Its byte form (machine_state_write) is of fixed size: a 16-byte header
// (magic "OVIXSTAT", format version, total size, little-endian), the record
// as it lies in memory (the host is little-endian), and a SHA-256 checksum
// of everything before it. Reading it back refuses, with the reason, bytes
// that are cut short, altered, of another version, not a machine state at
// all, or that hold a value the machine cannot take; loading also refuses
// a state of other ROM images. A refused state leaves the machine as it was.
#pragma once

#include <cstddef>
#include <string>

#include "config.h"
#include "time/timer.h"

// The byte form's format version: raise it whenever the record changes.
constexpr uint32 MACHINE_STATE_VERSION = 1;

// The highest clock.seconds a state may hold: 2^31 - 1, 68 years of the
// real machine's time, which even the emulator's fastest runs (about 1550
// times real time, at the BIOS prompt) reach only after 16 days without a
// pause. The seconds counter is 32 bits wide, so from any state that may
// be loaded the clock still has at least as long again before it would
// wrap.
constexpr uint32 MACHINE_CLOCK_SECONDS_MAX = 0x7FFFFFFF;

// The CPU's cycle balance and the divider phase stay within a few dozen
// cycles of 0 (an interrupt entry between two passes, a reset); the bound
// keeps a forged value from making the divider run for long.
constexpr int32 MACHINE_COUNT_LIMIT = 256;

struct machine_state_timer {
    int32 tag;
    int32 param;
    orlo_time start;
    orlo_time expire;
    uint32 callback;   // 1 + index in the table of timer callbacks; 0: none this program knows
};

struct machine_state {
    // Identity and time.
    uint8 bios_sha256[32];        // of the BIOS image, as patched when loaded
    uint8 cartridge_sha256[32];   // of 0x0200-0x7FFF (0xFF bytes without a cartridge)
    uint64 machine_passes;        // loop passes since power-on

    // Main processor.
    int32 icount;        // cycle balance between two passes
    int32 div_phase;     // cycle balance minus the timer-1 divider threshold
    int32 int2_period;   // cycles per INT2 (traces only)
    uint16 pc;
    int16 t1_decrementer;
    int8 t1_prescaler;
    uint8 t1_capture;
    uint8 sp, sr, idle;
    uint8 irq_state[3];
    uint8 rf[128];
    uint8 pf[12];        // the stored peripheral registers P0..P11

    // Bus.
    uint8 ram[2048];
    uint8 ports[4];      // port latches A..D

    // Video chip.
    uint8 vram[0x8000];
    uint16 vdp_regs16[8];
    uint8 vdp_regs8[8];
    uint16 vdp_acmp, vdp_acmpxy;
    uint8 vdp_acmpxy_write;   // 1: vdp_acmpxy serves writes
    uint8 vdp_sel, vdp_reg, vdp_reg2;
    uint8 vdp_row_col_written, vdp_bamp_written;

    // I/O processor.
    uint8 iocpu_mailbox;
    uint8 iocpu_char;     // the latched key code
    int32 iocpu_state;
    int32 iocpu_command;  // of the running reply, -1: none
    int32 iocpu_index;    // position in its data, -1: none

    // Clock and timers.
    orlo_time clock;
    uint32 timer_count;
    machine_state_timer timers[ORLO_TIMER_SLOTS];   // the first timer_count in table order, the rest 0

    // Emulation loop.
    int32 pass_counter;   // passes since the last frame pass
    int32 key_code;       // the key the keyboard poll holds (0xFF: none)
    int32 key_host;       // and the host key watched for its release
};

// Bytes of the byte form: header, record, checksum.
constexpr size_t MACHINE_STATE_HEADER_BYTES = 16;
constexpr size_t MACHINE_STATE_BYTES = MACHINE_STATE_HEADER_BYTES + sizeof(machine_state) + 32;

// The machine into *s. Call it between runs of the loop.
void machine_state_capture(machine_state *s);

// The machine from s, without any check: for states captured by this
// program with the ROM images now loaded, or checked by machine_state_check.
void machine_state_restore(const machine_state &s);

// Checks that every value of s is one the machine can take (the ranges the
// snapshot reader checks). False with *error set to what is wrong,
// "member \"vdp.sel\" is out of range", naming the snapshot member.
bool machine_state_check_values(const machine_state &s, std::string *error);

// Checks that s belongs to the ROM images loaded. False with *error set to
// the reason, worded to follow a file name: " was taken with another BIOS
// image than the one loaded".
bool machine_state_check_images(const machine_state &s, std::string *error);

// The ROM images' identity as capture records it (hashed again only when
// an image changed).
void machine_state_images(uint8 bios_sha256[32], uint8 cartridge_sha256[32]);
// The cartridge hash of an empty cartridge area.
const uint8 *machine_state_empty_cartridge_sha256();

// The byte form of s, MACHINE_STATE_BYTES bytes into out.
void machine_state_write(const machine_state &s, uint8 *out);

// Reads the byte form into *s, checking the header, the checksum and every
// value. False with *error set to `name` and the reason (" is truncated:
// ...", " is corrupted: ...", " is a machine state of format version 2;
// ...", " is not a machine state: ..."), *s then unspecified.
bool machine_state_read(const uint8 *data, size_t size, const char *name, machine_state *s, std::string *error);

// Reads the byte form, checks it against the ROM images loaded and
// restores the machine from it. False with *error set otherwise, the
// machine untouched.
bool machine_state_load_bytes(const uint8 *data, size_t size, const char *name, std::string *error);

// The machine's state as a file (the byte form), written through a
// temporary file, and read back (a regular file only). False with *error
// set on failure; a failed save keeps the old file, a failed load the
// machine.
bool machine_state_save_file(const char *path, std::string *error);
bool machine_state_load_file(const char *path, std::string *error);

// The timer callbacks a state can name: the name for callback id n (1 and
// up), null for an unknown id; the id of a name, 0 for an unknown name;
// the highest parameter callback id n takes (-1 for an unknown id).
const char *machine_state_callback_name(uint32 id);
uint32 machine_state_callback_id(const char *name);
int machine_state_callback_param_max(uint32 id);
