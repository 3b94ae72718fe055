#pragma once
// Shared pieces of the engine tests: a bounded wait for a condition set by another thread, a
// scoped list of test drivers and free-running virtual driver settings.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/driver_list.h"
#include "engine/virtual_driver.h"

namespace velk::test {

// Waits (polling every millisecond) until `done` holds or `limit` passes; for conditions that
// other threads bring about, never for a span of wall-clock time itself.
inline bool waituntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The driver list of a test: these descriptions, in this order, for every enumeration.
class DriverSourceScope {
public:
    explicit DriverSourceScope(std::vector<TDavAsioDriverDescription> list)
    {
        setdriversource([list] { return list; });
    }
    ~DriverSourceScope() { setdriversource(nullptr); }
};

// The drivers listed now (through the test's source), as the card set hands them to its cards.
inline TDavAsioDriverList listed()
{
    TDavAsioDriverList list;
    list.enumerate();
    return list;
}

inline std::shared_ptr<VirtualDriverSettings> freerunning(int inputs = 4, std::int32_t buffer = 64)
{
    auto s = std::make_shared<VirtualDriverSettings>();
    s->inputs = inputs;
    s->realtime = false;
    s->bufferminimum = s->buffermaximum = s->bufferpreferred = buffer;
    return s;
}

}  // namespace velk::test
