// The headless runner (see headless.h): the window program's start-up
// without the window, one call of the shared loop, then the requested
// outputs and a summary line.
#include "ovix_allegro.h"

#include "headless.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "cpu/tms7000.h"
#include "debug/png.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

static constexpr int PICTURE_W = 320;   // the drawn part of the frame bitmap
static constexpr int PICTURE_H = 250;
static constexpr double MACHINE_MHZ = 5.0;

static const char usage[] =
    "usage: ovix-headless [--bios FILE] [--cart FILE] [--instructions N] [--until-pc HEX]\n"
    "                     [--type TEXT] [--screenshot FILE.png] [--state FILE.json] [--trace-all]\n";

// ---------------------------------------------------------------------------
// Options

// True when s is one or more decimal (or hexadecimal) digits and nothing
// else. The string-to-number functions would also take leading white space,
// a sign and, in base 16, a second 0x; a value must be digits only.
static bool all_digits(const char *s, bool hex)
{
    if (!*s) return false;
    for (; *s; s++) {
        const int c = (unsigned char)*s;
        if (!(hex ? isxdigit(c) : isdigit(c))) return false;
    }
    return true;
}

// A decimal count of at least 1.
static bool parse_count(const char *s, uint64 *out)
{
    if (!all_digits(s, false)) return false;
    errno = 0;
    unsigned long long v = strtoull(s, nullptr, 10);
    if (errno == ERANGE || v == 0) return false;
    *out = v;
    return true;
}

// A 16-bit address in hexadecimal, with or without 0x.
static bool parse_address(const char *s, uint16 *out)
{
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
    if (!all_digits(s, true) || strlen(s) > 4) return false;
    *out = (uint16)strtoul(s, nullptr, 16);
    return true;
}

