// The manual pages (man/*.1) against the programs: every option a
// program's --help lists is documented in the OPTIONS section of its page,
// and the page documents no option the program does not have. A failure
// names each option missing on either side.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

using Names = std::set<std::string>;

// The option names in a piece of text: "--word" or "-x", standing alone
// (after the start, a blank, a bracket, a comma, a bar or a quote).
void add_names(const std::string &text, Names *names)
{
    static const std::regex name(R"((?:^|[\s\[,|"])(--?[A-Za-z][A-Za-z0-9-]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
        names->insert((*it)[1]);
}

// What --help offers: the options of its usage lines (up to the first blank
// line) and the first column of the option list (CLI11's "  -h,--help  ...").
Names help_options(const std::string &help)
{
    Names names;
    std::istringstream in(help);
    std::string line;
    bool usage = true;
    while (std::getline(in, line)) {
        if (line.empty()) usage = false;
        if (usage) add_names(line, &names);
        else if (line.size() > 2 && line[0] == ' ' && line.find_first_not_of(' ') != std::string::npos &&
                 line[line.find_first_not_of(' ')] == '-')
            add_names(line.substr(0, line.find(' ', line.find_first_not_of(' '))), &names);
    }
    return names;
}

// What a page documents: the tag line after each .TP of its OPTIONS section.
Names page_options(const std::string &page)
{
    Names names;
    std::istringstream in(page);
    std::string line;
    bool options = false, tag = false;
    while (std::getline(in, line)) {
        if (line.rfind(".SH", 0) == 0) options = line.find("OPTIONS") != std::string::npos;
        else if (options && line.rfind(".TP", 0) == 0) tag = true;
        else if (tag) {
            std::string plain;   // roff's \- is a plain -
            for (size_t i = 0; i < line.size(); ++i)
                if (!(line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '-')) plain += line[i];
            add_names(plain, &names);
            tag = false;
        }
    }
    return names;
}

std::string output_of(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    *status = pclose(p);
    return out;
}

std::string only_in(const Names &a, const Names &b)
{
    std::string out;
    for (const std::string &n : a)
        if (!b.count(n)) out += " " + n;
    return out;
}

TEST(ManPages, ExtractionReadsEveryForm)
{
    const std::string help =
        "usage: prog [--one FILE] [-a|--two N]... [--three [--four]]\n"
        "\n"
        "Keys while it runs:\n"
        "  A-Z, 0-9               letters, not -options (--not-an-option)\n"
        "Options:\n"
        "  -h,--help              Print this help message and exit\n"
        "  --five KIND ...        its value may look like --six\n";
    EXPECT_EQ(help_options(help), (Names{"--one", "-a", "--two", "--three", "--four", "-h", "--help", "--five"}));

    const std::string page =
        ".SH SYNOPSIS\n.TP\n.B \\-\\-synopsis\n"
        ".SH OPTIONS\n.TP\n.BI \\-\\-one \" FILE\"\nsee \\-\\-text\n.TP\n.BR \\-h \", \" \\-\\-help\n"
        ".SH KEYS\n.TP\n.B \\-\\-key\n";
    EXPECT_EQ(page_options(page), (Names{"--one", "-h", "--help"}));
}

TEST(ManPages, EachPageDocumentsExactlyTheProgramsOptions)
{
    static const struct { const char *page, *program; } table[] = {
        {"ovix.1", OVIX_BINARY_DIR "/src/main/ovix"},
        {"ovix-headless.1", OVIX_BINARY_DIR "/tools/headless/ovix-headless"},
        {"ovix-asm.1", OVIX_BINARY_DIR "/tools/asm/ovix-asm"},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.page);
        int status = -1;
        const Names in_help = help_options(output_of(std::string("'") + row.program + "' --help", &status));
        ASSERT_EQ(status, 0);
        const Names in_page = page_options(read_text(OVIX_SOURCE_DIR "/man/" + std::string(row.page)));
        // Neither side may be read as empty: both name --help at least.
        ASSERT_TRUE(in_help.count("--help") && in_page.count("--help"));
        EXPECT_EQ(only_in(in_help, in_page), "") << "in --help, missing from man/" << row.page;
        EXPECT_EQ(only_in(in_page, in_help), "") << "in man/" << row.page << ", not in --help";
    }
}

}  // namespace
