// A scripted client of the debug adapter for the tests: ovix-dap started on
// pipes, requests written as the editors write them, responses and events
// read back with a generous time limit (the machine may be loaded).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace dap_test {

using json = nlohmann::json;

constexpr int WAIT_MS = 60000;

class client {
public:
    // Starts ovix-dap with `args`; false when it cannot.
    bool start(const std::vector<std::string> &args = {})
    {
        int in[2], out[2];
        if (pipe(in) || pipe(out)) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv;
            static std::string program = std::string(OVIX_BINARY_DIR) + "/tools/dap/ovix-dap";
            argv.push_back(program.data());
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
        signal(SIGPIPE, SIG_IGN);
        return true;
    }

    // Starts `ovix-dap --port 0` and connects to the port it prints, as an
    // editor attaches to an adapter already serving. False when the adapter
    // does not say where it listens or refuses the connection.
    bool start_tcp()
    {
        if (!start({"--port", "0"})) return false;
        tcp_ = true;
        // "ovix-dap: listening on 127.0.0.1:PORT"; the pipes then serve no more.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        char ch;
        while (listening_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < limit) {
            pollfd p = {from_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
            if (read(from_, &ch, 1) != 1) break;
            listening_ += ch;
        }
        close(from_);
        from_ = -1;
        const size_t colon = listening_.rfind(':');
        if (listening_.rfind("ovix-dap: listening on 127.0.0.1:", 0) != 0 || colon == std::string::npos) return false;
        port_ = std::stoi(listening_.substr(colon + 1));
        return connect_tcp();
    }

    // A new connection to the port of start_tcp (the previous one closed).
    bool connect_tcp()
    {
        if (to_ >= 0) close(to_);
        to_ = from_ = -1;
        buf_.clear();
        events_.clear();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons((uint16_t)port_);
        if (fd < 0 || connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        to_ = from_ = fd;
        return true;
    }

    // What the adapter printed when it started on a port.
    const std::string &listening() const { return listening_; }

    ~client() { stop(); }

    void stop()
    {
        if (to_ >= 0) close(to_);
        if (from_ == to_) from_ = -1;   // one socket both ways
        to_ = -1;
        // An adapter on a port serves one session after another: it ends
        // only when told to.
        if (tcp_ && pid_ > 0) kill(pid_, SIGTERM);
        if (pid_ > 0) {
            // The adapter ends when its input does; wait for it a while.
            for (int i = 0; i < 200; i++) {
                int status;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    exit_status_ = status;
                    pid_ = -1;
                    break;
                }
                usleep(20000);
            }
            if (pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        if (from_ >= 0) close(from_);
        from_ = -1;
    }

    // Writes raw bytes (for malformed messages).
    void raw(const std::string &bytes) { (void)!write(to_, bytes.data(), bytes.size()); }

    // Sends a request; returns its seq.
    int send(const std::string &command, const json &arguments = json())
    {
        json m = {{"seq", ++seq_}, {"type", "request"}, {"command", command}};
        if (!arguments.is_null()) m["arguments"] = arguments;
        const std::string body = m.dump();
        raw("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return seq_;
    }

    // The next message (null json when none came in time or the adapter ended).
    json next(int wait_ms = WAIT_MS)
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        for (;;) {
            const size_t end = buf_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t at = buf_.find("Content-Length: ");
                const size_t length = std::stoul(buf_.substr(at + 16, end - at - 16));
                if (buf_.size() >= end + 4 + length) {
                    json m = json::parse(buf_.substr(end + 4, length));
                    buf_.erase(0, end + 4 + length);
                    seen_.push_back(m);
                    return m;
                }
            }
            const int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now()).count();
            if (left <= 0) return json();
            pollfd p = {from_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char tmp[65536];
            const ssize_t n = read(from_, tmp, sizeof tmp);
            if (n <= 0) return json();
            buf_.append(tmp, (size_t)n);
        }
    }

    // The response to request `seq` (events before it are kept in events()).
    json response(int seq)
    {
        for (json m = next(); !m.is_null(); m = next()) {
            if (m["type"] == "response" && m["request_seq"] == seq) return m;
            if (m["type"] == "event") events_.push_back(m);
        }
        return json();
    }

    json request(const std::string &command, const json &arguments = json()) { return response(send(command, arguments)); }

    // The next event named `name` (events already read first).
    json event(const std::string &name, int wait_ms = WAIT_MS)
    {
        for (size_t i = 0; i < events_.size(); i++)
            if (events_[i]["event"] == name) {
                json e = events_[i];
                events_.erase(events_.begin() + (long)i);
                return e;
            }
        for (json m = next(wait_ms); !m.is_null(); m = next(wait_ms)) {
            if (m["type"] == "event" && m["event"] == name) return m;
            if (m["type"] == "event") events_.push_back(m);
        }
        return json();
    }

    // Every message read so far, for failure messages.
    std::string transcript() const
    {
        std::string t;
        for (const json &m : seen_) t += m.dump().substr(0, 400) + "\n";
        return t;
    }

    std::vector<json> &events() { return events_; }
    int exit_status() const { return exit_status_; }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    bool tcp_ = false;
    int port_ = 0;
    std::string listening_;
    int seq_ = 0;
    std::string buf_;
    std::vector<json> events_, seen_;
    int exit_status_ = -1;
};

}  // namespace dap_test
