#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// A minimal HTTP/1.1 server on a free localhost port, run by the test's own
// event loop. Paths without a canned response are answered 404; a silent
// path is accepted and never answered.
class LocalHttpServer
{
public:
    LocalHttpServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
    }
    int connections() const { return m_connections; }

    void respond(const QString &path, int status, const QByteArray &body) { m_routes.insert(path, {status, body}); }
    void staySilent(const QString &path) { m_routes.insert(path, {0, {}}); }

    // Lets a client stuck on a silent path finish, so that a failing test
    // ends instead of hanging. Silent paths answer 503 from now on, since
    // the client resends a request whose connection closed unanswered.
    void breakSilence()
    {
        m_silent = false;
        for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>())
            socket->abort();
    }

private:
    struct Route
    {
        int status; // 0: never answer
        QByteArray body;
    };

    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void serve(QTcpSocket *socket)
    {
        QByteArray &received = m_received[socket];
        received += socket->readAll();
        if (!received.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(received.left(received.indexOf("\r\n")).split(' ').value(1));
        m_received.remove(socket);

        Route route = m_routes.value(path, {404, "not here"});
        if (route.status == 0) {
            if (m_silent)
                return;
            route.status = 503;
        }
        const QByteArray reason = route.status == 200 ? "OK" : route.status == 404 ? "Not Found" : "Unavailable";
        socket->write("HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason + "\r\n"
                      "Content-Type: application/octet-stream\r\n"
                      "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n"
                      "Connection: close\r\n\r\n" + route.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    QHash<QTcpSocket *, QByteArray> m_received;
    int m_connections = 0;
    bool m_silent = true;
};
