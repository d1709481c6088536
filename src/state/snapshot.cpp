// Snapshots (see snapshot.h). Both ways go through the machine state in
// memory (machine/machine_state.h), so that a snapshot file and a machine
// state never disagree: saving captures the state and writes it as JSON,
// loading turns JSON into a state while checking every member, and only a
// complete, checked state is restored into the machine.
//
// JSON comes from nlohmann-json (ordered objects, so that the members keep
// the order written here), SHA-256 from OpenSSL's libcrypto. The library
// reports JSON syntax errors as exceptions; they are caught here and never
// leave this module.
#include "state/snapshot.h"

#include "machine/machine_state.h"
#include "state/checksum.h"

#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "cpu/tms7000.h"
#include "host/files.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "host/sha256.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "video/tms3556.h"

using ojson = nlohmann::ordered_json;

static constexpr const char *MAGIC = "ovix snapshot";
// Far above any snapshot (about 100 KB); bounds the work on any input.
static constexpr size_t MAX_SNAPSHOT_BYTES = 4 << 20;
// Objects and arrays in a snapshot nest 4 deep (a timer's "expire").
static constexpr int MAX_NESTING = 8;
// A snapshot has about 220 members (160 of them in 32 timers) and 400
// commas; the bounds leave room for members that later versions add.
static constexpr size_t MAX_MEMBERS = 1024;
static constexpr size_t MAX_COMMAS = 4096;

// ---------------------------------------------------------------------------
// Hashes

