// The libretro core as a front end uses it: the test loads ovix_libretro.so
// with dlopen, answers its environment calls, runs frames, types on its
// keyboard callback and presses pad buttons, and compares its pictures with
// the golden pictures of the end-to-end tests (tests/roms/golden).
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <libretro-common/libretro.h>
#include <openssl/sha.h>

#include "machine/machine_state.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string CORE = OVIX_BINARY_DIR "/src/libretro/ovix_libretro.so";
const std::string OPEN_BIOS = OVIX_BINARY_DIR "/roms/bios/BIOS7020.bin";
const std::string DEMO = OVIX_BINARY_DIR "/roms/demo/demo.rom";
const std::string GOLDEN = OVIX_SOURCE_DIR "/tests/roms/golden/";

// ---------------------------------------------------------------------------
// The front end: what the core is told and what it hands back.

struct Frontend {
    std::string system_dir;
    std::map<std::string, std::string> options;
    std::string log;   // every message, one a line
    retro_keyboard_event_t keyboard = nullptr;
    int pixel_format = -1;
    retro_memory_descriptor ram{};
    int frames = 0;                // pictures received
    std::vector<uint32> frame;     // the last one, 320 x 250
    size_t samples = 0;            // stereo samples of the last frame
    unsigned pad = 0;              // RetroPad buttons held: bit per RETRO_DEVICE_ID_JOYPAD_*
} fe;

void log_cb(retro_log_level, const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fe.log += text;
}

bool environment_cb(unsigned cmd, void *data)
{
    switch (cmd) {
    case RETRO_ENVIRONMENT_GET_LOG_INTERFACE:
        static_cast<retro_log_callback *>(data)->log = log_cb;
        return true;
    case RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY:
        *static_cast<const char **>(data) = fe.system_dir.c_str();
        return true;
    case RETRO_ENVIRONMENT_SET_PIXEL_FORMAT:
        fe.pixel_format = *static_cast<const int *>(data);
        return true;
    case RETRO_ENVIRONMENT_GET_VARIABLE: {
        auto *v = static_cast<retro_variable *>(data);
        const auto it = fe.options.find(v->key);
        v->value = it == fe.options.end() ? nullptr : it->second.c_str();
        return v->value != nullptr;
    }
    case RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK:
        fe.keyboard = static_cast<const retro_keyboard_callback *>(data)->callback;
        return true;
    case RETRO_ENVIRONMENT_SET_MEMORY_MAPS: {
        const auto *map = static_cast<const retro_memory_map *>(data);
        if (map->num_descriptors) fe.ram = map->descriptors[0];
        return true;
    }
    case RETRO_ENVIRONMENT_GET_CORE_OPTIONS_VERSION:
        *static_cast<unsigned *>(data) = 2;
        return true;
    case RETRO_ENVIRONMENT_SET_CORE_OPTIONS_V2:
    case RETRO_ENVIRONMENT_SET_SUPPORT_NO_GAME:
    case RETRO_ENVIRONMENT_SET_INPUT_DESCRIPTORS:
    case RETRO_ENVIRONMENT_SET_CONTROLLER_INFO:
        return true;
    default:
        return false;
    }
}

void video_cb(const void *data, unsigned width, unsigned height, size_t pitch)
{
    fe.frames++;
    if (!data) return;
    fe.frame.resize((size_t)width * height);
    for (unsigned y = 0; y < height; y++)
        memcpy(&fe.frame[(size_t)y * width], static_cast<const uint8 *>(data) + y * pitch, width * 4);
}

size_t audio_batch_cb(const int16_t *, size_t frames)
{
    fe.samples = frames;
    return frames;
}

void input_poll_cb() {}

int16_t input_state_cb(unsigned port, unsigned device, unsigned index, unsigned id)
{
    return port == 0 && device == RETRO_DEVICE_JOYPAD && index == 0 && id < 16 && (fe.pad >> id & 1);
}

// ---------------------------------------------------------------------------
// The core, loaded once for the whole program.

