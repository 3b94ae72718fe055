#include "app/headless_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "app/velk_system.h"
#include "core/errors.h"
#include "core/unique_fd.h"

namespace velk {

namespace {
sigset_t stopsignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void HeadlessLoop::blocksignals()
{
    const sigset_t set = stopsignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int HeadlessLoop::run()
{
    const sigset_t set = stopsignals();
    UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
    if (!signals)
        throw EOSError(errno);
    for (;;) {
        system_.runqueue();
        pollfd fds[2] = {{system_.queue().wakeupfd(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
        // Woken for the status log's filing too, when no message comes.
        const auto filing = std::min<std::chrono::milliseconds::rep>(system_.untillogfiling().count(), 60'000);
        if (::poll(fds, 2, static_cast<int>(filing)) < 0) {
            if (errno == EINTR)
                continue;
            throw EOSError(errno);
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                return static_cast<int>(info.ssi_signo);
        }
    }
}

}  // namespace velk