bool headless_parse_args(int argc, const char *const *argv, headless_options *opt, std::string *error)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--trace-all") {
            opt->trace_all = true;
            continue;
        }
        const bool takes_value = a == "--bios" || a == "--cart" || a == "--instructions" || a == "--until-pc" ||
                                 a == "--type" || a == "--screenshot" || a == "--state";
        if (!takes_value) {
            *error = "unknown option " + a;
            return false;
        }
        if (i + 1 >= argc) {
            *error = a + " needs a value";
            return false;
        }
        const char *v = argv[++i];
        if (a == "--bios") {
            opt->bios = v;
        } else if (a == "--cart") {
            opt->cart = v;
        } else if (a == "--instructions") {
            if (!parse_count(v, &opt->instructions)) {
                *error = std::string("--instructions needs a positive decimal count, not ") + v;
                return false;
            }
        } else if (a == "--until-pc") {
            if (!parse_address(v, &opt->until_pc)) {
                *error = std::string("--until-pc needs a hexadecimal address from 0 to FFFF, not ") + v;
                return false;
            }
        } else if (a == "--type") {
            type_schedule check;
            if (!type_schedule_init(&check, v, error)) return false;
            opt->type = true;
            opt->type_text = v;
        } else if (a == "--screenshot") {
            opt->screenshot = v;
        } else {
            opt->state = v;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Typing

bool type_schedule_init(type_schedule *s, const char *text, std::string *error)
{
    *s = type_schedule{};
    for (const char *p = text; *p; p++) {
        const char c = *p;
        if (c >= 'a' && c <= 'z') {
            s->keys.push_back(KEY_A + (c - 'a'));
        } else if (c >= 'A' && c <= 'Z') {
            s->keys.push_back(KEY_A + (c - 'A'));
        } else if (c >= '0' && c <= '9') {
            s->keys.push_back(KEY_0 + (c - '0'));
        } else if (c == ' ') {
            s->keys.push_back(KEY_SPACE);
        } else if (c == '\n') {
            s->keys.push_back(KEY_ENTER);
        } else if (c == '\\' && p[1] == 'n') {
            s->keys.push_back(KEY_ENTER);
            p++;
        } else {
            char msg[96];
            if ((unsigned char)c >= 0x20 && (unsigned char)c < 0x7F)
                snprintf(msg, sizeof msg, "--type: the character '%c' has no key on the machine", c);
            else
                snprintf(msg, sizeof msg, "--type: the character 0x%02X has no key on the machine",
                         (unsigned char)c);
            *error = msg;
            return false;
        }
    }
    return true;
}

void type_schedule_before_poll(type_schedule *s)
{
    if (!s->started) {
        if (cur_state != get_state_num("ready")) return;
        s->started = true;
    }
    int want = -1;
    if (s->pos < s->keys.size()) {
        if (s->step < TYPE_DOWN_POLLS) want = s->keys[s->pos];
        if (++s->step == TYPE_DOWN_POLLS + TYPE_UP_POLLS) {
            s->step = 0;
            s->pos++;
        }
    }
    if (want != s->held) {
        if (s->held >= 0) key[s->held] = 0;
        if (want >= 0) key[want] = 1;
        s->held = want;
    }
}

bool type_schedule_done(const type_schedule *s) { return s->started && s->pos >= s->keys.size(); }

static void type_hook(BITMAP *, void *ctx) { type_schedule_before_poll(static_cast<type_schedule *>(ctx)); }

// ---------------------------------------------------------------------------
// Outputs

const char *loop_stop_name(loop_stop reason)
{
    switch (reason) {
    case LOOP_STOP_PC: return "pc";
    case LOOP_STOP_DEBUGGER: return "debugger";
    case LOOP_STOP_COUNT: return "count";
    }
    return "count";
}

template <typename T>
static void json_array(FILE *f, const char *name, const T *v, int n, bool last = false)
{
    fprintf(f, "  \"%s\": [", name);
    for (int i = 0; i < n; i++) fprintf(f, i ? ", %lld" : "%lld", (long long)v[i]);
    fprintf(f, "]%s\n", last ? "" : ",");
}

static void json_hex(FILE *f, const char *name, const uint8 *v, int n)
{
    fprintf(f, "  \"%s\": \"", name);
    for (int i = 0; i < n; i++) fprintf(f, "%02x", v[i]);
    fprintf(f, "\",\n");
}

// A JSON string, or null. State names are plain ASCII; anything that would
// break the quoting is escaped all the same.
static void json_string(FILE *f, const char *s)
{
    if (!s) {
        fputs("null", f);
        return;
    }
    fputc('"', f);
    for (; *s; s++) {
        const unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\')
            fprintf(f, "\\%c", c);
        else if (c < 0x20)
            fprintf(f, "\\u%04x", c);
        else
            fputc(c, f);
    }
    fputc('"', f);
}

void write_state_json(FILE *f, uint64 instructions, uint64 cycles)
{
    const tms7000_Regs &c = tms7000;
    fprintf(f, "{\n");
    fprintf(f, "  \"pc\": %d,\n  \"sp\": %d,\n  \"sr\": %d,\n  \"idle\": %d,\n", c.pc.w.l, c.sp, c.sr, c.idle_state);
    json_array(f, "irq_state", c.irq_state, 3);
    fprintf(f, "  \"div_phase\": %lld,\n", (long long)tms7000_icount - (long long)tms7000_div_by_16_trigger);
    json_array(f, "rf", c.rf, 128);
    json_array(f, "pf", c.pf, 12);
    fprintf(f, "  \"t1\": {\"prescaler\": %d, \"decrementer\": %d, \"capture\": %d},\n", c.t1_prescaler,
            c.t1_decrementer, c.t1_capture_latch);
    json_hex(f, "ram", ram_2k, sizeof ram_2k);
    json_hex(f, "vram", vram, sizeof vram);

    int sel = 0, reg = 0, reg2 = 0;
    tms3556_get_port_state(&sel, &reg, &reg2);
    fprintf(f, "  \"vdp\": {\n  ");
    json_array(f, "regs8", vdp_regs8, 8);
    fprintf(f, "  ");
    json_array(f, "regs16", vdp_regs16, 8);
    fprintf(f,
            "    \"acmp\": %d, \"acmpxy\": %d, \"acmpxy_mode\": \"%s\",\n"
            "    \"sel\": %d, \"reg\": %d, \"reg2\": %d, \"row_col_written\": %d, \"bamp_written\": %d\n  },\n",
            vdp_acmp, vdp_acmpxy, vdp_acmpxy_mode == dma_write ? "write" : "read", sel, reg, reg2,
            row_col_written ? 1 : 0, bamp_written ? 1 : 0);

    fprintf(f, "  \"ports\": {\"a\": %d, \"b\": %d, \"c\": %d, \"d\": %d},\n", porta_val, portb_val, portc_val,
            portd_val);

    fprintf(f, "  \"iocpu\": {\"state\": ");
    json_string(f, cur_state >= 0 && cur_state < IO_CPU_STATES ? io_cpu_auto[cur_state].name : nullptr);
    fprintf(f, ", \"mailbox\": %d, \"command\": %d, \"index\": %d, \"char\": %d},\n", mailbox_val, l_7041_command,
            l_7041_index, (uint8)l_7041_char);

    fprintf(f, "  \"clock\": {\"seconds\": %u, \"subseconds\": %u},\n", g_timer_clock.seconds,
            g_timer_clock.subseconds);
    fprintf(f, "  \"timers\": [");
    for (int i = 0; i < g_timer_num; i++) {
        const orlo_timer &t = timer_tab[i];
        fprintf(f, "%s\n    {\"tag\": %d, \"param\": %d, \"expire\": [%u, %u]}", i ? "," : "", t.tag,
                t.callback_param, t.expire.seconds, t.expire.subseconds);
    }
    fprintf(f, "%s],\n", g_timer_num ? "\n  " : "");
    fprintf(f, "  \"instructions\": %llu,\n  \"cycles\": %llu\n}\n", (unsigned long long)instructions,
            (unsigned long long)cycles);
}

const char *write_state_json_file(const char *path, uint64 instructions, uint64 cycles)
{
    static char error[1200];
    FILE *f = fopen(path, "w");
    if (!f) {
        snprintf(error, sizeof error, "cannot create %s", path);
        return error;
    }
    write_state_json(f, instructions, cycles);
    const bool bad = ferror(f);
    if (fclose(f) != 0 || bad) {
        snprintf(error, sizeof error, "cannot write %s", path);
        return error;
    }
    return nullptr;
}

const char *write_screenshot(const char *path)
{
    BITMAP *frame = tms3556_redraw();
    if (!frame || frame->w < PICTURE_W || frame->h < PICTURE_H) return "no frame bitmap to capture";
    const int depth = bitmap_color_depth(frame);
    std::vector<uint8> rgb((size_t)PICTURE_W * PICTURE_H * 3);
    size_t i = 0;
    for (int y = 0; y < PICTURE_H; y++) {
        for (int x = 0; x < PICTURE_W; x++) {
            const int c = getpixel(frame, x, y);
            rgb[i++] = (uint8)getr_depth(depth, c);
            rgb[i++] = (uint8)getg_depth(depth, c);
            rgb[i++] = (uint8)getb_depth(depth, c);
        }
    }
    return png_write_rgb(path, PICTURE_W, PICTURE_H, rgb.data());
}

// ---------------------------------------------------------------------------
// The program

int headless_main(int argc, const char *const *argv)
{
    headless_options opt;
    std::string error;
    if (!headless_parse_args(argc, argv, &opt, &error)) {
        fprintf(stderr, "%s\n%s", error.c_str(), usage);
        return 2;
    }
    type_schedule typing;
    if (opt.type) type_schedule_init(&typing, opt.type_text.c_str(), &error);   // checked above

    // Start-up, as the window program does it, minus the window.
    TRACE_FUNC("main()");   // the first look-up sets up the trace
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(32);
    TRACE("Init mem");
    if (const char *e = MemInitFrom(opt.bios.c_str())) {
        fprintf(stderr, "Memory initialization failed: %s\n", e);
        return 1;
    }
    tms7000_reset(nullptr);
    if (tms3556_init(0x8000) != 0) {
        fprintf(stderr, "cannot create the frame bitmap\n");
        return 1;
    }
    tms3556_reset();
    io_cpu_callback(0);
    if (!opt.cart.empty()) {
        if (const char *e = RomLoad(opt.cart.c_str())) {
            fprintf(stderr, "Not a valid ROM: %s\n", e);
            return 1;
        }
        ovix_reset();
    }

    dump_all = opt.trace_all ? 1 : 0;
    if (const char *e = trace_run_problem(opt.trace_all)) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }
    const loop_hooks hooks = {opt.type ? type_hook : nullptr, nullptr, &typing};
    const auto t0 = std::chrono::steady_clock::now();
    const loop_result r = ovix_run(opt.until_pc, opt.instructions, &hooks);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    if (!opt.screenshot.empty()) {
        if (const char *e = write_screenshot(opt.screenshot.c_str())) {
            fprintf(stderr, "%s\n", e);
            return 1;
        }
    }
    if (!opt.state.empty()) {
        if (const char *e = write_state_json_file(opt.state.c_str(), r.passes, r.cycles)) {
            fprintf(stderr, "%s\n", e);
            return 1;
        }
    }

    if (const char *e = trace_run_problem(opt.trace_all)) {
        fprintf(stderr, "%s\n", e);
        return 1;
    }

    const double mhz = seconds > 0 ? (double)r.cycles / seconds / 1e6 : 0.0;
    printf("instructions=%llu cycles=%llu host_seconds=%.6f emulated_mhz=%.3f realtime_factor=%.3f stop=%s\n",
           (unsigned long long)r.passes, (unsigned long long)r.cycles, seconds, mhz, mhz / MACHINE_MHZ,
           loop_stop_name(r.reason));
    return 0;
}
