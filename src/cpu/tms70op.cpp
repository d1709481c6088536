// TMS7000 instruction handlers and the two 256-entry dispatch tables.
//
// The execution loop (tms7000.cpp) fetches an opcode, advances pc past it and
// calls the opcode's handler. A handler fetches its operand bytes one at a
// time with cpu_readop_arg, reaches registers (bus 0x0000-0x00FF, A = 0,
// B = 1), peripherals (0x0100 + n) and memory only through the bus, sets the
// status bits itself and charges its cycles in one statement once its work
// is done (conditional branches: one count taken, another not taken).
//
// Nothing is cached across a bus access. A port write can make the I/O
// processor assert INT1, and the core then enters the interrupt inside that
// write; the handler's remaining steps (status update, cycle charge) must
// act on the interrupt routine's state, so every handler writes first and
// only then reads sr and tms7000_icount to update them.
//
// Operand order: where an instruction names two operands, the first operand
// byte is the source and the second the destination (d := d op s).
#include "cpu/tms70op.h"

#include "cpu/tms7000.h"
#include "mem/memory.h"

static constexpr int REG_A = 0x0000;   // register A is register 0 on the bus
static constexpr int REG_B = 0x0001;   // register B is register 1
static constexpr int PF_BASE = 0x0100; // peripheral n is bus address 0x0100 + n
static constexpr uint8 SR_CNZ = SR_C | SR_N | SR_Z;

// ---------------------------------------------------------------------------
// Bus, operand fetch and status helpers.

static inline uint8 rd(int address) { return program_read_byte_8(address); }
static inline void wr(int address, uint8 data) { program_write_byte_8(address, data); }

static inline uint8 fetch()
{
    const uint8 v = (uint8)cpu_readop_arg(tms7000.pc.w.l);
    tms7000.pc.w.l++;   // 16-bit: past 0xFFFF comes 0x0000
    return v;
}

// A 16-bit address or immediate, stored MSB first.
static inline uint16 fetch16()
{
    const uint8 hi = fetch();
    const uint8 lo = fetch();
    return (uint16)(hi << 8 | lo);
}

static inline uint8 nz_of(uint8 v) { return (uint8)((v & 0x80 ? SR_N : 0) | (v == 0 ? SR_Z : 0)); }

// Replaces C, N and Z; I and bits 3..0 keep their values.
static inline void set_flags(uint8 cnz) { tms7000.sr = (uint8)((tms7000.sr & ~SR_CNZ) | cnz); }

static inline unsigned carry_in() { return tms7000.sr & SR_C ? 1u : 0u; }

// The stack lives in the register file, grows upwards and wraps at 128:
// push pre-increments, pop post-decrements.
static inline void push(uint8 v)
{
    tms7000.sp = (uint8)((tms7000.sp + 1) & 0x7F);
    wr(tms7000.sp, v);
}

static inline uint8 pop()
{
    const uint8 v = rd(tms7000.sp);
    tms7000.sp = (uint8)((tms7000.sp - 1) & 0x7F);
    return v;
}

// Return address: MSB pushed first, so the LSB ends on top.
static inline void push_pc()
{
    push(tms7000.pc.b.h);
    push(tms7000.pc.b.l);
}

static inline uint16 pop_pc()
{
    const uint8 lo = pop();
    const uint8 hi = pop();
    return (uint16)(hi << 8 | lo);
}

// The relative offset is the last byte of an instruction. Taken: it is read
// and added, sign-extended, to the address that follows it. Not taken: it is
// skipped unread. Returns cond, for the caller's cycle charge.
static inline bool jump_if(bool cond)
{
    if (cond) {
        const int8 off = (int8)fetch();
        tms7000.pc.w.l = (uint16)(tms7000.pc.w.l + off);
    } else {
        tms7000.pc.w.l++;
    }
    return cond;
}

// Register pair n gets v (MSB first); C cleared, N and Z from the MSB alone.
static inline void write_pair_flags(uint8 n, uint16 v)
{
    PAIR p;
    p.d = v;
    WRF16(n, p);
    set_flags(nz_of(p.b.h));
}

// ---------------------------------------------------------------------------
// Arithmetic and logic on bytes. An operation yields the value to store and
// the C/N/Z bits; the caller stores first and sets the bits afterwards.

struct alu_out {
    uint16 value;   // low byte stored (MPY: the whole product)
    uint8 flags;    // C, N, Z
};
typedef alu_out (*alu_fn)(uint8 s, uint8 d);
typedef alu_out (*unary_fn)(uint8 v);

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

static inline alu_out op_add(uint8 s, uint8 d) { return add_result(d + s); }
static inline alu_out op_adc(uint8 s, uint8 d) { return add_result(d + s + carry_in()); }
static inline alu_out op_sub(uint8 s, uint8 d) { return sub_result((d - s) & 0xFFFFu); }
// A clear C is a borrow in.
static inline alu_out op_sbb(uint8 s, uint8 d) { return sub_result((d - s - (1 - carry_in())) & 0xFFFFu); }
// C = 1 exactly when d >= s (a zero difference has no borrow either).
static inline alu_out op_cmp(uint8 s, uint8 d) { return sub_result((d - s) & 0xFFFFu); }
static inline alu_out op_and(uint8 s, uint8 d) { return logic_result(d & s); }
static inline alu_out op_or(uint8 s, uint8 d) { return logic_result(d | s); }
static inline alu_out op_xor(uint8 s, uint8 d) { return logic_result(d ^ s); }
static inline alu_out op_dac(uint8 s, uint8 d) { return add_result(bcd_add(d, s, (uint16)carry_in())); }