struct Core {
    void *handle = nullptr;
#define CORE_FUNCTION(name) decltype(&::name) name = nullptr
    CORE_FUNCTION(retro_set_environment);
    CORE_FUNCTION(retro_set_video_refresh);
    CORE_FUNCTION(retro_set_audio_sample_batch);
    CORE_FUNCTION(retro_set_input_poll);
    CORE_FUNCTION(retro_set_input_state);
    CORE_FUNCTION(retro_init);
    CORE_FUNCTION(retro_deinit);
    CORE_FUNCTION(retro_get_system_av_info);
    CORE_FUNCTION(retro_set_controller_port_device);
    CORE_FUNCTION(retro_load_game);
    CORE_FUNCTION(retro_unload_game);
    CORE_FUNCTION(retro_run);
    CORE_FUNCTION(retro_serialize_size);
    CORE_FUNCTION(retro_serialize);
    CORE_FUNCTION(retro_unserialize);
    CORE_FUNCTION(retro_get_memory_data);
    CORE_FUNCTION(retro_get_memory_size);
#undef CORE_FUNCTION
} core;

template <typename F> bool find(void *handle, F *f, const char *name)
{
    *f = reinterpret_cast<F>(dlsym(handle, name));
    return *f != nullptr;
}

// Loads the core at `path` into *c and starts it, as a front end does.
void open_core(const std::string &path, Core *c)
{
    c->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(c->handle, nullptr) << dlerror();
#define FIND(name) ASSERT_TRUE(find(c->handle, &c->name, #name)) << #name
    FIND(retro_set_environment);
    FIND(retro_set_video_refresh);
    FIND(retro_set_audio_sample_batch);
    FIND(retro_set_input_poll);
    FIND(retro_set_input_state);
    FIND(retro_init);
    FIND(retro_deinit);
    FIND(retro_get_system_av_info);
    FIND(retro_set_controller_port_device);
    FIND(retro_load_game);
    FIND(retro_unload_game);
    FIND(retro_run);
    FIND(retro_serialize_size);
    FIND(retro_serialize);
    FIND(retro_unserialize);
    FIND(retro_get_memory_data);
    FIND(retro_get_memory_size);
#undef FIND
    c->retro_set_environment(environment_cb);
    c->retro_set_video_refresh(video_cb);
    c->retro_set_audio_sample_batch(audio_batch_cb);
    c->retro_set_input_poll(input_poll_cb);
    c->retro_set_input_state(input_state_cb);
    c->retro_init();
}

