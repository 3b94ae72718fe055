#include "gui/password_forms.h"

#include "gui/modal_session.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

#include "app/velk_system.h"
#include "core/user_notifier.h"

namespace velk {

namespace {

class StarStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override
    {
        if (hint == QStyle::SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

void centreon(QWidget* dialog)
{
    if (QWidget* parent = dialog->parentWidget())
        dialog->move(parent->geometry().center() - dialog->rect().center());
}

}  // namespace

void setstarechoes(QLineEdit* edit)
{
    auto* style = new StarStyle;
    style->setParent(edit);
    edit->setStyle(style);
    edit->setEchoMode(QLineEdit::Password);
}

Tpassform::Tpassform(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Password"));
    setFixedSize(305, 130);
    auto* frame = new QGroupBox(QStringLiteral("  Please enter your password  "), this);
    frame->setGeometry(12, 10, 281, 62);
    edit_ = new QLineEdit(frame);
    edit_->setGeometry(16, 26, 249, 24);
    setstarechoes(edit_);
    auto* ok = new QPushButton(QStringLiteral("&Ok"), this);
    ok->setGeometry(130, 88, 75, 27);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel->setGeometry(218, 88, 75, 27);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

std::optional<std::string> Tpassform::ask()
{
    edit_->clear();
    centreon(this);
    edit_->setFocus();
    ModalSession session(this);
    exec();
    if (session.closedbyrequest())
        return std::nullopt;
    return edit_->text().toStdString();
}

Tpassword::Tpassword(VelkSystem& system, QWidget* parent) : QDialog(parent), system_(system)
{
    setWindowTitle(QStringLiteral("Password Settings"));
    setFixedSize(370, 251);
    auto* banner = new QLabel(this);
    banner->setGeometry(0, 0, 370, 52);
    banner->setAutoFillBackground(true);
    banner->setStyleSheet(QStringLiteral("background-color: rgb(28, 60, 125); color: white; font-weight: bold;"
                                         "padding-left: 14px;"));
    banner->setText(QStringLiteral("Set password protection for program\noptions and recording browser"));
    auto* label = new QLabel(QStringLiteral("Password:"), this);
    label->setGeometry(16, 70, 80, 22);
    edit_ = new QLineEdit(this);
    edit_->setGeometry(100, 68, 254, 24);
    setstarechoes(edit_);
    label->setBuddy(edit_);
    auto* frame = new QGroupBox(QStringLiteral("  Required for:  "), this);
    frame->setGeometry(16, 104, 338, 96);
    settings_ = new QCheckBox(QStringLiteral("Settings"), frame);
    settings_->setGeometry(16, 22, 300, 20);
    browsers_ = new QCheckBox(QStringLiteral("Recordings and Logs Browser"), frame);
    browsers_->setGeometry(16, 44, 300, 20);
    exit_ = new QCheckBox(QStringLiteral("Exit or Stop"), frame);
    exit_->setGeometry(16, 66, 300, 20);
    auto* ok = new QPushButton(QStringLiteral("&Ok"), this);
    ok->setGeometry(196, 212, 75, 27);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel->setGeometry(279, 212, 75, 27);
    connect(ok, &QPushButton::clicked, this, &Tpassword::accepted);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // Filled once; later changes of the record are not shown here.
    const TConfig& c = system_.config();
    edit_->setText(QString::fromStdString(c.passw));
    settings_->setChecked(c.settpass);
    browsers_->setChecked(c.logspass);
    exit_->setChecked(c.exitpass);
}

void Tpassword::accepted()
{
    TConfig& c = system_.config();
    c.passw = edit_->text().toStdString();
    c.settpass = settings_->isChecked();
    c.logspass = browsers_->isChecked();
    c.exitpass = exit_->isChecked();
    try {
        system_.saveconfig();
    } catch (const std::exception& e) {
        usernotifier().error("Could not save settings", e.what());
    }
    accept();
}

}  // namespace velk
