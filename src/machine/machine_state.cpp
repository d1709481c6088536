// The machine state in memory (see machine_state.h): capture and restore
// copy the chips' variables into and out of the record; the byte form is
// the record between a header and a SHA-256 checksum (machine/sha256.h).
#include "machine/machine_state.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "cpu/tms7000.h"
#include "host/files.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "host/sha256.h"
#include "mem/memory.h"
#include "video/tms3556.h"

static_assert(std::endian::native == std::endian::little, "the byte form is the record as a little-endian host holds it");
static_assert(std::has_unique_object_representations_v<machine_state>,
              "the record has no padding: equal machines give equal bytes");
static_assert(std::is_trivially_copyable_v<machine_state>);

static constexpr char MAGIC[8] = {'O', 'V', 'I', 'X', 'S', 'T', 'A', 'T'};
static constexpr int CART_FIRST = 0x200;   // cartridge bytes the CPU sees: 0x0200-0x7FFF
static constexpr size_t CHECKSUM_BYTES = 32;

// Timer callbacks are recorded by their place in this table, and named in
// snapshot files by its names.
static constexpr struct {
    const char *name;
    void (*fn)(int);
    int param_max;   // the callback's parameter must lie in 0..param_max
} timer_callbacks[] = {
    {"io_cpu_callback", io_cpu_callback, IO_CPU_STATES - 1},
};
static constexpr uint32 CALLBACKS = sizeof timer_callbacks / sizeof timer_callbacks[0];

const char *machine_state_callback_name(uint32 id) { return id >= 1 && id <= CALLBACKS ? timer_callbacks[id - 1].name : nullptr; }

uint32 machine_state_callback_id(const char *name)
{
    for (uint32 i = 0; i < CALLBACKS; i++)
        if (strcmp(timer_callbacks[i].name, name) == 0) return i + 1;
    return 0;
}

int machine_state_callback_param_max(uint32 id)
{
    return id >= 1 && id <= CALLBACKS ? timer_callbacks[id - 1].param_max : -1;
}

static uint32 callback_id(void (*fn)(int))
{
    for (uint32 i = 0; i < CALLBACKS; i++)
        if (timer_callbacks[i].fn == fn) return i + 1;
    return 0;
}

// ---------------------------------------------------------------------------
// The ROM images' identity, hashed again only when an image changed.

static void sha256(const void *data, size_t n, uint8 out[32]) { ovix_sha256(data, n, out); }

static struct {
    bool known;   // the copies below have been hashed
    uint8 bios[sizeof rom_7020];
    uint8 cart[sizeof rom_cart - CART_FIRST];
    uint8 bios_sha256[32], cart_sha256[32];
    bool empty_known;
    uint8 empty_sha256[32];
} s_images;

void machine_state_images(uint8 bios_sha256[32], uint8 cartridge_sha256[32])
{
    if (!s_images.known || memcmp(s_images.bios, rom_7020, sizeof s_images.bios) != 0) {
        memcpy(s_images.bios, rom_7020, sizeof s_images.bios);
        sha256(s_images.bios, sizeof s_images.bios, s_images.bios_sha256);
    }
    if (!s_images.known || memcmp(s_images.cart, rom_cart + CART_FIRST, sizeof s_images.cart) != 0) {
        memcpy(s_images.cart, rom_cart + CART_FIRST, sizeof s_images.cart);
        sha256(s_images.cart, sizeof s_images.cart, s_images.cart_sha256);
    }
    s_images.known = true;
    memcpy(bios_sha256, s_images.bios_sha256, 32);
    memcpy(cartridge_sha256, s_images.cart_sha256, 32);
}

const uint8 *machine_state_empty_cartridge_sha256()
{
    if (!s_images.empty_known) {
        static uint8 empty[sizeof rom_cart - CART_FIRST];
        memset(empty, 0xFF, sizeof empty);
        sha256(empty, sizeof empty, s_images.empty_sha256);
        s_images.empty_known = true;
    }
    return s_images.empty_sha256;
}

// ---------------------------------------------------------------------------
// Capture and restore

