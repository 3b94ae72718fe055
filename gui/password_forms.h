#pragma once
// The password prompt (Tpassform), asked before a guarded action, and the password dialog
// (Tpassword), where the user sets the password and what it guards.
//
// Threads: main thread.

#include <QDialog>
#include <QString>
#include <optional>
#include <string>

class QLineEdit;
class QCheckBox;

namespace velk {

class VelkSystem;

// "Password": one field that shows "*" per character, "&Ok" and "&Cancel"; both buttons close it.
class Tpassform : public QDialog {
    Q_OBJECT
public:
    explicit Tpassform(QWidget* parent = nullptr);
    // Empties the field, shows the prompt modally, centred on its parent, and returns what was
    // typed, whichever button closed it; nothing when a close request of the program closed it
    // (ModalSession::rejectall). Not for a prompt already open: each open question has its own.
    std::optional<std::string> ask();
    QLineEdit* edit() const { return edit_; }

private:
    QLineEdit* edit_;
};

// "Password Settings": filled from the configuration once when created and shown without
// blocking; "&Ok" stores the password and switches and saves the configuration, "&Cancel" only
// closes (what was typed stays for the next time).
class Tpassword : public QDialog {
    Q_OBJECT
public:
    // Shows and changes the configuration of `system` (the running recorder), which must outlive
    // the dialog.
    explicit Tpassword(VelkSystem& system, QWidget* parent = nullptr);
    QLineEdit* passwordedit() const { return edit_; }
    QCheckBox* settingsbox() const { return settings_; }
    QCheckBox* browsersbox() const { return browsers_; }
    QCheckBox* exitbox() const { return exit_; }
    // The "&Ok" action.
    void accepted();

private:
    VelkSystem& system_;
    QLineEdit* edit_;
    QCheckBox* settings_;
    QCheckBox* browsers_;
    QCheckBox* exit_;
};

// Makes a line edit show "*" for every character, whatever the style's own password character.
void setstarechoes(QLineEdit* edit);

}  // namespace velk
