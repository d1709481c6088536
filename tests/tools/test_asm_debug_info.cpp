// ovix-asm's debug information: exact with INCLUDE, MACRO (nested too),
// REPT and IF on a small program, and the example cartridge's and the
// BIOS's, as the build writes them, checked line by line against their
// listings and images.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "asm.h"
#include "test_support.h"

using nlohmann::json;

namespace {

// An entry of "lines" as one text: "6002+1 data 0:2 <PUT@1:2"; the
// expansion, innermost first, after '<'.
std::string line_text(const json &e)
{
    std::string s = std::to_string(e["address"].get<unsigned>()) + "+" + std::to_string(e["size"].get<unsigned>()) + " " +
                    e["kind"].get<std::string>() + " " + std::to_string(e["file"].get<int>()) + ":" +
                    std::to_string(e["line"].get<int>());
    if (e.contains("expansion"))
        for (const json &x : e["expansion"])
            s += " <" + x["macro"].get<std::string>() + "@" + std::to_string(x["file"].get<int>()) + ":" +
                 std::to_string(x["line"].get<int>());
    return s;
}

}  // namespace

TEST(AsmDebugInfo, IncludeMacroReptAndIf)
{
    const std::string dir = make_temp_dir("debug_info");
    ASSERT_TRUE(write_text(dir + "/inc.asm", "sub: RETS\n PUT 7\n"));
    const std::string main =
        "PUT MACRO v\n"            // 1
        " DB v\n"                  // 2
        " NOP\n"                   // 3
        " ENDM\n"                  // 4
        "OUTER MACRO\n"            // 5
        " PUT 9\n"                 // 6
        " ENDM\n"                  // 7
        " ORG 6000h\n"             // 8
        "start: NOP\n"             // 9
        " INCLUDE \"inc.asm\"\n"   // 10
        " PUT 5\n"                 // 11
        " REPT 2\n"                // 12
        " INC A\n"                 // 13
        " ENDR\n"                  // 14
        " IF 0\n"                  // 15
        " NOP\n"                   // 16
        " ENDIF\n"                 // 17
        " OUTER\n"                 // 18
        "K EQU R6\n"               // 19
        "V SET 1\n"                // 20
        "V SET 2\n";               // 21
    ASSERT_TRUE(write_text(dir + "/main.asm", main));
    ovasm::Options o;
    o.want_debug_info = true;
    const ovasm::Result r = ovasm::assemble_file(dir + "/main.asm", o);
    ASSERT_TRUE(r.ok) << r.errors.front();
    const json info = json::parse(r.debug_info);
    EXPECT_EQ(info["format"], "ovix-asm debug information");
    EXPECT_EQ(info["version"], 1);
    EXPECT_EQ(info["files"], json::array({dir + "/main.asm", dir + "/inc.asm"}));
    EXPECT_EQ(info["image"], json({{"base", 0x6000}, {"size", 10}, {"fill", 255}}));

    std::vector<std::string> lines;
    for (const json &e : info["lines"]) lines.push_back(line_text(e));
    const std::vector<std::string> expect = {
        "24576+1 code 0:9",                                   // start: NOP
        "24577+1 code 1:1",                                   // sub: RETS in inc.asm
        "24578+1 data 0:2 <PUT@1:2",                          // the macro's DB, called from inc.asm
        "24579+1 code 0:3 <PUT@1:2",
        "24580+1 data 0:2 <PUT@0:11",
        "24581+1 code 0:3 <PUT@0:11",
        "24582+1 code 0:13",                                  // INC A, each repetition
        "24583+1 code 0:13",
        "24584+1 data 0:2 <PUT@0:6 <OUTER@0:18",              // PUT inside OUTER
        "24585+1 code 0:3 <PUT@0:6 <OUTER@0:18",
    };
    EXPECT_EQ(lines, expect);
    std::vector<std::string> ranges;
    for (const json &e : info["ranges"])
        ranges.push_back(std::to_string(e["start"].get<unsigned>()) + "+" + std::to_string(e["size"].get<unsigned>()) + " " +
                         e["kind"].get<std::string>());
    EXPECT_EQ(ranges, (std::vector<std::string>{"24576+2 code", "24578+1 data", "24579+1 code", "24580+1 data",
                                                "24581+3 code", "24584+1 data", "24585+1 code"}));
    std::map<std::string, std::string> symbols;
    for (const json &s : info["symbols"]) {
        std::string t = s["kind"].get<std::string>() + " " + (s.contains("value") ? s["value"].dump() : "-") + " " +
                        std::to_string(s["file"].get<int>()) + ":" + std::to_string(s["line"].get<int>());
        if (s.value("redefinable", false)) t += " set";
        symbols[s["name"]] = t;
    }
    EXPECT_EQ(symbols, (std::map<std::string, std::string>{{"start", "label 24576 0:9"},
                                                           {"sub", "label 24577 1:1"},
                                                           {"K", "register 6 0:19"},
                                                           {"V", "constant 2 0:20 set"},
                                                           {"PUT", "macro - 0:1"},
                                                           {"OUTER", "macro - 0:5"}}));
}

