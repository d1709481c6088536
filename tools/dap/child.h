// The machine behind the adapter: ovix-headless --console --json started
// as a child process on pipes. Commands go to its standard input, one a
// line; each reply is one JSON line on its standard output; what it says
// on standard error is gathered for messages. SIGINT stops a run in
// progress (the console's Ctrl-C).
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace dap {

class child {
public:
    child() = default;
    child(const child &) = delete;
    child &operator=(const child &) = delete;
    ~child() { stop(); }

    // Starts `program` with `args` in the folder `cwd` (empty: the
    // adapter's). With `command_socket` the commands and replies go through
    // a socket that the child has as descriptor 3 (the window program's
    // --console-fd 3), and its standard output joins its standard error.
    // False with *error set when it cannot be started.
    bool start(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
               std::string *error, bool command_socket = false);
    bool started() const { return pid_ > 0; }
    // False once its standard output has ended (it exited or crashed).
    bool alive() const { return pid_ > 0 && out_ >= 0; }
    int out_fd() const { return out_; }
    int err_fd() const { return err_; }

    // Sends one command line. False when the child no longer reads.
    bool send(const std::string &line);
    // Reads what its outputs hold now, without waiting.
    void pump();
    // Takes a whole reply line when one has arrived.
    bool take_line(std::string *line);
    // Waits up to `timeout_ms` for a reply line (while it is alive).
    bool wait_line(std::string *line, int timeout_ms);
    // What it wrote to standard error since the last call.
    std::string take_errors();

    void interrupt();
    // Ends it (SIGTERM, then SIGKILL) and collects its status.
    void stop();
    // How it ended, for messages ("exited with status 1", "killed by signal 9").
    std::string how_it_ended();

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string out_buf_, err_buf_;
    int status_ = -1;
    bool reaped_ = false;
    void reap(bool wait);
};

}  // namespace dap
