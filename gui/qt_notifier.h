#pragma once
// What the user is told while the windows run: message boxes over the main window.
//
// Threads: main thread, like every user notifier.

#include "core/user_notifier.h"

namespace velk {

class QtNotifier : public UserNotifier {
public:
    void error(const std::string& title, const std::string& text) override;
    void information(const std::string& title, const std::string& text) override;
};

}  // namespace velk
