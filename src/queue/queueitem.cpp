#include "queueitem.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include "json.h"

QueueItem::QueueItem()
    : created(QDateTime::currentDateTime())
    , request(std::make_unique<value>(nullptr))
    , response(std::make_unique<value>(nullptr))
{
    age.start();
}

QueueItem::~QueueItem()
{
    QMutexLocker locker(&m_mutex);
    while (m_waiters > 0)
        m_waitCondition.wait(&m_mutex);
}

void QueueItem::wait()
{
    QMutexLocker locker(&m_mutex);
    ++m_waiters;
    while (!m_completed)
        m_waitCondition.wait(&m_mutex);
    if (--m_waiters == 0)
        m_waitCondition.wakeAll();
}

bool QueueItem::wait(unsigned long milliseconds)
{
    const QDeadlineTimer deadline(static_cast<qint64>(milliseconds));
    QMutexLocker locker(&m_mutex);
    ++m_waiters;
    while (!m_completed && m_waitCondition.wait(&m_mutex, deadline)) {
    }
    const bool completed = m_completed;
    if (--m_waiters == 0)
        m_waitCondition.wakeAll();
    return completed;
}

void QueueItem::notify()
{
    // The producer may delete the item as soon as it is woken; holding a pin
    // keeps the item alive until sig_notified() has been emitted.
    pin();
    emit sig_tonotify(this);
    {
        QMutexLocker locker(&m_mutex);
        m_completed = true;
        m_waitCondition.wakeAll();
    }
    emit sig_notified();
    unpin();
}

bool QueueItem::isCompleted() const
{
    QMutexLocker locker(&m_mutex);
    return m_completed;
}

void QueueItem::pin()
{
    QMutexLocker locker(&m_mutex);
    ++m_waiters;
}

void QueueItem::unpin()
{
    QMutexLocker locker(&m_mutex);
    if (--m_waiters == 0)
        m_waitCondition.wakeAll();
}
