// The window program as a user drives it: each test starts its own virtual
// X server, runs `ovix` with the open BIOS in a fresh working directory,
// presses keys and clicks with xdotool, and reads the screen with xwd.
//
// Golden pictures (tests/window/golden/*.png) are taken only of states that
// do not depend on host timing: the BIOS screen (its cursor blinks, so the
// test waits until the screen shows the golden phase), and the debugger
// after a reset and a run to a fixed BIOS address. Transient states (popups,
// alerts) are recognised by their text, drawn here with the GUI's own font.
//
// Regenerating the goldens after an intended change of the picture:
//   OVIX_REGEN_GOLDEN=1 ctest --test-dir <build> -L window
// then look at the new tests/window/golden/*.png before committing them. A
// failing comparison leaves <name>.actual.png in the test's working folder.
#include "main/ovix_allegro.h"
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "services/png.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int WIN_W = 640, WIN_H = 500;   // the program's window, at (0, 0)
// How long a test waits for what it expects: long enough for a slow,
// loaded machine (the sanitized build, other tests running). Waiting costs
// nothing when the answer comes at once.
constexpr auto LONG = std::chrono::seconds(60);
constexpr int ROOT_W = 800, ROOT_H = 600;       // the X screen: room to park the pointer
const std::string OVIX = OVIX_BINARY_DIR "/src/main/ovix";
const std::string OPEN_BIOS = OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
const std::string BIOS_LISTING = OVIX_BINARY_DIR "/roms/bios/BIOS7020.lst";
const std::string DEMO_CART = OVIX_BINARY_DIR "/roms/demo/demo.rom";
const std::string DEMO_LISTING = OVIX_BINARY_DIR "/roms/demo/demo.lst";
const std::string GOLDEN_DIR = OVIX_SOURCE_DIR "/tests/window/golden/";

bool regen_mode()
{
    const char *v = getenv("OVIX_REGEN_GOLDEN");
    return v && *v && strcmp(v, "0") != 0;
}

