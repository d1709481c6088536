// The headless runner as a program: error paths, the summary line and its
// stop reasons, the state dump, the screenshot and the listing trace. Each
// case runs the built binary in a folder of its own with a hand-assembled
// BIOS image.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <regex>
#include <sstream>

#include "test_headless_util.h"
#include "test_support.h"

namespace {

const std::string BINARY = OVIX_BINARY_DIR "/tools/headless/ovix-headless";

// A 2048-byte BIOS image: the program at 0xF800, the reset vector to it.
std::vector<uint8> bios(std::initializer_list<uint8> program)
{
    std::vector<uint8> img(2048, 0x00);
    std::copy(program.begin(), program.end(), img.begin());
    img[0x7FE] = 0xF8;
    img[0x7FF] = 0x00;
    return img;
}

const std::initializer_list<uint8> NOP_LOOP = {0x00, 0x00, 0xE0, 0xFC};   // NOP NOP JMP back: 4+4+7
const std::initializer_list<uint8> SPIN = {0xE0, 0xFE};                   // JMP $: 7
const std::initializer_list<uint8> READ_VDP_REG = {0x00, 0x8A, 0x01, 0x25};   // NOP; LDA @0125 (debugger request)
const std::initializer_list<uint8> BR_FFFF = {0x8C, 0xFF, 0xFF};          // BR @FFFF: 10
const std::initializer_list<uint8> BR_6000 = {0x8C, 0x60, 0x00};          // into the cartridge

// Start-up handshake with the I/O processor, a few video and RAM writes,
// then JMP $.
const std::initializer_list<uint8> HANDSHAKE = {
    0xA2, 0x01, 0x06,         // MOVP %1,P6: B0 up, "init" -> "init2"
    0xA7, 0x02, 0x00, 0xFC,   // BTJZP %2,P0,$: wait for the INT1 flag of "init3"
    0x72, 0x64, 0x02,         // MOV %100,R2
    0xDA, 0x02, 0xFD,         // DJNZ R2,$: let "init4" come
    0xA2, 0x03, 0x06,         // MOVP %3,P6: B1 up -> "wait_ack1"
    0xA2, 0x02, 0x06,         // MOVP %2,P6: B0 down -> "ready"
    0xA2, 0x06, 0x2D,         // video: select CM3
    0xA2, 0x80, 0x2D,         //   CM3 = 0x80, bitmap page
    0xA2, 0x21, 0x2D,         //   select COL, then ROW
    0xA2, 0x00, 0x2D,         //   COL = 0
    0xA2, 0x00, 0x2D,         //   ROW = 0
    0xA2, 0x80, 0x2E,         //   VRAM[0] = 0x80: red plane, pixel 0
    0xA2, 0x40, 0x2E,         //   VRAM[1] = 0x40: green plane, pixel 1
    0xA2, 0x20, 0x2E,         //   VRAM[2] = 0x20: blue plane, pixel 2
    0x22, 0x5A,               // MOV %0x5A,A
    0x8B, 0xC0, 0x01,         // STA @C001
    0xE0, 0xFE,               // JMP $
};

struct run_result {
    int status;
    std::string out, err;
};

run_result run(const std::string &dir, const std::string &args)
{
    const std::string cmd = "cd '" + dir + "' && '" + BINARY + "' " + args + " >stdout.txt 2>stderr.txt";
    const int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_text(dir + "/stdout.txt"), read_text(dir + "/stderr.txt")};
}

struct summary {
    bool ok = false;
    unsigned long long instructions = 0, cycles = 0;
    double seconds = 0, mhz = 0, factor = 0;
    std::string stop;
};

summary parse_summary(const std::string &out)
{
    static const std::regex line(
        "instructions=([0-9]+) cycles=([0-9]+) host_seconds=([0-9]+\\.[0-9]+) emulated_mhz=([0-9]+\\.[0-9]+) "
        "realtime_factor=([0-9]+\\.[0-9]+) stop=(count|pc|debugger)\n");
    std::smatch m;
    summary s;
    if (!std::regex_match(out, m, line)) return s;
    s.ok = true;
    s.instructions = std::stoull(m[1]);
    s.cycles = std::stoull(m[2]);
    s.seconds = std::stod(m[3]);
    s.mhz = std::stod(m[4]);
    s.factor = std::stod(m[5]);
    s.stop = m[6];
    return s;
}

