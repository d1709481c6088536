// The cartridge loader on hostile files. The input chooses the file's size
// (first two bytes: an index into sizes worth trying, or the length of the
// rest) and its bytes (the rest, repeated to that size). A file of 8192,
// 16384, 32256 or 32768 bytes and more is placed so that it ends at $7FFF
// (a 32 KiB one hides its first 512 bytes, a longer one counts as its first
// 32 KiB) with FF below it; any other size is refused with a message that
// names the file and its size, and the cartridge loaded before is kept.
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mem/memory.h"

namespace {

constexpr size_t sizes[] = {0, 1, 8191, 8192, 8193, 16384, 32255, 32256, 32257, 32767, 32768, 32769, 40000};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> file = fuzz_loader_file(data, size, sizes, std::size(sizes), "cart.rom");
    const size_t file_size = file.size();

    static uint8_t before[sizeof rom_cart];
    for (size_t i = 0; i < sizeof rom_cart; i++) rom_cart[i] = before[i] = (uint8_t)(i * 7 + size);
    const char *e = RomLoad("cart.rom");
    const bool taken = file_size == 8192 || file_size == 16384 || file_size == 32256 || file_size >= 32768;
    FUZZ_CHECK((e == nullptr) == taken, "%zu bytes: %s", file_size, e ? e : "taken");
    if (e) {
        FUZZ_CHECK(strstr(e, "cart.rom") && strstr(e, std::to_string(file_size).c_str()),
                   "the message does not name the file and its size: %s", e);
        FUZZ_CHECK(memcmp(rom_cart, before, sizeof rom_cart) == 0, "a refused file changed the cartridge");
        return 0;
    }
    // The image's last byte is at $7FFF; only 31.5 KiB of a 32 KiB image show.
    const size_t shown = file_size >= 32768 ? 32256 : file_size;
    const size_t skip = file_size >= 32768 ? 512 : 0;
    const size_t first = 0x8000 - shown;
    for (size_t a = 0x200; a < first; a++) FUZZ_CHECK(rom_cart[a] == 0xFF, "byte %04zX below the image", a);
    for (size_t a = first; a < 0x8000; a++)
        FUZZ_CHECK(rom_cart[a] == file[skip + a - first], "byte %04zX of the image", a);
    return 0;
}
