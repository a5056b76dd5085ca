#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QThread>

#include "qtnpropertyset.h"
#include "soapcontext.h"

class WSJWorker;

// The listener: binds the configured port once, then accepts connections one
// at a time and starts a request worker for each. It owns the workers, so
// that shutdown can end every connection it started.
// Threading: created and stopped on the GUI thread; run() on its own thread
// reads the settings (port and timeouts once, the path at every accept).
class WSServer : public QThread
{
    Q_OBJECT

public:
    // Connections served at once; one more is answered 503 and closed, so a
    // flood of idle clients cannot take a thread each.
    static constexpr int MAX_WORKERS = 256;
    // How long stopWorkers() waits, first for replies still on their way, then
    // for connections whose sockets it has shut.
    static constexpr int WORKER_GRACE_MS = 1000;

    // Makes the worker for one accepted connection; the worker takes the context.
    using WorkerFactory = std::function<WSJWorker *(struct soap *context, const std::string &path)>;

    explicit WSServer(QObject *parent = nullptr);
    ~WSServer() override;

    // A WSServerPropertySet; the server reads it and does not own it.
    void setPropertySet(QtnPropertySet *settings);
    QtnPropertySet *propertySet() const;
    void setWorkerFactory(WorkerFactory factory);
    void setMaxWorkers(int count);

    // Ends the accept loop and waits for the thread. A blocked accept is
    // broken by shutting the listening socket down, so this never hangs.
    void stop();

    // After stop(): ends every worker's connection and joins its thread,
    // within twice WORKER_GRACE_MS. Workers still receiving are cut off at
    // once; workers sending a reply get the first grace period.
    void stopWorkers();

    // Bound and accepting: from the end of a successful bind until the
    // thread ends.
    bool isListening() const;

signals:
    void sig_newWorker(void *worker);

protected:
    void run() override;

private:
    bool bindStep();
    bool readApiKey(const struct WSServerPropertySet &settings);
    void acceptStep();
    void reapFinishedWorkers();

    std::atomic_bool m_stop{false};
    SoapContext m_ctx;
    QtnPropertySet *m_settings = nullptr;
    WorkerFactory m_workerFactory;
    std::atomic_int m_listenSocket{-1};
    int m_connectionCounter = 1;   // only the listener thread touches it
    int m_maxWorkers = MAX_WORKERS;
    int m_headerTimeOut = 0;   // read with the other timeouts at bind time
    std::string m_apiKey;      // likewise
    // Touched by the listener thread, and by stopWorkers() once it has ended.
    std::vector<std::unique_ptr<WSJWorker>> m_workers;
};
