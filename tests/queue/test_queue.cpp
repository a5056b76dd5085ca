#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include "queue.h"
#include "queueitem.h"
#include "queuepoller.h"
#include "singletondclp.h"

namespace {

using Poller = SingletonDclp<QueuePoller>;
using ThreadPtr = std::unique_ptr<QThread>;
const QString GOT_ITEM = QStringLiteral("Got one queue item");

// Ends the run when its scope outlives the limit: a hang would otherwise
// stall the suite without a word about what hung.
struct Watchdog
{
    Watchdog(int ms, const char *what)
        : thread([this, ms, what] {
              if (finished.wait_for(std::chrono::milliseconds(ms)) == std::future_status::timeout) {
                  std::fprintf(stderr, "%s did not finish within %d ms\n", what, ms);
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        done.set_value();
        thread.join();
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread thread;
};

bool spinUntil(const std::function<bool()> &condition, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(ms))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

std::mutex g_mutex;
QStringList g_messages;       // every Qt message while capturing
QStringList g_enqueueOrder;   // ids in the order producers got the queue's lock

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> locker(g_mutex);
    g_messages << message;
}

template <class T>
T locked(const T &value)
{
    std::lock_guard<std::mutex> locker(g_mutex);
    return value;
}

void clearLocked(QStringList &list)
{
    std::lock_guard<std::mutex> locker(g_mutex);
    list.clear();
}

// A connection's worker in miniature: builds its item on its own thread,
// enqueues it, waits, and leaves the deletion to the end of the thread.
ThreadPtr startProducer(const QString &id, std::atomic<int> &answered, QSemaphore *gate = nullptr)
{
    ThreadPtr thread(QThread::create([id, &answered, gate] {
        auto *item = new QueueItem;   // deleteLater() frees it when this thread ends
        item->id = id;
        if (gate)
            gate->acquire();
        {
            std::lock_guard<std::mutex> locker(g_mutex);
            Queue::instance().enqueue(item);
            g_enqueueOrder << id;
        }
        item->wait();
        answered += item->isCompleted() ? 1 : 0;
        item->deleteLater();
    }));
    thread->start();
    return thread;
}

struct Counted : SingletonDclp<Counted>
{
    Counted()
    {
        ++constructed;
        QThread::msleep(20);   // widens the window a missing second test would fall into
    }
    inline static std::atomic<int> constructed{0};
};

} // namespace

// Stands in for the meter handler: a main-thread object fed through a queued
// connection, keeping each item in hand for a while before completing it.
class Consumer : public QObject
{
    Q_OBJECT

public:
    int holdMs = 0;
    std::function<void()> onItem;
    QStringList handled;
    std::atomic<int> inHand{0};
    std::atomic<int> maxInHand{0};

public slots:
    void handleItem(QueueItemPtr item)
    {
        maxInHand = std::max(maxInHand.load(), ++inHand);
        handled << item->id;
        if (onItem)
            onItem();
        QTimer::singleShot(holdMs, this, [this, item] {
            --inHand;
            item->notify();
        });
    }
};

// First in the file, so that also in a full run it is the first to touch the
// queue, and from a thread that then ends, as a connection's worker would.
TEST(Queue, ForwardsCompletionsFromAnyThreadToObservers)
{
    ThreadPtr first(QThread::create([] { Queue::instance(); }));
    first->start();
    ASSERT_TRUE(first->wait(5000));

    std::atomic<int> toNotify{0}, notified{0};
    QObject observer;
    QObject::connect(&Queue::instance(), &Queue::sig_itemToNotify, &observer, [&] { ++toNotify; });
    QObject::connect(&Queue::instance(), &Queue::sig_itemNotified, &observer, [&] { ++notified; });
    std::unique_ptr<QueueItem> item;
    ThreadPtr worker(QThread::create([&item] {
        item = std::make_unique<QueueItem>();
        QObject::connect(item.get(), SIGNAL(sig_tonotify(QueueItemPtr)), &Queue::instance(),
                         SIGNAL(sig_itemToNotify(QueueItemPtr)));
        QObject::connect(item.get(), SIGNAL(sig_notified()), &Queue::instance(), SIGNAL(sig_itemNotified()));
    }));
    worker->start();
    ASSERT_TRUE(worker->wait(5000));
    item->notify();
    EXPECT_TRUE(spinUntil([&] { return toNotify == 1 && notified == 1; }, 2000));
}

TEST(QueueItem, CompletionIsNeverLostAndTheItemOutlivesNotify)
{
    QueueItem early;
    EXPECT_FALSE(early.wait(20));
    early.notify();
    {
        Watchdog watchdog(5000, "waiting on a completed item");
        QElapsedTimer timer;
        timer.start();
        early.wait();
        EXPECT_TRUE(early.wait(10000));
        EXPECT_LT(timer.elapsed(), 1000);
    }

    // The producer deletes the item as soon as it wakes, while notify() is
    // still emitting; the deletion must wait for it.
    auto *item = new QueueItem;   // deleted by the producer thread
    QObject::connect(item, &QueueItem::sig_notified, [] { QThread::msleep(50); });
    qint64 deletionMs = -1;
    ThreadPtr producer(QThread::create([item, &deletionMs] {
        item->wait();
        QElapsedTimer timer;
        timer.start();
        delete item;
        deletionMs = timer.elapsed();
    }));
    producer->start();
    QThread::msleep(20);
    item->notify();
    ASSERT_TRUE(producer->wait(5000));
    EXPECT_GE(deletionMs, 30);
}

TEST(SingletonDclp, ConcurrentCreatorsMakeExactlyOneInstance)
{
    const int before = Counted::constructed;
    EXPECT_EQ(Counted::instance(), nullptr);
    std::vector<std::thread> creators;
    std::vector<Counted *> seen(8, nullptr);
    for (size_t i = 0; i < seen.size(); ++i)
        creators.emplace_back([&seen, i] {
            Counted::create();
            seen[i] = Counted::instance();
        });
    for (auto &t : creators)
        t.join();
    EXPECT_EQ(Counted::constructed - before, 1);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 8);
    Counted::destroy();
    EXPECT_EQ(Counted::instance(), nullptr);
}

class QueuePollerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(Queue::instance().count(), 0);
        clearLocked(g_enqueueOrder);
        Poller::create();
        poller = Poller::instance();
        ASSERT_NE(poller, nullptr);
    }
    void TearDown() override
    {
        Poller::destroy();
        for (auto &producer : producers)
            EXPECT_TRUE(producer->wait(5000));
    }
    // By signature and queued, as the main window connects the handler.
    void startWithConsumer(int holdMs)
    {
        consumer.holdMs = holdMs;
        ASSERT_TRUE(QObject::connect(poller, SIGNAL(sig_itemavailable(QueueItemPtr)), &consumer,
                                     SLOT(handleItem(QueueItemPtr)), Qt::QueuedConnection));
        poller->start();
    }

    QueuePoller *poller = nullptr;
    Consumer consumer;
    std::atomic<int> answered{0};
    std::vector<ThreadPtr> producers;
};

