// The libretro core (ovix_libretro.so): the Ovix machine inside a libretro
// front end. Like the headless runner it is a thin front end over the
// machine library: the BIOS and the cartridge go through the core's own
// loaders, and the machine runs in the shared emulation loop
// (machine/loop.h).
//
// One retro_run is one frame of the machine's 50 a second: the machine runs
// until its clock (cycles since power-on) has passed the next multiple of
// 100,000 cycles (20 ms at 5 MHz), looked at every 1000 instructions, as
// the window program paces its frames; frames follow the clock, so they
// never drift. The frame pass that ends the run polls the keyboard (at most
// one key change from the key queue, input.h); then the picture goes to the
// front end (320 x 250, XRGB8888) with 20 ms of silence: the machine has no
// sound, but front ends pace and synchronise by the audio they are given.
//
// Content: a cartridge image of any size the cartridge loader takes, or
// none (the BIOS alone). The BIOS is BIOS7020.bin in the front end's system
// folder; without one (or with the core option ovix_bios set to "open") it
// is our open BIOS, built into the core.
//
// Save states hold the key queue's strokes and the machine state
// (machine/machine_state.h); they are of fixed size, and checked whole before
// anything changes.
//
// Tracing is off for the core's whole life: a front end's working folder
// gets no trace.log and no debug.lst is read there.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include <libretro.h>

#include "debug/trace.h"
#include "host/files.h"
#include "io/io_cpu.h"
#include "libretro/input.h"
#include "machine/frame.h"
#include "machine/keyqueue.h"
#include "machine/loop.h"
#include "machine/machine_state.h"
#include "host/sha256.h"
#include "mem/memory.h"
#include "time/timer.h"
#include "version.h"
#include "video/tms3556.h"

// Our open BIOS, generated from the image the build assembles.
extern const unsigned char ovix_open_bios[2048];

static constexpr int FRAMES_PER_SECOND = 50;
static constexpr uint64 FRAME_CYCLES = ORLO_SUBSECONDS / FRAMES_PER_SECOND;   // 100,000: 20 ms at 5 MHz
static constexpr int SAMPLE_RATE = 48000;
static constexpr int FRAME_SAMPLES = SAMPLE_RATE / FRAMES_PER_SECOND;   // stereo samples per frame
static constexpr const char *BIOS_FILE = "BIOS7020.bin";
static constexpr const char *BIOS_OPTION = "ovix_bios";

static struct {
    retro_environment_t environment;
    retro_video_refresh_t video;
    retro_audio_sample_batch_t audio;
    retro_input_poll_t input_poll;
    retro_input_state_t input_state;
    retro_log_printf_t log;
    bool started;          // retro_init ran
    bool loaded;           // a machine runs (content, or the BIOS alone)
    unsigned device;       // port 1's device: RETRO_DEVICE_JOYPAD, _KEYBOARD or _NONE
    uint64 frame_end;      // the clock at which the frame being run ends
    bool frame_done;
    bool picture_valid;    // pixels holds the picture of frame_serial
    uint32 picture_serial;
    uint32 pixels[PICTURE_W * PICTURE_H];
    int16_t silence[FRAME_SAMPLES * 2];
} s = {};

// ---------------------------------------------------------------------------
// Messages: through the front end's log, or on standard error without one.

__attribute__((format(printf, 2, 3))) static void log_message(retro_log_level level, const char *format, ...)
{
    char text[1600];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (s.log)
        s.log(level, "[Ovix] %s\n", text);
    else
        fprintf(stderr, "[Ovix] %s\n", text);
}

// ---------------------------------------------------------------------------
// Core options.

static const char *option_value(const char *name)
{
    retro_variable v = {name, nullptr};
    if (s.environment && s.environment(RETRO_ENVIRONMENT_GET_VARIABLE, &v)) return v.value;
    return nullptr;
}

static void declare_options()
{
    static retro_core_option_v2_definition definitions[] = {
        {BIOS_OPTION, "BIOS", nullptr,
         "BIOS7020.bin from the system folder when it is there, else the open BIOS built into the core; or "
         "always the open BIOS. Takes effect when the content starts again.",
         nullptr, nullptr,
         {{"auto", "System folder's BIOS7020.bin, else the open BIOS"}, {"open", "Open BIOS"}, {nullptr, nullptr}},
         "auto"},
        {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {{nullptr, nullptr}}, nullptr},
    };
    static retro_core_options_v2 options = {nullptr, definitions};
    static const retro_variable variables[] = {
        {BIOS_OPTION, "BIOS; auto|open"},
        {nullptr, nullptr},
    };
    unsigned version = 0;
    if (s.environment(RETRO_ENVIRONMENT_GET_CORE_OPTIONS_VERSION, &version) && version >= 2)
        s.environment(RETRO_ENVIRONMENT_SET_CORE_OPTIONS_V2, &options);
    else
        s.environment(RETRO_ENVIRONMENT_SET_VARIABLES, (void *)variables);
}

