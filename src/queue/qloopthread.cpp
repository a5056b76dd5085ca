#include "qloopthread.h"

QLoopThread::QLoopThread(QObject *parent)
    : QThread(parent)
{
}

// Never terminate(): a thread killed inside a lock leaves it locked for good.
QLoopThread::~QLoopThread()
{
    QLoopThread::stop();
}

void QLoopThread::start()
{
    QThread::start(QThread::InheritPriority);
}

void QLoopThread::stop()
{
    if (!isRunning())
        return;
    requestInterruption();
    quit();
    wait();
}
