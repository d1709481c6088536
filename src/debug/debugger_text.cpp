// The debugger's box texts. Each rebuild starts from an empty buffer and
// appends lines with a bound check, so a listing longer than its box is cut
// rather than written past the end. Memory is read through the bus with
// tracing suppressed: the reads have the bus's side effects (a mailbox or a
// video port read advances its chip) but leave no lines in the trace.
#include "debug/debugger_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "debug/engine.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "mem/memory.h"
#include "video/tms3556.h"

char disass_box[DISASS_BOX_SIZE];
char log_box_init[LOG_BOX_SIZE];
char *log_box = log_box_init;
char registers_box[REGISTERS_BOX_SIZE];
char periph_box_init[PERIPH_BOX_SIZE];
char *periph_box = periph_box_init;
char breakpoint_str[LABEL_FIELD_SIZE];

// The video chip's listing is 19 lines, each formatted by the chip in a
// 1024-byte buffer: this holds the longest listing it can produce.
static char vdp_listing[19 * 1024 + 1];

bool append_text(char *buf, size_t size, const char *text)
{
    size_t used = strnlen(buf, size);
    if (used >= size) return false;
    size_t n = strlen(text);
    bool fits = used + n < size;
    if (!fits) n = size - 1 - used;
    memcpy(buf + used, text, n);
    buf[used + n] = 0;
    return fits;
}

unsigned disass_line(char *out, size_t size, unsigned address)
{
    address &= 0xFFFF;
    char dasm[256], text[320];
    unsigned len = Dasm7000(dasm, address);
    if (len < 1) len = 1;   // never stall the walk on a zero length
    symbols_name_operands(dasm, address, len, text, sizeof text);
    char bytes[6 * 2 + 1];
    for (unsigned i = 0; i < 6; i++) {
        if (i < len)
            snprintf(bytes + 2 * i, 3, "%02X", program_read_byte_8((address + i) & 0xFFFF));
        else
            memcpy(bytes + 2 * i, "  ", 3);
    }
    snprintf(out, size, "%04X %s%s\n", address, bytes, text);
    return len;
}

std::string label_line(unsigned address, bool assembly)
{
    std::string labels, others;
    for (size_t i = 0; const char *name = symbols_name_at((uint16)address, i); i++) {
        std::string &to = !assembly || symbols_assembly_name(name) ? labels : others;
        if (!to.empty()) to += ' ';
        to.append(name).append(":");
    }
    if (labels.empty() && others.empty()) return "";
    if (!others.empty()) labels.append(labels.empty() ? "; " : " ; ").append(others);
    return labels.append("\n");
}

uint32 disass_line_address[DISASS_LINES];

void disass_debugger() { disass_debugger_from(get_pc()); }

void disass_debugger_from(uint16 start)
{
    no_trace();
    disass_box[0] = 0;
    log_box[0] = 0;
    for (uint32 &a : disass_line_address) a = DISASS_NO_LINE;
    unsigned address = start;
    char line[448];
    for (int lines = 0; lines < DISASS_LINES;) {
        const std::string label = label_line(address, false);
        if (!label.empty()) {
            if (lines + 2 > DISASS_LINES) break;
            append_text(disass_box, sizeof disass_box, label.c_str());
            disass_line_address[lines++] = DISASS_LABEL_LINE;
        }
        const unsigned at = address;
        address = (address + disass_line(line, sizeof line, address)) & 0xFFFF;
        // A relative branch with no label for its target: the target too.
        uint16 target;
        const size_t n = strlen(line);
        if (n > 1 && (strstr(line, "$+") || strstr(line, "$-")) && dasm_relative_target(at, &target))
            snprintf(line + n - 1, sizeof line - (n - 1), " (%04X)\n", target);
        if (!append_text(disass_box, sizeof disass_box, line)) break;
        disass_line_address[lines++] = at;
    }
    restore_trace();
}

