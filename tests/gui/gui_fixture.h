#pragma once
// A main window over a running recorder on one virtual card, with a configuration written before
// start-up, the message boxes captured and the password prompt answered by the test.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/display.h"
#include "gui/main_form.h"
#include "app/velk_system.h"
#include "config/config.h"
#include "config/config_file.h"
#include "config/edition.h"
#include "core/user_notifier.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/temp_folder.h"

namespace velk::test {

// Runs the event loop until `done` holds or `timeout` passes; returns `done()`.
inline bool pumpuntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// An accepted quit of the application (the end of the session) makes every event loop started
// later, a dialog's included, return at once, until the application's own loop has run again:
// run it once, so the tests after such a test see modal dialogs as the program does.
inline void restarteventloops()
{
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

// Delivers what is waiting now (posted events, the queue's socket notice).
inline void pump()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Writes the configuration of one channel "Desk" on input 0 of the virtual card, recording into
// `root` + "/rec", for a program started afterwards; returns the common data folder.
inline std::string writedeskconfig(const TempDataRoot& root, bool autorecording)
{
    setedition(Edition::Asio);
    config() = TConfig{};
    loadconfig(config());
    TConfig& c = config();
    c.num = 1;
    c.channels[0] = TChannelConfig{};
    c.channels[0].name = "Desk";
    c.channels[0].folder = root.root() + "/rec";
    c.autorecording = autorecording;
    saveconfig(c);
    const std::string common = c.common_path;
    config() = TConfig{};
    return common;
}

class GuiFixture : public ::testing::Test {
protected:
    GuiFixture()
    {
        setusernotifier(&notifier);
        const char* old = std::getenv("VELK_VIRTUAL_CARDS");
        hadcards = old != nullptr;
        if (old)
            oldcards = old;
        setenv("VELK_VIRTUAL_CARDS", "1", 1);
    }
    ~GuiFixture() override
    {
        form.reset();
        system.reset();
        test::restarteventloops();
        config() = TConfig{};
        displaysettings() = TDisplaySettings{};
        if (hadcards)
            setenv("VELK_VIRTUAL_CARDS", oldcards.c_str(), 1);
        else
            unsetenv("VELK_VIRTUAL_CARDS");
        setusernotifier(nullptr);
    }

    // Writes a configuration with `count` manual channels "Ch1".. on inputs 0.. of card 0 (edit
    // it with `adjust`), then starts the recorder with its window.
    void start(int count, const std::function<void(TConfig&)>& adjust = {})
    {
        setedition(Edition::Asio);  // the files of the edition started below
        loadconfig(config());
        TConfig& c = config();
        c.num = count;
        for (int i = 0; i < count; ++i) {
            TChannelConfig& ch = c.channels[static_cast<std::size_t>(i)];
            ch = TChannelConfig{};
            ch.card = 0;
            ch.chnum = i;
            ch.name = "Ch" + std::to_string(i + 1);
            ch.folder = root.root() + "/rec/" + ch.name;
            ch.mode = 1;
        }
        c.samplerate = 6;
        c.format = pcmwaveformat(48000, 1, 16);
        if (adjust)
            adjust(c);
        saveconfig(c);
        config() = TConfig{};
        system = std::make_unique<VelkSystem>(Edition::Asio);
        form = std::make_unique<TMainForm>(*system);
        form->prompt = [this] {
            ++prompts;
            if (answers.empty())
                return std::string();
            std::string a = answers.front();
            answers.pop_front();
            return a;
        };
        form->show();
        pump();
    }

    TDisplay& panel(std::size_t i) { return *form->displaylist().at(i); }

    TempDataRoot root;
    CapturingNotifier notifier;
    std::unique_ptr<VelkSystem> system;
    std::unique_ptr<TMainForm> form;
    std::deque<std::string> answers;  // what the password prompt returns, in turn ("" when empty)
    int prompts = 0;
    bool hadcards = false;
    std::string oldcards;
};

}  // namespace velk::test