// ---------------------------------------------------------------------------
// Loading images held in memory.

// Runs a loader that reads a file on bytes held in memory: they go to an
// anonymous in-memory file that the loader opens by its /proc/self/fd
// name, so that they get exactly the checks and the placement of a file on
// disk. In the loader's message that name becomes `name`. Null on success,
// else the message.
static const char *load_from_memory(const char *(*loader)(const char *), const void *data, size_t size,
                                    const char *name)
{
    static std::string error;
    const int fd = memfd_create("ovix-image", MFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot hold ") + name + " in memory: " + strerror(errno);
        return error.c_str();
    }
    const char *bytes = static_cast<const char *>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n <= 0) {
            error = std::string("cannot hold ") + name + " in memory: " + strerror(errno);
            close(fd);
            return error.c_str();
        }
        done += (size_t)n;
    }
    char path[48];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const char *e = loader(path);
    close(fd);
    if (!e) return nullptr;
    error = e;
    for (size_t at; (at = error.find(path)) != std::string::npos;) error.replace(at, strlen(path), name);
    return error.c_str();
}

// The BIOS: the system folder's BIOS7020.bin unless the option says
// otherwise, else (or when that file is refused) the open BIOS.
static bool load_bios()
{
    const char *choice = option_value(BIOS_OPTION);
    if (choice && strcmp(choice, "open") == 0) {
        log_message(RETRO_LOG_INFO, "BIOS: the open BIOS built into the core (core option)");
    } else {
        const char *dir = nullptr;
        if (!s.environment(RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY, &dir) || !dir || !*dir) {
            log_message(RETRO_LOG_INFO, "BIOS: the front end names no system folder; using the open BIOS built "
                                        "into the core");
        } else {
            const std::string path = std::string(dir) + "/" + BIOS_FILE;
            if (!path_exists(path.c_str())) {
                log_message(RETRO_LOG_INFO, "BIOS: no %s in the system folder %s; using the open BIOS built into "
                                            "the core",
                            BIOS_FILE, dir);
            } else if (const char *e = MemInitFrom(path.c_str())) {
                log_message(RETRO_LOG_WARN, "BIOS: %s; using the open BIOS built into the core instead", e);
            } else {
                log_message(RETRO_LOG_INFO, "BIOS: %s", path.c_str());
                return true;
            }
        }
    }
    if (const char *e = load_from_memory(MemInitFrom, ovix_open_bios, sizeof ovix_open_bios, "the open BIOS")) {
        log_message(RETRO_LOG_ERROR, "Memory initialization failed: %s", e);
        return false;
    }
    return true;
}

static bool load_cartridge(const retro_game_info *game)
{
    const char *e;
    if (game->path && *game->path)
        e = RomLoad(game->path);
    else
        e = load_from_memory(RomLoad, game->data, game->size, "the content");
    if (e) {
        log_message(RETRO_LOG_ERROR, "Not a valid ROM: %s", e);
        return false;
    }
    log_message(RETRO_LOG_INFO, "Cartridge: %s", game->path && *game->path ? game->path : "the content");
    return true;
}

// ---------------------------------------------------------------------------
// Running a frame.

static uint64 machine_cycles()
{
    const orlo_time t = orlo_get_time();
    return (uint64)t.seconds * ORLO_SUBSECONDS + t.subseconds;
}

static bool frame_due(void *) { return machine_cycles() >= s.frame_end; }

// After the keyboard poll of a frame pass: the frame is over once its time
// has come (the first pass of a run can be a frame pass before it has).
static void after_poll(void *)
{
    if (machine_cycles() < s.frame_end) return;
    s.frame_done = true;
    ask_bkpt = 1;   // the loop stops after this pass
}

static const loop_hooks frame_hooks = {nullptr, after_poll, nullptr, frame_due};

// The machine's keys come from the queue; a change waits until the I/O
// processor is ready for it.
static int key_from_queue()
{
    static const int ready = get_state_num("ready");
    return keyq_next(cur_state == ready);
}

