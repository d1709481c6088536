#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>

std::string make_temp_dir(const std::string &name)
{
    std::filesystem::path p = std::filesystem::current_path() / ("tmp_" + name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

bool write_file(const std::string &path, const std::vector<uint8> &bytes)
{
    std::ofstream f(path, std::ios::binary);
    if (!f) return false;
    f.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    return bool(f);
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
