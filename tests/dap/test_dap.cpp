// The debug adapter driven as an editor drives it, over pipes: the
// protocol's checks (malformed and out-of-order messages), and whole
// sessions on a cartridge assembled here, by address (instruction,
// function and data breakpoints, stack, variables, evaluation, memory,
// disassembly, steps, pause, restart, terminate).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <sys/wait.h>

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

// n arrays, each inside the one before.
std::string nested(size_t n) { return std::string(n, '[') + std::string(n, ']'); }

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
        ASSERT_FALSE(m.is_null()) << k.bytes.substr(0, 200);
        EXPECT_EQ(m["type"], "response");
        EXPECT_FALSE(m["success"].get<bool>());
        EXPECT_EQ(m["message"], k.message) << k.bytes.substr(0, 200);
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
    // Arguments nested as deep as a message may go (64 levels with the
    // message and its arguments), one deeper, and 100000 deeper (which
    // overflowed the adapter's stack where the arguments were copied):
    // refused, answered by the request's seq, and the adapter goes on.
    const struct {
        size_t depth;
        const char *message;
    } deep[] = {
        {62, "launch: 'cart' is not a string"},
        {63, "malformed message: a message nested deeper than 64 levels"},
        {100000, "malformed message: a message nested deeper than 64 levels"},
    };
    for (const auto &k : deep) {
        c.raw(frame(R"({"seq":70,"type":"request","command":"launch","arguments":{"cart":5,"x":)" + nested(k.depth) + "}}"));
        json m = c.next();
        ASSERT_FALSE(m.is_null()) << k.depth << " levels: no answer";
        EXPECT_EQ(m["request_seq"], 70) << k.depth;
        EXPECT_EQ(m["message"], k.message) << k.depth;
    }
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

