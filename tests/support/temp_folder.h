#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it at the end
// of the test; and an environment with VELK_DATA_ROOT pointing into such a folder.

#include <string>
#include <vector>

namespace velk::test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Points VELK_DATA_ROOT (and the named-lock folder) at a temporary folder for a test's lifetime.
class TempDataRoot {
public:
    TempDataRoot();
    ~TempDataRoot();
    const std::string& root() const { return folder_.path(); }
    // <root>/Quorlith/VELK/4.0/
    std::string common() const;

private:
    TempFolder folder_;
    std::string previous_;
    bool hadprevious_ = false;
};

// Writes `content` to `path`, creating or truncating it.
void writetextfile(const std::string& path, const std::string& content);
std::string readtextfile(const std::string& path);
// The regular files below `folder` (recursively) with `extension` (".wav"; empty: every file),
// sorted; none when the folder does not exist.
std::vector<std::string> filesbelow(const std::string& folder, const std::string& extension = {});

}  // namespace velk::test
