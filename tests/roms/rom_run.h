// Helpers for the end-to-end tests of our machine software: run the headless
// runner on the built images, read back its state file and screenshots, and
// compare screenshots with the golden pictures in tests/roms/golden.
//
// Golden pictures: a mismatch writes the actual picture as
// <name>.actual.png into the test's working directory. With the environment
// variable OVIX_REGEN_GOLDEN=1 the tests write their pictures over the
// golden ones instead (tools/regen-golden.sh does that).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "config.h"
#include "test_support.h"

namespace romtest {

inline const std::string kRunner = OVIX_BINARY_DIR "/tools/headless/ovix-headless";
inline const std::string kBios = OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
inline const std::string kDemo = OVIX_BINARY_DIR "/roms/demo/demo.rom";
inline const std::string kGoldenDir = OVIX_SOURCE_DIR "/tests/roms/golden";

// Layout of the open BIOS's video memory, as its sources define it.
constexpr int kPage = 0x0000;      // text page (BAPA)
constexpr int kLogoSet = 0x7000;   // pattern set 1: the logo's tiles
constexpr int kFontSet = 0x7800;   // pattern set 0: the character set

struct RunResult {
    int status = -1;        // the runner's exit status
    std::string summary;    // its standard output (the summary line)
    std::string state;      // the state file's text, if asked for
};

// Runs the runner with the BIOS image, `args` (already quoted where needed)
// and a state file; `tag` names the files in the working directory.
inline RunResult run_machine(const std::string &tag, const std::string &args)
{
    RunResult r;
    const std::string state_path = tag + ".json";
    std::remove(state_path.c_str());
    const std::string cmd = "'" + kRunner + "' --bios '" + kBios + "' --state '" + state_path + "' " + args;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) r.summary += buf;
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.state = read_text(state_path);
    return r;
}

// The text after "name": in the state file, starting the search at `from`
// (the runner writes every key once per object, in a fixed order).
inline size_t json_at(const std::string &json, const std::string &name, size_t from = 0)
{
    const size_t at = json.find("\"" + name + "\":", from);
    return at == std::string::npos ? at : at + name.size() + 3;
}

inline std::string json_string(const std::string &json, const std::string &name, size_t from = 0)
{
    size_t at = json_at(json, name, from);
    if (at == std::string::npos) return "<missing>";
    at = json.find('"', at);
    const size_t end = json.find('"', at + 1);
    return json.substr(at + 1, end - at - 1);
}

inline long json_number(const std::string &json, const std::string &name, size_t from = 0)
{
    const size_t at = json_at(json, name, from);
    return at == std::string::npos ? -99999 : strtol(json.c_str() + at, nullptr, 10);
}

inline std::vector<long> json_array(const std::string &json, const std::string &name, size_t from = 0)
{
    std::vector<long> v;
    size_t at = json_at(json, name, from);
    if (at == std::string::npos) return v;
    at = json.find('[', at) + 1;
    const size_t end = json.find(']', at);
    const char *s = json.c_str() + at;
    while (s < json.c_str() + end) {
        char *next;
        v.push_back(strtol(s, &next, 10));
        if (next == s) break;
        s = next;
        while (*s == ',' || *s == ' ') s++;
    }
    return v;
}

// A hexadecimal byte dump ("ram", "vram") as bytes.
inline std::vector<uint8> json_hex(const std::string &json, const std::string &name)
{
    std::vector<uint8> v;
    const std::string hex = json_string(json, name);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) v.push_back((uint8)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return v;
}

inline std::string iocpu_state(const RunResult &r) { return json_string(r.state, "state", json_at(r.state, "iocpu")); }
inline std::vector<long> vdp_regs8(const RunResult &r) { return json_array(r.state, "regs8"); }
inline std::vector<long> vdp_regs16(const RunResult &r) { return json_array(r.state, "regs16"); }

// The text of `count` cells of the text page from (row, col), and the
// attribute of the first.
inline std::string page_text(const std::vector<uint8> &vram, int row, int col, int count)
{
    std::string s;
    for (int i = 0; i < count; i++) s += (char)vram.at(kPage + (row * 40 + col + i) * 2 + 1);
    return s;
}

// ---------------------------------------------------------------------------
// Pictures

// Compares the screenshot `actual_path` with tests/roms/golden/<name>.png,
// pixel by pixel (or byte by byte for a picture the decoder cannot read).
// On a mismatch the actual picture is kept as <name>.actual.png.
inline void expect_golden(const std::string &actual_path, const std::string &name)
{
    const std::vector<uint8> actual = read_file(actual_path);
    ASSERT_FALSE(actual.empty()) << "no screenshot at " << actual_path;
    const std::string golden_path = kGoldenDir + "/" + name + ".png";
    const char *regen = getenv("OVIX_REGEN_GOLDEN");
    if (regen && !strcmp(regen, "1")) {
        ASSERT_TRUE(write_file(golden_path, actual)) << "cannot write " << golden_path;
        printf("golden picture rewritten: %s\n", golden_path.c_str());
        return;
    }
    const std::vector<uint8> golden = read_file(golden_path);
    ASSERT_FALSE(golden.empty()) << "missing golden picture " << golden_path
                                 << " (tools/regen-golden.sh makes it)";
    Picture a, g;
    std::string diff;
    if (decode_png(actual, &a).empty() && decode_png(golden, &g).empty()) {
        if (a.width != g.width || a.height != g.height) {
            diff = "size " + std::to_string(a.width) + "x" + std::to_string(a.height) + ", golden " +
                   std::to_string(g.width) + "x" + std::to_string(g.height);
        } else {
            long n = 0, first = -1;
            for (size_t i = 0; i < a.rgb.size(); i += 3)
                if (memcmp(&a.rgb[i], &g.rgb[i], 3) != 0 && n++ == 0) first = (long)(i / 3);
            if (n)
                diff = std::to_string(n) + " pixels differ, the first at x=" + std::to_string(first % a.width) +
                       " y=" + std::to_string(first / a.width);
        }
    } else if (actual != golden) {
        diff = "the files differ";
    }
    if (!diff.empty()) {
        const std::string keep = name + ".actual.png";
        write_file(keep, actual);
        ADD_FAILURE() << name << ": " << diff << "; the actual picture is " << keep
                      << " in the test's working directory";
    }
}

}  // namespace romtest
