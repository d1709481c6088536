// ovix-asm command line: assembles one source file into a raw binary image
// of a given address window (or a cartridge image of a size the loader
// takes), with an optional listing, symbol file, map, Intel HEX file and
// debug information.
//
// Output files appear only after a successful assembly: each is written to
// a temporary file beside it and renamed into place once all are complete
// (a symbolic link is written through to the file it names). An output
// path that is one of the inputs (the source, an included file, an INCBIN
// file) or that names something other than a regular file (a folder, a
// FIFO, a device) is refused before anything is written. After a failure
// the regular files named by the output options are removed, so no stale
// image can pass for the new one; one that cannot be removed (a read-only
// folder) is reported as left as it was.
//
// Exit status: 0 success, 1 errors in the source, 2 a command-line or file
// error (usage, unreadable source, output that cannot be written).
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "asm.h"
#include "host/files.h"

namespace fs = std::filesystem;

// A number of the command line: `hex` selects the radix of a bare number;
// "$" and "0x" always mean hexadecimal.
static bool parse_number(const std::string &s, bool hex, unsigned long max, unsigned &out)
{
    std::string t = s;
    int base = hex ? 16 : 10;
    if (!t.empty() && t[0] == '$') {
        t = t.substr(1);
        base = 16;
    } else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
        base = 16;
    }
    if (t.empty() || t.size() > 8) return false;
    char *end = nullptr;
    unsigned long v = strtoul(t.c_str(), &end, base);
    if (*end || t[0] == '-' || t[0] == '+' || isspace((unsigned char)t[0]) || v > max) return false;
    out = (unsigned)v;
    return true;
}

// The file a path finally names, through symbolic links.
static std::string link_target(const std::string &path)
{
    std::error_code ec;
    fs::path p = path;
    for (int i = 0; i < 40 && fs::is_symlink(fs::symlink_status(p, ec)); i++) {
        fs::path t = fs::read_symlink(p, ec);
        if (ec) break;
        p = t.is_absolute() ? t : p.parent_path() / t;
    }
    return p.string();
}

// One output file, written completely before any of them is put in place.
struct Output {
    const char *option;   // "-o", "--list", ...
    std::string path;
    std::string data;
    std::unique_ptr<output_file> file;
};

static bool write_prepared(Output &o, std::string &err)
{
    o.file = std::make_unique<output_file>();
    if (!o.file->open(link_target(o.path).c_str(), &err)) return false;
    if (!o.data.empty() && fwrite(o.data.data(), 1, o.data.size(), o.file->file()) != o.data.size()) {
        err = "cannot write " + o.path + ": " + strerror(errno);
        return false;
    }
    return true;
}

// Prints an error or warning with the source line it is about and a mark
// under the part at fault.
static void print_diagnostic(const ovasm::Diagnostic &d)
{
    fprintf(stderr, "%s\n", d.text.c_str());
    if (d.source.empty()) return;
    fprintf(stderr, "    %s\n", d.source.c_str());
    if (d.column < 0) return;
    std::string mark((size_t)d.column, ' ');
    mark += '^';
    if (d.width > 1) mark.append((size_t)d.width - 1, '~');
    fprintf(stderr, "    %s\n", mark.c_str());
}

