#pragma once

#include <atomic>
#include <functional>
#include <string>

#include <QThread>

#include "qtnpropertyset.h"

struct soap;
class WSJWorker;

// The listener: binds the configured port once, then accepts connections one
// at a time and starts a request worker for each.
// Threading: created and stopped on the GUI thread; run() on its own thread
// reads the settings (port and timeouts once, the path at every accept).
class WSServer : public QThread
{
    Q_OBJECT

public:
    // Makes the worker for one accepted connection; the worker takes the context.
    using WorkerFactory = std::function<WSJWorker *(struct soap *context, const std::string &path)>;

    explicit WSServer(QObject *parent = nullptr);
    ~WSServer() override;

    // A WSServerPropertySet; the server reads it and does not own it.
    void setPropertySet(QtnPropertySet *settings);
    QtnPropertySet *propertySet() const;
    void setWorkerFactory(WorkerFactory factory);

    // Ends the accept loop and waits for the thread. A blocked accept is
    // broken by shutting the listening socket down, so this never hangs.
    void stop();

signals:
    void sig_newWorker(void *worker);

protected:
    void run() override;

private:
    bool bindStep();
    void acceptStep();

    std::atomic_bool m_stop{false};
    struct soap *m_ctx = nullptr;
    QtnPropertySet *m_settings = nullptr;
    WorkerFactory m_workerFactory;
    std::atomic_int m_listenSocket{-1};
};
