// The window program's snapshot, screenshot and movie commands: the quick
// save and load keys (a file per slot in the working directory: quick.ovs
// for slot 1, quickN.ovs for slot N), "Save state" and "Load state" with
// the file selector, the screenshot key, and the recording and playing of
// movies (F10, the popup, --record and --play).
//
// Each runs at a frame pass of the running (or paused) machine, between two
// instructions; those that replace the machine run between two runs
// (between_runs). A snapshot is the core's (state/snapshot.h), written
// through a temporary file renamed into place; a refused one leaves the
// machine as it was and its alert gives the loader's reason. After a load,
// the key queue, the frame schedule and the pacing start from the loaded
// machine, and the timeline begins anew.
#include "main/ovix_allegro.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "services/png.h"
#include "host/files.h"
#include "main/frontend.h"
#include "machine/keyqueue.h"
#include "machine/loop.h"
#include "state/movie.h"
#include "state/snapshot.h"
#include "state/timeline.h"
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
    // The running machine keeps its own count: the timeline's keyframes
    // and any re-run of its time go on from it.
    int code, host;
    ovix_set_key_state(keyq_held(&code, &host) ? ovix_key_state{code, host} : ovix_key_state{0xFF, 0});
    const int pass_counter = ovix_get_pass_counter();
    ovix_set_pass_counter(1);
    const host_clock::time_point t0 = host_clock::now();
    std::string error;
    // The window program has no run summary: both counts are recorded as 0.
    const bool saved = snapshot_save(path.c_str(), snapshot_counts{}, &error);
    ovix_set_pass_counter(pass_counter);
    if (!saved) {
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
    const std::string recorded = movie_so_far();
    const host_clock::time_point t0 = host_clock::now();
    std::string error;
    if (!snapshot_load(path.c_str(), &error)) {
        message_alert("Cannot load the snapshot", error.c_str());
        machine_resume();
        return false;
    }
    const double ms = ms_since(t0);
    tl_restart();
    after_state_load();
    const std::string note = movie_replaced(recorded);
    show_message("Loaded %s in %.0f ms%s", shown_name(path), ms, note.c_str());
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

void take_screenshot()
{
    static int next = 0;
    static const char *const suffixes[] = {".png", nullptr};
    const uint8 *frame = tms3556_redraw();
    const auto write_png = [frame](const std::string &path, std::string *error) {
        const char *e = png_write_frame(path.c_str(), frame, false);
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

// ---------------------------------------------------------------------------
// Movies: the timeline's record (state/timeline.h) written by movie_save's
// format. A recording in progress, a movie being played.

static struct {
    bool recording;
    std::string path;   // the recording's file; empty: the next free movieNNN.ovm
    bool playing;       // a movie's input is being followed
    int next;           // the number tried first for movieNNN.ovm
} s_movie;

bool movie_recording() { return s_movie.recording; }

// With --rewind 0 a timeline is kept only while a movie needs it.
static void end_timeline_unless_needed()
{
    if (rewind_seconds() == 0 && !s_movie.recording && !s_movie.playing) tl_end();
}

void movie_record(const std::string &path, bool restart)
{
    if (!tl_active())
        tl_begin(1);   // for the movie alone: the newest keyframes are kept, the input all of it
    else if (restart)
        tl_restart();   // a movie being played ends: its future is gone
    if (restart) s_movie.playing = false;
    s_movie.recording = true;
    s_movie.path = path;
    show_message("Recording a movie (F10 stops it)");
}

// Writes a recording's text: to its file, else to a new numbered file,
// never replacing one. *name: the file written (or tried).
static bool write_movie(const std::string &path, const std::string &text, std::string *name, std::string *error)
{
    if (!path.empty()) {
        *name = path;
        return write_file_atomic(path.c_str(), text.data(), text.size(), error);
    }
    static const char *const suffixes[] = {".ovm", nullptr};
    const auto write_new = [&text](const std::string &file, std::string *why) {
        output_file out;
        if (!out.open(file.c_str(), why)) return false;
        fwrite(text.data(), 1, text.size(), out.file());
        return out.commit(why, false);
    };
    return write_numbered_file("movie", 3, suffixes, ".ovm", &s_movie.next, write_new, name, error);
}

// Ends the recording, saving `text`; returns where it went ("movie saved as
// NAME"). A failed write is said in an alert.
static std::string end_recording(const std::string &text)
{
    const std::string path = s_movie.path;
    s_movie.recording = false;
    s_movie.path.clear();
    end_timeline_unless_needed();
    std::string name, error;
    if (write_movie(path, text, &name, &error)) return std::string("movie saved as ") + shown_name(name);
    message_alert("Cannot save the movie", error.c_str());
    machine_resume();
    return "the movie was not saved";
}

void toggle_movie()
{
    if (!s_movie.recording) {
        movie_record("", true);
        return;
    }
    const std::string where = end_recording(movie_text());
    show_message("Recording stopped: %s", where.c_str());
}

std::string movie_so_far() { return s_movie.recording ? movie_text() : std::string(); }

std::string movie_replaced(const std::string &text)
{
    s_movie.playing = false;
    if (!s_movie.recording) {
        end_timeline_unless_needed();
        return "";
    }
    return "; " + end_recording(text);
}

void movie_at_exit()
{
    if (!s_movie.recording) return;
    s_movie.recording = false;
    std::string name, error;
    if (!write_movie(s_movie.path, movie_text(), &name, &error))
        fprintf(stderr, "ovix: the movie was not saved: %s\n", error.c_str());
}

bool movie_play(const std::string &path, std::string *error)
{
    const std::string recorded = movie_so_far();
    if (!movie_load(path.c_str(), error)) return false;
    after_state_load();
    // The recording so far ends; the timeline is the movie's now.
    s_movie.playing = true;
    const std::string note = s_movie.recording ? "; " + end_recording(recorded) : "";
    show_message("Playing %s (typing takes over)%s", shown_name(path), note.c_str());
    return true;
}

void play_movie_from()
{
    std::string path, error;
    if (!choose_file("Play a movie", "movies", "ovm", state_folder(), &path)) return;
    if (!movie_play(path, &error)) {
        message_alert("Cannot play the movie", error.c_str());
        machine_resume();
        return;
    }
    remember_state_folder(path);
}

void movie_playback_ended(const char *message)
{
    if (!s_movie.playing) return;
    s_movie.playing = false;
    show_message("%s", message);
    end_timeline_unless_needed();
}
