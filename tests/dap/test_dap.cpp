// The debug adapter driven as an editor drives it, over pipes: the
// protocol's checks (malformed and out-of-order messages), and whole
// sessions on a cartridge assembled here, by address (instruction,
// function and data breakpoints, stack, variables, evaluation, memory,
// disassembly, steps, pause, restart, terminate).
#include <gtest/gtest.h>

#include <string>

#include "asm.h"
#include "dap_client.h"
#include "test_support.h"

namespace {

using dap_test::json;

// Counts in R20 and doubles through a call; `spin` never ends.
const char kCart[] = R"(
COUNT   EQU     R20
        ORG     6000h
start:  CLR     COUNT
loop:   INC     COUNT
        MOV     COUNT,A
        CALL    double
        STA     @0C100h
        JMP     loop
double: ADD     A,A
        RETS
spin:   JMP     spin
        ORG     7FF0h
        TEXT    "OVIXCART"
        DW      start
)";

struct Dap : ::testing::Test {
    dap_test::client c;
    std::string dir, cart;

    void SetUp() override
    {
        dir = make_temp_dir("dap_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        ovasm::Options o;
        o.has_base = o.has_size = true;
        o.base = 0x6000;
        o.size = 8192;
        const ovasm::Result r = ovasm::assemble_text("t.asm", kCart, o);
        ASSERT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors[0]);
        cart = dir + "/t.rom";
        ASSERT_TRUE(write_file(cart, r.image));
        ASSERT_TRUE(write_text(dir + "/t.sym", ovasm::symbol_file_text(r)));
        ASSERT_TRUE(c.start());
    }

    json ok(const std::string &command, const json &args = json())
    {
        json r = c.request(command, args);
        EXPECT_TRUE(r.value("success", false)) << command << ": " << r.dump() << "\n" << c.transcript();
        return r.value("body", json::object());
    }

    std::string failed(const std::string &command, const json &args = json())
    {
        json r = c.request(command, args);
        EXPECT_FALSE(r.is_null()) << command << "\n" << c.transcript();
        EXPECT_FALSE(r.value("success", true)) << command << ": " << r.dump();
        return r.value("message", std::string());
    }

    // initialize, launch, the initialized event.
    void launch(json args)
    {
        ok("initialize", {{"adapterID", "ovix"}, {"linesStartAt1", true}, {"pathFormat", "path"}});
        args["cart"] = cart;
        ok("launch", args);
        ASSERT_FALSE(c.event("initialized").is_null()) << c.transcript();
    }

    json stopped()
    {
        json e = c.event("stopped");
        EXPECT_FALSE(e.is_null()) << c.transcript();
        return e.value("body", json::object());
    }

    unsigned pc()
    {
        json b = ok("stackTrace", {{"threadId", 1}});
        return std::stoul(b["stackFrames"][0]["instructionPointerReference"].get<std::string>().substr(2), nullptr, 16);
    }
};

