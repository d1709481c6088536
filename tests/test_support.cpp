#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <cstdio>
#include <unistd.h>

std::string make_temp_dir(const std::string &name)
{
    std::filesystem::path p = std::filesystem::current_path() / ("tmp_" + name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

bool write_file(const std::string &path, const std::vector<uint8> &bytes)
{
    // Through a temporary name and a rename: test programs of one group run
    // in parallel in the same folder, and a reader must never see a file
    // half written (debug.lst above all).
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream f(tmp, std::ios::binary);
        if (!f) return false;
        f.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
        if (!f) return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

bool write_text(const std::string &path, const std::string &text)
{
    return write_file(path, std::vector<uint8>(text.begin(), text.end()));
}

std::vector<uint8> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    return std::vector<uint8>(std::istreambuf_iterator<char>(f), {});
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    if (!f) return {};
    return std::string(std::istreambuf_iterator<char>(f), {});
}
