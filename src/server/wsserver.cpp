#include "wsserver.h"

#include <sys/socket.h>

#include <algorithm>

#include <QDeadlineTimer>
#include <QFile>
#include <QDebug>
#include <QString>

#include "json.h"
#include "metrics.h"
#include "wsjworker.h"
#include "wsserverpropertyset.h"

namespace {

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
    stopWorkers();
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

void WSServer::setMaxWorkers(int count)
{
    m_maxWorkers = count;
}

void WSServer::stop()
{
    m_stop = true;
    const int socket = m_listenSocket.load();
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
    wait();
}

void WSServer::stopWorkers()
{
    const QDeadlineTimer replies(WORKER_GRACE_MS);
    for (const auto &worker : m_workers)
        worker->interrupt(false);
    for (const auto &worker : m_workers)
        worker->wait(replies);
    const QDeadlineTimer cutOff(WORKER_GRACE_MS);
    for (const auto &worker : m_workers)
        if (!worker->isFinished())
            worker->interrupt(true);
    for (auto &worker : m_workers) {
        if (!worker->wait(cutOff)) {
            // Deleting a running thread would end the process; leaving it
            // behind is the lesser harm.
            qWarning() << "a connection worker did not end in time";
            (void)worker.release();
        }
    }
    m_workers.clear();
}

bool WSServer::isListening() const
{
    return m_listenSocket.load() >= 0 && isRunning();
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
    m_ctx.reset(soap_new1(SOAP_C_UTFSTRING));
    // A client that leaves before its reply must not end the process with
    // SIGPIPE; every connection context copies this flag.
    m_ctx->socket_flags = MSG_NOSIGNAL;
    // The listener closes every connection itself, so each leaves the port in
    // TIME_WAIT for a minute; without this a restarted server could not bind
    // it. A port another listener holds is still refused.
    m_ctx->bind_flags = SO_REUSEADDR;
    const int port = settings.port->value();
    // The engine would take the port modulo 65536: 70000 would bind 4464.
    if (port < 1 || port > 65535) {
        qCritical() << "Server listening on port:" << port << " failed, it is not within 1 to 65535.";
        return false;
    }
    if (!readApiKey(settings))
        return false;
    const std::string address = settings.address->value().toStdString();
    if (!soap_valid_socket(soap_bind(m_ctx.get(), address.empty() ? nullptr : address.c_str(), port, 100))) {
        soap_print_fault(m_ctx.get(), stderr);
        qCritical() << "Server listening on port:" << port << " failed, maybe it is in use.";
        return false;
    }
    qDebug() << "Server running on port:" << port;
    if (!address.empty())
        qDebug().noquote() << "Server listens on address" << QString::fromStdString(address) << "only";
    if (!m_apiKey.empty())
        qDebug() << "Requests need the API key";
    m_ctx->send_timeout = settings.sendTimeOut->value();
    m_ctx->recv_timeout = settings.recvTimeOut->value();
    m_ctx->transfer_timeout = settings.transferTimeOut->value();
    m_headerTimeOut = settings.headerTimeOut->value();
    m_listenSocket = m_ctx->master;
    return true;
}

// The key from apiKey or from the file apiKeyFile names. A key that was asked
// for but cannot be had stops the start: serving without it would be open.
bool WSServer::readApiKey(const WSServerPropertySet &settings)
{
    const QString file = settings.apiKeyFile->value();
    m_apiKey = settings.apiKey->value().toStdString();
    if (file.isEmpty())
        return true;
    if (!m_apiKey.empty()) {
        qCritical() << "Server not started: set apiKey or apiKeyFile, not both.";
        return false;
    }
    QFile keyFile(file);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << "Server not started: the API key file" << file << "cannot be read:"
                              << keyFile.errorString();
        return false;
    }
    m_apiKey = keyFile.read(4096).trimmed().toStdString();
    if (m_apiKey.empty()) {
        qCritical().noquote() << "Server not started: the API key file" << file << "is empty.";
        return false;
    }
    return true;
}

void WSServer::acceptStep()
{
    const std::string path = settingsOf(m_settings).path->value().toStdString();
    struct soap *ctx = m_ctx.get();
    if (!soap_valid_socket(soap_accept(ctx))) {
        if (ctx->errnum != 0 && !m_stop)
            soap_print_fault(ctx, stderr);
        return;
    }
    const unsigned long ip = ctx->ip;
    qDebug().noquote() << QString::asprintf("%d: accepted connection from IP=%d.%d.%d.%d", m_connectionCounter++,
                                            static_cast<int>((ip >> 24) & 0xFF), static_cast<int>((ip >> 16) & 0xFF),
                                            static_cast<int>((ip >> 8) & 0xFF), static_cast<int>(ip & 0xFF));

    reapFinishedWorkers();
    if (static_cast<int>(m_workers.size()) >= m_maxWorkers) {
        qWarning() << "Too many connections:" << m_workers.size() << "being served, one more refused";
        // Small enough for the socket's buffer, so the listener never blocks
        // on it; the reply closes the accepted socket.
        json_send_error(ctx, 503, "Too many connections", nullptr);
        metrics::countRequest("503");
        soap_destroy(ctx);
        soap_end(ctx);
        return;
    }

    SoapContext connection(soap_copy(ctx));
    if (!connection || !m_workerFactory) {
        qCritical() << "network accept error!";
        // The copy shares the accepted socket; it is closed once, here.
        if (connection)
            connection->socket = SOAP_INVALID_SOCKET;
        soap_closesock(ctx);
        return;
    }
    // The accepted socket now belongs to the copy.
    ctx->socket = SOAP_INVALID_SOCKET;

    m_workers.emplace_back(m_workerFactory(connection.release(), path));
    WSJWorker *worker = m_workers.back().get();
    worker->setHeaderTimeOut(m_headerTimeOut);
    worker->setApiKey(m_apiKey);
    emit sig_newWorker(worker);
    worker->start(QThread::InheritPriority);
}

// A finished worker's thread has left run(); wait() returns at once and makes
// sure it is past its finished signal before the object goes.
void WSServer::reapFinishedWorkers()
{
    const auto finished = std::remove_if(m_workers.begin(), m_workers.end(), [](const std::unique_ptr<WSJWorker> &w) {
        return w->isFinished() && w->wait();
    });
    m_workers.erase(finished, m_workers.end());
}
