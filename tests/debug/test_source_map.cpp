// The source lines of the debug information: files refused with the
// member at fault, look-ups by address at the edges of entries, where a
// breakpoint on a line goes (a line repeated, a macro called, a call
// repeated, a nested macro), the fill between written bytes, and images
// that replace each other.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "debug/source_map.h"
#include "test_support.h"

namespace {

// A file of debug information around the given members.
std::string info(const std::string &lines, const std::string &symbols = "[]", const std::string &image = "")
{
    return R"({"format":"ovix-asm debug information","version":1,"files":["/src/a.asm","/src/m.inc"],"image":)" +
           (image.empty() ? std::string(R"({"base":24576,"size":256,"fill":255})") : image) + R"(,"lines":)" + lines +
           R"(,"ranges":[],"symbols":)" + symbols + "}";
}

std::string line(unsigned address, unsigned size, int file, int l, const std::string &expansion = "")
{
    std::string e = R"({"address":)" + std::to_string(address) + R"(,"size":)" + std::to_string(size) +
                    R"(,"kind":"code","file":)" + std::to_string(file) + R"(,"line":)" + std::to_string(l);
    if (!expansion.empty()) e += R"(,"expansion":)" + expansion;
    return e + "}";
}

// A file with no lines whose "files" member is `files` (and what follows it).
std::string with_files(const std::string &files)
{
    return R"({"format":"ovix-asm debug information","version":1,"files":)" + files +
           R"(,"image":{"base":24576,"size":256},"lines":[{"address":24576,"size":1,"file":0,"line":1}]})";
}

// A call of macro M at file:line.
std::string call(int file, int l) { return R"({"macro":"M","file":)" + std::to_string(file) + R"(,"line":)" + std::to_string(l) + "}"; }

bool parse(const std::string &text, std::string *error = nullptr)
{
    std::string e;
    const bool ok = srcmap_parse("t.dbg", text, &e);
    if (error) *error = e;
    return ok;
}

TEST(SourceMap, BadFilesAreRefusedWithTheMemberAndTheTableKept)
{
    const struct {
        std::string text;
        const char *message;
    } cases[] = {
        {"{", "t.dbg: not JSON: "},
        {"[]", "t.dbg: not debug information (not a JSON object)"},
        {R"({"format":"other","version":1})", "t.dbg: not debug information (format 'other')"},
        {R"({"format":"ovix-asm debug information","version":2})", "t.dbg: version 2 of the format; this program reads version 1"},
        {info("[" + line(0xFFFF, 1, 0, 1) + "]"), nullptr},   // the last byte of the space
        {info("[" + line(0xFFFF, 2, 0, 1) + "]"), "t.dbg: lines[0]: the bytes run past FFFF"},
        {info("[" + line(0x10000, 1, 0, 1) + "]"), "t.dbg: lines[0]: 'address' is 65536, outside 0..65535"},
        {info("[" + line(0x6000, 0, 0, 1) + "]"), "t.dbg: lines[0]: 'size' is 0, outside 1..65536"},
        {info("[" + line(0x6000, 1, 1, 1) + "]"), nullptr},   // the last file
        {info("[" + line(0x6000, 1, 2, 1) + "]"), "t.dbg: lines[0]: 'file' is 2, outside 0..1"},
        {info("[" + line(0x6000, 1, 0, 0) + "]"), "t.dbg: lines[0]: 'line' is 0, outside 1..2147483647"},
        {info("[" + line(0x6000, 1, 0, 1, "[{\"macro\":\"M\",\"file\":0}]") + "]"),
         "t.dbg: lines[0].expansion[0]: 'line' is missing"},
        {info("[" + line(0x6000, 2, 0, 1) + "," + line(0x6001, 1, 0, 2) + "]"), "t.dbg: lines: two entries hold the byte 6001"},
        {info("[]", R"([{"name":"x","kind":"label","value":65536}])"), "t.dbg: symbols[0]: a label without an address from 0 to FFFF"},
        {info("[]", "[]", R"({"base":65535,"size":2})"), "t.dbg: image: the image runs past FFFF"},
        // Names that would make two lines of a console's reply or command.
        {with_files(R"(["/src/a.asm","/src/x\nsave f.ovs"])"), "t.dbg: files[1] holds a control character"},
        {with_files(R"(["/src/a\u007f.asm"])"), "t.dbg: files[0] holds a control character"},
        {with_files(R"(["/src/a\u0080.asm","/src/m.inc"])"), nullptr},   // a character past them
        {info("[]", R"([{"name":"x\ty","kind":"label","value":0}])"), "t.dbg: symbols[0]: 'name' holds a control character"},
        {with_files(R"(["a.asm"],"folder":"src")"), "t.dbg: 'folder' is not an absolute path"},
        {with_files(R"(["a.asm"],"folder":"/src\r")"), "t.dbg: 'folder' holds a control character"},
        // Nested as deep as a file may be, and one deeper.
        {info("[]", "[]", R"({"base":24576,"size":256,"x":)" + std::string(62, '[') + std::string(62, ']') + "}"), nullptr},
        {info("[]", "[]", R"({"base":24576,"size":256,"x":)" + std::string(63, '[') + std::string(63, ']') + "}"),
         "t.dbg: objects and arrays nested deeper than 64 levels"},
        {info("[" + std::string(100000, '[') + std::string(100000, ']') + "]"), "t.dbg: objects and arrays nested deeper than 64 levels"},
        // Members in another order than the assembler's: the same checks.
        {R"({"lines":[{"address":24576,"size":1,"file":2,"line":1}],"files":["/a","/b"],"format":"ovix-asm debug information",)"
         R"("version":1,"image":{"base":24576,"size":256}})",
         "t.dbg: lines[0]: 'file' is 2, outside 0..1"},
        {R"({"symbols":[{"name":"s","kind":"label","value":24576,"file":0,"line":1}],"lines":[],"files":["/a"],)"
         R"("format":"ovix-asm debug information","version":1,"image":{"base":24576,"size":256}})",
         nullptr},
        {R"({"format":"ovix-asm debug information","version":1,"files":[],"files":[],"image":{"base":0,"size":1},"lines":[]})",
         "t.dbg: member \"files\" comes twice"},
    };
    ASSERT_TRUE(parse(info("[" + line(0x6000, 3, 0, 7) + "]")));
    for (const auto &c : cases) {
        std::string error;
        const bool ok = parse(c.text, &error);
        const std::string shown = c.text.substr(0, 300);
        if (!c.message) {
            EXPECT_TRUE(ok) << shown << ": " << error;
            ASSERT_TRUE(parse(info("[" + line(0x6000, 3, 0, 7) + "]")));
            continue;
        }
        EXPECT_FALSE(ok) << shown;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
        EXPECT_EQ(srcmap_statement_at(0x6002), (srcmap_place{0, 7})) << shown;   // the table as it was
    }
    srcmap_clear();
    EXPECT_FALSE(srcmap_loaded());
}

TEST(SourceMap, LinesOfAddressesAndTheirStatements)
{
    // Line 3 calls M, whose body (m.inc 10 and 11) is expanded there; the
    // body's line 11 calls M2 (m.inc 20) in turn.
    ASSERT_TRUE(parse(info("[" + line(0x6000, 2, 0, 2) + "," + line(0x6002, 3, 1, 10, "[" + call(0, 3) + "]") + "," +
                           line(0x6005, 1, 1, 20, "[" + call(1, 11) + "," + call(0, 3) + "]") + "]")));
    const struct {
        uint16 address;
        srcmap_place at, statement;
    } cases[] = {
        {0x5FFF, {-1, 0}, {-1, 0}}, {0x6000, {0, 2}, {0, 2}}, {0x6001, {0, 2}, {0, 2}},  {0x6002, {1, 10}, {0, 3}},
        {0x6004, {1, 10}, {0, 3}},  {0x6005, {1, 20}, {0, 3}}, {0x6006, {-1, 0}, {-1, 0}},
    };
    for (const auto &c : cases) {
        const srcmap_line *l = srcmap_line_at(c.address);
        EXPECT_EQ(l ? l->at : srcmap_place{}, c.at) << std::hex << c.address;
        EXPECT_EQ(srcmap_statement_at(c.address), c.statement) << std::hex << c.address;
    }
    EXPECT_EQ(srcmap_file(0), "/src/a.asm");
    EXPECT_EQ(srcmap_find_file("/src/../src/m.inc"), 1);
    EXPECT_EQ(srcmap_find_file("/src/other.asm"), -1);
}

TEST(SourceMap, WhereBreakpointsOnALineGo)
{
    // a.asm 5: REPT 2 of one line (two places); a.asm 6: a call of M
    // (m.inc 10, 11) expanded once; a.asm 7: a call inside REPT 2, so two
    // expansions back to back; a.asm 8: M whose body lines 11 and 12 each
    // call M2 (m.inc 20, 21) within one expansion; a.asm 9 writes data only.
    const std::string x6 = "[" + call(0, 6) + "]", x7 = "[" + call(0, 7) + "]";
    const std::string n1 = "[" + call(1, 11) + "," + call(0, 8) + "]", n2 = "[" + call(1, 12) + "," + call(0, 8) + "]";
    std::string lines = "[" + line(0x6000, 1, 0, 5) + "," + line(0x6001, 1, 0, 5) + "," + line(0x6002, 2, 1, 10, x6) + "," +
                        line(0x6004, 2, 1, 11, x6) + "," + line(0x6006, 2, 1, 10, x7) + "," + line(0x6008, 2, 1, 11, x7) + "," +
                        line(0x600A, 2, 1, 10, x7) + "," + line(0x600C, 2, 1, 11, x7) + "," + line(0x600E, 1, 1, 20, n1) + "," +
                        line(0x600F, 1, 1, 21, n1) + "," + line(0x6010, 1, 1, 20, n2) + "," + line(0x6011, 1, 1, 21, n2) +
                        R"(,{"address":24594,"size":4,"kind":"data","file":0,"line":9}])";
    ASSERT_TRUE(parse(info(lines)));
    const struct {
        int file, line;
        std::vector<uint16> addresses;
    } cases[] = {
        {0, 5, {0x6000, 0x6001}},           // each repetition
        {0, 6, {0x6002}},                   // one expansion
        {0, 7, {0x6006, 0x600A}},           // two expansions that follow each other
        {0, 8, {0x600E}},                   // one expansion with two inner calls
        {1, 10, {0x6002, 0x6006, 0x600A}},  // a body line: each expansion
        {1, 20, {0x600E, 0x6010}},
        {0, 9, {}},                         // data
        {0, 4, {}},
    };
    for (const auto &c : cases) EXPECT_EQ(srcmap_line_addresses(c.file, c.line), c.addresses) << c.file << ":" << c.line;
    EXPECT_EQ(srcmap_code_line_from(0, 1), 5);
    EXPECT_EQ(srcmap_code_line_from(0, 8), 8);
    EXPECT_EQ(srcmap_code_line_from(0, 9), 0);    // nothing after it
    EXPECT_EQ(srcmap_code_line_from(1, 12), 12);     // a call in a macro's body
    EXPECT_EQ(srcmap_code_line_from(1, 13, 7), 20);
    EXPECT_EQ(srcmap_code_line_from(1, 13, 6), 0);   // beyond the lookahead
}

TEST(SourceMap, TheFillAndImagesThatReplaceEachOther)
{
    const std::string symbols = R"([{"name":"top","kind":"label","value":24576},{"name":"top.x","kind":"label","value":24577},
        {"name":"mid","kind":"label","value":24580},{"name":"K","kind":"constant","value":-5},{"name":"M","kind":"macro"}])";
    ASSERT_TRUE(parse(info("[" + line(0x6000, 2, 0, 1) + "," + line(0x6004, 1, 0, 2) + "]", symbols)));
    using ranges = std::vector<std::pair<uint16, uint16>>;
    EXPECT_EQ(srcmap_unwritten(), (ranges{{0x6002, 0x6003}, {0x6005, 0x60FF}}));
    EXPECT_EQ(srcmap_label_before(0x6003)->name, "top.x");
    EXPECT_EQ(srcmap_label_before(0x6000)->name, "top");   // not the local one
    EXPECT_EQ(srcmap_label_before(0x60FF)->name, "mid");
    EXPECT_EQ(srcmap_label_before(0x6100), nullptr);       // outside every image
    ASSERT_NE(srcmap_symbol_named("k"), nullptr);
    EXPECT_EQ(srcmap_symbol_named("k")->value, -5);
    EXPECT_FALSE(srcmap_symbol_named("M")->has_value);
    EXPECT_EQ(srcmap_labels_text(), "6000 top\n6001 top.x\n6004 mid\n");
    // A BIOS image beside it adds; a new build of the cartridge replaces it.
    ASSERT_TRUE(parse(info("[" + line(0xF800, 1, 0, 1) + "]", "[]", R"({"base":63488,"size":2048})")));
    EXPECT_EQ(srcmap_images().size(), 2u);
    ASSERT_TRUE(parse(info("[" + line(0x6080, 1, 0, 3) + "]", "[]", R"({"base":24704,"size":16})")));
    EXPECT_EQ(srcmap_images(), (ranges{{0x6080, 0x608F}, {0xF800, 0xFFFF}}));
    EXPECT_EQ(srcmap_line_at(0x6000), nullptr);
    EXPECT_EQ(srcmap_symbol_named("top"), nullptr);
    srcmap_clear();
}

