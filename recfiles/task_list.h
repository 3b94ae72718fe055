#pragma once
// The compression task lists in the common folder: "audiotask.velx" (the compression queue,
// stored whenever it changes) and "brokenfiles.velx" (descriptors whose compression failed). One
// descriptor path per line, UTF-8, lines ended by CR LF; readers accept CR, LF or CR LF and take
// 8-bit text written by other programs as Latin-1.
//
// Threads: any thread (the compression processor uses them).

#include <string>
#include <vector>

namespace velk {

inline constexpr const char* audiotaskfile = "audiotask.velx";
inline constexpr const char* brokenfilesfile = "brokenfiles.velx";

// Reads the paths of a task list. A missing file gives an empty list; empty lines add no entry.
// Returns false (and an empty list) when the file exists but cannot be used: not a regular file,
// larger than any real list, or unreadable; `why` (if given) then says which.
bool readtasklist(const std::string& path, std::vector<std::string>& paths, std::string* why = nullptr);

// Replaces the task list with `paths` atomically (durable: flushed to the disk first). Throws
// EOSError on failure.
void writetasklist(const std::string& path, const std::vector<std::string>& paths, bool durable = true);

// Moves a file that could not be read out of the way, to `path` + ".bad" (or ".bad.2", ...: an
// earlier one is never replaced). Returns the new path, or an empty string (with `why`) when it
// could not be moved.
std::string keepaside(const std::string& path, std::string* why = nullptr);

}  // namespace velk