void sleep_for(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

bool have_program(const char *name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// ---------------------------------------------------------------------------
// Pictures: screen dumps and golden PNGs, both read into a Picture.

// A pixel as 0xRRGGBB.
uint32 colour(const Picture &pic, int x, int y)
{
    const uint8 *p = pic.at(x, y);
    return (uint32)p[0] << 16 | (uint32)p[1] << 8 | p[2];
}

uint32 be32(const uint8 *p) { return (uint32)p[0] << 24 | (uint32)p[1] << 16 | (uint32)p[2] << 8 | p[3]; }

// A window dump of the root window (xwd's format, ZPixmap, 24 or 32 bits
// per pixel, true colour), cut to the program's window.
std::optional<Picture> parse_xwd(const std::vector<uint8> &d, int cut_w = WIN_W, int cut_h = WIN_H)
{
    if (d.size() < 100) return std::nullopt;
    uint32 f[25];
    for (int i = 0; i < 25; i++) f[i] = be32(&d[i * 4]);
    const uint32 header = f[0], format = f[2], width = f[4], height = f[5], byte_order = f[7], bpp = f[11],
                 bpl = f[12], red = f[14], green = f[15], blue = f[16], ncolors = f[19];
    if (format != 2 || (bpp != 24 && bpp != 32) || width < (uint32)cut_w || height < (uint32)cut_h)
        return std::nullopt;
    const size_t offset = header + (size_t)ncolors * 12;
    if (d.size() < offset + (size_t)bpl * height) return std::nullopt;
    auto shift = [](uint32 mask) {
        int s = 0;
        while (mask && !(mask & 1)) mask >>= 1, s++;
        return s;
    };
    const int rs = shift(red), gs = shift(green), bs = shift(blue);
    Picture img{cut_w, cut_h, std::vector<uint8>((size_t)cut_w * cut_h * 3)};
    const int bytes = (int)bpp / 8;
    for (int y = 0; y < cut_h; y++) {
        const uint8 *row = &d[offset + (size_t)y * bpl];
        for (int x = 0; x < cut_w; x++) {
            uint32 v = 0;
            for (int b = 0; b < bytes; b++) {
                uint32 byte = row[x * bytes + b];
                v |= byte_order == 0 ? byte << (8 * b) : byte << (8 * (bytes - 1 - b));
            }
            uint8 *o = &img.rgb[(size_t)(y * cut_w + x) * 3];
            o[0] = (uint8)((v & red) >> rs);
            o[1] = (uint8)((v & green) >> gs);
            o[2] = (uint8)((v & blue) >> bs);
        }
    }
    return img;
}

// Where two pictures differ: how many pixels, and their bounding box.
std::string describe_difference(const Picture &a, const Picture &b)
{
    if (a.width != b.width || a.height != b.height) return "sizes differ";
    int n = 0, x0 = a.width, y0 = a.height, x1 = -1, y1 = -1;
    for (int y = 0; y < a.height; y++)
        for (int x = 0; x < a.width; x++)
            if (colour(a, x, y) != colour(b, x, y)) {
                n++;
                x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
            }
    char buf[128];
    snprintf(buf, sizeof buf, "%d pixels differ, within (%d,%d)-(%d,%d)", n, x0, y0, x1, y1);
    return buf;
}

// ---------------------------------------------------------------------------
// Text on the screen, as the GUI draws it: black glyphs of the library's
// 8 x 8 font on a plain background.

struct TextMask {
    int w = 0, h = 0;
    std::vector<uint8> on;   // 1 where a glyph pixel is
};

TextMask text_mask(const char *text)
{
    static bool ready = false;
    if (!ready) {
        install_allegro(SYSTEM_NONE, &errno, atexit);
        ready = true;
    }
    TextMask m;
    m.w = text_length(font, text);
    m.h = text_height(font);
    BITMAP *b = create_bitmap_ex(8, m.w, m.h);
    clear_to_color(b, 0);
    textout_ex(b, font, text, 0, 0, 1, 0);
    m.on.resize((size_t)m.w * m.h);
    for (int y = 0; y < m.h; y++)
        for (int x = 0; x < m.w; x++) m.on[(size_t)y * m.w + x] = getpixel(b, x, y) == 1;
    destroy_bitmap(b);
    return m;
}

// The top-left corner of `text` in black on a plain, non-black background.
std::optional<std::pair<int, int>> find_text(const Picture &img, const char *text)
{
    const TextMask m = text_mask(text);
    std::vector<std::pair<int, int>> glyph, ground;
    for (int y = 0; y < m.h; y++)
        for (int x = 0; x < m.w; x++) (m.on[(size_t)y * m.w + x] ? glyph : ground).push_back({x, y});
    if (glyph.empty() || ground.empty()) return std::nullopt;
    for (int y = 0; y + m.h <= img.height; y++)
        for (int x = 0; x + m.w <= img.width; x++) {
            bool ok = true;
            for (auto [gx, gy] : glyph)
                if (colour(img, x + gx, y + gy) != 0) {
                    ok = false;
                    break;
                }
            if (!ok) continue;
            const uint32 bg = colour(img, x + ground[0].first, y + ground[0].second);
            if (bg == 0) continue;
            for (auto [gx, gy] : ground)
                if (colour(img, x + gx, y + gy) != bg) {
                    ok = false;
                    break;
                }
            if (ok) return std::make_pair(x, y);
        }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// The virtual X server, one per test program.

struct XServer {
    int display = -1;
    pid_t pid = -1;

    // Xvfb chooses a free display number itself and writes it to a pipe,
    // so that test programs running at the same time never share a server.
    bool start(const std::string &geometry = std::to_string(ROOT_W) + "x" + std::to_string(ROOT_H) + "x24")
    {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(), "-nolisten", "tcp",
                   (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd p = {fds[0], POLLIN, 0};
        while (poll(&p, 1, 10000) > 0) {   // up to 10 s for each piece of the answer
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            stop();
            return false;
        }
        display = std::stoi(number);
        setenv("DISPLAY", (":" + number).c_str(), 1);
        return true;
    }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

XServer g_x;
bool g_x_started = false;

int run(const std::string &cmd) { return system(cmd.c_str()); }

std::string run_output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// The address of a label in the open BIOS's listing ("FC39  01   245  .sleep:
// IDLE"); with `after`, the first one that follows that label.
std::optional<unsigned> bios_label(const std::string &label, const std::string &after = "")
{
    std::ifstream f(BIOS_LISTING);
    auto pattern = [](const std::string &name) {
        return std::regex("^([0-9A-F]{4})\\s.*\\s\\d+\\s+" + name + ":");
    };
    const std::regex wanted = pattern(label), first = pattern(after.empty() ? label : after);
    bool seen = after.empty();
    std::string s;
    std::smatch m;
    while (std::getline(f, s)) {
        if (!seen) {
            seen = std::regex_search(s, m, first);
            if (!seen) continue;
        }
        if (std::regex_search(s, m, wanted)) return std::stoul(m[1].str(), nullptr, 16);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// One run of the program.

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (g_x_started || !have_program("Xvfb") || !have_program("xdotool") || !have_program("xwd")) return;
        g_x_started = g_x.start();
    }
    static void TearDownTestSuite()
    {
        g_x.stop();
        g_x_started = false;
    }

    void SetUp() override
    {
        if (!have_program("Xvfb") || !have_program("xdotool") || !have_program("xwd"))
            GTEST_SKIP() << "needs Xvfb, xdotool and xwd (packages xvfb, xdotool, x11-apps)";
        ASSERT_TRUE(g_x_started) << "could not start Xvfb";
        ASSERT_TRUE(fs::exists(OVIX)) << OVIX;
        ASSERT_TRUE(fs::exists(OPEN_BIOS)) << "the open BIOS is not built: " << OPEN_BIOS;
        dir = make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir + "/bios");
        fs::copy_file(OPEN_BIOS, dir + "/bios/BIOS7020.bin");
        // The program's settings file goes to the test's folder, never to
        // the user's: each test starts from the defaults.
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
    }

    void TearDown() override
    {
        if (pid > 0) {
            // A program that does not end on SIGTERM is a fault, not a
            // reason for the test run to wait for ever.
            kill(pid, SIGTERM);
            if (!wait_exit(LONG)) {
                ADD_FAILURE() << "the program did not end within a minute of SIGTERM";
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            pid = -1;
        }
    }

    // Starts the program (with `args`) and gives its window the keyboard
    // (unless `focus` is false: then, as without a window manager, the keys
    // go to the window under the pointer). The pointer waits outside the
    // window, so the program draws its own pointer at the window's centre,
    // where it starts. Its standard error goes to stderr.txt in the test's
    // folder.
    void start(const std::vector<std::string> &args = {}, bool focus = true, const std::string &program = OVIX)
    {
        TearDown();   // a program still running from an earlier step of the test ends first
        run("xdotool mousemove " + std::to_string(ROOT_W - 20) + " " + std::to_string(ROOT_H - 20));
        std::vector<const char *> argv = {"ovix"};
        for (const std::string &a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        const std::string errors = dir + "/stderr.txt";
        // The graphics library fails to start now and then ("no display
        // could be opened") when another program on the same display ended
        // a moment before, as the previous step's did: then the program is
        // started again, a second later, at most twice.
        std::string window;
        for (int attempt = 0; attempt < 3 && window.empty(); attempt++) {
            if (attempt > 0) sleep_for(1s);
            const size_t before = read_text(errors).size();
            launch(argv, errors, program);
            ASSERT_GT(pid, 0);
            for (auto until = std::chrono::steady_clock::now() + LONG;
                 window.empty() && std::chrono::steady_clock::now() < until;) {
                sleep_for(100ms);
                // The title names the cartridge once the keyboard is installed.
                window = run_output("xdotool search --name '^ovix - ' 2>/dev/null | head -1");
                while (!window.empty() && (window.back() == '\n' || window.back() == ' ')) window.pop_back();
                if (window.empty() && !running()) break;
            }
            if (!window.empty() || running()) break;
            pid = -1;
            if (read_text(errors).find("no display could be opened", before) == std::string::npos) break;
        }
        ASSERT_FALSE(window.empty()) << "the window did not appear";
        window_id = window;
        if (!focus) return;
        // The pointer is outside the window: the keys reach it only while it
        // has the focus. A window that is not yet viewable refuses it, so
        // the focus is asked for again until the X server says it has it.
        for (auto until = std::chrono::steady_clock::now() + LONG;;) {
            run("xdotool windowfocus " + window + " 2>/dev/null");
            std::string has = run_output("xdotool getwindowfocus -f 2>/dev/null");
            while (!has.empty() && (has.back() == '\n' || has.back() == ' ')) has.pop_back();
            if (has == window) break;
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "the window never took the keyboard focus";
            sleep_for(100ms);
        }
    }

    void launch(const std::vector<const char *> &argv, const std::string &errors, const std::string &program)
    {
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(126);
            int null = open("/dev/null", O_RDWR);
            int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(null, 1);
            dup2(err >= 0 ? err : null, 2);
            execv(program.c_str(), const_cast<char *const *>(argv.data()));
            _exit(127);
        }
    }

    // A key held across at least one keyboard poll of the running machine.
    void hold(const std::string &key, std::chrono::milliseconds ms = 300ms)
    {
        run("xdotool keydown " + key);
        sleep_for(ms);
        run("xdotool keyup " + key);
        sleep_for(100ms);
    }

    void type(const std::string &text) { run("xdotool type --delay 60 '" + text + "'"); }

    void point(int x, int y)
    {
        run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
        sleep_for(150ms);
    }

    void park_pointer() { point(WIN_W - 4, WIN_H - 10); }

    // A click slow enough for the dialog manager to see the button down.
    void click(int x, int y)
    {
        point(x, y);
        run("xdotool mousedown 1");
        sleep_for(150ms);
        run("xdotool mouseup 1");
        sleep_for(200ms);
    }

    // The screen's top-left 640 x 500 pixels (or w x h).
    // A dump taken while a window changes its size can fail: it is taken
    // again.
    Picture shot(int w = WIN_W, int h = WIN_H)
    {
        std::optional<Picture> img;
        for (int attempt = 0; attempt < 5 && !img; attempt++) {
            const std::string dump = run_output("xwd -root -silent 2>/dev/null");
            img = parse_xwd(std::vector<uint8>(dump.begin(), dump.end()), w, h);
        }
        if (!img) ADD_FAILURE() << "unreadable screen dump";
        return img.value_or(Picture{w, h, std::vector<uint8>((size_t)w * h * 3)});
    }

    bool wait_for(const std::function<bool(const Picture &)> &pred, std::chrono::milliseconds timeout)
    {
        auto until = std::chrono::steady_clock::now() + timeout;
        do {
            if (pred(shot())) return true;
            sleep_for(100ms);
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }

    // Waits for a text to show, with the pointer parked in a corner so that
    // the program's pointer image covers no text.
    bool wait_text(const char *text, std::chrono::milliseconds timeout = LONG)
    {
        park_pointer();
        if (wait_for([&](const Picture &s) { return find_text(s, text).has_value(); }, timeout)) return true;
        ADD_FAILURE() << "\"" << text << "\" did not appear; see " << save_shot();
        return false;
    }

    // The screen as it is now, for a failure message.
    std::string save_shot()
    {
        Picture s = shot();
        const std::string path =
            fs::absolute(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                         ".screen" + std::to_string(++shots) + ".png")
                .string();
        png_write_rgb(path.c_str(), s.width, s.height, s.rgb.data());
        return path;
    }

    // Clicks the middle of a text on the screen (a menu item, a button).
    // The pointer first moves to a corner, where the program's pointer
    // image covers no text.
    void click_text(const char *text)
    {
        park_pointer();
        std::optional<std::pair<int, int>> at;
        ASSERT_TRUE(wait_for([&](const Picture &s) { return (at = find_text(s, text)).has_value(); }, LONG))
            << "\"" << text << "\" is not on the screen; see " << save_shot();
        const TextMask m = text_mask(text);
        click(at->first + m.w / 2, at->second + m.h / 2);
    }

    // Waits until the screen equals the golden picture `name`, but for the
    // `ignored` rectangles (x, y, w, h). In the regenerating mode the first
    // picture that stays the same for 300 ms (after `settle`) becomes the
    // golden.
    struct Rect {
        int x, y, w, h;
    };
    void expect_screen(const std::string &name, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds settle = 0ms, const std::vector<Rect> &ignored = {})
    {
        const std::string path = GOLDEN_DIR + name + ".png";
        if (regen_mode()) {
            sleep_for(settle);
            Picture prev = shot();
            for (int i = 0; i < 50; i++) {
                sleep_for(300ms);
                Picture now = shot();
                if (now == prev) {
                    fs::create_directories(GOLDEN_DIR);
                    ASSERT_EQ(png_write_rgb(path.c_str(), now.width, now.height, now.rgb.data()), nullptr);
                    std::printf("regenerated %s\n", path.c_str());
                    return;
                }
                prev = now;
            }
            FAIL() << "the screen never settled for " << name;
        }
        Picture golden;
        const std::string error = read_png(path, &golden);
        ASSERT_TRUE(error.empty()) << "no readable golden " << path << " (" << error
                                   << "; OVIX_REGEN_GOLDEN=1 makes it)";
        auto blank = [&](Picture p) {
            for (const Rect &r : ignored)
                for (int y = r.y; y < r.y + r.h && y < p.height; y++)
                    for (int x = r.x; x < r.x + r.w && x < p.width; x++)
                        std::fill_n(&p.rgb[(size_t)(y * p.width + x) * 3], 3, 0);
            return p;
        };
        golden = blank(golden);
        Picture last;
        if (wait_for([&](const Picture &s) { last = blank(s); return last == golden; }, timeout)) return;
        const std::string actual = name + ".actual.png";
        png_write_rgb(actual.c_str(), last.width, last.height, last.rgb.data());
        FAIL() << "screen differs from " << path << ": " << describe_difference(last, golden) << "; see "
               << fs::absolute(actual).string();
    }

    // The exit status once the program has ended, or nullopt.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout)
    {
        auto until = std::chrono::steady_clock::now() + timeout;
        do {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < until);
        return std::nullopt;
    }

    bool running()
    {
        int status;
        return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
    }

    // Waits until the BIOS shows its settled screen (the golden; while the
    // goldens are being made, a few seconds).
    void wait_bios_screen()
    {
        if (regen_mode()) {
            sleep_for(4s);
            return;
        }
        expect_screen("bios_screen", LONG);
    }

    // From the running machine into the debugger with F1.
    void open_debugger()
    {
        hold("F1");
        ASSERT_TRUE(wait_text("Ovix integrated debugger")) << "no debugger after F1";
    }

    // Into the address field of the debugger, with what was there erased;
    // Tab then takes the focus off the field, so that the debugger's
    // letter keys reach their commands.
    void type_address(const std::string &text)
    {
        click(2 + 490 + 60, 2 + 354 + 5);   // the field takes the keys once clicked
        run("xdotool key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace");
        type(text);
        run("xdotool key Tab");
        point(WIN_W / 2, WIN_H / 2);  // back where the program's pointer started
    }


    // Keys pressed and released one after the other, each held `hold` with
    // `gap` between them, in one xdotool run (so the timing is xdotool's).
    void press_keys(const std::string &keys, std::chrono::milliseconds hold, std::chrono::milliseconds gap)
    {
        std::string cmd = "xdotool";
        char times[64];
        snprintf(times, sizeof times, " sleep %.3f", hold.count() / 1000.0);
        const std::string hold_s = times;
        snprintf(times, sizeof times, " sleep %.3f", gap.count() / 1000.0);
        const std::string gap_s = times;
        for (char k : keys) cmd += std::string(" keydown ") + k + hold_s + " keyup " + k + gap_s;
        run(cmd);
    }

    // The profile in the window title, {MHz, changed pictures/s}, read
    // `wait` after the call: with the default, the measuring window (1 s)
    // that it shows began after the call.
    std::optional<std::pair<double, double>> profile_after(std::chrono::milliseconds wait = 2500ms)
    {
        static const std::regex title_re(
            "^ovix - .+ - ([0-9.]+) MHz emulated, x[0-9.]+ real time, [0-9]+ frames/s \\(([0-9]+) changed\\)");
        sleep_for(wait);
        const std::string t = run_output("xdotool getwindowname " + window_id + " 2>/dev/null");
        std::smatch m;
        if (!std::regex_search(t, m, title_re)) {
            ADD_FAILURE() << "no profile in the window title: " << t;
            return std::nullopt;
        }
        return std::make_pair(std::stod(m[1].str()), std::stod(m[2].str()));
    }

    // From the debugger: F4, the file name, Return.
    void load_cartridge(const std::string &name)
    {
        hold("F4");
        ASSERT_TRUE(wait_text("Load an OVIX ROM image", LONG));
        type(name);
        run("xdotool key Return");
    }

    // The dump files in the test's folder.
    std::vector<std::string> dump_files()
    {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            if (std::regex_match(e.path().filename().string(), std::regex("FILE[0-9]{3,}\\.(bin|asm)")))
                names.push_back(e.path().filename().string());
        return names;
    }

    // From the debugger: the memory explorer writes CPU addresses start..end
    // with `item` ("Dump BIN to disk" ...), and says which file it wrote;
    // returns that file's name, or "" when none appeared.
    std::string explorer_dump(const char *start, const char *end, const char *item = "Dump BIN to disk")
    {
        click_text("Memory");
        click_text("memory explorer");
        if (!wait_text("ORLO Memory explorer", LONG)) return "";
        auto field = [&](int x, const char *text) {
            point(2 + x + 28, 2 + 30 + 4);
            run("xdotool key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace");
            type(text);
        };
        field(112, start);
        field(312, end);
        point(300, 300);
        const std::vector<std::string> before = dump_files();
        click_text("command");
        click_text(item);
        std::string written;
        for (auto until = std::chrono::steady_clock::now() + LONG;
             written.empty() && std::chrono::steady_clock::now() < until;) {
            for (const std::string &f : dump_files())
                if (std::find(before.begin(), before.end(), f) == before.end()) written = f;
            if (written.empty()) sleep_for(100ms);
        }
        if (!written.empty()) {
            EXPECT_TRUE(wait_text(("Wrote " + written).c_str(), LONG));
        }
        click_text("command");
        click_text("Quit");
        return written;
    }

    // xdotool's "Position: X,Y" and "Geometry: WxH" of the program's window.
    std::string geometry() { return run_output("xdotool getwindowgeometry " + window_id + " 2>/dev/null"); }

    bool wait_geometry(const std::string &part)
    {
        for (auto until = std::chrono::steady_clock::now() + LONG; std::chrono::steady_clock::now() < until;
             sleep_for(100ms))
            if (geometry().find(part) != std::string::npos) return true;
        ADD_FAILURE() << part << " not in " << geometry();
        return false;
    }

    bool wait_title(const std::string &title)
    {
        const std::string cmd = "xdotool getwindowname " + window_id + " 2>/dev/null";
        for (auto until = std::chrono::steady_clock::now() + LONG; std::chrono::steady_clock::now() < until;
             sleep_for(100ms))
            if (run_output(cmd) == title + "\n") return true;
        ADD_FAILURE() << "the title is " << run_output(cmd) << ", not " << title;
        return false;
    }

    // Until the program's standard error holds `text`.
    bool wait_stderr(const std::string &text)
    {
        for (auto until = std::chrono::steady_clock::now() + LONG; std::chrono::steady_clock::now() < until;
             sleep_for(100ms))
            if (read_text(dir + "/stderr.txt").find(text) != std::string::npos) return true;
        ADD_FAILURE() << "\"" << text << "\" not on standard error:\n" << read_text(dir + "/stderr.txt");
        return false;
    }

    bool wait_gone(const char *text)
    {
        if (wait_for([&](const Picture &s) { return !find_text(s, text); }, LONG)) return true;
        ADD_FAILURE() << "\"" << text << "\" is still shown; see " << save_shot();
        return false;
    }

    // From the popup: EXIT, "Yes"; the program ends with status 0.
    void exit_from_the_popup()
    {
        hold("Escape");
        click_text("EXIT");
        ASSERT_TRUE(wait_text("Really Quit?"));
        run("xdotool key y");
        ASSERT_EQ(wait_exit(LONG), std::optional<int>(0));
    }

    std::string dir;
    std::string window_id;   // the program's window, for xdotool
    pid_t pid = -1;
    int shots = 0;
};

// A test cartridge of 8 KiB at $6000 with the BIOS's signature. It polls the
// keyboard and logs every key press at $C100 on, and shows a counter in the
// first two cells of the text page without pause, so the picture changes
// all the time:
//   6000  88 C1 00 11   MOVD #$C100,R17      ; R16:R17 -> the key log
//   6004  FB            TRAP 4               ; A = key press, or 0 (Z)
//   6005  E2 04         JEQ  $600B
//   6007  9B 11         STA  *R17
//   6009  D3 11         INC  R17
//   600B  88 00 00 0A   MOVD #$0000,R10      ; VRAM address 0
//   600F  F7            TRAP 8
//   6010  D3 14         INC  R20             ; R21:R20 counts
//   6012  E7 02         JL   $6016
//   6014  D3 15         INC  R21
//   6016  A2 E4 2E      MOVP #$E4,P46        ; cell 0: attribute, then
//   6019  12 14         MOV  R20,A           ;   a letter from the low byte
//   601B  23 3F         AND  #$3F,A
//   601D  24 40         OR   #$40,A
//   601F  82 2E         MOVP A,P46
//   6021  A2 E4 2E      MOVP #$E4,P46        ; cell 1: from the high byte
//   6024  12 15         MOV  R21,A
//   6026  23 3F         AND  #$3F,A
//   6028  24 40         OR   #$40,A
//   602A  82 2E         MOVP A,P46
//   602C  E0 D6         JMP  $6004
const std::vector<uint8> BUSY_CART_CODE = {
    0x88, 0xC1, 0x00, 0x11, 0xFB, 0xE2, 0x04, 0x9B, 0x11, 0xD3, 0x11, 0x88, 0x00, 0x00, 0x0A, 0xF7,
    0xD3, 0x14, 0xE7, 0x02, 0xD3, 0x15, 0xA2, 0xE4, 0x2E, 0x12, 0x14, 0x23, 0x3F, 0x24, 0x40, 0x82,
    0x2E, 0xA2, 0xE4, 0x2E, 0x12, 0x15, 0x23, 0x3F, 0x24, 0x40, 0x82, 0x2E, 0xE0, 0xD6};
constexpr uint16 BUSY_CART_LOOP = 0x6004;
constexpr uint16 KEY_LOG = 0xC100;

std::vector<uint8> busy_cartridge()
{
    std::vector<uint8> rom(8192, 0xFF);
    std::copy(BUSY_CART_CODE.begin(), BUSY_CART_CODE.end(), rom.begin());
    const char signature[] = "OVIXCART";
    std::copy(signature, signature + 8, rom.begin() + 0x1FF0);
    rom[0x1FF8] = 0x60;
    rom[0x1FF9] = 0x00;
    return rom;
}

// A fixture whose machine runs the busy cartridge: loaded from the debugger,
// then Continue.
class CartridgeTest : public WindowTest {
protected:
    void start_with_cartridge()
    {
        ASSERT_TRUE(write_file(dir + "/busy.rom", busy_cartridge()));
        start();
        wait_bios_screen();
        open_debugger();
        load_cartridge("busy.rom");
        ASSERT_TRUE(wait_text("Ovix integrated debugger", LONG));
        hold("F5");   // Continue: the BIOS starts the cartridge
        ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Ovix integrated debugger"); }, LONG));
    }

    // Until the cartridge shows its counter (started with --cart, the BIOS
    // takes a moment to start it): more than one colour in the first cells.
    void wait_counter()
    {
        auto counter = [](const Picture &s) {
            for (int y = 0; y < 20; y++)
                for (int x = 0; x < 32; x++)
                    if (colour(s, x, y) != colour(s, 0, 0)) return true;
            return false;
        };
        ASSERT_TRUE(wait_for(counter, LONG)) << "the cartridge does not run; see " << save_shot();
    }

    // The key log as the explorer dumps it, up to the first empty byte.
    std::string key_log()
    {
        const std::string file = explorer_dump("c100", "c13f");
        EXPECT_FALSE(file.empty()) << "no dump of the key log";
        const std::vector<uint8> bytes = read_file(dir + "/" + file);
        std::string log;
        for (uint8 b : bytes) {
            if (b == 0) break;
            log += (char)b;
        }
        return log;
    }
};

}  // namespace

TEST_F(WindowTest, BiosScreen)
{
    start();
    expect_screen("bios_screen", LONG, 3s);
    EXPECT_TRUE(running());
}

TEST_F(WindowTest, EscapeOpensTheFastPopupAndEscapeClosesIt)
{
    start();
    wait_bios_screen();
    hold("Escape");
    ASSERT_TRUE(wait_text("Call Debugger", LONG)) << "no popup after Escape";
    EXPECT_TRUE(find_text(shot(), "LOAD ROM").has_value());
    hold("Escape");
    EXPECT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Call Debugger"); }, LONG));
    // The machine runs on: the cursor keeps blinking.
    const Picture first = shot();
    EXPECT_TRUE(wait_for([&](const Picture &s) { return !(s == first); }, LONG)) << "the screen stands still";
    EXPECT_TRUE(running());
}

TEST_F(WindowTest, DebuggerRunsToABiosAddressAndSteps)
{
    // The console's loop, first reached once the prompt is shown and the
    // cursor blink is set up.
    std::optional<unsigned> console = bios_label("\\.loop", "console");
    ASSERT_TRUE(console.has_value()) << "no .loop: after console: in " << BIOS_LISTING;
    char address[8];
    snprintf(address, sizeof address, "%x", *console);
    char question[32];
    snprintf(question, sizeof question, "Go to %06x ?", *console);

    start();
    wait_bios_screen();
    open_debugger();
    // From a reset the run to the console's loop does not depend on how
    // long the machine ran before.
    click_text("Commands");
    click_text("RESET");
    run("xdotool key c");   // clear the log
    type_address(address);
    click_text("Commands");
    click_text("Go to breakpoint");
    ASSERT_TRUE(wait_text(question, LONG));
    click_text("Yes");
    point(WIN_W / 2, WIN_H / 2);
    ASSERT_TRUE(wait_text("Ovix integrated debugger", LONG));
    // The BIOS's tick counter (R006) and the tick of its next cursor blink
    // (R020) count the machine's time since it was switched on, which a
    // reset keeps: how long the machine ran before F1 is the host's timing.
    const std::vector<Rect> ticks = {{2 + 488, 2 + 30 + 4 + 8 * 10, 144, 8}, {2 + 488, 2 + 30 + 4 + 8 * 24, 144, 8}};
    // The marks of the registers the run changed: the register file kept
    // through the reset what the machine had when F1 stopped it.
    std::vector<Rect> marks = ticks;
    marks.push_back({2 + 488 + 8 * 9, 2 + 30 + 4 + 8 * 4, 16, 8 * 33});
    expect_screen("debugger_at_console", LONG, 0ms, marks);
    hold("F7");
    point(WIN_W / 2, WIN_H / 2);
    expect_screen("debugger_after_step", LONG, 0ms, ticks);
}

TEST_F(WindowTest, BRunsToTheTypedAddress)
{
    // The IDLE of the console's loop, reached again and again.
    std::optional<unsigned> sleep_at = bios_label("\\.sleep", "console");
    ASSERT_TRUE(sleep_at.has_value()) << "no .sleep: after console: in " << BIOS_LISTING;
    char address[8], pc[16];
    snprintf(address, sizeof address, "%x", *sleep_at);
    snprintf(pc, sizeof pc, "PC=%04x", *sleep_at);

    start();
    wait_bios_screen();
    open_debugger();
    type_address(address);
    run("xdotool key b");
    EXPECT_TRUE(wait_text(pc, LONG)) << "the machine did not stop at " << address;
}

TEST_F(WindowTest, MemoryExplorerDumpsToFiles)
{
    // A file an earlier run wrote keeps its number and its content.
    ASSERT_TRUE(write_text(dir + "/FILE000.bin", "earlier run"));
    start();
    wait_bios_screen();
    open_debugger();
    click_text("Memory");
    click_text("memory explorer");
    ASSERT_TRUE(wait_text("ORLO Memory explorer", LONG));
    ASSERT_TRUE(wait_text("0200 ", LONG)) << "the dump box does not start at 0200";
    auto field = [&](int x, const char *text) {
        point(2 + x + 28, 2 + 30 + 4);
        run("xdotool key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace");
        type(text);
    };
    field(112, "f800");
    field(312, "f80f");
    point(300, 300);
    for (const char *item : {"Dump BIN to disk", "Dump HEX to disk", "DASM to disk"}) {
        click_text("command");
        click_text(item);
    }
    const std::string bin = dir + "/FILE001.bin", hex = dir + "/FILE002.hex.txt", dasm = dir + "/FILE003.asm";
    for (auto until = std::chrono::steady_clock::now() + LONG; !fs::exists(dasm) && std::chrono::steady_clock::now() < until;)
        sleep_for(100ms);
    EXPECT_TRUE(wait_text("Wrote FILE003.asm", LONG));
    EXPECT_EQ(read_text(dir + "/FILE000.bin"), "earlier run");

    const std::vector<uint8> bios = read_file(OPEN_BIOS);
    ASSERT_EQ(bios.size(), 2048u);
    EXPECT_EQ(read_file(bin), std::vector<uint8>(bios.begin(), bios.begin() + 16));
    std::string expected_hex = "f800   ";
    char byte[8];
    for (int i = 0; i < 16; i++) {
        snprintf(byte, sizeof byte, "%02x ", bios[i]);
        expected_hex += byte;
    }
    EXPECT_EQ(read_text(hex), expected_hex + "\n");
    // The disassembly: the directive and the start for the assembler, then
    // instruction lines from f800 to f80f, each with its address, its bytes
    // in upper case, and a text (no symbols are loaded).
    std::string listing = read_text(dasm);
    const std::string head = "DASM\n        ORG $F800\n";
    ASSERT_EQ(listing.substr(0, head.size()), head);
    listing.erase(0, head.size());
    ASSERT_FALSE(listing.empty());
    std::regex line_re("([0-9a-f]{4})   ((?:[0-9A-F]{2} ){1,4})(?:   ){2,5}\\S.*");
    unsigned expect_address = 0xF800;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
        EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16), expect_address) << line;
        const size_t n = m[2].str().size() / 3;
        for (size_t i = 0; i < n; i++)
            EXPECT_EQ(std::stoul(m[2].str().substr(i * 3, 2), nullptr, 16), bios[expect_address - 0xF800 + i])
                << line;
        expect_address += (unsigned)n;
    }
    EXPECT_GT(expect_address, 0xF80Fu);
    EXPECT_LE(expect_address, 0xF80Fu + 4);
}

TEST_F(WindowTest, QuitFromTheDebuggerAsksAndEndsWithStatusZero)
{
    // The menu item and Escape ask the same question; only "Yes" ends.
    start();
    wait_bios_screen();
    open_debugger();
    click_text("Commands");
    click_text("Quit debugger");
    ASSERT_TRUE(wait_text("Really Quit?", LONG));
    run("xdotool key n");
    EXPECT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Really Quit?"); }, LONG));
    EXPECT_TRUE(running());
    // Escape then Enter takes the default answer, which is No.
    run("xdotool key Escape");
    ASSERT_TRUE(wait_text("Really Quit?", LONG));
    run("xdotool key Return");
    EXPECT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Really Quit?"); }, LONG));
    EXPECT_TRUE(running());
    run("xdotool key Escape");
    ASSERT_TRUE(wait_text("Really Quit?", LONG));
    run("xdotool key y");
    EXPECT_EQ(wait_exit(LONG), std::optional<int>(0));
}

TEST_F(WindowTest, ResetQuestionFromTheFastPopup)
{
    // The I/O processor's start-up commands, which the BIOS sends once per
    // start of the machine, counted in the trace that the program leaves.
    struct Case {
        const char *keys;     // the answer to "What to do?"
        int machine_starts;   // the boot, plus one for a cold start
    };
    const Case cases[] = {
        {"Escape", 1},   // dismissed: nothing happens to the machine
        {"t", 2},        // "&Turn Off": a cold start
    };
    for (const Case &c : cases) {
        start();
        wait_bios_screen();
        hold("Escape");
        click_text("RESET");
        ASSERT_TRUE(wait_text("What to do?", LONG)) << c.keys;
        run(std::string("xdotool key ") + c.keys);   // a quick tap, released at once
        EXPECT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "What to do?"); }, LONG)) << c.keys;
        wait_bios_screen();
        hold("Escape");
        click_text("EXIT");
        ASSERT_TRUE(wait_text("Really Quit?", LONG)) << c.keys;
        run("xdotool key y");
        ASSERT_EQ(wait_exit(LONG), std::optional<int>(0)) << c.keys;
        const std::string trace = read_text(dir + "/trace.log");
        int starts = 0;
        for (size_t at = 0; (at = trace.find("START COMMAND : b", at)) != std::string::npos; at++) starts++;
        EXPECT_EQ(starts, c.machine_starts) << c.keys;
    }
}

