#pragma once

#include <QThread>

// A thread that is started and stopped as a unit. stop() ends it
// cooperatively: it asks for an interruption, quits an event loop if run()
// is the default one, and waits. A subclass whose run() loops on its own
// must end it in stop() and call stop() from its own destructor, while its
// parts still exist.
// Threading: start(), stop() and destruction from any thread but its own.
class QLoopThread : public QThread
{
public:
    explicit QLoopThread(QObject *parent = nullptr);
    ~QLoopThread() override = 0;

    virtual void start();
    virtual void stop();
};