TEST_F(Dap, MalformedAndOutOfOrderMessagesGetErrorResponses)
{
    // Before initialize; an unknown request; a message that is not a request.
    EXPECT_NE(failed("threads").find("initialize first"), std::string::npos);
    auto frame = [](const std::string &body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body; };
    const struct {
        std::string bytes;
        const char *message;
    } cases[] = {
        {frame("not json"), "malformed message: a message that is not JSON"},
        {frame("[]"), "malformed message: a message that is not a JSON object"},
        {"Content-Length: x\r\n\r\n", "malformed message: Content-Length is not a number"},
        {"Content-Type: a\r\n\r\n", "malformed message: a message header without Content-Length"},
        {"Content-Length: 99999999999\r\n\r\n", "malformed message: a message longer than 16 MiB"},
        {frame(R"({"seq":5,"type":"request"})"), "malformed message: a request without a 'command'"},
        {frame(R"({"seq":6,"type":"event","command":"threads"})"),
         "malformed message: a message of type 'event' (the adapter takes requests)"},
        {frame(R"({"seq":7,"type":"request","command":"next","arguments":[1]})"), "malformed message: 'arguments' is not an object"},
    };
    for (const auto &k : cases) {
        c.raw(k.bytes);
        json m = c.next();
        ASSERT_FALSE(m.is_null()) << k.bytes;
        EXPECT_EQ(m["type"], "response");
        EXPECT_FALSE(m["success"].get<bool>());
        EXPECT_EQ(m["message"], k.message) << k.bytes;
        if (k.bytes.find("\"seq\":7") != std::string::npos) {
            EXPECT_EQ(m["request_seq"], 7);
        }
    }
    // The adapter still answers, and keeps the order of things.
    json caps = ok("initialize", {{"adapterID", "ovix"}});
    for (const char *yes : {"supportsConfigurationDoneRequest", "supportsConditionalBreakpoints", "supportsHitConditionalBreakpoints",
                            "supportsFunctionBreakpoints", "supportsDataBreakpoints", "supportsInstructionBreakpoints",
                            "supportsReadMemoryRequest", "supportsWriteMemoryRequest", "supportsDisassembleRequest",
                            "supportsSetVariable", "supportsEvaluateForHovers", "supportsRestartRequest", "supportsTerminateRequest"})
        EXPECT_TRUE(caps.value(yes, false)) << yes;
    EXPECT_TRUE(caps.value("supportsStepBack", false));
    EXPECT_NE(failed("initialize").find("already initialized"), std::string::npos);
    EXPECT_NE(failed("frobnicate").find("unknown request 'frobnicate'"), std::string::npos);
    EXPECT_NE(failed("stackTrace", {{"threadId", 1}}).find("launch first"), std::string::npos);
    EXPECT_NE(failed("launch", {{"cart", dir + "/none.rom"}}).find("none.rom"), std::string::npos);
    EXPECT_NE(failed("launch", {{"cart", 5}}).find("'cart' is not a string"), std::string::npos);
    ok("launch", {{"cart", cart}});
    EXPECT_NE(failed("launch", {{"cart", cart}}).find("already launched"), std::string::npos);
    EXPECT_NE(failed("stackTrace", {{"threadId", "one"}}).find("'threadId' is not an integer"), std::string::npos);
    EXPECT_NE(failed("readMemory", {{"memoryReference", "zz"}, {"count", 1}}).find("not a memory reference"), std::string::npos);
    ok("disconnect");
    c.stop();
    EXPECT_TRUE(WIFEXITED(c.exit_status()) && WEXITSTATUS(c.exit_status()) == 0);
}

