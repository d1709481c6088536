// ovix-test: unit tests of cartridge code. Finds the test routines of an
// assembled cartridge in its debug information (labels test_*), runs each
// one in a fresh machine (the machine as the BIOS leaves it at the
// cartridge's entry, the routine called from there), and reports each
// test's name, result, cycle count and, for a failure, the assertion's
// file:line and values, as TAP on standard output and as JUnit XML with
// --junit. Exit status: 0 when every test passed, 1 when one failed, 2 for
// a usage or input error.
//
// The assertions of roms/include/ovixtest.inc stop the machine by reading
// the video chip's register port (the machine's debugger request); what
// follows the read says which assertion failed (see the include file).
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fnmatch.h>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "cpu/tms7000.h"
#include "debug/engine.h"
#include "debug/source_map.h"
#include "debug/symbols.h"
#include "debug/trace.h"
#include "host/files.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "machine/machine_state.h"
#include "time/timer.h"
#include "video/tms3556.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64 BOOT_PASSES = 50000000;    // the BIOS reaches a cartridge in about 300000
constexpr uint64 PASS_CYCLES_MAX = 128;     // no pass takes more cycles
constexpr double MACHINE_HZ = 5000000.0;

struct test_result {
    std::string name;
    uint16 address = 0;
    bool passed = false;
    uint64 cycles = 0;
    std::string message;    // why it failed
    std::string at;         // file:line of the failing assertion (or "")
    std::string source;     // that line's text
    std::string expected, found;
};

std::string hex(unsigned v, int digits)
{
    char t[16];
    snprintf(t, sizeof t, "%0*X", digits, v);
    return t;
}

// The text of a line of a source file (cached), or "".
std::string source_line(const std::string &path, int line)
{
    static std::map<std::string, std::vector<std::string>> files;
    auto it = files.find(path);
    if (it == files.end()) {
        std::string text, error;
        long long size;
        std::vector<std::string> lines;
        if (read_input_file(path.c_str(), 16 << 20, &text, &size, &error) == input_read::ok) {
            size_t at = 0;
            while (at <= text.size()) {
                size_t nl = text.find('\n', at);
                if (nl == std::string::npos) nl = text.size();
                std::string l = text.substr(at, nl - at);
                if (!l.empty() && l.back() == '\r') l.pop_back();
                lines.push_back(l);
                at = nl + 1;
            }
        }
        it = files.emplace(path, lines).first;
    }
    if (line < 1 || (size_t)line > it->second.size()) return "";
    std::string l = it->second[(size_t)line - 1];
    const size_t a = l.find_first_not_of(" \t");
    return a == std::string::npos ? "" : l.substr(a);
}

