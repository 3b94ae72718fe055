#include "recfiles/task_list.h"

#include <cerrno>

#include "core/text_encoding.h"
#include "platform/file_io.h"

namespace velk {

namespace {
// Far beyond any real queue (a million long paths), but it keeps a damaged file from taking all
// memory.
constexpr std::size_t tasklistlimit = 512u * 1024 * 1024;
}  // namespace

bool readtasklist(const std::string& path, std::vector<std::string>& paths)
{
    paths.clear();
    std::string text;
    const int rc = readwholefile(path, text, tasklistlimit);
    if (rc == ENOENT)
        return true;
    if (rc != 0)
        return false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        // A NUL cannot be part of a path; such a line is damaged and dropped.
        if (!line.empty() && line.find('\0') == std::string::npos)
            paths.push_back(eightbittoutf8(line));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return true;
}

void writetasklist(const std::string& path, const std::vector<std::string>& paths)
{
    std::string text;
    for (const auto& p : paths) {
        text += p;
        text += "\r\n";
    }
    writefileatomic(path, text, 0600, true);
}

}  // namespace velk
