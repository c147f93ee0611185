// A small HTTP/1.1 server on 127.0.0.1 for tests: each path is given a
// behaviour (a page to serve, a failure, a reply held back and sent piecewise
// when the test says so), and every request is recorded. Connections close
// after each reply.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <functional>

class HttpServer : public QObject
{
public:
    enum class Kind { Serve, NotFound, DropMidBody, Hold, Redirect, SeeOther };

    HttpServer()
    {
        connect(&server, &QTcpServer::newConnection, this, &HttpServer::accept);
        listen();
    }

    bool listen() { return server.isListening() || server.listen(QHostAddress::LocalHost); }
    quint16 port() const { return server.serverPort(); }
    QUrl url(const QString &path, const QString &scheme = QStringLiteral("http")) const
    {
        return QUrl(scheme + u"://127.0.0.1:" + QString::number(port()) + path);
    }

    // body is the payload for Serve, DropMidBody (half of it is sent) and Hold,
    // the Location for Redirect.
    void route(const QString &path, Kind kind, const QByteArray &body = QByteArray())
    {
        routes.insert(path.toUtf8(), {kind, body, QByteArray()});
    }

    // Serves body at path, with the given extra header lines (each ended by \r\n).
    void setPage(const QByteArray &path, const QByteArray &body,
                 const QByteArray &extraHeaders = QByteArray(),
                 const QByteArray &contentType = "text/html; charset=utf-8")
    {
        routes.insert(path,
                      {Kind::Serve, body, "Content-Type: " + contentType + "\r\n" + extraHeaders});
    }

    void reset()
    {
        routes.clear();
        requests.clear();
        targets.clear();
        nonHttp.clear();
        held.clear();
        received.clear();
    }

    int count(const QByteArray &requestLine) const { return requests.count(requestLine); }

    // Sends the next n bytes of every held reply; n < 0 sends the rest and closes.
    void sendHeld(qint64 n)
    {
        for (Held &h : held) {
            if (!h.socket)
                continue;
            const QByteArray part = n < 0 ? h.body.mid(h.sent) : h.body.mid(h.sent, n);
            h.socket->write(part);
            h.sent += part.size();
            if (n < 0)
                h.socket->disconnectFromHost();
        }
    }

    // Closes every held reply before its body is complete.
    void dropHeld()
    {
        for (Held &h : held)
            if (h.socket)
                h.socket->disconnectFromHost();
    }

    // Request lines ("GET /path HTTP/1.1") in order of arrival.
    QList<QByteArray> requests;
    // Their targets (path and query).
    QList<QByteArray> targets;
    // Called with each target before the answer is sent.
    std::function<void(const QByteArray &target)> onRequest;
    // The first bytes of each connection that did not speak HTTP.
    QList<QByteArray> nonHttp;

private:
    struct Route
    {
        Kind kind;
        QByteArray body;
        QByteArray headers;
    };
    struct Held
    {
        QPointer<QTcpSocket> socket;
        QByteArray body;
        qint64 sent;
    };

    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        }
    }

    void read(QTcpSocket *socket)
    {
        QByteArray &pending = received[socket];
        pending += socket->readAll();
        if (!pending.isEmpty() && (pending.at(0) < 'A' || pending.at(0) > 'Z')) {
            nonHttp.append(received.take(socket));
            socket->abort();
            return;
        }
        const qsizetype end = pending.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray requestLine = pending.left(pending.indexOf("\r\n"));
        received.remove(socket);
        requests.append(requestLine);
        QByteArray path = requestLine.split(' ').value(1);
        targets.append(path);
        if (onRequest)
            onRequest(path);
        if (const qsizetype query = path.indexOf('?'); query >= 0)
            path.truncate(query);
        respond(socket, routes.value(path, {Kind::NotFound, QByteArray(), QByteArray()}));
    }

    static QByteArray head(const QByteArray &status, qsizetype length,
                           const QByteArray &extra = QByteArray())
    {
        return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(length) +
               "\r\nConnection: close\r\n" + extra + "\r\n";
    }

    void respond(QTcpSocket *socket, const Route &r)
    {
        switch (r.kind) {
        case Kind::Serve:
            socket->write(head("200 OK", r.body.size(), r.headers) + r.body);
            break;
        case Kind::NotFound: {
            const QByteArray page = "<html><body>Not here</body></html>";
            socket->write(head("404 Not Found", page.size(), "Content-Type: text/html\r\n") + page);
            break;
        }
        case Kind::DropMidBody:
            socket->write(head("200 OK", r.body.size()) + r.body.left(r.body.size() / 2));
            break;
        case Kind::Redirect:
        case Kind::SeeOther:
            socket->write(head(r.kind == Kind::Redirect ? "302 Found" : "303 See Other", 0,
                               "Location: " + r.body + "\r\n"));
            break;
        case Kind::Hold:
            socket->write(head("200 OK", r.body.size()));
            held.append({socket, r.body, 0});
            return;
        }
        socket->disconnectFromHost();
    }

    QTcpServer server;
    QHash<QByteArray, Route> routes;
    QHash<QTcpSocket *, QByteArray> received;
    QList<Held> held;
};
