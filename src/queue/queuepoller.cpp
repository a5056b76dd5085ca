#include "queuepoller.h"

#include <QDebug>

#include "queue.h"

QueuePoller::QueuePoller()
    : QSequenceLoop(PERIOD_MS)
{
    // Queued connections carry the item across threads by this name.
    qRegisterMetaType<QueueItemPtr>("QueueItemPtr");
}

QueuePoller::~QueuePoller()
{
    stop();
}

void QueuePoller::loopOnce()
{
    // Once stopping, deliver nothing new to a handler that is going away.
    if (stopRequested())
        return;
    Queue &queue = Queue::instance();
    if (queue.count() == 0)
        return;
    QueueItemPtr item = queue.dequeue();
    if (!item)
        return;
    qInfo() << "Got one queue item";

    struct Pin
    {
        explicit Pin(QueueItemPtr i) : item(i) { item->pin(); }
        ~Pin() { item->unpin(); }
        Pin(const Pin &) = delete;
        Pin &operator=(const Pin &) = delete;
        QueueItemPtr item;
    } pin(item);

    emit sig_itemavailable(item);
    while (!item->wait(WAIT_SLICE_MS)) {
        if (stopRequested()) {
            // Shutdown must not hang on a handler that will never run. The
            // item is still answered: shutdown runs the handler's queued
            // call for it before it ends the connections.
            qWarning() << "Queue poller stopped before item" << item->id << "was completed";
            return;
        }
    }
}
