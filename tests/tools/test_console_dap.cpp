// The console's commands for editors and debug adapters: source lines from
// debug information (written here for a small program assembled as the
// BIOS), breakpoints by line and by owner, steps by source line, the stop
// at bytes no source line produced, the chips' registers, memory written
// as a range, instruction lists, names, the trace log; and a Ctrl-C while
// the console waits for a command.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <map>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "asm.h"
#include "services/console.h"
#include "debug/engine.h"
#include "debug/source_map.h"
#include "debug/symbols.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "state/timeline.h"
#include "test_support.h"
#include "video/tms3556.h"

namespace {

// main.asm as the debug information below describes it: line 5 calls the
// macro BUMP (m.inc lines 1 and 2); `jfill` jumps into bytes no line wrote.
const char kProgram[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
main:   CALL sub
        INC R2
        INC R2
        JMP main
sub:    NOP
        RETS
jfill:  BR @0F820h
probe:  LDA @0090h
        ORG 0FFFEh
        DW reset
)";

std::string line_entry(unsigned address, unsigned size, int file, int line, bool bump = false)
{
    char t[200];
    snprintf(t, sizeof t, R"({"address":%u,"size":%u,"kind":"code","file":%d,"line":%d%s})", address, size, file, line,
             bump ? R"(,"expansion":[{"macro":"BUMP","file":0,"line":5}])" : "");
    return t;
}

struct ConsoleDap : ::testing::Test {
    console_session cs;
    std::string dir, main_asm, m_inc;

    void SetUp() override
    {
        ASSERT_TRUE(start_headless_video());
        ovasm::Options o;
        o.has_base = o.has_size = true;
        o.base = 0xF800;
        o.size = 2048;
        const ovasm::Result r = ovasm::assemble_text("t.asm", kProgram, o);
        ASSERT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors[0]);
        memcpy(rom_7020, r.image.data(), sizeof rom_7020);
        symbols_clear();
        srcmap_clear();
        dbg_reset();
        ovix_power_on();
        cs = console_session{};
        // A folder per test: CTest runs the tests of one program side by side.
        dir = make_temp_dir("console_dap_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        main_asm = dir + "/main.asm";
        m_inc = dir + "/m.inc";
        ASSERT_TRUE(write_text(main_asm, "; the program\n"));
        ASSERT_TRUE(write_text(m_inc, "; the macro\n"));
        std::string lines = "[";
        for (const std::string &e : {line_entry(0xF800, 2, 0, 2), line_entry(0xF802, 1, 0, 3), line_entry(0xF803, 3, 0, 4),
                                     line_entry(0xF806, 2, 1, 1, true), line_entry(0xF808, 2, 1, 2, true),
                                     line_entry(0xF80A, 2, 0, 6), line_entry(0xF80C, 1, 0, 8), line_entry(0xF80D, 1, 0, 9),
                                     line_entry(0xF80E, 3, 0, 10), line_entry(0xF811, 3, 0, 11)})
            lines += e + ",";
        lines += R"({"address":65534,"size":2,"kind":"data","file":0,"line":13}])";
        const std::string info =
            R"({"format":"ovix-asm debug information","version":1,"files":[")" + main_asm + R"(",")" + m_inc +
            R"("],"image":{"base":63488,"size":2048,"fill":255},"lines":)" + lines + R"(,"symbols":[
              {"name":"reset","kind":"label","value":63488,"file":0,"line":2},
              {"name":"main","kind":"label","value":63491,"file":0,"line":4},
              {"name":"sub","kind":"label","value":63500,"file":0,"line":8},
              {"name":"jfill","kind":"label","value":63502,"file":0,"line":10},
              {"name":"probe","kind":"label","value":63505,"file":0,"line":11},
              {"name":"COUNT","kind":"register","value":2,"file":0,"line":1},
              {"name":"K","kind":"constant","value":300,"file":0,"line":1},
              {"name":"BUMP","kind":"macro","file":1,"line":1}]})";
        ASSERT_TRUE(write_text(dir + "/t.dbg", info));
    }

    void TearDown() override
    {
        srcmap_clear();
        dbg_reset();
    }

    std::string cmd(const std::string &line)
    {
        std::string reply;
        console_execute(&cs, line, &reply);
        return reply;
    }
    std::string first(const std::string &line)
    {
        const std::string r = cmd(line);
        return r.substr(0, r.find('\n'));
    }
    void loaded() { ASSERT_EQ(cmd("debuginfo " + dir + "/t.dbg").substr(0, 5), "file ") << "debuginfo"; }
    // Runs to `address` with a temporary breakpoint.
    void at(const std::string &address) { ASSERT_EQ(first("until " + address).substr(0, 21), "stopped reason=break ") << address; }
    std::string pc()
    {
        const std::string r = cmd("eval PC");
        return r.substr(6, 4);
    }
};

