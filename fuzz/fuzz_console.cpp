// The runner's console and the debugger's expression language on hostile
// command scripts: the input is the script, one command a line, run on a
// small program that calls, loops, writes RAM and video memory and takes
// timer interrupts. Every reply ends with "ok" or one "error: " line (or is
// one JSON object with "ok" in JSON mode, chosen by the first byte), no run
// lasts more than a bounded number of passes, and no command touches a file.
#include <string>

#include <nlohmann/json.hpp>

#include "asm.h"
#include "services/console.h"
#include "debug/engine.h"
#include "debug/symbols.h"
#include "fuzz_support.h"
#include "machine/loop.h"
#include "mem/memory.h"

namespace {

const char kProgram[] = R"(
        ORG 0F800h
reset:  MOV #60h,B
        LDSP
        MOVP #20h,P2
        MOVP #80h,P3
        MOVP #04h,P0
        EINT
main:   CALL outer
        INC R2
        MOV R2,A
        STA @0C010h
        MOVP A,P46
        LDA @0C011h
        JMP main
outer:  CALL inner
        RETS
inner:  PUSH A
        POP A
        RETS
isr:    INC R3
        CALL inner
        RETI
        ORG 0FFFAh
        DW isr
        DW reset
        DW reset
)";

constexpr uint64 RUN_LIMIT = 20000;   // passes of one run command
constexpr int MAX_COMMANDS = 200;

void set_up_once()
{
    static bool done = false;
    if (done) return;
    done = true;
    fuzz_enter_workdir();
    fuzz_start_video();
    ovasm::Options o;
    o.has_base = o.has_size = true;
    o.base = 0xF800;
    o.size = 2048;
    const ovasm::Result r = ovasm::assemble_text("fuzz.asm", kProgram, o);
    FUZZ_CHECK(r.ok, "the harness's program does not assemble: %s", r.errors.empty() ? "" : r.errors[0].c_str());
    memcpy(rom_7020, r.image.data(), sizeof rom_7020);
    const std::string syms = ovasm::symbol_file_text(r);
    FUZZ_CHECK(symbols_parse("fuzz.sym", syms.data(), syms.size()) == nullptr, "symbols");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    set_up_once();
    dbg_reset();
    ovix_power_on();
    for (int k = 0; k < OVIX_KEY_MAX; k++) ovix_key_down[k] = 0;   // keys a `type` of an earlier input held
    console_session cs;
    cs.run_limit = RUN_LIMIT;
    cs.files = false;
    cs.json = size > 0 && (data[0] & 1);
    std::string script(reinterpret_cast<const char *>(data), size);
    size_t start = size > 0 ? 1 : 0;
    for (int n = 0; n < MAX_COMMANDS && start < script.size() && !cs.quit; n++) {
        size_t nl = script.find('\n', start);
        if (nl == std::string::npos) nl = script.size();
        const std::string line = script.substr(start, nl - start);
        start = nl + 1;
        std::string reply;
        const bool ok = console_execute(&cs, line, &reply);
        if (reply.empty()) continue;   // a blank line or a comment
        FUZZ_CHECK(reply.back() == '\n', "a reply ends without a newline: %s", reply.c_str());
        if (cs.json) {
            const size_t last = reply.rfind('\n', reply.size() - 2);
            const std::string object = reply.substr(last == std::string::npos ? 0 : last + 1);
            const nlohmann::json j = nlohmann::json::parse(object, nullptr, false);
            FUZZ_CHECK(!j.is_discarded() && j.contains("ok") && j["ok"].get<bool>() == ok, "bad JSON reply: %s",
                       object.c_str());
        } else {
            const size_t last = reply.rfind('\n', reply.size() - 2);
            const std::string status = reply.substr(last == std::string::npos ? 0 : last + 1);
            FUZZ_CHECK(ok ? status == "ok\n" : status.rfind("error: ", 0) == 0, "bad reply status: %s",
                       status.c_str());
        }
    }
    // Whatever the script did, nothing of a run is left behind.
    FUZZ_CHECK(!tms7000_frames_kept, "a run did not end");
    return 0;
}
