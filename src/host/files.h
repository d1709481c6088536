// Host files: the one place where the programs open what the user names.
//
// Inputs (BIOS, cartridge, snapshot, debug.lst, sources) are read only when
// they are regular files: a FIFO or a device would block or never end, a
// directory reads as nothing. Outputs (state, screenshots, dumps,
// snapshots) are written to a temporary file in the target's folder and
// renamed into place only when complete, so that a failed write (a full
// disk) never leaves a truncated file or destroys the file that was there.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Opens `path` for binary reading if it is a regular file. On failure
// returns null and sets *error to "<path>: <reason>", where the reason is
// the system's ("No such file or directory", "Permission denied") or what
// the path is instead of a file ("a directory, not a file", "a FIFO, not a
// file"); callers put their own words in front ("cannot open cartridge ").
// Never blocks, whatever the path names. *size gets the file's size when
// `size` is not null.
FILE *open_input_file(const char *path, std::string *error, long long *size = nullptr);

// Reads the whole of `path`, opened as open_input_file does, into *data
// when it has at most max_size bytes. not_opened: *error holds
// open_input_file's message. too_big: *size is the file's size and nothing
// is read. read_error: a read failed, or the file changed while it was read
// (it ended before its size or went on after it, or its size changed);
// *error says which ("<path>: <reason>") and *data holds what was read.
enum class input_read { ok, not_opened, too_big, read_error };
input_read read_input_file(const char *path, long long max_size, std::string *data, long long *size,
                           std::string *error);

// Reads the first bytes of `path` (opened as open_input_file does) into
// `out`: min(file size, `room`) of them, *got says how many, *size is the
// file's size. The same checks as read_input_file: read_error when a read
// failed or the file changed while it was read (fewer bytes than its size
// promised, bytes past a size within `room`, or a size that changed).
input_read read_input_prefix(const char *path, void *out, size_t room, size_t *got, long long *size,
                             std::string *error);

// What kind of thing `path` names, for messages: "a directory", "a FIFO",
// "a character device", "a block device", "a socket", "a regular file", or
// null when it does not exist or cannot be examined.
const char *file_kind(const char *path);

// True when something (file, folder, link) exists at `path`.
bool path_exists(const char *path);

// A file written through a temporary file in the same folder.
//
// The target must be a regular file or not exist yet. A symbolic link is
// followed: the file it names is written (atomically, in its own folder)
// and the link is kept. A folder, FIFO, device or socket is refused with a
// clear message and never replaced. The temporary file's name is the
// target's, cut if need be to leave room for ".tmpXXXXXX" within the
// 255-character limit of a name.
//
//     output_file out;
//     if (!out.open(path, &error)) ...;
//     fprintf(out.file(), ...);
//     if (!out.commit(&error)) ...;     // renamed into place here
//
// Destroying an output_file that was not committed removes the temporary
// file and leaves `path` as it was.
class output_file {
public:
    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    ~output_file() { abandon(); }

    // Creates the temporary file (binary mode). False with *error set when
    // the folder cannot take a new file.
    bool open(const char *path, std::string *error);
    FILE *file() const { return f_; }
    // Flushes, checks every write, and renames the temporary file to the
    // target. With `replace` false the target must not exist: the call
    // fails (and writes nothing) if a file of that name appeared meanwhile,
    // so that numbered outputs never overwrite. False with *error set on
    // any failure; the temporary file is then removed.
    bool commit(std::string *error, bool replace = true);
    // Removes the temporary file without touching the target.
    void abandon();

private:
    FILE *f_ = nullptr;
    std::string path_;     // as given, for messages
    std::string target_;   // the file written: path_, or the file its symbolic link names
    std::string temp_;
};

// Writes `size` bytes to `path` through an output_file. False with *error
// set on failure, the old file at `path` kept.
bool write_file_atomic(const char *path, const void *data, size_t size, std::string *error);

// The first stem "<prefix><number>" (the number written with printf's
// "%0*d" and `digits`), for number = *next, *next + 1, ..., such that no
// file "<stem><suffix>" exists for any suffix in `suffixes` (a
// null-terminated list), so that numbered outputs of several kinds never
// share a number. *next is left at the number found.
std::string next_free_name(const char *prefix, int digits, const char *const *suffixes, int *next);

// Writes a new numbered file "<stem><suffix>", the stem being the first
// free one from *next on (see next_free_name), through write(name, error),
// which must never replace a file. A file of that name that appears
// meanwhile moves the write to the next free number, ten times at most.
// On success *next is the number after the one used. *name gets the name
// last tried. False with *error set when the file could not be written.
bool write_numbered_file(const char *prefix, int digits, const char *const *suffixes, const char *suffix,
                         int *next, const std::function<bool(const std::string &name, std::string *error)> &write,
                         std::string *name, std::string *error);