// The images the build writes, against their listings: every listing line
// that shows bytes is one entry of the same address, size, file and line
// (the entries go by address, the listing by source line), and its bytes
// are the image's.
TEST(AsmDebugInfo, BuiltImagesAgainstTheirListings)
{
    for (const char *stem : {"example/example", "bios/BIOS7020"}) {
        const std::string base = std::string(OVIX_BINARY_DIR "/roms/") + stem;
        const json info = json::parse(read_text(base + ".dbg"));
        const std::vector<uint8> image = read_file(base + (std::string(stem) == "bios/BIOS7020" ? ".bin" : ".rom"));
        const unsigned image_base = info["image"]["base"];
        ASSERT_EQ(image.size(), info["image"]["size"].get<size_t>()) << stem;
        std::map<std::string, int> file_index;
        for (size_t i = 0; i < info["files"].size(); i++) file_index[info["files"][i]] = (int)i;

        // The listing's lines with bytes: address, bytes, file, line.
        struct Listed {
            unsigned address;
            std::vector<uint8> bytes;
            int file, line;
            bool abbreviated;
        };
        std::vector<Listed> listed;
        const std::string listing = read_text(base + ".lst");
        int file = 0;
        for (size_t at = 0; at < listing.size(); at = listing.find('\n', at) + 1) {
            const std::string l = listing.substr(at, listing.find('\n', at) - at);
            if (l.rfind("---- ", 0) == 0) {
                file = file_index.at(l.substr(5));
                continue;
            }
            if (l.empty() || l.rfind("Name ", 0) == 0) {
                if (l.rfind("Name ", 0) == 0) break;   // the names at the end
                continue;
            }
            auto hex_bytes = [](const std::string &t) {
                std::vector<uint8> b;
                for (size_t i = 0; i + 1 < t.size() && isxdigit((unsigned char)t[i]); i += 3)
                    b.push_back((uint8)std::stoul(t.substr(i, 2), nullptr, 16));
                return b;
            };
            if (l.size() > 4 && l.size() < 22 && isxdigit((unsigned char)l[0])) {   // a continuation of the line above
                const std::vector<uint8> more = hex_bytes(l.substr(6));
                listed.back().bytes.insert(listed.back().bytes.end(), more.begin(), more.end());
                continue;
            }
            if (l.size() < 34 || !isxdigit((unsigned char)l[0]) || !isxdigit((unsigned char)l[6])) continue;
            listed.push_back(Listed{(unsigned)std::stoul(l.substr(0, 4), nullptr, 16), hex_bytes(l.substr(6, 14)), file,
                                    std::stoi(l.substr(27, 5)), l.substr(6, 14).find("..") != std::string::npos});
        }
        std::stable_sort(listed.begin(), listed.end(), [](const Listed &a, const Listed &b) { return a.address < b.address; });
        ASSERT_EQ(listed.size(), info["lines"].size()) << stem;
        for (size_t i = 0; i < listed.size(); i++) {
            const json &e = info["lines"][i];
            const Listed &l = listed[i];
            EXPECT_EQ(e["address"].get<unsigned>(), l.address) << stem << " entry " << i;
            EXPECT_EQ(e["file"].get<int>(), l.file) << stem << " entry " << i;
            EXPECT_EQ(e["line"].get<int>(), l.line) << stem << " entry " << i;
            const unsigned size = e["size"];
            if (!l.abbreviated) {
                EXPECT_EQ(size, l.bytes.size()) << stem << " entry " << i;
            }
            for (size_t k = 0; k < l.bytes.size() && k < size; k++)
                EXPECT_EQ(image.at(l.address - image_base + k), l.bytes[k]) << stem << " entry " << i;
        }
        EXPECT_GT(listed.size(), 100u) << stem;
    }
}
