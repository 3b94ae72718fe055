#include "config/config.h"

#include <algorithm>
#include <atomic>

namespace velk {

namespace {

TConfig& defaults()
{
    static TConfig instance;
    return instance;
}

TDisplaySettings& defaultdisplay()
{
    static TDisplaySettings instance;
    return instance;
}

std::atomic<TConfig*> installed{nullptr};
std::atomic<TDisplaySettings*> installeddisplay{nullptr};

}  // namespace

TConfig& config()
{
    TConfig* record = installed.load(std::memory_order_acquire);
    return record ? *record : defaults();
}

void setconfig(TConfig* record)
{
    installed.store(record, std::memory_order_release);
}

TDisplaySettings& displaysettings()
{
    TDisplaySettings* display = installeddisplay.load(std::memory_order_acquire);
    return display ? *display : defaultdisplay();
}

void setdisplaysettings(TDisplaySettings* display)
{
    installeddisplay.store(display, std::memory_order_release);
}

int samplerateofindex(int index)
{
    return samplerates[static_cast<std::size_t>(std::clamp(index, 0, static_cast<int>(samplerates.size()) - 1))];
}

int splitminutesofindex(int index)
{
    return splitintervals[static_cast<std::size_t>(std::clamp(index, 0, static_cast<int>(splitintervals.size()) - 1))];
}

}  // namespace velk
