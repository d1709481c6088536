// Host files: regular-file inputs and outputs written through a temporary
// file (see files.h).
#include "host/files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *kind_of(mode_t mode)
{
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

const char *file_kind(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) return nullptr;
    return kind_of(st.st_mode);
}

bool path_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

FILE *open_input_file(const char *path, std::string *error, long long *size)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer. The descriptor is examined before anything is read from it.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string(path) + ": " + strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = std::string(path) + ": " + strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = std::string(path) + ": " + kind_of(st.st_mode) + ", not a file";
        ::close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *f = fdopen(fd, "rb");
    if (!f) {
        *error = std::string(path) + ": " + strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (size) *size = (long long)st.st_size;
    return f;
}

// The end of a whole-file read: `got` bytes of the `wanted` the size
// promised were read; `whole` says that the read was to reach the file's
// end. A file being written meanwhile is shorter or longer than its size
// said, or its size changed. Closes the file.
static input_read finish_read(FILE *f, const char *path, long long size, size_t got, size_t wanted, bool whole,
                              std::string *error)
{
    bool changed = got != wanted && !ferror(f);
    if (!changed && !ferror(f) && whole) changed = fgetc(f) != EOF;
    struct stat st;
    const bool bad = ferror(f) != 0;
    const int err = errno;
    if (!bad && !changed && fstat(fileno(f), &st) == 0) changed = st.st_size != size;
    fclose(f);
    if (bad) {
        *error = std::string(path) + ": " + strerror(err);
        return input_read::read_error;
    }
    if (changed) {
        *error = std::string(path) + ": the file changed while it was read (" + std::to_string(size) +
                 " bytes when opened)";
        return input_read::read_error;
    }
    return input_read::ok;
}

input_read read_input_file(const char *path, long long max_size, std::string *data, long long *size,
                           std::string *error)
{
    FILE *f = open_input_file(path, error, size);
    if (!f) return input_read::not_opened;
    if (*size > max_size) {
        fclose(f);
        return input_read::too_big;
    }
    data->resize((size_t)*size);
    const size_t got = *size ? fread(data->data(), 1, data->size(), f) : 0;
    const input_read r = finish_read(f, path, *size, got, data->size(), true, error);
    data->resize(got);
    return r;
}

input_read read_input_prefix(const char *path, void *out, size_t room, size_t *got, long long *size,
                             std::string *error)
{
    *got = 0;
    FILE *f = open_input_file(path, error, size);
    if (!f) return input_read::not_opened;
    // What the size promised, and within `room` nothing after it.
    const size_t wanted = (unsigned long long)*size < room ? (size_t)*size : room;
    *got = wanted ? fread(out, 1, wanted, f) : 0;
    return finish_read(f, path, *size, *got, wanted, wanted < room, error);
}

// ---------------------------------------------------------------------------
// Outputs

// Where the output goes: `path`, or for a symbolic link the file it names
// (through links to links). An existing target must be a regular file;
// anything else (a folder, a FIFO, a device, a socket) is refused and left
// as it is. *why gets the reason.
static bool output_target(const std::string &path, std::string *target, std::string *why)
{
    // What the path names in the end, as the system follows it: this also
    // sees through links that name no path (/dev/stdout on a pipe).
    struct stat end;
    if (stat(path.c_str(), &end) == 0 && !S_ISREG(end.st_mode)) {
        *why = std::string(kind_of(end.st_mode)) + ", not a regular file: it is left as it is";
        return false;
    }
    std::string p = path;
    for (int links = 0;; links++) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) {
            // A new file (a missing folder is reported when the temporary
            // file cannot be made).
            *target = p;
            return true;
        }
        if (S_ISREG(st.st_mode)) {
            *target = p;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            *why = std::string(kind_of(st.st_mode)) + ", not a regular file: it is left as it is";
            return false;
        }
        if (links == 40) {
            *why = strerror(ELOOP);
            return false;
        }
        char link[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n < 0) {
            *why = strerror(errno);
            return false;
        }
        const std::string to(link, (size_t)n);
        // A relative link is relative to the folder that holds it.
        const size_t slash = p.rfind('/');
        p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
    }
}

