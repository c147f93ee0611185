// What the windows with a web view share.
//
// Web views draw through OpenGL. A shown window whose native window was made for
// raster drawing is destroyed and made anew when its web view starts drawing,
// which the user sees as the window vanishing and coming back. A hidden OpenGL
// child, present before the window is first shown, makes the first native
// window the right kind.
#pragma once

#include <QOpenGLWidget>
#include <QString>
#include <QWebEnginePage>

inline void prepareForWebView(QWidget *window)
{
    auto *hint = new QOpenGLWidget(window);
    hint->setObjectName(QStringLiteral("webViewSurfaceHint"));
    hint->setFixedSize(1, 1);
    hint->hide();
}

// How a renderer process ended, for the log: "crashed", "killed" or
// "abnormal"; empty for a normal end.
inline QString rendererEndCause(QWebEnginePage::RenderProcessTerminationStatus status)
{
    switch (status) {
    case QWebEnginePage::NormalTerminationStatus:
        break;
    case QWebEnginePage::AbnormalTerminationStatus:
        return QStringLiteral("abnormal");
    case QWebEnginePage::CrashedTerminationStatus:
        return QStringLiteral("crashed");
    case QWebEnginePage::KilledTerminationStatus:
        return QStringLiteral("killed");
    }
    return QString();
}
