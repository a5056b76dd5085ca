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

// The same without serving the event loop, for conditions that other threads
// bring about while this thread's queued work must stay undone.
template <class Condition>
bool waitUntil(Condition condition, int milliseconds = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && !timer.hasExpired(milliseconds))
        QThread::msleep(1);
    return condition();
}
