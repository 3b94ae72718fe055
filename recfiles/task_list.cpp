#include "recfiles/task_list.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"
#include "core/text_encoding.h"
#include "core/unique_fd.h"
#include "platform/file_io.h"
#include "platform/kept_file.h"

namespace velk {

namespace {

// Far beyond any real list (some hundred thousand long paths), but it keeps a damaged file from
// taking all memory.
constexpr std::size_t tasklistlimit = 64u * 1024 * 1024;

bool failed(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
}

}  // namespace

bool readtasklist(const std::string& path, std::vector<std::string>& paths, std::string* why)
{
    paths.clear();
    // Never follows a link and never waits on a FIFO or a device: only a regular file is read.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return true;
        return failed(why, errno == ELOOP ? "not a regular file" : systemerrortext(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return failed(why, systemerrortext(errno));
    if (!S_ISREG(st.st_mode))
        return failed(why, "not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > tasklistlimit)
        return failed(why, "larger than " + std::to_string(tasklistlimit / (1024 * 1024)) + " MB");
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failed(why, systemerrortext(errno));
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > tasklistlimit)
            return failed(why, "larger than " + std::to_string(tasklistlimit / (1024 * 1024)) + " MB");
        text.append(buffer, static_cast<std::size_t>(n));
    }
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

void writetasklist(const std::string& path, const std::vector<std::string>& paths, bool durable)
{
    std::string text;
    for (const auto& p : paths) {
        text += p;
        text += "\r\n";
    }
    writefileatomic(path, text, 0600, durable);
}

std::string keepaside(const std::string& path, std::string* why)
{
    AsideResult kept = moveaside(path);
    if (kept.path.empty() && why)
        *why = kept.error;
    return kept.path;
}

}  // namespace velk
