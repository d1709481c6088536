// The front end's keys to the machine's key strokes (see input.h).
#include "libretro/input.h"

#include <cstring>
#include <mutex>

#include <libretro.h>

#include "machine/keyqueue.h"
#include "machine/loop.h"

static constexpr int SCANCODES = 128;
static constexpr int RELEASE_BIT = 0x80;   // an event's release flag, as the key queue reads it
static_assert(KEYQ_STROKES <= 255 && LR_INPUT_STATE_SIZE == 2 + 3 * (size_t)KEYQ_STROKES,
              "one record slot per stroke");

// The keyboard's keys that reach the machine (the window program's keys:
// letters, digits, Enter, Space, arrows); the key queue gives them their
// machine codes.
struct keyboard_key {
    unsigned retrok;
    int host;   // key number
};
static constexpr keyboard_key keyboard_keys[] = {
    {RETROK_a, OVIX_KEY_A}, {RETROK_b, OVIX_KEY_B}, {RETROK_c, OVIX_KEY_C}, {RETROK_d, OVIX_KEY_D}, {RETROK_e, OVIX_KEY_E},
    {RETROK_f, OVIX_KEY_F}, {RETROK_g, OVIX_KEY_G}, {RETROK_h, OVIX_KEY_H}, {RETROK_i, OVIX_KEY_I}, {RETROK_j, OVIX_KEY_J},
    {RETROK_k, OVIX_KEY_K}, {RETROK_l, OVIX_KEY_L}, {RETROK_m, OVIX_KEY_M}, {RETROK_n, OVIX_KEY_N}, {RETROK_o, OVIX_KEY_O},
    {RETROK_p, OVIX_KEY_P}, {RETROK_q, OVIX_KEY_Q}, {RETROK_r, OVIX_KEY_R}, {RETROK_s, OVIX_KEY_S}, {RETROK_t, OVIX_KEY_T},
    {RETROK_u, OVIX_KEY_U}, {RETROK_v, OVIX_KEY_V}, {RETROK_w, OVIX_KEY_W}, {RETROK_x, OVIX_KEY_X}, {RETROK_y, OVIX_KEY_Y},
    {RETROK_z, OVIX_KEY_Z},
    {RETROK_0, OVIX_KEY_0}, {RETROK_1, OVIX_KEY_1}, {RETROK_2, OVIX_KEY_2}, {RETROK_3, OVIX_KEY_3}, {RETROK_4, OVIX_KEY_4},
    {RETROK_5, OVIX_KEY_5}, {RETROK_6, OVIX_KEY_6}, {RETROK_7, OVIX_KEY_7}, {RETROK_8, OVIX_KEY_8}, {RETROK_9, OVIX_KEY_9},
    {RETROK_RETURN, OVIX_KEY_ENTER}, {RETROK_SPACE, OVIX_KEY_SPACE},
    {RETROK_UP, OVIX_KEY_UP}, {RETROK_DOWN, OVIX_KEY_DOWN}, {RETROK_LEFT, OVIX_KEY_LEFT}, {RETROK_RIGHT, OVIX_KEY_RIGHT},
};

struct pad_key {
    unsigned button;   // LR_PAD_*
    int host;
};
static constexpr pad_key pad_keys[] = {
    {LR_PAD_UP, OVIX_KEY_UP},       {LR_PAD_DOWN, OVIX_KEY_DOWN},   {LR_PAD_LEFT, OVIX_KEY_LEFT},
    {LR_PAD_RIGHT, OVIX_KEY_RIGHT}, {LR_PAD_SPACE, OVIX_KEY_SPACE}, {LR_PAD_ENTER, OVIX_KEY_ENTER},
};

// The keyboard callback may come from another thread than retro_run: the
// lock guards everything in s.
static std::mutex s_lock;
static struct {
    bool keyboard[SCANCODES];   // down on the keyboard
    bool pad[SCANCODES];        // down on the pad
    uint8 events[KEYQ_RING];    // for the key queue, oldest first: scancode, RELEASE_BIT for a release
    int count;
} s;

static bool is_down(int host) { return s.keyboard[host] || s.pad[host]; }

