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
// Each thread keeps one open descriptor of the lock file (its own open file description, so the
// threads of one process exclude each other as processes do). A thread that takes a name it already
// holds gets it again at once, as with a re-entrant mutex; the name is free once every holder
// released it.
//
// The lock file is created for its owner alone (0600, whatever the umask): another user could
// otherwise hold its ranges and stall or refuse this user's recorder.
//
// Threads: any thread. A NamedLock must be released (or destroyed) by the thread that acquired it.

#include <chrono>
#include <optional>
#include <string>

#include <utility>

namespace velk {

class NamedLock {
public:
    // Waits without a time limit until the lock is held. Throws EOSError if the lock file cannot
    // be opened or the wait fails.
    static NamedLock acquire(const std::string& name);
    // As acquire(), but gives up after `limit`: throws EOSError(ETIMEDOUT) then.
    static NamedLock acquire(const std::string& name, std::chrono::milliseconds limit);
    // Takes the lock if it is free; nothing otherwise. Throws EOSError like acquire().
    static std::optional<NamedLock> tryacquire(const std::string& name);

    NamedLock(NamedLock&& other) noexcept : offset_(other.offset_), held_(std::exchange(other.held_, false)) {}
    NamedLock& operator=(NamedLock&& other) noexcept;
    ~NamedLock() { release(); }

    bool held() const { return held_; }
    // Releases the lock; false when it was not held or the release failed.
    bool release();

private:
    NamedLock(long long offset) : offset_(offset), held_(true) {}
    long long offset_ = 0;
    bool held_ = false;
};

// The folder holding the lock file; defaults to velkcommonfolder().
std::string lockfolder();
void setlockfolder(const std::string& folder);  // empty restores the default

}  // namespace velk
