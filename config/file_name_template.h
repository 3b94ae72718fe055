#pragma once
// File names from templates: "%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%" and the like, expanded with a
// channel name and the moment a file started.
//
// Threads: any (pure functions).

#include <string>

#include "core/date_time.h"

namespace velk {

// The template of the descriptor files below the data folder.
inline constexpr const char* descriptortemplate = "%yy%\\%mn%\\%dd%\\%hh%-%nn%-%ss%-%name%";

// Expands `templ` for channel `name` at local time `time`. Tokens are replaced in a fixed order,
// "%name%" last so tokens inside a channel name stay literal; then each of / : * ? " < > | becomes
// "_". A backslash separates folder levels; a level that would read "." or ".." becomes "_" so a
// name can never climb out of the output folder.
std::string makefilename(const std::string& name, const std::string& templ, TDateTime time);

// `folder` + "/" + an expanded name, with the name's backslashes turned into "/".
std::string templatepath(const std::string& folder, const std::string& expanded);

}  // namespace velk
