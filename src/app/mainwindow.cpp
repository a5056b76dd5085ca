#include "mainwindow.h"

#include <algorithm>

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPalette>
#include <QTextCharFormat>
#include <QTextCursor>

#include "aboutdialog.h"
#include "addresspolicy.h"
#include "configloader.h"
#include "enqueueworker.h"
#include "json.h"
#include "logger.h"
#include "metrics.h"
#include "metricsserver.h"
#include "qtmessagesink.h"
#include "product.h"
#include "queue.h"
#include "queuepoller.h"
#include "ui_mainwindow.h"
#include "wsserver.h"
#include "wsserverpropertyset.h"

namespace {

// Lines appended to the log view since it was last cleared.
int appendedLines = 0;
const int VIEW_LINE_LIMIT = 1000;

} // namespace

MainWindow::MainWindow(bool debug, const QString &models)
    : QMainWindow(nullptr)
    , ui(std::make_unique<Ui::MainWindow>())
    , handler(debug)
    , m_models(models)
{
    ui->setupUi(this);
}

MainWindow::~MainWindow()
{
    // Lines logged from here on must not reach a view that is going away.
    disconnect(Logger::instance(), nullptr, this, nullptr);
    if (server)
        server->stop();
    Queue::instance().close();
    SingletonDclp<QueuePoller>::destroy();
    answerWaitingRequests();
    if (server)
        server->stopWorkers();
    handler.quit();
    handler.wait();
    ui.reset();
}

bool MainWindow::init()
{
    Logger *logger = Logger::instance();
    logger->start();
    connect(logger, &Logger::sig_log, this, &MainWindow::OnSigLog);
    QtMessageSink::makeDefault();

    if (!loadModels()) {
        if (m_errorBoxes)
            QMessageBox::critical(this, QStringLiteral("Error!"), QStringLiteral("Dialvane Engine init failed!"),
                                  QMessageBox::Ok);
        return false;
    }

    server = new WSServer(this);
    auto *settings = new WSServerPropertySet(server);  // owned by the server
    server->setPropertySet(settings);
    server->setWorkerFactory(
        [](struct soap *context, const std::string &path) { return new EnqueueWorker(context, path); });

    loadConfig(*settings);
    ui->widget_setting->setPropertySet(settings);
    imagefile::PathPolicy paths;
    paths.allowed = settings->localImages->value() != 0;
    paths.folders = settings->imageFolders->value().split(QLatin1Char(':'), Qt::SkipEmptyParts);
    handler.setPathPolicy(paths);
    UrlPolicy urls;
    urls.allowed = settings->urlImages->value() != 0;
    urls.prefixes = settings->urlPrefixes->value().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    urls.maxRedirects = std::max(0, settings->maxRedirects->value());
    if (settings->publicUrlsOnly->value() != 0)
        urls.addressAllowed = addresspolicy::isPublic;
    handler.setUrlPolicy(urls);
    startMetrics(*settings);

    Queue::instance().reopen();
    SingletonDclp<QueuePoller>::create();
    qRegisterMetaType<QueueItemPtr>("QueueItemPtr");
    connect(QueuePoller::instance(), &QueuePoller::sig_itemavailable, &handler, &MeterReaderHandler::handleItem,
            Qt::QueuedConnection);

    connect(server, &QThread::started, this, [this] { ui->label_status->setText(QStringLiteral("OK")); });
    connect(server, &QThread::finished, this, [this] {
        ui->label_status->setText(QStringLiteral("Failed"));
        emit sig_serviceDown();
    });

    server->start(QThread::InheritPriority);
    handler.start(QThread::InheritPriority);
    QueuePoller::instance()->start();

    ui->widget_setting->setEnabled(false);
    setWindowTitle(product::NAME);
    return true;
}

namespace {

QString sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? QString::fromLatin1(hash.result().toHex()) : QString();
}

} // namespace

// /metrics and /health on a port of their own, when one is set. Health is
// the queue being open: the models are loaded before this runs, and
// shutdown closes the queue first.
void MainWindow::startMetrics(const WSServerPropertySet &settings)
{
    const int port = settings.metricsPort->value();
    if (port == 0)
        return;
    const QDir models(m_models);
    metrics::setBuildInfo(product::VERSION.toStdString(), sha256Of(models.filePath(QStringLiteral("1.bin"))).toStdString(),
                          sha256Of(models.filePath(QStringLiteral("2.bin"))).toStdString());
    metricsServer = std::make_unique<MetricsServer>([] { return Queue::instance().isOpen(); });
    std::string error;
    if (metricsServer->start(settings.address->value().toStdString(), port, error))
        qDebug() << "Metrics and health served on port:" << port;
    else
        qCritical().noquote() << "Metrics on port" << port << "failed:" << QString::fromStdString(error);
}

void MainWindow::setErrorBoxes(bool shown)
{
    m_errorBoxes = shown;
}

// Missing files and files that do not load are told apart: ONNX Runtime
// reports a missing file as a model it cannot parse.
bool MainWindow::loadModels()
{
    const QDir folder(m_models);
    const QString dial = folder.filePath(QStringLiteral("1.bin"));
    const QString needle = folder.filePath(QStringLiteral("2.bin"));
    if (!QFileInfo::exists(dial) || !QFileInfo::exists(needle)) {
        qCritical().noquote() << QStringLiteral("no models found in %1 (give --models DIR)").arg(folder.absolutePath());
        return false;
    }
    if (!handler.init(dial, needle)) {
        qCritical().noquote() << QStringLiteral("the models in %1 cannot be loaded").arg(folder.absolutePath());
        return false;
    }
    return true;
}

// Nothing new arrives once the queue is closed and the poller has stopped. The item
// the poller last delivered is still answered by its queued handleItem call;
// requests that never left the queue are told the service is going away, so
// that no connection is left waiting for an answer that cannot come.
void MainWindow::answerWaitingRequests()
{
    QCoreApplication::sendPostedEvents(&handler, QEvent::MetaCall);
    Queue &queue = Queue::instance();
    while (queue.count() > 0) {
        if (QueueItemPtr item = queue.dequeue()) {
            (*item->response)["error"] = Queue::SHUTTING_DOWN;
            item->notify();
        }
    }
}

void MainWindow::OnSigLog(QString date_time, QtMsgType type, QString msg)
{
    QColor colour = ui->textEdit_log->palette().color(QPalette::Text);
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        colour = Qt::red;
    const QString line = Logger::formatLine(date_time, type, msg);

    QTextCursor cursor = ui->textEdit_log->textCursor();
    QTextCharFormat format = cursor.charFormat();
    format.setForeground(QBrush(colour));
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line, format);
    ui->textEdit_log->ensureCursorVisible();

    if (++appendedLines >= VIEW_LINE_LIMIT) {
        ui->textEdit_log->clear();
        appendedLines = 0;
    }
}

void MainWindow::on_actionExit_triggered()
{
    close();
}

void MainWindow::on_actionAbout_triggered()
{
    AboutDialog dialog(this);
    dialog.exec();
}
