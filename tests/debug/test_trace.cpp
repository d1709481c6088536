// Trace facility: debug.lst parsing, the two message forms, the 1000-line
// ring, get_log_str's fitting rule and the file output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "config.h"
#include "debug/trace.h"
#include "test_support.h"

namespace {

// Each test starts from a fresh facility set up in its own folder.
class Trace : public ::testing::Test {
protected:
    std::string dir;
    std::filesystem::path old_cwd;
    void SetUp() override
    {
        old_cwd = std::filesystem::current_path();
        dir = make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::current_path(dir);
        deinit_trace();
        restore_trace();
    }
    void TearDown() override
    {
        deinit_trace();
        std::filesystem::current_path(old_cwd);
    }
    void write_list(const std::string &text)
    {
        FILE *f = fopen("debug.lst", "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
};

// Functions with their own trace flags, as the emulation core writes them.
void listed_fn(int v)
{
    TRACE_FUNC("listed_fn()");
    TRACE("routine %d", v);
}
void unlisted_fn(int v)
{
    TRACE_FUNC("unlisted_fn()");
    TRACE("routine %d", v);
    TRACE_ALWAYS("anomaly %02x", v);
}
// Counts how often its message arguments are evaluated.
int evaluations = 0;
int counted() { return ++evaluations; }
void quiet_fn()
{
    TRACE_FUNC("quiet_fn()");
    TRACE("value %d", counted());
}

std::string log_text()
{
    static char buf[0x10000];
    get_log_str(buf, sizeof buf);
    return buf;
}

}  // namespace

TEST_F(Trace, ListSelectsFunctionsByExactName)
{
    struct Case { const char *list; const char *name; int expected; } cases[] = {
        {"tms3556_reg_w() tms3556_vram_w()\n", "tms3556_reg_w()", 1},
        {"tms3556_reg_w() tms3556_vram_w()\n", "tms3556_vram_w()", 1},
        {"tms3556_reg_w\n", "tms3556_reg_w()", -1},           // without "()" nothing matches
        {"Main()\n", "main()", -1},                             // case-sensitive
        {"\n\n  main()\t\n", "main()", 1},                      // any whitespace separates
        {"", "main()", -1},
    };
    for (const auto &c : cases) {
        deinit_trace();
        write_list(c.list);
        EXPECT_EQ(check_debug(c.name), c.expected) << c.list << " / " << c.name;
    }
}

TEST_F(Trace, MissingListMeansNothingListed)
{
    EXPECT_EQ(check_debug("main()"), -1);
    EXPECT_EQ(debug_func_list_size, 0);
}

TEST_F(Trace, OversizedListIsReadSafely)
{
    // 150 words, some far longer than a name slot and the read buffer.
    std::string text;
    for (int i = 0; i < 150; i++) text += "f" + std::to_string(i) + "() ";
    text = std::string(1000, 'x') + " " + text;
    write_list(text);
    EXPECT_EQ(check_debug("f0()"), 1);
    EXPECT_EQ(debug_func_list_size, DEBUG_LIST_MAX);   // words past 100 are ignored
    EXPECT_EQ(check_debug("f120()"), -1);
    for (int i = 0; i < debug_func_list_size; i++)
        EXPECT_LT(strlen(debug_func_list[i]), (size_t)DEBUG_NAME_SIZE);
}

TEST_F(Trace, ListedAndAlwaysForms)
{
    write_list("listed_fn()\n");
    listed_fn(7);
    unlisted_fn(9);
    std::string text = log_text();
    EXPECT_NE(text.find("listed_fn():routine 7"), std::string::npos) << text;
    EXPECT_EQ(text.find("unlisted_fn():routine"), std::string::npos) << text;
    EXPECT_NE(text.find("unlisted_fn():anomaly 09"), std::string::npos) << text;
}

TEST_F(Trace, NothingIsFormattedWhenOff)
{
    evaluations = 0;
    quiet_fn();
    quiet_fn();
    EXPECT_EQ(evaluations, 0);
    EXPECT_EQ(trace_log_size, 0);
}

TEST_F(Trace, SuppressionStopsLookupAndLines)
{
    write_list("listed_fn()\n");
    no_trace();
    unlisted_fn(1);
    EXPECT_EQ(trace_log_size, 0);
    restore_trace();
    unlisted_fn(2);
    EXPECT_EQ(trace_log_size, 1);
}

TEST_F(Trace, LinePrefixAndConversions)
{
    check_debug("x");
    g_func_name = "f()";
    do_trace("a=%04x b=%2x c=%d s=%s u=%u X=%X f=%f pct=%% end", 0xAB, 5, -3, "txt", 7u, 0xBEEF, 0.5);
    const char *line = trace_log_slot(0);
    // Time stamp and program counter lead every line.
    EXPECT_EQ(std::string(line).substr(0, 18), "00000000 0000 f():") << line;
    EXPECT_STREQ(line + 18, "a=00ab b= 5 c=-3 s=txt u=7 X=BEEF f=0.500000 pct=% end");
}

TEST_F(Trace, RingKeepsTheLast1000Lines)
{
    check_debug("x");
    for (int i = 1; i <= 1001; i++) do_trace("line %d", i);
    EXPECT_EQ(trace_log_size, 1000);
    std::string text = log_text();
    EXPECT_EQ(text.find(":line 1\n"), std::string::npos);
    EXPECT_NE(text.find(":line 2\n"), std::string::npos);
    // Newest last.
    EXPECT_EQ(text.rfind(":line 1001\n"), text.size() - strlen(":line 1001\n"));
}

TEST_F(Trace, LongLinesAreCutInTheRingOnly)
{
    check_debug("x");
    std::string longmsg(400, 'y');
    do_trace("%s", longmsg.c_str());
    EXPECT_EQ(strlen(trace_log_slot(0)), 255u);
    deinit_trace();   // closes trace.log
    std::string file = read_text("trace.log");
    EXPECT_NE(file.find(longmsg + "\n"), std::string::npos);
}

TEST_F(Trace, GetLogStrFitting)
{
    char buf[64];
    check_debug("x");
    get_log_str(buf, sizeof buf);
    EXPECT_STREQ(buf, "");   // empty ring

    g_func_name = "f()";
    do_trace("first");
    do_trace("second");
    // "00000000 0000 f():second" is 24 characters: it needs 26 bytes.
    get_log_str(buf, 25);
    EXPECT_STREQ(buf, "");
    get_log_str(buf, 26);
    EXPECT_STREQ(buf, "00000000 0000 f():second\n");
    get_log_str(buf, 51);   // both need 25 + 26 = 51
    EXPECT_STREQ(buf, "00000000 0000 f():first\n00000000 0000 f():second\n");
}

TEST_F(Trace, ClearEmptiesTheRingNotTheFile)
{
    check_debug("x");
    do_trace("before");
    clear_log_str();
    EXPECT_EQ(log_text(), "");
    do_trace("after");
    EXPECT_NE(std::string(trace_log_slot(0)).find("after"), std::string::npos);
    deinit_trace();
    std::string file = read_text("trace.log");
    EXPECT_NE(file.find("before"), std::string::npos);
    EXPECT_NE(file.find("after"), std::string::npos);
}

TEST_F(Trace, UncreatableLogStillFillsTheRing)
{
    std::filesystem::create_directory("trace.log");   // a folder: the file cannot be created
    check_debug("x");
    do_trace("kept %d", 1);
    EXPECT_EQ(trace_log_size, 1);
    EXPECT_NE(std::string(trace_log_slot(0)).find("kept 1"), std::string::npos);
}
