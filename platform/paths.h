#pragma once
// The recorder's paths: plain '/'-separated text, as the configuration, the descriptors and the
// task lists store them. A folder may be given with or without its trailing '/'.

#include <string>

namespace velk {

// `folder` and `name` with one '/' between them; `name` alone when `folder` is empty.
std::string joinpath(const std::string& folder, const std::string& name);
// The folder part of `path`: empty when it has none, "/" for a name in the root.
std::string folderof(const std::string& path);
// The last part of `path`, after its last '/'.
std::string barename(const std::string& path);
// The bare name without its extension (a name that starts with its only dot keeps it).
std::string stemof(const std::string& path);
// `path` with the extension of its bare name replaced by `extension` (".wav"), or added.
std::string withextension(const std::string& path, const std::string& extension);

}  // namespace velk
