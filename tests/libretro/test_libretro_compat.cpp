// A libretro save state written by an earlier build of the core (before the
// machine became a library of its own) loads in this one, its machine is
// saved again to the same bytes, and it runs on to the picture the earlier
// core showed
// (tests/state/compat/: the state, made at frame 43 of the demo with X
// typed and Y held, the images, and the picture 100 frames later).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <libretro-common/libretro.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine_state.h"
#include "test_support.h"

namespace {

const std::string CORE = OVIX_BINARY_DIR "/src/libretro/ovix_libretro.so";
const std::string COMPAT = OVIX_SOURCE_DIR "/tests/state/compat/";

std::string g_system_dir;
std::vector<uint32_t> g_frame(320 * 250);

void log_cb(enum retro_log_level, const char *, ...) {}
bool environment_cb(unsigned cmd, void *data)
{
    switch (cmd) {
    case RETRO_ENVIRONMENT_GET_LOG_INTERFACE: static_cast<retro_log_callback *>(data)->log = log_cb; return true;
    case RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY: *static_cast<const char **>(data) = g_system_dir.c_str(); return true;
    case RETRO_ENVIRONMENT_SET_PIXEL_FORMAT: return true;
    default: return false;
    }
}
void video_cb(const void *data, unsigned width, unsigned height, size_t pitch)
{
    if (!data) return;
    for (unsigned y = 0; y < height && y < 250; y++)
        memcpy(&g_frame[(size_t)y * 320], static_cast<const uint8 *>(data) + y * pitch, 320 * 4);
}
size_t audio_cb(const int16_t *, size_t frames) { return frames; }
void poll_cb() {}
int16_t input_cb(unsigned, unsigned, unsigned, unsigned) { return 0; }

TEST(LibretroCompat, AnEarlierStateLoadsAndRunsOn)
{
    void *h = dlopen(CORE.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
#define FN(name) auto name = reinterpret_cast<decltype(&::name)>(dlsym(h, #name)); ASSERT_NE(name, nullptr)
    FN(retro_set_environment); FN(retro_init); FN(retro_deinit); FN(retro_set_video_refresh);
    FN(retro_set_audio_sample_batch); FN(retro_set_input_poll); FN(retro_set_input_state); FN(retro_load_game);
    FN(retro_unload_game); FN(retro_run); FN(retro_serialize_size); FN(retro_serialize); FN(retro_unserialize);
#undef FN
    // The system folder holds the BIOS the state was made with.
    g_system_dir = make_temp_dir("libretro_compat");
    ASSERT_TRUE(write_file(g_system_dir + "/BIOS7020.bin", read_file(COMPAT + "bios.bin")));
    retro_set_environment(environment_cb);
    retro_init();
    retro_set_video_refresh(video_cb);
    retro_set_audio_sample_batch(audio_cb);
    retro_set_input_poll(poll_cb);
    retro_set_input_state(input_cb);
    const std::string cart = COMPAT + "demo.rom";
    retro_game_info game = {cart.c_str(), nullptr, 0, nullptr};
    ASSERT_TRUE(retro_load_game(&game));

    const std::vector<uint8> earlier = read_file(COMPAT + "libretro.state");
    ASSERT_FALSE(earlier.empty());
    ASSERT_TRUE(retro_unserialize(earlier.data(), earlier.size()));
    // Saved again, the machine is the same (it is the state's last part;
    // the keys the front end holds now are its own, not the state's).
    std::vector<uint8> again(retro_serialize_size());
    ASSERT_TRUE(retro_serialize(again.data(), again.size()));
    ASSERT_GE(again.size(), MACHINE_STATE_BYTES);
    ASSERT_GE(earlier.size(), MACHINE_STATE_BYTES);
    EXPECT_TRUE(std::equal(again.end() - MACHINE_STATE_BYTES, again.end(), earlier.end() - MACHINE_STATE_BYTES))
        << "the loaded machine is saved again differently";
    for (int i = 0; i < 100; i++) retro_run();
    Picture got{320, 250, std::vector<uint8>((size_t)320 * 250 * 3)}, want;
    for (size_t i = 0; i < g_frame.size(); i++) {
        got.rgb[i * 3] = (uint8)(g_frame[i] >> 16);
        got.rgb[i * 3 + 1] = (uint8)(g_frame[i] >> 8);
        got.rgb[i * 3 + 2] = (uint8)g_frame[i];
    }
    ASSERT_EQ(read_png(COMPAT + "libretro_then.png", &want), "");
    EXPECT_TRUE(got == want) << "the picture 100 frames on differs from the earlier core's";
    retro_unload_game();
    retro_deinit();
    dlclose(h);
}

}  // namespace
