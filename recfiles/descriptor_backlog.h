#pragma once
// DescriptorBacklog: recording descriptors the main thread could not write (a full data folder),
// kept in memory and written when their folder has room again, so no recording is left without
// its descriptor. A newer record for the same file replaces the kept one; a kept record whose
// audio file is gone is dropped (the recording was deleted meanwhile, e.g. as too short).
//
// Threads: main thread only.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "core/rec_descriptor.h"

namespace velk {

class DescriptorBacklog {
public:
    // Writes `descriptor` to `path`; on failure (already logged by the write) keeps it. `queue`:
    // the recording goes to the compression queue once its descriptor is in place. Returns true
    // when written now.
    bool write(const std::string& path, const TRecDescriptor& descriptor, bool queue);
    // Writes the kept records whose folder has room; returns the paths written that are to be
    // queued for compression.
    std::vector<std::string> retry();
    std::size_t size() const { return pending_.size(); }

private:
    struct Entry {
        TRecDescriptor descriptor;
        bool queue = false;
    };
    std::map<std::string, Entry> pending_;
};

}  // namespace velk
