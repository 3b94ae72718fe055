#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velk::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env)
{
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // The given entries replace inherited ones of the same name.
    auto nameof = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> envstrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const auto& given : env)
            replaced = replaced || nameof(given) == nameof(entry);
        if (!replaced)
            envstrings.push_back(entry);
    }
    for (const auto& e : env)
        envstrings.push_back(e);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envstrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(pipefd[1], 1);
        ::dup2(pipefd[1], 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    fd_ = pipefd[0];
}

ChildProcess::~ChildProcess()
{
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0)
        ::close(fd_);
}

bool ChildProcess::readsome(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool ChildProcess::waitforline(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output_.find(text, scanned_) != std::string::npos) {
            scanned_ = output_.find(text, scanned_) + text.size();
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readsome(left))
            return false;
    }
}

void ChildProcess::signal(int signo)
{
    if (!exited_)
        ::kill(pid_, signo);
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
        const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            exited_ = true;
            return -1;
        }
        readsome(std::chrono::milliseconds(20));
    }
    while (readsome(std::chrono::milliseconds(0))) {
    }
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        return 128 + WTERMSIG(status_);
    return -1;
}

std::string commandoutput(const std::string& command)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

}  // namespace velk::test