// The failed assertion stopped at `pc`, just after its read of P37: what
// it says.
bool describe_assertion(uint16 pc, test_result *t, uint64 used, bool *go_on)
{
    *go_on = false;
    const uint16 stop = (uint16)(pc - 4);
    if (bus_peek(stop) != 0xA6 || bus_peek(stop + 1) != 0x00 || bus_peek(stop + 2) != 0x25 || bus_peek(pc) != 0xE0 ||
        bus_peek(pc + 2) != 'O' || bus_peek(pc + 3) != 'T')
        return false;
    const uint8 kind = bus_peek(pc + 4);
    const uint8 expected = tms7000.rf[126], found = tms7000.rf[127];
    auto word = [](uint16 a) { return (unsigned)(bus_peek(a) << 8 | bus_peek((uint16)(a + 1))); };
    const srcmap_place p = srcmap_statement_at(stop);
    if (p.file >= 0) {
        t->at = srcmap_file(p.file) + ":" + std::to_string(p.line);
        t->source = source_line(srcmap_file(p.file), p.line);
    } else {
        t->at = hex(stop, 4);
    }
    static const char *const flags[] = {"ASSERT_C: C is clear", "ASSERT_NC: C is set", "ASSERT_Z: Z is clear",
                                        "ASSERT_NZ: Z is set",  "ASSERT_N: N is clear", "ASSERT_NN: N is set"};
    switch (kind) {
    case 1:
        t->message = "ASSERT_EQ: expected " + hex(expected, 2) + ", found " + hex(found, 2);
        t->expected = hex(expected, 2);
        t->found = hex(found, 2);
        break;
    case 2:
        t->message = "ASSERT_NE: found " + hex(found, 2) + ", expected another value";
        t->expected = "not " + hex(expected, 2);
        t->found = hex(found, 2);
        break;
    case 3: case 4: case 5: case 6: case 7: case 8: t->message = flags[kind - 3]; break;
    case 9: {
        const unsigned a = word((uint16)(pc + 5));
        t->message = "ASSERT_MEM: the byte at " + hex(a, 4) + " is " + hex(found, 2) + ", expected " + hex(expected, 2);
        t->expected = hex(expected, 2);
        t->found = hex(found, 2);
        break;
    }
    case 10: {
        const unsigned a = word((uint16)(pc + 5)), ref = word((uint16)(pc + 7)), place = tms7000.rf[1];
        t->message = "ASSERT_BYTES: the byte at " + hex((a + place - 1) & 0xFFFF, 4) + " is " + hex(found, 2) +
                     ", expected " + hex(expected, 2) + " (the one at " + hex((ref + place - 1) & 0xFFFF, 4) + ")";
        t->expected = hex(expected, 2);
        t->found = hex(found, 2);
        break;
    }
    case 11: {
        const uint64 n = (uint64)bus_peek(pc + 5) << 24 | (uint64)bus_peek(pc + 6) << 16 | (uint64)bus_peek(pc + 7) << 8 |
                         bus_peek(pc + 8);
        if (used <= n) {
            *go_on = true;
            return true;
        }
        t->message = "ASSERT_CYCLES: " + std::to_string(used) + " cycles run, at most " + std::to_string(n) + " allowed";
        t->expected = "<= " + std::to_string(n);
        t->found = std::to_string(used);
        break;
    }
    case 12: t->message = "ASSERT_FAIL"; break;
    default: t->message = "an assertion of unknown kind " + std::to_string(kind); break;
    }
    return true;
}

// The place of an instruction as "file:line", its line's text, or its
// address.
void place_of(uint16 pc, test_result *t)
{
    const srcmap_place p = srcmap_statement_at(pc);
    if (p.file >= 0) {
        t->at = srcmap_file(p.file) + ":" + std::to_string(p.line);
        t->source = source_line(srcmap_file(p.file), p.line);
    } else {
        t->at = hex(pc, 4);
    }
}

