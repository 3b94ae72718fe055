#include "app/headless_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "app/velk_system.h"
#include "core/clock.h"
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
    // The system's housekeeping runs about once a second, between messages.
    constexpr auto period = std::chrono::seconds(1);
    auto last = appclock().monotonic();
    for (;;) {
        system_.runqueue();
        if (const auto now = appclock().monotonic(); now - last >= period) {
            last = now;
            system_.housekeeping();
        }
        pollfd fds[2] = {{system_.queue().wakeupfd(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
        // Woken for the status log's filing and the housekeeping too, when no message comes.
        const auto filing = std::min<std::chrono::milliseconds::rep>(
            {system_.untillogfiling().count(), 60'000, std::chrono::milliseconds(period).count()});
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