TEST(SourceMap, RelativeNamesAndFilesOnDisk)
{
    const std::string dir = make_temp_dir("srcmap");
    ASSERT_TRUE(write_text(dir + "/lib.inc", "; included\n"));
    // A file of that name in the reader's folder too: never the one meant.
    ASSERT_TRUE(write_text("lib.inc", "; another program's\n"));
    const struct {
        std::string folder;   // the member, or "" for none (an older file)
        std::string name;
        std::string path;
    } cases[] = {
        {"", "lib.inc", dir + "/lib.inc"},                         // the folder of the debug information
        {"", "../srcmap_other/lib.inc", std::filesystem::path(dir).parent_path().string() + "/srcmap_other/lib.inc"},
        {"/work/game", "lib.inc", "/work/game/lib.inc"},           // the assembler's folder, whatever is on disk
        {"/work/game", "inc/../lib.inc", "/work/game/lib.inc"},
        {"/work/game", "/abs/lib.inc", "/abs/lib.inc"},
    };
    std::string error;
    for (const auto &c : cases) {
        const std::string text = R"({"format":"ovix-asm debug information","version":1,)" +
                                 (c.folder.empty() ? "" : R"("folder":")" + c.folder + R"(",)") + R"("files":[")" + c.name +
                                 R"("],"image":{"base":0,"size":1},"lines":[{"address":0,"size":1,"kind":"code","file":0,"line":1}]})";
        ASSERT_TRUE(write_text(dir + "/t.dbg", text));
        ASSERT_TRUE(srcmap_load((dir + "/t.dbg").c_str(), &error)) << error;
        EXPECT_EQ(srcmap_file(0), c.path) << c.folder << " " << c.name;
    }
    ASSERT_TRUE(srcmap_load((dir + "/t.dbg").c_str(), &error)) << error;
    ASSERT_TRUE(write_text(dir + "/t.dbg", R"({"format":"ovix-asm debug information","version":1,"files":["lib.inc"],
        "image":{"base":0,"size":1},"lines":[{"address":0,"size":1,"kind":"code","file":0,"line":1}]})"));
    ASSERT_TRUE(srcmap_load((dir + "/t.dbg").c_str(), &error)) << error;
    EXPECT_EQ(srcmap_file(0), dir + "/lib.inc");
    std::filesystem::create_symlink(dir + "/lib.inc", dir + "/link.inc");
    EXPECT_EQ(srcmap_find_file((dir + "/link.inc").c_str()), 0);
    EXPECT_FALSE(srcmap_load((dir + "/none.dbg").c_str(), &error));
    EXPECT_NE(error.find("none.dbg"), std::string::npos) << error;
    EXPECT_FALSE(srcmap_load(dir.c_str(), &error));   // a folder
    srcmap_clear();
}

