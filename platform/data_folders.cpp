#include "platform/data_folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/paths.h"

namespace velk {

namespace {

std::string withoutslash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

const char* nonempty(const char* value)
{
    return value && *value ? value : nullptr;
}

}  // namespace

std::string commonappdatafolder()
{
    if (const char* root = nonempty(std::getenv("VELK_DATA_ROOT")))
        return withoutslash(root);
    if (const char* xdg = nonempty(std::getenv("XDG_DATA_HOME")))
        return withoutslash(xdg);
    if (const char* home = nonempty(std::getenv("HOME")))
        return withoutslash(std::string(home) + "/.local/share");
    return "/tmp";
}

std::string velkcommonfolder()
{
    return commonappdatafolder() + "/Quorlith/VELK/4.0/";
}

std::string velklogfolder()
{
    return velkcommonfolder() + "Logs";
}

std::string velkdatafolder()
{
    return velkcommonfolder() + "Data";
}

std::string velkrecordingsfolder()
{
    return velkcommonfolder() + "Recordings";
}

std::string velkdriverfolder()
{
    return velkcommonfolder() + "Drivers";
}

bool createfolder(const std::string& path)
{
    // For the owner alone, whatever the umask: another user must not plant descriptors or task
    // lists in the recorder's folders.
    if (::mkdir(path.c_str(), 0700) == 0) {
        ::chmod(path.c_str(), 0700);
        return true;
    }
    if (errno != EEXIST)
        return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool forcefolders(const std::string& path)
{
    const std::string clean = withoutslash(path);
    if (clean.empty())
        return false;
    struct stat st {};
    if (::stat(clean.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (const std::string parent = folderof(clean); !parent.empty() && parent != "/" && !forcefolders(parent))
        return false;
    return createfolder(clean);
}

}  // namespace velk
