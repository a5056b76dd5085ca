#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include "eventloop.h"
#include "messagecapture.h"
#include "queue.h"
#include "queueitem.h"
#include "queuepoller.h"
#include "singletondclp.h"

namespace {

using Poller = SingletonDclp<QueuePoller>;
using ThreadPtr = std::unique_ptr<QThread>;

std::mutex g_mutex;            // guards g_enqueued
QStringList g_enqueued;        // ids in the order the queue received them
const QString GOT_ONE = QStringLiteral("[not debug] Got one queue item");   // logged at info level
std::atomic<int> g_answered{0};
std::atomic<bool> g_deleting{false};    // a producer has begun deleting its item
std::atomic<qint64> g_deletionMs{-1};   // how long that took; -1 until it is done

QStringList enqueued()
{
    std::lock_guard<std::mutex> locker(g_mutex);
    return g_enqueued;
}

// A connection's worker in miniature: enqueues from its own thread, waits,
// and deletes the item at once.
ThreadPtr startProducer(const QString &id, QSemaphore *gate = nullptr)
{
    ThreadPtr thread(QThread::create([=] {
        auto *item = new QueueItem;
        item->id = id;
        if (gate)
            gate->acquire();
        {
            std::lock_guard<std::mutex> locker(g_mutex);
            Queue::instance().enqueue(item);
            g_enqueued << id;
        }
        item->wait();
        g_answered += item->isCompleted() ? 1 : 0;
        QElapsedTimer timer;
        timer.start();
        g_deleting = true;
        delete item;
        g_deletionMs = timer.elapsed();
    }));
    thread->start();
    return thread;
}

} // namespace

// Stands in for the meter handler on the main thread: holds each item for
// two poll periods, so a poller that does not wait for completion would hand
// it a second one.
class Consumer : public QObject
{
    Q_OBJECT

public:
    QStringList handled;
    int inHand = 0;

public slots:
    void handleItem(QueueItemPtr item)
    {
        EXPECT_EQ(inHand++, 0) << "two items in hand";
        handled << item->id;
        QTimer::singleShot(20, this, [this, item] {
            --inHand;
            item->notify();
        });
    }
};

TEST(QueueItem, CompletionIsNeverLostAndTheItemOutlivesNotify)
{
    QueueItem early;
    EXPECT_FALSE(early.wait(20));
    early.notify();
    early.wait();   // a completion lost here runs into ctest's TIMEOUT
    EXPECT_TRUE(early.wait(10000));

    // The producer wakes while notify() is still emitting: its deletion must
    // wait until notify() is done with the item.
    g_deleting = false;
    g_deletionMs = -1;
    ThreadPtr producer = startProducer("late");
    ASSERT_TRUE(pumpUntil([] { return Queue::instance().count() == 1; }, 10000));
    QueueItemPtr item = Queue::instance().dequeue();
    bool deletedUnderNotify = true;
    QObject::connect(item, &QueueItem::sig_notified, [&] {
        EXPECT_TRUE(waitUntil([] { return g_deleting.load(); }, 10000)) << "the producer never woke";
        deletedUnderNotify = g_deletionMs >= 0;
    });
    item->notify();
    ASSERT_TRUE(producer->wait(10000));
    EXPECT_FALSE(deletedUnderNotify);
    EXPECT_GE(g_deletionMs, 0);
}

class QueuePollerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(Queue::instance().count(), 0);
        g_enqueued.clear();
        g_answered = 0;
        log.emplace();
        Poller::create();
        poller = Poller::instance();
    }
    void TearDown() override
    {
        Poller::destroy();
        const QDeadlineTimer deadline(5000);   // one for all: a stuck run fails soon
        for (auto &producer : producers) {
            EXPECT_TRUE(producer->wait(deadline));
            if (producer->isRunning())
                (void)producer.release();   // left behind: its destructor would wait for ever
        }
        log.reset();
    }

    std::optional<MessageCapture> log;   // every message while the poller runs
    QueuePoller *poller = nullptr;
    std::vector<ThreadPtr> producers;
};

TEST_F(QueuePollerTest, DeliversOneAtATimeInEnqueueOrderAndLogsEachOnce)
{
    // By signature and queued, as the main window connects the handler.
    Consumer consumer;
    ASSERT_TRUE(QObject::connect(poller, SIGNAL(sig_itemavailable(QueueItemPtr)), &consumer,
                                 SLOT(handleItem(QueueItemPtr)), Qt::QueuedConnection));
    poller->start();

    // Three one after another, then five and a hundred at once.
    int total = 0;
    for (int batch : {1, 1, 1, 5, 100}) {
        QSemaphore gate;
        for (int i = 0; i < batch; ++i)
            producers.push_back(startProducer(QString::number(total + i), &gate));
        gate.release(batch);
        total += batch;
        ASSERT_TRUE(pumpUntil([&] { return enqueued().size() == total; }, 10000));
    }
    ASSERT_TRUE(pumpUntil([&] { return g_answered == total; }, 30000)) << g_answered << " answered";
    EXPECT_EQ(consumer.handled, enqueued());
    // Between the batches the poller kept finding the queue empty, which logs nothing.
    EXPECT_EQ(log->messages(), QStringList(total, GOT_ONE));
}

#include "test_queue.moc"
