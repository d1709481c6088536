// The headless runner given things that are not files as its BIOS or
// cartridge: it must say what the path is and exit with status 1, never
// wait on a FIFO for a writer that never comes. Each run is bounded by
// timeout(1), so a runner that blocks fails the test instead of hanging it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "test_support.h"

namespace {

const std::string BINARY = OVIX_BINARY_DIR "/tools/headless/ovix-headless";
constexpr int BLOCKED = 124;   // timeout(1)'s status when it had to stop the program

TEST(HeadlessInputs, FifoOrFolderAsBiosOrCartridgeIsRefusedAtOnce)
{
    const std::string dir = make_temp_dir("not_files");
    std::filesystem::create_directories(dir + "/bios");
    ASSERT_TRUE(write_file(dir + "/bios/BIOS7020.bin", std::vector<uint8>(2048, 0x00)));
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
    std::filesystem::create_directories(dir + "/folder");

    struct {
        const char *args;
        std::vector<std::string> messages;   // all on stderr
    } cases[] = {
        {"--bios pipe", {"Memory initialization failed", "pipe", "a FIFO, not a file"}},
        {"--bios folder", {"Memory initialization failed", "folder", "a directory, not a file"}},
        {"--cart pipe", {"Not a valid ROM", "pipe", "a FIFO, not a file"}},
        {"--cart folder", {"Not a valid ROM", "folder", "a directory, not a file"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const std::string cmd = "cd '" + dir + "' && timeout 60 '" + BINARY + "' --instructions 10 " + c.args +
                                " >stdout.txt 2>stderr.txt";
        const int rc = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(rc));
        ASSERT_NE(WEXITSTATUS(rc), BLOCKED) << "the runner blocked";
        EXPECT_EQ(WEXITSTATUS(rc), 1);
        const std::string err = read_text(dir + "/stderr.txt");
        for (const std::string &m : c.messages) EXPECT_NE(err.find(m), std::string::npos) << m << " in: " << err;
        EXPECT_EQ(read_text(dir + "/stdout.txt"), "") << "no summary line after a refused input";
    }
}

}  // namespace
