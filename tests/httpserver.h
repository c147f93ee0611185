// A small HTTP server on 127.0.0.1 for tests. Each path is served, redirected or held back
// (its head sent at once, its body when the test says so); any other path is 404. The path of
// every request is recorded, and each connection closes after its reply.
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

    QList<QByteArray> targets; // the path of each request, in order of arrival

private:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        using Status = QHttpServerResponder::StatusCode;
        targets.append(request.url().path().toUtf8());
        const auto r = routes.constFind(targets.constLast());
        QHttpServerResponder responder = makeResponder(request, socket);
        // Each connection closes after its reply. One kept for a next request could be closed
        // under that request, and the client would send it again: one request recorded twice.
        if (r == routes.cend()) {
            responder.write({{"Connection", "close"}}, Status::NotFound);
        } else if (r->first == Redirect) {
            responder.write({{"Location", r->second}, {"Connection", "close"}}, Status::Found);
        } else if (r->first == Serve) {
            responder.write(r->second, {{"Content-Type", "text/html"}, {"Connection", "close"}});
        } else {
            responder.writeStatusLine();
            responder.writeHeaders({{"Content-Length", QByteArray::number(r->second.size())},
                                    {"Connection", "close"}});
            responder.writeBody(""); // ends the head
            held.append({socket, r->second, 0});
            return true;
        }
        socket->disconnectFromHost();
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
