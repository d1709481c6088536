// The debugger engine through the runner's console: each stop kind on small
// programs assembled here and run as the BIOS (breakpoints with conditions
// and hit counts, watchpoints on reads, writes, values and video memory,
// steps into, over and out of calls and interrupt routines, the call stack,
// the history), and the console's answers to bad input.
#include <gtest/gtest.h>

#include <fstream>

#include <cstring>
#include <sys/wait.h>
#include <map>
#include <string>
#include <vector>

#include "asm.h"
#include "services/console.h"
#include "debug/engine.h"
#include "debug/symbols.h"
#include "state/timeline.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "test_support.h"

namespace {

// Calls two deep, a RAM write and read, a VRAM write; no interrupts.
const char kCalls[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
        CLR R2
main:   CALL outer
back:   INC R2
        MOV R2,A
store:  STA @0C010h
vram:   MOVP A,P46
load:   LDA @0C011h
        JMP main
outer:  CALL inner
outer.ret:
        RETS
inner:  NOP
        RETS
        ORG 0FFFEh
        DW reset
)";

// Timer 1 interrupts every 176 cycles; its routine calls b. `spin` pops the
// return address itself and jumps back.
const char kInterrupts[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
        MOVP #0Ah,P2
        MOVP #80h,P3
        MOVP #04h,P0
        EINT
idle:   INC R4
        JMP idle
isr:    INC R3
        CALL inner
isr.back:
        RETI
inner:  NOP
        RETS
        ORG 0FFFAh
        DW isr
        DW reset
        DW reset
)";

// Timer 1 wakes an IDLE whose next instruction is a CALL, made only once
// the interrupt routine has returned.
const char kIdle[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
        MOVP #0Ah,P2
        MOVP #80h,P3
        MOVP #04h,P0
        EINT
sleep:  IDLE
wake:   CALL sub
        JMP sleep
sub:    RETS
isr:    INC R3
        RETI
        ORG 0FFFAh
        DW isr
        DW reset
        DW reset
)";

// Reads the video chip's register port (the program's debugger request)
// at pass 104, then counts in R4 for ever.
const char kRequest[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
        MOV #100,R3
wait:   DJNZ R3,wait
        MOVP P37,A
spin:   INC R4
        JMP spin
        ORG 0FFFEh
        DW reset
)";

const char kSpin[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
top:    CALL drop
        JMP top
drop:   POP A
        POP A
after:  JMP top
        ORG 0FFFEh
        DW reset
)";

struct Console : ::testing::Test {
    console_session cs;
    std::map<std::string, unsigned> labels;

    void load(const char *source)
    {
        ASSERT_TRUE(start_headless_video());
        ovasm::Options o;
        o.has_base = o.has_size = true;
        o.base = 0xF800;
        o.size = 2048;
        const ovasm::Result r = ovasm::assemble_text("t.asm", source, o);
        ASSERT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors[0]);
        memcpy(rom_7020, r.image.data(), sizeof rom_7020);
        const std::string syms = ovasm::symbol_file_text(r);
        ASSERT_EQ(symbols_parse("t.sym", syms.data(), syms.size()), nullptr);
        labels.clear();
        for (const ovasm::Label &l : r.labels) labels[l.name] = l.address;
        dbg_reset();
        ovix_power_on();
        tl_begin();   // as the runner's console does
        cs = console_session{};
    }

    // The reply to one command.
    std::string cmd(const std::string &line)
    {
        std::string reply;
        console_execute(&cs, line, &reply);
        return reply;
    }

    std::string hex(const char *label) { return hex_of(labels.at(label)); }
    static std::string hex_of(unsigned a)
    {
        char t[8];
        snprintf(t, sizeof t, "%04X", a);
        return t;
    }
    // The stop line of a run command's reply.
    static std::string stop_line(const std::string &reply) { return reply.substr(0, reply.find('\n')); }
    int64 eval(const std::string &e)
    {
        const std::string r = cmd("eval " + e);
        EXPECT_EQ(r.rfind("value ", 0), 0u) << e << ": " << r;
        return strtoll(r.c_str() + 6, nullptr, 16);
    }
};

