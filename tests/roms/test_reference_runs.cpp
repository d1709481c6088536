// Whole runs whose trace log and final state must stay exactly what the
// runner wrote before the emulation loop was made faster: the fast paths
// (bus blocks, register-held processor state, lazy timer-1 clocks and
// emulated clock, direct trace formatting) must not change a byte of
// trace.log for any debug.lst, nor any field of the state.
//
// The references are SHA-256 sums of trace.log and of the state file's
// fields (parsed, so that spacing and fields added later do not count),
// taken with that older runner. To take them again with a runner of a given
// build, set OVIX_REFERENCE_RUNNER to its path: the test then prints the
// sums it gets from it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rom_run.h"

namespace {

using nlohmann::json;

const std::string kWorkloads = OVIX_BINARY_DIR "/bench/workloads/";

// Every trace name of the emulation core.
const char kEveryName[] =
    "MemInit() RomLoad() bcd_add() bcd_sub() decd_a() double2time get_7041_byte() io_cpu_callback() "
    "io_cpu_event() io_cpu_event_ack1() io_cpu_event_commack2() io_cpu_event_command3() io_cpu_event_init() "
    "io_cpu_event_init4() io_cpu_event_ready() io_cpu_state_ack1() io_cpu_state_command1() io_cpu_state_init() "
    "io_cpu_state_init3() io_cpu_state_init4() io_cpu_state_ready() io_read_byte_8() io_write_byte_8() main() "
    "orlo_check_timers() orlo_timer_create() orlo_timer_get_elapsed_time() orlo_timer_get_left_time() "
    "orlo_timer_remove() ovix_loop() tms3556_init() tms3556_initptr_r() tms3556_redraw() tms3556_reg_r() "
    "tms3556_reg_w() tms3556_reset() tms3556_vram_r() tms3556_vram_w() tms7000_check_IRQ_lines() "
    "tms7000_do_interrupt() tms7000_service_timer1() tms7000_set_irq_line() tms70x0_pf_r() tms70x0_pf_w()";
// The bus functions and the execute loop, whose lines come with nearly every
// instruction (listed in the "all" runs only).
const char kBusNames[] = " program_read_byte_8() program_write_byte_8() tms7000_ovix_execute()";

struct reference_run {
    const char *name;
    bool bus_listed;       // debug.lst: every name, or every name but the bus and execute
    bool no_list;          // no debug.lst at all
    std::string args;      // the runner's options besides --state
    const char *trace_sha;
    const char *state_sha;
};

const reference_run kRuns[] = {
    {"CartAllListed", true, false,
     "--bios '" + romtest::kBios + "' --cart '" + kWorkloads + "mixed_cart.rom' --instructions 250000",
     "844c4e045846bebb6b62709a727a04c8e1e22c83f1d58df392d969c2af125a2d", "21618fe7f25e5ba7b519afb2ea0ba0d91480634ab1030ba95ea5714b0161d5a8"},
    {"DemoTypingListed", false, false,
     "--bios '" + romtest::kBios + "' --cart '" + romtest::kDemo + "' --type XX --instructions 3000000",
     "f944731784c0431fa4eaa73eab5dd260b014303b9842cbe00ffa20726fc3efd4", "b341d572dd2502cc4919ac317b02be940c22b95b0cc984f9ee483b5723817075"},
    {"PromptTraceAll", false, false, "--bios '" + romtest::kBios + "' --type 'HI\\n' --instructions 600000 --trace-all",
     "2136950b57ac49649a43d2db2933d1f03f187f1f26dd5a99cea0b036e273e359", "c6bf4b7f4acd96e3151d2da8c88a2a4b11a033bf5a5cd730bbc15321859c685e"},
    {"VideoPortsAllListed", true, false, "--bios '" + kWorkloads + "video_bios.bin' --instructions 100000",
     "4a1a76e8dcc7f431314ffd20258cc1f330135bcd376545ab0be8691ee97db3db", "a2928a7ca629ac655caf0ccb1b03f5513f5dd9a8c18c9a894747255b01e16b0f"},
    {"MailboxUnlisted", false, true, "--bios '" + kWorkloads + "mailbox_bios.bin' --instructions 300000",
     "c0e4be155cfbe34a107ee4d5092496bdfe0978115e34559cafb12db44995ce71", "0558caf0022e331fe4a39bbd956cfd96f975ef840f75ba4e530eca1482487ecd"},
    {"CartTypingUnlisted", false, true,
     "--bios '" + romtest::kBios + "' --cart '" + kWorkloads + "mixed_cart.rom' --type 'A1 ' --instructions 5000000",
     "326581c542134c4e610175890b9c4d9b71d0c1d25bb8b21de3afde3e2e982b6d", "08ed4cd58485b2e980cc1e11f324534e404aad8a65eb1513db4bf53c346691bf"},
};

std::string sha256(const std::string &path)
{
    FILE *p = popen(("sha256sum '" + path + "'").c_str(), "r");
    if (!p) return "";
    char buf[128] = "";
    const bool got = fgets(buf, sizeof buf, p) != nullptr;
    pclose(p);
    return got ? std::string(buf).substr(0, 64) : "";
}

// The state's fields as the older runner wrote them, each object cut to
// the members `shape` names.
json known_fields(const json &state, const json &shape)
{
    if (shape.is_object() && state.is_object()) {
        json out = json::object();
        for (auto it = shape.begin(); it != shape.end(); ++it)
            if (state.contains(it.key())) out[it.key()] = known_fields(state[it.key()], it.value());
        return out;
    }
    if (shape.is_array() && state.is_array() && !shape.empty()) {
        json out = json::array();
        for (const json &e : state) out.push_back(known_fields(e, shape[0]));
        return out;
    }
    return state;
}

const json kStateShape = json::parse(R"({
  "pc": 0, "sp": 0, "sr": 0, "idle": 0, "irq_state": 0, "div_phase": 0, "rf": 0, "pf": 0,
  "t1": {"prescaler": 0, "decrementer": 0, "capture": 0}, "ram": 0, "vram": 0,
  "vdp": {"regs8": 0, "regs16": 0, "acmp": 0, "acmpxy": 0, "acmpxy_mode": 0, "sel": 0, "reg": 0, "reg2": 0,
          "row_col_written": 0, "bamp_written": 0},
  "ports": {"a": 0, "b": 0, "c": 0, "d": 0},
  "iocpu": {"state": 0, "mailbox": 0, "command": 0, "index": 0, "char": 0},
  "clock": {"seconds": 0, "subseconds": 0},
  "timers": [{"tag": 0, "param": 0, "expire": 0}],
  "instructions": 0, "cycles": 0})");