// bit 8 of a bcd_sub result is the carry of a ten's-complement addition:
// clear means a borrow, so C ends as its complement.
static inline alu_out op_dsb(uint8 s, uint8 d)
{
    uint16 t = bcd_sub(d, s);
    if (!carry_in()) t = bcd_sub(t, 1);
    return sub_result(t);
}

// 8 x 8 -> 16 bits; N and Z come from the MSB alone.
static inline alu_out op_mpy(uint8 s, uint8 d)
{
    const uint16 p = (uint16)(d * s);
    return {p, nz_of((uint8)(p >> 8))};
}

static inline alu_out op_inc(uint8 v) { return add_result(v + 1u); }
// C ends 0 only when v was 0 (the result wrapped to 0xFF).
static inline alu_out op_dec(uint8 v) { return sub_result((v - 1u) & 0xFFFFu); }
static inline alu_out op_inv(uint8 v) { return logic_result((uint8)~v); }

// Nibble swap and rotates: N and Z from the result, C as each one defines.
static inline alu_out rot_result(unsigned r, bool c)
{
    return {(uint16)(r & 0xFF), (uint8)((c ? SR_C : 0) | nz_of((uint8)r))};
}
static inline alu_out op_swap(uint8 v)
{
    const unsigned r = ((v << 4) | (v >> 4)) & 0xFF;
    return rot_result(r, r & 0x01);
}
static inline alu_out op_rl(uint8 v) { return rot_result((v << 1) | (v >> 7), v & 0x80); }
static inline alu_out op_rlc(uint8 v) { return rot_result((v << 1) | carry_in(), v & 0x80); }
static inline alu_out op_rr(uint8 v) { return rot_result((v >> 1) | ((v & 0x01) << 7), v & 0x01); }
static inline alu_out op_rrc(uint8 v) { return rot_result((v >> 1) | (carry_in() << 7), v & 0x01); }

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
static inline operands fetch_operands()
{
    if constexpr (F == F_BA) {
        return {rd(REG_B), REG_A};
    } else if constexpr (F == F_RA || F == F_RB) {
        const uint8 n = fetch();
        return {rd(n), F == F_RA ? (uint8)REG_A : (uint8)REG_B};
    } else if constexpr (F == F_RR) {
        const uint8 s = fetch();
        const uint8 d = fetch();
        return {rd(s), d};
    } else if constexpr (F == F_IA) {
        return {fetch(), REG_A};
    } else if constexpr (F == F_IB) {
        return {fetch(), REG_B};
    } else if constexpr (F == F_IR) {
        const uint8 s = fetch();
        const uint8 d = fetch();
        return {s, d};
    } else if constexpr (F == F_AB) {
        return {rd(REG_A), REG_B};
    } else {
        static_assert(F == F_AR || F == F_BR);
        const uint8 d = fetch();
        return {rd(F == F_AR ? REG_A : REG_B), d};
    }
}

// Peripheral forms: A,Pn / B,Pn / %n,Pn (immediate first, then the port).
enum pform { P_A, P_B, P_I };

template <pform F>
static inline operands fetch_pf_operands()
{
    if constexpr (F == P_I) {
        const uint8 s = fetch();
        const uint8 n = fetch();
        return {s, n};
    } else {
        const uint8 n = fetch();
        return {rd(F == P_A ? REG_A : REG_B), n};
    }
}

// Single-operand forms: A, B, or a register named by an operand byte.
enum uform { U_A, U_B, U_R };

template <uform F>
static inline uint8 fetch_reg()
{
    if constexpr (F == U_A) return REG_A;
    else if constexpr (F == U_B) return REG_B;
    else return fetch();
}

// ---------------------------------------------------------------------------
// Family bodies. Each performs one instruction without its cycle charge.

// d := d op s.
template <form F, alu_fn OP>
static inline void alu()
{
    const operands o = fetch_operands<F>();
    const alu_out r = OP(o.s, rd(o.dst));
    wr(o.dst, (uint8)r.value);
    set_flags(r.flags);
}

// CMP: the flags of d - s, nothing stored.
template <form F>
static inline void cmp()
{
    const operands o = fetch_operands<F>();
    set_flags(op_cmp(o.s, rd(o.dst)).flags);
}

// MPY: the product goes to A:B whatever the destination named.
template <form F>
static inline void mpy()
{
    const operands o = fetch_operands<F>();
    const alu_out r = op_mpy(o.s, rd(o.dst));
    PAIR p;
    p.d = r.value;
    WRF16(REG_B, p);
    set_flags(r.flags);
}

// MOV: the destination is written, not read.
template <form F>
static inline void mov()
{
    const operands o = fetch_operands<F>();
    wr(o.dst, o.s);
    set_flags(nz_of(o.s));
}

// BTJO (t = s AND d) and BTJZ (t = s AND NOT d): flags from t, nothing
// stored, branch when t is not 0. Returns whether the branch was taken.
template <form F, bool ZERO>
static inline bool btj()
{
    const operands o = fetch_operands<F>();
    const uint8 d = rd(o.dst);
    const uint8 t = (uint8)(o.s & (ZERO ? ~d : d));
    set_flags(nz_of(t));
    return jump_if(t != 0);
}

