#pragma once
// The entry point shared by velkasio and velkwdm: options, single instance, start-up, the loop,
// and the orderly shutdown.
//
// Threads: the process's main thread.

#include "config/edition.h"

namespace velk {

// Returns the process exit code: 0 after an orderly shutdown (or --help/--version), 1 when another
// instance runs or start-up failed, 2 for a bad command line.
int programmain(Edition edition, int argc, char** argv);

}  // namespace velk
