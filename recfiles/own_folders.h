#pragma once
// OwnFolders: the rule that keeps the converter and the cleanup inside the recorder's own folders.
// A path read from a task list or a descriptor is untrusted; before either acts on it, it must
// name
//   - a descriptor: a regular ".velk" file below the data folder ("Data"), or
//   - a recording: a regular ".wav" or ".mp3" file below one of the output folders (the global
//     one and every channel's),
// reached from that folder without following a symbolic link (the configured folder itself may be
// a link the user made; nothing below it may be one). Anything else is refused with a reason that
// names the path. Removal walks the same way, folder by folder with O_NOFOLLOW, and unlinks from
// the last folder's descriptor, so a link swapped in after the check cannot redirect it.
//
// Threads: an OwnFolders is a value; worker threads get their own copy (a snapshot taken on the
// main thread) and never read the live configuration. of() runs on the main thread.

#include <string>
#include <vector>

#include "config/config.h"

namespace velk {

class OwnFolders {
public:
    enum class Kind { descriptor, recording };

    OwnFolders() = default;
    OwnFolders(std::string datafolder, std::vector<std::string> outputfolders);
    // The data folder and the output folders of the configuration record `c` (main thread only).
    static OwnFolders of(const TConfig& c);

    // The folder a channel records into: its own folder when that is an absolute path, otherwise
    // the global output folder (and, when that is not absolute either, the default Recordings
    // folder of the common data folder).
    static std::string recordingfolder(const std::string& channelfolder, const std::string& outfolder);

    const std::string& datafolder() const { return datafolder_; }
    const std::vector<std::string>& outputfolders() const { return outputfolders_; }

    // True when `path` may be read, rewritten or removed as a `kind`. A path inside the folders
    // whose file is missing counts as allowed when `missingok` (nothing to act on, nothing
    // foreign either). `why` receives the reason for a refusal, naming the path.
    bool allows(Kind kind, const std::string& path, std::string& why, bool missingok = false) const;

    // Removes the file at `path` if allows(kind, path, why, true); false (with `why`) when it was
    // refused or the removal failed. A file that is already gone counts as removed.
    bool remove(Kind kind, const std::string& path, std::string& why) const;

private:
    // Opens the folder holding `path` below one of `roots` without following links; returns the
    // descriptor (or -1 with `err` set: ENOENT when a folder on the way is missing, ELOOP for a
    // link, ENOTDIR for something else) and the leaf name. `inside` tells whether the path lies
    // lexically below a root at all.
    int openparent(const std::vector<std::string>& roots, const std::string& path, std::string& leaf, int& err,
                   bool& inside) const;

    std::string datafolder_;
    std::vector<std::string> outputfolders_;
};

}  // namespace velk