template <pform F, bool ZERO>
static inline bool btjp()
{
    const operands o = fetch_pf_operands<F>();
    const uint8 d = rd(PF_BASE + o.dst);
    const uint8 t = (uint8)(o.s & (ZERO ? ~d : d));
    set_flags(nz_of(t));
    return jump_if(t != 0);
}

// ANDP, ORP, XORP: Pn read once, written once.
template <pform F, alu_fn OP>
static inline void logp()
{
    const operands o = fetch_pf_operands<F>();
    const int port = PF_BASE + o.dst;
    const alu_out r = OP(o.s, rd(port));
    wr(port, (uint8)r.value);
    set_flags(r.flags);
}

// MOVP to a peripheral: a single write, no read before it.
template <pform F>
static inline void movp_to()
{
    const operands o = fetch_pf_operands<F>();
    wr(PF_BASE + o.dst, o.s);
    set_flags(nz_of(o.s));
}

template <uform F>
static inline void movp_from()
{
    const uint8 n = fetch();
    const uint8 v = rd(PF_BASE + n);
    wr(F == U_A ? REG_A : REG_B, v);
    set_flags(nz_of(v));
}

template <uform F, unary_fn OP>
static inline void unary()
{
    const uint8 n = fetch_reg<F>();
    const alu_out r = OP(rd(n));
    wr(n, (uint8)r.value);
    set_flags(r.flags);
}

// CLR does not read its register.
template <uform F>
static inline void clr()
{
    wr(fetch_reg<F>(), 0);
    set_flags(SR_Z);
}

// DECD on the pair ending at the register: N from bit 15, Z from the MSB,
// C = 0 only when the MSB became 0xFF; the LSB takes no part.
template <uform F>
static inline void decd()
{
    const uint8 n = fetch_reg<F>();
    PAIR p;
    p.d = (uint16)(RRF16(n) - 1);
    WRF16(n, p);
    set_flags((uint8)((p.b.h == 0xFF ? 0 : SR_C) | nz_of(p.b.h)));
}

// DJNZ: the decremented value is stored before the test; flags untouched.
template <uform F>
static inline bool djnz()
{
    const uint8 n = fetch_reg<F>();
    const uint8 v = (uint8)(rd(n) - 1);
    wr(n, v);
    return jump_if(v != 0);
}

// XCHB: the register gets old B, then B gets the register's old value;
// flags from old B. XCHB B only reads B.
template <uform F>
static inline void xchb()
{
    const uint8 n = fetch_reg<F>();
    const uint8 b = rd(REG_B);
    if constexpr (F != U_B) {
        const uint8 v = rd(n);
        wr(n, b);
        wr(REG_B, v);
    }
    set_flags(nz_of(b));
}

template <uform F>
static inline void push_reg()
{
    const uint8 v = rd(fetch_reg<F>());
    push(v);
    set_flags(nz_of(v));
}

// POP Rn reads its operand byte before it pops.
template <uform F>
static inline void pop_reg()
{
    const uint8 n = fetch_reg<F>();
    const uint8 v = pop();
    wr(n, v);
    set_flags(nz_of(v));
}

// Effective addresses of LDA, STA, CMPA, BR.
static inline uint16 ea_dir() { return fetch16(); }
static inline uint16 ea_ind() { return RRF16(fetch()); }
static inline uint16 ea_inx()
{
    const uint16 a = fetch16();
    return (uint16)(a + rd(REG_B));
}
typedef uint16 (*ea_fn)();

template <ea_fn EA>
static inline void lda()
{
    const uint8 v = rd(EA());
    wr(REG_A, v);
    set_flags(nz_of(v));
}

template <ea_fn EA>
static inline void sta()
{
    const uint16 ea = EA();
    const uint8 v = rd(REG_A);
    wr(ea, v);
    set_flags(nz_of(v));
}

template <ea_fn EA>
static inline void cmpa()
{
    const uint8 s = rd(EA());
    set_flags(op_cmp(s, rd(REG_A)).flags);
}

// TRAP n: return address pushed as by CALL, target from the word at
// 0xFFFE - 2n; sr untouched.
static inline void trap_to(int n)
{
    push_pc();
    tms7000.pc.w.l = RM16((uint32)(0xFFFE - 2 * n));
}

// ---------------------------------------------------------------------------
// Handlers: arithmetic and logic in the seven operand forms.
// Cycles by form: B,A / Rn,A / Rn,B / Rs,Rd / %n,A / %n,B / %n,Rd.

static void add_b2a() { alu<F_BA, op_add>(); tms7000_icount -= 5; }
static void add_r2a() { alu<F_RA, op_add>(); tms7000_icount -= 8; }
static void add_r2b() { alu<F_RB, op_add>(); tms7000_icount -= 8; }
static void add_r2r() { alu<F_RR, op_add>(); tms7000_icount -= 10; }
static void add_i2a() { alu<F_IA, op_add>(); tms7000_icount -= 7; }
static void add_i2b() { alu<F_IB, op_add>(); tms7000_icount -= 7; }
static void add_i2r() { alu<F_IR, op_add>(); tms7000_icount -= 9; }

