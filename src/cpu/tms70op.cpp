// TMS7000 instruction handlers and the two steps that dispatch to them.
//
// A step fetches an opcode, advances pc past it and calls the opcode's
// handler. A handler fetches its operand bytes one at a time with fetch(),
// reaches registers (bus 0x0000-0x00FF, A = 0,
// B = 1), peripherals (0x0100 + n) and memory only through the bus, sets the
// status bits itself and charges its cycles in one statement once its work
// is done (conditional branches: one count taken, another not taken).
//
// While a handler runs, pc, sr and the cycle balance are kept in a `cpu`
// record of its own (registers, once inlined), and written back to the
// machine's state around every call that can see them: the bus's decoder,
// the interrupt check, the traced BCD helpers. Nothing else is cached
// across a bus access. A port write can make the I/O processor assert
// INT1, and the core then enters the interrupt inside that write; the
// handler's remaining steps (status update, cycle charge) must act on the
// interrupt routine's state, so every handler writes first and only then
// reads sr and its balance to update them.
//
// Operand order: where an instruction names two operands, the first operand
// byte is the source and the second the destination (d := d op s).
#include "cpu/tms70op.h"

#include <type_traits>

#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "mem/memory.h"

static constexpr int REG_A = 0x0000;   // register A is register 0 on the bus
static constexpr int REG_B = 0x0001;   // register B is register 1
static constexpr int PF_BASE = 0x0100; // peripheral n is bus address 0x0100 + n
static constexpr uint8 SR_CNZ = SR_C | SR_N | SR_Z;

// ---------------------------------------------------------------------------
// The handlers' view of the processor, bus, operand fetch and status helpers.

typedef tms7000_cpu cpu;
typedef void (*handler_fn)(cpu &c);

// Calls `f` on the machine's own state: anything outside the handlers may
// read pc and the balance, and enter an interrupt that changes them.
template <typename F>
static inline auto outside(cpu &c, F f)
{
    c.save();
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        c.load();
    } else {
        const auto v = f();
        c.load();
        return v;
    }
}

// The bus as program_read_byte_8 and program_write_byte_8 have it, with
// the decoder reached through outside(). Handlers pass 16-bit addresses.
static inline uint8 rd(cpu &c, int address)
{
    const unsigned a = (unsigned)address & 0xFFFF;
    if (const uint8 *block = bus_read_block[a >> 7]) [[likely]]
        return block[a & 0x7F];
    if ((a >> 8) == 1 && bus_read_block[0]) return outside(c, [a] { return bus_read_page1((int)a); });
    return outside(c, [a] { return bus_read_slow((int)a); });
}

static inline void wr(cpu &c, int address, uint8 data)
{
    const unsigned a = (unsigned)address & 0xFFFF;
    if (uint8 *block = bus_write_block[a >> 7]) [[likely]] {
        block[a & 0x7F] = data;
        return;
    }
    if ((a >> 8) == 1 && bus_write_block[0])
        outside(c, [a, data] { bus_write_page1((int)a, data); });
    else
        outside(c, [a, data] { bus_write_slow((int)a, data); });
}

static inline uint8 fetch(cpu &c)
{
    const uint8 v = rd(c, c.pc);
    c.pc++;   // 16-bit: past 0xFFFF comes 0x0000
    return v;
}

// A 16-bit address or immediate, stored MSB first.
static inline uint16 fetch16(cpu &c)
{
    const uint8 hi = fetch(c);
    const uint8 lo = fetch(c);
    return (uint16)(hi << 8 | lo);
}

// Big-endian memory words and register pairs, as RM16, WM16, RRF16 and
// WRF16 (tms7000.h) read and write them.
static inline uint16 rm16(cpu &c, uint32 a)
{
    const uint8 hi = rd(c, (int)(a & 0xFFFF));
    const uint8 lo = rd(c, (int)((a + 1) & 0xFFFF));
    return (uint16)((hi << 8) | lo);
}

static inline uint16 rrf16(cpu &c, uint32 n)
{
    const uint8 hi = rd(c, (int)((n - 1) & 0x7F));
    const uint8 lo = rd(c, (int)(n & 0xFFFF));
    return (uint16)((hi << 8) | lo);
}

static inline void wrf16(cpu &c, uint32 n, PAIR p)
{
    wr(c, (int)((n - 1) & 0x7F), p.b.h);
    wr(c, (int)(n & 0xFFFF), p.b.l);
}

static inline uint8 nz_of(uint8 v) { return (uint8)((v & 0x80 ? SR_N : 0) | (v == 0 ? SR_Z : 0)); }

// Replaces C, N and Z; I and bits 3..0 keep their values.
static inline void set_flags(cpu &c, uint8 cnz) { c.sr = (uint8)((c.sr & ~SR_CNZ) | cnz); }

static inline unsigned carry_in(uint8 sr) { return sr & SR_C ? 1u : 0u; }

// The stack lives in the register file, grows upwards and wraps at 128:
// push pre-increments, pop post-decrements.
static inline void push(cpu &c, uint8 v)
{
    tms7000.sp = (uint8)((tms7000.sp + 1) & 0x7F);
    wr(c, tms7000.sp, v);
}

static inline uint8 pop(cpu &c)
{
    const uint8 v = rd(c, tms7000.sp);
    tms7000.sp = (uint8)((tms7000.sp - 1) & 0x7F);
    return v;
}

// Return address: MSB pushed first, so the LSB ends on top.
static inline void push_pc(cpu &c)
{
    push(c, (uint8)(c.pc >> 8));
    push(c, (uint8)c.pc);
}

static inline uint16 pop_pc(cpu &c)
{
    const uint8 lo = pop(c);
    const uint8 hi = pop(c);
    return (uint16)(hi << 8 | lo);
}

// The relative offset is the last byte of an instruction. Taken: it is read
// and added, sign-extended, to the address that follows it. Not taken: it is
// skipped unread. Returns cond, for the caller's cycle charge.
static inline bool jump_if(cpu &c, bool cond)
{
    if (cond) {
        const int8 off = (int8)fetch(c);
        c.pc = (uint16)(c.pc + off);
    } else {
        c.pc++;
    }
    return cond;
}

// Register pair n gets v (MSB first); C cleared, N and Z from the MSB alone.
static inline void write_pair_flags(cpu &c, uint8 n, uint16 v)
{
    PAIR p;
    p.d = v;
    wrf16(c, n, p);
    set_flags(c, nz_of(p.b.h));
}

// ---------------------------------------------------------------------------
// Arithmetic and logic on bytes. An operation yields the value to store and
// the C/N/Z bits; the caller stores first and sets the bits afterwards.

struct alu_out {
    uint16 value;   // low byte stored (MPY: the whole product)
    uint8 flags;    // C, N, Z
};
typedef alu_out (*alu_fn)(uint8 s, uint8 d, uint8 sr);
typedef alu_out (*unary_fn)(uint8 v, uint8 sr);

// t: the sum, carry in bit 8.
static inline alu_out add_result(unsigned t)
{
    return {(uint16)(t & 0xFF), (uint8)((t & 0x100 ? SR_C : 0) | nz_of((uint8)t))};
}

