// The bus: address map, port latches and handshake events, BIOS and
// cartridge loading.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cpu/tms7000.h"
#include "debug/trace.h"
#include "io/io_cpu.h"
#include "mem/memory.h"
#include "test_support.h"

namespace {

std::vector<uint8> pattern(size_t n, uint8 seed)
{
    std::vector<uint8> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8)(i * 7 + seed + (i >> 8));
    return v;
}

// Runs in a fresh folder so that bios/ and trace files are the test's own.
class InDir : public ::testing::Test {
protected:
    std::filesystem::path old_cwd;
    void SetUp() override
    {
        old_cwd = std::filesystem::current_path();
        std::filesystem::current_path(
            make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    }
    void TearDown() override { std::filesystem::current_path(old_cwd); }
};

}  // namespace

TEST(Bus, ReadMap)
{
    memset(rom_cart, 0xFF, sizeof rom_cart);
    memset(ram_2k, 0, sizeof ram_2k);
    tms7000.rf[5] = 0x55;
    rom_7020[0] = 0x12;
    rom_7020[0x7FF] = 0x34;
    struct Case { int address; uint8 expected; } cases[] = {
        {0x0005, 0x55},  {0x0080, 0xFF}, {0x00FF, 0xFF}, {0x0140, 0x00}, {0x01FF, 0x00},
        {0x0200, 0xFF},  {0x7FFF, 0xFF}, {0x8000, 0xFF}, {0xBFFF, 0xFF}, {0xC800, 0xFF},
        {0xF7FF, 0xFF},  {0xF800, 0x12}, {0xFFFF, 0x34}, {0x10005, 0x55}, {0x1F800, 0x12},
        {0x0127, 0x00},
    };
    for (const auto &c : cases) EXPECT_EQ(program_read_byte_8(c.address), c.expected) << std::hex << c.address;
}

TEST(Bus, WritesLandOnlyWhereWritable)
{
    memset(rom_cart, 0xFF, sizeof rom_cart);
    uint8 bios = rom_7020[0];
    program_write_byte_8(0xC7FF, 0xA5);
    EXPECT_EQ(program_read_byte_8(0xC7FF), 0xA5);
    program_write_byte_8(0xC000 + 0x10000, 0x5A);   // taken modulo 65536
    EXPECT_EQ(ram_2k[0], 0x5A);
    program_write_byte_8(0xC800, 0x11);
    EXPECT_EQ(program_read_byte_8(0xC800), 0xFF);
    program_write_byte_8(0xF800, (uint8)~bios);
    EXPECT_EQ(rom_7020[0], bios);
    program_write_byte_8(0x0300, 0x00);
    EXPECT_EQ(rom_cart[0x300], 0xFF);
    program_write_byte_8(0x0010, 0x77);
    EXPECT_EQ(tms7000.rf[0x10], 0x77);
    program_write_byte_8(0x0090, 0x77);   // register-file gap: dropped
    EXPECT_EQ(program_read_byte_8(0x0090), 0xFF);
}

TEST(Bus, PeripheralFileEndsAt010B)
{
    // 0x0100-0x010B are P0..P11: the last one (port D's direction
    // register) keeps what is written; the next address is unmapped.
    const struct {
        int address;
        uint8 written, read;
    } cases[] = {
        {0x010B, 0x5A, 0x5A},
        {0x010B, 0xA5, 0xA5},
        {0x010C, 0x5A, 0x00},
    };
    for (const auto &c : cases) {
        program_write_byte_8(c.address, c.written);
        EXPECT_EQ(program_read_byte_8(c.address), c.read) << std::hex << c.address;
    }
    EXPECT_EQ(tms7000.pf[11], 0xA5);
    EXPECT_EQ(tms7000.pf[12], 0x00) << "0x010C reached the peripheral file";
    program_write_byte_8(0x010B, 0x00);
}

TEST(Bus, MailboxBothWays)
{
    program_write_byte_8(0x0130, 0x3C);
    EXPECT_EQ(mailbox_val, 0x3C);
    EXPECT_EQ(program_read_byte_8(0x0130), 0x3C);
    EXPECT_EQ(program_read_byte_8(0x0130), 0x3C);   // reading changes nothing
}

