// Snapshots (see snapshot.h). The machine is first copied into a plain
// record, `machine_image`: saving turns the record into JSON, loading turns
// JSON into a record while checking every member, and only a complete,
// checked record is copied back into the machine.
//
// JSON comes from nlohmann-json (ordered objects, so that the members keep
// the order written here), SHA-256 from OpenSSL's libcrypto. The library
// reports JSON syntax errors as exceptions; they are caught here and never
// leave this module.
#include "ovix_allegro.h"

#include "state/snapshot.h"

#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "cpu/tms7000.h"
#include "host/files.h"
#include "io/io_cpu.h"
#include "main/loop.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

using ojson = nlohmann::ordered_json;

static constexpr const char *MAGIC = "ovix snapshot";
// Far above any snapshot (about 100 KB); bounds the work on any input.
static constexpr size_t MAX_SNAPSHOT_BYTES = 4 << 20;
// Objects and arrays in a snapshot nest 4 deep (a timer's "expire").
static constexpr int MAX_NESTING = 8;
// Cartridge bytes the CPU sees (0x0200-0x7FFF).
static constexpr int CART_FIRST = 0x200;

// ---------------------------------------------------------------------------
// The machine as a plain record

struct machine_image {
    uint16 pc;
    uint8 sp, sr, idle;
    uint8 irq_state[3];
    uint8 rf[128];
    uint8 pf[12];
    int8 t1_prescaler;
    int16 t1_decrementer;
    uint8 t1_capture;
    tms7000_counts counts;
    uint8 ram[sizeof ram_2k];
    uint8 vram[sizeof ::vram];
    uint8 regs8[8];
    uint16 regs16[8];
    uint16 acmp, acmpxy;
    dma_mode acmpxy_mode;
    int sel, reg, reg2;
    uint8 row_col_written;
    bool bamp_written;
    uint8 ports[4];
    int io_state;
    uint8 mailbox;
    int command, index;
    uint8 key_char;
    orlo_time clock;
    int timer_num;
    orlo_timer timers[ORLO_TIMER_SLOTS];
    int pass_counter;
    ovix_key_state key;
};

static void capture(machine_image &m)
{
    const tms7000_Regs &c = tms7000;
    m.pc = c.pc.w.l;
    m.sp = c.sp;
    m.sr = c.sr;
    m.idle = c.idle_state;
    memcpy(m.irq_state, c.irq_state, sizeof m.irq_state);
    memcpy(m.rf, c.rf, sizeof m.rf);
    memcpy(m.pf, c.pf, sizeof m.pf);
    m.t1_prescaler = c.t1_prescaler;
    m.t1_decrementer = c.t1_decrementer;
    m.t1_capture = c.t1_capture_latch;
    m.counts = tms7000_get_counts();
    memcpy(m.ram, ram_2k, sizeof m.ram);
    memcpy(m.vram, vram, sizeof m.vram);
    memcpy(m.regs8, vdp_regs8, sizeof m.regs8);
    memcpy(m.regs16, vdp_regs16, sizeof m.regs16);
    m.acmp = vdp_acmp;
    m.acmpxy = vdp_acmpxy;
    m.acmpxy_mode = vdp_acmpxy_mode;
    tms3556_get_port_state(&m.sel, &m.reg, &m.reg2);
    m.row_col_written = row_col_written;
    m.bamp_written = bamp_written;
    m.ports[0] = porta_val;
    m.ports[1] = portb_val;
    m.ports[2] = portc_val;
    m.ports[3] = portd_val;
    m.io_state = cur_state;
    m.mailbox = mailbox_val;
    m.command = l_7041_command;
    m.index = l_7041_index;
    m.key_char = (uint8)l_7041_char;
    m.clock = g_timer_clock;
    m.timer_num = g_timer_num;
    for (int i = 0; i < ORLO_TIMER_SLOTS; i++) m.timers[i] = i < g_timer_num ? timer_tab[i] : orlo_timer{};
    m.pass_counter = ovix_get_pass_counter();
    m.key = ovix_get_key_state();
}