TEST_F(Dap, ASessionByAddresses)
{
    launch({{"stopOnEntry", true}});
    ok("setExceptionBreakpoints", {{"filters", json::array()}});
    ok("configurationDone");
    EXPECT_EQ(stopped()["reason"], "entry");
    EXPECT_EQ(pc(), 0x6000u);

    // An instruction breakpoint at double, hit on its 2nd time.
    json bps = ok("setInstructionBreakpoints", {{"breakpoints", {{{"instructionReference", "0x600E"}, {"hitCondition", "2"}}}}});
    ASSERT_TRUE(bps["breakpoints"][0]["verified"].get<bool>());
    ok("continue", {{"threadId", 1}});
    json s = stopped();
    EXPECT_EQ(s["reason"], "instruction breakpoint");
    EXPECT_EQ(s["hitBreakpointIds"], json::array({bps["breakpoints"][0]["id"]}));
    json frames = ok("stackTrace", {{"threadId", 1}})["stackFrames"];
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0]["name"], "double");
    EXPECT_EQ(frames[1]["name"], "loop+4");   // the call
    EXPECT_EQ(frames[1]["instructionPointerReference"], "0x6006");

    // Registers, evaluation, hover on a label of the symbol file.
    json scopes = ok("scopes", {{"frameId", 1}})["scopes"];
    ASSERT_EQ(scopes.size(), 5u);
    json regs = ok("variables", {{"variablesReference", scopes[0]["variablesReference"]}})["variables"];
    EXPECT_EQ(regs[0]["name"], "A");
    EXPECT_EQ(regs[0]["value"], "02");   // COUNT's second value
    EXPECT_EQ(ok("evaluate", {{"expression", "A*3+R20"}, {"context", "watch"}})["result"], "8 (#8)");
    EXPECT_EQ(ok("evaluate", {{"expression", "[loop]"}, {"context", "watch"}})["result"], "D3 (#211)");
    EXPECT_NE(failed("evaluate", {{"expression", "nosuch+1"}}).find("unknown name 'nosuch'"), std::string::npos);
    EXPECT_EQ(ok("setVariable", {{"variablesReference", 1}, {"name", "B"}, {"value", "#10"}})["value"], "0A");
    json pf = ok("variables", {{"variablesReference", scopes[2]["variablesReference"]}})["variables"];
    EXPECT_EQ(pf[0]["name"], "P0 IOCNT0");

    // Step out: back after the call, one frame less.
    ok("stepOut", {{"threadId", 1}});
    EXPECT_EQ(stopped()["reason"], "step");
    EXPECT_EQ(pc(), 0x6009u);

    // A function breakpoint replaces nothing of the instruction kind's: both stop.
    ok("setInstructionBreakpoints", {{"breakpoints", json::array()}});
    json fb = ok("setFunctionBreakpoints", {{"breakpoints", {{{"name", "double"}}, {{"name", "nolabel"}}}}})["breakpoints"];
    EXPECT_TRUE(fb[0]["verified"].get<bool>());
    EXPECT_FALSE(fb[1]["verified"].get<bool>());
    EXPECT_NE(fb[1].value("message", std::string()).find("not a label"), std::string::npos);
    ok("continue", {{"threadId", 1}});
    EXPECT_EQ(stopped()["reason"], "function breakpoint");
    ok("setFunctionBreakpoints", {{"breakpoints", json::array()}});

    // A data breakpoint on the byte the loop stores, when it becomes 06.
    json info = ok("dataBreakpointInfo", {{"name", "[C100]"}});
    EXPECT_EQ(info["dataId"], "C100");
    ok("setDataBreakpoints", {{"breakpoints", {{{"dataId", "C100"}, {"accessType", "write"}, {"condition", "value == 6"}}}}});
    ok("continue", {{"threadId", 1}});
    s = stopped();
    EXPECT_EQ(s["reason"], "data breakpoint");
    EXPECT_NE(s["description"].get<std::string>().find("C100 written by 6009, 04 -> 06"), std::string::npos) << s;
    ok("setDataBreakpoints", {{"breakpoints", json::array()}});

    // Memory read and written back, the disassembly around the pc.
    json mem = ok("readMemory", {{"memoryReference", "0xC100"}, {"count", 1}});
    EXPECT_EQ(mem["data"], "Bg==");   // 06
    ok("writeMemory", {{"memoryReference", "0xC100"}, {"data", "qrs="}});   // AA BB
    EXPECT_EQ(ok("readMemory", {{"memoryReference", "0xC0FF"}, {"offset", 1}, {"count", 2}})["data"], "qrs=");
    mem = ok("readMemory", {{"memoryReference", "0xFFFF"}, {"count", 3}});
    EXPECT_EQ(mem["unreadableBytes"], 2);
    json dis = ok("disassemble", {{"memoryReference", "0x6006"}, {"instructionOffset", -2}, {"instructionCount", 4}})["instructions"];
    ASSERT_EQ(dis.size(), 4u);
    EXPECT_EQ(dis[0]["address"], "0x6002");
    EXPECT_EQ(dis[2]["instruction"], "CALL double");
    EXPECT_EQ(dis[2]["instructionBytes"], "8E600E");   // double: ADD R0,A, RETS; spin at 6011

    // Pause a program that never stops, then restart it to its entry.
    ok("setVariable", {{"variablesReference", 1}, {"name", "PC"}, {"value", "spin"}});
    ok("continue", {{"threadId", 1}});
    ok("pause", {{"threadId", 1}});
    s = stopped();
    EXPECT_EQ(s["reason"], "pause");
    EXPECT_EQ(pc(), 0x6011u);
    ok("restart");
    EXPECT_EQ(stopped()["reason"], "entry");
    EXPECT_EQ(pc(), 0x6000u);
    ok("terminate");
    EXPECT_FALSE(c.event("terminated").is_null());
    ok("disconnect");
}

