// Trace facility: see trace.h. The ring is allocated once, at the first
// look-up, and kept until the program ends; "trace.log" is written through
// the runtime's buffered output and never flushed early.
//
// A line costs its formatting, a copy into the ring and a buffered write:
// the conversions the messages use (d u x X s c with a zero flag and a
// width) are formatted here directly, anything else through snprintf, with
// the same text either way.
#include "debug/trace.h"

#include <cctype>
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
// The most a planned message writes besides its strings: the time, pc and
// name (14 + 256 + 1), at most 2000 characters of text and 8 numbers of at
// most 99 characters each. A planned line is formatted into LINE_MAX +
// PLAN_SLACK bytes and then cut, so that nothing but its strings needs a
// room check.
static constexpr int PLAN_SLACK = 14 + 256 + 1 + 2000 + TRACE_SITE_CONVERSIONS * 99 + 1;
static constexpr int MAX_SWITCH_HOOKS = 4;

static struct {
    FILE *log;                 // "trace.log"; null when it cannot be written
    long long log_bytes;       // bytes in the current trace.log, out[] included
    long long log_limit;       // rotation size
    int time;                  // the time stamp of every line
    char list_problem[1200];   // empty: none
    char log_problem[1200];
    void (*switch_hooks[MAX_SWITCH_HOOKS])();
    int switch_hook_count;
    bool exit_flush;           // flush_at_exit is registered
    size_t out_used;           // lines in out[] not yet handed to the file
    char out[1 << 20];
} s = {nullptr, 0, TRACE_LOG_LIMIT, 0, "", "", {}, 0, false, 0, {}};

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
    s.out_used = 0;
}

// Hands the lines in the output buffer to trace.log.
static void flush_out()
{
    const size_t n = s.out_used;
    s.out_used = 0;
    if (n && s.log && fwrite_unlocked(s.out, 1, n, s.log) != n) log_failed("cannot write");
}

// The lines still in the output buffer reach the file when the program
// ends, as the runtime's own buffers do.
static void flush_at_exit()
{
    flush_out();
    if (s.log) fflush(s.log);
}

static void open_log()
{
    s.out_used = 0;
    s.log_bytes = 0;
    s.log = fopen(LOG_NAME, "w");
    if (!s.log) {
        log_failed("cannot create");
        return;
    }
    // The lines are gathered in s.out and handed over in big blocks.
    setvbuf(s.log, nullptr, _IONBF, 0);
}