TEST(Headless, ErrorPaths)
{
    struct {
        const char *name;
        bool default_bios;          // bios/BIOS7020.bin present in the folder
        std::string args;
        int status;
        std::vector<std::string> messages;   // all must appear on stderr
    } cases[] = {
        {"no BIOS at the default path", false, "", 1,
         {"Memory initialization failed", "fatal error needs file bios/BIOS7020.bin"}},
        {"no BIOS at the given path", true, "--bios nothere.bin", 1, {"fatal error needs file nothere.bin"}},
        {"short BIOS", true, "--bios short.bin", 1, {"Memory initialization failed", "short.bin"}},
        {"cartridge missing", true, "--cart nothere.rom", 1,
         {"Not a valid ROM", "fatal error cannot open rom", "nothere.rom"}},
        {"cartridge of a refused size", true, "--cart odd.rom", 1,
         {"Not a valid ROM", "Sorry, unknown rom size", "odd.rom is 10240 bytes", "8192, 16384, 32256 or 32768"}},
        {"unknown option", true, "--fast", 2, {"unknown option --fast", "usage:"}},
        {"stray argument", true, "game.rom", 2, {"unknown option game.rom", "usage:"}},
        {"option without its value", true, "--instructions", 2, {"--instructions needs a value", "usage:"}},
        {"count not a number", true, "--instructions 12x", 2, {"--instructions"}},
        {"count of zero", true, "--instructions 0", 2, {"--instructions"}},
        {"address too long", true, "--until-pc 12345", 2, {"--until-pc"}},
        {"address not hexadecimal", true, "--until-pc F80G", 2, {"--until-pc"}},
        {"count after white space", true, "--instructions ' 5'", 2, {"--instructions"}},
        {"address after a tab", true, "--until-pc '\tF80'", 2, {"--until-pc"}},
        {"address with a second 0x", true, "--until-pc 0x0x12", 2, {"--until-pc"}},
        {"untypable character", true, "--type 'AB,C'", 2, {"','"}},
        {"state file cannot be created", true, "--instructions 5 --state nodir/s.json", 1, {"cannot create nodir/s.json"}},
        {"screenshot cannot be created", true, "--instructions 5 --screenshot nodir/s.png", 1,
         {"cannot create nodir/s.png"}},
        {"snapshot missing", true, "--load-state none.json", 1, {"cannot open snapshot none.json"}},
        {"snapshot that is not one", true, "--load-state short.bin", 1, {"short.bin is not a snapshot"}},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = make_temp_dir("err" + std::to_string(n++));
        if (c.default_bios) {
            std::filesystem::create_directories(dir + "/bios");
            ASSERT_TRUE(write_file(dir + "/bios/BIOS7020.bin", bios(SPIN)));
        }
        ASSERT_TRUE(write_file(dir + "/short.bin", std::vector<uint8>(2047, 0)));
        ASSERT_TRUE(write_file(dir + "/odd.rom", std::vector<uint8>(10240, 0)));
        const run_result r = run(dir, c.args);
        EXPECT_EQ(r.status, c.status);
        for (const std::string &m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << m << " in: " << r.err;
        EXPECT_FALSE(parse_summary(r.out).ok) << r.out;
    }
}

TEST(Headless, TraceThatCannotBeWrittenFailsTheRun)
{
    // A run that asked for trace lines (--trace-all, or a debug.lst naming a
    // function) fails when trace.log cannot take them; a debug.lst that is
    // not a regular file is refused at once, without blocking.
    struct {
        const char *setup;     // shell commands in the run's folder
        std::string args;
        int status;
        const char *message;   // on stderr
    } cases[] = {
        {"mkdir trace.log", "--trace-all", 1, "cannot create trace.log"},
        {"ln -s /dev/full trace.log", "--trace-all", 1, "cannot write trace.log"},
        {"ln -s /dev/full trace.log && echo 'ovix_loop()' > debug.lst", "", 1, "cannot write trace.log"},
        {"mkfifo debug.lst", "", 1, "debug.lst: a FIFO, not a file"},
        {"mkdir debug.lst", "--trace-all", 1, "debug.lst: a directory, not a file"},
        {"mkdir trace.log", "", 0, nullptr},   // no trace asked for
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setup + (" " + c.args));
        const std::string dir = make_temp_dir("trace" + std::to_string(n++));
        ASSERT_TRUE(write_file(dir + "/boot.bin", bios(NOP_LOOP)));
        ASSERT_EQ(std::system(("cd '" + dir + "' && " + c.setup).c_str()), 0);
        const run_result r = run(dir, "--bios boot.bin --instructions 20000 " + c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.message) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
        EXPECT_EQ(parse_summary(r.out).ok, c.status == 0) << r.out;
    }
}