static void adc_b2a() { alu<F_BA, op_adc>(); tms7000_icount -= 5; }
static void adc_r2a() { alu<F_RA, op_adc>(); tms7000_icount -= 8; }
static void adc_r2b() { alu<F_RB, op_adc>(); tms7000_icount -= 8; }
static void adc_r2r() { alu<F_RR, op_adc>(); tms7000_icount -= 10; }
static void adc_i2a() { alu<F_IA, op_adc>(); tms7000_icount -= 7; }
static void adc_i2b() { alu<F_IB, op_adc>(); tms7000_icount -= 7; }
static void adc_i2r() { alu<F_IR, op_adc>(); tms7000_icount -= 9; }

static void sub_ba() { alu<F_BA, op_sub>(); tms7000_icount -= 5; }
static void sub_ra() { alu<F_RA, op_sub>(); tms7000_icount -= 8; }
static void sub_rb() { alu<F_RB, op_sub>(); tms7000_icount -= 8; }
static void sub_rr() { alu<F_RR, op_sub>(); tms7000_icount -= 10; }
static void sub_ia() { alu<F_IA, op_sub>(); tms7000_icount -= 7; }
static void sub_ib() { alu<F_IB, op_sub>(); tms7000_icount -= 7; }
static void sub_ir() { alu<F_IR, op_sub>(); tms7000_icount -= 9; }

static void sbb_ba() { alu<F_BA, op_sbb>(); tms7000_icount -= 5; }
static void sbb_ra() { alu<F_RA, op_sbb>(); tms7000_icount -= 8; }
static void sbb_rb() { alu<F_RB, op_sbb>(); tms7000_icount -= 8; }
static void sbb_rr() { alu<F_RR, op_sbb>(); tms7000_icount -= 10; }
static void sbb_ia() { alu<F_IA, op_sbb>(); tms7000_icount -= 7; }
static void sbb_ib() { alu<F_IB, op_sbb>(); tms7000_icount -= 7; }
static void sbb_ir() { alu<F_IR, op_sbb>(); tms7000_icount -= 9; }

static void cmp_ba() { cmp<F_BA>(); tms7000_icount -= 5; }
static void cmp_ra() { cmp<F_RA>(); tms7000_icount -= 8; }
static void cmp_rb() { cmp<F_RB>(); tms7000_icount -= 8; }
static void cmp_rr() { cmp<F_RR>(); tms7000_icount -= 10; }
static void cmp_ia() { cmp<F_IA>(); tms7000_icount -= 7; }
static void cmp_ib() { cmp<F_IB>(); tms7000_icount -= 7; }
static void cmp_ir() { cmp<F_IR>(); tms7000_icount -= 9; }

static void mpy_ba() { mpy<F_BA>(); tms7000_icount -= 43; }
static void mpy_ra() { mpy<F_RA>(); tms7000_icount -= 46; }
static void mpy_rb() { mpy<F_RB>(); tms7000_icount -= 46; }
static void mpy_rr() { mpy<F_RR>(); tms7000_icount -= 48; }
static void mpy_ia() { mpy<F_IA>(); tms7000_icount -= 45; }
static void mpy_ib() { mpy<F_IB>(); tms7000_icount -= 45; }
static void mpy_ir() { mpy<F_IR>(); tms7000_icount -= 47; }

static void and_b2a() { alu<F_BA, op_and>(); tms7000_icount -= 5; }
static void and_r2a() { alu<F_RA, op_and>(); tms7000_icount -= 8; }
static void and_r2b() { alu<F_RB, op_and>(); tms7000_icount -= 8; }
static void and_r2r() { alu<F_RR, op_and>(); tms7000_icount -= 10; }
static void and_i2a() { alu<F_IA, op_and>(); tms7000_icount -= 7; }
static void and_i2b() { alu<F_IB, op_and>(); tms7000_icount -= 7; }
static void and_i2r() { alu<F_IR, op_and>(); tms7000_icount -= 9; }

static void or_b2a() { alu<F_BA, op_or>(); tms7000_icount -= 5; }
static void or_r2a() { alu<F_RA, op_or>(); tms7000_icount -= 8; }
static void or_r2b() { alu<F_RB, op_or>(); tms7000_icount -= 8; }
static void or_r2r() { alu<F_RR, op_or>(); tms7000_icount -= 10; }
static void or_i2a() { alu<F_IA, op_or>(); tms7000_icount -= 7; }
static void or_i2b() { alu<F_IB, op_or>(); tms7000_icount -= 7; }
static void or_i2r() { alu<F_IR, op_or>(); tms7000_icount -= 9; }

static void xor_b2a() { alu<F_BA, op_xor>(); tms7000_icount -= 5; }
static void xor_r2a() { alu<F_RA, op_xor>(); tms7000_icount -= 8; }
static void xor_r2b() { alu<F_RB, op_xor>(); tms7000_icount -= 8; }
static void xor_r2r() { alu<F_RR, op_xor>(); tms7000_icount -= 10; }
static void xor_i2a() { alu<F_IA, op_xor>(); tms7000_icount -= 7; }
static void xor_i2b() { alu<F_IB, op_xor>(); tms7000_icount -= 7; }
static void xor_i2r() { alu<F_IR, op_xor>(); tms7000_icount -= 9; }

