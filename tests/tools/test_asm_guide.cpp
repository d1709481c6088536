// The programmer's guide and the assembler against the emulation core: the
// guide's table of instructions (cycles, taken and not taken, and the flags
// each sets) and the assembler's cycle table are derived here by running
// every opcode in a sandbox machine through the core, so that neither can
// drift from what the machine does; and the guide's tick-counter example
// runs under the open BIOS.
//
// After an intended change of the core or the table, the test writes the
// table it derived to instruction-table.md in its working folder: copy it
// into docs/programming.md between the marker lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "asm.h"
#include "cpu/7000dasm.h"
#include "cpu/tms7000.h"
#include "mem/memory.h"
#include "roms/rom_run.h"
#include "test_support.h"
#include "video/tms3556.h"

namespace {

constexpr unsigned AT = 0xC100;   // where the instruction is placed (RAM)
constexpr int REL = 2;            // the offset of a relative operand: taken lands 2 bytes further

// What the core does with one opcode.
struct Behaviour {
    int length = 1;
    std::set<int> cycles, taken, not_taken;   // every count seen; by branch outcome when it branches on a condition
    char flags[4] = {'?', '?', '?', '?'};     // C N Z I: - kept, 0 cleared, 1 set, * reckoned
};

// The kinds of operand bytes of an opcode, from the disassembler's format.
enum ByteKind { REG, PORT, IMM, WORD_IMM, WORD_ADDR, INDIRECT, RELATIVE, ABSOLUTE };

struct Format {
    std::string text;              // "MOV Rs,Rd", "BTJOP #n,Pn,rel"
    std::vector<ByteKind> bytes;   // operand bytes after the opcode (a word counts once)
};

const opcodeinfo *entry_of(int op)
{
    for (const opcodeinfo &o : opcodes)
        if (o.opcode == op) return &o;
    return nullptr;
}

// Every name of an opcode in the disassembler's table ("CLRC", "TSTA").
std::vector<std::string> names_of(int op)
{
    std::vector<std::string> v;
    for (const opcodeinfo &o : opcodes)
        if (o.opcode == op && std::find(v.begin(), v.end(), o.name) == v.end()) v.push_back(o.name);
    return v;
}

Format format_of(const opcodeinfo &o)
{
    Format f;
    f.text = o.name;
    const oprandinfo &info = of[o.operand];
    for (int j = 0; j < 4 && info.decode[j] != DONE; j++) {
        std::string piece = info.opstr[j];
        const operandtype d = info.decode[j];
        if (d == NONE || d == TRAP) {
            f.text += piece;
            continue;
        }
        const size_t pct = piece.find('%');
        size_t end = pct + 1;
        while (end < piece.size() && !isalpha((unsigned char)piece[end])) end++;
        const std::string pre = piece.substr(0, pct), post = piece.substr(end + 1);
        std::string place;
        ByteKind k;
        if (d == PCREL) place = "rel", k = RELATIVE;
        else if (d == PCABS) place = "addr", k = ABSOLUTE;
        else if (pre.find("@#") != std::string::npos) place = "addr", k = WORD_ADDR;
        else if (pre.find("*R") != std::string::npos) place = "n", k = INDIRECT;
        else if (pre.find('R') != std::string::npos) place = "n", k = REG;
        else if (pre.find('P') != std::string::npos) place = "n", k = PORT;
        else if (d == UI16) place = "nnnn", k = WORD_IMM;
        else place = "n", k = IMM;
        std::string p = pre;
        if (k == WORD_ADDR) p.replace(p.find("@#"), 2, "@");
        f.text += p + place + post;
        f.bytes.push_back(k);
    }
    // Two registers are source and destination.
    const size_t first = f.text.find("Rn"), second = first == std::string::npos ? first : f.text.find("Rn", first + 2);
    if (second != std::string::npos) {
        f.text.replace(first, 2, "Rs");
        f.text.replace(second, 2, "Rd");
    }
    return f;
}

std::string fmt_hex(int op)
{
    char t[8];
    snprintf(t, sizeof t, "%02X", op);
    return t;
}

uint32_t rng = 2024;
unsigned rnd(unsigned n)
{
    rng = rng * 1103515245u + 12345u;
    return (rng >> 8) % n;
}

// A byte, half the time one at the edges of the arithmetic (zero, one,
// the sign bit, all ones), so that every flag an instruction reckons
// shows both values.
uint8 value()
{
    static const uint8 edges[] = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, 0x09, 0x99};
    return rnd(2) ? edges[rnd(sizeof edges)] : (uint8)rnd(256);
}

