#include "recfiles/output_names.h"

#include <sys/stat.h>

namespace velk {

std::string numberedname(const std::string& base, int n)
{
    if (n <= 1)
        return base;
    return base + "-" + std::to_string(n);
}

bool pathtaken(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool recordingnametaken(const std::string& base)
{
    for (const char* extension : {".wav", ".wave", ".mp3"})
        if (pathtaken(base + extension))
            return true;
    return false;
}

}  // namespace velk
