// Text of the integrated debugger's boxes: the disassembly from the program
// counter, the CPU registers with the register file, the video chip's
// registers and the trace log; plus the address-field parsing and the
// address report that the debugger's commands share. Nothing here needs a
// window: the dialogs that show these buffers live in the window program.
#pragma once

#include <cstddef>
#include <string>

#include "config.h"
#include "machine/loop.h"

constexpr int DISASS_BOX_SIZE = 4801;
constexpr int REGISTERS_BOX_SIZE = 2401;
constexpr int LOG_BOX_SIZE = 65536;
constexpr int PERIPH_BOX_SIZE = 65536;
constexpr int DISASS_LINES = 20;

// An address field: an edit widget that accepts 6 characters. The dialog
// manager stores up to 4 bytes per character and a NUL, so the buffer has
// room for (6 + 1) * 4 bytes.
constexpr int ADDR_FIELD_CHARS = 6;
constexpr int ADDR_FIELD_SIZE = (ADDR_FIELD_CHARS + 1) * 4;

extern char disass_box[DISASS_BOX_SIZE];
extern char log_box_init[LOG_BOX_SIZE];
extern char *log_box;                   // the log box text (log_box_init)
extern char registers_box[REGISTERS_BOX_SIZE];
extern char periph_box_init[PERIPH_BOX_SIZE];
extern char *periph_box;                // the peripheral box text (periph_box_init)
// The debugger's address field takes a label too: room for the longest
// name a symbol file has and its ':'.
constexpr int LABEL_FIELD_CHARS = 64;
constexpr int LABEL_FIELD_SIZE = (LABEL_FIELD_CHARS + 1) * 4;
extern char breakpoint_str[LABEL_FIELD_SIZE];

// Rebuild the boxes from the machine state. disass_debugger also empties the
// log text (the commands refill it with get_log_str). The disassembly box
// holds DISASS_LINES lines from the program counter: instruction lines
// (disass_line) and, before an instruction whose address has labels, a
// label line (label_line); the first instruction is always the one at the
// program counter, and an instruction whose label line would not leave it
// room in the box is left out with its label.
void disass_debugger();
// The same from `start` (the window's debugger scrolls the box), with a
// relative branch's target address after its text ("JNE $-6 (FA91)") when
// no label names it. disass_line_address gives each line's instruction
// address (DISASS_LABEL_LINE for a label line, DISASS_NO_LINE past the last).
constexpr uint32 DISASS_LABEL_LINE = 0x10000, DISASS_NO_LINE = 0x10001;
extern uint32 disass_line_address[DISASS_LINES];
void disass_debugger_from(uint16 start);
// The instruction before `address` as a disassembly from a little before
// would show it: the start that decodes into `address` from the furthest
// back (1 to 12 bytes), else address - 1.
uint16 disass_previous(uint16 address);
// Marks in the register box: regs_remember keeps the registers as they are
// (before a run or a step), and regs_debugger then ends each line whose
// value changed since with " *".
void regs_remember();
void regs_debugger();
void periph_debugger();
// The refresh after a command: the three boxes, then the log text.
void debugger_refresh();

// One disassembly line at `address` ("%04X ", six byte columns, the
// instruction's text, "\n") into `out`; returns the instruction's length.
// A branch, call or memory target with a label shows its name, and a
// register or port with an alias its alias (symbols_name_operands). The
// bytes are read through the bus: call it with tracing suppressed.
unsigned disass_line(char *out, size_t size, unsigned address);

// The label line of `address`: each of its labels followed by ':', in the
// symbol file's order, and "\n" ("print: print.loop:\n"); empty when it
// has none. With `assembly`, names the disassembler dialect would not take
// as labels (symbols_assembly_name) go into a comment at the end
// ("loop: ; FACE\n"), so that the line assembles.
std::string label_line(unsigned address, bool assembly);

// Reads an address field: hexadecimal digits, optionally surrounded by
// spaces. False, with *value untouched, when the field is empty or holds
// anything else.
bool parse_hex_field(const char *text, uint32 *value);

// What the debugger's address field names. It holds a hexadecimal
// address (up to 8 digits; the commands cut it to 16 bits), "$" and one
// (always hexadecimal), a label of the symbol table (any case), or a label
// with ':' after it (always a label). A word that is both hexadecimal and
// a label ("FACE") is the address: `message` then says so and how to name
// the label.
struct field_address {
    bool ok = false;
    uint32 value = 0;
    char label[72] = "";      // the label the field names ("" for an address)
    char message[200] = "";   // why not ok ("unknown label 'xyz'"); when ok, the note on a word that is also a label
};
field_address read_field_address(const char *text);

// What the address typed in the debugger's field is: its region on the bus
// (with its label, if it has one) and the byte a CPU read would give, found
// without any side effect. Three lines for an alert (the third is empty
// unless the value was cut to 16 bits).
struct address_info {
    char line[3][80];
};
address_info address_info_text(uint32 value);

// Why the front end asked the loop to stop.
enum stop_cause { STOP_NONE, STOP_F1, STOP_POPUP, STOP_STEP_KEY };

// The debugger's line on why the last run stopped: the loop's reason, the
// front end's request (STOP_NONE when it made none), whether the debugger
// request ask_bkpt was set (`requested`), and the run's stop address (with
// its label, if it has one). A debugger stop
// with no request of the front end's is F1 held (no ask_bkpt) or the video
// chip's: a read of the debug stop port.
void stop_reason_text(char *out, size_t size, loop_stop reason, stop_cause cause, bool requested, uint16 target);

// Appends `text` to the NUL-terminated `buf` of `size` bytes, cutting it
// when it does not fit; false when it was cut.
bool append_text(char *buf, size_t size, const char *text);

// A message cut into the three lines of an alert, each at most `width`
// characters: lines break at spaces, a longer word (a path) is split, and
// what does not fit in three lines ends the third with "...".
constexpr int ALERT_LINE_MAX = 80;
struct alert_lines {
    char line[3][ALERT_LINE_MAX + 1];
};
alert_lines wrap_alert_text(const char *text, int width);
