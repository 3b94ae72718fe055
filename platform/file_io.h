#pragma once
// File helpers: replacing a file atomically (a reader or a crash sees the old content or the new,
// never a torn mix) and reading a whole file with a size limit.

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

namespace velk {

// Writes a new version of a file beside it ("<path>.part") and renames it over the old one on
// commit(). Destroying an uncommitted writer removes the partial file. Methods return 0 or an
// errno value, so callers can word their own messages.
class AtomicFileWriter {
public:
    AtomicFileWriter() = default;
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    int open(const std::string& path, mode_t mode);
    // Writes all of `data`; `written` receives the bytes that reached the file.
    int write(std::string_view data, std::size_t* written = nullptr);
    // durable: flush the data to the disk before the rename (and the folder after it), so the new
    // content also survives a power loss.
    int commit(bool durable);
    void abandon();

private:
    std::string path_;
    std::string temppath_;
    UniqueFd fd_;
};

// Writes all of `data` to `fd` at its position, going on after interruptions. Returns 0 or an
// errno value (ENOSPC when the file takes no more); `written` receives the bytes that reached it.
int writefully(int fd, std::string_view data, std::size_t* written = nullptr);

// Replaces `path` with `data` atomically; throws EOSError on failure (the old file is kept).
void writefileatomic(const std::string& path, std::string_view data, mode_t mode, bool durable);

// Opens an existing regular file for reading without ever blocking in the open (a FIFO or a device
// under a file's name would wait for a writer for ever) and without following a symbolic link
// when `nofollow`. Returns the descriptor, or an invalid one with `err` set to an errno value:
// EISDIR for a folder, notregularfile for anything else that is not a regular file.
inline constexpr int notregularfile = EINVAL;
UniqueFd openregularfile(const std::string& path, int& err, bool nofollow = false, int flags = O_RDONLY);

// Reads a whole regular file of at most `limit` bytes. Returns 0 or an errno value (EFBIG when
// larger, see openregularfile for files that are not regular).
int readwholefile(const std::string& path, std::string& out, std::size_t limit);

bool fileexists(const std::string& path);

}  // namespace velk
