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

    int count() const;
    void enqueue(QueueItemPtr item);
    // Only after count() returned more than 0; the single consumer calls it.
    QueueItemPtr dequeue();

signals:
    void sig_enqueued(QueueItemPtr item);
    void sig_dequeued(QueueItemPtr item);
    void sig_itemToNotify(QueueItemPtr item);
    void sig_itemNotified();

private:
    Queue() = default;

    mutable QMutex lock;
    QList<QueueItemPtr> items;
};
