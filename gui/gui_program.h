#pragma once
// The program with its windows: the Qt application, the message boxes and the main window around
// the recorder. programmain() calls it after taking the single-instance lock when windows can be
// shown.
//
// Threads: the process's main thread.

#include "app/program_main.h"

namespace velk {

// The windows of both editions (pass to programmain()).
const ProgramWindows& qtwindows();

}  // namespace velk
