#pragma once

#include <functional>

#include <QDate>
#include <QFile>
#include <QString>
#include <QThread>
#include <QtGlobal>

// Appends log lines to one file per calendar day, on a thread of its own.
// Threading: created and destroyed on one thread; OnSigLog only through a
// queued call, so it runs on the writer thread.
class LoggerWorker : public QThread
{
    Q_OBJECT

public:
    using Today = std::function<QDate()>;

    // An empty directory means "log" beside the executable. today is the
    // calendar the file follows; tests pass their own to cross midnight.
    explicit LoggerWorker(const QString &directory = QString(), Today today = Today());
    // Writes what is already queued, then ends the thread.
    ~LoggerWorker() override;

    static QString defaultDirectory();
    QString filePath(QDate date) const;
    // True on a thread inside a writer's own file work. Messages raised there
    // must not be logged again: a failing write would queue itself forever.
    static bool isWriting();

    // Writes the lines queued so far, then ends the thread and waits for it.
    // Not from the writer thread.
    void stop();

public slots:
    void OnSigLog(QString date_time, QtMsgType type, QString msg);

private:
    void openFile();
    void report(const QString &what);

    QDate m_date;
    QFile m_file;
    QString m_directory;
    Today m_today;
    bool m_reported = false;    // one note per file about its failure, not one per line
};
