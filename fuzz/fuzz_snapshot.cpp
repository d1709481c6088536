// The snapshot reader, and the reader of the machine state's byte form, on
// hostile files. The machine is set up once (a small BIOS program that
// greets the I/O processor and writes to the video chip, run for 20000
// passes) and saved; each input is then loaded over it.
//
// Input: byte 0 chooses how the rest is used. Bit 2 clear, a snapshot:
// bit 0 clear, the rest is the file as it stands; set, the rest is parsed
// as JSON and, when that works, its checksum (bit 0) and ROM hashes (bit 1
// too) are made right before it is given to the reader, so that mutations
// get past those checks to the members behind them. Bit 2 set, a machine
// state's byte form: bit 0 clear, the rest as it stands; set, the rest
// overwrites the base machine's state after its header, which is then
// made right with its checksum (and with bit 1 the ROM hashes too).
//
// A refused file must leave the machine as it was; an accepted one must
// give a machine that runs, saves and loads back to the same bytes.
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <string>

#include "fuzz_support.h"
#include "machine/loop.h"
#include "mem/memory.h"
#include "machine/machine_state.h"
#include "state/snapshot.h"

namespace {

// The handshake program of the machine harness's seed: B0 up, wait for the
// I/O processor's INT1 flag, B1 up, B0 down, a few video and RAM writes,
// then JMP $.
constexpr uint8_t program[] = {
    0xA2, 0x01, 0x06, 0xA7, 0x02, 0x00, 0xFC, 0x72, 0x64, 0x02, 0xDA, 0x02, 0xFD, 0xA2, 0x03, 0x06,
    0xA2, 0x02, 0x06, 0xA2, 0x06, 0x2D, 0xA2, 0x80, 0x2D, 0xA2, 0x21, 0x2D, 0xA2, 0x00, 0x2D, 0xA2,
    0x00, 0x2D, 0xA2, 0x80, 0x2E, 0x22, 0x5A, 0x8B, 0xC0, 0x01, 0xE0, 0xFE,
};
constexpr uint64 SETUP_PASSES = 20000;
constexpr uint64 RUN_AFTER_LOAD = 2000;

std::string sha256_hex(const std::string &text)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    FUZZ_CHECK(EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr), "no SHA-256");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < len; i++) hex += {digits[md[i] >> 4], digits[md[i] & 15]};
    return hex;
}

bool load(const std::string &bytes, std::string *error, snapshot_counts *counts = nullptr)
{
    return snapshot_load_bytes(reinterpret_cast<const uint8 *>(bytes.data()), bytes.size(), "fuzz.snap", error,
                               counts);
}

const snapshot_counts base_counts{SETUP_PASSES, 12345};
std::string base;   // the machine every input is loaded over
nlohmann::ordered_json base_json;
machine_state base_state;

// The machine state's byte form: refused, the machine is kept; accepted,
// the machine runs and its state reads back the same.
void load_state_bytes(uint8_t mode, const uint8_t *rest, size_t n)
{
    static uint8_t file[MACHINE_STATE_BYTES + 64];
    size_t size = n < sizeof file ? n : sizeof file;
    if (mode & 1) {
        machine_state_write(base_state, file);
        const size_t at = MACHINE_STATE_HEADER_BYTES;
        memcpy(file + at, rest, n < sizeof file - at ? n : sizeof file - at);
        machine_state s;
        memcpy(&s, file + at, sizeof s);
        if (mode & 2) {
            memcpy(s.bios_sha256, base_state.bios_sha256, 32);
            memcpy(s.cartridge_sha256, base_state.cartridge_sha256, 32);
        }
        machine_state_write(s, file);
        size = MACHINE_STATE_BYTES;
    } else {
        memcpy(file, rest, size);
    }
    std::string error;
    if (!machine_state_load_bytes(file, size, "fuzz.state", &error)) {
        FUZZ_CHECK(error.rfind("fuzz.state ", 0) == 0, "the message does not name the file: %s", error.c_str());
        FUZZ_CHECK(snapshot_save_bytes(base_counts) == base, "a refused state changed the machine: %s",
                   error.c_str());
        return;
    }
    static machine_state loaded, again;
    machine_state_capture(&loaded);
    ovix_resume(0xFFFF, RUN_AFTER_LOAD, nullptr);
    machine_state_capture(&again);
    machine_state_write(again, file);
    FUZZ_CHECK(machine_state_read(file, MACHINE_STATE_BYTES, "again", &loaded, &error),
               "the state of a machine run from an accepted state does not read back: %s", error.c_str());
    FUZZ_CHECK(load(base, &error), "the base machine does not load back: %s", error.c_str());
}

void set_up()
{
    fuzz_enter_workdir();
    fuzz_start_video();
    uint8_t bios[2048] = {};
    std::copy(std::begin(program), std::end(program), bios);
    bios[0x7FE] = 0xF8;
    fuzz_write_file("bios.bin", bios, sizeof bios);
    FUZZ_CHECK(MemInitFrom("bios.bin") == nullptr, "BIOS refused");
    ovix_power_on();
    ovix_run(0xFFFF, SETUP_PASSES, nullptr);
    base = snapshot_save_bytes(base_counts);
    base_json = nlohmann::ordered_json::parse(base);
    machine_state_capture(&base_state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (base.empty()) set_up();
    fuzz_reader in{data, size};
    const uint8_t mode = in.byte();
    if (mode & 4) {
        load_state_bytes(mode, in.rest(), in.left());
        return 0;
    }
    std::string file(reinterpret_cast<const char *>(in.rest()), in.left());
    if (mode & 1) {
        nlohmann::ordered_json j = nlohmann::ordered_json::parse(file, nullptr, false);
        if (j.is_object()) {
            if (mode & 2) {
                j["bios_sha256"] = base_json["bios_sha256"];
                j["cartridge_sha256"] = base_json["cartridge_sha256"];
            }
            j.erase("checksum");
            j["checksum"] = sha256_hex(j.dump());
            file = j.dump();
        }
    }

    std::string error;
    snapshot_counts counts;
    if (!load(file, &error, &counts)) {
        FUZZ_CHECK(error.rfind("fuzz.snap", 0) == 0, "the message does not name the file: %s", error.c_str());
        FUZZ_CHECK(snapshot_save_bytes(base_counts) == base, "a refused snapshot changed the machine: %s",
                   error.c_str());
        return 0;
    }
    const std::string saved = snapshot_save_bytes(counts);
    FUZZ_CHECK(load(saved, &error), "an accepted snapshot does not load back once saved: %s", error.c_str());
    FUZZ_CHECK(snapshot_save_bytes(counts) == saved, "the machine loaded back saves other bytes");
    ovix_resume(0xFFFF, RUN_AFTER_LOAD, nullptr);
    FUZZ_CHECK(load(base, &error), "the base machine does not load back: %s", error.c_str());
    return 0;
}
