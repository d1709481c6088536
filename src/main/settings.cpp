// The window program's remembered settings (see settings.h). The text is
// parsed by the graphics library's configuration functions, on a state of
// their own (pushed and popped), so that the library's own configuration
// is never touched.
#include "main/settings.h"

#include "main/ovix_allegro.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "host/files.h"

namespace fs = std::filesystem;

static constexpr const char *SECTION = "ovix";
static constexpr const char *RECENT = "recent";

std::string settings_path()
{
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/ovix/ovix.cfg";
    const char *home = getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.config/ovix/ovix.cfg";
    return "";
}

// A whole decimal number in [lo, hi], or false.
static bool parse_int(const char *text, int lo, int hi, int *value)
{
    if (!text || !*text) return false;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *value = (int)v;
    return true;
}

// The values read back as they were written: one line, no blanks around.
static bool storable(const std::string &v)
{
    return !v.empty() && v.find_first_of("\r\n") == std::string::npos && !isspace((unsigned char)v.front()) &&
           !isspace((unsigned char)v.back());
}

// Reads the settings from the library's current configuration. Returns the
// reason for refusing them, or "".
static std::string read_values(ovix_settings *s)
{
    int version = 0;
    const char *v = get_config_string(SECTION, "version", nullptr);
    if (!v) return "no version line in the [ovix] section (not a settings file of this program)";
    if (!parse_int(v, 1, 1000000, &version)) return std::string("version is '") + v + "', not a number";
    if (version > SETTINGS_VERSION)
        return "written by a later version of the program (settings version " + std::to_string(version) +
               ", this program reads " + std::to_string(SETTINGS_VERSION) + ")";

    auto number = [&](const char *name, int lo, int hi, int *field) -> std::string {
        const char *text = get_config_string(SECTION, name, nullptr);
        if (!text) return "";
        if (parse_int(text, lo, hi, field)) return "";
        return std::string(name) + " is '" + text + "', not " + std::to_string(lo) + " to " + std::to_string(hi);
    };
    auto choice = [&](const char *name, const char *yes, const char *no, bool *field) -> std::string {
        const char *text = get_config_string(SECTION, name, nullptr);
        if (!text) return "";
        if (strcmp(text, yes) == 0 || strcmp(text, no) == 0) {
            *field = strcmp(text, yes) == 0;
            return "";
        }
        return std::string(name) + " is '" + text + "', not " + yes + " or " + no;
    };
    std::string error;
    if (!(error = number("scale", 1, 4, &s->scale)).empty()) return error;
    if (!(error = choice("speed", "fastest", "5mhz", &s->fastest)).empty()) return error;
    if (!(error = choice("fullscreen", "yes", "no", &s->fullscreen)).empty()) return error;
    if (!(error = number("slot", 1, SETTINGS_SLOTS, &s->slot)).empty()) return error;
    const char *x = get_config_string(SECTION, "window_x", nullptr), *y = get_config_string(SECTION, "window_y", nullptr);
    if (x || y) {
        if (!(error = number("window_x", -100000, 100000, &s->window_x)).empty()) return error;
        if (!(error = number("window_y", -100000, 100000, &s->window_y)).empty()) return error;
        if (!x || !y) return "window_x and window_y go together";
        s->placed = true;
    }
    if (const char *f = get_config_string(SECTION, "cart_folder", nullptr)) s->cart_folder = f;
    if (const char *f = get_config_string(SECTION, "state_folder", nullptr)) s->state_folder = f;
    for (int i = 1; i <= SETTINGS_RECENT; i++) {
        const std::string name = "cart" + std::to_string(i);
        if (const char *p = get_config_string(RECENT, name.c_str(), nullptr); p && *p) s->recent.push_back(p);
    }
    return "";
}

settings_read settings_load(const char *path, ovix_settings *s, std::string *error)
{
    std::string text, reason;
    long long size = 0;
    switch (read_input_file(path, SETTINGS_MAX_SIZE, &text, &size, &reason)) {
    case input_read::ok: break;
    case input_read::not_opened:
        if (!path_exists(path)) return settings_read::missing;
        *error = reason;
        return settings_read::refused;
    case input_read::too_big:
        *error = std::string(path) + ": " + std::to_string(size) + " bytes, more than a settings file has (" +
                 std::to_string(SETTINGS_MAX_SIZE) + " at most)";
        return settings_read::refused;
    case input_read::read_error:
        *error = reason;
        return settings_read::refused;
    }
    if (text.find('\0') != std::string::npos) {
        *error = std::string(path) + ": binary data, not a settings file";
        return settings_read::refused;
    }
    ovix_settings read;
    push_config_state();
    set_config_data(text.data(), (int)text.size());
    reason = read_values(&read);
    pop_config_state();
    if (!reason.empty()) {
        *error = std::string(path) + ": " + reason;
        return settings_read::refused;
    }
    *s = read;
    return settings_read::ok;
}

std::string settings_text(const ovix_settings &s)
{
    std::string t = "# The Ovix emulator's window settings, rewritten by the program.\n[ovix]\n";
    auto line = [&](const char *name, const std::string &value) {
        if (storable(value)) t += std::string(name) + " = " + value + "\n";
    };
    line("version", std::to_string(SETTINGS_VERSION));
    line("scale", std::to_string(s.scale));
    line("speed", s.fastest ? "fastest" : "5mhz");
    line("fullscreen", s.fullscreen ? "yes" : "no");
    line("slot", std::to_string(s.slot));
    if (s.placed) {
        line("window_x", std::to_string(s.window_x));
        line("window_y", std::to_string(s.window_y));
    }
    line("cart_folder", s.cart_folder);
    line("state_folder", s.state_folder);
    t += "[recent]\n";
    int n = 0;
    for (const std::string &p : s.recent)
        if (storable(p) && n < SETTINGS_RECENT) line(("cart" + std::to_string(++n)).c_str(), p);
    return t;
}

bool settings_save(const char *path, const ovix_settings &s, std::string *error)
{
    std::error_code ec;
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec) {
        *error = folder.string() + ": " + ec.message();
        return false;
    }
    const std::string text = settings_text(s);
    return write_file_atomic(path, text.data(), text.size(), error);
}

void settings_add_recent(ovix_settings *s, const std::string &path)
{
    std::vector<std::string> &r = s->recent;
    r.erase(std::remove(r.begin(), r.end(), path), r.end());
    r.insert(r.begin(), path);
    if (r.size() > (size_t)SETTINGS_RECENT) r.resize(SETTINGS_RECENT);
}