// t: the 16-bit difference, borrow in bit 8; C is set when there was none.
static inline alu_out sub_result(unsigned t)
{
    return {(uint16)(t & 0xFF), (uint8)((t & 0x100 ? 0 : SR_C) | nz_of((uint8)t))};
}

static inline alu_out logic_result(unsigned v) { return {(uint16)(v & 0xFF), nz_of((uint8)v)}; }

static inline alu_out op_add(uint8 s, uint8 d, uint8 sr) { return add_result(d + s); }
static inline alu_out op_adc(uint8 s, uint8 d, uint8 sr) { return add_result(d + s + carry_in(sr)); }
static inline alu_out op_sub(uint8 s, uint8 d, uint8 sr) { return sub_result((d - s) & 0xFFFFu); }
// A clear C is a borrow in.
static inline alu_out op_sbb(uint8 s, uint8 d, uint8 sr) { return sub_result((d - s - (1 - carry_in(sr))) & 0xFFFFu); }
// C = 1 exactly when d >= s (a zero difference has no borrow either).
static inline alu_out op_cmp(uint8 s, uint8 d) { return sub_result((d - s) & 0xFFFFu); }
static inline alu_out op_and(uint8 s, uint8 d, uint8 sr) { return logic_result(d & s); }
static inline alu_out op_or(uint8 s, uint8 d, uint8 sr) { return logic_result(d | s); }
static inline alu_out op_xor(uint8 s, uint8 d, uint8 sr) { return logic_result(d ^ s); }
static inline alu_out op_dac(uint8 s, uint8 d, uint8 sr) { return add_result(bcd_add(d, s, (uint16)carry_in(sr))); }

// bit 8 of a bcd_sub result is the carry of a ten's-complement addition:
// clear means a borrow, so C ends as its complement.
static inline alu_out op_dsb(uint8 s, uint8 d, uint8 sr)
{
    uint16 t = bcd_sub(d, s);
    if (!carry_in(sr)) t = bcd_sub(t, 1);
    return sub_result(t);
}

// 8 x 8 -> 16 bits; N and Z come from the MSB alone.
static inline alu_out op_mpy(uint8 s, uint8 d)
{
    const uint16 p = (uint16)(d * s);
    return {p, nz_of((uint8)(p >> 8))};
}

static inline alu_out op_inc(uint8 v, uint8 sr) { return add_result(v + 1u); }
// C ends 0 only when v was 0 (the result wrapped to 0xFF).
static inline alu_out op_dec(uint8 v, uint8 sr) { return sub_result((v - 1u) & 0xFFFFu); }
static inline alu_out op_inv(uint8 v, uint8 sr) { return logic_result((uint8)~v); }

// Nibble swap and rotates: N and Z from the result, C as each one defines.
static inline alu_out rot_result(unsigned r, bool c)
{
    return {(uint16)(r & 0xFF), (uint8)((c ? SR_C : 0) | nz_of((uint8)r))};
}
static inline alu_out op_swap(uint8 v, uint8 sr)
{
    const unsigned r = ((v << 4) | (v >> 4)) & 0xFF;
    return rot_result(r, r & 0x01);
}
static inline alu_out op_rl(uint8 v, uint8 sr) { return rot_result((v << 1) | (v >> 7), v & 0x80); }
static inline alu_out op_rlc(uint8 v, uint8 sr) { return rot_result((v << 1) | carry_in(sr), v & 0x80); }
static inline alu_out op_rr(uint8 v, uint8 sr) { return rot_result((v >> 1) | ((v & 0x01) << 7), v & 0x01); }
static inline alu_out op_rrc(uint8 v, uint8 sr) { return rot_result((v >> 1) | (carry_in(sr) << 7), v & 0x01); }

// ---------------------------------------------------------------------------
// Operand forms. The opcode's high nibble selects one of seven forms for the
// two-operand instructions (s = source value, dst = destination register);
// three more serve the moves from A and B.

enum form { F_BA, F_RA, F_RB, F_RR, F_IA, F_IB, F_IR, F_AB, F_AR, F_BR };

struct operands {
    uint8 s;     // source value
    uint8 dst;   // destination register (or peripheral) number
};

template <form F>
static inline operands fetch_operands(cpu &c)
{
    if constexpr (F == F_BA) {
        return {rd(c, REG_B), REG_A};
    } else if constexpr (F == F_RA || F == F_RB) {
        const uint8 n = fetch(c);
        return {rd(c, n), F == F_RA ? (uint8)REG_A : (uint8)REG_B};
    } else if constexpr (F == F_RR) {
        const uint8 s = fetch(c);
        const uint8 d = fetch(c);
        return {rd(c, s), d};
    } else if constexpr (F == F_IA) {
        return {fetch(c), REG_A};
    } else if constexpr (F == F_IB) {
        return {fetch(c), REG_B};
    } else if constexpr (F == F_IR) {
        const uint8 s = fetch(c);
        const uint8 d = fetch(c);
        return {s, d};
    } else if constexpr (F == F_AB) {
        return {rd(c, REG_A), REG_B};
    } else {
        static_assert(F == F_AR || F == F_BR);
        const uint8 d = fetch(c);
        return {rd(c, F == F_AR ? REG_A : REG_B), d};
    }
}

// Peripheral forms: A,Pn / B,Pn / %n,Pn (immediate first, then the port).
enum pform { P_A, P_B, P_I };

template <pform F>
static inline operands fetch_pf_operands(cpu &c)
{
    if constexpr (F == P_I) {
        const uint8 s = fetch(c);
        const uint8 n = fetch(c);
        return {s, n};
    } else {
        const uint8 n = fetch(c);
        return {rd(c, F == P_A ? REG_A : REG_B), n};
    }
}

// Single-operand forms: A, B, or a register named by an operand byte.
enum uform { U_A, U_B, U_R };

template <uform F>
static inline uint8 fetch_reg(cpu &c)
{
    if constexpr (F == U_A) return REG_A;
    else if constexpr (F == U_B) return REG_B;
    else return fetch(c);
}

// ---------------------------------------------------------------------------
// Family bodies. Each performs one instruction without its cycle charge.

// d := d op s.
template <form F, alu_fn OP>
static inline void alu(cpu &c)
{
    const operands o = fetch_operands<F>(c);
    const uint8 d = rd(c, o.dst);
    // The BCD helpers trace with the program counter.
    if constexpr (OP == op_dac || OP == op_dsb) c.save();
    const alu_out r = OP(o.s, d, c.sr);
    wr(c, o.dst, (uint8)r.value);
    set_flags(c, r.flags);
}

// CMP: the flags of d - s, nothing stored.
template <form F>
static inline void cmp(cpu &c)
{
    const operands o = fetch_operands<F>(c);
    set_flags(c, op_cmp(o.s, rd(c, o.dst)).flags);
}

// MPY: the product goes to A:B whatever the destination named.
template <form F>
static inline void mpy(cpu &c)
{
    const operands o = fetch_operands<F>(c);
    const alu_out r = op_mpy(o.s, rd(c, o.dst));
    PAIR p;
    p.d = r.value;
    wrf16(c, REG_B, p);
    set_flags(c, r.flags);
}

