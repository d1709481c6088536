// The window program's snapshot and screenshot commands: the quick save and
// load keys (a file per slot in the working directory: quick.ovs for slot
// 1, quickN.ovs for slot N), "Save state" and "Load state" with the file
// selector, and the screenshot key.
//
// Each runs at a frame pass of the running (or paused) machine, between two
// instructions. A snapshot is the core's (state/snapshot.h), written through
// a temporary file renamed into place; a refused one leaves the machine as
// it was and its alert gives the loader's reason. After a load, the key
// queue, the frame schedule and the pacing start from the loaded machine.
#include "ovix_allegro.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "debug/png.h"
#include "host/files.h"
#include "main/frontend.h"
#include "main/keyqueue.h"
#include "main/loop.h"
#include "state/snapshot.h"
#include "video/tms3556.h"

using host_clock = std::chrono::steady_clock;

static double ms_since(host_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(host_clock::now() - t0).count();
}

// The name shown for a path: its last component.
static const char *shown_name(const std::string &path) { return get_filename(path.c_str()); }

static bool save_state_file(const std::string &path)
{
    // The snapshot records the key the machine holds, which the window
    // program keeps in its key queue, and the loop's pass count at this
    // frame pass: the next pass is the first after a frame pass.
    int code, host;
    ovix_set_key_state(keyq_held(&code, &host) ? ovix_key_state{code, host} : ovix_key_state{0xFF, 0});
    ovix_set_pass_counter(1);
    const host_clock::time_point t0 = host_clock::now();
    std::string error;
    // The window program has no run summary: both counts are recorded as 0.
    if (!snapshot_save(path.c_str(), snapshot_counts{}, &error)) {
        message_alert("Cannot save the snapshot", error.c_str());
        machine_resume();
        return false;
    }
    show_message("Saved %s in %.0f ms", shown_name(path), ms_since(t0));
    return true;
}

void after_state_load()
{
    // The key the snapshot holds is the queue's pressed stroke: released at
    // the next poll unless its host key is down now; keys queued for the
    // machine that was replaced are dropped.
    const ovix_key_state held = ovix_get_key_state();
    keyq_clear();
    if (held.code != 0xFF) keyq_hold(held.code, held.host);
    machine_resume();
}

static bool load_state_file(const std::string &path)
{
    const host_clock::time_point t0 = host_clock::now();
    std::string error;
    if (!snapshot_load(path.c_str(), &error)) {
        message_alert("Cannot load the snapshot", error.c_str());
        machine_resume();
        return false;
    }
    const double ms = ms_since(t0);
    after_state_load();
    show_message("Loaded %s in %.0f ms", shown_name(path), ms);
    return true;
}

int quick_slot() { return settings().slot; }

std::string quick_slot_file(int slot)
{
    return slot == 1 ? "quick.ovs" : "quick" + std::to_string(slot) + ".ovs";
}

void quick_save() { save_state_file(quick_slot_file(quick_slot())); }

// With no quick save in the slot: a short message over the picture.
void quick_load()
{
    const std::string file = quick_slot_file(quick_slot());
    if (!path_exists(file.c_str())) {
        show_message("No quick save in slot %d (%s)", quick_slot(), file.c_str());
        return;
    }
    load_state_file(file);
}

void change_quick_slot(int step)
{
    const int slot = (quick_slot() - 1 + step + SETTINGS_SLOTS) % SETTINGS_SLOTS + 1;
    settings().slot = slot;
    save_settings();
    const std::string file = quick_slot_file(slot);
    show_message("Quick-save slot %d: %s%s", slot, file.c_str(), path_exists(file.c_str()) ? "" : " (empty)");
}

// The snapshot selectors open in the folder of the last state file chosen,
// else in the cartridge's.
static std::string state_folder()
{
    return settings().state_folder.empty() ? settings().cart_folder : settings().state_folder;
}

static void remember_state_folder(const std::string &path)
{
    settings().state_folder = folder_of(path);
    save_settings();
}

void save_state_as()
{
    std::string path;
    if (!choose_file("Save the machine's state as", "snapshots", "ovs", state_folder(), &path)) return;
    // A name typed without an extension gets the snapshots' one.
    if (!strchr(get_filename(path.c_str()), '.') && path.back() != '/') path += ".ovs";
    if (const char *kind = file_kind(path.c_str()); kind && strcmp(kind, "a regular file") == 0) {
        char question[96];
        snprintf(question, sizeof question, "Replace %.80s?", get_filename(path.c_str()));
        if (alert(question, nullptr, nullptr, "&Yes", "&No", 'y', 'n') != 1) return;
    }
    if (save_state_file(path)) remember_state_folder(path);
}

void load_state_from()
{
    std::string path;
    if (!choose_file("Load a machine state", "snapshots", "ovs;json", state_folder(), &path)) return;
    if (load_state_file(path)) remember_state_folder(path);
}

// ---------------------------------------------------------------------------
// Screenshots: the machine's 320 x 250 picture, as the runner writes it, to
// screen000.png, screen001.png, ... in the working directory: each takes the
// first number no file has, and a file that appears meanwhile is never
// replaced.

static constexpr int PICTURE_W = 320, PICTURE_H = 250;

void take_screenshot()
{
    static int next = 0;
    static const char *const suffixes[] = {".png", nullptr};
    BITMAP *frame = tms3556_redraw();
    const auto write_png = [frame](const std::string &path, std::string *error) {
        const char *e = png_write_frame(path.c_str(), frame, PICTURE_W, PICTURE_H, false);
        if (e) *error = e;
        return !e;
    };
    std::string name, error = "no picture to capture";
    if (frame && write_numbered_file("screen", 3, suffixes, ".png", &next, write_png, &name, &error)) {
        show_message("Wrote %s", name.c_str());
        return;
    }
    message_alert("No screenshot", error.c_str());
    machine_resume();
}