TEST_F(Console, BreakpointConditionAndHitCount)
{
    load(kCalls);
    struct {
        const char *command;
        int r2;   // R2 when it stops at main
        int hits;
    } cases[] = {
        {"break main if R2==3", 3, 1},
        {"break main hit 4", 3, 4},     // from the 4th arrival: R2 is 3 then
        {"break main hit =2", 1, 2},
        {"break main hit %3 if R2>0", 3, 3},   // hits counted only where the condition holds
    };
    for (const auto &c : cases) {
        load(kCalls);
        ASSERT_EQ(cmd(c.command).substr(0, 13), "breakpoint 1 ") << c.command;
        const std::string stop = stop_line(cmd("continue 100000"));
        EXPECT_EQ(stop.rfind("stopped reason=break pc=" + hex("main"), 0), 0u) << c.command << ": " << stop;
        EXPECT_NE(stop.find("Stopped: breakpoint 1 at " + hex("main") + " (main), hit " + std::to_string(c.hits)),
                  std::string::npos)
            << stop;
        EXPECT_EQ(eval("R2"), c.r2) << c.command;
    }
    // Two at one address: each counts every arrival, whichever stops (the
    // first by number).
    load(kCalls);
    cmd("break main");
    cmd("break main hit =3");
    for (int i = 1; i <= 5; i++)
        EXPECT_NE(stop_line(cmd("continue 1000")).find("breakpoint 1 at " + hex("main") + " (main), hit " + std::to_string(i)),
                  std::string::npos);
    EXPECT_EQ(cmd("list"), "breakpoint 1 at " + hex("main") + " (main) hits=5\nbreakpoint 2 at " + hex("main") +
                               " (main) hits=5 hit =3\nok\n");
}

TEST_F(Console, TemporaryBreakpointAndUntilGoAway)
{
    load(kCalls);
    cmd("tbreak inner");
    EXPECT_NE(stop_line(cmd("continue 1000")).find("temporary breakpoint 1 at " + hex("inner")), std::string::npos);
    EXPECT_EQ(cmd("list"), "ok\n");
    EXPECT_EQ(stop_line(cmd("until outer.ret")).rfind("stopped reason=break pc=" + hex("outer.ret"), 0), 0u);
    EXPECT_EQ(cmd("list"), "ok\n");
}

TEST_F(Console, WatchpointsSayWhoAndWhat)
{
    struct {
        const char *command;
        const char *where;   // the instruction that made the access
        const char *text;    // the rest of the stop text
    } cases[] = {
        {"watch w C010", "store", "C010 written by %s, 00 -> 01"},
        {"watch w C010 if value==3", "store", "C010 written by %s, 02 -> 03"},
        {"watch w C010 if value!=old && old==1", "store", "C010 written by %s, 01 -> 02"},
        {"watch r C011", "load", "C011 read by %s, 00"},
        {"watch rw C00F-C011 hit 2", "load", "C011 read by %s, 00"},   // the write, then the read
        {"watch w v[0]", "vram", "v0000 written by %s, 00 -> 01"},
        {"watch w v[0-1] if value==2", "vram", "v0001 written by %s, 00 -> 02"},
        // The pass under way, as the stop reports it: R2 = k is stored at pass 11k.
        {"watch w C010 if PASSES > #21", "store", "C010 written by %s, 01 -> 02"},
        {"watch w C010 if PASSES > #22", "store", "C010 written by %s, 02 -> 03"},
        {"watch w C010 if PASSES == #33", "store", "C010 written by %s, 02 -> 03"},
    };
    for (const auto &c : cases) {
        load(kCalls);
        ASSERT_EQ(cmd(c.command).substr(0, 11), "watchpoint ") << c.command;
        const std::string stop = stop_line(cmd("continue 100000"));
        char text[96];
        snprintf(text, sizeof text, c.text, hex(c.where).c_str());
        EXPECT_NE(stop.find("stopped reason=watch"), std::string::npos) << c.command << ": " << stop;
        EXPECT_NE(stop.find(text), std::string::npos) << c.command << ": " << stop;
        // It stops after the instruction that made the access.
        EXPECT_EQ(eval("PC"), labels.at(c.where) + (std::string(c.where) == "vram" ? 2 : 3)) << c.command;
    }
}

