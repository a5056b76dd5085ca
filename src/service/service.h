#pragma once

#include <memory>

#include <QObject>
#include <QString>

#include "meterreaderhandler.h"
#include "wsserver.h"

class MetricsServer;
struct WSServerPropertySet;

// The reading service without a window: the listener and its settings, the
// handler, the queue poller between them, the per-request policies and the
// metrics. The owner brings it up step by step (loadModels, createServer,
// prepare, start), so that it can load and show the settings in between, and
// stop() takes it down in the one order that answers every request.
// The queue and its poller are process-wide, so one Service runs at a time.
// Threading: created, started and stopped on the application's thread, whose
// event loop runs the handler.
class Service : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle,       // not started
        Starting,   // the listener's thread runs, its port is not bound yet
        Serving,    // bound and accepting
        Down,       // the listener ended on its own: its port could not be had
        Stopped,    // stop() has run; a Service is not started again
    };

    explicit Service(bool debug = false, QObject *parent = nullptr);
    ~Service() override;

    // Loads 1.bin (the dial) and 2.bin (the needle) from `folder`; false,
    // with the reason logged, when they are missing or do not load.
    bool loadModels(const QString &folder);

    // The listener and its settings at their defaults, for the owner to fill
    // and show before prepare(). Made on the first call.
    WSServerPropertySet &createServer();
    WSServerPropertySet *settings() const;   // null before createServer()

    // Replaces the EnqueueWorker made for each connection; before start().
    void setWorkerFactory(WSServer::WorkerFactory factory);

    // Takes the settings into the handler's path and URL policies, starts
    // /metrics and /health when a metrics port is set, opens the queue and
    // connects the poller to the handler. False, with the reason logged,
    // when another Service holds the queue. start() prepares when the owner
    // has not.
    bool prepare();

    // Starts the listener, the handler's thread and the poller, in that
    // order. False, with the reason logged, when the models are not loaded,
    // preparing fails, or the Service has stopped; true again while running.
    // Binding happens on the listener's thread: state() and
    // sig_listenerFinished() tell whether it succeeded.
    bool start();

    // Ends the listener and closes the queue; the item in the handler's hand
    // is still read and every item still queued is answered that the service
    // is going away; then the connections are ended and the threads joined.
    // Returns within a few seconds whatever the clients do. Does nothing
    // unless this Service prepared, so it is safe to repeat.
    void stop();

    State state() const;
    int port() const;   // the configured port; 0 before createServer()

signals:
    // The listener's thread started (before it binds) and ended; during the
    // run it ends only when its port cannot be served.
    void sig_listenerStarted();
    void sig_listenerFinished();

private:
    enum class Phase { Created, Prepared, Started, Stopped };

    void startMetrics();
    void answerWaitingRequests();

    MeterReaderHandler m_handler;
    WSServer *m_server = nullptr;   // a QObject child, created by createServer()
    WSServerPropertySet *m_settings = nullptr;   // the server's QObject child
    WSServer::WorkerFactory m_workerFactory;
    std::unique_ptr<MetricsServer> m_metricsServer;   // only when a metrics port is set
    QString m_models;   // the folder the models were loaded from; empty until they are
    Phase m_phase = Phase::Created;
};