// MOV: the destination is written, not read.
template <form F>
static inline void mov(cpu &c)
{
    const operands o = fetch_operands<F>(c);
    wr(c, o.dst, o.s);
    set_flags(c, nz_of(o.s));
}

// BTJO (t = s AND d) and BTJZ (t = s AND NOT d): flags from t, nothing
// stored, branch when t is not 0. Returns whether the branch was taken.
template <form F, bool ZERO>
static inline bool btj(cpu &c)
{
    const operands o = fetch_operands<F>(c);
    const uint8 d = rd(c, o.dst);
    const uint8 t = (uint8)(o.s & (ZERO ? ~d : d));
    set_flags(c, nz_of(t));
    return jump_if(c, t != 0);
}

template <pform F, bool ZERO>
static inline bool btjp(cpu &c)
{
    const operands o = fetch_pf_operands<F>(c);
    const uint8 d = rd(c, PF_BASE + o.dst);
    const uint8 t = (uint8)(o.s & (ZERO ? ~d : d));
    set_flags(c, nz_of(t));
    return jump_if(c, t != 0);
}

// ANDP, ORP, XORP: Pn read once, written once.
template <pform F, alu_fn OP>
static inline void logp(cpu &c)
{
    const operands o = fetch_pf_operands<F>(c);
    const int port = PF_BASE + o.dst;
    const uint8 d = rd(c, port);
    const alu_out r = OP(o.s, d, c.sr);
    wr(c, port, (uint8)r.value);
    set_flags(c, r.flags);
}

// MOVP to a peripheral: a single write, no read before it.
template <pform F>
static inline void movp_to(cpu &c)
{
    const operands o = fetch_pf_operands<F>(c);
    wr(c, PF_BASE + o.dst, o.s);
    set_flags(c, nz_of(o.s));
}

template <uform F>
static inline void movp_from(cpu &c)
{
    const uint8 n = fetch(c);
    const uint8 v = rd(c, PF_BASE + n);
    wr(c, F == U_A ? REG_A : REG_B, v);
    set_flags(c, nz_of(v));
}

template <uform F, unary_fn OP>
static inline void unary(cpu &c)
{
    const uint8 n = fetch_reg<F>(c);
    const uint8 v = rd(c, n);
    const alu_out r = OP(v, c.sr);
    wr(c, n, (uint8)r.value);
    set_flags(c, r.flags);
}

// CLR does not read its register.
template <uform F>
static inline void clr(cpu &c)
{
    wr(c, fetch_reg<F>(c), 0);
    set_flags(c, SR_Z);
}

// DECD on the pair ending at the register: N from bit 15, Z from the MSB,
// C = 0 only when the MSB became 0xFF; the LSB takes no part.
template <uform F>
static inline void decd(cpu &c)
{
    const uint8 n = fetch_reg<F>(c);
    PAIR p;
    p.d = (uint16)(rrf16(c, n) - 1);
    wrf16(c, n, p);
    set_flags(c, (uint8)((p.b.h == 0xFF ? 0 : SR_C) | nz_of(p.b.h)));
}

// DJNZ: the decremented value is stored before the test; flags untouched.
template <uform F>
static inline bool djnz(cpu &c)
{
    const uint8 n = fetch_reg<F>(c);
    const uint8 v = (uint8)(rd(c, n) - 1);
    wr(c, n, v);
    return jump_if(c, v != 0);
}

// XCHB: the register gets old B, then B gets the register's old value;
// flags from old B. XCHB B only reads B.
template <uform F>
static inline void xchb(cpu &c)
{
    const uint8 n = fetch_reg<F>(c);
    const uint8 b = rd(c, REG_B);
    if constexpr (F != U_B) {
        const uint8 v = rd(c, n);
        wr(c, n, b);
        wr(c, REG_B, v);
    }
    set_flags(c, nz_of(b));
}

template <uform F>
static inline void push_reg(cpu &c)
{
    const uint8 v = rd(c, fetch_reg<F>(c));
    push(c, v);
    set_flags(c, nz_of(v));
}

// POP Rn reads its operand byte before it pops.
template <uform F>
static inline void pop_reg(cpu &c)
{
    const uint8 n = fetch_reg<F>(c);
    const uint8 v = pop(c);
    wr(c, n, v);
    set_flags(c, nz_of(v));
}

// Effective addresses of LDA, STA, CMPA, BR.
static inline uint16 ea_dir(cpu &c) { return fetch16(c); }
static inline uint16 ea_ind(cpu &c) { return rrf16(c, fetch(c)); }
static inline uint16 ea_inx(cpu &c)
{
    const uint16 a = fetch16(c);
    return (uint16)(a + rd(c, REG_B));
}
typedef uint16 (*ea_fn)(cpu &c);

template <ea_fn EA>
static inline void lda(cpu &c)
{
    const uint8 v = rd(c, EA(c));
    wr(c, REG_A, v);
    set_flags(c, nz_of(v));
}

template <ea_fn EA>
static inline void sta(cpu &c)
{
    const uint16 ea = EA(c);
    const uint8 v = rd(c, REG_A);
    wr(c, ea, v);
    set_flags(c, nz_of(v));
}

template <ea_fn EA>
static inline void cmpa(cpu &c)
{
    const uint8 s = rd(c, EA(c));
    set_flags(c, op_cmp(s, rd(c, REG_A)).flags);
}

// TRAP n: return address pushed as by CALL, target from the word at
// 0xFFFE - 2n; sr untouched.
static inline void trap_to(cpu &c, int n)
{
    push_pc(c);
    c.pc = rm16(c, (uint32)(0xFFFE - 2 * n));
}

// ---------------------------------------------------------------------------
// Handlers: arithmetic and logic in the seven operand forms.
// Cycles by form: B,A / Rn,A / Rn,B / Rs,Rd / %n,A / %n,B / %n,Rd.

static void add_b2a(cpu &c) { alu<F_BA, op_add>(c); c.icount -= 5; }
static void add_r2a(cpu &c) { alu<F_RA, op_add>(c); c.icount -= 8; }
static void add_r2b(cpu &c) { alu<F_RB, op_add>(c); c.icount -= 8; }
static void add_r2r(cpu &c) { alu<F_RR, op_add>(c); c.icount -= 10; }
static void add_i2a(cpu &c) { alu<F_IA, op_add>(c); c.icount -= 7; }
static void add_i2b(cpu &c) { alu<F_IB, op_add>(c); c.icount -= 7; }
static void add_i2r(cpu &c) { alu<F_IR, op_add>(c); c.icount -= 9; }

static void adc_b2a(cpu &c) { alu<F_BA, op_adc>(c); c.icount -= 5; }
static void adc_r2a(cpu &c) { alu<F_RA, op_adc>(c); c.icount -= 8; }
static void adc_r2b(cpu &c) { alu<F_RB, op_adc>(c); c.icount -= 8; }
static void adc_r2r(cpu &c) { alu<F_RR, op_adc>(c); c.icount -= 10; }
static void adc_i2a(cpu &c) { alu<F_IA, op_adc>(c); c.icount -= 7; }
static void adc_i2b(cpu &c) { alu<F_IB, op_adc>(c); c.icount -= 7; }
static void adc_i2r(cpu &c) { alu<F_IR, op_adc>(c); c.icount -= 9; }