// trace.log becomes trace.log.1 and a new trace.log is started.
static void rotate_log()
{
    flush_out();
    if (!s.log) return;
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
    // A word of any length is one name: its first 63 characters.
    int ch = getc(f);
    while (ch != EOF && debug_func_list_size < DEBUG_LIST_MAX) {
        if (isspace(ch)) {
            ch = getc(f);
            continue;
        }
        char word[DEBUG_NAME_SIZE];
        size_t n = 0;
        for (; ch != EOF && !isspace(ch); ch = getc(f))
            if (n < sizeof word - 1) word[n++] = (char)ch;
        word[n] = 0;
        copy_cut(debug_func_list[debug_func_list_size], DEBUG_NAME_SIZE, word);   // a NUL byte ends the name
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
    if (!s.exit_flush) {
        atexit(flush_at_exit);
        s.exit_flush = true;
    }
}

int deinit_trace()
{
    free(trace_log_tab);
    trace_log_tab = nullptr;
    flush_out();
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
// Formatting. A line is "%08X %04X %s:" (time stamp, program counter,
// name) and the message, at most LINE_MAX - 1 characters.
//
// The general formatter gathers each conversion as the messages write them
// and hands it to snprintf. A message whose conversions are all d u x X (a
// zero flag and a width below 100 allowed) or a plain s is read once into
// its call site's plan (trace_site) and formatted directly from it, with
// the same text.

// Appends formatted text through snprintf; returns the new position.
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

static int format_general(char *line, const char *fmt, va_list ap)
{
    int pos = append(line, 0, "%08X %04X %s:", s.time, get_pc(), g_func_name);
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
                const char *str = va_arg(ap, const char *);
                pos = append(line, pos, conv, str ? str : "(null)");
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
    line[pos] = 0;
    // The file and the ring take the line up to its first NUL (a %c of 0).
    return (int)strlen(line);
}

static constexpr char HEX_LOWER[] = "0123456789abcdef";
static constexpr char HEX_UPPER[] = "0123456789ABCDEF";

// Its copies and padding are short: done by words and bytes rather than by
// string instructions, whose start-up costs more than they do.
#if defined(__GNUC__) && !defined(__clang__)
#define SHORT_LOOPS __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define SHORT_LOOPS
#endif

SHORT_LOOPS __attribute__((always_inline)) static inline char *copy_short(char *o, const char *src, size_t n)
{
    // Whole words, the last one overlapping the one before: nothing is read
    // outside src[0..n).
    if (n >= 8) {
        uint64 w;
        for (size_t i = 0; i + 8 < n; i += 8) {
            memcpy(&w, src + i, 8);
            memcpy(o + i, &w, 8);
        }
        memcpy(&w, src + n - 8, 8);
        memcpy(o + n - 8, &w, 8);
    } else if (n >= 4) {
        uint32 w;
        memcpy(&w, src, 4);
        memcpy(o, &w, 4);
        memcpy(&w, src + n - 4, 4);
        memcpy(o + n - 4, &w, 4);
    } else {
        for (size_t i = 0; i < n; i++) o[i] = src[i];
    }
    return o + n;
}

// "00" .. "FF".
static constexpr struct hex_pairs {
    char text[256][2];
    constexpr hex_pairs() : text()
    {
        for (int i = 0; i < 256; i++) {
            text[i][0] = HEX_UPPER[i >> 4];
            text[i][1] = HEX_UPPER[i & 15];
        }
    }
} HEX_PAIRS;

static inline char *put_hex_byte(char *o, unsigned v)
{
    memcpy(o, HEX_PAIRS.text[v & 0xFF], 2);
    return o + 2;
}

// Reads a message format into the site's plan; site->plain says whether
// the plan covers it.
static void plan_format(trace_site *site, const char *fmt)
{
    site->fmt = fmt;
    site->plain = false;
    site->count = 0;
    size_t text = 0;
    const char *p = fmt;
    for (;;) {
        const char *conversion = strchrnul(p, '%');
        const size_t run = (size_t)(conversion - p);
        text += run;
        if (text > 2000 || (size_t)(p - fmt) > 0xFFFF) return;
        if (!*conversion) {
            site->tail_at = (uint16)(p - fmt);
            site->tail_len = (uint16)run;
            break;
        }
        if (site->count == TRACE_SITE_CONVERSIONS) return;
        trace_site::conversion &c = site->conv[site->count];
        c.text_at = (uint16)(p - fmt);
        c.text_len = (uint16)run;
        p = conversion + 1;
        c.zero = false;
        c.width = 0;
        if (*p == '0') {
            c.zero = true;
            p++;
        }
        if (*p >= '1' && *p <= '9') {
            c.width = (uint8)(*p++ - '0');
            if (*p >= '0' && *p <= '9') c.width = (uint8)(c.width * 10 + (*p++ - '0'));
        }
        while (*p == 'l') p++;
        if (p - conversion >= 15) return;   // too long to be a conversion
        c.kind = *p++;
        switch (c.kind) {
        case 'd': case 'u': case 'x': case 'X': break;
        case 's':
            if (c.zero || c.width) return;
            break;
        default: return;   // %%, c, f, '-', '.', a longer width...
        }
        site->count++;
    }
    site->plain = true;
}

// Formats a planned message: the text within the first LINE_MAX - 1
// characters, as snprintf would cut it. `line` has room for LINE_MAX +
// PLAN_SLACK bytes: the text may run past LINE_MAX - 1 (never past the
// slack), and is cut at the end; a string is copied only as far as the
// line's end.
SHORT_LOOPS static int format_planned(char *line, const trace_site *site, va_list ap)
{
    char *const last = line + LINE_MAX - 1;   // where the cut falls
    char *o = line;
    const uint32 time = (uint32)s.time;
    o = put_hex_byte(o, time >> 24);
    o = put_hex_byte(o, time >> 16);
    o = put_hex_byte(o, time >> 8);
    o = put_hex_byte(o, time);
    *o++ = ' ';
    const unsigned pc = get_pc();
    o = put_hex_byte(o, pc >> 8);
    o = put_hex_byte(o, pc);
    *o++ = ' ';
    o = copy_short(o, site->name, (size_t)site->name_len);
    *o++ = ':';

    const char *fmt = site->fmt;
    for (int i = 0; i < site->count; i++) {
        const trace_site::conversion &c = site->conv[i];
        o = copy_short(o, fmt + c.text_at, c.text_len);
        char digits[12];
        char *end = digits + sizeof digits, *d = end;
        bool minus = false;
        switch (c.kind) {
        case 'd': {
            const int v = va_arg(ap, int);
            minus = v < 0;
            uint32 mag = minus ? 0u - (uint32)v : (uint32)v;
            do *--d = (char)('0' + mag % 10); while (mag /= 10);
            break;
        }
        case 'u': {
            uint32 v = va_arg(ap, unsigned);
            do *--d = (char)('0' + v % 10); while (v /= 10);
            break;
        }
        case 'x': {
            uint32 v = va_arg(ap, unsigned);
            do *--d = HEX_LOWER[v & 15]; while (v >>= 4);
            break;
        }
        case 'X': {
            uint32 v = va_arg(ap, unsigned);
            do *--d = HEX_UPPER[v & 15]; while (v >>= 4);
            break;
        }
        default: {   // 's'
            const char *str = va_arg(ap, const char *);
            if (!str) str = "(null)";
            // The text before it may already have passed the end.
            if (o >= last) return LINE_MAX - 1;
            const size_t room = (size_t)(last - o);
            const size_t n = strnlen(str, room);
            if (n == room) {
                // The string reaches the end of the line: the rest is cut.
                memcpy(o, str, room);
                return LINE_MAX - 1;
            }
            o = copy_short(o, str, n);
            continue;
        }
        }
        int pad = c.width - (int)(end - d) - (minus ? 1 : 0);
        if (!c.zero)
            for (; pad > 0; pad--) *o++ = ' ';
        if (minus) *o++ = '-';
        for (; pad > 0; pad--) *o++ = '0';
        while (d < end) *o++ = *d++;
    }
    o = copy_short(o, fmt + site->tail_at, site->tail_len);
    if (o > last) o = last;
    *o = 0;
    return (int)(o - line);
}

// One line: formatted where it goes to the file (the output buffer, or a
// line of its own when the file is not written), copied into the ring,
// counted towards the file's limit.
static void trace_line(trace_site *site, const char *fmt, va_list ap)
{
    if (!trace_init_flag) init_trace();
    if (site->fmt != fmt) plan_format(site, fmt);
    if (site->name != g_func_name) {
        site->name = g_func_name;
        site->name_len = site->name ? (int)strnlen(site->name, 257) : 257;
    }
    char own[LINE_MAX + PLAN_SLACK];
    if (s.log && sizeof s.out - s.out_used < LINE_MAX + PLAN_SLACK) flush_out();
    char *line = s.log ? s.out + s.out_used : own;
    const int len = site->plain && site->name_len <= 256 ? format_planned(line, site, ap) : format_general(line, fmt, ap);

    if (trace_log_tab) {
        // Copied by 16 bytes: both buffers have room past the line.
        char *slot = trace_log_tab + trace_log_next * TRACE_LINE_SIZE;
        const int n = len < TRACE_LINE_SIZE - 1 ? len : TRACE_LINE_SIZE - 1;
        for (int i = 0; i <= n; i += 16) memcpy(slot + i, line + i, 16);
        slot[n] = 0;
        if (++trace_log_next == TRACE_RING_LINES) trace_log_next = 0;
        if (trace_log_size < TRACE_RING_LINES) trace_log_size++;
    }
    if (s.log) {
        line[len] = '\n';
        const long long bytes = len + 1;
        if (s.log_bytes > 0 && s.log_bytes + bytes > s.log_limit) {
            // The line starts the next trace.log: what precedes it goes to
            // this one before it is renamed.
            memcpy(own, line, (size_t)bytes);
            rotate_log();
            if (s.log) {
                memcpy(s.out, own, (size_t)bytes);
                s.out_used = (size_t)bytes;
                s.log_bytes = bytes;
            }
        } else {
            s.out_used += (size_t)bytes;
            s.log_bytes += bytes;
        }
    }
}

int do_trace_at(trace_site *site, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    trace_line(site, fmt, ap);
    va_end(ap);
    return 0;
}

int do_trace(const char *fmt, ...)
{
    trace_site site = {};
    va_list ap;
    va_start(ap, fmt);
    trace_line(&site, fmt, ap);
    va_end(ap);
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
    flush_out();
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
