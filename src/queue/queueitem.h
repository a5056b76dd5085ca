#pragma once

#include <memory>

#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

struct value;   // gSOAP's JSON value

class QueueItem;
using QueueItemPtr = QueueItem *;   // no ownership; the type every queue signal carries

// One request on its way from a producer (a connection's worker) to the
// single consumer, and its response on the way back.
// Threading: built by the producer; wait() from any number of threads;
// notify() once, by the consumer, after it has written the response.
class QueueItem : public QObject
{
    Q_OBJECT

public:
    QueueItem();
    // Blocks until no thread is inside wait() any more, so that a waiter
    // woken together with the producer never touches a deleted item.
    ~QueueItem() override;

    // Until notify(); returns at once when the item is already complete.
    void wait();
    // The same with a limit; false when it ran out before completion.
    bool wait(unsigned long milliseconds);
    void notify();
    bool isCompleted() const;

    QString id;
    QDateTime created;
    QElapsedTimer age;   // from creation: the wall clock may jump, this does not
    std::unique_ptr<value> request;     // null, bound to no engine context, until the producer sets it
    std::unique_ptr<value> response;    // likewise; the consumer fills it

signals:
    void sig_tonotify(QueueItemPtr item);
    void sig_notified();

private:
    // The poller pins an item before delivering it, so that a completion
    // that comes before its wait() cannot let the producer delete the item
    // under it.
    friend class QueuePoller;
    void pin();
    void unpin();

    mutable QMutex m_mutex;
    QWaitCondition m_waitCondition;
    bool m_completed = false;
    int m_waiters = 0;      // threads that may still touch the item: waiters, pins, a running notify()
};

Q_DECLARE_METATYPE(QueueItemPtr)
