#pragma once

#include <mutex>
#include <ostream>

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Lets GoogleTest print Qt strings in failure messages.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '\'' << text.toStdString() << '\'';
}

// Collects what is logged while it lives, from any thread. A message above
// debug level is marked so that it cannot pass for the expected text.
class MessageCapture
{
public:
    MessageCapture() : m_previous(qInstallMessageHandler(&record))
    {
        const std::lock_guard<std::mutex> hold(s_lock);
        s_messages.clear();
    }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    QStringList messages() const
    {
        const std::lock_guard<std::mutex> hold(s_lock);
        return s_messages;
    }
    QStringList matching(const QString &part) const { return messages().filter(part); }

private:
    static void record(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        const std::lock_guard<std::mutex> hold(s_lock);
        s_messages.append(type == QtDebugMsg ? text : QStringLiteral("[not debug] ") + text);
    }

    static inline std::mutex s_lock;
    static inline QStringList s_messages;
    QtMessageHandler m_previous;
};