TEST_F(ConsoleDap, DebugInformationLinesAndFrames)
{
    EXPECT_EQ(first("breakline main.asm:4"), "error: breakline: no debug information is loaded (debuginfo FILE)");
    EXPECT_EQ(first("lstep").rfind("stopped reason=step pc=F802 ", 0), 0u) << "one instruction without lines";
    EXPECT_EQ(first("debuginfo " + dir + "/none.dbg").rfind("error: debuginfo: " + dir + "/none.dbg: ", 0), 0u);
    loaded();
    EXPECT_EQ(cmd("eval jfill"), "value F80E (#63502)\nok\n") << "the labels join the symbol table";
    const struct {
        const char *command;
        std::string reply;
    } cases[] = {
        {"line F807", "line F807 " + m_inc + ":1 in BUMP called at " + main_asm + ":5"},
        {"line F80E", "line F80E " + main_asm + ":10"},
        {"line F814", "line F814 no source line (after label probe)"},
        {"line 6000", "line 6000 no source line"},
        {"line zz", "error: line: address 'zz': at column 1: unknown name 'zz'"},
    };
    for (const auto &c : cases) EXPECT_EQ(first(c.command), c.reply) << c.command;
    at("sub");
    const std::string frames = cmd("frames");
    EXPECT_EQ(frames, "#0 F80C in sub at " + main_asm + ":8\n#1 F803 in main at " + main_asm + ":4\nok\n");
    cs.json = true;
    const std::string j = cmd("line F808");
    EXPECT_NE(j.find(R"("statement":{"file":")" + main_asm + R"(","line":5})"), std::string::npos) << j;
    cmd("debuginfo clear");
    EXPECT_NE(cmd("line F808").find(R"("ok":true)"), std::string::npos);
    EXPECT_FALSE(srcmap_loaded());
}

TEST_F(ConsoleDap, BreakpointsByLineAndByOwner)
{
    loaded();
    const struct {
        std::string command, reply;
    } cases[] = {
        {"breakline " + main_asm + ":5", "breakline " + main_asm + ":5: 1 at F806"},
        {"breakline " + main_asm + ":7 hit 2 if R2>1", "breakline " + main_asm + ":8: 2 at F80C"},   // the next line with code
        {"bl \"" + m_inc + "\":2", "breakline " + m_inc + ":2: 3 at F808"},
        {"breakline " + main_asm + ":14", "error: breakline: no code at or after line 14 of " + main_asm},
        {"breakline other.asm:3", "error: breakline: other.asm is not a source file of the debug information"},
        {"breakline " + main_asm, "error: breakline: FILE:LINE is needed (breakline game.asm:12 [hit N] [if CONDITION])"},
        {"breakline " + main_asm + ":0", "error: breakline: FILE:LINE is needed (breakline game.asm:12 [hit N] [if CONDITION])"},
        {"breakline " + main_asm + ":4 if (", "error: breakline: condition at column 2: the expression ends too early"},
        {"fbreak sub", "breakpoint 4 at F80C (sub) hits=0"},
        {"fbreak F80C", "error: fbreak: 'F80C' is not a label of the program"},
        {"ibreak F80A hit =3", "breakpoint 5 at F80A hits=0 hit =3"},
        {"dwatch rw C000-C00F if value==1", "watchpoint 6 rw C000-C00F hits=0 if value==1"},
        {"clear everything", "error: clear: source, instruction, function or data"},
    };
    for (const auto &c : cases) EXPECT_EQ(first(c.command), c.reply) << c.command;
    EXPECT_EQ(dbg_points().size(), 6u);
    EXPECT_EQ(dbg_find(2)->hit_count, 2u);
    // Each kind goes at once, the others stay.
    for (const char *kind : {"source", "function", "data"}) EXPECT_EQ(cmd(std::string("clear ") + kind), "ok\n");
    ASSERT_EQ(dbg_points().size(), 1u);
    EXPECT_EQ(dbg_points()[0].owner, OWNER_INSTRUCTION);
}