// What a client sends that the machine cannot take: refused with the
// reason, and the session goes on, each response its own request's.
TEST_F(Dap, HostileRequestsAreRefusedAndTheSessionGoesOn)
{
    launch({{"stopOnEntry", true}});
    ok("configurationDone");
    stopped();
    const std::string saved = dir + "/saved.ovs";
    auto lines = [](size_t n) { return json(std::vector<int>(n, 3)); };
    auto points = [](size_t n, const char *key, const std::function<json(size_t)> &value) {
        json list = json::array();
        for (size_t i = 0; i < n; i++) list.push_back({{key, value(i)}});
        return list;
    };
    auto at_line = [](size_t) { return json(3); };
    auto label = [](size_t) { return json("double"); };
    auto byte = [](size_t i) {
        char t[8];
        snprintf(t, sizeof t, "%04zX", 0xC000 + i);
        return json(t);
    };
    const json source = {{"path", dir + "/t.asm"}};
    const struct {
        const char *command;
        json args;
        std::string message;   // empty: answered with success
    } cases[] = {
        // A newline in the path made a second console command.
        {"setBreakpoints", {{"source", {{"path", dir + "/x\nsave " + saved}}}, {"breakpoints", points(1, "line", at_line)}},
         "setBreakpoints: the source path holds a control character"},
        {"setBreakpoints", {{"source", {{"path", dir + "/x\tand a tab.asm"}}}, {"breakpoints", points(1, "line", at_line)}}, ""},
        // Lines in range, as breakpoints[].line is.
        {"setBreakpoints", {{"source", source}, {"lines", {1000000000000000000ll}}},
         "setBreakpoints: 'lines' is 1000000000000000000, outside 1..100000000"},
        {"setBreakpoints", {{"source", source}, {"lines", {100000001}}}, "setBreakpoints: 'lines' is 100000001, outside 1..100000000"},
        {"setBreakpoints", {{"source", source}, {"lines", {100000000}}}, ""},
        {"setBreakpoints", {{"source", source}, {"lines", {0}}}, "setBreakpoints: 'lines' is 0, outside 1..100000000"},
        // No more than the machine keeps (256 breakpoints, 64 watchpoints).
        {"setBreakpoints", {{"source", source}, {"breakpoints", points(256, "line", at_line)}}, ""},
        {"setBreakpoints", {{"source", source}, {"breakpoints", points(257, "line", at_line)}},
         "setBreakpoints: 257 breakpoints in 'breakpoints'; the machine keeps at most 256"},
        {"setBreakpoints", {{"source", source}, {"lines", lines(257)}},
         "setBreakpoints: 257 breakpoints in 'lines'; the machine keeps at most 256"},
        {"setBreakpoints", {{"source", source}, {"breakpoints", points(100000, "line", at_line)}},
         "setBreakpoints: 100000 breakpoints in 'breakpoints'; the machine keeps at most 256"},
        {"setFunctionBreakpoints", {{"breakpoints", points(257, "name", label)}},
         "setFunctionBreakpoints: 257 breakpoints; the machine keeps at most 256"},
        {"setDataBreakpoints", {{"breakpoints", points(65, "dataId", byte)}}, "setDataBreakpoints: 65 breakpoints; the machine keeps at most 64"},
        {"setDataBreakpoints", {{"breakpoints", points(64, "dataId", byte)}}, ""},
        {"setDataBreakpoints", {{"breakpoints", json::array()}}, ""},
    };
    for (const auto &k : cases) {
        json r = c.request(k.command, k.args);
        ASSERT_FALSE(r.is_null()) << k.command << "\n" << c.transcript();
        if (k.message.empty()) {
            EXPECT_TRUE(r.value("success", false)) << k.command << ": " << r.dump().substr(0, 400);
            const size_t asked = k.args.contains("lines") ? k.args["lines"].size() : k.args["breakpoints"].size();
            EXPECT_EQ(r["body"]["breakpoints"].size(), asked) << k.command;
        } else {
            EXPECT_FALSE(r.value("success", true)) << k.command << ": " << r.dump().substr(0, 400);
            EXPECT_EQ(r.value("message", std::string()), k.message);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(saved));
    // Each answer is still its own request's.
    EXPECT_EQ(ok("evaluate", {{"expression", "1+1"}, {"context", "watch"}})["result"], "2 (#2)");
    EXPECT_EQ(pc(), 0x6000u);
    ok("disconnect");
}

// The edges of the CPU's space: bytes past FFFF are unreadable, at the
// address asked; no instruction lies past FFFF or before 0000.
TEST_F(Dap, TheEdgesOfTheSpace)
{
    launch({{"stopOnEntry", true}});
    ok("configurationDone");
    stopped();
    const struct {
        const char *reference;
        int count;
        const char *address;
        int unreadable;   // -1: none said
        size_t bytes;
    } reads[] = {
        {"0xFFFE", 2, "0xFFFE", -1, 2},
        {"0xFFFF", 3, "0xFFFF", 2, 1},
        {"0x10000", 4, "0x10000", 4, 0},
        {"0x12345", 1, "0x12345", 1, 0},
    };
    for (const auto &k : reads) {
        json b = ok("readMemory", {{"memoryReference", k.reference}, {"count", k.count}});
        EXPECT_EQ(b["address"], k.address) << k.reference;
        EXPECT_EQ(b.value("unreadableBytes", -1), k.unreadable) << k.reference;
        const std::string data = b.value("data", std::string());
        EXPECT_EQ(data.size() / 4 * 3 - std::count(data.begin(), data.end(), '='), k.bytes) << k.reference;
    }
    const struct {
        const char *reference;
        int offset, count;
    } listings[] = {
        {"0xFFFC", 0, 8},
        {"0xFFF0", 0, 12},
        {"0x0002", -6, 10},
        {"0x6000", -2, 6},
    };
    for (const auto &k : listings) {
        json list = ok("disassemble", {{"memoryReference", k.reference}, {"instructionOffset", k.offset}, {"instructionCount", k.count}})
                        ["instructions"];
        ASSERT_EQ(list.size(), (size_t)k.count) << k.reference;
        // The instructions in address order, the unknown ones only before
        // or after them.
        long last = -1;
        int known = 0;
        for (const json &in : list) {
            const long at = std::stol(in["address"].get<std::string>().substr(2), nullptr, 16);
            if (in.value("presentationHint", std::string()) == "invalid") {
                EXPECT_EQ(at, known ? 0xFFFF : 0) << k.reference << ": " << list.dump();
                continue;
            }
            EXPECT_GT(at, last) << k.reference << ": " << list.dump();
            last = at;
            known++;
        }
        EXPECT_GT(known, 0) << k.reference;
    }
    ok("disconnect");
}

// A launch that cannot give the machine what it asks fails at once.
TEST_F(Dap, LaunchesThatCannotBeCarriedOut)
{
    const struct {
        json args;
        std::string message;   // empty: launched
    } cases[] = {
        {{{"call", "nosuch"}}, "launch: cannot call nosuch: at column 1: unknown name 'nosuch'"},
        {{{"call", "double"}}, ""},
        {{{"call", "double"}, {"debugInfo", {dir + "/a\nsave " + dir + "/saved.ovs"}}},
         "launch: 'debugInfo' names a file whose path holds a control character"},
    };
    for (const auto &k : cases) {
        dap_test::client one;
        ASSERT_TRUE(one.start());
        ASSERT_TRUE(one.request("initialize", {{"adapterID", "ovix"}}).value("success", false));
        json args = k.args;
        args["cart"] = cart;
        json r = one.request("launch", args);
        ASSERT_FALSE(r.is_null()) << one.transcript();
        EXPECT_EQ(r.value("success", false), k.message.empty()) << r.dump();
        EXPECT_EQ(r.value("message", std::string()), k.message);
        one.request("disconnect");
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/saved.ovs"));
    c.request("disconnect");
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

namespace {

// The output of a shell command run in `cwd`, and its exit status.
std::pair<std::string, int> shell(const std::string &cwd, const std::string &command)
{
    FILE *p = popen(("cd '" + cwd + "' && " + command + " 2>&1").c_str(), "r");
    std::string out;
    if (!p) return {out, -1};
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = pclose(p);
    return {out, WIFEXITED(st) ? WEXITSTATUS(st) : -1};
}

std::string replaced(std::string text, const std::string &what, const std::string &by)
{
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + by.size())) text.replace(at, what.size(), by);
    return text;
}

// The first line of a file that starts with `start` (from 1), 0 when none does.
int line_of(const std::string &path, const std::string &start)
{
    std::istringstream in(read_text(path));
    std::string s;
    for (int n = 1; std::getline(in, s); n++)
        if (s.rfind(start, 0) == 0) return n;
    return 0;
}

}  // namespace

// The worked example as its own editor settings build, test and debug it:
// the sources at the root of the workspace, the outputs in build/ (the
// tasks assemble from the root, the launch takes the cartridge from
// build/). The source paths of the debug information are the sources at
// the root, whoever reads them from wherever: the adapter (whose machine
// runs in build/) and ovix-test started from another folder.
TEST(DapExample, TheExamplesOwnSettingsWorkAsWritten)
{
    namespace fs = std::filesystem;
    // The tasks run our programs from the PATH.
    const std::string bin = OVIX_BINARY_DIR;
    setenv("PATH", (bin + "/tools/asm:" + bin + "/tools/testrunner:" + getenv("PATH")).c_str(), 1);
    const std::string root = make_temp_dir("dap_example");
    const std::string ws = root + "/example";   // beside include/, as in the source tree
    const std::string src = std::string(OVIX_SOURCE_DIR) + "/roms";
    fs::create_directories(ws + "/.vscode");
    fs::create_directories(root + "/include");
    for (const char *f : {"example.asm", "example_test.asm", ".vscode/tasks.json", ".vscode/launch.json"})
        fs::copy_file(src + "/example/" + f, ws + "/" + f);
    fs::copy_file(src + "/include/ovixtest.inc", root + "/include/ovixtest.inc");
    const json tasks = json::parse(read_text(ws + "/.vscode/tasks.json"))["tasks"];
    const json launch = json::parse(read_text(ws + "/.vscode/launch.json"));
    std::function<void(const std::string &)> run_task = [&](const std::string &label) {
        for (const json &t : tasks) {
            if (t["label"] != label) continue;
            if (t.contains("dependsOn")) run_task(t["dependsOn"]);
            const std::string cwd = replaced(t["options"]["cwd"], "${workspaceFolder}", ws);
            const auto [out, status] = shell(cwd, t["command"]);
            ASSERT_EQ(status, 0) << label << ": " << out;
            return;
        }
        FAIL() << "no task " << label;
    };
    const std::string example = ws + "/example.asm", example_test = ws + "/example_test.asm";
    const int loop_line = line_of(example, "loop:");
    ASSERT_GT(loop_line, 0);

    // Each launch configuration: the cartridge stops at its entry (or at
    // the test it calls) in a source at the root, and a breakpoint on a
    // line of the root's example.asm is verified and stops there.
    const struct {
        const char *name;
        std::string entry_file;
    } configurations[] = {
        {"Debug the example", example},
        {"Debug one of the example's tests", example_test},
    };
    for (const auto &k : configurations) {
        json config;
        for (const json &c : launch["configurations"])
            if (c["name"] == k.name) config = json::parse(replaced(c.dump(), "${workspaceFolder}", ws));
        ASSERT_FALSE(config.is_null()) << k.name;
        for (const json &input : launch.value("inputs", json::array()))
            config = json::parse(replaced(config.dump(), "${input:" + input["id"].get<std::string>() + "}", input["default"]));
        run_task(config["preLaunchTask"]);
        dap_test::client c;
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(c.request("initialize", {{"adapterID", "ovix"}}).value("success", false));
        json r = c.request("launch", config);
        ASSERT_TRUE(r.value("success", false)) << k.name << ": " << r.dump();
        json b = c.request("setBreakpoints", {{"source", {{"path", example}}}, {"breakpoints", {{{"line", loop_line}}}}});
        ASSERT_TRUE(b["body"]["breakpoints"][0]["verified"].get<bool>()) << k.name << ": " << b.dump();
        c.request("configurationDone");
        json s = c.event("stopped");
        ASSERT_EQ(s["body"]["reason"], "entry") << c.transcript();
        json frame = c.request("stackTrace", {{"threadId", 1}})["body"]["stackFrames"][0];
        EXPECT_EQ(frame["source"]["path"], k.entry_file) << k.name << ": " << frame.dump();
        if (k.entry_file == example) {
            c.request("continue", {{"threadId", 1}});
            s = c.event("stopped");
            EXPECT_EQ(s["body"]["reason"], "breakpoint") << c.transcript();
            frame = c.request("stackTrace", {{"threadId", 1}})["body"]["stackFrames"][0];
            EXPECT_EQ(frame["source"]["path"], example) << frame.dump();
            EXPECT_EQ(frame["line"], loop_line) << frame.dump();
        }
        c.request("disconnect");
    }

    // The tests' task, then ovix-test from the folder above: the tests'
    // places are the sources at the root of the workspace.
    for (const json &t : tasks)
        if (t.value("group", json()).is_object() && t["group"].value("kind", "") == "test") run_task(t["label"]);
    const auto [listed, status] = shell(root, "ovix-test example/build/example_test.rom --list");
    ASSERT_EQ(status, 0) << listed;
    // "test_locate 6xxx FILE:LINE", a line per test.
    std::istringstream lines(listed);
    int tests = 0;
    for (std::string l; std::getline(lines, l); tests++) {
        const size_t file = l.rfind(' ') + 1;
        EXPECT_EQ(l.substr(file, l.rfind(':') - file), example_test) << l;
    }
    EXPECT_EQ(tests, 8) << listed;
}
