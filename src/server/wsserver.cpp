#include "wsserver.h"

#include <sys/socket.h>

#include <QCoreApplication>
#include <QDebug>
#include <QString>

#include "json.h"
#include "wsjworker.h"
#include "wsserverpropertyset.h"

namespace {

// Only the listener thread touches it.
int connectionCounter = 1;

const WSServerPropertySet &settingsOf(const QtnPropertySet *set)
{
    return *static_cast<const WSServerPropertySet *>(set);
}

} // namespace

WSServer::WSServer(QObject *parent)
    : QThread(parent)
{
}

WSServer::~WSServer()
{
    stop();
    if (m_ctx) {
        soap_destroy(m_ctx);
        soap_end(m_ctx);
        soap_free(m_ctx);
    }
}

void WSServer::setPropertySet(QtnPropertySet *settings)
{
    m_settings = settings;
}

QtnPropertySet *WSServer::propertySet() const
{
    return m_settings;
}

void WSServer::setWorkerFactory(WorkerFactory factory)
{
    m_workerFactory = std::move(factory);
}

void WSServer::stop()
{
    m_stop = true;
    const int socket = m_listenSocket.load();
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
    wait();
}

void WSServer::run()
{
    if (!bindStep())
        return;
    while (!m_stop) {
        acceptStep();
        msleep(2);
    }
}

bool WSServer::bindStep()
{
    const WSServerPropertySet &settings = settingsOf(m_settings);
    m_ctx = soap_new1(SOAP_C_UTFSTRING);
    // A client that leaves before its reply must not end the process with
    // SIGPIPE; every connection context copies this flag.
    m_ctx->socket_flags = MSG_NOSIGNAL;
    const int port = settings.port->value();
    if (!soap_valid_socket(soap_bind(m_ctx, nullptr, port & 0xFFFF, 100))) {
        soap_print_fault(m_ctx, stderr);
        qCritical() << "Server listening on port:" << port << " failed, maybe it is in use.";
        return false;
    }
    qDebug() << "Server running on port:" << port;
    m_ctx->send_timeout = settings.sendTimeOut->value();
    m_ctx->recv_timeout = settings.recvTimeOut->value();
    m_ctx->transfer_timeout = settings.transferTimeOut->value();
    m_listenSocket = m_ctx->master;
    return true;
}

void WSServer::acceptStep()
{
    const std::string path = settingsOf(m_settings).path->value().toStdString();
    if (!soap_valid_socket(soap_accept(m_ctx))) {
        if (m_ctx->errnum != 0 && !m_stop)
            soap_print_fault(m_ctx, stderr);
        return;
    }
    const unsigned long ip = m_ctx->ip;
    qDebug().noquote() << QString::asprintf("%d: accepted connection from IP=%d.%d.%d.%d", connectionCounter++,
                                            static_cast<int>((ip >> 24) & 0xFF), static_cast<int>((ip >> 16) & 0xFF),
                                            static_cast<int>((ip >> 8) & 0xFF), static_cast<int>(ip & 0xFF));

    struct soap *connection = soap_copy(m_ctx);
    if (!connection || !m_workerFactory) {
        qCritical() << "network accept error!";
        if (connection)
            soap_free(connection);
        soap_closesock(m_ctx);
        return;
    }
    // The accepted socket now belongs to the copy.
    m_ctx->socket = SOAP_INVALID_SOCKET;

    WSJWorker *worker = m_workerFactory(connection, path);
    // Finished workers are reclaimed by the application's event loop; this
    // thread has none.
    if (QCoreApplication *app = QCoreApplication::instance())
        worker->moveToThread(app->thread());
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    emit sig_newWorker(worker);
    worker->start(QThread::InheritPriority);
}