TEST_F(Console, StepOutOfNestedCallsAndNext)
{
    load(kCalls);
    cmd("break inner");
    cmd("continue 1000");
    const std::string bt = cmd("bt");
    EXPECT_NE(bt.find("#1 call to " + hex("inner") + " (inner), returns to " + hex("outer.ret") + " in outer.ret"), std::string::npos) << bt;
    EXPECT_NE(bt.find("#2 call to " + hex("outer") + " (outer), returns to " + hex("back") + " in back"), std::string::npos) << bt;
    EXPECT_EQ(bt.find("#3"), std::string::npos) << bt;
    cmd("delete all");
    EXPECT_EQ(stop_line(cmd("finish")).rfind("stopped reason=step pc=" + hex("outer.ret"), 0), 0u);
    EXPECT_EQ(stop_line(cmd("finish")).rfind("stopped reason=step pc=" + hex("back"), 0), 0u);
    EXPECT_NE(cmd("finish").find("error: finish: there is no routine to step out of"), std::string::npos);
    // next over the call at main lands after it; step goes into it.
    cmd("until main");
    EXPECT_EQ(stop_line(cmd("next")).rfind("stopped reason=step pc=" + hex("back"), 0), 0u);
    cmd("until main");
    EXPECT_EQ(stop_line(cmd("step")).rfind("stopped reason=step pc=" + hex("outer"), 0), 0u);
}

TEST_F(Console, StepOutOfAnInterruptRoutine)
{
    load(kInterrupts);
    cmd("break inner");
    cmd("continue 100000");
    const std::string bt = cmd("bt");
    EXPECT_NE(bt.find("#1 call to " + hex("inner")), std::string::npos) << bt;
    EXPECT_NE(bt.find("#2 INT2 at " + hex("isr") + " (isr) (interrupted "), std::string::npos) << bt;
    cmd("delete all");
    // Out of b into the routine, then out of the routine to where it interrupted.
    EXPECT_EQ(stop_line(cmd("finish")).rfind("stopped reason=step pc=" + hex("isr.back"), 0), 0u);
    const std::string out = stop_line(cmd("finish"));
    const unsigned pc = (unsigned)eval("PC");
    EXPECT_TRUE(pc == labels.at("idle") || pc == labels.at("idle") + 2) << out;
    EXPECT_EQ(cmd("bt").find("#1"), std::string::npos);
}

TEST_F(Console, CallStackFollowsAProgramThatPopsItsReturn)
{
    load(kSpin);
    cmd("break after");
    cmd("continue 1000");
    // The call's frame went with the two POPs.
    EXPECT_EQ(cmd("bt").find("#1"), std::string::npos) << cmd("bt");
    cmd("delete all");
    cmd("break drop");
    cmd("continue 1000");
    EXPECT_NE(cmd("bt").find("#1 call to " + hex("drop")), std::string::npos);
    // A return address changed on the stack (SP is 62h: register 98 holds
    // its low byte): the frame says so.
    ASSERT_EQ(eval("SP"), 0x62);
    cmd("set R98=12");
    EXPECT_NE(cmd("bt").find("the stack now returns to "), std::string::npos) << cmd("bt");
}

