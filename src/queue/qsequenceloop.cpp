#include "qsequenceloop.h"

#include <exception>

#include <QDebug>

QSequenceLoop::QSequenceLoop(quint32 period, QObject *parent)
    : QLoopThread(parent)
    , m_period(period)
{
}

// Too late for a running loop, whose loopOnce() is already gone: a subclass
// stops the loop in its own destructor. This is the last resort.
QSequenceLoop::~QSequenceLoop()
{
    QSequenceLoop::stop();
}

void QSequenceLoop::stop()
{
    m_stop.store(true);
    QLoopThread::stop();
}

bool QSequenceLoop::stopRequested() const
{
    return m_stop.load();
}

void QSequenceLoop::run()
{
    while (!m_stop.load()) {
        try {
            loopOnce();
        } catch (const std::exception &e) {
            qCritical() << "Loop step failed:" << e.what();
        } catch (...) {
            qCritical() << "Loop step failed";
        }
        if (m_stop.load())
            break;
        QThread::msleep(m_period);
    }
}