static void apply(const machine_image &m)
{
    tms7000_Regs &c = tms7000;
    c.pc.w.l = m.pc;
    c.sp = m.sp;
    c.sr = m.sr;
    c.idle_state = m.idle;
    memcpy(c.irq_state, m.irq_state, sizeof m.irq_state);
    memcpy(c.rf, m.rf, sizeof m.rf);
    memcpy(c.pf, m.pf, sizeof m.pf);
    c.t1_prescaler = m.t1_prescaler;
    c.t1_decrementer = m.t1_decrementer;
    c.t1_capture_latch = m.t1_capture;
    tms7000_set_counts(m.counts);
    memcpy(ram_2k, m.ram, sizeof m.ram);
    memcpy(vram, m.vram, sizeof m.vram);
    memcpy(vdp_regs8, m.regs8, sizeof m.regs8);
    memcpy(vdp_regs16, m.regs16, sizeof m.regs16);
    vdp_acmp = m.acmp;
    vdp_acmpxy = m.acmpxy;
    vdp_acmpxy_mode = m.acmpxy_mode;
    tms3556_set_port_state(m.sel, m.reg, m.reg2);
    row_col_written = m.row_col_written;
    bamp_written = m.bamp_written;
    porta_val = m.ports[0];
    portb_val = m.ports[1];
    portc_val = m.ports[2];
    portd_val = m.ports[3];
    cur_state = m.io_state;
    mailbox_val = m.mailbox;
    l_7041_command = m.command;
    l_7041_index = m.index;
    l_7041_char = (char)m.key_char;
    g_timer_clock = m.clock;
    g_timer_num = m.timer_num;
    for (int i = 0; i < m.timer_num; i++) timer_tab[i] = m.timers[i];
    ovix_set_pass_counter(m.pass_counter);
    ovix_set_key_state(m.key);
}

// Timer callbacks are saved by name. A timer whose callback is not listed
// here is saved with a null callback, which loading refuses.
static constexpr struct {
    const char *name;
    void (*fn)(int);
    int param_max;   // the callback's parameter must lie in 0..param_max
} timer_callbacks[] = {
    {"io_cpu_callback", io_cpu_callback, IO_CPU_STATES - 1},
};

// ---------------------------------------------------------------------------
// Hashes

// n bytes as 2n lower-case hexadecimal digits (hashes, RAM, VRAM).
static std::string to_hex(const uint8 *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(n * 2, '0');
    for (size_t i = 0; i < n; i++) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

static std::string sha256_hex(const void *data, size_t n)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!EVP_Digest(data, n, md, &len, EVP_sha256(), nullptr)) return "";
    return to_hex(md, len);
}

static std::string bios_hash() { return sha256_hex(rom_7020, sizeof rom_7020); }
static std::string cart_hash(const uint8 *cart) { return sha256_hex(cart + CART_FIRST, sizeof rom_cart - CART_FIRST); }
static std::string empty_cart_hash()
{
    static std::vector<uint8> empty(sizeof rom_cart, 0xFF);
    return cart_hash(empty.data());
}

// The checksum: SHA-256 of the compact JSON text of every member but
// "checksum", in file order.
static std::string checksum_of(ojson j)
{
    j.erase("checksum");
    const std::string text = j.dump();
    return sha256_hex(text.data(), text.size());
}

// ---------------------------------------------------------------------------
// Saving

template <typename T>
static ojson array_of(const T *v, int n)
{
    ojson a = ojson::array();
    for (int i = 0; i < n; i++) a.push_back((int64)v[i]);
    return a;
}

static ojson time_json(orlo_time t) { return ojson::array({t.seconds, t.subseconds}); }

