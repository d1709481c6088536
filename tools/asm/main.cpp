// ovix-asm command line: assembles one source file into a raw binary image
// of a given address window, with an optional listing and symbol file.
//
// Output files appear only after a successful assembly: each is written to
// a temporary file beside it and renamed into place once all are complete
// (a symbolic link is written through to the file it names; a device is
// written in place). After a failure the regular files named by -o, --list
// and --symbols are removed, so no stale image can pass for the new one.
//
// Exit status: 0 success, 1 errors in the source, 2 a command-line or file
// error (usage, unreadable source, output that cannot be written).
#include <CLI/CLI.hpp>

#include <cstdio>
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

static void remove_regular(const std::string &path)
{
    std::error_code ec;
    if (!path.empty() && fs::is_regular_file(fs::symlink_status(path, ec))) fs::remove(path, ec);
}

// One output file, written completely before any of them is put in place.
struct Output {
    std::string path;
    std::string data;
    std::unique_ptr<output_file> file;   // null: written in place (a device)
};

static bool write_prepared(Output &o, std::string &err)
{
    const std::string target = link_target(o.path);
    std::error_code ec;
    const fs::file_status st = fs::status(target, ec);
    if (fs::exists(st) && !fs::is_regular_file(st)) {
        FILE *f = fopen(target.c_str(), "wb");
        bool ok = f && fwrite(o.data.data(), 1, o.data.size(), f) == o.data.size();
        if (f) ok = fclose(f) == 0 && ok;
        if (!ok) err = "cannot write " + o.path;
        return ok;
    }
    o.file = std::make_unique<output_file>();
    if (!o.file->open(target.c_str(), &err)) return false;
    if (!o.data.empty() && fwrite(o.data.data(), 1, o.data.size(), o.file->file()) != o.data.size()) {
        err = "cannot write " + o.path;
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    ovasm::Options opt;
    std::string source, output, listing, symbols, base_text, size_text, fill_text;
    bool dasm = false;

    CLI::App app{"Assembles a TMS7000 source file into a binary image of an address window.", "ovix-asm"};
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("SOURCE", source, "the source file")->required();
    app.add_option("-o", output, "binary image to write (default: SOURCE with .bin)")->type_name("FILE");
    app.add_option("--base", base_text, "first address of the image, hexadecimal (F800, $F800, 0xF800)")->type_name("ADDR");
    app.add_option("--size", size_text, "size of the image in bytes, decimal ($800 or 0x800 for hexadecimal)")->type_name("N");
    app.add_option("--fill", fill_text, "byte for unused addresses, hexadecimal (default FF)")->type_name("XX");
    app.add_option("--list", listing, "also write a listing")->type_name("FILE");
    app.add_option("--symbols", symbols, "also write the labels, one 'ADDRESS NAME' per line, sorted by address")
        ->type_name("FILE");
    app.add_flag("--dasm", dasm, "read the disassembler's syntax instead of the common one (as a DASM line does)");
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
    opt.want_listing = !listing.empty();
    opt.dialect = dasm ? ovasm::Dialect::Dasm : ovasm::Dialect::Common;
    if (output.empty()) output = fs::path(source).replace_extension(".bin").string();

    std::error_code ec;
    for (const std::string &o : {output, listing, symbols})
        if (!o.empty() && fs::equivalent(source, o, ec)) {
            fprintf(stderr, "ovix-asm: output file '%s' is the source file\n", o.c_str());
            return 2;
        }
    if (opt.has_base && opt.has_size && (unsigned long)opt.base + opt.size > 0x10000) {
        fprintf(stderr, "ovix-asm: window $%04X+%u goes beyond $FFFF\n", opt.base, opt.size);
        return 2;
    }

    const ovasm::Result r = ovasm::assemble_file(source, opt);
    if (r.root_unreadable) {
        fprintf(stderr, "ovix-asm: %s\n", r.errors.front().c_str());
        return 2;
    }
    auto remove_outputs = [&]() {
        remove_regular(output);
        remove_regular(listing);
        remove_regular(symbols);
    };
    if (!r.ok) {
        for (const std::string &e : r.errors) fprintf(stderr, "%s\n", e.c_str());
        fprintf(stderr, "ovix-asm: %zu error%s, no output written\n", r.errors.size(), r.errors.size() == 1 ? "" : "s");
        remove_outputs();
        return 1;
    }

    std::vector<Output> outs;
    outs.push_back(Output{output, std::string(r.image.begin(), r.image.end()), nullptr});
    if (!listing.empty()) outs.push_back(Output{listing, r.listing, nullptr});
    if (!symbols.empty()) outs.push_back(Output{symbols, ovasm::symbol_file_text(r), nullptr});
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
