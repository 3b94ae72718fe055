#include "app/program_main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/headless_loop.h"
#include "app/headless_notifier.h"
#include "app/velk_system.h"
#include "services/status_log.h"
#include "core/errors.h"
#include "platform/named_lock.h"

namespace velk {

namespace {

const char* programname(Edition edition)
{
    return edition == Edition::Asio ? "velkasio" : "velkwdm";
}

void printusage(Edition edition, std::FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [--headless] [--record] [--help] [--version]\n"
                 "Quorlith VELK%s: records every configured channel into its own series of files.\n"
                 "\n"
                 "  --headless  run without windows until SIGINT or SIGTERM, then shut down in order;\n"
                 "              status-log lines go to stdout\n"
                 "  --record    switch every channel on after start-up (as autorecording does)\n"
                 "  --help      show this text\n"
                 "  --version   show the version\n"
                 "\n"
                 "Data folder: $VELK_DATA_ROOT, else $XDG_DATA_HOME, else ~/.local/share, each\n"
                 "followed by /Quorlith/VELK/4.0/ (Logs, Data, Recordings).\n",
                 programname(edition), captionsuffix(edition).c_str());
}

// Said at once: the status log is filed at the end, and a folder that cannot take it would
// otherwise go unnoticed for the whole run.
void warnunusablelogfolder(Edition edition, const std::string& folder)
{
    struct stat st {};
    const char* why = nullptr;
    if (::stat(folder.c_str(), &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        why = "not a folder";
    else if (::access(folder.c_str(), W_OK | X_OK) != 0)
        why = std::strerror(errno);
    if (why)
        std::fprintf(stderr, "%s: the log folder %s cannot be used (%s): the status log will not be filed\n",
                     programname(edition), folder.c_str(), why);
}

}  // namespace

int programmain(Edition edition, int argc, char** argv, const ProgramWindows* windows)
{
    bool headless = false;
    bool recordall = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--record") {
            recordall = true;
        } else if (arg == "--help" || arg == "-h") {
            printusage(edition, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("Quorlith VELK %s%s\n", velkversion().c_str(), captionsuffix(edition).c_str());
            return 0;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", programname(edition), arg.c_str());
            printusage(edition, stderr);
            return 2;
        }
    }
    // Everything the recorder creates (folders, recordings, descriptors, task lists, logs, the
    // lock file) is for the user alone, whatever umask the program was started with.
    ::umask(077);
    HeadlessLoop::blocksignals();
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");

    // One instance of either edition at a time; the lock dies with the process.
    std::optional<NamedLock> instance;
    try {
        instance = NamedLock::tryacquire("VELK");
    } catch (const EVelkError& e) {
        std::fprintf(stderr, "%s: cannot take the single-instance lock: %s\n", programname(edition), e.what());
        return 1;
    }
    if (!instance) {
        // The running instance, when it has windows, comes to the front.
        if (!headless && windows && windows->activate && windows->available())
            windows->activate();
        std::fprintf(stderr, "VELK is already running.\n");
        return 1;
    }

    if (!headless && windows && windows->available())
        return windows->run(edition, argc, argv, recordall);

    HeadlessNotifier notifier;
    setusernotifier(&notifier);
    int rc = 0;
    {
        VelkSystem system(edition);
        system.setechotostdout(true);
        try {
            system.startup();
            warnunusablelogfolder(edition, system.statuslog().folder());
            if (recordall)
                system.channels().allchannelsstate(true);
            HeadlessLoop(system).run();
        } catch (const std::exception& e) {
            addlog(std::string("Exception detected: ") + e.what());
            std::fprintf(stderr, "%s: %s\n", programname(edition), e.what());
            rc = 1;
        }
        system.shutdown();
        // Nothing else would tell whoever runs the recorder unattended that its account is lost.
        if (!system.logfiled()) {
            std::fprintf(stderr, "%s: the status log could not be filed in %s\n", programname(edition),
                         system.statuslog().folder().c_str());
            if (rc == 0)
                rc = 1;
        }
    }
    setusernotifier(nullptr);
    return rc;
}

}  // namespace velk