static void run_frame()
{
    s.frame_end = (machine_cycles() / FRAME_CYCLES + 1) * FRAME_CYCLES;
    s.frame_done = false;
    // A program's debugger request (a read of the video chip's register
    // port) only ends one call: the frame goes on.
    while (!s.frame_done) ovix_resume(LOOP_NO_TARGET, UINT64_MAX, &frame_hooks);
}

// The machine's 320 x 250 picture as XRGB8888, copied only when the video
// chip has drawn a new one.
static void update_picture()
{
    const uint8 *picture = tms3556_redraw();
    const uint32 serial = tms3556_frame_serial();
    if (s.picture_valid && serial == s.picture_serial) return;
    frame_to_xrgb(picture, s.pixels, PICTURE_W);
    s.picture_valid = true;
    s.picture_serial = serial;
}

// Whether the front end wants the picture and the sound of this frame (it
// may not, for frames it runs ahead or fast-forwards through).
static void wanted_outputs(bool *video, bool *audio)
{
    int enable = 3;
    if (!s.environment(RETRO_ENVIRONMENT_GET_AUDIO_VIDEO_ENABLE, &enable)) enable = 3;
    *video = (enable & 1) != 0;
    *audio = (enable & 2) != 0;
}

// ---------------------------------------------------------------------------
// Input.

static void keyboard_event(bool down, unsigned keycode, uint32_t, uint16_t) { lr_input_key(down, keycode); }

static void read_pad()
{
    if (s.device != RETRO_DEVICE_JOYPAD || !s.input_state) return;
    static constexpr struct {
        unsigned id;
        unsigned button;
    } buttons[] = {
        {RETRO_DEVICE_ID_JOYPAD_UP, LR_PAD_UP},       {RETRO_DEVICE_ID_JOYPAD_DOWN, LR_PAD_DOWN},
        {RETRO_DEVICE_ID_JOYPAD_LEFT, LR_PAD_LEFT},   {RETRO_DEVICE_ID_JOYPAD_RIGHT, LR_PAD_RIGHT},
        {RETRO_DEVICE_ID_JOYPAD_B, LR_PAD_SPACE},     {RETRO_DEVICE_ID_JOYPAD_START, LR_PAD_ENTER},
    };
    unsigned held = 0;
    for (const auto &b : buttons)
        if (s.input_state(0, RETRO_DEVICE_JOYPAD, 0, b.id)) held |= b.button;
    lr_input_pad(held);
}

static void describe_input()
{
    static const retro_input_descriptor descriptors[] = {
        {0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_UP, "Up arrow"},
        {0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_DOWN, "Down arrow"},
        {0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_LEFT, "Left arrow"},
        {0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_RIGHT, "Right arrow"},
        {0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_B, "Space"},
        {0, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_START, "Enter"},
        {0, 0, 0, 0, nullptr},
    };
    s.environment(RETRO_ENVIRONMENT_SET_INPUT_DESCRIPTORS, (void *)descriptors);
    static retro_keyboard_callback keyboard = {keyboard_event};
    s.environment(RETRO_ENVIRONMENT_SET_KEYBOARD_CALLBACK, &keyboard);
}

// The RAM at its machine addresses, for cheats and memory watches.
static void describe_memory()
{
    static retro_memory_descriptor ram = {RETRO_MEMDESC_SYSTEM_RAM, ram_2k, 0, 0xC000, 0, 0, sizeof ram_2k,
                                          nullptr};
    static retro_memory_map map = {&ram, 1};
    s.environment(RETRO_ENVIRONMENT_SET_MEMORY_MAPS, &map);
}

// ---------------------------------------------------------------------------
// The libretro API.

RETRO_API unsigned retro_api_version() { return RETRO_API_VERSION; }

RETRO_API void retro_set_environment(retro_environment_t environment)
{
    s.environment = environment;
    retro_log_callback log = {nullptr};
    s.log = environment(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, &log) ? log.log : nullptr;
    bool no_game = true;
    environment(RETRO_ENVIRONMENT_SET_SUPPORT_NO_GAME, &no_game);
    static const retro_controller_description devices[] = {
        {"RetroPad", RETRO_DEVICE_JOYPAD},
        {"Keyboard only", RETRO_DEVICE_KEYBOARD},
    };
    static const retro_controller_info ports[] = {{devices, 2}, {nullptr, 0}};
    environment(RETRO_ENVIRONMENT_SET_CONTROLLER_INFO, (void *)ports);
    declare_options();
}

