// Snapshots in-process: a run split by a save and a load behaves as one
// run, on our BIOS and demo cartridge and on random programs; loading then
// saving gives the same bytes; every kind of bad file is refused with its
// reason and leaves the machine as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "asm.h"
#include "cpu/tms7000.h"
#include "io/io_cpu.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "state/snapshot.h"
#include "random_machine.h"
#include "test_support.h"
#include "time/timer.h"

namespace {

std::string snap(uint64 instructions = 0) { return snapshot_save_bytes({instructions, 0}); }

class Snapshot : public random_machine_test {};

TEST_F(Snapshot, SplitRunEqualsOneRunAndLoadThenSaveGivesTheSameBytes)
{
    struct split_case {
        const char *name;
        uint32 seed;      // 0: our BIOS, else a random program
        bool demo;        // the demo cartridge loaded
        int held_key;     // a host key held throughout, or 0
        uint64 n, m;      // passes before and after the snapshot
    };
    std::vector<split_case> cases = {
        {"boot, first pass", 0, true, 0, 1, 300000},
        {"boot, waiting for the I/O processor", 0, true, 0, 100000, 150000},
        {"character set transfer", 0, true, 0, 180000, 250000},
        {"character set transfer, INT1 asserted", 0, true, 0, 220000, 100001},
        {"character set transfer, later", 0, true, 0, 260001, 150000},
        {"demo running, key held", 0, true, OVIX_KEY_A, 900000, 400000},
        {"BIOS alone, key held", 0, false, OVIX_KEY_SPACE, 750000, 300000},
    };
    std::mt19937 rng(2024);
    for (uint32 seed = 1; seed <= 16; seed++)
        cases.push_back({"random program", seed, false, 0, 1 + rng() % 200000, 1 + rng() % 200000});

    moments seen;
    for (const split_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " seed " << c.seed << " N=" << c.n << " M=" << c.m);
        start(c.seed ? random_program(c.seed) : std::vector<uint8>{}, c.demo);
        if (c.held_key) ovix_key_down[c.held_key] = 1;

        run_passes(c.n);
        const std::string at_n = snapshot_save_bytes({c.n, 3 * c.n});
        seen.look();
        run_passes(c.m);
        const std::string one_run = snap();

        scramble();
        std::string error;
        snapshot_counts counts;
        ASSERT_TRUE(snapshot_load_bytes((const uint8 *)at_n.data(), at_n.size(), "at_n", &error, &counts)) << error;
        EXPECT_EQ(counts.instructions, c.n);
        ASSERT_EQ(snapshot_save_bytes(counts), at_n) << "loading then saving changed the snapshot";
        run_passes(c.m);
        ASSERT_EQ(snap(), one_run) << "the split run ended elsewhere";
    }
    // The table reaches the moments that matter.
    EXPECT_GE(seen.mid_transfer, 2);
    EXPECT_GE(seen.timer_pending, 4);
    EXPECT_GE(seen.irq_pending, 2);
}

// ---------------------------------------------------------------------------
// Refusals

// The checksum as docs/runner.md defines it: SHA-256 of the compact JSON of
// every member but "checksum", in file order.
std::string reseal(nlohmann::ordered_json j)
{
    j.erase("checksum");
    const std::string text = j.dump();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; i++) {
        snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    j["checksum"] = hex;
    return j.dump(2) + "\n";
}

std::string edited(const std::string &text, const std::function<void(nlohmann::ordered_json &)> &edit)
{
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(text);
    edit(j);
    return reseal(j);
}

// What cannot be a snapshot: an object of n members after the magic, or
// one whose members and array values are separated by n commas.
std::string many_members(int n)
{
    std::string s = "{\"magic\": \"ovix snapshot\"";
    char key[32];
    for (int i = 0; i < n; i++) {
        snprintf(key, sizeof key, ",\"%06d\":0", i);
        s += key;
    }
    return s + "}";
}

std::string many_values(int commas)
{
    std::string s = "{\"magic\": \"ovix snapshot\", \"a\": [0";
    for (int i = 1; i < commas; i++) s += ",0";
    return s + "]}";
}

