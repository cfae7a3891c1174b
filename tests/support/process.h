// Runs the product as a real process and reads what it prints.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    int exit_status = -1;  // -1 when it did not exit by itself
    int signal = 0;        // the signal that ended it, if any
    std::string out;
    std::string err;
};

// A child process with its standard output and error on pipes; killed when destroyed.
class ChildProcess {
   public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }

    // Reads until standard output holds text (true) or the time runs out (false).
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
    // The same for standard error.
    bool wait_for_error(const std::string& text, std::chrono::milliseconds timeout);

    // Standard output and error read so far.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    void send_signal(int signal);

    // Waits for the end, reading all output; kills the process if it outlives the timeout.
    ProcessResult finish(std::chrono::milliseconds timeout);

   private:
    bool wait_for(const std::string& read, const std::string& text,
                  std::chrono::milliseconds timeout);
    // Reads what is there, waiting at most timeout; false once both pipes are closed.
    bool pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    bool reaped_ = false;
};

// Runs to the end with the given time limit.
ProcessResult run_process(const std::vector<std::string>& arguments,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Paths of the binaries under test: the product, and its build with one-second phases.
std::string flenko_path();
std::string flenko_short_path();

// The lines of a printed text, without their line breaks.
std::vector<std::string> lines_of(const std::string& text);

// A port nobody else in this test run uses, so servers never meet an old TIME_WAIT.
int fresh_port();
