#include "queue.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

#include "metrics.h"

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

bool Queue::enqueue(QueueItemPtr item)
{
    if (!item)
        return false;
    {
        QMutexLocker locker(&lock);
        if (closed)
            return false;
        items.append(item);
        metrics::setQueueDepth(static_cast<int>(items.size()));
    }
    emit sig_enqueued(item);
    return true;
}

QueueItemPtr Queue::dequeue()
{
    QueueItemPtr item = nullptr;
    {
        QMutexLocker locker(&lock);
        if (items.isEmpty())
            return nullptr;
        item = items.takeFirst();
        metrics::setQueueDepth(static_cast<int>(items.size()));
    }
    emit sig_dequeued(item);
    return item;
}

void Queue::close()
{
    QMutexLocker locker(&lock);
    closed = true;
}

bool Queue::isOpen() const
{
    QMutexLocker locker(&lock);
    return !closed;
}

void Queue::reopen()
{
    QMutexLocker locker(&lock);
    closed = false;
}
