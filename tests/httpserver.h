// A small HTTP server on 127.0.0.1 for tests. Each path is served, redirected, held back (its
// head sent at once, its body when the test says so) or behind Basic authentication; any other
// path is 404. The path of
// every request is recorded, and each connection closes after its reply: one kept for a next
// request could be closed under that request, and the client would send it again.
// Plain QTcpServer, so that one source serves every Qt release: Qt HTTP Server's handler
// interface differs between 6.4 and 6.8, and neither lets a reply be held and cut off.
#pragma once

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

class HttpServer : public QTcpServer
{
public:
    enum Kind { Serve, Redirect, Hold, Challenge };

    HttpServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        listen(QHostAddress::LocalHost);
    }
    QUrl url(const QString &path, const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QUrl(u"http://" + host + u':' + QString::number(serverPort()) + path);
    }
    // body is the payload, or the Location of a Redirect; head, further header lines. A
    // Challenge answers 401 (realm "Operators", body "denied") until given the user op,
    // password secret.
    void route(const QByteArray &path, const QByteArray &body, Kind kind = Serve,
               const QByteArray &head = {})
    {
        routes.insert(path, {kind, body, head});
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
    void read(QTcpSocket *socket)
    {
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
            return; // a request is taken whole once its head is in
        const QByteArray request = socket->readAll();
        targets.append(request.split(' ').value(1).split('?').constFirst());
        const auto r = routes.constFind(targets.constLast());
        const auto head = [socket](const QByteArray &status, qsizetype length,
                                   const QByteArray &extra) {
            socket->write("HTTP/1.1 " + status +
                          "\r\nContent-Length: " + QByteArray::number(length) +
                          "\r\nConnection: close\r\n" + extra + "\r\n");
        };
        if (r == routes.cend()) {
            head("404 Not Found", 0, {});
        } else if (r->kind == Redirect) {
            head("302 Found", 0, "Location: " + r->body + "\r\n");
        } else if (r->kind == Challenge && !request.contains("Authorization: Basic b3A6c2VjcmV0")) {
            head("401 Unauthorized", 6, "WWW-Authenticate: Basic realm=\"Operators\"\r\n");
            socket->write("denied");
        } else {
            head("200 OK", r->body.size(), "Content-Type: text/html\r\n" + r->head);
            if (r->kind == Hold)
                return held.append({socket, r->body, 0});
            socket->write(r->body);
        }
        socket->disconnectFromHost();
    }

    struct Held
    {
        QPointer<QTcpSocket> socket;
        QByteArray body;
        qint64 sent;
    };
    struct Route
    {
        Kind kind;
        QByteArray body, head;
    };
    QHash<QByteArray, Route> routes;
    QList<Held> held;
};
