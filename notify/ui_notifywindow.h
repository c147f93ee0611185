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

    // The page is given before the first URL is set, so that the view never
    // creates a page in the default profile.
    void setupUi(QDialog *dialog, QWebEnginePage *page)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName(QStringLiteral("NotifyWindow"));
        dialog->setWhatsThis(QLatin1String(""));
        webView = new QWebEngineView(dialog);
        webView->setObjectName(QStringLiteral("webView"));
        webView->setGeometry(QRect(30, 10, 271, 91));
        page->setParent(webView);
        webView->setPage(page);
        webView->setUrl(QUrl(QStringLiteral("about:blank")));
        retranslateUi(dialog);
        QMetaObject::connectSlotsByName(dialog);
    }

    void retranslateUi(QDialog *dialog)
    {
        dialog->setWindowTitle(QCoreApplication::translate("NotifyWindow", "brindleton", nullptr));
    }
};
