#pragma once
// Test doubles that record what the core tells the user and what it logs.

#include <string>
#include <vector>

#include "core/main_messages.h"
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

// Collects the text of each status-log line (after the "<date> @ <time>; " stamp); ignores the
// other messages.
struct LogCollector : MainMessageHandler {
    std::vector<std::string> texts;
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage& m) override
    {
        const auto at = m.line.find("; ");
        texts.push_back(at == std::string::npos ? m.line : m.line.substr(at + 2));
    }
    void savedescriptor(SaveDescriptorMessage&) override {}
    void filecomplete(FileCompleteMessage&) override {}
};

}  // namespace velk::test
