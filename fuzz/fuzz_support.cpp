// Helpers shared by the fuzz harnesses (see fuzz_support.h).
#include "fuzz_support.h"

#include <cerrno>
#include <filesystem>
#include <unistd.h>

#include "video/tms3556.h"

static std::string s_workdir;

static void remove_workdir()
{
    std::error_code ec;
    std::filesystem::remove_all(s_workdir, ec);
}

const std::string &fuzz_enter_workdir()
{
    if (!s_workdir.empty()) return s_workdir;
    char name[] = "fuzz-work-XXXXXX";
    if (!mkdtemp(name)) {
        perror("fuzz: cannot create a working folder");
        abort();
    }
    s_workdir = std::filesystem::absolute(name).string();
    if (chdir(s_workdir.c_str()) != 0) {
        perror("fuzz: cannot enter the working folder");
        abort();
    }
    atexit(remove_workdir);
    return s_workdir;
}

void fuzz_write_file(const char *path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    const bool ok = f && (size == 0 || fwrite(data, 1, size, f) == size);
    if (!f || fclose(f) != 0 || !ok) {
        fprintf(stderr, "fuzz: cannot write %s\n", path);
        abort();
    }
}

void fuzz_start_video()
{
    static bool done = false;
    if (done) return;
    done = true;
    FUZZ_CHECK(tms3556_init(0x8000) == 0, "the video chip did not start");
}

std::vector<uint8_t> fuzz_loader_file(const uint8_t *data, size_t size, const size_t *sizes, size_t count,
                                      const char *path)
{
    fuzz_enter_workdir();
    fuzz_reader in{data, size};
    const unsigned choice = in.word();
    std::vector<uint8_t> file(choice < count ? sizes[choice] : in.left());
    for (size_t i = 0; i < file.size(); i++) file[i] = in.left() ? in.rest()[i % in.left()] : 0;
    fuzz_write_file(path, file.data(), file.size());
    return file;
}
