#pragma once

#include <functional>
#include <memory>
#include <string>

class CivetServer;

// GET /metrics (the registry in Prometheus' text format) and GET /health
// (200 while healthy() says so, 503 otherwise) on a port of their own, so
// that the reading endpoint and its replies stay as they are.
// Threading: start() and stop() from one thread; the handlers run on the
// server's own two threads.
class MetricsServer
{
public:
    explicit MetricsServer(std::function<bool()> healthy);
    ~MetricsServer();

    // On `address` (empty for every interface) and `port`; false, with the
    // reason in `error`, when it cannot listen.
    bool start(const std::string &address, int port, std::string &error);
    void stop();

private:
    struct Handlers;
    std::function<bool()> m_healthy;
    std::unique_ptr<Handlers> m_handlers;
    std::unique_ptr<CivetServer> m_server;
};
