#include "logger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMetaType>

namespace {

Logger *s_instance = nullptr;
QtMessageHandler s_previous = nullptr;
QString s_directory;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (s_previous)
        s_previous(type, context, msg);
    if (!s_instance || LoggerWorker::isWriting())
        return;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss:zzz"));
    emit s_instance->sig_log(stamp, type, msg);
}

} // namespace

Logger::Logger()
    : QObject(nullptr)
    , m_worker(s_directory)
{
}

void Logger::setDirectory(const QString &directory)
{
    s_directory = directory;
}

Logger *Logger::instance()
{
    if (!s_instance) {
        // Never deleted: messages keep coming until the process ends.
        s_instance = new Logger;
        qRegisterMetaType<QtMsgType>("QtMsgType");
        s_previous = qInstallMessageHandler(messageHandler);
    }
    return s_instance;
}

void Logger::start()
{
    if (m_worker.isRunning())
        return;
    connect(this, &Logger::sig_log, &m_worker, &LoggerWorker::OnSigLog,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    m_worker.start(QThread::InheritPriority);
    // The main window logs its shutdown just before the application goes;
    // without this, the process could end with those lines still queued.
    qAddPostRoutine(&Logger::stopWriter);
}

void Logger::stopWriter()
{
    if (!s_instance)
        return;
    disconnect(s_instance, &Logger::sig_log, &s_instance->m_worker, &LoggerWorker::OnSigLog);
    s_instance->m_worker.stop();
}

QString Logger::label(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
    case QtInfoMsg:
        return QStringLiteral("INFO");
    case QtWarningMsg:
        return QStringLiteral("WARNING");
    case QtCriticalMsg:
    case QtFatalMsg:
        return QStringLiteral("ERROR");
    }
    return QString();
}

QString Logger::formatLine(const QString &dateTime, QtMsgType type, const QString &msg)
{
    // A message that ends in a line break of its own would leave a blank
    // line after it.
    qsizetype length = msg.size();
    while (length > 0 && (msg[length - 1] == QLatin1Char('\n') || msg[length - 1] == QLatin1Char('\r')))
        --length;
    // One pass, so that a "%1" in the message stays as it is.
    return QStringLiteral("%1 %2 %3\n").arg(dateTime, label(type), msg.left(length));
}