RETRO_API void retro_set_video_refresh(retro_video_refresh_t f) { s.video = f; }
RETRO_API void retro_set_audio_sample(retro_audio_sample_t) {}
RETRO_API void retro_set_audio_sample_batch(retro_audio_sample_batch_t f) { s.audio = f; }
RETRO_API void retro_set_input_poll(retro_input_poll_t f) { s.input_poll = f; }
RETRO_API void retro_set_input_state(retro_input_state_t f) { s.input_state = f; }

RETRO_API void retro_init()
{
    if (s.started) return;
    no_trace();
    tms3556_init(0x8000);
    ovix_key_source = key_from_queue;
    s.device = RETRO_DEVICE_JOYPAD;
    s.started = true;
}

RETRO_API void retro_deinit()
{
    if (!s.started) return;
    ovix_key_source = nullptr;
    s.started = false;
    s.loaded = false;
}

RETRO_API void retro_get_system_info(retro_system_info *info)
{
    *info = {};
    info->library_name = "Ovix";
    info->library_version = OVIX_VERSION_TEXT;
    info->valid_extensions = "rom|bin";
    // The cartridge loader reads the file itself.
    info->need_fullpath = true;
    info->block_extract = false;
}

RETRO_API void retro_get_system_av_info(retro_system_av_info *info)
{
    *info = {};
    info->geometry.base_width = info->geometry.max_width = PICTURE_W;
    info->geometry.base_height = info->geometry.max_height = PICTURE_H;
    // The picture fills a 4:3 television screen.
    info->geometry.aspect_ratio = 4.0f / 3.0f;
    info->timing.fps = FRAMES_PER_SECOND;
    info->timing.sample_rate = SAMPLE_RATE;
}

RETRO_API void retro_set_controller_port_device(unsigned port, unsigned device)
{
    if (port != 0) return;
    s.device = device;
    if (device != RETRO_DEVICE_JOYPAD) lr_input_pad(0);   // its buttons let go
}

RETRO_API void retro_reset()
{
    // The machine's RESET, as the window program's: processors and video
    // chip reset, RAM and cartridge kept. Strokes queued for the machine
    // before it are dropped.
    if (!s.loaded) return;
    ovix_reset();
    lr_input_reset();
}

RETRO_API void retro_run()
{
    if (!s.loaded) return;
    bool updated = false;
    if (s.environment(RETRO_ENVIRONMENT_GET_VARIABLE_UPDATE, &updated) && updated)
        log_message(RETRO_LOG_INFO, "the BIOS option takes effect when the content starts again");
    if (s.input_poll) s.input_poll();
    read_pad();
    lr_input_flush();
    run_frame();
    bool video, audio;
    wanted_outputs(&video, &audio);
    if (video) update_picture();
    if (s.video) s.video(s.pixels, PICTURE_W, PICTURE_H, PICTURE_W * sizeof(uint32));
    if (audio && s.audio) s.audio(s.silence, FRAME_SAMPLES);
}

// ---------------------------------------------------------------------------
// Save states: a header, the key queue's strokes (input.h), a SHA-256 of
// both, then the machine state in its own checked byte form. The size is
// fixed, as front ends need it for rewinding, run-ahead and netplay.

static constexpr char STATE_MAGIC[8] = {'O', 'V', 'I', 'X', 'C', 'O', 'R', 'E'};
static constexpr uint32 STATE_VERSION = 1;
static constexpr size_t STATE_HEADER = 16;   // magic, version, size
static constexpr size_t STATE_INPUT = STATE_HEADER;
static constexpr size_t STATE_CHECKSUM = STATE_INPUT + LR_INPUT_STATE_SIZE;
static constexpr size_t STATE_MACHINE = STATE_CHECKSUM + SHA256_BYTES;
static constexpr size_t STATE_BYTES = STATE_MACHINE + MACHINE_STATE_BYTES;

static void put32(uint8 *p, uint32 v)
{
    for (int i = 0; i < 4; i++) p[i] = (uint8)(v >> (8 * i));
}

static uint32 get32(const uint8 *p) { return p[0] | (uint32)p[1] << 8 | (uint32)p[2] << 16 | (uint32)p[3] << 24; }

RETRO_API size_t retro_serialize_size() { return STATE_BYTES; }