// One source's state of a key; a change of the combined state is an event.
// An event that does not fit is dropped, as the key queue's ring drops one.
static void set_key(bool *source, int host, bool down)
{
    const bool before = is_down(host);
    source[host] = down;
    if (is_down(host) != before && s.count < KEYQ_RING)
        s.events[s.count++] = (uint8)(host | (down ? 0 : RELEASE_BIT));
}

void lr_input_key(bool down, unsigned retrok)
{
    for (const keyboard_key &k : keyboard_keys) {
        if (k.retrok != retrok) continue;
        std::lock_guard<std::mutex> hold(s_lock);
        set_key(s.keyboard, k.host, down);
        return;
    }
}

void lr_input_pad(unsigned buttons)
{
    std::lock_guard<std::mutex> hold(s_lock);
    for (const pad_key &p : pad_keys) set_key(s.pad, p.host, (buttons & p.button) != 0);
}

void lr_input_flush()
{
    std::lock_guard<std::mutex> hold(s_lock);
    for (int i = 0; i < s.count; i++) keyq_push(s.events[i]);
    s.count = 0;
    keyq_drain();
}

void lr_input_reset()
{
    // The keys' states stay: they are the host's. A key held now reaches the
    // new machine only when pressed again.
    std::lock_guard<std::mutex> hold(s_lock);
    s.count = 0;
    keyq_clear();
}

// The record: the number of strokes, whether the first is the machine's
// held key, then per stroke its scancode, machine code and released flag
// (zeros past the last stroke). Between frames the queue's ring is empty
// (every frame ends with a keyboard poll, which reads it), so the strokes
// are the whole queue.
void lr_input_save(uint8 *out)
{
    std::lock_guard<std::mutex> hold(s_lock);
    keyq_stroke strokes[KEYQ_STROKES];
    const int n = keyq_strokes(strokes, KEYQ_STROKES);
    int code, host;
    memset(out, 0, LR_INPUT_STATE_SIZE);
    out[0] = (uint8)n;
    out[1] = keyq_held(&code, &host) ? 1 : 0;
    for (int i = 0; i < n; i++) {
        uint8 *r = out + 2 + 3 * i;
        r[0] = (uint8)strokes[i].host;
        r[1] = (uint8)strokes[i].code;
        r[2] = strokes[i].released ? 1 : 0;
    }
}

const char *lr_input_check(const uint8 *in)
{
    const int n = in[0];
    if (n > KEYQ_STROKES) return "the key queue holds more strokes than it can";
    if (in[1] > 1 || (in[1] && n == 0)) return "the key queue's held key is not one of its strokes";
    bool open[SCANCODES] = {};
    for (int i = 0; i < KEYQ_STROKES; i++) {
        const uint8 *r = in + 2 + 3 * i;
        if (i >= n) {
            if (r[0] | r[1] | r[2]) return "the key queue's record has bytes after its last stroke";
            continue;
        }
        if (r[0] >= SCANCODES || ovix_key_code(r[0]) != r[1]) return "a stroke of the key queue is not a machine key";
        if (r[2] > 1) return "a stroke of the key queue is neither released nor held";
        // The queue starts a key's stroke only once its earlier one was released.
        if (open[r[0]]) return "a stroke of the key queue follows one of its key that was not released";
        open[r[0]] = r[2] == 0;
    }
    return nullptr;
}

void lr_input_restore(const uint8 *in)
{
    std::lock_guard<std::mutex> hold(s_lock);
    keyq_clear();
    const int n = in[0];
    const bool pressed = in[1] != 0;
    // The held stroke first, as delivered; the others as the events that
    // made them, in their order.
    for (int i = 0; i < n; i++) {
        const uint8 *r = in + 2 + 3 * i;
        if (i == 0 && pressed)
            keyq_hold(r[1], r[0]);
        else
            keyq_push(r[0]);
        if (r[2]) keyq_push(r[0] | RELEASE_BIT);
    }
    keyq_drain();
    // A key that went up since the state was saved: its release event may
    // have gone to the machine that was replaced.
    for (int i = 0; i < n; i++) {
        const uint8 *r = in + 2 + 3 * i;
        if (!r[2] && !is_down(r[0])) keyq_push(r[0] | RELEASE_BIT);
    }
    keyq_drain();
}