static void sub_ba(cpu &c) { alu<F_BA, op_sub>(c); c.icount -= 5; }
static void sub_ra(cpu &c) { alu<F_RA, op_sub>(c); c.icount -= 8; }
static void sub_rb(cpu &c) { alu<F_RB, op_sub>(c); c.icount -= 8; }
static void sub_rr(cpu &c) { alu<F_RR, op_sub>(c); c.icount -= 10; }
static void sub_ia(cpu &c) { alu<F_IA, op_sub>(c); c.icount -= 7; }
static void sub_ib(cpu &c) { alu<F_IB, op_sub>(c); c.icount -= 7; }
static void sub_ir(cpu &c) { alu<F_IR, op_sub>(c); c.icount -= 9; }

static void sbb_ba(cpu &c) { alu<F_BA, op_sbb>(c); c.icount -= 5; }
static void sbb_ra(cpu &c) { alu<F_RA, op_sbb>(c); c.icount -= 8; }
static void sbb_rb(cpu &c) { alu<F_RB, op_sbb>(c); c.icount -= 8; }
static void sbb_rr(cpu &c) { alu<F_RR, op_sbb>(c); c.icount -= 10; }
static void sbb_ia(cpu &c) { alu<F_IA, op_sbb>(c); c.icount -= 7; }
static void sbb_ib(cpu &c) { alu<F_IB, op_sbb>(c); c.icount -= 7; }
static void sbb_ir(cpu &c) { alu<F_IR, op_sbb>(c); c.icount -= 9; }

static void cmp_ba(cpu &c) { cmp<F_BA>(c); c.icount -= 5; }
static void cmp_ra(cpu &c) { cmp<F_RA>(c); c.icount -= 8; }
static void cmp_rb(cpu &c) { cmp<F_RB>(c); c.icount -= 8; }
static void cmp_rr(cpu &c) { cmp<F_RR>(c); c.icount -= 10; }
static void cmp_ia(cpu &c) { cmp<F_IA>(c); c.icount -= 7; }
static void cmp_ib(cpu &c) { cmp<F_IB>(c); c.icount -= 7; }
static void cmp_ir(cpu &c) { cmp<F_IR>(c); c.icount -= 9; }

static void mpy_ba(cpu &c) { mpy<F_BA>(c); c.icount -= 43; }
static void mpy_ra(cpu &c) { mpy<F_RA>(c); c.icount -= 46; }
static void mpy_rb(cpu &c) { mpy<F_RB>(c); c.icount -= 46; }
static void mpy_rr(cpu &c) { mpy<F_RR>(c); c.icount -= 48; }
static void mpy_ia(cpu &c) { mpy<F_IA>(c); c.icount -= 45; }
static void mpy_ib(cpu &c) { mpy<F_IB>(c); c.icount -= 45; }
static void mpy_ir(cpu &c) { mpy<F_IR>(c); c.icount -= 47; }

static void and_b2a(cpu &c) { alu<F_BA, op_and>(c); c.icount -= 5; }
static void and_r2a(cpu &c) { alu<F_RA, op_and>(c); c.icount -= 8; }
static void and_r2b(cpu &c) { alu<F_RB, op_and>(c); c.icount -= 8; }
static void and_r2r(cpu &c) { alu<F_RR, op_and>(c); c.icount -= 10; }
static void and_i2a(cpu &c) { alu<F_IA, op_and>(c); c.icount -= 7; }
static void and_i2b(cpu &c) { alu<F_IB, op_and>(c); c.icount -= 7; }
static void and_i2r(cpu &c) { alu<F_IR, op_and>(c); c.icount -= 9; }

static void or_b2a(cpu &c) { alu<F_BA, op_or>(c); c.icount -= 5; }
static void or_r2a(cpu &c) { alu<F_RA, op_or>(c); c.icount -= 8; }
static void or_r2b(cpu &c) { alu<F_RB, op_or>(c); c.icount -= 8; }
static void or_r2r(cpu &c) { alu<F_RR, op_or>(c); c.icount -= 10; }
static void or_i2a(cpu &c) { alu<F_IA, op_or>(c); c.icount -= 7; }
static void or_i2b(cpu &c) { alu<F_IB, op_or>(c); c.icount -= 7; }
static void or_i2r(cpu &c) { alu<F_IR, op_or>(c); c.icount -= 9; }

static void xor_b2a(cpu &c) { alu<F_BA, op_xor>(c); c.icount -= 5; }
static void xor_r2a(cpu &c) { alu<F_RA, op_xor>(c); c.icount -= 8; }
static void xor_r2b(cpu &c) { alu<F_RB, op_xor>(c); c.icount -= 8; }
static void xor_r2r(cpu &c) { alu<F_RR, op_xor>(c); c.icount -= 10; }
static void xor_i2a(cpu &c) { alu<F_IA, op_xor>(c); c.icount -= 7; }
static void xor_i2b(cpu &c) { alu<F_IB, op_xor>(c); c.icount -= 7; }
static void xor_i2r(cpu &c) { alu<F_IR, op_xor>(c); c.icount -= 9; }

static void dac_b2a(cpu &c) { alu<F_BA, op_dac>(c); c.icount -= 7; }
static void dac_r2a(cpu &c) { alu<F_RA, op_dac>(c); c.icount -= 10; }
static void dac_r2b(cpu &c) { alu<F_RB, op_dac>(c); c.icount -= 10; }
static void dac_r2r(cpu &c) { alu<F_RR, op_dac>(c); c.icount -= 12; }
static void dac_i2a(cpu &c) { alu<F_IA, op_dac>(c); c.icount -= 9; }
static void dac_i2b(cpu &c) { alu<F_IB, op_dac>(c); c.icount -= 9; }
static void dac_i2r(cpu &c) { alu<F_IR, op_dac>(c); c.icount -= 11; }

static void dsb_b2a(cpu &c) { alu<F_BA, op_dsb>(c); c.icount -= 7; }
static void dsb_r2a(cpu &c) { alu<F_RA, op_dsb>(c); c.icount -= 10; }
static void dsb_r2b(cpu &c) { alu<F_RB, op_dsb>(c); c.icount -= 10; }
static void dsb_r2r(cpu &c) { alu<F_RR, op_dsb>(c); c.icount -= 12; }
static void dsb_i2a(cpu &c) { alu<F_IA, op_dsb>(c); c.icount -= 9; }
static void dsb_i2b(cpu &c) { alu<F_IB, op_dsb>(c); c.icount -= 9; }
static void dsb_i2r(cpu &c) { alu<F_IR, op_dsb>(c); c.icount -= 11; }

// Peripheral logic, compare with extended address.

static void andp_a2p(cpu &c) { logp<P_A, op_and>(c); c.icount -= 10; }
static void andp_b2p(cpu &c) { logp<P_B, op_and>(c); c.icount -= 9; }
static void andp_i2p(cpu &c) { logp<P_I, op_and>(c); c.icount -= 11; }
static void orp_a2p(cpu &c) { logp<P_A, op_or>(c); c.icount -= 10; }
static void orp_b2p(cpu &c) { logp<P_B, op_or>(c); c.icount -= 9; }
static void orp_i2p(cpu &c) { logp<P_I, op_or>(c); c.icount -= 11; }
static void xorp_a2p(cpu &c) { logp<P_A, op_xor>(c); c.icount -= 10; }
static void xorp_b2p(cpu &c) { logp<P_B, op_xor>(c); c.icount -= 9; }
static void xorp_i2p(cpu &c) { logp<P_I, op_xor>(c); c.icount -= 11; }