// n bytes as 2n lower-case hexadecimal digits (hashes, RAM, VRAM).
std::string hex_text(const uint8 *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(n * 2, '0');
    for (size_t i = 0; i < n; i++) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

std::string sha256_hex(const void *data, size_t n)
{
    uint8 md[SHA256_BYTES];
    ovix_sha256(data, n, md);
    return hex_text(md, SHA256_BYTES);
}

std::string json_checksum(ojson j)
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

static ojson to_json(const machine_state &m, const snapshot_counts &counts)
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
    j["div_phase"] = m.div_phase;
    j["rf"] = array_of(m.rf, 128);
    j["pf"] = array_of(m.pf, 12);
    j["t1"] = {{"prescaler", m.t1_prescaler}, {"decrementer", m.t1_decrementer}, {"capture", m.t1_capture},
               {"period", m.int2_period}};
    j["ram"] = hex_text(m.ram, sizeof m.ram);
    j["vram"] = hex_text(m.vram, sizeof m.vram);
    j["vdp"] = {{"regs8", array_of(m.vdp_regs8, 8)},
                {"regs16", array_of(m.vdp_regs16, 8)},
                {"acmp", m.vdp_acmp},
                {"acmpxy", m.vdp_acmpxy},
                {"acmpxy_mode", m.vdp_acmpxy_write ? "write" : "read"},
                {"sel", m.vdp_sel},
                {"reg", m.vdp_reg},
                {"reg2", m.vdp_reg2},
                {"row_col_written", m.vdp_row_col_written},
                {"bamp_written", m.vdp_bamp_written}};
    j["ports"] = {{"a", m.ports[0]}, {"b", m.ports[1]}, {"c", m.ports[2]}, {"d", m.ports[3]}};
    ojson state = nullptr;
    if (m.iocpu_state >= 0 && m.iocpu_state < IO_CPU_STATES) state = io_cpu_auto[m.iocpu_state].name;
    j["iocpu"] = {{"state", state},
                  {"mailbox", m.iocpu_mailbox},
                  {"command", m.iocpu_command},
                  {"index", m.iocpu_index},
                  {"char", m.iocpu_char}};
    j["clock"] = {{"seconds", m.clock.seconds}, {"subseconds", m.clock.subseconds}};
    ojson timers = ojson::array();
    for (uint32 i = 0; i < m.timer_count && i < (uint32)ORLO_TIMER_SLOTS; i++) {
        const machine_state_timer &t = m.timers[i];
        const char *name = machine_state_callback_name(t.callback);
        timers.push_back({{"tag", t.tag},
                          {"param", t.param},
                          {"expire", time_json(t.expire)},
                          {"start", time_json(t.start)},
                          {"callback", name ? ojson(name) : ojson(nullptr)}});
    }
    j["timers"] = timers;
    j["instructions"] = counts.instructions;
    j["cycles"] = counts.cycles;
    j["icount"] = m.icount;
    j["pass_counter"] = m.pass_counter;
    j["key"] = {{"code", m.key_code}, {"host", m.key_host}};
    j["machine_passes"] = m.machine_passes;
    j["bios_sha256"] = hex_text(m.bios_sha256, 32);
    j["cartridge_sha256"] = hex_text(m.cartridge_sha256, 32);
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

std::string snapshot_text(const machine_state &m, const snapshot_counts &counts)
{
    ojson j = to_json(m, counts);
    j["checksum"] = json_checksum(j);
    return one_line_arrays(j.dump(2)) + "\n";
}

std::string snapshot_save_bytes(const snapshot_counts &counts)
{
    static machine_state m;   // 36 KiB: kept off the stack
    machine_state_capture(&m);
    return snapshot_text(m, counts);
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

// The state a snapshot's members give.
static void from_json(const ojson &j, machine_state &m, snapshot_counts &counts, member_reader &r)
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
        m.int2_period = (int32)r.integer(*t1, "period", INT32_LO, INT32_HI, "t1.");
    }
    m.div_phase = (int32)r.integer(j, "div_phase", -MACHINE_COUNT_LIMIT, MACHINE_COUNT_LIMIT);
    m.icount = (int32)r.integer(j, "icount", -MACHINE_COUNT_LIMIT, MACHINE_COUNT_LIMIT);
    r.hex(j, "ram", m.ram, sizeof m.ram);
    r.hex(j, "vram", m.vram, sizeof m.vram);

    const ojson *vdp = r.find(j, "vdp", "vdp");
    if (vdp) {
        r.array(*vdp, "regs8", m.vdp_regs8, 8, 0, 0xFF, "vdp.");
        r.array(*vdp, "regs16", m.vdp_regs16, 8, 0, 0xFFFF, "vdp.");
        m.vdp_acmp = (uint16)r.integer(*vdp, "acmp", 0, 0xFFFF, "vdp.");
        m.vdp_acmpxy = (uint16)r.integer(*vdp, "acmpxy", 0, 0xFFFF, "vdp.");
        const std::string mode = r.string(*vdp, "acmpxy_mode", "vdp.");
        if (mode != "read" && mode != "write") r.fail("member \"vdp.acmpxy_mode\" is neither \"read\" nor \"write\"");
        m.vdp_acmpxy_write = mode == "write";
        m.vdp_sel = (uint8)r.integer(*vdp, "sel", 0, 2, "vdp.");
        m.vdp_reg = (uint8)r.integer(*vdp, "reg", 0, 15, "vdp.");
        m.vdp_reg2 = (uint8)r.integer(*vdp, "reg2", 0, 15, "vdp.");
        m.vdp_row_col_written = (uint8)r.integer(*vdp, "row_col_written", 0, 1, "vdp.");
        m.vdp_bamp_written = (uint8)r.integer(*vdp, "bamp_written", 0, 1, "vdp.");
    }
    const ojson *ports = r.find(j, "ports", "ports");
    if (ports) {
        const char *names[4] = {"a", "b", "c", "d"};
        for (int i = 0; i < 4; i++) m.ports[i] = (uint8)r.integer(*ports, names[i], 0, 0xFF, "ports.");
    }

    const ojson *io = r.find(j, "iocpu", "iocpu");
    if (io) {
        const std::string state = r.string(*io, "state", "iocpu.");
        m.iocpu_state = get_state_num(state.c_str());
        if (r.problem.empty() && m.iocpu_state < 0) r.fail("member \"iocpu.state\" names no state of the I/O processor");
        m.iocpu_mailbox = (uint8)r.integer(*io, "mailbox", 0, 0xFF, "iocpu.");
        m.iocpu_command = (int32)r.integer(*io, "command", -1, 0x100, "iocpu.");
        // The reply position indexes the command's data: no further than
        // its last byte (character set 1283 bytes, logo 995).
        const int64 last = m.iocpu_command == 0x0D ? 994 : 1282;
        m.iocpu_index = (int32)r.integer(*io, "index", -1, last, "iocpu.");
        m.iocpu_char = (uint8)r.integer(*io, "char", 0, 0xFF, "iocpu.");
    }

    const ojson *clock = r.find(j, "clock", "clock");
    if (clock) {
        m.clock.seconds = (uint32)r.integer(*clock, "seconds", 0, MACHINE_CLOCK_SECONDS_MAX, "clock.");
        m.clock.subseconds = (uint32)r.integer(*clock, "subseconds", 0, ORLO_SUBSECONDS - 1, "clock.");
    }
    m.timer_count = 0;
    const ojson *timers = r.find(j, "timers", "timers");
    if (timers && (!timers->is_array() || timers->size() > (size_t)ORLO_TIMER_SLOTS))
        r.fail("member \"timers\" is not an array of at most 32 timers");
    else if (timers)
        for (size_t i = 0; i < timers->size() && r.problem.empty(); i++) {
            const ojson &t = (*timers)[i];
            const std::string p = "timers[" + std::to_string(i) + "].";
            machine_state_timer &out = m.timers[m.timer_count++];
            out.tag = (int32)r.integer(t, "tag", INT32_LO, INT32_HI, p);
            out.param = (int32)r.integer(t, "param", INT32_LO, INT32_HI, p);
            out.expire = r.time(t, "expire", p);
            out.start = r.time(t, "start", p);
            const ojson *cb = r.find(t, "callback", p + "callback");
            out.callback = cb && cb->is_string() ? machine_state_callback_id(cb->get<std::string>().c_str()) : 0;
            if (cb && !out.callback) r.fail("member \"" + p + "callback\" names no timer callback of this program");
            if (out.callback && (out.param < 0 || out.param > machine_state_callback_param_max(out.callback)))
                r.fail("member \"" + p + "param\" is out of range for its callback");
        }

    counts.instructions = r.unsigned64(j, "instructions");
    counts.cycles = r.unsigned64(j, "cycles");
    m.pass_counter = (int32)r.integer(j, "pass_counter", 0, LOOP_FRAME_PASSES - 1);
    const ojson *held = r.find(j, "key", "key");
    if (held) {
        m.key_code = (int32)r.integer(*held, "code", 0, 0xFF, "key.");
        m.key_host = (int32)r.integer(*held, "host", 0, OVIX_KEY_MAX - 1, "key.");
    }
    // Files written before snapshots held the machine's time have no
    // "machine_passes": they load with the time 0, as at power-on.
    m.machine_passes = j.contains("machine_passes") ? r.unsigned64(j, "machine_passes") : 0;
    r.hex(j, "bios_sha256", m.bios_sha256, 32);
    r.hex(j, "cartridge_sha256", m.cartridge_sha256, 32);
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

// The shape of the JSON text outside strings: how deep objects and arrays
// nest, and how many members (colons) and separators (commas) it holds.
struct json_shape {
    int deepest = 0;
    size_t members = 0, commas = 0;
};

static json_shape shape_of(const uint8 *d, size_t n)
{
    json_shape s;
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < n; i++) {
        const uint8 c = d[i];
        if (in_string) {
            if (c == '\\') i++;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > s.deepest) s.deepest = depth;
        } else if (c == '}' || c == ']') {
            depth--;
        } else if (c == ':') {
            s.members++;
        } else if (c == ',') {
            s.commas++;
        }
    }
    return s;
}