TEST_F(ConsoleDap, StepsBySourceLine)
{
    loaded();
    at("main");
    const struct {
        const char *command;
        const char *pc;
        std::string where;   // the line it stops at
    } steps[] = {
        {"lnext", "F806", main_asm + ":5"},   // over the call
        {"lnext", "F80A", main_asm + ":6"},   // over the macro's two lines at once
        {"lnext", "F803", main_asm + ":4"},
        {"lstep", "F80C", main_asm + ":8"},   // into sub
        {"lstep", "F80D", main_asm + ":9"},
        {"lstep", "F806", main_asm + ":5"},   // back in main: the routine returned
    };
    for (const auto &s : steps) {
        const std::string r = cmd(s.command);
        EXPECT_EQ(r.rfind(std::string("stopped reason=step pc=") + s.pc, 0), 0u) << s.command << ": " << r;
        EXPECT_NE(r.find("\nat " + s.where + "\n"), std::string::npos) << s.command << ": " << r;
    }
    // A breakpoint inside the line ends the step there.
    cmd("ibreak F808");
    EXPECT_EQ(first("lnext").rfind("stopped reason=break pc=F808", 0), 0u);
    EXPECT_EQ(first("lnext x"), "error: lnext: 'x' is not a decimal count of passes");
}

TEST_F(ConsoleDap, BackInTimeBySourceLine)
{
    loaded();
    at("main");
    tl_begin();
    cmd("lnext");   // line 5, the macro
    cmd("lnext");   // line 6
    EXPECT_EQ(pc(), "F80A");
    const std::string r = cmd("lback");
    EXPECT_EQ(r.rfind("stopped reason=step pc=F806 ", 0), 0u) << r;   // the start of line 5, its first INC
    EXPECT_NE(r.find("\nat " + main_asm + ":5\n"), std::string::npos) << r;
    EXPECT_EQ(first("lback").rfind("stopped reason=step pc=F803 ", 0), 0u);   // line 4, the call
    tl_end();
    EXPECT_EQ(first("lback").rfind("error: lback: ", 0), 0u);
}

TEST_F(ConsoleDap, RunningIntoBytesNoLineProduced)
{
    loaded();
    cmd("set PC=jfill");
    EXPECT_EQ(first("continue 1000").rfind("stopped reason=unwritten pc=F820 ", 0), 0u);
    EXPECT_EQ(first("step").rfind("stopped reason=step ", 0), 0u) << "the byte runs: no stop there again at once";
    // Going back finds the arrival at the fill as a forward run found it.
    tl_begin();
    cmd("set PC=jfill");
    first("continue 1000");
    cmd("step 3");
    const std::string back = first("reverse-continue");
    EXPECT_EQ(back.rfind("stopped reason=unwritten pc=F820 ", 0), 0u) << back;
    tl_end();
    EXPECT_EQ(cmd("unwritten off"), "unwritten off\nok\n");
    cmd("set PC=jfill");
    EXPECT_EQ(first("continue 3").rfind("stopped reason=count", 0), 0u);
    EXPECT_EQ(cmd("unwritten on"), "unwritten on\nok\n");
    cmd("debuginfo clear");
    EXPECT_EQ(cmd("unwritten"), "unwritten on (no debug information is loaded)\nok\n");
    EXPECT_FALSE(dbg_unwritten_set());
}

TEST_F(ConsoleDap, RegistersMemoryInstructionsAndNames)
{
    loaded();
    vdp_regs8[1] = 0x12;
    vdp_regs16[3] = 0x7000;   // BAGC0
    const std::string v = cmd("vregs");
    EXPECT_EQ(v.substr(0, v.find('\n')), "COL          12");
    EXPECT_NE(v.find("\nBAGC0        7000\n"), std::string::npos) << v;
    const std::string p = cmd("pfile");
    EXPECT_EQ(p.substr(0, p.find('\n')), "P0  0100 IOCNT0  00");
    EXPECT_NE(p.find("\nP48 0130 MAILBOX "), std::string::npos) << p;
    const struct {
        const char *command, *reply;
    } cases[] = {
        {"write C000 01 02 0a", "written 3"},
        {"write C003 FFEE", "written 2"},
        {"write C000 123", "error: write: the bytes are pairs of hexadecimal digits (an odd count was given)"},
        {"write FFFF 0102", "error: write: the bytes run past FFFF"},
        {"write C000 zz", "error: write: 'z' is not a hexadecimal digit"},
        {"write C000", "error: write: ADDRESS BYTES is needed (write C000 01 02 0A or write C000 01020A)"},
    };
    for (const auto &c : cases) EXPECT_EQ(first(c.command), c.reply) << c.command;
    EXPECT_EQ(first("mem C000 5"), "C000: 01 02 0A FF EE");
    const std::string ins = cmd("instructions F806 2 1");
    EXPECT_EQ(ins, "F803 8EF80C   CALL sub    ; " + main_asm + ":4\nF806 D302     INC R2    ; " + main_asm +
                       ":5\nF808 D302     INC R2    ; " + main_asm + ":5\nok\n");
    EXPECT_EQ(first("instructions F806 1001"), "error: instructions: '1001' is not a decimal count from 1 to 1000");
    EXPECT_EQ(cmd("names k"), "K constant 12C (#300)\nok\n");
    EXPECT_EQ(cmd("names count"), "COUNT register 2 (#2)\nok\n");
    EXPECT_EQ(first("names nothing"), "error: names: no name 'nothing'");
    const std::string all = cmd("names");
    EXPECT_NE(all.find("\nBUMP macro\n"), std::string::npos) << all;
}