void power_on()
{
    tms7000_power_on();
    mem_power_on();
    tms3556_power_on();
    for (int n = 0; n < 24; n++) {   // TRAP n -> F000h + n (nothing mapped there)
        rom_7020[0x7FE - 2 * n] = 0xF0;
        rom_7020[0x7FF - 2 * n] = (uint8)n;
    }
}

// Runs opcode `op` of the machine's set 1000 times from random states and
// records its cycles (by branch outcome) and what it does to C, N, Z, I.
Behaviour run_opcode(int op)
{
    Behaviour b;
    const opcodeinfo *o = entry_of(op);
    const Format f = o ? format_of(*o) : Format{};
    bool kept[4] = {true, true, true, true}, always0[4] = {true, true, true, true}, always1[4] = {true, true, true, true};
    const uint8 bit[4] = {SR_C, SR_N, SR_Z, SR_I};
    const bool conditional =
        std::find(f.bytes.begin(), f.bytes.end(), RELATIVE) != f.bytes.end() && op != 0xE0;
    power_on();
    for (int trial = 0; trial < 1000; trial++) {
        tms7000_power_on();   // the processor afresh (not idle); memory is set below
        for (int r = 0; r < 128; r++) tms7000.rf[r] = value();
        for (uint8 &m : ram_2k) m = value();
        tms7000.pf[1] = value();
        tms7000.pf[5] = value();
        tms7000.sp = (uint8)(0x40 + rnd(0x20));
        std::vector<uint8> code = {(uint8)op};
        for (ByteKind k : f.bytes) {
            switch (k) {
            case REG: code.push_back((uint8)(2 + rnd(126))); break;
            case PORT: code.push_back(rnd(2) ? 1 : 5); break;
            case IMM: code.push_back(value()); break;
            case WORD_IMM: code.push_back(value()); code.push_back(value()); break;
            case WORD_ADDR: code.push_back((uint8)(0xC2 + rnd(5))); code.push_back((uint8)rnd(256)); break;
            case INDIRECT: {
                const uint8 n = (uint8)(3 + rnd(120));
                tms7000.rf[n - 1] = (uint8)(0xC2 + rnd(5));
                code.push_back(n);
                break;
            }
            case RELATIVE: code.push_back(REL); break;
            case ABSOLUTE: code.push_back((uint8)(0xC2 + rnd(5))); code.push_back((uint8)rnd(256)); break;
            }
        }
        for (size_t i = 0; i < code.size(); i++) ram_2k[AT - 0xC000 + i] = code[i];
        b.length = (int)code.size();
        tms7000.sr = (uint8)(rnd(256) & (SR_C | SR_N | SR_Z | SR_I));   // no interrupt is enabled or pending
        tms7000.pc.w.l = AT;
        const uint8 before = tms7000.sr;
        const int cycles = tms7000_ovix_execute(1);
        b.cycles.insert(cycles);
        if (conditional) (tms7000.pc.w.l == AT + code.size() + REL ? b.taken : b.not_taken).insert(cycles);
        for (int i = 0; i < 4; i++) {
            const bool was = before & bit[i], is = tms7000.sr & bit[i];
            kept[i] = kept[i] && was == is;
            always0[i] = always0[i] && !is;
            always1[i] = always1[i] && is;
        }
    }
    for (int i = 0; i < 4; i++) b.flags[i] = kept[i] ? '-' : always0[i] ? '0' : always1[i] ? '1' : '*';
    return b;
}

// The behaviour of every opcode, found once.
const Behaviour &behaviour(int op)
{
    static std::map<int, Behaviour> known;
    auto it = known.find(op);
    if (it == known.end()) it = known.emplace(op, run_opcode(op)).first;
    return it->second;
}

std::string cycles_text(const Behaviour &b)
{
    auto one = [](const std::set<int> &s) {
        std::string t;
        for (int c : s) t += (t.empty() ? "" : "|") + std::to_string(c);
        return t;
    };
    if (!b.taken.empty() || !b.not_taken.empty()) return one(b.taken) + "/" + one(b.not_taken);
    return one(b.cycles);
}

// The guide's table as the core has it: one row per opcode, by mnemonic
// (TRAP 0-23 in one row).
std::string derived_table()
{
    std::map<std::string, std::string> rows;   // sort key -> row
    bool trap_done = false;
    for (int op = 0; op < 256; op++) {
        const opcodeinfo *o = entry_of(op);
        if (!o) continue;
        const Behaviour &b = behaviour(op);
        Format f = format_of(*o);
        std::string opcode = fmt_hex(op);
        if (f.text.rfind("TRAP", 0) == 0) {
            if (trap_done) continue;
            trap_done = true;
            f.text = "TRAP n";
            opcode = "FF-E8";
        }
        std::string text = "`" + f.text + "`";
        const std::vector<std::string> names = names_of(op);
        for (size_t i = 1; i < names.size(); i++) text += " (`" + names[i] + "`)";
        const std::string row = "| " + text + " | " + opcode + " | " + std::to_string(b.length) + " | " + cycles_text(b) +
                                " | " + b.flags[0] + " | " + b.flags[1] + " | " + b.flags[2] + " | " + b.flags[3] + " |\n";
        char key[64];
        snprintf(key, sizeof key, "%s %02X", f.text.c_str(), op);
        rows[key] = row;
    }
    std::string out = "| Instruction | Opcode | Bytes | Cycles | C | N | Z | I |\n|---|---|---|---|---|---|---|---|\n";
    for (const auto &[key, row] : rows) out += row;
    return out;
}

}  // namespace