TEST_F(WindowTest, ExitFromTheFastPopupAsksAndEndsWithStatusZero)
{
    start();
    wait_bios_screen();
    hold("Escape");
    click_text("EXIT");
    ASSERT_TRUE(wait_text("Really Quit?", LONG));
    run("xdotool key n");   // "&No": back to the running machine
    EXPECT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Really Quit?") && !find_text(s, "EXIT"); }, LONG));
    EXPECT_TRUE(running());
    hold("Escape");
    click_text("EXIT");
    ASSERT_TRUE(wait_text("Really Quit?", LONG));
    run("xdotool key y");
    EXPECT_EQ(wait_exit(LONG), std::optional<int>(0));
}

TEST_F(WindowTest, ATerminationSignalEndsItAsQuitDoes)
{
    // kill, or the session ending: the program ends with the signal's
    // status, through its own exit (the settings file written) whether the
    // machine runs, the popup is open or the debugger is; from the file
    // selector, which has no idle step of ours, after its 5 seconds, at once.
    const struct {
        const char *what;
        std::vector<std::pair<const char *, const char *>> keys;   // each key and what it shows
        bool settings_written;
    } cases[] = {
        {"running", {}, true},
        {"popup", {{"Escape", "EXIT"}}, true},
        {"debugger", {{"F1", "Ovix integrated debugger"}}, true},
        {"file selector", {{"F1", "Ovix integrated debugger"}, {"F4", "Load an OVIX ROM image"}}, false},
    };
    for (const auto &c : cases) {
        start();
        wait_bios_screen();
        for (const auto &[host_key, shown] : c.keys) {
            hold(host_key);
            ASSERT_TRUE(wait_text(shown, LONG)) << c.what;
        }
        const std::string settings_file = dir + "/config/ovix/ovix.cfg";
        fs::remove(settings_file);
        kill(pid, SIGTERM);
        EXPECT_EQ(wait_exit(LONG), std::optional<int>(128 + SIGTERM)) << c.what;
        EXPECT_EQ(fs::exists(settings_file), c.settings_written) << c.what;
    }
}

