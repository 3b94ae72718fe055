#pragma once
// The rule every password-guarded action follows. One password guards three areas (Settings, the
// two browsers, exiting and stopping channels); the Password Settings command asks whenever a
// password is set. The prompt only returns the text typed: the button that closed it is not
// consulted, so typing the right password and pressing Cancel still lets the action go ahead.
//
// Threads: main thread (the prompt is a modal window).

#include <functional>
#include <optional>
#include <string>

namespace velk {

struct TConfig;

enum class GuardArea {
    Settings,          // Control Panel command (settpass)
    Browsers,          // Recordings Browser and View Logs commands (logspass)
    Exit,              // closing the main window, a panel's record button released (exitpass)
    PasswordSettings,  // Password Settings command (no switch)
};

// Shows the password prompt and returns the text in its edit field when it closed, or nothing
// when the prompt was closed as refused (the program is closing).
using PasswordPrompt = std::function<std::optional<std::string>()>;

// True when the action of `area` has to ask first: a password is set and the area's switch is on.
bool guardasks(const TConfig& c, GuardArea area);

// Applies the rule: asks when guardasks(), and then lets the action go ahead only if the typed text
// equals the password exactly (case and blanks count); without asking it goes ahead.
bool guardallows(const TConfig& c, GuardArea area, const PasswordPrompt& prompt);

}  // namespace velk
