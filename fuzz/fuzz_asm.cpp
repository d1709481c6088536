// The assembler on hostile source text: the input is the text of a source
// file, assembled with a listing, and, chosen by the input's length, with a
// map, the debug information, as an 8 KiB cartridge, or with warnings made
// errors (so the corpus's plain sources stay what they are). Whatever it
// holds, the assembler answers with an image or with errors, never both
// nor neither (with at most 50,000 lines a pass, so that hostile repetitions
// end in milliseconds), within its bounds: the image fits the 64 KiB address space
// (a cartridge is 8192 bytes), at most 200 errors and one line more are
// shown, every message and quoted source line is printable text with its
// mark inside the line, and the debug information is JSON.
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

#include <nlohmann/json.hpp>

#include "asm.h"
#include "fuzz_support.h"

namespace {

bool printable_text(const std::string &s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

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
    options.max_lines_per_pass = 50000;   // the bounds of a pass are tested in tests/tools/test_asm_limits.cpp
    const unsigned mode = (unsigned)(size % 8);
    options.want_map = options.want_debug_info = mode & 1;
    if (mode & 2) options.cartridge = &ovasm::cartridge_sizes()[0];
    options.warnings_as_errors = mode & 4;
    const ovasm::Result r = ovasm::assemble_text(name, text, options);
    FUZZ_CHECK(r.ok == r.errors.empty(), "ok=%d with %zu errors", r.ok, r.errors.size());
    FUZZ_CHECK(r.errors.size() <= 201, "%zu errors shown", r.errors.size());
    for (const std::string &e : r.errors) FUZZ_CHECK(!e.empty(), "an empty error message");
    for (const ovasm::Diagnostic &d : r.diagnostics) {
        FUZZ_CHECK(printable_text(d.text) && printable_text(d.source), "unprintable bytes in '%s'", d.text.c_str());
        FUZZ_CHECK(d.column < 0 || (d.width >= 1 && (size_t)(d.column + d.width) <= d.source.size()),
                   "mark %d+%d outside a line of %zu", d.column, d.width, d.source.size());
    }
    if (r.ok) {
        FUZZ_CHECK(r.base + r.image.size() <= 0x10000, "image of %zu bytes at %04X", r.image.size(), r.base);
        if (options.cartridge) FUZZ_CHECK(r.image.size() == 8192 && r.base == 0x6000, "cartridge of %zu", r.image.size());
        if (options.want_debug_info) FUZZ_CHECK(nlohmann::json::accept(r.debug_info), "debug information not JSON");
        FUZZ_CHECK(ovasm::symbol_file_text(r).size() < (64u << 20), "a symbol file of %zu", ovasm::symbol_file_text(r).size());
    }
    return 0;
}
