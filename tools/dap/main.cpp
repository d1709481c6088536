// ovix-dap: the Debug Adapter Protocol for editors (Visual Studio Code,
// Neovim's nvim-dap, ...), on standard input and output or, with --port,
// on a TCP port of the loopback address. Each session runs the machine in
// ovix-headless --console --json (session.h).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "session.h"

namespace {

bool write_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

// One session on a pair of descriptors, until the client disconnects or
// its input ends.
void serve(int in, int out, const dap::session_options &options)
{
    dap::session s(options);
    dap::reader reader;
    char buf[65536];
    for (;;) {
        pollfd p[3] = {{in, POLLIN, 0}, {s.child_out_fd(), POLLIN, 0}, {s.child_err_fd(), POLLIN, 0}};
        const int ready = poll(p, 3, s.poll_timeout());
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0) s.on_timeout();
        if (p[1].revents || p[2].revents) s.on_child();
        if (p[0].revents) {
            const ssize_t n = read(in, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;   // the client went away
            reader.feed(buf, (size_t)n);
            dap::frame f;
            while (!s.finished() && reader.next(&f)) {
                s.on_frame(f);
                if (!write_all(out, s.take_output())) return;
            }
        }
        if (!write_all(out, s.take_output())) return;
        if (s.finished()) return;
    }
}

std::string exe_dir()
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"ovix-dap: the Debug Adapter Protocol for the Ovix emulator (standard input and output by default)"};
    int port = -1;
    std::string runner;
    app.add_option("--port", port, "serve on this TCP port of 127.0.0.1 (0: any free port, printed), one session after another")
        ->check(CLI::Range(0, 65535));
    app.add_option("--runner", runner, "the ovix-headless to run the machine (default: beside ovix-dap, else on the PATH)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    signal(SIGPIPE, SIG_IGN);
    dap::session_options options;
    options.exe_dir = exe_dir();
    options.runner = runner;
    if (port < 0) {
        serve(0, 1, options);
        return 0;
    }
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)port);
    if (server < 0 || bind(server, (sockaddr *)&addr, sizeof addr) != 0 || listen(server, 1) != 0) {
        fprintf(stderr, "ovix-dap: cannot serve on 127.0.0.1:%d: %s\n", port, strerror(errno));
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(server, (sockaddr *)&addr, &len);
    printf("ovix-dap: listening on 127.0.0.1:%d\n", ntohs(addr.sin_port));
    fflush(stdout);
    for (;;) {
        const int client = accept(server, nullptr, nullptr);
        if (client < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "ovix-dap: accept: %s\n", strerror(errno));
            return 1;
        }
        serve(client, client, options);
        close(client);
    }
}
