#include "core/errors.h"

#include <cstring>

namespace velk {

std::string systemerrortext(int errnum)
{
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not point into the buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error ") + std::to_string(errnum);
}

EOSError::EOSError(int errnum) : EVelkError(systemerrortext(errnum), errnum) {}

EOSError::EOSError(const std::string& prefix, int errnum)
    : EVelkError(prefix + systemerrortext(errnum), errnum)
{
}

}  // namespace velk