// Runs one test from the machine state `start` (at the cartridge's entry).
//
// The test is called as a CALL at the entry would call it: the entry is its
// return address on the stack. It passes only when that call returns there
// with the stack pointer as it was before the call. The run steps out of
// the call (the engine's frame of it, which a return, POP or LDSP below its
// return address leaves), so that a test that returns elsewhere, or moves
// the stack pointer under its return address, fails where it did so; a
// breakpoint on the BIOS's reset routine catches a test that restarts the
// machine (a jump there, a TRAP 0 such as a fill byte FF), which would
// otherwise start the cartridge at its entry again.
test_result run_test(const machine_state &start, uint16 entry, const srcmap_symbol &routine, uint64 max_cycles)
{
    test_result t;
    t.name = routine.name;
    t.address = (uint16)routine.value;
    machine_state_restore(start);
    dbg_reset();
    dbg_forget_frames();
    // Called from the entry: its address as the return address, as CALL pushes it.
    const uint8 sp0 = tms7000.sp, sp_called = (uint8)(sp0 + 2);
    tms7000.rf[(sp0 + 1) & 0x7F] = (uint8)(entry >> 8);
    tms7000.rf[(sp0 + 2) & 0x7F] = (uint8)entry;
    tms7000.sp = sp_called;
    tms7000.pc.w.l = t.address;
    dbg_set_unwritten(srcmap_unwritten());
    // The call is the engine's outermost frame (what the BIOS left on the
    // stack below it is not the test's).
    dbg_call_stack();
    tms7000_frames[0] = dbg_frame{};
    tms7000_frames[0].sp = sp_called;
    tms7000_frames[0].return_pc = entry;
    tms7000_frames[0].call_pc = entry;
    tms7000_frames[0].entry = t.address;
    tms7000_nframes = 1;
    auto in_call = [&] { return tms7000_nframes >= 1 && tms7000_frames[0].sp == sp_called && tms7000_frames[0].return_pc == entry; };
    std::string error;
    const uint16 reset = (uint16)(bus_peek(0xFFFE) << 8 | bus_peek(0xFFFF));
    const int reset_point = dbg_break_add_at(reset, "the reset routine", nullptr, nullptr, &error, OWNER_USER);
    const uint64 c0 = orlo_timer_cycles();
    for (;;) {
        const uint64 used = orlo_timer_cycles() - c0;
        if (used >= max_cycles) {
            t.message = "did not return within " + std::to_string(max_cycles) + " cycles (stopped at " +
                        hex(tms7000.pc.w.l, 4) + ")";
            t.cycles = used;
            return t;
        }
        const uint64 passes = (max_cycles - used) / PASS_CYCLES_MAX + 1;
        const dbg_stop stop = dbg_step(DBG_STEP_OUT, 1, passes, nullptr, &error);
        t.cycles = orlo_timer_cycles() - c0;
        // The instruction of the last pass: a return, a jump, a trap.
        const uint16 by = loop_access_pc;
        if (stop.kind == DBG_STOP_COUNT) continue;
        if (stop.kind == DBG_STOP_STEP) {
            if (in_call()) continue;   // a routine the test called returned (the run had started inside it)
            if (tms7000.pc.w.l == entry && tms7000.sp == sp0) {
                t.passed = true;
                return t;
            }
            const uint8 op = bus_peek(by);
            if (op == 0x0A || op == 0x0B) {   // RETS, RETI
                t.message = "returned to " + hex(tms7000.pc.w.l, 4) + " with SP=" + hex(tms7000.sp, 2) +
                            ", not to the runner's return address " + hex(entry, 4) + " with SP=" + hex(sp0, 2);
            } else {
                t.message = "moved the stack pointer below the runner's return address without returning: SP=" +
                            hex(tms7000.sp, 2) + " (the return address is at " + hex((sp0 + 1) & 0x7F, 2) + "-" +
                            hex(sp_called & 0x7F, 2) + "), by the instruction at " + hex(by, 4);
            }
            place_of(by, &t);
            return t;
        }
        if (stop.kind == DBG_STOP_BREAK && stop.id == reset_point) {
            const uint8 op = bus_peek(by);
            t.message = "went to the reset routine at " + hex(reset, 4) + " from " + hex(by, 4) +
                        (op == 0xFF ? " (TRAP 0, the byte FF)" : "") + ": the machine would start again";
            place_of(by, &t);
            return t;
        }
        if (stop.kind == DBG_STOP_DEBUGGER && stop.requested) {
            bool go_on = false;
            if (describe_assertion(stop.pc, &t, t.cycles, &go_on)) {
                if (go_on) continue;
                return t;
            }
        }
        t.message = stop.kind == DBG_STOP_NONE ? error : dbg_stop_text(stop);
        // A debugger request stops after the instruction that made it: its
        // line is the one that ends where the machine stopped.
        srcmap_place p = srcmap_statement_at(stop.pc);
        const srcmap_line *before = srcmap_line_at((uint16)(stop.pc - 1));
        if (stop.kind == DBG_STOP_DEBUGGER && before && before->code && before->address + before->size == stop.pc)
            p = srcmap_statement(*before);
        if (p.file >= 0) {
            t.at = srcmap_file(p.file) + ":" + std::to_string(p.line);
            t.source = source_line(srcmap_file(p.file), p.line);
        }
        return t;
    }
}

// TAP's YAML strings: single-quoted, a quote doubled.
std::string yaml(const std::string &s)
{
    std::string o = "'";
    for (char c : s) o += c == '\'' ? "''" : std::string(1, c);
    return o + "'";
}

