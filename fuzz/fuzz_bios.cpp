// The BIOS loader on hostile files. The input chooses the file's size
// (first two bytes: an index into sizes worth trying, or the length of the
// rest) and its bytes (the rest, repeated to that size). An image of at
// least 2048 bytes is taken, its first 2048 bytes become the ROM with the
// twelve patched bytes zeroed, and the cartridge area is left empty; a
// shorter one is refused with a message that names the file.
#include <cstring>
#include <iterator>
#include <vector>

#include "fuzz_support.h"
#include "mem/memory.h"

namespace {

constexpr size_t sizes[] = {0, 1, 2047, 2048, 2049, 4096, 8192};
constexpr struct { int first, count; } patched[] = {{0x177, 3}, {0x180, 3}, {0x18D, 3}, {0x1AE, 3}};

bool is_patched(size_t i)
{
    for (const auto &p : patched)
        if (i >= (size_t)p.first && i < (size_t)(p.first + p.count)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> file = fuzz_loader_file(data, size, sizes, std::size(sizes), "bios.bin");
    const size_t file_size = file.size();

    memset(rom_cart, 0x5A, sizeof rom_cart);
    const char *e = MemInitFrom("bios.bin");
    FUZZ_CHECK((e == nullptr) == (file_size >= 2048), "%zu bytes: %s", file_size, e ? e : "taken");
    if (e) {
        FUZZ_CHECK(strstr(e, "bios.bin") != nullptr, "the message does not name the file: %s", e);
        return 0;
    }
    for (size_t i = 0; i < 2048; i++)
        FUZZ_CHECK(rom_7020[i] == (is_patched(i) ? 0x00 : file[i]), "ROM byte %03zX", i);
    for (size_t a = 0x200; a < 0x8000; a++) FUZZ_CHECK(rom_cart[a] == 0xFF, "cartridge byte %04zX kept", a);
    return 0;
}
