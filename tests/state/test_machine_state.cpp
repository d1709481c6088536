// The machine state in memory: on random machines (random programs run for
// random passes, keys held, stopped inside mailbox transfers, with timers
// and interrupts pending) the captured state, its byte form and the
// snapshot file hold the same machine, and a restored machine goes on as
// the uninterrupted one; bad byte forms are refused with their reason and
// leave the machine as it was.
#include "random_machine.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "machine/machine_state.h"
#include "state/snapshot.h"

namespace {

class MachineState : public random_machine_test {};

// Records compared byte for byte, as front ends and rewinding compare them.
bool same(const machine_state &a, const machine_state &b) { return memcmp(&a, &b, sizeof a) == 0; }

std::vector<uint8> bytes_of(const machine_state &s)
{
    std::vector<uint8> b(MACHINE_STATE_BYTES);
    machine_state_write(s, b.data());
    return b;
}

TEST_F(MachineState, StateByteFormAndSnapshotHoldTheSameMachine)
{
    struct run_case {
        uint32 seed;    // 0: our BIOS with the demo cartridge, else a random program
        int held_key;   // a host key held throughout, or 0
        uint64 n, m;    // passes before and after the capture
    };
    std::vector<run_case> cases = {
        {0, 0, 180000, 120000},   // character set transfer
        {0, 0, 220000, 100001},   // the transfer, INT1 asserted
        {0, OVIX_KEY_A, 900000, 300000},
    };
    std::mt19937 rng(99);
    for (uint32 seed = 101; seed <= 124; seed++)
        cases.push_back({seed, seed % 3 ? 0 : OVIX_KEY_SPACE, 1 + rng() % 300000, 1 + rng() % 100000});

    static machine_state captured, parsed, read_back, restored, one_run;
    moments seen;
    for (const run_case &c : cases) {
        SCOPED_TRACE(testing::Message() << "seed " << c.seed << " N=" << c.n << " M=" << c.m);
        start(c.seed ? random_program(c.seed) : std::vector<uint8>{}, c.seed == 0);
        if (c.held_key) ovix_key_down[c.held_key] = 1;
        run_passes(c.n);
        seen.look();
        machine_state_capture(&captured);
        ASSERT_EQ(captured.machine_passes, c.n);
        // The identity is that of the images loaded now (each case loads
        // other ones), not a hash kept from earlier.
        uint8 bios_sha256[32];
        unsigned len = 0;
        EVP_Digest(rom_7020, sizeof rom_7020, bios_sha256, &len, EVP_sha256(), nullptr);
        ASSERT_EQ(memcmp(captured.bios_sha256, bios_sha256, 32), 0) << "a stale BIOS identity";

        // Snapshot text from the machine and from the state, and back.
        const snapshot_counts counts{c.n, 5 * c.n};
        const std::string text = snapshot_save_bytes(counts);
        ASSERT_EQ(snapshot_text(captured, counts), text);
        std::string error;
        snapshot_counts counts_back;
        ASSERT_TRUE(snapshot_parse((const uint8 *)text.data(), text.size(), "s", &parsed, &counts_back, &error)) << error;
        EXPECT_TRUE(same(parsed, captured)) << "the snapshot file and the state disagree";
        EXPECT_EQ(counts_back.cycles, counts.cycles);

        // The byte form, and back.
        const std::vector<uint8> bytes = bytes_of(captured);
        ASSERT_TRUE(machine_state_read(bytes.data(), bytes.size(), "b", &read_back, &error)) << error;
        EXPECT_TRUE(same(read_back, captured));

        run_passes(c.m);
        machine_state_capture(&one_run);

        // Restored into a machine moved elsewhere, it is the same machine
        // and goes on as the uninterrupted one.
        scramble();
        machine_state_restore(captured);
        machine_state_capture(&restored);
        ASSERT_TRUE(same(restored, captured)) << "restore then capture changed the state";
        EXPECT_EQ(snapshot_save_bytes(counts), text);
        run_passes(c.m);
        machine_state_capture(&restored);
        EXPECT_TRUE(same(restored, one_run)) << "the restored machine went elsewhere";
    }
    EXPECT_GE(seen.mid_transfer, 2);
    EXPECT_GE(seen.timer_pending, 4);
    EXPECT_GE(seen.irq_pending, 2);
}

// The byte form as written by a program of another version or a forger:
// the header edited and the checksum made right again.
std::vector<uint8> resealed(std::vector<uint8> b, const std::function<void(std::vector<uint8> &)> &edit)
{
    edit(b);
    if (b.size() >= 32) {
        unsigned len = 0;
        EVP_Digest(b.data(), b.size() - 32, b.data() + b.size() - 32, &len, EVP_sha256(), nullptr);
    }
    return b;
}

void put32(std::vector<uint8> &b, size_t at, uint32 v)
{
    for (int i = 0; i < 4; i++) b[at + i] = (uint8)(v >> (8 * i));
}

TEST_F(MachineState, BadByteFormsAreRefusedWithTheirReasonAndTheMachineIsKept)
{
    start({}, true);
    run_passes(450000);
    static machine_state good_state, now;
    machine_state_capture(&good_state);
    const std::vector<uint8> good = bytes_of(good_state);
    ASSERT_EQ(good.size(), 16u + 36024u + 32u)
        << "the record changed: raise MACHINE_STATE_VERSION and the size here";
    const size_t record = MACHINE_STATE_HEADER_BYTES;
    auto field = [&](const void *member) { return record + (size_t)((const uint8 *)member - (const uint8 *)&good_state); };
    auto flipped = [&](size_t at) {
        std::vector<uint8> b = good;
        b[at] ^= 1;
        return b;
    };
    auto with = [&](size_t at, uint8 v) { return resealed(good, [&](auto &b) { b[at] = v; }); };

    const struct {
        const char *name;
        std::vector<uint8> bytes;
        const char *reason;
    } cases[] = {
        {"empty", {}, "is empty"},
        {"cut at its last byte", std::vector<uint8>(good.begin(), good.end() - 1), "is truncated: 36071 of its 36072 bytes"},
        {"cut in the header", std::vector<uint8>(good.begin(), good.begin() + 15), "is truncated"},
        {"a byte more", resealed(good, [](auto &b) { b.push_back(0); }), "is corrupted: 1 bytes follow its end"},
        {"a wrong byte in VRAM", flipped(field(&good_state.vram[100])), "is corrupted: its checksum does not match"},
        {"a wrong checksum byte", flipped(good.size() - 1), "is corrupted: its checksum does not match"},
        {"an older version", resealed(good, [](auto &b) { put32(b, 8, MACHINE_STATE_VERSION - 1); }),
         "is a machine state of format version 0; this program reads version 1"},
        {"a newer version", resealed(good, [](auto &b) { put32(b, 8, MACHINE_STATE_VERSION + 1); }),
         "is a machine state of format version 2; this program reads version 1"},
        {"a size the version does not have", resealed(good, [](auto &b) { put32(b, 12, 36071); }),
         "its header gives 36071 bytes"},
        {"a snapshot file", {'{', '"', 'm'}, "is not a machine state"},
        {"a foreign magic", resealed(good, [](auto &b) { b[0] = 'X'; }), "is not a machine state"},
        {"vdp.sel 3", with(field(&good_state.vdp_sel), 3), "member \"vdp.sel\" is out of range"},
        {"idle 2", with(field(&good_state.idle), 2), "member \"idle\" is out of range"},
        {"33 timers", with(field(&good_state.timer_count), 33), "member \"timers\" is out of range"},
        {"a timer of no known callback", with(field(&good_state.timer_count), 1), "member \"timers[].callback\" is out of range"},
        {"a timer beyond the count", with(field(&good_state.timers[31].tag), 1), "member \"timers\" is out of range"},
        {"subseconds 5000000",
         resealed(good, [&](auto &b) { put32(b, field(&good_state.clock.subseconds), ORLO_SUBSECONDS); }),
         "member \"clock\" is out of range"},
        {"clock past its limit",
         resealed(good, [&](auto &b) { put32(b, field(&good_state.clock.seconds), MACHINE_CLOCK_SECONDS_MAX + 1u); }),
         "member \"clock\" is out of range"},
        {"another BIOS", with(field(&good_state.bios_sha256[5]), good_state.bios_sha256[5] ^ 1), "another BIOS image"},
        {"without a cartridge", resealed(good, [&](auto &b) {
             memcpy(&b[field(good_state.cartridge_sha256)], machine_state_empty_cartridge_sha256(), 32);
         }),
         "taken without a cartridge, and one is loaded"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(machine_state_load_bytes(c.bytes.data(), c.bytes.size(), "s.state", &error));
        EXPECT_EQ(error.rfind("s.state ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        machine_state_capture(&now);
        EXPECT_TRUE(same(now, good_state)) << "a refused state changed the machine";
    }

    // Both sides of the bounds the checks hold.
    const struct {
        const char *name;
        std::function<void(machine_state &)> edit;
        bool ok;
    } bounds[] = {
        {"subseconds 4999999", [](auto &s) { s.clock.subseconds = ORLO_SUBSECONDS - 1; }, true},
        {"subseconds 5000000", [](auto &s) { s.clock.subseconds = ORLO_SUBSECONDS; }, false},
        {"seconds at the limit", [](auto &s) { s.clock.seconds = MACHINE_CLOCK_SECONDS_MAX; }, true},
        {"seconds past it", [](auto &s) { s.clock.seconds = MACHINE_CLOCK_SECONDS_MAX + 1u; }, false},
        {"balance at +limit", [](auto &s) { s.icount = MACHINE_COUNT_LIMIT; }, true},
        {"balance past -limit", [](auto &s) { s.icount = -MACHINE_COUNT_LIMIT - 1; }, false},
        {"divider phase at -limit", [](auto &s) { s.div_phase = -MACHINE_COUNT_LIMIT; }, true},
        {"divider phase at +limit", [](auto &s) { s.div_phase = MACHINE_COUNT_LIMIT; }, true},
        {"divider phase past it", [](auto &s) { s.div_phase = -MACHINE_COUNT_LIMIT - 1; }, false},
        {"pass counter 99999", [](auto &s) { s.pass_counter = LOOP_FRAME_PASSES - 1; }, true},
        {"pass counter 100000", [](auto &s) { s.pass_counter = LOOP_FRAME_PASSES; }, false},
        {"last host key", [](auto &s) { s.key_host = OVIX_KEY_MAX - 1; }, true},
        {"host key past the array", [](auto &s) { s.key_host = OVIX_KEY_MAX; }, false},
        {"logo's last byte", [](auto &s) { s.iocpu_command = 0x0D; s.iocpu_index = 994; }, true},
        {"past the logo", [](auto &s) { s.iocpu_command = 0x0D; s.iocpu_index = 995; }, false},
        {"last I/O processor state", [](auto &s) { s.iocpu_state = IO_CPU_STATES - 1; }, true},
        {"no such state", [](auto &s) { s.iocpu_state = IO_CPU_STATES; }, false},
    };
    for (const auto &b : bounds) {
        SCOPED_TRACE(b.name);
        machine_state s = good_state;
        b.edit(s);
        std::string error;
        EXPECT_EQ(machine_state_check_values(s, &error), b.ok) << error;
    }
}

TEST_F(MachineState, StateFilesAndSnapshotsWithoutTheMachineTime)
{
    start({}, true);
    run_passes(250000);
    static machine_state before, after;
    machine_state_capture(&before);
    std::string error;
    ASSERT_TRUE(machine_state_save_file("m.state", &error)) << error;
    const std::string snapshot = snapshot_save_bytes({});
    scramble();
    ASSERT_TRUE(machine_state_load_file("m.state", &error)) << error;
    machine_state_capture(&after);
    EXPECT_TRUE(same(after, before));

    // A snapshot written before snapshots held the machine's time loads
    // with the time 0.
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(snapshot);
    EXPECT_EQ(j["machine_passes"], 250000u);
    j.erase("machine_passes");
    j.erase("checksum");
    const std::string text = j.dump();
    unsigned char md[32];
    unsigned len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned char c : md) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    j["checksum"] = hex;
    const std::string old = j.dump(2);
    ASSERT_TRUE(snapshot_load_bytes((const uint8 *)old.data(), old.size(), "old", &error)) << error;
    EXPECT_EQ(ovix_machine_passes(), 0u);
    machine_state_capture(&after);
    after.machine_passes = before.machine_passes;
    EXPECT_TRUE(same(after, before));
}

}  // namespace
