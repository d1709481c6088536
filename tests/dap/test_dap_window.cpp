// The debug adapter with the launch argument `window`: the worked example
// runs in the window program under a virtual X server, stops at a line of
// its source, and a key the author types into the window reaches the
// machine, which stops at the breakpoint after its key read; so do keys
// typed by the console's `type` from the debug console.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>

#include "dap_client.h"
#include "test_support.h"
#include "x_server.h"

namespace {

using dap_test::json;
using namespace std::chrono_literals;

bool have_program(const char *name)
{
    return system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output_of(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// The line of `text` in a file (from 1), 0 when none has it.
int line_of(const std::string &path, const std::string &text)
{
    std::ifstream f(path);
    std::string s;
    for (int n = 1; std::getline(f, s); n++)
        if (s.find(text) != std::string::npos) return n;
    return 0;
}

TEST(DapWindow, TheAuthorTypesIntoTheMachineWhileDebugging)
{
    if (!have_program("Xvfb") || !have_program("xdotool")) GTEST_SKIP() << "needs Xvfb and xdotool";
    XServer x;
    ASSERT_TRUE(x.start()) << "could not start Xvfb";
    setenv("DISPLAY", x.display.c_str(), 1);
    const std::string dir = make_temp_dir("dap_window");
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);   // the window's settings stay here
    setenv("HOME", dir.c_str(), 1);
    const std::string source = std::string(OVIX_SOURCE_DIR) + "/roms/example/example.asm";
    const int after_key = line_of(source, "MOV     A,CODE");
    ASSERT_GT(after_key, 0);

    dap_test::client c;
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(c.request("initialize", {{"adapterID", "ovix"}})["success"].get<bool>());
    json r = c.request("launch", {{"cart", std::string(OVIX_BINARY_DIR) + "/roms/example/example.rom"},
                                  {"window", true},
                                  {"stopOnEntry", true},
                                  {"cwd", dir}});
    ASSERT_TRUE(r.value("success", false)) << r;
    ASSERT_FALSE(c.event("initialized").is_null());
    json b = c.request("setBreakpoints", {{"source", {{"path", source}}}, {"breakpoints", {{{"line", after_key}}}}});
    ASSERT_TRUE(b["body"]["breakpoints"][0]["verified"].get<bool>()) << b;
    c.request("configurationDone");
    json s = c.event("stopped");
    ASSERT_FALSE(s.is_null()) << c.transcript();
    EXPECT_EQ(s["body"]["reason"], "entry");
    c.request("continue", {{"threadId", 1}});

    // The example waits for a key: typed into its window.
    std::string window;
    for (auto until = std::chrono::steady_clock::now() + 30s; window.empty() && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(200ms);
        window = output_of("xdotool search --name '^ovix - ' 2>/dev/null | head -1");
    }
    ASSERT_FALSE(window.empty()) << "the window did not appear";
    output_of("xdotool windowfocus " + window);
    // The stop comes once the key has gone through the I/O processor; a key
    // that came before the window took the keyboard is typed again.
    s = json();
    for (int attempt = 0; attempt < 5 && s.is_null(); attempt++) {
        output_of("xdotool keydown x");
        std::this_thread::sleep_for(300ms);
        output_of("xdotool keyup x");
        s = c.event("stopped", 10000);
    }
    ASSERT_FALSE(s.is_null()) << c.transcript();
    EXPECT_EQ(s["body"]["reason"], "breakpoint");
    json frames = c.request("stackTrace", {{"threadId", 1}})["body"]["stackFrames"];
    EXPECT_EQ(frames[0]["line"], after_key);
    EXPECT_EQ(c.request("evaluate", {{"expression", "A"}, {"context", "watch"}})["body"]["result"], "58 (#88)");   // X

    // Keys typed by the debug console's `type` reach the machine too, as
    // the window's own keys do (through the window's key queue).
    const struct {
        const char *typed;
        const char *code;
    } forms[] = {
        {"{LEFT}", "83 (#131)"},
        {"z", "5A (#90)"},
    };
    for (const auto &f : forms) {
        json t = c.request("evaluate", {{"expression", std::string("!type ") + f.typed}, {"context", "repl"}});
        ASSERT_TRUE(t.value("success", false)) << t;
        c.request("continue", {{"threadId", 1}});
        s = c.event("stopped", 20000);
        ASSERT_FALSE(s.is_null()) << f.typed << " did not reach the machine\n" << c.transcript();
        EXPECT_EQ(s["body"]["reason"], "breakpoint");
        EXPECT_EQ(c.request("evaluate", {{"expression", "A"}, {"context", "watch"}})["body"]["result"], f.code) << f.typed;
    }
    c.request("disconnect");
}

}  // namespace