static void dac_b2a() { alu<F_BA, op_dac>(); tms7000_icount -= 7; }
static void dac_r2a() { alu<F_RA, op_dac>(); tms7000_icount -= 10; }
static void dac_r2b() { alu<F_RB, op_dac>(); tms7000_icount -= 10; }
static void dac_r2r() { alu<F_RR, op_dac>(); tms7000_icount -= 12; }
static void dac_i2a() { alu<F_IA, op_dac>(); tms7000_icount -= 9; }
static void dac_i2b() { alu<F_IB, op_dac>(); tms7000_icount -= 9; }
static void dac_i2r() { alu<F_IR, op_dac>(); tms7000_icount -= 11; }

static void dsb_b2a() { alu<F_BA, op_dsb>(); tms7000_icount -= 7; }
static void dsb_r2a() { alu<F_RA, op_dsb>(); tms7000_icount -= 10; }
static void dsb_r2b() { alu<F_RB, op_dsb>(); tms7000_icount -= 10; }
static void dsb_r2r() { alu<F_RR, op_dsb>(); tms7000_icount -= 12; }
static void dsb_i2a() { alu<F_IA, op_dsb>(); tms7000_icount -= 9; }
static void dsb_i2b() { alu<F_IB, op_dsb>(); tms7000_icount -= 9; }
static void dsb_i2r() { alu<F_IR, op_dsb>(); tms7000_icount -= 11; }

// Peripheral logic, compare with extended address.

static void andp_a2p() { logp<P_A, op_and>(); tms7000_icount -= 10; }
static void andp_b2p() { logp<P_B, op_and>(); tms7000_icount -= 9; }
static void andp_i2p() { logp<P_I, op_and>(); tms7000_icount -= 11; }
static void orp_a2p() { logp<P_A, op_or>(); tms7000_icount -= 10; }
static void orp_b2p() { logp<P_B, op_or>(); tms7000_icount -= 9; }
static void orp_i2p() { logp<P_I, op_or>(); tms7000_icount -= 11; }
static void xorp_a2p() { logp<P_A, op_xor>(); tms7000_icount -= 10; }
static void xorp_b2p() { logp<P_B, op_xor>(); tms7000_icount -= 9; }
static void xorp_i2p() { logp<P_I, op_xor>(); tms7000_icount -= 11; }

static void cmpa_dir() { cmpa<ea_dir>(); tms7000_icount -= 12; }
static void cmpa_ind() { cmpa<ea_ind>(); tms7000_icount -= 11; }
static void cmpa_inx() { cmpa<ea_inx>(); tms7000_icount -= 14; }

// Single-operand operations.

static void dec_a() { unary<U_A, op_dec>(); tms7000_icount -= 5; }
static void dec_b() { unary<U_B, op_dec>(); tms7000_icount -= 5; }
static void dec_r() { unary<U_R, op_dec>(); tms7000_icount -= 7; }
static void inc_a() { unary<U_A, op_inc>(); tms7000_icount -= 5; }
static void inc_b() { unary<U_B, op_inc>(); tms7000_icount -= 5; }
static void inc_r() { unary<U_R, op_inc>(); tms7000_icount -= 7; }
static void inv_a() { unary<U_A, op_inv>(); tms7000_icount -= 5; }
static void inv_b() { unary<U_B, op_inv>(); tms7000_icount -= 5; }
static void inv_r() { unary<U_R, op_inv>(); tms7000_icount -= 7; }
static void clr_a() { clr<U_A>(); tms7000_icount -= 5; }
static void clr_b() { clr<U_B>(); tms7000_icount -= 5; }
static void clr_r() { clr<U_R>(); tms7000_icount -= 7; }

// DECD A works on the pair R127:A; it is the one handler that reports each
// use in the trace log.
static void decd_a()
{
    TRACE_FUNC("decd_a()");
    TRACE_ALWAYS("Called !");
    decd<U_A>();
    tms7000_icount -= 9;
}
static void decd_b() { decd<U_B>(); tms7000_icount -= 9; }
static void decd_r() { decd<U_R>(); tms7000_icount -= 11; }

// ---------------------------------------------------------------------------
// Handlers: data movement.

static void mov_a2b() { mov<F_AB>(); tms7000_icount -= 6; }
static void mov_b2a() { mov<F_BA>(); tms7000_icount -= 5; }
static void mov_a2r() { mov<F_AR>(); tms7000_icount -= 8; }
static void mov_b2r() { mov<F_BR>(); tms7000_icount -= 7; }
static void mov_r2a() { mov<F_RA>(); tms7000_icount -= 8; }
static void mov_r2b() { mov<F_RB>(); tms7000_icount -= 8; }
static void mov_r2r() { mov<F_RR>(); tms7000_icount -= 10; }
static void mov_i2a() { mov<F_IA>(); tms7000_icount -= 7; }
static void mov_i2b() { mov<F_IB>(); tms7000_icount -= 7; }
static void mov_i2r() { mov<F_IR>(); tms7000_icount -= 9; }

// MOVD %a,Rd: bytes MSB, LSB, d.
static void movd_imm()
{
    const uint16 a = fetch16();
    write_pair_flags(fetch(), a);
    tms7000_icount -= 15;
}

