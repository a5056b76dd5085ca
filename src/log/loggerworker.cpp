#include "loggerworker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

#include "logger.h"

namespace {

thread_local bool t_writing = false;

struct WritingScope
{
    WritingScope() { t_writing = true; }
    ~WritingScope() { t_writing = false; }
    WritingScope(const WritingScope &) = delete;
    WritingScope &operator=(const WritingScope &) = delete;
};

} // namespace

LoggerWorker::LoggerWorker(const QString &directory, Today today)
    : QThread(nullptr)
    , m_file(this)  // a child, so that it moves to the writer thread with us
    , m_directory(directory.isEmpty() ? defaultDirectory() : directory)
    , m_today(today ? std::move(today) : Today(&QDate::currentDate))
{
    moveToThread(this);
    m_date = m_today();
    const WritingScope scope;
    openFile();
}

LoggerWorker::~LoggerWorker()
{
    stop();
}

QString LoggerWorker::defaultDirectory()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/log");
}

QString LoggerWorker::filePath(QDate date) const
{
    return m_directory + QLatin1Char('/') + date.toString(QStringLiteral("yyyy-MM-dd"))
           + QStringLiteral(".log");
}

bool LoggerWorker::isWriting()
{
    return t_writing;
}

void LoggerWorker::stop()
{
    if (!isRunning())
        return;
    // Queued behind the lines already posted, so none of them is dropped.
    QMetaObject::invokeMethod(this, [this] { quit(); }, Qt::QueuedConnection);
    wait();
}

void LoggerWorker::OnSigLog(QString date_time, QtMsgType type, QString msg)
{
    const WritingScope scope;
    try {
        // The file follows the day of writing, not the day of the stamp.
        const QDate today = m_today();
        if (today != m_date) {
            m_date = today;
            m_file.flush();
            m_file.close();
            openFile();
        }
        if (!m_file.isOpen())
            return;
        const QByteArray line = Logger::formatLine(date_time, type, msg).toUtf8();
        if (m_file.write(line) != line.size() || !m_file.flush())
            report(QStringLiteral("Cannot write log file %1: %2").arg(m_file.fileName(), m_file.errorString()));
    } catch (...) {
        // Dropped: reporting it would go through this same writer.
    }
}

void LoggerWorker::openFile()
{
    m_file.setFileName(filePath(m_date));
    m_reported = false;
    if (!QDir().mkpath(m_directory)) {
        report(QStringLiteral("Cannot create log directory %1").arg(m_directory));
        return;
    }
    // Unbuffered: each line is on disk when write() returns, and a full disk
    // cannot pile unwritten lines up in memory.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered))
        report(QStringLiteral("Cannot open log file %1: %2").arg(m_file.fileName(), m_file.errorString()));
}

void LoggerWorker::report(const QString &what)
{
    if (m_reported)
        return;
    m_reported = true;
    // Only the previous handler sees this (isWriting() is true here).
    qWarning().noquote() << what;
}
