// Trace facility: see trace.h. The ring is allocated once, at the first
// look-up, and kept until the program ends; "trace.log" is written through
// the runtime's buffered output and never flushed early.
#include "debug/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpu/tms7000.h"

const char *g_func_name = "void";
int g_notrace = 0;

char debug_func_list[DEBUG_LIST_MAX][DEBUG_NAME_SIZE];
int debug_func_list_size = 0;
int trace_init_flag = 0;
char *trace_log_tab = nullptr;
int trace_log_next = 0;
int trace_log_size = 0;

static FILE *s_log = nullptr;   // "trace.log"; null when it could not be created
static int s_trace_time = 0;

static constexpr int LINE_MAX = 4096;   // a formatted line: 4095 characters and NUL

// Copies `src` into `dst`, cut to size - 1 characters (the cut is wanted:
// list names and ring slots have fixed sizes).
static void copy_cut(char *dst, size_t size, const char *src)
{
    const size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

void init_trace()
{
    trace_log_tab = static_cast<char *>(calloc(TRACE_RING_LINES, TRACE_LINE_SIZE));
    trace_log_next = 0;
    trace_log_size = 0;
    trace_init_flag = 1;

    // Whitespace-separated words; extra words beyond the list's size are
    // ignored and long words are cut, so no file can overflow the list.
    debug_func_list_size = 0;
    if (FILE *f = fopen("debug.lst", "r")) {
        char word[256];
        while (fscanf(f, "%255s", word) == 1) {
            if (debug_func_list_size >= DEBUG_LIST_MAX) continue;
            copy_cut(debug_func_list[debug_func_list_size], DEBUG_NAME_SIZE, word);
            debug_func_list_size++;
        }
        fclose(f);
    }
    // A log that cannot be created leaves lines only in the ring.
    s_log = fopen("trace.log", "w");
}

int deinit_trace()
{
    free(trace_log_tab);
    trace_log_tab = nullptr;
    if (s_log) fclose(s_log);
    s_log = nullptr;
    trace_init_flag = 0;
    return 0;
}

int check_debug(const char *func_name)
{
    if (!trace_init_flag) init_trace();
    for (int i = 0; i < debug_func_list_size; i++)
        if (strcmp(func_name, debug_func_list[i]) == 0) return 1;
    return -1;
}

// Appends formatted text at `pos`, never past the line buffer; returns the
// new position.
static int append(char *line, int pos, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static int append(char *line, int pos, const char *fmt, ...)
{
    if (pos >= LINE_MAX - 1) return pos;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + pos, LINE_MAX - pos, fmt, ap);
    va_end(ap);
    if (n < 0) return pos;
    pos += n;
    return pos < LINE_MAX - 1 ? pos : LINE_MAX - 1;
}

int do_trace(const char *fmt, ...)
{
    if (!trace_init_flag) init_trace();
    char line[LINE_MAX];
    int pos = append(line, 0, "%08X %04X %s:", s_trace_time, get_pc(), g_func_name);

    va_list ap;
    va_start(ap, fmt);
    for (const char *p = fmt; *p && pos < LINE_MAX - 1;) {
        if (*p != '%') {
            line[pos++] = *p++;
            continue;
        }
        // Gather a conversion: flags, width, precision and 'l' go on, one of
        // X c d f s u x ends it; anything else ends it unconverted.
        char conv[16];
        int n = 0;
        conv[n++] = *p++;
        while (*p && n < 15 && strchr("-.0123456789l", *p)) conv[n++] = *p++;
        char kind = *p;
        if (kind && strchr("Xcdfsux", kind) && n < 15) {
            p++;
            // Drop length modifiers: every integer argument is 32 bits.
            int m = 0;
            for (int i = 0; i < n; i++)
                if (conv[i] != 'l') conv[m++] = conv[i];
            conv[m++] = kind;
            conv[m] = 0;
            switch (kind) {
            case 'f': pos = append(line, pos, conv, va_arg(ap, double)); break;
            case 's': {
                const char *s = va_arg(ap, const char *);
                pos = append(line, pos, conv, s ? s : "(null)");
                break;
            }
            case 'c': pos = append(line, pos, conv, va_arg(ap, int)); break;
            case 'd': pos = append(line, pos, conv, va_arg(ap, int)); break;
            default: pos = append(line, pos, conv, va_arg(ap, unsigned)); break;
            }
        } else {
            // Not a conversion of ours: keep the characters as they stand
            // ("%%" prints one per-cent sign).
            if (kind == '%' && n == 1) {
                p++;
                line[pos++] = '%';
            } else {
                for (int i = 0; i < n && pos < LINE_MAX - 1; i++) line[pos++] = conv[i];
            }
        }
    }
    va_end(ap);
    line[pos] = 0;

    if (trace_log_tab) {
        char *slot = trace_log_tab + trace_log_next * TRACE_LINE_SIZE;
        copy_cut(slot, TRACE_LINE_SIZE, line);
        trace_log_next = (trace_log_next + 1) % TRACE_RING_LINES;
        if (trace_log_size < TRACE_RING_LINES) trace_log_size++;
    }
    if (s_log) {
        fputs(line, s_log);
        fputc('\n', s_log);
    }
    return 0;
}

void get_log_str(char *str, int str_size)
{
    if (str_size <= 0) return;
    str[0] = 0;
    if (!trace_log_tab) return;
    // Walk from the newest line back while each fits with its "\n" and the
    // final NUL, then write the taken lines oldest first.
    int taken = 0, total = 0;
    for (int i = 0; i < trace_log_size; i++) {
        int slot = (trace_log_next + TRACE_RING_LINES - 1 - i) % TRACE_RING_LINES;
        int len = (int)strlen(trace_log_tab + slot * TRACE_LINE_SIZE);
        if (total + len + 2 > str_size) break;
        total += len + 1;
        taken++;
    }
    int pos = 0;
    for (int i = taken - 1; i >= 0; i--) {
        int slot = (trace_log_next + TRACE_RING_LINES - 1 - i) % TRACE_RING_LINES;
        const char *s = trace_log_tab + slot * TRACE_LINE_SIZE;
        size_t len = strlen(s);
        memcpy(str + pos, s, len);
        pos += (int)len;
        str[pos++] = '\n';
    }
    str[pos] = 0;
}

void clear_log_str()
{
    trace_log_next = 0;
    trace_log_size = 0;
}

void no_trace() { g_notrace = 1; }
void restore_trace() { g_notrace = 0; }
void set_trace_time(int a_time) { s_trace_time = a_time; }

const char *trace_log_slot(int index)
{
    if (!trace_log_tab || index < 0 || index >= TRACE_RING_LINES) return "";
    return trace_log_tab + index * TRACE_LINE_SIZE;
}