uint16 disass_previous(uint16 address)
{
    // From the furthest start that walks exactly onto `address`.
    for (int back = 12; back >= 1; back--) {
        unsigned a = (address - back) & 0xFFFF, prev = a;
        while (((address - a) & 0xFFFF) != 0 && ((address - a) & 0xFFFF) <= (unsigned)back) {
            prev = a;
            a = (a + dasm_length(bus_peek((int)a))) & 0xFFFF;
        }
        if (a == address) return (uint16)prev;
    }
    return (uint16)(address - 1);
}

// The registers at the last regs_remember.
static struct {
    bool known;
    uint16 pc;
    uint8 sp, sr, rf[128];
} s_before;

void regs_remember()
{
    s_before.known = true;
    s_before.pc = get_pc();
    s_before.sp = get_sp();
    s_before.sr = get_sr();
    for (int n = 0; n < 128; n++) s_before.rf[n] = get_rf(n);
}

void regs_debugger()
{
    char line[64];
    registers_box[0] = 0;
    auto mark = [](bool changed) { return s_before.known && changed ? " *\n" : "\n"; };
    snprintf(line, sizeof line, "PC=%04x%s", get_pc(), mark(get_pc() != s_before.pc));
    append_text(registers_box, sizeof registers_box, line);
    snprintf(line, sizeof line, "SP=%02x%s", get_sp(), mark(get_sp() != s_before.sp));
    append_text(registers_box, sizeof registers_box, line);
    snprintf(line, sizeof line, "SR=%s%s", get_sr_str(), mark(get_sr() != s_before.sr));
    append_text(registers_box, sizeof registers_box, line);
    // After IDLE the processor only waits for an interrupt: a step leaves
    // the program counter where it is.
    append_text(registers_box, sizeof registers_box, tms7000.idle_state ? "CPU=idle (IDLE)\n" : "CPU=running\n");
    for (int n = 0; n < 128; n++) {
        snprintf(line, sizeof line, "R%03d=$%02X%s", n, get_rf(n), mark(get_rf(n) != s_before.rf[n]));
        append_text(registers_box, sizeof registers_box, line);
    }
    vdp_listing[0] = 0;
    get_vdp_debug(vdp_listing);
    append_text(registers_box, sizeof registers_box, vdp_listing);
}

void periph_debugger()
{
    periph_box[0] = 0;
    append_text(periph_box, PERIPH_BOX_SIZE, "VDP\n");
    vdp_listing[0] = 0;
    get_vdp_debug(vdp_listing);
    append_text(periph_box, PERIPH_BOX_SIZE, vdp_listing);
}

void debugger_refresh()
{
    disass_debugger();
    regs_debugger();
    periph_debugger();
    get_log_str(log_box, LOG_BOX_SIZE);
}

