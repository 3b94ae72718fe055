#include "app/password_guard.h"

#include "config/config.h"

namespace velk {

bool guardasks(const TConfig& c, GuardArea area)
{
    if (c.passw.empty())
        return false;
    switch (area) {
    case GuardArea::Settings:
        return c.settpass;
    case GuardArea::Browsers:
        return c.logspass;
    case GuardArea::Exit:
        return c.exitpass;
    case GuardArea::PasswordSettings:
        return true;
    }
    return false;
}

bool guardallows(const TConfig& c, GuardArea area, const PasswordPrompt& prompt)
{
    if (!guardasks(c, area))
        return true;
    // The password is copied first: the prompt runs an event loop that could change the record.
    const std::string password = c.passw;
    if (!prompt)
        return false;
    const std::optional<std::string> typed = prompt();
    return typed && *typed == password;
}

}  // namespace velk