static bool refuse(std::string *error, const char *name, const std::string &why)
{
    *error = std::string(name) + why;
    return false;
}

bool snapshot_parse(const uint8 *data, size_t size, const char *name, machine_state *m, snapshot_counts *counts,
                    std::string *error)
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
    // Refused before the parse, whose work grows with the square of the
    // members of an object (each new member is looked for among the others).
    const json_shape shape = shape_of(data, size);
    if (shape.deepest > MAX_NESTING)
        return refuse(error, name, " is corrupted: it nests objects and arrays deeper than a snapshot does");
    if (shape.members > MAX_MEMBERS)
        return refuse(error, name, " is corrupted: it holds " + std::to_string(shape.members) +
                                       " members, more than a snapshot does (" + std::to_string(MAX_MEMBERS) + ")");
    if (shape.commas > MAX_COMMAS)
        return refuse(error, name, " is corrupted: it holds " + std::to_string(shape.commas) +
                                       " values, more than a snapshot does (" + std::to_string(MAX_COMMAS) + ")");

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
    if (checksum != json_checksum(j))
        return refuse(error, name, " is corrupted: its checksum does not match its contents");

    *m = machine_state{};
    snapshot_counts read_counts;
    from_json(j, *m, read_counts, r);
    if (!r.problem.empty()) return refuse(error, name, " is corrupted: " + r.problem);
    // The same ranges, as the machine state checks them for every source.
    std::string why;
    if (!machine_state_check_values(*m, &why)) return refuse(error, name, " is corrupted: " + why);
    if (counts) *counts = read_counts;
    return true;
}

static bool load_checked(const uint8 *data, size_t size, const char *name, std::string *error,
                         snapshot_counts *counts_out)
{
    static machine_state m;   // 36 KiB: kept off the stack
    snapshot_counts counts;
    if (!snapshot_parse(data, size, name, &m, &counts, error)) return false;
    std::string why;
    if (!machine_state_check_images(m, &why)) return refuse(error, name, why);
    machine_state_restore(m);
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
    *error = "cannot read snapshot " + reason;
    return false;
}
