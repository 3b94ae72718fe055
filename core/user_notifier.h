#pragma once
// How the core tells the user something that needs attention (a corrupted configuration, a log
// file that cannot be saved, a start-up failure). The windows show message boxes; headless, the
// text goes to the status log and to stderr.
//
// Threads: main thread only (message boxes are shown there).

#include <string>

namespace velk {

class UserNotifier {
public:
    virtual ~UserNotifier() = default;
    virtual void error(const std::string& title, const std::string& text) = 0;
    virtual void information(const std::string& title, const std::string& text) = 0;
};

// Writes "title: text" to stderr (and nothing else); the default until a program installs its own.
class StderrNotifier : public UserNotifier {
public:
    void error(const std::string& title, const std::string& text) override;
    void information(const std::string& title, const std::string& text) override;
};

UserNotifier& usernotifier();
void setusernotifier(UserNotifier* notifier);  // not owned; nullptr restores the default

}  // namespace velk
