#include "services/status_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "core/errors.h"
#include "core/main_thread_queue.h"
#include "core/unique_fd.h"
#include "core/user_notifier.h"

namespace velk {

std::string escapecontrols(const std::string& text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        const bool separator = c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                               (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                                static_cast<unsigned char>(text[i + 2]) == 0xa9);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else if (c1 || separator) {
            // U+0080..U+009F (NEL among them) and U+2028/U+2029 end lines in some viewers too.
            const unsigned code = c1 ? static_cast<unsigned char>(text[i + 1])
                                     : 0x2000u + (static_cast<unsigned char>(text[i + 2]) - 0x80u);
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(code >> shift) & 15];
            i += c1 ? 1 : 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string formatlogline(TDateTime when, const std::string& text)
{
    const std::tm tm = tmofcalendar(decodedatetime(when));
    char date[64];
    char time[64];
    if (std::strftime(date, sizeof date, "%x", &tm) == 0)
        date[0] = '\0';
    if (std::strftime(time, sizeof time, "%X", &tm) == 0)
        time[0] = '\0';
    std::string line;
    line.reserve(text.size() + 32);
    line += date;
    line += " @ ";
    line += time;
    line += "; ";
    // A channel name or a path with a line break must not forge a line of its own.
    line += escapecontrols(text);
    return line;
}

void addlog(const std::string& text)
{
    // One clock reading for date and time, so a line stamped at midnight never pairs the old
    // date with the new time.
    mainqueue().post(LogLineMessage{formatlogline(appclock().nowlocal(), text)});
}

std::string logfilename(TDateTime when)
{
    const CalendarTime f = decodedatetime(when);
    char name[32];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d.log", f.year, f.month, f.day);
    return name;
}

int appendlogfile(const std::vector<std::string>& lines, const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd)
        return errno;
    // Exclusive while writing: another writer holding the file makes this save fail, not wait.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno;
    std::string text;
    std::size_t total = 0;
    for (const auto& line : lines)
        total += line.size() + 2;
    text.reserve(total);
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int rc = errno;
            // Take back a partial append so the next save does not repeat half of it.
            if (done > 0) {
                const off_t end = ::lseek(fd.get(), 0, SEEK_END);
                if (end >= static_cast<off_t>(done))
                    [[maybe_unused]] int t = ::ftruncate(fd.get(), end - static_cast<off_t>(done));
            }
            return rc;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fd.reset() != 0)
        return errno;
    return 0;
}

void StatusLog::append(std::string line)
{
    if (lines_.size() >= capacity_) {
        // The full list goes aside and the new one starts before the save, so lines that arrive
        // while a failed save's box is shown come after this one. Lines that cannot be filed stay
        // aside for the next successful save.
        unsaved_.insert(unsaved_.end(), std::make_move_iterator(lines_.begin() + static_cast<std::ptrdiff_t>(saved_)),
                        std::make_move_iterator(lines_.end()));
        lines_.clear();
        saved_ = 0;
        ++resets_;
        lines_.emplace_back(overflowline);
        lines_.push_back(std::move(line));
        if (onchanged)
            onchanged();
        if (fileaway(unsaved_, true))
            unsaved_.clear();
        return;
    }
    lines_.push_back(std::move(line));
    if (onchanged)
        onchanged();
}

bool StatusLog::savelog(bool report)
{
    std::vector<std::string> pending = unsaved_;
    pending.insert(pending.end(), lines_.begin() + static_cast<std::ptrdiff_t>(saved_), lines_.end());
    const std::size_t listed = lines_.size();
    if (!fileaway(pending, report))
        return false;
    unsaved_.clear();
    saved_ = listed;
    return true;
}

bool StatusLog::fileaway(const std::vector<std::string>& pending, bool report)
{
    // A save started while the error box of a failed one is open (its event loop delivers lines
    // that may fill the list) waits for the box: one box at a time, the lines filed later, in order.
    if (boxshown_)
        return false;
    if (pending.empty())
        return true;
    std::string folder = folder_;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    const std::string path = folder + logfilename(appclock().nowlocal());
    const int rc = appendlogfile(pending, path);
    if (rc == 0)
        return true;
    if (!report)
        return false;
    boxshown_ = true;
    try {
        usernotifier().error("Could not save log file", systemerrortext(rc));
    } catch (...) {
        boxshown_ = false;
        throw;
    }
    boxshown_ = false;
    return false;
}

}  // namespace velk