// A register or port name, or an alias of one, is its address where a
// location is asked for, and its content where a value is.
TEST_F(ConsoleDap, RegisterNamesAsLocationsAndAsValues)
{
    loaded();
    const char aliases[] = "; ovix-asm symbols 2\n;= register COUNT R2\n;= port VDPWR P46\n";
    ASSERT_EQ(symbols_add_text(symbol_group::cartridge, "t.sym", aliases, strlen(aliases)), nullptr);
    cmd("set R2=7");
    cmd("set R7=5B");
    const struct {
        const char *command, *reply;
    } cases[] = {
        {"eval COUNT", "value 7 (#7)"},
        {"eval COUNT+1", "value 8 (#8)"},
        {"eval [COUNT]", "value 5B (#91)"},   // inside brackets a value again: the byte at 0007
        {"mem COUNT 1", "0002: 07"},
        {"mem R2 1", "0002: 07"},
        {"mem R255 1", "00FF: FF"},
        {"mem P255 1", "01FF: 00"},
        {"mem R256 1", "error: mem: address 'R256': at column 1: 'R256': the registers are R0-R255"},
        {"watch w R2", "watchpoint 1 w 0002 hits=0"},
        {"watch w VDPWR", "watchpoint 2 w 012E hits=0"},
        {"watch w P46-P47", "watchpoint 3 w 012E-012F hits=0"},
        {"delete all", "ok"},
        {"watch w COUNT if COUNT==9", "watchpoint 4 w 0002 hits=0 if COUNT==9"},
        {"continue 100", "stopped reason=watch pc=F80A pass=7 Stopped: watchpoint 4: 0002 written by F808, 08 -> 09"},
    };
    for (const auto &c : cases) {
        std::string reply = first(c.command);
        const size_t cycles = reply.find(" cycles=");   // the clock, from whatever ran before in this process
        if (cycles != std::string::npos) reply.erase(cycles, reply.find(' ', cycles + 1) - cycles);
        EXPECT_EQ(reply, c.reply) << c.command;
    }
}

TEST_F(ConsoleDap, TheTraceLogSinceTheLastLook)
{
    loaded();
    cmd("log");   // whatever came before
    cmd("set PC=probe");
    cmd("step");
    const std::string log = cmd("log");
    EXPECT_NE(log.find("Reading out of bound internal 0090"), std::string::npos) << log;
    EXPECT_EQ(cmd("log"), "ok\n");
}

TEST(ConsoleProcess, CtrlCWhileWaitingForACommandKeepsTheConsole)
{
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const std::string runner = std::string(OVIX_BINARY_DIR) + "/tools/headless/ovix-headless";
    const std::string bios = std::string(OVIX_BINARY_DIR) + "/roms/bios/BIOS7020.bin";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        execl(runner.c_str(), runner.c_str(), "--bios", bios.c_str(), "--console", (char *)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FILE *to = fdopen(in[1], "w");
    FILE *from = fdopen(out[0], "r");
    fputs("regs\n", to);
    fflush(to);
    char line[512];
    ASSERT_TRUE(fgets(line, sizeof line, from));   // the console is reading
    ASSERT_TRUE(fgets(line, sizeof line, from));   // ok
    kill(pid, SIGINT);                             // while it waits for the next command
    usleep(100000);
    fputs("eval 1+1\n", to);
    fflush(to);
    ASSERT_TRUE(fgets(line, sizeof line, from)) << "the console ended";
    EXPECT_STREQ(line, "value 2 (#2)\n");
    fclose(to);
    fclose(from);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