// MOVD %a(B),Rd: the sum itself is moved; no memory is read.
static void movd_inx()
{
    const uint16 a = fetch16();
    const uint8 d = fetch();
    write_pair_flags(d, (uint16)(a + rd(REG_B)));
    tms7000_icount -= 17;
}

static void movd_r()
{
    const uint8 s = fetch();
    const uint8 d = fetch();
    write_pair_flags(d, RRF16(s));
    tms7000_icount -= 14;
}

static void movp_a2p() { movp_to<P_A>(); tms7000_icount -= 10; }
static void movp_b2p() { movp_to<P_B>(); tms7000_icount -= 10; }
static void movp_i2p() { movp_to<P_I>(); tms7000_icount -= 11; }
static void movp_p2a() { movp_from<U_A>(); tms7000_icount -= 9; }
static void movp_p2b() { movp_from<U_B>(); tms7000_icount -= 8; }

static void lda_dir() { lda<ea_dir>(); tms7000_icount -= 11; }
static void lda_ind() { lda<ea_ind>(); tms7000_icount -= 10; }
static void lda_inx() { lda<ea_inx>(); tms7000_icount -= 13; }
static void sta_dir() { sta<ea_dir>(); tms7000_icount -= 11; }
static void sta_ind() { sta<ea_ind>(); tms7000_icount -= 10; }
static void sta_inx() { sta<ea_inx>(); tms7000_icount -= 13; }

// Stack.

static void push_a() { push_reg<U_A>(); tms7000_icount -= 6; }
static void push_b() { push_reg<U_B>(); tms7000_icount -= 6; }
static void push_r() { push_reg<U_R>(); tms7000_icount -= 8; }
static void pop_a() { pop_reg<U_A>(); tms7000_icount -= 6; }
static void pop_b() { pop_reg<U_B>(); tms7000_icount -= 6; }
static void pop_r() { pop_reg<U_R>(); tms7000_icount -= 8; }
static void push_st() { push(tms7000.sr); tms7000_icount -= 6; }
static void pop_st() { tms7000.sr = pop(); tms7000_icount -= 6; }
// LDSP takes all eight bits of B; the next push or pop masks sp again.
static void ldsp() { tms7000.sp = rd(REG_B); tms7000_icount -= 5; }
static void stsp() { wr(REG_B, tms7000.sp); tms7000_icount -= 6; }

// Exchange and test.

static void xchb_a() { xchb<U_A>(); tms7000_icount -= 6; }
static void xchb_b() { xchb<U_B>(); tms7000_icount -= 6; }
static void xchb_r() { xchb<U_R>(); tms7000_icount -= 8; }
static void clrc() { set_flags(nz_of(rd(REG_A))); tms7000_icount -= 6; }   // TSTA: C cleared by the rule
static void tstb() { set_flags(nz_of(rd(REG_B))); tms7000_icount -= 6; }

// Nibble swap and rotates.

static void swap_a() { unary<U_A, op_swap>(); tms7000_icount -= 8; }
static void swap_b() { unary<U_B, op_swap>(); tms7000_icount -= 8; }
static void swap_r() { unary<U_R, op_swap>(); tms7000_icount -= 8; }
static void rl_a() { unary<U_A, op_rl>(); tms7000_icount -= 5; }
static void rl_b() { unary<U_B, op_rl>(); tms7000_icount -= 5; }
static void rl_r() { unary<U_R, op_rl>(); tms7000_icount -= 7; }
static void rlc_a() { unary<U_A, op_rlc>(); tms7000_icount -= 5; }
static void rlc_b() { unary<U_B, op_rlc>(); tms7000_icount -= 5; }
static void rlc_r() { unary<U_R, op_rlc>(); tms7000_icount -= 7; }
static void rr_a() { unary<U_A, op_rr>(); tms7000_icount -= 5; }
static void rr_b() { unary<U_B, op_rr>(); tms7000_icount -= 5; }
static void rr_r() { unary<U_R, op_rr>(); tms7000_icount -= 7; }
static void rrc_a() { unary<U_A, op_rrc>(); tms7000_icount -= 5; }
static void rrc_b() { unary<U_B, op_rrc>(); tms7000_icount -= 5; }
static void rrc_r() { unary<U_R, op_rrc>(); tms7000_icount -= 7; }

// The machine's own D7 (only in opfn_ovix): the operand byte is skipped, a
// read of 0x0128 initialises the video chip's memory pointer and a read of
// 0x0124 brings the addressed video-memory byte into A.
static void swap_r_ovix()
{
    fetch();
    rd(0x0128);
    const uint8 v = rd(0x0124);
    wr(REG_A, v);
    set_flags(nz_of(v));
    tms7000_icount -= 9;
}

// ---------------------------------------------------------------------------
// Handlers: branches, calls and returns. Only RETI changes sr.

static void br_dir() { tms7000.pc.w.l = ea_dir(); tms7000_icount -= 10; }
static void br_ind() { tms7000.pc.w.l = ea_ind(); tms7000_icount -= 9; }
static void br_inx() { tms7000.pc.w.l = ea_inx(); tms7000_icount -= 12; }

// CALL reads all its operand bytes first, so pc is the return address; the
// pair, or B, of the indirect and indexed forms is read after the pushes.
static void call_dir()
{
    const uint16 a = fetch16();
    push_pc();
    tms7000.pc.w.l = a;
    tms7000_icount -= 14;
}

