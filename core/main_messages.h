#pragma once
// The messages worker threads post to the main thread. Each payload is owned by the message, so
// nothing leaks when a message is never handled.

#include <functional>
#include <string>
#include <variant>

#include "core/rec_descriptor.h"

namespace velk {

enum MessageCode : int {
    WM_CHANNELSTATE = 1035,
    WM_LOGLINE = 1036,
    WM_SAVEDESCRIPTOR = 1038,
    WM_FILECOMPLETE = 1039,
};

// A channel's state changed: 0 idle, 1 recording, 2 listening (voice activation armed).
struct ChannelStateMessage {
    int channel = 0;
    int state = 0;
};

// One finished status-log line.
struct LogLineMessage {
    std::string line;
};

// Write this descriptor to `path`.
struct SaveDescriptorMessage {
    TRecDescriptor descriptor;
    std::string path;
};

// Write this descriptor to `path`, then queue `path` for compression.
struct FileCompleteMessage {
    TRecDescriptor descriptor;
    std::string path;
};

// A call to run on the main thread.
struct QueuedCallMessage {
    std::function<void()> call;
};

using MainMessage =
    std::variant<ChannelStateMessage, LogLineMessage, SaveDescriptorMessage, FileCompleteMessage, QueuedCallMessage>;

// The numeric code of a message (0 for queued calls, which have none).
int messagecode(const MainMessage& message);

// Receives the four coded messages on the main thread. Queued calls need no handler.
class MainMessageHandler {
public:
    virtual ~MainMessageHandler() = default;
    virtual void channelstate(const ChannelStateMessage& message) = 0;
    virtual void logline(LogLineMessage& message) = 0;
    virtual void savedescriptor(SaveDescriptorMessage& message) = 0;
    virtual void filecomplete(FileCompleteMessage& message) = 0;
};

}  // namespace velk
