// The libretro core in the real RetroArch (Debian's package): the test
// starts its own virtual X server, runs RetroArch with the core and the demo
// cartridge for a few hundred frames, and compares RetroArch's screenshot
// with the demo's golden picture; then with rewinding on and a save state
// written when RetroArch ends, which a second run loads at its start.
//
// RetroArch shows the picture at the core's 4:3 aspect ratio: with a window
// scale of 2 its window, and so the screenshot, is 666 x 500 (500 x 4/3).
// Nearest-neighbour scaling (video_smooth off) makes each of the machine's
// pixels a block of 2 rows and 2 or 3 columns; the test reads the
// screenshot at the centre of each block, which is the machine's pixel
// whatever the rounding at the block's edges.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "test_support.h"
#include "x_server.h"

#include <vector>

namespace {

const std::string CORE = OVIX_BINARY_DIR "/src/libretro/ovix_libretro.so";
const std::string DEMO = OVIX_BINARY_DIR "/roms/demo/demo.rom";
const std::string GOLDEN = OVIX_SOURCE_DIR "/tests/roms/golden/";

bool have_program(const char *name)
{
    return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A virtual X server of the test's own: Xvfb picks a free display number
// and writes it to a pipe.
class RetroArch : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "RetroArch cannot load a core built with AddressSanitizer (the dlopen test covers it)";
#endif
        for (const char *p : {"retroarch", "dbus-run-session", "Xvfb"})
            if (!have_program(p)) GTEST_SKIP() << "needs " << p << " (packages retroarch, dbus, xvfb)";
        dir = make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(x.start()) << "could not start Xvfb";
    }

    // Writes RetroArch's settings for the test: no sound, no messages over
    // the picture, nearest-neighbour scaling at twice the size, and every
    // folder inside the test's own (an empty system folder: the core's
    // open BIOS runs).
    void write_config(const std::string &extra = "")
    {
        for (const char *sub : {"home", "system", "saves", "states"}) mkdir((dir + "/" + sub).c_str(), 0755);
        std::ofstream cfg(dir + "/test.cfg");
        cfg << "audio_driver = \"null\"\n"
               "video_driver = \"gl\"\n"
               "video_fullscreen = \"false\"\n"
               "video_scale = \"2.000000\"\n"
               "video_smooth = \"false\"\n"
               "video_shader_enable = \"false\"\n"
               "video_font_enable = \"false\"\n"
               "config_save_on_exit = \"false\"\n"
            << "system_directory = \"" << dir << "/system\"\n"
            << "savefile_directory = \"" << dir << "/saves\"\n"
            << "savestate_directory = \"" << dir << "/states\"\n"
            << "screenshot_directory = \"" << dir << "\"\n"
            << extra;
    }

    // Runs RetroArch on the demo for `frames` frames and takes its
    // screenshot at the end; its exit status (124: killed after a minute).
    int run_retroarch(int frames, const std::string &shot)
    {
        const std::string env = "env DISPLAY=" + x.display + " HOME='" + dir + "/home' XDG_CONFIG_HOME='" + dir +
                                "/home/.config' ";
        const std::string cmd = env + "timeout -k 5 60 dbus-run-session -- retroarch -v -L '" + CORE + "' '" + DEMO +
                                "' --appendconfig '" + dir + "/test.cfg' --max-frames=" + std::to_string(frames) +
                                " --max-frames-ss --max-frames-ss-path='" + shot + "' >'" + dir + "/retroarch.log' 2>&1";
        const int st = system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    std::string log() { return read_text(dir + "/retroarch.log"); }

    // The machine's 320 x 250 picture read from a screenshot of 250 rows
    // times `rows` and 320 columns times width / 320.
    static Picture machine_picture(const Picture &shot)
    {
        Picture p{320, 250, std::vector<uint8>((size_t)320 * 250 * 3)};
        for (int y = 0; y < 250; y++)
            for (int x = 0; x < 320; x++) {
                const int sx = (int)((x + 0.5) * shot.width / 320), sy = (int)((y + 0.5) * shot.height / 250);
                memcpy(&p.rgb[((size_t)y * 320 + x) * 3], shot.at(sx, sy), 3);
            }
        return p;
    }

    void expect_demo_picture(const std::string &shot_path)
    {
        Picture shot, golden;
        ASSERT_EQ(read_png(shot_path, &shot), "") << log();
        EXPECT_EQ(shot.width, 666);   // 500 x 4/3
        EXPECT_EQ(shot.height, 500);
        ASSERT_EQ(read_png(GOLDEN + "demo_bitmap.png", &golden), "");
        const Picture got = machine_picture(shot);
        int differ = 0;
        for (size_t i = 0; i < got.rgb.size(); i += 3) differ += memcmp(&got.rgb[i], &golden.rgb[i], 3) != 0;
        EXPECT_EQ(differ, 0) << "pixels that differ from demo_bitmap.png; the screenshot is " << shot_path;
    }

    std::string dir;
    XServer x;
};

TEST_F(RetroArch, RewindsAndKeepsItsStateFromOneRunToTheNext)
{
    // RetroArch offers rewinding and save states for a core whose
    // information file says it can: both from the build folder.
    const std::string core_dir = OVIX_BINARY_DIR "/src/libretro";
    write_config("libretro_directory = \"" + core_dir + "\"\nlibretro_info_path = \"" + core_dir +
                 "\"\n"
                 "rewind_enable = \"true\"\n"
                 "savestate_auto_save = \"true\"\n"
                 "savestate_file_compression = \"false\"\n");
    ASSERT_EQ(run_retroarch(300, dir + "/first.png"), 0) << log();
    EXPECT_NE(log().find("Initializing rewind buffer"), std::string::npos) << log();
    // The state file holds the core's state as it saved it, in a block of
    // RetroArch's own format (a "RASTATE" header and a "MEM " block).
    const std::vector<uint8> file = read_file(dir + "/states/demo.state.auto");
    const std::string text(file.begin(), file.end());
    const size_t at = text.find("OVIXCORE");
    ASSERT_NE(at, std::string::npos) << log();
    ASSERT_LE(at + 16, file.size());
    const uint8 *size = &file[at + 12];
    EXPECT_LE(at + (size[0] | size[1] << 8 | size[2] << 16 | (size_t)size[3] << 24), file.size());

    // Ten frames after a cold start the demo is not on the screen yet: it
    // is there only because the state was loaded.
    std::ofstream(dir + "/test.cfg", std::ios::app) << "savestate_auto_load = \"true\"\n";
    const std::string shot = dir + "/second.png";
    ASSERT_EQ(run_retroarch(10, shot), 0) << log();
    EXPECT_EQ(log().find("[Ovix] Cannot load the state"), std::string::npos) << log();
    expect_demo_picture(shot);
}

TEST_F(RetroArch, ShowsTheDemoCartridge)
{
    write_config();
    const std::string shot = dir + "/demo.png";
    ASSERT_EQ(run_retroarch(300, shot), 0) << log();
    EXPECT_NE(log().find("[Ovix] BIOS: no BIOS7020.bin in the system folder"), std::string::npos) << log();
    expect_demo_picture(shot);
}

}  // namespace