static void call_ind()
{
    const uint8 n = fetch();
    push_pc();
    tms7000.pc.w.l = RRF16(n);
    tms7000_icount -= 13;
}

static void call_inx()
{
    const uint16 a = fetch16();
    push_pc();
    tms7000.pc.w.l = (uint16)(a + rd(REG_B));
    tms7000_icount -= 16;
}

static void rets() { tms7000.pc.w.l = pop_pc(); tms7000_icount -= 7; }

// Pops the frame of an interrupt entry; the charge comes before the check,
// which may enter a pending interrupt at once.
static void reti()
{
    tms7000.pc.w.l = pop_pc();
    tms7000.sr = pop();
    tms7000_icount -= 9;
    tms7000_check_IRQ_lines();
}

static void trap_0() { trap_to(0); tms7000_icount -= 14; }
static void trap_1() { trap_to(1); tms7000_icount -= 14; }
static void trap_2() { trap_to(2); tms7000_icount -= 14; }
static void trap_3() { trap_to(3); tms7000_icount -= 14; }
static void trap_4() { trap_to(4); tms7000_icount -= 14; }
static void trap_5() { trap_to(5); tms7000_icount -= 14; }
static void trap_6() { trap_to(6); tms7000_icount -= 14; }
static void trap_7() { trap_to(7); tms7000_icount -= 14; }
static void trap_8() { trap_to(8); tms7000_icount -= 14; }
static void trap_9() { trap_to(9); tms7000_icount -= 14; }
static void trap_10() { trap_to(10); tms7000_icount -= 14; }
static void trap_11() { trap_to(11); tms7000_icount -= 14; }
static void trap_12() { trap_to(12); tms7000_icount -= 14; }
static void trap_13() { trap_to(13); tms7000_icount -= 14; }
static void trap_14() { trap_to(14); tms7000_icount -= 14; }
static void trap_15() { trap_to(15); tms7000_icount -= 14; }
static void trap_16() { trap_to(16); tms7000_icount -= 14; }
static void trap_17() { trap_to(17); tms7000_icount -= 14; }
static void trap_18() { trap_to(18); tms7000_icount -= 14; }
static void trap_19() { trap_to(19); tms7000_icount -= 14; }
static void trap_20() { trap_to(20); tms7000_icount -= 14; }
static void trap_21() { trap_to(21); tms7000_icount -= 14; }
static void trap_22() { trap_to(22); tms7000_icount -= 14; }
static void trap_23() { trap_to(23); tms7000_icount -= 14; }

// Relative jumps: 7 cycles taken, 5 not taken; flags untouched.
// JPZ needs N = 0 and Z = 1 together.

static void jmp() { jump_if(true); tms7000_icount -= 7; }
static void jn_() { tms7000_icount -= jump_if(tms7000.sr & SR_N) ? 7 : 5; }
static void jeq() { tms7000_icount -= jump_if(tms7000.sr & SR_Z) ? 7 : 5; }
static void jc() { tms7000_icount -= jump_if(tms7000.sr & SR_C) ? 7 : 5; }
static void jp() { tms7000_icount -= jump_if((tms7000.sr & (SR_N | SR_Z)) == 0) ? 7 : 5; }
static void jpz() { tms7000_icount -= jump_if((tms7000.sr & (SR_N | SR_Z)) == SR_Z) ? 7 : 5; }
static void jne() { tms7000_icount -= jump_if(!(tms7000.sr & SR_Z)) ? 7 : 5; }
static void jl() { tms7000_icount -= jump_if(!(tms7000.sr & SR_C)) ? 7 : 5; }

static void djnz_a() { tms7000_icount -= djnz<U_A>() ? 7 : 2; }
static void djnz_b() { tms7000_icount -= djnz<U_B>() ? 7 : 2; }
static void djnz_r() { tms7000_icount -= djnz<U_R>() ? 9 : 3; }

// Bit test and jump, taken / not taken.

static void btjo_b2a() { tms7000_icount -= btj<F_BA, false>() ? 9 : 7; }
static void btjo_r2a() { tms7000_icount -= btj<F_RA, false>() ? 9 : 7; }
static void btjo_r2b() { tms7000_icount -= btj<F_RB, false>() ? 12 : 10; }
static void btjo_r2r() { tms7000_icount -= btj<F_RR, false>() ? 14 : 12; }
static void btjo_i2a() { tms7000_icount -= btj<F_IA, false>() ? 11 : 9; }
static void btjo_i2b() { tms7000_icount -= btj<F_IB, false>() ? 11 : 9; }
static void btjo_i2r() { tms7000_icount -= btj<F_IR, false>() ? 13 : 11; }
static void btjz_b2a() { tms7000_icount -= btj<F_BA, true>() ? 9 : 7; }
static void btjz_r2a() { tms7000_icount -= btj<F_RA, true>() ? 9 : 7; }
static void btjz_r2b() { tms7000_icount -= btj<F_RB, true>() ? 12 : 10; }
static void btjz_r2r() { tms7000_icount -= btj<F_RR, true>() ? 14 : 12; }
static void btjz_i2a() { tms7000_icount -= btj<F_IA, true>() ? 11 : 9; }
static void btjz_i2b() { tms7000_icount -= btj<F_IB, true>() ? 11 : 9; }
static void btjz_i2r() { tms7000_icount -= btj<F_IR, true>() ? 13 : 11; }
static void btjop_ap() { tms7000_icount -= btjp<P_A, false>() ? 13 : 11; }
static void btjop_bp() { tms7000_icount -= btjp<P_B, false>() ? 12 : 10; }
static void btjop_ip() { tms7000_icount -= btjp<P_I, false>() ? 14 : 12; }
static void btjzp_ap() { tms7000_icount -= btjp<P_A, true>() ? 13 : 11; }
static void btjzp_bp() { tms7000_icount -= btjp<P_B, true>() ? 12 : 10; }
static void btjzp_ip() { tms7000_icount -= btjp<P_I, true>() ? 14 : 12; }