TEST_F(Snapshot, BadFilesAreRefusedWithTheirReasonAndTheMachineIsKept)
{
    start({}, true);
    run_passes(450000);
    const std::string good = snap(450000);
    ASSERT_EQ(nlohmann::ordered_json::parse(edited(good, [](auto &) {}))["checksum"],
              nlohmann::ordered_json::parse(good)["checksum"])
        << "the test's checksum differs from the module's";
    std::string flipped = good;
    flipped[flipped.find("\"vram\": \"") + 100] ^= 1;   // one hex digit of VRAM
    std::string broken = good;
    broken[broken.find("\"sp\"") + 4] = '=';

    const struct {
        const char *name;
        std::string bytes;
        const char *reason;
    } cases[] = {
        {"empty", "", "is empty"},
        {"cut in the magic", good.substr(0, 9), "is truncated"},
        {"cut in half", good.substr(0, good.size() / 2), "is truncated"},
        {"cut at its last byte", good.substr(0, good.size() - 2), "is truncated: it ends after"},
        {"a wrong last byte", good.substr(0, good.size() - 2) + "x", "is corrupted: not valid JSON at byte"},
        {"a bit flipped in VRAM", flipped, "is corrupted: its checksum does not match"},
        {"broken syntax", broken, "is corrupted: not valid JSON at byte"},
        {"a newer version", edited(good, [](auto &j) { j["version"] = 2; }), "format version 2; this program reads version 1"},
        {"an older version", edited(good, [](auto &j) { j["version"] = 0; }), "format version 0; this program reads version 1"},
        {"a state file without magic", "{\n  \"pc\": 63488\n}\n", "is not a snapshot"},
        {"a picture", "\x89PNG\r\n\x1a\n", "is not a snapshot"},
        {"member out of range", edited(good, [](auto &j) { j["vdp"]["sel"] = 7; }), "member \"vdp.sel\""},
        {"member missing", edited(good, [](auto &j) { j.erase("pass_counter"); }), "member \"pass_counter\" is missing"},
        {"RAM too short", edited(good, [](auto &j) { j["ram"] = "00"; }), "member \"ram\" is not 4096"},
        {"unknown I/O processor state", edited(good, [](auto &j) { j["iocpu"]["state"] = "dream"; }), "iocpu.state"},
        {"reply index past the data", edited(good, [](auto &j) { j["iocpu"]["command"] = 13; j["iocpu"]["index"] = 995; }),
         "iocpu.index"},
        {"host key past the key array", edited(good, [](auto &j) { j["key"]["host"] = 5000; }), "key.host"},
        {"unknown timer callback",
         edited(good, [](auto &j) {
             j["timers"] = nlohmann::ordered_json::array({nlohmann::ordered_json{
                 {"tag", 16}, {"param", 1}, {"expire", {0, 1}}, {"start", {0, 0}}, {"callback", "format_disk"}}});
         }),
         "names no timer callback"},
        {"too many timers", edited(good, [](auto &j) { j["timers"] = nlohmann::ordered_json(std::vector<int>(33, 0)); }),
         "at most 32 timers"},
        {"another BIOS", edited(good, [](auto &j) { j["bios_sha256"] = std::string(64, '0'); }), "another BIOS image"},
        {"another cartridge", edited(good, [](auto &j) { j["cartridge_sha256"] = std::string(64, '0'); }),
         "another cartridge"},
        {"deeply nested", "{\"magic\": \"ovix snapshot\", \"x\": " + std::string(100000, '[') + "}", "nests"},
        {"nested one deeper than allowed", "{\"magic\": \"ovix snapshot\", \"x\": [[[[[[[[]]]]]]]]}", "nests"},
        {"nested as deep as allowed", "{\"magic\": \"ovix snapshot\", \"x\": [[[[[[[]]]]]]]}", "member \"version\" is missing"},
        {"1025 members", many_members(1024), "it holds 1025 members, more than a snapshot does (1024)"},
        {"1024 members", many_members(1023), "member \"version\" is missing"},
        {"4097 values", many_values(4097), "it holds 4097 values, more than a snapshot does (4096)"},
        {"4096 values", many_values(4096), "member \"version\" is missing"},
        {"358768 members in 4 MiB", many_members(358768), "it holds 358769 members"},
    };
    const std::string before = snap(450000);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(snapshot_load_bytes((const uint8 *)c.bytes.data(), c.bytes.size(), "s.ovs", &error));
        EXPECT_EQ(error.rfind("s.ovs ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(snap(450000), before) << "a refused snapshot changed the machine";
    }

    // A snapshot taken with the demo cartridge, loaded without it, and the
    // other way round.
    start({}, false);
    const std::string without = snap();
    std::string error;
    EXPECT_FALSE(snapshot_load_bytes((const uint8 *)good.data(), good.size(), "s", &error));
    EXPECT_NE(error.find("taken with a cartridge, and none is loaded"), std::string::npos) << error;
    start({}, true);
    EXPECT_FALSE(snapshot_load_bytes((const uint8 *)without.data(), without.size(), "s", &error));
    EXPECT_NE(error.find("taken without a cartridge, and one is loaded"), std::string::npos) << error;

    // Both sides of the bounds on members, each file's checksum right.
    start({}, true);
    run_passes(450000);
    const std::string base = snap();
    auto timers = [](int n, int param) {
        const nlohmann::ordered_json t = {
            {"tag", 16}, {"param", param}, {"expire", {0, 1}}, {"start", {0, 0}}, {"callback", "io_cpu_callback"}};
        return nlohmann::ordered_json(std::vector<nlohmann::ordered_json>((size_t)n, t));
    };
    const struct {
        const char *name;
        std::function<void(nlohmann::ordered_json &)> edit;
        const char *refusal;   // null: loaded
    } bounds[] = {
        {"subseconds 4999999", [](auto &j) { j["clock"]["subseconds"] = 4999999; }, nullptr},
        {"subseconds 5000000", [](auto &j) { j["clock"]["subseconds"] = 5000000; }, "clock.subseconds"},
        {"seconds 2^31 - 1", [](auto &j) { j["clock"]["seconds"] = 2147483647u; }, nullptr},
        {"seconds 2^31", [](auto &j) { j["clock"]["seconds"] = 2147483648u; },
         "member \"clock.seconds\" is not an integer from 0 to 2147483647"},
        {"pass counter 99999", [](auto &j) { j["pass_counter"] = 99999; }, nullptr},
        {"pass counter 100000", [](auto &j) { j["pass_counter"] = 100000; }, "pass_counter"},
        {"balance -256", [](auto &j) { j["icount"] = -256; }, nullptr},
        {"balance -257", [](auto &j) { j["icount"] = -257; }, "icount"},
        {"32 timers", [&](auto &j) { j["timers"] = timers(32, 1); }, nullptr},
        {"logo's last byte", [](auto &j) { j["iocpu"]["command"] = 13; j["iocpu"]["index"] = 994; }, nullptr},
        {"a timer parameter of the last state", [&](auto &j) { j["timers"] = timers(1, IO_CPU_STATES - 1); }, nullptr},
        {"a timer parameter 0", [&](auto &j) { j["timers"] = timers(1, 0); }, nullptr},
        {"a timer parameter -1", [&](auto &j) { j["timers"] = timers(1, -1); }, "out of range for its callback"},
        {"a timer parameter past it", [&](auto &j) { j["timers"] = timers(1, IO_CPU_STATES); }, "out of range for its callback"},
        {"a timer's subseconds 4999999", [&](auto &j) { j["timers"] = timers(1, 1); j["timers"][0]["expire"][1] = 4999999; }, nullptr},
        {"a timer's subseconds 5000000", [&](auto &j) { j["timers"] = timers(1, 1); j["timers"][0]["expire"][1] = 5000000; },
         "member \"timers[0].expire\" has 5000000 subseconds or more"},
        {"without machine_passes", [](auto &j) { j.erase("machine_passes"); }, nullptr},
    };
    for (const auto &b : bounds) {
        SCOPED_TRACE(b.name);
        const std::string text = edited(base, b.edit);
        EXPECT_EQ(snapshot_load_bytes((const uint8 *)text.data(), text.size(), "b", &error), !b.refusal) << error;
        if (b.refusal) {
            EXPECT_NE(error.find(b.refusal), std::string::npos) << error;
        } else {
            // The machine holds what the file said: it saves the same members.
            nlohmann::ordered_json loaded = nlohmann::ordered_json::parse(text), saved;
            saved = nlohmann::ordered_json::parse(
                snapshot_save_bytes({loaded["instructions"].get<uint64>(), loaded["cycles"].get<uint64>()}));
            loaded.erase("checksum");
            saved.erase("checksum");
            if (!loaded.contains("machine_passes")) saved.erase("machine_passes");
            EXPECT_EQ(saved, loaded);
        }
    }

    // Random damage: refused or accepted, never a crash, and a refusal
    // changes nothing.
    std::mt19937 rng(7);
    for (int i = 0; i < 300; i++) {
        std::string bytes = good.substr(0, rng() % 2 ? good.size() : rng() % good.size());
        for (int k = 0, n = (int)(rng() % 4); k < n && !bytes.empty(); k++) bytes[rng() % bytes.size()] = (char)rng();
        const std::string now = snap(450000);
        if (!snapshot_load_bytes((const uint8 *)bytes.data(), bytes.size(), "x", &error)) {
            EXPECT_EQ(snap(450000), now);
        }
    }
}

}  // namespace