TEST_F(WindowTest, WithoutADisplayItSaysSoAndFails)
{
    // No X server at all: a message and a non-zero status, no crash.
    const std::string out = run_output("cd '" + dir + "' && env -u DISPLAY '" + OVIX + "' 2>&1; echo status=$?");
    EXPECT_NE(out.find("no display could be opened"), std::string::npos) << out;
    EXPECT_NE(out.find("status=1"), std::string::npos) << out;
}

TEST_F(CartridgeTest, TypingAtTenKeysASecondArrivesInOrder)
{
    start_with_cartridge();
    // Ten taps of 0.1 s with 0.1 s between them, at 5 MHz, then at fastest
    // speed.
    press_keys("qwertyuiop", 100ms, 100ms);
    hold("Escape");
    click_text("Set options");
    click_text("Set fastest speed");
    park_pointer();
    press_keys("asdfghjkl0", 100ms, 100ms);
    sleep_for(300ms);
    open_debugger();
    EXPECT_EQ(key_log(), "QWERTYUIOPASDFGHJKL0");
}

TEST_F(CartridgeTest, ContinueF1AndDebuggerKeysNeverReachTheMachine)
{
    start_with_cartridge();
    press_keys("a", 100ms, 100ms);
    open_debugger();
    EXPECT_TRUE(wait_text("Stopped: F1", LONG));
    // B runs to the cartridge's loop, the menu's run asks and y confirms:
    // neither the B nor the y may reach the machine.
    char address[8], reached[32];
    snprintf(address, sizeof address, "%x", BUSY_CART_LOOP);
    snprintf(reached, sizeof reached, "Stopped: %04X reached", BUSY_CART_LOOP);
    type_address(address);
    run("xdotool key b");
    EXPECT_TRUE(wait_text(reached, LONG));
    click_text("Commands");
    click_text("Go to breakpoint");
    ASSERT_TRUE(wait_text("Go to 006004 ?", LONG));
    run("xdotool key y");
    EXPECT_TRUE(wait_text(reached, LONG));
    // Continue from the menu, a key for the machine, F1 again.
    click_text("Commands");
    click_text("Continue");
    ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Ovix integrated debugger"); }, LONG));
    press_keys("z", 100ms, 100ms);
    open_debugger();
    EXPECT_EQ(key_log(), "AZ");
    EXPECT_TRUE(running());
}

TEST_F(CartridgeTest, BusyPictureIsShownAtTheFrameRate)
{
    start_with_cartridge();
    // The profile counts the pictures that reached the window.
    hold("Escape");
    click_text("Set options");
    click_text("Turn Profile ON");
    park_pointer();
    const auto reading = profile_after();
    ASSERT_TRUE(reading.has_value());
    const auto [mhz, pictures] = *reading;
    // At 5 MHz a frame is 20 ms of machine time: at least 45 distinct
    // pictures a second while the host keeps the pace, proportionally
    // fewer when a loaded host cannot.
    EXPECT_GE(pictures, 45.0 * std::min(mhz, 5.0) / 5.0) << mhz << " MHz";
}

TEST_F(CartridgeTest, CancelOrARefusedFileChangesNothing)
{
    ASSERT_TRUE(write_file(dir + "/bad.rom", std::vector<uint8>(10240, 0x55)));
    start_with_cartridge();
    press_keys("k", 100ms, 100ms);   // something in RAM that a reset would keep but a load must not touch
    open_debugger();
    struct Case {
        const char *name;
        const char *keys;    // in the file selector
        const char *alert;   // the refusal shown, or null
    };
    const Case cases[] = {
        {"cancel", "Escape", nullptr},
        {"refused", "b a d period r o m Return", "bad.rom is 10240 bytes long"},
    };
    const std::string ram = explorer_dump("c000", "c7ff"), cart = explorer_dump("6000", "7fff");
    EXPECT_EQ(read_file(dir + "/" + cart), busy_cartridge());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        park_pointer();
        const Picture before = shot();
        hold("F4");
        ASSERT_TRUE(wait_text("Load an OVIX ROM image", LONG));
        run(std::string("xdotool key ") + c.keys);
        if (c.alert) {
            EXPECT_TRUE(wait_text(c.alert, LONG));
            click_text("OK");
        }
        ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Load an OVIX ROM image"); }, LONG));
        park_pointer();
        // The same debugger screen (no reset: same PC, registers, code),
        // but for the log box (the loader traces what it was given).
        auto same_but_log = [&](const Picture &s) {
            for (int y = 0; y < WIN_H; y++)
                for (int x = 0; x < WIN_W; x++)
                    if (!(x < 2 + 482 && y >= 2 + 200) && colour(s, x, y) != colour(before, x, y)) return false;
            return true;
        };
        EXPECT_TRUE(wait_for(same_but_log, LONG)) << "the debugger changed; see " << save_shot();
        EXPECT_EQ(read_file(dir + "/" + explorer_dump("c000", "c7ff")), read_file(dir + "/" + ram));
        EXPECT_EQ(read_file(dir + "/" + explorer_dump("6000", "7fff")), read_file(dir + "/" + cart));
    }
}