static ojson to_json(const machine_image &m, const snapshot_counts &counts)
{
    ojson j;
    // The members of the runner's state file first, with their names and
    // meanings, then what a snapshot adds.
    j["magic"] = MAGIC;
    j["version"] = SNAPSHOT_VERSION;
    j["pc"] = m.pc;
    j["sp"] = m.sp;
    j["sr"] = m.sr;
    j["idle"] = m.idle;
    j["irq_state"] = array_of(m.irq_state, 3);
    j["div_phase"] = m.counts.div_phase;
    j["rf"] = array_of(m.rf, 128);
    j["pf"] = array_of(m.pf, 12);
    j["t1"] = {{"prescaler", m.t1_prescaler}, {"decrementer", m.t1_decrementer}, {"capture", m.t1_capture},
               {"period", m.counts.int2_period}};
    j["ram"] = to_hex(m.ram, sizeof m.ram);
    j["vram"] = to_hex(m.vram, sizeof m.vram);
    j["vdp"] = {{"regs8", array_of(m.regs8, 8)},
                {"regs16", array_of(m.regs16, 8)},
                {"acmp", m.acmp},
                {"acmpxy", m.acmpxy},
                {"acmpxy_mode", m.acmpxy_mode == dma_write ? "write" : "read"},
                {"sel", m.sel},
                {"reg", m.reg},
                {"reg2", m.reg2},
                {"row_col_written", m.row_col_written ? 1 : 0},
                {"bamp_written", m.bamp_written ? 1 : 0}};
    j["ports"] = {{"a", m.ports[0]}, {"b", m.ports[1]}, {"c", m.ports[2]}, {"d", m.ports[3]}};
    ojson state = nullptr;
    if (m.io_state >= 0 && m.io_state < IO_CPU_STATES) state = io_cpu_auto[m.io_state].name;
    j["iocpu"] = {{"state", state}, {"mailbox", m.mailbox}, {"command", m.command}, {"index", m.index},
                  {"char", m.key_char}};
    j["clock"] = {{"seconds", m.clock.seconds}, {"subseconds", m.clock.subseconds}};
    ojson timers = ojson::array();
    for (int i = 0; i < m.timer_num; i++) {
        const orlo_timer &t = m.timers[i];
        ojson callback = nullptr;
        for (const auto &cb : timer_callbacks)
            if (cb.fn == t.callback) callback = cb.name;
        timers.push_back({{"tag", t.tag},
                          {"param", t.callback_param},
                          {"expire", time_json(t.expire)},
                          {"start", time_json(t.start)},
                          {"callback", callback}});
    }
    j["timers"] = timers;
    j["instructions"] = counts.instructions;
    j["cycles"] = counts.cycles;
    j["icount"] = m.counts.icount;
    j["pass_counter"] = m.pass_counter;
    j["key"] = {{"code", m.key.code}, {"host", m.key.host}};
    j["bios_sha256"] = bios_hash();
    j["cartridge_sha256"] = cart_hash(rom_cart);
    return j;
}

