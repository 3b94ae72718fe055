#pragma once
// The stored configuration: the XML file of the edition ("config.xml" or "configds.xml") with every
// scalar setting, the channel table and the card table, and "format.dat" with the 531 bytes of the
// recording format. Both live in the common data folder (velkcommonfolder()) beside the Logs, Data
// and Recordings folders.
//
// Threads: main thread only (the record is changed only there). readconfig() reads into a copy and
// assigns the record only after the whole file has been read and checked, so a fault leaves it as
// it was and workers never see values that have not been range-checked yet.

#include <cstddef>
#include <string>

#include "config/config.h"

namespace velk {

constexpr const char* formatfilename = "format.dat";
// Files larger than this are not read; they count as corrupted.
constexpr std::size_t maxconfigfilesize = 16u * 1024u * 1024u;

// Sets every field of `config` to its default, including all channel slots and card entries;
// leaves log_path, velk_path and common_path as they are.
void setdefaults(TConfig& config);

// Start-up: creates the data folders where missing (failures are ignored, they surface when files
// are written), sets the three folder paths, sets the defaults and, when both the XML file and
// "format.dat" exist, posts "Loading settings..." to the status log and reads them. A file that
// cannot be read leaves the defaults and tells the user through usernotifier().
void loadconfig(TConfig& config);

// Reads "format.dat" and the edition's XML file from `folder` into `config` and the panel width
// into displaysettings(), then applies sanitizeconfig(). Throws EVelkError on any fault; nothing
// is changed then.
void readconfig(const std::string& folder, TConfig& config);

// Writes the XML file, then "format.dat", into config.common_path. Each file is replaced
// atomically and durably (the previous version survives a failed or interrupted save) and is
// readable by its owner only, because it holds the password. Throws EVelkError (EOSError) on
// failure.
void saveconfig(const TConfig& config);

// Brings every value that indexes a table or feeds a range-bound control into its range, so a
// hand-edited file cannot make a consumer index out of bounds; values in range are kept as they
// are. An unusable recording format becomes 16-bit mono PCM at the configured rate.
void sanitizeconfig(TConfig& config);

}  // namespace velk