TEST_F(WindowTest, StepOverACallThatWaitsForAKeyEndsWhenOneIsTyped)
{
    // The demo cartridge's TRAP 5 waits for a key press.
    std::ifstream listing(DEMO_LISTING);
    std::string line, trap;
    while (trap.empty() && std::getline(listing, line))
        if (line.find("TRAP 5 ") != std::string::npos && isxdigit((unsigned char)line[0])) trap = line.substr(0, 4);
    ASSERT_EQ(trap.size(), 4u) << "no TRAP 5 in " << DEMO_LISTING;
    fs::copy_file(DEMO_CART, dir + "/demo.rom");
    char after[32];
    snprintf(after, sizeof after, "Stepped over to %04X", (unsigned)std::stoul(trap, nullptr, 16) + 1);

    start();
    wait_bios_screen();
    open_debugger();
    load_cartridge("demo.rom");
    ASSERT_TRUE(wait_text("Ovix integrated debugger", LONG));
    type_address(trap);
    run("xdotool key b");
    ASSERT_TRUE(wait_text(("Stopped: " + trap + " reached").c_str(), LONG));
    hold("F8");
    // The machine runs and shows its picture until a key comes, with a line
    // that says it is running and how to stop it.
    ASSERT_TRUE(wait_for([](const Picture &s) {
        return !find_text(s, "Ovix integrated debugger") && find_text(s, "Stepping over... (Escape or F1 stops it)");
    }, LONG));
    press_keys("x", 100ms, 100ms);
    EXPECT_TRUE(wait_text(after, LONG));
}

// The command line's answers and errors, as a user meets them: what the
// program prints, where, and its exit status. The cases marked `display`
// need the window (the snapshot is restored once the machine is set up).
TEST_F(WindowTest, CommandLineAnswersAndErrors)
{
    ASSERT_TRUE(write_file(dir + "/bad.rom", std::vector<uint8>(10240, 0x55)));
    ASSERT_TRUE(write_text(dir + "/bad.ovs", "{\"magic\": \"ovix snapshot\", \"version\": 1}"));
    fs::create_directories(dir + "/empty");
    const std::string open_bios = fs::canonical(OPEN_BIOS).string();
    struct Case {
        const char *args;
        const char *where;   // working directory below the test's folder
        bool display;
        int status;
        std::vector<std::string> texts;   // in the output (stdout and stderr)
    };
    const Case cases[] = {
        {"--help", ".", false, 0, {"usage: ovix", "--scale N", "F6", "quick.ovs", "Pause", "Tab", "Backspace", "F10"}},
        {"--version", ".", false, 0, {"ovix (Ovix emulator) alpha"}},
        {"--bogus", ".", false, 2, {"unknown option --bogus", "usage: ovix"}},
        {"--scale 5", ".", false, 2, {"--scale needs 1, 2, 3 or 4, not 5", "usage: ovix"}},
        {"--cart bad.rom", ".", false, 2, {"Not a valid ROM: ", "bad.rom is 10240 bytes long"}},
        {"", "empty", false, 1,
         {"ovix: no bios/BIOS7020.bin in the working directory: using the open BIOS " + open_bios,
          "no display could be opened"}},
        {"--bios missing.bin", "empty", false, 1,
         {"fatal error needs file missing.bin (full path " + fs::canonical(dir).string() + "/empty/missing.bin)",
          "ovix --bios " + open_bios}},
        {"--fullscreen=maybe", ".", false, 2, {"--fullscreen", "usage: ovix"}},
        {"--console-fd 77", ".", false, 2, {"--console-fd: 77 is not an open file descriptor", "usage: ovix"}},
        {"--console-fd x", ".", false, 2, {"--console-fd needs an open file descriptor's number, not x"}},
        {"--json", ".", false, 2, {"--json goes with --console-fd"}},
        {"--load-state bad.ovs", ".", true, 2, {"Cannot load the snapshot: ", "bad.ovs"}},
        {"--rewind 3601", ".", false, 2, {"--rewind needs a number of seconds from 0 to 3600, not 3601"}},
        {"--rewind -1", ".", false, 2, {"--rewind needs a number of seconds", "usage: ovix"}},
        {"--play m.ovm --load-state bad.ovs", ".", false, 2, {"--play starts from the movie's own start"}},
        {"--play bad.ovs", ".", true, 2, {"ovix: Cannot play the movie: bad.ovs is not a movie"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const std::string out = run_output("cd '" + dir + "/" + c.where + "' && " +
                                           (c.display ? "" : "env -u DISPLAY ") + "'" + OVIX + "' " + c.args +
                                           " 2>&1; echo status=$?");
        for (const std::string &t : c.texts) EXPECT_NE(out.find(t), std::string::npos) << t << " in:\n" << out;
        EXPECT_NE(out.find("status=" + std::to_string(c.status) + "\n"), std::string::npos) << out;
    }
}

// The window is 320 x 250 times the scale, the picture fills it; at scale
// 1 the popup gets a 640 x 500 window and the machine its small one back.
TEST_F(WindowTest, ScaleSizesTheWindowAndThePicture)
{
    Picture golden;
    ASSERT_EQ(read_png(GOLDEN_DIR + "bios_screen.png", &golden), "");
    auto geometry = [&] { return run_output("xdotool getwindowgeometry " + window_id + " 2>/dev/null"); };
    for (int scale : {1, 3}) {
        SCOPED_TRACE(scale);
        start({"--scale", std::to_string(scale)});
        const int w = std::min(320 * scale, WIN_W), h = std::min(250 * scale, WIN_H);
        auto scaled_bios = [&](const Picture &s) {
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    if (colour(s, x, y) != colour(golden, x / scale * 2, y / scale * 2)) return false;
            return true;
        };
        EXPECT_TRUE(wait_for(scaled_bios, LONG)) << "see " << save_shot();
        const std::string size = std::to_string(320 * scale) + "x" + std::to_string(250 * scale);
        EXPECT_NE(geometry().find(size), std::string::npos) << geometry();
        if (scale == 1) {
            hold("Escape");
            EXPECT_TRUE(wait_text("Quick save (F6)", LONG));
            EXPECT_NE(geometry().find("640x500"), std::string::npos) << geometry();
            hold("Escape");
            EXPECT_TRUE(wait_for(scaled_bios, LONG)) << "see " << save_shot();
            EXPECT_NE(geometry().find(size), std::string::npos) << geometry();
        }
        TearDown();
    }
}

// --fast and the turbo key: the options popup marks the active speed; at
// 5 MHz the machine keeps its pace, with the turbo key held it runs faster.
TEST_F(WindowTest, FastOptionAndTurboKey)
{
    start({"--fast"});
    wait_bios_screen();
    hold("Escape");
    click_text("Set options");
    EXPECT_TRUE(wait_text("Set fastest speed (active)", LONG));
    click_text("Set 5MHz speed");
    hold("Escape");
    click_text("Set options");
    click_text("Turn Profile ON");
    park_pointer();
    const auto paced = profile_after();
    run("xdotool keydown Tab");
    const auto turbo = profile_after();
    run("xdotool keyup Tab");
    ASSERT_TRUE(paced && turbo);
    EXPECT_LE(paced->first, 5.5);
    // The BIOS at its prompt sleeps most of the time: at fastest speed
    // its idle steps run far faster than 5 MHz even on a loaded host.
    EXPECT_GT(turbo->first, 10.0);
}

// --debug opens the debugger before the first instruction, here of a
// machine restored with --load-state from the runner's snapshot.
TEST_F(WindowTest, DebugOptionShowsALoadedSnapshot)
{
    const std::string runner = OVIX_BINARY_DIR "/tools/headless/ovix-headless";
    ASSERT_EQ(run("cd '" + dir + "' && '" + runner + "' --instructions 123457 --state run.json >/dev/null"), 0);
    std::ifstream state(dir + "/run.json");
    std::string text((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("\"pc\": *([0-9]+)")));
    char pc[16];
    snprintf(pc, sizeof pc, "PC=%04x", (unsigned)std::stoul(m[1].str()));
    start({"--debug", "--load-state", "run.json"});
    EXPECT_TRUE(wait_text("Stopped before the first instruction", LONG));
    EXPECT_TRUE(wait_text(pc, LONG));
}

// Pause keeps the picture and stops the machine's time; snapshots (the
// quick keys and "Save state"/"Load state") and the screenshot key work on
// the paused machine; a refused snapshot changes nothing.
TEST_F(CartridgeTest, PauseSnapshotsAndScreenshots)
{
    ASSERT_TRUE(write_file(dir + "/busy.rom", busy_cartridge()));
    ASSERT_TRUE(write_text(dir + "/screen000.png", "not a picture: kept"));
    ASSERT_TRUE(write_text(dir + "/bad.ovs", "{\"magic\": \"ovix snapshot\"}"));
    start({"--cart", "busy.rom"});
    wait_counter();
    press_keys("a", 100ms, 100ms);
    run("xdotool key Pause");
    ASSERT_TRUE(wait_text("PAUSED (Pause resumes)", LONG));
    // The busy cartridge changes its picture all the time, unless paused.
    sleep_for(300ms);
    const Picture paused = shot();
    sleep_for(1s);
    EXPECT_TRUE(shot() == paused) << "the paused picture changed; see " << save_shot();

    // The screenshot: the machine's picture, under the first free name.
    run("xdotool key F12");
    ASSERT_TRUE(wait_text("Wrote screen001.png", LONG));
    EXPECT_EQ(read_text(dir + "/screen000.png"), "not a picture: kept");
    Picture png;
    ASSERT_EQ(read_png(dir + "/screen001.png", &png), "");
    ASSERT_EQ(png.width, 320);
    ASSERT_EQ(png.height, 250);
    // Rows under the labels (the pause mark, the message) left out.
    for (int y = 12; y < 238; y++)
        for (int x = 0; x < 320; x++)
            ASSERT_EQ(colour(png, x, y), colour(paused, 2 * x, 2 * y)) << x << "," << y;

    // A popup entry that asks for a file: the entry, the file's name.
    auto popup_file = [&](const char *entry, const char *selector, const char *name) {
        hold("Escape");
        click_text(entry);
        ASSERT_TRUE(wait_text(selector, LONG));
        type(name);
        run("xdotool key Return");
    };
    // Two snapshots of the same paused machine: the same file.
    run("xdotool key F6");
    ASSERT_TRUE(wait_text("Saved quick.ovs", LONG));
    popup_file("Save state", "Save the machine's state as", "mine.ovs");
    ASSERT_TRUE(wait_text("Saved mine.ovs", LONG));
    EXPECT_EQ(read_file(dir + "/mine.ovs"), read_file(dir + "/quick.ovs"));
    const std::string runner = OVIX_BINARY_DIR "/tools/headless/ovix-headless";
    EXPECT_EQ(run("cd '" + dir + "' && '" + runner +
                  "' --cart busy.rom --load-state quick.ovs --instructions 1 >/dev/null"),
              0);

    // Change the machine, then load the quick snapshot while paused: the
    // picture and the key log are back.
    run("xdotool key Pause");
    ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "PAUSED (Pause resumes)"); }, LONG));
    press_keys("b", 100ms, 100ms);
    run("xdotool key Pause");
    ASSERT_TRUE(wait_text("PAUSED (Pause resumes)", LONG));
    run("xdotool key F9");
    ASSERT_TRUE(wait_text("Loaded quick.ovs", LONG));
    EXPECT_TRUE(wait_for([&](const Picture &s) { return s == paused; }, LONG)) << "see " << save_shot();

    // A refused snapshot: its reason, and the machine as it was.
    popup_file("Load state", "Load a machine state", "bad.ovs");
    EXPECT_TRUE(wait_text("Cannot load the snapshot: ", LONG));
    click_text("OK");
    open_debugger();
    EXPECT_EQ(key_log(), "A");
}

