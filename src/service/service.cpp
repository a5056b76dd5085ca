#include "service.h"

#include <algorithm>
#include <atomic>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "addresspolicy.h"
#include "enqueueworker.h"
#include "json.h"
#include "metrics.h"
#include "metricsserver.h"
#include "product.h"
#include "queue.h"
#include "queuepoller.h"
#include "wsserverpropertyset.h"

namespace {

// The Service that holds the process-wide queue and poller. A second one
// wired to the same poller would hand every item to two handlers.
std::atomic<Service *> active{nullptr};

QString sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? QString::fromLatin1(hash.result().toHex()) : QString();
}

} // namespace

Service::Service(bool debug, QObject *parent)
    : QObject(parent)
    , m_handler(debug)
    , m_workerFactory([](struct soap *context, const std::string &path) { return new EnqueueWorker(context, path); })
{
}

Service::~Service()
{
    stop();
}

// Missing files and files that do not load are told apart: ONNX Runtime
// reports a missing file as a model it cannot parse.
bool Service::loadModels(const QString &folder)
{
    const QDir models(folder);
    const QString dial = models.filePath(QStringLiteral("1.bin"));
    const QString needle = models.filePath(QStringLiteral("2.bin"));
    if (!QFileInfo::exists(dial) || !QFileInfo::exists(needle)) {
        qCritical().noquote() << QStringLiteral("no models found in %1 (give --models DIR)").arg(models.absolutePath());
        return false;
    }
    if (!m_handler.init(dial, needle)) {
        qCritical().noquote() << QStringLiteral("the models in %1 cannot be loaded").arg(models.absolutePath());
        return false;
    }
    m_models = models.absolutePath();
    return true;
}

WSServerPropertySet &Service::createServer()
{
    if (!m_server) {
        m_server = new WSServer(this);
        m_settings = new WSServerPropertySet(m_server);
        m_server->setPropertySet(m_settings);
        m_server->setWorkerFactory(m_workerFactory);
        connect(m_server, &QThread::started, this, &Service::sig_listenerStarted);
        connect(m_server, &QThread::finished, this, &Service::sig_listenerFinished);
    }
    return *m_settings;
}

WSServerPropertySet *Service::settings() const
{
    return m_settings;
}

void Service::setWorkerFactory(WSServer::WorkerFactory factory)
{
    m_workerFactory = std::move(factory);
    if (m_server)
        m_server->setWorkerFactory(m_workerFactory);
}

bool Service::prepare()
{
    if (m_phase != Phase::Created)
        return m_phase == Phase::Prepared || m_phase == Phase::Started;
    Service *none = nullptr;
    if (!active.compare_exchange_strong(none, this)) {
        qCritical() << "Service not started: another one serves this process";
        return false;
    }
    const WSServerPropertySet &settings = createServer();
    imagefile::PathPolicy paths;
    paths.allowed = settings.localImages->value() != 0;
    paths.folders = settings.imageFolders->value().split(QLatin1Char(':'), Qt::SkipEmptyParts);
    m_handler.setPathPolicy(paths);
    UrlPolicy urls;
    urls.allowed = settings.urlImages->value() != 0;
    urls.prefixes = settings.urlPrefixes->value().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    urls.maxRedirects = std::max(0, settings.maxRedirects->value());
    if (settings.publicUrlsOnly->value() != 0)
        urls.addressAllowed = addresspolicy::isPublic;
    m_handler.setUrlPolicy(urls);
    startMetrics();

    Queue::instance().reopen();
    SingletonDclp<QueuePoller>::create();
    qRegisterMetaType<QueueItemPtr>("QueueItemPtr");
    connect(QueuePoller::instance(), &QueuePoller::sig_itemavailable, &m_handler, &MeterReaderHandler::handleItem,
            Qt::QueuedConnection);
    m_phase = Phase::Prepared;
    return true;
}

// /metrics and /health on a port of their own, when one is set. Health is
// the queue being open: the models are loaded before this runs, and
// shutdown closes the queue first.
void Service::startMetrics()
{
    const int port = m_settings->metricsPort->value();
    if (port == 0)
        return;
    const QDir models(m_models);
    metrics::setBuildInfo(product::VERSION.toStdString(), sha256Of(models.filePath(QStringLiteral("1.bin"))).toStdString(),
                          sha256Of(models.filePath(QStringLiteral("2.bin"))).toStdString());
    m_metricsServer = std::make_unique<MetricsServer>([] { return Queue::instance().isOpen(); });
    std::string error;
    if (m_metricsServer->start(m_settings->address->value().toStdString(), port, error))
        qDebug() << "Metrics and health served on port:" << port;
    else
        qCritical().noquote() << "Metrics on port" << port << "failed:" << QString::fromStdString(error);
}

bool Service::start()
{
    if (m_phase == Phase::Started)
        return true;
    if (m_phase == Phase::Stopped) {
        qCritical() << "Service not started: it has stopped, and a stopped one is not started again";
        return false;
    }
    if (m_models.isEmpty()) {
        qCritical() << "Service not started: no models are loaded";
        return false;
    }
    if (!prepare())
        return false;
    m_server->start(QThread::InheritPriority);
    m_handler.start(QThread::InheritPriority);
    QueuePoller::instance()->start();
    m_phase = Phase::Started;
    return true;
}

void Service::stop()
{
    if (active.load() != this)
        return;
    m_server->stop();
    Queue::instance().close();
    SingletonDclp<QueuePoller>::destroy();
    answerWaitingRequests();
    m_server->stopWorkers();
    m_handler.quit();
    m_handler.wait();
    m_metricsServer.reset();
    m_phase = Phase::Stopped;
    active.store(nullptr);
}

// Nothing new arrives once the queue is closed and the poller has stopped. The item
// the poller last delivered is still answered by its queued handleItem call;
// requests that never left the queue are told the service is going away, so
// that no connection is left waiting for an answer that cannot come.
void Service::answerWaitingRequests()
{
    QCoreApplication::sendPostedEvents(&m_handler, QEvent::MetaCall);
    Queue &queue = Queue::instance();
    while (queue.count() > 0) {
        if (QueueItemPtr item = queue.dequeue()) {
            (*item->response)["error"] = Queue::SHUTTING_DOWN;
            item->notify();
        }
    }
}

Service::State Service::state() const
{
    switch (m_phase) {
    case Phase::Created:
    case Phase::Prepared:
        return State::Idle;
    case Phase::Stopped:
        return State::Stopped;
    case Phase::Started:
        break;
    }
    if (m_server->isListening())
        return State::Serving;
    return m_server->isFinished() ? State::Down : State::Starting;
}

int Service::port() const
{
    return m_settings ? m_settings->port->value() : 0;
}
