// Trace facility: see trace.h. The ring is allocated once, at the first
// look-up, and kept until the program ends; "trace.log" is written through
// the runtime's buffered output and never flushed early.
//
// A line costs its formatting, a copy into the ring and a buffered write:
// the conversions the messages use (d u x X s c with a zero flag and a
// width) are formatted here directly, anything else through snprintf, with
// the same text either way.
#include "debug/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cpu/tms7000.h"
#include "host/files.h"

const char *g_func_name = "void";
int g_notrace = 0;

char debug_func_list[DEBUG_LIST_MAX][DEBUG_NAME_SIZE];
int debug_func_list_size = 0;
int trace_init_flag = 0;
char *trace_log_tab = nullptr;
int trace_log_next = 0;
int trace_log_size = 0;

static constexpr const char *LOG_NAME = "trace.log";
static constexpr const char *OLD_LOG_NAME = "trace.log.1";
static constexpr int LINE_MAX = 4096;   // a formatted line: 4095 characters and NUL
static constexpr int MAX_SWITCH_HOOKS = 4;

static struct {
    FILE *log;                 // "trace.log"; null when it cannot be written
    long long log_bytes;       // bytes in the current trace.log
    long long log_limit;       // rotation size
    int time;                  // the time stamp of every line
    char list_problem[1200];   // empty: none
    char log_problem[1200];
    void (*switch_hooks[MAX_SWITCH_HOOKS])();
    int switch_hook_count;
} s = {nullptr, 0, TRACE_LOG_LIMIT, 0, "", "", {}, 0};