TEST_F(Dap, OnAPortOneSessionAfterAnother)
{
    // --port 0: the adapter prints the port it took on the loopback address
    // and serves a session on each connection, one after another.
    dap_test::client t;
    ASSERT_TRUE(t.start_tcp()) << t.listening();
    for (int session = 0; session < 2; session++) {
        if (session > 0) {
            ASSERT_TRUE(t.connect_tcp()) << "second connection";
        }
        json init = t.request("initialize", {{"adapterID", "ovix"}});
        ASSERT_TRUE(init.value("success", false)) << session << ": " << init.dump();
        ASSERT_TRUE(t.request("launch", {{"cart", cart}, {"stopOnEntry", true}}).value("success", false)) << t.transcript();
        ASSERT_FALSE(t.event("initialized").is_null()) << t.transcript();
        ASSERT_TRUE(t.request("configurationDone").value("success", false)) << t.transcript();
        json stop = t.event("stopped");
        EXPECT_EQ(stop["body"]["reason"], "entry") << t.transcript();
        json frames = t.request("stackTrace", {{"threadId", 1}})["body"]["stackFrames"];
        ASSERT_FALSE(frames.empty()) << t.transcript();
        EXPECT_EQ(frames[0]["instructionPointerReference"], "0x6000");
        EXPECT_TRUE(t.request("disconnect").value("success", false)) << t.transcript();
    }
}

TEST_F(Dap, ChangesWhileRunningAndAMachineThatCannotStart)
{
    launch({});
    ok("configurationDone");   // runs
    // A breakpoint set while the machine runs stops it there.
    ok("setInstructionBreakpoints", {{"breakpoints", {{{"instructionReference", "0x600E"}}}}});
    EXPECT_EQ(stopped()["reason"], "instruction breakpoint");
    EXPECT_EQ(pc(), 0x600Eu);
    // A file the debug information does not name (only the BIOS's is
    // loaded) is refused, said in the breakpoint.
    json b = ok("setBreakpoints", {{"source", {{"path", dir + "/t.asm"}}}, {"breakpoints", {{{"line", 3}}}}})["breakpoints"];
    EXPECT_FALSE(b[0]["verified"].get<bool>());
    EXPECT_NE(b[0].value("message", std::string()).find("is not a source file of the debug information"), std::string::npos) << b;
    ok("disconnect");
    c.stop();

    dap_test::client other;
    ASSERT_TRUE(other.start());
    json r = other.request("initialize", {{"adapterID", "ovix"}});
    ASSERT_TRUE(r["success"].get<bool>());
    r = other.request("launch", {{"cart", cart}, {"bios", dir + "/t.sym"}});   // not a BIOS image
    EXPECT_FALSE(r["success"].get<bool>());
    EXPECT_NE(r["message"].get<std::string>().find("the machine did not start: Memory initialization failed"), std::string::npos)
        << r;
}

// A cartridge in two files: main.asm calls BUMP (a macro of its own) and
// double, which lib.inc (included) holds; assembled here with its debug
// information, as ovix-asm --debug-info writes it.
const char kMain[] = R"(BUMP    MACRO reg
        INC     reg
        INC     reg
        ENDM
COUNT   EQU     R20
        ORG     6000h
start:  CLR     COUNT
loop:   BUMP    COUNT
        MOV     COUNT,A
        CALL    double
        STA     @0C100h
        JMP     loop
        INCLUDE "lib.inc"
        ORG     7FF0h
        TEXT    "OVIXCART"
        DW      start
)";
const char kLib[] = R"(; double: A = A + A
double: ADD     A,A
        RETS
)";