TEST_F(Console, HistoryNewestFirst)
{
    load(kCalls);
    EXPECT_NE(cmd("history").find("the history is off"), std::string::npos);
    cmd("history on");
    cmd("step 5");
    const std::string h = cmd("history 3");
    // reset: MOV, LDSP, CLR, CALL outer, CALL inner: newest first.
    const unsigned order[] = {labels.at("outer"), labels.at("main"), labels.at("main") - 2};
    size_t at = 0;
    for (unsigned pc : order) {
        const size_t found = h.find(" " + hex_of(pc) + " ", at);
        EXPECT_NE(found, std::string::npos) << h;
        at = found;
    }
    EXPECT_NE(h.find("CALL"), std::string::npos) << h;
    EXPECT_EQ(dbg_history_size(), 5u);

    // An interrupt entry is an entry of its own, not an instruction of the
    // program it interrupted (here an IDLE, whose next instruction runs
    // only after the routine).
    load(kIdle);
    cmd("history on");
    cmd("break sub");
    cmd("continue 100000");
    const std::string idle = cmd("history 6");
    const std::string newest_first[] = {
        hex("wake") + " 8E", "RETI", hex("isr") + " D3",
        hex("wake") + "          (INT2 -> " + hex("isr") + ")", hex("wake") + "          (idle x", hex("sleep") + " 01",
    };
    size_t from = 0;
    for (const std::string &text : newest_first) {
        const size_t line_end = idle.find('\n', from);
        ASSERT_NE(line_end, std::string::npos) << idle;
        EXPECT_NE(idle.substr(from, line_end - from).find(text), std::string::npos) << text << " in\n" << idle;
        from = line_end + 1;
    }
}

TEST_F(Console, BackInTime)
{
    load(kCalls);
    cmd("break inner");
    cmd("continue 1000");
    const std::string at = hex("inner"), pass = std::to_string(ovix_machine_passes());
    // One pass back: the call that entered it; forwards again: the same place.
    EXPECT_EQ(stop_line(cmd("reverse-step")).rfind("stopped reason=step pc=" + hex("outer") + " ", 0), 0u);
    EXPECT_NE(cmd("bt").find("#1 call to " + hex("outer")), std::string::npos);
    EXPECT_EQ(stop_line(cmd("step")).rfind("stopped reason=break pc=" + at, 0), 0u);
    cmd("continue 1000");
    cmd("continue 1000");
    // Back to the hits a forward run met, then to the start of the time.
    EXPECT_NE(stop_line(cmd("reverse-continue")).find("(going back, pass "), std::string::npos);
    EXPECT_NE(stop_line(cmd("reverse-continue")).find(" pass=" + pass + " "), std::string::npos);
    EXPECT_NE(cmd("reverse-continue").find("Went back to the start of the recorded time at " + hex("reset")),
              std::string::npos);
    EXPECT_NE(stop_line(cmd("goto " + pass)).find("Went forwards to " + at + " (pass " + pass + ")"), std::string::npos);
    EXPECT_EQ(cmd("timeline").rfind("timeline begin=0 end=", 0), 0u);
    for (const char *bad : {"goto", "goto x", "goto 99999999", "reverse-step 0", "reverse-next x"})
        EXPECT_EQ(cmd(bad).rfind("error: ", 0), 0u) << bad;
    // A change of the machine in the past drops the recorded future.
    cmd("goto 3");
    cmd("set R2=5");
    EXPECT_NE(cmd("timeline").find("end=3 present=3"), std::string::npos) << cmd("timeline");

    // Going back sees PASSES in a watchpoint's condition as the forward run
    // did (R2 = k is stored at pass 11k).
    load(kCalls);
    cmd("watch w C010 if PASSES > #21");
    EXPECT_NE(stop_line(cmd("continue 1000")).find(" pass=22 "), std::string::npos);
    EXPECT_NE(stop_line(cmd("continue 1000")).find(" pass=33 "), std::string::npos);
    EXPECT_NE(stop_line(cmd("reverse-continue")).find(" pass=22 "), std::string::npos);
}

