#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

// Serves this thread's event loop until condition() holds or the time is up;
// returns whether it holds.
template <class Condition>
bool pumpUntil(Condition condition, int milliseconds = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && !timer.hasExpired(milliseconds)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return condition();
}

inline void pump(int milliseconds)
{
    pumpUntil([] { return false; }, milliseconds);
}
