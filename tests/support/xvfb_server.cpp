#include "tests/support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace velk::test {

XvfbServer::XvfbServer()
{
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        throw std::runtime_error("Xvfb: no pipe");
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        throw std::runtime_error("Xvfb: fork failed");
    }
    if (pid_ == 0) {
        // The server writes the display number it took to fd 3 once it accepts connections.
        ::dup2(pipefd[1], 3);
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipefd[1]);
    std::string number;
    pollfd p{pipefd[0], POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0) {
        char buf[16];
        const ssize_t n = ::read(pipefd[0], buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, static_cast<std::size_t>(n));
        if (number.find('\n') != std::string::npos)
            break;
    }
    ::close(pipefd[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r'))
        number.pop_back();
    if (number.empty()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    }
    display_ = ":" + number;
}

void XvfbServer::kill()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

XvfbServer::~XvfbServer()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

}  // namespace velk::test
