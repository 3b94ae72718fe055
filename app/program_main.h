#pragma once
// The entry point shared by velkasio and velkwdm: options, single instance, start-up, the loop,
// and the orderly shutdown.
//
// Threads: the process's main thread.

#include "config/edition.h"

namespace velk {

// The windows, when the program is built with them: whether a display can be opened, and the
// windowed run (start-up, event loop, orderly shutdown) that replaces the headless loop. The
// windowed run returns the exit code; `recordall` switches every channel on after start-up, as
// --record does headless. `activate` asks the running instance (refused the lock)
// to bring its window to the front; true when it did.
struct ProgramWindows {
    bool (*available)();
    int (*run)(Edition edition, int argc, char** argv, bool recordall);
    bool (*activate)();
};

// Returns the process exit code: 0 after an orderly shutdown (or --help/--version), 1 when another
// instance runs or start-up failed, 2 for a bad command line.
// Without --headless, and when `windows` can open a display, the program runs with its windows.
int programmain(Edition edition, int argc, char** argv, const ProgramWindows* windows = nullptr);

}  // namespace velk