bool parse_hex_field(const char *text, uint32 *value)
{
    while (*text == ' ') text++;
    uint32 v = 0;
    int digits = 0;
    for (; isxdigit((unsigned char)*text); text++, digits++) {
        if (digits == 8) return false;   // more than 32 bits
        int c = tolower((unsigned char)*text);
        v = v * 16 + (uint32)(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    while (*text == ' ') text++;
    if (digits == 0 || *text != 0) return false;
    *value = v;
    return true;
}

field_address read_field_address(const char *text)
{
    field_address f;
    while (*text == ' ') text++;
    std::string word(text);
    while (!word.empty() && word.back() == ' ') word.pop_back();
    const size_t shown = sizeof f.message - 80;   // room for the words around a long field
    if (word.empty()) {
        snprintf(f.message, sizeof f.message, "The address field is empty: type a hexadecimal address or a label");
        return f;
    }
    if (word[0] == '$') {   // always hexadecimal
        f.ok = parse_hex_field(word.c_str() + 1, &f.value);
        if (!f.ok)
            snprintf(f.message, sizeof f.message, "'%.*s' is not a hexadecimal address", (int)shown, word.c_str());
        return f;
    }
    const bool label_only = word.back() == ':';
    const std::string name = label_only ? word.substr(0, word.size() - 1) : word;
    bool is_name = !name.empty() && (isalpha((unsigned char)name[0]) || name[0] == '_' || name[0] == '.');
    for (char c : name) is_name = is_name && (isalnum((unsigned char)c) || c == '_' || c == '.');
    uint16 at = 0;
    const bool known = is_name && symbols_address(name.c_str(), &at);
    if (!label_only && parse_hex_field(word.c_str(), &f.value)) {
        f.ok = true;
        if (known)
            snprintf(f.message, sizeof f.message, "%s is read as an address; the label %s (%04X) is typed %s:",
                     word.c_str(), word.c_str(), at, word.c_str());
        return f;
    }
    if (known) {
        f.ok = true;
        f.value = at;
        snprintf(f.label, sizeof f.label, "%s", name.c_str());
    } else if (is_name) {
        snprintf(f.message, sizeof f.message, "unknown label '%.*s'%s", (int)shown, name.c_str(),
                 symbols_count() ? "" : " (no symbols are loaded)");
    } else {
        snprintf(f.message, sizeof f.message, "'%.*s' is neither a hexadecimal address nor a label", (int)shown,
                 word.c_str());
    }
    return f;
}

address_info address_info_text(uint32 value)
{
    address_info info{};
    int address = (int)(value & 0xFFFF);
    if (const char *name = symbols_name((uint16)address))
        snprintf(info.line[0], sizeof info.line[0], "Address %04X (%.40s): %s", address, name,
                 bus_region_name(address));
    else
        snprintf(info.line[0], sizeof info.line[0], "Address %04X: %s", address, bus_region_name(address));
    snprintf(info.line[1], sizeof info.line[1], "A CPU read gives %02X", bus_peek(address));
    if (value > 0xFFFF)
        snprintf(info.line[2], sizeof info.line[2], "(%X cut to 16 bits)", value);
    return info;
}

alert_lines wrap_alert_text(const char *text, int width)
{
    alert_lines out{};
    if (width > ALERT_LINE_MAX) width = ALERT_LINE_MAX;
    if (width < 4) width = 4;
    const char *p = text ? text : "";
    for (int l = 0; l < 3; l++) {
        while (*p == ' ') p++;
        size_t rest = strlen(p);
        if (rest <= (size_t)width) {
            memcpy(out.line[l], p, rest);
            out.line[l][rest] = 0;
            return out;
        }
        if (l == 2) {   // more than three lines: the last one says so
            memcpy(out.line[l], p, width - 3);
            memcpy(out.line[l] + width - 3, "...", 4);
            return out;
        }
        // The last space within the line, else a split word.
        size_t cut = (size_t)width;
        while (cut > 0 && p[cut] != ' ') cut--;
        if (cut == 0) cut = (size_t)width;
        size_t n = cut;
        while (n > 0 && p[n - 1] == ' ') n--;
        memcpy(out.line[l], p, n);
        out.line[l][n] = 0;
        p += cut;
    }
    return out;
}

void stop_reason_text(char *out, size_t size, loop_stop reason, stop_cause cause, bool requested, uint16 target)
{
    const char *why = "Stopped";
    switch (reason) {
    case LOOP_STOP_PC:
        if (const char *name = symbols_name(target))
            snprintf(out, size, "Stopped: %04X reached (%s)", target, name);
        else
            snprintf(out, size, "Stopped: %04X reached", target);
        return;
    case LOOP_STOP_ENGINE:
        snprintf(out, size, "%s", dbg_stop_text(dbg_last_stop()).c_str());
        return;
    case LOOP_STOP_COUNT:
        break;
    case LOOP_STOP_DEBUGGER:
        switch (cause) {
        case STOP_F1: why = "Stopped: F1"; break;
        case STOP_POPUP: why = "Stopped: Call Debugger"; break;
        case STOP_STEP_KEY: why = "Stopped: step over's stop key"; break;
        case STOP_NONE: why = requested ? "Stopped: read of port 0125" : "Stopped: F1"; break;
        }
        break;
    }
    snprintf(out, size, "%s", why);
}