// Debug information of tens of megabytes (every address of the space a
// line of its own, inside four macro calls, and 300000 names) is read in a
// few times its size, not in the ten and more times its size of a whole
// parse.
TEST(SourceMap, BigDebugInformationIsReadInAFewTimesItsSize)
{
    if (!peak_memory_measurable()) GTEST_SKIP() << "the peak of the memory cannot be measured here";
    std::string text = R"({"format":"ovix-asm debug information","version":1,"folder":"/work","files":["a.asm","m.inc"],)"
                       R"("image":{"base":0,"size":65536},"lines":[)";
    const std::string calls = "[" + call(1, 10) + "," + call(1, 20) + "," + call(1, 30) + "," + call(0, 40) + "]";
    for (unsigned a = 0; a < 0x10000; a++) text += (a ? "," : "") + line(a, 1, 1, 1 + a % 9, calls);
    text += R"(],"ranges":[],"symbols":[)";
    for (int i = 0; i < 300000; i++)
        text += (i ? "," : "") + std::string(R"({"name":"label_)") + std::to_string(i) + R"(","kind":"label","value":)" +
                std::to_string(i % 0x10000) + R"(,"file":0,"line":)" + std::to_string(i + 1) + "}";
    text += "]}";
    struct load {
        const std::string *text;
        bool ok;
        std::string error;
    } l{&text, false, ""};
    const long long grew = peak_memory_growth(
        [](void *p) {
            load &one = *static_cast<load *>(p);
            one.ok = srcmap_parse("big.dbg", *one.text, &one.error);
        },
        &l);
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_EQ(srcmap_statement_at(0x1234), (srcmap_place{0, 40}));
    EXPECT_EQ(srcmap_symbols().size(), 300000u);
    srcmap_clear();
    ASSERT_GE(grew, 0);
    EXPECT_LT(grew, 5 * (long long)text.size()) << grew / 1000000 << " MB for a file of " << text.size() / 1000000 << " MB";
}

}  // namespace
