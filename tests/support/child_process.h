#pragma once
// Runs a program as a child process with its stdout and stderr captured, for process-level tests:
// wait for a line, send a signal, collect the exit status.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace velk::test {

class ChildProcess {
public:
    // Starts `program` with `args` in this environment, with `env` entries ("NAME=value") added or
    // replacing those of the same name.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads output until a line containing `text` arrives; false on timeout or end of output.
    bool waitforline(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void signal(int signo);
    // Waits for the exit; returns the exit code, or 128 + signal, or -1 on timeout (then kills).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Everything read so far (stdout and stderr interleaved).
    const std::string& output() const { return output_; }

private:
    bool readsome(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string output_;
    std::size_t scanned_ = 0;
    bool exited_ = false;
    int status_ = 0;
};

// Runs a shell command and returns its standard output (binary safe); empty when it cannot run.
std::string commandoutput(const std::string& command);

}  // namespace velk::test
