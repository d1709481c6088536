// Host key events to the machine's key changes, one change per poll.
#include "machine/keyqueue.h"

#include <atomic>
#include <cstdint>

#include "machine/loop.h"

static constexpr int SCANCODES = 128;
static constexpr int RELEASE_BIT = 0x80;

// The ring: written by keyq_push (one producer, the keyboard driver),
// read by keyq_drain (the emulation thread).
static uint8_t s_ring[KEYQ_RING];
static std::atomic<unsigned> s_ring_head{0};   // next slot to write
static std::atomic<unsigned> s_ring_tail{0};   // next slot to read

struct stroke {
    uint8_t host;    // scancode
    uint8_t code;    // the machine's code
    bool released;   // the host key has gone up since the press
};

// Strokes in press order, a circular list; the first one is the machine's
// held key once `s_pressed` is set.
static stroke s_strokes[KEYQ_STROKES];
static int s_first = 0, s_count = 0;
static bool s_pressed = false;

static bool s_ignored[SCANCODES];   // down when the machine resumed: ignored until it goes up

void keyq_push(int scancode)
{
    const unsigned head = s_ring_head.load(std::memory_order_relaxed);
    if (head - s_ring_tail.load(std::memory_order_acquire) >= KEYQ_RING) return;
    s_ring[head % KEYQ_RING] = (uint8_t)scancode;
    s_ring_head.store(head + 1, std::memory_order_release);
}

static stroke &nth(int i) { return s_strokes[(s_first + i) % KEYQ_STROKES]; }

// The stroke of host key k that waits for its release (there is at most
// one), or null.
static stroke *open_stroke(int k)
{
    for (int i = s_count - 1; i >= 0; i--)
        if (nth(i).host == k && !nth(i).released) return &nth(i);
    return nullptr;
}

static void host_down(int k)
{
    // A repeat of a key already down (the host's auto-repeat) adds nothing.
    if (s_ignored[k] || open_stroke(k)) return;
    const int code = ovix_key_code(k);
    if (code < 0 || s_count == KEYQ_STROKES) return;
    nth(s_count++) = {(uint8_t)k, (uint8_t)code, false};
}

static void host_up(int k)
{
    if (s_ignored[k]) {
        s_ignored[k] = false;
        return;
    }
    if (stroke *s = open_stroke(k)) s->released = true;
}

// Reads the ring; with `apply` false the events are only discarded.
static void read_ring(bool apply)
{
    unsigned tail = s_ring_tail.load(std::memory_order_relaxed);
    const unsigned head = s_ring_head.load(std::memory_order_acquire);
    for (; tail != head; tail++) {
        const int e = s_ring[tail % KEYQ_RING];
        if (!apply) continue;
        if (e & RELEASE_BIT)
            host_up(e & ~RELEASE_BIT);
        else
            host_down(e);
    }
    s_ring_tail.store(tail, std::memory_order_release);
}

void keyq_drain() { read_ring(true); }

int keyq_next(bool can_take)
{
    read_ring(true);
    if (!can_take || s_count == 0) return -1;
    if (!s_pressed) {
        s_pressed = true;
        return nth(0).code;
    }
    if (!nth(0).released) return -1;
    s_first = (s_first + 1) % KEYQ_STROKES;
    s_count--;
    s_pressed = false;
    return OVIX_KEY_RELEASE;
}

void keyq_resume(const volatile char *down, int keys)
{
    read_ring(false);
    auto is_down = [&](int k) { return k < keys && down[k] != 0; };
    for (int k = 0; k < SCANCODES; k++) s_ignored[k] = false;
    for (int i = 0; i < s_count; i++)
        if (!nth(i).released && !is_down(nth(i).host)) nth(i).released = true;
    for (int k = 0; k < SCANCODES; k++)
        if (is_down(k) && !open_stroke(k)) s_ignored[k] = true;
}

void keyq_clear()
{
    read_ring(false);
    s_first = s_count = 0;
    s_pressed = false;
    for (int k = 0; k < SCANCODES; k++) s_ignored[k] = false;
}

bool keyq_held(int *code, int *host)
{
    if (!s_pressed) return false;
    *code = nth(0).code;
    *host = nth(0).host;
    return true;
}

void keyq_hold(int code, int host)
{
    if (s_pressed || s_count == KEYQ_STROKES || host < 0 || host >= SCANCODES) return;
    // Before the strokes still waiting: it was delivered first.
    s_first = (s_first + KEYQ_STROKES - 1) % KEYQ_STROKES;
    s_count++;
    nth(0) = {(uint8_t)host, (uint8_t)code, false};
    s_pressed = true;
}

void keyq_set_held(int code, int host, const volatile char *down, int keys)
{
    read_ring(true);
    if (s_pressed) {
        s_first = (s_first + 1) % KEYQ_STROKES;
        s_count--;
        s_pressed = false;
    }
    if (code == 0xFF || host < 0 || host >= SCANCODES || s_count == KEYQ_STROKES) return;
    s_first = (s_first + KEYQ_STROKES - 1) % KEYQ_STROKES;
    s_count++;
    nth(0) = {(uint8_t)host, (uint8_t)code, !(host < keys && down[host])};
    s_pressed = true;
}

int keyq_strokes(keyq_stroke *out, int max)
{
    for (int i = 0; i < s_count && i < max; i++) out[i] = {nth(i).host, nth(i).code, nth(i).released};
    return s_count;
}
