#include "config/file_name_template.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace velk {

namespace {

void replaceall(std::string& text, std::string_view token, const std::string& value)
{
    std::size_t pos = 0;
    while ((pos = text.find(token, pos)) != std::string::npos) {
        text.replace(pos, token.size(), value);
        pos += value.size();
    }
}

std::string twodigits(int value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", value);
    return buffer;
}

// Makes every "." or ".." folder level harmless.
std::string neutraliselevels(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\\', start);
        const std::string level = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        out += (level == "." || level == "..") ? "_" : level;
        if (end == std::string::npos)
            break;
        out += '\\';
        start = end + 1;
    }
    return out;
}

}  // namespace

std::string makefilename(const std::string& name, const std::string& templ, TDateTime time)
{
    static constexpr std::array<const char*, 12> months = {"jan", "feb", "mar", "apr", "may", "jun",
                                                           "jul", "aug", "sep", "oct", "nov", "dec"};
    static constexpr std::array<const char*, 7> weekdays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

    const CalendarTime t = decodedatetime(time);
    char yearbuf[16];
    std::snprintf(yearbuf, sizeof yearbuf, "%04d", t.year);
    const std::string year = yearbuf;

    std::string result = templ;
    replaceall(result, "%yy%", year);
    replaceall(result, "%mm%", months[static_cast<std::size_t>(t.month - 1)]);
    replaceall(result, "%dd%", twodigits(t.day));
    replaceall(result, "%ys%", year.size() >= 4 ? year.substr(2, 2) : year);
    replaceall(result, "%mn%", twodigits(t.month));
    replaceall(result, "%dw%", weekdays[static_cast<std::size_t>(t.dayofweek - 1)]);
    replaceall(result, "%hh%", twodigits(t.hour));
    replaceall(result, "%nn%", twodigits(t.minute));
    replaceall(result, "%ss%", twodigits(t.second));
    replaceall(result, "%name%", name);

    for (char& c : result) {
        switch (c) {
        case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
            c = '_';
            break;
        default:
            break;
        }
    }
    return neutraliselevels(result);
}

std::string templatepath(const std::string& folder, const std::string& expanded)
{
    std::string path = folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    for (char c : expanded)
        path += c == '\\' ? '/' : c;
    return path;
}

}  // namespace velk
