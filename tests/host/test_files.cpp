// Host files: only regular files are read, outputs appear only when complete,
// numbered names skip every existing file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "host/files.h"

namespace {

std::string slurp(const char *path)
{
    std::string data, error;
    long long size = 0;
    return read_input_file(path, 1 << 20, &data, &size, &error) == input_read::ok ? data : "<" + error + ">";
}

void put(const char *path, const char *text)
{
    FILE *f = fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    fputs(text, f);
    fclose(f);
}

TEST(HostFiles, InputsMustBeRegularFiles)
{
    put("files_in.bin", "abc");
    mkdir("files_dir", 0755);
    unlink("files_fifo");
    ASSERT_EQ(mkfifo("files_fifo", 0644), 0);
    struct Case {
        const char *path;
        const char *expect;   // content, or a part of the error text
        bool ok;
    } cases[] = {
        {"files_in.bin", "abc", true},
        {"files_dir", "files_dir: a directory, not a file", false},
        {"files_fifo", "files_fifo: a FIFO, not a file", false},   // must not block
        {"files_missing", "files_missing: No such file or directory", false},
        {"/dev/zero", "/dev/zero: a character device, not a file", false},
    };
    for (const Case &c : cases) {
        std::string error;
        long long size = -1;
        FILE *f = open_input_file(c.path, &error, &size);
        EXPECT_EQ(f != nullptr, c.ok) << c.path;
        if (f) {
            EXPECT_EQ(size, 3);
            fclose(f);
            EXPECT_EQ(slurp(c.path), c.expect);
        } else {
            EXPECT_EQ(error, c.expect);
        }
    }
    // A file over the limit is not read; its size is given.
    std::string data, error;
    long long size = 0;
    EXPECT_EQ(read_input_file("files_in.bin", 2, &data, &size, &error), input_read::too_big);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(data, "");
}

TEST(HostFiles, OutputReplacesOnlyWhenCommitted)
{
    put("files_out.txt", "old");
    std::string error;
    {
        output_file out;
        ASSERT_TRUE(out.open("files_out.txt", &error)) << error;
        fputs("half", out.file());
        EXPECT_EQ(slurp("files_out.txt"), "old");   // still the old file while writing
    }   // dropped without commit
    EXPECT_EQ(slurp("files_out.txt"), "old");
    {
        output_file out;
        ASSERT_TRUE(out.open("files_out.txt", &error)) << error;
        fputs("new", out.file());
        EXPECT_FALSE(out.commit(&error, false));    // refuses to overwrite
        EXPECT_NE(error.find("exists"), std::string::npos) << error;
    }
    EXPECT_EQ(slurp("files_out.txt"), "old");
    ASSERT_TRUE(write_file_atomic("files_out.txt", "new", 3, &error)) << error;
    EXPECT_EQ(slurp("files_out.txt"), "new");
    EXPECT_FALSE(write_file_atomic("no_such_dir/x", "x", 1, &error));
    EXPECT_EQ(error.rfind("cannot create no_such_dir/x", 0), 0u) << error;
}

TEST(HostFiles, NumberedNamesSkipEveryKind)
{
    for (const char *p : {"NUM004.bin", "NUM005.bin"}) unlink(p);   // from an earlier run
    for (const char *p : {"NUM000.bin", "NUM001.asm", "NUM003.bin"}) put(p, "x");
    static const char *const suffixes[] = {".bin", ".asm", nullptr};
    int next = 0;
    EXPECT_EQ(next_free_name("NUM", 3, suffixes, &next), "NUM002");
    EXPECT_EQ(next, 2);
    next = 3;
    EXPECT_EQ(next_free_name("NUM", 3, suffixes, &next), "NUM004");

    // A file that appears under the chosen name before the write moves the
    // write to the next free number; a write that fails otherwise stops.
    const auto no_replace = [](const std::string &name, std::string *error) {
        if (name == "NUM004.bin") put("NUM004.bin", "other");   // appears meanwhile
        if (name == "NUM006.bin") {
            *error = "disk full";
            return false;
        }
        if (access(name.c_str(), F_OK) == 0) return false;   // never replaces
        put(name.c_str(), "d");
        return true;
    };
    std::string name, error;
    next = 3;
    EXPECT_TRUE(write_numbered_file("NUM", 3, suffixes, ".bin", &next, no_replace, &name, &error));
    EXPECT_EQ(name, "NUM005.bin");
    EXPECT_EQ(next, 6);
    EXPECT_EQ(slurp("NUM004.bin"), "other");
    EXPECT_FALSE(write_numbered_file("NUM", 3, suffixes, ".bin", &next, no_replace, &name, &error));
    EXPECT_EQ(name, "NUM006.bin");
    EXPECT_EQ(error, "disk full");
    EXPECT_EQ(next, 6);
}

}   // namespace
