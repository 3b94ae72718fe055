#pragma once
// openhelp: opens the local HTML manual in the user's default browser. The manual lies beside
// the executable; a topic is an anchor in it ("defaults", "mp3options", "settings", ...).
//
// Threads: main thread only (it may show a message box).

#include <QString>
#include <QUrl>
#include <functional>

namespace velk {

// The manual's file name.
inline constexpr const char* helpfilename = "velk.html";

// Opens `folder` + "/" + `file` (the executable's folder when `folder` is empty), at `topic` when
// one is given. A missing file, or no program to open it, shows "Unable to open help file :" +
// path. Returns whether the manual was handed to the browser.
// What hands the manual's URL to the browser: QDesktopServices::openUrl unless replaced (tests
// record the URL instead). Returns whether a program took it.
using HelpOpener = std::function<bool(const QUrl&)>;
HelpOpener& helpopener();

bool openhelp(const QString& file, const QString& topic = QString(), const QString& folder = QString());

// The maker's home page, opened by Help > Visit Home Page.
inline constexpr const char* homepageurl = "https://www.quorlith.com/velk/";

// Hands the home page to the default browser; when no program takes it, says so with the address.
bool openhomepage();

}  // namespace velk
