// The window program's snapshot and screenshot commands: the quick save and
// load keys (one file, quick.ovs, in the working directory), "Save state"
// and "Load state" with the file selector, and the screenshot key.
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

static constexpr const char *QUICK_FILE = "quick.ovs";

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

void quick_save() { save_state_file(QUICK_FILE); }

void quick_load() { load_state_file(QUICK_FILE); }

// The file selector's path: the last state file chosen, so that the next
// selector opens in its folder.
static char s_state_path[6144] = "";

void save_state_as()
{
    char path[sizeof s_state_path];
    snprintf(path, sizeof path, "%s", s_state_path);
    // Cancel (or Escape) in the selector: nothing happens.
    if (!file_select_ex("Save the machine's state as", path, nullptr, 1024, 480, 384)) return;
    if (const char *kind = file_kind(path); kind && strcmp(kind, "a regular file") == 0) {
        char question[96];
        snprintf(question, sizeof question, "Replace %.80s?", get_filename(path));
        if (alert(question, nullptr, nullptr, "&Yes", "&No", 'y', 'n') != 1) return;
    }
    if (save_state_file(path)) snprintf(s_state_path, sizeof s_state_path, "%s", path);
}

void load_state_from()
{
    char path[sizeof s_state_path];
    snprintf(path, sizeof path, "%s", s_state_path);
    if (!file_select_ex("Load a machine state", path, nullptr, 1024, 480, 384)) return;
    if (load_state_file(path)) snprintf(s_state_path, sizeof s_state_path, "%s", path);
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
