#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

#include "loggerworker.h"

// The process-wide sink of Qt's messages: a handler that passes each message
// on to the handler installed before it and emits it as sig_log, and the
// writer that appends it to the daily log file.
// Threading: instance() and start() first on the main thread, before other
// threads log; the handler then runs on any thread.
class Logger : public QObject
{
    Q_OBJECT

public:
    // Only before the first instance(); the default is "log" beside the
    // executable.
    static void setDirectory(const QString &directory);
    static Logger *instance();

    // Connects the writer and starts its thread. The writer is drained and
    // stopped when the application object goes away.
    virtual void start();

    // "INFO", "WARNING", "ERROR", or empty for a type outside Qt's range.
    static QString label(QtMsgType type);
    // One line as the file and the log view show it, ending in a line feed;
    // the message's own trailing line breaks are dropped.
    static QString formatLine(const QString &dateTime, QtMsgType type, const QString &msg);

signals:
    void sig_log(QString date_time, QtMsgType type, QString msg);

private:
    Logger();
    static void stopWriter();

    LoggerWorker m_worker;
};