// The temporary file's name pattern for `target`: in the same folder, the
// target's name (cut so that the whole name stays within the system's
// 255-character limit) and ".tmpXXXXXX".
static std::string temp_pattern(const std::string &target)
{
    static constexpr size_t SUFFIX = 10;   // ".tmpXXXXXX"
    const size_t slash = target.rfind('/');
    const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    const size_t keep = target.size() - name_at < NAME_MAX - SUFFIX ? target.size() - name_at : NAME_MAX - SUFFIX;
    return target.substr(0, name_at + keep) + ".tmpXXXXXX";
}

bool output_file::open(const char *path, std::string *error)
{
    abandon();
    path_ = path;
    std::string why;
    if (!output_target(path_, &target_, &why)) {
        *error = "cannot write " + path_ + ": " + why;
        return false;
    }
    temp_ = temp_pattern(target_);
    const int fd = mkstemp(temp_.data());
    if (fd < 0) {
        *error = std::string("cannot create ") + path + ": " + strerror(errno);
        temp_.clear();
        return false;
    }
    // mkstemp makes the file private (0600); give it the mode an ordinary
    // new file would have.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    f_ = fdopen(fd, "wb");
    if (!f_) {
        *error = std::string("cannot create ") + path + ": " + strerror(errno);
        ::close(fd);
        unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    return true;
}

bool output_file::commit(std::string *error, bool replace)
{
    if (!f_) {
        *error = "cannot write " + path_ + ": not open";
        return false;
    }
    bool ok = fflush(f_) == 0 && !ferror(f_);
    int err = ok ? 0 : errno;
    if (ok && fsync(fileno(f_)) != 0 && errno != EINVAL && errno != EROFS) {
        ok = false;
        err = errno;
    }
    if (fclose(f_) != 0 && ok) {
        ok = false;
        err = errno;
    }
    f_ = nullptr;
    std::string why;
    if (ok && replace) {
        // What is at the target now (a FIFO may have been made there
        // meanwhile) must still be a regular file or nothing.
        struct stat st;
        if (lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            why = std::string(kind_of(st.st_mode)) + ", not a regular file: it is left as it is";
        ok = why.empty();
    }
    if (ok) {
        if (replace) {
            if (rename(temp_.c_str(), target_.c_str()) != 0) {
                ok = false;
                err = errno;
            }
        } else {
            // link() refuses an existing target: no window in which a file
            // that appeared meanwhile would be overwritten.
            if (link(temp_.c_str(), target_.c_str()) != 0) {
                ok = false;
                err = errno;
            }
            unlink(temp_.c_str());
        }
    }
    if (!ok) {
        if (why.empty()) why = err == EEXIST ? "a file of that name exists" : strerror(err);
        *error = "cannot write " + path_ + ": " + why;
        unlink(temp_.c_str());
    }
    temp_.clear();
    return ok;
}

void output_file::abandon()
{
    if (f_) {
        fclose(f_);
        f_ = nullptr;
    }
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

bool write_file_atomic(const char *path, const void *data, size_t size, std::string *error)
{
    output_file out;
    if (!out.open(path, error)) return false;
    if (size && fwrite(data, 1, size, out.file()) != size) {
        *error = std::string("cannot write ") + path + ": " + strerror(errno);
        return false;   // the destructor removes the temporary file
    }
    return out.commit(error);
}

std::string next_free_name(const char *prefix, int digits, const char *const *suffixes, int *next)
{
    for (int n = *next < 0 ? 0 : *next;; n++) {
        char number[32];
        snprintf(number, sizeof number, "%0*d", digits, n);
        bool taken = false;
        for (const char *const *s = suffixes; *s && !taken; s++)
            taken = path_exists((std::string(prefix) + number + *s).c_str());
        if (!taken) {
            *next = n;
            return std::string(prefix) + number;
        }
    }
}

bool write_numbered_file(const char *prefix, int digits, const char *const *suffixes, const char *suffix,
                         int *next, const std::function<bool(const std::string &name, std::string *error)> &write,
                         std::string *name, std::string *error)
{
    int number = *next;
    for (int attempt = 0; attempt <= 10; attempt++, number++) {
        *name = next_free_name(prefix, digits, suffixes, &number) + suffix;
        if (write(*name, error)) {
            *next = number + 1;
            return true;
        }
        if (!path_exists(name->c_str())) break;
    }
    return false;
}
