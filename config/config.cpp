#include "config/config.h"

#include <algorithm>

namespace velk {

TConfig& config()
{
    static TConfig instance;
    return instance;
}

TDisplaySettings& displaysettings()
{
    static TDisplaySettings instance;
    return instance;
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
