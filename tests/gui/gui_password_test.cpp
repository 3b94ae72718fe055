// Password protection in the windows: the prompt, the password dialog, and Stop All asking once
// per recording channel (the guard rule itself is tested with the Qt-free core).
#include <QCheckBox>
#include <QLineEdit>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "gui/password_forms.h"
#include "app/password_guard.h"
#include "engine/channel.h"
#include "tests/gui/gui_fixture.h"

namespace velk {
namespace {

TEST(PasswordPrompt, LooksAsSpecifiedAndStartsEmptyEachTime)
{
    Tpassform prompt;
    EXPECT_EQ(prompt.windowTitle(), "Password");
    EXPECT_EQ(prompt.size(), QSize(305, 130));
    EXPECT_EQ(prompt.edit()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(prompt.edit()->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, prompt.edit()), '*');
    // Typing the right password and pressing Cancel still returns what was typed.
    QTimer::singleShot(0, &prompt, [&] {
        prompt.edit()->setText("Secret");
        prompt.reject();
    });
    EXPECT_EQ(prompt.ask(), "Secret");
    QTimer::singleShot(0, &prompt, [&] {
        EXPECT_TRUE(prompt.edit()->text().isEmpty());
        prompt.accept();
    });
    EXPECT_EQ(prompt.ask(), "");
}

using PasswordWindow = test::GuiFixture;

TEST_F(PasswordWindow, CommandsAskBeforeOpeningTheirArea)
{
    start(1, [](TConfig& c) {
        c.passw = "pw";
        c.settpass = true;
        c.logspass = true;
    });
    answers = {"wrong", "pw"};
    form->command("Control Panel")->trigger();
    EXPECT_EQ(prompts, 1);
    EXPECT_TRUE(notifier.informations.empty());
    form->command("Control Panel")->trigger();
    EXPECT_EQ(prompts, 2);
    ASSERT_EQ(notifier.informations.size(), 1u);
    EXPECT_EQ(notifier.informations[0], "VELK|The Control Panel is not available yet.");

    answers = {"nope", "pw"};
    form->command("View Logs")->trigger();
    form->command("Recordings Browser")->trigger();
    EXPECT_EQ(prompts, 4);
    ASSERT_EQ(notifier.informations.size(), 2u);
    EXPECT_EQ(notifier.informations[1], "VELK|The recordings browser is not available yet.");

    // Not guarded: About, Add channel, Scheduler, Start All.
    for (const char* name : {"About", "Add channel", "Scheduler", "Start All Channels"})
        form->command(name)->trigger();
    EXPECT_EQ(prompts, 4);
}

TEST_F(PasswordWindow, PasswordDialogSetsAndClearsTheProtection)
{
    start(1);
    // Without a password the dialog opens at once.
    form->command("Password Settings")->trigger();
    EXPECT_EQ(prompts, 0);
    Tpassword* dialog = form->passworddialog();
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowTitle(), "Password Settings");
    EXPECT_EQ(dialog->size(), QSize(370, 251));
    EXPECT_EQ(dialog->passwordedit()->echoMode(), QLineEdit::Password);
    dialog->passwordedit()->setText("Key ");
    dialog->exitbox()->setChecked(true);
    dialog->accepted();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(system->config().passw, "Key ");
    EXPECT_TRUE(system->config().exitpass);
    EXPECT_FALSE(system->config().settpass);
    TConfig stored;
    loadconfig(stored);
    EXPECT_EQ(stored.passw, "Key ");
    EXPECT_TRUE(stored.exitpass);

    // Now the command asks; a wrong entry does not open it.
    answers = {"Key"};
    form->command("Password Settings")->trigger();
    EXPECT_EQ(prompts, 1);
    EXPECT_FALSE(dialog->isVisible());
    answers = {"Key "};
    form->command("Password Settings")->trigger();
    ASSERT_TRUE(dialog->isVisible());
    // Clearing the field and pressing Ok removes all protection.
    dialog->passwordedit()->clear();
    dialog->accepted();
    EXPECT_TRUE(system->config().passw.empty());
    form->close();
    EXPECT_EQ(prompts, 2);
    EXPECT_TRUE(form->shutdowndone());
}

TEST_F(PasswordWindow, StopAllAsksOncePerRecordingChannelAndAWrongEntryKeepsItRecording)
{
    start(3);
    form->command("Start All Channels")->trigger();
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(panel(i).btn->isChecked());
        EXPECT_TRUE(system->channels().at(i).recording());
    }
    ASSERT_TRUE(test::pumpuntil([&] { return panel(2).lbl->text() == "Status: Recording"; }));
    EXPECT_EQ(prompts, 0);  // starting is never guarded

    system->config().passw = "secret";
    system->config().exitpass = true;
    answers = {"wrong", "secret", "Secret"};
    form->command("Stop All Channels")->trigger();
    EXPECT_EQ(prompts, 3);
    EXPECT_TRUE(panel(0).btn->isChecked());
    EXPECT_FALSE(panel(1).btn->isChecked());
    EXPECT_TRUE(panel(2).btn->isChecked());
    EXPECT_TRUE(system->channels().at(0).recording());
    EXPECT_FALSE(system->channels().at(1).recording());
    EXPECT_TRUE(system->channels().at(2).recording());
    ASSERT_TRUE(test::pumpuntil([&] { return panel(1).lbl->text() == "Status: Idle"; }));
    EXPECT_EQ(panel(0).lbl->text(), "Status: Recording");
    EXPECT_EQ(panel(2).lbl->text(), "Status: Recording");

