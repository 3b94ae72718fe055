#pragma once
// Named system locks: a lock keyed by a name, shared by the threads of this process and by other
// processes, released by the system when its holder dies (an abandoned lock simply becomes free,
// so the next waiter acquires it).
//
// All names of one lock folder live as one-byte open-file-description locks (OFD) at offsets
// hashed from the name in a single file, "velk.locks", so no lock files pile up. Two names that
// hash alike would only serialise each other; with 62-bit offsets that does not happen in practice.
// The lock folder is the common data folder unless set otherwise, so both editions (and a test
// with its own VELK_DATA_ROOT) share exactly the locks they should.
//
// Threads: any thread. A NamedLock object itself belongs to one thread at a time.

#include <optional>
#include <string>

#include "core/unique_fd.h"

namespace velk {

class NamedLock {
public:
    // Waits without a time limit until the lock is held. Throws EOSError if the lock file cannot
    // be opened or the wait fails.
    static NamedLock acquire(const std::string& name);
    // Takes the lock if it is free; nothing otherwise. Throws EOSError like acquire().
    static std::optional<NamedLock> tryacquire(const std::string& name);

    NamedLock(NamedLock&&) noexcept = default;
    NamedLock& operator=(NamedLock&&) noexcept = default;
    ~NamedLock() = default;  // closing the descriptor releases the lock

    bool held() const { return fd_.valid(); }
    // Releases the lock; false when it was not held or the release failed.
    bool release();

private:
    explicit NamedLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// The folder holding the lock file; defaults to velkcommonfolder().
std::string lockfolder();
void setlockfolder(const std::string& folder);  // empty restores the default

}  // namespace velk
