// A small libretro front end for the libretro core's fuzz harnesses: it
// answers the core's environment calls (a system folder, options, the log),
// keeps the log's text and checks every picture and every sound batch the
// core hands over. The core is linked in (ovix_libretro_static).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <map>
#include <sys/stat.h>
#include <string>

#include <libretro.h>

#include "fuzz_support.h"

namespace fuzz_libretro {

struct frontend {
    std::string system_dir;
    std::map<std::string, std::string> options;
    std::string log;
    int pictures = 0;   // pictures received since the last reset_counts
    int batches = 0;    // sound batches
};
inline frontend fe;

inline void log_cb(retro_log_level, const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fe.log += text;
}

inline bool environment_cb(unsigned cmd, void *data)
{
    switch (cmd) {
    case RETRO_ENVIRONMENT_GET_LOG_INTERFACE:
        static_cast<retro_log_callback *>(data)->log = log_cb;
        return true;
    case RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY:
        *static_cast<const char **>(data) = fe.system_dir.c_str();
        return true;
    case RETRO_ENVIRONMENT_SET_PIXEL_FORMAT:
        return *static_cast<const int *>(data) == RETRO_PIXEL_FORMAT_XRGB8888;
    case RETRO_ENVIRONMENT_GET_VARIABLE: {
        auto *v = static_cast<retro_variable *>(data);
        const auto it = fe.options.find(v->key);
        v->value = it == fe.options.end() ? nullptr : it->second.c_str();
        return v->value != nullptr;
    }
    default:
        return false;
    }
}

inline void video_cb(const void *data, unsigned width, unsigned height, size_t pitch)
{
    FUZZ_CHECK(data && width == 320 && height == 250 && pitch >= width * 4, "picture %ux%u", width, height);
    // Every pixel is readable and has no bits outside XRGB8888's colour.
    const auto *px = static_cast<const uint32_t *>(data);
    uint32_t all = 0;
    for (size_t i = 0; i < (size_t)width * height; i++) all |= px[i];
    FUZZ_CHECK((all >> 24) == 0, "pixel bits above the colour: %08X", all);
    fe.pictures++;
}

inline size_t audio_cb(const int16_t *, size_t frames)
{
    FUZZ_CHECK(frames == 960, "%zu sound frames", frames);
    fe.batches++;
    return frames;
}

inline void input_poll_cb() {}
inline int16_t input_state_cb(unsigned, unsigned, unsigned, unsigned) { return 0; }

// Starts the core once, in a working folder of its own with a system
// folder in it.
inline void start()
{
    static bool started = false;
    if (started) return;
    started = true;
    fe.system_dir = fuzz_enter_workdir() + "/system";
    FUZZ_CHECK(mkdir(fe.system_dir.c_str(), 0755) == 0, "cannot create %s", fe.system_dir.c_str());
    retro_set_environment(environment_cb);
    retro_set_video_refresh(video_cb);
    retro_set_audio_sample_batch(audio_cb);
    retro_set_input_poll(input_poll_cb);
    retro_set_input_state(input_state_cb);
    retro_init();
}

// Runs `frames` frames; each hands over one picture and one sound batch.
inline void run_frames(int frames)
{
    fe.pictures = fe.batches = 0;
    for (int i = 0; i < frames; i++) retro_run();
    FUZZ_CHECK(fe.pictures == frames && fe.batches == frames, "%d frames gave %d pictures, %d batches", frames,
               fe.pictures, fe.batches);
}

}  // namespace fuzz_libretro
