#include "app/headless_notifier.h"

#include <cstdio>

#include "services/status_log.h"

namespace velk {

namespace {
void tell(const std::string& title, const std::string& text)
{
    addlog(title + ": " + text);
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}
}  // namespace

void HeadlessNotifier::error(const std::string& title, const std::string& text)
{
    tell(title, text);
}

void HeadlessNotifier::information(const std::string& title, const std::string& text)
{
    tell(title, text);
}

}  // namespace velk