// Holding each item for several poll periods exposes a poller that does not
// wait for completion: the consumer would have two items in hand.
TEST_F(QueuePollerTest, DeliversOneAtATimeInEnqueueOrder)
{
    startWithConsumer(30);
    for (const char *id : {"first", "second", "third"}) {
        const int queued = static_cast<int>(producers.size()) + 1;
        producers.push_back(startProducer(id, answered));
        ASSERT_TRUE(spinUntil([&] { return locked(g_enqueueOrder).size() == queued; }));
    }
    ASSERT_TRUE(spinUntil([&] { return answered == 3; }));
    EXPECT_EQ(consumer.handled, QStringList({"first", "second", "third"}));

    QSemaphore gate;
    for (int i = 0; i < 5; ++i)
        producers.push_back(startProducer(QString::number(i), answered, &gate));
    gate.release(5);
    ASSERT_TRUE(spinUntil([&] { return answered == 8; }));
    EXPECT_EQ(consumer.handled, locked(g_enqueueOrder));
    EXPECT_EQ(consumer.maxInHand, 1);
}

TEST_F(QueuePollerTest, AnswersAHundredConcurrentProducers)
{
    startWithConsumer(20);
    QSemaphore gate;
    for (int i = 0; i < 100; ++i)
        producers.push_back(startProducer(QString::number(i), answered, &gate));
    gate.release(100);
    ASSERT_TRUE(spinUntil([&] { return answered == 100; }, 30000)) << answered << " answered";
    EXPECT_EQ(consumer.maxInHand, 1);
    EXPECT_EQ(consumer.handled, locked(g_enqueueOrder));
}