class Libretro : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!core.handle) open_core(CORE, &core);
    }

    void SetUp() override
    {
        ASSERT_NE(core.handle, nullptr);
        fe.system_dir = make_temp_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        fe.options.clear();
        fe.log.clear();
        fe.pad = 0;
        fe.frames = 0;
        core.retro_set_controller_port_device(0, RETRO_DEVICE_JOYPAD);
    }

    void TearDown() override
    {
        if (core.handle) core.retro_unload_game();
    }

    // Loads a cartridge image (or none): true when the core takes it.
    static bool load(const std::string &path)
    {
        retro_game_info game = {path.c_str(), nullptr, 0, nullptr};
        return core.retro_load_game(path.empty() ? nullptr : &game);
    }

    static void run(int frames)
    {
        for (int i = 0; i < frames; i++) core.retro_run();
    }

    static Picture picture()
    {
        Picture p{320, 250, std::vector<uint8>((size_t)320 * 250 * 3)};
        for (size_t i = 0; i < fe.frame.size() && i < (size_t)320 * 250; i++) {
            p.rgb[i * 3] = (uint8)(fe.frame[i] >> 16);
            p.rgb[i * 3 + 1] = (uint8)(fe.frame[i] >> 8);
            p.rgb[i * 3 + 2] = (uint8)fe.frame[i];
        }
        return p;
    }

    // Runs frames until the picture is the golden one (the BIOS's cursor
    // blinks: the picture matches every other half second); false when it
    // has not within `limit` frames.
    static bool run_until(const std::string &golden, int limit = 400)
    {
        Picture want;
        EXPECT_EQ(read_png(GOLDEN + golden + ".png", &want), "");
        for (int i = 0; i < limit; i++) {
            core.retro_run();
            if (picture() == want) return true;
        }
        return false;
    }

    static void key(bool down, unsigned retrok) { fe.keyboard(down, retrok, 0, 0); }

    static void type(const std::string &text)
    {
        for (const char c : text) {
            key(true, retrok_of(c));
            key(false, retrok_of(c));
        }
    }

    static std::vector<uint8> save()
    {
        std::vector<uint8> state(core.retro_serialize_size());
        EXPECT_TRUE(core.retro_serialize(state.data(), state.size()));
        return state;
    }

    // The pictures of `frames` frames.
    static std::vector<std::vector<uint32>> record(int frames)
    {
        std::vector<std::vector<uint32>> pictures;
        for (int i = 0; i < frames; i++) {
            core.retro_run();
            pictures.push_back(fe.frame);
        }
        return pictures;
    }

    static unsigned retrok_of(char c)
    {
        if (c >= 'A' && c <= 'Z') return RETROK_a + (c - 'A');
        if (c >= '0' && c <= '9') return RETROK_0 + (c - '0');
        return c == '\n' ? RETROK_RETURN : RETROK_SPACE;
    }

    // The text of the BIOS's text page (its cells' character bytes) in
    // video memory, as the memory interface shows it.
    static std::string screen_text()
    {
        const auto *vram = static_cast<const uint8 *>(core.retro_get_memory_data(RETRO_MEMORY_VIDEO_RAM));
        std::string text;
        for (int cell = 0; cell < 40 * 25; cell++) text += (char)vram[cell * 2 + 1];
        return text;
    }

    static bool run_until_text(const char *text, int limit = 400)
    {
        for (int i = 0; i < limit; i++) {
            core.retro_run();
            if (screen_text().find(text) != std::string::npos) return true;
        }
        return false;
    }
};

// ---------------------------------------------------------------------------

TEST_F(Libretro, HandsOverAPictureAndAFramesSilenceEachFrameAndShowsItsRam)
{
    ASSERT_TRUE(load(""));
    EXPECT_EQ(fe.pixel_format, RETRO_PIXEL_FORMAT_XRGB8888);
    retro_system_av_info av{};
    core.retro_get_system_av_info(&av);
    run(3);
    EXPECT_EQ(fe.frames, 3);
    EXPECT_EQ(fe.frame.size(), (size_t)av.geometry.base_width * av.geometry.base_height);
    EXPECT_EQ((double)fe.samples, av.timing.sample_rate / av.timing.fps);
    // The RAM, at its machine addresses in the memory map.
    EXPECT_EQ(fe.ram.ptr, core.retro_get_memory_data(RETRO_MEMORY_SYSTEM_RAM));
    EXPECT_EQ(fe.ram.len, core.retro_get_memory_size(RETRO_MEMORY_SYSTEM_RAM));
    EXPECT_EQ(fe.ram.start, 0xC000u);
}