void machine_state_capture(machine_state *s)
{
    machine_state_images(s->bios_sha256, s->cartridge_sha256);
    s->machine_passes = ovix_machine_passes();

    const tms7000_Regs &c = tms7000;
    const tms7000_counts counts = tms7000_get_counts();
    s->icount = counts.icount;
    s->div_phase = counts.div_phase;
    s->int2_period = counts.int2_period;
    s->pc = c.pc.w.l;
    s->t1_decrementer = c.t1_decrementer;
    s->t1_prescaler = c.t1_prescaler;
    s->t1_capture = c.t1_capture_latch;
    s->sp = c.sp;
    s->sr = c.sr;
    s->idle = c.idle_state;
    memcpy(s->irq_state, c.irq_state, sizeof s->irq_state);
    memcpy(s->rf, c.rf, sizeof s->rf);
    memcpy(s->pf, c.pf, sizeof s->pf);

    memcpy(s->ram, ram_2k, sizeof s->ram);
    s->ports[0] = porta_val;
    s->ports[1] = portb_val;
    s->ports[2] = portc_val;
    s->ports[3] = portd_val;

    memcpy(s->vram, vram, sizeof s->vram);
    memcpy(s->vdp_regs16, vdp_regs16, sizeof s->vdp_regs16);
    memcpy(s->vdp_regs8, vdp_regs8, sizeof s->vdp_regs8);
    s->vdp_acmp = vdp_acmp;
    s->vdp_acmpxy = vdp_acmpxy;
    s->vdp_acmpxy_write = vdp_acmpxy_mode == dma_write;
    int sel = 0, reg = 0, reg2 = 0;
    tms3556_get_port_state(&sel, &reg, &reg2);
    s->vdp_sel = (uint8)sel;
    s->vdp_reg = (uint8)reg;
    s->vdp_reg2 = (uint8)reg2;
    s->vdp_row_col_written = row_col_written;
    s->vdp_bamp_written = bamp_written;

    s->iocpu_mailbox = mailbox_val;
    s->iocpu_char = (uint8)l_7041_char;
    s->iocpu_state = cur_state;
    s->iocpu_command = l_7041_command;
    s->iocpu_index = l_7041_index;

    s->clock = g_timer_clock;
    s->timer_count = (uint32)g_timer_num;
    for (int i = 0; i < ORLO_TIMER_SLOTS; i++) {
        machine_state_timer &t = s->timers[i];
        if (i < g_timer_num) {
            const orlo_timer &from = timer_tab[i];
            t = {from.tag, from.callback_param, from.start, from.expire, callback_id(from.callback)};
        } else {
            t = {};
        }
    }

    s->pass_counter = ovix_get_pass_counter();
    const ovix_key_state held = ovix_get_key_state();
    s->key_code = held.code;
    s->key_host = held.host;
}

void machine_state_restore(const machine_state &s)
{
    ovix_set_machine_passes(s.machine_passes);

    tms7000_Regs &c = tms7000;
    c.pc.w.l = s.pc;
    c.sp = s.sp;
    c.sr = s.sr;
    c.idle_state = s.idle;
    memcpy(c.irq_state, s.irq_state, sizeof s.irq_state);
    memcpy(c.rf, s.rf, sizeof s.rf);
    memcpy(c.pf, s.pf, sizeof s.pf);
    c.t1_prescaler = s.t1_prescaler;
    c.t1_decrementer = s.t1_decrementer;
    c.t1_capture_latch = s.t1_capture;
    tms7000_set_counts({s.icount, s.div_phase, s.int2_period});

    memcpy(ram_2k, s.ram, sizeof s.ram);
    porta_val = s.ports[0];
    portb_val = s.ports[1];
    portc_val = s.ports[2];
    portd_val = s.ports[3];

    memcpy(vram, s.vram, sizeof s.vram);
    memcpy(vdp_regs16, s.vdp_regs16, sizeof s.vdp_regs16);
    memcpy(vdp_regs8, s.vdp_regs8, sizeof s.vdp_regs8);
    vdp_acmp = s.vdp_acmp;
    vdp_acmpxy = s.vdp_acmpxy;
    vdp_acmpxy_mode = s.vdp_acmpxy_write ? dma_write : dma_read;
    tms3556_set_port_state(s.vdp_sel, s.vdp_reg, s.vdp_reg2);
    row_col_written = s.vdp_row_col_written;
    bamp_written = s.vdp_bamp_written != 0;

    mailbox_val = s.iocpu_mailbox;
    l_7041_char = (char)s.iocpu_char;
    cur_state = s.iocpu_state;
    l_7041_command = s.iocpu_command;
    l_7041_index = s.iocpu_index;

    g_timer_clock = s.clock;
    g_timer_num = s.timer_count < (uint32)ORLO_TIMER_SLOTS ? (int)s.timer_count : ORLO_TIMER_SLOTS;
    for (int i = 0; i < g_timer_num; i++) {
        const machine_state_timer &t = s.timers[i];
        timer_tab[i] = {t.tag, t.callback >= 1 && t.callback <= CALLBACKS ? timer_callbacks[t.callback - 1].fn : nullptr,
                        t.param, t.start, t.expire};
    }

    ovix_set_pass_counter(s.pass_counter);
    ovix_set_key_state({s.key_code, s.key_host});
}

