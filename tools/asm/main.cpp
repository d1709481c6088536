// ovix-asm command line: assembles one source file into a raw binary image
// of a given address window, with an optional listing. Output files appear
// only after a successful assembly (written under a temporary name, then
// renamed); on failure the files named by -o and --list are removed, so no
// stale image can pass for the new one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "asm.h"

static void usage(FILE *f)
{
    fprintf(f,
            "usage: ovix-asm [options] SOURCE\n"
            "  -o FILE        binary image to write (default: SOURCE with .bin)\n"
            "  --base ADDR    first address of the image, hexadecimal (F800, $F800, 0xF800)\n"
            "  --size N       size of the image in bytes, decimal ($800 or 0x800 for hexadecimal)\n"
            "  --fill XX      byte for unused addresses, hexadecimal (default FF)\n"
            "  --list FILE    also write a listing\n"
            "  -h, --help     this text\n");
}

// A number of the command line: `hex` selects the radix of a bare number;
// "$" and "0x" always mean hexadecimal.
static bool parse_number(const char *s, bool hex, unsigned long max, unsigned &out)
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
    if (*end || t[0] == '-' || t[0] == '+' || v > max) return false;
    out = (unsigned)v;
    return true;
}

// True for a regular file that is not a symbolic link. Only such a file is
// replaced through a temporary name or removed after a failure; a link, a
// device (/dev/stdout) or a pipe is written in place and never removed.
static bool plain_file(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec));
}

static bool plain_or_absent(const std::string &path)
{
    std::error_code ec;
    auto st = std::filesystem::symlink_status(path, ec);
    return !std::filesystem::exists(st) || std::filesystem::is_regular_file(st);
}

// Writes `data` to `path`, or to a temporary name beside it (set in `tmp`)
// that commit() renames into place.
static bool write_output(const std::string &path, const std::string &data, std::string &tmp)
{
    tmp = plain_or_absent(path) ? path + ".ovix-asm-tmp" : "";
    FILE *f = fopen((tmp.empty() ? path : tmp).c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = fclose(f) == 0 && ok;
    return ok;
}

static bool commit(const std::string &path, const std::string &tmp)
{
    if (tmp.empty()) return true;
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

static void remove_plain(const std::string &path)
{
    std::error_code ec;
    if (!path.empty() && plain_file(path)) std::filesystem::remove(path, ec);
}

int main(int argc, char **argv)
{
    ovasm::Options opt;
    std::string source, output, listing;

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "ovix-asm: %s needs a value\n", name);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-o") {
            output = value("-o");
        } else if (a == "--list") {
            listing = value("--list");
            opt.want_listing = true;
        } else if (a == "--base") {
            const char *v = value("--base");
            if (!parse_number(v, true, 0xFFFF, opt.base)) {
                fprintf(stderr, "ovix-asm: bad --base '%s' (a hexadecimal address 0..FFFF)\n", v);
                return 2;
            }
            opt.has_base = true;
        } else if (a == "--size") {
            const char *v = value("--size");
            if (!parse_number(v, false, 0x10000, opt.size) || opt.size == 0) {
                fprintf(stderr, "ovix-asm: bad --size '%s' (a byte count 1..65536)\n", v);
                return 2;
            }
            opt.has_size = true;
        } else if (a == "--fill") {
            const char *v = value("--fill");
            unsigned f;
            if (!parse_number(v, true, 0xFF, f)) {
                fprintf(stderr, "ovix-asm: bad --fill '%s' (a hexadecimal byte 00..FF)\n", v);
                return 2;
            }
            opt.fill = (uint8_t)f;
        } else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "ovix-asm: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        } else if (source.empty()) {
            source = a;
        } else {
            fprintf(stderr, "ovix-asm: only one source file may be given ('%s', '%s')\n", source.c_str(), a.c_str());
            return 2;
        }
    }
    if (source.empty()) {
        usage(stderr);
        return 2;
    }
    if (output.empty()) output = std::filesystem::path(source).replace_extension(".bin").string();

    std::error_code ec;
    for (const std::string &o : {output, listing})
        if (!o.empty() && std::filesystem::equivalent(source, o, ec)) {
            fprintf(stderr, "ovix-asm: output file '%s' is the source file\n", o.c_str());
            return 2;
        }
    if (opt.has_base && opt.has_size && (unsigned long)opt.base + opt.size > 0x10000) {
        fprintf(stderr, "ovix-asm: window $%04X+%u goes beyond $FFFF\n", opt.base, opt.size);
        return 2;
    }
    if (FILE *f = fopen(source.c_str(), "rb")) {
        fclose(f);
    } else {
        fprintf(stderr, "ovix-asm: cannot open '%s': %s\n", source.c_str(), strerror(errno));
        return 2;
    }

    ovasm::Result r = ovasm::assemble_file(source, opt);
    if (!r.ok) {
        for (const std::string &e : r.errors) fprintf(stderr, "%s\n", e.c_str());
        fprintf(stderr, "ovix-asm: %zu error%s, no output written\n", r.errors.size(), r.errors.size() == 1 ? "" : "s");
        remove_plain(output);
        remove_plain(listing);
        return 1;
    }

    std::string tmp_out, tmp_list;
    std::string image(r.image.begin(), r.image.end());
    bool ok = write_output(output, image, tmp_out);
    if (ok && !listing.empty()) ok = write_output(listing, r.listing, tmp_list);
    ok = ok && commit(output, tmp_out) && (listing.empty() || commit(listing, tmp_list));
    if (!ok) {
        fprintf(stderr, "ovix-asm: cannot write the output files ('%s'%s%s)\n", output.c_str(),
                listing.empty() ? "" : ", '", listing.empty() ? "" : (listing + "'").c_str());
        std::error_code rm_error;
        if (!tmp_out.empty()) std::filesystem::remove(tmp_out, rm_error);
        if (!tmp_list.empty()) std::filesystem::remove(tmp_list, rm_error);
        remove_plain(output);
        remove_plain(listing);
        return 2;
    }
    return 0;
}
