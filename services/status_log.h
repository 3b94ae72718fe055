#pragma once
// The status log: the recorder's running account of what it does. Any thread adds a line with
// addlog(); the line travels through the main-thread queue to the StatusLog list, which the main
// window shows and which is appended to the day's log file ("yyyy-mm-dd.log" in the log folder)
// when the list overflows, at least once a minute while the recorder runs, and at shutdown. Each
// save appends only the lines not filed before.
//
// Threads: addlog() and formatlogline() from any thread (they never wait); StatusLog on the main
// thread only.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/date_time.h"

namespace velk {

// Stamps `text` with the current local date and time (the user's short date and long time format)
// and posts it to the main thread as WM_LOGLINE.
void addlog(const std::string& text);

// "<date> @ <time>; <text>", e.g. "05.03.2024 @ 09:07:02; Record started: Studio A" in a locale
// whose short date format is dd.mm.yyyy. The text's control characters are escaped
// (escapecontrols), so one call always makes exactly one line.
std::string formatlogline(TDateTime when, const std::string& text);

// `text` with every control character written out: "\n", "\r", "\t", "\xNN" for the other
// C0 controls and DEL, "\uNNNN" for the C1 controls and the Unicode line and paragraph
// separators. Everything else, invalid UTF-8 included, is kept as it is.
std::string escapecontrols(const std::string& text);

// "yyyy-mm-dd.log" for the local date of `when`.
std::string logfilename(TDateTime when);

// Appends the lines (each + CR LF) to `path` in one write, holding the file exclusively while
// writing. Returns 0 or an errno value; nothing is written on failure.
int appendlogfile(const std::vector<std::string>& lines, const std::string& path);

class StatusLog {
public:
    // The list's capacity; a line that does not fit saves and clears the list.
    static constexpr std::size_t defaultcapacity = 32767;
    static constexpr const char* overflowline = "*** Log size limit reached, list reset.";

    explicit StatusLog(std::size_t capacity = defaultcapacity) : capacity_(capacity) {}

    // The folder of the daily files (the configuration's log_path).
    void setfolder(const std::string& folder) { folder_ = folder; }
    const std::string& folder() const { return folder_; }

    // Appends one finished line (the WM_LOGLINE handling), saving and clearing the list first
    // when it is full.
    void append(std::string line);

    // Appends every line not yet filed to today's log file. On failure shows "Could not save log
    // file" with the system's text through the user notifier (unless `report` is false), keeps the
    // lines for the next save, and returns false. While that box is open (lines keep arriving
    // through its event loop), a further save does nothing and returns false: one box at a time,
    // the lines filed in order by a later save.
    bool savelog(bool report = true);

    const std::vector<std::string>& lines() const { return lines_; }
    // How many times the list was cleared because it was full (a view showing the lines starts
    // again when this changes).
    std::size_t resets() const { return resets_; }
    // Called after every change of lines() (the window refreshes its list).
    std::function<void()> onchanged;

private:
    // Appends `pending` to today's file; false (after the box, when `report`) when it failed.
    bool fileaway(const std::vector<std::string>& pending, bool report);

    std::size_t capacity_;
    std::string folder_;
    std::vector<std::string> lines_;
    std::size_t saved_ = 0;              // lines_[0..saved_) are in a log file already
    std::size_t resets_ = 0;
    std::vector<std::string> unsaved_;   // lines cleared from the list before they could be filed
    bool boxshown_ = false;              // the "Could not save log file" box is open
};

}  // namespace velk
