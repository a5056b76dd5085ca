#include "queue.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

Queue &Queue::instance()
{
    // Items forward their completion signals to the queue with automatic
    // connections. The first caller is usually a connection's worker or the
    // poller, threads without an event loop: a queue living there would
    // collect the forwarded signals as events that are never delivered. The
    // application's thread runs an event loop for the life of the process.
    static Queue &queue = []() -> Queue & {
        static Queue q;
        if (const QCoreApplication *app = QCoreApplication::instance())
            q.moveToThread(app->thread());
        return q;
    }();
    return queue;
}

int Queue::count() const
{
    QMutexLocker locker(&lock);
    return static_cast<int>(items.size());
}

void Queue::enqueue(QueueItemPtr item)
{
    if (!item)
        return;
    {
        QMutexLocker locker(&lock);
        items.append(item);
    }
    emit sig_enqueued(item);
}

QueueItemPtr Queue::dequeue()
{
    QueueItemPtr item = nullptr;
    {
        QMutexLocker locker(&lock);
        if (items.isEmpty())
            return nullptr;
        item = items.takeFirst();
    }
    emit sig_dequeued(item);
    return item;
}
