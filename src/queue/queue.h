#pragma once

#include <QList>
#include <QMutex>
#include <QObject>

#include "queueitem.h"

// The process-wide first-in, first-out list of waiting items. It does not
// own them.
// Threading: any thread; the lock is never held while a signal is emitted.
class Queue : public QObject
{
    Q_OBJECT

public:
    static Queue &instance();

    // The answer to a request that arrives or still waits at shutdown.
    static constexpr const char *SHUTTING_DOWN = "Dialvane is shutting down.";

    int count() const;
    // False, and the item is not taken, once the queue is closed.
    bool enqueue(QueueItemPtr item);
    // Only after count() returned more than 0; the single consumer calls it.
    QueueItemPtr dequeue();

    // Shutdown closes the queue before it answers what waits in it, so that
    // nothing can arrive after the last answer; a restarted service reopens it.
    void close();
    bool isOpen() const;
    void reopen();

signals:
    void sig_enqueued(QueueItemPtr item);
    void sig_dequeued(QueueItemPtr item);
    void sig_itemToNotify(QueueItemPtr item);
    void sig_itemNotified();

private:
    Queue() = default;

    mutable QMutex lock;
    QList<QueueItemPtr> items;
    bool closed = false;
};