// The guide's table is the one the core gives.
TEST(AsmGuide, InstructionTableIsTheCores)
{
    const std::string guide = read_text(OVIX_SOURCE_DIR "/docs/programming.md");
    const std::string begin = "<!-- instructions: derived from the core by tests/tools/test_asm_guide.cpp -->\n";
    const size_t from = guide.find(begin), to = guide.find("<!-- end of instructions -->");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    const std::string in_guide = guide.substr(from + begin.size(), to - from - begin.size());
    const std::string derived = derived_table();
    if (in_guide != derived) {
        ASSERT_TRUE(write_text("instruction-table.md", derived));
    }
    EXPECT_EQ(in_guide, derived) << "the core's table is in instruction-table.md in the test's folder";
}

// The assembler's cycles (its listing) are the core's, for every opcode
// (unassigned ones included).
TEST(AsmGuide, AssemblerCyclesAreTheCores)
{
    for (int op = 0; op < 256; op++) {
        const Behaviour &b = behaviour(op);
        int taken, not_taken;
        ovasm::opcode_cycles((uint8_t)op, taken, not_taken);
        if (b.taken.empty() && b.not_taken.empty()) {
            EXPECT_EQ(b.cycles, std::set<int>{taken}) << std::hex << "opcode " << op;
            EXPECT_EQ(not_taken, -1) << std::hex << "opcode " << op;
        } else {
            EXPECT_EQ(b.taken, std::set<int>{taken}) << std::hex << "opcode " << op;
            EXPECT_EQ(b.not_taken, std::set<int>{not_taken}) << std::hex << "opcode " << op;
        }
    }
}

// The guide's tick counter: assembled from the page as it stands, run under
// the open BIOS for two lengths; the seconds it counts are the machine's
// time since it started, and the run the guide describes shows 005.
TEST(AsmGuide, TickCounterKeepsTime)
{
    const std::string guide = read_text(OVIX_SOURCE_DIR "/docs/programming.md");
    const std::string mark = "<!-- clock example -->\n```\n";
    const size_t from = guide.find(mark);
    ASSERT_NE(from, std::string::npos);
    const size_t start = from + mark.size(), end = guide.find("```", start);
    ovasm::Options o;
    o.cartridge = &ovasm::cartridge_sizes()[0];   // 8K
    const ovasm::Result r = ovasm::assemble_text("clock.asm", guide.substr(start, end - start), o);
    ASSERT_TRUE(r.ok) << r.errors.front();
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    ASSERT_TRUE(write_file("clock.rom", r.image));

    struct Run {
        long cycles;
        int secs, part;
        std::string shown;
    };
    auto run = [](const char *passes) {
        const romtest::RunResult m = romtest::run_machine("clock", std::string("--cart clock.rom --instructions ") + passes);
        EXPECT_EQ(m.status, 0) << m.summary;
        const std::vector<long> rf = romtest::json_array(m.state, "rf");
        const std::vector<uint8> video = romtest::json_hex(m.state, "vram");
        Run out{romtest::json_number(m.state, "cycles"), (int)rf.at(18), (int)rf.at(17),
                romtest::page_text(video, 0, 0, 3)};
        EXPECT_EQ(video.at(0), 0xE4);
        return out;
    };
    const Run a = run("2000000"), b = run("4000000");
    EXPECT_EQ(a.secs, 5);
    EXPECT_EQ(a.shown, "005");
    // The cartridge started within the first second, and the ticks it
    // counted are the time since then (a tick every 100,000 cycles).
    const long started = a.cycles - (a.secs * 50L + a.part) * 100000L;
    EXPECT_GT(started, 0);
    EXPECT_LT(started, 5000000 + 100000);
    const long ticks_b = b.secs * 50L + b.part;
    EXPECT_LE(std::labs((b.cycles - started) / 100000 - ticks_b), 1) << b.cycles;
    char shown[8];
    snprintf(shown, sizeof shown, "%03d", b.secs);
    EXPECT_EQ(b.shown, shown);
    EXPECT_GE(b.secs, 11);
}
