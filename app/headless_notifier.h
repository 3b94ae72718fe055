#pragma once
// What the user is told when there are no windows: the title and text go to the status log (so
// they are filed) and to stderr.
//
// Threads: main thread, like every user notifier.

#include "core/user_notifier.h"

namespace velk {

class HeadlessNotifier : public UserNotifier {
public:
    void error(const std::string& title, const std::string& text) override;
    void information(const std::string& title, const std::string& text) override;
};

}  // namespace velk