// A handler may complete an item before the poller begins to wait on it, and
// the producer then deletes it at once; the poller must still find it alive.
TEST_F(QueuePollerTest, ItemOutlivesAnEarlyCompletionUntilThePollerIsDone)
{
    auto completeEarly = [](QueueItemPtr item) {
        item->notify();
        QThread::msleep(50);   // holds the poller before its wait
    };
    QObject::connect(poller, &QueuePoller::sig_itemavailable, poller, completeEarly, Qt::DirectConnection);
    poller->start();
    qint64 deletionMs = -1;
    ThreadPtr producer(QThread::create([&deletionMs] {
        auto *item = new QueueItem;   // deleted right after the answer
        Queue::instance().enqueue(item);
        item->wait();
        QElapsedTimer timer;
        timer.start();
        delete item;
        deletionMs = timer.elapsed();
    }));
    producer->start();
    ASSERT_TRUE(producer->wait(5000));
    EXPECT_GE(deletionMs, 30);
}

TEST_F(QueuePollerTest, DestroyingItWhileItWaitsOnAnUnfinishedItemEndsItsThread)
{
    std::atomic<bool> delivered{false}, threadFinished{false};
    QObject::connect(poller, &QueuePoller::sig_itemavailable, poller, [&] { delivered = true; }, Qt::DirectConnection);
    QObject::connect(poller, &QThread::finished, poller, [&] { threadFinished = true; }, Qt::DirectConnection);
    poller->start();
    QueueItem item;   // nobody will complete it
    Queue::instance().enqueue(&item);
    ASSERT_TRUE(spinUntil([&] { return delivered.load(); }));
    QThread::msleep(100);

    QElapsedTimer timer;
    timer.start();
    {
        Watchdog watchdog(10000, "destroying the poller");
        Poller::destroy();
    }
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_TRUE(threadFinished);
    EXPECT_EQ(Poller::instance(), nullptr);
    EXPECT_FALSE(item.isCompleted());
}

TEST_F(QueuePollerTest, LogsOneLinePerItemBeforeItIsHandledAndNothingWhenIdle)
{
    clearLocked(g_messages);
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    QList<qsizetype> linesWhenHandled;
    consumer.onItem = [&] { linesWhenHandled << locked(g_messages).count(GOT_ITEM); };
    startWithConsumer(0);

    QThread::msleep(150);   // some 15 polls of an empty queue
    EXPECT_EQ(locked(g_messages), QStringList());
    for (const char *id : {"a", "b", "c"})
        producers.push_back(startProducer(id, answered));
    ASSERT_TRUE(spinUntil([&] { return answered == 3; }));
    QThread::msleep(50);
    qInstallMessageHandler(previous);
    EXPECT_EQ(linesWhenHandled, QList<qsizetype>({1, 2, 3}));
    EXPECT_EQ(locked(g_messages), QStringList(3, GOT_ITEM));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "test_queue.moc"