    // Stop All asks only for the channels still recording.
    answers = {"secret", "secret"};
    form->command("Stop All Channels")->trigger();
    EXPECT_EQ(prompts, 5);
    EXPECT_FALSE(system->channels().at(0).recording());
    EXPECT_FALSE(system->channels().at(2).recording());

    // Releasing a panel's button asks too.
    panel(0).btn->click();  // down: starts, no question
    EXPECT_EQ(prompts, 5);
    answers = {"no"};
    panel(0).btn->click();  // up: asks, wrong, goes back down
    EXPECT_EQ(prompts, 6);
    EXPECT_TRUE(panel(0).btn->isChecked());
    EXPECT_TRUE(system->channels().at(0).recording());
}

TEST_F(PasswordWindow, ClosingIsGuardedByTheExitSwitch)
{
    start(1, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    answers = {"PW"};
    EXPECT_FALSE(form->close());
    EXPECT_EQ(prompts, 1);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->shutdowndone());
    answers = {"pw"};
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(form->shutdowndone());
    EXPECT_FALSE(form->isVisible());
}

// The end of the desktop session reaches the program as a quit event: the same guarded close.
// A termination signal closes without asking.
TEST_F(PasswordWindow, TheEndOfTheSessionIsGuardedAndATerminationSignalIsNot)
{
    start(1, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    QEvent quit(QEvent::Quit);
    answers = {"wrong"};
    QCoreApplication::sendEvent(qApp, &quit);
    EXPECT_EQ(prompts, 1);
    EXPECT_FALSE(form->shutdowndone());
    answers = {"pw"};
    QCoreApplication::sendEvent(qApp, &quit);
    EXPECT_EQ(prompts, 2);
    EXPECT_TRUE(form->shutdowndone());

    form.reset();
    system.reset();
    start(1, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    prompts = 0;
    form->closewithoutguard();
    EXPECT_EQ(prompts, 0);
    EXPECT_TRUE(form->shutdowndone());
}

// Runs `action` on the next password prompt that opens (other than `except`), from its loop.
void onnextprompt(QObject* context, std::function<void(Tpassform*)> action, Tpassform* except = nullptr)
{
    auto* poll = new QTimer(context);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, context, [poll, action, except] {
        auto* open = qobject_cast<Tpassform*>(QApplication::activeModalWidget());
        if (!open || open == except || !open->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        action(open);
    });
    poll->start();
}

// A scheduled stop that arrives while the prompt is open for the user's stop of another channel
// gets a prompt of its own; the first prompt keeps what was typed into it.
TEST_F(PasswordWindow, AGuardedActionDuringAnOpenPromptGetsItsOwnPrompt)
{
    start(2, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    form->prompt = [this] { return form->showprompt(); };
    form->command("Start All Channels")->trigger();
    Tpassform* first = nullptr;
    Tpassform* second = nullptr;
    QString firsttext;
    onnextprompt(form.get(), [&](Tpassform* open) {
        first = open;
        first->edit()->setText("p");
        onnextprompt(form.get(), [&](Tpassform* own) {
            second = own;
            second->edit()->setText("pw");
            second->accept();
        }, first);
        form->schedulerswitch(1, false);
        firsttext = first->edit()->text();
        first->edit()->setText(firsttext + "w");
        first->accept();
    });
    panel(0).btn->click();
    EXPECT_EQ(first, form->passform());
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(firsttext, "p");
    EXPECT_FALSE(system->channels().at(0).recording());
    EXPECT_FALSE(system->channels().at(1).recording());
    EXPECT_FALSE(panel(1).btn->isChecked());
}

// A scheduled stop of the channel whose prompt is open waits for that prompt, then asks on its
// own; refused, it is logged.
TEST_F(PasswordWindow, AScheduledStopWaitsForItsChannelsOpenPromptAndARefusalIsLogged)
{
    start(1, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    form->command("Start All Channels")->trigger();
    int asked = 0;
    form->prompt = [&]() -> std::optional<std::string> {
        if (++asked == 1)
            form->schedulerswitch(0, false);
        return std::string("wrong");
    };
    panel(0).btn->click();
    EXPECT_EQ(asked, 1);
    const std::string refused = "Scheduled stop refused, the channel keeps recording: Ch1";
    ASSERT_TRUE(test::pumpuntil([&] {
        const auto& lines = system->statuslog().lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.ends_with(refused); });
    }));
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(panel(0).btn->isChecked());
    EXPECT_TRUE(system->channels().at(0).recording());
}

// A termination signal while a prompt is open closes the prompt as refused (even with the right
// password typed) and closes the window once the prompt's caller has returned; later questions
// are refused without a prompt.
TEST_F(PasswordWindow, ACloseRequestDuringAPromptWaitsForItToEnd)
{
    start(2, [](TConfig& c) {
        c.passw = "pw";
        c.exitpass = true;
    });
    form->prompt = [this] { return form->showprompt(); };
    form->command("Start All Channels")->trigger();
    onnextprompt(form.get(), [&](Tpassform* open) {
        open->edit()->setText("pw");
        form->closewithoutguard();
        EXPECT_FALSE(form->shutdowndone());
    });
    form->command("Stop All Channels")->trigger();
    EXPECT_FALSE(form->shutdowndone());
    EXPECT_TRUE(panel(0).btn->isChecked());
    EXPECT_TRUE(panel(1).btn->isChecked());
    ASSERT_TRUE(test::pumpuntil([&] { return form->shutdowndone(); }));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace velk
