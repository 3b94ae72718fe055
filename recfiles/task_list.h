#pragma once
// The compression task lists in the common folder: "audiotask.velx" (the queue as it stood at the
// last orderly shutdown) and "brokenfiles.velx" (descriptors whose compression failed). One
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
// Returns false (and an empty list) when the file exists but cannot be read.
bool readtasklist(const std::string& path, std::vector<std::string>& paths);

// Replaces the task list with `paths` atomically. Throws EOSError on failure.
void writetasklist(const std::string& path, const std::vector<std::string>& paths);

}  // namespace velk
