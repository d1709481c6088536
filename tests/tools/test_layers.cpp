// The include check (tools/check-layers.py) on a small tree of its own: the
// project's layer table, one source file, one include. A row says whether
// the check takes the include and, when not, what its report names.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct CheckRun {
    int status;
    std::string output;
};

CheckRun check(const std::string &root)
{
    const std::string command = "python3 " OVIX_SOURCE_DIR "/tools/check-layers.py " + root + " 2>&1";
    CheckRun r{-1, ""};
    FILE *p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) r.output += buf;
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(Layers, TheProjectPassesItsOwnCheck)
{
    const CheckRun r = check(OVIX_SOURCE_DIR);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(" 0 problem(s)"), std::string::npos) << r.output;
}

TEST(Layers, IncludesUpOrSidewaysAreRefused)
{
    struct Case {
        const char *file;      // the including file
        const char *include;   // the included file, created in the tree
        const char *refusal;   // in the report, or null: taken
    } cases[] = {
        {"src/machine/loop.cpp", "cpu/tms7000.h", nullptr},                     // down
        {"src/cpu/tms7000.cpp", "mem/memory.h", nullptr},                       // the same layer
        {"src/debug/engine.cpp", "debug/trace.h", nullptr},                     // a file row below its folder's
        {"src/cpu/tms7000.cpp", "machine/loop.h", "the chips layer includes src/machine/loop.h of the machine layer"},
        {"src/debug/trace.cpp", "debug/engine.h", "the chips layer includes src/debug/engine.h of the debugger layer"},
        {"src/machine/loop.cpp", "debug/engine.h", "the machine layer includes src/debug/engine.h"},
        {"src/services/console.cpp", "main/frontend.h", "the services layer includes src/main/frontend.h"},
        {"src/main/main.cpp", "../../tools/headless/headless.h", "the window layer includes tools/headless/headless.h"},
        {"src/libretro/libretro.cpp", "debug/engine.h", "the libretro layer includes src/debug/engine.h"},
        {"src/newfolder/x.cpp", "config.h", "src/newfolder/x.cpp: in no layer of the table"},
    };
    for (const Case &c : cases) {
        const std::string root = make_temp_dir("layers");
        fs::create_directories(root + "/docs");
        fs::copy_file(OVIX_SOURCE_DIR "/docs/development.md", root + "/docs/development.md");
        const fs::path file = fs::path(root) / c.file;
        const fs::path included = (file.parent_path() / c.include).lexically_normal();
        const fs::path in_src = fs::path(root) / "src" / c.include;
        fs::create_directories(file.parent_path());
        ASSERT_TRUE(write_text(file.string(), std::string("#include \"") + c.include + "\"\n"));
        // Beside the including file when it is there, else under src/.
        const fs::path target = std::string(c.include).rfind("../", 0) == 0 ? included : in_src;
        fs::create_directories(target.parent_path());
        ASSERT_TRUE(write_text(target.string(), "// included\n"));
        const CheckRun r = check(root);
        if (c.refusal) {
            EXPECT_EQ(r.status, 1) << c.file << " -> " << c.include << "\n" << r.output;
            EXPECT_NE(r.output.find(c.refusal), std::string::npos) << c.file << " -> " << c.include << "\n" << r.output;
        } else {
            EXPECT_EQ(r.status, 0) << c.file << " -> " << c.include << "\n" << r.output;
        }
    }
}

TEST(Layers, ATableThatNamesAnUnknownLayerIsRefused)
{
    const std::string root = make_temp_dir("layers_bad_table");
    fs::create_directories(root + "/docs");
    ASSERT_TRUE(write_text(root + "/docs/development.md",
                           "<!-- layers -->\n| Layer | Folders | May include |\n|---|---|---|\n"
                           "| base | `src/config.h` | base, nowhere |\n<!-- end of layers -->\n"));
    const CheckRun r = check(root);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("unknown layers"), std::string::npos) << r.output;
}

}  // namespace
