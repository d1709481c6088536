// The window program's remembered settings: a small text file in the
// user's configuration folder ($XDG_CONFIG_HOME/ovix/ovix.cfg, else
// ~/.config/ovix/ovix.cfg), read with the graphics library's configuration
// functions and written back through the host files' atomic writer.
//
//     [ovix]
//     version = 1
//     scale = 2
//     speed = 5mhz
//     ...
//     [recent]
//     cart1 = /home/me/roms/demo.rom
//
// A file is taken whole or not at all: one that cannot be read, has a bad
// value, or was written by a later version is refused with one message,
// and the program runs with the defaults and leaves that file as it is.
#pragma once

#include <string>
#include <vector>

constexpr int SETTINGS_VERSION = 1;
constexpr int SETTINGS_RECENT = 8;          // recent cartridges kept
constexpr int SETTINGS_SLOTS = 9;           // quick-save slots 1 to 9
constexpr long long SETTINGS_MAX_SIZE = 65536;

struct ovix_settings {
    int scale = 2;                      // window of 320*scale x 250*scale, 1 to 4
    bool fastest = false;               // speed: fastest instead of 5 MHz
    bool fullscreen = false;
    int slot = 1;                       // the quick-save slot, 1 to SETTINGS_SLOTS
    std::string cart_folder;            // where the cartridge selector opens; empty: the working directory
    std::string state_folder;           // where the snapshot selectors open; empty: see the front end
    std::vector<std::string> recent;    // cartridges loaded, newest first, at most SETTINGS_RECENT
    bool placed = false;                // the window's position is known:
    int window_x = 0, window_y = 0;     // its top-left corner on the screen

    bool operator==(const ovix_settings &) const = default;
};

// The settings file's path from the environment: $XDG_CONFIG_HOME when it
// is an absolute path, else $HOME/.config; empty when neither is set.
std::string settings_path();

enum class settings_read { ok, missing, refused };

// Reads `path` into *s. missing: there is no file (*s keeps the defaults,
// no message). refused: *error says why, naming the file ("<path>: scale
// is 7, not 1 to 4"), and *s keeps the defaults.
settings_read settings_load(const char *path, ovix_settings *s, std::string *error);

// The file's text for `s`.
std::string settings_text(const ovix_settings &s);

// Writes `s` to `path` (its folder made first), replacing the file only
// once the new one is complete. False with *error set on failure.
bool settings_save(const char *path, const ovix_settings &s, std::string *error);

// `path` becomes the newest of the recent cartridges (once in the list).
void settings_add_recent(ovix_settings *s, const std::string &path);