// The library's indented text with every array of numbers on one line,
// "[1, 2, 3]", as state files have always had them (scripts that read them
// line by line keep working).
static std::string one_line_arrays(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        out += c;
        if (in_string) {
            if (c == '\\') out += text[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        if (c != '[') continue;
        const size_t end = text.find_first_of("[]{}\"", i + 1);
        if (end == std::string::npos || text[end] != ']') continue;
        // Numbers only: one line, ", " between them.
        for (size_t k = i + 1; k < end; k++) {
            if (text[k] == '\n' || text[k] == ' ') continue;
            out += text[k];
            if (text[k] == ',') out += ' ';
        }
        out += ']';
        i = end;
    }
    return out;
}

std::string snapshot_save_bytes(const snapshot_counts &counts)
{
    static machine_image m;   // 36 KiB: kept off the stack
    capture(m);
    ojson j = to_json(m, counts);
    j["checksum"] = checksum_of(j);
    return one_line_arrays(j.dump(2)) + "\n";
}

bool snapshot_save(const char *path, const snapshot_counts &counts, std::string *error)
{
    const std::string text = snapshot_save_bytes(counts);
    return write_file_atomic(path, text.data(), text.size(), error);
}

// ---------------------------------------------------------------------------
// Loading: every member is checked against the range the machine can hold.
// The first problem is kept; reading goes on with harmless values so that
// the code reads as a list of members.

namespace {

struct member_reader {
    std::string problem;   // the first member that is missing or out of range

    void fail(const std::string &what)
    {
        if (problem.empty()) problem = what;
    }

    const ojson *find(const ojson &obj, const char *name, const std::string &path)
    {
        if (obj.is_object()) {
            auto it = obj.find(name);
            if (it != obj.end()) return &*it;
        }
        fail("member \"" + path + "\" is missing");
        return nullptr;
    }

    // An integer from lo to hi (both within 64-bit range) of a value.
    int64 integer_value(const ojson *v, int64 lo, int64 hi, const std::string &path)
    {
        if (v && v->is_number_integer()) {
            if (v->is_number_unsigned()) {
                const uint64 u = v->get<uint64>();
                if (hi >= 0 && u <= (uint64)hi && (int64)u >= lo) return (int64)u;
            } else {
                const int64 i = v->get<int64>();
                if (i >= lo && i <= hi) return i;
            }
        }
        if (v) fail("member \"" + path + "\" is not an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
        return lo;
    }

    int64 integer(const ojson &obj, const char *name, int64 lo, int64 hi, const std::string &prefix = "")
    {
        const std::string path = prefix + name;
        return integer_value(find(obj, name, path), lo, hi, path);
    }

    uint64 unsigned64(const ojson &obj, const char *name)
    {
        const ojson *v = find(obj, name, name);
        if (v && v->is_number_unsigned()) return v->get<uint64>();
        if (v && v->is_number_integer() && v->get<int64>() >= 0) return (uint64)v->get<int64>();
        if (v) fail(std::string("member \"") + name + "\" is not a count");
        return 0;
    }

    std::string string(const ojson &obj, const char *name, const std::string &prefix = "")
    {
        const std::string path = prefix + name;
        const ojson *v = find(obj, name, path);
        if (v && v->is_string()) return v->get<std::string>();
        if (v) fail("member \"" + path + "\" is not a string");
        return "";
    }

    // An array of n integers from lo to hi.
    template <typename T>
    void array(const ojson &obj, const char *name, T *out, int n, int64 lo, int64 hi, const std::string &prefix = "")
    {
        const std::string path = prefix + name;
        const ojson *v = find(obj, name, path);
        if (!v) return;
        if (!v->is_array() || v->size() != (size_t)n) {
            fail("member \"" + path + "\" is not an array of " + std::to_string(n) + " numbers");
            return;
        }
        for (int i = 0; i < n; i++)
            out[i] = (T)integer_value(&(*v)[(size_t)i], lo, hi, path + "[" + std::to_string(i) + "]");
    }

    // n bytes written as 2n hexadecimal digits.
    void hex(const ojson &obj, const char *name, uint8 *out, size_t n)
    {
        const std::string s = string(obj, name);
        if (!problem.empty()) return;
        if (s.size() != 2 * n) {
            fail(std::string("member \"") + name + "\" is not " + std::to_string(2 * n) + " hexadecimal digits");
            return;
        }
        for (size_t i = 0; i < n; i++) {
            int hi = nibble(s[2 * i]), lo = nibble(s[2 * i + 1]);
            if (hi < 0 || lo < 0) {
                fail(std::string("member \"") + name + "\" holds a character that is not a hexadecimal digit");
                return;
            }
            out[i] = (uint8)(hi << 4 | lo);
        }
    }

    static int nibble(char c)
    {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    orlo_time time(const ojson &obj, const char *name, const std::string &prefix)
    {
        uint32 v[2] = {0, 0};
        array(obj, name, v, 2, 0, UINT32_MAX, prefix);
        if (v[1] >= ORLO_SUBSECONDS) fail("member \"" + prefix + name + "\" has 5000000 subseconds or more");
        return {v[0], v[1]};
    }
};

}  // namespace

static constexpr int64 INT32_LO = INT32_MIN, INT32_HI = INT32_MAX;
// The cycle balance and the divider phase stay within a few dozen cycles of
// 0 (an interrupt entry between two passes, a reset); the bound keeps a
// forged value from making the divider loop run for long.
static constexpr int64 COUNT_LIMIT = 256;

static void from_json(const ojson &j, machine_image &m, snapshot_counts &counts, member_reader &r)
{
    m.pc = (uint16)r.integer(j, "pc", 0, 0xFFFF);
    m.sp = (uint8)r.integer(j, "sp", 0, 0xFF);
    m.sr = (uint8)r.integer(j, "sr", 0, 0xFF);
    m.idle = (uint8)r.integer(j, "idle", 0, 1);
    r.array(j, "irq_state", m.irq_state, 3, CLEAR_LINE, ASSERT_LINE);
    r.array(j, "rf", m.rf, 128, 0, 0xFF);
    r.array(j, "pf", m.pf, 12, 0, 0xFF);
    const ojson *t1 = r.find(j, "t1", "t1");
    if (t1) {
        m.t1_prescaler = (int8)r.integer(*t1, "prescaler", INT8_MIN, INT8_MAX, "t1.");
        m.t1_decrementer = (int16)r.integer(*t1, "decrementer", INT16_MIN, INT16_MAX, "t1.");
        m.t1_capture = (uint8)r.integer(*t1, "capture", 0, 0xFF, "t1.");
        m.counts.int2_period = (int32)r.integer(*t1, "period", INT32_LO, INT32_HI, "t1.");
    }
    m.counts.div_phase = (int32)r.integer(j, "div_phase", -COUNT_LIMIT, COUNT_LIMIT);
    m.counts.icount = (int32)r.integer(j, "icount", -COUNT_LIMIT, COUNT_LIMIT);
    r.hex(j, "ram", m.ram, sizeof m.ram);
    r.hex(j, "vram", m.vram, sizeof m.vram);

    const ojson *vdp = r.find(j, "vdp", "vdp");
    if (vdp) {
        r.array(*vdp, "regs8", m.regs8, 8, 0, 0xFF, "vdp.");
        r.array(*vdp, "regs16", m.regs16, 8, 0, 0xFFFF, "vdp.");
        m.acmp = (uint16)r.integer(*vdp, "acmp", 0, 0xFFFF, "vdp.");
        m.acmpxy = (uint16)r.integer(*vdp, "acmpxy", 0, 0xFFFF, "vdp.");
        const std::string mode = r.string(*vdp, "acmpxy_mode", "vdp.");
        if (mode != "read" && mode != "write") r.fail("member \"vdp.acmpxy_mode\" is neither \"read\" nor \"write\"");
        m.acmpxy_mode = mode == "write" ? dma_write : dma_read;
        m.sel = (int)r.integer(*vdp, "sel", 0, 2, "vdp.");
        m.reg = (int)r.integer(*vdp, "reg", 0, 15, "vdp.");
        m.reg2 = (int)r.integer(*vdp, "reg2", 0, 15, "vdp.");
        m.row_col_written = (uint8)r.integer(*vdp, "row_col_written", 0, 1, "vdp.");
        m.bamp_written = r.integer(*vdp, "bamp_written", 0, 1, "vdp.") != 0;
    }
    const ojson *ports = r.find(j, "ports", "ports");
    if (ports) {
        const char *names[4] = {"a", "b", "c", "d"};
        for (int i = 0; i < 4; i++) m.ports[i] = (uint8)r.integer(*ports, names[i], 0, 0xFF, "ports.");
    }

    const ojson *io = r.find(j, "iocpu", "iocpu");
    if (io) {
        const std::string state = r.string(*io, "state", "iocpu.");
        m.io_state = get_state_num(state.c_str());
        if (r.problem.empty() && m.io_state < 0) r.fail("member \"iocpu.state\" names no state of the I/O processor");
        m.mailbox = (uint8)r.integer(*io, "mailbox", 0, 0xFF, "iocpu.");
        m.command = (int)r.integer(*io, "command", -1, 0x100, "iocpu.");
        // The reply position indexes the command's data: no further than
        // its last byte (character set 1283 bytes, logo 995).
        const int64 last = m.command == 0x0D ? 994 : 1282;
        m.index = (int)r.integer(*io, "index", -1, last, "iocpu.");
        m.key_char = (uint8)r.integer(*io, "char", 0, 0xFF, "iocpu.");
    }

    const ojson *clock = r.find(j, "clock", "clock");
    if (clock) {
        m.clock.seconds = (uint32)r.integer(*clock, "seconds", 0, UINT32_MAX, "clock.");
        m.clock.subseconds = (uint32)r.integer(*clock, "subseconds", 0, ORLO_SUBSECONDS - 1, "clock.");
    }
    m.timer_num = 0;
    const ojson *timers = r.find(j, "timers", "timers");
    if (timers && (!timers->is_array() || timers->size() > (size_t)ORLO_TIMER_SLOTS))
        r.fail("member \"timers\" is not an array of at most 32 timers");
    else if (timers)
        for (size_t i = 0; i < timers->size() && r.problem.empty(); i++) {
            const ojson &t = (*timers)[i];
            const std::string p = "timers[" + std::to_string(i) + "].";
            orlo_timer &out = m.timers[m.timer_num++];
            out.tag = (int32)r.integer(t, "tag", INT32_LO, INT32_HI, p);
            out.callback_param = (int32)r.integer(t, "param", INT32_LO, INT32_HI, p);
            out.expire = r.time(t, "expire", p);
            out.start = r.time(t, "start", p);
            const ojson *cb = r.find(t, "callback", p + "callback");
            out.callback = nullptr;
            for (const auto &known : timer_callbacks)
                if (cb && cb->is_string() && cb->get<std::string>() == known.name) {
                    out.callback = known.fn;
                    if (out.callback_param < 0 || out.callback_param > known.param_max)
                        r.fail("member \"" + p + "param\" is out of range for its callback");
                }
            if (cb && !out.callback) r.fail("member \"" + p + "callback\" names no timer callback of this program");
        }

    counts.instructions = r.unsigned64(j, "instructions");
    counts.cycles = r.unsigned64(j, "cycles");
    m.pass_counter = (int)r.integer(j, "pass_counter", 0, LOOP_FRAME_PASSES - 1);
    const ojson *held = r.find(j, "key", "key");
    if (held) {
        m.key.code = (int)r.integer(*held, "code", 0, 0xFF, "key.");
        m.key.host = (int)r.integer(*held, "host", 0, KEY_MAX - 1, "key.");
    }
}

// Skips JSON white space.
static size_t skip_ws(const uint8 *d, size_t n, size_t p)
{
    while (p < n && (d[p] == ' ' || d[p] == '\t' || d[p] == '\n' || d[p] == '\r')) p++;
    return p;
}

enum magic_result { MAGIC_OK, MAGIC_CUT, MAGIC_NONE };

// The file must open with the object and its magic member:
// {"magic": "ovix snapshot" (any JSON white space between the tokens).
static magic_result check_magic(const uint8 *d, size_t n)
{
    const std::string magic_value = std::string("\"") + MAGIC + "\"";
    const char *tokens[4] = {"{", "\"magic\"", ":", magic_value.c_str()};
    size_t p = 0;
    for (const char *tok : tokens) {
        p = skip_ws(d, n, p);
        const size_t len = strlen(tok);
        const size_t have = n - p < len ? n - p : len;
        if (memcmp(d + p, tok, have) != 0) return MAGIC_NONE;
        if (have < len) return MAGIC_CUT;
        p += len;
    }
    return MAGIC_OK;
}

// The deepest nesting of objects and arrays outside strings.
static int nesting(const uint8 *d, size_t n)
{
    int depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < n; i++) {
        const uint8 c = d[i];
        if (in_string) {
            if (c == '\\') i++;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > deepest) deepest = depth;
        } else if (c == '}' || c == ']') {
            depth--;
        }
    }
    return deepest;
}

static bool refuse(std::string *error, const char *name, const std::string &why)
{
    *error = std::string(name) + why;
    return false;
}

static bool load_checked(const uint8 *data, size_t size, const char *name, std::string *error,
                         snapshot_counts *counts_out)
{
    if (size == 0) return refuse(error, name, " is empty: a truncated snapshot or not a snapshot at all");
    if (size > MAX_SNAPSHOT_BYTES)
        return refuse(error, name, " is not a snapshot: " + std::to_string(size) + " bytes, far more than a snapshot");
    switch (check_magic(data, size)) {
    case MAGIC_OK: break;
    case MAGIC_CUT: return refuse(error, name, " is truncated: it ends inside the snapshot's magic");
    case MAGIC_NONE:
        return refuse(error, name, " is not a snapshot: it does not begin with the magic {\"magic\": \"ovix snapshot\"");
    }
    if (nesting(data, size) > MAX_NESTING)
        return refuse(error, name, " is corrupted: it nests objects and arrays deeper than a snapshot does");

    ojson j;
    try {
        j = ojson::parse(data, data + size);
    } catch (const nlohmann::json::parse_error &e) {
        // The library counts from 1; n + 1 is the end of the input.
        if (e.byte > size)
            return refuse(error, name, " is truncated: it ends after " + std::to_string(size) + " bytes, inside the snapshot");
        return refuse(error, name, " is corrupted: not valid JSON at byte " + std::to_string(e.byte));
    }

    member_reader r;
    const int64 version = r.integer(j, "version", INT32_LO, INT32_HI);
    if (!r.problem.empty()) return refuse(error, name, " is corrupted: " + r.problem);
    if (version != SNAPSHOT_VERSION)
        return refuse(error, name, " is a snapshot of format version " + std::to_string(version) +
                                       "; this program reads version " + std::to_string(SNAPSHOT_VERSION));
    const std::string checksum = r.string(j, "checksum");
    if (!r.problem.empty()) return refuse(error, name, " is corrupted: " + r.problem);
    if (checksum != checksum_of(j))
        return refuse(error, name, " is corrupted: its checksum does not match its contents");

    static machine_image m;   // 36 KiB: kept off the stack
    m = machine_image{};
    snapshot_counts counts;
    from_json(j, m, counts, r);
    const std::string bios = r.string(j, "bios_sha256");
    const std::string cart = r.string(j, "cartridge_sha256");
    if (!r.problem.empty()) return refuse(error, name, " is corrupted: " + r.problem);

    if (bios != bios_hash())
        return refuse(error, name, " was taken with another BIOS image than the one loaded");
    if (cart != cart_hash(rom_cart)) {
        const std::string empty = empty_cart_hash();
        if (cart == empty) return refuse(error, name, " was taken without a cartridge, and one is loaded");
        if (cart_hash(rom_cart) == empty)
            return refuse(error, name, " was taken with a cartridge, and none is loaded: load that cartridge first");
        return refuse(error, name, " was taken with another cartridge than the one loaded");
    }

    apply(m);
    if (counts_out) *counts_out = counts;
    return true;
}

bool snapshot_load_bytes(const uint8 *data, size_t size, const char *name, std::string *error,
                         snapshot_counts *counts)
{
    // Nothing below throws on purpose; whatever the library might still
    // throw is a refusal, never a crash, and the machine is only changed
    // after every check has passed.
    try {
        return load_checked(data, size, name, error, counts);
    } catch (const std::exception &e) {
        return refuse(error, name, std::string(" is corrupted: ") + e.what());
    }
}

bool snapshot_load(const char *path, std::string *error, snapshot_counts *counts)
{
    std::string bytes, reason;
    long long size = 0;
    switch (read_input_file(path, (long long)MAX_SNAPSHOT_BYTES, &bytes, &size, &reason)) {
    case input_read::ok:
        return snapshot_load_bytes((const uint8 *)bytes.data(), bytes.size(), path, error, counts);
    case input_read::not_opened:
        *error = "cannot open snapshot " + reason;
        return false;
    case input_read::too_big:
        return refuse(error, path, " is not a snapshot: " + std::to_string(size) + " bytes, far more than a snapshot");
    case input_read::read_error:
        break;
    }
    *error = std::string("cannot read snapshot ") + path;
    return false;
}
