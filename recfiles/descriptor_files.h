#pragma once
// The locked routines for recording descriptor files (".velk" files below the data folder).
// Each access holds the named system lock named after the file's bare name, so a whole read,
// write or delete is atomic with respect to the others, in this process and in any other.
// Writes replace the file atomically, so an interrupted write leaves the previous record (or
// none), never a torn one.
//
// Threads: any thread. Failures are reported as status-log lines (and results), never raised.

#include <chrono>
#include <memory>
#include <string>

#include "core/rec_descriptor.h"
#include "platform/named_lock.h"

namespace velk {

using LockHandle = std::unique_ptr<NamedLock>;

// How long lockfile() waits for a descriptor's lock.
inline constexpr std::chrono::milliseconds descriptorlocklimit{5000};

// Waits for the lock of the descriptor file `path` (keyed by its name without the folder), at most
// descriptorlocklimit (then with a status-log line). Returns no handle if the wait fails.
LockHandle lockfile(const std::string& path);
// Releases and closes the lock; false with no handle.
bool unlockfile(LockHandle handle);

// True when the record reached the file. On failure the status-log line it posted also goes to
// `error` (if given), and the previous record (or none) stays in place.
bool writedescriptor(const std::string& path, const TRecDescriptor& descriptor, std::string* error = nullptr);
// Creates the descriptor file `path` holding `descriptor` only when nothing stands at `path`: the
// record appears whole or not at all, and never in place of another file. Returns 0, EEXIST when
// the name is taken, or another errno value. Logs nothing: the caller decides.
int createdescriptor(const std::string& path, const TRecDescriptor& descriptor);
// True when at least one byte was read; a short read leaves the rest of `descriptor` unchanged.
bool readdescriptor(const std::string& path, TRecDescriptor& descriptor);
void deletedescriptor(const std::string& path);

}  // namespace velk
