#pragma once
// The list of installed drivers (TDavAsioDriverList) and the way to open one. Drivers are
// registered as entries in the driver folder ($VELK_DRIVER_FOLDER, else the "Drivers" folder of
// the common data folder): one text file per driver, whose file name is the entry's name, with
// the lines
//     clsid={XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
//     description=Display name
//     library=/full/path/to/the/driver.so
// Entries are read in the byte order of their file names. An entry without a valid class id is
// skipped; a library that exists neither at its path nor under the same file name in the driver
// folder or in /usr/lib/velk/drivers is skipped. The library exports velkdriver_create and
// velkdriver_destroy (engine/audio_driver.h). `library=builtin:jack` and `builtin:virtual` name
// the built-in drivers.
//
// After the registered entries come the built-in drivers: the JACK driver when a JACK server
// answers. When nothing at all was found, one virtual card is listed, so the program records out
// of the box. VELK_VIRTUAL_CARDS=N replaces all of this by exactly N virtual cards
// (virtualcardsettings() describes them).
//
// Threads: main thread.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio_driver.h"
#include "engine/virtual_driver.h"

namespace velk {

// A 128-bit class id.
struct TGuid {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const TGuid&) const = default;
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any case); nullopt otherwise.
    static std::optional<TGuid> parse(const std::string& text);
    std::string str() const;
};

// An opened driver. The deleter keeps a driver library loaded until its driver is destroyed.
struct DriverDeleter {
    std::shared_ptr<void> library;
    DriverDestroyFn destroy = nullptr;
    void operator()(AudioDriver* driver) const;
};
using DriverPtr = std::unique_ptr<AudioDriver, DriverDeleter>;

struct TDavAsioDriverDescription {
    TGuid classid;
    std::string name;  // the description, or the entry's name when that is empty
    std::string path;  // the library file, or "builtin:..." for the built-in drivers
    // Opens a built-in driver (empty for library drivers).
    std::function<DriverPtr()> factory;
    // The virtual card listed only because nothing else was found.
    bool standin = false;
};

class TDavAsioDriverList {
public:
    // Clears the list and fills it (see the top of this file, or the installed source).
    void enumerate();
    std::size_t count() const { return items_.size(); }
    const TDavAsioDriverDescription& item(std::size_t index) const { return items_.at(index); }

private:
    std::vector<TDavAsioDriverDescription> items_;
};

// Creates the driver of a description (built-in factory, or the library's velkdriver_create).
// Throws EVelkError when the library cannot be loaded or has no such driver.
DriverPtr createdriver(const TDavAsioDriverDescription& description);

// The folder of driver entries.
std::string driverfolder();

// Reads the entries of `folder` (no built-ins, no fallback).
std::vector<TDavAsioDriverDescription> readdriverfolder(const std::string& folder);

// The settings of virtual card `index` (0-based) as VELK_VIRTUAL_CARDS lists them: 8 inputs of
// 32-bit integers at 48000 Hz (any standard rate accepted), 256-frame buffers, paced in real time.
// Input k (0-based) plays tone bursts of (k + 1) * 220 Hz at half of full scale, 1 second long,
// separated by k + 1 seconds of silence. Named "VELK Virtual Card <index + 1>".
VirtualDriverSettings virtualcardsettings(int index);
// A description that opens virtual drivers from `settings` (shared, so a test can steer them).
TDavAsioDriverDescription virtualdescription(const std::string& name, std::shared_ptr<VirtualDriverSettings> settings,
                                             int index = 0);

// Tests: replace enumeration by a fixed source of descriptions (nullptr restores the default).
void setdriversource(std::function<std::vector<TDavAsioDriverDescription>()> source);

}  // namespace velk
