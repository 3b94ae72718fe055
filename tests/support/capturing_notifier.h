#pragma once
// A user notifier that records each message box instead of showing it.

#include <string>
#include <vector>

#include "core/user_notifier.h"

namespace velk::test {

// Records each message box as "title|text".
struct CapturingNotifier : UserNotifier {
    std::vector<std::string> errors;
    std::vector<std::string> informations;
    void error(const std::string& title, const std::string& text) override { errors.push_back(title + "|" + text); }
    void information(const std::string& title, const std::string& text) override
    {
        informations.push_back(title + "|" + text);
    }
};

}  // namespace velk::test
