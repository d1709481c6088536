// Files written by an earlier build load in this one and go on to the same
// machine: a snapshot taken while a typed key was held, and a movie of
// typing, written by the runner before the machine became a library of its
// own (compat/: with the BIOS and cartridge images they were made with,
// and what that runner wrote after them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace {

const std::string RUNNER = OVIX_BINARY_DIR "/tools/headless/ovix-headless";
const std::string COMPAT = OVIX_SOURCE_DIR "/tests/state/compat/";

nlohmann::json read_json(const std::string &path)
{
    return nlohmann::json::parse(read_text(path), nullptr, false);
}

TEST(Compat, EarlierFilesLoadAndRunOnToTheSameMachine)
{
    struct Case {
        const char *name;
        std::string args;     // after --bios and --cart
        const char *state;    // what the earlier runner wrote after the same run
        const char *picture;  // and its screenshot, or null
    } cases[] = {
        {"a snapshot with a key held, typing after it",
         "--load-state " + COMPAT + "held.json --type Z --instructions 900000", "held_then.json", "held_then.png"},
        {"a movie of typing, played to its end", "--play " + COMPAT + "typed.ovm", "played.json", nullptr},
    };
    for (const Case &c : cases) {
        const std::string dir = make_temp_dir("compat");
        const std::string cmd = "cd '" + dir + "' && '" + RUNNER + "' --bios " + COMPAT + "bios.bin --cart " + COMPAT +
                                "demo.rom " + c.args + " --state out.json --screenshot out.png > summary.txt 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << c.name << ": " << read_text(dir + "/summary.txt");
        const nlohmann::json got = read_json(dir + "/out.json"), want = read_json(COMPAT + c.state);
        ASSERT_FALSE(got.is_discarded()) << c.name;
        ASSERT_FALSE(want.is_discarded()) << c.name;
        EXPECT_EQ(got["key"], want["key"]) << c.name;
        EXPECT_EQ(got["machine_passes"], want["machine_passes"]) << c.name;
        EXPECT_TRUE(got == want) << c.name << ": the machine differs from the earlier runner's";
        if (c.picture) {
            Picture a, b;
            ASSERT_EQ(read_png(dir + "/out.png", &a), "") << c.name;
            ASSERT_EQ(read_png(COMPAT + c.picture, &b), "") << c.name;
            EXPECT_TRUE(a == b) << c.name;
        }
    }
}

}  // namespace