TEST_F(Libretro, TakesEveryCartridgeSizeTheLoaderTakesAndRefusesTheOthers)
{
    const std::vector<uint8> demo = read_file(DEMO);
    ASSERT_EQ(demo.size(), 16384u);
    struct Case {
        size_t size;
        const char *golden;   // the picture of an image taken, or null for one refused
    };
    const Case cases[] = {
        {0, nullptr},               {8191, nullptr},          {8192, "bios_boot"},      {8193, nullptr},
        {16383, nullptr},           {16384, "demo_bitmap"},   {16385, nullptr},         {32255, nullptr},
        {32256, "demo_bitmap"},     {32257, nullptr},         {32767, nullptr},         {32768, "demo_bitmap"},
        {40000, "demo_bitmap"},     // a longer file counts as its first 32 KiB
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        fe.log.clear();
        // FF bytes with the demo at the end of what the loader reads: the
        // images of 16 KiB and more start the demo, the 8 KiB one (no
        // cartridge header) leaves the BIOS at its prompt.
        std::vector<uint8> image(c.size, 0xFF);
        const size_t end = std::min<size_t>(c.size, 32768);
        if (end >= demo.size()) std::copy(demo.begin(), demo.end(), image.begin() + (long)(end - demo.size()));
        const std::string path = fe.system_dir + "/cart" + std::to_string(c.size) + ".rom";
        ASSERT_TRUE(write_file(path, image));
        EXPECT_EQ(load(path), c.golden != nullptr) << fe.log;
        if (c.golden) {
            EXPECT_TRUE(run_until(c.golden));
        } else {
            EXPECT_NE(fe.log.find("Not a valid ROM"), std::string::npos) << fe.log;
            EXPECT_NE(fe.log.find(path + " is " + std::to_string(c.size) + " bytes long"), std::string::npos)
                << fe.log;
        }
        core.retro_unload_game();
    }
    // A missing file is refused with the loader's reason.
    fe.log.clear();
    EXPECT_FALSE(load(fe.system_dir + "/missing.rom"));
    EXPECT_NE(fe.log.find("missing.rom: No such file or directory"), std::string::npos) << fe.log;
}

