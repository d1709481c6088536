// Typing into the machine (typing.h).
#include "services/typing.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/files.h"
#include "io/io_cpu.h"
#include "machine/keys.h"
#include "machine/loop.h"
#include "time/timer.h"

// The machine's keys by name, for {NAME} in typed text.
static const struct {
    const char *name;
    int key;
} named_keys[] = {
    {"ENTER", OVIX_KEY_ENTER}, {"RETURN", OVIX_KEY_ENTER}, {"SPACE", OVIX_KEY_SPACE}, {"UP", OVIX_KEY_UP},
    {"DOWN", OVIX_KEY_DOWN},   {"LEFT", OVIX_KEY_LEFT},    {"RIGHT", OVIX_KEY_RIGHT},
};

// Appends the keys of `text` to s->keys.
static bool add_keys(type_schedule *s, const char *text, std::string *error)
{
    for (const char *p = text; *p; p++) {
        const char c = *p;
        if (c >= 'a' && c <= 'z') {
            s->keys.push_back(OVIX_KEY_A + (c - 'a'));
        } else if (c >= 'A' && c <= 'Z') {
            s->keys.push_back(OVIX_KEY_A + (c - 'A'));
        } else if (c >= '0' && c <= '9') {
            s->keys.push_back(OVIX_KEY_0 + (c - '0'));
        } else if (c == ' ') {
            s->keys.push_back(OVIX_KEY_SPACE);
        } else if (c == '\n') {
            s->keys.push_back(OVIX_KEY_ENTER);
        } else if (c == '\\' && p[1] == 'n') {
            s->keys.push_back(OVIX_KEY_ENTER);
            p++;
        } else if (c == '{') {
            const char *end = strchr(p, '}');
            std::string name(p + 1, end ? (size_t)(end - p - 1) : strlen(p + 1));
            for (char &ch : name) ch = (char)toupper((unsigned char)ch);
            int found = -1;
            if (name.size() == 1 && isalpha((unsigned char)name[0])) found = OVIX_KEY_A + (name[0] - 'A');
            if (name.size() == 1 && isdigit((unsigned char)name[0])) found = OVIX_KEY_0 + (name[0] - '0');
            for (const auto &k : named_keys)
                if (name == k.name) found = k.key;
            if (!end || found < 0) {
                *error = "--type: {" + name.substr(0, 20) + (end ? "}" : "") +
                         " is not a key of the machine (its keys: A-Z, 0-9, {ENTER}, {SPACE}, {UP}, {DOWN}, "
                         "{LEFT}, {RIGHT})";
                return false;
            }
            s->keys.push_back(found);
            p = end;
        } else {
            char msg[96];
            if ((unsigned char)c >= 0x20 && (unsigned char)c < 0x7F)
                snprintf(msg, sizeof msg, "--type: the character '%c' has no key on the machine", c);
            else
                snprintf(msg, sizeof msg, "--type: the character 0x%02X has no key on the machine",
                         (unsigned char)c);
            *error = msg;
            return false;
        }
    }
    return true;
}

bool type_schedule_init(type_schedule *s, const char *text, std::string *error)
{
    *s = type_schedule{};
    return add_keys(s, text, error);
}

// A WHEN of --type-at: passes (decimal), or seconds/milliseconds of
// emulated time.
static bool parse_when(const std::string &w, type_wait *out)
{
    if (w.empty() || w.size() > 24) return false;
    const bool ms = w.size() > 2 && w.compare(w.size() - 2, 2, "ms") == 0;
    const bool sec = !ms && w.back() == 's';
    if (!ms && !sec) {
        for (char c : w)
            if (!isdigit((unsigned char)c)) return false;
        out->when = TYPE_AT_PASS;
        out->at = strtoull(w.c_str(), nullptr, 10);
        return w.size() <= 19;
    }
    const std::string number = w.substr(0, w.size() - (ms ? 2 : 1));
    char *end = nullptr;
    errno = 0;
    const double v = strtod(number.c_str(), &end);
    if (number.empty() || !end || *end || errno || !(v >= 0) || v > 1e9 || !isdigit((unsigned char)number[0]))
        return false;
    out->when = TYPE_AT_CYCLE;
    out->at = (uint64)(v * (ms ? ORLO_SUBSECONDS / 1000.0 : (double)ORLO_SUBSECONDS) + 0.5);
    return true;
}

