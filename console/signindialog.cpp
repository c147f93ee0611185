#include "console/signindialog.h"

#include <QAuthenticator>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

SignInDialog::SignInDialog(QWidget *parent, const QString &message)
    : QDialog(parent), user(new QLineEdit(this)), password(new QLineEdit(this))
{
    setWindowTitle(tr("Sign in"));
    password->setEchoMode(QLineEdit::Password);
    auto *form = new QFormLayout(this);
    auto *text = new QLabel(message, this);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    form->addRow(text);
    form->addRow(tr("User name:"), user);
    form->addRow(tr("Password:"), password);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void SignInDialog::ask(QWidget *parent, const QString &host, const QString &proxyHost,
                       QAuthenticator *authenticator)
{
    const QString realm = authenticator->realm();
    const QString message =
        proxyHost.isEmpty()
            ? tr("%1 asks for a user name and password (realm \"%2\").").arg(host, realm)
            : tr("The proxy %1 asks for a user name and password to reach %2 (realm \"%3\").")
                  .arg(proxyHost, host, realm);
    SignInDialog dialog(parent, message);
    if (dialog.exec() == QDialog::Accepted) {
        authenticator->setUser(dialog.user->text());
        authenticator->setPassword(dialog.password->text());
    } else {
        *authenticator = QAuthenticator();
    }
}
