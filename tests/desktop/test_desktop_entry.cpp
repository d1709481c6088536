// The window program's desktop entry and icon as `cmake --install` puts
// them under a prefix: the entry starts the installed program on the
// installed open BIOS, passes desktop-file-validate (Debian's
// desktop-file-utils), and its icon is in the icon theme's folders; the
// manual pages are in man1, as they are in the sources.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

std::string output_of(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    *status = pclose(p);
    return out;
}

TEST(DesktopEntry, InstalledItStartsTheProgramOnTheOpenBios)
{
    const std::string prefix = make_temp_dir("prefix");
    int status = -1;
    const std::string out = output_of("cmake --install '" OVIX_BINARY_DIR "' --prefix '" + prefix + "'", &status);
    ASSERT_EQ(status, 0) << out;

    const std::string entry = prefix + "/share/applications/ovix.desktop";
    const std::string text = read_text(entry);
    const std::string program = prefix + "/bin/ovix", bios = prefix + "/share/ovix/bios/BIOS7020.bin";
    EXPECT_NE(text.find("\nExec=\"" + program + "\" --bios \"" + bios + "\"\n"), std::string::npos) << text;
    EXPECT_TRUE(std::filesystem::exists(program));
    EXPECT_TRUE(std::filesystem::exists(bios));
    for (const int size : {48, 128}) {
        Picture icon;
        const std::string s = std::to_string(size);
        EXPECT_EQ(read_png(prefix + "/share/icons/hicolor/" + s + "x" + s + "/apps/ovix.png", &icon), "");
        EXPECT_EQ(icon.width, size);
        EXPECT_EQ(icon.height, size);
    }

    for (const char *page : {"ovix.1", "ovix-headless.1", "ovix-asm.1"}) {
        const std::string installed = read_text(prefix + "/share/man/man1/" + page);
        EXPECT_FALSE(installed.empty()) << page;
        EXPECT_EQ(installed, read_text(OVIX_SOURCE_DIR "/man/" + std::string(page))) << page;
    }

    if (system("command -v desktop-file-validate >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs desktop-file-validate (package desktop-file-utils)";
    const std::string verdict = output_of("desktop-file-validate '" + entry + "'", &status);
    EXPECT_EQ(status, 0) << verdict;
    EXPECT_EQ(verdict, "");   // not even a hint
}

// The test programs run side by side, and several of them install the
// build: installs into different prefixes at the same time each get the
// entry of their own prefix.
TEST(DesktopEntry, InstallsAtTheSameTimeEachWriteTheirOwnEntry)
{
    std::string cmd, prefixes[4];
    for (std::string &p : prefixes) {
        p = make_temp_dir("side");
        cmd += "cmake --install '" OVIX_BINARY_DIR "' --prefix '" + p + "' >/dev/null 2>&1 & ";
    }
    int status = -1;
    const std::string out = output_of(cmd + "wait", &status);
    ASSERT_EQ(status, 0) << out;
    for (const std::string &p : prefixes) {
        const std::string text = read_text(p + "/share/applications/ovix.desktop");
        EXPECT_NE(text.find("\nExec=\"" + p + "/bin/ovix\" --bios \"" + p + "/share/ovix/bios/BIOS7020.bin\"\n"),
                  std::string::npos)
            << p << ":\n" << text;
    }
}

}  // namespace