TEST(Bus, PortLatches)
{
    porta_val = 0x00;
    or_porta(0x01);
    EXPECT_EQ(io_read_byte_8(TMS7000_PORTA), 0x01);
    and_porta(0xFE);
    EXPECT_EQ(io_read_byte_8(TMS7000_PORTA), 0x00);
    io_write_byte_8(TMS7000_PORTA, 0xFF);   // input only: nothing stored
    EXPECT_EQ(porta_val, 0x00);
    io_write_byte_8(TMS7000_PORTC, 0x5A);
    io_write_byte_8(TMS7000_PORTD, 0xA5);
    EXPECT_EQ(io_read_byte_8(TMS7000_PORTC), 0x5A);
    EXPECT_EQ(io_read_byte_8(TMS7000_PORTD), 0xA5);
    EXPECT_EQ(io_read_byte_8(7), 0);
}

// Port B edges reach the I/O processor in a fixed order; observed through
// its listed event trace.
TEST_F(InDir, PortBEdgeEventsInOrder)
{
    deinit_trace();
    FILE *f = fopen("debug.lst", "w");
    ASSERT_NE(f, nullptr);
    fputs("io_cpu_event()\n", f);
    fclose(f);
    check_debug("x");

    struct Case { uint8 from, to; const char *events; } cases[] = {
        {0x00, 0x03, "<B0 is high><B1 is high>"},
        {0x03, 0x00, "<B0 is low><B1 is low>"},
        {0x01, 0x05, ""},
        {0x02, 0x01, "<B0 is high><B1 is low>"},
        {0xFC, 0x00, ""},
    };
    for (const auto &c : cases) {
        portb_val = c.from;
        clear_log_str();
        io_write_byte_8(TMS7000_PORTB, c.to);
        EXPECT_EQ(get_portb(), c.to);
        std::string seen;
        for (int i = 0; i < trace_log_size; i++) {
            const char *line = trace_log_slot(i);
            const char *ev = strstr(line, "event=");
            if (ev) seen += ev + 6;
        }
        EXPECT_EQ(seen, c.events) << std::hex << (int)c.from << "->" << (int)c.to;
    }
    deinit_trace();
}

TEST_F(InDir, MemInitLoadsAndPatches)
{
    std::filesystem::create_directory("bios");
    std::vector<uint8> image = pattern(2048, 1);
    for (auto &b : image) b |= 0x80;   // no zero bytes, so the patches are visible
    ASSERT_TRUE(write_file("bios/BIOS7020.bin", image));
    rom_cart[0x4000] = 0x12;
    EXPECT_EQ(MemInit(), nullptr);
    EXPECT_EQ(rom_cart[0x4000], 0xFF);   // no cartridge after a BIOS load
    int patched = 0;
    for (int a = 0xF800; a <= 0xFFFF; a++) {
        bool in_patch = (a >= 0xF977 && a <= 0xF979) || (a >= 0xF980 && a <= 0xF982) ||
                        (a >= 0xF98D && a <= 0xF98F) || (a >= 0xF9AE && a <= 0xF9B0);
        uint8 v = program_read_byte_8(a);
        if (in_patch) {
            EXPECT_EQ(v, 0x00) << std::hex << a;
            patched++;
        } else {
            EXPECT_EQ(v, image[a - 0xF800]) << std::hex << a;
        }
    }
    EXPECT_EQ(patched, 12);
}