TEST_F(Libretro, TakesTheBiosFromTheSystemFolderElseItsOwn)
{
    // Our open BIOS saying RE4DY: which BIOS runs shows on the screen.
    std::vector<uint8> marked = read_file(OPEN_BIOS);
    ASSERT_EQ(marked.size(), 2048u);
    const auto ready = std::search(marked.begin(), marked.end(), std::begin("READY"), std::end("READY") - 1);
    ASSERT_NE(ready, marked.end());
    ready[2] = '4';
    struct Case {
        const char *name;
        std::vector<uint8> file;   // BIOS7020.bin in the system folder; empty: none
        const char *option;        // the BIOS option, or null
        const char *shown;         // text expected on the screen
        const char *logged;
    };
    const Case cases[] = {
        {"no file", {}, nullptr, "READY", "no BIOS7020.bin in the system folder"},
        {"a file", marked, nullptr, "RE4DY", "BIOS: "},
        {"a file, option auto", marked, "auto", "RE4DY", "BIOS: "},
        {"a file, option open", marked, "open", "READY", "the open BIOS built into the core (core option)"},
        {"a file one byte short", std::vector<uint8>(marked.begin(), marked.end() - 1), nullptr, "READY",
         "is 2047 bytes long; 2048 are needed; using the open BIOS built into the core instead"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fe.log.clear();
        fs::remove(fe.system_dir + "/BIOS7020.bin");
        if (!c.file.empty()) {
            ASSERT_TRUE(write_file(fe.system_dir + "/BIOS7020.bin", c.file));
        }
        fe.options.clear();
        if (c.option) fe.options["ovix_bios"] = c.option;
        ASSERT_TRUE(load(""));
        EXPECT_NE(fe.log.find(c.logged), std::string::npos) << fe.log;
        EXPECT_TRUE(run_until_text(c.shown));
        core.retro_unload_game();
    }
}

TEST_F(Libretro, ShowsTheOpenBiosAndTypesEveryKey)
{
    // HELLO 42 and Enter, typed three ways; the BIOS shows each the same.
    const std::string text = "HELLO 42\n";
    enum Way { ONE_A_FRAME, ALL_BETWEEN_TWO_FRAMES, ROLLED };
    for (const Way way : {ONE_A_FRAME, ALL_BETWEEN_TWO_FRAMES, ROLLED}) {
        SCOPED_TRACE(way);
        ASSERT_TRUE(load(""));
        ASSERT_TRUE(run_until("bios_boot")) << "the BIOS's start-up picture";
        for (size_t i = 0; i < text.size(); i++) {
            const unsigned k = retrok_of(text[i]);
            key(true, k);
            if (way == ONE_A_FRAME) run(1);
            // Rolled: the next key goes down before this one goes up.
            if (way == ROLLED && i + 1 < text.size()) key(true, retrok_of(text[i + 1]));
            key(false, k);
            if (way == ONE_A_FRAME) run(1);
            if (way == ROLLED) run(1);
        }
        EXPECT_TRUE(run_until("bios_typed"));
        core.retro_unload_game();
    }
}

TEST_F(Libretro, ShowsTheDemoAndSwitchesItsPageWithTheKeyboardAndThePad)
{
    ASSERT_TRUE(load(DEMO));
    ASSERT_TRUE(run_until("demo_bitmap"));
    key(true, RETROK_x);
    key(false, RETROK_x);
    EXPECT_TRUE(run_until("demo_mixed"));
    fe.pad = 1u << RETRO_DEVICE_ID_JOYPAD_B;   // Space
    run(2);
    fe.pad = 0;
    EXPECT_TRUE(run_until("demo_bitmap"));
    // Space held on the keyboard and on the pad at once is one key press.
    key(true, RETROK_SPACE);
    fe.pad = 1u << RETRO_DEVICE_ID_JOYPAD_B;
    run(2);
    key(false, RETROK_SPACE);
    run(2);
    fe.pad = 0;
    EXPECT_TRUE(run_until("demo_mixed"));
    run(100);
    EXPECT_TRUE(run_until("demo_mixed", 1));
    // With the keyboard alone as the device, the pad is not read.
    core.retro_set_controller_port_device(0, RETRO_DEVICE_KEYBOARD);
    fe.pad = 1u << RETRO_DEVICE_ID_JOYPAD_START;
    run(100);
    fe.pad = 0;
    EXPECT_TRUE(run_until("demo_mixed", 1));
}

TEST_F(Libretro, SavedStateRunsOnToTheSameFrames)
{
    // Saved with keys waiting in the queue (one pressed, the others queued)
    // and the typed line still to appear: both runs from it type it the same.
    ASSERT_TRUE(load(""));
    ASSERT_TRUE(run_until("bios_boot"));
    EXPECT_EQ(core.retro_serialize_size(), 434 + MACHINE_STATE_BYTES);
    type("HELLO 42\n");
    run(1);
    const std::vector<uint8> state = save();
    const auto first = record(150);
    const std::vector<uint8> after = save();
    ASSERT_TRUE(core.retro_unserialize(state.data(), state.size())) << fe.log;
    const auto second = record(150);
    EXPECT_NE(first.front(), first.back());   // the line was typed meanwhile
    EXPECT_TRUE(first == second);
    EXPECT_EQ(save(), after);
    EXPECT_TRUE(run_until("bios_typed"));
}

TEST_F(Libretro, RefusesBadStatesAndGoesOnAsItWas)
{
    ASSERT_TRUE(load(DEMO));
    run(50);
    const std::vector<uint8> demo_state = save();
    core.retro_unload_game();
    ASSERT_TRUE(load(""));
    run(50);
    const std::vector<uint8> good = save();
    const size_t n = good.size();
    // The key queue's record starts at byte 16, its checksum at 402, the
    // machine state's own bytes at 434.
    auto with = [&](std::initializer_list<std::pair<size_t, uint8>> bytes, bool rehash) {
        std::vector<uint8> s = good;
        for (const auto &[at, value] : bytes) s[at] = value;
        if (rehash) SHA256(s.data(), 402, s.data() + 402);
        return s;
    };
    struct Case {
        const char *name;
        std::vector<uint8> state;
        const char *reason;
    };
    const Case cases[] = {
        {"empty", {}, "the state is 0 bytes long"},
        {"one byte short", std::vector<uint8>(good.begin(), good.end() - 1), "bytes long; this core's states have"},
        {"one byte more", [&] { auto s = good; s.push_back(0); return s; }(), "bytes long; this core's states have"},
        {"another magic", with({{0, 'X'}}, false), "not a state of this core"},
        {"version 2", with({{8, 2}}, true), "format version 2; this core reads version 1"},
        {"key queue altered", with({{16, 1}}, false), "its key queue does not match its checksum"},
        {"key queue forged: 129 strokes", with({{16, 129}}, true), "more strokes than it can"},
        {"key queue forged: a stroke past its count", with({{18, 1}, {19, 0x41}}, true), "bytes after its last stroke"},
        // One stroke, of host key A (scancode 1) but with B's code.
        {"key queue forged: not a machine key", with({{16, 1}, {18, 1}, {19, 0x42}}, true), "not a machine key"},
        {"machine altered: a RAM byte", with({{434 + 16 + 200, (uint8)(good[434 + 16 + 200] ^ 1)}}, false),
         "the state's machine is corrupted"},
        {"machine's last byte", with({{n - 1, (uint8)(good[n - 1] ^ 0x80)}}, false), "the state's machine is corrupted"},
        {"another cartridge", demo_state, "the state's machine was taken with a cartridge"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fe.log.clear();
        EXPECT_FALSE(core.retro_unserialize(c.state.data(), c.state.size()));
        EXPECT_NE(fe.log.find(c.reason), std::string::npos) << fe.log;
        EXPECT_EQ(save(), good);   // untouched
    }
    run(10);
    EXPECT_TRUE(core.retro_unserialize(good.data(), good.size())) << fe.log;
    EXPECT_EQ(save(), good);
}

TEST_F(Libretro, RunsBesideASecondCopyOfItself)
{
    // RetroArch's run-ahead loads a second copy of the core: both run the
    // same machine the same way, and either may stop while the other goes on.
    const std::string copy_path = fe.system_dir + "/copy_libretro.so";
    fs::copy_file(CORE, copy_path);
    ASSERT_TRUE(load(DEMO));
    const auto first = record(200);
    Core copy;
    open_core(copy_path, &copy);
    ASSERT_NE(copy.handle, nullptr);
    retro_game_info game = {DEMO.c_str(), nullptr, 0, nullptr};
    ASSERT_TRUE(copy.retro_load_game(&game));
    std::vector<std::vector<uint32>> second;
    for (int i = 0; i < 200; i++) {
        copy.retro_run();
        second.push_back(fe.frame);
    }
    EXPECT_TRUE(first == second);
    copy.retro_unload_game();
    copy.retro_deinit();
    dlclose(copy.handle);
    fe.keyboard = nullptr;   // the copy's, gone with it

    EXPECT_TRUE(run_until("demo_bitmap", 1));
    core.retro_unload_game();
    core.retro_deinit();
    core.retro_init();
    ASSERT_TRUE(load(DEMO));
    EXPECT_TRUE(run_until("demo_bitmap"));
}

TEST_F(Libretro, RunsFasterThanRealTime)
{
    // Host time per retro_run at the BIOS's prompt and in the demo, and per
    // save and load of a state (rewinding and run-ahead do both every
    // frame): each well under the 20 ms of machine time a frame stands for.
    using clock = std::chrono::steady_clock;
    auto ms_since = [](clock::time_point t0) {
        return std::chrono::duration<double, std::milli>(clock::now() - t0).count();
    };
    constexpr int N = 500;
    for (const std::string &content : {std::string(), DEMO}) {
        ASSERT_TRUE(load(content));
        run(100);
        auto t0 = clock::now();
        run(N);
        const double frame = ms_since(t0) / N;
        std::vector<uint8> state = save();
        t0 = clock::now();
        for (int i = 0; i < N; i++) {
            core.retro_serialize(state.data(), state.size());
            core.retro_unserialize(state.data(), state.size());
        }
        const double save_load = ms_since(t0) / N;
        printf("%s: %.3f ms per frame, %.3f ms per save and load of a state\n",
               content.empty() ? "open BIOS" : "demo", frame, save_load);
        EXPECT_LT(frame, 20.0);
        EXPECT_LT(save_load, 20.0);
        core.retro_unload_game();
    }
}

}  // namespace