static void cmpa_dir(cpu &c) { cmpa<ea_dir>(c); c.icount -= 12; }
static void cmpa_ind(cpu &c) { cmpa<ea_ind>(c); c.icount -= 11; }
static void cmpa_inx(cpu &c) { cmpa<ea_inx>(c); c.icount -= 14; }

// Single-operand operations.

static void dec_a(cpu &c) { unary<U_A, op_dec>(c); c.icount -= 5; }
static void dec_b(cpu &c) { unary<U_B, op_dec>(c); c.icount -= 5; }
static void dec_r(cpu &c) { unary<U_R, op_dec>(c); c.icount -= 7; }
static void inc_a(cpu &c) { unary<U_A, op_inc>(c); c.icount -= 5; }
static void inc_b(cpu &c) { unary<U_B, op_inc>(c); c.icount -= 5; }
static void inc_r(cpu &c) { unary<U_R, op_inc>(c); c.icount -= 7; }
static void inv_a(cpu &c) { unary<U_A, op_inv>(c); c.icount -= 5; }
static void inv_b(cpu &c) { unary<U_B, op_inv>(c); c.icount -= 5; }
static void inv_r(cpu &c) { unary<U_R, op_inv>(c); c.icount -= 7; }
static void clr_a(cpu &c) { clr<U_A>(c); c.icount -= 5; }
static void clr_b(cpu &c) { clr<U_B>(c); c.icount -= 5; }
static void clr_r(cpu &c) { clr<U_R>(c); c.icount -= 7; }

// DECD A works on the pair R127:A; it is the one handler that reports each
// use in the trace log.
static void decd_a(cpu &c)
{
    TRACE_FUNC("decd_a()");
    c.save();   // the trace line shows pc
    TRACE_ALWAYS("Called !");
    decd<U_A>(c);
    c.icount -= 9;
}
static void decd_b(cpu &c) { decd<U_B>(c); c.icount -= 9; }
static void decd_r(cpu &c) { decd<U_R>(c); c.icount -= 11; }

// ---------------------------------------------------------------------------
// Handlers: data movement.

static void mov_a2b(cpu &c) { mov<F_AB>(c); c.icount -= 6; }
static void mov_b2a(cpu &c) { mov<F_BA>(c); c.icount -= 5; }
static void mov_a2r(cpu &c) { mov<F_AR>(c); c.icount -= 8; }
static void mov_b2r(cpu &c) { mov<F_BR>(c); c.icount -= 7; }
static void mov_r2a(cpu &c) { mov<F_RA>(c); c.icount -= 8; }
static void mov_r2b(cpu &c) { mov<F_RB>(c); c.icount -= 8; }
static void mov_r2r(cpu &c) { mov<F_RR>(c); c.icount -= 10; }
static void mov_i2a(cpu &c) { mov<F_IA>(c); c.icount -= 7; }
static void mov_i2b(cpu &c) { mov<F_IB>(c); c.icount -= 7; }
static void mov_i2r(cpu &c) { mov<F_IR>(c); c.icount -= 9; }

// MOVD %a,Rd: bytes MSB, LSB, d.
static void movd_imm(cpu &c)
{
    const uint16 a = fetch16(c);
    write_pair_flags(c, fetch(c), a);
    c.icount -= 15;
}

// MOVD %a(B),Rd: the sum itself is moved; no memory is read.
static void movd_inx(cpu &c)
{
    const uint16 a = fetch16(c);
    const uint8 d = fetch(c);
    write_pair_flags(c, d, (uint16)(a + rd(c, REG_B)));
    c.icount -= 17;
}

static void movd_r(cpu &c)
{
    const uint8 s = fetch(c);
    const uint8 d = fetch(c);
    write_pair_flags(c, d, rrf16(c, s));
    c.icount -= 14;
}

static void movp_a2p(cpu &c) { movp_to<P_A>(c); c.icount -= 10; }
static void movp_b2p(cpu &c) { movp_to<P_B>(c); c.icount -= 10; }
static void movp_i2p(cpu &c) { movp_to<P_I>(c); c.icount -= 11; }
static void movp_p2a(cpu &c) { movp_from<U_A>(c); c.icount -= 9; }
static void movp_p2b(cpu &c) { movp_from<U_B>(c); c.icount -= 8; }

static void lda_dir(cpu &c) { lda<ea_dir>(c); c.icount -= 11; }
static void lda_ind(cpu &c) { lda<ea_ind>(c); c.icount -= 10; }
static void lda_inx(cpu &c) { lda<ea_inx>(c); c.icount -= 13; }
static void sta_dir(cpu &c) { sta<ea_dir>(c); c.icount -= 11; }
static void sta_ind(cpu &c) { sta<ea_ind>(c); c.icount -= 10; }
static void sta_inx(cpu &c) { sta<ea_inx>(c); c.icount -= 13; }

// Stack.

static void push_a(cpu &c) { push_reg<U_A>(c); c.icount -= 6; }
static void push_b(cpu &c) { push_reg<U_B>(c); c.icount -= 6; }
static void push_r(cpu &c) { push_reg<U_R>(c); c.icount -= 8; }
static void pop_a(cpu &c) { pop_reg<U_A>(c); c.icount -= 6; }
static void pop_b(cpu &c) { pop_reg<U_B>(c); c.icount -= 6; }
static void pop_r(cpu &c) { pop_reg<U_R>(c); c.icount -= 8; }
static void push_st(cpu &c) { push(c, c.sr); c.icount -= 6; }
static void pop_st(cpu &c) { c.sr = pop(c); c.icount -= 6; }
// LDSP takes all eight bits of B; the next push or pop masks sp again.
static void ldsp(cpu &c) { tms7000.sp = rd(c, REG_B); c.icount -= 5; }
static void stsp(cpu &c) { wr(c, REG_B, tms7000.sp); c.icount -= 6; }

// Exchange and test.

static void xchb_a(cpu &c) { xchb<U_A>(c); c.icount -= 6; }
static void xchb_b(cpu &c) { xchb<U_B>(c); c.icount -= 6; }
static void xchb_r(cpu &c) { xchb<U_R>(c); c.icount -= 8; }
static void clrc(cpu &c) { set_flags(c, nz_of(rd(c, REG_A))); c.icount -= 6; }   // TSTA: C cleared by the rule
static void tstb(cpu &c) { set_flags(c, nz_of(rd(c, REG_B))); c.icount -= 6; }

// Nibble swap and rotates.

