#pragma once

#include <QtGlobal>

#include "qsequenceloop.h"
#include "queueitem.h"
#include "singletondclp.h"

// The single consumer of the queue: takes the oldest item, hands it on with
// sig_itemavailable() and waits until it is completed before it looks again,
// so whoever handles the items never has more than one in hand.
// Threading: create(), start() and destroy() from the application's thread;
// the signal is emitted on the poller's own thread, which has no event loop.
class QueuePoller : public QSequenceLoop, public SingletonDclp<QueuePoller>
{
    Q_OBJECT

public:
    static constexpr quint32 PERIOD_MS = 10;

signals:
    void sig_itemavailable(QueueItemPtr item);

protected:
    void loopOnce() override;

private:
    friend class SingletonDclp<QueuePoller>;

    QueuePoller();
    ~QueuePoller() override;

    // The wait on a delivered item is sliced so that stop() is noticed.
    static constexpr unsigned long WAIT_SLICE_MS = 50;
};
