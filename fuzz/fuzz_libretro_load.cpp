// The libretro core's start with hostile content and BIOS files. The input:
//
//   byte 0     flags: 1 the content in memory (else by its path), 2 a
//              BIOS7020.bin in the system folder, 4 the BIOS option "open",
//              8 no content at all
//   byte 1     the BIOS file's size: an index into bios_sizes
//   bytes 2-3  the content's size: an index into cart_sizes, or past its
//              end the length of the rest
//   the rest   the bytes of both files, repeated to their sizes
//
// The core starts exactly when the content has a size the cartridge loader
// takes (or there is none), else it refuses it with the loader's message
// naming it and its size. The BIOS is the system folder's file when it is
// long enough and the option allows, else the open BIOS, as the log says.
// A started machine runs a few frames, each with a picture and sound.
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_libretro.h"

namespace {

constexpr size_t bios_sizes[] = {2048, 2047, 0, 4096};
constexpr size_t cart_sizes[] = {0, 1, 8191, 8192, 8193, 16384, 32255, 32256, 32257, 32767, 32768, 32769, 40000};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace fuzz_libretro;
    start();
    fuzz_reader in{data, size};
    const unsigned flags = in.byte();
    const size_t bios_size = bios_sizes[in.byte() % std::size(bios_sizes)];
    const unsigned choice = in.word();
    const size_t cart_size = choice < std::size(cart_sizes) ? cart_sizes[choice] : in.left();
    auto file_of = [&](size_t n) {
        std::vector<uint8_t> f(n);
        for (size_t i = 0; i < n; i++) f[i] = in.left() ? in.rest()[i % in.left()] : 0;
        return f;
    };
    const std::vector<uint8_t> bios = file_of(bios_size), cart = file_of(cart_size);

    const std::string bios_path = fe.system_dir + "/BIOS7020.bin";
    remove(bios_path.c_str());
    if (flags & 2) fuzz_write_file(bios_path.c_str(), bios.data(), bios.size());
    fe.options.clear();
    if (flags & 4) fe.options["ovix_bios"] = "open";
    fe.log.clear();

    const std::string cart_path = fuzz_enter_workdir() + "/cart.rom";
    retro_game_info game = {nullptr, nullptr, 0, nullptr};
    if (flags & 1) {
        static const uint8_t nothing = 0;   // empty content is still content: not a null pointer
        game.data = cart.empty() ? &nothing : cart.data();
        game.size = cart.size();
    } else {
        fuzz_write_file(cart_path.c_str(), cart.data(), cart.size());
        game.path = cart_path.c_str();
    }
    const bool none = flags & 8;
    const bool started = retro_load_game(none ? nullptr : &game);

    const bool cart_taken = cart_size == 8192 || cart_size == 16384 || cart_size == 32256 || cart_size >= 32768;
    FUZZ_CHECK(started == (none || cart_taken), "%zu bytes of content: %s", cart_size, fe.log.c_str());
    if (!started) {
        const std::string named = (flags & 1) ? "the content" : cart_path;
        FUZZ_CHECK(contains(fe.log, "Not a valid ROM: ") &&
                       contains(fe.log, named + " is " + std::to_string(cart_size) + " bytes long"),
                   "the refusal does not name the content and its size: %s", fe.log.c_str());
        return 0;
    }
    if (flags & 4)
        FUZZ_CHECK(contains(fe.log, "BIOS: the open BIOS built into the core (core option)"), "%s", fe.log.c_str());
    else if (!(flags & 2))
        FUZZ_CHECK(contains(fe.log, "BIOS: no BIOS7020.bin in the system folder"), "%s", fe.log.c_str());
    else if (bios_size >= 2048)
        FUZZ_CHECK(contains(fe.log, "BIOS: " + bios_path), "%s", fe.log.c_str());
    else
        FUZZ_CHECK(contains(fe.log, "using the open BIOS built into the core instead"), "%s", fe.log.c_str());
    run_frames(3);
    retro_unload_game();
    return 0;
}