static void swap_a(cpu &c) { unary<U_A, op_swap>(c); c.icount -= 8; }
static void swap_b(cpu &c) { unary<U_B, op_swap>(c); c.icount -= 8; }
static void swap_r(cpu &c) { unary<U_R, op_swap>(c); c.icount -= 8; }
static void rl_a(cpu &c) { unary<U_A, op_rl>(c); c.icount -= 5; }
static void rl_b(cpu &c) { unary<U_B, op_rl>(c); c.icount -= 5; }
static void rl_r(cpu &c) { unary<U_R, op_rl>(c); c.icount -= 7; }
static void rlc_a(cpu &c) { unary<U_A, op_rlc>(c); c.icount -= 5; }
static void rlc_b(cpu &c) { unary<U_B, op_rlc>(c); c.icount -= 5; }
static void rlc_r(cpu &c) { unary<U_R, op_rlc>(c); c.icount -= 7; }
static void rr_a(cpu &c) { unary<U_A, op_rr>(c); c.icount -= 5; }
static void rr_b(cpu &c) { unary<U_B, op_rr>(c); c.icount -= 5; }
static void rr_r(cpu &c) { unary<U_R, op_rr>(c); c.icount -= 7; }
static void rrc_a(cpu &c) { unary<U_A, op_rrc>(c); c.icount -= 5; }
static void rrc_b(cpu &c) { unary<U_B, op_rrc>(c); c.icount -= 5; }
static void rrc_r(cpu &c) { unary<U_R, op_rrc>(c); c.icount -= 7; }

// The machine's own D7 (only in the machine's step): the operand byte is skipped, a
// read of 0x0128 initialises the video chip's memory pointer and a read of
// 0x0124 brings the addressed video-memory byte into A.
static void swap_r_ovix(cpu &c)
{
    fetch(c);
    rd(c, 0x0128);
    const uint8 v = rd(c, 0x0124);
    wr(c, REG_A, v);
    set_flags(c, nz_of(v));
    c.icount -= 9;
}

// ---------------------------------------------------------------------------
// Handlers: branches, calls and returns. Only RETI changes sr.

static void br_dir(cpu &c) { c.pc = ea_dir(c); c.icount -= 10; }
static void br_ind(cpu &c) { c.pc = ea_ind(c); c.icount -= 9; }
static void br_inx(cpu &c) { c.pc = ea_inx(c); c.icount -= 12; }

// CALL reads all its operand bytes first, so pc is the return address; the
// pair, or B, of the indirect and indexed forms is read after the pushes.
static void call_dir(cpu &c)
{
    const uint16 a = fetch16(c);
    push_pc(c);
    c.pc = a;
    c.icount -= 14;
}

static void call_ind(cpu &c)
{
    const uint8 n = fetch(c);
    push_pc(c);
    c.pc = rrf16(c, n);
    c.icount -= 13;
}

static void call_inx(cpu &c)
{
    const uint16 a = fetch16(c);
    push_pc(c);
    c.pc = (uint16)(a + rd(c, REG_B));
    c.icount -= 16;
}

static void rets(cpu &c) { c.pc = pop_pc(c); c.icount -= 7; }

// Pops the frame of an interrupt entry; the charge comes before the check,
// which may enter a pending interrupt at once.
static void reti(cpu &c)
{
    c.pc = pop_pc(c);
    c.sr = pop(c);
    c.icount -= 9;
    outside(c, tms7000_check_IRQ_lines);
}

static void trap_0(cpu &c) { trap_to(c, 0); c.icount -= 14; }
static void trap_1(cpu &c) { trap_to(c, 1); c.icount -= 14; }
static void trap_2(cpu &c) { trap_to(c, 2); c.icount -= 14; }
static void trap_3(cpu &c) { trap_to(c, 3); c.icount -= 14; }
static void trap_4(cpu &c) { trap_to(c, 4); c.icount -= 14; }
static void trap_5(cpu &c) { trap_to(c, 5); c.icount -= 14; }
static void trap_6(cpu &c) { trap_to(c, 6); c.icount -= 14; }
static void trap_7(cpu &c) { trap_to(c, 7); c.icount -= 14; }
static void trap_8(cpu &c) { trap_to(c, 8); c.icount -= 14; }
static void trap_9(cpu &c) { trap_to(c, 9); c.icount -= 14; }
static void trap_10(cpu &c) { trap_to(c, 10); c.icount -= 14; }
static void trap_11(cpu &c) { trap_to(c, 11); c.icount -= 14; }
static void trap_12(cpu &c) { trap_to(c, 12); c.icount -= 14; }
static void trap_13(cpu &c) { trap_to(c, 13); c.icount -= 14; }
static void trap_14(cpu &c) { trap_to(c, 14); c.icount -= 14; }
static void trap_15(cpu &c) { trap_to(c, 15); c.icount -= 14; }
static void trap_16(cpu &c) { trap_to(c, 16); c.icount -= 14; }
static void trap_17(cpu &c) { trap_to(c, 17); c.icount -= 14; }
static void trap_18(cpu &c) { trap_to(c, 18); c.icount -= 14; }
static void trap_19(cpu &c) { trap_to(c, 19); c.icount -= 14; }
static void trap_20(cpu &c) { trap_to(c, 20); c.icount -= 14; }
static void trap_21(cpu &c) { trap_to(c, 21); c.icount -= 14; }
static void trap_22(cpu &c) { trap_to(c, 22); c.icount -= 14; }
static void trap_23(cpu &c) { trap_to(c, 23); c.icount -= 14; }

// Relative jumps: 7 cycles taken, 5 not taken; flags untouched.
// JPZ needs N = 0 and Z = 1 together.

static void jmp(cpu &c) { jump_if(c, true); c.icount -= 7; }
static void jn_(cpu &c) { c.icount -= jump_if(c, c.sr & SR_N) ? 7 : 5; }
static void jeq(cpu &c) { c.icount -= jump_if(c, c.sr & SR_Z) ? 7 : 5; }
static void jc(cpu &c) { c.icount -= jump_if(c, c.sr & SR_C) ? 7 : 5; }
static void jp(cpu &c) { c.icount -= jump_if(c, (c.sr & (SR_N | SR_Z)) == 0) ? 7 : 5; }
static void jpz(cpu &c) { c.icount -= jump_if(c, (c.sr & (SR_N | SR_Z)) == SR_Z) ? 7 : 5; }
static void jne(cpu &c) { c.icount -= jump_if(c, !(c.sr & SR_Z)) ? 7 : 5; }
static void jl(cpu &c) { c.icount -= jump_if(c, !(c.sr & SR_C)) ? 7 : 5; }

static void djnz_a(cpu &c) { c.icount -= djnz<U_A>(c) ? 7 : 2; }
static void djnz_b(cpu &c) { c.icount -= djnz<U_B>(c) ? 7 : 2; }
static void djnz_r(cpu &c) { c.icount -= djnz<U_R>(c) ? 9 : 3; }

// Bit test and jump, taken / not taken.

