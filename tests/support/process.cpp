#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <sstream>

using std::chrono::milliseconds;
using std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        abort();
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
    }
    if (err_fd_ >= 0) {
        close(err_fd_);
    }
}

bool ChildProcess::pump(milliseconds timeout) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    std::string* sinks[2] = {&out_, &err_};
    int* owners[2] = {&out_fd_, &err_fd_};
    if (out_fd_ < 0 && err_fd_ < 0) {
        return false;
    }
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0) {
        return true;
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t length = read(fds[i].fd, chunk, sizeof chunk);
        if (length > 0) {
            sinks[i]->append(chunk, static_cast<size_t>(length));
        } else {
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
    return true;
}

bool ChildProcess::wait_for_output(const std::string& text, milliseconds timeout) {
    return wait_for(out_, text, timeout);
}

bool ChildProcess::wait_for_error(const std::string& text, milliseconds timeout) {
    return wait_for(err_, text, timeout);
}

bool ChildProcess::wait_for(const std::string& read, const std::string& text,
                            milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    while (read.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0 || !pump(left)) {
            return read.find(text) != std::string::npos;
        }
    }
    return true;
}

void ChildProcess::send_signal(int signal) {
    kill(pid_, signal);
}

ProcessResult ChildProcess::finish(milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            kill(pid_, SIGKILL);
            break;
        }
        if (!pump(left)) {
            break;
        }
    }
    while (pump(milliseconds(1000))) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    ProcessResult result;
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = out_;
    result.err = err_;
    return result;
}

ProcessResult run_process(const std::vector<std::string>& arguments, milliseconds timeout) {
    ChildProcess child(arguments);
    return child.finish(timeout);
}

std::string flenko_path() {
    return FLENKO_BINARY;
}

std::string flenko_short_path() {
    return FLENKO_SHORT_BINARY;
}

namespace {

// Whether a server could bind this port now: no listener, no TIME_WAIT, no datagram socket.
bool port_is_free(int port, int type) {
    const int probe = socket(AF_INET6, type, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return bound;
}

}  // namespace

int fresh_port() {
    // Random even ports below the ephemeral range, probed for both protocols on the port
    // and the one after it (the UDP benchmark's).
    static std::mt19937 generator(static_cast<unsigned>(getpid()) ^ std::random_device{}());
    std::uniform_int_distribution<int> pick(5000, 15999);
    for (;;) {
        const int port = pick(generator) * 2;
        if (port_is_free(port, SOCK_STREAM) && port_is_free(port + 1, SOCK_STREAM) &&
            port_is_free(port, SOCK_DGRAM) && port_is_free(port + 1, SOCK_DGRAM)) {
            return port;
        }
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}
