// The password guard rule for each guarded action (the prompt and its windows are among the
// window tests).
#include <gtest/gtest.h>

#include <string>

#include "app/password_guard.h"
#include "config/config.h"

namespace velk {
namespace {

TEST(GuardRule, Table)
{
    struct Case {
        const char* passw;
        bool settpass, logspass, exitpass;
        GuardArea area;
        const char* typed;
        bool asks, allows;
    };
    const Case cases[] = {
        // No password: nothing asks, whatever the switches.
        {"", true, true, true, GuardArea::Settings, "x", false, true},
        {"", true, true, true, GuardArea::Browsers, "x", false, true},
        {"", true, true, true, GuardArea::Exit, "x", false, true},
        {"", true, true, true, GuardArea::PasswordSettings, "x", false, true},
        // A password with every switch off: only Password Settings asks.
        {"pw", false, false, false, GuardArea::Settings, "x", false, true},
        {"pw", false, false, false, GuardArea::Browsers, "x", false, true},
        {"pw", false, false, false, GuardArea::Exit, "x", false, true},
        {"pw", false, false, false, GuardArea::PasswordSettings, "x", true, false},
        {"pw", false, false, false, GuardArea::PasswordSettings, "pw", true, true},
        // Each switch guards its own area only.
        {"pw", true, false, false, GuardArea::Settings, "pw", true, true},
        {"pw", true, false, false, GuardArea::Settings, "PW", true, false},
        {"pw", true, false, false, GuardArea::Browsers, "", false, true},
        {"pw", false, true, false, GuardArea::Browsers, "nope", true, false},
        {"pw", false, false, true, GuardArea::Exit, "pw", true, true},
        {"pw", false, false, true, GuardArea::Settings, "", false, true},
        // Letter case and blanks count.
        {"Secret", false, false, true, GuardArea::Exit, "secret", true, false},
        {"pw ", false, false, true, GuardArea::Exit, "pw", true, false},
        {"pw ", false, false, true, GuardArea::Exit, "pw ", true, true},
    };
    for (const Case& k : cases) {
        TConfig c;
        c.passw = k.passw;
        c.settpass = k.settpass;
        c.logspass = k.logspass;
        c.exitpass = k.exitpass;
        int asked = 0;
        const bool allowed = guardallows(c, k.area, [&] {
            ++asked;
            return std::string(k.typed);
        });
        SCOPED_TRACE(std::string("passw '") + k.passw + "' area " + std::to_string(static_cast<int>(k.area)) +
                     " typed '" + k.typed + "'");
        EXPECT_EQ(guardasks(c, k.area), k.asks);
        EXPECT_EQ(asked, k.asks ? 1 : 0);
        EXPECT_EQ(allowed, k.allows);
    }
}

}  // namespace
}  // namespace velk