// Copies `src` into `dst`, cut to size - 1 characters (the cut is wanted:
// list names and ring slots have fixed sizes).
static void copy_cut(char *dst, size_t size, const char *src)
{
    const size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

// Keeps the first problem with the log; lines then go to the ring only.
static void log_failed(const char *what)
{
    if (!s.log_problem[0]) snprintf(s.log_problem, sizeof s.log_problem, "%s %s: %s", what, LOG_NAME, strerror(errno));
    if (s.log) fclose(s.log);
    s.log = nullptr;
}

static void open_log()
{
    s.log_bytes = 0;
    s.log = fopen(LOG_NAME, "w");
    if (!s.log) {
        log_failed("cannot create");
        return;
    }
    setvbuf(s.log, nullptr, _IOFBF, 1 << 20);
}

// trace.log becomes trace.log.1 and a new trace.log is started.
static void rotate_log()
{
    if (fclose(s.log) != 0) {
        s.log = nullptr;
        log_failed("cannot write");
        return;
    }
    s.log = nullptr;
    if (rename(LOG_NAME, OLD_LOG_NAME) != 0) {
        log_failed("cannot rotate");
        return;
    }
    open_log();
}

static void read_list()
{
    // Whitespace-separated words; extra words beyond the list's size are
    // ignored and long words are cut, so no file can overflow the list. A
    // missing list lists nothing; anything but a regular file (a FIFO would
    // block) is not read, and said so.
    debug_func_list_size = 0;
    if (!path_exists("debug.lst")) return;
    std::string reason;
    FILE *f = open_input_file("debug.lst", &reason);
    if (!f) {
        snprintf(s.list_problem, sizeof s.list_problem, "%s (nothing is listed)", reason.c_str());
        return;
    }
    char word[256];
    while (fscanf(f, "%255s", word) == 1) {
        if (debug_func_list_size >= DEBUG_LIST_MAX) continue;
        copy_cut(debug_func_list[debug_func_list_size], DEBUG_NAME_SIZE, word);
        debug_func_list_size++;
    }
    fclose(f);
}

void init_trace()
{
    free(trace_log_tab);
    trace_log_tab = static_cast<char *>(calloc(TRACE_RING_LINES, TRACE_LINE_SIZE));
    trace_log_next = 0;
    trace_log_size = 0;
    trace_init_flag = 1;
    s.list_problem[0] = 0;
    s.log_problem[0] = 0;

    read_list();
    // Lines of an earlier run must not pass for older lines of this one.
    remove(OLD_LOG_NAME);
    open_log();
}

int deinit_trace()
{
    free(trace_log_tab);
    trace_log_tab = nullptr;
    if (s.log) fclose(s.log);
    s.log = nullptr;
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

// ---------------------------------------------------------------------------
// Formatting. Every writer keeps the line within LINE_MAX - 1 characters,
// cutting where snprintf would.

static inline int put(char *line, int pos, char c)
{
    if (pos < LINE_MAX - 1) line[pos++] = c;
    return pos;
}

static int put_text(char *line, int pos, const char *text, size_t n)
{
    if (n > (size_t)(LINE_MAX - 1 - pos)) n = (size_t)(LINE_MAX - 1 - pos);
    memcpy(line + pos, text, n);
    return pos + (int)n;
}

// Appends formatted text through snprintf: the conversions not done below.
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

// `body` (n characters) right-aligned in `width`, after an optional minus
// sign: zero padding goes between the sign and the digits, space padding
// before the sign, as printf does.
static int put_padded(char *line, int pos, const char *body, int n, bool minus, int width, bool zero)
{
    int pad = width - n - (minus ? 1 : 0);
    if (!zero)
        for (; pad > 0; pad--) pos = put(line, pos, ' ');
    if (minus) pos = put(line, pos, '-');
    for (; pad > 0; pad--) pos = put(line, pos, '0');
    return put_text(line, pos, body, (size_t)n);
}

// Digits of v in base 10 or 16, written backwards from `end`; returns the
// first digit.
static char *digits(char *end, uint32 v, unsigned base, const char *set)
{
    do {
        *--end = set[v % base];
        v /= base;
    } while (v);
    return end;
}

static constexpr const char *LOWER = "0123456789abcdef";
static constexpr const char *UPPER = "0123456789ABCDEF";

int do_trace(const char *fmt, ...)
{
    if (!trace_init_flag) init_trace();
    char line[LINE_MAX + 1];   // room for the "\n" that ends it in the file

    // "%08X %04X %s:" with the time stamp, the program counter and the name.
    char num[16];
    int pos = 0;
    {
        char *end = num + sizeof num;
        char *d = digits(end, (uint32)s.time, 16, UPPER);
        pos = put_padded(line, pos, d, (int)(end - d), false, 8, true);
        pos = put(line, pos, ' ');
        d = digits(end, get_pc(), 16, UPPER);
        pos = put_padded(line, pos, d, (int)(end - d), false, 4, true);
        pos = put(line, pos, ' ');
        const char *name = g_func_name ? g_func_name : "(null)";
        pos = put_text(line, pos, name, strlen(name));
        pos = put(line, pos, ':');
    }

    bool has_nul = false;
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
            bool plain = true;   // only a zero flag and a width
            for (int i = 0; i < n; i++) {
                if (conv[i] == 'l') continue;
                if (conv[i] == '-' || conv[i] == '.') plain = false;
                conv[m++] = conv[i];
            }
            conv[m] = 0;
            int i = 1, width = 0;
            bool zero = false;
            for (; conv[i] == '0'; i++) zero = true;
            for (int w = 1; conv[i] && plain; i++, w++) {
                if (w > 4) plain = false;   // a width of 5 digits or more: snprintf's rules
                width = width * 10 + (conv[i] - '0');
            }
            if (kind == 'f' || ((kind == 's' || kind == 'c') && zero)) plain = false;
            if (kind == 'c') has_nul = true;   // a NUL character ends the line
            conv[m++] = kind;
            conv[m] = 0;
            char *end = num + sizeof num;
            if (!plain) {
                switch (kind) {
                case 'f': pos = append(line, pos, conv, va_arg(ap, double)); break;
                case 's': {
                    const char *str = va_arg(ap, const char *);
                    pos = append(line, pos, conv, str ? str : "(null)");
                    break;
                }
                case 'c':
                case 'd': pos = append(line, pos, conv, va_arg(ap, int)); break;
                default: pos = append(line, pos, conv, va_arg(ap, unsigned)); break;
                }
            } else if (kind == 's') {
                const char *str = va_arg(ap, const char *);
                if (!str) str = "(null)";
                const size_t len = strlen(str);
                pos = put_padded(line, pos, str, (int)(len < LINE_MAX ? len : LINE_MAX), false, width, false);
            } else if (kind == 'c') {
                const char c = (char)va_arg(ap, int);
                pos = put_padded(line, pos, &c, 1, false, width, false);
            } else if (kind == 'd') {
                const int v = va_arg(ap, int);
                const uint32 mag = v < 0 ? 0u - (uint32)v : (uint32)v;
                char *d = digits(end, mag, 10, LOWER);
                pos = put_padded(line, pos, d, (int)(end - d), v < 0, width, zero);
            } else {
                const uint32 v = va_arg(ap, unsigned);
                char *d = kind == 'u' ? digits(end, v, 10, LOWER) : digits(end, v, 16, kind == 'X' ? UPPER : LOWER);
                pos = put_padded(line, pos, d, (int)(end - d), false, width, zero);
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
    // The file and the ring take the line up to its first NUL, which only a
    // %c of 0 can put there.
    if (has_nul) pos = (int)strlen(line);

    if (trace_log_tab) {
        char *slot = trace_log_tab + trace_log_next * TRACE_LINE_SIZE;
        const int len = pos < TRACE_LINE_SIZE - 1 ? pos : TRACE_LINE_SIZE - 1;
        memcpy(slot, line, (size_t)len);
        slot[len] = 0;
        if (++trace_log_next == TRACE_RING_LINES) trace_log_next = 0;
        if (trace_log_size < TRACE_RING_LINES) trace_log_size++;
    }
    if (s.log) {
        line[pos] = '\n';
        const long long len = pos + 1;
        if (s.log_bytes > 0 && s.log_bytes + len > s.log_limit) rotate_log();
        if (s.log) {
            if (fwrite_unlocked(line, 1, (size_t)len, s.log) != (size_t)len)
                log_failed("cannot write");
            else
                s.log_bytes += len;
        }
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
        const char *line = trace_log_tab + slot * TRACE_LINE_SIZE;
        size_t len = strlen(line);
        memcpy(str + pos, line, len);
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

static void switched()
{
    for (int i = 0; i < s.switch_hook_count; i++) s.switch_hooks[i]();
}

void no_trace()
{
    g_notrace = 1;
    switched();
}

void restore_trace()
{
    g_notrace = 0;
    switched();
}

void trace_add_switch_hook(void (*hook)())
{
    if (s.switch_hook_count < MAX_SWITCH_HOOKS) s.switch_hooks[s.switch_hook_count++] = hook;
}

void set_trace_time(int a_time) { s.time = a_time; }

const char *trace_list_problem() { return s.list_problem[0] ? s.list_problem : nullptr; }
const char *trace_log_problem() { return s.log_problem[0] ? s.log_problem : nullptr; }

void trace_flush()
{
    if (s.log && fflush(s.log) != 0) log_failed("cannot write");
}

const char *trace_run_problem(bool dump_wanted)
{
    trace_flush();
    if (trace_list_problem()) return trace_list_problem();
    return dump_wanted || debug_func_list_size > 0 ? trace_log_problem() : nullptr;
}

void trace_set_log_limit(long long bytes) { s.log_limit = bytes > 0 ? bytes : TRACE_LOG_LIMIT; }

const char *trace_log_slot(int index)
{
    if (!trace_log_tab || index < 0 || index >= TRACE_RING_LINES) return "";
    return trace_log_tab + index * TRACE_LINE_SIZE;
}
