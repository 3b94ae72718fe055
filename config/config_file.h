#pragma once
// The stored configuration: the XML file of the edition ("config.xml" or "configds.xml") with every
// scalar setting, the channel table and the card table, and "format.dat" with the 531 bytes of the
// recording format. Both live in the common data folder (velkcommonfolder()) beside the Logs, Data
// and Recordings folders.
//
// A file that cannot be used is never silently replaced: one bad value costs only that value (it
// takes its default, with a status-log line naming the element and why, and the file as it was
// is kept as "<name>.bad" before the next save changes it); an XML file that cannot be read at
// all is moved to "<name>.bad" and the defaults are used; a missing or damaged "format.dat" costs
// only the recording format.
//
// Threads: main thread only (the record is changed only there). readconfig() reads into a copy and
// assigns the record only after the whole file has been read and checked, so a fault leaves it as
// it was and workers never see values that have not been range-checked yet.

#include <cstddef>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/edition.h"

namespace velk {

constexpr const char* formatfilename = "format.dat";
// Files larger than this are not read; they count as corrupted.
constexpr std::size_t maxconfigfilesize = 16u * 1024u * 1024u;

// Sets every field of `config` to its default, including all channel slots and card entries;
// leaves log_path, velk_path and common_path as they are.
void setdefaults(TConfig& config);

// What reading replaced, each a complete status-log text.
struct ConfigReadNotes {
    // XML values that were missing, did not convert or were out of range, and took their default
    // or the nearest value in range.
    std::vector<std::string> values;
    // Why "format.dat" was not used (missing, unreadable, unusable); empty when it was.
    std::string format;
};

// Start-up: creates the data folders where missing (failures are ignored, they surface when files
// are written), sets the three folder paths and the defaults and, when the XML file exists, posts
// "Loading settings..." to the status log and reads it with "format.dat". Every replaced value is
// logged and the file as it was is kept aside; an XML file that cannot be read at all is moved
// aside, logged, the defaults stand, and the user is told through usernotifier(). The panel
// width goes into `display`; the file is that of `edition`.
void loadconfig(TConfig& config, TDisplaySettings& display, Edition edition);
// The same into displaysettings(), from the file of edition() (callers without an owner).
void loadconfig(TConfig& config);

// Reads the edition's XML file and "format.dat" from `folder` into `config` (starting from the
// defaults, so a value that cannot be read takes its default) and the panel width into
// `display`, and brings every value into range. Throws EVelkError, changing nothing, only when
// the XML file cannot be read or is not a document of this program.
ConfigReadNotes readconfig(const std::string& folder, TConfig& config, TDisplaySettings& display, Edition edition);
// The same into displaysettings(), from the file of edition().
ConfigReadNotes readconfig(const std::string& folder, TConfig& config);

// Writes the XML file of `edition` (with the panel width of `display`), then "format.dat", into
// config.common_path. Each file is replaced atomically and durably (the previous version
// survives a failed or interrupted save) and is readable by its owner only, because it holds the
// password. Throws EVelkError (EOSError) on failure.
void saveconfig(const TConfig& config, const TDisplaySettings& display, Edition edition);
// The same with displaysettings(), as the file of edition().
void saveconfig(const TConfig& config);

// Brings every value that indexes a table or feeds a range-bound control into its range, so a
// hand-edited file cannot make a consumer index out of bounds; values in range are kept as they
// are. An unusable recording format becomes 16-bit mono PCM at the configured rate.
void sanitizeconfig(TConfig& config);

}  // namespace velk