// ---------------------------------------------------------------------------
// Checks

bool machine_state_check_values(const machine_state &s, std::string *error)
{
    const char *bad = nullptr;
    auto check = [&](bool ok, const char *member) {
        if (!ok && !bad) bad = member;
    };
    auto time_ok = [](orlo_time t) { return t.subseconds < ORLO_SUBSECONDS; };
    check(s.idle <= 1, "idle");
    for (uint8 line : s.irq_state) check(line == CLEAR_LINE || line == ASSERT_LINE, "irq_state");
    check(s.div_phase >= -MACHINE_COUNT_LIMIT && s.div_phase <= MACHINE_COUNT_LIMIT, "div_phase");
    check(s.icount >= -MACHINE_COUNT_LIMIT && s.icount <= MACHINE_COUNT_LIMIT, "icount");
    check(s.vdp_acmpxy_write <= 1, "vdp.acmpxy_mode");
    check(s.vdp_sel <= 2, "vdp.sel");
    check(s.vdp_reg <= 15, "vdp.reg");
    check(s.vdp_reg2 <= 15, "vdp.reg2");
    check(s.vdp_row_col_written <= 1, "vdp.row_col_written");
    check(s.vdp_bamp_written <= 1, "vdp.bamp_written");
    check(s.iocpu_state >= 0 && s.iocpu_state < IO_CPU_STATES, "iocpu.state");
    check(s.iocpu_command >= -1 && s.iocpu_command <= 0x100, "iocpu.command");
    // The reply position indexes the command's data: no further than its
    // last byte (character set 1283 bytes, logo 995).
    check(s.iocpu_index >= -1 && s.iocpu_index <= (s.iocpu_command == 0x0D ? 994 : 1282), "iocpu.index");
    check(time_ok(s.clock) && s.clock.seconds <= MACHINE_CLOCK_SECONDS_MAX, "clock");
    check(s.timer_count <= (uint32)ORLO_TIMER_SLOTS, "timers");
    for (uint32 i = 0; i < (uint32)ORLO_TIMER_SLOTS && !bad; i++) {
        const machine_state_timer &t = s.timers[i];
        if (i >= s.timer_count) {
            static constexpr machine_state_timer unused{};
            check(memcmp(&t, &unused, sizeof t) == 0, "timers");
            continue;
        }
        check(t.callback >= 1 && t.callback <= CALLBACKS, "timers[].callback");
        if (!bad) check(t.param >= 0 && t.param <= timer_callbacks[t.callback - 1].param_max, "timers[].param");
        check(time_ok(t.expire), "timers[].expire");
        check(time_ok(t.start), "timers[].start");
    }
    check(s.pass_counter >= 0 && s.pass_counter < LOOP_FRAME_PASSES, "pass_counter");
    check(s.key_code >= 0 && s.key_code <= 0xFF, "key.code");
    check(s.key_host >= 0 && s.key_host < OVIX_KEY_MAX, "key.host");
    if (bad) *error = std::string("member \"") + bad + "\" is out of range";
    return !bad;
}

