// ovix-asm on hostile input: every bound on its work (macro arguments,
// expanded lines, text and lines per pass, names, errors kept, the listing)
// is an error at the line that reached it, on both sides of the bound;
// messages quote raw bytes escaped; and the program refuses outputs that
// would destroy an input or that are not regular files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "asm.h"
#include "test_support.h"

namespace {

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
}

// The forty macros of a hostile source, each calling the next with its
// argument doubled.
std::string forty_macros()
{
    std::string s;
    for (int k = 40; k >= 1; k--)
        s += "M" + std::to_string(k) + " MACRO p\n" + (k == 40 ? std::string(" DB 1\n") : " M" + std::to_string(k + 1) + " p p\n") +
             " ENDM\n";
    return s + " M1 1\n";
}

// A macro whose one body line grows to `length` characters with an
// argument of 4096: 15 uses of the argument and blanks.
std::string expanded_line(size_t length)
{
    const std::string body = " DS 0+" + repeat("p+", 14) + "p" + std::string(length - 6 - 15 * 4096 - 14, ' ');
    return "M MACRO p\n" + body + "\n ENDM\n M " + std::string(4096, '0') + "\n";
}

const std::string ASM = OVIX_BINARY_DIR "/tools/asm/ovix-asm";

int run(const std::string &args, std::string *err_text = nullptr)
{
    static int runs = 0;
    const std::string stem = std::filesystem::absolute("limits." + std::to_string(runs++)).string();
    const int st = std::system((ASM + " " + args + " >" + stem + ".stdout 2>" + stem + ".stderr").c_str());
    if (err_text) *err_text = read_text(stem + ".stderr");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

// Each bound: the source that stays within it assembles, the one that goes
// past it stops with its error first (however many errors came before).
TEST(AsmLimits, HostileSourcesAreBounded)
{
    const std::string labels = "M MACRO\nl\\@: DS 0\n ENDM\n REPT 40000\n M\n M\n M\n M\n M\n ENDR\n";
    const struct {
        const char *what;
        std::string source;
        bool listing;
        const char *error;   // the first error; "" when it assembles
    } cases[] = {
        {"a macro calling itself with its argument doubled", "X MACRO p\n DB 1\n X p p\n ENDM\n X 1\n", false,
         "t.asm:3: macro argument of 8191 characters (at most 4096) (in macro X called at t.asm:3)"},
        {"forty macros doubling an argument", forty_macros(), false,
         "t.asm:86: macro argument of 8191 characters (at most 4096) (in macro M12 called at t.asm:89)"},
        {"an argument of 4096 characters", "M MACRO p\n DB 1\n ENDM\n M " + std::string(4096, 'x') + "\n", false, ""},
        {"an argument of 4097 characters", "M MACRO p\n DB 1\n ENDM\n M " + std::string(4097, 'x') + "\n", false,
         "t.asm:4: macro argument of 4097 characters (at most 4096)"},
        {"an expanded line of 65536 characters", expanded_line(65536) + " NOP\n", false, ""},
        {"an expanded line of 65537 characters", expanded_line(65537), false,
         "t.asm:2: line longer than 65536 characters after macro substitution (in macro M called at t.asm:4)"},
        {"a long line with an error in every repetition", " REPT 65536\n DB 1 \\@ " + std::string(20000, 'x') + "\n ENDR\n",
         false, "t.asm:2: more than 32 MiB of source text to assemble in one pass (macro and REPT expansions included)"},
        {"more than a million lines", " REPT 65536\n REPT 16\n DS 0\n ENDR\n ENDR\n", false,
         "t.asm:3: more than 1000000 lines to assemble: a REPT or macro without end?"},
        {"200000 names", labels + " NOP\n", false, ""},
        {"200001 names", labels + "extra:\n NOP\n", false, "t.asm:11: more than 200000 symbols"},
        {"a listing of more than 64 MiB",
         " REPT 65000\n" + repeat(" DS 0 ; " + std::string(22, 'a') + "\n", 15) + " ENDR\n NOP\n", true,
         "t.asm:3: the listing would be larger than 64 MiB from this line on: assemble without --list"},
    };
    for (const auto &c : cases) {
        ovasm::Options o;
        o.want_listing = c.listing;
        const ovasm::Result r = ovasm::assemble_text("t.asm", c.source, o);
        EXPECT_EQ(r.ok ? "" : r.errors.front(), c.error) << c.what;
        EXPECT_LE(r.errors.size(), 201u) << c.what;
    }
}

// Distinct errors by the thousand: 200 are shown, then one line says so.
TEST(AsmLimits, ErrorsShownAreBounded)
{
    const ovasm::Result r = ovasm::assemble_text("t.asm", " REPT 1500\n DB x\\@\n ENDR\n");
    ASSERT_EQ(r.errors.size(), 201u);
    EXPECT_EQ(r.errors[0], "t.asm:2: undefined symbol 'x1'");
    EXPECT_EQ(r.errors[199], "t.asm:2: undefined symbol 'x200'");
    EXPECT_EQ(r.errors[200], "t.asm: too many errors, the rest are not shown");
}

// Messages that quote a line quote its bytes: printable ones and UTF-8 as
// they are, every other byte as \xNN, and nothing is cut at a NUL.
TEST(AsmLimits, MessagesQuoteRawBytesEscaped)
{
    const struct {
        std::string source;
        const char *error;
        const char *line;   // the source line as shown
    } cases[] = {
        {std::string("lbl: \0xyz\n", 10), "t.asm:1: syntax error: '\\x00xyz'", "lbl: \\x00xyz"},
        {" DB 1 \x01\x7F\xFF\n", "t.asm:1: unexpected '\\x01\\x7F\\xFF' in expression", " DB 1 \\x01\\x7F\\xFF"},
        {" DB 1 \xC3\xA9t\xC3\n", "t.asm:1: unexpected '\xC3\xA9t\\xC3' in expression", " DB 1 \xC3\xA9t\\xC3"},
        {" DB 1 x\tx\n", "t.asm:1: unexpected 'x x' in expression", " DB 1 x x"},
        {std::string(" INCLUDE \"inc.asm\\0x\"\n"), "t.asm:1: INCLUDE file name 'inc.asm\\x00x' holds a NUL byte",
         " INCLUDE \"inc.asm\\0x\""},
    };
    for (const auto &c : cases) {
        const ovasm::Result r = ovasm::assemble_text("t.asm", c.source);
        ASSERT_FALSE(r.ok) << c.error;
        EXPECT_EQ(r.errors.front(), c.error);
        EXPECT_EQ(r.diagnostics.front().source, c.line) << c.error;
    }
}

// Outputs that are inputs, or not regular files, are refused before
// anything is written, and the inputs stay as they were, also when the
// source has errors (which makes the program remove its outputs).
TEST(AsmLimits, OutputsThatWouldDestroyAnInputOrAreNotFiles)
{
    const std::string d = make_temp_dir("limits_outputs");
    ASSERT_TRUE(write_text(d + "/inc.asm", " NOP\n"));
    ASSERT_TRUE(write_text(d + "/data.bin", "\x01\x02"));
    ASSERT_TRUE(write_text(d + "/main.asm", " ORG 100h\n INCLUDE inc.asm\n INCBIN data.bin\n"));
    ASSERT_TRUE(write_text(d + "/bad.asm", " ORG 100h\n INCLUDE inc.asm\n JMP nowhere\n"));
    ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(d + "/folder");
    const struct {
        std::string args;
        const char *message;   // a part of the message on standard error
    } cases[] = {
        {"-o " + d + "/inc.asm " + d + "/main.asm", "(-o) is a source file it includes, '"},
        {"-o " + d + "/inc.asm " + d + "/bad.asm", "(-o) is a source file it includes, '"},
        {"-o " + d + "/x.bin --list " + d + "/data.bin " + d + "/main.asm", "(--list) is a file it includes with INCBIN"},
        {"-o " + d + "/x.bin --symbols " + d + "/main.asm " + d + "/main.asm", "(--symbols) is the source file"},
        {"-o " + d + "/x.bin --map " + d + "/x.bin " + d + "/main.asm", "-o and --map name the same file"},
        {"-o " + d + "/fifo " + d + "/main.asm", "(-o): a FIFO, not a regular file"},
        {"-o " + d + "/x.bin --hex " + d + "/folder " + d + "/main.asm", "(--hex): a directory, not a regular file"},
    };
    for (const auto &c : cases) {
        std::string err;
        EXPECT_EQ(run(c.args, &err), 2) << c.args;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.args << "\n" << err;
        EXPECT_EQ(read_text(d + "/inc.asm"), " NOP\n");
        EXPECT_EQ(read_text(d + "/data.bin"), "\x01\x02");
        EXPECT_FALSE(std::filesystem::exists(d + "/x.bin")) << c.args;
    }
    EXPECT_EQ(read_text(d + "/main.asm"), " ORG 100h\n INCLUDE inc.asm\n INCBIN data.bin\n");
    EXPECT_TRUE(std::filesystem::is_fifo(d + "/fifo"));
    // Every output at once, when all is well.
    std::string err;
    ASSERT_EQ(run("-o " + d + "/x.bin --list " + d + "/x.lst --symbols " + d + "/x.sym --map " + d + "/x.map --hex " + d +
                      "/x.hex --debug-info " + d + "/x.dbg " + d + "/main.asm",
                  &err),
              0)
        << err;
    EXPECT_EQ(read_file(d + "/x.bin"), (std::vector<uint8>{0x00, 0x01, 0x02}));
    EXPECT_EQ(read_text(d + "/x.hex"), ":03010000000102F9\n:00000001FF\n");
    for (const char *f : {"/x.lst", "/x.sym", "/x.map", "/x.dbg"}) EXPECT_FALSE(read_text(d + f).empty()) << f;
}

// A failed run in a folder that takes no change: the old image stays, and
// the program says so (run as an ordinary user: as root, through `su
// nobody` when it can, else skipped).
TEST(AsmLimits, ReadOnlyFolderKeepsTheOldImageAndSaysSo)
{
    const std::string d = std::filesystem::absolute(make_temp_dir("limits_read_only")).string();
    ASSERT_TRUE(write_text(d + "/bad.asm", " ORG 100h\n JMP nowhere\n"));
    ASSERT_TRUE(write_text(d + "/ok.asm", " ORG 100h\n NOP\n"));
    ASSERT_TRUE(write_text(d + "/old.bin", "old"));
    chmod(d.c_str(), 0555);
    for (const char *f : {"/bad.asm", "/ok.asm", "/old.bin"}) chmod((d + f).c_str(), 0644);
    std::string prefix;
    if (geteuid() == 0) {
        if (std::system(("su nobody -s /bin/sh -c 'test -x " + ASM + " && test -r " + d + "/bad.asm' 2>/dev/null").c_str()) != 0) {
            chmod(d.c_str(), 0755);
            GTEST_SKIP() << "root, and no user without its rights can run the assembler here";
        }
        prefix = "su nobody -s /bin/sh -c '";
    }
    auto run_as = [&](const std::string &args, std::string *err) {
        const std::string out = std::filesystem::absolute("read_only.stderr").string();
        const std::string cmd = prefix.empty() ? ASM + " " + args + " 2>" + out
                                               : prefix + ASM + " " + args + "' 2>" + out;
        const int st = std::system(cmd.c_str());
        *err = read_text(out);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    std::string err;
    EXPECT_EQ(run_as("-o " + d + "/old.bin " + d + "/bad.asm", &err), 1);
    EXPECT_NE(err.find("the old " + d + "/old.bin is left as it was: it cannot be removed (Permission denied)"),
              std::string::npos)
        << err;
    EXPECT_EQ(run_as("-o " + d + "/old.bin " + d + "/ok.asm", &err), 2);
    EXPECT_NE(err.find("cannot create " + d + "/old.bin: Permission denied"), std::string::npos) << err;
    EXPECT_NE(err.find("the old " + d + "/old.bin is left as it was"), std::string::npos) << err;
    EXPECT_EQ(read_text(d + "/old.bin"), "old");
    chmod(d.c_str(), 0755);
}
