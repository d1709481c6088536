// ovix-test, the unit-test runner of cartridges: the worked example's tests
// pass; every kind of assertion fails with its message, line and values;
// tests that hang, run into the fill, read the debug port, restart the
// machine or return elsewhere fail; TAP and JUnit XML; exit statuses and
// usage errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "asm.h"
#include "test_support.h"

namespace {

const std::string kRunner = std::string(OVIX_BINARY_DIR) + "/tools/testrunner/ovix-test";

struct Outcome {
    int status = -1;
    std::string out;
};

Outcome run(const std::string &args)
{
    Outcome r;
    FILE *p = popen((kRunner + " " + args + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Assembles `path` as an 8K cartridge into the folder `out`, with its
// debug information beside the image; returns the image's path.
std::string build(const std::string &path, const std::string &out)
{
    ovasm::Options o;
    o.cartridge = &ovasm::cartridge_sizes()[0];
    o.want_debug_info = true;
    const ovasm::Result r = ovasm::assemble_file(path, o);
    EXPECT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors[0]);
    const std::string stem = out + "/" + std::filesystem::path(path).stem().string();
    EXPECT_TRUE(write_file(stem + ".rom", r.image));
    EXPECT_TRUE(write_text(stem + ".dbg", r.debug_info));
    return stem + ".rom";
}

TEST(OvixTest, TheWorkedExamplesTestsPass)
{
    const std::string dir = make_temp_dir("ovix_test_example");
    const std::string rom = build(std::string(OVIX_SOURCE_DIR) + "/roms/example/example_test.asm", dir);
    const Outcome r = run(rom + " --junit " + dir + "/results.xml");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("TAP version 13\n1..8\nok 1 - test_locate\n", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("not ok"), std::string::npos) << r.out;
    const std::string xml = read_text(dir + "/results.xml");
    EXPECT_NE(xml.find(R"(<testsuite name="example_test" tests="8" failures="0")"), std::string::npos) << xml;
    EXPECT_NE(xml.find(R"(<testcase name="test_clear_time")"), std::string::npos) << xml;
}

// One test per way of failing, and one that passes.
const char kTests[] = R"(        INCLUDE "ovixtest.inc"
        ORG     6000h
start:  JMP     start
test_pass:
        MOV     #5,A
        ASSERT_EQ #5,A
        RETS
test_eq:
        MOV     #3,R20
        ASSERT_EQ #5,R20
        RETS
test_ne:
        MOV     #4,B
        ASSERT_NE B,B
        RETS
test_carry:
        CLRC
        ASSERT_C
        RETS
test_mem:
        MOV     #7,A
        STA     @0C100h
        ASSERT_MEM 0C100h,#6
        RETS
test_bytes:
        MOV     #7,A
        STA     @0C102h
        ASSERT_BYTES 0C100h,zeros,4
        RETS
test_slow:
        MOV     #200,R20
.wait:  DJNZ    R20,.wait
        ASSERT_CYCLES 100
        RETS
test_fail:
        ASSERT_FAIL
        RETS
test_hang:
        JMP     test_hang
test_fill:
        BR      @6F00h
test_port:
        MOVP    P37,A
        RETS
test_reset:
        BR      @0F800h
test_trap:
        TRAP    0
test_weeds:
        MOV     #5,B
        LDSP
        RETS
test_elsewhere:
        STSP
        MOV     B,R3
        CLR     R2
        LDA     *R3
        INC     A
        STA     *R3
        RETS
zeros:  DB      0,0,0,0
        ORG     7FF0h
        TEXT    "OVIXCART"
        DW      start
)";

TEST(OvixTest, EachFailureWithItsLineAndValues)
{
    const std::string dir = make_temp_dir("ovix_test_failures");
    ASSERT_TRUE(write_text(dir + "/t.asm", kTests));
    ASSERT_TRUE(write_text(dir + "/ovixtest.inc", read_text(std::string(OVIX_SOURCE_DIR) + "/roms/include/ovixtest.inc")));
    const std::string rom = build(dir + "/t.asm", dir);
    const Outcome r = run(rom + " --max-cycles 100000 --junit " + dir + "/r.xml");
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string t = dir + "/t.asm";
    const struct {
        const char *name;
        std::string report;   // what follows "ok N - name\n  ---\n"
    } cases[] = {
        {"test_pass", ""},
        {"test_eq", "  message: 'ASSERT_EQ: expected 05, found 03'\n  at: '" + t + ":10'\n  source: 'ASSERT_EQ #5,R20'\n"
                    "  expected: '05'\n  found: '03'\n"},
        {"test_ne", "  message: 'ASSERT_NE: found 04, expected another value'\n  at: '" + t + ":14'\n"},
        {"test_carry", "  message: 'ASSERT_C: C is clear'\n  at: '" + t + ":18'\n"},
        {"test_mem", "  message: 'ASSERT_MEM: the byte at C100 is 07, expected 06'\n  at: '" + t + ":23'\n"},
        {"test_bytes", "  message: 'ASSERT_BYTES: the byte at C102 is 07, expected 00 (the one at "},
        {"test_slow", "  message: 'ASSERT_CYCLES: "},
        {"test_fail", "  message: 'ASSERT_FAIL'\n  at: '" + t + ":36'\n"},
        {"test_hang", "  message: 'did not return within 100000 cycles (stopped at "},
        {"test_fill", "  message: 'executing a byte no source line produced at 6F00 (after label zeros)'\n"},
        {"test_port", "  message: 'Stopped: read of port 0125'\n  at: '" + t + ":43'\n"},   // the read's line
        // Tests that never return: the BIOS would start the cartridge at
        // its entry again, which is not the test's return.
        {"test_reset", "  message: 'went to the reset routine at F800 from 60C4: the machine would start again'\n  at: '" + t + ":46'\n"},
        {"test_trap", "  message: 'went to the reset routine at F800 from 60C7 (TRAP 0, the byte FF): the machine would start again'\n"
                      "  at: '" + t + ":48'\n"},
        {"test_weeds", "  message: 'moved the stack pointer below the runner''s return address without returning: SP=05 "
                       "(the return address is at 62-63), by the instruction at 60CA'\n  at: '" + t + ":51'\n"},
        {"test_elsewhere", "  message: 'returned to 6001 with SP=61, not to the runner''s return address 6000 with SP=61'\n"
                           "  at: '" + t + ":60'\n"},
    };
    int n = 0;
    for (const auto &c : cases) {
        n++;
        const std::string head = std::string(c.report.empty() ? "ok " : "not ok ") + std::to_string(n) + " - " + c.name + "\n  ---\n";
        const size_t at = r.out.find(head);
        ASSERT_NE(at, std::string::npos) << c.name << "\n" << r.out;
        EXPECT_EQ(r.out.compare(at + head.size(), c.report.size(), c.report), 0) << c.name << "\n" << r.out.substr(at, 400);
    }
    EXPECT_NE(r.out.find("1..15\n"), std::string::npos);
    // ASSERT_CYCLES passes within its bound: the runner reads the clock and goes on.
    EXPECT_NE(r.out.find("ASSERT_CYCLES: 18"), std::string::npos) << "about 1800 cycles: " << r.out;
    const std::string xml = read_text(dir + "/r.xml");
    EXPECT_NE(xml.find(R"(tests="15" failures="14")"), std::string::npos) << xml;
    EXPECT_NE(xml.find(R"(<failure message="ASSERT_EQ: expected 05, found 03" type="ASSERT_EQ">)" + t +
                       ":10: ASSERT_EQ #5,R20\nASSERT_EQ: expected 05, found 03</failure>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(R"(type="timeout")"), std::string::npos);

    // With the cycles to spare for the BIOS to start the cartridge again, a
    // test that resets the machine still fails: arriving at the entry after
    // a restart is no return.
    const Outcome reset = run(rom + " --filter test_reset");
    EXPECT_EQ(reset.status, 1) << reset.out;
    EXPECT_NE(reset.out.find("not ok 1 - test_reset\n  ---\n  message: 'went to the reset routine"), std::string::npos) << reset.out;

    // A filter and the list.
    Outcome one = run(rom + " --filter 'TEST_P*'");
    EXPECT_EQ(one.status, 1) << one.out;   // test_port fails
    EXPECT_NE(one.out.find("1..2\nok 1 - test_pass\n"), std::string::npos) << one.out;
    one = run(rom + " --filter test_pass --tap " + dir + "/one.tap");
    EXPECT_EQ(one.status, 0) << one.out;
    EXPECT_EQ(read_text(dir + "/one.tap"), "TAP version 13\n1..1\nok 1 - test_pass\n  ---\n  cycles: 28\n  ...\n");
    one = run(rom + " --list");
    EXPECT_EQ(one.out.rfind("test_pass 6002 " + t + ":4\n", 0), 0u) << one.out;
}

TEST(OvixTest, UsageAndInputErrors)
{
    const std::string dir = make_temp_dir("ovix_test_errors");
    ASSERT_TRUE(write_text(dir + "/plain.asm", "        ORG 6000h\nstart:  JMP start\n        ORG 7FF0h\n"
                                               "        TEXT \"OVIXCART\"\n        DW start\n"));
    const std::string plain = build(dir + "/plain.asm", dir);
    const struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"", 2, "CART is required"},
        {plain, 2, plain + ": no test routines (labels test_*)"},
        {plain + " --filter none", 2, "no test routines matching none"},
        {dir + "/none.rom", 2, dir + "/none.rom: no debug information beside it"},
        {plain + " --debug-info " + dir + "/plain.asm", 2, "ovix-test: " + dir + "/plain.asm: not JSON"},
        {plain + " --max-cycles 0", 2, "--max-cycles"},
        {"--help", 0, "ovix-test: runs the unit tests of a cartridge"},
    };
    for (const auto &c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
}

}  // namespace