// ---------------------------------------------------------------------------
// Handlers: processor control.

static void nop() { tms7000_icount -= 4; }
// The loop stops fetching until an interrupt entry clears idle_state.
static void idle() { tms7000.idle_state = 1; tms7000_icount -= 6; }
// EINT sets C, N and Z along with I; DINT clears all four.
static void eint()
{
    tms7000.sr |= 0xF0;
    tms7000_icount -= 5;
    tms7000_check_IRQ_lines();
}
static void dint() { tms7000.sr &= 0x0F; tms7000_icount -= 5; }
static void setc() { set_flags(SR_C | SR_Z); tms7000_icount -= 5; }

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
// Dispatch tables. Row = high nibble of the opcode, column = low nibble.

constexpr opcode_fn opfn[256] = {
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

// The machine's table is the standard one with a single difference: opcode
// D7 reads video memory into A instead of swapping a register's nibbles.
static constexpr opcode_fn ovix_entry(int opcode)
{
    return opcode == 0xD7 ? swap_r_ovix : opfn[opcode];
}

#define OVIX_ROW(r)                                                                             \
    ovix_entry(r + 0x0), ovix_entry(r + 0x1), ovix_entry(r + 0x2), ovix_entry(r + 0x3),         \
    ovix_entry(r + 0x4), ovix_entry(r + 0x5), ovix_entry(r + 0x6), ovix_entry(r + 0x7),         \
    ovix_entry(r + 0x8), ovix_entry(r + 0x9), ovix_entry(r + 0xA), ovix_entry(r + 0xB),         \
    ovix_entry(r + 0xC), ovix_entry(r + 0xD), ovix_entry(r + 0xE), ovix_entry(r + 0xF)

constexpr opcode_fn opfn_ovix[256] = {
    OVIX_ROW(0x00), OVIX_ROW(0x10), OVIX_ROW(0x20), OVIX_ROW(0x30),
    OVIX_ROW(0x40), OVIX_ROW(0x50), OVIX_ROW(0x60), OVIX_ROW(0x70),
    OVIX_ROW(0x80), OVIX_ROW(0x90), OVIX_ROW(0xA0), OVIX_ROW(0xB0),
    OVIX_ROW(0xC0), OVIX_ROW(0xD0), OVIX_ROW(0xE0), OVIX_ROW(0xF0),
};
#undef OVIX_ROW

static constexpr bool tables_agree_but_d7()
{
    for (int op = 0; op < 256; op++)
        if ((opfn_ovix[op] == opfn[op]) == (op == 0xD7)) return false;
    return opfn[0xD7] == swap_r && opfn_ovix[0xD7] == swap_r_ovix;
}
static_assert(tables_agree_but_d7(), "opfn_ovix differs from opfn at D7 only");

static constexpr int count_illegal()
{
    int n = 0;
    for (int op = 0; op < 256; op++) n += opfn[op] == illegal;
    return n;
}
static_assert(count_illegal() == 30, "30 unassigned opcodes");

// ---------------------------------------------------------------------------
// The machine's step. The switch calls the constant entries of opfn_ovix
// directly, so that the handlers are inlined into it (and the step into the
// emulation loop) instead of being called through the table.

#define OVIX_CASE(n) \
    case n: opfn_ovix[n](); break;
#define OVIX_CASE4(n) OVIX_CASE(n) OVIX_CASE(n + 1) OVIX_CASE(n + 2) OVIX_CASE(n + 3)
#define OVIX_CASE16(n) OVIX_CASE4(n) OVIX_CASE4(n + 4) OVIX_CASE4(n + 8) OVIX_CASE4(n + 12)

__attribute__((flatten)) void tms7000_ovix_step()
{
    if (tms7000.idle_state == 0) [[likely]] {
        const uint8 opcode = (uint8)cpu_readop(tms7000.pc.w.l);
        tms7000.pc.w.l++;
        switch (opcode) {
            OVIX_CASE16(0x00) OVIX_CASE16(0x10) OVIX_CASE16(0x20) OVIX_CASE16(0x30)
            OVIX_CASE16(0x40) OVIX_CASE16(0x50) OVIX_CASE16(0x60) OVIX_CASE16(0x70)
            OVIX_CASE16(0x80) OVIX_CASE16(0x90) OVIX_CASE16(0xA0) OVIX_CASE16(0xB0)
            OVIX_CASE16(0xC0) OVIX_CASE16(0xD0) OVIX_CASE16(0xE0) OVIX_CASE16(0xF0)
        }
    } else {
        tms7000_icount -= CYCLES_IDLE_STEP;
    }
}
#undef OVIX_CASE16
#undef OVIX_CASE4
#undef OVIX_CASE
