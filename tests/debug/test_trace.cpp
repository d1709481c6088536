// Trace facility: debug.lst parsing, the two message forms, the 1000-line
// ring, get_log_str's fitting rule and the file output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <sys/stat.h>

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
        trace_set_log_limit(0);
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
    EXPECT_EQ(std::string(debug_func_list[0]), std::string(DEBUG_NAME_SIZE - 1, 'x'));
    EXPECT_STREQ(debug_func_list[1], "f0()");          // the long word is one name
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

TEST_F(Trace, MessagesFormatAsPrintfDoes)
{
    // Each message is formatted from its call site's plan (the forms the
    // core uses) or by the general path (anything else); both as printf.
    struct Case { const char *fmt; int arg; const char *expected; } cases[] = {
        {"%02x", 5, "05"},           {"%2x", 0xABC, "abc"},       {"%04X", 0xbeef, "BEEF"},
        {"%d", -3, "-3"},            {"%05d", -42, "-0042"},      {"%5d|", -42, "  -42|"},
        {"%u", -1, "4294967295"},    {"%x", 0, "0"},              {"%lx", 0x12, "12"},
        {"%08X", (int)0xDEADBEEF, "DEADBEEF"}, {"%010d", 7, "0000000007"}, {"%123d", 7, nullptr},
        {"%-4d|", 5, "5   |"},       {"%.3d", 5, "005"},          {"%c", 'A', "A"},
        {"%% %d", 1, "% 1"},         {"a%qb %d", 2, "a%qb 2"},    {"tail %d end", 9, "tail 9 end"},
    };
    check_debug("x");
    g_func_name = "f()";
    for (const auto &c : cases) {
        char expected[256];
        if (!c.expected) snprintf(expected, sizeof expected, c.fmt, c.arg);
        for (int call = 0; call < 2; call++) {   // the first reads the message, the second its plan
            static trace_site site;
            site = {};
            do_trace_at(&site, c.fmt, c.arg);
            EXPECT_STREQ(trace_log_slot((trace_log_next + 999) % 1000) + 18, c.expected ? c.expected : expected)
                << c.fmt;
        }
    }
    do_trace("%s|%3s|%s", "abc", "de", (const char *)nullptr);
    EXPECT_STREQ(trace_log_slot((trace_log_next + 999) % 1000) + 18, "abc| de|(null)");
}

TEST_F(Trace, PlannedLinesWithLongStringsAreCutAsPrintfCutsThem)
{
    // A string that ends just before, at or after the line's end, followed
    // by more text and numbers: the line is the whole text cut at 4095
    // characters, and nothing is written past it.
    check_debug("x");
    g_func_name = "f()";
    const std::string head = "00000000 0000 f():";
    const char *fmt = "%s, then text and numbers %08X %99d end";
    std::vector<size_t> lengths;
    for (size_t cut : {4095 - head.size(), (size_t)4095 - head.size() - 30})
        for (int d = -3; d <= 3; d++) lengths.push_back(cut + d);
    lengths.push_back(100000);
    static trace_site site;
    for (size_t n : lengths) {
        const std::string str(n, 's');
        do_trace_at(&site, "%s, then text and numbers %08X %99d end", str.c_str(), 0xBEEFu, -5);
    }
    deinit_trace();
    const std::string file = read_text("trace.log");
    size_t at = 0;
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        const std::string str(n, 's');
        std::vector<char> full(n + 300);
        snprintf(full.data(), full.size(), fmt, str.c_str(), 0xBEEFu, -5);
        const std::string expected = (head + full.data()).substr(0, 4095) + "\n";
        ASSERT_EQ(file.compare(at, expected.size(), expected), 0);
        at += expected.size();
    }
    EXPECT_EQ(at, file.size());
}

TEST_F(Trace, LogRotatesAtItsLimitKeepingEveryNewLine)
{
    write_text("trace.log.1", "a line of an earlier run\n");
    trace_set_log_limit(300);
    check_debug("x");
    EXPECT_FALSE(std::filesystem::exists("trace.log.1"));   // not taken for older lines of this run
    g_func_name = "f()";
    for (int i = 0; i < 40; i++) do_trace("line %02d", i);
    deinit_trace();
    trace_set_log_limit(0);
    const std::string older = read_text("trace.log.1"), current = read_text("trace.log");
    EXPECT_LE(older.size(), 300u);
    EXPECT_LE(current.size(), 300u);
    // The two files hold the newest lines, in order and whole.
    const std::string both = older + current;
    const std::string last = "00000000 0000 f():line 39\n";
    ASSERT_GE(both.size(), last.size());
    EXPECT_EQ(both.substr(both.size() - last.size()), last);
    for (size_t at = both.find("line "); at != std::string::npos; at = both.find("line ", at + 1)) {
        const size_t next = both.find("line ", at + 1);
        if (next == std::string::npos) break;
        EXPECT_EQ(atoi(both.c_str() + next + 5), atoi(both.c_str() + at + 5) + 1) << both;
    }
    EXPECT_EQ(current.substr(0, 9), "00000000 ");
}

TEST_F(Trace, ProblemsWithTheTraceFilesAreReported)
{
    // A list that is not a regular file is refused without blocking; a log
    // that cannot be written is a problem for a run that asked for lines.
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    struct Case {
        const char *list;       // what debug.lst is: "dir", "fifo", a text, or null for none
        const char *log;        // what trace.log is: "dir", "full" (writes fail), or null
        bool dump;              // the per-instruction listing asked for
        const char *problem;    // a text the problem holds, or null for none
    } cases[] = {
        {"dir", nullptr, false, "debug.lst: a directory, not a file"},
        {"fifo", nullptr, false, "debug.lst: a FIFO, not a file"},
        {nullptr, "dir", false, nullptr},
        {nullptr, "dir", true, "cannot create trace.log"},
        {"main()", "dir", false, "cannot create trace.log"},
        {nullptr, "full", true, "cannot write trace.log"},
        {"main()", nullptr, true, nullptr},
    };
    for (const auto &c : cases) {
        deinit_trace();
        std::filesystem::remove_all("debug.lst");
        std::filesystem::remove_all("trace.log");
        if (c.list && !strcmp(c.list, "dir")) std::filesystem::create_directory("debug.lst");
        else if (c.list && !strcmp(c.list, "fifo")) std::filesystem::create_symlink("fifo", "debug.lst");
        else if (c.list) write_list(c.list);
        if (c.log && !strcmp(c.log, "dir")) std::filesystem::create_directory("trace.log");
        if (c.log && !strcmp(c.log, "full")) std::filesystem::create_symlink("/dev/full", "trace.log");
        check_debug("x");
        do_trace("a line");
        const char *problem = trace_run_problem(c.dump);
        if (c.problem) {
            ASSERT_NE(problem, nullptr) << c.list << " / " << c.log;
            EXPECT_NE(std::string(problem).find(c.problem), std::string::npos) << problem;
        } else {
            EXPECT_EQ(problem, nullptr) << problem;
        }
    }
}
