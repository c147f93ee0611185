// A small HTTP/1.1 server on 127.0.0.1 for tests. Each path is served, redirected or held back
// (its body sent when the test says so); any other path is 404. Every request target is
// recorded, and connections close after each reply.
#pragma once

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

class HttpServer : public QObject
{
public:
    enum Kind { Serve, Redirect, Hold };

    HttpServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        server.listen(QHostAddress::LocalHost);
    }
    QUrl url(const QString &path, const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QUrl(u"http://" + host + u':' + QString::number(server.serverPort()) + path);
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
    struct Held
    {
        QPointer<QTcpSocket> socket;
        QByteArray body;
        qint64 sent;
    };

    void read(QTcpSocket *socket)
    {
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
            return; // the request is read whole once its head is in
        const QByteArray target = socket->readAll().split(' ').value(1);
        targets.append(target);
        const auto r = routes.constFind(target.split('?').constFirst());
        const auto head = [](const QByteArray &status, qsizetype length,
                             const QByteArray &extra) -> QByteArray {
            return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(length) +
                   "\r\nConnection: close\r\n" + extra + "\r\n";
        };
        if (r == routes.cend()) {
            socket->write(head("404 Not Found", 0, {}));
        } else if (r->first == Redirect) {
            socket->write(head("302 Found", 0, "Location: " + r->second + "\r\n"));
        } else {
            socket->write(
                head("200 OK", r->second.size(), "Content-Type: text/html; charset=utf-8\r\n"));
            if (r->first == Hold)
                return held.append({socket, r->second, 0});
            socket->write(r->second);
        }
        socket->disconnectFromHost();
    }

    QTcpServer server;
    QHash<QByteArray, QPair<Kind, QByteArray>> routes;
    QList<Held> held;
};
