#pragma once
// Records what the main thread is sent, for tests that drain the main-thread queue themselves:
// channel states, status-log lines and the descriptors to save, each in arrival order. With
// `onsave` set it also writes the descriptors, standing in for the main window.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/main_messages.h"
#include "core/rec_descriptor.h"

namespace velk::test {

class MessageRecorder : public MainMessageHandler {
public:
    // One WM_SAVEDESCRIPTOR or WM_FILECOMPLETE.
    struct Save {
        int code;            // WM_SAVEDESCRIPTOR or WM_FILECOMPLETE
        std::int32_t state;  // descriptor state carried
        std::string path;
    };

    std::vector<ChannelStateMessage> states;
    std::vector<std::string> lines;      // each status-log line as posted
    std::vector<std::string> texts;      // the same without the "<date> @ <time>; " stamp
    std::vector<Save> saves;
    std::vector<std::string> completed;  // the paths of WM_FILECOMPLETE, the compression queue's
    // Runs for every descriptor sent, before it is recorded (the recording tests write it here).
    std::function<void(const std::string& path, const TRecDescriptor& descriptor)> onsave;

    void channelstate(const ChannelStateMessage& m) override { states.push_back(m); }
    void logline(LogLineMessage& m) override
    {
        const std::size_t cut = m.line.find("; ");
        texts.push_back(cut == std::string::npos ? m.line : m.line.substr(cut + 2));
        lines.push_back(m.line);
    }
    void savedescriptor(SaveDescriptorMessage& m) override { save(WM_SAVEDESCRIPTOR, m.descriptor, m.path); }
    void filecomplete(FileCompleteMessage& m) override
    {
        save(WM_FILECOMPLETE, m.descriptor, m.path);
        completed.push_back(m.path);
    }

    std::vector<int> statecodes() const
    {
        std::vector<int> codes;
        for (const auto& s : states)
            codes.push_back(s.state);
        return codes;
    }
    // The texts that start with `prefix`.
    std::vector<std::string> textswith(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const auto& t : texts)
            if (t.rfind(prefix, 0) == 0)
                out.push_back(t);
        return out;
    }
    // Whether some line holds `part`.
    bool contains(const std::string& part) const
    {
        for (const auto& line : lines)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    void clear()
    {
        states.clear();
        lines.clear();
        texts.clear();
        saves.clear();
        completed.clear();
    }

private:
    void save(int code, const TRecDescriptor& descriptor, const std::string& path)
    {
        if (onsave)
            onsave(path, descriptor);
        saves.push_back({code, descriptor.state, path});
    }
};

}  // namespace velk::test
