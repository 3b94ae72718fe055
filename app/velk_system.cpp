#include "app/velk_system.h"

#include <cstdio>

#include "config/config.h"
#include "config/config_file.h"
#include "core/errors.h"
#include "core/user_notifier.h"
#include "recfiles/descriptor_files.h"

namespace velk {

std::string velkversion()
{
    return VELK_VERSION;
}

VelkSystem::VelkSystem(Edition edition) : edition_(edition)
{
    setedition(edition);
    queue_.bindtocurrentthread();
    setmainqueue(&queue_);
}

VelkSystem::~VelkSystem()
{
    if (started_ && !stopped_) {
        try {
            shutdown();
        } catch (...) {
            // Destruction must not throw; shutdown() reports its own failures.
        }
    }
    setmainqueue(nullptr);
}

std::size_t VelkSystem::runqueue()
{
    return queue_.drain(handling_ ? this : nullptr);
}

void VelkSystem::startup()
{
    started_ = true;
    addlog("VELK System Initialization...");
    loadconfig(config());
    statuslog_.setfolder(config().log_path);
    addlog("VELK System Activated.");
}

void VelkSystem::shutdown()
{
    if (stopped_)
        return;
    stopped_ = true;
    try {
        saveconfig(config());
    } catch (const std::exception& e) {
        usernotifier().error("Could not save settings", e.what());
    }
    // Descriptor messages of recordings finished above are handled while their consumers exist.
    runqueue();
    addlog("VELK Closed.");
    runqueue();
    handling_ = false;
    statuslog_.savelog();
}

void VelkSystem::channelstate(const ChannelStateMessage& message)
{
    if (onchannelstate)
        onchannelstate(message);
}

void VelkSystem::logline(LogLineMessage& message)
{
    if (echo_) {
        std::fwrite(message.line.data(), 1, message.line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    statuslog_.append(std::move(message.line));
}

void VelkSystem::savedescriptor(SaveDescriptorMessage& message)
{
    writedescriptor(message.path, message.descriptor);
}

void VelkSystem::filecomplete(FileCompleteMessage& message)
{
    writedescriptor(message.path, message.descriptor);
    compressions_.push_back(std::move(message.path));
}

}  // namespace velk