TEST(Headless, SummaryLineAndStopReasons)
{
    struct {
        const char *name;
        std::initializer_list<uint8> program;
        std::string args;
        unsigned long long instructions, cycles;
        const char *stop;
    } cases[] = {
        {"count", NOP_LOOP, "--instructions 1000", 1000, 333 * 15 + 4, "count"},
        {"pc", NOP_LOOP, "--until-pc F802", 2, 8, "pc"},
        {"pc, 0x and lower case", NOP_LOOP, "--until-pc 0xf802", 2, 8, "pc"},
        {"pc and count after the same pass", NOP_LOOP, "--until-pc F802 --instructions 2", 2, 8, "pc"},
        {"default stop address FFFF", BR_FFFF, "", 1, 10, "pc"},
        {"debugger request", READ_VDP_REG, "", 2, 4 + 11, "debugger"},
        {"debugger and count after the same pass", READ_VDP_REG, "--instructions 2", 2, 15, "debugger"},
        {"default count", SPIN, "", 10000000, 70000000, "count"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = make_temp_dir("sum" + std::to_string(n++));
        ASSERT_TRUE(write_file(dir + "/b.bin", bios(c.program)));
        const run_result r = run(dir, "--bios b.bin " + c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        const summary s = parse_summary(r.out);
        ASSERT_TRUE(s.ok) << "summary line: " << r.out;
        EXPECT_EQ(s.instructions, c.instructions);
        EXPECT_EQ(s.cycles, c.cycles);
        EXPECT_EQ(s.stop, c.stop);
        EXPECT_NEAR(s.factor, s.mhz / 5, 0.0011);
        if (s.seconds >= 0.01) {
            EXPECT_NEAR(s.mhz, s.cycles / s.seconds / 1e6, s.mhz * 1e-3 + 0.001);
        }
    }
}

TEST(Headless, CartridgeIsLoadedAndTheMachineRestarted)
{
    // The BIOS branches to 0x6000; the cartridge's NOP NOP there must run.
    struct {
        size_t size;
        size_t at;   // file offset that lands at 0x6000
    } carts[] = {{8192, 0}, {32768, 0x6000}};
    int n = 0;
    for (const auto &c : carts) {
        SCOPED_TRACE(c.size);
        const std::string dir = make_temp_dir("cart" + std::to_string(n++));
        ASSERT_TRUE(write_file(dir + "/b.bin", bios(BR_6000)));
        std::vector<uint8> cart(c.size, 0xFF);
        cart[c.at] = cart[c.at + 1] = 0x00;
        cart[c.at + 2] = 0xE0;
        cart[c.at + 3] = 0xFE;
        ASSERT_TRUE(write_file(dir + "/c.rom", cart));
        const summary s = parse_summary(run(dir, "--bios b.bin --cart c.rom --until-pc 6002 --instructions 100").out);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.instructions, 3u);
        EXPECT_EQ(s.cycles, 18u);
        EXPECT_EQ(s.stop, "pc");
    }
}

testjson::value run_for_state(const std::string &dir, const std::string &args, summary *s)
{
    const run_result r = run(dir, "--bios b.bin --state state.json " + args);
    EXPECT_EQ(r.status, 0) << r.err;
    *s = parse_summary(r.out);
    EXPECT_TRUE(s->ok) << r.out;
    testjson::value v;
    const std::string text = read_text(dir + "/state.json");
    testjson::parser p(text);
    EXPECT_TRUE(p.parse(&v)) << p.error();
    return v;
}

TEST(Headless, StateDumpAfterHandshakeAndTyping)
{
    const std::string dir = make_temp_dir("state");
    ASSERT_TRUE(write_file(dir + "/b.bin", bios(HANDSHAKE)));
    summary s;
    const testjson::value v = run_for_state(dir, "--instructions 2000000 --type A", &s);
    ASSERT_EQ(v.k, testjson::value::OBJECT);

    for (const char *name : {"pc", "sp", "sr", "idle", "irq_state", "div_phase", "rf", "pf", "t1", "ram", "vram", "vdp",
                             "ports", "iocpu", "clock", "timers", "instructions", "cycles"})
        EXPECT_TRUE(v.has(name)) << name;

    EXPECT_EQ(v["pc"].i(), 0xF800 + (int)HANDSHAKE.size() - 2);   // the closing JMP $
    EXPECT_EQ(v["sp"].i(), 1);
    EXPECT_EQ(v["irq_state"].arr.size(), 3u);
    EXPECT_EQ(v["rf"].arr.size(), 128u);
    EXPECT_EQ(v["rf"][0].i(), 0x5A);          // A
    EXPECT_EQ(v["pf"].arr.size(), 12u);
    EXPECT_EQ(v["pf"][6].i(), 2);             // port B as last written
    EXPECT_TRUE(v["t1"].has("prescaler") && v["t1"].has("decrementer") && v["t1"].has("capture"));

    const std::string &ram = v["ram"].str;
    ASSERT_EQ(ram.size(), 4096u);
    EXPECT_EQ(ram.substr(0, 6), "005a00");
    EXPECT_EQ(ram.find_first_not_of("0123456789abcdef"), std::string::npos);
    const std::string &vram = v["vram"].str;
    ASSERT_EQ(vram.size(), 65536u);
    EXPECT_EQ(vram.substr(0, 8), "80402000");

    const testjson::value &vdp = v["vdp"];
    ASSERT_EQ(vdp["regs8"].arr.size(), 8u);
    EXPECT_EQ(vdp["regs8"][6].i(), 0x80);
    EXPECT_EQ(vdp["regs16"].arr.size(), 8u);
    EXPECT_EQ(vdp["acmpxy"].i(), 3);
    EXPECT_EQ(vdp["acmpxy_mode"].str, "write");
    for (const char *name : {"acmp", "sel", "reg", "reg2", "row_col_written", "bamp_written"})
        EXPECT_EQ(vdp[name].k, testjson::value::NUMBER) << name;
    EXPECT_EQ(vdp["row_col_written"].i(), 0);

    EXPECT_EQ(v["ports"]["b"].i(), 2);
    // The typed A went in as a key command; its release came two polls later.
    const testjson::value &io = v["iocpu"];
    EXPECT_EQ(io["state"].str, "ready");
    EXPECT_EQ(io["command"].i(), 0x100);
    EXPECT_EQ(io["char"].i(), 0x04);

    EXPECT_EQ((unsigned long long)v["instructions"].i(), s.instructions);
    EXPECT_EQ((unsigned long long)v["cycles"].i(), s.cycles);
    // The clock started at 0 and advanced by exactly the cycles of the run.
    EXPECT_EQ((unsigned long long)(v["clock"]["seconds"].i() * 5000000 + v["clock"]["subseconds"].i()), s.cycles);
    EXPECT_EQ(v["timers"].k, testjson::value::ARRAY);

    // Untyped, the I/O processor reaches "ready" with nothing to send.
    const testjson::value quiet = run_for_state(dir, "--instructions 2000000", &s);
    EXPECT_EQ(quiet["iocpu"]["state"].str, "ready");
    EXPECT_EQ(quiet["iocpu"]["command"].i(), -1);
    EXPECT_EQ(quiet["iocpu"]["char"].i(), 0x37);

    // Stopped during the wait for "init3": the state timer is pending.
    const testjson::value waiting = run_for_state(dir, "--instructions 1000", &s);
    EXPECT_EQ(waiting["iocpu"]["state"].str, "init2");
    ASSERT_EQ(waiting["timers"].arr.size(), 1u);
    const testjson::value &t = waiting["timers"][0];
    EXPECT_EQ(t["tag"].i(), 16);
    EXPECT_EQ(t["param"].i(), 2);   // the number of "init3"
    ASSERT_EQ(t["expire"].arr.size(), 2u);
    // Armed inside the first instruction, before the clock counted it, for
    // 0.5 s later.
    EXPECT_EQ(t["expire"][0].i() * 5000000 + t["expire"][1].i(), 2500000);
}

TEST(Headless, ScreenshotIsTheRenderedPicture)
{
    const std::string dir = make_temp_dir("shot");
    ASSERT_TRUE(write_file(dir + "/b.bin", bios(HANDSHAKE)));
    const run_result r = run(dir, "--bios b.bin --instructions 2000000 --screenshot shot.png");
    ASSERT_EQ(r.status, 0) << r.err;
    Picture pic;
    ASSERT_EQ(read_png(dir + "/shot.png", &pic), "");
    ASSERT_EQ(pic.width, 320);
    ASSERT_EQ(pic.height, 250);
    // Bitmap page: the first plane group gives a red, a green and a blue
    // pixel; everything else is black.
    const uint8 expect[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    for (int x = 0; x < 3; x++)
        for (int k = 0; k < 3; k++) EXPECT_EQ(pic.at(x, 0)[k], expect[x][k]) << "pixel " << x;
    size_t lit = 0;
    for (uint8 b : pic.rgb) lit += b != 0;
    EXPECT_EQ(lit, 3u);
}

TEST(Headless, TraceAllListsEachNextInstruction)
{
    const std::string dir = make_temp_dir("trace");
    ASSERT_TRUE(write_file(dir + "/b.bin", bios(NOP_LOOP)));
    for (bool all : {true, false}) {
        SCOPED_TRACE(all);
        ASSERT_EQ(run(dir, "--bios b.bin --instructions 4" + std::string(all ? " --trace-all" : "")).status, 0);
        std::istringstream log(read_text(dir + "/trace.log"));
        std::vector<std::string> pcs;
        for (std::string line; std::getline(log, line);) {
            const size_t at = line.find("ovix_loop():");
            if (at != std::string::npos) pcs.push_back(line.substr(at + 12, 5));
        }
        if (all) {
            EXPECT_EQ(pcs, (std::vector<std::string>{"F801 ", "F802 ", "F800 ", "F801 "}));
        } else {
            EXPECT_TRUE(pcs.empty());
        }
    }
}

TEST(Headless, HelpPrintsTheUsage)
{
    const std::string dir = make_temp_dir("help");
    const run_result r = run(dir, "--help --fast");
    EXPECT_EQ(r.status, 0);
    for (const char *word : {"usage: ovix-headless", "--load-state", "--until-pc", "--trace-all"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word << " in: " << r.out;
    EXPECT_EQ(r.err, "");
}

const std::string OPEN_BIOS = OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
const std::string DEMO = OVIX_BINARY_DIR "/roms/demo/demo.rom";

// A state file without the members that belong to the run rather than to
// the machine.
std::string machine_part(const std::string &state)
{
    std::istringstream in(state);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  \"instructions\"", 0) && line.rfind("  \"cycles\"", 0) && line.rfind("  \"checksum\"", 0))
            out += line + "\n";
    return out;
}

TEST(Headless, SplitRunThroughASnapshotInTwoProcesses)
{
    // Our BIOS and demo cartridge, stopped during the character set
    // transfer with the I/O processor's timer pending.
    const std::string dir = make_temp_dir("split");
    const std::string roms = "--bios '" + OPEN_BIOS + "' --cart '" + DEMO + "' ";
    run_result r = run(dir, roms + "--instructions 470000 --state whole.json");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(dir, roms + "--instructions 220000 --state half.json");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string half = read_text(dir + "/half.json");
    EXPECT_NE(half.find("\"state\": \"command"), std::string::npos);
    r = run(dir, roms + "--load-state half.json --instructions 250000 --state rest.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(parse_summary(r.out).instructions, 250000u);   // this run's count
    const std::string whole = read_text(dir + "/whole.json"), rest = read_text(dir + "/rest.json");
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(machine_part(rest), machine_part(whole));

    // Checked against the ROM images given.
    r = run(dir, "--bios '" + OPEN_BIOS + "' --load-state half.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("half.json was taken with a cartridge, and none is loaded"), std::string::npos) << r.err;
    ASSERT_TRUE(write_file(dir + "/b.bin", bios(SPIN)));
    r = run(dir, "--bios b.bin --cart '" + DEMO + "' --load-state half.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("another BIOS image"), std::string::npos) << r.err;
}

// Runs `cmd` in a shell; true when it exits with 0.
bool shell(const std::string &cmd) { return std::system(cmd.c_str()) == 0; }

TEST(Headless, AFullDiskKeepsTheOldFiles)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    const std::string dir = make_temp_dir("full");
    const std::string disk = dir + "/disk";
    std::filesystem::create_directories(disk);
    if (!shell("mount -t tmpfs -o size=256k tmpfs '" + disk + "'"))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    ASSERT_TRUE(write_file(dir + "/b.bin", bios(HANDSHAKE)));
    const std::vector<uint8> old_state = {'o', 'l', 'd'}, old_shot = {'p', 'i', 'c'};
    ASSERT_TRUE(write_file(disk + "/s.json", old_state));
    ASSERT_TRUE(write_file(disk + "/s.png", old_shot));
    // Fill the disk up to its last block.
    shell("dd if=/dev/zero of='" + disk + "/filler' bs=4k 2>/dev/null");
    const struct {
        const char *option, *file;
        std::vector<uint8> old;
    } cases[] = {{"--state", "s.json", old_state}, {"--screenshot", "s.png", old_shot}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.option);
        const run_result r = run(dir, "--bios b.bin --instructions 1000 " + std::string(c.option) + " disk/" + c.file);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("disk/") + c.file), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(disk + "/" + c.file), c.old);
    }
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(disk)) left.push_back(e.path().filename());
    EXPECT_EQ(left.size(), 3u) << "a temporary file was left behind";
    shell("umount '" + disk + "'");
}

TEST(Headless, TheInstalledRunnerRunsTheInstalledBios)
{
    const std::string prefix = make_temp_dir("install");
    ASSERT_TRUE(shell("cmake --install '" OVIX_BINARY_DIR "' --prefix '" + prefix + "' >install.log 2>&1"))
        << read_text("install.log");
    for (const char *f : {"bin/ovix", "bin/ovix-headless", "bin/ovix-asm", "share/ovix/bios/BIOS7020.bin",
                          "share/ovix/demo/demo.rom"})
        EXPECT_TRUE(std::filesystem::is_regular_file(prefix + "/" + f)) << f;
    const std::string cmd = "cd '" + prefix + "' && bin/ovix-headless --bios share/ovix/bios/BIOS7020.bin --cart "
                            "share/ovix/demo/demo.rom --instructions 300000 --state s.json >out.txt 2>err.txt";
    EXPECT_TRUE(shell(cmd)) << read_text(prefix + "/err.txt");
    const summary s = parse_summary(read_text(prefix + "/out.txt"));
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.instructions, 300000u);
    EXPECT_NE(read_text(prefix + "/s.json").find("\"magic\": \"ovix snapshot\""), std::string::npos);
}

}  // namespace
