#pragma once
// A private virtual X server (Xvfb) for window tests that run on a real X display: started on a
// free display number that the server picks itself (-displayfd), so parallel test processes never
// collide; stopped when the object goes.

#include <sys/types.h>

#include <string>

namespace velk::test {

class XvfbServer {
public:
    // Starts Xvfb with one 1280x1024x24 screen; throws std::runtime_error when it cannot.
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Kills the server at once, as a crash of the display would.
    void kill();

    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace velk::test
