#pragma once

#include <chrono>
#include <future>
#include <limits>

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

// Runs call() on another thread while this one serves its event loop, where
// the handler runs, as in the application. The call bounds itself (the
// test client's receive limit), so this waits for it without a deadline.
template <class Call>
auto whileServing(Call call) -> decltype(call())
{
    auto pending = std::async(std::launch::async, call);
    pumpUntil([&] { return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              std::numeric_limits<int>::max());
    return pending.get();
}