void PrintTo(const reference_run &run, std::ostream *os) { *os << run.name; }

class ReferenceRun : public ::testing::TestWithParam<reference_run> {};

TEST_P(ReferenceRun, TraceAndStateAsBefore)
{
    const reference_run &run = GetParam();
    const std::string dir = make_temp_dir(run.name);
    if (!run.no_list) {
        ASSERT_TRUE(write_text(dir + "/debug.lst", std::string(kEveryName) + (run.bus_listed ? kBusNames : "")));
    }
    const char *other = getenv("OVIX_REFERENCE_RUNNER");
    const std::string runner = other && *other ? other : romtest::kRunner;
    const std::string cmd = "cd '" + dir + "' && '" + runner + "' --state state.json " + run.args + " >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;

    const std::string trace = sha256(dir + "/trace.log");
    ASSERT_FALSE(std::filesystem::exists(dir + "/trace.log.1")) << "the reference run reached the log's limit";
    const json state = json::parse(read_text(dir + "/state.json"));
    ASSERT_TRUE(write_text(dir + "/fields.json", known_fields(state, kStateShape).dump()));
    const std::string fields = sha256(dir + "/fields.json");
    if (other && *other) {
        printf("%s: trace %s state %s\n", run.name, trace.c_str(), fields.c_str());
        return;
    }
    EXPECT_EQ(trace, run.trace_sha) << "trace.log of " << run.name << " differs (" << dir << ")";
    EXPECT_EQ(fields, run.state_sha) << "state of " << run.name << " differs (" << dir << ")";
}

INSTANTIATE_TEST_SUITE_P(Runs, ReferenceRun, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<reference_run> &i) { return std::string(i.param.name); });

}  // namespace