static void btjo_b2a(cpu &c) { c.icount -= btj<F_BA, false>(c) ? 9 : 7; }
static void btjo_r2a(cpu &c) { c.icount -= btj<F_RA, false>(c) ? 9 : 7; }
static void btjo_r2b(cpu &c) { c.icount -= btj<F_RB, false>(c) ? 12 : 10; }
static void btjo_r2r(cpu &c) { c.icount -= btj<F_RR, false>(c) ? 14 : 12; }
static void btjo_i2a(cpu &c) { c.icount -= btj<F_IA, false>(c) ? 11 : 9; }
static void btjo_i2b(cpu &c) { c.icount -= btj<F_IB, false>(c) ? 11 : 9; }
static void btjo_i2r(cpu &c) { c.icount -= btj<F_IR, false>(c) ? 13 : 11; }
static void btjz_b2a(cpu &c) { c.icount -= btj<F_BA, true>(c) ? 9 : 7; }
static void btjz_r2a(cpu &c) { c.icount -= btj<F_RA, true>(c) ? 9 : 7; }
static void btjz_r2b(cpu &c) { c.icount -= btj<F_RB, true>(c) ? 12 : 10; }
static void btjz_r2r(cpu &c) { c.icount -= btj<F_RR, true>(c) ? 14 : 12; }
static void btjz_i2a(cpu &c) { c.icount -= btj<F_IA, true>(c) ? 11 : 9; }
static void btjz_i2b(cpu &c) { c.icount -= btj<F_IB, true>(c) ? 11 : 9; }
static void btjz_i2r(cpu &c) { c.icount -= btj<F_IR, true>(c) ? 13 : 11; }
static void btjop_ap(cpu &c) { c.icount -= btjp<P_A, false>(c) ? 13 : 11; }
static void btjop_bp(cpu &c) { c.icount -= btjp<P_B, false>(c) ? 12 : 10; }
static void btjop_ip(cpu &c) { c.icount -= btjp<P_I, false>(c) ? 14 : 12; }
static void btjzp_ap(cpu &c) { c.icount -= btjp<P_A, true>(c) ? 13 : 11; }
static void btjzp_bp(cpu &c) { c.icount -= btjp<P_B, true>(c) ? 12 : 10; }
static void btjzp_ip(cpu &c) { c.icount -= btjp<P_I, true>(c) ? 14 : 12; }

// ---------------------------------------------------------------------------
// Handlers: processor control.

// The unassigned opcodes (illegal() in tms7000.h for the machine's state).
static void illegal(cpu &c) { c.icount -= 4; }
static void nop(cpu &c) { c.icount -= 4; }
// The loop stops fetching until an interrupt entry clears idle_state.
static void idle(cpu &c) { tms7000.idle_state = 1; c.icount -= 6; }
// EINT sets C, N and Z along with I; DINT clears all four.
static void eint(cpu &c)
{
    c.sr |= 0xF0;
    c.icount -= 5;
    outside(c, tms7000_check_IRQ_lines);
}
static void dint(cpu &c) { c.sr &= 0x0F; c.icount -= 5; }
static void setc(cpu &c) { set_flags(c, SR_C | SR_Z); c.icount -= 5; }

// ---------------------------------------------------------------------------
// Packed BCD, for DAC and DSB.

uint16 bcd_add(uint16 a, uint16 b, uint16 carry_in)
{
    TRACE_FUNC("bcd_add()");
    uint16 lo = (uint16)((a & 0x0F) + (b & 0x0F) + carry_in);
    uint16 hi = (uint16)(((a & 0xF0) >> 4) + ((b & 0xF0) >> 4) + (lo > 9 ? 1 : 0));
    if (lo > 9) lo = (uint16)(lo - 10);
    uint16 carry = 0;
    if (hi > 9) {
        hi = (uint16)(hi - 10);
        carry = 0x100;
    }
    // A corrected low digit above 15 (from non-BCD input) spills into the
    // high digit here: 0x0F + 0x0F + 1 gives 0x25.
    const uint16 result = (uint16)(hi * 16 + carry + lo);
    TRACE_ALWAYS("called %x %x %x = %x", (unsigned)a, (unsigned)b, (unsigned)carry_in, (unsigned)result);
    return result;
}

// Bit tricks on the whole 16-bit word: subtracting 6 from every nibble
// position where the plain two's complement borrowed gives the decimal
// complement digit by digit.
uint16 bcd_tencomp(uint16 v)
{
    const uint16 t1 = (uint16)(0xFFFF - v);
    const uint16 t2 = (uint16)(-v);
    const uint16 t3 = (uint16)(t1 ^ 1);
    const uint16 t4 = (uint16)(t2 ^ t3);
    const uint16 t5 = (uint16)(~t4 & 0x1110);
    const uint16 t6 = (uint16)((t5 >> 2) | (t5 >> 3));
    return (uint16)(t2 - t6);
}

uint16 bcd_sub(uint16 a, uint16 b)
{
    TRACE_FUNC("bcd_sub()");
    TRACE_ALWAYS("called %x %x", (unsigned)a, (unsigned)b);
    return bcd_add(a, (uint16)(bcd_tencomp(b) & 0xFF), 0);
}

// ---------------------------------------------------------------------------
// Dispatch table. Row = high nibble of the opcode, column = low nibble.

static constexpr handler_fn handlers[256] = {
/*        x0        x1        x2        x3        x4        x5        x6        x7        x8        x9        xA        xB        xC        xD        xE        xF      */
/* 0x */ nop,      idle,     illegal,  illegal,  illegal,  eint,     dint,     setc,     pop_st,   stsp,     rets,     reti,     illegal,  ldsp,     push_st,  illegal,
/* 1x */ illegal,  illegal,  mov_r2a,  and_r2a,  or_r2a,   xor_r2a,  btjo_r2a, btjz_r2a, add_r2a,  adc_r2a,  sub_ra,   sbb_ra,   mpy_ra,   cmp_ra,   dac_r2a,  dsb_r2a,
/* 2x */ illegal,  illegal,  mov_i2a,  and_i2a,  or_i2a,   xor_i2a,  btjo_i2a, btjz_i2a, add_i2a,  adc_i2a,  sub_ia,   sbb_ia,   mpy_ia,   cmp_ia,   dac_i2a,  dsb_i2a,
/* 3x */ illegal,  illegal,  mov_r2b,  and_r2b,  or_r2b,   xor_r2b,  btjo_r2b, btjz_r2b, add_r2b,  adc_r2b,  sub_rb,   sbb_rb,   mpy_rb,   cmp_rb,   dac_r2b,  dsb_r2b,
/* 4x */ illegal,  illegal,  mov_r2r,  and_r2r,  or_r2r,   xor_r2r,  btjo_r2r, btjz_r2r, add_r2r,  adc_r2r,  sub_rr,   sbb_rr,   mpy_rr,   cmp_rr,   dac_r2r,  dsb_r2r,
/* 5x */ illegal,  illegal,  mov_i2b,  and_i2b,  or_i2b,   xor_i2b,  btjo_i2b, btjz_i2b, add_i2b,  adc_i2b,  sub_ib,   sbb_ib,   mpy_ib,   cmp_ib,   dac_i2b,  dsb_i2b,
/* 6x */ illegal,  illegal,  mov_b2a,  and_b2a,  or_b2a,   xor_b2a,  btjo_b2a, btjz_b2a, add_b2a,  adc_b2a,  sub_ba,   sbb_ba,   mpy_ba,   cmp_ba,   dac_b2a,  dsb_b2a,
/* 7x */ illegal,  illegal,  mov_i2r,  and_i2r,  or_i2r,   xor_i2r,  btjo_i2r, btjz_i2r, add_i2r,  adc_i2r,  sub_ir,   sbb_ir,   mpy_ir,   cmp_ir,   dac_i2r,  dsb_i2r,
/* 8x */ movp_p2a, illegal,  movp_a2p, andp_a2p, orp_a2p,  xorp_a2p, btjop_ap, btjzp_ap, movd_imm, illegal,  lda_dir,  sta_dir,  br_dir,   cmpa_dir, call_dir, illegal,
/* 9x */ illegal,  movp_p2b, movp_b2p, andp_b2p, orp_b2p,  xorp_b2p, btjop_bp, btjzp_bp, movd_r,   illegal,  lda_ind,  sta_ind,  br_ind,   cmpa_ind, call_ind, illegal,
/* Ax */ illegal,  illegal,  movp_i2p, andp_i2p, orp_i2p,  xorp_i2p, btjop_ip, btjzp_ip, movd_inx, illegal,  lda_inx,  sta_inx,  br_inx,   cmpa_inx, call_inx, illegal,
/* Bx */ clrc,     illegal,  dec_a,    inc_a,    inv_a,    clr_a,    xchb_a,   swap_a,   push_a,   pop_a,    djnz_a,   decd_a,   rr_a,     rrc_a,    rl_a,     rlc_a,
/* Cx */ mov_a2b,  tstb,     dec_b,    inc_b,    inv_b,    clr_b,    xchb_b,   swap_b,   push_b,   pop_b,    djnz_b,   decd_b,   rr_b,     rrc_b,    rl_b,     rlc_b,
/* Dx */ mov_a2r,  mov_b2r,  dec_r,    inc_r,    inv_r,    clr_r,    xchb_r,   swap_r,   push_r,   pop_r,    djnz_r,   decd_r,   rr_r,     rrc_r,    rl_r,     rlc_r,
/* Ex */ jmp,      jn_,      jeq,      jc,       jp,       jpz,      jne,      jl,       trap_23,  trap_22,  trap_21,  trap_20,  trap_19,  trap_18,  trap_17,  trap_16,
/* Fx */ trap_15,  trap_14,  trap_13,  trap_12,  trap_11,  trap_10,  trap_9,   trap_8,   trap_7,   trap_6,   trap_5,   trap_4,   trap_3,   trap_2,   trap_1,   trap_0,
};

