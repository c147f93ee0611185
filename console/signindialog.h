// The prompt for a user name and password that the console's server or a proxy asks for. The
// answer goes to the engine alone, which keeps it in memory for the run.
#pragma once

#include <QDialog>

class QAuthenticator;
class QLineEdit;

class SignInDialog : public QDialog
{
    Q_OBJECT
public:
    // Asks on behalf of host (with the proxy's name when a proxy asks); Cancel leaves the
    // authenticator empty, and the engine shows what the server sent.
    static void ask(QWidget *parent, const QString &host, const QString &proxyHost,
                    QAuthenticator *authenticator);

private:
    SignInDialog(QWidget *parent, const QString &message);

    QLineEdit *user;
    QLineEdit *password;
};