TEST_F(InDir, MemInitFailures)
{
    EXPECT_STREQ(MemInit(), "fatal error needs file bios/BIOS7020.bin");
    std::filesystem::create_directory("bios");
    std::filesystem::create_directory("bios/BIOS7020.bin");
    EXPECT_STREQ(MemInit(), "fatal error needs file bios/BIOS7020.bin (bios/BIOS7020.bin: a directory, not a file)");
    std::filesystem::remove("bios/BIOS7020.bin");
    ASSERT_TRUE(write_file("bios/BIOS7020.bin", pattern(1000, 0)));
    const char *err = MemInit();
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err).find("bios/BIOS7020.bin"), std::string::npos) << err;
    EXPECT_NE(std::string(err).find("1000 bytes"), std::string::npos) << err;
    // A longer file contributes its first 2048 bytes.
    std::vector<uint8> longer = pattern(4096, 3);
    ASSERT_TRUE(write_file("bios/BIOS7020.bin", longer));
    EXPECT_EQ(MemInit(), nullptr);
    EXPECT_EQ(rom_7020[0x7FF], longer[0x7FF]);
    // A file that gives more than its size said (as one being written
    // does) is refused, and the ROM keeps what it had.
    EXPECT_STREQ(MemInitFrom("/proc/self/smaps"),
                 "BIOS image not read: /proc/self/smaps: the file changed while it was read (0 bytes when opened)");
    EXPECT_EQ(rom_7020[0x7FF], longer[0x7FF]);
}

TEST_F(InDir, RomLoadSizesAndPlacement)
{
    struct Case { size_t size; int first_address; size_t first_file_byte; } cases[] = {
        {8192, 0x6000, 0}, {16384, 0x4000, 0}, {32256, 0x0200, 0}, {32768, 0x0200, 0x200}, {40960, 0x0200, 0x200},
    };
    for (const auto &c : cases) {
        std::vector<uint8> image = pattern(c.size, 9);
        ASSERT_TRUE(write_file("cart.rom", image));
        EXPECT_EQ(RomLoad("cart.rom"), nullptr) << c.size;
        for (int a = 0x0200; a < 0x8000; a++) {
            uint8 expected = a < c.first_address ? 0xFF : image[c.first_file_byte + (a - c.first_address)];
            ASSERT_EQ(program_read_byte_8(a), expected) << c.size << " at " << std::hex << a;
        }
    }
}

TEST_F(InDir, RefusedCartridgeKeepsTheLoadedOne)
{
    const std::vector<uint8> good = pattern(16384, 2);
    ASSERT_TRUE(write_file("good.rom", good));
    ASSERT_TRUE(write_file("odd.rom", pattern(10240, 2)));
    ASSERT_TRUE(write_file("empty.rom", {}));
    std::filesystem::create_directory("folder.rom");
    struct Case { const char *name, *error; } cases[] = {
        {"odd.rom", "Sorry, unknown rom size: odd.rom is 10240 bytes long; cartridge images are 8192, 16384, "
                    "32256 or 32768 bytes (a longer file counts as its first 32768)"},
        {"empty.rom", "Sorry, unknown rom size: empty.rom is 0 bytes long; cartridge images are 8192, 16384, "
                      "32256 or 32768 bytes (a longer file counts as its first 32768)"},
        {"missing.rom", "fatal error cannot open rom missing.rom: No such file or directory"},
        {"folder.rom", "fatal error cannot open rom folder.rom: a directory, not a file"},
        {"", "fatal error cannot open rom: no file name given"},
        {"/proc/self/status",
         "fatal error cannot read rom /proc/self/status: the file changed while it was read (0 bytes when opened)"},
    };
    ASSERT_EQ(RomLoad("good.rom"), nullptr);
    for (const Case &c : cases) {
        EXPECT_STREQ(RomLoad(c.name), c.error);
        for (int a = 0x4000; a < 0x8000; a++) ASSERT_EQ(rom_cart[a], good[a - 0x4000]) << c.name << std::hex << a;
    }
}

TEST(Bus, PeekHasNoSideEffects)
{
    mailbox_val = 0x42;
    tms7000.rf[3] = 9;
    struct Case { int address; const char *region; } cases[] = {
        {0x0003, "register file"}, {0x0100, "peripheral file"}, {0x0125, "video port"},
        {0x0130, "mailbox"},       {0x4000, "cartridge ROM"},   {0xC123, "RAM"},
        {0xF900, "BIOS ROM"},      {0x9000, "unmapped"},
    };
    for (const auto &c : cases) EXPECT_STREQ(bus_region_name(c.address), c.region) << std::hex << c.address;
    EXPECT_EQ(bus_peek(0x0130), 0x42);
    EXPECT_EQ(bus_peek(0x0003), 9);
    EXPECT_EQ(bus_peek(0x9000), 0xFF);
}