RETRO_API bool retro_serialize(void *data, size_t size)
{
    if (!s.loaded || size < STATE_BYTES) return false;
    auto *out = static_cast<uint8 *>(data);
    memcpy(out, STATE_MAGIC, sizeof STATE_MAGIC);
    put32(out + 8, STATE_VERSION);
    put32(out + 12, (uint32)STATE_BYTES);
    lr_input_save(out + STATE_INPUT);
    ovix_sha256(out, STATE_CHECKSUM, out + STATE_CHECKSUM);
    // The machine state records the key the machine holds as the snapshot
    // files do (the core keeps it in its key queue, saved above).
    int code, host;
    ovix_set_key_state(keyq_held(&code, &host) ? ovix_key_state{code, host} : ovix_key_state{0xFF, 0});
    static machine_state machine;   // 35 KiB: not on the front end's stack
    machine_state_capture(&machine);
    machine_state_write(machine, out + STATE_MACHINE);
    return true;
}

// Why `in` is not a state this core can load now, or null. Nothing changes.
static const char *state_problem(const uint8 *in, size_t size)
{
    static std::string reason;
    if (size != STATE_BYTES) {
        reason = "the state is " + std::to_string(size) + " bytes long; this core's states have " +
                 std::to_string(STATE_BYTES);
        return reason.c_str();
    }
    if (memcmp(in, STATE_MAGIC, sizeof STATE_MAGIC) != 0) return "the state is not a state of this core";
    if (get32(in + 8) != STATE_VERSION) {
        reason = "the state is of format version " + std::to_string(get32(in + 8)) + "; this core reads version " +
                 std::to_string(STATE_VERSION);
        return reason.c_str();
    }
    if (get32(in + 12) != STATE_BYTES) return "the state is corrupted: its recorded size is wrong";
    uint8 digest[SHA256_BYTES];
    ovix_sha256(in, STATE_CHECKSUM, digest);
    if (memcmp(digest, in + STATE_CHECKSUM, sizeof digest) != 0)
        return "the state is corrupted: its key queue does not match its checksum";
    if (const char *e = lr_input_check(in + STATE_INPUT)) {
        reason = std::string("the state is corrupted: ") + e;
        return reason.c_str();
    }
    return nullptr;
}

RETRO_API bool retro_unserialize(const void *data, size_t size)
{
    if (!s.loaded) return false;
    const auto *in = static_cast<const uint8 *>(data);
    const char *problem = state_problem(in, size);
    std::string error;
    // The machine state is checked whole (and against the images running)
    // before it replaces the machine.
    if (!problem && !machine_state_load_bytes(in + STATE_MACHINE, MACHINE_STATE_BYTES, "the state's machine", &error))
        problem = error.c_str();
    if (problem) {
        log_message(RETRO_LOG_ERROR, "Cannot load the state: %s", problem);
        return false;
    }
    lr_input_restore(in + STATE_INPUT);
    s.picture_valid = false;
    return true;
}

RETRO_API void retro_cheat_reset() {}
RETRO_API void retro_cheat_set(unsigned, bool, const char *) {}

RETRO_API bool retro_load_game(const retro_game_info *game)
{
    if (!s.started) return false;
    s.loaded = false;
    retro_pixel_format format = RETRO_PIXEL_FORMAT_XRGB8888;
    if (!s.environment(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format)) {
        log_message(RETRO_LOG_ERROR, "the front end cannot show XRGB8888 pictures");
        return false;
    }
    const bool cartridge = game && ((game->path && *game->path) || game->data);
    // The BIOS loader empties the cartridge area: the BIOS goes first.
    if (!load_bios()) return false;
    if (cartridge && !load_cartridge(game)) return false;
    if (!cartridge) log_message(RETRO_LOG_INFO, "No cartridge: the BIOS alone");
    // A cold start, then the reset that starts a cartridge, as LOAD ROM does.
    ovix_power_on();
    if (cartridge) ovix_reset();
    ovix_set_pass_counter(0);
    ovix_set_key_state(ovix_key_state{0xFF, 0});
    lr_input_reset();
    describe_input();
    describe_memory();
    s.picture_valid = false;
    s.loaded = true;
    return true;
}

RETRO_API bool retro_load_game_special(unsigned, const retro_game_info *, size_t) { return false; }

RETRO_API void retro_unload_game() { s.loaded = false; }

RETRO_API unsigned retro_get_region() { return RETRO_REGION_PAL; }

RETRO_API void *retro_get_memory_data(unsigned id)
{
    switch (id) {
    case RETRO_MEMORY_SYSTEM_RAM: return ram_2k;
    case RETRO_MEMORY_VIDEO_RAM: return vram;
    default: return nullptr;
    }
}

RETRO_API size_t retro_get_memory_size(unsigned id)
{
    switch (id) {
    case RETRO_MEMORY_SYSTEM_RAM: return sizeof ram_2k;
    case RETRO_MEMORY_VIDEO_RAM: return sizeof vram;
    default: return 0;
    }
}
