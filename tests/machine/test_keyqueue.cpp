// The window program's key queue: host key events in, the machine's key
// changes out, one per poll, none lost; and the loop's key source.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "io/io_cpu.h"
#include "machine/keyqueue.h"
#include "machine/loop.h"

namespace {

const std::map<std::string, int> KEYS = {
    {"a", OVIX_KEY_A}, {"b", OVIX_KEY_B}, {"c", OVIX_KEY_C}, {"1", OVIX_KEY_1}, {"up", OVIX_KEY_UP},
    {"shift", OVIX_KEY_LSHIFT}, {"esc", OVIX_KEY_ESC}, {"f1", OVIX_KEY_F1},
};

// Runs a script: "+k" / "-k" a host key goes down / up; "." a poll with the
// I/O processor ready, "x" one with it busy; "d" the pause begins
// (keyq_drain); "c" everything is forgotten (keyq_clear); "r:k,k" the
// machine resumes with those keys down; "h:k"
// a restored snapshot holds k (keyq_hold); "m:k" / "M:k" the machine went
// back in time holding k, up / down on the host ("m:-": holding none,
// keyq_set_held); "?" shows the held key as
// "[K]", "[ ]" for none. Returns
// what each poll gave: the key's character, '^' for a release, '_' for
// nothing.
std::string play(const std::string &script)
{
    keyq_clear();
    std::istringstream in(script);
    std::string op, out;
    while (in >> op) {
        if (op == "." || op == "x") {
            const int c = keyq_next(op == ".");
            out += c < 0 ? '_' : c == OVIX_KEY_RELEASE ? '^' : c == 0x80 ? 'U' : (char)c;
        } else if (op == "d") {
            keyq_drain();
        } else if (op == "c") {
            keyq_clear();
        } else if (op == "?") {
            int code, host;
            out += keyq_held(&code, &host) ? std::string("[") + (char)code + "]" : "[ ]";
        } else if (op.rfind("h:", 0) == 0) {
            const int k = KEYS.at(op.substr(2));
            keyq_hold(ovix_key_code(k), k);
        } else if (op.rfind("m:", 0) == 0 || op.rfind("M:", 0) == 0) {
            char down[OVIX_KEY_MAX] = {};
            const std::string name = op.substr(2);
            const int k = name == "-" ? 0 : KEYS.at(name);
            if (op[0] == 'M') down[k] = 1;
            keyq_set_held(name == "-" ? 0xFF : ovix_key_code(k), k, down, OVIX_KEY_MAX);
        } else if (op.rfind("r:", 0) == 0) {
            char down[OVIX_KEY_MAX] = {};
            std::istringstream names(op.substr(2));
            std::string k;
            while (std::getline(names, k, ','))
                if (!k.empty()) down[KEYS.at(k)] = 1;
            keyq_resume(down, OVIX_KEY_MAX);
        } else {
            keyq_push(KEYS.at(op.substr(1)) | (op[0] == '-' ? 0x80 : 0));
        }
    }
    return out;
}

TEST(KeyQueue, Scripts)
{
    const struct {
        const char *name, *script, *polls;
    } cases[] = {
        {"a tap between two polls", "+a -a . . .", "A^_"},
        {"two taps between two polls, in order", "+a -a +b -b . . . . .", "A^B^_"},
        {"rollover: the second press waits for the first release", "+a +b -a -b . . . .", "A^B^"},
        {"held over polls", "+a . . -a . .", "A_^_"},
        {"the second key waits while the first is held", "+a . +b . . -a . . -b . .", "A__^B^_"},
        {"busy I/O processor: the change waits", "+a -a x x . x x .", "__A__^"},
        {"auto-repeat adds nothing", "+a +a +a . +a -a . .", "A^_"},
        {"the same key twice", "+a -a +a -a . . . .", "A^A^"},
        {"keys the machine does not have", "+shift +esc +f1 +1 -1 -shift . .", "1^"},
        {"arrows", "+up -up . .", "U^"},
        // Pauses: what was typed for the machine before stays, what was
        // typed in the dialogs goes, a key down at the resume is ignored
        // until it goes up.
        {"typed before the pause is kept", "+a -a +b -b d +c -c r: . . . . .", "A^B^_"},
        {"typed during the pause is dropped", "+c -c r: . .", "__"},
        {"down at the resume: no press", "+b r:b . -b . +c -c . .", "__C^"},
        {"held stroke released during the pause", "+a . r: . .", "A^_"},
        {"held stroke still down at the resume", "+a . r:a . -a . .", "A_^_"},
        {"pending stroke released during the pause", "+a . +b d r: . . . .", "A^B^_"},
        // The held key as a snapshot records and restores it.
        {"the held key is the delivered stroke", "+a ? . ? -a . ?", "[ ]A[A]^[ ]"},
        {"restored held key, up on the host: released at once", "h:a r: ? . .", "[A]^_"},
        {"restored held key, down on the host: released when it goes up", "h:a r:a . -a . ?", "_^[ ]"},
        // The machine's held key replaced (gone back in time): it is
        // released unless down on the host; strokes typed meanwhile follow.
        {"held key replaced, up on the host", "+a . m:b ? . .", "A[B]^_"},
        {"held key replaced, down on the host", "M:b . -b . .", "_^_"},
        {"typed strokes follow the replaced held key", "+a . +c -c m:b . . . .", "A^C^_"},
        {"the machine holds none: the waiting strokes come next", "+a . +c -c m:- ? . .", "A[ ]C^"},
        // A clear forgets the held stroke; the key pressed again is a stroke.
        {"a key held before a clear, pressed again", "+a . c -a +a -a . . .", "AA^_"},
        {"a key held across a clear, released after it", "+a . c . -a . .", "A___"},
    };
    for (const auto &c : cases) EXPECT_EQ(play(c.script), c.polls) << c.name << ": " << c.script;
    keyq_clear();
}

TEST(KeyQueue, FullQueueDropsTheNewestOnly)
{
    keyq_clear();
    for (int i = 0; i < KEYQ_STROKES + 10; i++) {
        keyq_push(i % 2 ? OVIX_KEY_B : OVIX_KEY_A);
        keyq_push((i % 2 ? OVIX_KEY_B : OVIX_KEY_A) | 0x80);
        keyq_drain();
    }
    std::string out, expected;
    for (int c; (c = keyq_next(true)) >= 0;) out += c == OVIX_KEY_RELEASE ? '^' : (char)c;
    for (int i = 0; i < KEYQ_STROKES; i++) expected += i % 2 ? "B^" : "A^";
    EXPECT_EQ(out, expected);
}

TEST(KeyQueue, BothSidesOfTheRingAndTheStrokeList)
{
    // The ring holds KEYQ_RING host events: the one after them is dropped
    // (here a release, so the key stays held). The stroke list holds
    // KEYQ_STROKES strokes: the newest is dropped, the others arrive in
    // the order of their presses (keys a, b, c in turn make the order
    // visible).
    auto repeats = [](int events) {   // +a, auto-repeats, -a: `events` in all
        std::string s = "+a";
        for (int i = 2; i < events; i++) s += " +a";
        return s + " -a . . .";
    };
    auto strokes = [](int n) {
        std::string s;
        for (int i = 0; i < n; i++) s += std::string(" +") + "abc"[i % 3] + " -" + "abc"[i % 3];
        s += " d";
        for (int i = 0; i < 2 * n + 2; i++) s += " .";
        return s;
    };
    auto played = [](int n) {
        std::string s;
        for (int i = 0; i < n; i++) s += std::string(1, "ABC"[i % 3]) + "^";
        return s;
    };
    const struct {
        const char *name;
        std::string script, polls;
    } cases[] = {
        {"a full ring", repeats(KEYQ_RING), "A^_"},
        {"one event more", repeats(KEYQ_RING + 1), "A__"},
        {"a full stroke list", strokes(KEYQ_STROKES), played(KEYQ_STROKES) + "__"},
        {"one stroke more", strokes(KEYQ_STROKES + 1), played(KEYQ_STROKES) + "____"},
    };
    for (const auto &c : cases) EXPECT_EQ(play(c.script), c.polls) << c.name;
    keyq_clear();
}

TEST(KeyQueue, LoopPollSendsWhatTheSourceGives)
{
    static std::vector<int> given;
    given = {0x41, -1, OVIX_KEY_RELEASE};
    ovix_key_source = [] {
        const int c = given.front();
        given.erase(given.begin());
        return c;
    };
    std::string sent;
    for (int i = 0; i < 3; i++) {
        l_7041_char = 0;
        ovix_key();
        sent += l_7041_char == 0 ? '_' : l_7041_char == OVIX_KEY_RELEASE ? '^' : l_7041_char;
    }
    ovix_key_source = nullptr;
    EXPECT_EQ(sent, "A_^");
}

}  // namespace