TEST_F(Console, BackInTimeAcrossTheProgramsRequest)
{
    load(kRequest);
    EXPECT_EQ(stop_line(cmd("continue 2000")).rfind("stopped reason=debugger pc=" + hex("spin") + " pass=104 ", 0), 0u);
    cmd("continue 2000");
    // Each runs the recorded time again across the request, as the
    // recording went on past it.
    const struct {
        const char *before;   // a command first
        const char *travel;
        const char *pass;     // where it goes
    } travels[] = {
        {"", "reverse-step 1000", "1104"},
        {"", "goto 50", "50"},
        {"", "goto 1000", "1000"},   // forwards along the recorded future
        {"", "reverse-next", "999"},
        {"watch w R4 if R4==#100", "reverse-continue", "815"},   // R4 = k mod 256 at pass 103 + 2k
    };
    for (const auto &t : travels) {
        if (*t.before) cmd(t.before);
        const std::string stop = stop_line(cmd(t.travel));
        EXPECT_EQ(stop.rfind("stopped reason=", 0), 0u) << t.travel << ": " << stop;
        EXPECT_NE(stop.find(std::string(" pass=") + t.pass + " "), std::string::npos) << t.travel << ": " << stop;
    }
}

TEST_F(Console, BadInputIsOneLineError)
{
    load(kCalls);
    const char *bad[] = {
        "frobnicate",      "break",           "break nosuch",     "break 10000",      "break main hit 0",
        "break main if (", "watch x C000",    "watch C010-C000",  "watch v[8000]",    "delete 99",
        "delete x",        "step 0",          "step -1",          "continue 1x",      "mem",
        "mem 10000",       "mem 0 0",         "dasm 0 1001",      "eval",             "set A",
        "set A=100",       "set A+1=2",       "history x",        "load /nonexistent", "type %",
        "condition 5 A",   "source /nonexistent", "list x",       "regs x",
    };
    for (const char *b : bad) {
        const std::string r = cmd(b);
        EXPECT_EQ(r.rfind("error: ", 0), 0u) << b << " gave: " << r;
        EXPECT_EQ(r.find('\n'), r.size() - 1) << b << " gave: " << r;
    }
    // A long line and control characters.
    EXPECT_EQ(cmd(std::string(5000, 'x')).rfind("error: a command line is at most", 0), 0u);
    EXPECT_EQ(cmd("eval 1\x01").rfind("error: a command holds no control characters", 0), 0u);
    // Nothing changed: the machine is where it started.
    EXPECT_EQ(eval("PC"), labels.at("reset"));
}

TEST_F(Console, JsonRepliesAreOneObjectALine)
{
    load(kCalls);
    cs.json = true;
    const std::string b = cmd("break inner");
    EXPECT_EQ(b.find('\n'), b.size() - 1);
    EXPECT_NE(b.find("\"ok\":true"), std::string::npos) << b;
    EXPECT_NE(b.find("\"address\":" + std::to_string(labels.at("inner"))), std::string::npos) << b;
    const std::string stop = cmd("continue 1000");
    EXPECT_EQ(stop.find('\n'), stop.size() - 1);
    EXPECT_NE(stop.find("\"reason\":\"break\""), std::string::npos) << stop;
    EXPECT_NE(stop.find("\"pc\":" + std::to_string(labels.at("inner"))), std::string::npos) << stop;
    EXPECT_NE(cmd("frob").find("\"ok\":false"), std::string::npos);
}

}  // namespace