bool type_schedule_add(type_schedule *s, const std::string &at_text, std::string *error)
{
    const size_t colon = at_text.find(':');
    type_wait w{s->keys.size(), TYPE_AT_PASS, 0};
    if (colon == std::string::npos || !parse_when(at_text.substr(0, colon), &w)) {
        *error = "--type-at " + at_text.substr(0, 40) +
                 ": WHEN:TEXT is needed, WHEN a count of passes (5000000) or an emulated time (2.5s, 300ms)";
        return false;
    }
    s->waits.push_back(w);
    return add_keys(s, at_text.c_str() + colon + 1, error);
}

bool type_schedule_file(type_schedule *s, const char *path, std::string *error)
{
    std::string text;
    long long size;
    switch (read_input_file(path, 1 << 20, &text, &size, error)) {
    case input_read::ok: break;
    case input_read::not_opened: *error = "--keys " + *error; return false;
    case input_read::too_big: *error = std::string("--keys ") + path + ": larger than 1 MiB"; return false;
    case input_read::read_error: *error = std::string("--keys ") + path + ": read error"; return false;
    }
    size_t start = 0;
    for (int line = 1; start < text.size(); line++) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string l = text.substr(start, nl - start);
        start = nl + 1;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        const size_t first = l.find_first_not_of(" \t");
        if (first == std::string::npos || l[first] == '#') continue;
        l = l.substr(first);
        // "WHEN TEXT" is "WHEN:TEXT"; a line without a time is typed next.
        const size_t sp = l.find_first_of(" \t:");
        type_wait w{};
        std::string e;
        bool ok;
        if (sp != std::string::npos && parse_when(l.substr(0, sp), &w)) {
            const size_t text_at = l[sp] == ':' ? sp + 1 : l.find_first_not_of(" \t", sp);
            ok = type_schedule_add(s, l.substr(0, sp) + ":" + (text_at == std::string::npos ? "" : l.substr(text_at)), &e);
        } else {
            ok = add_keys(s, l.c_str(), &e);
        }
        if (!ok) {
            *error = "--keys " + std::string(path) + ":" + std::to_string(line) + ": " +
                     (e.rfind("--type", 0) == 0 ? e.substr(e.find(':') + 2) : e);
            return false;
        }
    }
    return true;
}

void type_schedule_before_poll(type_schedule *s)
{
    if (!s->started) {
        // A chunk waits for its time, then for the I/O processor.
        for (const type_wait &w : s->waits) {
            if (w.index != s->pos) continue;
            const uint64 now = w.when == TYPE_AT_PASS ? ovix_machine_passes() : orlo_timer_cycles();
            if (now < w.at) return;
        }
        if (cur_state != get_state_num("ready")) return;
        s->started = true;
    }
    int want = -1;
    if (s->pos < s->keys.size()) {
        if (s->step < TYPE_DOWN_POLLS) want = s->keys[s->pos];
        if (++s->step == TYPE_DOWN_POLLS + TYPE_UP_POLLS) {
            s->step = 0;
            s->pos++;
            // The next chunk waits again.
            for (const type_wait &w : s->waits)
                if (w.index == s->pos) s->started = false;
        }
    }
    if (want != s->held) {
        if (s->held >= 0) s->key_change ? s->key_change(s->held, false) : (void)(ovix_key_down[s->held] = 0);
        if (want >= 0) s->key_change ? s->key_change(want, true) : (void)(ovix_key_down[want] = 1);
        s->held = want;
    }
}

bool type_schedule_done(const type_schedule *s) { return s->started && s->pos >= s->keys.size(); }
