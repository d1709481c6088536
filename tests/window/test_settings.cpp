// The remembered settings: a file is read back as it was written, and one
// that is damaged, unreadable or from a later version is refused whole,
// with a reason, leaving the defaults.
#include "main/ovix_allegro.h"
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "main/settings.h"
#include "test_support.h"

namespace {

void start_library()
{
    static bool started = false;
    if (!started) started = install_allegro(SYSTEM_NONE, &errno, atexit) == 0;
    ASSERT_TRUE(started);
}

TEST(Settings, ReadBackAsWritten)
{
    start_library();
    const std::string dir = make_temp_dir("settings_round");
    ovix_settings s;
    s.scale = 3;
    s.fastest = true;
    s.fullscreen = true;
    s.slot = 9;
    s.cart_folder = "/home/me/my roms #2 = best";
    s.state_folder = "/tmp/states";
    s.recent = {"/a/b c.rom", "/d/e.rom"};
    s.placed = true;
    s.window_x = -40;
    s.window_y = 1200;
    const std::string path = dir + "/sub/folder/ovix.cfg";   // folders made on the way
    std::string error;
    ASSERT_TRUE(settings_save(path.c_str(), s, &error)) << error;
    ovix_settings back;
    ASSERT_EQ(settings_load(path.c_str(), &back, &error), settings_read::ok) << error;
    EXPECT_EQ(back, s) << settings_text(back);

    // A value that would not read back the same is left out: its default.
    s.cart_folder = "/two\nlines";
    ASSERT_TRUE(settings_save(path.c_str(), s, &error));
    ASSERT_EQ(settings_load(path.c_str(), &back, &error), settings_read::ok) << error;
    EXPECT_EQ(back.cart_folder, "");
}

TEST(Settings, DamagedOrLaterFilesAreRefusedWhole)
{
    start_library();
    const std::string dir = make_temp_dir("settings_bad");
    const std::string head = "[ovix]\nversion = 1\n";
    struct Case {
        const char *name;
        std::string text;
        const char *reason;   // part of the message; null: read
    };
    const Case cases[] = {
        {"good", head + "scale = 3\nspeed = fastest\nslot = 1\n", nullptr},
        {"comments and unknown keys", "# mine\n" + head + "scale = 3\ncolour = blue\n[other]\nx = 1\n", nullptr},
        {"later version", "[ovix]\nversion = 2\nscale = 3\n", "written by a later version"},
        {"no version", "[ovix]\nscale = 3\n", "no version line"},
        {"version not a number", "[ovix]\nversion = one\n", "version is 'one', not a number"},
        {"scale 5", head + "scale = 5\n", "scale is '5', not 1 to 4"},
        {"scale 0", head + "scale = 0\n", "scale is '0', not 1 to 4"},
        {"scale 4x", head + "scale = 4x\n", "scale is '4x'"},
        {"slot 10", head + "slot = 10\n", "slot is '10', not 1 to 9"},
        {"slot 0", head + "slot = 0\n", "slot is '0', not 1 to 9"},
        {"speed", head + "speed = warp\n", "speed is 'warp', not fastest or 5mhz"},
        {"fullscreen", head + "fullscreen = maybe\n", "fullscreen is 'maybe', not yes or no"},
        {"half a position", head + "window_x = 10\n", "window_x and window_y go together"},
        {"binary", std::string("[ovix]\nversion = 1\n\0\x01\x02", 23), "binary data"},
        {"too big", head + std::string(SETTINGS_MAX_SIZE, '#'), "more than a settings file has"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/ovix.cfg";
        ASSERT_TRUE(write_text(path, c.text));
        ovix_settings s;
        std::string error;
        const settings_read r = settings_load(path.c_str(), &s, &error);
        if (!c.reason) {
            EXPECT_EQ(r, settings_read::ok) << error;
            EXPECT_EQ(s.scale, 3);
            continue;
        }
        EXPECT_EQ(r, settings_read::refused);
        EXPECT_NE(error.find(path + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(s, ovix_settings{}) << "a refused file changes nothing";
    }
    ovix_settings s;
    std::string error;
    EXPECT_EQ(settings_load((dir + "/none.cfg").c_str(), &s, &error), settings_read::missing);
    EXPECT_EQ(settings_load(dir.c_str(), &s, &error), settings_read::refused);
    EXPECT_NE(error.find("a directory"), std::string::npos) << error;
}

TEST(Settings, RecentCartridgesNewestFirstOnceEach)
{
    ovix_settings s;
    for (int i = 1; i <= SETTINGS_RECENT + 2; i++) settings_add_recent(&s, "/r" + std::to_string(i) + ".rom");
    settings_add_recent(&s, "/r5.rom");
    ASSERT_EQ(s.recent.size(), (size_t)SETTINGS_RECENT);
    const std::vector<std::string> expected = {"/r5.rom", "/r10.rom", "/r9.rom", "/r8.rom",
                                               "/r7.rom", "/r6.rom",  "/r4.rom", "/r3.rom"};
    EXPECT_EQ(s.recent, expected);
}

TEST(Settings, PathFromTheEnvironment)
{
    const char *xdg = getenv("XDG_CONFIG_HOME"), *home = getenv("HOME");
    const std::string saved_xdg = xdg ? xdg : "", saved_home = home ? home : "";
    struct Case {
        const char *xdg, *home, *path;
    } cases[] = {
        {"/x/conf", "/home/me", "/x/conf/ovix/ovix.cfg"},
        {"relative", "/home/me", "/home/me/.config/ovix/ovix.cfg"},
        {nullptr, "/home/me", "/home/me/.config/ovix/ovix.cfg"},
        {nullptr, nullptr, ""},
    };
    for (const Case &c : cases) {
        c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
        c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
        EXPECT_EQ(settings_path(), c.path);
    }
    xdg ? setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    home ? setenv("HOME", saved_home.c_str(), 1) : unsetenv("HOME");
}

}  // namespace
