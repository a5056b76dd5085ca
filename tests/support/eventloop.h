#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

// Waits until condition() holds or the time is up; returns whether it holds.
// Without `serveEvents`, this thread's queued work stays undone meanwhile.
template <class Condition>
bool waitUntil(Condition condition, int milliseconds = 5000, bool serveEvents = false)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && !timer.hasExpired(milliseconds)) {
        if (serveEvents)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return condition();
}

// The same, serving this thread's event loop meanwhile.
template <class Condition>
bool pumpUntil(Condition condition, int milliseconds = 5000)
{
    return waitUntil(condition, milliseconds, true);
}
