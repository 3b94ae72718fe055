#pragma once
// Keeping a stored file that could not be used beside it ("config.xml" becomes "config.xml.bad"; the
// same for the task lists and the schedule),
// so that the next save, which writes over the name, never destroys what the user had. An earlier
// kept file is never replaced: the next free name of "<name>.bad", "<name>.bad.2", "<name>.bad.3",
// ... is taken.
//
// Threads: any; both calls touch only the named file and the kept names beside it.

#include <string>
#include <string_view>

namespace velk {

// The outcome of keeping a file aside: the kept file's path, or why nothing was kept.
struct AsideResult {
    std::string path;   // empty when nothing could be kept
    std::string error;  // the reason when `path` is empty
};

// Moves `path` (whatever it is: file, folder, link) to the first free kept name.
AsideResult moveaside(const std::string& path);

// Stores `content` (the file as it was read) under the first free kept name of `path`, leaving
// `path` itself in place; a kept file that already holds exactly this content is reused, so a
// file that is read again after a crash is not kept twice.
AsideResult copyaside(const std::string& path, std::string_view content);

}  // namespace velk
