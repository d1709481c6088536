// The machine behind the adapter (child.h).
#include "child.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dap {

namespace {

void close_fd(int *fd)
{
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

bool child::start(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
                  std::string *error, bool command_socket)
{
    stop();
    int in[2], out[2], err[2], report[2];
    // With a command socket, `in` and `out` are its two ends (the child's
    // is descriptor 3); its standard input reads nothing.
    const bool made = command_socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, in) == 0 : pipe(in) == 0 && pipe(out) == 0;
    if (command_socket) {
        out[0] = dup(in[0]);
        out[1] = dup(in[1]);
    }
    if (!made || pipe(err) || pipe2(report, O_CLOEXEC)) {
        *error = std::string("cannot make pipes: ") + strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("cannot start ") + program + ": " + strerror(errno);
        return false;
    }
    if (pid == 0) {
        // The child: the pipes as its standard files; it ends with the adapter.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (command_socket) {
            const int nothing = open("/dev/null", O_RDONLY);
            dup2(nothing, 0);
            dup2(in[1], 3);
            dup2(err[1], 1);
            if (nothing > 3) close(nothing);
        } else {
            dup2(in[0], 0);
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        // The originals go; with a command socket, descriptor 3 is its end.
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], report[0]})
            if (fd > 3 || !command_socket) close(fd);
        signal(SIGPIPE, SIG_DFL);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            const int e = errno;
            (void)!write(report[1], &e, sizeof e);
            _exit(127);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        const int e = errno;
        (void)!write(report[1], &e, sizeof e);
        _exit(127);
    }
    if (command_socket) {
        // Ours: in[0] (and its copy out[0]); the child's end goes.
        close(in[1]);
        close(out[1]);
        in[1] = in[0];
    } else {
        close(in[0]);
        close(out[1]);
    }
    close(err[1]);
    close(report[1]);
    // The report pipe closes at exec; an errno on it says why exec failed.
    int e = 0;
    const ssize_t n = read(report[0], &e, sizeof e);
    close(report[0]);
    pid_ = pid;
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    reaped_ = false;
    out_buf_.clear();
    err_buf_.clear();
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
    if (n == (ssize_t)sizeof e) {
        *error = (cwd.empty() || e != ENOENT ? "cannot start " + program : "cannot start " + program + " in " + cwd) +
                 ": " + strerror(e);
        stop();
        return false;
    }
    return true;
}

bool child::send(const std::string &line)
{
    if (in_ < 0) return false;
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {   // a socket shares the reading end's mode
            pollfd p = {in_, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0) {
            close_fd(&in_);
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

void child::pump()
{
    char buf[65536];
    for (int *fd : {&out_, &err_}) {
        while (*fd >= 0) {
            const ssize_t n = read(*fd, buf, sizeof buf);
            if (n > 0) {
                (fd == &out_ ? out_buf_ : err_buf_).append(buf, (size_t)n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            close_fd(fd);   // end of output
        }
    }
    // Standard error is only for messages: keep its last part.
    if (err_buf_.size() > 65536) err_buf_.erase(0, err_buf_.size() - 65536);
}

bool child::take_line(std::string *line)
{
    const size_t nl = out_buf_.find('\n');
    if (nl == std::string::npos) return false;
    *line = out_buf_.substr(0, nl);
    out_buf_.erase(0, nl + 1);
    return true;
}

bool child::wait_line(std::string *line, int timeout_ms)
{
    for (int waited = 0;;) {
        pump();
        if (take_line(line)) return true;
        if (out_ < 0 || waited >= timeout_ms) return false;
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        const int slice = 100;
        poll(p, err_ >= 0 ? 2 : 1, slice);
        waited += slice;
    }
}

std::string child::take_errors()
{
    pump();
    std::string e;
    e.swap(err_buf_);
    return e;
}

void child::interrupt()
{
    if (pid_ > 0 && !reaped_) kill(pid_, SIGINT);
}

void child::reap(bool wait)
{
    if (pid_ <= 0 || reaped_) return;
    int st = 0;
    const pid_t r = waitpid(pid_, &st, wait ? 0 : WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = st;
    }
}

void child::stop()
{
    if (pid_ <= 0) return;
    close_fd(&in_);
    reap(false);
    if (!reaped_) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && !reaped_; i++) {
            usleep(20000);
            reap(false);
        }
        if (!reaped_) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
    pump();
    close_fd(&out_);
    close_fd(&err_);
    pid_ = -1;
}

std::string child::how_it_ended()
{
    reap(false);
    if (!reaped_) return "is still running";
    if (WIFEXITED(status_)) return "exited with status " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_)) return "was ended by signal " + std::to_string(WTERMSIG(status_));
    return "ended";
}

}  // namespace dap
