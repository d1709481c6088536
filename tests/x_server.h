// A virtual X server of a test's own: Xvfb picks a free display and says
// which (-displayfd); the server ends with the object.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct XServer {
    pid_t pid = -1;
    std::string display;   // ":N" once started

    // Waits up to `wait_ms` for the server to name its display.
    bool start(int wait_ms = 20000)
    {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd p = {fds[0], POLLIN, 0};
        while (poll(&p, 1, wait_ms) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) return false;
        display = ":" + number;
        return true;
    }

    ~XServer()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};