int main(int argc, char **argv)
{
    ovasm::Options opt;
    std::string source, output, listing, symbols, map, hex, debug_info, base_text, size_text, fill_text, cart_text;
    std::vector<std::string> no_warn;
    bool dasm = false;

    std::string kinds, sizes;
    for (const std::string &k : ovasm::warning_kinds()) kinds += (kinds.empty() ? "" : ", ") + k;
    for (const ovasm::CartSize &c : ovasm::cartridge_sizes()) sizes += (sizes.empty() ? "" : ", ") + std::string(c.name);

    CLI::App app{"Assembles a TMS7000 source file into a binary image of an address window.", "ovix-asm"};
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("SOURCE", source, "the source file")->required();
    app.add_option("-o", output, "binary image to write (default: SOURCE with .bin)")->type_name("FILE");
    app.add_option("--base", base_text, "first address of the image, hexadecimal (F800, $F800, 0xF800)")->type_name("ADDR");
    app.add_option("--size", size_text, "size of the image in bytes, decimal ($800 or 0x800 for hexadecimal)")->type_name("N");
    app.add_option("--fill", fill_text, "byte for unused addresses, hexadecimal (default FF)")->type_name("XX");
    app.add_option("--cart", cart_text,
                   "a cartridge image of this size (" + sizes + "), placed to end at 7FFFh; its signature and entry "
                   "are checked")
        ->type_name("SIZE");
    app.add_option("--list", listing, "also write a listing")->type_name("FILE");
    app.add_option("--symbols", symbols, "also write the symbol file (labels, constants, registers and ports)")
        ->type_name("FILE");
    app.add_option("--map", map, "also write the map: segments and names by address")->type_name("FILE");
    app.add_option("--hex", hex, "also write the image as Intel HEX")->type_name("FILE");
    app.add_option("--debug-info", debug_info, "also write the debug information (JSON)")->type_name("FILE");
    app.add_flag("--dasm", dasm, "read the disassembler's syntax instead of the common one (as a DASM line does)");
    app.add_flag("--warnings-as-errors", opt.warnings_as_errors, "every warning is an error");
    app.add_option("--no-warn", no_warn, "do not report warnings of this kind (" + kinds + "); may be repeated")
        ->type_name("KIND")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &e) {
        fprintf(stderr, "ovix-asm: %s\n%s", e.what(), app.help().c_str());
        return 2;
    }

    if (!base_text.empty()) {
        if (!parse_number(base_text, true, 0xFFFF, opt.base)) {
            fprintf(stderr, "ovix-asm: bad --base '%s' (a hexadecimal address 0..FFFF)\n", base_text.c_str());
            return 2;
        }
        opt.has_base = true;
    }
    if (!size_text.empty()) {
        if (!parse_number(size_text, false, 0x10000, opt.size) || opt.size == 0) {
            fprintf(stderr, "ovix-asm: bad --size '%s' (a byte count 1..65536)\n", size_text.c_str());
            return 2;
        }
        opt.has_size = true;
    }
    if (!fill_text.empty()) {
        unsigned f;
        if (!parse_number(fill_text, true, 0xFF, f)) {
            fprintf(stderr, "ovix-asm: bad --fill '%s' (a hexadecimal byte 00..FF)\n", fill_text.c_str());
            return 2;
        }
        opt.fill = (uint8_t)f;
    }
    if (!cart_text.empty()) {
        for (const ovasm::CartSize &c : ovasm::cartridge_sizes())
            if (cart_text == c.name || cart_text == std::to_string(c.bytes)) opt.cartridge = &c;
        if (!opt.cartridge) {
            fprintf(stderr, "ovix-asm: bad --cart '%s' (the cartridge sizes are %s, or their byte counts)\n",
                    cart_text.c_str(), sizes.c_str());
            return 2;
        }
        if (opt.has_base || opt.has_size) {
            fprintf(stderr, "ovix-asm: --cart sets the image's base and size: give no --base or --size with it\n");
            return 2;
        }
    }
    for (const std::string &k : no_warn) {
        const auto &all = ovasm::warning_kinds();
        if (std::find(all.begin(), all.end(), k) == all.end()) {
            fprintf(stderr, "ovix-asm: bad --no-warn '%s' (the kinds are %s)\n", k.c_str(), kinds.c_str());
            return 2;
        }
    }
    opt.no_warn = no_warn;
    opt.want_listing = !listing.empty();
    opt.want_map = !map.empty();
    opt.want_debug_info = !debug_info.empty();
    opt.dialect = dasm ? ovasm::Dialect::Dasm : ovasm::Dialect::Common;
    if (output.empty()) output = fs::path(source).replace_extension(".bin").string();
    if (opt.has_base && opt.has_size && (unsigned long)opt.base + opt.size > 0x10000) {
        fprintf(stderr, "ovix-asm: window $%04X+%u goes beyond $FFFF\n", opt.base, opt.size);
        return 2;
    }

    std::vector<std::pair<const char *, std::string>> outputs = {{"-o", output}};
    for (auto [option, path] : {std::pair<const char *, std::string>{"--list", listing}, {"--symbols", symbols},
                                {"--map", map}, {"--hex", hex}, {"--debug-info", debug_info}})
        if (!path.empty()) outputs.emplace_back(option, path);
    // Outputs that are not regular files, or that name one file twice, are
    // refused before anything is read or written.
    std::error_code ec;
    for (size_t i = 0; i < outputs.size(); i++) {
        const std::string &path = outputs[i].second;
        const char *kind = file_kind(link_target(path).c_str());
        if (kind && strcmp(kind, "a regular file") != 0) {
            fprintf(stderr, "ovix-asm: cannot write %s (%s): %s, not a regular file\n", path.c_str(), outputs[i].first,
                    kind);
            return 2;
        }
        for (size_t j = 0; j < i; j++)
            if (path == outputs[j].second || fs::equivalent(path, outputs[j].second, ec)) {
                fprintf(stderr, "ovix-asm: %s and %s name the same file '%s'\n", outputs[j].first, outputs[i].first,
                        path.c_str());
                return 2;
            }
    }

    const ovasm::Result r = ovasm::assemble_file(source, opt);
    if (r.root_unreadable) {
        fprintf(stderr, "ovix-asm: %s\n", r.errors.front().c_str());
        return 2;
    }
    // An output that is one of the inputs would destroy it (and removing
    // the outputs after a failure too).
    for (const auto &[option, path] : outputs) {
        const char *what = nullptr;
        std::string input;
        for (size_t i = 0; i < r.inputs.size() && !what; i++)
            if (fs::equivalent(path, r.inputs[i], ec)) {
                what = i == 0 ? "the source file" : "a source file it includes";
                input = r.inputs[i];
            }
        for (size_t i = 0; i < r.binaries.size() && !what; i++)
            if (fs::equivalent(path, r.binaries[i], ec)) {
                what = "a file it includes with INCBIN";
                input = r.binaries[i];
            }
        if (what) {
            fprintf(stderr, "ovix-asm: output file '%s' (%s) is %s, '%s'; nothing was written\n", path.c_str(), option,
                    what, input.c_str());
            return 2;
        }
    }
    auto remove_outputs = [&]() {
        for (const auto &[option, path] : outputs) {
            std::error_code rc;
            if (!fs::is_regular_file(fs::symlink_status(path, rc))) continue;
            if (!fs::remove(path, rc) && rc)
                fprintf(stderr, "ovix-asm: the old %s is left as it was: it cannot be removed (%s)\n", path.c_str(),
                        rc.message().c_str());
        }
    };
    for (const ovasm::Diagnostic &d : r.diagnostics) print_diagnostic(d);
    if (!r.ok) {
        const size_t n = r.errors.size();
        fprintf(stderr, "ovix-asm: %zu error%s%s, no output written\n", n, n == 1 ? "" : "s",
                opt.warnings_as_errors && !r.warnings.empty() ? " (warnings count as errors)" : "");
        remove_outputs();
        return 1;
    }

    std::vector<Output> outs;
    outs.push_back(Output{"-o", output, std::string(r.image.begin(), r.image.end()), nullptr});
    if (!listing.empty()) outs.push_back(Output{"--list", listing, r.listing, nullptr});
    if (!symbols.empty()) outs.push_back(Output{"--symbols", symbols, ovasm::symbol_file_text(r), nullptr});
    if (!map.empty()) outs.push_back(Output{"--map", map, r.map, nullptr});
    if (!hex.empty()) outs.push_back(Output{"--hex", hex, ovasm::intel_hex_text(r.image, r.base), nullptr});
    if (!debug_info.empty()) outs.push_back(Output{"--debug-info", debug_info, r.debug_info, nullptr});
    std::string err;
    bool ok = true;
    for (Output &o : outs) ok = ok && write_prepared(o, err);
    for (Output &o : outs)
        if (ok && o.file) ok = o.file->commit(&err);
    if (!ok) {
        fprintf(stderr, "ovix-asm: %s\n", err.c_str());
        outs.clear();   // abandons the temporary files not yet renamed
        remove_outputs();
        return 2;
    }
    return 0;
}