// ---------------------------------------------------------------------------
// Symbols in the debugger.

// A cartridge with a symbol file beside it: the debugger takes its labels
// in the address field and shows them in the disassembly and the stop line.
// A cartridge whose symbol file is bad stays loaded, says why, and leaves no
// names; --symbols with a bad file ends the program before any window.
TEST_F(WindowTest, CartridgeSymbolsInTheDebugger)
{
    for (const char *name : {"/busy.rom", "/bad.rom"}) ASSERT_TRUE(write_file(dir + name, busy_cartridge()));
    ASSERT_TRUE(write_text(dir + "/busy.sym", "6004 poll\n600B show\n6016 cells\n"));
    ASSERT_TRUE(write_text(dir + "/bad.rom.sym", "6004 poll\n6004\n"));
    start();
    wait_bios_screen();
    open_debugger();
    load_cartridge("busy.rom");
    ASSERT_TRUE(wait_text("Ovix integrated debugger", LONG));
    type_address("poll");
    run("xdotool key b");
    ASSERT_TRUE(wait_text("Stopped: 6004 reached (poll)", LONG));
    EXPECT_TRUE(wait_text("show:", LONG));
    EXPECT_TRUE(wait_text("JEQ show", LONG));

    load_cartridge("bad.rom");
    ASSERT_TRUE(wait_text("Symbols not loaded: ", LONG));
    EXPECT_TRUE(wait_text("bad.rom.sym:2: expected a hexadecimal address", LONG));
    click_text("OK");
    type_address("poll");
    run("xdotool key b");
    EXPECT_TRUE(wait_text("unknown label 'poll' (no symbols are loaded)", LONG));

    const std::string out =
        run_output("cd '" + dir + "' && env -u DISPLAY '" + OVIX + "' --symbols none.sym 2>&1; echo status=$?");
    EXPECT_NE(out.find("ovix: Symbols not loaded: cannot read the symbol file none.sym"), std::string::npos) << out;
    EXPECT_NE(out.find("status=2\n"), std::string::npos) << out;
}

// The debugger's dialogs and keys on the busy cartridge: a breakpoint and a
// watchpoint set in their dialogs stop the running machine; a step, the
// call stack inside a trap, step out, the history, a step back, a register changed
// through its dialog, and run to a line chosen in the disassembly.
TEST_F(CartridgeTest, DebuggerDialogsAndKeys)
{
    start_with_cartridge();
    open_debugger();
    auto menu = [&](const char *item) {
        click_text("Debug");
        click_text(item);
    };

    menu("Breakpoints...");
    ASSERT_TRUE(wait_text("Hit count (5, =5, >5, %5):"));
    type("6016");
    run("xdotool key Return");
    ASSERT_TRUE(wait_text("Set: breakpoint 1 at 6016 hits=0"));
    click_text("Close");
    run("xdotool key F5");
    ASSERT_TRUE(wait_text("Stopped: breakpoint 1 at 6016, hit 1"));
    run("xdotool key F7");
    ASSERT_TRUE(wait_text("PC=6019"));

    menu("Breakpoints...");
    click_text("Delete all");
    EXPECT_TRUE(wait_gone("breakpoint 1 at 6016 hits=1"));
    click_text("Close");
    menu("Watchpoints...");
    ASSERT_TRUE(wait_text("Range (6000-60FF, v[10]):"));
    type("C100");
    run("xdotool key Return");
    ASSERT_TRUE(wait_text("Set: watchpoint 2 w C100 hits=0"));
    click_text("Close");
    run("xdotool key F5");
    ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Ovix integrated debugger"); }, LONG));
    press_keys("x", 100ms, 100ms);
    ASSERT_TRUE(wait_text("Stopped: watchpoint 2: C100 written by 6007"));

    // Into the keyboard trap: the call stack holds it; step out leaves it.
    menu("Watchpoints...");
    click_text("Delete all");
    click_text("Close");
    type_address("6004");
    run("xdotool key b");
    ASSERT_TRUE(wait_text("Stopped: 6004 reached"));
    menu("History...");
    ASSERT_TRUE(wait_text("Not recording: 0 instructions kept"));
    click_text("Start recording");
    ASSERT_TRUE(wait_text("Recording: 0 instructions kept"));
    click_text("Close");
    run("xdotool key F7");
    ASSERT_TRUE(wait_text("Stepped one instruction"));
    menu("Call stack...");
    ASSERT_TRUE(wait_text("#1 trap to "));
    EXPECT_TRUE(wait_text(", returns to 6005 (called from 6004)"));
    click_text("Close");
    run("xdotool key ctrl+F8");
    ASSERT_TRUE(wait_text("Stepped out to 6005"));
    menu("History...");
    EXPECT_TRUE(wait_text("6004 FB       TRAP 4"));
    click_text("Close");
    // Back into the trap's return and forwards out of it again.
    run("xdotool key shift+F7");
    ASSERT_TRUE(wait_text("Stepped back to "));
    EXPECT_TRUE(wait_gone("PC=6005"));
    run("xdotool key F7");
    EXPECT_TRUE(wait_text("PC=6005"));

    run("xdotool key s");
    ASSERT_TRUE(wait_text("Change a register or memory"));
    type("R20=41+1");
    run("xdotool key Return");
    ASSERT_TRUE(wait_text("Done: R20=41+1"));
    click_text("Close");
    EXPECT_TRUE(wait_text("R020=$42"));

    // No key is waiting: JEQ goes to 600B, the fourth line from the pc.
    click(2 + 60, 2 + 30 + 2 + 3 * 8 + 4);
    run("xdotool key ctrl+F10");
    EXPECT_TRUE(wait_text("Stopped: temporary breakpoint "));
    EXPECT_TRUE(wait_text("at 600B"));
}

// With the debug information beside the cartridge the debugger shows the
// source at the program counter and F7 steps by source line; V shows the
// trace log instead.
TEST_F(WindowTest, SourceViewAndLineSteps)
{
    const std::string example = OVIX_BINARY_DIR "/roms/example/example";
    fs::copy_file(example + ".rom", dir + "/example.rom");
    fs::copy_file(example + ".dbg", dir + "/example.dbg");
    start({"--cart", "example.rom"});
    open_debugger();
    run("xdotool key r");
    type_address("start");
    run("xdotool key b");
    ASSERT_TRUE(wait_text("reached (start)"));
    EXPECT_TRUE(wait_text("example.asm:44"));
    EXPECT_TRUE(wait_text("#SET1,ADRL"));
    run("xdotool key F7");
    EXPECT_TRUE(wait_text("at example.asm:45"));
    // Back by source line (a search of the recorded time, with its status line).
    run("xdotool key shift+F7");
    EXPECT_TRUE(wait_text("Stepped back to "));
    EXPECT_TRUE(wait_text("example.asm:44"));
    run("xdotool key v");
    EXPECT_TRUE(wait_gone("#SET1,ADRL"));
    run("xdotool key v");
    EXPECT_TRUE(wait_text("#SET1,ADRL"));
}

// ---------------------------------------------------------------------------
// The window program's second round: keys whose release is lost, dialogs
// at every scale, quick-save slots, file selectors, remembered settings,
// fullscreen, the launcher and the install.

// Without a window manager the keys go to the window under the pointer.
// Escape opens the popup (at scale 1 the window grows to 640 x 500); with
// the pointer where only the grown window is, Escape closes it and the
// window shrinks, so that the X server gives its release to the root
// window. Back in the window, F1 opens the debugger all the same, and the
// keys go on working after Continue. At every scale.
TEST_F(WindowTest, F1AfterAnEscapeWhoseReleaseWasLostOpensTheDebugger)
{
    const int in_x = 60, in_y = 200;   // in the window at every scale, over no text of the popup or debugger
    auto shows = [&](const char *text) {
        return wait_for([&](const Picture &s) { return find_text(s, text).has_value(); }, LONG);
    };
    for (int scale = 1; scale <= 4; scale++) {
        SCOPED_TRACE(scale);
        start({"--scale", std::to_string(scale)}, false);
        point(in_x, in_y);
        run("xdotool key Escape");
        ASSERT_TRUE(shows("Call Debugger")) << "see " << save_shot();
        point(500, 400);
        run("xdotool keydown Escape");
        ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Call Debugger"); }, LONG));
        if (scale == 1) {
            ASSERT_TRUE(wait_geometry("320x250"));
        }
        run("xdotool keyup Escape");
        point(in_x, in_y);
        run("xdotool key F1");
        ASSERT_TRUE(shows("Ovix integrated debugger")) << "no debugger after F1; see " << save_shot();
        run("xdotool key F5");
        ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Ovix integrated debugger"); }, LONG));
        run("xdotool key Escape");
        EXPECT_TRUE(shows("Call Debugger")) << "the keys no longer reach the window; see " << save_shot();
        TearDown();
    }
}