std::string tap_text(const std::vector<test_result> &results)
{
    std::string o = "TAP version 13\n1.." + std::to_string(results.size()) + "\n";
    for (size_t i = 0; i < results.size(); i++) {
        const test_result &t = results[i];
        o += std::string(t.passed ? "ok " : "not ok ") + std::to_string(i + 1) + " - " + t.name + "\n  ---\n";
        if (!t.passed) {
            o += "  message: " + yaml(t.message) + "\n";
            if (!t.at.empty()) o += "  at: " + yaml(t.at) + "\n";
            if (!t.source.empty()) o += "  source: " + yaml(t.source) + "\n";
            if (!t.expected.empty()) o += "  expected: " + yaml(t.expected) + "\n";
            if (!t.found.empty()) o += "  found: " + yaml(t.found) + "\n";
        }
        o += "  cycles: " + std::to_string(t.cycles) + "\n  ...\n";
    }
    return o;
}

std::string xml(const std::string &s)
{
    std::string o;
    for (unsigned char c : s) {
        switch (c) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        default: o += c < 0x20 && c != '\n' && c != '\t' ? '?' : (char)c;
        }
    }
    return o;
}

std::string junit_text(const std::vector<test_result> &results, const std::string &suite)
{
    size_t failures = 0;
    uint64 cycles = 0;
    for (const test_result &t : results) {
        failures += !t.passed;
        cycles += t.cycles;
    }
    char time[32];
    snprintf(time, sizeof time, "%.6f", cycles / MACHINE_HZ);
    std::string o = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o += "<testsuites tests=\"" + std::to_string(results.size()) + "\" failures=\"" + std::to_string(failures) +
         "\" errors=\"0\" time=\"" + time + "\">\n";
    o += "  <testsuite name=\"" + xml(suite) + "\" tests=\"" + std::to_string(results.size()) + "\" failures=\"" +
         std::to_string(failures) + "\" errors=\"0\" skipped=\"0\" time=\"" + time + "\">\n";
    for (const test_result &t : results) {
        snprintf(time, sizeof time, "%.6f", t.cycles / MACHINE_HZ);
        o += "    <testcase name=\"" + xml(t.name) + "\" classname=\"" + xml(suite) + "\" time=\"" + time + "\">\n";
        o += "      <properties><property name=\"cycles\" value=\"" + std::to_string(t.cycles) + "\"/></properties>\n";
        if (!t.passed) {
            const std::string type = t.message.rfind("ASSERT_", 0) == 0 ? t.message.substr(0, t.message.find(':'))
                                     : t.message.rfind("did not return", 0) == 0 ? "timeout"
                                                                                   : "stop";
            o += "      <failure message=\"" + xml(t.message) + "\" type=\"" + xml(type) + "\">" +
                 xml((t.at.empty() ? "" : t.at + ": ") + t.source + (t.source.empty() ? "" : "\n") + t.message) +
                 "</failure>\n";
        }
        o += "    </testcase>\n";
    }
    o += "  </testsuite>\n</testsuites>\n";
    return o;
}

