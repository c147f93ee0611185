// The console window's fixed form.
#pragma once

#include <QCoreApplication>
#include <QMainWindow>
#include <QMetaObject>
#include <QSizePolicy>
#include <QWebEngineView>
#include <QWidget>

class Ui_MainWindow
{
public:
    QWidget *centralWidget = nullptr;
    QWebEngineView *webView = nullptr;

    void setupUi(QMainWindow *window)
    {
        if (window->objectName().isEmpty())
            window->setObjectName(QStringLiteral("MainWindow"));
        window->resize(555, 400);
        centralWidget = new QWidget(window);
        centralWidget->setObjectName(QStringLiteral("centralWidget"));
        webView = new QWebEngineView(centralWidget);
        webView->setObjectName(QStringLiteral("webView"));
        webView->setGeometry(QRect(10, 20, 551, 341));
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHorizontalStretch(0);
        policy.setVerticalStretch(0);
        policy.setHeightForWidth(webView->sizePolicy().hasHeightForWidth());
        webView->setSizePolicy(policy);
        webView->setMaximumSize(QSize(2048, 2048));
        webView->setContextMenuPolicy(Qt::DefaultContextMenu);
        window->setCentralWidget(centralWidget);
        retranslateUi(window);
        QMetaObject::connectSlotsByName(window);
    }

    void retranslateUi(QMainWindow *window)
    {
        window->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr));
    }
};
