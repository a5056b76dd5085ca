#include "enqueueworker.h"

#include <QDebug>
#include <QUuid>

#include "json.h"
#include "metrics.h"
#include "queue.h"
#include "queueitem.h"

EnqueueWorker::EnqueueWorker(struct soap *context, const std::string &path)
    : WSJWorker(context, path)
{
}

EnqueueWorker::~EnqueueWorker() = default;

bool EnqueueWorker::handle_request(value &request, value &response)
{
    qDebug() << "handle_request";
    auto *item = new QueueItem;  // deleted by deleteLater when this thread ends
    item->id = QUuid::createUuid().toString();
    *item->request = request;
    // The handler's nodes are allocated in this connection's memory, which is
    // released with the connection; this thread only waits meanwhile.
    *item->response = response;

    Queue &queue = Queue::instance();
    if (!queue.enqueue(item)) {
        // Shutdown has answered the queue already; nothing would answer this.
        delete item;
        response["error"] = Queue::SHUTTING_DOWN;
        return true;
    }
    QObject::connect(item, SIGNAL(sig_tonotify(QueueItemPtr)), &queue, SIGNAL(sig_itemToNotify(QueueItemPtr)));
    QObject::connect(item, SIGNAL(sig_notified()), &queue, SIGNAL(sig_itemNotified()));
    qDebug() << "enqueue one item";

    item->wait();
    metrics::observeRequest(item->age.elapsed() / 1000.0);
    response = *item->response;
    item->deleteLater();
    return true;
}
