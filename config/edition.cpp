#include "config/edition.h"

#include <atomic>

namespace velk {

namespace {
std::atomic<Edition> current{Edition::Asio};
std::atomic<const Edition*> installed{nullptr};
}  // namespace

Edition edition()
{
    const Edition* value = installed.load(std::memory_order_acquire);
    return value ? *value : current.load(std::memory_order_relaxed);
}

void installedition(const Edition* value)
{
    installed.store(value, std::memory_order_release);
}

void setedition(Edition value)
{
    current.store(value, std::memory_order_relaxed);
}

std::string configfilename(Edition value)
{
    return value == Edition::Wdm ? "configds.xml" : "config.xml";
}

std::string configfilename()
{
    return configfilename(edition());
}

std::string schedulefilename(Edition value)
{
    return value == Edition::Wdm ? "schedulerds.xml" : "scheduler.xml";
}

std::string schedulefilename()
{
    return schedulefilename(edition());
}

std::string captionsuffix(Edition value)
{
    return value == Edition::Wdm ? " (WDM)" : " (ASIO)";
}

std::string captionsuffix()
{
    return captionsuffix(edition());
}

}  // namespace velk