// The same for the F1 that opened the debugger: its release goes to the
// root window (the pointer left the window while it was held). Continue
// lets the machine run on all the same instead of stopping again at once
// for an F1 still held.
TEST_F(WindowTest, ContinueRunsAfterAnF1WhoseReleaseWasLost)
{
    start({}, false);
    point(60, 200);
    run("xdotool keydown F1");
    ASSERT_TRUE(wait_text("Ovix integrated debugger")) << "see " << save_shot();
    point(ROOT_W - 20, ROOT_H - 20);
    run("xdotool keyup F1");
    point(60, 200);
    run("xdotool key F5");
    ASSERT_TRUE(wait_for([](const Picture &s) { return !find_text(s, "Ovix integrated debugger"); }, LONG));
    run("xdotool key Escape");
    EXPECT_TRUE(wait_text("Call Debugger")) << "the debugger stopped the machine again; see " << save_shot();
}

// At scales 3 and 4 the popups and the debugger sit in the middle of the
// window (their 640 x 500 layout moved by half the extra size), the
// pointer works on them where they are drawn, and the screen preview shows
// the picture at the window's scale.
TEST_F(WindowTest, DialogsSitInTheMiddleAtScalesThreeAndFour)
{
    Picture golden;
    ASSERT_EQ(read_png(GOLDEN_DIR + "bios_screen.png", &golden), "");
    // Where the texts are at scale 2, the layout's own size.
    start();
    wait_bios_screen();
    hold("Escape");
    park_pointer();
    std::optional<std::pair<int, int>> popup2, debugger2;
    ASSERT_TRUE(wait_for([&](const Picture &s) { return (popup2 = find_text(s, "LOAD ROM")).has_value(); }, LONG));
    hold("Escape");
    open_debugger();
    ASSERT_TRUE((debugger2 = find_text(shot(), "Ovix integrated debugger")).has_value());
    TearDown();

    for (int scale : {3, 4}) {
        SCOPED_TRACE(scale);
        const int dx = (320 * scale - WIN_W) / 2, dy = (250 * scale - WIN_H) / 2;
        start({"--scale", std::to_string(scale)});
        // The BIOS's banner (above the blinking cursor) at the window's
        // scale, filling the window (but for the preview's label).
        auto scaled_banner = [&](const Picture &s) {
            for (int y = 24; y < std::min(120 * scale, WIN_H); y++)
                for (int x = 0; x < WIN_W; x++)
                    if (colour(s, x, y) != colour(golden, x / scale * 2, y / scale * 2)) return false;
            return true;
        };
        ASSERT_TRUE(wait_for(scaled_banner, LONG)) << "see " << save_shot();
        hold("Escape");
        park_pointer();
        std::optional<std::pair<int, int>> at;
        ASSERT_TRUE(wait_for([&](const Picture &s) { return (at = find_text(s, "LOAD ROM")).has_value(); }, LONG));
        EXPECT_EQ(*at, std::make_pair(popup2->first + dx, popup2->second + dy));
        click_text("Set options");
        EXPECT_TRUE(wait_text("Window scale"));
        hold("Escape");
        open_debugger();
        EXPECT_EQ(find_text(shot(), "Ovix integrated debugger"),
                  std::make_optional(std::make_pair(debugger2->first + dx, debugger2->second + dy)));
        click_text("Commands");
        click_text("screen preview");
        ASSERT_TRUE(wait_text("Space returns to the debugger"));
        EXPECT_TRUE(wait_for(scaled_banner, LONG)) << "see " << save_shot();
        run("xdotool key space");
        EXPECT_TRUE(wait_text("Ovix integrated debugger"));
        TearDown();
    }
}

// Quick saves go to the slot that Shift+F6 and Shift+F9 choose; F9 on an
// empty slot says so over the picture. The save selector starts with no
// name to append to (a name without an extension gets .ovs); F2 in a
// selector shows all files, and F2 again the snapshots only.
TEST_F(WindowTest, QuickSaveSlotsAndTheStateSelectors)
{
    start();
    wait_bios_screen();
    struct Step {
        const char *keys;
        const char *message;
    };
    const Step steps[] = {
        {"F6", "Saved quick.ovs"},
        {"shift+F6", "Quick-save slot 2: quick2.ovs (empty)"},
        {"F9", "No quick save in slot 2 (quick2.ovs)"},
        {"F6", "Saved quick2.ovs"},
        {"shift+F9", "Quick-save slot 1: quick.ovs"},
        {"shift+F9", "Quick-save slot 9: quick9.ovs (empty)"},
        // Eleven taps well within one frame: each acts (9 + 11 = 2).
        {"--delay 1 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6 shift+F6",
         "Quick-save slot 2: quick2.ovs"},
        {"F9", "Loaded quick2.ovs"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.keys);
        run(std::string("xdotool key ") + step.keys);
        EXPECT_TRUE(wait_text(step.message));
    }
    EXPECT_TRUE(fs::exists(dir + "/quick2.ovs"));
    EXPECT_FALSE(find_text(shot(), "Cannot load the snapshot").has_value());

    for (const char *name : {"first", "second.ovs"}) {
        hold("Escape");
        click_text("Save state");
        ASSERT_TRUE(wait_text("Save the machine's state as - snapshots (F2: all files)"));
        type(name);
        run("xdotool key Return");
        const std::string saved = "Saved " + std::string(name) + (strchr(name, '.') ? "" : ".ovs");
        EXPECT_TRUE(wait_text(saved.c_str()));
    }
    EXPECT_TRUE(fs::exists(dir + "/first.ovs"));
    EXPECT_TRUE(fs::exists(dir + "/second.ovs"));

    hold("Escape");
    click_text("Load state");
    ASSERT_TRUE(wait_text("Load a machine state - snapshots (F2: all files)"));
    EXPECT_TRUE(wait_text("first.ovs"));
    EXPECT_FALSE(find_text(shot(), "stderr.txt").has_value());
    run("xdotool key F2");
    ASSERT_TRUE(wait_text("Load a machine state - all files (F2: snapshots)"));
    EXPECT_TRUE(wait_text("stderr.txt"));
    run("xdotool key F2");
    ASSERT_TRUE(wait_text("Load a machine state - snapshots (F2: all files)"));
    run("xdotool key Escape");
    EXPECT_TRUE(wait_gone("Load a machine state"));
    EXPECT_TRUE(running());
}

