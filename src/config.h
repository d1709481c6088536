// Definitions shared by every module of the emulator: fixed-width integer
// names, the PAIR register view, interrupt-line and line-state numbers, and
// the trace prologue that every traced function opens with.
#pragma once

#include <cstdint>

typedef uint8_t uint8;
typedef int8_t int8;
typedef uint16_t uint16;
typedef int16_t int16;
typedef uint32_t uint32;
typedef int32_t int32;
typedef uint64_t uint64;
typedef int64_t int64;

// A 32-bit value seen as bytes, 16-bit halves or a whole, least significant
// first (the host is little-endian). The CPU's program counter is pc.w.l.
// Reading a member other than the one last written relies on GCC's and
// Clang's documented support for type punning through unions.
union PAIR {
    struct { uint8 l, h, h2, h3; } b;
    struct { uint16 l, h; } w;
    uint32 d;
};
static_assert(sizeof(PAIR) == 4, "PAIR must be 32 bits");

// Interrupt lines of the main processor and the states a line can take.
enum { TMS7000_IRQ1_LINE = 0, TMS7000_IRQ2_LINE = 1, TMS7000_IRQ3_LINE = 2, TMS7000_IRQNONE = 255 };
enum { CLEAR_LINE = 0, ASSERT_LINE = 1, HOLD_LINE = 2, PULSE_LINE = 3 };
// The processor's four I/O ports.
enum { TMS7000_PORTA = 0, TMS7000_PORTB = 1, TMS7000_PORTC = 2, TMS7000_PORTD = 3 };

// The debugger request: a chip sets it (the video chip, at a read of its
// register port) and the emulation loop stops after the pass (defined with
// the loop, machine/loop.cpp).
extern int ask_bkpt;

// A rare path kept out of line, so that the per-instruction code around its
// call (inlined and flattened into the emulation loop) stays small.
#define OVIX_COLD __attribute__((noinline, cold))

// ---------------------------------------------------------------------------
// Trace facility (implemented in debug/trace.cpp).
extern const char *g_func_name;  // trace name of the function traced last
extern int g_notrace;            // non-zero: nothing is looked up or traced (set it
                                 // only with no_trace/restore_trace)
OVIX_COLD int check_debug(const char *func_name);
OVIX_COLD int do_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A trace call site: its message, read once at its first line, so that the
// following lines are formatted without reading it again (debug/trace.cpp).
constexpr int TRACE_SITE_CONVERSIONS = 8;
struct trace_site {
    const char *fmt;    // the message read; null before the first line
    const char *name;   // the name of its lines (g_func_name) and its length
    int name_len;
    bool plain;         // the plan covers the message
    uint8 count;        // conversions
    uint16 tail_at, tail_len;   // the text after the last one
    struct conversion {
        uint16 text_at, text_len;   // the text before it
        char kind;
        uint8 width;
        bool zero;
    } conv[TRACE_SITE_CONVERSIONS];
};
// do_trace for a call site; `fmt` is the site's own string literal.
OVIX_COLD int do_trace_at(trace_site *site, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Trace prologue. Each traced function starts with TRACE_FUNC("name()"): it
// owns a static flag (0 = not looked up yet, 1 = listed in debug.lst,
// -1 = not listed), names itself in g_func_name and looks its flag up once,
// at its first entry while tracing is on. TRACE writes a routine message
// only for a listed function; TRACE_ALWAYS writes an anomaly whatever the
// list says. Neither formats anything unless a line is really written. The
// message must be a string literal (its call site keeps it read).
#define TRACE_FUNC(name)                                        \
    static int debug_flag = 0;                                  \
    static constexpr const char *trace_name_ = name;            \
    g_func_name = trace_name_;                                  \
    if (debug_flag == 0 && !g_notrace) debug_flag = check_debug(trace_name_)

// The window program's graphics library defines a TRACE of its own: the
// program includes it through "main/ovix_allegro.h", which puts ours back.
#undef TRACE
#define TRACE(...) OVIX_TRACE_LISTED(__VA_ARGS__)
#define OVIX_TRACE_LISTED(...)                                  \
    do {                                                        \
        if (debug_flag == 1 && !g_notrace) {                    \
            static trace_site site_;                            \
            g_func_name = trace_name_;                          \
            do_trace_at(&site_, __VA_ARGS__);                   \
        }                                                       \
    } while (0)

#define TRACE_ALWAYS(...)                                       \
    do {                                                        \
        if (!g_notrace) {                                       \
            static trace_site site_;                            \
            g_func_name = trace_name_;                          \
            do_trace_at(&site_, __VA_ARGS__);                   \
        }                                                       \
    } while (0)
