#pragma once

#include <ostream>

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Lets GoogleTest print Qt strings in failure messages.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '\'' << text.toStdString() << '\'';
}

// Collects what is logged while it lives. A message above debug level is
// marked so that it cannot pass for the expected text.
class MessageCapture
{
public:
    MessageCapture() : m_previous(qInstallMessageHandler(&record)) { s_messages.clear(); }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    QStringList messages() const { return s_messages; }

private:
    static void record(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        s_messages.append(type == QtDebugMsg ? text : QStringLiteral("[not debug] ") + text);
    }

    static inline QStringList s_messages;
    QtMessageHandler m_previous;
};