// Speed, slot, recent cartridges, the selector's folder and the window's
// position are kept in the settings file and come back at the next run; a
// scale given on the command line wins for that run and is not kept. A
// settings file of a later version is ignored with a message, and left as
// it is.
TEST_F(WindowTest, SettingsAreRememberedAcrossRuns)
{
    fs::create_directories(dir + "/roms");
    fs::copy_file(DEMO_CART, dir + "/roms/demo.rom");
    const std::string settings_file = dir + "/config/ovix/ovix.cfg";

    start();
    wait_bios_screen();
    hold("Escape");
    click_text("Set options");
    click_text("Set fastest speed");
    run("xdotool key shift+F6");
    EXPECT_TRUE(wait_text("Quick-save slot 2"));
    hold("Escape");
    click_text("LOAD ROM");
    ASSERT_TRUE(wait_text("Load an OVIX ROM image - ROM images (F2: all files)"));
    type("roms/demo.rom");
    run("xdotool key Return");
    EXPECT_TRUE(wait_title("ovix - demo.rom"));
    run("xdotool windowmove " + window_id + " 37 41");
    ASSERT_TRUE(wait_geometry("Position: 37,41"));
    exit_from_the_popup();
    const std::string roms = fs::canonical(dir + "/roms").string();
    const std::string text = read_text(settings_file);
    for (const std::string &line : {std::string("speed = fastest\n"), std::string("slot = 2\n"),
                                    "cart1 = " + roms + "/demo.rom\n", "cart_folder = " + roms + "\n",
                                    std::string("window_x = 37\n"), std::string("window_y = 41\n"),
                                    std::string("scale = 2\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line << " not in\n" << text;

    // The second run, at scale 1 for this run only.
    start({"--scale", "1"});
    EXPECT_TRUE(wait_geometry("Position: 37,41"));
    EXPECT_TRUE(wait_geometry("320x250"));
    hold("Escape");
    EXPECT_TRUE(wait_text("Quick save (F6): slot 2"));
    click_text("Recent cartridges");
    click_text("/demo.rom");
    EXPECT_TRUE(wait_title("ovix - demo.rom"));
    hold("Escape");
    click_text("Set options");
    EXPECT_TRUE(wait_text("Set fastest speed (active)"));
    hold("Escape");
    EXPECT_TRUE(wait_gone("Set fastest speed (active)"));
    hold("Escape");
    click_text("LOAD ROM");
    // The selector opens in the cartridge's folder (the field shows the
    // end of a long path).
    EXPECT_TRUE(wait_text((fs::path(roms).parent_path().filename().string() + "/roms/").c_str()));
    run("xdotool key Escape");
    EXPECT_TRUE(wait_gone("Load an OVIX ROM image"));
    exit_from_the_popup();
    EXPECT_NE(read_text(settings_file).find("scale = 2\n"), std::string::npos) << read_text(settings_file);

    // A later version's file: the defaults, a message, the file kept.
    const std::string later = "[ovix]\nversion = 7\nscale = 9\n";
    ASSERT_TRUE(write_text(settings_file, later));
    start();
    EXPECT_TRUE(wait_stderr("ovix: settings file ignored (and left as it is): " + settings_file +
                            ": written by a later version of the program (settings version 7, this program reads 1)"));
    EXPECT_TRUE(wait_geometry("640x500"));
    run("xdotool key shift+F6");
    EXPECT_TRUE(wait_text("Quick-save slot 2"));
    exit_from_the_popup();
    EXPECT_EQ(read_text(settings_file), later);
}

// F11 (and --fullscreen): the picture as large as the screen allows, its
// proportions kept (on the 800 x 600 screen: 768 x 600 between black
// bars); F11 again gives the window back. Where the display refuses (a
// screen smaller than the picture) the program stays in its window and
// says why.
TEST_F(WindowTest, FullscreenAndItsRefusal)
{
    Picture golden;
    ASSERT_EQ(read_png(GOLDEN_DIR + "bios_screen.png", &golden), "");
    start();
    wait_bios_screen();
    run("xdotool key F11");
    // Machine pixel (x, y) at (16 + 2.4 x, 2.4 y); the golden has it at
    // (2 x, 2 y). The rows above the blinking cursor.
    auto fullscreen_bios = [&](const Picture &s) {
        for (int y = 0; y < 600; y += 3)
            for (int x : {0, 15, 784, 799})
                if (colour(s, x, y) != 0) return false;
        for (int my = 0; my < 120; my += 7)
            for (int mx = 0; mx < 320; mx += 5)
                if (colour(s, 16 + mx * 12 / 5 + 1, my * 12 / 5 + 1) != colour(golden, 2 * mx, 2 * my)) return false;
        return true;
    };
    bool shown = false;
    for (auto until = std::chrono::steady_clock::now() + LONG; !shown && std::chrono::steady_clock::now() < until;
         sleep_for(100ms))
        shown = fullscreen_bios(shot(ROOT_W, ROOT_H));
    EXPECT_TRUE(shown) << "see " << save_shot();
    run("xdotool key F11");
    wait_bios_screen();
    EXPECT_TRUE(wait_geometry("640x500"));
    TearDown();

    XServer small;
    ASSERT_TRUE(small.start("300x240x24"));
    start({"--fullscreen"});
    EXPECT_TRUE(wait_stderr("ovix: no fullscreen: the screen (300 x 240) is smaller than the machine's picture "
                            "(320 x 250); the program stays in its window"));
    EXPECT_TRUE(wait_geometry("640x500"));
    EXPECT_TRUE(running());
    TearDown();
    small.stop();
    char display[32];
    snprintf(display, sizeof display, ":%d", g_x.display);
    setenv("DISPLAY", display, 1);
}

// cmake --install of this build into a fresh prefix: the programs, the
// open BIOS and the demo with their symbol files. The installed program,
// started in a folder without a BIOS, runs the installed open BIOS and says
// so on standard error.
TEST_F(WindowTest, InstalledProgramRunsTheInstalledOpenBios)
{
    const std::string prefix = dir + "/prefix";
    ASSERT_EQ(run("cmake --install '" OVIX_BINARY_DIR "' --prefix '" + prefix + "' >'" + dir + "/install.log' 2>&1"), 0)
        << read_text(dir + "/install.log");
    for (const char *file : {"/bin/ovix", "/bin/ovix-headless", "/bin/ovix-asm", "/share/ovix/bios/BIOS7020.bin",
                             "/share/ovix/bios/BIOS7020.sym", "/share/ovix/bios/BIOS7020.dbg", "/share/ovix/demo/demo.rom",
                             "/share/ovix/demo/demo.sym", "/share/ovix/demo/demo.dbg"})
        EXPECT_TRUE(fs::is_regular_file(prefix + file)) << file;
    fs::remove_all(dir + "/bios");
    start({}, true, prefix + "/bin/ovix");
    wait_bios_screen();
    EXPECT_TRUE(wait_stderr("ovix: no bios/BIOS7020.bin in the working directory: using the open BIOS " + prefix +
                            "/share/ovix/bios/BIOS7020.bin\n"));
}

// tools/run-ovix.sh, from a copy of the repository's tools (so that no BIOS
// of one's own in the repository is found): every file option is taken
// relative to the caller's folder, written "--opt FILE" or "--opt=FILE".
// Without a display the program reads the cartridge and the symbols, then
// stops for want of a window (status 1); a file not found names the path
// it was looked for at (status 2).
TEST(Launcher, FileOptionsAreTakenFromTheCallersFolder)
{
    const std::string dir = make_temp_dir("launcher");
    fs::create_directories(dir + "/repo/tools");
    fs::create_directories(dir + "/caller/sub");
    fs::copy_file(OVIX_SOURCE_DIR "/tools/run-ovix.sh", dir + "/repo/tools/run-ovix.sh");
    fs::copy_file(DEMO_CART, dir + "/caller/sub/game.rom");
    fs::copy_file(OVIX_BINARY_DIR "/roms/demo/demo.sym", dir + "/caller/sub/game.sym");
    const std::string caller = fs::canonical(dir + "/caller").string();
    struct Case {
        const char *args;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {"--cart sub/game.rom --symbols sub/game.sym", 1, "no display could be opened"},
        {"--cart=sub/game.rom --symbols=sub/game.sym", 1, "no display could be opened"},
        {"--cart sub/none.rom", 2, "cannot open rom " + caller + "/sub/none.rom"},
        {"--symbols=sub/none.sym", 2, "cannot read the symbol file " + caller + "/sub/none.sym"},
        {"--load-state sub/none.ovs --bios sub/none.bin", 1, "needs file " + caller + "/sub/none.bin"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const std::string out = run_output("cd '" + caller + "' && env -u DISPLAY bash ../repo/tools/run-ovix.sh '" +
                                           OVIX_BINARY_DIR + "' " + c.args + " 2>&1; echo status=$?");
        EXPECT_NE(out.find(c.text), std::string::npos) << out;
        EXPECT_NE(out.find("status=" + std::to_string(c.status) + "\n"), std::string::npos) << out;
    }
}

// ---------------------------------------------------------------------------
// Time travel: movies and rewinding.

// A movie recorded in the window (typing with xdotool) and played by the
// runner gives the machine the window had when it quick-saved: the members
// that describe the machine are equal (not the run counts, nor the loop's
// pass counter, which the window's snapshots record as 1).
TEST_F(CartridgeTest, MovieRecordedInTheWindowReplaysInTheRunner)
{
    ASSERT_TRUE(write_file(dir + "/busy.rom", busy_cartridge()));
    start({"--cart", "busy.rom", "--record", "typed.ovm"});
    wait_counter();
    press_keys("movie", 100ms, 100ms);
    run("xdotool keydown F2 sleep 0.2 keyup F2");   // the handshake line too
    press_keys("42", 100ms, 100ms);
    run("xdotool key F6");
    ASSERT_TRUE(wait_text("Saved quick.ovs", LONG));
    run("xdotool key F10");
    ASSERT_TRUE(wait_text("Recording stopped: movie saved as typed.ovm", LONG));

    const auto json_of = [&](const std::string &file) {
        const nlohmann::json j = nlohmann::json::parse(read_text(dir + "/" + file), nullptr, false);
        EXPECT_TRUE(j.is_object()) << file;
        return j;
    };
    nlohmann::json window = json_of("quick.ovs");
    ASSERT_TRUE(window.is_object());
    // The movie's start: its first pass, as the runner counts it.
    const std::string runner = "cd '" + dir + "' && '" OVIX_BINARY_DIR "/tools/headless/ovix-headless' --cart busy.rom "
                               "--play typed.ovm ";
    ASSERT_EQ(run(runner + "--instructions 1 --state first.json >/dev/null"), 0);
    const uint64 start = json_of("first.json")["machine_passes"].get<uint64>() - 1;
    const uint64 passes = window["machine_passes"].get<uint64>() - start;
    ASSERT_EQ(run(runner + "--instructions " + std::to_string(passes) + " --state played.json >/dev/null"), 0);
    nlohmann::json played = json_of("played.json");
    for (nlohmann::json *j : {&window, &played})
        for (const char *run_member : {"instructions", "cycles", "pass_counter", "checksum"}) j->erase(run_member);
    EXPECT_EQ(played, window) << "the machine the runner played differs from the window's";
    // The key log holds what was typed: the movie carried it.
    EXPECT_NE(window["ram"].dump().find("4d4f564945"), std::string::npos) << "MOVIE not in the key log";
}

// Rewinding: the text typed at the BIOS's prompt goes away from the
// picture while Backspace is held; on release the machine goes on from
// there and new typing shows.
TEST_F(WindowTest, RewindShowsTheEarlierPicture)
{
    start();
    wait_bios_screen();
    // The prompt's line (row 15, 20 pixels high at scale 2): which of its
    // first cells (16 pixels wide) hold anything but the background.
    const auto cells = [](const Picture &s) {
        std::string text;
        const uint32 background = colour(s, WIN_W - 8, 310);
        for (int c = 0; c < 9; c++) {
            bool on = false;
            for (int y = 300; y < 320 && !on; y++)
                for (int x = 16 * c; x < 16 * c + 16 && !on; x++) on = colour(s, x, y) != background;
            text += on ? '#' : '.';
        }
        return text;
    };
    // Cell 0 is the prompt, cell 2 the cursor before typing; the typed
    // text fills cells 2 to 6.
    const auto typed = [&](const Picture &s) { return cells(s).substr(2, 5) == "#####"; };
    const auto not_typed = [&](const Picture &s) { return cells(s).substr(0, 2) == "#." && cells(s).substr(3) == "......"; };
    // The prompt stays a while (the cursor blinks on and off twice) before
    // the typing, so that the rewind meets it.
    const auto cursor_on = [&](const Picture &s) { return cells(s)[2] == '#'; };
    for (int blink = 0; blink < 2; blink++) {
        ASSERT_TRUE(wait_for(cursor_on, LONG));
        ASSERT_TRUE(wait_for([&](const Picture &s) { return !cursor_on(s); }, LONG));
    }
    type("hello");
    ASSERT_TRUE(wait_for(typed, LONG)) << "see " << save_shot();

    // While rewinding, the typed text goes from the picture: the prompt
    // before it comes back, or (where the pictures between are missed on a
    // busy machine) the start of the recorded time, before the prompt.
    run("xdotool keydown BackSpace");
    EXPECT_TRUE(wait_for([](const Picture &s) {
        return find_text(s, "<< Rewinding (Backspace held)") || find_text(s, "Start of the recorded time");
    }, LONG));
    const bool gone = wait_for([&](const Picture &s) { return cells(s).substr(3) == "......"; }, LONG);
    run("xdotool keyup BackSpace");
    ASSERT_TRUE(gone) << "the typed text stayed while rewinding; see " << save_shot();
    ASSERT_TRUE(wait_gone("<< Rewinding (Backspace held)"));
    EXPECT_TRUE(wait_text("Rewound", LONG));
    // From there (the prompt comes back if the rewind went further), new
    // typing shows, the old text does not come back.
    ASSERT_TRUE(wait_for(not_typed, LONG)) << "see " << save_shot();
    type("xyz");
    EXPECT_TRUE(wait_for([&](const Picture &s) { return cells(s).substr(0, 5) == "#.###" && cells(s).substr(6) == "..."; },
                         LONG))
        << "see " << save_shot();
    EXPECT_TRUE(running());
}

// A movie the runner recorded plays in the window: at its end the keyboard
// is live (the key typed then reaches the machine after the movie's); typed
// during the playback, a key takes over at once.
TEST_F(CartridgeTest, MoviePlaysInTheWindowAndTypingTakesOver)
{
    ASSERT_TRUE(write_file(dir + "/busy.rom", busy_cartridge()));
    const std::string runner = "cd '" + dir + "' && '" OVIX_BINARY_DIR "/tools/headless/ovix-headless' --cart busy.rom ";
    ASSERT_EQ(run(runner + "--type ab --seconds 3 --record short.ovm >/dev/null"), 0);
    ASSERT_EQ(run(runner + "--type-at 60s:ab --seconds 61 --record long.ovm >/dev/null"), 0);

    start({"--cart", "busy.rom", "--play", "short.ovm"});
    EXPECT_TRUE(wait_text("The movie has ended: the keyboard is live", LONG));
    press_keys("c", 100ms, 100ms);
    open_debugger();
    EXPECT_EQ(key_log(), "ABC");

    start({"--cart", "busy.rom", "--play", "long.ovm"});
    ASSERT_TRUE(wait_text("Playing long.ovm (typing takes over)", LONG));
    wait_counter();   // the cartridge reads the keyboard
    press_keys("d", 100ms, 100ms);
    EXPECT_TRUE(wait_text("Typing took over from the movie", LONG));
    open_debugger();
    EXPECT_EQ(key_log(), "D");   // the movie's keys, a minute on, never came
}
