#pragma once
// Where the recorder keeps its data. The base is $VELK_DATA_ROOT when set (tests), otherwise
// $XDG_DATA_HOME, otherwise ~/.local/share; the data lives in <base>/Quorlith/VELK/4.0/ with the
// Logs, Data and Recordings folders below it.

#include <string>

namespace velk {

// The base folder, without a trailing slash.
std::string commonappdatafolder();
// <base>/Quorlith/VELK/4.0/ with the trailing slash.
std::string velkcommonfolder();
// The folders below it, without a trailing slash: "Logs" (the daily status logs), "Data" (the
// recording descriptors), "Recordings" (the default output folder), "Drivers" (the driver entries).
std::string velklogfolder();
std::string velkdatafolder();
std::string velkrecordingsfolder();
std::string velkdriverfolder();

// Creates `path` if it is missing (not its parents), for its owner alone (0700, whatever the
// umask). Returns false on failure.
bool createfolder(const std::string& path);
// Creates `path` and every missing parent. Returns false on failure.
bool forcefolders(const std::string& path);

}  // namespace velk
