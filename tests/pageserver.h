// A small HTTP/1.1 server on 127.0.0.1 that serves fixed pages to the web
// engine in tests and records what was asked of it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <functional>

class PageServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Page
    {
        QByteArray contentType = "text/html; charset=utf-8";
        QByteArray body;
        QByteArray extraHeaders; // each ended by \r\n
    };

    explicit PageServer(QObject *parent = nullptr) : QTcpServer(parent)
    {
        listen(QHostAddress::LocalHost, 0);
    }

    void setPage(const QByteArray &path, const QByteArray &body,
                 const QByteArray &extraHeaders = QByteArray(),
                 const QByteArray &contentType = "text/html; charset=utf-8")
    {
        pages.insert(path, Page{contentType, body, extraHeaders});
    }

    QUrl url(const QString &path = QStringLiteral("/")) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
    }

    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()); }

    // Paths with query, in the order they were requested.
    QList<QByteArray> requests;
    // Called for each request before the answer is sent.
    std::function<void(const QByteArray &path)> onRequest;

signals:
    void requested(const QByteArray &path);

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = pending[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
        pending.remove(socket);
        const QByteArray target = requestLine.value(1);
        requests.append(target);
        if (onRequest)
            onRequest(target);
        emit requested(target);

        const QByteArray path =
            target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
        const auto it = pages.constFind(path);
        QByteArray response;
        if (it == pages.constEnd()) {
            response = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n"
                       "Content-Length: 9\r\nConnection: close\r\n\r\nNot found";
        } else {
            response = "HTTP/1.1 200 OK\r\nContent-Type: " + it->contentType +
                       "\r\nContent-Length: " + QByteArray::number(it->body.size()) +
                       "\r\nConnection: close\r\n" + it->extraHeaders + "\r\n" + it->body;
        }
        socket->write(response);
        socket->disconnectFromHost();
    }

    QHash<QByteArray, Page> pages;
    QHash<QTcpSocket *, QByteArray> pending;
};
