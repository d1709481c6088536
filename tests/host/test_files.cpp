// Host files: only regular files are read, outputs appear only when complete,
// numbered names skip every existing file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "test_support.h"

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
    // A file over the limit is not read; its size is given. A file that
    // turns out longer or shorter than its size said is a read error.
    const struct {
        const char *path;
        long long limit;
        input_read result;
        const char *expect;   // content or error
    } reads[] = {
        {"files_in.bin", 3, input_read::ok, "abc"},
        {"files_in.bin", 2, input_read::too_big, ""},
        {"/proc/self/stat", 1 << 20, input_read::read_error, "/proc/self/stat: the file changed while it was read"},
        {"/sys/kernel/mm/transparent_hugepage/enabled", 1 << 20, input_read::read_error,
         "/sys/kernel/mm/transparent_hugepage/enabled: the file changed while it was read"},
    };
    for (const auto &r : reads) {
        SCOPED_TRACE(r.path);
        if (access(r.path, R_OK) != 0) continue;   // not on every system
        std::string data, error;
        long long size = 0;
        EXPECT_EQ(read_input_file(r.path, r.limit, &data, &size, &error), r.result);
        if (r.result == input_read::read_error)
            EXPECT_EQ(error.rfind(r.expect, 0), 0u) << error;
        else
            EXPECT_EQ(data, r.expect);
        if (r.result == input_read::too_big) {
            EXPECT_EQ(size, 3);
        }
    }
}

// The loaders' read of an image's first bytes: all the size promised up to
// the room, nothing more within the room, the size unchanged.
TEST(HostFiles, PrefixReadTakesTheWholeOrTheRoom)
{
    put("files_prefix.bin", "abcdef");
    const struct {
        const char *path;
        size_t room;
        input_read result;
        const char *expect;   // content, or the start of the error
    } cases[] = {
        {"files_prefix.bin", 5, input_read::ok, "abcde"},
        {"files_prefix.bin", 6, input_read::ok, "abcdef"},
        {"files_prefix.bin", 7, input_read::ok, "abcdef"},
        {"/proc/self/status", 4096, input_read::read_error, "/proc/self/status: the file changed while it was read"},
        {"files_prefix_missing", 4, input_read::not_opened, "files_prefix_missing: No such file or directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.room));
        char buffer[4096];
        size_t got = 0;
        long long size = 0;
        std::string error;
        ASSERT_EQ(read_input_prefix(c.path, buffer, c.room, &got, &size, &error), c.result);
        if (c.result == input_read::ok)
            EXPECT_EQ(std::string(buffer, got), c.expect);
        else
            EXPECT_EQ(error.rfind(c.expect, 0), 0u) << error;
    }
}

TEST(HostFiles, OutputsGoThroughLinksAndNeverReplaceWhatIsNotAFile)
{
    const std::string dir = make_temp_dir("outputs");
    ASSERT_EQ(chdir(dir.c_str()), 0);
    namespace fs = std::filesystem;
    fs::create_directory("sub");
    put("real.txt", "old");
    fs::create_symlink("real.txt", "link");
    fs::create_symlink("link", "link_to_link");
    fs::create_symlink("../real.txt", "sub/up");   // relative to its own folder
    fs::create_symlink("new.txt", "dangling");
    fs::create_directory("folder");
    fs::create_symlink("folder", "link_to_folder");
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    fs::create_symlink("fifo", "link_to_fifo");
    fs::create_symlink("loop_b", "loop_a");
    fs::create_symlink("loop_a", "loop_b");
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "socket");
    ASSERT_EQ(bind(sock, (sockaddr *)&addr, sizeof addr), 0);
    const bool device = geteuid() == 0 && mknod("device", S_IFCHR | 0666, makedev(1, 3)) == 0;
    const std::string long_name(255, 'n'), too_long(256, 'n');
    // Standard output, when the test runs with it on a pipe or a terminal
    // (a link that names no path, or a device): refused.
    struct stat out;
    const bool stdout_file = fstat(1, &out) != 0 || S_ISREG(out.st_mode);

    const struct {
        std::string path;
        const char *written;   // the file that gets the text, or null: refused
        const char *reason;    // the refusal's reason
    } cases[] = {
        {"real.txt", "real.txt", ""},
        {"link", "real.txt", ""},
        {"link_to_link", "real.txt", ""},
        {"sub/up", "real.txt", ""},
        {"dangling", "new.txt", ""},
        {long_name, long_name.c_str(), ""},
        {too_long, nullptr, "File name too long"},
        {"folder", nullptr, "a directory, not a regular file: it is left as it is"},
        {"link_to_folder", nullptr, "a directory, not a regular file"},
        {"fifo", nullptr, "a FIFO, not a regular file"},
        {"link_to_fifo", nullptr, "a FIFO, not a regular file"},
        {"socket", nullptr, "a socket, not a regular file"},
        {"loop_a", nullptr, "Too many levels of symbolic links"},
        {device ? "device" : "", nullptr, "a character device, not a regular file"},
    };
    int n = 0;
    for (const auto &c : cases) {
        if (c.path.empty()) continue;   // no device without root
        SCOPED_TRACE(c.path.substr(0, 20));
        const std::string text = "text " + std::to_string(++n);
        std::string error;
        const bool ok = write_file_atomic(c.path.c_str(), text.data(), text.size(), &error);
        EXPECT_EQ(ok, c.written != nullptr) << error;
        if (c.written) {
            EXPECT_EQ(slurp(c.written), text);
        } else {
            EXPECT_EQ(error.rfind("cannot write " + c.path + ": " + c.reason, 0), 0u) << error;
        }
    }
    if (!stdout_file) {
        std::string error;
        EXPECT_FALSE(write_file_atomic("/dev/stdout", "x", 1, &error));
        EXPECT_NE(error.find("not a regular file: it is left as it is"), std::string::npos) << error;
    }
    // Links, folders and special files are all still what they were, and
    // no temporary file is left.
    EXPECT_TRUE(fs::is_symlink("link") && fs::is_symlink("sub/up") && fs::is_symlink("dangling"));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status("folder")));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status("fifo")));
    EXPECT_TRUE(fs::is_socket(fs::symlink_status("socket")));
    if (device) {
        EXPECT_TRUE(fs::is_character_file(fs::symlink_status("device")));
    }
    for (const auto &e : fs::recursive_directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    close(sock);
    ASSERT_EQ(chdir(".."), 0);
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