// The runner's options of the engine, through the program: the summary line
// names the stop and where, a bad option is a usage error, and --console
// reads a script from a pipe.
namespace {

const std::string kRunner = OVIX_BINARY_DIR "/tools/headless/ovix-headless";
const std::string kBios = OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
const std::string kSyms = OVIX_BINARY_DIR "/roms/bios/BIOS7020.sym";
const std::string kBiosDbg = OVIX_BINARY_DIR "/roms/bios/BIOS7020.dbg";
const std::string kIoAsm = OVIX_SOURCE_DIR "/roms/bios/io.asm";

// The line of io.asm that defines getbyte (FA26).
std::string getbyte_line()
{
    std::ifstream in(kIoAsm);
    std::string line;
    for (int n = 1; std::getline(in, line); n++)
        if (line.rfind("getbyte:", 0) == 0) return std::to_string(n);
    return "0";
}

struct run_output {
    int status;
    std::string out;
};

run_output run(const std::string &args, const std::string &input = "")
{
    const std::string cmd = (input.empty() ? std::string() : "printf '" + input + "' | ") + "'" + kRunner +
                            "' --bios '" + kBios + "' --symbols '" + kSyms + "' " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    run_output r{-1, ""};
    if (!p) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) r.out += buf;
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(RunnerOptions, StopsSayWhichAndWhere)
{
    struct {
        std::string args;
        const char *tail;   // the end of the summary line
    } cases[] = {
        {"--break getbyte", "stop=break point=1 pc=FA26\n"},
        {"--break getbyte:A==3:2", "stop=break point=1 pc=FA26\n"},
        {"--until-pc getbyte", "stop=pc\n"},
        {"--watch w:C000-C0FF:value==8", "stop=watch point=1 pc="},
        {"--watch rw:C000", "stop=watch point=1 pc="},
        {"--watch rw:RXBUF", "stop=watch point=1 pc="},   // a constant of the symbol file
        {"--break 0300 --instructions 1000", "stop=count\n"},
        {"--debug-info " + kBiosDbg + " --break " + kIoAsm + ":" + getbyte_line(), "stop=break point=1 pc=FA26\n"},
        {"--debug-info " + kBiosDbg + " --break " + kIoAsm + ":" + getbyte_line() + ":A==3:2", "stop=break point=1 pc=FA26\n"},
    };
    for (const auto &c : cases) {
        const run_output r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args << ": " << r.out;
        EXPECT_EQ(r.out.rfind("instructions=", 0), 0u) << c.args << ": " << r.out;
        EXPECT_NE(r.out.find(c.tail), std::string::npos) << c.args << ": " << r.out;
    }
}

TEST(RunnerOptions, BadOnesAreUsageErrors)
{
    struct {
        std::string args;
        const char *message;
    } cases[] = {
        {"--break nosuch", "--break nosuch: 'nosuch': at column 1: unknown name 'nosuch'"},
        {"--break getbyte:A=", "--break getbyte:A=: condition at column 2"},
        {"--break getbyte::0", "hit count '0'"},
        {"--watch x:C000", "--watch x:C000: 'x': at column 1: unknown name 'x'"},
        {"--watch w:C0FF-C000", "ends before it starts"},
        {"--until-pc nosuch", "--until-pc needs a hexadecimal address from 0 to FFFF or a label of --symbols, not nosuch"},
        {"--json", "--json goes with --console"},
        {"--debug-info nosuch.dbg", "Debug information not loaded: nosuch.dbg"},
        {"--debug-info " + kBiosDbg + " --break " + kIoAsm + ":x", "a line number (from 1) must follow the source file"},
        {"--debug-info " + kBiosDbg + " --break " + kIoAsm + ":0", "a line number (from 1) must follow the source file"},
        {"--debug-info " + kBiosDbg + " --break " + kIoAsm + ":999999", "no code at or after line 999999"},
    };
    for (const auto &c : cases) {
        const run_output r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.args << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << ": " << r.out;
        EXPECT_EQ(r.out.find("instructions="), std::string::npos) << c.args;
    }
}

// With a cartridge's debug information the run stops where the program
// runs into bytes no source line produced (here: after two NOPs).
TEST(RunnerOptions, RunningIntoTheFillStops)
{
    const std::string dir = make_temp_dir("runner_fill");
    ASSERT_TRUE(write_text(dir + "/fill.asm", "        ORG 6000h\nstart:  NOP\n        NOP\n        ORG 7FF0h\n"
                                              "        TEXT \"OVIXCART\"\n        DW start\n"));
    ASSERT_EQ(system(("cd '" + dir + "' && '" OVIX_BINARY_DIR "/tools/asm/ovix-asm' --cart 8K --debug-info fill.dbg "
                      "-o fill.rom fill.asm").c_str()), 0);
    const run_output with = run("--cart " + dir + "/fill.rom --debug-info " + dir + "/fill.dbg");
    EXPECT_NE(with.out.find(" stop=unwritten pc=6002\n"), std::string::npos) << with.out;
    const run_output without = run("--cart " + dir + "/fill.rom --instructions 400000");
    EXPECT_NE(without.out.find(" stop=count\n"), std::string::npos) << without.out;
}

// A movie recorded past the program's debugger request (the console went
// on after it) plays to its end, as the recording did.
TEST(RunnerOptions, AMoviePlaysPastTheProgramsRequest)
{
    const std::string dir = make_temp_dir("runner_play");
    ASSERT_TRUE(write_text(dir + "/req.asm", kRequest));
    ASSERT_EQ(system(("cd '" + dir + "' && '" OVIX_BINARY_DIR "/tools/asm/ovix-asm' --base F800 --size 2048 "
                      "-o req.bin req.asm").c_str()), 0);
    auto runner = [&](const std::string &args, const std::string &input) {
        const std::string cmd = "cd '" + dir + "' && printf '" + input + "' | '" + kRunner + "' --bios req.bin " + args + " 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        std::string out;
        char buf[512];
        while (p && fgets(buf, sizeof buf, p)) out += buf;
        if (p) pclose(p);
        return out;
    };
    const std::string recorded = runner("--console --record m.ovm", "continue 2000\\ncontinue 2000\\n");
    EXPECT_NE(recorded.find("stopped reason=debugger pc=F80B pass=104 "), std::string::npos) << recorded;
    const std::string played = runner("--play m.ovm", "");
    EXPECT_EQ(played.rfind("instructions=2104 ", 0), 0u) << played;
    EXPECT_NE(played.find(" stop=count\n"), std::string::npos) << played;
}

TEST(RunnerOptions, ConsoleReadsAPipe)
{
    const run_output r = run("--console", "break getbyte\\ncontinue\\nbt\\nquit\\nregs\\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("breakpoint 1 at FA26 (getbyte) hits=0\nok\nstopped reason=break pc=FA26 ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("#1 call to FA26 (getbyte)"), std::string::npos) << r.out;
    // Nothing after quit: its own "ok" is the last line.
    EXPECT_EQ(r.out.substr(r.out.size() - 6), "ok\nok\n") << r.out;
    EXPECT_EQ(r.out.find("regs pc="), std::string::npos) << r.out;
}

}  // namespace

namespace {

TEST(RunnerOptions, TimeStopsAtTheFirstPassThatReachesIt)
{
    for (const char *args : {"--cycles 100000", "--frames 1", "--seconds 0.02"}) {
        const run_output r = run(args);
        ASSERT_EQ(r.status, 0) << args << ": " << r.out;
        EXPECT_NE(r.out.find("stop=time"), std::string::npos) << r.out;
        const unsigned long long cycles = strtoull(r.out.c_str() + r.out.find("cycles=") + 7, nullptr, 10);
        const unsigned long long passes = strtoull(r.out.c_str() + 13, nullptr, 10);
        EXPECT_GE(cycles, 100000u) << args;
        EXPECT_LT(cycles, 100000u + 64) << args;
        // One pass fewer ends before it.
        const run_output shorter = run("--instructions " + std::to_string(passes - 1));
        EXPECT_LT(strtoull(shorter.out.c_str() + shorter.out.find("cycles=") + 7, nullptr, 10), 100000u) << args;
    }
    // The pass count still stops it when given, and comes first here.
    EXPECT_NE(run("--seconds 1 --instructions 10").out.find("instructions=10 "), std::string::npos);
}

}  // namespace
