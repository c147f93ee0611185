// What the window shows when a page of its main frame cannot be loaded at all (no name, no
// connection, no answer, an untrusted certificate, a connection dropped mid-answer): the address,
// the cause in plain words and a countdown to the next try, which comes by itself, at growing
// intervals, or at once when the desktop reports the network back or the user asks for it.
//
// The message is a native widget over the view, as RendererGuard's is, rather than a page in the
// view: a page, even one of an opaque origin made from a built-in resource, would give the
// engine's pages and frames something to navigate, message or frame, and its button would need a
// way into the shell; the widget has none, and only the user's click or key reaches it.
#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QLabel;
class QTcpSocket;
class QWebEngineCertificateError;
class QWebEngineLoadingInfo;
class QWebEnginePage;
class QWebEngineView;

class Unreachable : public QObject
{
    Q_OBJECT
public:
    static constexpr int maxIntervalMs = 30000;

    Unreachable(QWebEngineView *view, QObject *parent);

    bool isShown() const;
    // The message over the view (its text and its button), for tests.
    QWidget *message() const { return overlay; }
    // The wait before the first try again; each further wait doubles, up to maxIntervalMs.
    void setFirstInterval(int ms) { firstIntervalMs = ms; }

    // The cause of a failed load, in plain words; empty for a load that did not fail for want of
    // a network answer (a refused navigation, a stop, an HTTP status the server sent).
    static QString causeOf(const QWebEngineLoadingInfo &info, const QString &certificateWhy);

public slots:
    // Loads the address that failed again, at once.
    void tryNow();

signals:
    // The message has been shown or hidden: the window's title says so.
    void shownChanged(bool shown);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void loadingChanged(const QWebEngineLoadingInfo &info);
    void certificateRejected(const QWebEngineCertificateError &error);
    void watchNetwork();
    void updateCountdown();
    void probe();

    QPointer<QWebEngineView> view;
    QPointer<QWebEnginePage> page;
    QWidget *overlay = nullptr;
    QLabel *text = nullptr;
    QLabel *countdown = nullptr;
    QTimer retry, tick, probing;
    QTcpSocket *prober = nullptr;
    QElapsedTimer outage; // since the first failure of this outage
    QDeadlineTimer nextTry;
    QUrl failed;            // the address to try again
    QString cause;          // why it failed, as the message says
    QString certificateWhy; // the engine's word on the last certificate it refused
    QUrl certificateUrl;    // the address that certificate was for
    int firstIntervalMs = 1000;
    int intervalMs = 0;
    int tries = 0; // loads made since the failure, the one under way included
    bool watchingNetwork = false;
};
