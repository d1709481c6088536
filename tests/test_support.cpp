#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <png.h>

#include "host/files.h"
#include "video/tms3556.h"

bool start_headless_video()
{
    return tms3556_init(0x8000) == 0;
}

std::string make_temp_dir(const std::string &name)
{
    std::filesystem::path p = std::filesystem::current_path() / ("tmp_" + name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

bool write_file(const std::string &path, const std::vector<uint8> &bytes)
{
    // Through a temporary file and a rename: test programs of one group run
    // in parallel in the same folder, and a reader must never see a file
    // half written (debug.lst above all).
    std::string error;
    return write_file_atomic(path.c_str(), bytes.data(), bytes.size(), &error);
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

std::string decode_png(const std::vector<uint8> &bytes, Picture *out)
{
    if (bytes.empty()) return "empty file";
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return image.message;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        const std::string why = image.message;
        png_image_free(&image);
        return why;
    }
    out->width = (int)image.width;
    out->height = (int)image.height;
    out->rgb = std::move(rgb);
    return "";
}

std::string read_png(const std::string &path, Picture *out)
{
    const std::vector<uint8> bytes = read_file(path);
    if (bytes.empty()) return "cannot read " + path;
    const std::string error = decode_png(bytes, out);
    return error.empty() ? error : path + ": " + error;
}

// The peak resident size (VmHWM) is reset to the present one through
// /proc/self/clear_refs; memory freed before is handed back first, so that
// the work cannot reuse it unseen.
static long long status_kib(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string want = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(want, 0) == 0) return std::atoll(line.c_str() + want.size());
    return -1;
}

bool peak_memory_measurable()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5" << std::flush;
    return (bool)reset;
#endif
}

long long peak_memory_growth(void (*work)(void *ctx), void *ctx)
{
#if defined(__SANITIZE_ADDRESS__)
    work(ctx);
    return -1;
#else
    malloc_trim(0);
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5" << std::flush;
    const long long before = status_kib("VmRSS");
    if (!reset || before < 0 || status_kib("VmHWM") > before + 1024) {
        work(ctx);
        return -1;
    }
    work(ctx);
    return (status_kib("VmHWM") - before) * 1024;
#endif
}