struct DapSource : Dap {
    std::string main_asm, lib;

    void SetUp() override
    {
        Dap::SetUp();
        main_asm = dir + "/main.asm";
        lib = dir + "/lib.inc";
        ASSERT_TRUE(write_text(main_asm, kMain));
        ASSERT_TRUE(write_text(lib, kLib));
        ovasm::Options o;
        o.cartridge = &ovasm::cartridge_sizes()[0];   // 8K
        o.want_debug_info = true;
        const ovasm::Result r = ovasm::assemble_file(main_asm, o);
        ASSERT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors[0]);
        cart = dir + "/game.rom";
        ASSERT_TRUE(write_file(cart, r.image));
        ASSERT_TRUE(write_text(dir + "/game.dbg", r.debug_info));   // found beside the cartridge
    }

    // The top frame's file and line.
    std::pair<std::string, int> where()
    {
        json f = ok("stackTrace", {{"threadId", 1}})["stackFrames"][0];
        return {f.contains("source") ? f["source"]["path"].get<std::string>() : "", f["line"].get<int>()};
    }
};

TEST_F(DapSource, ASessionBySourceLines)
{
    launch({{"stopOnEntry", true}});
    ok("configurationDone");
    EXPECT_EQ(stopped()["reason"], "entry");
    EXPECT_EQ(where(), std::make_pair(main_asm, 7));

    // A breakpoint on a line of the included file; one on a line without
    // code moves to the next that has some; one past the end is refused.
    json b = ok("setBreakpoints", {{"source", {{"path", lib}}}, {"breakpoints", {{{"line", 2}}, {{"line", 1}}, {{"line", 9}}}}})
                 ["breakpoints"];
    ASSERT_EQ(b.size(), 3u);
    EXPECT_TRUE(b[0]["verified"].get<bool>());
    EXPECT_EQ(b[1]["line"], 2);
    EXPECT_FALSE(b[2]["verified"].get<bool>());
    ok("continue", {{"threadId", 1}});
    json s = stopped();
    EXPECT_EQ(s["reason"], "breakpoint");
    json frames = ok("stackTrace", {{"threadId", 1}})["stackFrames"];
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0]["source"]["path"], lib);
    EXPECT_EQ(frames[0]["line"], 2);
    EXPECT_EQ(frames[0]["name"], "double");
    EXPECT_EQ(frames[1]["source"]["path"], main_asm);
    EXPECT_EQ(frames[1]["line"], 10);   // the call

    // Variables and hover: A holds COUNT after BUMP; the register name and
    // the label read as what they stand for.
    json regs = ok("variables", {{"variablesReference", 1}})["variables"];
    EXPECT_EQ(regs[0]["value"], "02");
    json names = ok("variables", {{"variablesReference", 5}})["variables"];
    bool count_seen = false;
    for (const json &v : names) count_seen |= v["name"] == "COUNT" && v["value"] == "R20 = 02";
    EXPECT_TRUE(count_seen) << names;
    EXPECT_EQ(ok("evaluate", {{"expression", "COUNT"}, {"context", "hover"}})["result"], "R20 = 02");
    EXPECT_EQ(ok("evaluate", {{"expression", "double"}, {"context", "hover"}})["result"], "6010 (label; holds 18 00)");
    EXPECT_EQ(ok("evaluate", {{"expression", "R20 * #3"}, {"context", "watch"}})["result"], "6 (#6)");

    // Step out to the caller's next line, then over lines: the macro call is one.
    ok("setBreakpoints", {{"source", {{"path", lib}}}, {"breakpoints", json::array()}});
    ok("stepOut", {{"threadId", 1}});
    EXPECT_EQ(stopped()["reason"], "step");
    EXPECT_EQ(where(), std::make_pair(main_asm, 11));
    const int lines[] = {12, 8, 9, 10};
    for (int line : lines) {
        ok("next", {{"threadId", 1}});
        EXPECT_EQ(stopped()["reason"], "step");
        EXPECT_EQ(where(), std::make_pair(main_asm, line));
    }
    EXPECT_EQ(ok("evaluate", {{"expression", "COUNT"}, {"context", "hover"}})["result"], "R20 = 04");
    ok("stepIn", {{"threadId", 1}});
    stopped();
    EXPECT_EQ(where(), std::make_pair(lib, 2));
    ok("stepIn", {{"threadId", 1}, {"granularity", "instruction"}});
    stopped();
    EXPECT_EQ(where(), std::make_pair(lib, 3));

    // A data breakpoint on COUNT, from the Symbols scope.
    json info = ok("dataBreakpointInfo", {{"name", "COUNT"}, {"variablesReference", 5}});
    EXPECT_EQ(info["dataId"], "0014");
    ok("setDataBreakpoints", {{"breakpoints", {{{"dataId", "0014"}, {"accessType", "write"}}}}});
    ok("continue", {{"threadId", 1}});
    s = stopped();
    EXPECT_EQ(s["reason"], "data breakpoint");
    EXPECT_NE(s["description"].get<std::string>().find("0014 written by 6002, 04 -> 05"), std::string::npos) << s;
    EXPECT_EQ(where(), std::make_pair(main_asm, 8));

    // Back in time: to the start of the line before (JMP loop), then back
    // to the last write of COUNT (the macro's second INC, a turn before;
    // the stop is after it, at line 9).
    ok("stepBack", {{"threadId", 1}});
    EXPECT_EQ(stopped()["reason"], "step");
    EXPECT_EQ(where(), std::make_pair(main_asm, 12));
    ok("reverseContinue", {{"threadId", 1}});
    s = stopped();
    EXPECT_EQ(s["reason"], "data breakpoint") << s;
    EXPECT_EQ(where(), std::make_pair(main_asm, 9));
    EXPECT_EQ(ok("evaluate", {{"expression", "COUNT"}, {"context", "hover"}})["result"], "R20 = 04");
    ok("disconnect");
}

