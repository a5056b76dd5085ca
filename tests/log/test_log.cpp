#include <atomic>
#include <mutex>

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "eventloop.h"
#include "logger.h"

namespace {

const QString STAMP = QStringLiteral("2024-05-01 08:00:00:123");
QTemporaryDir g_sharedDir;
std::mutex g_mutex;
QStringList g_previous;     // what reached the handler installed before the logger's

QStringList previousFrom(qsizetype from)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_previous.mid(from);
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("<missing>");
}

// Set up as the application does it, after a handler of its own; then the
// lines of today's file once the line with text last is there.
QStringList sharedLinesUntil(const QString &last)
{
    [[maybe_unused]] static const bool started = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_previous << msg;
        });
        Logger::setDirectory(g_sharedDir.path());
        Logger::instance()->start();
        return true;
    }();
    if (last.isEmpty())
        return {};
    const QString path = g_sharedDir.filePath(QDate::currentDate().toString("yyyy-MM-dd") + ".log");
    waitUntil([&] { return readFile(path).contains(" " + last + "\n"); }, 10000);
    return readFile(path).split('\n');
}

} // namespace

// One writer per run: lines queued at shutdown are still written, a restart
// continues the day's file, and a line stamped before midnight but written
// after it goes to the new day's file. The stamp is taken as given; a
// message's own line breaks at its end leave no blank line.
TEST(LogFile, LinesAppendAcrossRestartsAndFollowTheDayOfWriting)
{
    QTemporaryDir tmp;
    const QString dir = tmp.path() + "/missing/log";
    std::atomic<qint64> day{QDate(2024, 5, 1).toJulianDay()};
    const auto today = [&day] { return QDate::fromJulianDay(day); };
    const auto post = [](LoggerWorker &writer, int type, const QString &msg, Qt::ConnectionType how) {
        QMetaObject::invokeMethod(&writer, [&writer, type, msg] { writer.OnSigLog(STAMP, QtMsgType(type), msg); }, how);
    };
    {
        LoggerWorker writer(dir, today);
        writer.start();
        post(writer, QtDebugMsg, "abc \r\n\n", Qt::QueuedConnection);
        post(writer, QtInfoMsg, "%1 of %2", Qt::QueuedConnection);
    }
    {
        LoggerWorker writer(dir, today);
        writer.start();
        post(writer, QtWarningMsg, "before midnight", Qt::BlockingQueuedConnection);
        post(writer, 7, "unknown type", Qt::BlockingQueuedConnection);
        day = QDate(2024, 5, 2).toJulianDay();
        post(writer, QtCriticalMsg, "after midnight", Qt::BlockingQueuedConnection);
        post(writer, QtFatalMsg, "fatal", Qt::BlockingQueuedConnection);
    }
    EXPECT_EQ(readFile(dir + "/2024-05-01.log"), STAMP + " INFO abc \n" + STAMP + " INFO %1 of %2\n"
                                                     + STAMP + " WARNING before midnight\n" + STAMP + "  unknown type\n");
    EXPECT_EQ(readFile(dir + "/2024-05-02.log"), STAMP + " ERROR after midnight\n" + STAMP + " ERROR fatal\n");
}

// A directory under a regular file, and a file on a full disk.
TEST(Logger, BrokenLogFileNeitherFeedsItselfNorStopsLogging)
{
    sharedLinesUntil({});
    QTemporaryDir tmp;
    ASSERT_TRUE(QFile(tmp.filePath("plain")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir(tmp.path()).mkdir("full"));
    ASSERT_TRUE(QFile::link("/dev/full", tmp.filePath("full/2024-05-01.log")));
    const auto today = [] { return QDate(2024, 5, 1); };
    const qsizetype before = previousFrom(0).size();
    {
        LoggerWorker uncreatable(tmp.filePath("plain/log"), today);
        LoggerWorker diskFull(tmp.filePath("full"), today);
        for (LoggerWorker *writer : {&uncreatable, &diskFull}) {
            QObject::connect(Logger::instance(), &Logger::sig_log, writer, &LoggerWorker::OnSigLog);
            writer->start();
        }
        for (int i = 0; i < 3; ++i)
            qWarning("into broken logs %d", i);
    }
    qWarning("broken logs done");

    // Each failure is told once, to the previous handler only.
    const QStringList lines = sharedLinesUntil("broken logs done");
    EXPECT_EQ(lines.filter("into broken logs").size(), 3);
    EXPECT_TRUE(lines.filter("Cannot").isEmpty() && lines.filter("QIODevice").isEmpty());
    const QStringList previous = previousFrom(before);
    EXPECT_LE(previous.size(), 8) << previous.join('\n').toStdString();    // the odd one is Qt's own
    EXPECT_EQ(previous.filter("Cannot create log directory").size(), 1);
    EXPECT_EQ(previous.filter("Cannot write log file").size(), 1);
}