bool machine_state_check_images(const machine_state &s, std::string *error)
{
    uint8 bios[32], cart[32];
    machine_state_images(bios, cart);
    if (memcmp(s.bios_sha256, bios, 32) != 0) {
        *error = " was taken with another BIOS image than the one loaded";
        return false;
    }
    if (memcmp(s.cartridge_sha256, cart, 32) != 0) {
        const uint8 *empty = machine_state_empty_cartridge_sha256();
        if (memcmp(s.cartridge_sha256, empty, 32) == 0)
            *error = " was taken without a cartridge, and one is loaded";
        else if (memcmp(cart, empty, 32) == 0)
            *error = " was taken with a cartridge, and none is loaded: load that cartridge first";
        else
            *error = " was taken with another cartridge than the one loaded";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Byte form

static void put32(uint8 *p, uint32 v)
{
    for (int i = 0; i < 4; i++) p[i] = (uint8)(v >> (8 * i));
}

static uint32 get32(const uint8 *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32)p[3] << 24; }

void machine_state_write(const machine_state &s, uint8 *out)
{
    memcpy(out, MAGIC, sizeof MAGIC);
    put32(out + 8, MACHINE_STATE_VERSION);
    put32(out + 12, (uint32)MACHINE_STATE_BYTES);
    memcpy(out + MACHINE_STATE_HEADER_BYTES, &s, sizeof s);
    const size_t body = MACHINE_STATE_BYTES - CHECKSUM_BYTES;
    sha256(out, body, out + body);
}

static bool refuse(std::string *error, const char *name, const std::string &why)
{
    *error = std::string(name) + why;
    return false;
}

bool machine_state_read(const uint8 *data, size_t size, const char *name, machine_state *s, std::string *error)
{
    if (size == 0) return refuse(error, name, " is empty: a truncated machine state or not a machine state at all");
    const size_t magic_have = size < sizeof MAGIC ? size : sizeof MAGIC;
    if (memcmp(data, MAGIC, magic_have) != 0)
        return refuse(error, name, " is not a machine state: it does not begin with \"OVIXSTAT\"");
    if (size < MACHINE_STATE_HEADER_BYTES)
        return refuse(error, name, " is truncated: it ends after " + std::to_string(size) + " bytes, inside the header");
    const uint32 version = get32(data + 8), declared = get32(data + 12);
    if (version != MACHINE_STATE_VERSION)
        return refuse(error, name, " is a machine state of format version " + std::to_string(version) +
                                       "; this program reads version " + std::to_string(MACHINE_STATE_VERSION));
    if (declared != MACHINE_STATE_BYTES)
        return refuse(error, name, " is corrupted: its header gives " + std::to_string(declared) + " bytes; version " +
                                       std::to_string(MACHINE_STATE_VERSION) + " states have " +
                                       std::to_string(MACHINE_STATE_BYTES));
    if (size < MACHINE_STATE_BYTES)
        return refuse(error, name, " is truncated: " + std::to_string(size) + " of its " +
                                       std::to_string(MACHINE_STATE_BYTES) + " bytes");
    if (size > MACHINE_STATE_BYTES)
        return refuse(error, name, " is corrupted: " + std::to_string(size - MACHINE_STATE_BYTES) +
                                       " bytes follow its end");
    uint8 sum[CHECKSUM_BYTES];
    const size_t body = MACHINE_STATE_BYTES - CHECKSUM_BYTES;
    sha256(data, body, sum);
    if (memcmp(sum, data + body, CHECKSUM_BYTES) != 0)
        return refuse(error, name, " is corrupted: its checksum does not match its contents");
    memcpy(s, data + MACHINE_STATE_HEADER_BYTES, sizeof *s);
    std::string why;
    if (!machine_state_check_values(*s, &why)) return refuse(error, name, " is corrupted: " + why);
    return true;
}

bool machine_state_load_bytes(const uint8 *data, size_t size, const char *name, std::string *error)
{
    static machine_state s;   // 36 KiB: kept off the stack
    if (!machine_state_read(data, size, name, &s, error)) return false;
    std::string why;
    if (!machine_state_check_images(s, &why)) return refuse(error, name, why);
    machine_state_restore(s);
    return true;
}

bool machine_state_save_file(const char *path, std::string *error)
{
    static machine_state s;
    static uint8 bytes[MACHINE_STATE_BYTES];
    machine_state_capture(&s);
    machine_state_write(s, bytes);
    return write_file_atomic(path, bytes, sizeof bytes, error);
}

bool machine_state_load_file(const char *path, std::string *error)
{
    std::string bytes, reason;
    long long size = 0;
    switch (read_input_file(path, (long long)MACHINE_STATE_BYTES, &bytes, &size, &reason)) {
    case input_read::ok:
        return machine_state_load_bytes((const uint8 *)bytes.data(), bytes.size(), path, error);
    case input_read::not_opened:
        *error = "cannot open machine state " + reason;
        return false;
    case input_read::too_big:
        return refuse(error, path,  " is not a machine state: " + std::to_string(size) + " bytes; a state has " +
                                       std::to_string(MACHINE_STATE_BYTES));
    case input_read::read_error:
        break;
    }
    *error = "cannot read machine state " + reason;
    return false;
}