TEST_F(DapSource, RunningIntoTheFillStopsAsAnException)
{
    launch({{"stopOnEntry", true}});
    ok("setExceptionBreakpoints", {{"filters", {"unwritten"}}});
    ok("configurationDone");
    stopped();
    ok("setVariable", {{"variablesReference", 1}, {"name", "PC"}, {"value", "6020"}});   // past lib.inc's RETS
    ok("setVariable", {{"variablesReference", 1}, {"name", "PC"}, {"value", "double"}});
    ok("setVariable", {{"variablesReference", 2}, {"name", "R20"}, {"value", "0"}});
    // RETS from double with nothing pushed returns into the fill.
    ok("setVariable", {{"variablesReference", 1}, {"name", "SP"}, {"value", "10"}});
    ok("setVariable", {{"variablesReference", 2}, {"name", "R15"}, {"value", "60"}});
    ok("setVariable", {{"variablesReference", 2}, {"name", "R16"}, {"value", "20"}});
    ok("continue", {{"threadId", 1}});
    json s = stopped();
    EXPECT_EQ(s["reason"], "exception");
    EXPECT_EQ(s["text"], "executing a byte no source line produced at 6020 (after label double)");
    ok("disconnect");
}

TEST_F(DapSource, OneUnitTestCalled)
{
    // The routine `double` called at the entry, as ovix-test calls a test.
    launch({{"stopOnEntry", true}, {"call", "double"}});
    ok("configurationDone");
    EXPECT_EQ(stopped()["reason"], "entry");
    EXPECT_EQ(where(), std::make_pair(lib, 2));
    ok("continue", {{"threadId", 1}});
    json s = stopped();
    EXPECT_EQ(s["reason"], "breakpoint");   // back at the entry
    EXPECT_EQ(where(), std::make_pair(main_asm, 7));
    ok("disconnect");
}

}  // namespace
