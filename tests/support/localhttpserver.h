#pragma once

#include <utility>

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

// A minimal HTTP/1.1 server on a free localhost port, run by the test's own
// event loop. Paths without a canned response are answered 404; a silent
// path is accepted and never answered; a streamed path sends its body on
// and on.
class LocalHttpServer
{
public:
    explicit LocalHttpServer(const QHostAddress &address = QHostAddress::LocalHost)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(address, 0);
    }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://%1:%2%3").arg(m_server.serverAddress().toString()).arg(port()).arg(path));
    }
    int hits() const { return m_hits; }   // requests that reached serve()
    int streaming() const { return m_streaming; }   // streamed connections the client has not closed
    void respond(const QString &path, int status, const QByteArray &body) { m_routes.insert(path, {status, body}); }
    void staySilent(const QString &path) { m_routes.insert(path, {0, {}}); }   // 0: never answer
    void redirect(const QString &path, const QString &location) { m_redirects.insert(path, location); }

    // Answers 200 with `contentLength` in the head (none when negative: the
    // body ends with the connection), then sends `chunk` bytes every
    // `periodMs` milliseconds, or as fast as the client takes them at 0,
    // until the client leaves. A chunk of 0 sends the head alone.
    void stream(const QString &path, qint64 contentLength, int chunk, int periodMs)
    {
        m_streams.insert(path, {contentLength, chunk, periodMs});
    }

    // Lets a client stuck on a silent or streamed path finish, so that a
    // failing test ends instead of hanging. Silent paths answer 503 from now
    // on, since the client resends a request whose connection closed
    // unanswered; streamed ones are no longer streamed.
    void breakSilence()
    {
        m_silent = false;
        for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>())
            socket->abort();
    }

private:
    void serve(QTcpSocket *socket)
    {
        // Unread data stays buffered until the request's head is complete.
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(socket->readAll().split(' ').value(1));
        ++m_hits;
        if (m_redirects.contains(path)) {
            socket->write("HTTP/1.1 302 Found\r\nLocation: " + m_redirects.value(path).toUtf8()
                          + "\r\nContent-Length: 5\r\nConnection: close\r\n\r\nmoved");
            socket->disconnectFromHost();
            return;
        }
        if (m_streams.contains(path) && m_silent) {
            startStream(socket, m_streams.value(path));
            return;
        }
        auto [status, body] = m_routes.value(path, {404, "not here"});
        if (status == 0 && m_silent)
            return;
        status = status == 0 ? 503 : status;
        const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Unavailable";
        socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    struct Stream
    {
        qint64 contentLength;
        int chunk;
        int periodMs;
    };

    void startStream(QTcpSocket *socket, const Stream &stream)
    {
        ++m_streaming;
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] { --m_streaming; });
        QByteArray head = "HTTP/1.1 200 OK\r\n";
        if (stream.contentLength >= 0)
            head += "Content-Length: " + QByteArray::number(stream.contentLength) + "\r\n";
        socket->write(head + "Connection: close\r\n\r\n");
        if (stream.chunk <= 0)
            return;
        const QByteArray data(stream.chunk, 'x');
        if (stream.periodMs > 0) {
            auto *timer = new QTimer(socket);   // goes with the socket
            QObject::connect(timer, &QTimer::timeout, socket, [socket, data] { socket->write(data); });
            timer->start(stream.periodMs);
            return;
        }
        // Refilled as the client drains it, so the buffer stays small.
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, data] {
            if (socket->bytesToWrite() < data.size())
                socket->write(data);
        });
        socket->write(data);
    }

    QTcpServer m_server;
    QHash<QString, std::pair<int, QByteArray>> m_routes;
    QHash<QString, Stream> m_streams;
    QHash<QString, QString> m_redirects;
    int m_hits = 0;
    int m_streaming = 0;
    bool m_silent = true;
};
