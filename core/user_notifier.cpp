#include "core/user_notifier.h"

#include <atomic>
#include <cstdio>

namespace velk {

namespace {
StderrNotifier fallback;
std::atomic<UserNotifier*> current{&fallback};
}  // namespace

void StderrNotifier::error(const std::string& title, const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

void StderrNotifier::information(const std::string& title, const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

UserNotifier& usernotifier()
{
    return *current.load(std::memory_order_acquire);
}

void setusernotifier(UserNotifier* notifier)
{
    current.store(notifier ? notifier : &fallback, std::memory_order_release);
}

}  // namespace velk
