// A small HTTP server on 127.0.0.1 for tests. Each path is served, redirected or held back
// (its head sent at once, its body when the test says so); any other path is 404. Every
// request target is recorded.
#pragma once

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>

class HttpServer : public QAbstractHttpServer
{
public:
    enum Kind { Serve, Redirect, Hold };

    QUrl url(const QString &path, const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QUrl(u"http://" + host + u':' + QString::number(port) + path);
    }
    // body is the payload, or the Location of a Redirect.
    void route(const QByteArray &path, const QByteArray &body, Kind kind = Serve)
    {
        routes.insert(path, {kind, body});
    }
    // Sends the next n bytes of every held reply; n < 0 sends the rest, and n <= 0 closes.
    void sendHeld(qint64 n)
    {
        for (Held &h : held) {
            if (h.socket)
                h.socket->write(h.body.mid(h.sent, n < 0 ? -1 : n));
            h.sent += n;
            if (h.socket && n <= 0)
                h.socket->disconnectFromHost();
        }
    }

    QList<QByteArray> targets; // path and query of each request, in order of arrival

private:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        targets.append(request.url().toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority));
        const auto r = routes.constFind(request.url().path().toUtf8());
        QHttpServerResponder responder = makeResponder(request, socket);
        if (r == routes.cend()) {
            responder.write(QHttpServerResponder::StatusCode::NotFound);
        } else if (r->first == Redirect) {
            responder.write({{"Location", r->second}}, QHttpServerResponder::StatusCode::Found);
        } else if (r->first == Serve) {
            responder.write(r->second, "text/html; charset=utf-8");
        } else {
            responder.writeStatusLine();
            responder.writeHeaders({{"Content-Length", QByteArray::number(r->second.size())}});
            responder.writeBody(""); // ends the head
            held.append({socket, r->second, 0});
        }
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}

    struct Held
    {
        QPointer<QTcpSocket> socket;
        QByteArray body;
        qint64 sent;
    };
    const quint16 port = listen(QHostAddress::LocalHost);
    QHash<QByteArray, QPair<Kind, QByteArray>> routes;
    QList<Held> held;
};