// The machine's set is the standard one with a single difference: opcode D7
// reads video memory into A instead of swapping a register's nibbles.
static constexpr handler_fn ovix_handler(int opcode) { return opcode == 0xD7 ? swap_r_ovix : handlers[opcode]; }

static constexpr bool tables_agree_but_d7()
{
    for (int op = 0; op < 256; op++)
        if ((ovix_handler(op) == handlers[op]) == (op == 0xD7)) return false;
    return handlers[0xD7] == swap_r && ovix_handler(0xD7) == swap_r_ovix;
}
static_assert(tables_agree_but_d7(), "the machine's set differs from the standard one at D7 only");

static constexpr int count_illegal()
{
    int n = 0;
    for (int op = 0; op < 256; op++) n += handlers[op] == static_cast<handler_fn>(illegal);
    return n;
}
static_assert(count_illegal() == 30, "30 unassigned opcodes");

// The standard set's step, through the table (tms7000_execute).
void tms7000_step(cpu &c)
{
    if (tms7000.idle_state == 0) {
        const uint8 opcode = fetch(c);
        handlers[opcode](c);
    } else {
        c.icount -= CYCLES_IDLE_STEP;
    }
}

// ---------------------------------------------------------------------------
// The machine's step. The switch calls each opcode's handler directly, so
// that the handlers are inlined into it (and the step into the emulation
// loop) with pc and the balance in registers.

// The call frames (tms7000_frames), on the debugging path:
// a call or trap appends one (just pushed: its return address is on top of
// the stack, its routine is where pc now is), and a return, POP or LDSP
// drops those above the stack pointer. An interrupt entry reports its own.
enum frame_effect { FRAME_NONE, FRAME_PUSH, FRAME_DROP };
static constexpr frame_effect frame_effect_of(int op)
{
    if (op == 0x8E || op == 0x9E || op == 0xAE || op >= 0xE8) return FRAME_PUSH;
    if (op == 0x0A || op == 0x0B || op == 0x08 || op == 0xB9 || op == 0xC9 || op == 0xD9 || op == 0x0D)
        return FRAME_DROP;
    return FRAME_NONE;
}

template <int op>
static inline void note_frames(cpu &c)
{
    constexpr frame_effect effect = frame_effect_of(op);
    if constexpr (effect == FRAME_NONE) return;
    const uint8 sp = tms7000.sp;
    int n = tms7000_nframes;
    if constexpr (effect == FRAME_PUSH) {
        while (n && tms7000_frames[n - 1].sp >= sp) n--;
        if (n < TMS7000_MAX_FRAMES) {
            tms7000_frame &f = tms7000_frames[n++];
            f = tms7000_frame{};
            f.kind = op >= 0xE8 ? FRAME_TRAP : FRAME_CALL;
            f.sp = sp;
            f.return_pc = (uint16)(tms7000.rf[(sp - 1) & 0x7F] << 8 | tms7000.rf[sp]);
            f.call_pc = (uint16)(f.return_pc - dasm_length((uint8)op));
            f.entry = c.pc;
        }
    } else {
        while (n && tms7000_frames[n - 1].sp > sp) n--;
    }
    tms7000_nframes = n;
}

#define OVIX_CASE(n)                                   \
    case n: {                                          \
        constexpr handler_fn handler = ovix_handler(n); \
        handler(c);                                    \
        if constexpr (Debug) note_frames<n>(c);        \
        break;                                         \
    }
#define OVIX_CASE4(n) OVIX_CASE(n) OVIX_CASE(n + 1) OVIX_CASE(n + 2) OVIX_CASE(n + 3)
#define OVIX_CASE16(n) OVIX_CASE4(n) OVIX_CASE4(n + 4) OVIX_CASE4(n + 8) OVIX_CASE4(n + 12)

template <bool Debug>
__attribute__((flatten)) static inline void ovix_step(cpu &c)
{
    if (tms7000.idle_state == 0) [[likely]] {
        const uint8 opcode = fetch(c);
        switch (opcode) {
            OVIX_CASE16(0x00) OVIX_CASE16(0x10) OVIX_CASE16(0x20) OVIX_CASE16(0x30)
            OVIX_CASE16(0x40) OVIX_CASE16(0x50) OVIX_CASE16(0x60) OVIX_CASE16(0x70)
            OVIX_CASE16(0x80) OVIX_CASE16(0x90) OVIX_CASE16(0xA0) OVIX_CASE16(0xB0)
            OVIX_CASE16(0xC0) OVIX_CASE16(0xD0) OVIX_CASE16(0xE0) OVIX_CASE16(0xF0)
        }
    } else {
        c.icount -= CYCLES_IDLE_STEP;
    }
}
#undef OVIX_CASE16
#undef OVIX_CASE4
#undef OVIX_CASE

__attribute__((flatten)) void tms7000_ovix_step(cpu &c) { ovix_step<false>(c); }
__attribute__((flatten)) void tms7000_ovix_step_debug(cpu &c) { ovix_step<true>(c); }
