#pragma once

#include <atomic>

#include <QtGlobal>

#include "qloopthread.h"

// A thread that repeats loopOnce() with a pause of `period` milliseconds
// after each step, until stop().
// Threading: loopOnce() runs on the loop's thread; stop() from any other.
class QSequenceLoop : public QLoopThread
{
public:
    explicit QSequenceLoop(quint32 period, QObject *parent = nullptr);
    ~QSequenceLoop() override = 0;

    void stop() override;

protected:
    void run() override;
    virtual void loopOnce() = 0;

    // For a step that blocks: it should return soon once this is true.
    bool stopRequested() const;

private:
    const quint32 m_period;
    std::atomic<bool> m_stop{false};
};
