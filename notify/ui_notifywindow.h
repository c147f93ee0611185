// The notification pop-up's fixed form.
#pragma once

#include <QCoreApplication>
#include <QDialog>
#include <QMetaObject>
#include <QUrl>
#include <QWebEngineView>

class Ui_NotifyWindow
{
public:
    QWebEngineView *webView = nullptr;

    // The view gets its page, and with it a renderer, only when the pop-up is
    // first used (NotifyWindow::page()).
    void setupUi(QDialog *dialog)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName(QStringLiteral("NotifyWindow"));
        dialog->setWhatsThis(QLatin1String(""));
        webView = new QWebEngineView(dialog);
        webView->setObjectName(QStringLiteral("webView"));
        webView->setGeometry(QRect(30, 10, 271, 91));
        retranslateUi(dialog);
        QMetaObject::connectSlotsByName(dialog);
    }

    void retranslateUi(QDialog *dialog)
    {
        dialog->setWindowTitle(QCoreApplication::translate("NotifyWindow", "brindleton", nullptr));
    }
};
