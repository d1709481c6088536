// The assembler on hostile source text: the input is the text of a source
// file, assembled with a listing. Whatever it holds, the assembler answers
// with an image or with errors, never both nor neither, and the image fits
// the 64 KiB address space.
//
// The source stands for "fuzz.asm" in a private working folder that also
// holds a small include file and a small binary, so that INCLUDE and INCBIN
// are reached. Inputs that could name a file outside that folder (a slash,
// or a backslash that could spell one in an escape) are skipped when they
// mention INCLUDE or INCBIN: an include of a host file would test the host's
// files rather than the assembler.
#include <algorithm>
#include <cctype>
#include <string>

#include "asm.h"
#include "fuzz_support.h"

namespace {

bool names_outside_folder(const std::string &text)
{
    if (text.find('/') == std::string::npos && text.find('\\') == std::string::npos) return false;
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return (char)toupper(c); });
    return upper.find("INC") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::string name;
    if (name.empty()) {
        name = fuzz_enter_workdir() + "/fuzz.asm";
        const char inc[] = "INC1 EQU $12\n DB INC1,\"inc\"\n";
        fuzz_write_file("inc.asm", reinterpret_cast<const uint8_t *>(inc), sizeof inc - 1);
        const uint8_t bin[] = {0x00, 0x7F, 0x80, 0xFF};
        fuzz_write_file("data.bin", bin, sizeof bin);
    }
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (names_outside_folder(text)) return 0;

    ovasm::Options options;
    options.want_listing = true;
    const ovasm::Result r = ovasm::assemble_text(name, text, options);
    FUZZ_CHECK(r.ok == r.errors.empty(), "ok=%d with %zu errors", r.ok, r.errors.size());
    for (const std::string &e : r.errors) FUZZ_CHECK(!e.empty(), "an empty error message");
    if (r.ok) FUZZ_CHECK(r.base + r.image.size() <= 0x10000, "image of %zu bytes at %04X", r.image.size(), r.base);
    return 0;
}