// Our open BIOS beside the program: installed, or in the build tree.
std::string default_bios()
{
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "";
    for (const char *rel : {"../share/ovix/bios/BIOS7020.bin", "../../roms/bios/BIOS7020.bin"}) {
        const fs::path p = self.parent_path() / rel;
        if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return "";
}

std::string beside(const std::string &image, const char *ext)
{
    fs::path p(image);
    p.replace_extension(ext);
    std::error_code ec;
    return fs::is_regular_file(p, ec) ? p.string() : "";
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"ovix-test: runs the unit tests of a cartridge (routines test_*) and reports them as TAP and JUnit XML"};
    std::string cart, bios, tap = "-", junit, filter;
    std::vector<std::string> infos;
    uint64 max_cycles = 10000000;
    bool list = false;
    app.add_option("CART", cart, "the cartridge image with the tests")->required();
    app.add_option("--bios", bios, "the BIOS image (default: our open BIOS, installed beside ovix-test)");
    app.add_option("--debug-info", infos, "debug information (default: CART's .dbg and the BIOS's, beside the images)");
    app.add_option("--tap", tap, "write TAP to this file ('-': standard output, the default)");
    app.add_option("--junit", junit, "also write JUnit XML to this file");
    app.add_option("--max-cycles", max_cycles, "a test that has not returned after this many cycles fails (10000000: 2 s)")
        ->check(CLI::Range((uint64)1, (uint64)1 << 40));
    app.add_option("--filter", filter, "run only the tests whose names match this pattern (* and ?, any case)");
    app.add_flag("--list", list, "list the tests and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) ? 2 : 0;
    }
    if (bios.empty()) bios = default_bios();
    if (bios.empty()) {
        fprintf(stderr, "ovix-test: no BIOS: give --bios (our open BIOS is not installed beside ovix-test)\n");
        return 2;
    }
    if (infos.empty()) {
        for (const std::string &image : {bios, cart})
            if (!beside(image, ".dbg").empty()) infos.push_back(beside(image, ".dbg"));
        if (beside(cart, ".dbg").empty()) {
            fprintf(stderr, "ovix-test: %s: no debug information beside it (%s); give --debug-info\n", cart.c_str(),
                    fs::path(cart).replace_extension(".dbg").string().c_str());
            return 2;
        }
    }
    for (const std::string &d : infos) {
        std::string error;
        if (!srcmap_load(d.c_str(), &error)) {
            fprintf(stderr, "ovix-test: %s\n", error.c_str());
            return 2;
        }
    }
    // The labels for the stop texts ("after label X").
    const std::string labels = srcmap_labels_text();
    symbols_parse("debug information", labels.data(), labels.size());
    std::vector<srcmap_symbol> tests;
    for (const srcmap_symbol &s : srcmap_symbols()) {
        const bool is_test = s.kind == "label" && s.name.size() > 5 && strncasecmp(s.name.c_str(), "test_", 5) == 0 &&
                             s.name.find('.') == std::string::npos;
        if (is_test && (filter.empty() || fnmatch(filter.c_str(), s.name.c_str(), FNM_CASEFOLD) == 0)) tests.push_back(s);
    }
    if (tests.empty()) {
        fprintf(stderr, "ovix-test: %s: no test routines%s (labels test_*)\n", cart.c_str(),
                filter.empty() ? "" : (" matching " + filter).c_str());
        return 2;
    }
    if (list) {
        for (const srcmap_symbol &t : tests)
            printf("%s %04X %s:%d\n", t.name.c_str(), (unsigned)t.value, t.at.file >= 0 ? srcmap_file(t.at.file).c_str() : "?",
                   t.at.line);
        return 0;
    }

    // The machine, as the runner starts it, booted to the cartridge's entry.
    if (const char *e = MemInitFrom(bios.c_str())) {
        fprintf(stderr, "ovix-test: cannot load the BIOS: %s\n", e);
        return 2;
    }
    ovix_start();
    if (const char *e = RomLoad(cart.c_str())) {
        fprintf(stderr, "ovix-test: not a valid cartridge: %s\n", e);
        return 2;
    }
    ovix_reset();
    static const char signature[] = "OVIXCART";
    if (memcmp(rom_cart + 0x7FF0, signature, 8) != 0) {
        fprintf(stderr, "ovix-test: %s carries no OVIXCART signature at 7FF0: the BIOS does not start it\n", cart.c_str());
        return 2;
    }
    const uint16 entry = (uint16)(rom_cart[0x7FF8] << 8 | rom_cart[0x7FF9]);
    const loop_result boot = ovix_resume(entry, BOOT_PASSES, nullptr);
    if (boot.reason != LOOP_STOP_PC) {
        fprintf(stderr, "ovix-test: the BIOS did not start the cartridge at %04X (stopped at %04X)\n", entry,
                tms7000.pc.w.l);
        return 2;
    }
    static machine_state start;
    machine_state_capture(&start);

    std::vector<test_result> results;
    for (const srcmap_symbol &t : tests) results.push_back(run_test(start, entry, t, max_cycles));

    std::string error;
    const std::string text = tap_text(results);
    if (tap == "-") {
        fputs(text.c_str(), stdout);
        fflush(stdout);
    } else if (!write_file_atomic(tap.c_str(), text.data(), text.size(), &error)) {
        fprintf(stderr, "ovix-test: %s\n", error.c_str());
        return 2;
    }
    if (!junit.empty()) {
        const std::string x = junit_text(results, fs::path(cart).stem().string());
        if (!write_file_atomic(junit.c_str(), x.data(), x.size(), &error)) {
            fprintf(stderr, "ovix-test: %s\n", error.c_str());
            return 2;
        }
    }
    for (const test_result &t : results)
        if (!t.passed) return 1;
    return 0;
}
